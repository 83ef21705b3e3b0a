// Boxes, the matrix queries and the projection helpers of the software renderer.
#include <gtest/gtest.h>

#include <cmath>

#include "base/MathTypes.h"
#include "base/Projection.h"

using Math::Box2di;
using Math::Matrix4x4;

TEST(Box2di, HalfOpenBoundsEmptyBoxesIntersectionAndUnion) {
    const Box2di b(2, 3, 4, 5); // (x, y, width, height)
    EXPECT_TRUE(b.isContaining(2, 3) && b.isContaining(5, 7));
    EXPECT_FALSE(b.isContaining(6, 3) || b.isContaining(2, 8) || b.isContaining(1, 3));
    EXPECT_TRUE(b.isContaining(Box2di()));                         // nothing lies outside
    EXPECT_EQ(Box2di(0, 0, 100000, 100000).area(), 10000000000LL); // beyond 32 bits
    for (const Box2di& empty : {Box2di(), Box2di(5, 5, 0, 3), Box2di(5, 5, 3, -1), Box2di(5, 5, -3, 4)})
        EXPECT_TRUE(empty.hasNullArea() && empty.area() == 0 && !empty.isContaining(5, 5));
    const Box2di a(0, 0, 4, 4);
    // Touching half-open boxes share no pixel.
    EXPECT_TRUE(a.getIntersection(Box2di(4, 0, 2, 2)) == Box2di() && !a.isIntersecting(Box2di(4, 0, 2, 2)));
    // An empty operand drops out of a union, wherever it lies.
    EXPECT_TRUE(a.getUnion(Box2di()) == a && Box2di(10, 10, 0, 0).getUnion(a) == a);
    Box2di c = a;
    c.intersect(Box2di(2, 2, 4, 4));
    c.add(Box2di(-1, -1, 1, 1));
    EXPECT_EQ(c, Box2di(-1, -1, 5, 5));
    EXPECT_EQ(a.getEnlarged(-1), Box2di(1, 1, 2, 2));
}

TEST(Matrix4x4, QueriesAboutThePicturePlaneAndTheInverseProjection) {
    Matrix4x4 m = Matrix4x4::translation(1, 2, 0.5) * Matrix4x4::scaling(2, -3);
    EXPECT_TRUE(m.isConstantZ() && !m.hasRotation()); // a mirror is not a turn
    Math::Vector2d x, y;
    Math::Point2d o;
    m.getTransform2d(x, y, o);
    EXPECT_TRUE(x == Math::Vector2d(2, 0) && y == Math::Vector2d(0, -3) && o == Math::Point2d(1, 2));
    m(1, 0) = 0.5;
    m(3, 1) = 0.1; // perspective: w depends on y
    EXPECT_TRUE(m.hasRotation() && !m.isConstantZ());

    Matrix4x4 w = Matrix4x4::scaling(4, 4, 4);
    w(3, 3) = 2.0;
    EXPECT_TRUE(w.normalize() && w == Matrix4x4::scaling(2, 2, 2));
    w(3, 3) = 0.0;
    EXPECT_FALSE(w.normalize());

    // The inverse undoes the projection in front of the eye.
    Matrix4x4 plane = Matrix4x4::translation(10, 5) * Matrix4x4::scaling(3, 2);
    plane(3, 1) = 0.01; // w = 0.01 y + 1: the plane recedes; behind the eye below y = -100
    const Math::PlaneProjection p(plane);
    ASSERT_TRUE(p.isInvertible());
    for (const Math::Point2d& q : {Math::Point2d(0, 0), Math::Point2d(7.5, -20), Math::Point2d(-3, 250)}) {
        Math::Point2d image, back;
        ASSERT_TRUE(p.getProjection(q, image));
        ASSERT_TRUE(p.getInverseProjection(image, back));
        EXPECT_LT(std::hypot(back.x - q.x, back.y - q.y), 1e-9);
    }
    Math::Point2d image, back;
    EXPECT_FALSE(p.getProjection(Math::Point2d(0, -150), image));
    // An image point whose ray meets the plane behind the eye (from y = -150).
    EXPECT_FALSE(p.getInverseProjection(Math::Point2d(10, 590), back));
    Matrix4x4 edgeOn;
    edgeOn(1, 1) = 0.0;
    EXPECT_FALSE(Math::PlaneProjection(edgeOn).getInverseProjection(Math::Point2d(0, 0), back));
}

TEST(Polyline4d, ClipKeepsThePartInsideTheViewVolume) {
    Math::Polyline4d inside({{-0.5, -0.5, 0, 1}, {0.5, -0.5, 0, 1}, {0.5, 0.5, 0, 1}, {-0.5, 0.5, 0, 1}});
    ASSERT_TRUE(inside.clip());
    EXPECT_EQ(inside.points().size(), 4u);

    // Crossing the eye plane (w < 0) and the sides: what is left lies inside.
    Math::Polyline4d crossing({{-3, -1, 0, -1}, {3, -1, 0, 1}, {3, 2, 0, 2}, {-3, 2, 0, 0.5}});
    ASSERT_TRUE(crossing.clip());
    for (const Math::Point4d& q : crossing.points()) {
        EXPECT_GT(q.w, 0.0);
        EXPECT_TRUE(std::fabs(q.x) <= q.w * (1 + 1e-12) && std::fabs(q.y) <= q.w * (1 + 1e-12))
            << q.x << ' ' << q.y;
    }

    Math::Polyline4d outside({{2, 2, 0, 1}, {3, 2, 0, 1}, {3, 3, 0, 1}}),
        tooDeep({{0, 0, 2, 1}, {0.5, 0, 2, 1}, {0.5, 0.5, 2, 1}});
    EXPECT_FALSE(outside.clip() || tooDeep.clip());
}
