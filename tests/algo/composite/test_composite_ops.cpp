// The over against plain reference formulas on a grid of edge values and on random
// pixmaps, serial and parallel; the other structural operations on single pixels; the
// dispatcher's rejections, flags and regions.

#include "algo/composite/BlendModes.h"
#include "test_composite_util.h"

using namespace comptest;
using namespace CelAlgo;

namespace {

int clamp16(double v) {
    return v > 32767.0 ? 32767 : (v < -32767.0 ? -32767 : int(v));
}
// (d * (32767 - a) + 32767) >> 15 written as a floor division.
int mix(int d, int a) {
    return int(std::floor((double(d) * (32767 - a) + 32767) / 32768.0));
}
// Tone rule: a channel s of a pixel with alpha -A applied to d, rounded half up.
int tone(int s, int d, int A) {
    const double a = A / 32767.0;
    const double f = s > 0 ? (1.0 - a) + A * a / s : -s / 32767.0 + (1.0 - a);
    return clamp16(std::trunc(f * d + 0.5));
}

// Reference over: colour only, all four channels (any source), and all four
// channels on the path of a source that keeps the allPositive promise.
Pixel refOverColour(Pixel d, const Pixel& s) {
    const auto f = [&](int dc, int sc) {
        if (s.a == 0) return sc != 0 ? clamp16(dc + sc) : dc;
        if (s.a == 32767) return sc;
        if (s.a > 0) return clamp16(mix(dc, s.a) + sc);
        return d.a != 0 ? tone(sc, dc, -s.a) : sc;
    };
    return px(f(d.r, s.r), f(d.g, s.g), f(d.b, s.b), d.a);
}

Pixel refOverAll(Pixel d, const Pixel& s) {
    Pixel r = refOverColour(d, s);
    if (s.a == 32767 || (s.a < 0 && d.a == 0))
        r.a = s.a;
    else if (s.a > 0)
        r.a = int16_t(clamp16(mix(d.a, s.a) + s.a));
    return r;
}

Pixel refOverPositive(Pixel d, const Pixel& s) {
    if (s.a <= 0) return d;
    auto f = [&](int dc, int sc) { return int16_t(clamp16(mix(dc, s.a) + sc)); };
    return {f(d.r, s.r), f(d.g, s.g), f(d.b, s.b), f(d.a, s.a)};
}

using RefFn = std::function<Pixel(Pixel d, const Pixel& s)>;
using RunFn = std::function<void(Pixmap* d, const Pixmap* s)>;

struct OpRow {
    const char* name;
    RunFn run;
    RefFn ref;
    bool positiveSource = false; // source values >= 0 and its allPositive flag set
};

// The over of the source scaled by the opacity (truncated; additive light, left
// without alpha, is rounded).
RefFn refOverOpacity(double o) {
    return [o](Pixel d, const Pixel& s) {
        const int a = int(std::trunc(s.a * o));
        const auto f = [&](int c) { return int16_t(std::trunc(c * o + (a == 0 ? 0.5 : 0.0))); };
        return refOverAll(d, Pixel{f(s.r), f(s.g), f(s.b), int16_t(a)});
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
    };
    for (double o : {0.0, 0.25, 0.5, 0.999, 1.0})
        rows.push_back({"over with opacity",
                        [o](Pixmap* d, const Pixmap* s) { composite_ADD_APPLY_SRC_ALPHA_INV_ALL(d, s, o); },
                        refOverOpacity(o)});
    return rows;
}

// Every pairing of a grid of alphas with a few colour triples (zero, positive,
// negative, full scale), then random pixels; destination and source as two lists.
std::pair<std::vector<Pixel>, std::vector<Pixel>> gridPairs(unsigned seed, bool nonNegative) {
    const int alphas[] = {-32767, -16384, -1, 0, 1, 100, 16384, 32766, 32767};
    const int colours[][3] = {
        {0, 0, 0}, {100, 0, 32767}, {-100, -32767, 20000}, {32767, 16384, -1}, {-5000, 7, 0}};
    const auto v = [nonNegative](int x) { return int16_t(nonNegative ? std::abs(x) : x); };
    std::vector<Pixel> dst, src;
    for (int sa : alphas)
        for (int da : alphas)
            for (std::size_t i = 0; i < 5; ++i) {
                const int* sc = colours[i];
                const int* dc = colours[(i + 1 + std::size_t(sa & 3)) % 5];
                src.push_back({v(sc[0]), v(sc[1]), v(sc[2]), v(sa)});
                dst.push_back({v(dc[0]), v(dc[1]), v(dc[2]), v(da)});
            }
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> any(-32767, 32767);
    for (int i = 0; i < 2000; ++i) {
        src.push_back({v(any(rng)), v(any(rng)), v(any(rng)), v(any(rng))});
        dst.push_back({v(any(rng)), v(any(rng)), v(any(rng)), v(any(rng))});
    }
    return {dst, src};
}

TEST(CompositeOps, EveryOperationMatchesItsReferenceOnTheValueGrid) {
    for (const OpRow& row : opRows()) {
        const auto [dstPixels, srcPixels] = gridPairs(7, row.positiveSource);
        PixmapPtr dst = rowPixmap(dstPixels), src = rowPixmap(srcPixels);
        src->setAllPositive(row.positiveSource);
        dst->setAllPositive(false);
        row.run(dst.get(), src.get());
        std::vector<Pixel> want;
        for (std::size_t i = 0; i < dstPixels.size(); ++i)
            want.push_back(row.ref(dstPixels[i], srcPixels[i]));
        EXPECT_TRUE(samePixels(*dst, *rowPixmap(want))) << row.name;
    }
}

// One pixel through each structural operation, worked out by hand.
TEST(CompositeOps, StructuralOperationsAndTheOverOnOnePixel) {
    const struct {
        GenericCompositeOp colour, alpha;
        double opacity;
        Pixel d, s, want;
    } cases[] = {
        // CUT scales dst by 1 - Sa, CUT_INV by Sa, rounded half up (not symmetric below 0).
        {CUT, NONE, 1, px(1000, -1000, 3, 32767), px(0, 0, 0, 16384), px(500, -499, 1, 16383)},
        {CUT_INV, NONE, 1, px(1000, -1000, 3, 32767), px(0, 0, 0, 8192), px(250, -249, 1, 8192)},
        {CUT_INV, NONE, 1, px(1000, -1000, 3, 32767), px(5, 5, 5, -5), px(0, 0, 0, 0)},
        // dst colour by 1 - Sa, alpha kept.
        {APPLY_SRC_ALPHA_INV, NONE, 1, px(1000, -1000, 32767, 5), px(9, 9, 9, 16384),
         px(500, -499, 16383, 5)},
        // src colour by Da, added and saturated.
        {ADD_APPLY_DST_ALPHA, NONE, 1, px(1000, 0, 32000, 16384), px(3000, -3000, 3000, 100),
         px(2500, -1499, 32767, 16384)},
        // The same with the product in single precision: 4349 * F(20000) is 2654.49995, as a float 2654.5.
        {APPLY_DST_ALPHA, NONE, 1, px(100, 50, 0, 20000), px(4349, -3000, 32767, 7),
         px(2755, -1780, 20000, 20000)},
        // The tone rule, src alpha as the weight.
        {MULT_APPLY_DST_ALPHA, NONE, 1, px(10000, 10000, 10000, 32767), px(32767, -8192, 0, 16384),
         px(7500, 7500, 5000, 32767)},
        // Replaced where src alpha reaches the threshold, trunc(0.5 * 32767 + 0.5) = 16384.
        {REPLACE_IF_NON_ZERO_ALPHA_SRC, NONE, 0.5, px(1, 2, 3, 4), px(5, 6, 7, 16383), px(1, 2, 3, 4)},
        {REPLACE_IF_NON_ZERO_ALPHA_SRC, NONE, 0.5, px(1, 2, 3, 4), px(5, 6, 7, 16384), px(5, 6, 7, 16384)},
        // The threshold is a 16-bit value: 1.5 gives trunc(49151.0) = 49151, which is -16385,
        // so alpha -100 reaches it; 2.0 wraps to -2 and 3.0 to 32765.
        {REPLACE_IF_NON_ZERO_ALPHA_SRC, NONE, 1.5, px(1, 2, 3, 4), px(5, 6, 7, 100), px(5, 6, 7, 100)},
        {REPLACE_IF_NON_ZERO_ALPHA_SRC, NONE, 1.5, px(1, 2, 3, 4), px(5, 6, 7, -100), px(5, 6, 7, -100)},
        {REPLACE_IF_NON_ZERO_ALPHA_SRC, NONE, 1.5, px(1, 2, 3, 4), px(5, 6, 7, -16386), px(1, 2, 3, 4)},
        {REPLACE_IF_NON_ZERO_ALPHA_SRC, NONE, 2.0, px(1, 2, 3, 4), px(5, 6, 7, -1), px(5, 6, 7, -1)},
        {REPLACE_IF_NON_ZERO_ALPHA_SRC, NONE, 3.0, px(1, 2, 3, 4), px(5, 6, 7, 32766), px(5, 6, 7, 32766)},
        // Alpha operations: saturated sums, the over (a tone pixel only onto a transparent
        // pixel), dst alpha by 1 - Sa.
        {NONE, ADD, 1, px(1, 2, 3, 30000), px(0, 0, 0, 5000), px(1, 2, 3, 32767)},
        {NONE, SUBTRACT_legacy, 1, px(1, 2, 3, -30000), px(0, 0, 0, 5000), px(1, 2, 3, -32767)},
        {NONE, ADD_APPLY_SRC_ALPHA_INV, 1, px(1, 2, 3, 10000), px(0, 0, 0, 16384), px(1, 2, 3, 21384)},
        {NONE, ADD_APPLY_SRC_ALPHA_INV, 1, px(1, 2, 3, 0), px(0, 0, 0, -500), px(1, 2, 3, -500)},
        {NONE, ADD_APPLY_SRC_ALPHA_INV, 1, px(1, 2, 3, 7), px(0, 0, 0, -500), px(1, 2, 3, 7)},
        {NONE, APPLY_SRC_ALPHA, 1, px(1, 2, 3, 10000), px(0, 0, 0, 16384), px(1, 2, 3, 5000)},
        // The over, independent of the reference formulas above. Half-transparent source on
        // opaque white: (32767 * 16383 + 32767) >> 15 = 16383.
        {ADD_APPLY_SRC_ALPHA_INV, NONE, 1, px(32767, 32767, 0, 32767), px(1000, 0, 0, 16384),
         px(17383, 16383, 0, 32767)},
        // Arithmetic shift of a negative destination: floor(-656007233 / 32768) + 50.
        {ADD_APPLY_SRC_ALPHA_INV, NONE, 1, px(-20000, 0, 0, 1), px(50, 0, 0, 100), px(-19888, 0, 0, 1)},
        // A tone pixel (A = 0.5, C = 0.5) multiplies by 1 - A + A * C: F(8192) + I(16384).
        {ADD_APPLY_SRC_ALPHA_INV, NONE, 1, px(32767, 10000, 0, 32767), px(-8192, 0, 0, -16384),
         px(24575, 5000, 0, 32767)},
    };
    for (const auto& c : cases) {
        PixmapPtr dst = rowPixmap({c.d}), src = rowPixmap({c.s});
        composite(dst.get(), src.get(), c.colour, c.alpha, c.opacity);
        EXPECT_EQ(*dst->data(), c.want) << "colour " << c.colour << " alpha " << c.alpha << " dst " << c.d;
    }
}

// Cel-like content allocated inside, overlapping or outside the canvas; the positive
// kind without additive light and tone pixels.
PixmapPtr randomPixmap(std::mt19937& rng, int cw, int ch, bool positive) {
    std::uniform_int_distribution<int> x(-cw / 2, cw), y(-ch / 2, ch), w(1, cw + cw / 2), h(1, ch + ch / 2);
    PixmapPtr p = comptest::randomPixmap(rng, cw, ch, Math::Box2di(x(rng), y(rng), w(rng), h(rng)));
    if (positive)
        for (long long i = 0; i < p->allocatedArea(); ++i)
            if (p->data()[i].a <= 0) p->data()[i] = px(0, 0, 0, 0);
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

// The parallel and the serial passes equal the per-pixel formulas applied one
// pixel at a time; the flag follows both inputs.
TEST(CompositeProperty, OverAndCopyPairsEqualTheFormulaSerialAndParallel) {
    std::mt19937 rng(2024);
    for (int round = 0; round < 36; ++round) {
        const bool positive = round % 2 == 0, copy = round % 3 == 2;
        const int cw = 160 + int(rng() % 160), ch = 120 + int(rng() % 80);
        PixmapPtr src = randomPixmap(rng, cw, ch, positive);
        PixmapPtr dst = randomPixmap(rng, cw, ch, round % 3 == 0);
        const bool dstFlag = dst->areAllPositive();
        const PixmapPtr want = reference(*dst, *src, copy);
        for (bool serial : {false, true}) {
            detail::setSerialForTesting(serial);
            PixmapPtr got(dst->clone());
            const GenericCompositeOp op = copy ? COPY : ADD_APPLY_SRC_ALPHA_INV;
            composite(got.get(), src.get(), op, op);
            detail::setSerialForTesting(false);
            ASSERT_TRUE(samePixels(*got, *want)) << "round " << round << (serial ? " serial" : " parallel");
            EXPECT_EQ(got->areAllPositive(), copy ? positive : dstFlag && positive);
        }
    }
}

// The dispatcher's rejections, flags and regions, and the three-operand cuts.
TEST(CompositeDispatch, RejectedOperationsAndNullPixmaps) {
    PixmapPtr src = filled(8, 8, Math::Box2di(0, 0, 8, 8), {100, 100, 100, 32767});
    // A colour operation is refused before dst is touched, not even grown.
    for (int op : {4, 8, 9, 10, 48, 53, 58, 62, 70, -1}) {
        PixmapPtr dst = filled(8, 8, Math::Box2di(2, 2, 3, 3), {7, 7, 7, 7});
        dst->setAllPositive(true);
        PixmapPtr before(dst->clone());
        EXPECT_EQ(thrownText([&] { composite(dst.get(), src.get(), GenericCompositeOp(op), NONE); }),
                  QStringLiteral("color composite operation (%1) not implemented").arg(op).toStdString());
        EXPECT_TRUE(samePixels(*dst, *before)) << op;
        EXPECT_TRUE(dst->areAllPositive());
    }
    // An alpha operation is refused after the colour step, before the flag step.
    for (int op : {2, 3, 5, 12, 13, 29, 38, 44, 70}) {
        PixmapPtr dst = filled(8, 8, Math::Box2di(0, 0, 8, 8), {10, 10, 10, 32767});
        dst->setAllPositive(true);
        EXPECT_EQ(
            thrownText([&] { composite(dst.get(), src.get(), ADD_APPLY_DST_ALPHA, GenericCompositeOp(op)); }),
            QStringLiteral("alpha composite operation (%1) not implemented").arg(op).toStdString());
        EXPECT_EQ(*dst->pixel(1, 1), (Pixel{110, 110, 110, 32767})) << op;
        EXPECT_TRUE(dst->areAllPositive()) << op;
    }
    const Pixmap* none = nullptr;
    EXPECT_EQ(thrownText([&] { composite(nullptr, src.get(), COPY, COPY); }), "invalid pointer");
    EXPECT_EQ(thrownText([&] { composite(src.get(), none, FN_HUE, NONE, 1.0); }), "invalid pointer");
    EXPECT_EQ(thrownText([&] { composite_CUT(src.get(), src.get(), none); }), "invalid pointer");
}

TEST(CompositeDispatch, FlagOfTheCopyPairAndTheOverAtAnOpacity) {
    // The copy pair over equal rectangles (one block copy) takes src's flag.
    PixmapPtr inner = filled(10, 10, Math::Box2di(1, 1, 5, 5), {-3, 4, 5, 6});
    PixmapPtr same = filled(10, 10, Math::Box2di(1, 1, 5, 5), {});
    same->setAllPositive(true);
    inner->setAllPositive(false);
    composite(same.get(), inner.get(), COPY, COPY);
    EXPECT_TRUE(samePixels(*same, *inner));
    EXPECT_FALSE(same->areAllPositive());
    // The over at an opacity keeps the flag where both had it; other pairs clear it.
    auto run = [](bool srcFlag, GenericCompositeOp alphaOp, double o) {
        PixmapPtr dst = filled(4, 4, Math::Box2di(0, 0, 4, 4), {0, 0, 0, 100});
        PixmapPtr src = filled(4, 4, Math::Box2di(0, 0, 4, 4), {50, 0, 0, 100});
        src->setAllPositive(srcFlag);
        composite(dst.get(), src.get(), ADD_APPLY_SRC_ALPHA_INV, alphaOp, o);
        return dst->areAllPositive();
    };
    EXPECT_TRUE(run(true, ADD_APPLY_SRC_ALPHA_INV, 0.5));
    EXPECT_FALSE(run(false, ADD_APPLY_SRC_ALPHA_INV, 0.5));
    EXPECT_FALSE(run(true, NONE, 1.0));
}

TEST(CompositeDispatch, EmptyIntersectionChangesNoPixelExceptWhereAnOperationClearsTheRest) {
    // src lies wholly outside dst's canvas: growing changes nothing and no pixel is visited;
    // COPY and APPLY_DST_ALPHA clear the colour outside the common rectangle, alpha COPY the alpha.
    PixmapPtr src = filled(8, 8, Math::Box2di(20, 20, 4, 4), {1000, -1000, 0, -5000});
    const Pixel p{300, -300, 20, 16000};
    for (int op : {1, 2, 3, 5, 11, 12, 13, 14, 29}) {
        PixmapPtr dst = filled(8, 8, Math::Box2di(0, 0, 8, 8), p);
        composite(dst.get(), src.get(), GenericCompositeOp(op), op == 13 ? ADD_APPLY_SRC_ALPHA_INV : NONE);
        ASSERT_EQ(dst->allocatedRect(), Math::Box2di(0, 0, 8, 8)) << op;
        const bool clearsColour = op == APPLY_DST_ALPHA || op == COPY;
        EXPECT_EQ(*dst->pixel(3, 3), (clearsColour ? Pixel{0, 0, 0, p.a} : p)) << op;
    }
    for (int op : {1, 4, 6, 7, 11}) {
        PixmapPtr dst = filled(8, 8, Math::Box2di(0, 0, 8, 8), p);
        composite(dst.get(), src.get(), NONE, GenericCompositeOp(op));
        EXPECT_EQ(*dst->pixel(5, 5), (op == COPY ? Pixel{p.r, p.g, p.b, 0} : p)) << op;
    }
    Pixmap empty(6, 6); // no buffer: nothing to clear
    clearSidesAll(&empty, src.get());
    EXPECT_EQ(empty.data(), nullptr);
}

TEST(CompositeDispatch, CutsOfTwoAndThreeOperands) {
    PixmapPtr src = makePixmap(8, 8, Math::Box2di(0, 0, 8, 8));
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) *src->pixel(x, y) = Pixel{int16_t(1000 * x), int16_t(y), 0, 32767};
    src->setAllPositive(false);
    PixmapPtr mask = makePixmap(8, 8, Math::Box2di(4, 0, 4, 8)); // right half
    for (int y = 0; y < 8; ++y)
        for (int x = 4; x < 8; ++x)
            *mask->pixel(x, y) = Pixel{0, 0, 0, int16_t(y == 0 ? 32767 : (y == 1 ? 16384 : -1))};

    // CUT: dst becomes src (src reaches outside the mask), then the mask is cut out of it.
    PixmapPtr dst = filled(8, 8, Math::Box2di(0, 0, 2, 2), {9, 9, 9, 9});
    composite_CUT(dst.get(), src.get(), mask.get());
    EXPECT_EQ(dst->allocatedRect(), src->allocatedRect());
    EXPECT_FALSE(dst->areAllPositive());
    EXPECT_EQ(*dst->pixel(1, 0), *src->pixel(1, 0));
    EXPECT_EQ(*dst->pixel(5, 0), (Pixel{0, 0, 0, 0}));
    EXPECT_EQ(*dst->pixel(5, 3), *src->pixel(5, 3));

    // CUT_INV writes only the overlap of src and mask into a dst that covers it.
    PixmapPtr inv = filled(8, 8, Math::Box2di(0, 0, 8, 8), {9, 9, 9, 9});
    cutIfAlphaIsNot0(inv.get(), src.get(), mask.get(), true);
    EXPECT_EQ(*inv->pixel(1, 0), (Pixel{9, 9, 9, 9}));
    EXPECT_EQ(*inv->pixel(5, 0), *src->pixel(5, 0));
    EXPECT_EQ(*inv->pixel(5, 3), (Pixel{0, 0, 0, 0}));

    // A dst that does not cover the overlap is refused rather than overrun.
    PixmapPtr small = filled(8, 8, Math::Box2di(0, 0, 2, 2), {});
    EXPECT_EQ(thrownText([&] { composite_CUT_INV(small.get(), src.get(), mask.get()); }),
              "incorrect parameters");
    // CUT keeps dst's allocation where src reaches past it.
    PixmapPtr wide = filled(10, 10, Math::Box2di(2, 2, 12, 12), {0, 0, 0, 32767});
    PixmapPtr cut = filled(10, 10, Math::Box2di(0, 0, 4, 4), {5, 5, 5, 32767});
    composite(cut.get(), wide.get(), CUT, NONE);
    EXPECT_EQ(cut->allocatedRect(), Math::Box2di(0, 0, 4, 4));
    EXPECT_EQ(*cut->pixel(3, 3), (Pixel{0, 0, 0, 0}));
    // CUT_INV shrinks dst to src unless an alpha operation keeps the pixels outside.
    PixmapPtr corner = filled(8, 8, Math::Box2di(2, 2, 4, 4), {0, 0, 0, 32767});
    for (int alphaOp : {0, 8, 9, 10, 1}) {
        PixmapPtr whole = filled(8, 8, Math::Box2di(0, 0, 8, 8), {100, 100, 100, 32767});
        composite(whole.get(), corner.get(), CUT_INV, GenericCompositeOp(alphaOp));
        const bool shrinks = alphaOp != 1;
        EXPECT_EQ(whole->allocatedRect(), shrinks ? Math::Box2di(2, 2, 4, 4) : Math::Box2di(0, 0, 8, 8))
            << alphaOp;
        EXPECT_EQ(whole->pixel(3, 3)->r, 100) << alphaOp;
    }
}

// The name table beside the enumeration: every value the dispatcher takes, as a
// colour or an alpha operation, has its enumeration name, and the name (in any
// case) gives the value back; the values it rejects in both roles have none.
TEST(CompositeDispatch, EveryOperationHasItsName) {
    for (int op = 0; op < 72; ++op) {
        const auto accepts = [op](bool asColour) {
            PixmapPtr dst = filled(2, 1, Math::Box2di(0, 0, 2, 1), {10, 10, 10, 32767});
            PixmapPtr src = filled(2, 1, Math::Box2di(0, 0, 2, 1), {5, 5, 5, 16384});
            try {
                composite(dst.get(), src.get(), asColour ? GenericCompositeOp(op) : NONE,
                          asColour ? NONE : GenericCompositeOp(op));
            } catch (const AlgoException&) {
                return false;
            }
            return true;
        };
        const std::string name = compositeOpName(op);
        EXPECT_EQ(!name.empty(), accepts(true) || accepts(false)) << op << " " << name;
        if (name.empty()) continue;
        EXPECT_EQ(compositeOpValue(name), op) << name;
        std::string lower = name;
        for (char& c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
        EXPECT_EQ(compositeOpValue(lower), op) << lower;
    }
    EXPECT_EQ(compositeOpValue("over"), int(ADD_APPLY_SRC_ALPHA_INV));
    EXPECT_EQ(compositeOpValue("nosuchop"), -1);
    EXPECT_STREQ(compositeOpName(-1), "");
}

} // namespace
