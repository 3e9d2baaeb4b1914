#include "platform/linux/SingleInstance.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace harbelle {

namespace fs = std::filesystem;

namespace {

constexpr char kReopenRequest[] = "reopen\n";
constexpr char kReopenAnswer[] = "ok\n";
constexpr int kClaimMilliseconds = 10000;  // the holder may still be starting up

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

SingleInstance::SingleInstance(fs::path dataFolder, QObject* parent)
    : QObject(parent), dataFolder_(std::move(dataFolder)) {}

SingleInstance::~SingleInstance() {
    removeSocket();
    if (lockFd_ >= 0) ::close(lockFd_);  // releases the lock
}

void SingleInstance::removeSocket() {
    if (server_) server_->close();
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
    const QString path = QString::fromStdString(socketPath().string());
    // We hold the lock, so whatever socket is there was left by a process that is gone.
    QLocalServer::removeServer(path);
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_->listen(path)) {
        why = "cannot listen on " + path.toStdString() + ": " + server_->errorString().toStdString();
        return false;
    }
    connect(server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = server_->nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, socket, [this, socket] {
                if (!answering_) return;  // left open: the asker sees it close as this process ends
                if (!socket->canReadLine()) {
                    if (socket->bytesAvailable() > 64) socket->abort();  // not one of ours
                    return;
                }
                const QByteArray line = socket->readLine(64);
                if (line == kReopenRequest) {
                    socket->write(kReopenAnswer);
                    socket->flush();
                    if (onReopen_) onReopen_();
                }
                socket->disconnectFromServer();
            });
        }
    });
    return true;
}

bool SingleInstance::askToReopen() {
    QLocalSocket socket;
    socket.connectToServer(QString::fromStdString(socketPath().string()));
    if (!socket.waitForConnected(1000)) return false;
    socket.write(kReopenRequest);
    if (!socket.waitForBytesWritten(1000)) return false;
    while (!socket.canReadLine()) {
        if (!socket.waitForReadyRead(5000)) return false;
    }
    return socket.readLine(64) == kReopenAnswer;
}

}  // namespace harbelle
