#include "cgroup.h"

#include <QApplication>
#include <QEvent>
#include <QFontMetrics>
#include <QPaintEvent>
#include <QPainter>
#include <QPalette>
#include <QPen>

GroupFrameGeometry groupFrameGeometry(QSize widget, QSize text, int alignment)
{
    // Worked in left/top/right/bottom with exclusive right and bottom, which keeps the
    // arithmetic of the layout readable; converted to QRect at the end.
    const int cl = 1;
    const int ct = 1;
    const int cr = widget.width() - 1;
    const int cb = widget.height() - 1;
    const int cx = text.width();
    const int cy = text.height();

    int tl = cl + 10;
    if (alignment == GroupCaptionCentre)
        tl = cl + (cr - cl - cx) / 2;
    else if (alignment == GroupCaptionRight)
        tl = cr - 10 - cx;

    const int ft = ct + cy / 2;
    return GroupFrameGeometry{QRect(cl, ct, cr - cl, cb - ct), QRect(tl, ct, cx, cy),
                              QRect(cl, ft, cr - cl, cb - ft)};
}

CCPGroup::CCPGroup(QWidget *parent) : CCPGroup(QString(), parent) {}

CCPGroup::CCPGroup(const QString &title, QWidget *parent)
    : QGroupBox(title, parent),
      frameColor_(refFromColor(QApplication::palette().color(QPalette::Dark))),
      titleBackColor_(refFromColor(QApplication::palette().color(QPalette::Button))),
      captionColor_(refFromColor(QApplication::palette().color(QPalette::WindowText))),
      captionFont_(font())
{}

CCPGroup::~CCPGroup() = default;

CCPGroup &CCPGroup::SetFrameColor(COLORREF color)
{
    if (color != frameColor_) {
        frameColor_ = color;
        RedrawFrame();
    }
    return *this;
}

CCPGroup &CCPGroup::SetTitleColor(COLORREF color)
{
    if (color != captionColor_) {
        captionColor_ = color;
        RedrawFrame();
    }
    return *this;
}

CCPGroup &CCPGroup::SetBorderColor(COLORREF color)
{
    if (color != frameColor_) {
        frameColor_ = color;
        RedrawFrame();
    }
    return *this;
}

CCPGroup &CCPGroup::SetTitle(const QString &text)
{
    // A parentless group that was never shown is not part of any window yet; like a control
    // without a window it has nowhere to keep the text.
    if (!parentWidget() && !testAttribute(Qt::WA_WState_Created))
        return *this;
    const QString caption = QLatin1Char(' ') + text + QLatin1Char(' ');
    if (caption != caption_) {
        caption_ = caption;
        RedrawFrame();
    }
    return *this;
}

CCPGroup &CCPGroup::SetAlignment(int alignment)
{
    if (alignment != GroupCaptionCentre && alignment != GroupCaptionRight)
        alignment = GroupCaptionLeft;
    if (alignment != alignment_) {
        alignment_ = alignment;
        RedrawFrame();
    }
    return *this;
}

void CCPGroup::RedrawFrame()
{
    cacheValid_ = false;
    // The frame and caption band overlap what the parent draws around the group, so the
    // parent repaints the whole area (and this group with it) immediately.
    if (QWidget *parent = parentWidget())
        parent->repaint(geometry());
    else if (testAttribute(Qt::WA_WState_Created))
        repaint();
}

void CCPGroup::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::FontChange) {
        captionFont_ = font();
        cacheValid_ = false;
        update();
    }
    QGroupBox::changeEvent(event);
}

void CCPGroup::paintEvent(QPaintEvent *)
{
    // An empty caption keeps looking at the title until one appears.
    if (caption_.isEmpty()) {
        const QString title = QGroupBox::title();
        if (!title.isEmpty()) {
            caption_ = QLatin1Char(' ') + title + QLatin1Char(' ');
            cacheValid_ = false;
        }
    }
    const qreal dpr = devicePixelRatioF();
    if (!cacheValid_ || cache_.size() != size() * dpr || cache_.devicePixelRatio() != dpr)
        renderFrame();
    if (cache_.isNull())
        return;
    QPainter painter(this);
    painter.drawImage(QPoint(0, 0), cache_);
}

void CCPGroup::renderFrame()
{
    const qreal dpr = devicePixelRatioF();
    // Transparent outside the drawn lines: the group's children and the parent's background
    // show through.
    QImage image(size() * dpr, QImage::Format_ARGB32_Premultiplied);
    if (image.isNull()) {
        cache_ = QImage();
        return;
    }
    image.setDevicePixelRatio(dpr);
    image.fill(Qt::transparent);

    QPainter painter(&image);
    painter.setFont(captionFont_);
    const QFontMetrics metrics(captionFont_, &image);
    const QSize textSize = caption_.isEmpty()
                               ? QSize(0, 0)
                               : QSize(metrics.horizontalAdvance(caption_), metrics.height());
    const GroupFrameGeometry geometry = groupFrameGeometry(size(), textSize, alignment_);

    // Aliased and on pixel centres so the line is exactly the frame colour and spans the
    // frame rectangle less its right and bottom edge.
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setPen(QPen(colorFromRef(frameColor_), 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(QRectF(geometry.frame).adjusted(0.5, 0.5, -0.5, -0.5), 5, 5);

    // The band behind the caption hides the frame's top line.
    painter.fillRect(geometry.text, colorFromRef(titleBackColor_));
    painter.setPen(colorFromRef(captionColor_));
    painter.setBackgroundMode(Qt::TransparentMode);
    painter.drawText(geometry.text,
                     Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine | Qt::TextDontClip |
                         Qt::TextShowMnemonic,
                     caption_);
    painter.end();

    cache_ = std::move(image);
    cacheValid_ = true;
    ++renderCount_;
}
