#include "singlecopy.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QLoggingCategory>
#include <QStandardPaths>

namespace platform {

Q_LOGGING_CATEGORY(lcSingleCopy, "dovrax.singlecopy")

namespace {
constexpr char kFrontRequest[] = "front\n";
} // namespace

SingleCopy::SingleCopy(const QString &name, QObject *parent) : QObject(parent)
{
    // Private to the user (mode 0700), so no other user can take the name first.
    const QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty())
        return;
    lockPath_ = QDir(dir).filePath(name + QStringLiteral(".lock"));
    socketPath_ = QDir(dir).filePath(name + QStringLiteral(".socket"));
}

SingleCopy::~SingleCopy() = default;

bool SingleCopy::acquire()
{
    if (lockPath_.isEmpty()) {
        qCWarning(lcSingleCopy, "no runtime folder: a second copy cannot be told from this one");
        return true;
    }
    lock_ = std::make_unique<QLockFile>(lockPath_);
    // Never stale by age: a lock is stale only when the copy that took it has gone.
    lock_->setStaleLockTime(0);
    if (!lock_->tryLock(0)) {
        const bool held = lock_->error() == QLockFile::LockFailedError;
        if (!held)
            qCWarning(lcSingleCopy) << "cannot create" << lockPath_;
        lock_.reset();
        return !held;
    }
    // A socket left by a copy that ended without cleaning up is ours to replace: we hold the lock.
    QLocalServer::removeServer(socketPath_);
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_->listen(socketPath_)) {
        qCWarning(lcSingleCopy) << "a later copy cannot reach this one:" << server_->errorString();
        return true;
    }
    connect(server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *socket = server_->nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
                if (!socket->canReadLine())
                    return;
                if (socket->readLine(64) == kFrontRequest)
                    Q_EMIT frontRequested();
                socket->write("ok\n");
                socket->disconnectFromServer();
            });
        }
    });
    return true;
}

bool SingleCopy::askRunningCopyToFront(int timeoutMs)
{
    if (socketPath_.isEmpty())
        return false;
    QLocalSocket socket;
    socket.connectToServer(socketPath_);
    if (!socket.waitForConnected(timeoutMs))
        return false;
    socket.write(kFrontRequest);
    // The answer comes once the request has been taken up.
    return socket.waitForBytesWritten(timeoutMs) && socket.waitForReadyRead(timeoutMs);
}

} // namespace platform
