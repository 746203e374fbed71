// Indicator button: nine-slice geometry, frame choice, the cached frames and click options.
#include "cbutton.h"

#include <QApplication>
#include <QEnterEvent>
#include <QTest>
#include <gtest/gtest.h>

namespace {

// Where a nearest-neighbour stretch of the nine slices samples the mask along one axis.
int maskCoordinate(int x, int size, int edge, int maskSize)
{
    const int c = std::min(edge, size / 2);
    if (x < c)
        return (2 * x + 1) * edge / (2 * c);
    if (x >= size - c)
        return maskSize - edge + (2 * (x - (size - c)) + 1) * edge / (2 * c);
    return edge;
}

// What frame k of a button of the given size shows when it has no caption.
QImage expectedFace(CButtonStyle &style, QSize size, int k)
{
    const QImage mask = *style.GetButtonBitmap();
    const int r = style.GetEdgeSize().width();
    const int s = style.GetMaskSize().width();
    QImage out(size, QImage::Format_RGB32);
    for (int y = 0; y < size.height(); ++y) {
        for (int x = 0; x < size.width(); ++x) {
            out.setPixel(x, y,
                         mask.pixel(maskCoordinate(x, size.width(), r, s),
                                    k * s + maskCoordinate(y, size.height(), r, s)));
        }
    }
    return out;
}

QImage grabbed(QWidget &w)
{
    return w.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

int countColor(const QImage &image, QRgb color)
{
    int n = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x)
            n += image.pixel(x, y) == color;
    }
    return n;
}

void hover(QWidget &w, bool over)
{
    if (over) {
        QEnterEvent enter(QPointF(2, 2), QPointF(2, 2), QPointF(2, 2));
        QApplication::sendEvent(&w, &enter);
    } else {
        QEvent leave(QEvent::Leave);
        QApplication::sendEvent(&w, &leave);
    }
}

class CCButtonTest : public testing::Test
{
protected:
    void SetUp() override
    {
        button.resize(25, 27);
        ASSERT_TRUE(button.SetRoundButtonStyle(&style));
    }

    CButtonStyle style;
    CCButton button;
};

} // namespace

TEST(NineSlice, CornersKeepTheirSizeOnALargeButton)
{
    const auto pieces = nineSlice(QSize(25, 27), 11, 23, 2);
    const SlicePiece expected[] = {
        {QRect(0, 54, 11, 11), QRect(0, 46, 11, 11)},
        {QRect(0, 70, 11, 11), QRect(0, 58, 11, 11)},
        {QRect(14, 54, 11, 11), QRect(12, 46, 11, 11)},
        {QRect(14, 70, 11, 11), QRect(12, 58, 11, 11)},
        {QRect(11, 54, 3, 11), QRect(11, 46, 1, 11)},
        {QRect(11, 70, 3, 11), QRect(11, 58, 1, 11)},
        {QRect(0, 65, 11, 5), QRect(0, 57, 11, 1)},
        {QRect(14, 65, 11, 5), QRect(12, 57, 11, 1)},
        {QRect(11, 65, 3, 5), QRect(11, 57, 1, 1)},
    };
    for (int n = 0; n < 9; ++n) {
        EXPECT_EQ(pieces[n].target, expected[n].target) << n;
        EXPECT_EQ(pieces[n].source, expected[n].source) << n;
    }
}

TEST(NineSlice, SmallButtonsShrinkTheCorners)
{
    const auto square = nineSlice(QSize(16, 16), 11, 23, 1);
    EXPECT_EQ(square[0].target, QRect(0, 16, 8, 8));
    EXPECT_EQ(square[0].source, QRect(0, 23, 11, 11));
    EXPECT_EQ(square[3].target, QRect(8, 24, 8, 8));
    EXPECT_EQ(square[3].source, QRect(12, 35, 11, 11));
    for (int n = 4; n < 9; ++n)
        EXPECT_TRUE(square[n].target.isEmpty()) << n;

    // The shorter side limits the corners on both axes.
    const auto tall = nineSlice(QSize(5, 40), 11, 23, 0);
    EXPECT_EQ(tall[2].target, QRect(3, 0, 2, 2));
    EXPECT_EQ(tall[6].target, QRect(0, 2, 2, 36));
    EXPECT_EQ(tall[8].target, QRect(2, 2, 1, 36));
}

TEST_F(CCButtonTest, StrongerStatesHideWeakerOnes)
{
    // Disabled beats pressed, pressed beats checked, checked beats hot, as the button shows it.
    button.setHotTracking(true);
    auto look = [&](bool enabled, bool down, bool checked, bool over) {
        button.setEnabled(enabled);
        button.setDown(down);
        button.setIndicatorChecked(checked);
        if (over != button.isMouseOver()) {
            QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
            QEvent leave(QEvent::Leave);
            QCoreApplication::sendEvent(&button, over ? static_cast<QEvent *>(&enter) : &leave);
        }
        return button.grab().toImage();
    };
    const QImage normal = look(true, false, false, false);
    EXPECT_EQ(look(false, true, true, true), look(false, false, false, false));
    EXPECT_EQ(look(true, true, true, true), look(true, true, false, false));
    EXPECT_NE(look(true, true, false, false), normal);
    EXPECT_EQ(look(true, false, true, true), look(true, false, true, false));
    EXPECT_NE(look(true, false, true, false), normal);
    EXPECT_NE(look(true, false, false, true), normal);
}

TEST_F(CCButtonTest, StatesShowTheirFramesStretched)
{
    const QSize size(25, 27);
    EXPECT_EQ(grabbed(button), expectedFace(style, size, FrameNormal));

    button.setIndicatorChecked(true);
    button.setHotTracking(true);
    hover(button, true);
    EXPECT_TRUE(button.isMouseOver());
    EXPECT_EQ(grabbed(button), expectedFace(style, size, FrameChecked));

    button.setIndicatorChecked(false);
    EXPECT_EQ(grabbed(button), expectedFace(style, size, FrameHot));
    hover(button, false);
    EXPECT_FALSE(button.isMouseOver());
    EXPECT_EQ(grabbed(button), expectedFace(style, size, FrameNormal));

    button.setIndicatorChecked(true);
    button.setDown(true);
    EXPECT_EQ(grabbed(button), expectedFace(style, size, FramePressed));

    button.setEnabled(false);
    EXPECT_EQ(grabbed(button), expectedFace(style, size, FrameDisabled));

    // All of the above came from one rendering and one set of stretched frames.
    EXPECT_EQ(style.renderCount(), 1);
    EXPECT_EQ(button.rebuildCount(), 1);
    EXPECT_EQ(button.bitmapAllocCount(), 1);
}

TEST_F(CCButtonTest, UnscaledCornersAndOneColumnEdges)
{
    const QImage face = grabbed(button);
    const QImage mask = *style.GetButtonBitmap();
    const int s = 23;
    for (int y = 0; y < 11; ++y) {
        for (int x = 0; x < 11; ++x) {
            ASSERT_EQ(face.pixel(x, y), mask.pixel(x, s + y));
            ASSERT_EQ(face.pixel(14 + x, 16 + y), mask.pixel(12 + x, s + 12 + y));
        }
        for (int x = 11; x < 14; ++x)
            ASSERT_EQ(face.pixel(x, y), mask.pixel(11, s + y)) << x << ' ' << y;
    }
    for (int y = 11; y < 16; ++y) {
        for (int x = 0; x < 11; ++x)
            ASSERT_EQ(face.pixel(x, y), mask.pixel(x, s + 11)) << x << ' ' << y;
    }
}

TEST_F(CCButtonTest, SmallButtonShrinksCorners)
{
    button.resize(16, 16);
    const QImage face = grabbed(button);
    EXPECT_EQ(face, expectedFace(style, QSize(16, 16), FrameNormal));
    // The centre of a shrunken corner still comes from inside the mask's corner.
    EXPECT_EQ(face.pixel(7, 7), style.GetButtonBitmap()->pixel(10, 23 + 10));
}

TEST_F(CCButtonTest, OrdinaryRepaintOnlyCopies)
{
    grabbed(button);
    const int rebuilds = button.rebuildCount();
    const int allocs = button.bitmapAllocCount();
    button.show();
    button.repaint();
    grabbed(button);
    EXPECT_EQ(button.rebuildCount(), rebuilds);
    EXPECT_EQ(button.bitmapAllocCount(), allocs);
    EXPECT_EQ(style.renderCount(), 1);

    button.resize(30, 30);
    grabbed(button);
    EXPECT_EQ(button.rebuildCount(), rebuilds + 1);
    EXPECT_EQ(button.bitmapAllocCount(), allocs + 1);
    EXPECT_EQ(style.renderCount(), 1);
}

TEST_F(CCButtonTest, TextChangeRedrawsAllFramesInPlace)
{
    const COLORREF colours[kButtonFrameCount] = {0x00FF00, 0xFF0000, 0x00FFFF, 0xFF00FF, 0xFFFF00};
    ASSERT_TRUE(button.SetCaptionColors(colours));
    // Aliased glyphs, so every inked pixel is exactly the frame's caption colour.
    QFont font = defaultCaptionFont();
    font.setStyleStrategy(QFont::NoAntialias);
    ASSERT_TRUE(button.SetCaptionFont(&font));
    button.resize(40, 27);
    grabbed(button);
    const int rebuilds = button.rebuildCount();
    const int allocs = button.bitmapAllocCount();

    button.setText(QStringLiteral("8"));
    const auto captionPixels = [&](int frame) {
        return countColor(grabbed(button), colorFromRef(colours[frame]).rgb());
    };
    EXPECT_GT(captionPixels(FrameNormal), 4);
    button.setIndicatorChecked(true);
    EXPECT_GT(captionPixels(FrameChecked), 4);
    EXPECT_EQ(captionPixels(FrameNormal), 0);
    button.setIndicatorChecked(false);
    button.setHotTracking(true);
    hover(button, true);
    EXPECT_GT(captionPixels(FrameHot), 4);
    button.setDown(true);
    EXPECT_GT(captionPixels(FramePressed), 4);
    button.setEnabled(false);
    EXPECT_GT(captionPixels(FrameDisabled), 4);

    EXPECT_EQ(button.rebuildCount(), rebuilds + 1);
    EXPECT_EQ(button.bitmapAllocCount(), allocs);

    // Centred both ways: the middle of the caption's ink is near the middle of the button.
    const QImage img = grabbed(button);
    int left = img.width(), right = -1, top = img.height(), bottom = -1;
    for (int y = 0; y < img.height(); ++y) {
        for (int x = 0; x < img.width(); ++x) {
            if (img.pixel(x, y) == colorFromRef(colours[FrameDisabled]).rgb()) {
                left = std::min(left, x);
                right = std::max(right, x);
                top = std::min(top, y);
                bottom = std::max(bottom, y);
            }
        }
    }
    ASSERT_GE(right, left);
    EXPECT_NEAR((left + right) / 2.0, (img.width() - 1) / 2.0, 3.0);
    EXPECT_NEAR((top + bottom) / 2.0, (img.height() - 1) / 2.0, 3.0);
}

TEST_F(CCButtonTest, StyleChanges)
{
    grabbed(button);
    EXPECT_FALSE(button.SetRoundButtonStyle(nullptr));
    EXPECT_EQ(button.roundButtonStyle(), &style);
    grabbed(button);
    EXPECT_EQ(button.rebuildCount(), 1);

    // The button does not notice parameter changes until the style is set again.
    ButtonStyleParams p;
    style.GetButtonStyle(&p);
    p.FaceColors[FrameNormal] = 0x0000FF;
    style.SetButtonStyle(&p);
    grabbed(button);
    EXPECT_EQ(button.rebuildCount(), 1);
    EXPECT_TRUE(button.SetRoundButtonStyle(&style));
    const QImage face = grabbed(button);
    EXPECT_EQ(button.rebuildCount(), 2);
    EXPECT_EQ(style.renderCount(), 2);
    EXPECT_EQ(face, expectedFace(style, QSize(25, 27), FrameNormal));
    EXPECT_EQ(qGreen(face.pixel(12, 13)), 0);

    // Buttons sharing a style share its rendering.
    CCButton other;
    other.resize(20, 20);
    other.SetRoundButtonStyle(&style);
    grabbed(other);
    EXPECT_EQ(style.renderCount(), 2);
}

TEST(CCButton, WithoutStyleOnlyCaptionsOnBlack)
{
    CCButton button;
    button.resize(20, 20);
    EXPECT_EQ(button.roundButtonStyle(), nullptr);
    const QImage img = grabbed(button);
    EXPECT_EQ(countColor(img, qRgb(0, 0, 0)), 400);
}

TEST(CCButton, CaptionFontAndColours)
{
    CCButton button;
    COLORREF colours[kButtonFrameCount] = {};
    EXPECT_FALSE(button.GetCaptionColors(nullptr));
    ASSERT_TRUE(button.GetCaptionColors(colours));
    EXPECT_EQ(colours[0], 0x404040u);
    for (int k = 1; k < kButtonFrameCount; ++k)
        EXPECT_EQ(colours[k], 0u) << k;
    EXPECT_FALSE(button.SetCaptionColors(nullptr));

    QFont font;
    EXPECT_FALSE(button.GetCaptionFont(nullptr));
    ASSERT_TRUE(button.GetCaptionFont(&font));
    EXPECT_EQ(font, defaultCaptionFont());
    EXPECT_FALSE(button.SetCaptionFont(nullptr));

    button.resize(20, 20);
    grabbed(button);
    EXPECT_TRUE(button.SetCaptionColors(colours)); // unchanged: nothing to redraw
    EXPECT_TRUE(button.SetCaptionFont(&font));
    grabbed(button);
    EXPECT_EQ(button.rebuildCount(), 1);

    colours[2] = 0x123456;
    EXPECT_TRUE(button.SetCaptionColors(colours));
    grabbed(button);
    EXPECT_EQ(button.rebuildCount(), 2);
    font.setPixelSize(20);
    EXPECT_TRUE(button.SetCaptionFont(&font));
    grabbed(button);
    EXPECT_EQ(button.rebuildCount(), 3);
    COLORREF back[kButtonFrameCount] = {};
    button.GetCaptionColors(back);
    EXPECT_EQ(back[2], 0x123456u);
    QFont backFont;
    button.GetCaptionFont(&backFont);
    EXPECT_EQ(backFont.pixelSize(), 20);
}

TEST(CCButton, ClickOptionsUpdateBeforeClicked)
{
    CCButton button;
    button.resize(25, 27);
    button.show();
    std::vector<bool> seen;
    QObject::connect(&button, &QAbstractButton::clicked, &button,
                     [&] { seen.push_back(button.isIndicatorChecked()); });

    QTest::mouseClick(&button, Qt::LeftButton);
    EXPECT_FALSE(button.isIndicatorChecked()); // no option set: a plain push button

    button.setToggleOnClick(true);
    QTest::mouseClick(&button, Qt::LeftButton);
    QTest::mouseClick(&button, Qt::LeftButton);
    QTest::mouseClick(&button, Qt::LeftButton);
    EXPECT_EQ(seen, (std::vector<bool>{false, true, false, true}));

    button.setCheckOnClick(true); // applied after the toggle, so it always ends checked
    QTest::mouseClick(&button, Qt::LeftButton);
    QTest::mouseClick(&button, Qt::LeftButton);
    EXPECT_EQ(seen.back(), true);
    EXPECT_EQ(seen[seen.size() - 2], true);

    button.setToggleOnClick(false);
    button.setCheckOnClick(false);
    QTest::mouseClick(&button, Qt::RightButton);
    button.setToggleOnClick(true);
    QTest::mouseClick(&button, Qt::RightButton);
    EXPECT_TRUE(button.isIndicatorChecked());
}
