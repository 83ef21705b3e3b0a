#include <gtest/gtest.h>
#include <tbb/global_control.h>

#include <climits>
#include <random>
#include <vector>

#include "algo/composite/CompositeDetail.h"
#include "base/Bitmap.h"
#include "celio/BitmapConversion.h"
#include "pixel/PixmapArea.h"

using Math::Box2di;
using Tiled = BM_TiledBitmapRgba32;
using Area = CEL_PixmapAreaRGBA16;

namespace {

UT_SharedPtr<Area> areaOf(int canvasW, int canvasH, const Box2di& allocated,
                          const std::vector<CEL_PixelRGBA16>& pixels = {}) {
    UT_SharedPtr<Area> p(new Area(canvasW, canvasH));
    EXPECT_TRUE(p->realloc(allocated, false));
    if (!pixels.empty()) std::copy(pixels.begin(), pixels.end(), p->data());
    return p;
}

// Every kind of pixel a cel holds: opaque, empty, premultiplied translucent,
// additive light (alpha 0), tone (alpha below 0), colour beyond alpha,
// negative colour; in runs, as artwork has them.
void fillCel(Area& p, unsigned seed) {
    std::mt19937 rng(seed);
    const auto upTo = [&](int lo, int hi) {
        return int16_t(std::uniform_int_distribution<int>(lo, hi)(rng));
    };
    CEL_PixelRGBA16 v{};
    for (long long i = 0, left = 0; i < p.allocatedArea(); ++i, --left) {
        if (left <= 0) {
            left = upTo(1, 40);
            // 0-2 opaque, 3-5 empty, 6 translucent, 7 light, 8 tone, 9 anything.
            const int k = upTo(0, 9);
            const int16_t a = k < 3    ? 32767
                              : k < 6  ? 0
                              : k == 6 ? upTo(1, 32766)
                              : k == 7 ? 0
                              : k == 8 ? upTo(-32767, 0)
                                       : upTo(-32768, 32767);
            const int top = k < 3 ? 32767 : k < 6 ? 0 : k == 6 ? a : k == 7 ? 9000 : -1; // -1: any value
            const auto c = [&] { return top < 0 ? upTo(-32768, 32767) : upTo(0, top); };
            v = CEL_PixelRGBA16{c(), c(), k == 7 ? int16_t(0) : c(), a};
        }
        p.data()[i] = v;
    }
}

// The conversion spelt out step by step with the bitmap library.
UT_SharedPtr<Tiled> literalLayer(Area& p, const Box2di& bounds) {
    p.demultiplyColorByAlpha();
    const Box2di moved = p.allocatedRect().getTranslated(-(p.width() / 2), -(p.height() / 2));
    const BM_UncompressedBitmap wrapped(BM_Bitmap::RGBA64, moved, p.data(), moved.w() * 8LL);
    BM_UncompressedBitmap b32(BM_Bitmap::RGBA32, bounds);
    UT_SharedPtr<Tiled> t(new Tiled(bounds));
    EXPECT_TRUE(BM_Util::Convert(wrapped, b32));
    EXPECT_TRUE(BM_BitmapAlgo::composeBitmap(*t, b32, BM_ComposeOp{0, 1}));
    return t;
}

std::unique_ptr<Area> literalArea(const Tiled& layer, const Math::Size2di& canvas) {
    BM_UncompressedBitmap b32(BM_Bitmap::RGBA32, layer.bounds());
    EXPECT_TRUE(BM_BitmapAlgo::composeBitmap(b32, layer, BM_ComposeOp{}));
    BM_UncompressedBitmap b64(BM_Bitmap::RGBA64, layer.bounds());
    EXPECT_TRUE(BM_Util::Convert(b32, b64));
    auto area = std::make_unique<Area>(canvas.width, canvas.height);
    area->alloc(layer.bounds().getTranslated(canvas.width / 2, canvas.height / 2),
                static_cast<CEL_PixelRGBA16*>(b64.releaseBuffer()));
    area->multiplyColorByAlpha();
    return area;
}

void expectSameLayer(const Tiled& got, const Tiled& want) {
    ASSERT_EQ(got.bounds(), want.bounds());
    for (int r = 0; r < want.rows(); ++r)
        for (int c = 0; c < want.columns(); ++c) {
            ASSERT_EQ(got.isTileAllocated(c, r), want.isTileAllocated(c, r)) << c << "," << r;
            if (!want.isTileAllocated(c, r)) continue;
            ASSERT_EQ(
                0, std::memcmp(got.tile(c, r), want.tile(c, r), std::size_t(want.tileRect(c, r).area()) * 4))
                << c << "," << r;
        }
}

bool samePixels(const Area& a, const Area& b) {
    return a.allocatedRect() == b.allocatedRect() &&
           std::equal(a.data(), a.data() + a.allocatedArea(), b.data());
}

} // namespace

TEST(BitmapConversion, ValuesOfThePixelRules) {
    const std::vector<CEL_PixelRGBA16> in = {
        {16384, 8192, 0, 32767}, {8192, 0, 0, 16384}, // the worked examples
        {3000, 2000, 100, 0},                         // additive light
        {-4000, 500, 20, -9000},                      // tone
        {-5, 700, 300, 32767},                        // negative colour on an opaque pixel
    };
    const UT_SharedPtr<Area> p = areaOf(5, 1, Box2di(0, 0, 5, 1), in);
    const UT_SharedPtr<Tiled> layer = CEL_Conversion::convertToBitmapLayer(p, Box2di(-2, 0, 5, 1));
    ASSERT_TRUE(layer);
    const BM_PixelRgba32 want[] = {
        {128, 64, 0, 255}, {128, 0, 0, 128}, {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 5, 2, 255}};
    for (int x = 0; x < 5; ++x) EXPECT_EQ(layer->pixel(x - 2, 0), want[x]) << x;
    // The caller's pixmap is left demultiplied.
    EXPECT_EQ(std::vector<CEL_PixelRGBA16>(p->data() + 1, p->data() + 5),
              (std::vector<CEL_PixelRGBA16>{
                  {16384, 0, 0, 16384}, {0, 0, 0, 0}, {0, 0, 0, -9000}, {-4, 700, 300, 32767}}));

    const UT_SharedPtr<Area> back = CEL_Conversion::convertToPixmapArea(*layer, Math::Size2di(5, 1));
    ASSERT_TRUE(back && back->allocatedRect() == Box2di(0, 0, 5, 1));
    EXPECT_EQ(std::vector<CEL_PixelRGBA16>(back->data(), back->data() + 3),
              (std::vector<CEL_PixelRGBA16>{{16447, 8223, 0, 32767}, {8255, 0, 0, 16447}, {0, 0, 0, 0}}));

    // Repeated pixels reuse the last result: the first of a row must not
    // match a stale one (all bits set is a tone pixel like any other).
    const UT_SharedPtr<Area> tones =
        areaOf(3, 1, Box2di(0, 0, 3, 1), {{-1, -1, -1, -1}, {-1, -1, -1, -1}, {300, 200, 100, 16384}});
    ASSERT_TRUE(CEL_Conversion::convertToBitmapLayer(tones, Box2di(-1, 0, 3, 1)));
    EXPECT_EQ(std::vector<CEL_PixelRGBA16>(tones->data(), tones->data() + 3),
              (std::vector<CEL_PixelRGBA16>{{0, 0, 0, -1}, {0, 0, 0, -1}, {600, 400, 200, 16384}}));
}

// The one-pass conversions against the literal chain, on allocations partly
// off the canvas, bounds that cut the allocation and reach beyond it, and
// tiles left empty; serially and on 2 and 8 threads.
TEST(BitmapConversion, OnePassEqualsTheLiteralChainAtAnyThreadCount) {
    struct Case {
        int w, h;
        Box2di allocated, bounds;
    };
    const Case cases[] = {
        {600, 500, Box2di(0, 0, 600, 500), Box2di(-300, -250, 600, 500)},
        {600, 500, Box2di(-37, 120, 700, 300), Box2di(-200, -390, 777, 613)},
        {333, 999, Box2di(20, 10, 300, 900), Box2di(-100, 0, 70, 600)},
        {1000, 300, Box2di(0, 0, 1000, 300), Box2di(900, 900, 10, 10)}, // no overlap: an empty layer
        {101, 51, Box2di(0, 0, 101, 51), Box2di(-50, -25, 101, 51)},    // an odd canvas about its centre
    };
    for (const Case& c : cases)
        for (const int threads : {0, 2, 8}) {
            SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " threads " << threads);
            CelAlgo::detail::setSerialForTesting(threads == 0);
            const tbb::global_control limit(tbb::global_control::max_allowed_parallelism,
                                            std::max(threads, 1));
            const UT_SharedPtr<Area> p = areaOf(c.w, c.h, c.allocated);
            fillCel(*p, unsigned(c.w + c.h));
            // Cel artwork leaves whole tiles empty: clear a band.
            std::fill_n(p->data(), std::min<long long>(p->allocatedArea(), 300LL * p->allocatedWidth()),
                        CEL_PixelRGBA16{0, 0, 0, 0});
            Area copy(*p);
            const UT_SharedPtr<Tiled> want = literalLayer(copy, c.bounds);
            const UT_SharedPtr<Tiled> got = CEL_Conversion::convertToBitmapLayer(p, c.bounds);
            ASSERT_TRUE(got);
            expectSameLayer(*got, *want);
            EXPECT_TRUE(samePixels(*p, copy)); // demultiplied in place, the parts outside the bounds too

            const Math::Size2di canvas(c.w, c.h);
            const UT_SharedPtr<Area> back = CEL_Conversion::convertToPixmapArea(*got, canvas);
            ASSERT_TRUE(back && back->canvasRect() == Box2di(0, 0, c.w, c.h));
            EXPECT_TRUE(samePixels(*back, *literalArea(*want, canvas)));
        }
    CelAlgo::detail::setSerialForTesting(false);
}

TEST(BitmapConversion, EmptyAndRefusedInputs) {
    EXPECT_FALSE(CEL_Conversion::convertToBitmapLayer(UT_SharedPtr<Area>(), Box2di(0, 0, 4, 4)));
    // Empty bounds or a pixmap without buffer: an empty layer, which converts to a pixmap without buffer.
    const UT_SharedPtr<Area> p =
        areaOf(8, 8, Box2di(0, 0, 8, 8), std::vector<CEL_PixelRGBA16>(64, {0, 0, 0, 16384}));
    const UT_SharedPtr<Tiled> none = CEL_Conversion::convertToBitmapLayer(p, Box2di());
    ASSERT_TRUE(none && none->allocatedTileCount() == 0);
    const UT_SharedPtr<Area> nothing = CEL_Conversion::convertToPixmapArea(*none, Math::Size2di(8, 8));
    ASSERT_TRUE(nothing && nothing->data() == nullptr && nothing->allocatedRect().hasNullArea());
    const UT_SharedPtr<Tiled> blank =
        CEL_Conversion::convertToBitmapLayer(UT_SharedPtr<Area>(new Area(8, 8)), Box2di(-4, -4, 8, 8));
    ASSERT_TRUE(blank && blank->allocatedTileCount() == 0);

    // Sizes checked in 64 bits before anything is allocated.
    EXPECT_FALSE(CEL_Conversion::convertToBitmapLayer(p, Box2di::fromCorners(INT_MIN, 0, INT_MAX, 1)));
    Tiled far(Box2di(INT_MAX - 300, 0, 300, 1));
    far.tileForWrite(0, 0)[0] = BM_PixelRgba32{1, 1, 1, 255};
    EXPECT_FALSE(CEL_Conversion::convertToPixmapArea(far, Math::Size2di(1000, 10))); // moved beyond INT_MAX
    EXPECT_TRUE(CEL_Conversion::convertToPixmapArea(far, Math::Size2di(0, 10)));
    EXPECT_FALSE(CEL_Conversion::convertToPixmapArea(far, Math::Size2di(-2, 10)));
}

TEST(BitmapConversion, ProjectResolution) {
    const Math::Size2di hd(1920, 1080);
    EXPECT_EQ(CEL_Conversion::getBitmapProjectResolution(hd, 1, 90, 1), Math::Size2di(13333, 7499));
    EXPECT_EQ(CEL_Conversion::getBitmapProjectResolution(hd, 2, 60, 0.5), Math::Size2di(7698, 4330));
    // Never negative: a distance behind the eye, a field of view of 270 degrees.
    EXPECT_EQ(CEL_Conversion::getBitmapProjectResolution(hd, -1, 90, 1), Math::Size2di(0, 0));
    EXPECT_EQ(CEL_Conversion::getBitmapProjectResolution(hd, 1, 270, 1), Math::Size2di(0, 0));
    // 180 degrees: tan is huge, the sides saturate.
    EXPECT_EQ(CEL_Conversion::getBitmapProjectResolution(hd, 1, 180, 1), Math::Size2di(INT_MAX, INT_MAX));
    EXPECT_EQ(CEL_Conversion::getBitmapProjectResolution(hd, 1, std::nan(""), 1), Math::Size2di(0, 0));
}
