#pragma once
// Colour corrections on 16-bit (and, for gamma encoding, 8-bit) pixmaps, in
// place: flattening onto a background colour, gamma encoding (sRGB, Rec. 709),
// channel masking, channel and HSV scaling, colour keying into alpha,
// desaturation, negation and intensity change.
//
// Pixel conventions are those of compositing (Composite.h): signed 16-bit
// channels, 32767 = 1.0, premultiplied colour, results saturated to
// -32767 ... 32767. An operation walks every allocated pixel of an area pixmap
// (every pixel of a canvas pixmap), in rows spread over worker threads; each
// pixel depends on itself only, so results never depend on the number of
// threads. `addBackgroundColor` and `negate` first reallocate an area pixmap to
// its whole canvas, so that the transparent pixels outside the allocation are
// treated like the rest (a pixmap with an empty canvas is left as it is).
//
// A null pixmap is ignored, except by `negate` and `negateWithAlpha`, which throw
// AlgoException("invalid pointer"). A parameter that is not a finite number
// makes the call change nothing. A reallocation that fails throws
// AlgoException("out of memory").
//
// allPositive: `negateWithAlpha` clears the flag when it makes a channel
// negative (additive light, colour above alpha), `colorScale` when a channel
// factor is negative, `addBackgroundColor` when a background channel is
// negative; the other operations keep it.

#include "celcore_export.h"

class CEL_PixmapAreaRGBA16;
class CEL_PixmapRGBA16;
class CEL_PixmapRGBA8;
class QString;

namespace CelAlgo {

enum ColorTransform {
    COLOR_TRANSFORM_NONE = 0,
    COLOR_TRANSFORM_SRGB = 1,
    COLOR_TRANSFORM_REC709 = 2,
};

// Exactly "sRGB" gives COLOR_TRANSFORM_SRGB and "709" COLOR_TRANSFORM_REC709
// (case-sensitive); any other text COLOR_TRANSFORM_NONE.
CELCORE_EXPORT ColorTransform fromReadOptions(const QString& text);

// The premultiplied over of the pixmap on an opaque background (r, g, b
// fractions): with A = alpha / 32767 in single precision, each colour channel
// becomes trunc(clamp((1 - A) * k * 32767 + c, -32767, 32767)); alpha becomes
// 32767.
CELCORE_EXPORT void addBackgroundColor(CEL_PixmapAreaRGBA16* pixmap, double r, double g, double b);
CELCORE_EXPORT void addBackgroundColor(CEL_PixmapRGBA16* pixmap, double r, double g, double b);

// Gamma-encodes the three colour channels (alpha untouched; negative values are
// left as they are); any transform other than sRGB or Rec. 709 does nothing.
//   sRGB:     12.92 x below 0.0031308, else 1.055 x^(1/2.4) - 0.055
//   Rec. 709: 4.5 x below 0.018, else 1.099 x^(1/2.2) - 0.099
// Precision: x = value / 32767 (or / 255) in single precision, the curve
// evaluated in double and stored back to single precision, the channel
// trunc(y * 32767) (or * 255) in single precision. Rounding the curve to single
// precision keeps white white: 32767 and 255 map to themselves (sRGB's curve
// kept in double gives 32766 and 254).
CELCORE_EXPORT void applyColorTransform(CEL_PixmapAreaRGBA16* pixmap, ColorTransform transform);
CELCORE_EXPORT void applyColorTransform(CEL_PixmapRGBA16* pixmap, ColorTransform transform);
CELCORE_EXPORT void applyColorTransform(CEL_PixmapRGBA8* pixmap, ColorTransform transform);

// Nothing when all four are kept. Otherwise each colour channel not kept becomes
// 0, and when alpha is not kept it becomes the sum of the remaining colour
// channels, saturated to -32767 ... 32767.
CELCORE_EXPORT void colorMask(CEL_PixmapAreaRGBA16* pixmap, bool keep0, bool keep1, bool keep2,
                              bool keepAlpha);

// 1. When a channel factor k0, k1, k2 or kAlpha differs from 1, each of the four
//    fields x (every value of -32768 ... 32767, through tables built once per
//    call) becomes clamp(ifloor(x * k + 0.5), -32767, 32767).
// 2. Then, when kHue, kSat or kValue differs from 1, per pixel: the colour as
//    fractions of 32767 in absolute value (signs kept aside) goes to HSV, hue is
//    multiplied by kHue and clamped to [0, 360], saturation and value by theirs
//    and clamped to [0, 1], and back; the signs are restored and each channel
//    becomes trunc(value * 32767). Alpha untouched.
CELCORE_EXPORT void colorScale(CEL_PixmapAreaRGBA16* pixmap, double k0, double k1, double k2, double kAlpha,
                               double kHue = 1.0, double kSat = 1.0, double kValue = 1.0);

// Colour keying into alpha. Bounds are clamped to [0, 1]; m_i is the centre of
// the key box. A pixel whose colour fractions x_i all lie in [low_i, high_i] gets
// alpha clamp(ifloor((d - s) / (1 - s) * 32767 + 0.5), 0, 32767), with
// d = the mean over the channels of |m_i - x_i| / (high_i - low_i) (an axis of
// zero width adds 0) and s the softness clamped to [0, 1] (s = 1 makes every
// keyed pixel transparent); every other pixel becomes opaque. Colour untouched.
CELCORE_EXPORT void colorScreen(CEL_PixmapAreaRGBA16* pixmap, double low0, double high0, double low1,
                                double high1, double low2, double high2, double softness);

// k = clamp(percent * 0.01, 0, 1), luma y = 0.3 c0 + 0.59 c1 + 0.11 c2.
// toAlpha false: nothing when k = 0, else each colour channel becomes
// ifloor(c * (1 - k) + y * k + 0.5). toAlpha true: alpha becomes
// ifloor(y * k + 0.5), colour untouched. Results saturated.
CELCORE_EXPORT void colorToBW(CEL_PixmapAreaRGBA16* pixmap, double percent, bool toAlpha);

// After reallocating to the canvas: each colour channel c becomes 32767 - max(c, 0)
// when colour is true, alpha likewise when alpha is true.
CELCORE_EXPORT void negate(CEL_PixmapAreaRGBA16* pixmap, bool colour, bool alpha);

// Each colour channel c becomes alpha - max(c, 0) (saturated): the negative of the
// straight colour, premultiplied again. Alpha untouched; no reallocation.
CELCORE_EXPORT void negateWithAlpha(CEL_PixmapAreaRGBA16* pixmap);

// k <= 0 or k = 1: nothing. 0 < k < 1: every field (alpha included) becomes
// trunc(x * k + 0.5). k > 1: a pixel with alpha a != 0 has all four fields
// multiplied by q = (1 - I(|a|)^k) / F(|a|) and rounded (alpha becomes
// round(32767 * (1 - (1 - a/32767)^k)) with a's sign, colour follows); in a pixel
// with alpha 0 each colour channel c becomes round((1 - I(|c|)^k) * 32767) with
// c's sign. F(x) = x / 32767, I(x) = 1 - F(x); -32768 reads as -32767.
CELCORE_EXPORT void increaseIntensity(CEL_PixmapAreaRGBA16* pixmap, double k);

} // namespace CelAlgo
