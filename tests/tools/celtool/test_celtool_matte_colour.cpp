// celtool filter: the matte and colour rows, run as a separate process.
#include <gtest/gtest.h>

#include <vector>

#include "CeltoolTestUtil.h"

using celtest::celtool;

namespace {

using celtest::randomPixels;
using celtest::raw16;
using celtest::tgaOf;

// Pixel (x, y) of a picture w wide; empty when v does not reach it.
std::vector<int> pixelAt(const std::vector<int>& v, int w, int x, int y) {
    const std::size_t i = (std::size_t(y) * w + x) * 4;
    return i + 4 <= v.size() ? std::vector<int>(v.begin() + i, v.begin() + i + 4) : std::vector<int>{};
}

} // namespace

TEST(CeltoolFilterMatteColour, PlacesCropsGrowsAndStretches) {
    celtest::TempDir dir;
    // Transparent 6 x 4, opaque red at (1, 1), half-transparent white at (4, 2).
    std::vector<CEL_PixelRGBA8> pixels(24, CEL_PixelRGBA8{0, 0, 0, 0});
    pixels[7] = CEL_PixelRGBA8{255, 0, 0, 255};
    pixels[16] = CEL_PixelRGBA8{255, 255, 255, 128};
    const QString in = dir.path("in.tga");
    ASSERT_TRUE(celtest::writeFile(in, tgaOf(pixels, 6, 4)));
    const std::vector<int> red{32767, 0, 0, 32767}, clear{0, 0, 0, 0};
    const std::vector<int> original = raw16(dir, in, {"--negate", "a", "--negate", "a"});
    const std::vector<int> soft = pixelAt(original, 6, 4, 2);

    // The picture keeps its size when it grows (the radius rules: the library's matte tests).
    const std::vector<int> grown = raw16(dir, in, {"--expand", "1"});
    EXPECT_EQ(grown.size(), 96u);
    EXPECT_EQ(pixelAt(grown, 6, 5, 3), soft);

    const std::vector<int> placed = raw16(dir, in, {"--place", "10,8,3,2"});
    ASSERT_EQ(placed.size(), 10u * 8 * 4);
    EXPECT_EQ(pixelAt(placed, 10, 4, 3), red);
    EXPECT_EQ(pixelAt(placed, 10, 1, 1), clear);
    // Per-pixel rows after a placement see the whole new canvas.
    EXPECT_EQ(pixelAt(raw16(dir, in, {"--place", "10,8,3,2", "--negate", "rgba"}), 10, 0, 0),
              (std::vector<int>{32767, 32767, 32767, 32767}));

    const std::vector<int> cropped = raw16(dir, in, {"--crop", "1,1,4,5"});
    ASSERT_EQ(cropped.size(), 4u * 5 * 4);
    EXPECT_EQ(pixelAt(cropped, 4, 3, 1), soft);
    EXPECT_EQ(pixelAt(cropped, 4, 3, 4), clear); // below the picture

    // The matte as opaque grey: with levels 0 ... 1 grey is the alpha.
    const int a = original[4 * 16 + 3];
    EXPECT_EQ(pixelAt(raw16(dir, in, {"--stretch", "0,1"}), 6, 4, 2), (std::vector<int>{a, a, a, 32767}));
}

TEST(CeltoolFilterMatteColour, NegateMatchesImageMagick) {
    if (!celtest::haveMagick()) GTEST_SKIP() << "ImageMagick's convert is not installed";
    celtest::TempDir dir;
    const QString tgaIn = dir.path("in.tga"), in = dir.path("in.png");
    ASSERT_TRUE(celtest::writeFile(tgaIn, tgaOf(randomPixels(23 * 17, 5, true), 23, 17, "TGA3")));
    ASSERT_EQ(celtool({"convert", tgaIn, in}).exit, 0);
    const QString ours = dir.path("ours.png"), theirs = dir.path("theirs.png");
    ASSERT_EQ(celtool({"filter", "--negate", "rgb", in, ours}).exit, 0);
    ASSERT_EQ(celtest::runProgram("convert", {in, "-negate", theirs}).exit, 0);
    EXPECT_EQ(celtest::magickPixels(ours).size(), 23u * 17 * 4);
    EXPECT_EQ(celtest::magickPixels(ours), celtest::magickPixels(theirs));
}

TEST(CeltoolFilterMatteColour, BadWordsExitTwoAndLeaveOutAlone) {
    celtest::TempDir dir;
    const QString in = dir.path("in.tga"), out = dir.path("out.tga");
    ASSERT_TRUE(celtest::writeFile(in, tgaOf(randomPixels(8 * 6, 3, false), 8, 6)));
    const QByteArray before("untouched");
    ASSERT_TRUE(celtest::writeFile(out, before));
    QList<QStringList> bad = celtest::argLists(
        "--threshold 0.5x|--threshold nan|--alpha-cut inf|--unpremultiply 10:opaq|--stretch 0.8,0.2|"
        "--stretch 0.5|--expand 0|--expand 2,0|--shrink -1|--place 10,10,2|--place 0,5,1,1|--crop 1,1,0,4|"
        "--background 1,1|--mask rgbx|--color-scale 1,1,1|--color-scale 1,1,1,1,1|--key 0,1,0,1,0,1.5|"
        "--key 0.6,0.4,0,1,0,1|--key 0,1,0,1,0,1,1|--bw 50:alp|--negate x|--intensity 0|--crop 10,10,2,2");
    bad << QStringList{"--mask", ""};
    celtest::expectUsageErrors({"filter"}, bad, {in, out}, out, "usage: celtool filter");
    const celtest::ToolRun encode = celtool({"filter", "--encode", "srgb", in, out});
    EXPECT_EQ(encode.exit, 2);
    EXPECT_TRUE(encode.err.contains("sRGB") && encode.err.contains("709")) << encode.err.constData();
    const celtest::ToolRun crop = celtool({"filter", "--crop", "10,10,2,2", in, out});
    EXPECT_TRUE(crop.err.contains("outside the 8x6 picture")) << crop.err.constData();

    const QByteArray help = celtool({"filter", "--help"}).out;
    for (const QString& name : QStringLiteral("--threshold --alpha-cut --unpremultiply --stretch --expand "
                                              "--shrink --place --crop --background --encode --mask "
                                              "--color-scale --key --bw --negate --intensity")
                                   .split(' '))
        EXPECT_TRUE(help.contains(name.toUtf8())) << qPrintable(name);
}
