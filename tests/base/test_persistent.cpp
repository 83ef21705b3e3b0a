#include <gtest/gtest.h>

#include "base/FileSpec.h"
#include "base/Persistent.h"
#include "support/TestSupport.h"

namespace {

// A little-endian bitmap-style header, then big-endian fields: 32 bytes.
const QByteArray kBytes("BM\x36\x00\x0C\x00\x00\x00\x00\x00\x28\x00\x00\x00"
                        "\xFF\xFF\xFF\xFF\x01\x00\x00\x00\x00\x00"
                        "\x89PNG\x00\x00\x00\x0D",
                        32);

// Stores over a file and over memory keep one contract.
void checkStore(DB_PersistentStore& in) {
    EXPECT_EQ(in.Size(), 32u);
    char magic[2] = {};
    EXPECT_TRUE(in.Load(magic, 2));
    EXPECT_EQ(magic[1], 'M');
    EXPECT_EQ(in.ReadU32LE(), 0x0C0036u);
    EXPECT_TRUE(in.Skip(4));
    EXPECT_EQ(in.ReadS32LE(), 40);
    EXPECT_EQ(in.ReadS32LE(), -1);
    EXPECT_EQ(in.ReadU16LE(), 1u);
    EXPECT_TRUE(in.Seek(24));
    EXPECT_EQ(in.ReadU16BE(), 0x8950u);
    EXPECT_EQ(in.ReadU32BE(), 0x4E470000u);
    EXPECT_FALSE(in.AtEnd());
    EXPECT_TRUE(in.Skip(-6));
    EXPECT_EQ(in.ReadU64BE(), 0x89504E470000000Dull);
    EXPECT_TRUE(in.AtEnd());
    EXPECT_FALSE(in.Failed());

    // Running out: zeros, a partial load, and a flag that stays set.
    EXPECT_EQ(in.ReadU16BE(), 0u);
    EXPECT_TRUE(in.Seek(30));
    char tail[3] = {'x', 'x', 'x'};
    EXPECT_FALSE(in.Load(tail, 3));
    EXPECT_EQ(tail[1], 0x0D);
    EXPECT_EQ(tail[2], 'x');
    EXPECT_TRUE(in.Failed());
    in.ClearFailure();
    EXPECT_FALSE(in.Seek(33));
    EXPECT_FALSE(in.Skip(-33));
    EXPECT_EQ(in.Position(), 32u); // failed moves leave the position alone
    EXPECT_TRUE(in.Failed());
}

} // namespace

TEST(Persistent, FileAndMemoryStores) {
    celtest::TempDir dir;
    ASSERT_TRUE(celtest::writeFile(dir.path("h.bin"), kBytes));
    DB_File file;
    ASSERT_TRUE(file.OpenForInput(PL_FileSpec(dir.path("h.bin"))));
    DB_PersistentStore fromFile(file);
    checkStore(fromFile);

    DB_PersistentStore fromMemory(kBytes.constData(), size_t(kBytes.size()));
    checkStore(fromMemory);

    DB_File missing;
    EXPECT_FALSE(missing.OpenForInput(PL_FileSpec(dir.path("missing.bin"))));
    DB_PersistentStore none(missing);
    EXPECT_EQ(none.ReadU32BE(), 0u);
    EXPECT_TRUE(none.Failed());
    EXPECT_TRUE(none.AtEnd());
}
