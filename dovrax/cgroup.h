// Group frame with a rounded border and a caption set into its top edge.
#pragma once

#include "butstyle.h"

#include <QFont>
#include <QGroupBox>
#include <QImage>
#include <QRect>
#include <QSize>
#include <QString>

class QEvent;
class QPaintEvent;

// Caption alignments accepted by CCPGroup::SetAlignment.
enum GroupCaptionAlignment : int
{
    GroupCaptionLeft = 0,
    GroupCaptionCentre = 1,
    GroupCaptionRight = 2,
};

// Rectangles of a group frame, in widget coordinates (QRect: x, y, width, height).
struct GroupFrameGeometry
{
    QRect client; // the widget less one pixel on every side
    QRect text;   // the caption, on the client's top edge
    QRect frame;  // the border, its top line through the middle of the caption
};

// Layout of a `widget`-sized frame whose caption measures `text`. The caption sits 10 pixels
// in from the left (alignment 0) or right (2) of the client area, or is centred (1,
// truncating); any other alignment is treated as 0.
GroupFrameGeometry groupFrameGeometry(QSize widget, QSize text, int alignment);

// Group box drawn as a rounded frame with the caption on a filled band. The caption is the
// text given to SetTitle, or else the group box title as first seen when painting, padded
// with a space on each side.
class CCPGroup : public QGroupBox
{
    Q_OBJECT

public:
    explicit CCPGroup(QWidget *parent = nullptr);
    explicit CCPGroup(const QString &title, QWidget *parent = nullptr);
    ~CCPGroup() override;

    // Colour of the border line. Each setter redraws the frame through the parent right away.
    virtual CCPGroup &SetFrameColor(COLORREF color);
    // Colour of the caption text.
    virtual CCPGroup &SetTitleColor(COLORREF color);
    // Same as SetFrameColor.
    virtual CCPGroup &SetBorderColor(COLORREF color);
    // Sets the caption to " text ". Ignored, and the text dropped, while the group is not yet
    // part of a window: it has no parent and has never been shown.
    virtual CCPGroup &SetTitle(const QString &text);
    // GroupCaptionLeft, GroupCaptionCentre or GroupCaptionRight; other values mean left.
    virtual CCPGroup &SetAlignment(int alignment);

    QString caption() const { return caption_; }
    COLORREF frameColor() const { return frameColor_; }
    COLORREF titleBackgroundColor() const { return titleBackColor_; }
    COLORREF captionColor() const { return captionColor_; }
    int captionAlignment() const { return alignment_; }
    // Times the frame was laid out and its caption drawn into the cache.
    int renderCount() const { return renderCount_; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void RedrawFrame();
    void renderFrame();

    QString caption_;
    COLORREF frameColor_;
    COLORREF titleBackColor_;
    COLORREF captionColor_;
    int alignment_ = GroupCaptionLeft;
    QFont captionFont_;
    // The caption on its band (and the frame line, when lineInCache_), drawn at cacheAt_;
    // otherwise the frame line is drawn along frame_ at each paint.
    static constexpr int kCaptionMargin = 4;
    QImage cache_;
    QPoint cacheAt_;
    QRect frame_;
    bool lineInCache_ = false;
    QSize renderedSize_;
    qreal renderedRatio_ = 0;
    bool cacheValid_ = false;
    int renderCount_ = 0;
};
