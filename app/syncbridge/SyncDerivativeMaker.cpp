#include "syncbridge/SyncDerivativeMaker.h"

#include <memory>

#include "history/HistoryFiles.h"
#include "history/HistoryStore.h"
#include "platform/BackgroundWork.h"

namespace harbelle::SyncDerivativeMaker {

std::string filename(const Uuid& itemID, const SyncImageDerivative& derivative) {
    return itemID.uppercaseString() + (derivative.contentType == "image/png" ? ".sync.png" : ".sync.jpg");
}

std::optional<std::string> makeAndWrite(const Bytes& png, const Uuid& itemID, const std::filesystem::path& payloadsURL,
                                        SyncImageDerivative& made) {
    auto derivative = SyncImageCompressor::derivative(png);
    if (!derivative) return std::nullopt;
    const std::string name = filename(itemID, *derivative);
    if (!historyfiles::makeDirectories(payloadsURL)) return std::nullopt;
    const std::string_view bytes(reinterpret_cast<const char*>(derivative->data.data()), derivative->data.size());
    if (!historyfiles::writeFileAtomically(payloadsURL / name, bytes)) return std::nullopt;
    made = std::move(*derivative);
    return name;
}

void install(HistoryStore& store) {
    // The hook lives in the store, so the hand-back closes when the store goes; a copy still
    // being made then writes its file and is dropped (the orphan pass takes the file).
    auto work = std::make_shared<BackgroundWork>(&store);
    HistoryStore* target = &store;
    store.onEncodeSyncDerivative = [work, target](const Bytes& png, const Uuid& itemID) {
        struct Made {
            std::string name;
            SyncableImagePayload payload;
        };
        work->run(
            [png, itemID, payloadsURL = target->payloadsURL()]() -> std::optional<Made> {
                SyncImageDerivative made;
                auto name = makeAndWrite(png, itemID, payloadsURL, made);
                if (!name) return std::nullopt;
                return Made{std::move(*name), {std::move(made.data), made.contentType, made.digest, made.pixelWidth,
                                               made.pixelHeight}};
            },
            [target, itemID](std::optional<Made> made) {
                if (made) target->applySyncDerivative(itemID, made->name, made->payload);
            });
    };
}

}  // namespace harbelle::SyncDerivativeMaker
