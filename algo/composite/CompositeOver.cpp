// The premultiplied over: colour only, all four channels in parallel, and all
// four channels with an opacity. The library's hottest loops live here.
//
// The row kernels are plain loops written for the compiler's vectoriser: the
// per-pixel choice is a select, not a branch, and the source flag picks the
// kernel once per call. Additive light and the tone rule (double precision)
// are left to a scalar second pass over the rows that hold such pixels.
// Values are expected within -32767 ... 32767; -32768 is outside the range. On x86-64 they are compiled
// twice (AVX2 and the baseline) and the loader picks the one the processor runs.
#include <cstring>
#include <memory>

#include "algo/composite/CompositeDetail.h"

#if defined(__x86_64__) && defined(__GNUC__) && !defined(CELCORE_SANITIZED)
#define CELCORE_ROW_KERNEL __attribute__((target_clones("avx2", "default")))
#else
#define CELCORE_ROW_KERNEL
#endif

namespace CelAlgo {

using detail::kFull;

namespace {

using Pixel = CEL_PixelRGBA16;

// One channel of the integer over, or d itself when the pixel is not mixed:
// sat(((d * (32767 - a) + 32767) >> 15) + s). inv is 32767 - a held in 16 bits
// so that the product is a 16 x 16 -> 32-bit multiply the vectoriser maps onto
// the processor's widening multiplies; inv only wraps for a <= 0, where the
// result is not selected. The four channels go through the same expression so
// that the vectoriser can treat a pixel as one short vector. s_a = 32767 needs
// no case of its own: the mix term is then 0 and s_c, within -32767 ... 32767,
// is its own saturation.
inline int16_t overChannel(int16_t d, int16_t inv, int16_t s, bool mixed) {
    int v = ((d * inv + kFull) >> 15) + s;
    v = v > kFull ? kFull : v;
    v = v < -kFull ? -kFull : v;
    return mixed ? int16_t(v) : d;
}

// Source keeps the allPositive promise: s_a <= 0 leaves the pixel, anything
// else is the integer over of all four fields.
CELCORE_ROW_KERNEL void overRowPositive(Pixel* __restrict d, const Pixel* __restrict s, int n) {
    for (int i = 0; i < n; ++i) {
        const Pixel dp = d[i];
        const Pixel sp = s[i];
        const int16_t inv = int16_t(kFull - sp.a);
        const bool mixed = sp.a > 0;
        d[i].r = overChannel(dp.r, inv, sp.r, mixed);
        d[i].g = overChannel(dp.g, inv, sp.g, mixed);
        d[i].b = overChannel(dp.b, inv, sp.b, mixed);
        d[i].a = overChannel(dp.a, inv, sp.a, mixed);
    }
}

// Any source: the same pass, and whether the row holds a source pixel that
// needs the scalar pass (s_a < 0, or s_a = 0 with colour), left untouched here.
CELCORE_ROW_KERNEL bool overRowAny(Pixel* __restrict d, const Pixel* __restrict s, int n) {
    unsigned special = 0;
    for (int i = 0; i < n; ++i) {
        const Pixel dp = d[i];
        const Pixel sp = s[i];
        const int16_t inv = int16_t(kFull - sp.a);
        const bool mixed = sp.a > 0;
        special |= unsigned(mixed ? 0 : (sp.r | sp.g | sp.b | sp.a));
        d[i].r = overChannel(dp.r, inv, sp.r, mixed);
        d[i].g = overChannel(dp.g, inv, sp.g, mixed);
        d[i].b = overChannel(dp.b, inv, sp.b, mixed);
        d[i].a = overChannel(dp.a, inv, sp.a, mixed);
    }
    return special != 0;
}

// The source pixels with s_a <= 0: additive light adds its colour (alpha kept);
// a tone pixel scales the colour of a pixel with alpha (alpha kept) and is
// copied onto alpha 0 (with kAlpha, its alpha too).
template <bool kAlpha> inline void lightAndTone(Pixel& dp, const Pixel& sp) {
    if (sp.a == 0) {
        detail::forColour(dp, sp, [](int16_t& dc, int16_t sc) {
            if (sc != 0) dc = int16_t(detail::sat(dc + sc));
        });
    } else if (dp.a != 0) {
        const int A = -sp.a;
        detail::forColour(dp, sp,
                          [A](int16_t& dc, int16_t sc) { dc = int16_t(detail::toneChannel(sc, dc, A)); });
    } else {
        dp.r = sp.r, dp.g = sp.g, dp.b = sp.b;
        if constexpr (kAlpha) dp.a = sp.a;
    }
}

void overRowAnyAll(Pixel* d, const Pixel* s, int n) {
    if (!overRowAny(d, s, n)) return;
    for (int i = 0; i < n; ++i)
        if (s[i].a <= 0) lightAndTone<true>(d[i], s[i]);
}

// Colour only (alpha kept): one pixel at a time; this form is not on the hot path.
void overRowColour(Pixel* d, const Pixel* s, int n) {
    for (int i = 0; i < n; ++i) {
        const Pixel& sp = s[i];
        Pixel& dp = d[i];
        if (sp.a <= 0) {
            lightAndTone<false>(dp, sp);
        } else {
            const int16_t inv = int16_t(kFull - sp.a);
            dp.r = overChannel(dp.r, inv, sp.r, true);
            dp.g = overChannel(dp.g, inv, sp.g, true);
            dp.b = overChannel(dp.b, inv, sp.b, true);
        }
    }
}

// The row kernels take restricted pointers: an over of a pixmap onto itself
// reads from a copy.
std::unique_ptr<CEL_PixmapAreaRGBA16> copyIfSame(const CEL_PixmapAreaRGBA16* dst,
                                                 const CEL_PixmapAreaRGBA16*& src) {
    if (dst != src) return nullptr;
    std::unique_ptr<CEL_PixmapAreaRGBA16> copy(src->clone());
    if (!copy) throw AlgoException("out of memory");
    src = copy.get();
    return copy;
}

} // namespace

void composite_ADD_APPLY_SRC_ALPHA_INV(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src) {
    detail::requirePixmaps(dst, src);
    const auto copy = copyIfSame(dst, src);
    const Math::Box2di r = detail::growRegion(dst, src);
    detail::forEachRow(dst, src, r, [](Pixel* d, const Pixel* s, int n) { overRowColour(d, s, n); });
}

void composite_ADD_APPLY_SRC_ALPHA_INV_ALL(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src) {
    detail::requirePixmaps(dst, src);
    const auto copy = copyIfSame(dst, src);
    const Math::Box2di r = detail::growRegion(dst, src);
    if (!r.hasNullArea()) {
        const auto d = detail::rowsOf(dst, r);
        const auto s = detail::rowsOf(src, r);
        const int w = r.w();
        if (src->areAllPositive()) {
            detail::parallelRows(r.y1(), r.y2(), detail::rowGrain(r.h()), w, [&](int y1, int y2) {
                for (int y = y1; y < y2; ++y) overRowPositive(d.row(y), s.row(y), w);
            });
        } else {
            detail::parallelRows(r.y1(), r.y2(), detail::rowGrain(r.h()), w, [&](int y1, int y2) {
                for (int y = y1; y < y2; ++y) overRowAnyAll(d.row(y), s.row(y), w);
            });
        }
    }
    detail::andAllPositive(dst, src);
}

void composite_ADD_APPLY_SRC_ALPHA_INV_ALL(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src,
                                           double opacity) {
    detail::requirePixmaps(dst, src);
    const Math::Box2di r = detail::growRegion(dst, src);
    detail::forEachPixel(dst, src, r,
                         [opacity](Pixel& d, const Pixel& s) { detail::overOpacityPixel(d, s, opacity); });
    detail::andAllPositive(dst, src);
}

} // namespace CelAlgo
