#include "pixel/PixmapCanvas.h"

#include <cstring>
#include <memory>

#include "pixel/PixelBuffer.h"
#include "pixel/PixmapArea.h"

namespace {

using CEL_PixelBuffer::allocate;

Math::Size2di clampedSize(int width, int height) {
    return Math::Size2di(width < 0 ? 0 : width, height < 0 ? 0 : height);
}

long long areaOf(const Math::Size2di& s) {
    return (long long)s.width * s.height;
}

// A buffer for a w x h canvas, or null. A zero area is not a failure; any
// other null result posts the out-of-memory message and zeroes size.
template <class T> T* allocCanvas(Math::Size2di& size, bool clear, const char* tag) {
    const long long n = areaOf(size);
    if (n <= 0) return nullptr;
    T* p = allocate<T>(n, clear);
    if (!p) {
        CEL_PixelBuffer::postOutOfMemory(size.width, size.height, tag);
        size = Math::Size2di(0, 0);
    }
    return p;
}

// Adoption rule shared by the adopting constructors and setData: null data or
// a zero area gives 0 x 0 and the data is deleted.
template <class T> T* adoptCanvas(Math::Size2di& size, T* data) {
    if (!data || areaOf(size) <= 0) {
        delete[] data;
        size = Math::Size2di(0, 0);
        return nullptr;
    }
    return data;
}

template <class T> T* pixelAt(T* data, const Math::Size2di& s, int x, int y) {
    if (!data || x < 0 || y < 0 || x >= s.width || y >= s.height) return nullptr;
    return data + (long long)y * s.width + x;
}

QImage makeImage(const Math::Size2di& s) {
    if (s.width <= 0 || s.height <= 0) return QImage();
    return QImage(s.width, s.height, QImage::Format_ARGB32);
}

// Converts every row of a canvas buffer into an ARGB32 image.
template <class T> QImage imageOf(const T* data, const Math::Size2di& s) {
    QImage img = makeImage(s);
    if (img.isNull() || !data) return img;
    for (int y = 0; y < s.height; ++y)
        CEL_PixelBuffer::convert(data + (long long)y * s.width,
                                 reinterpret_cast<CEL_PixelBGRA8*>(img.scanLine(y)), s.width);
    return img;
}

// The new object, or null (and the object deleted) when it should have got a
// buffer but its allocation failed (already reported).
template <class P> P* keepIfAllocated(P* p, bool expectBuffer) {
    if (expectBuffer && !p->data()) {
        delete p;
        return nullptr;
    }
    return p;
}

// Crop to content: an area pixmap of the canvas size allocated to the box of
// the non-empty pixels (1 x 1 at the origin when there is none).
template <class T> CEL_PixmapAreaRGBA16* cropToContent(const T* data, const Math::Size2di& size) {
    auto area = std::make_unique<CEL_PixmapAreaRGBA16>(size.width, size.height);
    Math::Box2di box;
    if (!CEL_PixelBuffer::contentBox(data, size.width, size.height, int(sizeof(T)), box)) {
        if (!area->realloc(Math::Box2di(0, 0, 1, 1), true)) return nullptr;
        return area.release();
    }
    if (!area->realloc(box, false)) return nullptr;
    CEL_PixelRGBA16* out = area->data();
    for (int y = box.y1(); y < box.y2(); ++y) {
        const T* src = data + (long long)y * size.width + box.x1();
        CEL_PixelRGBA16* dst = out + (long long)(y - box.y1()) * box.w();
        if constexpr (std::is_same_v<T, CEL_PixelRGBA16>)
            std::memcpy(dst, src, sizeof(T) * size_t(box.w()));
        else
            CEL_PixelBuffer::convert(src, dst, box.w());
    }
    return area.release();
}

// -- Alpha operations, one per-pixel function each, shared by the row loops.

inline double clampD(double v, double lo, double hi) {
    return v < lo ? lo : (v > hi ? hi : v);
}

template <class P, class F> void forEachPixel(P* data, long long n, F f) {
    for (long long i = 0; i < n; ++i) f(data[i]);
}

} // namespace

// ===========================================================================
// CEL_PixmapRGBA8

CEL_PixmapRGBA8::CEL_PixmapRGBA8(int width, int height) : CEL_PixmapRGBA8(Math::Size2di(width, height)) {}

CEL_PixmapRGBA8::CEL_PixmapRGBA8(const Math::Size2di& size)
    : CEL_Pixmap(clampedSize(size.width, size.height)) {
    Math::Size2di s = this->size();
    m_data = allocCanvas<CEL_PixelRGBA8>(s, true, "PixmapRGBA8");
    setSize(s);
    if (m_data) onAlloc(areaOf(s) * sizeof(CEL_PixelRGBA8));
}

CEL_PixmapRGBA8::CEL_PixmapRGBA8(const Math::Size2di& size, const DoNotMemset&)
    : CEL_Pixmap(clampedSize(size.width, size.height)) {
    Math::Size2di s = this->size();
    m_data = allocCanvas<CEL_PixelRGBA8>(s, false, "PixmapRGBA8");
    setSize(s);
    if (m_data) onAlloc(areaOf(s) * sizeof(CEL_PixelRGBA8));
}

CEL_PixmapRGBA8::CEL_PixmapRGBA8(int width, int height, CEL_PixelRGBA8* data)
    : CEL_Pixmap(clampedSize(width, height)) {
    setData(data, width, height);
}

CEL_PixmapRGBA8::CEL_PixmapRGBA8(const CEL_PixmapRGBA8& other) : CEL_Pixmap(other) {
    if (!other.m_data) return;
    Math::Size2di s = size();
    m_data = allocCanvas<CEL_PixelRGBA8>(s, false, "PixmapRGBA8");
    setSize(s);
    if (!m_data) return;
    std::memcpy(m_data, other.m_data, size_t(areaOf(s)) * sizeof(CEL_PixelRGBA8));
    onAlloc(areaOf(s) * sizeof(CEL_PixelRGBA8));
}

CEL_PixmapRGBA8::CEL_PixmapRGBA8(const CEL_PixmapRGBA16& other) : CEL_Pixmap(other.size()) {
    if (!other.data()) return;
    Math::Size2di s = size();
    m_data = allocCanvas<CEL_PixelRGBA8>(s, false, "PixmapRGBA8");
    setSize(s);
    if (!m_data) return;
    CEL_PixelBuffer::convert(other.data(), m_data, areaOf(s));
    onAlloc(areaOf(s) * sizeof(CEL_PixelRGBA8));
}

CEL_PixmapRGBA8::~CEL_PixmapRGBA8() {
    delete[] m_data;
    onDealloc();
}

CEL_PixmapRGBA8* CEL_PixmapRGBA8::clone() const {
    return keepIfAllocated(new CEL_PixmapRGBA8(*this), m_data != nullptr);
}

bool CEL_PixmapRGBA8::convertibleTo(CelFormat format) const {
    switch (format) {
    case PIXMAP_AREA_RGBA16:
    case PIXMAP_RGBA16:
    case PIXMAP_RGBA8:
    case PIXMAP_MATTE8:
    case PIXMAP_RGBA8_THUMBNAIL:
        return true;
    default:
        return false;
    }
}

CEL_Representation* CEL_PixmapRGBA8::convertTo(CelFormat format) const {
    switch (format) {
    case PIXMAP_AREA_RGBA16:
        return cropToContent(m_data, size());
    case PIXMAP_RGBA16:
        return keepIfAllocated(new CEL_PixmapRGBA16(*this), m_data != nullptr);
    case PIXMAP_MATTE8:
        return keepIfAllocated(new CEL_PixmapMatte8(*this), m_data != nullptr);
    default:
        // PIXMAP_RGBA8 is clone(); the thumbnail class builds itself from this pixmap.
        return nullptr;
    }
}

void CEL_PixmapRGBA8::getImage(QImage** out) const {
    if (out) *out = new QImage(getImage());
}

QImage CEL_PixmapRGBA8::getImage() const {
    // The bytes go out as they are, premultiplied or not.
    return imageOf(m_data, size());
}

void CEL_PixmapRGBA8::multiplyColorByAlpha() {
    forEachPixel(m_data, areaOf(size()), [](CEL_PixelRGBA8& p) {
        const double f = p.a / 255.0;
        p.r = uint8_t(p.r * f + 0.5);
        p.g = uint8_t(p.g * f + 0.5);
        p.b = uint8_t(p.b * f + 0.5);
    });
}

void CEL_PixmapRGBA8::demultiplyColorByAlpha() {
    forEachPixel(m_data, areaOf(size()), [](CEL_PixelRGBA8& p) {
        const double s = p.a > 0 ? 255.0 / p.a : 0.0;
        p.r = uint8_t(clampD(double(int(p.r * s + 0.5)), 0.0, 255.0));
        p.g = uint8_t(clampD(double(int(p.g * s + 0.5)), 0.0, 255.0));
        p.b = uint8_t(clampD(double(int(p.b * s + 0.5)), 0.0, 255.0));
    });
}

void CEL_PixmapRGBA8::unmultiplyColorByAlpha() {
    forEachPixel(m_data, areaOf(size()), [](CEL_PixelRGBA8& p) {
        const int k = 255 - p.a;
        p.r = uint8_t(p.r - k);
        p.g = uint8_t(p.g - k);
        p.b = uint8_t(p.b - k);
    });
}

void CEL_PixmapRGBA8::clampColorToAlpha() {
    forEachPixel(m_data, areaOf(size()), [](CEL_PixelRGBA8& p) {
        p.r = std::min(p.r, p.a);
        p.g = std::min(p.g, p.a);
        p.b = std::min(p.b, p.a);
    });
}

void CEL_PixmapRGBA8::straightToPremultipliedWithWhite() {
    forEachPixel(m_data, areaOf(size()), [](CEL_PixelRGBA8& p) {
        const double f = p.a / 255.0;
        const int white = 255 - p.a;
        auto one = [&](uint8_t c) {
            const int v = int(c * f + 0.5) + white;
            return uint8_t(v < 0 ? 0 : (v > 255 ? 255 : v));
        };
        p.r = one(p.r);
        p.g = one(p.g);
        p.b = one(p.b);
    });
}

CEL_PixelRGBA8* CEL_PixmapRGBA8::pixel(int x, int y) {
    return pixelAt(m_data, size(), x, y);
}

const CEL_PixelRGBA8* CEL_PixmapRGBA8::pixel(int x, int y) const {
    return pixelAt(m_data, size(), x, y);
}

void CEL_PixmapRGBA8::setData(CEL_PixelRGBA8* data, int width, int height) {
    if (data != m_data) delete[] m_data; // adopting our own buffer again must not free it
    m_data = nullptr;
    onDealloc();
    Math::Size2di s = clampedSize(width, height);
    m_data = adoptCanvas(s, data);
    setSize(s);
    if (m_data) onAlloc(areaOf(s) * sizeof(CEL_PixelRGBA8));
}

void CEL_PixmapRGBA8::setData(unsigned int* words, int width, int height) {
    delete[] m_data;
    m_data = nullptr;
    onDealloc();
    Math::Size2di s = clampedSize(width, height);
    if (!words) s = Math::Size2di(0, 0);
    m_data = allocCanvas<CEL_PixelRGBA8>(s, false, "PixmapRGBA8");
    setSize(s);
    if (!m_data) return;
    // Bytes b, g, r, a in memory, whatever the host's word order.
    const CEL_PixelBGRA8* src = reinterpret_cast<const CEL_PixelBGRA8*>(words);
    const long long n = areaOf(s);
    for (long long i = 0; i < n; ++i) m_data[i] = src[i];
    onAlloc(n * sizeof(CEL_PixelRGBA8));
}

CEL_PixelRGBA8* CEL_PixmapRGBA8::releaseData() {
    CEL_PixelRGBA8* p = m_data;
    m_data = nullptr;
    onDealloc();
    setSize(Math::Size2di(0, 0));
    return p;
}

// ===========================================================================
// CEL_PixmapRGBA16

CEL_PixmapRGBA16::CEL_PixmapRGBA16(int width, int height) : CEL_PixmapRGBA16(Math::Size2di(width, height)) {}

CEL_PixmapRGBA16::CEL_PixmapRGBA16(const Math::Size2di& size)
    : CEL_Pixmap(clampedSize(size.width, size.height)) {
    Math::Size2di s = this->size();
    m_data = allocCanvas<CEL_PixelRGBA16>(s, true, "PixmapRGBA16");
    setSize(s);
    if (m_data) onAlloc(areaOf(s) * sizeof(CEL_PixelRGBA16));
}

CEL_PixmapRGBA16::CEL_PixmapRGBA16(const Math::Size2di& size, const DoNotMemset&)
    : CEL_Pixmap(clampedSize(size.width, size.height)) {
    Math::Size2di s = this->size();
    m_data = allocCanvas<CEL_PixelRGBA16>(s, false, "PixmapRGBA16");
    setSize(s);
    if (m_data) onAlloc(areaOf(s) * sizeof(CEL_PixelRGBA16));
}

CEL_PixmapRGBA16::CEL_PixmapRGBA16(int width, int height, CEL_PixelRGBA16* data)
    : CEL_Pixmap(clampedSize(width, height)) {
    setData(data, width, height);
}

CEL_PixmapRGBA16::CEL_PixmapRGBA16(const CEL_PixmapRGBA16& other) : CEL_Pixmap(other) {
    if (!other.m_data) return;
    Math::Size2di s = size();
    m_data = allocCanvas<CEL_PixelRGBA16>(s, false, "PixmapRGBA16");
    setSize(s);
    if (!m_data) return;
    std::memcpy(m_data, other.m_data, size_t(areaOf(s)) * sizeof(CEL_PixelRGBA16));
    onAlloc(areaOf(s) * sizeof(CEL_PixelRGBA16));
}

CEL_PixmapRGBA16::CEL_PixmapRGBA16(const CEL_PixmapRGBA8& other) : CEL_Pixmap(other.size()) {
    if (!other.data()) return;
    Math::Size2di s = size();
    m_data = allocCanvas<CEL_PixelRGBA16>(s, false, "PixmapRGBA16");
    setSize(s);
    if (!m_data) return;
    CEL_PixelBuffer::convert(other.data(), m_data, areaOf(s));
    onAlloc(areaOf(s) * sizeof(CEL_PixelRGBA16));
}

CEL_PixmapRGBA16::~CEL_PixmapRGBA16() {
    delete[] m_data;
    onDealloc();
}

CEL_PixmapRGBA16* CEL_PixmapRGBA16::clone() const {
    return keepIfAllocated(new CEL_PixmapRGBA16(*this), m_data != nullptr);
}

bool CEL_PixmapRGBA16::convertibleTo(CelFormat format) const {
    switch (format) {
    case PIXMAP_AREA_RGBA16:
    case PIXMAP_RGBA8:
    case PIXMAP_MATTE8:
    case PROXY:
        return true;
    default:
        return false;
    }
}

CEL_Representation* CEL_PixmapRGBA16::convertTo(CelFormat format) const {
    switch (format) {
    case PIXMAP_AREA_RGBA16:
        return cropToContent(m_data, size());
    case PIXMAP_RGBA8:
        return keepIfAllocated(new CEL_PixmapRGBA8(*this), m_data != nullptr);
    case PIXMAP_MATTE8:
        return keepIfAllocated(new CEL_PixmapMatte8(*this), m_data != nullptr);
    default:
        // PROXY is made by the proxy manager from this pixmap.
        return nullptr;
    }
}

void CEL_PixmapRGBA16::getImage(QImage** out) const {
    if (out) *out = new QImage(getImage());
}

QImage CEL_PixmapRGBA16::getImage() const {
    return imageOf(m_data, size());
}

namespace {

// The 16-bit alpha operations, shared with the area pixmap.
inline int16_t mul16(int16_t c, double f) {
    return int16_t(int32_t(c * f + 0.5));
}

inline int16_t demul16(int16_t c, double s) {
    return int16_t(clampD(double(int64_t(c * s + 0.5)), -32767.0, 32767.0));
}

} // namespace

void CEL_PixmapRGBA16::multiplyColorByAlpha() {
    forEachPixel(m_data, areaOf(size()), [](CEL_PixelRGBA16& p) {
        const double f = p.a / 32767.0;
        p.r = mul16(p.r, f);
        p.g = mul16(p.g, f);
        p.b = mul16(p.b, f);
    });
}

void CEL_PixmapRGBA16::demultiplyColorByAlpha() {
    forEachPixel(m_data, areaOf(size()), [](CEL_PixelRGBA16& p) {
        const double s = p.a > 0 ? 32767.0 / p.a : 0.0;
        p.r = demul16(p.r, s);
        p.g = demul16(p.g, s);
        p.b = demul16(p.b, s);
    });
}

void CEL_PixmapRGBA16::unmultiplyColorByAlpha() {
    forEachPixel(m_data, areaOf(size()), [](CEL_PixelRGBA16& p) {
        const int k = 32767 - p.a;
        p.r = int16_t(p.r - k);
        p.g = int16_t(p.g - k);
        p.b = int16_t(p.b - k);
    });
}

void CEL_PixmapRGBA16::clampColorToAlpha() {
    forEachPixel(m_data, areaOf(size()), [](CEL_PixelRGBA16& p) {
        p.r = std::min(p.r, p.a);
        p.g = std::min(p.g, p.a);
        p.b = std::min(p.b, p.a);
    });
}

void CEL_PixmapRGBA16::straightToPremultipliedWithWhite() {
    forEachPixel(m_data, areaOf(size()), [](CEL_PixelRGBA16& p) {
        const double f = p.a / 32767.0;
        const int white = 32767 - p.a;
        auto one = [&](int16_t c) {
            const long long v = (long long)(c * f + 0.5) + white;
            return int16_t(v < -32767 ? -32767 : (v > 32767 ? 32767 : v));
        };
        p.r = one(p.r);
        p.g = one(p.g);
        p.b = one(p.b);
    });
}

CEL_PixelRGBA16* CEL_PixmapRGBA16::pixel(int x, int y) {
    return pixelAt(m_data, size(), x, y);
}

const CEL_PixelRGBA16* CEL_PixmapRGBA16::pixel(int x, int y) const {
    return pixelAt(m_data, size(), x, y);
}

void CEL_PixmapRGBA16::setData(CEL_PixelRGBA16* data, int width, int height) {
    if (data != m_data) delete[] m_data; // adopting our own buffer again must not free it
    m_data = nullptr;
    onDealloc();
    Math::Size2di s = clampedSize(width, height);
    m_data = adoptCanvas(s, data);
    setSize(s);
    if (m_data) onAlloc(areaOf(s) * sizeof(CEL_PixelRGBA16));
}

CEL_PixelRGBA16* CEL_PixmapRGBA16::releaseData() {
    CEL_PixelRGBA16* p = m_data;
    m_data = nullptr;
    onDealloc();
    setSize(Math::Size2di(0, 0));
    return p;
}

CEL_PixmapAreaRGBA16* CEL_PixmapRGBA16::cloneArea(const Math::Box2di& srcRect,
                                                  const Math::Box2di& allocatedRect,
                                                  const Math::Size2di& canvasSize,
                                                  const Math::Box2di& canvasRect) const {
    if (srcRect.hasNullArea() || allocatedRect.hasNullArea()) return nullptr;
    // A source outside this pixmap or wider than the target is a caller error:
    // refuse it rather than read or write out of bounds.
    if (!m_data || !Math::Box2di(0, 0, width(), height()).isContaining(srcRect) ||
        srcRect.w() > allocatedRect.w() || srcRect.h() > allocatedRect.h())
        return nullptr;
    auto area = std::make_unique<CEL_PixmapAreaRGBA16>(canvasSize, canvasRect);
    if (!area->realloc(allocatedRect, false)) return nullptr;
    CEL_PixelRGBA16* out = area->data();
    for (int y = 0; y < srcRect.h(); ++y)
        std::memcpy(out + (long long)y * allocatedRect.w(),
                    m_data + (long long)(srcRect.y1() + y) * width() + srcRect.x1(),
                    sizeof(CEL_PixelRGBA16) * size_t(srcRect.w()));
    return area.release();
}

// ===========================================================================
// CEL_PixmapMatte8

CEL_PixmapMatte8::CEL_PixmapMatte8(int width, int height) : CEL_PixmapMatte8(Math::Size2di(width, height)) {}

CEL_PixmapMatte8::CEL_PixmapMatte8(const Math::Size2di& size)
    : CEL_Pixmap(clampedSize(size.width, size.height)) {
    Math::Size2di s = this->size();
    m_data = allocCanvas<unsigned char>(s, true, "PixmapMatte8");
    setSize(s);
    if (m_data) onAlloc(areaOf(s));
}

CEL_PixmapMatte8::CEL_PixmapMatte8(int width, int height, unsigned char* data)
    : CEL_Pixmap(clampedSize(width, height)) {
    setData(data, width, height);
}

CEL_PixmapMatte8::CEL_PixmapMatte8(const CEL_PixmapMatte8& other) : CEL_Pixmap(other) {
    if (!other.m_data) return;
    Math::Size2di s = size();
    m_data = allocCanvas<unsigned char>(s, false, "PixmapMatte8");
    setSize(s);
    if (!m_data) return;
    std::memcpy(m_data, other.m_data, size_t(areaOf(s)));
    onAlloc(areaOf(s));
}

CEL_PixmapMatte8::CEL_PixmapMatte8(const CEL_PixmapRGBA8& other) : CEL_Pixmap(other.size()) {
    if (!other.data()) return;
    Math::Size2di s = size();
    m_data = allocCanvas<unsigned char>(s, false, "PixmapMatte8");
    setSize(s);
    if (!m_data) return;
    CEL_PixelBuffer::luma(other.data(), m_data, areaOf(s));
    onAlloc(areaOf(s));
}

CEL_PixmapMatte8::CEL_PixmapMatte8(const CEL_PixmapRGBA16& other) : CEL_Pixmap(other.size()) {
    if (!other.data()) return;
    Math::Size2di s = size();
    m_data = allocCanvas<unsigned char>(s, false, "PixmapMatte8");
    setSize(s);
    if (!m_data) return;
    CEL_PixelBuffer::lumaTo8(other.data(), m_data, areaOf(s));
    onAlloc(areaOf(s));
}

CEL_PixmapMatte8::CEL_PixmapMatte8(const CEL_PixmapMatte16& other) : CEL_Pixmap(other.size()) {
    if (!other.data()) return;
    Math::Size2di s = size();
    m_data = allocCanvas<unsigned char>(s, false, "PixmapMatte8");
    setSize(s);
    if (!m_data) return;
    CEL_PixelBuffer::convert(other.data(), m_data, areaOf(s));
    onAlloc(areaOf(s));
}

CEL_PixmapMatte8::~CEL_PixmapMatte8() {
    delete[] m_data;
    onDealloc();
}

CEL_PixmapMatte8* CEL_PixmapMatte8::clone() const {
    return keepIfAllocated(new CEL_PixmapMatte8(*this), m_data != nullptr);
}

bool CEL_PixmapMatte8::convertibleTo(CelFormat format) const {
    return format == PIXMAP_RGBA16 || format == PIXMAP_RGBA8;
}

CEL_Representation* CEL_PixmapMatte8::convertTo(CelFormat format) const {
    const long long n = areaOf(size());
    if (format == PIXMAP_RGBA16) {
        auto* p = new CEL_PixmapRGBA16(size(), CEL_PixmapRGBA16::DoNotMemset());
        if (p->data() && m_data) CEL_PixelBuffer::convert(m_data, p->data(), n);
        return keepIfAllocated(p, m_data != nullptr);
    }
    if (format == PIXMAP_RGBA8) {
        auto* p = new CEL_PixmapRGBA8(size(), CEL_PixmapRGBA8::DoNotMemset());
        if (p->data() && m_data) CEL_PixelBuffer::convert(m_data, p->data(), n);
        return keepIfAllocated(p, m_data != nullptr);
    }
    return nullptr;
}

void CEL_PixmapMatte8::getImage(QImage** out) const {
    if (out) *out = new QImage(getImage());
}

QImage CEL_PixmapMatte8::getImage() const {
    return imageOf(m_data, size());
}

unsigned char* CEL_PixmapMatte8::pixel(int x, int y) {
    return pixelAt(m_data, size(), x, y);
}

const unsigned char* CEL_PixmapMatte8::pixel(int x, int y) const {
    return pixelAt(m_data, size(), x, y);
}

void CEL_PixmapMatte8::setData(unsigned char* data, int width, int height) {
    if (data != m_data) delete[] m_data; // adopting our own buffer again must not free it
    m_data = nullptr;
    onDealloc();
    Math::Size2di s = clampedSize(width, height);
    m_data = adoptCanvas(s, data);
    setSize(s);
    if (m_data) onAlloc(areaOf(s));
}

// ===========================================================================
// CEL_PixmapMatte16

CEL_PixmapMatte16::CEL_PixmapMatte16(int width, int height)
    : CEL_PixmapMatte16(Math::Size2di(width, height)) {}

CEL_PixmapMatte16::CEL_PixmapMatte16(const Math::Size2di& size)
    : CEL_Pixmap(clampedSize(size.width, size.height)) {
    Math::Size2di s = this->size();
    m_data = allocCanvas<short>(s, true, "PixmapMatte16");
    setSize(s);
    if (m_data) onAlloc(areaOf(s) * sizeof(short));
}

CEL_PixmapMatte16::CEL_PixmapMatte16(int width, int height, short* data)
    : CEL_Pixmap(clampedSize(width, height)) {
    setData(data, width, height);
}

CEL_PixmapMatte16::CEL_PixmapMatte16(const CEL_PixmapMatte16& other) : CEL_Pixmap(other) {
    if (!other.m_data) return;
    Math::Size2di s = size();
    m_data = allocCanvas<short>(s, false, "PixmapMatte16");
    setSize(s);
    if (!m_data) return;
    std::memcpy(m_data, other.m_data, size_t(areaOf(s)) * sizeof(short));
    onAlloc(areaOf(s) * sizeof(short));
}

CEL_PixmapMatte16::~CEL_PixmapMatte16() {
    delete[] m_data;
    onDealloc();
}

CEL_PixmapMatte16* CEL_PixmapMatte16::clone() const {
    return keepIfAllocated(new CEL_PixmapMatte16(*this), m_data != nullptr);
}

bool CEL_PixmapMatte16::convertibleTo(CelFormat format) const {
    return format == PIXMAP_MATTE8;
}

CEL_Representation* CEL_PixmapMatte16::convertTo(CelFormat format) const {
    if (format == PIXMAP_MATTE8) return keepIfAllocated(new CEL_PixmapMatte8(*this), m_data != nullptr);
    return nullptr;
}

short* CEL_PixmapMatte16::pixel(int x, int y) {
    return pixelAt(m_data, size(), x, y);
}

const short* CEL_PixmapMatte16::pixel(int x, int y) const {
    return pixelAt(m_data, size(), x, y);
}

void CEL_PixmapMatte16::setData(short* data, int width, int height) {
    if (data != m_data) delete[] m_data; // adopting our own buffer again must not free it
    m_data = nullptr;
    onDealloc();
    Math::Size2di s = clampedSize(width, height);
    m_data = adoptCanvas(s, data);
    setSize(s);
    if (m_data) onAlloc(areaOf(s) * sizeof(short));
}
