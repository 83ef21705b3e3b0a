#pragma once
// The adapters between pixmaps and the software renderer (SoftRenderer.h):
// shaders that sample a source pixmap through the inverse of a plane
// projection, and a cursor that stores renderer colours into a 16-bit pixmap.
//
// CelPixmapShader, per output pixel p = (x, y): the four corners p, p + (0, 1),
// p + (1, 0) and p + (1, 1) are taken back to the source with
// getInverseProjection. When any of them has no source point the pixel gets
// nothing. Otherwise the source is averaged over the bounding box of the four
// points, each pixel weighted by the area it shares with the box and the sum
// divided by the box's area; pixels outside the source count as transparent
// (CelPixmapTileShader repeats the source instead, along the axes it is asked
// to). The average is premultiplied colour, as the source holds it, handed to
// the renderer on its scale (0 ... 255, alpha 0 ... 1): use the cursor's Plain
// write mode. A box narrower than a millionth of a pixel samples the pixel
// under its centre. Boxes wider than 16 source pixels are averaged on a
// pyramid of halved copies of the source (built once, on first need, by
// whichever thread needs it) at the level where the box spans at most 16
// texels; that keeps strongly minified areas (a plane seen at a grazing angle)
// within a bounded cost per pixel.
//
// CelPixmapCursor: field 0 (red) from the renderer's third channel, field 1
// (green) from its second, field 2 (blue) from its first, field 3 =
// round(alpha * 32767). Plain mode stores round(channel / 255 * 32767);
// Premultiply mode skips pixels of alpha 0 and stores
// round(channel / 255 * alpha * 32767). Values are clamped to -32767 ... 32767;
// positions outside the target pixmap are not written.

#include <memory>

#include "algo/filters/SoftRenderer.h"
#include "base/Projection.h"
#include "celcore_export.h"

class CEL_PixmapRGBA16;
class CEL_PixmapRGBA8;
struct CEL_PixelRGBA16;

namespace CelAlgo {

class CELCORE_EXPORT CelPixmapShader : public SR_Shader {
public:
    // The source must outlive the shader; it is only read.
    CelPixmapShader(const Math::PlaneProjection& projection, const CEL_PixmapRGBA16* source);
    CelPixmapShader(const Math::PlaneProjection& projection, const CEL_PixmapRGBA8* source);
    CelPixmapShader(const CelPixmapShader&) = delete;
    CelPixmapShader& operator=(const CelPixmapShader&) = delete;
    ~CelPixmapShader() override;

    bool shade(int x, int y, SR_Color& out) const override;

protected:
    CelPixmapShader(const Math::PlaneProjection& projection, const CEL_PixmapRGBA16* source, bool repeatX,
                    bool repeatY);

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// Repeats the source along x (repeatX) and y (repeatY).
class CELCORE_EXPORT CelPixmapTileShader : public CelPixmapShader {
public:
    CelPixmapTileShader(const Math::PlaneProjection& projection, const CEL_PixmapRGBA16* source, bool repeatX,
                        bool repeatY);
};

class CELCORE_EXPORT CelPixmapCursor : public SR_BitMapCursor {
public:
    explicit CelPixmapCursor(CEL_PixmapRGBA16* target, WriteMode mode = Plain);

    void moveTo(int x, int y) override;
    void write(const SR_Color& color) override;
    void skip(int n) override { m_x += n; }

private:
    CEL_PixmapRGBA16* m_target;
    CEL_PixelRGBA16* m_row = nullptr;
    int m_x = 0;
};

} // namespace CelAlgo
