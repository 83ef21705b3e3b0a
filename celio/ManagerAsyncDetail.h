#pragma once
// The background loader's service object and its worker threads
// (celio/ManagerAsync.h has the contract).

#include <QThread>
#include <atomic>
#include <memory>
#include <semaphore>
#include <vector>

// Qt's `emit` keyword is a macro; oneTBB names a function so.
#pragma push_macro("emit")
#undef emit
#include <tbb/cache_aligned_allocator.h>
#include <tbb/concurrent_queue.h>
#pragma pop_macro("emit")

#include "base/Platform.h"
#include "celio/ManagerAsync.h"

class CELIO_Thread;

// The queue's pages come from oneTBB's cache-aligned allocator, except under
// the thread sanitizer: the distribution's oneTBB hands out memory the
// sanitizer does not see freed and reused, so a page recycled between a pop
// and a push would look like a race.
#if defined(__SANITIZE_THREAD__)
#define CELIO_QUEUE_PLAIN_ALLOCATOR 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define CELIO_QUEUE_PLAIN_ALLOCATOR 1
#endif
#endif
#if defined(CELIO_QUEUE_PLAIN_ALLOCATOR)
using CELIO_RequestAllocator = std::allocator<CELIO_RequestKey>;
#else
using CELIO_RequestAllocator = tbb::cache_aligned_allocator<CELIO_RequestKey>;
#endif

// One per process while the service runs. Each queued request released the
// semaphore once; each worker acquires it once per turn of its loop.
class CELIO_ManagerAsyncLoader {
public:
    CELIO_ManagerAsyncLoader() = default;
    CELIO_ManagerAsyncLoader(const CELIO_ManagerAsyncLoader&) = delete;
    CELIO_ManagerAsyncLoader& operator=(const CELIO_ManagerAsyncLoader&) = delete;

    QXSema semaphore{0};
    tbb::concurrent_queue<CELIO_RequestKey, CELIO_RequestAllocator> queue;
    std::vector<CELIO_Thread*> threads; // started and deleted by the service's controlling thread
    std::atomic<bool> stop{false};
};

// A worker: run() is the loop that takes, reads and answers requests.
class CELIO_Thread final : public QThread {
public:
    explicit CELIO_Thread(CELIO_ManagerAsyncLoader* loader) : m_loader(loader) {}

    // Returns once run() has ended, by returning or by termination; call after
    // QThread::wait succeeded. QThread::wait synchronises through Qt's own
    // (uninstrumented) locks, which a thread sanitizer cannot see: this
    // semaphore, released as run() ends, is what orders the worker's last
    // accesses before the thread object is deleted.
    void awaitEnd() { m_ended.acquire(); }

protected:
    void run() override;

private:
    CELIO_ManagerAsyncLoader* const m_loader;
    std::binary_semaphore m_ended{0};
};
