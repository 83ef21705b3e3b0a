#include "plugins/movie/FrameConvert.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <bit>
#include <cstring>

// An AVX2 build of each row loop beside the default one, chosen once at load
// time by the dynamic linker; not in sanitizer builds, whose runtime starts
// after the ifunc resolver runs.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(CELCORE_SANITIZED)
#define CELMOV_ROW_KERNEL __attribute__((target_clones("avx2", "default")))
#else
#define CELMOV_ROW_KERNEL
#endif

namespace {

// Colour times alpha over 255, rounded: with t = c * a + 128, (t + (t >> 8)) >> 8
// equals round(c * a / 255) for every c and a of 0 to 255.
inline uint32_t premultiplied(uint32_t c, uint32_t a) {
    const uint32_t t = c * a + 128u;
    return (t + (t >> 8)) >> 8;
}

// One row's matrix, in float so that the loops vectorise on every x86-64
// (32-bit integer multiplies need SSE4.1): the 8-bit level of each channel is
// y * luma + (cb - centre) * cbX + (cr - centre) * crX, with the luma offset
// folded into `bias`.
struct Matrix {
    float luma, bias, centre;
    float crR, cbG, crG, cbB;
    int mask;       // the sample's bits: larger codes from a damaged stream stay in range
    int alphaShift; // bits above 8 of the alpha samples
    int alphaHalf;
};

inline uint32_t level(float v) {
    // Rounded, then clamped as integers with selects: every v here is within
    // a few thousand (the samples are masked), so the conversion is defined,
    // and the loops calling this vectorise.
    int i = static_cast<int>(v + 0.5f);
    i = i > 0 ? i : 0;
    i = i < 255 ? i : 255;
    return static_cast<uint32_t>(i);
}

template <bool Alpha, bool Premultiply>
__attribute__((always_inline)) inline void yuvPixels(const uint16_t* y, const uint16_t* cb,
                                                     const uint16_t* cr, const uint16_t* a, int n,
                                                     const Matrix& m, uint32_t* out) {
    const Matrix k = m;
    for (int x = 0; x < n; ++x) {
        const float l = static_cast<float>(y[x] & k.mask) * k.luma + k.bias;
        const float u = static_cast<float>(cb[x] & k.mask) - k.centre;
        const float v = static_cast<float>(cr[x] & k.mask) - k.centre;
        uint32_t r = level(l + v * k.crR);
        uint32_t g = level(l - u * k.cbG - v * k.crG);
        uint32_t b = level(l + u * k.cbB);
        uint32_t alpha = 255;
        if constexpr (Alpha) {
            alpha = static_cast<uint32_t>(((a[x] & k.mask) + k.alphaHalf) >> k.alphaShift);
            alpha = alpha < 255u ? alpha : 255u;
            if constexpr (Premultiply) {
                r = premultiplied(r, alpha);
                g = premultiplied(g, alpha);
                b = premultiplied(b, alpha);
            }
        }
        if constexpr (std::endian::native == std::endian::little)
            out[x] = r | g << 8 | b << 16 | alpha << 24;
        else
            out[x] = r << 24 | g << 16 | b << 8 | alpha;
    }
}

// One function per case (each an AVX2 build beside the default one), so that
// no branch stays in the loop to stop it vectorising.
CELMOV_ROW_KERNEL void yuvRowOpaque(const uint16_t* y, const uint16_t* cb, const uint16_t* cr, int n,
                                    const Matrix& m, uint32_t* out) {
    yuvPixels<false, false>(y, cb, cr, nullptr, n, m, out);
}
CELMOV_ROW_KERNEL void yuvRowAlpha(const uint16_t* y, const uint16_t* cb, const uint16_t* cr,
                                   const uint16_t* a, int n, const Matrix& m, uint32_t* out) {
    yuvPixels<true, false>(y, cb, cr, a, n, m, out);
}
CELMOV_ROW_KERNEL void yuvRowPremultiplied(const uint16_t* y, const uint16_t* cb, const uint16_t* cr,
                                           const uint16_t* a, int n, const Matrix& m, uint32_t* out) {
    yuvPixels<true, true>(y, cb, cr, a, n, m, out);
}

// Pixels as 32-bit words over libav's byte buffers.
using PixelWord = uint32_t __attribute__((may_alias));

CELMOV_ROW_KERNEL void rgbaRow(const uint8_t* src, int n, bool premultiply, uint8_t* out) {
    if (!premultiply) {
        std::memcpy(out, src, static_cast<size_t>(n) * 4);
        return;
    }
    // Whole pixels as words, not bytes: each channel in a 32-bit lane, which
    // the compiler vectorises without shuffles.
    const auto* in = reinterpret_cast<const PixelWord*>(src);
    auto* to = reinterpret_cast<PixelWord*>(out);
    constexpr bool little = std::endian::native == std::endian::little;
    constexpr int r = little ? 0 : 24, g = little ? 8 : 16, b = little ? 16 : 8, al = little ? 24 : 0;
    for (int x = 0; x < n; ++x) {
        const uint32_t p = in[x];
        const uint32_t a = (p >> al) & 0xffu;
        to[x] = premultiplied((p >> r) & 0xffu, a) << r | premultiplied((p >> g) & 0xffu, a) << g |
                premultiplied((p >> b) & 0xffu, a) << b | a << al;
    }
}

void rgbRow(const uint8_t* src, int n, uint8_t* out) {
    for (int x = 0; x < n; ++x) {
        out[4 * x] = src[3 * x];
        out[4 * x + 1] = src[3 * x + 1];
        out[4 * x + 2] = src[3 * x + 2];
        out[4 * x + 3] = 255;
    }
}

// libswscale's matrix for the frame: its coefficient table for the colour
// space ({cr to R, cb to B, cb to G, cr to G} in 1/65536, for limited-range
// chroma), its luma scale of 255/219 for limited range, and for full range
// chroma scaled by 224/255 as libswscale does.
bool matrixFor(const AVFrame* frame, int bits, Matrix& m) {
    int space = frame->colorspace;
    if (space == AVCOL_SPC_UNSPECIFIED || space == AVCOL_SPC_RESERVED) space = SWS_CS_DEFAULT;
    const int* c = sws_getCoefficients(space);
    if (!c) return false;
    const bool full = frame->color_range == AVCOL_RANGE_JPEG;
    const float unit = static_cast<float>(1 << (bits - 8)); // one 8-bit level in sample codes
    const float chroma = (full ? 224.0f / 255.0f : 1.0f) / (65536.0f * unit);
    m.luma = (full ? 1.0f : 255.0f / 219.0f) / unit;
    m.bias = full ? 0.0f : -16.0f * 255.0f / 219.0f;
    m.centre = static_cast<float>(1 << (bits - 1));
    m.crR = static_cast<float>(c[0]) * chroma;
    m.cbB = static_cast<float>(c[1]) * chroma;
    m.cbG = static_cast<float>(c[2]) * chroma;
    m.crG = static_cast<float>(c[3]) * chroma;
    m.mask = (1 << bits) - 1;
    m.alphaShift = bits - 8;
    m.alphaHalf = 1 << (bits - 9);
    return true;
}

} // namespace

void MOV_premultiplyRgba8(uint8_t* rgba, size_t pixels) {
    // Row by row, so that a row's length fits the loop's int count.
    constexpr size_t kStep = size_t(1) << 20;
    for (size_t done = 0; done < pixels; done += kStep) {
        const size_t n = std::min(kStep, pixels - done);
        rgbaRow(rgba + done * 4, int(n), true, rgba + done * 4);
    }
}

bool MOV_convertFrameToRgba8(const AVFrame* frame, int width, int height, uint8_t* dst, bool premultiply) {
    if (!frame || frame->width != width || frame->height != height || width <= 0 || height <= 0) return false;
    const auto format = static_cast<AVPixelFormat>(frame->format);
    const size_t dstStride = static_cast<size_t>(width) * 4;

    if (format == AV_PIX_FMT_RGBA || format == AV_PIX_FMT_RGB24) {
        for (int row = 0; row < height; ++row) {
            const uint8_t* src = frame->data[0] + static_cast<ptrdiff_t>(row) * frame->linesize[0];
            uint8_t* out = dst + row * dstStride;
            if (format == AV_PIX_FMT_RGBA)
                rgbaRow(src, width, premultiply, out);
            else
                rgbRow(src, width, out);
        }
        return true;
    }

    // Planar 4:4:4 YUV of 9 to 12 bits in native-endian 16-bit samples; wider
    // samples would overflow the float matrix's exact range of codes.
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
    if (!desc || (desc->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_BE | AV_PIX_FMT_FLAG_PAL)) ||
        !(desc->flags & AV_PIX_FMT_FLAG_PLANAR) || desc->log2_chroma_w != 0 || desc->log2_chroma_h != 0 ||
        desc->nb_components < 3)
        return false;
    const int bits = desc->comp[0].depth;
    if (bits < 9 || bits > 12) return false;
    for (int i = 0; i < desc->nb_components; ++i)
        if (desc->comp[i].depth != bits || desc->comp[i].step != 2 || desc->comp[i].shift != 0 ||
            desc->comp[i].plane != i)
            return false;
    const bool alpha = desc->nb_components == 4;
    Matrix m;
    if (!matrixFor(frame, bits, m)) return false;
    for (int row = 0; row < height; ++row) {
        const auto plane = [&](int i) {
            return reinterpret_cast<const uint16_t*>(frame->data[i] +
                                                     static_cast<ptrdiff_t>(row) * frame->linesize[i]);
        };
        auto* out = reinterpret_cast<uint32_t*>(dst + row * dstStride);
        if (!alpha)
            yuvRowOpaque(plane(0), plane(1), plane(2), width, m, out);
        else if (premultiply)
            yuvRowPremultiplied(plane(0), plane(1), plane(2), plane(3), width, m, out);
        else
            yuvRowAlpha(plane(0), plane(1), plane(2), plane(3), width, m, out);
    }
    return true;
}
