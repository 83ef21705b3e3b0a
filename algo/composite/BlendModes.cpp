#include "algo/composite/BlendModes.h"

namespace CelAlgo {

void composite_ADD(CEL_PixmapAreaRGBA16*, const CEL_PixmapAreaRGBA16*, double) {}
void composite_SUBTRACT(CEL_PixmapAreaRGBA16*, const CEL_PixmapAreaRGBA16*, double) {}
void composite_MULTIPLY(CEL_PixmapAreaRGBA16*, const CEL_PixmapAreaRGBA16*, double) {}
void composite_DIVIDE(CEL_PixmapAreaRGBA16*, const CEL_PixmapAreaRGBA16*, double) {}
void composite_LIGHTEN(CEL_PixmapAreaRGBA16*, const CEL_PixmapAreaRGBA16*, double) {}
void composite_DARKEN(CEL_PixmapAreaRGBA16*, const CEL_PixmapAreaRGBA16*, double) {}
void composite_SCREEN(CEL_PixmapAreaRGBA16*, const CEL_PixmapAreaRGBA16*, double) {}
void composite_OVERLAY(CEL_PixmapAreaRGBA16*, const CEL_PixmapAreaRGBA16*, double) {}
void composite_SOFTLIGHT(CEL_PixmapAreaRGBA16*, const CEL_PixmapAreaRGBA16*, double) {}
void composite_HARDLIGHT(CEL_PixmapAreaRGBA16*, const CEL_PixmapAreaRGBA16*, double) {}
void composite_DIFFERENCE(CEL_PixmapAreaRGBA16*, const CEL_PixmapAreaRGBA16*, double) {}
void composite_EXCLUSION(CEL_PixmapAreaRGBA16*, const CEL_PixmapAreaRGBA16*, double) {}
void composite_INVERT(CEL_PixmapAreaRGBA16*, const CEL_PixmapAreaRGBA16*, double) {}
void composite_BURN(CEL_PixmapAreaRGBA16*, const CEL_PixmapAreaRGBA16*, double) {}
void composite_DODGE(CEL_PixmapAreaRGBA16*, const CEL_PixmapAreaRGBA16*, double) {}
void composite_LINEARLIGHT(CEL_PixmapAreaRGBA16*, const CEL_PixmapAreaRGBA16*, double) {}
void composite_PINLIGHT(CEL_PixmapAreaRGBA16*, const CEL_PixmapAreaRGBA16*, double) {}
void composite_VIVIDLIGHT(CEL_PixmapAreaRGBA16*, const CEL_PixmapAreaRGBA16*, double) {}
void composite_HUE(CEL_PixmapAreaRGBA16*, const CEL_PixmapAreaRGBA16*, double) {}
void composite_SATURATION(CEL_PixmapAreaRGBA16*, const CEL_PixmapAreaRGBA16*, double) {}
void composite_COLOUR(CEL_PixmapAreaRGBA16*, const CEL_PixmapAreaRGBA16*, double) {}
void composite_LUMINOSITY(CEL_PixmapAreaRGBA16*, const CEL_PixmapAreaRGBA16*, double) {}
void composite_ADD_legacy(CEL_PixmapAreaRGBA16*, const CEL_PixmapAreaRGBA16*, double) {}
void composite_SUBTRACT_legacy(CEL_PixmapAreaRGBA16*, const CEL_PixmapAreaRGBA16*, double) {}
void composite_DIFFERENCE_legacy(CEL_PixmapAreaRGBA16*, const CEL_PixmapAreaRGBA16*, double) {}
void composite_LIGHTEN_legacy(CEL_PixmapAreaRGBA16*, const CEL_PixmapAreaRGBA16*, double) {}
void composite_SOFTLIGHT_legacy(CEL_PixmapAreaRGBA16*, const CEL_PixmapAreaRGBA16*, double) {}
void composite_HARDLIGHT_legacy(CEL_PixmapAreaRGBA16*, const CEL_PixmapAreaRGBA16*, double) {}
void composite_OVERLAY_legacy(CEL_PixmapAreaRGBA16*, const CEL_PixmapAreaRGBA16*, double) {}
void composite_DIVIDE_legacy(CEL_PixmapAreaRGBA16*, const CEL_PixmapAreaRGBA16*) {}

namespace detail {
void compositeBlendFunctionOp(CEL_PixmapAreaRGBA16*, const CEL_PixmapAreaRGBA16*, int, double, double, double,
                              double) {}
} // namespace detail

} // namespace CelAlgo
