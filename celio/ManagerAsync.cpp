#include "celio/ManagerAsync.h"

#include <QDeadlineTimer>
#include <mutex>
#include <pthread.h>
#include <shared_mutex>
#include <utility>

#include "base/Framework.h"
#include "celio/Manager.h"
#include "celio/ManagerAsyncDetail.h"

namespace {

// A reader-writer lock that lets a waiting writer in before new readers: with
// threads queueing without pause, a lock that prefers readers (the default)
// would keep stopService() out for ever.
class LoaderLock {
public:
    LoaderLock() {
        pthread_rwlockattr_t attributes;
        pthread_rwlockattr_init(&attributes);
#if defined(__GLIBC__)
        pthread_rwlockattr_setkind_np(&attributes, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
#endif
        pthread_rwlock_init(&m_lock, &attributes);
        pthread_rwlockattr_destroy(&attributes);
    }
    ~LoaderLock() {
        pthread_rwlock_destroy(&m_lock);
    }
    LoaderLock(const LoaderLock&) = delete;
    LoaderLock& operator=(const LoaderLock&) = delete;
    void lock() {
        pthread_rwlock_wrlock(&m_lock);
    }
    void unlock() {
        pthread_rwlock_unlock(&m_lock);
    }
    void lock_shared() {
        pthread_rwlock_rdlock(&m_lock);
    }
    void unlock_shared() {
        pthread_rwlock_unlock(&m_lock);
    }

private:
    pthread_rwlock_t m_lock;
};

// The process-wide loader, null while the service is stopped. read() holds the
// lock shared while it queues (never twice on one thread), so stopService()
// (which takes the loader out under the exclusive lock before it stops
// anything) never pulls the loader from under a read.
LoaderLock g_loaderMutex;
CELIO_ManagerAsyncLoader* g_loader = nullptr;

bool isStandardInput(const QString& path) {
    return path == QLatin1String("-") && !WHO_Identity::isInteractive();
}

// Reads the request's file and fills `data` on success; false on failure (an
// exception included). Never throws.
bool readRequest(const CELIO_RequestKey& request, CELIO_ManagerAsync::CallbackData& data) {
    try {
        const CELIO_Manager* io = CELIO_Manager::getInstance();
        QDateTime modified;
        QString infoString;
        CELIO_RepresentationList list;
        if (!io->read(request.path, modified, request.context, list, &request.formatHint, &infoString))
            return false;
        if (infoString.isNull() && isStandardInput(request.path)) {
            // The manager hands on no string from standard input; the handler
            // keeps it per thread, so this thread's is the one just read.
            const CELIO_Handler* h = io->findHandler(request.formatHint.toUpper());
            QString text;
            if (h && h->getCallerInfoString(text)) infoString = text;
        }
        data.path = request.path;
        data.formatHint = request.formatHint;
        data.context = request.context;
        data.modified = modified;
        data.infoString = infoString;
        data.representations = std::move(list);
        return true;
    } catch (...) {
        return false;
    }
}

void serve(const CELIO_RequestKey& request) {
    CELIO_ManagerAsync::CallbackData data;
    if (!readRequest(request, data)) data = CELIO_ManagerAsync::CallbackData();
    try {
        (*request.callback)(data);
    } catch (...) {
        // The functor's own failure: the worker goes on with the next request.
    }
}

} // namespace

void CELIO_Thread::run() {
    // However run() ends, returning or unwound by a termination, stopService learns it here.
    struct EndSignal {
        std::binary_semaphore& ended;
        ~EndSignal() { ended.release(); }
    } endSignal{m_ended};

    // Termination is held off except at one safe point per turn: cancelling a
    // thread inside the manager's catch (...) blocks would abort the process,
    // and cancelling it inside a read or a functor would abandon locks,
    // buffers and half-written files.
    setTerminationEnabled(false);
    B3D_Framework::instance()->initThread();
    for (;;) {
        m_loader->semaphore.acquire();
        {
            CELIO_RequestKey request;
            // A worker woken by the stop takes a queued request before it sees
            // the flag, so a stop may run one more request per worker.
            if (m_loader->queue.try_pop(request) && request.callback) serve(request);
        } // the request and its share of the functor released before the safe point
        setTerminationEnabled(true); // the safe point: a pending terminate() acts here
        setTerminationEnabled(false);
        if (m_loader->stop.load(std::memory_order_acquire)) break;
    }
}

CELIO_ManagerAsync::CallbackFunctor::~CallbackFunctor() = default;

void CELIO_ManagerAsync::startService(unsigned threads) {
    std::unique_lock lock(g_loaderMutex);
    if (g_loader) return;
    auto* loader = new CELIO_ManagerAsyncLoader;
    loader->threads.reserve(threads);
    for (unsigned i = 0; i < threads; ++i) {
        auto* t = new CELIO_Thread(loader);
        loader->threads.push_back(t);
        t->start(QThread::LowPriority);
    }
    g_loader = loader;
}

void CELIO_ManagerAsync::stopService() {
    CELIO_ManagerAsyncLoader* loader = nullptr;
    {
        // The flag is set with the loader taken out: once isRunning() is false, workers see the stop.
        std::unique_lock lock(g_loaderMutex);
        loader = std::exchange(g_loader, nullptr);
        if (loader) loader->stop.store(true, std::memory_order_release);
    }
    if (!loader) return;
    if (!loader->threads.empty()) {
        loader->semaphore.release(int(loader->threads.size()));
        for (CELIO_Thread* t : loader->threads) {
            if (!t->wait(QDeadlineTimer(1000))) {
                // Acts at the worker's next safe point, after its read and functor.
                t->terminate();
                t->wait();
            }
            t->awaitEnd();
            delete t;
        }
        loader->threads.clear();
    }
    delete loader; // requests never taken die here, without a call
}

bool CELIO_ManagerAsync::isRunning() {
    std::shared_lock lock(g_loaderMutex);
    return g_loader != nullptr;
}

bool CELIO_ManagerAsync::read(const QString& path, const CEL_Context& context, const QString& formatHint,
                              const UT_SharedPtr<CallbackFunctor>& callback) {
    std::shared_lock lock(g_loaderMutex);
    CELIO_ManagerAsyncLoader* loader = g_loader;
    if (!loader) return false;
    const CELIO_Manager* io = CELIO_Manager::getInstance();
    if (formatHint.isEmpty() || !io->findHandler(formatHint)) {
        const QString extension = path.mid(path.lastIndexOf(QLatin1Char('.')) + 1).toUpper();
        if (!io->findHandler(extension)) return false;
    }
    if (loader->threads.empty()) return false;
    loader->queue.push(CELIO_RequestKey{path, context, formatHint, callback});
    loader->semaphore.release();
    return true;
}

bool CELIO_ManagerAsync::read(const QString& path, const QString& formatHint,
                              const UT_SharedPtr<CallbackFunctor>& callback) {
    return read(path, CEL_Context(), formatHint, callback);
}

bool CELIO_ManagerAsync::read(const QString& path, const UT_SharedPtr<CallbackFunctor>& callback) {
    return read(path, CEL_Context(), QString(), callback);
}
