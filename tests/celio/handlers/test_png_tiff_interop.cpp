// Interoperability with independent programs, when they are installed:
// files that ImageMagick, OpenImageIO's oiiotool and libtiff's tiffcp write
// read to the pixels those programs decode (with this library's value
// mapping), and the files this library writes decode in them to the pixels it
// reads back itself.
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <array>
#include <cmath>
#include <gtest/gtest.h>
#include <memory>
#include <tiffio.h>
#include <vector>

#include "cel/Cel.h"
#include "cel/Context.h"
#include "celio/handlers/JpegHandler.h"
#include "celio/handlers/PngHandler.h"
#include "celio/handlers/TiffHandler.h"
#include "pixel/PixmapArea.h"
#include "pixel/PixmapCanvas.h"
#include "support/TestSupport.h"

namespace {

// ---------------------------------------------------------------------------
// The programs

QString program(const char* name) {
    // The distribution's own copy first: a wrapper earlier on PATH may stand in for it.
    QString path = QStandardPaths::findExecutable(QString::fromLatin1(name), {QStringLiteral("/usr/bin")});
    if (path.isEmpty()) path = QStandardPaths::findExecutable(QString::fromLatin1(name));
    return path;
}

const QString& magick() {
    static const QString p = program("convert");
    return p;
}
const QString& oiiotool() {
    static const QString p = program("oiiotool");
    return p;
}
const QString& tiffcp() {
    static const QString p = program("tiffcp");
    return p;
}

bool run(const QString& exe, const QStringList& args, QByteArray* out = nullptr) {
    QProcess process;
    process.start(exe, args);
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        return false;
    }
    if (out) *out = process.readAllStandardOutput();
    const bool ok = process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (!ok)
        ADD_FAILURE() << exe.toStdString() << " " << args.join(' ').toStdString() << ": "
                      << process.readAllStandardError().toStdString();
    return ok;
}

#define REQUIRE_PROGRAM(p)                                                                                   \
    if ((p).isEmpty()) GTEST_SKIP() << #p " is not installed"

// ---------------------------------------------------------------------------
// Decoded images: RGBA samples in 0..full, as a program reports them.

struct Image {
    int width = 0, height = 0;
    uint32_t full = 255;
    std::vector<std::array<uint32_t, 4>> px;
    bool empty() const { return px.empty(); }
};

// Expands 1 to 4 channels (grey, grey + alpha, RGB, RGBA) to RGBA.
std::array<uint32_t, 4> expand(const uint32_t* v, int channels, uint32_t full) {
    switch (channels) {
    case 1:
        return {v[0], v[0], v[0], full};
    case 2:
        return {v[0], v[0], v[0], v[1]};
    case 3:
        return {v[0], v[1], v[2], full};
    default:
        return {v[0], v[1], v[2], v[3]};
    }
}

// ImageMagick's decoding, as a 16-bit PAM.
Image magickDecode(const QString& file) {
    QByteArray pam;
    Image img;
    if (!run(magick(), {file, QStringLiteral("-depth"), QStringLiteral("16"), QStringLiteral("PAM:-")}, &pam))
        return img;
    const qsizetype end = pam.indexOf("ENDHDR\n");
    int depth = 0;
    for (const QByteArray& line : pam.left(end).split('\n')) {
        const QList<QByteArray> f = line.split(' ');
        if (f[0] == "WIDTH") img.width = f[1].toInt();
        if (f[0] == "HEIGHT") img.height = f[1].toInt();
        if (f[0] == "DEPTH") depth = f[1].toInt();
    }
    img.full = 65535;
    const uchar* data = reinterpret_cast<const uchar*>(pam.constData() + end + 7);
    for (int i = 0; i < img.width * img.height; ++i) {
        uint32_t v[4];
        for (int c = 0; c < depth; ++c, data += 2) v[c] = uint32_t((data[0] << 8) | data[1]);
        img.px.push_back(expand(v, depth, 65535));
    }
    return img;
}

// oiiotool's decoding of an integer image, from its pixel dump.
Image oiioDecode(const QString& file) {
    QByteArray text;
    Image img;
    if (!run(oiiotool(),
             {QStringLiteral("--no-autopremult"), QStringLiteral("--info"), QStringLiteral("--dumpdata"),
              file},
             &text))
        return img;
    const QList<QByteArray> lines = text.split('\n');
    // "<file> :    7 x    3, 4 channel, uint16 png"
    const QByteArray head = lines[0].mid(lines[0].indexOf(':') + 1).simplified();
    const QList<QByteArray> words = head.split(' ');
    img.width = words[0].toInt();
    img.height = words[2].chopped(1).toInt();
    const int channels = words[3].toInt();
    img.full = words[5] == "uint16" ? 65535 : 255;
    for (const QByteArray& line : lines) {
        const qsizetype colon = line.indexOf("):");
        if (!line.trimmed().startsWith("Pixel") || colon < 0) continue;
        const QList<QByteArray> v = line.mid(colon + 2).simplified().split(' ');
        uint32_t s[4];
        for (int c = 0; c < channels; ++c) s[c] = v[c].toUInt();
        img.px.push_back(expand(s, channels, img.full));
    }
    return img;
}

// libtiff's decoding: tiffcp rewrites the file uncompressed and contiguous,
// and its samples are read as they are.
struct TiffSamples {
    int width = 0, height = 0, bits = 0, samples = 0;
    std::vector<uint8_t> bytes;
};

TiffSamples tiffDecode(const QString& file, const QString& scratch) {
    TiffSamples t;
    if (!run(tiffcp(), {QStringLiteral("-c"), QStringLiteral("none"), QStringLiteral("-p"),
                        QStringLiteral("contig"), file, scratch}))
        return t;
    TIFF* tif = TIFFOpen(QFile::encodeName(scratch).constData(), "r");
    if (!tif) return t;
    uint32_t w = 0, h = 0;
    uint16_t bits = 0, samples = 0;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    t.width = int(w), t.height = int(h), t.bits = bits, t.samples = samples;
    const tmsize_t line = TIFFScanlineSize(tif);
    t.bytes.resize(size_t(line) * h);
    for (uint32_t y = 0; y < h; ++y) TIFFReadScanline(tif, t.bytes.data() + y * line, y, 0);
    TIFFClose(tif);
    return t;
}

// ---------------------------------------------------------------------------
// What this library reads, in the same terms.

Image ours(const CEL_Representation* rep) {
    Image img;
    if (const auto* p8 = dynamic_cast<const CEL_PixmapRGBA8*>(rep)) {
        img.width = p8->width(), img.height = p8->height(), img.full = 255;
        for (int i = 0; i < img.width * img.height; ++i) {
            const CEL_PixelRGBA8 p = p8->data()[i];
            img.px.push_back({p.r, p.g, p.b, p.a});
        }
    } else if (const auto* p16 = dynamic_cast<const CEL_PixmapRGBA16*>(rep)) {
        img.width = p16->width(), img.height = p16->height(), img.full = 32767;
        for (int i = 0; i < img.width * img.height; ++i) {
            const CEL_PixelRGBA16 p = p16->data()[i];
            img.px.push_back({uint32_t(p.r), uint32_t(p.g), uint32_t(p.b), uint32_t(p.a)});
        }
    }
    return img;
}

Image oursPng(const QString& file) {
    std::unique_ptr<CEL_Representation> rep(QXCelUioPngHandler().read(file));
    return ours(rep.get());
}

// A program's decoding in this library's terms: 8-bit files as they are,
// 16-bit samples v * 32767 / 65535. `eightBit` says which the file is.
Image mapped(const Image& tool, bool eightBit) {
    Image out = tool;
    out.full = eightBit ? 255 : 32767;
    for (auto& p : out.px)
        for (uint32_t& c : p) c = eightBit ? (tool.full == 255 ? c : c / 257) : c * 32767 / 65535;
    return out;
}

::testing::AssertionResult sameImage(const Image& want, const Image& got, uint32_t tolerance = 0) {
    if (want.empty()) return ::testing::AssertionFailure() << "the program decoded nothing";
    if (want.width != got.width || want.height != got.height || want.px.size() != got.px.size())
        return ::testing::AssertionFailure()
               << "size " << got.width << "x" << got.height << ", want " << want.width << "x" << want.height;
    for (size_t i = 0; i < want.px.size(); ++i)
        for (int c = 0; c < 4; ++c)
            if (std::abs(int64_t(want.px[i][c]) - int64_t(got.px[i][c])) > int64_t(tolerance))
                return ::testing::AssertionFailure() << "pixel " << i << " channel " << c << ": "
                                                     << got.px[i][c] << ", want " << want.px[i][c];
    return ::testing::AssertionSuccess();
}

// A 16-bit RGBA source with noise in every channel, written by ImageMagick.
QString makeSource(const celtest::TempDir& dir) {
    const QString path = dir.path(QStringLiteral("source.png"));
    run(magick(), {QStringLiteral("-size"),
                   QStringLiteral("23x17"),
                   QStringLiteral("xc:rgb(128,100,50)"),
                   QStringLiteral("-seed"),
                   QStringLiteral("3"),
                   QStringLiteral("-channel"),
                   QStringLiteral("RGB"),
                   QStringLiteral("+noise"),
                   QStringLiteral("Random"),
                   QStringLiteral("+channel"),
                   QStringLiteral("("),
                   QStringLiteral("-size"),
                   QStringLiteral("23x17"),
                   QStringLiteral("gradient:white-black"),
                   QStringLiteral(")"),
                   QStringLiteral("-compose"),
                   QStringLiteral("copy_opacity"),
                   QStringLiteral("-composite"),
                   QStringLiteral("-depth"),
                   QStringLiteral("16"),
                   QStringLiteral("-define"),
                   QStringLiteral("png:color-type=6"),
                   path});
    return path;
}

UT_SharedPtr<CEL_Cel> celOf(CEL_Representation* rep) {
    UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(rep->getFormat()));
    cel->addRepresentation(UT_SharedPtr<CEL_Representation>(rep));
    return cel;
}

} // namespace

TEST(PngInterop, FilesWrittenByImageMagickAndOiiotool) {
    REQUIRE_PROGRAM(magick());
    celtest::TempDir dir;
    const QString source = makeSource(dir);
    struct Row {
        const char* name;
        QStringList magickArgs; // empty: written by oiiotool with oiioArgs
        QStringList oiioArgs;
        bool eightBit;
        bool oneBitGrey = false;
    };
    const auto im = [](const char* type, const char* depth, bool interlace = false,
                       const char* extra = nullptr) {
        QStringList a;
        if (extra) a << QString::fromLatin1(extra).split(' ');
        a << QStringLiteral("-depth") << QString::fromLatin1(depth) << QStringLiteral("-define")
          << QStringLiteral("png:color-type=%1").arg(QLatin1String(type)) << QStringLiteral("-define")
          << QStringLiteral("png:bit-depth=%1").arg(QLatin1String(depth));
        if (interlace) a << QStringLiteral("-interlace") << QStringLiteral("PNG");
        return a;
    };
    const auto oiio = [](const char* args) { return QString::fromLatin1(args).split(' '); };
    const std::vector<Row> rows = {
        {"grey1", im("0", "1", false, "-colorspace gray -threshold 50%"), {}, true, true},
        {"grey2", im("0", "2", false, "-colorspace gray"), {}, true},
        {"grey4", im("0", "4", true, "-colorspace gray"), {}, true},
        {"grey8", im("0", "8", false, "-colorspace gray"), {}, true},
        {"grey16", im("0", "16", true, "-colorspace gray"), {}, false},
        {"rgb8", im("2", "8"), {}, true},
        {"rgb16", im("2", "16"), {}, false},
        {"palette", im("3", "8", false, "-colors 37"), {}, true},
        {"palette4", im("3", "4", true, "-colors 9"), {}, true},
        {"greyalpha8", im("4", "8", false, "-colorspace gray"), {}, true},
        {"greyalpha16", im("4", "16", false, "-colorspace gray"), {}, false},
        {"rgba8", im("6", "8", true), {}, true},
        {"rgba16", im("6", "16"), {}, false},
        {"oiio_rgba8", {}, oiio("-d uint8"), true},
        {"oiio_rgba16", {}, oiio("-d uint16"), false},
        {"oiio_rgb8", {}, oiio("--ch R,G,B -d uint8"), true},
        {"oiio_grey16", {}, oiio("--ch R -d uint16"), false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const QString file = dir.path(QString::fromLatin1(row.name) + QStringLiteral(".png"));
        if (row.magickArgs.isEmpty()) {
            if (oiiotool().isEmpty()) continue;
            ASSERT_TRUE(run(oiiotool(), QStringList{QStringLiteral("--no-autopremult"), source} +
                                            row.oiioArgs + QStringList{QStringLiteral("-o"), file}));
        } else {
            ASSERT_TRUE(run(magick(), QStringList{source} + row.magickArgs + QStringList{file}));
        }
        const Image got = oursPng(file);
        ASSERT_FALSE(got.empty());
        Image want = mapped(magickDecode(file), row.eightBit);
        if (row.oneBitGrey)
            for (auto& p : want.px) p[0] = p[1] = p[2] = 255 - p[0]; // read with black and white exchanged
        EXPECT_TRUE(sameImage(want, got)) << "against ImageMagick";
        if (!oiiotool().isEmpty() && !row.oneBitGrey) {
            EXPECT_TRUE(sameImage(mapped(oiioDecode(file), row.eightBit), got)) << "against oiiotool";
        }
    }
}

TEST(PngInterop, FilesWeWriteDecodeAlikeInTheTools) {
    REQUIRE_PROGRAM(magick());
    celtest::TempDir dir;
    // Premultiplied colour, with the value cases at the start: full scale, half
    // transparent red, transparent black, additive light.
    auto* p16 = new CEL_PixmapRGBA16(19, 7);
    for (int i = 0; i < 19 * 7; ++i) {
        const int16_t a = int16_t((i * 997) % 32768);
        p16->data()[i] = CEL_PixelRGBA16{int16_t((i * 7919) % (a + 1)), int16_t((i * 104729) % (a + 1)),
                                         int16_t(a / 3), a};
    }
    p16->data()[0] = CEL_PixelRGBA16{32767, 32767, 32767, 32767};
    p16->data()[1] = CEL_PixelRGBA16{16383, 0, 0, 16383};
    p16->data()[2] = CEL_PixelRGBA16{0, 0, 0, 0};
    p16->data()[3] = CEL_PixelRGBA16{32767, 100, 0, 0};
    const auto cel = celOf(p16);
    for (const char* code : {"PNG", "PNG4", "PNGDP3", "PNGDP4"}) {
        SCOPED_TRACE(code);
        const QString file = dir.path(QStringLiteral("ours_%1.png").arg(QLatin1String(code)));
        ASSERT_TRUE(QXCelUioPngHandler().write(cel.get(), file, QLatin1String(code)));
        const bool eightBit = !QByteArray(code).contains("DP");
        const Image back = oursPng(file);
        EXPECT_TRUE(sameImage(mapped(magickDecode(file), eightBit), back)) << "ImageMagick";
        if (!oiiotool().isEmpty()) {
            EXPECT_TRUE(sameImage(mapped(oiioDecode(file), eightBit), back)) << "oiiotool";
        }
        const Image im = magickDecode(file);
        ASSERT_FALSE(im.empty());
        if (QByteArray(code) == "PNG4") {
            EXPECT_EQ(im.px[1], (std::array<uint32_t, 4>{255 * 257, 0, 0, 127 * 257})); // un-premultiplied
            EXPECT_EQ(im.px[2][3], 0u);
            EXPECT_EQ(im.px[3], (std::array<uint32_t, 4>{65535, 0, 0, 65535})); // m = 32767
        }
        if (QByteArray(code) == "PNGDP4") {
            EXPECT_EQ(im.px[0], (std::array<uint32_t, 4>{65535, 65535, 65535, 65535}));
            EXPECT_EQ(im.px[1], (std::array<uint32_t, 4>{32766, 0, 0, 32766})); // premultiplied kept
        }
    }

    // JPEG: the same decoder underneath, so the programs see what we read.
    const QString jpeg = dir.path(QStringLiteral("ours.jpg"));
    ASSERT_TRUE(QXCelUioJpegHandler().write(cel.get(), jpeg, QStringLiteral("JPG")));
    std::unique_ptr<CEL_Representation> back(QXCelUioJpegHandler().read(jpeg));
    Image ourJpeg = ours(back.get());
    Image imJpeg = mapped(magickDecode(jpeg), true);
    EXPECT_TRUE(sameImage(imJpeg, ourJpeg, 1)) << "ImageMagick";
}

TEST(TiffInterop, FilesWrittenByTheTools) {
    REQUIRE_PROGRAM(magick());
    REQUIRE_PROGRAM(tiffcp());
    celtest::TempDir dir;
    const QString source = makeSource(dir);
    const QString scratch = dir.path(QStringLiteral("scratch.tif"));
    // One ImageMagick TIFF of each shape, then libtiff's copies of one in every codec and strip height.
    struct Row {
        const char* name;
        const char* tool; // "magick", "tiffcp" (from rgba8.tif), "oiiotool"
        const char* args;
    };
    const Row rows[] = {
        {"rgb8", "magick", "-alpha off -depth 8 -compress None"},
        {"rgba8", "magick", "-depth 8 -compress LZW -define tiff:rows-per-strip=5"},
        {"rgb16", "magick", "-alpha off -depth 16 -compress Zip"},
        {"rgba16", "magick", "-depth 16 -compress None -define tiff:rows-per-strip=1"},
        {"lzw", "tiffcp", "-c lzw -r 3"},
        {"zip", "tiffcp", "-c zip -r 1"},
        {"packbits", "tiffcp", "-c packbits -r 16"},
        {"oiio_rgba8", "oiiotool", "-d uint8"},
        {"oiio_rgb16", "oiiotool", "--ch R,G,B -d uint16"},
        {"oiio_depth", "oiiotool", "--ch R -d float"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const QString file = dir.path(QString::fromLatin1(row.name) + QStringLiteral(".tif"));
        const QStringList args = QString::fromLatin1(row.args).split(' ');
        const QByteArray tool(row.tool);
        if (tool == "magick") {
            ASSERT_TRUE(run(magick(), QStringList{source} + args + QStringList{file}));
        } else if (tool == "tiffcp") {
            ASSERT_TRUE(run(tiffcp(), args + QStringList{dir.path(QStringLiteral("rgba8.tif")), file}));
        } else {
            if (oiiotool().isEmpty()) continue;
            ASSERT_TRUE(
                run(oiiotool(), QStringList{source} + args + QStringList{QStringLiteral("-o"), file}));
        }
        const TiffSamples t = tiffDecode(file, scratch);
        ASSERT_GT(t.width, 0);
        CELIO_RepresentationList list;
        ASSERT_TRUE(QxCelUioTiffHandler().read(QFile::encodeName(file), list));
        ASSERT_EQ(list.size(), 1u);

        if (t.bits == 32) {
            const auto* z = dynamic_cast<const CEL_PixmapAreaZ*>(list.front().get());
            ASSERT_TRUE(z);
            const float* v = reinterpret_cast<const float*>(t.bytes.data());
            for (int i = 0; i < t.width * t.height; ++i) ASSERT_EQ(*z->data()[i], -v[i]) << i;
            continue;
        }
        Image want;
        want.width = t.width, want.height = t.height, want.full = t.bits == 8 ? 255 : 32767;
        for (int i = 0; i < t.width * t.height; ++i) {
            uint32_t s[4];
            for (int c = 0; c < t.samples; ++c) {
                const size_t k = size_t(i) * t.samples + c;
                s[c] = t.bits == 8 ? t.bytes[k] : reinterpret_cast<const uint16_t*>(t.bytes.data())[k] >> 1;
            }
            want.px.push_back(expand(s, t.samples, want.full));
        }
        EXPECT_TRUE(sameImage(want, ours(list.front().get())));
    }
}

TEST(TiffInterop, FilesWeWriteOpenInTheTools) {
    REQUIRE_PROGRAM(tiffcp());
    celtest::TempDir dir;
    auto* p8 = new CEL_PixmapRGBA8(31, 9);
    for (int i = 0; i < 31 * 9; ++i) {
        const uint8_t a = uint8_t(i * 37);
        p8->data()[i] = CEL_PixelRGBA8{uint8_t(i % (a + 1)), uint8_t((i * 3) % (a + 1)), uint8_t(a / 2), a};
    }
    const auto cel = celOf(p8);
    const QString file = dir.path(QStringLiteral("ours.tif"));
    ASSERT_TRUE(QxCelUioTiffHandler().write(cel.get(), file, QStringLiteral("TIF")));

    QByteArray info;
    ASSERT_TRUE(run(program("tiffinfo"), {file}, &info));
    EXPECT_TRUE(info.contains("assoc-alpha")) << info.toStdString();

    const TiffSamples t = tiffDecode(file, dir.path(QStringLiteral("scratch.tif")));
    ASSERT_EQ(t.samples, 4);
    ASSERT_EQ(t.bytes.size(), size_t(31 * 9 * 4));
    EXPECT_EQ(std::memcmp(t.bytes.data(), p8->data(), t.bytes.size()), 0);

    if (!oiiotool().isEmpty()) {
        // Associated alpha is the program's own convention: no conversion on the way.
        Image want = ours(p8);
        EXPECT_TRUE(sameImage(want, oiioDecode(file)));
    }
    if (!magick().isEmpty()) {
        QByteArray size;
        ASSERT_TRUE(run(magick(),
                        {file, QStringLiteral("-format"), QStringLiteral("%w %h"), QStringLiteral("info:")},
                        &size));
        EXPECT_EQ(size, QByteArray("31 9"));
    }
}
