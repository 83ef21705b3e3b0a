// celtool on movie files: frames in presentation order are ffmpeg's own; bad frames fail cleanly.

#include <gtest/gtest.h>

#include <QFileInfo>

#include "CeltoolTestUtil.h"

namespace {

using celtest::celtool;

class CeltoolMovieTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!celtest::haveProgram("ffmpeg")) GTEST_SKIP() << "ffmpeg not found";
        m_clip = m_dir.path("clip.mp4");
        const auto made = celtest::runProgram(
            "ffmpeg", {"-v", "error", "-f", "lavfi", "-i", "testsrc2=size=32x24:rate=25", "-frames:v", "12",
                       "-c:v", "libx264", "-bf", "2", "-g", "5", "-pix_fmt", "yuv420p", m_clip});
        ASSERT_EQ(made.exit, 0) << made.err.constData();
    }
    celtest::TempDir m_dir;
    QString m_clip;
};

TEST_F(CeltoolMovieTest, FramesEqualFfmpegsPictures) {
    // ffmpeg's numbered pictures of the clip against the whole movie converted by two workers
    // (single frames out of order: the decoder's own tests; --frame's numbering: the demo's).
    const auto made = celtest::runProgram("ffmpeg", {"-v", "error", "-i", m_clip, m_dir.path("ref%04d.png")});
    ASSERT_EQ(made.exit, 0);
    const auto batch = celtool({"convert", "--threads", "2", m_clip, m_dir.path("seq.####.png")});
    ASSERT_EQ(batch.exit, 0) << batch.err.constData();
    const auto pixels = [](const QString& path) { return celtool({"dump", path, "-"}).out; };
    for (int n = 1; n <= 12; ++n) {
        const QByteArray ref =
            pixels(m_dir.path(QStringLiteral("ref%1.png").arg(n, 4, 10, QLatin1Char('0'))));
        ASSERT_EQ(ref.size(), 32 * 24 * 4);
        EXPECT_TRUE(pixels(m_dir.path(QStringLiteral("seq.%1.png").arg(n, 4, 10, QLatin1Char('0')))) == ref)
            << "frame " << n;
    }
    EXPECT_FALSE(QFileInfo::exists(m_dir.path("seq.0013.png")));

    // A shard of a range: its contiguous part only.
    const auto shard =
        celtool({"convert", "--frames", "3-10", "--shard", "1/2", m_clip, m_dir.path("part.#.png")});
    ASSERT_EQ(shard.exit, 0) << shard.err.constData();
    for (int n = 1; n <= 12; ++n)
        EXPECT_EQ(QFileInfo::exists(m_dir.path(QStringLiteral("part.%1.png").arg(n))), n >= 7 && n <= 10)
            << n;
}

TEST_F(CeltoolMovieTest, InfoAndAContactSheetCellPerFrameShown) {
    const QJsonObject info = celtest::infoOf(m_clip);
    EXPECT_EQ(info["frames"].toInt(), 12);
    EXPECT_EQ(info["codec"].toString(), "h264");
    EXPECT_TRUE(celtool({"info", m_clip}).out.contains("h264, 12 frames, 25 fps"));

    // Frames 1, 6 and 11 make the sheet three pictures make.
    const QString png = m_dir.path("one.png");
    ASSERT_EQ(celtool({"convert", m_clip, png}).exit, 0);
    const QString movieSheet = m_dir.path("movie-sheet.png"), pictureSheet = m_dir.path("picture-sheet.png");
    const auto r = celtool({"contact-sheet", "--frames", "1-12:5", "-o", movieSheet, m_clip});
    ASSERT_EQ(r.exit, 0) << r.err.constData();
    ASSERT_EQ(celtool({"contact-sheet", "-o", pictureSheet, png, png, png}).exit, 0);
    const QJsonObject a = celtest::infoOf(movieSheet), b = celtest::infoOf(pictureSheet);
    EXPECT_TRUE(a["width"] == b["width"] && a["height"] == b["height"] && a["width"].toInt() > 0);
    EXPECT_EQ(celtool({"contact-sheet", "--frames", "5-2", "-o", movieSheet, m_clip}).exit, 2);
}

TEST_F(CeltoolMovieTest, BadFramesAndFilesFail) {
    const QString out = m_dir.path("out.png");
    auto r = celtool({"dump", "--frame", "13", m_clip, out});
    EXPECT_EQ(r.exit, 1);
    EXPECT_EQ(r.errLines(),
              QList<QByteArray>{
                  QStringLiteral("celtool: %1: frame 13 out of range 1\u201312").arg(m_clip).toUtf8()});
    EXPECT_FALSE(QFileInfo::exists(out));
    for (const char* bad : {"0", "-3", "two"})
        EXPECT_EQ(celtool({"convert", "--frame", bad, m_clip, out}).exit, 2);

    // A still picture has frame 1 only.
    ASSERT_EQ(celtool({"convert", m_clip, out}).exit, 0);
    EXPECT_EQ(celtool({"dump", "--frame", "2", out, "-"}).exit, 1);

    // Not a movie, and one cut short before its index: one line each, exit 1.
    const QString text = m_dir.path("text.mov");
    celtest::writeFile(text, "not a movie at all\n");
    r = celtool({"dump", text, "-"});
    EXPECT_TRUE(r.exit == 1 && r.errLines().size() == 1 && r.out.isEmpty()) << r.err.constData();
    const QString cut = m_dir.path("cut.mp4");
    celtest::writeFile(cut, celtest::readFile(m_clip).left(200));
    EXPECT_EQ(celtool({"thumbnail", cut, out}).exit, 1);
}

TEST_F(CeltoolMovieTest, StandardInputIsReadAsTheContainerItHolds) {
    // The same frame from the file and from standard input, without --format,
    // for MP4 and for Matroska (which the MOV reader would not open).
    const QString mkv = m_dir.path("clip.mkv");
    ASSERT_EQ(celtest::runProgram("ffmpeg", {"-v", "error", "-i", m_clip, "-c", "copy", mkv}).exit, 0);
    for (const QString& clip : {m_clip, mkv}) {
        const auto file = celtool({"dump", "--frame", "7", clip, "-"});
        ASSERT_EQ(file.exit, 0) << file.err.constData();
        const auto piped = celtool({"dump", "--frame", "7", "-", "-"}, celtest::readFile(clip));
        ASSERT_EQ(piped.exit, 0) << piped.err.constData();
        EXPECT_TRUE(piped.out == file.out) << clip.toStdString();
    }
}

} // namespace
