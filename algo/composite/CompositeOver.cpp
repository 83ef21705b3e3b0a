// The premultiplied over: colour only, all four channels in parallel, and all
// four channels with an opacity. The library's hottest loops live here.
//
// The row kernels are plain loops written for the compiler's vectoriser: the
// per-pixel choice is a select, not a branch; flags are template parameters;
// the tone rule (negative source alpha, double precision) is left to a scalar
// second pass over the few pixels that need it. On x86-64 they are compiled
// twice (AVX2 and the baseline) and the loader picks the one the processor runs.
#include <cstring>
#include <memory>

#include "algo/composite/CompositeDetail.h"

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__SANITIZE_ADDRESS__)
#define CELCORE_ROW_KERNEL __attribute__((target_clones("avx2", "default")))
#else
#define CELCORE_ROW_KERNEL
#endif

namespace CelAlgo {

using detail::kFull;

namespace {

using Pixel = CEL_PixelRGBA16;

// sat(((d * (32767 - a) + 32767) >> 15) + s). inv is 32767 - a held in 16 bits
// so that the product is a 16 x 16 -> 32-bit multiply the vectoriser maps onto
// the processor's widening multiplies; inv only wraps for a <= 0, where the
// result is not selected.
inline int16_t overChannel(int16_t d, int16_t inv, int16_t s) {
    int v = ((d * inv + kFull) >> 15) + s;
    v = v > kFull ? kFull : v;
    v = v < -kFull ? -kFull : v;
    return int16_t(v);
}

// Source keeps the allPositive promise: s_a <= 0 leaves the pixel, anything
// else is the integer over of all four fields. s_a = 32767 needs no case of its
// own: the mix term is then 0 and a non-negative s_c is within range.
CELCORE_ROW_KERNEL void overRowPositive(Pixel* __restrict d, const Pixel* __restrict s, int n) {
    for (int i = 0; i < n; ++i) {
        const Pixel dp = d[i];
        const Pixel sp = s[i];
        const int16_t inv = int16_t(kFull - sp.a);
        const bool on = sp.a > 0;
        d[i].r = on ? overChannel(dp.r, inv, sp.r) : dp.r;
        d[i].g = on ? overChannel(dp.g, inv, sp.g) : dp.g;
        d[i].b = on ? overChannel(dp.b, inv, sp.b) : dp.b;
        d[i].a = on ? overChannel(dp.a, inv, sp.a) : dp.a;
    }
}

// One colour channel for s_a >= 0: additive light (s_a = 0, non-zero colour),
// copy (s_a = 32767) or over. Tone pixels (s_a < 0) keep dp here.
inline int16_t generalChannel(int16_t dp, int16_t sp, int16_t inv, bool over, bool opaque, bool light) {
    const int16_t mixed = overChannel(dp, inv, sp);
    int sum = dp + sp;
    sum = sum > kFull ? kFull : (sum < -kFull ? -kFull : sum);
    const int16_t added = sp != 0 ? int16_t(sum) : dp;
    return opaque ? sp : (over ? mixed : (light ? added : dp));
}

// Any source: the cases of s_a >= 0 by select; returns whether the row holds a
// tone pixel (s_a < 0), left untouched for tonePass. With kAlpha false the
// alpha channel is never written (the colour-only over).
template <bool kAlpha> inline bool overRowGeneralImpl(Pixel* __restrict d, const Pixel* __restrict s, int n) {
    int negative = 0;
    for (int i = 0; i < n; ++i) {
        const Pixel dp = d[i];
        const Pixel sp = s[i];
        const int16_t inv = int16_t(kFull - sp.a);
        const bool opaque = sp.a == kFull;
        const bool over = sp.a > 0;
        const bool light = sp.a == 0;
        negative |= sp.a < 0;
        d[i].r = generalChannel(dp.r, sp.r, inv, over, opaque, light);
        d[i].g = generalChannel(dp.g, sp.g, inv, over, opaque, light);
        d[i].b = generalChannel(dp.b, sp.b, inv, over, opaque, light);
        if constexpr (kAlpha) d[i].a = opaque ? sp.a : (over ? overChannel(dp.a, inv, sp.a) : dp.a);
    }
    return negative != 0;
}

CELCORE_ROW_KERNEL bool overRowGeneralAll(Pixel* __restrict d, const Pixel* __restrict s, int n) {
    return overRowGeneralImpl<true>(d, s, n);
}

CELCORE_ROW_KERNEL bool overRowGeneralColour(Pixel* __restrict d, const Pixel* __restrict s, int n) {
    return overRowGeneralImpl<false>(d, s, n);
}

// Tone pixels of a row: onto a pixel with alpha the tone rule scales the colour
// (alpha kept); onto alpha 0 the source colour is copied (with kAlpha, its alpha too).
template <bool kAlpha> void tonePass(Pixel* d, const Pixel* s, int n) {
    for (int i = 0; i < n; ++i) {
        const Pixel& sp = s[i];
        if (sp.a >= 0) continue;
        Pixel& dp = d[i];
        if (dp.a != 0) {
            const int A = -sp.a;
            detail::forColour(dp, sp,
                              [A](int16_t& dc, int16_t sc) { dc = int16_t(detail::toneChannel(sc, dc, A)); });
        } else {
            dp.r = sp.r, dp.g = sp.g, dp.b = sp.b;
            if constexpr (kAlpha) dp.a = sp.a;
        }
    }
}

template <bool kAlpha> void overRowGeneral(Pixel* d, const Pixel* s, int n) {
    const bool tone = kAlpha ? overRowGeneralAll(d, s, n) : overRowGeneralColour(d, s, n);
    if (tone) tonePass<kAlpha>(d, s, n);
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
    detail::forEachRow(dst, src, r, [](Pixel* d, const Pixel* s, int n) { overRowGeneral<false>(d, s, n); });
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
                for (int y = y1; y < y2; ++y) overRowGeneral<true>(d.row(y), s.row(y), w);
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
