#include "platform/linux/SingleInstance.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QThread>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace harbelle {

namespace fs = std::filesystem;

namespace {

constexpr char kReopenRequest[] = "reopen\n";
constexpr char kReopenAnswer[] = "ok\n";
constexpr int kClaimMilliseconds = 10000;  // the holder may still be starting up
constexpr std::size_t kLongestRequest = 64;

bool addressOf(const fs::path& path, sockaddr_un& address) {
    address = {};
    address.sun_family = AF_UNIX;
    if (path.native().size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path.c_str(), path.native().size());
    return true;
}

bool makeFolders(const fs::path& folder) {
    fs::path current;
    for (const auto& part : folder) {
        current /= part;
        if (part.empty() || part == "/") continue;
        if (::mkdir(current.c_str(), 0700) == 0 || errno == EEXIST) continue;
        return false;
    }
    struct stat info {};
    return ::stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

// One later launch's connection, closed with it; its request is one short line.
class LaunchConnection final : public QSocketNotifier {
public:
    LaunchConnection(int fd, QObject* parent) : QSocketNotifier(fd, QSocketNotifier::Read, parent) {}
    ~LaunchConnection() override { ::close(static_cast<int>(socket())); }
    QByteArray request;
};

SingleInstance::SingleInstance(fs::path dataFolder, QObject* parent)
    : QObject(parent), dataFolder_(std::move(dataFolder)) {}

SingleInstance::~SingleInstance() {
    removeSocket();
    if (lockFd_ >= 0) ::close(lockFd_);  // releases the lock
}

void SingleInstance::removeSocket() {
    delete server_;
    server_ = nullptr;
    if (serverFd_ >= 0) ::close(serverFd_);
    serverFd_ = -1;
    if (!listening_.empty()) ::unlink(listening_.c_str());
    listening_.clear();
}

fs::path SingleInstance::socketPath() const {
    // Named after the data folder, so that separate folders (tests, other users) never meet.
    std::error_code error;
    fs::path canonical = fs::weakly_canonical(dataFolder_, error);
    if (error) canonical = dataFolder_;
    const QByteArray digest =
        QCryptographicHash::hash(QByteArray::fromStdString(canonical.string()), QCryptographicHash::Sha256).toHex();
    const std::string name = "harbelle-" + digest.left(16).toStdString() + ".socket";
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    struct stat info {};
    if (!runtime.isEmpty() && ::stat(runtime.constData(), &info) == 0 && S_ISDIR(info.st_mode))
        return fs::path(runtime.toStdString()) / name;
    return dataFolder_ / name;
}

SingleInstance::Claim SingleInstance::claim(std::function<void()> onReopen, std::string& why) {
    onReopen_ = std::move(onReopen);
    if (!makeFolders(dataFolder_)) {
        why = "cannot create " + dataFolder_.string() + ": " + std::strerror(errno);
        return Claim::failed;
    }
    const fs::path lockFile = dataFolder_ / kLockFileName;
    lockFd_ = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lockFd_ < 0) {
        why = "cannot open " + lockFile.string() + ": " + std::strerror(errno);
        return Claim::failed;
    }
    QElapsedTimer timer;
    timer.start();
    do {
        if (::flock(lockFd_, LOCK_EX | LOCK_NB) == 0) return listen(why) ? Claim::first : Claim::failed;
        if (errno != EWOULDBLOCK && errno != EINTR) {
            why = "cannot lock " + lockFile.string() + ": " + std::strerror(errno);
            return Claim::failed;
        }
        if (askToReopen()) return Claim::handedOver;
        QThread::msleep(100);
    } while (timer.elapsed() < kClaimMilliseconds);
    why = "another Harbelle holds " + lockFile.string() + " but does not answer";
    return Claim::failed;
}

bool SingleInstance::listen(std::string& why) {
    const fs::path path = socketPath();
    sockaddr_un address;
    if (!addressOf(path, address)) {
        why = "cannot listen on " + path.string() + ": the name is too long for a socket";
        return false;
    }
    // We hold the lock, so whatever socket is there was left by a process that is gone.
    ::unlink(path.c_str());
    serverFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    // The socket's mode before it is bound is its file's: only this user may connect.
    if (serverFd_ < 0 || ::fchmod(serverFd_, 0600) != 0 ||
        ::bind(serverFd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        why = "cannot listen on " + path.string() + ": " + std::strerror(errno);
        return false;
    }
    listening_ = path;
    if (::listen(serverFd_, SOMAXCONN) != 0) {
        why = "cannot listen on " + path.string() + ": " + std::strerror(errno);
        return false;
    }
    server_ = new QSocketNotifier(serverFd_, QSocketNotifier::Read, this);
    connect(server_, &QSocketNotifier::activated, this, &SingleInstance::acceptLaunches);
    return true;
}

void SingleInstance::acceptLaunches() {
    for (;;) {
        const int fd = ::accept4(serverFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) return;
        auto* connection = new LaunchConnection(fd, this);
        connect(connection, &QSocketNotifier::activated, this, [this, connection] { readRequest(*connection); });
    }
}

void SingleInstance::readRequest(LaunchConnection& connection) {
    const auto drop = [&connection] {
        connection.setEnabled(false);
        connection.deleteLater();
    };
    if (!answering_) {
        connection.setEnabled(false);  // left open: the asker sees it close as this process ends
        return;
    }
    const int fd = static_cast<int>(connection.socket());
    char buffer[kLongestRequest];
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (got <= 0) return drop();
    connection.request.append(buffer, got);
    const qsizetype end = connection.request.indexOf('\n');
    if (end < 0) {
        if (static_cast<std::size_t>(connection.request.size()) > kLongestRequest) drop();  // not one of ours
        return;
    }
    if (connection.request.left(end + 1) == kReopenRequest) {
        ::send(fd, kReopenAnswer, sizeof kReopenAnswer - 1, MSG_NOSIGNAL);
        if (onReopen_) onReopen_();
    }
    drop();
}

bool SingleInstance::askToReopen() {
    sockaddr_un address;
    if (!addressOf(socketPath(), address)) return false;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    // A second to connect and ask, five for the answer.
    const timeval sendWait{1, 0};
    const timeval answerWait{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendWait, sizeof sendWait);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &answerWait, sizeof answerWait);
    std::string line;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        ::send(fd, kReopenRequest, sizeof kReopenRequest - 1, MSG_NOSIGNAL) ==
            static_cast<ssize_t>(sizeof kReopenRequest - 1)) {
        char c = 0;
        while (line.size() < kLongestRequest && c != '\n' && ::recv(fd, &c, 1, 0) == 1) line += c;
    }
    ::close(fd);
    return line == kReopenAnswer;
}

}  // namespace harbelle
