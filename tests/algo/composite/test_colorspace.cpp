#include <array>

#include "algo/composite/ColorSpace.h"
#include "test_composite_util.h"

using namespace CelAlgo;
using namespace comptest;

namespace {

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

} // namespace

TEST(ColorSpace, PrimariesGreysAndHueWrap) {
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
}

TEST(ColorSpace, HsiUsesTrigonometricHue) {
    EXPECT_EQ(run(rgbToHsi, 1, 0, 0), (Triple{0, 1, 1.0 / 3.0}));
    expectNear(run(hsiToRgb, 240, 1, 1.0 / 3.0), {0, 0, 1}, 1e-9);
    // Hexcone one way, trigonometric the other: a yellow-orange does not come back.
    const Triple hsi = run(rgbToHsi, 1, 0.3, 0);
    EXPECT_GT(std::abs(run(hsiToRgb, hsi[0], hsi[1], hsi[2])[1] - 0.3), 1e-3);
}

TEST(ColorSpace, HclPullsOutOfGamutColoursIn) {
    EXPECT_EQ(run(hclToRgb, 0, 1, 0.3), (Triple{1, 0, 0}));
    // Too bright for full chroma: towards white; too dark: towards black; luma kept.
    const Triple bright = run(hclToRgb, 0, 1, 0.9);
    expectNear(bright, {1, 6.0 / 7.0, 6.0 / 7.0}, 1e-15);
    EXPECT_NEAR(luma(bright), 0.9, 1e-15);
    const Triple dark = run(hclToRgb, 120, 1, 0.1);
    EXPECT_NEAR(luma(dark), 0.1, 1e-15);
    EXPECT_EQ(dark[0] + dark[2], 0.0);
}

TEST(ColorSpace, RoundTripsOnRandomColours) {
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
