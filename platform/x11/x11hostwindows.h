// HostWindows for an X11 display: Xlib for finding windows and asking the window manager to
// restore, activate and move them; XTest for key strokes.
//
// Uses a connection of its own (to the server Qt uses), so nothing here depends on how Qt
// talks to it; meant for the GUI thread only. Where a call waits for the window manager, the
// program's event loop runs meanwhile, without the user's input: its windows keep painting and
// its timers running, so a caller's own slots may run before the call returns. Every request
// that names another program's window is made under an error trap: a window that is gone makes
// lookups find nothing and actions do nothing (with a warning in the log).
#pragma once

#include "hostwindows.h"

#include <array>
#include <functional>
#include <memory>
#include <vector>

struct _XDisplay;

namespace platform {

class X11HostWindows final : public HostWindows
{
public:
    // Connects to the X server of the running QGuiApplication (else the one $DISPLAY names);
    // nullptr when that fails.
    static std::unique_ptr<X11HostWindows> open();
    // Connects to the X server `name` names (null: the one $DISPLAY names); nullptr when that
    // fails.
    static std::unique_ptr<X11HostWindows> open(const char *name);
    ~X11HostWindows() override;

    X11HostWindows(const X11HostWindows &) = delete;
    X11HostWindows &operator=(const X11HostWindows &) = delete;

    // Top-most match first when several windows qualify.
    HostWindow findByTitle(const QString &title) override;
    HostWindow findByClass(const QString &windowClass) override;
    HostWindow findMainWindow(const QString &windowClass) override;
    HostWindow findChildByClass(HostWindow parent, const QString &windowClass) override;

    void showNormal(HostWindow window) override;
    // Waits briefly (a fraction of a second at most) for the focus to arrive, so that key
    // strokes sent right after land in the window.
    void activate(HostWindow window) override;
    // Waits (a second at most) while the window manager animates iconifying or restoring the
    // window: an iconic window's rectangle is where it will be restored to.
    std::optional<QRect> frameGeometry(HostWindow window) override;
    // First waits (a second at most) until the window manager has finished showing the window,
    // restoring it from the iconic state included; then waits briefly for it to carry out the
    // move, so that a move made right after starts from there.
    void moveTo(HostWindow window, QPoint topLeft) override;

    // Do nothing when the server lacks the XTest extension.
    void keyDown(VirtualKey key) override;
    void keyUp(VirtualKey key) override;
    // Characters with no key on the current keyboard map are not sent.
    void postChar(HostWindow window, char16_t character) override;

    void bringToFront(HostWindow window) override;
    QString windowClass(HostWindow window) override;
    // Sets _DOVRAX_MAIN_WINDOW to the user id.
    void markAsMainWindow(HostWindow window) override;

private:
    enum AtomId : int
    {
        WmState,
        WmName,
        NetWmName,
        Utf8String,
        CompoundText,
        NetSupported,
        NetSupportingWmCheck,
        NetClientList,
        NetClientListStacking,
        NetActiveWindow,
        NetWmState,
        NetWmStateMaximizedVert,
        NetWmStateMaximizedHorz,
        NetWmStateHidden,
        DovraxMainWindow,
        AtomCount
    };

    explicit X11HostWindows(_XDisplay *display);

    unsigned long atom(AtomId which) const { return atoms_[which]; }
    unsigned long root() const;
    bool validWindow(HostWindow window) const;
    bool windowManagerRunning();
    bool windowManagerSupports(AtomId which);
    // Top-level client windows, top-most first.
    std::vector<unsigned long> clientWindows();
    HostWindow findClient(const std::function<bool(unsigned long)> &matches);
    bool titleIs(unsigned long window, const QString &title);
    bool classIs(unsigned long window, const QString &windowClass);
    QString title(unsigned long window);
    QString classOf(unsigned long window);
    bool hasWmState(unsigned long window);
    bool isIconic(unsigned long window);
    bool isMarkedAsMainWindow(unsigned long window);
    unsigned long frameOf(unsigned long window);
    std::optional<QRect> outerGeometry(unsigned long window);
    // The window manager has finished placing the window: it is shown and its frame holds all
    // of the client, or (unless `shown` is asked for) it is iconic and its frame hidden, or it
    // is not shown at all. While a manager animates iconifying or restoring, the frame stands
    // at places and sizes that are not the window's.
    bool hasSettled(unsigned long window, unsigned long frame, bool shown);
    // Polls until the window has settled and its frame stands still, or a second has passed.
    bool waitUntilSettled(unsigned long window, unsigned long frame, bool shown);
    // Polls until the frame has left `from` and the window has settled again; nullopt when that
    // does not happen within a moment.
    std::optional<QPoint> waitForMove(unsigned long window, unsigned long frame, QPoint from);
    bool focusIsWithin(unsigned long window);
    void sendToRoot(unsigned long window, AtomId message, long l0, long l1 = 0, long l2 = 0,
                    long l3 = 0);
    void removeMaximizedFromProperty(unsigned long window);
    void fakeKey(VirtualKey key, bool press);
    void warnGone(const char *action, HostWindow window, int errorCode) const;

    _XDisplay *display_;
    std::array<unsigned long, AtomCount> atoms_{};
    unsigned long managerSelection_ = 0;
    bool hasXTest_ = false;
    bool warnedNoXTest_ = false;
};

} // namespace platform
