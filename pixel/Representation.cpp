#include "pixel/Representation.h"

#include <QtGlobal>
#include <atomic>
#include <cstdlib>
#include <sys/mman.h>
#include <unistd.h>

#include "base/Message.h"
#include "pixel/PixelBuffer.h"

// ---------------------------------------------------------------------------
// CEL_Representation

CEL_Representation::~CEL_Representation() = default;

CEL_Representation* CEL_Representation::clone(const Math::Box2di&) const {
    return nullptr;
}

unsigned long long CEL_Representation::allocatedSize() const {
    return 0;
}

void CEL_Representation::getImage(QImage**) const {}

QImage CEL_Representation::getImage() const {
    return QImage();
}

Math::Box2di CEL_Representation::canvasRect() const {
    return Math::Box2di();
}

// ---------------------------------------------------------------------------
// CEL_PixmapAllocationCounter

namespace {
std::atomic<unsigned long long> g_allocatedTotal{0};
}

void CEL_PixmapAllocationCounter::add(unsigned long long bytes) {
    g_allocatedTotal.fetch_add(bytes, std::memory_order_relaxed);
}

void CEL_PixmapAllocationCounter::substract(unsigned long long bytes) {
    g_allocatedTotal.fetch_sub(bytes, std::memory_order_relaxed);
}

unsigned long long CEL_PixmapAllocationCounter::allocatedSizeTotal() {
    return g_allocatedTotal.load(std::memory_order_relaxed);
}

// ---------------------------------------------------------------------------
// The per-buffer byte cap

namespace {

unsigned long long physicalMemoryBytes() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0) return ~0ull;
    unsigned long long bytes = 0;
    if (__builtin_mul_overflow((unsigned long long)pages, (unsigned long long)pageSize, &bytes)) return ~0ull;
    return bytes;
}

// The cap a process starts with: the environment's value when it is a
// positive number, else the physical memory.
unsigned long long defaultMaxPixmapBytes() {
    static const unsigned long long value = [] {
        if (const char* env = std::getenv("CELCORE_MAX_PIXMAP_BYTES")) {
            char* end = nullptr;
            const unsigned long long v = std::strtoull(env, &end, 10);
            if (end != env && *end == '\0' && v > 0) return v;
        }
        return physicalMemoryBytes();
    }();
    return value;
}

// 0 means "not set by the host".
std::atomic<unsigned long long> g_maxPixmapBytes{0};

} // namespace

bool CEL_PixelBuffer::withinLimit(unsigned long long bytes) {
    return bytes <= CEL_Pixmap::maxPixmapBytes();
}

void CEL_PixelBuffer::adviseLargeBuffer(void* p, unsigned long long bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    // Only whole 2 MiB blocks inside the buffer; below 8 MiB it is not worth a call.
    constexpr unsigned long long kHuge = 2ull << 20;
    if (bytes < 4 * kHuge) return;
    const uintptr_t begin = (uintptr_t(p) + kHuge - 1) & ~uintptr_t(kHuge - 1);
    const uintptr_t end = (uintptr_t(p) + bytes) & ~uintptr_t(kHuge - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)p;
    (void)bytes;
#endif
}

void CEL_PixelBuffer::postOutOfMemory(long long width, long long height, const char* tag) {
    MSG_Scope msg("CEL_Util", "Out of memory: cel %3 (w: %1 h: %2) ", 2);
    msg.arg(width).arg(height).arg(tag);
    msg.post(9);
}

// ---------------------------------------------------------------------------
// CEL_Pixmap

CEL_Pixmap::AllocationRectPolicy::~AllocationRectPolicy() = default;

CEL_Pixmap::CEL_Pixmap(const Math::Size2di& size) : m_size(size) {}

CEL_Pixmap::CEL_Pixmap(const CEL_Pixmap& other) : CEL_Representation(other), m_size(other.m_size) {}

CEL_Pixmap& CEL_Pixmap::operator=(const CEL_Pixmap& other) {
    CEL_Representation::operator=(other);
    m_size = other.m_size;
    m_allocatedSize = other.m_allocatedSize;
    m_allocationRectPolicy = other.m_allocationRectPolicy;
    return *this;
}

CEL_Pixmap::~CEL_Pixmap() = default;

Math::Box2di CEL_Pixmap::calcPreferredAllocatedRect(const Math::Box2di& rect) const {
    return m_allocationRectPolicy ? m_allocationRectPolicy->preferredAllocatedRect(rect) : rect;
}

Math::Box2di CEL_Pixmap::canvasRect() const {
    return Math::Box2di(0, 0, m_size.width, m_size.height);
}

void CEL_Pixmap::multiplyColorByAlpha() {
    qWarning("CEL_Pixmap::multiplyColorByAlpha not reimplemented by derived class");
}

// Both inverse operations print the same text: callers grep logs for it.
void CEL_Pixmap::demultiplyColorByAlpha() {
    qWarning("CEL_Pixmap::unmultiplyColorByAlpha not reimplemented by derived class");
}

void CEL_Pixmap::unmultiplyColorByAlpha() {
    qWarning("CEL_Pixmap::unmultiplyColorByAlpha not reimplemented by derived class");
}

void CEL_Pixmap::clampColorToAlpha() {
    qWarning("CEL_Pixmap::clampColorToAlpha not reimplemented by derived class");
}

void CEL_Pixmap::invertAlpha() {
    qWarning("CEL_Pixmap::invertAlpha not reimplemented by derived class");
}

void CEL_Pixmap::setMaxPixmapBytes(unsigned long long bytes) {
    g_maxPixmapBytes.store(bytes, std::memory_order_relaxed);
}

unsigned long long CEL_Pixmap::maxPixmapBytes() {
    const unsigned long long set = g_maxPixmapBytes.load(std::memory_order_relaxed);
    return set ? set : defaultMaxPixmapBytes();
}

void CEL_Pixmap::onAlloc(unsigned long long bytes) {
    m_allocatedSize = bytes;
    CEL_PixmapAllocationCounter::add(bytes);
}

void CEL_Pixmap::onDealloc() {
    CEL_PixmapAllocationCounter::substract(m_allocatedSize);
    m_allocatedSize = 0;
}
