#include <gtest/gtest.h>

#include <QByteArray>
#include <QFile>
#include <thread>
#include <vector>

#include "base/FileSpec.h"
#include "celio/ByteIO.h"
#include "celio/InputStream.h"
#include "support/TestSupport.h"
#include "tests/celio/StdStreamRedirect.h"

namespace {

constexpr uint32_t kWindow = CELIO_FileInputBlock::WindowSize;

// A byte that depends on its offset (and on a seed), so that a byte delivered
// from the wrong place is noticed.
uint8_t patternByte(uint64_t i, uint32_t seed = 0) {
    return uint8_t(((i + seed) * 2654435761u) >> 13);
}

QByteArray pattern(uint64_t n, uint32_t seed = 0) {
    QByteArray b(qsizetype(n), Qt::Uninitialized);
    for (uint64_t i = 0; i < n; ++i) b[qsizetype(i)] = char(patternByte(i, seed));
    return b;
}

bool overwrite(const QString& path, qint64 offset, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::ReadWrite) && f.seek(offset) && f.write(bytes) == bytes.size();
}

// Two windows and a bit: 8 MiB + 1000 bytes.
class BigFile : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_dir = new celtest::TempDir;
        s_bytes = pattern(2ull * kWindow + 1000);
        ASSERT_TRUE(celtest::writeFile(s_dir->path("big.bin"), s_bytes));
    }
    static void TearDownTestSuite() {
        delete s_dir;
        s_dir = nullptr;
    }
    static QString path() { return s_dir->path("big.bin"); }
    static inline celtest::TempDir* s_dir = nullptr;
    static inline QByteArray s_bytes;
};

} // namespace

TEST_F(BigFile, BlockDeliversWindowsThenZero) {
    CELIO_FileInputBlock block;
    ASSERT_TRUE(block.open(PL_FileSpec(path())));
    const uint8_t* data = nullptr;
    ASSERT_EQ(block.first(data), kWindow);
    EXPECT_EQ(std::memcmp(data, s_bytes.constData(), 16), 0);
    EXPECT_EQ(block.next(), kWindow);
    EXPECT_EQ(block.windowOffset(), kWindow);
    EXPECT_EQ(data[0], patternByte(kWindow)); // refilled in place
    EXPECT_EQ(block.next(), 1000u);
    EXPECT_EQ(data[999], patternByte(2ull * kWindow + 999));
    EXPECT_EQ(block.next(), 0u);
}

TEST_F(BigFile, StreamReadsAcrossWindowBoundaries) {
    CELIO_FileInputBlock block;
    ASSERT_TRUE(block.open(PL_FileSpec(path())));
    CELIO_InputStream in(block);

    // Uneven read sizes, so that reads, skips and value getters straddle both
    // window ends at different alignments.
    QByteArray got(s_bytes.size(), '\0');
    uint64_t pos = 0;
    unsigned step = 0;
    const size_t sizes[] = {1, 7, 4093, 65536, 3, 1000003, 2, 4, 911};
    while (pos < uint64_t(s_bytes.size())) {
        const size_t want = sizes[step++ % std::size(sizes)];
        const size_t n = in.read(got.data() + pos, want);
        pos += n;
        if (n < want) break;
    }
    EXPECT_EQ(pos, uint64_t(s_bytes.size()));
    EXPECT_TRUE(got == s_bytes);
    uint8_t tail = 0xAB;
    EXPECT_EQ(in.read(&tail, 1), 0u);
    EXPECT_EQ(tail, 0xAB);
    EXPECT_TRUE(in.atEnd());

    // Values that straddle a window end, in both byte orders.
    auto at = [&](uint64_t i) { return uint32_t(patternByte(i)); };
    in.seek(kWindow - 2);
    EXPECT_EQ(in.getU32BE(),
              (at(kWindow - 2) << 24) | (at(kWindow - 1) << 16) | (at(kWindow) << 8) | at(kWindow + 1));
    in.seek(kWindow - 1);
    EXPECT_EQ(in.getU16LE(), at(kWindow - 1) | (at(kWindow) << 8));
    in.seek(2 * kWindow - 3);
    EXPECT_EQ(in.getU32LE(), at(2 * kWindow - 3) | (at(2 * kWindow - 2) << 8) | (at(2 * kWindow - 1) << 16) |
                                 (at(2 * kWindow) << 24));
    EXPECT_EQ(in.getU16BE(), (at(2 * kWindow + 1) << 8) | at(2 * kWindow + 2));

    // Skip across a window end, then to the end of the data.
    in.seek(10);
    EXPECT_EQ(in.skip(kWindow), kWindow);
    EXPECT_EQ(in.getU8(), patternByte(kWindow + 10));
    const size_t left = size_t(s_bytes.size()) - (kWindow + 11);
    EXPECT_EQ(in.skip(left + 50), left);
    EXPECT_EQ(in.getU8(), 0); // past the end
}

TEST_F(BigFile, SeekInsideWindowReadsNothingAndOutsideRereads) {
    const QString file = s_dir->path("seek.bin");
    ASSERT_TRUE(celtest::writeFile(file, s_bytes));
    CELIO_FileInputBlock block;
    ASSERT_TRUE(block.open(PL_FileSpec(file)));
    CELIO_InputStream in(block);
    in.skip(5000);

    // Change the file behind the block's back: the window keeps the old bytes
    // until it is refilled, which shows when the file is read again.
    const QByteArray changed(64, '\x5A');
    ASSERT_TRUE(overwrite(file, 100, changed));
    ASSERT_TRUE(overwrite(file, qint64(kWindow) + 100, changed));

    in.seek(100); // backwards, inside the window
    EXPECT_EQ(block.windowOffset(), 0u);
    EXPECT_EQ(in.available(), kWindow - 100);
    EXPECT_EQ(in.getU8(), patternByte(100));

    in.seek(kWindow + 100); // outside: read from there
    EXPECT_EQ(block.windowOffset(), kWindow + 100);
    EXPECT_EQ(in.available(), kWindow);
    EXPECT_EQ(in.getU8(), 0x5A);

    in.seek(kWindow + 50); // before the new window: read again
    EXPECT_EQ(block.windowOffset(), kWindow + 50);
    in.skip(50);
    EXPECT_EQ(in.getU8(), 0x5A);

    in.seek(101); // back to the start re-reads too
    EXPECT_EQ(in.getU8(), 0x5A);
    EXPECT_EQ(in.available(), kWindow - 1);

    // Reading on from a window that began mid-file continues seamlessly.
    in.seek(kWindow + 5000);
    std::vector<uint8_t> buf(kWindow);
    EXPECT_EQ(in.read(buf.data(), buf.size()), size_t(kWindow) + 1000 - 5000);
    EXPECT_EQ(buf[0], patternByte(kWindow + 5000));
    EXPECT_EQ(buf[kWindow - 4001], patternByte(2ull * kWindow + 999));

    in.seek(uint32_t(s_bytes.size()) + 10); // past the end
    EXPECT_TRUE(in.atEnd());
    uint8_t b = 7;
    EXPECT_EQ(in.read(&b, 1), 0u);
    EXPECT_EQ(b, 7);
}

TEST(InputStream, SmallFileIsOneChunk) {
    celtest::TempDir dir;
    const QByteArray bytes = pattern(3000, 9);
    ASSERT_TRUE(celtest::writeFile(dir.path("s.bin"), bytes));
    CELIO_FileInputBlock block(PL_FileSpec(dir.path("s.bin")).get_fs("rb"));
    ASSERT_TRUE(block.isOpen());
    const uint8_t* data = nullptr;
    EXPECT_EQ(block.first(data), 3000u);
    EXPECT_EQ(std::memcmp(data, bytes.constData(), 3000), 0);
    EXPECT_EQ(block.next(), 0u);

    CELIO_FileInputBlock missing;
    EXPECT_FALSE(missing.open(PL_FileSpec(dir.path("nope"))));
    CELIO_InputStream in(missing); // a block without a file is simply empty
    EXPECT_EQ(in.getU32BE(), 0u);
    EXPECT_TRUE(in.atEnd());
}

TEST(InputStream, MemoryBlockSeeksAndTruncation) {
    const uint8_t bytes[10] = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0, 0x11, 0x22};
    CELIO_MemoryInputBlock block(bytes, 10);
    const uint8_t* p = nullptr;
    EXPECT_EQ(block.seek(10, p), 0u);
    EXPECT_EQ(block.seek(9, p), 1u);
    EXPECT_EQ(p, bytes + 9);
    EXPECT_EQ(block.seek(0, p), 10u);
    EXPECT_EQ(block.next(), 0u);

    CELIO_InputStream in(block);
    EXPECT_EQ(in.getU16BE(), 0x1234);
    EXPECT_EQ(in.getU16LE(), 0x7856);
    EXPECT_EQ(in.getU32LE(), 0xF0DEBC9Au);
    // Two bytes left: the value takes them and zeros.
    EXPECT_EQ(in.getU32BE(), 0x11220000u);
    EXPECT_TRUE(in.atEnd());

    in.seek(7);
    EXPECT_FALSE(in.atEnd());
    uint8_t dst[6] = {0, 0, 0, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(in.read(dst, 6), 3u);
    EXPECT_EQ(dst[0], 0xF0);
    EXPECT_EQ(dst[2], 0x22);
    EXPECT_EQ(dst[3], 0xEE); // the rest is left alone

    in.seek(10); // at the size: nothing left
    EXPECT_TRUE(in.atEnd());
    in.seek(2);
    EXPECT_EQ(in.skip(100), 8u);

    CELIO_MemoryInputBlock empty(nullptr, 5);
    CELIO_InputStream none(empty);
    EXPECT_EQ(none.getU8(), 0);
    EXPECT_EQ(none.skip(3), 0u);
}

TEST(InputStream, StandardInputDeliversWhatItHas) {
    celtest::TempDir dir;
    ASSERT_TRUE(celtest::writeFile(dir.path("in.bin"), QByteArray("\x01\x02", 2)));
    size_t n = 0;
    uint8_t dst[3] = {9, 9, 9};
    uint32_t seekResult = 1;
    {
        celtest::StdStreamRedirect redirect(0, dir.path("in.bin"));
        CELIO_StdinInputBlock block;
        CELIO_InputStream in(block);
        n = in.read(dst, 3);
        const uint8_t* p = nullptr;
        seekResult = block.seek(0, p);
    }
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(dst[0], 1);
    EXPECT_EQ(dst[1], 2);
    EXPECT_EQ(dst[2], 9);
    EXPECT_EQ(seekResult, 0u);
}

// Each thread reads its own file through its own stream and its own ibuf.
TEST(InputStream, ThreadsReadTheirOwnFiles) {
    celtest::TempDir dir;
    constexpr int kThreads = 4;
    const uint64_t size = kWindow + 777;
    for (int t = 0; t < kThreads; ++t)
        ASSERT_TRUE(celtest::writeFile(dir.path(QString::number(t)), pattern(size, uint32_t(t) * 131)));

    std::vector<int> streamOk(kThreads, 0), ibufOk(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            const uint32_t seed = uint32_t(t) * 131;
            const QString file = dir.path(QString::number(t));
            CELIO_FileInputBlock block;
            if (!block.open(PL_FileSpec(file))) return;
            CELIO_InputStream in(block);
            bool same = true;
            for (uint64_t i = 0; i < size; ++i) same &= in.getU8() == patternByte(i, seed);
            in.seek(uint32_t(size - 1));
            same &= in.getU8() == patternByte(size - 1, seed);
            streamOk[size_t(t)] = same && in.skip(1) == 0;

            ibuf src(file);
            bool sameToo = src.isOpen();
            for (uint64_t i = 0; sameToo && i + 1 < size; i += 2)
                sameToo = src.getU16BE() == ((patternByte(i, seed) << 8) | patternByte(i + 1, seed));
            ibufOk[size_t(t)] = sameToo && src.getByte() == patternByte(size - 1, seed);
        });
    for (auto& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_TRUE(streamOk[size_t(t)]) << "stream " << t;
        EXPECT_TRUE(ibufOk[size_t(t)]) << "ibuf " << t;
    }
}
