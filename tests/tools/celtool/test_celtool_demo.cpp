// celtool demo, run once: every group of files it writes. The contact sheet is
// filled on the loader's background workers, so the suite says "Threads".
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <gtest/gtest.h>

#include "CeltoolTestUtil.h"
#include "base/VectorFile.h"
#include "celio/handlers/VideoFrameHandler.h"

using namespace celtest;

TEST(CeltoolDemoThreads, TheDemoFillsItsContactSheetOnTheLoaderAndWritesEveryGroup) {
    TempDir dir;
    const QString out = dir.path("demo");
    // The render cache falls back to the temporary folder: the demo's own cache leaves nothing there.
    const ToolRun demo = celtool({"demo", out}, {}, {}, {{"TMPDIR", dir.root()}, {"QAV_CACHE_PATH", ""}});
    const QByteArray& text = demo.out;
    ASSERT_EQ(demo.exit, 0) << demo.err.constData();
    const auto file = [&](const char* name) { return out + '/' + QLatin1String(name); };

    // Contact sheet: six cells a row, each a 80 x 48 box with a 6-pixel margin
    // and an 11-pixel label strip; the ball (red over white) in every cell.
    EXPECT_TRUE(text.contains("loaded 24 frames on 2 background workers: 24 thumbnails laid"))
        << text.constData();
    constexpr int kCellW = 80 + 12, kCellH = 48 + 12 + 11;
    const QImage sheet(file("contact-sheet.png"));
    ASSERT_EQ(sheet.size(), QSize(6 * kCellW, 4 * kCellH));
    for (int cell = 0; cell < 24; ++cell) {
        int red = 0;
        for (int y = cell / 6 * kCellH + 6; y < cell / 6 * kCellH + 6 + 48; ++y)
            for (int x = cell % 6 * kCellW + 6; x < cell % 6 * kCellW + 6 + 80; ++x)
                red += qRed(sheet.pixel(x, y)) > qGreen(sheet.pixel(x, y)) + 60;
        EXPECT_GT(red, 20) << "cell " << cell;
    }
    // The sequence converted in shards: byte for byte the single-file convert.
    ASSERT_EQ(QDir(file("sequence-png")).entryList(QDir::Files).size(), 24);
    for (const QString frame : {"0001", "0012", "0013", "0024"}) {
        const QString single = dir.path("single.png");
        ASSERT_EQ(celtool({"convert", out + "/sequence/ball." + frame + ".tga", single}).exit, 0);
        EXPECT_EQ(readFile(out + "/sequence-png/ball." + frame + ".png"), readFile(single))
            << qPrintable(frame);
    }

    // Depth, legacy formats, media, drawing, proxies, video frames, movies.
    for (const char* line :
         {"/legacy-opt4.opt", "/legacy-opt1.opt", "/legacy-scan24.scan", "/legacy-scan32.scan",
          "/legacy-matte.var", "information string \"demo frame 1, take 2\"",
          "media/frame.omf (OMF, 160x96, 46293 bytes): read back identical", ": proxy-1000.dat",
          ": kept: cache full", "bars.pal (720x540 picture, 829440 bytes): read back 768x576"})
        EXPECT_TRUE(text.contains(line)) << line;
    for (const auto& [name, width] :
         {std::pair{"depth-crossing.png", 640}, {"depth-crossing-z.png", 240}, {"media/frame-jpeg.omf", 160}})
        EXPECT_EQ(infoOf(file(name)).value("width").toInt(), width) << name;
    EXPECT_EQ(QImage(file("legacy-formats.png")).size(), QSize(5 * (160 + 8), 96 + 8 + 12));
    EXPECT_EQ(QImage(file("media/omf-sheet.png")).size(), QSize(4 * (160 + 8), 96 + 8 + 12));
    EXPECT_EQ(QImage(file("vector.png")).size(), QSize(4 * 244, 3 * (180 + 16)));
    GR_CompositeVectorDrawingObj d;
    ASSERT_TRUE(d.LoadFromBytes(readFile(file("drawing.qvx"))));
    ASSERT_EQ(d.layers().size(), 4u);
    for (const GR_Layer& layer : d.layers()) EXPECT_FALSE(layer.shapes.empty()) << "art " << layer.type;
    EXPECT_FALSE(QFileInfo::exists(file("cache"))); // the cache went with the demo
    EXPECT_EQ(QFileInfo(file("video/bars.yuv")).size(), QXCelUioYuvHandler::NTSC_BYTES);
    EXPECT_EQ(QFileInfo(file("video/fields.pal")).size(), QXCelUioPalHandler::PAL_BYTES);
    const QJsonObject mp4 = infoOf(file("movie/frames.mp4"));
    EXPECT_TRUE(mp4["frames"].toInt() == 24 && mp4["codec"].toString() == "h264");
    // The lossless movie gives back what it was given: the colour the demo gives frame 24.
    const ToolRun last = celtool({"dump", "--frame", "24", file("movie/frames.mov"), "-"});
    ASSERT_TRUE(last.exit == 0 && last.out.size() >= 4);
    EXPECT_EQ(std::pair(int(uint8_t(last.out[0])), int(uint8_t(last.out[2]))),
              std::pair(40 + 24 * 8, 200 - 24 * 6));
}
