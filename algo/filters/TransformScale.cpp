// CelAlgo::scale: separable, area-weighted resampling about a centre (the
// formulas are in Transform.h). Each pass is planned once (its taps: where
// every target position's footprint lies in the source and how its ends are
// weighed); output rows are then made in bands, in parallel, each band running
// the horizontal pass of the source rows it reads and then the vertical pass.
// The taps are computed by the formulas in double exactly as written, and each
// target field sums its footprint in the formula's order, so the result is bit
// for bit that of the plain per-pixel formula at any thread count. The four
// fields of a pixel go through one 4-lane vector of doubles.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

#include "algo/composite/AlgoException.h"
#include "algo/composite/CompositeDetail.h"
#include "algo/filters/Transform.h"
#include "base/Message.h"
#include "pixel/PixelBuffer.h"
#include "pixel/PixmapArea.h"
#include "pixel/PixmapCanvas.h"

#if defined(__x86_64__) && defined(__GNUC__) && !defined(CELCORE_SANITIZED)
#define CELCORE_ROW_KERNEL __attribute__((target_clones("avx2", "default")))
#else
#define CELCORE_ROW_KERNEL
#endif

// The vector values below never cross a function boundary of the library's
// interface (everything here is internal and inlined into the row kernels).
#pragma GCC diagnostic ignored "-Wpsabi"

namespace CelAlgo {

namespace {

// --- Fields: the channels of one pixel as one value of doubles ---

typedef double V4 __attribute__((vector_size(32)));
typedef int32_t I4 __attribute__((vector_size(16)));

// The rounding bias of each field, in pixel order (r, g, b, a); a matte's one
// field takes the first.
constexpr double kBias[4] = {0.49, 0.52, 0.49, 0.5};

template <class T> constexpr double kLowest = std::is_signed_v<T> ? -32768.0 : 0.0;
template <class T> constexpr double kHighest = std::is_signed_v<T> ? 32767.0 : 255.0;

// Lane<F>: F fields in double.
template <int F> struct Lane;

// A pixel's four fields widened to 32 bits and narrowed back as whole
// vectors (byte shuffles), so that a pixel is loaded and stored in one piece
// instead of field by field.
typedef uint8_t U8x16 __attribute__((vector_size(16)));

inline I4 widen(const uint8_t* p) {
    uint32_t w;
    std::memcpy(&w, p, 4);
    const U8x16 b = (U8x16)(I4{int32_t(w), 0, 0, 0}), z = {};
    return (I4)__builtin_shufflevector(b, z, 0, 16, 16, 16, 1, 16, 16, 16, 2, 16, 16, 16, 3, 16, 16, 16);
}
inline I4 widen(const int16_t* p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    const U8x16 b = (U8x16)(I4{int32_t(uint32_t(w)), int32_t(uint32_t(w >> 32)), 0, 0}), z = {};
    // Each value into the high half of its lane, then an arithmetic shift extends its sign.
    return (I4)__builtin_shufflevector(b, z, 16, 16, 0, 1, 16, 16, 2, 3, 16, 16, 4, 5, 16, 16, 6, 7) >> 16;
}
// The low 8 or 16 bits of each lane (the values are in range).
inline void narrow(uint8_t* p, I4 v) {
    const U8x16 b = (U8x16)v;
    const I4 n = (I4)__builtin_shufflevector(b, b, 0, 4, 8, 12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
    const uint32_t w = uint32_t(n[0]);
    std::memcpy(p, &w, 4);
}
inline void narrow(int16_t* p, I4 v) {
    const U8x16 b = (U8x16)v;
    const I4 n = (I4)__builtin_shufflevector(b, b, 0, 1, 4, 5, 8, 9, 12, 13, 0, 0, 0, 0, 0, 0, 0, 0);
    const uint64_t w = uint64_t(uint32_t(n[0])) | uint64_t(uint32_t(n[1])) << 32;
    std::memcpy(p, &w, 8);
}

template <> struct Lane<4> {
    using V = V4;
    static V zero() { return V{0.0, 0.0, 0.0, 0.0}; }
    static V splat(double v) { return V{v, v, v, v}; }
    static V bias() { return V{kBias[0], kBias[1], kBias[2], kBias[3]}; }
    template <class T> static V load(const T* p) { return fromInt(iload(p)); }
    using I = I4;
    static I izero() { return I{0, 0, 0, 0}; }
    template <class T> static I iload(const T* p) { return widen(p); }
    static V fromInt(I v) { return __builtin_convertvector(v, V4); }
    // trunc toward zero into T. The clamp is a guard: averages stay in range.
    template <class T> static void store(T* p, V v) {
        const V lo = splat(kLowest<T>), hi = splat(kHighest<T>);
        v = v < lo ? lo : v;
        v = v > hi ? hi : v;
        narrow(p, __builtin_convertvector(v, I4));
    }
};

template <> struct Lane<1> {
    using V = double;
    static V zero() { return 0.0; }
    static V splat(double v) { return v; }
    static V bias() { return kBias[0]; }
    template <class T> static V load(const T* p) { return double(*p); }
    using I = int32_t;
    static I izero() { return 0; }
    template <class T> static I iload(const T* p) { return *p; }
    static V fromInt(I v) { return double(v); }
    template <class T> static void store(T* p, V v) {
        v = v < kLowest<T> ? kLowest<T> : (v > kHighest<T> ? kHighest<T> : v);
        *p = T(int(v));
    }
};

// --- Planning one pass ---

// floor / trunc / ceil of a double into a range wide enough for any index
// and safe to convert whatever the value.
constexpr double kIndexLimit = 1099511627776.0; // 2^40
inline long long clampedIndex(double v) {
    if (!(v > -kIndexLimit)) return -(long long)kIndexLimit;
    if (v > kIndexLimit) return (long long)kIndexLimit;
    return (long long)v;
}
inline long long floorIndex(double v) {
    return clampedIndex(std::floor(v));
}
inline long long truncIndex(double v) {
    return clampedIndex(std::trunc(v));
}
inline long long ceilIndex(double v) {
    return clampedIndex(std::ceil(v));
}

// The footprint of one target position when shrinking: the in-range source
// pixels in summing order: first (weight w0), [mid0, mid1) (weight 1), last
// (weight w1). first / last are -1 when out of range (or, for last, weightless:
// adding P * 0 changes no sum).
struct ShrinkTap {
    int first, mid0, mid1, last;
    double w0, w1;
    int need0, need1; // the source pixels read: [need0, need1)
    // Every weight is 1 (the first's exactly 1.0, no last): the sum is a sum
    // of integers, which double holds exactly at every step, so it may be
    // taken in integers and converted once.
    bool whole;
};

// The footprint of one target position when enlarging: P[k0] and P[k0 + 1]
// with weights a and b (each present only when inside the source), or a copy
// of P[k0].
struct EnlargeTap {
    int k0;
    bool has0, has1, straddle;
    double a, b;
    int need0, need1; // the source pixels read: [need0, need1)
};

struct Pass {
    int lo = 0, hi = 0; // target positions written
    bool shrink = false;
    double s = 1.0;
    std::vector<ShrinkTap> shrinkTaps;   // one per position in [lo, hi)
    std::vector<EnlargeTap> enlargeTaps; // one per position in [lo, hi)
};

// Target length L, source length N, centre c, factor s (finite, > 0).
Pass planPass(long long L, long long N, double c, double s) {
    Pass p;
    p.s = s;
    p.shrink = s < 1.0;
    const double half = double(L) / 2.0;
    const double inv = 1.0 / s;
    p.lo = int(std::clamp<long long>(floorIndex(half - c * s), 0, L));
    p.hi = int(std::clamp<long long>(ceilIndex((double(N) - c) * s + half), p.lo, L));
    const auto inside = [N](long long k) { return k >= 0 && k < N; };
    for (int x = p.lo; x < p.hi; ++x) {
        const double u = (double(x) - half) / s + c;
        const long long k0 = floorIndex(u);
        if (p.shrink) {
            const double end = u + inv;
            const long long k1 = truncIndex(end);
            ShrinkTap t;
            t.w0 = 1.0 - (u - double(k0));
            t.w1 = end - double(k1);
            t.first = inside(k0) ? int(k0) : -1;
            t.mid0 = int(std::clamp<long long>(k0 + 1, 0, N));
            t.mid1 = int(std::clamp<long long>(k1, t.mid0, N));
            t.last = inside(k1) && k1 > k0 && t.w1 != 0.0 ? int(k1) : -1;
            t.need0 = t.first >= 0 ? t.first : t.mid0;
            t.need1 = t.last >= 0 ? t.last + 1 : (t.mid1 > t.mid0 ? t.mid1 : t.need0 + (t.first >= 0));
            t.whole = (t.first < 0 || t.w0 == 1.0) && t.last < 0 && t.mid1 - t.mid0 < 65535;
            p.shrinkTaps.push_back(t);
        } else {
            const double f = std::fabs(u - double(k0));
            EnlargeTap t;
            t.k0 = int(std::clamp<long long>(k0, -1, N));
            t.has0 = inside(k0);
            t.has1 = inside(k0 + 1);
            t.straddle = inv + f >= 1.0;
            t.a = 1.0 - f;
            t.b = inv + f - 1.0;
            t.need0 = t.has0 ? t.k0 : t.k0 + 1;
            t.need1 = t.straddle && t.has1 ? t.k0 + 2 : (t.has0 ? t.k0 + 1 : t.need0);
            p.enlargeTaps.push_back(t);
        }
    }
    return p;
}

// --- The passes ---

#define CELCORE_INLINE inline __attribute__((always_inline))

// Fields of one target pixel from the source pixel k at src + (k - off) * step.
template <class T, int F>
CELCORE_INLINE void shrinkPixel(const T* src, long long step, long long off, const ShrinkTap& t, double s,
                                T* out) {
    using L = Lane<F>;
    if (t.whole) {
        typename L::I sum = L::izero();
        if (t.first >= 0) sum += L::iload(src + (t.first - off) * step);
        for (int k = t.mid0; k < t.mid1; ++k) sum += L::iload(src + (k - off) * step);
        L::store(out, L::fromInt(sum) * s + L::bias());
        return;
    }
    typename L::V acc = L::zero();
    if (t.first >= 0) acc = L::load(src + (t.first - off) * step) * t.w0;
    for (int k = t.mid0; k < t.mid1; ++k) acc += L::load(src + (k - off) * step);
    if (t.last >= 0) acc += L::load(src + (t.last - off) * step) * t.w1;
    L::store(out, acc * s + L::bias());
}

// Whether two pixels are equal in every field and no field is negative.
template <class T, int F> CELCORE_INLINE bool sameNonNegative(const T* p0, const T* p1) {
    if constexpr (std::is_unsigned_v<T>) {
        return std::memcmp(p0, p1, sizeof(T) * F) == 0;
    } else {
        bool same = true;
        for (int c = 0; c < F; ++c) same &= p0[c] == p1[c] && p0[c] >= 0;
        return same;
    }
}

// Factors below this keep the weighted sum of two equal neighbours v within
// 2^-14 of v (for |v| < 2^15): see enlargePixel.
constexpr double kEqualNeighbourLimit = 1048576.0;

template <class T, int F>
CELCORE_INLINE void enlargePixel(const T* src, long long step, long long off, const EnlargeTap& t, double s,
                                 T* out) {
    using L = Lane<F>;
    if (!t.straddle) {
        if (t.has0)
            std::memcpy(out, src + (t.k0 - off) * step, sizeof(T) * F);
        else
            std::memset(static_cast<void*>(out), 0, sizeof(T) * F);
        return;
    }
    // Two equal neighbours v give v back: a + b is 1/s within a few units in
    // the last place, so v a s + v b s is v within far less than the smallest
    // bias (0.49), and v + bias truncates to v for v >= 0 (a negative v would
    // move toward zero). Flat areas, most of a picture, take this copy.
    if (t.has0 && t.has1 && s < kEqualNeighbourLimit) {
        const T* p0 = src + (t.k0 - off) * step;
        const T* p1 = src + (t.k0 + 1 - off) * step;
        if (sameNonNegative<T, F>(p0, p1)) {
            std::memcpy(out, p0, sizeof(T) * F);
            return;
        }
    }
    const typename L::V p0 = t.has0 ? L::load(src + (t.k0 - off) * step) : L::zero();
    const typename L::V p1 = t.has1 ? L::load(src + (t.k0 + 1 - off) * step) : L::zero();
    L::store(out, p0 * t.a * s + p1 * t.b * s + L::bias());
}

// Whether the source pixels [need0, need1) of a tap (at most two) are the
// same in rows a and b.
template <class T, int F> CELCORE_INLINE bool sameInputs(const T* a, const T* b, int need0, int need1) {
    if (need1 - need0 > 2) return false;
    if (need1 <= need0) return true;
    const long long i = (long long)need0 * F, j = (long long)(need1 - 1) * F;
    return std::memcmp(a + i, b + i, sizeof(T) * F) == 0 && std::memcmp(a + j, b + j, sizeof(T) * F) == 0;
}

// One row of the horizontal pass (source row `in`, target row `out` of W
// pixels). Positions outside the pass's range are cleared on request. Given
// the row above (its source `prevIn` and the result `prevOut` it got), a
// target pixel whose source pixels are the same in both rows takes the result
// above instead of computing it again: the same inputs give the same bits,
// and pictures repeat down their columns wherever they are flat.
template <class T, int F>
CELCORE_ROW_KERNEL void horizontalRow(const T* in, T* out, long long W, const Pass* pass, bool clearOutside,
                                      const T* prevIn, const T* prevOut) {
    const Pass& p = *pass;
    if (clearOutside) {
        std::memset(static_cast<void*>(out), 0, sizeof(T) * F * std::size_t(p.lo));
        std::memset(static_cast<void*>(out + (long long)p.hi * F), 0, sizeof(T) * F * std::size_t(W - p.hi));
    }
    const auto repeat = [&](int x, int need0, int need1) {
        if (!prevIn || !sameInputs<T, F>(in, prevIn, need0, need1)) return false;
        std::memcpy(out + (long long)x * F, prevOut + (long long)x * F, sizeof(T) * F);
        return true;
    };
    if (p.shrink)
        for (int x = p.lo; x < p.hi; ++x) {
            const ShrinkTap& t = p.shrinkTaps[std::size_t(x - p.lo)];
            if (!repeat(x, t.need0, t.need1)) shrinkPixel<T, F>(in, F, 0, t, p.s, out + (long long)x * F);
        }
    else
        for (int x = p.lo; x < p.hi; ++x) {
            const EnlargeTap& t = p.enlargeTaps[std::size_t(x - p.lo)];
            if (!repeat(x, t.need0, t.need1)) enlargePixel<T, F>(in, F, 0, t, p.s, out + (long long)x * F);
        }
}

// Output row y of the vertical pass (W pixels) from the rows at `rows`, whose
// first is source row rowBase. Rows outside the pass's range and columns
// outside [c0, c1) are 0.
template <class T, int F>
CELCORE_ROW_KERNEL void verticalRow(const T* rows, int rowBase, T* out, long long W, int y, int c0, int c1,
                                    const Pass* pass) {
    const Pass& p = *pass;
    const long long step = W * F;
    if (y < p.lo || y >= p.hi) {
        std::memset(static_cast<void*>(out), 0, sizeof(T) * std::size_t(step));
        return;
    }
    std::memset(static_cast<void*>(out), 0, sizeof(T) * F * std::size_t(c0));
    std::memset(static_cast<void*>(out + (long long)c1 * F), 0, sizeof(T) * F * std::size_t(W - c1));
    if (p.shrink) {
        const ShrinkTap& t = p.shrinkTaps[std::size_t(y - p.lo)];
        for (int x = c0; x < c1; ++x)
            shrinkPixel<T, F>(rows + (long long)x * F, step, rowBase, t, p.s, out + (long long)x * F);
        return;
    }
    const EnlargeTap& t = p.enlargeTaps[std::size_t(y - p.lo)];
    if (!t.straddle) {
        T* o = out + (long long)c0 * F;
        if (t.has0)
            std::memcpy(o, rows + (t.k0 - rowBase) * step + (long long)c0 * F,
                        sizeof(T) * F * std::size_t(c1 - c0));
        else
            std::memset(static_cast<void*>(o), 0, sizeof(T) * F * std::size_t(c1 - c0));
        return;
    }
    for (int x = c0; x < c1; ++x)
        enlargePixel<T, F>(rows + (long long)x * F, step, rowBase, t, p.s, out + (long long)x * F);
}

// The source rows the vertical pass reads for output rows [r0, r1).
void rowsNeeded(const Pass& p, int r0, int r1, int& need0, int& need1) {
    need0 = INT32_MAX, need1 = INT32_MIN;
    for (int y = std::max(r0, p.lo); y < std::min(r1, p.hi); ++y) {
        const int a =
            p.shrink ? p.shrinkTaps[std::size_t(y - p.lo)].need0 : p.enlargeTaps[std::size_t(y - p.lo)].need0;
        const int b =
            p.shrink ? p.shrinkTaps[std::size_t(y - p.lo)].need1 : p.enlargeTaps[std::size_t(y - p.lo)].need1;
        if (b > a) need0 = std::min(need0, a), need1 = std::max(need1, b);
    }
}

int rowGrain(long long rows) {
    return int(std::max<long long>(1, rows / 32));
}

// Output rows are made in bands of this many; each band runs the horizontal
// pass of the source rows it reads into a small buffer of its own, so that
// the intermediate rows stay in cache instead of going through a whole
// temporary picture. A source row shared by two bands is resampled by both,
// with the same result.
constexpr int kBandRows = 16;

// --- One scaling of a buffer ---

// A pixel element as fields: its channel type and count.
template <class E> struct Fields;
template <> struct Fields<CEL_PixelRGBA16> {
    using T = int16_t;
    static constexpr int F = 4;
};
template <> struct Fields<CEL_PixelRGBA8> {
    using T = uint8_t;
    static constexpr int F = 4;
};
template <> struct Fields<short> {
    using T = short;
    static constexpr int F = 1;
};
template <> struct Fields<unsigned char> {
    using T = unsigned char;
    static constexpr int F = 1;
};

// The outcome of scaling a w x h buffer: a new buffer of width x height
// (null with a zero area), or a cleared result, or an allocation failure.
template <class E> struct Scaled {
    enum Kind { Buffer, Cleared, Copy, Failed } kind = Cleared;
    E* data = nullptr;
    Math::Box2di written;
};

bool finite(double v) {
    return std::isfinite(v);
}

template <class E>
Scaled<E> scaleBuffer(const E* pixels, int sw, int sh, unsigned W, unsigned H, double cx, double cy,
                      double sx, double sy) {
    using T = typename Fields<E>::T;
    constexpr int F = Fields<E>::F;
    const T* src = reinterpret_cast<const T*>(pixels);
    Scaled<E> r;
    if (sx == -1.0 || sy == -1.0) {
        sx = double(W) / double(sw);
        sy = double(H) / double(sh);
        cx = double(sw) / 2.0;
        cy = double(sh) / 2.0;
    }
    if (!(finite(sx) && finite(sy) && finite(cx) && finite(cy) && sx > 0.0 && sy > 0.0)) return r;
    if (W > unsigned(INT32_MAX) || H > unsigned(INT32_MAX)) {
        r.kind = Scaled<E>::Failed;
        return r;
    }
    const long long tw = W, th = H;
    const bool hRight = cx == double(sw) / 2.0 && sw == tw && sx == 1.0;
    const bool vRight = double(th) / 2.0 == cy && sh == th && sy == 1.0;
    if (hRight && vRight) {
        r.kind = Scaled<E>::Copy;
        r.written = Math::Box2di(0, 0, sw, sh);
        return r;
    }

    // Only the source rows that can reach the target go through the
    // horizontal pass: [y0, y0 + rows).
    int y0 = 0;
    long long rows = sh;
    if (!hRight) {
        const double reach = (double(th) / 2.0) / sy;
        y0 = int(std::clamp<long long>(truncIndex(cy - reach), 0, sh));
        const int y1 = int(std::clamp<long long>(ceilIndex(cy + reach), 0, sh));
        if (y1 - y0 < 1) return r;
        rows = y1 - y0;
    }
    long long count = 0;
    std::unique_ptr<E[]> out(tw > 0 && th > 0 && !__builtin_mul_overflow(tw, th, &count)
                                 ? CEL_PixelBuffer::allocate<E>(count, false)
                                 : nullptr);
    if (!out && tw * th > 0) {
        r.kind = Scaled<E>::Failed;
        return r;
    }
    r.kind = Scaled<E>::Buffer;
    if (!out) return r;
    Pass hp;
    int c0 = 0, c1 = int(tw);
    if (!hRight) {
        hp = planPass(tw, sw, cx, sx);
        c0 = hp.lo, c1 = hp.hi;
    }
    T* o = reinterpret_cast<T*>(out.get());
    const long long rowStep = tw * F;

    if (vRight) {
        // The horizontal pass alone (rows == th here).
        detail::parallelRows(0, int(rows), rowGrain(rows), tw + sw, [&](int a, int b) {
            for (int y = a; y < b; ++y) {
                const T* in = src + (long long)(y0 + y) * sw * F;
                horizontalRow<T, F>(in, o + y * rowStep, tw, &hp, true,
                                    y > a ? in - (long long)sw * F : nullptr, o + (y - 1) * rowStep);
            }
        });
        r.written = c1 > c0 ? Math::Box2di::fromCorners(c0, 0, c1, int(th)) : Math::Box2di();
        r.data = out.release();
        return r;
    }

    const Pass vp = planPass(th, rows, cy - y0, sy);
    detail::parallelRows(0, int(th), rowGrain(th), tw, [&](int a, int b) {
        std::vector<T> band;
        for (int r0 = a; r0 < b; r0 += kBandRows) {
            const int r1 = std::min(b, r0 + kBandRows);
            const T* from = src;
            int base = 0;
            if (!hRight) {
                int need0 = 0, need1 = 0;
                rowsNeeded(vp, r0, r1, need0, need1);
                if (need1 > need0) {
                    band.resize(std::size_t(need1 - need0) * std::size_t(rowStep));
                    for (int k = need0; k < need1; ++k)
                        horizontalRow<T, F>(src + (long long)(y0 + k) * sw * F,
                                            band.data() + (k - need0) * rowStep, tw, &hp, false, nullptr,
                                            nullptr);
                }
                from = band.data();
                base = need0;
            }
            for (int y = r0; y < r1; ++y) verticalRow<T, F>(from, base, o + y * rowStep, tw, y, c0, c1, &vp);
        }
    });
    r.written =
        Math::Box2di::fromCorners(c0, vp.lo, c1, vp.hi).getIntersection(Math::Box2di(0, 0, int(tw), int(th)));
    r.data = out.release();
    return r;
}

// scaleBuffer, with running out of memory on the way (the pass plans, the
// bands' row buffers) reported as a failed allocation.
template <class E>
Scaled<E> scaleBufferOrFail(const E* pixels, int sw, int sh, unsigned W, unsigned H, double cx, double cy,
                            double sx, double sy) {
    try {
        return scaleBuffer<E>(pixels, sw, sh, W, H, cx, cy, sx, sy);
    } catch (const std::bad_alloc&) {
        Scaled<E> r;
        r.kind = Scaled<E>::Failed;
        return r;
    }
}

void postAllocationFailure() {
    MSG_Scope("CelAlgo", "Failed to allocate memory while scaling bitmap.", 6).post();
}

template <class P>
P* scaleCanvas(const P* src, unsigned W, unsigned H, double cx, double cy, double sx, double sy,
               Math::Box2di* outRect) {
    if (!src || !src->data()) throw AlgoException("invalid pointer");
    using E = std::remove_cv_t<std::remove_pointer_t<decltype(src->data())>>;
    Scaled<E> r = scaleBufferOrFail<E>(src->data(), src->width(), src->height(), W, H, cx, cy, sx, sy);
    if (outRect) *outRect = r.written;
    switch (r.kind) {
    case Scaled<E>::Copy: {
        P* copy = src->clone();
        if (copy->data()) return copy;
        delete copy;
        break;
    }
    case Scaled<E>::Buffer:
        if (!r.data) return new P(int(W), int(H)); // a zero area keeps its size
        return new P(int(W), int(H), r.data);
    case Scaled<E>::Cleared: {
        P* cleared = new P(int(std::min<unsigned>(W, INT32_MAX)), int(std::min<unsigned>(H, INT32_MAX)));
        if (cleared->data() || (long long)cleared->width() * cleared->height() == 0) return cleared;
        delete cleared;
        break;
    }
    case Scaled<E>::Failed:
        break;
    }
    postAllocationFailure();
    if (outRect) outRect->reset();
    return new P(src->width(), src->height());
}

} // namespace

CEL_PixmapRGBA16* scale(const CEL_PixmapRGBA16* src, unsigned width, unsigned height, double cx, double cy,
                        double sx, double sy, Math::Box2di* outRect) {
    return scaleCanvas(src, width, height, cx, cy, sx, sy, outRect);
}

CEL_PixmapRGBA8* scale(const CEL_PixmapRGBA8* src, unsigned width, unsigned height, double cx, double cy,
                       double sx, double sy, Math::Box2di* outRect) {
    return scaleCanvas(src, width, height, cx, cy, sx, sy, outRect);
}

CEL_PixmapMatte16* scale(const CEL_PixmapMatte16* src, unsigned width, unsigned height, double cx, double cy,
                         double sx, double sy, Math::Box2di* outRect) {
    return scaleCanvas(src, width, height, cx, cy, sx, sy, outRect);
}

CEL_PixmapMatte8* scale(const CEL_PixmapMatte8* src, unsigned width, unsigned height, double cx, double cy,
                        double sx, double sy, Math::Box2di* outRect) {
    return scaleCanvas(src, width, height, cx, cy, sx, sy, outRect);
}

CEL_PixmapAreaRGBA16* scale(const CEL_PixmapAreaRGBA16* src, unsigned width, unsigned height, double cx,
                            double cy, double sx, double sy, Math::Box2di* outRect) {
    if (!src) throw AlgoException("invalid pointer");
    if (outRect) outRect->reset();
    const int cw = src->width(), ch = src->height();
    if (sx == -1.0 || sy == -1.0) {
        sx = double(width) / double(cw);
        sy = double(height) / double(ch);
        cx = double(cw) / 2.0;
        cy = double(ch) / 2.0;
    }
    const auto empty = [&] {
        auto* p = new CEL_PixmapAreaRGBA16(int(std::min<unsigned>(width, INT32_MAX)),
                                           int(std::min<unsigned>(height, INT32_MAX)));
        p->setAllPositive(src->areAllPositive());
        return p;
    };
    if (!(finite(sx) && finite(sy) && finite(cx) && finite(cy) && sx > 0.0 && sy > 0.0)) return empty();
    const Math::Box2di a = src->allocatedRect();
    if (a.hasNullArea() || !src->data() || width > unsigned(INT32_MAX) || height > unsigned(INT32_MAX))
        return empty();

    // Where the allocated rectangle lands on the target canvas.
    const double ox = double(width) / 2.0 - cx * sx, oy = double(height) / 2.0 - cy * sy;
    const double X = a.x1() * sx + ox, Y = a.y1() * sy + oy;
    const long long X0 = std::max<long long>(0, truncIndex(X)), Y0 = std::max<long long>(0, truncIndex(Y));
    const long long Wd = std::min<long long>((long long)width - X0, truncIndex(a.w() * sx + 0.5));
    const long long Hd = std::min<long long>((long long)height - Y0, truncIndex(a.h() * sy + 0.5));
    if (Wd <= 0 || Hd <= 0) return empty();

    // The allocated pixels, scaled as a canvas of their own (no copy of them),
    // about the centre that puts them where the target canvas wants them.
    const double vcx = (double(Wd) / 2.0 + double(X0) - ox) / sx - a.x1();
    const double vcy = (double(Hd) / 2.0 + double(Y0) - oy) / sy - a.y1();
    using S = Scaled<CEL_PixelRGBA16>;
    S r = scaleBufferOrFail<CEL_PixelRGBA16>(src->data(), a.w(), a.h(), unsigned(Wd), unsigned(Hd), vcx, vcy,
                                             sx, sy);
    CEL_PixelRGBA16* data = nullptr;
    switch (r.kind) {
    case S::Copy:
        data = CEL_PixelBuffer::allocate<CEL_PixelRGBA16>(a.area(), false);
        if (data)
            std::memcpy(static_cast<void*>(data), src->data(),
                        std::size_t(a.area()) * sizeof(CEL_PixelRGBA16));
        break;
    case S::Buffer:
        data = r.data;
        break;
    case S::Cleared:
        data = CEL_PixelBuffer::allocate<CEL_PixelRGBA16>(Wd * Hd, true);
        break;
    case S::Failed:
        break;
    }
    if (!data) {
        postAllocationFailure();
        auto* p = new CEL_PixmapAreaRGBA16(cw, ch);
        p->setAllPositive(src->areAllPositive());
        return p;
    }
    auto* p = new CEL_PixmapAreaRGBA16(int(width), int(height));
    const Math::Box2di rect{int(X0), int(Y0), int(Wd), int(Hd)};
    p->alloc(rect, data);
    p->setAllPositive(src->areAllPositive());
    if (outRect && r.kind != S::Cleared) *outRect = r.written.getTranslated(int(X0), int(Y0));
    return p;
}

CEL_Pixmap* scale(const CEL_Pixmap* src, unsigned width, unsigned height, double cx, double cy, double sx,
                  double sy, Math::Box2di* outRect) {
    if (const auto* p = dynamic_cast<const CEL_PixmapAreaRGBA16*>(src))
        return scale(p, width, height, cx, cy, sx, sy, outRect);
    if (const auto* p = dynamic_cast<const CEL_PixmapRGBA16*>(src))
        return scale(p, width, height, cx, cy, sx, sy, outRect);
    if (const auto* p = dynamic_cast<const CEL_PixmapRGBA8*>(src))
        return scale(p, width, height, cx, cy, sx, sy, outRect);
    if (const auto* p = dynamic_cast<const CEL_PixmapMatte16*>(src))
        return scale(p, width, height, cx, cy, sx, sy, outRect);
    if (const auto* p = dynamic_cast<const CEL_PixmapMatte8*>(src))
        return scale(p, width, height, cx, cy, sx, sy, outRect);
    return nullptr;
}

} // namespace CelAlgo
