#include "pixel/PixmapArea3D.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "algo/composite/CompositeDetail.h"
#include "pixel/PixelBuffer.h"
#include "pixel/PixmapArea3DDetail.h"

namespace {

using CelAlgo::detail::kFull;

constexpr CEL_Pixel3D kEmptySample{{0, 0, 0, 0}, 0.0f, 0u, 0ull};
constexpr int kMaxFlattened = 257; // the head and 256 further samples

// count empty heads (all zero), under the byte cap; null when that fails.
CEL_Pixel3D* allocateHeads(long long count) {
    unsigned long long bytes = 0;
    if (count <= 0 || !CEL_PixelBuffer::byteSize(count, sizeof(CEL_Pixel3D), bytes) ||
        !CEL_PixelBuffer::withinLimit(bytes) || bytes > (unsigned long long)PTRDIFF_MAX)
        return nullptr;
    void* p = std::calloc(std::size_t(count), sizeof(CEL_Pixel3D));
    if (p) CEL_PixelBuffer::adviseLargeBuffer(p, bytes);
    return static_cast<CEL_Pixel3D*>(p);
}

// The rows of from (allocated to fromRect) that lie in to (allocated to toRect).
void copyOverlap(const CEL_Pixel3D* from, const Math::Box2di& fromRect, CEL_Pixel3D* to,
                 const Math::Box2di& toRect) {
    const Math::Box2di common = from ? fromRect.getIntersection(toRect) : Math::Box2di();
    for (int y = common.y1(); y < common.y2(); ++y)
        std::memcpy(
            static_cast<void*>(to + (long long)(y - toRect.y1()) * toRect.w() + (common.x1() - toRect.x1())),
            from + (long long)(y - fromRect.y1()) * fromRect.w() + (common.x1() - fromRect.x1()),
            std::size_t(common.w()) * sizeof(CEL_Pixel3D));
}

Math::Size2di clampedSize(int width, int height) {
    return Math::Size2di(width < 0 ? 0 : width, height < 0 ? 0 : height);
}

inline int16_t clamp16(int v) {
    return int16_t(CelAlgo::detail::sat(v));
}

// s laid on the accumulator A (see resolveTranparencyLists).
inline void combine(CEL_PixelRGBA16& A, const CEL_PixelRGBA16& s) {
    if (s.a == kFull) {
        A = s;
    } else if (s.a == 0) {
        if (s.r != 0) A.r = clamp16(A.r + s.r);
        if (s.g != 0) A.g = clamp16(A.g + s.g);
        if (s.b != 0) A.b = clamp16(A.b + s.b);
    } else if (s.a > 0) {
        const int t = kFull - s.a;
        A.r = clamp16(((A.r * t + kFull) >> 15) + s.r);
        A.g = clamp16(((A.g * t + kFull) >> 15) + s.g);
        A.b = clamp16(((A.b * t + kFull) >> 15) + s.b);
        A.a = clamp16(((A.a * t + kFull) >> 15) + s.a);
    } else if (A.a == 0) {
        A = s;
    } else {
        // Indexes are clamped to the table: -32768 reads as -32767.
        const int k = std::min(-int(s.a), kFull);
        auto tone = [&s, k](int16_t& c, int16_t sc) {
            const double factor = sc <= 0
                                      ? AlphaConvTable::I(k) + AlphaConvTable::F(std::min(-int(sc), kFull))
                                      : AlphaConvTable::I(k) - (double(s.a) * AlphaConvTable::F(k)) / sc;
            c = clamp16(CelAlgo::detail::roundHalfUp(factor * c));
        };
        tone(A.r, s.r);
        tone(A.g, s.g);
        tone(A.b, s.b);
    }
}

// One flattened pixel: the head alone, or its list far to near.
inline CEL_PixelRGBA16 flatten(const CEL_Pixel3D& head, const std::vector<CEL_Pixel3D>& store) {
    if (head.next == 0) return head.colour;
    CEL_PixelRGBA16 list[kMaxFlattened];
    int n = 0;
    list[n++] = head.colour;
    const std::size_t size = store.size();
    for (unsigned long long cur = head.next; cur != 0 && cur < size && n < kMaxFlattened;
         cur = store[cur].next)
        list[n++] = store[cur].colour;
    CEL_PixelRGBA16 A = list[--n];
    while (n > 0) combine(A, list[--n]);
    return A;
}

} // namespace

// ===========================================================================

CEL_PixmapArea3D::CEL_PixmapArea3D(const Math::Size2di& size, const Math::Box2di& canvasRect)
    : CEL_PixmapArea(size, canvasRect) {
    initStore();
}

CEL_PixmapArea3D::CEL_PixmapArea3D(int width, int height)
    : CEL_PixmapArea(clampedSize(width, height), Math::Box2di(0, 0, width, height)) {
    initStore();
}

CEL_PixmapArea3D::CEL_PixmapArea3D(const CEL_PixmapArea3D& other)
    : CEL_PixmapArea(other), m_currentDepthBufferId(other.m_currentDepthBufferId) {
    const CEL_Pixel3D* heads = other.data();
    CEL_Pixel3D* copy = heads ? allocateHeads(allocatedArea()) : nullptr;
    bool stored = false;
    if (copy) {
        try {
            m_pixels = other.m_pixels;
            stored = true;
        } catch (const std::bad_alloc&) {
        }
    }
    if (!stored) {
        std::free(copy);
        if (heads) CEL_PixelBuffer::postOutOfMemory(allocatedWidth(), allocatedHeight(), "PixmapArea3D");
        setAllocatedRect(Math::Box2di());
        initStore();
        return;
    }
    std::memcpy(static_cast<void*>(copy), heads, std::size_t(allocatedArea()) * sizeof(CEL_Pixel3D));
    setHeads(copy, false, allocatedRect());
}

CEL_PixmapArea3D::~CEL_PixmapArea3D() {
    m_heads.reset();
    onDealloc();
}

CEL_PixmapArea3D::Heads::~Heads() {
    if (m_fromNew)
        delete[] m_data;
    else
        std::free(m_data);
}

void CEL_PixmapArea3D::setHeads(CEL_Pixel3D* heads, bool fromNew, const Math::Box2di& rect) {
    // Sharers of the old heads keep them.
    m_heads.reset(heads ? new Heads(heads, fromNew) : nullptr);
    onDealloc();
    setAllocatedRect(heads ? rect : Math::Box2di());
    if (heads) onAlloc(rect.area() * sizeof(CEL_Pixel3D));
}

void CEL_PixmapArea3D::initStore() {
    m_pixels.clear();
    // The reservation is a hint: a canvas too large for it only skips it.
    const long long want = (long long)width() + height();
    unsigned long long bytes = 0;
    if (want > 0 && CEL_PixelBuffer::byteSize(want * 4, sizeof(CEL_Pixel3D), bytes) &&
        CEL_PixelBuffer::withinLimit(bytes)) {
        try {
            m_pixels.reserve(std::size_t(want) * 4);
        } catch (const std::exception&) {
        }
    }
    m_pixels.push_back(kEmptySample); // capacity 1 is always there after reserve or not
}

CEL_PixmapArea3D* CEL_PixmapArea3D::clone() const {
    auto* c = new CEL_PixmapArea3D(*this);
    if (data() && !c->data()) {
        delete c;
        return nullptr;
    }
    return c;
}

bool CEL_PixmapArea3D::convertibleTo(CelFormat format) const {
    switch (format) {
    case PIXMAP_AREA_RGBA16:
    case PIXMAP_AREA_RGBAFLOAT:
    case PIXMAP_RGBA16:
    case PIXMAP_RGBA8:
    case PIXMAP_RGBA8_THUMBNAIL:
    case PIXMAP_AREA_ZBUF:
        return true;
    default:
        return false;
    }
}

CEL_Representation* CEL_PixmapArea3D::convertTo(CelFormat format) const {
    if (format == PIXMAP_AREA_ZBUF) {
        auto z = std::make_unique<CEL_PixmapAreaZ>(size(), canvasRect());
        if (!data()) return z.release();
        if (!z->realloc(allocatedRect(), false)) return nullptr;
        const CEL_Pixel3D* heads = data();
        CEL_PixelFloat* depth = z->data();
        float lo = FLT_MAX, hi = -FLT_MAX;
        for (long long i = 0, n = allocatedArea(); i < n; ++i) {
            if (CEL_Depth3D::isEmpty(heads[i])) {
                depth[i] = CEL_PixelFloat::Zero;
                continue;
            }
            depth[i] = heads[i].z;
            lo = std::min(lo, heads[i].z);
            hi = std::max(hi, heads[i].z);
        }
        if (lo <= hi) z->setZRange(lo, hi);
        return z.release();
    }
    if (format != PIXMAP_AREA_RGBA16 && format != PIXMAP_AREA_RGBAFLOAT && format != PIXMAP_RGBA16 &&
        format != PIXMAP_RGBA8)
        return nullptr;
    auto flat = std::make_unique<CEL_PixmapAreaRGBA16>(size(), canvasRect());
    if (data()) {
        if (!flat->realloc(allocatedRect(), false)) return nullptr;
        resolveTranparencyLists(flat.get());
    }
    if (format == PIXMAP_AREA_RGBA16) return flat.release();
    return flat->convertTo(format);
}

QImage CEL_PixmapArea3D::getImage() const {
    const std::unique_ptr<CEL_Representation> flat(convertTo(PIXMAP_AREA_RGBA16));
    return flat ? flat->getImage() : QImage();
}

void CEL_PixmapArea3D::getImage(QImage** out) const {
    if (out) *out = new QImage(getImage());
}

bool CEL_PixmapArea3D::realloc(const Math::Box2di& rect, bool keepContent) {
    const Math::Box2di r = calcPreferredAllocatedRect(rect);
    if (r == allocatedRect()) return true;
    if (reallocHeads(r, keepContent)) return true;
    CEL_PixelBuffer::postOutOfMemory(r.w(), r.h(), "PixmapArea3D");
    setHeads(nullptr, false, Math::Box2di());
    return false;
}

bool CEL_PixmapArea3D::tryRealloc(const Math::Box2di& rect) {
    const Math::Box2di r = calcPreferredAllocatedRect(rect);
    return r == allocatedRect() || reallocHeads(r, true);
}

bool CEL_PixmapArea3D::reallocHeads(const Math::Box2di& r, bool keepContent) {
    CEL_Pixel3D* p = nullptr;
    if (!r.hasNullArea()) {
        // Fresh heads are empty: keeping the content is only the overlap's copy.
        p = allocateHeads(r.area());
        if (!p) return false;
        if (keepContent) copyOverlap(data(), allocatedRect(), p, r);
    }
    setHeads(p, false, r);
    return true;
}

bool CEL_PixmapArea3D::alloc(const Math::Box2di& rect, CEL_Pixel3D* data) {
    if (!data) return realloc(rect, true);
    if (m_heads && m_heads->data() == data) {
        // Already held: only the rectangle changes.
        onDealloc();
        if (rect.hasNullArea()) {
            m_heads.reset();
            setAllocatedRect(Math::Box2di());
        } else {
            setAllocatedRect(rect);
            onAlloc(rect.area() * sizeof(CEL_Pixel3D));
        }
        return true;
    }
    if (rect.hasNullArea()) {
        delete[] data;
        data = nullptr;
    }
    setHeads(data, true, rect);
    return true;
}

CEL_Pixel3D* CEL_PixmapArea3D::pixel(int x, int y) {
    CEL_Pixel3D* heads = data();
    return heads && allocatedRect().isContaining(x, y) ? heads + pixelOffset(x, y) : nullptr;
}

const CEL_Pixel3D* CEL_PixmapArea3D::pixel(int x, int y) const {
    const CEL_Pixel3D* heads = data();
    return heads && allocatedRect().isContaining(x, y) ? heads + pixelOffset(x, y) : nullptr;
}

void CEL_PixmapArea3D::insertPixel(int x, int y, const CEL_Pixel3D& s) {
    CEL_Pixel3D* head = pixel(x, y);
    if (!head) return;
    CEL_Pixel3D sample = s;
    sample.depthBufferId = CEL_Depth3D::offsetId(s.depthBufferId, m_currentDepthBufferId);
    CEL_Depth3D::VectorStore store{m_pixels};
    try {
        CEL_Depth3D::insertSample(*head, sample, store);
    } catch (const std::bad_alloc&) {
        // Appends come before links: the list is as it was.
    }
}

void CEL_PixmapArea3D::insertPixels(int x, int y, const CEL_Pixel3D& first,
                                    const std::vector<CEL_Pixel3D>& store) {
    CEL_Pixel3D* head = pixel(x, y);
    if (!head) return;
    CEL_Depth3D::VectorStore own{m_pixels};
    try {
        CEL_Depth3D::insertList(*head, first, store, m_currentDepthBufferId, own);
    } catch (const std::bad_alloc&) {
    }
}

void CEL_PixmapArea3D::insertPixels(int x, int y, const std::vector<CEL_Pixel3D>& samples) {
    // Indexing, not iterating: samples may be this pixmap's own store.
    for (std::size_t i = 0, n = samples.size(); i < n; ++i) insertPixel(x, y, CEL_Pixel3D(samples[i]));
}

void CEL_PixmapArea3D::resolveTranparencyLists(CEL_PixmapAreaRGBA16* out) const {
    const CEL_Pixel3D* heads = data();
    if (!out || !heads || !out->data() || out->allocatedRect() != allocatedRect()) return;
    const int w = allocatedWidth();
    CEL_PixelRGBA16* dst = out->data();
    const std::vector<CEL_Pixel3D>& store = m_pixels;
    std::atomic<bool> negative{false};
    CelAlgo::detail::parallelRows(
        0, allocatedHeight(), CelAlgo::detail::rowGrain(allocatedHeight()), w, [&](int yBegin, int yEnd) {
            int sign = 0;
            for (long long i = (long long)yBegin * w, e = (long long)yEnd * w; i < e; ++i) {
                const CEL_PixelRGBA16 p = flatten(heads[i], store);
                dst[i] = p;
                sign |= p.r | p.g | p.b | p.a;
            }
            if (sign < 0) negative.store(true, std::memory_order_relaxed);
        });
    out->setAllPositive(!negative.load(std::memory_order_relaxed));
}
