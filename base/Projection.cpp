#include "base/Projection.h"

#include <algorithm>
#include <cmath>

namespace Math {

PlaneProjection::PlaneProjection(const Matrix4x4& m) {
    const int rows[3] = {0, 1, 3}, cols[3] = {0, 1, 3};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) m_h[r][c] = m(rows[r], cols[c]);
    const auto& h = m_h;
    // Adjugate: the inverse times the determinant. The factor cancels in the
    // division by the homogeneous coordinate.
    m_inv[0][0] = h[1][1] * h[2][2] - h[1][2] * h[2][1];
    m_inv[0][1] = h[0][2] * h[2][1] - h[0][1] * h[2][2];
    m_inv[0][2] = h[0][1] * h[1][2] - h[0][2] * h[1][1];
    m_inv[1][0] = h[1][2] * h[2][0] - h[1][0] * h[2][2];
    m_inv[1][1] = h[0][0] * h[2][2] - h[0][2] * h[2][0];
    m_inv[1][2] = h[0][2] * h[1][0] - h[0][0] * h[1][2];
    m_inv[2][0] = h[1][0] * h[2][1] - h[1][1] * h[2][0];
    m_inv[2][1] = h[0][1] * h[2][0] - h[0][0] * h[2][1];
    m_inv[2][2] = h[0][0] * h[1][1] - h[0][1] * h[1][0];
    const double det = h[0][0] * m_inv[0][0] + h[0][1] * m_inv[1][0] + h[0][2] * m_inv[2][0];
    m_invertible = det != 0.0 && std::isfinite(det);
}

bool PlaneProjection::getProjection(const Point2d& p, Point2d& image) const {
    const double w = m_h[2][0] * p.x + m_h[2][1] * p.y + m_h[2][2];
    if (!(w > 0.0)) return false;
    image = {(m_h[0][0] * p.x + m_h[0][1] * p.y + m_h[0][2]) / w,
             (m_h[1][0] * p.x + m_h[1][1] * p.y + m_h[1][2]) / w};
    return std::isfinite(image.x) && std::isfinite(image.y);
}

bool PlaneProjection::getInverseProjection(const Point2d& image, Point2d& plane) const {
    if (!m_invertible) return false;
    const double x = m_inv[0][0] * image.x + m_inv[0][1] * image.y + m_inv[0][2];
    const double y = m_inv[1][0] * image.x + m_inv[1][1] * image.y + m_inv[1][2];
    const double w = m_inv[2][0] * image.x + m_inv[2][1] * image.y + m_inv[2][2];
    if (w == 0.0) return false;
    const Point2d p{x / w, y / w};
    if (!std::isfinite(p.x) || !std::isfinite(p.y)) return false;
    // The ray through the image point meets the plane behind the eye.
    if (!(m_h[2][0] * p.x + m_h[2][1] * p.y + m_h[2][2] > 0.0)) return false;
    plane = p;
    return true;
}

void Polyline4d::transform(const Matrix4x4& m) {
    for (Point4d& p : m_points) {
        const double v[4] = {p.x, p.y, p.z, p.w};
        double out[4];
        for (int r = 0; r < 4; ++r)
            out[r] = m(r, 0) * v[0] + m(r, 1) * v[1] + m(r, 2) * v[2] + m(r, 3) * v[3];
        p = {out[0], out[1], out[2], out[3]};
    }
}

namespace {

// Signed distance of p to one clipping plane, >= 0 inside.
double distance(const Point4d& p, int plane) {
    // Points this close to w = 0 project too far to be of use.
    constexpr double kMinW = 1e-9;
    switch (plane) {
    case 0:
        return p.w - kMinW;
    case 1:
        return p.w + p.x;
    case 2:
        return p.w - p.x;
    case 3:
        return p.w + p.y;
    case 4:
        return p.w - p.y;
    case 5:
        return p.w + p.z;
    default:
        return p.w - p.z;
    }
}

Point4d lerp(const Point4d& a, const Point4d& b, double t) {
    return {a.x + (b.x - a.x) * t, a.y + (b.y - a.y) * t, a.z + (b.z - a.z) * t, a.w + (b.w - a.w) * t};
}

} // namespace

bool Polyline4d::clip() {
    for (int plane = 0; plane < 7 && m_points.size() >= 3; ++plane) {
        std::vector<Point4d> out;
        out.reserve(m_points.size() + 2);
        for (std::size_t i = 0; i < m_points.size(); ++i) {
            const Point4d& a = m_points[i];
            const Point4d& b = m_points[(i + 1) % m_points.size()];
            const double da = distance(a, plane), db = distance(b, plane);
            if (!std::isfinite(da) || !std::isfinite(db)) {
                m_points.clear();
                return false;
            }
            if (da >= 0.0) out.push_back(a);
            if ((da >= 0.0) != (db >= 0.0)) out.push_back(lerp(a, b, da / (da - db)));
        }
        m_points = std::move(out);
    }
    if (m_points.size() < 3) m_points.clear();
    return !m_points.empty();
}

std::vector<Point2d> Polyline4d::projected() const {
    std::vector<Point2d> out;
    out.reserve(m_points.size());
    for (const Point4d& p : m_points) out.push_back({p.x / p.w, p.y / p.w});
    return out;
}

bool Polyline4d::box3d(Point3d& min, Point3d& max) const {
    if (m_points.empty()) return false;
    Point3d lo{HUGE_VAL, HUGE_VAL, HUGE_VAL}, hi{-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
    for (const Point4d& p : m_points) {
        const double x = p.x / p.w, y = p.y / p.w, z = p.z / p.w;
        lo = {std::min(lo.x, x), std::min(lo.y, y), std::min(lo.z, z)};
        hi = {std::max(hi.x, x), std::max(hi.y, y), std::max(hi.z, z)};
    }
    min = lo;
    max = hi;
    return true;
}

} // namespace Math
