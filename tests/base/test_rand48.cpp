#include <gtest/gtest.h>

#include <cstdlib>

#include "base/QXMaths.h"

// The library's generator against the C library's, which implements the same
// standard sequence.
TEST(Rand48, FollowsTheCLibrarySequence) {
    for (long seed : {0L, 1L, 77L, -5L, 0x7fffffffL, 0x123456789abL}) {
        ::srand48(seed);
        QXMaths::srand48(seed);
        for (int i = 0; i < 1000; ++i) ASSERT_EQ(QXMaths::lrand48(), ::lrand48()) << seed << " draw " << i;
    }
    // Unseeded, both start from the standard's default state.
    unsigned short state[3] = {0x330E, 0xABCD, 0x1234};
    ::seed48(state);
    QXMaths::Rand48 fresh;
    for (int i = 0; i < 100; ++i) ASSERT_EQ(fresh.next(), ::lrand48());
}

TEST(Rand48, JumpsAheadAndAdvancesTheSharedState) {
    for (unsigned long long n : {0ull, 1ull, 2ull, 3ull, 1000ull, 123457ull}) {
        QXMaths::Rand48 walked = QXMaths::Rand48::seeded(42), jumped = walked;
        for (unsigned long long i = 0; i < n; ++i) walked.next();
        jumped.jump(n);
        ASSERT_EQ(walked.state(), jumped.state()) << n;
    }
    QXMaths::srand48(9);
    QXMaths::advanceLrand48(500);
    QXMaths::Rand48 expected = QXMaths::Rand48::seeded(9);
    expected.jump(500);
    EXPECT_EQ(QXMaths::currentLrand48().state(), expected.state());
}
