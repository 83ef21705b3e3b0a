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
#include <cstdint>
#include <cstring>
#include <memory>
#include <type_traits>

#include "algo/composite/ColorSpaceDetail.h"
#include "algo/composite/CompositeDetail.h"

namespace CelAlgo::detail {

// x / q. Division by exactly 1 returns x unchanged in IEEE arithmetic, so skipping it
// changes no bit; opaque pixels, the common case, then need no division at all.
inline uint64_t pixelBits(const CEL_PixelRGBA16& p) {
    uint64_t v;
    std::memcpy(&v, &p, sizeof v);
    return v;
}

inline double quotient(double x, double q) {
    return q == 1.0 ? x : x / q;
}

// v / 32767 for a channel value v. Integral v within +-32767 (every opaque pixel) reads
// the fraction table, which holds exactly that quotient; the quotient is odd in v.
inline double fractionOf(double v) {
    if (v >= -32767.0 && v <= 32767.0) {
        const int i = int(v);
        if (i == v) return i < 0 ? -F(-i) : F(i);
    }
    return v / 32767.0;
}
// The same for a stored channel, without the round trip through double.
inline double fractionOf(int16_t v) {
    return v >= -32767 ? (v < 0 ? -F(-v) : F(v)) : v / 32767.0;
}

// Stores trunc(v) saturated to -32767 ... 32767: clamps first, then converts, so no
// value of v (NaN included, which only out-of-range inputs produce; it stores -32767)
// reaches an out-of-range conversion, and no branch is needed.
inline int16_t channel(double v) {
    const double c = v > -32767.0 ? (v < 32767.0 ? v : 32767.0) : -32767.0;
    return int16_t(int(c));
}

// B = trunc(v / 32767 * 65535). For an integral v = 0 ... 32766 the exact quotient is
// 2v + v / 32767, whose fraction stays at least 1 / 32767 away from both integers, far
// beyond the rounding of the two double steps, so the expression gives exactly 2v; 32767
// gives 65535. The expression is odd in v. Every opaque pixel takes this path instead
// of dividing (the test suite compares it with the expression for every integer).
inline double to65535(double v) {
    if (v >= -32767.0 && v <= 32767.0) {
        const int i = int(v);
        if (i == v) return i == 32767 ? 65535.0 : (i == -32767 ? -65535.0 : 2.0 * i);
    }
    return std::trunc(v / 32767.0 * 65535.0);
}

// Overlay: multiply below the middle of the backdrop, screen above; the final value is
// rounded to single precision before truncation.
inline int overlay16(double b, double t) {
    const double B = to65535(b), T = to65535(t);
    // 2 * B / 65535 < 1 exactly when 2 * B < 65535: the division is monotonic and
    // 65535 / 65535 is exactly 1.
    const double v = 2.0 * B < 65535.0 ? 2.0 * B * T / 65535.0
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

// Soft light from a rounding 65535-scale product: trunc(((pq / 65535) + pq) / 65535)
// with pq = p * q + 32767, capped at 65535. p and q are always integers (B, T and earlier
// products). Within 0 ... 65535 the quotient differs from the exact pq * 65536 / 65535^2
// by a few units in the last place, and that exact value never lies that close to an
// integer, so the integer division gives the same result (checked for every pq).
inline double softMul(double p, double q) {
    if (p >= 0.0 && p <= 65535.0 && q >= 0.0 && q <= 65535.0) {
        const long long pq = (long long)p * (long long)q + 32767;
        return double(std::min(65535LL, pq * 65536 / 4294836225LL));
    }
    const double pq = p * q + 32767.0;
    return std::min(65535.0, std::trunc((pq / 65535.0 + pq) / 65535.0));
}
inline int softlight16(double b, double t) {
    const double B = to65535(b), T = to65535(t);
    const double m = softMul(T, B);
    const double n = softMul(65535.0 - B, 65535.0 - T);
    return truncToInt(std::min(65535.0, softMul(m, 65535.0 - B) + softMul(65535.0 - n, B)));
}

// Runs rowFn(d, s, n) over the rows of region (inside both allocated rectangles), the
// rows split over the worker threads by the shared row helper. Every pixel reads only
// its own pair, so results never depend on the split; rowFn must not share mutable
// state between calls.
template <class RowFn>
void blendRows(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src, const Math::Box2di& region,
               const RowFn& rowFn) {
    if (region.hasNullArea()) return;
    const auto d = rowsOf(dst, region);
    const auto s = rowsOf(src, region);
    const int w = region.w();
    parallelRows(region.y1(), region.y2(), rowGrain(region.h()), w, [&](int yBegin, int yEnd) {
        for (int y = yBegin; y < yEnd; ++y) rowFn(d.row(y), s.row(y), w);
    });
}

// pixelFn(d, s, state, x) on every pixel pair of region (x: the column within region),
// rows in parallel as blendRows; state is a State (given the region's width when it takes
// one) made afresh for each range of rows a thread takes, where pixelFn may keep what it
// learnt from earlier pixels.
//
// Cel artwork is mostly flat colour, so neighbouring pixel pairs repeat: a pair equal
// (all 64 bits of both pixels) to the previous computed pair takes that pair's result
// instead of running pixelFn again. Every memo here is exact, bit for bit, because every
// pixel function reads only its own pair and the call's constants; so results never
// depend on how the rows are split.
//
// pairFn (optional) computes two neighbouring pixels under one source pixel together,
// where a design has a form that runs two pixels in the lanes of one register:
// pairFn(d0, d1, s, state) returns false, leaving both alone, where that form does not
// apply, and the pixels then go through pixelFn one by one. It is offered a pair only when
// both pixels would be computed anyway (the second's destination differs from the
// first's), so the memo keeps its meaning.
struct NoPairs {
    static constexpr bool kPairs = false;
    template <class State>
    bool operator()(CEL_PixelRGBA16&, CEL_PixelRGBA16&, const CEL_PixelRGBA16&, State&) const {
        return false;
    }
};

template <class State, class PixelFn, class PairFn = NoPairs>
void blendPixelsWith(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src, const Math::Box2di& region,
                     const PixelFn& pixelFn, const PairFn& pairFn = {}) {
    if (region.hasNullArea()) return;
    const auto dRows = rowsOf(dst, region);
    const auto sRows = rowsOf(src, region);
    const int n = region.w();
    parallelRows(region.y1(), region.y2(), rowGrain(region.h()), n, [&](int yBegin, int yEnd) {
        auto state = [n] {
            if constexpr (std::is_constructible_v<State, int>)
                return std::make_unique<State>(n);
            else
                return std::make_unique<State>();
        }();
        uint64_t lastDst = pixelBits(dRows.row(yBegin)[0]) ^ 1, lastSrc = 0, lastResult = 0;
        for (int y = yBegin; y < yEnd; ++y) {
            CEL_PixelRGBA16* d = dRows.row(y);
            const CEL_PixelRGBA16* s = sRows.row(y);
            for (int i = 0; i < n; ++i) {
                const uint64_t dv = pixelBits(d[i]), sv = pixelBits(s[i]);
                if (dv == lastDst && sv == lastSrc) {
                    std::memcpy(&d[i], &lastResult, sizeof lastResult);
                    continue;
                }
                if constexpr (PairFn::kPairs) {
                    const uint64_t dv1 = i + 1 < n ? pixelBits(d[i + 1]) : dv;
                    if (dv1 != dv && pixelBits(s[i + 1]) == sv) {
                        CEL_PixelRGBA16 p0 = d[i], p1 = d[i + 1];
                        if (pairFn(p0, p1, s[i], *state)) {
                            std::memcpy(&d[i], &p0, sizeof p0);
                            lastResult = pixelBits(p1);
                            std::memcpy(&d[i + 1], &lastResult, sizeof lastResult);
                            lastDst = dv1;
                            lastSrc = sv;
                            ++i;
                            continue;
                        }
                    }
                }
                // Computed in a local copy: reading the pixel back as one 64-bit word
                // right after its 16-bit channel stores would stall on store forwarding.
                CEL_PixelRGBA16 p = d[i];
                pixelFn(p, s[i], *state, i);
                lastResult = pixelBits(p);
                std::memcpy(&d[i], &lastResult, sizeof lastResult);
                lastDst = dv;
                lastSrc = sv;
            }
        }
    });
}

struct NoRowState {};

template <class PixelFn>
void blendPixels(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src, const Math::Box2di& region,
                 const PixelFn& pixelFn) {
    blendPixelsWith<NoRowState>(
        dst, src, region,
        [&pixelFn](CEL_PixelRGBA16& d, const CEL_PixelRGBA16& s, NoRowState&, int) { pixelFn(d, s); });
}

// A value computed from the source pixel alone, kept while the source repeats (a flat
// colour over a changing backdrop).
template <class T> struct SourceMemo {
    template <class Fn> const T& get(const CEL_PixelRGBA16& s, const Fn& fn) {
        const uint64_t key = pixelBits(s);
        if (!valid || key != source) {
            value = fn(s);
            source = key;
            valid = true;
        }
        return value;
    }
    T value{};
    uint64_t source = 0;
    bool valid = false;
};

// The colour channels of a pixel by index (0 red, 1 green, 2 blue).
inline int16_t& colourAt(CEL_PixelRGBA16& p, int k) {
    return k == 0 ? p.r : (k == 1 ? p.g : p.b);
}
inline int16_t colourAt(const CEL_PixelRGBA16& p, int k) {
    return k == 0 ? p.r : (k == 1 ? p.g : p.b);
}

// Designs that leave the destination's alpha as it is.
struct KeepDstAlpha {
    template <class Alphas> int16_t alpha(const Alphas&, int16_t da, int16_t) const { return da; }
};

// Walks a channelwise design: every colour channel's result depends only on that
// channel's destination and source values and on the two alphas. The design provides
//   struct Alphas { bool skip; ... };               values of the two alphas
//   Alphas alphas(int16_t da, int16_t sa) const;     skip leaves the pixel as it is
//   int16_t colour(const Alphas&, int16_t dc, int16_t sc, int k) const;  channel k
//   int16_t alpha(const Alphas&, int16_t da, int16_t sa) const;
//
// Besides the pixel memo, the alpha values are kept while the alphas repeat, and each
// channel's result is kept along the row while the channel's pair repeats and down the
// column (keyed by the channel's two values and both alphas) for the next rows: under a
// flat colour, a backdrop graded along its rows or down its columns recomputes only
// the channels that change. Exact for the same reason as the pixel memo.
template <class Design> struct ChannelMemo {
    explicit ChannelMemo(int width) : column(std::make_unique<Column[]>(std::size_t(width) * 3)) {}
    typename Design::Alphas A{};
    int lastDa = -65536, lastSa = -65536; // no 16-bit alpha: the first pixel computes
    int16_t keyD[3] = {}, keyS[3] = {}, out[3] = {};
    // used == 0: nothing kept for this column and channel yet.
    struct Column {
        uint64_t key;
        int16_t out;
        bool used;
    };
    std::unique_ptr<Column[]> column;
};

template <class Design>
void blendChannels(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src, const Math::Box2di& region,
                   const Design& design) {
    using Memo = ChannelMemo<Design>;
    blendPixelsWith<Memo>(
        dst, src, region, [&design](CEL_PixelRGBA16& d, const CEL_PixelRGBA16& s, Memo& m, int x) {
            const bool sameAlphas = d.a == m.lastDa && s.a == m.lastSa;
            if (!sameAlphas) {
                m.A = design.alphas(d.a, s.a);
                m.lastDa = d.a;
                m.lastSa = s.a;
            }
            if (m.A.skip) return;
            const uint64_t alphas = uint64_t(uint16_t(d.a)) << 32 | uint64_t(uint16_t(s.a)) << 48;
            typename Memo::Column* column = &m.column[std::size_t(x) * 3];
            for (int k = 0; k < 3; ++k) {
                const int16_t dc = colourAt(d, k), sc = colourAt(s, k);
                if (!sameAlphas || dc != m.keyD[k] || sc != m.keyS[k]) {
                    m.keyD[k] = dc;
                    m.keyS[k] = sc;
                    const uint64_t key = alphas | uint64_t(uint16_t(sc)) << 16 | uint16_t(dc);
                    if (column[k].used && column[k].key == key) {
                        m.out[k] = column[k].out;
                    } else {
                        m.out[k] = design.colour(m.A, dc, sc, k);
                        column[k] = {key, m.out[k], true};
                    }
                }
                colourAt(d, k) = m.out[k];
            }
            d.a = design.alpha(m.A, d.a, s.a);
        });
}

// Three colour channels of one pixel as fractions, or (h, c, l) after rgbToHcl.
struct ColorValues {
    double v[3];
    double& operator[](int i) { return v[i]; }
    double operator[](int i) const { return v[i]; }
};

inline void toHcl(ColorValues& c) {
    hclFromRgb(c[0], c[1], c[2], c[0], c[1], c[2]);
}
inline void toRgb(ColorValues& c) {
    rgbFromHcl(c[0], c[1], c[2], c[0], c[1], c[2]);
}

// The straight source colour (F(c) / F(a)) in hue-chroma-luma, with its hue's base colour
// for the modes that give the result the source's hue.
struct SourceHcl {
    ColorValues hcl;
    HueBase base;
};
inline SourceHcl straightSourceHcl(const CEL_PixelRGBA16& s) {
    const double Sa = F(s.a);
    ColorValues S{{quotient(F(s.r), Sa), quotient(F(s.g), Sa), quotient(F(s.b), Sa)}};
    toHcl(S);
    return {S, hueBaseOf(S[0])};
}

// Edits of a destination colour in hue-chroma-luma from a source colour, shared by the
// HCL effect modes and the HCL blend functions. Index 0 is hue, 1 chroma, 2 luma.
//
// The edits marked kSourceHue give the result the source's hue and keep the destination's
// luma; chromaFrom(s) tells the chroma they give: the destination's own, or a value.
struct SourceHueChroma {
    bool keepsDestination;
    double value;
};
struct HclHue {
    static constexpr bool kSourceHue = true;
    void operator()(const ColorValues& s, ColorValues& d) const {
        d[0] = s[0];
        if (s[1] == 0.0) d[1] = 0.0;
    }
    static SourceHueChroma chromaFrom(const ColorValues& s) { return {s[1] != 0.0, 0.0}; }
};
struct HclSaturation {
    static constexpr bool kSourceHue = false;
    void operator()(const ColorValues& s, ColorValues& d) const {
        if (d[1] > 0.0) d[1] = s[1];
    }
};
struct HclColour {
    static constexpr bool kSourceHue = true;
    void operator()(const ColorValues& s, ColorValues& d) const {
        d[0] = s[0];
        d[1] = s[1];
    }
    static SourceHueChroma chromaFrom(const ColorValues& s) { return {false, s[1]}; }
};
struct HclLuminosity {
    static constexpr bool kSourceHue = false;
    void operator()(const ColorValues& s, ColorValues& d) const { d[2] = s[2]; }
};

// The destination colour D (fractions, finite) to hue-chroma-luma, Edit from the source,
// back to RGB, in place. Where the result takes the source's hue, the destination's hue
// is never needed and the way back starts from the source's base colour: the same bits
// as the full round trip.
template <class Edit> inline void editInHcl(const SourceHcl& S, ColorValues& D) {
    if constexpr (Edit::kSourceHue) {
        const SourceHueChroma chroma = Edit::chromaFrom(S.hcl);
        const double c =
            chroma.keepsDestination ? max3(D[0], D[1], D[2]) - min3(D[0], D[1], D[2]) : chroma.value;
        rgbFromHueBase(S.base, c, luma(D[0], D[1], D[2]), D[0], D[1], D[2]);
    } else {
        toHcl(D);
        Edit{}(S.hcl, D);
        toRgb(D);
    }
}

} // namespace CelAlgo::detail
