#pragma once
// Shared by the compositing benchmarks: the image size, the Mpix/s counter and
// the double-precision painter used to draw the test cels (never timed).
#include <benchmark/benchmark.h>

#include <cmath>

#include "pixel/Pixel.h"

namespace benchcels {

constexpr int kSide = 4096;
constexpr long long kPixels = (long long)kSide * kSide;

inline void setRate(benchmark::State& state) {
    state.counters["Mpix/s"] = benchmark::Counter(
        double(kPixels), benchmark::Counter::kIsIterationInvariantRate, benchmark::Counter::kIs1000);
}

// Premultiplied over in double, only to paint the cels.
inline void paint(CEL_PixelRGBA16& d, double r, double g, double b, double a) {
    const double k = 1.0 - a;
    d.r = int16_t(std::lround(r * a * 32767 + d.r * k));
    d.g = int16_t(std::lround(g * a * 32767 + d.g * k));
    d.b = int16_t(std::lround(b * a * 32767 + d.b * k));
    d.a = int16_t(std::lround(a * 32767 + d.a * k));
}

} // namespace benchcels
