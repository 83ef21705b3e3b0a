// Blend modes on two 4096 x 4096 cels (antialiased opaque and translucent shapes over
// large transparent areas, laid onto an opaque painted background), one representative
// mode or more per design, at 1 and 2 threads. dst is restored from
// a pristine copy outside the timed region before every pass, so each pass sees the
// same content. When libvips is found its multiply and screen run in the same binary;
// compare with BM_OverPositiveSource of bench_composite.cpp (the over pair).
// The peer comes first: glib names a member after one of Qt's keyword macros.
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
    static const benchcels::Cels c(benchcels::Shapes::Discs, true);
    return c;
}

// Arguments: the opacity in percent, the number of threads.
void BM_Blend(benchmark::State& state, CelAlgo::GenericCompositeOp op) {
    const double opacity = double(state.range(0)) / 100.0;
    tbb::global_control threads(tbb::global_control::max_allowed_parallelism, std::size_t(state.range(1)));
    std::unique_ptr<CEL_PixmapAreaRGBA16> dst(cels().background.clone());
    for (auto _ : state) {
        state.PauseTiming();
        dst->copyFrom(&cels().background);
        state.ResumeTiming();
        CelAlgo::composite(dst.get(), &cels().layer, op, CelAlgo::NONE, opacity);
        benchmark::ClobberMemory();
    }
    setRate(state);
}

#define BLEND_BENCHMARK(op)                                                                                  \
    BENCHMARK_CAPTURE(BM_Blend, op, CelAlgo::op)                                                             \
        ->Args({100, 1})                                                                                     \
        ->Args({100, 2})                                                                                     \
        ->Args({80, 2})                                                                                      \
        ->Unit(benchmark::kMillisecond)                                                                      \
        ->UseRealTime()

// Modern direct.
BLEND_BENCHMARK(MULTIPLY);
BLEND_BENCHMARK(SCREEN);
BLEND_BENCHMARK(ADD);
BLEND_BENCHMARK(OVERLAY);
BLEND_BENCHMARK(DARKEN);
// Effect, HCL, legacy.
BLEND_BENCHMARK(DODGE);
BLEND_BENCHMARK(HUE);
BLEND_BENCHMARK(ADD_legacy);
BLEND_BENCHMARK(OVERLAY_legacy);
// Blend-function family.
BLEND_BENCHMARK(FN_MULTIPLY);
BLEND_BENCHMARK(FN_SOFTLIGHT);
BLEND_BENCHMARK(FN_HUE);

#ifdef CELCORE_BENCH_HAVE_VIPS

using benchpeers::vipsRgb16;
const auto toUShort = benchpeers::ushortPixels;

void BM_PeerVipsBlend(benchmark::State& state, VipsBlendMode mode) {
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
        if (vips_composite2(base, overlay, &out, mode, "premultiplied", TRUE, "compositing_space",
                            VIPS_INTERPRETATION_RGB16, nullptr)) {
            state.SkipWithError("vips_composite2 failed");
            break;
        }
        benchpeers::computeAndRelease(out);
    }
    g_object_unref(overlay);
    g_object_unref(base);
    setRate(state);
}

BENCHMARK_CAPTURE(BM_PeerVipsBlend, MULTIPLY, VIPS_BLEND_MODE_MULTIPLY)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_PeerVipsBlend, SCREEN, VIPS_BLEND_MODE_SCREEN)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

#endif

} // namespace
