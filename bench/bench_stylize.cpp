// Stylising filters and refraction on a 4096 x 4096 cel (antialiased discs over
// transparency, area RGBA16), at 1 and 2 threads, beside a memcpy of the same
// bytes. The pixmap is restored from a pristine copy outside the timed region
// before every pass. Peers in the same binary when found: libvips (shrink and
// zoom, cast to 8 bits, maplut, xyz + linear, mapim with its index computed
// beforehand) and ImageMagick (OrderedPosterizeImage, AddNoiseImage,
// SigmoidalContrastImage). All benchmarks are named BM_Stylize*. Besides the
// wall time, cpu_ms is the processor time of the whole process per pass (all
// its threads, the peers' own workers included): on a shared, loaded machine
// the single-thread cpu_ms are the figures to compare.
// The peers come first: glib names a member after one of Qt's keyword macros.
#ifdef CELCORE_BENCH_HAVE_VIPS
#include <vips/vips.h>
#endif
#ifdef CELCORE_BENCH_HAVE_MAGICK
#include <magick/MagickCore.h>
#endif

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include <sys/resource.h>
#include <tbb/global_control.h>
#include <tbb/parallel_for.h>

#include "BenchCels.h"
#include "BenchPeers.h"
#include "algo/filters/Refract.h"
#include "algo/filters/Stylize.h"
#include "base/MathTypes.h"
#include "base/QXMaths.h"
#include "pixel/PixmapArea.h"

namespace {

#ifdef CELCORE_BENCH_HAVE_VIPS
using benchpeers::runVips;
using benchpeers::startVips;
#endif

using benchcels::CpuMeter;
using benchcels::kPixels;
using benchcels::kSide;
using benchcels::setRate;

const CEL_PixmapAreaRGBA16& cel() {
    static const benchcels::Cels c(benchcels::Shapes::Discs, true);
    return c.layer;
}

void BM_StylizeMemcpy(benchmark::State& state) {
    benchcels::copyCelBytes(state, cel());
}
BENCHMARK(BM_StylizeMemcpy)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

CEL_PixmapAreaRGBA16* opaqueMask() {
    static const std::unique_ptr<CEL_PixmapAreaRGBA16> m = [] {
        auto p = std::make_unique<CEL_PixmapAreaRGBA16>(kSide, kSide);
        p->realloc(p->canvasRect(), false);
        std::fill(p->data(), p->data() + kPixels, CEL_PixelRGBA16{0, 0, 0, 32767});
        return p;
    }();
    return m.get();
}

void runOp(benchmark::State& state, const std::function<void(CEL_PixmapAreaRGBA16*)>& op) {
    tbb::global_control threads(tbb::global_control::max_allowed_parallelism, std::size_t(state.range(0)));
    const CEL_PixmapAreaRGBA16& source = cel();
    opaqueMask(); // built before the first timed pass
    std::unique_ptr<CEL_PixmapAreaRGBA16> p(source.clone());
    CpuMeter cpu;
    for (auto _ : state) {
        state.PauseTiming();
        if (p->allocatedRect() != source.allocatedRect()) p.reset(source.clone());
        p->copyFrom(&source);
        state.ResumeTiming();
        cpu.start();
        op(p.get());
        cpu.stop();
        benchmark::ClobberMemory();
    }
    cpu.report(state);
    setRate(state);
}

#define STYLIZE_BENCHMARK(name, ...)                                                                         \
    void BM_Stylize_##name(benchmark::State& state) {                                                        \
        runOp(state, [](CEL_PixmapAreaRGBA16* p) { __VA_ARGS__; });                                          \
    }                                                                                                        \
    BENCHMARK(BM_Stylize_##name)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime()

Math::Matrix4x4 perspective() {
    Math::Matrix4x4 m = Math::Matrix4x4::translation(100, -40);
    m(0, 1) = 0.2;
    m(3, 0) = 0.0001;
    return m;
}

STYLIZE_BENCHMARK(pixelate16,
                  CelAlgo::pixelate(p, opaqueMask(), 16.0 * 720 / (double(kSide) * kSide), false));
STYLIZE_BENCHMARK(contrast, CelAlgo::contrast(p, 0.5, 2.0, 0.5));
STYLIZE_BENCHMARK(quantise, CelAlgo::dither(p, 0, false, false, true));
STYLIZE_BENCHMARK(noise, QXMaths::srand48(1); CelAlgo::dither(p, 2, false, true, false));
STYLIZE_BENCHMARK(quantiseNoise, QXMaths::srand48(1); CelAlgo::dither(p, 2, false, true, true));
STYLIZE_BENCHMARK(grain, CelAlgo::addGrain(p, p, 2, 0.3, 0.5, 1, false));
STYLIZE_BENCHMARK(gradient, CelAlgo::gradient(p, p->canvasRect(), perspective(), 100, 100, 3000, 3500, 255,
                                              128, 0, 255, 0, 64, 255, 128));
STYLIZE_BENCHMARK(refract, delete CelAlgo::refract(p, &cel(), 20, 1, 1.33, false));

// --- Peers ---

#if defined(CELCORE_BENCH_HAVE_VIPS) || defined(CELCORE_BENCH_HAVE_MAGICK)
// The cel as 16-bit RGBA with associated alpha, 0 ... 65534.
const std::vector<uint16_t>& celUShort() {
    static const std::vector<uint16_t> out = benchpeers::ushortPixels(cel());
    return out;
}
#endif

#ifdef CELCORE_BENCH_HAVE_VIPS

VipsImage* vipsCel() {
    return benchpeers::vipsRgb16(celUShort());
}

#define STYLIZE_VIPS(name, ...)                                                                              \
    void BM_StylizePeer_vips_##name(benchmark::State& state) {                                               \
        if (!startVips(state)) return;                                                                       \
        VipsImage* in = vipsCel();                                                                           \
        runVips(state, in, [](VipsImage* i, VipsImage** o) {                                                 \
            (void)i;                                                                                         \
            __VA_ARGS__;                                                                                     \
        });                                                                                                  \
        g_object_unref(in);                                                                                  \
    }                                                                                                        \
    BENCHMARK(BM_StylizePeer_vips_##name)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime()

// The mosaic: a 16 x 16 box average, then each block repeated.
STYLIZE_VIPS(shrink16_zoom16, VipsImage* s = nullptr; if (vips_shrink(i, &s, 16, 16, nullptr)) return -1;
             const int r = vips_zoom(s, o, 16, 16, nullptr); g_object_unref(s); return r);
STYLIZE_VIPS(cast_uchar, return vips_cast(i, o, VIPS_FORMAT_UCHAR, nullptr));
STYLIZE_VIPS(maplut, VipsImage* lut = nullptr; if (vips_identity(&lut, "ushort", TRUE, nullptr)) return -1;
             VipsImage* curve = nullptr; const double a = 0.9, b = 100;
             if (vips_linear(lut, &curve, &a, &b, 1, nullptr)) return -1; VipsImage* c16 = nullptr;
             vips_cast(curve, &c16, VIPS_FORMAT_USHORT, nullptr);
             const int r = vips_maplut(i, o, c16, nullptr); g_object_unref(c16); g_object_unref(curve);
             g_object_unref(lut); return r);
// A gradient: coordinates, a linear mix of them.
STYLIZE_VIPS(xyz_linear, VipsImage* xy = nullptr; if (vips_xyz(&xy, kSide, kSide, nullptr)) return -1;
             const double a[2] = {0.01, 0.02}, b[2] = {0, 0}; VipsImage* l = nullptr;
             if (vips_linear(xy, &l, a, b, 2, nullptr)) return -1; VipsImage * bands[4] = {l, l, l, l};
             VipsImage* joined = nullptr; const int r0 = vips_bandjoin(bands, &joined, 4, nullptr);
             const int r = r0 ? r0 : vips_cast(joined, o, VIPS_FORMAT_USHORT, nullptr);
             if (joined) g_object_unref(joined); g_object_unref(l); g_object_unref(xy); return r);

// Resampling through a displacement map computed beforehand.
void BM_StylizePeer_vips_mapim(benchmark::State& state) {
    if (!startVips(state)) return;
    VipsImage* in = vipsCel();
    VipsImage *xy = nullptr, *shifted = nullptr;
    const double a[2] = {1, 1}, b[2] = {0.3, 0.6};
    vips_xyz(&xy, kSide, kSide, nullptr);
    vips_linear(xy, &shifted, a, b, 2, nullptr);
    VipsImage* index = vips_image_copy_memory(shifted);
    runVips(state, in, [index](VipsImage* i, VipsImage** o) { return vips_mapim(i, o, index, nullptr); });
    g_object_unref(index);
    g_object_unref(shifted);
    g_object_unref(xy);
    g_object_unref(in);
}
BENCHMARK(BM_StylizePeer_vips_mapim)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

#endif

#ifdef CELCORE_BENCH_HAVE_MAGICK

Image* magickImage(benchmark::State& state) {
    static const bool started = (MagickCoreGenesis(nullptr, MagickFalse), true);
    (void)started;
    SetMagickResourceLimit(ThreadResource, MagickSizeType(state.range(0)));
    ExceptionInfo* e = AcquireExceptionInfo();
    Image* image = ConstituteImage(kSide, kSide, "RGBA", ShortPixel, celUShort().data(), e);
    DestroyExceptionInfo(e);
    if (!image) state.SkipWithError("ConstituteImage failed");
    return image;
}

// f(image, exception) returns a new image, or null after changing image in place.
void runMagick(benchmark::State& state, const std::function<Image*(Image*, ExceptionInfo*)>& f) {
    Image* image = magickImage(state);
    if (!image) return;
    ExceptionInfo* e = AcquireExceptionInfo();
    CpuMeter cpu;
    for (auto _ : state) {
        cpu.start();
        if (Image* out = f(image, e)) DestroyImage(out);
        cpu.stop();
        benchmark::ClobberMemory();
    }
    cpu.report(state);
    DestroyExceptionInfo(e);
    DestroyImage(image);
    setRate(state);
}

#define STYLIZE_MAGICK(name, ...)                                                                            \
    void BM_StylizePeer_magick_##name(benchmark::State& state) {                                             \
        runMagick(state, [](Image* image, ExceptionInfo* e) -> Image* { __VA_ARGS__; });                     \
    }                                                                                                        \
    BENCHMARK(BM_StylizePeer_magick_##name)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime()

STYLIZE_MAGICK(OrderedPosterize, OrderedPosterizeImage(image, "o8x8,256", e); return nullptr);
STYLIZE_MAGICK(AddNoise, return AddNoiseImage(image, GaussianNoise, e));
STYLIZE_MAGICK(SigmoidalContrast, (void)e; SigmoidalContrastImage(image, MagickTrue, "3x50%");
               return nullptr);

#endif

} // namespace
