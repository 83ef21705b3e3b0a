// Matte and colour operations on a 4096 x 4096 cel (antialiased shapes over large
// transparent areas, area RGBA16), at 1 and 2 threads, beside a memcpy of the same
// bytes (the in-place operations read and write every pixel once, as a copy does).
// The pixmap is restored from a pristine copy outside the timed region before
// every pass. Besides the wall time, cpu_ms is the processor time of the whole
// process per pass (all its threads, the peers' own workers included): on a
// shared, loaded machine the single-thread cpu_ms are the figures to compare.
// Peers in the same binary when found: libvips (vips_invert,
// vips_linear, vips_morph), OpenImageIO (colorconvert linear to sRGB, dilate) and
// ImageMagick (NegateImage, MorphologyImage). All benchmarks here are named
// BM_MatteColour*, so that --benchmark_filter=MatteColour runs them alone.
// The peers come first: glib names a member after one of Qt's keyword macros.
#ifdef CELCORE_BENCH_HAVE_VIPS
#include <vips/vips.h>
#endif
#ifdef CELCORE_BENCH_HAVE_OIIO
#include <OpenImageIO/imagebufalgo.h>
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
#include "algo/filters/ColorCorrect.h"
#include "algo/filters/Matte.h"
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

void BM_MatteColourMemcpy(benchmark::State& state) {
    benchcels::copyCelBytes(state, cel());
}
BENCHMARK(BM_MatteColourMemcpy)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

// Premultiplied noise: no pixel repeats its neighbour, the worst case of the row memos.
const CEL_PixmapAreaRGBA16& noise() {
    static const std::unique_ptr<CEL_PixmapAreaRGBA16> p = [] {
        auto n = std::make_unique<CEL_PixmapAreaRGBA16>(kSide, kSide);
        n->realloc(n->canvasRect(), false);
        uint64_t x = 88172645463325252ull;
        for (long long i = 0; i < kPixels; ++i) {
            x ^= x << 13, x ^= x >> 7, x ^= x << 17;
            const int a = int(x & 0x7fff);
            n->data()[i] = CEL_PixelRGBA16{int16_t((x >> 16) % (a + 1)), int16_t((x >> 32) % (a + 1)),
                                           int16_t((x >> 48) % (a + 1)), int16_t(a)};
        }
        return n;
    }();
    return *p;
}

// One operation on a fresh copy of the source per pass; argument: threads.
void runOp(benchmark::State& state, const std::function<void(CEL_PixmapAreaRGBA16*)>& op,
           const CEL_PixmapAreaRGBA16& source = cel()) {
    tbb::global_control threads(tbb::global_control::max_allowed_parallelism, std::size_t(state.range(0)));
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

#define MATTE_COLOUR_BENCHMARK(name, ...)                                                                    \
    void BM_MatteColour_##name(benchmark::State& state) {                                                    \
        runOp(state, [](CEL_PixmapAreaRGBA16* p) { __VA_ARGS__; });                                          \
    }                                                                                                        \
    BENCHMARK(BM_MatteColour_##name)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime()

// Memory-bound.
MATTE_COLOUR_BENCHMARK(negate, CelAlgo::negate(p, true, false));
MATTE_COLOUR_BENCHMARK(colorMask, CelAlgo::colorMask(p, true, false, true, false));
MATTE_COLOUR_BENCHMARK(thresholdAlpha, CelAlgo::thresholdAlphaPixmap(p, 0.5));
MATTE_COLOUR_BENCHMARK(colorScaleTables, CelAlgo::colorScale(p, 1.2, 0.8, 0.5, 0.9));
MATTE_COLOUR_BENCHMARK(addBackground, CelAlgo::addBackgroundColor(p, 0.2, 0.4, 0.9));
MATTE_COLOUR_BENCHMARK(applyColorTransformSRGB,
                       CelAlgo::applyColorTransform(p, CelAlgo::COLOR_TRANSFORM_SRGB));
MATTE_COLOUR_BENCHMARK(negateWithAlpha, CelAlgo::negateWithAlpha(p));
MATTE_COLOUR_BENCHMARK(colorToBW, CelAlgo::colorToBW(p, 60, false));
MATTE_COLOUR_BENCHMARK(increaseIntensity, CelAlgo::increaseIntensity(p, 1.8));
// The same on noise.
void BM_MatteColour_colorScaleTablesNoise(benchmark::State& state) {
    runOp(
        state, [](CEL_PixmapAreaRGBA16* p) { CelAlgo::colorScale(p, 1.2, 0.8, 0.5, 0.9); }, noise());
}
BENCHMARK(BM_MatteColour_colorScaleTablesNoise)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
void BM_MatteColour_applyColorTransformSRGBNoise(benchmark::State& state) {
    runOp(
        state,
        [](CEL_PixmapAreaRGBA16* p) { CelAlgo::applyColorTransform(p, CelAlgo::COLOR_TRANSFORM_SRGB); },
        noise());
}
BENCHMARK(BM_MatteColour_applyColorTransformSRGBNoise)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
// Per-pixel arithmetic.
MATTE_COLOUR_BENCHMARK(colorScaleHsv, CelAlgo::colorScale(p, 1, 1, 1, 1, 1.1, 0.7, 1.2));
MATTE_COLOUR_BENCHMARK(colorScreen, CelAlgo::colorScreen(p, 0.1, 0.9, 0.2, 0.8, 0.0, 0.7, 0.1));
// Neighbourhoods.
MATTE_COLOUR_BENCHMARK(expandMatteR8, CelAlgo::expandMatte(p, 8, 1));
MATTE_COLOUR_BENCHMARK(expandMatteR8_5, CelAlgo::expandMatte(p, 8.5, 1));
MATTE_COLOUR_BENCHMARK(shrinkMatteR8, CelAlgo::shrinkMatte(p, 8, 1));

// --- Peers ---

// The cel as 16-bit RGBA with associated alpha, 0 ... 65534.
[[maybe_unused]] const std::vector<uint16_t>& celUShort() {
    static const std::vector<uint16_t> out = benchpeers::ushortPixels(cel());
    return out;
}

#ifdef CELCORE_BENCH_HAVE_VIPS

VipsImage* vipsCel() {
    return benchpeers::vipsRgb16(celUShort());
}

void BM_MatteColourPeer_vips_invert(benchmark::State& state) {
    if (!startVips(state)) return;
    VipsImage* in = vipsCel();
    runVips(state, in, [](VipsImage* i, VipsImage** o) { return vips_invert(i, o, nullptr); });
    g_object_unref(in);
}
BENCHMARK(BM_MatteColourPeer_vips_invert)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_MatteColourPeer_vips_linear(benchmark::State& state) {
    if (!startVips(state)) return;
    VipsImage* in = vipsCel();
    runVips(state, in, [](VipsImage* i, VipsImage** o) {
        const double a[4] = {1.2, 0.8, 0.5, 0.9}, b[4] = {0, 0, 0, 0};
        return vips_linear(i, o, a, b, 4, "uchar", FALSE, nullptr);
    });
    g_object_unref(in);
}
BENCHMARK(BM_MatteColourPeer_vips_linear)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

// libvips' morphology is binary and works on one 8-bit band: the cel's matte.
void BM_MatteColourPeer_vips_morph_disc17(benchmark::State& state) {
    if (!startVips(state)) return;
    std::vector<uint8_t> matte(static_cast<std::size_t>(kPixels));
    for (long long i = 0; i < kPixels; ++i) matte[std::size_t(i)] = cel().data()[i].a > 0 ? 255 : 0;
    VipsImage* in =
        vips_image_new_from_memory(matte.data(), matte.size(), kSide, kSide, 1, VIPS_FORMAT_UCHAR);
    VipsImage* mask = vips_image_new_matrix(17, 17);
    for (int y = 0; y < 17; ++y)
        for (int x = 0; x < 17; ++x)
            *VIPS_MATRIX(mask, x, y) = (x - 8) * (x - 8) + (y - 8) * (y - 8) <= 81 ? 255.0 : 128.0;
    runVips(state, in, [mask](VipsImage* i, VipsImage** o) {
        return vips_morph(i, o, mask, VIPS_OPERATION_MORPHOLOGY_DILATE, nullptr);
    });
    g_object_unref(mask);
    g_object_unref(in);
}
BENCHMARK(BM_MatteColourPeer_vips_morph_disc17)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

#endif

#ifdef CELCORE_BENCH_HAVE_OIIO

OIIO::ImageBuf oiioCel() {
    OIIO::ImageBuf buf(OIIO::ImageSpec(kSide, kSide, 4, OIIO::TypeDesc::UINT16));
    buf.set_pixels(OIIO::ROI::All(), OIIO::TypeDesc::UINT16, celUShort().data());
    return buf;
}

void BM_MatteColourPeer_oiio_colorconvert(benchmark::State& state) {
    const OIIO::ImageBuf src = oiioCel();
    OIIO::ImageBuf dst(src.spec());
    OIIO::ImageBufAlgo::zero(dst); // its pages touched before timing, as ours are
    CpuMeter cpu;
    for (auto _ : state) {
        cpu.start();
        if (!OIIO::ImageBufAlgo::colorconvert(dst, src, "linear", "sRGB", false, "", "", nullptr, {},
                                              int(state.range(0))))
            state.SkipWithError("colorconvert failed");
        cpu.stop();
        benchmark::ClobberMemory();
    }
    cpu.report(state);
    setRate(state);
}
BENCHMARK(BM_MatteColourPeer_oiio_colorconvert)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_MatteColourPeer_oiio_dilate17(benchmark::State& state) {
    const OIIO::ImageBuf src = oiioCel();
    OIIO::ImageBuf dst(src.spec());
    OIIO::ImageBufAlgo::zero(dst); // its pages touched before timing, as ours are
    CpuMeter cpu;
    for (auto _ : state) {
        cpu.start();
        if (!OIIO::ImageBufAlgo::dilate(dst, src, 17, 17, {}, int(state.range(0))))
            state.SkipWithError("dilate failed");
        cpu.stop();
        benchmark::ClobberMemory();
    }
    cpu.report(state);
    setRate(state);
}
BENCHMARK(BM_MatteColourPeer_oiio_dilate17)
    ->Arg(1)
    ->Arg(2)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

#endif

#ifdef CELCORE_BENCH_HAVE_MAGICK

// The cel as a 16-bit RGBA image; argument: threads.
Image* magickCel(benchmark::State& state) {
    static const bool started = (MagickCoreGenesis(nullptr, MagickFalse), true);
    (void)started;
    SetMagickResourceLimit(ThreadResource, MagickSizeType(state.range(0)));
    ExceptionInfo* e = AcquireExceptionInfo();
    Image* image = ConstituteImage(kSide, kSide, "RGBA", ShortPixel, celUShort().data(), e);
    DestroyExceptionInfo(e);
    if (!image) state.SkipWithError("ConstituteImage failed");
    return image;
}

void BM_MatteColourPeer_magick_NegateImage(benchmark::State& state) {
    Image* image = magickCel(state);
    if (!image) return;
    CpuMeter cpu;
    for (auto _ : state) { // negating in place, each pass the same work
        cpu.start();
        if (!NegateImage(image, MagickFalse)) state.SkipWithError("NegateImage failed");
        cpu.stop();
        benchmark::ClobberMemory();
    }
    DestroyImage(image);
    cpu.report(state);
    setRate(state);
}
BENCHMARK(BM_MatteColourPeer_magick_NegateImage)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_MatteColourPeer_magick_DilateDisk8(benchmark::State& state) {
    Image* image = magickCel(state);
    if (!image) return;
    KernelInfo* kernel = AcquireKernelInfo("Disk:8");
    ExceptionInfo* e = AcquireExceptionInfo();
    CpuMeter cpu;
    for (auto _ : state) {
        cpu.start();
        Image* out = MorphologyImage(image, DilateMorphology, 1, kernel, e);
        if (!out) {
            state.SkipWithError("MorphologyImage failed");
            break;
        }
        DestroyImage(out);
        cpu.stop();
    }
    cpu.report(state);
    DestroyExceptionInfo(e);
    DestroyKernelInfo(kernel);
    DestroyImage(image);
    setRate(state);
}
BENCHMARK(BM_MatteColourPeer_magick_DilateDisk8)
    ->Arg(1)
    ->Arg(2)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

#endif

} // namespace
