// The demo's layered document, layers.psd: the demo's frames (read back from
// their TGA files) in two groups, a paper backdrop, a multiply layer at 60 %
// and a hidden one, written with blend keys and opacity kept in a layout
// other programs read; its composite is the flatten of the tree. Then each
// layer is read back on its own by its read path and drawn as a labelled tile
// over a checkerboard, followed by the stored composite and the flatten of
// the file.
#include <QDir>
#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "CelFiles.h"
#include "Command.h"
#include "DemoSheets.h"
#include "cel/Cel.h"
#include "cel/Context.h"
#include "celio/LayerInfo.h"
#include "celio/handlers/PsdHandler.h"
#include "pixel/PixmapArea.h"
#include "pixel/PixmapCanvas.h"

namespace celtool {

namespace {

constexpr int kW = 160, kH = 96;

using Area = CEL_PixmapAreaRGBA16;
using Rep = UT_SharedPtr<CEL_Representation>;

// Straight RGBA8 pixels from a per-pixel colour function (components 0 to 1).
template <class F> Rep paint(F colour) {
    auto* p = new CEL_PixmapRGBA8(kW, kH);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            double c[4];
            colour(x + 0.5, y + 0.5, c);
            const auto b = [&c](int i) { return uint8_t(std::lround(std::clamp(c[i], 0.0, 1.0) * 255)); };
            *p->pixel(x, y) = CEL_PixelRGBA8{b(0), b(1), b(2), b(3)};
        }
    return Rep(p);
}

CELIO_Layer layer(const QString& name, Rep image, int index, int blend = 1, float opacity = 1.0f,
                  bool visible = true) {
    CELIO_Layer l;
    l.name = name;
    l.representation = image;
    l.recordIndex = index;
    l.blendMode = blend;
    l.opacity = opacity;
    l.visible = visible;
    return l;
}

// The tree, numbered as the file lists it (bottom first): Paper; group
// "Frames A" (pass-through) with frames 1-3; group "Frames B" (screen at 80 %)
// with frames 4-6; Shadow (multiply, 60 %); Hidden. Null image: a frame
// that could not be read.
bool sampleTree(const QString& outDir, CELIO_LayerInfo& info) {
    info.getComposite().width = kW;
    info.getComposite().height = kH;
    CELIO_LayerGroup& root = info.getBaseGroup();
    root.layers.push_back(layer(QStringLiteral("Paper"), paint([](double x, double y, double* c) {
                                    c[0] = 0.93 - 0.25 * y / kH, c[1] = 0.9, c[2] = 0.78 + 0.2 * x / kW,
                                    c[3] = 1;
                                }),
                                1));
    int index = 2;
    for (int g = 0; g < 2; ++g) {
        CELIO_LayerGroup group(index++);
        group.name = g == 0 ? QStringLiteral("Frames A") : QStringLiteral("Frames B");
        group.blendMode = g == 0 ? 0 : 9;
        group.opacity = g == 0 ? 1.0f : 0.8f;
        for (int f = g * 3; f < g * 3 + 3; ++f) {
            const QString file =
                QDir(outDir).filePath(QStringLiteral("frame-%1.tga").arg(f + 1, 4, 10, QLatin1Char('0')));
            const UT_SharedPtr<CEL_Cel> cel = readCel(file);
            if (!cel) return false;
            group.layers.push_back(layer(QStringLiteral("Frame %1").arg(f + 1),
                                         layerImage(cel.get(), QStringLiteral("PSD4"), false), index++));
        }
        ++index; // the folder record
        root.groups.push_back(group);
    }
    root.layers.push_back(layer(QStringLiteral("Shadow"), paint([](double x, double y, double* c) {
                                    const double d = std::hypot((x - 96) / 70, (y - 70) / 22);
                                    c[0] = 0.25, c[1] = 0.2, c[2] = 0.45,
                                    c[3] = std::clamp(1.6 - 1.6 * d, 0.0, 1.0);
                                }),
                                index++, 4, 0.6f));
    root.layers.push_back(layer(QStringLiteral("Hidden"), paint([](double, double y, double* c) {
                                    c[0] = 0, c[1] = 0.8, c[2] = 0.2, c[3] = y < kH / 2 ? 1 : 0;
                                }),
                                index++, 1, 1.0f, false));
    info.update();
    return true;
}

// Premultiplied pixels of a document-size image laid over a checkerboard at (x0, y0).
void drawTile(Area& sheet, const Area& image, int x0, int y0) {
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            const int16_t g = ((x / 8 + y / 8) & 1) ? 26000 : 19000;
            CEL_PixelRGBA16 under{g, g, g, 32767};
            if (const CEL_PixelRGBA16* p = image.pixel(x, y)) under = under % *p;
            *sheet.pixel(x0 + x, y0 + y) = under;
        }
}

QString keyText(int code) {
    const uint32_t key = CELIO_PsdHandler::blendKeyOfCode(code);
    QString s;
    for (int shift = 24; key && shift >= 0; shift -= 8) s += QLatin1Char(char((key >> shift) & 0xFF));
    return s.trimmed();
}

} // namespace

int demoLayers(const QString& outDir) {
    const QDir dir(outDir);
    const QString file = dir.filePath(QStringLiteral("layers.psd"));
    CELIO_LayerInfo tree;
    if (!sampleTree(outDir, tree)) return kFailure;
    std::unique_ptr<Area> flat(CELIO_PsdHandler::flattenLayers(tree, nullptr));
    if (!flat) return kFailure;
    const UT_SharedPtr<CEL_Cel> composite =
        celOf(std::move(flat), CelOrigin{{4, false}, CELIO_Alpha::Premultiplied, QStringLiteral("PSD")});
    tree.getComposite().representation = layerImage(composite.get(), QStringLiteral("PSD4"), false);
    LayeredWriteOptions options;
    options.code = QStringLiteral("PSD4");
    options.keepProperties = true;
    options.peerCompatible = true;
    if (writeLayers(tree, file, options) != kSuccess) return kFailure;
    print(QStringLiteral("wrote %1: %2 layers in two groups, blend keys and opacity kept")
              .arg(file)
              .arg(tree.getLayerCount()));

    const CELIO_PsdHandler psd;
    CELIO_LayerInfo info;
    std::vector<QString> readPaths;
    if (psd.readLayerInfo(file, info) != CELIO_STATE_OK ||
        psd.readLayerPaths(file, readPaths) != CELIO_STATE_OK) {
        error(QStringLiteral("cannot read the layers of %1").arg(file));
        return kFailure;
    }

    // Tiles: every layer in file order, then the stored composite and the flatten.
    struct Tile {
        std::unique_ptr<Area> image;
        QString label;
    };
    std::vector<Tile> tiles;
    for (CELIO_LayerInfo::Iterator it(info); !it.end(); ++it) {
        const QString path = readPaths.at(size_t(it->recordIndex - 1));
        const CEL_Context d;
        const CEL_Context context(d.isColorRecovery(), d.isDelayedColorRecovery(), d.useElementPaletteList(),
                                  nullptr, 0, path, 1.0);
        CELIO_RepresentationList list;
        if (!psd.read(file, context, list)) {
            error(QStringLiteral("cannot read layer %1").arg(path));
            return kFailure;
        }
        std::unique_ptr<Area> image(static_cast<Area*>(list.front()->clone()));
        image->multiplyColorByAlpha();
        QString label = path + QLatin1Char(' ') + keyText(it->blendMode);
        if (!it->visible) label += QStringLiteral(" hidden");
        if (it->opacity < 1.0f) label += QStringLiteral(" %1").arg(std::lround(it->opacity * 100));
        tiles.push_back({std::move(image), label});
    }
    CELIO_RepresentationList stored;
    if (!psd.read(file, CEL_Context(), stored)) return kFailure;
    tiles.push_back({std::unique_ptr<Area>(dynamic_cast<Area*>(
                         stored.front()->convertTo(CEL_Representation::PIXMAP_AREA_RGBA16))),
                     QStringLiteral("stored composite")});
    QStringList warnings;
    tiles.push_back({std::unique_ptr<Area>(psd.flattenLayers(file, &warnings)), QStringLiteral("flatten")});
    for (const Tile& t : tiles)
        if (!t.image) return kFailure;

    constexpr int label = 12, gap = 4, cols = 4;
    const int rows = int(tiles.size() + cols - 1) / cols;
    auto sheet = std::make_unique<Area>(cols * (kW + gap) + gap, rows * (kH + label + gap) + gap);
    if (!sheet->realloc(sheet->canvasRect(), false)) return kFailure;
    std::fill(sheet->data(), sheet->data() + sheet->allocatedArea(),
              CEL_PixelRGBA16{2500, 2500, 2500, 32767});
    for (size_t i = 0; i < tiles.size(); ++i) {
        const int x0 = gap + int(i % cols) * (kW + gap), y0 = gap + int(i / cols) * (kH + label + gap);
        drawText(*sheet, x0, y0 + 2, tiles[i].label.left(kW / 6).toStdString());
        drawTile(*sheet, *tiles[i].image, x0, y0 + label);
    }
    UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(CEL_Representation::PIXMAP_AREA_RGBA16));
    cel->addRepresentation(UT_SharedPtr<CEL_Representation>(sheet.release()));
    const QString out = dir.filePath(QStringLiteral("layers-sheet.png"));
    if (writeCel(cel.get(), out, QStringLiteral("png"), QStringLiteral("PNG4")) != kSuccess) return kFailure;
    print(
        QStringLiteral("wrote %1: the %2 layers of %3 read one by one, the stored composite and the flatten")
            .arg(out)
            .arg(info.getLayerCount())
            .arg(file));
    return kSuccess;
}

} // namespace celtool
