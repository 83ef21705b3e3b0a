// Text measured and outlined through Qt's fonts (Debian 12's DejaVu 2.37).
#include <gtest/gtest.h>

#include "algo/filters/TextOverlay.h"
#include "base/VectorText.h"

namespace {

double advance(GR_TextAccess& access, uint32_t style, uint32_t size, const QString& text,
               double* height = nullptr) {
    GR_TextLayer layer = access.CreateTextLayer(GR_TextLayerProperties{style, size, 0xFFFFFFFFLL});
    EXPECT_TRUE(access.InsertText(layer, text));
    double w = -1, h = -1;
    EXPECT_TRUE(access.GetPlainBox(layer, w, h)) << qPrintable(access.lastError());
    if (height) *height = h;
    return w;
}

} // namespace

// A missing family is refused naming the package that has it.
TEST(QtText, DejaVuSansAdvancesTheAutomaticSizeOfATimeCodeAndAMissingFamily) {
    GR_TextAccess access;
    ASSERT_TRUE(access.checkFont(0)) << qPrintable(access.lastError());
    double h = 0;
    EXPECT_DOUBLE_EQ(advance(access, 0, 100, "00:01:23:12", &h), 609.9375);
    EXPECT_NEAR(h, 116.40625, 1e-9); // ascent + descent
    CelAlgo::TextProperties p;
    p.text = p.sample = "00:01:23:12";
    CelAlgo::calculateTextSize(access, &p, 0, 40, 1.0, 16.0 / 9.0);
    EXPECT_EQ(p.size, 245u);
    EXPECT_DOUBLE_EQ(advance(access, 0, 0, ""), 0.0);
    QString error;
    EXPECT_FALSE(GR_TextAccess::checkFamily("No Such Family 5c1e", false, error));
    EXPECT_TRUE(error.contains("fonts-dejavu-core")) << qPrintable(error);
    EXPECT_TRUE(GR_TextAccess::checkFamily("DejaVu Serif", true, error)) << qPrintable(error);
}

TEST(QtText, AdvancesScaleWithTheSizeAndDigitsShareOneWidth) {
    GR_TextAccess access;
    const QString line = "SHOT 010  00:01:23:12";
    for (uint32_t style = 0; style < 6; ++style) {
        SCOPED_TRACE(style);
        ASSERT_TRUE(access.checkFont(style)) << qPrintable(access.lastError());
        const double w100 = advance(access, style, 100, line);
        // Beyond the largest size Qt is asked for, the geometry is scaled.
        for (uint32_t size : {37u, 1000u, 4096u, 20000u})
            EXPECT_NEAR(advance(access, style, size, line) / size, w100 / 100, w100 / 100 * 1e-3) << size;
        // Digits share one width, so a running time code does not jitter.
        for (char d = '1'; d <= '9'; ++d)
            EXPECT_DOUBLE_EQ(advance(access, style, 245, QString(QChar(d))),
                             advance(access, style, 245, "0"));
    }
    EXPECT_GT(advance(access, 1, 100, "Bold"), advance(access, 0, 100, "Bold"));
}

TEST(QtText, OutlinesSitInThePlainBoxAtTheLayersPlace) {
    GR_CompositeVectorDrawingObj drawing;
    GR_TextAccess access(&drawing);
    GR_TextLayer layer = access.CreateTextLayer(GR_TextLayerProperties{0, 245, 0xFF00FF00LL}, true);
    double w = 0, h = 0;
    ASSERT_TRUE(access.InsertText(layer, "Hg 01") && access.GetPlainBox(layer, w, h) &&
                access.TranslateLayer(layer, -100, 50));
    ASSERT_EQ(drawing.layers().size(), 1u);
    const Math::Box2d ink = drawing.GetVisibleWorldBBox();
    // Ink inside the box: H's stem starts a little right of the origin, g's
    // descender goes most of the way down to the box's bottom.
    EXPECT_TRUE(ink.x1() > -100 && ink.x1() < -100 + 0.1 * 245 && ink.x2() < -100 + w)
        << ink.x1() << ' ' << ink.x2();
    EXPECT_TRUE(ink.y1() >= 50 - 1e-3 && ink.y1() < 50 + 0.2 * 245) << ink.y1();
    EXPECT_TRUE(ink.y2() <= 50 + h && ink.y2() > 50 + 0.64 * h) << ink.y2();
    EXPECT_EQ(drawing.layers()[0].shapes[0].fill.color, (CM_ColorRGBA8{0, 0xFF, 0, 0xFF}));

    // New properties make the outlines again, at the same place.
    ASSERT_TRUE(access.ApplyProperties(layer, GR_TextLayerProperties{0, 490, 0xFF00FF00LL}));
    const Math::Box2d bigger = drawing.GetVisibleWorldBBox();
    EXPECT_NEAR(bigger.x2() - bigger.x1(), 2 * (ink.x2() - ink.x1()), 1.0);
    EXPECT_NEAR(bigger.y1(), 50 + 2 * (ink.y1() - 50), 1.0);
    access.RemoveText(layer);
    EXPECT_TRUE(drawing.layers().empty());
}
