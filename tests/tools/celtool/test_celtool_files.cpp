// celtool's file handling: default codes and alpha, standard streams, exits, one-line errors,
// detection by content. ImageMagick writes the witnesses; those cases skip without it.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QJsonArray>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "CeltoolTestUtil.h"

using namespace celtest;

namespace {

constexpr int kW = 8, kH = 4;

// Straight r, g, b, a samples: every column has its own alpha, from clear to
// opaque, and colour brighter than alpha, so that a premultiplication shows.
std::vector<int> picture8() {
    static const int alpha[kW] = {0, 1, 7, 64, 128, 200, 254, 255};
    std::vector<int> v;
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x)
            v.insert(v.end(), {(x * 37 + y * 50) % 256, (x * 11 + y * 90) % 256, 255 - x * 30, alpha[x]});
    return v;
}

// The same picture with 16-bit samples whose low bits matter.
std::vector<int> picture16() {
    std::vector<int> v = picture8();
    for (size_t i = 0; i < v.size(); ++i) {
        const int low = int(i * 7 % 97) - 48;
        v[i] = v[i] == 0 || v[i] == 255 ? v[i] * 257 : std::clamp(v[i] * 257 + low, 0, 65535);
    }
    return v;
}

// Compares ImageMagick's 8-bit decodes of an input and of celtool's output:
// alpha equal, colour equal where opaque and within 1 when both are
// premultiplied elsewhere; `slack` widens every bound (16-bit inputs, whose
// reduction to 8 bits may round the other way).
::testing::AssertionResult samePicture(const QString& in, const QString& out, int slack) {
    const std::vector<int> a = magickPixels(in), b = magickPixels(out);
    if (a.empty() || a.size() != b.size())
        return ::testing::AssertionFailure() << "decodes of " << a.size() << " and " << b.size() << " values";
    for (size_t i = 0; i < a.size(); ++i) {
        const size_t p = i - i % 4;
        const int alpha = a[p + 3];
        const double off = i % 4 == 3 || alpha == 255
                               ? std::abs(a[i] - b[i])
                               : std::abs(a[i] * alpha - b[i] * b[p + 3]) / 255.0 - 1.0;
        if (off > slack)
            return ::testing::AssertionFailure() << "pixel " << p / 4 << " channel " << i % 4 << ": " << a[i]
                                                 << " / " << b[i] << " at alpha " << alpha;
    }
    return ::testing::AssertionSuccess();
}

// The inputs written by ImageMagick, 8-bit and 16-bit, in every format with alpha.
struct Inputs {
    TempDir dir;
    QStringList deep8, deep16;
    Inputs() {
        for (const QString& name :
             QStringLiteral(
                 "PNG32:in8.png in8.tga in8.sgi in8.tif in8-assoc.tif PNG64:in16.png in16.sgi in16.tif")
                 .split(' ')) {
            const bool deep = name.contains("16");
            const QString file = dir.path(name.section(':', -1));
            const QString target = name.contains(':') ? name.section(':', 0, 0) + ':' + file : file;
            const QStringList extra =
                name.contains("assoc") ? QStringList{"-define", "tiff:alpha=associated"} : QStringList{};
            if (magickWrite(deep ? picture16() : picture8(), kW, kH, deep ? 16 : 8, target, extra))
                (deep ? deep16 : deep8) << file;
        }
    }
};

} // namespace

// Without --code, alpha and 16-bit depth survive wherever the output format
// holds them; where it cannot, one warning line says what was dropped.
TEST(CeltoolFiles, DefaultCodesKeepAlphaAndDepth) {
    if (!haveMagick()) GTEST_SKIP() << "ImageMagick's convert is not installed";
    const Inputs in;
    ASSERT_EQ(in.deep8.size(), 5);
    ASSERT_EQ(in.deep16.size(), 3);
    const struct {
        const char* ext;
        int channels; // of the output (0: the header does not tell; JPEG headers count Qt's 32 bits)
        bool deep;    // a 16-bit input stays 16-bit
        const char *warning8, *warning16; // what the warning of an 8-bit or 16-bit input names
    } cases[] = {{"tga", 4, false, nullptr, "16-bit"}, {"sgi", 4, true, nullptr, nullptr},
                 {"png", 4, true, nullptr, nullptr},   {"tif", 4, false, nullptr, "16-bit"},
                 {"bmp", 3, false, "alpha", "alpha"},  {"jpg", 0, false, "alpha", "alpha"}};
    for (const auto& c : cases) {
        for (const bool deep : {false, true}) {
            const QString out = in.dir.path(QStringLiteral("out%1.%2").arg(deep ? 16 : 8).arg(c.ext));
            const ToolRun r = celtool({"convert", deep ? in.deep16.front() : in.deep8.front(), out});
            SCOPED_TRACE(qPrintable(out));
            ASSERT_EQ(r.exit, 0) << r.err.constData();
            const QJsonObject info = infoOf(out);
            EXPECT_TRUE(!c.channels || info.value("channels").toInt() == c.channels);
            const int bytes = deep && c.deep ? 2 : 1;
            EXPECT_EQ(info.value("bytesPerChannel").toInt(), bytes);
            const char* warning = deep ? c.warning16 : c.warning8;
            EXPECT_EQ(r.errLines().size(), warning ? 1 : 0) << r.err.constData();
            EXPECT_TRUE(!warning ||
                        (r.err.contains(warning) && r.err.contains(QFileInfo(out).fileName().toUtf8())));
        }
    }

    // composite chooses its code from its inputs, and takes --code.
    const QString base = in.deep16.front(), out = in.dir.path("c.png"), sgi = in.dir.path("c.sgi");
    ASSERT_EQ(celtool({"composite", "-o", out, base, base}).exit, 0);
    EXPECT_EQ(infoOf(out).value("bytesPerChannel").toInt(), 2);
    ASSERT_EQ(celtool({"composite", "--code", "SGI1", "-o", sgi, base, base}).exit, 0);
    EXPECT_EQ(infoOf(sgi).value("optionCode").toString(), QStringLiteral("SGI1"));
}

// Every reader with alpha against every writer with alpha: ImageMagick decodes
// the output to the input's picture, whichever side premultiplies.
TEST(CeltoolFiles, AlphaConventionsKeepThePicture) {
    if (!haveMagick()) GTEST_SKIP() << "ImageMagick's convert is not installed";
    const Inputs in;
    int n = 0;
    for (const QString& src : in.deep8 + in.deep16)
        for (const QString& w :
             QStringLiteral("tga:TGA4 sgi:SGI4 sgi:SGIDP4 png:PNG4 png:PNGDP4 tif:TIF").split(' ')) {
            const QString out = in.dir.path(QStringLiteral("m%1.").arg(n++) + w.section(':', 0, 0)),
                          code = w.section(':', 1);
            SCOPED_TRACE(qPrintable(QFileInfo(src).fileName() + " -> " + code));
            const ToolRun r = celtool({"convert", "--code", code, src, out});
            ASSERT_EQ(r.exit, 0) << r.err.constData();
            // 16-bit files decode to 8 bits by truncation: one step either way.
            EXPECT_TRUE(samePicture(src, out, in.deep16.contains(src) || code.contains("DP") ? 1 : 0));
        }
}

// What was seen before: PNG -> PNG4 turned a clear pixel (0, 0, 93, 0) into
// opaque-looking blue, and PNG -> TIFF tagged straight colour as associated.
// --keep-values still writes the library's values as the formats' own rules say.
TEST(CeltoolFiles, KeepValuesWritesTheLibrarysValues) {
    TempDir dir;
    if (!haveMagick()) GTEST_SKIP() << "ImageMagick's convert is not installed";
    const QString png = dir.path("clear.png"), png4 = dir.path("o.png"), raw = dir.path("o.raw");
    ASSERT_TRUE(magickWrite({0, 0, 93, 0, 10, 20, 30, 255}, 2, 1, 8, QStringLiteral("PNG32:") + png));
    ASSERT_EQ(celtool({"convert", "--code", "PNG4", png, png4}).exit, 0);
    ASSERT_EQ(celtool({"dump", png4, raw}).exit, 0);
    const QByteArray pixels = readFile(raw);
    EXPECT_TRUE(pixels.size() == 8 && pixels[3] == 0) << "still clear";
    EXPECT_EQ(pixels.mid(4), QByteArray("\x0a\x14\x1e\xff", 4));

    ASSERT_EQ(celtool({"convert", "--keep-values", "--code", "PNG4", png, png4}).exit, 0);
    ASSERT_EQ(celtool({"dump", png4, raw}).exit, 0);
    EXPECT_EQ(readFile(raw).left(4), QByteArray("\x00\x00\xff\x5d", 4)); // the writer's own un-premultiply

    // The TIFF writer stores the values it is given: kept, the dump of the
    // TIFF equals the dump of the PNG; by default the colour is premultiplied.
    const QString tif = dir.path("o.tif"), raw2 = dir.path("p.raw");
    ASSERT_EQ(celtool({"dump", png, raw2}).exit, 0);
    ASSERT_EQ(celtool({"convert", "--keep-values", png, tif}).exit, 0);
    ASSERT_EQ(celtool({"dump", tif, raw}).exit, 0);
    EXPECT_EQ(readFile(raw), readFile(raw2));
    ASSERT_EQ(celtool({"convert", png, tif}).exit, 0);
    ASSERT_EQ(celtool({"dump", tif, raw}).exit, 0);
    EXPECT_EQ(readFile(raw).left(4), QByteArray(4, '\0'));
}

// "-" reads standard input and writes standard output, with the format from
// --format or found by content (TGA has no signature, TIFF readers seek); no
// file named "-" appears. Every family's signature: FormatTable.DetectionByContent.
TEST(CeltoolFiles, StandardInputAndOutput) {
    if (!haveMagick()) GTEST_SKIP() << "ImageMagick's convert is not installed";
    const Inputs in;
    const QString src = in.deep8.front();
    for (const char* ext : {"tga", "tif"}) {
        SCOPED_TRACE(ext);
        const ToolRun w = celtool({"convert", "--format", ext, src, "-"}, {}, in.dir.root());
        ASSERT_EQ(w.exit, 0) << w.err.constData();
        EXPECT_FALSE(QFileInfo::exists(in.dir.path("-")));
        const QString file = in.dir.path(QStringLiteral("piped.%1").arg(ext)), back = in.dir.path("back.png");
        ASSERT_TRUE(writeFile(file, w.out));
        for (const QStringList& how : {QStringList{"--format", ext}, QStringList{}}) {
            const ToolRun r = celtool(QStringList{"convert"} << how << "-" << back, w.out);
            ASSERT_EQ(r.exit, 0) << r.err.constData();
            EXPECT_TRUE(samePicture(file, back, 0));
        }
    }
    // dump: the pixels on standard output, their size on standard error; nothing to read fails.
    const ToolRun d = celtool({"dump", "--format", "png", "-", "-"}, readFile(src));
    EXPECT_TRUE(d.exit == 0 && d.out.size() == kW * kH * 4 && d.err.trimmed() == "8x4") << d.err.constData();
    EXPECT_EQ(celtool({"dump", "--format", "png", "-", "-"}).exit, 1);
}

// A failed or empty write exits 1 with one line naming the file and the cause,
// and leaves an earlier file as it was; devices are written in place.
TEST(CeltoolFiles, HonestExits) {
    TempDir dir;
    if (!haveMagick()) GTEST_SKIP() << "ImageMagick's convert is not installed";
    const QString png = dir.path("a.png"), grey = dir.path("grey16.sgi");
    ASSERT_TRUE(magickWrite(picture8(), kW, kH, 8, QStringLiteral("PNG32:") + png));
    // A 16-bit grey SGI file (ImageMagick's own decode of such files is not
    // trusted at white, so the samples stay below it and are the reference).
    QByteArray samples;
    std::vector<int> want;
    for (int i = 0; i < kW * kH; ++i) {
        const int v = (i * 2039 + 300) % 65000;
        samples.append(char(v >> 8)).append(char(v & 0xff));
        want.push_back(v / 257);
    }
    ASSERT_EQ(
        runProgram("convert", {"-size", "8x4", "-depth", "16", "-endian", "MSB", "gray:-", grey}, samples)
            .exit,
        0);

    // The library makes nothing of a 16-bit matte; the tool still writes it.
    for (const char* ext : {"tga", "png", "sgi"}) {
        const QString out = dir.path(QStringLiteral("grey.%1").arg(ext));
        ASSERT_EQ(celtool({"convert", grey, out}).exit, 0) << ext;
        const std::vector<int> got = magickPixels(out);
        ASSERT_EQ(got.size(), want.size() * 4) << ext;
        for (size_t i = 0; i < got.size(); ++i)
            EXPECT_LE(i % 4 == 3 ? 0 : std::abs(got[i] - want[i / 4]), 1) << ext << " " << i;
    }
    EXPECT_EQ(infoOf(dir.path("grey.tga")).value("optionCode").toString(), QStringLiteral("TGA1"));
    EXPECT_EQ(infoOf(dir.path("grey.sgi")).value("optionCode").toString(), QStringLiteral("SGIDP3"));

    // A device is written, never replaced: /dev/full fills up. (Every writer goes
    // through one copy to the device, so one format stands for all.)
    struct stat before {};
    ASSERT_EQ(stat("/dev/full", &before), 0);
    ToolRun r = celtool({"convert", "--format", "tif", png, "/dev/full"});
    EXPECT_EQ(r.exit, 1);
    EXPECT_EQ(r.errLines(), QList<QByteArray>{"celtool: /dev/full: No space left on device"});
    struct stat after {};
    ASSERT_EQ(stat("/dev/full", &after), 0);
    EXPECT_TRUE(S_ISCHR(after.st_mode) && before.st_rdev == after.st_rdev);

    // An output that cannot be created, and one too large for its header:
    // one line each, the earlier file intact, no temporary file left behind.
    ASSERT_TRUE(writeFile(dir.path("plain"), "x"));
    r = celtool({"convert", png, dir.path("plain/out.png")});
    EXPECT_TRUE(r.exit == 1 && r.errLines().size() == 1 && r.err.contains("plain/out.png"))
        << r.err.constData();

    const QString wide = dir.path("wide.png"), earlier = dir.path("earlier.tga");
    QImage wideImage(70000, 2, QImage::Format_RGB32);
    wideImage.fill(Qt::red);
    ASSERT_TRUE(wideImage.save(wide, "PNG"));
    ASSERT_TRUE(writeFile(earlier, "earlier content"));
    r = celtool({"convert", wide, earlier});
    EXPECT_TRUE(r.exit == 1 && r.errLines().size() == 1) << r.err.constData();
    EXPECT_TRUE(r.err.contains("earlier.tga") && r.err.contains("65535")) << r.err.constData();
    EXPECT_EQ(readFile(earlier), QByteArray("earlier content"));
    EXPECT_TRUE(QDir(dir.root()).entryList({"*.tmp", ".*.tmp"}, QDir::Files | QDir::Hidden).isEmpty());
}

// Each input problem is one line naming the file; a file whose content does
// not match its extension is read by the format its bytes show.
TEST(CeltoolFiles, OneLineErrorsAndDetectionByContent) {
    TempDir dir;
    const QString tga = dir.path("a.tga");
    // A 1 x 1 32-bit TGA, and the same picture as PNG under other names.
    ASSERT_TRUE(writeFile(tga, QByteArray("\0\0\2\0\0\0\0\0\0\0\0\0\1\0\1\0\x20\x08\x10\x20\x30\xff", 22)));
    const QString png = dir.path("a.png");
    ASSERT_EQ(celtool({"convert", tga, png}).exit, 0);
    QDir().mkpath(dir.path("folder.tga"));
    ASSERT_TRUE(writeFile(dir.path("empty.tga"), {}) && writeFile(dir.path("gif.tga"), "GIF89a\1\0\1\0") &&
                writeFile(dir.path("junk.xyz"), "no picture here") &&
                writeFile(dir.path("bad.tga"), QByteArray(18, 'c')));
    QFile::copy(png, dir.path("png.tga"));
    QFile::copy(png, dir.path("png.xyz"));

    const struct {
        const char* file;
        const char* cause; // null: the reader's own words
    } bad[] = {{"missing.tga", "no such file"}, {"folder.tga", "is a directory"},
               {"empty.tga", "empty file"},     {"gif.tga", "not a TGA file (looks like GIF)"},
               {"junk.xyz", "unknown format"},  {"bad.tga", nullptr}};
    for (const auto& b : bad) {
        const QString path = dir.path(QLatin1String(b.file));
        const QString start = QStringLiteral("celtool: %1: ").arg(path);
        for (const bool info : {false, true}) {
            const ToolRun r = info ? celtool({"info", path}) : celtool({"convert", path, dir.path("o.tga")});
            SCOPED_TRACE(std::string(info ? "info " : "convert ") + b.file);
            ASSERT_TRUE(r.exit == 1 && r.errLines().size() == 1) << r.err.constData();
            const QString line = QString::fromUtf8(r.errLines().front());
            EXPECT_EQ(b.cause ? line : line.left(start.size()),
                      start + QLatin1String(b.cause ? b.cause : ""));
            EXPECT_GT(line.size(), start.size());
        }
    }

    // Content over extension, said in one line; the picture is the same.
    for (const char* name : {"png.tga", "png.xyz"}) {
        const QString out = dir.path(QStringLiteral("from-%1.tga").arg(QLatin1String(name)));
        const ToolRun r = celtool({"convert", dir.path(QLatin1String(name)), out});
        EXPECT_TRUE(r.exit == 0 && r.errLines().size() == 1 && r.err.contains("read as PNG"))
            << r.err.constData();
        EXPECT_EQ(celtool({"compare", tga, out}).exit, 0);
    }

    // info --json: one object for one file, JSON lines for several, each
    // naming its file; a failed one carries its error and nothing else.
    EXPECT_EQ(infoOf(tga).value("file").toString(), tga);
    const ToolRun many =
        celtool({"info", "--json", tga, dir.path("missing.tga"), dir.path("png.tga"), dir.path("junk.xyz")});
    EXPECT_EQ(many.exit, 1);
    const QList<QByteArray> lines = many.out.trimmed().split('\n');
    ASSERT_EQ(lines.size(), 4);
    EXPECT_EQ(jsonObject(lines[1]),
              (QJsonObject{{"file", dir.path("missing.tga")}, {"state", 1}, {"error", "no such file"}}));
    EXPECT_EQ(jsonObject(lines[2]).value("format").toString(), QStringLiteral("PNG"));
    EXPECT_EQ(jsonObject(lines[3]).value("state").toInt(-1), 2); // unknown format
}

TEST(CeltoolFiles, Compare) {
    TempDir dir;
    const QString a = dir.path("a.tga"), b = dir.path("b.tga"), c = dir.path("c.sgi"),
                  wide = dir.path("w.tga");
    const QByteArray header("\0\0\2\0\0\0\0\0\0\0\0\0\2\0\1\0\x20\x08", 18);
    ASSERT_TRUE(
        writeFile(a, header + QByteArray("\x10\x20\x30\xff\x40\x50\x60\x80", 8)) &&
        writeFile(b, header + QByteArray("\x10\x20\x30\xff\x40\x52\x60\x80", 8)) &&
        writeFile(wide, QByteArray("\0\0\2\0\0\0\0\0\0\0\0\0\3\0\1\0\x20\x08", 18) + QByteArray(12, '\x7f')));
    ASSERT_EQ(celtool({"convert", a, c}).exit, 0); // the same pixels in another format

    EXPECT_EQ(celtool({"compare", a, c}).exit, 0);
    ToolRun r = celtool({"compare", "--json", a, b});
    EXPECT_EQ(r.exit, 1);
    QJsonObject o = jsonObject(r.out);
    EXPECT_EQ(o.value("differentPixels").toInt(), 1);
    EXPECT_EQ(o.value("firstDifference").toObject().value("x").toInt(-1), 1);
    // Green, in 16-bit steps.
    EXPECT_EQ(o.value("maxDifference").toArray(),
              (QJsonArray{0, 0x52 * 32767 / 255 - 0x50 * 32767 / 255, 0, 0}));
    EXPECT_EQ(celtool({"compare", "--threshold", "300", a, b}).exit, 0);
    EXPECT_EQ(celtool({"compare", "--threshold", "200", a, b}).exit, 1);

    r = celtool({"compare", "--json", a, wide});
    EXPECT_EQ(r.exit, 1);
    EXPECT_FALSE(jsonObject(r.out).value("sameSize").toBool(true));

    const QString diff = dir.path("diff.png");
    EXPECT_EQ(celtool({"compare", "-o", diff, a, b}).exit, 1);
    EXPECT_EQ(infoOf(diff).value("width").toInt(), 2);
    EXPECT_EQ(celtool({"compare", a}).exit, 2);
    EXPECT_EQ(celtool({"compare", a, dir.path("missing.tga")}).exit, 2);
}
