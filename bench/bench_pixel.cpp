// Pixmap conversions on a 4096 x 4096 image, to set against the memcpy
// baselines of bench_baseline.cpp (same run, same image size).
//
// The "Rows" cases convert into buffers allocated once, like the memcpy
// baselines; the "Pixmap" cases go through the public constructors and so
// also pay for a fresh buffer (and its page faults) on every iteration.
#include <benchmark/benchmark.h>

#include <memory>

#include "pixel/PixelBuffer.h"
#include "pixel/PixmapArea.h"
#include "pixel/PixmapCanvas.h"

namespace {

constexpr int kSide = 4096;
constexpr long long kPixels = (long long)kSide * kSide;

void setRate(benchmark::State& state) {
    state.counters["Mpix/s"] = benchmark::Counter(
        double(kPixels), benchmark::Counter::kIsIterationInvariantRate, benchmark::Counter::kIs1000);
}

void fill(CEL_PixmapRGBA8& p) {
    for (long long i = 0; i < kPixels; ++i)
        p.data()[i] = CEL_PixelRGBA8{uint8_t(i), uint8_t(i >> 8), uint8_t(i >> 16), uint8_t(i * 7)};
}

void BM_RowsRGBA8ToRGBA16(benchmark::State& state) {
    CEL_PixmapRGBA8 src(kSide, kSide);
    fill(src);
    CEL_PixmapRGBA16 dst(kSide, kSide);
    for (auto _ : state) {
        CEL_PixelBuffer::convert(src.data(), dst.data(), kPixels);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    setRate(state);
}
BENCHMARK(BM_RowsRGBA8ToRGBA16)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_RowsRGBA16ToRGBA8(benchmark::State& state) {
    CEL_PixmapRGBA8 seed(kSide, kSide);
    fill(seed);
    CEL_PixmapRGBA16 src(seed);
    CEL_PixmapRGBA8 dst(kSide, kSide);
    for (auto _ : state) {
        CEL_PixelBuffer::convert(src.data(), dst.data(), kPixels);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    setRate(state);
}
BENCHMARK(BM_RowsRGBA16ToRGBA8)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_RowsRGBA16ToFloat(benchmark::State& state) {
    CEL_PixmapRGBA8 seed(kSide, kSide);
    fill(seed);
    CEL_PixmapRGBA16 src(seed);
    auto dst = std::make_unique<CEL_PixelRGBAFloat[]>(size_t(kPixels));
    for (auto _ : state) {
        CEL_PixelBuffer::convert(src.data(), dst.get(), kPixels);
        benchmark::DoNotOptimize(dst.get());
        benchmark::ClobberMemory();
    }
    setRate(state);
}
BENCHMARK(BM_RowsRGBA16ToFloat)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PixmapRGBA8ToRGBA16(benchmark::State& state) {
    CEL_PixmapRGBA8 src(kSide, kSide);
    fill(src);
    for (auto _ : state) {
        CEL_PixmapRGBA16 dst(src);
        benchmark::DoNotOptimize(dst.data());
    }
    setRate(state);
}
BENCHMARK(BM_PixmapRGBA8ToRGBA16)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PixmapRGBA16ToRGBA8(benchmark::State& state) {
    CEL_PixmapRGBA8 seed(kSide, kSide);
    fill(seed);
    CEL_PixmapRGBA16 src(seed);
    for (auto _ : state) {
        CEL_PixmapRGBA8 dst(src);
        benchmark::DoNotOptimize(dst.data());
    }
    setRate(state);
}
BENCHMARK(BM_PixmapRGBA16ToRGBA8)->Unit(benchmark::kMillisecond)->UseRealTime();

// The crop scan reads every pixel outside the content box; one opaque pixel in
// the middle makes it read the whole image and copy almost nothing.
void BM_CropScanRGBA16(benchmark::State& state) {
    CEL_PixmapRGBA16 src(kSide, kSide);
    *src.pixel(kSide / 2, kSide / 2) = CEL_PixelRGBA16{32767, 0, 0, 32767};
    for (auto _ : state) {
        std::unique_ptr<CEL_Representation> area(src.convertTo(CEL_Representation::PIXMAP_AREA_RGBA16));
        benchmark::DoNotOptimize(area.get());
    }
    setRate(state);
}
BENCHMARK(BM_CropScanRGBA16)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_CropScanRGBA8(benchmark::State& state) {
    CEL_PixmapRGBA8 src(kSide, kSide);
    *src.pixel(kSide / 2, kSide / 2) = CEL_PixelRGBA8{255, 0, 0, 255};
    for (auto _ : state) {
        std::unique_ptr<CEL_Representation> area(src.convertTo(CEL_Representation::PIXMAP_AREA_RGBA16));
        benchmark::DoNotOptimize(area.get());
    }
    setRate(state);
}
BENCHMARK(BM_CropScanRGBA8)->Unit(benchmark::kMillisecond)->UseRealTime();

// realloc with content: a 4096 x 4096 area moved by 16 pixels on both axes.
void BM_AreaReallocKeepContent(benchmark::State& state) {
    CEL_PixmapAreaRGBA16 area(kSide + 16, kSide + 16);
    area.realloc(Math::Box2di(0, 0, kSide, kSide), true);
    int shift = 16;
    for (auto _ : state) {
        area.realloc(Math::Box2di(shift, shift, kSide, kSide), true);
        shift = 16 - shift;
        benchmark::DoNotOptimize(area.data());
    }
    setRate(state);
}
BENCHMARK(BM_AreaReallocKeepContent)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
