// The window tests' own X connection: makes plain windows to drive and looks at what the code
// under test did to the server, independently of it.
#pragma once

#include <QRect>
#include <QString>

#include <X11/Xlib.h>

#include <vector>

class TestDisplay
{
public:
    TestDisplay();
    ~TestDisplay();

    TestDisplay(const TestDisplay &) = delete;
    TestDisplay &operator=(const TestDisplay &) = delete;

    Display *display() const { return display_; }
    Window root() const { return DefaultRootWindow(display_); }
    bool windowManagerRunning();
    // Waits (bounded) until the window manager manages new windows; a window mapped while it is
    // still starting up can be left alone for good.
    bool waitForWindowManager();
    // Waits (bounded) until the window manager manages no window any more. Tests end with this:
    // the server hands the ids of a closed connection to the next one, and a manager still
    // busy forgetting the old windows would mistake the new ones for them.
    bool waitUntilNoClients();

    // A shown top-level window with WM_CLASS ("dovraxtest", `windowClass`), the Latin-1 bytes
    // `wmName` as WM_NAME, and the given gravity in WM_NORMAL_HINTS.
    Window createTopLevel(const QByteArray &wmName, const char *windowClass, QRect geometry,
                          int gravity = NorthWestGravity, bool map = true);
    // A shown child window with WM_CLASS ("dovraxtest", `windowClass`) and the given WM_NAME.
    Window createChild(Window parent, const char *windowClass, const QByteArray &wmName = {});
    void setNetWmName(Window window, const QString &title);
    void destroy(Window window);
    // Destroys every top-level window made here.
    void destroyWindows();

    // Waits (bounded) until the window is shown, and managed when a manager runs.
    bool waitUntilShown(Window window);
    bool isViewable(Window window);
    // WM_STATE's state field, -1 without the property.
    long wmState(Window window);
    bool hasNetWmState(Window window, const char *state);
    void setNetWmStateProperty(Window window, const std::vector<const char *> &states);
    // Asks the window manager to (un)maximise the window.
    void requestMaximized(Window window, bool maximized);
    void iconify(Window window);
    bool focusIsWithin(Window window);
    // Client window size, which a frame around it does not change.
    QSize clientSize(Window window);

    // The whole of the window's _NET_WM_ICON, empty without it.
    std::vector<unsigned long> netWmIcon(Window window);

    // Key events of the given type queued for `window`.
    std::vector<XKeyEvent> takeKeyEvents(Window window, int type);

private:
    Atom atom(const char *name);
    std::vector<unsigned long> readLongs(Window window, Atom property, Atom type,
                                         long maxLongs = 64);

    Display *display_;
    std::vector<Window> windows_;
};
