// Modern direct blend modes and the legacy modes. Each mode is a small function object
// fed to one of a few compositors that own the region, the skipped pixels and the flag.
#include "algo/composite/BlendModes.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "algo/composite/BlendDetail.h"

namespace CelAlgo {

using namespace detail;

namespace {

// --- Modern templates: un-premultiply, blend, mix back ---

// Weight that brings the mixed straight colour back to premultiplied form.
inline double resultWeight(double Sa, double Da) {
    return Da < 1.0 && Sa != 0.0 ? 1.0 : (1.0 - Sa) * Da + Sa;
}

// The alpha values of both modern templates.
struct ModernAlphas {
    bool skip;
    double Sa, ar, w;
};

// Template A: the blend takes the straight source scaled by opacity (x) and the straight
// destination; pixels without source alpha are skipped. r stays in double after the
// saturation.
template <class Blend> struct TemplateA : KeepDstAlpha {
    double o;
    using Alphas = ModernAlphas;
    Alphas alphas(int16_t da, int16_t sa) const {
        const double Sa = F(sa);
        const double ar = resultWeight(Sa, F(da));
        return {sa == 0, Sa, ar, std::min(Sa, ar)};
    }
    int16_t colour(const Alphas& A, int16_t dc, int16_t sc, int) const {
        const float Dv = float(quotient(dc, A.ar));
        const float Sv = float(quotient(sc, A.Sa));
        const double r = sat(Blend{}(Sv * o, Dv));
        return channel((Dv * (1.0 - A.w) + r * A.w) * A.ar);
    }
};

template <class Blend, bool ReturnOnZeroOpacity>
void modernTemplateA(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src, double o) {
    requirePixmaps(dst, src);
    if (ReturnOnZeroOpacity && o == 0.0) return;
    blendChannels(dst, src, growRegion(dst, src), TemplateA<Blend>{{}, o});
}

struct AddBlend {
    double operator()(double x, float Dv) const { return Dv + x; }
};
struct SubtractBlend {
    double operator()(double x, float Dv) const { return std::max(Dv - x, 0.0); }
};
struct LightenBlend {
    double operator()(double x, float Dv) const { return std::max(x, double(Dv)); }
};
struct DifferenceBlend {
    double operator()(double x, float Dv) const { return std::abs(Dv - x); }
};

// Template B: the blend takes the straight destination and source (single precision);
// opacity only weighs the mix.
template <class Blend> struct TemplateB : KeepDstAlpha {
    double o;
    using Alphas = ModernAlphas;
    Alphas alphas(int16_t da, int16_t sa) const {
        const double Sa = F(sa);
        const double w = Sa * o;
        return {w == 0.0, Sa, resultWeight(Sa, F(da)), w};
    }
    int16_t colour(const Alphas& A, int16_t dc, int16_t sc, int) const {
        const float Dv = float(quotient(dc, A.ar));
        const float Sv = float(quotient(sc, A.Sa));
        double r = sat(Blend{}(Dv, Sv));
        if (A.w != 1.0) r = Dv * (1.0 - A.w) + r * A.w;
        return channel(sat(r) * A.ar);
    }
};

template <class Blend, bool Intersection>
void modernTemplateB(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src, double o) {
    requirePixmaps(dst, src);
    if (o == 0.0) return;
    const Math::Box2di region = Intersection ? intersectionRegion(dst, src) : growRegion(dst, src);
    blendChannels(dst, src, region, TemplateB<Blend>{{}, o});
}

struct DivideBlend {
    float operator()(float Dv, float Sv) const { return Dv * 32768.0f / (Sv + 1.0f); }
};
struct OverlayBlend {
    int operator()(float Dv, float Sv) const { return overlay16(Dv, Sv) >> 1; }
};
struct HardlightBlend {
    int operator()(float Dv, float Sv) const { return hardlight16(Dv, Sv) >> 1; }
};
struct SoftlightBlend {
    int operator()(float Dv, float Sv) const { return softlight16(Dv, Sv) >> 1; }
};
struct ExclusionBlend {
    float operator()(float Dv, float Sv) const { return Sv + Dv - 2.0f * Sv * Dv / 32767.0f; }
};

// Multiply: d * (F(trunc(s * o)) + I(trunc(s_a * o))), rounded half up, where both alphas
// are positive. At opacity 1 the truncations are the identity. The factor lies in [0, 2]
// (the fractions are clamped), so the product needs no range guard.
struct Multiply : KeepDstAlpha {
    double o;
    struct Alphas {
        bool skip;
        double ia;
    };
    Alphas alphas(int16_t da, int16_t sa) const { return {da <= 0 || sa <= 0, I(truncToInt(sa * o))}; }
    int16_t colour(const Alphas& A, int16_t dc, int16_t sc, int) const {
        const double f = F(truncToInt(sc * o)) + A.ia;
        return int16_t(sat(int(f * dc + 0.5)));
    }
};

// Screen on premultiplied values: 32767 - q / 32767 with q = max(32767 - s, 0) * o *
// (32767 - d) formed in doubles and rounded to single precision, the division in single
// precision.
struct Screen : KeepDstAlpha {
    double o;
    struct Alphas {
        bool skip;
    };
    Alphas alphas(int16_t, int16_t sa) const { return {sa == 0}; }
    int16_t colour(const Alphas&, int16_t dc, int16_t sc, int) const {
        const float q = float(double(std::max(32767 - sc, 0)) * o * double(32767 - dc));
        return channel(32767.0f - q / 32767.0f);
    }
};

// --- Legacy modes: raw premultiplied values, no un-premultiplying ---

// Per colour channel d = op(d, s) on every pixel, or only where the source has alpha.
// op runs over the row as one flat loop of 16-bit lanes, alpha lanes included, which
// the compiler vectorises; the results are then put back per pixel, colour only.
template <bool OnlyWithSourceAlpha, class Op>
void legacyChannels(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src, Op op) {
    requirePixmaps(dst, src);
    blendRows(dst, src, growRegion(dst, src), [&op](CEL_PixelRGBA16* d, const CEL_PixelRGBA16* s, int n) {
        constexpr int kChunk = 256;
        CEL_PixelRGBA16 lanes[kChunk];
        for (int i0 = 0; i0 < n; i0 += kChunk) {
            const int m = std::min(kChunk, n - i0);
            const int16_t* sl = &s[i0].r;
            const int16_t* dl = &d[i0].r;
            int16_t* out = &lanes[0].r;
            for (int k = 0; k < 4 * m; ++k) out[k] = op(dl[k], sl[k]);
            for (int i = 0; i < m; ++i) {
                if (OnlyWithSourceAlpha && s[i0 + i].a == 0) continue;
                CEL_PixelRGBA16& p = d[i0 + i];
                p.r = lanes[i].r, p.g = lanes[i].g, p.b = lanes[i].b;
            }
        }
    });
}

// Overlay, hard light and soft light on premultiplied values; destination alpha is
// raised to the source alpha. Opacity 0 turns dst into a copy of src.
template <int (*Blend16)(double, double)> struct LegacyLight {
    double o;
    struct Alphas {
        bool skip;
        double w;
    };
    Alphas alphas(int16_t, int16_t sa) const { return {false, (sa / 32767.0f) * o}; }
    int16_t colour(const Alphas& A, int16_t dc, int16_t sc, int) const {
        if (A.w == 0.0) return dc;
        const int r = Blend16(dc, sc) >> 1;
        return A.w == 1.0 ? int16_t(sat(r)) : channel(dc * (1.0 - A.w) + r * A.w);
    }
    int16_t alpha(const Alphas&, int16_t da, int16_t sa) const { return std::max(da, sa); }
};

template <int (*Blend16)(double, double)>
void legacyLight(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src, double o) {
    requirePixmaps(dst, src);
    if (o == 0.0) {
        composite_COPY_ALL(dst, src);
        return;
    }
    blendChannels(dst, src, growRegion(dst, src), LegacyLight<Blend16>{o});
}

} // namespace

// --- Modern direct modes ---

void composite_ADD(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src, double opacity) {
    modernTemplateA<AddBlend, true>(dst, src, opacity);
}
void composite_SUBTRACT(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src, double opacity) {
    modernTemplateA<SubtractBlend, false>(dst, src, opacity);
}
void composite_LIGHTEN(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src, double opacity) {
    modernTemplateA<LightenBlend, true>(dst, src, opacity);
}
void composite_DIFFERENCE(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src, double opacity) {
    modernTemplateA<DifferenceBlend, false>(dst, src, opacity);
}

void composite_DIVIDE(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src, double opacity) {
    modernTemplateB<DivideBlend, true>(dst, src, opacity);
}
void composite_OVERLAY(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src, double opacity) {
    modernTemplateB<OverlayBlend, false>(dst, src, opacity);
}
void composite_SOFTLIGHT(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src, double opacity) {
    modernTemplateB<SoftlightBlend, false>(dst, src, opacity);
}
void composite_HARDLIGHT(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src, double opacity) {
    modernTemplateB<HardlightBlend, false>(dst, src, opacity);
}
void composite_EXCLUSION(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src, double opacity) {
    modernTemplateB<ExclusionBlend, false>(dst, src, opacity);
}

void composite_MULTIPLY(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src, double opacity) {
    requirePixmaps(dst, src);
    if (opacity == 0.0) return;
    blendChannels(dst, src, intersectionRegion(dst, src), Multiply{{}, opacity});
    andAllPositive(dst, src);
}

void composite_DARKEN(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src, double opacity) {
    requirePixmaps(dst, src);
    const Math::Box2di region = growRegion(dst, src);
    if (opacity == 0.0) return;
    blendPixels(dst, src, region, [opacity](CEL_PixelRGBA16& d, const CEL_PixelRGBA16& s) {
        CEL_PixelRGBA16 over = d;
        overOpacityPixel(over, s, opacity);
        d.r = std::min(d.r, over.r);
        d.g = std::min(d.g, over.g);
        d.b = std::min(d.b, over.b);
        d.a = std::min(d.a, over.a);
    });
    andAllPositive(dst, src);
}

void composite_SCREEN(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src, double opacity) {
    requirePixmaps(dst, src);
    blendChannels(dst, src, growRegion(dst, src), Screen{{}, opacity});
}

void composite_INVERT(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src, double opacity) {
    requirePixmaps(dst, src);
    const double o = opacity;
    blendPixels(dst, src, growRegion(dst, src), [o](CEL_PixelRGBA16& d, const CEL_PixelRGBA16& s) {
        if (s.a <= 0) return;
        const double fa = F(s.a), ia = I(s.a);
        auto invert = [o, fa, ia](int16_t& x) {
            const int16_t v = int16_t(truncToInt(32767 - x * o)); // kept as a 16-bit value
            x = channel(v * fa + x * ia);
        };
        invert(d.r);
        invert(d.g);
        invert(d.b);
        invert(d.a);
    });
}

// --- Legacy modes ---

// At opacity 1 the scaled source is the source itself and the sums are exact in
// integers, so those passes run on integer lanes.
void composite_ADD_legacy(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src, double opacity) {
    if (opacity == 1.0)
        legacyChannels<false>(dst, src, [](int dc, int sc) { return int16_t(sat(sc + dc)); });
    else
        legacyChannels<false>(dst, src, [o = opacity](int dc, int sc) { return channel(sc * o + dc); });
}

void composite_SUBTRACT_legacy(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src, double opacity) {
    if (opacity == 1.0)
        legacyChannels<true>(dst, src, [](int dc, int sc) { return int16_t(sat(dc - sc)); });
    else
        legacyChannels<true>(dst, src, [o = opacity](int dc, int sc) { return channel(dc - sc * o); });
}

void composite_DIFFERENCE_legacy(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src, double opacity) {
    if (opacity == 1.0)
        legacyChannels<true>(dst, src, [](int dc, int sc) { return int16_t(sat(std::abs(dc - sc))); });
    else
        legacyChannels<true>(dst, src,
                             [o = opacity](int dc, int sc) { return channel(std::abs(dc - sc * o)); });
}

void composite_LIGHTEN_legacy(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src, double opacity) {
    requirePixmaps(dst, src);
    const double o = opacity;
    blendPixels(dst, src, growRegion(dst, src), [o](CEL_PixelRGBA16& d, const CEL_PixelRGBA16& s) {
        // The unscaled source value is copied when its scaled value is the lighter.
        forColour(d, s, [o](int16_t& dc, int16_t sc) {
            if (sc * o > dc) dc = sc;
        });
        d.a = std::max(d.a, s.a);
    });
}

void composite_SOFTLIGHT_legacy(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src, double opacity) {
    legacyLight<softlight16>(dst, src, opacity);
}
void composite_HARDLIGHT_legacy(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src, double opacity) {
    legacyLight<hardlight16>(dst, src, opacity);
}
void composite_OVERLAY_legacy(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src, double opacity) {
    legacyLight<overlay16>(dst, src, opacity);
}

void composite_DIVIDE_legacy(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src) {
    requirePixmaps(dst, src);
    blendPixels(dst, src, intersectionRegion(dst, src), [](CEL_PixelRGBA16& d, const CEL_PixelRGBA16& s) {
        if (d.a <= 0 || s.a <= 0) return;
        const double sa = s.a, fa = F(s.a), ia = I(s.a);
        forColour(d, s, [sa, fa, ia](int16_t& dc, int16_t sc) {
            if (sc > 0) dc = int16_t(sat(roundHalfUp((sa * fa / sc + ia) * dc)));
        });
    });
}

} // namespace CelAlgo
