#pragma once
// Blurs of 16-bit pixmaps: a vertical box blur (flickerBlur), an isotropic blur
// built from repeated box passes (radialBlur), a blur whose strength follows a
// second pixmap (variableBlur) and a linear motion blur (directionalBlur).
//
// Pixels follow the compositing conventions: signed 16-bit fields r, g, b, a,
// premultiplied, 32767 = 1.0; every field is blurred on its own (the alpha-only
// switches restrict the work to the alpha field). Failures throw
// CelAlgo::AlgoException: "invalid pointer", "invalid parameter.",
// "invalid parameter. radius too large", "out of memory" (a working buffer or a
// grown pixmap larger than CEL_Pixmap::maxPixmapBytes(); the pixmap is then left
// as it was).
//
// A radius r is split into n = floor(r) whole pixels and frac = r - n.
//
// Box passes (radialBlurFloat, and through it every radialBlur form):
//   out(x, y) = (H + V + frac * E) * k,  k = 1 / ((2r + 1) * 2) rounded to float,
//   H = sum of row y from column x - n to x + n, V = sum of column x from row
//   y - n to y + n (the pixel counts in both), E = the four values at distance
//   n + 1 left, right, above and below. Taps beyond the plane take the edge pixel
//   of their row (horizontal taps) or column (vertical taps). H and V are running
//   sums in double precision (exact on integer input); E, the sum and the product
//   are double, the result is rounded to float once. Passes ping-pong between the
//   two planes: the result is in planeA after an even number of passes, in planeB
//   after an odd one. With n = 0 a plane narrower or lower than 2 pixels keeps its
//   values; a radius that is negative or NaN counts as 0 (the passes copy), one
//   above 1e9 as 1e9.
//
//   Bands: a plane is cut into bands of rows whose height depends only on the
//   plane's size, n and the passes (never on the number of threads). Each band
//   is blurred from the rows it needs: pass p of P covers the band's rows and
//   (P - p) * (n + 1) rows beyond each side, and its column sums start afresh at
//   the first of those rows. Results are therefore identical at any thread count;
//   they differ from one unbroken running sum only by rounding in the last bits
//   of float values (integer input after one pass: not at all).
//
// Growth: the blurs that spread content reallocate an area pixmap to its
// allocated rectangle enlarged by a margin (computed in 64 bits) and clipped to
// the canvas, keeping content. Content allocated outside the canvas is lost by
// that clipping. Pixmaps without pixels are left alone.
//
// Threads: bands, rows and fields run in parallel on oneTBB; every result is
// independent of the number of threads.

#include "celcore_export.h"

class CEL_PixmapAreaRGBA16;
class CEL_PixmapRGBA16;

namespace CelAlgo {

// The quality shortcut of radialBlur and variableBlur. Other values do nothing.
enum Quality : int {
    QUALITY_FOUR_PASSES = 0,  // 4 passes at the given radius
    QUALITY_EIGHT_PASSES = 1, // 8 passes at 0.4 x the radius (smoother, same spread)
};

// A vertical box blur into a new pixmap with src's canvas, allocated to src's
// allocated rectangle (the caller owns it). Each field of each column: the rows
// at distance 1 ... n weigh 1, those at distance n + 1 weigh frac, the centre row
// 1; rows beyond the top or bottom take the edge row. The weighted sum is
// accumulated in float in that order (distance 1 above, below, 2 above, below,
// ..., the frac rows, the centre), divided by float(2r + 1) in float and
// truncated toward zero.
// Throws "invalid parameter." for a null src or a radius that is not > 0, and
// "invalid parameter. radius too large" when 2r >= the allocated height.
CELCORE_EXPORT CEL_PixmapAreaRGBA16* flickerBlur(const CEL_PixmapAreaRGBA16* src, double radius);

// The isotropic blur in place. Nothing happens for a null pixmap, one without
// pixels, passes < 1, or a radius that is not > 0. Otherwise the allocated
// rectangle grows by ceil(r) * (passes + 1) on every side (clipped to the
// canvas) and the four fields, or alpha alone, go through radialBlurChannel.
CELCORE_EXPORT void radialBlur(CEL_PixmapAreaRGBA16* p, double radius, int passes, bool alphaOnly);
// Quality form: "invalid pointer" for null; nothing unless radius > 0; a
// non-zero factor multiplies the radius; then quality 0 is radialBlur(p, r, 4, ...)
// and quality 1 radialBlur(p, 0.4 r, 8, ...).
CELCORE_EXPORT void radialBlur(CEL_PixmapAreaRGBA16* p, double radius, Quality quality, double factor,
                               bool alphaOnly);
// Canvas pixmaps: only the bounding box of the pixels with a non-zero field,
// grown by ceil(r) * (passes + 1) and clipped to the pixmap, is blurred (its
// edges are the planes' edges). Nothing happens when every pixel is zero.
CELCORE_EXPORT void radialBlur(CEL_PixmapRGBA16* p, double radius, int passes, bool alphaOnly);
CELCORE_EXPORT void radialBlur(CEL_PixmapRGBA16* p, double radius, Quality quality, double factor,
                               bool alphaOnly);

// The radius whose four box passes (quality 0) spread a one-pixel line to a
// profile of variance sigma^2, the Gaussian they approach: one pass has variance
// (n(n + 1)(2n + 1) / 3 + 2 frac (n + 1)^2) / ((2r + 1) 2) across, which grows
// steadily with r (r 8 gives 12, so sigma = sqrt(48) ~ 6.93 is radius 8). 0 for
// sigma <= 0 or NaN.
CELCORE_EXPORT double radialRadiusForSigma(double sigma);

// One field of the region x0 ... x1, y0 ... y1 (inclusive) of a buffer of rows of
// rowWidth pixels, four shorts per pixel, channel pointing at the field of the
// buffer's first pixel. The field is copied into planeA as floats, blurred by
// radialBlurFloat, and each value v of the result plane is written back as
// trunc(v + 0.5), 32767 at most. planeA and planeB hold the region's
// width x height floats, line its width. An empty region does nothing; a null
// pointer with a non-empty region throws "invalid pointer".
CELCORE_EXPORT void radialBlurChannel(int rowWidth, short* channel, double radius, int x0, int x1, int y0,
                                      int y1, float* planeA, float* planeB, float* line, int passes);
// The box passes on a width x height plane (see above). Nothing happens when
// passes < 1 or the plane is empty. line (width floats) is scratch space the
// caller provides; the double-precision column sums live in buffers of the
// function's own.
CELCORE_EXPORT void radialBlurFloat(float* planeA, float* planeB, float* line, int width, int height,
                                    double radius, int passes);

// A blur whose radius follows the alpha of map: r = radius1 where map's alpha is
// 0, radius2 where it is 32767 (linear between; tone values extrapolate). dst
// grows by ceil(max(radius1, radius2)) * (passes + 1) (never shrinks), map is
// read over the same rectangle (0 outside its own), and each field, or alpha
// alone, goes through variableBlurChannel. With keepShape (flagA) the blurred
// pixels are copied back only where dst's alpha is non-zero.
// "invalid pointer" for a null dst or map; nothing for passes < 1, a radius that
// is not finite or an empty dst.
CELCORE_EXPORT void variableBlur(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* map, double radius1,
                                 double radius2, int passes, bool keepShape, bool alphaOnly);
// Quality form: "invalid pointer" for null pointers; nothing unless a radius is
// positive; a non-zero factor multiplies both radii; quality 0 runs 4 passes,
// quality 1 8 passes at 0.4 x the radii; all four fields.
CELCORE_EXPORT void variableBlur(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* map, double radius1,
                                 double radius2, bool keepShape, Quality quality, double factor);

// One field of width x height pixels (its values every fourth short, row after
// row), strengths likewise in mapChannel. Per pass and pixel, in this order and
// precision:
//   m = float(map) * 3.0518509e-5f;  r = float((1 - m) * radius1 + m * radius2)
//   (double); n = ceil(r); frac = r - floor(r) (float);
//   W = S = 0 (floats); each end tap inside the plane, in the order (x - n, y),
//   (x + n, y), (x, y - n), (x, y + n), adds frac to W and frac * A to S;
//   when frac > 0, n = n - 1;
//   n < 1: W += 2, S += 2 * A(x, y); else W += 4n + 2 and S adds column x from
//   row y - n to y + n, then row y from column x - n to x + n (edge-repeated);
//   B = S / W (float).
// The field becomes trunc(B + 0.5) (double), stored in 16 bits without clamping.
// An end tap counts only when it lies inside on both sides, so negative radii
// (tone strengths, negative radius arguments) never read outside the plane;
// per-pixel radii are limited to +-(width + height + 2), where every end tap is
// already outside. Nothing happens when passes < 1 or the plane is empty.
CELCORE_EXPORT void variableBlurChannel(short* channel, const short* mapChannel, double radius1,
                                        double radius2, int passes, int width, int height);

// A linear motion blur into a new pixmap (the caller owns it), null when the blur
// vector has no length (0, not finite, or so short that every tap weight rounds
// to 0 in float); "invalid pointer" for a null src, "invalid parameter." for a
// vector longer than 65536 pixels along its major axis (every output pixel visits
// every tap). length is multiplied by a non-zero factor; the vector is
// (cos a, -sin a) * length with the angle in degrees (y grows downwards); falloff
// is clamped to [1e-10, 1] and shapes the tap weights 1 - i^falloff / n.
// transparentEdges (flag1): taps outside src count as transparent for every
// pixel and alpha does not scale the taps; smooth (flag2): the output grows by 5
// pixels and gets three 3 x 3 mean passes; alphaOnly (flag3): colour stays 0.
// The result has src's canvas, is allocated to src's rectangle grown by the
// kernel's reach (clipped to the canvas) and copies src's allPositive flag.
// The tap weights are floats; sums and weights of a pixel are accumulated in
// double, taps in kernel order (i = 0 ... n - 1, the tap at f before f + 1). A
// transparent centre pixel (alpha 0) takes no weight from tone taps (negative
// alpha); results are clamped to -32768 ... 32767.
CELCORE_EXPORT CEL_PixmapAreaRGBA16* directionalBlur(const CEL_PixmapAreaRGBA16* src, double angle,
                                                     double length, double falloff, double factor,
                                                     bool transparentEdges, bool smooth, bool alphaOnly);

} // namespace CelAlgo
