#pragma once
// Refraction: a picture seen through a transparent surface whose height is the
// alpha of a second pixmap, displaced by Snell's law at every pixel edge. The
// work is separable: a row pass displaces and resamples along rows, a column
// pass along columns.
//
// Heights: H = alpha / 32767 * heightScale + heightOffset, in units of 1/720
// of the canvas width (k = canvas width / 720 turns them into pixels). Pixel
// conventions are those of compositing (Composite.h). Results never depend on
// the number of worker threads.

#include "celcore_export.h"
#include "pixel/Pixel.h"

class CEL_PixmapAreaRGBA16;

namespace CelAlgo {

// A new pixmap (owned by the caller) of src's size, canvas and allocated
// rectangle: src refracted through heightMap (read through a private copy,
// negated, colour and alpha, when invert is set, and reallocated to src's
// allocated rectangle so that both buffers align) with refractive index n.
// Throws "invalid pointer" for a null pixmap and "out of memory" when the
// working pixmaps exceed the pixmap byte cap.
CELCORE_EXPORT CEL_PixmapAreaRGBA16* refract(const CEL_PixmapAreaRGBA16* src,
                                             const CEL_PixmapAreaRGBA16* heightMap, double heightScale,
                                             double heightOffset, double n, bool invert);

// One pass over width x height pixels (heightMap aligned with src): along rows
// (rowPass) or columns (colPass), pixel x of a line averages the source over
// [clamp(x + dl, 0, w), clamp(x + 1 + dr, 0, w)], where dl is the displacement
// of the edge between x - 1 and x (0 for x < 2) and dr that of the edge between
// x and x + 1 (0 for the last pixel). dst and src are either the same buffer
// (colPass only: it gathers each block of 16 columns before writing it) or do
// not overlap.
CELCORE_EXPORT void rowPass(CEL_PixelRGBA16* dst, const CEL_PixelRGBA16* src,
                            const CEL_PixelRGBA16* heightMap, unsigned width, unsigned height,
                            double heightScale, double heightOffset, double n, double k);
CELCORE_EXPORT void colPass(CEL_PixelRGBA16* dst, const CEL_PixelRGBA16* src,
                            const CEL_PixelRGBA16* heightMap, unsigned width, unsigned height,
                            double heightScale, double heightOffset, double n, double k);

// The shift of the edge between two height samples: with x = |atan((H0 - H1) k)|
// the surface angle and r = asin(clamp(sin(x) n, -1, 1)) the refracted one (the
// clamp is total reflection), tan(x - r) * (H0 + H1) / 2 * k, positive when
// h0 < h1 and negated otherwise; 0 where x - r is within 1e-5 of a right angle.
CELCORE_EXPORT double displacement(short h0, short h1, double heightScale, double heightOffset, double n,
                                   double k);

// The average of the four fields of line[0], line[stride], ... over the
// interval [min(a, b), max(a, b)]: each pixel weighted by the part of it the
// interval covers (pixels covered by 0 are not read), rounded half away from
// zero. A zero-length interval samples pixel floor(a). The caller keeps the
// interval inside the line.
CELCORE_EXPORT CEL_PixelRGBA16 integre(double a, double b, const CEL_PixelRGBA16* line, int stride);

} // namespace CelAlgo
