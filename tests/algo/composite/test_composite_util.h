#pragma once
// Helpers of the compositing tests: pixmap builders, one-pixel composites and
// pixel comparison.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "algo/composite/AlgoException.h"
#include "algo/composite/Composite.h"
#include "algo/composite/CompositeDetail.h"
#include "pixel/PixmapArea.h"

inline std::ostream& operator<<(std::ostream& out, const CEL_PixelRGBA16& p) {
    return out << "(" << p.r << ", " << p.g << ", " << p.b << ", " << p.a << ")";
}

namespace comptest {

using Pixel = CEL_PixelRGBA16;
using Pixmap = CEL_PixmapAreaRGBA16;
using PixmapPtr = std::unique_ptr<Pixmap>;

inline Pixel px(int r, int g, int b, int a) {
    return Pixel{int16_t(r), int16_t(g), int16_t(b), int16_t(a)};
}

inline PixmapPtr makePixmap(int canvasW, int canvasH, const Math::Box2di& alloc) {
    auto p = std::make_unique<Pixmap>(canvasW, canvasH);
    p->realloc(alloc, true);
    return p;
}

// A pixmap allocated to alloc, every pixel p.
inline PixmapPtr filled(int canvasW, int canvasH, const Math::Box2di& alloc, const Pixel& p) {
    auto pm = makePixmap(canvasW, canvasH, alloc);
    std::fill(pm->data(), pm->data() + pm->allocatedArea(), p);
    return pm;
}

// The message of the AlgoException f throws.
template <class F> std::string thrownText(F&& f) {
    try {
        f();
    } catch (const CelAlgo::AlgoException& e) {
        return e.what().toStdString();
    }
    return "<nothing thrown>";
}

// A one-row pixmap holding the given pixels.
inline PixmapPtr rowPixmap(const std::vector<Pixel>& pixels) {
    auto p = makePixmap(int(pixels.size()), 1, Math::Box2di(0, 0, int(pixels.size()), 1));
    std::copy(pixels.begin(), pixels.end(), p->data());
    return p;
}

// Cel-like content: empty, opaque and translucent premultiplied paint, additive
// light (alpha 0) and tone pixels (negative alpha, colour of any sign).
inline Pixel randomPixel(std::mt19937& rng) {
    const auto u = [&](int lo, int hi) { return int(lo + int(rng() % unsigned(hi - lo + 1))); };
    switch (rng() % 8) {
    case 0:
    case 1:
        return px(0, 0, 0, 0);
    case 2:
        return px(u(0, 32767), u(0, 32767), u(0, 32767), 32767);
    case 3:
        return px(u(0, 9000), u(0, 9000), u(0, 9000), 0);
    case 4:
        return px(u(-32767, 32767), u(-32767, 32767), u(-32767, 32767), u(-32767, -1));
    default: {
        const int a = u(1, 32767);
        return px(u(0, a), u(0, a), u(0, a), a);
    }
    }
}

// A canvas of cw x ch with random pixels on alloc (which may reach outside it).
inline PixmapPtr randomPixmap(std::mt19937& rng, int cw, int ch, const Math::Box2di& alloc) {
    PixmapPtr p = makePixmap(cw, ch, alloc);
    for (int64_t i = 0; i < p->allocatedArea(); ++i) p->data()[i] = randomPixel(rng);
    p->setAllPositive(false);
    return p;
}

inline PixmapPtr randomPixmap(int cw, int ch, const Math::Box2di& alloc, unsigned seed) {
    std::mt19937 rng(seed);
    return randomPixmap(rng, cw, ch, alloc);
}

inline int16_t field(const Pixel& p, int f) {
    return f == 0 ? p.r : f == 1 ? p.g : f == 2 ? p.b : p.a;
}

// dst after composite(dst, src, op, NONE, opacity, k...) on two one-pixel pixmaps.
inline Pixel blendOne(int op, const Pixel& d, const Pixel& s, double opacity = 1.0, double k0 = 1.0,
                      double k1 = 1.0, double k2 = 1.0) {
    auto dst = rowPixmap({d}), src = rowPixmap({s});
    CelAlgo::composite(dst.get(), src.get(), CelAlgo::GenericCompositeOp(op), CelAlgo::NONE, opacity, k0, k1,
                       k2);
    return *dst->data();
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
                       << "at (" << x << ", " << y << "): " << *a.pixel(x, y) << " vs " << *b.pixel(x, y);
    return ::testing::AssertionSuccess();
}

// f applied to one copy of p serially and to another in parallel gives the same pixels.
inline ::testing::AssertionResult threadIndependent(const Pixmap& p, const std::function<void(Pixmap*)>& f) {
    PixmapPtr serial(p.clone()), parallel(p.clone());
    CelAlgo::detail::setSerialForTesting(true);
    f(serial.get());
    CelAlgo::detail::setSerialForTesting(false);
    f(parallel.get());
    return samePixels(*serial, *parallel);
}

} // namespace comptest
