// Per-pixel results of the structural colour operations, the over in its forms
// and the alpha operations, against plain reference formulas over a grid of
// values that includes 0, +-32767, additive light and tone pixels.
#include <functional>

#include "test_composite_util.h"

using namespace comptest;
using namespace CelAlgo;

namespace {

using RefFn = std::function<Pixel(Pixel d, const Pixel& s)>;
using RunFn = std::function<void(Pixmap* d, const Pixmap* s)>;

struct OpRow {
    const char* name;
    RunFn run;
    RefFn ref;
    bool positiveSource = false; // source values >= 0 and its allPositive flag set
};

RefFn refOverOpacity(double o) {
    return [o](Pixel d, const Pixel& s) {
        const int a = int(std::trunc(s.a * o));
        const auto scaledSrc = [o](int sc) { return int(std::trunc(sc * o)); };
        if (a == 0)
            return colourWise(d, s, [o](int dc, int sc) {
                const int c = int(std::trunc(sc * o + 0.5));
                return c != 0 ? clamp16(dc + c) : dc;
            });
        if (a == 32767) return Pixel{s.r, s.g, s.b, 32767};
        if (a > 0) {
            Pixel r = colourWise(d, s, [&](int dc, int sc) { return clamp16(scaledSrc(sc) + mix(dc, a)); });
            r.a = int16_t(clamp16(mix(d.a, a) + a));
            return r;
        }
        if (d.a != 0) return colourWise(d, s, [&](int dc, int sc) { return tone(scaledSrc(sc), dc, -a); });
        return Pixel{int16_t(scaledSrc(s.r)), int16_t(scaledSrc(s.g)), int16_t(scaledSrc(s.b)), int16_t(a)};
    };
}

Pixel scaleAll(const Pixel& p, double f) {
    auto g = [f](int c) { return int16_t(std::trunc(c * f + 0.5)); };
    return {g(p.r), g(p.g), g(p.b), g(p.a)};
}

RefFn alphaRef(std::function<int(int da, int sa)> fn) {
    return [fn](Pixel d, const Pixel& s) {
        d.a = int16_t(fn(d.a, s.a));
        return d;
    };
}

RunFn viaDispatcher(GenericCompositeOp colour, GenericCompositeOp alpha, double opacity = 1.0) {
    return [=](Pixmap* d, const Pixmap* s) { composite(d, s, colour, alpha, opacity); };
}

std::vector<OpRow> opRows() {
    std::vector<OpRow> rows = {
        {"over colour", viaDispatcher(ADD_APPLY_SRC_ALPHA_INV, NONE), refOverColour},
        {"over all, general path", viaDispatcher(ADD_APPLY_SRC_ALPHA_INV, ADD_APPLY_SRC_ALPHA_INV),
         refOverAll},
        {"over all, positive path", viaDispatcher(ADD_APPLY_SRC_ALPHA_INV, ADD_APPLY_SRC_ALPHA_INV),
         refOverPositive, true},
        {"ADD_APPLY_DST_ALPHA", viaDispatcher(ADD_APPLY_DST_ALPHA, NONE),
         [](Pixel d, const Pixel& s) {
             if (s.a <= 0 || d.a <= 0) return d;
             return colourWise(d, s, [&](int dc, int sc) {
                 return d.a == 32767 ? clamp16(dc + sc) : clamp16(std::trunc(sc * frac(d.a) + 0.5) + dc);
             });
         }},
        {"APPLY_SRC_ALPHA_INV", viaDispatcher(APPLY_SRC_ALPHA_INV, NONE),
         [](Pixel d, const Pixel& s) {
             return s.a <= 0 ? d : colourWise(d, s, [&](int dc, int) { return rnd(dc * inv(s.a)); });
         }},
        {"APPLY_DST_ALPHA", viaDispatcher(APPLY_DST_ALPHA, NONE),
         [](Pixel d, const Pixel& s) {
             if (d.a <= 0) return d;
             return colourWise(d, s, [&](int dc, int sc) {
                 if (d.a == 32767) return sc;
                 const float p = float(sc) * float(frac(d.a));
                 return clamp16(std::trunc(double(p) + 0.5) + dc);
             });
         }},
        {"MULT_APPLY_DST_ALPHA", viaDispatcher(MULT_APPLY_DST_ALPHA, NONE),
         [](Pixel d, const Pixel& s) {
             if (d.a < 1 || s.a < 1) return d;
             return colourWise(d, s, [&](int dc, int sc) { return tone(sc, dc, s.a); });
         }},
        {"CUT", viaDispatcher(CUT, NONE),
         [](Pixel d, const Pixel& s) {
             return s.a == 32767 ? Pixel{0, 0, 0, 0} : (s.a > 0 ? scaleAll(d, inv(s.a)) : d);
         }},
        {"CUT_INV", viaDispatcher(CUT_INV, NONE),
         [](Pixel d, const Pixel& s) {
             return s.a < 1 ? Pixel{0, 0, 0, 0} : (s.a == 32767 ? d : scaleAll(d, frac(s.a)));
         }},
        {"alpha ADD", viaDispatcher(NONE, ADD), alphaRef([](int da, int sa) { return clamp16(da + sa); })},
        {"alpha SUBTRACT_legacy", viaDispatcher(NONE, SUBTRACT_legacy),
         alphaRef([](int da, int sa) { return clamp16(da - sa); })},
        {"alpha ADD_APPLY_SRC_ALPHA_INV", viaDispatcher(NONE, ADD_APPLY_SRC_ALPHA_INV),
         alphaRef([](int da, int sa) {
             if (sa == 0) return da;
             if (sa < 0) return da == 0 ? sa : da;
             if (sa == 32767) return 32767;
             return clamp16(sa + std::trunc(da * inv(sa) + 0.5));
         })},
        {"alpha APPLY_SRC_ALPHA", viaDispatcher(NONE, APPLY_SRC_ALPHA),
         alphaRef([](int da, int sa) { return sa > 0 ? rnd(da * inv(sa)) : da; })},
        {"alpha COPY", viaDispatcher(NONE, COPY), alphaRef([](int, int sa) { return sa; })},
        {"alpha BLACK", viaDispatcher(NONE, BLACK), alphaRef([](int, int) { return 0; })},
        {"alpha WHITE", viaDispatcher(NONE, WHITE), alphaRef([](int, int) { return 32767; })},
        {"alpha MINUS", viaDispatcher(NONE, MINUS), alphaRef([](int da, int) { return int16_t(-da); })},
    };
    for (double o : {0.0, 0.25, 0.5, 0.999, 1.0}) {
        rows.push_back({"over with opacity",
                        [o](Pixmap* d, const Pixmap* s) { composite_ADD_APPLY_SRC_ALPHA_INV_ALL(d, s, o); },
                        refOverOpacity(o)});
    }
    for (double t : {0.0, 0.5, 1.0}) {
        rows.push_back({"REPLACE_IF_NON_ZERO_ALPHA_SRC",
                        viaDispatcher(REPLACE_IF_NON_ZERO_ALPHA_SRC, NONE, t), [t](Pixel d, const Pixel& s) {
                            const int threshold = int(std::trunc(t * 32767 + 0.5));
                            return s.a != 0 && s.a >= threshold ? s : d;
                        }});
    }
    return rows;
}

} // namespace

TEST(CompositeOps, EveryOperationMatchesItsReferenceOnTheValueGrid) {
    for (const OpRow& row : opRows()) {
        const PixelPairs pairs = gridPairs(7, row.positiveSource);
        PixmapPtr dst = rowPixmap(pairs.dst);
        PixmapPtr src = rowPixmap(pairs.src);
        src->setAllPositive(row.positiveSource);
        dst->setAllPositive(false);
        row.run(dst.get(), src.get());
        ASSERT_EQ(dst->allocatedRect(), src->allocatedRect()) << row.name;
        int failures = 0;
        for (std::size_t i = 0; i < pairs.dst.size() && failures < 5; ++i) {
            const Pixel want = row.ref(pairs.dst[i], pairs.src[i]);
            const Pixel got = *dst->pixel(int(i), 0);
            if (got != want) {
                ++failures;
                ADD_FAILURE() << row.name << ": dst " << str(pairs.dst[i]) << " src " << str(pairs.src[i])
                              << " gave " << str(got) << ", expected " << str(want);
            }
        }
    }
}

// A few results worked out by hand, independent of the reference formulas above.
TEST(CompositeOps, HandComputedOverResults) {
    auto overOne = [](Pixel d, Pixel s, GenericCompositeOp alphaOp) {
        PixmapPtr dp = rowPixmap({d});
        PixmapPtr sp = rowPixmap({s});
        sp->setAllPositive(false);
        composite(dp.get(), sp.get(), ADD_APPLY_SRC_ALPHA_INV, alphaOp);
        return *dp->pixel(0, 0);
    };
    // Additive light raises the colour and leaves alpha.
    EXPECT_EQ(overOne({500, 600, 700, 20000}, {100, 0, 0, 0}, ADD_APPLY_SRC_ALPHA_INV),
              (Pixel{600, 600, 700, 20000}));
    // Half-transparent source on opaque white: (32767 * 16383 + 32767) >> 15 = 16383.
    EXPECT_EQ(overOne({32767, 32767, 0, 32767}, {1000, 0, 0, 16384}, ADD_APPLY_SRC_ALPHA_INV),
              (Pixel{17383, 16383, 0, 32767}));
    // Arithmetic shift of a negative destination: floor(-656007233 / 32768) + 50.
    EXPECT_EQ(overOne({-20000, 0, 0, 1}, {50, 0, 0, 100}, NONE), (Pixel{-19888, 0, 0, 1}));
    // Saturation of the sum.
    EXPECT_EQ(overOne({32767, -32767, 0, 0}, {32767, -32767, 0, 0}, NONE), (Pixel{32767, -32767, 0, 0}));
    // Opaque source replaces everything, -32767 included.
    EXPECT_EQ(overOne({1, 2, 3, 4}, {-32767, 0, 32767, 32767}, ADD_APPLY_SRC_ALPHA_INV),
              (Pixel{-32767, 0, 32767, 32767}));
    // A tone pixel whose colour carries the sign of its alpha multiplies by
    // 1 - A + A * C: A = 0.5, C = 0.5, a factor of F(8192) + I(16384), about 0.75.
    const Pixel toned = overOne({32767, 10000, 0, 32767}, {-8192, 0, 0, -16384}, ADD_APPLY_SRC_ALPHA_INV);
    EXPECT_EQ(toned.r, int16_t(std::trunc((8192 / 32767.0 + (1.0 - 16384 / 32767.0)) * 32767 + 0.5)));
    EXPECT_EQ(toned.g, int16_t(std::trunc((1.0 - 16384 / 32767.0) * 10000 + 0.5)));
    EXPECT_EQ(toned.a, 32767);
    // Onto a transparent pixel a tone pixel is copied, alpha included.
    EXPECT_EQ(overOne({0, 0, 0, 0}, {-8192, 5, 0, -16384}, ADD_APPLY_SRC_ALPHA_INV),
              (Pixel{-8192, 5, 0, -16384}));
}
