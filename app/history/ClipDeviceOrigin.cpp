#include "history/ClipDeviceOrigin.h"

#include <QCollator>
#include <QLocale>
#include <QString>
#include <QSysInfo>
#include <QTextBoundaryFinder>
#include <algorithm>
#include <numeric>
#include <unordered_map>

namespace harbelle {

namespace {

constexpr const char* kThisDeviceName = "This computer";
constexpr const char* kSyncedAppName = "Synced";
constexpr qsizetype kMaxHostNameCharacters = 64;

std::string trimmed(const std::optional<std::string>& value) {
    if (!value) return {};
    return QString::fromStdString(*value).trimmed().toStdString();
}

// The first `count` user-perceived characters, never splitting one.
QString prefixGraphemes(const QString& text, qsizetype count) {
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype seen = 0;
    while (seen < count) {
        if (finder.toNextBoundary() < 0) return text;
        ++seen;
    }
    return text.left(finder.position());
}

}  // namespace

std::string MacClipDeviceIdentity::hostDisplayName(const std::string& rawHostName) {
    const QString name = QString::fromStdString(rawHostName).trimmed();
    if (name.isEmpty()) return kThisDeviceName;
    return prefixGraphemes(name, kMaxHostNameCharacters).toStdString();
}

ClipSourceDeviceOrigin MacClipDeviceIdentity::current(Defaults& defaults) {
    std::string id = defaults.stringValue(kClipSourceDeviceIDKey).value_or("");
    if (id.empty()) {
        id = "mac_" + Uuid::random().lowercaseString();
        defaults.setString(kClipSourceDeviceIDKey, id);
    }
    // Peers read the platform value as written here; it stays "macOS".
    return {id, hostDisplayName(QSysInfo::machineHostName().toStdString()), "macOS"};
}

std::string_view deviceKeyView(const ClipItem& item) {
    if (item.sourceDeviceID) return *item.sourceDeviceID;
    return item.sourceAppName == kSyncedAppName ? kLegacySyncedDeviceKey : kLegacyLocalDeviceKey;
}

ClipSourceDeviceOrigin clipSyncOrigin(const ClipItem& item) {
    return {std::string(deviceKeyView(item)), item.sourceDeviceDisplayName(), item.sourceDeviceDisplayPlatform()};
}

std::string ClipItem::deviceFilterKey() const { return std::string(deviceKeyView(*this)); }

std::string ClipItem::sourceDeviceDisplayName() const {
    std::string name = trimmed(sourceDeviceName);
    if (!name.empty()) return name;
    return sourceAppName == kSyncedAppName ? "Older synced device" : kThisDeviceName;
}

std::string ClipItem::sourceDeviceDisplayPlatform() const {
    std::string platform = trimmed(sourceDevicePlatform);
    if (!platform.empty()) return platform;
    return sourceAppName == kSyncedAppName ? "Device" : "macOS";
}

std::string ClipItem::sourceDeviceSymbol() const {
    return platformSymbol(sourceDeviceDisplayPlatform());
}

std::string platformSymbol(const std::string& platform) {
    const QString lower = QString::fromStdString(platform).toLower();
    if (lower.contains(u"iphone") || lower == u"ios") return "iphone";
    if (lower.contains(u"ipad")) return "ipad";
    if (lower.contains(u"mac")) return "desktopcomputer";
    return "laptopcomputer.and.iphone";
}

std::string ClipDeviceFilterOption::symbol() const { return platformSymbol(platform); }

std::vector<ClipDeviceFilterOption> availableDevices(const ClipList& items,
                                                     Defaults& defaults) {
    std::vector<ClipDeviceFilterOption> options;
    std::unordered_map<std::string_view, std::size_t> indexByKey;
    for (const auto& item : items) {
        const std::string_view key = deviceKeyView(item);
        auto [it, inserted] = indexByKey.try_emplace(key, options.size());
        if (inserted) {
            options.push_back({std::string(key), item.sourceDeviceDisplayName(),
                               item.sourceDeviceDisplayPlatform(), 1});
        } else {
            ++options[it->second].count;
        }
    }
    if (options.empty()) return options;

    const std::string thisMac = MacClipDeviceIdentity::current(defaults).id;
    // The C locale compares code points and ignores numeric mode; names should still sort the
    // way a file manager shows them.
    QLocale locale;
    if (locale.language() == QLocale::C) locale = QLocale(QLocale::English, QLocale::UnitedStates);
    QCollator collator(locale);
    collator.setNumericMode(true);
    collator.setCaseSensitivity(Qt::CaseInsensitive);

    std::vector<QString> names;
    names.reserve(options.size());
    for (const auto& option : options) names.push_back(QString::fromStdString(option.name));
    std::vector<std::size_t> order(options.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        const bool aFirst = options[a].id == thisMac;
        const bool bFirst = options[b].id == thisMac;
        if (aFirst != bFirst) return aFirst;
        return collator.compare(names[a], names[b]) < 0;
    });

    std::vector<ClipDeviceFilterOption> sorted;
    sorted.reserve(options.size());
    for (std::size_t i : order) sorted.push_back(std::move(options[i]));
    return sorted;
}

}  // namespace harbelle
