// Blend-mode values where each design's rules show, and the blend-function family
// against a double-precision implementation of the separable formulas.

#include <array>
#include <cstring>

#include "algo/composite/BlendDetail.h"
#include "algo/composite/ColorSpace.h"
#include "test_composite_util.h"

using namespace comptest;
using namespace CelAlgo;

namespace {

const int kW = 32767;

struct Case {
    int op;
    Pixel dst, src;
    double opacity;
    Pixel want;
};

void expectCases(std::initializer_list<Case> cases) {
    for (const Case& c : cases)
        EXPECT_EQ(blendOne(c.op, c.dst, c.src, c.opacity), c.want)
            << "op " << c.op << " dst " << c.dst << " src " << c.src << " opacity " << c.opacity;
}

// Separable blend B(cb, cs) of backdrop and source colours in [0, 1].
using Separable = std::function<double(double cb, double cs)>;

double screenOf(double cb, double cs) {
    return cb + cs - cb * cs;
}
double hardLightOf(double cb, double cs) {
    return cs <= 0.5 ? cb * 2.0 * cs : screenOf(cb, 2.0 * cs - 1.0);
}

struct Standard {
    int op;
    const char* name;
    Separable blend;
};

const Standard kStandard[] = {
    {FN_MULTIPLY, "multiply", [](double cb, double cs) { return cb * cs; }},
    {FN_SCREEN, "screen", screenOf},
    {FN_OVERLAY, "overlay", [](double cb, double cs) { return hardLightOf(cs, cb); }},
    {FN_DARKEN, "darken", [](double cb, double cs) { return std::min(cb, cs); }},
    {FN_LIGHTEN, "lighten", [](double cb, double cs) { return std::max(cb, cs); }},
    {FN_COLOR_DODGE, "color-dodge",
     [](double cb, double cs) {
         return cb == 0.0 ? 0.0 : (cs >= 1.0 ? 1.0 : std::min(1.0, cb / (1.0 - cs)));
     }},
    {FN_COLOR_BURN, "color-burn",
     [](double cb, double cs) {
         return cb >= 1.0 ? 1.0 : (cs <= 0.0 ? 0.0 : 1.0 - std::min(1.0, (1.0 - cb) / cs));
     }},
    {FN_HARDLIGHT, "hard-light", hardLightOf},
    {FN_EXCLUSION, "exclusion", [](double cb, double cs) { return cb + cs - 2.0 * cb * cs; }},
};

// Source-over with a separable blend, premultiplied result on the 32767 scale.
Pixel standardOver(const Separable& blend, const Pixel& d, const Pixel& s, double opacity) {
    const double as = s.a / 32767.0 * opacity, ab = d.a / 32767.0;
    auto channel = [&](int dc, int sc) {
        const double cs = double(sc) / s.a;
        const double cb = d.a > 0 ? double(dc) / d.a : 0.0;
        const double co = as * (1.0 - ab) * cs + as * ab * blend(cb, cs) + (1.0 - as) * ab * cb;
        return int(std::lround(co * 32767.0));
    };
    return px(channel(d.r, s.r), channel(d.g, s.g), channel(d.b, s.b),
              int(std::lround((as + ab * (1.0 - as)) * 32767.0)));
}

Pixel premultiplied(std::mt19937& rng, int alpha) {
    std::uniform_int_distribution<int> c(0, alpha);
    return px(c(rng), c(rng), c(rng), alpha);
}

} // namespace

// The 65535-scale conversion skips its division for integral values; it must give what
// the division gives, for every value a channel can hold.
TEST(BlendValues, Scale65535ShortcutMatchesTheExpression) {
    for (int x = -32767; x <= 32767; ++x)
        ASSERT_EQ(detail::to65535(x), std::trunc(x / 32767.0 * 65535.0)) << x;
    EXPECT_EQ(detail::to65535(0.5), std::trunc(0.5 / 32767.0 * 65535.0));
}

TEST(BlendValues, ModernDirectModes) {
    const Pixel d = px(10000, 30000, 0, kW), s = px(5000, 5000, kW, kW);
    expectCases({
        // Opaque pairs: the blend of the straight values.
        {SUBTRACT, d, s, 1.0, px(5000, 25000, 0, kW)},
        {DIFFERENCE, d, s, 1.0, px(5000, 25000, kW, kW)},
        // Opacity scales the source before the blend: 0 + 32767 * 0.5 truncates to 16383.
        {ADD, d, s, 0.5, px(12500, 32500, 16383, kW)},
        // Below full destination alpha the result weight is 1: the premultiplied
        // destination mixes with the saturated sum by the source alpha.
        {ADD, px(8000, 0, 0, 16384), px(16384, 0, 0, 16384), 1.0, px(20383, 0, 0, 16384)},
        // Template B: the blend of the straight values; overlay, hard and soft light on the
        // 65535 scale, halved.
        {DIVIDE, px(16384, 1000, 8192, kW), px(kW, 1, 16383, kW), 1.0, px(16384, kW, 16384, kW)},
        {OVERLAY, px(0, kW, 16384, kW), px(20000, 20000, 16384, kW), 1.0, px(0, kW, 16384, kW)},
        {HARDLIGHT, px(5000, 5000, 16384, kW), px(0, kW, 16384, kW), 1.0, px(0, kW, 16384, kW)},
        {SOFTLIGHT, px(0, kW, 0, kW), px(12345, 12345, kW, kW), 1.0, px(0, kW, 0, kW)},
        {EXCLUSION, px(0, 12345, 16384, kW), px(kW, 0, 16384, kW), 1.0, px(kW, 12345, 16383, kW)},
        // Opacity weighs the mix with the straight destination: 32767 * 0.5.
        {EXCLUSION, px(0, 0, 0, kW), px(kW, 0, 0, kW), 0.5, px(16383, 0, 0, kW)},
        // Multiply by half-transparent black; nothing where the destination is transparent.
        {MULTIPLY, px(kW, 20000, 100, kW), px(0, 0, 0, 16384), 1.0, px(16383, 10000, 50, kW)},
        {MULTIPLY, px(500, 500, 500, 0), px(0, 0, 0, kW), 1.0, px(500, 500, 500, 0)},
        // Darken: the smaller of dst and the over of src at that opacity, alpha included.
        {DARKEN, px(30000, 30000, 0, kW), px(20000, 0, 0, kW), 0.5, px(25000, 15000, 0, kW)},
        // Screen: q and its division are single precision: in doubles the first channel would be 10591.
        {SCREEN, px(10591, 10858, 0, kW), px(0, 679, 0, kW), 1.0, px(10590, 11312, 0, kW)},
        // Opacity scales the source's inverse, so at 0 every covered pixel goes white.
        {SCREEN, px(0, 16384, 500, 1000), px(0, 16384, 20000, kW), 0.0, px(kW, kW, kW, 1000)},
        // Invert all four fields, alpha included: v = trunc(32767 - x * o).
        {INVERT, px(0, kW, 10000, kW), px(0, 0, 0, kW), 0.5, px(kW, 16383, 27767, 16383)},
        // 32767 - (-32767) = 65534 kept as a 16-bit value is -2.
        {INVERT, px(-kW, 0, 0, kW), px(0, 0, 0, kW), 1.0, px(-2, kW, kW, 0)},
        // Where the reading of an open precision step shows. Template A keeps the blend
        // result in double after saturating it: 1140 + 21100 * 0.7 falls just below 15910,
        // and a float would round it up.
        {ADD, px(1140, 0, 0, kW), px(21100, 0, 0, kW), 0.7, px(15909, 0, 0, kW)},
        // DIVIDE's blend is single precision (in double: 23049).
        {DIVIDE, px(21143, 0, 0, kW), px(30056, 0, 0, kW), 1.0, px(23050, 0, 0, kW)},
        // The opacity mix of template B is double (a float mix gives 11289).
        {EXCLUSION, px(7102, 0, 0, kW), px(8212, 0, 0, kW), 0.9, px(11288, 0, 0, kW)},
    });
}

TEST(BlendValues, EffectModes) {
    // Opaque pairs at full opacity give trunc(sat(effect(s, d))) per channel.
    expectCases({
        {BURN, px(10000, 10000, kW, kW), px(kW, 0, 0, kW), 1.0, px(10000, -kW, kW, kW)},
        {DODGE, px(10000, 10000, 0, kW), px(0, kW, kW, kW), 1.0, px(10000, kW, 0, kW)},
        {LINEARLIGHT, px(10000, 10000, 10000, kW), px(16384, 0, kW, kW), 1.0, px(10001, -22767, kW, kW)},
        {PINLIGHT, px(10000, 10000, 10000, kW), px(kW, 0, 16384, kW), 1.0, px(kW, 0, 10000, kW)},
        {VIVIDLIGHT, px(10000, 10000, 10000, kW), px(0, kW, 16384, kW), 1.0, px(0, kW, 10000, kW)},
    });
    // Without destination alpha only the source term remains: trunc(s * opacity).
    const Pixel s = px(12000, 3000, 20000, 24000);
    for (int op : {BURN, DODGE, LINEARLIGHT, PINLIGHT, VIVIDLIGHT, HUE, SATURATION, COLOUR, LUMINOSITY})
        EXPECT_EQ(blendOne(op, px(0, 0, 0, 0), s, 0.5), px(6000, 1500, 10000, 0)) << "op " << op;
}

TEST(BlendValues, LegacyModes) {
    expectCases({
        // Add works on every pixel, additive light included; alpha untouched.
        {ADD_legacy, px(30000, 100, -50, 5), px(5000, 200, 0, 0), 1.0, px(kW, 300, -50, 5)},
        {DIFFERENCE_legacy, px(30000, 100, -50, kW), px(5000, 200, kW, 1), 0.5, px(27500, 0, 16433, kW)},
        // At opacity 1 the sum saturates at both ends.
        {ADD_legacy, px(-30000, 30000, 5, 9), px(-30000, 30000, -5, 0), 1.0, px(-kW, kW, 0, 9)},
        // Lighten copies the unscaled source value where the scaled one is lighter.
        {LIGHTEN_legacy, px(10000, 10000, 10000, 100), px(15000, 18000, 9000, 200), 0.6,
         px(10000, 18000, 10000, 200)},
        // Divide: d * (s_a * F(s_a) / s + I(s_a)); channels with s <= 0 stay.
        {DIVIDE_legacy, px(10000, 10000, 10000, kW), px(16384, kW, 0, kW), 1.0, px(19999, 10000, 10000, kW)},
        // The lights at full source alpha and opacity: the blend itself, alpha raised.
        {OVERLAY_legacy, px(0, kW, 16384, 1000), px(20000, 20000, 16384, kW), 1.0, px(0, kW, 16384, kW)},
        // At half source alpha: 5000 * (1 - w) truncates to 2499.
        {HARDLIGHT_legacy, px(5000, 5000, 16384, kW), px(0, kW, 16384, 16384), 1.0,
         px(2499, 18883, 16384, kW)},
        {SOFTLIGHT_legacy, px(0, kW, 0, 100), px(0, 0, 0, 0), 1.0, px(0, kW, 0, 100)},
    });
}

TEST(BlendFunctions, CommonModesMatchTheStandardFormulas) {
    // Opaque and half-transparent pixels on both sides, full and partial opacity.
    // Tolerance: one step of 32767 per channel (the library rounds straight colours
    // through the fraction table and truncates once more than the reference).
    std::mt19937 rng(21);
    const int alphas[] = {32767, 16384, 24000};
    for (const Standard& m : kStandard) {
        SCOPED_TRACE(m.name);
        for (int n = 0; n < 6000; ++n) {
            const Pixel d = premultiplied(rng, alphas[n % 3]);
            const Pixel s = premultiplied(rng, alphas[(n / 3) % 3]);
            const double o = n % 2 ? 1.0 : 0.7;
            const Pixel got = blendOne(m.op, d, s, o);
            const Pixel want = standardOver(m.blend, d, s, o);
            const int diff = std::max({std::abs(got.r - want.r), std::abs(got.g - want.g),
                                       std::abs(got.b - want.b), std::abs(got.a - want.a)});
            ASSERT_LE(diff, 1) << "dst " << d << " src " << s << " opacity " << o << ": " << got << " vs "
                               << want;
        }
    }
}

TEST(BlendFunctions, DestinationAlphaKeptOrComposited) {
    const Pixel d = px(6000, 3000, 9000, 12000), s = px(8000, 16000, 4000, 20000);
    const Pixel keep = blendOne(FN_SOFTLIGHT_KEEP_DST_ALPHA, d, s, 0.8);
    const Pixel full = blendOne(FN_SOFTLIGHT, d, s, 0.8);
    EXPECT_EQ(keep.a, d.a);
    EXPECT_EQ(full.a, 22140); // Sa * o + Da * (1 - Sa * o), rounded
    // Over transparent black the composited form gives the source scaled by opacity, the
    // kept form nothing: it drops the term of the source where dst is transparent.
    EXPECT_EQ(blendOne(FN_SOFTLIGHT, px(0, 0, 0, 0), s, 0.5), px(4000, 8000, 2000, 10000));
    EXPECT_EQ(blendOne(FN_SOFTLIGHT_KEEP_DST_ALPHA, px(0, 0, 0, 0), s, 0.5), px(0, 0, 0, 0));
}

TEST(BlendFunctions, ColorDodgeAndBurnCorners) {
    // White over black, grey and white; black under burn gives black except on white.
    EXPECT_EQ(blendOne(FN_COLOR_DODGE, px(0, 16384, 32767, 32767), px(32767, 32767, 32767, 32767)),
              px(0, 32767, 32767, 32767));
    EXPECT_EQ(blendOne(FN_COLOR_BURN, px(0, 16384, 32767, 32767), px(0, 0, 0, 32767)),
              px(0, 0, 32767, 32767));
    // The linear modes clip to the unit range.
    EXPECT_EQ(blendOne(FN_LINEAR_BURN, px(30000, 5000, 20000, 32767), px(10000, 2000, 20000, 32767)),
              px(7233, 0, 7233, 32767));
    // Divide: a black source gives white unless the destination is black too.
    EXPECT_EQ(blendOne(FN_DIVIDE, px(0, 100, 32767, 32767), px(0, 0, 0, 32767)), px(0, 32767, 32767, 32767));
}

TEST(BlendFunctions, KFactorsScaleTheSourceOnlyWhereUsed) {
    const Pixel d = px(10000, 10000, 10000, 32767), s = px(30000, 30000, 30000, 32767);
    // Lighten with k: max(k * s, d) per channel.
    EXPECT_EQ(blendOne(FN_LIGHTEN, d, s, 1.0, 0.2, 1.0, 0.5), px(10000, 30000, 15000, 32767));
    // Multiply ignores k; over transparent black the source term carries it.
    EXPECT_EQ(blendOne(FN_MULTIPLY, d, s, 1.0, 0.2, 1.0, 0.5), blendOne(FN_MULTIPLY, d, s));
    EXPECT_EQ(blendOne(FN_HARDLIGHT, px(0, 0, 0, 0), s, 1.0, 0.5, 1.0, 0.0), px(15000, 30000, 0, 32767));
}

// The HCL modes of both designs: the effect modes (32-35) and the blend functions (66-69)
// pick the same hue, chroma and luma; they differ only in rounding.
TEST(BlendFunctions, HclEditsOfBothDesigns) {
    const Pixel red = px(32767, 0, 0, 32767), grey = px(16384, 16384, 16384, 32767);
    auto luma = [](const Pixel& p) { return 0.3 * p.r + 0.59 * p.g + 0.11 * p.b; };
    for (auto [hue, saturation, colour, luminosity] :
         {std::array{HUE, SATURATION, COLOUR, LUMINOSITY},
          std::array{FN_HUE, FN_SATURATION, FN_COLOUR, FN_LUMINOSITY}}) {
        SCOPED_TRACE(hue);
        // A grey source has no chroma: hue, colour and saturation turn the destination
        // grey at its own luma (0.3).
        for (int op : {hue, colour, saturation})
            EXPECT_EQ(blendOne(op, red, grey), px(9830, 9830, 9830, 32767));
        // Luminosity takes the source luma, colour keeps the destination's: red at grey's
        // luma either way, pulled towards white to keep it.
        const Pixel lit = blendOne(luminosity, red, grey);
        EXPECT_NEAR(luma(lit), 16384, 2);
        EXPECT_TRUE(lit.r == 32767 && lit.g == lit.b);
        EXPECT_EQ(blendOne(colour, grey, red), lit);
    }
}

// The compositors rebuild a colour of the source's hue from that hue's base colour, kept
// per source pixel, and skip the destination's hue where the edit replaces it; both
// shortcuts must give the bits of the full round trip through the colour functions.
TEST(BlendFunctions, HclShortcutsGiveTheRoundTripsBits) {
    using namespace detail;
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> unit(-0.1, 1.1), hue(0.0, 360.0);
    auto same = [](double x, double y) { return std::memcmp(&x, &y, sizeof x) == 0; };
    for (int n = 0; n < 20000; ++n) {
        const double h =
            n < 8 ? std::array{0.0, 60.0, 300.0, 359.99999, 360.0, -5.0, 1e300, std::nan("")}[n] : hue(rng);
        const double c = n % 5 == 0 ? 0.0 : std::abs(unit(rng)) * 1.5, l = unit(rng);
        double want[3], got[3];
        rgbFromHcl(h, c, l, want[0], want[1], want[2]);
        rgbFromHueBase(hueBaseOf(h), c, l, got[0], got[1], got[2]);
        for (int i = 0; i < 3; ++i) ASSERT_TRUE(same(got[i], want[i])) << h << " " << c << " " << l;
    }
    auto check = [&](auto edit) {
        using Edit = decltype(edit);
        for (int n = 0; n < 20000; ++n) {
            ColorValues s{{unit(rng), unit(rng), unit(rng)}}, d{{unit(rng), unit(rng), unit(rng)}};
            if (n % 7 == 0) s[1] = s[2] = s[0];  // grey source
            if (n % 11 == 0) d[1] = d[2] = d[0]; // grey destination
            ColorValues want = d, got = d, S = s;
            toHcl(S);
            toHcl(want);
            edit(S, want);
            toRgb(want);
            editInHcl<Edit>(SourceHcl{S, hueBaseOf(S[0])}, got);
            for (int i = 0; i < 3; ++i) ASSERT_TRUE(same(got[i], want[i])) << "edit of " << n;
        }
    };
    check(HclHue{});
    check(HclSaturation{});
    check(HclColour{});
    check(HclLuminosity{});
}
