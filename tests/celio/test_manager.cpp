#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>

#include "CelioTestHandlers.h"
#include "base/BitmapSystem.h"
#include "base/Message.h"
#include "base/Platform.h"
#include "cel/Context.h"
#include "celio/BitmapEngine.h"
#include "celio/LayerInfo.h"
#include "celio/Manager.h"
#include "celio/MemoryFile.h"
#include "support/TestSupport.h"

namespace {

QString S(const char* s) {
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
    // The one record posted, with its text, action and code.
    static void expectOnly(const QXMessage::Capture& c, const QString& text, int action, int code) {
        const auto records = c.records();
        ASSERT_EQ(records.size(), 1u);
        const MSG_Record& r = records[0];
        EXPECT_TRUE(r.source == text && r.action == action && r.code == code) << qPrintable(r.source);
    }
    CELIO_Manager* m = nullptr;
    celtest::TempDir dir;
    QDateTime modified;
    CELIO_RepresentationList list;
    CELIO_Info info;
};

} // namespace

TEST_F(CelioManager, LookupByExactKeyThenCaseInsensitiveWalk) {
    m->addHandler(nullptr);
    EXPECT_TRUE(m->handlers().empty());
    const StubHandler* tga = addStub({S("TGA")}, {S("TGA"), S("TGA4")});
    const StubHandler* psd = addStub({S("PSD"), S("PSB")}, {S("PSD")});
    const StubHandler* psb = addStub({S("PSB")});
    for (const char* e : {"tga", "TGA", "Tga"}) EXPECT_EQ(m->findHandler(S(e)), tga) << e;
    // The later handler owns the table entries of a shared extension; a
    // spelling not in the table goes to the first handler listing it.
    EXPECT_EQ(m->findHandler(S("psb")), psb);
    EXPECT_EQ(m->findHandler(S("Psb")), psd);
    EXPECT_EQ(m->findHandler(S("PNG")), nullptr);

    addStub({S("SGI")}, {S("SGI"), S("SGIDP4")});
    addStub({S("DAT")});
    EXPECT_EQ(m->getExtension(S("sgidp4")), S("sgi"));
    EXPECT_EQ(m->getExtension(S("dat")), S("dat")); // no codes: the extensions stand in
    EXPECT_EQ(m->getExtensions(), (QStringList{S("TGA"), S("PSD"), S("PSB"), S("PSB"), S("SGI"), S("DAT")}));
    EXPECT_EQ(m->getWriteOptionCodes(), (QStringList{S("TGA"), S("TGA4"), S("PSD"), S("SGI"), S("SGIDP4")}));
    CELIO_WriteOptions o;
    EXPECT_TRUE(m->getExtension(S("TGA9")).isNull() && m->getWriteOptionsCode(S("XYZ"), o).isNull());
}

TEST_F(CelioManager, UpperCaseVariantsMissingFilesAndReports) {
    StubHandler* stb = addStub({S("STB")});
    const QString path = dir.path(S("pic.stb")), gone = dir.path(S("gone.stb"));
    ASSERT_TRUE(celtest::writeFile(path, "x"));
    stb->readResult = false;
    {
        QXMessage::Capture c;
        EXPECT_FALSE(m->read(path, modified, CEL_Context(), list));
        EXPECT_EQ(stb->readPaths, (QStringList{path, dir.path(S("pic.STB"))}));
        expectOnly(c, S("unable to read %1").arg(path), 2, 10);
        EXPECT_EQ(modified, QFileInfo(path).lastModified());
    }
    // read tests the name as given; the header query falls back to the variant.
    ASSERT_TRUE(celtest::writeFile(dir.path(S("gone.STB")), "x"));
    QXMessage::Capture c;
    EXPECT_FALSE(m->read(gone, modified, CEL_Context(), list));
    expectOnly(c, S("file does not exists (%1)").arg(gone), 5, 0);
    EXPECT_EQ(m->loadInfo(gone, modified, CEL_Context(), info), CELIO_STATE_OK);
    EXPECT_EQ(modified, QFileInfo(dir.path(S("gone.STB"))).lastModified());
    EXPECT_EQ(m->loadInfo(dir.path(S("none.stb")), modified, CEL_Context(), info), CELIO_STATE_FAILED);
    EXPECT_EQ(m->loadInfo(dir.path(S("pic.none")), modified, CEL_Context(), info), CELIO_STATE_UNSUPPORTED);
    CELIO_LayerInfo layers;
    EXPECT_EQ(m->loadLayerInfo(path, modified, layers), CELIO_STATE_UNSUPPORTED);

    // Without a dot the whole name is both the base and the extension.
    StubHandler* named = addStub({S("PLAIN")});
    const QString cwd = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir.root()));
    ASSERT_TRUE(celtest::writeFile(S("plain.PLAIN"), "x"));
    const CELIO_State state = m->loadInfo(S("plain"), modified, CEL_Context(), info);
    ASSERT_TRUE(celtest::writeFile(S("plain"), "x"));
    named->readResult = false;
    const bool ok = m->read(S("plain"), modified, CEL_Context(), list);
    QDir::setCurrent(cwd);
    EXPECT_EQ(state, CELIO_STATE_OK);
    EXPECT_FALSE(ok);
    EXPECT_EQ(named->readPaths, (QStringList{S("plain"), S("plain.PLAIN")}));
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
    EXPECT_EQ(m->loadInfo(path, modified, CEL_Context(), info), CELIO_STATE_FAILED);

    WHO_Identity::setInteractive(false);
    const QString hint = S("stb"), unknown = S("png");
    QXMessage::Capture c;
    const bool read = m->read(S("-"), modified, CEL_Context(), list, &hint) ||
                      m->read(S("-"), modified, CEL_Context(), list, &unknown);
    WHO_Identity::setInteractive(true);
    EXPECT_FALSE(read);
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
    EXPECT_EQ(stb->lastCode, S("STB")); // the main extension, not the first code
    EXPECT_TRUE(m->read(path, modified, CEL_Context(), list, nullptr, &text));
    EXPECT_EQ(text, S("Stage 3"));
    EXPECT_FALSE(m->write(nullptr, path, S("png"), QString()));
}

TEST_F(CelioManager, OwnsTheBitmapEngineAndTheHandlers) {
    EXPECT_TRUE(dynamic_cast<CELIO_BitmapEngine*>(BM_System::engine()));
    qxCelAddPixmapHandler();
    const size_t registered = m->handlers().size();
    qxCelAddPixmapHandler(); // a second call adds nothing
    EXPECT_EQ(m->handlers().size(), registered);
    deleteCELIO_ManagerInstance();
    EXPECT_EQ(BM_System::engine(), nullptr);
}

TEST(CelioStreamHandler, ReadsRemappedFilesAndAddsNothingOnFailure) {
    celtest::TempDir dir;
    const TestRawHandler h;
    const CEL_Context context;
    CELIO_RepresentationList list;
    ASSERT_TRUE(
        celtest::writeFile(dir.path(QStringLiteral("real.crw")), QByteArray("CRW1\2\0\1\0\1\x2a\x07", 11)));
    oswRemapPath::setRemapFunction([&](const QString& p) {
        return p.endsWith(QLatin1String("alias.crw")) ? dir.path(QStringLiteral("real.crw")) : p;
    });
    const bool ok = h.read(QStringLiteral("/nowhere/alias.crw"), context, list);
    oswRemapPath::setRemapFunction({});
    ASSERT_TRUE(ok && list.size() == 1u);
    EXPECT_EQ(dynamic_cast<const CEL_PixmapMatte8&>(*list.front()).data()[1], 0x07);

    EXPECT_FALSE(h.read(dir.path(QStringLiteral("missing.crw")), context, list));
    EXPECT_EQ(list.size(), 1u);
}

// Files held in memory: a stream handler decodes the bytes in place; a handler
// that reads only paths gets a temporary file with the bytes, named with the
// extension, gone with the memory file; failures are reported by name.
TEST_F(CelioManager, MemoryFilesInPlaceOrThroughATemporaryFile) {
    m->addHandler(new TestRawHandler);
    StubHandler* stub = addStub({S("STB")});
    const QByteArray raw("CRW1\2\0\1\0\1\x2a\x07", 11);
    {
        const CELIO_MemoryFile file(raw.constData(), size_t(raw.size()), S("in/shot.crw"));
        EXPECT_EQ(file.extension(), S("CRW"));
        ASSERT_TRUE(m->read(file, CEL_Context(), list));
        EXPECT_EQ(dynamic_cast<const CEL_PixmapMatte8*>(list.front().get())->data()[1], 0x07);
    }
    QString temporary;
    {
        const CELIO_MemoryFile file(raw.constData(), size_t(raw.size()), S("x.stb"));
        ASSERT_TRUE(m->read(file, CEL_Context(), list) && stub->readPaths.size() == 1);
        temporary = stub->readPaths.front();
        EXPECT_TRUE(temporary.endsWith(S(".stb")) && celtest::readFile(temporary) == raw);
        EXPECT_EQ(m->loadInfo(file, CEL_Context(), info), CELIO_STATE_OK);
        EXPECT_EQ(stub->readPaths.size(), 1); // one temporary file serves every call
    }
    EXPECT_FALSE(QFileInfo::exists(temporary));

    QXMessage::Capture capture;
    const CELIO_MemoryFile cut(raw.constData(), 5, S("cut.crw"));
    EXPECT_FALSE(m->read(cut, CEL_Context(), list));
    expectOnly(capture, S("unable to read cut.crw"), 2, 10);
    capture.clear();
    stub->throws = true;
    const CELIO_MemoryFile thrown(raw.constData(), size_t(raw.size()), S("t.stb"));
    EXPECT_FALSE(m->read(thrown, CEL_Context(), list));
    expectOnly(capture, S("Could not complete reading from file: t.stb\n"), 2, 10);
    EXPECT_EQ(m->loadInfo(thrown, CEL_Context(), info), CELIO_STATE_FAILED);
    const CELIO_MemoryFile unknown(raw.constData(), size_t(raw.size()), S("x.none"));
    EXPECT_FALSE(m->read(unknown, CEL_Context(), list));
    EXPECT_EQ(m->loadInfo(unknown, CEL_Context(), info), CELIO_STATE_UNSUPPORTED);
}
