#include "celio/Manager.h"

#include <QFile>
#include <QFileInfo>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>

#include "base/BitmapSystem.h"
#include "base/Message.h"
#include "base/Platform.h"
#include "cel/Context.h"
#include "celio/BitmapEngine.h"
#include "celio/LayerInfo.h"
#include "celio/MemoryFile.h"

namespace {

std::atomic<CELIO_Manager*> g_instance{nullptr};
std::mutex g_instanceMutex;

// base = before the last '.', extension = after it in upper case. Without a
// dot both sides are the whole path.
struct SplitPath {
    QString base;
    QString extension;
};

SplitPath splitPath(const QString& path) {
    const qsizetype dot = path.lastIndexOf(QLatin1Char('.'));
    if (dot < 0) return {path, path.toUpper()};
    return {path.left(dot), path.mid(dot + 1).toUpper()};
}

// The file's last-modification time, as a UTC date-time. A local-time value
// would consult the C library's time-zone state on every read, which readers on
// several threads contend on; callers convert for display when they need to.
QDateTime modificationTime(const QString& path) {
    std::error_code error;
    const auto stamp = std::filesystem::last_write_time(QFile::encodeName(path).toStdString(), error);
    if (error) return QDateTime();
    const auto sys = std::chrono::file_clock::to_sys(stamp);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(sys.time_since_epoch()).count();
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC);
}

bool isStandardInput(const QString& path) {
    return path == QLatin1String("-") && !WHO_Identity::isInteractive();
}

} // namespace

struct CELIO_Manager::Impl {
    std::vector<CELIO_Handler*> handlers;             // registration order, owned
    std::map<QString, CELIO_Handler*> extensionTable; // case-sensitive keys

    CELIO_Handler* lookup(const QString& key) const {
        const auto it = extensionTable.find(key);
        if (it != extensionTable.end()) return it->second;
        for (CELIO_Handler* h : handlers)
            for (const QString& e : h->getExtensions())
                if (e.compare(key, Qt::CaseInsensitive) == 0) return h;
        return nullptr;
    }

    // The header queries share their path handling: the file as named, else the
    // name with the upper-case extension. `query` runs the handler's query on a path.
    template <class Query>
    CELIO_State queryFile(const QString& path, QDateTime& modified, const Query& query) const {
        const QString remapped = oswRemapPath::RemapPath2(path);
        const SplitPath split = splitPath(path);
        CELIO_Handler* h = lookup(split.extension);
        if (!h) return CELIO_STATE_UNSUPPORTED;
        QString name = path;
        QString file = remapped;
        if (!QFileInfo::exists(file)) {
            name = split.base + QLatin1Char('.') + split.extension;
            file = oswRemapPath::RemapPath2(name);
            if (!QFileInfo::exists(file)) return CELIO_STATE_FAILED;
        }
        modified = modificationTime(file);
        // A header that ends early may surface as the byte source's int
        // exception; an unreadable header is a failed query, never a crash.
        try {
            return query(*h, name);
        } catch (...) {
            return CELIO_STATE_FAILED;
        }
    }
};

CELIO_Manager* CELIO_Manager::getInstance() {
    CELIO_Manager* m = g_instance.load(std::memory_order_acquire);
    if (m) return m;
    std::lock_guard lock(g_instanceMutex);
    m = g_instance.load(std::memory_order_relaxed);
    if (!m) {
        m = new CELIO_Manager;
        g_instance.store(m, std::memory_order_release);
    }
    return m;
}

void deleteCELIO_ManagerInstance() {
    std::lock_guard lock(g_instanceMutex);
    delete g_instance.exchange(nullptr, std::memory_order_acq_rel);
}

CELIO_Manager::CELIO_Manager() : m_impl(new Impl) {
    // The bitmap system owns the engine from now on; an engine it held before
    // comes back to us to delete.
    delete BM_System::Initialize(m_impl, new CELIO_BitmapEngine);
}

CELIO_Manager::~CELIO_Manager() {
    BM_System::Delete(m_impl);
    for (CELIO_Handler* h : m_impl->handlers) delete h;
    m_impl->extensionTable.clear();
    m_impl->handlers.clear();
    delete m_impl;
}

void CELIO_Manager::addHandler(CELIO_Handler* h) {
    if (!h) return;
    m_impl->handlers.push_back(h);
    for (const QString& e : h->getExtensions()) {
        m_impl->extensionTable[e] = h;
        m_impl->extensionTable[e.toLower()] = h;
        m_impl->extensionTable[e.toUpper()] = h;
    }
}

const CELIO_Handler* CELIO_Manager::findHandler(const QString& extension) const {
    return m_impl->lookup(extension);
}

std::vector<const CELIO_Handler*> CELIO_Manager::handlers() const {
    return {m_impl->handlers.begin(), m_impl->handlers.end()};
}

QString CELIO_Manager::getExtension(const QString& code) const {
    for (const CELIO_Handler* h : m_impl->handlers) {
        QStringList names = h->getWriteOptionCodes();
        if (names.isEmpty()) names = h->getExtensions();
        if (names.contains(code, Qt::CaseInsensitive)) {
            const QStringList extensions = h->getExtensions();
            return extensions.isEmpty() ? QString() : extensions.front().toLower();
        }
    }
    return QString();
}

QStringList CELIO_Manager::getExtensions() const {
    QStringList all;
    for (const CELIO_Handler* h : m_impl->handlers) all += h->getExtensions();
    return all;
}

QStringList CELIO_Manager::getWriteExtensions() const {
    QStringList all;
    for (const CELIO_Handler* h : m_impl->handlers) all += h->getWriteExtensions();
    return all;
}

QStringList CELIO_Manager::getWriteOptionCodes() const {
    QStringList all;
    for (const CELIO_Handler* h : m_impl->handlers) all += h->getWriteOptionCodes();
    return all;
}

void CELIO_Manager::getWriteOptions(const QString& extension, CELIO_WriteOptions& options) const {
    if (const CELIO_Handler* h = m_impl->lookup(extension)) h->getWriteOptions(options);
}

QString CELIO_Manager::getWriteOptionsCode(const QString& extension,
                                           const CELIO_WriteOptions& options) const {
    const CELIO_Handler* h = m_impl->lookup(extension);
    return h ? h->getWriteOptionsCode(options) : QString();
}

CELIO_State CELIO_Manager::loadInfo(const QString& path, QDateTime& modified, const CEL_Context& context,
                                    CELIO_Info& info) const {
    return m_impl->queryFile(path, modified, [&](const CELIO_Handler& h, const QString& name) {
        return h.readInfo(name, context, info);
    });
}

CELIO_State CELIO_Manager::loadLayerInfo(const QString& path, QDateTime& modified,
                                         CELIO_LayerInfo& layers) const {
    return m_impl->queryFile(path, modified, [&](const CELIO_Handler& h, const QString& name) {
        return h.readLayerInfo(name, layers);
    });
}

bool CELIO_Manager::read(const QString& path, QDateTime& modified, const CEL_Context& context,
                         CELIO_RepresentationList& list, const QString* formatHint,
                         QString* infoString) const {
    if (isStandardInput(path) && formatHint && !formatHint->isEmpty()) {
        const CELIO_Handler* h = m_impl->lookup(formatHint->toUpper());
        if (!h) return false;
        try {
            return h->read(path, context, list);
        } catch (...) {
            MSG_Scope("CELIO_Manager", "could not read %1 from interactive", 2).arg(path).post(10);
            return false;
        }
    }

    const QString remapped = oswRemapPath::RemapPath2(path);
    const SplitPath split = splitPath(path);
    if (!QFileInfo::exists(remapped)) {
        MSG_Scope("CELIO_Manager", "file does not exists (%1)", 5).arg(path).post();
        return false;
    }
    modified = modificationTime(remapped);

    const CELIO_Handler* h = m_impl->lookup(split.extension);
    if (!h) return false;
    // A file named with a lower-case extension may have been stored under the
    // upper-case one (or the other way round) on a case-sensitive file system.
    bool ok = h->read(path, context, list);
    if (!ok) ok = h->read(split.base + QLatin1Char('.') + split.extension, context, list);
    if (!ok) {
        MSG_Scope("CELIO_Manager", "unable to read %1", 2).arg(path).post(10);
        return false;
    }
    if (infoString) {
        QString text;
        if (h->getCallerInfoString(text)) *infoString = text;
    }
    return true;
}

bool CELIO_Manager::read(const QString& path, QDateTime& modified, CELIO_RepresentationList& list,
                         const QString* formatHint, QString* infoString) const {
    try {
        return read(path, modified, CEL_Context(), list, formatHint, infoString);
    } catch (...) {
        MSG_Scope("CELIO_Manager", "Could not complete reading from file: %1\n", 2).arg(path).post(10);
        return false;
    }
}

bool CELIO_Manager::read(const CELIO_MemoryFile& file, const CEL_Context& context,
                         CELIO_RepresentationList& list) const {
    const CELIO_Handler* h = m_impl->lookup(file.extension());
    if (!h) return false;
    bool ok = false;
    try {
        const CELIO_State state = h->readMemory(file, context, list);
        if (state == CELIO_STATE_UNSUPPORTED) {
            const QString path = file.path();
            ok = !path.isEmpty() && h->read(path, context, list);
        } else {
            ok = state == CELIO_STATE_OK;
        }
    } catch (...) {
        MSG_Scope("CELIO_Manager", "Could not complete reading from file: %1\n", 2).arg(file.name()).post(10);
        return false;
    }
    if (!ok) MSG_Scope("CELIO_Manager", "unable to read %1", 2).arg(file.name()).post(10);
    return ok;
}

CELIO_State CELIO_Manager::loadInfo(const CELIO_MemoryFile& file, const CEL_Context& context,
                                    CELIO_Info& info) const {
    const CELIO_Handler* h = m_impl->lookup(file.extension());
    if (!h) return CELIO_STATE_UNSUPPORTED;
    try {
        const CELIO_State state = h->readInfoMemory(file, context, info);
        if (state != CELIO_STATE_UNSUPPORTED) return state;
        const QString path = file.path();
        return path.isEmpty() ? CELIO_STATE_FAILED : h->readInfo(path, context, info);
    } catch (...) {
        return CELIO_STATE_FAILED;
    }
}

CELIO_State CELIO_Manager::loadLayerInfo(const CELIO_MemoryFile& file, CELIO_LayerInfo& layers) const {
    const CELIO_Handler* h = m_impl->lookup(file.extension());
    if (!h) return CELIO_STATE_UNSUPPORTED;
    try {
        const QString path = file.path();
        return path.isEmpty() ? CELIO_STATE_FAILED : h->readLayerInfo(path, layers);
    } catch (...) {
        return CELIO_STATE_FAILED;
    }
}

bool CELIO_Manager::write(CEL_Cel* cel, const QString& path, const QString& format, const QString& code,
                          const QString& infoString) const {
    CELIO_Handler* h = m_impl->lookup(format);
    if (!h) return false;
    const QString shape = code.isEmpty() ? h->getExtensions().value(0) : code;
    h->setCallerInfoString(infoString);
    return h->write(cel, path, shape);
}

bool CELIO_Manager::writeCombined(CEL_Cel* first, CEL_Cel* second, const QString& path, const QString& format,
                                  const QString& code, bool secondFieldFirst) const {
    const CELIO_Handler* h = m_impl->lookup(format);
    if (!h) return false;
    const QString shape = code.isEmpty() ? h->getWriteOptionCodes().value(0) : code;
    return h->writeCombined(first, second, path, shape, secondFieldFirst);
}

bool CELIO_Manager::writeWithLayers(CELIO_LayerInfo& layers, const QString& path, const QString& format,
                                    const QString& code, const QString&) const {
    const CELIO_Handler* h = m_impl->lookup(format);
    if (!h) return false;
    const QString shape = code.isEmpty() ? h->getWriteOptionCodes().value(0) : code;
    return h->writeWithLayers(layers, path, shape);
}

bool CELIO_Manager::convert(const CEL_Cel* cel, const CELIO_ConvertOptions& options,
                            CELIO_RepresentationList& list) const {
    if (!cel) return false;
    const CELIO_Handler* h = m_impl->lookup(options.fileType().toUpper());
    if (!h) return false;
    try {
        return h->convert(cel, options, list);
    } catch (...) {
        return false;
    }
}
