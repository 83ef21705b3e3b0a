// celtool info / convert / dump, run as a separate process.
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <gtest/gtest.h>

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
    if (!p.waitForStarted()) return {};
    if (!input.isEmpty()) p.write(input);
    p.closeWriteChannel();
    p.waitForFinished(60000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput(),
            p.readAllStandardError()};
}

// A 5 x 3 colour image with soft alpha, written as a 32-bit TGA.
struct Sample {
    std::vector<CEL_PixelRGBA8> px;
    QByteArray tga;
    Sample() {
        auto* p = new CEL_PixmapRGBA8(5, 3);
        for (int i = 0; i < 15; ++i) {
            const uint8_t a = uint8_t(i * 17);
            p->data()[i] = CEL_PixelRGBA8{uint8_t(a / 2), uint8_t(a / 3), uint8_t(i), a};
            px.push_back(p->data()[i]);
        }
        UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(CEL_Representation::PIXMAP_RGBA8));
        cel->addRepresentation(UT_SharedPtr<CEL_Representation>(p));
        tga = QXCelUioTgaHandler().encode(cel.get(), QStringLiteral("TGA4"));
    }
};

QJsonObject json(const QByteArray& line) {
    return QJsonDocument::fromJson(line).object();
}

} // namespace

TEST(Celtool, UsageErrorsExitWithTwo) {
    celtest::TempDir dir;
    const QString in = dir.path(QStringLiteral("in.tga"));
    ASSERT_TRUE(celtest::writeFile(in, Sample().tga));
    const QStringList cases[] = {
        {},
        {QStringLiteral("nosuchcommand")},
        {QStringLiteral("info")},
        {QStringLiteral("info"), QStringLiteral("--bogus"), in},
        {QStringLiteral("convert"), in},
        {QStringLiteral("convert"), in, dir.path(QStringLiteral("out.nosuchformat"))},
        {QStringLiteral("convert"), QStringLiteral("--code"), QStringLiteral("TGA9"), in,
         dir.path(QStringLiteral("o.tga"))},
        {QStringLiteral("convert"), QStringLiteral("-"), dir.path(QStringLiteral("o.tga"))},
        {QStringLiteral("dump"), QStringLiteral("--depth"), QStringLiteral("12"), in,
         dir.path(QStringLiteral("o.raw"))},
        {QStringLiteral("dump"), in},
    };
    for (const QStringList& args : cases) EXPECT_EQ(celtool(args).exit, 2) << qPrintable(args.join(' '));
}

TEST(Celtool, InfoJson) {
    celtest::TempDir dir;
    const QString good = dir.path(QStringLiteral("good.tga"));
    ASSERT_TRUE(celtest::writeFile(good, Sample().tga));
    ToolRun r = celtool({QStringLiteral("info"), QStringLiteral("--json"), good});
    EXPECT_EQ(r.exit, 0);
    const QJsonObject o = json(r.out.trimmed());
    EXPECT_EQ(o.value("state").toInt(-1), 0);
    EXPECT_EQ(o.value("width").toInt(), 5);
    EXPECT_EQ(o.value("height").toInt(), 3);
    EXPECT_EQ(o.value("channels").toInt(), 4);
    EXPECT_EQ(o.value("bytesPerChannel").toInt(), 1);
    EXPECT_EQ(o.value("optionCode").toString(), QStringLiteral("TGA4"));
    EXPECT_EQ(o.value("description").toString(), QStringLiteral("RLE Encoded"));

    // One object per file, in order; a missing file, a cut header and an
    // unknown extension are answered too, but the exit status says so.
    const QString cut = dir.path(QStringLiteral("cut.tga"));
    ASSERT_TRUE(celtest::writeFile(cut, QByteArray(5, '\0')));
    r = celtool({QStringLiteral("info"), QStringLiteral("--json"), good,
                 dir.path(QStringLiteral("missing.tga")), cut, dir.path(QStringLiteral("x.nosuchformat"))});
    EXPECT_EQ(r.exit, 1);
    const QList<QByteArray> lines = r.out.trimmed().split('\n');
    ASSERT_EQ(lines.size(), 4);
    EXPECT_EQ(json(lines[0]).value("state").toInt(-1), 0);
    EXPECT_EQ(json(lines[1]).value("state").toInt(-1), 1);
    EXPECT_EQ(json(lines[2]).value("state").toInt(-1), 1);
    EXPECT_EQ(json(lines[3]).value("state").toInt(-1), 2);
}

TEST(Celtool, ConvertAndDumpFiles) {
    celtest::TempDir dir;
    const Sample s;
    const QString in = dir.path(QStringLiteral("in.tga"));
    ASSERT_TRUE(celtest::writeFile(in, s.tga));

    const QString grey = dir.path(QStringLiteral("sub/grey.tga"));
    ASSERT_EQ(
        celtool({QStringLiteral("convert"), QStringLiteral("--code"), QStringLiteral("tga1"), in, grey}).exit,
        0);
    ToolRun r = celtool({QStringLiteral("info"), QStringLiteral("--json"), grey});
    EXPECT_EQ(json(r.out.trimmed()).value("optionCode").toString(), QStringLiteral("TGA1"));

    // Without a code the format's default shape: 24-bit.
    const QString rgb = dir.path(QStringLiteral("rgb.tga"));
    ASSERT_EQ(celtool({QStringLiteral("convert"), in, rgb}).exit, 0);
    r = celtool({QStringLiteral("info"), QStringLiteral("--json"), rgb});
    EXPECT_EQ(json(r.out.trimmed()).value("optionCode").toString(), QStringLiteral("TGA3"));

    const QString raw8 = dir.path(QStringLiteral("p8.raw"));
    r = celtool({QStringLiteral("dump"), in, raw8});
    ASSERT_EQ(r.exit, 0);
    EXPECT_EQ(r.out.trimmed(), QByteArray("5x3"));
    const QByteArray bytes8 = celtest::readFile(raw8);
    ASSERT_EQ(bytes8.size(), 60);
    EXPECT_EQ(std::memcmp(bytes8.constData(), s.px.data(), 60), 0);

    const QString raw16 = dir.path(QStringLiteral("p16.raw"));
    ASSERT_EQ(
        celtool({QStringLiteral("dump"), QStringLiteral("--depth"), QStringLiteral("16"), in, raw16}).exit,
        0);
    const QByteArray bytes16 = celtest::readFile(raw16);
    ASSERT_EQ(bytes16.size(), 120);
    const auto u8 = reinterpret_cast<const uint8_t*>(bytes16.constData());
    for (int i = 0; i < 15; ++i) {
        const uint8_t c8[4] = {s.px[i].r, s.px[i].g, s.px[i].b, s.px[i].a};
        for (int c = 0; c < 4; ++c) {
            const int v = int16_t(u8[8 * i + 2 * c] | (u8[8 * i + 2 * c + 1] << 8));
            EXPECT_EQ(v, int(c8[c]) * 32767 / 255) << i << "/" << c;
        }
    }

    // Failures: unreadable input, garbage input.
    EXPECT_EQ(celtool({QStringLiteral("convert"), dir.path(QStringLiteral("none.tga")), rgb}).exit, 1);
    const QString junk = dir.path(QStringLiteral("junk.tga"));
    ASSERT_TRUE(celtest::writeFile(junk, QByteArray(40, '\x7f')));
    r = celtool({QStringLiteral("dump"), junk, raw8});
    EXPECT_EQ(r.exit, 1);
    EXPECT_FALSE(r.err.isEmpty());
}

TEST(Celtool, StandardInputAndOutput) {
    const Sample s;
    // The whole pipe: TGA in on standard input, TGA out on standard output.
    ToolRun r =
        celtool({QStringLiteral("convert"), QStringLiteral("--format"), QStringLiteral("tga"),
                 QStringLiteral("--code"), QStringLiteral("TGA4"), QStringLiteral("-"), QStringLiteral("-")},
                s.tga);
    ASSERT_EQ(r.exit, 0) << r.err.constData();
    EXPECT_EQ(r.out, s.tga);

    r = celtool({QStringLiteral("dump"), QStringLiteral("--format"), QStringLiteral("TGA"),
                 QStringLiteral("-"), QStringLiteral("-")},
                s.tga);
    ASSERT_EQ(r.exit, 0);
    ASSERT_EQ(r.out.size(), 60);
    EXPECT_EQ(std::memcmp(r.out.constData(), s.px.data(), 60), 0);
    EXPECT_EQ(r.err.trimmed(), QByteArray("5x3"));

    // Empty standard input is a failure, not a crash.
    r = celtool({QStringLiteral("dump"), QStringLiteral("--format"), QStringLiteral("tga"),
                 QStringLiteral("-"), QStringLiteral("-")});
    EXPECT_EQ(r.exit, 1);
}
