// The shared benchmark routines that need oneTBB: kept out of BenchCels.h so
// that files including Qt first (whose emit macro breaks oneTBB's headers) can
// include it anywhere.
#include <tbb/global_control.h>
#include <tbb/parallel_for.h>

#include "BenchCels.h"

namespace benchcels {

void copyCelBytes(benchmark::State& state, const CEL_PixmapAreaRGBA16& cel) {
    tbb::global_control threads(tbb::global_control::max_allowed_parallelism, std::size_t(state.range(0)));
    std::vector<CEL_PixelRGBA16> a(cel.data(), cel.data() + kPixels), b(static_cast<std::size_t>(kPixels));
    CpuMeter cpu;
    for (auto _ : state) {
        cpu.start();
        tbb::parallel_for(tbb::blocked_range<long long>(0, kPixels, kPixels / 8),
                          [&](const tbb::blocked_range<long long>& r) {
                              std::memcpy(b.data() + r.begin(), a.data() + r.begin(),
                                          std::size_t(r.size()) * sizeof(CEL_PixelRGBA16));
                          });
        cpu.stop();
        benchmark::DoNotOptimize(b.data());
        benchmark::ClobberMemory();
    }
    cpu.report(state);
    setRate(state);
}

} // namespace benchcels
