#include "platform/Accessibility.h"

#include <QTextBoundaryFinder>
#include <functional>

namespace harbelle {

const char* axStatusName(AXStatus status) {
    switch (status) {
        case AXStatus::success: return "success";
        case AXStatus::notTrusted: return "notTrusted";
        case AXStatus::noApplication: return "noApplication";
        case AXStatus::noElement: return "noElement";
        case AXStatus::notSupported: return "notSupported";
        case AXStatus::failed: return "failed";
        case AXStatus::timedOut: return "timedOut";
    }
    return "failed";
}

RememberedFieldVerdict judgeRememberedField(const RememberedFieldRead& read) {
    if (read.status == AXStatus::timedOut) return RememberedFieldVerdict::keep;
    if (read.status != AXStatus::success || read.defunct || !read.showing) return RememberedFieldVerdict::forget;
    return read.inUserWindow ? RememberedFieldVerdict::take : RememberedFieldVerdict::keep;
}

namespace {
int graphemeCount(const std::string& utf8) {
    const QString text = QString::fromStdString(utf8);
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    int count = 0;
    while (finder.toNextBoundary() > 0) ++count;
    return count;
}
}  // namespace

std::optional<std::string> textFingerprint(const ElementInfo& info) {
    std::string print;
    if (info.value) {
        print = "v:" + std::to_string(graphemeCount(*info.value)) + ":" +
                std::to_string(std::hash<std::string>{}(*info.value));
    } else if (info.characterCount) {
        print = "n:" + std::to_string(*info.characterCount);
    } else {
        return std::nullopt;
    }
    // The caret and the selection join the print so that pasting the very text that was
    // selected still shows: the selection is gone afterwards even where the caret stays.
    if (info.caretOffset) print += ":c" + std::to_string(*info.caretOffset);
    if (info.selection) print += ":s" + std::to_string(info.selection->start) + "-" + std::to_string(info.selection->end);
    return print;
}

void Accessibility::fingerprint(const AXElement& element, Milliseconds deadline, QObject* context,
                                Reply<std::string> reply) {
    readElement(element, deadline, context, [reply = std::move(reply)](AXResult<ElementInfo> read) {
        if (!read.ok()) {
            reply({read.status, {}});
            return;
        }
        auto print = textFingerprint(read.value);
        if (!print) {
            reply({AXStatus::notSupported, {}});
            return;
        }
        reply({AXStatus::success, std::move(*print)});
    });
}

}  // namespace harbelle
