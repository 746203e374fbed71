#include "cbutton.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QEnterEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace {

// What a bit indicator says to assistive technology: its place in the form and look stay a
// button's, its meaning is a value that is on or off.
class BitIndicatorAccessible : public QAccessibleWidget, public QAccessibleValueInterface
{
public:
    explicit BitIndicatorAccessible(CCButton *button)
        : QAccessibleWidget(button, QAccessible::CheckBox)
    {}

    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        // Disabled is how a lit bit looks, not something the operator cannot use.
        s.disabled = false;
        s.focusable = false;
        s.readOnly = true;
        s.checkable = true;
        s.checked = lit();
        return s;
    }
    void *interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::ValueInterface)
            return static_cast<QAccessibleValueInterface *>(this);
        return QAccessibleWidget::interface_cast(type);
    }
    QVariant currentValue() const override { return lit() ? 1 : 0; }
    void setCurrentValue(const QVariant &) override {}
    QVariant maximumValue() const override { return 1; }
    QVariant minimumValue() const override { return 0; }
    QVariant minimumStepSize() const override { return 1; }

private:
    bool lit() const { return !widget()->isEnabled(); }
};

QAccessibleInterface *bitIndicatorFactory(const QString &, QObject *object)
{
    auto *button = qobject_cast<CCButton *>(object);
    return button && button->showsBit() ? new BitIndicatorAccessible(button) : nullptr;
}

} // namespace

std::array<SlicePiece, 9> nineSlice(QSize button, int edge, int maskSize, int frame)
{
    const int w = button.width();
    const int h = button.height();
    const int r = edge;
    const int s = maskSize;
    const int c = std::min(r, std::min(w / 2, h / 2));
    const int ys = frame * s;
    const int yd = frame * h;
    return {{
        {QRect(0, yd, c, c), QRect(0, ys, r, r)},
        {QRect(0, yd + h - c, c, c), QRect(0, ys + s - r, r, r)},
        {QRect(w - c, yd, c, c), QRect(s - r, ys, r, r)},
        {QRect(w - c, yd + h - c, c, c), QRect(s - r, ys + s - r, r, r)},
        {QRect(c, yd, w - 2 * c, c), QRect(r, ys, 1, r)},
        {QRect(c, yd + h - c, w - 2 * c, c), QRect(r, ys + s - r, 1, r)},
        {QRect(0, yd + c, c, h - 2 * c), QRect(0, ys + r, r, 1)},
        {QRect(w - c, yd + c, c, h - 2 * c), QRect(s - r, ys + r, r, 1)},
        {QRect(c, yd + c, w - 2 * c, h - 2 * c), QRect(r, ys + r, 1, 1)},
    }};
}

int indicatorFrame(bool enabled, bool down, bool checked, bool hotTracking, bool mouseOver)
{
    if (!enabled)
        return FrameDisabled;
    if (down)
        return FramePressed;
    if (checked)
        return FrameChecked;
    if (hotTracking && mouseOver)
        return FrameHot;
    return FrameNormal;
}

QFont defaultCaptionFont()
{
    // The 16-pixel cell is Tahoma's Windows ascent + descent, 1.207 em, which makes the em
    // 13 pixels. (Qt measures the font with its typographic metrics, which come out smaller.)
    QFont font(QStringLiteral("Tahoma"));
    font.setPixelSize(13);
    font.setBold(true);
    font.setStyleStrategy(QFont::PreferAntialias);
    return font;
}

CCButton::CCButton(QWidget *parent) : CCButton(QString(), parent) {}

CCButton::CCButton(const QString &text, QWidget *parent)
    : QPushButton(text, parent),
      captionFont_(defaultCaptionFont()), captionColors_{0x404040, 0x000000, 0x000000, 0x000000,
                                                         0x000000}
{
    static const bool installed = [] {
        QAccessible::installFactory(bitIndicatorFactory);
        return true;
    }();
    Q_UNUSED(installed);
}

CCButton::~CCButton() = default;

void CCButton::markRedraw()
{
    redrawNeeded_ = true;
    update();
}

bool CCButton::SetRoundButtonStyle(CButtonStyle *style)
{
    if (!style)
        return false;
    // No early return for the same style: re-setting it is how callers make the button
    // stretch the masks again after changing the style's parameters.
    style_ = style;
    markRedraw();
    return true;
}

bool CCButton::GetCaptionFont(QFont *font) const
{
    if (!font)
        return false;
    *font = captionFont_;
    return true;
}

bool CCButton::SetCaptionFont(const QFont *font)
{
    if (!font)
        return false;
    if (*font == captionFont_)
        return true;
    captionFont_ = *font;
    markRedraw();
    return true;
}

bool CCButton::GetCaptionColors(COLORREF *colors) const
{
    if (!colors)
        return false;
    std::copy(captionColors_.begin(), captionColors_.end(), colors);
    return true;
}

bool CCButton::SetCaptionColors(const COLORREF *colors)
{
    if (!colors)
        return false;
    if (std::equal(captionColors_.begin(), captionColors_.end(), colors))
        return true;
    std::copy(colors, colors + kButtonFrameCount, captionColors_.begin());
    markRedraw();
    return true;
}

void CCButton::setHotTracking(bool on)
{
    if (on == hotTracking_)
        return;
    hotTracking_ = on;
    update();
}

void CCButton::setIndicatorChecked(bool checked)
{
    if (checked == checked_)
        return;
    checked_ = checked;
    update();
}

void CCButton::setShowsBit(bool on)
{
    if (on == showsBit_)
        return;
    showsBit_ = on;
    // An interface made before (a button's changes are announced from the start, which makes
    // one) is of the other kind: dropped, so that the next question makes the right one.
    if (QAccessibleInterface *made = QAccessible::queryAccessibleInterface(this))
        QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(made));
}

void CCButton::changeEvent(QEvent *event)
{
    QPushButton::changeEvent(event);
    if (showsBit_ && event->type() == QEvent::EnabledChange && QAccessible::isActive()) {
        QAccessible::State changed;
        changed.checked = true;
        QAccessibleStateChangeEvent stateEvent(this, changed);
        QAccessible::updateAccessibility(&stateEvent);
        QAccessibleValueChangeEvent valueEvent(this, isEnabled() ? 0 : 1);
        QAccessible::updateAccessibility(&valueEvent);
    }
}

void CCButton::paintEvent(QPaintEvent *)
{
    updateFrames();
    if (frameBitmap_.isNull())
        return;
    const int h = frameDeviceSize_.height();
    const int frame = indicatorFrame(isEnabled(), isDown(), checked_, hotTracking_, mouseOver_);
    QPainter painter(this);
    painter.drawImage(QRectF(frameRect_), frameBitmap_,
                      QRectF(0, frame * h, frameDeviceSize_.width(), h));
}

void CCButton::updateFrames()
{
    const QRect item = rect();
    const qreal ratio = devicePixelRatioF();
    bool redraw = item != frameRect_ || ratio != frameRatio_ || redrawNeeded_;
    if (redraw) {
        const QSize device(int(std::ceil(item.width() * ratio - 0.001)),
                           int(std::ceil(item.height() * ratio - 0.001)));
        QImage bitmap(device.width(), kButtonFrameCount * device.height(), QImage::Format_RGB32);
        if (bitmap.isNull()) {
            // Leaves the frame rectangle null so the next paint tries again.
            frameRect_ = QRect();
            frameBitmap_ = QImage();
            return;
        }
        // A fresh bitmap starts black, as the faces leave it when there is no style.
        bitmap.fill(Qt::black);
        bitmap.setDevicePixelRatio(ratio);
        frameRect_ = item;
        frameDeviceSize_ = device;
        frameRatio_ = ratio;
        frameBitmap_ = std::move(bitmap);
        redrawNeeded_ = false;
        ++bitmapAllocCount_;
    }
    if (frameBitmap_.isNull())
        return;

    // A new text needs all five frames again but not a new bitmap.
    const QString caption = text();
    if (caption != caption_) {
        redraw = true;
        caption_ = caption;
    }
    if (redraw) {
        drawFaces();
        drawCaptions();
        ++rebuildCount_;
    }
}

void CCButton::drawFaces()
{
    if (!style_)
        return;
    int edge = 0;
    const QImage *mask = style_->GetButtonBitmap(frameRatio_, &edge);
    if (!mask)
        return;
    const int maskSize = 2 * edge + 1;

    // The mask is stretched in device pixels: the bitmap is taken at ratio 1 meanwhile.
    frameBitmap_.setDevicePixelRatio(1.0);
    {
        QPainter painter(&frameBitmap_);
        // The mask is pixel art: smooth scaling would bleed the ring into the stretched edges.
        painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
        for (int k = 0; k < kButtonFrameCount; ++k) {
            for (const SlicePiece &piece : nineSlice(frameDeviceSize_, edge, maskSize, k)) {
                if (piece.target.isEmpty() || piece.source.isEmpty())
                    continue;
                painter.drawImage(piece.target, *mask, piece.source);
            }
        }
    }
    frameBitmap_.setDevicePixelRatio(frameRatio_);
}

void CCButton::drawCaptions()
{
    const int w = frameRect_.width();
    const int h = frameRect_.height();
    // Each frame starts a whole number of device pixels down, whatever the ratio.
    const qreal frameStep = frameDeviceSize_.height() / frameRatio_;
    QPainter painter(&frameBitmap_);
    painter.setBackgroundMode(Qt::TransparentMode);
    painter.setFont(captionFont_);
    for (int k = 0; k < kButtonFrameCount; ++k) {
        painter.setPen(colorFromRef(captionColors_[k]));
        painter.resetTransform();
        painter.translate(0, k * frameStep);
        painter.drawText(QRect(0, 0, w, h),
                         Qt::AlignCenter | Qt::TextSingleLine | Qt::TextShowMnemonic, caption_);
    }
}

void CCButton::mouseReleaseEvent(QMouseEvent *event)
{
    // Updated before the base class emits clicked(), so handlers see the new state.
    if (event->button() == Qt::LeftButton) {
        if (toggleOnClick_)
            checked_ = !checked_;
        if (checkOnClick_)
            checked_ = true;
    }
    QPushButton::mouseReleaseEvent(event);
}

void CCButton::enterEvent(QEnterEvent *event)
{
    mouseOver_ = true;
    if (hotTracking_)
        update();
    QPushButton::enterEvent(event);
}

void CCButton::leaveEvent(QEvent *event)
{
    mouseOver_ = false;
    if (hotTracking_)
        update();
    QPushButton::leaveEvent(event);
}
