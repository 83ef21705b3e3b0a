// BMP: reading through Qt, the header query parsed by hand, the alpha rule
// of writing and the failures.
#include <gtest/gtest.h>
#include <memory>
#include <tuple>

#include "HandlerTestUtil.h"
#include "base/Message.h"
#include "cel/Context.h"
#include "celio/ByteTestSupport.h"
#include "celio/handlers/BmpHandler.h"
#include "support/TestSupport.h"

namespace {

const QXCelUioBmpHandler bmp;

void le(QByteArray& b, int at, uint32_t v, int n) {
    for (int i = 0; i < n; ++i) b[at + i] = char(v >> (8 * i));
}
// An 8-bit palette file of two colours, 3 x 2 pixels: bottom row index 0
// three times; top row 1, 0, 1 in absolute mode. Run-length coded (1) or not.
QByteArray paletteFile(bool rle, int height = 2) {
    const QByteArray data = rle ? QByteArray("\x03\x00\x00\x00\x00\x03\x01\x00\x01\x00\x00\x00\x00\x01", 14)
                                : QByteArray("\x00\x00\x00\x00\x01\x00\x01\x00", 8);
    QByteArray b(14 + 40 + 8, '\0');
    b[0] = 'B', b[1] = 'M';
    le(b, 2, uint32_t(b.size() + data.size()), 4), le(b, 10, uint32_t(b.size()), 4);
    le(b, 14, 40, 4), le(b, 18, 3, 4), le(b, 22, uint32_t(height), 4), le(b, 26, 1, 2), le(b, 28, 8, 2);
    le(b, 30, rle ? 1 : 0, 4), le(b, 34, uint32_t(data.size()), 4), le(b, 46, 2, 4);
    le(b, 54, 0x0a141e, 4), le(b, 58, 0x28323c, 4); // b, g, r: (10, 20, 30) and (40, 50, 60)
    return b + data;
}
UT_SharedPtr<CEL_Cel> celOf(const std::vector<CEL_PixelRGBA8>& pixels) {
    return celtest::celOf<CEL_PixmapRGBA8>(pixels, int(pixels.size()));
}
} // namespace

TEST(Bmp, PaletteFilesAndTheirHeaders) {
    celtest::TempDir dir;
    for (bool rle : {true, false}) {
        const QString path = dir.path("p.bmp");
        ASSERT_TRUE(celtest::writeFile(path, paletteFile(rle)));
        EXPECT_EQ(celtest::readValues(bmp, path),
                  (std::vector<int>{40, 50, 60, 255, 10, 20, 30, 255, 40, 50, 60, 255,
                                    10, 20, 30, 255, 10, 20, 30, 255, 10, 20, 30, 255}));
        CELIO_Info info;
        ASSERT_EQ(bmp.readInfo(path, CEL_Context(), info), CELIO_STATE_OK);
        EXPECT_EQ(std::tuple(info.width, info.height, info.channels, info.bytesPerChannel, info.optionCode),
                  std::tuple(3u, 2u, 1u, 1u, QStringLiteral("BMP")));
        EXPECT_EQ(info.description, rle ? QStringLiteral("RLE encoded") : QString());
    }
    // Top-down files report their negative height as it is stored.
    const QString top = dir.path("t.bmp");
    ASSERT_TRUE(celtest::writeFile(top, paletteFile(false, -2)));
    CELIO_Info info;
    ASSERT_EQ(bmp.readInfo(top, CEL_Context(), info), CELIO_STATE_OK);
    EXPECT_EQ(info.height, uint32_t(-2));
    // Not a BMP file, nothing after the file header, no file.
    for (const QByteArray& bytes :
         {QByteArray("XM") + paletteFile(false).mid(2), paletteFile(false).left(14)}) {
        ASSERT_TRUE(celtest::writeFile(top, bytes));
        EXPECT_EQ(bmp.readInfo(top, CEL_Context(), info), CELIO_STATE_FAILED);
    }
    EXPECT_EQ(bmp.readInfo(dir.path("none.bmp"), CEL_Context(), info), CELIO_STATE_FAILED);
    EXPECT_TRUE(celtest::readValues(bmp, dir.path("none.bmp")).empty());
}

// The straight-colour rule itself is checked with every handler's round trip;
// here its edge: colour above alpha stops at 255.
TEST(Bmp, AlphaRuleOfWriting) {
    celtest::TempDir dir;
    const QString path = dir.path("w.bmp");
    const auto soft = celOf({{200, 0, 7, 100}, {1, 2, 3, 0}});
    ASSERT_TRUE(bmp.write(soft.get(), path, QStringLiteral("bmp4")));
    EXPECT_EQ(celtest::readValues(bmp, path), (std::vector<int>{255, 0, 17, 255, 1, 2, 3, 255}));
    CELIO_Info info; // Qt's BMP writer keeps no alpha: 24-bit colour
    ASSERT_EQ(bmp.readInfo(path, CEL_Context(), info), CELIO_STATE_OK);
    EXPECT_EQ(info.channels, 3u);
}

// Standard output: celtool's "-" in every format.
TEST(Bmp, Failures) {
    celtest::TempDir dir;
    const auto cel = celOf({{9, 8, 7, 255}, {1, 2, 3, 255}});
    QXMessage::Capture capture;
    EXPECT_TRUE(bmp.write(cel.get(), dir.path("a.bmp"), QStringLiteral("PNG")));
    EXPECT_FALSE(QFileInfo::exists(dir.path("a.bmp")));
    EXPECT_FALSE(bmp.write(cel.get(), dir.path("no/dir/a.bmp"), QStringLiteral("BMP")));
    const auto records = capture.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_TRUE(records[0].source.startsWith(QStringLiteral("Could not open file \"")));
    EXPECT_EQ(records[0].action * 100 + records[0].code, 220);
}
