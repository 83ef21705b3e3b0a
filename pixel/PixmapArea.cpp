#include "pixel/PixmapArea.h"

#include <cstring>
#include <memory>

#include "pixel/PixelBuffer.h"
#include "pixel/PixmapCanvas.h"

namespace {

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

// The canvas pixmap P of the area's size, or null when its buffer could not
// be allocated.
template <class P, class... A> P* canvasFor(const CEL_PixmapArea& area, A&&... args) {
    auto* p = new P(area.size(), std::forward<A>(args)...);
    if (!p->data() && (long long)area.width() * area.height() > 0) {
        delete p;
        return nullptr;
    }
    return p;
}

inline double clampD(double v, double lo, double hi) {
    return v < lo ? lo : (v > hi ? hi : v);
}

template <class P, class F> void forEachPixel(P* data, long long n, F f) {
    if (!data) return;
    for (long long i = 0; i < n; ++i) f(data[i]);
}

constexpr CEL_PixelRGBA16 kTransparent16{0, 0, 0, 0};
constexpr CEL_PixelRGBAFloat kTransparentFloat{0.0f, 0.0f, 0.0f, 0.0f};

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
    if (!other.m_data) {
        setAllocatedRect(Math::Box2di());
        return;
    }
    m_data = CEL_PixelBuffer::allocate<CEL_PixelRGBA16>(allocatedArea(), false);
    if (!m_data) {
        CEL_PixelBuffer::postOutOfMemory(allocatedWidth(), allocatedHeight(), "PixmapAreaRGBA16");
        setAllocatedRect(Math::Box2di());
        return;
    }
    std::memcpy(m_data, other.m_data, size_t(allocatedArea()) * sizeof(CEL_PixelRGBA16));
    onAlloc(allocatedArea() * sizeof(CEL_PixelRGBA16));
}

CEL_PixmapAreaRGBA16::~CEL_PixmapAreaRGBA16() {
    delete[] m_data;
    onDealloc();
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
    auto* p = new CEL_PixmapAreaRGBA16(*this);
    if (m_data && !p->m_data) {
        delete p;
        return nullptr;
    }
    return p;
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
    switch (format) {
    case PIXMAP_AREA_RGBAFLOAT: {
        auto p = std::make_unique<CEL_PixmapAreaRGBAFloat>(size(), canvasRect());
        if (!p->realloc(allocatedRect(), false)) return nullptr;
        if (m_data)
            CEL_PixelBuffer::convert(m_data, p->data(CEL_PixmapAreaRGBAFloat::TopToBottom), allocatedArea());
        return p.release();
    }
    case PIXMAP_RGBA16: {
        auto* p = canvasFor<CEL_PixmapRGBA16>(*this);
        if (p)
            clippedCopy(m_data, *this, p->data(),
                        [](const CEL_PixelRGBA16* s, CEL_PixelRGBA16* d, long long n) {
                            std::memcpy(d, s, size_t(n) * sizeof(CEL_PixelRGBA16));
                        });
        return p;
    }
    case PIXMAP_RGBA8: {
        auto* p = canvasFor<CEL_PixmapRGBA8>(*this);
        if (p)
            clippedCopy(m_data, *this, p->data(),
                        [](const CEL_PixelRGBA16* s, CEL_PixelRGBA8* d, long long n) {
                            CEL_PixelBuffer::convert(s, d, n);
                        });
        return p;
    }
    case PIXMAP_MATTE8: {
        auto* p = canvasFor<CEL_PixmapMatte8>(*this);
        if (p && p->data()) {
            std::memset(p->data(), 0xFF, size_t(width()) * size_t(height()));
            clippedCopy(m_data, *this, p->data(),
                        [](const CEL_PixelRGBA16* s, unsigned char* d, long long n) {
                            CEL_PixelBuffer::lumaTo8(s, d, n);
                        });
        }
        return p;
    }
    case PIXMAP_MATTE16: {
        auto* p = canvasFor<CEL_PixmapMatte16>(*this);
        if (p && p->data()) {
            std::memset(p->data(), 0xFF, size_t(width()) * size_t(height()) * sizeof(short));
            clippedCopy(m_data, *this, p->data(), [](const CEL_PixelRGBA16* s, short* d, long long n) {
                CEL_PixelBuffer::lumaTo16(s, d, n);
            });
        }
        return p;
    }
    default:
        // PIXMAP_RGBA8_THUMBNAIL: the thumbnail class builds itself from this
        // pixmap; PROXY is made by the proxy manager.
        return nullptr;
    }
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
    const Math::Box2di r = calcPreferredAllocatedRect(rect);
    if (r == allocatedRect()) return true;
    bool failed = false;
    CEL_PixelRGBA16* p =
        reallocBuffer(m_data, allocatedRect(), r, keepContent, kTransparent16, "PixmapAreaRGBA16", failed);
    delete[] m_data;
    m_data = p;
    onDealloc();
    setAllocatedRect(p ? r : Math::Box2di());
    if (p) onAlloc(r.area() * sizeof(CEL_PixelRGBA16));
    return !failed;
}

bool CEL_PixmapAreaRGBA16::alloc(const Math::Box2di& rect, CEL_PixelRGBA16* data) {
    if (!data) return realloc(rect, true);
    if (data != m_data) delete[] m_data;
    m_data = nullptr;
    onDealloc();
    if (rect.hasNullArea()) {
        delete[] data;
        setAllocatedRect(Math::Box2di());
        return true;
    }
    m_data = data;
    setAllocatedRect(rect);
    onAlloc(rect.area() * sizeof(CEL_PixelRGBA16));
    return true;
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
    if (!other.m_data) {
        setAllocatedRect(Math::Box2di());
        return;
    }
    m_data = CEL_PixelBuffer::allocate<CEL_PixelRGBAFloat>(allocatedArea(), false);
    if (!m_data) {
        CEL_PixelBuffer::postOutOfMemory(allocatedWidth(), allocatedHeight(), "PixmapAreaRGBAFloat");
        setAllocatedRect(Math::Box2di());
        return;
    }
    std::memcpy(m_data, other.m_data, size_t(allocatedArea()) * sizeof(CEL_PixelRGBAFloat));
    onAlloc(allocatedArea() * sizeof(CEL_PixelRGBAFloat));
}

CEL_PixmapAreaRGBAFloat::~CEL_PixmapAreaRGBAFloat() {
    delete[] m_data;
    onDealloc();
}

CEL_PixmapAreaRGBAFloat* CEL_PixmapAreaRGBAFloat::clone() const {
    auto* p = new CEL_PixmapAreaRGBAFloat(*this);
    if (m_data && !p->m_data) {
        delete p;
        return nullptr;
    }
    return p;
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
    switch (format) {
    case PIXMAP_AREA_RGBA16: {
        auto p = std::make_unique<CEL_PixmapAreaRGBA16>(size(), canvasRect());
        if (!p->reallocToFitAndClipToCanvas(this, true)) return nullptr;
        const Math::Box2di common = p->commonAllocatedRect(this);
        if (m_data && !common.hasNullArea())
            for (int y = common.y1(); y < common.y2(); ++y)
                CEL_PixelBuffer::convert(m_data + pixelOffset(common.x1(), y),
                                         p->data() + p->pixelOffset(common.x1(), y), common.w());
        return p.release();
    }
    case PIXMAP_RGBA16: {
        auto* p = canvasFor<CEL_PixmapRGBA16>(*this);
        if (p)
            clippedCopy(m_data, *this, p->data(),
                        [](const CEL_PixelRGBAFloat* s, CEL_PixelRGBA16* d, long long n) {
                            CEL_PixelBuffer::convert(s, d, n);
                        });
        return p;
    }
    case PIXMAP_RGBA8: {
        auto* p = canvasFor<CEL_PixmapRGBA8>(*this);
        if (p)
            clippedCopy(m_data, *this, p->data(),
                        [](const CEL_PixelRGBAFloat* s, CEL_PixelRGBA8* d, long long n) {
                            CEL_PixelBuffer::convert(s, d, n);
                        });
        return p;
    }
    case PIXMAP_MATTE8: {
        auto* p = canvasFor<CEL_PixmapMatte8>(*this);
        if (p && p->data()) {
            std::memset(p->data(), 0xFF, size_t(width()) * size_t(height()));
            clippedCopy(m_data, *this, p->data(),
                        [](const CEL_PixelRGBAFloat* s, unsigned char* d, long long n) {
                            CEL_PixelBuffer::lumaTo8(s, d, n);
                        });
        }
        return p;
    }
    case PIXMAP_MATTE16: {
        auto* p = canvasFor<CEL_PixmapMatte16>(*this);
        if (p && p->data()) {
            std::memset(p->data(), 0xFF, size_t(width()) * size_t(height()) * sizeof(short));
            clippedCopy(m_data, *this, p->data(), [](const CEL_PixelRGBAFloat* s, short* d, long long n) {
                CEL_PixelBuffer::lumaTo16(s, d, n);
            });
        }
        return p;
    }
    default:
        // PIXMAP_RGBA8_THUMBNAIL: the thumbnail class builds itself from this pixmap.
        return nullptr;
    }
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
    const Math::Box2di r = calcPreferredAllocatedRect(rect);
    if (r == allocatedRect()) return true;
    bool failed = false;
    CEL_PixelRGBAFloat* p = reallocBuffer(m_data, allocatedRect(), r, keepContent, kTransparentFloat,
                                          "PixmapAreaRGBAFloat", failed);
    delete[] m_data;
    m_data = p;
    onDealloc();
    setAllocatedRect(p ? r : Math::Box2di());
    if (p) onAlloc(r.area() * sizeof(CEL_PixelRGBAFloat));
    return !failed;
}

bool CEL_PixmapAreaRGBAFloat::alloc(const Math::Box2di& rect, CEL_PixelRGBAFloat* data) {
    if (!data) return realloc(rect, true);
    if (data != m_data) delete[] m_data;
    m_data = nullptr;
    onDealloc();
    if (rect.hasNullArea()) {
        delete[] data;
        setAllocatedRect(Math::Box2di());
        return true;
    }
    m_data = data;
    setAllocatedRect(rect);
    onAlloc(rect.area() * sizeof(CEL_PixelRGBAFloat));
    return true;
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
