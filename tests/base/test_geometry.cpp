#include <gtest/gtest.h>

#include "base/MathTypes.h"

using Math::Box2di;

TEST(Box2di, HalfOpenBoundsAndEmptyBoxes) {
    const Box2di b(2, 3, 4, 5); // (x, y, width, height)
    EXPECT_EQ(b.p2(), Math::Point2di(6, 8));
    EXPECT_TRUE(b.isContaining(2, 3) && b.isContaining(5, 7));
    EXPECT_FALSE(b.isContaining(6, 3) || b.isContaining(2, 8) || b.isContaining(1, 3));
    EXPECT_FALSE(b.isContaining(Box2di(3, 4, 4, 4)));
    EXPECT_TRUE(b.isContaining(Box2di()));                         // nothing lies outside
    EXPECT_EQ(Box2di(0, 0, 100000, 100000).area(), 10000000000LL); // beyond 32 bits
    for (const Box2di& empty : {Box2di(), Box2di(5, 5, 0, 3), Box2di(5, 5, 3, -1), Box2di(5, 5, -3, 4)}) {
        EXPECT_TRUE(empty.hasNullArea() && empty.area() == 0 && !empty.isContaining(5, 5));
    }
}

TEST(Box2di, IntersectionAndUnion) {
    const Box2di a(0, 0, 4, 4), b(2, 2, 4, 4);
    EXPECT_EQ(a.getIntersection(b), Box2di(2, 2, 2, 2));
    EXPECT_EQ(a.getUnion(b), Box2di(0, 0, 6, 6));
    // Touching half-open boxes share no pixel.
    EXPECT_EQ(a.getIntersection(Box2di(4, 0, 2, 2)), Box2di());
    EXPECT_FALSE(a.isIntersecting(Box2di(4, 0, 2, 2)));
    // An empty operand drops out of a union, wherever it lies.
    EXPECT_EQ(a.getUnion(Box2di()), a);
    EXPECT_EQ(Box2di(10, 10, 0, 0).getUnion(a), a);
    Box2di c = a;
    c.intersect(b);
    c.add(Box2di(-1, -1, 1, 1));
    EXPECT_EQ(c, Box2di(-1, -1, 5, 5));
    EXPECT_EQ(a.getEnlarged(-1), Box2di(1, 1, 2, 2));
}
