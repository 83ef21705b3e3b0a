// OPT: hand-built files of every type, packet rules byte for byte, the
// encoder against the rules wherever its pieces cut, refusals, damage.
#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <tuple>

#include "HandlerTestUtil.h"
#include "OptTestUtil.h"
#include "algo/composite/CompositeDetail.h"
#include "base/Message.h"
#include "celio/ByteIO.h"
#include "celio/handlers/OptHandler.h"

using namespace opttest;

namespace {

// Reaches the plane encoder the derived handlers use.
struct OptProbe : QXCelUioOptHandler {
    using QXCelUioOptHandler::writeCompressedChannel;
};

Bytes encodePlane(const Bytes& values, size_t stride = 1) {
    celtest::TempDir dir;
    const QString path = dir.path("plane");
    Bytes spread(values.size() * stride, 0xEE);
    for (size_t i = 0; i < values.size(); ++i) spread[i * stride] = values[i];
    {
        obuf out(path);
        OptProbe().writeCompressedChannel(out, spread.data(), values.size(), stride);
        out.close();
    }
    return fileBytes(path);
}

// Plane content that cuts runs and literal spans at the encoder's piece size
// and around the 32767 packet limit, with triples falling anywhere.
Bytes awkwardPlane(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    static const size_t lengths[] = {1, 2, 3, 4, 5, 32765, 32766, 32767, 32768, 32769, 65535, 65536, 70001};
    Bytes v;
    while (v.size() < n) {
        const size_t len = std::min(n - v.size(), lengths[rng() % std::size(lengths)]);
        // A run, noise without equal neighbours, or a small alphabet (short runs, pairs, triples).
        const unsigned kind = rng() % 3, value = rng() & 255;
        for (size_t i = 0; i < len; ++i)
            v.push_back(uint8_t(kind == 0   ? value
                                : kind == 1 ? (v.empty() ? 0 : v.back() + 1 + rng() % 200)
                                            : rng() % 3));
    }
    return v;
}

} // namespace

TEST(OptRead, EveryTypeDecodesToItsPlanes) {
    celtest::TempDir dir;
    const QXCelUioOptHandler opt;
    const Bytes r{1, 2, 3, 4, 5, 6}, g{10, 20, 30, 40, 50, 60}, b{7, 7, 7, 9, 9, 9}, a{0, 128, 255, 1, 2, 3};
    // Compressed r: a run that crosses from row 0 into row 1; g starts with a
    // count of 0, which eats its value byte and makes nothing.
    const Bytes packedR = cat({runPacket(4, 1), literalPacket({5, 6})});
    const Bytes rle = {1, 1, 1, 1, 5, 6};
    const Bytes packedG = cat({runPacket(0, 99), literalPacket(g)});
    const Bytes packedB = cat({runPacket(3, 7), runPacket(3, 9)});
    const Bytes packedA = literalPacket(a);
    struct Case {
        uint32_t type;
        Bytes data;
        std::vector<Bytes> planes;
        int channels;
        const char* code;
        const char* description; // null: none
    } cases[] = {
        {1, cat({r, g, b}), {r, g, b}, 3, "OPT3", nullptr},
        {7, cat({r, g, b}), {r, g, b}, 3, "OPT3", nullptr},
        {3, cat({r, g, b}), {r, g, b}, 3, "OPT3", "Grayscale"},
        {9, cat({r, g, b}), {r, g, b}, 3, "OPT3", "Grayscale"},
        {2, cat({r, g, b, a}), {r, g, b, a}, 4, "OPT4", nullptr},
        {4, cat({packedR, packedG, packedB}), {rle, g, b}, 3, "OPT3", "RLE encoded"},
        {5, cat({packedR, packedG, packedB, packedA}), {rle, g, b, a}, 4, "OPT4", "RLE encoded"},
        {6, packedR, {rle}, 1, "OPT", "RLE encoded"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        // The channel byte and the scale are not read.
        const QString path =
            put(dir, QStringLiteral("t%1.opt").arg(c.type), optFile(c.type, 3, 2, c.data, 0, 0));
        const auto rep = decode(opt, path);
        ASSERT_TRUE(rep);
        EXPECT_EQ(rep->getFormat(),
                  c.channels == 1 ? CEL_Representation::PIXMAP_MATTE8 : CEL_Representation::PIXMAP_RGBA8);
        EXPECT_EQ(celtest::values(rep.get()), pixelsOf(c.planes));
        CELIO_Info info;
        ASSERT_EQ(opt.readInfo(path, CEL_Context(), info), CELIO_STATE_OK);
        EXPECT_TRUE(info.width == 3 && info.height == 2 && info.channels == uint32_t(c.channels));
        EXPECT_EQ(info.optionCode, QLatin1String(c.code));
        EXPECT_EQ(info.description, c.description ? QString::fromLatin1(c.description) : QString());
    }

    // A count of -32768 is 32768 literal values.
    Bytes big(32768);
    for (size_t i = 0; i < big.size(); ++i) big[i] = uint8_t(i * 7 + i / 256);
    const auto rep = decode(opt, put(dir, "big.opt", optFile(6, 256, 128, literalPacket(big), 1)));
    ASSERT_TRUE(rep);
    EXPECT_EQ(celtest::values(rep.get()), pixelsOf({big}));

    // A packet that runs past the end of its plane is read in whole; its
    // surplus is dropped and the next plane starts after it.
    const Bytes over = cat({runPacket(6, 9), literalPacket({1, 2, 3, 4, 5, 6}), runPacket(4, 3),
                            literalPacket({40, 41, 42, 43, 44})});
    EXPECT_EQ(celtest::values(decode(opt, put(dir, "over.opt", optFile(5, 2, 2, over))).get()),
              pixelsOf({{9, 9, 9, 9}, {1, 2, 3, 4}, {3, 3, 3, 3}, {40, 41, 42, 43}}));
}

TEST(OptWrite, PlaneEncoderBytes) {
    Bytes runs(2 * 32767 + 10, 5);
    EXPECT_EQ(encodePlane(runs), cat({runPacket(32767, 5), runPacket(32767, 5), runPacket(10, 5)}));
    EXPECT_EQ(encodePlane({1, 2, 3, 3, 3}), Bytes({0xFF, 0xFE, 1, 2, 0x00, 0x03, 3}));
    EXPECT_EQ(encodePlane({1, 2, 3, 3, 3}, 4), Bytes({0xFF, 0xFE, 1, 2, 0x00, 0x03, 3}));
    // Literal spans: a whole packet and no empty one after it; then a remainder.
    Bytes noise(32772);
    for (size_t i = 0; i < noise.size(); ++i) noise[i] = uint8_t(i % 251);
    const Bytes exact(noise.begin(), noise.begin() + 32767);
    EXPECT_EQ(encodePlane(exact), cat({{0x80, 0x01}, exact}));
    EXPECT_EQ(encodePlane(noise),
              cat({{0x80, 0x01}, exact, {0xFF, 0xFB}, Bytes(noise.begin() + 32767, noise.end())}));
    EXPECT_EQ(encodePlane(noise, 4), encodePlane(noise));
    // A pair is literal, even at the end; a run of 32768 ends with a run of one.
    EXPECT_EQ(encodePlane({4, 4}), Bytes({0xFF, 0xFE, 4, 4}));
    EXPECT_EQ(encodePlane(Bytes(32768, 8)), cat({runPacket(32767, 8), runPacket(1, 8)}));
}

// Planes are encoded in pieces (and in parallel); the bytes must be those of
// the rules applied to each whole plane. 613 x 347 cuts the pieces at odd
// places; 2600 x 1700 of noise makes the encoder stop holding the bytes of
// planes that hardly compress and finish them in passes of their own.
TEST(OptWrite, PlanesFollowTheRulesWhereverTheyAreCut) {
    celtest::TempDir dir;
    const QString path = dir.path("p.opt");
    for (unsigned seed : {1u, 2u, 3u, 0u}) {
        const int w = seed ? 613 : 2600, h = seed ? 347 : 1700;
        const size_t n = size_t(w) * h;
        std::vector<Bytes> planes;
        std::mt19937 rng(77);
        for (unsigned c = 0; c < 4; ++c) {
            planes.push_back(seed ? awkwardPlane(n, seed * 10 + c) : Bytes(n));
            for (size_t i = 0; !seed && i < n; ++i) planes[c][i] = (4 * i + c) % 997 < 5 ? 9 : uint8_t(rng());
        }
        if (seed) { // a triple that starts two values before the end of the first piece
            for (size_t i = 0; i < 32766; ++i) planes[0][i] = uint8_t(i % 251);
            std::fill_n(planes[0].begin() + 32766, 5, uint8_t(255));
        }
        auto* px = new CEL_PixmapRGBA8(w, h);
        auto* bytes = reinterpret_cast<uint8_t*>(px->data());
        for (size_t i = 0; i < 4 * n; ++i) bytes[i] = planes[i % 4][i / 4];
        const auto cel = celtest::celOf(px);
        Bytes want;
        for (const Bytes& p : planes) want = cat({want, referencePlane(p)});
        for (bool serial : {true, false}) {
            SCOPED_TRACE(testing::Message() << "seed " << seed << (serial ? " serial" : " parallel"));
            CelAlgo::detail::setSerialForTesting(serial);
            EXPECT_TRUE(QXCelUioOptHandler().write(cel.get(), path, QStringLiteral("OPT4")));
            CelAlgo::detail::setSerialForTesting(false);
            const Bytes file = fileBytes(path);
            EXPECT_TRUE(file.size() > 32 && Bytes(file.begin() + 32, file.end()) == want);
        }
        // Read back, the planes side by side through windows and packets of every length.
        const auto back = decode(QXCelUioOptHandler(), path);
        const auto* got = dynamic_cast<const CEL_PixmapRGBA8*>(back.get());
        ASSERT_TRUE(got && got->width() == w && got->height() == h);
        EXPECT_EQ(std::memcmp(got->data(), px->data(), 4 * n), 0);
    }
    // A matte longer than the matte encoder's piece.
    const Bytes matte = awkwardPlane(1100 * 1000, 9);
    EXPECT_TRUE(QXCelUioOptHandler().write(celtest::celOf<CEL_PixmapMatte8>(matte, 1100, 1000).get(), path,
                                           QStringLiteral("opt1")));
    const Bytes file = fileBytes(path);
    EXPECT_TRUE(Bytes(file.begin() + 32, file.end()) == referencePlane(matte));
}

TEST(OptWrite, CodesHeadersAndRefusals) {
    celtest::TempDir dir;
    const QXCelUioOptHandler opt;
    auto* px = new CEL_PixmapRGBA8(3, 2);
    for (int i = 0; i < 6; ++i)
        px->data()[i] = CEL_PixelRGBA8{uint8_t(i), uint8_t(2 * i), 9, uint8_t(i * 40)};
    const auto cel = celtest::celOf(px);
    for (const auto& [code, type, channels] :
         {std::tuple{"OPT4", 5u, 4}, {"OPT", 4u, 3}, {"opt3", 4u, 3}, {"OPT1", 6u, 1}}) {
        const QString path = dir.path("c.opt");
        ASSERT_TRUE(opt.write(cel.get(), path, QLatin1String(code)));
        const Bytes file = fileBytes(path);
        EXPECT_EQ(Bytes(file.begin(), file.begin() + std::min<size_t>(32, file.size())),
                  optFile(type, 3, 2, {}, uint8_t(channels)))
            << code;
    }

    // Refused before the output is opened: nothing is created.
    const QString none = dir.path("none.opt");
    EXPECT_FALSE(opt.write(cel.get(), none, QStringLiteral("OPT2")));
    EXPECT_FALSE(
        opt.write(celtest::celOf(new CEL_PixmapMatte8(65536, 1)).get(), none, QStringLiteral("OPT1")));
    EXPECT_FALSE(QFileInfo::exists(none));

    // Zero width: a header alone, read back as an empty pixmap.
    const QString empty = dir.path("empty.opt");
    ASSERT_TRUE(opt.write(celtest::celOf(new CEL_PixmapRGBA8(0, 5)).get(), empty, QStringLiteral("OPT4")));
    EXPECT_EQ(fileBytes(empty), optFile(5, 0, 5, {}, 4));
    const auto back = decode(opt, empty);
    EXPECT_TRUE(back && dynamic_cast<const CEL_Pixmap&>(*back).width() == 0);
}

TEST(OptRead, BadInputFailsCleanly) {
    celtest::TempDir dir;
    const QXCelUioOptHandler opt;
    QXMessage::Capture messages;
    const Bytes good = optFile(
        5, 2, 2,
        cat({runPacket(4, 1), literalPacket({1, 2, 3, 4}), runPacket(4, 3), literalPacket({5, 6, 7, 8})}));
    for (size_t cut = 0; cut < good.size(); ++cut) {
        const QString path = put(dir, "cut.opt", Bytes(good.begin(), good.begin() + long(cut)));
        EXPECT_FALSE(decode(opt, path)) << cut;
        CELIO_Info info;
        EXPECT_EQ(opt.readInfo(path, CEL_Context(), info), cut < 32 ? CELIO_STATE_FAILED : CELIO_STATE_OK);
    }
    const Bytes verbatim = optFile(2, 2, 2, Bytes(16, 1));
    EXPECT_FALSE(decode(opt, put(dir, "v.opt", Bytes(verbatim.begin(), verbatim.end() - 1))));
    EXPECT_TRUE(messages.records().empty());

    for (uint32_t type : {8u, 0u, 0xFFFFFFFFu}) {
        const QString path = put(dir, "u.opt", optFile(type, 1, 1, Bytes(4, 0)));
        messages.clear();
        EXPECT_FALSE(decode(opt, path));
        ASSERT_EQ(messages.records().size(), 1u);
        EXPECT_EQ(messages.texts(), QStringList{QStringLiteral("unknown opt type %1").arg(type)});
        EXPECT_EQ(messages.records()[0].action * 100 + messages.records()[0].code, 610);
        CELIO_Info info;
        EXPECT_EQ(opt.readInfo(path, CEL_Context(), info), CELIO_STATE_FAILED);
    }

    const auto empty = decode(opt, put(dir, "z.opt", optFile(6, 7, 0, {})));
    EXPECT_TRUE(empty && dynamic_cast<const CEL_Pixmap&>(*empty).height() == 0);
    EXPECT_FALSE(decode(opt, dir.path("missing.opt")));
}

// ImageMagick writes a picture's planes one after the other; behind an OPT
// type-2 header they must read as ImageMagick's own RGBA of the picture.
TEST(OptRead, ImageMagickPlanes) {
    const QString magick = celtest::program("convert");
    if (magick.isEmpty()) GTEST_SKIP() << "ImageMagick's convert not found";
    celtest::TempDir dir;
    const QString png = dir.path("src.png");
    const auto run = [&](const QStringList& args) {
        QByteArray out;
        return celtest::run(magick, args, &out) ? out : QByteArray();
    };
    run({"-seed", "7", "-size", "41x29", "plasma:fractal", "(", "-size", "41x29", "gradient:", ")", "-alpha",
         "off", "-compose", "CopyOpacity", "-composite", "-depth", "8", png});
    const QByteArray planes = run({png, "-depth", "8", "-interlace", "plane", "rgba:-"});
    const QByteArray rgba = run({png, "-depth", "8", "rgba:-"});
    ASSERT_EQ(planes.size(), 41 * 29 * 4);
    ASSERT_EQ(rgba.size(), planes.size());
    const auto rep = decode(QXCelUioOptHandler(),
                            put(dir, "im.opt", optFile(2, 41, 29, Bytes(planes.begin(), planes.end()))));
    const auto* px = dynamic_cast<const CEL_PixmapRGBA8*>(rep.get());
    ASSERT_TRUE(px);
    EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(px->data()), rgba.size()), rgba);
}
