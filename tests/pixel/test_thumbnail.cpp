#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "PixelTestUtil.h"
#include "algo/filters/Transform.h"
#include "cel/VectorQvd.h"
#include "pixel/PixmapArea.h"
#include "pixel/PixmapCanvas.h"
#include "pixel/PixmapThumbNail.h"

namespace {

using Thumb = CEL_PixmapRGBA8ThumbNail;

bool allPixels(const CEL_PixmapRGBA8& p, const CEL_PixelRGBA8& v) {
    return std::all_of(p.data(), p.data() + (long long)p.width() * p.height(),
                       [&](const CEL_PixelRGBA8& q) { return q == v; });
}

} // namespace

TEST(ThumbNail, CanvasAndAreaSourcesAndTheRepresentation) {
    CEL_PixmapRGBA8 wide(1920, 1080);
    std::fill(wide.data(), wide.data() + 1920 * 1080, CEL_PixelRGBA8{40, 80, 120, 255});
    Thumb t(&wide, 128);
    ASSERT_TRUE(t.picture() && t.blendedWithWhite() && t.size() == Math::Size2di(128, 72));
    EXPECT_TRUE(allPixels(*t.picture(), CEL_PixelRGBA8{40, 80, 120, 255}));
    EXPECT_EQ(t.convertTo(CEL_Representation::PIXMAP_RGBA8), nullptr);
    const std::unique_ptr<CEL_Representation> copy(t.convertTo(CEL_Representation::PIXMAP_RGBA8_THUMBNAIL));
    const auto* c = dynamic_cast<const Thumb*>(copy.get());
    ASSERT_TRUE(c && c->picture() && c->picture() != t.picture());
    EXPECT_TRUE(allPixels(*c->picture(), CEL_PixelRGBA8{40, 80, 120, 255}));

    // A 16-bit source goes through PIXMAP_RGBA8; a fully transparent one is white with alpha 0.
    CEL_PixmapRGBA16 tall(60, 120);
    Thumb clear(&tall, 32);
    EXPECT_TRUE(clear.size() == Math::Size2di(16, 32) &&
                allPixels(*clear.picture(), CEL_PixelRGBA8{255, 255, 255, 0}));

    // A vector drawing is rendered first (720 x 540): an empty one is all transparent.
    CELVEC_Qvd drawing;
    Thumb vector(&drawing, 64);
    EXPECT_TRUE(vector.size() == Math::Size2di(64, 48) &&
                allPixels(*vector.picture(), CEL_PixelRGBA8{255, 255, 255, 0}));

    // The allocated rectangle, widened to the canvas's proportions, fills the thumbnail.
    CEL_PixmapAreaRGBA16 area(200, 100);
    area.realloc(Math::Box2di(10, 10, 20, 20), false);
    std::fill(area.data(), area.data() + 400, pixeltest::px16(32767, 0, 0, 32767));
    Thumb boxed(&area, 50);
    ASSERT_EQ(boxed.size(), Math::Size2di(50, 25));
    // The box is 40 x 20 around the 20 x 20 drawing: the drawing takes its middle half.
    const CEL_PixelRGBA8 red{255, 0, 0, 255}, none{255, 255, 255, 0};
    EXPECT_TRUE(*boxed.picture()->pixel(25, 12) == red && *boxed.picture()->pixel(25, 0) == red);
    EXPECT_TRUE(*boxed.picture()->pixel(2, 12) == none && *boxed.picture()->pixel(47, 12) == none);
}

// Antialiased white art: where the 0.52 bias of green lifts it one above the
// 0.5-biased alpha, the colour is no longer valid premultiplied colour and the
// blend over white is declined as a whole (the caller composites it).
TEST(ThumbNail, BlendOverWhiteIsAllOrNothing) {
    CEL_PixmapRGBA8 art(300, 200);
    for (int y = 0; y < 200; ++y)
        for (int x = 0; x < 300; ++x) {
            const double a = std::clamp(80.5 - std::hypot(x + 0.5 - 150.0, y + 0.5 - 100.0), 0.0, 1.0);
            const auto v = uint8_t(std::lround(a * 255));
            *art.pixel(x, y) = CEL_PixelRGBA8{v, v, v, v};
        }
    Thumb t(&art, 64);
    EXPECT_FALSE(t.blendedWithWhite());
    const std::unique_ptr<CEL_PixmapRGBA8> plain(
        CelAlgo::scale(&art, 64, 42, 150.0, 100.0, 64 / 300.0, 42 / 200.0));
    ASSERT_EQ(t.picture()->size(), plain->size());
    EXPECT_TRUE(std::equal(plain->data(), plain->data() + 64 * 42, t.picture()->data()));
    EXPECT_TRUE(std::any_of(plain->data(), plain->data() + 64 * 42,
                            [](const CEL_PixelRGBA8& p) { return p.g > p.a && p.r <= p.a; }));
}
