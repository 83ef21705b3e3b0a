// `celtool filter --pan DX,DY[:MODE[,MODE]]`: the picture moved over its canvas
// by the padded sampler of algo/filters/Fourier.h (whole offsets copy pixels,
// fractional ones interpolate bilinearly).

#include <memory>

#include "FilterOps.h"
#include "algo/composite/CompositeDetail.h"
#include "algo/filters/Fourier.h"
#include "pixel/PixmapArea.h"

namespace celtool {

namespace {

struct PanParams {
    double dx = 0.0, dy = 0.0;
    CelAlgo::PaddingSettings padding;
};

bool parseMode(const QString& word, CelAlgo::PaddingMode& mode, QString& error) {
    if (word == QLatin1String("cycle"))
        mode = CelAlgo::PaddingMode::Cycle;
    else if (word == QLatin1String("mirror"))
        mode = CelAlgo::PaddingMode::Mirror;
    else if (word == QLatin1String("clear"))
        mode = CelAlgo::PaddingMode::None;
    else {
        error = QStringLiteral("--pan: unknown mode '%1' (cycle, mirror, clear)").arg(word);
        return false;
    }
    return true;
}

bool parsePan(const QString& arg, FilterParams& params, QString& error) {
    const qsizetype colon = arg.indexOf(QLatin1Char(':'));
    std::vector<double> offset;
    if (!parseNumberList(colon < 0 ? arg : arg.left(colon), "--pan", {2}, offset, error)) return false;
    PanParams p;
    p.dx = offset[0], p.dy = offset[1];
    if (colon >= 0) {
        const QStringList modes = arg.mid(colon + 1).split(QLatin1Char(','));
        if (modes.size() > 2) {
            error = QStringLiteral("--pan: one or two modes, not '%1'").arg(arg.mid(colon + 1));
            return false;
        }
        if (!parseMode(modes[0], p.padding.modeX, error)) return false;
        p.padding.modeY = p.padding.modeX;
        if (modes.size() == 2 && !parseMode(modes[1], p.padding.modeY, error)) return false;
    }
    params = p;
    return true;
}

bool applyPan(FilterPixmap& pixmap, const FilterParams& params, QString& error) {
    const auto p = std::any_cast<PanParams>(params);
    auto* area = static_cast<CEL_PixmapAreaRGBA16*>(pixmap.get());
    const Math::Box2di canvas = area->canvasRect();
    if (canvas.hasNullArea()) return true;
    // Both on the whole canvas, so that the padding rules wrap at its edges.
    std::unique_ptr<CEL_PixmapAreaRGBA16> src(area->clone());
    auto dst = std::make_unique<CEL_PixmapAreaRGBA16>(area->size(), canvas);
    if (!src->realloc(canvas, true) || !dst->realloc(canvas, false) || !src->data() || !dst->data()) {
        error = QStringLiteral("out of memory");
        return false;
    }
    CelAlgo::Interpolator sampler(dst.get(), src.get(), &p.padding);
    // The library's row passes: oneTBB, or plain threads under the thread sanitizer.
    CelAlgo::detail::parallelRows(0, canvas.h(), 16, canvas.w(), [&](int y1, int y2) {
        for (int y = y1; y != y2; ++y)
            for (int x = 0; x < canvas.w(); ++x) sampler.assign(x, y, x - p.dx, y - p.dy);
    });
    dst->setAllPositive(area->areAllPositive());
    pixmap.reset(dst.release());
    return true;
}

} // namespace

std::vector<FilterOp> panFilterOps() {
    return {
        FilterOp{"--pan", "DX,DY[:MODE[,MODE]]", "40.5,-20:cycle,clear",
                 "Move the picture by DX, DY over its canvas (fractions interpolate); what comes in at an "
                 "edge: cycle (wraps), mirror or clear (default), one MODE or one per axis.",
                 FilterInput::Area, parsePan, applyPan},
    };
}

} // namespace celtool
