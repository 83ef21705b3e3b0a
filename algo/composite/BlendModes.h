#pragma once
// Blend modes: colour operations that mix a source colour into a destination colour
// by a blend rule. Every function works in place on dst and changes only the three
// colour channels unless its description says otherwise; the alpha step of the
// composite dispatcher runs afterwards.
//
// Pixel conventions: premultiplied signed 16-bit channels, 32767 = 1.0, stored results
// saturated to -32767 ... 32767. Source channels are expected within that range.
//
// Five families live side by side and give different results for similar names:
//  - modern direct modes (ADD ... EXCLUSION, MULTIPLY, DARKEN, SCREEN, INVERT):
//    un-premultiply, blend, mix back;
//  - effect modes (BURN, DODGE, LINEARLIGHT, PINLIGHT, VIVIDLIGHT): per-channel effect
//    on the 0 ... 32767 scale;
//  - HCL modes (HUE, SATURATION, COLOUR, LUMINOSITY): whole colours in hue-chroma-luma;
//  - legacy modes (*_legacy): raw premultiplied values, destination alpha raised to the
//    source alpha where stated;
//  - the blend-function family (composite operations 44-69), reached only through
//    CelAlgo::composite, with full Porter-Duff handling of destination alpha.
//
// Regions: DIVIDE, MULTIPLY and DIVIDE_legacy work on the intersection of the two
// allocated rectangles; every other mode first grows dst to cover src (clipped to dst's
// canvas). Pixels whose source alpha is 0 are left alone except by DARKEN (opacity over),
// ADD_legacy and LIGHTEN_legacy (every pixel), and the legacy lights, which still raise
// destination alpha.
//
// Opacity 0: most modes return at once. DARKEN grows dst first. SUBTRACT, DIFFERENCE and
// the legacy add, subtract, difference and lighten have no such test. SCREEN and INVERT
// scale the inverted source by the opacity, so at 0 they push covered pixels to white.
// The legacy lights (OVERLAY_legacy, HARDLIGHT_legacy, SOFTLIGHT_legacy) turn dst into a
// copy of src.
//
// MULTIPLY, DARKEN, the effect and the HCL modes leave dst's allPositive flag as (dst's
// and src's); the dispatcher clears it afterwards in any case.
//
// Rows are split over the worker threads; every pixel depends only on its own pair, so
// results do not depend on the number of threads. Null pixmaps throw AlgoException
// ("invalid pointer").

#include "celcore_export.h"

class CEL_PixmapAreaRGBA16;

namespace CelAlgo {

// Modern direct modes.
CELCORE_EXPORT void composite_ADD(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src, double opacity);
CELCORE_EXPORT void composite_SUBTRACT(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src,
                                       double opacity);
CELCORE_EXPORT void composite_MULTIPLY(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src,
                                       double opacity);
CELCORE_EXPORT void composite_DIVIDE(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src,
                                     double opacity);
CELCORE_EXPORT void composite_LIGHTEN(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src,
                                      double opacity);
CELCORE_EXPORT void composite_DARKEN(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src,
                                     double opacity);
CELCORE_EXPORT void composite_SCREEN(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src,
                                     double opacity);
CELCORE_EXPORT void composite_OVERLAY(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src,
                                      double opacity);
CELCORE_EXPORT void composite_SOFTLIGHT(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src,
                                        double opacity);
CELCORE_EXPORT void composite_HARDLIGHT(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src,
                                        double opacity);
CELCORE_EXPORT void composite_DIFFERENCE(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src,
                                         double opacity);
CELCORE_EXPORT void composite_EXCLUSION(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src,
                                        double opacity);
CELCORE_EXPORT void composite_INVERT(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src,
                                     double opacity);

// Effect modes.
CELCORE_EXPORT void composite_BURN(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src,
                                   double opacity);
CELCORE_EXPORT void composite_DODGE(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src,
                                    double opacity);
CELCORE_EXPORT void composite_LINEARLIGHT(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src,
                                          double opacity);
CELCORE_EXPORT void composite_PINLIGHT(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src,
                                       double opacity);
CELCORE_EXPORT void composite_VIVIDLIGHT(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src,
                                         double opacity);

// HCL modes.
CELCORE_EXPORT void composite_HUE(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src, double opacity);
CELCORE_EXPORT void composite_SATURATION(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src,
                                         double opacity);
CELCORE_EXPORT void composite_COLOUR(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src,
                                     double opacity);
CELCORE_EXPORT void composite_LUMINOSITY(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src,
                                         double opacity);

// Legacy modes.
CELCORE_EXPORT void composite_ADD_legacy(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src,
                                         double opacity);
CELCORE_EXPORT void composite_SUBTRACT_legacy(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src,
                                              double opacity);
CELCORE_EXPORT void composite_DIFFERENCE_legacy(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src,
                                                double opacity);
CELCORE_EXPORT void composite_LIGHTEN_legacy(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src,
                                             double opacity);
CELCORE_EXPORT void composite_SOFTLIGHT_legacy(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src,
                                               double opacity);
CELCORE_EXPORT void composite_HARDLIGHT_legacy(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src,
                                               double opacity);
CELCORE_EXPORT void composite_OVERLAY_legacy(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src,
                                             double opacity);
CELCORE_EXPORT void composite_DIVIDE_legacy(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src);

namespace detail {

// The blend-function family (composite operations 44-69): op is the GenericCompositeOp
// value. Builds the mode's function object and runs the blend-function compositor;
// k0, k1, k2 scale the source channels for the modes that use them. Values outside the
// family are ignored (the dispatcher rejects them before calling).
CELCORE_EXPORT void compositeBlendFunctionOp(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src,
                                             int op, double opacity, double k0, double k1, double k2);

} // namespace detail

} // namespace CelAlgo
