#include "lockkeys.h"

#include "config-dovrax.h"

#include <QGuiApplication>

#ifdef DOVRAX_HAVE_X11
#include "x11/x11lockkeys.h"
#endif

namespace platform {

void LockKeyWatcher::setState(const LockKeys &state)
{
    if (state == state_)
        return;
    state_ = state;
    Q_EMIT changed(state_);
}

LockKeyWatcher *createLockKeyWatcher(QObject *parent)
{
#ifdef DOVRAX_HAVE_X11
    if (QGuiApplication::platformName() == QLatin1String("xcb")) {
        if (LockKeyWatcher *x11 = X11LockKeyWatcher::create(parent))
            return x11;
    }
#endif
    return new LockKeyWatcher(parent);
}

} // namespace platform
