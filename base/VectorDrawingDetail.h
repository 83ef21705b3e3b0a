#pragma once
// Qt painter paths of the drawing objects, shared by the renderer and the
// optimised-drawing builder.

#include <QPainterPath>
#include <QPainterPathStroker>

#include "base/VectorDrawing.h"

namespace GR_Detail {

// The path as Qt draws it (world units, nonzero fill). The path must be valid.
inline QPainterPath painterPath(const GR_Path& path) {
    QPainterPath out;
    out.setFillRule(Qt::WindingFill);
    const std::vector<GR_Point>& p = path.points();
    std::size_t i = 0;
    for (uint8_t verb : path.verbs()) {
        switch (verb) {
        case GR_Path::Move:
            out.moveTo(p[i].x, p[i].y);
            i += 1;
            break;
        case GR_Path::Line:
            out.lineTo(p[i].x, p[i].y);
            i += 1;
            break;
        case GR_Path::Quad:
            out.quadTo(p[i].x, p[i].y, p[i + 1].x, p[i + 1].y);
            i += 2;
            break;
        case GR_Path::Cubic:
            out.cubicTo(p[i].x, p[i].y, p[i + 1].x, p[i + 1].y, p[i + 2].x, p[i + 2].y);
            i += 3;
            break;
        default:
            out.closeSubpath();
            break;
        }
    }
    return out;
}

// The outline of a stroke of the given width with round caps and joins,
// curves followed within `threshold` (path units). Filled by the nonzero rule.
inline QPainterPath strokeOutline(const QPainterPath& path, double width, double threshold) {
    QPainterPathStroker stroker;
    stroker.setWidth(width);
    stroker.setCapStyle(Qt::RoundCap);
    stroker.setJoinStyle(Qt::RoundJoin);
    stroker.setCurveThreshold(threshold);
    QPainterPath outline = stroker.createStroke(path);
    outline.setFillRule(Qt::WindingFill);
    return outline;
}

} // namespace GR_Detail
