#include "platform/linux/LinuxPasteboard.h"

#include <xcb/xcb.h>

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <algorithm>

#include "platform/linux/X11SelectionReader.h"

namespace harbelle {

using linux_x11::X11SelectionReader;

namespace {

// Types as the program names them, from what an owner offers.
std::vector<std::string> normalizedTypes(const std::vector<std::string>& offered) {
    std::vector<std::string> types;
    auto add = [&types](std::string type) {
        if (std::find(types.begin(), types.end(), type) == types.end()) types.push_back(std::move(type));
    };
    for (const auto& type : offered) {
        if (pasteboardtype::isSelectionProtocolTarget(type)) continue;
        // Legacy encodings of text: only their UTF-8 siblings are read.
        if (type == "STRING" || type == "TEXT" || type == "COMPOUND_TEXT") continue;
        if (pasteboardtype::isPlainTextAlias(type)) add(std::string(pasteboardtype::plainText));
        else add(type);
    }
    return types;
}

// The offered names to try, best first, for a type of the program.
std::vector<std::string> candidatesFor(std::string_view type, const std::vector<std::string>& offered) {
    std::vector<std::string> candidates;
    auto offers = [&offered](std::string_view name) {
        return std::find(offered.begin(), offered.end(), name) != offered.end();
    };
    if (type == pasteboardtype::plainText) {
        for (std::string_view alias : {std::string_view("text/plain;charset=utf-8"),
                                       std::string_view("text/plain;charset=UTF-8"),
                                       std::string_view("UTF8_STRING"), std::string_view("text/plain")})
            if (offers(alias)) candidates.emplace_back(alias);
    } else if (offers(type)) {
        candidates.emplace_back(type);
    }
    return candidates;
}

}  // namespace

struct LinuxPasteboard::Impl {
    QObject context;
    std::int64_t count = 0;
    std::unique_ptr<X11SelectionReader> reader;
    // The owner as of the last change counted, and how many changes were counted from the
    // server's word before Qt announced them (each announcement then counts nothing).
    std::uint32_t ownerSeen = 0;
    int countedAhead = 0;
    // The id range of Qt's own connection, whose windows are ours.
    std::uint32_t qtResourceBase = 0;
    std::uint32_t qtResourceMask = 0;

    // What is known of the current change.
    std::int64_t cachedCount = -1;
    bool targetsLoaded = false;
    std::vector<std::string> offered;
    std::chrono::milliseconds idleBudget{kIdleBudget};

    QClipboard* clipboard() const { return QGuiApplication::clipboard(); }

    void refresh() {
        if (cachedCount == count) return;
        cachedCount = count;
        targetsLoaded = false;
        offered.clear();
        idleBudget = kIdleBudget;
    }

    // Our own contents are read in process: asking the X server would have it ask us, on
    // this very thread. Qt learns it lost the clipboard only when its event comes; until then
    // its mimeData() asks the new owner with no bound of ours, so the server's word decides.
    bool readsInProcess() const {
        if (!reader) return true;
        if (!clipboard()->ownsClipboard()) return false;
        return qtResourceMask == 0 || ownedByUs(reader->owner());
    }

    // A window of Qt's own connection.
    bool ownedByUs(std::uint32_t owner) const {
        if (qtResourceMask == 0) return clipboard()->ownsClipboard();
        return (owner & ~qtResourceMask) == qtResourceBase;
    }

    const std::vector<std::string>& offeredTargets() {
        refresh();
        if (targetsLoaded) return offered;
        targetsLoaded = true;
        if (readsInProcess()) {
            if (const QMimeData* mime = clipboard()->mimeData(QClipboard::Clipboard))
                for (const auto& format : mime->formats()) offered.push_back(format.toStdString());
        } else {
            reader->targets(idleBudget, offered);
        }
        return offered;
    }
};

LinuxPasteboard::LinuxPasteboard() : impl_(std::make_unique<Impl>()) {
    if (QGuiApplication::platformName() == QLatin1String("xcb")) {
        impl_->reader = std::make_unique<X11SelectionReader>();
        if (!impl_->reader->isValid()) impl_->reader.reset();
        auto* x11App = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
        if (xcb_connection_t* qt = x11App ? x11App->connection() : nullptr) {
            impl_->qtResourceBase = xcb_get_setup(qt)->resource_id_base;
            impl_->qtResourceMask = xcb_get_setup(qt)->resource_id_mask;
        }
    }
    if (QClipboard* clipboard = impl_->clipboard()) {
        QObject::connect(clipboard, &QClipboard::changed, &impl_->context, [this](QClipboard::Mode mode) {
            if (mode != QClipboard::Clipboard) return;
            if (impl_->countedAhead > 0) {
                --impl_->countedAhead;
            } else {
                ++impl_->count;
            }
            if (impl_->reader) impl_->ownerSeen = impl_->reader->owner();
        });
    }
    if (impl_->reader) impl_->ownerSeen = impl_->reader->owner();
}

void LinuxPasteboard::catchUpWithOwner() {
    // A new owner shows at once in the server's answer; Qt's notice of it may still wait in
    // its queue (a copy made just before a quit). A new copy by the same owner waits for Qt,
    // and our own writes are counted as they are made.
    if (!impl_->reader) return;
    const std::uint32_t owner = impl_->reader->owner();
    if (owner == impl_->ownerSeen || impl_->ownedByUs(owner)) return;
    impl_->ownerSeen = owner;
    ++impl_->count;
    ++impl_->countedAhead;
}

LinuxPasteboard::~LinuxPasteboard() = default;

std::int64_t LinuxPasteboard::changeCount() const { return impl_->count; }

std::vector<std::string> LinuxPasteboard::types() { return normalizedTypes(impl_->offeredTargets()); }

std::optional<Bytes> LinuxPasteboard::data(std::string_view type) {
    const auto candidates = candidatesFor(type, impl_->offeredTargets());
    if (candidates.empty()) return std::nullopt;
    if (impl_->readsInProcess()) {
        const QMimeData* mime = impl_->clipboard()->mimeData(QClipboard::Clipboard);
        if (!mime) return std::nullopt;
        for (const auto& candidate : candidates) {
            const QByteArray bytes = mime->data(QString::fromStdString(candidate));
            if (mime->hasFormat(QString::fromStdString(candidate)))
                return Bytes(bytes.begin(), bytes.end());
        }
        return std::nullopt;
    }
    for (const auto& candidate : candidates) {
        auto result = impl_->reader->read(candidate, impl_->idleBudget, kMaxReadBytes);
        if (result.status == X11SelectionReader::Status::ok) return std::move(result.data);
        // The owner went away or stopped answering: the other names will not fare better.
        if (result.status != X11SelectionReader::Status::refused) break;
    }
    return std::nullopt;
}

namespace {

QMimeData* mimeDataOf(const std::vector<std::pair<std::string, Bytes>>& representations) {
    auto* mime = new QMimeData;
    for (const auto& [type, bytes] : representations)
        mime->setData(QString::fromStdString(type),
                      QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size())));
    return mime;
}

}  // namespace

bool LinuxPasteboard::write(const std::vector<PasteboardObject>& objects) {
    const auto representations = mimeRepresentations(objects);
    QClipboard* clipboard = impl_->clipboard();
    if (representations.empty() || !clipboard) return false;
    const std::int64_t before = impl_->count;
    clipboard->setMimeData(mimeDataOf(representations), QClipboard::Clipboard);
    // Qt announces its own write synchronously on most platforms; count it here otherwise, so
    // the caller can record the new count before any poll sees it.
    if (impl_->count == before) ++impl_->count;
    // Notices of owners before this write no longer stand for anything to read, and the next
    // owner is new whoever it is.
    impl_->countedAhead = 0;
    if (clipboard->ownsClipboard()) impl_->ownerSeen = XCB_WINDOW_NONE;
    if (impl_->reader && !clipboard->ownsClipboard()) return false;
    return true;
}

bool LinuxPasteboard::writePrimarySelection(const std::vector<PasteboardObject>& objects) {
    const auto representations = mimeRepresentations(objects);
    QClipboard* clipboard = impl_->clipboard();
    if (representations.empty() || !clipboard || !clipboard->supportsSelection()) return false;
    clipboard->setMimeData(mimeDataOf(representations), QClipboard::Selection);
    return !impl_->reader || clipboard->ownsSelection();
}

}  // namespace harbelle
