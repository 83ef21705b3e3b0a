#pragma once
// The bitmap engine's JPEG coder (libjpeg's 6b interface, as libjpeg-turbo
// offers it): compression into memory and decompression from memory. Errors
// come back through setjmp/longjmp as a failed result; libjpeg prints nothing.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/Bitmap.h"

namespace CELIO_BitmapJpeg {

// The largest side a JPEG file describes.
constexpr int kMaxSide = 65500;

// Encodes height rows of width pixels, `stride` bytes apart, at `quality`
// (1 ... 100): pixels of 4 bytes r, g, b, a (alpha not stored) when
// `components` is 4, of 3 bytes r, g, b when it is 3. One scan line goes in
// per call; the bytes come out through a 4096-byte buffer flushed into `out`.
// False on any failure (out is then unspecified).
bool encode(const uint8_t* pixels, long long stride, int width, int height, int components, int quality,
            std::vector<uint8_t>& out);

// Decodes JPEG data into a new 32-bit bitmap of opaque pixels, or null (see
// CELIO_BitmapEngine::load for what is refused). The data starts at its SOI.
BM_UncompressedBitmap* decode(const uint8_t* data, std::size_t size);

} // namespace CELIO_BitmapJpeg
