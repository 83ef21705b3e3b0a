// celtool with PAL and YUV frames: formats, streams, size refusals, alpha, interlace.
#include <QFileInfo>
#include <gtest/gtest.h>

#include "CeltoolTestUtil.h"
#include "celio/handlers/VideoFrameHandler.h"

namespace {

using celtest::celtool;
using celtest::ToolRun;

using celtest::pixelAt;

// A w x h TGA4 file of one straight colour.
bool flatTga(const QString& path, int w, int h, CEL_PixelRGBA8 colour) {
    return celtest::writeFile(path, celtest::tgaOf(std::vector<CEL_PixelRGBA8>(size_t(w) * h, colour), w, h));
}

} // namespace

TEST(CeltoolVideo, FramesByExtensionAndThroughStandardStreams) {
    celtest::TempDir dir;
    const QString in = dir.path("in.tga");
    ASSERT_TRUE(flatTga(in, 200, 100, CEL_PixelRGBA8{200, 40, 30, 255}));
    for (const auto& [ext, rows, w, h] :
         {std::tuple{"pal", 576, 768, 576}, std::tuple{"yuv", 486, 720, 540}}) {
        const QString frame = dir.path(QStringLiteral("f.") + ext);
        ASSERT_EQ(celtool({"convert", in, frame}).exit, 0) << ext;
        EXPECT_EQ(QFileInfo(frame).size(), 720 * rows * 2);
        const QJsonObject info = celtest::infoOf(frame);
        EXPECT_EQ(info["format"].toString(), QString::fromLatin1(ext).toUpper());
        EXPECT_EQ(info["height"].toInt(), rows);

        // Read back at the square-pixel size (the pixels: the handler's tests).
        EXPECT_EQ(celtool({"dump", frame, dir.path("f.raw")}).out.trimmed(),
                  QStringLiteral("%1x%2").arg(w).arg(h).toUtf8());

        // "-" both ways, the format named.
        const ToolRun out = celtool({"convert", "--format", ext, in, "-"});
        ASSERT_EQ(out.exit, 0) << out.err.toStdString();
        EXPECT_EQ(out.out, celtest::readFile(frame));
        const ToolRun back = celtool({"dump", "--format", ext, "-", "-"}, out.out);
        EXPECT_TRUE(back.exit == 0 && back.out == celtool({"dump", frame, "-"}).out)
            << back.err.toStdString();
        EXPECT_EQ(celtool({"info", "--format", ext, "-"}, out.out).exit, 0);
    }
}

TEST(CeltoolVideo, RefusalsAndAlpha) {
    celtest::TempDir dir;
    const QString big = dir.path("big.tga"), wide = dir.path("wide.tga"), out = dir.path("out.pal");
    ASSERT_TRUE(flatTga(big, 769, 100, CEL_PixelRGBA8{1, 2, 3, 255}));
    ASSERT_TRUE(flatTga(wide, 721, 100, CEL_PixelRGBA8{1, 2, 3, 255}));
    ASSERT_TRUE(celtest::writeFile(out, "earlier"));
    ToolRun r = celtool({"convert", big, out});
    EXPECT_EQ(r.exit, 1);
    EXPECT_EQ(r.err.trimmed(),
              QByteArray("celtool: ") + out.toUtf8() +
                  ": image of 769 x 100 pixels too large for a PAL frame (at most 768 x 576)");
    EXPECT_EQ(celtest::readFile(out), QByteArray("earlier"));
    r = celtool({"convert", wide, dir.path("out.yuv")});
    EXPECT_EQ(r.exit, 1);
    EXPECT_TRUE(r.err.contains("too large for a YUV frame (at most 720 x 540)")) << r.err.toStdString();
    EXPECT_FALSE(QFileInfo::exists(dir.path("out.yuv")));

    // Straight colour with alpha: premultiplied on the way, so the frame shows
    // the picture over black, and the dropped alpha is named.
    const QString half = dir.path("half.tga");
    ASSERT_TRUE(flatTga(half, 100, 100, CEL_PixelRGBA8{255, 255, 255, 128}));
    r = celtool({"convert", half, dir.path("half.pal")});
    ASSERT_EQ(r.exit, 0) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("alpha dropped: PAL has no alpha")) << r.err.toStdString();
    const auto centre = pixelAt(celtool({"dump", dir.path("half.pal"), "-"}).out, 768, 384, 288);
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(centre[c], 128, 1);
}

// interlace: a video frame takes FIRST's field in the odd rows unless
// --second-field-first; other formats interleave the pictures' own rows.
TEST(CeltoolVideo, Interlace) {
    celtest::TempDir dir;
    const QString red = dir.path("red.tga"), blue = dir.path("blue.tga"), small = dir.path("small.tga");
    ASSERT_TRUE(flatTga(red, 300, 200, CEL_PixelRGBA8{255, 0, 0, 255}));
    ASSERT_TRUE(flatTga(blue, 300, 200, CEL_PixelRGBA8{0, 0, 255, 255}));
    ASSERT_TRUE(flatTga(small, 30, 20, CEL_PixelRGBA8{0, 0, 255, 255}));
    const char yRed = char(81), yBlue = char(41); // the luma bytes of pure red and blue

    const QString pal = dir.path("i.pal");
    ASSERT_EQ(celtool({"interlace", "--second-field-first", "-o", pal, red, blue}).exit, 0);
    const QByteArray f = celtest::readFile(pal);
    ASSERT_EQ(f.size(), QXCelUioPalHandler::PAL_BYTES);
    EXPECT_EQ(f.mid((288 * 720 + 360) * 2 + 1, 1) + f.mid((289 * 720 + 360) * 2 + 1, 1),
              QByteArray(1, yBlue) + yRed)
        << "row 288 (even): SECOND";

    // Elsewhere the rows of the two pictures; the format from FIRST's family.
    const QString tga = dir.path("i.tga");
    ASSERT_EQ(celtool({"interlace", "--second-field-first", "-o", tga, red, blue}).exit, 0);
    const QByteArray raw = celtool({"dump", tga, "-"}).out;
    EXPECT_EQ(pixelAt(raw, 300, 5, 0), (std::array<int, 4>{0, 0, 255, 255}));
    EXPECT_EQ(pixelAt(raw, 300, 5, 1), (std::array<int, 4>{255, 0, 0, 255}));

    ToolRun r = celtool({"interlace", "-o", dir.path("x.pal"), red, small});
    EXPECT_EQ(r.exit, 1);
    EXPECT_TRUE(r.err.contains("the fields differ in size (300x200 and 30x20)")) << r.err.toStdString();
    celtest::expectUsageErrors({"interlace"},
                               celtest::argLists("R B|-o X R|--code TGA4 -o X R B",
                                                 {{"R", red}, {"B", blue}, {"X", dir.path("x.pal")}}),
                               {}, dir.path("x.pal"));
}
