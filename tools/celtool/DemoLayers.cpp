// The demo's layered document: a small PSD built byte by byte (blend modes, a
// keyed group at half opacity, a pass-through group at half opacity, a hidden
// layer, a layer at half opacity), each of its layers read back on its own by
// its read path and drawn as a labelled tile over a checkerboard, then the
// composite stored in the file beside the flatten by blend modes and groups.
// The stored composite is the plain over of the visible layers, as a writer
// that knows no blend modes would store it.
#include <QDir>
#include <QFile>
#include <algorithm>
#include <array>
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
#include "tests/support/PsdBuilder.h"

namespace celtool {

namespace {

constexpr int kW = 144, kH = 96;

using Area = CEL_PixmapAreaRGBA16;

// Straight RGBA8 pixels of a w x h layer from a per-pixel colour function.
template <class F> std::vector<uint8_t> paint(int w, int h, F colour) {
    std::vector<uint8_t> px;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const std::array<double, 4> c = colour(x + 0.5, y + 0.5);
            for (const double v : c) px.push_back(uint8_t(std::lround(std::clamp(v, 0.0, 1.0) * 255)));
        }
    return px;
}

std::array<double, 4> disc(double x, double y, double cx, double cy, double r, std::array<double, 3> rgb) {
    const double a = std::clamp(r - std::hypot(x - cx, y - cy) + 0.5, 0.0, 1.0);
    return {rgb[0], rgb[1], rgb[2], a};
}

// Bottom to top, as the file lists them.
std::vector<psdbuild::Layer> sampleLayers() {
    using psdbuild::pixelLayer;
    std::vector<psdbuild::Layer> l;
    l.push_back(pixelLayer(
        "Paper", {0, 0, kW, kH},
        paint(kW, kH,
              [](double x, double y) {
                  return std::array<double, 4>{0.85 - 0.4 * y / kH, 0.75, 0.45 + 0.5 * x / kW, 1.0};
              }),
        1));
    psdbuild::Layer shadow = pixelLayer("Shadow", {20, 30, 80, 90},
                                        paint(60, 60,
                                              [](double x, double y) {
                                                  return disc(x, y, 30, 30, 28, {0.2, 0.1, 0.5});
                                              }),
                                        1);
    shadow.key = "mul ";
    l.push_back(shadow);
    psdbuild::Layer glow = pixelLayer("Glow", {64, 8, 124, 68},
                                      paint(60, 60,
                                            [](double x, double y) {
                                                return disc(x, y, 30, 30, 28, {1.0, 0.8, 0.2});
                                            }),
                                      1);
    glow.key = "scrn";
    l.push_back(glow);
    // A keyed group (overlay) at half opacity holding a wash.
    l.push_back(psdbuild::groupEnd());
    l.push_back(pixelLayer("Wash", {0, 50, kW, 80},
                           paint(kW, 30,
                                 [](double x, double) {
                                     return std::array<double, 4>{0.1, 0.3 + 0.5 * x / kW, 0.9, 1.0};
                                 }),
                           1));
    l.push_back(psdbuild::folder("Tint", "over", 128));
    // A pass-through group at half opacity holding two crossing strokes.
    l.push_back(psdbuild::groupEnd());
    l.push_back(pixelLayer("Line A", {10, 40, 134, 48},
                           paint(124, 8,
                                 [](double, double) {
                                     return std::array<double, 4>{0.05, 0.05, 0.1, 1.0};
                                 }),
                           1));
    l.push_back(pixelLayer("Line B", {96, 4, 104, 92},
                           paint(8, 88,
                                 [](double, double) {
                                     return std::array<double, 4>{0.6, 0.05, 0.1, 0.8};
                                 }),
                           1));
    l.push_back(psdbuild::folder("Lines", "pass", 128));
    psdbuild::Layer diff = pixelLayer("Diff", {104, 60, 136, 92},
                                      paint(32, 32,
                                            [](double, double) {
                                                return std::array<double, 4>{0.9, 0.9, 0.9, 1.0};
                                            }),
                                      1);
    diff.key = "diff";
    l.push_back(diff);
    psdbuild::Layer half = pixelLayer("Half", {6, 6, 46, 26},
                                      paint(40, 20,
                                            [](double, double) {
                                                return std::array<double, 4>{0.9, 0.1, 0.1, 1.0};
                                            }),
                                      1);
    half.opacity = 128;
    l.push_back(half);
    psdbuild::Layer hidden = pixelLayer("Hidden", {0, 0, kW, kH},
                                        paint(kW, kH,
                                              [](double, double) {
                                                  return std::array<double, 4>{0.0, 1.0, 0.0, 1.0};
                                              }),
                                        1);
    hidden.flags = 2;
    l.push_back(hidden);
    return l;
}

QByteArray build(const std::vector<psdbuild::Layer>& layers, const QByteArray& composite) {
    psdbuild::Document d;
    d.width = kW;
    d.height = kH;
    d.layers = layers;
    d.composite = composite;
    return psdbuild::build(d);
}

// The plain over of the visible layers, as three raw 8-bit planes.
QByteArray plainComposite(const QString& scratch, const std::vector<psdbuild::Layer>& layers) {
    std::vector<psdbuild::Layer> plain;
    for (psdbuild::Layer l : layers) {
        if (l.divider >= 0 || (l.flags & 2)) continue;
        l.key = "norm";
        plain.push_back(l);
    }
    if (!writeBytes(scratch, build(plain, QByteArray()))) return {};
    std::unique_ptr<Area> flat(CELIO_PsdHandler().flattenLayers(scratch, nullptr));
    QFile::remove(scratch);
    if (!flat) return {};
    QByteArray planes(kW * kH * 3, '\0');
    for (int c = 0; c < 3; ++c)
        for (int y = 0; y < kH; ++y)
            for (int x = 0; x < kW; ++x) {
                const CEL_PixelRGBA16* p = flat->pixel(x, y);
                const int16_t v = c == 0 ? p->r : c == 1 ? p->g : p->b;
                planes[(c * kH + y) * kW + x] = char(CEL_PixelRule::to8(v));
            }
    return planes;
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
    const QString file = dir.filePath(QStringLiteral("layers-sample.psd"));
    const std::vector<psdbuild::Layer> layers = sampleLayers();
    const QByteArray composite = plainComposite(dir.filePath(QStringLiteral("layers-plain.psd")), layers);
    if (composite.isEmpty() || !writeBytes(file, build(layers, composite))) {
        error(QStringLiteral("cannot write %1").arg(file));
        return kFailure;
    }

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
    print(QStringLiteral("wrote %1: %2 layers of %3 read one by one, the stored composite and the flatten")
              .arg(out)
              .arg(info.getLayerCount())
              .arg(file));
    return kSuccess;
}

} // namespace celtool
