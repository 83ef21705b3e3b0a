// TGA reading and writing: packet rules byte for byte, orientations, the
// refusals, and malformed input that must fail cleanly.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <vector>

#include "base/Message.h"
#include "base/Platform.h"
#include "cel/Cel.h"
#include "cel/Context.h"
#include "celio/handlers/TgaHandler.h"
#include "pixel/PixmapCanvas.h"
#include "support/TestSupport.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes header(int type, int depth, int w, int h, int descriptor = 0, int idLength = 0, int colorMap = 0) {
    return {uint8_t(idLength),
            uint8_t(colorMap),
            uint8_t(type),
            0,
            0,
            0,
            0,
            0,
            0,
            0,
            0,
            0,
            uint8_t(w),
            uint8_t(w >> 8),
            uint8_t(h),
            uint8_t(h >> 8),
            uint8_t(depth),
            uint8_t(descriptor)};
}

Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes asBytes(const QByteArray& a) {
    return Bytes(a.begin(), a.end());
}

// Owns what the decoder returns.
struct Decoded {
    std::unique_ptr<CEL_Representation> rep;
    CEL_PixmapRGBA8* rgba() const { return dynamic_cast<CEL_PixmapRGBA8*>(rep.get()); }
    CEL_PixmapMatte8* matte() const { return dynamic_cast<CEL_PixmapMatte8*>(rep.get()); }
};

Decoded decode(const Bytes& file) {
    QXCelUioTgaHandler h;
    return {std::unique_ptr<CEL_Representation>(h.read(file.data(), unsigned(file.size())))};
}

UT_SharedPtr<CEL_Cel> celOf(CEL_Pixmap* pixmap) {
    UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(pixmap->getFormat()));
    cel->addRepresentation(UT_SharedPtr<CEL_Representation>(pixmap));
    return cel;
}

UT_SharedPtr<CEL_Cel> greyCel(const Bytes& values, int w, int h) {
    auto* m = new CEL_PixmapMatte8(w, h);
    std::copy(values.begin(), values.end(), m->data());
    return celOf(m);
}

UT_SharedPtr<CEL_Cel> rgbaCel(const std::vector<CEL_PixelRGBA8>& px, int w, int h) {
    auto* p = new CEL_PixmapRGBA8(w, h);
    std::copy(px.begin(), px.end(), p->data());
    return celOf(p);
}

// The pixel data after the 18-byte header.
Bytes body(const QByteArray& file) {
    return Bytes(file.begin() + QXCelUioTgaHandler::Header::Size, file.end());
}

} // namespace

TEST(TgaWrite, RunPacketsSplitAt128) {
    const QByteArray file =
        QXCelUioTgaHandler().encode(greyCel(Bytes(300, 77), 300, 1).get(), QStringLiteral("TGA1"));
    EXPECT_EQ(body(file), (Bytes{255, 77, 255, 77, 171, 77}));
}

TEST(TgaWrite, LiteralPacketsHoldAtMost128AndStopBeforeAPair) {
    Bytes alternating(300);
    for (int i = 0; i < 300; ++i) alternating[i] = uint8_t(i & 1);
    const Bytes out =
        body(QXCelUioTgaHandler().encode(greyCel(alternating, 300, 1).get(), QStringLiteral("tga1")));
    ASSERT_EQ(out.size(), 303u);
    EXPECT_EQ(out[0], 127);
    EXPECT_EQ(out[129], 127);
    EXPECT_EQ(out[258], 43);
    EXPECT_EQ(Bytes(out.begin() + 259, out.end()), Bytes(alternating.begin() + 256, alternating.end()));

    // 1 2 | 3 3 3 | 4: the literal ends before the equal pair, a lone last element is a literal.
    EXPECT_EQ(
        body(QXCelUioTgaHandler().encode(greyCel({1, 2, 3, 3, 3, 4}, 6, 1).get(), QStringLiteral("TGA1"))),
        (Bytes{1, 1, 2, 130, 3, 0, 4}));
    // A pair at the very start is a run of two.
    EXPECT_EQ(body(QXCelUioTgaHandler().encode(greyCel({5, 5, 6}, 3, 1).get(), QStringLiteral("TGA1"))),
              (Bytes{129, 5, 0, 6}));
}

TEST(TgaWrite, ColourElementsCompareAllFourBytes) {
    // Equal colour, different alpha: no run, even in 24-bit output.
    const auto cel = rgbaCel({{10, 20, 30, 40}, {10, 20, 30, 41}}, 2, 1);
    EXPECT_EQ(body(QXCelUioTgaHandler().encode(cel.get(), QStringLiteral("TGA3"))),
              (Bytes{1, 30, 20, 10, 30, 20, 10}));
    EXPECT_EQ(body(QXCelUioTgaHandler().encode(cel.get(), QStringLiteral("TGA4"))),
              (Bytes{1, 30, 20, 10, 40, 30, 20, 10, 41}));
}

TEST(TgaWrite, HeadersRowsBottomUpAndPacketsNeverCrossRows) {
    // Top row all A, bottom row all B.
    const CEL_PixelRGBA8 a{1, 2, 3, 255}, b{4, 5, 6, 128};
    const auto cel = rgbaCel({a, a, b, b}, 2, 2);
    const QByteArray t4 = QXCelUioTgaHandler().encode(cel.get(), QStringLiteral("TGA4"));
    EXPECT_EQ(asBytes(t4), cat(header(10, 32, 2, 2, 8), {129, 6, 5, 4, 128, 129, 3, 2, 1, 255}));
    const QByteArray t = QXCelUioTgaHandler().encode(cel.get(), QStringLiteral("TGA"));
    EXPECT_EQ(asBytes(t), cat(header(10, 24, 2, 2, 0), {129, 6, 5, 4, 129, 3, 2, 1}));
    EXPECT_EQ(QXCelUioTgaHandler().encode(cel.get(), QStringLiteral("TGA3")), t);

    const auto grey = greyCel({9, 9, 9, 9}, 2, 2);
    EXPECT_EQ(asBytes(QXCelUioTgaHandler().encode(grey.get(), QStringLiteral("TGA1"))),
              cat(header(11, 8, 2, 2, 0), {129, 9, 129, 9}));
    EXPECT_TRUE(QXCelUioTgaHandler().encode(grey.get(), QStringLiteral("TGA2")).isEmpty());
}

TEST(TgaWrite, OptionsAndCodes) {
    QXCelUioTgaHandler h;
    CELIO_WriteOptions caps;
    h.getWriteOptions(caps);
    EXPECT_TRUE(caps.singleChannel && caps.alpha && !caps.deepPixels && !caps.compressed);
    CELIO_WriteOptions o;
    EXPECT_EQ(h.getWriteOptionsCode(o), QStringLiteral("TGA"));
    o.singleChannel = true;
    EXPECT_EQ(h.getWriteOptionsCode(o), QStringLiteral("TGA1"));
    o.alpha = true;
    EXPECT_EQ(h.getWriteOptionsCode(o), QStringLiteral("TGA4"));
    EXPECT_EQ(h.getWriteOptionCodes(), (QStringList{"TGA", "TGA4", "TGA3", "TGA1"}));
    EXPECT_EQ(h.getExtensions(), QStringList{"TGA"});
    EXPECT_EQ(h.formatClass(), CELIO_PixmapFormat);
}

TEST(TgaWrite, FilesDirectoriesAndFailures) {
    celtest::TempDir dir;
    QXCelUioTgaHandler h;
    const auto cel = greyCel({1, 2, 3, 4}, 2, 2);
    const QString nested = dir.path(QStringLiteral("a/b/c.tga"));
    ASSERT_TRUE(h.write(cel.get(), nested, QStringLiteral("TGA1")));
    EXPECT_EQ(celtest::readFile(nested), h.encode(cel.get(), QStringLiteral("TGA1")));

    // An unknown code still opens (and empties) the file.
    ASSERT_TRUE(h.write(cel.get(), nested, QStringLiteral("BMP")));
    EXPECT_TRUE(QFile::exists(nested));
    EXPECT_EQ(QFileInfo(nested).size(), 0);

    QXMessage::Capture capture;
    EXPECT_FALSE(h.write(cel.get(), dir.root(), QStringLiteral("TGA1"))); // a directory
    ASSERT_EQ(capture.records().size(), 1u);
    EXPECT_EQ(capture.records()[0].source,
              QStringLiteral("Could not open file \"%1\" for writing.\n").arg(dir.root()));
    EXPECT_EQ(capture.records()[0].code, 20);
}

TEST(TgaRead, EveryOrientationRawAndRle) {
    // Image, top row first: 1 2 3 / 4 5 6 (grey) and the same as colour.
    const int img[2][3] = {{1, 2, 3}, {4, 5, 6}};
    for (int flip = 0; flip < 4; ++flip) {
        for (int depth : {8, 24, 32}) {
            for (bool rle : {false, true}) {
                SCOPED_TRACE(testing::Message() << "flip " << flip << " depth " << depth << " rle " << rle);
                const int bpp = depth / 8;
                Bytes data;
                for (int r = 0; r < 2; ++r) {
                    const int y = (flip & 2) ? r : 1 - r;
                    if (rle) data.push_back(2); // one literal packet of three per row
                    for (int i = 0; i < 3; ++i) {
                        const int v = img[y][(flip & 1) ? 2 - i : i];
                        if (bpp == 1)
                            data.push_back(uint8_t(v));
                        else {
                            data.insert(data.end(), {uint8_t(v + 20), uint8_t(v + 10), uint8_t(v)}); // b g r
                            if (bpp == 4) data.push_back(uint8_t(v + 100));
                        }
                    }
                }
                const int type = (rle ? 8 : 0) + (bpp == 1 ? 3 : 2);
                const Decoded d =
                    decode(cat(header(type, depth, 3, 2, (flip << 4) | (bpp == 4 ? 8 : 0)), data));
                ASSERT_TRUE(d.rep);
                for (int y = 0; y < 2; ++y) {
                    for (int x = 0; x < 3; ++x) {
                        const int v = img[y][x];
                        if (bpp == 1) {
                            ASSERT_TRUE(d.matte());
                            EXPECT_EQ(*d.matte()->pixel(x, y), v);
                        } else {
                            ASSERT_TRUE(d.rgba());
                            const CEL_PixelRGBA8 want{uint8_t(v), uint8_t(v + 10), uint8_t(v + 20),
                                                      uint8_t(bpp == 4 ? v + 100 : 255)};
                            EXPECT_EQ(*d.rgba()->pixel(x, y), want) << x << "," << y;
                        }
                    }
                }
            }
        }
    }
}

TEST(TgaRead, PacketsContinueAcrossRowsAndDepthPicksThePixmap) {
    // Grey RLE 3 x 2: a run of four 9s fills the bottom row and starts the top
    // one; a literal of two spans the rest.
    Decoded d = decode(cat(header(11, 8, 3, 2), {0x83, 9, 0x01, 1, 2}));
    ASSERT_TRUE(d.matte());
    EXPECT_EQ(Bytes(d.matte()->data(), d.matte()->data() + 6), (Bytes{9, 1, 2, 9, 9, 9}));

    // A literal packet running over the row end, top-down, 24-bit in a grey type.
    d = decode(cat(header(11, 24, 2, 2, 0x20), {0x02, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0x80, 10, 11, 12}));
    ASSERT_TRUE(d.rgba());
    EXPECT_EQ(*d.rgba()->pixel(0, 1), (CEL_PixelRGBA8{9, 8, 7, 255}));
    EXPECT_EQ(*d.rgba()->pixel(1, 1), (CEL_PixelRGBA8{12, 11, 10, 255}));

    // 8-bit data in a colour type gives a matte.
    d = decode(cat(header(2, 8, 1, 1), {42}));
    ASSERT_TRUE(d.matte());
    EXPECT_EQ(*d.matte()->data(), 42);

    // The image ID is skipped.
    d = decode(cat(header(3, 8, 1, 1, 0, 3), {0xEE, 0xEE, 0xEE, 42}));
    ASSERT_TRUE(d.matte());
    EXPECT_EQ(*d.matte()->data(), 42);
}

TEST(TgaRead, RefusalsAndTheirMessages) {
    QXMessage::Capture capture;
    EXPECT_FALSE(decode(cat(header(2, 24, 1, 1, 0, 0, 1), {1, 2, 3})).rep); // colour-mapped: silent
    EXPECT_TRUE(capture.records().empty());

    EXPECT_FALSE(decode(cat(header(9, 8, 1, 1), {1})).rep);
    ASSERT_EQ(capture.records().size(), 1u);
    EXPECT_EQ(capture.records()[0].source, QStringLiteral("Unsupported tga file type: 9"));
    EXPECT_EQ(capture.records()[0].action, 5);
    EXPECT_EQ(capture.records()[0].code, 11);

    capture.clear();
    EXPECT_FALSE(decode(cat(header(2, 16, 1, 1), {1, 2})).rep);
    ASSERT_EQ(capture.records().size(), 1u);
    EXPECT_EQ(capture.records()[0].source, QStringLiteral("Unsupported tga depth: 16"));
    EXPECT_EQ(capture.records()[0].code, 11);

    capture.clear();
    EXPECT_FALSE(decode({}).rep); // an empty input reads as type 0
    EXPECT_EQ(capture.texts(), QStringList{QStringLiteral("Unsupported tga file type: 0")});
}

TEST(TgaRead, TruncatedZeroSizedAndLyingHeaders) {
    // Zero width: an empty pixmap, not a failure.
    Decoded d = decode(header(10, 32, 0, 7));
    ASSERT_TRUE(d.rgba());
    EXPECT_EQ(d.rgba()->height(), 7);
    EXPECT_EQ(d.rgba()->data(), nullptr);

    // Data ends early: what was decoded stays, the rest is transparent black.
    d = decode(cat(header(10, 32, 4, 1), {0x81, 1, 2, 3, 4, 0x01, 5, 6}));
    ASSERT_TRUE(d.rgba());
    EXPECT_EQ(*d.rgba()->pixel(1, 0), (CEL_PixelRGBA8{3, 2, 1, 4}));
    EXPECT_EQ(*d.rgba()->pixel(2, 0), (CEL_PixelRGBA8{0, 0, 0, 0}));
    EXPECT_EQ(*d.rgba()->pixel(3, 0), (CEL_PixelRGBA8{0, 0, 0, 0}));

    // 65535 x 65535 claimed with a few bytes of data: refused before allocating.
    QXMessage::Capture capture;
    const unsigned long long before = CEL_PixmapAllocationCounter::allocatedSizeTotal();
    EXPECT_FALSE(decode(cat(header(10, 32, 65535, 65535), {0xff, 1, 2, 3, 4})).rep);
    EXPECT_EQ(CEL_PixmapAllocationCounter::allocatedSizeTotal(), before);
    EXPECT_EQ(capture.records().size(), 1u);

    // The best case of the bound passes: one full run packet per 128 pixels.
    Bytes best = header(10, 32, 1024, 1024);
    for (int i = 0; i < 1024 * 1024 / 128; ++i) best.insert(best.end(), {0xff, 1, 2, 3, 4});
    d = decode(best);
    ASSERT_TRUE(d.rgba());
    EXPECT_EQ(*d.rgba()->pixel(1023, 0), (CEL_PixelRGBA8{3, 2, 1, 4}));
    best.resize(best.size() - 1);
    EXPECT_FALSE(decode(best).rep);
}

TEST(TgaRead, CutAndDamagedFilesFailCleanly) {
    std::mt19937 rng(12345);
    std::vector<CEL_PixelRGBA8> px(37 * 11);
    for (size_t i = 0; i < px.size(); ++i)
        px[i] = CEL_PixelRGBA8{uint8_t(rng() % 3), uint8_t(i / 37), 7, uint8_t(rng() % 2 ? 255 : rng())};
    const QXCelUioTgaHandler h;
    for (const char* code : {"TGA4", "TGA", "TGA1"}) {
        const Bytes file = asBytes(h.encode(rgbaCel(px, 37, 11).get(), QLatin1String(code)));
        QXMessage::Capture quiet;
        for (size_t n = 0; n <= file.size(); ++n) {
            const Bytes cut(file.begin(), file.begin() + n);
            Decoded d = decode(cut);
            if (n >= 18) {
                ASSERT_TRUE(d.rep) << code << " cut at " << n;
            }
        }
        for (int trial = 0; trial < 300; ++trial) {
            Bytes damaged = file;
            for (int k = 0; k < 4; ++k) damaged[rng() % damaged.size()] = uint8_t(rng());
            decode(damaged);
        }
    }
}

TEST(TgaRead, FilesAcrossWindowsAndStandardInput) {
    // Noise defeats the run-length coding, so the file is larger than the
    // 4 MiB input window and packets straddle its end.
    const int w = 1031, ht = 1100;
    std::mt19937 rng(7);
    std::vector<CEL_PixelRGBA8> px(size_t(w) * ht);
    for (auto& p : px)
        p = CEL_PixelRGBA8{uint8_t(rng()), uint8_t(rng()), uint8_t(rng() % 4), uint8_t(rng() % 4)};
    const auto cel = rgbaCel(px, w, ht);
    celtest::TempDir dir;
    const QString path = dir.path(QStringLiteral("noise.tga"));
    QXCelUioTgaHandler h;
    ASSERT_TRUE(h.write(cel.get(), path, QStringLiteral("TGA4")));
    ASSERT_GT(QFileInfo(path).size(), 4 << 20);

    const auto check = [&](const CELIO_RepresentationList& list) {
        ASSERT_EQ(list.size(), 1u);
        const auto* got = dynamic_cast<const CEL_PixmapRGBA8*>(list.front().get());
        ASSERT_TRUE(got);
        ASSERT_EQ(got->width(), w);
        EXPECT_EQ(std::memcmp(got->data(), px.data(), px.size() * 4), 0);
    };
    CELIO_RepresentationList fromFile;
    ASSERT_TRUE(h.read(path, CEL_Context(), fromFile));
    check(fromFile);

    // Standard input arrives one byte per chunk.
    ASSERT_TRUE(std::freopen(path.toLocal8Bit().constData(), "rb", stdin));
    WHO_Identity::setInteractive(false);
    CELIO_RepresentationList fromStdin;
    const bool ok = h.read(QStringLiteral("-"), CEL_Context(), fromStdin);
    WHO_Identity::setInteractive(true);
    ASSERT_TRUE(ok);
    check(fromStdin);

    CELIO_RepresentationList missing;
    EXPECT_FALSE(h.read(dir.path(QStringLiteral("none.tga")), CEL_Context(), missing));
    EXPECT_TRUE(missing.empty());
}

TEST(TgaInfo, CodesChannelsAndRefusals) {
    celtest::TempDir dir;
    QXCelUioTgaHandler h;
    const auto info = [&](const Bytes& file, CELIO_Info& out) {
        const QString path = dir.path(QStringLiteral("i.tga"));
        celtest::writeFile(path,
                           QByteArray(reinterpret_cast<const char*>(file.data()), qsizetype(file.size())));
        return h.readInfo(path, CEL_Context(), out);
    };
    struct Row {
        int type, depth;
        CELIO_State state;
        uint32_t channels;
        const char* code;
        bool rleText;
    } rows[] = {
        {2, 8, CELIO_STATE_OK, 1, "TGA", false},   {3, 8, CELIO_STATE_OK, 1, "TGA", false},
        {2, 16, CELIO_STATE_OK, 3, "TGA3", false}, {2, 24, CELIO_STATE_OK, 3, "TGA3", false},
        {2, 32, CELIO_STATE_OK, 4, "TGA4", false}, {10, 8, CELIO_STATE_OK, 1, "TGA", true},
        {11, 8, CELIO_STATE_OK, 1, "TGA1", true},  {10, 16, CELIO_STATE_OK, 3, "TGA3", true},
        {10, 32, CELIO_STATE_OK, 4, "TGA4", true}, {2, 15, CELIO_STATE_FAILED, 0, "", false},
        {10, 15, CELIO_STATE_FAILED, 0, "", true}, {1, 8, CELIO_STATE_FAILED, 0, "", false},
        {9, 8, CELIO_STATE_FAILED, 0, "", false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << "type " << r.type << " depth " << r.depth);
        CELIO_Info out;
        EXPECT_EQ(info(header(r.type, r.depth, 300, 2), out), r.state);
        EXPECT_EQ(out.width, 300u);
        EXPECT_EQ(out.channels, r.channels);
        EXPECT_EQ(out.optionCode, QLatin1String(r.code));
        EXPECT_EQ(out.description, r.rleText ? QStringLiteral("RLE Encoded") : QString());
        EXPECT_EQ(out.bytesPerChannel, r.state == CELIO_STATE_OK ? 1u : 0u);
    }
    CELIO_Info out;
    EXPECT_EQ(info(header(2, 24, 1, 1, 0, 0, 1), out), CELIO_STATE_FAILED);
    EXPECT_EQ(h.readInfo(dir.path(QStringLiteral("missing.tga")), CEL_Context(), out), CELIO_STATE_FAILED);
    // A header cut short throws the end-of-data signal.
    EXPECT_THROW(info(Bytes(10, 0), out), int);

    // What the writer produces reads back as the code it was written with.
    const auto cel = greyCel({1, 2}, 2, 1);
    const QString path = dir.path(QStringLiteral("w.tga"));
    for (const char* code : {"TGA1", "TGA", "TGA4"}) {
        ASSERT_TRUE(h.write(cel.get(), path, QLatin1String(code)));
        CELIO_Info wi;
        ASSERT_EQ(h.readInfo(path, CEL_Context(), wi), CELIO_STATE_OK);
        EXPECT_EQ(wi.optionCode, QLatin1String(code[3] ? code : "TGA3"));
        EXPECT_EQ(wi.description, QStringLiteral("RLE Encoded"));
    }
}
