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

using namespace celtest;

namespace {

// A small RGBA TGA frame whose pixels depend on `seed` (a disc that moves, soft edge).
void writeFrame(const QString& path, int seed, int w = 24, int h = 12) {
    std::vector<CEL_PixelRGBA8> p;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int d = (x - seed % w) * (x - seed % w) + (y - h / 2) * (y - h / 2);
            const auto a = uint8_t(d < 16 ? 255 : d < 40 ? 128 : 0);
            p.push_back(CEL_PixelRGBA8{uint8_t(a ? 200 : 0), uint8_t(a ? seed * 40 : 0), uint8_t(a / 2), a});
        }
    ASSERT_TRUE(writeFile(path, tgaOf(p, w, h)));
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
    return celtool(QStringList{"convert"} + args, input);
}

} // namespace

TEST(CeltoolBatch, UsageErrorsComeBeforeAnyWork) {
    TempDir dir;
    writeFrame(dir.path("f.0001.tga"), 1);
    const QString in = dir.path("f.####.tga"), out = dir.path("out/g.####.png");
    QFile list(dir.path("list.txt"));
    ASSERT_TRUE(list.open(QIODevice::WriteOnly));
    list.write(QFile::encodeName(dir.path("f.0001.tga")) + "\n-\n");
    list.close();
    // IN names frames and OUT does not, and the other way round; standard input is
    // not a sequence; bad ranges, shards and thread counts; a code PNG has not;
    // batch options for one file; a list without --format, to "-" or listing "-".
    expectUsageErrors(
        {"convert"},
        argLists(
            "IN G|ONE OUT|- OUT|--frames 5-3 IN OUT|--frames x IN OUT|--shard 2/2 IN OUT|--shard 0/0 IN OUT|"
            "--shard 1 IN OUT|--threads 0 IN OUT|--code TGA4 IN OUT|--json ONE A|--list LIST DIR|"
            "--format png --list LIST -|--format png --list LIST DIR",
            {{"IN", in},
             {"OUT", out},
             {"G", dir.path("out/g.png")},
             {"ONE", dir.path("f.0001.tga")},
             {"A", dir.path("out/a.png")},
             {"LIST", list.fileName()},
             {"DIR", dir.path("out")}}),
        {}, dir.path("out"));
}

TEST(CeltoolBatch, FrameFieldsPickTheirOwnSpellingOfEachNumber) {
    TempDir dir;
    for (const char* name : {"take#2_0007.tga", "take#2_0010.tga", "take#2_07.tga", "take#2_12345.tga",
                             "take#2_0012.tga.bak", "take#2_.tga"})
        writeFrame(dir.path(name), 3);
    // The last field counts; "%%" is "%"; an unpadded field takes numbers as printf writes them.
    ToolRun r = convert({"--json", dir.path("take#2_####.tga"), dir.path("o/100%%_%d.png")});
    EXPECT_EQ(r.exit, 0) << r.err.constData();
    EXPECT_EQ(namesIn(dir.path("o")), (QStringList{"100%_10.png", "100%_12345.png", "100%_7.png"}));
    EXPECT_EQ(jsonObject(r.out).value("converted").toInt(), 3);

    r = convert({dir.path("take#2_%02d.tga"), dir.path("p/x.%03d.tga")});
    EXPECT_EQ(r.exit, 0) << r.err.constData();
    EXPECT_EQ(namesIn(dir.path("p")), (QStringList{"x.007.tga", "x.12345.tga"}));

    r = convert({dir.path("none.####.tga"), dir.path("q/x.####.tga")});
    EXPECT_EQ(r.exit, 1);
    EXPECT_EQ(r.errLines(), QList<QByteArray>{"celtool: " + QFile::encodeName(dir.path("none.####.tga")) +
                                              ": no file matches"});
}

TEST(CeltoolBatch, ListsNumberTheirLinesFromOne) {
    TempDir dir;
    QDir().mkpath(dir.path("a"));
    QDir().mkpath(dir.path("b"));
    writeFrame(dir.path("a/one.tga"), 1);
    writeFrame(dir.path("b/two.frame.tga"), 2);
    writeFrame(dir.path("a/three.tga"), 3);
    const QByteArray lines = QFile::encodeName(dir.path("a/one.tga")) + "\r\n\n" +
                             QFile::encodeName(dir.path("b/two.frame.tga")) + "\n   \n" +
                             QFile::encodeName(dir.path("a/three.tga")) + "\n";
    ToolRun r = convert({"--format", "png", "--frames", "2-3", "--list", "-", dir.path("o")}, lines);
    EXPECT_EQ(r.exit, 0) << r.err.constData();
    EXPECT_EQ(namesIn(dir.path("o")), (QStringList{"three.png", "two.frame.png"}));

    r = convert({"--format", "png", "--frames", "2-4", "--list", "-", dir.path("p")}, lines);
    EXPECT_EQ(r.exit, 2);
    writeFrame(dir.path("b/one.tga"), 4);
    r = convert({"--format", "png", "--list", "-", dir.path("p")},
                QFile::encodeName(dir.path("a/one.tga")) + "\n" + QFile::encodeName(dir.path("b/one.tga")));
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
            const ToolRun r =
                convert({"--threads", "2", "--shard", QStringLiteral("%1/%2").arg(i).arg(n), "--frames",
                         QStringLiteral("1-%1").arg(kFrames), dir.path("f.####.tga"), out + "/g.####.png"});
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
            const QString out = dir.path(QStringLiteral("%1-%2").arg(ext, QLatin1String(threads)));
            const ToolRun r = convert({"--threads", threads, dir.path("f.#.tga"), out + "/g.#." + ext});
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
    QByteArray corrupt = readFile(dir.path("f.4.tga"));
    corrupt[16] = 7; // no such depth
    ASSERT_TRUE(writeFile(dir.path("f.4.tga"), corrupt));
    const ToolRun r = convert({"--json", "--frames", "1-5", dir.path("f.%d.tga"), dir.path("o/g.%d.png")});
    EXPECT_EQ(r.exit, 1);
    EXPECT_EQ(namesIn(dir.path("o")), (QStringList{"g.1.png", "g.2.png", "g.5.png"}));
    const QJsonObject summary = jsonObject(r.out);
    EXPECT_EQ(summary.value("converted").toInt(), 3);
    const QJsonArray failed = summary.value("failed").toArray();
    ASSERT_EQ(failed.size(), 2);
    EXPECT_EQ(failed[0].toObject().value("output").toString() + " " +
                  failed[0].toObject().value("error").toString(),
              dir.path("o/g.3.png") + " " + dir.path("f.3.tga") + ": no such file");
    EXPECT_TRUE(failed[1].toObject().value("error").toString().startsWith(dir.path("f.4.tga") + ": "));
    // One line per failed frame, nothing else: standard error is not a terminal.
    EXPECT_TRUE(r.errLines().size() == 2 && r.err.contains("f.3.tga: no such file")) << r.err.constData();
}

TEST(CeltoolBatchThreads, SignalsLeaveWholeOutputsAndSkipExistingResumes) {
    TempDir dir;
    constexpr int kFrames = 300;
    writeFrame(dir.path("frame.tga"), 5, 256, 128);
    for (int i = 1; i <= kFrames; ++i)
        ASSERT_TRUE(QFile::link(dir.path("frame.tga"),
                                dir.path(QStringLiteral("f.%1.tga").arg(i, 4, 10, QChar('0')))));
    ASSERT_EQ(convert({dir.path("frame.tga"), dir.path("reference.png")}).exit, 0);
    const QByteArray reference = readFile(dir.path("reference.png"));

    // Starts a batch into `out` and sends `sig` once the first frame is written.
    const auto interrupted = [&](const QString& out, int sig) {
        QProcess p;
        p.start(QStringLiteral(CELCORE_TOOL_PATH),
                {"convert", "--threads", "2", "--json", dir.path("f.####.tga"), out + "/g.####.png"});
        EXPECT_TRUE(p.waitForStarted());
        while (p.state() == QProcess::Running && outputsIn(out).isEmpty()) p.waitForFinished(5);
        ::kill(pid_t(p.processId()), sig);
        p.waitForFinished(120000);
        return std::make_pair(p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
                              p.readAllStandardOutput());
    };

    const QString termed = dir.path("term");
    const auto [code, json] = interrupted(termed, SIGTERM);
    EXPECT_EQ(code, 1);
    EXPECT_TRUE(jsonObject(json).value("interrupted").toBool());
    EXPECT_TRUE(temporariesIn(termed).isEmpty()) << qPrintable(temporariesIn(termed).join(' '));
    EXPECT_LT(outputsIn(termed).size(), kFrames);
    for (const QString& name : outputsIn(termed))
        EXPECT_EQ(readFile(termed + '/' + name), reference) << qPrintable(name);

    const QString killed = dir.path("kill");
    interrupted(killed, SIGKILL);
    const ToolRun resumed =
        convert({"--skip-existing", "--json", dir.path("f.####.tga"), killed + "/g.####.png"});
    EXPECT_EQ(resumed.exit, 0) << resumed.err.constData();
    const QJsonObject summary = jsonObject(resumed.out);
    EXPECT_GT(summary.value("skipped").toInt(), 0);
    EXPECT_EQ(summary.value("skipped").toInt() + summary.value("converted").toInt(), kFrames);
    EXPECT_EQ(outputsIn(killed).size(), kFrames);
    for (const QString& name : outputsIn(killed))
        EXPECT_EQ(readFile(killed + '/' + name), reference) << qPrintable(name);
}

TEST(CeltoolBatch, ProgressOnlyOnATerminal) {
    if (!haveProgram("script")) GTEST_SKIP() << "script (util-linux) is not installed";
    TempDir dir;
    for (int i = 1; i <= 3; ++i) writeFrame(dir.path(QStringLiteral("f.%1.tga").arg(i)), i);
    const QString args = QStringLiteral("%1 convert --shard 0/1 %2")
                             .arg(QStringLiteral(CELCORE_TOOL_PATH), dir.path("f.#.tga"));
    // On a terminal: the line redrawn in place, then the summary.
    ToolRun r = runProgram("script", {"-qec", args + ' ' + dir.path("a/g.#.png"), "/dev/null"});
    EXPECT_EQ(r.exit, 0);
    for (const char* part : {"\r3/3 ", " shard 0/1", "celtool: 3 frames: 3 converted, 0 skipped, 0 failed"})
        EXPECT_TRUE(r.out.contains(part)) << r.out.constData();
    r = runProgram("script", {"-qec", args + " --quiet " + dir.path("b/g.#.png"), "/dev/null"});
    EXPECT_EQ(r.exit, 0);
    EXPECT_TRUE(r.out.isEmpty()) << r.out.constData();
    // Not a terminal: nothing but errors.
    r = convert({dir.path("f.#.tga"), dir.path("c/g.#.jpg")}); // JPEG drops alpha: a warning, unsaid
    EXPECT_EQ(r.exit, 0);
    EXPECT_TRUE(r.err.isEmpty()) << r.err.constData();
    EXPECT_TRUE(r.out.isEmpty());
}
