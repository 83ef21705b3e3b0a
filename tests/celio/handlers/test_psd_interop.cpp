// PSD and PSB files written by ImageMagick (skipped without `convert`): the
// composite and every layer read here equal ImageMagick's own decoding where
// it is not transparent, and flattening the layers gives the merged image
// ImageMagick composed with the same blend modes.
#include <gtest/gtest.h>

#include "HandlerTestUtil.h"
#include "cel/Context.h"
#include "celio/LayerInfo.h"
#include "celio/handlers/PsdHandler.h"
#include "pixel/PixmapArea.h"
#include "support/TestSupport.h"

namespace {

using celtest::Values;

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
    QString label;
};
Decoded imageMagick(const QString& file, int i, int depth, int docW, int docH) {
    const QString image = QStringLiteral("%1[%2]").arg(file).arg(i);
    const QStringList geometry =
        QString::fromUtf8(run(QStringLiteral("identify"), {"-format", "%w %h %X %Y|%[label]", image}))
            .split('|');
    const QStringList g = geometry.value(0).split(' ');
    const int w = g.value(0).toInt(), h = g.value(1).toInt(), x0 = g.value(2).toInt(),
              y0 = g.value(3).toInt();
    const Values raw = celtest::magickSamples(image, depth);
    Decoded d{Values(size_t(docW) * docH * 4, 0), geometry.value(1)};
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
