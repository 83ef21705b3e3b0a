// Byte-at-a-time throughput of the decoders' input paths (from memory, so the
// numbers are the per-byte cost, not the disk) and of the byte target.
#include <benchmark/benchmark.h>

#include <QString>
#include <cstdint>
#include <vector>

#include "celio/ByteIO.h"
#include "celio/InputStream.h"

namespace {

constexpr size_t kBytes = size_t(64) << 20;

const std::vector<uint8_t>& source() {
    static const std::vector<uint8_t> data = [] {
        std::vector<uint8_t> d(kBytes);
        for (size_t i = 0; i < d.size(); ++i) d[i] = uint8_t(i * 2654435761u >> 13);
        return d;
    }();
    return data;
}

void setRate(benchmark::State& state) {
    state.counters["MB/s"] =
        benchmark::Counter(double(kBytes) / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_IbufGetByte(benchmark::State& state) {
    const auto& d = source();
    for (auto _ : state) {
        ibuf in(d.data(), d.size());
        uint32_t sum = 0;
        for (size_t i = 0; i < kBytes; ++i) sum += in.getByte();
        benchmark::DoNotOptimize(sum);
    }
    setRate(state);
}
BENCHMARK(BM_IbufGetByte)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_IbufGetU16BE(benchmark::State& state) {
    const auto& d = source();
    for (auto _ : state) {
        ibuf in(d.data(), d.size());
        uint32_t sum = 0;
        for (size_t i = 0; i < kBytes / 2; ++i) sum += in.getU16BE();
        benchmark::DoNotOptimize(sum);
    }
    setRate(state);
}
BENCHMARK(BM_IbufGetU16BE)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_InputStreamGetU8(benchmark::State& state) {
    const auto& d = source();
    for (auto _ : state) {
        CELIO_MemoryInputBlock block(d.data(), uint32_t(d.size()));
        CELIO_InputStream in(block);
        uint32_t sum = 0;
        for (size_t i = 0; i < kBytes; ++i) sum += in.getU8();
        benchmark::DoNotOptimize(sum);
    }
    setRate(state);
}
BENCHMARK(BM_InputStreamGetU8)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ObufPutByte(benchmark::State& state) {
    const auto& d = source();
    for (auto _ : state) {
        obuf out(QStringLiteral("/dev/null"));
        for (size_t i = 0; i < kBytes; ++i) out.putByte(d[i]);
        out.close();
    }
    setRate(state);
}
BENCHMARK(BM_ObufPutByte)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
