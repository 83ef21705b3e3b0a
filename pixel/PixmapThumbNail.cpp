#include "pixel/PixmapThumbNail.h"

#include <algorithm>
#include <cmath>
#include <memory>

#include "algo/composite/AlgoException.h"
#include "algo/filters/Transform.h"
#include "pixel/PixmapArea.h"
#include "pixel/PixmapCanvas.h"

namespace {

// A double as an int, truncated toward zero (0 for NaN, clamped to the int range).
int truncInt(double v) {
    if (!(v > -2e9)) return v != v ? 0 : -2000000000;
    return v > 2e9 ? 2000000000 : int(v);
}

std::unique_ptr<CEL_PixmapRGBA8> asRGBA8(CEL_Pixmap* p) {
    if (auto* rgba = dynamic_cast<CEL_PixmapRGBA8*>(p)) return std::unique_ptr<CEL_PixmapRGBA8>(rgba);
    const std::unique_ptr<CEL_Pixmap> owned(p);
    return std::unique_ptr<CEL_PixmapRGBA8>(
        dynamic_cast<CEL_PixmapRGBA8*>(p ? p->convertTo(CEL_Representation::PIXMAP_RGBA8) : nullptr));
}

// The picture of an area pixmap: its allocated rectangle, widened to the
// canvas's proportions, scaled onto the thumbnail.
CEL_PixmapRGBA8* areaPicture(const CEL_PixmapAreaRGBA16* src, int size) {
    const int w = src->width(), h = src->height();
    int tw = 0, th = 0;
    CEL_PixmapRGBA8ThumbNail::computeThumbNailResolutionFromOriginalRes(w, h, size, tw, th);
    tw = std::max(tw, 0), th = std::max(th, 0);
    const Math::Box2di a = src->allocatedRect();
    double bw = 0.0, bh = 0.0;
    if (h > 0)
        CEL_PixmapRGBA8ThumbNail::applyAspectRatioToResolution(double(w) / double(h), a.w(), a.h(), bw, bh);
    if (a.hasNullArea() || !src->data() || !(bw > 0.0) || !(bh > 0.0)) return new CEL_PixmapRGBA8(tw, th);
    std::unique_ptr<CEL_Pixmap> scaled(CelAlgo::scale(src, unsigned(tw), unsigned(th), a.x1() + a.w() * 0.5,
                                                      a.y1() + a.h() * 0.5, tw / bw, th / bh));
    if (!scaled) throw CelAlgo::AlgoException("Cannot scale pixmap. Invalid format.");
    return asRGBA8(scaled.release()).release();
}

CEL_PixmapRGBA8* canvasPicture(const CEL_Representation* src, int size) {
    std::unique_ptr<CEL_Representation> converted;
    const CEL_Representation* rgba = src;
    if (src->getFormat() != CEL_Representation::PIXMAP_RGBA8) {
        converted.reset(src->convertTo(CEL_Representation::PIXMAP_RGBA8));
        rgba = converted.get();
    }
    const auto* pixmap = dynamic_cast<const CEL_Pixmap*>(rgba);
    if (!pixmap) return nullptr;
    const int w = pixmap->width(), h = pixmap->height();
    int tw = 0, th = 0;
    CEL_PixmapRGBA8ThumbNail::computeThumbNailResolutionFromOriginalRes(w, h, size, tw, th);
    tw = std::max(tw, 0), th = std::max(th, 0);
    const auto* canvas = dynamic_cast<const CEL_PixmapRGBA8*>(pixmap);
    if (canvas && !canvas->data()) return new CEL_PixmapRGBA8(tw, th); // nothing to scale
    std::unique_ptr<CEL_Pixmap> scaled(
        CelAlgo::scale(pixmap, unsigned(tw), unsigned(th), w * 0.5, h * 0.5, double(tw) / w, double(th) / h));
    if (!scaled) throw CelAlgo::AlgoException("Cannot scale pixmap. Invalid format.");
    return asRGBA8(scaled.release()).release();
}

} // namespace

CEL_PixmapRGBA8ThumbNail::CEL_PixmapRGBA8ThumbNail(const CEL_Representation* src, int size)
    : CEL_Pixmap(Math::Size2di(0, 0)) {
    if (!src) return;
    if (const auto* area = dynamic_cast<const CEL_PixmapAreaRGBA16*>(src))
        m_picture = areaPicture(area, size);
    else
        m_picture = canvasPicture(src, size);
    if (!m_picture) return;
    setSize(m_picture->size());
    blendWithWhiteBG();
}

CEL_PixmapRGBA8ThumbNail::CEL_PixmapRGBA8ThumbNail(const CEL_PixmapRGBA8ThumbNail& other)
    : CEL_Pixmap(other), m_picture(other.m_picture ? other.m_picture->clone() : nullptr),
      m_blended(other.m_blended) {}

CEL_PixmapRGBA8ThumbNail::~CEL_PixmapRGBA8ThumbNail() {
    delete m_picture;
}

CEL_PixmapRGBA8ThumbNail* CEL_PixmapRGBA8ThumbNail::clone() const {
    return new CEL_PixmapRGBA8ThumbNail(*this);
}

bool CEL_PixmapRGBA8ThumbNail::convertibleTo(CelFormat format) const {
    return format == PIXMAP_RGBA8_THUMBNAIL;
}

CEL_Representation* CEL_PixmapRGBA8ThumbNail::convertTo(CelFormat format) const {
    return format == PIXMAP_RGBA8_THUMBNAIL ? clone() : nullptr;
}

unsigned long long CEL_PixmapRGBA8ThumbNail::allocatedSize() const {
    return m_picture ? m_picture->allocatedSize() : 0;
}

void CEL_PixmapRGBA8ThumbNail::getImage(QImage** out) const {
    if (m_picture)
        m_picture->getImage(out);
    else if (out)
        *out = new QImage();
}

QImage CEL_PixmapRGBA8ThumbNail::getImage() const {
    return m_picture ? m_picture->getImage() : QImage();
}

bool CEL_PixmapRGBA8ThumbNail::blendWithWhiteBG() {
    m_blended = false;
    if (!m_picture) return false;
    CEL_PixelRGBA8* p = m_picture->data();
    const long long n = p ? (long long)m_picture->width() * m_picture->height() : 0;
    for (long long i = 0; i < n; ++i)
        if (p[i].r > p[i].a || p[i].g > p[i].a || p[i].b > p[i].a) return false;
    for (long long i = 0; i < n; ++i) {
        const uint8_t white = uint8_t(255 - p[i].a);
        p[i].r = uint8_t(p[i].r + white), p[i].g = uint8_t(p[i].g + white), p[i].b = uint8_t(p[i].b + white);
    }
    m_blended = true;
    return true;
}

void CEL_PixmapRGBA8ThumbNail::computeThumbNailResolutionFromOriginalRes(int w, int h, int size, int& tw,
                                                                         int& th) {
    if (w < 1 || h < 1) {
        tw = th = 0;
        return;
    }
    const double sx = double(size) / w, sy = double(size) / h;
    if (sx <= sy) {
        tw = size;
        th = truncInt(h * sx);
    } else {
        th = size;
        tw = truncInt(w * sy);
    }
}

void CEL_PixmapRGBA8ThumbNail::applyAspectRatioToResolution(double ratio, double w, double h, double& bw,
                                                            double& bh) {
    if (!(w > 0.0 && h > 0.0)) {
        bw = bh = 0.0;
        return;
    }
    if (ratio <= w / h) {
        bw = w;
        bh = w / ratio;
    } else {
        bh = h;
        bw = ratio * h;
    }
}
