// The transform keeps the classic recurrence's exact operations, but computes
// each stage's twiddles once per call into a table (the recurrence yields the
// same values whichever line uses them) and runs each stage's butterflies in
// blocks, which changes the order of independent butterflies, never a value.
#include <tbb/blocked_range.h>
#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>
#include <tbb/partitioner.h>
#include <tbb/task_arena.h>
#include <tbb/task_group.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <numbers>
#include <type_traits>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "algo/composite/AlgoException.h"
#include "algo/composite/CompositeDetail.h"
#include "algo/filters/Fourier.h"
#include "pixel/PixmapArea.h"

// An AVX2 build of a row kernel beside the default one, chosen at load time;
// not in sanitizer builds, whose runtime starts after the ifunc resolver runs.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(CELCORE_SANITIZED)
#define CELCORE_ROW_KERNEL __attribute__((target_clones("avx2", "default")))
#else
#define CELCORE_ROW_KERNEL
#endif

namespace CelAlgo {

namespace {

bool isPowerOfTwo(int n) {
    return n > 0 && (n & (n - 1)) == 0;
}

// The twiddles of every stage of a transform of length n, stage after stage:
// mmax / 2 entries for mmax = 2, 4, ... below 2n, each stored as
// (wr, wr, -wi, wi) so that a vector butterfly loads them as they are.
std::vector<double> twiddleTable(int n, int sign) {
    std::vector<double> table;
    table.reserve(std::size_t(4) * std::size_t(n));
    for (int64_t mmax = 2; mmax < int64_t(2) * n; mmax *= 2) {
        const double theta = 2.0 * std::numbers::pi / double(mmax) * double(sign);
        const float wtemp = float(std::sin(theta / 2.0));
        const double wpr = -2.0 * double(wtemp) * double(wtemp);
        const double wpi = std::sin(theta);
        double wr = 1.0, wi = 0.0;
        for (int64_t m = 0; m < mmax; m += 2) {
            table.insert(table.end(), {wr, wr, -wi, wi});
            const double old = wr;
            wr = wr * wpr - wi * wpi + wr;
            wi = wi * wpr + old * wpi + wi;
        }
    }
    return table;
}

// The swaps of the bit-reversal walk for a line of n complex values, as pairs
// of value indexes (i, j), j > i, in the walk's order. Every line makes the
// same swaps: walked once per call, not once per line (its inner loop's
// branches cost as much as a stage of butterflies).
std::vector<uint32_t> bitReversalSwaps(int n) {
    std::vector<uint32_t> swaps;
    const int64_t n2 = int64_t(2) * n;
    int64_t j = 0;
    for (int64_t i = 0; i < n2; i += 2) {
        if (j > i) swaps.insert(swaps.end(), {uint32_t(i / 2), uint32_t(j / 2)});
        int64_t m = n;
        while (m >= 2 && j >= m) {
            j -= m;
            m >>= 1;
        }
        j += m;
    }
    return swaps;
}

template <class T> void bitReverse(T* data, const std::vector<uint32_t>& swaps) {
    for (size_t k = 0; k < swaps.size(); k += 2) {
        T* a = data + 2 * size_t(swaps[k]);
        T* b = data + 2 * size_t(swaps[k + 1]);
        std::swap(a[0], b[0]);
        std::swap(a[1], b[1]);
    }
}

// count butterflies between lo[k] and hi[k] with twiddles w (four doubles
// each). tempr = wr re - wi im and tempi = wr im + wi re in double: the vector
// form adds wr re and (-wi) im, which is the same subtraction exactly.
#if defined(__SSE2__)
inline void butterflies(double* lo, double* hi, const double* w, int64_t count) {
    for (int64_t k = 0; k < count; ++k, lo += 2, hi += 2, w += 4) {
        const __m128d h = _mm_loadu_pd(hi);
        const __m128d swapped = _mm_shuffle_pd(h, h, 1);
        const __m128d t =
            _mm_add_pd(_mm_mul_pd(h, _mm_loadu_pd(w)), _mm_mul_pd(swapped, _mm_loadu_pd(w + 2)));
        const __m128d l = _mm_loadu_pd(lo);
        _mm_storeu_pd(hi, _mm_sub_pd(l, t));
        _mm_storeu_pd(lo, _mm_add_pd(l, t));
    }
}

// One butterfly on values held in registers, the same operations as above.
inline void butterfly(__m128d& lo, __m128d& hi, const double* w) {
    const __m128d swapped = _mm_shuffle_pd(hi, hi, 1);
    const __m128d t = _mm_add_pd(_mm_mul_pd(hi, _mm_loadu_pd(w)), _mm_mul_pd(swapped, _mm_loadu_pd(w + 2)));
    hi = _mm_sub_pd(lo, t);
    lo = _mm_add_pd(lo, t);
}

// Two stages at once, mmax = m and 2m: the four values a butterfly of each
// stage touches are loaded once, go through the first stage's two butterflies
// and the second's two, and are stored once. Each butterfly keeps its
// operations and its inputs; only the order of independent ones changes.
inline void twoStages(double* data, int64_t n2, int64_t m, const double* w1, const double* w2) {
    for (int64_t k = 0; k < n2; k += 4 * m)
        for (int64_t j = 0; j < m; j += 2) {
            double* p = data + k + j;
            __m128d a = _mm_loadu_pd(p), b = _mm_loadu_pd(p + m);
            __m128d c = _mm_loadu_pd(p + 2 * m), d = _mm_loadu_pd(p + 3 * m);
            butterfly(a, b, w1 + 2 * j);
            butterfly(c, d, w1 + 2 * j);
            butterfly(a, c, w2 + 2 * j);
            butterfly(b, d, w2 + 2 * (j + m));
            _mm_storeu_pd(p, a);
            _mm_storeu_pd(p + m, b);
            _mm_storeu_pd(p + 2 * m, c);
            _mm_storeu_pd(p + 3 * m, d);
        }
}

#if defined(__x86_64__) && defined(__GNUC__)
#define CELCORE_FFT_AVX2 1
// The two-stage pass with AVX2, two neighbouring butterflies (j, j + 2) of a
// stage per register: the same multiplications, additions and subtractions on
// each value (no fused multiply-add), so the same results. m >= 4.
__attribute__((target("avx2"))) inline void butterfly2(__m256d& lo, __m256d& hi, const double* w) {
    const __m256d x0 = _mm256_loadu_pd(w), x1 = _mm256_loadu_pd(w + 4);
    const __m256d wr = _mm256_permute2f128_pd(x0, x1, 0x20); // wr0 wr0 wr1 wr1
    const __m256d wi = _mm256_permute2f128_pd(x0, x1, 0x31); // -wi0 wi0 -wi1 wi1
    const __m256d swapped = _mm256_permute_pd(hi, 0x5);
    const __m256d t = _mm256_add_pd(_mm256_mul_pd(hi, wr), _mm256_mul_pd(swapped, wi));
    hi = _mm256_sub_pd(lo, t);
    lo = _mm256_add_pd(lo, t);
}

// Float values, two neighbouring complex values per register: the product
// in double, rounded to float, the sums in float, as floatTemp's callers.
__attribute__((target("avx2"))) inline void butterfly2(__m128& lo, __m128& hi, const double* w) {
    const __m256d x0 = _mm256_loadu_pd(w), x1 = _mm256_loadu_pd(w + 4);
    const __m256d wr = _mm256_permute2f128_pd(x0, x1, 0x20);
    const __m256d wi = _mm256_permute2f128_pd(x0, x1, 0x31);
    const __m256d h = _mm256_cvtps_pd(hi);
    const __m256d swapped = _mm256_permute_pd(h, 0x5);
    const __m128 t = _mm256_cvtpd_ps(_mm256_add_pd(_mm256_mul_pd(h, wr), _mm256_mul_pd(swapped, wi)));
    hi = _mm_sub_ps(lo, t);
    lo = _mm_add_ps(lo, t);
}

// Two neighbouring complex values of a line in a register: four doubles, or
// four floats.
__attribute__((target("avx2"))) inline __m256d loadPair(const double* p) {
    return _mm256_loadu_pd(p);
}
__attribute__((target("avx2"))) inline __m128 loadPair(const float* p) {
    return _mm_loadu_ps(p);
}
__attribute__((target("avx2"))) inline void storePair(double* p, __m256d v) {
    _mm256_storeu_pd(p, v);
}
__attribute__((target("avx2"))) inline void storePair(float* p, __m128 v) {
    _mm_storeu_ps(p, v);
}

template <class T>
__attribute__((target("avx2"))) void twoStagesAvx2(T* data, int64_t n2, int64_t m, const double* w1,
                                                   const double* w2) {
    for (int64_t k = 0; k < n2; k += 4 * m)
        for (int64_t j = 0; j < m; j += 4) {
            T* p = data + k + j;
            auto a = loadPair(p), b = loadPair(p + m), c = loadPair(p + 2 * m), d = loadPair(p + 3 * m);
            butterfly2(a, b, w1 + 2 * j);
            butterfly2(c, d, w1 + 2 * j);
            butterfly2(a, c, w2 + 2 * j);
            butterfly2(b, d, w2 + 2 * (j + m));
            storePair(p, a);
            storePair(p + m, b);
            storePair(p + 2 * m, c);
            storePair(p + 3 * m, d);
        }
}

// A single stage's butterflies, two at a time (count even).
template <class T>
__attribute__((target("avx2"))) void butterfliesAvx2(T* lo, T* hi, const double* w, int64_t count) {
    for (int64_t k = 0; k < count; k += 2, lo += 4, hi += 4, w += 8) {
        auto l = loadPair(lo), h = loadPair(hi);
        butterfly2(l, h, w);
        storePair(lo, l);
        storePair(hi, h);
    }
}

// Column blocks: the transform of up to kMaxColumns neighbouring columns at
// once, on a scratch copy of their rows (stored as they are in the picture).
// Every butterfly of a stage pairs two whole scratch rows with one twiddle, so
// the twiddle is broadcast across the row and the butterflies are the line
// kernel's, value for value. Wide blocks make the copies long runs: 64 columns
// (a 4 MiB scratch for 4096 rows) transform a 4096^2 array 1.5x as fast as 8.
constexpr int kMaxColumns = 64;

// A vector of the row's values and the row's twiddle, broadcast.
struct Twiddle4 {
    __m256d wr, wi; // wr wr wr wr; -wi wi -wi wi
};
__attribute__((target("avx2"))) inline Twiddle4 twiddle4(const double* w) {
    return {_mm256_set1_pd(w[0]), _mm256_broadcast_pd(reinterpret_cast<const __m128d*>(w + 2))};
}
__attribute__((target("avx2"))) inline void butterfly4(__m256d& lo, __m256d& hi, const Twiddle4& w) {
    const __m256d swapped = _mm256_permute_pd(hi, 0x5);
    const __m256d t = _mm256_add_pd(_mm256_mul_pd(hi, w.wr), _mm256_mul_pd(swapped, w.wi));
    hi = _mm256_sub_pd(lo, t);
    lo = _mm256_add_pd(lo, t);
}
__attribute__((target("avx2"))) inline void butterfly4(__m128& lo, __m128& hi, const Twiddle4& w) {
    const __m256d h = _mm256_cvtps_pd(hi);
    const __m256d swapped = _mm256_permute_pd(h, 0x5);
    const __m128 t = _mm256_cvtpd_ps(_mm256_add_pd(_mm256_mul_pd(h, w.wr), _mm256_mul_pd(swapped, w.wi)));
    hi = _mm_sub_ps(lo, t);
    lo = _mm_add_ps(lo, t);
}

// `rows` scratch rows of kRow values of T (kRow / 2 complex values, kRow a
// multiple of 4), bit-reversed already. Two stages per pass, as transformLine.
template <class T>
__attribute__((target("avx2"))) void transformColumnBlock(T* scratch, int rows, int64_t kRow,
                                                          const double* table) {
    constexpr int64_t kStep = 4; // values of T per vector: two complex values
    const double* w = table;
    for (int64_t half = 1; half < rows;) {
        if (4 * half <= rows) {
            const double* w2 = w + 4 * half;
            for (int64_t k = 0; k < rows; k += 4 * half)
                for (int64_t j = 0; j < half; ++j) {
                    const Twiddle4 t1 = twiddle4(w + 4 * j), t2a = twiddle4(w2 + 4 * j),
                                   t2b = twiddle4(w2 + 4 * (j + half));
                    T* p = scratch + (k + j) * kRow;
                    for (int64_t q = 0; q < kRow; q += kStep) {
                        auto a = loadPair(p + q), b = loadPair(p + half * kRow + q),
                             c = loadPair(p + 2 * half * kRow + q), d = loadPair(p + 3 * half * kRow + q);
                        butterfly4(a, b, t1);
                        butterfly4(c, d, t1);
                        butterfly4(a, c, t2a);
                        butterfly4(b, d, t2b);
                        storePair(p + q, a);
                        storePair(p + half * kRow + q, b);
                        storePair(p + 2 * half * kRow + q, c);
                        storePair(p + 3 * half * kRow + q, d);
                    }
                }
            w += 12 * half;
            half *= 4;
        } else {
            for (int64_t k = 0; k < rows; k += 2 * half)
                for (int64_t j = 0; j < half; ++j) {
                    const Twiddle4 t1 = twiddle4(w + 4 * j);
                    T* p = scratch + (k + j) * kRow;
                    for (int64_t q = 0; q < kRow; q += kStep) {
                        auto a = loadPair(p + q), b = loadPair(p + half * kRow + q);
                        butterfly4(a, b, t1);
                        storePair(p + q, a);
                        storePair(p + half * kRow + q, b);
                    }
                }
            w += 4 * half;
            half *= 2;
        }
    }
}

const bool kHasAvx2 = __builtin_cpu_supports("avx2");
#endif

inline __m128d floatTemp(const float* hi, const double* w) {
    const __m128d h = _mm_cvtps_pd(_mm_castpd_ps(_mm_load_sd(reinterpret_cast<const double*>(hi))));
    const __m128d swapped = _mm_shuffle_pd(h, h, 1);
    return _mm_add_pd(_mm_mul_pd(h, _mm_loadu_pd(w)), _mm_mul_pd(swapped, _mm_loadu_pd(w + 2)));
}

inline void butterflies(float* lo, float* hi, const double* w, int64_t count) {
    int64_t k = 0;
    for (; k + 2 <= count; k += 2, lo += 4, hi += 4, w += 8) {
        const __m128 t =
            _mm_movelh_ps(_mm_cvtpd_ps(floatTemp(hi, w)), _mm_cvtpd_ps(floatTemp(hi + 2, w + 4)));
        const __m128 l = _mm_loadu_ps(lo);
        _mm_storeu_ps(hi, _mm_sub_ps(l, t));
        _mm_storeu_ps(lo, _mm_add_ps(l, t));
    }
    for (; k < count; ++k, lo += 2, hi += 2, w += 4) {
        const __m128 t = _mm_cvtpd_ps(floatTemp(hi, w));
        const __m128 l = _mm_castpd_ps(_mm_load_sd(reinterpret_cast<const double*>(lo)));
        _mm_store_sd(reinterpret_cast<double*>(hi), _mm_castps_pd(_mm_sub_ps(l, t)));
        _mm_store_sd(reinterpret_cast<double*>(lo), _mm_castps_pd(_mm_add_ps(l, t)));
    }
}
#else
template <class T> void butterflies(T* lo, T* hi, const double* w, int64_t count) {
    for (int64_t k = 0; k < count; ++k, lo += 2, hi += 2, w += 4) {
        const double wr = w[0], wi = w[3];
        const double re = double(hi[0]), im = double(hi[1]);
        const T tempr = T(wr * re - wi * im);
        const T tempi = T(wr * im + wi * re);
        const T ar = lo[0], ai = lo[1];
        hi[0] = T(ar - tempr);
        hi[1] = T(ai - tempi);
        lo[0] = T(ar + tempr);
        lo[1] = T(ai + tempi);
    }
}
#endif

// One line of n complex values, contiguous. Two stages per pass where a
// vector form has them (for float, only AVX2's pays: the conversions, not the
// memory, bound the SSE2 form), the others one at a time.
template <class T>
void transformLine(T* data, int n, const double* table, const std::vector<uint32_t>& swaps) {
    bitReverse(data, swaps);
    const int64_t n2 = int64_t(2) * n;
    const double* w = table;
    for (int64_t mmax = 2; mmax < n2;) {
        const bool two = 2 * mmax < n2;
        const int64_t istep = mmax * 2;
#if defined(CELCORE_FFT_AVX2)
        if (kHasAvx2 && mmax >= 4) {
            if (two) {
                twoStagesAvx2(data, n2, mmax, w, w + 2 * mmax);
                w += 6 * mmax;
                mmax *= 4;
            } else {
                for (int64_t k = 0; k < n2; k += istep)
                    butterfliesAvx2(data + k, data + k + mmax, w, mmax / 2);
                w += 2 * mmax;
                mmax *= 2;
            }
            continue;
        }
#endif
#if defined(__SSE2__)
        if constexpr (std::is_same_v<T, double>)
            if (two) {
                twoStages(data, n2, mmax, w, w + 2 * mmax);
                w += 6 * mmax;
                mmax *= 4;
                continue;
            }
#endif
        for (int64_t k = 0; k < n2; k += istep) butterflies(data + k, data + k + mmax, w, mmax / 2);
        w += 2 * mmax;
        mmax *= 2;
    }
}

void checkParameters(int length, int sign) {
    if (!isPowerOfTwo(length) || (sign != 1 && sign != -1)) throw AlgoException("incorrect parameters");
}

} // namespace

namespace FFTAlgo {

// Body of the row transform: rows [r.begin(), r.end()) of n complex values.
template <class T> class FFT {
public:
    FFT(T* data, int n, const double* table, const std::vector<uint32_t>& swaps)
        : m_data(data), m_n(n), m_table(table), m_swaps(swaps) {}
    void operator()(const tbb::blocked_range<int>& r) const {
        for (int row = r.begin(); row != r.end(); ++row)
            transformLine(m_data + int64_t(2) * m_n * row, m_n, m_table, m_swaps);
    }

private:
    T* m_data;
    int m_n;
    const double* m_table;
    const std::vector<uint32_t>& m_swaps;
};

// Body of the column transform over blocks of kBlock columns: each block is
// gathered into contiguous scratch lines (reading kBlock neighbouring values of
// a row at a time), transformed and scattered back.
template <class T> class FFTcol {
public:
    static constexpr int kBlock = 8; // columns per block in the gathering form

    using Scratch = tbb::enumerable_thread_specific<std::unique_ptr<T[]>>;

    FFTcol(T* data, int n, int rows, const double* table, const std::vector<uint32_t>& swaps,
           const uint32_t* reversed = nullptr, int width = kBlock, Scratch* scratch = nullptr)
        : m_data(data), m_n(n), m_rows(rows), m_table(table), m_swaps(swaps), m_reversed(reversed),
          m_width(width), m_scratch(scratch) {}
    void operator()(const tbb::blocked_range<int>& r) const {
#if defined(CELCORE_FFT_AVX2)
        if (m_reversed) return wholeRows(r);
#endif
        const int64_t len = int64_t(2) * m_rows;
        std::vector<T> scratch(std::size_t(len) * kBlock);
        for (int block = r.begin(); block != r.end(); ++block) {
            const int c0 = block * kBlock;
            const int count = std::min(kBlock, m_n - c0);
            for (int row = 0; row < m_rows; ++row) {
                const T* src = m_data + (int64_t(row) * m_n + c0) * 2;
                for (int c = 0; c < count; ++c) {
                    scratch[std::size_t(c * len + 2 * row)] = src[2 * c];
                    scratch[std::size_t(c * len + 2 * row + 1)] = src[2 * c + 1];
                }
            }
            for (int c = 0; c < count; ++c) transformLine(scratch.data() + c * len, m_rows, m_table, m_swaps);
            for (int row = 0; row < m_rows; ++row) {
                T* dst = m_data + (int64_t(row) * m_n + c0) * 2;
                for (int c = 0; c < count; ++c) {
                    dst[2 * c] = scratch[std::size_t(c * len + 2 * row)];
                    dst[2 * c + 1] = scratch[std::size_t(c * len + 2 * row + 1)];
                }
            }
        }
    }

private:
#if defined(CELCORE_FFT_AVX2)
    // The block's rows copied whole into scratch, each to its bit-reversed
    // place (the walk's swaps made by the copy), transformed across the
    // block, copied back.
    void wholeRows(const tbb::blocked_range<int>& r) const {
        const size_t kRow = size_t(2) * size_t(m_width);
        // One scratch per thread and call, never cleared: every value is
        // written before it is read (the padding of a last, narrower block
        // included).
        std::unique_ptr<T[]>& mine = m_scratch->local();
        if (!mine) mine.reset(new T[size_t(m_rows) * kRow]);
        T* const scratch = mine.get();
        for (int block = r.begin(); block != r.end(); ++block) {
            const int c0 = block * m_width;
            const size_t values = size_t(2) * size_t(std::min(m_width, m_n - c0));
            for (int row = 0; row < m_rows; ++row) {
                const T* src = m_data + (int64_t(row) * m_n + c0) * 2;
                T* dst = scratch + size_t(m_reversed[row]) * kRow;
                if (values == kRow) {
                    std::memcpy(dst, src, sizeof(T) * kRow);
                } else {
                    std::memcpy(dst, src, sizeof(T) * values);
                    std::fill(dst + values, dst + kRow, T(0));
                }
            }
            transformColumnBlock(scratch, m_rows, int64_t(kRow), m_table);
            for (int row = 0; row < m_rows; ++row)
                std::memcpy(m_data + (int64_t(row) * m_n + c0) * 2, scratch + size_t(row) * kRow,
                            sizeof(T) * values);
        }
    }
#endif

    T* m_data;
    int m_n;
    int m_rows;
    const double* m_table;
    const std::vector<uint32_t>& m_swaps;
    const uint32_t* m_reversed; // the walk's permutation of rows, for wholeRows
    int m_width;                // columns per block
    Scratch* m_scratch;         // for wholeRows
};

} // namespace FFTAlgo

namespace {

template <class T> void rowTransform(T* data, int n, int rows, int sign) {
    if (rows <= 0) return;
    checkParameters(n, sign);
    if (!data) throw AlgoException("invalid pointer");
    const std::vector<double> table = twiddleTable(n, sign);
    const std::vector<uint32_t> swaps = bitReversalSwaps(n);
#if defined(__SANITIZE_THREAD__)
    // oneTBB's scheduler is not instrumented: plain threads under the sanitizer.
    const FFTAlgo::FFT<T> body(data, n, table.data(), swaps);
    CelAlgo::detail::parallelRows(0, rows, 1, int64_t(n),
                                  [&](int a, int b) { body(tbb::blocked_range<int>(a, b, 1)); });
#else
    tbb::task_group_context context;
    tbb::parallel_for(tbb::blocked_range<int>(0, rows, 1), FFTAlgo::FFT<T>(data, n, table.data(), swaps),
                      tbb::auto_partitioner(), context);
#endif
}

template <class T> void columnTransform(T* data, int n, int rows, int sign) {
    if (rows <= 0 || n <= 0) return;
    checkParameters(rows, sign);
    if (!data) throw AlgoException("invalid pointer");
    const std::vector<double> table = twiddleTable(rows, sign);
    const std::vector<uint32_t> swaps = bitReversalSwaps(rows);
    // Where whole scratch rows are transformed: the walk's swaps as a
    // permutation, and blocks as wide as leave four per thread.
    std::vector<uint32_t> reversed;
    int width = FFTAlgo::FFTcol<T>::kBlock;
#if defined(CELCORE_FFT_AVX2)
    if (kHasAvx2) {
        reversed.resize(size_t(rows));
        for (int i = 0; i < rows; ++i) reversed[size_t(i)] = uint32_t(i);
        for (size_t k = 0; k < swaps.size(); k += 2) std::swap(reversed[swaps[k]], reversed[swaps[k + 1]]);
        const int64_t enough = 4 * int64_t(std::max(1, tbb::this_task_arena::max_concurrency()));
        width = kMaxColumns;
        while (width > 2 && (int64_t(n) + width - 1) / width < enough) width /= 2;
    }
#endif
    const uint32_t* permutation = reversed.empty() ? nullptr : reversed.data();
    const int blocks = int((int64_t(n) + width - 1) / width);
#if defined(__SANITIZE_THREAD__)
    typename FFTAlgo::FFTcol<T>::Scratch scratch;
    const FFTAlgo::FFTcol<T> body(data, n, rows, table.data(), swaps, permutation, width, &scratch);
    CelAlgo::detail::parallelRows(0, blocks, 1, int64_t(rows) * width,
                                  [&](int a, int b) { body(tbb::blocked_range<int>(a, b, 1)); });
#else
    typename FFTAlgo::FFTcol<T>::Scratch scratch;
    tbb::task_group_context context;
    tbb::parallel_for(tbb::blocked_range<int>(0, blocks, 1),
                      FFTAlgo::FFTcol<T>(data, n, rows, table.data(), swaps, permutation, width, &scratch),
                      tbb::auto_partitioner(), context);
#endif
}

} // namespace

void FFT(float* data, int n, int rows, int sign) {
    rowTransform(data, n, rows, sign);
}
void FFT(double* data, int n, int rows, int sign) {
    rowTransform(data, n, rows, sign);
}
void FFTcol(float* data, int n, int rows, int sign) {
    columnTransform(data, n, rows, sign);
}
void FFTcol(double* data, int n, int rows, int sign) {
    columnTransform(data, n, rows, sign);
}

// --- Index rules ---

int cycleImageIndex(int i, int lo, int hi) {
    if (hi < lo) return int(int64_t(lo) - 1);
    const int64_t period = int64_t(hi) - lo + 1;
    int64_t d = (int64_t(i) - lo) % period;
    if (d < 0) d += period;
    return int(lo + d);
}

int mirrorImageIndex(int i, int lo, int hi) {
    if (hi < lo) return int(int64_t(lo) - 1);
    if (hi == lo) return lo;
    const int64_t span = int64_t(hi) - lo;
    const int64_t period = 2 * span;
    int64_t d = (int64_t(i) - lo) % period;
    if (d < 0) d += period;
    if (d > span) d = period - d;
    return int(lo + d);
}

int noPaddingImageIndex(int i, int lo, int hi) {
    return (i >= lo && i <= hi) ? i : int(int64_t(lo) - 1);
}

// --- Interpolation between images ---

namespace {

// The fields of row y of p over canvas columns [x1, x1 + w), zeros outside
// p's allocation; a direct pointer when p covers the whole span.
const CEL_PixelRGBA16* rowSpan(const CEL_PixmapAreaRGBA16* p, int y, int x1, int w,
                               std::vector<CEL_PixelRGBA16>& buffer) {
    const Math::Box2di& r = p->allocatedRect();
    if (y >= r.y1() && y < r.y2() && x1 >= r.x1() && int64_t(x1) + w <= r.x2() && p->data())
        return p->data() + p->pixelOffset(x1, y);
    std::fill(buffer.begin(), buffer.end(), CEL_PixelRGBA16{0, 0, 0, 0});
    if (y >= r.y1() && y < r.y2() && p->data()) {
        const int from = std::max(x1, r.x1());
        const int to = int(std::min<int64_t>(int64_t(x1) + w, r.x2()));
        if (from < to)
            std::copy_n(p->data() + p->pixelOffset(from, y), to - from, buffer.begin() + (from - x1));
    }
    return buffer.data();
}

// One row of pixels: t = alpha of mix / 32767, then each field
// out = trunc(a (1 - t) + b t), saturated. Clamping before the (truncating)
// conversion gives the same values as after it, and keeps the loop in vector
// registers; one pass, each pixel's t kept in a register (a row of t values
// written and read back cost as much as the rest). CELCORE_ROW_KERNEL: an AVX2
// build (no FMA, so the values are the SSE2 build's) where the processor has
// it. Returns the lowest alpha of mix (negative: t left [0, 1]).
CELCORE_ROW_KERNEL int16_t mixRow(const CEL_PixelRGBA16* a, const CEL_PixelRGBA16* b,
                                  const CEL_PixelRGBA16* mix, CEL_PixelRGBA16* out, int w) {
    int16_t lowest = 0;
    const int16_t* pa = &a->r;
    const int16_t* pb = &b->r;
    int16_t* po = &out->r;
    for (int x = 0; x < w; ++x) {
        const float tx = float(mix[x].a) / 32767.0f;
        lowest = mix[x].a < lowest ? mix[x].a : lowest;
        for (int c = 0; c < 4; ++c) {
            const int64_t i = int64_t(x) * 4 + c;
            float v = float(pa[i]) * (1.0f - tx) + float(pb[i]) * tx;
            v = v < -32767.0f ? -32767.0f : v;
            v = v > 32767.0f ? 32767.0f : v;
            po[i] = int16_t(int(v));
        }
    }
    return lowest;
}

} // namespace

void interpolateImages(const CEL_PixmapAreaRGBA16* a, const CEL_PixmapAreaRGBA16* b,
                       const CEL_PixmapAreaRGBA16* mix, CEL_PixmapAreaRGBA16* dst) {
    if (!a || !b || !mix || !dst || !dst->data()) return;
    const Math::Box2di rect = dst->allocatedRect();
    const int w = rect.w();
    std::atomic<bool> outsideUnit{false};
    // Rows are independent: the library's row passes (oneTBB, or plain
    // threads under the thread sanitizer), each band with its own row buffers.
    detail::parallelRows(rect.y1(), rect.y2(), 16, int64_t(w) * 3, [&](int y1, int y2) {
        std::vector<CEL_PixelRGBA16> bufA(static_cast<std::size_t>(w)), bufB(bufA), bufM(bufA);
        bool outside = false;
        for (int y = y1; y < y2; ++y) {
            const CEL_PixelRGBA16* pa = rowSpan(a, y, rect.x1(), w, bufA);
            const CEL_PixelRGBA16* pb = rowSpan(b, y, rect.x1(), w, bufB);
            const CEL_PixelRGBA16* pm = rowSpan(mix, y, rect.x1(), w, bufM);
            CEL_PixelRGBA16* out = dst->data() + int64_t(y - rect.y1()) * w;
            outside |= mixRow(pa, pb, pm, out, w) < 0;
        }
        if (outside) outsideUnit.store(true, std::memory_order_relaxed);
    });
    dst->setAllPositive(a->areAllPositive() && b->areAllPositive() && !outsideUnit.load());
}

// --- Interpolator ---

Interpolator::Interpolator(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src,
                           const PaddingSettings* padding)
    : m_dst(dst), m_src(src), m_srcWidth(src ? src->allocatedWidth() : 0),
      m_srcHeight(src ? src->allocatedHeight() : 0), m_dstWidth(dst ? dst->allocatedWidth() : 0),
      m_dstHeight(dst ? dst->allocatedHeight() : 0), m_dstData(dst ? dst->data() : nullptr),
      m_srcData(src ? src->data() : nullptr), m_padding(padding ? *padding : PaddingSettings()) {
    if (!m_srcData) m_srcWidth = m_srcHeight = 0;
}

namespace {

int indexFor(PaddingMode mode, int i, int hi) {
    switch (mode) {
    case PaddingMode::Cycle:
        return cycleImageIndex(i, 0, hi);
    case PaddingMode::Mirror:
        return mirrorImageIndex(i, 0, hi);
    case PaddingMode::None:
        break;
    }
    return noPaddingImageIndex(i, 0, hi);
}

// u brought near the source for the wrapping rules, so that its floor fits an
// int; values that already fit are left exact.
double reduced(PaddingMode mode, double u, int size) {
    if (std::fabs(u) < 1e9 || size <= 0) return u;
    double period = 0;
    if (mode == PaddingMode::Cycle) period = size;
    if (mode == PaddingMode::Mirror) period = 2.0 * (size - 1);
    if (period <= 0) return u < 0 ? -2.0 : double(size) + 1.0; // outside either way
    return u - period * std::floor(u / period);
}

} // namespace

void Interpolator::assign(int x, int y, double u, double v) {
    if (!m_dstData || x < 0 || y < 0 || x >= m_dstWidth || y >= m_dstHeight) return;
    CEL_PixelRGBA16& out = m_dstData[int64_t(y) * m_dstWidth + x];
    out = CEL_PixelRGBA16{0, 0, 0, 0};
    if (!std::isfinite(u) || !std::isfinite(v) || m_srcWidth <= 0 || m_srcHeight <= 0) return;
    u = reduced(m_padding.modeX, u, m_srcWidth);
    v = reduced(m_padding.modeY, v, m_srcHeight);
    const double fu = std::floor(u), fv = std::floor(v);
    const double tx = u - fu, ty = v - fv;
    const int x0 = int(fu), y0 = int(fv);
    const int xs[2] = {indexFor(m_padding.modeX, x0, m_srcWidth - 1),
                       tx != 0 ? indexFor(m_padding.modeX, x0 + 1, m_srcWidth - 1) : -1};
    const int ys[2] = {indexFor(m_padding.modeY, y0, m_srcHeight - 1),
                       ty != 0 ? indexFor(m_padding.modeY, y0 + 1, m_srcHeight - 1) : -1};
    const double wx[2] = {1.0 - tx, tx}, wy[2] = {1.0 - ty, ty};
    double acc[4] = {0, 0, 0, 0};
    for (int j = 0; j < 2; ++j) {
        if (ys[j] < 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (xs[i] < 0) continue;
            const CEL_PixelRGBA16& p = m_srcData[int64_t(ys[j]) * m_srcWidth + xs[i]];
            const double k = wx[i] * wy[j];
            acc[0] += k * p.r;
            acc[1] += k * p.g;
            acc[2] += k * p.b;
            acc[3] += k * p.a;
        }
    }
    const auto store = [](double value) { return int16_t(std::clamp(std::round(value), -32767.0, 32767.0)); };
    out.r = store(acc[0]);
    out.g = store(acc[1]);
    out.b = store(acc[2]);
    out.a = store(acc[3]);
}

} // namespace CelAlgo
