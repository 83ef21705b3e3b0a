#include "pixel/PixmapCanvas.h"

#include <cstring>
#include <memory>
#include <type_traits>

#include "pixel/PixelBuffer.h"
#include "pixel/PixmapArea.h"

namespace {

using CEL_PixelBuffer::allocate;

Math::Size2di clampedSize(int width, int height) {
    return Math::Size2di(width < 0 ? 0 : width, height < 0 ? 0 : height);
}

Math::Size2di clampedSize(const Math::Size2di& s) {
    return clampedSize(s.width, s.height);
}

long long areaOf(const Math::Size2di& s) {
    return (long long)s.width * s.height;
}

// The tag the out-of-memory message names.
template <class P> constexpr const char* kTag = nullptr;
template <> constexpr const char* kTag<CEL_PixmapRGBA8> = "PixmapRGBA8";
template <> constexpr const char* kTag<CEL_PixmapRGBA16> = "PixmapRGBA16";
template <> constexpr const char* kTag<CEL_PixmapMatte8> = "PixmapMatte8";
template <> constexpr const char* kTag<CEL_PixmapMatte16> = "PixmapMatte16";

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

template <class T> T* pixelAt(T* data, const Math::Size2di& s, int x, int y) {
    if (!data || x < 0 || y < 0 || x >= s.width || y >= s.height) return nullptr;
    return data + (long long)y * s.width + x;
}

// Converts every row of a canvas buffer into an ARGB32 image.
template <class T> QImage imageOf(const T* data, const Math::Size2di& s) {
    if (s.width <= 0 || s.height <= 0) return QImage();
    QImage img(s.width, s.height, QImage::Format_ARGB32);
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

// A new P made from src by P's copying or converting constructor; null when
// src has pixels but the new pixmap could not get a buffer (reported).
template <class P, class S> P* convertedCopy(const S& src) {
    return keepIfAllocated(new P(src), src.data() != nullptr);
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
    for (int y = box.y1(); y < box.y2(); ++y)
        CEL_PixelBuffer::copyOrConvert(data + (long long)y * size.width + box.x1(),
                                       out + (long long)(y - box.y1()) * box.w(), box.w());
    return area.release();
}

// -- Alpha operations of the two colour kinds: one per-pixel function each,
// written once over the channel type. 8-bit channels run 0 .. 255, 16-bit
// channels are signed with full scale 32767.

template <class C> constexpr int kFull = std::is_same_v<C, uint8_t> ? 255 : 32767;
template <class C> constexpr int kLowest = std::is_same_v<C, uint8_t> ? 0 : -32767;

template <class C> C clampTo(long long v) {
    return C(v < kLowest<C> ? kLowest<C> : (v > kFull<C> ? kFull<C> : v));
}

// f(channel, alpha) on the three colour channels of each of n pixels.
template <class P, class F> void forEachColour(P* data, long long n, F f) {
    for (long long i = 0; i < n; ++i) {
        P& p = data[i];
        p.r = f(p.r, p.a);
        p.g = f(p.g, p.a);
        p.b = f(p.b, p.a);
    }
}

template <class P> void multiplyByAlpha(P* data, long long n) {
    using C = decltype(P::r);
    forEachColour(data, n, [](C c, C a) { return C(int32_t(c * (a / double(kFull<C>)) + 0.5)); });
}

template <class P> void demultiplyByAlpha(P* data, long long n) {
    using C = decltype(P::r);
    forEachColour(data, n, [](C c, C a) {
        const double s = a > 0 ? double(kFull<C>) / a : 0.0;
        return clampTo<C>(int64_t(c * s + 0.5));
    });
}

template <class P> void unmultiplyByAlpha(P* data, long long n) {
    using C = decltype(P::r);
    forEachColour(data, n, [](C c, C a) { return C(c - (kFull<C> - a)); });
}

template <class P> void clampToAlpha(P* data, long long n) {
    forEachColour(data, n, [](auto c, auto a) { return std::min(c, a); });
}

// Straight colour to colour premultiplied and laid over white.
template <class P> void premultiplyOverWhite(P* data, long long n) {
    using C = decltype(P::r);
    forEachColour(data, n, [](C c, C a) {
        return clampTo<C>((long long)(c * (a / double(kFull<C>)) + 0.5) + (kFull<C> - a));
    });
}

} // namespace

// The buffer handling every canvas kind shares: allocation under the byte
// cap, adoption, release and the byte accounting. P is the pixmap class.
template <class P> struct CEL_CanvasStore {
    using T = std::remove_pointer_t<decltype(P::m_data)>;

    // A buffer for p's current size, cleared or filled by fill(buffer, count).
    // A failed allocation has been reported and leaves p 0 x 0.
    template <class Fill> static void allocate(P& p, bool clear, Fill fill) {
        Math::Size2di s = p.size();
        p.m_data = allocCanvas<T>(s, clear, kTag<P>);
        p.setSize(s);
        if (!p.m_data) return;
        fill(p.m_data, areaOf(s));
        p.onAlloc(areaOf(s) * sizeof(T));
    }
    static void allocate(P& p, bool clear) {
        allocate(p, clear, [](T*, long long) {});
    }
    // Fills a new buffer from src, which has p's size, through fill(src, buffer,
    // count); without src p keeps its size and gets no buffer.
    template <class S, class Fill> static void copy(P& p, const S* src, Fill fill) {
        if (src) allocate(p, false, [src, fill](T* d, long long n) { fill(src, d, n); });
    }
    template <class S> static void copy(P& p, const S* src) {
        copy(p, src, [](const S* s, T* d, long long n) { CEL_PixelBuffer::copyOrConvert(s, d, n); });
    }
    static void free(P& p) {
        delete[] p.m_data;
        p.m_data = nullptr;
        p.onDealloc();
    }
    // Frees the buffer and adopts data: null data or a zero area gives 0 x 0
    // and data, if any, is deleted.
    static void adopt(P& p, T* data, int width, int height) {
        if (data != p.m_data) delete[] p.m_data; // adopting our own buffer again must not free it
        p.m_data = nullptr;
        p.onDealloc();
        const Math::Size2di s = clampedSize(width, height);
        if (!data || areaOf(s) <= 0) {
            delete[] data;
            p.setSize(Math::Size2di(0, 0));
            return;
        }
        p.m_data = data;
        p.setSize(s);
        p.onAlloc(areaOf(s) * sizeof(T));
    }
    static T* release(P& p) {
        T* data = p.m_data;
        p.m_data = nullptr;
        p.onDealloc();
        p.setSize(Math::Size2di(0, 0));
        return data;
    }
};

namespace {
using StoreRGBA8 = CEL_CanvasStore<CEL_PixmapRGBA8>;
using StoreRGBA16 = CEL_CanvasStore<CEL_PixmapRGBA16>;
using StoreMatte8 = CEL_CanvasStore<CEL_PixmapMatte8>;
using StoreMatte16 = CEL_CanvasStore<CEL_PixmapMatte16>;
} // namespace

// ===========================================================================
// CEL_PixmapRGBA8

CEL_PixmapRGBA8::CEL_PixmapRGBA8(int width, int height) : CEL_PixmapRGBA8(Math::Size2di(width, height)) {}

CEL_PixmapRGBA8::CEL_PixmapRGBA8(const Math::Size2di& size) : CEL_Pixmap(clampedSize(size)) {
    StoreRGBA8::allocate(*this, true);
}

CEL_PixmapRGBA8::CEL_PixmapRGBA8(const Math::Size2di& size, const DoNotMemset&)
    : CEL_Pixmap(clampedSize(size)) {
    StoreRGBA8::allocate(*this, false);
}

CEL_PixmapRGBA8::CEL_PixmapRGBA8(int width, int height, CEL_PixelRGBA8* data)
    : CEL_Pixmap(clampedSize(width, height)) {
    StoreRGBA8::adopt(*this, data, width, height);
}

CEL_PixmapRGBA8::CEL_PixmapRGBA8(const CEL_PixmapRGBA8& other) : CEL_Pixmap(other) {
    StoreRGBA8::copy(*this, other.m_data);
}

CEL_PixmapRGBA8::CEL_PixmapRGBA8(const CEL_PixmapRGBA16& other) : CEL_Pixmap(other.size()) {
    StoreRGBA8::copy(*this, other.data());
}

CEL_PixmapRGBA8::~CEL_PixmapRGBA8() {
    StoreRGBA8::free(*this);
}

CEL_PixmapRGBA8* CEL_PixmapRGBA8::clone() const {
    return convertedCopy<CEL_PixmapRGBA8>(*this);
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
        return convertedCopy<CEL_PixmapRGBA16>(*this);
    case PIXMAP_MATTE8:
        return convertedCopy<CEL_PixmapMatte8>(*this);
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
    multiplyByAlpha(m_data, areaOf(size()));
}

void CEL_PixmapRGBA8::demultiplyColorByAlpha() {
    demultiplyByAlpha(m_data, areaOf(size()));
}

void CEL_PixmapRGBA8::unmultiplyColorByAlpha() {
    unmultiplyByAlpha(m_data, areaOf(size()));
}

void CEL_PixmapRGBA8::clampColorToAlpha() {
    clampToAlpha(m_data, areaOf(size()));
}

void CEL_PixmapRGBA8::straightToPremultipliedWithWhite() {
    premultiplyOverWhite(m_data, areaOf(size()));
}

CEL_PixelRGBA8* CEL_PixmapRGBA8::pixel(int x, int y) {
    return pixelAt(m_data, size(), x, y);
}

const CEL_PixelRGBA8* CEL_PixmapRGBA8::pixel(int x, int y) const {
    return pixelAt(m_data, size(), x, y);
}

void CEL_PixmapRGBA8::setData(CEL_PixelRGBA8* data, int width, int height) {
    StoreRGBA8::adopt(*this, data, width, height);
}

void CEL_PixmapRGBA8::setData(unsigned int* words, int width, int height) {
    StoreRGBA8::free(*this);
    setSize(words ? clampedSize(width, height) : Math::Size2di(0, 0));
    // Bytes b, g, r, a in memory, whatever the host's word order.
    StoreRGBA8::copy(*this, reinterpret_cast<const CEL_PixelBGRA8*>(words),
                     [](const CEL_PixelBGRA8* src, CEL_PixelRGBA8* dst, long long n) {
                         for (long long i = 0; i < n; ++i) dst[i] = src[i];
                     });
}

CEL_PixelRGBA8* CEL_PixmapRGBA8::releaseData() {
    return StoreRGBA8::release(*this);
}

// ===========================================================================
// CEL_PixmapRGBA16

CEL_PixmapRGBA16::CEL_PixmapRGBA16(int width, int height) : CEL_PixmapRGBA16(Math::Size2di(width, height)) {}

CEL_PixmapRGBA16::CEL_PixmapRGBA16(const Math::Size2di& size) : CEL_Pixmap(clampedSize(size)) {
    StoreRGBA16::allocate(*this, true);
}

CEL_PixmapRGBA16::CEL_PixmapRGBA16(const Math::Size2di& size, const DoNotMemset&)
    : CEL_Pixmap(clampedSize(size)) {
    StoreRGBA16::allocate(*this, false);
}

CEL_PixmapRGBA16::CEL_PixmapRGBA16(int width, int height, CEL_PixelRGBA16* data)
    : CEL_Pixmap(clampedSize(width, height)) {
    StoreRGBA16::adopt(*this, data, width, height);
}

CEL_PixmapRGBA16::CEL_PixmapRGBA16(const CEL_PixmapRGBA16& other) : CEL_Pixmap(other) {
    StoreRGBA16::copy(*this, other.m_data);
}

CEL_PixmapRGBA16::CEL_PixmapRGBA16(const CEL_PixmapRGBA8& other) : CEL_Pixmap(other.size()) {
    StoreRGBA16::copy(*this, other.data());
}

CEL_PixmapRGBA16::~CEL_PixmapRGBA16() {
    StoreRGBA16::free(*this);
}

CEL_PixmapRGBA16* CEL_PixmapRGBA16::clone() const {
    return convertedCopy<CEL_PixmapRGBA16>(*this);
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
        return convertedCopy<CEL_PixmapRGBA8>(*this);
    case PIXMAP_MATTE8:
        return convertedCopy<CEL_PixmapMatte8>(*this);
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

void CEL_PixmapRGBA16::multiplyColorByAlpha() {
    multiplyByAlpha(m_data, areaOf(size()));
}

void CEL_PixmapRGBA16::demultiplyColorByAlpha() {
    demultiplyByAlpha(m_data, areaOf(size()));
}

void CEL_PixmapRGBA16::unmultiplyColorByAlpha() {
    unmultiplyByAlpha(m_data, areaOf(size()));
}

void CEL_PixmapRGBA16::clampColorToAlpha() {
    clampToAlpha(m_data, areaOf(size()));
}

void CEL_PixmapRGBA16::straightToPremultipliedWithWhite() {
    premultiplyOverWhite(m_data, areaOf(size()));
}

CEL_PixelRGBA16* CEL_PixmapRGBA16::pixel(int x, int y) {
    return pixelAt(m_data, size(), x, y);
}

const CEL_PixelRGBA16* CEL_PixmapRGBA16::pixel(int x, int y) const {
    return pixelAt(m_data, size(), x, y);
}

void CEL_PixmapRGBA16::setData(CEL_PixelRGBA16* data, int width, int height) {
    StoreRGBA16::adopt(*this, data, width, height);
}

CEL_PixelRGBA16* CEL_PixmapRGBA16::releaseData() {
    return StoreRGBA16::release(*this);
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

namespace {

// A colour canvas pixmap of kind P with the matte's value in every channel.
template <class P> P* spreadMatte(const unsigned char* data, const Math::Size2di& size) {
    auto* p = new P(size, typename P::DoNotMemset());
    if (p->data() && data) CEL_PixelBuffer::convert(data, p->data(), areaOf(size));
    return keepIfAllocated(p, data != nullptr);
}

} // namespace

CEL_PixmapMatte8::CEL_PixmapMatte8(int width, int height) : CEL_PixmapMatte8(Math::Size2di(width, height)) {}

CEL_PixmapMatte8::CEL_PixmapMatte8(const Math::Size2di& size) : CEL_Pixmap(clampedSize(size)) {
    StoreMatte8::allocate(*this, true);
}

CEL_PixmapMatte8::CEL_PixmapMatte8(int width, int height, unsigned char* data)
    : CEL_Pixmap(clampedSize(width, height)) {
    StoreMatte8::adopt(*this, data, width, height);
}

CEL_PixmapMatte8::CEL_PixmapMatte8(const CEL_PixmapMatte8& other) : CEL_Pixmap(other) {
    StoreMatte8::copy(*this, other.m_data);
}

CEL_PixmapMatte8::CEL_PixmapMatte8(const CEL_PixmapRGBA8& other) : CEL_Pixmap(other.size()) {
    StoreMatte8::copy(*this, other.data(),
                      [](auto src, auto dst, long long n) { CEL_PixelBuffer::luma(src, dst, n); });
}

CEL_PixmapMatte8::CEL_PixmapMatte8(const CEL_PixmapRGBA16& other) : CEL_Pixmap(other.size()) {
    StoreMatte8::copy(*this, other.data(),
                      [](auto src, auto dst, long long n) { CEL_PixelBuffer::lumaTo8(src, dst, n); });
}

CEL_PixmapMatte8::CEL_PixmapMatte8(const CEL_PixmapMatte16& other) : CEL_Pixmap(other.size()) {
    StoreMatte8::copy(*this, other.data());
}

CEL_PixmapMatte8::~CEL_PixmapMatte8() {
    StoreMatte8::free(*this);
}

CEL_PixmapMatte8* CEL_PixmapMatte8::clone() const {
    return convertedCopy<CEL_PixmapMatte8>(*this);
}

bool CEL_PixmapMatte8::convertibleTo(CelFormat format) const {
    return format == PIXMAP_RGBA16 || format == PIXMAP_RGBA8;
}

CEL_Representation* CEL_PixmapMatte8::convertTo(CelFormat format) const {
    if (format == PIXMAP_RGBA16) return spreadMatte<CEL_PixmapRGBA16>(m_data, size());
    if (format == PIXMAP_RGBA8) return spreadMatte<CEL_PixmapRGBA8>(m_data, size());
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
    StoreMatte8::adopt(*this, data, width, height);
}

// ===========================================================================
// CEL_PixmapMatte16

CEL_PixmapMatte16::CEL_PixmapMatte16(int width, int height)
    : CEL_PixmapMatte16(Math::Size2di(width, height)) {}

CEL_PixmapMatte16::CEL_PixmapMatte16(const Math::Size2di& size) : CEL_Pixmap(clampedSize(size)) {
    StoreMatte16::allocate(*this, true);
}

CEL_PixmapMatte16::CEL_PixmapMatte16(int width, int height, short* data)
    : CEL_Pixmap(clampedSize(width, height)) {
    StoreMatte16::adopt(*this, data, width, height);
}

CEL_PixmapMatte16::CEL_PixmapMatte16(const CEL_PixmapMatte16& other) : CEL_Pixmap(other) {
    StoreMatte16::copy(*this, other.m_data);
}

CEL_PixmapMatte16::~CEL_PixmapMatte16() {
    StoreMatte16::free(*this);
}

CEL_PixmapMatte16* CEL_PixmapMatte16::clone() const {
    return convertedCopy<CEL_PixmapMatte16>(*this);
}

bool CEL_PixmapMatte16::convertibleTo(CelFormat format) const {
    return format == PIXMAP_MATTE8;
}

CEL_Representation* CEL_PixmapMatte16::convertTo(CelFormat format) const {
    return format == PIXMAP_MATTE8 ? convertedCopy<CEL_PixmapMatte8>(*this) : nullptr;
}

short* CEL_PixmapMatte16::pixel(int x, int y) {
    return pixelAt(m_data, size(), x, y);
}

const short* CEL_PixmapMatte16::pixel(int x, int y) const {
    return pixelAt(m_data, size(), x, y);
}

void CEL_PixmapMatte16::setData(short* data, int width, int height) {
    StoreMatte16::adopt(*this, data, width, height);
}
