// The vector drawing stand-in: files, palettes, boxes, merging, the renderer.
#include <tbb/task_arena.h>

#include <QDir>
#include <cstring>
#include <gtest/gtest.h>
#include <random>

#include "base/ByteOrder.h"
#include "base/Message.h"
#include "base/VectorFile.h"
#include "support/TestSupport.h"
#include "support/VectorTestUtil.h"

using vectortest::colour;
using vectortest::ellipse;
using vectortest::rect;

namespace {

// Every verb, a hidden layer, a type drawn as overlay, palette ids, both flags.
void sampleDrawing(GR_CompositeVectorDrawingObj& drawing) {
    GR_DrawingAccess d(drawing);
    const int fills = d.CreateLayer(GR_ColorArtLayer), hidden = d.CreateLayer(GR_LineArtLayer, -1, false),
              over = d.CreateLayer(1000);
    GR_Shape s;
    s.flags = GR_Shape::Fill | GR_Shape::Stroke, s.width = 12.5f;
    s.fill = colour(200, 100, 50, 200, 0x1122334455667788ull), s.stroke = colour(1, 2, 3, 4, 7);
    s.path.moveTo(-10, -20);
    s.path.lineTo(30, -20);
    s.path.quadTo(40, 0, 30, 20);
    s.path.cubicTo(20, 30, 0, 30, -10, 20);
    s.path.close();
    s.path.moveTo(100, 100);
    s.path.lineTo(110, 120);
    ASSERT_TRUE(d.InsertShape(fills, s));
    ASSERT_TRUE(d.InsertStroke(hidden, ellipse(0, 0, 300, 200), colour(9, 9, 9), 3));
    ASSERT_TRUE(d.InsertFill(over, rect(-5, -5, 5, 5), colour(255, 255, 255, 128)));
}

// Offsets in the sample drawing's bytes: the first layer record, its first
// shape, that shape's stroke width, verb and point counts, verbs and points.
constexpr int kLayer0 = 12, kShape0 = kLayer0 + 12, kWidth = kShape0 + 28, kCounts = kWidth + 4,
              kVerbs = kCounts + 8, kPoints = kVerbs + 7;

void putF32(QByteArray& b, int at, float v) {
    uint32_t u;
    std::memcpy(&u, &v, 4);
    ByteOrder::putU32LE(reinterpret_cast<uint8_t*>(b.data()) + at, u);
}
void putU32(QByteArray& b, int at, uint32_t v) {
    ByteOrder::putU32LE(reinterpret_cast<uint8_t*>(b.data()) + at, v);
}

// Renders into a buffer filled with 0xcd, in the 720 x 540 domain.
std::vector<uint8_t> render(const GR_CompositeVectorDrawingObj& drawing, int mode,
                            GR_RenderTarget::Depth depth, const Math::Box2di& rect) {
    GR_SoftRenderOptions o;
    o.antialiasMode = mode, o.resolution = Math::Size2di(720, 540);
    o.modelToNormalizedDevice = Math::Matrix4x4::scaling(1.0 / 2500.0, 1.0 / 1875.0);
    const int bpp = depth == GR_RenderTarget::Depth8 ? 4 : 8;
    std::vector<uint8_t> pixels(std::size_t(rect.area()) * bpp, 0xcd);
    GR_RenderTarget t;
    t.depth = depth, t.data = pixels.data(), t.stride = std::ptrdiff_t(rect.w()) * bpp;
    t.rect = rect, t.premultiply = true;
    GR_LayerSoftRenderer renderer(o);
    renderer.setTarget(t);
    EXPECT_TRUE(drawing.RenderDrawing(renderer, GR_ArtSelector()));
    return pixels;
}

} // namespace

TEST(VectorFile, StoreLoadStoreIsTheSameBytesInTheDocumentedLayout) {
    GR_CompositeVectorDrawingObj drawing;
    sampleDrawing(drawing);
    const QByteArray bytes = drawing.StoreToBytes(0);
    EXPECT_TRUE(drawing.StoreToBytes(1) == bytes && drawing.StoreToBytes(2).isEmpty());
    const auto* b = reinterpret_cast<const uint8_t*>(bytes.constData());
    EXPECT_TRUE(bytes.startsWith("QVX\x1a") && ByteOrder::getU32LE(b + 8) == 3u); // three layers
    EXPECT_EQ(ByteOrder::getU32LE(b + kLayer0), 1u);                              // colour art
    EXPECT_TRUE(b[kShape0] == 3 && ByteOrder::getU32LE(b + kCounts + 4) == 9u);   // fill and stroke; points
    EXPECT_EQ(QByteArray(bytes.constData() + kVerbs, 7), QByteArray("\0\1\2\3\4\0\1", 7));
    const qsizetype size = 12 + 3 * 12 + 3 * 40 + (7 + 9 * 8) + (6 + 13 * 8) + (5 + 4 * 8);
    EXPECT_EQ(bytes.size(), size);

    GR_CompositeVectorDrawingObj back;
    ASSERT_TRUE(back.LoadFromBytes(bytes));
    EXPECT_TRUE(back.layers() == drawing.layers() && back.StoreToBytes(0) == bytes);
}

TEST(VectorFile, RefusesBadDataAndKeepsTheDrawing) {
    GR_CompositeVectorDrawingObj drawing;
    sampleDrawing(drawing);
    const QByteArray good = drawing.StoreToBytes(0);
    const std::pair<const char*, std::function<void(QByteArray&)>> cases[] = {
        {"magic", [](QByteArray& b) { b[3] = 'Y'; }},
        {"version", [](QByteArray& b) { b[4] = 2; }},
        {"layer visibility", [](QByteArray& b) { b[kLayer0 + 4] = 2; }},
        {"shape flags", [](QByteArray& b) { b[kShape0] = 4; }},
        {"width over 2^16", [](QByteArray& b) { putF32(b, kWidth, 65537.0f); }},
        {"width not a number", [](QByteArray& b) { putF32(b, kWidth, NAN); }},
        {"unknown verb", [](QByteArray& b) { b[kVerbs + 3] = 5; }},
        {"no leading move", [](QByteArray& b) { b[kVerbs] = 1; }},
        {"points do not match verbs", [](QByteArray& b) { b[kVerbs + 2] = 3; }},
        {"coordinate not finite", [](QByteArray& b) { putF32(b, kPoints, INFINITY); }},
        {"coordinate over 2^24", [](QByteArray& b) { putF32(b, kPoints + 4, -3.5e7f); }},
        {"layer count beyond the file", [](QByteArray& b) { putU32(b, 8, 0xffffffffu); }},
        {"shape count beyond the file", [](QByteArray& b) { putU32(b, kLayer0 + 8, 0x7fffffffu); }},
        {"point count beyond the file", [](QByteArray& b) { putU32(b, kCounts + 4, 0x40000000u); }},
        {"bytes after the end", [](QByteArray& b) { b.append('\0'); }},
    };
    const std::vector<GR_Layer> before = drawing.layers();
    for (const auto& [what, damage] : cases) {
        SCOPED_TRACE(what);
        QByteArray bad = good;
        damage(bad);
        QXMessage::Capture messages;
        EXPECT_TRUE(!drawing.LoadFromBytes(bad) && drawing.layers() == before);
        ASSERT_EQ(messages.records().size(), 1u);
        EXPECT_EQ(messages.records()[0].code, 10);
    }
    // Every length short of the whole file.
    QXMessage::Capture quiet;
    for (qsizetype n = 0; n < good.size(); ++n) EXPECT_FALSE(drawing.LoadFromBytes(good.left(n))) << n;
}

// Seeded damage: a file either fails or loads into something the renderer takes.
TEST(VectorFile, DamagedFilesFailOrRender) {
    GR_CompositeVectorDrawingObj source;
    vectortest::busyDrawing(source, 6, 10, 3);
    const QByteArray good = source.StoreToBytes(0);
    std::mt19937 rng(11);
    QXMessage::Capture quiet;
    int loaded = 0;
    for (int round = 0; round < 300; ++round) {
        QByteArray bad = good;
        for (int k = 0; k < 1 + round % 3; ++k) bad[qsizetype(rng() % bad.size())] = char(rng());
        GR_CompositeVectorDrawingObj d;
        if (!d.LoadFromBytes(bad)) continue;
        ++loaded;
        render(d, 2, GR_RenderTarget::Depth8, Math::Box2di(0, 0, 72, 54));
    }
    EXPECT_GT(loaded, 0); // flips inside colours and coordinates still load
}

TEST(VectorPalette, FilesListsAndTheFolderManager) {
    CM_PaletteList list;
    list.setColor(0xabcdef0123456789ull, CM_ColorRGBA8{1, 2, 3, 4}, QStringLiteral("  two  words "));
    list.setColor(5, CM_ColorRGBA8{255, 0, 128, 255});
    EXPECT_EQ(list.toText(), QByteArray("0000000000000005 FF0080FF\nABCDEF0123456789 01020304 two words\n"));
    CM_PaletteList back; // comments, blank lines, tabs, CR LF and lower case
    ASSERT_TRUE(
        back.fromText("# comment\n\n  ABCDEF0123456789\t01020304 two words\r\n0000000000000005 ff0080ff\n"));
    EXPECT_EQ(back.toText(), list.toText());
    QString why;
    EXPECT_FALSE(back.fromText("0000000000000005 FF0080FF\n12345 FF0080FF\n", &why));
    EXPECT_TRUE(why.contains(QStringLiteral("line 2"))) << why.toStdString();

    celtest::TempDir dir;
    CM_PaletteManager::clear();
    const QString drawing = dir.path(QStringLiteral("shot/a.qvx"));
    QDir().mkpath(dir.path(QStringLiteral("shot")));
    EXPECT_EQ(CM_PaletteManager::GetPaletteListFromPath(drawing)->size(), 0u) << "no palette file";
    ASSERT_TRUE(list.store(dir.path(QStringLiteral("shot/palette.qvp"))));
    const CM_SharedPtr<CM_PaletteList> folder = CM_PaletteManager::GetPaletteListFromPath(drawing);
    EXPECT_EQ(folder->toText(), list.toText()) << "the file is read again once it exists";
    EXPECT_EQ(CM_PaletteManager::GetPaletteListFromPath(dir.path(QStringLiteral("shot/b.qvx"))), folder)
        << "drawings of one folder share the list";
    celtest::writeFile(dir.path(QStringLiteral("shot/palette.qvp")), "not a palette\n");
    QXMessage::Capture messages;
    EXPECT_EQ(CM_PaletteManager::GetPaletteListFromPath(drawing)->size(), 0u);
    EXPECT_TRUE(messages.texts().size() == 1 &&
                messages.texts()[0].startsWith(QStringLiteral("Palette file")));
    CM_PaletteManager::clear();
}

TEST(VectorPalette, ListedColoursWinAndRecoveryAddsWhatIsMissing) {
    GR_CompositeVectorDrawingObj drawing;
    GR_DrawingAccess d(drawing);
    const int layer = d.CreateLayer(GR_ColorArtLayer);
    d.InsertFill(layer, rect(0, 0, 10, 10), colour(10, 20, 30, 255, 1));
    d.InsertStroke(layer, rect(0, 0, 10, 10), colour(40, 50, 60, 255, 2), 2);
    d.InsertFill(layer, rect(0, 0, 10, 10), colour(70, 80, 90, 255, 2)); // the first colour of an id is kept

    CM_SharedPtr<CM_PaletteList> list(new CM_PaletteList);
    list->setColor(1, CM_ColorRGBA8{100, 101, 102, 103});
    drawing.SetDrawingColors(list.get());
    EXPECT_EQ(drawing.ResolveColor(colour(10, 20, 30, 255, 1)), (CM_ColorRGBA8{100, 101, 102, 103}));
    ASSERT_EQ(drawing.PendingColorRecovery().size(), 1u);

    drawing.PerformColorRecovery(CM_ColorRecoveryContext(true, true, false));
    EXPECT_TRUE(drawing.NeedsColorRecovery() && !list->contains(2)) << "delayed: still pending";
    drawing.PerformColorRecovery(CM_ColorRecoveryContext(true, false, false));
    CM_ColorRGBA8 added;
    EXPECT_TRUE(!drawing.NeedsColorRecovery() && list->findColor(2, added) &&
                added == (CM_ColorRGBA8{40, 50, 60, 255}));
}

TEST(VectorDrawing, WorldBoxCountsHalfStrokesTimesThicknessAndHiddenLayersNot) {
    GR_CompositeVectorDrawingObj drawing;
    GR_DrawingAccess d(drawing);
    const int fills = d.CreateLayer(GR_ColorArtLayer), lines = d.CreateLayer(GR_LineArtLayer),
              hidden = d.CreateLayer(GR_OverlayArtLayer, -1, false);
    d.InsertFill(fills, rect(-100, -50, 100, 50), colour(1, 1, 1));
    d.InsertStroke(lines, rect(0, 0, 300, 20), colour(1, 1, 1), 20);
    d.InsertFill(hidden, rect(-5000, -5000, 5000, 5000), colour(1, 1, 1));
    EXPECT_EQ(drawing.GetVisibleWorldBBox(), Math::Box2d(-100, -50, 310, 50));
    EXPECT_EQ(drawing.GetVisibleWorldBBox(GR_ThicknessRenderParams{3.0}), Math::Box2d(-100, -50, 330, 50));
    EXPECT_EQ(drawing.GetVisibleWorldBBox(GR_ArtSelector(GR_ArtSelector::ColorArt)),
              Math::Box2d(-100, -50, 100, 50));

    // A path the renderer would refuse never gets in.
    GR_Path bad, far;
    bad.lineTo(1, 1);
    far.moveTo(0, 3e7f);
    EXPECT_FALSE(d.InsertFill(fills, bad, colour(1, 1, 1)) || d.InsertFill(fills, far, colour(1, 1, 1)) ||
                 d.InsertStroke(fills, rect(0, 0, 1, 1), colour(1, 1, 1), 1e6f) ||
                 d.InsertFill(7, rect(0, 0, 1, 1), colour(1, 1, 1)));
}

TEST(VectorDrawing, MergeMapsShapesIntoTheLayerOfTheirType) {
    GR_CompositeVectorDrawingObj dst, src;
    GR_DrawingAccess dd(dst), sd(src);
    dd.InsertStroke(dd.CreateLayer(GR_LineArtLayer), rect(0, 0, 1, 1), colour(1, 1, 1), 1);
    sd.InsertStroke(sd.CreateLayer(GR_LineArtLayer), rect(0, 0, 10, 10), colour(2, 2, 2, 255, 9), 4);
    sd.InsertFill(sd.CreateLayer(GR_ColorArtLayer), rect(0, 0, 10, 10), colour(3, 3, 3));
    sd.InsertFill(sd.CreateLayer(GR_UnderlayArtLayer), rect(0, 0, 10, 10), colour(4, 4, 4));
    CM_SharedPtr<CM_PaletteList> srcList(new CM_PaletteList);
    srcList->setColor(9, CM_ColorRGBA8{90, 91, 92, 93});
    src.SetDrawingColors(srcList.get());

    const Math::Matrix4x4 m = Math::Matrix4x4::translation(100, 50) * Math::Matrix4x4::scaling(2, 2);
    ASSERT_TRUE(GR_DrawingAccess::Merge(dst, src, m));
    ASSERT_EQ(dst.layers().size(), 2u)
        << "line art joined its layer, colour art got a new one, underlay stayed out";
    const GR_Shape& moved = dst.layers()[0].shapes[1];
    EXPECT_EQ(moved.path.points()[2], (GR_Point{120, 70}));
    EXPECT_EQ(moved.stroke.color, (CM_ColorRGBA8{90, 91, 92, 93})) << "src's listed colour travels along";

    // A map that sends a shape behind the eye merges nothing.
    Math::Matrix4x4 behind;
    behind(3, 0) = -1.0;
    const std::vector<GR_Layer> before = dst.layers();
    EXPECT_TRUE(!GR_DrawingAccess::Merge(dst, src, behind) && dst.layers() == before);
}

// Layers are drawn by group (underlay, colour, line, overlay) whatever their
// order in the list; within a group in list order.
TEST(VectorRender, GroupsDrawInArtOrder) {
    GR_CompositeVectorDrawingObj drawing;
    GR_DrawingAccess d(drawing);
    d.InsertFill(d.CreateLayer(GR_LineArtLayer), rect(-100, -100, 100, 100), colour(0, 0, 255));
    d.InsertFill(d.CreateLayer(GR_ColorArtLayer), rect(-100, -100, 100, 100), colour(255, 0, 0));
    d.InsertFill(d.CreateLayer(1000), rect(-50, -50, 50, 50), colour(0, 255, 0));
    d.InsertFill(d.CreateLayer(GR_OverlayArtLayer, 0), rect(-50, -50, 50, 50), colour(255, 255, 0));
    const Math::Box2di centre(360, 270, 1, 1), edge(360 + 10, 270, 1, 1);
    EXPECT_EQ(render(drawing, 2, GR_RenderTarget::Depth8, centre), (std::vector<uint8_t>{0, 255, 0, 255}))
        << "type 1000 is overlay art, after the overlay layer listed first";
    EXPECT_EQ(render(drawing, 2, GR_RenderTarget::Depth8, edge), (std::vector<uint8_t>{0, 0, 255, 255}))
        << "line art over colour art";
}

TEST(VectorRenderThreads, SameBytesAtAnyThreadCountAndTileSeams) {
    GR_CompositeVectorDrawingObj drawing;
    vectortest::busyDrawing(drawing, 40, 120, 5);
    // Taller than one tile, and a rectangle that starts off the tile grid.
    const Math::Box2di rects[] = {Math::Box2di(0, 0, 720, 540), Math::Box2di(37, 101, 500, 300)};
    for (const Math::Box2di& r : rects)
        for (int mode : {0, 2, 3})
            for (auto depth : {GR_RenderTarget::Depth8, GR_RenderTarget::Depth16}) {
                SCOPED_TRACE(testing::Message() << "mode " << mode << " depth " << depth << " x1 " << r.x1());
                std::vector<uint8_t> one, two;
                tbb::task_arena(1).execute([&] { one = render(drawing, mode, depth, r); });
                tbb::task_arena(2).execute([&] { two = render(drawing, mode, depth, r); });
                ASSERT_EQ(one, two);
                if (depth == GR_RenderTarget::Depth16) { // the 0xcd filler reads as negative values
                    std::vector<int16_t> values(one.size() / 2);
                    std::memcpy(values.data(), one.data(), one.size());
                    EXPECT_GE(*std::min_element(values.begin(), values.end()), 0) << "every pixel written";
                }
            }
}
