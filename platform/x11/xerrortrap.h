// Catches the X errors raised on one connection while it is alive, instead of letting Xlib's
// default handler print them and exit. Used around every request that names a window owned by
// another program, since that window may be destroyed at any moment.
#pragma once

#include <X11/Xlib.h>

namespace platform {

class XErrorTrap
{
public:
    explicit XErrorTrap(Display *display);
    // Waits for the server to process the requests made meanwhile, then puts back the handler
    // that was installed before.
    ~XErrorTrap();

    XErrorTrap(const XErrorTrap &) = delete;
    XErrorTrap &operator=(const XErrorTrap &) = delete;

    // Whether any request made since construction (or the last reset) failed; waits for the
    // server to have answered them all first.
    bool failed();
    // The first error code recorded (BadWindow, BadMatch...), 0 when none.
    int errorCode() const { return errorCode_; }
    // Forgets the errors recorded so far.
    void reset();

private:
    static int handleError(Display *display, XErrorEvent *event);

    Display *display_;
    XErrorTrap *outer_;
    int (*previousHandler_)(Display *, XErrorEvent *);
    int errorCode_ = 0;
};

} // namespace platform
