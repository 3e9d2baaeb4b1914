#pragma once

#include <any>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>

#include "platform/Accessibility.h"
#include "platform/BackgroundWork.h"

namespace harbelle {

// Accessibility over AT-SPI (libatspi). Every AT-SPI call runs on one worker thread of the
// process with its own GLib main context (libatspi is neither thread-safe nor per-instance);
// answers come back to the main thread through Qt's event loop, and the deadline is a timer on
// the given clock. libatspi's per-call timeout is short and its start-up grace is off, and the
// worker gives up on a query whose deadline has passed, so a stopped application holds the
// worker for about one call timeout, not for the length of a tree walk. Element states are
// always asked of the application. Whether accessibility is enabled is read from the bus once
// and then followed by signal, so asking it never waits on D-Bus.
class AccessibilityBusStatus;

class AtspiAccessibility final : public Accessibility {
public:
    explicit AtspiAccessibility(Clock& clock = SystemClock::shared());
    ~AtspiAccessibility() override;

    bool isAvailable() override;
    bool isTrusted() override;
    // Switches accessibility on without waiting; the answer arrives through onTrustChanged.
    bool requestTrust() override;

    void focusedElement(std::int64_t processId, Milliseconds deadline, QObject* context,
                        Reply<AXElement> reply) override;
    bool remembersFocusedElement(std::int64_t processId) override;
    void focusedWindow(std::int64_t processId, Milliseconds deadline, QObject* context,
                       Reply<AXElement> reply) override;
    void readElement(const AXElement& element, Milliseconds deadline, QObject* context,
                     Reply<ElementInfo> reply) override;
    void setFocus(const AXElement& element, Milliseconds deadline, QObject* context, Reply<bool> reply) override;
    void insertText(const AXElement& element, const std::string& text, Milliseconds deadline, QObject* context,
                    StatusReply reply) override;
    void abandon(QObject* context) override;

    // Per-call timeout of libatspi inside the worker.
    static constexpr int callTimeoutMs = 1000;

    struct Job;

private:
    template <class T>
    void run(Milliseconds deadline, QObject* context, std::function<AXResult<T>(const Job&)> work,
             Reply<T> reply);
    void complete(std::uint64_t id, std::any* result);
    void trackFocusWhenEnabled();

    struct Waiting {
        std::function<void(std::any*)> finish;
        ScheduledTask timer;
        std::shared_ptr<std::atomic<bool>> abandoned;
        QObject* context = nullptr;
    };

    Clock& clock_;
    std::unique_ptr<AccessibilityBusStatus> busStatus_;
    std::unique_ptr<QObject> receiver_;
    BackgroundWork results_;
    std::map<std::uint64_t, Waiting> waiting_;
    std::uint64_t nextId_ = 1;
    bool trackingFocus_ = false;
};

}  // namespace harbelle
