#include "appstyle.h"

#include "deferredicon.h"

#include <QPointer>
#include <QProxyStyle>

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
};

} // namespace

QStyle *createAppStyle()
{
    return new AppStyle;
}

} // namespace platform
