#include "shell/TerminationSignals.h"

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

#include "history/HistoryPersistence.h"

namespace harbelle {

namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};
volatile sig_atomic_t writeEnd = -1;

void handleSignal(int signal) {
    const int saved = errno;
    // A start still reading a large history stops reading (the event loop is not running yet).
    HistoryPersistence::requestQuitFromSignal();
    const unsigned char byte = static_cast<unsigned char>(signal);
    if (writeEnd >= 0) {
        [[maybe_unused]] const auto written = ::write(writeEnd, &byte, 1);
    }
    errno = saved;
}

}  // namespace

TerminationSignals::TerminationSignals(std::function<void(int)> onSignal, QObject* parent)
    : QObject(parent), onSignal_(std::move(onSignal)) {
    if (::pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) return;
    writeEnd = fds_[1];
    notifier_ = new QSocketNotifier(fds_[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &TerminationSignals::drain);
    struct sigaction action {};
    action.sa_handler = handleSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : kSignals) ::sigaction(signal, &action, nullptr);
}

TerminationSignals::~TerminationSignals() {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int signal : kSignals) ::sigaction(signal, &action, nullptr);
    writeEnd = -1;
    delete notifier_;
    for (int fd : fds_) {
        if (fd >= 0) ::close(fd);
    }
}

void TerminationSignals::drain() {
    unsigned char bytes[16];
    for (;;) {
        const auto count = ::read(fds_[0], bytes, sizeof bytes);
        if (count <= 0) break;
        for (ssize_t i = 0; i < count; ++i) {
            if (onSignal_) onSignal_(bytes[i]);
        }
    }
}

}  // namespace harbelle
