// Alpha operations of the dispatcher: they change the alpha channel only.
#include "algo/composite/CompositeDetail.h"

namespace CelAlgo {

using detail::kFull;
using detail::sat;
using Pixel = CEL_PixelRGBA16;

namespace {

template <class Fn> void forEachAlpha(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src, Fn fn) {
    detail::requirePixmaps(dst, src);
    const Math::Box2di r = detail::growRegion(dst, src);
    detail::forEachPixel(dst, src, r, [&fn](Pixel& d, const Pixel& s) { d.a = int16_t(fn(d.a, s.a)); });
}

// Every allocated pixel of dst.
template <class Fn> void forAllAlpha(CEL_PixmapAreaRGBA16* dst, Fn fn) {
    detail::requirePixmaps(dst);
    Pixel* p = dst->data();
    if (!p) return;
    const long long n = dst->allocatedArea();
    for (long long i = 0; i < n; ++i) p[i].a = int16_t(fn(p[i].a));
}

} // namespace

void alpha_ADD(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src) {
    forEachAlpha(dst, src, [](int da, int sa) { return sat(da + sa); });
}

void alpha_SUBTRACT(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src) {
    forEachAlpha(dst, src, [](int da, int sa) { return sat(da - sa); });
}

void alpha_ADD_APPLY_SRC_ALPHA_INV(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src) {
    forEachAlpha(dst, src, [](int da, int sa) {
        if (sa == 0) return da;
        if (sa < 0) return da == 0 ? sa : da;
        if (sa == kFull) return kFull;
        return sat(sa + detail::roundHalfUp(da * detail::I(sa)));
    });
}

void alpha_APPLY_SRC_ALPHA(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src) {
    forEachAlpha(dst, src,
                 [](int da, int sa) { return sa > 0 ? sat(detail::roundHalfUp(da * detail::I(sa))) : da; });
}

void alpha_COPY(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src) {
    forEachAlpha(dst, src, [](int, int sa) { return sa; });
    clearSidesALPHA(dst, src);
}

void alpha_BLACK(CEL_PixmapAreaRGBA16* dst) {
    forAllAlpha(dst, [](int) { return 0; });
}

void alpha_WHITE(CEL_PixmapAreaRGBA16* dst) {
    forAllAlpha(dst, [](int) { return kFull; });
}

void alpha_MINUS(CEL_PixmapAreaRGBA16* dst) {
    // 16-bit negation: -32768 stays -32768.
    forAllAlpha(dst, [](int da) { return int16_t(-da); });
}

} // namespace CelAlgo
