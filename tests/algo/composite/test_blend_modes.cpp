// Behaviour every blend mode shares with the others of its design: what opacity 0
// does, which pixels are skipped, which region is worked on, and that a whole-image
// call equals one-pixel calls (pixel walk, offsets, the overlay result cache).
#include <gtest/gtest.h>

#include <random>

#include "algo/composite/BlendModes.h"
#include "algo/composite/CompositeDetail.h"
#include "test_blend_util.h"

using namespace blendtest;
using namespace CelAlgo;

namespace {

enum class AtZero { Unchanged, CopiesSource, Computes };
enum class Region { Grow, Intersection };

struct Mode {
    int op;
    const char* name;
    AtZero atZero;
    Region region;
    bool skipsTransparentSource; // a source pixel with alpha 0 (and any colour) leaves dst as it was
};

const Mode kModes[] = {
    {ADD, "ADD", AtZero::Unchanged, Region::Grow, true},
    {SUBTRACT, "SUBTRACT", AtZero::Computes, Region::Grow, true},
    {LIGHTEN, "LIGHTEN", AtZero::Unchanged, Region::Grow, true},
    {DIFFERENCE, "DIFFERENCE", AtZero::Computes, Region::Grow, true},
    {DIVIDE, "DIVIDE", AtZero::Unchanged, Region::Intersection, true},
    {OVERLAY, "OVERLAY", AtZero::Unchanged, Region::Grow, true},
    {SOFTLIGHT, "SOFTLIGHT", AtZero::Unchanged, Region::Grow, true},
    {HARDLIGHT, "HARDLIGHT", AtZero::Unchanged, Region::Grow, true},
    {EXCLUSION, "EXCLUSION", AtZero::Unchanged, Region::Grow, true},
    {MULTIPLY, "MULTIPLY", AtZero::Unchanged, Region::Intersection, true},
    {DARKEN, "DARKEN", AtZero::Unchanged, Region::Grow, false},
    {SCREEN, "SCREEN", AtZero::Computes, Region::Grow, true},
    {INVERT, "INVERT", AtZero::Computes, Region::Grow, true},
    {BURN, "BURN", AtZero::Unchanged, Region::Grow, true},
    {DODGE, "DODGE", AtZero::Unchanged, Region::Grow, true},
    {LINEARLIGHT, "LINEARLIGHT", AtZero::Unchanged, Region::Grow, true},
    {PINLIGHT, "PINLIGHT", AtZero::Unchanged, Region::Grow, true},
    {VIVIDLIGHT, "VIVIDLIGHT", AtZero::Unchanged, Region::Grow, true},
    {HUE, "HUE", AtZero::Unchanged, Region::Grow, true},
    {SATURATION, "SATURATION", AtZero::Unchanged, Region::Grow, true},
    {COLOUR, "COLOUR", AtZero::Unchanged, Region::Grow, true},
    {LUMINOSITY, "LUMINOSITY", AtZero::Unchanged, Region::Grow, true},
    {ADD_legacy, "ADD_legacy", AtZero::Computes, Region::Grow, false},
    {SUBTRACT_legacy, "SUBTRACT_legacy", AtZero::Computes, Region::Grow, true},
    {DIVIDE_legacy, "DIVIDE_legacy", AtZero::Computes, Region::Intersection, true},
    {DIFFERENCE_legacy, "DIFFERENCE_legacy", AtZero::Computes, Region::Grow, true},
    {LIGHTEN_legacy, "LIGHTEN_legacy", AtZero::Computes, Region::Grow, false},
    {SOFTLIGHT_legacy, "SOFTLIGHT_legacy", AtZero::CopiesSource, Region::Grow, true},
    {HARDLIGHT_legacy, "HARDLIGHT_legacy", AtZero::CopiesSource, Region::Grow, true},
    {OVERLAY_legacy, "OVERLAY_legacy", AtZero::CopiesSource, Region::Grow, true},
    {FN_DARKEN, "FN_DARKEN", AtZero::Unchanged, Region::Grow, true},
    {FN_MULTIPLY, "FN_MULTIPLY", AtZero::Unchanged, Region::Grow, true},
    {FN_COLOR_BURN, "FN_COLOR_BURN", AtZero::Unchanged, Region::Grow, true},
    {FN_LINEAR_BURN, "FN_LINEAR_BURN", AtZero::Unchanged, Region::Grow, true},
    {FN_LIGHTEN, "FN_LIGHTEN", AtZero::Unchanged, Region::Grow, true},
    {FN_SCREEN, "FN_SCREEN", AtZero::Unchanged, Region::Grow, true},
    {FN_COLOR_DODGE, "FN_COLOR_DODGE", AtZero::Unchanged, Region::Grow, true},
    {FN_LINEAR_DODGE, "FN_LINEAR_DODGE", AtZero::Unchanged, Region::Grow, true},
    {FN_OVERLAY, "FN_OVERLAY", AtZero::Unchanged, Region::Grow, true},
    {FN_SOFTLIGHT_KEEP_DST_ALPHA, "FN_SOFTLIGHT_KEEP_DST_ALPHA", AtZero::Unchanged, Region::Grow, true},
    {FN_SOFTLIGHT, "FN_SOFTLIGHT", AtZero::Unchanged, Region::Grow, true},
    {FN_HARDLIGHT, "FN_HARDLIGHT", AtZero::Unchanged, Region::Grow, true},
    {FN_EXCLUSION, "FN_EXCLUSION", AtZero::Unchanged, Region::Grow, true},
    {FN_SUBTRACT, "FN_SUBTRACT", AtZero::Unchanged, Region::Grow, true},
    {FN_DIVIDE, "FN_DIVIDE", AtZero::Unchanged, Region::Grow, true},
    {FN_HUE, "FN_HUE", AtZero::Unchanged, Region::Grow, true},
    {FN_SATURATION, "FN_SATURATION", AtZero::Unchanged, Region::Grow, true},
    {FN_COLOUR, "FN_COLOUR", AtZero::Unchanged, Region::Grow, true},
    {FN_LUMINOSITY, "FN_LUMINOSITY", AtZero::Unchanged, Region::Grow, true},
};

// Random premultiplied pixel (colour within alpha), alpha drawn from a few levels that
// include opaque, half and nearly transparent.
Pixel randomPixel(std::mt19937& rng) {
    static const int alphas[] = {32767, 32767, 16384, 30000, 1, 200, 9000};
    const int a = alphas[std::uniform_int_distribution<int>(0, 6)(rng)];
    std::uniform_int_distribution<int> c(0, a);
    return px(c(rng), c(rng), c(rng), a);
}

std::unique_ptr<Pixmap> randomPixmap(int canvasW, int canvasH, const Math::Box2di& alloc, std::mt19937& rng) {
    auto p = pixmap(canvasW, canvasH, alloc);
    for (long long i = 0; i < p->allocatedArea(); ++i) p->data()[i] = randomPixel(rng);
    return p;
}

void run(const Mode& m, Pixmap* dst, const Pixmap* src, double opacity) {
    composite(dst, src, GenericCompositeOp(m.op), NONE, opacity, 0.8, 0.6, 1.2);
}

} // namespace

TEST(BlendModes, OpacityZero) {
    std::mt19937 rng(11);
    for (const Mode& m : kModes) {
        SCOPED_TRACE(m.name);
        if (m.atZero == AtZero::Computes) continue;
        // src reaches beyond dst's allocation: a mode that returns at once does not grow dst.
        auto dst = randomPixmap(8, 4, Math::Box2di(0, 0, 4, 4), rng);
        auto src = randomPixmap(8, 4, Math::Box2di(2, 0, 6, 4), rng);
        const auto before = std::unique_ptr<Pixmap>(dst->clone());
        run(m, dst.get(), src.get(), 0.0);
        if (m.atZero == AtZero::Unchanged) {
            // DARKEN grows before it tests the opacity; the grown part is transparent black.
            const bool grows = m.op == DARKEN;
            EXPECT_EQ(dst->allocatedRect(), grows ? Math::Box2di(0, 0, 8, 4) : Math::Box2di(0, 0, 4, 4));
            for (int y = 0; y < 4; ++y)
                for (int x = 0; x < 8; ++x) {
                    const Pixel* p = dst->pixel(x, y);
                    if (x < 4) {
                        ASSERT_EQ(*p, *before->pixel(x, y)) << x << "," << y;
                    } else if (grows) {
                        ASSERT_TRUE(p->isBlack());
                    }
                }
        } else {
            // The legacy lights: a copy of all channels over src's rectangle, the rest of
            // the fitted dst cleared.
            EXPECT_EQ(dst->allocatedRect(), Math::Box2di(0, 0, 8, 4));
            for (int y = 0; y < 4; ++y)
                for (int x = 0; x < 8; ++x)
                    ASSERT_EQ(*dst->pixel(x, y), x >= 2 ? *src->pixel(x, y) : px(0, 0, 0, 0))
                        << x << "," << y;
        }
    }
}

TEST(BlendModes, TransparentSourcePixelsAreSkipped) {
    std::mt19937 rng(12);
    for (const Mode& m : kModes) {
        SCOPED_TRACE(m.name);
        if (!m.skipsTransparentSource) continue;
        auto dst = randomPixmap(16, 16, Math::Box2di(0, 0, 16, 16), rng);
        auto src = pixmap(16, 16, Math::Box2di(0, 0, 16, 16));
        std::uniform_int_distribution<int> c(-32767, 32767);
        for (long long i = 0; i < src->allocatedArea(); ++i) src->data()[i] = px(c(rng), c(rng), c(rng), 0);
        const auto before = std::unique_ptr<Pixmap>(dst->clone());
        for (double o : {1.0, 0.5}) {
            run(m, dst.get(), src.get(), o);
            for (long long i = 0; i < dst->allocatedArea(); ++i) ASSERT_EQ(dst->data()[i], before->data()[i]);
        }
    }
}

// dst allocated over the left part of the canvas, src over a band that reaches outside
// it on the right: grow modes extend dst to the canvas part of src, intersection modes
// keep dst's allocation. In both, each pixel of the worked region is what a one-pixel
// composite of the same pair gives, and every other pixel is untouched.
TEST(BlendModes, WholeImageMatchesOnePixelCalls) {
    std::mt19937 rng(13);
    for (const Mode& m : kModes) {
        SCOPED_TRACE(m.name);
        for (double o : {1.0, 0.6}) {
            auto dst = randomPixmap(40, 12, Math::Box2di(0, 0, 30, 12), rng);
            auto src = randomPixmap(40, 12, Math::Box2di(5, 2, 45, 7), rng);
            // Runs of repeated pairs exercise the overlay result cache.
            for (int x = 10; x < 20; ++x) {
                *src->pixel(x, 3) = *src->pixel(9, 3);
                *dst->pixel(x, 3) = *dst->pixel(9, 3);
                *src->pixel(x, 4) = *src->pixel(9, 4);
            }
            const auto before = std::unique_ptr<Pixmap>(dst->clone());
            run(m, dst.get(), src.get(), o);

            const Math::Box2di expectAlloc =
                m.region == Region::Grow ? Math::Box2di(0, 0, 40, 12) : Math::Box2di(0, 0, 30, 12);
            ASSERT_EQ(dst->allocatedRect(), expectAlloc);
            const Math::Box2di worked = expectAlloc.getIntersection(src->allocatedRect());
            for (int y = 0; y < 12; ++y)
                for (int x = 0; x < expectAlloc.x2(); ++x) {
                    const Pixel* old = before->pixel(x, y);
                    const Pixel d = old ? *old : px(0, 0, 0, 0);
                    Pixel want = d;
                    if (worked.isContaining(x, y)) {
                        auto one = onePixel(d);
                        auto s = onePixel(*src->pixel(x, y));
                        run(m, one.get(), s.get(), o);
                        want = *one->data();
                    }
                    ASSERT_EQ(*dst->pixel(x, y), want) << "at " << x << "," << y << " opacity " << o;
                }
        }
    }
}

TEST(BlendModes, SameResultOnOneThreadAndMany) {
    std::mt19937 rng(14);
    for (const Mode& m : kModes) {
        SCOPED_TRACE(m.name);
        auto src = randomPixmap(320, 200, Math::Box2di(0, 0, 320, 200), rng);
        auto base = randomPixmap(320, 200, Math::Box2di(0, 0, 320, 200), rng);
        std::unique_ptr<Pixmap> serial(base->clone()), parallel(base->clone());
        detail::setSerialForTesting(true);
        run(m, serial.get(), src.get(), 0.7);
        detail::setSerialForTesting(false);
        run(m, parallel.get(), src.get(), 0.7);
        for (long long i = 0; i < serial->allocatedArea(); ++i)
            ASSERT_EQ(serial->data()[i], parallel->data()[i]) << "pixel " << i;
    }
}

TEST(BlendModes, AllPositiveFlagOfTheDirectModes) {
    // MULTIPLY, DARKEN and the effect and HCL compositors combine the two flags; the
    // dispatcher clears it afterwards, so the direct call is what shows it.
    using Fn = void (*)(Pixmap*, const Pixmap*, double);
    const Fn combining[] = {composite_MULTIPLY, composite_DARKEN, composite_BURN, composite_HUE};
    for (Fn f : combining) {
        auto dst = onePixel(px(100, 100, 100, 32767));
        auto src = onePixel(px(50, 50, 50, 32767));
        src->setAllPositive(false);
        f(dst.get(), src.get(), 1.0);
        EXPECT_FALSE(dst->areAllPositive());
        src->setAllPositive(true);
        dst->setAllPositive(true);
        f(dst.get(), src.get(), 1.0);
        EXPECT_TRUE(dst->areAllPositive());
    }
}

TEST(BlendModes, NullPixmapsThrow) {
    auto p = onePixel(px(1, 2, 3, 4));
    EXPECT_THROW(composite_SCREEN(nullptr, p.get(), 1.0), AlgoException);
    EXPECT_THROW(composite_DIVIDE_legacy(p.get(), nullptr), AlgoException);
    EXPECT_THROW(composite(p.get(), nullptr, FN_HUE, NONE, 1.0), AlgoException);
}
