// Area pixmaps: realloc and its overlap cases, the policy, clones, row
// flips, clipped conversions, the shared depth buffer and byte accounting.
#include <gtest/gtest.h>

#include <QImage>
#include <memory>

#include "PixelTestUtil.h"
#include "pixel/PixmapArea.h"
#include "pixel/PixmapCanvas.h"

using pixeltest::own;
using pixeltest::px16;
using pixeltest::total;

namespace {

// Pixel value that encodes its canvas position.
CEL_PixelRGBA16 marker(int x, int y) {
    return px16(x + 100, y + 100, 1, 32767);
}

void fillMarkers(CEL_PixmapAreaRGBA16& a) {
    const Math::Box2di& r = a.allocatedRect();
    for (int y = r.y1(); y < r.y2(); ++y)
        for (int x = r.x1(); x < r.x2(); ++x) *a.pixel(x, y) = marker(x, y);
}

// Every allocated pixel holds its marker inside keep and transparent black outside.
void expectKept(const CEL_PixmapAreaRGBA16& a, const Math::Box2di& keep) {
    const Math::Box2di& r = a.allocatedRect();
    for (int y = r.y1(); y < r.y2(); ++y)
        for (int x = r.x1(); x < r.x2(); ++x)
            ASSERT_EQ(*a.pixel(x, y), keep.isContaining(x, y) ? marker(x, y) : px16(0, 0, 0, 0))
                << x << ',' << y;
}

class GridPolicy : public CEL_Pixmap::AllocationRectPolicy {
public:
    // Rounds out to multiples of 8.
    Math::Box2di preferredAllocatedRect(const Math::Box2di& r) override {
        auto down = [](int v) { return v >= 0 ? v / 8 * 8 : -((-v + 7) / 8 * 8); };
        auto up = [&](int v) { return -down(-v); };
        return Math::Box2di::fromCorners(down(r.x1()), down(r.y1()), up(r.x2()), up(r.y2()));
    }
};

} // namespace

TEST(AreaPixmap, ReallocOverlapCases) {
    const auto before = total();
    {
        CEL_PixmapAreaRGBA16 a(10, 10);
        EXPECT_TRUE(a.realloc(Math::Box2di(0, 0, 10, 10), true));
        fillMarkers(a);
        const CEL_PixelRGBA16* ptr = a.data();
        a.realloc(Math::Box2di(0, 0, 10, 10), true);
        EXPECT_EQ(a.data(), ptr); // same rectangle: untouched
        a.realloc(Math::Box2di::fromCorners(5, 5, 15, 15), true);
        EXPECT_EQ(a.allocatedRect(), Math::Box2di::fromCorners(5, 5, 15, 15));
        expectKept(a, Math::Box2di::fromCorners(5, 5, 10, 10));
        EXPECT_TRUE(a.pixel(4, 4) == nullptr && total() == before + 800); // outside the allocation

        // Growing around the old rectangle on every side.
        fillMarkers(a);
        a.realloc(Math::Box2di::fromCorners(-3, 2, 20, 17), true);
        expectKept(a, Math::Box2di::fromCorners(5, 5, 15, 15));
        // No overlap: everything cleared.
        a.realloc(Math::Box2di(40, 40, 3, 3), true);
        expectKept(a, Math::Box2di());
        // An empty rectangle frees the buffer.
        a.realloc(Math::Box2di(), true);
        EXPECT_TRUE(a.data() == nullptr && total() == before);

        CEL_PixmapAreaRGBA16 b(10, 10);
        b.realloc(Math::Box2di::fromCorners(-10, -10, 20, 20), true);
        fillMarkers(b);
        b.clipToCanvas();
        expectKept(b, b.canvasRect());
        EXPECT_EQ(b.allocatedRect(), b.canvasRect());
    }
    EXPECT_EQ(total(), before);
}

TEST(AreaPixmap, FitAndPolicy) {
    CEL_PixmapAreaRGBA16 a(Math::Size2di(50, 50), Math::Box2di(0, 0, 50, 50));
    CEL_PixmapAreaRGBA16 b(Math::Size2di(60, 40), Math::Box2di(0, 0, 60, 40));
    b.realloc(Math::Box2di(30, 30, 40, 5), true);
    a.reallocToFit(&b); // empty: takes b's size and rectangle
    EXPECT_TRUE(a.size() == Math::Size2di(60, 40) && a.canvasRect() == Math::Box2di(0, 0, 50, 50) &&
                a.allocatedRect() == b.allocatedRect());
    fillMarkers(a);
    CEL_PixmapAreaRGBA16 c(10, 10);
    c.realloc(Math::Box2di(0, 0, 2, 2), true);
    a.reallocToFit(&c);
    EXPECT_EQ(a.allocatedRect(), Math::Box2di::fromCorners(0, 0, 70, 35));
    expectKept(a, Math::Box2di(30, 30, 40, 5));

    a.reallocToFitAndClipToCanvas(nullptr, true);
    EXPECT_EQ(a.allocatedRect(), Math::Box2di::fromCorners(0, 0, 50, 35));
    GridPolicy grid;
    a.setAllocationRectPolicy(&grid);
    a.realloc(Math::Box2di::fromCorners(3, -1, 9, 17), true);
    EXPECT_EQ(a.allocatedRect(), Math::Box2di::fromCorners(0, -8, 16, 24));
    a.setAllocationRectPolicy(nullptr);
}

TEST(AreaPixmap, ClonesAndCopies) {
    const auto before = total();
    {
        CEL_PixmapAreaRGBA16 a(Math::Size2di(8, 8), Math::Box2di(0, 0, 8, 8));
        a.realloc(Math::Box2di(2, 2, 4, 4), true);
        fillMarkers(a);
        a.setAllPositive(false);
        std::unique_ptr<CEL_PixmapAreaRGBA16> part(a.clone(Math::Box2di(4, 0, 6, 4)));
        ASSERT_TRUE(part && !part->areAllPositive() && !a.clone(Math::Box2di()));
        expectKept(*part, Math::Box2di::fromCorners(4, 2, 6, 4));
        CEL_PixmapAreaRGBA16 d(8, 8);
        d.realloc(a.allocatedRect(), false);
        d.copyFrom(&a);
        EXPECT_FALSE(d.areAllPositive());
        expectKept(d, a.allocatedRect());
        EXPECT_EQ(total(), before + 2 * 128 + 6 * 4 * 8);
    }
    EXPECT_EQ(total(), before);
}

TEST(AreaPixmap, AlphaOperations) {
    CEL_PixmapAreaRGBA16 a(2, 1);
    a.realloc(Math::Box2di(0, 0, 2, 1), true);
    *a.pixel(0, 0) = px16(32767, -32767, 100, -32768);
    *a.pixel(1, 0) = px16(300, 20000, -5, 16384);
    std::unique_ptr<CEL_PixmapAreaRGBA16> m(a.clone());
    m->multiplyColorByAlpha();
    EXPECT_EQ(*m->pixel(0, 0), px16(-32767, 32767, -99, -32768)); // clamped to +-32767
    m->invertAlpha();
    EXPECT_EQ(m->pixel(1, 0)->a, 32767 - 16384);
    a.unmultiplyColorByAlpha();
    EXPECT_EQ(*a.pixel(1, 0), px16(300 - 16383, 20000 - 16383, -5 - 16383, 16384));
}

TEST(AreaPixmap, OrientationFlip) {
    using O = CEL_PixmapAreaRGBAFloat;
    O f(2, 3);
    f.realloc(Math::Box2di(0, 0, 2, 3), true);
    for (int i = 0; i < 6; ++i) f.data(O::TopToBottom)[i].r = float(i);
    f.setOrientationFlag(O::BottomToTop);
    EXPECT_EQ(f.data(O::TopToBottom), nullptr); // the buffer only for a caller expecting its order
    std::vector<float> rows;
    for (int i = 0; i < 6; ++i) rows.push_back(f.data(O::BottomToTop)[i].r);
    EXPECT_EQ(rows, (std::vector<float>{4, 5, 2, 3, 0, 1}));
}

// Conversions clip to the canvas; what lies outside the allocation is transparent.
TEST(AreaPixmap, ClippedConversions) {
    using R = CEL_Representation;
    CEL_PixmapAreaRGBA16 a(4, 3);
    a.realloc(Math::Box2di::fromCorners(2, 1, 6, 5), true); // spills right and below
    fillMarkers(a);
    *a.pixel(3, 2) = px16(32767, 16447, -1, 128);

    auto c16 = own<CEL_PixmapRGBA16>(a.convertTo(R::PIXMAP_RGBA16));
    ASSERT_TRUE(c16 && c16->size() == Math::Size2di(4, 3));
    EXPECT_TRUE(*c16->pixel(2, 1) == marker(2, 1) && c16->pixel(1, 1)->isBlack());
    auto m16 = own<CEL_PixmapMatte16>(a.convertTo(R::PIXMAP_MATTE16));
    EXPECT_TRUE(m16 && *m16->pixel(0, 0) == -1); // outside the allocation: opaque matte
    EXPECT_EQ(a.getImage().pixel(3, 2), qRgba(255, 128, 0, 1));

    CEL_PixmapAreaRGBA16 outside(4, 3);
    outside.realloc(Math::Box2di(10, 10, 2, 2), true);
    fillMarkers(outside);
    auto t = own<CEL_PixmapRGBA16>(outside.convertTo(R::PIXMAP_RGBA16));
    ASSERT_TRUE(t &&
                std::all_of(t->data(), t->data() + 12, [](const CEL_PixelRGBA16& p) { return p.isBlack(); }));

    // To float and back through the area form, clipped to the canvas. Float to
    // 16 truncates, so the trip follows the pixel rules rather than being an identity.
    auto f = own<CEL_PixmapAreaRGBAFloat>(a.convertTo(R::PIXMAP_AREA_RGBAFLOAT));
    ASSERT_TRUE(f && f->allocatedRect() == a.allocatedRect());
    auto back = own<CEL_PixmapAreaRGBA16>(f->convertTo(R::PIXMAP_AREA_RGBA16));
    ASSERT_TRUE(back && back->allocatedRect() == Math::Box2di::fromCorners(2, 1, 4, 3));
    EXPECT_EQ(*back->pixel(3, 2), px16(32767, 16447, 0, 127));
}

TEST(AreaPixmap, DepthBuffer) {
    const auto before = total();
    {
        CEL_PixmapAreaZ z(10, 10);
        z.realloc(Math::Box2di(0, 0, 4, 4), true);
        EXPECT_TRUE(z.pixel(0, 0)->isZero() && z.pixel(3, 3)->isZero()); // "no depth" fills new storage
        *z.pixel(3, 3) = 5.0f;
        z.setZRange(-1.25, 7.5);
        z.setScale(2.0);
        z.realloc(Math::Box2di(2, 2, 4, 4), true);
        EXPECT_TRUE(**z.pixel(3, 3) == 5.0f && z.pixel(5, 5)->isZero());

        CEL_PixmapAreaZ shared(z); // shares the buffer and the z range, not the scale
        double lo = 0, hi = 0;
        shared.getZRange(lo, hi);
        EXPECT_TRUE(shared.data() == z.data() && shared.scale() == 1.0 && lo == -1.25 && hi == 7.5);

        // The sharer moves to its own buffer on realloc; z keeps the old one.
        shared.realloc(Math::Box2di(0, 0, 1, 1), true);
        EXPECT_TRUE(**z.pixel(3, 3) == 5.0f && total() == before + 64 + 4);
    }
    EXPECT_EQ(total(), before);
}
