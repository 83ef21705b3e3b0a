#pragma once
// Small numeric helpers used across the pixel code.

#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "celcore_export.h"

namespace QXMaths {

inline int ifloor(double v) {
    return int(std::floor(v));
}
inline int iceiling(double v) {
    return int(std::ceil(v));
}

template <class T> constexpr T clipToRange(T v, T lo, T hi) {
    return v < lo ? lo : (v > hi ? hi : v);
}

inline bool isNan(double v) {
    return std::isnan(v);
}
inline bool isNan(float v) {
    return std::isnan(v);
}

// The POSIX 48-bit linear congruential generator (drand48 family):
// X' = (0x5DEECE66D X + 11) mod 2^48, lrand48 returning the top 31 bits. The
// sequence is fixed by the standard, so seeded results repeat across machines
// and match the C library's own lrand48 after the same srand48; the state is
// the library's own, so other code drawing from the C library does not shift
// it. Before any srand48 the state is the standard's default seed.
//
// The state is one process-wide value (atomic: concurrent draws each get a
// distinct element of the sequence). Parallel loops that must reproduce the
// sequential draw order take a Rand48 from the current state, jump it ahead
// to each worker's first draw, and advance the shared state past all of them
// with advanceLrand48.
class CELCORE_EXPORT Rand48 {
public:
    static constexpr uint64_t kMask = (uint64_t(1) << 48) - 1;
    static constexpr uint64_t kA = 0x5DEECE66Dull;
    static constexpr uint64_t kC = 0xB;
    static constexpr uint64_t kDefaultState = 0x1234ABCD330Eull;

    constexpr Rand48() = default;
    constexpr explicit Rand48(uint64_t state) : m_state(state & kMask) {}
    // The state srand48(seed) sets: the seed's low 32 bits above 0x330E.
    static constexpr Rand48 seeded(long seed) { return Rand48(((uint64_t(uint32_t(seed)) << 16) | 0x330Eu)); }

    constexpr uint64_t state() const { return m_state; }
    constexpr long next() {
        m_state = (kA * m_state + kC) & kMask;
        return long(m_state >> 17);
    }
    // As if next() had been called n times, in O(log n).
    void jump(uint64_t n);

private:
    uint64_t m_state = kDefaultState;
};

CELCORE_EXPORT long lrand48();
CELCORE_EXPORT void srand48(long seed);
// The shared state as a generator (for jumping), and the shared state moved on
// by n draws.
CELCORE_EXPORT Rand48 currentLrand48();
CELCORE_EXPORT void advanceLrand48(uint64_t n);

constexpr double kPi = 3.14159265358979323846;
constexpr double convertDegreesToRadians(double deg) {
    return deg * (kPi / 180.0);
}
constexpr double convertRadiansToDegrees(double rad) {
    return rad * (180.0 / kPi);
}

} // namespace QXMaths
