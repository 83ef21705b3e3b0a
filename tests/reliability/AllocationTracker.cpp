#include "AllocationTracker.h"

#include <atomic>
#include <cstddef>
#include <malloc.h>

namespace {

std::atomic<int64_t> g_live{0}, g_peak{0}, g_base{0};
std::atomic<bool> g_active{false};

void added(int64_t n) {
    const int64_t now = g_live.fetch_add(n, std::memory_order_relaxed) + n;
    int64_t peak = g_peak.load(std::memory_order_relaxed);
    while (now > peak && !g_peak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
    }
}

void removed(int64_t n) {
    g_live.fetch_sub(n, std::memory_order_relaxed);
}

} // namespace

#if defined(CELCORE_SANITIZED)

// The sanitizers own malloc; they call these hooks on every allocation and release.
extern "C" {
int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*, size_t),
                                              void (*free_hook)(const volatile void*));
size_t __sanitizer_get_allocated_size(const volatile void* p);
}

namespace {

void onMalloc(const volatile void*, size_t size) {
    added(int64_t(size));
}
void onFree(const volatile void* p) {
    if (p) removed(int64_t(__sanitizer_get_allocated_size(p)));
}

const bool g_installed = [] {
    const bool ok = __sanitizer_install_malloc_and_free_hooks(onMalloc, onFree) != 0;
    g_active.store(ok);
    return ok;
}();

} // namespace

#else

// The malloc family of this executable, which the dynamic linker binds for the
// whole process (the library, Qt, libpng, libtiff); each call goes on to
// glibc's own. Sizes are the usable sizes, the same on the way in and out.
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);

namespace {
void* counted(void* p) {
    if (p) added(int64_t(malloc_usable_size(p)));
    return p;
}
void released(void* p) {
    if (p) removed(int64_t(malloc_usable_size(p)));
}
} // namespace

void* malloc(size_t n) {
    g_active.store(true, std::memory_order_relaxed);
    return counted(__libc_malloc(n));
}
void* calloc(size_t n, size_t size) {
    return counted(__libc_calloc(n, size));
}
void* realloc(void* p, size_t n) {
    released(p);
    void* q = __libc_realloc(p, n);
    if (!q && n) { // failed: the old block stands
        if (p) added(int64_t(malloc_usable_size(p)));
        return nullptr;
    }
    return counted(q);
}
void free(void* p) {
    released(p);
    __libc_free(p);
}
void* memalign(size_t alignment, size_t n) {
    return counted(__libc_memalign(alignment, n));
}
void* aligned_alloc(size_t alignment, size_t n) {
    return counted(__libc_memalign(alignment, n));
}
int posix_memalign(void** out, size_t alignment, size_t n) {
    void* p = counted(__libc_memalign(alignment, n));
    if (!p) return 12; // ENOMEM
    *out = p;
    return 0;
}
}

#endif

namespace celtest {

bool AllocationTracker::active() {
    return g_active.load();
}

void AllocationTracker::resetPeak() {
    const int64_t now = g_live.load();
    g_base.store(now);
    g_peak.store(now);
}

int64_t AllocationTracker::peakGrowth() {
    return g_peak.load() - g_base.load();
}

} // namespace celtest
