// celtool filter --text: burn-ins, run as a separate process.
#include <gtest/gtest.h>

#include <QRegularExpression>
#include <random>
#include <vector>

#include "CeltoolTestUtil.h"

using celtest::celtool;
using celtest::raw16;

namespace {

// An opaque w x h PNG of 16-bit noise.
QString noisePng(const celtest::TempDir& dir, const QString& name, int w, int h) {
    std::mt19937 rng(7);
    std::vector<int> rgba;
    for (int i = 0; i < w * h; ++i)
        rgba.insert(rgba.end(), {int(rng() & 0xFFFF), int(rng() & 0xFFFF), int(rng() & 0xFFFF), 65535});
    const QString path = dir.path(name);
    EXPECT_TRUE(celtest::magickWrite(rgba, w, h, 16, "PNG64:" + path));
    return path;
}

// "WxH" of what `convert FILE -trim info:` keeps (the ink of light text on black).
QString inkSize(const QStringList& convertArgs) {
    const celtest::ToolRun r = celtest::runProgram("convert", QStringList(convertArgs) << "-trim"
                                                                                       << "info:");
    const QRegularExpressionMatch m = QRegularExpression(" (\\d+x\\d+) \\d+x\\d+[+-]").match(QString(r.out));
    return m.hasMatch() ? m.captured(1) : QString();
}

} // namespace

TEST(CeltoolText, BoxedTextChangesOnlyItsAreaOfA16BitPicture) {
    if (!celtest::haveMagick()) GTEST_SKIP() << "ImageMagick convert not found";
    celtest::TempDir dir;
    const int w = 320, h = 240;
    const QString in = noisePng(dir, "noise.png", w, h);
    // A text of blanks draws nothing: the picture as the filter holds it.
    const std::vector<int> before = raw16(dir, in, {"--text", " "});
    ASSERT_EQ(before.size(), std::size_t(w * h * 4));
    QByteArray err;
    const QStringList args{"--text:pos=bc:color=ff0000:box=0000ff", "00:01:23:12"};
    const std::vector<int> after = raw16(dir, in, args, &err);
    ASSERT_EQ(after.size(), before.size());
    EXPECT_TRUE(err.isEmpty()) << err.constData(); // not even Qt's start-up notes

    // The box: the rectangle of opaque blue; the glyphs: opaque red inside it.
    int x1 = w, y1 = h, x2 = -1, y2 = -1, red = 0;
    const auto px = [&](const std::vector<int>& v, int x, int y) { return &v[std::size_t((y * w + x) * 4)]; };
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int* p = px(after, x, y);
            if (p[0] == 0 && p[1] == 0 && p[2] == 32767 && p[3] == 32767)
                x1 = std::min(x1, x), y1 = std::min(y1, y), x2 = std::max(x2, x), y2 = std::max(y2, y);
            if (p[0] == 32767 && p[1] == 0 && p[2] == 0) ++red;
        }
    ASSERT_GE(x2, 0) << "no box";
    EXPECT_GT(red, 50);
    // Bottom centre of the window: the box is centred on the middle column.
    EXPECT_NEAR((x1 + x2) / 2.0, w / 2.0, 1.5);
    // Its rows: the window's bottom is world -1500; the box of "00:01:23:12"
    // at size 245 (285.2 units tall, margin 95.1) spans -1642.6 ... -1119.7,
    // rows 191.7 ... 225.1 of 240; rows wholly inside are opaque blue.
    EXPECT_EQ(y1, 192);
    EXPECT_EQ(y2, 224);
    // Left of the glyphs, inside the box, is all box colour.
    for (int y = y1 + 1; y < y2; ++y) EXPECT_EQ(px(after, x1 + 1, y)[2], 32767) << y;
    // Every other pixel is the picture's own, to the last bit.
    int changedOutside = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            if (x >= x1 - 1 && x <= x2 + 1 && y >= y1 - 1 && y <= y2 + 1) continue;
            for (int c = 0; c < 4; ++c) changedOutside += px(after, x, y)[c] != px(before, x, y)[c];
        }
    EXPECT_EQ(changedOutside, 0);

    for (const char* threads : {"1", "2"})
        EXPECT_EQ(raw16(dir, in, QStringList{"--threads", threads} << args), after);
}

TEST(CeltoolText, PlaceholdersExpandAsTheirText) {
    if (!celtest::haveMagick()) GTEST_SKIP() << "ImageMagick convert not found";
    celtest::TempDir dir;
    const QString in = noisePng(dir, "shot_010.0042.png", 192, 108);
    const auto same = [&](const QString& a, const QString& b) {
        EXPECT_EQ(raw16(dir, in, {"--text:style=mono", a}), raw16(dir, in, {"--text:style=mono", b}))
            << qPrintable(a) << " vs " << qPrintable(b);
    };
    same("{frame}", "0042"); // the last digit run of the name, as written
    same("{file}", "shot_010.0042.png");
    same("{timecode}", "00:00:01:18"); // 42 at 24 fps
    EXPECT_EQ(celtool({"filter", "--text", "{{x}} {{", in, dir.path("braces.png")}).exit, 0);
    EXPECT_EQ(raw16(dir, in, {"--text:frame=1234:fps=25", "{timecode} {frame}"}),
              raw16(dir, in, {"--text", "00:00:49:09 1234"}));
    // The automatic size follows the sample (digits as 0), not the frame's digits.
    EXPECT_EQ(raw16(dir, in, {"--text:pos=tl", "{frame}"}),
              raw16(dir, in, {"--text:pos=tl:sample=0000", "0042"}));
    EXPECT_NE(raw16(dir, in, {"--text:pos=tl", "{frame}"}),
              raw16(dir, in, {"--text:pos=tl:sample=00", "0042"}));

    // No frame number to be had: a usage error once the name is known.
    const QString plain = noisePng(dir, "plate.png", 16, 16);
    EXPECT_EQ(celtool({"filter", "--text", "{frame}", plain, dir.path("o.png")}).exit, 2);
}

TEST(CeltoolText, BadModifiersRefusedBeforeReadingWideTextWarnsOnceAMissingFontFails) {
    celtest::TempDir dir;
    const QString out = dir.path("out.png");
    // IN does not exist: every one of these is refused before it is read.
    const QString in = dir.path("missing.png");
    celtest::expectUsageErrors(
        {"filter"},
        celtest::argLists("--text:foo=1 x|--text:pos= x|--text:pos=middle x|--text:color=fff x|"
                          "--text:box=GG0000 x|--text:color=123456789 x|--text:percent=0 x|"
                          "--text:percent=1001 x|--text:size=0 x|--text:fps=0 x|"
                          "--text:fps=-24 x|--text {date}|--text a}b|--text {frame|"
                          "--blur:pos=tl 2|--text"),
        {in, out}, out);

    if (!celtest::haveMagick()) GTEST_SKIP() << "ImageMagick convert not found";
    const QString plate = noisePng(dir, "plate.png", 64, 48);
    const celtest::ToolRun r = celtool({"filter", "--text:size=3000", "WWWWWWWWWW", plate, out});
    EXPECT_EQ(r.exit, 0) << r.err.constData();
    ASSERT_EQ(r.errLines().size(), 1);
    EXPECT_TRUE(r.err.contains("wider than the text window")) << r.err.constData();
    EXPECT_TRUE(QFile::exists(out));

    // A font configuration that lists no fonts at all: one line naming the package, no file.
    const QString conf = QStringLiteral("<fontconfig><dir>%1</dir><cachedir>%1</cachedir></fontconfig>\n");
    ASSERT_TRUE(celtest::writeFile(dir.path("fonts.conf"), conf.arg(dir.path("none")).toUtf8()));
    const QString none = dir.path("none.png");
    const celtest::ToolRun f = celtool({"filter", "--text", "hi", plate, none}, {}, {},
                                       {{"FONTCONFIG_FILE", dir.path("fonts.conf")}});
    EXPECT_EQ(f.exit, 1);
    EXPECT_TRUE(f.errLines().size() == 1 && f.err.contains("fonts-dejavu-core")) << f.err.constData();
    EXPECT_FALSE(QFile::exists(none));
}

// ImageMagick's own text at the same size (S world units = S x H / 3750
// pixels; 500 at 1080 rows is 144) is the witness of our glyph geometry: the ink boxes agree within 2 %.
TEST(CeltoolText, InkMatchesImageMagicksAnnotateOfTheSameFont) {
    if (!celtest::haveMagick()) GTEST_SKIP() << "ImageMagick convert not found";
    celtest::TempDir dir;
    const QString black = dir.path("black.png"), ours = dir.path("ours.png");
    ASSERT_EQ(celtest::runProgram("convert", {"-size", "1440x1080", "xc:black", "PNG24:" + black}).exit, 0);
    const QString line = "Hg 01:23:12"; // 900 pixels: within the picture
    const celtest::ToolRun r = celtool({"filter", "--text:size=500:pos=tl", line, black, ours});
    ASSERT_EQ(r.exit, 0) << r.err.constData();
    const QString theirs = inkSize({"-size", "1440x1080", "xc:black", "-font", "DejaVu-Sans", "-pointsize",
                                    "144", "-fill", "white", "-annotate", "+20+400", line});
    const QString mine = inkSize({ours});
    if (theirs.isEmpty()) GTEST_SKIP() << "ImageMagick has no DejaVu-Sans";
    ASSERT_FALSE(mine.isEmpty());
    for (int i : {0, 1}) {
        const double a = mine.split('x')[i].toDouble(), b = theirs.split('x')[i].toDouble();
        EXPECT_NEAR(a, b, 0.02 * b) << qPrintable(mine + " vs " + theirs);
    }
}

// Drawing text makes the tool a GUI application; the files it writes must not
// change with that (Qt's images take their resolution from the screen).
TEST(CeltoolText, RunsThatDrawTextWriteTheSameFilesAsOthers) {
    if (!celtest::haveMagick()) GTEST_SKIP() << "ImageMagick convert not found";
    celtest::TempDir dir;
    std::vector<int> rgba;
    for (int i = 0; i < 24 * 16; ++i) rgba.insert(rgba.end(), {i % 256, 40, 200, 255});
    const QString in = dir.path("in.png");
    ASSERT_TRUE(celtest::magickWrite(rgba, 24, 16, 8, "PNG32:" + in));
    for (const char* ext : {"png", "jpg", "bmp"}) {
        const QString a = dir.path(QStringLiteral("text.%1").arg(ext)),
                      b = dir.path(QStringLiteral("plain.%1").arg(ext));
        ASSERT_EQ(celtool({"filter", "--text", " ", in, a}).exit, 0) << ext;
        ASSERT_EQ(celtool({"convert", in, b}).exit, 0) << ext;
        EXPECT_EQ(celtest::readFile(a), celtest::readFile(b)) << ext;
    }
}
