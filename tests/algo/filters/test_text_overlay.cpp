// Layout of text overlays, with a measurer of fixed advance per character so
// every figure can be worked out by hand.
#include <gtest/gtest.h>

#include "algo/composite/AlgoException.h"
#include "algo/filters/TextOverlay.h"
#include "base/VectorText.h"

using namespace CelAlgo;

namespace {

// Every character advances `advance100` at size 100; the box is 1.2 em tall.
// Outlines are the plain box itself, so the drawing shows where text went.
class FixedAdvanceText : public GR_TextAccess {
public:
    explicit FixedAdvanceText(GR_CompositeVectorDrawingObj* d = nullptr, double advance100 = 60.0)
        : GR_TextAccess(d), m_advance100(advance100) {}
    int measured = 0;

protected:
    bool measure(const GR_TextLayerProperties& p, const QString& text, double& w, double& h,
                 QString&) override {
        ++measured;
        w = text.size() * m_advance100 * p.size / 100.0;
        h = 1.2 * p.size;
        return true;
    }
    bool outline(const GR_TextLayerProperties& p, const QString& text, GR_Path& path, QString& e) override {
        double w = 0, h = 0;
        measure(p, text, w, h, e);
        path.moveTo(0, 0);
        for (const auto& [x, y] : {std::pair{w, 0.0}, {w, h}, {0.0, h}}) path.lineTo(float(x), float(y));
        path.close();
        return true;
    }

private:
    double m_advance100;
};

TextProperties props(const QString& text, const QString& sample) {
    TextProperties p;
    p.text = text;
    p.sample = sample;
    return p;
}

TEST(TextOverlayLayout, SizesAreLeftToRightInDoublesAndFitTheWindow) {
    // 3750 * 40 / 100 = 1500, times 100 / 609.9375, halved: 122.9... An integer
    // percent / 100 would make it 0.
    EXPECT_EQ(automaticTextSize(609.9375, 40, 0.5), 122u);
    EXPECT_EQ(automaticTextSize(1e-30, 40, 1.0), 0xFFFFFFFEu); // never "not computed"
    EXPECT_EQ(automaticTextSize(600.0, 40, -1.0), 1u);
    EXPECT_EQ(automaticTextSize(600.0, 40, std::nan("")), 1u);

    const float saved = referenceTextWidth();
    setReferenceTextWidth(10000.0f);
    EXPECT_EQ(automaticTextSize(1500.0, 100, 1.0), 500u);
    setReferenceTextWidth(saved);
    EXPECT_EQ(referenceTextWidth(), 5000.0f);
    // The window and offset rules are pinned end to end by the alignment table below;
    // an alignment out of range is the right one.
    EXPECT_DOUBLE_EQ(calculateOffsetX(200, 7, 1000), 800.0);

    // The automatic size makes the text 0.75 * 5000 * percent / 100 wide (give or take
    // the truncation), against a window 3000 * aspect wide.
    FixedAdvanceText text;
    EXPECT_TRUE(isTextWidthWithinWindow(text, "0123456789", 0, 80, 1.0, 1.0));
    EXPECT_FALSE(isTextWidthWithinWindow(text, "0123456789", 0, 81, 1.0, 1.0));
    EXPECT_TRUE(isTextWidthWithinWindow(text, "0123456789", 0, 81, 1.0, 4.0 / 3.0));

    // calculateTextSize measures the sample and leaves y.
    FixedAdvanceText timeCode(nullptr, 609.9375 / 11);
    TextProperties p = props("SHOT 010 00:01:23:12", "00:00:00:00");
    p.y = 77.0;
    calculateTextSize(timeCode, &p, 1, 40, 1.0, 16.0 / 9.0);
    EXPECT_EQ(p.size, 245u);
    EXPECT_NEAR(p.width, 609.9375 * 2.45, 1e-9); // the sample's width at 245
    EXPECT_NEAR(p.x, 1500.0 * 16 / 9 - p.width, 1e-9);
    EXPECT_EQ(p.y, 77.0);

    // A requested size is taken as it is, and the box measured at it.
    TextProperties r = props("AB", "ABCD");
    r.requestedSize = 50;
    calculateTextSize(timeCode, &r, 0, 40, 1.0, 1.0);
    EXPECT_EQ(r.size, 50u);
    EXPECT_NEAR(r.width, 4 * 609.9375 / 11 / 2, 1e-9);

    // An empty sample sizes at 100 with an empty box.
    TextProperties e = props("AB", "");
    calculateTextSize(timeCode, &e, -1, 40, 1.0, 1.0);
    EXPECT_EQ(e.size, 100u);
    EXPECT_EQ(e.x, -1500.0);

    EXPECT_THROW(calculateTextSize(timeCode, nullptr, 0, 40, 1, 1), AlgoException);
}

void boxOf(const GR_Layer& layer, Math::Box2d& out) {
    ASSERT_EQ(layer.shapes.size(), 1u);
    double x1, y1, x2, y2;
    ASSERT_TRUE(layer.shapes[0].path.controlBox(x1, y1, x2, y2));
    out = Math::Box2d(x1, y1, x2, y2);
}

TEST(TextOverlayLayout, WriteTextPlacesTextAndBoxForEveryAlignment) {
    struct Row {
        int vAlign, hAlign;
        int16_t above, below;
        double x, y; // expected lower-left corner (advance 60 per char at 100, 1.2 em tall)
    };
    // Sample "0000" at 100 is 240 wide: size = 3750 * 0.4 * 100 / 240 = 625;
    // the box at 625 is 1500 x 750. Window 1500 half height, 2000 half width (4:3).
    const Row rows[] = {
        {-1, -1, 0, 0, -2000, -1500}, {-1, 0, 0, 0, -750, -1500}, {-1, 1, 0, 0, 500, -1500},
        {1, -1, 0, 0, -2000, 750},    {0, 0, 0, 0, -750, 750},    {1, 1, 0, 0, 500, 750},
        {-1, 0, 0, 2, -750, 0},       {1, 0, 1, 0, -750, 0},      {1, 0, -1, 0, -750, 1500},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << "v " << r.vAlign << " h " << r.hAlign << " above " << r.above
                                        << " below " << r.below);
        GR_CompositeVectorDrawingObj drawing;
        GR_DrawingAccess access(drawing);
        access.CreateLayer(GR_ColorArtLayer); // art already there stays first
        FixedAdvanceText text(&drawing);
        TextProperties p = props("12345", "0000");
        p.backgroundBox = true;
        p.linesAbove = r.above;
        p.linesBelow = r.below;
        writeText(access, text, &p, 0xFF112233LL, 0x80000000LL, r.vAlign, r.hAlign, 40, 1.0, 4.0 / 3.0);
        EXPECT_EQ(p.size, 625u);
        EXPECT_DOUBLE_EQ(p.x, r.x);
        EXPECT_DOUBLE_EQ(p.y, r.y);

        // Art, then the box, then the text: the box is drawn behind the text.
        ASSERT_EQ(access.LayerCount(), 3);
        EXPECT_EQ(access.Layer(0)->type, uint32_t(GR_ColorArtLayer));
        EXPECT_EQ(access.Layer(1)->type, 1000u);
        EXPECT_EQ(access.Layer(2)->type, GR_TextAccess::kTextLayerType);
        Math::Box2d t, b;
        boxOf(*access.Layer(2), t);
        boxOf(*access.Layer(1), b);
        // The text is its own 5 characters (1875 wide at 625), from the layout's corner.
        EXPECT_NEAR(t.x1(), r.x, 1e-3);
        EXPECT_NEAR(t.y1(), r.y, 1e-3);
        EXPECT_NEAR(t.x2(), r.x + 1875, 1e-3);
        // The box: m = 250 around the sample's box, 1.5 m below.
        EXPECT_NEAR(b.x1(), r.x - 250, 1e-3);
        EXPECT_NEAR(b.y1(), r.y - 375, 1e-3);
        EXPECT_NEAR(b.x2(), r.x + 1500 + 250, 1e-3);
        EXPECT_NEAR(b.y2(), r.y + 750 + 250, 1e-3);
        // Colours are alpha, red, green, blue.
        EXPECT_EQ(access.Layer(2)->shapes[0].fill.color, (CM_ColorRGBA8{0x11, 0x22, 0x33, 0xFF}));
        EXPECT_EQ(access.Layer(1)->shapes[0].fill.color, (CM_ColorRGBA8{0, 0, 0, 0x80}));
    }
}

TEST(TextOverlayLayout, WriteTextWithComputedSizeUsesTheCallersLayout) {
    GR_CompositeVectorDrawingObj drawing;
    GR_DrawingAccess access(drawing);
    FixedAdvanceText text(&drawing);
    TextProperties p = props("AB", "0000");
    p.size = 100;
    p.x = 10;
    p.y = 20;
    p.width = 999; // not measured again: the caller's
    p.height = 30;
    writeText(access, text, &p, 0xFFFFFFFFLL, 0xFF000000LL, -1, 0, 40, 1.0, 1.0);
    EXPECT_EQ(text.measured, 1); // the outlines only
    EXPECT_EQ(p.x, 10.0);
    EXPECT_EQ(p.y, 20.0);
    ASSERT_EQ(access.LayerCount(), 1); // no box asked for
    Math::Box2d t;
    boxOf(*access.Layer(0), t);
    EXPECT_NEAR(t.x1(), 10, 1e-4);
    EXPECT_NEAR(t.x2(), 130, 1e-4);

    FixedAdvanceText other(nullptr);
    EXPECT_THROW(writeText(access, other, &p, 0, 0, 0, 0, 40, 1, 1), AlgoException);
    EXPECT_THROW(writeText(access, text, nullptr, 0, 0, 0, 0, 40, 1, 1), AlgoException);
}

} // namespace
