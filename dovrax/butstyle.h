// Shaded round-button masks: five pre-rendered frames that buttons stretch to their size.
#pragma once

#include <QColor>
#include <QImage>
#include <QRgb>
#include <QSize>

#include <cstdint>
#include <map>

// A colour as the program stores it: 0x00BBGGRR, red in the low byte.
using COLORREF = std::uint32_t;

// Packs 8-bit channels into a COLORREF; each argument is masked to 0..255.
constexpr COLORREF makeColorRef(int r, int g, int b)
{
    return static_cast<COLORREF>(r & 0xFF) | (static_cast<COLORREF>(g & 0xFF) << 8) |
           (static_cast<COLORREF>(b & 0xFF) << 16);
}

constexpr int redOf(COLORREF c)
{
    return static_cast<int>(c & 0xFF);
}
constexpr int greenOf(COLORREF c)
{
    return static_cast<int>((c >> 8) & 0xFF);
}
constexpr int blueOf(COLORREF c)
{
    return static_cast<int>((c >> 16) & 0xFF);
}

// Opaque QColor of a COLORREF (the high byte is ignored).
QColor colorFromRef(COLORREF ref);
// COLORREF of a QColor; alpha is dropped.
COLORREF refFromColor(const QColor &color);

// Frame indices of the mask image and of the button bitmaps.
enum ButtonFrame : int
{
    FrameDisabled = 0,
    FrameNormal = 1,
    FrameChecked = 2,
    FramePressed = 3,
    FrameHot = 4,
};
constexpr int kButtonFrameCount = 5;

// Shape, shading and colours of the round button; all lengths in pixels.
struct ButtonStyleParams
{
    double EdgeSoftness = 2.0; // width of the anti-aliased transitions
    double Radius = 10.0;      // outer radius of the ring
    double RingRatio = 0.2;    // ring width as a share of Radius
    double RingShading = 0.5;  // darkening of the ring towards its edges
    double DomeShading = 0.5;  // darkening of the face towards the ring
    double LightX = 0.0;       // highlight centre relative to the button centre
    double LightY = -7.0;
    double LightRadius = 7.0;
    double LightGain = 0.4;
    COLORREF OutsideColors[kButtonFrameCount] = {};
    COLORREF RingColors[kButtonFrameCount] = {0, 0xFFFFFF, 0x0000FF, 0x8080A4, 0x8080A4};
    COLORREF FaceColors[kButtonFrameCount] = {0x404040, 0xA4A4A4, 0xA4A400, 0x404040, 0xC0C0C0};

    bool operator==(const ButtonStyleParams &) const = default;
};

// The default parameters with the colours that follow the system button face filled in:
// every outside colour and the ring of the disabled frame.
ButtonStyleParams defaultButtonStyleParams(COLORREF buttonFace);

// Largest edge radius a mask is rendered with; it bounds the mask at 2049 x 10245 pixels.
constexpr int kMaxMaskEdge = 1024;

// The parameters for drawing `scale` device pixels to a logical one: every length (edge
// softness, radius, light position and radius) multiplied by `scale`; ratios, shading and
// colours kept. Scale 1 gives the parameters back unchanged.
ButtonStyleParams scaledButtonStyle(const ButtonStyleParams &p, double scale);

// Inner radius of the ring: clamp((1 - RingRatio) * Radius, 0, Radius).
double ringInnerRadius(const ButtonStyleParams &p);

// Half-size R of a mask frame: ceil(EdgeSoftness / 2 + Radius), limited to 0..kMaxMaskEdge.
// Non-finite values give 0 (NaN, -inf) or kMaxMaskEdge (+inf).
int maskEdgeRadius(const ButtonStyleParams &p);

// How much of the outside, ring and face colours a pixel takes.
struct MaskWeights
{
    double outside = 0.0;
    double ring = 0.0;
    double face = 0.0;
};

// Weights of the pixel at offset (i, j) from the frame centre, given rin = ringInnerRadius(p).
// Degenerate parameters never yield NaN or infinity: a quotient with a zero divisor takes its
// limit as the divisor goes to +0 (0/0 gives 0), a term with a zero coefficient is 0 even
// when its factor is infinite, and a weight that still ends up non-finite counts as 0.
MaskWeights maskWeights(const ButtonStyleParams &p, double rin, int i, int j);

// One 8-bit channel: outside * w.outside + ring * w.ring + face * w.face truncated toward
// zero and limited to 0..255; NaN gives 0.
int shadeChannel(int outside, int ring, int face, const MaskWeights &w);

// The pixel of a frame with the given colours.
QRgb shadePixel(COLORREF outside, COLORREF ring, COLORREF face, const MaskWeights &w);

// Renders the masks once per parameter change and hands them to the buttons that use them.
class CButtonStyle
{
public:
    // Default parameters; reads the application palette's button colour once.
    CButtonStyle();
    CButtonStyle(const CButtonStyle &) = delete;
    CButtonStyle &operator=(const CButtonStyle &) = delete;

    // Copies the parameters out; false for a null pointer.
    bool GetButtonStyle(ButtonStyleParams *params) const;
    // Replaces all parameters and marks the masks stale; false (and no change) for null.
    bool SetButtonStyle(const ButtonStyleParams *params);

    // The mask image, rendered first if stale. Owned by the style and valid until the next
    // rendering; null only if the image could never be allocated.
    const QImage *GetButtonBitmap();
    // (R, R) of the last rendering; (0, 0) before the first.
    QSize GetEdgeSize() const { return edge_; }
    // Size of one frame, (2R + 1, 2R + 1); (1, 1) before the first rendering.
    QSize GetMaskSize() const { return QSize(2 * edge_.width() + 1, 2 * edge_.height() + 1); }

    // Renders all five frames now. False, keeping the previous image, when the image cannot
    // be allocated.
    bool DrawMasks();

    // The mask image for a device of `scale` device pixels per logical pixel, rendered from
    // scaledButtonStyle() so that a larger scale has more detail rather than larger pixels;
    // `edge` gets its R. Scale 1 is GetButtonBitmap(). Each scale is rendered once per
    // parameter change; null when the image cannot be allocated.
    const QImage *GetButtonBitmap(double scale, int *edge);

    // Number of renderings done so far.
    int renderCount() const { return renderCount_; }

private:
    bool rendered_ = false;
    QSize edge_{0, 0};
    QImage mask_;
    // Masks for scales other than 1, by scale.
    struct ScaledMask
    {
        QImage mask;
        int edge = 0;
    };
    std::map<double, ScaledMask> scaled_;
    ButtonStyleParams params_;
    int renderCount_ = 0;
};
