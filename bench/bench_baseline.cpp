// Reference points measured in the same run as the library's benchmarks: a
// memcpy of a 4096 x 4096 RGBA16 image and a two-read-one-write stream kernel
// (the memory-bandwidth ceiling of a compositing loop).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

constexpr int64_t kSide = 4096;
constexpr int64_t kPixels = kSide * kSide;

void BM_MemcpyRGBA16(benchmark::State& state) {
    std::vector<uint64_t> a(kPixels, 0x0102030405060708ull), b(kPixels);
    for (auto _ : state) {
        std::memcpy(b.data(), a.data(), a.size() * sizeof(uint64_t));
        benchmark::DoNotOptimize(b.data());
        benchmark::ClobberMemory();
    }
    state.counters["Mpix/s"] = benchmark::Counter(
        double(kPixels), benchmark::Counter::kIsIterationInvariantRate, benchmark::Counter::kIs1000);
}
BENCHMARK(BM_MemcpyRGBA16)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_MemcpyRGBA8(benchmark::State& state) {
    std::vector<uint32_t> a(kPixels, 0x01020304u), b(kPixels);
    for (auto _ : state) {
        std::memcpy(b.data(), a.data(), a.size() * sizeof(uint32_t));
        benchmark::DoNotOptimize(b.data());
        benchmark::ClobberMemory();
    }
    state.counters["Mpix/s"] = benchmark::Counter(
        double(kPixels), benchmark::Counter::kIsIterationInvariantRate, benchmark::Counter::kIs1000);
}
BENCHMARK(BM_MemcpyRGBA8)->Unit(benchmark::kMillisecond)->UseRealTime();

// Reads two 8-byte pixels and writes one: 24 bytes per pixel, as an over pass does.
void BM_StreamTwoReadsOneWrite(benchmark::State& state) {
    std::vector<uint64_t> a(kPixels, 1), b(kPixels, 2), c(kPixels);
    for (auto _ : state) {
        const uint64_t* pa = a.data();
        const uint64_t* pb = b.data();
        uint64_t* pc = c.data();
        for (int64_t i = 0; i < kPixels; ++i) pc[i] = pa[i] + pb[i];
        benchmark::DoNotOptimize(pc);
        benchmark::ClobberMemory();
    }
    state.counters["Mpix/s"] = benchmark::Counter(
        double(kPixels), benchmark::Counter::kIsIterationInvariantRate, benchmark::Counter::kIs1000);
}
BENCHMARK(BM_StreamTwoReadsOneWrite)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
