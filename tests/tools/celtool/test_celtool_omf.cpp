// celtool on OMF media: the alpha warning, --keep-values, the JPEG code, streams, refusals.
#include <gtest/gtest.h>

#include <vector>

#include "CeltoolTestUtil.h"

namespace {

using celtest::celtool;

// A straight-colour TGA: opaque pixels and translucent ones.
const std::vector<CEL_PixelRGBA8> kPixels = {{200, 100, 50, 128}, {10, 20, 30, 255}, {255, 255, 255, 1},
                                             {90, 180, 240, 255}, {0, 0, 0, 0},      {77, 66, 55, 200}};

QByteArray tgaFile() {
    return celtest::tgaOf(kPixels, 3, 2);
}

} // namespace

TEST(CeltoolOmf, ConvertInfoDumpStreamsAndRefusal) {
    celtest::TempDir dir;
    const QString in = dir.path("in.tga"), out = dir.path("out.omf"), raw = dir.path("out.raw");
    ASSERT_TRUE(celtest::writeFile(in, tgaFile()));

    celtest::ToolRun r = celtool({"convert", in, out});
    ASSERT_EQ(r.exit, 0) << r.err.data();
    EXPECT_EQ(r.errLines(),
              QList<QByteArray>{"celtool: " + out.toUtf8() + ": alpha dropped: OMF media is RGB"});
    EXPECT_EQ(celtest::infoOf(out).value("description").toString(),
              QStringLiteral("RGB formatfull frame layout\n"));

    // Written premultiplied: each colour as laid over black (rounded to nearest), read back opaque.
    ASSERT_EQ(celtool({"dump", out, raw}).exit, 0);
    const QByteArray dumped = celtest::readFile(raw);
    EXPECT_EQ(dumped, QByteArray("\x64\x32\x19\xff\x0a\x14\x1e\xff\x01\x01\x01\xff"
                                 "\x5a\xb4\xf0\xff\x00\x00\x00\xff\x3c\x34\x2b\xff",
                                 24));
    // --keep-values: the values as the TGA reader gave them (straight).
    ASSERT_EQ(celtool({"convert", "--keep-values", in, out}).exit, 0);
    ASSERT_EQ(celtool({"dump", out, raw}).exit, 0);
    EXPECT_EQ(celtest::readFile(raw).left(4), QByteArray("\xc8\x64\x32\xff", 4));

    // JPEG media, and standard input and output in either direction.
    const QString jpeg = dir.path("j.omf");
    ASSERT_EQ(celtool({"convert", "--code", "omfjpeg", in, jpeg}).exit, 0);
    EXPECT_TRUE(celtest::readFile(jpeg).contains("JFIF"));
    ASSERT_EQ(celtool({"convert", in, out}).exit, 0);
    EXPECT_EQ(celtool({"convert", "--code", "OMF", in, "-"}).out, celtest::readFile(out));
    EXPECT_EQ(celtool({"dump", "--format", "omf", "-", "-"}, celtest::readFile(out)).out, dumped);

    // A foreign OMF file: one line of the reader's words. (A cut file: the container's reason,
    // OmfHandler.RefusalsNameTheirCause; relayed as every reader's: CeltoolFiles.)
    const QString other = dir.path("other.omf");
    ASSERT_TRUE(celtest::writeFile(other, "OMFI: a composition of another application"));
    r = celtool({"info", other});
    EXPECT_EQ(r.exit, 1);
    EXPECT_EQ(r.errLines(), QList<QByteArray>{"celtool: " + other.toUtf8() +
                                              ": not an OMF media file written by this library"});
}
