#pragma once
// Small drawings for the vector tests.

#include <cmath>
#include <random>

#include "base/VectorDrawing.h"

namespace vectortest {

inline GR_ShapeColor colour(uint8_t r, uint8_t g, uint8_t b, uint8_t a = 255, uint64_t id = 0) {
    return GR_ShapeColor{CM_ColorRGBA8{r, g, b, a}, id};
}

inline GR_Path rect(float x1, float y1, float x2, float y2) {
    GR_Path p;
    p.moveTo(x1, y1);
    p.lineTo(x2, y1);
    p.lineTo(x2, y2);
    p.lineTo(x1, y2);
    p.close();
    return p;
}

inline GR_Path ellipse(float cx, float cy, float rx, float ry) {
    constexpr float k = 0.5522847f;
    GR_Path p;
    p.moveTo(cx + rx, cy);
    p.cubicTo(cx + rx, cy + k * ry, cx + k * rx, cy + ry, cx, cy + ry);
    p.cubicTo(cx - k * rx, cy + ry, cx - rx, cy + k * ry, cx - rx, cy);
    p.cubicTo(cx - rx, cy - k * ry, cx - k * rx, cy - ry, cx, cy - ry);
    p.cubicTo(cx + k * rx, cy - ry, cx + rx, cy - k * ry, cx + rx, cy);
    p.close();
    return p;
}

// A busy drawing in world units of the 720 x 540 domain (x +-2500, y +-1875):
// translucent filled and outlined blobs in colour art, open ink strokes in
// line art, a few overlay and underlay shapes; seeded.
inline void busyDrawing(GR_CompositeVectorDrawingObj& drawing, int blobs, int strokes, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    GR_DrawingAccess d(drawing);
    const int under = d.CreateLayer(GR_UnderlayArtLayer), fills = d.CreateLayer(GR_ColorArtLayer),
              lines = d.CreateLayer(GR_LineArtLayer), over = d.CreateLayer(1000);
    d.InsertFill(under, rect(-2400, -1800, 2400, -1200), colour(90, 140, 200, 160));
    for (int i = 0; i < blobs; ++i) {
        const double cx = (u(rng) - 0.5) * 4800, cy = (u(rng) - 0.5) * 3600, r = 80 + 400 * u(rng);
        GR_Path p;
        const int n = 8;
        const auto at = [&](double a, double rr) {
            return GR_Point{float(cx + rr * std::cos(a)), float(cy + rr * std::sin(a))};
        };
        const GR_Point start = at(0, r);
        p.moveTo(start.x, start.y);
        for (int k = 0; k < n; ++k) {
            const double a0 = 2 * M_PI * k / n, a1 = 2 * M_PI * (k + 1) / n;
            const GR_Point c1 = at(a0 + (a1 - a0) / 3, r * (0.8 + 0.4 * u(rng)));
            const GR_Point c2 = at(a0 + 2 * (a1 - a0) / 3, r * (0.8 + 0.4 * u(rng)));
            const GR_Point e = k == n - 1 ? start : at(a1, r * (0.9 + 0.2 * u(rng)));
            p.cubicTo(c1.x, c1.y, c2.x, c2.y, e.x, e.y);
        }
        p.close();
        GR_Shape s;
        s.flags = GR_Shape::Fill | GR_Shape::Stroke;
        s.fill = colour(uint8_t(rng()), uint8_t(rng()), uint8_t(rng()), uint8_t(100 + rng() % 156));
        s.stroke = colour(20, 20, 30);
        s.width = float(10 + 30 * u(rng));
        s.path = p;
        d.InsertShape(fills, s);
    }
    for (int i = 0; i < strokes; ++i) {
        double x = (u(rng) - 0.5) * 4800, y = (u(rng) - 0.5) * 3600;
        GR_Path p;
        p.moveTo(float(x), float(y));
        for (int k = 0; k < 4; ++k) {
            const double dx = (u(rng) - 0.5) * 500, dy = (u(rng) - 0.5) * 500;
            p.cubicTo(float(x + dx * 0.3), float(y + dy * 0.1), float(x + dx * 0.7), float(y + dy * 0.9),
                      float(x + dx), float(y + dy));
            x += dx, y += dy;
        }
        d.InsertStroke(lines, p, colour(30, 25, 40, uint8_t(150 + rng() % 106)), float(5 + 40 * u(rng)));
    }
    d.InsertStroke(over, ellipse(0, 0, 1500, 1000), colour(255, 255, 255, 120), 60);
}

} // namespace vectortest
