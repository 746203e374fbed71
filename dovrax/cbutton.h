// Owner-drawn indicator button that stretches the shaded masks of a CButtonStyle.
#pragma once

#include "butstyle.h"

#include <QFont>
#include <QImage>
#include <QPushButton>
#include <QRect>
#include <QString>

#include <array>

class QEnterEvent;
class QEvent;
class QMouseEvent;
class QPaintEvent;

// One piece of a nine-slice stretch: where it lands in the button bitmap and where it is
// taken from in the mask image.
struct SlicePiece
{
    QRect target;
    QRect source;
};

// The nine pieces that stretch mask frame `frame` (edge radius `edge`, frame size `maskSize`)
// onto the same frame of a bitmap of `button`-sized frames. The corners keep their size up to
// half the button; edges and centre stretch a single mask row or column. Order: top-left,
// bottom-left, top-right, bottom-right, top, bottom, left, right, centre. Pieces may be empty.
std::array<SlicePiece, 9> nineSlice(QSize button, int edge, int maskSize, int frame);

// The frame a button shows: disabled beats pressed, pressed beats checked, checked beats hot.
int indicatorFrame(bool enabled, bool down, bool checked, bool hotTracking, bool mouseOver);

// The default caption font: Tahoma bold, antialiased, with a 16-pixel cell height, realised
// as pixel size 13.
QFont defaultCaptionFont();

// Push button drawn from five cached frames (disabled, normal, checked, pressed, hot), each the
// style's mask stretched to the button with the caption on top. The frames are drawn at the
// device pixel ratio, from masks rendered for it, so a larger scale shows more detail. They are
// rebuilt only when the size, the device pixel ratio, the style, the caption font or colours,
// or the text change; an ordinary repaint copies one frame.
class CCButton : public QPushButton
{
    Q_OBJECT

public:
    explicit CCButton(QWidget *parent = nullptr);
    explicit CCButton(const QString &text, QWidget *parent = nullptr);
    ~CCButton() override;

    // Uses `style` (not owned; must outlive the button) from the next paint. False for null,
    // keeping the current style. Setting the same style again picks up changed parameters.
    bool SetRoundButtonStyle(CButtonStyle *style);
    CButtonStyle *roundButtonStyle() const { return style_; }

    // Copies the caption font out; false for null.
    bool GetCaptionFont(QFont *font) const;
    // Replaces the caption font; false for null.
    bool SetCaptionFont(const QFont *font);
    // Copies the five caption colours (one per frame) out; false for null.
    bool GetCaptionColors(COLORREF *colors) const;
    // Replaces the five caption colours; false for null.
    bool SetCaptionColors(const COLORREF *colors);

    // A left click flips the indicator.
    bool toggleOnClick() const { return toggleOnClick_; }
    void setToggleOnClick(bool on) { toggleOnClick_ = on; }
    // A left click turns the indicator on (after any toggle).
    bool checkOnClick() const { return checkOnClick_; }
    void setCheckOnClick(bool on) { checkOnClick_ = on; }
    // Shows the hot frame while the pointer is over the button.
    bool hotTracking() const { return hotTracking_; }
    void setHotTracking(bool on);
    // The indicator's own checked state (independent of QAbstractButton's checkable state).
    bool isIndicatorChecked() const { return checked_; }
    void setIndicatorChecked(bool checked);
    bool isMouseOver() const { return mouseOver_; }

    // A button that shows one bit: lit when disabled, which is how it looks lit. Assistive
    // technology reads it as a read-only check box, checked when lit, with the value 1 or 0,
    // rather than as a button that is unavailable.
    bool showsBit() const { return showsBit_; }
    void setShowsBit(bool on);

    // Times the frames were redrawn (faces and captions), and times the bitmap was allocated.
    int rebuildCount() const { return rebuildCount_; }
    int bitmapAllocCount() const { return bitmapAllocCount_; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void updateFrames();
    void drawFaces();
    void drawCaptions();
    void markRedraw();

    QRect frameRect_;
    // The frames' size in device pixels, and the ratio they were drawn for.
    QSize frameDeviceSize_;
    qreal frameRatio_ = 1.0;
    QImage frameBitmap_;
    QFont captionFont_;
    std::array<COLORREF, kButtonFrameCount> captionColors_;
    QString caption_;
    bool toggleOnClick_ = false;
    bool checkOnClick_ = false;
    bool hotTracking_ = false;
    bool checked_ = false;
    bool mouseOver_ = false;
    bool redrawNeeded_ = false;
    bool showsBit_ = false;
    CButtonStyle *style_ = nullptr;
    int rebuildCount_ = 0;
    int bitmapAllocCount_ = 0;
};
