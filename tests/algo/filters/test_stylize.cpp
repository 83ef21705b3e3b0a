#include <cstdlib>

#include "algo/composite/test_composite_util.h"
#include "algo/filters/Stylize.h"
#include "base/MathTypes.h"
#include "base/QXMaths.h"

using namespace CelAlgo;
using namespace comptest;

namespace {

// The rule, pixel by pixel: blocks from the allocation's corner, the mask read
// at the same canvas positions (transparent where it has none).
void pixelateReference(Pixmap& p, const Pixmap& mask, int block, bool invert) {
    const Math::Box2di r = p.allocatedRect();
    for (int by = r.y1(); by < r.y2(); by += block)
        for (int bx = r.x1(); bx < r.x2(); bx += block) {
            const int ex = std::min(bx + block, r.x2()), ey = std::min(by + block, r.y2());
            long long s[4] = {0, 0, 0, 0};
            int m = -100000;
            for (int y = by; y < ey; ++y)
                for (int x = bx; x < ex; ++x) {
                    const Pixel q = *p.pixel(x, y);
                    s[0] += q.r, s[1] += q.g, s[2] += q.b, s[3] += q.a;
                    const Pixel* mp = mask.pixel(x, y);
                    const int a = mp ? mp->a : 0;
                    m = std::max(m, invert ? 32767 - a : a);
                }
            const double count = double((ex - bx) * (ey - by));
            int out[4];
            for (int k = 0; k < 4; ++k)
                out[k] = std::clamp(int(std::trunc(m / 32767.0 * (double(s[k]) / count))), -32767, 32767);
            for (int y = by; y < ey; ++y)
                for (int x = bx; x < ex; ++x) *p.pixel(x, y) = px(out[0], out[1], out[2], out[3]);
        }
}

TEST(Pixelate, MatchesTheRuleOnOddAllocations) {
    // Allocation partly off the canvas, blocks cut short at both far edges, a
    // mask with its own (smaller, shifted) allocation and tone pixels.
    const int cw = 150, ch = 130;
    const double amount = 11.0 * 720 / (cw * cw); // B = 11
    for (bool invert : {false, true}) {
        auto p = randomPixmap(cw, ch, Math::Box2di(-13, 5, 190, 141), 3);
        auto mask = randomPixmap(cw, ch, Math::Box2di(10, -4, 120, 100), 4);
        auto expected = PixmapPtr(p->clone());
        pixelateReference(*expected, *mask, 11, invert);
        auto got = PixmapPtr(p->clone());
        pixelate(got.get(), mask.get(), amount, invert);
        EXPECT_TRUE(samePixels(*got, *expected)) << "invert " << invert;
        EXPECT_TRUE(
            comptest::threadIndependent(*p, [&](Pixmap* q) { pixelate(q, mask.get(), amount, invert); }));
    }
    // The pixmap as its own mask: each block reads its alpha before it is written.
    auto p = randomPixmap(cw, ch, Math::Box2di(0, 0, cw, ch), 5);
    auto expected = PixmapPtr(p->clone());
    pixelateReference(*expected, *PixmapPtr(p->clone()), 11, false);
    pixelate(p.get(), p.get(), amount, false);
    EXPECT_TRUE(samePixels(*p, *expected));
    // 720 wide at 0.01: blocks of trunc(720 * 7.2 / 720 + 0.5) = 7.
    auto wide = randomPixmap(720, 20, Math::Box2di(0, 0, 720, 20), 1);
    auto opaque = filled(720, 20, Math::Box2di(0, 0, 720, 20), px(0, 0, 0, 32767));
    pixelate(wide.get(), opaque.get(), 0.01, false);
    EXPECT_EQ(*wide->pixel(0, 0), *wide->pixel(6, 6));
    EXPECT_NE(*wide->pixel(6, 0), *wide->pixel(7, 0));

    EXPECT_THROW(pixelate(nullptr, opaque.get(), 0.5, false), AlgoException);
    EXPECT_THROW(pixelate(wide.get(), nullptr, 0.5, false), AlgoException);
}

// With w = 1 - 0.1 x the canvas point x reads the plane at 10 x / (10 - x):
// -1 before the segment (0, 0)-(20, 0), 5 at its middle, 8 beyond it, and
// from 10 on behind the eye. A singular matrix shows nothing.
TEST(Gradient, ColoursAlongTheSegmentThroughTheInverseMatrix) {
    Math::Matrix4x4 perspective;
    perspective(3, 0) = -0.1;
    const Math::Box2di box(-3, -1, 20, 2);
    const auto run = [&](PixmapPtr p, const Math::Matrix4x4& m) {
        gradient(p.get(), box, m, 0, 0, 20, 0, 255, 40, 0, 255, 10, 200, 90, 128);
        return p;
    };
    const PixmapPtr p = run(makePixmap(40, 10, Math::Box2di(0, 0, 4, 4)), perspective);
    ASSERT_EQ(p->allocatedRect(), box);
    EXPECT_EQ(*p->pixel(-1, 0), px(32767, 5139, 0, 32767));
    EXPECT_EQ(*p->pixel(5, 0), px(12786, 11579, 4342, 24607));
    EXPECT_EQ(*p->pixel(8, -1), px(645, 12900, 5805, 16447));
    EXPECT_EQ(*p->pixel(15, 0), px(0, 0, 0, 0));
    // A pixmap already covering box is filled in place, to the same result.
    EXPECT_TRUE(samePixels(*run(randomPixmap(40, 10, box, 12), perspective), *p));
    const PixmapPtr none = run(makePixmap(40, 10, box), Math::Matrix4x4::scaling(2, 0));
    for (long long i = 0; i < none->allocatedArea(); ++i) ASSERT_EQ(none->data()[i], px(0, 0, 0, 0));
    // Equal end points fill with the first colour, whatever the matrix.
    auto same = makePixmap(40, 30, Math::Box2di(0, 0, 10, 10));
    gradient(same.get(), Math::Box2di(0, 0, 40, 30), Math::Matrix4x4::scaling(0, 0), 7, 7, 7, 7, 255, 128, 0,
             255, 0, 0, 0, 0);
    ASSERT_EQ(same->allocatedRect(), Math::Box2di(0, 0, 40, 30));
    for (long long i = 0; i < 1200; ++i) ASSERT_EQ(same->data()[i], px(32767, 16447, 0, 32767));
}

// Quantising as the rule states it, one pixel, drawing from the C library.
void quantiseReference(Pixel& q, long n, bool noise) {
    static const int steps[11][3] = {{0, 0, 0}, {0, 0, 1}, {0, 1, 0}, {0, 1, 0}, {0, 1, 1}, {1, 0, 0},
                                     {1, 0, 0}, {1, 0, 1}, {1, 1, 0}, {1, 1, 0}, {1, 1, 1}};
    static const double lumas[11] = {0, 0.11, 0.3, 0.3, 0.41, 0.59, 0.59, 0.7, 0.89, 0.89, 1.0};
    int c[3] = {q.r, q.g, q.b};
    const bool low = ((c[0] | c[1] | c[2]) & 127) != 0;
    if (noise && n != 0 && low)
        for (int& v : c) v += int(::lrand48() % n);
    int qq[3];
    for (int i = 0; i < 3; ++i) c[i] = std::clamp(c[i], 0, 32767), qq[i] = c[i] >> 7;
    if (low && int(0.59 * c[1] + 0.3 * c[0] + 0.11 * c[2]) > 0) {
        const int e =
            int(0.59 * (c[1] - 128 * qq[1]) + 0.3 * (c[0] - 128 * qq[0]) + 0.11 * (c[2] - 128 * qq[2]));
        int k = 10 * e / 128;
        if (std::abs(int(128 * lumas[k + 1]) - e) < std::abs(e - int(128 * lumas[k]))) ++k;
        qq[1] = std::min(qq[1] + steps[k][0], 255);
        qq[0] = std::min(qq[0] + steps[k][1], 255);
        qq[2] = std::min(qq[2] + steps[k][2], 255);
    }
    q = px(qq[0] * 128, qq[1] * 128, qq[2] * 128, std::min(q.a + 64, 32767));
}

TEST(Dither, DrawsFollowTheCLibrarySequenceAtAnyThreadCount) {
    struct Case {
        double amount;
        bool mono, noise, quantise;
    };
    // 2.3 steps -> N = 294; 300 -> N wraps through 16 bits to -27136.
    for (const Case& c :
         {Case{2.3, false, true, true}, Case{2.3, true, true, false}, Case{1, false, true, false},
          Case{300, true, true, true}, Case{0.001, false, true, true}}) {
        const long n = std::abs(long(int16_t(int32_t(std::trunc(c.amount * 128 + 0.5)))));
        auto p = randomPixmap(180, 110, Math::Box2di(-7, 3, 180, 110), 8);
        // Some pixels already 8-bit, so that quantising draws for some only.
        for (long long i = 0; i < p->allocatedArea(); i += 3) p->data()[i] = px(256, 128 * 100, 0, 32767);
        for (bool serial : {true, false}) {
            auto expected = PixmapPtr(p->clone());
            ::srand48(77);
            if (c.quantise)
                for (long long i = 0; i < expected->allocatedArea(); ++i)
                    quantiseReference(expected->data()[i], n, c.noise);
            if (c.noise && n != 0)
                for (long long i = 0; i < expected->allocatedArea(); ++i) {
                    Pixel& q = expected->data()[i];
                    const long r = ::lrand48() % n;
                    q.r = int16_t(std::clamp(q.r + int(r), 0, 32767));
                    q.g = int16_t(std::clamp(q.g + int(c.mono ? r : ::lrand48() % n), 0, 32767));
                    q.b = int16_t(std::clamp(q.b + int(c.mono ? r : ::lrand48() % n), 0, 32767));
                }
            auto got = PixmapPtr(p->clone());
            detail::setSerialForTesting(serial);
            QXMaths::srand48(77);
            dither(got.get(), c.amount, c.mono, c.noise, c.quantise);
            detail::setSerialForTesting(false);
            EXPECT_TRUE(samePixels(*got, *expected)) << c.amount << " serial " << serial;
            // The shared sequence moved on by exactly the draws taken.
            EXPECT_EQ(QXMaths::lrand48(), ::lrand48());
        }
    }
    EXPECT_THROW(dither(nullptr, 1, false, true, true), AlgoException);
}

// Gain curve(luma) / luma on every channel, luma rounded half up (1810.66 reads
// as 1811), products rounded and saturated, alpha kept; parameters out of range refused.
TEST(Contrast, GainOfTheCurveAtThePixelsLuma) {
    struct Case {
        double curve[3]; // pivot, low, high
        std::vector<Pixel> in, want;
    };
    const Case cases[] = {
        {{0.5, 2.0, 0.5},
         {px(8192, 8192, 8192, 32767), px(24576, 24576, 24576, 32767), px(32767, 32767, 32767, 32767),
          px(-20000, 30000, 30000, 100), px(1000, 2000, 3006, 32767), px(0, 0, 0, 5)},
         {px(4096, 4096, 4096, 32767), px(27969, 27969, 27969, 32767), px(32767, 32767, 32767, 32767),
          px(-18310, 27466, 27466, 100), px(111, 221, 332, 32767), px(0, 0, 0, 5)}},
        {{0.0, 1.0, 3.0}, {px(16384, 16384, 16384, 32767)}, {px(4096, 4096, 4096, 32767)}},
        {{0.1, 1.0, 0.3},
         {px(20000, 0, 0, 32767), px(-20000, 20000, 0, 32767)},
         {px(32767, 0, 0, 32767), px(-32767, 32767, 0, 32767)}},
    };
    for (const Case& c : cases) {
        auto p = comptest::rowPixmap(c.in);
        contrast(p.get(), c.curve[0], c.curve[1], c.curve[2]);
        EXPECT_EQ(std::vector<Pixel>(p->data(), p->data() + c.in.size()), c.want) << c.curve[0];
    }
    auto p = comptest::rowPixmap({px(1, 2, 3, 4)});
    for (double pivot : {1.5, -0.1, std::nan("")})
        EXPECT_THROW(contrast(p.get(), pivot, 1, 1), AlgoException);
    EXPECT_THROW(contrast(p.get(), 0.5, 1, std::nan("")), AlgoException);
    EXPECT_THROW(contrast(nullptr, 0.5, 1, 1), AlgoException);
}

TEST(Grain, AddsBoundedGrainThatFadesInHighlights) {
    auto src = randomPixmap(160, 120, Math::Box2di(-4, 0, 160, 120), 10);
    for (long long i = 0; i < 200; ++i) src->data()[i] = px(32767, 32767, 32767, 32767);
    auto dst = std::make_unique<Pixmap>(160, 120);
    addGrain(dst.get(), src.get(), 3, 0.25, 0, 5, false);
    ASSERT_EQ(dst->allocatedRect(), src->allocatedRect());
    long long changed = 0;
    for (long long i = 0; i < src->allocatedArea(); ++i) {
        const Pixel a = src->data()[i], b = dst->data()[i];
        ASSERT_EQ(a.a, b.a);
        if (a.a <= 0) {
            ASSERT_EQ(a, b);
            continue;
        }
        const int bound = int(0.25 * a.a) + 1;
        for (auto [x, y] : {std::pair{a.r, b.r}, std::pair{a.g, b.g}, std::pair{a.b, b.b}}) {
            ASSERT_LE(std::abs(std::clamp<int>(x, -32767, 32767) - y), bound);
            changed += x != y;
        }
    }
    EXPECT_GT(changed, src->allocatedArea());

    // Mix 1: a channel at its alpha (white) keeps no grain.
    addGrain(dst.get(), src.get(), 3, 1, 1, 5, false);
    EXPECT_EQ(dst->data()[0], px(32767, 32767, 32767, 32767));

    // Monochrome: one grain for the three channels of a grey.
    auto grey = filled(64, 64, Math::Box2di(0, 0, 64, 64), px(9000, 9000, 9000, 20000));
    addGrain(grey.get(), grey.get(), 2.5, 0.5, 0.3, 1, true);
    int distinct = 0;
    for (int i = 0; i < 4096; ++i) {
        const Pixel q = grey->data()[i];
        ASSERT_TRUE(q.r == q.g && q.g == q.b);
        distinct += q.r != 9000;
    }
    EXPECT_GT(distinct, 2000);

    EXPECT_THROW(addGrain(dst.get(), src.get(), 0.5, 0.1, 0, 1, false), AlgoException);
    EXPECT_THROW(addGrain(dst.get(), src.get(), 2, 1.5, 0, 1, false), AlgoException);
    EXPECT_THROW(addGrain(dst.get(), src.get(), 2, 0.5, std::nan(""), 1, false), AlgoException);
}

TEST(Grain, IsAFunctionOfSeedAndCanvasPosition) {
    auto src = randomPixmap(200, 150, Math::Box2di(0, 0, 200, 150), 11);
    for (long long i = 0; i < src->allocatedArea(); ++i) src->data()[i].a = 30000;
    const auto run = [&](long seed, const Math::Box2di& rect) {
        PixmapPtr s(src->clone(rect));
        auto d = std::make_unique<Pixmap>(200, 150);
        addGrain(d.get(), s.get(), 7.5, 0.4, 0.5, seed, false);
        return d;
    };
    auto a = run(3, src->allocatedRect()), c = run(4, src->allocatedRect());
    EXPECT_FALSE(samePixels(*a, *c));
    // A smaller allocation gets the same grain at the same canvas positions.
    auto part = run(3, Math::Box2di(33, 17, 100, 90));
    for (int y = 17; y < 107; ++y)
        for (int x = 33; x < 133; ++x) ASSERT_EQ(*part->pixel(x, y), *a->pixel(x, y));
    EXPECT_TRUE(
        comptest::threadIndependent(*src, [](Pixmap* q) { addGrain(q, q, 7.5, 0.4, 0.5, 3, false); }));
}

} // namespace
