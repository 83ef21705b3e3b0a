#include "algo/composite/ColorSpace.h"

#include <algorithm>
#include <cmath>

#include "algo/composite/ColorSpaceDetail.h"
#include "pixel/PixmapArea.h"

namespace CelAlgo {

using namespace detail;

namespace {

// One channel of hslToRgb; x is the hue in sixths, shifted for the channel.
double hslChannel(double p, double q, double x) {
    if (x > 6.0)
        x -= 6.0;
    else if (x < 0.0)
        x += 6.0;
    double v;
    if (x < 1.0)
        v = p + (q - p) * x;
    else if (x < 3.0)
        v = q;
    else if (x < 4.0)
        v = p + (q - p) * (4.0 - x);
    else
        v = p;
    return std::clamp(v, 0.0, 1.0);
}

} // namespace

// Inputs are copied first everywhere so that a caller may pass the same variables as
// input and output (rgbToHcl(c0, c1, c2, c0, c1, c2)).

void rgbToHsl(const double& rIn, const double& gIn, const double& bIn, double& h, double& s, double& l) {
    const double r = rIn, g = gIn, b = bIn;
    const double mx = max3(r, g, b);
    const double mn = min3(r, g, b);
    const double delta = mx - mn;
    l = (mx + mn) / 2.0;
    if (delta == 0.0) {
        h = s = 0.0;
        return;
    }
    s = l <= 0.5 ? delta / (mx + mn) : delta / (2.0 - mx - mn);
    h = hexconeHue(r, g, b, mx, delta, true);
}

void hslToRgb(const double& hIn, const double& sIn, const double& lIn, double& r, double& g, double& b) {
    const double h = hIn, s = sIn, l = lIn;
    if (s == 0.0) {
        r = g = b = l;
        return;
    }
    const double q = l <= 0.5 ? l * (1.0 + s) : l + s - l * s;
    const double p = 2.0 * l - q;
    const double t = std::max(h, 0.0) / 360.0 * 6.0;
    r = hslChannel(p, q, t + 2.0);
    g = hslChannel(p, q, t);
    b = hslChannel(p, q, t - 2.0);
}

void rgbToHsv(const double& rIn, const double& gIn, const double& bIn, double& h, double& s, double& v) {
    const double r = rIn, g = gIn, b = bIn;
    const double mx = max3(r, g, b);
    const double delta = mx - min3(r, g, b);
    v = mx;
    if (mx > 0.0) {
        s = delta / mx;
        h = s == 0.0 ? -1.0 : hexconeHue(r, g, b, mx, delta, false);
    } else {
        s = 0.0;
        h = -1.0;
    }
}

void hsvToRgb(const double& hIn, const double& sIn, const double& vIn, double& r, double& g, double& b) {
    const double h = hIn, s = sIn, v = vIn;
    if (s == 0.0 && h == -1.0) {
        r = g = b = v;
        return;
    }
    const double x = std::max(h, 0.0) / 60.0;
    const double i = std::trunc(x);
    const double f = x - i;
    const double p = (1.0 - s) * v;
    const double rising = (1.0 - (1.0 - f) * s) * v;
    const double falling = (1.0 - s * f) * v;
    switch (sectorOf(x)) {
    case 0:
    case 6:
        r = v, g = rising, b = p;
        break;
    case 1:
        r = falling, g = v, b = p;
        break;
    case 2:
        r = p, g = v, b = rising;
        break;
    case 3:
        r = p, g = falling, b = v;
        break;
    case 4:
        r = rising, g = p, b = v;
        break;
    case 5:
        r = v, g = p, b = falling;
        break;
    default:
        break;
    }
}

void rgbToHsi(const double& rIn, const double& gIn, const double& bIn, double& h, double& s, double& i) {
    const double r = rIn, g = gIn, b = bIn;
    const double mx = max3(r, g, b);
    const double mn = min3(r, g, b);
    const double delta = mx - mn;
    const double intensity = (r + g + b) / 3.0;
    i = intensity;
    if (delta == 0.0) {
        h = s = 0.0;
        return;
    }
    s = 1.0 - mn / intensity;
    h = hexconeHue(r, g, b, mx, delta, true);
}

void hsiToRgb(const double& hIn, const double& sIn, const double& iIn, double& r, double& g, double& b) {
    const double h = hIn, s = sIn, i = iIn;
    if (s == 0.0) {
        r = g = b = i;
        return;
    }
    // Degrees to radians with the constant the stored data was made with (not pi / 180
    // to the last bit). Each angle is converted on its own: cos((60 - x) * k).
    constexpr double kRadiansPerDegree = 0.0174532925194;
    const double k = (1.0 - s) / 3.0;
    auto f = [s](double x) {
        return (s * std::cos(x * kRadiansPerDegree) / std::cos((60.0 - x) * kRadiansPerDegree) + 1.0) / 3.0;
    };
    double rr, gg, bb;
    if (h < 0.0 || h <= 120.0) {
        bb = k;
        rr = f(h < 0.0 ? 0.0 : h);
        gg = 1.0 - bb - rr;
    } else if (h <= 240.0) {
        rr = k;
        gg = f(h - 120.0);
        bb = 1.0 - gg - rr;
    } else {
        gg = k;
        bb = f(h - 240.0);
        rr = 1.0 - gg - bb;
    }
    // Each channel is multiplied by the one factor 3 * i.
    const double scale = 3.0 * i;
    r = rr * scale;
    g = gg * scale;
    b = bb * scale;
}

void rgbToHcl(const double& r, const double& g, const double& b, double& h, double& c, double& l) {
    detail::hclFromRgb(r, g, b, h, c, l);
}

void hclToRgb(const double& h, const double& c, const double& l, double& r, double& g, double& b) {
    detail::rgbFromHcl(h, c, l, r, g, b);
}

namespace {

// trunc(v) stored in a channel; values beyond the channel range saturate (only reachable
// with factors outside 0 ... 1) and NaN gives 0.
int16_t truncSat(double v) {
    if (v >= 32767.0) return 32767;
    if (v <= -32767.0) return -32767;
    return v == v ? int16_t(v) : int16_t(0);
}

// clamp(v, 0, 1) that reads NaN as 0.
double clamp01(double v) {
    return !(v > 0.0) ? 0.0 : (v > 1.0 ? 1.0 : v);
}

// Calls op on every allocated pixel in buffer order.
template <class Op> void forEachPixel(CEL_PixmapAreaRGBA16* pixmap, Op op) {
    if (!pixmap || !pixmap->data()) return;
    CEL_PixelRGBA16* p = pixmap->data();
    const long long n = pixmap->allocatedArea();
    for (long long i = 0; i < n; ++i) op(p[i]);
}

} // namespace

void fadeAlpha(CEL_PixmapAreaRGBA16* pixmap, double amount) {
    const double keep = 1.0 - clamp01(amount);
    forEachPixel(pixmap, [keep](CEL_PixelRGBA16& p) { p.a = int16_t(std::trunc(p.a * keep + 0.5)); });
}

void fadeColor(CEL_PixmapAreaRGBA16* pixmap, double percent) {
    const double keep = 1.0 - clamp01(percent * 0.01);
    forEachPixel(pixmap, [keep](CEL_PixelRGBA16& p) {
        p.r = int16_t(std::trunc(p.r * keep + 0.5));
        p.g = int16_t(std::trunc(p.g * keep + 0.5));
        p.b = int16_t(std::trunc(p.b * keep + 0.5));
        p.a = int16_t(std::trunc(p.a * keep + 0.5));
    });
}

void mapRGB(CEL_PixmapAreaRGBA16* pixmap, double r, double g, double b) {
    forEachPixel(pixmap, [r, g, b](CEL_PixelRGBA16& p) {
        const double a = p.a;
        p.r = truncSat(a * r);
        p.g = truncSat(a * g);
        p.b = truncSat(a * b);
    });
}

void mapRGBA(CEL_PixmapAreaRGBA16* pixmap, double r, double g, double b, double a) {
    forEachPixel(pixmap, [r, g, b, a](CEL_PixelRGBA16& p) {
        const double alpha = p.a;
        p.r = truncSat(alpha * r * a);
        p.g = truncSat(alpha * g * a);
        p.b = truncSat(alpha * b * a);
        p.a = truncSat(alpha * a);
    });
}

} // namespace CelAlgo
