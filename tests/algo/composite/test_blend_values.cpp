// Values of the modern direct, effect, HCL and legacy modes at points where each
// design's rules show: opaque pixels (the blend alone), partial opacity (the mix),
// transparent or half-transparent destinations, and the legacy alpha handling.
#include <gtest/gtest.h>

#include <cmath>

#include "algo/composite/BlendDetail.h"
#include "test_blend_util.h"

using namespace blendtest;
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
        {ADD, d, s, 1.0, px(15000, kW, kW, kW)},
        {SUBTRACT, d, s, 1.0, px(5000, 25000, 0, kW)},
        {LIGHTEN, d, s, 1.0, px(10000, 30000, kW, kW)},
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
        // Multiply by an opaque source, by half-transparent black, and by white at any opacity.
        {MULTIPLY, px(kW, 20000, 100, kW), px(16384, kW, 0, kW), 1.0, px(16384, 20000, 0, kW)},
        {MULTIPLY, px(kW, 20000, 100, kW), px(0, 0, 0, 16384), 1.0, px(16383, 10000, 50, kW)},
        {MULTIPLY, px(kW, 20000, 100, kW), px(kW, kW, kW, kW), 0.5, px(kW, 20000, 100, kW)},
        // Nothing where the destination is transparent.
        {MULTIPLY, px(500, 500, 500, 0), px(0, 0, 0, kW), 1.0, px(500, 500, 500, 0)},

        // Darken: the smaller of dst and the over of src at that opacity, alpha included.
        {DARKEN, px(100, 20000, 5000, kW), px(300, 10000, 5000, kW), 1.0, px(100, 10000, 5000, kW)},
        {DARKEN, px(30000, 30000, 0, kW), px(20000, 0, 0, kW), 0.5, px(25000, 15000, 0, kW)},

        // Screen on premultiplied values; alpha untouched.
        {SCREEN, px(0, 16384, kW, 1000), px(0, 16384, 20000, kW), 1.0, px(0, 24575, kW, 1000)},
        // q and its division are single precision: in doubles the first channel would be 10591.
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
    for (int op : {BURN, DODGE, LINEARLIGHT, PINLIGHT, VIVIDLIGHT, HUE, SATURATION, COLOUR, LUMINOSITY}) {
        EXPECT_EQ(blendOne(op, px(0, 0, 0, 0), s, 0.5), px(6000, 1500, 10000, 0)) << "op " << op;
        EXPECT_EQ(blendOne(op, px(0, 0, 0, 0), s, 1.0), px(12000, 3000, 20000, 0)) << "op " << op;
    }
}

TEST(BlendValues, LegacyModes) {
    expectCases({
        // Add works on every pixel, additive light included; alpha untouched.
        {ADD_legacy, px(30000, 100, -50, 5), px(5000, 200, 0, 0), 1.0, px(kW, 300, -50, 5)},
        {SUBTRACT_legacy, px(30000, 100, -50, kW), px(5000, 200, kW, 1), 0.5, px(27500, 0, -16433, kW)},
        {DIFFERENCE_legacy, px(30000, 100, -50, kW), px(5000, 200, kW, 1), 0.5, px(27500, 0, 16433, kW)},
        // At opacity 1 the sums saturate at both ends.
        {ADD_legacy, px(-30000, 30000, 5, 9), px(-30000, 30000, -5, 0), 1.0, px(-kW, kW, 0, 9)},
        {SUBTRACT_legacy, px(30000, -30000, 5, kW), px(-30000, 30000, 5, 1), 1.0, px(kW, -kW, 0, kW)},
        {DIFFERENCE_legacy, px(-30000, 100, 5, kW), px(30000, 300, 5, 1), 1.0, px(kW, 200, 0, kW)},
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
