// Finding and driving other programs' top-level windows.
//
// The program sees other windows only through this interface; the X11 implementation lives in
// platform/x11, and on a display that is not X11 every lookup finds nothing.
#pragma once

#include <QRect>
#include <QString>

#include <cstdint>
#include <memory>
#include <optional>

namespace platform {

// An opaque window id; 0 is no window.
using HostWindow = std::uint64_t;

// Virtual keys the program synthesises (the values are the classic virtual-key codes).
enum class VirtualKey : std::uint8_t
{
    Control = 0x11,
    P = 0x50,
    F5 = 0x74
};

class HostWindows
{
public:
    virtual ~HostWindows() = default;

    // Top-level client window whose title (_NET_WM_NAME, else WM_NAME) equals `title` exactly.
    virtual HostWindow findByTitle(const QString &title) = 0;
    // Top-level client window whose WM_CLASS class equals `windowClass`.
    virtual HostWindow findByClass(const QString &windowClass) = 0;
    // Like findByClass, but only a window that a copy of this program, run by this user, has
    // marked with markAsMainWindow: another program's window of that class is not ours.
    virtual HostWindow findMainWindow(const QString &windowClass) = 0;
    // First direct child window of `parent` whose WM_CLASS class equals `windowClass`.
    virtual HostWindow findChildByClass(HostWindow parent, const QString &windowClass) = 0;

    // Show command 1: de-iconify and drop the maximised state.
    virtual void showNormal(HostWindow window) = 0;
    // Bring to the foreground and give it the keyboard focus.
    virtual void activate(HostWindow window) = 0;
    // Outer rectangle on screen (the window manager's frame when there is one); for an iconic
    // window, where it will be restored to.
    virtual std::optional<QRect> frameGeometry(HostWindow window) = 0;
    // Move the window so that its outer rectangle's top-left corner lands on `topLeft`,
    // keeping its size.
    virtual void moveTo(HostWindow window, QPoint topLeft) = 0;

    // Synthesised key events into whatever has the keyboard focus.
    virtual void keyDown(VirtualKey key) = 0;
    virtual void keyUp(VirtualKey key) = 0;
    // A character sent straight to `window` (key press and release), like a posted WM_CHAR.
    virtual void postChar(HostWindow window, char16_t character) = 0;

    // Bring a running copy's window to the front: restore it when iconic, then activate its
    // transient (modal) window if it has one, else the window itself.
    virtual void bringToFront(HostWindow window) = 0;
    // WM_CLASS class of a window of this process (the native id of a shown QWidget window).
    virtual QString windowClass(HostWindow window) = 0;
    // Marks a window of this process as this program's main window, for findMainWindow.
    virtual void markAsMainWindow(HostWindow window) = 0;
};

// The implementation for the running display: X11 when the platform is xcb, otherwise one
// that finds nothing and does nothing.
std::unique_ptr<HostWindows> createHostWindows();

// Connects to the X server `display` names (empty: the one $DISPLAY names) before the
// application exists, where the program is about to run on it: the one connection both tells
// whether the server accepts one and drives windows there afterwards. Null when the server does
// not accept a connection. In a build without X11, where the windowing platform gives its own
// answer, one that finds nothing.
std::unique_ptr<HostWindows> openX11HostWindows(const QByteArray &display);

} // namespace platform
