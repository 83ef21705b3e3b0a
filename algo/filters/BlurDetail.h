#pragma once
// Pieces shared by the blur sources. Internal to the library.
//
//   grownClipped(box, margin, clip)  box enlarged by margin on every side (64-bit
//                                    arithmetic) and intersected with clip
//   checkedProduct(a, b, ...)        a * b * ... or UINT64_MAX when it overflows
//   workBuffer<T>(count)             count uninitialised elements; "out of memory"
//                                    when count * sizeof(T) exceeds the pixmap byte
//                                    cap or the allocation fails
//   requireBytes(bytes)              the same check for a pixmap about to be allocated
//   roundToShort(v)                  trunc(v + 0.5) in double, 32767 at most (and
//                                    -32768 at least, so that no value wraps)
//   truncToShort(v)                  trunc(v) clamped to -32768 ... 32767, NaN as 0
//   fieldOf(pixels, f)               the f-th 16-bit field of the first pixel
//
// Kernels compiled twice on x86-64 (AVX2 and the baseline) carry BLUR_KERNEL.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>

#include "algo/composite/AlgoException.h"
#include "base/MathTypes.h"
#include "pixel/Pixel.h"
#include "pixel/Representation.h"

#if defined(__x86_64__) && defined(__GNUC__) && !defined(CELCORE_SANITIZED)
#define BLUR_KERNEL __attribute__((target_clones("avx2", "default")))
#else
#define BLUR_KERNEL
#endif

namespace CelAlgo::blurdetail {

inline Math::Box2di grownClipped(const Math::Box2di& box, int64_t margin, const Math::Box2di& clip) {
    if (box.hasNullArea() || clip.hasNullArea()) return Math::Box2di();
    const int64_t x1 = std::max<int64_t>(int64_t(box.x1()) - margin, clip.x1());
    const int64_t y1 = std::max<int64_t>(int64_t(box.y1()) - margin, clip.y1());
    const int64_t x2 = std::min<int64_t>(int64_t(box.x2()) + margin, clip.x2());
    const int64_t y2 = std::min<int64_t>(int64_t(box.y2()) + margin, clip.y2());
    if (x1 >= x2 || y1 >= y2) return Math::Box2di();
    return Math::Box2di::fromCorners(int(x1), int(y1), int(x2), int(y2));
}

inline uint64_t checkedProduct(uint64_t a, uint64_t b) {
    if (a != 0 && b > std::numeric_limits<uint64_t>::max() / a) return std::numeric_limits<uint64_t>::max();
    return a * b;
}
template <class... More> uint64_t checkedProduct(uint64_t a, uint64_t b, More... more) {
    return checkedProduct(checkedProduct(a, b), uint64_t(more)...);
}

inline void requireBytes(uint64_t bytes) {
    if (bytes > CEL_Pixmap::maxPixmapBytes()) throw AlgoException("out of memory");
}

template <class T> std::unique_ptr<T[]> workBuffer(uint64_t count) {
    requireBytes(checkedProduct(count, sizeof(T)));
    T* p = new (std::nothrow) T[std::size_t(count)];
    if (!p) throw AlgoException("out of memory");
    return std::unique_ptr<T[]>(p);
}

inline int16_t roundToShort(double v) {
    double t = v + 0.5;
    t = t < 32767.0 ? t : 32767.0; // NaN lands here too
    t = t > -32768.0 ? t : -32768.0;
    return int16_t(int(t));
}

inline int16_t truncToShort(double v) {
    if (v != v) return 0;
    v = v < 32767.0 ? v : 32767.0;
    v = v > -32768.0 ? v : -32768.0;
    return int16_t(int(v));
}

inline int16_t* fieldOf(CEL_PixelRGBA16* pixels, int field) {
    return reinterpret_cast<int16_t*>(pixels) + field;
}

} // namespace CelAlgo::blurdetail
