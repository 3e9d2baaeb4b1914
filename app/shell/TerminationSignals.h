#pragma once

#include <QObject>
#include <functional>
#include <memory>

class QSocketNotifier;

namespace harbelle {

// SIGTERM, SIGINT and SIGHUP reach the event loop as one call of `onSignal`, so that a
// session's end or Ctrl-C quits through the same steps as the Quit item. The handler only
// writes a byte into a pipe; the notifier reads it on the main thread. One instance at a time.
class TerminationSignals final : public QObject {
    Q_OBJECT
public:
    explicit TerminationSignals(std::function<void(int signal)> onSignal, QObject* parent = nullptr);
    ~TerminationSignals() override;

    bool isInstalled() const { return notifier_ != nullptr; }

private:
    void drain();

    std::function<void(int)> onSignal_;
    int fds_[2] = {-1, -1};
    QSocketNotifier* notifier_ = nullptr;
};

}  // namespace harbelle
