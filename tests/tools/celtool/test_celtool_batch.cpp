// celtool convert over frame sequences. Suites whose celtool runs several workers say "Threads".
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QProcess>
#include <QRegularExpression>
#include <csignal>
#include <gtest/gtest.h>

#include "CeltoolTestUtil.h"
#include "cel/Cel.h"
#include "celio/Manager.h"
#include "pixel/PixmapCanvas.h"

using namespace celtest;

namespace {

QString S(const char* s) {
    return QString::fromUtf8(s);
}

// A small RGBA TGA frame whose pixels depend on `seed` (a disc that moves, soft edge).
void writeFrame(const QString& path, int seed, int w = 24, int h = 12) {
    qxCelAddPixmapHandler();
    auto* p = new CEL_PixmapRGBA8(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int d = (x - seed % w) * (x - seed % w) + (y - h / 2) * (y - h / 2);
            const auto a = uint8_t(d < 16 ? 255 : d < 40 ? 128 : 0);
            *p->pixel(x, y) =
                CEL_PixelRGBA8{uint8_t(a ? 200 : 0), uint8_t(a ? seed * 40 : 0), uint8_t(a / 2), a};
        }
    UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(CEL_Representation::PIXMAP_RGBA8));
    cel->addRepresentation(UT_SharedPtr<CEL_Representation>(p));
    ASSERT_TRUE(CELIO_Manager::getInstance()->write(cel.get(), path, S("TGA"), S("TGA4")));
}

QStringList namesIn(const QString& dir) {
    return QDir(dir).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

// The outputs: what is not hidden.
QStringList outputsIn(const QString& dir) {
    return QDir(dir).entryList(QDir::Files, QDir::Name);
}

// Files a write leaves behind when it does not finish (hidden ones).
QStringList temporariesIn(const QString& dir) {
    return QDir(dir).entryList(QDir::Files | QDir::Hidden, QDir::Name).filter(QRegularExpression("^\\."));
}

ToolRun convert(const QStringList& args, const QByteArray& input = {}) {
    return celtool(QStringList{S("convert")} + args, input);
}

} // namespace

TEST(CeltoolBatch, UsageErrorsComeBeforeAnyWork) {
    TempDir dir;
    writeFrame(dir.path(S("f.0001.tga")), 1);
    const QString in = dir.path(S("f.####.tga")), out = dir.path(S("out/g.####.png"));
    QFile list(dir.path(S("list.txt")));
    ASSERT_TRUE(list.open(QIODevice::WriteOnly));
    list.write(QFile::encodeName(dir.path(S("f.0001.tga"))) + "\n-\n");
    list.close();
    // IN names frames and OUT does not, and the other way round; standard input is
    // not a sequence; bad ranges, shards and thread counts; a code PNG has not;
    // batch options for one file; a list without --format, to "-" or listing "-".
    const QList<QStringList> bad = argLists(
        "IN G|ONE OUT|- OUT|--frames 5-3 IN OUT|--frames x IN OUT|--shard 2/2 IN OUT|--shard 0/0 IN OUT|"
        "--shard 1 IN OUT|--threads 0 IN OUT|--code TGA4 IN OUT|--json ONE A|--list LIST DIR|"
        "--format png --list LIST -|--format png --list LIST DIR",
        {{"IN", in},
         {"OUT", out},
         {"G", dir.path(S("out/g.png"))},
         {"ONE", dir.path(S("f.0001.tga"))},
         {"A", dir.path(S("out/a.png"))},
         {"LIST", list.fileName()},
         {"DIR", dir.path(S("out"))}});
    for (const QStringList& args : bad) {
        const ToolRun r = convert(args);
        EXPECT_EQ(r.exit, 2) << qPrintable(args.join(' ')) << r.err.constData();
        EXPECT_FALSE(r.err.isEmpty()) << qPrintable(args.join(' '));
    }
    EXPECT_FALSE(QFileInfo::exists(dir.path(S("out"))));
}

TEST(CeltoolBatch, FrameFieldsPickTheirOwnSpellingOfEachNumber) {
    TempDir dir;
    for (const char* name : {"take#2_0007.tga", "take#2_0010.tga", "take#2_07.tga", "take#2_12345.tga",
                             "take#2_0012.tga.bak", "take#2_.tga"})
        writeFrame(dir.path(S(name)), 3);
    // The last field counts; "%%" is "%"; an unpadded field takes numbers as printf writes them.
    ToolRun r = convert({S("--json"), dir.path(S("take#2_####.tga")), dir.path(S("o/100%%_%d.png"))});
    EXPECT_EQ(r.exit, 0) << r.err.constData();
    EXPECT_EQ(namesIn(dir.path(S("o"))),
              (QStringList{S("100%_10.png"), S("100%_12345.png"), S("100%_7.png")}));
    EXPECT_EQ(jsonObject(r.out).value(S("converted")).toInt(), 3);

    r = convert({dir.path(S("take#2_%02d.tga")), dir.path(S("p/x.%03d.tga"))});
    EXPECT_EQ(r.exit, 0) << r.err.constData();
    EXPECT_EQ(namesIn(dir.path(S("p"))), (QStringList{S("x.007.tga"), S("x.12345.tga")}));

    r = convert({dir.path(S("none.####.tga")), dir.path(S("q/x.####.tga"))});
    EXPECT_EQ(r.exit, 1);
    EXPECT_EQ(r.errLines(), QList<QByteArray>{"celtool: " + QFile::encodeName(dir.path(S("none.####.tga"))) +
                                              ": no file matches"});
}

TEST(CeltoolBatch, ListsNumberTheirLinesFromOne) {
    TempDir dir;
    QDir().mkpath(dir.path(S("a")));
    QDir().mkpath(dir.path(S("b")));
    writeFrame(dir.path(S("a/one.tga")), 1);
    writeFrame(dir.path(S("b/two.frame.tga")), 2);
    writeFrame(dir.path(S("a/three.tga")), 3);
    const QByteArray lines = QFile::encodeName(dir.path(S("a/one.tga"))) + "\r\n\n" +
                             QFile::encodeName(dir.path(S("b/two.frame.tga"))) + "\n   \n" +
                             QFile::encodeName(dir.path(S("a/three.tga"))) + "\n";
    ToolRun r = convert(
        {S("--format"), S("png"), S("--frames"), S("2-3"), S("--list"), S("-"), dir.path(S("o"))}, lines);
    EXPECT_EQ(r.exit, 0) << r.err.constData();
    EXPECT_EQ(namesIn(dir.path(S("o"))), (QStringList{S("three.png"), S("two.frame.png")}));

    r = convert({S("--format"), S("png"), S("--frames"), S("2-4"), S("--list"), S("-"), dir.path(S("p"))},
                lines);
    EXPECT_EQ(r.exit, 2);
    writeFrame(dir.path(S("b/one.tga")), 4);
    r = convert({S("--format"), S("png"), S("--list"), S("-"), dir.path(S("p"))},
                QFile::encodeName(dir.path(S("a/one.tga"))) + "\n" +
                    QFile::encodeName(dir.path(S("b/one.tga"))));
    EXPECT_EQ(r.exit, 2) << "two inputs would write p/one.png";
}

TEST(CeltoolBatchThreads, ShardsAreFixedDisjointAndCoverTheFrames) {
    TempDir dir;
    constexpr int kFrames = 5;
    for (int i = 1; i <= kFrames; ++i)
        writeFrame(dir.path(QStringLiteral("f.%1.tga").arg(i, 4, 10, QChar('0'))), i);
    // Shard i of n: frames i K / n + 1 ... (i + 1) K / n, so the shards cover the frames once, in order.
    for (int n = 1; n <= kFrames + 2; ++n)
        for (int i = 0; i < n; ++i) {
            const QString out = dir.path(QStringLiteral("n%1/s%2").arg(n).arg(i));
            const ToolRun r = convert(
                {S("--threads"), S("2"), S("--shard"), QStringLiteral("%1/%2").arg(i).arg(n), S("--frames"),
                 QStringLiteral("1-%1").arg(kFrames), dir.path(S("f.####.tga")), out + S("/g.####.png")});
            ASSERT_EQ(r.exit, 0) << r.err.constData();
            QStringList want;
            for (int f = i * kFrames / n + 1; f <= (i + 1) * kFrames / n; ++f)
                want << QStringLiteral("g.%1.png").arg(f, 4, 10, QChar('0'));
            EXPECT_EQ(namesIn(out), want) << n << " " << i;
        }
}

// Writers with state of their own: compression ahead on threads (PNG), codec libraries (JPEG,
// TIFF), per-thread information strings (SCAN), a codec that needs a file (IFF), a container (OMF).
TEST(CeltoolBatchThreads, WritersMatchTheSingleFileConvert) {
    TempDir dir;
    constexpr int kFrames = 3;
    for (int i = 1; i <= kFrames; ++i) writeFrame(dir.path(QStringLiteral("f.%1.tga").arg(i)), i);
    for (const QString ext : {"png", "jpg", "tif", "scan", "iff", "omf"}) {
        QList<QByteArray> single;
        for (int i = 1; i <= kFrames; ++i) {
            const QString out = dir.path(QStringLiteral("single.%1.").arg(i) + ext);
            ASSERT_EQ(convert({dir.path(QStringLiteral("f.%1.tga").arg(i)), out}).exit, 0) << qPrintable(ext);
            single << readFile(out);
        }
        for (const char* threads : {"1", "2"}) {
            const QString out = dir.path(QStringLiteral("%1-%2").arg(ext, S(threads)));
            const ToolRun r =
                convert({S("--threads"), S(threads), dir.path(S("f.#.tga")), out + S("/g.#.") + ext});
            ASSERT_EQ(r.exit, 0) << qPrintable(ext) << r.err.constData();
            for (int i = 1; i <= kFrames; ++i)
                EXPECT_EQ(readFile(out + QStringLiteral("/g.%1.").arg(i) + ext), single[i - 1])
                    << qPrintable(ext) << " frame " << i << " on " << threads;
            EXPECT_TRUE(temporariesIn(out).isEmpty());
        }
    }
}

TEST(CeltoolBatch, AMissingOrCorruptFrameFailsAlone) {
    TempDir dir;
    for (int i : {1, 2, 4, 5}) writeFrame(dir.path(QStringLiteral("f.%1.tga").arg(i)), i);
    QByteArray corrupt = readFile(dir.path(S("f.4.tga")));
    corrupt[16] = 7; // no such depth
    ASSERT_TRUE(writeFile(dir.path(S("f.4.tga")), corrupt));
    const ToolRun r =
        convert({S("--json"), S("--frames"), S("1-5"), dir.path(S("f.%d.tga")), dir.path(S("o/g.%d.png"))});
    EXPECT_EQ(r.exit, 1);
    EXPECT_EQ(namesIn(dir.path(S("o"))), (QStringList{S("g.1.png"), S("g.2.png"), S("g.5.png")}));
    const QJsonObject summary = jsonObject(r.out);
    EXPECT_EQ(summary.value(S("converted")).toInt(), 3);
    const QJsonArray failed = summary.value(S("failed")).toArray();
    ASSERT_EQ(failed.size(), 2);
    EXPECT_EQ(failed[0].toObject().value(S("output")).toString() + S(" ") +
                  failed[0].toObject().value(S("error")).toString(),
              dir.path(S("o/g.3.png")) + S(" ") + dir.path(S("f.3.tga")) + S(": no such file"));
    EXPECT_TRUE(
        failed[1].toObject().value(S("error")).toString().startsWith(dir.path(S("f.4.tga")) + S(": ")));
    // One line per failed frame, nothing else: standard error is not a terminal.
    EXPECT_TRUE(r.errLines().size() == 2 && r.err.contains("f.3.tga: no such file")) << r.err.constData();
}

TEST(CeltoolBatchThreads, SignalsLeaveWholeOutputsAndSkipExistingResumes) {
    TempDir dir;
    constexpr int kFrames = 300;
    writeFrame(dir.path(S("frame.tga")), 5, 256, 128);
    for (int i = 1; i <= kFrames; ++i)
        ASSERT_TRUE(QFile::link(dir.path(S("frame.tga")),
                                dir.path(QStringLiteral("f.%1.tga").arg(i, 4, 10, QChar('0')))));
    ASSERT_EQ(convert({dir.path(S("frame.tga")), dir.path(S("reference.png"))}).exit, 0);
    const QByteArray reference = readFile(dir.path(S("reference.png")));

    // Starts a batch into `out` and sends `sig` once the first frame is written.
    const auto interrupted = [&](const QString& out, int sig) {
        QProcess p;
        p.start(S(CELCORE_TOOL_PATH), {S("convert"), S("--threads"), S("2"), S("--json"),
                                       dir.path(S("f.####.tga")), out + S("/g.####.png")});
        EXPECT_TRUE(p.waitForStarted());
        while (p.state() == QProcess::Running && outputsIn(out).isEmpty()) p.waitForFinished(5);
        ::kill(pid_t(p.processId()), sig);
        p.waitForFinished(120000);
        return std::make_pair(p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
                              p.readAllStandardOutput());
    };

    const QString termed = dir.path(S("term"));
    const auto [code, json] = interrupted(termed, SIGTERM);
    EXPECT_EQ(code, 1);
    EXPECT_TRUE(jsonObject(json).value(S("interrupted")).toBool());
    EXPECT_TRUE(temporariesIn(termed).isEmpty()) << qPrintable(temporariesIn(termed).join(' '));
    EXPECT_LT(outputsIn(termed).size(), kFrames);
    for (const QString& name : outputsIn(termed))
        EXPECT_EQ(readFile(termed + '/' + name), reference) << qPrintable(name);

    const QString killed = dir.path(S("kill"));
    interrupted(killed, SIGKILL);
    const ToolRun resumed =
        convert({S("--skip-existing"), S("--json"), dir.path(S("f.####.tga")), killed + S("/g.####.png")});
    EXPECT_EQ(resumed.exit, 0) << resumed.err.constData();
    const QJsonObject summary = jsonObject(resumed.out);
    EXPECT_GT(summary.value(S("skipped")).toInt(), 0);
    EXPECT_EQ(summary.value(S("skipped")).toInt() + summary.value(S("converted")).toInt(), kFrames);
    EXPECT_EQ(outputsIn(killed).size(), kFrames);
    for (const QString& name : outputsIn(killed))
        EXPECT_EQ(readFile(killed + '/' + name), reference) << qPrintable(name);
}

TEST(CeltoolBatch, ProgressOnlyOnATerminal) {
    if (!haveProgram("script")) GTEST_SKIP() << "script (util-linux) is not installed";
    TempDir dir;
    for (int i = 1; i <= 3; ++i) writeFrame(dir.path(QStringLiteral("f.%1.tga").arg(i)), i);
    const QString args =
        QStringLiteral("%1 convert --shard 0/1 %2").arg(S(CELCORE_TOOL_PATH), dir.path(S("f.#.tga")));
    // On a terminal: the line redrawn in place, then the summary.
    ToolRun r = runProgram(S("script"), {S("-qec"), args + ' ' + dir.path(S("a/g.#.png")), S("/dev/null")});
    EXPECT_EQ(r.exit, 0);
    for (const char* part : {"\r3/3 ", " shard 0/1", "celtool: 3 frames: 3 converted, 0 skipped, 0 failed"})
        EXPECT_TRUE(r.out.contains(part)) << r.out.constData();
    r = runProgram(S("script"),
                   {S("-qec"), args + S(" --quiet ") + dir.path(S("b/g.#.png")), S("/dev/null")});
    EXPECT_EQ(r.exit, 0);
    EXPECT_TRUE(r.out.isEmpty()) << r.out.constData();
    // Not a terminal: nothing but errors.
    r = convert({dir.path(S("f.#.tga")), dir.path(S("c/g.#.jpg"))}); // JPEG drops alpha: a warning, unsaid
    EXPECT_EQ(r.exit, 0);
    EXPECT_TRUE(r.err.isEmpty()) << r.err.constData();
    EXPECT_TRUE(r.out.isEmpty());
}
