// The demo's burn-ins: a 960 x 540 frame (a drawing of sky, sun and ground)
// named like a shot's frame, with a line of text at each of the six places of
// the text window, laid on through the `filter --text` row itself (a boxed
// time code in mono, a slate line, the file's name and frame number), and the
// 80 % text window outlined: overlay.png.
#include <QDir>
#include <memory>

#include "CelFiles.h"
#include "Command.h"
#include "FilterOps.h"
#include "algo/composite/AlgoException.h"
#include "algo/filters/TextOverlay.h"
#include "base/VectorDrawing.h"
#include "cel/Cel.h"
#include "cel/VectorQvd.h"
#include "pixel/PixmapArea.h"

namespace celtool {

namespace {

GR_Path rectangle(double x1, double y1, double x2, double y2) {
    GR_Path p;
    p.moveTo(float(x1), float(y1));
    p.lineTo(float(x2), float(y1));
    p.lineTo(float(x2), float(y2));
    p.lineTo(float(x1), float(y2));
    p.close();
    return p;
}

GR_Path disc(float cx, float cy, float r) {
    constexpr float k = 0.5522847f;
    GR_Path p;
    p.moveTo(cx + r, cy);
    p.cubicTo(cx + r, cy + k * r, cx + k * r, cy + r, cx, cy + r);
    p.cubicTo(cx - k * r, cy + r, cx - r, cy + k * r, cx - r, cy);
    p.cubicTo(cx - r, cy - k * r, cx - k * r, cy - r, cx, cy - r);
    p.cubicTo(cx + k * r, cy - r, cx + r, cy - k * r, cx + r, cy);
    p.close();
    return p;
}

// The frame: its world box is 3750 tall and 3750 x 16 / 9 wide.
std::unique_ptr<CEL_PixmapAreaRGBA16> backdrop(int w, int h) {
    GR_CompositeVectorDrawingObj drawing;
    GR_DrawingAccess d(drawing);
    const double halfW = 1875.0 * w / h;
    const int under = d.CreateLayer(GR_UnderlayArtLayer), over = d.CreateLayer(GR_OverlayArtLayer);
    for (int band = 0; band < 8; ++band) // a sky darkening upwards; each band covers the next one's edge
        d.InsertFill(under, rectangle(-halfW, -1875 + band * 3750.0 / 8, halfW, 1875),
                     GR_ShapeColor{CM_ColorRGBA8{uint8_t(120 - band * 12), uint8_t(140 - band * 12),
                                                 uint8_t(190 - band * 10), 255},
                                   0});
    d.InsertFill(under, disc(1300, 600, 380), GR_ShapeColor{CM_ColorRGBA8{250, 200, 90, 255}, 0});
    d.InsertFill(under, rectangle(-halfW, -1875, halfW, -900),
                 GR_ShapeColor{CM_ColorRGBA8{70, 110, 60, 255}, 0});
    // The text window.
    const double hy = CelAlgo::textWindowHalfSizeY(1.0),
                 hx = CelAlgo::textWindowHalfSizeX(1.0, double(w) / h);
    d.InsertStroke(over, rectangle(-hx, -hy, hx, hy), GR_ShapeColor{CM_ColorRGBA8{255, 80, 80, 200}, 0},
                   10.0f);
    CELVEC_Qvd qvd;
    qvd.setResolution(w, h);
    return std::unique_ptr<CEL_PixmapAreaRGBA16>(qvd.softRenderBBox(&drawing));
}

} // namespace

int demoOverlay(const QString& outDir) {
    const int w = 960, h = 540;
    FilterPixmap pixmap(backdrop(w, h).release());
    const FilterOp* text = findFilterOp(QStringLiteral("--text"));
    if (!pixmap || !text) {
        error(QStringLiteral("overlay: no frame to draw on"));
        return kFailure;
    }
    // As `celtool filter` would see this frame.
    setFilterInputName(QStringLiteral("shots/sq03_sh010.0042.png"));
    const struct {
        const char* modifiers;
        const char* text;
    } lines[] = {
        {"pos=tl:percent=22:style=mono", "{file}"},
        {"pos=tc:percent=30:style=serif-bold:color=ffe8b0", "SQ03  SH010  take 3"},
        {"pos=tr:percent=10:color=ffffffa0", "v003"},
        {"pos=bl:percent=12:style=sans-bold:line=1", "frame {frame}"},
        {"pos=bc:percent=32:style=mono:box=000000b0:fps=24", "{timecode}"},
        {"pos=br:percent=12:color=ff6060:box=ffffffc0", "DRAFT"},
    };
    for (const auto& line : lines) {
        FilterParams params;
        QString message;
        bool ok =
            text->parseModifiers(QLatin1String(line.modifiers), QLatin1String(line.text), params, message);
        try {
            ok = ok && text->apply(pixmap, params, message);
        } catch (const CelAlgo::AlgoException& e) {
            ok = false;
            message = e.what();
        }
        if (!ok) {
            error(QStringLiteral("overlay: --text:%1 %2: %3")
                      .arg(QLatin1String(line.modifiers), QLatin1String(line.text), message));
            return kFailure;
        }
    }
    UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(pixmap->getFormat()));
    cel->addRepresentation(UT_SharedPtr<CEL_Representation>(pixmap.release()));
    const QString png = QDir(outDir).filePath(QStringLiteral("overlay.png"));
    if (writeCel(cel.get(), png, QStringLiteral("PNG"), QString()) != kSuccess) return kFailure;
    print(QStringLiteral("wrote %1: six burn-ins in the 80 % text window of a 960x540 frame").arg(png));
    return kSuccess;
}

} // namespace celtool
