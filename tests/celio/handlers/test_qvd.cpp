// The vector drawing handlers: registration, what they read and write.
#include <QDateTime>
#include <QFile>
#include <gtest/gtest.h>

#include "HandlerTestUtil.h"
#include "cel/Context.h"
#include "cel/VectorQvd.h"
#include "celio/ByteTestSupport.h"
#include "celio/Manager.h"
#include "celio/handlers/QvdHandler.h"
#include "support/TestSupport.h"
#include "support/VectorTestUtil.h"

namespace {

using R = CEL_Representation;

CEL_Context withPalettes(CM_PaletteList* list) {
    return CEL_Context(false, false, false, list, 0, QString(), 1.0);
}

} // namespace

TEST(QvdHandler, RegistrationFollowsTheOptimisedVectorFeature) {
    deleteCELIO_ManagerInstance();
    ST_Features::setOptimizedVector(false);
    qxCelAddQvdHandler();
    const CELIO_Manager* manager = CELIO_Manager::getInstance();
    EXPECT_NE(manager->findHandler(QStringLiteral("qvx")), nullptr);
    EXPECT_EQ(manager->findHandler(QStringLiteral("QVXO")), nullptr) << "QVXO files find no handler";
    ST_Features::setOptimizedVector(true);
    qxCelAddQvdHandler();
    qxCelAddQvdHandler();
    ASSERT_EQ(manager->handlers().size(), 2u) << "each handler once, QVX first";
    const CELIO_Handler* qvx = manager->handlers()[0];
    EXPECT_EQ(qvx->getExtensions(), QStringList{QStringLiteral("QVX")});
    EXPECT_EQ(manager->handlers()[1]->getWriteOptionCodes(), QStringList{QStringLiteral("QVXO")});
    CELIO_Info info;
    EXPECT_EQ(qvx->readInfo(QStringLiteral("any.qvx"), CEL_Context(), info), CELIO_STATE_UNSUPPORTED);
    deleteCELIO_ManagerInstance();
    qxCelAddPixmapHandler();
}

TEST(QvdHandler, ReadAndWriteThroughTheManager) {
    qxCelAddQvdHandler();
    const CELIO_Manager* manager = CELIO_Manager::getInstance();
    celtest::TempDir dir;
    auto* drawing = new CELVEC_Qvd;
    vectortest::busyDrawing(*drawing->getDrawingObject(), 3, 4, 8);
    UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(R::VECTOR));
    cel->addRepresentation(UT_SharedPtr<R>(drawing));

    const QString qvx = dir.path("a.qvx"), qvxo = dir.path("a.qvxo");
    ASSERT_TRUE(manager->write(cel.get(), qvx, QStringLiteral("QVX"), QString()));
    EXPECT_FALSE(manager->write(cel.get(), qvxo, QStringLiteral("QVXO"), QString()))
        << "no optimised drawing held";
    EXPECT_FALSE(QFile::exists(qvxo));

    CM_SharedPtr<CM_PaletteList> palettes(new CM_PaletteList);
    QDateTime modified;
    CELIO_RepresentationList list;
    ASSERT_TRUE(manager->read(qvx, modified, withPalettes(palettes.get()), list));
    const auto* back = dynamic_cast<const CELVEC_Qvd*>(list.front().get());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->getDrawingColors(), palettes.get());
    const QByteArray stored = drawing->getDrawingObject()->StoreToBytes(0); // back as it was stored
    EXPECT_TRUE(celtest::readFile(qvx) == stored && back->getDrawingObject()->StoreToBytes(0) == stored);
    list.clear();
    EXPECT_FALSE(manager->read(qvx, modified, withPalettes(nullptr), list)) << "interactive: no palette list";

    list.clear();
    const QString renamed = dir.path("b.qvxo");
    ASSERT_TRUE(QFile::copy(qvx, renamed));
    EXPECT_FALSE(manager->read(renamed, modified, CEL_Context(), list)) << "a QVX file is not QVXO";
}
