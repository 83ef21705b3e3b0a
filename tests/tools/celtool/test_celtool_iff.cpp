// celtool on IFF files: the 8-bit and 16-bit codes by OUT's extension,
// standard input and output through the tool's temporary files, and depth
// kept through a conversion.
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <gtest/gtest.h>
#include <vector>

#include "cel/Cel.h"
#include "celio/handlers/IffImage.h"
#include "celio/handlers/TgaHandler.h"
#include "pixel/PixmapCanvas.h"
#include "support/TestSupport.h"

namespace {

struct ToolResult {
    int exit = -1;
    QByteArray out, err;
};

ToolResult celtoolRun(const QStringList& args, const QByteArray& input = QByteArray()) {
    QProcess p;
    p.start(QStringLiteral(CELCORE_TOOL_PATH), args);
    p.write(input);
    p.closeWriteChannel();
    p.waitForFinished(60000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput(),
            p.readAllStandardError()};
}

} // namespace

TEST(CeltoolIff, CodesStandardStreamsAndDepth) {
    celtest::TempDir dir;
    auto* p = new CEL_PixmapRGBA8(70, 3);
    for (int i = 0; i < 210; ++i) p->data()[i] = CEL_PixelRGBA8{uint8_t(i), uint8_t(i / 2), 7, 255};
    UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(CEL_Representation::PIXMAP_RGBA8));
    cel->addRepresentation(UT_SharedPtr<CEL_Representation>(p));
    const QByteArray tga = QXCelUioTgaHandler().encode(cel.get(), QStringLiteral("TGA4"));
    const QString in = dir.path("in.tga"), raw = dir.path("in.raw");
    ASSERT_TRUE(celtest::writeFile(in, tga));
    ASSERT_EQ(celtoolRun({"dump", "--depth", "16", in, raw}).exit, 0);

    for (const char* code : {"", "IFF_16"}) {
        SCOPED_TRACE(code);
        const QString out = dir.path(QStringLiteral("out%1.iff").arg(QLatin1String(code)));
        const QStringList args =
            *code ? QStringList{"convert", "--code", code, in, out} : QStringList{"convert", in, out};
        ASSERT_EQ(celtoolRun(args).exit, 0);
        const QJsonObject info = QJsonDocument::fromJson(celtoolRun({"info", "--json", out}).out).object();
        EXPECT_EQ(info.value("optionCode").toString(), QStringLiteral("IFF"));
        EXPECT_EQ(info.value("bytesPerChannel").toInt(), *code ? 2 : 1);
        EXPECT_EQ(info.value("channels").toInt(), 4);
        const QString back = dir.path("back.raw");
        ASSERT_EQ(celtoolRun({"dump", "--depth", "16", out, back}).exit, 0);
        EXPECT_EQ(celtest::readFile(back), celtest::readFile(raw));
    }

    // The codec needs a file; the tool gives it one for standard input and output.
    const QByteArray iff = celtest::readFile(dir.path("out.iff"));
    ToolResult r = celtoolRun({"convert", "--format", "iff", "-", dir.path("o.tga")}, iff);
    EXPECT_EQ(r.exit, 0) << r.err.data();
    r = celtoolRun({"convert", "--format", "iff", dir.path("o.tga"), "-"});
    EXPECT_EQ(r.exit, 0) << r.err.data();
    EXPECT_TRUE(r.out.startsWith("FOR4") && r.out.mid(8, 4) == "CIMG");

    // Depth survives a conversion that rounds 16-bit colour to 8 bits.
    const int w = 40, h = 30;
    std::vector<uint16_t> colour(size_t(w) * h * 4);
    std::vector<float> depth(size_t(w) * h);
    for (size_t i = 0; i < colour.size(); ++i) colour[i] = uint16_t(i * 37 % 65536);
    for (size_t i = 0; i < depth.size(); ++i) depth[i] = 0.5f + float(i % w);
    CEL_IffImage deep(w, h, 2);
    ASSERT_TRUE(deep.iff_save(dir.path("deep.iff"), colour.data(), depth.data(), 2));
    ASSERT_EQ(celtoolRun({"convert", "--code", "IFF", dir.path("deep.iff"), dir.path("flat.iff")}).exit, 0);
    CEL_IffImage flat;
    flat.iffctrl(CEL_IffImage::IFF_CTRL_TOP_DOWN, true);
    ASSERT_TRUE(flat.iff_load(dir.path("flat.iff")));
    EXPECT_EQ(flat.iffgetbpp(), 1);
    ASSERT_TRUE(flat.depth());
    for (size_t i = 0; i < depth.size(); ++i) // 1 / (1 / d): within one step of the float
        ASSERT_NEAR(flat.depth()[i], depth[i], depth[i] * 1.2e-7f) << i;
}
