// PNG reading over every colour type, depth, transparency and interlacing
// against an independent reference mapping; the writers' value rules checked
// on the bytes libpng reads back; header queries; damaged files.
#include <QDir>
#include <QFileInfo>
#include <csetjmp>
#include <gtest/gtest.h>
#include <memory>
#include <png.h>
#include <random>
#include <vector>
#include <zlib.h>

#include "base/Message.h"
#include "base/Platform.h"
#include "cel/Cel.h"
#include "cel/Context.h"
#include "celio/ByteTestSupport.h"
#include "celio/handlers/PngHandler.h"
#include "pixel/PixmapCanvas.h"
#include "support/TestSupport.h"

namespace {

// ---------------------------------------------------------------------------
// A PNG built sample by sample with libpng, and its expected decoding.

struct PngSource {
    int width = 13, height = 11; // odd: partial bytes, every interlace pass
    int colorType = PNG_COLOR_TYPE_RGB;
    int depth = 8;
    bool interlace = false;
    bool trns = false;
    std::vector<uint16_t> samples; // per pixel, the file's channels (palette: the index)
    std::vector<png_color> palette;
    std::vector<uint8_t> trnsAlpha; // palette transparency
    png_color_16 trnsKey{};         // grey or RGB transparency key

    int channels() const {
        switch (colorType) {
        case PNG_COLOR_TYPE_GRAY:
            return 1;
        case PNG_COLOR_TYPE_PALETTE:
            return 1;
        case PNG_COLOR_TYPE_GRAY_ALPHA:
            return 2;
        case PNG_COLOR_TYPE_RGB:
            return 3;
        default:
            return 4;
        }
    }
};

PngSource makeSource(int colorType, int depth, bool interlace, bool trns, unsigned seed) {
    PngSource s;
    s.colorType = colorType, s.depth = depth, s.interlace = interlace, s.trns = trns;
    std::mt19937 rng(seed);
    const int maxValue = colorType == PNG_COLOR_TYPE_PALETTE ? (1 << depth) - 1 : (1 << depth) - 1;
    const size_t n = size_t(s.width) * s.height * s.channels();
    for (size_t i = 0; i < n; ++i) s.samples.push_back(uint16_t(rng() % (maxValue + 1)));
    // Make sure the extremes are there.
    s.samples[0] = 0;
    s.samples[n - 1] = uint16_t(maxValue);
    if (colorType == PNG_COLOR_TYPE_PALETTE) {
        for (int i = 0; i <= maxValue; ++i)
            s.palette.push_back(png_color{uint8_t(rng()), uint8_t(rng()), uint8_t(rng())});
        if (trns)
            for (int i = 0; i < std::min(maxValue, 5); ++i) s.trnsAlpha.push_back(uint8_t(i * 60));
    } else if (trns) {
        // A key that occurs: the first pixel's colour.
        s.trnsKey.gray = s.trnsKey.red = s.samples[0];
        if (colorType == PNG_COLOR_TYPE_RGB) {
            s.trnsKey.green = s.samples[1];
            s.trnsKey.blue = s.samples[2];
        }
    }
    return s;
}

struct MemoryOut {
    QByteArray bytes;
};
void appendBytes(png_structp png, png_bytep data, size_t n) {
    static_cast<MemoryOut*>(png_get_io_ptr(png))
        ->bytes.append(reinterpret_cast<const char*>(data), qsizetype(n));
}
void noFlush(png_structp) {}

struct EncodeJob {
    png_structp png;
    png_infop info;
    const PngSource* src;
    png_bytepp rows;
    MemoryOut* out;
};

void encodeBody(EncodeJob* j) {
    const PngSource& s = *j->src;
    png_set_write_fn(j->png, j->out, appendBytes, noFlush);
    png_set_IHDR(j->png, j->info, png_uint_32(s.width), png_uint_32(s.height), s.depth, s.colorType,
                 s.interlace ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    if (!s.palette.empty()) png_set_PLTE(j->png, j->info, s.palette.data(), int(s.palette.size()));
    if (s.trns) {
        png_color_16 key = s.trnsKey;
        if (s.colorType == PNG_COLOR_TYPE_PALETTE)
            png_set_tRNS(j->png, j->info, s.trnsAlpha.data(), int(s.trnsAlpha.size()), nullptr);
        else
            png_set_tRNS(j->png, j->info, nullptr, 0, &key);
    }
    png_write_info(j->png, j->info);
    png_write_image(j->png, j->rows);
    png_write_end(j->png, nullptr);
}

bool runEncode(EncodeJob* j) {
    if (setjmp(png_jmpbuf(j->png))) return false;
    encodeBody(j);
    return true;
}

QByteArray encodePng(const PngSource& s) {
    const int ch = s.channels();
    const size_t rowBytes = (size_t(s.width) * ch * s.depth + 7) / 8;
    std::vector<uint8_t> data(rowBytes * s.height, 0);
    std::vector<png_bytep> rows(s.height);
    for (int y = 0; y < s.height; ++y) {
        uint8_t* row = data.data() + y * rowBytes;
        rows[y] = row;
        for (int i = 0; i < s.width * ch; ++i) {
            const uint16_t v = s.samples[size_t(y) * s.width * ch + i];
            if (s.depth == 16) {
                row[2 * i] = uint8_t(v >> 8), row[2 * i + 1] = uint8_t(v);
            } else if (s.depth == 8) {
                row[i] = uint8_t(v);
            } else {
                const int bit = i * s.depth;
                row[bit / 8] |= uint8_t(v << (8 - s.depth - bit % 8));
            }
        }
    }
    MemoryOut out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    EncodeJob job{png, info, &s, rows.data(), &out};
    const bool ok = runEncode(&job);
    png_destroy_write_struct(&png, &info);
    return ok ? out.bytes : QByteArray();
}

// The reference decoding, written from the format's rules.
uint8_t scaleTo8(uint16_t v, int depth) {
    return uint8_t(depth == 8 ? v : v * 255 / ((1 << depth) - 1));
}
int16_t scaleFrom16(uint16_t v) {
    return int16_t(uint32_t(v) * 32767u / 65535u);
}

std::vector<CEL_PixelRGBA16> expected(const PngSource& s) {
    // Holds 8-bit results in r, g, b, a for 8-bit files, 0..32767 for 16-bit files.
    std::vector<CEL_PixelRGBA16> out;
    const int ch = s.channels();
    const uint16_t full = s.depth == 16 ? 65535 : 255;
    for (int i = 0; i < s.width * s.height; ++i) {
        const uint16_t* v = &s.samples[size_t(i) * ch];
        uint16_t r, g, b, a = full;
        switch (s.colorType) {
        case PNG_COLOR_TYPE_PALETTE:
            r = s.palette[v[0]].red, g = s.palette[v[0]].green, b = s.palette[v[0]].blue;
            if (v[0] < s.trnsAlpha.size()) a = s.trnsAlpha[v[0]];
            break;
        case PNG_COLOR_TYPE_GRAY:
            r = g = b = s.depth == 16 ? v[0] : scaleTo8(v[0], s.depth);
            if (s.trns && v[0] == s.trnsKey.gray) a = 0;
            if (s.depth == 1) r = g = b = uint16_t(255 - r); // black and white exchanged
            break;
        case PNG_COLOR_TYPE_GRAY_ALPHA:
            r = g = b = v[0], a = v[1];
            break;
        case PNG_COLOR_TYPE_RGB:
            r = v[0], g = v[1], b = v[2];
            if (s.trns && r == s.trnsKey.red && g == s.trnsKey.green && b == s.trnsKey.blue) a = 0;
            break;
        default:
            r = v[0], g = v[1], b = v[2], a = v[3];
        }
        if (s.depth == 16)
            out.push_back({scaleFrom16(r), scaleFrom16(g), scaleFrom16(b), scaleFrom16(a)});
        else
            out.push_back({int16_t(r), int16_t(g), int16_t(b), int16_t(a)});
    }
    return out;
}

std::unique_ptr<CEL_Representation> readPng(const QString& path) {
    return std::unique_ptr<CEL_Representation>(QXCelUioPngHandler().read(path));
}

// ---------------------------------------------------------------------------
// What libpng finds in a file we wrote: header and raw samples (16-bit as they
// are, 8-bit widened), no transformation.

struct RawPng {
    int colorType = -1, depth = 0, width = 0, height = 0, channels = 0;
    std::vector<uint16_t> samples;
};

struct RawJob {
    png_structp png;
    png_infop info;
    FILE* file;
    RawPng* out;
    std::vector<uint8_t>* buffer;
};

void rawBody(RawJob* j) {
    png_init_io(j->png, j->file);
    png_read_info(j->png, j->info);
    RawPng& r = *j->out;
    r.width = int(png_get_image_width(j->png, j->info));
    r.height = int(png_get_image_height(j->png, j->info));
    r.depth = png_get_bit_depth(j->png, j->info);
    r.colorType = png_get_color_type(j->png, j->info);
    r.channels = png_get_channels(j->png, j->info);
    const size_t rowBytes = png_get_rowbytes(j->png, j->info);
    j->buffer->resize(rowBytes * r.height);
    for (int y = 0; y < r.height; ++y) png_read_row(j->png, j->buffer->data() + y * rowBytes, nullptr);
}

bool runRaw(RawJob* j) {
    if (setjmp(png_jmpbuf(j->png))) return false;
    rawBody(j);
    return true;
}

RawPng readRaw(const QString& path) {
    RawPng r;
    FILE* f = std::fopen(QFile::encodeName(path).constData(), "rb");
    if (!f) return r;
    std::vector<uint8_t> buffer;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    RawJob job{png, info, f, &r, &buffer};
    const bool ok = runRaw(&job);
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(f);
    if (!ok) return RawPng();
    const size_t n = size_t(r.width) * r.height * r.channels;
    for (size_t i = 0; i < n; ++i)
        r.samples.push_back(r.depth == 16 ? uint16_t((buffer[2 * i] << 8) | buffer[2 * i + 1]) : buffer[i]);
    return r;
}

UT_SharedPtr<CEL_Cel> celOf(CEL_Pixmap* pixmap) {
    UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(pixmap->getFormat()));
    cel->addRepresentation(UT_SharedPtr<CEL_Representation>(pixmap));
    return cel;
}

UT_SharedPtr<CEL_Cel> cel16(const std::vector<CEL_PixelRGBA16>& pixels, int w, int h) {
    auto* p = new CEL_PixmapRGBA16(w, h);
    std::copy(pixels.begin(), pixels.end(), p->data());
    return celOf(p);
}

} // namespace

// ---------------------------------------------------------------------------

TEST(PngRead, EveryColourTypeDepthTransparencyAndInterlace) {
    struct Shape {
        int colorType, depth;
    };
    const Shape shapes[] = {{0, 1}, {0, 2}, {0, 4}, {0, 8}, {0, 16}, {2, 8}, {2, 16}, {3, 1},
                            {3, 2}, {3, 4}, {3, 8}, {4, 8}, {4, 16}, {6, 8}, {6, 16}};
    celtest::TempDir dir;
    unsigned seed = 1;
    for (const Shape& shape : shapes) {
        const bool canKey = shape.colorType == 0 || shape.colorType == 2 || shape.colorType == 3;
        for (int interlace = 0; interlace < 2; ++interlace) {
            for (int trns = 0; trns < (canKey ? 2 : 1); ++trns) {
                SCOPED_TRACE(testing::Message() << "type " << shape.colorType << " depth " << shape.depth
                                                << " interlace " << interlace << " tRNS " << trns);
                const PngSource src = makeSource(shape.colorType, shape.depth, interlace, trns, seed++);
                const QString path = dir.path(QStringLiteral("m%1.png").arg(seed));
                ASSERT_TRUE(celtest::writeFile(path, encodePng(src)));
                const auto rep = readPng(path);
                ASSERT_TRUE(rep);
                const std::vector<CEL_PixelRGBA16> want = expected(src);
                if (shape.depth == 16) {
                    const auto* got = dynamic_cast<const CEL_PixmapRGBA16*>(rep.get());
                    ASSERT_TRUE(got);
                    ASSERT_EQ(got->width(), src.width);
                    ASSERT_EQ(got->height(), src.height);
                    for (size_t i = 0; i < want.size(); ++i)
                        ASSERT_EQ(got->data()[i], want[i]) << "pixel " << i;
                } else {
                    const auto* got = dynamic_cast<const CEL_PixmapRGBA8*>(rep.get());
                    ASSERT_TRUE(got);
                    ASSERT_EQ(got->width(), src.width);
                    ASSERT_EQ(got->height(), src.height);
                    for (size_t i = 0; i < want.size(); ++i) {
                        const CEL_PixelRGBA8 g = got->data()[i];
                        ASSERT_EQ((std::vector<int>{g.r, g.g, g.b, g.a}),
                                  (std::vector<int>{want[i].r, want[i].g, want[i].b, want[i].a}))
                            << "pixel " << i;
                    }
                }
            }
        }
    }
}

TEST(PngRead, SixteenBitSamplesMapExactlyForEveryValue) {
    // 256 x 256 grey: every 16-bit value once, 65535 -> 32767, 65534 -> 32766, 1 -> 0.
    PngSource s;
    s.width = s.height = 256;
    s.colorType = PNG_COLOR_TYPE_GRAY;
    s.depth = 16;
    for (uint32_t v = 0; v < 65536; ++v) s.samples.push_back(uint16_t(v));
    celtest::TempDir dir;
    const QString path = dir.path(QStringLiteral("all.png"));
    ASSERT_TRUE(celtest::writeFile(path, encodePng(s)));
    const auto rep = readPng(path);
    const auto* got = dynamic_cast<const CEL_PixmapRGBA16*>(rep.get());
    ASSERT_TRUE(got);
    for (uint32_t v = 0; v < 65536; ++v) {
        const CEL_PixelRGBA16 p = got->data()[v];
        ASSERT_EQ(p.r, int16_t(v * 32767u / 65535u)) << v;
        ASSERT_EQ(p.a, 32767);
    }
    EXPECT_EQ(got->data()[65535].r, 32767);
}

TEST(PngRead, HandlerEntryPointsAndStandardInput) {
    celtest::TempDir dir;
    const PngSource src = makeSource(PNG_COLOR_TYPE_RGB_ALPHA, 8, false, false, 7);
    const QString path = dir.path(QStringLiteral("a.png"));
    ASSERT_TRUE(celtest::writeFile(path, encodePng(src)));

    QXCelUioPngHandler handler;
    CELIO_RepresentationList list;
    EXPECT_TRUE(handler.read(path, CEL_Context(), list));
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list.front()->getFormat(), CEL_Representation::PIXMAP_RGBA8);
    EXPECT_FALSE(handler.read(dir.path(QStringLiteral("missing.png")), CEL_Context(), list));
    EXPECT_EQ(list.size(), 1u);

    const bool wasInteractive = WHO_Identity::isInteractive();
    WHO_Identity::setInteractive(false);
    std::unique_ptr<CEL_Representation> fromStdin;
    {
        celtest::StdStreamRedirect in(0, path);
        fromStdin.reset(handler.read(QStringLiteral("-")));
    }
    WHO_Identity::setInteractive(wasInteractive);
    const auto* p = dynamic_cast<const CEL_PixmapRGBA8*>(fromStdin.get());
    ASSERT_TRUE(p);
    EXPECT_EQ(p->width(), src.width);
    EXPECT_EQ(p->data()[1].r, src.samples[4]);
}

TEST(PngRead, DamagedFilesFailCleanly) {
    const PngSource src = makeSource(PNG_COLOR_TYPE_RGB_ALPHA, 16, true, false, 3);
    const QByteArray good = encodePng(src);
    celtest::TempDir dir;
    const QString path = dir.path(QStringLiteral("bad.png"));
    // Every truncation inside the signature, header and data.
    for (qsizetype n = 0; n < good.size() - 12; n += (n < 64 ? 1 : 37)) {
        ASSERT_TRUE(celtest::writeFile(path, good.left(n)));
        EXPECT_FALSE(readPng(path)) << "truncated at " << n;
    }
    // Seeded damage: whatever happens, no crash and a result of the right size when there is one.
    std::mt19937 rng(11);
    for (int round = 0; round < 200; ++round) {
        QByteArray bad = good;
        for (int k = 0; k < 4; ++k) bad[qsizetype(8 + rng() % (bad.size() - 8))] = char(rng());
        ASSERT_TRUE(celtest::writeFile(path, bad));
        const auto rep = readPng(path);
        if (const auto* p = dynamic_cast<const CEL_PixmapRGBA16*>(rep.get())) {
            EXPECT_EQ(p->width(), src.width);
        }
    }
    // Headers (with valid checksums) that claim huge images over a few bytes of data:
    // beyond any memory, and merely large.
    for (uint32_t side : {1000000u, 40000u}) {
        QByteArray huge = encodePng(makeSource(PNG_COLOR_TYPE_GRAY, 8, false, false, 5));
        for (int i = 0; i < 4; ++i) huge[16 + i] = huge[20 + i] = char(side >> (24 - 8 * i));
        const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(huge.constData() + 12), 17);
        for (int i = 0; i < 4; ++i) huge[29 + i] = char(crc >> (24 - 8 * i));
        ASSERT_TRUE(celtest::writeFile(path, huge));
        QXMessage::Capture quiet; // the refused allocation is reported as out of memory
        EXPECT_FALSE(readPng(path)) << side;
    }
}

TEST(PngInfo, HeaderQuery) {
    celtest::TempDir dir;
    QXCelUioPngHandler handler;
    struct Row {
        int colorType, depth;
        uint32_t channels;
        const char* text;
    };
    const Row rows[] = {{0, 8, 1, "Grayscale"},
                        {2, 16, 3, "Color RGB"},
                        {3, 4, 3, "Colormap RGB"},
                        {4, 8, 2, "GrayScale+Alpha"},
                        {6, 16, 4, "Color RGBA"}};
    for (const Row& row : rows) {
        const PngSource s = makeSource(row.colorType, row.depth, false, false, 9);
        const QString path = dir.path(QStringLiteral("i%1.png").arg(row.colorType));
        ASSERT_TRUE(celtest::writeFile(path, encodePng(s)));
        CELIO_Info info;
        ASSERT_EQ(handler.readInfo(path, CEL_Context(), info), CELIO_STATE_OK) << row.text;
        EXPECT_EQ(info.width, uint32_t(s.width));
        EXPECT_EQ(info.height, uint32_t(s.height));
        EXPECT_EQ(info.channels, row.channels);
        EXPECT_EQ(info.bytesPerChannel, 1u);
        EXPECT_EQ(info.optionCode, QStringLiteral("PNG"));
        EXPECT_EQ(info.description, QString::fromLatin1(row.text));
    }

    const QByteArray good = encodePng(makeSource(2, 8, false, false, 1));
    const auto state = [&](const QByteArray& bytes) {
        const QString path = dir.path(QStringLiteral("h.png"));
        celtest::writeFile(path, bytes);
        CELIO_Info info;
        return handler.readInfo(path, CEL_Context(), info);
    };
    QByteArray badSignature = good, notIhdr = good, badType = good;
    badSignature[1] = 'p';
    notIhdr[12] = 'X';
    badType[25] = 5;
    EXPECT_EQ(state(badSignature), CELIO_STATE_FAILED);
    EXPECT_EQ(state(notIhdr), CELIO_STATE_FAILED);
    EXPECT_EQ(state(badType), CELIO_STATE_FAILED);
    EXPECT_EQ(state(good.left(28)), CELIO_STATE_FAILED);
    EXPECT_EQ(state(good.left(29)), CELIO_STATE_OK);
    CELIO_Info info;
    EXPECT_EQ(handler.readInfo(dir.path(QStringLiteral("none.png")), CEL_Context(), info),
              CELIO_STATE_FAILED);
}

TEST(PngWrite, SixteenBitSamplesScaleToFullRange) {
    celtest::TempDir dir;
    QXCelUioPngHandler handler;
    const std::vector<CEL_PixelRGBA16> px = {
        {0, -5, 1, 32767}, {16383, 32766, 32767, 16384}, {-32767, 2, 3, 0}};
    const auto cel = cel16(px, 3, 1);
    const uint16_t want4[] = {0, 0, 2, 65535, 32766, 65532, 65535, 32768, 0, 4, 6, 0};

    const QString p4 = dir.path(QStringLiteral("dp4.png"));
    ASSERT_TRUE(handler.write(cel.get(), p4, QStringLiteral("pngdp4")));
    const RawPng r4 = readRaw(p4);
    EXPECT_EQ(r4.colorType, PNG_COLOR_TYPE_RGB_ALPHA);
    EXPECT_EQ(r4.depth, 16);
    EXPECT_EQ(r4.samples, std::vector<uint16_t>(std::begin(want4), std::end(want4)));

    const QString p3 = dir.path(QStringLiteral("dp3.png"));
    ASSERT_TRUE(handler.write(cel.get(), p3, QStringLiteral("PNGDP3")));
    const RawPng r3 = readRaw(p3);
    EXPECT_EQ(r3.colorType, PNG_COLOR_TYPE_RGB);
    EXPECT_EQ(r3.samples, (std::vector<uint16_t>{0, 0, 2, 32766, 65532, 65535, 0, 4, 6}));

    // And back: full scale survives the round trip exactly.
    const auto back = readPng(p4);
    const auto* b = dynamic_cast<const CEL_PixmapRGBA16*>(back.get());
    ASSERT_TRUE(b);
    EXPECT_EQ(b->data()[0].a, 32767);
    EXPECT_EQ(b->data()[1].b, 32767);
}

TEST(PngWrite, EightBitUnpremultipliesOnlyWithAlphaCode) {
    celtest::TempDir dir;
    QXCelUioPngHandler handler;

    // All opaque: "PNG4" still writes RGB without alpha.
    const auto opaque = cel16({{32767, 0, 128, 32767}, {0, 0, 0, 32767}}, 2, 1);
    const QString pOpaque = dir.path(QStringLiteral("opaque.png"));
    ASSERT_TRUE(handler.write(opaque.get(), pOpaque, QStringLiteral("PNG4")));
    const RawPng ro = readRaw(pOpaque);
    EXPECT_EQ(ro.colorType, PNG_COLOR_TYPE_RGB);
    EXPECT_EQ(ro.samples, (std::vector<uint16_t>{255, 0, 1, 0, 0, 0}));

    // Half-transparent premultiplied red becomes straight red 255 with alpha 127;
    // m = max(r, g, b, a) drives both. Additive light (colour over alpha 0) keeps
    // its colour at m = 32767; an all-zero pixel stays transparent black.
    const auto mixed = cel16({{16383, 0, 0, 16383},
                              {8000, 4000, -3, 16000},
                              {32767, 100, 0, 0},
                              {0, 0, 0, 0},
                              {12000, 0, 0, 6000}},
                             5, 1);
    const QString pMixed = dir.path(QStringLiteral("mixed.png"));
    ASSERT_TRUE(handler.write(mixed.get(), pMixed, QStringLiteral("png4")));
    const RawPng rm = readRaw(pMixed);
    EXPECT_EQ(rm.colorType, PNG_COLOR_TYPE_RGB_ALPHA);
    const int c1 = 8000 * 32767 / 16000, c2 = 4000 * 32767 / 16000;
    const std::vector<uint16_t> want = {255,
                                        0,
                                        0,
                                        127, //
                                        uint16_t(c1 >> 7),
                                        uint16_t(c2 >> 7),
                                        0,
                                        16000 >> 7, //
                                        255,
                                        0,
                                        0,
                                        255, //
                                        0,
                                        0,
                                        0,
                                        0, //
                                        255,
                                        0,
                                        0,
                                        12000 >> 7};
    EXPECT_EQ(rm.samples, want);

    // "PNG": no un-premultiplication and no alpha channel.
    const QString pPlain = dir.path(QStringLiteral("sub/dir/plain.png")); // folders are created
    ASSERT_TRUE(handler.write(mixed.get(), pPlain, QStringLiteral("PNG")));
    const RawPng rp = readRaw(pPlain);
    EXPECT_EQ(rp.colorType, PNG_COLOR_TYPE_RGB);
    EXPECT_EQ(rp.samples, (std::vector<uint16_t>{127, 0, 0, 62, 31, 0, 255, 0, 0, 0, 0, 0, 93, 0, 0}));

    // An 8-bit cel goes through the same 16-bit path: its bytes come back unchanged.
    auto* p8 = new CEL_PixmapRGBA8(256, 1);
    for (int i = 0; i < 256; ++i) p8->data()[i] = CEL_PixelRGBA8{uint8_t(i), uint8_t(255 - i), 7, 255};
    const auto cel8 = celOf(p8);
    const QString p8path = dir.path(QStringLiteral("eight.png"));
    ASSERT_TRUE(handler.write(cel8.get(), p8path, QStringLiteral("PNG4")));
    const auto back = readPng(p8path);
    const auto* b = dynamic_cast<const CEL_PixmapRGBA8*>(back.get());
    ASSERT_TRUE(b);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(b->data()[i], p8->data()[i]) << i;
}

TEST(PngWrite, RefusalsAndFailures) {
    celtest::TempDir dir;
    QXCelUioPngHandler handler;
    const auto cel = cel16({{1, 2, 3, 4}}, 1, 1);
    const QString path = dir.path(QStringLiteral("x.png"));
    EXPECT_FALSE(handler.write(cel.get(), path, QStringLiteral("PNG16")));
    EXPECT_FALSE(handler.write(cel.get(), path, QString()));
    EXPECT_FALSE(QFileInfo::exists(path));

    QXMessage::Capture capture;
    const QString missing = dir.path(QStringLiteral("missing/x.png"));
    EXPECT_FALSE(handler.write(cel.get(), missing, QStringLiteral("PNGDP4")));
    EXPECT_TRUE(
        capture.contains(QStringLiteral("Could not open file \"%1\" for writing (png).\n").arg(missing)));
    capture.clear();
    ASSERT_TRUE(QDir(dir.root()).mkdir(QStringLiteral("taken.png")));
    EXPECT_FALSE(handler.write(cel.get(), dir.path(QStringLiteral("taken.png")), QStringLiteral("PNG")));
    ASSERT_EQ(capture.records().size(), 1u);
    EXPECT_EQ(capture.records()[0].action, 2);
    EXPECT_EQ(capture.records()[0].code, 20);
    EXPECT_TRUE(capture.records()[0].translated.contains(dir.path(QStringLiteral("taken.png"))));
}

TEST(PngWrite, DashWritesStandardOutput) {
    celtest::TempDir dir;
    QXCelUioPngHandler handler;
    const auto cel = cel16({{32767, 0, 0, 32767}, {0, 16383, 0, 16383}}, 2, 1);
    for (const char* code : {"PNG4", "PNGDP4"}) {
        const QString captured = dir.path(QStringLiteral("stdout_%1.png").arg(QLatin1String(code)));
        bool ok;
        {
            celtest::StdStreamRedirect out(1, captured);
            ok = handler.write(cel.get(), QStringLiteral("-"), QLatin1String(code));
        }
        EXPECT_TRUE(ok) << code;
        const RawPng r = readRaw(captured);
        EXPECT_EQ(r.width, 2) << code;
        EXPECT_EQ(r.colorType, PNG_COLOR_TYPE_RGB_ALPHA) << code;
    }
}

TEST(PngHandler, Options) {
    QXCelUioPngHandler handler;
    EXPECT_EQ(handler.getExtensions(), QStringList{QStringLiteral("PNG")});
    EXPECT_EQ(handler.getWriteOptionCodes(),
              (QStringList{QStringLiteral("PNG"), QStringLiteral("PNG4"), QStringLiteral("PNGDP3"),
                           QStringLiteral("PNGDP4")}));
    CELIO_WriteOptions options;
    handler.getWriteOptions(options);
    EXPECT_TRUE(options.alpha);
    EXPECT_FALSE(options.singleChannel || options.deepPixels || options.compressed);
    EXPECT_EQ(handler.getWriteOptionsCode(options), QStringLiteral("PNG4"));
    EXPECT_EQ(handler.getWriteOptionsCode(CELIO_WriteOptions()), QStringLiteral("PNG"));
    EXPECT_EQ(handler.formatClass(), CELIO_PixmapFormat);
}
