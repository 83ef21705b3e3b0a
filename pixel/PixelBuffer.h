#pragma once
// Internal helpers of the pixmap classes: sizing and allocating pixel buffers
// under the process-wide byte cap, and the out-of-memory report. Not part of
// the library's interface.

#include <cstddef>
#include <cstdint>
#include <new>

namespace CEL_PixelBuffer {

// Bytes of count elements of elemSize; false when count is negative or the
// product overflows.
inline bool byteSize(long long count, std::size_t elemSize, unsigned long long& bytes) {
    if (count < 0) return false;
    return !__builtin_mul_overflow((unsigned long long)count, (unsigned long long)elemSize, &bytes);
}

// False when bytes exceed CEL_Pixmap::maxPixmapBytes().
bool withinLimit(unsigned long long bytes);

// A new[] buffer of count elements, value-initialised (zero bytes for the
// plain pixel types) when clear is true. Null when count <= 0, when the size
// overflows or exceeds the cap, or when new[] fails; nothing is thrown.
template <class T> T* allocate(long long count, bool clear) noexcept {
    unsigned long long bytes = 0;
    if (count <= 0 || !byteSize(count, sizeof(T), bytes) || !withinLimit(bytes)) return nullptr;
    if (bytes > (unsigned long long)PTRDIFF_MAX) return nullptr;
    return clear ? new (std::nothrow) T[std::size_t(count)]() : new (std::nothrow) T[std::size_t(count)];
}

// Posts "Out of memory: cel %3 (w: %1 h: %2) " (context "CEL_Util", action 2, code 9).
void postOutOfMemory(long long width, long long height, const char* tag);

} // namespace CEL_PixelBuffer
