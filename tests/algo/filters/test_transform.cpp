// CelAlgo::scale against a plain implementation of its formulas written here (double,
// one target field at a time, pixels outside the source as 0); applyMatrix (the affine
// path through scale, the projective one through the renderer), applyMatrixAndTiling,
// preFlip and copyZWithScale.

#include "algo/composite/test_composite_util.h"
#include "algo/filters/Transform.h"
#include "base/Message.h"
#include "cel/VectorQvd.h"
#include "pixel/PixelTestUtil.h"
#include "pixel/PixmapCanvas.h"

namespace {

constexpr double kBias[4] = {0.49, 0.52, 0.49, 0.5};

// A picture as fields: w x h pixels of F ints.
struct Fields {
    int w = 0, h = 0, F = 4;
    std::vector<int> v;
    bool operator==(const Fields&) const = default;
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

using Math::Matrix4x4;

// 16-bit pixels within -32767 ... 32767, the range a renderer colour can hold.
std::unique_ptr<CEL_PixmapRGBA16> random16(std::mt19937& rng, int w, int h) {
    auto p = std::make_unique<CEL_PixmapRGBA16>(w, h);
    std::uniform_int_distribution<int> v(-32767, 32767);
    for (long long i = 0; i < (long long)w * h; ++i)
        p->data()[i] = pixeltest::px16(v(rng), v(rng), v(rng), v(rng));
    return p;
}

template <class P> std::unique_ptr<P> own(CEL_Pixmap* p) {
    auto* q = dynamic_cast<P*>(p);
    EXPECT_TRUE(q) << "unexpected class";
    if (!q) delete p;
    return std::unique_ptr<P>(q);
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
        ASSERT_EQ(fieldsOf(*got), want)
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
    // trunc after the bias: a pass that maps pixels onto themselves still turns
    // -100 into -99, so only a skipped pass keeps them.
    CEL_PixmapRGBA16 neg(3, 2);
    std::fill(neg.data(), neg.data() + 6, pixeltest::px16(-100, 100, -100, -100));
    // Horizontal axis right, vertical pass with factor 1 into a taller target.
    const std::unique_ptr<CEL_PixmapRGBA16> taller(CelAlgo::scale(&neg, 3, 4, 1.5, 1.0, 1.0, 1.0, &written));
    EXPECT_EQ(*taller->pixel(0, 0), pixeltest::px16(0, 0, 0, 0));
    EXPECT_EQ(*taller->pixel(2, 1), pixeltest::px16(-99, 100, -99, -99));
    EXPECT_EQ(written, Math::Box2di(0, 1, 3, 2));
    // Vertical axis right, horizontal pass with factor 1 into a wider target.
    const std::unique_ptr<CEL_PixmapRGBA16> wider(CelAlgo::scale(&neg, 5, 2, 1.5, 1.0, 1.0, 1.0, &written));
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
    EXPECT_EQ(comptest::thrownText(
                  [] { CelAlgo::scale(static_cast<const CEL_PixmapRGBA16*>(nullptr), 1, 1, 0, 0, 1, 1); }),
              "invalid pointer");
    CEL_PixmapRGBA8 none(0, 3);
    EXPECT_EQ(comptest::thrownText([&] { CelAlgo::scale(&none, 1, 1, 0, 0, 1, 1); }), "invalid pointer");
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
    EXPECT_EQ(fieldsOf(*big), (Fields{8, 8, 4, std::vector<int>(64 * 4, 0)}));
    ASSERT_EQ(capture.records().size(), 1u);
    EXPECT_EQ(capture.records()[0].source, "Failed to allocate memory while scaling bitmap.");
    EXPECT_EQ(capture.records()[0].action, 6);
}

// The affine path: a matrix that only scales and moves gives what scale()
// gives with the matching centre and factors (all values here are exact in
// binary, so the two parameter sets are equal to the last bit).
TEST(ApplyMatrix, ScalingMatrixEqualsScale) {
    std::mt19937 rng(1);
    const auto src = random16(rng, 64, 32);
    // Plane x spans -2 ... 2 (64 / 32 * 2 / 2), y -1 ... 1; output 64 x 32.
    Math::Box2di written;
    auto got = own<CEL_PixmapRGBA16>(CelAlgo::applyMatrix(src.get(), Matrix4x4::scaling(0.5, 0.5),
                                                          Math::Size2di(64, 32), Math::Box2di(0, 0, 64, 32),
                                                          -1, -1, &written));
    std::unique_ptr<CEL_PixmapRGBA16> want(CelAlgo::scale(src.get(), 64, 32, 32.0, 16.0, 1.0, 0.5));
    EXPECT_EQ(fieldsOf(*got), fieldsOf(*want));
    EXPECT_EQ(written, Math::Box2di(0, 8, 64, 16));

    // Moved and enlarged, into a window of a larger picture:
    // x: ((px - 32) / 16 * 2 + 0.5) * 64 + 64 - 16 = 8 (px - 32) + 80, which puts px = 28 at 48;
    // y: ((py - 16) / 16 * 2 + 0.25) * 32 + 32 - 8 = 4 (py - 16) + 32, which puts py = 14 at 24.
    const Matrix4x4 m = Matrix4x4::translation(0.5, -0.25) * Matrix4x4::scaling(2.0, 2.0);
    got = own<CEL_PixmapRGBA16>(
        CelAlgo::applyMatrix(src.get(), m, Math::Size2di(128, 64), Math::Box2di(16, 8, 96, 48)));
    want.reset(CelAlgo::scale(src.get(), 96, 48, 28.0, 14.0, 8.0, 4.0));
    EXPECT_EQ(fieldsOf(*got), fieldsOf(*want));

    // The other classes take the same path.
    CEL_PixmapMatte8 matte(64, 32);
    std::fill(matte.data(), matte.data() + 64 * 32, 200);
    auto gotMatte = own<CEL_PixmapMatte8>(CelAlgo::applyMatrix(
        &matte, Matrix4x4::identity(), Math::Size2di(32, 32), Math::Box2di(0, 0, 32, 32)));
    ASSERT_TRUE(gotMatte);
    EXPECT_EQ(gotMatte->size(), Math::Size2di(32, 32));
    EXPECT_EQ(*gotMatte->pixel(16, 16), 200);

    // A depth outside -1 ... 1: a cleared picture of the window's size.
    got = own<CEL_PixmapRGBA16>(CelAlgo::applyMatrix(src.get(), Matrix4x4::translation(0, 0, 1.5),
                                                     Math::Size2di(64, 32), Math::Box2di(0, 0, 20, 10)));
    EXPECT_EQ(fieldsOf(*got), (Fields{20, 10, 4, std::vector<int>(800, 0)}));
}

// The projective path: quarter turns and mirrors land every pixel on one
// output pixel, so they equal the lossless flips exactly.
TEST(ApplyMatrix, TurnsAndMirrorsEqualTheLosslessFlips) {
    std::mt19937 rng(2);
    const int w = 7, h = 4;
    const auto src = random16(rng, w, h);
    struct Case {
        double affine[6];
        bool swap, t, a, b;
    };
    const Case cases[] = {
        {{0, -1, double(h), 1, 0, 0}, true, true, true, true},   // a quarter turn clockwise
        {{0, 1, 0, -1, 0, double(w)}, true, true, false, false}, // counter-clockwise
        {{-1, 0, double(w), 0, -1, double(h)}, false, false, true, true},
        {{-1, 0, double(w), 0, 1, 0}, false, false, false, true}, // mirror left-right
        {{0, 1, 0, 1, 0, 0}, true, true, true, false},            // transpose
    };
    for (const Case& c : cases) {
        const Math::Size2di out = c.swap ? Math::Size2di(h, w) : Math::Size2di(w, h);
        const Matrix4x4 m = CelAlgo::pixelMatrix(c.affine, w, h, out);
        auto got = own<CEL_PixmapRGBA16>(
            CelAlgo::applyMatrix(src.get(), m, out, Math::Box2di(Math::Point2di(0, 0), out)));
        std::unique_ptr<CEL_PixmapRGBA16> flipped(src->clone());
        CelAlgo::preFlip(flipped.get(), c.t, c.a, c.b);
        EXPECT_EQ(fieldsOf(*got), fieldsOf(*flipped)) << c.affine[0] << " " << c.affine[1];
    }
}

TEST(ApplyMatrix, GeneralMatricesStayInBoundsAndIndependentOfThreads) {
    auto src = std::make_unique<CEL_PixmapRGBA16>(160, 120);
    std::fill(src->data(), src->data() + 160 * 120, pixeltest::px16(20000, 10000, 5000, 32767));
    const double turn = 30.0 * 3.14159265358979 / 180.0;
    const double c = std::cos(turn), s = std::sin(turn);
    const double rotate[6] = {c, -s, 80 - 80 * c + 60 * s, s, c, 60 - 80 * s - 60 * c};
    Matrix4x4 perspective = CelAlgo::pixelMatrix(rotate, 160, 120, Math::Size2di(160, 120));
    perspective(3, 1) = 1.2; // w falls to 0 a little above the picture's middle: the top is behind the eye
    const Matrix4x4 matrices[] = {CelAlgo::pixelMatrix(rotate, 160, 120, Math::Size2di(160, 120)),
                                  perspective};
    for (const Matrix4x4& m : matrices) {
        Math::Box2di written;
        CelAlgo::detail::setSerialForTesting(true);
        auto serial = own<CEL_PixmapRGBA16>(
            CelAlgo::applyMatrix(src.get(), m, Math::Size2di(160, 120), Math::Box2di(0, 0, 160, 120)));
        CelAlgo::detail::setSerialForTesting(false);
        auto parallel = own<CEL_PixmapRGBA16>(CelAlgo::applyMatrix(
            src.get(), m, Math::Size2di(160, 120), Math::Box2di(0, 0, 160, 120), -1, -1, &written));
        EXPECT_EQ(fieldsOf(*serial), fieldsOf(*parallel));
        EXPECT_TRUE(Math::Box2di(0, 0, 160, 120).isContaining(written));
        // Averages of a uniform colour keep its proportions; transparent
        // outside; the centre is covered.
        long long covered = 0;
        for (long long i = 0; i < 160 * 120; ++i) {
            const CEL_PixelRGBA16& p = parallel->data()[i];
            ASSERT_GE(p.a, 0);
            ASSERT_LE(std::abs(p.r - 2 * p.g), 2);
            covered += p.a == 32767;
        }
        EXPECT_GT(covered, 0);
    }
    // Nothing to see: a singular plane, a matrix of zeros.
    Matrix4x4 edgeOn;
    edgeOn(0, 0) = edgeOn(1, 0) = 1.0, edgeOn(0, 1) = edgeOn(1, 1) = 1.0;
    Matrix4x4 zeros = Matrix4x4::scaling(0, 0, 0);
    zeros(3, 3) = 0.0;
    for (const Matrix4x4& m : {edgeOn, zeros}) {
        auto got = own<CEL_PixmapRGBA16>(
            CelAlgo::applyMatrix(src.get(), m, Math::Size2di(16, 16), Math::Box2di(-3, -3, 16, 16)));
        EXPECT_TRUE(std::all_of(got->data(), got->data() + 256, [](const auto& p) { return p.isBlack(); }));
    }
    const CEL_PixmapAreaRGBA16 area(2, 2);
    EXPECT_EQ(CelAlgo::applyMatrix(static_cast<const CEL_Pixmap*>(&area), Matrix4x4(), Math::Size2di(2, 2),
                                   Math::Box2di(0, 0, 2, 2)),
              nullptr);
    EXPECT_THROW(CelAlgo::applyMatrix(static_cast<const CEL_Pixmap*>(nullptr), Matrix4x4(),
                                      Math::Size2di(2, 2), Math::Box2di(0, 0, 2, 2)),
                 CelAlgo::AlgoException);
    // A vector drawing keeps the matrix, applied after its own.
    EXPECT_FALSE(CelAlgo::applyMatrix(static_cast<CELVEC_Qvd*>(nullptr), Matrix4x4()));
    CELVEC_Qvd drawing;
    drawing.setTransMatrix(Matrix4x4::scaling(2.0, 3.0));
    EXPECT_TRUE(CelAlgo::applyMatrix(&drawing, Matrix4x4::translation(1.0, 0.0)));
    EXPECT_EQ(drawing.getTransMatrix(), Matrix4x4::translation(1.0, 0.0) * Matrix4x4::scaling(2.0, 3.0));
}

// tiling1 repeats along x, tiling2 along y.
TEST(ApplyMatrixAndTiling, RepeatsTheSourceAlongTheChosenAxes) {
    std::mt19937 rng(4);
    const auto src = random16(rng, 3, 2);
    const double identity[6] = {1, 0, 0, 0, 1, 0};
    const Matrix4x4 m = CelAlgo::pixelMatrix(identity, 3, 2, Math::Size2di(7, 5));
    for (int mode = 0; mode < 4; ++mode) {
        const bool alongX = mode & 1, alongY = mode & 2;
        auto got = own<CEL_PixmapRGBA16>(CelAlgo::applyMatrixAndTiling(
            src.get(), m, Math::Size2di(7, 5), Math::Box2di(0, 0, 7, 5), alongX, alongY));
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < 7; ++x) {
                const bool inside = (alongX || x < 3) && (alongY || y < 2);
                const CEL_PixelRGBA16 want = inside ? *src->pixel(x % 3, y % 2) : pixeltest::px16(0, 0, 0, 0);
                ASSERT_EQ(*got->pixel(x, y), want) << mode << " at " << x << "," << y;
            }
    }
    auto none = own<CEL_PixmapRGBA16>(CelAlgo::applyMatrixAndTiling(src.get(), m, Math::Size2di(7, 5),
                                                                    Math::Box2di(0, 0, -4, 5), true, true));
    EXPECT_EQ(none->width(), 0);
    CEL_PixmapRGBA8 eight(3, 2);
    EXPECT_EQ(
        CelAlgo::applyMatrixAndTiling(&eight, m, Math::Size2di(7, 5), Math::Box2di(0, 0, 7, 5), true, true),
        nullptr);
}

TEST(PreFlip, EveryRowOfTheTableForEveryClass) {
    const auto check = [](auto& p) {
        using P = std::remove_reference_t<decltype(p)>;
        const int w = p.width(), h = p.height();
        for (int k = 1; k < 8; ++k) {
            const bool t = k & 4, a = k & 2, b = k & 1;
            std::unique_ptr<P> q(p.clone());
            CelAlgo::preFlip(q.get(), t, a, b);
            ASSERT_EQ(q->size(), t ? Math::Size2di(h, w) : Math::Size2di(w, h));
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x) {
                    int col = b ? w - 1 - x : x, row = a ? h - 1 - y : y;
                    if (t) {
                        col = b ? h - 1 - y : y;
                        row = a ? x : w - 1 - x;
                    }
                    ASSERT_EQ(std::memcmp(q->pixel(col, row), p.pixel(x, y), sizeof(*p.data())), 0)
                        << k << " at " << x << "," << y;
                }
        }
        const auto* before = p.data();
        CelAlgo::preFlip(&p, false, false, false);
        EXPECT_EQ(p.data(), before);
    };
    std::mt19937 rng(5);
    // Wide enough for the transposition's blocks and the row split.
    for (const auto& [w, h] : {std::pair{5, 3}, std::pair{140, 130}}) {
        check(*randomPixmap<CEL_PixmapRGBA16>(rng, w, h));
        check(*randomPixmap<CEL_PixmapRGBA8>(rng, w, h));
        check(*randomPixmap<CEL_PixmapMatte16>(rng, w, h));
        check(*randomPixmap<CEL_PixmapMatte8>(rng, w, h));
    }
    CEL_PixmapAreaRGBA16 other(4, 4);
    CelAlgo::preFlip(static_cast<CEL_Pixmap*>(&other), true, false, false);
    EXPECT_EQ(other.size(), Math::Size2di(4, 4));
    EXPECT_THROW(CelAlgo::preFlip(static_cast<CEL_Pixmap*>(nullptr), true, true, true),
                 CelAlgo::AlgoException);
}

// Depth is copied by the nearest sample, never averaged.
TEST(CopyZWithScale, NearestSampleBetweenAllocatedSizes) {
    CEL_PixmapAreaZ src(8, 8), dst(8, 8);
    src.realloc(Math::Box2di(1, 1, 2, 2), false);
    const float depths[4] = {1.0f, 2.0f, 3.0f, 4.0f};
    for (int i = 0; i < 4; ++i) src.data()[i] = depths[i];
    src.setZRange(1.0, 4.0);
    dst.realloc(Math::Box2di(0, 0, 4, 4), false);
    CelAlgo::copyZWithScale(&dst, &src);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) EXPECT_EQ(**dst.pixel(x, y), depths[(y / 2) * 2 + x / 2]);
    double lo = 0, hi = 0;
    dst.getZRange(lo, hi);
    EXPECT_EQ(lo, 1.0);
    EXPECT_EQ(hi, 4.0);

    CEL_PixmapAreaZ small(8, 8);
    small.realloc(Math::Box2di(0, 0, 1, 3), false);
    CelAlgo::copyZWithScale(&small, &dst);
    // Column (2 * 0 + 1) * 4 / 2 = 2; rows (2j + 1) * 4 / 6 = 0, 2, 3.
    EXPECT_EQ(**small.pixel(0, 0), 2.0f);
    EXPECT_EQ(**small.pixel(0, 1), 4.0f);

    CEL_PixmapAreaZ nothing(8, 8);
    CelAlgo::copyZWithScale(&dst, &nothing); // an empty source clears
    EXPECT_EQ(*dst.data()[5], CEL_PixelFloat::Zero);
    CelAlgo::copyZWithScale(&nothing, &src); // no storage to fill: nothing happens
    EXPECT_THROW(CelAlgo::copyZWithScale(nullptr, &src), CelAlgo::AlgoException);
}
