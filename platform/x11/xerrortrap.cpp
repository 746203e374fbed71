#include "xerrortrap.h"

namespace platform {

namespace {
// Xlib has a single process-wide error handler, so the innermost live trap is global too.
XErrorTrap *activeTrap = nullptr;
} // namespace

XErrorTrap::XErrorTrap(Display *display) : display_(display), outer_(activeTrap)
{
    // Errors of requests made before the trap belong to whoever made them.
    XSync(display_, False);
    activeTrap = this;
    previousHandler_ = XSetErrorHandler(&XErrorTrap::handleError);
}

XErrorTrap::~XErrorTrap()
{
    // Errors arrive asynchronously; collect the ones still in flight before letting go, or
    // they would reach the default handler, which exits the program.
    XSync(display_, False);
    XSetErrorHandler(previousHandler_);
    activeTrap = outer_;
}

bool XErrorTrap::failed()
{
    XSync(display_, False);
    return errorCode_ != 0;
}

void XErrorTrap::reset()
{
    XSync(display_, False);
    errorCode_ = 0;
}

int XErrorTrap::handleError(Display *display, XErrorEvent *event)
{
    for (XErrorTrap *trap = activeTrap; trap; trap = trap->outer_) {
        if (trap->display_ == display) {
            if (trap->errorCode_ == 0)
                trap->errorCode_ = event->error_code;
            return 0;
        }
    }
    // Another connection of this process (Qt's own, say): not ours to judge.
    XErrorTrap *outermost = activeTrap;
    while (outermost && outermost->outer_)
        outermost = outermost->outer_;
    if (outermost && outermost->previousHandler_)
        return outermost->previousHandler_(display, event);
    return 0;
}

} // namespace platform
