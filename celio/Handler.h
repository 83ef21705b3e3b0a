#pragma once
// The file-handler interface of the I/O framework and the small records that
// travel through it.
//
// One handler object serves one file family. The I/O manager (celio/Manager.h)
// owns one instance of every registered handler and picks it by extension or
// option code; applications normally never call a handler directly.
//
// Writing a handler: derive from CELIO_Handler (or from CELIO_StreamHandler for a
// decoder that reads a CELIO_InputStream, which then serves files, standard
// input and memory alike), implement the pure operations, keep the class in one
// source pair under celio/handlers/ and add one line to qxCelAddPixmapHandler()
// in celio/handlers/HandlerRegistry.cpp.
//
// Contract for implementers:
// - Handlers are stateless unless their family carries state of its own, and
//   every const operation must be safe to call from several threads at once on
//   different files: background loaders read through one instance concurrently.
// - Failure is a return value (false, null, CELIO_STATE_FAILED/UNSUPPORTED)
//   plus the message the family posts; read() appends nothing when it fails.
// - Option codes name an output shape: the family prefix, then "1" (one grey or
//   matte channel), "3" (RGB) or "4" (RGBA), with "DP" before the digit for
//   16-bit channels; the bare family name is the handler's default shape. Codes
//   compare case-insensitively (upper-case before comparing).
// - write() may let an int exception (-1 failed byte, -2 failed close) escape
//   from the output target; the manager's callers are prepared for it.

#include <QString>
#include <QStringList>
#include <cstdint>
#include <list>

#include "base/SharedPtr.h"
#include "celcore_export.h"
#include "pixel/Representation.h"

class CEL_Cel;
class CEL_Context;
class CELIO_InputStream;
class CELIO_LayerInfo;
class CELIO_MemoryFile;

// Results of the header queries. The values are stored and compared by callers.
enum CELIO_State : int {
    CELIO_STATE_OK = 0,          // the output record is filled
    CELIO_STATE_FAILED = 1,      // missing or unreadable file, or a header the handler refuses
    CELIO_STATE_UNSUPPORTED = 2, // no handler for the extension, or no such query
};

// What a read produces: the representations of one image, in the order made.
using CELIO_RepresentationList = std::list<UT_SharedPtr<CEL_Representation>>;

// The header of a file, filled by readInfo without decoding pixels.
struct CELIO_Info {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t channels = 0;        // as stored: 1 grey or matte, 3 RGB, 4 RGBA
    uint32_t bytesPerChannel = 0; // 1 or 2
    QString optionCode;           // the code whose writer reproduces this shape ("TGA4", "SGIDP3")
    QString description;          // free text about the storage ("RLE Encoded"); may be empty
};

// Output flags. getWriteOptions sets the flags a handler can honour; after a user
// has chosen among them, getWriteOptionsCode maps the choice to an option code.
struct CELIO_WriteOptions {
    bool singleChannel = false; // one grey or matte channel
    bool alpha = false;         // an alpha channel
    bool deepPixels = false;    // 16-bit channels
    bool compressed = false;    // the compressed variant
};

// A conversion request; the manager picks the handler by fileType().
class CELIO_ConvertOptions {
public:
    CELIO_ConvertOptions(int frame, const QString& options, const QString& fileType)
        : m_frame(frame), m_options(options), m_fileType(fileType) {}
    int frame() const { return m_frame; }
    const QString& options() const { return m_options; }
    const QString& fileType() const { return m_fileType; }

private:
    int m_frame;
    QString m_options;
    QString m_fileType;
};

// Format classes returned by CELIO_Handler::formatClass(): every raster handler
// answers CELIO_PixmapFormat, the vector drawing handlers CELIO_VectorFormat.
// CELIO_3dFormat is offered to applications; no handler of the library uses it.
CELCORE_EXPORT extern const UT_DynKey CELIO_PixmapFormat;
CELCORE_EXPORT extern const UT_DynKey CELIO_VectorFormat;
CELCORE_EXPORT extern const UT_DynKey CELIO_3dFormat;

class CELCORE_EXPORT CELIO_Handler {
public:
    CELIO_Handler() = default;
    CELIO_Handler(const CELIO_Handler&) = default;
    CELIO_Handler& operator=(const CELIO_Handler&) = default;
    virtual ~CELIO_Handler();

    // The extensions served, upper case, the family's main extension first.
    virtual QStringList getExtensions() const = 0;
    // The extensions written; default: getExtensions().
    virtual QStringList getWriteExtensions() const;
    // Every code write() accepts, the default first; may be empty.
    virtual QStringList getWriteOptionCodes() const = 0;
    // Sets the flags the handler can honour; default: none.
    virtual void getWriteOptions(CELIO_WriteOptions& options) const;
    // Maps chosen flags to an option code.
    virtual QString getWriteOptionsCode(const CELIO_WriteOptions& options) const = 0;

    // Decodes the file and appends what it produced; true on success.
    virtual bool read(const QString& path, const CEL_Context& context,
                      CELIO_RepresentationList& list) const = 0;
    // Writes one cel in the shape named by the code.
    virtual bool write(CEL_Cel* cel, const QString& path, const QString& code) const = 0;
    // Interleaves the rows of two cels of one size into one image and writes it:
    // rows 0, 2, 4 ... from `first`, rows 1, 3, 5 ... from `second` (the other way
    // round when secondFieldFirst). False when a cel does not convert to 16-bit
    // RGBA or the sizes differ; nothing is written then.
    virtual bool writeCombined(CEL_Cel* first, CEL_Cel* second, const QString& path, const QString& code,
                               bool secondFieldFirst) const;
    // Writes the composite of a layer tree with write(); false without a
    // composite image. Handlers that write layers (canWriteMultiLayer) override it.
    virtual bool writeWithLayers(CELIO_LayerInfo& layers, const QString& path, const QString& code) const;

    // Fills the record from the file's header.
    virtual CELIO_State readInfo(const QString& path, const CEL_Context& context, CELIO_Info& info) const = 0;
    // Fills the layer tree of a layered file; default: CELIO_STATE_UNSUPPORTED.
    virtual CELIO_State readLayerInfo(const QString& path, CELIO_LayerInfo& layers) const;

    // A whole file held in memory (celio/MemoryFile.h), with the same results
    // and messages as read() and readInfo() of a file holding those bytes:
    // CELIO_STATE_OK when read, CELIO_STATE_FAILED when not (nothing appended).
    // The defaults answer CELIO_STATE_UNSUPPORTED, and the manager then reads a
    // temporary file instead; a handler that can decode from memory overrides
    // them (CELIO_StreamHandler does for readMemory).
    virtual CELIO_State readMemory(const CELIO_MemoryFile& file, const CEL_Context& context,
                                   CELIO_RepresentationList& list) const;
    virtual CELIO_State readInfoMemory(const CELIO_MemoryFile& file, const CEL_Context& context,
                                       CELIO_Info& info) const;
    // Builds representations of a cel for another use; default: false.
    virtual bool convert(const CEL_Cel* cel, const CELIO_ConvertOptions& options,
                         CELIO_RepresentationList& list) const;
    virtual UT_DynKey formatClass() const = 0;
    // Bytes before the pixels when fixed for the family; default -1 (not fixed).
    virtual int getFileHeaderSize() const;
    // Whether writeWithLayers writes the layers themselves; default false.
    virtual bool canWriteMultiLayer() const;

    // Families whose files carry a free-text information string hand it to the
    // manager's callers: a handler that does overrides both. After a successful
    // read the manager calls getCallerInfoString() and, when it returns true,
    // passes the string on; before a write it calls setCallerInfoString(). The
    // defaults take no part (false, nothing stored).
    virtual bool getCallerInfoString(QString& out) const;
    virtual void setCallerInfoString(const QString& text);
};

// Base of handlers whose decoder reads a CELIO_InputStream. It implements the
// path-based read() for them: "-" is standard input in a process that is not
// interactive, any other path is remapped and opened as a file ("rb"); a file that cannot be
// opened gives false without a message.
//
// A derived class implements the stream read() below; to keep the path-based
// read() visible beside it, it adds `using CELIO_StreamHandler::read;`.
class CELCORE_EXPORT CELIO_StreamHandler : public CELIO_Handler {
public:
    bool read(const QString& path, const CEL_Context& context, CELIO_RepresentationList& list) const override;
    // Decodes the bytes in place through a CELIO_MemoryInputBlock (files of up to 4 GiB).
    CELIO_State readMemory(const CELIO_MemoryFile& file, const CEL_Context& context,
                           CELIO_RepresentationList& list) const override;

protected:
    // Decodes one image from the stream; null on failure. The caller owns the result.
    virtual CEL_Representation* read(CELIO_InputStream& stream) const = 0;
    // read(stream), appended to the list when not null.
    virtual bool readFromStream(CELIO_InputStream& stream, const CEL_Context& context,
                                CELIO_RepresentationList& list) const;
};
