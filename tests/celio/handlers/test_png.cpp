// PNG reading: every colour type, depth, transparency and interlacing against
// a reference mapping written here; the header query and lying headers.
// PNG writing against the rules of the writers it replaced: every file written
// decodes, with libpng, ImageMagick and libvips, to the samples and colour type
// of the rule. Then the encoder's own parts: each filter at each pixel size,
// both strategies, the bytes at any thread count, a failed write, a refused code.
// oneTBB first: Qt defines a macro that one of its members is named after.
#include <tbb/task_arena.h>

#include <QFile>
#include <QFileInfo>
#include <csetjmp>
#include <cstdio>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <png.h>
#include <random>
#include <vector>
#include <zlib.h>

#include "HandlerTestUtil.h"
#include "algo/composite/CompositeDetail.h"
#include "base/Message.h"
#include "cel/Context.h"
#include "celio/handlers/PngEncodeDetail.h"
#include "celio/handlers/PngHandler.h"
#include "support/TestSupport.h"

namespace {

namespace png = celio_detail::png;

// A PNG described sample by sample (palette files: the index), encoded with libpng.
struct Src {
    int w = 13, h = 11; // odd: partial bytes and every interlace pass
    int type = 2, depth = 8;
    bool interlace = false, trns = false;
    std::vector<uint16_t> s;
    std::vector<png_color> palette;
    std::vector<uint8_t> alpha; // palette transparency
    png_color_16 key{};         // grey or RGB transparency key
    int channels() const { return type == 4 ? 2 : type == 2 ? 3 : type == 6 ? 4 : 1; }
};

Src makeSrc(int type, int depth, bool interlace, bool trns, unsigned seed) {
    Src src;
    src.type = type, src.depth = depth, src.interlace = interlace, src.trns = trns;
    std::mt19937 rng(seed);
    const uint16_t top = uint16_t((1 << depth) - 1);
    src.s.resize(size_t(src.w) * src.h * src.channels());
    for (uint16_t& v : src.s) v = uint16_t(rng() % (top + 1u));
    src.s.front() = 0, src.s.back() = top;
    for (int i = 0; type == 3 && i <= top; ++i)
        src.palette.push_back({uint8_t(rng()), uint8_t(rng()), uint8_t(rng())});
    for (int i = 0; type == 3 && trns && i < std::min<int>(top, 5); ++i) src.alpha.push_back(uint8_t(i * 60));
    src.key.gray = src.key.red = src.s[0]; // a key that occurs: the first pixel
    if (type == 2) src.key.green = src.s[1], src.key.blue = src.s[2];
    return src;
}

// Runs body with libpng's error jump set here: false when libpng gave up.
bool guarded(png_structp png, const std::function<void()>& body) {
    if (setjmp(png_jmpbuf(png))) return false;
    body();
    return true;
}

QByteArray encode(const Src& s) {
    const size_t n = size_t(s.w) * s.channels(), rowBytes = (n * s.depth + 7) / 8;
    std::vector<uint8_t> data(rowBytes * s.h, 0);
    std::vector<png_bytep> rows(s.h);
    for (int y = 0; y < s.h; ++y) {
        uint8_t* row = rows[y] = data.data() + y * rowBytes;
        for (size_t i = 0; i < n; ++i) {
            const uint16_t v = s.s[y * n + i];
            if (s.depth == 16)
                row[2 * i] = uint8_t(v >> 8), row[2 * i + 1] = uint8_t(v);
            else
                row[i * s.depth / 8] |= uint8_t(v << (8 - s.depth - i * s.depth % 8));
        }
    }
    QByteArray out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    const bool ok = guarded(png, [&] {
        png_set_write_fn(
            png, &out,
            [](png_structp p, png_bytep d, size_t size) {
                static_cast<QByteArray*>(png_get_io_ptr(p))
                    ->append(reinterpret_cast<const char*>(d), qsizetype(size));
            },
            [](png_structp) {});
        png_set_IHDR(png, info, png_uint_32(s.w), png_uint_32(s.h), s.depth, s.type,
                     s.interlace ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, 0, 0);
        if (s.type == 3) png_set_PLTE(png, info, s.palette.data(), int(s.palette.size()));
        png_color_16 key = s.key;
        if (s.trns)
            png_set_tRNS(png, info, s.alpha.data(), int(s.alpha.size()), s.type == 3 ? nullptr : &key);
        png_write_info(png, info);
        png_write_image(png, rows.data());
        png_write_end(png, nullptr);
    });
    png_destroy_write_struct(&png, &info);
    return ok ? out : QByteArray();
}

// The expected pixel: 8-bit files in 0..255, 16-bit files as v * 32767 / 65535.
CEL_PixelRGBA16 expected(const Src& s, int i) {
    const uint16_t* v = &s.s[size_t(i) * s.channels()];
    const uint16_t full = uint16_t((1 << std::max(s.depth, 8)) - 1);
    uint16_t r = v[0], g = v[0], b = v[0], a = full;
    if (s.type == 0 && s.depth < 8) r = g = b = uint16_t(v[0] * 255 / ((1 << s.depth) - 1));
    if (s.type == 0 && s.trns && v[0] == s.key.gray) a = 0;
    if (s.type == 0 && s.depth == 1) r = g = b = uint16_t(255 - r); // black and white exchanged
    if (s.type == 4) a = v[1];
    if (s.type == 2 || s.type == 6) g = v[1], b = v[2];
    if (s.type == 2 && s.trns && r == s.key.red && g == s.key.green && b == s.key.blue) a = 0;
    if (s.type == 6) a = v[3];
    if (s.type == 3) {
        const png_color c = s.palette[v[0]];
        r = c.red, g = c.green, b = c.blue, a = v[0] < s.alpha.size() ? s.alpha[v[0]] : 255;
    }
    const auto m = [&](uint16_t x) { return int16_t(s.depth == 16 ? x * 32767u / 65535u : x); };
    return {m(r), m(g), m(b), m(a)};
}

// Pixel i of a decoded pixmap of either depth, in the terms of expected().
CEL_PixelRGBA16 pixelOf(const CEL_Representation* rep, int i) {
    if (const auto* p = dynamic_cast<const CEL_PixmapRGBA16*>(rep)) return p->data()[i];
    const CEL_PixelRGBA8 p = dynamic_cast<const CEL_PixmapRGBA8*>(rep)->data()[i];
    return {p.r, p.g, p.b, p.a};
}

std::unique_ptr<CEL_Representation> decode(const celtest::TempDir& dir, const QByteArray& bytes) {
    const QString path = dir.path(QStringLiteral("in.png"));
    celtest::writeFile(path, bytes);
    return std::unique_ptr<CEL_Representation>(QXCelUioPngHandler().read(path));
}

CEL_PixelRGBA16 premultiplied(int r, int g, int b, int a) {
    const auto m = [a](int c) { return int16_t(int64_t(c) * a / 32767); };
    return {m(r), m(g), m(b), int16_t(a)};
}

// Cel artwork: flat discs with antialiased edges, one of them translucent, over
// transparency, and the values the rules treat apart: a tone pixel (negative),
// additive light (colour without alpha), full scale, colour above alpha.
CEL_PixmapRGBA16* celPicture(int w, int h, unsigned seed) {
    auto* p = new CEL_PixmapRGBA16(w, h);
    std::mt19937 rng(seed);
    for (int d = 0; d < 4; ++d) {
        const double cx = rng() % (w + 1), cy = rng() % (h + 1),
                     radius = 1.5 + rng() % (1 + std::max(w, h) / 3);
        const int r = int(rng() % 32768), g = int(rng() % 32768), b = int(rng() % 32768);
        const double opacity = d == 3 ? 0.45 : 1.0;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const double cover =
                    std::clamp(radius + 0.5 - std::hypot(x + 0.5 - cx, y + 0.5 - cy), 0.0, 1.0);
                if (cover > 0) p->data()[y * w + x] = premultiplied(r, g, b, int(cover * opacity * 32767));
            }
    }
    const CEL_PixelRGBA16 special[] = {
        {-200, 300, 0, -16000}, {9000, 4000, 20, 0}, {32767, 32767, 32767, 32767}, {3000, -5, 2000, 1000}};
    for (int i = 0; i < 4 && i < w * h; ++i) p->data()[(size_t(i) * 7919) % (size_t(w) * h)] = special[i];
    if (w * h == 1) p->data()[0] = CEL_PixelRGBA16{12000, 7000, 300, 20000};
    return p;
}

// Photo-like: opaque, every sample different from its neighbours, not the image
// of an 8-bit value.
CEL_PixmapRGBA16* photoPicture(int w, int h, unsigned seed) {
    auto* p = new CEL_PixmapRGBA16(w, h);
    std::mt19937 rng(seed);
    for (int i = 0; i < w * h; ++i) {
        const int x = i % w, y = i / w;
        const auto v = [&](int k) {
            return int16_t(std::clamp(16000 + 9000 * std::sin(0.05 * x + k) + 7000 * std::cos(0.07 * y - k) +
                                          int(rng() % 3000) - 1500,
                                      0.0, 32767.0));
        };
        p->data()[i] = CEL_PixelRGBA16{v(0), v(1), v(2), 32767};
    }
    return p;
}

// A cel holding the 16-bit pixmap, or only its 8-bit conversion.
UT_SharedPtr<CEL_Cel> celOf(const CEL_PixmapRGBA16& p, bool eightBit) {
    if (eightBit) return celtest::celOf(new CEL_PixmapRGBA8(p));
    return celtest::celOf(p.clone());
}

struct Decoded {
    int width = 0, height = 0, channels = 0, depth = 0;
    std::vector<uint16_t> samples; // as stored, top row first
    bool operator==(const Decoded&) const = default;
};

// What the former writers stored for a code. 8 bits: s >> 7 of the clamped
// samples, RGB unless "PNG4" un-premultiplies by the largest channel m (then
// RGBA if any m is below full scale). 16 bits: s * 65535 / 32767.
Decoded reference(CEL_Cel* cel, const QByteArray& code) {
    const UT_SharedPtr<CEL_Representation> rep = cel->convertTo(CEL_Representation::PIXMAP_RGBA16);
    const auto* p = dynamic_cast<const CEL_PixmapRGBA16*>(rep.get());
    const bool deep = code.contains("DP"), four = code.endsWith('4');
    Decoded d{p->width(), p->height(), 3 + (deep && four), deep ? 16 : 8, {}};
    std::vector<uint16_t> all;
    for (int i = 0; i < p->width() * p->height(); ++i) {
        const CEL_PixelRGBA16 v = p->data()[i];
        int s[4] = {std::max<int>(v.r, 0), std::max<int>(v.g, 0), std::max<int>(v.b, 0),
                    std::max<int>(v.a, 0)};
        if (!deep && four) {
            const int m = *std::max_element(s, s + 4);
            for (int k = 0; k < 3 && m != 0 && m != 32767; ++k) s[k] = std::min(s[k] * 32767 / m, 32767);
            s[3] = m;
            d.channels = m != 32767 ? 4 : d.channels;
        }
        for (const int x : s)
            all.push_back(deep ? uint16_t(uint32_t(x) * 65535u / 32767u) : uint16_t(x >> 7));
    }
    for (size_t i = 0; i < all.size(); ++i)
        if (d.channels == 4 || i % 4 != 3) d.samples.push_back(all[i]);
    return d;
}

// libpng with no transformation: the samples as the file stores them.
Decoded libpngDecode(const QString& path) {
    Decoded d;
    FILE* file = std::fopen(QFile::encodeName(path).constData(), "rb");
    if (!file) return d;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    const bool ok = guarded(png, [&] {
        png_init_io(png, file);
        png_read_info(png, info);
        d.width = int(png_get_image_width(png, info));
        d.height = int(png_get_image_height(png, info));
        d.channels = png_get_channels(png, info);
        d.depth = png_get_bit_depth(png, info);
        std::vector<uint8_t> row(png_get_rowbytes(png, info));
        for (int y = 0; y < d.height; ++y) {
            png_read_row(png, row.data(), nullptr);
            for (size_t i = 0; i < size_t(d.width) * d.channels; ++i)
                d.samples.push_back(d.depth == 16 ? uint16_t(row[2 * i] << 8 | row[2 * i + 1]) : row[i]);
        }
        png_read_end(png, nullptr);
    });
    if (!ok) d = Decoded{};
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(file);
    return d;
}

using celtest::program;
using celtest::run;

// Samples of `shape`'s layout decoded by another program, from its raw output
// (big-endian for ImageMagick, the machine's order for libvips).
Decoded fromRaw(const QByteArray& raw, const Decoded& shape, bool bigEndian) {
    Decoded d = shape;
    d.samples.clear();
    const auto* b = reinterpret_cast<const uint8_t*>(raw.constData());
    const int bytes = shape.depth / 8;
    for (qsizetype i = 0; i + bytes <= raw.size(); i += bytes)
        d.samples.push_back(bytes == 1  ? b[i]
                            : bigEndian ? uint16_t(b[i] << 8 | b[i + 1])
                                        : uint16_t(b[i + 1] << 8 | b[i]));
    return d;
}

Decoded magickDecode(const QString& path, const Decoded& shape) {
    QByteArray raw;
    const QString layout = shape.channels == 4 ? QStringLiteral("rgba:-") : QStringLiteral("rgb:-");
    run(program("convert"), {path, "-depth", QString::number(shape.depth), "-endian", "MSB", layout}, &raw);
    return fromRaw(raw, shape, true);
}

Decoded vipsDecode(const QString& path, const Decoded& shape) {
    const QString out = path + QStringLiteral(".raw");
    run(program("vips"), {"rawsave", path, out});
    return fromRaw(celtest::readFile(out), shape, false);
}

void putU32(QByteArray& b, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.append(char(v >> s));
}

QByteArray chunk(const char* type, const QByteArray& data) {
    QByteArray c;
    putU32(c, uint32_t(data.size()));
    c.append(type, 4).append(data);
    putU32(c, uint32_t(crc32(0, reinterpret_cast<const Bytef*>(c.constData() + 4), uInt(data.size() + 4))));
    return c;
}

struct Rows {
    std::vector<uint8_t> bytes;
    size_t rowBytes;
};

void rowsSource(const void* context, uint32_t y, uint8_t* out) {
    const auto* r = static_cast<const Rows*>(context);
    std::copy_n(r->bytes.begin() + ptrdiff_t(y * r->rowBytes), r->rowBytes, out);
}

// Writes `image` through writeImageData between a header and an end chunk.
bool encodeFile(const QString& path, const png::Image& image, const png::Plan& plan) {
    QByteArray head("\x89PNG\r\n\x1a\n", 8), ihdr;
    putU32(ihdr, image.width);
    putU32(ihdr, image.height);
    ihdr.append(char(image.bitDepth)).append(char(image.channels == 4 ? 6 : 2)).append(3, '\0');
    head += chunk("IHDR", ihdr);
    FILE* file = std::fopen(QFile::encodeName(path).constData(), "wb");
    if (!file) return false;
    bool ok = std::fwrite(head.constData(), 1, size_t(head.size()), file) == size_t(head.size()) &&
              png::writeImageData(image, plan, file);
    const QByteArray end = chunk("IEND", {});
    ok = std::fwrite(end.constData(), 1, size_t(end.size()), file) == size_t(end.size()) && ok;
    return std::fclose(file) == 0 && ok;
}

int idatCount(const QByteArray& file) {
    int n = 0;
    for (qsizetype at = file.indexOf("IDAT"); at >= 0; at = file.indexOf("IDAT", at + 4)) ++n;
    return n;
}

} // namespace

// Both contents at odd sizes, every code, 16-bit and 8-bit-only cels: the same
// samples and colour type as the reference, for every decoder.
TEST(PngWriteEquivalence, EveryCodeSizeAndContentDecodesToTheReference) {
    const bool magick = !program("convert").isEmpty(), vips = !program("vips").isEmpty();
    celtest::TempDir dir;
    const int sizes[][2] = {{1, 1}, {65, 63}, {4097, 3}};
    int file = 0;
    for (const auto& size : sizes)
        for (int content = 0; content < 2; ++content) {
            const std::unique_ptr<CEL_PixmapRGBA16> picture(content == 0 ? celPicture(size[0], size[1], 5)
                                                                         : photoPicture(size[0], size[1], 6));
            for (const char* code : {"PNG", "PNG4", "PNGDP3", "PNGDP4"})
                for (const bool eightBit : {false, true}) {
                    if (code[3] == 'D' && eightBit) continue; // the 16-bit writer converts as before
                    SCOPED_TRACE(testing::Message() << size[0] << "x" << size[1] << " content " << content
                                                    << " " << code << (eightBit ? " from 8-bit" : ""));
                    const QString ours = dir.path(QStringLiteral("ours%1.png").arg(file++));
                    ASSERT_TRUE(QXCelUioPngHandler().write(celOf(*picture, eightBit).get(), ours,
                                                           QString::fromLatin1(code)));
                    const Decoded want = reference(celOf(*picture, eightBit).get(), code),
                                  got = libpngDecode(ours);
                    ASSERT_EQ(want.width, size[0]);
                    EXPECT_TRUE(got == want) << "libpng";
                    if (magick) {
                        EXPECT_TRUE(magickDecode(ours, want) == want) << "ImageMagick";
                    }
                    if (vips) {
                        EXPECT_TRUE(vipsDecode(ours, want) == want) << "libvips";
                    }
                }
        }
    if (!magick || !vips) GTEST_SKIP() << "ImageMagick or libvips missing: libpng only";
}

// The un-premultiplication at every largest channel m and colour c: 16-bit
// pixmaps through the double-precision quotient, 8-bit ones through the table.
TEST(PngWriteEquivalence, UnpremultiplyAtEveryLargestChannel) {
    celtest::TempDir dir;
    auto* deep = new CEL_PixmapRGBA16(256, 256);
    std::mt19937 rng(11);
    for (int i = 0; i < 256 * 256; ++i) {
        const int m = 1 + i % 32766, c = int(rng() % uint32_t(m + 1));
        // The largest channel is alpha, or a colour (additive light above alpha).
        deep->data()[i] = i % 3 == 0
                              ? CEL_PixelRGBA16{int16_t(c), int16_t(m), int16_t(m - 1), int16_t(c / 2)}
                              : CEL_PixelRGBA16{int16_t(c), int16_t(m / 3), int16_t(m - 1), int16_t(m)};
    }
    auto* eight = new CEL_PixmapRGBA8(256, 256);
    for (int i = 0; i < 256 * 256; ++i) {
        const uint8_t m = uint8_t(i >> 8), c = uint8_t(i & 255);
        eight->data()[i] = c <= m ? CEL_PixelRGBA8{c, uint8_t(c / 2), uint8_t(m - c), m}
                                  : CEL_PixelRGBA8{m, c, uint8_t(c / 3), uint8_t(m / 2)};
    }
    for (const UT_SharedPtr<CEL_Cel>& cel : {celtest::celOf(deep), celtest::celOf(eight)}) {
        const QString ours = dir.path(QStringLiteral("ours.png"));
        ASSERT_TRUE(QXCelUioPngHandler().write(cel.get(), ours, QStringLiteral("PNG4")));
        const Decoded want = reference(cel.get(), "PNG4");
        EXPECT_EQ(want.channels, 4);
        EXPECT_TRUE(libpngDecode(ours) == want);
    }
}

// Every filter on rows of every pixel size, with both strategies and bands of a
// few rows: libpng gets the rows back. The picture mixes runs, gradients and
// noise so that each filter meets large and small residuals.
TEST(PngEncoder, EachFilterAndStrategyAtEachPixelSize) {
    celtest::TempDir dir;
    std::mt19937 rng(3);
    for (const auto& [depth, channels] : {std::pair{8, 3}, {8, 4}, {16, 3}, {16, 4}}) {
        png::Image image;
        image.width = 37;
        image.height = 29;
        image.bitDepth = depth;
        image.channels = channels;
        Rows rows{{}, image.rowBytes()};
        for (uint32_t y = 0; y < image.height; ++y)
            for (size_t i = 0; i < rows.rowBytes; ++i)
                rows.bytes.push_back(y % 5 == 0   ? uint8_t(rng())
                                     : y % 5 == 1 ? uint8_t(i * 3 + y)
                                     : y % 5 == 2 ? uint8_t(i / 16 * 40)
                                                  : uint8_t(255 - i % 7 * 30 + rng() % 3));
        image.row = rowsSource;
        image.context = &rows;
        for (const int filter : {-1, 0, 1, 2, 3, 4})
            for (const int strategy : {Z_DEFAULT_STRATEGY, Z_RLE}) {
                SCOPED_TRACE(testing::Message() << depth << "-bit " << channels << " channels, filter "
                                                << filter << " strategy " << strategy);
                png::Plan plan = png::planFor(image);
                plan.filter = filter, plan.strategy = strategy, plan.rowsPerBand = 4;
                const QString path = dir.path(QStringLiteral("f.png"));
                ASSERT_TRUE(encodeFile(path, image, plan));
                EXPECT_EQ(idatCount(celtest::readFile(path)), 8); // one chunk per band
                const Decoded d = libpngDecode(path);
                ASSERT_EQ(d.samples.size(), rows.bytes.size() / (depth / 8));
                for (size_t i = 0; i < d.samples.size(); ++i)
                    ASSERT_EQ(d.samples[i], depth == 8
                                                ? rows.bytes[i]
                                                : uint16_t(rows.bytes[2 * i] << 8 | rows.bytes[2 * i + 1]))
                        << i;
            }
    }
}

// Bands are fixed by the picture: the same bytes on one thread, two, eight and
// serially, for both writers, with the plans of flat artwork (large bands, long
// matches) and of a photograph; and libpng gets the picture back.
TEST(PngWriteThreads, SameBytesAtAnyThreadCount) {
    celtest::TempDir dir;
    const std::unique_ptr<CEL_PixmapRGBA16> cel(celPicture(2400, 2400, 8)), photo(photoPicture(1300, 900, 8));
    for (const auto& run : {std::pair{"PNG4", true}, {"PNG4", false}, {"PNGDP4", false}})
        for (const CEL_PixmapRGBA16* picture : {cel.get(), photo.get()}) {
            // Named copies: clang 14 lets no lambda capture a structured binding.
            const char* const code = run.first;
            const bool eightBit = run.second;
            QByteArray first;
            for (const int threads : {1, 2, 8, 0}) {
                SCOPED_TRACE(testing::Message()
                             << code << (eightBit ? " from 8-bit, " : ", ") << threads << " threads");
                const QString path = dir.path(QStringLiteral("t%1.png").arg(threads));
                tbb::task_arena arena(std::max(threads, 1));
                CelAlgo::detail::setSerialForTesting(threads == 0);
                bool ok = false;
                arena.execute(
                    [&] { ok = QXCelUioPngHandler().write(celOf(*picture, eightBit).get(), path, code); });
                CelAlgo::detail::setSerialForTesting(false);
                ASSERT_TRUE(ok);
                const QByteArray bytes = celtest::readFile(path);
                if (first.isEmpty()) { // flat artwork: long matches that must survive each band's reset
                    first = bytes;
                    EXPECT_GT(idatCount(bytes), 2);
                    EXPECT_TRUE(libpngDecode(path) == reference(celOf(*picture, eightBit).get(), code));
                }
                EXPECT_TRUE(bytes == first);
            }
        }
}

// Straight 8-bit cel artwork of 2048 x 1100 (just over the 8 MiB the write-ahead
// needs): transparent, with antialiased discs, one translucent; with
// `noisyBelow`, translucent noise from row 400 on (the guess sees 137 rows).
CEL_PixmapRGBA8* straightPicture(bool noisyBelow) {
    constexpr int w = 2048, h = 1100;
    auto* p = new CEL_PixmapRGBA8(w, h);
    const struct {
        double cx, cy, radius;
        CEL_PixelRGBA8 colour;
    } discs[] = {{500, 200, 180, {214, 64, 40, 255}},
                 {1300, 600, 420, {40, 120, 200, 255}},
                 {900, 700, 300, {250, 210, 60, 115}}};
    std::mt19937 rng(3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            CEL_PixelRGBA8& v = p->data()[size_t(y) * w + x];
            const uint32_t r = rng();
            v = noisyBelow && y >= 400 ? CEL_PixelRGBA8{uint8_t(r), uint8_t(r >> 8), uint8_t(r >> 16), 200}
                                       : CEL_PixelRGBA8{0, 0, 0, 0};
            for (const auto& d : discs) {
                const double cover =
                    std::clamp(d.radius + 0.5 - std::hypot(x + 0.5 - d.cx, y + 0.5 - d.cy), 0.0, 1.0);
                if (cover > 0 && v.a == 0) v = d.colour, v.a = uint8_t(d.colour.a * cover + 0.5);
            }
        }
    return p;
}

// A picture compressed while it is being decoded gives the plain write's bytes:
// when its first rows lead to the whole picture's choices (the bands made
// ahead are kept), when they do not (flat at the top, noise below: the bands
// are dropped), serially (nothing made ahead) and when a write by code ends the
// scope's work instead. A file cut short reads as nothing, with no helper left.
TEST(PngWriteThreads, AheadOfTheDecoderSameBytesAsThePlainWrite) {
    celtest::TempDir dir;
    const QString in = dir.path(QStringLiteral("in.png")), out = dir.path(QStringLiteral("out.png"));
    tbb::task_arena arena(2);
    for (const bool noisyBelow : {false, true})
        for (const bool serial : {false, true}) {
            SCOPED_TRACE(testing::Message() << "noisy below " << noisyBelow << ", serial " << serial);
            const std::unique_ptr<CEL_PixmapRGBA8> picture(straightPicture(noisyBelow));
            ASSERT_TRUE(QXCelUioPngHandler().writeStraight8(*picture, in));
            const QByteArray plain =
                celtest::readFile(in); // transparent pixels are stored black: read back as they were
            CelAlgo::detail::setSerialForTesting(serial);
            bool kept = true;
            arena.execute([&] {
                QXCelUioPngHandler::WriteAhead ahead;
                CELIO_RepresentationList list;
                ASSERT_TRUE(QXCelUioPngHandler().read(in, CEL_Context(), list));
                const auto* read = dynamic_cast<const CEL_PixmapRGBA8*>(list.front().get());
                ASSERT_TRUE(read);
                ASSERT_TRUE(QXCelUioPngHandler().writeStraight8(*read, out));
                kept = ahead.keptBands();
            });
            CelAlgo::detail::setSerialForTesting(false);
            EXPECT_EQ(kept, !noisyBelow && !serial);
            EXPECT_TRUE(celtest::readFile(out) == plain);
        }

    // Read ahead, then written by code: the premultiplied writer's own bytes.
    const std::unique_ptr<CEL_PixmapRGBA8> picture(straightPicture(false));
    ASSERT_TRUE(QXCelUioPngHandler().writeStraight8(*picture, in));
    const UT_SharedPtr<CEL_Cel> cel = celtest::celOf(new CEL_PixmapRGBA8(*picture));
    ASSERT_TRUE(QXCelUioPngHandler().write(cel.get(), out, QStringLiteral("PNG4")));
    const QByteArray byCode = celtest::readFile(out);
    arena.execute([&] {
        QXCelUioPngHandler::WriteAhead ahead;
        CELIO_RepresentationList list;
        ASSERT_TRUE(QXCelUioPngHandler().read(in, CEL_Context(), list));
        ASSERT_TRUE(QXCelUioPngHandler().write(cel.get(), out, QStringLiteral("PNG4")));
        EXPECT_FALSE(ahead.keptBands());
    });
    EXPECT_TRUE(celtest::readFile(out) == byCode);

    QFile cut(in);
    ASSERT_TRUE(cut.resize(cut.size() / 2));
    arena.execute([&] {
        QXCelUioPngHandler::WriteAhead ahead;
        CELIO_RepresentationList list;
        EXPECT_FALSE(QXCelUioPngHandler().read(in, CEL_Context(), list));
    });
}

// A disk that fills up in the middle of the image data: false, the message
// posted, nothing left running.
TEST(PngWrite, FullDiskFailsWithTheMessage) {
    if (!QFile::exists(QStringLiteral("/dev/full"))) GTEST_SKIP() << "no /dev/full";
    const std::unique_ptr<CEL_PixmapRGBA16> picture(photoPicture(1200, 700, 2));
    for (const char* code : {"PNG4", "PNGDP3"}) {
        QXMessage::Capture messages;
        EXPECT_FALSE(
            QXCelUioPngHandler().write(celOf(*picture, false).get(), QStringLiteral("/dev/full"), code));
        EXPECT_EQ(messages.texts(), QStringList{"Could not complete writing to file: \"/dev/full\"\n"})
            << code;
    }
}

TEST(PngRead, EveryColourTypeDepthTransparencyAndInterlace) {
    const int shapes[][2] = {{0, 1}, {0, 2}, {0, 4}, {0, 8}, {0, 16}, {2, 8}, {2, 16}, {3, 1},
                             {3, 2}, {3, 4}, {3, 8}, {4, 8}, {4, 16}, {6, 8}, {6, 16}};
    celtest::TempDir dir;
    unsigned seed = 1;
    for (const auto& shape : shapes)
        for (int variant = 0; variant < 4; ++variant) {
            const bool interlace = variant & 1, trns = variant & 2;
            if (trns && (shape[0] & 4)) continue; // alpha types carry no tRNS
            SCOPED_TRACE(testing::Message()
                         << "type " << shape[0] << " depth " << shape[1] << " variant " << variant);
            const Src src = makeSrc(shape[0], shape[1], interlace, trns, seed++);
            const auto rep = decode(dir, encode(src));
            ASSERT_TRUE(rep);
            EXPECT_EQ(rep->getFormat(),
                      shape[1] == 16 ? CEL_Representation::PIXMAP_RGBA16 : CEL_Representation::PIXMAP_RGBA8);
            for (int i = 0; i < src.w * src.h; ++i) ASSERT_EQ(pixelOf(rep.get(), i), expected(src, i)) << i;
        }
}

TEST(PngInfo, HeaderQuery) {
    celtest::TempDir dir;
    const auto query = [&](const QByteArray& bytes, CELIO_Info& info) {
        celtest::writeFile(dir.path(QStringLiteral("h.png")), bytes);
        return QXCelUioPngHandler().readInfo(dir.path(QStringLiteral("h.png")), CEL_Context(), info);
    };
    const uint32_t channels[] = {1, 0, 3, 3, 2, 0, 4}; // by colour type
    const char* texts[] = {"Grayscale", "", "Color RGB", "Colormap RGB", "GrayScale+Alpha", "", "Color RGBA"};
    for (int type : {0, 2, 3, 4, 6}) {
        CELIO_Info info; // the header alone is enough
        ASSERT_EQ(query(encode(makeSrc(type, 8, false, false, 9)).left(33), info), CELIO_STATE_OK);
        EXPECT_EQ(std::vector<uint32_t>({info.width, info.height, info.channels, info.bytesPerChannel}),
                  std::vector<uint32_t>({13, 11, channels[type], 1}));
        EXPECT_EQ(info.description + info.optionCode,
                  QString::fromLatin1(texts[type]) + QStringLiteral("PNG"));
    }
    QByteArray badSignature = encode(makeSrc(2, 8, false, false, 1)), notHeader = badSignature,
               badType = badSignature;
    badSignature[1] = 'p', notHeader[12] = 'X', badType[25] = 5;
    CELIO_Info info;
    for (const QByteArray& bad :
         {badSignature, notHeader, badType, encode(makeSrc(2, 8, false, false, 1)).left(28)})
        EXPECT_EQ(query(bad, info), CELIO_STATE_FAILED);
}

TEST(PngWrite, RefusedCode) {
    celtest::TempDir dir;
    const auto cel = celtest::celOf<CEL_PixmapRGBA16>(std::vector<CEL_PixelRGBA16>{{16383, 0, 0, 16383}}, 1);
    EXPECT_FALSE(
        QXCelUioPngHandler().write(cel.get(), dir.path(QStringLiteral("x.png")), QStringLiteral("PNG16")));
    EXPECT_FALSE(QFileInfo::exists(dir.path(QStringLiteral("x.png"))));
}
