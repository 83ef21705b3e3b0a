// The isotropic blur: repeated box passes over float rows, and the radialBlur
// entry points.
//
// Lanes. A plane is w x h pixels of C lanes: C = 4 holds the four fields of an
// RGBA16 pixel side by side, C = 1 one field. Lanes never mix, and each lane
// goes through the same operations in the same order in both forms (no fused
// multiply-adds), so the four-lane form computes exactly what four one-lane runs
// compute.
//
// Streaming. Pass p of a row needs pass p - 1 on rows y - n - 1 ... y + n + 1
// (clamped to the plane). A band keeps, for each pass, a ring of the 2n + 3 rows
// of its predecessor that are still needed and a line of double column sums, and
// every row flows through all passes as soon as its inputs exist (depth first).
// The working set is a few rows per pass, so a 4-pass blur reads its input once
// and writes its output once instead of moving whole float planes eight times.
// Ring rows carry n + 1 copies of their edge pixel on each side, so the
// horizontal taps need no clamping; radii wider than the plane use the clamped
// form of the same arithmetic.
//
// Bands (see Blur.h). Band b of [y0, y1) computes pass p on rows lo[p] ... hi[p]
// - 1 with lo[p] = max(0, y0 - (P - p)(n + 1)) and hi[p] = min(h, y1 + (P - p)(n +
// 1)); pass 0 is the input. Its column sums start at lo[p] from a direct sum.
// The band height is at least 8 P (n + 1), so the repeated margins cost at most
// an eighth. In place, a band reads up to P (n + 1) rows of its neighbours, which
// they overwrite: those rows are copied aside, in the source's own format, before
// the bands start. A plane of one band runs its passes through two whole planes
// instead when that takes less memory than the rings, and a four-lane plane of
// one band is split into its fields so that they run in parallel.
// First of all: GCC 12 warns about its own AVX-512 headers (their "undefined"
// vectors), which the state in force where those lines are read silences.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#elif defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstring>
#include <vector>

#include "algo/composite/CompositeDetail.h"
#include "algo/filters/Blur.h"
#include "algo/filters/BlurDetail.h"
#include "pixel/PixmapArea.h"
#include "pixel/PixmapCanvas.h"

namespace CelAlgo {

namespace {

using namespace blurdetail;
using detail::parallelRows;

constexpr double kMaxRadius = 1e9;
constexpr int64_t kMinBandRows = 128;

// --- Lane arithmetic ---

template <int C> struct Lanes;

template <> struct Lanes<1> {
    using D = double;
    static D load(const float* p) { return double(*p); }
    static D loadD(const double* p) { return *p; }
    static void storeD(double* p, D v) { *p = v; }
    static void storeF(float* p, D v) { *p = float(v); }
    static D splat(double v) { return v; }
};

// Four doubles in one value; the helpers are internal and inlined, so the note
// that such values change the calling convention without AVX does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"
template <> struct Lanes<4> {
    typedef float F __attribute__((vector_size(16)));
    typedef double D __attribute__((vector_size(32)));
    static D load(const float* p) {
        F f;
        std::memcpy(&f, p, sizeof f);
        return __builtin_convertvector(f, D);
    }
    static D loadD(const double* p) {
        D d;
        std::memcpy(&d, p, sizeof d);
        return d;
    }
    static void storeD(double* p, D v) { std::memcpy(p, &v, sizeof v); }
    static void storeF(float* p, D v) {
        const F f = __builtin_convertvector(v, F);
        std::memcpy(p, &f, sizeof f);
    }
    static D splat(double v) { return D{v, v, v, v}; }
};

// How many of the positions lo ... hi of a line of `size` values land on
// position i when positions outside take the nearest end.
inline double tapCount(int64_t i, int64_t lo, int64_t hi, int64_t size) {
    int64_t c = 1;
    if (i == 0 && lo < 0) c += -lo;
    if (i == size - 1 && hi > size - 1) c += hi - (size - 1);
    return double(c);
}

// The pointers one output row of a pass works with: the centre row c of the
// previous pass (ring row, padded or not), the rows n + 1 above and below (the
// vertical end taps; below is also the row entering the column window), the row
// leaving the column window (y - n), the column sums, and the output lanes.
struct RowTaps {
    const float* centre;
    const float* up;
    const float* down;
    const float* leaving;
    double* colSums;
    float* out;
};

// One output row: (H + V + frac * E) * k per pixel, H running along the row from
// a direct sum at x = 0, the column sums advanced to the next row on the way.
template <int C, bool Padded>
inline __attribute__((always_inline)) void boxRowBody(const RowTaps& t, int w, int n, double frac, double k) {
    using L = Lanes<C>;
    using D = typename L::D;
    const float* const c = t.centre;
    const float* const up = t.up;
    const float* const down = t.down;
    const float* const leaving = t.leaving;
    double* const sums = t.colSums;
    float* const out = t.out;
    const auto at = [&](int64_t x) -> const float* {
        if constexpr (!Padded) x = x < 0 ? 0 : (x >= w ? w - 1 : x);
        return c + x * C;
    };
    D h = L::splat(0.0);
    for (int64_t x = std::max<int64_t>(-n, 0), last = std::min<int64_t>(n, w - 1); x <= last; ++x)
        h += L::splat(tapCount(x, -n, n, w)) * L::load(c + x * C);
    const D fr = L::splat(frac), kk = L::splat(k);
    for (int64_t x = 0; x < w; ++x) {
        const D left = L::load(at(x - n - 1));
        const D right = L::load(at(x + n + 1));
        const D leave = L::load(at(x - n));
        const D u = L::load(up + x * C);
        const D d = L::load(down + x * C);
        const D v = L::loadD(sums + x * C);
        L::storeF(out + x * C, ((h + v) + fr * (((left + right) + u) + d)) * kk);
        h += right - leave;
        L::storeD(sums + x * C, v + (d - L::load(leaving + x * C)));
    }
}

using BoxRowFn = void (*)(const RowTaps&, int, int, double, double);

void boxRow4Padded(const RowTaps& t, int w, int n, double frac, double k) {
    boxRowBody<4, true>(t, w, n, frac, k);
}
void boxRow4Clamped(const RowTaps& t, int w, int n, double frac, double k) {
    boxRowBody<4, false>(t, w, n, frac, k);
}
void boxRow1Padded(const RowTaps& t, int w, int n, double frac, double k) {
    boxRowBody<1, true>(t, w, n, frac, k);
}
void boxRow1Clamped(const RowTaps& t, int w, int n, double frac, double k) {
    boxRowBody<1, false>(t, w, n, frac, k);
}

#if defined(__x86_64__) && defined(__GNUC__)
// The four-lane padded row with AVX2: one register per pixel, the same operations
// in the same order as boxRowBody (results are identical bit for bit). Without
// ends (frac = 0) the end taps, which then weigh +-0, are left out: for finite
// values (every 16-bit field) (H + V) + 0 * E is H + V exactly, as neither sum is
// ever -0 (both start from +0).
#define BLUR_AVX2 __attribute__((target("avx2")))
BLUR_AVX2 inline __attribute__((always_inline)) __m256d widen4(const float* p) {
    return _mm256_cvtps_pd(_mm_loadu_ps(p));
}
BLUR_AVX2 inline __attribute__((always_inline)) __m256d rowStart4(const float* c, int w, int n) {
    __m256d h = _mm256_set1_pd(0.0);
    for (int64_t x = 0, last = std::min<int64_t>(n, w - 1); x <= last; ++x)
        h = _mm256_add_pd(h, _mm256_mul_pd(_mm256_set1_pd(tapCount(x, -n, n, w)), widen4(c + x * 4)));
    return h;
}
// One pixel: writes out[x] and the next column sum, returns H(x + 1).
template <bool Ends>
BLUR_AVX2 inline __attribute__((always_inline)) __m256d pixel4(const RowTaps& t, int64_t x, int n, __m256d h,
                                                               __m256d fr, __m256d kk) {
    const float* const c = t.centre;
    const __m256d right = widen4(c + (x + n + 1) * 4);
    const __m256d leave = widen4(c + (x - n) * 4);
    const __m256d d = widen4(t.down + x * 4);
    const __m256d v = _mm256_loadu_pd(t.colSums + x * 4);
    __m256d s = _mm256_add_pd(h, v);
    if constexpr (Ends) {
        const __m256d left = widen4(c + (x - n - 1) * 4);
        const __m256d u = widen4(t.up + x * 4);
        s = _mm256_add_pd(s,
                          _mm256_mul_pd(fr, _mm256_add_pd(_mm256_add_pd(_mm256_add_pd(left, right), u), d)));
    }
    _mm_storeu_ps(t.out + x * 4, _mm256_cvtpd_ps(_mm256_mul_pd(s, kk)));
    _mm256_storeu_pd(t.colSums + x * 4, _mm256_add_pd(v, _mm256_sub_pd(d, widen4(t.leaving + x * 4))));
    return _mm256_add_pd(h, _mm256_sub_pd(right, leave));
}
template <bool Ends> BLUR_AVX2 void boxRow4Avx2(const RowTaps& taps, int w, int n, double frac, double k) {
    const RowTaps t = taps;
    __m256d h = rowStart4(t.centre, w, n);
    const __m256d fr = _mm256_set1_pd(frac), kk = _mm256_set1_pd(k);
    for (int64_t x = 0; x < w; ++x) h = pixel4<Ends>(t, x, n, h, fr, kk);
}

// Two pixels per register with AVX-512. The running row sum stays a chain of one
// addition per pixel in the same order: with carry = H(x) in both halves,
// next = carry + delta(x) is H(x + 1) and next + delta(x + 1) the new carry H(x + 2).
#define BLUR_AVX512 __attribute__((target("avx512f")))
BLUR_AVX512 inline __attribute__((always_inline)) __m512d widen8(const float* p) {
    return _mm512_cvtps_pd(_mm256_loadu_ps(p));
}
template <bool Ends>
BLUR_AVX512 void boxRow4Avx512(const RowTaps& taps, int w, int n, double frac, double k) {
    const RowTaps t = taps;
    const float* const c = t.centre;
    __m512d carry = _mm512_broadcast_f64x4(rowStart4(c, w, n));
    const __m512d fr = _mm512_set1_pd(frac), kk = _mm512_set1_pd(k);
    int64_t x = 0;
    for (; x + 2 <= w; x += 2) {
        const __m512d right = widen8(c + (x + n + 1) * 4);
        const __m512d leave = widen8(c + (x - n) * 4);
        const __m512d d = widen8(t.down + x * 4);
        const __m512d v = _mm512_loadu_pd(t.colSums + x * 4);
        const __m512d delta = _mm512_sub_pd(right, leave);
        const __m512d next = _mm512_add_pd(carry, _mm512_shuffle_f64x2(delta, delta, 0x44));
        const __m512d hp = _mm512_mask_blend_pd(0xF0, carry, next);
        carry = _mm512_add_pd(next, _mm512_shuffle_f64x2(delta, delta, 0xEE));
        __m512d s = _mm512_add_pd(hp, v);
        if constexpr (Ends) {
            const __m512d left = widen8(c + (x - n - 1) * 4);
            const __m512d u = widen8(t.up + x * 4);
            s = _mm512_add_pd(
                s, _mm512_mul_pd(fr, _mm512_add_pd(_mm512_add_pd(_mm512_add_pd(left, right), u), d)));
        }
        _mm256_storeu_ps(t.out + x * 4, _mm512_cvtpd_ps(_mm512_mul_pd(s, kk)));
        _mm512_storeu_pd(t.colSums + x * 4, _mm512_add_pd(v, _mm512_sub_pd(d, widen8(t.leaving + x * 4))));
    }
    if (x < w) // the last pixel of an odd row
        pixel4<Ends>(t, x, n, _mm512_castpd512_pd256(carry), _mm512_castpd512_pd256(fr),
                     _mm512_castpd512_pd256(kk));
}

// Both conversions of whole rows with AVX-512, the same values as loadRgba4 and
// storeRgba4 (the clamps are min and max, which take the bound for NaN as the
// ternaries do).
BLUR_AVX512 void loadRgba4Avx512(const CEL_PixelRGBA16* s, float* d, int w) {
    const int16_t* in = reinterpret_cast<const int16_t*>(s);
    const int64_t lanes = int64_t(w) * 4;
    int64_t i = 0;
    for (; i + 16 <= lanes; i += 16) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
        _mm512_storeu_ps(d + i, _mm512_cvtepi32_ps(_mm512_cvtepi16_epi32(v)));
    }
    for (; i < lanes; ++i) d[i] = in[i];
}
BLUR_AVX512 inline __attribute__((always_inline)) __m256i roundEight(const float* p) {
    const __m512d t = _mm512_add_pd(_mm512_cvtps_pd(_mm256_loadu_ps(p)), _mm512_set1_pd(0.5));
    return _mm512_cvttpd_epi32(
        _mm512_max_pd(_mm512_min_pd(t, _mm512_set1_pd(32767.0)), _mm512_set1_pd(-32768.0)));
}
BLUR_AVX512 void storeRgba4Avx512(const float* s, CEL_PixelRGBA16* d, int w) {
    int16_t* out = reinterpret_cast<int16_t*>(d);
    const int64_t lanes = int64_t(w) * 4;
    int64_t i = 0;
    for (; i + 16 <= lanes; i += 16) {
        const __m512i v =
            _mm512_inserti64x4(_mm512_castsi256_si512(roundEight(s + i)), roundEight(s + i + 8), 1);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), _mm512_cvtepi32_epi16(v));
    }
    for (; i < lanes; ++i) out[i] = roundToShort(s[i]);
}

int cpuLevel() {
    static const int level = [] {
        __builtin_cpu_init();
        if (__builtin_cpu_supports("avx512f")) return 2;
        return __builtin_cpu_supports("avx2") ? 1 : 0;
    }();
    return level;
}
#else
int cpuLevel() {
    return 0;
}
#endif

std::atomic<int> g_levelCap{2};

int kernelLevel() {
    return std::min(cpuLevel(), g_levelCap.load(std::memory_order_relaxed));
}

template <int C> BoxRowFn boxRowFn(bool padded, bool ends) {
    if constexpr (C == 4) {
#if defined(__x86_64__) && defined(__GNUC__)
        const int level = kernelLevel();
        if (padded && level >= 2) return ends ? boxRow4Avx512<true> : boxRow4Avx512<false>;
        if (padded && level >= 1) return ends ? boxRow4Avx2<true> : boxRow4Avx2<false>;
#endif
        return padded ? boxRow4Padded : boxRow4Clamped;
    } else {
        return padded ? boxRow1Padded : boxRow1Clamped;
    }
}

// --- Sources and destinations ---
// load(row, lanes, w) fills w * C lanes from a row of the source; store(lanes,
// row, w) writes them back. 16-bit fields are written as trunc(v + 0.5), 32767 at
// most.

BLUR_KERNEL void loadRgba4(const CEL_PixelRGBA16* s, float* d, int w) {
    for (int64_t x = 0; x < w; ++x) {
        d[4 * x] = s[x].r;
        d[4 * x + 1] = s[x].g;
        d[4 * x + 2] = s[x].b;
        d[4 * x + 3] = s[x].a;
    }
}
BLUR_KERNEL void storeRgba4(const float* s, CEL_PixelRGBA16* d, int w) {
    for (int64_t x = 0; x < w; ++x) {
        d[x].r = roundToShort(s[4 * x]);
        d[x].g = roundToShort(s[4 * x + 1]);
        d[x].b = roundToShort(s[4 * x + 2]);
        d[x].a = roundToShort(s[4 * x + 3]);
    }
}

// All four fields; with alphaOnly the four lanes are computed and alpha alone
// is written back (the lanes never mix, so alpha is what a one-lane run gives).
struct Rgba16Lanes4 {
    using Elem = CEL_PixelRGBA16;
    static constexpr int C = 4;
    bool alphaOnly = false;
    using LoadFn = void (*)(const CEL_PixelRGBA16*, float*, int);
    using StoreFn = void (*)(const float*, CEL_PixelRGBA16*, int);
    LoadFn loadFn = loadRgba4;
    StoreFn storeFn = storeRgba4;
    explicit Rgba16Lanes4(bool alpha) : alphaOnly(alpha) {
#if defined(__x86_64__) && defined(__GNUC__)
        if (kernelLevel() >= 2) loadFn = loadRgba4Avx512, storeFn = storeRgba4Avx512;
#endif
    }
    void load(const Elem* s, float* d, int w) const {
        loadFn(s, d, w);
    }
    void store(const float* s, Elem* d, int w) const {
        if (!alphaOnly) return storeFn(s, d, w);
        for (int64_t x = 0; x < w; ++x) d[x].a = roundToShort(s[4 * x + 3]);
    }
};

struct Rgba16Lane1 {
    using Elem = CEL_PixelRGBA16;
    static constexpr int C = 1;
    int field = 3;
    void load(const Elem* s, float* d, int w) const {
        const int16_t* f = reinterpret_cast<const int16_t*>(s) + field;
        for (int64_t x = 0; x < w; ++x) d[x] = f[4 * x];
    }
    void store(const float* s, Elem* d, int w) const {
        int16_t* f = fieldOf(d, field);
        for (int64_t x = 0; x < w; ++x) f[4 * x] = roundToShort(s[x]);
    }
};

struct FloatLane1 {
    using Elem = float;
    static constexpr int C = 1;
    void load(const Elem* s, float* d, int w) const { std::memcpy(d, s, std::size_t(w) * sizeof(float)); }
    void store(const float* s, Elem* d, int w) const { std::memcpy(d, s, std::size_t(w) * sizeof(float)); }
};

// --- The plan of one blur ---

struct BoxPlan {
    int w = 0, h = 0, passes = 0;
    int n = 0;
    double frac = 0.0, k = 0.0;
    bool still = false; // n = 0 on a plane under 2 pixels: the values stay
    int pad = 0;        // edge copies on each side of a ring row; 0: clamped taps
    int64_t reach = 0;  // passes * (n + 1): rows a band reads beyond each side
    int bands = 1;
    int bandRows = 0; // every band but the last, which takes the rest
};

BoxPlan planBoxBlur(int w, int h, double radius, int passes) {
    BoxPlan p;
    p.w = w, p.h = h, p.passes = passes;
    const double r = radius > 0.0 ? std::min(radius, kMaxRadius) : 0.0; // NaN counts as 0
    p.n = int(std::floor(r));
    p.frac = r - p.n;
    p.k = double(float(1.0 / ((2.0 * r + 1.0) * 2.0)));
    p.still = p.n == 0 && (w < 2 || h < 2);
    p.pad = int64_t(p.n) + 1 <= w ? p.n + 1 : 0;
    p.reach = int64_t(passes) * (int64_t(p.n) + 1);
    const int64_t rows = std::max<int64_t>(kMinBandRows, 8 * p.reach);
    if (h / rows >= 2) {
        p.bands = int(h / rows);
        p.bandRows = int(rows);
    } else {
        p.bands = 1;
        p.bandRows = h;
    }
    return p;
}

inline int64_t clampRow(int64_t y, int h) {
    return y < 0 ? 0 : (y >= h ? h - 1 : y);
}

// Column sums of the window of rows ys - n ... ys + n (edge rows repeated), from
// rows handed out by rowAt(y).
template <class RowAt>
void initColumnSums(double* sums, int64_t lanes, int64_t ys, const BoxPlan& pl, const RowAt& rowAt) {
    std::fill(sums, sums + lanes, 0.0);
    const int64_t lo = ys - pl.n, hi = ys + pl.n;
    for (int64_t y = std::max<int64_t>(lo, 0), last = std::min<int64_t>(hi, pl.h - 1); y <= last; ++y) {
        const double count = tapCount(y, lo, hi, pl.h);
        const float* row = rowAt(y);
        for (int64_t i = 0; i < lanes; ++i) sums[i] += count * double(row[i]);
    }
}

template <int C> void padRow(float* row, int w, int pad) {
    for (int i = 1; i <= pad; ++i) {
        std::memcpy(row - int64_t(i) * C, row, C * sizeof(float));
        std::memcpy(row + (int64_t(w) - 1 + i) * C, row + (int64_t(w) - 1) * C, C * sizeof(float));
    }
}

// All passes of one band, streamed through rings of rows.
template <class Codec, class SrcRow>
void runBandPipeline(const BoxPlan& pl, const Codec& codec, const SrcRow& srcRow, typename Codec::Elem* dst,
                     std::ptrdiff_t dstStride, int y0, int y1) {
    constexpr int C = Codec::C;
    const int P = pl.passes, n = pl.n, h = pl.h, w = pl.w;
    const int64_t step = int64_t(n) + 1;
    const int64_t rowLanes = (int64_t(w) + 2 * int64_t(pl.pad)) * C;
    const int64_t lanes = int64_t(w) * C;

    std::vector<int64_t> lo(P + 1), hi(P + 1), cap(P + 1), next(P + 1), ringAt(P + 1);
    uint64_t ringRows = 0;
    for (int p = 0; p <= P; ++p) {
        lo[p] = std::max<int64_t>(0, y0 - (P - p) * step);
        hi[p] = std::min<int64_t>(h, y1 + (P - p) * step);
        cap[p] = std::min<int64_t>(2 * int64_t(n) + 3, hi[p] - lo[p]);
        next[p] = lo[p];
        ringAt[p] = int64_t(ringRows);
        if (p < P) ringRows += uint64_t(cap[p]);
    }
    const auto rings = workBuffer<float>(checkedProduct(ringRows, uint64_t(rowLanes)));
    const auto sums = workBuffer<double>(checkedProduct(uint64_t(P), uint64_t(lanes)));
    const auto tmp = workBuffer<float>(uint64_t(lanes));
    const BoxRowFn kernel = boxRowFn<C>(pl.pad > 0, pl.frac != 0.0);

    const auto ring = [&](int p, int64_t y) -> float* {
        return rings.get() + (ringAt[p] + (y - lo[p]) % cap[p]) * rowLanes + int64_t(pl.pad) * C;
    };
    const auto canCompute = [&](int p) {
        return next[p] < hi[p] && std::min<int64_t>(next[p] + n + 1, h - 1) < next[p - 1];
    };
    const auto computeRow = [&](int p) {
        const int64_t y = next[p];
        double* colSums = sums.get() + int64_t(p - 1) * lanes;
        if (y == lo[p]) initColumnSums(colSums, lanes, y, pl, [&](int64_t r) { return ring(p - 1, r); });
        float* out = p < P ? ring(p, y) : tmp.get();
        const RowTaps taps{ring(p - 1, y),
                           ring(p - 1, clampRow(y - n - 1, h)),
                           ring(p - 1, clampRow(y + n + 1, h)),
                           ring(p - 1, clampRow(y - n, h)),
                           colSums,
                           out};
        kernel(taps, w, n, pl.frac, pl.k);
        if (p < P)
            padRow<C>(out, w, pl.pad);
        else
            codec.store(out, dst + y * dstStride, w);
        ++next[p];
    };

    for (; next[0] < hi[0];) {
        float* row = ring(0, next[0]);
        codec.load(srcRow(next[0]), row, w);
        padRow<C>(row, w, pl.pad);
        ++next[0];
        // Depth first: after each row of a pass, the next pass takes every row it can.
        for (int p = 1; p >= 1;) {
            if (p <= P && canCompute(p)) {
                computeRow(p);
                ++p;
            } else {
                --p;
            }
        }
    }
}

// All passes of a plane of one band through two whole planes.
template <class Codec>
void runPingPong(const BoxPlan& pl, const Codec& codec, const typename Codec::Elem* src,
                 std::ptrdiff_t srcStride, typename Codec::Elem* dst, std::ptrdiff_t dstStride) {
    constexpr int C = Codec::C;
    const int P = pl.passes, n = pl.n, h = pl.h, w = pl.w;
    const int64_t rowLanes = (int64_t(w) + 2 * int64_t(pl.pad)) * C;
    const int64_t lanes = int64_t(w) * C;
    const auto planes = workBuffer<float>(checkedProduct(2, uint64_t(h), uint64_t(rowLanes)));
    const auto sums = workBuffer<double>(uint64_t(lanes));
    const auto tmp = workBuffer<float>(uint64_t(lanes));
    const BoxRowFn kernel = boxRowFn<C>(pl.pad > 0, pl.frac != 0.0);
    const auto row = [&](int plane, int64_t y) -> float* {
        return planes.get() + (int64_t(plane) * h + y) * rowLanes + int64_t(pl.pad) * C;
    };
    for (int64_t y = 0; y < h; ++y) {
        codec.load(src + y * srcStride, row(0, y), w);
        padRow<C>(row(0, y), w, pl.pad);
    }
    for (int p = 1; p <= P; ++p) {
        const int in = (p - 1) & 1, outPlane = p & 1;
        initColumnSums(sums.get(), lanes, 0, pl, [&](int64_t r) { return row(in, r); });
        for (int64_t y = 0; y < h; ++y) {
            float* out = p < P ? row(outPlane, y) : tmp.get();
            const RowTaps taps{row(in, y),
                               row(in, clampRow(y - n - 1, h)),
                               row(in, clampRow(y + n + 1, h)),
                               row(in, clampRow(y - n, h)),
                               sums.get(),
                               out};
            kernel(taps, w, n, pl.frac, pl.k);
            if (p < P)
                padRow<C>(out, w, pl.pad);
            else
                codec.store(out, dst + y * dstStride, w);
        }
    }
}

template <class Codec>
void runOneBand(const BoxPlan& pl, const Codec& codec, const typename Codec::Elem* src,
                std::ptrdiff_t srcStride, typename Codec::Elem* dst, std::ptrdiff_t dstStride) {
    // Rings hold P * min(2n + 3, h) rows, the two planes 2h.
    if (int64_t(pl.passes) * std::min<int64_t>(2 * int64_t(pl.n) + 3, pl.h) <= 2 * int64_t(pl.h))
        runBandPipeline(
            pl, codec, [&](int64_t y) { return src + y * srcStride; }, dst, dstStride, 0, pl.h);
    else
        runPingPong(pl, codec, src, srcStride, dst, dstStride);
}

// The box passes of a plan from src to dst (which may be the same rows).
template <class Codec>
void runBoxBlur(const BoxPlan& pl, const Codec& codec, const typename Codec::Elem* src,
                std::ptrdiff_t srcStride, typename Codec::Elem* dst, std::ptrdiff_t dstStride) {
    using Elem = typename Codec::Elem;
    constexpr int C = Codec::C;
    if (pl.passes < 1 || pl.w <= 0 || pl.h <= 0) return;
    const int64_t area = int64_t(pl.w) * pl.h;

    if (pl.still) {
        parallelRows(0, pl.h, detail::rowGrain(pl.h), pl.w, [&](int ya, int yb) {
            const auto lanes = workBuffer<float>(uint64_t(pl.w) * C);
            for (int64_t y = ya; y < yb; ++y) {
                codec.load(src + y * srcStride, lanes.get(), pl.w);
                codec.store(lanes.get(), dst + y * dstStride, pl.w);
            }
        });
        return;
    }

    if (pl.bands == 1) {
        if constexpr (C == 4) {
            parallelRows(0, 4, 1, area, [&](int fa, int fb) {
                for (int f = fa; f < fb; ++f)
                    if (!codec.alphaOnly || f == 3)
                        runOneBand(pl, Rgba16Lane1{f}, src, srcStride, dst, dstStride);
            });
        } else {
            runOneBand(pl, codec, src, srcStride, dst, dstStride);
        }
        return;
    }

    // The rows each band reads from its neighbours, copied aside when the bands
    // overwrite their own input.
    const bool inPlace =
        static_cast<const void*>(src) == static_cast<const void*>(dst) && srcStride == dstStride;
    const int64_t reach = pl.reach, bandRows = pl.bandRows, w = pl.w;
    WorkBuffer<Elem> saved;
    if (inPlace) {
        saved = workBuffer<Elem>(checkedProduct(uint64_t(pl.bands - 1), uint64_t(2 * reach), uint64_t(w)));
        parallelRows(0, pl.bands - 1, 1, 2 * reach * w, [&](int ja, int jb) {
            for (int64_t j = ja; j < jb; ++j) {
                const int64_t yb = (j + 1) * bandRows;
                for (int64_t i = 0; i < 2 * reach; ++i)
                    std::memcpy(saved.get() + (j * 2 * reach + i) * w, src + (yb - reach + i) * srcStride,
                                std::size_t(w) * sizeof(Elem));
            }
        });
    }
    parallelRows(0, pl.bands, 1, int64_t(pl.w) * bandRows, [&](int ba, int bb) {
        for (int64_t b = ba; b < bb; ++b) {
            const int64_t y0 = b * bandRows, y1 = b == pl.bands - 1 ? pl.h : y0 + bandRows;
            const auto srcRow = [&](int64_t y) -> const Elem* {
                if (!inPlace || (y >= y0 && y < y1)) return src + y * srcStride;
                const int64_t j = y < y0 ? b - 1 : b;
                const int64_t first = (j + 1) * bandRows - reach;
                return saved.get() + (j * 2 * reach + (y - first)) * w;
            };
            runBandPipeline(pl, codec, srcRow, dst, dstStride, int(y0), int(y1));
        }
    });
}

void blurRgba16(CEL_PixelRGBA16* base, std::ptrdiff_t stride, int w, int h, double radius, int passes,
                bool alphaOnly) {
    runBoxBlur(planBoxBlur(w, h, radius, passes), Rgba16Lanes4(alphaOnly), base, stride, base, stride);
}

int64_t growthMargin(double radius, int passes) {
    return int64_t(std::ceil(std::min(radius, kMaxRadius))) * (int64_t(passes) + 1);
}

// The smallest box holding every pixel with a non-zero field; empty when none.
Math::Box2di nonZeroBounds(const CEL_PixelRGBA16* data, int w, int h) {
    std::vector<int> first(std::size_t(h), -1), last(std::size_t(h), -1);
    parallelRows(0, h, detail::rowGrain(h), w, [&](int ya, int yb) {
        for (int y = ya; y < yb; ++y) {
            const CEL_PixelRGBA16* row = data + int64_t(y) * w;
            const auto nonZero = [&](int x) {
                uint64_t v;
                std::memcpy(&v, row + x, sizeof v);
                return v != 0;
            };
            int x = 0;
            while (x < w && !nonZero(x)) ++x;
            if (x == w) continue;
            first[std::size_t(y)] = x;
            x = w - 1;
            while (!nonZero(x)) --x;
            last[std::size_t(y)] = x;
        }
    });
    Math::Box2di box;
    for (int y = 0; y < h; ++y)
        if (first[std::size_t(y)] >= 0)
            box.add(Math::Box2di::fromCorners(first[std::size_t(y)], y, last[std::size_t(y)] + 1, y + 1));
    return box;
}

} // namespace

void blurdetail::setKernelLevelCapForTesting(int level) {
    g_levelCap.store(level, std::memory_order_relaxed);
}

void radialBlur(CEL_PixmapAreaRGBA16* p, double radius, int passes, bool alphaOnly) {
    if (!p || p->allocatedWidth() <= 0 || p->allocatedHeight() <= 0 || !p->data()) return;
    if (passes < 1 || !(radius > 0.0)) return;
    const Math::Box2di rect = grownClipped(p->allocatedRect(), growthMargin(radius, passes), p->canvasRect());
    requireBytes(checkedProduct(uint64_t(rect.area()), sizeof(CEL_PixelRGBA16)));
    if (!p->realloc(rect, true)) throw AlgoException("out of memory");
    if (rect.hasNullArea() || !p->data()) return;
    blurRgba16(p->data(), rect.w(), rect.w(), rect.h(), radius, passes, alphaOnly);
}

void radialBlur(CEL_PixmapAreaRGBA16* p, double radius, Quality quality, double factor, bool alphaOnly) {
    detail::requirePixmaps(p);
    if (!(radius > 0.0)) return;
    if (factor != 0.0) radius *= factor;
    if (quality == QUALITY_FOUR_PASSES)
        radialBlur(p, radius, 4, alphaOnly);
    else if (quality == QUALITY_EIGHT_PASSES)
        radialBlur(p, radius * 0.4, 8, alphaOnly);
}

void radialBlur(CEL_PixmapRGBA16* p, double radius, int passes, bool alphaOnly) {
    if (!p || !p->data() || p->width() <= 0 || p->height() <= 0) return;
    if (passes < 1 || !(radius > 0.0)) return;
    const int w = p->width(), h = p->height();
    const Math::Box2di box = nonZeroBounds(p->data(), w, h);
    const Math::Box2di rect = grownClipped(box, growthMargin(radius, passes), Math::Box2di(0, 0, w, h));
    if (rect.hasNullArea()) return;
    blurRgba16(p->data() + int64_t(rect.y1()) * w + rect.x1(), w, rect.w(), rect.h(), radius, passes,
               alphaOnly);
}

void radialBlur(CEL_PixmapRGBA16* p, double radius, Quality quality, double factor, bool alphaOnly) {
    detail::requirePixmaps(p);
    if (!(radius > 0.0)) return;
    if (factor != 0.0) radius *= factor;
    if (quality == QUALITY_FOUR_PASSES)
        radialBlur(p, radius, 4, alphaOnly);
    else if (quality == QUALITY_EIGHT_PASSES)
        radialBlur(p, radius * 0.4, 8, alphaOnly);
}

double radialRadiusForSigma(double sigma) {
    if (!(sigma > 0.0)) return 0.0;
    const auto passVariance = [](double r) {
        const double n = std::floor(r), frac = r - n;
        return (n * (n + 1) * (2 * n + 1) / 3 + 2 * frac * (n + 1) * (n + 1)) / ((2 * r + 1) * 2);
    };
    const double target = std::min(sigma, 1e9) * std::min(sigma, 1e9) / 4;
    double lo = 0.0, hi = 2 * std::min(sigma, 1e9) + 2; // the variance of r is about r^2 / 6
    for (;;) {                                          // bisection down to neighbouring doubles
        const double mid = 0.5 * (lo + hi);
        if (!(mid > lo && mid < hi)) return hi;
        (passVariance(mid) < target ? lo : hi) = mid;
    }
}

void radialBlurChannel(int rowWidth, short* channel, double radius, int x0, int x1, int y0, int y1,
                       float* planeA, float* planeB, float* line, int passes) {
    const int64_t w = int64_t(x1) - x0 + 1, h = int64_t(y1) - y0 + 1;
    if (w <= 0 || h <= 0) return;
    if (!channel || !planeA || !planeB) throw AlgoException("invalid pointer");
    if (w > INT_MAX || h > INT_MAX) throw AlgoException("invalid parameter.");
    const auto at = [&](int64_t x, int64_t y) { return (int64_t(y0 + y) * rowWidth + x0 + x) * 4; };
    for (int64_t y = 0; y < h; ++y)
        for (int64_t x = 0; x < w; ++x) planeA[y * w + x] = channel[at(x, y)];
    if (passes < 1) return;
    radialBlurFloat(planeA, planeB, line, int(w), int(h), radius, passes);
    const float* result = passes % 2 == 1 ? planeB : planeA;
    for (int64_t y = 0; y < h; ++y)
        for (int64_t x = 0; x < w; ++x) channel[at(x, y)] = roundToShort(result[y * w + x]);
}

void radialBlurFloat(float* planeA, float* planeB, float* line, int width, int height, double radius,
                     int passes) {
    (void)line;
    if (passes < 1 || width <= 0 || height <= 0) return;
    if (!planeA || !planeB) throw AlgoException("invalid pointer");
    const BoxPlan plan = planBoxBlur(width, height, radius, passes);
    runBoxBlur(plan, FloatLane1{}, planeA, width, passes % 2 == 1 ? planeB : planeA, width);
}

} // namespace CelAlgo
