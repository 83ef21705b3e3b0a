#pragma once
// The graphics library's bitmap system, reduced to what this library uses: the
// host registers one engine object that loads, saves and stores bitmaps, and the
// bitmap system keeps it until its owner takes it back.
//
// Ownership: after Initialize the system owns the engine; Initialize hands back
// the engine it replaces (the caller deletes it) and Delete deletes the engine
// of the owner that registered it. All operations are thread-safe.

#include "celcore_export.h"

class CELCORE_EXPORT BM_SystemEngineI {
public:
    BM_SystemEngineI() = default;
    BM_SystemEngineI(const BM_SystemEngineI&) = delete;
    BM_SystemEngineI& operator=(const BM_SystemEngineI&) = delete;
    virtual ~BM_SystemEngineI();
};

class CELCORE_EXPORT BM_System {
public:
    // Makes `engine` the current engine on behalf of `owner` (an opaque identity).
    // Returns the engine it replaces, or null; the caller deletes it.
    static BM_SystemEngineI* Initialize(const void* owner, BM_SystemEngineI* engine);
    // Deletes the current engine when `owner` registered it; otherwise nothing.
    static void Delete(const void* owner);
    // The current engine (not owned by the caller), or null.
    static BM_SystemEngineI* engine();
};
