// IFF exchanged with oiiotool both ways (skipped without it): files it
// writes, run-length and uncompressed, RGB and RGBA, 8 and 16 bits, read here
// to the samples meant (16-bit >> 1), and files written here decode there to
// the samples meant (16-bit x 2). Depth stays out: oiiotool writes none.
#include <QFile>
#include <gtest/gtest.h>
#include <random>

#include "HandlerTestUtil.h"
#include "cel/Context.h"
#include "celio/handlers/IffHandler.h"
#include "support/TestSupport.h"

namespace {

using celtest::Values;

const QString kOiio = celtest::program("oiiotool");

// Samples with runs and noise, alpha 0 and full in some columns; r, g, b, a per pixel.
Values content(int w, int h, int bits, unsigned seed) {
    std::mt19937 rng(seed);
    const int full = (1 << bits) - 1;
    Values v;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 4; ++c) {
                const int smooth = ((x / 5) * 53 + (y / 3) * 29 + c * 71) * (bits == 8 ? 1 : 257);
                const int noisy = y % 4 == 3 ? int(rng() & 0xFFFF) : 0;
                v.push_back(c == 3 && x % 7 == 0 ? 0 : c == 3 && x % 7 == 1 ? full : (smooth + noisy) & full);
            }
    return v;
}

const int kSizes[][2] = {{1, 1}, {65, 63}, {100, 70}, {4096, 64}};

} // namespace

// Files oiiotool writes decode here to the samples it was given, 16-bit ones
// halved, and to what oiiotool itself decodes from them. Its 16-bit
// run-length files store alpha with its two bytes exchanged (both readers
// then give the exchanged value; 0 and 65535 survive). RGB tiles it stores
// raw (uncompressed files, and tiles that do not compress, such as 1 x 1) it
// cannot read back itself: there only the samples are compared.
TEST(IffInterop, FilesOiiotoolWrites) {
    if (kOiio.isEmpty()) GTEST_SKIP() << "oiiotool missing";
    celtest::TempDir dir;
    struct Case {
        QString file;
        Values want; // r, g, b, a as this library holds them
        bool deep, theirsReadable;
    };
    std::vector<Case> cases;
    QStringList args;
    for (const auto& size : kSizes)
        for (int bits : {8, 16})
            for (int channels : {3, 4}) {
                const int w = size[0], h = size[1];
                const Values v = content(w, h, bits, unsigned(w + bits + channels));
                const QString source =
                    dir.path(QStringLiteral("%1x%2_%3_%4.tif").arg(w).arg(h).arg(bits).arg(channels));
                celtest::writeTiff(source, v, w, h, bits, channels);
                args << source << "-d" << (bits == 8 ? "uint8" : "uint16");
                for (const char* compression : {"rle", "none"}) {
                    const bool rle = compression[0] == 'r';
                    const QString file =
                        source.chopped(4) + QLatin1Char('_') + QLatin1String(compression) + ".iff";
                    args << "--compression" << compression << "-o" << file;
                    Values want = v;
                    for (size_t i = 0; i < want.size(); ++i) {
                        int s = i % 4 == 3 && channels == 3 ? (1 << bits) - 1 : want[i];
                        if (i % 4 == 3 && bits == 16 && rle && channels == 4) s = ((s & 255) << 8) | (s >> 8);
                        want[i] = bits == 16 ? s >> 1 : s;
                    }
                    cases.push_back({file, want, bits == 16, channels == 4 || (rle && w * h > 1)});
                }
            }
    ASSERT_TRUE(celtest::run(kOiio, args));

    QStringList readable;
    for (const Case& c : cases)
        if (c.theirsReadable) readable << c.file;
    const std::vector<Values> decoded = celtest::oiioValues(readable);
    ASSERT_EQ(decoded.size(), size_t(readable.size()));
    size_t k = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file.toStdString());
        bool deep = false;
        const Values got = celtest::readValues(QxCelUioIffHandler(), c.file, &deep);
        EXPECT_EQ(deep, c.deep);
        EXPECT_TRUE(got == c.want);
        if (!c.theirsReadable) continue;
        Values t = decoded[k++];
        if (c.deep)
            for (int& s : t) s >>= 1;
        EXPECT_TRUE(got == t);
    }
}

// Files written here decode in oiiotool to the samples meant: 8-bit as they
// are, 16-bit doubled (negative as 0), noisy tiles written raw included.
TEST(IffInterop, FilesWeWriteDecodeInOiiotool) {
    if (kOiio.isEmpty()) GTEST_SKIP() << "oiiotool missing";
    celtest::TempDir dir;
    const QxCelUioIffHandler handler;
    QStringList files;
    std::vector<Values> wants;
    for (const auto& size : kSizes)
        for (int bits : {8, 16}) {
            const int w = size[0], h = size[1];
            Values v = content(w, h, bits == 8 ? 8 : 15, unsigned(w * h + bits));
            if (w == 100 && bits == 16) { // noise everywhere: every tile goes out raw
                std::mt19937 rng(8);
                for (int& s : v) s = int(rng() & 32767);
            }
            // 16-bit: some negative samples, written as 0; the rest doubled.
            Values want = v;
            auto* p8 = new CEL_PixmapRGBA8(w, h);
            auto* p16 = new CEL_PixmapRGBA16(w, h);
            for (size_t k = 0; k < v.size(); ++k) {
                (&p8->data()->r)[k] = uint8_t(v[k]);
                (&p16->data()->r)[k] = int16_t(v[k] % 97 == 5 ? -v[k] : v[k]);
                if (bits == 16) want[k] = v[k] % 97 == 5 ? 0 : 2 * v[k];
            }
            const auto cel = bits == 8 ? celtest::celOf(p8) : celtest::celOf(p16);
            delete (bits == 8 ? static_cast<CEL_Pixmap*>(p16) : p8);
            files << dir.path(QStringLiteral("ours_%1x%2_%3.iff").arg(w).arg(h).arg(bits));
            ASSERT_TRUE(handler.write(cel.get(), files.back(),
                                      bits == 8 ? QStringLiteral("IFF") : QStringLiteral("IFF_16")));
            wants.push_back(want);
        }
    const std::vector<Values> decoded = celtest::oiioValues(files);
    ASSERT_EQ(decoded.size(), wants.size());
    for (size_t i = 0; i < wants.size(); ++i) {
        SCOPED_TRACE(files[qsizetype(i)].toStdString());
        EXPECT_TRUE(decoded[i] == wants[i]);
    }
}
