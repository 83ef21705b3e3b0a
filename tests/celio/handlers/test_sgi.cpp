// SGI reading and writing: packet bytes, header fields, value mapping, row
// tables in any order, input that cannot seek, and damaged files.
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <random>
#include <string>

#include "HandlerTestUtil.h"
#include "base/Message.h"
#include "cel/Context.h"
#include "celio/ByteTestSupport.h"
#include "celio/handlers/SgiHandler.h"
#include "support/TestSupport.h"

namespace {

using celtest::celOf;
using celtest::values;
using Bytes = std::vector<uint8_t>;
const QXCelUioSgiHandler sgi;

uint32_t be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
void put16(Bytes& b, size_t at, unsigned v) {
    b[at] = uint8_t(v >> 8), b[at + 1] = uint8_t(v);
}
void put32(Bytes& b, size_t at, uint32_t v) {
    put16(b, at, v >> 16), put16(b, at + 2, v & 0xffff);
}
Bytes header(int storage, int bpc, int dim, int x, int y, int z) {
    Bytes b(512);
    put16(b, 0, 474), b[2] = uint8_t(storage), b[3] = uint8_t(bpc);
    put16(b, 4, dim), put16(b, 6, x), put16(b, 8, y), put16(b, 10, z);
    return b;
}
// A run-length file of the given channel rows (table order), laid out in
// reverse order when asked; rows equal to an earlier one share its bytes.
Bytes rleFile(int bpc, int x, int y, int z, const std::vector<Bytes>& rows, bool reverse = false) {
    Bytes f = header(1, bpc, z == 1 ? 2 : 3, x, y, z);
    f.resize(512 + 8 * rows.size());
    std::map<std::string, uint32_t> placed;
    for (size_t k = 0; k < rows.size(); ++k) {
        const size_t i = reverse ? rows.size() - 1 - k : k;
        const auto [it, fresh] =
            placed.emplace(std::string(rows[i].begin(), rows[i].end()), uint32_t(f.size()));
        if (fresh) f.insert(f.end(), rows[i].begin(), rows[i].end());
        put32(f, 512 + 4 * i, it->second);
        put32(f, 512 + 4 * (rows.size() + i), uint32_t(rows[i].size()));
    }
    return f;
}
template <class Buffer> std::vector<int> decoded(const Buffer& f) {
    std::unique_ptr<CEL_Representation> rep(
        sgi.read(reinterpret_cast<const unsigned char*>(f.data()), unsigned(f.size())));
    return values(rep.get());
}
// The coded bytes of row i of a written file, as its tables give them.
Bytes codedRow(const QByteArray& file, size_t i, size_t rows) {
    const auto* b = reinterpret_cast<const uint8_t*>(file.constData());
    const uint32_t at = be32(b + 512 + 4 * i), n = be32(b + 512 + 4 * (rows + i));
    return Bytes(b + at, b + at + n);
}
// Runs on the left, noise elsewhere: what trips encoders up.
template <class P, class S> P* sample(int w, int h, int lo, int hi) {
    auto* p = new P(w, h);
    auto* s = reinterpret_cast<S*>(p->data());
    std::mt19937 rng(7);
    for (int i = 0; i < w * h * 4; ++i)
        s[i] = S((i / 4 % w) < w / 3 ? lo + (i / 4 / w) % 5 : lo + int(rng() % unsigned(hi - lo)));
    return p;
}

} // namespace

// 16-bit packets are count words and samples 2 v (negative: 0), the first row
// right after the tables. (Runs and literals longer than a packet: the large
// files' round trip; 8-bit files in other programs: the interop tests.)
TEST(Sgi, SixteenBitPackets) {
    auto* p = new CEL_PixmapRGBA16(2, 1);
    p->data()[0] = CEL_PixelRGBA16{-5, 32767, 0, 1}, p->data()[1] = CEL_PixelRGBA16{-5, 100, 0, 1};
    const QByteArray file = sgi.encode(celOf(p).get(), QStringLiteral("SGIDP4"));
    EXPECT_EQ(be32(reinterpret_cast<const uint8_t*>(file.constData()) + 512), 544u);
    EXPECT_EQ(codedRow(file, 0, 4), (Bytes{0, 2, 0, 0, 0, 0}));
    EXPECT_EQ(codedRow(file, 1, 4), (Bytes{0, 1, 0xff, 0xfe, 0, 1, 0, 200, 0, 0}));
}

// The pixels of every code: the round trip of every handler and the
// interop tests' decodes by other programs.
TEST(Sgi, EveryCodeWritesItsHeader) {
    celtest::TempDir dir;
    const auto cel8 = celOf(sample<CEL_PixmapRGBA8, uint8_t>(37, 23, 0, 256));
    const auto cel16 = celOf(sample<CEL_PixmapRGBA16, int16_t>(37, 23, -300, 32768));
    const struct {
        const char* code;
        int bpc, dim, z;
    } codes[] = {{"SGI", 1, 3, 3}, {"SGI4", 1, 3, 4}, {"SGI1", 1, 2, 1}, {"SGIDP3", 2, 3, 3}};
    for (const auto& c : codes) {
        SCOPED_TRACE(c.code);
        const auto& cel = c.bpc == 2 ? cel16 : cel8;
        const QString path = dir.path("h.sgi"), code = QLatin1String(c.code);
        ASSERT_TRUE(sgi.write(cel.get(), path, code));
        const QByteArray file = celtest::readFile(path);
        ASSERT_EQ(file, sgi.encode(cel.get(), code));
        Bytes want = header(1, c.bpc, c.dim, 37, 23, c.z);
        put32(want, 16, 255);
        const char name[] = "Frameweaver 6.0 IO";
        std::copy(name, name + sizeof name - 1, want.begin() + 24);
        EXPECT_EQ(Bytes(file.begin(), file.begin() + 512), want);

        CELIO_Info info;
        ASSERT_EQ(sgi.readInfo(path, CEL_Context(), info), CELIO_STATE_OK);
        EXPECT_EQ(info.optionCode, QString(c.code) == "SGI" ? QStringLiteral("SGI3") : code);
        EXPECT_EQ(info.description, QStringLiteral("Run-length encoded"));
        EXPECT_EQ(info.channels * 10 + info.bytesPerChannel, unsigned(c.z * 10 + c.bpc));
    }
}

TEST(Sgi, HandBuiltFiles) {
    // Verbatim RGB: planes one after the other, rows from the bottom; alpha full.
    Bytes v = header(0, 1, 3, 2, 2, 3);
    v.insert(v.end(), {1, 2, 3, 4, 11, 12, 13, 14, 21, 22, 23, 24});
    EXPECT_EQ(decoded(v), (std::vector<int>{3, 13, 23, 255, 4, 14, 24, 255, 1, 11, 21, 255, 2, 12, 22, 255}));
    // 16-bit grey, verbatim and run-length coded: s >> 1, count words big-endian.
    Bytes v16 = header(0, 2, 2, 2, 1, 1);
    v16.insert(v16.end(), {0xff, 0xff, 0x12, 0x34});
    const Bytes r16 = rleFile(2, 2, 1, 1, {{0, 0x81, 0xff, 0xff, 0, 1, 0x12, 0x34, 0, 0}});
    for (const Bytes& f : {v16, r16})
        EXPECT_EQ(decoded(f), (std::vector<int>{32767, 32767, 32767, 32767, 0x91a, 0x91a, 0x91a, 32767}));
    // Rows in any order, shared, too long for the row or cut short.
    const std::vector<Bytes> rows = {{2, 5, 0}, {0x83, 1, 2, 3, 0}, {2, 5, 0}, {100, 7}, {1, 4}, {}};
    const std::vector<int> want = {1, 7, 0, 255, 2, 7, 0, 255, 3, 7, 0, 255,
                                   5, 5, 4, 255, 5, 5, 0, 255, 0, 0, 0, 255};
    EXPECT_EQ(decoded(rleFile(1, 3, 2, 3, rows)), want);
    EXPECT_EQ(decoded(rleFile(1, 3, 2, 3, rows, true)), want);
}

TEST(Sgi, DamagedFilesFailCleanly) {
    const Bytes full = header(1, 1, 3, 4, 4, 4);
    EXPECT_TRUE(decoded(header(0, 1, 2, 2, 2, 2)).empty());            // two channels
    EXPECT_TRUE(decoded(Bytes(full.begin(), full.end() - 1)).empty()); // a short header
    EXPECT_TRUE(decoded(full).empty());                                // no tables
    EXPECT_TRUE(decoded(header(0, 2, 3, 4096, 4096, 4)).empty());      // no pixels for a large image
    // A large image must have all its rows, each long enough to fill a row.
    EXPECT_TRUE(decoded(rleFile(1, 4096, 80, 4, std::vector<Bytes>(320, {126, 1}))).empty());
    Bytes lying = rleFile(1, 4096, 80, 4, std::vector<Bytes>(320, Bytes(70, 126)));
    EXPECT_FALSE(decoded(lying).empty());
    put32(lying, 512 + 320 * 4 + 16, 0xffffffffu); // a length past the end
    EXPECT_TRUE(decoded(lying).empty());
    // Small images read what there is.
    Bytes small = rleFile(1, 2, 1, 1, {{0x82, 9, 9, 0}});
    put32(small, 512, 0xfffffff0u);
    put32(small, 516, 0xffffffffu);
    EXPECT_EQ(decoded(small), (std::vector<int>{0, 0, 0, 255, 0, 0, 0, 255}));
    Bytes v = header(0, 2, 3, 5, 5, 4);
    v.resize(600);
    EXPECT_EQ(decoded(v).size(), 100u);
}

// Beyond one window of the file reader (row order and standard input are
// left to the hand-built files and the stream tests).
TEST(Sgi, LargeFiles) {
    celtest::TempDir dir;
    const auto cel = celOf(sample<CEL_PixmapRGBA8, uint8_t>(1600, 1600, 0, 256));
    const QString path = dir.path("big.sgi");
    ASSERT_TRUE(sgi.write(cel.get(), path, QStringLiteral("SGI4")));
    ASSERT_GT(QFileInfo(path).size(), 4194304);
    EXPECT_TRUE(celtest::readValues(sgi, path) ==
                values(cel->convertTo(CEL_Representation::PIXMAP_RGBA8).get()));

    // Too much coded data to hold back the later channels of every row while
    // channel 0 is written: the rows not held are coded in a pass of their own.
    const auto noisy = celOf(sample<CEL_PixmapRGBA16, int16_t>(2048, 2400, 0, 32768));
    const QByteArray file = sgi.encode(noisy.get(), QStringLiteral("SGIDP4"));
    ASSERT_GT(file.size(), 24 << 20);
    EXPECT_TRUE(decoded(file) == values(noisy->convertTo(CEL_Representation::PIXMAP_RGBA16).get()));
}

TEST(Sgi, WriteFailures) {
    celtest::TempDir dir;
    const auto cel = celOf(new CEL_PixmapRGBA8(3, 3));
    QXMessage::Capture capture;
    EXPECT_FALSE(sgi.write(cel.get(), dir.path("a.sgi"), QStringLiteral("SGIDP1")));
    EXPECT_FALSE(QFileInfo::exists(dir.path("a.sgi")));
    EXPECT_TRUE(capture.records().empty());
    EXPECT_FALSE(sgi.write(cel.get(), dir.path("no/such/dir/a.sgi"), QStringLiteral("SGI")));
    UT_SharedPtr<CEL_Cel> empty(new CEL_Cel(CEL_Representation::NONE));
    EXPECT_FALSE(sgi.write(empty.get(), dir.path("b.sgi"), QStringLiteral("SGI4")));
    const auto records = capture.records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_TRUE(records[0].source.startsWith(QStringLiteral("Could not open file \"")));
    EXPECT_TRUE(records[1].source.startsWith(QStringLiteral("Could not complete writing to file: \"")));
    for (const auto& r : records) EXPECT_EQ(r.action * 100 + r.code, 220);
}
