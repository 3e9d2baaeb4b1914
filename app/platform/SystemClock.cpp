#include <QObject>
#include <QTimer>

#include "platform/Clock.h"

namespace harbelle {

struct SystemClock::Impl {
    QObject context;  // timers die with the clock, so no step outlives it
};

SystemClock::SystemClock() : impl_(std::make_unique<Impl>()) {}
SystemClock::~SystemClock() = default;

Date SystemClock::now() const { return std::chrono::system_clock::now(); }

ScheduledTask SystemClock::schedule(Milliseconds delay, std::function<void()> step) {
    auto cancelled = std::make_shared<bool>(false);
    QTimer::singleShot(std::chrono::milliseconds(delay), Qt::PreciseTimer, &impl_->context,
                       [cancelled, step = std::move(step)] {
                           if (*cancelled) return;
                           *cancelled = true;  // ran: no longer pending
                           step();
                       });
    return ScheduledTask(cancelled);
}

SystemClock& SystemClock::shared() {
    static SystemClock clock;
    return clock;
}

}  // namespace harbelle
