#include "algo/composite/test_composite_util.h"
#include "algo/filters/Matte.h"
#include "pixel/PixmapCanvas.h"

using namespace CelAlgo;
using namespace comptest;

namespace {

// Runs op on every 16-bit alpha (colour 1, -2, 3) and checks alpha against want(alpha),
// colour kept.
void expectAlphaMap(const std::function<void(Pixmap*)>& op, const std::function<int(int)>& want) {
    auto p = makePixmap(256, 256, Math::Box2di(0, 0, 256, 256));
    for (int i = 0; i < 65536; ++i) p->data()[i] = px(1, -2, 3, i - 32768);
    op(p.get());
    for (int i = 0; i < 65536; ++i) {
        const Pixel& q = p->data()[i];
        ASSERT_EQ(q.a, want(i - 32768)) << "alpha " << i - 32768;
        ASSERT_EQ(q, px(1, -2, 3, q.a));
    }
}

TEST(Matte, ThresholdCutAndRemoveTransparency) {
    // level 0.5: T = 16384, so 16385 is the first opaque value.
    expectAlphaMap([](Pixmap* p) { thresholdAlphaPixmap(p, 0.5); },
                   [](int a) { return a > 16384 ? 32767 : 0; });
    expectAlphaMap([](Pixmap* p) { thresholdAlphaPixmap(p, -1.0); }, [](int a) { return a > 0 ? 32767 : 0; });
    expectAlphaMap([](Pixmap* p) { thresholdAlphaPixmap(p, 7.0); }, [](int) { return 0; });
    // Cut: T = trunc(percent / 100 * 32767); alpha below T is cleared.
    expectAlphaMap([](Pixmap* p) { removeAlphaTransparency(p, 50.0); },
                   [](int a) { return a < 16383 ? 0 : 32767; });
    expectAlphaMap([](Pixmap* p) { removeAlphaTransparency(p, 250.0); },
                   [](int a) { return a < 32767 ? 0 : 32767; });
    // Not a number: nothing changes.
    expectAlphaMap([](Pixmap* p) { thresholdAlphaPixmap(p, std::nan("")); }, [](int a) { return a; });
    expectAlphaMap([](Pixmap* p) { removeAlphaTransparency(p, std::nan("")); }, [](int a) { return a; });
    thresholdAlphaPixmap(nullptr, 0.5);
    // Removing transparency scales the colour up to full alpha.
    const auto run = [](Pixel in, double percent, bool opaque) {
        auto p = comptest::rowPixmap({in});
        removeTransparency(p.get(), percent, opaque);
        return *p->data();
    };
    // Colour multiplied by 32767 / 16000 and truncated.
    EXPECT_EQ(run(px(8000, 4000, 0, 16000), 10, true), px(16383, 8191, 0, 32767));
    EXPECT_EQ(run(px(8000, 4000, 0, 16000), 10, false), px(16383, 8191, 0, 16000));
    // Colour above alpha is divided by the largest channel instead.
    EXPECT_EQ(run(px(20000, 10000, 0, 16000), 10, false), px(32767, 16383, 0, 16000));
    // Below the level, and transparent pixels: colour cleared, alpha too when opaque.
    EXPECT_EQ(run(px(100, 200, 300, 3000), 10, true), px(0, 0, 0, 0));
    EXPECT_EQ(run(px(100, 200, 300, 3000), 10, false), px(0, 0, 0, 3000));
    EXPECT_EQ(run(px(500, 0, 0, 0), 0, false), px(0, 0, 0, 0));
    EXPECT_EQ(run(px(-5, 6, 7, -40), 0, true), px(0, 0, 0, 0));
    // Opaque pixels stay, additive colour included; negative colour saturates.
    EXPECT_EQ(run(px(32767, -32768, 5, 32767), 50, true), px(32767, -32768, 5, 32767));
    EXPECT_EQ(run(px(-32768, 1, 0, 1), 0, false), px(-32767, 32767, 0, 1));
}

TEST(Matte, StretchGrayEveryByte) {
    const auto run = [](double low, double high) {
        CEL_PixmapMatte8 m(16, 16);
        for (int i = 0; i < 256; ++i) m.data()[i] = uint8_t(i);
        stretchGrayPixmap(&m, low, high);
        return std::vector<int>(m.data(), m.data() + 256);
    };
    const auto reference = [](double low, double high) {
        const int lo = int(std::max(low, 0.0) * 255 + 0.5), hi = int(std::min(high, 1.0) * 255 + 0.5);
        std::vector<int> out(256);
        for (int i = 0; i < 256; ++i)
            out[i] = i <= lo ? 0 : i >= hi ? 255 : int(float(i - lo) / float(hi - lo) * 255.0f + 0.5f);
        return out;
    };
    std::vector<int> identity(256);
    for (int i = 0; i < 256; ++i) identity[i] = i;
    for (auto [lo, hi] : {std::pair{0.0, 1.0}, {-3.0, 4.0}, {std::nan(""), 1.0}})
        EXPECT_EQ(run(lo, hi), identity);
    for (auto [lo, hi] : {std::pair{0.1, 0.9}, {0.0, 0.5}, {0.5, 1.0}, {0.3, 0.302}})
        EXPECT_EQ(run(lo, hi), reference(lo, hi)) << lo << " " << hi;
    // low >= high: a hard step, "i <= lo" tested first.
    const std::vector<int> step = run(0.6, 0.4);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(step[i], i <= 153 ? 0 : 255) << i;
}

// The operation as written, one pixel at a time over the whole disc: for each
// element, the extreme alpha and the nearest pixel holding it (upper row first,
// then left), then the combination.
PixmapPtr referenceMorph(const Pixmap& src, double r, bool shrink, const Math::Box2di& work) {
    const int n = int(r);
    const double f = r - n;
    const auto at = [&](int x, int y) {
        const Pixel* p = src.pixel(x, y);
        Pixel q = p ? *p : px(0, 0, 0, 0);
        q.a = std::max<int16_t>(q.a, -32767);
        return q;
    };
    auto out = makePixmap(src.width(), src.height(), work);
    for (int y = work.y1(); y < work.y2(); ++y)
        for (int x = work.x1(); x < work.x2(); ++x) {
            Pixel best[2] = {};
            for (int e = 0; e < 2; ++e) {
                const int k = n + e;
                long long bestD = -1;
                for (int dy = -k; dy <= k; ++dy)
                    for (int dx = -k; dx <= k; ++dx) {
                        const long long d = dx * dx + dy * dy;
                        if (d > (k + 1) * (k + 1)) continue;
                        const Pixel q = at(x + dx, y + dy);
                        const bool better = shrink ? q.a < best[e].a : q.a > best[e].a;
                        if (bestD < 0 || better || (q.a == best[e].a && d < bestD)) best[e] = q, bestD = d;
                    }
            }
            const int e0 = best[0].a, e1 = best[1].a;
            const int alpha = f == 0 ? e0 : int(std::floor((1 - f) * e0 + f * e1 + 0.5));
            Pixel p = f > 0 && std::abs(e1) > std::abs(e0) ? best[1] : best[0];
            if (p.a != alpha && p.a != 0)
                for (int16_t* c : {&p.r, &p.g, &p.b})
                    *c = int16_t(std::clamp(std::floor(double(*c) * alpha / p.a + 0.5), -32767.0, 32767.0));
            p.a = int16_t(alpha);
            *out->pixel(x, y) = p;
        }
    return out;
}

// Random translucent, opaque, additive-light and tone pixels in the middle of a
// canvas, with flat runs so that ties occur.
PixmapPtr randomContent(int w, int h, unsigned seed) {
    auto p = makePixmap(w, h, Math::Box2di(-3, -2, w + 5, h + 3));
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> pick(0, 9), value(-32768, 32767);
    for (int y = h / 4; y < 3 * h / 4; ++y)
        for (int x = w / 4; x < 3 * w / 4; ++x) {
            const int kind = pick(rng);
            Pixel& q = *p->pixel(x, y);
            if (kind < 3) continue;
            const int a = kind < 5    ? 32767
                          : kind < 8  ? value(rng) / 2 + 16384
                          : kind == 8 ? 0
                                      : -value(rng) % 20000;
            q = px(value(rng) / 3, value(rng) / 3, value(rng) / 3, a);
        }
    // The corners fix the content's box.
    *p->pixel(w / 4, h / 4) = px(-32768, 7, 7, -32768);
    *p->pixel(3 * w / 4 - 1, 3 * h / 4 - 1) = px(10, 20, 30, 32767);
    return p;
}

int alphaAt(const Pixmap& p, int x, int y) {
    const Pixel* q = p.pixel(x, y);
    return q ? q->a : 0;
}

TEST(MatteMorph, ElementsOfEveryRadiusUpTo20AndAWideOne) {
    for (int n = 0; n <= 20; ++n) {
        auto p = makePixmap(64, 64, Math::Box2di(0, 0, 64, 64));
        *p->pixel(30, 30) = px(100, 200, 300, 32767);
        // Radius 0 is no radius: the smallest one above it shows the one-pixel element.
        expandMatte(p.get(), n == 0 ? 1e-9 : n, 1.0);
        ASSERT_EQ(p->allocatedRect(), Math::Box2di(30, 30, 1, 1).getEnlarged(n + 1)) << n;
        for (int dy = -n - 1; dy <= n + 1; ++dy)
            for (int dx = -n - 1; dx <= n + 1; ++dx) {
                const bool inside =
                    std::abs(dy) <= n && std::abs(dx) <= n && dx * dx + dy * dy <= (n + 1) * (n + 1);
                ASSERT_EQ(*p->pixel(30 + dx, 30 + dy), inside ? px(100, 200, 300, 32767) : px(0, 0, 0, 0))
                    << "n " << n << " at " << dx << ", " << dy;
            }
    }
    // R = 254.5 takes the wide keys; the ring between the two discs is half grown,
    // its colour scaled with it.
    auto p = makePixmap(8, 8, Math::Box2di(0, 0, 8, 8));
    *p->pixel(4, 4) = px(30000, 3000, 0, 32767);
    expandMatte(p.get(), 254.5, 1);
    EXPECT_EQ(p->allocatedRect(), Math::Box2di(4, 4, 1, 1).getEnlarged(255));
    EXPECT_EQ(*p->pixel(4 + 254, 4), px(30000, 3000, 0, 32767));
    EXPECT_EQ(*p->pixel(4, 4 - 255), px(15000, 1500, 0, 16384));
    EXPECT_EQ(*p->pixel(4 + 180, 4 + 180), px(30000, 3000, 0, 32767)); // 180^2 * 2 <= 255^2
    EXPECT_EQ(*p->pixel(4 + 181, 4 + 180), px(15000, 1500, 0, 16384)); // only in the larger disc
    EXPECT_EQ(*p->pixel(4 + 182, 4 + 181), px(0, 0, 0, 0));
}

TEST(MatteMorph, MatchesTheDiscDefinition) {
    for (bool shrink : {false, true})
        for (double r : {1.0, 2.5, 3.0, 4.25, 0.3, 6.75}) {
            auto p = randomContent(30, 24, 7);
            const Math::Box2di work = Math::Box2di(7, 6, 15, 12).getEnlarged(int(r) + 1);
            const PixmapPtr want = referenceMorph(*p, r, shrink, work);
            (shrink ? shrinkMatte : expandMatte)(p.get(), r, 1.0);
            ASSERT_TRUE(comptest::samePixels(*p, *want)) << (shrink ? "shrink " : "expand ") << r;
        }
}

TEST(MatteMorph, MonotonicInRadiusAndThreadIndependent) {
    auto base = randomContent(160, 140, 3);
    const Math::Box2di box = base->allocatedRect();
    PixmapPtr previous;
    for (double r = 0.5; r <= 5.0; r += 0.75) {
        PixmapPtr e(base->clone()), s(base->clone());
        expandMatte(e.get(), r, 1);
        shrinkMatte(s.get(), 1, -r); // |a * b|
        for (int y = box.y1(); y < box.y2(); ++y)
            for (int x = box.x1(); x < box.x2(); ++x) {
                const int a = std::max(alphaAt(*base, x, y), -32767);
                ASSERT_GE(alphaAt(*e, x, y), a);
                ASSERT_LE(alphaAt(*s, x, y), a);
                ASSERT_GE(alphaAt(*e, x, y), previous ? alphaAt(*previous, x, y) : -32768);
            }
        previous = std::move(e);
    }
    EXPECT_TRUE(comptest::threadIndependent(*base, [](Pixmap* p) { expandMatte(p, 3.4, 1); }));
}

TEST(MatteMorph, NoOpsAndFailures) {
    const auto unchanged = [](const std::function<void(Pixmap*)>& op) {
        auto p = randomContent(20, 20, 1);
        PixmapPtr before(p->clone());
        op(p.get());
        return comptest::samePixels(*p, *before);
    };
    EXPECT_TRUE(unchanged([](Pixmap* p) { expandMatte(p, 0, 3); }));
    EXPECT_TRUE(unchanged([](Pixmap* p) { expandMatte(p, 3, 0); }));
    EXPECT_TRUE(unchanged([](Pixmap* p) { shrinkMatte(p, -2, 3); }));
    EXPECT_TRUE(unchanged([](Pixmap* p) { shrinkMatte(p, std::nan(""), 3); }));
    EXPECT_TRUE(unchanged([](Pixmap* p) { expandMatte(p, 2, std::nan("")); }));
    // Too large to work on: an exception, and the pixmap as it was.
    EXPECT_TRUE(unchanged([](Pixmap* p) { EXPECT_THROW(expandMatte(p, 1e9, 1), AlgoException); }));
    // Without content nothing is allocated.
    auto empty = makePixmap(10, 10, Math::Box2di(2, 2, 3, 3));
    expandMatte(empty.get(), 4, 1);
    EXPECT_EQ(empty->allocatedRect(), Math::Box2di(2, 2, 3, 3));
    EXPECT_THROW(expandMatte(nullptr, 1, 1), AlgoException);
    EXPECT_THROW(shrinkMatte(nullptr, 1, 1), AlgoException);
}

TEST(Matte, ConvRGBA16ToBBoxTakesOverOrCopies) {
    auto canvas = std::make_unique<CEL_PixmapRGBA16>(6, 4);
    for (int i = 0; i < 24; ++i) canvas->data()[i] = px(i, i, i, 1000 + i);
    const CEL_PixelRGBA16* buffer = canvas->data();
    std::unique_ptr<Pixmap> area(
        convRGBA16ToBBox(canvas.get(), Math::Size2di(20, 10), Math::Box2di(5, 3, 8, 6)));
    ASSERT_TRUE(area);
    EXPECT_EQ(area->data(), buffer);
    EXPECT_EQ(canvas->data(), nullptr);
    EXPECT_EQ(area->allocatedRect(), Math::Box2di(5, 3, 6, 4));
    EXPECT_EQ(area->canvasRect(), Math::Box2di(5, 3, 8, 6));
    EXPECT_EQ(*area->pixel(6, 4), px(7, 7, 7, 1007));
    EXPECT_EQ(convRGBA16ToBBox(nullptr, Math::Size2di(1, 1), Math::Box2di(0, 0, 1, 1)), nullptr);

    // The copy: srcRect reaches past the source, clip is narrower than srcRect.
    CEL_PixmapRGBA16 src(6, 4);
    for (int i = 0; i < 24; ++i) src.data()[i] = px(i, -i, 0, 32767);
    std::unique_ptr<Pixmap> crop(convRGBA16ToBBox(&src, Math::Box2di(2, 1, 10, 10), Math::Size2di(3, 3),
                                                  Math::Box2di(0, 0, 3, 3), Math::Box2di(0, 0, 3, 5)));
    ASSERT_TRUE(crop);
    EXPECT_EQ(crop->allocatedRect(), Math::Box2di(0, 0, 3, 3));
    EXPECT_EQ(*crop->pixel(0, 0), px(8, -8, 0, 32767));
    EXPECT_EQ(*crop->pixel(2, 2), px(22, -22, 0, 32767));
    EXPECT_FALSE(crop->areAllPositive());
    // A target larger than the source part: the rest is transparent.
    std::unique_ptr<Pixmap> wide(convRGBA16ToBBox(&src, Math::Box2di(4, 2, 5, 5), Math::Size2di(4, 4),
                                                  Math::Box2di(0, 0, 4, 4), Math::Box2di(0, 0, 4, 4)));
    ASSERT_TRUE(wide);
    EXPECT_EQ(*wide->pixel(1, 1), px(23, -23, 0, 32767));
    EXPECT_EQ(*wide->pixel(2, 0), px(0, 0, 0, 0));
    EXPECT_EQ(convRGBA16ToBBox(&src, Math::Box2di(7, 0, 2, 2), Math::Size2di(2, 2), Math::Box2di(0, 0, 2, 2),
                               Math::Box2di(0, 0, 2, 2)),
              nullptr);
}

} // namespace
