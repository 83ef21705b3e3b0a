#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "base/Bitmap.h"
#include "pixel/Representation.h"
#include "tests/pixel/PixelTestUtil.h"

using Math::Box2di;

namespace {

BM_PixelRgba32 px(int r, int g, int b, int a) {
    return BM_PixelRgba32{uint8_t(r), uint8_t(g), uint8_t(b), uint8_t(a)};
}

} // namespace

TEST(BitmapConvert, PixelRulesBetweenEveryLayoutAndZeroWhereTheSourceDoesNotReach) {
    // 64 -> 32 -> 24 -> 64: 16 -> 8 (v < 1 ? 0 : v >> 7), alpha dropped, 8 -> 16 with opaque alpha.
    const std::vector<BM_PixelRgba64> deep = {
        {32767, 16384, 0, 32767}, {-5, 127, 128, 16384}, {255, 32766, 1, 0}, {8192, 8223, 16447, -300}};
    BM_UncompressedBitmap b64(BM_Bitmap::RGBA64, Box2di(-2, 7, 4, 1));
    std::copy(deep.begin(), deep.end(), b64.rowAs<BM_PixelRgba64>(7));

    BM_UncompressedBitmap b32(BM_Bitmap::RGBA32, b64.bounds());
    ASSERT_TRUE(BM_Util::Convert(b64, b32));
    const BM_PixelRgba32* p = b32.rowAs<BM_PixelRgba32>(7);
    EXPECT_EQ(std::vector(p, p + 4),
              (std::vector{px(255, 128, 0, 255), px(0, 0, 1, 128), px(1, 255, 0, 0), px(64, 64, 128, 0)}));

    BM_UncompressedBitmap b24(BM_Bitmap::RGB24, b64.bounds());
    ASSERT_TRUE(BM_Util::Convert(b32, b24));
    EXPECT_EQ(std::vector<int>(b24.row(7), b24.row(7) + 6), (std::vector<int>{255, 128, 0, 0, 0, 1}));

    BM_UncompressedBitmap back(BM_Bitmap::RGBA64, b64.bounds());
    ASSERT_TRUE(BM_Util::Convert(b24, back));
    EXPECT_EQ(back.rowAs<BM_PixelRgba64>(7)[0], (BM_PixelRgba64{32767, 16447, 0, 32767}));

    // 24 -> 32 makes alpha 255; 64 -> 24 directly is the 16 -> 8 rule too.
    BM_UncompressedBitmap opaque(BM_Bitmap::RGBA32, b64.bounds());
    ASSERT_TRUE(BM_Util::Convert(b24, opaque));
    EXPECT_EQ(opaque.rowAs<BM_PixelRgba32>(7)[2], px(1, 255, 0, 255));
    BM_UncompressedBitmap direct(BM_Bitmap::RGB24, b64.bounds());
    ASSERT_TRUE(BM_Util::Convert(b64, direct));
    EXPECT_EQ(0, std::memcmp(direct.data(), b24.data(), 12));

    // Zero where the source does not reach.
    BM_UncompressedBitmap src(BM_Bitmap::RGBA32, Box2di(0, 0, 2, 2));
    std::fill_n(src.rowAs<BM_PixelRgba32>(0), 4, px(9, 8, 7, 6));
    BM_UncompressedBitmap dst(BM_Bitmap::RGBA32, Box2di(-1, 1, 4, 2), false);
    std::fill_n(dst.rowAs<BM_PixelRgba32>(1), 8, px(1, 1, 1, 1));
    ASSERT_TRUE(BM_Util::Convert(src, dst));
    const BM_PixelRgba32 o = px(0, 0, 0, 0), c = px(9, 8, 7, 6);
    const BM_PixelRgba32* row = dst.rowAs<BM_PixelRgba32>(1);
    EXPECT_EQ(std::vector(row, row + 8), (std::vector{o, c, c, o, o, o, o, o}));
}

TEST(BitmapUncompressed, BuffersOwnedBorrowedAndRefused) {
    BM_UncompressedBitmap owned(BM_Bitmap::RGBA64, Box2di(0, 0, 3, 2));
    delete[] static_cast<BM_PixelRgba64*>(owned.releaseBuffer());
    EXPECT_FALSE(owned.isValid());
    std::vector<BM_PixelRgba32> mine(6, px(1, 2, 3, 4));
    BM_UncompressedBitmap borrowed(BM_Bitmap::RGBA32, Box2di(5, 5, 2, 3), mine.data(), 8);
    EXPECT_TRUE(borrowed.releaseBuffer() == nullptr &&
                borrowed.rowAs<BM_PixelRgba32>(7)[1] == px(1, 2, 3, 4));
    EXPECT_FALSE(BM_UncompressedBitmap(BM_Bitmap::RGBA32, Box2di(0, 0, 2, 3), mine.data(), 7).isValid());

    // Adopted buffers are freed as their own type (ASan checks the pairing).
    delete BM_UncompressedBitmap::adopt(BM_Bitmap::RGBA32, Box2di(0, 0, 2, 2), new CEL_PixelRGBA8[4], 8);
    delete BM_UncompressedBitmap::adopt(BM_Bitmap::RGBA32, Box2di(0, 0, 2, 2), new CEL_PixelRGBA8[4], 4);

    const pixeltest::ByteCap cap(1000);
    EXPECT_FALSE(BM_UncompressedBitmap(BM_Bitmap::RGBA32, Box2di(0, 0, 16, 16)).isValid());
    EXPECT_TRUE(BM_UncompressedBitmap(BM_Bitmap::RGBA32, Box2di(0, 0, 15, 16)).isValid());
    EXPECT_FALSE(BM_UncompressedBitmap(BM_Bitmap::RGB24, Box2di::fromCorners(-2000000000, 0, 2000000000, 1))
                     .isValid());
}

TEST(BitmapTiled, GridFromTheTopLeftCutAtTheBounds) {
    BM_TiledBitmapRgba32 t(Box2di(-300, -10, 600, 257));
    ASSERT_TRUE(t.isValid() && t.columns() == 3 && t.rows() == 2);
    EXPECT_EQ(t.tileRect(0, 0), Box2di(-300, -10, 256, 256));
    EXPECT_EQ(t.tileRect(2, 1), Box2di(212, 246, 88, 1));

    BM_PixelRgba32* last = t.tileForWrite(2, 1);
    ASSERT_TRUE(last && last[0] == px(0, 0, 0, 0)); // cleared
    last[87] = px(1, 2, 3, 4);
    EXPECT_EQ(t.pixel(299, 246), px(1, 2, 3, 4));
    EXPECT_TRUE(t.tileForWrite(2, 1) == last && t.allocatedTileCount() == 1); // allocated once

    // A grid whose table alone is over the cap is refused before anything is allocated.
    EXPECT_FALSE(BM_TiledBitmapRgba32(Box2di(-1000000000, -1000000000, 2000000000, 2000000000)).isValid());
    EXPECT_FALSE(BM_TiledBitmapRgba32(Box2di::fromCorners(-2000000000, 0, 2000000000, 1))
                     .isValid()); // wider than an int
}

TEST(BitmapCompose, CopyAllChannelsAndLeaveEmptyTilesUnallocated) {
    // A source with content in one corner only, over three tiles of the destination.
    BM_UncompressedBitmap src(BM_Bitmap::RGBA32, Box2di(0, 0, 600, 10));
    src.rowAs<BM_PixelRgba32>(3)[5] = px(0, 0, 0, 1);
    src.rowAs<BM_PixelRgba32>(9)[599] = px(200, 0, 0, 0); // colour without alpha is copied too

    BM_TiledBitmapRgba32 sparse(Box2di(0, 0, 768, 256));
    ASSERT_TRUE(BM_BitmapAlgo::composeBitmap(sparse, src, BM_ComposeOp{0, 1}));
    EXPECT_TRUE(sparse.isTileAllocated(0, 0) && !sparse.isTileAllocated(1, 0) &&
                sparse.isTileAllocated(2, 0));
    EXPECT_EQ(sparse.pixel(599, 9), px(200, 0, 0, 0));
    BM_TiledBitmapRgba32 dense(Box2di(0, 0, 768, 256));
    ASSERT_TRUE(BM_BitmapAlgo::composeBitmap(dense, src, BM_ComposeOp{0, 0}));
    EXPECT_EQ(dense.allocatedTileCount(), 3);

    // Back into plain bitmaps: the intersection is replaced (unallocated tiles
    // read as zero), the rest kept.
    BM_UncompressedBitmap edge(BM_Bitmap::RGBA32, Box2di(250, 250, 20, 10), false);
    std::fill_n(edge.rowAs<BM_PixelRgba32>(250), 200, px(7, 7, 7, 7));
    ASSERT_TRUE(BM_BitmapAlgo::composeBitmap(edge, sparse, BM_ComposeOp{}));
    EXPECT_EQ(edge.rowAs<BM_PixelRgba32>(255)[19], px(0, 0, 0, 0)); // tile (1, 0), not allocated
    EXPECT_EQ(edge.rowAs<BM_PixelRgba32>(256)[0], px(7, 7, 7, 7));  // below the layer
    BM_UncompressedBitmap deep(BM_Bitmap::RGBA64, Box2di(0, 0, 2, 2));
    EXPECT_FALSE(BM_BitmapAlgo::composeBitmap(edge, sparse, BM_ComposeOp{1, 0}) ||
                 BM_BitmapAlgo::composeBitmap(sparse, deep, BM_ComposeOp{}));
}
