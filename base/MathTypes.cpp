#include "base/MathTypes.h"

#include <cmath>
#include <utility>

namespace Math {

Matrix4x4::Matrix4x4() {
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) m_m[r][c] = r == c ? 1.0 : 0.0;
}

Matrix4x4 Matrix4x4::translation(double tx, double ty, double tz) {
    Matrix4x4 m;
    m.m_m[0][3] = tx;
    m.m_m[1][3] = ty;
    m.m_m[2][3] = tz;
    return m;
}

Matrix4x4 Matrix4x4::scaling(double sx, double sy, double sz) {
    Matrix4x4 m;
    m.m_m[0][0] = sx;
    m.m_m[1][1] = sy;
    m.m_m[2][2] = sz;
    return m;
}

Matrix4x4 Matrix4x4::operator*(const Matrix4x4& o) const {
    Matrix4x4 r;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            double s = 0.0;
            for (int k = 0; k < 4; ++k) s += m_m[i][k] * o.m_m[k][j];
            r.m_m[i][j] = s;
        }
    return r;
}

Point3d Matrix4x4::transform(const Point3d& p) const {
    double v[4] = {p.x, p.y, p.z, 1.0};
    double out[4];
    for (int i = 0; i < 4; ++i)
        out[i] = m_m[i][0] * v[0] + m_m[i][1] * v[1] + m_m[i][2] * v[2] + m_m[i][3] * v[3];
    if (out[3] != 0.0 && out[3] != 1.0) {
        out[0] /= out[3];
        out[1] /= out[3];
        out[2] /= out[3];
    }
    return {out[0], out[1], out[2]};
}

Point2d Matrix4x4::transform(const Point2d& p) const {
    Point3d r = transform(Point3d{p.x, p.y, 0.0});
    return {r.x, r.y};
}

bool Matrix4x4::isIdentity() const {
    return *this == Matrix4x4();
}

bool Matrix4x4::isConstantZ() const {
    return m_m[2][0] == 0.0 && m_m[2][1] == 0.0 && m_m[3][0] == 0.0 && m_m[3][1] == 0.0;
}

bool Matrix4x4::hasRotation() const {
    return m_m[0][1] != 0.0 || m_m[1][0] != 0.0;
}

bool Matrix4x4::normalize() {
    const double w = m_m[3][3];
    if (w == 0.0 || !std::isfinite(w)) return false;
    if (w == 1.0) return true;
    for (auto& row : m_m)
        for (double& v : row) v /= w;
    return true;
}

void Matrix4x4::getTransform2d(Vector2d& xAxis, Vector2d& yAxis, Point2d& origin) const {
    xAxis = {m_m[0][0], m_m[1][0]};
    yAxis = {m_m[0][1], m_m[1][1]};
    origin = {m_m[0][3], m_m[1][3]};
}

// Gauss-Jordan elimination with partial pivoting.
bool Matrix4x4::invert() {
    double a[4][8];
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 8; ++c) a[r][c] = c < 4 ? m_m[r][c] : (c - 4 == r ? 1.0 : 0.0);
    for (int col = 0; col < 4; ++col) {
        int pivot = col;
        for (int r = col + 1; r < 4; ++r)
            if (std::fabs(a[r][col]) > std::fabs(a[pivot][col])) pivot = r;
        if (a[pivot][col] == 0.0) return false;
        if (pivot != col)
            for (int c = 0; c < 8; ++c) std::swap(a[pivot][c], a[col][c]);
        const double inv = 1.0 / a[col][col];
        for (int c = 0; c < 8; ++c) a[col][c] *= inv;
        for (int r = 0; r < 4; ++r) {
            if (r == col) continue;
            const double f = a[r][col];
            if (f == 0.0) continue;
            for (int c = 0; c < 8; ++c) a[r][c] -= f * a[col][c];
        }
    }
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) m_m[r][c] = a[r][c + 4];
    return true;
}

} // namespace Math
