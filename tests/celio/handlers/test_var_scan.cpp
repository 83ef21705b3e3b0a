// VAR and SCAN: their type table, the string block read in, the write
// codes, the information string through the manager and on many threads.
#include <QDateTime>
#include <gtest/gtest.h>
#include <thread>

#include "HandlerTestUtil.h"
#include "OptTestUtil.h"
#include "base/Message.h"
#include "celio/Manager.h"
#include "celio/handlers/VarScanHandler.h"

using namespace opttest;

namespace {

const QByteArray kTake("take 1\0", 7);

QString latin1(const QByteArray& b) {
    return QString::fromLatin1(b.constData(), b.size());
}

} // namespace

TEST(VarScanRead, EveryTypeOfTheTable) {
    celtest::TempDir dir;
    const QXCelUioVarHandler var;
    const QXCelUioScanHandler scan;
    const Bytes r{1, 2, 3, 4, 5, 6}, g{10, 20, 30, 40, 50, 60}, b{7, 7, 7, 9, 9, 9}, a{0, 128, 255, 1, 2, 3};
    const Bytes packedR = cat({runPacket(0, 42), literalPacket(r)}), packedG = literalPacket(g),
                packedB = cat({runPacket(3, 7), runPacket(3, 9)}), packedA = literalPacket(a);
    struct Case {
        uint32_t type;
        Bytes data;
        std::vector<Bytes> planes;
        const char* varCode;
    } cases[] = {
        {1, cat({r, g, b}), {r, g, b}, "VAR3"},
        {2, cat({r, g, b, a}), {r, g, b, a}, "VAR4"},
        {3, r, {r}, "VAR"}, // one channel here (three in OPT files)
        {7, r, {r}, "VAR"},
        {9, r, {r}, "VAR"},
        {4, cat({packedR, packedG, packedB}), {r, g, b}, "VAR3"},
        {5, cat({packedR, packedG, packedB, packedA}), {r, g, b, a}, "VAR4"},
        {6, packedR, {r}, "VAR"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        const Bytes file = varFile(c.type, 3, 2, 99, cat({stringBlock(kTake), c.data}));
        const bool compressed = c.type >= 4 && c.type <= 6;
        for (const QXCelUioOptHandler* h :
             {static_cast<const QXCelUioOptHandler*>(&var), static_cast<const QXCelUioOptHandler*>(&scan)}) {
            const bool isVar = h == &var;
            const QString path = put(dir, isVar ? QStringLiteral("f.var") : QStringLiteral("f.scan"), file);
            const auto rep = decode(*h, path);
            ASSERT_TRUE(rep);
            EXPECT_EQ(celtest::values(rep.get()), pixelsOf(c.planes));
            EXPECT_EQ(isVar ? var.infoString() : scan.infoString(), latin1(kTake));

            CELIO_Info info;
            ASSERT_EQ(h->readInfo(path, CEL_Context(), info), CELIO_STATE_OK);
            EXPECT_TRUE(info.width == 3 && info.height == 2 && info.bytesPerChannel == 1u &&
                        info.channels == uint32_t(c.planes.size()));
            EXPECT_EQ(info.optionCode, isVar ? QLatin1String(c.varCode) : QLatin1String("SCAN"));
            const QString prefix = !compressed ? QString()
                                   : isVar     ? QStringLiteral("Run-length encoded\n    ")
                                               : QStringLiteral("RLE encoded, ");
            EXPECT_EQ(info.description, prefix + latin1(kTake));
        }
    }
}

// The block read in (written out: celtool's legacy-format tests).
TEST(VarScanString, BlockReadIn) {
    celtest::TempDir dir;
    const QXCelUioScanHandler scan;
    const Bytes pixels = cat({runPacket(1, 7)});
    struct Row {
        const char* block;
        bool ok;
        QString text;
    } rows[] = {
        {">>STRLEN:3<<\xc3\xa9\0", true, QStringLiteral("\u00c3\u00a9") + QChar(0)}, // bytes as Latin-1
        {">>STRLEN: +3<<ab\0", true, QStringLiteral("ab") + QChar(0)}, // stream extraction: blanks, a sign
        {"XXXXXXXXX2<<z\0", true, QStringLiteral("z") + QChar(0)},     // the tag is not compared
        {">>STRLEN:0<<", true, QString()},
        {">>STRLEN:-4<<", true, QString()},
        {">>STRLEN:<<", false, {}},
        {">>STRLEN:x<<", false, {}},
        {">>STRLEN:999999999999<<ab", false, {}}, // more than the file holds
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.block);
        const QByteArray block(r.block, qsizetype(std::strlen(r.block) + (r.ok && r.text.size() ? 1 : 0)));
        const QString file =
            put(dir, "b.scan", varFile(6, 1, 1, 8, cat({Bytes(block.begin(), block.end()), pixels})));
        EXPECT_EQ(bool(decode(scan, file)), r.ok);
        EXPECT_TRUE(!r.ok || scan.infoString() == r.text) << qPrintable(scan.infoString());
    }
}

TEST(VarScanWrite, CodesShapesAndTypes) {
    celtest::TempDir dir;
    const QXCelUioVarHandler var;
    const QXCelUioScanHandler scan;
    const auto cel = celtest::celOf<CEL_PixmapRGBA8>(
        std::vector<CEL_PixelRGBA8>{{10, 20, 30, 40}, {1, 2, 3, 4}, {9, 9, 9, 9}}, 3);
    struct Row {
        const QXCelUioOptHandler* h;
        const char* code;
        uint32_t type;
        int bits;
        CEL_Representation::CelFormat format;
    } rows[] = {
        {&scan, "SCAN32", 5, 32, CEL_Representation::PIXMAP_RGBA8},
        {&scan, "scan24", 4, 24, CEL_Representation::PIXMAP_RGBA8},
        {&scan, "SCAN", 6, 8, CEL_Representation::PIXMAP_MATTE8},
        {&scan, "OPT4", 6, 8, CEL_Representation::PIXMAP_MATTE8},
        {&var, "SCAN32", 6, 8, CEL_Representation::PIXMAP_MATTE8}, // VAR files hold a matte
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.code);
        const QString path = dir.path("w.out");
        ASSERT_TRUE(r.h->write(cel.get(), path, QLatin1String(r.code)));
        const Bytes file = fileBytes(path);
        ASSERT_GE(file.size(), 12u);
        EXPECT_EQ(Bytes(file.begin(), file.begin() + 12), varFile(r.type, 3, 1, r.bits, {}));
        const auto back = decode(*r.h, path);
        ASSERT_TRUE(back);
        EXPECT_EQ(back->getFormat(), r.format);
    }
}

// Through the manager SCAN hands its string both ways (the threads below);
// VAR keeps out of it.
TEST(VarScanManager, InformationStringHook) {
    celtest::TempDir dir;
    qxCelAddPixmapHandler();
    CELIO_Manager* io = CELIO_Manager::getInstance();
    const auto* var = dynamic_cast<const QXCelUioVarHandler*>(io->findHandler(QStringLiteral("VAR")));
    ASSERT_TRUE(var);
    var->setInfoString(QString());
    const QString path = dir.path("a.var");
    ASSERT_TRUE(io->write(celtest::celOf(new CEL_PixmapRGBA8(9, 4)).get(), path, QStringLiteral("VAR"),
                          QString(), QStringLiteral("ignored")));
    QDateTime modified;
    CELIO_RepresentationList list;
    QString text = QStringLiteral("untouched");
    ASSERT_TRUE(io->read(path, modified, CEL_Context(), list, nullptr, &text));
    EXPECT_EQ(text, QStringLiteral("untouched"));
    EXPECT_EQ(var->infoString(), QStringLiteral("Stage") + QChar(0)); // the manager set none: "Stage"
}

// Reads of different SCAN files on eight threads through the one handler each
// get their own file's string.
TEST(VarScanManager, EachThreadGetsItsOwnString) {
    celtest::TempDir dir;
    qxCelAddPixmapHandler();
    CELIO_Manager* io = CELIO_Manager::getInstance();
    constexpr int kThreads = 8;
    for (int t = 0; t < kThreads; ++t)
        ASSERT_TRUE(io->write(celtest::celOf(new CEL_PixmapRGBA8(5 + t, 3)).get(),
                              dir.path(QStringLiteral("t%1.scan").arg(t)), QStringLiteral("SCAN"),
                              QStringLiteral("SCAN32"), QStringLiteral("thread %1").arg(t)));
    int mismatches[kThreads] = {};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            const QString path = dir.path(QStringLiteral("t%1.scan").arg(t));
            const QString want = QStringLiteral("thread %1").arg(t) + QChar(0);
            for (int round = 0; round < 25; ++round) {
                QDateTime modified;
                CELIO_RepresentationList list;
                QString text;
                if (!io->read(path, modified, CEL_Context(), list, nullptr, &text) || text != want)
                    ++mismatches[t];
            }
        });
    for (std::thread& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[t], 0) << t;
}
