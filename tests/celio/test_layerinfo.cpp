#include <gtest/gtest.h>

#include "CelioTestHandlers.h"
#include "support/TestSupport.h"
#include "celio/LayerInfo.h"

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

} // namespace

TEST(CelioLayerInfo, IteratorWalksDepthFirstAndSkipsEmptyGroups) {
    CELIO_LayerInfo empty;
    EXPECT_TRUE(CELIO_LayerInfo::Iterator(empty).end());
    empty.getBaseGroup().groups = {group({}, {group({}), group({})}), group({})};
    EXPECT_TRUE(CELIO_LayerInfo::Iterator(empty).end());

    CELIO_LayerInfo onlySub;
    onlySub.getBaseGroup().groups = {group({layer("a"), layer("b")})};
    EXPECT_EQ(walk(onlySub), (QStringList{"a", "b"}));

    CELIO_LayerInfo tree;
    tree.getBaseGroup() =
        group({layer("1"), layer("2")},
              {group({}, {group({}), group({layer("3")}, {group({layer("4")})})}), group({}),
               group({layer("5"), layer("6")}, {group({}, {group({layer("7")})})})});
    EXPECT_EQ(walk(tree), (QStringList{"1", "2", "3", "4", "5", "6", "7"}));

    CELIO_LayerInfo::Iterator it(tree), other(tree);
    ++it;
    EXPECT_NE(it, other);
    ++other;
    EXPECT_EQ(it, other);
    it.reset();
    EXPECT_EQ(it->name, QStringLiteral("1"));
    while (!it.end()) ++it;
    ++it; // stays at the end
    EXPECT_TRUE(it.end());
}

TEST(CelioLayerInfo, CountsNamesAndPaths) {
    CELIO_LayerInfo info;
    info.getBaseGroup() = group({layer("N"), layer("N", false)}, {group({layer("x", false)})});
    info.update();
    EXPECT_EQ(info.getLayerCount(), 3);
    EXPECT_EQ(info.getVisibleLayerCount(), 1);
    info.update(); // counts are not reset
    EXPECT_EQ(info.getLayerCount(), 6);
    EXPECT_EQ(info.getVisibleLayerCount(), 2);

    CELIO_Layer first = layer("N"), second = layer("N");
    first.occurrence = 1;
    second.occurrence = 2;
    EXPECT_EQ(first.getDisplayName(), QStringLiteral("N"));
    EXPECT_EQ(second.getDisplayName(), QStringLiteral("N#2"));
    CELIO_LayerGroup g(7);
    g.name = QStringLiteral("G");
    g.occurrence = 3;
    EXPECT_EQ(g.id, 7);
    EXPECT_EQ(g.getDisplayName(), QStringLiteral("G#3"));

    CELIO_Layer art = layer("Line Art");
    EXPECT_EQ(art.path(":"), QStringLiteral("Line_Art"));
    art.groupPath = QStringList{QStringLiteral("Char A")};
    EXPECT_EQ(art.path(":"), QStringLiteral("Char_A:Line_Art"));
    art.groupPath << QStringLiteral("Sub");
    art.occurrence = 2;
    EXPECT_EQ(art.path("/"), QStringLiteral("Char_A/Sub/Line_Art#2"));
}

namespace {

UT_SharedPtr<CEL_Cel> rowCel(int w, int h, int16_t base) {
    auto* p = new CEL_PixmapRGBA16(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            *p->pixel(x, y) = CEL_PixelRGBA16{int16_t(base + y), int16_t(x), 0, 32767};
    UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(CEL_Representation::PIXMAP_RGBA16));
    cel->addRepresentation(UT_SharedPtr<CEL_Representation>(p));
    return cel;
}

} // namespace

TEST(CelioLayerInfo, WriteCombinedInterleavesRows) {
    celtest::TempDir dir;
    const TestRawHandler h;
    const QString path = dir.path(QStringLiteral("c.crw"));
    auto first = rowCel(4, 3, 1000), second = rowCel(4, 3, 2000);
    for (bool swap : {false, true}) {
        ASSERT_TRUE(h.writeCombined(first.get(), second.get(), path, QStringLiteral("CRW4"), swap));
        // The handler received one 16-bit cel: check every pixel there.
        const auto out = UT_dynamicCast<CEL_PixmapRGBA16>(
            h.lastCel->findRepresentation(CEL_Representation::PIXMAP_RGBA16));
        ASSERT_TRUE(out);
        ASSERT_EQ(out->width(), 4);
        ASSERT_EQ(out->height(), 3);
        const int even = swap ? 2000 : 1000, odd = swap ? 1000 : 2000;
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 4; ++x) {
                const CEL_PixelRGBA16 p = *out->pixel(x, y);
                EXPECT_TRUE(p.r == (y % 2 ? odd : even) + y && p.g == x && p.a == 32767) << x << "," << y;
            }
        EXPECT_EQ(h.lastCode, QStringLiteral("CRW4"));
    }
    ASSERT_TRUE(celtest::writeFile(path, ""));
    auto other = rowCel(4, 2, 0);
    EXPECT_FALSE(h.writeCombined(first.get(), other.get(), path, QStringLiteral("CRW4"), false));
    EXPECT_TRUE(celtest::readFile(path).isEmpty());
    UT_SharedPtr<CEL_Cel> empty(new CEL_Cel(CEL_Representation::NONE));
    EXPECT_FALSE(h.writeCombined(first.get(), empty.get(), path, QStringLiteral("CRW4"), false));
}

TEST(CelioLayerInfo, WriteWithLayersWritesTheComposite) {
    celtest::TempDir dir;
    const TestRawHandler h;
    CELIO_LayerInfo info;
    info.getBaseGroup().layers = {layer("ignored")};
    EXPECT_FALSE(h.writeWithLayers(info, dir.path(QStringLiteral("l.crw")), QStringLiteral("CRW1")));
    auto* matte = new CEL_PixmapMatte8(2, 2);
    matte->data()[3] = 99;
    info.getComposite().representation = UT_SharedPtr<CEL_Representation>(matte);
    ASSERT_TRUE(h.writeWithLayers(info, dir.path(QStringLiteral("l.crw")), QStringLiteral("CRW1")));
    EXPECT_EQ(h.lastWritten.get(), matte);
    EXPECT_EQ(celtest::readFile(dir.path(QStringLiteral("l.crw"))).right(4), QByteArray("\0\0\0c", 4));
}
