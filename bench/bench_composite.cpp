// The premultiplied over and the whole-pixmap copy on two 4096 x 4096 cels of
// realistic content (antialiased opaque and translucent shapes over large
// transparent areas, laid onto an opaque painted background), at 1 and 2
// threads. When the peer libraries are found, the same over runs through them
// in the same binary, so the ratios come from one run. Compare with
// BM_StreamTwoReadsOneWrite of bench_baseline.cpp (24 bytes per pixel, the
// memory-bandwidth ceiling of an over pass).
// The peers come first: glib names a member after one of Qt's keyword macros.
#ifdef CELCORE_BENCH_HAVE_OIIO
#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>
#endif
#ifdef CELCORE_BENCH_HAVE_VIPS
#include <vips/vips.h>
#endif

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include <tbb/global_control.h>

#include "BenchCels.h"
#include "BenchPeers.h"
#include "algo/composite/Composite.h"
#include "pixel/PixmapArea.h"

namespace {

using benchcels::kPixels;
using benchcels::kSide;
using benchcels::setRate;

const benchcels::Cels& cels() {
    static const benchcels::Cels c(benchcels::Shapes::Ellipses, false);
    return c;
}

void runOver(benchmark::State& state, bool positive) {
    tbb::global_control threads(tbb::global_control::max_allowed_parallelism, std::size_t(state.range(0)));
    std::unique_ptr<CEL_PixmapAreaRGBA16> dst(cels().background.clone());
    std::unique_ptr<CEL_PixmapAreaRGBA16> src(cels().layer.clone());
    src->setAllPositive(positive);
    for (auto _ : state) {
        CelAlgo::composite(dst.get(), src.get(), CelAlgo::ADD_APPLY_SRC_ALPHA_INV,
                           CelAlgo::ADD_APPLY_SRC_ALPHA_INV);
        benchmark::ClobberMemory();
    }
    setRate(state);
}

void BM_OverPositiveSource(benchmark::State& state) {
    runOver(state, true);
}
BENCHMARK(BM_OverPositiveSource)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_OverAnySource(benchmark::State& state) {
    runOver(state, false);
}
BENCHMARK(BM_OverAnySource)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_CopyAll(benchmark::State& state) {
    tbb::global_control threads(tbb::global_control::max_allowed_parallelism, std::size_t(state.range(0)));
    std::unique_ptr<CEL_PixmapAreaRGBA16> dst(cels().background.clone());
    for (auto _ : state) {
        CelAlgo::composite(dst.get(), &cels().layer, CelAlgo::COPY, CelAlgo::COPY);
        benchmark::ClobberMemory();
    }
    setRate(state);
}
BENCHMARK(BM_CopyAll)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

#ifdef CELCORE_BENCH_HAVE_OIIO

// The same cels as OpenImageIO images with associated alpha: 16-bit values
// rescaled to 0..65535, or floats 0..1.
OIIO::ImageBuf toOiio(const CEL_PixmapAreaRGBA16& p, OIIO::TypeDesc type) {
    OIIO::ImageBuf buf(OIIO::ImageSpec(kSide, kSide, 4, type));
    std::vector<float> row(std::size_t(kSide) * 4);
    for (int y = 0; y < kSide; ++y) {
        const CEL_PixelRGBA16* src = p.pixel(0, y);
        for (int x = 0; x < kSide; ++x) {
            const int16_t c[4] = {src[x].r, src[x].g, src[x].b, src[x].a};
            for (int k = 0; k < 4; ++k)
                row[std::size_t(x) * 4 + k] = float(std::max<int>(c[k], 0)) / 32767.0f;
        }
        buf.set_pixels(OIIO::ROI(0, kSide, y, y + 1), OIIO::TypeDesc::FLOAT, row.data());
    }
    return buf;
}

void runOiioOver(benchmark::State& state, OIIO::TypeDesc type) {
    const OIIO::ImageBuf fg = toOiio(cels().layer, type);
    const OIIO::ImageBuf bg = toOiio(cels().background, type);
    OIIO::ImageBuf dst(OIIO::ImageSpec(kSide, kSide, 4, type));
    const int threads = int(state.range(0));
    // One untimed call first: the destination's pages are touched before the
    // clock starts, as ours are (a clone of the background); otherwise the
    // first iteration pays for faulting in 256 MiB of floats.
    if (!OIIO::ImageBufAlgo::over(dst, fg, bg, {}, threads)) state.SkipWithError("over failed");
    for (auto _ : state) {
        if (!OIIO::ImageBufAlgo::over(dst, fg, bg, {}, threads)) state.SkipWithError("over failed");
        benchmark::ClobberMemory();
    }
    setRate(state);
}

void BM_PeerOiioOverUInt16(benchmark::State& state) {
    runOiioOver(state, OIIO::TypeDesc::UINT16);
}
BENCHMARK(BM_PeerOiioOverUInt16)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PeerOiioOverFloat(benchmark::State& state) {
    runOiioOver(state, OIIO::TypeDesc::FLOAT);
}
BENCHMARK(BM_PeerOiioOverFloat)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

#endif

#ifdef CELCORE_BENCH_HAVE_VIPS

using benchpeers::vipsRgb16;
const auto toUShort = benchpeers::ushortPixels;

void BM_PeerVipsComposite2Over(benchmark::State& state) {
    if (VIPS_INIT("celcore_bench")) {
        state.SkipWithError("vips did not start");
        return;
    }
    vips_concurrency_set(int(state.range(0)));
    vips_cache_set_max(0);
    const std::vector<uint16_t> fg = toUShort(cels().layer), bg = toUShort(cels().background);
    VipsImage* base = vipsRgb16(bg);
    VipsImage* overlay = vipsRgb16(fg);
    for (auto _ : state) {
        VipsImage* out = nullptr;
        if (vips_composite2(base, overlay, &out, VIPS_BLEND_MODE_OVER, "premultiplied", TRUE,
                            "compositing_space", VIPS_INTERPRETATION_RGB16, nullptr)) {
            state.SkipWithError("vips_composite2 failed");
            break;
        }
        benchpeers::computeAndRelease(out);
    }
    g_object_unref(overlay);
    g_object_unref(base);
    setRate(state);
}
BENCHMARK(BM_PeerVipsComposite2Over)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

#endif

} // namespace
