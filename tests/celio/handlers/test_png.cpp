// PNG: every colour type, depth, transparency and interlacing against a
// reference mapping written here; the header query and lying headers.
#include <QFileInfo>
#include <csetjmp>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <png.h>
#include <random>
#include <vector>

#include "HandlerTestUtil.h"
#include "base/Message.h"
#include "cel/Context.h"
#include "celio/ByteTestSupport.h"
#include "celio/handlers/PngHandler.h"
#include "support/TestSupport.h"

namespace {

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

} // namespace

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

// The value rules of both writers are held against the former writers in
// test_png_write.cpp; here the refused code.
TEST(PngWrite, RefusedCode) {
    celtest::TempDir dir;
    const auto cel = celtest::celOf<CEL_PixmapRGBA16>(std::vector<CEL_PixelRGBA16>{{16383, 0, 0, 16383}}, 1);
    EXPECT_FALSE(
        QXCelUioPngHandler().write(cel.get(), dir.path(QStringLiteral("x.png")), QStringLiteral("PNG16")));
    EXPECT_FALSE(QFileInfo::exists(dir.path(QStringLiteral("x.png"))));
}
