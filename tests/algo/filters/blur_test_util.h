#pragma once
// Helpers of the blur tests: random pixmaps of cel-like content (opaque and
// translucent pixels, additive light, tone pixels, empty runs) and comparison.

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <random>

#include "pixel/PixmapArea.h"

namespace blurtest {

using Pixel = CEL_PixelRGBA16;
using Pixmap = CEL_PixmapAreaRGBA16;
using PixmapPtr = std::unique_ptr<Pixmap>;

inline Pixel randomPixel(std::mt19937& rng) {
    const auto u = [&](int lo, int hi) { return int16_t(lo + int(rng() % unsigned(hi - lo + 1))); };
    switch (rng() % 8) {
    case 0:
    case 1:
        return Pixel{0, 0, 0, 0};
    case 2:
        return Pixel{u(0, 32767), u(0, 32767), u(0, 32767), 32767};
    case 3: { // additive light
        return Pixel{u(0, 9000), u(0, 9000), u(0, 9000), 0};
    }
    case 4: { // tone pixel
        return Pixel{u(-32767, 32767), u(-32767, 32767), u(-32767, 32767), u(-32767, -1)};
    }
    default: {
        const int16_t a = u(1, 32767);
        return Pixel{u(0, a), u(0, a), u(0, a), a};
    }
    }
}

// A canvas of cw x ch with random pixels on alloc (which may reach outside it).
inline PixmapPtr randomPixmap(std::mt19937& rng, int cw, int ch, const Math::Box2di& alloc) {
    auto p = std::make_unique<Pixmap>(cw, ch);
    p->realloc(alloc, true);
    for (int64_t i = 0; i < p->allocatedArea(); ++i) p->data()[i] = randomPixel(rng);
    p->setAllPositive(false);
    return p;
}

inline ::testing::AssertionResult samePixels(const Pixmap& a, const Pixmap& b) {
    if (a.allocatedRect() != b.allocatedRect())
        return ::testing::AssertionFailure() << "allocated rectangles differ";
    for (int64_t i = 0; i < a.allocatedArea(); ++i) {
        const Pixel &p = a.data()[i], &q = b.data()[i];
        if (p != q)
            return ::testing::AssertionFailure()
                   << "pixel " << i << ": (" << p.r << ", " << p.g << ", " << p.b << ", " << p.a << ") vs ("
                   << q.r << ", " << q.g << ", " << q.b << ", " << q.a << ")";
    }
    return ::testing::AssertionSuccess();
}

inline int16_t field(const Pixel& p, int f) {
    return f == 0 ? p.r : f == 1 ? p.g : f == 2 ? p.b : p.a;
}

} // namespace blurtest
