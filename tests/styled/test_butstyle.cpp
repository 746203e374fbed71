// Shaded mask renderer: colour helpers, the shading maths and the render-once lifecycle.
#include "butstyle.h"

#include <QApplication>
#include <QPalette>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

constexpr COLORREF kFace =
    0xF0F0F0; // a fixed button face so expected bytes do not follow the theme

ButtonStyleParams fixedDefaults()
{
    return defaultButtonStyleParams(kFace);
}

// Pixel of frame k at offset (i, j) from its centre.
QRgb maskPixel(const QImage &mask, int r, int k, int i, int j)
{
    return mask.pixel(r + i, r + j + k * (2 * r + 1));
}

QImage render(const ButtonStyleParams &p)
{
    CButtonStyle style;
    EXPECT_TRUE(style.SetButtonStyle(&p));
    const QImage *mask = style.GetButtonBitmap();
    return mask ? *mask : QImage();
}

void expectWeights(const MaskWeights &w, double out, double ring, double face)
{
    EXPECT_DOUBLE_EQ(w.outside, out);
    EXPECT_DOUBLE_EQ(w.ring, ring);
    EXPECT_DOUBLE_EQ(w.face, face);
}

} // namespace

TEST(ColorRef, PacksRedIntoTheLowByte)
{
    EXPECT_EQ(makeColorRef(16, 140, 231), 0xE78C10u);
    EXPECT_EQ(makeColorRef(255, 0, 0), 0x0000FFu);
    EXPECT_EQ(makeColorRef(256 + 1, -1, 0), 0x00FF01u);
    EXPECT_EQ(colorFromRef(0xDB9254), QColor(84, 146, 219));
    EXPECT_EQ(colorFromRef(0xFF000000u), QColor(0, 0, 0));
    EXPECT_EQ(refFromColor(QColor(164, 128, 128, 10)), 0x8080A4u);
}

TEST(ButtonStyleParams, DefaultFramesShowTheirStateOnAnyBackground)
{
    // The corners blend into the background the style was made for; the face tells the state.
    const QImage mask = render(defaultButtonStyleParams(0x123456));
    auto face = [&](int frame) { return QColor(maskPixel(mask, 11, frame, 0, 0)); };
    for (int k = 0; k < kButtonFrameCount; ++k)
        EXPECT_EQ(maskPixel(mask, 11, k, -11, -11), colorFromRef(0x123456).rgb()) << k;
    EXPECT_LT(face(FramePressed).lightness(), face(FrameNormal).lightness());
    EXPECT_LT(face(FrameDisabled).lightness(), face(FrameNormal).lightness());
    EXPECT_GT(face(FrameHot).lightness(), face(FrameNormal).lightness());
    EXPECT_LT(face(FrameChecked).red(), face(FrameChecked).green()) << "checked is coloured";
}

TEST(MaskGeometry, EdgeRadiusIsCappedAndDefined)
{
    ButtonStyleParams p;
    EXPECT_EQ(maskEdgeRadius(p), 11);
    EXPECT_DOUBLE_EQ(ringInnerRadius(p), 8.0);
    p.EdgeSoftness = 1.0;
    p.Radius = 9.2;
    EXPECT_EQ(maskEdgeRadius(p), 10);
    p.Radius = 1e12;
    EXPECT_EQ(maskEdgeRadius(p), kMaxMaskEdge);
    p.Radius = std::numeric_limits<double>::infinity();
    EXPECT_EQ(maskEdgeRadius(p), kMaxMaskEdge);
    p.Radius = -5.0;
    EXPECT_EQ(maskEdgeRadius(p), 0);
    EXPECT_DOUBLE_EQ(ringInnerRadius(p), 0.0);
    p.Radius = std::nan("");
    EXPECT_EQ(maskEdgeRadius(p), 0);

    p = ButtonStyleParams();
    p.RingRatio = -1.0; // would put the inner radius outside the ring
    EXPECT_DOUBLE_EQ(ringInnerRadius(p), 10.0);
    p.RingRatio = 2.0;
    EXPECT_DOUBLE_EQ(ringInnerRadius(p), 0.0);
}

TEST(MaskWeights, HandComputedPoints)
{
    const ButtonStyleParams p;
    // Centre: all face, lifted by the light half-way out of its radius.
    expectWeights(maskWeights(p, 8.0, 0, 0), 0.0, 0.0, 1.2);
    // Middle of the ring: unshaded ring only.
    expectWeights(maskWeights(p, 8.0, 9, 0), 0.0, 1.0, 0.0);
    // On the outer radius: half outside, the ring shaded and half faded.
    expectWeights(maskWeights(p, 8.0, 0, 10), 0.5, 0.25, 0.0);
    // Under the light, and its mirror below the centre.
    expectWeights(maskWeights(p, 8.0, 0, -7), 0.0, 0.0, 0.6171875 * 1.4);
    expectWeights(maskWeights(p, 8.0, 0, 7), 0.0, 0.0, 0.6171875);

    ButtonStyleParams hollow = p;
    hollow.DomeShading = -0.5; // the negative branch darkens the whole face evenly
    expectWeights(maskWeights(hollow, 8.0, 0, 0), 0.0, 0.0, 0.5 * 1.4);
}

TEST(MaskWeights, DegenerateParametersGiveFiniteLimits)
{
    ButtonStyleParams hard;
    hard.EdgeSoftness = 0.0; // transitions become steps, exactly half-way on the boundary
    expectWeights(maskWeights(hard, 8.0, 0, 10), 0.5, 0.25, 0.0);
    expectWeights(maskWeights(hard, 8.0, 0, 9), 0.0, 1.0, 0.0);
    EXPECT_DOUBLE_EQ(maskWeights(hard, 8.0, 0, 8).ring, 0.25);

    ButtonStyleParams noRing; // inner radius equals the outer one
    noRing.RingRatio = 0.0;
    EXPECT_DOUBLE_EQ(maskWeights(noRing, 10.0, 0, 10).ring, 0.25);
    EXPECT_DOUBLE_EQ(maskWeights(noRing, 10.0, 0, 9).ring, 0.0);
    EXPECT_DOUBLE_EQ(maskWeights(noRing, 10.0, 0, 11).ring, 0.0);

    ButtonStyleParams noFace; // inner radius 0: the face shrinks to the centre pixel
    noFace.RingRatio = 1.0;
    expectWeights(maskWeights(noFace, 0.0, 0, 0), 0.0, 0.25, 0.6);
    EXPECT_DOUBLE_EQ(maskWeights(noFace, 0.0, 0, 1).face, 0.0);

    ButtonStyleParams pointLight;
    pointLight.LightRadius = 0.0;
    EXPECT_DOUBLE_EQ(maskWeights(pointLight, 8.0, 0, 0).face, 0.6);
    EXPECT_DOUBLE_EQ(maskWeights(pointLight, 8.0, 0, -7).face, 0.6171875 * 1.4);
    pointLight.DomeShading = 0.0; // no dome: the zero coefficient wins over 0/0
    EXPECT_DOUBLE_EQ(maskWeights(pointLight, 8.0, 3, 3).face, 1.4);

    ButtonStyleParams broken;
    broken.Radius = std::nan("");
    broken.LightX = std::numeric_limits<double>::infinity();
    for (int i = -3; i <= 3; ++i) {
        const MaskWeights w = maskWeights(broken, ringInnerRadius(broken), i, 2);
        EXPECT_TRUE(std::isfinite(w.outside) && std::isfinite(w.ring) && std::isfinite(w.face));
    }
}

TEST(ShadeChannel, TruncatesAndClamps)
{
    EXPECT_EQ(shadeChannel(240, 255, 0, MaskWeights{0.5, 0.25, 0.0}), 183);
    EXPECT_EQ(shadeChannel(0, 0, 164, MaskWeights{0.0, 0.0, 1.2}), 196);
    EXPECT_EQ(shadeChannel(0, 0, 164, MaskWeights{0.0, 0.0, 1e300}), 255);
    EXPECT_EQ(shadeChannel(0, 0, 164, MaskWeights{0.0, 0.0, -0.004}), 0);
    EXPECT_EQ(shadeChannel(0, 0, 164, MaskWeights{0.0, 0.0, -1e300}), 0);
    const double nan = std::nan("");
    EXPECT_EQ(shadeChannel(10, 10, 10, MaskWeights{nan, 0.0, 0.0}), 0);
    EXPECT_EQ(shadeChannel(255, 255, 0, MaskWeights{1e308, -1e308, 0.0}), 0); // inf - inf

    EXPECT_EQ(shadePixel(0x000000, 0x0000FF, 0xA4A400, MaskWeights{0.0, 0.0, 1.2}),
              qRgb(0, 196, 196));
}

TEST(CButtonStyle, StartsUnrenderedWithSystemFace)
{
    CButtonStyle style;
    EXPECT_EQ(style.GetEdgeSize(), QSize(0, 0));
    EXPECT_EQ(style.GetMaskSize(), QSize(1, 1));
    EXPECT_EQ(style.renderCount(), 0);

    ButtonStyleParams p;
    EXPECT_FALSE(style.GetButtonStyle(nullptr));
    ASSERT_TRUE(style.GetButtonStyle(&p));
    EXPECT_EQ(
        p, defaultButtonStyleParams(refFromColor(QApplication::palette().color(QPalette::Button))));
}

TEST(CButtonStyle, RendersOncePerParameterChange)
{
    CButtonStyle style;
    const QImage *mask = style.GetButtonBitmap();
    ASSERT_NE(mask, nullptr);
    EXPECT_EQ(mask->size(), QSize(23, 115));
    EXPECT_EQ(mask->format(), QImage::Format_RGB32);
    EXPECT_EQ(style.GetEdgeSize(), QSize(11, 11));
    EXPECT_EQ(style.GetMaskSize(), QSize(23, 23));
    style.GetButtonBitmap();
    EXPECT_EQ(style.renderCount(), 1);

    ButtonStyleParams p;
    style.GetButtonStyle(&p);
    EXPECT_TRUE(style.SetButtonStyle(&p)); // nothing changed: the masks stay valid
    style.GetButtonBitmap();
    EXPECT_EQ(style.renderCount(), 1);

    EXPECT_FALSE(style.SetButtonStyle(nullptr));
    style.GetButtonBitmap();
    EXPECT_EQ(style.renderCount(), 1);

    p.Radius = 5.0;
    EXPECT_TRUE(style.SetButtonStyle(&p));
    EXPECT_EQ(style.GetEdgeSize(), QSize(11, 11)); // rendering waits for the next request
    EXPECT_EQ(style.renderCount(), 1);
    mask = style.GetButtonBitmap();
    EXPECT_EQ(style.renderCount(), 2);
    EXPECT_EQ(style.GetEdgeSize(), QSize(6, 6));
    EXPECT_EQ(mask->size(), QSize(13, 65));

    EXPECT_TRUE(style.DrawMasks()); // explicit rendering always runs
    EXPECT_EQ(style.renderCount(), 3);
}

TEST(CButtonStyle, DefaultMaskPixels)
{
    const QImage mask = render(fixedDefaults());
    ASSERT_EQ(mask.size(), QSize(23, 115));
    const QRgb grey240 = qRgb(240, 240, 240);
    EXPECT_EQ(maskPixel(mask, 11, FrameNormal, 0, 0), qRgb(196, 196, 196));
    EXPECT_EQ(maskPixel(mask, 11, FrameChecked, 0, 0), qRgb(0, 196, 196));
    EXPECT_EQ(maskPixel(mask, 11, FrameNormal, 9, 0), qRgb(255, 255, 255));
    EXPECT_EQ(maskPixel(mask, 11, FrameChecked, 9, 0), qRgb(255, 0, 0));
    EXPECT_EQ(maskPixel(mask, 11, FrameNormal, 0, 10), qRgb(183, 183, 183));
    EXPECT_EQ(maskPixel(mask, 11, FrameNormal, 0, -7), qRgb(141, 141, 141));
    EXPECT_EQ(maskPixel(mask, 11, FrameNormal, 0, 7), qRgb(101, 101, 101));
    EXPECT_EQ(maskPixel(mask, 11, FrameDisabled, 9, 0), grey240); // ring is the button face

    for (int k = 0; k < kButtonFrameCount; ++k) {
        for (int i = -11; i <= 11; ++i) {
            for (int j = -11; j <= 11; ++j) {
                const QRgb px = maskPixel(mask, 11, k, i, j);
                // The light sits on the vertical axis, so the frames are mirror images.
                ASSERT_EQ(px, maskPixel(mask, 11, k, -i, j)) << k << ' ' << i << ' ' << j;
                if (std::sqrt(i * i + j * j) >= 11.5) {
                    ASSERT_EQ(px, grey240) << k << ' ' << i << ' ' << j;
                }
            }
        }
    }
}

TEST(CButtonStyle, DegenerateParametersStillRender)
{
    ButtonStyleParams p = fixedDefaults();
    p.EdgeSoftness = 0.0;
    QImage mask = render(p);
    ASSERT_EQ(mask.size(), QSize(21, 105));
    EXPECT_EQ(maskPixel(mask, 10, FrameNormal, 0, 9), qRgb(255, 255, 255));
    EXPECT_EQ(maskPixel(mask, 10, FrameNormal, 0, 10), qRgb(183, 183, 183));
    EXPECT_EQ(maskPixel(mask, 10, FrameNormal, 10, 10), qRgb(240, 240, 240));

    p = fixedDefaults();
    // Only the centre pixel is left: fully outside, plus the face of a zero-radius dome at
    // half strength; the sum saturates where the face has colour.
    p.Radius = -3.0;
    mask = render(p);
    ASSERT_EQ(mask.size(), QSize(1, 5));
    EXPECT_EQ(mask.pixel(0, FrameChecked), qRgb(240, 255, 255));

    p = fixedDefaults();
    p.Radius = std::nan("");
    mask = render(p);
    ASSERT_EQ(mask.size(), QSize(1, 5));
    for (int k = 0; k < kButtonFrameCount; ++k)
        EXPECT_EQ(mask.pixel(0, k), qRgb(0, 0, 0)) << k;
}
