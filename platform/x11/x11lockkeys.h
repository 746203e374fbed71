// The lock keys on X11: Xkb's named indicators, read on Qt's own connection to the display
// and read again whenever the server reports an indicator change.
#pragma once

#include "lockkeys.h"

#include <QAbstractNativeEventFilter>

typedef struct _XDisplay Display;

namespace platform {

class X11LockKeyWatcher final : public LockKeyWatcher, public QAbstractNativeEventFilter
{
    Q_OBJECT
public:
    // Null when Qt's connection has no Xlib display or the server has no Xkb.
    static X11LockKeyWatcher *create(QObject *parent);
    ~X11LockKeyWatcher() override;

    bool nativeEventFilter(const QByteArray &eventType, void *message, qintptr *result) override;

private:
    X11LockKeyWatcher(Display *display, int xkbEventBase, QObject *parent);
    void read();

    Display *display_;
    int xkbEventBase_;
    unsigned long names_[3]; // the indicator names' atoms: Caps, Num, Scroll Lock
    bool readPending_ = false;
};

} // namespace platform
