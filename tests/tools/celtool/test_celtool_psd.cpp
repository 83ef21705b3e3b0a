// celtool on layered files: info --layers, dump --layer, flatten, stack.
#include <QJsonArray>
#include <gtest/gtest.h>
#include <memory>

#include "CeltoolTestUtil.h"
#include "celio/handlers/PsdHandler.h"
#include "pixel/PixmapArea.h"
#include "support/PsdBuilder.h"

namespace {

using celtest::celtool;
using celtest::ToolRun;

psdbuild::Layer solid(const QByteArray& name, std::vector<int> box, uint8_t v,
                      const QByteArray& key = "norm") {
    const int n = (box[2] - box[0]) * (box[3] - box[1]);
    std::vector<uint8_t> px;
    for (int i = 0; i < n; ++i) px.insert(px.end(), {v, v, v, 255});
    psdbuild::Layer l = psdbuild::pixelLayer(name, box, px, 1);
    l.key = key;
    return l;
}

// Bottom to top: Ink, group Ink { Ink, Ink (multiply) } at half opacity, "Top Coat" (dissolve).
QByteArray sample() {
    psdbuild::Document d;
    d.width = 4;
    d.height = 3;
    d.layers = {solid("Ink", {0, 0, 4, 3}, 200),      psdbuild::groupEnd(),
                solid("Ink", {1, 1, 3, 2}, 10),       solid("Ink", {0, 0, 2, 2}, 100, "mul "),
                psdbuild::folder("Ink", "norm", 128), solid("Top Coat", {3, 2, 4, 3}, 50, "diss")};
    return psdbuild::build(d);
}

} // namespace

TEST(CeltoolPsd, InfoLayersTreeAndJson) {
    celtest::TempDir dir;
    const QString psd = dir.path("s.psd"), png = dir.path("x.png");
    ASSERT_TRUE(celtest::writeFile(psd, sample()) && celtest::writeFile(png, QByteArray("\x89PNG....", 8)));

    ToolRun r = celtool({"info", "--layers", "--json", psd});
    ASSERT_EQ(r.exit, 0) << r.err.constData();
    const QJsonObject doc = celtest::jsonObject(r.out);
    EXPECT_EQ(doc["layerCount"].toInt(), 4);
    const QJsonObject base = doc["baseGroup"].toObject();
    const QJsonObject group = base["groups"].toArray()[0].toObject();
    EXPECT_EQ(group.keys(), (QStringList{"blendMode", "groups", "layers", "name", "opacity", "visible"}));
    EXPECT_EQ(group["opacity"].toDouble(), 0.5019608);
    // The tree numbers same-named siblings bottom first, the read path top first.
    const QJsonArray inner = group["layers"].toArray();
    ASSERT_EQ(inner.size(), 2);
    const QJsonObject lower = inner[0].toObject(), upper = inner[1].toObject();
    EXPECT_EQ(lower["path"].toString() + " " + lower["readPath"].toString(), "Ink:Ink Ink:Ink#2");
    EXPECT_EQ(upper["path"].toString() + " " + upper["readPath"].toString(), "Ink:Ink#2 Ink:Ink");
    EXPECT_EQ(upper["displayName"].toString(), "Ink#2");
    EXPECT_EQ(upper["groupPath"].toArray(), QJsonArray{"Ink"});
    // At the top level the folder counts among the bottom layer's siblings.
    EXPECT_EQ(base["layers"].toArray()[0].toObject()["readPath"].toString(), "Ink#2");
    EXPECT_EQ(base["layers"].toArray()[1].toObject()["name"].toString(), "Top_Coat");

    r = celtool({"info", "--layers", psd});
    for (const char* line :
         {"group Ink  opacity 0.5019608  norm", "    layer Ink#2  2x2  opacity 1  mul  read path Ink:Ink"})
        EXPECT_TRUE(r.out.contains(line)) << r.out.constData();
    r = celtool({"info", "--layers", png});
    EXPECT_TRUE(r.exit == 1 && r.err.contains("not a PSD or PSB file"));
}

TEST(CeltoolPsd, DumpLayerAndFlatten) {
    celtest::TempDir dir;
    const QString psd = dir.path("s.psd"), raw = dir.path("l.raw"), raw16 = dir.path("f.raw"),
                  out = dir.path("f.png");
    ASSERT_TRUE(celtest::writeFile(psd, sample()));

    // A layer comes out document-size, where it lies.
    ToolRun r = celtool({"dump", "--layer", "Ink:Ink#2", psd, raw});
    ASSERT_EQ(r.exit, 0) << r.err.constData();
    EXPECT_EQ(r.out.trimmed(), "4x3");
    const QByteArray px = celtest::readFile(raw);
    EXPECT_EQ(px.left(4 * 4 + 12),
              QByteArray(20, '\0') + QByteArray("\x0a\x0a\x0a\xff\x0a\x0a\x0a\xff", 8)); // row 1, x 1..2
    // The same from standard input.
    EXPECT_EQ(celtool({"dump", "--format", "psd", "--layer", "Ink:Ink#2", "-", "-"}, sample()).out, px);

    // Flatten: what the library gives, and the warning for the unsupported key.
    r = celtool({"flatten", "--raw16", raw16, psd, out});
    ASSERT_EQ(r.exit, 0) << r.err.constData();
    EXPECT_TRUE(r.err.contains("Top_Coat") && r.err.contains("diss")) << r.err.constData();
    std::unique_ptr<CEL_PixmapAreaRGBA16> want(CELIO_PsdHandler().flattenLayers(psd, nullptr));
    ASSERT_TRUE(want);
    EXPECT_EQ(celtest::readFile(raw16), QByteArray(reinterpret_cast<const char*>(want->data()), 4 * 3 * 8));

    // A colour mode the reader refuses: its own words, exit 1.
    QByteArray cmyk = sample();
    cmyk[25] = 4;
    ASSERT_TRUE(celtest::writeFile(psd, cmyk));
    for (const QStringList& args : {QStringList{"dump", "--layer", "Ink", psd, raw}, {"flatten", psd, out}}) {
        r = celtool(args);
        EXPECT_TRUE(r.exit == 1 &&
                    r.err.contains(
                        "Unsupported PSD mode, supported modes are RGB, Grayscale, Bitmap and Multichannel"))
            << r.err.constData();
    }
}

TEST(CeltoolPsd, ConvertStackAndAllLayers) {
    celtest::TempDir dir;
    const QString psd = dir.path("s.psd"), png = dir.path("a.png"), tga = dir.path("b.tga"),
                  out = dir.path("o.psd"), copy = dir.path("c.psb");
    ASSERT_TRUE(celtest::writeFile(psd, sample()));
    // Straight RGBA pictures to stack: two flattens of the sample document.
    ASSERT_EQ(celtool({"flatten", psd, png}).exit, 0);
    ASSERT_EQ(celtool({"convert", "--layer", "Ink#2", psd, tga}).exit, 0);

    // A flattened write keeps the picture.
    ASSERT_EQ(celtool({"convert", png, out}).exit, 0);
    EXPECT_EQ(celtool({"compare", png, out}).exit, 0);

    // stack: per-layer options apply to the next file; the composite is the flatten.
    ToolRun r = celtool({"stack", "--keep-properties", "-o", out, png, "--blend", "mul", "--opacity", "0.5",
                         "--name", "Shade", tga, "--hidden", png});
    ASSERT_EQ(r.exit, 0) << r.err.constData();
    r = celtool({"info", "--layers", out});
    for (const char* line : {"layer a  4x3  opacity 1  norm", "layer Shade  4x3  opacity 0.5019608  mul",
                             "layer a#2  4x3  opacity 1  norm  hidden"})
        EXPECT_TRUE(r.out.contains(line)) << r.out.constData();
    const QString flatPng = dir.path("f.png");
    ASSERT_EQ(celtool({"flatten", out, flatPng}).exit, 0);
    EXPECT_EQ(celtool({"compare", "--threshold", "130", flatPng, out}).exit, 0);

    // Without --keep-properties the key is lost, and said so.
    r = celtool({"stack", "-o", out, png, "--blend", "scrn", tga});
    EXPECT_EQ(r.exit, 0);
    EXPECT_TRUE(r.err.contains("--keep-properties stores it")) << r.err.constData();

    // convert --all-layers: the tree comes back, as PSB too.
    r = celtool({"convert", "--all-layers", "--keep-properties", "--peer-compatible", psd, copy});
    ASSERT_EQ(r.exit, 0) << r.err.constData();
    const QByteArray a = celtool({"info", "--layers", "--json", psd}).out,
                     b = celtool({"info", "--layers", "--json", copy}).out;
    EXPECT_EQ(celtest::jsonObject(a)["baseGroup"], celtest::jsonObject(b)["baseGroup"]);
    EXPECT_TRUE(celtool({"compare", psd, copy}).exit == 0 && celtool({"info", copy}).out.contains("PSB"));

    // Usage errors. (A failed write goes the way of every output: CeltoolFiles.HonestExits.)
    for (const QStringList& args :
         celtest::argLists("stack -o OUT PNG --blend nope TGA|stack -o OUT PNG --name x|stack -o O.PNG PNG|"
                           "convert --all-layers PSD O.TGA|convert --keep-properties PSD OUT",
                           {{"OUT", out},
                            {"PNG", png},
                            {"TGA", tga},
                            {"PSD", psd},
                            {"O.PNG", dir.path("o.png")},
                            {"O.TGA", dir.path("o.tga")}}))
        EXPECT_EQ(celtool(args).exit, 2) << qPrintable(args.join(' '));
}
