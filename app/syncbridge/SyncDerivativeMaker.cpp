#include "syncbridge/SyncDerivativeMaker.h"

#include <QCoreApplication>
#include <QPointer>
#include <QThreadPool>

#include "history/HistoryFiles.h"
#include "history/HistoryStore.h"

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
    QPointer<HistoryStore> guard(&store);
    store.onEncodeSyncDerivative = [guard](const Bytes& png, const Uuid& itemID) {
        if (!guard) return;
        const std::filesystem::path payloadsURL = guard->payloadsURL();
        QThreadPool::globalInstance()->start([guard, png, itemID, payloadsURL] {
            SyncImageDerivative made;
            const auto name = makeAndWrite(png, itemID, payloadsURL, made);
            if (!name) return;
            SyncableImagePayload payload{std::move(made.data), made.contentType, made.digest, made.pixelWidth,
                                         made.pixelHeight};
            // QPointer is read on the store's own thread only: the queued call is dropped when
            // its context is destroyed, and the guard covers the gap before it runs.
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [guard, itemID, name = *name, payload = std::move(payload)] {
                    if (guard) guard->applySyncDerivative(itemID, name, payload);
                },
                Qt::QueuedConnection);
        });
    };
}

}  // namespace harbelle::SyncDerivativeMaker
