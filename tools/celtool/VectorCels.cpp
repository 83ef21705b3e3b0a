#include "VectorCels.h"

#include <memory>

#include "CelFiles.h"
#include "Command.h"
#include "cel/Cel.h"
#include "cel/VectorQvd.h"
#include "celio/Handler.h"

namespace celtool {

namespace {

// The flattening tolerance of the optimised drawings the tool builds, in world
// units (0.07 pixels at 720 x 540).
constexpr float kOptimizedTolerance = 0.5f;

} // namespace

bool writesVectors(const CELIO_Handler& handler) {
    return handler.formatClass() == CELIO_VectorFormat;
}

void adoptVectorInput(CEL_Cel* cel, const QString& path, CelOrigin& origin) {
    if (!cel) return;
    const CEL_SharedPtr<CELVEC_Qvd> drawing = cel->findBestVectorRepresentation();
    const bool optimized = bool(cel->findRepresentation(CEL_Representation::VECTOR_OPTIMIZED));
    if (!drawing && !optimized) return;
    // Rendered, a drawing is an 8-bit RGBA picture of premultiplied colour.
    origin.shape = CELIO_Shape{4, false};
    origin.alpha = CELIO_Alpha::Premultiplied;
    if (drawing && path != QLatin1String("-") && !drawing->getDrawingColors())
        drawing->initDrawing(CELVEC_Qvd::getPaletteFromDrawingPath(path).get());
}

UT_SharedPtr<CEL_Cel> vectorOutput(CEL_Cel* cel, const CELIO_Handler& handler, const QString& shown) {
    const QString format = handler.getExtensions().value(0);
    const CEL_SharedPtr<CELVEC_Qvd> drawing = cel ? cel->findBestVectorRepresentation() : nullptr;
    const bool optimized = cel && cel->findRepresentation(CEL_Representation::VECTOR_OPTIMIZED);
    if (format == QLatin1String("QVXO")) {
        if (optimized) return UT_SharedPtr<CEL_Cel>(cel);
        if (drawing) {
            VS_Canvas canvas;
            canvas.resolution = drawing->resolution();
            const std::unique_ptr<CELVEC_OptimizedQvd> version(CELVEC_OptimizedQvd::buildOptimizedVersion(
                drawing.get(), &canvas, true, true, true, kOptimizedTolerance));
            const UT_SharedPtr<GR_OptimizedVectorDrawingObj> built =
                version ? version->optimizedDrawing() : UT_SharedPtr<GR_OptimizedVectorDrawingObj>();
            if (built) {
                UT_SharedPtr<CEL_Cel> out(new CEL_Cel(CEL_Representation::VECTOR_OPTIMIZED));
                out->addRepresentation(UT_SharedPtr<CEL_Representation>(new CELVEC_Qvdo(built)));
                return out;
            }
            error(QStringLiteral("%1: the optimised drawing could not be built").arg(shown));
            return {};
        }
    } else if (drawing) {
        return UT_SharedPtr<CEL_Cel>(cel);
    }
    error(
        QStringLiteral("%1: no vector drawing to write (%2 holds drawings, not pixels)").arg(shown, format));
    return {};
}

QString rasterRefusal(CEL_Cel* cel) {
    if (!cel || cel->findBestVectorRepresentation() || cel->findBestPixmapRepresentation()) return QString();
    if (cel->findRepresentation(CEL_Representation::VECTOR_OPTIMIZED))
        return QStringLiteral("an optimised drawing (QVXO) has no pixels; write it as QVXO");
    return QString();
}

} // namespace celtool
