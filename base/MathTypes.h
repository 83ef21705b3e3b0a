#pragma once
// Geometry value types of the Math namespace: integer and double points,
// sizes and boxes, and the 4x4 matrix handed through to the vector library.
//
// Contract of Box2di: bounds are half-open, x1 <= x < x2 and y1 <= y < y2.
// A box whose width or height is <= 0 is empty; every empty box compares equal
// to the default (empty) box only when its corners are equal, but all of them
// answer hasNullArea() == true and area() == 0, contain nothing and intersect
// nothing. The union with an empty box is the other box.

#include <algorithm>
#include <cstdint>

#include "celcore_export.h"

namespace Math {

struct Point2di {
    int32_t x = 0;
    int32_t y = 0;
    constexpr Point2di() = default;
    constexpr Point2di(int32_t px, int32_t py) : x(px), y(py) {}
    constexpr bool operator==(const Point2di&) const = default;
};

struct Size2di {
    int32_t width = 0;
    int32_t height = 0;
    constexpr Size2di() = default;
    constexpr Size2di(int32_t w, int32_t h) : width(w), height(h) {}
    constexpr int32_t w() const { return width; }
    constexpr int32_t h() const { return height; }
    constexpr bool operator==(const Size2di&) const = default;
};

struct Point2d {
    double x = 0.0;
    double y = 0.0;
    constexpr Point2d() = default;
    constexpr Point2d(double px, double py) : x(px), y(py) {}
    constexpr bool operator==(const Point2d&) const = default;
};

using Vector2d = Point2d;

// A segment from a to b.
class Segment2d {
public:
    constexpr Segment2d(const Point2d& a, const Point2d& b) : m_a(a), m_b(b) {}
    // Where p projects onto the line through a and b, as a fraction of the
    // way from a (0) to b (1): ((p - a) . (b - a)) / |b - a|^2. Not bounded to
    // [0, 1]; 0 when a equals b.
    constexpr double GetProjectedRatio(const Point2d& p) const {
        const double dx = m_b.x - m_a.x, dy = m_b.y - m_a.y;
        const double len2 = dx * dx + dy * dy;
        return len2 == 0.0 ? 0.0 : ((p.x - m_a.x) * dx + (p.y - m_a.y) * dy) / len2;
    }

private:
    Point2d m_a, m_b;
};

struct Point3d {
    double x = 0.0, y = 0.0, z = 0.0;
    constexpr bool operator==(const Point3d&) const = default;
};

struct Point4d {
    double x = 0.0, y = 0.0, z = 0.0, w = 0.0;
    constexpr bool operator==(const Point4d&) const = default;
};

class Box2di {
public:
    // The empty box.
    constexpr Box2di() = default;
    // (x, y, width, height): x1 = x, y1 = y, x2 = x + width, y2 = y + height.
    constexpr Box2di(int x, int y, int width, int height)
        : m_x1(x), m_y1(y), m_x2(x + width), m_y2(y + height) {}
    constexpr Box2di(const Point2di& origin, const Size2di& size)
        : Box2di(origin.x, origin.y, size.width, size.height) {}

    static constexpr Box2di fromCorners(int x1, int y1, int x2, int y2) {
        Box2di b;
        b.m_x1 = x1;
        b.m_y1 = y1;
        b.m_x2 = x2;
        b.m_y2 = y2;
        return b;
    }

    constexpr int x1() const { return m_x1; }
    constexpr int y1() const { return m_y1; }
    constexpr int x2() const { return m_x2; }
    constexpr int y2() const { return m_y2; }
    constexpr int w() const { return m_x2 - m_x1; }
    constexpr int h() const { return m_y2 - m_y1; }
    constexpr Point2di p1() const { return {m_x1, m_y1}; }
    constexpr Point2di p2() const { return {m_x2, m_y2}; }
    constexpr Size2di size() const { return {w(), h()}; }

    constexpr bool hasNullArea() const { return m_x2 <= m_x1 || m_y2 <= m_y1; }
    constexpr int64_t area() const { return hasNullArea() ? 0 : int64_t(w()) * int64_t(h()); }

    constexpr bool isContaining(int x, int y) const { return x >= m_x1 && x < m_x2 && y >= m_y1 && y < m_y2; }
    constexpr bool isContaining(const Point2di& p) const { return isContaining(p.x, p.y); }
    // An empty box is contained in every box; a non-empty one only when it lies inside.
    constexpr bool isContaining(const Box2di& b) const {
        if (b.hasNullArea()) return true;
        return !hasNullArea() && b.m_x1 >= m_x1 && b.m_y1 >= m_y1 && b.m_x2 <= m_x2 && b.m_y2 <= m_y2;
    }
    constexpr bool isIntersecting(const Box2di& b) const { return !getIntersection(b).hasNullArea(); }

    // Empty (the default box) when the boxes do not overlap.
    constexpr Box2di getIntersection(const Box2di& b) const {
        Box2di r = fromCorners(std::max(m_x1, b.m_x1), std::max(m_y1, b.m_y1), std::min(m_x2, b.m_x2),
                               std::min(m_y2, b.m_y2));
        return r.hasNullArea() ? Box2di() : r;
    }
    // The smallest box holding both; an empty operand does not count.
    constexpr Box2di getUnion(const Box2di& b) const {
        if (b.hasNullArea()) return hasNullArea() ? Box2di() : *this;
        if (hasNullArea()) return b;
        return fromCorners(std::min(m_x1, b.m_x1), std::min(m_y1, b.m_y1), std::max(m_x2, b.m_x2),
                           std::max(m_y2, b.m_y2));
    }
    constexpr Box2di& intersect(const Box2di& b) { return *this = getIntersection(b); }
    constexpr Box2di& add(const Box2di& b) { return *this = getUnion(b); }
    constexpr Box2di& add(int x, int y) { return add(Box2di(x, y, 1, 1)); }
    // Grows every side by margin (shrinks for a negative margin).
    constexpr Box2di getEnlarged(int margin) const {
        return fromCorners(m_x1 - margin, m_y1 - margin, m_x2 + margin, m_y2 + margin);
    }
    constexpr Box2di getTranslated(int dx, int dy) const {
        return fromCorners(m_x1 + dx, m_y1 + dy, m_x2 + dx, m_y2 + dy);
    }
    constexpr void reset() { *this = Box2di(); }
    constexpr void set(int x1, int y1, int x2, int y2) { *this = fromCorners(x1, y1, x2, y2); }

    constexpr bool operator==(const Box2di&) const = default;

private:
    int m_x1 = 0;
    int m_y1 = 0;
    int m_x2 = 0;
    int m_y2 = 0;
};

// Double-precision box, half-open like Box2di; passed through to the vector library.
class Box2d {
public:
    constexpr Box2d() = default;
    constexpr Box2d(double x1, double y1, double x2, double y2) : m_x1(x1), m_y1(y1), m_x2(x2), m_y2(y2) {}
    constexpr double x1() const { return m_x1; }
    constexpr double y1() const { return m_y1; }
    constexpr double x2() const { return m_x2; }
    constexpr double y2() const { return m_y2; }
    constexpr double w() const { return m_x2 - m_x1; }
    constexpr double h() const { return m_y2 - m_y1; }
    constexpr bool isEmpty() const { return !(m_x2 > m_x1 && m_y2 > m_y1); }
    constexpr bool operator==(const Box2d&) const = default;

private:
    double m_x1 = 0.0, m_y1 = 0.0, m_x2 = 0.0, m_y2 = 0.0;
};

// The depth of a flat layer: one constant, or a plane z0 + dzdx * x + dzdy * y
// over canvas coordinates. A plane whose two slopes are 0 is of the constant
// kind. The plane is evaluated as (z0 + dzdx * x) + dzdy * y in double, never
// fused, so every caller gets the same bits.
class PlanarDepthBuffer {
public:
    // The constant 0.
    constexpr PlanarDepthBuffer() = default;
    constexpr explicit PlanarDepthBuffer(double z) : m_z0(z) {}
    constexpr PlanarDepthBuffer(double z0, double dzdx, double dzdy) : m_z0(z0), m_dzdx(dzdx), m_dzdy(dzdy) {}

    constexpr bool isConstant() const { return m_dzdx == 0.0 && m_dzdy == 0.0; }
    // The depth of the constant kind (z0 of a plane).
    constexpr double constant() const { return m_z0; }
    constexpr double dzdx() const { return m_dzdx; }
    constexpr double dzdy() const { return m_dzdy; }
    constexpr double getZ(double x, double y) const {
        return isConstant() ? m_z0 : (m_z0 + m_dzdx * x) + m_dzdy * y;
    }
    constexpr bool operator==(const PlanarDepthBuffer&) const = default;

private:
    double m_z0 = 0.0;
    double m_dzdx = 0.0;
    double m_dzdy = 0.0;
};

// Row-major 4x4 matrix acting on column vectors (x, y, z, 1).
class CELCORE_EXPORT Matrix4x4 {
public:
    Matrix4x4(); // identity
    static Matrix4x4 identity() { return Matrix4x4(); }
    static Matrix4x4 translation(double tx, double ty, double tz = 0.0);
    static Matrix4x4 scaling(double sx, double sy, double sz = 1.0);

    double& operator()(int row, int col) { return m_m[row][col]; }
    double operator()(int row, int col) const { return m_m[row][col]; }
    Matrix4x4 operator*(const Matrix4x4& o) const;
    Point2d transform(const Point2d& p) const; // z = 0, w = 1, divided by the resulting w
    Point3d transform(const Point3d& p) const;
    // False (and this matrix left unchanged) when the matrix is singular.
    bool invert();
    bool isIdentity() const;

    // Queries about the image of the plane z = 0, where pictures live.
    // True when depth and the homogeneous w of its points do not depend on
    // x and y: the plane keeps one depth and is mapped without perspective.
    bool isConstantZ() const;
    // True when x' depends on y or y' on x: the picture's axes do not stay
    // along the output axes (a turn or a shear). Mirrors are not rotations.
    bool hasRotation() const;
    // Divides every element by element (3, 3) so that it becomes 1; false
    // (and nothing changed) when it is 0 or not finite.
    bool normalize();
    // The 2D affine part: where the x and y axes of the plane go, and its origin.
    void getTransform2d(Vector2d& xAxis, Vector2d& yAxis, Point2d& origin) const;
    bool operator==(const Matrix4x4&) const = default;

private:
    double m_m[4][4];
};

} // namespace Math
