#pragma once
// Matte and alpha operations on 16-bit pixmaps: binarising and cutting alpha,
// removing partial transparency, stretching the levels of an 8-bit matte,
// growing and shrinking a matte by a disc, and wrapping a canvas pixmap's pixels
// as an area pixmap.
//
// Pixel conventions are those of compositing (Composite.h): signed 16-bit
// channels, 32767 = 1.0, premultiplied colour. The per-pixel operations walk
// every allocated pixel of an area pixmap (in rows spread over worker threads;
// each pixel depends on itself only, so results never depend on the number of
// threads). A null pixmap, and a parameter that is not a number, leave
// everything as it is, except where an operation says it throws.
//
// allPositive: none of these operations can make a channel negative that was
// not, so they keep the flag; convRGBA16ToBBox sets it from the pixels.

#include "base/MathTypes.h"
#include "celcore_export.h"

class CEL_PixmapAreaRGBA16;
class CEL_PixmapMatte8;
class CEL_PixmapRGBA16;

namespace CelAlgo {

// T = ifloor(clamp(level, 0, 1) * 32767 + 0.5); alpha becomes 32767 where it is
// above T, else 0. Colour untouched.
CELCORE_EXPORT void thresholdAlphaPixmap(CEL_PixmapAreaRGBA16* pixmap, double level);

// T = trunc(clamp(percent * 0.01, 0, 1) * 32767); alpha becomes 0 where it is
// below T, else 32767. Colour untouched.
CELCORE_EXPORT void removeAlphaTransparency(CEL_PixmapAreaRGBA16* pixmap, double percent);

// T as for removeAlphaTransparency. Opaque pixels (alpha 32767) are left alone.
// A pixel with alpha >= T (and not 0) is un-premultiplied without exceeding
// 32767: with m = max(c0, c1, c2, alpha), each colour channel becomes
// c * 32767 / m (integer division, saturated below at -32767), and alpha
// becomes 32767 when opaque is true. Every other pixel loses its colour, and
// its alpha too when opaque is true.
CELCORE_EXPORT void removeTransparency(CEL_PixmapAreaRGBA16* pixmap, double percent, bool opaque);

// lo = round(max(low, 0) * 255), hi = round(min(high, 1) * 255); each byte i
// becomes 0 when i <= lo (tested first, so lo >= hi gives a hard step), 255 when
// i >= hi, else round((i - lo) / (hi - lo) * 255) in single precision.
CELCORE_EXPORT void stretchGrayPixmap(CEL_PixmapMatte8* matte, double low, double high);

// Grow (expand) or shrink the matte by a disc of radius R = |a * b|.
//
// Throws AlgoException("invalid pointer") for a null pixmap. Nothing happens when
// a <= 0, when R is 0, when a or b is not a number, or when the pixmap holds no
// non-empty pixel. A radius whose working rectangle cannot be allocated throws
// AlgoException("out of memory") and leaves the pixmap as it was.
//
// Structuring element of an integer radius k: for each row offset dy in -k ... k
// the half-width w(dy) = the largest w in 0 ... k with w^2 + dy^2 <= (k + 1)^2
// (a disc of radius k + 1 measured on pixel centres; k = 0 is the pixel itself,
// k = 1 and 2 are squares).
//
// With n = trunc(R) and f = R - n, and E(k) the maximum (expand) or minimum
// (shrink) of alpha over the element of radius k centred on a pixel (pixels
// outside the allocation count as transparent):
//   alpha  = round((1 - f) * E(n) + f * E(n + 1))     (E(n) alone when f = 0)
//   colour = the colour of the pixel that gave the extreme, scaled by
//            alpha / its alpha so that it stays premultiplied. The extreme is
//            E(n + 1) when f > 0 and |E(n + 1)| > |E(n)| (the growing fringe of
//            an expand), else E(n). Among the pixels of the element holding the
//            extreme, the nearest one to the centre gives the colour (the centre
//            itself first); equally near ones are taken upper row first, then
//            left first. A pixel that keeps its own alpha therefore keeps its
//            colour, and an integer R gives a plain maximum or minimum.
// round(v) is floor(v + 0.5), so that the negative alphas of tone pixels round
// like the others. An alpha of -32768 reads as -32767. The result is allocated to the content's
// bounding box grown by n + 1 on every side (it may reach past the canvas).
CELCORE_EXPORT void expandMatte(CEL_PixmapAreaRGBA16* pixmap, double a, double b);
CELCORE_EXPORT void shrinkMatte(CEL_PixmapAreaRGBA16* pixmap, double a, double b);

// A new area pixmap with canvas size `canvas` and canvas rectangle `box` that
// takes over src's pixel buffer (src is left without pixels, 0 x 0), allocated at
// box's top-left corner with src's width and height. Null when src is null. The
// allPositive flag tells whether any channel is negative.
CELCORE_EXPORT CEL_PixmapAreaRGBA16* convRGBA16ToBBox(CEL_PixmapRGBA16* src, const Math::Size2di& canvas,
                                                      const Math::Box2di& box);

// When box equals srcRect and clip, the three-argument form (the buffer is taken
// over; meant for a srcRect covering src). Otherwise a copy: a new area pixmap
// with canvas size `canvas` and canvas rectangle `box`, allocated to clip and box's
// intersection, holding the part of srcRect inside src at the start of its rows; rows or columns the
// allocation cannot hold are left out, and allocated pixels no source pixel
// reaches are transparent. Null when src is null or either rectangle is empty.
CELCORE_EXPORT CEL_PixmapAreaRGBA16* convRGBA16ToBBox(CEL_PixmapRGBA16* src, const Math::Box2di& srcRect,
                                                      const Math::Size2di& canvas, const Math::Box2di& box,
                                                      const Math::Box2di& clip);

} // namespace CelAlgo
