#pragma once
// Shared by the compositing benchmarks: the image size, the Mpix/s counter and
// the double-precision painter used to draw the test cels (never timed).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include <sys/resource.h>

#include "pixel/Pixel.h"
#include "pixel/PixmapArea.h"

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

// Antialiased shapes (discs, or ellipses), a quarter of them translucent, at random
// places, sizes and colours of the seed.
enum class Shapes { Discs, Ellipses };
inline void paintShapes(CEL_PixmapAreaRGBA16& p, Shapes shapes, unsigned seed, int count, int minRadius,
                        int maxRadius) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int i = 0; i < count; ++i) {
        const double cx = unit(rng) * kSide, cy = unit(rng) * kSide;
        const double rx = minRadius + unit(rng) * (maxRadius - minRadius);
        const double ry = shapes == Shapes::Ellipses ? rx * (0.5 + unit(rng)) : rx;
        const double cr = unit(rng), cg = unit(rng), cb = unit(rng);
        const double opacity = unit(rng) < 0.75 ? 1.0 : 0.3 + 0.5 * unit(rng);
        const int x1 = std::max(0, int(cx - rx - 1)), x2 = std::min(kSide, int(cx + rx + 2));
        const int y1 = std::max(0, int(cy - ry - 1)), y2 = std::min(kSide, int(cy + ry + 2));
        for (int y = y1; y < y2; ++y)
            for (int x = x1; x < x2; ++x) {
                double dist;
                if (shapes == Shapes::Ellipses) {
                    const double dx = (x + 0.5 - cx) / rx, dy = (y + 0.5 - cy) / ry;
                    dist = (std::sqrt(dx * dx + dy * dy) - 1.0) * std::min(rx, ry);
                } else {
                    dist = std::hypot(x + 0.5 - cx, y + 0.5 - cy) - rx;
                }
                const double cover = std::clamp(0.5 - dist, 0.0, 1.0);
                if (cover > 0.0) paint(*p.pixel(x, y), cr, cg, cb, cover * opacity);
            }
    }
}

// An opaque painted background with shapes on it, and a layer of shapes of which about
// half stays transparent. blueAcross grades the background's blue across the rows too.
struct Cels {
    CEL_PixmapAreaRGBA16 background{kSide, kSide};
    CEL_PixmapAreaRGBA16 layer{kSide, kSide};
    Cels(Shapes shapes, bool blueAcross) {
        background.realloc(background.canvasRect(), true);
        for (int y = 0; y < kSide; ++y)
            for (int x = 0; x < kSide; ++x)
                paint(*background.pixel(x, y), 0.2 + 0.6 * y / kSide, 0.5,
                      blueAcross ? 0.3 + 0.5 * x / kSide : 0.7, 1.0);
        paintShapes(background, shapes, 1, 60, 100, 700);
        layer.realloc(layer.canvasRect(), true);
        paintShapes(layer, shapes, 2, 40, 60, 500);
    }
};

// Processor time of the process (all its threads), summed over the timed calls:
// on a shared machine it is steadier than wall time.
class CpuMeter {
public:
    void start() { m_start = now(); }
    void stop() { m_total += now() - m_start; }
    void report(benchmark::State& state) const {
        if (state.iterations() > 0) state.counters["cpu_ms"] = m_total * 1e3 / double(state.iterations());
    }

private:
    static double now() {
        rusage u{};
        getrusage(RUSAGE_SELF, &u);
        return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
               1e-6 * double(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
    }
    double m_start = 0.0;
    double m_total = 0.0;
};

// A copy of the cel's bytes on state.range(0) threads: the bar of the
// memory-bound filters.
void copyCelBytes(benchmark::State& state, const CEL_PixmapAreaRGBA16& cel);

} // namespace benchcels
