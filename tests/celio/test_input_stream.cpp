#include <gtest/gtest.h>

#include "base/FileSpec.h"
#include "celio/InputStream.h"
#include "support/TestSupport.h"
#include "tests/celio/ByteTestSupport.h"

using namespace celtest;
constexpr uint32_t kWindow = CELIO_FileInputBlock::WindowSize;

TEST(InputStream, FileWindowsAndReadsAcrossThem) {
    celtest::TempDir dir;
    const QByteArray bytes = pattern(2ull * kWindow + 1000);
    ASSERT_TRUE(celtest::writeFile(dir.path("big.bin"), bytes));

    CELIO_FileInputBlock block;
    ASSERT_TRUE(block.open(PL_FileSpec(dir.path("big.bin"))));
    CELIO_InputStream in(block);
    // Uneven sizes make the reads straddle both window ends.
    QByteArray got(bytes.size(), '\0');
    const size_t sizes[] = {1, 7, 4093, 65536, 3, 1000003, 2};
    size_t pos = 0, n = 0;
    for (unsigned step = 0; pos < size_t(got.size()); pos += n) {
        const size_t want = sizes[step++ % std::size(sizes)];
        if ((n = in.read(got.data() + pos, want)) < want) break;
    }
    EXPECT_TRUE(got == bytes && in.read(got.data(), 1) == 0u && in.atEnd());

    auto at = [](uint64_t i) { return uint32_t(patternByte(i)); };
    in.seek(kWindow - 2);
    EXPECT_EQ(in.getU32BE(),
              (at(kWindow - 2) << 24) | (at(kWindow - 1) << 16) | (at(kWindow) << 8) | at(kWindow + 1));
    in.seek(kWindow - 1); // back, inside the window
    EXPECT_EQ(in.getU8(), patternByte(kWindow - 1));
    in.seek(10);
    EXPECT_TRUE(in.skip(kWindow) == kWindow && in.getU8() == patternByte(kWindow + 10));
    EXPECT_EQ(in.skip(kWindow + 5000), size_t(kWindow) + 1000 - 11); // stops at the end
}

TEST(InputStream, SmallFileAndMemoryBlock) {
    celtest::TempDir dir;
    ASSERT_TRUE(celtest::writeFile(dir.path("s.bin"), pattern(3000)));
    CELIO_FileInputBlock file(PL_FileSpec(dir.path("s.bin")).get_fs("rb"));
    const uint8_t* p = nullptr;
    EXPECT_TRUE(file.first(p) == 3000u && file.next() == 0u);

    const uint8_t bytes[10] = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0, 0x11, 0x22};
    CELIO_MemoryInputBlock block(bytes, 10);
    EXPECT_EQ(block.seek(10, p), 0u);
    EXPECT_TRUE(block.seek(9, p) == 1u && p == bytes + 9);
    CELIO_InputStream in(block);
    EXPECT_EQ(in.getU16BE(), 0x1234);
    EXPECT_EQ(in.getU16LE(), 0x7856);
    EXPECT_EQ(in.getU32LE(), 0xF0DEBC9Au);
    EXPECT_EQ(in.getU32BE(), 0x11220000u); // two bytes left; the rest reads as zero
    in.seek(7);
    uint8_t dst[4] = {0, 0, 0, 0xEE};
    EXPECT_TRUE(in.read(dst, 4) == 3u && dst[2] == 0x22 && dst[3] == 0xEE); // the last left alone
}
