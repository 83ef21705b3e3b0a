// PSD files we write, read by other programs: ImageMagick (its decode of the
// composite and of every layer equals ours) and the npm package ag-psd (the
// tree: names, visibility, nesting, blend keys, opacity). Each is skipped
// when its program is not installed (`scripts/install-deps.sh --witness`).
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
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

struct Ran {
    int exit = -1;
    QByteArray out, err;
};

Ran run(const QString& exe, const QStringList& args, const QStringList& env = {}) {
    QProcess p;
    if (!env.isEmpty()) {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        for (const QString& kv : env) e.insert(kv.section('=', 0, 0), kv.section('=', 1));
        p.setProcessEnvironment(e);
    }
    p.start(exe, args);
    p.waitForFinished(120000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput(),
            p.readAllStandardError()};
}

bool haveMagick() {
    return celtest::haveProgram("convert") && celtest::haveProgram("identify");
}

// Where ag-psd is installed (npm's global root), or empty.
QString agPsd() {
    if (!celtest::haveProgram("node") || !celtest::haveProgram("npm")) return {};
    const QString root = QString::fromUtf8(run("npm", {"root", "-g"}).out).trimmed();
    return QFileInfo::exists(root + "/ag-psd/package.json") ? root + "/ag-psd" : QString();
}

using celtest::withLayer;

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

using celtest::layer;

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

// ImageMagick's decode of image i as straight values of our scale, and its compose.
Values magick(const QString& file, int i, int depth, QString* compose = nullptr) {
    const QString image = QStringLiteral("%1[%2]").arg(file).arg(i);
    if (compose) *compose = QString::fromUtf8(run("identify", {"-format", "%[compose]", image}).out);
    Values v = celtest::magickSamples(image, depth);
    if (depth == 16)
        for (int& s : v) s = s * 32767 / 65535;
    return v;
}

// Ours: the composite, or one layer on its canvas, at the file's depth.
Values ours(const QString& file, const QString& layer, int depth) {
    CELIO_RepresentationList list;
    if (!CELIO_PsdHandler().read(file, withLayer(layer), list)) return {};
    const auto format = depth == 8 ? CEL_Representation::PIXMAP_RGBA8 : CEL_Representation::PIXMAP_RGBA16;
    if (list.front()->getFormat() == format) return celtest::values(list.front().get());
    std::unique_ptr<CEL_Representation> canvas(list.front()->convertTo(format));
    return celtest::values(canvas.get());
}

} // namespace

TEST(PsdWriteInterop, ImageMagickReadsWhatWeWrite) {
    if (!haveMagick()) GTEST_SKIP() << "ImageMagick is not installed";
    celtest::TempDir dir;
    for (const char* code : {"PSD4", "PSD3", "PSDDP4", "PSDDP3"})
        for (const bool peer : {false, true})
            for (const bool grouped : {false, true}) {
                if (grouped && !peer) continue; // below
                SCOPED_TRACE(testing::Message()
                             << code << (peer ? " peer" : "") << (grouped ? " groups" : ""));
                CELIO_LayerInfo info = tree(grouped);
                CELIO_PsdWriteExtras extras;
                extras.peerCompatible = peer;
                extras.keepLayerProperties =
                    grouped; // else the root's groups are not written beside its layer
                const QString file = dir.path("m.psd");
                ASSERT_TRUE(CELIO_PsdHandler().writeWithLayers(info, file, code, extras));
                const int depth = QByteArray(code).contains("DP") ? 16 : 8;
                const bool alpha = QByteArray(code).endsWith('4');
                // The composite: its colour, and its alpha where the layout lets
                // ImageMagick see it. ImageMagick then takes the colour of partly
                // transparent pixels as matted against white (and un-mattes it),
                // so only opaque pixels keep their colour there.
                const Values want = ours(file, QString(), depth), got = magick(file, 0, depth);
                ASSERT_EQ(got.size(), want.size());
                const int full = depth == 8 ? 255 : 32767;
                int opaque = 0;
                for (size_t k = 0; k < want.size(); k += 4) {
                    const bool seen = peer && alpha;
                    if (seen) {
                        ASSERT_EQ(got[k + 3], want[k + 3]) << "composite alpha at " << k / 4;
                    }
                    if (seen && want[k + 3] != full) continue;
                    ++opaque;
                    for (size_t c = 0; c < 3; ++c)
                        ASSERT_EQ(got[k + c], want[k + c]) << "composite at " << k / 4;
                }
                EXPECT_GT(opaque, 20);
                // Each layer, the hidden one composed as None. A layer's opacity
                // scales alpha as it is read, each reader rounding its own way.
                const QStringList paths = grouped ? QStringList{"Back", QString::fromUtf8("Grüppe:Tinté"),
                                                                QString::fromUtf8("Grüppe:Hidden")}
                                                  : QStringList{"Back", QString::fromUtf8("Tinté"), "Hidden"};
                for (int i = 0; i < 3; ++i) {
                    QString compose;
                    const Values theirs = magick(file, i + 1, depth, &compose),
                                 mine = ours(file, paths[i], depth);
                    ASSERT_EQ(theirs.size(), mine.size()) << "layer " << i;
                    const int slack = grouped && i == 1 ? full / 255 + 1 : 0;
                    for (size_t k = 0; k < mine.size(); ++k)
                        ASSERT_LE(std::abs(theirs[k] - mine[k]), k % 4 == 3 ? slack : 0)
                            << "layer " << i << " at " << k;
                    EXPECT_EQ(compose == "None", i == 2) << qPrintable(compose);
                }
            }
    // A flattened RGBA write keeps its alpha for ImageMagick in the peer layout.
    const QString file = dir.path("f.psd");
    const auto cel = celtest::celOf(disc(9, 7, 100));
    CELIO_PsdWriteExtras peer;
    peer.peerCompatible = true;
    ASSERT_TRUE(CELIO_PsdHandler().write(cel.get(), file, "PSD4", peer));
    const Values theirs = magick(file, 0, 8), mine = celtest::values(cel->findBestRepresentation().get());
    ASSERT_EQ(theirs.size(), mine.size());
    for (size_t k = 0; k < mine.size(); ++k)
        if (k % 4 == 3 || mine[k | 3] == 255) {
            EXPECT_EQ(theirs[k], mine[k]) << k;
        }
}

TEST(PsdWriteInterop, AgPsdReadsTheTree) {
    const QString module = agPsd();
    if (module.isEmpty()) GTEST_SKIP() << "ag-psd is not installed (npm)";
    celtest::TempDir dir;
    const QString script = dir.path("tree.js");
    ASSERT_TRUE(celtest::writeFile(
        script,
        "const fs = require('fs');\n"
        "const { readPsd, initializeCanvas } = require(process.env.AGPSD);\n"
        "initializeCanvas(() => { throw new Error('no canvas'); },\n"
        "  (w, h) => ({ width: w, height: h, data: new Uint8ClampedArray(w * h * 4) }));\n"
        "const psd = readPsd(fs.readFileSync(process.argv[2]), { useImageData: true });\n"
        "const tree = (l) => ({ name: l.name, hidden: !!l.hidden, blendMode: l.blendMode,\n"
        "  opacity: Math.round(l.opacity * 255), children: l.children ? l.children.map(tree) : undefined "
        "});\n"
        "console.log(JSON.stringify({ width: psd.width, children: (psd.children || []).map(tree) }));\n"));
    const auto read = [&](const QString& file) {
        const Ran r = run("node", {script, file}, {"AGPSD=" + module});
        EXPECT_EQ(r.exit, 0) << r.err.constData();
        return QJsonDocument::fromJson(r.out).object();
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
