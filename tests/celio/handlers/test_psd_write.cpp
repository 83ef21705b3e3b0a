// PSD and PSB writing: the byte layout, checked by a plain reading of the
// format (PsdTestUtil.h); round trips of every code at both versions, with and
// without the extras; refusals and left-out layers.
#include <QFileInfo>
#include <gtest/gtest.h>

#include "HandlerTestUtil.h"
#include "PsdTestUtil.h"
#include "algo/composite/CompositeDetail.h"
#include "base/Message.h"
#include "cel/Context.h"
#include "celio/LayerInfo.h"
#include "celio/handlers/PsdHandler.h"
#include "pixel/PixmapArea.h"
#include "support/TestSupport.h"

namespace {

using celtest::Values;
using Extras = CELIO_PsdWriteExtras;
using Rep = UT_SharedPtr<CEL_Representation>;

// Straight RGBA8 content with runs, noise, soft edges and transparency.
CEL_PixmapRGBA8* picture(int w, int h, unsigned seed) {
    auto* p = new CEL_PixmapRGBA8(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            seed = seed * 1103515245u + 12345u;
            const uint8_t a = uint8_t(x < w / 3 ? 0 : std::min(255, (x - w / 3) * 40));
            const uint8_t noise = y % 3 == 0 ? uint8_t(seed >> 24) : uint8_t(0);
            *p->pixel(x, y) = CEL_PixelRGBA8{uint8_t(x * 7 + noise), uint8_t(y * 11), 90, a};
        }
    return p;
}

// An area pixmap on a w x h canvas holding `p` (8-bit, widened) at rect.
Rep areaAt(const CEL_PixmapRGBA8& p, int w, int h, int x, int y) {
    auto* a = new CEL_PixmapAreaRGBA16(w, h);
    EXPECT_TRUE(a->realloc(Math::Box2di(x, y, p.width(), p.height()), false));
    for (int j = 0; j < p.height(); ++j)
        for (int i = 0; i < p.width(); ++i) {
            CEL_PixelRGBA16 q;
            q = *p.pixel(i, j);
            *a->pixel(x + i, y + j) = q;
        }
    return Rep(a);
}

using celtest::layer;

// 24 x 16 document: "Back" (full size), group "Inks" (multiply, 60 %) holding
// "Ink" at (5, 3) and an empty hidden group "Spare", then "Top" (screen, hidden)
// at (-2, 9) reaching out of the canvas. Record indices as a file would number
// them, with "Top" listed between the two groups' records.
CELIO_LayerInfo sampleTree() {
    CELIO_LayerInfo info;
    std::unique_ptr<CEL_PixmapRGBA8> back(picture(24, 16, 1)), ink(picture(9, 7, 2)), top(picture(10, 5, 3));
    info.getComposite().width = 24;
    info.getComposite().height = 16;
    info.getComposite().representation = Rep(back->clone());
    CELIO_LayerGroup& root = info.getBaseGroup();
    root.layers.push_back(layer("Back", areaAt(*back, 24, 16, 0, 0), 1, 1.0f, true, 1));
    root.layers.push_back(layer("Top", areaAt(*top, 24, 16, -2, 9), 9, 0.25f, false, 5));
    CELIO_LayerGroup inks(2);
    inks.name = "Inks";
    inks.blendMode = 4;
    inks.opacity = 153 / 255.0f;
    inks.layers.push_back(layer("Ink", areaAt(*ink, 24, 16, 5, 3), 1, 1.0f, true, 3));
    root.groups.push_back(inks);
    CELIO_LayerGroup spare(6);
    spare.name = "Spare";
    spare.visible = false;
    root.groups.push_back(spare);
    info.update();
    return info;
}

// The records' names in file order.
QList<QByteArray> names(const psdtest::File& f) {
    QList<QByteArray> n;
    for (const auto& r : f.records) n << r.name;
    return n;
}

Values areaValues(const Rep& rep) {
    std::unique_ptr<CEL_Representation> canvas(rep ? rep->convertTo(CEL_Representation::PIXMAP_RGBA16)
                                                   : nullptr);
    return celtest::values(canvas.get());
}

} // namespace

TEST(PsdWrite, CodesSlotsAndRefusals) {
    const CELIO_PsdHandler psd;
    celtest::TempDir dir;
    const auto cel = celtest::celOf(picture(4, 3, 9));
    // The large-document handler reads only.
    const CELIO_PsbHandler psb;
    EXPECT_FALSE(psb.write(cel.get(), dir.path("b.psb"), "PSD"));
    CELIO_LayerInfo info = sampleTree();
    EXPECT_FALSE(psb.writeWithLayers(info, dir.path("b.psb"), "PSD"));
    EXPECT_FALSE(
        static_cast<const CELIO_PsdHandler&>(psb).writeWithLayers(info, dir.path("b.psb"), "PSD", Extras{}));
    EXPECT_FALSE(QFileInfo::exists(dir.path("b.psb")));

    // An unknown code, a document too large, a document image that converts to
    // nothing: refused before the output exists, with the reason.
    QXMessage::Capture said;
    EXPECT_FALSE(psd.write(cel.get(), dir.path("c.psd"), "PSD2"));
    ASSERT_EQ(said.records().size(), 1u);
    EXPECT_TRUE(said.records()[0].translated.contains("PSD, PSD4, PSD3, PSD1, PSDDP4, PSDDP3"));
    said.clear();
    const auto wide = celtest::celOf(new CEL_PixmapMatte8(30001, 1));
    EXPECT_FALSE(psd.write(wide.get(), dir.path("c.psd"), "PSD1"));
    ASSERT_EQ(said.records().size(), 1u);
    EXPECT_TRUE(said.records()[0].translated.contains("30000") &&
                said.records()[0].translated.contains("large-document"))
        << qPrintable(said.records()[0].translated);
    EXPECT_EQ(said.records()[0].code, 20);
    const auto deepMatte = celtest::celOf(new CEL_PixmapMatte16(3, 3));
    EXPECT_FALSE(psd.write(deepMatte.get(), dir.path("c.psd"), "PSD4"));
    EXPECT_FALSE(QFileInfo::exists(dir.path("c.psd")));
    // PSB takes the wide document.
    Extras large;
    large.largeDocument = true;
    ASSERT_TRUE(psd.write(wide.get(), dir.path("w.psb"), "PSD1", large));
    const psdtest::File f = psdtest::parse(celtest::readFile(dir.path("w.psb")));
    EXPECT_TRUE(f.error.isEmpty() && f.version == 2 && f.columns == 30001u) << qPrintable(f.error);
    psdtest::Reader counts(f.composite);
    EXPECT_EQ(counts.be(4), uint64_t(f.composite.size() - 4)); // 32-bit row counts
}

TEST(PsdWrite, SixteenBitSamples) {
    celtest::TempDir dir;
    auto* p = new CEL_PixmapRGBA16(5, 1);
    const int16_t v[5] = {32767, 16384, 0, -5, 1};
    for (int i = 0; i < 5; ++i) p->data()[i] = CEL_PixelRGBA16{v[i], int16_t(32767 - i), 100, 32767};
    const auto cel = celtest::celOf(p);
    const QString path = dir.path("d.psd");
    ASSERT_TRUE(CELIO_PsdHandler().write(cel.get(), path, "PSDDP3"));
    const psdtest::File f = psdtest::parse(celtest::readFile(path));
    EXPECT_TRUE(f.compression == 0 && f.depth == 16 && f.composite.size() == 5 * 2 * 3);
    EXPECT_EQ(f.composite.left(10), QByteArray("\xFF\xFF\x80\x00\0\0\0\0\0\x02", 10)); // 2 s, negative: 0
}

TEST(PsdWrite, DefaultLayoutOfGroupsAndLayers) {
    celtest::TempDir dir;
    CELIO_LayerInfo info;
    info.getComposite().representation = Rep(picture(6, 4, 5));
    CELIO_LayerGroup g;
    g.name = "G";
    g.layers.push_back(
        layer("L", areaAt(*std::unique_ptr<CEL_PixmapRGBA8>(picture(3, 2, 6)), 6, 4, 2, 1), 4, 0.5f, false));
    info.getBaseGroup().groups.push_back(g);
    const QString path = dir.path("g.psd");
    ASSERT_TRUE(CELIO_PsdHandler().writeWithLayers(info, path, "PSD1"));
    const psdtest::File f = psdtest::parse(celtest::readFile(path));
    ASSERT_TRUE(f.error.isEmpty()) << qPrintable(f.error);
    ASSERT_EQ(f.count, 3);
    EXPECT_EQ(names(f), (QList<QByteArray>{"</Layer Set>", "L", "G"}));
    const psdtest::Record &end = f.records[0], &l = f.records[1], &folder = f.records[2];
    EXPECT_TRUE(end.divider == 3 && end.ids.empty());
    EXPECT_TRUE(folder.divider == 1 && folder.dividerKey == "pass" && folder.flags == 0);
    // A layer at the origin with its image's size (an area: its canvas), its
    // key and opacity not written, hidden kept; four channels in a grey document.
    EXPECT_EQ(std::vector<int>({l.top, l.left, l.bottom, l.right}), std::vector<int>({0, 0, 4, 6}));
    EXPECT_EQ(l.ids, (std::vector<int16_t>{0, 1, 2, -1}));
    EXPECT_TRUE(l.key == "norm" && l.opacity == 255 && l.flags == 2 && l.signature == "8BIM");
    EXPECT_EQ(l.padding, 2); // 1 + 1 name bytes, padded to 4
    EXPECT_FALSE(l.unicodeName);
    for (const QByteArray& c : l.data) EXPECT_EQ(c.left(2), QByteArray("\0\1", 2));

    // A root that has layers is written with its layers only; the groups go.
    info.getBaseGroup().layers.push_back(layer("Solo", Rep(picture(2, 2, 7))));
    ASSERT_TRUE(CELIO_PsdHandler().writeWithLayers(info, path, "psd4"));
    EXPECT_EQ(names(psdtest::parse(celtest::readFile(path))), QList<QByteArray>{"Solo"});
}

TEST(PsdWrite, ExtrasKeepPropertiesAndPeerLayout) {
    celtest::TempDir dir;
    CELIO_LayerInfo info = sampleTree();
    const QString path = dir.path("k.psd");
    Extras extras;
    extras.keepLayerProperties = extras.peerCompatible = true;
    ASSERT_TRUE(CELIO_PsdHandler().writeWithLayers(info, path, "PSD4", extras));
    const psdtest::File f = psdtest::parse(celtest::readFile(path));
    ASSERT_TRUE(f.error.isEmpty()) << qPrintable(f.error);
    // Interleaved in record order, nothing left out; negative count with alpha.
    EXPECT_EQ(names(f),
              (QList<QByteArray>{"Back", "</Layer Set>", "Ink", "Inks", "Top", "</Layer Set>", "Spare"}));
    EXPECT_EQ(f.count, -7);
    EXPECT_EQ(f.records[3].dividerKey, "mul "); // keys, opacity, rectangles: the round trip's
    // Group records carry four empty raw channels; every record its UTF-16 name.
    EXPECT_EQ(f.records[1].ids, (std::vector<int16_t>{0, 1, 2, -1}));
    for (const QByteArray& c : f.records[1].data) EXPECT_EQ(c, QByteArray(2, '\0'));
    for (const auto& r : f.records) EXPECT_TRUE(r.unicodeName && r.luni == QString::fromUtf8(r.name));

    // A flattened RGBA write is also stored as one layer; a name too long is
    // cut at a character boundary.
    const auto cel = celtest::celOf(picture(5, 5, 8));
    ASSERT_TRUE(CELIO_PsdHandler().write(cel.get(), path, "PSD4", extras));
    const psdtest::File flat = psdtest::parse(celtest::readFile(path));
    ASSERT_EQ(flat.records.size(), 1u);
    EXPECT_TRUE(flat.count == -1 && flat.records[0].name == "Composite");
    ASSERT_TRUE(CELIO_PsdHandler().write(cel.get(), path, "PSD3", extras));
    EXPECT_EQ(psdtest::parse(celtest::readFile(path)).records.size(), 0u);

    info.getBaseGroup().layers.front().name = QString(126, QChar(0x00E9)) + "xyz"; // 252 + 3 bytes, then more
    info.getBaseGroup().layers.front().name += QChar(0x00E9);
    QXMessage::Capture said;
    info.getBaseGroup().layers.back().blendMode = -1;
    ASSERT_TRUE(CELIO_PsdHandler().writeWithLayers(info, path, "PSD4", extras));
    const psdtest::File cut = psdtest::parse(celtest::readFile(path));
    EXPECT_EQ(cut.records[0].name.size(), 255);
    EXPECT_EQ(cut.records[4].key, "norm");
    ASSERT_EQ(said.records().size(), 1u);
    EXPECT_TRUE(said.records()[0].translated.contains("blend mode -1, which has no key"));
}

TEST(PsdWrite, RoundTripThroughOurReader) {
    celtest::TempDir dir;
    const CELIO_PsdHandler psd;
    const CELIO_LayerInfo source = sampleTree();
    const Values back8 = areaValues(source.getBaseGroup().layers.front().representation);
    for (const char* code : {"PSD", "PSD4", "PSD3", "PSD1", "PSDDP4", "PSDDP3"})
        for (const bool keep : {false, true})
            for (const bool psb : {false, true}) {
                SCOPED_TRACE(testing::Message() << code << (keep ? " keep" : "") << (psb ? " psb" : ""));
                CELIO_LayerInfo info = source;
                Extras extras;
                extras.keepLayerProperties = keep;
                extras.largeDocument = psb;
                const QString path = dir.path(psb ? "r.psb" : "r.psd");
                ASSERT_TRUE(psd.writeWithLayers(info, path, code, extras));
                const bool deep = QByteArray(code).contains("DP"), grey = QByteArray(code) == "PSD1",
                           alpha = QByteArray(code).endsWith('4');
                // The composite: 16-bit samples from8(v) - 1 below full scale; no alpha: opaque.
                const Values composite = celtest::readValues(psd, path);
                std::unique_ptr<CEL_PixmapRGBA8> original(picture(24, 16, 1));
                const CEL_PixmapMatte8 luma(*original);
                const Values want =
                    celtest::values(grey ? static_cast<const CEL_Representation*>(&luma) : original.get());
                ASSERT_EQ(composite.size(), want.size());
                for (size_t i = 0; i < want.size(); ++i) {
                    const int w = i % 4 == 3 && !alpha ? 255 : want[i];
                    ASSERT_EQ(composite[i], !deep      ? w
                                            : w == 255 ? 32767
                                                       : std::max(CEL_PixelRule::from8(uint8_t(w)) - 1, 0))
                        << "sample " << i;
                }

                CELIO_LayerInfo back;
                ASSERT_EQ(psd.readLayerInfo(path, back), CELIO_STATE_OK);
                ASSERT_EQ(psd.readLayerImages(path, back, false), CELIO_STATE_OK);
                const CELIO_LayerGroup& root = back.getBaseGroup();
                ASSERT_EQ(root.layers.size(), 2u);
                ASSERT_EQ(root.groups.size(), keep ? 2u : 0u);
                // The bottom layer's pixels: exact at 8 bits, s - 1 below full scale at 16.
                const Values got = areaValues(root.layers.front().representation);
                ASSERT_EQ(got.size(), back8.size());
                for (size_t i = 0; i < got.size(); ++i) {
                    const int s = back8[i];
                    ASSERT_EQ(got[i], deep && s > 0 && s < 32767 ? s - 1 : s) << "sample " << i;
                }
                const CELIO_Layer& top = root.layers.back();
                EXPECT_FALSE(top.visible);
                if (!keep) {
                    EXPECT_TRUE(top.blendMode == 1 && top.opacity == 1.0f);
                    continue;
                }
                // Keys, opacity, rectangles and order come back.
                EXPECT_TRUE(top.blendMode == 9 && top.opacity == 64 / 255.0f && top.recordIndex == 5);
                const auto* area = dynamic_cast<const CEL_PixmapAreaRGBA16*>(top.representation.get());
                ASSERT_TRUE(area);
                EXPECT_EQ(area->allocatedRect(),
                          Math::Box2di(0, 9, 8, 5)); // clipped to the canvas by the reader
                const CELIO_LayerGroup& inks = root.groups.front();
                EXPECT_TRUE(inks.name == "Inks" && inks.blendMode == 4 && inks.opacity == 153 / 255.0f &&
                            inks.id == 2 && inks.layers.front().recordIndex == 3);
                EXPECT_TRUE(!root.groups.back().visible && root.groups.back().id == 6);
            }
}

TEST(PsdWrite, SameBytesAtAnyThreadCount) {
    celtest::TempDir dir;
    CELIO_LayerInfo info;
    info.getComposite().representation = Rep(picture(700, 900, 11));
    info.getBaseGroup().layers.push_back(layer("A", Rep(picture(700, 900, 12))));
    QByteArray files[2];
    for (const bool serial : {false, true}) {
        CelAlgo::detail::setSerialForTesting(serial);
        const QString path = dir.path(serial ? "s.psd" : "p.psd");
        EXPECT_TRUE(CELIO_PsdHandler().writeWithLayers(info, path, "PSD4"));
        files[serial] = celtest::readFile(path);
    }
    CelAlgo::detail::setSerialForTesting(false);
    EXPECT_EQ(files[0], files[1]);
    EXPECT_TRUE(psdtest::parse(files[0]).error.isEmpty());
}

TEST(PsdWrite, LeftOutLayersAndTheTreeFlatten) {
    celtest::TempDir dir;
    CELIO_LayerInfo info = sampleTree();
    info.getBaseGroup().layers.push_back(layer("Nothing", Rep()));
    const QString path = dir.path("f.psd");
    Extras keep;
    keep.keepLayerProperties = true;
    QXMessage::Capture said;
    ASSERT_TRUE(CELIO_PsdHandler().writeWithLayers(info, path, "PSD4", keep));
    ASSERT_EQ(said.records().size(), 1u);
    EXPECT_TRUE(said.records()[0].translated.contains("\"Nothing\"") && said.records()[0].action == 0);
    EXPECT_EQ(psdtest::parse(celtest::readFile(path)).records.size(), 7u);

    // Flattening the tree in memory and the file it was written to agree.
    info.getBaseGroup().layers.back().visible = false;
    std::next(info.getBaseGroup().layers.begin())->visible = true; // "Top", screen at 25 %
    ASSERT_TRUE(CELIO_PsdHandler().writeWithLayers(info, path, "PSD4", keep));
    std::unique_ptr<CEL_PixmapAreaRGBA16> fromTree(CELIO_PsdHandler::flattenLayers(info, nullptr));
    std::unique_ptr<CEL_PixmapAreaRGBA16> fromFile(CELIO_PsdHandler().flattenLayers(path, nullptr));
    ASSERT_TRUE(fromTree && fromFile);
    const Values a = areaValues(Rep(fromTree.release())), b = areaValues(Rep(fromFile.release()));
    ASSERT_EQ(a.size(), b.size());
    int worst = 0;
    for (size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::abs(a[i] - b[i]));
    EXPECT_LE(worst, 300); // two 8-bit steps: the file rounds opacity into 8-bit alpha
    EXPECT_GT(std::count(a.begin(), a.end(), 0), 0);
}
