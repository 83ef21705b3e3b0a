#pragma once
// Projection helpers of the software renderer: the projection of the plane
// z = 0 (where pictures live) through a 4 x 4 matrix, and closed polygons in
// homogeneous coordinates with clipping against the canonical view volume.
//
// Contract of PlaneProjection: a plane point (x, y) goes to
//   (X, Y, W) = (m00 x + m01 y + m03, m10 x + m11 y + m13, m30 x + m31 y + m33)
// and is visible at (X / W, Y / W) when W > 0 (in front of the eye). Depth
// (row 2) plays no part. The inverse takes an image point back to the plane
// point that projects onto it; it fails when the plane is seen edge-on (the
// 3 x 3 map is singular) or when that plane point lies behind the eye.

#include <vector>

#include "base/MathTypes.h"
#include "celcore_export.h"

namespace Math {

class CELCORE_EXPORT PlaneProjection {
public:
    explicit PlaneProjection(const Matrix4x4& m);

    // False when the 3 x 3 map of the plane is singular or not finite.
    bool isInvertible() const { return m_invertible; }
    // The image of a plane point; false when it lies behind the eye (W <= 0).
    bool getProjection(const Point2d& plane, Point2d& image) const;
    // The plane point that projects onto an image point; false when there is none.
    bool getInverseProjection(const Point2d& image, Point2d& plane) const;

private:
    double m_h[3][3];   // the plane's map, rows x, y, w
    double m_inv[3][3]; // its adjugate (an inverse up to a factor)
    bool m_invertible = false;
};

// A closed polygon of homogeneous points (x, y, z, w).
class CELCORE_EXPORT Polyline4d {
public:
    Polyline4d() = default;
    explicit Polyline4d(std::vector<Point4d> points) : m_points(std::move(points)) {}

    const std::vector<Point4d>& points() const { return m_points; }
    bool isEmpty() const { return m_points.size() < 3; }
    void add(const Point4d& p) { m_points.push_back(p); }

    // Every point multiplied by m (column vectors).
    void transform(const Matrix4x4& m);
    // Keeps the part inside the canonical view volume -w <= x, y, z <= w with
    // w > 0 (Sutherland-Hodgman, one plane at a time). A convex polygon stays
    // convex. False when nothing remains (the polygon is then empty).
    bool clip();
    // The points divided by w, (x / w, y / w); call after clip().
    std::vector<Point2d> projected() const;
    // The smallest box holding the points divided by w; false (both left
    // unchanged) when there is no point. Call after clip().
    bool box3d(Point3d& min, Point3d& max) const;

private:
    std::vector<Point4d> m_points;
};

} // namespace Math
