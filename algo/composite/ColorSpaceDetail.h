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

inline void rgbFromHcl(double h, double c, double l, double& r, double& g, double& b) {
    if (c == 0.0) {
        r = g = b = l;
        return;
    }
    const double x = std::max(h, 0.0) / 60.0;
    const double i = std::trunc(x);
    const double f = x - i;
    const double q = 1.0 - f;
    double br = 0.0, bg = 0.0, bb = 0.0;
    switch (sectorOf(x)) {
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

} // namespace CelAlgo::detail
