#pragma once
// The graphics library's bitmap system, reduced to what this library uses: the
// host registers one engine object that loads, saves and stores bitmaps, and the
// bitmap system keeps it until its owner takes it back.
//
// The engine's operations (what it does is the engine's own business; the
// library's engine is CELIO_BitmapEngine):
//   load(stored, flags)            a bitmap from bytes kept in memory, or null
//   load(file, flags)              a bitmap from a file, or null
//   save(file, bitmap, format, code)  the bitmap as a file of that format and code
//   store(bitmap, quality, stored) the bitmap as bytes kept in memory
//   saveToPSD / saveToTGA / saveToPNG  the bitmap as a file of that family
// Bitmaps returned by load are new, owned by the caller (delete, or hold them
// in a UT_SharedPtr). Failures are null or false.
//
// Ownership: after Initialize the system owns the engine; Initialize hands back
// the engine it replaces (the caller deletes it) and Delete deletes the engine
// of the owner that registered it. All operations are thread-safe.

#include "celcore_export.h"

class BM_Bitmap;
class BM_StoredBitmap;
class PL_FileSpec;

class CELCORE_EXPORT BM_SystemEngineI {
public:
    BM_SystemEngineI() = default;
    BM_SystemEngineI(const BM_SystemEngineI&) = delete;
    BM_SystemEngineI& operator=(const BM_SystemEngineI&) = delete;
    virtual ~BM_SystemEngineI();

    virtual BM_Bitmap* load(const BM_StoredBitmap& stored, unsigned flags) const = 0;
    virtual BM_Bitmap* load(const PL_FileSpec& file, unsigned flags) const = 0;
    virtual bool save(const PL_FileSpec& file, const BM_Bitmap& bitmap, const char* format,
                      const char* code) const = 0;
    virtual bool store(const BM_Bitmap& bitmap, unsigned quality, BM_StoredBitmap& stored) const = 0;
    virtual bool saveToPSD(const PL_FileSpec& file, const BM_Bitmap& bitmap) const = 0;
    virtual bool saveToTGA(const PL_FileSpec& file, const BM_Bitmap& bitmap) const = 0;
    virtual bool saveToPNG(const PL_FileSpec& file, const BM_Bitmap& bitmap) const = 0;
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
