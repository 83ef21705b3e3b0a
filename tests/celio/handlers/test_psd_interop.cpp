// PSD interop with ImageMagick (skipped without `convert`) and ag-psd (node,
// skipped without it; `scripts/install-deps.sh --witness`). Their files: the
// composite and every layer read here equal ImageMagick's own decoding where it
// is not transparent, and flattening gives the merged image it composed with
// the same blend modes. Ours: ImageMagick decodes the composite and every layer
// as we do, and ag-psd reads the tree (names, visibility, nesting, keys, opacity).
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

#include "HandlerTestUtil.h"
#include "cel/Context.h"
#include "celio/LayerInfo.h"
#include "celio/handlers/PsdHandler.h"
#include "pixel/PixmapArea.h"
#include "support/TestSupport.h"

namespace {

using celtest::Values;
using Rep = UT_SharedPtr<CEL_Representation>;
using celtest::layer;

QString magick() {
    return celtest::program("convert");
}

// A program's standard output; empty (and a test failure) when it fails.
QByteArray run(const QString& exe, const QStringList& args) {
    QByteArray out;
    return celtest::run(exe, args, &out) ? out : QByteArray();
}

using celtest::withLayer;

// Image i of the file as ImageMagick decodes it, placed on the document
// canvas at its page offset, samples at the given depth mapped to ours
// (16-bit: v * 32767 / 65535); the label is the layer's name.
struct Decoded {
    Values v;
    QString label, compose;
};
Decoded imageMagick(const QString& file, int i, int depth, int docW, int docH) {
    const QString image = QStringLiteral("%1[%2]").arg(file).arg(i);
    const QStringList geometry = QString::fromUtf8(run(QStringLiteral("identify"),
                                                       {"-format", "%w %h %X %Y|%[label]|%[compose]", image}))
                                     .split('|');
    const QStringList g = geometry.value(0).split(' ');
    const int w = g.value(0).toInt(), h = g.value(1).toInt(), x0 = g.value(2).toInt(),
              y0 = g.value(3).toInt();
    const Values raw = celtest::magickSamples(image, depth);
    Decoded d{Values(size_t(docW) * docH * 4, 0), geometry.value(1), geometry.value(2)};
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 4; ++c) {
                const size_t s = (size_t(y) * w + x) * 4 + c;
                if (s >= raw.size() || x + x0 < 0 || x + x0 >= docW || y + y0 < 0 || y + y0 >= docH) continue;
                d.v[((size_t(y) + y0) * docW + x + x0) * 4 + c] =
                    depth == 8 ? raw[s] : raw[s] * 32767 / 65535;
            }
    return d;
}

// Ours at the same depth: the composite (empty layer) or one layer on the canvas.
Values ours(const QString& file, const QString& layer, int depth) {
    CELIO_RepresentationList list;
    if (!CELIO_PsdHandler().read(file, withLayer(layer), list)) return {};
    const auto format = depth == 8 ? CEL_Representation::PIXMAP_RGBA8 : CEL_Representation::PIXMAP_RGBA16;
    if (list.front()->getFormat() == format) return celtest::values(list.front().get());
    std::unique_ptr<CEL_Representation> canvas(list.front()->convertTo(format));
    return celtest::values(canvas.get());
}

struct Files {
    celtest::TempDir dir;
    QString backdrop, shape, backdrop16;
    Files() {
        backdrop = dir.path("bg.png");
        shape = dir.path("fg.png");
        backdrop16 = dir.path("bg16.png");
        run(magick(), {"-size", "24x16", "gradient:#d04020-#2060c0", "-alpha", "set", "PNG32:" + backdrop});
        run(magick(), {"-size", "24x16", "-depth", "16", "gradient:#ffe000-#101070", "-alpha", "set",
                       "PNG64:" + backdrop16});
        run(magick(), {"-size", "13x9", "xc:none", "-fill", "rgba(30,200,60,0.7)", "-draw", "circle 6,4 6,0",
                       "-fill", "rgba(250,240,10,1)", "-draw", "rectangle 0,0 3,2", "PNG32:" + shape});
    }
};

// Straight RGBA8 artwork: a soft disc of colour `hue` over transparency.
CEL_PixmapRGBA8* disc(int w, int h, int hue) {
    auto* p = new CEL_PixmapRGBA8(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const double d = std::hypot(x - w * 0.45, y - h * 0.5) / (h * 0.45);
            const auto a = uint8_t(std::clamp((1.0 - d) * 400.0, 0.0, 255.0));
            *p->pixel(x, y) = CEL_PixelRGBA8{uint8_t(hue), uint8_t(255 - x * 5), uint8_t(y * 12), a};
        }
    return p;
}

// 20 x 14: "Back" (opaque gradient), "Tinté" (a disc, multiply at 40 %), and
// "Hidden", optionally the last two in a group "Grüppe" (screen at 70 %).
CELIO_LayerInfo tree(bool grouped) {
    CELIO_LayerInfo info;
    auto* back = new CEL_PixmapRGBA8(20, 14);
    for (int i = 0; i < 20 * 14; ++i)
        back->data()[i] = CEL_PixelRGBA8{uint8_t(i), 120, uint8_t(200 - i / 2), 255};
    info.getComposite().representation = Rep(disc(20, 14, 210));
    info.getComposite().width = 20;
    info.getComposite().height = 14;
    CELIO_LayerGroup& root = info.getBaseGroup();
    root.layers.push_back(layer("Back", Rep(back), 1, 1.0f, true, 1));
    CELIO_LayerGroup g(2);
    g.name = QString::fromUtf8("Grüppe");
    g.blendMode = 9;
    g.opacity = 0.7f;
    std::list<CELIO_Layer>& into = grouped ? g.layers : root.layers;
    into.push_back(layer(QString::fromUtf8("Tinté"), Rep(disc(20, 14, 40)), 4, 0.4f, true, 3));
    into.push_back(layer("Hidden", Rep(disc(20, 14, 250)), 1, 1.0f, false, 4));
    if (grouped) root.groups.push_back(g);
    info.update();
    return info;
}

} // namespace

TEST(PsdInterop, ImageMagickCompositeAndLayersReadAlike) {
    if (magick().isEmpty()) GTEST_SKIP() << "ImageMagick is not installed";
    const Files f;
    struct Variant {
        const char* name;
        int depth;
        bool rle; // else ImageMagick's default: layers deflated as their source PNGs were
    };
    for (const Variant& v :
         {Variant{"rle8.psd", 8, true}, Variant{"rle16.psd", 16, true}, Variant{"rle8.psb", 8, true},
          Variant{"zip8.psd", 8, false}, Variant{"zip16.psd", 16, false}}) {
        SCOPED_TRACE(v.name);
        const QString file = f.dir.path(v.name);
        // The backdrop, the shape placed on it, and their merge first.
        run(magick(),
            QString("%1 ( %2 -repage +7+4 %3 ) ( -clone 0,1 -background none -flatten ) -insert 0 %4 %5")
                .arg(v.depth == 16 ? f.backdrop16 : f.backdrop, f.shape, v.depth == 16 ? "-depth 16" : "",
                     v.rle ? "-compress RLE" : "", file)
                .split(' ', Qt::SkipEmptyParts));
        for (int i = 0; i < 3; ++i) {
            const Decoded want = imageMagick(file, i, v.depth, 24, 16);
            const Values got = ours(file, i == 0 ? QString() : want.label, v.depth);
            ASSERT_EQ(got.size(), want.v.size()) << "image " << i;
            int compared = 0;
            for (size_t p = 0; p < got.size(); p += 4) {
                if (want.v[p + 3] == 0) continue;
                ++compared;
                for (size_t c = 0; c < 4; ++c)
                    ASSERT_EQ(got[p + c], want.v[p + c]) << "image " << i << " at " << p / 4;
            }
            EXPECT_GT(compared, 50) << "image " << i;
        }
    }
}

TEST(PsdInterop, FlattenMatchesImageMagickMergedImage) {
    if (magick().isEmpty()) GTEST_SKIP() << "ImageMagick is not installed";
    const Files f;
    struct Mode {
        const char* compose;
        int code; // the key ImageMagick writes for it
    };
    for (const Mode& m :
         {Mode{"Over", 1}, Mode{"Multiply", 4}, Mode{"Screen", 9}, Mode{"Darken", 3}, Mode{"Lighten", 8},
          Mode{"Overlay", 13}, Mode{"HardLight", 15}, Mode{"Exclusion", 21}, Mode{"ColorBurn", 5},
          Mode{"ColorDodge", 10}, Mode{"PinLight", 18}, Mode{"Difference", 20}}) {
        SCOPED_TRACE(m.compose);
        const QString file = f.dir.path(QStringLiteral("%1.psd").arg(m.compose));
        run(magick(),
            QString("%1 ( %2 -repage +7+4 -set compose %3 ) ( -clone 0,1 -background none -flatten ) "
                    "-insert 0 -compress RLE %4")
                .arg(f.backdrop, f.shape, m.compose, file)
                .split(' '));
        CELIO_LayerInfo info;
        CELIO_PsdHandler handler;
        ASSERT_EQ(handler.readLayerInfo(file, info), CELIO_STATE_OK);
        ASSERT_EQ(info.getBaseGroup().layers.size(), 2u);
        EXPECT_EQ(info.getBaseGroup().layers.back().blendMode, m.code);

        std::unique_ptr<CEL_PixmapAreaRGBA16> flat(handler.flattenLayers(file, nullptr));
        ASSERT_TRUE(flat);
        const Values merged = ours(file, QString(), 8); // ImageMagick's merged image, opaque
        int worst = 0;
        for (int y = 0; y < 16; ++y)
            for (int x = 0; x < 24; ++x) {
                const CEL_PixelRGBA16& p = *flat->pixel(x, y);
                const int16_t ch[4] = {p.r, p.g, p.b, p.a};
                for (int c = 0; c < 4; ++c) {
                    const int mine = int(std::lround(ch[c] * 255.0 / 32767.0));
                    worst = std::max(worst, std::abs(mine - merged[(size_t(y) * 24 + x) * 4 + size_t(c)]));
                }
            }
        EXPECT_LE(worst, 1);
    }
}

TEST(PsdWriteInterop, ImageMagickReadsWhatWeWrite) {
    if (magick().isEmpty()) GTEST_SKIP() << "ImageMagick is not installed";
    celtest::TempDir dir;
    for (const char* code : {"PSD4", "PSD3", "PSDDP4", "PSDDP3"})
        for (const bool peer : {false, true})
            for (const bool grouped : {false, true}) {
                if (grouped && !peer) continue; // below
                SCOPED_TRACE(testing::Message()
                             << code << (peer ? " peer" : "") << (grouped ? " groups" : ""));
                CELIO_LayerInfo info = tree(grouped);
                CELIO_PsdWriteExtras extras;
                // Kept properties, else the root's groups are not written beside its layer.
                extras.peerCompatible = peer, extras.keepLayerProperties = grouped;
                const QString file = dir.path("m.psd");
                ASSERT_TRUE(CELIO_PsdHandler().writeWithLayers(info, file, code, extras));
                const int depth = QByteArray(code).contains("DP") ? 16 : 8;
                const bool alpha = QByteArray(code).endsWith('4');
                // The composite: its colour, and its alpha where the layout lets
                // ImageMagick see it. ImageMagick then takes the colour of partly
                // transparent pixels as matted against white (and un-mattes it),
                // so only opaque pixels keep their colour there.
                const Values want = ours(file, QString(), depth), got = imageMagick(file, 0, depth, 20, 14).v;
                ASSERT_EQ(got.size(), want.size());
                const int full = depth == 8 ? 255 : 32767;
                const bool seen = peer && alpha;
                int opaque = 0;
                for (size_t k = 0; k < want.size(); ++k) {
                    if (k % 4 == 3 ? !seen : seen && want[k | 3] != full) continue;
                    opaque += k % 4 == 0;
                    ASSERT_EQ(got[k], want[k]) << "composite at " << k / 4 << "/" << k % 4;
                }
                EXPECT_GT(opaque, 20);
                // Each layer, the hidden one composed as None. A layer's opacity
                // scales alpha as it is read, each reader rounding its own way.
                const QStringList paths = grouped ? QStringList{"Back", QString::fromUtf8("Grüppe:Tinté"),
                                                                QString::fromUtf8("Grüppe:Hidden")}
                                                  : QStringList{"Back", QString::fromUtf8("Tinté"), "Hidden"};
                for (int i = 0; i < 3; ++i) {
                    const Decoded theirs = imageMagick(file, i + 1, depth, 20, 14);
                    const Values mine = ours(file, paths[i], depth);
                    ASSERT_EQ(theirs.v.size(), mine.size()) << "layer " << i;
                    const int slack = grouped && i == 1 ? full / 255 + 1 : 0;
                    for (size_t k = 0; k < mine.size(); ++k)
                        ASSERT_LE(std::abs(theirs.v[k] - mine[k]), k % 4 == 3 ? slack : 0)
                            << "layer " << i << " at " << k;
                    EXPECT_EQ(theirs.compose == "None", i == 2) << qPrintable(theirs.compose);
                }
            }
    // A flattened RGBA write keeps its alpha for ImageMagick in the peer layout.
    const QString file = dir.path("f.psd");
    const auto cel = celtest::celOf(disc(9, 7, 100));
    CELIO_PsdWriteExtras peer;
    peer.peerCompatible = true;
    ASSERT_TRUE(CELIO_PsdHandler().write(cel.get(), file, "PSD4", peer));
    const Values theirs = imageMagick(file, 0, 8, 9, 7).v,
                 mine = celtest::values(cel->findBestRepresentation().get());
    ASSERT_EQ(theirs.size(), mine.size());
    for (size_t k = 0; k < mine.size(); ++k)
        if (k % 4 == 3 || mine[k | 3] == 255) {
            EXPECT_EQ(theirs[k], mine[k]) << k;
        }
}

TEST(PsdWriteInterop, AgPsdReadsTheTree) {
    const QString module = celtest::haveProgram("node") && celtest::haveProgram("npm")
                               ? QString::fromUtf8(run("npm", {"root", "-g"})).trimmed() + "/ag-psd"
                               : QString();
    if (!QFileInfo::exists(module + "/package.json")) GTEST_SKIP() << "ag-psd is not installed (npm)";
    celtest::TempDir dir;
    const QString script = dir.path("tree.js");
    ASSERT_TRUE(celtest::writeFile(
        script,
        "const fs = require('fs');\n"
        "const { readPsd, initializeCanvas } = require(process.argv[3]);\n"
        "initializeCanvas(() => { throw new Error('no canvas'); },\n"
        "  (w, h) => ({ width: w, height: h, data: new Uint8ClampedArray(w * h * 4) }));\n"
        "const psd = readPsd(fs.readFileSync(process.argv[2]), { useImageData: true });\n"
        "const tree = (l) => ({ name: l.name, hidden: !!l.hidden, blendMode: l.blendMode,\n"
        "  opacity: Math.round(l.opacity * 255), children: l.children ? l.children.map(tree) : undefined "
        "});\n"
        "console.log(JSON.stringify({ width: psd.width, children: (psd.children || []).map(tree) }));\n"));
    const auto read = [&](const QString& file) {
        return QJsonDocument::fromJson(run("node", {script, file, module})).object();
    };
    const auto text = [](const QJsonArray& a) {
        return QJsonDocument(a).toJson(QJsonDocument::Compact).toStdString();
    };
    const auto entry = [](const char* name, bool hidden, const char* mode, int opacity) {
        return QJsonObject{
            {"name", QString::fromUtf8(name)}, {"hidden", hidden}, {"blendMode", mode}, {"opacity", opacity}};
    };
    for (const bool psb : {false, true}) {
        SCOPED_TRACE(psb ? "psb" : "psd");
        const QString file = dir.path(psb ? "t.psb" : "t.psd");
        // Default: names (ASCII: UTF-8 names show as Latin-1 without the peer
        // layout), visibility, nesting; keys and opacity are not stored. A root
        // with layers would be written with its layers only: this one has none.
        CELIO_LayerInfo info = tree(true);
        info.getBaseGroup().layers.clear();
        info.getBaseGroup().groups.front().name = "Group";
        info.getBaseGroup().groups.front().layers.front().name = "Tint";
        CELIO_PsdWriteExtras extras;
        extras.largeDocument = psb;
        ASSERT_TRUE(CELIO_PsdHandler().writeWithLayers(info, file, "PSDDP4", extras));
        QJsonObject got = read(file);
        EXPECT_EQ(got["width"].toInt(), 20);
        QJsonObject group = entry("Group", false, "pass through", 255);
        group["children"] =
            QJsonArray{entry("Tint", false, "normal", 255), entry("Hidden", true, "normal", 255)};
        EXPECT_EQ(text(got["children"].toArray()), text(QJsonArray{group}));
        // Kept properties in the peer layout: UTF-8 names, keys, opacity, order.
        info = tree(true);
        extras.keepLayerProperties = extras.peerCompatible = true;
        ASSERT_TRUE(CELIO_PsdHandler().writeWithLayers(info, file, "PSD4", extras));
        got = read(file);
        group = entry("Grüppe", false, "screen", int(std::lround(0.7f * 255.0))); // 178: 0.7f is below 0.7
        group["children"] =
            QJsonArray{entry("Tinté", false, "multiply", 102), entry("Hidden", true, "normal", 255)};
        EXPECT_EQ(text(got["children"].toArray()),
                  text(QJsonArray{entry("Back", false, "normal", 255), group}));
    }
}
