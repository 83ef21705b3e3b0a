#pragma once
// A blur by an arbitrary kernel image, convolved in the frequency domain.
//
// The kernel's alpha field holds the weights; the kernel's canvas centre
// (canvas x1 + width / 2, y1 + height / 2, integer halves) is the origin, so a
// single source pixel becomes the kernel's picture (not its mirror) centred on
// it. The weights are normalised to sum 1 (a kernel whose weights sum to 0 is
// used as it is; all zero blanks the image). Negative weights (tone pixels in a
// kernel) subtract.
//
// The result is a new pixmap (the caller owns it) with src's size, allocated to
// src's allocation grown by the kernel's reach (left and top by the kernel's
// extent before its origin, right and bottom by the extent from its origin on,
// origin included), then given canvasRect as its canvas, clipped to it, and
// passed through increaseIntensity(result, intensity). Every field is convolved
// on its own; results are rounded half away from zero and saturated to
// -32767 ... 32767. clampNegative = true turns negative results into 0, false
// keeps them. allPositive is src's, cleared when a stored value is negative.
//
// The transform's rounding errs by up to about 4e-3 of a step, so a result is
// the exact convolution rounded, except within that distance of a half.
//
// Failures throw AlgoException: "invalid pointer" (null src or kernel), "out of
// memory" (the transform arrays, 2 x W2 x H2 complex doubles where W2 and H2 are
// the powers of two covering the source and twice the kernel's reach, or the
// result, above CEL_Pixmap::maxPixmapBytes(); checked before allocating). A src
// without pixels gives a result without pixels.
//
// Rows and blocks of columns run on oneTBB; results never depend on the number
// of threads.

#include "celcore_export.h"

class CEL_PixmapAreaRGBA16;
namespace Math {
class Box2di;
}

namespace CelAlgo {

CELCORE_EXPORT CEL_PixmapAreaRGBA16* motionBlur(CEL_PixmapAreaRGBA16* src, CEL_PixmapAreaRGBA16* kernel,
                                                const Math::Box2di& canvasRect, double intensity,
                                                bool clampNegative);

} // namespace CelAlgo
