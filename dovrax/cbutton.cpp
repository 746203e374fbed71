#include "cbutton.h"

#include <QEnterEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>

#include <algorithm>

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
      m_captionFont(defaultCaptionFont()), m_captionColors{0x404040, 0x000000, 0x000000, 0x000000,
                                                           0x000000}
{}

CCButton::~CCButton() = default;

void CCButton::markRedraw()
{
    m_redrawNeeded = true;
    update();
}

bool CCButton::SetRoundButtonStyle(CButtonStyle *style)
{
    if (!style)
        return false;
    // No early return for the same style: re-setting it is how callers make the button
    // stretch the masks again after changing the style's parameters.
    m_style = style;
    markRedraw();
    return true;
}

bool CCButton::GetCaptionFont(QFont *font) const
{
    if (!font)
        return false;
    *font = m_captionFont;
    return true;
}

bool CCButton::SetCaptionFont(const QFont *font)
{
    if (!font)
        return false;
    if (*font == m_captionFont)
        return true;
    m_captionFont = *font;
    markRedraw();
    return true;
}

bool CCButton::GetCaptionColors(COLORREF *colors) const
{
    if (!colors)
        return false;
    std::copy(m_captionColors.begin(), m_captionColors.end(), colors);
    return true;
}

bool CCButton::SetCaptionColors(const COLORREF *colors)
{
    if (!colors)
        return false;
    if (std::equal(m_captionColors.begin(), m_captionColors.end(), colors))
        return true;
    std::copy(colors, colors + kButtonFrameCount, m_captionColors.begin());
    markRedraw();
    return true;
}

void CCButton::setHotTracking(bool on)
{
    if (on == m_hotTracking)
        return;
    m_hotTracking = on;
    update();
}

void CCButton::setIndicatorChecked(bool checked)
{
    if (checked == m_checked)
        return;
    m_checked = checked;
    update();
}

void CCButton::paintEvent(QPaintEvent *)
{
    updateFrames();
    if (m_frameBitmap.isNull())
        return;
    const int h = m_frameRect.height();
    const int frame = indicatorFrame(isEnabled(), isDown(), m_checked, m_hotTracking, m_mouseOver);
    QPainter painter(this);
    painter.drawImage(QPoint(0, 0), m_frameBitmap, QRect(0, frame * h, m_frameRect.width(), h));
}

void CCButton::updateFrames()
{
    const QRect item = rect();
    bool redraw = item != m_frameRect || m_redrawNeeded;
    if (redraw) {
        QImage bitmap(item.width(), kButtonFrameCount * item.height(), QImage::Format_RGB32);
        if (bitmap.isNull()) {
            // Leaves the frame rectangle null so the next paint tries again.
            m_frameRect = QRect();
            m_frameBitmap = QImage();
            return;
        }
        // A fresh bitmap starts black, as the faces leave it when there is no style.
        bitmap.fill(Qt::black);
        m_frameRect = item;
        m_frameBitmap = std::move(bitmap);
        m_redrawNeeded = false;
        ++m_bitmapAllocCount;
    }
    if (m_frameBitmap.isNull())
        return;

    // A new text needs all five frames again but not a new bitmap.
    const QString caption = text();
    if (caption != m_caption) {
        redraw = true;
        m_caption = caption;
    }
    if (redraw) {
        drawFaces();
        drawCaptions();
        ++m_rebuildCount;
    }
}

void CCButton::drawFaces()
{
    if (!m_style)
        return;
    const QImage *mask = m_style->GetButtonBitmap();
    if (!mask)
        return;
    // Read after GetButtonBitmap: the sizes belong to the rendering it may have just done.
    const int edge = m_style->GetEdgeSize().width();
    const int maskSize = m_style->GetMaskSize().width();

    QPainter painter(&m_frameBitmap);
    // The mask is pixel art: smooth scaling would bleed the ring into the stretched edges.
    painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
    for (int k = 0; k < kButtonFrameCount; ++k) {
        for (const SlicePiece &piece : nineSlice(m_frameRect.size(), edge, maskSize, k)) {
            if (piece.target.isEmpty() || piece.source.isEmpty())
                continue;
            painter.drawImage(piece.target, *mask, piece.source);
        }
    }
}

void CCButton::drawCaptions()
{
    const int w = m_frameRect.width();
    const int h = m_frameRect.height();
    QPainter painter(&m_frameBitmap);
    painter.setBackgroundMode(Qt::TransparentMode);
    painter.setFont(m_captionFont);
    for (int k = 0; k < kButtonFrameCount; ++k) {
        painter.setPen(colorFromRef(m_captionColors[k]));
        painter.drawText(QRect(0, k * h, w, h),
                         Qt::AlignCenter | Qt::TextSingleLine | Qt::TextShowMnemonic, m_caption);
    }
}

void CCButton::mouseReleaseEvent(QMouseEvent *event)
{
    // Updated before the base class emits clicked(), so handlers see the new state.
    if (event->button() == Qt::LeftButton) {
        if (m_toggleOnClick)
            m_checked = !m_checked;
        if (m_checkOnClick)
            m_checked = true;
    }
    QPushButton::mouseReleaseEvent(event);
}

void CCButton::enterEvent(QEnterEvent *event)
{
    m_mouseOver = true;
    if (m_hotTracking)
        update();
    QPushButton::enterEvent(event);
}

void CCButton::leaveEvent(QEvent *event)
{
    m_mouseOver = false;
    if (m_hotTracking)
        update();
    QPushButton::leaveEvent(event);
}
