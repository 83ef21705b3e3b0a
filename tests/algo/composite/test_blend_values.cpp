// Blend-mode values where each design's rules show, the blend-function family against
// a double-precision implementation of the separable formulas, what every mode shares,
// and the colour spaces of the HCL modes.
#include <array>
#include <cstring>

#include "algo/composite/BlendDetail.h"
#include "algo/composite/BlendModes.h"
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

TEST(BlendValues, ModernDirectModesAndThe65535Scale) {
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
    // The 65535-scale conversion skips its division for integral values; it must give what
    // the division gives, for every value a channel can hold.
    for (int x = -32767; x <= 32767; ++x)
        ASSERT_EQ(detail::to65535(x), std::trunc(x / 32767.0 * 65535.0)) << x;
    EXPECT_EQ(detail::to65535(0.5), std::trunc(0.5 / 32767.0 * 65535.0));
}

TEST(BlendValues, EffectAndLegacyModes) {
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

TEST(BlendFunctions, CornersKFactorsAndDestinationAlpha) {
    expectCases({
        // White over black, grey and white; black under burn gives black except on white.
        {FN_COLOR_DODGE, px(0, 16384, kW, kW), px(kW, kW, kW, kW), 1.0, px(0, kW, kW, kW)},
        {FN_COLOR_BURN, px(0, 16384, kW, kW), px(0, 0, 0, kW), 1.0, px(0, 0, kW, kW)},
        // The linear modes clip to the unit range.
        {FN_LINEAR_BURN, px(30000, 5000, 20000, kW), px(10000, 2000, 20000, kW), 1.0, px(7233, 0, 7233, kW)},
        // Divide: a black source gives white unless the destination is black too.
        {FN_DIVIDE, px(0, 100, kW, kW), px(0, 0, 0, kW), 1.0, px(0, kW, kW, kW)},
    });
    const Pixel d = px(10000, 10000, 10000, kW), s = px(30000, 30000, 30000, kW);
    // Lighten with k: max(k * s, d) per channel.
    EXPECT_EQ(blendOne(FN_LIGHTEN, d, s, 1.0, 0.2, 1.0, 0.5), px(10000, 30000, 15000, kW));
    // Multiply ignores k; over transparent black the source term carries it.
    EXPECT_EQ(blendOne(FN_MULTIPLY, d, s, 1.0, 0.2, 1.0, 0.5), blendOne(FN_MULTIPLY, d, s));
    EXPECT_EQ(blendOne(FN_HARDLIGHT, px(0, 0, 0, 0), s, 1.0, 0.5, 1.0, 0.0), px(15000, 30000, 0, kW));
    // The destination alpha kept, or composited.
    const Pixel d2 = px(6000, 3000, 9000, 12000), s2 = px(8000, 16000, 4000, 20000);
    const Pixel keep = blendOne(FN_SOFTLIGHT_KEEP_DST_ALPHA, d2, s2, 0.8);
    const Pixel full = blendOne(FN_SOFTLIGHT, d2, s2, 0.8);
    EXPECT_EQ(keep.a, d2.a);
    EXPECT_EQ(full.a, 22140); // Sa * o + Da * (1 - Sa * o), rounded
    // Over transparent black the composited form gives the source scaled by opacity, the
    // kept form nothing: it drops the term of the source where dst is transparent.
    EXPECT_EQ(blendOne(FN_SOFTLIGHT, px(0, 0, 0, 0), s2, 0.5), px(4000, 8000, 2000, 10000));
    EXPECT_EQ(blendOne(FN_SOFTLIGHT_KEEP_DST_ALPHA, px(0, 0, 0, 0), s2, 0.5), px(0, 0, 0, 0));
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

// What every blend mode shares with its design: opacity 0, skipped pixels, the region
// worked on, and whole images equal to one-pixel calls (walk, offsets, memos).

// Every blend mode: ADD, SUBTRACT and 15 ... 69 without REPLACE_IF_NON_ZERO_ALPHA_SRC
// and the reserved values. Then the exceptions to the common rules.
std::vector<int> blendModes() {
    std::vector<int> ops = {ADD, SUBTRACT};
    for (int op = MULTIPLY; op <= FN_LUMINOSITY; ++op)
        if (op != REPLACE_IF_NON_ZERO_ALPHA_SRC && op != 48 && op != 53 && (op < 58 || op > 62))
            ops.push_back(op);
    return ops;
}
const std::vector<int> kModes = blendModes();
const int kNoZeroOpacityTest[] = {
    SUBTRACT,        DIFFERENCE,        SCREEN,         INVERT,       ADD_legacy,
    SUBTRACT_legacy, DIFFERENCE_legacy, LIGHTEN_legacy, DIVIDE_legacy};
const int kCopyAtZeroOpacity[] = {SOFTLIGHT_legacy, HARDLIGHT_legacy, OVERLAY_legacy};
const int kIntersection[] = {MULTIPLY, DIVIDE, DIVIDE_legacy};
const int kUseTransparentSource[] = {DARKEN, ADD_legacy, LIGHTEN_legacy};

template <std::size_t N> bool in(const int (&set)[N], int op) {
    return std::find(std::begin(set), std::end(set), op) != std::end(set);
}

// Premultiplied pixels; alpha opaque, half, nearly transparent and in between.
PixmapPtr randomPixmap(int canvasW, int canvasH, const Math::Box2di& alloc, std::mt19937& rng) {
    static const int alphas[] = {32767, 32767, 16384, 30000, 1, 200, 9000};
    auto p = makePixmap(canvasW, canvasH, alloc);
    for (long long i = 0; i < p->allocatedArea(); ++i)
        p->data()[i] = premultiplied(rng, alphas[std::uniform_int_distribution<int>(0, 6)(rng)]);
    return p;
}

// Rows 2 ... 7 of the columns 6 ... 29 are rewritten so that the walkers' memos hit and
// must be invalidated, and neighbours pair up: a flat opaque source (coloured, then grey)
// over opaque destinations that change at every pixel, greys and repeats among them;
// repeated pairs; a flat source over a destination whose blue alone changes;
// alternating destinations; colours kept while one alpha changes.
void repeatingRows(Pixmap& dst, Pixmap& src) {
    const Pixel d0 = px(9000, 14000, 3000, 20000), d1 = px(2000, 2000, 2000, 32767);
    const Pixel s0 = px(5000, 1000, 7000, 16000), s1 = px(5000, 1000, 7000, 32767);
    for (int x = 6; x < 30; ++x) {
        const int v = x % 7 == 0 ? 12000 : (x * 1311) % 32768, w = (x * 2713) % 32768, z = x % 9 ? 400 : v;
        const Pixel rotated[3] = {px(v, w, z, 32767), px(z, v, w, 32767), px(w, z, v, 32767)};
        *dst.pixel(x, 2) = x % 5 == 0 ? px(v, v, v, 32767) : rotated[x % 3];
        *src.pixel(x, 2) = x < 18 ? s1 : px(20000, 20000, 20000, 32767);
        *dst.pixel(x, 3) = d0, *src.pixel(x, 3) = s0;
        *dst.pixel(x, 4) = px(9000, 14000, (x * 997) % 20001, 20000), *src.pixel(x, 4) = s0;
        *dst.pixel(x, 5) = x % 2 ? d0 : d1, *src.pixel(x, 5) = x % 3 ? s0 : s1;
        *dst.pixel(x, 6) = d0, *src.pixel(x, 6) = (x / 3) % 2 ? s0 : s1;
        *dst.pixel(x, 7) = (x / 4) % 2 ? d0 : px(9000, 14000, 3000, 24000), *src.pixel(x, 7) = s1;
    }
}

void run(int op, Pixmap* dst, const Pixmap* src, double opacity) {
    composite(dst, src, GenericCompositeOp(op), NONE, opacity, 0.8, 0.6, 1.2);
}

TEST(BlendModes, OpacityZero) {
    std::mt19937 rng(11);
    for (int op : kModes) {
        SCOPED_TRACE(op);
        if (in(kNoZeroOpacityTest, op)) continue;
        // src reaches beyond dst's allocation: a mode that returns at once does not grow dst.
        auto dst = randomPixmap(8, 4, Math::Box2di(0, 0, 4, 4), rng);
        auto src = randomPixmap(8, 4, Math::Box2di(2, 0, 6, 4), rng);
        const PixmapPtr before(dst->clone());
        run(op, dst.get(), src.get(), 0.0);
        // DARKEN grows before it tests the opacity; the legacy lights copy src over the
        // fitted dst and clear the rest.
        const bool copies = in(kCopyAtZeroOpacity, op), grows = copies || op == DARKEN;
        ASSERT_EQ(dst->allocatedRect(), Math::Box2di(0, 0, grows ? 8 : 4, 4));
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < dst->allocatedX2(); ++x) {
                const Pixel want = copies ? (x >= 2 ? *src->pixel(x, y) : px(0, 0, 0, 0))
                                          : (x < 4 ? *before->pixel(x, y) : px(0, 0, 0, 0));
                ASSERT_EQ(*dst->pixel(x, y), want) << x << "," << y;
            }
    }
}

TEST(BlendModes, TransparentSourcePixelsAreSkipped) {
    std::mt19937 rng(12);
    std::uniform_int_distribution<int> c(-32767, 32767);
    for (int op : kModes) {
        if (in(kUseTransparentSource, op)) continue;
        auto dst = randomPixmap(16, 16, Math::Box2di(0, 0, 16, 16), rng);
        auto src = makePixmap(16, 16, Math::Box2di(0, 0, 16, 16));
        for (long long i = 0; i < src->allocatedArea(); ++i) src->data()[i] = px(c(rng), c(rng), c(rng), 0);
        const PixmapPtr before(dst->clone());
        for (double o : {1.0, 0.5}) {
            run(op, dst.get(), src.get(), o);
            ASSERT_TRUE(samePixels(*dst, *before)) << op;
        }
    }
}

// dst allocated over the left part of the canvas, src over a band reaching outside it on
// the right: grow modes extend dst to the canvas part of src, intersection modes keep
// dst's allocation. Each pixel of the worked region is what a one-pixel composite of the
// same pair gives, and every other pixel is untouched. On an image large enough to be
// split over threads, one thread and many agree.
TEST(BlendModes, WholeImageMatchesOnePixelCallsOnAnyThreadCount) {
    std::mt19937 rng(13);
    for (int op : kModes) {
        SCOPED_TRACE(op);
        for (double o : {1.0, 0.6}) {
            auto dst = randomPixmap(40, 12, Math::Box2di(0, 0, 30, 12), rng);
            auto src = randomPixmap(40, 12, Math::Box2di(5, 2, 45, 7), rng);
            repeatingRows(*dst, *src);
            const PixmapPtr before(dst->clone());
            run(op, dst.get(), src.get(), o);
            const Math::Box2di alloc(0, 0, in(kIntersection, op) ? 30 : 40, 12);
            ASSERT_EQ(dst->allocatedRect(), alloc);
            const Math::Box2di worked = alloc.getIntersection(src->allocatedRect());
            for (int y = 0; y < 12; ++y)
                for (int x = 0; x < alloc.x2(); ++x) {
                    const Pixel* old = before->pixel(x, y);
                    Pixel want = old ? *old : px(0, 0, 0, 0);
                    if (worked.isContaining(x, y)) {
                        auto one = rowPixmap({want}), s = rowPixmap({*src->pixel(x, y)});
                        run(op, one.get(), s.get(), o);
                        want = *one->data();
                    }
                    ASSERT_EQ(*dst->pixel(x, y), want) << "at " << x << "," << y << " opacity " << o;
                }
        }
        auto big = randomPixmap(320, 200, Math::Box2di(0, 0, 320, 200), rng);
        auto src = randomPixmap(320, 200, Math::Box2di(0, 0, 320, 200), rng);
        EXPECT_TRUE(threadIndependent(*big, [&](Pixmap* d) { run(op, d, src.get(), 0.7); }));
    }
}

TEST(BlendModes, AllPositiveFlagCombinesBothPixmaps) {
    // MULTIPLY, DARKEN and the effect and HCL compositors combine the two flags; the
    // dispatcher clears it afterwards, so the direct call is what shows it.
    using Fn = void (*)(Pixmap*, const Pixmap*, double);
    for (Fn f : {composite_MULTIPLY, composite_DARKEN, composite_BURN, composite_HUE}) {
        auto dst = rowPixmap({px(100, 100, 100, 32767)}), src = rowPixmap({px(50, 50, 50, 32767)});
        f(dst.get(), src.get(), 1.0);
        EXPECT_TRUE(dst->areAllPositive());
        src->setAllPositive(false);
        f(dst.get(), src.get(), 1.0);
        EXPECT_FALSE(dst->areAllPositive());
    }
}

// The colour spaces the HCL modes and the colour filters work in.

using Triple = std::array<double, 3>;
using Conversion = void (*)(const double&, const double&, const double&, double&, double&, double&);

Triple run(Conversion f, double a, double b, double c) {
    Triple out{-9.0, -9.0, -9.0};
    f(a, b, c, out[0], out[1], out[2]);
    return out;
}

void expectNear(const Triple& got, const Triple& want, double tol) {
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(got[i], want[i], tol) << "component " << i;
}

double luma(const Triple& c) {
    return 0.3 * c[0] + 0.59 * c[1] + 0.11 * c[2];
}

std::vector<CEL_PixelRGBA16> pixelsOf(const CEL_PixmapAreaRGBA16& p) {
    return std::vector<CEL_PixelRGBA16>(p.data(), p.data() + p.allocatedArea());
}

TEST(ColorSpace, PrimariesGreysHueWrapGamutAndRoundTrips) {
    EXPECT_EQ(run(rgbToHcl, 1, 0, 0), (Triple{0, 1, 0.3}));
    EXPECT_EQ(run(rgbToHsv, 0, 1, 1), (Triple{180, 1, 1}));
    // b > g in the red sector wraps to just below a full turn in every space.
    for (Conversion f : {rgbToHsl, rgbToHsv}) EXPECT_NEAR(run(f, 1, 0, 0.5)[0], 330.0, 1e-12);
    // Greys: no hue and no saturation; HSV marks the hue undefined with -1.
    EXPECT_EQ(run(rgbToHsl, 0.25, 0.25, 0.25), (Triple{0, 0, 0.25}));
    EXPECT_EQ(run(rgbToHsv, 0, 0, 0), (Triple{-1, 0, 0}));
    EXPECT_EQ(run(hsvToRgb, -1, 0, 0.7), (Triple{0.7, 0.7, 0.7}));
    // Negative hues read as 0; 360 is sector 6, the same as 0.
    EXPECT_EQ(run(hslToRgb, -40, 1, 0.5), run(hslToRgb, 0, 1, 0.5));
    EXPECT_EQ(run(hsvToRgb, 360, 1, 1), (Triple{1, 0, 0}));
    // Hues no sector covers: HSV leaves the outputs alone, HCL gives grey at l.
    EXPECT_EQ(run(hsvToRgb, 500, 1, 1), (Triple{-9, -9, -9}));
    EXPECT_EQ(run(hclToRgb, std::nan(""), 0.5, 0.4), (Triple{0.4, 0.4, 0.4}));
    // HSI takes a trigonometric hue.
    EXPECT_EQ(run(rgbToHsi, 1, 0, 0), (Triple{0, 1, 1.0 / 3.0}));
    expectNear(run(hsiToRgb, 240, 1, 1.0 / 3.0), {0, 0, 1}, 1e-9);
    // Hexcone one way, trigonometric the other: a yellow-orange does not come back.
    const Triple hsi = run(rgbToHsi, 1, 0.3, 0);
    EXPECT_GT(std::abs(run(hsiToRgb, hsi[0], hsi[1], hsi[2])[1] - 0.3), 1e-3);
    // HCL pulls colours out of gamut in: too bright for full chroma towards white, too
    // dark towards black, luma kept.
    EXPECT_EQ(run(hclToRgb, 0, 1, 0.3), (Triple{1, 0, 0}));
    const Triple bright = run(hclToRgb, 0, 1, 0.9);
    expectNear(bright, {1, 6.0 / 7.0, 6.0 / 7.0}, 1e-15);
    EXPECT_NEAR(luma(bright), 0.9, 1e-15);
    const Triple dark = run(hclToRgb, 120, 1, 0.1);
    EXPECT_NEAR(luma(dark), 0.1, 1e-15);
    EXPECT_EQ(dark[0] + dark[2], 0.0);
    // Round trips on random colours.
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int n = 0; n < 20000 && !HasFailure(); ++n) {
        const Triple c{unit(rng), unit(rng), unit(rng)};
        using Pair = std::pair<Conversion, Conversion>;
        for (auto [to, back] :
             {Pair{rgbToHsl, hslToRgb}, Pair{rgbToHsv, hsvToRgb}, Pair{rgbToHcl, hclToRgb}}) {
            const Triple a = run(to, c[0], c[1], c[2]);
            expectNear(run(back, a[0], a[1], a[2]), c, 1e-12);
        }
        // Inputs may be the outputs.
        Triple x = c;
        rgbToHcl(x[0], x[1], x[2], x[0], x[1], x[2]);
        hclToRgb(x[0], x[1], x[2], x[0], x[1], x[2]);
        expectNear(x, c, 1e-12);
    }
}

TEST(ColorSpacePixmap, FadesAndColourMaps) {
    // Fades keep 1 - amount (clamped to [0, 1]) of alpha, or of all four fields, rounded half up.
    auto p = comptest::rowPixmap({px(100, 200, 300, 32767), px(-300, 7, 0, -101)});
    fadeAlpha(p.get(), 0.5);
    EXPECT_EQ(pixelsOf(*p), (std::vector{px(100, 200, 300, 16384), px(-300, 7, 0, -50)}));
    fadeAlpha(p.get(), -3.0); // keeps alpha, but the rounding moves a negative one a step up
    EXPECT_EQ(pixelsOf(*p)[1].a, -49);
    fadeColor(p.get(), 25.0);
    EXPECT_EQ(pixelsOf(*p), (std::vector{px(75, 150, 225, 12288), px(-224, 5, 0, -36)}));
    // The colour maps paint alpha times the factors, truncated and saturated.
    auto q = comptest::rowPixmap({px(9, 9, 9, 32767), px(9, 9, 9, -1000)});
    mapRGB(q.get(), 3.0, -3.0, 0.25);
    EXPECT_EQ(pixelsOf(*q), (std::vector{px(32767, -32767, 8191, 32767), px(-3000, 3000, -250, -1000)}));
    mapRGBA(q.get(), 1.0, 0.5, 0.0, 0.5); // (alpha * r) * a, alpha * a
    EXPECT_EQ(pixelsOf(*q), (std::vector{px(16383, 8191, 0, 16383), px(-500, -250, 0, -500)}));
    CEL_PixmapAreaRGBA16 empty(4, 4); // no pixels: nothing to do
    fadeColor(&empty, 50);
    fadeAlpha(nullptr, 0.5);
}

} // namespace
