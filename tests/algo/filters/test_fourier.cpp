#include <tbb/task_arena.h>

#include <numbers>

#include "algo/composite/test_composite_util.h"
#include "algo/filters/Fourier.h"

using namespace CelAlgo;
using namespace comptest;

namespace {

// The reference loop, one line, written out plainly: the swapping walk, then the
// butterflies with the twiddle recurrence advanced inside the loop.
template <class T> void plainTransform(T* data, int n, int sign) {
    const int n2 = 2 * n;
    int j = 0;
    for (int i = 0; i < n2; i += 2) {
        if (j > i) {
            std::swap(data[j], data[i]);
            std::swap(data[j + 1], data[i + 1]);
        }
        int m = n;
        while (m >= 2 && j >= m) {
            j -= m;
            m >>= 1;
        }
        j += m;
    }
    for (int mmax = 2; n2 > mmax; mmax *= 2) {
        const int istep = 2 * mmax;
        const double theta = 2.0 * std::numbers::pi / mmax * sign;
        const float wtemp = float(std::sin(0.5 * theta));
        const double wpr = -2.0 * double(wtemp) * double(wtemp);
        const double wpi = std::sin(theta);
        double wr = 1.0, wi = 0.0;
        for (int m = 0; m < mmax; m += 2) {
            for (int i = m; i < n2; i += istep) {
                const int k = i + mmax;
                const T tempr = T(wr * double(data[k]) - wi * double(data[k + 1]));
                const T tempi = T(wr * double(data[k + 1]) + wi * double(data[k]));
                data[k] = data[i] - tempr;
                data[k + 1] = data[i + 1] - tempi;
                data[i] += tempr;
                data[i + 1] += tempi;
            }
            const double old = wr;
            wr = wr * wpr - wi * wpi + wr;
            wi = wi * wpr + old * wpi + wi;
        }
    }
}

template <class T> std::vector<T> randomData(std::size_t count, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> d(-1000.0, 1000.0);
    std::vector<T> v(count);
    for (T& x : v) x = T(d(rng));
    return v;
}

template <class T> void expectSameAsPlainLoop() {
    for (int n = 1; n <= 8192; n *= 2) {
        const int rows = n >= 2048 ? 3 : 11; // 11: one whole column block and a part of one
        const auto input = randomData<T>(std::size_t(2) * n * rows, unsigned(n));
        for (int sign : {1, -1}) {
            std::vector<T> expectRows = input;
            for (int r = 0; r < rows; ++r)
                plainTransform(expectRows.data() + std::size_t(2) * n * r, n, sign);
            // Columns of the transposed problem: a rows x n array whose columns have length n.
            std::vector<T> expectCols(input.size());
            for (int c = 0; c < rows; ++c) {
                std::vector<T> line(std::size_t(2) * n);
                for (int r = 0; r < n; ++r) {
                    line[2 * r] = input[(std::size_t(r) * rows + c) * 2];
                    line[2 * r + 1] = input[(std::size_t(r) * rows + c) * 2 + 1];
                }
                plainTransform(line.data(), n, sign);
                for (int r = 0; r < n; ++r) {
                    expectCols[(std::size_t(r) * rows + c) * 2] = line[2 * r];
                    expectCols[(std::size_t(r) * rows + c) * 2 + 1] = line[2 * r + 1];
                }
            }
            for (int threads : {1, 2, 8}) {
                tbb::task_arena arena(threads);
                std::vector<T> gotRows = input, gotCols = input;
                arena.execute([&] {
                    FFT(gotRows.data(), n, rows, sign);
                    FFTcol(gotCols.data(), rows, n, sign);
                });
                ASSERT_TRUE(gotRows == expectRows)
                    << "rows, n " << n << " sign " << sign << " threads " << threads;
                ASSERT_TRUE(gotCols == expectCols)
                    << "columns, n " << n << " sign " << sign << " threads " << threads;
            }
        }
    }
}

// A tone of frequency k goes to n at bin k and nowhere else: the loop above is the
// discrete transform, not just the same arithmetic (every k up to n = 256).
template <class T> void expectTonesFindTheirBins(int n, int sign, double tolerance) {
    for (int k = 0; k<n; k += n> 256 ? 37 : 1) {
        std::vector<T> d(std::size_t(2) * n);
        for (int j = 0; j < n; ++j) {
            const double a = -sign * 2.0 * std::numbers::pi * double(int64_t(j) * k % n) / n;
            d[2 * std::size_t(j)] = T(std::cos(a)), d[2 * std::size_t(j) + 1] = T(std::sin(a));
        }
        FFT(d.data(), n, 1, sign);
        for (int b = 0; b < n; ++b)
            ASSERT_LT(std::hypot(double(d[2 * std::size_t(b)]) - (b == k ? n : 0),
                                 double(d[2 * std::size_t(b) + 1])),
                      tolerance * n)
                << "n " << n << " sign " << sign << " tone " << k << " bin " << b;
    }
}

} // namespace

TEST(Fourier, RowsAndColumnsEqualThePlainLoopAtAnyThreadCount) {
    expectSameAsPlainLoop<double>();
    expectSameAsPlainLoop<float>();
}

TEST(Fourier, EachToneFindsItsBin) {
    for (int n : {2, 16, 256, 2048})
        for (int sign : {1, -1}) {
            expectTonesFindTheirBins<double>(n, sign, 5e-8);
            expectTonesFindTheirBins<float>(n, sign, 2e-7);
        }
}

TEST(Fourier, BadParameters) {
    std::vector<double> d(64, 1.0);
    std::vector<float> f(64, 1.0f);
    EXPECT_THROW(FFT(d.data(), 3, 2, 1), AlgoException);
    EXPECT_THROW(FFT(f.data(), 4, 2, 0), AlgoException);
    EXPECT_THROW(FFTcol(d.data(), 2, 6, 1), AlgoException); // columns of length 6
    EXPECT_EQ(thrownText([&] { FFT(d.data(), 12, 1, 1); }), "incorrect parameters");
    // No rows: nothing at all, not even a check of the data.
    FFT(static_cast<double*>(nullptr), 3, 0, 5);
    FFTcol(static_cast<float*>(nullptr), 4, -1, 1);
    EXPECT_TRUE(std::all_of(d.begin(), d.end(), [](double x) { return x == 1.0; }));
}

TEST(Fourier, IndexRules) {
    // An empty range (hi < lo) gives hi; otherwise the closed forms against the defining loops.
    EXPECT_EQ(mirrorImageIndex(3, 5, 4), 4);
    EXPECT_EQ(cycleImageIndex(3, 5, 4), 4);
    for (int lo : {-3, 0, 2})
        for (int hi = lo; hi <= lo + 6; ++hi)
            for (int i = -60; i <= 60; ++i) {
                int c = i;
                while (c < lo) c += hi - lo + 1;
                while (c > hi) c -= hi - lo + 1;
                ASSERT_EQ(cycleImageIndex(i, lo, hi), c) << i << " " << lo << " " << hi;
                int m = i;
                while (hi > lo && (m < lo || m > hi)) m = m < lo ? 2 * lo - m : 2 * hi - m;
                if (hi == lo) m = lo;
                ASSERT_EQ(mirrorImageIndex(i, lo, hi), m) << i << " " << lo << " " << hi;
                ASSERT_EQ(noPaddingImageIndex(i, lo, hi), (i >= lo && i <= hi) ? i : lo - 1);
            }
    // Extreme indices do not overflow.
    EXPECT_EQ(cycleImageIndex(INT32_MIN, 0, 9), int((int64_t(INT32_MIN) % 10 + 10) % 10));
    const int far = mirrorImageIndex(INT32_MAX, -5, 5);
    EXPECT_TRUE(far >= -5 && far <= 5);
}

// A picture of many rows (split between threads) and an odd width, each
// pixmap allocated over a different part of the canvas: every field equals the
// rule computed here one value at a time, and a negative mix in the last row
// alone clears allPositive.
TEST(Fourier, InterpolateImagesFollowsTheRuleOnLargePictures) {
    constexpr int kW = 67, kH = 300;
    auto a = randomPixmap(kW, kH, Math::Box2di(0, 0, kW, kH), 31);
    auto b = randomPixmap(kW, kH, Math::Box2di(5, 10, kW - 9, kH - 30), 32);
    auto mix = randomPixmap(kW, kH, Math::Box2di(0, 3, kW, kH - 3), 33);
    auto dst = makePixmap(kW, kH, Math::Box2di(0, 0, kW, kH));
    for (int64_t i = 0; i < mix->allocatedArea(); ++i) mix->data()[i].a = int16_t(std::abs(mix->data()[i].a));
    for (int x = 0; x < kW; ++x) // extrapolation past a (saturating), in the last row only
        mix->pixel(x, kH - 1)->a = int16_t(-32767 + 400 * x);
    a->setAllPositive(true);
    b->setAllPositive(true);
    interpolateImages(a.get(), b.get(), mix.get(), dst.get());
    const auto at = [](const Pixmap& p, int x, int y) {
        return p.pixel(x, y) ? *p.pixel(x, y) : px(0, 0, 0, 0);
    };
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            const float t = float(at(*mix, x, y).a) / 32767.0f;
            for (int f = 0; f < 4; ++f) {
                const float v =
                    float(field(at(*a, x, y), f)) * (1.0f - t) + float(field(at(*b, x, y), f)) * t;
                ASSERT_EQ(field(*dst->pixel(x, y), f), int16_t(int(std::clamp(v, -32767.0f, 32767.0f))))
                    << x << "," << y << " field " << f;
            }
        }
    EXPECT_FALSE(dst->areAllPositive());
    // A missing pixmap leaves dst alone.
    const Pixel kept = dst->data()[0];
    interpolateImages(a.get(), nullptr, mix.get(), dst.get());
    EXPECT_EQ(dst->data()[0], kept);
}

TEST(Fourier, InterpolatorSamplesWithPadding) {
    auto src = makePixmap(3, 2, Math::Box2di(0, 0, 3, 2));
    for (int i = 0; i < 6; ++i) src->data()[i] = Pixel{int16_t(1000 * (i + 1)), int16_t(-i), 0, 32767};
    auto dst = makePixmap(4, 1, Math::Box2di(0, 0, 4, 1));
    const auto sample = [&](const PaddingSettings* s, double u, double v) {
        Interpolator in(dst.get(), src.get(), s);
        in.assign(0, 0, u, v);
        return dst->data()[0];
    };
    // Integer positions copy; halfway is the mean, rounded half away from zero.
    EXPECT_EQ(sample(nullptr, 2, 1), src->data()[5]);
    EXPECT_EQ(sample(nullptr, 0.5, 0), (Pixel{1500, -1, 0, 32767}));
    EXPECT_EQ(sample(nullptr, 0.25, 0.5), (Pixel{2750, -2, 0, 32767}));
    // Outside with no padding: zero weight beyond the edge.
    EXPECT_EQ(sample(nullptr, 2.5, 0), (Pixel{1500, -1, 0, 16384}));
    EXPECT_EQ(sample(nullptr, -1, 0), (Pixel{0, 0, 0, 0}));
    EXPECT_EQ(sample(nullptr, std::nan(""), 0), (Pixel{0, 0, 0, 0}));
    const PaddingSettings cycle{PaddingMode::Cycle, PaddingMode::Cycle};
    const PaddingSettings mirror{PaddingMode::Mirror, PaddingMode::None};
    EXPECT_EQ(sample(&cycle, -1, -1), src->data()[5]);
    EXPECT_EQ(sample(&cycle, 2.5, 0), (Pixel{2000, -1, 0, 32767}));
    EXPECT_EQ(sample(&cycle, 3e12 + 1, 2), src->data()[1]);
    EXPECT_EQ(sample(&mirror, -1, 0), src->data()[1]);
    EXPECT_EQ(sample(&mirror, 0, 2), (Pixel{0, 0, 0, 0}));
    EXPECT_EQ(sample(&mirror, -1e300, 0).a, 32767);
    // The settings were copied: changing them later does not matter.
    PaddingSettings changing = cycle;
    Interpolator in(dst.get(), src.get(), &changing);
    changing.modeX = PaddingMode::None;
    in.assign(1, 0, -1, 0);
    EXPECT_EQ(dst->data()[1], src->data()[2]);
    in.assign(9, 0, 0, 0); // outside dst: nothing written
}
