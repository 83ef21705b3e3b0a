// PSD and PSB reading on documents built byte by byte: composite layouts and
// value rules, the run-length row budget, deflate, layer records and both
// namings, one layer by path, flattening by blend key and group, bad data.
#include <gtest/gtest.h>
#include <random>

#include "HandlerTestUtil.h"
#include "algo/composite/CompositeDetail.h"
#include "base/Message.h"
#include "cel/Context.h"
#include "celio/LayerInfo.h"
#include "celio/handlers/PsdHandler.h"
#include "pixel/PixmapArea.h"
#include "support/PsdBuilder.h"
#include "support/TestSupport.h"

namespace {

using celtest::Values;
using psdbuild::Document;

using celtest::withLayer;

struct Psd {
    celtest::TempDir dir;
    CELIO_PsdHandler handler;
    QString path;
    explicit Psd(const QByteArray& bytes, const char* name = "t.psd")
        : path(dir.path(QString::fromLatin1(name))) {
        celtest::writeFile(path, bytes);
    }
    explicit Psd(const Document& d) : Psd(psdbuild::build(d), d.version == 2 ? "t.psb" : "t.psd") {}

    // The pixmap read (null on failure); a layer comes back as its document-size RGBA16 canvas.
    UT_SharedPtr<CEL_Representation> read(const QString& layer = QString()) const {
        CELIO_RepresentationList list;
        if (!handler.read(path, withLayer(layer), list)) return {};
        if (list.front()->getFormat() == CEL_Representation::PIXMAP_AREA_RGBA16)
            return UT_SharedPtr<CEL_Representation>(
                list.front()->convertTo(CEL_Representation::PIXMAP_RGBA16));
        return list.front();
    }
    CELIO_Info info(const QString& layer = QString(), CELIO_State* state = nullptr) const {
        CELIO_Info i;
        const CELIO_State s = handler.readInfo(path, withLayer(layer), i);
        if (state) *state = s;
        return i;
    }
};

QByteArray bytes(std::initializer_list<int> v) {
    QByteArray b;
    for (const int x : v) b.append(char(x));
    return b;
}

Document rgb(int w, int h, int channels = 3, uint16_t depth = 8, uint16_t mode = 3) {
    Document d;
    d.width = uint32_t(w), d.height = uint32_t(h), d.channels = uint16_t(channels), d.depth = depth,
    d.mode = mode;
    return d;
}

// A w x h layer of one straight colour.
psdbuild::Layer flat(const QByteArray& name, std::vector<int> box, std::vector<uint8_t> px,
                     uint16_t compression = 1) {
    const int n = (box[2] - box[0]) * (box[3] - box[1]);
    std::vector<uint8_t> rgba;
    for (int i = 0; i < n; ++i) rgba.insert(rgba.end(), px.begin(), px.end());
    return psdbuild::pixelLayer(name, box, rgba, compression);
}

} // namespace

TEST(Psd, CompositeLayoutsAndValueRules) {
    // 8-bit RGB: alpha opaque; the colour-mode data length 768 skips 3072 bytes.
    Document d = rgb(2, 1);
    d.colourData = QByteArray(3072, '\x7f');
    d.colourLength = 768;
    d.composite = bytes({10, 20, 30, 40, 50, 60});
    EXPECT_EQ(celtest::values(Psd(d).read().get()), (Values{10, 30, 50, 255, 20, 40, 60, 255}));

    // 16-bit: v * 32767 / 65535, alpha 32767.
    d = rgb(2, 1, 3, 16);
    d.composite = bytes({0xFF, 0xFF, 0, 1, 0x80, 0, 0, 0, 0, 0, 0xFF, 0xFE});
    EXPECT_EQ(celtest::values(Psd(d).read().get()), (Values{32767, 16383, 0, 32767, 0, 0, 32766, 32767}));

    // Two grayscale channels: grey into r, g, b, the second into alpha.
    d = rgb(2, 1, 2, 8, 1);
    d.composite = bytes({7, 9, 100, 200});
    EXPECT_EQ(celtest::values(Psd(d).read().get()), (Values{7, 7, 7, 100, 9, 9, 9, 200}));

    // Bitmap, width 10: two bytes a row, set bits 0, clear bits 255.
    d = rgb(10, 1, 1, 1, 0);
    d.composite = bytes({0xA0, 0x40});
    const auto bitmap = Psd(d).read();
    ASSERT_TRUE(dynamic_cast<const CEL_PixmapMatte8*>(bitmap.get()));
    const auto* m = static_cast<const CEL_PixmapMatte8*>(bitmap.get())->data();
    EXPECT_EQ(std::vector<int>(m, m + 10), (std::vector<int>{0, 255, 0, 255, 255, 255, 255, 255, 255, 0}));

    // Five RGB channels: the fourth is alpha, the fifth is not read.
    d = rgb(1, 1, 5);
    d.composite = bytes({1, 2, 3, 4, 5});
    const Psd five(d);
    EXPECT_EQ(celtest::values(five.read().get()), (Values{1, 2, 3, 4}));
    EXPECT_TRUE(five.info().optionCode == "PSD4" &&
                five.info().description == "PSD: ingnoring extra channels");
}

TEST(Psd, InfoCodesAndRefusedModes) {
    struct Row {
        uint16_t mode, depth, channels;
        const char* code;
        const char* description;
    };
    for (const Row& r : {Row{3, 8, 3, "PSD3", ""}, Row{3, 16, 4, "PSDDP4", ""}, Row{3, 8, 2, "PSD", ""},
                         Row{3, 32, 3, "PSD", "PSD: unsupported rgb depth"}, Row{1, 8, 1, "PSD1", ""},
                         Row{1, 16, 1, "PSD", "PSD: unsupported grayscale depth"},
                         Row{7, 8, 3, "PSD", "PSD: unssuported file type (not rgb or grayscale)"}}) {
        const Document d = rgb(3, 2, r.channels, r.depth, r.mode);
        CELIO_State state;
        const CELIO_Info info = Psd(d).info(QString(), &state);
        EXPECT_EQ(state, CELIO_STATE_OK);
        EXPECT_EQ(info.optionCode + info.description, QString::fromLatin1(r.code) + r.description) << r.mode;
        EXPECT_TRUE(info.width == 3 && info.height == 2 && info.bytesPerChannel == r.depth / 8u);
    }
    for (const uint16_t mode : {0, 2, 4, 8, 9}) {
        const Psd psd(rgb(1, 1, 1, 8, mode));
        CELIO_State state;
        psd.info(QString(), &state);
        EXPECT_EQ(state, CELIO_STATE_FAILED) << mode;
        if (mode == 0) continue; // Bitmap is read, not described
        QXMessage::Capture messages;
        try {
            psd.read();
            ADD_FAILURE() << "mode " << mode << " was read";
        } catch (const QString& text) {
            EXPECT_EQ(text,
                      "Unsupported PSD mode, supported modes are RGB, Grayscale, Bitmap and Multichannel.");
        }
        ASSERT_EQ(messages.records().size(), 1u);
        EXPECT_EQ(messages.records()[0].code, 11);
    }
}

TEST(Psd, RunLengthRowsStayWithinTheirByteCounts) {
    // One grey channel, 4 x 4: a row ends when its count is used up, whatever
    // the packet said, and never writes past its width.
    Document d = rgb(4, 4, 1, 8, 1);
    d.compositeCompression = 1;
    const QByteArray rows[] = {
        bytes({2, 1, 2, 3, 0xFE}), // literal of 3, then a run header as the last byte
        bytes({3, 4, 5}),          // literal of 4 cut short by the count
        bytes({0x80, 0xFD, 9}),    // no-op, then a run of 4
        bytes({0xF9, 6, 0x00, 1}), // a run of 8 clipped to the row; the rest is not used
    };
    for (const QByteArray& r : rows) psdbuild::put16(d.composite, uint32_t(r.size()));
    for (const QByteArray& r : rows) d.composite += r;
    auto px = Psd(d).read();
    ASSERT_TRUE(px);
    const auto* m = static_cast<const CEL_PixmapMatte8*>(px.get())->data();
    EXPECT_EQ(std::vector<int>(m, m + 16),
              (std::vector<int>{1, 2, 3, 0, 4, 5, 0, 0, 9, 9, 9, 9, 6, 6, 6, 6}));

    // PSB: 32-bit counts. 16-bit rows: PackBits over the big-endian bytes.
    d = rgb(3, 1, 1, 16, 1);
    d.version = 2;
    d.compositeCompression = 1;
    const QByteArray row =
        psdbuild::packBits(reinterpret_cast<const uint8_t*>("\xFF\xFF\xFF\xFF\x00\x02"), 6);
    d.composite.clear();
    psdbuild::put32(d.composite, uint32_t(row.size()));
    d.composite += row;
    px = Psd(d).read();
    ASSERT_TRUE(dynamic_cast<const CEL_PixmapMatte16*>(px.get()));
    const short* s = static_cast<const CEL_PixmapMatte16*>(px.get())->data();
    EXPECT_EQ(std::vector<int>(s, s + 3), (std::vector<int>{32767, 32767, 0}));
}

TEST(Psd, DeflateCompositeIsOneStreamOfAllPlanes) {
    for (const uint16_t compression : {2, 3})
        for (const uint16_t depth : {8, 16}) {
            const int n = 3 * 2, b = depth / 8;
            std::vector<QByteArray> planes(4);
            Values want(size_t(n) * 4);
            for (int c = 0; c < 4; ++c)
                for (int i = 0; i < n; ++i) {
                    const int v = (c * 77 + i * 45) % 256 * (depth == 16 ? 257 : 1);
                    if (b == 2) planes[size_t(c)].append(char(v >> 8));
                    planes[size_t(c)].append(char(v));
                    want[size_t(i) * 4 + size_t(c)] = depth == 16 ? v * 32767 / 65535 : v;
                }
            Document d = rgb(3, 2, 4, depth);
            d.compositeCompression = compression;
            d.composite = psdbuild::codePlanes(planes, 3 * b, 2, compression, false, depth == 16);
            EXPECT_EQ(celtest::values(Psd(d).read().get()), want) << compression << "/" << depth;
            d.composite.chop(d.composite.size() / 2);
            EXPECT_FALSE(Psd(d).read()) << "a stream cut short";
        }
}

namespace {

// Bottom to top: layer "N" at the top level, group A { group B { N, N }, a
// layer named B }, and "Line Art" on top; the folders' divider blocks carry
// keys, except A's short block, which keeps its record's key.
Document namedTree() {
    Document d = rgb(2, 2);
    const auto px = [](const QByteArray& name, uint8_t v) {
        return flat(name, {0, 0, 1, 1}, {v, v, v, 255});
    };
    psdbuild::Layer a = psdbuild::folder("A", QByteArray(), 128);
    a.key = "mul ";
    d.layers = {px("N", 1),
                psdbuild::groupEnd(),
                px("B", 2),
                psdbuild::groupEnd(),
                px("N", 3),
                px("N", 4),
                psdbuild::folder("B", "scrn", 255, true),
                a,
                px("Line Art", 5)};
    d.layers[0].key = "wxyz";
    d.negativeCount = true;
    return d;
}

} // namespace

TEST(Psd, LayerTreeAndReadPathsNameSiblingsDifferently) {
    const Psd psd(namedTree());
    std::vector<QString> paths;
    ASSERT_EQ(psd.handler.readLayerPaths(psd.path, paths), CELIO_STATE_OK);
    // Read paths: top first, a folder counts among its siblings, dividers are "!".
    EXPECT_EQ(paths,
              (std::vector<QString>{"N", "!", "A:B#2", "!", "A:B:N#2", "A:B:N", "!", "!", "Line_Art"}));

    CELIO_LayerInfo info;
    ASSERT_EQ(psd.handler.readLayerInfo(psd.path, info), CELIO_STATE_OK);
    EXPECT_TRUE(info.getComposite().width == 2 && info.getLayerCount() == 5);
    const CELIO_LayerGroup& root = info.getBaseGroup();
    ASSERT_TRUE(root.layers.size() == 2u && root.groups.size() == 1u &&
                root.groups.front().groups.size() == 1u);
    const CELIO_LayerGroup &a = root.groups.front(), &b = a.groups.front();
    // The short divider block keeps the record's key.
    EXPECT_TRUE(a.name == "A" && a.blendMode == 4 && a.opacity == 128 / 255.0f);
    EXPECT_TRUE(!b.visible && b.blendMode == 9);
    // The tree: bottom first, layers and groups numbered apart.
    QStringList tree;
    for (CELIO_LayerInfo::Iterator it(info); !it.end(); ++it)
        tree << QStringLiteral("%1@%2").arg(it->path(":")).arg(it->recordIndex);
    EXPECT_EQ(tree, (QStringList{"N@1", "Line_Art@9", "A:B@3", "A:B:N@5", "A:B:N#2@6"}));
    EXPECT_EQ(root.layers.front().blendMode, -1); // an unknown key
}

TEST(Psd, OneLayerByReadPath) {
    // Channels 0, 1, 2, -1 and a user mask; opacity 128; partly off the canvas.
    Document d = rgb(3, 2);
    psdbuild::Layer l =
        psdbuild::pixelLayer("Ink", {1, 1, 4, 2}, {10, 20, 30, 255, 40, 50, 60, 100, 1, 1, 1, 1}, 1);
    l.channels.push_back({-2, 0, QByteArray(3, '\x55')});
    std::rotate(l.channels.begin(), l.channels.begin() + 3,
                l.channels.end() - 1); // -1 first, as many writers do
    l.opacity = 128;
    d.layers = {flat("Paper", {0, 0, 3, 2}, {200, 200, 200, 255}, 0), l};
    const Psd psd(d);
    const auto from8 = [](int v) { return v * 32767 / 255; };
    Values want(3 * 2 * 4, 0);
    const int a1 = 255 * 128 / 255, a2 = 100 * 128 / 255;
    const Values row{from8(10), from8(20), from8(30), from8(a1), from8(40), from8(50), from8(60), from8(a2)};
    std::copy(row.begin(), row.end(), want.begin() + 16);
    EXPECT_EQ(celtest::values(psd.read("Ink").get()), want);
    EXPECT_FALSE(psd.read("Nope"));
    EXPECT_EQ(celtest::values(psd.read().get()).size(), 3u * 2 * 4); // no path: the composite

    // readInfo looks for the layer's own name; a path through a folder is no name.
    const auto found = [](const Psd& p, const QString& name) {
        CELIO_State state;
        p.info(name, &state);
        return state == CELIO_STATE_OK;
    };
    const Psd tree(namedTree());
    EXPECT_TRUE(found(psd, "Paper") && found(tree, "Line Art") && !found(tree, "A:B:N"));
    EXPECT_EQ(celtest::values(tree.read("A:B:N#2").get())[0], 3 * 32767 / 255);
    EXPECT_EQ(celtest::values(tree.read("Line Art").get())[0], 5 * 32767 / 255);

    // No layer information: a layer path reads the composite.
    EXPECT_TRUE(Psd(rgb(2, 2)).read("Ink"));
}

TEST(Psd, SixteenBitLayersInLr16AndPsbWidths) {
    for (const uint16_t version : {1, 2}) {
        Document d = rgb(2, 1, 3, 16);
        d.version = version;
        d.inLr16 = true;
        psdbuild::Layer l;
        l.name = "Deep", l.right = 2, l.bottom = 1;
        const QByteArray plane = bytes({0xFF, 0xFF, 0x80, 0x00});
        for (const int id : {0, 1, 2, -1})
            l.channels.push_back(
                {int16_t(id), 1, psdbuild::codePlanes({plane}, 4, 1, 1, version == 2, true)});
        d.layers = {l};
        const Psd psd(d);
        EXPECT_EQ(celtest::values(psd.read("Deep").get()),
                  (Values{32767, 32767, 32767, 32767, 16383, 16383, 16383, 16383}))
            << version;
        CELIO_LayerInfo info;
        psd.handler.readLayerInfo(psd.path, info);
        EXPECT_EQ(info.getLayerCount(), 1);
    }
}

// Large enough to be decoded in several bands and on several threads: the
// same pixels as on one thread, whichever coding the planes have.
TEST(Psd, LargeImagesDecodeAlikeOnAnyThreadCount) {
    const int w = 2048, h = 600;
    std::vector<QByteArray> planes(4);
    for (int c = 0; c < 4; ++c)
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const int v = (x / 7 + y * 3 + c * 50) % 256; // runs and literals
                planes[size_t(c)].append(char(v)).append(char(v ^ (x & 1)));
            }
    Document d = rgb(w, h, 4, 16);
    d.compositeCompression = 1;
    d.composite = psdbuild::codePlanes(planes, 2 * w, h, 1);
    psdbuild::Layer zip;
    zip.name = "Zip", zip.right = w, zip.bottom = h;
    for (int c = 0; c < 4; ++c)
        zip.channels.push_back({int16_t(c == 3 ? -1 : c), 3,
                                psdbuild::codePlanes({planes[size_t(c)]}, 2 * w, h, 3, false, true)});
    d.layers = {zip};
    const Psd psd(d);
    const auto both = [&](const QString& layer) {
        CelAlgo::detail::setSerialForTesting(true);
        const Values serial = celtest::values(psd.read(layer).get());
        CelAlgo::detail::setSerialForTesting(false);
        const Values parallel = celtest::values(psd.read(layer).get());
        EXPECT_EQ(serial, parallel) << layer.toStdString();
        return parallel;
    };
    const Values composite = both(QString()), layer = both("Zip");
    ASSERT_EQ(composite.size(), size_t(w) * h * 4);
    EXPECT_EQ(composite, layer); // run-length composite and deflated layer, each cut in bands
    const int v = (2047 / 7 + 599 * 3 + 150) % 256; // the last alpha sample
    EXPECT_EQ(composite.back(), (v << 8 | (v ^ 1)) * 32767 / 65535);
    CelAlgo::detail::setSerialForTesting(true);
    std::unique_ptr<CEL_PixmapAreaRGBA16> serial(psd.handler.flattenLayers(psd.path, nullptr));
    CelAlgo::detail::setSerialForTesting(false);
    std::unique_ptr<CEL_PixmapAreaRGBA16> parallel(psd.handler.flattenLayers(psd.path, nullptr));
    ASSERT_TRUE(serial && parallel);
    EXPECT_TRUE(std::equal(serial->data(), serial->data() + serial->allocatedArea(), parallel->data()));
}

TEST(Psd, BadDataFailsWithoutAllocating) {
    // A layer whose rectangle is upside down.
    Document d = rgb(2, 2);
    d.layers = {flat("Ink", {0, 0, 1, 1}, {1, 2, 3, 4})};
    d.layers[0].bottom = -5;
    const Psd upside(d);
    EXPECT_FALSE(upside.read("Ink"));
    CELIO_LayerInfo info;
    EXPECT_EQ(upside.handler.readLayerInfo(upside.path, info), CELIO_STATE_OK); // what was read stays
    EXPECT_EQ(info.getLayerCount(), 0);

    // Headers that claim far more than the file holds.
    const unsigned long long before = CEL_PixmapAllocationCounter::allocatedSizeTotal();
    for (const uint16_t compression : {0, 1, 2}) {
        Document huge = rgb(60000, 60000, 4);
        huge.compositeCompression = compression;
        huge.composite = QByteArray(64, '\x01');
        EXPECT_FALSE(Psd(huge).read()) << compression;
    }
    Document wide = rgb(1 << 24, 8, 4);
    wide.compositeCompression = 1;
    wide.composite = QByteArray(8 * 4 * 2, '\0');
    EXPECT_FALSE(Psd(wide).read());
    EXPECT_EQ(CEL_PixmapAllocationCounter::allocatedSizeTotal(), before);

    // Groups nested deeper than the cap end the tree there.
    Document deep = rgb(1, 1);
    for (int i = 0; i < 100; ++i) deep.layers.push_back(psdbuild::groupEnd());
    deep.layers.push_back(flat("Ink", {0, 0, 1, 1}, {1, 2, 3, 4}));
    const Psd nested(deep);
    CELIO_LayerInfo deepInfo;
    EXPECT_EQ(nested.handler.readLayerInfo(nested.path, deepInfo), CELIO_STATE_OK);
    EXPECT_EQ(deepInfo.getLayerCount(), 0);
    EXPECT_FALSE(nested.handler.flattenLayers(nested.path, nullptr));
}

TEST(Psd, CutAndDamagedFilesFailCleanly) {
    Document d = namedTree();
    d.layers.push_back(flat("Zip", {0, 0, 2, 2}, {9, 8, 7, 200}, 3));
    d.layers.push_back(flat("Raw", {-1, 0, 2, 3}, {9, 8, 7, 200}, 0));
    d.compositeCompression = 1;
    d.composite = psdbuild::codePlanes(std::vector<QByteArray>(3, QByteArray(4, '\x11')), 2, 2, 1);
    const QByteArray good = psdbuild::build(d);
    celtest::TempDir dir;
    const QString path = dir.path("bad.psd");
    CELIO_PsdHandler handler;
    QXMessage::Capture messages;
    std::mt19937 rng(17);
    for (int round = 0; round < 400; ++round) {
        QByteArray bad = good.left(round < 100 ? round * good.size() / 100 : good.size());
        for (int k = 0; round >= 100 && k < 1 + round % 4; ++k)
            bad[qsizetype(rng() % bad.size())] = char(rng());
        celtest::writeFile(path, bad);
        CELIO_RepresentationList list;
        CELIO_Info info;
        CELIO_LayerInfo layers;
        std::vector<QString> paths;
        QStringList warnings;
        try {
            handler.read(path, withLayer(round % 2 ? "Zip" : ""), list);
            handler.readInfo(path, withLayer("Raw"), info);
            handler.readLayerInfo(path, layers);
            handler.readLayerPaths(path, paths);
            delete handler.flattenLayers(path, &warnings);
        } catch (const QString&) { // a damaged mode field
        }
    }
}

namespace {

CEL_PixelRGBA16 flattened(const Document& d, QStringList* warnings = nullptr, int x = 0) {
    const Psd psd(d);
    std::unique_ptr<CEL_PixmapAreaRGBA16> p(psd.handler.flattenLayers(psd.path, warnings));
    if (!p || !p->pixel(x, 0)) return CEL_PixelRGBA16{-1, -1, -1, -1};
    return *p->pixel(x, 0);
}

int16_t q(double v) {
    return int16_t(v * 32767.0 + 0.5);
}

} // namespace

TEST(PsdFlatten, KeysGroupsAndHiddenContentByHand) {
    const int16_t grey = 200 * 32767 / 255, half = 128 * 32767 / 255;
    const auto layer = [](const QByteArray& name, uint8_t v, uint8_t a = 255) {
        return flat(name, {0, 0, 1, 1}, {v, v, v, a});
    };
    Document d = rgb(1, 1);

    // Multiply and subtract over an opaque grey: blend functions, opaque alpha.
    d.layers = {layer("Paper", 200), layer("Ink", 128)};
    d.layers[1].key = "mul ";
    const double g = grey / 32767.0, h = half / 32767.0;
    EXPECT_EQ(flattened(d), (CEL_PixelRGBA16{q(g * h), q(g * h), q(g * h), 32767}));
    d.layers[1].key = "fsub";
    EXPECT_EQ(flattened(d).r, q(g - h));
    // Linear light of a dark layer goes below black: it stays at 0, not negative.
    d.layers[1] = layer("Ink", 10);
    d.layers[1].key = "lLit";
    EXPECT_EQ(flattened(d), (CEL_PixelRGBA16{0, 0, 0, 32767}));

    // An unsupported key is drawn as the over, with a warning naming layer and key.
    d.layers[1] = layer("Ink", 128);
    d.layers[1].key = "diss";
    QStringList warnings;
    EXPECT_EQ(flattened(d, &warnings), (CEL_PixelRGBA16{half, half, half, 32767}));
    ASSERT_EQ(warnings.size(), 1);
    EXPECT_TRUE(warnings[0].contains("Ink") && warnings[0].contains("diss"));

    // A hidden group draws nothing; hidden layers neither.
    d.layers = {layer("Paper", 200), psdbuild::groupEnd(), layer("Ink", 0),
                psdbuild::folder("G", "pass", 255, true), layer("Off", 0)};
    d.layers.back().flags = 2;
    EXPECT_EQ(flattened(d), (CEL_PixelRGBA16{grey, grey, grey, 32767}));

    // A keyed group at opacity 128: its content (black over nothing) lands by
    // multiply at weight 128/255.
    d.layers = {layer("Paper", 200), psdbuild::groupEnd(), layer("Ink", 0),
                psdbuild::folder("G", "mul ", 128)};
    const double w = 128 / 255.0;
    EXPECT_NEAR(flattened(d).r, g * (1 - w) * 32767, 1.0);

    // A pass-through group at opacity 128 with two half-transparent black
    // layers: the group's result is mixed with the backdrop once.
    d.layers = {layer("Paper", 200), psdbuild::groupEnd(), layer("A", 0, 128), layer("B", 0, 128),
                psdbuild::folder("G", "pass", 128)};
    const double a = 128 * 32767 / 255 / 32767.0, inside = g * (1 - a) * (1 - a);
    const CEL_PixelRGBA16 pass = flattened(d);
    EXPECT_NEAR(pass.r, (g + (inside - g) * w) * 32767, 2.0);
    EXPECT_EQ(pass.a, 32767);
}
