#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <thread>

#include "CelioTestHandlers.h"
#include "base/BitmapSystem.h"
#include "base/Message.h"
#include "base/Platform.h"
#include "cel/Context.h"
#include "celio/BitmapEngine.h"
#include "celio/LayerInfo.h"
#include "celio/Manager.h"
#include "support/TestSupport.h"

namespace {

const QString S(const char* s) {
    return QString::fromUtf8(s);
}

// Every test starts from a fresh manager and leaves none behind.
class CelioManager : public ::testing::Test {
protected:
    void SetUp() override {
        deleteCELIO_ManagerInstance();
        m = CELIO_Manager::getInstance();
    }
    void TearDown() override { deleteCELIO_ManagerInstance(); }
    StubHandler* addStub(const QStringList& extensions, const QStringList& codes = {}) {
        auto* h = new StubHandler(extensions, codes);
        m->addHandler(h);
        return h;
    }
    // The one record a call posted, checked for its text, action and code.
    static void expectOnly(const QXMessage::Capture& c, const QString& text, int action, int code) {
        const auto records = c.records();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].source, text);
        EXPECT_EQ(records[0].action, action);
        EXPECT_EQ(records[0].code, code);
    }
    CELIO_Manager* m = nullptr;
    celtest::TempDir dir;
    QDateTime modified;
    CELIO_RepresentationList list;
};

} // namespace

TEST_F(CelioManager, LookupByExactKeyThenCaseInsensitiveWalk) {
    m->addHandler(nullptr);
    EXPECT_TRUE(m->handlers().empty());
    const StubHandler* tga = addStub({S("TGA")}, {S("TGA"), S("TGA4"), S("TGA3"), S("TGA1")});
    const StubHandler* psd = addStub({S("PSD"), S("PSB")}, {S("PSD")});
    const StubHandler* psb = addStub({S("PSB")});
    for (const char* e : {"tga", "TGA", "Tga"}) EXPECT_EQ(m->findHandler(S(e)), tga) << e;
    // The later handler owns the table entries of a shared extension; a spelling
    // that is not in the table goes to the first handler listing it.
    EXPECT_EQ(m->findHandler(S("PSB")), psb);
    EXPECT_EQ(m->findHandler(S("psb")), psb);
    EXPECT_EQ(m->findHandler(S("Psb")), psd);
    EXPECT_EQ(m->findHandler(S("PNG")), nullptr);
    EXPECT_EQ(m->findHandler(QString()), nullptr);
    EXPECT_EQ(m->handlers(), (std::vector<const CELIO_Handler*>{tga, psd, psb}));
}

TEST_F(CelioManager, ExtensionsOfCodesAndListQueries) {
    addStub({S("TGA")}, {S("TGA"), S("TGA4")});
    addStub({S("SGI")}, {S("SGI"), S("SGIDP4")});
    addStub({S("IFF")});
    addStub({S("DAT")});
    EXPECT_EQ(m->getExtension(S("TGA4")), S("tga"));
    EXPECT_EQ(m->getExtension(S("sgidp4")), S("sgi"));
    EXPECT_EQ(m->getExtension(S("DAT")), S("dat")); // no codes: the extensions stand in
    EXPECT_TRUE(m->getExtension(S("IFF_16")).isNull());
    EXPECT_TRUE(m->getExtension(S("TGA9")).isNull());

    EXPECT_EQ(m->getExtensions(), (QStringList{S("TGA"), S("SGI"), S("IFF"), S("DAT")}));
    EXPECT_EQ(m->getWriteOptionCodes(), (QStringList{S("TGA"), S("TGA4"), S("SGI"), S("SGIDP4")}));
    addStub({S("TGA")});
    EXPECT_EQ(m->getWriteExtensions().count(S("TGA")), 2);

    CELIO_WriteOptions o;
    o.alpha = true;
    m->getWriteOptions(S("XYZ"), o);
    EXPECT_TRUE(o.alpha);
    EXPECT_TRUE(m->getWriteOptionsCode(S("XYZ"), o).isNull());
    EXPECT_EQ(m->getWriteOptionsCode(S("sgi"), o), S("SGI"));
}

TEST_F(CelioManager, ReadRetriesWithTheUpperCaseExtensionThenReports) {
    StubHandler* stb = addStub({S("STB")});
    const QString path = dir.path(S("pic.stb"));
    ASSERT_TRUE(celtest::writeFile(path, "x"));
    stb->readResult = false;
    QXMessage::Capture c;
    EXPECT_FALSE(m->read(path, modified, CEL_Context(), list));
    EXPECT_EQ(stb->readPaths, (QStringList{path, dir.path(S("pic.STB"))}));
    expectOnly(c, S("unable to read %1").arg(path), 2, 10);
    EXPECT_EQ(modified, QFileInfo(path).lastModified());
}

TEST_F(CelioManager, ReadOfAMissingFileReportsIt) {
    addStub({S("STB")});
    const QString path = dir.path(S("missing.stb"));
    QXMessage::Capture c;
    EXPECT_FALSE(m->read(path, modified, CEL_Context(), list));
    expectOnly(c, S("file does not exists (%1)").arg(path), 5, 0);

    // Only the upper-case variant exists: read refuses (it tests the name as
    // given), the header query finds the variant.
    ASSERT_TRUE(celtest::writeFile(dir.path(S("missing.STB")), "x"));
    EXPECT_FALSE(m->read(path, modified, CEL_Context(), list));
    CELIO_Info info;
    EXPECT_EQ(m->loadInfo(path, modified, CEL_Context(), info), CELIO_STATE_OK);
    EXPECT_EQ(modified, QFileInfo(dir.path(S("missing.STB"))).lastModified());
    EXPECT_EQ(m->loadInfo(dir.path(S("gone.stb")), modified, CEL_Context(), info), CELIO_STATE_FAILED);
    EXPECT_EQ(m->loadInfo(dir.path(S("x.none")), modified, CEL_Context(), info), CELIO_STATE_UNSUPPORTED);
    CELIO_LayerInfo layers;
    EXPECT_EQ(m->loadLayerInfo(path, modified, layers), CELIO_STATE_UNSUPPORTED); // the stub's default
}

TEST_F(CelioManager, PathWithoutADotIsItsOwnExtension) {
    StubHandler* stb = addStub({S("STB")});
    const QString cwd = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir.root()));
    ASSERT_TRUE(celtest::writeFile(S("stb.STB"), "x"));
    CELIO_Info info;
    const CELIO_State state =
        m->loadInfo(S("stb"), modified, CEL_Context(), info); // base "stb", extension "STB"
    ASSERT_TRUE(celtest::writeFile(S("stb"), "x"));
    stb->readResult = false;
    QXMessage::Capture c;
    const bool ok = m->read(S("stb"), modified, CEL_Context(), list);
    QDir::setCurrent(cwd);
    EXPECT_EQ(state, CELIO_STATE_OK);
    EXPECT_FALSE(ok);
    EXPECT_EQ(stb->readPaths, (QStringList{S("stb"), S("stb.STB")}));
}

TEST_F(CelioManager, ExceptionsAndStandardInput) {
    StubHandler* stb = addStub({S("STB")});
    stb->throws = true;
    const QString path = dir.path(S("boom.stb"));
    ASSERT_TRUE(celtest::writeFile(path, "x"));
    {
        QXMessage::Capture c;
        EXPECT_FALSE(m->read(path, modified, list));
        expectOnly(c, S("Could not complete reading from file: %1\n").arg(path), 2, 10);
    }
    EXPECT_THROW(m->read(path, modified, CEL_Context(), list), int);
    CELIO_Info info;
    EXPECT_EQ(m->loadInfo(path, modified, CEL_Context(), info), CELIO_STATE_FAILED);

    WHO_Identity::setInteractive(false);
    const QString hint = S("stb"), unknown = S("png");
    QXMessage::Capture c;
    const bool fromStdin = m->read(S("-"), modified, CEL_Context(), list, &hint);
    const bool noHandler = m->read(S("-"), modified, CEL_Context(), list, &unknown);
    WHO_Identity::setInteractive(true);
    EXPECT_FALSE(fromStdin);
    EXPECT_FALSE(noHandler);
    EXPECT_EQ(stb->readPaths.back(), S("-"));
    expectOnly(c, S("could not read %1 from interactive").arg(S("-")), 2, 10);
}

TEST_F(CelioManager, InfoStringsAndDefaultCodes) {
    StubHandler* stb = addStub({S("STB")}, {S("STB4"), S("STB")});
    const QString path = dir.path(S("a.stb"));
    ASSERT_TRUE(celtest::writeFile(path, "x"));
    QString text = S("untouched");
    ASSERT_TRUE(m->read(path, modified, CEL_Context(), list, nullptr, &text));
    EXPECT_EQ(text, S("untouched")); // the handler takes no part

    EXPECT_TRUE(m->write(nullptr, path, S("stb"), QString(), S("Stage 3")));
    EXPECT_EQ(stb->lastCode, S("STB")); // the main extension
    EXPECT_TRUE(m->read(path, modified, CEL_Context(), list, nullptr, &text));
    EXPECT_EQ(text, S("Stage 3"));

    CELIO_LayerInfo layers;
    EXPECT_FALSE(m->writeWithLayers(layers, path, S("none"), QString()));
    EXPECT_FALSE(m->writeCombined(nullptr, nullptr, path, S("none"), QString(), false));
    CELIO_RepresentationList out;
    UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(CEL_Representation::NONE));
    EXPECT_FALSE(m->convert(nullptr, CELIO_ConvertOptions(0, QString(), S("stb")), out));
    EXPECT_FALSE(m->convert(cel.get(), CELIO_ConvertOptions(0, QString(), S("png")), out));
    EXPECT_FALSE(m->write(cel.get(), path, S("png"), QString()));
}

TEST_F(CelioManager, OwnsTheBitmapEngineAndTheHandlers) {
    EXPECT_TRUE(dynamic_cast<CELIO_BitmapEngine*>(BM_System::engine()));
    EXPECT_EQ(CELIO_Manager::getInstance(), m);
    qxCelAddPixmapHandler();
    const size_t registered = m->handlers().size();
    qxCelAddPixmapHandler(); // a second call adds nothing
    EXPECT_EQ(m->handlers().size(), registered);
    deleteCELIO_ManagerInstance();
    EXPECT_EQ(BM_System::engine(), nullptr);
    deleteCELIO_ManagerInstance(); // nothing left to delete
}

// Several threads read and query different files through one manager and one
// handler instance at once, as the background loader does.
TEST_F(CelioManager, ConcurrentReadsOfDifferentFiles) {
    m->addHandler(new TestRawHandler);
    constexpr int kFiles = 24;
    for (int i = 0; i < kFiles; ++i) {
        UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(CEL_Representation::PIXMAP_RGBA8));
        auto* p = new CEL_PixmapRGBA8(8 + i, 5 + i);
        for (int k = 0; k < p->width() * p->height(); ++k)
            p->data()[k] = CEL_PixelRGBA8{uint8_t(i), uint8_t(k), 0, 255};
        cel->addRepresentation(UT_SharedPtr<CEL_Representation>(p));
        ASSERT_TRUE(m->write(cel.get(), dir.path(S("f%1.crw").arg(i)), S("crw"), QString()));
    }
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            const CELIO_Manager* mgr = CELIO_Manager::getInstance();
            for (int round = 0; round < 6; ++round)
                for (int n = 0; n < kFiles; ++n) {
                    const int i = (n + t * 5) % kFiles;
                    const QString path = dir.path(S("f%1.crw").arg(i));
                    CELIO_RepresentationList reps;
                    QDateTime when;
                    CELIO_Info info;
                    const bool ok =
                        i % 2 ? mgr->read(path, when, reps) : mgr->read(path, when, CEL_Context(), reps);
                    const auto* p = ok ? dynamic_cast<const CEL_PixmapRGBA8*>(reps.front().get()) : nullptr;
                    if (!p || p->width() != 8 + i || p->pixel(1, 0)->g != 1 || p->data()->r != i) ++failures;
                    if (mgr->loadInfo(path, when, CEL_Context(), info) != CELIO_STATE_OK ||
                        info.height != uint32_t(5 + i) || !mgr->findHandler(S("craw")))
                        ++failures;
                }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
}

// The same through every registered handler that writes: one file per handler,
// read back by several threads at once.
TEST_F(CelioManager, ConcurrentReadsThroughTheRegisteredHandlers) {
    qxCelAddPixmapHandler();
    UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(CEL_Representation::PIXMAP_RGBA8));
    auto* p = new CEL_PixmapRGBA8(37, 21);
    for (int k = 0; k < 37 * 21; ++k) p->data()[k] = CEL_PixelRGBA8{uint8_t(k), uint8_t(k * 3), 90, 255};
    cel->addRepresentation(UT_SharedPtr<CEL_Representation>(p));
    QStringList files;
    for (const CELIO_Handler* h : m->handlers()) {
        const QString ext = h->getWriteExtensions().value(0);
        const QString path = dir.path(S("f%1.%2").arg(files.size()).arg(ext.toLower()));
        QDateTime when;
        CELIO_RepresentationList reps;
        if (!ext.isEmpty() && m->write(cel.get(), path, ext, QString()) && m->read(path, when, reps))
            files << path;
    }
    if (files.isEmpty()) GTEST_SKIP() << "no handler writes yet";
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int n = 0; n < 8 * files.size(); ++n) {
                CELIO_RepresentationList reps;
                QDateTime when;
                CELIO_Info info;
                const QString& path = files[(n + t) % files.size()];
                const bool ok = m->read(path, when, CEL_Context(), reps);
                const auto* pix = ok ? dynamic_cast<const CEL_Pixmap*>(reps.front().get()) : nullptr;
                if (!pix || pix->width() != 37 || pix->height() != 21) ++failures;
                if (m->loadInfo(path, when, CEL_Context(), info) == CELIO_STATE_OK && info.width != 37)
                    ++failures;
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0) << files.join(S(" ")).toStdString();
}
