// The library's own 48-bit generator state.
#include "base/QXMaths.h"

#include <atomic>

namespace QXMaths {

namespace {

std::atomic<uint64_t> g_state{Rand48::kDefaultState};

// The affine map X -> a X + c composed with itself n times, by squaring.
void power(uint64_t n, uint64_t& a, uint64_t& c) {
    uint64_t accA = 1, accC = 0;
    uint64_t stepA = Rand48::kA, stepC = Rand48::kC;
    while (n) {
        if (n & 1) {
            accA = (accA * stepA) & Rand48::kMask;
            accC = (accC * stepA + stepC) & Rand48::kMask;
        }
        stepC = (stepC * stepA + stepC) & Rand48::kMask;
        stepA = (stepA * stepA) & Rand48::kMask;
        n >>= 1;
    }
    a = accA;
    c = accC;
}

} // namespace

void Rand48::jump(uint64_t n) {
    uint64_t a = 1, c = 0;
    power(n, a, c);
    m_state = (a * m_state + c) & kMask;
}

long lrand48() {
    uint64_t old = g_state.load(std::memory_order_relaxed);
    Rand48 r(old);
    long v = r.next();
    while (!g_state.compare_exchange_weak(old, r.state(), std::memory_order_relaxed)) {
        r = Rand48(old);
        v = r.next();
    }
    return v;
}

void srand48(long seed) {
    g_state.store(Rand48::seeded(seed).state(), std::memory_order_relaxed);
}

Rand48 currentLrand48() {
    return Rand48(g_state.load(std::memory_order_relaxed));
}

void advanceLrand48(uint64_t n) {
    uint64_t old = g_state.load(std::memory_order_relaxed);
    Rand48 r(old);
    r.jump(n);
    while (!g_state.compare_exchange_weak(old, r.state(), std::memory_order_relaxed)) {
        r = Rand48(old);
        r.jump(n);
    }
}

} // namespace QXMaths
