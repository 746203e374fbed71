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
    auto indicator = [](const char *name) {
        Bool on = False;
        const Atom atom = XInternAtom(display, name, False);
        if (!XkbGetNamedIndicator(display, atom, nullptr, &on, nullptr, nullptr))
            return false;
        return on == True;
    };
    keys.caps = indicator("Caps Lock");
    keys.num = indicator("Num Lock");
    keys.scroll = indicator("Scroll Lock");
#endif
    return keys;
}

} // namespace platform
