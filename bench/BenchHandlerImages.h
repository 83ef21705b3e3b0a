#pragma once
// Pictures shared by the file-handler benchmarks (never timed): cel content,
// and a noisy plasma that no run-length coder can shorten.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>

#include "pixel/PixmapCanvas.h"

namespace benchimages {

constexpr int kSide = 4096;

// Premultiplied 16-bit cel content: flat shapes with soft edges, a gradient,
// grain in the low bits, transparent surroundings. 8-bit samples are derived
// from it.
inline CEL_PixmapRGBA16* celPicture16() {
    auto* p = new CEL_PixmapRGBA16(kSide, kSide);
    struct Shape {
        double cx, cy, rx, ry, r, g, b;
    };
    const Shape shapes[] = {{2048, 2300, 1200, 1500, 0.85, 0.65, 0.5},
                            {2048, 1000, 750, 700, 0.95, 0.8, 0.65},
                            {1800, 950, 100, 130, 0.1, 0.1, 0.15},
                            {2300, 950, 100, 130, 0.1, 0.1, 0.15},
                            {2048, 3400, 1000, 380, 0.3, 0.35, 0.8}};
    unsigned seed = 17;
    for (int y = 0; y < kSide; ++y) {
        CEL_PixelRGBA16* row = p->data() + size_t(y) * kSide;
        for (int x = 0; x < kSide; ++x) {
            double r = 0, g = 0, b = 0, a = 0;
            for (const Shape& s : shapes) {
                const double d = std::hypot((x - s.cx) / s.rx, (y - s.cy) / s.ry);
                const double cover = std::clamp((1.0 - d) * std::min(s.rx, s.ry) / 2 + 0.5, 0.0, 1.0);
                if (cover <= 0) continue;
                const double shade = 0.7 + 0.3 * (y - s.cy + s.ry) / (2 * s.ry);
                r = r * (1 - cover) + cover * s.r * shade;
                g = g * (1 - cover) + cover * s.g * shade;
                b = b * (1 - cover) + cover * s.b * shade;
                a = a * (1 - cover) + cover;
            }
            seed = seed * 1103515245u + 12345u;
            const double grain = a > 0 && y > 3000 ? double(seed >> 28) / 32767.0 : 0.0; // a textured band
            const auto q = [&](double v) {
                return int16_t(std::lround(std::clamp(v + grain * a, 0.0, a) * 32767));
            };
            row[x] = CEL_PixelRGBA16{q(r), q(g), q(b), int16_t(std::lround(a * 32767))};
        }
    }
    return p;
}

// 8-bit plasma (sums of waves in every channel, alpha included) with noise on
// top: neighbouring values rarely repeat.
inline CEL_PixmapRGBA8* noisyPlasma8() {
    auto* p = new CEL_PixmapRGBA8(kSide, kSide);
    std::mt19937 rng(23);
    for (int y = 0; y < kSide; ++y) {
        CEL_PixelRGBA8* row = p->data() + size_t(y) * kSide;
        for (int x = 0; x < kSide; ++x) {
            const auto wave = [&](double fx, double fy, double phase) {
                const double v =
                    std::sin(x * fx + phase) + std::sin(y * fy - phase) + std::sin((x + y) * 0.0021);
                return 128.0 + 38.0 * v + double(int(rng() % 17) - 8);
            };
            const auto q = [](double v) { return uint8_t(std::clamp(std::lround(v), 0L, 255L)); };
            row[x] = CEL_PixelRGBA8{q(wave(0.011, 0.007, 0.0)), q(wave(0.005, 0.013, 1.0)),
                                    q(wave(0.017, 0.003, 2.0)), q(wave(0.002, 0.009, 3.0))};
        }
    }
    return p;
}

} // namespace benchimages
