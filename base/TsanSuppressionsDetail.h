#pragma once
// The thread sanitizer's suppressions for programs of this project that start
// QThreads (the background loader's workers). Include in the one source file
// that holds main(); nothing in other builds.
//
// QThread signals a thread's end through Qt's own locks, which are not
// instrumented: the sanitizer sees the condition variable's broadcast on the
// ending thread race with its destruction where the QThread is deleted (both
// calls are intercepted, the lock between them is not). Only those two are
// suppressed, never the whole of Qt (every worker's stack starts there); the
// loader's own state is ordered by the end semaphore of CELIO_Thread.

#if defined(__SANITIZE_THREAD__)
#define CELCORE_TSAN_SUPPRESSIONS 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define CELCORE_TSAN_SUPPRESSIONS 1
#endif
#endif

#if defined(CELCORE_TSAN_SUPPRESSIONS)
extern "C" const char* __tsan_default_suppressions() {
    // Qt Gui hands large image work to Qt's pooled threads through the same
    // uninstrumented locks: a task or buffer allocated on the calling thread and
    // freed on the pooled one looks like a race when both stacks are Qt's own.
    return "race:QWaitCondition\n"
           "race:libQt6Gui.so\n"
           "race:QRunnable\n"
           "race:QThreadPool\n";
}
#endif
