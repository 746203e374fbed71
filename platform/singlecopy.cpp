#include "singlecopy.h"

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLoggingCategory>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTimer>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

Q_LOGGING_CATEGORY(lcSingleCopy, "dovrax.singlecopy")

namespace {

constexpr char kFrontRequest[] = "front\n";
// Nothing in the runtime folder is read beyond this, whatever it holds.
constexpr qint64 kReadMax = 256;

// The name the kernel keeps for a process (cut to 15 bytes), read without blocking; empty when
// the process is gone.
QByteArray processName(const QByteArray &pid)
{
    const int fd = ::open("/proc/" + pid + "/comm", O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return {};
    char name[64];
    const ssize_t n = ::read(fd, name, sizeof name);
    ::close(fd);
    return n > 0 ? QByteArray(name, n).trimmed() : QByteArray();
}

bool sameFile(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

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

SingleCopy::~SingleCopy()
{
    if (lockFd_ < 0)
        return;
    delete server_;
    // Removed only while the name is still this copy's lock.
    struct stat mine, named;
    const QByteArray path = QFile::encodeName(lockPath_);
    if (::fstat(lockFd_, &mine) == 0 && ::lstat(path.constData(), &named) == 0 &&
        sameFile(mine, named))
        ::unlink(path.constData());
    ::close(lockFd_);
}

bool SingleCopy::acquire()
{
    if (lockPath_.isEmpty()) {
        qCWarning(lcSingleCopy, "no runtime folder: a second copy cannot be told from this one");
        return true;
    }
    // A few rounds: each either takes the lock, finds it held, or clears away a stale one
    // (which another copy starting at the same moment may also be doing).
    LockState state = LockState::Stale;
    for (int round = 0; round < 8 && state == LockState::Stale; ++round)
        state = tryLock();
    if (state != LockState::Taken)
        discardPrepared();
    if (state == LockState::Held)
        return false;
    if (state != LockState::Taken) {
        qCWarning(lcSingleCopy) << "cannot lock" << lockPath_ << "- a second copy cannot be told"
                                << "from this one:" << lockError_;
        return true;
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
        while (QLocalSocket *socket = server_->nextPendingConnection())
            serve(socket);
    });
    return true;
}

void SingleCopy::serve(QLocalSocket *socket)
{
    // A request is one short line, sent at once: a client that sends more, or takes longer,
    // is dropped rather than buffered or waited for.
    socket->setReadBufferSize(kReadMax);
    const auto drop = [socket] {
        socket->abort();
        socket->deleteLater();
    };
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    QTimer::singleShot(kClientTimeoutMs, socket, drop);
    connect(socket, &QLocalSocket::readyRead, this, [this, socket, drop] {
        if (!socket->canReadLine()) {
            if (socket->bytesAvailable() >= kReadMax)
                drop();
            return;
        }
        if (socket->readLine(kReadMax) == kFrontRequest)
            Q_EMIT frontRequested();
        socket->write("ok\n");
        socket->disconnectFromServer();
    });
}

SingleCopy::LockState SingleCopy::tryLock()
{
    const QByteArray path = QFile::encodeName(lockPath_);
    if (lockFd_ < 0 && !prepareLock(path))
        return LockState::Failed;
    // The lock appears under its name whole, already locked and with its owner written, so a
    // lock that another copy finds is never half made.
    if (::link(preparedPath_.constData(), path.constData()) == 0) {
        ::unlink(preparedPath_.constData());
        preparedPath_.clear();
        return LockState::Taken;
    }
    if (errno != EEXIST) {
        lockError_ = QString::fromLocal8Bit(std::strerror(errno));
        return LockState::Failed;
    }

    struct stat named;
    if (::lstat(path.constData(), &named) != 0)
        return LockState::Stale; // gone meanwhile: try again
    if (S_ISREG(named.st_mode)) {
        // Opened without blocking and without following a link that took its place since.
        const int fd =
            ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0)
            return LockState::Stale;
        struct stat opened;
        const bool same = ::fstat(fd, &opened) == 0 && sameFile(opened, named);
        bool held = false;
        if (same && ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
            // Someone holds it: it counts only when that is a live copy of this program of
            // this user, as the first line says.
            char data[kReadMax];
            const ssize_t n = ::read(fd, data, sizeof data);
            const QByteArray pid = n > 0 ? QByteArray(data, n).split('\n').constFirst() : "";
            bool number = false;
            const qint64 value = pid.toLongLong(&number);
            struct stat owner;
            held = number && value > 0 &&
                   ::stat("/proc/" + QByteArray::number(value), &owner) == 0 &&
                   owner.st_uid == ::geteuid() &&
                   processName(QByteArray::number(value)) == processName("self");
        }
        ::close(fd);
        if (!same)
            return LockState::Stale;
        if (held)
            return LockState::Held;
    }
    // Stale, whatever it is: removed, unless something else has taken its name meanwhile.
    struct stat again;
    if (::lstat(path.constData(), &again) == 0 && sameFile(again, named)) {
        qCWarning(lcSingleCopy) << "removing the stale lock" << lockPath_;
        if (S_ISDIR(named.st_mode))
            QDir(lockPath_).removeRecursively();
        else
            ::unlink(path.constData());
    }
    return LockState::Stale;
}

bool SingleCopy::prepareLock(const QByteArray &path)
{
    for (int attempt = 0; lockFd_ < 0 && attempt < 100; ++attempt) {
        preparedPath_ = path + '.' + QByteArray::number(QRandomGenerator::global()->generate(), 16);
        lockFd_ = ::open(preparedPath_.constData(),
                         O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600);
        if (lockFd_ < 0 && errno != EEXIST)
            break;
    }
    if (lockFd_ < 0) {
        lockError_ = QString::fromLocal8Bit(std::strerror(errno));
        preparedPath_.clear();
        return false;
    }
    const QByteArray owner =
        QByteArray::number(qint64(::getpid())) + '\n' + processName("self") + '\n';
    if (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0 ||
        ::write(lockFd_, owner.constData(), size_t(owner.size())) != owner.size()) {
        lockError_ = QString::fromLocal8Bit(std::strerror(errno));
        discardPrepared();
        return false;
    }
    return true;
}

void SingleCopy::discardPrepared()
{
    if (!preparedPath_.isEmpty())
        ::unlink(preparedPath_.constData());
    preparedPath_.clear();
    if (lockFd_ >= 0)
        ::close(lockFd_);
    lockFd_ = -1;
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
