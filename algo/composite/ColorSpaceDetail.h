#pragma once
// Inline forms of the colour-space helpers, shared by the exported conversions and the
// blend compositors (which run them per pixel). Internal to the library. Inputs are
// taken by value, so outputs may alias the caller's inputs.

#include <algorithm>
#include <cmath>

namespace CelAlgo::detail {

// Hexcone hue in degrees of a colour whose largest channel is mx and whose spread
// max - min is delta > 0. The channel tests run in the order r, g, b. withWrap adds the
// six sectors in the red sector when b > g; the negative case is caught afterwards
// either way, so it only changes the last bits of the result.
inline double hexconeHue(double r, double g, double b, double mx, double delta, bool withWrap) {
    double h;
    if (r == mx) {
        h = (g - b) / delta;
        if (withWrap && b > g) h += 6.0;
    } else if (g == mx) {
        h = (b - r) / delta + 2.0;
    } else {
        h = (r - g) / delta + 4.0;
    }
    h *= 60.0;
    if (h < 0.0) h += 360.0;
    return h;
}

inline double max3(double r, double g, double b) {
    return std::max(std::max(r, g), b);
}
inline double min3(double r, double g, double b) {
    return std::min(std::min(r, g), b);
}

inline double luma(double r, double g, double b) {
    return 0.3 * r + 0.59 * g + 0.11 * b;
}

// The sector index trunc(x) of a hue in sixths; -1 for values no sector covers (huge
// hues, NaN), so that the conversion to int stays defined.
inline int sectorOf(double x) {
    return x >= 0.0 && x < 7.0 ? int(x) : -1;
}

// Hue-chroma-luma: hexcone hue, chroma max - min, luma 0.3 r + 0.59 g + 0.11 b.
inline void hclFromRgb(double r, double g, double b, double& h, double& c, double& l) {
    const double mx = max3(r, g, b);
    const double delta = mx - min3(r, g, b);
    c = delta;
    l = luma(r, g, b);
    h = delta == 0.0 ? 0.0 : hexconeHue(r, g, b, mx, delta, true);
}

// The luma fit of hclToRgb: base colour (br, bg, bb) of chroma c lifted by m to luma l,
// scaled down by k where the lift would leave [0, 1].
inline void fitHclLuma(double br, double bg, double bb, double c, double l, double& r, double& g, double& b) {
    double m = l - luma(br, bg, bb);
    double k = 1.0;
    if (m < 0.0) {
        k = l / (l - m);
        m = 0.0;
    } else if (c + m > 1.0) {
        k = (1.0 - l) / (c + m - l);
        m = 1.0 - c * k;
    }
    r = std::clamp(br * k + m, 0.0, 1.0);
    g = std::clamp(bg * k + m, 0.0, 1.0);
    b = std::clamp(bb * k + m, 0.0, 1.0);
}

// The hexcone sector of a hue (sectorOf its sixths), the fraction f of the way through it
// and 1 - f.
struct HueSector {
    int sector;
    double f, q;
};
inline HueSector hueSector(double h) {
    const double x = std::max(h, 0.0) / 60.0;
    const double f = x - std::trunc(x);
    return {sectorOf(x), f, 1.0 - f};
}

inline void rgbFromHcl(double h, double c, double l, double& r, double& g, double& b) {
    if (c == 0.0) {
        r = g = b = l;
        return;
    }
    const auto [sector, f, q] = hueSector(h);
    double br = 0.0, bg = 0.0, bb = 0.0;
    switch (sector) {
    case 0:
    case 6:
        br = c, bg = f * c;
        break;
    case 1:
        br = q * c, bg = c;
        break;
    case 2:
        bg = c, bb = f * c;
        break;
    case 3:
        bg = q * c, bb = c;
        break;
    case 4:
        br = f * c, bb = c;
        break;
    case 5:
        br = c, bb = q * c;
        break;
    default:
        break; // no base colour: grey at the requested luminance
    }
    fitHclLuma(br, bg, bb, c, l, r, g, b);
}

// rgbFromHcl for many colours of one hue (a flat source colour's hue over a changing
// backdrop): the hue's base colour per unit of chroma is found once, as coefficients 1,
// f, 1 - f or 0 per channel. For a finite chroma c > 0, 1 * c is c and 0 * c is +0, so
// the base colour, and every result, has the bits of rgbFromHcl's.
struct HueBase {
    double r, g, b;
};
inline HueBase hueBaseOf(double h) {
    const auto [sector, f, q] = hueSector(h);
    switch (sector) {
    case 0:
    case 6:
        return {1.0, f, 0.0};
    case 1:
        return {q, 1.0, 0.0};
    case 2:
        return {0.0, 1.0, f};
    case 3:
        return {0.0, q, 1.0};
    case 4:
        return {f, 0.0, 1.0};
    case 5:
        return {1.0, 0.0, q};
    default:
        return {0.0, 0.0, 0.0};
    }
}

// c finite and >= 0, as every chroma of a finite colour is.
inline void rgbFromHueBase(const HueBase& u, double c, double l, double& r, double& g, double& b) {
    if (c == 0.0) {
        r = g = b = l;
        return;
    }
    fitHclLuma(u.r * c, u.g * c, u.b * c, c, l, r, g, b);
}

} // namespace CelAlgo::detail
