#pragma once
// Small numeric helpers used across the pixel code.

#include <cmath>
#include <cstdlib>

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

// The C library's 48-bit linear congruential generator: the sequence is fixed by
// the standard, so seeded results repeat across machines.
inline long lrand48() {
    return ::lrand48();
}
inline void srand48(long seed) {
    ::srand48(seed);
}

constexpr double kPi = 3.14159265358979323846;
constexpr double convertDegreesToRadians(double deg) {
    return deg * (kPi / 180.0);
}
constexpr double convertRadiansToDegrees(double rad) {
    return rad * (180.0 / kPi);
}

} // namespace QXMaths
