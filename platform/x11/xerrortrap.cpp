#include "xerrortrap.h"

namespace platform {

namespace {
// Xlib has a single process-wide error handler, so the innermost live trap is global too.
XErrorTrap *activeTrap = nullptr;
} // namespace

XErrorTrap::XErrorTrap(Display *display) : m_display(display), m_outer(activeTrap)
{
    // Errors of requests made before the trap belong to whoever made them.
    XSync(m_display, False);
    activeTrap = this;
    m_previousHandler = XSetErrorHandler(&XErrorTrap::handleError);
}

XErrorTrap::~XErrorTrap()
{
    // Errors arrive asynchronously; collect the ones still in flight before letting go, or
    // they would reach the default handler, which exits the program.
    XSync(m_display, False);
    XSetErrorHandler(m_previousHandler);
    activeTrap = m_outer;
}

bool XErrorTrap::failed()
{
    XSync(m_display, False);
    return m_errorCode != 0;
}

void XErrorTrap::reset()
{
    XSync(m_display, False);
    m_errorCode = 0;
}

int XErrorTrap::handleError(Display *display, XErrorEvent *event)
{
    for (XErrorTrap *trap = activeTrap; trap; trap = trap->m_outer) {
        if (trap->m_display == display) {
            if (trap->m_errorCode == 0)
                trap->m_errorCode = event->error_code;
            return 0;
        }
    }
    // Another connection of this process (Qt's own, say): not ours to judge.
    XErrorTrap *outermost = activeTrap;
    while (outermost && outermost->m_outer)
        outermost = outermost->m_outer;
    if (outermost && outermost->m_previousHandler)
        return outermost->m_previousHandler(display, event);
    return 0;
}

} // namespace platform
