// The claim check every reader makes before allocating: 64-bit products that
// cannot overflow unnoticed, the cap, and the fewest file bytes a coding with
// a bounded expansion needs.
#include <gtest/gtest.h>

#include "base/Message.h"
#include "celio/ReadLimits.h"
#include "pixel/Representation.h"
#include "tests/pixel/PixelTestUtil.h"

using CapGuard = pixeltest::ByteCap;

TEST(ImageClaim, BytesCapOverflowAndRefusals) {
    const CapGuard cap(1ull << 30);
    EXPECT_EQ(CELIO_ImageClaim(100, 50, 4, 2).bytes(), 40000u);
    EXPECT_TRUE(CELIO_ImageClaim(16384, 16384, 4, 1).withinCap()); // exactly the cap
    EXPECT_FALSE(CELIO_ImageClaim(16384, 16385, 4, 1).withinCap());
    // 2^32 x 2^32 x 4 x 2 does not fit 64 bits; nor do negative sizes make sense.
    EXPECT_EQ(CELIO_ImageClaim(1ll << 32, 1ll << 32, 4, 2).bytes(), CELIO_ImageClaim::Unknown);
    EXPECT_FALSE(CELIO_ImageClaim(1ll << 32, 1ll << 32, 4, 2).withinCap() ||
                 CELIO_ImageClaim(-1, 10, 4, 1).withinCap());
    EXPECT_TRUE(CELIO_ImageClaim(0, 10, 4, 1).check("x", 0)); // nothing to fill

    // Refusals post one message.
    QXMessage::Capture capture;
    EXPECT_TRUE(CELIO_ImageClaim(1000, 1000, 4, 1).check("tga", 4000000)); // silent
    EXPECT_FALSE(CELIO_ImageClaim(1000, 1000, 4, 1).check("tga", 3999999) ||
                 CELIO_ImageClaim(100000, 100000, 4, 1).checkInput("png", 1ull << 40, 1));
    const auto records = capture.records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].translated, QStringLiteral("Invalid tga size: 1000 x 1000 pixels claimed\n"));
    EXPECT_EQ(records[1].translated, QStringLiteral("Invalid png size: 100000 x 100000 pixels claimed\n"));
    EXPECT_EQ(records[1].action * 100 + records[1].code, 210);
}

TEST(ImageClaim, FewestFileBytesForAnExpansion) {
    // 24-bit data into 32-bit pixels: 3 file bytes per 4 pixmap bytes, rounded up.
    EXPECT_EQ(CELIO_ImageClaim(5, 1, 4, 1).minimumInput({4, 3}), 15u);
    EXPECT_EQ(CELIO_ImageClaim::minimumInput(10, {4, 3}), 8u);
    // Run-length packets of 5 bytes giving 128 RGBA pixels.
    EXPECT_EQ(CELIO_ImageClaim(65535, 65535, 4, 1).minimumInput({512, 5}), 167767041u);
    EXPECT_EQ(CELIO_ImageClaim::minimumInput(~0ull - 1, {1, 2}), CELIO_ImageClaim::Unknown);
    EXPECT_EQ(CELIO_ImageClaim::minimumInput(100, {0, 1}), CELIO_ImageClaim::Unknown);

    const CapGuard cap(1ull << 40);
    const CELIO_ImageClaim large(1024, 1024, 4, 1); // 4 MiB
    EXPECT_TRUE(large.fillableFrom(4194304, large.minimumInput({1, 1})) &&
                !large.fillableFrom(4194303, large.minimumInput({1, 1})));
    EXPECT_TRUE(large.fillableFrom(CELIO_ImageClaim::Unknown, 1ull << 50)); // a stream of unknown length
    EXPECT_FALSE(large.fillableFrom(1ull << 50, CELIO_ImageClaim::Unknown));
    // A small image reads as far as its data goes, however short.
    const CELIO_ImageClaim small(512, 512, 4, 1);
    EXPECT_TRUE(small.fillableFrom(0, small.minimumInput({1, 1})));
}
