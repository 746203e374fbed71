#include "lockkeys.h"

#include <QGuiApplication>

#ifdef DOVRAX_HAVE_X11
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#endif

namespace platform {

LockKeys lockKeyState()
{
    LockKeys keys;
#ifdef DOVRAX_HAVE_X11
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        return keys;
    // A connection of our own, opened once: Qt's xcb connection does not offer Xkb indicators.
    static Display *display = XOpenDisplay(nullptr);
    if (!display)
        return keys;
    // The indicator names are interned once; each poll then costs one request per lock key.
    static const Atom names[3] = {XInternAtom(display, "Caps Lock", False),
                                  XInternAtom(display, "Num Lock", False),
                                  XInternAtom(display, "Scroll Lock", False)};
    bool *const state[3] = {&keys.caps, &keys.num, &keys.scroll};
    for (int i = 0; i < 3; ++i) {
        Bool on = False;
        *state[i] =
            XkbGetNamedIndicator(display, names[i], nullptr, &on, nullptr, nullptr) && on == True;
    }
#endif
    return keys;
}

} // namespace platform
