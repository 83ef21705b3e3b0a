#pragma once
// Row walks and value helpers shared by the matte and colour operations.
// Internal to the library.
//
//   forEachRowOf(data, width, height, fn)  fn(T* row, int n) for every row of a
//       buffer of height rows of width elements, rows split over worker threads
//       (parallelRows: oneTBB in its own task group context, serial for small
//       buffers and on request). Every operation using it computes each element
//       from itself only, so results never depend on the number of threads.
//   forEachRowOf(area, fn) / forEachRowOf(canvas, fn)   every allocated pixel
//   forEachPixelMemo(p, f)  p = f(p) for every allocated pixel, f a function of the
//       pixel alone: while pixels repeat along a row (the flat areas of cels,
//       transparency) the last result is stored again without calling f
//   anyNegativeRow(row, n)  whether a channel of n pixels is below 0
//   finite(...)             true when no argument is NaN or infinite
//   sat16(v)                an integer clamped to -32767 ... 32767

#include <cmath>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "algo/composite/CompositeDetail.h"
#include "pixel/PixmapArea.h"
#include "pixel/PixmapCanvas.h"

namespace CelAlgo::detail {

template <class T, class RowFn> void forEachRowOf(T* data, int width, int height, RowFn&& fn) {
    if (!data || width <= 0 || height <= 0) return;
    parallelRows(0, height, rowGrain(height), width, [&](int y1, int y2) {
        for (int y = y1; y < y2; ++y) fn(data + std::ptrdiff_t(y) * width, width);
    });
}

template <class RowFn> void forEachRowOf(CEL_PixmapAreaRGBA16* p, RowFn&& fn) {
    forEachRowOf(p->data(), p->allocatedWidth(), p->allocatedHeight(), fn);
}

template <class RowFn> void forEachRowOf(CEL_PixmapRGBA16* p, RowFn&& fn) {
    forEachRowOf(p->data(), p->width(), p->height(), fn);
}

template <class F> void memoRow(CEL_PixelRGBA16* row, int n, const F& f) {
    if (n <= 0) return;
    const auto word = [](const CEL_PixelRGBA16& p) {
        uint64_t w;
        std::memcpy(&w, &p, sizeof w);
        return w;
    };
    uint64_t lastIn = word(row[0]);
    CEL_PixelRGBA16 lastOut = f(row[0]);
    row[0] = lastOut;
    for (int i = 1; i < n; ++i) {
        const uint64_t w = word(row[i]);
        if (w != lastIn) {
            lastIn = w;
            lastOut = f(row[i]);
        }
        row[i] = lastOut;
    }
}

template <class P, class F> void forEachPixelMemo(P* p, const F& f) {
    forEachRowOf(p, [&f](CEL_PixelRGBA16* row, int n) { memoRow(row, n, f); });
}

inline bool anyNegativeRow(const CEL_PixelRGBA16* row, int n) {
    int bits = 0;
    for (int i = 0; i < n; ++i) bits |= row[i].r | row[i].g | row[i].b | row[i].a;
    return bits < 0;
}

inline bool finite(std::initializer_list<double> values) {
    for (double v : values)
        if (!std::isfinite(v)) return false;
    return true;
}

constexpr int sat16(int v) {
    return v < -kFull ? -kFull : (v > kFull ? kFull : v);
}

} // namespace CelAlgo::detail
