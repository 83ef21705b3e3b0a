#pragma once
// Pieces shared by the blend-mode compositors. Internal to the library.
//
// Precision. Where a step is stated in single precision its value is held in a float;
// everything else follows C++ promotion from there: a float combined with a double
// (opacity, a table fraction, a weight) is evaluated in double, a float combined with a
// float or an integer constant stays float. Integer-valued intermediates of the 16-bit
// blend functions are kept in doubles.
//
// The 65535-scale blend functions take a backdrop b (the destination) and a top value
// t (the source) on the 0 ... 32767 scale and return an integer on the 0 ... 65535
// scale. Both inputs are first brought to that scale in doubles:
// B = trunc(b / 32767 * 65535), T = trunc(t / 32767 * 65535).

#include <algorithm>
#include <cmath>

#include "algo/composite/ColorSpace.h"
#include "algo/composite/CompositeDetail.h"

namespace CelAlgo::detail {

inline double to65535(double v) {
    return std::trunc(v / 32767.0 * 65535.0);
}

// Overlay: multiply below the middle of the backdrop, screen above; the final value is
// rounded to single precision before truncation.
inline int overlay16(double b, double t) {
    const double B = to65535(b), T = to65535(t);
    const double v = 2.0 * B / 65535.0 < 1.0
                         ? 2.0 * B * T / 65535.0
                         : 65535.0 * (1.0 - 2.0 * (1.0 - B / 65535.0) * (1.0 - T / 65535.0));
    return truncToInt(float(v));
}

// Hard light: overlay with the roles swapped, evaluated in single precision from B, T.
inline int hardlight16(double b, double t) {
    const float B = float(to65535(b)), T = float(to65535(t));
    const float v = T <= 32767.0f ? 2.0f * T * B / 65535.0f
                                  : 65535.0f - (65535.0f - (T - 32767.0f) * 2.0f) * (65535.0f - B) / 65535.0f;
    return std::min(65535, truncToInt(v));
}

// Soft light from a rounding 65535-scale product.
inline double softMul(double p, double q) {
    const double pq = p * q + 32767.0;
    return std::min(65535.0, std::trunc((pq / 65535.0 + pq) / 65535.0));
}
inline int softlight16(double b, double t) {
    const double B = to65535(b), T = to65535(t);
    const double m = softMul(T, B);
    const double n = softMul(65535.0 - B, 65535.0 - T);
    return truncToInt(std::min(65535.0, softMul(m, 65535.0 - B) + softMul(65535.0 - n, B)));
}

// Three colour channels of one pixel as fractions, or (h, c, l) after rgbToHcl.
struct ColorValues {
    double v[3];
    double& operator[](int i) { return v[i]; }
    double operator[](int i) const { return v[i]; }
};

inline void toHcl(ColorValues& c) {
    rgbToHcl(c[0], c[1], c[2], c[0], c[1], c[2]);
}
inline void toRgb(ColorValues& c) {
    hclToRgb(c[0], c[1], c[2], c[0], c[1], c[2]);
}

// Edits of a destination colour in hue-chroma-luma from a source colour, shared by the
// HCL effect modes and the HCL blend functions. Index 0 is hue, 1 chroma, 2 luma.
struct HclHue {
    void operator()(const ColorValues& s, ColorValues& d) const {
        d[0] = s[0];
        if (s[1] == 0.0) d[1] = 0.0;
    }
};
struct HclSaturation {
    void operator()(const ColorValues& s, ColorValues& d) const {
        if (d[1] > 0.0) d[1] = s[1];
    }
};
struct HclColour {
    void operator()(const ColorValues& s, ColorValues& d) const {
        d[0] = s[0];
        d[1] = s[1];
    }
};
struct HclLuminosity {
    void operator()(const ColorValues& s, ColorValues& d) const { d[2] = s[2]; }
};

} // namespace CelAlgo::detail
