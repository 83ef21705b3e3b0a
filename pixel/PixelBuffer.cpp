#include "pixel/PixelBuffer.h"

#include <cstring>

// The kernels view pixel arrays as flat channel arrays: every channel of a
// conversion follows the same rule, so one flat loop covers them and the
// compiler vectorises it without shuffles.

namespace CEL_PixelBuffer {

namespace {

template <class T, class P> T* channels(P* p) {
    return reinterpret_cast<T*>(p);
}

// v * 32767 / 255 in 16-bit lanes: 32767 = 128 * 255 + 127, so the quotient
// is 128 v + floor(127 v / 255), and for x < 65535, floor(x / 255) equals
// (x + 1 + (x >> 8)) >> 8. Bit-identical to CEL_PixelRule::from8.
inline int16_t from8Fast(uint8_t v) {
    const uint16_t x = uint16_t(v * 127u);
    return int16_t((uint16_t(v) << 7) + (uint16_t(x + 1u + (x >> 8)) >> 8));
}

inline uint8_t to8Fast(int16_t v) {
    // Same as CEL_PixelRule::to8: values below 1 give 0.
    return uint8_t((v < 0 ? 0 : v) >> 7);
}

inline double lumaOf(double r, double g, double b) {
    return 0.3 * r + 0.59 * g + 0.11 * b;
}

inline int16_t saturate16(double v) {
    return int16_t(v > 32767.0 ? 32767 : (v < -32768.0 ? -32768 : int(v)));
}

inline unsigned char shift16To8(int v) {
    return v <= 0 ? 0 : (unsigned char)(v >> 7);
}

} // namespace

void convert(const CEL_PixelRGBA8* src, CEL_PixelRGBA16* dst, long long n) {
    const uint8_t* s = channels<const uint8_t>(src);
    int16_t* d = channels<int16_t>(dst);
    for (long long i = 0; i < 4 * n; ++i) d[i] = from8Fast(s[i]);
}

void convert(const CEL_PixelRGBA16* src, CEL_PixelRGBA8* dst, long long n) {
    const int16_t* s = channels<const int16_t>(src);
    uint8_t* d = channels<uint8_t>(dst);
    for (long long i = 0; i < 4 * n; ++i) d[i] = to8Fast(s[i]);
}

void convert(const CEL_PixelRGBA16* src, CEL_PixelRGBAFloat* dst, long long n) {
    const int16_t* s = channels<const int16_t>(src);
    float* d = channels<float>(dst);
    for (long long i = 0; i < 4 * n; ++i) d[i] = CEL_PixelRule::from16ToFloat(s[i]);
}

void convert(const CEL_PixelRGBAFloat* src, CEL_PixelRGBA16* dst, long long n) {
    const float* s = channels<const float>(src);
    int16_t* d = channels<int16_t>(dst);
    for (long long i = 0; i < 4 * n; ++i) d[i] = CEL_PixelRule::floatTo16(s[i]);
}

void convert(const CEL_PixelRGBAFloat* src, CEL_PixelRGBA8* dst, long long n) {
    const float* s = channels<const float>(src);
    uint8_t* d = channels<uint8_t>(dst);
    for (long long i = 0; i < 4 * n; ++i) d[i] = CEL_PixelRule::floatTo8(s[i]);
}

void convert(const unsigned char* src, CEL_PixelRGBA16* dst, long long n) {
    for (long long i = 0; i < n; ++i) {
        const int16_t v = from8Fast(src[i]);
        dst[i] = CEL_PixelRGBA16{v, v, v, v};
    }
}

void convert(const unsigned char* src, CEL_PixelRGBA8* dst, long long n) {
    for (long long i = 0; i < n; ++i) {
        const uint8_t v = src[i];
        dst[i] = CEL_PixelRGBA8{v, v, v, v};
    }
}

void convert(const short* src, unsigned char* dst, long long n) {
    for (long long i = 0; i < n; ++i) dst[i] = to8Fast(src[i]);
}

void convert(const CEL_PixelRGBA8* src, CEL_PixelBGRA8* dst, long long n) {
    for (long long i = 0; i < n; ++i) dst[i] = CEL_PixelBGRA8{src[i].b, src[i].g, src[i].r, src[i].a};
}

void convert(const CEL_PixelRGBA16* src, CEL_PixelBGRA8* dst, long long n) {
    for (long long i = 0; i < n; ++i)
        dst[i] = CEL_PixelBGRA8{to8Fast(src[i].b), to8Fast(src[i].g), to8Fast(src[i].r), to8Fast(src[i].a)};
}

void convert(const CEL_PixelRGBAFloat* src, CEL_PixelBGRA8* dst, long long n) {
    for (long long i = 0; i < n; ++i) dst[i] = src[i];
}

void convert(const unsigned char* src, CEL_PixelBGRA8* dst, long long n) {
    for (long long i = 0; i < n; ++i) dst[i] = src[i];
}

void luma(const CEL_PixelRGBA8* src, unsigned char* dst, long long n) {
    for (long long i = 0; i < n; ++i) dst[i] = (unsigned char)(lumaOf(src[i].r, src[i].g, src[i].b));
}

void lumaTo8(const CEL_PixelRGBA16* src, unsigned char* dst, long long n) {
    for (long long i = 0; i < n; ++i) dst[i] = shift16To8(int(lumaOf(src[i].r, src[i].g, src[i].b)));
}

void lumaTo16(const CEL_PixelRGBA16* src, short* dst, long long n) {
    for (long long i = 0; i < n; ++i) dst[i] = short(lumaOf(src[i].r, src[i].g, src[i].b));
}

void lumaTo8(const CEL_PixelRGBAFloat* src, unsigned char* dst, long long n) {
    for (long long i = 0; i < n; ++i)
        dst[i] = shift16To8(saturate16(lumaOf(src[i].r, src[i].g, src[i].b) * 32767.0));
}

void lumaTo16(const CEL_PixelRGBAFloat* src, short* dst, long long n) {
    for (long long i = 0; i < n; ++i) dst[i] = saturate16(lumaOf(src[i].r, src[i].g, src[i].b) * 32767.0);
}

// ---------------------------------------------------------------------------
// Content box

namespace {

constexpr long long kChunk = 64;

// OR of 64 bytes; the fixed-length loop compiles to a few vector ORs.
inline bool chunkNonZero(const unsigned char* p) {
    uint64_t acc = 0;
    for (int k = 0; k < int(kChunk / 8); ++k) {
        uint64_t v;
        std::memcpy(&v, p + 8 * k, 8);
        acc |= v;
    }
    return acc != 0;
}

// Index of the first non-zero byte of p[0, n), or -1.
long long firstNonZeroByte(const unsigned char* p, long long n) {
    long long i = 0;
    while (i + kChunk <= n && !chunkNonZero(p + i)) i += kChunk;
    for (; i < n; ++i)
        if (p[i]) return i;
    return -1;
}

// Index of the last non-zero byte of p[0, n), or -1.
long long lastNonZeroByte(const unsigned char* p, long long n) {
    long long end = n;
    while (end - kChunk >= 0 && !chunkNonZero(p + end - kChunk)) end -= kChunk;
    for (long long i = end - 1; i >= 0; --i)
        if (p[i]) return i;
    return -1;
}

} // namespace

bool contentBox(const void* data, int width, int height, int pixelSize, Math::Box2di& box) {
    if (!data || width <= 0 || height <= 0) return false;
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    const long long rowBytes = (long long)width * pixelSize;
    auto row = [&](int y) { return bytes + (long long)y * rowBytes; };

    int top = 0;
    while (top < height && firstNonZeroByte(row(top), rowBytes) < 0) ++top;
    if (top == height) return false;
    int bottom = height - 1;
    while (bottom > top && firstNonZeroByte(row(bottom), rowBytes) < 0) --bottom;

    // Each row only needs to look outside the columns already known to hold content.
    int left = width, right = -1;
    for (int y = top; y <= bottom; ++y) {
        const unsigned char* r = row(y);
        const long long l = firstNonZeroByte(r, (long long)left * pixelSize);
        if (l >= 0) left = int(l / pixelSize);
        const long long from = (long long)(right + 1) * pixelSize;
        const long long rr = lastNonZeroByte(r + from, rowBytes - from);
        if (rr >= 0) right = int((from + rr) / pixelSize);
    }
    box = Math::Box2di::fromCorners(left, top, right + 1, bottom + 1);
    return true;
}

} // namespace CEL_PixelBuffer
