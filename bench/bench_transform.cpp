// Scaling a 4096 x 4096 cel (area RGBA16: antialiased shapes over transparent
// areas) to half size, to 1.5 times its size and into a 256 thumbnail, at 1
// and 2 threads, in source megapixels per second; the lossless flips against
// BM_MemcpyRGBA16 of bench_baseline.cpp. When the peer libraries are found,
// the same resizes run through them in the same binary: libvips (vips_shrink,
// vips_resize), OpenImageIO (ImageBufAlgo::resize with a box filter) and
// ImageMagick's MagickCore (ScaleImage, ResizeImage with a box filter), on the
// same pixels as 16-bit RGBA. The CPU column is the process's CPU time (all
// threads), which says more than the wall time on a loaded machine.
// The peers come first: glib names a member after one of Qt's keyword macros.
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

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <vector>

#include <tbb/global_control.h>

#include "BenchCels.h"
#include "BenchPeers.h"
#include "algo/filters/Transform.h"
#include "pixel/PixmapArea.h"
#include "pixel/PixmapCanvas.h"
#include "pixel/PixmapThumbNail.h"

namespace {

using benchcels::kPixels;
using benchcels::kSide;
using benchcels::setRate;

const CEL_PixmapAreaRGBA16& cel() {
    static const benchcels::Cels c(benchcels::Shapes::Ellipses, false);
    return c.layer;
}

std::unique_ptr<tbb::global_control> threads(benchmark::State& state) {
    return std::make_unique<tbb::global_control>(tbb::global_control::max_allowed_parallelism,
                                                 std::size_t(state.range(0)));
}

void runScale(benchmark::State& state, double factor) {
    const auto t = threads(state);
    const auto side = unsigned(kSide * factor);
    const CEL_PixmapAreaRGBA16& src = cel(); // painted once, outside the timing
    for (auto _ : state) {
        std::unique_ptr<CEL_PixmapAreaRGBA16> out(CelAlgo::scale(&src, side, side, -1, -1, -1, -1));
        benchmark::DoNotOptimize(out->data());
    }
    setRate(state);
}

void BM_ScaleHalf(benchmark::State& state) {
    runScale(state, 0.5);
}
BENCHMARK(BM_ScaleHalf)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

void BM_ScaleOneAndHalf(benchmark::State& state) {
    runScale(state, 1.5);
}
BENCHMARK(BM_ScaleOneAndHalf)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

void BM_Thumbnail256(benchmark::State& state) {
    const auto t = threads(state);
    const CEL_PixmapAreaRGBA16& src = cel();
    for (auto _ : state) {
        CEL_PixmapRGBA8ThumbNail thumb(&src, 256);
        benchmark::DoNotOptimize(thumb.picture());
    }
    setRate(state);
}
BENCHMARK(BM_Thumbnail256)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

// The lossless flips: a left-right mirror and a quarter turn, in place on a
// canvas pixmap (a new buffer each time, as preFlip builds one).
void runFlip(benchmark::State& state, bool t, bool a, bool b) {
    const auto th = threads(state);
    std::unique_ptr<CEL_Representation> canvas(cel().convertTo(CEL_Representation::PIXMAP_RGBA16));
    auto* p = dynamic_cast<CEL_PixmapRGBA16*>(canvas.get());
    for (auto _ : state) {
        CelAlgo::preFlip(p, t, a, b);
        benchmark::DoNotOptimize(p->data());
    }
    setRate(state);
}

void BM_PreFlipMirror(benchmark::State& state) {
    runFlip(state, false, false, true);
}
BENCHMARK(BM_PreFlipMirror)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

void BM_PreFlipRotate90(benchmark::State& state) {
    runFlip(state, true, true, true);
}
BENCHMARK(BM_PreFlipRotate90)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

// The cel as 16-bit RGBA with associated alpha, rescaled to 0 ... 65535.
const std::vector<uint16_t>& ushortPixels() {
    static const std::vector<uint16_t> pixels = benchpeers::ushortPixels(cel());
    return pixels;
}

#ifdef CELCORE_BENCH_HAVE_VIPS

VipsImage* vipsCel() {
    return benchpeers::vipsRgb16(ushortPixels());
}

enum class VipsOp { Shrink, ResizeHalf, ResizeLinear };

void BM_PeerVips(benchmark::State& state, VipsOp op) {
    if (VIPS_INIT("celcore_bench")) {
        state.SkipWithError("vips did not start");
        return;
    }
    vips_concurrency_set(int(state.range(0)));
    vips_cache_set_max(0);
    VipsImage* in = vipsCel();
    for (auto _ : state) {
        VipsImage* out = nullptr;
        int failed = 0;
        switch (op) {
        case VipsOp::Shrink:
            failed = vips_shrink(in, &out, 2.0, 2.0, nullptr);
            break;
        case VipsOp::ResizeHalf:
            failed = vips_resize(in, &out, 0.5, nullptr);
            break;
        case VipsOp::ResizeLinear:
            failed = vips_resize(in, &out, 1.5, "kernel", VIPS_KERNEL_LINEAR, nullptr);
            break;
        }
        if (failed) {
            state.SkipWithError("vips failed");
            break;
        }
        benchpeers::computeAndRelease(out);
    }
    g_object_unref(in);
    setRate(state);
}
BENCHMARK_CAPTURE(BM_PeerVips, shrink_half, VipsOp::Shrink)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();
BENCHMARK_CAPTURE(BM_PeerVips, resize_half, VipsOp::ResizeHalf)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();
BENCHMARK_CAPTURE(BM_PeerVips, resize_linear_1_5, VipsOp::ResizeLinear)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

#endif

#ifdef CELCORE_BENCH_HAVE_OIIO

void BM_PeerOiioResizeBox(benchmark::State& state, double factor) {
    OIIO::ImageBuf src(OIIO::ImageSpec(kSide, kSide, 4, OIIO::TypeDesc::UINT16));
    src.set_pixels(OIIO::ROI(0, kSide, 0, kSide), OIIO::TypeDesc::UINT16, ushortPixels().data());
    const int side = int(kSide * factor);
    OIIO::ImageBuf dst(OIIO::ImageSpec(side, side, 4, OIIO::TypeDesc::UINT16));
    OIIO::ImageBufAlgo::zero(dst); // its pages touched before timing, as ours are
    for (auto _ : state) {
        if (!OIIO::ImageBufAlgo::resize(dst, src, "box", 0.0f, {}, int(state.range(0))))
            state.SkipWithError("resize failed");
        benchmark::ClobberMemory();
    }
    setRate(state);
}
BENCHMARK_CAPTURE(BM_PeerOiioResizeBox, half, 0.5)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();
BENCHMARK_CAPTURE(BM_PeerOiioResizeBox, one_and_half, 1.5)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

#endif

#ifdef CELCORE_BENCH_HAVE_MAGICK

// MagickCore with the distribution's resource policy lifted (it caps memory
// at 256 MiB, which would move the 1.5x result to a disk cache), started once.
bool magickStarted() {
    static const bool started = [] {
        static QTemporaryDir dir;
        QFile policy(QDir(dir.path()).filePath(QStringLiteral("policy.xml")));
        if (!policy.open(QIODevice::WriteOnly)) return false;
        policy.write("<policymap>\n"
                     "  <policy domain=\"resource\" name=\"memory\" value=\"16GiB\"/>\n"
                     "  <policy domain=\"resource\" name=\"map\" value=\"16GiB\"/>\n"
                     "  <policy domain=\"resource\" name=\"area\" value=\"4GP\"/>\n"
                     "  <policy domain=\"resource\" name=\"disk\" value=\"16GiB\"/>\n"
                     "  <policy domain=\"resource\" name=\"width\" value=\"64KP\"/>\n"
                     "  <policy domain=\"resource\" name=\"height\" value=\"64KP\"/>\n"
                     "</policymap>\n");
        policy.close();
        setenv("MAGICK_CONFIGURE_PATH", qPrintable(dir.path()), 1);
        MagickCoreGenesis("celcore_bench", MagickFalse);
        return GetMagickResourceLimit(MemoryResource) >= (MagickSizeType(1) << 32);
    }();
    return started;
}

Image* magickCel(ExceptionInfo* exception) {
    Image* image = ConstituteImage(kSide, kSide, "RGBA", ShortPixel, ushortPixels().data(), exception);
    if (image) image->matte = MagickTrue;
    return image;
}

enum class MagickOp { Scale, ResizeBox };

void BM_PeerMagick(benchmark::State& state, MagickOp op, double factor) {
    if (!magickStarted()) {
        state.SkipWithError("MagickCore resource policy could not be lifted");
        return;
    }
    SetMagickResourceLimit(ThreadResource, MagickSizeType(state.range(0)));
    ExceptionInfo* exception = AcquireExceptionInfo();
    Image* in = magickCel(exception);
    const auto side = std::size_t(kSide * factor);
    for (auto _ : state) {
        Image* out = op == MagickOp::Scale ? ScaleImage(in, side, side, exception)
                                           : ResizeImage(in, side, side, BoxFilter, 1.0, exception);
        if (!out) {
            state.SkipWithError("MagickCore failed");
            break;
        }
        benchmark::DoNotOptimize(out);
        DestroyImage(out);
    }
    if (in) DestroyImage(in);
    DestroyExceptionInfo(exception);
    setRate(state);
}
BENCHMARK_CAPTURE(BM_PeerMagick, scale_half, MagickOp::Scale, 0.5)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();
BENCHMARK_CAPTURE(BM_PeerMagick, resize_box_half, MagickOp::ResizeBox, 0.5)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();
BENCHMARK_CAPTURE(BM_PeerMagick, scale_one_and_half, MagickOp::Scale, 1.5)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();
BENCHMARK_CAPTURE(BM_PeerMagick, resize_box_one_and_half, MagickOp::ResizeBox, 1.5)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

#endif

} // namespace
