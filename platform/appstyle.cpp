#include "appstyle.h"

#include <QIconEngine>
#include <QPainter>
#include <QPointer>
#include <QProxyStyle>

namespace platform {

namespace {

// An icon that asks the style for the real one the first time it is used.
class DeferredIconEngine : public QIconEngine
{
public:
    DeferredIconEngine(QStyle *style, QStyle::StandardPixmap which) : style_(style), which_(which)
    {}

    void paint(QPainter *painter, const QRect &rect, QIcon::Mode mode, QIcon::State state) override
    {
        icon().paint(painter, rect, Qt::AlignCenter, mode, state);
    }
    QPixmap pixmap(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        return icon().pixmap(size, mode, state);
    }
    QPixmap scaledPixmap(const QSize &size, QIcon::Mode mode, QIcon::State state,
                         qreal scale) override
    {
        return icon().pixmap(size, scale, mode, state);
    }
    QSize actualSize(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        return icon().actualSize(size, mode, state);
    }
    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) override
    {
        return icon().availableSizes(mode, state);
    }
    bool isNull() override { return icon().isNull(); }
    QString key() const override { return QStringLiteral("DeferredIconEngine"); }
    QIconEngine *clone() const override
    {
        auto *copy = new DeferredIconEngine(style_, which_);
        copy->icon_ = icon_;
        copy->loaded_ = loaded_;
        return copy;
    }

private:
    const QIcon &icon()
    {
        if (!loaded_ && style_) {
            icon_ = style_->standardIcon(which_);
            loaded_ = true;
        }
        return icon_;
    }

    QPointer<QStyle> style_;
    QStyle::StandardPixmap which_;
    QIcon icon_;
    bool loaded_ = false;
};

class AppStyle : public QProxyStyle
{
public:
    QIcon standardIcon(StandardPixmap which, const QStyleOption *option,
                       const QWidget *widget) const override
    {
        if (which == SP_ToolBarHorizontalExtensionButton ||
            which == SP_ToolBarVerticalExtensionButton)
            return QIcon(new DeferredIconEngine(baseStyle(), which));
        return QProxyStyle::standardIcon(which, option, widget);
    }
};

} // namespace

QStyle *createAppStyle()
{
    return new AppStyle;
}

} // namespace platform
