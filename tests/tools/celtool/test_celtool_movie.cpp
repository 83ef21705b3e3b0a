// celtool on movie files: --frame picks a frame in presentation order, its
// pixels are ffmpeg's own, and bad frame numbers or files fail cleanly.

#include <gtest/gtest.h>

#include "CeltoolTestUtil.h"

namespace {

using celtest::celtool;
using celtest::runProgram;

class CeltoolMovieTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!celtest::haveProgram("ffmpeg")) GTEST_SKIP() << "ffmpeg not found";
        m_clip = m_dir.path("clip.mp4");
        const auto made = runProgram(
            "ffmpeg", {"-v", "error", "-f", "lavfi", "-i", "testsrc2=size=32x24:rate=25", "-frames:v", "12",
                       "-c:v", "libx264", "-bf", "2", "-g", "5", "-pix_fmt", "yuv420p", m_clip});
        ASSERT_EQ(made.exit, 0) << made.err.constData();
    }
    celtest::TempDir m_dir;
    QString m_clip;
};

TEST_F(CeltoolMovieTest, EveryFrameEqualsFfmpegsPicture) {
    // ffmpeg's numbered pictures of the clip, against ours frame by frame (backwards, so most reads seek).
    const auto made = runProgram("ffmpeg", {"-v", "error", "-i", m_clip, m_dir.path("ref%04d.png")});
    ASSERT_EQ(made.exit, 0);
    for (int n = 12; n >= 1; --n) {
        const QString ours = m_dir.path(QStringLiteral("ours%1.png").arg(n));
        const auto converted = celtool({"convert", "--frame", QString::number(n), m_clip, ours});
        ASSERT_EQ(converted.exit, 0) << converted.err.constData();
        const auto a = celtool({"dump", ours, "-"});
        const auto b =
            celtool({"dump", m_dir.path(QStringLiteral("ref%1.png").arg(n, 4, 10, QLatin1Char('0'))), "-"});
        ASSERT_EQ(a.out.size(), 32 * 24 * 4);
        EXPECT_TRUE(a.out == b.out) << "frame " << n;
    }
}

TEST_F(CeltoolMovieTest, InfoShowsFramesRateAndCodec) {
    const QJsonObject info = celtest::infoOf(m_clip);
    EXPECT_EQ(info["frames"].toInt(), 12);
    EXPECT_EQ(info["frameRate"].toDouble(), 25.0);
    EXPECT_EQ(info["codec"].toString(), "h264");
    EXPECT_EQ(info["width"].toInt(), 32);
    const auto text = celtool({"info", m_clip});
    EXPECT_TRUE(text.out.contains("h264, 12 frames, 25 fps")) << text.out.constData();
}

TEST_F(CeltoolMovieTest, BadFramesAndFilesFail) {
    const QString out = m_dir.path("out.png");
    auto r = celtool({"dump", "--frame", "13", m_clip, out});
    EXPECT_EQ(r.exit, 1);
    EXPECT_EQ(r.errLines().value(0),
              QStringLiteral("celtool: %1: frame 13 out of range 1\u201312").arg(m_clip).toUtf8());
    for (const char* bad : {"0", "-3", "two"})
        EXPECT_EQ(celtool({"convert", "--frame", bad, m_clip, out}).exit, 2);

    // A still picture has frame 1 only.
    ASSERT_EQ(celtool({"convert", m_clip, out}).exit, 0);
    EXPECT_EQ(celtool({"dump", "--frame", "2", out, "-"}).exit, 1);

    // Not a movie, and one cut short before its index: one line each, exit 1.
    const QString text = m_dir.path("text.mov");
    celtest::writeFile(text, "not a movie at all\n");
    r = celtool({"dump", text, "-"});
    EXPECT_EQ(r.exit, 1);
    EXPECT_EQ(r.errLines().size(), 1);
    EXPECT_TRUE(r.out.isEmpty());
    const QString cut = m_dir.path("cut.mp4");
    celtest::writeFile(cut, celtest::readFile(m_clip).left(200));
    EXPECT_EQ(celtool({"thumbnail", cut, out}).exit, 1);
}

} // namespace
