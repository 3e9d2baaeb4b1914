#pragma once

#include <QObject>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

class QLocalServer;

namespace harbelle {

// One running program per data folder: an exclusive lock on a file in that folder, held for
// the life of the process, and a local socket beside the session's runtime files on which the
// holder hears later launches. A later launch asks the holder to reopen and then ends.
class SingleInstance final : public QObject {
    Q_OBJECT
public:
    enum class Claim {
        first,      // this process holds the lock and listens
        handedOver, // another process holds it and was asked to reopen
        failed,     // neither; `why` says what went wrong
    };

    static constexpr const char* kLockFileName = ".instance.lock";

    explicit SingleInstance(std::filesystem::path dataFolder, QObject* parent = nullptr);
    ~SingleInstance() override;

    // Main thread, with a running Qt application object. `onReopen` runs on the main thread
    // for each later launch while this process is the first.
    Claim claim(std::function<void()> onReopen, std::string& why);

    // At quit: later launches get no answer, so they wait for this process to end and then
    // take its place instead of handing over to a program that is going away. The lock and
    // the socket stay until this object is destroyed.
    void stopAnswering() { answering_ = false; }
    // For a process that ends without its teardown: the socket file goes now, the lock with
    // the process.
    void removeSocket();

    // The socket a later launch talks to (in $XDG_RUNTIME_DIR, else the data folder).
    std::filesystem::path socketPath() const;

private:
    bool listen(std::string& why);
    bool askToReopen();

    std::filesystem::path dataFolder_;
    int lockFd_ = -1;
    std::function<void()> onReopen_;
    QLocalServer* server_ = nullptr;
    bool answering_ = true;
};

}  // namespace harbelle
