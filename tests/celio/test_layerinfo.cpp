#include <gtest/gtest.h>

#include "CelioTestHandlers.h"
#include "celio/LayerInfo.h"
#include "celio/handlers/HandlerTestUtil.h"
#include "support/TestSupport.h"

namespace {

CELIO_Layer layer(const char* name, bool visible = true) {
    CELIO_Layer l;
    l.name = QString::fromUtf8(name);
    l.visible = visible;
    return l;
}

CELIO_LayerGroup group(std::initializer_list<CELIO_Layer> layers,
                       std::initializer_list<CELIO_LayerGroup> groups = {}) {
    CELIO_LayerGroup g;
    g.layers = layers;
    g.groups = groups;
    return g;
}

QStringList walk(CELIO_LayerInfo& info) {
    QStringList names;
    for (CELIO_LayerInfo::Iterator it(info); !it.end(); ++it) names << it->name;
    return names;
}

UT_SharedPtr<CEL_Cel> rowCel(int w, int h, int16_t base) {
    auto* p = new CEL_PixmapRGBA16(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            *p->pixel(x, y) = CEL_PixelRGBA16{int16_t(base + y), int16_t(x), 0, 32767};
    return celtest::celOf(p);
}

} // namespace

TEST(CelioLayerInfo, IteratorCountsNamesAndPaths) {
    CELIO_LayerInfo tree;
    tree.getBaseGroup() =
        group({layer("1"), layer("2")},
              {group({}, {group({}), group({layer("3")}, {group({layer("4")})})}), group({}),
               group({layer("5"), layer("6")}, {group({}, {group({layer("7")})})})});
    EXPECT_EQ(walk(tree), (QStringList{"1", "2", "3", "4", "5", "6", "7"}));
    CELIO_LayerInfo empty; // only empty groups: the walk ends at once
    empty.getBaseGroup().groups = {group({}, {group({}), group({})}), group({})};
    EXPECT_TRUE(CELIO_LayerInfo::Iterator(empty).end());

    CELIO_LayerInfo info;
    info.getBaseGroup() = group({layer("N"), layer("N", false)}, {group({layer("x", false)})});
    info.update();
    EXPECT_TRUE(info.getLayerCount() == 3 && info.getVisibleLayerCount() == 1);
    info.update(); // counts are not reset
    EXPECT_TRUE(info.getLayerCount() == 6 && info.getVisibleLayerCount() == 2);

    CELIO_Layer art = layer("Line Art");
    art.occurrence = 1;
    EXPECT_EQ(art.path(":"), QStringLiteral("Line_Art"));
    art.groupPath = QStringList{QStringLiteral("Char A"), QStringLiteral("Sub")};
    art.occurrence = 2;
    EXPECT_EQ(art.path("/"), QStringLiteral("Char_A/Sub/Line_Art#2"));
}

TEST(CelioLayerInfo, WriteCombinedInterleavesRowsAndWriteWithLayersTheComposite) {
    celtest::TempDir dir;
    const TestRawHandler h;
    const QString path = dir.path(QStringLiteral("c.crw"));
    auto first = rowCel(4, 3, 1000), second = rowCel(4, 3, 2000);
    for (bool swap : {false, true}) {
        ASSERT_TRUE(h.writeCombined(first.get(), second.get(), path, QStringLiteral("CRW"), swap));
        const auto out = UT_dynamicCast<CEL_PixmapRGBA16>(
            h.lastCel->findRepresentation(CEL_Representation::PIXMAP_RGBA16));
        ASSERT_TRUE(out && out->size() == Math::Size2di(4, 3));
        const int even = swap ? 2000 : 1000, odd = swap ? 1000 : 2000;
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 4; ++x) {
                const CEL_PixelRGBA16 p = *out->pixel(x, y);
                EXPECT_TRUE(p.r == (y % 2 ? odd : even) + y && p.g == x && p.a == 32767) << x << "," << y;
            }
    }
    h.lastCel.reset();
    auto smaller = rowCel(4, 2, 0);
    UT_SharedPtr<CEL_Cel> empty(new CEL_Cel(CEL_Representation::NONE));
    EXPECT_FALSE(h.writeCombined(first.get(), smaller.get(), path, QStringLiteral("CRW"), false));
    EXPECT_FALSE(h.writeCombined(first.get(), empty.get(), path, QStringLiteral("CRW"), false));
    EXPECT_FALSE(h.lastCel); // nothing reached write()

    CELIO_LayerInfo info;
    EXPECT_FALSE(h.writeWithLayers(info, dir.path(QStringLiteral("l.crw")), QStringLiteral("CRW1")));
    auto* matte = new CEL_PixmapMatte8(2, 2);
    matte->data()[3] = 99;
    info.getComposite().representation = UT_SharedPtr<CEL_Representation>(matte);
    ASSERT_TRUE(h.writeWithLayers(info, dir.path(QStringLiteral("l.crw")), QStringLiteral("CRW1")));
    EXPECT_EQ(celtest::readFile(dir.path(QStringLiteral("l.crw"))).right(4), QByteArray("\0\0\0c", 4));
}
