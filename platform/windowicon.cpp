#include "windowicon.h"

#include "config-dovrax.h"
#include "deferredicon.h"

#include <QApplication>
#include <QIconEngine>
#include <QWidget>
#include <QWindow>

#include <memory>

#ifdef DOVRAX_HAVE_X11
#include "x11/x11windowicon.h"
#endif

namespace platform {

namespace {

struct ApplicationIcon
{
    QIcon icon;
    std::span<const uint32_t> property;
    bool muted = false;
};

ApplicationIcon &applicationIcon()
{
    static ApplicationIcon state;
    return state;
}

// The application's icon or, while muted, an icon that is there but has no pixmaps: Qt then
// deletes a window's icon property instead of sending one.
class MutableIconEngine : public QIconEngine
{
public:
    void paint(QPainter *painter, const QRect &rect, QIcon::Mode mode, QIcon::State state) override
    {
        if (!muted())
            icon().paint(painter, rect, Qt::AlignCenter, mode, state);
    }
    QPixmap pixmap(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        return muted() ? QPixmap() : icon().pixmap(size, mode, state);
    }
    QPixmap scaledPixmap(const QSize &size, QIcon::Mode mode, QIcon::State state,
                         qreal scale) override
    {
        return muted() ? QPixmap() : icon().pixmap(size, scale, mode, state);
    }
    QSize actualSize(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        return muted() ? QSize() : icon().actualSize(size, mode, state);
    }
    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) override
    {
        return muted() ? QList<QSize>() : icon().availableSizes(mode, state);
    }
    bool isNull() override { return icon().isNull(); }
    QString key() const override { return QStringLiteral("MutableIconEngine"); }
    QIconEngine *clone() const override { return new MutableIconEngine; }

private:
    static bool muted() { return applicationIcon().muted; }
    static const QIcon &icon() { return applicationIcon().icon; }
};

} // namespace

void setApplicationIcon(std::function<QIcon()> make, std::span<const uint32_t> property)
{
    ApplicationIcon &state = applicationIcon();
    state.icon = deferredIcon(std::move(make));
    state.property = property;
    QApplication::setWindowIcon(QIcon(new MutableIconEngine));
}

void createWithApplicationIcon(QWidget *window)
{
#ifdef DOVRAX_HAVE_X11
    ApplicationIcon &state = applicationIcon();
    if (QGuiApplication::platformName() != QLatin1String("xcb") || state.property.empty() ||
        !window->isWindow() || window->testAttribute(Qt::WA_WState_Created) ||
        window->testAttribute(Qt::WA_SetWindowIcon))
        return;
    // Qt sends the window's icon twice while making it; muted, it only deletes the property.
    state.muted = true;
    window->winId();
    state.muted = false;
    // Not sent: Qt sends the icon after all.
    if (!x11SetIconProperty(window->windowHandle(), state.property))
        window->windowHandle()->setIcon(window->windowIcon());
#else
    (void)window;
#endif
}

} // namespace platform
