#pragma once
// The peers' side of the benchmarks: the cels in the layouts the peer libraries
// take, and libvips' start and timing loop. Include after the peers' own
// headers (glib names a member after one of Qt's keyword macros) and after
// <vips/vips.h> where CELCORE_BENCH_HAVE_VIPS is set.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <vector>

#include "BenchCels.h"
#include "pixel/PixmapArea.h"

namespace benchpeers {

// A 4096 x 4096 cel as 16-bit RGBA with associated alpha, 0 ... 65534
// (negative values as 0).
inline std::vector<uint16_t> ushortPixels(const CEL_PixmapAreaRGBA16& p) {
    std::vector<uint16_t> out(std::size_t(benchcels::kPixels) * 4);
    const CEL_PixelRGBA16* src = p.data();
    for (long long i = 0; i < benchcels::kPixels; ++i) {
        const int16_t c[4] = {src[i].r, src[i].g, src[i].b, src[i].a};
        for (int k = 0; k < 4; ++k) out[std::size_t(i) * 4 + k] = uint16_t(std::max<int>(c[k], 0) * 2);
    }
    return out;
}

#ifdef CELCORE_BENCH_HAVE_VIPS

// libvips started once, on state.range(0) threads, without its operation cache.
inline bool startVips(benchmark::State& state) {
    static const bool started = VIPS_INIT("celcore_bench") == 0;
    if (!started) {
        state.SkipWithError("vips did not start");
        return false;
    }
    vips_concurrency_set(int(state.range(0)));
    vips_cache_set_max(0);
    return true;
}

// 4096 x 4096 16-bit RGBA pixels (kept alive by the caller) as an RGB16 image.
inline VipsImage* vipsRgb16(const std::vector<uint16_t>& pixels) {
    VipsImage* raw = vips_image_new_from_memory(pixels.data(), pixels.size() * 2, benchcels::kSide,
                                                benchcels::kSide, 4, VIPS_FORMAT_USHORT);
    VipsImage* typed = nullptr;
    vips_copy(raw, &typed, "interpretation", VIPS_INTERPRETATION_RGB16, nullptr);
    g_object_unref(raw);
    return typed;
}

// Computes `out` by writing it to memory (where libvips does its work), then
// releases the image and the memory.
inline void computeAndRelease(VipsImage* out) {
    std::size_t size = 0;
    void* mem = vips_image_write_to_memory(out, &size);
    benchmark::DoNotOptimize(mem);
    g_free(mem);
    g_object_unref(out);
}

// Runs make(in, &out) and computes the result.
inline void runVips(benchmark::State& state, VipsImage* in,
                    const std::function<int(VipsImage*, VipsImage**)>& make) {
    benchcels::CpuMeter cpu;
    for (auto _ : state) {
        cpu.start();
        VipsImage* out = nullptr;
        if (make(in, &out)) {
            state.SkipWithError(vips_error_buffer());
            break;
        }
        computeAndRelease(out);
        cpu.stop();
    }
    cpu.report(state);
    benchcels::setRate(state);
}

#endif

} // namespace benchpeers
