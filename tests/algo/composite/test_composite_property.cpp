// Random pixmaps with random rectangles (inside, overlapping or outside the
// canvas): the parallel passes equal the per-pixel formulas applied one pixel
// at a time, whatever the number of threads.
#include <atomic>

#include <tbb/global_control.h>

#include "algo/composite/CompositeDetail.h"
#include "test_composite_util.h"

using namespace comptest;
using namespace CelAlgo;

namespace {

// Cel-like content: transparent areas, opaque paint, antialiased edges, and in
// the general case additive light and tone pixels.
Pixel randomPixel(std::mt19937& rng, bool positive) {
    std::uniform_int_distribution<int> kind(0, 9), value(0, 32767), sign(-32767, 32767);
    const int k = kind(rng);
    if (k < 3) return {0, 0, 0, 0};
    if (k < 6) return {int16_t(value(rng)), int16_t(value(rng)), int16_t(value(rng)), 32767};
    if (k < 8 || positive) {
        const int a = value(rng);
        std::uniform_int_distribution<int> c(0, a);
        return {int16_t(c(rng)), int16_t(c(rng)), int16_t(c(rng)), int16_t(a)};
    }
    if (k == 8) return {int16_t(sign(rng)), int16_t(sign(rng)), int16_t(sign(rng)), 0};
    return {int16_t(sign(rng)), int16_t(sign(rng)), int16_t(sign(rng)), int16_t(-1 - value(rng) % 32767)};
}

Math::Box2di randomRect(std::mt19937& rng, int cw, int ch) {
    std::uniform_int_distribution<int> x(-cw / 2, cw), y(-ch / 2, ch), w(1, cw + cw / 2), h(1, ch + ch / 2);
    return Math::Box2di(x(rng), y(rng), w(rng), h(rng));
}

PixmapPtr randomPixmap(std::mt19937& rng, int cw, int ch, bool positive) {
    PixmapPtr p = makePixmap(cw, ch, randomRect(rng, cw, ch));
    const Math::Box2di r = p->allocatedRect();
    for (int y = r.y1(); y < r.y2(); ++y)
        for (int x = r.x1(); x < r.x2(); ++x) *p->pixel(x, y) = randomPixel(rng, positive);
    p->setAllPositive(positive);
    return p;
}

// dst grown as the over grows it, then the reference applied pixel by pixel.
// The copy pair: everything of the grown dst outside src becomes transparent.
PixmapPtr reference(const Pixmap& dst, const Pixmap& src, bool copy) {
    PixmapPtr out(dst.clone());
    out->reallocToFitAndClipToCanvas(&src, true);
    const Math::Box2di r = out->allocatedRect();
    for (int y = r.y1(); y < r.y2(); ++y)
        for (int x = r.x1(); x < r.x2(); ++x) {
            Pixel& d = *out->pixel(x, y);
            const Pixel* s = src.pixel(x, y);
            if (copy)
                d = s ? *s : Pixel{0, 0, 0, 0};
            else if (s)
                d = src.areAllPositive() ? refOverPositive(d, *s) : refOverAll(d, *s);
        }
    return out;
}

enum class Threads { Serial, One, All };

struct ThreadSetting {
    explicit ThreadSetting(Threads t) {
        detail::setSerialForTesting(t == Threads::Serial);
        if (t == Threads::One)
            limit = std::make_unique<tbb::global_control>(tbb::global_control::max_allowed_parallelism, 1);
    }
    ~ThreadSetting() { detail::setSerialForTesting(false); }
    std::unique_ptr<tbb::global_control> limit;
};

} // namespace

TEST(CompositeProperty, OverAndCopyPairsEqualPixelByPixelFormulaAtAnyThreadCount) {
    std::mt19937 rng(2024);
    for (int round = 0; round < 36; ++round) {
        const bool positive = round % 2 == 0, copy = round % 3 == 2;
        const int cw = 160 + int(rng() % 160), ch = 120 + int(rng() % 80);
        PixmapPtr src = randomPixmap(rng, cw, ch, positive);
        PixmapPtr dst = randomPixmap(rng, cw, ch, round % 3 == 0);
        const bool dstFlag = dst->areAllPositive();
        const PixmapPtr want = reference(*dst, *src, copy);
        for (Threads t : {Threads::All, Threads::One, Threads::Serial}) {
            ThreadSetting setting(t);
            PixmapPtr got(dst->clone());
            const GenericCompositeOp op = copy ? COPY : ADD_APPLY_SRC_ALPHA_INV;
            composite(got.get(), src.get(), op, op);
            ASSERT_TRUE(samePixels(*got, *want)) << "round " << round << " threads " << int(t);
            EXPECT_EQ(got->areAllPositive(), copy ? positive : dstFlag && positive);
        }
    }
}

TEST(CompositeProperty, ParallelRowsVisitsEveryRowOnce) {
    std::mt19937 rng(5);
    for (int round = 0; round < 20; ++round) {
        const int y1 = int(rng() % 50) - 25, rows = int(rng() % 3000);
        std::vector<std::atomic<int>> seen(std::size_t(rows) + 1);
        const auto body = [&](int b, int e) {
            ASSERT_LE(y1, b);
            ASSERT_LE(e, y1 + rows);
            for (int y = b; y < e; ++y) seen[std::size_t(y - y1)]++;
        };
        detail::parallelRows(y1, y1 + rows, detail::rowGrain(rows), 64, body);
        for (int i = 0; i < rows; ++i) ASSERT_EQ(seen[std::size_t(i)].load(), 1) << "row " << i;
    }
    EXPECT_EQ(detail::rowGrain(8), 2);
    EXPECT_EQ(detail::rowGrain(9), 3);
}
