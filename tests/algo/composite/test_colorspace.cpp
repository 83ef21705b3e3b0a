#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "algo/composite/ColorSpace.h"
#include "pixel/PixmapArea.h"

using namespace CelAlgo;

namespace {

using Triple = std::array<double, 3>;
using Conversion = void (*)(const double&, const double&, const double&, double&, double&, double&);

Triple run(Conversion f, double a, double b, double c) {
    Triple out{-9.0, -9.0, -9.0};
    f(a, b, c, out[0], out[1], out[2]);
    return out;
}

void expectNear(const Triple& got, const Triple& want, double tol, const char* what) {
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(got[i], want[i], tol) << what << " component " << i;
}

double luma(const Triple& c) {
    return 0.3 * c[0] + 0.59 * c[1] + 0.11 * c[2];
}

} // namespace

TEST(ColorSpace, PrimariesAndGreys) {
    // Red, green, blue and their mixes land on the sextant boundaries in every space.
    EXPECT_EQ(run(rgbToHsl, 1, 0, 0), (Triple{0, 1, 0.5}));
    EXPECT_EQ(run(rgbToHsl, 0, 1, 0), (Triple{120, 1, 0.5}));
    EXPECT_EQ(run(rgbToHsl, 0, 0, 1), (Triple{240, 1, 0.5}));
    EXPECT_EQ(run(rgbToHsl, 1, 0, 1), (Triple{300, 1, 0.5}));
    EXPECT_EQ(run(rgbToHcl, 1, 0, 0), (Triple{0, 1, 0.3}));
    EXPECT_EQ(run(rgbToHcl, 0, 0, 1), (Triple{240, 1, 0.11}));
    EXPECT_EQ(run(rgbToHsv, 0, 1, 1), (Triple{180, 1, 1}));
    EXPECT_EQ(run(rgbToHsi, 1, 0, 0), (Triple{0, 1, 1.0 / 3.0}));

    // Greys: no hue, no saturation; HSV marks the hue undefined.
    EXPECT_EQ(run(rgbToHsl, 0.25, 0.25, 0.25), (Triple{0, 0, 0.25}));
    EXPECT_EQ(run(rgbToHsi, 0.6, 0.6, 0.6), (Triple{0, 0, 0.6}));
    EXPECT_EQ(run(rgbToHcl, 0.4, 0.4, 0.4)[1], 0.0);
    EXPECT_EQ(run(rgbToHsv, 0, 0, 0), (Triple{-1, 0, 0}));
    EXPECT_EQ(run(rgbToHsv, 0.5, 0.5, 0.5), (Triple{-1, 0, 0.5}));
    EXPECT_EQ(run(hsvToRgb, -1, 0, 0.7), (Triple{0.7, 0.7, 0.7}));
    // Hue 0 with no saturation goes through sector 0 and still gives grey.
    EXPECT_EQ(run(hsvToRgb, 0, 0, 0.7), (Triple{0.7, 0.7, 0.7}));
    EXPECT_EQ(run(hslToRgb, 123, 0, 0.3), (Triple{0.3, 0.3, 0.3}));
    EXPECT_EQ(run(hsiToRgb, 50, 0, 0.2), (Triple{0.2, 0.2, 0.2}));
    EXPECT_EQ(run(hclToRgb, 200, 0, 0.8), (Triple{0.8, 0.8, 0.8}));
}

TEST(ColorSpace, HueWrapsIntoRange) {
    // Magenta-red: b > g in the red sector wraps to just below 360.
    const Triple hsl = run(rgbToHsl, 1, 0, 0.5);
    EXPECT_NEAR(hsl[0], 330.0, 1e-12);
    EXPECT_NEAR(run(rgbToHsv, 1, 0, 0.5)[0], 330.0, 1e-12);
    EXPECT_NEAR(run(rgbToHcl, 1, 0, 0.5)[0], 330.0, 1e-12);
    // Negative hues read as 0 on the way back; 360 is sector 6, the same as 0.
    EXPECT_EQ(run(hslToRgb, -40, 1, 0.5), run(hslToRgb, 0, 1, 0.5));
    EXPECT_EQ(run(hsvToRgb, 360, 1, 1), (Triple{1, 0, 0}));
    expectNear(run(hclToRgb, 360, 1, 0.3), {1, 0, 0}, 1e-15, "hcl 360");
}

TEST(ColorSpace, HsiUsesTrigonometricHue) {
    expectNear(run(hsiToRgb, 0, 1, 1.0 / 3.0), {1, 0, 0}, 1e-9, "red");
    expectNear(run(hsiToRgb, 120, 1, 1.0 / 3.0), {0, 1, 0}, 1e-9, "green");
    expectNear(run(hsiToRgb, 240, 1, 1.0 / 3.0), {0, 0, 1}, 1e-9, "blue");
    // Channels always sum to 3 * intensity.
    const Triple c = run(hsiToRgb, 75, 0.4, 0.5);
    EXPECT_NEAR(c[0] + c[1] + c[2], 1.5, 1e-12);
    // A negative hue reads as 0.
    EXPECT_EQ(run(hsiToRgb, -10, 0.5, 0.4), run(hsiToRgb, 0, 0.5, 0.4));
    // Hexcone one way, trigonometric the other: a yellow-orange does not come back.
    const Triple hsi = run(rgbToHsi, 1, 0.3, 0);
    const Triple back = run(hsiToRgb, hsi[0], hsi[1], hsi[2]);
    EXPECT_GT(std::abs(back[1] - 0.3), 1e-3);
}

TEST(ColorSpace, HclPullsOutOfGamutColoursIn) {
    expectNear(run(hclToRgb, 0, 1, 0.3), {1, 0, 0}, 0, "pure red");
    // Too bright for full chroma: pulled towards white, luminance kept.
    const Triple bright = run(hclToRgb, 0, 1, 0.9);
    expectNear(bright, {1, 6.0 / 7.0, 6.0 / 7.0}, 1e-15, "bright red");
    EXPECT_NEAR(luma(bright), 0.9, 1e-15);
    // Too dark: pulled towards black, luminance kept, hue kept.
    const Triple dark = run(hclToRgb, 120, 1, 0.1);
    EXPECT_NEAR(luma(dark), 0.1, 1e-15);
    EXPECT_EQ(dark[0], 0.0);
    EXPECT_EQ(dark[2], 0.0);
    // Out-of-range luminance is clamped channel by channel.
    EXPECT_EQ(run(hclToRgb, 60, 0, 1.5), (Triple{1.5, 1.5, 1.5})); // grey path is not clamped
    const Triple over = run(hclToRgb, 60, 0.5, 1.5);
    for (double v : over) EXPECT_TRUE(v >= 0.0 && v <= 1.0);
}

TEST(ColorSpace, RoundTripsOnRandomColours) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int n = 0; n < 20000; ++n) {
        const Triple c{unit(rng), unit(rng), unit(rng)};
        Triple a = run(rgbToHsl, c[0], c[1], c[2]);
        EXPECT_GE(a[0], 0.0);
        EXPECT_LT(a[0], 360.0);
        expectNear(run(hslToRgb, a[0], a[1], a[2]), c, 1e-12, "hsl");
        a = run(rgbToHsv, c[0], c[1], c[2]);
        expectNear(run(hsvToRgb, a[0], a[1], a[2]), c, 1e-12, "hsv");
        a = run(rgbToHcl, c[0], c[1], c[2]);
        expectNear(run(hclToRgb, a[0], a[1], a[2]), c, 1e-12, "hcl");
        // Intensity and saturation survive the HSI trip even though the hue does not.
        a = run(rgbToHsi, c[0], c[1], c[2]);
        const Triple back = run(hsiToRgb, a[0], a[1], a[2]);
        EXPECT_NEAR(back[0] + back[1] + back[2], c[0] + c[1] + c[2], 1e-12);
        if (HasFailure()) break;
    }
}

TEST(ColorSpace, InputsMayAliasOutputs) {
    double x = 1.0, y = 0.0, z = 0.5;
    rgbToHcl(x, y, z, x, y, z);
    EXPECT_EQ((Triple{x, y, z}), run(rgbToHcl, 1.0, 0.0, 0.5));
    hclToRgb(x, y, z, x, y, z);
    expectNear({x, y, z}, {1.0, 0.0, 0.5}, 1e-15, "aliased hcl");
    x = 0.2, y = 0.9, z = 0.4;
    rgbToHsl(x, y, z, x, y, z);
    hslToRgb(x, y, z, x, y, z);
    expectNear({x, y, z}, {0.2, 0.9, 0.4}, 1e-12, "aliased hsl");
}

TEST(ColorSpace, UnreachableSectorsAreHarmless) {
    // Hues beyond one turn: HSV leaves the outputs alone, HCL gives grey at l.
    EXPECT_EQ(run(hsvToRgb, 500, 1, 1), (Triple{-9, -9, -9}));
    EXPECT_EQ(run(hclToRgb, 500, 0.5, 0.4), (Triple{0.4, 0.4, 0.4}));
    EXPECT_EQ(run(hclToRgb, 1e300, 0.5, 0.4), (Triple{0.4, 0.4, 0.4}));
    const Triple nanHue = run(hclToRgb, std::nan(""), 0.5, 0.4);
    EXPECT_EQ(nanHue, (Triple{0.4, 0.4, 0.4}));
}

namespace {

// A 4 x 1 pixmap holding the given pixels.
std::unique_ptr<CEL_PixmapAreaRGBA16> strip(std::initializer_list<CEL_PixelRGBA16> pixels) {
    auto p = std::make_unique<CEL_PixmapAreaRGBA16>(int(pixels.size()), 1);
    p->realloc(Math::Box2di(0, 0, int(pixels.size()), 1), true);
    std::copy(pixels.begin(), pixels.end(), p->data());
    return p;
}

CEL_PixelRGBA16 px(int r, int g, int b, int a) {
    return CEL_PixelRGBA16{int16_t(r), int16_t(g), int16_t(b), int16_t(a)};
}

std::vector<CEL_PixelRGBA16> pixelsOf(const CEL_PixmapAreaRGBA16& p) {
    return std::vector<CEL_PixelRGBA16>(p.data(), p.data() + p.allocatedArea());
}

} // namespace

TEST(ColorSpacePixmap, FadeAlphaRoundsAndClampsTheAmount) {
    auto p = strip({px(100, 200, 300, 32767), px(1, 2, 3, 3), px(-5, 0, 0, -101), px(0, 0, 0, 0)});
    fadeAlpha(p.get(), 0.5);
    // 32767 * 0.5 + 0.5 = 16384; 3 * 0.5 + 0.5 = 2; -101 * 0.5 + 0.5 = -50 (toward zero).
    EXPECT_EQ(pixelsOf(*p),
              (std::vector{px(100, 200, 300, 16384), px(1, 2, 3, 2), px(-5, 0, 0, -50), px(0, 0, 0, 0)}));
    // A negative amount keeps every non-negative alpha; the half-up rounding moves a
    // negative one a step toward zero.
    fadeAlpha(p.get(), -3.0);
    EXPECT_EQ(pixelsOf(*p),
              (std::vector{px(100, 200, 300, 16384), px(1, 2, 3, 2), px(-5, 0, 0, -49), px(0, 0, 0, 0)}));
    fadeAlpha(p.get(), 7.0);
    for (const auto& q : pixelsOf(*p)) EXPECT_EQ(q.a, 0);
    EXPECT_EQ(pixelsOf(*p)[0].r, 100); // colour untouched
}

TEST(ColorSpacePixmap, FadeColorScalesAllFourFields) {
    auto p = strip({px(32767, 1000, 3, 32767), px(-301, 7, 0, -32767)});
    fadeColor(p.get(), 0.0);
    // Non-negative fields stay; negative ones move a step toward zero (half-up rounding).
    EXPECT_EQ(pixelsOf(*p), (std::vector{px(32767, 1000, 3, 32767), px(-300, 7, 0, -32766)}));
    fadeColor(p.get(), -50.0);
    EXPECT_EQ(pixelsOf(*p)[0], px(32767, 1000, 3, 32767));
    p->data()[1] = px(-300, 7, 0, -32767);
    fadeColor(p.get(), 25.0);
    // k = 0.75: 24575.75 -> 24575, 750.5 -> 750, 2.75 -> 2; -224.5 -> -224, 5.75 -> 5, -24574.75 -> -24574.
    EXPECT_EQ(pixelsOf(*p), (std::vector{px(24575, 750, 2, 24575), px(-224, 5, 0, -24574)}));
    fadeColor(p.get(), 100.0);
    for (const auto& q : pixelsOf(*p)) EXPECT_TRUE(q.isBlack());
    auto q = strip({px(500, 500, 500, 500)});
    fadeColor(q.get(), 250.0);
    EXPECT_TRUE(pixelsOf(*q)[0].isBlack());
}

TEST(ColorSpacePixmap, MapColoursAMatte) {
    auto p = strip({px(9, 9, 9, 32767), px(9, 9, 9, 16384), px(9, 9, 9, 0), px(9, 9, 9, -1000)});
    mapRGB(p.get(), 1.0, 0.5, 0.25);
    EXPECT_EQ(pixelsOf(*p), (std::vector{px(32767, 16383, 8191, 32767), px(16384, 8192, 4096, 16384),
                                         px(0, 0, 0, 0), px(-1000, -500, -250, -1000)}));
    mapRGBA(p.get(), 1.0, 0.5, 0.0, 0.5);
    // alpha * r * a truncated: 32767 * 0.5 = 16383.5 -> 16383; alpha becomes trunc(alpha * a).
    EXPECT_EQ(pixelsOf(*p), (std::vector{px(16383, 8191, 0, 16383), px(8192, 4096, 0, 8192), px(0, 0, 0, 0),
                                         px(-500, -250, 0, -500)}));
    // Factors beyond 1 saturate instead of wrapping.
    auto q = strip({px(0, 0, 0, 32767)});
    mapRGB(q.get(), 3.0, -3.0, 1.0);
    EXPECT_EQ(pixelsOf(*q)[0], px(32767, -32767, 32767, 32767));
}

TEST(ColorSpacePixmap, PixmapsWithoutPixelsAreIgnored) {
    CEL_PixmapAreaRGBA16 empty(10, 10);
    fadeAlpha(&empty, 0.5);
    fadeColor(&empty, 50);
    mapRGB(&empty, 1, 1, 1);
    mapRGBA(&empty, 1, 1, 1, 1);
    fadeAlpha(nullptr, 0.5);
    EXPECT_EQ(empty.data(), nullptr);
}
