// applyMatrix (the affine path through scale and the projective path through
// the renderer), applyMatrixAndTiling, preFlip and copyZWithScale.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "algo/composite/AlgoException.h"
#include "algo/composite/CompositeDetail.h"
#include "algo/filters/Transform.h"
#include "cel/VectorQvd.h"
#include "pixel/PixelTestUtil.h"
#include "pixel/PixmapArea.h"
#include "pixel/PixmapCanvas.h"

namespace {

using Math::Matrix4x4;

template <class P> std::unique_ptr<P> randomPixmap(std::mt19937& rng, int w, int h) {
    auto p = std::make_unique<P>(w, h);
    using E = std::remove_pointer_t<decltype(p->data())>;
    auto* bytes = reinterpret_cast<uint8_t*>(p->data());
    for (std::size_t i = 0; i < std::size_t(w) * h * sizeof(E); ++i) bytes[i] = uint8_t(rng());
    return p;
}

// 16-bit pixels within -32767 ... 32767, the range a renderer colour can hold.
std::unique_ptr<CEL_PixmapRGBA16> random16(std::mt19937& rng, int w, int h) {
    auto p = std::make_unique<CEL_PixmapRGBA16>(w, h);
    std::uniform_int_distribution<int> v(-32767, 32767);
    for (long long i = 0; i < (long long)w * h; ++i)
        p->data()[i] = pixeltest::px16(v(rng), v(rng), v(rng), v(rng));
    return p;
}

template <class P>::testing::AssertionResult samePixels(const P& a, const P& b) {
    if (a.size() != b.size())
        return ::testing::AssertionFailure()
               << "sizes " << a.width() << "x" << a.height() << " and " << b.width() << "x" << b.height();
    using E = std::remove_cv_t<std::remove_pointer_t<decltype(a.data())>>;
    const std::size_t n = std::size_t(a.width()) * a.height() * sizeof(E);
    if (n && std::memcmp(a.data(), b.data(), n) != 0) return ::testing::AssertionFailure() << "pixels differ";
    return ::testing::AssertionSuccess();
}

template <class P> std::unique_ptr<P> own(CEL_Pixmap* p) {
    auto* q = dynamic_cast<P*>(p);
    EXPECT_TRUE(q) << "unexpected class";
    if (!q) delete p;
    return std::unique_ptr<P>(q);
}

} // namespace

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
    EXPECT_TRUE(samePixels(*got, *want));
    EXPECT_EQ(written, Math::Box2di(0, 8, 64, 16));

    // Moved and enlarged, into a window of a larger picture:
    // x: ((px - 32) / 16 * 2 + 0.5) * 64 + 64 - 16 = 8 (px - 32) + 80, which puts px = 28 at 48;
    // y: ((py - 16) / 16 * 2 + 0.25) * 32 + 32 - 8 = 4 (py - 16) + 32, which puts py = 14 at 24.
    const Matrix4x4 m = Matrix4x4::translation(0.5, -0.25) * Matrix4x4::scaling(2.0, 2.0);
    got = own<CEL_PixmapRGBA16>(
        CelAlgo::applyMatrix(src.get(), m, Math::Size2di(128, 64), Math::Box2di(16, 8, 96, 48)));
    want.reset(CelAlgo::scale(src.get(), 96, 48, 28.0, 14.0, 8.0, 4.0));
    EXPECT_TRUE(samePixels(*got, *want));

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
    EXPECT_EQ(got->size(), Math::Size2di(20, 10));
    EXPECT_TRUE(
        std::all_of(got->data(), got->data() + 200, [](const CEL_PixelRGBA16& p) { return p.isBlack(); }));
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
        EXPECT_TRUE(samePixels(*got, *flipped)) << c.affine[0] << " " << c.affine[1];
    }
}

TEST(ApplyMatrix, GeneralMatricesStayInBoundsAndIndependentOfThreads) {
    std::mt19937 rng(3);
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
        EXPECT_TRUE(samePixels(*serial, *parallel));
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

TEST(ApplyMatrix, VectorDrawingKeepsTheMatrix) {
    EXPECT_FALSE(CelAlgo::applyMatrix(static_cast<CELVEC_Qvd*>(nullptr), Matrix4x4()));
    CELVEC_Qvd drawing;
    drawing.setTransMatrix(Matrix4x4::scaling(2.0, 3.0));
    EXPECT_TRUE(CelAlgo::applyMatrix(&drawing, Matrix4x4::translation(1.0, 0.0)));
    EXPECT_EQ(drawing.getTransMatrix(), Matrix4x4::translation(1.0, 0.0) * Matrix4x4::scaling(2.0, 3.0));
}
