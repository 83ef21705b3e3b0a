#pragma once
// CEL_Conversion: between the library's 16-bit area pixmaps and the graphics
// library's tiled 32-bit bitmap layers, and the bitmap resolution of a 3D
// projection.
//
// Coordinates: a pixmap's origin is its canvas's top-left corner, a layer's
// the canvas centre. A pixmap position (x, y) is layer position
// (x - W / 2, y - H / 2) for a W x H canvas (integer division), so a 100 x 50
// canvas allocated from (0, 0) becomes a layer starting at (-50, -25).
//
// convertToBitmapLayer(pixmap, bounds):
//   1. The pixmap's colour is demultiplied in place (demultiplyColorByAlpha):
//      the caller's pixmap stays demultiplied.
//   2. Each pixel inside the bounds becomes r, g, b, a by the 16 -> 8 rule
//      (v < 1 ? 0 : v >> 7); pixels outside the pixmap's allocated rectangle
//      are zero.
//   3. The layer covers the bounds with 256 x 256 tiles from the bounds'
//      top-left corner; a tile whose pixels would all be zero is not
//      allocated.
//   Layers hold straight colour. Transparent pixels (alpha 0, additive
//   light included) and tone pixels (alpha below 0) become 0, 0, 0, 0.
//   Null for a null pixmap, for bounds wider or higher than an int holds, or
//   when memory runs out; empty bounds give an empty layer. The result is
//   the one of the literal chain (demultiply, wrap the 16-bit buffer as a
//   64-bit bitmap, BM_Util::Convert to a 32-bit bitmap over the bounds,
//   BM_BitmapAlgo::composeBitmap into the tiled bitmap with type 0 and
//   second 1), computed in one pass.
//
// convertToPixmapArea(layer, canvas):
//   A new area pixmap of the canvas size allocated to the layer's bounds
//   moved by (W / 2, H / 2): each pixel by the 8 -> 16 rule (v * 32767 / 255),
//   unallocated tiles transparent, then colour premultiplied
//   (multiplyColorByAlpha). Null when the canvas size is negative, the moved
//   rectangle leaves the int range, or the buffer is over the pixmap byte cap
//   or cannot be had; an empty layer gives a pixmap without buffer.
//
// So (16384, 8192, 0, 32767) becomes the layer pixel (128, 64, 0, 255) and
// comes back as (16447, 8223, 0, 32767); (8192, 0, 0, 16384) becomes
// (128, 0, 0, 128) and comes back as (8255, 0, 0, 16447).
//
// Threads: both conversions split the tile rows over oneTBB. Every pixel is
// computed from itself alone, so the result is the same at any thread count.
//
// getBitmapProjectResolution(size, distance, fieldOfView, scale), in double:
//   f = tan(fieldOfView / 2 in radians) * (distance * 2) * 5000 * 0.75 * scale
//       / size.height
//   width = trunc(size.width * f), height = trunc(size.height * f), each
//   at least 0 and at most INT_MAX; both 0 when f is not finite or not above 0.
//   (1920 x 1080, distance 1, 90 degrees, scale 1) gives 13333 x 7499.

#include "base/Bitmap.h"
#include "base/MathTypes.h"
#include "base/SharedPtr.h"
#include "celcore_export.h"

class CEL_PixmapAreaRGBA16;

class CELCORE_EXPORT CEL_Conversion {
public:
    static UT_SharedPtr<BM_TiledBitmap<BM_PixelRgba32>>
    convertToBitmapLayer(const UT_SharedPtr<CEL_PixmapAreaRGBA16>& pixmap, const Math::Box2di& bounds);
    static UT_SharedPtr<CEL_PixmapAreaRGBA16> convertToPixmapArea(const BM_TiledBitmap<BM_PixelRgba32>& layer,
                                                                  const Math::Size2di& canvasSize);
    static Math::Size2di getBitmapProjectResolution(const Math::Size2di& size, double distance,
                                                    double fieldOfView, double scale);
};
