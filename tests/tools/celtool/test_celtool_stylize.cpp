// celtool filter: the stylising rows (mosaic, gradient, dithering, contrast, grain, refraction).
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "CeltoolTestUtil.h"

using celtest::celtool;

namespace {

using celtest::raw16;
using celtest::tgaOf;

// Smooth colour with some noise, so that blocks, slopes and lumas all vary.
std::vector<CEL_PixelRGBA8> picture(int w, int h, unsigned seed, bool opaque) {
    std::mt19937 rng(seed);
    std::vector<CEL_PixelRGBA8> v;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            v.push_back(CEL_PixelRGBA8{uint8_t((x * 255) / w), uint8_t((y * 255) / h), uint8_t(rng() % 256),
                                       uint8_t(opaque ? 255 : 128 + (x + y) % 128)});
    return v;
}

} // namespace

TEST(CeltoolFilterStylize, RefusesBadArgumentsBeforeReading) {
    celtest::TempDir dir;
    const QString out = dir.path("out.png");
    // IN does not exist: exit 2 shows the words were refused before reading.
    celtest::expectUsageErrors(
        {"filter"},
        celtest::argLists(
            "--pixelate 1|--pixelate 8:m.png:flip|--pixelate x|--gradient 0,0,1,1:0,0,0,256:0,0,0,0|"
            "--gradient 0,0,1:0,0,0,0:0,0,0,0|--gradient 0,0,1,1:0,0,0,0:0,0,0,0:1,2,3|"
            "--dither noise:256|--dither noise:-1|--dither noise|--dither quantise:3|--dither blur:2|"
            "--contrast 1.5,1,1|--contrast 0.5,-1,1|--contrast 0.5,nan,1|--grain 0,0.5|--grain 2,1.5|"
            "--grain 2,0.5,2|--grain 2,0.5:colour|--refract 1,0,0:self|--refract 1,0,1|"
            "--refract 1,inf,1:self|--seed x --dither quantise"),
        {dir.path("missing.png"), out}, out);
}

TEST(CeltoolFilterStylize, RefusalsThePictureDecidesAndGradientsOverTheCanvas) {
    celtest::TempDir dir;
    const QString in = dir.path("in.tga"), small = dir.path("small.tga"), out = dir.path("out.tga");
    ASSERT_TRUE(celtest::writeFile(in, tgaOf(picture(40, 30, 1, false), 40, 30)));
    ASSERT_TRUE(celtest::writeFile(small, tgaOf(picture(20, 30, 2, false), 20, 30)));
    ASSERT_TRUE(celtest::writeFile(out, "keep"));
    // 40 x 30 holds blocks of at most 40 * 40 / 720 = 2.2 pixels.
    for (const QStringList& args : QList<QStringList>{{"--pixelate", "3"},
                                                      {"--pixelate", "2:" + small},
                                                      {"--pixelate", "2:" + dir.path("none.png")},
                                                      {"--refract", "1,0,1.5:" + small + ":invert"}}) {
        const celtest::ToolRun r = celtool(QStringList{"filter"} << args << in << out);
        EXPECT_EQ(r.exit, 1) << qPrintable(args.join(' ')) << r.err.constData();
        EXPECT_EQ(celtest::readFile(out), QByteArray("keep"));
    }
    EXPECT_EQ(celtool({"filter", "--pixelate", "2:self:invert", in, out}).exit, 0);

    // A gradient fills the whole canvas, whatever the picture's alpha (the rules of each row: the
    // library's stylise tests): the corners hold the end colours.
    const std::vector<int> g = raw16(dir, in, {"--gradient", "0,0,39,0:255,0,0,255:0,0,255,255"});
    ASSERT_EQ(g.size(), 40u * 30 * 4);
    EXPECT_EQ(g[0], 32767);
    EXPECT_EQ((std::vector<int>(g.end() - 4, g.end())), (std::vector<int>{0, 0, 32767, 32767}));
}

TEST(CeltoolFilterStylize, PixelateMatchesImageMagickScaling) {
    if (!celtest::haveMagick()) GTEST_SKIP() << "ImageMagick convert not found";
    celtest::TempDir dir;
    const QString in = dir.path("in.png"), ours = dir.path("ours.png"), theirs = dir.path("theirs.png");
    std::vector<int> rgba;
    for (const CEL_PixelRGBA8& p : picture(96, 64, 6, true)) rgba.insert(rgba.end(), {p.r, p.g, p.b, 255});
    ASSERT_TRUE(celtest::magickWrite(rgba, 96, 64, 8, "PNG32:" + in));
    ASSERT_EQ(celtool({"filter", "--pixelate", "8", in, ours}).exit, 0);
    ASSERT_EQ(celtest::runProgram("convert", {in, "-scale", "12.5%", "-scale", "800%", theirs}).exit, 0);
    const std::vector<int> a = celtest::magickPixels(ours), b = celtest::magickPixels(theirs);
    ASSERT_TRUE(a.size() == b.size() && a.size() == 96u * 64 * 4);
    for (std::size_t i = 0; i < a.size(); ++i) ASSERT_LE(std::abs(a[i] - b[i]), 1) << i;
}
