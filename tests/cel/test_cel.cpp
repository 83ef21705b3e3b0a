#include <gtest/gtest.h>
#include <memory>

#include "CelFakes.h"
#include "base/Palette.h"
#include "base/Platform.h"
#include "cel/Context.h"
#include "cel/VectorQvd.h"
#include "pixel/PixmapArea.h"
#include "pixel/PixmapCanvas.h"

using celtest::FakeRep;
using R = CEL_Representation;
using RepPtr = UT_SharedPtr<CEL_Representation>;
using CelPtr = UT_SharedPtr<CEL_Cel>;

namespace {
CelPtr celOf(R::CelFormat f, std::initializer_list<CEL_Representation*> reps) {
    CelPtr cel(new CEL_Cel(f));
    for (CEL_Representation* r : reps) cel->addRepresentation(RepPtr(r));
    return cel;
}
// 10 x 10 with visible pixels only at (3, 2) and (7, 8): crops to (3, 2)-(8, 9).
CEL_PixmapRGBA16* twoDots() {
    auto* p = new CEL_PixmapRGBA16(10, 10);
    p->pixel(3, 2)->a = 32767;
    p->pixel(7, 8)->b = 100;
    return p;
}
// A depth buffer over rect whose depth at (x, y) is x + 10 y.
CEL_PixmapAreaZ* depthRamp(const Math::Box2di& rect) {
    auto* z = new CEL_PixmapAreaZ(10, 10);
    z->realloc(rect, false);
    for (int y = rect.y1(); y < rect.y2(); ++y)
        for (int x = rect.x1(); x < rect.x2(); ++x) *z->pixel(x, y) = float(x + 10 * y);
    return z;
}
CEL_Representation* areaOfTwoDots() {
    return std::unique_ptr<CEL_PixmapRGBA16>(twoDots())->convertTo(R::PIXMAP_AREA_RGBA16);
}
Math::Box2di allocated(const RepPtr& p) {
    return dynamic_cast<CEL_PixmapArea&>(*p).allocatedRect();
}
int widthOf(const RepPtr& p) {
    return dynamic_cast<CEL_Pixmap&>(*p).width();
}
} // namespace

TEST(CelConversion, DirectThroughRgba16AndFromAProxy) {
    CelPtr cel = celOf(R::PIXMAP_RGBA8, {new CEL_PixmapRGBA8(4, 3)});
    RepPtr area = cel->convertTo(R::PIXMAP_AREA_RGBA16);
    ASSERT_TRUE(area && cel->repCount() == 2);
    EXPECT_EQ(cel->convertTo(R::PIXMAP_AREA_RGBA16), area) << "kept, not rebuilt";
    RepPtr copy = cel->getWorkingCopy(R::PIXMAP_AREA_RGBA16);
    EXPECT_TRUE(copy && copy != area && cel->repCount() == 2) << "a working copy is private";

    // A matte has no area conversion: the 16-bit canvas pixmap is made and kept on the way.
    auto* m = new CEL_PixmapMatte8(5, 5);
    *m->pixel(2, 3) = 255;
    cel = celOf(R::PIXMAP_MATTE8, {m});
    area = cel->convertTo(R::PIXMAP_AREA_RGBA16);
    ASSERT_TRUE(area && cel->repCount() == 3 && cel->findRepresentation(R::PIXMAP_RGBA16));
    EXPECT_EQ(allocated(area), Math::Box2di(2, 3, 1, 1));

    // A source that only renders area pixmaps reaches PIXMAP_RGBA16 through one.
    cel = celOf(R::VECTOR, {new FakeRep(R::VECTOR, {{R::PIXMAP_AREA_RGBA16, areaOfTwoDots}})});
    EXPECT_TRUE(cel->convertTo(R::PIXMAP_RGBA16) && cel->repCount() == 3);

    // At most two steps: NONE -> MATTE8 -> RGBA16 -> AREA is one too many.
    cel = celOf(R::NONE,
                {new FakeRep(R::NONE, {{R::PIXMAP_MATTE8, [] { return new CEL_PixmapMatte8(2, 2); }}})});
    EXPECT_FALSE(cel->convertTo(R::PIXMAP_AREA_RGBA16));
    EXPECT_FALSE(CEL_Cel(R::NONE).convertTo(R::PIXMAP_RGBA8));

    // Refusals add nothing.
    cel = celOf(R::PIXMAP_RGBA8, {new CEL_PixmapRGBA8(8, 8)});
    EXPECT_TRUE(cel->convertibleTo(R::PIXMAP_RGBA8_THUMBNAIL));
    EXPECT_FALSE(cel->convertTo(R::PIXMAP_RGBA8_THUMBNAIL)) << "thumbnails are not made by conversion";
    EXPECT_FALSE(cel->convertTo(R::PIXMAP_MATTE16));
    EXPECT_EQ(cel->repCount(), 1);
    EXPECT_FALSE(celOf(R::PIXMAP_MATTE16, {new CEL_PixmapMatte16(4, 4)})->convertibleTo(R::PIXMAP_MATTE8));

    // A proxy answers first; only a plain 16-bit pixmap can be proxied.
    cel = celOf(R::PIXMAP_RGBA16,
                {new CEL_PixmapRGBA8(3, 3),
                 new FakeRep(R::PROXY, {{R::PIXMAP_RGBA16, [] { return new CEL_PixmapRGBA16(7, 7); }}})});
    EXPECT_EQ(widthOf(cel->convertTo(R::PIXMAP_RGBA16)), 7);

    cel = celOf(R::PIXMAP_RGBA16, {new CEL_PixmapRGBA16(4, 4)});
    EXPECT_TRUE(cel->convertibleTo(R::PROXY));
    cel->addRepresentation(RepPtr(new CEL_PixmapAreaZ(4, 4)));
    EXPECT_FALSE(cel->convertibleTo(R::PROXY)) << "a depth buffer cannot be proxied";
    EXPECT_FALSE(celOf(R::NONE, {new CEL_PixmapAreaRGBA16(4, 4)})->convertibleTo(R::PROXY)) << "empty area";
}

TEST(CelConversion, DepthBufferIsRefittedToTheNewAreaPixmap) {
    RepPtr oldZ(depthRamp(Math::Box2di(0, 0, 10, 10)));
    CelPtr cel = celOf(R::PIXMAP_RGBA16, {twoDots(), oldZ.get()});
    ASSERT_TRUE(cel->convertTo(R::PIXMAP_AREA_RGBA16));
    RepPtr z = cel->findRepresentation(R::PIXMAP_AREA_ZBUF);
    ASSERT_TRUE(z && z != oldZ && cel->repCount() == 3);
    EXPECT_EQ(allocated(z), Math::Box2di(3, 2, 5, 7));
    EXPECT_EQ(static_cast<CEL_PixmapAreaZ&>(*z).pixel(7, 8)->value, 87.0f);

    RepPtr fitted(depthRamp(Math::Box2di(3, 2, 5, 7)));
    cel = celOf(R::PIXMAP_RGBA16, {twoDots(), fitted.get()});
    ASSERT_TRUE(cel->convertTo(R::PIXMAP_AREA_RGBA16));
    EXPECT_EQ(cel->findRepresentation(R::PIXMAP_AREA_ZBUF), fitted) << "already aligned: kept";

    // No depth buffer held: the source gives one, which is then fitted too.
    cel = celOf(R::PIXMAP_AREA_3D,
                {new FakeRep(R::PIXMAP_AREA_3D,
                             {{R::PIXMAP_AREA_RGBA16, areaOfTwoDots},
                              {R::PIXMAP_AREA_ZBUF, [] { return depthRamp(Math::Box2di(0, 0, 10, 10)); }}})});
    EXPECT_TRUE(cel->convertibleTo(R::PIXMAP_AREA_ZBUF));
    ASSERT_TRUE(cel->convertTo(R::PIXMAP_AREA_RGBA16));
    z = cel->findRepresentation(R::PIXMAP_AREA_ZBUF);
    EXPECT_TRUE(z && allocated(z) == Math::Box2di(3, 2, 5, 7));
}

TEST(CelList, RankingAndEditing) {
    CEL_Cel cel(R::VECTOR);
    EXPECT_FALSE(cel.findBestRepresentation());
    EXPECT_DOUBLE_EQ(cel.aspectRatio(), 4.0 / 3.0);
    RepPtr first8(new CEL_PixmapRGBA8(200, 100)), area(new CEL_PixmapAreaRGBA16(30, 10)), qvd(new CELVEC_Qvd);
    cel.addRepresentation(first8);
    cel.addRepresentation(RepPtr(new CEL_PixmapRGBA8(5, 5)));
    EXPECT_EQ(cel.findBestRepresentation(), first8) << "the earlier wins a tie";
    EXPECT_DOUBLE_EQ(cel.aspectRatio(), 2.0); // the best one's
    cel.addRepresentation(area);
    cel.addRepresentation(qvd);
    EXPECT_TRUE(cel.findBestRepresentation() == qvd && cel.findBestPixmapRepresentation() == area);

    cel.keepOneRepresentation(R::PIXMAP_RGBA16); // none of that format: all kept
    EXPECT_TRUE(cel.repCount() == 4 && cel.realFormat() == R::VECTOR);
    cel.keepOneRepresentation(R::PIXMAP_RGBA8);
    EXPECT_EQ(cel.realFormat(), R::PIXMAP_RGBA8);
    cel.removeRepresentation(R::PIXMAP_RGBA8);
    EXPECT_EQ(cel.repCount(), 0);

    // A best non-vector entry that is no pixmap, a vector entry that is no drawing.
    cel.setRepresentation(RepPtr(new FakeRep(R::NONE)));
    EXPECT_EQ(cel.realFormat(), R::NONE);
    cel.addRepresentation(RepPtr(new FakeRep(R::VECTOR)));
    cel.addRepresentation(RepPtr(new CEL_PixmapRGBA8(2, 2)));
    EXPECT_FALSE(cel.findBestPixmapRepresentation() || cel.findBestVectorRepresentation());
}

TEST(CelList, DroppedRepresentationsDieOutsideTheLockOnAnotherThread) {
    CEL_Cel cel(R::PIXMAP_RGBA16);
    std::atomic<int> verdict{0};
    std::thread helper;
    cel.setRepresentation(RepPtr(twoDots()));
    cel.addRepresentation(RepPtr(new celtest::UnlockProbe<FakeRep>(&cel, &verdict, &helper, R::NONE)));
    cel.removeRepresentation(R::NONE);
    helper.join();
    EXPECT_EQ(verdict.exchange(0), 1) << "removeRepresentation";

    auto* z = new celtest::UnlockProbe<CEL_PixmapAreaZ>(&cel, &verdict, &helper, 10, 10);
    z->realloc(Math::Box2di(0, 0, 10, 10), true);
    cel.addRepresentation(RepPtr(z));
    ASSERT_TRUE(cel.convertTo(R::PIXMAP_AREA_RGBA16));
    helper.join();
    EXPECT_EQ(verdict.exchange(0), 1) << "the depth buffer replaced by convertTo";
}

namespace {
struct Note : CEL_DynMessage {
    explicit Note(int v) : value(v) { ++alive; }
    ~Note() override { --alive; }
    int value;
    static inline std::atomic<int> alive{0};
};
int noteOf(const UT_SharedPtr<const CEL_DynMessage>& m) {
    return m ? dynamic_cast<const Note&>(*m).value : -1;
}
} // namespace

TEST(CelMessages, OnePerKeySharedOnCopy) {
    const UT_DynKey k1, k2, k3;
    {
        CEL_Cel a(R::NONE), b(R::NONE);
        a.addMessage(k1, new Note(1));
        a.addMessage(k1, new Note(2));
        EXPECT_EQ(Note::alive, 1) << "the replaced message is released";
        EXPECT_EQ(noteOf(a.findMessage(k1)), 2);

        b.addMessage(k1, new Note(10));
        b.addMessage(k3, new Note(30));
        a.addMessage(k2, new Note(20));
        a.copyMessagesFrom(&b);
        EXPECT_TRUE(noteOf(a.findMessage(k1)) == 10 && noteOf(a.findMessage(k2)) == 20);
        EXPECT_EQ(a.findMessage(k3), b.findMessage(k3)) << "shared, not copied";
        a.addMessage(k2, nullptr);
        EXPECT_FALSE(a.findMessage(k2));
    }
    EXPECT_EQ(Note::alive, 0);
}

TEST(CelImpl, ShallowCopy) {
    CEL_Cel cel(R::PIXMAP_RGBA16);
    // Depth buffers become new objects over the same depths; flags stay behind.
    RepPtr canvas(twoDots()), z(depthRamp(Math::Box2di(0, 0, 10, 10)));
    cel.addRepresentation(canvas);
    cel.addRepresentation(z);
    cel.setBlankImage(true);
    CelPtr copy(cel.getImpl()->shallowCopy());
    ASSERT_TRUE(copy->repCount() == 2 && copy->findBestRepresentation() == canvas);
    RepPtr copyZ = copy->findRepresentation(R::PIXMAP_AREA_ZBUF);
    EXPECT_NE(copyZ, z);
    EXPECT_EQ(static_cast<CEL_PixmapAreaZ&>(*copyZ).data(), static_cast<CEL_PixmapAreaZ&>(*z).data());
    EXPECT_FALSE(copy->isBlankImage());
}

TEST(CelUtil, GrayScaleImage) {
    auto* m = new CEL_PixmapMatte8(3, 2); // 3 bytes a row: the image pads its lines
    *m->pixel(2, 1) = 200;
    RepPtr matte(m);
    QImage img = CEL_Util::getGrayScaleImage(matte);
    ASSERT_EQ(img.format(), QImage::Format_Indexed8);
    EXPECT_TRUE(img.color(200) == qRgba(200, 200, 200, 255) && img.pixelIndex(2, 1) == 200);
    EXPECT_TRUE(CEL_Util::getPixmap(matte).isNull()) << "no GUI application here: no pixmap, no crash";
}

namespace {
struct CountedPalettes : CM_PaletteList {
    CountedPalettes() { ++alive; }
    ~CountedPalettes() override { --alive; }
    static inline int alive = 0;
};
} // namespace

TEST(CelContext, DefaultsFromSettingsAndPalettesShared) {
    const bool batchWas = ST_BatchParams::isBatchRendering(),
               delayedWas = ST_ColorRecovery::isDelayedColorRecovery();
    ST_ColorRecovery::setDelayedColorRecovery(true);
    ST_BatchParams::setBatchRendering(false);
    EXPECT_TRUE(CEL_Context().isDelayedColorRecovery());
    ST_BatchParams::setBatchRendering(true);
    EXPECT_FALSE(CEL_Context().isDelayedColorRecovery()) << "a batch render never delays recovery";
    ST_BatchParams::setBatchRendering(batchWas);
    ST_ColorRecovery::setDelayedColorRecovery(delayedWas);

    auto* palettes = new CountedPalettes;
    {
        CEL_Context copy;
        copy = CEL_Context(false, true, false, palettes, 7, QStringLiteral("group/layer"), 2.5);
        EXPECT_EQ(CountedPalettes::alive, 1) << "the copy keeps the palette list alive";
    }
    EXPECT_EQ(CountedPalettes::alive, 0);
}
