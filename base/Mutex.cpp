#include "base/Mutex.h"

std::shared_mutex& PL_AppLock::paletteMutex() {
    static std::shared_mutex m;
    return m;
}
