#pragma once
// CELIO_ManagerAsync: image files read in the background. A fixed pool of
// worker threads takes requests from a lock-free queue, reads each file through
// CELIO_Manager::read and calls the request's functor with the result, on the
// worker thread that did the read.
//
//   qxCelAddPixmapHandler();                        // handlers first
//   CELIO_ManagerAsync::startService(2);
//   CELIO_ManagerAsync::read("shot/0001.tga", UT_SharedPtr<Functor>(new MyFunctor));
//   ...
//   CELIO_ManagerAsync::stopService();              // before deleteCELIO_ManagerInstance()
//
// Queueing: read() returns false, and never calls the functor, while the
// service is stopped, when it runs without workers (startService(0)), and when
// no handler serves the format hint nor the text after the path's last "."
// (in upper case). A request with a null functor is queued but never read.
//
// Results: one call per request that a worker takes. A read that failed (or
// threw) gives a default CallbackData: null path, hint, date and string, a
// default context, no representations; the manager posts its own message. An
// exception thrown by the functor is dropped. infoString carries the file's
// information string when the handler's files have one (SCAN), taken on the
// worker during the read, its ending zero included.
//
// Stopping: stopService() refuses new requests at once, wakes every worker and
// waits up to 1000 ms for each; a worker still busy then is terminated, which
// takes effect only once its read and functor have returned (termination is
// held off around them, so no lock, buffer or file is abandoned halfway), and
// is waited for before it is deleted. A read that never returns therefore
// keeps stopService() waiting. Requests still queued are destroyed without a
// call, except that a worker woken by the stop takes one queued request before
// it sees the stop: a stop may run one more request per worker.
//
// Threads: read() may be called from any thread, a functor included, and may
// race with stopService() (it then either queues before the stop, or returns
// false). startService() and stopService() are called from one thread, never
// from a functor. Each worker calls B3D_Framework::instance()->initThread()
// once when it starts.

#include <QDateTime>
#include <QString>

#include "base/SharedPtr.h"
#include "cel/Context.h"
#include "celcore_export.h"
#include "celio/Handler.h"

namespace CELIO_ManagerAsync {

// What a functor receives. On failure every field keeps its default.
struct CELCORE_EXPORT CallbackData {
    QString path;                             // the requested path
    QString formatHint;                       // the request's format hint
    CEL_Context context;                      // the request's context
    QDateTime modified;                       // the file's last-modification time (UTC)
    QString infoString;                       // a SCAN file's information string, else null
    CELIO_RepresentationList representations; // what the handler produced
};

// The receiver of one request's result; the application derives from it. The
// request shares ownership: a functor may outlive or die with its request.
class CELCORE_EXPORT CallbackFunctor : public UT_ShareBaseSafe {
public:
    ~CallbackFunctor() override;
    // Called once, on a worker thread, with the result of the read.
    virtual void operator()(CallbackData& data) = 0;
};

// Starts `threads` workers at low priority; nothing when the service runs. With
// 0 the service runs but queues nothing.
CELCORE_EXPORT void startService(unsigned threads);
// Stops the workers and drops the requests still queued (see above). Nothing
// when the service is stopped.
CELCORE_EXPORT void stopService();
// Whether the service runs (started and not stopped).
CELCORE_EXPORT bool isRunning();

// Queues a request; true when it was queued (see above).
CELCORE_EXPORT bool read(const QString& path, const CEL_Context& context, const QString& formatHint,
                         const UT_SharedPtr<CallbackFunctor>& callback);
CELCORE_EXPORT bool read(const QString& path, const QString& formatHint,
                         const UT_SharedPtr<CallbackFunctor>& callback);
CELCORE_EXPORT bool read(const QString& path, const UT_SharedPtr<CallbackFunctor>& callback);

} // namespace CELIO_ManagerAsync

// One queued request (copyable).
struct CELCORE_EXPORT CELIO_RequestKey {
    QString path;
    CEL_Context context;
    QString formatHint;
    UT_SharedPtr<CELIO_ManagerAsync::CallbackFunctor> callback;
};
