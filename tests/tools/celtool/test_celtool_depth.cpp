// celtool's depth options: a TIFF's _z companion (libtiff), the grey view, compositing by depth.
#include <QFile>
#include <gtest/gtest.h>
#include <tiffio.h>

#include <iterator>
#include <vector>

#include "CeltoolTestUtil.h"

namespace {

using celtest::celtool;
using celtest::ToolRun;

using celtest::int16s;
using celtest::tgaOf;

// A float grey or 8-bit RGBA (associated alpha) TIFF of one strip, through libtiff.
bool writeTiff(const QString& path, int w, int h, int samples, int bits, const void* data) {
    TIFF* tif = TIFFOpen(QFile::encodeName(path).constData(), "w");
    if (!tif) return false;
    const uint32_t tags[] = {TIFFTAG_IMAGEWIDTH,      TIFFTAG_IMAGELENGTH, TIFFTAG_BITSPERSAMPLE,
                             TIFFTAG_SAMPLESPERPIXEL, TIFFTAG_PHOTOMETRIC, TIFFTAG_ROWSPERSTRIP};
    const int values[] = {w, h, bits, samples, samples == 1 ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB, h};
    for (std::size_t i = 0; i < std::size(tags); ++i) TIFFSetField(tif, tags[i], values[i]);
    if (bits == 32) TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_IEEEFP);
    const uint16_t extra = EXTRASAMPLE_ASSOCALPHA;
    if (samples == 4) TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &extra);
    const tmsize_t size = tmsize_t(w) * h * samples * bits / 8;
    const bool ok = TIFFWriteEncodedStrip(tif, 0, const_cast<void*>(data), size) == size;
    TIFFClose(tif);
    return ok;
}

// A 3 x 2 picture with a depth companion: -1e11 lies outside what the reader
// accepts and reads as no depth.
struct Shot {
    celtest::TempDir dir;
    QString colour = dir.path("shot.tif"), depth = dir.path("shot_z.tif");
    const float z[6] = {1.5f, -2.0f, 0.0f, -1e11f, -7.25f, 3.0f};
    Shot() {
        uint8_t rgba[24];
        for (int i = 0; i < 24; ++i)
            rgba[i] = i % 4 == 0 ? uint8_t(10 * i) : i % 4 == 1 ? 100 : i % 4 == 2 ? 200 : 255;
        EXPECT_TRUE(writeTiff(colour, 3, 2, 4, 8, rgba) && writeTiff(depth, 3, 2, 1, 32, z));
    }
};

} // namespace

TEST(CeltoolDepth, DumpAndGreyViewOfADepthCompanion) {
    const Shot shot;
    const QString raw = shot.dir.path("z.raw");
    ToolRun r = celtool({"dump", "--depth", "z", shot.colour, raw});
    ASSERT_EQ(r.exit, 0) << r.err.constData();
    EXPECT_EQ(r.out.trimmed(), QByteArray("3x2"));
    // The values negated (larger is nearer); beyond the accepted range, no depth (-FLT_MAX).
    const float expected[6] = {-1.5f, 2.0f, -0.0f, -3.4028235e38f, 7.25f, -3.0f};
    EXPECT_EQ(celtest::readFile(raw), QByteArray(reinterpret_cast<const char*>(expected), 24));

    const QString tga = shot.dir.path("flat.tga");
    ASSERT_TRUE(celtest::writeFile(tga, tgaOf({{1, 2, 3, 255}}, 1, 1)));
    r = celtool({"dump", "--depth", "z", tga, raw});
    EXPECT_TRUE(r.exit == 1 && r.err.contains("flat.tga has no depth")) << r.err.constData();

    // The grey view: nearest white, farthest black, no depth half blue; holes filled on request.
    const QString grey = shot.dir.path("grey.png");
    const auto view = [&](const QStringList& options) {
        EXPECT_EQ(celtool(QStringList{"convert", "--depth-view"} << options << shot.colour << grey).exit, 0);
        return celtool({"dump", grey, "-"}).out;
    };
    const QByteArray px = view({}); // pixels 3, 4, 5: no depth, 7.25, -3
    EXPECT_EQ(px.mid(12, 12), QByteArray("\x00\x00\x7f\xff\xff\xff\xff\xff\x00\x00\x00\xff", 12));
    EXPECT_EQ(view({"--fill-holes"}).mid(12, 4), QByteArray("\xff\xff\xff\xff", 4)); // its neighbour's 7.25
    // The range reaches the picture: -3 lies below it.
    EXPECT_EQ(view({"--z-range", "-2.5,2.5"}).mid(20, 4), QByteArray("\x00\x00\x7f\xff", 4));
    for (const char* range : {"3,1", "1", "a,b"})
        EXPECT_EQ(celtool({"convert", "--depth-view", "--z-range", range, shot.colour, grey}).exit, 2)
            << range;
    EXPECT_EQ(celtool({"convert", "--depth-view", tga, grey}).exit, 1);
}

TEST(CeltoolDepth, CompositeByDepth) {
    celtest::TempDir dir;
    const QString base = dir.path("base.tga"), layer = dir.path("layer.tga"), raw = dir.path("r.raw");
    ASSERT_TRUE(celtest::writeFile(base, tgaOf({{255, 0, 0, 255}, {255, 0, 0, 255}}, 2, 1)) &&
                celtest::writeFile(layer, tgaOf({{0, 0, 128, 128}, {0, 255, 0, 255}}, 2, 1)));
    // TGA colour is straight: the layer's half blue is premultiplied first.
    const int blue = 128 * 32767 / 255, keep = 32767 - blue,
              premultiplied = int(blue * (blue / 32767.0) + 0.5);
    const int redUnder = (32767 * keep + 32767) >> 15, alpha = ((32767 * keep + 32767) >> 15) + blue;
    const std::vector<int> layerInFront = {redUnder, 0, premultiplied, alpha, 0, 32767, 0, 32767};
    const std::vector<int> baseInFront = {32767, 0, 0, 32767, 32767, 0, 0, 32767};
    const QString mask = dir.path("mask.tga");
    ASSERT_TRUE(celtest::writeFile(mask, tgaOf({{0, 0, 0, 255}, {0, 0, 0, 0}}, 2, 1)));
    // The drawing order does not matter, only the depths. A plane: the base is behind the
    // layer at the first pixel and in front at the second. A mask keeps the first pixel only.
    const std::pair<QStringList, std::vector<int>> cases[] = {
        {{base + "@1", layer + "@2"}, layerInFront},
        {{layer + "@2", base + "@1"}, layerInFront},
        {{base + "@3", layer + "@2"}, baseInFront},
        {{base + "@plane:0,2,0", layer + "@1.5"}, {redUnder, 0, premultiplied, alpha, 32767, 0, 0, 32767}},
        {{"--mask", mask, base + "@3", layer + "@2"}, {32767, 0, 0, 32767, 0, 0, 0, 0}}};
    for (const auto& [args, want] : cases) {
        ASSERT_EQ(celtool(QStringList{"composite", "--by-depth", "--raw16", raw} << args).exit, 0);
        EXPECT_EQ(int16s(celtest::readFile(raw)), want) << qPrintable(args.join(' '));
    }
    // Written through a format, from the depth pixmap.
    const QString out = dir.path("out.tga");
    ASSERT_EQ(celtool({"composite", "--by-depth", "-o", out, base + "@1", layer + "@2"}).exit, 0);
    EXPECT_EQ(int16s(celtool({"dump", "--depth", "16", out, "-"}).out).at(5), 32767);

    const ToolRun r = celtool({"composite", "--by-depth", "-o", out, base});
    EXPECT_TRUE(r.exit == 1 && r.err.contains("base.tga has no depth; give")) << r.err.constData();
    // Options that need a drawing order, and depths that are not numbers or planes.
    celtest::expectUsageErrors({"composite", "--by-depth", "-o", out},
                               {{"--op", "multiply", base + "@1"},
                                {"--opacity", "0.5", base + "@1"},
                                {base + "@near"},
                                {base + "@plane:1,2"},
                                {"--mask-outside", base + "@1"}},
                               {}, out);
}
