#include "appstyle.h"

#include "deferredicon.h"

#include <QPainter>
#include <QPointer>
#include <QProxyStyle>
#include <QStyleOption>

namespace platform {

namespace {

class AppStyle : public QProxyStyle
{
public:
    QIcon standardIcon(StandardPixmap which, const QStyleOption *option,
                       const QWidget *widget) const override
    {
        if (which == SP_ToolBarHorizontalExtensionButton ||
            which == SP_ToolBarVerticalExtensionButton)
            return deferredIcon([style = QPointer<QStyle>(baseStyle()), which] {
                return style ? style->standardIcon(which) : QIcon();
            });
        return QProxyStyle::standardIcon(which, option, widget);
    }

    // The tool bar's band is drawn in slices. Its translucent edge lines go to the raster
    // engine one pixel at a time, and a line longer than about a hundred pixels is handed to
    // Qt's worker threads, which the first paint would start just for it. Clipped, the pixels
    // are the same.
    void drawControl(ControlElement element, const QStyleOption *option, QPainter *painter,
                     const QWidget *widget) const override
    {
        if (element != CE_ToolBar) {
            QProxyStyle::drawControl(element, option, painter, widget);
            return;
        }
        const QRect band = option->rect;
        for (int x = band.left(); x <= band.right(); x += kToolBarSlice) {
            painter->save();
            painter->setClipRect(QRect(x, band.top(), kToolBarSlice, band.height()),
                                 Qt::IntersectClip);
            QProxyStyle::drawControl(element, option, painter, widget);
            painter->restore();
        }
    }

private:
    static constexpr int kToolBarSlice = 64;
};

} // namespace

QStyle *createAppStyle()
{
    return new AppStyle;
}

} // namespace platform
