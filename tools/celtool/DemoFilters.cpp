// The demo's transforms: a contact sheet of the frame sequence, and
// filters.png with one labelled tile per row of the filter table (the row's
// demo argument applied to one picture), so every operation, present and
// future, can be seen at a glance.
#include <QDir>
#include <algorithm>
#include <cmath>
#include <memory>

#include "CelFiles.h"
#include "Command.h"
#include "FilterOps.h"
#include "LabelFont.h"
#include "Thumbnails.h"
#include "algo/composite/AlgoException.h"
#include "algo/filters/Transform.h"
#include "cel/Cel.h"
#include "pixel/PixmapArea.h"
#include "pixel/PixmapCanvas.h"

namespace celtool {

namespace {

constexpr int kTileW = 160, kTileH = 120, kLabel = 12, kColumns = 4;

int16_t q(double v) {
    return int16_t(std::lround(std::clamp(v, 0.0, 1.0) * 32767.0));
}

// The picture every tile starts from: a shaded disc, a square in the top-left
// corner and a bar along the bottom (so that turns and mirrors show), on a
// transparent canvas.
std::unique_ptr<CEL_PixmapRGBA16> demoPicture() {
    auto p = std::make_unique<CEL_PixmapRGBA16>(kTileW, kTileH);
    for (int y = 0; y < kTileH; ++y)
        for (int x = 0; x < kTileW; ++x) {
            CEL_PixelRGBA16& px = *p->pixel(x, y);
            const double d = std::hypot(x + 0.5 - 84.0, y + 0.5 - 60.0);
            const double disc = std::clamp(44.5 - d, 0.0, 1.0);
            const double u = double(x) / kTileW, v = double(y) / kTileH;
            px = CEL_PixelRGBA16{q(disc * (0.95 - 0.4 * v)), q(disc * (0.3 + 0.5 * u)), q(disc * 0.2),
                                 q(disc)};
            if (x >= 12 && x < 44 && y >= 10 && y < 42)
                px = CEL_PixelRGBA16{q(0.15), q(0.35), q(0.9), q(1.0)};
            if (y >= 100 && y < 110 && x >= 20 && x < 140)
                px = CEL_PixelRGBA16{q(0.9), q(0.9), q(0.2), q(1.0)};
        }
    return p;
}

// Lays a result into a tile of the chart over a checkerboard, shrunk to the
// tile when it is larger, centred.
void placeTile(CEL_PixmapRGBA8& chart, int tx, int ty, const CEL_Pixmap& result) {
    FilterPixmap canvas(dynamic_cast<CEL_Pixmap*>(result.clone()));
    if (!convertFilterPixmap(canvas, FilterInput::Canvas)) return;
    const auto* c16 = static_cast<const CEL_PixmapRGBA16*>(canvas.get());
    std::unique_ptr<CEL_PixmapRGBA16> fitted;
    if (c16->width() > kTileW || c16->height() > kTileH) {
        const double f = std::min(double(kTileW) / c16->width(), double(kTileH) / c16->height());
        const auto w = unsigned(std::max(1.0, c16->width() * f)),
                   h = unsigned(std::max(1.0, c16->height() * f));
        fitted.reset(CelAlgo::scale(c16, w, h, -1, -1, -1, -1));
        c16 = fitted.get();
    }
    if (!c16->data()) return;
    const CEL_PixmapRGBA8 eight(*c16);
    const int ox = tx + (kTileW - eight.width()) / 2, oy = ty + (kTileH - eight.height()) / 2;
    for (int y = 0; y < eight.height(); ++y)
        for (int x = 0; x < eight.width(); ++x) {
            CEL_PixelRGBA8* d = chart.pixel(ox + x, oy + y);
            const CEL_PixelRGBA8& s = *eight.pixel(x, y);
            if (!d) continue;
            const int k = 255 - s.a;
            d->r = uint8_t(std::min(255, s.r + d->r * k / 255));
            d->g = uint8_t(std::min(255, s.g + d->g * k / 255));
            d->b = uint8_t(std::min(255, s.b + d->b * k / 255));
        }
}

void checkerboard(CEL_PixmapRGBA8& chart, int tx, int ty) {
    for (int y = 0; y < kTileH; ++y)
        for (int x = 0; x < kTileW; ++x) {
            const uint8_t v = ((x / 8 + y / 8) % 2) ? 150 : 110;
            if (CEL_PixelRGBA8* d = chart.pixel(tx + x, ty + y)) *d = CEL_PixelRGBA8{v, v, v, 255};
        }
}

int filtersChart(const QString& outDir) {
    const std::vector<FilterOp>& ops = filterOps();
    const int tiles = int(ops.size()) + 1;
    const int rows = (tiles + kColumns - 1) / kColumns;
    auto* chart = new CEL_PixmapRGBA8(kColumns * (kTileW + 4), rows * (kTileH + kLabel + 4));
    UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(CEL_Representation::PIXMAP_RGBA8));
    cel->addRepresentation(UT_SharedPtr<CEL_Representation>(chart));
    if (!chart->data()) return kFailure;
    std::fill(chart->data(), chart->data() + (long long)chart->width() * chart->height(),
              CEL_PixelRGBA8{32, 32, 32, 255});
    const std::unique_ptr<CEL_PixmapRGBA16> picture = demoPicture();
    int shown = 0;
    for (int i = 0; i < tiles; ++i) {
        const int tx = (i % kColumns) * (kTileW + 4) + 2, ty = (i / kColumns) * (kTileH + kLabel + 4) + 2;
        checkerboard(*chart, tx, ty + kLabel);
        FilterPixmap result(picture->clone());
        QString label = QStringLiteral("original");
        if (i > 0) {
            const FilterOp& op = ops[std::size_t(i - 1)];
            label = QStringLiteral("%1 %2")
                        .arg(QLatin1String(op.name).mid(2), QLatin1String(op.demoArg))
                        .trimmed();
            FilterParams params;
            QString message;
            bool ok =
                op.parse(QLatin1String(op.demoArg), params, message) && convertFilterPixmap(result, op.input);
            try {
                ok = ok && op.apply(result, params, message) && result;
            } catch (const CelAlgo::AlgoException& e) {
                message = e.what();
                ok = false;
            }
            if (!ok) {
                error(QStringLiteral("demo: %1 failed: %2").arg(label, message));
                return kFailure;
            }
        }
        placeTile(*chart, tx, ty + kLabel, *result);
        drawLabel(*chart, tx + 1, ty + 2, label, kTileW - 2, CEL_PixelRGBA8{235, 235, 235, 255});
        ++shown;
    }
    const QString path = QDir(outDir).filePath(QStringLiteral("filters.png"));
    if (writeCel(cel.get(), path, QStringLiteral("PNG"), QString()) != kSuccess) return kFailure;
    print(QStringLiteral("wrote %1: %2 filter operations, one labelled tile each").arg(path).arg(shown - 1));
    return kSuccess;
}

} // namespace

int demoFilters(const QString& outDir) {
    // The demo's contact sheet is filled by the background loader (demoLoader).
    return filtersChart(outDir);
}

} // namespace celtool
