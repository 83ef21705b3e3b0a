// The demo's compositing: the frame sequence laid over a generated backdrop
// with the premultiplied over, and a chart with one labelled tile per colour
// operation (a soft-edged, half-transparent coloured disc over a gradient), so
// every blend mode can be seen at a glance.
#include <QDir>
#include <algorithm>
#include <cmath>
#include <memory>

#include "CelFiles.h"
#include "Command.h"
#include "DemoText.h"
#include "algo/composite/AlgoException.h"
#include "algo/composite/Composite.h"
#include "cel/Cel.h"
#include "celio/Manager.h"
#include "pixel/PixmapArea.h"

namespace celtool {

namespace {

using Pixmap = CEL_PixmapAreaRGBA16;

std::unique_ptr<Pixmap> newPixmap(int w, int h) {
    auto p = std::make_unique<Pixmap>(w, h);
    if (!p->realloc(Math::Box2di(0, 0, w, h), false)) return nullptr;
    return p;
}

int16_t q(double v) {
    return int16_t(std::lround(std::clamp(v, 0.0, 1.0) * 32767.0));
}

// A diagonal colour gradient with a band of grey steps: gives every mode dark,
// light, saturated and neutral destination colours.
void drawBackdrop(Pixmap& p, int x0, int y0, int w, int h) {
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const double u = double(x) / std::max(1, w - 1), v = double(y) / std::max(1, h - 1);
            CEL_PixelRGBA16* px = p.pixel(x0 + x, y0 + y);
            if (v > 0.8) {
                const int16_t g = q(std::floor(u * 6.0) / 5.0);
                *px = CEL_PixelRGBA16{g, g, g, 32767};
            } else {
                *px = CEL_PixelRGBA16{q(u), q(0.25 + 0.5 * v), q(1.0 - u), 32767};
            }
        }
}

// A premultiplied disc: antialiased rim, alpha falling from 0.8 to 0.35.
void drawDisc(Pixmap& p, double cx, double cy, double radius, double r, double g, double b) {
    const Math::Box2di box = p.allocatedRect();
    for (int y = box.y1(); y < box.y2(); ++y)
        for (int x = box.x1(); x < box.x2(); ++x) {
            const double d = std::hypot(x + 0.5 - cx, y + 0.5 - cy);
            const double a = std::clamp(radius - d + 0.5, 0.0, 1.0) * (0.35 + 0.45 * (1.0 - d / radius));
            if (a <= 0.0) continue;
            *p.pixel(x, y) = CEL_PixelRGBA16{q(r * a), q(g * a), q(b * a), q(a)};
        }
}

bool writeArea(std::unique_ptr<Pixmap> p, const QString& path) {
    UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(CEL_Representation::PIXMAP_AREA_RGBA16));
    cel->addRepresentation(UT_SharedPtr<CEL_Representation>(p.release()));
    bool ok = false;
    try {
        ok = CELIO_Manager::getInstance()->write(cel.get(), path, QStringLiteral("PNG"),
                                                 QStringLiteral("PNG4"));
    } catch (int) {
    }
    if (!ok) error(QStringLiteral("cannot write %1").arg(path));
    return ok;
}

// Each TGA frame written by demoFrames, laid over the backdrop.
bool compositeFrames(const QString& outDir) {
    const QDir dir(outDir);
    const QStringList frames = dir.entryList({QStringLiteral("frame-*.tga")}, QDir::Files, QDir::Name);
    for (const QString& name : frames) {
        const UT_SharedPtr<CEL_Cel> cel = readCel(dir.filePath(name), QString(), QString());
        if (!cel) return false;
        const auto layer = UT_dynamicCast<Pixmap>(cel->convertTo(CEL_Representation::PIXMAP_AREA_RGBA16));
        if (!layer) return false;
        const int w = layer->width(), h = layer->height();
        auto base = newPixmap(w, h);
        if (!base) return false;
        drawBackdrop(*base, 0, 0, w, h);
        CelAlgo::composite(base.get(), layer.get(), CelAlgo::ADD_APPLY_SRC_ALPHA_INV,
                           CelAlgo::ADD_APPLY_SRC_ALPHA_INV);
        const QString out = dir.filePath(QString(name)
                                             .replace(QStringLiteral("frame-"), QStringLiteral("over-"))
                                             .replace(QStringLiteral(".tga"), QStringLiteral(".png")));
        if (!writeArea(std::move(base), out)) return false;
        print(QStringLiteral("composited %1 over the backdrop: %2").arg(name, out));
    }
    return !frames.isEmpty();
}

// One tile per colour operation the dispatcher accepts; the tile of a value it
// rejects is left out.
bool blendChart(const QString& outDir) {
    constexpr int tile = 112, label = 12, cols = 8;
    std::vector<int> ops;
    for (int op = 1; op < 70; ++op)
        if (*compositeOpName(op)) ops.push_back(op);
    const int rows = int(ops.size() + cols - 1) / cols;
    auto chart = newPixmap(cols * tile, rows * (tile + label));
    if (!chart) return false;
    std::fill(chart->data(), chart->data() + chart->allocatedRect().area(),
              CEL_PixelRGBA16{3000, 3000, 3000, 32767});
    int shown = 0;
    for (std::size_t i = 0; i < ops.size(); ++i) {
        const int op = ops[i];
        auto dst = newPixmap(tile, tile);
        auto src = newPixmap(tile, tile);
        if (!dst || !src) return false;
        drawBackdrop(*dst, 0, 0, tile, tile);
        std::fill(src->data(), src->data() + tile * tile, CEL_PixelRGBA16{0, 0, 0, 0});
        drawDisc(*src, tile * 0.5, tile * 0.45, tile * 0.38, 0.95, 0.45, 0.15);
        src->setAllPositive(true);
        // The blend-function family sets destination alpha itself.
        const auto alphaOp = op >= 44 ? CelAlgo::NONE : CelAlgo::ADD_APPLY_SRC_ALPHA_INV;
        try {
            CelAlgo::composite(dst.get(), src.get(), CelAlgo::GenericCompositeOp(op), alphaOp, 0.8);
        } catch (const CelAlgo::AlgoException&) {
            continue; // not a colour operation: no tile
        }
        const int tx = int(shown % cols) * tile, ty = int(shown / cols) * (tile + label);
        for (int y = 0; y < tile; ++y)
            for (int x = 0; x < tile; ++x)
                if (const CEL_PixelRGBA16* s = dst->pixel(x, y)) *chart->pixel(tx + x, ty + label + y) = *s;
        drawLabel(*chart, tx + 2, ty + 2, compositeOpName(op), (tile - 4) / 6);
        ++shown;
    }
    const QString path = QDir(outDir).filePath(QStringLiteral("blend-chart.png"));
    if (!writeArea(std::move(chart), path)) return false;
    print(QStringLiteral("wrote %1: %2 composite operations, one labelled tile each").arg(path).arg(shown));
    return shown > 0;
}

} // namespace

int demoComposite(const QString& outDir) {
    try {
        if (!compositeFrames(outDir) || !blendChart(outDir)) return kFailure;
    } catch (const CelAlgo::AlgoException& e) {
        error(e.what());
        return kFailure;
    }
    return kSuccess;
}

} // namespace celtool
