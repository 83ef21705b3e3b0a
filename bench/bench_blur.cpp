// The blurs on a 4096 x 4096 cel (antialiased opaque and translucent shapes over
// large transparent areas, the compositing benchmarks' layer) held as an area
// RGBA16 pixmap, at 1 and 2 threads. The peer libraries run the nearest
// operation they have on the same picture in the same binary:
//   radial r 8, quality 0 (four box passes of 17 taps, a Gaussian of sigma 6.93):
//     libvips four vips_convsep with a 17-tap box (uint8, uint16, float),
//     OpenImageIO four pairs of convolve with a 17 x 1 and a 1 x 17 box (float),
//     ImageMagick four MorphologyImage convolutions with the same pair (Q16);
//   the Gaussian of sigma 6.93: vips_gaussblur, OpenImageIO convolve with a
//     separable Gaussian, ImageMagick BlurImage;
//   flicker r 8 (17 rows): a 1 x 17 vips_conv;
//   directional length 16: ImageMagick MotionBlurImage, radius 16.
// The peer headers come first: glib names a member after one of Qt's keyword macros.
#ifdef CELCORE_BENCH_HAVE_OIIO
#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>
#endif
#ifdef CELCORE_BENCH_HAVE_VIPS
#include <vips/vips.h>
#endif
#ifdef CELCORE_BENCH_HAVE_MAGICK
#include <magick/MagickCore.h>
#endif

#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <tbb/global_control.h>

#include "BenchCels.h"
#include "BenchPeers.h"
#include "algo/filters/Blur.h"
#include "pixel/PixmapArea.h"

namespace {

using benchcels::kPixels;
using benchcels::kSide;
using benchcels::setRate;

const CEL_PixmapAreaRGBA16& cel() {
    static const benchcels::Cels c(benchcels::Shapes::Ellipses, false);
    return c.layer;
}

tbb::global_control threadLimit(const benchmark::State& state, int arg) {
    return tbb::global_control(tbb::global_control::max_allowed_parallelism, std::size_t(state.range(arg)));
}

// Args: radius, threads.
void BM_RadialBlurQuality0(benchmark::State& state) {
    const auto threads = threadLimit(state, 1);
    std::unique_ptr<CEL_PixmapAreaRGBA16> p(cel().clone());
    for (auto _ : state) {
        CelAlgo::radialBlur(p.get(), double(state.range(0)), CelAlgo::QUALITY_FOUR_PASSES, 0.0, false);
        benchmark::ClobberMemory();
    }
    setRate(state);
}
BENCHMARK(BM_RadialBlurQuality0)
    ->ArgsProduct({{2, 8, 32}, {1, 2}})
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

// The Gaussian of sigma 6.93: quality 0 at the radius whose four passes have that
// spread (8.0019, so the end taps count).
void BM_GaussianBlur(benchmark::State& state) {
    const auto threads = threadLimit(state, 0);
    std::unique_ptr<CEL_PixmapAreaRGBA16> p(cel().clone());
    const double radius = CelAlgo::radialRadiusForSigma(6.93);
    for (auto _ : state) {
        CelAlgo::radialBlur(p.get(), radius, CelAlgo::QUALITY_FOUR_PASSES, 0.0, false);
        benchmark::ClobberMemory();
    }
    setRate(state);
}
BENCHMARK(BM_GaussianBlur)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

// Quality 1 at radius 8: eight passes at 3.2.
void BM_RadialBlurQuality1(benchmark::State& state) {
    const auto threads = threadLimit(state, 0);
    std::unique_ptr<CEL_PixmapAreaRGBA16> p(cel().clone());
    for (auto _ : state) {
        CelAlgo::radialBlur(p.get(), 8.0, CelAlgo::QUALITY_EIGHT_PASSES, 0.0, false);
        benchmark::ClobberMemory();
    }
    setRate(state);
}
BENCHMARK(BM_RadialBlurQuality1)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

void BM_RadialBlurAlphaOnly(benchmark::State& state) {
    const auto threads = threadLimit(state, 0);
    std::unique_ptr<CEL_PixmapAreaRGBA16> p(cel().clone());
    for (auto _ : state) {
        CelAlgo::radialBlur(p.get(), 8.0, CelAlgo::QUALITY_FOUR_PASSES, 0.0, true);
        benchmark::ClobberMemory();
    }
    setRate(state);
}
BENCHMARK(BM_RadialBlurAlphaOnly)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

void BM_FlickerBlur(benchmark::State& state) {
    const auto threads = threadLimit(state, 0);
    for (auto _ : state) {
        std::unique_ptr<CEL_PixmapAreaRGBA16> out(CelAlgo::flickerBlur(&cel(), 8.0));
        benchmark::DoNotOptimize(out.get());
    }
    setRate(state);
}
BENCHMARK(BM_FlickerBlur)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

void BM_DirectionalBlur(benchmark::State& state) {
    const auto threads = threadLimit(state, 0);
    for (auto _ : state) {
        std::unique_ptr<CEL_PixmapAreaRGBA16> out(
            CelAlgo::directionalBlur(&cel(), 30.0, 16.0, 1.0, 0.0, false, false, false));
        benchmark::DoNotOptimize(out.get());
    }
    setRate(state);
}
BENCHMARK(BM_DirectionalBlur)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

// Strength 0 at the left edge to 8 at the right, quality 0 (four passes).
void BM_VariableBlurGradient(benchmark::State& state) {
    const auto threads = threadLimit(state, 0);
    CEL_PixmapAreaRGBA16 map(kSide, kSide);
    map.realloc(map.canvasRect(), false);
    for (int y = 0; y < kSide; ++y)
        for (int x = 0; x < kSide; ++x) map.pixel(x, y)->a = int16_t(int64_t(x) * 32767 / (kSide - 1));
    for (auto _ : state) {
        state.PauseTiming();
        std::unique_ptr<CEL_PixmapAreaRGBA16> p(cel().clone());
        state.ResumeTiming();
        CelAlgo::variableBlur(p.get(), &map, 0.0, 8.0, false, CelAlgo::QUALITY_FOUR_PASSES, 0.0);
        benchmark::ClobberMemory();
    }
    setRate(state);
}
BENCHMARK(BM_VariableBlurGradient)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Iterations(1);

// The cel's fields as 0 ... 1 in the peers' pixel types (negative values as 0).
template <class T> std::vector<T> celPixels(double scale) {
    std::vector<T> out(std::size_t(kPixels) * 4);
    const CEL_PixelRGBA16* src = cel().data();
    for (long long i = 0; i < kPixels; ++i) {
        const int16_t c[4] = {src[i].r, src[i].g, src[i].b, src[i].a};
        for (int k = 0; k < 4; ++k) out[std::size_t(i) * 4 + k] = T(std::max<int>(c[k], 0) * scale);
    }
    return out;
}

#ifdef CELCORE_BENCH_HAVE_VIPS

enum class VipsOp { BoxPasses, Gauss, Column };

template <class T> void runVips(benchmark::State& state, VipsBandFormat format, double scale, VipsOp op) {
    if (VIPS_INIT("celcore_bench")) {
        state.SkipWithError("vips did not start");
        return;
    }
    vips_concurrency_set(int(state.range(0)));
    vips_cache_set_max(0);
    const std::vector<T> pixels = celPixels<T>(scale);
    VipsImage* in =
        vips_image_new_from_memory(pixels.data(), pixels.size() * sizeof(T), kSide, kSide, 4, format);
    const double ones[17] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
    VipsImage* mask = op == VipsOp::Column ? vips_image_new_matrix_from_array(1, 17, ones, 17)
                                           : vips_image_new_matrix_from_array(17, 1, ones, 17);
    vips_image_set_double(mask, "scale", 17.0);
    const VipsPrecision precision =
        format == VIPS_FORMAT_FLOAT ? VIPS_PRECISION_FLOAT : VIPS_PRECISION_INTEGER;
    for (auto _ : state) {
        VipsImage* out = nullptr;
        bool failed = false;
        if (op == VipsOp::BoxPasses) {
            VipsImage* cur = in;
            g_object_ref(cur);
            for (int pass = 0; pass < 4 && !failed; ++pass) {
                VipsImage* next = nullptr;
                failed = vips_convsep(cur, &next, mask, "precision", precision, nullptr) != 0;
                g_object_unref(cur);
                cur = next;
            }
            out = cur;
        } else if (op == VipsOp::Gauss) {
            failed = vips_gaussblur(in, &out, 6.93, "precision", precision, nullptr) != 0;
        } else {
            failed = vips_conv(in, &out, mask, "precision", precision, nullptr) != 0;
        }
        if (failed || !out) {
            state.SkipWithError("vips failed");
            break;
        }
        benchpeers::computeAndRelease(out);
    }
    g_object_unref(mask);
    g_object_unref(in);
    setRate(state);
}

void BM_PeerVipsBoxPassesUInt8(benchmark::State& state) {
    runVips<uint8_t>(state, VIPS_FORMAT_UCHAR, 1.0 / 128.0, VipsOp::BoxPasses);
}
void BM_PeerVipsBoxPassesUInt16(benchmark::State& state) {
    runVips<uint16_t>(state, VIPS_FORMAT_USHORT, 2.0, VipsOp::BoxPasses);
}
void BM_PeerVipsBoxPassesFloat(benchmark::State& state) {
    runVips<float>(state, VIPS_FORMAT_FLOAT, 1.0 / 32767.0, VipsOp::BoxPasses);
}
void BM_PeerVipsGaussblurUInt8(benchmark::State& state) {
    runVips<uint8_t>(state, VIPS_FORMAT_UCHAR, 1.0 / 128.0, VipsOp::Gauss);
}
void BM_PeerVipsGaussblurUInt16(benchmark::State& state) {
    runVips<uint16_t>(state, VIPS_FORMAT_USHORT, 2.0, VipsOp::Gauss);
}
void BM_PeerVipsColumnConvUInt8(benchmark::State& state) {
    runVips<uint8_t>(state, VIPS_FORMAT_UCHAR, 1.0 / 128.0, VipsOp::Column);
}
void BM_PeerVipsColumnConvUInt16(benchmark::State& state) {
    runVips<uint16_t>(state, VIPS_FORMAT_USHORT, 2.0, VipsOp::Column);
}
BENCHMARK(BM_PeerVipsBoxPassesUInt8)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();
BENCHMARK(BM_PeerVipsBoxPassesUInt16)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();
BENCHMARK(BM_PeerVipsBoxPassesFloat)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();
BENCHMARK(BM_PeerVipsGaussblurUInt8)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();
BENCHMARK(BM_PeerVipsGaussblurUInt16)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();
BENCHMARK(BM_PeerVipsColumnConvUInt8)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();
BENCHMARK(BM_PeerVipsColumnConvUInt16)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

#endif

#ifdef CELCORE_BENCH_HAVE_OIIO

// Four passes of a separable kernel pair (width x 1, then 1 x width), float.
void runOiio(benchmark::State& state, const char* kernelName, float width, int passes) {
    const std::vector<float> pixels = celPixels<float>(1.0 / 32767.0);
    OIIO::ImageBuf src(OIIO::ImageSpec(kSide, kSide, 4, OIIO::TypeDesc::FLOAT));
    src.set_pixels(OIIO::ROI(0, kSide, 0, kSide), OIIO::TypeDesc::FLOAT, pixels.data());
    const OIIO::ImageBuf across = OIIO::ImageBufAlgo::make_kernel(kernelName, width, 1);
    const OIIO::ImageBuf down = OIIO::ImageBufAlgo::make_kernel(kernelName, 1, width);
    const int threads = int(state.range(0));
    for (auto _ : state) {
        OIIO::ImageBuf a = src, b;
        for (int pass = 0; pass < passes; ++pass) {
            if (!OIIO::ImageBufAlgo::convolve(b, a, across, true, {}, threads) ||
                !OIIO::ImageBufAlgo::convolve(a, b, down, true, {}, threads)) {
                state.SkipWithError("convolve failed");
                break;
            }
        }
        benchmark::DoNotOptimize(a.localpixels());
    }
    setRate(state);
}

void BM_PeerOiioBoxPassesFloat(benchmark::State& state) {
    runOiio(state, "box", 17.0f, 4);
}
// OpenImageIO's Gaussian of width w has sigma w / 4.
void BM_PeerOiioGaussianFloat(benchmark::State& state) {
    runOiio(state, "gaussian", 4.0f * 6.93f, 1);
}
BENCHMARK(BM_PeerOiioBoxPassesFloat)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Iterations(1);
BENCHMARK(BM_PeerOiioGaussianFloat)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Iterations(1);

#endif

#ifdef CELCORE_BENCH_HAVE_MAGICK

enum class MagickOp { BoxPasses, Blur, Motion };

void runMagick(benchmark::State& state, MagickOp op) {
    MagickCoreGenesis(nullptr, MagickFalse);
    SetMagickResourceLimit(ThreadResource, MagickSizeType(state.range(0)));
    const std::vector<uint16_t> pixels = celPixels<uint16_t>(2.0);
    ExceptionInfo* exception = AcquireExceptionInfo();
    Image* image = ConstituteImage(kSide, kSide, "RGBA", ShortPixel, pixels.data(), exception);
    std::string ones;
    for (int i = 0; i < 17; ++i) ones += i ? ",1" : "1";
    KernelInfo* kernel = AcquireKernelInfo(("17x1:" + ones + ";1x17:" + ones).c_str());
    ScaleKernelInfo(kernel, 1.0, NormalizeValue);
    for (auto _ : state) {
        Image* out = nullptr;
        if (op == MagickOp::BoxPasses) {
            out = CloneImage(image, 0, 0, MagickTrue, exception);
            for (int pass = 0; pass < 4 && out; ++pass) {
                Image* next = MorphologyImage(out, ConvolveMorphology, 1, kernel, exception);
                DestroyImage(out);
                out = next;
            }
        } else if (op == MagickOp::Blur) {
            out = BlurImage(image, 0.0, 6.93, exception);
        } else {
            out = MotionBlurImage(image, 16.0, 5.0, 30.0, exception);
        }
        if (!out) {
            state.SkipWithError("ImageMagick failed");
            break;
        }
        DestroyImage(out);
    }
    DestroyKernelInfo(kernel);
    DestroyImage(image);
    DestroyExceptionInfo(exception);
    setRate(state);
}

void BM_PeerMagickBoxPasses(benchmark::State& state) {
    runMagick(state, MagickOp::BoxPasses);
}
void BM_PeerMagickBlurImage(benchmark::State& state) {
    runMagick(state, MagickOp::Blur);
}
void BM_PeerMagickMotionBlurImage(benchmark::State& state) {
    runMagick(state, MagickOp::Motion);
}
BENCHMARK(BM_PeerMagickBoxPasses)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Iterations(1);
BENCHMARK(BM_PeerMagickBlurImage)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Iterations(1);
BENCHMARK(BM_PeerMagickMotionBlurImage)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Iterations(1);

#endif

} // namespace
