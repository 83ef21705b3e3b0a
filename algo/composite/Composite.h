#pragma once
// Compositing of 16-bit area pixmaps: the dispatcher CelAlgo::composite, the
// structural colour operations (copy, cut, over, apply-alpha) and the alpha
// operations. The blend modes live in BlendModes.h and are reached through the
// same dispatcher.
//
// Pixel conventions shared by every compositing and filter operation:
//  - channels are signed 16-bit, 32767 is 1.0 (full intensity, fully opaque);
//  - colour is premultiplied by alpha;
//  - every stored result is saturated to -32767 ... 32767 (-32768 is never
//    produced by a saturating step);
//  - a pixel with alpha 0 and non-zero colour is additive light: the over
//    operations add its colour to the destination;
//  - a pixel with negative alpha is a tone pixel: the over operations multiply
//    the destination by it (the tone rule) instead of mixing;
//  - rounding is trunc(v + 0.5), which is not symmetric for negative values.
//
// Regions. Each operation works either on the "grow" region (dst is first
// reallocated to cover src's allocated rectangle, clipped to dst's canvas, then
// the common allocated rectangle is used) or on the "intersection" of the two
// allocated rectangles without reallocation. Pixels outside the region are
// left alone unless the operation says it clears them.
//
// The allPositive flag of a pixmap promises that no channel is negative. The
// over of all channels takes an integer-only path when the source keeps that
// promise; the dispatcher clears the flag of dst at its end.
//
// Failures throw CelAlgo::AlgoException (null pixmaps: "invalid pointer";
// rejected operations: the dispatcher's messages below).

#include <string_view>

#include "algo/composite/AlgoException.h"
#include "celcore_export.h"

class CEL_PixmapAreaRGBA16;

// Process-wide fractions of full scale, built before any code runs and never
// changed: fraction[x] = x / 32767.0 and inverse[x] = 1.0 - x / 32767.0 for
// 0 <= x <= 32767, the two arrays back to back in memory. Code handling a
// negative alpha or colour indexes with its negation.
struct CELCORE_EXPORT AlphaConvTable {
    static constexpr int kEntries = 32768;

    double fraction[kEntries];
    double inverse[kEntries];

    static const AlphaConvTable& instance() { return s_instance; }
    static double F(int x) { return s_instance.fraction[x]; }
    static double I(int x) { return s_instance.inverse[x]; }

private:
    static const AlphaConvTable s_instance;
};

namespace CelAlgo {

// Colour and alpha operations of the dispatcher. A value names a colour
// operation, an alpha operation or both; values the dispatcher does not
// implement for a role are rejected with an AlgoException. The underlying type
// is fixed so that any int a caller passes (70, -1) is a value of the type,
// which the dispatcher can then reject.
enum GenericCompositeOp : int {
    NONE = 0,
    ADD_APPLY_SRC_ALPHA_INV = 1, // premultiplied over
    ADD_APPLY_DST_ALPHA = 2,
    APPLY_SRC_ALPHA_INV = 3,
    APPLY_SRC_ALPHA = 4, // alpha only
    APPLY_DST_ALPHA = 5,
    ADD = 6,
    SUBTRACT = 7,
    BLACK = 8,  // alpha only
    WHITE = 9,  // alpha only
    MINUS = 10, // alpha only
    COPY = 11,
    CUT = 12,
    CUT_INV = 13,
    MULT_APPLY_DST_ALPHA = 14,
    MULTIPLY = 15,
    DIVIDE = 16,
    LIGHTEN = 17,
    SOFTLIGHT = 18,
    HARDLIGHT = 19,
    LINEARLIGHT = 20,
    PINLIGHT = 21,
    VIVIDLIGHT = 22,
    OVERLAY = 23,
    SCREEN = 24,
    DARKEN = 25,
    DIFFERENCE = 26,
    EXCLUSION = 27,
    INVERT = 28,
    REPLACE_IF_NON_ZERO_ALPHA_SRC = 29,
    DODGE = 30,
    BURN = 31,
    HUE = 32,
    SATURATION = 33,
    COLOUR = 34,
    LUMINOSITY = 35,
    ADD_legacy = 36,
    SUBTRACT_legacy = 37,
    DIVIDE_legacy = 38,
    DIFFERENCE_legacy = 39,
    LIGHTEN_legacy = 40,
    SOFTLIGHT_legacy = 41,
    HARDLIGHT_legacy = 42,
    OVERLAY_legacy = 43,
    // Blend-function family: full handling of destination alpha (they set it
    // themselves; pair them with alpha operation NONE). 48, 53 and 58-62 are
    // reserved and rejected.
    FN_DARKEN = 44,
    FN_MULTIPLY = 45,
    FN_COLOR_BURN = 46,
    FN_LINEAR_BURN = 47,
    FN_LIGHTEN = 49,
    FN_SCREEN = 50,
    FN_COLOR_DODGE = 51,
    FN_LINEAR_DODGE = 52,
    FN_OVERLAY = 54,
    FN_SOFTLIGHT_KEEP_DST_ALPHA = 55,
    FN_SOFTLIGHT = 56,
    FN_HARDLIGHT = 57,
    FN_EXCLUSION = 63,
    FN_SUBTRACT = 64,
    FN_DIVIDE = 65,
    FN_HUE = 66,
    FN_SATURATION = 67,
    FN_COLOUR = 68,
    FN_LUMINOSITY = 69,
};

// The names of the operations, from one table beside this enumeration
// (CompositeNames.cpp): the enumerator's own spelling ("MULTIPLY",
// "FN_SCREEN"), or "" for a value that names no operation (48, 53, 58-62,
// anything outside 0-69). A new operation adds its enumerator here and its
// name there; tools and charts list and parse operations through these two.
CELCORE_EXPORT const char* compositeOpName(int op);
// The value of a name, compared case-insensitively; "over" also names the
// premultiplied over (ADD_APPLY_SRC_ALPHA_INV). -1 for a name of no operation.
CELCORE_EXPORT int compositeOpValue(std::string_view name);

// Lays src onto dst in place: first the colour operation (three colour
// channels), then the alpha operation (alpha channel), then clears dst's
// allPositive flag. Two pairs are handled as a whole:
//  - COPY / COPY: dst becomes an exact copy of src (fitted to dst's canvas),
//    flag included;
//  - ADD_APPLY_SRC_ALPHA_INV / ADD_APPLY_SRC_ALPHA_INV: the over of all four
//    channels (parallel when opacity is 1.0), flag as that operation sets it.
// opacity is the source opacity of the blend modes and the threshold of
// REPLACE_IF_NON_ZERO_ALPHA_SRC; k0..k2 scale the source channels of the
// blend functions 49, 54-57 and are ignored by every other value.
// Throws AlgoException "color composite operation (N) not implemented" before
// touching dst for a rejected colour operation, and "alpha composite operation
// (N) not implemented" after the colour step for a rejected alpha operation.
CELCORE_EXPORT void composite(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src,
                              GenericCompositeOp colourOp, GenericCompositeOp alphaOp, double opacity = 1.0,
                              double k0 = 1.0, double k1 = 1.0, double k2 = 1.0);

// --- Structural colour operations (alpha untouched unless stated) ---

// grow: colour becomes src's colour; colour outside the common rectangle becomes 0.
CELCORE_EXPORT void composite_COPY(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src);
// All four channels copied after dst is fitted to src (clipped to dst's canvas);
// everything outside the common rectangle is cleared. Rows in parallel. The
// allPositive flag is left to the caller.
CELCORE_EXPORT void composite_COPY_ALL(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src);
// intersection: removes src's coverage from dst (all four channels scaled by 1 - s_a).
CELCORE_EXPORT void composite_CUT(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src);
// intersection: keeps only src's coverage of dst (all four channels scaled by s_a).
CELCORE_EXPORT void composite_CUT_INV(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src);
// dst becomes src with mask's coverage removed (three-operand forms). When the
// mask does not overlap src, or src's allocated rectangle is not inside the
// mask's, dst is first made a copy of src (its allocated rectangle set to src's).
CELCORE_EXPORT void composite_CUT(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src,
                                  const CEL_PixmapAreaRGBA16* mask);
// dst (which must already cover the overlap of src and mask) receives src scaled
// by mask's alpha over that overlap; pixels outside are left alone.
CELCORE_EXPORT void composite_CUT_INV(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src,
                                      const CEL_PixmapAreaRGBA16* mask);
// The three-operand CUT_INV when inverse is true, else CUT.
CELCORE_EXPORT void cutIfAlphaIsNot0(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src,
                                     const CEL_PixmapAreaRGBA16* mask, bool inverse);
// grow: src's colour masked by dst's alpha, added to dst's colour; colour outside
// the common rectangle becomes 0.
CELCORE_EXPORT void composite_APPLY_DST_ALPHA(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src);
// grow: dst's colour scaled by 1 - s_a where s_a > 0.
CELCORE_EXPORT void composite_APPLY_SRC_ALPHA_INV(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src);
// grow: premultiplied over of the colour channels (additive light and tone rule included).
CELCORE_EXPORT void composite_ADD_APPLY_SRC_ALPHA_INV(CEL_PixmapAreaRGBA16* dst,
                                                      const CEL_PixmapAreaRGBA16* src);
// grow: premultiplied over of all four channels, rows in parallel; takes an
// integer-only path when src's allPositive flag is set. dst's flag becomes
// (dst's and src's).
CELCORE_EXPORT void composite_ADD_APPLY_SRC_ALPHA_INV_ALL(CEL_PixmapAreaRGBA16* dst,
                                                          const CEL_PixmapAreaRGBA16* src);
// grow: the same over with src scaled by opacity, on the calling thread.
CELCORE_EXPORT void composite_ADD_APPLY_SRC_ALPHA_INV_ALL(CEL_PixmapAreaRGBA16* dst,
                                                          const CEL_PixmapAreaRGBA16* src, double opacity);
// intersection: where both alphas are positive, src's colour scaled by dst's alpha is added.
CELCORE_EXPORT void composite_ADD_APPLY_DST_ALPHA(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src);
// intersection: where both alphas are at least 1, dst's colour is multiplied by
// the tone factor of the source pixel.
CELCORE_EXPORT void composite_MULT_APPLY_DST_ALPHA(CEL_PixmapAreaRGBA16* dst,
                                                   const CEL_PixmapAreaRGBA16* src);
// grow: every pixel whose source alpha is non-zero and at least
// trunc(threshold * 32767 + 0.5), taken as a 16-bit value (wrapping), is replaced
// by the source pixel.
CELCORE_EXPORT void composite_REPLACE_IF_NON_ZERO_ALPHA_SRC(CEL_PixmapAreaRGBA16* dst,
                                                            const CEL_PixmapAreaRGBA16* src,
                                                            double threshold);

// Clear the parts of dst outside the common allocated rectangle (all of dst when
// the rectangles do not meet): alpha only, all four channels, or colour only.
CELCORE_EXPORT void clearSidesALPHA(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src);
CELCORE_EXPORT void clearSidesAll(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src);
CELCORE_EXPORT void clearSidesRGB(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src);

// --- Alpha operations (colour never touched) ---

CELCORE_EXPORT void alpha_ADD(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src);      // grow
CELCORE_EXPORT void alpha_SUBTRACT(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src); // grow
CELCORE_EXPORT void alpha_ADD_APPLY_SRC_ALPHA_INV(CEL_PixmapAreaRGBA16* dst,
                                                  const CEL_PixmapAreaRGBA16* src);                    // grow
CELCORE_EXPORT void alpha_APPLY_SRC_ALPHA(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src); // grow
// grow; alpha outside the common rectangle becomes 0.
CELCORE_EXPORT void alpha_COPY(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src);
// Every allocated pixel of dst: alpha 0, 32767, or negated (16-bit wrap-around).
CELCORE_EXPORT void alpha_BLACK(CEL_PixmapAreaRGBA16* dst);
CELCORE_EXPORT void alpha_WHITE(CEL_PixmapAreaRGBA16* dst);
CELCORE_EXPORT void alpha_MINUS(CEL_PixmapAreaRGBA16* dst);

} // namespace CelAlgo
