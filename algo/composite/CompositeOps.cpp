// Structural colour operations: copy, cut, apply-alpha, replace, and the
// clearing of what lies outside the common rectangle.
#include <cmath>
#include <cstring>

#include "algo/composite/CompositeDetail.h"

namespace CelAlgo {

using detail::F;
using detail::I;
using detail::kFull;
using detail::roundHalfUp;
using detail::sat;
using Pixel = CEL_PixelRGBA16;

namespace {

// The low 16 bits of an integral value, as a signed 16-bit value; a value that
// is not finite counts as 0.
int16_t wrapTo16(double v) {
    if (!std::isfinite(v)) return 0;
    const double m = std::fmod(v, 65536.0);
    return int16_t(uint16_t(int32_t(m < 0 ? m + 65536.0 : m)));
}

// Applies clear(row, n) to every part of dst outside its common rectangle with
// src (to all of dst when they do not meet): full rows above and below, then
// the columns left and right on the rows in between.
template <class Clear>
void clearSides(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src, Clear clear) {
    detail::requirePixmaps(dst);
    if (!dst->data()) return;
    const Math::Box2di all = dst->allocatedRect();
    const Math::Box2di r = dst->commonAllocatedRect(src);
    const auto rows = detail::rowsOf(dst, all);
    if (r.hasNullArea()) {
        for (int y = all.y1(); y < all.y2(); ++y) clear(rows.row(y), all.w());
        return;
    }
    for (int y = all.y1(); y < r.y1(); ++y) clear(rows.row(y), all.w());
    for (int y = r.y1(); y < r.y2(); ++y) {
        Pixel* row = rows.row(y);
        clear(row, r.x1() - all.x1());
        clear(row + (r.x2() - all.x1()), all.x2() - r.x2());
    }
    for (int y = r.y2(); y < all.y2(); ++y) clear(rows.row(y), all.w());
}

// The four fields of a pixel scaled by a fraction and rounded, without saturation
// (the fraction lies in [0, 1], so the result stays within 16 bits).
inline Pixel scaled(const Pixel& p, double f) {
    return {int16_t(roundHalfUp(p.r * f)), int16_t(roundHalfUp(p.g * f)), int16_t(roundHalfUp(p.b * f)),
            int16_t(roundHalfUp(p.a * f))};
}

// dst becomes a copy of src, pixels and flag; dst takes src's allocated rectangle
// first when it differs, so the copy never runs past either buffer.
void copyOf(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src) {
    if (dst == src) return;
    if (dst->allocatedRect() != src->allocatedRect()) {
        dst->realloc(src->allocatedRect(), false);
        if (dst->allocatedRect() != src->allocatedRect()) {
            throw AlgoException(dst->data() || src->allocatedRect().hasNullArea() ? "incorrect parameters"
                                                                                  : "out of memory");
        }
    }
    dst->copyFrom(src);
}

// Walks the pixels of r in dst, src and mask (r inside all three allocated rectangles).
template <class Fn>
void forEachPixel3(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src,
                   const CEL_PixmapAreaRGBA16* mask, const Math::Box2di& r, Fn fn) {
    if (r.hasNullArea()) return;
    const auto d = detail::rowsOf(dst, r);
    const auto s = detail::rowsOf(src, r);
    const auto m = detail::rowsOf(mask, r);
    for (int y = r.y1(); y < r.y2(); ++y) {
        Pixel* dr = d.row(y);
        const Pixel* sr = s.row(y);
        const Pixel* mr = m.row(y);
        for (int i = 0; i < r.w(); ++i) fn(dr[i], sr[i], mr[i].a);
    }
}

void requireCover(const CEL_PixmapAreaRGBA16* dst, const Math::Box2di& r) {
    if (!dst->allocatedRect().isContaining(r)) throw AlgoException("incorrect parameters");
}

} // namespace

void clearSidesALPHA(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src) {
    clearSides(dst, src, [](Pixel* p, int n) {
        for (int i = 0; i < n; ++i) p[i].a = 0;
    });
}

void clearSidesAll(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src) {
    clearSides(dst, src, [](Pixel* p, int n) {
        if (n > 0) std::memset(static_cast<void*>(p), 0, std::size_t(n) * sizeof(Pixel));
    });
}

void clearSidesRGB(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src) {
    clearSides(dst, src, [](Pixel* p, int n) {
        for (int i = 0; i < n; ++i) p[i].r = p[i].g = p[i].b = 0;
    });
}

void composite_COPY(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src) {
    detail::requirePixmaps(dst, src);
    const Math::Box2di r = detail::growRegion(dst, src);
    detail::forEachPixel(dst, src, r, [](Pixel& d, const Pixel& s) { d.r = s.r, d.g = s.g, d.b = s.b; });
    clearSidesRGB(dst, src);
}

void composite_COPY_ALL(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src) {
    detail::requirePixmaps(dst, src);
    if (dst == src) return;
    dst->reallocToFitAndClipToCanvas(src, false);
    if (dst->allocatedRect() == src->allocatedRect()) {
        if (dst->allocatedArea() > 0 && dst->data() && src->data()) {
            std::memcpy(static_cast<void*>(dst->data()), src->data(),
                        std::size_t(dst->allocatedArea()) * sizeof(Pixel));
        }
        return;
    }
    const Math::Box2di r = dst->commonAllocatedRect(src);
    if (!r.hasNullArea()) {
        const auto d = detail::rowsOf(dst, r);
        const auto s = detail::rowsOf(src, r);
        const std::size_t bytes = std::size_t(r.w()) * sizeof(Pixel);
        detail::parallelRows(r.y1(), r.y2(), detail::rowGrain(r.h()), r.w(), [&](int y1, int y2) {
            for (int y = y1; y < y2; ++y) std::memcpy(static_cast<void*>(d.row(y)), s.row(y), bytes);
        });
    }
    clearSidesAll(dst, src);
}

void composite_CUT(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src) {
    detail::requirePixmaps(dst, src);
    detail::forEachPixel(dst, src, detail::intersectionRegion(dst, src), [](Pixel& d, const Pixel& s) {
        if (s.a == kFull)
            d = Pixel{0, 0, 0, 0};
        else if (s.a > 0)
            d = scaled(d, I(s.a));
    });
}

void composite_CUT_INV(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src) {
    detail::requirePixmaps(dst, src);
    detail::forEachPixel(dst, src, detail::intersectionRegion(dst, src), [](Pixel& d, const Pixel& s) {
        if (s.a < 1)
            d = Pixel{0, 0, 0, 0};
        else if (s.a != kFull)
            d = scaled(d, F(s.a));
    });
}

void composite_CUT(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src,
                   const CEL_PixmapAreaRGBA16* mask) {
    detail::requirePixmaps(dst, src, mask);
    const Math::Box2di r = mask->commonAllocatedRect(src);
    if (r.hasNullArea()) {
        copyOf(dst, src);
        return;
    }
    if (src->allocatedRect() != r)
        copyOf(dst, src);
    else
        requireCover(dst, r);
    forEachPixel3(dst, src, mask, r, [](Pixel& d, const Pixel& s, int ma) {
        if (ma == kFull)
            d = Pixel{0, 0, 0, 0};
        else if (ma > 0)
            d = scaled(s, I(ma));
        else
            d = s;
    });
    dst->setAllPositive(src->areAllPositive());
}

void composite_CUT_INV(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src,
                       const CEL_PixmapAreaRGBA16* mask) {
    detail::requirePixmaps(dst, src, mask);
    const Math::Box2di r = src->commonAllocatedRect(mask);
    requireCover(dst, r);
    forEachPixel3(dst, src, mask, r, [](Pixel& d, const Pixel& s, int ma) {
        if (ma < 1)
            d = Pixel{0, 0, 0, 0};
        else if (ma == kFull)
            d = s;
        else
            d = scaled(s, F(ma));
    });
    dst->setAllPositive(src->areAllPositive());
}

void cutIfAlphaIsNot0(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src,
                      const CEL_PixmapAreaRGBA16* mask, bool inverse) {
    if (inverse)
        composite_CUT_INV(dst, src, mask);
    else
        composite_CUT(dst, src, mask);
}

void composite_APPLY_DST_ALPHA(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src) {
    detail::requirePixmaps(dst, src);
    const Math::Box2di r = detail::growRegion(dst, src);
    detail::forEachPixel(dst, src, r, [](Pixel& d, const Pixel& s) {
        if (d.a <= 0) return;
        if (d.a == kFull) {
            d.r = s.r, d.g = s.g, d.b = s.b;
            return;
        }
        // The product is formed in single precision (the fraction is rounded to
        // float first); the rounding offset is then added in double.
        const float f = float(F(d.a));
        detail::forColour(d, s, [f](int16_t& dc, int16_t sc) {
            const float p = float(sc) * f;
            dc = int16_t(sat(roundHalfUp(double(p)) + dc));
        });
    });
    clearSidesRGB(dst, src);
}

void composite_APPLY_SRC_ALPHA_INV(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src) {
    detail::requirePixmaps(dst, src);
    const Math::Box2di r = detail::growRegion(dst, src);
    detail::forEachPixel(dst, src, r, [](Pixel& d, const Pixel& s) {
        if (s.a <= 0) return;
        const double f = I(s.a);
        detail::forColour(d, s, [f](int16_t& dc, int16_t) { dc = int16_t(sat(roundHalfUp(dc * f))); });
    });
}

void composite_ADD_APPLY_DST_ALPHA(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src) {
    detail::requirePixmaps(dst, src);
    detail::forEachPixel(dst, src, detail::intersectionRegion(dst, src), [](Pixel& d, const Pixel& s) {
        if (s.a <= 0 || d.a <= 0) return;
        if (d.a == kFull) {
            detail::forColour(d, s, [](int16_t& dc, int16_t sc) { dc = int16_t(sat(dc + sc)); });
            return;
        }
        const double f = F(d.a);
        detail::forColour(d, s,
                          [f](int16_t& dc, int16_t sc) { dc = int16_t(sat(roundHalfUp(sc * f) + dc)); });
    });
}

void composite_MULT_APPLY_DST_ALPHA(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src) {
    detail::requirePixmaps(dst, src);
    detail::forEachPixel(dst, src, detail::intersectionRegion(dst, src), [](Pixel& d, const Pixel& s) {
        if (d.a < 1 || s.a < 1) return;
        const int A = s.a;
        detail::forColour(d, s,
                          [A](int16_t& dc, int16_t sc) { dc = int16_t(detail::toneChannel(sc, dc, A)); });
    });
}

void composite_REPLACE_IF_NON_ZERO_ALPHA_SRC(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src,
                                             double threshold) {
    detail::requirePixmaps(dst, src);
    // t = trunc(threshold * 32767 + 0.5) taken as a 16-bit value: beyond [-1, 1]
    // it wraps as the 16-bit alpha negation does (1.5 gives -16385).
    const int16_t t = wrapTo16(std::trunc(threshold * kFull + 0.5));
    const Math::Box2di r = detail::growRegion(dst, src);
    detail::forEachPixel(dst, src, r, [t](Pixel& d, const Pixel& s) {
        if (s.a != 0 && s.a >= t) d = s;
    });
}

} // namespace CelAlgo
