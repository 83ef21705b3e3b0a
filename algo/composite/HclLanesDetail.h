#pragma once
// Two pixels' HCL round trip in the two lanes of one register, for the edits that give
// the result the source's hue (hue, colour). Under a flat source colour over a changing
// backdrop neighbouring pixels pair up, and the round trip, a long chain of dependent
// steps per pixel, then runs for two pixels at the cost of one. Internal to the library.
//
// Each lane repeats editInHcl's scalar steps exactly: the same IEEE operations in the same
// order, no fused multiply-add. Branches become selects that compute both sides and keep
// one; the side not kept may divide by zero, which under the default floating-point
// environment (no traps) only produces a value that is dropped. So a lane's bits are
// the scalar path's. The compiler's generic vector types are used rather than one
// instruction set's intrinsics: they map to SSE2 on x86-64 (which every x86-64 processor
// has) and to plain scalar code elsewhere.

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "algo/composite/BlendDetail.h"

namespace CelAlgo::detail {

using Lanes = double __attribute__((vector_size(16)));
using IntLanes = int __attribute__((vector_size(8)));

inline Lanes splat(double v) {
    return Lanes{v, v};
}

// Whether any lane of a comparison holds.
template <class Mask> inline bool any(Mask m) {
    return (m[0] | m[1]) != 0;
}

// std::max and std::min of each lane, with the comparison the scalar forms make. SSE2's
// min and max take the second operand where the comparison fails (NaN included), which is
// that comparison with the operands swapped; the compiler does not always find them itself.
inline Lanes maxLanes(Lanes a, Lanes b) {
#ifdef __SSE2__
    return _mm_max_pd(b, a);
#else
    return a < b ? b : a;
#endif
}
inline Lanes minLanes(Lanes a, Lanes b) {
#ifdef __SSE2__
    return _mm_min_pd(b, a);
#else
    return b < a ? b : a;
#endif
}

// std::clamp(v, 0, 1), sat(v) and channel(v) of each lane, as one min and one max. Each
// takes the same side as the scalar form for every value, NaN included: v < lo ? lo :
// (hi < v ? hi : v) equals max(min(v, hi), lo) since min(v, hi) is below lo exactly when
// v is; and lo < v ? min(v, hi) : lo equals min(max(lo, v), hi).
inline Lanes clampLanes(Lanes v, double lo, double hi) {
    return maxLanes(minLanes(v, splat(hi)), splat(lo));
}
inline Lanes clampUnitLanes(Lanes v) {
    return clampLanes(v, 0.0, 1.0);
}
inline Lanes satLanes(Lanes v) {
    return clampLanes(v, -32767.0, 32767.0);
}
inline IntLanes channelLanes(Lanes v) {
    return __builtin_convertvector(minLanes(splat(32767.0), maxLanes(splat(-32767.0), v)), IntLanes);
}

inline Lanes lumaLanes(Lanes r, Lanes g, Lanes b) {
    return splat(0.3) * r + splat(0.59) * g + splat(0.11) * b;
}

// editInHcl for Edit::kSourceHue on the colours (r, g, b) of two pixels, in place.
template <class Edit> inline void editInHclLanes(const SourceHcl& S, Lanes& r, Lanes& g, Lanes& b) {
    static_assert(Edit::kSourceHue);
    const SourceHueChroma chroma = Edit::chromaFrom(S.hcl);
    const Lanes c = chroma.keepsDestination ? maxLanes(maxLanes(r, g), b) - minLanes(minLanes(r, g), b)
                                            : splat(chroma.value);
    const Lanes l = lumaLanes(r, g, b);
    // rgbFromHueBase and fitHclLuma.
    const Lanes br = splat(S.base.r) * c, bg = splat(S.base.g) * c, bb = splat(S.base.b) * c;
    const Lanes m = l - lumaLanes(br, bg, bb);
    const auto below = m < splat(0.0);
    const auto above = c + m > splat(1.0);
    const auto grey = c == splat(0.0);
    if (!any(below | above | grey)) {
        // Both colours fit as they are: k is 1, and x * 1 is x.
        r = clampUnitLanes(br + m);
        g = clampUnitLanes(bg + m);
        b = clampUnitLanes(bb + m);
        return;
    }
    const Lanes kAbove = (splat(1.0) - l) / (c + m - l);
    const Lanes k = below ? l / (l - m) : (above ? kAbove : splat(1.0));
    const Lanes lift = below ? splat(0.0) : (above ? splat(1.0) - c * kAbove : m);
    r = grey ? l : clampUnitLanes(br * k + lift);
    g = grey ? l : clampUnitLanes(bg * k + lift);
    b = grey ? l : clampUnitLanes(bb * k + lift);
}

// The three colour channels of two stored pixels.
inline void storeColourLanes(CEL_PixelRGBA16& p0, CEL_PixelRGBA16& p1, IntLanes r, IntLanes g, IntLanes b) {
    p0.r = int16_t(r[0]), p0.g = int16_t(g[0]), p0.b = int16_t(b[0]);
    p1.r = int16_t(r[1]), p1.g = int16_t(g[1]), p1.b = int16_t(b[1]);
}

// pairFn of the HCL compositors (see blendPixelsWith): two opaque destination pixels under
// one source pixel at full weight, the shortcut of both compositors, in lanes, for the
// edits that give the source's hue. Channels is the design's reading and storing of colour
// channels: static bool skips(int16_t sa) (source alphas the design leaves alone),
// static double fraction(int16_t), static IntLanes store(Lanes).
template <class Edit, class Channels> struct HclPairs {
    static constexpr bool kPairs = Edit::kSourceHue;
    double o;
    bool operator()(CEL_PixelRGBA16& d0, CEL_PixelRGBA16& d1, const CEL_PixelRGBA16& s,
                    SourceMemo<SourceHcl>& source) const {
        if constexpr (kPairs) {
            if (Channels::skips(s.a) || F(s.a) * o != 1.0 || F(d0.a) != 1.0 || F(d1.a) != 1.0) return false;
            Lanes r{Channels::fraction(d0.r), Channels::fraction(d1.r)};
            Lanes g{Channels::fraction(d0.g), Channels::fraction(d1.g)};
            Lanes b{Channels::fraction(d0.b), Channels::fraction(d1.b)};
            editInHclLanes<Edit>(source.get(s, straightSourceHcl), r, g, b);
            storeColourLanes(d0, d1, Channels::store(r), Channels::store(g), Channels::store(b));
            return true;
        }
        return false;
    }
};

} // namespace CelAlgo::detail
