#include <gtest/gtest.h>

#include "CelioTestHandlers.h"
#include "support/TestSupport.h"
#include "base/Platform.h"
#include "cel/Context.h"
#include "celio/LayerInfo.h"

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
    const CELIO_Info info;
    EXPECT_TRUE(info.optionCode.isNull());
    EXPECT_TRUE(info.description.isNull());

    EXPECT_NE(CELIO_PixmapFormat, CELIO_VectorFormat);
    EXPECT_NE(CELIO_PixmapFormat, CELIO_3dFormat);
    EXPECT_NE(CELIO_VectorFormat, CELIO_3dFormat);
}

TEST(CelioStreamHandler, ReadsAFileAndLeavesTheListAloneOnFailure) {
    celtest::TempDir dir;
    const TestRawHandler h;
    UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(CEL_Representation::PIXMAP_RGBA8));
    auto* src = new CEL_PixmapRGBA8(3, 2);
    for (int i = 0; i < 6; ++i) src->data()[i] = CEL_PixelRGBA8{uint8_t(i), uint8_t(10 * i), 7, 255};
    cel->addRepresentation(UT_SharedPtr<CEL_Representation>(src));
    ASSERT_TRUE(h.write(cel.get(), dir.path(QStringLiteral("a.crw")), QStringLiteral("CRW4")));

    CELIO_RepresentationList list;
    const CEL_Context context;
    ASSERT_TRUE(h.read(dir.path(QStringLiteral("a.crw")), context, list));
    ASSERT_EQ(list.size(), 1u);
    const auto* back = dynamic_cast<const CEL_PixmapRGBA8*>(list.front().get());
    ASSERT_TRUE(back);
    EXPECT_EQ(std::memcmp(back->data(), src->data(), 6 * sizeof(CEL_PixelRGBA8)), 0);

    // A missing file, and a file the decoder refuses, add nothing.
    EXPECT_FALSE(h.read(dir.path(QStringLiteral("missing.crw")), context, list));
    ASSERT_TRUE(celtest::writeFile(dir.path(QStringLiteral("bad.crw")), "not a raw file"));
    EXPECT_FALSE(h.read(dir.path(QStringLiteral("bad.crw")), context, list));
    EXPECT_EQ(list.size(), 1u);
}

TEST(CelioStreamHandler, RemapsThePathBeforeOpeningIt) {
    celtest::TempDir dir;
    ASSERT_TRUE(
        celtest::writeFile(dir.path(QStringLiteral("real.crw")), QByteArray("CRW1\1\0\1\0\1\x2a", 10)));
    oswRemapPath::setRemapFunction([&](const QString& p) {
        return p.endsWith(QLatin1String("alias.crw")) ? dir.path(QStringLiteral("real.crw")) : p;
    });
    CELIO_RepresentationList list;
    const bool ok = TestRawHandler().read(QStringLiteral("/nowhere/alias.crw"), CEL_Context(), list);
    oswRemapPath::setRemapFunction({});
    ASSERT_TRUE(ok);
    EXPECT_EQ(*static_cast<const CEL_PixmapMatte8*>(list.front().get())->data(), 0x2a);
}
