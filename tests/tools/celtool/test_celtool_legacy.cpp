// celtool with the legacy planar formats: SCAN codes, information strings, failed writes.
#include <QStandardPaths>
#include <gtest/gtest.h>

#include "CeltoolTestUtil.h"

namespace {

using celtest::celtool;
using ToolResult = celtest::ToolRun;

QByteArray sampleTga() {
    std::vector<CEL_PixelRGBA8> p;
    for (int i = 0; i < 21; ++i) p.push_back(CEL_PixelRGBA8{uint8_t(i * 9), uint8_t(i), 40, uint8_t(i * 12)});
    return celtest::tgaOf(p, 7, 3);
}

// The string block of a SCAN or VAR file: from offset 12 up to its zero.
QByteArray stringBlock(const QString& path) {
    const QByteArray b = celtest::readFile(path);
    return b.mid(12, b.indexOf('\0', 12) - 12 + 1);
}

} // namespace

TEST(CeltoolLegacy, CodesAndInformationStrings) {
    celtest::TempDir dir;
    const QString in = dir.path("in.tga");
    ASSERT_TRUE(celtest::writeFile(in, sampleTga()));

    // SCAN's writer takes SCAN24 and SCAN32 though it lists only SCAN; other
    // unlisted codes, and a string for a format without one, are usage errors.
    for (const QStringList& args : celtest::argLists(
             "--code SCAN16 IN a.scan|--code OPT24 IN a.opt|--info-string x IN a.tga", {{"IN", in}}))
        EXPECT_EQ(celtool(QStringList{"convert"} + args, {}, dir.root()).exit, 2)
            << qPrintable(args.join(' '));
    const QString s24 = dir.path("s24"); // no extension: the code names the format
    ASSERT_EQ(celtool({"convert", "--code", "scan24", in, s24}).exit, 0);
    EXPECT_EQ(celtest::readFile(s24).left(12), QByteArray("\0\0\0\x04\0\x07\0\x03\x18\0\0\0", 12));
    EXPECT_EQ(stringBlock(s24), QByteArray(">>STRLEN:6<<Stage\0", 18));

    // info: JSON escapes the string's zero, text leaves it out.
    ASSERT_TRUE(QFile::rename(s24, s24 + ".scan"));
    ToolResult r = celtool({"info", "--json", s24 + ".scan"});
    EXPECT_TRUE(r.out.contains("\"description\": \"RLE encoded, Stage\\u0000\"")) << r.out.constData();
    r = celtool({"info", s24 + ".scan"});
    EXPECT_TRUE(r.out.trimmed().endsWith("code SCAN, RLE encoded, Stage")) << r.out.constData();

    // A string given on the command line goes out as UTF-8; converting SCAN
    // to SCAN keeps the block, and a VAR output takes the SCAN input's string.
    const QString a = dir.path("a.scan"), b = dir.path("b.scan"), v = dir.path("c.var");
    ASSERT_EQ(celtool({"convert", "--code", "SCAN32", "--info-string", "take \u00e9", in, a}).exit, 0);
    EXPECT_EQ(stringBlock(a), QByteArray(">>STRLEN:8<<take \xc3\xa9\0", 20));
    ASSERT_EQ(celtool({"convert", a, b}).exit, 0); // RGBA: SCAN32 is the code that keeps it
    EXPECT_EQ(celtest::readFile(b), celtest::readFile(a));
    ASSERT_EQ(celtool({"convert", a, v}).exit, 0);
    EXPECT_EQ(stringBlock(v), stringBlock(a));
    ASSERT_EQ(celtool({"convert", "--info-string", "", v, v}).exit, 0);
    EXPECT_EQ(stringBlock(v), QByteArray(">>STRLEN:6<<Stage\0", 18));
}

// The OPT writer returns true after a failed close (here a file-size limit
// the close runs into); the tool still fails, with the library's reason.
TEST(CeltoolLegacy, ReportedWriteFailureExitsOne) {
    const QString bash = QStandardPaths::findExecutable(QStringLiteral("bash"));
    if (bash.isEmpty()) GTEST_SKIP() << "no bash";
    celtest::TempDir dir;
    const QString in = dir.path("noise.tga"), out = dir.path("out.opt");
    std::vector<CEL_PixelRGBA8> p;
    for (int i = 0; i < 160 * 160; ++i)
        p.push_back(CEL_PixelRGBA8{uint8_t(i * 7), uint8_t(i * 13 >> 2), uint8_t(i * 31), 255});
    ASSERT_TRUE(celtest::writeFile(in, celtest::tgaOf(p, 160, 160)));
    ASSERT_TRUE(celtest::writeFile(out, "earlier"));
    // About 100 KB to write, 8 KiB allowed: the writer's buffer fails at its close.
    const ToolResult r = celtest::runProgram(
        bash, {"-c", "trap '' XFSZ; ulimit -f 8; exec \"$0\" convert --code OPT4 \"$1\" \"$2\"",
               QStringLiteral(CELCORE_TOOL_PATH), in, out});
    EXPECT_TRUE(r.exit == 1 && r.err.contains("Could not complete writing to file")) << r.err.constData();
    EXPECT_EQ(celtest::readFile(out), QByteArray("earlier"));
}
