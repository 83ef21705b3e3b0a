// Fourier transform, kernel blur and image interpolation, with peers in the
// same binary when they were found:
//   FFT + FFTcol over 4096 x 4096 complex values in place (double, float):
//     FFTW fftw_plan_dft_2d, ESTIMATE and MEASURE (execution only),
//     libvips vips_fwfft on a complex image;
//   motionBlur of an HD cel (1920 x 1080, transform 2048 x 2048) and a UHD one
//   (3840 x 2160, 4096 x 4096) by a 33 x 1 line, a 65 x 65 stroke and a 33 x 33
//   disc: vips_conv (integer and float precision) with the same mask;
//   interpolateImages over 4096 x 4096: vips_ifthenelse blending, and a plain
//   loop reading three pixels and writing one (the bandwidth floor).
// The second argument (or the only one) is the thread count.
// Before Qt's headers: glib uses "signals" as a name.
#ifdef CELCORE_BENCH_HAVE_FFTW
#include <fftw3.h>
#endif
#ifdef CELCORE_BENCH_HAVE_VIPS
#include <vips/vips.h>
#endif

#include <benchmark/benchmark.h>
#include <tbb/global_control.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "BenchPeers.h"
#include "algo/filters/Fourier.h"
#include "algo/filters/MotionBlur.h"
#include "pixel/PixmapArea.h"

namespace {

constexpr int kSide = 4096;

tbb::global_control threadLimit(int threads) {
    return tbb::global_control(tbb::global_control::max_allowed_parallelism, std::size_t(threads));
}

template <class T> const std::vector<T>& complexInput() {
    static const std::vector<T> data = [] {
        std::vector<T> v(std::size_t(kSide) * kSide * 2);
        std::mt19937 rng(1);
        std::uniform_real_distribution<double> d(-1.0, 1.0);
        for (T& x : v) x = T(d(rng));
        return v;
    }();
    return data;
}

// The input restored before each pass, outside the timing (a transform grows
// the values by the length each time).
template <class T> void BM_FFT2D(benchmark::State& state) {
    const auto limit = threadLimit(int(state.range(0)));
    std::vector<T> data = complexInput<T>();
    for (auto _ : state) {
        CelAlgo::FFT(data.data(), kSide, kSide, 1);
        CelAlgo::FFTcol(data.data(), kSide, kSide, 1);
        benchmark::DoNotOptimize(data.data());
        state.PauseTiming();
        std::memcpy(data.data(), complexInput<T>().data(), data.size() * sizeof(T));
        state.ResumeTiming();
    }
}
BENCHMARK(BM_FFT2D<double>)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FFT2D<float>)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

#ifdef CELCORE_BENCH_HAVE_FFTW
template <unsigned Flags> void BM_PeerFftw2D(benchmark::State& state) {
    static const bool threadsReady = fftw_init_threads() != 0;
    if (!threadsReady) {
        state.SkipWithError("fftw threads did not start");
        return;
    }
    fftw_plan_with_nthreads(int(state.range(0)));
    auto* data = static_cast<fftw_complex*>(fftw_malloc(sizeof(fftw_complex) * std::size_t(kSide) * kSide));
    fftw_plan plan =
        fftw_plan_dft_2d(kSide, kSide, data, data, FFTW_FORWARD, Flags); // MEASURE overwrites data
    std::memcpy(data, complexInput<double>().data(), sizeof(fftw_complex) * std::size_t(kSide) * kSide);
    for (auto _ : state) {
        fftw_execute(plan);
        benchmark::DoNotOptimize(data);
        state.PauseTiming();
        std::memcpy(data, complexInput<double>().data(), sizeof(fftw_complex) * std::size_t(kSide) * kSide);
        state.ResumeTiming();
    }
    fftw_destroy_plan(plan);
    fftw_free(data);
}
BENCHMARK(BM_PeerFftw2D<FFTW_ESTIMATE>)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PeerFftw2D<FFTW_MEASURE>)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

#ifdef CELCORE_BENCH_HAVE_VIPS
bool vipsReady(benchmark::State& state) {
    if (VIPS_INIT("celcore_bench")) {
        state.SkipWithError("vips did not start");
        return false;
    }
    vips_concurrency_set(int(state.range(state.range(1) ? 1 : 0)));
    vips_cache_set_max(0);
    return true;
}

void runVips(benchmark::State& state, VipsImage* in, VipsImage* (*op)(VipsImage*)) {
    for (auto _ : state) {
        VipsImage* out = op(in);
        if (!out) {
            state.SkipWithError("vips failed");
            break;
        }
        benchpeers::computeAndRelease(out);
    }
}

void BM_PeerVipsFwfft(benchmark::State& state) {
    if (!vipsReady(state)) return;
    const std::vector<double>& data = complexInput<double>();
    VipsImage* in = vips_image_new_from_memory(data.data(), data.size() * sizeof(double), kSide, kSide, 1,
                                               VIPS_FORMAT_DPCOMPLEX);
    runVips(state, in, [](VipsImage* i) {
        VipsImage* out = nullptr;
        return vips_fwfft(i, &out, nullptr) == 0 ? out : nullptr;
    });
    g_object_unref(in);
}
BENCHMARK(BM_PeerVipsFwfft)->Args({1, 0})->Args({2, 0})->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

// --- Kernel blur ---

enum KernelShape { Line = 0, Stroke = 1, Disc = 2 };

std::unique_ptr<CEL_PixmapAreaRGBA16> kernelOf(int shape) {
    const int side = shape == Line ? 33 : shape == Stroke ? 65 : 33;
    auto k = std::make_unique<CEL_PixmapAreaRGBA16>(side, shape == Line ? 1 : side);
    k->realloc(k->canvasRect(), true);
    if (shape == Line) {
        for (int x = 0; x < side; ++x) k->pixel(x, 0)->a = 32767;
    } else if (shape == Disc) {
        for (int y = 0; y < side; ++y)
            for (int x = 0; x < side; ++x)
                if ((x - 16) * (x - 16) + (y - 16) * (y - 16) <= 16 * 16) k->pixel(x, y)->a = 32767;
    } else { // a curved stroke of 245 pixels
        int placed = 0;
        for (int s = 0; s < 4000 && placed < 245; ++s) {
            const double t = s / 4000.0;
            const int x = int(std::lround(4 + 56 * t)), y = int(std::lround(60 - 70 * t + 30 * t * t));
            CEL_PixelRGBA16* p = k->pixel(x, y);
            if (p && p->a == 0) p->a = int16_t(3000 + 29000 * t), ++placed;
            const int y2 = y + 1;
            if (CEL_PixelRGBA16* q = k->pixel(x, y2); q && q->a == 0 && placed < 245)
                q->a = int16_t(2000 + 20000 * t), ++placed;
        }
    }
    return k;
}

std::unique_ptr<CEL_PixmapAreaRGBA16> celOf(int w, int h) {
    auto p = std::make_unique<CEL_PixmapAreaRGBA16>(w, h);
    p->realloc(p->canvasRect(), true);
    std::mt19937 rng(7);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const bool inside = (x - w / 2) * (x - w / 2) + (y - h / 2) * (y - h / 2) < (h / 3) * (h / 3);
            if (inside) *p->pixel(x, y) = CEL_PixelRGBA16{int16_t(rng() % 32768), 9000, 20000, 32767};
        }
    return p;
}

// range(0): 0 HD, 1 UHD; range(1): kernel shape; range(2): threads.
void BM_MotionBlur(benchmark::State& state) {
    const auto limit = threadLimit(int(state.range(2)));
    const auto src = state.range(0) ? celOf(3840, 2160) : celOf(1920, 1080);
    const auto kernel = kernelOf(int(state.range(1)));
    for (auto _ : state) {
        std::unique_ptr<CEL_PixmapAreaRGBA16> out(
            CelAlgo::motionBlur(src.get(), kernel.get(), src->canvasRect(), 1.0, false));
        benchmark::DoNotOptimize(out.get());
    }
}
BENCHMARK(BM_MotionBlur)
    ->ArgsProduct({{0, 1}, {Line, Stroke, Disc}, {1, 2}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

#ifdef CELCORE_BENCH_HAVE_VIPS
// range(0): kernel shape; range(1): threads; range(2): 1 float precision, 0 integer. HD only.
void BM_PeerVipsConv(benchmark::State& state) {
    if (!vipsReady(state)) return;
    const auto src = celOf(1920, 1080);
    const auto kernel = kernelOf(int(state.range(0)));
    std::vector<double> mask(std::size_t(kernel->allocatedArea()));
    double sum = 0;
    for (std::size_t i = 0; i < mask.size(); ++i) sum += mask[i] = kernel->data()[i].a;
    VipsImage* m = vips_image_new_matrix_from_array(kernel->allocatedWidth(), kernel->allocatedHeight(),
                                                    mask.data(), int(mask.size()));
    vips_image_set_double(m, "scale", sum);
    static VipsImage* maskImage;
    static VipsPrecision precision;
    maskImage = m;
    precision = state.range(2) ? VIPS_PRECISION_FLOAT : VIPS_PRECISION_INTEGER;
    VipsImage* in = vips_image_new_from_memory(src->data(), std::size_t(src->allocatedArea()) * 8, 1920, 1080,
                                               4, VIPS_FORMAT_SHORT);
    runVips(state, in, [](VipsImage* i) {
        VipsImage* out = nullptr;
        return vips_conv(i, &out, maskImage, "precision", precision, nullptr) == 0 ? out : nullptr;
    });
    g_object_unref(in);
    g_object_unref(m);
}
BENCHMARK(BM_PeerVipsConv)
    ->ArgsProduct({{Line, Stroke, Disc}, {1, 2}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
#endif

// --- Interpolation ---

struct MixInputs {
    std::unique_ptr<CEL_PixmapAreaRGBA16> a, b, mix, dst;
    MixInputs() {
        a = celOf(kSide, kSide), b = celOf(kSide, kSide), mix = celOf(kSide, kSide);
        dst = std::make_unique<CEL_PixmapAreaRGBA16>(kSide, kSide);
        dst->realloc(dst->canvasRect(), true);
        for (int64_t i = 0; i < mix->allocatedArea(); ++i) mix->data()[i].a = int16_t(i % 32768);
    }
};

MixInputs& mixInputs() {
    static MixInputs inputs;
    return inputs;
}

void BM_InterpolateImages(benchmark::State& state) {
    MixInputs& m = mixInputs();
    for (auto _ : state) {
        CelAlgo::interpolateImages(m.a.get(), m.b.get(), m.mix.get(), m.dst.get());
        benchmark::DoNotOptimize(m.dst->data());
    }
}
BENCHMARK(BM_InterpolateImages)->Unit(benchmark::kMillisecond)->UseRealTime();

// The floor: three 8-byte pixels read, one written, the plainest arithmetic.
void BM_BaselineThreeReadsOneWrite(benchmark::State& state) {
    MixInputs& m = mixInputs();
    const int64_t n = m.dst->allocatedArea();
    for (auto _ : state) {
        const CEL_PixelRGBA16 *a = m.a->data(), *b = m.b->data(), *t = m.mix->data();
        CEL_PixelRGBA16* d = m.dst->data();
        for (int64_t i = 0; i < n; ++i)
            d[i] = CEL_PixelRGBA16{int16_t(a[i].r ^ b[i].r ^ t[i].a), int16_t(a[i].g ^ b[i].g ^ t[i].a),
                                   int16_t(a[i].b ^ b[i].b ^ t[i].a), int16_t(a[i].a ^ b[i].a ^ t[i].a)};
        benchmark::DoNotOptimize(d);
    }
}
BENCHMARK(BM_BaselineThreeReadsOneWrite)->Unit(benchmark::kMillisecond)->UseRealTime();

#ifdef CELCORE_BENCH_HAVE_VIPS
void BM_PeerVipsIfthenelseBlend(benchmark::State& state) {
    if (!vipsReady(state)) return;
    MixInputs& m = mixInputs();
    const auto image = [](const CEL_PixmapAreaRGBA16& p) {
        return vips_image_new_from_memory(p.data(), std::size_t(p.allocatedArea()) * 8, kSide, kSide, 4,
                                          VIPS_FORMAT_SHORT);
    };
    VipsImage* a = image(*m.a);
    VipsImage* b = image(*m.b);
    VipsImage* mix = image(*m.mix);
    VipsImage* cond = nullptr;
    vips_extract_band(mix, &cond, 3, nullptr);
    VipsImage* cond8 = nullptr;
    vips_cast(cond, &cond8, VIPS_FORMAT_UCHAR, "shift", TRUE, nullptr);
    for (auto _ : state) {
        VipsImage* out = nullptr;
        if (vips_ifthenelse(cond8, b, a, &out, "blend", TRUE, nullptr) != 0) {
            state.SkipWithError("vips failed");
            break;
        }
        benchpeers::computeAndRelease(out);
    }
    for (VipsImage* i : {a, b, mix, cond, cond8})
        if (i) g_object_unref(i);
}
BENCHMARK(BM_PeerVipsIfthenelseBlend)->Args({1, 0})->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

} // namespace
