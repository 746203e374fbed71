#include "singlecopy.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QRandomGenerator>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTimer>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace platform {

Q_LOGGING_CATEGORY(lcSingleCopy, "dovrax.singlecopy")

namespace {

constexpr char kFrontRequest[] = "front\n";
constexpr char kAnswer[] = "ok\n";
// Nothing in the runtime folder, and nothing of a request, is read beyond this.
constexpr qint64 kReadMax = 256;
// Connections not yet taken up that the socket keeps waiting.
constexpr int kBacklog = 50;

QString errnoText()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// The address of a socket at `path`; false when the path does not fit.
bool socketAddress(const QByteArray &path, sockaddr_un &address)
{
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.isEmpty() || size_t(path.size()) >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    return true;
}

// Waits up to `timeoutMs` for `events` on `fd`, through interruptions.
bool waitFor(int fd, short events, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, int(deadline.remainingTime()));
        if (ready > 0)
            return true;
        if (ready == 0 || errno != EINTR)
            return false;
    }
}

// One later copy's connection: it sends one short line at once and is answered, or is dropped
// (closed without an answer) when it sends more, or nothing, or takes longer.
class Request : public QObject
{
public:
    Request(int fd, std::function<void()> onFront, QObject *parent)
        : QObject(parent), fd_(fd), onFront_(std::move(onFront))
    {
        notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this, &Request::readSome);
        QTimer::singleShot(SingleCopy::kClientTimeoutMs, this, &Request::finish);
    }
    ~Request() override { closeFd(); }

private:
    void readSome()
    {
        char data[kReadMax];
        ssize_t n;
        do
            n = ::read(fd_, data, size_t(kReadMax - received_.size()));
        while (n < 0 && errno == EINTR);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (n > 0)
            received_.append(data, n);
        const qsizetype end = received_.indexOf('\n');
        if (end >= 0) {
            if (received_.first(end + 1) == kFrontRequest)
                onFront_();
            // A peer that has gone already misses the answer; it is not a signal to us.
            ::send(fd_, kAnswer, sizeof kAnswer - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            finish();
        } else if (n <= 0 || received_.size() >= kReadMax) {
            finish(); // gone, or too much without a line
        }
    }
    void finish()
    {
        closeFd();
        deleteLater();
    }
    void closeFd()
    {
        if (fd_ < 0)
            return;
        notifier_->setEnabled(false);
        ::close(fd_);
        fd_ = -1;
    }

    int fd_;
    std::function<void()> onFront_;
    QSocketNotifier *notifier_ = nullptr;
    QByteArray received_;
};

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
    stopListening();
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
    QString error;
    if (!listen(error))
        qCWarning(lcSingleCopy).noquote() << "a later copy cannot reach this one:" << error;
    return true;
}

bool SingleCopy::listen(QString &error)
{
    const QByteArray path = QFile::encodeName(socketPath_);
    // Bound in a private folder of its own, given its mode and only then put in place, so that
    // it never appears under its name with other permissions.
    QByteArray folder = QFile::encodeName(QFileInfo(socketPath_).absolutePath()) + "/XXXXXX";
    sockaddr_un address, boundAddress;
    if (!socketAddress(path, address) || !socketAddress(folder + "/s", boundAddress)) {
        error = QStringLiteral("the path %1 is too long for a socket").arg(socketPath_);
        return false;
    }
    // A socket left by a copy that ended without cleaning up is ours to replace: we hold the lock.
    ::unlink(path.constData());
    if (!::mkdtemp(folder.data())) {
        error = errnoText();
        return false;
    }
    const QByteArray bound = folder + "/s";
    socketAddress(bound, boundAddress);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const bool listening =
        fd >= 0 &&
        ::bind(fd, reinterpret_cast<const sockaddr *>(&boundAddress), sizeof boundAddress) == 0 &&
        ::listen(fd, kBacklog) == 0 && ::chmod(bound.constData(), S_IRWXU) == 0 &&
        ::rename(bound.constData(), path.constData()) == 0;
    if (!listening) {
        error = errnoText();
        if (fd >= 0)
            ::close(fd);
        ::unlink(bound.constData());
    }
    ::rmdir(folder.constData());
    if (!listening)
        return false;
    listenFd_ = fd;
    listenNotifier_ = new QSocketNotifier(listenFd_, QSocketNotifier::Read, this);
    connect(listenNotifier_, &QSocketNotifier::activated, this, &SingleCopy::acceptClients);
    return true;
}

void SingleCopy::acceptClients()
{
    for (;;) {
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            new Request(
                fd, [this] { Q_EMIT frontRequested(); }, this);
            continue;
        }
        if (errno == EINTR || errno == ECONNABORTED)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return;
        // Out of descriptors or worse: the socket would wake us at once, again and again.
        qCWarning(lcSingleCopy).noquote()
            << "a later copy cannot reach this one any more:" << errnoText();
        stopListening();
        return;
    }
}

void SingleCopy::stopListening()
{
    if (listenFd_ < 0)
        return;
    delete listenNotifier_;
    listenNotifier_ = nullptr;
    ::close(listenFd_);
    listenFd_ = -1;
    ::unlink(QFile::encodeName(socketPath_).constData());
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
    sockaddr_un address;
    if (!socketAddress(QFile::encodeName(socketPath_), address))
        return false;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    // One time limit for the whole exchange. A running copy whose queue of connections is full
    // is tried again until it is up.
    const QDeadlineTimer deadline(timeoutMs);
    const auto left = [&deadline] { return int(deadline.remainingTime()); };
    int connected;
    while ((connected =
                ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address)) != 0 &&
           (errno == EINTR || (errno == EAGAIN && !deadline.hasExpired())))
        ::poll(nullptr, 0, 10);
    bool answered = false;
    if (connected == 0 && waitFor(fd, POLLOUT, left()) &&
        ::send(fd, kFrontRequest, sizeof kFrontRequest - 1, MSG_NOSIGNAL) ==
            ssize_t(sizeof kFrontRequest - 1)) {
        // The answer comes once the request has been taken up.
        char answer[sizeof kAnswer];
        answered = waitFor(fd, POLLIN, left()) && ::read(fd, answer, sizeof answer) > 0;
    }
    ::close(fd);
    return answered;
}

} // namespace platform
