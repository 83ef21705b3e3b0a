// The blend-function family (composite operations 44-69): one compositor with full
// Porter-Duff handling of destination alpha, parameterised by a small function object
// that rewrites the destination colour from the source colour (both straight, as
// fractions). Channel functions g(a, b) take the source value a and the destination
// value b; their result is clipped to [0, 1].
//
// The compositor is instantiated per function object rather than called through a
// type-erased callable: the per-pixel and per-channel calls then inline, and the
// arithmetic, and so every result, is the same.
#include <algorithm>
#include <cmath>

#include "algo/composite/BlendDetail.h"
#include "algo/composite/BlendModes.h"
#include "algo/composite/HclLanesDetail.h"
#include "base/QXMaths.h"

namespace CelAlgo::detail {

namespace {

// mul and scr keep a value outside [0, 1] from turning a product or screen around.
inline double mul(double x, double y) {
    return x < 0.0 && y < 0.0 ? x : x * y;
}
inline double scr(double x, double y) {
    return x >= 0.0 && x <= 1.0 && y >= 0.0 && y <= 1.0 ? x + y - x * y : std::max(x, y);
}
inline double hard(double a, double b) {
    return a <= 0.5 ? mul(2.0 * a, b) : scr(2.0 * a - 1.0, b);
}
inline double soft(double a, double b) {
    if (b <= 0.0) return mul(a, b);
    if (b >= 1.0) return scr(a, b);
    return (1.0 - b) * a * b + b * scr(a, b);
}

struct FnDarken {
    double operator()(double a, double b) const { return std::min(a, b); }
};
struct FnMultiply {
    double operator()(double a, double b) const { return mul(a, b); }
};
struct FnColorBurn {
    double operator()(double a, double b) const {
        if (a == 0.0 && b == 1.0) return 1.0;
        if (a <= 0.0) return 0.0;
        return 1.0 - (1.0 - b) / a;
    }
};
struct FnLinearBurn {
    double operator()(double a, double b) const { return a + b - 1.0; }
};
struct FnLighten {
    double operator()(double a, double b) const { return std::max(a, b); }
};
struct FnScreen {
    double operator()(double a, double b) const { return scr(a, b); }
};
struct FnColorDodge {
    double operator()(double a, double b) const {
        if (a == 1.0 && b == 0.0) return 0.0;
        if (a >= 1.0) return 1.0;
        return b / (1.0 - a);
    }
};
struct FnLinearDodge {
    double operator()(double a, double b) const { return a + b; }
};
struct FnOverlay {
    double operator()(double a, double b) const { return hard(b, a); }
};
struct FnSoftlight {
    double operator()(double a, double b) const { return soft(a, b); }
};
struct FnHardlight {
    double operator()(double a, double b) const { return hard(a, b); }
};
struct FnExclusion {
    double operator()(double a, double b) const { return a + b - 2.0 * a * b; }
};
struct FnSubtract {
    double operator()(double a, double b) const { return b - a; }
};
struct FnDivide {
    double operator()(double a, double b) const {
        if (a <= 0.0 && b <= 0.0) return 0.0;
        if (a <= 0.0) return 1.0;
        return b / a;
    }
};

// Steps per pixel with source alpha (s_a >= 1):
//   D* = Da when applyDstAlpha, else 1; S_i = F(s_i) / Sa * k_i; D_i = F(d_i) / D* (D* > 0);
//   in HCL both colours are converted, f edits D, D is converted back: R;
//   w = Sa * o, e = (1 - Da) * o when applyDstAlpha, else 0;
//   d_i = trunc(clamp(R_i * 32767 * w * D* + d_i * (1 - w) + s_i * e * k_i) + 0.5);
//   with applyDstAlpha, d_a = trunc(clamp(((1 - w) * Da + w) * 32767 + 0.5)).
template <bool ApplyDstAlpha> struct BlendFunctionAlphas {
    double o;
    struct Alphas {
        bool skip;
        double Sa, Da, Dstar, w, e;
    };
    Alphas alphas(int16_t da, int16_t sa) const {
        const double Sa = F(sa), Da = F(da);
        const double w = Sa * o;
        return {sa < 1, Sa, Da, ApplyDstAlpha ? Da : 1.0, w, ApplyDstAlpha ? (1.0 - Da) * o : 0.0};
    }
    static int16_t store(const Alphas& A, double R, int16_t dc, int16_t sc, double k) {
        const double v = R * 32767.0 * A.w * A.Dstar + dc * (1.0 - A.w) + sc * A.e * k;
        return channel(sat(v) + 0.5);
    }
    int16_t alpha(const Alphas& A, int16_t da, int16_t) const {
        if constexpr (ApplyDstAlpha) return channel(((1.0 - A.w) * A.Da + A.w) * 32767.0 + 0.5);
        return da;
    }
};

// A channel function g(S_i, D_i), clipped to [0, 1], on each channel on its own.
template <bool ApplyDstAlpha, class G> struct ChannelwiseDesign : BlendFunctionAlphas<ApplyDstAlpha> {
    using Base = BlendFunctionAlphas<ApplyDstAlpha>;
    using typename Base::Alphas;
    const double (&k)[3];
    ChannelwiseDesign(double o, const double (&kFactors)[3]) : Base{o}, k(kFactors) {}
    int16_t colour(const Alphas& A, int16_t dc, int16_t sc, int i) const {
        const double S = quotient(F(sc), A.Sa) * k[i];
        double D = F(dc);
        if (A.Dstar > 0.0) D = quotient(D, A.Dstar);
        const double R = QXMaths::clipToRange(G{}(S, D), 0.0, 1.0);
        return Base::store(A, R, dc, sc, k[i]);
    }
};

// How the HCL pass reads and stores colour channels in its shortcut.
struct FunctionHclChannels {
    static bool skips(int16_t sa) { return sa < 1; }
    static double fraction(int16_t v) { return F(v); }
    static IntLanes store(Lanes v) { return channelLanes(satLanes(v * splat(32767.0)) + splat(0.5)); }
};

// The HCL edits need the whole colour, so they walk pixels rather than channels; the
// source's conversion is kept while the source repeats.
template <class Edit> void hclPass(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src, double o) {
    const BlendFunctionAlphas<true> design{o};
    blendPixelsWith<SourceMemo<SourceHcl>>(
        dst, src, growRegion(dst, src),
        [&](CEL_PixelRGBA16& d, const CEL_PixelRGBA16& s, SourceMemo<SourceHcl>& source, int) {
            if (s.a < 1) return; // the alphas' skip
            const SourceHcl& S = source.get(s, straightSourceHcl);
            ColorValues D{{F(d.r), F(d.g), F(d.b)}};
            if (F(s.a) * o == 1.0 && F(d.a) == 1.0) { // the alphas' weight and destination factor
                // Full weight over an opaque destination: the destination and source terms
                // of the store are exact zeros (finite values times 0), so the result is
                // the edited colour alone, and the alpha stays 32767.
                editInHcl<Edit>(S, D);
                d.r = channel(sat(D[0] * 32767.0) + 0.5);
                d.g = channel(sat(D[1] * 32767.0) + 0.5);
                d.b = channel(sat(D[2] * 32767.0) + 0.5);
                return;
            }
            const auto A = design.alphas(d.a, s.a);
            if (A.Dstar > 0.0)
                for (int i = 0; i < 3; ++i) D[i] = quotient(D[i], A.Dstar);
            editInHcl<Edit>(S, D);
            int i = 0;
            forColour(d, s, [&](int16_t& dc, int16_t sc) {
                dc = design.store(A, D[i], dc, sc, 1.0);
                ++i;
            });
            d.a = design.alpha(A, d.a, s.a);
        },
        HclPairs<Edit, FunctionHclChannels>{o});
}

template <class G>
void channelwise(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src, double o,
                 bool applyDstAlpha = true, double k0 = 1.0, double k1 = 1.0, double k2 = 1.0) {
    requirePixmaps(dst, src);
    if (o == 0.0) return;
    const double k[3] = {k0, k1, k2};
    if (applyDstAlpha)
        blendChannels(dst, src, growRegion(dst, src), ChannelwiseDesign<true, G>(o, k));
    else
        blendChannels(dst, src, growRegion(dst, src), ChannelwiseDesign<false, G>(o, k));
}

template <class Edit> void hclEdit(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src, double o) {
    requirePixmaps(dst, src);
    if (o == 0.0) return;
    hclPass<Edit>(dst, src, o);
}

} // namespace
void compositeBlendFunctionOp(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src, int op,
                              double opacity, double k0, double k1, double k2) {
    // The k factors reach only the modes that use them.
    switch (op) {
    case FN_DARKEN:
        return channelwise<FnDarken>(dst, src, opacity);
    case FN_MULTIPLY:
        return channelwise<FnMultiply>(dst, src, opacity);
    case FN_COLOR_BURN:
        return channelwise<FnColorBurn>(dst, src, opacity);
    case FN_LINEAR_BURN:
        return channelwise<FnLinearBurn>(dst, src, opacity);
    case FN_LIGHTEN:
        return channelwise<FnLighten>(dst, src, opacity, true, k0, k1, k2);
    case FN_SCREEN:
        return channelwise<FnScreen>(dst, src, opacity);
    case FN_COLOR_DODGE:
        return channelwise<FnColorDodge>(dst, src, opacity);
    case FN_LINEAR_DODGE:
        return channelwise<FnLinearDodge>(dst, src, opacity);
    case FN_OVERLAY:
        return channelwise<FnOverlay>(dst, src, opacity, true, k0, k1, k2);
    case FN_SOFTLIGHT_KEEP_DST_ALPHA:
        return channelwise<FnSoftlight>(dst, src, opacity, false, k0, k1, k2);
    case FN_SOFTLIGHT:
        return channelwise<FnSoftlight>(dst, src, opacity, true, k0, k1, k2);
    case FN_HARDLIGHT:
        return channelwise<FnHardlight>(dst, src, opacity, true, k0, k1, k2);
    case FN_EXCLUSION:
        return channelwise<FnExclusion>(dst, src, opacity);
    case FN_SUBTRACT:
        return channelwise<FnSubtract>(dst, src, opacity);
    case FN_DIVIDE:
        return channelwise<FnDivide>(dst, src, opacity);
    case FN_HUE:
        return hclEdit<HclHue>(dst, src, opacity);
    case FN_SATURATION:
        return hclEdit<HclSaturation>(dst, src, opacity);
    case FN_COLOUR:
        return hclEdit<HclColour>(dst, src, opacity);
    case FN_LUMINOSITY:
        return hclEdit<HclLuminosity>(dst, src, opacity);
    default:
        return;
    }
}

} // namespace CelAlgo::detail
