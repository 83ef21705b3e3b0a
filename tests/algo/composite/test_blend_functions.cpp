// The blend-function family (operations 44-69): the common modes against an
// independent double-precision implementation of the usual separable blend formulas
// with source-over compositing, then the family's own corners (destination alpha kept
// or not, the k factors, colour-dodge corners, HCL edits).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <random>

#include "test_blend_util.h"

using namespace blendtest;
using namespace CelAlgo;

namespace {

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
    // Opaque white source over black, mid grey and white destination channels.
    EXPECT_EQ(blendOne(FN_COLOR_DODGE, px(0, 16384, 32767, 32767), px(32767, 32767, 32767, 32767)),
              px(0, 32767, 32767, 32767));
    // A black source: dodge leaves the destination, burn gives black except on white.
    EXPECT_EQ(blendOne(FN_COLOR_DODGE, px(0, 16384, 32767, 32767), px(0, 0, 0, 32767)),
              px(0, 16384, 32767, 32767));
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
        // A grey destination has no chroma for saturation to replace.
        const Pixel g = blendOne(saturation, grey, red);
        EXPECT_NEAR(g.r, 16384, 1);
        EXPECT_TRUE(g.r == g.g && g.g == g.b);
        // Luminosity takes the source luma, colour keeps the destination's: red at grey's
        // luma either way, pulled towards white to keep it.
        const Pixel lit = blendOne(luminosity, red, grey);
        EXPECT_NEAR(luma(lit), 16384, 2);
        EXPECT_EQ(lit.r, 32767);
        EXPECT_EQ(lit.g, lit.b);
        EXPECT_EQ(blendOne(colour, grey, red), lit);
        // Half opacity lands between the destination and the full result.
        const Pixel half = blendOne(luminosity, red, grey, 0.5);
        EXPECT_TRUE(half.g > 0 && half.g < lit.g);
    }
}
