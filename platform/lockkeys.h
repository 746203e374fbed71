// State of the keyboard's lock keys, and a watcher that tells of its changes.
#pragma once

#include <QObject>

namespace platform {

struct LockKeys
{
    bool caps = false;
    bool num = false;
    bool scroll = false;
    bool operator==(const LockKeys &) const = default;
};

// The lock keys' state as the display reports it. This one, for displays that do not report
// it, keeps all keys off; createLockKeyWatcher() picks the one for the display in use.
class LockKeyWatcher : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    LockKeys state() const { return state_; }

Q_SIGNALS:
    void changed(const platform::LockKeys &state);

protected:
    // Keeps `state`, telling of it when it differs from the one kept.
    void setState(const LockKeys &state);

private:
    LockKeys state_;
};

// A watcher of the display the application shows its windows on, owned by `parent`.
LockKeyWatcher *createLockKeyWatcher(QObject *parent);

} // namespace platform
