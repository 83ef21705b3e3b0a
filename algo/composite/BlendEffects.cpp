// Effect modes (burn, dodge, linear, pin and vivid light) and HCL modes (hue,
// saturation, colour, luminosity): a polymorphic effect object per call, fed to one
// effect compositor or one HCL compositor.
//
// The effect classes keep their one virtual operation so that an effect can be handed
// around by its base; the compositors are instantiated per final class, which lets the
// compiler resolve the per-channel call statically.
#include <algorithm>
#include <cmath>

#include "algo/composite/BlendDetail.h"
#include "algo/composite/BlendModes.h"
#include "algo/composite/HclLanesDetail.h"

namespace CelAlgo {

using namespace detail;

namespace {

// --- Channel effects: source and destination on the 0 ... 32767 scale ---

class base_effect {
public:
    virtual float apply(float source, float destination) const = 0;

protected:
    ~base_effect() = default;
};

class burn_effect final : public base_effect {
public:
    float apply(float s, float d) const override { return 32767.0f - (32767.0f - d) * 32768.0f / (s + 1.0f); }
};

// The division runs in double, both of its operands formed in double.
class dodge_effect final : public base_effect {
public:
    float apply(float s, float d) const override {
        const float c = std::clamp(32767.0f - s, 0.0f, 32767.0f);
        return float(double(d) * 32768.0 / (double(c) + 1.0));
    }
};

class linearlight_effect final : public base_effect {
public:
    float apply(float s, float d) const override { return float(2.0 * s + double(d) - 32767.0); }
};

class pinlight_effect final : public base_effect {
public:
    float apply(float s, float d) const override {
        return 2.0f * s > 32767.0f ? std::max(2.0f * s - 32767.0f, d) : std::min(2.0f * s, d);
    }
};

class vividlight_effect final : public base_effect {
public:
    float apply(float s, float d) const override {
        if (s <= 0.0f) return s;
        if (2.0f * s < 32767.0f) return 32767.0f - (32767.0f - d) * 32768.0f / (2.0f * s + 1.0f);
        if (s < 32767.0f) return d * 32768.0f / (2.0f * (32767.0f - s) + 1.0f);
        return s;
    }
};

// Straight destination value: d / Da when the destination has alpha, else d itself.
inline double straight(int d, double Da) {
    return Da > 0.0 ? quotient(d, Da) : double(d);
}

template <class Effect> struct EffectDesign : KeepDstAlpha {
    double o;
    const Effect& effect;
    struct Alphas {
        bool skip;
        double Sa, Da, w;
    };
    Alphas alphas(int16_t da, int16_t sa) const {
        const double Sa = F(sa);
        return {sa == 0, Sa, F(da), Sa * o};
    }
    int16_t colour(const Alphas& A, int16_t dc, int16_t sc, int) const {
        const float Dv = float(straight(dc, A.Da));
        const float Sv = float(quotient(sc, A.Sa));
        const float r = sat(effect.apply(Sv, Dv));
        return channel(Dv * A.Da * (1.0 - A.w) + r * A.w * A.Da + sc * (1.0 - A.Da) * o);
    }
};

template <class Effect>
void compositeEffect(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src, double o,
                     const Effect& effect) {
    requirePixmaps(dst, src);
    if (o == 0.0) return;
    blendChannels(dst, src, growRegion(dst, src), EffectDesign<Effect>{{}, o, effect});
    andAllPositive(dst, src);
}

// --- HCL effects: whole colours as fractions ---

// apply takes both colours as fractions. applyHcl takes the source already in
// hue-chroma-luma: the compositor converts a flat source colour over a changing backdrop
// only once.
class base_hcl_effect {
public:
    virtual void apply(double s0, double s1, double s2, double& d0, double& d1, double& d2) const = 0;
    virtual void applyHcl(const SourceHcl& source, double& d0, double& d1, double& d2) const = 0;

protected:
    ~base_hcl_effect() = default;
};

// The destination to HCL, Edit from the source, back to RGB.
template <class EditType> class hcl_effect : public base_hcl_effect {
public:
    using Edit = EditType;
    void apply(double s0, double s1, double s2, double& d0, double& d1, double& d2) const final {
        ColorValues S{{s0, s1, s2}};
        toHcl(S);
        applyHcl({S, hueBaseOf(S[0])}, d0, d1, d2);
    }
    void applyHcl(const SourceHcl& S, double& d0, double& d1, double& d2) const final {
        ColorValues D{{d0, d1, d2}};
        editInHcl<Edit>(S, D);
        d0 = D[0], d1 = D[1], d2 = D[2];
    }

protected:
    ~hcl_effect() = default;
};

class hue_effect final : public hcl_effect<HclHue> {};
class saturation_effect final : public hcl_effect<HclSaturation> {};
class colour_effect final : public hcl_effect<HclColour> {};
class luminosity_effect final : public hcl_effect<HclLuminosity> {};

// How the HCL effect compositor reads and stores colour channels in its shortcut.
struct EffectHclChannels {
    static bool skips(int16_t sa) { return sa == 0; }
    static double fraction(int16_t v) { return fractionOf(v); }
    static IntLanes store(Lanes v) { return channelLanes(v * splat(32767.0)); }
};

template <class Effect>
void compositeHcl(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src, double o,
                  const Effect& effect) {
    requirePixmaps(dst, src);
    if (o == 0.0) return;
    blendPixelsWith<SourceMemo<SourceHcl>>(
        dst, src, growRegion(dst, src),
        [o, &effect](CEL_PixelRGBA16& d, const CEL_PixelRGBA16& s, SourceMemo<SourceHcl>& source, int) {
            if (s.a == 0) return;
            const double Sa = F(s.a), Da = F(d.a);
            const double w = Sa * o;
            const SourceHcl& S = source.get(s, straightSourceHcl);
            // hclToRgb clamps D to [0, 1]; the stores only guard the 16-bit range.
            if (w == 1.0 && Da == 1.0) {
                // An opaque destination under the full weight: its straight colour is the
                // channels themselves, and the mix terms are exact zeros (finite values
                // times 0), so only the blended colour is left; the sum gives the same bits.
                double D[3] = {fractionOf(d.r), fractionOf(d.g), fractionOf(d.b)};
                effect.applyHcl(S, D[0], D[1], D[2]);
                d.r = channel(D[0] * 32767.0), d.g = channel(D[1] * 32767.0), d.b = channel(D[2] * 32767.0);
                return;
            }
            const double dv[3] = {straight(d.r, Da), straight(d.g, Da), straight(d.b, Da)};
            // Over an opaque destination dv holds the channels themselves.
            double D[3];
            if (Da == 1.0)
                D[0] = fractionOf(d.r), D[1] = fractionOf(d.g), D[2] = fractionOf(d.b);
            else
                D[0] = fractionOf(dv[0]), D[1] = fractionOf(dv[1]), D[2] = fractionOf(dv[2]);
            effect.applyHcl(S, D[0], D[1], D[2]);
            int i = 0;
            forColour(d, s, [&](int16_t& dc, int16_t sc) {
                dc = channel(D[i] * 32767.0 * w * Da + dv[i] * Da * (1.0 - w) + sc * (1.0 - Da) * o);
                ++i;
            });
        },
        HclPairs<typename Effect::Edit, EffectHclChannels>{o});
    andAllPositive(dst, src);
}

} // namespace

void composite_BURN(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src, double opacity) {
    compositeEffect(dst, src, opacity, burn_effect{});
}
void composite_DODGE(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src, double opacity) {
    compositeEffect(dst, src, opacity, dodge_effect{});
}
void composite_LINEARLIGHT(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src, double opacity) {
    compositeEffect(dst, src, opacity, linearlight_effect{});
}
void composite_PINLIGHT(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src, double opacity) {
    compositeEffect(dst, src, opacity, pinlight_effect{});
}
void composite_VIVIDLIGHT(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src, double opacity) {
    compositeEffect(dst, src, opacity, vividlight_effect{});
}

void composite_HUE(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src, double opacity) {
    compositeHcl(dst, src, opacity, hue_effect{});
}
void composite_SATURATION(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src, double opacity) {
    compositeHcl(dst, src, opacity, saturation_effect{});
}
void composite_COLOUR(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src, double opacity) {
    compositeHcl(dst, src, opacity, colour_effect{});
}
void composite_LUMINOSITY(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src, double opacity) {
    compositeHcl(dst, src, opacity, luminosity_effect{});
}

} // namespace CelAlgo
