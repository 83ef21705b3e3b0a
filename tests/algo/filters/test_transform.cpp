// CelAlgo::scale against a plain implementation of its formulas written here (double,
// one target field at a time, pixels outside the source as 0).
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "algo/composite/AlgoException.h"
#include "algo/composite/CompositeDetail.h"
#include "algo/filters/Transform.h"
#include "base/Message.h"
#include "pixel/PixelTestUtil.h"
#include "pixel/PixmapArea.h"
#include "pixel/PixmapCanvas.h"

namespace {

constexpr double kBias[4] = {0.49, 0.52, 0.49, 0.5};

// A picture as fields: w x h pixels of F ints.
struct Fields {
    int w = 0, h = 0, F = 4;
    std::vector<int> v;
    int& at(int x, int y, int f) { return v[(std::size_t(y) * w + x) * F + f]; }
    int get(long long x, long long y, int f) const {
        return x < 0 || y < 0 || x >= w || y >= h ? 0 : v[(std::size_t(y) * w + std::size_t(x)) * F + f];
    }
};

// One pass of target length L over a line of N pixels (read through P(k, f)).
template <class Read> std::vector<int> refPass(Read P, int F, long long N, long long L, double c, double s) {
    std::vector<int> out(std::size_t(L) * F, 0);
    const double half = L / 2.0;
    const long long lo = std::max(0.0, std::floor(half - c * s));
    const long long hi = std::min(double(L), std::ceil((N - c) * s + half));
    for (long long x = lo; x < hi; ++x) {
        const double u = (x - half) / s + c;
        const long long k0 = (long long)std::floor(u);
        for (int f = 0; f < F; ++f) {
            double value;
            if (s < 1.0) {
                const double end = u + 1.0 / s;
                const long long k1 = (long long)std::trunc(end);
                double sum = P(k0, f) * (1.0 - (u - k0));
                for (long long k = k0 + 1; k < k1; ++k) sum += P(k, f);
                sum += P(k1, f) * (end - k1);
                value = std::trunc(sum * s + kBias[f]);
            } else {
                const double fr = std::fabs(u - k0);
                if (1.0 / s + fr >= 1.0)
                    value = std::trunc(P(k0, f) * (1.0 - fr) * s + P(k0 + 1, f) * (1.0 / s + fr - 1.0) * s +
                                       kBias[f]);
                else
                    value = P(k0, f);
            }
            out[std::size_t(x) * F + f] = int(value);
        }
    }
    return out;
}

// The whole scaling: fit rule, skipped passes, row restriction, two passes.
Fields refScale(const Fields& src, int W, int H, double cx, double cy, double sx, double sy) {
    if (sx == -1 || sy == -1)
        sx = double(W) / src.w, sy = double(H) / src.h, cx = src.w / 2.0, cy = src.h / 2.0;
    Fields out{W, H, src.F, std::vector<int>(std::size_t(W) * H * src.F, 0)};
    const bool hRight = cx == src.w / 2.0 && src.w == W && sx == 1.0;
    const bool vRight = H / 2.0 == cy && src.h == H && sy == 1.0;
    Fields tmp = src;
    int y0 = 0;
    if (!hRight) {
        y0 = std::max(0.0, std::trunc(cy - (H / 2.0) / sy));
        const int y1 = std::min(double(src.h), std::max(0.0, std::ceil(cy + (H / 2.0) / sy)));
        if (y1 - y0 < 1) return out;
        tmp = Fields{W, y1 - y0, src.F, {}};
        for (int y = y0; y < y1; ++y) {
            auto row = refPass([&](long long k, int f) { return double(src.get(k, y, f)); }, src.F, src.w, W,
                               cx, sx);
            tmp.v.insert(tmp.v.end(), row.begin(), row.end());
        }
        if (vRight) return tmp;
    } else if (vRight) {
        return src;
    }
    for (int x = 0; x < W; ++x) {
        auto col = refPass([&](long long k, int f) { return double(tmp.get(x, k, f)); }, src.F, tmp.h, H,
                           cy - y0, sy);
        for (int y = 0; y < H; ++y)
            for (int f = 0; f < src.F; ++f) out.at(x, y, f) = col[std::size_t(y) * src.F + f];
    }
    return out;
}

// The fields of a canvas pixmap: one per pixel for mattes, four for colour.
template <class P> Fields fieldsOf(const P& p) {
    using E = std::remove_cv_t<std::remove_pointer_t<decltype(p.data())>>;
    constexpr bool matte = std::is_integral_v<E>;
    Fields f{p.width(), p.height(), matte ? 1 : 4, {}};
    for (long long i = 0; i < (long long)p.width() * p.height(); ++i) {
        const E& q = p.data()[i];
        if constexpr (matte)
            f.v.push_back(q);
        else
            f.v.insert(f.v.end(), {q.r, q.g, q.b, q.a});
    }
    return f;
}

// A random picture of class P: channels over their whole range (negative ones
// included for the 16-bit kinds).
template <class P> std::unique_ptr<P> randomPixmap(std::mt19937& rng, int w, int h) {
    auto p = std::make_unique<P>(w, h);
    using E = std::remove_pointer_t<decltype(p->data())>;
    auto* bytes = reinterpret_cast<uint8_t*>(p->data());
    for (std::size_t i = 0; i < std::size_t(w) * h * sizeof(E); ++i) bytes[i] = uint8_t(rng());
    return p;
}

struct Case {
    int w, h, W, H;
    double cx, cy, sx, sy;
};

Case randomCase(std::mt19937& rng) {
    std::uniform_int_distribution<int> side(1, 29);
    const double factors[] = {-1.0, 0.5, 1.0, 1.5, 2.0, 1.0 / 3.0, 0.3, 3.7, 0.77};
    std::uniform_int_distribution<int> pick(0, 8);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    Case c{side(rng), side(rng), side(rng), side(rng), 0, 0, 0, 0};
    c.sx = unit(rng) < 0.3 ? 0.05 + 4.0 * unit(rng) : factors[pick(rng)];
    c.sy = unit(rng) < 0.3 ? 0.05 + 4.0 * unit(rng) : factors[pick(rng)];
    c.cx = unit(rng) < 0.2 ? c.w / 2.0 : (unit(rng) * 2.0 - 0.5) * c.w;
    c.cy = unit(rng) < 0.2 ? c.h / 2.0 : (unit(rng) * 2.0 - 0.5) * c.h;
    if (unit(rng) < 0.15) c.W = c.w, c.sx = 1.0, c.cx = c.w / 2.0; // an axis already right
    return c;
}

// A picture of class P made of a few random pixels (negative fields
// included) in blocks, with whole rows repeated: equal neighbours along both
// axes and rows that repeat the one above, as flat artwork has.
template <class P> std::unique_ptr<P> blockyPixmap(std::mt19937& rng, int w, int h) {
    const auto noisy = randomPixmap<P>(rng, 3, 1);
    auto p = std::make_unique<P>(w, h);
    const int bw = 1 + int(rng() % 5), bh = 1 + int(rng() % 5);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int pick = rng() % 16 == 0 ? int(rng() % 3) : (x / bw + y / bh) % 3;
            p->data()[std::size_t(y) * w + x] = noisy->data()[pick];
        }
    for (int y = 1; y < h; ++y)
        if (rng() % 2)
            std::copy(p->data() + std::size_t(y - 1) * w, p->data() + std::size_t(y) * w,
                      p->data() + std::size_t(y) * w);
    return p;
}

// Random cases against the reference. With flat, the content is blocky and
// most cases enlarge (where equal neighbours and repeated rows take shortcuts)
// or make a single horizontal pass (where rows reuse the row above), some with
// factors beyond the shortcut's bound.
template <class P> void expectMatchesReference(unsigned seed, int rounds, bool flat) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int round = 0; round < rounds; ++round) {
        Case c = randomCase(rng);
        if (flat) {
            const double enlarge[] = {1.0666666666666667, 1.1111111111111112, 1.5, 7.3, 1000.0, 3.0e6};
            if (unit(rng) < 0.6) c.sx = enlarge[rng() % 6];
            if (unit(rng) < 0.4) c.sy = enlarge[rng() % 6];
            if (unit(rng) < 0.4) c.H = c.h, c.sy = 1.0, c.cy = c.h / 2.0; // the horizontal pass alone
        }
        const auto src = flat ? blockyPixmap<P>(rng, c.w, c.h) : randomPixmap<P>(rng, c.w, c.h);
        const std::unique_ptr<P> got(CelAlgo::scale(src.get(), c.W, c.H, c.cx, c.cy, c.sx, c.sy));
        const Fields want = refScale(fieldsOf(*src), c.W, c.H, c.cx, c.cy, c.sx, c.sy);
        ASSERT_TRUE(got);
        ASSERT_EQ(got->width(), want.w) << "round " << round;
        ASSERT_EQ(got->height(), want.h) << "round " << round;
        ASSERT_EQ(fieldsOf(*got).v, want.v)
            << "round " << round << ": " << c.w << "x" << c.h << " -> " << c.W << "x" << c.H << " centre "
            << c.cx << "," << c.cy << " factors " << c.sx << "," << c.sy;
    }
}

} // namespace

TEST(Scale, EveryClassEqualsThePlainFormula) {
    for (bool flat : {false, true}) {
        SCOPED_TRACE(flat ? "flat content" : "noise");
        expectMatchesReference<CEL_PixmapRGBA16>(flat ? 11 : 1, flat ? 300 : 400, flat);
        expectMatchesReference<CEL_PixmapRGBA8>(flat ? 12 : 2, flat ? 300 : 150, flat);
        expectMatchesReference<CEL_PixmapMatte16>(flat ? 13 : 3, 150, flat);
        expectMatchesReference<CEL_PixmapMatte8>(flat ? 14 : 4, 150, flat);
    }
}

// Large enough for the passes to split rows over threads: the same bits serially.
TEST(Scale, ResultDoesNotDependOnTheThreadCount) {
    std::mt19937 rng(5);
    const auto src = randomPixmap<CEL_PixmapRGBA16>(rng, 300, 260);
    const Case cases[] = {{300, 260, 150, 130, -1, -1, -1, -1},
                          {300, 260, 451, 389, 140.3, 133.9, 1.5, 1.5},
                          {300, 260, 256, 256, 120.0, 100.0, 0.77, 1.3}};
    for (const Case& c : cases) {
        const auto run = [&] {
            return fieldsOf(*std::unique_ptr<CEL_PixmapRGBA16>(
                                CelAlgo::scale(src.get(), c.W, c.H, c.cx, c.cy, c.sx, c.sy)))
                .v;
        };
        CelAlgo::detail::setSerialForTesting(true);
        const std::vector<int> serial = run();
        CelAlgo::detail::setSerialForTesting(false);
        EXPECT_EQ(serial, run());
        EXPECT_EQ(serial, refScale(fieldsOf(*src), c.W, c.H, c.cx, c.cy, c.sx, c.sy).v);
    }
}

// Halving (3000, 3000, 1000, 1000) along a row: two pixels summed, halved, biased,
// truncated; the area form keeps its allocation.
TEST(Scale, DocumentedExamples) {
    CEL_PixmapRGBA16 c16(4, 1);
    CEL_PixmapAreaRGBA16 area(4, 1);
    area.realloc(Math::Box2di(0, 0, 4, 1), false);
    for (int i = 0; i < 4; ++i)
        c16.data()[i] = area.data()[i] = pixeltest::px16(3000, 3000, 1000, i < 2 ? 3000 : 1000);
    const std::unique_ptr<CEL_PixmapRGBA16> half(CelAlgo::scale(&c16, 2, 1, -1, -1, -1, -1));
    EXPECT_EQ(fieldsOf(*half).v, (std::vector<int>{3000, 3000, 1000, 3000, 3000, 3000, 1000, 1000}));
    const std::unique_ptr<CEL_PixmapAreaRGBA16> ah(CelAlgo::scale(&area, 2, 1, -1, -1, -1, -1));
    EXPECT_EQ(ah->allocatedRect(), Math::Box2di(0, 0, 2, 1));
    EXPECT_EQ(*ah->pixel(1, 0), pixeltest::px16(3000, 3000, 1000, 1000));

    // The same size, centre and factors: an unchanged copy, negative values included.
    std::mt19937 rng(7);
    const auto src = randomPixmap<CEL_PixmapRGBA16>(rng, 5, 3);
    const std::unique_ptr<CEL_PixmapRGBA16> same(CelAlgo::scale(src.get(), 5, 3, 2.5, 1.5, 1, 1));
    EXPECT_EQ(fieldsOf(*same).v, fieldsOf(*src).v);
    // A centre far outside the source: a cleared picture of the requested size.
    Math::Box2di written(0, 0, 1, 1);
    const std::unique_ptr<CEL_PixmapRGBA16> off(
        CelAlgo::scale(src.get(), 7, 6, 1000.0, -500.0, 1.0, 2.0, &written));
    EXPECT_EQ(fieldsOf(*off).v, std::vector<int>(7 * 6 * 4, 0));
    EXPECT_TRUE(written.hasNullArea());
}

// trunc after the bias: a pass that maps pixels onto themselves still turns
// -100 into -99, so only a skipped pass keeps them.
TEST(Scale, OnlySkippedPassesKeepNegativeValues) {
    CEL_PixmapRGBA16 src(3, 2);
    std::fill(src.data(), src.data() + 6, pixeltest::px16(-100, 100, -100, -100));
    // Horizontal axis right, vertical pass with factor 1 into a taller target.
    Math::Box2di written;
    const std::unique_ptr<CEL_PixmapRGBA16> taller(CelAlgo::scale(&src, 3, 4, 1.5, 1.0, 1.0, 1.0, &written));
    EXPECT_EQ(*taller->pixel(0, 0), pixeltest::px16(0, 0, 0, 0));
    EXPECT_EQ(*taller->pixel(2, 1), pixeltest::px16(-99, 100, -99, -99));
    EXPECT_EQ(written, Math::Box2di(0, 1, 3, 2));
    // Vertical axis right, horizontal pass with factor 1 into a wider target.
    const std::unique_ptr<CEL_PixmapRGBA16> wider(CelAlgo::scale(&src, 5, 2, 1.5, 1.0, 1.0, 1.0, &written));
    EXPECT_EQ(*wider->pixel(1, 1), pixeltest::px16(-99, 100, -99, -99));
    EXPECT_EQ(written, Math::Box2di(1, 0, 3, 2));
}

// The area form scales the allocated pixels as a canvas of their own and
// places them on the target canvas.
TEST(Scale, AreaFormPlacesTheScaledAllocation) {
    std::mt19937 rng(11);
    const Math::Box2di allocations[] = {{3, 2, 9, 7}, {-4, -3, 10, 8}, {6, 5, 9, 9}, {0, 0, 12, 10}};
    const double factors[][2] = {{0.5, 0.5}, {1.5, 1.25}, {2.0, 0.75}, {1.0, 1.0}};
    for (const Math::Box2di& alloc : allocations)
        for (const auto& f : factors) {
            CEL_PixmapAreaRGBA16 src(12, 10);
            src.realloc(alloc, false);
            auto view = randomPixmap<CEL_PixmapRGBA16>(rng, alloc.w(), alloc.h());
            std::copy(view->data(), view->data() + alloc.area(), src.data());
            src.setAllPositive(false);
            const unsigned W = 17, H = 13;
            const double cx = 5.5, cy = 4.0;
            Math::Box2di written;
            const std::unique_ptr<CEL_PixmapAreaRGBA16> got(
                CelAlgo::scale(&src, W, H, cx, cy, f[0], f[1], &written));
            ASSERT_TRUE(got);
            EXPECT_EQ(got->size(), Math::Size2di(17, 13));
            EXPECT_FALSE(got->areAllPositive());
            const double ox = W / 2.0 - cx * f[0], oy = H / 2.0 - cy * f[1];
            const int X0 = std::max(0, int(alloc.x1() * f[0] + ox)),
                      Y0 = std::max(0, int(alloc.y1() * f[1] + oy));
            const int Wd = std::min<int>(W - X0, int(alloc.w() * f[0] + 0.5));
            const int Hd = std::min<int>(H - Y0, int(alloc.h() * f[1] + 0.5));
            ASSERT_EQ(got->allocatedRect(), Math::Box2di(X0, Y0, Wd, Hd));
            const Fields want = refScale(fieldsOf(*view), Wd, Hd, (Wd / 2.0 + X0 - ox) / f[0] - alloc.x1(),
                                         (Hd / 2.0 + Y0 - oy) / f[1] - alloc.y1(), f[0], f[1]);
            std::vector<int> placed;
            for (long long i = 0; i < got->allocatedArea(); ++i)
                placed.insert(placed.end(),
                              {got->data()[i].r, got->data()[i].g, got->data()[i].b, got->data()[i].a});
            ASSERT_EQ(placed, want.v);
            EXPECT_TRUE(got->allocatedRect().isContaining(written));
        }

    // Nothing allocated, or scaled to nothing: nothing allocated. Mapped before
    // the target's corner: the rectangle starts at the corner and holds nothing.
    CEL_PixmapAreaRGBA16 empty(12, 10);
    std::unique_ptr<CEL_PixmapAreaRGBA16> r(CelAlgo::scale(&empty, 6, 5, -1, -1, -1, -1));
    EXPECT_EQ(r->size(), Math::Size2di(6, 5));
    EXPECT_TRUE(r->allocatedRect().hasNullArea());
    CEL_PixmapAreaRGBA16 corner(12, 10);
    corner.realloc(Math::Box2di(0, 0, 2, 2), false);
    std::fill(corner.data(), corner.data() + 4, pixeltest::px16(9, 9, 9, 9));
    r.reset(CelAlgo::scale(&corner, 10, 10, 6.0, 5.0, 1e-9, 1.0));
    EXPECT_TRUE(r->allocatedRect().hasNullArea());
    r.reset(CelAlgo::scale(&corner, 10, 10, 100.0, 100.0, 1.0, 1.0));
    EXPECT_EQ(r->allocatedRect(), Math::Box2di(0, 0, 2, 2));
    EXPECT_EQ(*r->pixel(1, 1), pixeltest::px16(0, 0, 0, 0));
    // Mapped one column before the corner: the rectangle keeps its width, the
    // column that came in from outside is empty.
    r.reset(CelAlgo::scale(&corner, 10, 10, 6.0, 5.0, 1.0, 1.0));
    EXPECT_EQ(r->allocatedRect(), Math::Box2di(0, 0, 2, 2));
    EXPECT_EQ(*r->pixel(0, 1), pixeltest::px16(9, 9, 9, 9));
    EXPECT_EQ(*r->pixel(1, 1), pixeltest::px16(0, 0, 0, 0));
}

TEST(Scale, FailuresAndUnsupportedClasses) {
    const auto message = [](auto call) {
        try {
            call();
        } catch (const CelAlgo::AlgoException& e) {
            return e.what();
        }
        return QString();
    };
    EXPECT_EQ(
        message([] { CelAlgo::scale(static_cast<const CEL_PixmapRGBA16*>(nullptr), 1, 1, 0, 0, 1, 1); }),
        "invalid pointer");
    CEL_PixmapRGBA8 none(0, 3);
    EXPECT_EQ(message([&] { CelAlgo::scale(&none, 1, 1, 0, 0, 1, 1); }), "invalid pointer");
    CEL_PixmapAreaRGBAFloat floats(4, 4);
    EXPECT_EQ(CelAlgo::scale(static_cast<const CEL_Pixmap*>(&floats), 2, 2, -1, -1, -1, -1), nullptr);
    CEL_PixmapMatte8 matte(4, 4);
    std::unique_ptr<CEL_Pixmap> any(
        CelAlgo::scale(static_cast<const CEL_Pixmap*>(&matte), 2, 2, -1, -1, -1, -1));
    EXPECT_TRUE(dynamic_cast<CEL_PixmapMatte8*>(any.get()));

    // A buffer that cannot be had: the message, and a cleared picture of the source's size.
    CEL_PixmapRGBA16 src(8, 8);
    std::fill(src.data(), src.data() + 64, pixeltest::px16(1, 2, 3, 4));
    QXMessage::Capture capture;
    const pixeltest::ByteCap cap(64 * 8);
    const std::unique_ptr<CEL_PixmapRGBA16> big(CelAlgo::scale(&src, 100, 100, -1, -1, -1, -1));
    EXPECT_EQ(big->size(), Math::Size2di(8, 8));
    EXPECT_EQ(fieldsOf(*big).v, std::vector<int>(64 * 4, 0));
    ASSERT_EQ(capture.records().size(), 1u);
    EXPECT_EQ(capture.records()[0].source, "Failed to allocate memory while scaling bitmap.");
    EXPECT_EQ(capture.records()[0].action, 6);
}
