#pragma once
// Stylising filters on 16-bit area pixmaps, in place: a masked mosaic
// (`pixelate`), a two-colour linear gradient seen through a 4 x 4 matrix
// (`gradient`), 8-bit quantisation and noise (`dither`), a luma contrast curve
// (`contrast`) and film grain (`addGrain`).
//
// Pixel conventions are those of compositing (Composite.h): signed 16-bit
// channels, 32767 = 1.0, premultiplied colour. The filters walk the allocated
// rectangle only, with coordinates in canvas space; callers that want blocks,
// noise or grain to line up with the picture's corner reallocate the pixmap to
// its canvas first. Rows (or bands of rows) are spread over worker threads and
// results never depend on the number of threads, the draws of `dither`
// included: they are taken in buffer order from QXMaths::lrand48's sequence.
//
// Errors throw CelAlgo::AlgoException: "invalid pointer" for a null pixmap,
// "incorrect parameters" for `contrast` and `addGrain` arguments out of range
// (NaN included), "out of memory" when a buffer exceeds the pixmap byte cap.

#include "celcore_export.h"

class CEL_PixmapAreaRGBA16;

namespace Math {
class Box2di;
class Matrix4x4;
} // namespace Math

namespace CelAlgo {

// Mosaic of B x B blocks, B = trunc(W * (amount * W / 720) + 0.5) with W the
// canvas width and amount clamped to [0, 1] (nothing when B < 2). Blocks start
// at the allocated rectangle's top-left corner and are cut short at its right
// and bottom edges. Each block's four fields are averaged (64-bit sums, the
// average in double) and every pixel becomes trunc(m / 32767 * average), m the
// largest mask alpha over the block (32767 - alpha with invertMask): a block
// where the mask is 0 is cleared. The mask is read through a private copy
// reallocated to p's allocated rectangle (transparent where it has no pixels).
CELCORE_EXPORT void pixelate(CEL_PixmapAreaRGBA16* p, CEL_PixmapAreaRGBA16* mask, double amount,
                             bool invertMask);

// Replaces p's buffer by one covering box, filled with the gradient from
// colour 1 at (x1, y1) to colour 2 at (x2, y2), seen through m: each pixel's
// integer canvas position goes back through the plane projection of m's
// inverse (no point: the pixel is 0), its projected ratio t on the segment
// picks colour 1 (t < 0), colour 2 (t > 1) or their mix in double. Colours are
// on the 0 ... 255 scale, alpha included, and are stored premultiplied:
// trunc(c * a / 255 * 32767 / 255), alpha trunc(a * 32767 / 255), saturated.
// Equal end points fill box with colour 1.
CELCORE_EXPORT void gradient(CEL_PixmapAreaRGBA16* p, const Math::Box2di& box, const Math::Matrix4x4& m,
                             double x1, double y1, double x2, double y2, double c1_0, double c1_1,
                             double c1_2, double c1_alpha, double c2_0, double c2_1, double c2_2,
                             double c2_alpha);

// N = trunc(amount * 128 + 0.5) as a 16-bit value (amount in 8-bit steps).
// quantise: every colour channel becomes a multiple of 128 (8 bits), rounded
// so that the luma 0.3 c0 + 0.59 c1 + 0.11 c2 stays as close as the 8-bit steps
// allow, and alpha is raised by 64 (capped); with noise, a pixel whose channels
// are not multiples of 128 first gets lrand48() % N added to each channel.
// noise: then every pixel gets lrand48() % N added to its colour channels
// (one draw for all three when monochrome), clamped to [0, 32767].
CELCORE_EXPORT void dither(CEL_PixmapAreaRGBA16* p, double amount, bool monochrome, bool noise,
                           bool quantise);

// A contrast curve on luma: two power curves meeting at P = ifloor(pivot *
// 32767 + 0.5), (y / P)^low * P below it and ((y - P) / (32767 - P))^high *
// (32767 - P) + P above. Each pixel's luma picks gain = curve(y) / y (1 at 0
// and at P) and each colour channel becomes clamp(trunc(c * gain + 0.5),
// -32767, 32767). pivot outside [0, 1] or a negative exponent: "incorrect
// parameters".
CELCORE_EXPORT void contrast(CEL_PixmapAreaRGBA16* p, double pivot, double lowExponent, double highExponent);

// dst = src plus film grain (dst is reallocated to src's allocated rectangle
// unless they are the same pixmap). The grain g in [-1, 1] is value noise on a
// lattice of spacing grainSize pixels in canvas coordinates, bilinear between
// lattice values hashed from (seed, lattice point, channel); monochrome uses
// one grain for the three channels. Each colour channel becomes
// c + round(strength * g * a * ((1 - mix) + mix * (1 - v))), v = c / a clamped
// to [0, 1] and a = alpha / 32767, in single precision: mix 1 fades the grain
// out in highlights. Pixels with alpha <= 0 are copied; alpha is kept; results
// saturated. grainSize in [1, 256], strength and mix in [0, 1], else
// "incorrect parameters".
CELCORE_EXPORT void addGrain(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src, double grainSize,
                             double strength, double mix, long seed, bool monochrome);

} // namespace CelAlgo
