// One running copy per user on any windowing platform: a lock file in the user's runtime
// folder, held while the program runs, and a local socket beside it through which a later copy
// asks the running one to come to the front.
#pragma once

#include <QObject>
#include <QString>

#include <memory>

class QLocalServer;
class QLockFile;

namespace platform {

class SingleCopy : public QObject
{
    Q_OBJECT
public:
    // `name` names the lock file and the socket in the runtime folder.
    explicit SingleCopy(const QString &name, QObject *parent = nullptr);
    ~SingleCopy() override;

    // Takes the lock and starts answering later copies. False when another running copy holds
    // it; true also when there is no runtime folder to lock in (the reason goes to the log).
    bool acquire();

    // Asks the copy that holds the lock to come to the front. False when it did not answer
    // within `timeoutMs`.
    bool askRunningCopyToFront(int timeoutMs = 2000);

Q_SIGNALS:
    // A later copy asked this one to come to the front.
    void frontRequested();

private:
    QString lockPath_;
    QString socketPath_;
    std::unique_ptr<QLockFile> lock_;
    QLocalServer *server_ = nullptr;
};

} // namespace platform
