#include <tbb/task_arena.h>

#include "algo/composite/test_composite_util.h"
#include "algo/filters/MotionBlur.h"
#include "pixel/PixelTestUtil.h"

using namespace CelAlgo;
using namespace comptest;

namespace {

// A kernel canvas of cw x ch allocated to alloc, alpha from f(x, y) (canvas coordinates).
template <class F> PixmapPtr makeKernel(int cw, int ch, const Math::Box2di& alloc, const F& f) {
    auto k = std::make_unique<Pixmap>(cw, ch);
    k->realloc(alloc, true);
    for (int y = alloc.y1(); y < alloc.y2(); ++y)
        for (int x = alloc.x1(); x < alloc.x2(); ++x) k->pixel(x, y)->a = int16_t(f(x, y));
    return k;
}

PixmapPtr blur(Pixmap* src, Pixmap* kernel, const Math::Box2di& canvas, bool clampNegative = false) {
    return PixmapPtr(motionBlur(src, kernel, canvas, 1.0, clampNegative));
}

// The value at canvas (x, y) of the blurred field, or 0 outside the allocation.
int16_t at(const Pixmap& p, int x, int y, int f) {
    return p.allocatedRect().isContaining(x, y) ? field(*p.pixel(x, y), f) : int16_t(0);
}

} // namespace

TEST(MotionBlur, MatchesADirectConvolution) {
    std::mt19937 rng(5);
    for (int trial = 0; trial < 4; ++trial) {
        auto src = comptest::randomPixmap(rng, 40, 30, Math::Box2di(3 + trial, 2, 29, 21));
        // An off-centre kernel with positive and a few negative weights; the
        // last one a single row (convolved along rows only).
        const int kw = 7 + trial, kh = trial == 3 ? 1 : 5;
        auto kernel = makeKernel(kw, kh, Math::Box2di(1, 0, kw - 1, kh), [&](int, int) {
            const int v = int(rng() % 3000);
            return rng() % 5 == 0 ? -v / 3 : v;
        });
        auto out = blur(src.get(), kernel.get(), Math::Box2di(-20, -20, 100, 100));
        int64_t sum = 0;
        for (int64_t i = 0; i < kernel->allocatedArea(); ++i) sum += kernel->data()[i].a;
        ASSERT_NE(sum, 0);
        const Math::Box2di& r = out->allocatedRect();
        // left = kw / 2 - 1, right = kw - 1 - kw / 2 + 1.
        EXPECT_EQ(r, Math::Box2di::fromCorners(src->allocatedX1() - (kw / 2 - 1), src->allocatedY1() - kh / 2,
                                               src->allocatedX2() + (kw - kw / 2),
                                               src->allocatedY2() + kh - kh / 2));
        int ties = 0;
        for (int y = r.y1(); y < r.y2(); ++y)
            for (int x = r.x1(); x < r.x2(); ++x)
                for (int f = 0; f < 4; ++f) {
                    int64_t num = 0; // sum of K(d) * src(p - d), d relative to the kernel's centre
                    for (int ky = 0; ky < kh; ++ky)
                        for (int kx = 1; kx < kw; ++kx) {
                            const int sx = x - (kx - kw / 2), sy = y - (ky - kh / 2);
                            if (src->allocatedRect().isContaining(sx, sy))
                                num += int64_t(kernel->pixel(kx, ky)->a) * field(*src->pixel(sx, sy), f);
                        }
                    const double exact = double(num) / double(sum);
                    const double expect = std::clamp(std::round(exact), -32767.0, 32767.0);
                    const double got = field(*out->pixel(x, y), f);
                    if (std::fabs(std::fabs(exact - std::trunc(exact)) - 0.5) > 0.01) {
                        ASSERT_EQ(got, expect) << x << "," << y << " field " << f << " exact " << exact;
                    } else {
                        ++ties;
                        ASSERT_NEAR(got, expect, 1.0);
                    }
                }
        EXPECT_LT(ties, r.area() / 10);
    }
}

TEST(MotionBlur, NegativeWeightsAndTheClamp) {
    auto src = std::make_unique<Pixmap>(16, 1);
    src->realloc(Math::Box2di(4, 0, 1, 1), true);
    *src->data() = Pixel{20000, 20000, 20000, 20000};
    // Weight 2 at the origin, -1 one to the right: sum 1.
    auto kernel = makeKernel(3, 1, Math::Box2di(1, 0, 2, 1), [](int x, int) { return x == 1 ? 2 : -1; });
    auto kept = blur(src.get(), kernel.get(), src->canvasRect(), false);
    EXPECT_EQ(at(*kept, 4, 0, 0), 32767); // 40000 saturated
    EXPECT_EQ(at(*kept, 5, 0, 3), -20000);
    EXPECT_FALSE(kept->areAllPositive());
    auto clamped = blur(src.get(), kernel.get(), src->canvasRect(), true);
    EXPECT_EQ(at(*clamped, 5, 0, 3), 0);
    EXPECT_TRUE(clamped->areAllPositive());
    src->setAllPositive(false);
    EXPECT_FALSE(blur(src.get(), kernel.get(), src->canvasRect(), true)->areAllPositive());
}

TEST(MotionBlur, ExtentsOfAOnePixelKernelAndIntensity) {
    std::mt19937 rng(11);
    auto src = comptest::randomPixmap(rng, 20, 20, Math::Box2di(2, 3, 10, 7));
    auto one = makeKernel(1, 1, Math::Box2di(0, 0, 1, 1), [](int, int) { return 123; });
    auto out = blur(src.get(), one.get(), src->canvasRect());
    // One column and row more than the source, though the kernel reaches nowhere.
    EXPECT_EQ(out->allocatedRect(), Math::Box2di(2, 3, 11, 8));
    EXPECT_EQ(*out->pixel(12, 5), (Pixel{0, 0, 0, 0}));
    // The intensity goes through increaseIntensity: a half turns 1000 into 500.
    auto flat = std::make_unique<Pixmap>(4, 4);
    flat->realloc(flat->canvasRect(), true);
    for (int64_t i = 0; i < 16; ++i) flat->data()[i] = Pixel{1000, 1000, 1000, 1000};
    PixmapPtr half(motionBlur(flat.get(), one.get(), flat->canvasRect(), 0.5, false));
    EXPECT_EQ(*half->pixel(1, 1), (Pixel{500, 500, 500, 500}));
}

TEST(MotionBlur, SameAtAnyThreadCount) {
    std::mt19937 rng(3);
    auto src = comptest::randomPixmap(rng, 300, 90, Math::Box2di(0, 0, 300, 90));
    auto kernel = makeKernel(33, 17, Math::Box2di(0, 0, 33, 17), [&](int, int) { return int(rng() % 500); });
    PixmapPtr a, b;
    tbb::task_arena(1).execute([&] { a = blur(src.get(), kernel.get(), src->canvasRect()); });
    tbb::task_arena(2).execute([&] { b = blur(src.get(), kernel.get(), src->canvasRect()); });
    EXPECT_TRUE(comptest::samePixels(*a, *b));
}

TEST(MotionBlur, BadInput) {
    auto src = std::make_unique<Pixmap>(8, 8);
    auto kernel = makeKernel(3, 3, Math::Box2di(0, 0, 3, 3), [](int, int) { return 1; });
    EXPECT_THROW(motionBlur(nullptr, kernel.get(), src->canvasRect(), 1.0, false), AlgoException);
    EXPECT_THROW(motionBlur(src.get(), nullptr, src->canvasRect(), 1.0, false), AlgoException);
    // No pixels: an empty result on the given canvas.
    PixmapPtr empty(motionBlur(src.get(), kernel.get(), Math::Box2di(0, 0, 5, 6), 1.0, false));
    EXPECT_EQ(empty->allocatedArea(), 0);
    EXPECT_EQ(empty->canvasRect(), Math::Box2di(0, 0, 5, 6));
    // The transform arrays are checked against the byte cap before allocating.
    src->realloc(src->canvasRect(), true);
    EXPECT_EQ(thrownText([&] {
                  const pixeltest::ByteCap cap(2 * 16 * 16 * 16 - 1); // 16 x 16 needed
                  delete motionBlur(src.get(), kernel.get(), src->canvasRect(), 1.0, false);
              }),
              "out of memory");
    // A kernel reaching far: W2 over the byte cap, not an overflow.
    auto far = makeKernel(3, 3, Math::Box2di(1 << 29, 0, 1, 1), [](int, int) { return 1; });
    EXPECT_THROW(motionBlur(src.get(), far.get(), src->canvasRect(), 1.0, false), AlgoException);
}
