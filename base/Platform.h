#pragma once
// Process-level services of the platform layer: the counting semaphore, the
// temporary directory, path remapping, the application's identity and the
// colour-recovery and batch settings. The settings are process-wide values the
// host sets once at start-up.

#include <QString>
#include <functional>
#include <semaphore>

#include "celcore_export.h"

class QXSema {
public:
    explicit QXSema(int initial = 0) : m_sem(initial) {}
    void acquire() { m_sem.acquire(); }
    bool tryAcquire() { return m_sem.try_acquire(); }
    void release(int n = 1) { m_sem.release(n); }

private:
    std::counting_semaphore<> m_sem;
};

namespace oswUtil {
// The process's temporary directory, with a trailing '/'.
CELCORE_EXPORT QString getTempDir();
} // namespace oswUtil

namespace oswRemapPath {
using RemapFunction = std::function<QString(const QString&)>;
// Identity unless the host installed a mapping.
CELCORE_EXPORT QString RemapPath2(const QString& path);
CELCORE_EXPORT void setRemapFunction(RemapFunction f); // empty: identity again
} // namespace oswRemapPath

class CELCORE_EXPORT WHO_Identity {
public:
    // True for an interactive host (the default); a batch tool sets false, which
    // lets the path "-" stand for standard input and output.
    static bool isInteractive();
    static void setInteractive(bool interactive);
};

class CELCORE_EXPORT ST_ColorRecovery {
public:
    static bool isColorRecovery();
    static bool isDelayedColorRecovery();
    static bool isUseElementPaletteList();
    static void setColorRecovery(bool);
    static void setDelayedColorRecovery(bool);
    static void setUseElementPaletteList(bool);
};

class CELCORE_EXPORT ST_BatchParams {
public:
    static bool isBatchRendering();
    static void setBatchRendering(bool);
};

// Optional features of the product. The optimised vector drawing (QVXO files)
// is on by default; with it off only the plain vector drawing handler registers.
class CELCORE_EXPORT ST_Features {
public:
    static bool isOptimizedVector();
    static void setOptimizedVector(bool);
};
