#include "hostwindows.h"

#include "config-dovrax.h"

#include <QGuiApplication>

#ifdef DOVRAX_HAVE_X11
#include "x11/x11hostwindows.h"
#endif

namespace platform {

namespace {

// For displays we cannot look into: nothing is ever found, so nothing is ever driven.
class NullHostWindows final : public HostWindows
{
public:
    HostWindow findByTitle(const QString &) override { return 0; }
    HostWindow findByClass(const QString &) override { return 0; }
    HostWindow findMainWindow(const QString &) override { return 0; }
    HostWindow findChildByClass(HostWindow, const QString &) override { return 0; }
    void showNormal(HostWindow) override {}
    void activate(HostWindow) override {}
    std::optional<QRect> frameGeometry(HostWindow) override { return std::nullopt; }
    void moveTo(HostWindow, QPoint) override {}
    void keyDown(VirtualKey) override {}
    void keyUp(VirtualKey) override {}
    void postChar(HostWindow, char16_t) override {}
    void bringToFront(HostWindow) override {}
    QString windowClass(HostWindow) override { return {}; }
    void markAsMainWindow(HostWindow) override {}
};

} // namespace

std::unique_ptr<HostWindows> createHostWindows()
{
#ifdef DOVRAX_HAVE_X11
    // The X server Qt talks to is only worth opening when Qt itself is on X11; under Wayland
    // an XWayland server would only show us other X clients.
    if (QGuiApplication::platformName() == QLatin1String("xcb")) {
        if (auto x11 = X11HostWindows::open())
            return x11;
    }
#endif
    return std::make_unique<NullHostWindows>();
}

std::unique_ptr<HostWindows> openX11HostWindows(const QByteArray &display)
{
#ifdef DOVRAX_HAVE_X11
    return X11HostWindows::open(display.isEmpty() ? nullptr : display.constData());
#else
    Q_UNUSED(display);
    return std::make_unique<NullHostWindows>();
#endif
}

} // namespace platform
