// Interoperability with independent programs, when they are installed: files
// that ImageMagick, oiiotool and tiffcp write read to the pixels ImageMagick
// (PNG) or libtiff (TIFF) decode, with this library's value mapping; and the
// files this library writes decode in those programs to what it reads back.
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <array>
#include <gtest/gtest.h>
#include <memory>
#include <tiffio.h>
#include <vector>

#include "cel/Cel.h"
#include "cel/Context.h"
#include "celio/handlers/PngHandler.h"
#include "celio/handlers/TiffHandler.h"
#include "pixel/PixmapCanvas.h"
#include "support/TestSupport.h"

namespace {

QString program(const char* name) {
    // The distribution's copy first: a wrapper earlier on PATH may stand in for it.
    const QString path =
        QStandardPaths::findExecutable(QString::fromLatin1(name), {QStringLiteral("/usr/bin")});
    return path.isEmpty() ? QStandardPaths::findExecutable(QString::fromLatin1(name)) : path;
}
const QString kMagick = program("convert"), kOiio = program("oiiotool"), kTiffcp = program("tiffcp");

bool run(const QString& exe, const QString& args, QByteArray* out = nullptr) {
    QProcess p;
    p.start(exe, args.split(QLatin1Char(' ')));
    const bool ok = p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    if (out) *out = p.readAllStandardOutput();
    if (!ok)
        ADD_FAILURE() << exe.toStdString() << " " << args.toStdString() << ": "
                      << p.readAllStandardError().data();
    return ok;
}

// RGBA samples and their full scale.
struct Image {
    uint32_t full = 255;
    std::vector<std::array<uint32_t, 4>> px;
};

std::array<uint32_t, 4> expand(const uint32_t* v, int channels, uint32_t full) {
    if (channels <= 2) return {v[0], v[0], v[0], channels == 2 ? v[1] : full};
    return {v[0], v[1], v[2], channels == 4 ? v[3] : full};
}

// ImageMagick's decoding, through a 16-bit PAM.
Image magickDecode(const QString& file) {
    QByteArray pam;
    Image img;
    img.full = 65535;
    if (!run(kMagick, file + QStringLiteral(" -depth 16 PAM:-"), &pam)) return img;
    const qsizetype end = pam.indexOf("ENDHDR\n") + 7;
    const int depth = pam.mid(pam.indexOf("DEPTH ") + 6, 1).toInt();
    for (const uchar* p = reinterpret_cast<const uchar*>(pam.constData()) + end;
         p < reinterpret_cast<const uchar*>(pam.constEnd());) {
        uint32_t v[4] = {0, 0, 0, 0};
        for (int c = 0; c < depth; ++c, p += 2) v[c] = uint32_t((p[0] << 8) | p[1]);
        img.px.push_back(expand(v, depth, 65535));
    }
    return img;
}

// libtiff's decoding: tiffcp rewrites the file uncompressed and contiguous; its samples as they are.
Image tiffDecode(const QString& file, int* bits = nullptr) {
    Image img;
    const QString plain = file + QStringLiteral(".plain.tif");
    if (!run(kTiffcp, QStringLiteral("-c none -p contig ") + file + ' ' + plain)) return img;
    TIFF* tif = TIFFOpen(QFile::encodeName(plain).constData(), "r");
    uint32_t w = 0, h = 0;
    uint16_t depth = 0, samples = 0;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &depth);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    std::vector<uint8_t> line(size_t(TIFFScanlineSize(tif)));
    img.full = (1u << depth) - 1;
    for (uint32_t y = 0; y < h; ++y) {
        TIFFReadScanline(tif, line.data(), y, 0);
        for (uint32_t x = 0; x < w; ++x) {
            uint32_t v[4] = {0, 0, 0, 0};
            for (int c = 0; c < samples; ++c) {
                const size_t k = size_t(x) * samples + c;
                if (depth == 8) v[c] = line[k];
                if (depth == 16) v[c] = reinterpret_cast<const uint16_t*>(line.data())[k];
            }
            img.px.push_back(expand(v, samples, img.full));
        }
    }
    TIFFClose(tif);
    if (bits) *bits = depth;
    return img;
}

// What this library reads, in the same terms.
Image ours(const CEL_Representation* rep) {
    Image img;
    if (const auto* p8 = dynamic_cast<const CEL_PixmapRGBA8*>(rep))
        for (int i = 0; i < p8->width() * p8->height(); ++i)
            img.px.push_back({p8->data()[i].r, p8->data()[i].g, p8->data()[i].b, p8->data()[i].a});
    if (const auto* p16 = dynamic_cast<const CEL_PixmapRGBA16*>(rep)) {
        img.full = 32767;
        for (int i = 0; i < p16->width() * p16->height(); ++i) {
            const CEL_PixelRGBA16 p = p16->data()[i];
            img.px.push_back({uint32_t(p.r), uint32_t(p.g), uint32_t(p.b), uint32_t(p.a)});
        }
    }
    return img;
}

// A program's samples in this library's terms: 8-bit as they are (ImageMagick
// reports them times 257), 16-bit v * 32767 / 65535 for PNG and v >> 1 for TIFF.
Image mapped(Image img, bool eightBit, bool tiff = false) {
    for (auto& p : img.px)
        for (uint32_t& c : p)
            c = eightBit ? (img.full == 255 ? c : c / 257) : tiff ? c >> 1 : c * 32767 / 65535;
    img.full = eightBit ? 255 : 32767;
    return img;
}

::testing::AssertionResult same(const Image& want, const Image& got, uint32_t tolerance = 0) {
    if (want.px.empty() || want.px.size() != got.px.size())
        return ::testing::AssertionFailure() << got.px.size() << " pixels, want " << want.px.size();
    for (size_t i = 0; i < want.px.size(); ++i)
        for (int c = 0; c < 4; ++c)
            if (std::abs(int64_t(want.px[i][c]) - int64_t(got.px[i][c])) > tolerance)
                return ::testing::AssertionFailure()
                       << "pixel " << i << "." << c << ": " << got.px[i][c] << ", want " << want.px[i][c];
    return ::testing::AssertionSuccess();
}

// 23 x 17, 16-bit RGBA: colour noise under an alpha gradient, written by ImageMagick.
QString makeSource(const celtest::TempDir& dir) {
    const QString path = dir.path(QStringLiteral("source.png"));
    run(kMagick, QStringLiteral("-size 23x17 xc:rgb(128,100,50) -seed 3 -channel RGB +noise Random +channel "
                                "( -size 23x17 gradient:white-black ) -compose copy_opacity -composite "
                                "-depth 16 -define png:color-type=6 ") +
                     path);
    return path;
}

} // namespace

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
        {"grey2", "-colorspace gray -depth 2 -define png:color-type=0 -define png:bit-depth=2", true},
        {"grey4i",
         "-colorspace gray -depth 4 -define png:color-type=0 -define png:bit-depth=4 -interlace PNG", true},
        {"grey8", "-colorspace gray -depth 8 -define png:color-type=0", true},
        {"grey16i", "-colorspace gray -depth 16 -define png:color-type=0 -interlace PNG", false},
        {"rgb8", "-depth 8 -define png:color-type=2", true},
        {"rgb16", "-depth 16 -define png:color-type=2", false},
        {"palette8", "-colors 37 -depth 8 -define png:color-type=3", true},
        {"palette4i", "-colors 9 -define png:color-type=3 -define png:bit-depth=4 -interlace PNG", true},
        {"greyalpha8", "-colorspace gray -depth 8 -define png:color-type=4", true},
        {"greyalpha16", "-colorspace gray -depth 16 -define png:color-type=4", false},
        {"rgba8i", "-depth 8 -define png:color-type=6 -interlace PNG", true},
        {"rgba16", "-depth 16 -define png:color-type=6", false},
        {"oiio_rgba8", "-d uint8", true},
        {"oiio_rgb16", "--ch R,G,B -d uint16", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const QString file = dir.path(QString::fromLatin1(row.name) + QStringLiteral(".png"));
        const bool oiio = QByteArray(row.name).startsWith("oiio");
        if (oiio && kOiio.isEmpty()) continue;
        ASSERT_TRUE(
            oiio ? run(kOiio, QStringLiteral("--no-autopremult %1 %2 -o %3").arg(source, row.args, file))
                 : run(kMagick, QStringLiteral("%1 %2 %3").arg(source, row.args, file)));
        std::unique_ptr<CEL_Representation> rep(QXCelUioPngHandler().read(file));
        Image want = mapped(magickDecode(file), row.eightBit);
        if (QByteArray(row.name) == "grey1")
            for (auto& p : want.px) p[0] = p[1] = p[2] = 255 - p[0]; // read with black and white exchanged
        EXPECT_TRUE(same(want, ours(rep.get())));
    }
}

TEST(PngInterop, FilesWeWrite) {
    if (kMagick.isEmpty()) GTEST_SKIP() << "ImageMagick is not installed";
    celtest::TempDir dir;
    auto* p16 = new CEL_PixmapRGBA16(19, 7); // premultiplied; the value cases first
    for (int i = 0; i < 19 * 7; ++i) {
        const int a = (i * 997) % 32768;
        p16->data()[i] = CEL_PixelRGBA16{int16_t(i * 7919 % (a + 1)), int16_t(i * 10007 % (a + 1)),
                                         int16_t(a / 3), int16_t(a)};
    }
    p16->data()[0] = CEL_PixelRGBA16{32767, 32767, 32767, 32767};
    p16->data()[1] = CEL_PixelRGBA16{16383, 0, 0, 16383};
    UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(CEL_Representation::PIXMAP_RGBA16));
    cel->addRepresentation(UT_SharedPtr<CEL_Representation>(p16));
    for (const char* code : {"PNG", "PNG4", "PNGDP3", "PNGDP4"}) {
        SCOPED_TRACE(code);
        const QString file = dir.path(QStringLiteral("ours_%1.png").arg(QLatin1String(code)));
        ASSERT_TRUE(QXCelUioPngHandler().write(cel.get(), file, QLatin1String(code)));
        const bool eightBit = !QByteArray(code).contains("DP");
        std::unique_ptr<CEL_Representation> back(QXCelUioPngHandler().read(file));
        const Image im = magickDecode(file);
        EXPECT_TRUE(same(mapped(im, eightBit), ours(back.get())));
        if (QByteArray(code) == "PNG4") { // straight colour
            EXPECT_EQ(im.px[1], (std::array<uint32_t, 4>{65535, 0, 0, 127 * 257}));
        }
        if (QByteArray(code) == "PNGDP4") { // full scale
            EXPECT_EQ(im.px[0], (std::array<uint32_t, 4>{65535, 65535, 65535, 65535}));
        }
    }
}

TEST(TiffInterop, FilesTheProgramsWrite) {
    if (kMagick.isEmpty() || kTiffcp.isEmpty()) GTEST_SKIP() << "ImageMagick or tiffcp is not installed";
    celtest::TempDir dir;
    const QString source = makeSource(dir);
    const struct {
        const char* name;
        const QString* tool;
        const char* args; // tiffcp rows copy rgba8.tif
    } rows[] = {
        {"rgb8", &kMagick, "-alpha off -depth 8 -compress None"},
        {"rgba8", &kMagick, "-depth 8 -compress LZW -define tiff:rows-per-strip=5"},
        {"rgb16", &kMagick, "-alpha off -depth 16 -compress Zip"},
        {"rgba16", &kMagick, "-depth 16 -compress None -define tiff:rows-per-strip=1"},
        {"zip", &kTiffcp, "-c zip -r 1"},
        {"packbits", &kTiffcp, "-c packbits -r 16"},
        {"oiio_rgb16", &kOiio, "--ch R,G,B -d uint16"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.tool->isEmpty()) continue;
        const QString file = dir.path(QString::fromLatin1(row.name) + QStringLiteral(".tif"));
        const QString args = QString::fromLatin1(row.args);
        ASSERT_TRUE(row.tool == &kTiffcp
                        ? run(kTiffcp, args + ' ' + dir.path(QStringLiteral("rgba8.tif")) + ' ' + file)
                    : row.tool == &kOiio ? run(kOiio, source + ' ' + args + QStringLiteral(" -o ") + file)
                                         : run(kMagick, source + ' ' + args + ' ' + file));
        int bits = 0;
        const Image want = tiffDecode(file, &bits);
        CELIO_RepresentationList list;
        ASSERT_TRUE(QxCelUioTiffHandler().read(QFile::encodeName(file), list));
        EXPECT_TRUE(same(mapped(want, bits == 8, true), ours(list.front().get())));
    }
}

TEST(TiffInterop, FilesWeWrite) {
    if (kTiffcp.isEmpty()) GTEST_SKIP() << "tiffcp is not installed";
    celtest::TempDir dir;
    auto* p8 = new CEL_PixmapRGBA8(31, 9);
    for (int i = 0; i < 31 * 9; ++i) {
        const int a = i * 37 % 256;
        p8->data()[i] =
            CEL_PixelRGBA8{uint8_t(i % (a + 1)), uint8_t(i * 3 % (a + 1)), uint8_t(a / 2), uint8_t(a)};
    }
    UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(CEL_Representation::PIXMAP_RGBA8));
    cel->addRepresentation(UT_SharedPtr<CEL_Representation>(p8));
    const QString file = dir.path(QStringLiteral("ours.tif"));
    ASSERT_TRUE(QxCelUioTiffHandler().write(cel.get(), file, QStringLiteral("TIF")));
    QByteArray info;
    ASSERT_TRUE(run(program("tiffinfo"), file, &info));
    EXPECT_TRUE(info.contains("assoc-alpha"));
    EXPECT_TRUE(same(tiffDecode(file), ours(p8)));
}
