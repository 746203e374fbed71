#include "x11lockkeys.h"

#include <QCoreApplication>
#include <QGuiApplication>

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <xcb/xcb.h>

namespace platform {

X11LockKeyWatcher *X11LockKeyWatcher::create(QObject *parent)
{
    // Qt's own connection, so that the display given with -display is the one watched.
    auto *x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    Display *display = x11 ? x11->display() : nullptr;
    if (!display)
        return nullptr;
    int opcode = 0, eventBase = 0, errorBase = 0;
    int major = XkbMajorVersion, minor = XkbMinorVersion;
    if (!XkbQueryExtension(display, &opcode, &eventBase, &errorBase, &major, &minor))
        return nullptr;
    return new X11LockKeyWatcher(display, eventBase, parent);
}

X11LockKeyWatcher::X11LockKeyWatcher(Display *display, int xkbEventBase, QObject *parent)
    : LockKeyWatcher(parent), display_(display), xkbEventBase_(xkbEventBase)
{
    // Only the indicator events are added to what Qt itself asked of Xkb.
    XkbSelectEvents(display_, XkbUseCoreKbd, XkbIndicatorStateNotifyMask,
                    XkbIndicatorStateNotifyMask);
    // In one round trip; XInternAtoms only reads the names.
    char *names[3] = {const_cast<char *>("Caps Lock"), const_cast<char *>("Num Lock"),
                      const_cast<char *>("Scroll Lock")};
    Atom atoms[3] = {};
    XInternAtoms(display_, names, 3, False, atoms);
    for (int i = 0; i < 3; ++i)
        names_[i] = atoms[i];
    read();
    QCoreApplication::instance()->installNativeEventFilter(this);
}

X11LockKeyWatcher::~X11LockKeyWatcher()
{
    if (QCoreApplication *app = QCoreApplication::instance())
        app->removeNativeEventFilter(this);
}

bool X11LockKeyWatcher::nativeEventFilter(const QByteArray &eventType, void *message, qintptr *)
{
    if (eventType != "xcb_generic_event_t")
        return false;
    const auto *event = static_cast<const xcb_generic_event_t *>(message);
    // An Xkb event carries its kind in the byte after the response type.
    if ((event->response_type & 0x7f) == xkbEventBase_ && event->pad0 == XkbIndicatorStateNotify &&
        !readPending_) {
        // Read after Qt has finished with the event: one read for a burst of changes.
        readPending_ = true;
        QMetaObject::invokeMethod(this, &X11LockKeyWatcher::read, Qt::QueuedConnection);
    }
    return false;
}

void X11LockKeyWatcher::read()
{
    readPending_ = false;
    bool on[3] = {};
    for (int i = 0; i < 3; ++i) {
        Bool state = False;
        on[i] = XkbGetNamedIndicator(display_, names_[i], nullptr, &state, nullptr, nullptr) &&
                state == True;
    }
    setState(LockKeys{on[0], on[1], on[2]});
}

} // namespace platform
