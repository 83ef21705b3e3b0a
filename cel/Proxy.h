#pragma once
// The render cache: a cel that is not needed in memory is written to a file in
// a cache folder and keeps only a small CEL_Proxy that knows the file and the
// image's rectangles; converting the cel to a pixmap reads the file again.
//
//   CEL_ProxyManager proxies(qEnvironmentVariable("QAV_CACHE_PATH"));
//   proxies.toProxy(*cel);     // the cel now holds only its proxy
//   cel->convertTo(CEL_Representation::PIXMAP_AREA_RGBA16);  // read back from disk
//
// Cache path value (QAV_CACHE_PATH): "path1;megabytes1;path2;megabytes2..."
// with any blanks around the ";". Locations are tried in that order. A value
// shorter than 3 characters means the temporary folder. Errors (a missing or
// non-existent path, a missing, negative, non-decimal or too large capacity)
// post one message listing every problem and use no entry of the value; when
// no location results, "Invalid render cache path <%1>, ..." is posted and the
// cache falls back to <temp>/VellumixCelCacheTempDir with 2147483647 MB.
// parseCachePath() reads a value without creating anything (tools use it).
//
// On disk, each manager owns one folder per location, named "CelCache-" and
// the kernel id of the thread that created the manager (unique among live
// processes), with the proxy files "proxy-1000.dat", "proxy-1001.dat" ... in
// the raw pixmap layout (celio/handlers/RawHandlers.h). Beside each folder,
// "CelCache-N.lock" carries an exclusive flock for as long as the location
// lives:
// - at start-up a folder left behind (its lock free) is cleared and reused; a
//   folder whose lock is held, or that cannot be cleared, is dropped with
//   "Could not clear directory";
// - a file is written as "proxy-N.dat.part", closed (checked) and renamed, so
//   a crash never leaves a file that reads as valid; failures delete the part;
// - when the last user of a location is gone (the manager and every proxy made
//   in it), its folder and lock file are deleted.
// inspect() and clearStale() let tools list cache folders and remove those
// whose lock is free.
//
// Capacity: each location reserves the exact file size (56 + 8 bytes per
// pixel) before a file is written and returns it when the proxy dies, so the
// files of one location never exceed its capacity. The bound is per manager:
// N processes sharing a path may use N times the capacity there.
//
// Threads: toProxy and fromProxy may be called from any thread. toProxy never
// waits for another operation on the same cel (it returns false); fromProxy
// waits for it. Reservations are made under each location's mutex; file
// names come from one counter under the manager's mutex. No lock is held
// while a file is written.

#include <QCoreApplication>
#include <QString>
#include <QStringList>
#include <map>
#include <vector>

#include "base/Mutex.h"
#include "base/SharedPtr.h"
#include "celcore_export.h"
#include "pixel/Representation.h"

class CEL_Cel;
class CEL_Pixmap;
class CEL_CacheLocation;
class CEL_CacheLocationAccess;
class CEL_ProxyManager;

// One path and capacity pair of a cache path value.
struct CEL_CachePathEntry {
    QString path; // as written in the value
    long long megabytes = 0;
};

// A cache path value as read, without creating anything.
struct CELCORE_EXPORT CEL_CachePathSpec {
    QString value;
    bool useTempDir = false;                 // the value is shorter than 3 characters
    std::vector<CEL_CachePathEntry> entries; // in order; empty when there are errors
    QStringList errors;                      // one line per problem
    bool hasErrors() const { return !errors.isEmpty(); }
};

// A pixmap moved to a cache file.
class CELCORE_EXPORT CEL_Proxy final : public CEL_Representation {
public:
    // Takes ownership of access (deleted with the proxy, which deletes the file).
    CEL_Proxy(CelFormat sourceFormat, CEL_CacheLocationAccess* access, const Math::Size2di& size,
              const Math::Box2di& canvasRect, const Math::Box2di& allocatedRect,
              const CEL_ProxyManager* manager);
    CEL_Proxy(const CEL_Proxy&) = delete;
    CEL_Proxy& operator=(const CEL_Proxy&) = delete;
    ~CEL_Proxy() override;

    CelFormat getFormat() const override { return PROXY; }
    CEL_Representation* clone(const Math::Box2di& rect) const override; // null
    CEL_Representation* clone() const override;                         // null
    // PIXMAP_AREA_RGBA16 and PIXMAP_RGBA16.
    bool convertibleTo(CelFormat format) const override;
    // Loads the file into a new pixmap of the source format, converted to
    // `format` when that differs; null on failure.
    CEL_Representation* convertTo(CelFormat format) const override;
    unsigned long long allocatedSize() const override; // 0: nothing in memory
    Math::Box2di canvasRect() const override { return m_canvasRect; }

    CEL_CacheLocationAccess* getCacheLocationAccess() const { return m_access; }
    CelFormat sourceFormat() const { return m_sourceFormat; }
    const Math::Size2di& size() const { return m_size; }
    const Math::Box2di& allocatedRect() const { return m_allocatedRect; }
    // The manager that made it; only recorded, it may have been destroyed.
    const CEL_ProxyManager* manager() const { return m_manager; }

private:
    CelFormat m_sourceFormat;
    CEL_CacheLocationAccess* m_access;
    Math::Size2di m_size;
    Math::Box2di m_canvasRect;
    Math::Box2di m_allocatedRect;
    const CEL_ProxyManager* m_manager;
};

// One file of a location: the bytes reserved for it and, once written, its path.
class CELCORE_EXPORT CEL_CacheLocationAccess {
public:
    CEL_CacheLocationAccess(const CEL_CacheLocationAccess&) = delete;
    CEL_CacheLocationAccess& operator=(const CEL_CacheLocationAccess&) = delete;
    // Deletes the file, then returns the reserved bytes to the location.
    ~CEL_CacheLocationAccess();

    CEL_CacheLocation* location() const { return m_location.get(); }
    long long reservedBytes() const { return m_bytes; }
    const QString& filePath() const { return m_filePath; }
    void setFilePath(const QString& path) { m_filePath = path; }
    // The pixmap in the file (a new object owned by the caller), or null.
    CEL_Pixmap* load() const;

private:
    friend class CEL_CacheLocation;
    CEL_CacheLocationAccess(const UT_SharedPtr<CEL_CacheLocation>& location, long long bytes);

    UT_SharedPtr<CEL_CacheLocation> m_location;
    long long m_bytes;
    QString m_filePath;
};

// A cache folder with its capacity and the reservations of its live files.
// Made by CEL_CacheLocationManager, which hands it a folder it has prepared
// and the held lock of that folder.
class CELCORE_EXPORT CEL_CacheLocation : public UT_ShareBaseSafe {
public:
    CEL_CacheLocation(const CEL_CacheLocation&) = delete;
    CEL_CacheLocation& operator=(const CEL_CacheLocation&) = delete;
    // Deletes the folder with its content and the lock file.
    ~CEL_CacheLocation() override;

    const QString& directory() const { return m_directory; }
    long long capacity() const { return m_capacity; }
    long long reservedBytes() const;
    long long freeBytes() const;
    int accessCount() const;
    // A new access (owned by the caller) holding `bytes`, or null when the free
    // space is smaller (or bytes is negative).
    CEL_CacheLocationAccess* reserve(long long bytes);

private:
    friend class CEL_CacheLocationAccess;
    friend class CEL_CacheLocationManager;
    CEL_CacheLocation(const QString& directory, long long capacityBytes, int lockFd, const QString& lockPath);
    void release(const CEL_CacheLocationAccess* access);

    QString m_directory;
    long long m_capacity;
    std::map<const CEL_CacheLocationAccess*, long long> m_accesses;
    long long m_reserved = 0;
    mutable PL_RecursiveMutex m_mutex;
    int m_lockFd;
    QString m_lockPath;
};

class CELCORE_EXPORT CEL_CacheLocationManager {
public:
    static constexpr long long TempDirCapacityMB = 2147483647;

    // Reads the value, then prepares the locations (posting what went wrong).
    explicit CEL_CacheLocationManager(const QString& cachePath);
    CEL_CacheLocationManager(const CEL_CacheLocationManager&) = delete;
    CEL_CacheLocationManager& operator=(const CEL_CacheLocationManager&) = delete;
    ~CEL_CacheLocationManager();

    const QString& prefix() const { return m_prefix; }
    const std::vector<UT_SharedPtr<CEL_CacheLocation>>& locations() const { return m_locations; }
    // The first location, in order, with room for `bytes`; null when none has.
    CEL_CacheLocationAccess* reserve(long long bytes);

    // "CelCache-" and the low 32 bits, as a signed number, of the calling
    // thread's kernel id.
    static QString threadPrefix();
    // The value's entries and error lines. Only checks that the paths exist.
    static CEL_CachePathSpec parseCachePath(const QString& value);
    // The error lines joined, as posted.
    static QString errorMessage(const CEL_CachePathSpec& spec);
    // Posts "\nError(s) detected while processing QAV_CACHE_PATH environment
    // variable:\n%1" (action 5) when the value has errors.
    static void reportErrors(const CEL_CachePathSpec& spec);
    // <temp>/VellumixCelCacheTempDir, the folder of the fallback location.
    static QString tempDirRoot();

    // A "CelCache-*" folder as found under a cache path.
    struct FolderInfo {
        QString name;
        QString path;
        bool live = false; // its lock is held by a manager
        long long files = 0;
        long long bytes = 0;
        long long partFiles = 0; // files being written, or left by a crash
    };
    // The cache folders under `directory`, by name.
    static std::vector<FolderInfo> inspect(const QString& directory);
    // Deletes the folders under `directory` whose lock is free, with their lock
    // files (or, for a dry run, only lists them); returns the bytes freed and
    // appends the folders to *removed when given.
    static long long clearStale(const QString& directory, bool dryRun,
                                std::vector<FolderInfo>* removed = nullptr);

    static QString tr(const char* text, const char* disambiguation = nullptr, int n = -1) {
        return QCoreApplication::translate("CEL_CacheLocationManager", text, disambiguation, n);
    }

private:
    void createCacheLocationFromList(const std::vector<CEL_CachePathEntry>& entries);
    // Locks, clears and creates directory; the location or null (reported).
    UT_SharedPtr<CEL_CacheLocation> createCacheLocation(const QString& directory, long long megabytes);
    void useTempDir();

    QString m_prefix;
    std::vector<UT_SharedPtr<CEL_CacheLocation>> m_locations;
};

class CELCORE_EXPORT CEL_ProxyManager {
public:
    // `path` is the cache path value (QAV_CACHE_PATH as the host reads it).
    explicit CEL_ProxyManager(const QString& path);
    CEL_ProxyManager(const CEL_ProxyManager&) = delete;
    CEL_ProxyManager& operator=(const CEL_ProxyManager&) = delete;
    ~CEL_ProxyManager();

    // Moves the cel's 16-bit pixmap into the cache: the cel then holds only the
    // proxy (a cel drawn from a vector keeps its vector representations too).
    // A cel that already holds a proxy just drops its other representations.
    // False, with the cel unchanged, when another operation on the cel is in
    // progress, when the cel cannot be proxied (convertibleTo(PROXY)), when no
    // location has room, or when the file could not be written.
    bool toProxy(CEL_Cel& cel);
    // Loads the pixmap of the cel's proxy back into the cel (the proxy stays),
    // after waiting for another operation on the cel. True when the cel then
    // holds the proxy's source format.
    bool fromProxy(CEL_Cel& cel);

    CEL_CacheLocationManager& cacheLocationManager() { return *m_locations; }
    const CEL_CacheLocationManager& cacheLocationManager() const { return *m_locations; }

private:
    // "proxy-" + the next number (from 1000) + ".dat".
    QString getNextAvailableProxyFileName();
    // Header + 8 bytes per stored pixel; -1 without a fixed header size.
    long long getRequiredBytesOnDisk(UT_SharedPtr<CEL_Representation> rep) const;
    // A proxy describing rep (area or canvas 16-bit pixmap), owning access;
    // null for anything else (access is then not taken).
    CEL_Proxy* constructProxy(UT_SharedPtr<CEL_Representation> rep, CEL_CacheLocationAccess* access) const;

    struct BusyTable;
    class BusyScope;
    BusyTable* m_busy;
    CEL_CacheLocationManager* m_locations;
    long long m_nextProxyNumber = 1000;
};
