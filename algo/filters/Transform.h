#pragma once
// Geometric transforms of pixmaps: area-weighted scaling about a centre, 4 x 4
// matrix transforms (optionally tiled), lossless flips and transpositions, and
// the depth-buffer copy between sizes. Results are new pixmaps owned by the
// caller unless stated; failures throw CelAlgo::AlgoException.
//
// scale(src, W, H, cx, cy, sx, sy, outRect)
//   A source point (u, v) lands at (W/2 + (u - cx) * sx, H/2 + (v - cy) * sy):
//   (cx, cy) is the source centre, (sx, sy) target pixels per source pixel.
//   sx = -1 or sy = -1 means fit: sx = W / width, sy = H / height, centre
//   (width / 2, height / 2) (real divisions). Separable: a horizontal pass into
//   a temporary W x (y1 - y0) pixmap of only the source rows that can reach the
//   target, then a vertical pass; a pass is skipped when its axis is already
//   right (same length, centre in the middle, factor 1). One pass of target
//   length L over a source line of N pixels, factor s, centre c, writes the
//   target positions x of [max(0, floor(L/2 - c s)), min(L, ceil((N - c) s + L/2)))
//   (the others are 0); its source footprint starts at u = (x - L/2) / s + c:
//     shrinking (s < 1): k0 = floor(u), k1 = trunc(u + 1/s); weights
//       1 - (u - k0) for k0, 1 strictly between, (u + 1/s) - k1 for k1; each
//       field is trunc(sum * s + bias), the sum taken in that order in double;
//     enlarging (s >= 1): k0 = floor(u), f = u - k0; when 1/s + f >= 1 each
//       field is trunc(P[k0] (1 - f) s + P[k0 + 1] (1/s + f - 1) s + bias),
//       otherwise P[k0] is copied unchanged.
//   Pixels outside the source contribute nothing, at both ends of both passes.
//   The biases per field are 0.49, 0.52, 0.49 (colour) and 0.5 (alpha); a
//   matte's one field takes 0.49. Every result is computed in double without
//   fused multiply-adds and truncated toward zero, so an identity pass is not
//   an identity for negative values (-100 becomes -99): hence the skip rules.
//   Rows are split over threads; the result does not depend on their number.
//   outRect, when given, receives the target rectangle the passes wrote.
//   Factors that are not finite and > 0 (after the fit rule) give a cleared
//   W x H result. A null source or one without pixels throws "invalid
//   pointer". When a buffer cannot be allocated, "Failed to allocate memory
//   while scaling bitmap." is posted (action 6) and the result is a cleared
//   pixmap of the source's size.
//
//   The area form maps the allocated rectangle (x1, y1, w, h) to
//   X0 = max(0, trunc(x1 sx + W/2 - cx sx)), Wd = min(W - X0, trunc(w sx + 0.5))
//   (and the same vertically), scales the allocated pixels as a canvas of
//   their own to Wd x Hd about the matching centre, and returns an area pixmap
//   of canvas W x H allocated to (X0, Y0, Wd, Hd) that adopts the scaled
//   buffer, with the source's allPositive flag. Wd or Hd <= 0 (or a source
//   with nothing allocated) gives one with nothing allocated. The fit rule uses
//   the canvas size; outRect is in canvas coordinates.
//
// applyMatrix(src, m, outSize, rect, refWidth, refHeight, outRect)
//   Source pixel coordinates are moved by (-refWidth/2, -refHeight/2), scaled
//   by (2/refHeight, -2/refHeight) (the source height spans -1 ... 1, y up),
//   transformed by m, scaled by (W/2, -H/2) and moved by (W/2, H/2) with
//   (W, H) = outSize, then moved by -rect's corner: the result is rect.w x
//   rect.h. refWidth / refHeight of -1 mean the source's. When m keeps one
//   depth and turns no axis (isConstantZ, not hasRotation) it is normalised:
//   a depth of its origin outside [-1, 1] gives a cleared result; otherwise,
//   when both axes keep their direction, the result is scale() with the
//   factors and centre of the composed map. Every other matrix is rendered
//   through a PlaneProjection: the source outline clipped to the view volume
//   and to rect, each output pixel shaded by CelPixmapShader (the average of
//   the source over the pixel's inverse-mapped footprint). CEL_PixmapRGBA16
//   and CEL_PixmapRGBA8 have their own paths; a CEL_PixmapMatte8 goes through
//   PIXMAP_RGBA8 and back; other classes give null.
//
// applyMatrixAndTiling: CEL_PixmapRGBA16 only (else null). The same
//   coordinates with the source size as reference; every pixel of rect is
//   shaded by CelPixmapTileShader, which repeats the source along x when
//   tiling1 is set and along y when tiling2 is set. Negative rect sizes count
//   as 0.
//
// preFlip(p, t, a, b): rebuilds the buffer of a canvas pixmap (W x H) with
//   pixel (x, y) moved to (column, row):
//     t a b:  - - b (W-1-x, y)   - a - (x, H-1-y)     - a b (W-1-x, H-1-y)
//             t - - (y, W-1-x)   t - b (H-1-y, W-1-x) t a - (y, x)   t a b (H-1-y, x)
//   (t swaps the size to H x W). All false changes nothing. A transposition
//   builds a new buffer and installs it with setData; the mirrors (t false)
//   move the pixels within the buffer they have. The CEL_Pixmap
//   form handles CEL_PixmapRGBA16 and CEL_PixmapRGBA8 and ignores other
//   classes; the matte overloads do the same for the mattes. Null throws
//   "invalid pointer"; a failed allocation throws "out of memory" and leaves
//   the pixmap as it was.
//
// copyZWithScale(dst, src): fills dst's allocated pixels from src's allocated
//   pixels scaled between the two allocated sizes, nearest sample (depth is
//   never averaged: a mean of two depths lies on neither surface), and copies
//   the z range. A src without buffer fills dst with CEL_PixelFloat::Zero.

#include "base/MathTypes.h"
#include "celcore_export.h"

class CEL_Pixmap;
class CEL_PixmapAreaRGBA16;
class CEL_PixmapAreaZ;
class CEL_PixmapRGBA16;
class CEL_PixmapRGBA8;
class CEL_PixmapMatte16;
class CEL_PixmapMatte8;
class CELVEC_Qvd;

namespace CelAlgo {

// By the dynamic class: CEL_PixmapAreaRGBA16, CEL_PixmapRGBA16, CEL_PixmapRGBA8,
// CEL_PixmapMatte16, CEL_PixmapMatte8; null for any other class.
CELCORE_EXPORT CEL_Pixmap* scale(const CEL_Pixmap* src, unsigned width, unsigned height, double cx, double cy,
                                 double sx, double sy, Math::Box2di* outRect = nullptr);
CELCORE_EXPORT CEL_PixmapAreaRGBA16* scale(const CEL_PixmapAreaRGBA16* src, unsigned width, unsigned height,
                                           double cx, double cy, double sx, double sy,
                                           Math::Box2di* outRect = nullptr);
CELCORE_EXPORT CEL_PixmapRGBA16* scale(const CEL_PixmapRGBA16* src, unsigned width, unsigned height,
                                       double cx, double cy, double sx, double sy,
                                       Math::Box2di* outRect = nullptr);
CELCORE_EXPORT CEL_PixmapRGBA8* scale(const CEL_PixmapRGBA8* src, unsigned width, unsigned height, double cx,
                                      double cy, double sx, double sy, Math::Box2di* outRect = nullptr);
CELCORE_EXPORT CEL_PixmapMatte16* scale(const CEL_PixmapMatte16* src, unsigned width, unsigned height,
                                        double cx, double cy, double sx, double sy,
                                        Math::Box2di* outRect = nullptr);
CELCORE_EXPORT CEL_PixmapMatte8* scale(const CEL_PixmapMatte8* src, unsigned width, unsigned height,
                                       double cx, double cy, double sx, double sy,
                                       Math::Box2di* outRect = nullptr);

CELCORE_EXPORT CEL_Pixmap* applyMatrix(const CEL_Pixmap* src, const Math::Matrix4x4& m,
                                       const Math::Size2di& outSize, const Math::Box2di& rect,
                                       float refWidth = -1.0f, float refHeight = -1.0f,
                                       Math::Box2di* outRect = nullptr);
// False for null; otherwise applies m after the drawing's transformation and returns true.
CELCORE_EXPORT bool applyMatrix(CELVEC_Qvd* drawing, const Math::Matrix4x4& m);
CELCORE_EXPORT CEL_Pixmap* applyMatrixAndTiling(const CEL_Pixmap* src, const Math::Matrix4x4& m,
                                                const Math::Size2di& outSize, const Math::Box2di& rect,
                                                bool tiling1, bool tiling2, Math::Box2di* outRect = nullptr);

CELCORE_EXPORT void preFlip(CEL_Pixmap* p, bool t, bool a, bool b);
CELCORE_EXPORT void preFlip(CEL_PixmapMatte16* p, bool t, bool a, bool b);
CELCORE_EXPORT void preFlip(CEL_PixmapMatte8* p, bool t, bool a, bool b);

// Null dst or src throws "invalid pointer".
CELCORE_EXPORT void copyZWithScale(CEL_PixmapAreaZ* dst, const CEL_PixmapAreaZ* src);

// The matrix m for which applyMatrix (and applyMatrixAndTiling, whose
// reference is the source size) maps source pixel coordinates by the affine
// map x' = a[0] x + a[1] y + a[2], y' = a[3] x + a[4] y + a[5] into pixel
// coordinates of the outSize picture, for callers that think in pixels.
CELCORE_EXPORT Math::Matrix4x4 pixelMatrix(const double a[6], double refWidth, double refHeight,
                                           const Math::Size2di& outSize);

} // namespace CelAlgo
