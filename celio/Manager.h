#pragma once
// CELIO_Manager: the single entry point through which an application reads,
// inspects, writes and converts image files. It owns one instance of every
// registered handler and finds the one for a file by its extension, or for an
// output by its format name, and wraps the handler calls with path remapping,
// existence checks, a retry with the upper-case extension, and messages.
//
//   qxCelAddPixmapHandler();                       // once, at start-up
//   CELIO_RepresentationList reps;
//   QDateTime modified;
//   CELIO_Manager::getInstance()->read(path, modified, CEL_Context(), reps);
//   ...
//   deleteCELIO_ManagerInstance();                 // at shutdown; deletes the handlers
//
// Lookup of an extension or format name: the exact key in the extension table
// (each registered extension is entered as given, in lower and in upper case;
// a later handler takes over an extension an earlier one listed), else the
// first handler in registration order that lists it case-insensitively.
//
// Threads: register every handler on one thread before any read. Afterwards
// the manager only reads its tables, so reads of different files may run
// concurrently (the background loader relies on it). getInstance() may be
// called from any thread; deleteCELIO_ManagerInstance() must not race with use.
//
// Messages (context "CELIO_Manager"): a missing file to read posts
// "file does not exists (%1)" (action 5); a file that the handler failed to
// read twice posts "unable to read %1" (action 2, code 10).

#include <QCoreApplication>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <vector>

#include "celcore_export.h"
#include "celio/Handler.h"

class CEL_Cel;
class CEL_Context;
class CELIO_LayerInfo;
class CELIO_MemoryFile;

class CELCORE_EXPORT CELIO_Manager {
public:
    // The instance, created on first use with an empty registry; creating it
    // registers a bitmap engine with the graphics library's bitmap system.
    static CELIO_Manager* getInstance();

    CELIO_Manager(const CELIO_Manager&) = delete;
    CELIO_Manager& operator=(const CELIO_Manager&) = delete;

    // Takes ownership of h and enters its extensions (null: nothing). Adding one
    // object twice would delete it twice: don't.
    void addHandler(CELIO_Handler* h);
    // The handler for an extension or format name (see the lookup above), or null.
    const CELIO_Handler* findHandler(const QString& extension) const;
    // Every registered handler, in registration order.
    std::vector<const CELIO_Handler*> handlers() const;

    // The lower-case main extension of the first handler that lists `code`
    // (case-insensitively) among its option codes, or among its extensions when
    // it has no codes: "TGA4" gives "tga". Null when no handler lists it.
    QString getExtension(const QString& code) const;
    // The concatenation over the handlers in registration order; a string two
    // handlers list occurs twice.
    QStringList getExtensions() const;
    QStringList getWriteExtensions() const;
    QStringList getWriteOptionCodes() const;
    // The handler's capabilities; the record is untouched when no handler serves `extension`.
    void getWriteOptions(const QString& extension, CELIO_WriteOptions& options) const;
    // The handler's code for the flags; null when no handler serves `extension`.
    QString getWriteOptionsCode(const QString& extension, const CELIO_WriteOptions& options) const;

    // Header query. CELIO_STATE_UNSUPPORTED without a handler for the extension;
    // when the file is missing, the name with its extension in upper case is
    // tried, and CELIO_STATE_FAILED returned when that is missing too. On the
    // way `modified` receives the file's last-modification time (in UTC).
    CELIO_State loadInfo(const QString& path, QDateTime& modified, const CEL_Context& context,
                         CELIO_Info& info) const;
    // The same with the handler's layer-tree query.
    CELIO_State loadLayerInfo(const QString& path, QDateTime& modified, CELIO_LayerInfo& layers) const;

    // Reads a file, appending what the handler produced to `list`. The path "-"
    // in a process that is not interactive reads standard input with the handler
    // named by *formatHint (required there). Otherwise the file must exist; its
    // extension after the last "." picks the handler; when the handler fails, the
    // name with the extension in upper case is tried once more. `modified`
    // receives the file's modification time (in UTC). When infoString is given and the
    // handler's files carry an information string, it receives the file's.
    // An exception thrown by the handler reaches the caller, except on standard input.
    bool read(const QString& path, QDateTime& modified, const CEL_Context& context,
              CELIO_RepresentationList& list, const QString* formatHint = nullptr,
              QString* infoString = nullptr) const;
    // The same with a default context; an exception from the handler is caught
    // and reported ("Could not complete reading from file: %1\n", action 2, code 10).
    bool read(const QString& path, QDateTime& modified, CELIO_RepresentationList& list,
              const QString* formatHint = nullptr, QString* infoString = nullptr) const;

    // A whole file held in memory (celio/MemoryFile.h), with the handler for the
    // extension of its name: decoded in place when the handler reads memory, else
    // through a temporary file holding the bytes. No handler: false or
    // CELIO_STATE_UNSUPPORTED. A failed read posts "unable to read %1" (action 2,
    // code 10, %1 the name); an exception thrown by the handler is caught and
    // reported ("Could not complete reading from file: %1\n", action 2, code 10)
    // or, for the header queries, gives CELIO_STATE_FAILED.
    bool read(const CELIO_MemoryFile& file, const CEL_Context& context, CELIO_RepresentationList& list) const;
    CELIO_State loadInfo(const CELIO_MemoryFile& file, const CEL_Context& context, CELIO_Info& info) const;
    CELIO_State loadLayerInfo(const CELIO_MemoryFile& file, CELIO_LayerInfo& layers) const;

    // Writes a cel with the handler for `format`. An empty code means the
    // handler's main extension (its default shape). False without a handler.
    bool write(CEL_Cel* cel, const QString& path, const QString& format, const QString& code,
               const QString& infoString = QString()) const;
    // Two fields interleaved into one image (CELIO_Handler::writeCombined). An
    // empty code means the handler's first option code.
    bool writeCombined(CEL_Cel* first, CEL_Cel* second, const QString& path, const QString& format,
                       const QString& code, bool secondFieldFirst) const;
    // A layer tree (CELIO_Handler::writeWithLayers). An empty code means the
    // handler's first option code. The last argument is not read.
    bool writeWithLayers(CELIO_LayerInfo& layers, const QString& path, const QString& format,
                         const QString& code, const QString& unused = QString()) const;
    // The handler for options.fileType() converts; false for a null cel, without
    // a handler, or when the handler throws.
    bool convert(const CEL_Cel* cel, const CELIO_ConvertOptions& options,
                 CELIO_RepresentationList& list) const;

    // Translation in the context "CELIO_Manager".
    static QString tr(const char* text, const char* disambiguation = nullptr, int n = -1) {
        return QCoreApplication::translate("CELIO_Manager", text, disambiguation, n);
    }
    static QString trUtf8(const char* text, const char* disambiguation = nullptr, int n = -1) {
        return tr(text, disambiguation, n);
    }

private:
    CELIO_Manager();
    ~CELIO_Manager();
    friend CELCORE_EXPORT void deleteCELIO_ManagerInstance();

    struct Impl;
    Impl* m_impl;
};

// Destroys the instance and every handler it owns; the next getInstance()
// starts with an empty registry.
CELCORE_EXPORT void deleteCELIO_ManagerInstance();

// Registers the raster file handlers of the library, common formats first
// (celio/handlers/HandlerRegistry.cpp). A handler class already registered is
// skipped, so a second call adds nothing.
CELCORE_EXPORT void qxCelAddPixmapHandler();
