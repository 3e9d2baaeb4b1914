#include "platform/DirectPastePermissions.h"

#include "platform/Accessibility.h"
#include "platform/KeyEventPoster.h"

namespace harbelle {

DirectPastePermissions probeDirectPastePermissions(Accessibility& accessibility, KeyEventPoster& poster) {
    DirectPastePermissions permissions;
    permissions.accessibilityAvailable = accessibility.isAvailable();
    permissions.accessibilityTrusted = permissions.accessibilityAvailable && accessibility.isTrusted();
    permissions.eventPostingAllowed = poster.canPostEvents();
    return permissions;
}

std::string permissionReport(const DirectPastePermissions& permissions) {
    std::string report = "AX_TRUSTED=";
    report += permissions.accessibilityTrusted ? "true\n" : "false\n";
    report += "POST_EVENT_ALLOWED=";
    report += permissions.eventPostingAllowed ? "true\n" : "false\n";
    return report;
}

}  // namespace harbelle
