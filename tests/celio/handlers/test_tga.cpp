// TGA reading and writing: packet rules byte for byte, orientations, the
// refusals, and malformed input that must fail cleanly.
#include <QFileInfo>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <vector>

#include "HandlerTestUtil.h"
#include "base/Message.h"
#include "cel/Context.h"
#include "celio/handlers/TgaHandler.h"
#include "support/TestSupport.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Px = CEL_PixelRGBA8;

Bytes tga(int type, int depth, int w, int h, int descriptor, const Bytes& data, int idLength = 0,
          int cmap = 0) {
    Bytes b(18);
    b[0] = uint8_t(idLength), b[1] = uint8_t(cmap), b[2] = uint8_t(type), b[16] = uint8_t(depth);
    b[12] = uint8_t(w), b[13] = uint8_t(w >> 8), b[14] = uint8_t(h), b[15] = uint8_t(h >> 8);
    b[17] = uint8_t(descriptor);
    b.resize(18 + data.size());
    std::copy(data.begin(), data.end(), b.begin() + 18);
    return b;
}

std::unique_ptr<CEL_Representation> decode(const Bytes& file) {
    return std::unique_ptr<CEL_Representation>(QXCelUioTgaHandler().read(file.data(), unsigned(file.size())));
}
CEL_PixmapRGBA8* rgba(const std::unique_ptr<CEL_Representation>& r) {
    return dynamic_cast<CEL_PixmapRGBA8*>(r.get());
}
CEL_PixmapMatte8* matte(const std::unique_ptr<CEL_Representation>& r) {
    return dynamic_cast<CEL_PixmapMatte8*>(r.get());
}

UT_SharedPtr<CEL_Cel> greyCel(const Bytes& v, int w, int h = 1) {
    return celtest::celOf<CEL_PixmapMatte8>(v, w, h);
}
UT_SharedPtr<CEL_Cel> rgbaCel(const std::vector<Px>& v, int w, int h = 1) {
    return celtest::celOf<CEL_PixmapRGBA8>(v, w, h);
}

Bytes encode(const UT_SharedPtr<CEL_Cel>& cel, const char* code) {
    const QByteArray b = QXCelUioTgaHandler().encode(cel.get(), QLatin1String(code));
    return Bytes(b.begin(), b.end());
}

} // namespace

TEST(TgaWrite, PacketRulesByteForByte) {
    const Px a{1, 2, 3, 255}, b{4, 5, 6, 128};
    struct Row {
        UT_SharedPtr<CEL_Cel> cel;
        const char* code;
        Bytes want;
    } rows[] = {
        {greyCel(Bytes(300, 77), 300), "TGA1", tga(11, 8, 300, 1, 0, {255, 77, 255, 77, 171, 77})},
        // The literal ends before an equal pair; a lone last element is a literal.
        {greyCel({1, 2, 3, 3, 3, 4}, 6), "tga1", tga(11, 8, 6, 1, 0, {1, 1, 2, 130, 3, 0, 4})},
        {greyCel({5, 5, 6}, 3), "TGA1", tga(11, 8, 3, 1, 0, {129, 5, 0, 6})},
        // Colour elements differing only in alpha never form a run, even in 24-bit output.
        {rgbaCel({{10, 20, 30, 40}, {10, 20, 30, 41}}, 2), "TGA3",
         tga(10, 24, 2, 1, 0, {1, 30, 20, 10, 30, 20, 10})},
        {rgbaCel({{10, 20, 30, 40}, {10, 20, 30, 41}}, 2), "TGA4",
         tga(10, 32, 2, 1, 8, {1, 30, 20, 10, 40, 30, 20, 10, 41})},
        // Bottom row first; packets never cross rows.
        {rgbaCel({a, a, b, b}, 2, 2), "TGA4", tga(10, 32, 2, 2, 8, {129, 6, 5, 4, 128, 129, 3, 2, 1, 255})},
        {rgbaCel({a, a, b, b}, 2, 2), "TGA", tga(10, 24, 2, 2, 0, {129, 6, 5, 4, 129, 3, 2, 1})},
        {greyCel({9, 9, 9, 9}, 2, 2), "TGA1", tga(11, 8, 2, 2, 0, {129, 9, 129, 9})},
        {greyCel({9}, 1), "TGA2", {}},
    };
    for (const Row& r : rows) EXPECT_EQ(encode(r.cel, r.code), r.want) << r.code;
}

TEST(TgaRead, EveryOrientationRawAndRle) {
    for (int bpp : {1, 3, 4}) {
        // Pixel v in the file (grey; b g r; b g r a) and in memory (grey; r g b a).
        const auto file = [bpp](int v) {
            return bpp == 1 ? Bytes{uint8_t(v)}
                            : Bytes{uint8_t(v + 20), uint8_t(v + 10), uint8_t(v), uint8_t(v + 100)};
        };
        const auto mem = [bpp](int v) {
            return bpp == 1 ? Bytes{uint8_t(v)}
                            : Bytes{uint8_t(v), uint8_t(v + 10), uint8_t(v + 20),
                                    uint8_t(bpp == 4 ? v + 100 : 255)};
        };
        Bytes want; // top row first: 1 2 3 / 4 5 6
        for (int v = 1; v <= 6; ++v)
            for (uint8_t b : mem(v)) want.push_back(b);
        for (int flip = 0; flip < 4; ++flip)
            for (bool rle : {false, true}) {
                Bytes data;
                for (int r = 0; r < 2; ++r) {
                    if (rle) data.push_back(2); // one literal packet per row
                    for (int i = 0; i < 3; ++i) {
                        const Bytes px = file(1 + 3 * ((flip & 2) ? r : 1 - r) + ((flip & 1) ? 2 - i : i));
                        data.insert(data.end(), px.begin(), px.begin() + bpp);
                    }
                }
                const auto d =
                    decode(tga((rle ? 8 : 0) + (bpp == 1 ? 3 : 2), bpp * 8, 3, 2, flip << 4, data));
                const uint8_t* got =
                    bpp == 1 ? matte(d)->data() : reinterpret_cast<uint8_t*>(rgba(d)->data());
                EXPECT_EQ(Bytes(got, got + want.size()), want)
                    << "flip " << flip << " bpp " << bpp << " rle " << rle;
            }
    }
}

TEST(TgaRead, PacketsCrossRowsDepthPicksThePixmapIdIsSkipped) {
    // A run of four 9s fills the bottom row and starts the top one.
    auto d = decode(tga(11, 8, 3, 2, 0, {0x83, 9, 0x01, 1, 2}));
    ASSERT_TRUE(matte(d));
    EXPECT_EQ(Bytes(matte(d)->data(), matte(d)->data() + 6), (Bytes{9, 1, 2, 9, 9, 9}));
    // A literal running over the row end; 24-bit data in a grey type; top-down.
    d = decode(tga(11, 24, 2, 2, 0x20, {0x02, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0x80, 10, 11, 12}));
    ASSERT_TRUE(rgba(d));
    EXPECT_EQ(*rgba(d)->pixel(0, 1), (Px{9, 8, 7, 255}));
    EXPECT_EQ(*rgba(d)->pixel(1, 1), (Px{12, 11, 10, 255}));
    d = decode(tga(2, 8, 1, 1, 0, {0xEE, 0xEE, 0xEE, 42}, 3));
    ASSERT_TRUE(matte(d));
    EXPECT_EQ(*matte(d)->data(), 42);
}

TEST(TgaRead, RefusalsTruncationAndLyingHeaders) {
    QXMessage::Capture capture;
    EXPECT_FALSE(decode(tga(2, 24, 1, 1, 0, {1, 2, 3}, 0, 1))); // colour-mapped: silent
    EXPECT_FALSE(decode(tga(9, 8, 1, 1, 0, {1})));
    EXPECT_FALSE(decode(tga(2, 16, 1, 1, 0, {1, 2})));
    EXPECT_FALSE(decode({})); // reads as type 0
    EXPECT_EQ(capture.texts(), (QStringList{"Unsupported tga file type: 9", "Unsupported tga depth: 16",
                                            "Unsupported tga file type: 0"}));
    EXPECT_TRUE(capture.records()[0].action == 5 && capture.records()[1].code == 11);

    auto d = decode(tga(10, 32, 0, 7, 0, {})); // zero width: an empty pixmap, not a failure
    ASSERT_TRUE(rgba(d));
    EXPECT_EQ(rgba(d)->data(), nullptr);
    // Data ending early (a file cut anywhere) keeps what was decoded; the rest is transparent black.
    d = decode(tga(10, 32, 4, 1, 0, {0x81, 1, 2, 3, 4, 0x01, 5, 6}));
    ASSERT_TRUE(rgba(d));
    EXPECT_EQ(*rgba(d)->pixel(1, 0), (Px{3, 2, 1, 4}));
    EXPECT_EQ(*rgba(d)->pixel(2, 0), (Px{0, 0, 0, 0}));

    // Refused: more pixels than the data could hold at the best run-length
    // rate (one 5-byte packet per 128).
    Bytes best;
    for (int i = 0; i < 1024 * 1024 / 128; ++i) best.insert(best.end(), {0xff, 1, 2, 3, 4});
    EXPECT_TRUE(rgba(decode(tga(10, 32, 1024, 1024, 0, best))));
    best.pop_back();
    EXPECT_FALSE(decode(tga(10, 32, 1024, 1024, 0, best)));
}

TEST(TgaRead, FilesAcrossWindows) {
    // Noise defeats run-length coding: the file outgrows the 4 MiB input window
    // and packets straddle its end.
    const int w = 1031, h = 1100;
    std::mt19937 rng(7);
    std::vector<Px> px(size_t(w) * h);
    for (Px& p : px) p = Px{uint8_t(rng()), uint8_t(rng()), uint8_t(rng() % 4), uint8_t(rng() % 4)};
    celtest::TempDir dir;
    const QString path = dir.path("noise.tga");
    QXCelUioTgaHandler hd;
    ASSERT_TRUE(hd.write(rgbaCel(px, w, h).get(), path, QStringLiteral("TGA4")));
    ASSERT_GT(QFileInfo(path).size(), 4 << 20);
    CELIO_RepresentationList list, missing;
    ASSERT_TRUE(hd.read(path, CEL_Context(), list));
    const auto* got = dynamic_cast<const CEL_PixmapRGBA8*>(list.front().get());
    EXPECT_TRUE(got && got->width() == w && std::memcmp(got->data(), px.data(), px.size() * 4) == 0);
    EXPECT_FALSE(hd.read(dir.path("none.tga"), CEL_Context(), missing));
    EXPECT_TRUE(missing.empty());
    QXMessage::Capture capture;
    EXPECT_FALSE(hd.write(rgbaCel(px, w, h).get(), dir.root(), QStringLiteral("TGA4"))); // a directory
    EXPECT_EQ(capture.records().size(), 1u);
}

TEST(TgaInfo, CodesChannelsAndRefusals) {
    celtest::TempDir dir;
    QXCelUioTgaHandler h;
    const QString path = dir.path("i.tga");
    const auto info = [&](const Bytes& file, CELIO_Info& out) {
        celtest::writeFile(path,
                           QByteArray(reinterpret_cast<const char*>(file.data()), qsizetype(file.size())));
        return h.readInfo(path, CEL_Context(), out);
    };
    // type, depth, channels (0: refused), code; types 10 and 11 say "RLE Encoded" even when refused.
    const struct {
        int type, depth;
        uint32_t channels;
        const char* code;
    } rows[] = {{3, 8, 1, "TGA"},   {2, 16, 3, "TGA3"}, {2, 32, 4, "TGA4"}, {10, 8, 1, "TGA"},
                {11, 8, 1, "TGA1"}, {10, 15, 0, ""},    {1, 8, 0, ""},      {9, 8, 0, ""}};
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << "type " << r.type << " depth " << r.depth);
        CELIO_Info out;
        EXPECT_EQ(info(tga(r.type, r.depth, 300, 2, 0, {}), out),
                  r.channels ? CELIO_STATE_OK : CELIO_STATE_FAILED);
        EXPECT_TRUE(out.width == 300u && out.channels == r.channels &&
                    out.optionCode == QLatin1String(r.code));
        EXPECT_EQ(out.description, r.type >= 10 ? QStringLiteral("RLE Encoded") : QString());
    }
    CELIO_Info out;
    EXPECT_EQ(info(tga(2, 24, 1, 1, 0, {}, 0, 1), out), CELIO_STATE_FAILED);
    EXPECT_THROW(info(Bytes(10, 0), out), int); // a header cut short
}
