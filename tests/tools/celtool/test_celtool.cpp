// celtool info / convert / dump, run as a separate process.
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <gtest/gtest.h>
#include <vector>

#include "cel/Cel.h"
#include "celio/handlers/TgaHandler.h"
#include "pixel/PixmapCanvas.h"
#include "support/TestSupport.h"

namespace {

struct ToolRun {
    int exit = -1;
    QByteArray out, err;
};

ToolRun celtool(const QStringList& args, const QByteArray& input = QByteArray()) {
    QProcess p;
    p.start(QStringLiteral(CELCORE_TOOL_PATH), args);
    p.write(input);
    p.closeWriteChannel();
    p.waitForFinished(60000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput(),
            p.readAllStandardError()};
}

QJsonObject json(const QByteArray& line) {
    return QJsonDocument::fromJson(line).object();
}

// The bytes of a 32-bit TGA file of w x h pixels, top row first.
QByteArray tgaOf(const std::vector<CEL_PixelRGBA8>& pixels, int w, int h) {
    auto* p = new CEL_PixmapRGBA8(w, h);
    std::copy(pixels.begin(), pixels.end(), p->data());
    UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(CEL_Representation::PIXMAP_RGBA8));
    cel->addRepresentation(UT_SharedPtr<CEL_Representation>(p));
    return QXCelUioTgaHandler().encode(cel.get(), QStringLiteral("TGA4"));
}

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
    celtest::TempDir dir;
    const Sample s;
    const QString in = dir.path("in.tga"), cut = dir.path("cut.tga"), raw = dir.path("p.raw");
    ASSERT_TRUE(celtest::writeFile(in, s.tga) && celtest::writeFile(cut, QByteArray(5, '\0')) &&
                celtest::writeFile(dir.path("x.nosuchformat"), "no picture"));

    // Usage errors exit 2.
    for (const QStringList& args : {QStringList{},
                                    {"nosuchcommand"},
                                    {"convert", in},
                                    {"convert", in, dir.path("o.nosuchformat")},
                                    {"convert", "--code", "TGA9", in, raw},
                                    {"dump", "--depth", "12", in, raw}})
        EXPECT_EQ(celtool(args).exit, 2) << qPrintable(args.join(' '));

    ToolRun r = celtool({"info", "--json", in, dir.path("missing.tga"), cut, dir.path("x.nosuchformat")});
    EXPECT_EQ(r.exit, 1); // every file answered, but not all of them well
    const QList<QByteArray> lines = r.out.trimmed().split('\n');
    ASSERT_EQ(lines.size(), 4);
    EXPECT_EQ(json(lines[0]), (QJsonObject{{"file", in},
                                           {"format", "TGA"},
                                           {"state", 0},
                                           {"width", 5},
                                           {"height", 3},
                                           {"channels", 4},
                                           {"bytesPerChannel", 1},
                                           {"optionCode", "TGA4"},
                                           {"description", "RLE Encoded"}}));
    EXPECT_EQ(json(lines[1]).value("state").toInt(-1), 1);
    EXPECT_EQ(json(lines[2]).value("state").toInt(-1), 1);
    EXPECT_EQ(json(lines[3]).value("state").toInt(-1), 2);
    EXPECT_EQ(celtool({"info", in}).exit, 0);

    // Convert with a code (into a new folder) and with the shape of the input.
    for (const auto& [args, code] :
         {std::pair{QStringList{"--code", "tga1"}, "TGA1"}, {QStringList{}, "TGA4"}}) {
        const QString out = dir.path(QStringLiteral("sub/%1.tga").arg(QLatin1String(code)));
        ASSERT_EQ(celtool(QStringList{"convert"} << args << in << out).exit, 0);
        EXPECT_EQ(json(celtool({"info", "--json", out}).out.trimmed()).value("optionCode").toString(),
                  QLatin1String(code));
    }

    r = celtool({"dump", in, raw});
    ASSERT_EQ(r.exit, 0);
    EXPECT_EQ(r.out.trimmed(), QByteArray("5x3"));
    EXPECT_EQ(celtest::readFile(raw), s.pixels);
    ASSERT_EQ(celtool({"dump", "--depth", "16", in, raw}).exit, 0);
    const QByteArray deep = celtest::readFile(raw);
    ASSERT_EQ(deep.size(), 120);
    for (int i = 0; i < 60; ++i) // signed little-endian, by the 8 to 16 rule
        EXPECT_EQ(int16_t(uint8_t(deep[2 * i]) | (uint8_t(deep[2 * i + 1]) << 8)),
                  uint8_t(s.pixels[i]) * 32767 / 255);

    EXPECT_EQ(celtool({"convert", dir.path("none.tga"), dir.path("o.tga")}).exit, 1);
    r = celtool({"dump", cut, raw});
    EXPECT_EQ(r.exit, 1);
    EXPECT_FALSE(r.err.isEmpty());
}

TEST(Celtool, StandardInputAndOutput) {
    const Sample s;
    ToolRun r = celtool({"convert", "--format", "tga", "--code", "TGA4", "-", "-"}, s.tga);
    ASSERT_EQ(r.exit, 0) << r.err.constData();
    EXPECT_EQ(r.out, s.tga);
    r = celtool({"dump", "--format", "TGA", "-", "-"}, s.tga);
    ASSERT_EQ(r.exit, 0);
    EXPECT_EQ(r.out, s.pixels);
    EXPECT_EQ(r.err.trimmed(), QByteArray("5x3"));                     // standard output carries the pixels
    EXPECT_EQ(celtool({"dump", "--format", "tga", "-", "-"}).exit, 1); // nothing on standard input
}

// A half-covered blue layer (its second pixel transparent) on an opaque base:
// by the default premultiplied over, and by a blend mode written to a file.
TEST(Celtool, CompositeOverAndBlendMode) {
    celtest::TempDir dir;
    const QString base = dir.path("base.tga"), layer = dir.path("layer.tga"), raw = dir.path("r.raw");
    ASSERT_TRUE(celtest::writeFile(base, tgaOf({{200, 100, 0, 255}, {200, 100, 0, 255}}, 2, 1)) &&
                celtest::writeFile(layer, tgaOf({{0, 0, 128, 128}, {0, 0, 0, 0}}, 2, 1)));
    // As read: the layer's values taken for premultiplied colour.
    ASSERT_EQ(celtool({"composite", "--keep-values", "--raw16", raw, base, layer}).exit, 0);
    const QByteArray bytes = celtest::readFile(raw);
    ASSERT_EQ(bytes.size(), 16);
    std::vector<int> got;
    for (int i = 0; i < 8; ++i)
        got.push_back(int16_t(uint8_t(bytes[2 * i]) | (uint8_t(bytes[2 * i + 1]) << 8)));
    // over: base * (1 - layer alpha) + layer, on the 16-bit values of the 8-bit inputs.
    const double keep = 1.0 - 16447 / 32767.0;
    EXPECT_NEAR(got[0], 25699 * keep, 1.0);
    EXPECT_NEAR(got[1], 12849 * keep, 1.0);
    EXPECT_EQ(std::vector<int>(got.begin() + 2, got.end()),
              (std::vector<int>{16447, 32767, 25699, 12849, 0, 32767}));

    // Multiply: blue times the base's black blue channel is black, so no blue shows.
    const QString out = dir.path("m.tga");
    ASSERT_EQ(celtool({"composite", "--keep-values", "--op", "fn_multiply", "-o", out, base, layer}).exit, 0);
    ASSERT_EQ(celtool({"dump", out, raw}).exit, 0);
    EXPECT_EQ(celtest::readFile(raw), QByteArray("\x64\x32\x00\xff\xc8\x64\x00\xff", 8));

    const ToolRun bad = celtool({"composite", "--op", "nosuchop", "-o", out, base, layer});
    EXPECT_EQ(bad.exit, 2);
    EXPECT_TRUE(bad.err.contains("unknown operation 'nosuchop'")) << bad.err.constData();
}
