#include "pixel/PixmapArea.h"

#include <cstring>
#include <memory>
#include <type_traits>

#include "pixel/PixelBuffer.h"
#include "pixel/PixmapCanvas.h"

namespace {

using R = CEL_Representation;

Math::Size2di clampedSize(int width, int height) {
    return Math::Size2di(width < 0 ? 0 : width, height < 0 ? 0 : height);
}

template <class T> T* pixelAt(T* data, const CEL_PixmapArea& area, int x, int y) {
    if (!data || !area.allocatedRect().isContaining(x, y)) return nullptr;
    return data + area.pixelOffset(x, y);
}

// The realloc step shared by the three kinds: a new buffer for r, filled as
// keepContent asks. Null when r is empty; sets failed (after posting the
// message) when the allocation fails.
template <class T>
T* reallocBuffer(const T* old, const Math::Box2di& oldRect, const Math::Box2di& r, bool keepContent,
                 const T& empty, const char* tag, bool& failed) {
    failed = false;
    if (r.hasNullArea()) return nullptr;
    T* p = CEL_PixelBuffer::allocate<T>(r.area(), false);
    if (!p) {
        CEL_PixelBuffer::postOutOfMemory(r.w(), r.h(), tag);
        failed = true;
        return nullptr;
    }
    if (keepContent) CEL_PixelBuffer::copyRegion(old, oldRect, p, r, empty);
    return p;
}

// Canvas part of an allocated rectangle: where a clipped copy or an image reads.
Math::Box2di clippedPart(const CEL_PixmapArea& area) {
    return area.allocatedRect().getIntersection(Math::Box2di(0, 0, area.width(), area.height()));
}

// Clipped copy into a canvas buffer of the area's size: each row of the
// visible part goes through rowFn(src, dst, n).
template <class S, class D, class F>
void clippedCopy(const S* src, const CEL_PixmapArea& area, D* dst, F rowFn) {
    const Math::Box2di part = clippedPart(area);
    if (!src || !dst || part.hasNullArea()) return;
    for (int y = part.y1(); y < part.y2(); ++y)
        rowFn(src + area.pixelOffset(part.x1(), y), dst + (long long)y * area.width() + part.x1(), part.w());
}

// A canvas-size ARGB32 image: the visible allocated part converted, the rest 0.
template <class S> QImage areaImage(const S* src, const CEL_PixmapArea& area) {
    if (area.width() <= 0 || area.height() <= 0) return QImage();
    QImage img(area.width(), area.height(), QImage::Format_ARGB32);
    if (img.isNull()) return img;
    img.fill(0u);
    const Math::Box2di part = clippedPart(area);
    if (!src || part.hasNullArea()) return img;
    for (int y = part.y1(); y < part.y2(); ++y)
        CEL_PixelBuffer::convert(src + area.pixelOffset(part.x1(), y),
                                 reinterpret_cast<CEL_PixelBGRA8*>(img.scanLine(y)) + part.x1(), part.w());
    return img;
}

// The canvas pixmap P of the area's size holding the visible part of src
// converted by rowFn, the rest as P's constructor clears it (transparent) or,
// for the mattes, opaque. Null when its buffer could not be allocated.
template <class P, class S, class F>
P* clippedCanvas(const S* src, const CEL_PixmapArea& area, bool opaque, F rowFn) {
    auto* p = new P(area.size());
    if (!p->data() && (long long)area.width() * area.height() > 0) {
        delete p;
        return nullptr;
    }
    if (p->data()) {
        if (opaque)
            std::memset(p->data(), 0xFF, size_t(area.width()) * size_t(area.height()) * sizeof(*p->data()));
        clippedCopy(src, area, p->data(), rowFn);
    }
    return p;
}

// The canvas kinds both colour area pixmaps convert to; null for any other format.
template <class S> R* canvasOf(const S* src, const CEL_PixmapArea& area, R::CelFormat format) {
    switch (format) {
    case R::PIXMAP_RGBA16:
        return clippedCanvas<CEL_PixmapRGBA16>(
            src, area, false,
            [](const S* s, CEL_PixelRGBA16* d, long long n) { CEL_PixelBuffer::copyOrConvert(s, d, n); });
    case R::PIXMAP_RGBA8:
        return clippedCanvas<CEL_PixmapRGBA8>(
            src, area, false,
            [](const S* s, CEL_PixelRGBA8* d, long long n) { CEL_PixelBuffer::convert(s, d, n); });
    case R::PIXMAP_MATTE8:
        return clippedCanvas<CEL_PixmapMatte8>(
            src, area, true,
            [](const S* s, unsigned char* d, long long n) { CEL_PixelBuffer::lumaTo8(s, d, n); });
    case R::PIXMAP_MATTE16:
        return clippedCanvas<CEL_PixmapMatte16>(
            src, area, true, [](const S* s, short* d, long long n) { CEL_PixelBuffer::lumaTo16(s, d, n); });
    default:
        return nullptr;
    }
}

inline double clampD(double v, double lo, double hi) {
    return v < lo ? lo : (v > hi ? hi : v);
}

template <class P, class F> void forEachPixel(P* data, long long n, F f) {
    if (!data) return;
    for (long long i = 0; i < n; ++i) f(data[i]);
}

// The tag the out-of-memory message names, and the value of a pixel without storage.
template <class P> constexpr const char* kTag = nullptr;
template <> constexpr const char* kTag<CEL_PixmapAreaRGBA16> = "PixmapAreaRGBA16";
template <> constexpr const char* kTag<CEL_PixmapAreaRGBAFloat> = "PixmapAreaRGBAFloat";
constexpr CEL_PixelRGBA16 kTransparent16{0, 0, 0, 0};
constexpr CEL_PixelRGBAFloat kTransparentFloat{0.0f, 0.0f, 0.0f, 0.0f};
constexpr const CEL_PixelRGBA16& emptyOf(const CEL_PixelRGBA16*) {
    return kTransparent16;
}
constexpr const CEL_PixelRGBAFloat& emptyOf(const CEL_PixelRGBAFloat*) {
    return kTransparentFloat;
}

} // namespace

// The buffer handling the two colour kinds share: deep copies, realloc,
// adoption and the byte accounting. P is the pixmap class.
template <class P> struct CEL_AreaStore {
    using T = std::remove_pointer_t<decltype(P::m_data)>;

    // The copy constructor's buffer: other's allocation copied, or none (with
    // an empty allocated rectangle) when other has none or memory runs out.
    static void copy(P& p, const P& other) {
        if (other.m_data) {
            p.m_data = CEL_PixelBuffer::allocate<T>(p.allocatedArea(), false);
            if (p.m_data) {
                std::memcpy(static_cast<void*>(p.m_data), other.m_data,
                            size_t(p.allocatedArea()) * sizeof(T));
                p.onAlloc(p.allocatedArea() * sizeof(T));
                return;
            }
            CEL_PixelBuffer::postOutOfMemory(p.allocatedWidth(), p.allocatedHeight(), kTag<P>);
        }
        p.setAllocatedRect(Math::Box2di());
    }
    static void free(P& p) {
        delete[] p.m_data;
        p.m_data = nullptr;
        p.onDealloc();
    }
    // A deep copy, or null when p has a buffer and the copy could not get one.
    static P* clone(const P& p) {
        auto* c = new P(p);
        if (p.m_data && !c->m_data) {
            delete c;
            return nullptr;
        }
        return c;
    }
    static bool realloc(P& p, const Math::Box2di& rect, bool keepContent) {
        const Math::Box2di r = p.calcPreferredAllocatedRect(rect);
        if (r == p.allocatedRect()) return true;
        bool failed = false;
        T* data =
            reallocBuffer(p.m_data, p.allocatedRect(), r, keepContent, emptyOf(p.m_data), kTag<P>, failed);
        delete[] p.m_data;
        p.m_data = data;
        p.onDealloc();
        p.setAllocatedRect(data ? r : Math::Box2di());
        if (data) p.onAlloc(r.area() * sizeof(T));
        return !failed;
    }
    static bool adopt(P& p, const Math::Box2di& rect, T* data) {
        if (!data) return p.realloc(rect, true);
        if (data != p.m_data) delete[] p.m_data;
        p.m_data = nullptr;
        p.onDealloc();
        if (rect.hasNullArea()) {
            delete[] data;
            p.setAllocatedRect(Math::Box2di());
            return true;
        }
        p.m_data = data;
        p.setAllocatedRect(rect);
        p.onAlloc(rect.area() * sizeof(T));
        return true;
    }
};

namespace {
using Store16 = CEL_AreaStore<CEL_PixmapAreaRGBA16>;
using StoreFloat = CEL_AreaStore<CEL_PixmapAreaRGBAFloat>;
} // namespace

// ===========================================================================
// CEL_PixmapArea

CEL_PixmapArea::CEL_PixmapArea(const Math::Size2di& size, const Math::Box2di& canvasRect)
    : CEL_Pixmap(size), m_canvasRect(canvasRect) {}

CEL_PixmapArea::CEL_PixmapArea(const CEL_PixmapArea& other)
    : CEL_Pixmap(other), m_canvasRect(other.canvasRect()), m_allocatedRect(other.m_allocatedRect) {}

CEL_PixmapArea::~CEL_PixmapArea() = default;

Math::Box2di CEL_PixmapArea::commonAllocatedRect(const CEL_PixmapArea* other) const {
    return other ? m_allocatedRect.getIntersection(other->m_allocatedRect) : Math::Box2di();
}

bool CEL_PixmapArea::clipToCanvas() {
    return realloc(m_allocatedRect.getIntersection(canvasRect()), true);
}

bool CEL_PixmapArea::reallocToCanvas() {
    return realloc(m_canvasRect, true);
}

bool CEL_PixmapArea::reallocToFitAndClipToCanvas(const CEL_PixmapArea* other, bool keepContent) {
    Math::Box2di r = m_allocatedRect;
    if (other) r = r.getUnion(other->m_allocatedRect);
    return realloc(r.getIntersection(canvasRect()), keepContent);
}

// ===========================================================================
// CEL_PixmapAreaRGBA16

CEL_PixmapAreaRGBA16::CEL_PixmapAreaRGBA16(const Math::Size2di& size, const Math::Box2di& canvasRect)
    : CEL_PixmapArea(size, canvasRect) {}

CEL_PixmapAreaRGBA16::CEL_PixmapAreaRGBA16(int width, int height)
    : CEL_PixmapArea(clampedSize(width, height), Math::Box2di(0, 0, width, height)) {}

CEL_PixmapAreaRGBA16::CEL_PixmapAreaRGBA16(const CEL_PixmapAreaRGBA16& other)
    : CEL_PixmapArea(other), m_allPositive(other.m_allPositive) {
    Store16::copy(*this, other);
}

CEL_PixmapAreaRGBA16::~CEL_PixmapAreaRGBA16() {
    Store16::free(*this);
}

CEL_PixmapAreaRGBA16* CEL_PixmapAreaRGBA16::clone(const Math::Box2di& rect) const {
    if (rect.hasNullArea()) return nullptr;
    auto p = std::make_unique<CEL_PixmapAreaRGBA16>(size(), canvasRect());
    p->m_allPositive = m_allPositive;
    if (!p->realloc(rect, false)) return nullptr;
    CEL_PixelBuffer::copyRegion(m_data, allocatedRect(), p->m_data, p->allocatedRect(), kTransparent16);
    return p.release();
}

CEL_PixmapAreaRGBA16* CEL_PixmapAreaRGBA16::clone() const {
    return Store16::clone(*this);
}

bool CEL_PixmapAreaRGBA16::convertibleTo(CelFormat format) const {
    switch (format) {
    case PIXMAP_AREA_RGBAFLOAT:
    case PIXMAP_RGBA16:
    case PIXMAP_RGBA8:
    case PIXMAP_RGBA8_THUMBNAIL:
    case PROXY:
        return true;
    default:
        return false;
    }
}

CEL_Representation* CEL_PixmapAreaRGBA16::convertTo(CelFormat format) const {
    // PIXMAP_RGBA8_THUMBNAIL: the thumbnail class builds itself from this
    // pixmap; PROXY is made by the proxy manager.
    if (format != PIXMAP_AREA_RGBAFLOAT) return canvasOf(m_data, *this, format);
    auto p = std::make_unique<CEL_PixmapAreaRGBAFloat>(size(), canvasRect());
    if (!p->realloc(allocatedRect(), false)) return nullptr;
    if (m_data)
        CEL_PixelBuffer::convert(m_data, p->data(CEL_PixmapAreaRGBAFloat::TopToBottom), allocatedArea());
    return p.release();
}

void CEL_PixmapAreaRGBA16::getImage(QImage** out) const {
    if (out) *out = new QImage(getImage());
}

QImage CEL_PixmapAreaRGBA16::getImage() const {
    return areaImage(m_data, *this);
}

void CEL_PixmapAreaRGBA16::multiplyColorByAlpha() {
    forEachPixel(m_data, allocatedArea(), [](CEL_PixelRGBA16& p) {
        const double f = p.a / 32767.0;
        auto one = [f](int16_t c) {
            return int16_t(clampD(double(int32_t(c * f + 0.5)), -32767.0, 32767.0));
        };
        p.r = one(p.r);
        p.g = one(p.g);
        p.b = one(p.b);
    });
}

void CEL_PixmapAreaRGBA16::demultiplyColorByAlpha() {
    forEachPixel(m_data, allocatedArea(), [](CEL_PixelRGBA16& p) {
        const double s = p.a > 0 ? 32767.0 / p.a : 0.0;
        auto one = [s](int16_t c) {
            return int16_t(clampD(double(int64_t(c * s + 0.5)), -32767.0, 32767.0));
        };
        p.r = one(p.r);
        p.g = one(p.g);
        p.b = one(p.b);
    });
}

void CEL_PixmapAreaRGBA16::unmultiplyColorByAlpha() {
    forEachPixel(m_data, allocatedArea(), [](CEL_PixelRGBA16& p) {
        const int k = 32767 - p.a;
        p.r = int16_t(p.r - k);
        p.g = int16_t(p.g - k);
        p.b = int16_t(p.b - k);
    });
}

void CEL_PixmapAreaRGBA16::invertAlpha() {
    forEachPixel(m_data, allocatedArea(), [](CEL_PixelRGBA16& p) { p.a = int16_t(32767 - p.a); });
}

bool CEL_PixmapAreaRGBA16::realloc(const Math::Box2di& rect, bool keepContent) {
    return Store16::realloc(*this, rect, keepContent);
}

bool CEL_PixmapAreaRGBA16::alloc(const Math::Box2di& rect, CEL_PixelRGBA16* data) {
    return Store16::adopt(*this, rect, data);
}

CEL_PixelRGBA16* CEL_PixmapAreaRGBA16::pixel(int x, int y) {
    return pixelAt(m_data, *this, x, y);
}

const CEL_PixelRGBA16* CEL_PixmapAreaRGBA16::pixel(int x, int y) const {
    return pixelAt(m_data, *this, x, y);
}

bool CEL_PixmapAreaRGBA16::reallocToFit(const CEL_PixmapAreaRGBA16* other) {
    if (!other) return true;
    if (allocatedWidth() == 0 && allocatedHeight() == 0 && !m_data) {
        setSize(other->size());
        return realloc(other->allocatedRect(), true);
    }
    const Math::Box2di u = allocatedRect().getUnion(other->allocatedRect());
    return u == allocatedRect() ? true : realloc(u, true);
}

void CEL_PixmapAreaRGBA16::copyFrom(const CEL_PixmapAreaRGBA16* other) {
    if (!other || other == this) return;
    m_allPositive = other->m_allPositive;
    // Equal rectangles are the caller's promise; anything else would overrun a buffer.
    if (m_data && other->m_data && other->allocatedRect() == allocatedRect())
        std::memcpy(m_data, other->m_data, size_t(allocatedArea()) * sizeof(CEL_PixelRGBA16));
}

// ===========================================================================
// CEL_PixmapAreaRGBAFloat

CEL_PixmapAreaRGBAFloat::CEL_PixmapAreaRGBAFloat(const Math::Size2di& size, const Math::Box2di& canvasRect)
    : CEL_PixmapArea(size, canvasRect) {}

CEL_PixmapAreaRGBAFloat::CEL_PixmapAreaRGBAFloat(int width, int height)
    : CEL_PixmapArea(clampedSize(width, height), Math::Box2di(0, 0, width, height)) {}

CEL_PixmapAreaRGBAFloat::CEL_PixmapAreaRGBAFloat(const CEL_PixmapAreaRGBAFloat& other)
    : CEL_PixmapArea(other), m_orientation(other.m_orientation) {
    StoreFloat::copy(*this, other);
}

CEL_PixmapAreaRGBAFloat::~CEL_PixmapAreaRGBAFloat() {
    StoreFloat::free(*this);
}

CEL_PixmapAreaRGBAFloat* CEL_PixmapAreaRGBAFloat::clone() const {
    return StoreFloat::clone(*this);
}

bool CEL_PixmapAreaRGBAFloat::convertibleTo(CelFormat format) const {
    switch (format) {
    case PIXMAP_AREA_RGBA16:
    case PIXMAP_RGBA16:
    case PIXMAP_RGBA8:
    case PIXMAP_RGBA8_THUMBNAIL:
        return true;
    default:
        return false;
    }
}

CEL_Representation* CEL_PixmapAreaRGBAFloat::convertTo(CelFormat format) const {
    // PIXMAP_RGBA8_THUMBNAIL: the thumbnail class builds itself from this pixmap.
    if (format != PIXMAP_AREA_RGBA16) return canvasOf(m_data, *this, format);
    auto p = std::make_unique<CEL_PixmapAreaRGBA16>(size(), canvasRect());
    if (!p->reallocToFitAndClipToCanvas(this, true)) return nullptr;
    const Math::Box2di common = p->commonAllocatedRect(this);
    if (m_data && !common.hasNullArea())
        for (int y = common.y1(); y < common.y2(); ++y)
            CEL_PixelBuffer::convert(m_data + pixelOffset(common.x1(), y),
                                     p->data() + p->pixelOffset(common.x1(), y), common.w());
    return p.release();
}

void CEL_PixmapAreaRGBAFloat::getImage(QImage** out) const {
    if (out) *out = new QImage(getImage());
}

QImage CEL_PixmapAreaRGBAFloat::getImage() const {
    return areaImage(m_data, *this);
}

void CEL_PixmapAreaRGBAFloat::multiplyColorByAlpha() {
    forEachPixel(m_data, allocatedArea(), [](CEL_PixelRGBAFloat& p) {
        p.r = p.r * p.a;
        p.g = p.g * p.a;
        p.b = p.b * p.a;
    });
}

void CEL_PixmapAreaRGBAFloat::unmultiplyColorByAlpha() {
    forEachPixel(m_data, allocatedArea(), [](CEL_PixelRGBAFloat& p) {
        const double k = 1.0 - p.a;
        p.r = float(p.r - k);
        p.g = float(p.g - k);
        p.b = float(p.b - k);
    });
}

void CEL_PixmapAreaRGBAFloat::invertAlpha() {
    forEachPixel(m_data, allocatedArea(), [](CEL_PixelRGBAFloat& p) { p.a = float(1.0 - p.a); });
}

bool CEL_PixmapAreaRGBAFloat::realloc(const Math::Box2di& rect, bool keepContent) {
    return StoreFloat::realloc(*this, rect, keepContent);
}

bool CEL_PixmapAreaRGBAFloat::alloc(const Math::Box2di& rect, CEL_PixelRGBAFloat* data) {
    return StoreFloat::adopt(*this, rect, data);
}

CEL_PixelRGBAFloat* CEL_PixmapAreaRGBAFloat::pixel(int x, int y) {
    return pixelAt(m_data, *this, x, y);
}

const CEL_PixelRGBAFloat* CEL_PixmapAreaRGBAFloat::pixel(int x, int y) const {
    return pixelAt(m_data, *this, x, y);
}

void CEL_PixmapAreaRGBAFloat::setOrientationFlag(OrientationFlag_t flag) {
    if (flag == m_orientation) return;
    m_orientation = flag;
    if (!m_data) return;
    const long long w = allocatedWidth();
    const int h = allocatedHeight();
    for (int i = 0; i < h / 2; ++i)
        std::swap_ranges(m_data + i * w, m_data + (i + 1) * w, m_data + (long long)(h - 1 - i) * w);
}

// ===========================================================================
// CEL_PixmapAreaZ

CEL_PixmapAreaZ::CEL_PixmapAreaZ(const Math::Size2di& size, const Math::Box2di& canvasRect)
    : CEL_PixmapArea(size, canvasRect) {}

CEL_PixmapAreaZ::CEL_PixmapAreaZ(int width, int height)
    : CEL_PixmapArea(clampedSize(width, height), Math::Box2di(0, 0, width, height)) {}

CEL_PixmapAreaZ::CEL_PixmapAreaZ(const CEL_PixmapAreaZ& other)
    : CEL_PixmapArea(other), m_buffer(other.m_buffer), m_zMin(other.m_zMin), m_zMax(other.m_zMax),
      m_scale(1.0) {
    if (m_buffer)
        onAlloc(allocatedArea() * sizeof(CEL_PixelFloat));
    else
        setAllocatedRect(Math::Box2di());
}

CEL_PixmapAreaZ::~CEL_PixmapAreaZ() {
    m_buffer.reset();
    onDealloc();
}

CEL_PixmapAreaZ* CEL_PixmapAreaZ::clone() const {
    auto p = std::make_unique<CEL_PixmapAreaZ>(size(), canvasRect());
    p->m_zMin = m_zMin;
    p->m_zMax = m_zMax;
    p->m_scale = m_scale;
    if (!m_buffer) return p.release();
    if (!p->realloc(allocatedRect(), false)) return nullptr;
    std::memcpy(static_cast<void*>(p->data()), data(), size_t(allocatedArea()) * sizeof(CEL_PixelFloat));
    return p.release();
}

bool CEL_PixmapAreaZ::convertibleTo(CelFormat) const {
    return false;
}

CEL_Representation* CEL_PixmapAreaZ::convertTo(CelFormat) const {
    return nullptr;
}

bool CEL_PixmapAreaZ::realloc(const Math::Box2di& rect, bool keepContent) {
    const Math::Box2di r = calcPreferredAllocatedRect(rect);
    if (r == allocatedRect()) return true;
    bool failed = false;
    CEL_PixelFloat empty;
    CEL_PixelFloat* p = reallocBuffer(data(), allocatedRect(), r, keepContent, empty, "PixmapAreaZ", failed);
    // Sharers of the old buffer keep it; this pixmap moves to the new one.
    m_buffer.reset(p ? new CEL_SharedPixelBuffer<CEL_PixelFloat>(p) : nullptr);
    onDealloc();
    setAllocatedRect(p ? r : Math::Box2di());
    if (p) onAlloc(r.area() * sizeof(CEL_PixelFloat));
    return !failed;
}

bool CEL_PixmapAreaZ::alloc(const Math::Box2di& rect, CEL_PixelFloat* data) {
    if (!data) return realloc(rect, true);
    if (m_buffer && m_buffer->data() == data) {
        // Already held: only the rectangle can change meaningfully.
        setAllocatedRect(rect.hasNullArea() ? Math::Box2di() : rect);
        onDealloc();
        if (!rect.hasNullArea())
            onAlloc(rect.area() * sizeof(CEL_PixelFloat));
        else
            m_buffer.reset();
        return true;
    }
    m_buffer.reset();
    onDealloc();
    if (rect.hasNullArea()) {
        delete[] data;
        setAllocatedRect(Math::Box2di());
        return true;
    }
    m_buffer.reset(new CEL_SharedPixelBuffer<CEL_PixelFloat>(data));
    setAllocatedRect(rect);
    onAlloc(rect.area() * sizeof(CEL_PixelFloat));
    return true;
}

CEL_PixelFloat* CEL_PixmapAreaZ::pixel(int x, int y) {
    return pixelAt(data(), *this, x, y);
}

const CEL_PixelFloat* CEL_PixmapAreaZ::pixel(int x, int y) const {
    return pixelAt(data(), *this, x, y);
}

CEL_PixmapAreaZ* CEL_PixmapAreaZ::ToBBox(const Math::Box2di& rect) const {
    if (!m_buffer || rect.hasNullArea()) return nullptr;
    auto p = std::make_unique<CEL_PixmapAreaZ>(size(), canvasRect());
    p->m_zMin = m_zMin;
    p->m_zMax = m_zMax;
    if (!p->realloc(rect, false)) return nullptr;
    CEL_PixelBuffer::copyRegion<CEL_PixelFloat>(data(), allocatedRect(), p->data(), p->allocatedRect(),
                                                CEL_PixelFloat());
    return p.release();
}
