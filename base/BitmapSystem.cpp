#include "base/BitmapSystem.h"

#include <mutex>

namespace {

std::mutex g_mutex;
const void* g_owner = nullptr;
BM_SystemEngineI* g_engine = nullptr;

} // namespace

BM_SystemEngineI::~BM_SystemEngineI() = default;

BM_SystemEngineI* BM_System::Initialize(const void* owner, BM_SystemEngineI* engine) {
    std::lock_guard lock(g_mutex);
    BM_SystemEngineI* previous = g_engine;
    g_engine = engine;
    g_owner = owner;
    return previous == engine ? nullptr : previous;
}

void BM_System::Delete(const void* owner) {
    BM_SystemEngineI* dropped = nullptr;
    {
        std::lock_guard lock(g_mutex);
        if (!g_engine || g_owner != owner) return;
        dropped = g_engine;
        g_engine = nullptr;
        g_owner = nullptr;
    }
    delete dropped;
}

BM_SystemEngineI* BM_System::engine() {
    std::lock_guard lock(g_mutex);
    return g_engine;
}
