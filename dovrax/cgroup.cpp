#include "cgroup.h"

#include <QApplication>
#include <QEvent>
#include <QFontMetrics>
#include <QPaintEvent>
#include <QPainter>
#include <QPalette>
#include <QPen>

#include <cmath>

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

namespace {

// Aliased and on pixel centres so the line is exactly the frame colour and spans the frame
// rectangle less its right and bottom edge.
void drawFrameLine(QPainter &painter, const QRect &frame, COLORREF color)
{
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setPen(QPen(colorFromRef(color), 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(QRectF(frame).adjusted(0.5, 0.5, -0.5, -0.5), 5, 5);
}

} // namespace

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
    if (!cacheValid_ || renderedSize_ != size() || renderedRatio_ != dpr)
        renderFrame();
    if (frame_.isEmpty())
        return;
    QPainter painter(this);
    if (!lineInCache_)
        drawFrameLine(painter, frame_, frameColor_);
    if (!cache_.isNull())
        painter.drawImage(cacheAt_, cache_);
}

void CCPGroup::renderFrame()
{
    const qreal dpr = devicePixelRatioF();
    renderedSize_ = size();
    renderedRatio_ = dpr;
    cacheValid_ = true;
    ++renderCount_;
    cache_ = QImage();
    // Measured on an image, as the caption is drawn on one.
    const QImage measure(1, 1, QImage::Format_ARGB32_Premultiplied);
    const QFontMetrics metrics(captionFont_, &measure);
    const QSize textSize = caption_.isEmpty()
                               ? QSize(0, 0)
                               : QSize(metrics.horizontalAdvance(caption_), metrics.height());
    const GroupFrameGeometry geometry = groupFrameGeometry(size(), textSize, alignment_);
    frame_ = size().isEmpty() ? QRect() : geometry.frame;

    // The image holds the caption on its band, and a margin round it for glyphs that reach
    // past it; the frame line is drawn straight onto the group at each paint. At a fractional
    // pixel ratio the image is the whole group, line included, so that the line lands on the
    // same device pixels as the caption's band next to it.
    lineInCache_ = dpr != std::floor(dpr);
    const QRect area = lineInCache_ ? rect()
                                    : geometry.text.adjusted(-kCaptionMargin, -kCaptionMargin,
                                                             kCaptionMargin, kCaptionMargin) &
                                          rect();
    if (frame_.isEmpty() || area.isEmpty() || (caption_.isEmpty() && !lineInCache_))
        return;
    QImage image(area.size() * dpr, QImage::Format_ARGB32_Premultiplied);
    if (image.isNull())
        return;
    // Transparent outside what is drawn: the group's children and the parent's background
    // show through.
    image.setDevicePixelRatio(dpr);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.translate(-area.topLeft());
    if (lineInCache_)
        drawFrameLine(painter, frame_, frameColor_);
    if (!caption_.isEmpty()) {
        // The band behind the caption hides the frame's top line.
        painter.setFont(captionFont_);
        painter.fillRect(geometry.text, colorFromRef(titleBackColor_));
        painter.setPen(colorFromRef(captionColor_));
        painter.setBackgroundMode(Qt::TransparentMode);
        painter.drawText(geometry.text,
                         Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine | Qt::TextDontClip |
                             Qt::TextShowMnemonic,
                         caption_);
    }
    painter.end();
    cache_ = std::move(image);
    cacheAt_ = area.topLeft();
}
