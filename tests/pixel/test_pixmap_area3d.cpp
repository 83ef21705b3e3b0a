// The depth pixmap: list insertion, flattening, conversions.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "PixelTestUtil.h"
#include "pixel/PixmapArea3D.h"
#include "pixel/PixmapCanvas.h"

namespace {

using pixeltest::own;
using pixeltest::px16;
using pixeltest::total;

CEL_Pixel3D sample(int r, int g, int b, int a, float z, unsigned id = 0) {
    return CEL_Pixel3D{px16(r, g, b, a), z, id, 0};
}

// The samples of the list at (x, y), near to far.
std::vector<CEL_Pixel3D> listAt(const CEL_PixmapArea3D& p, int x, int y) {
    std::vector<CEL_Pixel3D> out;
    const CEL_Pixel3D* s = p.pixel(x, y);
    if (!s || s->colour.isBlack()) return out;
    for (;;) {
        out.push_back(*s);
        if (s->next == 0) return out;
        s = &p.pixels()[s->next];
    }
}

std::vector<float> depthsAt(const CEL_PixmapArea3D& p, int x, int y) {
    std::vector<float> z;
    for (const CEL_Pixel3D& s : listAt(p, x, y)) z.push_back(s.z);
    return z;
}

// Exposes the flattening.
struct Flattener : CEL_PixmapArea3D {
    using CEL_PixmapArea3D::CEL_PixmapArea3D;
    using CEL_PixmapArea3D::resolveTranparencyLists;
};

CEL_PixelRGBA16 flattenOne(const std::vector<CEL_Pixel3D>& nearToFar) {
    Flattener p(1, 1);
    p.realloc(Math::Box2di(0, 0, 1, 1), true);
    // Deepest first, each inserted behind the ones already there.
    for (const CEL_Pixel3D& s : nearToFar) p.insertPixel(0, 0, s);
    CEL_PixmapAreaRGBA16 out(1, 1);
    out.realloc(Math::Box2di(0, 0, 1, 1), false);
    p.resolveTranparencyLists(&out);
    return *out.data();
}

} // namespace

TEST(DepthPixmap, InsertionKeepsListsNearToFar) {
    CEL_PixmapArea3D p(4, 2);
    ASSERT_TRUE(p.realloc(p.canvasRect(), true));

    // Behind one another, in any order; a zero sample is never stored.
    for (float z : {2.0f, 3.0f, 1.0f, 2.5f}) p.insertPixel(0, 0, sample(100, 0, 0, 8000, z));
    p.insertPixel(0, 0, sample(0, 0, 0, 0, 9.0f));
    EXPECT_EQ(depthsAt(p, 0, 0), (std::vector<float>{3.0f, 2.5f, 2.0f, 1.0f}));

    // An opaque sample in front cuts the list (more of that through the
    // compositor: test_composite3d.cpp); the store keeps its samples.
    const std::size_t stored = p.pixels().size();
    p.insertPixel(0, 0, sample(0, 0, 32767, 32767, 5.0f));
    EXPECT_EQ(p.pixels().size(), stored);

    // An opaque sample inside a list ends it there; one behind an opaque sample is dropped.
    for (float z : {3.0f, 2.0f, 1.0f}) p.insertPixel(1, 0, sample(0, 100, 0, 8000, z));
    p.insertPixel(1, 0, sample(0, 0, 900, 32767, 2.5f));
    p.insertPixel(1, 0, sample(7, 7, 7, 7000, 0.5f));
    EXPECT_EQ(depthsAt(p, 1, 0), (std::vector<float>{3.0f, 2.5f}));

    // Level samples: the later one is nearer, at the head and inside the list.
    p.insertPixel(2, 0, sample(16383, 0, 0, 16383, 1.0f));
    p.insertPixel(2, 0, sample(0, 16383, 0, 16383, 1.0f));
    p.insertPixel(2, 0, sample(0, 0, 5, 5, 3.0f));
    p.insertPixel(2, 0, sample(0, 0, 6, 6, 1.0f));
    const std::vector<CEL_Pixel3D> level = listAt(p, 2, 0);
    ASSERT_EQ(level.size(), 4u);
    EXPECT_TRUE(level[1].colour == px16(0, 0, 6, 6) && level[2].colour == px16(0, 16383, 0, 16383));

    // Identifiers are offset by the current one; 0 stays 0.
    p.incrementDepthBufferId(5);
    p.insertPixel(3, 0, sample(1, 1, 1, 100, 2.0f, 2));
    p.insertPixel(3, 0, sample(1, 1, 1, 100, 1.0f, 0));
    EXPECT_TRUE(listAt(p, 3, 0)[0].depthBufferId == 7u && listAt(p, 3, 0)[1].depthBufferId == 0u &&
                p.getNextDepthBufferId() == 6u);

    // A list of its own, growing store, and a plain array; none outside the allocation.
    p.insertPixels(0, 1, *p.pixel(1, 0), p.pixels());
    EXPECT_EQ(depthsAt(p, 0, 1), (std::vector<float>{3.0f, 2.5f}));
    p.insertPixels(1, 1, level);
    EXPECT_EQ(depthsAt(p, 1, 1), (std::vector<float>{3.0f, 1.0f, 1.0f, 1.0f}));
    p.insertPixel(9, 9, sample(1, 1, 1, 1, 1.0f));
}

TEST(DepthPixmap, FlatteningCompositesFarToNear) {
    // Half-transparent red over opaque blue; a lone half-transparent head as it is.
    EXPECT_EQ(flattenOne({sample(16383, 0, 0, 16383, 2.0f), sample(0, 0, 32767, 32767, 1.0f)}),
              px16(16383, 0, 16384, 32767));
    EXPECT_EQ(flattenOne({sample(16383, 0, 0, 16383, 2.0f)}), px16(16383, 0, 0, 16383));

    // Only the head and 256 further samples count: the opaque 258th is ignored.
    std::vector<CEL_Pixel3D> additive;
    for (int i = 0; i < 257; ++i) additive.push_back(sample(0, 1, 0, 0, float(1000 - i)));
    additive.push_back(sample(32767, 0, 0, 32767, 0.0f));
    EXPECT_EQ(flattenOne(additive), px16(0, 257, 0, 0));
    additive.erase(additive.begin());
    EXPECT_EQ(flattenOne(additive), px16(32767, 256, 0, 32767));

    // Additive light saturates and skips zero channels; a tone sample multiplies by 1 - A + |C|
    // (colour <= 0) or 1 - A - a * A / C (above), rounded; onto a transparent accumulator it
    // is copied; alpha -32768 reads as -32767.
    EXPECT_EQ(flattenOne({sample(30000, 0, -5, 0, 2.0f), sample(10000, 100, 100, 32767, 1.0f)}),
              px16(32767, 100, 95, 32767));
    EXPECT_EQ(flattenOne({sample(-8192, 0, 0, -16384, 2.0f), sample(32767, 10000, 0, 32767, 1.0f)}),
              px16(24575, 5000, 0, 32767));
    EXPECT_EQ(flattenOne({sample(8192, 0, 0, -16384, 2.0f), sample(20000, 20000, 20000, 32767, 1.0f)}),
              px16(30000, 10000, 10000, 32767));
    EXPECT_EQ(flattenOne({sample(-100, 5, 0, -300, 2.0f), sample(500, 0, 0, 0, 1.0f)}),
              px16(-100, 5, 0, -300));
    EXPECT_EQ(flattenOne({sample(0, 0, 0, -32768, 2.0f), sample(1000, 1000, 1000, 32767, 1.0f)}),
              px16(0, 0, 0, 32767));
}

TEST(DepthPixmap, ConversionsCopiesAndMemory) {
    const auto before = total();
    {
        CEL_PixmapArea3D p(Math::Size2di(3, 2), Math::Box2di(0, 0, 3, 2));
        ASSERT_TRUE(p.realloc(Math::Box2di(1, 0, 3, 2), true)); // reaches past the canvas
        EXPECT_EQ(total(), before + 6 * sizeof(CEL_Pixel3D));
        p.insertPixel(1, 0, sample(16383, 0, 0, 16383, 2.0f, 3));
        p.insertPixel(1, 0, sample(0, 0, 32767, 32767, 1.0f));
        p.insertPixel(2, 1, sample(0, 32767, 0, 32767, -4.0f));
        p.incrementDepthBufferId(4);

        const auto z = own<CEL_PixmapAreaZ>(p.convertTo(CEL_Representation::PIXMAP_AREA_ZBUF));
        ASSERT_TRUE(z && z->allocatedRect() == p.allocatedRect());
        EXPECT_TRUE(**z->pixel(1, 0) == 2.0f && z->pixel(3, 0)->isZero());
        const auto area = own<CEL_PixmapAreaRGBA16>(p.convertTo(CEL_Representation::PIXMAP_AREA_RGBA16));
        ASSERT_TRUE(area && area->allocatedRect() == p.allocatedRect());
        EXPECT_TRUE(*area->pixel(1, 0) == px16(16383, 0, 16384, 32767) && area->pixel(3, 1)->isBlack());

        // Deep copies; realloc keeps the lists of the heads it keeps.
        const std::unique_ptr<CEL_PixmapArea3D> c(p.clone());
        ASSERT_TRUE(c && c->currentDepthBufferId() == 4u);
        p.insertPixel(1, 0, sample(9, 9, 9, 32767, 8.0f));
        ASSERT_TRUE(c->realloc(Math::Box2di(0, 0, 2, 1), true) && c->pixel(0, 0)->colour.isBlack());
        EXPECT_EQ(depthsAt(*c, 1, 0), (std::vector<float>{2.0f, 1.0f}));
    }
    EXPECT_EQ(total(), before);
}
