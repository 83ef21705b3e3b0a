#pragma once
// Pieces shared by the blur sources. Internal to the library.
//
//   grownClipped(box, margin, clip)  box enlarged by margin on every side (64-bit
//                                    arithmetic) and intersected with clip
//   checkedProduct(a, b, ...)        a * b * ... or UINT64_MAX when it overflows
//   workBuffer<T>(count)             count uninitialised elements of a trivial type
//                                    from the scratch pool; "out of memory" when
//                                    count * sizeof(T) exceeds the pixmap byte cap or
//                                    the allocation fails. The pool keeps released
//                                    blocks of up to 32 MiB (64 MiB in all) for the
//                                    next blur, so that a batch of blurs does not
//                                    fault fresh pages in for every call.
//   requireBytes(bytes)              the same check for a pixmap about to be allocated
//   roundToShort(v)                  trunc(v + 0.5) in double, 32767 at most (and
//                                    -32768 at least, so that no value wraps)
//   truncToShort(v)                  trunc(v) clamped to -32768 ... 32767, NaN as 0
//   fieldOf(pixels, f)               the f-th 16-bit field of the first pixel
//
// Kernels compiled three times on x86-64 (AVX-512, AVX2, the baseline) carry BLUR_KERNEL. The
// box passes also have AVX2 and AVX-512 forms, chosen once per call by the
// processor; every form computes the same bits.
//   setKernelLevelCapForTesting(l)   0 portable, 1 up to AVX2, 2 up to AVX-512

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include "algo/composite/AlgoException.h"
#include "base/MathTypes.h"
#include "celcore_export.h"
#include "pixel/Pixel.h"
#include "pixel/Representation.h"

#if defined(__x86_64__) && defined(__GNUC__) && !defined(CELCORE_SANITIZED)
#define BLUR_KERNEL __attribute__((target_clones("avx512f", "avx2", "default")))
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

// A block of the scratch pool, returned to it on destruction.
class ScratchBlock {
public:
    ScratchBlock() = default;
    explicit ScratchBlock(uint64_t bytes);
    ScratchBlock(ScratchBlock&& other) noexcept : m_data(other.m_data), m_size(other.m_size) {
        other.m_data = nullptr, other.m_size = 0;
    }
    ScratchBlock& operator=(ScratchBlock&& other) noexcept {
        std::swap(m_data, other.m_data), std::swap(m_size, other.m_size);
        return *this;
    }
    ScratchBlock(const ScratchBlock&) = delete;
    ScratchBlock& operator=(const ScratchBlock&) = delete;
    ~ScratchBlock();
    void* data() const { return m_data; }

private:
    void* m_data = nullptr;
    uint64_t m_size = 0;
};

template <class T> class WorkBuffer {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

public:
    WorkBuffer() = default;
    explicit WorkBuffer(uint64_t count) : m_block(checkedProduct(count, sizeof(T))) {}
    T* get() const { return static_cast<T*>(m_block.data()); }
    T& operator[](uint64_t i) const { return get()[i]; }

private:
    ScratchBlock m_block;
};

template <class T> WorkBuffer<T> workBuffer(uint64_t count) {
    return WorkBuffer<T>(count);
}

CELCORE_EXPORT void setKernelLevelCapForTesting(int level);

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
