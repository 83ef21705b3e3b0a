#include <gtest/gtest.h>

#include "base/MathTypes.h"

using Math::Box2di;

TEST(Box2di, ConstructorsAndQueries) {
    const Box2di b(2, 3, 10, 5);
    EXPECT_EQ(b.x1(), 2);
    EXPECT_EQ(b.y1(), 3);
    EXPECT_EQ(b.x2(), 12);
    EXPECT_EQ(b.y2(), 8);
    EXPECT_EQ(b.w(), 10);
    EXPECT_EQ(b.h(), 5);
    EXPECT_EQ(b.area(), 50);
    EXPECT_EQ(Box2di(Math::Point2di(2, 3), Math::Size2di(10, 5)), b);
    EXPECT_EQ(b.p1(), Math::Point2di(2, 3));
    EXPECT_EQ(b.p2(), Math::Point2di(12, 8));
    // Areas beyond 32 bits do not overflow.
    EXPECT_EQ(Box2di(0, 0, 100000, 100000).area(), 10000000000LL);
}

TEST(Box2di, EmptyBoxes) {
    const Box2di empty;
    EXPECT_TRUE(empty.hasNullArea());
    EXPECT_EQ(empty.area(), 0);
    EXPECT_TRUE(Box2di(5, 5, 0, 3).hasNullArea());
    EXPECT_TRUE(Box2di(5, 5, 3, -1).hasNullArea());
    EXPECT_EQ(Box2di(5, 5, -3, 4).area(), 0);
    EXPECT_FALSE(empty.isContaining(0, 0));
    Box2di b(1, 1, 2, 2);
    b.reset();
    EXPECT_EQ(b, Box2di());
}

TEST(Box2di, HalfOpenContainment) {
    const Box2di b(0, 0, 4, 3);
    EXPECT_TRUE(b.isContaining(0, 0));
    EXPECT_TRUE(b.isContaining(3, 2));
    EXPECT_FALSE(b.isContaining(4, 0));
    EXPECT_FALSE(b.isContaining(0, 3));
    EXPECT_FALSE(b.isContaining(-1, 0));
    EXPECT_TRUE(b.isContaining(Box2di(0, 0, 4, 3)));
    EXPECT_TRUE(b.isContaining(Box2di(1, 1, 3, 2)));
    EXPECT_FALSE(b.isContaining(Box2di(1, 1, 4, 2)));
    EXPECT_TRUE(b.isContaining(Box2di())); // nothing lies outside
}

TEST(Box2di, IntersectionAndUnion) {
    const Box2di a(0, 0, 4, 4), b(2, 2, 4, 4);
    EXPECT_EQ(a.getIntersection(b), Box2di(2, 2, 2, 2));
    EXPECT_EQ(a.getUnion(b), Box2di(0, 0, 6, 6));
    // Touching half-open boxes share no pixel.
    EXPECT_TRUE(a.getIntersection(Box2di(4, 0, 2, 2)).hasNullArea());
    EXPECT_FALSE(a.isIntersecting(Box2di(4, 0, 2, 2)));
    EXPECT_TRUE(a.isIntersecting(Box2di(3, 3, 2, 2)));
    // Empty operands: intersection is empty, union is the other box.
    EXPECT_EQ(a.getIntersection(Box2di()), Box2di());
    EXPECT_EQ(a.getUnion(Box2di()), a);
    EXPECT_EQ(Box2di().getUnion(a), a);
    EXPECT_EQ(Box2di(10, 10, 0, 0).getUnion(a), a);
    Box2di c = a;
    c.intersect(b);
    EXPECT_EQ(c, Box2di(2, 2, 2, 2));
    c.add(Box2di(-1, -1, 1, 1));
    EXPECT_EQ(c, Box2di(-1, -1, 5, 5));
    EXPECT_EQ(a.getEnlarged(2), Box2di(-2, -2, 8, 8));
    EXPECT_EQ(a.getEnlarged(-1), Box2di(1, 1, 2, 2));
}

TEST(Matrix4x4, InvertAndTransform) {
    Math::Matrix4x4 m = Math::Matrix4x4::translation(3, -2) * Math::Matrix4x4::scaling(2, 4);
    const Math::Point2d p = m.transform(Math::Point2d(1, 1));
    EXPECT_DOUBLE_EQ(p.x, 5.0);
    EXPECT_DOUBLE_EQ(p.y, 2.0);
    Math::Matrix4x4 inv = m;
    ASSERT_TRUE(inv.invert());
    const Math::Point2d q = inv.transform(p);
    EXPECT_DOUBLE_EQ(q.x, 1.0);
    EXPECT_DOUBLE_EQ(q.y, 1.0);
    Math::Matrix4x4 singular = Math::Matrix4x4::scaling(0, 1);
    EXPECT_FALSE(singular.invert());
    EXPECT_EQ(singular, Math::Matrix4x4::scaling(0, 1));
}
