// celtool with raw files and the render cache: .dat and .raw, cache stats / clear / roundtrip.
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <gtest/gtest.h>

#include "CeltoolTestUtil.h"

namespace {

using celtest::celtool;
using celtest::ToolRun;

// celtool with the temporary folder (the cache's fallback) at `tmp` and no cache path set.
ToolRun celtool(const QStringList& args, const QString& tmp) {
    return celtest::celtool(args, {}, {}, {{"TMPDIR", tmp}, {"QAV_CACHE_PATH", ""}});
}

// A 9 x 7 32-bit TGA with a transparent border around soft-alpha content.
QByteArray sampleTga() {
    std::vector<CEL_PixelRGBA8> p(9 * 7, CEL_PixelRGBA8{0, 0, 0, 0});
    for (int y = 1; y < 6; ++y)
        for (int x = 2; x < 8; ++x) {
            const uint8_t a = uint8_t(40 + 30 * x);
            p[std::size_t(y * 9 + x)] = CEL_PixelRGBA8{uint8_t(a * y / 6), uint8_t(a / 2), uint8_t(x), a};
        }
    return celtest::tgaOf(p, 9, 7);
}

} // namespace

TEST(CeltoolCache, ConvertToRawPixmapAndDepthFiles) {
    celtest::TempDir dir;
    const QString in = dir.path("in.tga"), dat = dir.path("in.dat"), back = dir.path("back.tga");
    ASSERT_TRUE(celtest::writeFile(in, sampleTga()));
    // A 16-bit area pixmap cropped to the content: 6 x 5 pixels.
    ASSERT_EQ(celtool({"convert", in, dat}).exit, 0);
    const QByteArray file = celtest::readFile(dat);
    ASSERT_EQ(file.size(), 56 + 30 * 8);
    ASSERT_EQ(celtool({"convert", "--code", "TGA4", dat, back}).exit, 0);
    EXPECT_EQ(celtool({"dump", in, "-"}).out, celtool({"dump", back, "-"}).out);

    // Depth files pass through with their values negated (a read gives -v).
    QByteArray depth("\x02\x00\x00\x00\x01\x00\x00\x00", 8);
    const float values[2] = {1.5f, -4.0f}, flipped[2] = {-1.5f, 4.0f};
    depth.append(reinterpret_cast<const char*>(values), 8);
    ASSERT_TRUE(celtest::writeFile(dir.path("z.raw"), depth));
    ASSERT_EQ(celtool({"convert", dir.path("z.raw"), dir.path("z2.raw")}).exit, 0);
    EXPECT_EQ(celtest::readFile(dir.path("z2.raw")).mid(8),
              QByteArray(reinterpret_cast<const char*>(flipped), 8));
    const ToolRun noDepth = celtool({"convert", in, dir.path("z3.raw")});
    // Exit 1 and one line of celtool's own, before the writer is asked; no file.
    EXPECT_EQ(noDepth.exit, 1);
    EXPECT_EQ(noDepth.err, QByteArray("celtool: ") + dir.path("z3.raw").toUtf8() +
                               ": RAW files hold depth, and the picture has none\n");
    EXPECT_FALSE(QFile::exists(dir.path("z3.raw")));
}

TEST(CeltoolCache, StatsClearAndRoundtrip) {
    celtest::TempDir dir;
    const QString a = dir.path("A"), tmp = dir.path("tmp"), in = dir.path("in.tga");
    ASSERT_TRUE(QDir().mkpath(a + "/CelCache-77") && QDir().mkpath(tmp));
    ASSERT_TRUE(celtest::writeFile(a + "/CelCache-77/proxy-1003.dat.part", QByteArray(100, 'x')));
    ASSERT_TRUE(celtest::writeFile(a + "/CelCache-77/proxy-1002.dat", QByteArray(20, 'x')));
    ASSERT_TRUE(celtest::writeFile(in, sampleTga()));
    const QString spec = a + QStringLiteral(" ; 5");

    const ToolRun stats = celtool({"cache", "stats", "--json", "--cache", spec}, tmp);
    ASSERT_EQ(stats.exit, 0) << stats.err.toStdString();
    const QJsonArray locations = celtest::jsonObject(stats.out)["locations"].toArray();
    ASSERT_EQ(locations.size(), 1);
    EXPECT_EQ(locations[0]["capacityMB"].toInt(), 5);
    EXPECT_EQ(locations[0]["caches"][0].toObject(), (QJsonObject{{"name", "CelCache-77"},
                                                                 {"path", a + "/CelCache-77"},
                                                                 {"live", false},
                                                                 {"files", 2},
                                                                 {"bytes", 120},
                                                                 {"partFiles", 1}}));

    // A value with errors: the library's message, the temporary folder listed, exit 1.
    const ToolRun bad = celtool({"cache", "stats", "--cache", a + ";abc"}, tmp);
    EXPECT_EQ(bad.exit, 1);
    EXPECT_TRUE(bad.err.contains("Error(s) detected while processing QAV_CACHE_PATH environment variable:\n"
                                 "Capacity \"abc\" is invalid"));
    EXPECT_TRUE(bad.out.contains("VellumixCelCacheTempDir")) << bad.out.toStdString();

    EXPECT_TRUE(
        celtool({"cache", "clear", "--dry-run", "--cache", spec}, tmp).out.contains("would free 120 bytes"));
    EXPECT_TRUE(QFileInfo::exists(a + "/CelCache-77"));
    EXPECT_TRUE(celtool({"cache", "clear", "--cache", spec}, tmp).out.contains("freed 120 bytes"));
    EXPECT_EQ(QDir(a).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());

    // An image through the cache and back: the same file as a direct conversion.
    const ToolRun trip =
        celtool({"cache", "roundtrip", "--json", "--cache", spec, in, dir.path("trip.dat")}, tmp);
    ASSERT_EQ(trip.exit, 0) << trip.err.toStdString();
    const QJsonObject moved = celtest::jsonObject(trip.out);
    EXPECT_TRUE(moved["file"].toString().startsWith(a + "/CelCache-")) << trip.out.constData();
    ASSERT_EQ(celtool({"convert", in, dir.path("direct.dat")}).exit, 0);
    EXPECT_EQ(celtest::readFile(dir.path("trip.dat")), celtest::readFile(dir.path("direct.dat")));
    EXPECT_EQ(QDir(a).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList()); // nothing left

    const ToolRun full = celtool({"cache", "roundtrip", "--cache", a + ";0", in, dir.path("no.dat")}, tmp);
    EXPECT_TRUE(full.exit == 1 && full.err.contains("no cache folder has room for 296 bytes"))
        << full.err.toStdString();
    EXPECT_FALSE(QFileInfo::exists(dir.path("no.dat")));
    EXPECT_EQ(celtool({"cache", "tidy"}, tmp).exit, 2);
}
