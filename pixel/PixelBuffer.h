#pragma once
// Helpers of the pixmap classes: sizing and allocating pixel buffers under
// the process-wide byte cap and the out-of-memory report (internal), and the
// bulk row conversions, which are exported for file handlers, filters and
// benchmarks that convert rows into buffers they already hold.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>

#include "celcore_export.h"

namespace CEL_PixelBuffer {

// Bytes of count elements of elemSize; false when count is negative or the
// product overflows.
inline bool byteSize(long long count, std::size_t elemSize, unsigned long long& bytes) {
    if (count < 0) return false;
    return !__builtin_mul_overflow((unsigned long long)count, (unsigned long long)elemSize, &bytes);
}

// False when bytes exceed CEL_Pixmap::maxPixmapBytes().
bool withinLimit(unsigned long long bytes);

// Asks the system to back a large fresh buffer with huge pages, so that its
// first touch costs a few faults instead of one per 4 KiB page. Advisory only.
void adviseLargeBuffer(void* p, unsigned long long bytes) noexcept;

// A new[] buffer of count elements, value-initialised (zero bytes for the
// plain pixel types) when clear is true. Null when count <= 0, when the size
// overflows or exceeds the cap, or when new[] fails; nothing is thrown.
template <class T> T* allocate(long long count, bool clear) noexcept {
    unsigned long long bytes = 0;
    if (count <= 0 || !byteSize(count, sizeof(T), bytes) || !withinLimit(bytes)) return nullptr;
    if (bytes > (unsigned long long)PTRDIFF_MAX) return nullptr;
    if constexpr (std::is_trivially_default_constructible_v<T>) {
        // Advice goes in before the first write touches the pages.
        T* p = new (std::nothrow) T[std::size_t(count)];
        if (!p) return nullptr;
        adviseLargeBuffer(p, bytes);
        if (clear) std::memset(static_cast<void*>(p), 0, std::size_t(bytes));
        return p;
    } else {
        return clear ? new (std::nothrow) T[std::size_t(count)]() : new (std::nothrow) T[std::size_t(count)];
    }
}

// Posts "Out of memory: cel %3 (w: %1 h: %2) " (context "CEL_Util", action 2, code 9).
void postOutOfMemory(long long width, long long height, const char* tag);

} // namespace CEL_PixelBuffer

// ---------------------------------------------------------------------------
// Row kernels (n pixels each, by the pixel rules of pixel/Pixel.h). Plain
// loops over the channels, written so that the compiler vectorises them.

#include "base/MathTypes.h"
#include "pixel/Pixel.h"

namespace CEL_PixelBuffer {

CELCORE_EXPORT void convert(const CEL_PixelRGBA8* src, CEL_PixelRGBA16* dst, long long n);     // 8 -> 16
CELCORE_EXPORT void convert(const CEL_PixelRGBA16* src, CEL_PixelRGBA8* dst, long long n);     // 16 -> 8
CELCORE_EXPORT void convert(const CEL_PixelRGBA16* src, CEL_PixelRGBAFloat* dst, long long n); // 16 -> float
CELCORE_EXPORT void convert(const CEL_PixelRGBAFloat* src, CEL_PixelRGBA16* dst, long long n); // float -> 16
CELCORE_EXPORT void convert(const CEL_PixelRGBAFloat* src, CEL_PixelRGBA8* dst, long long n);  // float -> 8
CELCORE_EXPORT void convert(const unsigned char* src, CEL_PixelRGBA16* dst,
                            long long n); // matte: all four 8 -> 16
CELCORE_EXPORT void convert(const unsigned char* src, CEL_PixelRGBA8* dst,
                            long long n);                                       // matte: all four copied
CELCORE_EXPORT void convert(const short* src, unsigned char* dst, long long n); // 16 -> 8
// Into ARGB32 scan lines (bytes b, g, r, a).
CELCORE_EXPORT void convert(const CEL_PixelRGBA8* src, CEL_PixelBGRA8* dst, long long n);
CELCORE_EXPORT void convert(const CEL_PixelRGBA16* src, CEL_PixelBGRA8* dst, long long n);
CELCORE_EXPORT void convert(const CEL_PixelRGBAFloat* src, CEL_PixelBGRA8* dst, long long n);
CELCORE_EXPORT void convert(const unsigned char* src, CEL_PixelBGRA8* dst, long long n);

// Luma trunc(0.3 r + 0.59 g + 0.11 b) in double.
CELCORE_EXPORT void luma(const CEL_PixelRGBA8* src, unsigned char* dst, long long n);
// The luma of the signed channels, then 0 when <= 0, else >> 7.
CELCORE_EXPORT void lumaTo8(const CEL_PixelRGBA16* src, unsigned char* dst, long long n);
CELCORE_EXPORT void lumaTo16(const CEL_PixelRGBA16* src, short* dst, long long n);
// The float luma scaled by 32767.0 (saturated to the 16-bit range).
CELCORE_EXPORT void lumaTo8(const CEL_PixelRGBAFloat* src, unsigned char* dst, long long n);
CELCORE_EXPORT void lumaTo16(const CEL_PixelRGBAFloat* src, short* dst, long long n);

// n elements of src into dst: a plain copy for the same type, else convert().
template <class S, class T> void copyOrConvert(const S* src, T* dst, long long n) {
    if constexpr (std::is_same_v<S, T>)
        std::memcpy(static_cast<void*>(dst), src, std::size_t(n) * sizeof(T));
    else
        convert(src, dst, n);
}

// The smallest box holding every pixel with a non-zero byte of a w x h
// buffer of pixelSize-byte pixels; false when every byte is 0.
CELCORE_EXPORT bool contentBox(const void* data, int width, int height, int pixelSize, Math::Box2di& box);

// Fills the dst buffer (allocated to dstRect) with src's pixels (allocated to
// srcRect) where the rectangles overlap and with empty elsewhere. src may be
// null (everything empty).
template <class T>
void copyRegion(const T* src, const Math::Box2di& srcRect, T* dst, const Math::Box2di& dstRect,
                const T& empty) {
    const Math::Box2di common = src ? srcRect.getIntersection(dstRect) : Math::Box2di();
    const long long w = dstRect.w();
    for (int y = dstRect.y1(); y < dstRect.y2(); ++y) {
        T* row = dst + (long long)(y - dstRect.y1()) * w;
        if (common.hasNullArea() || y < common.y1() || y >= common.y2()) {
            std::fill_n(row, w, empty);
            continue;
        }
        const T* srow = src + (long long)(y - srcRect.y1()) * srcRect.w() + (common.x1() - srcRect.x1());
        std::fill_n(row, common.x1() - dstRect.x1(), empty);
        std::copy_n(srow, common.w(), row + (common.x1() - dstRect.x1()));
        std::fill_n(row + (common.x2() - dstRect.x1()), dstRect.x2() - common.x2(), empty);
    }
}

} // namespace CEL_PixelBuffer
