#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "base/FileSpec.h"
#include "base/Persistent.h"
#include "support/TestSupport.h"

namespace {

// A little-endian bitmap-style header followed by big-endian fields.
const QByteArray kBytes("BM\x36\x00\x0C\x00\x00\x00\x00\x00\x36\x00\x00\x00"
                        "\x28\x00\x00\x00\xFF\xFF\xFF\xFF\x01\x00"
                        "\x89PNG\x00\x00\x00\x0D",
                        32);

// The same checks run on a store over a file and over memory: both must keep
// one contract.
void checkStore(DB_PersistentStore& in) {
    EXPECT_EQ(in.Size(), 32u);
    char magic[2] = {};
    EXPECT_TRUE(in.Load(magic, 2));
    EXPECT_EQ(magic[0], 'B');
    EXPECT_EQ(magic[1], 'M');
    EXPECT_EQ(in.ReadU32LE(), 0x0C0036u);
    EXPECT_TRUE(in.Skip(4));
    EXPECT_EQ(in.ReadU16LE(), 0x36u);
    EXPECT_EQ(in.ReadU16LE(), 0u);
    EXPECT_EQ(in.ReadS32LE(), 40);
    EXPECT_EQ(in.ReadS32LE(), -1); // a negative height comes through signed
    EXPECT_EQ(in.ReadS16LE(), 1);
    EXPECT_EQ(in.Position(), 24u);
    EXPECT_EQ(in.ReadU8(), 0x89u);
    EXPECT_EQ(in.ReadU16BE(), ('P' << 8) | 'N');
    EXPECT_TRUE(in.Skip(-2));
    EXPECT_EQ(in.ReadU32BE(), uint32_t('P' << 24 | 'N' << 16 | 'G' << 8));
    EXPECT_TRUE(in.Skip(-1));
    EXPECT_FALSE(in.AtEnd());
    EXPECT_EQ(in.ReadS32BE(), 13);
    EXPECT_TRUE(in.AtEnd());
    EXPECT_FALSE(in.Failed());

    // Running out: zero values, partial loads, a sticky flag.
    EXPECT_EQ(in.ReadU16BE(), 0u);
    EXPECT_TRUE(in.Failed());
    EXPECT_EQ(in.ReadU8(), 0u);
    EXPECT_TRUE(in.Failed());
    in.ClearFailure();
    EXPECT_TRUE(in.Seek(24));
    EXPECT_EQ(in.ReadU64BE(), 0x89504E470000000Dull);
    char tail[4] = {'x', 'x', 'x', 'x'};
    EXPECT_TRUE(in.Seek(30));
    EXPECT_FALSE(in.Load(tail, 4));
    EXPECT_EQ(tail[0], 0);
    EXPECT_EQ(tail[1], 0x0D);
    EXPECT_EQ(tail[2], 'x');
    EXPECT_TRUE(in.Failed());

    // Moves outside the data fail and leave the position alone.
    in.ClearFailure();
    EXPECT_TRUE(in.Seek(32));
    EXPECT_FALSE(in.Seek(33));
    EXPECT_FALSE(in.Skip(1));
    EXPECT_TRUE(in.Seek(2));
    EXPECT_FALSE(in.Skip(-3));
    EXPECT_EQ(in.Position(), 2u);
    EXPECT_TRUE(in.Failed());
    in.ClearFailure();
    EXPECT_TRUE(in.Skip(-2));
    EXPECT_EQ(in.ReadU8(), uint8_t('B'));
}

} // namespace

TEST(Persistent, FileStore) {
    celtest::TempDir dir;
    ASSERT_TRUE(celtest::writeFile(dir.path("h.bin"), kBytes));
    DB_File file;
    ASSERT_TRUE(file.OpenForInput(PL_FileSpec(dir.path("h.bin"))));
    EXPECT_TRUE(file.IsOpen());
    DB_PersistentStore in(file);
    checkStore(in);
    file.Close();
    EXPECT_FALSE(file.IsOpen());

    DB_File missing;
    EXPECT_FALSE(missing.OpenForInput(PL_FileSpec(dir.path("missing.bin"))));
    DB_PersistentStore none(missing);
    EXPECT_EQ(none.ReadU32BE(), 0u);
    EXPECT_TRUE(none.Failed());
    EXPECT_TRUE(none.AtEnd());
}

TEST(Persistent, MemoryStore) {
    DB_PersistentStore in(kBytes.constData(), size_t(kBytes.size()));
    checkStore(in);

    DB_PersistentStore empty(nullptr, 10);
    EXPECT_EQ(empty.Size(), 0u);
    EXPECT_TRUE(empty.AtEnd());
    EXPECT_EQ(empty.ReadU8(), 0u);
    EXPECT_TRUE(empty.Failed());
}
