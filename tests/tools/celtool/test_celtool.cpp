// celtool info / convert / dump, run as a separate process.
#include <gtest/gtest.h>
#include <vector>

#include "CeltoolTestUtil.h"

using namespace celtest;

namespace {

// A 5 x 3 image with soft alpha: its r, g, b, a bytes and a 32-bit TGA of it.
struct Sample {
    QByteArray pixels, tga;
    Sample() {
        std::vector<CEL_PixelRGBA8> px;
        for (int i = 0; i < 15; ++i)
            px.push_back(CEL_PixelRGBA8{uint8_t(i * 8), uint8_t(i * 5), uint8_t(i), uint8_t(i * 17)});
        pixels = QByteArray(reinterpret_cast<const char*>(px.data()), 60);
        tga = tgaOf(px, 5, 3);
    }
};

} // namespace

TEST(Celtool, InfoConvertDumpAndExitCodes) {
    TempDir dir;
    const Sample s;
    const QString in = dir.path("in.tga"), raw = dir.path("p.raw");
    ASSERT_TRUE(writeFile(in, s.tga));

    for (const QStringList& args :
         argLists("|nosuchcommand|convert IN|convert IN o.nosuchformat|convert --code TGA9 IN RAW|"
                  "dump --depth 12 IN RAW",
                  {{"IN", in}, {"RAW", raw}}))
        EXPECT_EQ(celtool(args, {}, dir.root()).exit, 2) << qPrintable(args.join(' '));

    // Every field (several files, one line each: CeltoolFiles).
    EXPECT_EQ(infoOf(in), jsonObject(QStringLiteral(R"({"file": "%1", "format": "TGA", "state": 0,
        "width": 5, "height": 3, "channels": 4, "bytesPerChannel": 1, "optionCode": "TGA4",
        "description": "RLE Encoded"})")
                                         .arg(in)
                                         .toUtf8()));

    // Convert with a code (into a new folder) and with the shape of the input.
    for (const auto& [args, code] :
         {std::pair{QStringList{"--code", "tga1"}, "TGA1"}, {QStringList{}, "TGA4"}}) {
        const QString out = dir.path(QStringLiteral("sub/%1.tga").arg(QLatin1String(code)));
        ASSERT_EQ(celtool(QStringList{"convert"} << args << in << out).exit, 0);
        EXPECT_EQ(infoOf(out).value("optionCode").toString(), QLatin1String(code));
    }

    const ToolRun r = celtool({"dump", in, raw});
    EXPECT_TRUE(r.exit == 0 && r.out.trimmed() == "5x3" && readFile(raw) == s.pixels);
    ASSERT_EQ(celtool({"dump", "--depth", "16", in, raw}).exit, 0);
    std::vector<int> want; // the 8 to 16 rule
    for (char c : s.pixels) want.push_back(uint8_t(c) * 32767 / 255);
    EXPECT_EQ(int16s(readFile(raw)), want);
}

// A half-covered blue layer (its second pixel transparent) on an opaque base:
// by the default premultiplied over, and by a blend mode written to a file.
TEST(Celtool, CompositeOverAndBlendMode) {
    TempDir dir;
    const QString base = dir.path("base.tga"), layer = dir.path("layer.tga"), raw = dir.path("r.raw");
    ASSERT_TRUE(writeFile(base, tgaOf({{200, 100, 0, 255}, {200, 100, 0, 255}}, 2, 1)) &&
                writeFile(layer, tgaOf({{0, 0, 128, 128}, {0, 0, 0, 0}}, 2, 1)));
    // As read: the layer's values taken for premultiplied colour.
    ASSERT_EQ(celtool({"composite", "--keep-values", "--raw16", raw, base, layer}).exit, 0);
    // over: base * (1 - layer alpha) + layer, on the 16-bit values of the 8-bit inputs.
    const double keep = 1.0 - 16447 / 32767.0;
    EXPECT_EQ(int16s(readFile(raw)), (std::vector<int>{int(25699 * keep + 0.5), int(12849 * keep + 0.5),
                                                       16447, 32767, 25699, 12849, 0, 32767}));

    // Multiply: blue times the base's black blue channel is black, so no blue shows.
    const QString out = dir.path("m.tga");
    ASSERT_EQ(celtool({"composite", "--keep-values", "--op", "fn_multiply", "-o", out, base, layer}).exit, 0);
    ASSERT_EQ(celtool({"dump", out, raw}).exit, 0);
    EXPECT_EQ(readFile(raw), QByteArray("\x64\x32\x00\xff\xc8\x64\x00\xff", 8));

    const ToolRun bad = celtool({"composite", "--op", "nosuchop", "-o", out, base, layer});
    EXPECT_EQ(bad.exit, 2);
    EXPECT_TRUE(bad.err.contains("unknown operation 'nosuchop'")) << bad.err.constData();
}
