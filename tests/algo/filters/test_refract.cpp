#include "algo/composite/test_composite_util.h"
#include "algo/filters/ColorCorrect.h"
#include "algo/filters/Refract.h"

using namespace CelAlgo;
using namespace comptest;

namespace {

// A smooth height field (a few bumps) with noise: every kind of slope.
PixmapPtr heightField(int cw, int ch, const Math::Box2di& alloc, unsigned seed) {
    auto p = makePixmap(cw, ch, alloc);
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> jitter(-300, 300);
    for (int y = alloc.y1(); y < alloc.y2(); ++y)
        for (int x = alloc.x1(); x < alloc.x2(); ++x) {
            const double h = 16000 + 12000 * std::sin(x * 0.11) * std::cos(y * 0.07);
            p->pixel(x, y)->a = int16_t(std::clamp(int(h) + jitter(rng), 0, 32767));
        }
    return p;
}

// The span average written out plainly: first partial pixel, whole pixels,
// last partial pixel; a zero-length span samples its pixel.
Pixel spanAverage(double a, double b, const Pixel* line, long stride, int w) {
    const double lo = std::min(a, b), hi = std::max(a, b);
    if (hi == lo) return line[std::clamp(int(std::floor(lo)), 0, w - 1) * stride];
    double s[4] = {0, 0, 0, 0};
    for (int i = int(std::floor(lo)); i < int(std::ceil(hi)); ++i) {
        const double cover = std::min(hi, i + 1.0) - std::max(lo, double(i));
        const Pixel& p = line[i * stride];
        s[0] += cover * p.r, s[1] += cover * p.g, s[2] += cover * p.b, s[3] += cover * p.a;
    }
    const auto f = [&](double v) { return int(std::round(v / (hi - lo))); };
    return px(f(s[0]), f(s[1]), f(s[2]), f(s[3]));
}

// One pass along lines of length w with the given strides, from the rule.
void passReference(Pixel* dst, const Pixel* src, const Pixel* hm, int lines, int w, long along, long across,
                   double scale, double offset, double n, double k) {
    for (int l = 0; l < lines; ++l) {
        const Pixel* s = src + l * across;
        const Pixel* h = hm + l * across;
        for (int x = 0; x < w; ++x) {
            const double dl =
                x >= 2 ? displacement(h[(x - 1) * along].a, h[x * along].a, scale, offset, n, k) : 0;
            const double dr =
                x < w - 1 ? displacement(h[x * along].a, h[(x + 1) * along].a, scale, offset, n, k) : 0;
            const double a = std::clamp(x + dl, 0.0, double(w)), b = std::clamp(x + 1 + dr, 0.0, double(w));
            dst[l * across + x * along] = spanAverage(a, b, s, along, w);
        }
    }
}

TEST(Refract, IntegreAveragesTheCoveredPixelsAndDisplacementFollowsSnell) {
    const std::vector<Pixel> line = {px(0, 0, 0, 0), px(10, 10, 10, 10), px(100, -3, 7, 32767),
                                     px(201, -4, 8, 32767), px(1000, 0, 0, 0)};
    EXPECT_EQ(integre(2.0, 4.0, line.data(), 1),
              px(151, -4, 8, 32767)); // (100 + 201) / 2 = 150.5 away from 0
    EXPECT_EQ(integre(4.0, 2.0, line.data(), 1), px(151, -4, 8, 32767));
    EXPECT_EQ(integre(1.5, 3.25, line.data(), 1), spanAverage(1.5, 3.25, line.data(), 1, 5));
    EXPECT_EQ(integre(3.0, 3.0, line.data(), 1), line[3]);
    // Stride: the same pixels as every second element.
    std::vector<Pixel> spaced;
    for (const Pixel& p : line) spaced.insert(spaced.end(), {p, px(9999, 9999, 9999, 9999)});
    EXPECT_EQ(integre(2.0, 4.0, spaced.data(), 2), px(151, -4, 8, 32767));
    // A span ending at the line's end reads nothing past it.
    EXPECT_EQ(integre(4.0, 5.0, line.data(), 1), line[4]);

    // The displacement follows Snell's law. Flat surface or n = 1: no bending.
    EXPECT_EQ(displacement(5000, 5000, 3, 1, 1.5, 2), 0.0);
    for (int h1 : {0, 1000, 20000, 32767})
        EXPECT_NEAR(displacement(100, short(h1), 50, 2, 1.0, 3), 0.0, 1e-12);
    // Antisymmetric in the pair; indices either side of 1 shift the other way.
    const double d = displacement(1000, 9000, 4, 1, 1.33, 1);
    EXPECT_NE(d, 0.0);
    EXPECT_EQ(displacement(9000, 1000, 4, 1, 1.33, 1), -d);
    EXPECT_LT(displacement(1000, 9000, 4, 1, 0.8, 1) * d, 0.0);
    // n above 1 with steep slopes: total reflection stays finite.
    for (int h1 : {0, 16000, 32767})
        EXPECT_TRUE(std::isfinite(displacement(32767, short(h1), 1000, 5, 3.0, 10)));
}

TEST(Refract, PassesMatchTheRule) {
    const int w = 97, h = 61;
    auto src = randomPixmap(w, h, Math::Box2di(0, 0, w, h), 1);
    auto map = heightField(w, h, Math::Box2di(0, 0, w, h), 2);
    for (double n : {1.33, 0.7, 2.5}) {
        std::vector<Pixel> got(w * h), want(w * h);
        rowPass(got.data(), src->data(), map->data(), w, h, 40, 3, n, 1.5);
        passReference(want.data(), src->data(), map->data(), h, w, 1, w, 40, 3, n, 1.5);
        ASSERT_TRUE(got == want) << "rows, n " << n;
        colPass(got.data(), src->data(), map->data(), w, h, 40, 3, n, 1.5);
        passReference(want.data(), src->data(), map->data(), w, h, w, 1, 40, 3, n, 1.5);
        ASSERT_TRUE(got == want) << "columns, n " << n;
    }
}

TEST(Refract, ComposesThePassesAndFlatMapsOrUnitIndexLeaveThePicture) {
    // Allocation partly off the canvas; the map has its own allocation.
    auto src = randomPixmap(180, 140, Math::Box2di(-6, -3, 170, 150), 6);
    auto map = heightField(180, 140, Math::Box2di(10, 0, 150, 140), 7);
    for (bool invert : {false, true}) {
        PixmapPtr heights(map->clone());
        if (invert) negate(heights.get(), true, true);
        heights->realloc(src->allocatedRect(), true);
        const int w = src->allocatedWidth(), h = src->allocatedHeight();
        const double k = 180 / 720.0;
        std::vector<Pixel> rows(w * h), want(w * h);
        passReference(rows.data(), src->data(), heights->data(), h, w, 1, w, 60, 1, 1.4, k);
        passReference(want.data(), rows.data(), heights->data(), w, h, w, 1, 60, 1, 1.4, k);
        for (bool serial : {true, false}) {
            detail::setSerialForTesting(serial);
            PixmapPtr got(refract(src.get(), map.get(), 60, 1, 1.4, invert));
            detail::setSerialForTesting(false);
            ASSERT_EQ(got->allocatedRect(), src->allocatedRect());
            EXPECT_TRUE(std::equal(want.begin(), want.end(), got->data())) << invert << serial;
        }
    }
    EXPECT_THROW(refract(nullptr, map.get(), 1, 0, 1, false), AlgoException);
    EXPECT_THROW(refract(src.get(), nullptr, 1, 0, 1, false), AlgoException);
    // Flat maps and n = 1 leave the picture.
    auto picture = randomPixmap(150, 120, Math::Box2di(-10, 5, 170, 100), 3);
    auto flat = filled(150, 120, Math::Box2di(0, 0, 150, 120), px(0, 0, 0, 12345));
    auto bumpy = heightField(150, 120, Math::Box2di(0, 0, 150, 120), 4);
    // The flat map's copy is transparent outside its allocation, so the edge
    // of the canvas is a step: only n = 1 may see it.
    for (bool invert : {false, true})
        EXPECT_TRUE(
            samePixels(*PixmapPtr(refract(picture.get(), bumpy.get(), 30, 2, 1.0, invert)), *picture));
    auto inside = randomPixmap(150, 120, Math::Box2di(0, 0, 150, 120), 5);
    PixmapPtr c(refract(inside.get(), flat.get(), 30, 2, 1.5, false));
    EXPECT_TRUE(samePixels(*c, *inside));
    EXPECT_EQ(c->canvasRect(), inside->canvasRect());
}

} // namespace
