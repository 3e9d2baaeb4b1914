#pragma once

// The desktop's accessibility bus switch (org.a11y.Status.IsEnabled on the session bus), as
// a desktop's settings or an assistive technology flips it.

#include <QProcess>
#include <QTest>
#include <optional>

namespace harbelle::testing {

inline std::optional<bool> accessibilityBusEnabled() {
    QProcess query;
    query.start(QStringLiteral("dbus-send"),
                {QStringLiteral("--session"), QStringLiteral("--print-reply"), QStringLiteral("--dest=org.a11y.Bus"),
                 QStringLiteral("/org/a11y/bus"), QStringLiteral("org.freedesktop.DBus.Properties.Get"),
                 QStringLiteral("string:org.a11y.Status"), QStringLiteral("string:IsEnabled")});
    if (!query.waitForFinished(5000) || query.exitCode() != 0) return std::nullopt;
    const QByteArray output = query.readAllStandardOutput();
    if (output.contains("boolean true")) return true;
    if (output.contains("boolean false")) return false;
    return std::nullopt;
}

inline bool setAccessibilityBusEnabled(bool enabled) {
    QProcess set;
    set.start(QStringLiteral("dbus-send"),
              {QStringLiteral("--session"), QStringLiteral("--print-reply"), QStringLiteral("--dest=org.a11y.Bus"),
               QStringLiteral("/org/a11y/bus"), QStringLiteral("org.freedesktop.DBus.Properties.Set"),
               QStringLiteral("string:org.a11y.Status"), QStringLiteral("string:IsEnabled"),
               enabled ? QStringLiteral("variant:boolean:true") : QStringLiteral("variant:boolean:false")});
    return set.waitForFinished(5000) && set.exitCode() == 0 && accessibilityBusEnabled() == enabled;
}

// Puts the switch where a test wants it and back afterwards, so tests of either desktop can
// share one session.
class AccessibilityBusSwitch {
public:
    explicit AccessibilityBusSwitch(bool enabled) : previous_(accessibilityBusEnabled()) {
        ok_ = previous_.has_value() && setAccessibilityBusEnabled(enabled);
    }
    ~AccessibilityBusSwitch() {
        if (previous_) setAccessibilityBusEnabled(*previous_);
    }
    // The bus exists and took the wanted state.
    bool ok() const { return ok_; }

private:
    std::optional<bool> previous_;
    bool ok_ = false;
};

}  // namespace harbelle::testing
