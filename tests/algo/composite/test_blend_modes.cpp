// What every blend mode shares with its design: opacity 0, skipped pixels, the region
// worked on, and whole images equal to one-pixel calls (walk, offsets, memos).

#include "algo/composite/BlendModes.h"
#include "test_composite_util.h"

using namespace comptest;
using namespace CelAlgo;

namespace {

// Every blend mode: ADD, SUBTRACT and 15 ... 69 without REPLACE_IF_NON_ZERO_ALPHA_SRC
// and the reserved values. Then the exceptions to the common rules.
std::vector<int> blendModes() {
    std::vector<int> ops = {ADD, SUBTRACT};
    for (int op = MULTIPLY; op <= FN_LUMINOSITY; ++op)
        if (op != REPLACE_IF_NON_ZERO_ALPHA_SRC && op != 48 && op != 53 && (op < 58 || op > 62))
            ops.push_back(op);
    return ops;
}
const std::vector<int> kModes = blendModes();
const int kNoZeroOpacityTest[] = {
    SUBTRACT,        DIFFERENCE,        SCREEN,         INVERT,       ADD_legacy,
    SUBTRACT_legacy, DIFFERENCE_legacy, LIGHTEN_legacy, DIVIDE_legacy};
const int kCopyAtZeroOpacity[] = {SOFTLIGHT_legacy, HARDLIGHT_legacy, OVERLAY_legacy};
const int kIntersection[] = {MULTIPLY, DIVIDE, DIVIDE_legacy};
const int kUseTransparentSource[] = {DARKEN, ADD_legacy, LIGHTEN_legacy};

template <std::size_t N> bool in(const int (&set)[N], int op) {
    return std::find(std::begin(set), std::end(set), op) != std::end(set);
}

// Premultiplied pixels; alpha opaque, half, nearly transparent and in between.
PixmapPtr randomPixmap(int canvasW, int canvasH, const Math::Box2di& alloc, std::mt19937& rng) {
    static const int alphas[] = {32767, 32767, 16384, 30000, 1, 200, 9000};
    auto p = makePixmap(canvasW, canvasH, alloc);
    for (long long i = 0; i < p->allocatedArea(); ++i) {
        const int a = alphas[std::uniform_int_distribution<int>(0, 6)(rng)];
        std::uniform_int_distribution<int> c(0, a);
        p->data()[i] = px(c(rng), c(rng), c(rng), a);
    }
    return p;
}

// Rows 2 ... 7 of the columns 6 ... 29 are rewritten so that the walkers' memos hit and
// must be invalidated, and neighbours pair up: a flat opaque source (coloured, then grey)
// over opaque destinations that change at every pixel, greys and repeats among them;
// repeated pairs; a flat source over a destination whose blue alone changes;
// alternating destinations; colours kept while one alpha changes.
void repeatingRows(Pixmap& dst, Pixmap& src) {
    const Pixel d0 = px(9000, 14000, 3000, 20000), d1 = px(2000, 2000, 2000, 32767);
    const Pixel s0 = px(5000, 1000, 7000, 16000), s1 = px(5000, 1000, 7000, 32767);
    for (int x = 6; x < 30; ++x) {
        const int v = x % 7 == 0 ? 12000 : (x * 1311) % 32768, w = (x * 2713) % 32768, z = x % 9 ? 400 : v;
        const Pixel rotated[3] = {px(v, w, z, 32767), px(z, v, w, 32767), px(w, z, v, 32767)};
        *dst.pixel(x, 2) = x % 5 == 0 ? px(v, v, v, 32767) : rotated[x % 3];
        *src.pixel(x, 2) = x < 18 ? s1 : px(20000, 20000, 20000, 32767);
        *dst.pixel(x, 3) = d0, *src.pixel(x, 3) = s0;
        *dst.pixel(x, 4) = px(9000, 14000, (x * 997) % 20001, 20000), *src.pixel(x, 4) = s0;
        *dst.pixel(x, 5) = x % 2 ? d0 : d1, *src.pixel(x, 5) = x % 3 ? s0 : s1;
        *dst.pixel(x, 6) = d0, *src.pixel(x, 6) = (x / 3) % 2 ? s0 : s1;
        *dst.pixel(x, 7) = (x / 4) % 2 ? d0 : px(9000, 14000, 3000, 24000), *src.pixel(x, 7) = s1;
    }
}

void run(int op, Pixmap* dst, const Pixmap* src, double opacity) {
    composite(dst, src, GenericCompositeOp(op), NONE, opacity, 0.8, 0.6, 1.2);
}

} // namespace

TEST(BlendModes, OpacityZero) {
    std::mt19937 rng(11);
    for (int op : kModes) {
        SCOPED_TRACE(op);
        if (in(kNoZeroOpacityTest, op)) continue;
        // src reaches beyond dst's allocation: a mode that returns at once does not grow dst.
        auto dst = randomPixmap(8, 4, Math::Box2di(0, 0, 4, 4), rng);
        auto src = randomPixmap(8, 4, Math::Box2di(2, 0, 6, 4), rng);
        const PixmapPtr before(dst->clone());
        run(op, dst.get(), src.get(), 0.0);
        // DARKEN grows before it tests the opacity; the legacy lights copy src over the
        // fitted dst and clear the rest.
        const bool copies = in(kCopyAtZeroOpacity, op), grows = copies || op == DARKEN;
        ASSERT_EQ(dst->allocatedRect(), Math::Box2di(0, 0, grows ? 8 : 4, 4));
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < dst->allocatedX2(); ++x) {
                const Pixel want = copies ? (x >= 2 ? *src->pixel(x, y) : px(0, 0, 0, 0))
                                          : (x < 4 ? *before->pixel(x, y) : px(0, 0, 0, 0));
                ASSERT_EQ(*dst->pixel(x, y), want) << x << "," << y;
            }
    }
}

TEST(BlendModes, TransparentSourcePixelsAreSkipped) {
    std::mt19937 rng(12);
    std::uniform_int_distribution<int> c(-32767, 32767);
    for (int op : kModes) {
        if (in(kUseTransparentSource, op)) continue;
        auto dst = randomPixmap(16, 16, Math::Box2di(0, 0, 16, 16), rng);
        auto src = makePixmap(16, 16, Math::Box2di(0, 0, 16, 16));
        for (long long i = 0; i < src->allocatedArea(); ++i) src->data()[i] = px(c(rng), c(rng), c(rng), 0);
        const PixmapPtr before(dst->clone());
        for (double o : {1.0, 0.5}) {
            run(op, dst.get(), src.get(), o);
            ASSERT_TRUE(samePixels(*dst, *before)) << op;
        }
    }
}

// dst allocated over the left part of the canvas, src over a band reaching outside it on
// the right: grow modes extend dst to the canvas part of src, intersection modes keep
// dst's allocation. Each pixel of the worked region is what a one-pixel composite of the
// same pair gives, and every other pixel is untouched. On an image large enough to be
// split over threads, one thread and many agree.
TEST(BlendModes, WholeImageMatchesOnePixelCallsOnAnyThreadCount) {
    std::mt19937 rng(13);
    for (int op : kModes) {
        SCOPED_TRACE(op);
        for (double o : {1.0, 0.6}) {
            auto dst = randomPixmap(40, 12, Math::Box2di(0, 0, 30, 12), rng);
            auto src = randomPixmap(40, 12, Math::Box2di(5, 2, 45, 7), rng);
            repeatingRows(*dst, *src);
            const PixmapPtr before(dst->clone());
            run(op, dst.get(), src.get(), o);
            const Math::Box2di alloc(0, 0, in(kIntersection, op) ? 30 : 40, 12);
            ASSERT_EQ(dst->allocatedRect(), alloc);
            const Math::Box2di worked = alloc.getIntersection(src->allocatedRect());
            for (int y = 0; y < 12; ++y)
                for (int x = 0; x < alloc.x2(); ++x) {
                    const Pixel* old = before->pixel(x, y);
                    Pixel want = old ? *old : px(0, 0, 0, 0);
                    if (worked.isContaining(x, y)) {
                        auto one = rowPixmap({want}), s = rowPixmap({*src->pixel(x, y)});
                        run(op, one.get(), s.get(), o);
                        want = *one->data();
                    }
                    ASSERT_EQ(*dst->pixel(x, y), want) << "at " << x << "," << y << " opacity " << o;
                }
        }
        auto big = randomPixmap(320, 200, Math::Box2di(0, 0, 320, 200), rng);
        auto src = randomPixmap(320, 200, Math::Box2di(0, 0, 320, 200), rng);
        EXPECT_TRUE(threadIndependent(*big, [&](Pixmap* d) { run(op, d, src.get(), 0.7); }));
    }
}

TEST(BlendModes, AllPositiveFlagCombinesBothPixmaps) {
    // MULTIPLY, DARKEN and the effect and HCL compositors combine the two flags; the
    // dispatcher clears it afterwards, so the direct call is what shows it.
    using Fn = void (*)(Pixmap*, const Pixmap*, double);
    for (Fn f : {composite_MULTIPLY, composite_DARKEN, composite_BURN, composite_HUE}) {
        auto dst = rowPixmap({px(100, 100, 100, 32767)}), src = rowPixmap({px(50, 50, 50, 32767)});
        f(dst.get(), src.get(), 1.0);
        EXPECT_TRUE(dst->areAllPositive());
        src->setAllPositive(false);
        f(dst.get(), src.get(), 1.0);
        EXPECT_FALSE(dst->areAllPositive());
    }
}
