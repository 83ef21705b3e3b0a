#include <gtest/gtest.h>

#include "CelioTestHandlers.h"
#include "base/Platform.h"
#include "cel/Context.h"
#include "celio/LayerInfo.h"
#include "support/TestSupport.h"

TEST(CelioHandler, DefaultsOfAHandlerThatOverridesOnlyThePureOperations) {
    const StubHandler h({QStringLiteral("STB"), QStringLiteral("STUB")});
    CELIO_LayerInfo layers;
    CELIO_RepresentationList list;
    EXPECT_EQ(h.readLayerInfo(QStringLiteral("x.stb"), layers), CELIO_STATE_UNSUPPORTED);
    EXPECT_FALSE(h.convert(nullptr, CELIO_ConvertOptions(0, QString(), QStringLiteral("STB")), list));
    EXPECT_EQ(h.getFileHeaderSize(), -1);
    EXPECT_FALSE(h.canWriteMultiLayer());
    EXPECT_EQ(h.getWriteExtensions(), h.getExtensions());
    CELIO_WriteOptions o;
    h.getWriteOptions(o);
    EXPECT_FALSE(o.singleChannel || o.alpha || o.deepPixels || o.compressed);
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
    ASSERT_TRUE(ok);
    ASSERT_EQ(list.size(), 1u);
    const auto* matte = dynamic_cast<const CEL_PixmapMatte8*>(list.front().get());
    ASSERT_TRUE(matte);
    EXPECT_EQ(matte->data()[1], 0x07);

    EXPECT_FALSE(h.read(dir.path(QStringLiteral("missing.crw")), context, list));
    ASSERT_TRUE(
        celtest::writeFile(dir.path(QStringLiteral("short.crw")), QByteArray("CRW1\2\0\1\0\1\x2a", 10)));
    EXPECT_FALSE(h.read(dir.path(QStringLiteral("short.crw")), context, list));
    EXPECT_EQ(list.size(), 1u);
}
