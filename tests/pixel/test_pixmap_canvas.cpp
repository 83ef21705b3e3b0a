// Canvas pixmaps: adoption, byte accounting, crop to content, alpha
// operations, conversions; the out-of-memory path of every kind of pixmap.
#include <gtest/gtest.h>

#include <QImage>
#include <memory>
#include <random>

#include "PixelTestUtil.h"
#include "base/Message.h"
#include "pixel/PixmapArea.h"
#include "pixel/PixmapArea3D.h"
#include "pixel/PixmapCanvas.h"

using pixeltest::own;
using pixeltest::px16;
using pixeltest::total;

TEST(CanvasPixmap, AdoptReleaseAndSetData) {
    const auto before = total();
    CEL_PixmapRGBA16 p(2, 2, new CEL_PixelRGBA16[4]());
    EXPECT_EQ(total(), before + 32);
    EXPECT_TRUE(!p.pixel(2, 0) && !p.pixel(-1, 0));
    CEL_PixelRGBA16* raw = p.releaseData();
    EXPECT_TRUE(total() == before && p.width() == 0 && !p.data());
    p.setData(raw, 4, 1);
    p.setData(p.data(), 2, 2); // adopting its own buffer again must not free it
    EXPECT_EQ(p.allocatedSize(), 32u);
    p.setData(nullptr, 3, 3);
    EXPECT_EQ(total(), before);
    EXPECT_EQ(CEL_PixmapMatte16(0, 5, new short[3]).data(), nullptr); // data freed, pixmap empty

    // 32-bit ARGB words: bytes b, g, r, a in memory become r, g, b, a.
    unsigned int words[2];
    const unsigned char bytes[8] = {10, 20, 30, 40, 1, 2, 3, 4};
    std::memcpy(words, bytes, 8);
    CEL_PixmapRGBA8 q(1, 1);
    q.setData(words, 2, 1);
    EXPECT_TRUE(*q.pixel(0, 0) == (CEL_PixelRGBA8{30, 20, 10, 40}) &&
                *q.pixel(1, 0) == (CEL_PixelRGBA8{3, 2, 1, 4}));
    EXPECT_EQ(total(), before + 8);
}

// Crop to content: the chunked scan against a brute-force box, over widths
// around the chunk size and content near every edge. Colour with alpha 0 is
// content; an empty canvas gives one pixel.
TEST(CanvasPixmap, CropScanMatchesBruteForce) {
    std::mt19937 rng(7);
    for (int round = 0; round < 300; ++round) {
        const int w = 1 + int(rng() % 70), h = 1 + int(rng() % 9);
        CEL_PixmapRGBA8 p(w, h);
        Math::Box2di expect;
        const int dots = int(rng() % 4);
        for (int d = 0; d < dots; ++d) {
            const int x = int(rng() % w), y = int(rng() % h);
            (d % 2 ? p.pixel(x, y)->a : p.pixel(x, y)->g) = uint8_t(1 + rng() % 255);
            expect.add(x, y);
        }
        auto area = own<CEL_PixmapAreaRGBA16>(p.convertTo(CEL_Representation::PIXMAP_AREA_RGBA16));
        ASSERT_TRUE(area && area->canvasRect() == Math::Box2di(0, 0, w, h)) << w << 'x' << h;
        ASSERT_EQ(area->allocatedRect(), dots ? expect : Math::Box2di(0, 0, 1, 1)) << w << 'x' << h;
    }
}

TEST(CanvasPixmap, AlphaOperations8And16) {
    using P = CEL_PixelRGBA8;
    const auto p = pixeltest::row<CEL_PixmapRGBA8, P>(
        {{100, 50, 0, 0}, {100, 50, 200, 128}, {255, 0, 0, 0}, {200, 100, 255, 128}});
    std::unique_ptr<CEL_PixmapRGBA8> d(p->clone()), w(p->clone());
    d->demultiplyColorByAlpha();
    EXPECT_TRUE(*d->pixel(0, 0) == (P{0, 0, 0, 0}) && *d->pixel(1, 0) == (P{199, 100, 255, 128}));
    w->straightToPremultipliedWithWhite();
    EXPECT_TRUE(*w->pixel(2, 0) == (P{255, 255, 255, 0}) && *w->pixel(3, 0) == (P{227, 177, 255, 128}));

    p->multiplyColorByAlpha();
    EXPECT_EQ(*p->pixel(3, 0), (P{100, 50, 128, 128}));
    *p->pixel(0, 0) = P{200, 10, 90, 90};
    p->clampColorToAlpha();
    EXPECT_EQ(*p->pixel(0, 0), (P{90, 10, 90, 90}));
    p->unmultiplyColorByAlpha(); // wrap-around, no clamping: 10 - (255 - 90) in 8 bits
    EXPECT_EQ(p->pixel(0, 0)->g, uint8_t(10 - 165));

    const auto p16 = pixeltest::row<CEL_PixmapRGBA16>(
        {px16(32767, -32767, 100, 1), px16(16384, 100, -50, 16384), px16(5, 6, 7, 0)});
    std::unique_ptr<CEL_PixmapRGBA16> d16(p16->clone());
    d16->demultiplyColorByAlpha();
    EXPECT_EQ(*d16->pixel(0, 0), px16(32767, -32767, 32767, 1)); // saturated to +-32767
    EXPECT_EQ(*d16->pixel(1, 0), px16(32767, 200, -99, 16384));  // trunc(-99.997 + 0.5)
    EXPECT_EQ(*d16->pixel(2, 0), px16(0, 0, 0, 0));
    d16.reset(p16->clone());
    d16->multiplyColorByAlpha();
    EXPECT_EQ(*d16->pixel(1, 0), px16(8192, 50, -24, 16384)); // truncation toward zero
    p16->straightToPremultipliedWithWhite();
    EXPECT_EQ(*p16->pixel(1, 0), px16(24575, 16433, 16359, 16384));
}

TEST(CanvasPixmap, ConversionsBetweenCanvasKinds) {
    using R = CEL_Representation;
    const auto p = pixeltest::row<CEL_PixmapRGBA8, CEL_PixelRGBA8>({{255, 255, 255, 255}, {100, 200, 50, 0}});
    auto m = own<CEL_PixmapMatte8>(p->convertTo(R::PIXMAP_MATTE8));
    ASSERT_TRUE(m && *m->pixel(0, 0) == 255);
    EXPECT_EQ(*m->pixel(1, 0), 153); // 0.3 r + 0.59 g + 0.11 b, alpha ignored

    const auto matte = pixeltest::row<CEL_PixmapMatte8, unsigned char>({128});
    auto fromMatte16 = own<CEL_PixmapRGBA16>(matte->convertTo(R::PIXMAP_RGBA16));
    EXPECT_TRUE(fromMatte16 && *fromMatte16->pixel(0, 0) == px16(16447, 16447, 16447, 16447));
    EXPECT_EQ(matte->getImage().pixel(0, 0), qRgba(128, 128, 128, 255));

    const auto deep = pixeltest::row<CEL_PixmapMatte16, short>({32767, -5});
    auto shallow = own<CEL_PixmapMatte8>(deep->convertTo(R::PIXMAP_MATTE8));
    EXPECT_TRUE(shallow && shallow->data()[0] == 255 && shallow->data()[1] == 0);
    EXPECT_TRUE(deep->getImage().isNull() && CEL_PixmapRGBA8(0, 4).getImage().isNull());
}

// Under the byte cap every kind of pixmap stays (or becomes) empty, and one
// report names its type and size.
TEST(PixmapMemory, OutOfMemoryLeavesEmptyPixmapsAndReports) {
    const auto before = total();
    QXMessage::Capture capture;
    CEL_PixmapAreaRGBA16 area(100, 100);
    area.realloc(Math::Box2di(0, 0, 4, 4), true);
    CEL_PixmapArea3D deep(1000, 1000);
    deep.realloc(Math::Box2di(0, 0, 2, 2), true);
    {
        pixeltest::ByteCap cap(1000);
        CEL_PixmapRGBA16 big(20, 10); // 1600 bytes
        EXPECT_TRUE(!big.data() && big.width() == 0 && big.height() == 0);
        EXPECT_NE(CEL_PixmapRGBA16(CEL_PixmapRGBA8(10, 10)).data(), nullptr); // 400 + 800 bytes: each fits
        CEL_PixmapAreaZ z(100, 100);
        EXPECT_FALSE(area.realloc(Math::Box2di(0, 0, 100, 100), true) ||
                     z.realloc(Math::Box2di(-5, 0, 300, 1), true) || deep.realloc(deep.canvasRect(), true));
    }
    EXPECT_TRUE(area.allocatedRect().hasNullArea() && deep.allocatedRect().hasNullArea());
    // Sizes whose byte count overflows 64 bits fail the same way; a negative side counts as 0.
    EXPECT_EQ(CEL_PixmapRGBA16(INT_MAX, INT_MAX).data(), nullptr);
    EXPECT_TRUE(CEL_PixmapRGBA8(-5, 10).canvasRect().hasNullArea());
    // Conversions and clones that cannot allocate give null.
    CEL_PixmapRGBA8 p(10, 10);
    p.pixel(0, 0)->a = p.pixel(9, 9)->a = 1;
    {
        pixeltest::ByteCap cap(300);
        EXPECT_FALSE(p.convertTo(CEL_Representation::PIXMAP_RGBA16) ||
                     p.convertTo(CEL_Representation::PIXMAP_AREA_RGBA16) || p.clone());
    }
    EXPECT_EQ(total(), before + 400);

    const QStringList texts = capture.texts();
    ASSERT_EQ(texts.size(), 8);
    EXPECT_EQ(texts.mid(0, 5),
              (QStringList{"Out of memory: cel PixmapRGBA16 (w: 20 h: 10) ",
                           "Out of memory: cel PixmapAreaRGBA16 (w: 100 h: 100) ",
                           "Out of memory: cel PixmapAreaZ (w: 300 h: 1) ",
                           "Out of memory: cel PixmapArea3D (w: 1000 h: 1000) ",
                           QString("Out of memory: cel PixmapRGBA16 (w: %1 h: %1) ").arg(INT_MAX)}));
    EXPECT_EQ(capture.records()[0].action * 100 + capture.records()[0].code, 209);

    // The cap is inclusive; 0 restores the default.
    const auto defaultCap = CEL_Pixmap::maxPixmapBytes();
    {
        pixeltest::ByteCap cap(4096);
        EXPECT_NE(CEL_PixmapRGBA8(32, 32).data(), nullptr);
    }
    CEL_Pixmap::setMaxPixmapBytes(10);
    CEL_Pixmap::setMaxPixmapBytes(0);
    EXPECT_EQ(CEL_Pixmap::maxPixmapBytes(), defaultCap);
}
