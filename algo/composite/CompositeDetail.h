#pragma once
// Building blocks shared by every compositing operation (colour, alpha and
// blend modes), so that no operation repeats the value conventions, the region
// rules, the flag bookkeeping or the threading. Internal to the library.
//
// Values (see Composite.h for the conventions):
//   sat(v)                 clamps to -32767 ... 32767, in the type of v
//   roundHalfUp(v)         trunc(v + 0.5) in double (not symmetric below 0)
//   truncToInt(v)          trunc(v), guarded against values beyond +-2e9 and NaN
//   F(x), I(x)             x / 32767 and 1 - x / 32767 from AlphaConvTable;
//                          the index is clamped to 0 ... 32767 (callers pass |x|)
//   overMix(d, a)          (d * (32767 - a) + 32767) >> 15: d under a source of alpha a,
//                          32-bit integers, arithmetic shift
//   toneFactor(s, A)       the factor a tone channel s (alpha -A) applies:
//                          I(A) + A * F(A) / s for s > 0, F(-s) + I(A) otherwise
//   toneChannel(s, d, A)   sat(roundHalfUp(toneFactor(s, A) * d))
//   forColour(d, s, fn)    fn(int16_t& dc, int16_t sc) on the three colour channels
//   overOpacityPixel(d, s, o)  the over of all four channels of one pixel with
//                          src scaled by opacity o (additive light and tone rule
//                          included)
//
// Regions and walking:
//   requirePixmaps(...)    throws AlgoException("invalid pointer") on a null pixmap
//   growRegion(dst, src)   dst->reallocToFitAndClipToCanvas(src, true), then the
//                          common allocated rectangle
//   intersectionRegion(dst, src)  the common allocated rectangle, no reallocation
//   rowsOf(pixmap, r)      row pointers at column r.x1() for a rectangle inside the
//                          pixmap's allocated rectangle
//   forEachRow(dst, src, r, fn)    fn(CEL_PixelRGBA16* d, const CEL_PixelRGBA16* s, int n)
//   forEachPixel(dst, src, r, fn)  fn(CEL_PixelRGBA16& d, const CEL_PixelRGBA16& s)
//   andAllPositive(dst, src)       dst's flag becomes (dst's and src's)
//
// Threads:
//   parallelRows(y1, y2, grain, width, body)  body(yBegin, yEnd) over disjoint row
//       ranges covering [y1, y2) exactly once; oneTBB parallel_for with the
//       automatic partitioner in its own task group context; rows are split,
//       columns never. Runs serially on the calling thread when the area is below
//       kMinParallelPixels, when there is one row, or when setSerialForTesting(true).
//   rowGrain(h)            the row grain of the parallel passes: h / 4, rounded up
//
// Every operation computes per pixel from the same pixel of src and dst only, so
// the result never depends on the number of threads.

#include <cstddef>
#include <cstdint>

#include "algo/composite/AlgoException.h"
#include "algo/composite/Composite.h"
#include "base/MathTypes.h"
#include "celcore_export.h"
#include "pixel/Pixel.h"
#include "pixel/PixmapArea.h"

namespace CelAlgo::detail {

constexpr int kFull = 32767;

template <class T> constexpr T sat(T v) {
    return v < T(-kFull) ? T(-kFull) : (v > T(kFull) ? T(kFull) : v);
}

inline int truncToInt(double v) {
    if (!(v > -2e9)) return v != v ? 0 : -2000000000;
    if (v > 2e9) return 2000000000;
    return static_cast<int>(v);
}

inline int roundHalfUp(double v) {
    return truncToInt(v + 0.5);
}

constexpr int clampIndex(int x) {
    return x < 0 ? 0 : (x > kFull ? kFull : x);
}
inline double F(int x) {
    return AlphaConvTable::F(clampIndex(x));
}
inline double I(int x) {
    return AlphaConvTable::I(clampIndex(x));
}

constexpr int overMix(int d, int a) {
    return (d * (kFull - a) + kFull) >> 15;
}

inline double toneFactor(int s, int A) {
    return s > 0 ? I(A) + A * F(A) / s : F(-s) + I(A);
}
inline int toneChannel(int s, int d, int A) {
    return sat(roundHalfUp(toneFactor(s, A) * d));
}

// Applies fn(dstChannel, srcChannel) to the three colour channels of a pixel pair.
template <class Fn> inline void forColour(CEL_PixelRGBA16& d, const CEL_PixelRGBA16& s, Fn&& fn) {
    fn(d.r, s.r);
    fn(d.g, s.g);
    fn(d.b, s.b);
}

// One pixel of the opacity over: a = trunc(s_a * o) decides the case.
inline void overOpacityPixel(CEL_PixelRGBA16& d, const CEL_PixelRGBA16& s, double o) {
    const int a = truncToInt(s.a * o);
    if (a == 0) {
        forColour(d, s, [o](int16_t& dc, int16_t sc) {
            const int c = roundHalfUp(sc * o);
            if (c != 0) dc = int16_t(sat(dc + c));
        });
    } else if (a == kFull) {
        d.r = s.r, d.g = s.g, d.b = s.b, d.a = int16_t(kFull);
    } else if (a > 0) {
        forColour(d, s, [o, a](int16_t& dc, int16_t sc) {
            dc = int16_t(sat(truncToInt(sc * o) + overMix(dc, a)));
        });
        d.a = int16_t(sat(overMix(d.a, a) + a));
    } else if (d.a != 0) {
        forColour(d, s,
                  [o, a](int16_t& dc, int16_t sc) { dc = int16_t(toneChannel(truncToInt(sc * o), dc, -a)); });
    } else {
        // Within range for opacities up to 1; the saturation only guards larger ones.
        forColour(d, s, [o](int16_t& dc, int16_t sc) { dc = int16_t(sat(truncToInt(sc * o))); });
        d.a = int16_t(sat(a));
    }
}

inline void requirePixmaps(const void* a) {
    if (!a) throw AlgoException("invalid pointer");
}
inline void requirePixmaps(const void* a, const void* b) {
    if (!a || !b) throw AlgoException("invalid pointer");
}
inline void requirePixmaps(const void* a, const void* b, const void* c) {
    if (!a || !b || !c) throw AlgoException("invalid pointer");
}

Math::Box2di growRegion(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src);
Math::Box2di intersectionRegion(const CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src);

// Row y of a rectangle lying inside a pixmap's allocated rectangle.
template <class P> class PixelRows {
public:
    PixelRows(P* origin, std::ptrdiff_t stride, int y1) : m_origin(origin), m_stride(stride), m_y1(y1) {}
    P* row(int y) const { return m_origin + std::ptrdiff_t(y - m_y1) * m_stride; }

private:
    P* m_origin;
    std::ptrdiff_t m_stride;
    int m_y1;
};

inline PixelRows<CEL_PixelRGBA16> rowsOf(CEL_PixmapAreaRGBA16* p, const Math::Box2di& r) {
    return {p->pixel(r.x1(), r.y1()), p->allocatedWidth(), r.y1()};
}
inline PixelRows<const CEL_PixelRGBA16> rowsOf(const CEL_PixmapAreaRGBA16* p, const Math::Box2di& r) {
    return {p->pixel(r.x1(), r.y1()), p->allocatedWidth(), r.y1()};
}

template <class RowFn>
void forEachRow(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src, const Math::Box2di& r,
                RowFn&& fn) {
    if (r.hasNullArea()) return;
    const auto d = rowsOf(dst, r);
    const auto s = rowsOf(src, r);
    for (int y = r.y1(); y < r.y2(); ++y) fn(d.row(y), s.row(y), r.w());
}

template <class PixelFn>
void forEachPixel(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src, const Math::Box2di& r,
                  PixelFn&& fn) {
    forEachRow(dst, src, r, [&fn](CEL_PixelRGBA16* d, const CEL_PixelRGBA16* s, int n) {
        for (int i = 0; i < n; ++i) fn(d[i], s[i]);
    });
}

inline void andAllPositive(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src) {
    dst->setAllPositive(dst->areAllPositive() && src->areAllPositive());
}

// --- Threads ---

constexpr int64_t kMinParallelPixels = 16384;

constexpr int rowGrain(int h) {
    return h % 4 == 0 ? h / 4 : h / 4 + 1;
}

// Process-wide: when true every parallel pass runs on the calling thread.
CELCORE_EXPORT void setSerialForTesting(bool serial);
CELCORE_EXPORT bool isSerialForTesting();

using RowRangeBody = void (*)(const void* context, int yBegin, int yEnd);
CELCORE_EXPORT void parallelRowsImpl(int y1, int y2, int grain, int64_t width, RowRangeBody body,
                                     const void* context);

template <class Body> void parallelRows(int y1, int y2, int grain, int64_t width, const Body& body) {
    parallelRowsImpl(
        y1, y2, grain, width,
        [](const void* context, int yBegin, int yEnd) { (*static_cast<const Body*>(context))(yBegin, yEnd); },
        &body);
}

} // namespace CelAlgo::detail
