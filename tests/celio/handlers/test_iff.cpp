// IFF: the run-length rules, hand-built files, the refusals with their
// reports, the handler's colour and depth mapping. (The writer's tiles, run
// lengths of every size among them, are held against oiiotool's decoding in
// test_iff_interop and read back here.)
#include <QDir>
#include <QFileInfo>
#include <bit>
#include <cmath>
#include <gtest/gtest.h>
#include <numeric>
#include <random>
#include <vector>

#include "HandlerTestUtil.h"
#include "OptTestUtil.h"
#include "algo/composite/CompositeDetail.h"
#include "cel/Context.h"
#include "celio/ByteTestSupport.h"
#include "celio/handlers/IffHandler.h"
#include "celio/handlers/IffImage.h"
#include "pixel/PixmapArea.h"
#include "support/TestSupport.h"

namespace {

using Bytes = std::vector<uint8_t>;

using Reports = celtest::Diagnostics<CEL_IffImage>;

using opttest::be16;
using opttest::be32;
using opttest::cat;

// IFF chunks: a tag, a big-endian size, the data padded to 4 bytes.
Bytes chunk(const char* tag, const Bytes& data) {
    Bytes c = cat({Bytes(tag, tag + 4), be32(uint32_t(data.size())), data});
    c.resize((c.size() + 3) & ~size_t(3));
    return c;
}

Bytes group(const char* form, const std::vector<Bytes>& parts) {
    Bytes content(form, form + 4);
    for (const Bytes& p : parts) content.insert(content.end(), p.begin(), p.end());
    return cat({Bytes{'F', 'O', 'R', '4'}, be32(uint32_t(content.size())), content});
}

Bytes tbhd(uint32_t w, uint32_t h, uint32_t flags, uint16_t bytes, uint16_t tiles, uint32_t compression = 1,
           uint32_t originX = 7, uint32_t originY = 9) {
    return chunk("TBHD", cat({be32(w), be32(h), be16(1), be16(1), be32(flags), be16(bytes), be16(tiles),
                              be32(compression), be32(originX), be32(originY)}));
}

Bytes tile(const char* tag, int x1, int y1, int x2, int y2, const Bytes& data) {
    return chunk(tag,
                 cat({be16(unsigned(x1)), be16(unsigned(y1)), be16(unsigned(x2)), be16(unsigned(y2)), data}));
}

Bytes floats(std::initializer_list<float> values) {
    Bytes b;
    for (float v : values) b = cat({b, be32(std::bit_cast<uint32_t>(v))});
    return b;
}

// Planes coded unlike the library's encoder: every repeat is a run, the
// bytes between repeats one literal.
Bytes packPlanes(const std::vector<Bytes>& planes) {
    Bytes out;
    for (const Bytes& p : planes)
        for (size_t i = 0; i < p.size();) {
            size_t j = i + 1;
            while (j < p.size() && j - i < 128 && p[j] == p[i]) ++j;
            if (j - i > 1) {
                out.insert(out.end(), {uint8_t(0x80 | (j - i - 1)), p[i]});
            } else {
                while (j < p.size() && j - i < 128 && p[j] != p[j - 1] &&
                       (j + 1 == p.size() || p[j] != p[j + 1]))
                    ++j;
                out.push_back(uint8_t(j - i - 1));
                out.insert(out.end(), p.begin() + ptrdiff_t(i), p.begin() + ptrdiff_t(j));
            }
            i = j;
        }
    return out;
}

Bytes image(const std::vector<Bytes>& inside) {
    return group("CIMG", inside);
}

QString save(const celtest::TempDir& dir, const Bytes& file) {
    return opttest::put(dir, "hand.iff", file);
}

CELIO_RepresentationList readIff(const QString& path, double zMultiplier = 1.0) {
    CEL_Context context;
    context.setZMultiplier(zMultiplier);
    CELIO_RepresentationList list;
    QxCelUioIffHandler().read(path, context, list);
    return list;
}

} // namespace

TEST(IffRunLength, EncoderRulesAndDecoderBounds) {
    const auto code = [](const Bytes& in) {
        Bytes out(in.size() + in.size() / 128 + 2);
        out.resize(CEL_IffImage::encodeRunLength(in.data(), in.size(), out.data()));
        return out;
    };
    EXPECT_EQ(code(Bytes(200, 9)), (Bytes{0xFF, 9, 0xC7, 9}));
    EXPECT_EQ(code(Bytes{1, 2, 2, 3}), (Bytes{0x03, 1, 2, 2, 3})); // a pair stays literal
    EXPECT_EQ(code(Bytes{1, 2, 3, 3, 3}), (Bytes{0x01, 1, 2, 0x82, 3}));
    Bytes noise(130);
    std::iota(noise.begin(), noise.end(), uint8_t(0)); // literals in packets of at most 128
    EXPECT_EQ(code(noise), cat({{0x7F}, Bytes(noise.begin(), noise.begin() + 128), {0x01, 128, 129}}));
    // A packet that overruns the plane, and data that ends first, fail.
    Bytes out(4);
    EXPECT_FALSE(CEL_IffImage::decodeRunLength(Bytes{0x84, 1}.data(), 2, out.data(), 4, nullptr));
    EXPECT_FALSE(CEL_IffImage::decodeRunLength(Bytes{0x03, 1, 2}.data(), 3, out.data(), 4, nullptr));
    EXPECT_FALSE(CEL_IffImage::decodeRunLength(Bytes{0x81}.data(), 1, out.data(), 4, nullptr));
}

// Files built here: raw and run-length tiles, depth planes, tiles out of
// order, a tile missing, kept and skipped chunks. (16-bit and 3-component
// tiles come from oiiotool in test_iff_interop.)
TEST(IffRead, HandBuiltFiles) {
    celtest::TempDir dir;
    Reports reports;
    // 3 x 2 image, one tile, 8-bit: pixel x of file row y (from the bottom)
    // is r = 10 y + x, g = r + 100, b = 200, a = 250.
    // Run-length planes come last component first.
    const std::vector<Bytes> planes8 = {
        Bytes(6, 250), Bytes(6, 200), {100, 101, 102, 110, 111, 112}, {0, 1, 2, 10, 11, 12}};
    Bytes raw8; // per pixel a, b, g, r
    for (size_t i = 0; i < 24; ++i) raw8.push_back(planes8[i % 4][i / 4]);
    // The pixmap's top row is the file's last row.
    const celtest::Values want8 = {10, 110, 200, 250, 11, 111, 200, 250, 12, 112, 200, 250,
                                   0,  100, 200, 250, 1,  101, 200, 250, 2,  102, 200, 250};
    // A run-length tile exactly as long as the raw size reads as raw: 24
    // bytes of 0x90 would be a bad packet stream.
    for (const auto& [data, want] : {std::pair{raw8, want8},
                                     {packPlanes(planes8), want8},
                                     {Bytes(24, 0x90), celtest::Values(24, 0x90)}}) {
        const auto file = image({tbhd(3, 2, 3, 0, 1), group("TBMP", {tile("RGBA", 0, 0, 2, 1, data)})});
        const auto list = readIff(save(dir, file));
        ASSERT_EQ(list.size(), 1u);
        EXPECT_EQ(celtest::values(list.front().get()), want);
    }

    // Two tiles out of order (upper first), a third missing, depth planes
    // (most significant bytes first) and raw depth, trailing chunks.
    {
        const float d[2] = {0.5f, -4.0f}; // file row 64; the rest of the tile 0
        std::vector<Bytes> zPlanes(4, Bytes(128, 0));
        for (int i = 0; i < 2; ++i)
            for (int k = 0; k < 4; ++k)
                zPlanes[size_t(k)][size_t(i)] = uint8_t(std::bit_cast<uint32_t>(d[i]) >> (24 - 8 * k));
        // 2 x 130: tiles (0, 64)-(1, 127) and (0, 0)-(1, 63) present, (0, 128)-(1, 129) missing.
        const std::vector<Bytes> upper(4, Bytes(2 * 64, 0x22));
        const Bytes lower(2 * 64 * 4, 0x33);
        const auto file = image(
            {chunk("VERS", Bytes{'1', '.', '0'}), tbhd(2, 130, 7, 0, 3),
             group("TBMP", {tile("RGBA", 0, 64, 1, 127, packPlanes(upper)),
                            tile("ZBUF", 0, 64, 1, 127, packPlanes(zPlanes)),
                            tile("RGBA", 0, 0, 1, 63, lower), tile("ZBUF", 0, 0, 1, 0, floats({0.25f, 0}))}),
             chunk("CLPZ", floats({0.1f, 1000.0f})), chunk("HIST", Bytes(5, 'h')), chunk("ABCD", Bytes(3, 0)),
             chunk("ESXY", floats({3.0f, -2.0f}))});
        const QString path = save(dir, file);
        CEL_IffImage img;
        ASSERT_TRUE(img.iff_load(path));
        EXPECT_EQ(std::vector<float>({img.nearClip(), img.farClip(), img.eyeX(), img.eyeY(),
                                      float(img.originX()), float(img.originY())}),
                  std::vector<float>({0.1f, 1000.0f, 3.0f, -2.0f, 7.0f, 9.0f}));
        // Buffer row 0 is the file's first tile row.
        const uint8_t* c = img.colour8();
        EXPECT_EQ(std::vector<int>({c[0], c[64 * 8], c[128 * 8]}), std::vector<int>({0x33, 0x22, 0xFF}));
        const float* d0 = img.depth();
        EXPECT_EQ(std::vector<float>({d0[0], d0[128], d0[129], d0[130]}),
                  std::vector<float>({0.25f, 0.5f, -4.0f, 0}));

        // Through the handler: the colour cropped to the content (all of it:
        // the missing tile is opaque white), depth zMultiplier / d, none for 0.
        const auto list = readIff(path, 2.0);
        ASSERT_EQ(list.size(), 2u);
        const auto* area = dynamic_cast<const CEL_PixmapAreaRGBA16*>(list.front().get());
        const auto* z = dynamic_cast<const CEL_PixmapAreaZ*>(list.back().get());
        ASSERT_TRUE(area && z);
        EXPECT_EQ(area->allocatedRect(), Math::Box2di(0, 0, 2, 130));
        EXPECT_EQ(z->allocatedRect(), area->allocatedRect());
        // Bottom row 2 / 0.25 and d = 0; file row 64; the missing tile.
        EXPECT_EQ(std::vector<float>({z->pixel(0, 129)->value, z->pixel(1, 129)->value,
                                      z->pixel(0, 65)->value, z->pixel(1, 65)->value, z->pixel(0, 0)->value}),
                  std::vector<float>({8.0f, CEL_PixelFloat::Zero, 4.0f, -0.5f, CEL_PixelFloat::Zero}));
        double lo, hi;
        z->getZRange(lo, hi);
        EXPECT_TRUE(lo == -0.5 && hi == 8.0);
    }
    EXPECT_EQ(reports.text(), "");
}

TEST(IffRead, RefusalsAndDamageReportOnce) {
    celtest::TempDir dir;
    Reports reports;
    const Bytes flat(64 * 64 * 4, 1);
    const auto expectRefused = [&](const Bytes& file, const std::string& report) {
        reports.clear();
        EXPECT_TRUE(readIff(save(dir, file)).empty());
        EXPECT_EQ(reports.text(), report);
    };
    expectRefused(group("CIMX", {}), "unexpected tag\n");
    expectRefused(image({tbhd(64, 64, 3, 0, 1, 2)}), "unknown compression format\n");
    expectRefused(image({tbhd(64, 64, 3, 2, 1)}), "unsupported bytes per channel\n");
    expectRefused(image({chunk("VERS", Bytes(4, 1))}), "cannot read file\n"); // no header
    expectRefused(image({tbhd(100000, 100000, 3, 0, 1)}),
                  "file too short for its image size\n"); // more than the file can fill
    expectRefused(image({tbhd(65535, 65535, 7, 1, 1)}), "file too short for its image size\n");
    expectRefused(image({tbhd(0, 5, 3, 0, 1)}), "invalid image size\n");
    expectRefused(Bytes{'F', 'O', 'R'}, "cannot read file\nunexpected tag\n");
    {
        CEL_Pixmap::setMaxPixmapBytes(1000);
        expectRefused(
            image({tbhd(16, 16, 3, 0, 1), group("TBMP", {tile("RGBA", 0, 0, 15, 15, Bytes(1024, 1))})}),
            "image too large\n");
        CEL_Pixmap::setMaxPixmapBytes(0);
    }
    reports.clear();
    CELIO_RepresentationList list;
    EXPECT_FALSE(QxCelUioIffHandler().read(dir.path("missing.iff"), CEL_Context(), list));
    EXPECT_EQ(reports.text(), "cannot open file\n");

    // 128 x 64: a good tile, one whose plane overruns, one outside the image,
    // then something that is not a tile (the load ends there).
    Bytes bad = packPlanes({Bytes(64 * 64, 7), Bytes(64 * 64, 7), Bytes(64 * 64, 7)});
    bad.push_back(0x8F); // the fourth plane: a run past the end
    const auto file =
        image({tbhd(128, 64, 3, 0, 5),
               group("TBMP", {tile("RGBA", 0, 0, 63, 63, flat), tile("RGBA", 64, 0, 127, 63, bad),
                              tile("RGBA", 64, 0, 128, 63, flat), chunk("JUNK", Bytes(4)),
                              tile("RGBA", 0, 0, 63, 63, Bytes(64 * 64 * 4, 2))})});
    reports.clear();
    const auto got = readIff(save(dir, file));
    ASSERT_EQ(got.size(), 1u);
    const auto* p = dynamic_cast<const CEL_PixmapRGBA8*>(got.front().get());
    EXPECT_EQ(*p->pixel(0, 0), (CEL_PixelRGBA8{1, 1, 1, 1}));
    EXPECT_EQ(*p->pixel(64, 0), (CEL_PixelRGBA8{255, 255, 255, 255}));
    // The walk reports first (the tile outside, the stray chunk), the tiles as they decode.
    EXPECT_EQ(reports.text(), "error in iff_read_compressed_tile function\nunexpected chunk\n"
                              "error in iff_decompress_rle 8 bits\n");

    // Many bad tiles in one file: each kind of report once (the damage sweeps
    // and the fuzzers cover the rest of damaged input).
    std::vector<Bytes> tiles;
    for (int t = 0; t < 8; ++t) tiles.push_back(tile("RGBA", 64 * t, 0, 64 * t + 63, 63, Bytes(300, 0x8F)));
    reports.clear();
    EXPECT_EQ(readIff(save(dir, image({tbhd(512, 64, 3, 0, 8), group("TBMP", tiles)}))).size(), 1u);
    EXPECT_EQ(reports.text(),
              "error in iff_decompress_rle 8 bits\nerror in iff_read_compressed_tile function\n");

    // The tag stack: 31 open levels, a 32nd raises ReadError.
    Bytes nested;
    for (int i = 0; i < 40; ++i)
        nested.insert(nested.end(), {'F', 'O', 'R', '4', 0, 0, 0, 4, 'X', 'X', 'X', 'X'});
    CEL_IffImage walk;
    walk.iff_attach(nested.data(), nested.size());
    reports.clear();
    for (int i = 0; i < CEL_IffImage::MaxTagDepth; ++i)
        EXPECT_EQ(walk.iff_begin_read_chunk().position, size_t(12 * i));
    EXPECT_THROW(walk.iff_begin_read_chunk(), CEL_IffImage::ReadError);
    EXPECT_EQ(reports.text(), "tag stack corrupt\n");
    walk.iff_end_read_chunk(); // the 31st: 30 * 12 + 8 + 4
    EXPECT_EQ(walk.iff_position(), 372u);
    EXPECT_EQ(walk.iff_tag_depth(), 30);
}

// The handler's mapping: 8-bit exact, depth as 1 / z and back within one
// ulp, the refusals of write. (16-bit samples: stored doubled, negative as 0,
// read halved, against oiiotool both ways in test_iff_interop.)
TEST(IffHandler, ColourAndDepthRoundTrip) {
    celtest::TempDir dir;
    Reports reports;
    const QxCelUioIffHandler handler;
    const int w = 70, h = 66;
    // 8-bit colour with depth: the reader gets the content box and z back.
    auto* p8 = new CEL_PixmapRGBA8(w, h);
    for (int y = 10; y < 50; ++y)
        for (int x = 5; x < 60; ++x) *p8->pixel(x, y) = CEL_PixelRGBA8{uint8_t(x), uint8_t(y), 9, 200};
    const auto cel = celtest::celOf(p8);
    auto* z = new CEL_PixmapAreaZ(w, h);
    ASSERT_TRUE(z->realloc(Math::Box2di(0, 0, w, 40), false));
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < w; ++x)
            z->pixel(x, y)->value = x == 7 ? CEL_PixelFloat::Zero : 0.37f * float(x + 1) - 3.0f * float(y);
    cel->addRepresentation(UT_SharedPtr<CEL_Representation>(z));
    const QString path = dir.path("depth.iff");
    ASSERT_TRUE(handler.write(cel.get(), path, QStringLiteral("IFF")));
    const auto back = readIff(path);
    ASSERT_EQ(back.size(), 2u);
    const auto* area = dynamic_cast<const CEL_PixmapAreaRGBA16*>(back.front().get());
    const auto* zb = dynamic_cast<const CEL_PixmapAreaZ*>(back.back().get());
    ASSERT_TRUE(area && zb);
    EXPECT_EQ(area->allocatedRect(), Math::Box2di(5, 10, 55, 40));
    EXPECT_EQ(zb->allocatedRect(), area->allocatedRect());
    EXPECT_EQ(area->pixel(6, 11)->r, CEL_PixelRule::from8(6));
    for (int y = 10; y < 50; ++y)
        for (int x = 5; x < 60; ++x) {
            const CEL_PixelFloat* want = z->pixel(x, y);
            const CEL_PixelFloat got = *zb->pixel(x, y);
            if (!want || want->isZero()) {
                EXPECT_TRUE(got.isZero()) << x << "," << y;
                continue;
            }
            EXPECT_LE(std::abs(std::bit_cast<int32_t>(got.value) - std::bit_cast<int32_t>(want->value)), 1)
                << x << "," << y;
        }
    EXPECT_EQ(reports.text(), "");

    // Other codes write no colour; depth alone is still written.
    EXPECT_TRUE(handler.write(cel.get(), dir.path("z.iff"), QStringLiteral("IFF4")));
    EXPECT_EQ(reports.text(), "This is not a IFF format.\n");
    CEL_IffImage zOnly;
    ASSERT_TRUE(zOnly.iff_load_header(dir.path("z.iff")));
    EXPECT_EQ(zOnly.ifftype(), 4u);
    reports.clear();
    EXPECT_FALSE(handler.write(celtest::celOf(new CEL_PixmapRGBA8(3, 3)).get(), dir.path("no.iff"),
                               QStringLiteral("TGA")));
    EXPECT_FALSE(QFileInfo::exists(dir.path("no.iff")));

    // A failed save leaves the earlier file whole and reports once.
    QDir().mkpath(path + QStringLiteral(".new"));
    const QByteArray before = celtest::readFile(path);
    reports.clear();
    EXPECT_FALSE(handler.write(cel.get(), path, QStringLiteral("IFF")));
    EXPECT_EQ(reports.text(), "cannot open file\n");
    EXPECT_EQ(celtest::readFile(path), before);
    // Sizes the header cannot hold.
    reports.clear();
    CEL_IffImage wide(65537, 1, 1), many(65536, 4097, 1);
    const uint8_t px[4] = {};
    EXPECT_FALSE(wide.iff_save(path, px, nullptr, 1));
    EXPECT_FALSE(many.iff_save(path, px, nullptr, 1));
    EXPECT_EQ(reports.text(), "Error while writing IFF file.\nError while writing IFF file.\n");
    EXPECT_EQ(celtest::readFile(path), before);

    // The codec needs a file: standard input and output are refused.
    celtest::InteractiveGuard batch(false);
    reports.clear();
    CELIO_RepresentationList none;
    EXPECT_FALSE(handler.read(QStringLiteral("-"), CEL_Context(), none));
    EXPECT_FALSE(handler.write(cel.get(), QStringLiteral("-"), QStringLiteral("IFF")));
    EXPECT_EQ(reports.text(), "IFF images cannot be read from standard input: the codec needs a file\n"
                              "IFF images cannot be written to standard output: the codec needs a file\n");
}

// Tiles are coded and decoded in parallel: the file and the pixels are the
// same on one thread and on many.
TEST(IffWrite, SameBytesOnAnyThreadCount) {
    celtest::TempDir dir;
    const int w = 700, h = 300;
    auto* p = new CEL_PixmapRGBA16(w, h);
    std::mt19937 rng(9);
    for (int i = 0; i < w * h; ++i) {
        const int16_t v = int16_t(i % w < 350 ? (i / w) * 50 : int(rng() & 32767)); // flat and noisy tiles
        p->data()[i] = CEL_PixelRGBA16{v, int16_t(v / 2), 100, 32767};
    }
    const auto cel = celtest::celOf(p);
    auto* z = new CEL_PixmapAreaZ(w, h);
    ASSERT_TRUE(z->realloc(Math::Box2di(0, 0, w, h), false));
    for (int i = 0; i < w * h; ++i) z->data()[i].value = 1.0f + float(i % 977) * 0.01f;
    cel->addRepresentation(UT_SharedPtr<CEL_Representation>(z));
    QByteArray files[2];
    celtest::Values pixels[2];
    for (int serial = 0; serial < 2; ++serial) {
        CelAlgo::detail::setSerialForTesting(serial == 1);
        const QString path = dir.path(QStringLiteral("t%1.iff").arg(serial));
        ASSERT_TRUE(QxCelUioIffHandler().write(cel.get(), path, QStringLiteral("IFF_16")));
        files[serial] = celtest::readFile(path);
        CEL_IffImage back;
        back.iffctrl(CEL_IffImage::IFF_CTRL_TOP_DOWN, true);
        ASSERT_TRUE(back.iff_load(path));
        pixels[serial].assign(back.colour16(), back.colour16() + size_t(w) * h * 4);
        for (int i = 0; i < w * h; ++i) pixels[serial].push_back(std::bit_cast<int>(back.depth()[i]));
    }
    CelAlgo::detail::setSerialForTesting(false);
    EXPECT_TRUE(files[0] == files[1]);
    EXPECT_TRUE(pixels[0] == pixels[1]);
}
