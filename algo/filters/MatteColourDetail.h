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
//   anyNegativeRow(row, n)  whether a channel of n pixels is below 0
//   finite(...)             true when no argument is NaN or infinite
//   sat16(v)                an integer clamped to -32767 ... 32767

#include <cmath>
#include <cstdint>
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
