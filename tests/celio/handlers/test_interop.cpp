// Interoperability with independent programs, each test skipped without its
// tools: files that ImageMagick, oiiotool and tiffcp write read here to the
// pixels those programs decode (with this library's value mapping), and the
// files written here decode there to the pixels meant.
#include <QFile>
#include <gtest/gtest.h>
#include <memory>

#include "HandlerTestUtil.h"
#include "cel/Context.h"
#include "celio/handlers/BmpHandler.h"
#include "celio/handlers/PngHandler.h"
#include "celio/handlers/SgiHandler.h"
#include "celio/handlers/TgaHandler.h"
#include "celio/handlers/TiffHandler.h"
#include "support/TestSupport.h"

namespace {

using celtest::oiioValues;
using celtest::program;
using celtest::run;
using celtest::Values;
const QString kMagick = program("convert"), kOiio = program("oiiotool"), kTiffcp = program("tiffcp");

QStringList words(const QString& text) {
    return text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

// ImageMagick's decoding as r, g, b, a samples of the given depth (grey widened).
Values magick(const QString& path, int depth) {
    return celtest::magickSamples(path, depth, {"-auto-orient"});
}

// A program's samples in this library's terms.
template <class F> Values mapped(Values v, F f) {
    for (int& c : v) c = f(c);
    return v;
}

// The next file named by a running number in dir, added to list.
QString next(const celtest::TempDir& dir, QStringList& list, const char* ext) {
    list << dir.path(QStringLiteral("%1.%2").arg(list.size()).arg(QLatin1String(ext)));
    return list.back();
}

} // namespace

// Each TGA file a tool writes decodes here to the tool's pixels; written back
// here in the same shape, it decodes in both tools to the same pixels again.
TEST(TgaInterop, FilesExchangedBothWays) {
    if (kMagick.isEmpty() || kOiio.isEmpty()) GTEST_SKIP() << "convert or oiiotool missing";
    celtest::TempDir dir;
    QStringList theirs;
    const QString base =
        QStringLiteral("-size 61x37 xc:black -alpha set -channel R -fx i/w -channel G -fx j/h "
                       "-channel B -fx (i*j)%7/7 -channel A -fx ((i+j)%5)/4 +channel ");
    for (const char* shape :
         {"", "-alpha off -type TrueColor ", "-alpha off -colorspace Gray -type Grayscale "})
        for (const char* compression : {"RLE", "None"})
            ASSERT_TRUE(
                run(kMagick, words(base + shape + "-compress " + compression) << next(dir, theirs, "tga")));
    const int magickFiles = int(theirs.size());
    for (const char* pattern :
         {"fill:topleft=1,0,0,1:topright=0,1,0,0.5:bottomleft=0,0,1,0.25:bottomright=1,1,1,1",
          "checker:width=5:height=3:color1=0.2,0.4,0.6,1:color2=0.9,0.1,0.3,0.5"})
        for (const char* channels : {"4", "3", "1"})
            for (const char* compression : {"rle", "none"})
                ASSERT_TRUE(run(kOiio, {"--pattern", pattern, "47x31", channels, "-d", "uint8",
                                        "--compression", compression, "-o", next(dir, theirs, "tga")}));
    const QStringList raw = {"--iconfig", "oiio:UnassociatedAlpha", "1"}; // the samples as stored
    std::vector<Values> want = oiioValues(theirs, raw);
    ASSERT_EQ(want.size(), size_t(theirs.size()));
    for (int i = 0; i < magickFiles; ++i) want[size_t(i)] = magick(theirs[i], 8);

    QStringList written;
    for (int i = 0; i < theirs.size(); ++i) {
        SCOPED_TRACE(qPrintable(theirs[i]));
        CELIO_RepresentationList list;
        ASSERT_TRUE(QXCelUioTgaHandler().read(theirs[i], CEL_Context(), list));
        const Values got = celtest::values(list.front().get());
        EXPECT_EQ(got, want[size_t(i)]);
        bool alpha = false;
        for (size_t k = 3; k < got.size(); k += 4) alpha |= got[k] != 255;
        UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(list.front()->getFormat()));
        cel->addRepresentation(list.front());
        const bool grey = list.front()->getFormat() == CEL_Representation::PIXMAP_MATTE8;
        ASSERT_TRUE(QXCelUioTgaHandler().write(cel.get(), next(dir, written, "tga"),
                                               QLatin1String(grey    ? "TGA1"
                                                             : alpha ? "TGA4"
                                                                     : "TGA3")));
    }
    const std::vector<Values> oiioOurs = oiioValues(written, raw);
    ASSERT_EQ(oiioOurs.size(), size_t(written.size()));
    for (int i = 0; i < written.size(); ++i) {
        SCOPED_TRACE(qPrintable(theirs[i]));
        EXPECT_EQ(celtest::readValues(QXCelUioTgaHandler(), written[i]), want[size_t(i)]);
        EXPECT_EQ(magick(written[i], 8), want[size_t(i)]) << "convert";
        EXPECT_EQ(oiioOurs[size_t(i)], want[size_t(i)]) << "oiiotool";
    }
}

namespace {

constexpr int W = 29, H = 17;

// Runs, noise and soft alpha, colour never above alpha.
CEL_PixmapRGBA8* pattern() {
    auto* p = new CEL_PixmapRGBA8(W, H);
    unsigned seed = 5;
    for (int i = 0; i < W * H; ++i) {
        seed = seed * 1103515245u + 12345u;
        const int a = i % W < 6 ? 255 : int(seed >> 24) | 1, n = int(seed >> 16) & 255;
        p->data()[i] = CEL_PixelRGBA8{uint8_t(i % W < 9 ? a : n % (a + 1)), uint8_t(i / W * 15 % (a + 1)),
                                      uint8_t((n * 7) % (a + 1)), uint8_t(a)};
    }
    return p;
}

} // namespace

// SGI and BMP files the tools write decode here to their pixels (16-bit SGI
// samples halved; BMP alpha is not kept).
TEST(SgiBmpInterop, TheirFilesReadAsTheyDecodeThem) {
    if (kMagick.isEmpty() || kOiio.isEmpty()) GTEST_SKIP() << "convert or oiiotool missing";
    celtest::TempDir dir;
    const QString png = dir.path("src.png");
    ASSERT_TRUE(celtest::celOf(pattern())->convertTo(CEL_Representation::PIXMAP_RGBA8)->getImage().save(png));
    // ImageMagick: SGI 8-bit verbatim and run-length coded, 16-bit (always
    // verbatim), 4, 3 and 1 channels; BMP 24-bit, 32-bit, palette, palette RLE8.
    QStringList magickFiles, oiioFiles, oiioArgs{png};
    for (const char* ch : {"", "-alpha off", "-colorspace Gray -alpha off"})
        for (const char* depth : {"8", "16"})
            for (const char* compress : {"None", "RLE"})
                ASSERT_TRUE(
                    run(kMagick,
                        words(QStringLiteral("%1 -depth %2 -compress %3 %4").arg(png, depth, compress, ch))
                            << next(dir, magickFiles, "sgi")));
    for (const char* args : {"", "-type Palette", "-type Palette -compress RLE"})
        ASSERT_TRUE(run(kMagick, words(png + ' ' + args) << "BMP3:" + next(dir, magickFiles, "bmp")));
    ASSERT_TRUE(run(kMagick, {png, "BMP:" + next(dir, magickFiles, "bmp")}));
    // OpenImageIO, in one run: BMP, then SGI 8 and 16-bit of 4, 3 and 1 channels.
    oiioArgs << "-o" << next(dir, oiioFiles, "bmp");
    for (const char* ch : {"", "R,G,B", "R"}) {
        if (*ch) oiioArgs << "--ch" << ch;
        for (const char* d : {"uint8", "uint16"})
            oiioArgs << "-d" << d << "-o" << next(dir, oiioFiles, "sgi");
    }
    ASSERT_TRUE(run(kOiio, oiioArgs));
    const std::vector<Values> fromOiio = oiioValues(oiioFiles);
    ASSERT_EQ(fromOiio.size(), size_t(oiioFiles.size()));

    for (const QString& path : magickFiles + oiioFiles) {
        SCOPED_TRACE(qPrintable(path));
        const bool isBmp = path.endsWith(QLatin1String(".bmp"));
        bool deep = false;
        const Values got = isBmp ? celtest::readValues(QXCelUioBmpHandler(), path)
                                 : celtest::readValues(QXCelUioSgiHandler(), path, &deep);
        const qsizetype k = oiioFiles.indexOf(path);
        Values want = k < 0 ? magick(path, deep ? 16 : 8) : fromOiio[size_t(k)];
        ASSERT_EQ(got.size(), size_t(W * H * 4));
        ASSERT_EQ(want.size(), got.size());
        for (size_t i = 0; i < want.size(); ++i)
            want[i] = isBmp && i % 4 == 3 ? 255 : deep ? want[i] >> 1 : want[i];
        EXPECT_EQ(got, want);
    }
}

// What we write in every SGI and BMP code decodes in both tools to the pixels meant.
TEST(SgiBmpInterop, OurFilesDecodeInTheirTools) {
    if (kMagick.isEmpty() || kOiio.isEmpty()) GTEST_SKIP() << "convert or oiiotool missing";
    celtest::TempDir dir;
    const auto cel8 = celtest::celOf(pattern());
    auto* p16 = new CEL_PixmapRGBA16(W, H);
    for (int i = 0; i < W * H * 4; ++i) (&p16->data()->r)[i] = int16_t(i * 977 % 32968 - 200);
    const auto cel16 = celtest::celOf(p16);
    const auto* rgba =
        dynamic_cast<CEL_PixmapRGBA8*>(cel8->convertTo(CEL_Representation::PIXMAP_RGBA8).get());
    const auto* grey =
        dynamic_cast<CEL_PixmapMatte8*>(cel8->convertTo(CEL_Representation::PIXMAP_MATTE8).get());

    QStringList paths;
    std::vector<Values> wanted;
    for (const QString c : {"SGI4", "SGI3", "SGI1", "SGIDP4", "SGIDP3", "BMP", "BMP4"}) {
        SCOPED_TRACE(qPrintable(c));
        const bool deep = c.contains("DP"), bmp = c.startsWith("BMP");
        const QString path = dir.path(c + (bmp ? ".bmp" : ".sgi"));
        ASSERT_TRUE(bmp ? QXCelUioBmpHandler().write(cel8.get(), path, c)
                        : QXCelUioSgiHandler().write((deep ? cel16 : cel8).get(), path, c));
        Values want;
        for (int i = 0; i < W * H; ++i) {
            const CEL_PixelRGBA8 q = rgba->data()[i];
            const CEL_PixelRGBA16 d = p16->data()[i];
            const auto un = [&q](int v) { return q.a ? std::min(255, int(v * (255.0 / q.a))) : v; };
            const auto twice = [](int v) { return v < 0 ? 0 : 2 * v; };
            if (c == "SGI1")
                want.insert(want.end(), {grey->data()[i], grey->data()[i], grey->data()[i], 255});
            else if (deep)
                want.insert(want.end(),
                            {twice(d.r), twice(d.g), twice(d.b), c.endsWith('4') ? twice(d.a) : 65535});
            else if (c == "BMP4")
                want.insert(want.end(), {un(q.r), un(q.g), un(q.b), 255});
            else
                want.insert(want.end(), {q.r, q.g, q.b, c.endsWith('4') ? q.a : 255});
        }
        EXPECT_EQ(magick(path, deep ? 16 : 8), want);
        paths << path;
        wanted.push_back(want);
    }
    EXPECT_EQ(oiioValues(paths), wanted);
}

namespace {

// 23 x 17, 16-bit RGBA: colour noise under an alpha gradient, written by ImageMagick.
QString makeSource(const celtest::TempDir& dir) {
    const QString path = dir.path("source.png");
    run(kMagick,
        words(QStringLiteral("-size 23x17 xc:rgb(128,100,50) -seed 3 -channel RGB +noise Random +channel "
                             "( -size 23x17 gradient:white-black ) -compose copy_opacity -composite "
                             "-depth 16 -define png:color-type=6"))
            << path);
    return path;
}

// ImageMagick's 16-bit samples in the terms this library reads a PNG in: 8-bit files
// as they are, 16-bit ones v * 32767 / 65535.
Values pngTerms(const Values& samples16, bool eightBit) {
    return mapped(samples16, [eightBit](int c) { return eightBit ? c / 257 : c * 32767 / 65535; });
}

} // namespace

// The colour types and depths themselves are pinned in test_png on libpng's
// files; here the programs' own choices of chunks and layouts.
TEST(PngInterop, FilesTheProgramsWrite) {
    if (kMagick.isEmpty()) GTEST_SKIP() << "ImageMagick is not installed";
    celtest::TempDir dir;
    const QString source = makeSource(dir);
    const struct {
        const char* name;
        const char* args; // ImageMagick's, or oiiotool's for the oiio_ rows
        bool eightBit;
    } rows[] = {
        {"grey1", "-colorspace gray -threshold 50% -depth 1 -define png:color-type=0 -define png:bit-depth=1",
         true},
        {"palette4i", "-colors 9 -define png:color-type=3 -define png:bit-depth=4 -interlace PNG", true},
        {"rgba8i", "-depth 8 -define png:color-type=6 -interlace PNG", true},
        {"oiio_rgb16", "--ch R,G,B -d uint16", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const QString file = dir.path(QString::fromLatin1(row.name) + QStringLiteral(".png"));
        const bool oiio = QByteArray(row.name).startsWith("oiio");
        if (oiio && kOiio.isEmpty()) continue;
        ASSERT_TRUE(
            oiio ? run(kOiio,
                       words(QStringLiteral("--no-autopremult %1 %2 -o %3").arg(source, row.args, file)))
                 : run(kMagick, words(QStringLiteral("%1 %2 %3").arg(source, row.args, file))));
        std::unique_ptr<CEL_Representation> rep(QXCelUioPngHandler().read(file));
        Values want = pngTerms(magick(file, 16), row.eightBit);
        if (QByteArray(row.name) == "grey1") // read with black and white exchanged
            for (size_t i = 0; i < want.size(); ++i) want[i] = i % 4 == 3 ? want[i] : 255 - want[i];
        EXPECT_EQ(celtest::values(rep.get()), want);
    }
}

// TIFF files the programs write read here to ImageMagick's samples (16-bit halved).
TEST(TiffInterop, FilesTheProgramsWrite) {
    if (kMagick.isEmpty() || kTiffcp.isEmpty()) GTEST_SKIP() << "ImageMagick or tiffcp is not installed";
    celtest::TempDir dir;
    const QString source = makeSource(dir), rgba8 = dir.path("rgba8.tif");
    const struct {
        const QString* tool;
        QStringList args; // the tiffcp rows copy rgba8.tif
    } rows[] = {
        {&kMagick, words("-alpha off -depth 8 -compress None")},
        {&kMagick, words("-depth 8 -compress LZW -define tiff:rows-per-strip=5")},
        {&kMagick, words("-alpha off -depth 16 -compress Zip")},
        {&kMagick, words("-depth 16 -compress None -define tiff:rows-per-strip=1")},
        {&kTiffcp, words("-c zip -r 1")},
        {&kTiffcp, words("-c packbits -r 16")},
        {&kOiio, words("--ch R,G,B -d uint16 -o")},
    };
    QStringList files;
    for (const auto& row : rows) {
        const QString file =
            row.tool == &kMagick && row.args.contains("LZW") ? rgba8 : next(dir, files, "tif");
        SCOPED_TRACE(qPrintable(row.args.join(' ')));
        if (row.tool->isEmpty()) continue;
        ASSERT_TRUE(
            run(*row.tool,
                (row.tool == &kTiffcp ? QStringList{} << row.args << rgba8 : QStringList{source} << row.args)
                    << file));
        bool deep = false;
        const Values got = celtest::readValues(QxCelUioTiffHandler(), file, &deep);
        EXPECT_EQ(got, mapped(magick(file, deep ? 16 : 8), [deep](int c) { return deep ? c >> 1 : c; }));
    }
}
