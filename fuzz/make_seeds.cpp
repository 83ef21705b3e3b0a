// Writes the seed corpus of the fuzzers: fuzz_seeds OUTDIR lists the registered
// readers in OUTDIR/handlers.txt and fills OUTDIR/<ext>/ (the handler's
// lower-case main extension) with
// - the library's own writers' output, for every registered handler and each
//   of its option codes, at small and odd sizes (1 x 1, 2 x 3, 17 x 5,
//   65 x 63, 4096 x 1), flat, graded and noisy content;
// - hand-built files of the shapes our writers never produce, for the formats
//   known here (uncompressed and oriented TGA, verbatim SGI, PNG colour types
//   and bit depths with interlace and transparency, BMP palettes and run-length
//   data, progressive and grey JPEG, TIFF compressions, depths and orientations).
// A handler that lands gets its writers' files without a change here.
#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageWriter>
#include <cstdio>
#include <functional>
#include <memory>
#include <png.h>
#include <tiffio.h>
#include <vector>

#include "FuzzExercise.h"
#ifdef CELFUZZ_HAVE_MOVIES
#include "plugins/movie/FfmpegMovieDecoder.h"
#endif
#include "cel/Cel.h"
#include "celio/Manager.h"
#include "pixel/PixmapCanvas.h"

namespace {

QDir g_out;
int g_count = 0;

void save(const QString& format, const QString& name, const QByteArray& bytes) {
    g_out.mkpath(format);
    QFile f(g_out.filePath(format + QLatin1Char('/') + name));
    if (f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size()) ++g_count;
}

// ---------------------------------------------------------------- our writers

enum class Content { Flat, Graded, Noisy };

CEL_Cel* picture(int w, int h, Content content) {
    auto* p = new CEL_PixmapRGBA16(w, h);
    unsigned seed = unsigned(w * 31 + h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            seed = seed * 1103515245u + 12345u;
            int a = 32767, v = 9000;
            if (content == Content::Graded)
                a = (x * 32767) / std::max(1, w - 1), v = (y * 32767) / std::max(1, h);
            if (content == Content::Noisy) a = int(seed >> 17) & 32767, v = int(seed >> 9) & 32767;
            const auto c = [a](int value) { return int16_t(std::min(value, a)); };
            p->data()[size_t(y) * w + x] = CEL_PixelRGBA16{c(v), c(v / 2), c(32767 - v), int16_t(a)};
        }
    auto* cel = new CEL_Cel(p->getFormat());
    cel->addRepresentation(UT_SharedPtr<CEL_Representation>(p));
    return cel;
}

void writerSeeds(const QString& tmp) {
    const CELIO_Manager* manager = CELIO_Manager::getInstance();
    const int sizes[][2] = {{1, 1}, {2, 3}, {17, 5}, {65, 63}, {4096, 1}};
    for (const CELIO_Handler* h : celfuzz::handlers()) {
        if (h->getWriteExtensions().isEmpty()) continue;
        const QString name = celfuzz::nameOf(*h);
        QStringList codes = h->getWriteOptionCodes();
        if (codes.isEmpty()) codes << QString();
        for (const auto& s : sizes)
            for (Content content : {Content::Flat, Content::Graded, Content::Noisy}) {
                if (s[0] * s[1] == 1 && content != Content::Flat) continue;
                const UT_SharedPtr<CEL_Cel> cel(picture(s[0], s[1], content));
                for (const QString& code : codes) {
                    const QString path = tmp + QStringLiteral("/seed.") + h->getWriteExtensions().value(0);
                    QFile::remove(path);
                    try {
                        if (!manager->write(cel.get(), path, h->getExtensions().value(0), code)) continue;
                    } catch (int) {
                        continue;
                    }
                    QFile f(path);
                    if (!f.open(QIODevice::ReadOnly)) continue;
                    const QByteArray bytes = f.readAll();
                    if (bytes.isEmpty() || bytes.size() > 262144) continue;
                    save(name,
                         QStringLiteral("w%1x%2-%3-%4")
                             .arg(s[0])
                             .arg(s[1])
                             .arg(code.isEmpty() ? name : code)
                             .arg(int(content)),
                         bytes);
                }
            }
    }
}

// ---------------------------------------------------------------- hand-built

void le(QByteArray& b, int at, uint32_t v, int n) {
    for (int i = 0; i < n; ++i) b[at + i] = char(v >> (8 * i));
}
void be(QByteArray& b, int at, uint32_t v, int n) {
    for (int i = 0; i < n; ++i) b[at + i] = char(v >> (8 * (n - 1 - i)));
}
char pat(int i) {
    return char((i * 73 + i / 5) & 255);
}

void tgaSeeds() {
    // Uncompressed grey and colour in every orientation, an image ID, a run
    // packet crossing a row end.
    for (int type : {2, 3, 10, 11})
        for (int depth : {8, 24, 32})
            for (int descriptor : {0x00, 0x08, 0x10, 0x20, 0x28, 0x30}) {
                if ((type == 3 || type == 11) != (depth == 8)) continue;
                QByteArray b(18, '\0');
                b[0] = 3; // image ID
                b[2] = char(type), b[16] = char(depth), b[17] = char(descriptor);
                le(b, 12, 5, 2), le(b, 14, 3, 2);
                b += "ID!";
                const int bpp = depth / 8;
                if (type < 10) {
                    for (int i = 0; i < 15 * bpp; ++i) b += pat(i);
                } else {
                    b += char(0x80 | 6); // seven equal pixels, over the end of row 0
                    for (int i = 0; i < bpp; ++i) b += pat(i);
                    b += char(7); // eight literal pixels
                    for (int i = 0; i < 8 * bpp; ++i) b += pat(i + 9);
                }
                save(QStringLiteral("tga"),
                     QStringLiteral("hand-t%1-d%2-o%3").arg(type).arg(depth).arg(descriptor), b);
            }
}

void sgiSeeds() {
    // Verbatim files of each channel count and depth, and a run-length file
    // whose rows share their data.
    for (int bpc : {1, 2})
        for (int z : {1, 3, 4}) {
            QByteArray b(512, '\0');
            be(b, 0, 474, 2), b[2] = 0, b[3] = char(bpc), be(b, 4, z == 1 ? 2 : 3, 2);
            be(b, 6, 4, 2), be(b, 8, 3, 2), be(b, 10, uint32_t(z), 2), be(b, 16, 255, 4);
            for (int i = 0; i < 4 * 3 * z * bpc; ++i) b += pat(i);
            save(QStringLiteral("sgi"), QStringLiteral("hand-verbatim-%1-%2").arg(bpc).arg(z), b);
        }
    QByteArray b(512 + 2 * 4 * 3, '\0');
    be(b, 0, 474, 2), b[2] = 1, b[3] = 1, be(b, 4, 2, 2), be(b, 6, 6, 2), be(b, 8, 3, 2), be(b, 10, 1, 2);
    for (int row = 0; row < 3; ++row) be(b, 512 + 4 * row, uint32_t(b.size()), 4), be(b, 524 + 4 * row, 6, 4);
    b += QByteArray("\x83\x01\x02\x03\x03\x09\x00", 7);
    save(QStringLiteral("sgi"), QStringLiteral("hand-rle-shared-rows"), b);
}

void pngWrite(png_structp png, png_bytep data, size_t n) {
    static_cast<QByteArray*>(png_get_io_ptr(png))->append(reinterpret_cast<const char*>(data), qsizetype(n));
}
void pngFlush(png_structp) {}

QByteArray pngFile(int w, int h, int depth, int colorType, bool interlace, bool trns) {
    // Everything with a destructor is made before libpng may jump back here.
    const int channels = colorType == PNG_COLOR_TYPE_RGB          ? 3
                         : colorType == PNG_COLOR_TYPE_RGB_ALPHA  ? 4
                         : colorType == PNG_COLOR_TYPE_GRAY_ALPHA ? 2
                                                                  : 1;
    const size_t rowBytes = (size_t(w) * channels * depth + 7) / 8;
    std::vector<png_byte> rows(rowBytes * h);
    for (size_t i = 0; i < rows.size(); ++i)
        rows[i] = png_byte(colorType != PNG_COLOR_TYPE_PALETTE ? pat(int(i))
                           : depth == 8                        ? i % 4
                                                               : (i % 2 ? 0x01 : 0x23));
    std::vector<png_bytep> pointers(static_cast<size_t>(h));
    for (int y = 0; y < h; ++y) pointers[size_t(y)] = rows.data() + rowBytes * y;
    QByteArray out;
    png_color palette[4] = {{0, 0, 0}, {255, 0, 0}, {0, 255, 0}, {10, 20, 30}};
    png_byte alpha[2] = {0, 128};
    png_color_16 key{};
    key.gray = key.red = 1;

    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return QByteArray();
    }
    png_set_write_fn(png, &out, pngWrite, pngFlush);
    png_set_IHDR(png, info, png_uint_32(w), png_uint_32(h), depth, colorType,
                 interlace ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    if (colorType == PNG_COLOR_TYPE_PALETTE) {
        png_set_PLTE(png, info, palette, std::min(4, 1 << depth));
        if (trns) png_set_tRNS(png, info, alpha, 2, nullptr);
    } else if (trns) {
        png_set_tRNS(png, info, nullptr, 0, &key);
    }
    png_write_info(png, info);
    png_write_image(png, pointers.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return out;
}

void pngSeeds() {
    const struct {
        int type;
        std::vector<int> depths;
    } kinds[] = {{PNG_COLOR_TYPE_GRAY, {1, 2, 4, 8, 16}},
                 {PNG_COLOR_TYPE_PALETTE, {1, 2, 4, 8}},
                 {PNG_COLOR_TYPE_RGB, {8, 16}},
                 {PNG_COLOR_TYPE_GRAY_ALPHA, {8, 16}},
                 {PNG_COLOR_TYPE_RGB_ALPHA, {8, 16}}};
    for (const auto& k : kinds)
        for (int depth : k.depths)
            for (bool interlace : {false, true})
                for (bool trns : {false, true}) {
                    if (trns && (k.type & PNG_COLOR_MASK_ALPHA)) continue;
                    const QByteArray b = pngFile(9, 7, depth, k.type, interlace, trns);
                    if (!b.isEmpty())
                        save(QStringLiteral("png"),
                             QStringLiteral("hand-c%1-d%2-i%3-t%4")
                                 .arg(k.type)
                                 .arg(depth)
                                 .arg(interlace)
                                 .arg(trns),
                             b);
                }
}

QByteArray qtFile(const QImage& image, const char* format,
                  const std::function<void(QImageWriter&)>& set = {}) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    if (set) set(writer);
    return writer.write(image) ? bytes : QByteArray();
}

QImage sampleImage(int w, int h, QImage::Format format) {
    QImage image(w, h, QImage::Format_ARGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) image.setPixel(x, y, qRgba(x * 20, y * 30, (x ^ y) * 9, 255 - x * 5));
    return image.convertToFormat(format);
}

void jpegSeeds() {
    for (QImage::Format f : {QImage::Format_RGB32, QImage::Format_Grayscale8})
        for (int quality : {5, 75, 100})
            for (bool progressive : {false, true}) {
                const QByteArray b = qtFile(sampleImage(19, 13, f), "JPEG", [&](QImageWriter& w) {
                    w.setQuality(quality);
                    w.setProgressiveScanWrite(progressive);
                    w.setOptimizedWrite(progressive);
                });
                if (!b.isEmpty())
                    save(QStringLiteral("jpg"),
                         QStringLiteral("hand-f%1-q%2-p%3").arg(int(f)).arg(quality).arg(progressive), b);
            }
}

// A BMP of an 8-bit (or 4-bit) palette image, run-length coded or not.
QByteArray bmpPalette(int bits, int compression, const QByteArray& data, int w, int h) {
    QByteArray b(14 + 40 + 4 * 4, '\0');
    b[0] = 'B', b[1] = 'M';
    le(b, 2, uint32_t(b.size() + data.size()), 4), le(b, 10, uint32_t(b.size()), 4);
    le(b, 14, 40, 4), le(b, 18, uint32_t(w), 4), le(b, 22, uint32_t(h), 4), le(b, 26, 1, 2),
        le(b, 28, uint32_t(bits), 2);
    le(b, 30, uint32_t(compression), 4), le(b, 34, uint32_t(data.size()), 4), le(b, 46, 4, 4);
    for (int i = 0; i < 16; ++i) b[54 + i] = pat(i);
    return b + data;
}

void bmpSeeds() {
    // Run-length data with runs, an absolute run, a delta, line ends and the end mark.
    save(QStringLiteral("bmp"), QStringLiteral("hand-rle8"),
         bmpPalette(
             8, 1, QByteArray("\x04\x01\x00\x03\x02\x03\x01\x00\x00\x00\x00\x02\x01\x01\x02\x02\x00\x01", 18),
             7, 4));
    save(QStringLiteral("bmp"), QStringLiteral("hand-rle4"),
         bmpPalette(4, 2, QByteArray("\x05\x12\x00\x00\x00\x03\x12\x30\x00\x00\x06\x21\x00\x01", 14), 6, 3));
    save(QStringLiteral("bmp"), QStringLiteral("hand-pal8"), bmpPalette(8, 0, QByteArray(16, '\x02'), 3, 4));
    save(QStringLiteral("bmp"), QStringLiteral("hand-pal8-topdown"),
         bmpPalette(8, 0, QByteArray(16, '\x01'), 3, -4));
    for (QImage::Format f : {QImage::Format_Mono, QImage::Format_Indexed8, QImage::Format_RGB888,
                             QImage::Format_ARGB32, QImage::Format_RGB16})
        save(QStringLiteral("bmp"), QStringLiteral("hand-qt-f%1").arg(int(f)),
             qtFile(sampleImage(11, 6, f), "BMP"));
    // The old core header: 16-bit sizes.
    QByteArray core(14 + 12, '\0');
    core[0] = 'B', core[1] = 'M';
    le(core, 10, 26 + 6, 4), le(core, 14, 12, 4), le(core, 18, 2, 2), le(core, 20, 2, 2), le(core, 22, 1, 2),
        le(core, 24, 24, 2);
    core += QByteArray(6, '\0') +
            QByteArray("\x01\x02\x03\x04\x05\x06\x00\x00\x07\x08\x09\x0a\x0b\x0c\x00\x00", 16);
    save(QStringLiteral("bmp"), QStringLiteral("hand-core"), core);
}

void tiffSeeds(const QString& tmp) {
    const QString path = tmp + QStringLiteral("/seed-hand.tif");
    const struct {
        int bits, samples, photometric, compression, rowsPerStrip;
        bool tiled;
    } shapes[] = {
        {8, 3, PHOTOMETRIC_RGB, COMPRESSION_NONE, 2, false},
        {8, 4, PHOTOMETRIC_RGB, COMPRESSION_LZW, 3, false},
        {8, 4, PHOTOMETRIC_RGB, COMPRESSION_ADOBE_DEFLATE, 8, false},
        {8, 3, PHOTOMETRIC_RGB, COMPRESSION_PACKBITS, 1, false},
        {8, 3, PHOTOMETRIC_MINISWHITE, COMPRESSION_NONE, 4, false},
        {16, 3, PHOTOMETRIC_RGB, COMPRESSION_NONE, 5, false},
        {16, 4, PHOTOMETRIC_RGB, COMPRESSION_LZW, 2, false},
        {32, 1, PHOTOMETRIC_MINISBLACK, COMPRESSION_NONE, 3, false},
        {8, 3, PHOTOMETRIC_RGB, COMPRESSION_JPEG, 8, false},
        {8, 4, PHOTOMETRIC_RGB, COMPRESSION_NONE, 0, true},
        {8, 1, PHOTOMETRIC_MINISBLACK, COMPRESSION_NONE, 8, false},
    };
    int n = 0;
    for (const auto& s : shapes) {
        TIFF* tif = TIFFOpen(QFile::encodeName(path).constData(), "w");
        if (!tif) continue;
        const uint32_t w = 16, h = 9;
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, w);
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, h);
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, s.bits);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, s.samples);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, s.photometric);
        TIFFSetField(tif, TIFFTAG_COMPRESSION, s.compression);
        TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        if (s.bits == 32) TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_IEEEFP);
        if (s.samples == 4) {
            const uint16_t extra = EXTRASAMPLE_ASSOCALPHA;
            TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &extra);
        }
        const size_t rowBytes = size_t(w) * s.samples * s.bits / 8;
        std::vector<uint8_t> data(rowBytes * h);
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = uint8_t(s.bits == 32 ? (i % 4 == 3 ? 0x3f : 0) : pat(int(i)));
        bool ok = true;
        if (s.tiled) {
            TIFFSetField(tif, TIFFTAG_TILEWIDTH, 16);
            TIFFSetField(tif, TIFFTAG_TILELENGTH, 16);
            std::vector<uint8_t> tile(16 * 16 * s.samples * s.bits / 8);
            std::copy(data.begin(), data.end(), tile.begin());
            ok = TIFFWriteEncodedTile(tif, 0, tile.data(), tmsize_t(tile.size())) >= 0;
        } else {
            TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, s.rowsPerStrip);
            for (uint32_t y = 0; y < h && ok; ++y)
                ok = TIFFWriteScanline(tif, data.data() + rowBytes * y, y) >= 0;
        }
        TIFFClose(tif);
        QFile f(path);
        if (ok && f.open(QIODevice::ReadOnly))
            save(QStringLiteral("tif"), QStringLiteral("hand-%1").arg(n++), f.readAll());
    }
}

#ifdef CELFUZZ_HAVE_MOVIES
// Small movies (16 x 16, 4 frames) encoded through the plug-in: PNG and H.264
// with B-frames in MOV and MP4, all read by the movie slice as MOV/MP4.
void movieSeeds(const QString& tmp) {
    std::vector<std::unique_ptr<CEL_PixmapRGBA8>> frames;
    std::vector<const CEL_PixmapRGBA8*> pointers;
    for (int n = 0; n < 4; ++n) {
        frames.push_back(std::make_unique<CEL_PixmapRGBA8>(16, 16));
        for (int i = 0; i < 256; ++i)
            frames.back()->data()[i] = CEL_PixelRGBA8{uint8_t(i), uint8_t(n * 60), uint8_t(255 - i), 255};
        pointers.push_back(frames.back().get());
    }
    int n = 0;
    for (const char* codec : {"png", "h264"})
        for (const char* container : {"mov", "mp4"}) {
            const QString path = tmp + QStringLiteral("/movie.") + QLatin1String(container);
            QString error;
            QFile f(path);
            if (MOV_encodeFfmpegMovie(path, pointers, 24, QLatin1String(codec), 2, error) &&
                f.open(QIODevice::ReadOnly))
                save(QStringLiteral("mov"), QStringLiteral("enc-%1").arg(n++), f.readAll());
        }
}
#endif

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_seeds OUTDIR\n");
        return 2;
    }
    celfuzz::setUp();
    CEL_Pixmap::setMaxPixmapBytes(0);
    g_out = QDir(QString::fromLocal8Bit(argv[1]));
    if (!g_out.mkpath(QStringLiteral("."))) return 1;
    const QString tmp = g_out.filePath(QStringLiteral(".tmp"));
    QDir().mkpath(tmp);
    // Every registered reader gets a folder (its slice), listed in handlers.txt.
    QFile list(g_out.filePath(QStringLiteral("handlers.txt")));
    if (!list.open(QIODevice::WriteOnly)) return 1;
    for (const CELIO_Handler* h : celfuzz::handlers()) {
        g_out.mkpath(celfuzz::nameOf(*h));
        list.write(celfuzz::nameOf(*h).toUtf8() + '\n');
    }
    list.close();
    writerSeeds(tmp);
    TIFFSetErrorHandler(nullptr);
    TIFFSetWarningHandler(nullptr);
    tgaSeeds();
    sgiSeeds();
    pngSeeds();
    jpegSeeds();
    bmpSeeds();
    tiffSeeds(tmp);
#ifdef CELFUZZ_HAVE_MOVIES
    movieSeeds(tmp);
#endif
    QDir(tmp).removeRecursively();
    std::printf("fuzz_seeds: %d files in %s\n", g_count, argv[1]);
    return 0;
}
