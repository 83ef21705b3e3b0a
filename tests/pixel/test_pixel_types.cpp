// Pixel structures: the channel rules at their boundaries, the over operators
// against a double-precision reference, and the depth value.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "PixelTestUtil.h"
#include "pixel/PixmapCanvas.h"

using pixeltest::px16;

// 8 <-> 16 bits; float truncates and saturates, not-a-number is 0.
TEST(PixelRules, EightSixteenAndFloat) {
    CEL_PixelRGBA16 p;
    p = CEL_PixelRGBA8{255, 128, 1, 0};
    EXPECT_EQ(p, px16(32767, 16447, 128, 0));
    CEL_PixelRGBA8 q;
    q = px16(32767, 16447, 1, 0);
    EXPECT_EQ(q, (CEL_PixelRGBA8{255, 128, 0, 0}));
    q = px16(-1, -32768, 127, 128);
    EXPECT_EQ(q, (CEL_PixelRGBA8{0, 0, 0, 1}));

    p = CEL_PixelRGBAFloat{1.5f, -0.5f, 0.5f, -2.0f};
    EXPECT_EQ(p, px16(32767, -16383, 16383, -32767));
    q = CEL_PixelRGBAFloat{0.999f, 1.0f, -1.0f, 0.5f};
    EXPECT_EQ(q, (CEL_PixelRGBA8{254, 255, 0, 127}));

    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    p = CEL_PixelRGBAFloat{nan, inf, -inf, 0.0f};
    EXPECT_EQ(p, px16(0, 32767, -32767, 0));
    q = CEL_PixelRGBAFloat{nan, inf, -inf, 0.0f};
    EXPECT_EQ(q, (CEL_PixelRGBA8{0, 255, 0, 0}));
}

TEST(PixelRules, ChannelOrdersAndPixelTests) {
    CEL_PixelRGBAFloat f{0, 0, 0, 0.25f};
    f = CEL_PixelRGB8{255, 0, 51};
    EXPECT_EQ(f, (CEL_PixelRGBAFloat{1.0f, 0.0f, 0.2f, 0.25f})); // alpha not written
    CEL_PixelRGBA8 q{};
    q = CEL_PixelBGR8{1, 2, 3};
    EXPECT_EQ(q, (CEL_PixelRGBA8{3, 2, 1, 255}));
    CEL_PixelRGBA16 p;
    p = (unsigned char)255; // a matte value widens into every channel
    EXPECT_EQ(p, px16(32767, 32767, 32767, 32767));

    CEL_PixelRGBA8 a{1, 2, 3, 4}, b{1, 2, 3, 200};
    EXPECT_TRUE(a.compare(&b) && !(a == b)); // compare() looks at colour only
    CEL_Pixel3D s{px16(1, 2, 3, 4), 1.5f, 9, 12};
    s = px16(0, 0, 0, 0); // the colour only: depth and links stay
    EXPECT_TRUE(s.isBlack() && s.z == 1.5f && s.next == 12u);

    CEL_PixelFloat d; // no depth, and it stays so when scaled
    EXPECT_TRUE(d.isZero() && *d == -std::numeric_limits<float>::max());
    EXPECT_EQ(d * 2.0f, CEL_PixelFloat::Zero);
}

// Reference for the over operators, written from the formulas with doubles.
static CEL_PixelRGBA16 overReference(const CEL_PixelRGBA16& under, const CEL_PixelRGBA16& top,
                                     bool straight) {
    if (top.a == 32767) return top;
    const double t = top.a / 32767.0;
    const auto channel = [&](int16_t u, int16_t c) {
        const long long s =
            (long long)std::trunc(u * (1.0 - t) + 0.5) + (straight ? (long long)std::trunc(c * t) : c);
        return (s < 0 || s > 32767) ? 32767 : int(s);
    };
    return px16(channel(under.r, top.r), channel(under.g, top.g), channel(under.b, top.b),
                channel(under.a, top.a));
}

// The grid holds the cases that matter: an opaque top, a transparent top,
// sums that leave the range (capped to full scale, also below 0).
TEST(PixelRules, OverOperatorsMatchReferenceOnAGrid) {
    const int values[] = {-32767, -16384, -1, 0, 1, 127, 16383, 16384, 32766, 32767};
    for (int ua : values)
        for (int uc : values)
            for (int ta : values)
                for (int tc : values) {
                    const CEL_PixelRGBA16 under = px16(uc, uc, 0, ua), top = px16(tc, 0, tc, ta);
                    ASSERT_EQ(under / top, overReference(under, top, true))
                        << uc << ' ' << ua << ' ' << tc << ' ' << ta;
                    ASSERT_EQ(under % top, overReference(under, top, false))
                        << uc << ' ' << ua << ' ' << tc << ' ' << ta;
                }
}

// The bulk conversions use faster formulations than the per-pixel
// operators; every 16-bit value and every byte must come out the same.
TEST(PixelRules, BulkConversionsEqualPixelAssignment) {
    const int n = 65536 / 4;
    CEL_PixmapRGBA16 wide(n, 1);
    for (int i = 0; i < n; ++i) {
        const int base = -32768 + 4 * i;
        *wide.pixel(i, 0) = px16(base, base + 1, base + 2, base + 3);
    }
    CEL_PixmapRGBA8 narrow(wide);
    CEL_PixelRGBA8 q;
    for (int i = 0; i < n; ++i) ASSERT_EQ(*narrow.pixel(i, 0), (q = *wide.pixel(i, 0))) << i;
    for (int i = 0; i < 64; ++i)
        *narrow.pixel(i, 0) =
            CEL_PixelRGBA8{uint8_t(4 * i), uint8_t(4 * i + 1), uint8_t(4 * i + 2), uint8_t(4 * i + 3)};
    const CEL_PixmapRGBA16 up(narrow);
    CEL_PixelRGBA16 p;
    for (int i = 0; i < n; ++i) ASSERT_EQ(*up.pixel(i, 0), (p = *narrow.pixel(i, 0))) << i;
}
