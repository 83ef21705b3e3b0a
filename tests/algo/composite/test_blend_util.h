#pragma once
// Helpers of the blend-mode tests: one-pixel composites through the dispatcher and
// pixel formatting.

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <ostream>
#include <vector>

#include "algo/composite/Composite.h"
#include "pixel/PixmapArea.h"

namespace blendtest {

using Pixel = CEL_PixelRGBA16;
using Pixmap = CEL_PixmapAreaRGBA16;

inline Pixel px(int r, int g, int b, int a) {
    return Pixel{int16_t(r), int16_t(g), int16_t(b), int16_t(a)};
}

inline std::unique_ptr<Pixmap> pixmap(int canvasW, int canvasH, const Math::Box2di& alloc) {
    auto p = std::make_unique<Pixmap>(canvasW, canvasH);
    p->realloc(alloc, true);
    return p;
}

inline std::unique_ptr<Pixmap> onePixel(const Pixel& p) {
    auto m = pixmap(1, 1, Math::Box2di(0, 0, 1, 1));
    *m->data() = p;
    return m;
}

// dst after composite(dst, src, op, NONE, opacity, k...) on two one-pixel pixmaps.
inline Pixel blendOne(int op, const Pixel& d, const Pixel& s, double opacity = 1.0, double k0 = 1.0,
                      double k1 = 1.0, double k2 = 1.0) {
    auto dst = onePixel(d);
    auto src = onePixel(s);
    CelAlgo::composite(dst.get(), src.get(), CelAlgo::GenericCompositeOp(op), CelAlgo::NONE, opacity, k0, k1,
                       k2);
    return *dst->data();
}

} // namespace blendtest

inline std::ostream& operator<<(std::ostream& out, const CEL_PixelRGBA16& p) {
    return out << "(" << p.r << ", " << p.g << ", " << p.b << ", " << p.a << ")";
}
