#pragma once
// Helpers of the compositing tests: pixmap builders, pixel comparison and the
// plain double-precision reference formulas the library must match bit for bit.

#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "algo/composite/Composite.h"
#include "pixel/PixmapArea.h"

namespace comptest {

using Pixel = CEL_PixelRGBA16;
using Pixmap = CEL_PixmapAreaRGBA16;
using PixmapPtr = std::unique_ptr<Pixmap>;

inline int clamp16(double v) {
    return v > 32767.0 ? 32767 : (v < -32767.0 ? -32767 : int(v));
}
// trunc(v + 0.5), saturated.
inline int rnd(double v) {
    return clamp16(std::trunc(v + 0.5));
}
inline double frac(int x) {
    return x / 32767.0;
}
inline double inv(int x) {
    return 1.0 - x / 32767.0;
}
// (d * (32767 - a) + 32767) >> 15 written as a floor division.
inline int mix(int d, int a) {
    return int(std::floor((double(d) * (32767 - a) + 32767) / 32768.0));
}
// Tone rule: a channel s of a pixel with alpha -A applied to d.
inline int tone(int s, int d, int A) {
    const double f = s > 0 ? inv(A) + A * frac(A) / s : frac(-s) + inv(A);
    return rnd(f * d);
}

// Reference over: colour only, all four channels (any source), and all four
// channels on the path of a source that keeps the allPositive promise.
// Applies fn(dc, sc) -> new dc to the three colour channels.
template <class Fn> Pixel colourWise(Pixel d, const Pixel& s, Fn fn) {
    d.r = int16_t(fn(d.r, s.r));
    d.g = int16_t(fn(d.g, s.g));
    d.b = int16_t(fn(d.b, s.b));
    return d;
}

inline Pixel refOverColour(Pixel d, const Pixel& s) {
    return colourWise(d, s, [&](int dc, int sc) {
        if (s.a == 0) return sc != 0 ? clamp16(dc + sc) : dc;
        if (s.a == 32767) return sc;
        if (s.a > 0) return clamp16(mix(dc, s.a) + sc);
        return d.a != 0 ? tone(sc, dc, -s.a) : sc;
    });
}

inline Pixel refOverAll(Pixel d, const Pixel& s) {
    Pixel r = refOverColour(d, s);
    if (s.a == 32767 || (s.a < 0 && d.a == 0))
        r.a = s.a;
    else if (s.a > 0)
        r.a = int16_t(clamp16(mix(d.a, s.a) + s.a));
    return r;
}

inline Pixel refOverPositive(Pixel d, const Pixel& s) {
    if (s.a <= 0) return d;
    auto f = [&](int dc, int sc) { return int16_t(clamp16(mix(dc, s.a) + sc)); };
    return {f(d.r, s.r), f(d.g, s.g), f(d.b, s.b), f(d.a, s.a)};
}

inline PixmapPtr makePixmap(int canvasW, int canvasH, const Math::Box2di& alloc) {
    auto p = std::make_unique<Pixmap>(canvasW, canvasH);
    p->realloc(alloc, true);
    return p;
}

// A one-row pixmap holding the given pixels.
inline PixmapPtr rowPixmap(const std::vector<Pixel>& pixels) {
    auto p = makePixmap(int(pixels.size()), 1, Math::Box2di(0, 0, int(pixels.size()), 1));
    for (std::size_t i = 0; i < pixels.size(); ++i) *p->pixel(int(i), 0) = pixels[i];
    return p;
}

inline std::string str(const Pixel& p) {
    std::ostringstream out;
    out << "(" << p.r << ", " << p.g << ", " << p.b << ", " << p.a << ")";
    return out.str();
}

// Every pixel of a, with its position, compared to b (same allocated rectangles).
inline ::testing::AssertionResult samePixels(const Pixmap& a, const Pixmap& b) {
    if (a.allocatedRect() != b.allocatedRect())
        return ::testing::AssertionFailure() << "allocated rectangles differ";
    const Math::Box2di r = a.allocatedRect();
    for (int y = r.y1(); y < r.y2(); ++y)
        for (int x = r.x1(); x < r.x2(); ++x)
            if (*a.pixel(x, y) != *b.pixel(x, y))
                return ::testing::AssertionFailure()
                       << "at (" << x << ", " << y << "): " << str(*a.pixel(x, y)) << " vs "
                       << str(*b.pixel(x, y));
    return ::testing::AssertionSuccess();
}

// Pixels covering the interesting values: every pairing of a grid of alphas
// with a few colour triples (zero, positive, negative, full scale), then random
// pixels. Source and destination come as two parallel lists.
struct PixelPairs {
    std::vector<Pixel> dst, src;
};

inline PixelPairs gridPairs(unsigned seed, bool nonNegative = false) {
    const int alphas[] = {-32767, -16384, -1, 0, 1, 100, 16384, 32766, 32767};
    const int colours[][3] = {
        {0, 0, 0}, {100, 0, 32767}, {-100, -32767, 20000}, {32767, 16384, -1}, {-5000, 7, 0}};
    const auto v = [nonNegative](int x) { return int16_t(nonNegative ? std::abs(x) : x); };
    PixelPairs out;
    for (int sa : alphas)
        for (int da : alphas)
            for (std::size_t i = 0; i < 5; ++i) {
                const int* sc = colours[i];
                const int* dc = colours[(i + 1 + std::size_t(sa & 3)) % 5];
                out.src.push_back({v(sc[0]), v(sc[1]), v(sc[2]), v(sa)});
                out.dst.push_back({v(dc[0]), v(dc[1]), v(dc[2]), v(da)});
            }
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> any(-32767, 32767);
    for (int i = 0; i < 2000; ++i) {
        out.src.push_back({v(any(rng)), v(any(rng)), v(any(rng)), v(any(rng))});
        out.dst.push_back({v(any(rng)), v(any(rng)), v(any(rng)), v(any(rng))});
    }
    return out;
}

} // namespace comptest
