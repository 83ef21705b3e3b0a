#include "algo/filters/SoftRenderer.h"

#include <algorithm>
#include <cmath>
#include <limits>

SR_Shader::~SR_Shader() = default;
SR_BitMapCursor::~SR_BitMapCursor() = default;

namespace SR_Scan {

namespace {

// floor into the int range (coordinates are finite here; the clamp
// keeps the conversion defined whatever they are).
int floorInt(double v) {
    v = std::floor(v);
    return v < -2e9 ? -2000000000 : (v > 2e9 ? 2000000000 : int(v));
}

// The x extent of the polygon within the band y0 <= y <= y1: the extent of
// every edge clipped to the band. False when the polygon misses the band.
bool bandExtent(const std::vector<Math::Point2d>& poly, double y0, double y1, double& xMin, double& xMax) {
    bool any = false;
    xMin = std::numeric_limits<double>::infinity();
    xMax = -xMin;
    const std::size_t n = poly.size();
    for (std::size_t i = 0; i < n; ++i) {
        Math::Point2d a = poly[i], b = poly[(i + 1) % n];
        if (a.y > b.y) std::swap(a, b);
        if (b.y < y0 || a.y > y1) continue;
        // The part of edge a-b inside the band.
        const auto xAt = [&](double y) {
            return b.y == a.y ? a.x : a.x + (b.x - a.x) * ((y - a.y) / (b.y - a.y));
        };
        const double ya = std::max(a.y, y0), yb = std::min(b.y, y1);
        const double xa = a.y >= y0 ? a.x : xAt(ya), xb = b.y <= y1 ? b.x : xAt(yb);
        xMin = std::min({xMin, xa, xb});
        xMax = std::max({xMax, xa, xb});
        any = true;
    }
    return any;
}

} // namespace

Math::Box2di polygonPixels(const std::vector<Math::Point2d>& polygon, const Math::Box2di& window) {
    if (polygon.size() < 3 || window.hasNullArea()) return {};
    double x1 = polygon[0].x, x2 = x1, y1 = polygon[0].y, y2 = y1;
    for (const Math::Point2d& p : polygon) {
        x1 = std::min(x1, p.x), x2 = std::max(x2, p.x);
        y1 = std::min(y1, p.y), y2 = std::max(y2, p.y);
    }
    const Math::Box2di box =
        Math::Box2di::fromCorners(floorInt(x1), floorInt(y1), floorInt(x2) + 1, floorInt(y2) + 1);
    return box.getIntersection(window);
}

void fillPolygon(const std::vector<Math::Point2d>& polygon, const Math::Box2di& window, int yBegin, int yEnd,
                 const SR_Shader& shader, SR_BitMapCursor& cursor) {
    const Math::Box2di box = polygonPixels(polygon, window);
    if (box.hasNullArea()) return;
    yBegin = std::max(yBegin, box.y1());
    yEnd = std::min(yEnd, box.y2());
    for (int y = yBegin; y < yEnd; ++y) {
        double xMin = 0.0, xMax = 0.0;
        if (!bandExtent(polygon, y, y + 1.0, xMin, xMax)) continue;
        const int x1 = std::max(box.x1(), floorInt(xMin)), x2 = std::min(box.x2(), floorInt(xMax) + 1);
        if (x2 <= x1) continue;
        cursor.moveTo(x1, y);
        SR_Color c;
        for (int x = x1; x < x2; ++x) {
            if (shader.shade(x, y, c))
                cursor.write(c);
            else
                cursor.skip(1);
        }
    }
}

void fillWindow(const Math::Box2di& window, int yBegin, int yEnd, const SR_Shader& shader,
                SR_BitMapCursor& cursor) {
    yBegin = std::max(yBegin, window.y1());
    yEnd = std::min(yEnd, window.y2());
    SR_Color c;
    for (int y = yBegin; y < yEnd; ++y) {
        cursor.moveTo(window.x1(), y);
        for (int x = window.x1(); x < window.x2(); ++x) {
            if (shader.shade(x, y, c))
                cursor.write(c);
            else
                cursor.skip(1);
        }
    }
}

} // namespace SR_Scan
