#pragma once
// CEL_PixmapRGBA8ThumbNail (format PIXMAP_RGBA8_THUMBNAIL): a small 8-bit
// picture of a representation that fits in a square of a requested size,
// keeps the source's aspect ratio and is composited over white, ready to show.
// It is made by its constructor, never by a cel's conversion chain. Its
// CEL_Pixmap size is the picture's size.
//
// Construction from src with the square size `size`:
//   - an area pixmap (CEL_PixmapAreaRGBA16) with canvas w x h, allocated
//     (ax, ay, aw, ah): the thumbnail is computeThumbNailResolutionFromOriginalRes
//     (w, h, size) (negatives as 0); the box (bw, bh) =
//     applyAspectRatioToResolution(w / h, aw, ah) (the allocated rectangle
//     widened to the canvas's proportions) is scaled onto it about the
//     allocated rectangle's centre with factors tw / bw and th / bh: the drawing
//     fills the box that holds it. An area with nothing allocated gives a
//     cleared picture;
//   - anything else is converted to PIXMAP_RGBA8 (when it is not already) and
//     scaled to the thumbnail size about its centre; a source that does not
//     convert to a pixmap gives no picture (null) and a 0 x 0 size, one of size
//     0 a 0 x 0 picture.
// Then blendWithWhiteBG() runs. CelAlgo::AlgoException("Cannot scale pixmap.
// Invalid format.") when scaling yields nothing.

#include "celcore_export.h"
#include "pixel/Representation.h"

class CEL_PixmapRGBA8;

class CELCORE_EXPORT CEL_PixmapRGBA8ThumbNail : public CEL_Pixmap {
public:
    CEL_PixmapRGBA8ThumbNail(const CEL_Representation* src, int size);
    // Copies the picture.
    CEL_PixmapRGBA8ThumbNail(const CEL_PixmapRGBA8ThumbNail& other);
    CEL_PixmapRGBA8ThumbNail& operator=(const CEL_PixmapRGBA8ThumbNail&) = delete;
    ~CEL_PixmapRGBA8ThumbNail() override;

    CelFormat getFormat() const override { return PIXMAP_RGBA8_THUMBNAIL; }
    using CEL_Representation::clone;
    CEL_PixmapRGBA8ThumbNail* clone() const override;
    // True only for PIXMAP_RGBA8_THUMBNAIL; convertTo of it is clone(), anything else null.
    bool convertibleTo(CelFormat format) const override;
    CEL_Representation* convertTo(CelFormat format) const override;
    // The picture's bytes.
    unsigned long long allocatedSize() const override;

    // The picture's images (a null image without picture).
    void getImage(QImage** out) const override;
    QImage getImage() const override;

    // The picture (premultiplied 8-bit colour over white); null when the
    // source was not a pixmap.
    const CEL_PixmapRGBA8* picture() const { return m_picture; }
    // Whether blendWithWhiteBG() composited the picture over white.
    bool blendedWithWhite() const { return m_blended; }

    // When every pixel has r, g and b not greater than its alpha (valid
    // premultiplied colour) adds 255 - a to each of r, g, b (over white; alpha
    // unchanged) and returns true. When any pixel breaks that rule nothing is
    // changed and the result is false.
    bool blendWithWhiteBG();

    // With sx = size / w and sy = size / h (double), for w, h >= 1: when
    // sx <= sy, tw = size and th = trunc(h * sx); else th = size and
    // tw = trunc(w * sy). Otherwise tw = th = 0.
    static void computeThumbNailResolutionFromOriginalRes(int w, int h, int size, int& tw, int& th);
    // The smallest box of aspect ratio `ratio` (width / height) that holds w x h:
    // when w > 0 and h > 0, if ratio <= w / h then bw = w and bh = w / ratio,
    // else bh = h and bw = ratio * h. Otherwise bw = bh = 0.
    static void applyAspectRatioToResolution(double ratio, double w, double h, double& bw, double& bh);

private:
    CEL_PixmapRGBA8* m_picture = nullptr;
    bool m_blended = false;
};
