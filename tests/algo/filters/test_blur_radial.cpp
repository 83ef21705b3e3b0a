// The isotropic blur against direct double sums, the pixmap forms against the
// channel function, and results at 1, 2 and 8 threads.

#include <tbb/task_arena.h>

#include "algo/composite/AlgoException.h"
#include "algo/composite/test_composite_util.h"
#include "algo/filters/Blur.h"
#include "algo/filters/BlurDetail.h"
#include "pixel/PixmapCanvas.h"

using namespace comptest;
using namespace CelAlgo;

namespace {

// One box pass with direct sums: (H + V + frac * E) * k, taps clamped to the plane.
std::vector<float> referencePass(const std::vector<float>& in, int w, int h, double r) {
    const int n = int(std::floor(r));
    const double frac = r - n, k = float(1.0 / ((2.0 * r + 1.0) * 2.0));
    const auto at = [&](long x, long y) {
        x = std::clamp<long>(x, 0, w - 1), y = std::clamp<long>(y, 0, h - 1);
        return double(in[std::size_t(y * w + x)]);
    };
    std::vector<float> out(in.size());
    for (long y = 0; y < h; ++y)
        for (long x = 0; x < w; ++x) {
            double hs = 0.0, vs = 0.0;
            for (long j = -n; j <= n; ++j) hs += at(x + j, y), vs += at(x, y + j);
            const double e = ((at(x - n - 1, y) + at(x + n + 1, y)) + at(x, y - n - 1)) + at(x, y + n + 1);
            out[std::size_t(y * w + x)] = float(((hs + vs) + frac * e) * k);
        }
    return out;
}

int16_t toShort(float v) {
    return int16_t(std::min(std::trunc(double(v) + 0.5), 32767.0));
}

std::vector<float> integerPlane(std::mt19937& rng, int w, int h) {
    std::vector<float> p(std::size_t(w) * h);
    for (float& v : p) v = float(int(rng() % 65535) - 32767);
    return p;
}

// Each field of p, over its whole allocation, through radialBlurChannel.
void blurFieldsByChannel(Pixmap& p, double r, int passes, bool alphaOnly) {
    const int w = p.allocatedWidth(), h = p.allocatedHeight();
    std::vector<float> a(std::size_t(w) * h), b(a.size()), line(static_cast<std::size_t>(w));
    for (int f = alphaOnly ? 3 : 0; f < 4; ++f)
        radialBlurChannel(w, reinterpret_cast<short*>(p.data()) + f, r, 0, w - 1, 0, h - 1, a.data(),
                          b.data(), line.data(), passes);
}

} // namespace

// Planes of one band (streamed or ping-pong), of several bands (in place after an
// even number of passes) and narrower than the radius: one pass equals the direct
// sums bit for bit on integer input, several stay within one step after rounding.
TEST(RadialBlur, FloatPassesMatchDirectSums) {
    struct Case {
        int w, h;
        double r;
        int passes;
    };
    const Case cases[] = {{23, 17, 2.5, 1}, {41, 300, 1.0, 1}, {41, 300, 1.5, 2}, {37, 300, 1.25, 8},
                          {19, 20, 4.0, 8}, {3, 40, 5.5, 3},   {30, 31, 0.0, 1}};
    std::mt19937 rng(7);
    for (const Case& c : cases) {
        const std::vector<float> input = integerPlane(rng, c.w, c.h);
        std::vector<float> want = input;
        for (int p = 0; p < c.passes; ++p) want = referencePass(want, c.w, c.h, c.r);
        std::vector<float> a = input, b(input.size()), line(static_cast<std::size_t>(c.w));
        radialBlurFloat(a.data(), b.data(), line.data(), c.w, c.h, c.r, c.passes);
        const std::vector<float>& got = c.passes % 2 ? b : a;
        for (std::size_t i = 0; i < got.size(); ++i) {
            if (c.passes == 1)
                ASSERT_EQ(got[i], want[i]) << c.w << "x" << c.h << " r " << c.r << " at " << i;
            else
                ASSERT_NEAR(toShort(got[i]), toShort(want[i]), 1)
                    << c.w << "x" << c.h << " r " << c.r << " at " << i;
        }
    }
    // With n = 0 a plane of one column is left as it is.
    std::vector<float> column = integerPlane(rng, 1, 12), a = column, b(12);
    radialBlurFloat(a.data(), b.data(), nullptr, 1, 12, 0.7, 3);
    EXPECT_EQ(b, column);
}

// The pixmap forms are the channel function on the grown allocation: area pixmaps
// partly off the canvas lose the outside part, canvas pixmaps blur the grown box of
// their content only. The area case has two bands and an odd width, and runs each
// form of the four-lane rows (portable, AVX2, AVX-512 where the processor has them).
TEST(RadialBlur, PixmapFormsAreTheChannelFunctionOnTheGrownRegion) {
    std::mt19937 rng(11);
    for (const bool alphaOnly : {false, true})
        for (const int level : {0, 1, 2}) {
            PixmapPtr p = randomPixmap(rng, 90, 300, Math::Box2di(-10, 5, 61, 300));
            PixmapPtr want(p->clone());
            want->realloc(Math::Box2di::fromCorners(0, 0, 63, 300), true); // grown by ceil(2.5) * 4
            blurFieldsByChannel(*want, 2.5, 3, alphaOnly);
            blurdetail::setKernelLevelCapForTesting(level);
            radialBlur(p.get(), 2.5, 3, alphaOnly);
            blurdetail::setKernelLevelCapForTesting(2);
            EXPECT_TRUE(samePixels(*p, *want))
                << (alphaOnly ? "alpha only" : "all fields") << ", level " << level;
        }

    CEL_PixmapRGBA16 canvas(120, 80);
    for (int y = 30; y < 40; ++y)
        for (int x = 50; x < 56; ++x) *canvas.pixel(x, y) = randomPixel(rng);
    *canvas.pixel(50, 30) = Pixel{100, 200, 300, 32767}; // corners of the content's box
    *canvas.pixel(55, 39) = Pixel{0, 0, 0, -5};
    const CEL_PixmapRGBA16 before(canvas);
    radialBlur(&canvas, 1.5, 2, false); // box (50, 30)-(56, 40) grown by 2 * 3
    Pixmap region(120, 80);
    const Math::Box2di box = Math::Box2di::fromCorners(44, 24, 62, 46);
    region.realloc(box, true);
    for (int y = box.y1(); y < box.y2(); ++y)
        for (int x = box.x1(); x < box.x2(); ++x) *region.pixel(x, y) = *before.pixel(x, y);
    blurFieldsByChannel(region, 1.5, 2, false);
    for (int y = 0; y < 80; ++y)
        for (int x = 0; x < 120; ++x) {
            const Pixel want = box.isContaining(x, y) ? *region.pixel(x, y) : *before.pixel(x, y);
            ASSERT_EQ(*canvas.pixel(x, y), want) << x << ", " << y;
        }

    CEL_PixmapRGBA16 empty(64, 64); // no content: nothing to blur
    radialBlur(&empty, 5.0, QUALITY_FOUR_PASSES, 0.0, false);
    EXPECT_EQ(empty.data()[64 * 32 + 32], (Pixel{0, 0, 0, 0}));
}

TEST(RadialBlur, SameResultAtAnyThreadCount) {
    std::mt19937 rng(5);
    PixmapPtr src = randomPixmap(rng, 640, 700, Math::Box2di(0, 0, 640, 700)); // five bands at q0, r 3
    PixmapPtr first;
    for (const int threads : {1, 2, 8, 0}) {
        tbb::task_arena arena(std::max(threads, 1));
        detail::setSerialForTesting(threads == 0);
        PixmapPtr got(src->clone());
        arena.execute([&] { radialBlur(got.get(), 3.0, QUALITY_FOUR_PASSES, 0.0, false); });
        detail::setSerialForTesting(false);
        if (!first)
            first = std::move(got);
        else
            EXPECT_TRUE(samePixels(*got, *first)) << threads << " threads";
    }
}

TEST(RadialBlur, QualityFormsUniformContentAndGuards) {
    std::mt19937 rng(3);
    PixmapPtr src = randomPixmap(rng, 50, 40, Math::Box2di(5, 5, 30, 25));
    PixmapPtr q1(src->clone()), plain(src->clone()), scaled(src->clone()), other(src->clone());
    radialBlur(q1.get(), 10.0, QUALITY_EIGHT_PASSES, 0.0, false);
    radialBlur(plain.get(), 4.0, 8, false);
    EXPECT_TRUE(samePixels(*q1, *plain));
    radialBlur(scaled.get(), 5.0, QUALITY_EIGHT_PASSES, 2.0, false); // the factor doubles the radius
    EXPECT_TRUE(samePixels(*scaled, *plain));
    radialBlur(other.get(), 10.0, Quality(2), 0.0, false);
    EXPECT_TRUE(samePixels(*other, *src));
    EXPECT_THROW(radialBlur(static_cast<Pixmap*>(nullptr), 1.0, QUALITY_FOUR_PASSES, 0.0, false),
                 AlgoException);

    for (const double r : {2.25, 10.6}) { // weights summing to one in float
        Pixmap uniform(40, 30);
        uniform.realloc(uniform.canvasRect(), true);
        for (int i = 0; i < 40 * 30; ++i) uniform.data()[i] = Pixel{1000, 2000, 32767, 30000};
        PixmapPtr before(uniform.clone());
        radialBlur(&uniform, r, QUALITY_FOUR_PASSES, 0.0, false);
        EXPECT_TRUE(samePixels(uniform, *before)) << "radius " << r;
    }

    // Radii and passes that do nothing, and a radius far larger than the pixmap.
    PixmapPtr p(src->clone());
    for (const double r : {0.0, -2.0, std::nan("")}) radialBlur(p.get(), r, 4, false);
    radialBlur(p.get(), 3.0, 0, false);
    EXPECT_TRUE(samePixels(*p, *src));
    radialBlur(p.get(), 1e9, 4, false);
    EXPECT_EQ(p->allocatedRect(), p->canvasRect());
    float plane[4] = {};
    EXPECT_THROW(radialBlurChannel(2, nullptr, 1.0, 0, 1, 0, 1, plane, plane, plane, 1), AlgoException);
}

// The radius for sigma makes four passes spread a one-pixel line to a profile of
// variance sigma^2 (the line runs the full height, so only the spread across counts).
TEST(RadialBlur, RadiusForSigmaGivesTheVariance) {
    EXPECT_NEAR(radialRadiusForSigma(std::sqrt(48.0)), 8.0, 1e-9);
    EXPECT_EQ(radialRadiusForSigma(0.0), 0.0);
    for (const double sigma : {1.5, 3.0, 6.93, 12.0}) {
        Pixmap p(241, 9);
        p.realloc(p.canvasRect(), true);
        for (int y = 0; y < 9; ++y) *p.pixel(120, y) = Pixel{0, 0, 0, 32767};
        radialBlur(&p, radialRadiusForSigma(sigma), QUALITY_FOUR_PASSES, 0.0, false);
        double sum = 0.0, moment = 0.0;
        for (int x = 0; x < 241; ++x) {
            sum += p.pixel(x, 4)->a;
            moment += p.pixel(x, 4)->a * double(x - 120) * (x - 120);
        }
        EXPECT_NEAR(moment / sum, sigma * sigma, 0.01 * sigma * sigma) << "sigma " << sigma;
    }
}
