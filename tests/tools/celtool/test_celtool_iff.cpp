// celtool on IFF files: the 8-bit and 16-bit codes by OUT's extension, and
// standard input and output refused with the reason.
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <gtest/gtest.h>

#include "cel/Cel.h"
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

TEST(CeltoolIff, CodesByExtensionAndNoStandardStreams) {
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

    ToolResult r = celtoolRun({"convert", "--format", "iff", "-", dir.path("o.tga")},
                              celtest::readFile(dir.path("out.iff")));
    EXPECT_EQ(r.exit, 1);
    EXPECT_TRUE(r.err.contains("IFF images cannot be read from standard input: the codec needs a file"))
        << r.err.data();
    r = celtoolRun({"convert", "--format", "iff", in, "-"});
    EXPECT_EQ(r.exit, 1);
    EXPECT_TRUE(r.err.contains("IFF images cannot be written to standard output: the codec needs a file"))
        << r.err.data();
    EXPECT_TRUE(r.out.isEmpty());
}
