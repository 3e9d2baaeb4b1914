#pragma once

#include <QObject>
#include <QStringList>
#include <QVariantMap>
#include <functional>

class QDBusServiceWatcher;

namespace harbelle {

// The accessibility bus launcher's state (org.a11y.Bus on the session bus) as last seen: read
// once when first asked, then followed through the launcher's property-change signal and its
// name on the session bus, so that asking never waits on D-Bus. Main thread only.
class AccessibilityBusStatus final : public QObject {
    Q_OBJECT
public:
    // `changed` runs after any of the three values changed.
    explicit AccessibilityBusStatus(std::function<void()> changed = {});
    ~AccessibilityBusStatus() override;

    // Starts following the state. With `waitForFirstAnswer` the first read blocks (at most twice
    // a short timeout), for callers that decide at once; otherwise it arrives later.
    void start(bool waitForFirstAnswer = true);
    bool available() const { return available_; }
    bool enabled() const { return available_ && enabled_; }
    bool screenReaderEnabled() const { return available_ && screenReader_; }

    // Switches accessibility on; the new state arrives by signal and by a re-read.
    void enable();

private slots:
    void propertiesChanged(const QString& interface, const QVariantMap& changed, const QStringList& invalidated);

private:
    void readAsync();
    void update(bool available, bool enabled, bool screenReader);

    std::function<void()> changed_;
    QDBusServiceWatcher* watcher_ = nullptr;
    bool started_ = false;
    bool available_ = false;
    bool enabled_ = false;
    bool screenReader_ = false;
};

}  // namespace harbelle
