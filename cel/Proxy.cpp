#include "cel/Proxy.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <chrono>
#include <condition_variable>
#include <limits>
#include <memory>
#include <thread>

#include "base/Message.h"
#include "base/Platform.h"
#include "cel/Cel.h"
#include "celio/Manager.h"
#include "celio/handlers/RawHandlers.h"
#include "pixel/PixmapArea.h"
#include "pixel/PixmapCanvas.h"

namespace {

using R = CEL_Representation;
using Lock = PL_RecursiveMutex::ScopeLock;

const char* const kContext = "CEL_CacheLocationManager";
const QLatin1String kFolderPrefix("CelCache-");
const QLatin1String kLockSuffix(".lock");
const QLatin1String kPartSuffix(".part");

void post(const char* text, int action, const QString& arg = QString()) {
    MSG_Scope msg(kContext, text, action);
    if (!arg.isNull()) msg.arg(arg);
    msg.post();
}

// Capacities are megabytes; their byte count must fit in 64 bits.
constexpr long long kMaxMegabytes = std::numeric_limits<long long>::max() >> 20;

// The raw pixmap handler that writes proxy files: the one registered for "DAT"
// when it is one, else a private instance (the layout is that handler's).
const CELIO_UioRawPixMapHandler& rawPixmapHandler() {
    static const CELIO_UioRawPixMapHandler own;
    const auto* registered = dynamic_cast<const CELIO_UioRawPixMapHandler*>(
        CELIO_Manager::getInstance()->findHandler(QStringLiteral("DAT")));
    return registered ? *registered : own;
}

// ------------------------------------------------------------------ folder locks
//
// A cache folder "CelCache-N" belongs to whoever holds an exclusive flock on
// "CelCache-N.lock" beside it. The lock file is created before the folder and
// deleted after it, while the lock is held; whoever locks a file checks that
// it is still the one under that name (it may have been deleted in between)
// and starts again otherwise.

QByteArray encoded(const QString& path) {
    return QFile::encodeName(path);
}

// The descriptor of the held lock, -1 when another holder keeps it (after a
// few short waits, so that a passing inspection does not count as a holder),
// -2 when the file cannot be opened or created.
int acquireFolderLock(const QString& lockPath, int attempts) {
    const QByteArray name = encoded(lockPath);
    for (int busy = 0, stale = 0; busy < attempts && stale < 100;) {
        const int fd = ::open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) return -2;
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            if (++busy < attempts) std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        struct stat held, named;
        if (::fstat(fd, &held) == 0 && ::stat(name.constData(), &named) == 0 && held.st_dev == named.st_dev &&
            held.st_ino == named.st_ino)
            return fd;
        ::close(fd); // deleted or replaced while we waited: lock the current one
        ++stale;
    }
    return -1;
}

// Deletes the lock file of a held lock, then releases it.
void dropFolderLock(int fd, const QString& lockPath) {
    ::unlink(encoded(lockPath).constData());
    ::close(fd);
}

// Whether someone holds the lock; a missing lock file is free.
bool isLockHeld(const QString& lockPath) {
    const int fd = ::open(encoded(lockPath).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0;
    ::close(fd);
    return held;
}

// Deletes a folder with its content, or a file in its place; true when
// nothing is left under that name.
bool clearPath(const QString& path) {
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink()) return true;
    if (info.isDir() && !info.isSymLink())
        QDir(path).removeRecursively();
    else
        QFile::remove(path);
    return !QFileInfo::exists(path) && !QFileInfo(path).isSymLink();
}

CEL_CacheLocationManager::FolderInfo folderInfo(const QFileInfo& dir) {
    CEL_CacheLocationManager::FolderInfo info;
    info.name = dir.fileName();
    info.path = dir.filePath();
    QDirIterator it(info.path, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        ++info.files;
        info.bytes += it.fileInfo().size();
        if (it.fileName().endsWith(kPartSuffix)) ++info.partFiles;
    }
    return info;
}

QFileInfoList cacheFolders(const QString& directory) {
    return QDir(oswRemapPath::RemapPath2(directory))
        .entryInfoList(QStringList{kFolderPrefix + QLatin1Char('*')},
                       QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name);
}

} // namespace

// ================================================================ CEL_Proxy

CEL_Proxy::CEL_Proxy(CelFormat sourceFormat, CEL_CacheLocationAccess* access, const Math::Size2di& size,
                     const Math::Box2di& canvasRect, const Math::Box2di& allocatedRect,
                     const CEL_ProxyManager* manager)
    : m_sourceFormat(sourceFormat), m_access(access), m_size(size), m_canvasRect(canvasRect),
      m_allocatedRect(allocatedRect), m_manager(manager) {}

CEL_Proxy::~CEL_Proxy() {
    delete m_access;
}

CEL_Representation* CEL_Proxy::clone(const Math::Box2di&) const {
    return nullptr;
}

CEL_Representation* CEL_Proxy::clone() const {
    return nullptr;
}

bool CEL_Proxy::convertibleTo(CelFormat format) const {
    return format == PIXMAP_AREA_RGBA16 || format == PIXMAP_RGBA16;
}

CEL_Representation* CEL_Proxy::convertTo(CelFormat format) const {
    if (!convertibleTo(format) || !m_access) return nullptr;
    std::unique_ptr<CEL_Pixmap> loaded(m_access->load());
    if (!loaded || loaded->getFormat() != m_sourceFormat) return nullptr;
    if (format == m_sourceFormat) return loaded.release();
    return loaded->convertTo(format);
}

unsigned long long CEL_Proxy::allocatedSize() const {
    return 0;
}

// ================================================================ CEL_CacheLocationAccess

CEL_CacheLocationAccess::CEL_CacheLocationAccess(const UT_SharedPtr<CEL_CacheLocation>& location,
                                                 long long bytes)
    : m_location(location), m_bytes(bytes) {}

CEL_CacheLocationAccess::~CEL_CacheLocationAccess() {
    // The file goes first, so the folder never holds more than is reserved.
    if (!m_filePath.isEmpty()) ::unlink(encoded(m_filePath).constData());
    m_location->release(this);
}

CEL_Pixmap* CEL_CacheLocationAccess::load() const {
    if (m_filePath.isEmpty()) return nullptr;
    CEL_Representation* rep = nullptr;
    CELIO_UioRawPixMapHandler().read(rep, m_filePath);
    auto* pixmap = dynamic_cast<CEL_Pixmap*>(rep);
    if (!pixmap) delete rep;
    return pixmap;
}

// ================================================================ CEL_CacheLocation

CEL_CacheLocation::CEL_CacheLocation(const QString& directory, long long capacityBytes, int lockFd,
                                     const QString& lockPath)
    : m_directory(directory), m_capacity(capacityBytes), m_lockFd(lockFd), m_lockPath(lockPath) {}

CEL_CacheLocation::~CEL_CacheLocation() {
    QDir(m_directory).removeRecursively();
    if (m_lockFd >= 0) dropFolderLock(m_lockFd, m_lockPath);
}

long long CEL_CacheLocation::reservedBytes() const {
    Lock lock(m_mutex);
    return m_reserved;
}

long long CEL_CacheLocation::freeBytes() const {
    Lock lock(m_mutex);
    return m_capacity - m_reserved;
}

int CEL_CacheLocation::accessCount() const {
    Lock lock(m_mutex);
    return int(m_accesses.size());
}

CEL_CacheLocationAccess* CEL_CacheLocation::reserve(long long bytes) {
    if (bytes < 0) return nullptr;
    Lock lock(m_mutex);
    if (m_capacity - m_reserved < bytes) return nullptr;
    auto* access = new CEL_CacheLocationAccess(UT_SharedPtr<CEL_CacheLocation>(this), bytes);
    m_accesses.emplace(access, bytes);
    m_reserved += bytes;
    return access;
}

void CEL_CacheLocation::release(const CEL_CacheLocationAccess* access) {
    Lock lock(m_mutex);
    auto it = m_accesses.find(access);
    if (it == m_accesses.end()) return;
    m_reserved -= it->second;
    m_accesses.erase(it);
}

// ================================================================ CEL_CacheLocationManager

CEL_CacheLocationManager::CEL_CacheLocationManager(const QString& cachePath) : m_prefix(threadPrefix()) {
    const CEL_CachePathSpec spec = parseCachePath(cachePath);
    if (!spec.useTempDir) {
        reportErrors(spec);
        createCacheLocationFromList(spec.entries);
        if (m_locations.empty())
            post("Invalid render cache path <%1>, attempting to use application temporary directory\n", 0,
                 cachePath);
    }
    if (m_locations.empty()) useTempDir();
}

CEL_CacheLocationManager::~CEL_CacheLocationManager() = default;

QString CEL_CacheLocationManager::threadPrefix() {
    return kFolderPrefix + QString::number(int32_t(uint32_t(::gettid())));
}

QString CEL_CacheLocationManager::tempDirRoot() {
    return oswUtil::getTempDir() + QStringLiteral("VellumixCelCacheTempDir");
}

CEL_CachePathSpec CEL_CacheLocationManager::parseCachePath(const QString& value) {
    CEL_CachePathSpec spec;
    spec.value = value;
    if (value.size() < 3) {
        spec.useTempDir = true;
        return spec;
    }
    static const QRegularExpression separator(QStringLiteral(" *; *"));
    static const QRegularExpression decimal(QStringLiteral("^[+-]?[0-9]+$"));
    const QStringList parts = value.split(separator);
    if (parts.isEmpty()) spec.errors << QStringLiteral("Variable is empty\n");
    for (qsizetype i = 0; i < parts.size(); i += 2) {
        const QString number = QString::number(i / 2 + 1);
        const QString& path = parts[i];
        const QString capacity = i + 1 < parts.size() ? parts[i + 1].trimmed() : QString();
        if (path.isEmpty())
            spec.errors << QStringLiteral("Path #%1 is missing").arg(number);
        else if (!QFileInfo::exists(oswRemapPath::RemapPath2(path)))
            spec.errors << QStringLiteral("Path \"%1\" does not exists").arg(path);
        bool ok = false;
        const long long megabytes = decimal.match(capacity).hasMatch() ? capacity.toLongLong(&ok) : -1;
        if (capacity.isEmpty())
            spec.errors << QStringLiteral("Capacity #%1 is missing").arg(number);
        else if (!ok || megabytes < 0 || megabytes > kMaxMegabytes)
            spec.errors << QStringLiteral("Capacity \"%1\" is invalid").arg(capacity);
        else if (!path.isEmpty())
            spec.entries.push_back({path, megabytes});
    }
    if (spec.hasErrors()) spec.entries.clear();
    return spec;
}

QString CEL_CacheLocationManager::errorMessage(const CEL_CachePathSpec& spec) {
    return spec.errors.join(QLatin1Char('\n'));
}

void CEL_CacheLocationManager::reportErrors(const CEL_CachePathSpec& spec) {
    if (spec.hasErrors())
        post("\nError(s) detected while processing QAV_CACHE_PATH environment variable:\n%1", 5,
             errorMessage(spec));
}

void CEL_CacheLocationManager::createCacheLocationFromList(const std::vector<CEL_CachePathEntry>& entries) {
    for (const CEL_CachePathEntry& entry : entries) {
        const QString directory = oswRemapPath::RemapPath2(entry.path) + QLatin1Char('/') + m_prefix;
        if (UT_SharedPtr<CEL_CacheLocation> location = createCacheLocation(directory, entry.megabytes))
            m_locations.push_back(location);
    }
}

UT_SharedPtr<CEL_CacheLocation> CEL_CacheLocationManager::createCacheLocation(const QString& directory,
                                                                              long long megabytes) {
    const QString lockPath = directory + kLockSuffix;
    const int fd = acquireFolderLock(lockPath, 10);
    if (fd == -1 || (fd >= 0 && !clearPath(directory))) {
        // Another manager's folder, or one that will not go: never ours to use.
        if (fd >= 0) dropFolderLock(fd, lockPath);
        post("\nCould not clear directory: \"%1\"\n", 5, directory);
        return {};
    }
    if (fd < 0 || !QDir().mkdir(directory)) {
        if (fd >= 0) dropFolderLock(fd, lockPath);
        post("CEL_CacheLocationManager::createCacheLocationFromList : Directory \"%1\" could not be created",
             5, directory);
        return {};
    }
    return UT_SharedPtr<CEL_CacheLocation>(new CEL_CacheLocation(directory, megabytes << 20, fd, lockPath));
}

void CEL_CacheLocationManager::useTempDir() {
    const QString root = tempDirRoot();
    QDir().mkpath(root);
    if (QFileInfo(root).isDir()) {
        if (auto location = createCacheLocation(root + QLatin1Char('/') + m_prefix, TempDirCapacityMB)) {
            m_locations.push_back(location);
            return;
        }
    }
    post("Could not use application temporary directory as render cache. Render caching is not functionnal\n",
         2);
}

CEL_CacheLocationAccess* CEL_CacheLocationManager::reserve(long long bytes) {
    for (const UT_SharedPtr<CEL_CacheLocation>& location : m_locations)
        if (CEL_CacheLocationAccess* access = location->reserve(bytes)) return access;
    return nullptr;
}

std::vector<CEL_CacheLocationManager::FolderInfo>
CEL_CacheLocationManager::inspect(const QString& directory) {
    std::vector<FolderInfo> folders;
    for (const QFileInfo& dir : cacheFolders(directory)) {
        FolderInfo info = folderInfo(dir);
        info.live = isLockHeld(info.path + kLockSuffix);
        folders.push_back(info);
    }
    return folders;
}

long long CEL_CacheLocationManager::clearStale(const QString& directory, bool dryRun,
                                               std::vector<FolderInfo>* removed) {
    long long freed = 0;
    for (const QFileInfo& dir : cacheFolders(directory)) {
        const QString lockPath = dir.filePath() + kLockSuffix;
        FolderInfo info = folderInfo(dir);
        if (dryRun) {
            if (isLockHeld(lockPath)) continue;
        } else {
            const int fd = acquireFolderLock(lockPath, 1);
            if (fd == -1) continue; // in use
            const bool cleared = clearPath(info.path);
            if (fd >= 0) dropFolderLock(fd, lockPath);
            if (!cleared) continue;
        }
        freed += info.bytes;
        if (removed) removed->push_back(info);
    }
    return freed;
}

// ================================================================ CEL_ProxyManager

struct CEL_ProxyManager::BusyTable {
    enum Operation { Writing = 0, Reading = 1 };
    PL_RecursiveMutex mutex;
    std::condition_variable_any changed;
    std::map<const CEL_Cel*, int> cels;
};

// Registers a cel for one operation and removes it again.
class CEL_ProxyManager::BusyScope {
public:
    BusyScope(BusyTable& table, const CEL_Cel* cel, int operation, bool wait) : m_table(table), m_cel(cel) {
        std::unique_lock<PL_RecursiveMutex> lock(table.mutex);
        if (!wait && table.cels.count(cel)) return;
        table.changed.wait(lock, [&] { return table.cels.count(cel) == 0; });
        table.cels.emplace(cel, operation);
        m_entered = true;
    }
    ~BusyScope() {
        if (!m_entered) return;
        {
            Lock lock(m_table.mutex);
            m_table.cels.erase(m_cel);
        }
        m_table.changed.notify_all();
    }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;
    bool entered() const { return m_entered; }

private:
    BusyTable& m_table;
    const CEL_Cel* m_cel;
    bool m_entered = false;
};

CEL_ProxyManager::CEL_ProxyManager(const QString& path)
    : m_busy(new BusyTable), m_locations(new CEL_CacheLocationManager(path)) {}

CEL_ProxyManager::~CEL_ProxyManager() {
    delete m_locations;
    delete m_busy;
}

QString CEL_ProxyManager::getNextAvailableProxyFileName() {
    long long number;
    {
        Lock lock(m_busy->mutex);
        number = m_nextProxyNumber++;
    }
    return QStringLiteral("proxy-%1.dat").arg(number);
}

long long CEL_ProxyManager::getRequiredBytesOnDisk(UT_SharedPtr<CEL_Representation> rep) const {
    long long pixels = 0;
    if (const auto* area = dynamic_cast<const CEL_PixmapAreaRGBA16*>(rep.get()))
        pixels = area->allocatedRect().area();
    else if (const auto* canvas = dynamic_cast<const CEL_PixmapRGBA16*>(rep.get()))
        pixels = (long long)canvas->width() * canvas->height();
    const int header = rawPixmapHandler().getFileHeaderSize();
    if (header < 0) return -1;
    return header + pixels * 8;
}

CEL_Proxy* CEL_ProxyManager::constructProxy(UT_SharedPtr<CEL_Representation> rep,
                                            CEL_CacheLocationAccess* access) const {
    if (const auto* area = dynamic_cast<const CEL_PixmapAreaRGBA16*>(rep.get()))
        return new CEL_Proxy(R::PIXMAP_AREA_RGBA16, access, area->size(), area->canvasRect(),
                             area->allocatedRect(), this);
    if (const auto* canvas = dynamic_cast<const CEL_PixmapRGBA16*>(rep.get()))
        return new CEL_Proxy(R::PIXMAP_RGBA16, access, canvas->size(), canvas->canvasRect(),
                             canvas->canvasRect(), this);
    return nullptr;
}

bool CEL_ProxyManager::toProxy(CEL_Cel& cel) {
    BusyScope busy(*m_busy, &cel, BusyTable::Writing, false);
    if (!busy.entered()) return false;

    if (!cel.findRepresentation(R::PROXY)) {
        if (!cel.convertibleTo(R::PROXY)) return false;
        const UT_SharedPtr<CEL_Representation> rep(cel.findBestPixmapRepresentation().get());
        if (!rep || (rep->getFormat() != R::PIXMAP_AREA_RGBA16 && rep->getFormat() != R::PIXMAP_RGBA16))
            return false;
        const long long bytes = getRequiredBytesOnDisk(rep);
        if (bytes <= 0) return false;
        std::unique_ptr<CEL_CacheLocationAccess> access(m_locations->reserve(bytes));
        if (!access) return false;
        // Recorded first: should anything be left under the name, the access deletes it.
        access->setFilePath(access->location()->directory() + QLatin1Char('/') +
                            getNextAvailableProxyFileName());
        if (!rawPixmapHandler().write(rep, access->filePath(), QStringLiteral("DAT"))) return false;
        const UT_SharedPtr<CEL_Representation> proxy(constructProxy(rep, access.get()));
        if (!proxy) return false;
        access.release(); // the proxy's now
        cel.addRepresentation(proxy);
    }

    if (cel.realFormat() == R::VECTOR) {
        // The drawing stays the cel's source; only the pixels leave memory.
        for (R::CelFormat f : {R::PIXMAP_AREA_RGBA16, R::PIXMAP_AREA_RGBAFLOAT, R::PIXMAP_RGBA16,
                               R::PIXMAP_RGBA8, R::PIXMAP_MATTE8, R::PIXMAP_MATTE16,
                               R::PIXMAP_RGBA8_THUMBNAIL, R::PIXMAP_AREA_3D, R::PIXMAP_AREA_ZBUF})
            cel.removeRepresentation(f);
    } else {
        cel.keepOneRepresentation(R::PROXY);
    }
    return true;
}

bool CEL_ProxyManager::fromProxy(CEL_Cel& cel) {
    BusyScope busy(*m_busy, &cel, BusyTable::Reading, true);
    const UT_SharedPtr<CEL_Representation> rep = cel.findRepresentation(R::PROXY);
    const auto* proxy = dynamic_cast<const CEL_Proxy*>(rep.get());
    if (!proxy) return false;
    // Through the cel, which keeps one pixmap per format even when a
    // conversion on another thread loads the same file at the same time.
    return bool(cel.convertTo(proxy->sourceFormat()));
}
