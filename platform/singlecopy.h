// One running copy per user on any windowing platform: a lock file in the user's runtime
// folder, held (flock) while the program runs, and a local socket beside it through which a
// later copy asks the running one to come to the front.
#pragma once

#include <QObject>
#include <QString>

class QSocketNotifier;

namespace platform {

class SingleCopy : public QObject
{
    Q_OBJECT
public:
    // A client of the socket that has not sent its request within this time is dropped.
    static constexpr int kClientTimeoutMs = 3000;

    // `name` names the lock file and the socket in the runtime folder.
    explicit SingleCopy(const QString &name, QObject *parent = nullptr);
    ~SingleCopy() override;

    // Takes the lock and starts answering later copies. False when a live copy of this program
    // of this user holds it; a lock of anyone or anything else is stale and cleared away,
    // whatever it holds. True also when there is no runtime folder to lock in (the reason goes
    // to the log).
    bool acquire();

    // Asks the copy that holds the lock to come to the front. False when it did not answer
    // within `timeoutMs`.
    bool askRunningCopyToFront(int timeoutMs = 2000);

Q_SIGNALS:
    // A later copy asked this one to come to the front.
    void frontRequested();

private:
    enum class LockState
    {
        Taken,
        Held,
        Stale,
        Failed
    };
    // One round of taking the lock; Stale when one was cleared away (or changed meanwhile) and
    // another round should follow.
    LockState tryLock();
    // Creates this copy's lock under a fresh name, locked and with its owner written.
    bool prepareLock(const QByteArray &path);
    void discardPrepared();
    // Binds and listens on the socket, readable and writable by the user alone; false (with the
    // reason in `error`) when it cannot.
    bool listen(QString &error);
    void acceptClients();
    void stopListening();

    QString lockPath_;
    QString socketPath_;
    // The lock this copy holds (an advisory lock on the open file), or the one it prepared.
    int lockFd_ = -1;
    QByteArray preparedPath_;
    QString lockError_;
    // The socket later copies connect to, while this copy holds the lock.
    int listenFd_ = -1;
    QSocketNotifier *listenNotifier_ = nullptr;
};

} // namespace platform
