// celtool with vector drawings: render, QVX / QVXO convert rules, streams, palettes.
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <gtest/gtest.h>

#include "CeltoolTestUtil.h"
#include "base/FileSpec.h"
#include "base/VectorFile.h"
#include "cel/VectorQvd.h"
#include "support/TestSupport.h"
#include "support/VectorTestUtil.h"

namespace {

using celtest::celtool;
using celtest::ToolRun;
using vectortest::colour;
using vectortest::rect;

// A red square x, y +-937.5 (world units) with a palette colour, and a blue
// stroke in line art along y = 1500.
QByteArray sampleDrawing() {
    GR_CompositeVectorDrawingObj d;
    GR_DrawingAccess a(d);
    a.InsertFill(a.CreateLayer(GR_ColorArtLayer), rect(-937.5f, -937.5f, 937.5f, 937.5f),
                 colour(250, 10, 10, 255, 42));
    GR_Path line;
    line.moveTo(-2000, 1500);
    line.lineTo(2000, 1500);
    a.InsertStroke(a.CreateLayer(GR_LineArtLayer), line, colour(0, 0, 255), 70);
    return d.StoreToBytes(0);
}

// r, g, b, a of the centre pixel of `celtool dump` output at the default 720 x 540.
std::array<int, 4> centre(const QByteArray& raw) {
    return celtest::pixelAt(raw, 720, 360, 270);
}

// Bit depth and colour type of a PNG file (6: RGBA), from its header.
std::pair<int, int> pngDepthAndType(const QString& path) {
    const QByteArray b = celtest::readFile(path);
    return b.size() > 25 ? std::pair(int(b[24]), int(b[25])) : std::pair(0, 0);
}

} // namespace

TEST(CeltoolVector, RenderSettingsAndJson) {
    celtest::TempDir dir;
    const QString in = dir.path("d.qvx"), out = dir.path("out.png");
    ASSERT_TRUE(celtest::writeFile(in, sampleDrawing()));

    ToolRun r = celtool({"render", "--json", in, out});
    ASSERT_EQ(r.exit, 0) << r.err.toStdString();
    QJsonObject j = celtest::jsonObject(r.out);
    EXPECT_EQ(j["shapes"].toInt(), 2);
    EXPECT_EQ(j["worldBox"].toArray(), (QJsonArray{-2035, -937.5, 2035, 1535}));
    const QImage png(out);
    EXPECT_EQ(png.size(), QSize(720, 540));
    EXPECT_EQ(png.pixel(360, 270), qRgba(250, 10, 10, 255));

    // 16 bits, colour art only, on a canvas twice the picture's size: the square's area.
    r = celtool(
        {"render", "--depth", "16", "--art", "colour", "--canvas", "-360,-270,1440,1080", "--json", in, out});
    ASSERT_EQ(r.exit, 0) << r.err.toStdString();
    EXPECT_EQ(celtest::jsonObject(r.out)["allocated"].toArray(), (QJsonArray{223, 133, 274, 274}));
    EXPECT_EQ(pngDepthAndType(out), std::pair(16, 6)) << "16-bit RGBA kept";

    // Size, matrix, thickness and straight colour.
    r = celtool({"render", "--size", "360x270", "--matrix", "0.5,0,1250,0,0.5,0", "--thickness", "2",
                 "--straight", "--antialias", "0", "--json", in, out});
    ASSERT_EQ(r.exit, 0) << r.err.toStdString();
    EXPECT_EQ(celtest::jsonObject(r.out)["worldBox"].toArray(), (QJsonArray{-2070, -937.5, 2070, 1570}))
        << "before the matrix";
    const QImage small(out);
    ASSERT_EQ(small.size(), QSize(360, 270));
    EXPECT_EQ(small.pixel(180 + 90, 135), qRgba(250, 10, 10, 255)) << "moved right by a quarter";
    EXPECT_EQ(qAlpha(small.pixel(180 - 60, 135)), 0);
}

TEST(CeltoolVector, RenderRefusesBadRequestsBeforeWriting) {
    celtest::TempDir dir;
    const QString in = dir.path("d.qvx"), out = dir.path("out.png"), png = dir.path("p.png");
    ASSERT_TRUE(celtest::writeFile(in, sampleDrawing()));
    celtest::expectUsageErrors({"render"},
                               celtest::argLists("--size 0x540|--size 2000000000x2000000000|--depth 12|"
                                                 "--art colour,sky|--matrix 1,2,3|--thickness -1|"
                                                 "--canvas 0,0,0,10|--antialias high"),
                               {in, out}, out);
    EXPECT_EQ(celtool({"render", "--json", in, "-"}).exit, 2); // the JSON would mix with the picture
    // A picture is not a drawing; a damaged drawing is refused with its fault.
    ASSERT_EQ(celtool({"render", in, png}).exit, 0);
    ToolRun r = celtool({"render", png, out});
    EXPECT_EQ(r.exit, 1);
    EXPECT_TRUE(r.err.contains("not a vector drawing")) << r.err.toStdString();
    QByteArray bad = sampleDrawing();
    bad[12 + 12 + 40] = 9; // the first verb of the first shape
    ASSERT_TRUE(celtest::writeFile(in, bad));
    r = celtool({"render", in, out});
    EXPECT_TRUE(r.exit == 1 && r.errLines().size() == 1 && r.err.contains("Invalid vector drawing"))
        << r.err.toStdString();
    EXPECT_FALSE(QFile::exists(out));
}

TEST(CeltoolVector, ConvertRulesStreamsAndThePaletteBeside) {
    celtest::TempDir dir;
    const QString in = dir.path("d.qvx");
    const QByteArray bytes = sampleDrawing();
    ASSERT_TRUE(celtest::writeFile(in, bytes));

    // To raster: rendered at 720 x 540, alpha kept, colour as drawn.
    ASSERT_EQ(celtool({"convert", in, dir.path("d.png")}).exit, 0);
    EXPECT_EQ(pngDepthAndType(dir.path("d.png")), std::pair(8, 6)) << "8-bit RGBA";
    const QByteArray raw = celtool({"dump", in, "-"}).out;
    ASSERT_EQ(raw.size(), 720 * 540 * 4);
    EXPECT_EQ(centre(raw), (std::array<int, 4>{250, 10, 10, 255}));
    // To QVX: the same bytes, through a file and through both standard streams.
    ASSERT_EQ(celtool({"convert", in, dir.path("copy.qvx")}).exit, 0);
    EXPECT_EQ(celtest::readFile(dir.path("copy.qvx")), bytes);
    EXPECT_EQ(celtool({"convert", "-", "--format", "qvx", "-"}, bytes).out, bytes);
    // To QVXO: the optimised drawing, which reads and writes back the same.
    ASSERT_EQ(celtool({"convert", in, dir.path("d.qvxo")}).exit, 0);
    const QByteArray optimized = celtest::readFile(dir.path("d.qvxo"));
    GR_OptimizedVectorDrawingObj o;
    EXPECT_TRUE(o.LoadFromBytes(optimized) && o.polygons().size() == 2u);
    ASSERT_EQ(celtool({"convert", dir.path("d.qvxo"), dir.path("e.qvxo")}).exit, 0);
    EXPECT_EQ(celtest::readFile(dir.path("e.qvxo")), optimized);

    // Nothing a format cannot hold: exit 1 and no file.
    for (const auto& [from, to] : {std::pair{"d.png", "p.qvx"}, std::pair{"d.png", "p.qvxo"},
                                   std::pair{"d.qvxo", "o.png"}, std::pair{"d.qvxo", "o.qvx"}}) {
        const ToolRun r = celtool({"convert", dir.path(from), dir.path(to)});
        EXPECT_EQ(r.exit, 1) << from << " -> " << to;
        EXPECT_EQ(r.errLines().size(), 1) << r.err.toStdString();
        EXPECT_FALSE(QFile::exists(dir.path(to))) << to;
    }

    // The palette beside the drawing gives colour 42.
    ASSERT_TRUE(celtest::writeFile(dir.path("palette.qvp"), "000000000000002A 00FF00FF green\n"));
    EXPECT_EQ(centre(celtool({"dump", in, "-"}).out), (std::array<int, 4>{0, 255, 0, 255}));
    EXPECT_EQ(centre(celtool({"dump", "--format", "qvx", "-", "-"}, bytes).out),
              (std::array<int, 4>{250, 10, 10, 255}))
        << "standard input has no folder";
}
