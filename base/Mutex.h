#pragma once
// Locks of the platform layer: a recursive mutex, a spin mutex for very short
// critical sections, and the process-wide application locks.

#include <atomic>
#include <mutex>
#include <shared_mutex>

#include "celcore_export.h"

class PL_RecursiveMutex {
public:
    void lock() { m_mutex.lock(); }
    void unlock() { m_mutex.unlock(); }
    bool tryLock() { return m_mutex.try_lock(); }

    class ScopeLock {
    public:
        explicit ScopeLock(PL_RecursiveMutex& m) : m_m(m) { m_m.lock(); }
        ~ScopeLock() { m_m.unlock(); }
        ScopeLock(const ScopeLock&) = delete;
        ScopeLock& operator=(const ScopeLock&) = delete;

    private:
        PL_RecursiveMutex& m_m;
    };

private:
    std::recursive_mutex m_mutex;
};

// A test-and-test-and-set spin lock; only for sections of a few instructions or
// for a lock held around one call that is never contended for long.
class PL_SpinMutex {
public:
    void lock() {
        for (;;) {
            if (!m_flag.exchange(true, std::memory_order_acquire)) return;
            while (m_flag.load(std::memory_order_relaxed)) m_flag.wait(true, std::memory_order_relaxed);
        }
    }
    void unlock() {
        m_flag.store(false, std::memory_order_release);
        m_flag.notify_one();
    }
    bool tryLock() { return !m_flag.exchange(true, std::memory_order_acquire); }

    class ScopeLock {
    public:
        explicit ScopeLock(PL_SpinMutex& m) : m_m(m) { m_m.lock(); }
        ~ScopeLock() { m_m.unlock(); }
        ScopeLock(const ScopeLock&) = delete;
        ScopeLock& operator=(const ScopeLock&) = delete;

    private:
        PL_SpinMutex& m_m;
    };

private:
    std::atomic<bool> m_flag{false};
};

// Process-wide application locks. The palette lock guards the shared colour
// palettes: PaletteLock is exclusive, PaletteReadLock shared.
class CELCORE_EXPORT PL_AppLock {
public:
    static std::shared_mutex& paletteMutex();

    class PaletteLock {
    public:
        PaletteLock() : m_lock(paletteMutex()) {}

    private:
        std::unique_lock<std::shared_mutex> m_lock;
    };
    class PaletteReadLock {
    public:
        PaletteReadLock() : m_lock(paletteMutex()) {}

    private:
        std::shared_lock<std::shared_mutex> m_lock;
    };
};
