// Qt before Xlib, whose macros clash with Qt's headers.
#include "polling.h"

#include "testdisplay.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <stdexcept>

TestDisplay::TestDisplay() : display_(XOpenDisplay(nullptr))
{
    if (!display_)
        throw std::runtime_error("cannot open the X display");
}

TestDisplay::~TestDisplay()
{
    XCloseDisplay(display_);
}

Atom TestDisplay::atom(const char *name)
{
    return XInternAtom(display_, name, False);
}

bool TestDisplay::windowManagerRunning()
{
    return XGetSelectionOwner(display_, atom("WM_S0")) != None;
}

Window TestDisplay::createTopLevel(const QByteArray &wmName, const char *windowClass,
                                   QRect geometry, int gravity, bool map)
{
    const Window window =
        XCreateSimpleWindow(display_, root(), geometry.x(), geometry.y(), geometry.width(),
                            geometry.height(), 0, 0, WhitePixel(display_, 0));
    XClassHint hint{const_cast<char *>("dovraxtest"), const_cast<char *>(windowClass)};
    XSetClassHint(display_, window, &hint);
    if (!wmName.isNull()) {
        XChangeProperty(display_, window, XA_WM_NAME, XA_STRING, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char *>(wmName.constData()),
                        static_cast<int>(wmName.size()));
    }
    XSizeHints hints{};
    hints.flags = USPosition | USSize | PWinGravity;
    hints.x = geometry.x();
    hints.y = geometry.y();
    hints.width = geometry.width();
    hints.height = geometry.height();
    hints.win_gravity = gravity;
    XSetWMNormalHints(display_, window, &hints);
    if (map)
        XMapWindow(display_, window);
    XSync(display_, False);
    windows_.push_back(window);
    return window;
}

Window TestDisplay::createChild(Window parent, const char *windowClass, const QByteArray &wmName)
{
    const Window child =
        XCreateSimpleWindow(display_, parent, 5, 5, 40, 20, 0, 0, BlackPixel(display_, 0));
    XClassHint hint{const_cast<char *>("dovraxtest"), const_cast<char *>(windowClass)};
    XSetClassHint(display_, child, &hint);
    if (!wmName.isEmpty())
        XStoreName(display_, child, wmName.constData());
    XSelectInput(display_, child, KeyPressMask | KeyReleaseMask);
    XMapWindow(display_, child);
    XSync(display_, False);
    return child;
}

void TestDisplay::setNetWmName(Window window, const QString &title)
{
    const QByteArray utf8 = title.toUtf8();
    XChangeProperty(display_, window, atom("_NET_WM_NAME"), atom("UTF8_STRING"), 8, PropModeReplace,
                    reinterpret_cast<const unsigned char *>(utf8.constData()),
                    static_cast<int>(utf8.size()));
    XSync(display_, False);
}

void TestDisplay::destroy(Window window)
{
    XDestroyWindow(display_, window);
    XSync(display_, False);
    windows_.erase(std::remove(windows_.begin(), windows_.end(), window), windows_.end());
}

void TestDisplay::destroyWindows()
{
    for (const Window window : windows_)
        XDestroyWindow(display_, window);
    XSync(display_, False);
    windows_.clear();
}

bool TestDisplay::waitForWindowManager()
{
    static bool ready = false;
    if (ready || !windowManagerRunning())
        return true;
    const Window probe = createTopLevel("Window Manager Probe", "DovraxProbe", {0, 0, 10, 10});
    for (int attempt = 0; attempt < 20 && !ready; ++attempt) {
        XMapWindow(display_, probe);
        XSync(display_, False);
        ready = waitUntil([&] { return wmState(probe) == NormalState; }, 500);
    }
    destroy(probe);
    return ready && waitUntilNoClients();
}

bool TestDisplay::waitUntilNoClients()
{
    return waitUntil(
        [&] { return readLongs(root(), atom("_NET_CLIENT_LIST"), XA_WINDOW).empty(); });
}

bool TestDisplay::isViewable(Window window)
{
    XWindowAttributes attributes;
    return XGetWindowAttributes(display_, window, &attributes) &&
           attributes.map_state == IsViewable;
}

bool TestDisplay::waitUntilShown(Window window)
{
    const bool managed = windowManagerRunning();
    return waitUntil(
        [&] { return isViewable(window) && (!managed || wmState(window) == NormalState); });
}

std::vector<unsigned long> TestDisplay::readLongs(Window window, Atom property, Atom type,
                                                  long maxLongs)
{
    Atom actualType = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char *data = nullptr;
    std::vector<unsigned long> items;
    if (XGetWindowProperty(display_, window, property, 0, maxLongs, False, type, &actualType,
                           &format, &count, &after, &data) == Success &&
        actualType == type && format == 32) {
        const auto *longs = reinterpret_cast<unsigned long *>(data);
        items.assign(longs, longs + count);
    }
    if (data)
        XFree(data);
    return items;
}

std::vector<unsigned long> TestDisplay::netWmIcon(Window window)
{
    return readLongs(window, atom("_NET_WM_ICON"), XA_CARDINAL, 1L << 24);
}

long TestDisplay::wmState(Window window)
{
    const auto state = readLongs(window, atom("WM_STATE"), atom("WM_STATE"));
    return state.empty() ? -1 : static_cast<long>(state.front());
}

bool TestDisplay::hasNetWmState(Window window, const char *state)
{
    const auto states = readLongs(window, atom("_NET_WM_STATE"), XA_ATOM);
    return std::find(states.begin(), states.end(), atom(state)) != states.end();
}

void TestDisplay::setNetWmStateProperty(Window window, const std::vector<const char *> &states)
{
    std::vector<Atom> atoms;
    for (const char *state : states)
        atoms.push_back(atom(state));
    XChangeProperty(display_, window, atom("_NET_WM_STATE"), XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char *>(atoms.data()),
                    static_cast<int>(atoms.size()));
    XSync(display_, False);
}

void TestDisplay::requestMaximized(Window window, bool maximized)
{
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = atom("_NET_WM_STATE");
    event.xclient.format = 32;
    event.xclient.data.l[0] = maximized ? 1 : 0;
    event.xclient.data.l[1] = static_cast<long>(atom("_NET_WM_STATE_MAXIMIZED_VERT"));
    event.xclient.data.l[2] = static_cast<long>(atom("_NET_WM_STATE_MAXIMIZED_HORZ"));
    event.xclient.data.l[3] = 2;
    XSendEvent(display_, root(), False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
    XSync(display_, False);
}

void TestDisplay::iconify(Window window)
{
    XIconifyWindow(display_, window, DefaultScreen(display_));
    XSync(display_, False);
}

bool TestDisplay::focusIsWithin(Window window)
{
    Window focus = None;
    int revert = 0;
    XGetInputFocus(display_, &focus, &revert);
    while (focus != None && focus != PointerRoot && focus != root()) {
        if (focus == window)
            return true;
        Window rootReturn = None;
        Window parent = None;
        Window *children = nullptr;
        unsigned count = 0;
        if (!XQueryTree(display_, focus, &rootReturn, &parent, &children, &count))
            return false;
        if (children)
            XFree(children);
        focus = parent;
    }
    return false;
}

QSize TestDisplay::clientSize(Window window)
{
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(display_, window, &attributes))
        return {};
    return {attributes.width, attributes.height};
}

std::vector<XKeyEvent> TestDisplay::takeKeyEvents(Window window, int type)
{
    std::vector<XKeyEvent> events;
    XSync(display_, False);
    XEvent event;
    while (XCheckTypedWindowEvent(display_, window, type, &event))
        events.push_back(event.xkey);
    return events;
}
