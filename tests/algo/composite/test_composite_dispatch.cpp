// The dispatcher's rejections, flags and regions, and the three-operand cuts.

#include "algo/composite/BlendModes.h"
#include "test_composite_util.h"

using namespace comptest;
using namespace CelAlgo;

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

TEST(CompositeDispatch, CutsWorkOnTheIntersection) {
    // CUT keeps dst's allocation where src reaches past it.
    PixmapPtr src = filled(10, 10, Math::Box2di(2, 2, 12, 12), {0, 0, 0, 32767});
    PixmapPtr cut = filled(10, 10, Math::Box2di(0, 0, 4, 4), {5, 5, 5, 32767});
    composite(cut.get(), src.get(), CUT, NONE);
    EXPECT_EQ(cut->allocatedRect(), Math::Box2di(0, 0, 4, 4));
    EXPECT_EQ(*cut->pixel(3, 3), (Pixel{0, 0, 0, 0}));
    // CUT_INV shrinks dst to src unless an alpha operation keeps the pixels outside.
    src = filled(8, 8, Math::Box2di(2, 2, 4, 4), {0, 0, 0, 32767});
    for (int alphaOp : {0, 8, 9, 10, 1}) {
        PixmapPtr dst = filled(8, 8, Math::Box2di(0, 0, 8, 8), {100, 100, 100, 32767});
        composite(dst.get(), src.get(), CUT_INV, GenericCompositeOp(alphaOp));
        const bool shrinks = alphaOp != 1;
        EXPECT_EQ(dst->allocatedRect(), shrinks ? Math::Box2di(2, 2, 4, 4) : Math::Box2di(0, 0, 8, 8))
            << alphaOp;
        EXPECT_EQ(dst->pixel(3, 3)->r, 100) << alphaOp;
    }
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

TEST(CompositeDispatch, ThreeOperandCuts) {
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
