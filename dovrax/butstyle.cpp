#include "butstyle.h"

#include <QApplication>
#include <QPalette>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// Written out rather than std::clamp: the bounds may cross for degenerate parameters
// (negative radius), and then the lower bound has to win.
double clampTo(double x, double lo, double hi)
{
    return std::max(std::min(x, hi), lo);
}

// Limit of num / den as den goes to +0 when den is exactly 0, so a zero edge softness turns
// the soft transitions into hard steps instead of producing NaN.
double limitDiv(double num, double den)
{
    if (den != 0.0)
        return num / den;
    if (num > 0.0)
        return std::numeric_limits<double>::infinity();
    if (num < 0.0)
        return -std::numeric_limits<double>::infinity();
    return num == 0.0 ? 0.0 : num; // 0/0 -> 0, NaN stays NaN
}

// A zero coefficient switches its term off even when the factor blew up to infinity;
// otherwise 0 * inf would poison the whole weight with NaN.
double term(double coefficient, double factor)
{
    return coefficient == 0.0 ? 0.0 : coefficient * factor;
}

double finiteOrZero(double x)
{
    return std::isfinite(x) ? x : 0.0;
}

} // namespace

QColor colorFromRef(COLORREF ref)
{
    return QColor(redOf(ref), greenOf(ref), blueOf(ref));
}

COLORREF refFromColor(const QColor &color)
{
    return makeColorRef(color.red(), color.green(), color.blue());
}

ButtonStyleParams defaultButtonStyleParams(COLORREF buttonFace)
{
    ButtonStyleParams p;
    std::fill(std::begin(p.OutsideColors), std::end(p.OutsideColors), buttonFace);
    p.RingColors[FrameDisabled] = buttonFace;
    return p;
}

ButtonStyleParams scaledButtonStyle(const ButtonStyleParams &p, double scale)
{
    if (scale == 1.0)
        return p;
    ButtonStyleParams s = p;
    s.EdgeSoftness *= scale;
    s.Radius *= scale;
    s.LightX *= scale;
    s.LightY *= scale;
    s.LightRadius *= scale;
    return s;
}

double ringInnerRadius(const ButtonStyleParams &p)
{
    return clampTo((1.0 - p.RingRatio) * p.Radius, 0.0, p.Radius);
}

int maskEdgeRadius(const ButtonStyleParams &p)
{
    const double r = std::ceil(p.EdgeSoftness / 2.0 + p.Radius);
    if (std::isnan(r) || r <= 0.0)
        return 0;
    if (r >= kMaxMaskEdge)
        return kMaxMaskEdge;
    return static_cast<int>(r);
}

MaskWeights maskWeights(const ButtonStyleParams &p, double rin, int i, int j)
{
    const double soft = p.EdgeSoftness;
    const double d = std::sqrt(double(i) * i + double(j) * j);

    const double wOut = clampTo(limitDiv((d - p.Radius) * 2.0, soft) + 0.5, 0.0, 1.0);

    const double t = limitDiv(p.Radius + rin - 2.0 * d, p.Radius - rin);
    const double wRing = (1.0 - term(p.RingShading, t * t)) *
                         clampTo(0.5 - limitDiv((d - p.Radius) * 2.0, soft), 0.0, 1.0) *
                         clampTo(limitDiv((d - rin) * 2.0, soft) + 0.5, 0.0, 1.0);

    const double q = limitDiv(d, rin);
    // Kept in the order q * DomeShading * q: another order rounds differently and can move a
    // truncated byte.
    const double dome = p.DomeShading == 0.0 ? 0.0 : q * p.DomeShading * q;
    double wFace = p.DomeShading > 0.0 ? 1.0 - dome : 1.0 + p.DomeShading - dome;
    wFace *= clampTo(0.5 - limitDiv((d - rin) * 2.0, soft), 0.0, 1.0);
    const double dl = std::sqrt((i - p.LightX) * (i - p.LightX) + (j - p.LightY) * (j - p.LightY));
    wFace *= 1.0 + term(p.LightGain,
                        clampTo(1.0 - limitDiv(term(p.DomeShading, dl), p.LightRadius), -1.0, 1.0));

    return MaskWeights{finiteOrZero(wOut), finiteOrZero(wRing), finiteOrZero(wFace)};
}

int shadeChannel(int outside, int ring, int face, const MaskWeights &w)
{
    const double v = outside * w.outside + ring * w.ring + face * w.face;
    if (std::isnan(v))
        return 0;
    // Clamping before the conversion keeps huge weights from overflowing the int cast;
    // for values in range it equals truncating first and clamping after.
    return static_cast<int>(clampTo(v, 0.0, 255.0));
}

QRgb shadePixel(COLORREF outside, COLORREF ring, COLORREF face, const MaskWeights &w)
{
    return qRgb(shadeChannel(redOf(outside), redOf(ring), redOf(face), w),
                shadeChannel(greenOf(outside), greenOf(ring), greenOf(face), w),
                shadeChannel(blueOf(outside), blueOf(ring), blueOf(face), w));
}

CButtonStyle::CButtonStyle()
    : params_(
          defaultButtonStyleParams(refFromColor(QApplication::palette().color(QPalette::Button))))
{}

bool CButtonStyle::GetButtonStyle(ButtonStyleParams *params) const
{
    if (!params)
        return false;
    *params = params_;
    return true;
}

bool CButtonStyle::SetButtonStyle(const ButtonStyleParams *params)
{
    if (!params)
        return false;
    if (*params == params_)
        return true;
    params_ = *params;
    rendered_ = false;
    scaled_.clear();
    return true;
}

const QImage *CButtonStyle::GetButtonBitmap()
{
    if (!rendered_) {
        DrawMasks();
        // A failed rendering is not retried on every call; the next parameter change does.
        rendered_ = true;
    }
    return mask_.isNull() ? nullptr : &mask_;
}

namespace {

// The five frames of `p` one below the other, each 2R + 1 square; a null image when it cannot
// be allocated.
QImage renderMasks(const ButtonStyleParams &p, int r)
{
    const double rin = ringInnerRadius(p);
    const int s = 2 * r + 1;

    QImage mask(s, kButtonFrameCount * s, QImage::Format_RGB32);
    if (mask.isNull())
        return mask;

    // Raw access: scanLine() on a non-const image checks for detaching on every call.
    auto *bits = reinterpret_cast<QRgb *>(mask.bits());
    const qsizetype stride = mask.bytesPerLine() / qsizetype(sizeof(QRgb));
    for (int i = -r; i <= r; ++i) {
        for (int j = -r; j <= r; ++j) {
            // The weights depend on the position only; the frames differ in colour alone.
            const MaskWeights w = maskWeights(p, rin, i, j);
            for (int k = 0; k < kButtonFrameCount; ++k) {
                bits[(r + j + k * s) * stride + (r + i)] =
                    shadePixel(p.OutsideColors[k], p.RingColors[k], p.FaceColors[k], w);
            }
        }
    }
    return mask;
}

} // namespace

bool CButtonStyle::DrawMasks()
{
    const int r = maskEdgeRadius(params_);
    QImage mask = renderMasks(params_, r);
    if (mask.isNull())
        return false;
    mask_ = std::move(mask);
    edge_ = QSize(r, r);
    ++renderCount_;
    return true;
}

const QImage *CButtonStyle::GetButtonBitmap(double scale, int *edge)
{
    if (scale == 1.0 || !(scale > 0.0)) {
        const QImage *mask = GetButtonBitmap();
        *edge = edge_.width();
        return mask;
    }
    auto found = scaled_.find(scale);
    if (found == scaled_.end()) {
        const ButtonStyleParams p = scaledButtonStyle(params_, scale);
        const int r = maskEdgeRadius(p);
        found = scaled_.emplace(scale, ScaledMask{renderMasks(p, r), r}).first;
        ++renderCount_;
    }
    *edge = found->second.edge;
    return found->second.mask.isNull() ? nullptr : &found->second.mask;
}
