// TGA files exchanged with two independent implementations, ImageMagick's
// convert and OpenImageIO's oiiotool: what we write they decode to our pixels,
// and what they write we decode to theirs. Skipped where a tool is missing.
#include <QProcess>
#include <QRegularExpression>
#include <gtest/gtest.h>

#include "cel/Cel.h"
#include "celio/handlers/TgaHandler.h"
#include "pixel/PixmapCanvas.h"
#include "support/TestSupport.h"

namespace {

// Straight r, g, b, a bytes, top row first.
using Rgba = QByteArray;

bool run(const QString& program, const QStringList& args, QByteArray* out = nullptr) {
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return false;
    if (out) *out = p.readAllStandardOutput();
    return true;
}

// ImageMagick's decoding of a file. It keeps the rows in file order and only
// records the orientation, so it is asked to apply it.
bool magickPixels(const QString& path, Rgba& out) {
    return run(QStringLiteral("convert"),
               {path, QStringLiteral("-auto-orient"), QStringLiteral("-depth"), QStringLiteral("8"),
                QStringLiteral("rgba:-")},
               &out);
}

// OpenImageIO's decoding, alpha left unassociated, widened to r, g, b, a.
bool oiioPixels(const QString& path, int w, int h, Rgba& out) {
    QByteArray text;
    if (!run(QStringLiteral("oiiotool"),
             {QStringLiteral("--iconfig"), QStringLiteral("oiio:UnassociatedAlpha"), QStringLiteral("1"),
              QStringLiteral("--dumpdata"), QStringLiteral("--info"), path},
             &text))
        return false;
    out = Rgba(qsizetype(w) * h * 4, '\0');
    static const QRegularExpression line(QStringLiteral(R"(Pixel \((\d+), (\d+)\):((?: \d+)+) \()"));
    int seen = 0;
    for (auto it = line.globalMatch(QString::fromLatin1(text)); it.hasNext();) {
        const auto m = it.next();
        const int x = m.captured(1).toInt(), y = m.captured(2).toInt();
        const QStringList v = m.captured(3).split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (x >= w || y >= h) return false;
        char* px = out.data() + 4 * (qsizetype(y) * w + x);
        for (int c = 0; c < 4; ++c) {
            const int src = v.size() == 1 ? (c < 3 ? 0 : -1) : (c < v.size() ? c : -1);
            px[c] = char(src < 0 ? 255 : v[src].toInt());
        }
        ++seen;
    }
    return seen == w * h;
}

// Our decoding of a file, as r, g, b, a.
bool ourPixels(const QString& path, int& w, int& h, Rgba& out) {
    const QByteArray file = celtest::readFile(path);
    std::unique_ptr<CEL_Representation> rep(QXCelUioTgaHandler().read(
        reinterpret_cast<const unsigned char*>(file.constData()), unsigned(file.size())));
    if (auto* rgba = dynamic_cast<CEL_PixmapRGBA8*>(rep.get())) {
        w = rgba->width(), h = rgba->height();
        out = Rgba(reinterpret_cast<const char*>(rgba->data()), qsizetype(w) * h * 4);
        return true;
    }
    if (auto* matte = dynamic_cast<CEL_PixmapMatte8*>(rep.get())) {
        w = matte->width(), h = matte->height();
        out = Rgba(qsizetype(w) * h * 4, char(255));
        for (qsizetype i = 0; i < qsizetype(w) * h; ++i)
            out[4 * i] = out[4 * i + 1] = out[4 * i + 2] = char(matte->data()[i]);
        return true;
    }
    return false;
}

// Sample content: gradients, runs, alpha-only differences, transparent areas.
UT_SharedPtr<CEL_Cel> sampleCel(int w, int h, Rgba& rgba, Rgba& grey) {
    auto* p = new CEL_PixmapRGBA8(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const bool flat = (x / 8 + y / 4) % 3 == 0;
            const uint8_t a = flat ? 255 : uint8_t(x * 255 / (w - 1));
            *p->pixel(x, y) =
                CEL_PixelRGBA8{uint8_t(flat ? 40 : x * 4), uint8_t(y * 6), uint8_t((x ^ y) & 0xf0), a};
        }
    rgba = Rgba(reinterpret_cast<const char*>(p->data()), qsizetype(w) * h * 4);
    UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(CEL_Representation::PIXMAP_RGBA8));
    cel->addRepresentation(UT_SharedPtr<CEL_Representation>(p));
    const auto* m = dynamic_cast<CEL_PixmapMatte8*>(cel->convertTo(CEL_Representation::PIXMAP_MATTE8).get());
    grey = Rgba(qsizetype(w) * h * 4, char(255));
    for (qsizetype i = 0; i < qsizetype(w) * h; ++i)
        grey[4 * i] = grey[4 * i + 1] = grey[4 * i + 2] = char(m->data()[i]);
    return cel;
}

// The expected decoding of a code: 24-bit output is opaque, grey output is the matte.
Rgba expectedFor(const char* code, const Rgba& rgba, const Rgba& grey) {
    if (QByteArray(code) == "TGA1") return grey;
    Rgba e = rgba;
    if (QByteArray(code) == "TGA3")
        for (qsizetype i = 3; i < e.size(); i += 4) e[i] = char(255);
    return e;
}

int firstDifference(const Rgba& a, const Rgba& b) {
    if (a.size() != b.size()) return -2;
    for (qsizetype i = 0; i < a.size(); ++i)
        if (a[i] != b[i]) return int(i);
    return -1;
}

} // namespace

TEST(TgaInterop, OurFilesDecodeInOtherTools) {
    const bool magick = celtest::haveProgram("convert"), oiio = celtest::haveProgram("oiiotool");
    if (!magick && !oiio) GTEST_SKIP() << "neither convert nor oiiotool installed";
    celtest::TempDir dir;
    const int w = 53, h = 29;
    Rgba rgba, grey;
    const auto cel = sampleCel(w, h, rgba, grey);
    for (const char* code : {"TGA4", "TGA3", "TGA1"}) {
        SCOPED_TRACE(code);
        const QString path = dir.path(QStringLiteral("ours_%1.tga").arg(QLatin1String(code)));
        ASSERT_TRUE(QXCelUioTgaHandler().write(cel.get(), path, QLatin1String(code)));
        const Rgba want = expectedFor(code, rgba, grey);
        Rgba got;
        if (magick) {
            ASSERT_TRUE(magickPixels(path, got));
            EXPECT_EQ(firstDifference(got, want), -1) << "convert";
        }
        if (oiio) {
            ASSERT_TRUE(oiioPixels(path, w, h, got));
            EXPECT_EQ(firstDifference(got, want), -1) << "oiiotool";
        }
    }
}

TEST(TgaInterop, ImageMagickFilesDecodeHere) {
    if (!celtest::haveProgram("convert")) GTEST_SKIP() << "convert not installed";
    celtest::TempDir dir;
    const QString base =
        QStringLiteral("-size 61x37 xc:black -alpha set -channel R -fx i/w -channel G -fx j/h "
                       "-channel B -fx (i*j)%7/7 -channel A -fx ((i+j)%5)/4 +channel");
    struct Case {
        const char* name;
        const char* options; // after the base image
    } cases[] = {
        {"rle32", "-compress RLE"},
        {"raw32", "-compress None"},
        {"rle24", "-alpha off -type TrueColor -compress RLE"},
        {"raw24", "-alpha off -type TrueColor -compress None"},
        {"rlegrey", "-alpha off -colorspace Gray -type Grayscale -compress RLE"},
        {"rawgrey", "-alpha off -colorspace Gray -type Grayscale -compress None"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QString path = dir.path(QStringLiteral("im_%1.tga").arg(QLatin1String(c.name)));
        QStringList args = base.split(QLatin1Char(' '));
        args << QString::fromLatin1(c.options).split(QLatin1Char(' ')) << path;
        ASSERT_TRUE(run(QStringLiteral("convert"), args));
        Rgba want, got;
        ASSERT_TRUE(magickPixels(path, want));
        int w = 0, h = 0;
        ASSERT_TRUE(ourPixels(path, w, h, got));
        EXPECT_EQ(w, 61);
        EXPECT_EQ(h, 37);
        EXPECT_EQ(firstDifference(got, want), -1);
    }
}

TEST(TgaInterop, OpenImageIOFilesDecodeHere) {
    if (!celtest::haveProgram("oiiotool")) GTEST_SKIP() << "oiiotool not installed";
    celtest::TempDir dir;
    const QString fill =
        QStringLiteral("fill:topleft=1,0,0,1:topright=0,1,0,0.5:bottomleft=0,0,1,0.25:bottomright=1,1,1,1");
    const QString checker =
        QStringLiteral("checker:width=5:height=3:color1=0.2,0.4,0.6,1:color2=0.9,0.1,0.3,0.5");
    struct Case {
        QString pattern;
        int channels;
        const char* compression;
    } cases[] = {
        {fill, 4, "rle"},     {fill, 4, "none"}, {checker, 4, "rle"}, {fill, 3, "rle"},
        {checker, 3, "none"}, {fill, 1, "rle"},  {fill, 1, "none"},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << qPrintable(c.pattern) << " " << c.channels << " " << c.compression);
        const QString path = dir.path(QStringLiteral("oiio_%1.tga").arg(n++));
        ASSERT_TRUE(
            run(QStringLiteral("oiiotool"),
                {QStringLiteral("--pattern"), c.pattern, QStringLiteral("47x31"), QString::number(c.channels),
                 QStringLiteral("-d"), QStringLiteral("uint8"), QStringLiteral("--compression"),
                 QLatin1String(c.compression), QStringLiteral("-o"), path}));
        Rgba want, got;
        ASSERT_TRUE(oiioPixels(path, 47, 31, want));
        int w = 0, h = 0;
        ASSERT_TRUE(ourPixels(path, w, h, got));
        EXPECT_EQ(w, 47);
        EXPECT_EQ(h, 31);
        EXPECT_EQ(firstDifference(got, want), -1);
    }
}
