#pragma once
// VAR and SCAN files: close relatives of OPT that carry an information string
// between the header and the pixels.
//
// Layout (big-endian): image type (4 bytes), width and height (2 bytes each),
// bits per pixel (1 byte: 8, 24 or 32; not read), 3 zero bytes; then the string
// block; then the planes as in OPT files. Types 1 (RGB) and 2 (RGBA) are
// verbatim, 3, 7 and 9 one verbatim channel, 4 (RGB), 5 (RGBA) and 6 (one
// channel) compressed; any other is refused with "unknown var type %1".
//
// String block: ">>STRLEN:", the decimal byte count n of what follows, "<<",
// then n bytes: the string in UTF-8 and one zero byte. An empty string is
// written as "Stage". Reading skips 9 bytes unchecked, reads n as a decimal
// number (white space and a sign allowed), skips 2 bytes and appends the n
// bytes, each as a Latin-1 character, the zero included. n <= 0 gives an empty
// string; a block that ends early, or has no digits, fails the read; n is
// never trusted for an allocation.
//
// The information string. Each handler keeps one per calling thread: read()
// and readInfo() replace the calling thread's string with the file's,
// write() stores the calling thread's string, setInfoString() sets it. Reads
// on several threads therefore each see their own file's string, and on one
// thread the string behaves like a single member. The I/O manager passes the
// SCAN handler's string to the caller of read() and sets it before write()
// (getCallerInfoString / setCallerInfoString); the VAR handler's string is
// reached through setInfoString() and infoString() only.
//
// Writing: VAR always writes one compressed matte channel (type 6, 8 bits per
// pixel) whatever the code. SCAN writes "SCAN32" as type 5 (RGBA, 32 bits),
// "SCAN24" as type 4 (RGB, 24 bits) and any other code as type 6 (the matte,
// 8 bits). Output, failures and exceptions are those of the OPT writer.
//
// readInfo: width, height, channels from the type table, 1 byte per channel.
// VAR: code "VAR3" for types 1 and 4, "VAR4" for 2 and 5, else "VAR";
// description "Run-length encoded\n" and four blanks before the string for
// the compressed types, else the string alone. SCAN: code "SCAN";
// description "RLE encoded, " before the string for the compressed types, else
// the string alone. The description keeps the string's zero.

#include <QString>
#include <cstdint>

#include "celio/handlers/OptHandler.h"

// The calling thread's string of one handler object.
class CELCORE_EXPORT CELIO_ThreadInfoString {
public:
    CELIO_ThreadInfoString();
    // A copy starts with the calling thread's string of the original.
    CELIO_ThreadInfoString(const CELIO_ThreadInfoString& other);
    CELIO_ThreadInfoString& operator=(const CELIO_ThreadInfoString& other);
    ~CELIO_ThreadInfoString();

    // The calling thread's string (empty until something set it).
    QString& get() const;

private:
    uint64_t m_id; // never reused, so a later object never sees an earlier one's strings
};

class CELCORE_EXPORT QXCelUioVarHandler final : public QXCelUioOptHandler {
public:
    QStringList getExtensions() const override;
    QStringList getWriteOptionCodes() const override;
    void getWriteOptions(CELIO_WriteOptions& options) const override;
    QString getWriteOptionsCode(const CELIO_WriteOptions& options) const override;
    bool read(const QString& path, const CEL_Context& context, CELIO_RepresentationList& list) const override;
    bool write(CEL_Cel* cel, const QString& path, const QString& code) const override;
    CELIO_State readInfo(const QString& path, const CEL_Context& context, CELIO_Info& info) const override;
    CELIO_State readMemory(const CELIO_MemoryFile& file, const CEL_Context& context,
                           CELIO_RepresentationList& list) const override;
    CELIO_State readInfoMemory(const CELIO_MemoryFile& file, const CEL_Context& context,
                               CELIO_Info& info) const override;

    // The calling thread's information string: set before write(), read after
    // read() or readInfo(). Const: the string is not the handler's shared state.
    void setInfoString(const QString& text) const;
    QString infoString() const;

private:
    bool readFrom(ibuf& in, CELIO_RepresentationList& list) const;
    CELIO_State readInfoFrom(ibuf& in, CELIO_Info& info) const;
    void readString(ibuf& in) const;
    void writeString(obuf& out) const;

    CELIO_ThreadInfoString m_infoString;
};

class CELCORE_EXPORT QXCelUioScanHandler final : public QXCelUioOptHandler {
public:
    QStringList getExtensions() const override;
    QStringList getWriteOptionCodes() const override;
    void getWriteOptions(CELIO_WriteOptions& options) const override;
    QString getWriteOptionsCode(const CELIO_WriteOptions& options) const override;
    bool read(const QString& path, const CEL_Context& context, CELIO_RepresentationList& list) const override;
    bool write(CEL_Cel* cel, const QString& path, const QString& code) const override;
    CELIO_State readInfo(const QString& path, const CEL_Context& context, CELIO_Info& info) const override;
    CELIO_State readMemory(const CELIO_MemoryFile& file, const CEL_Context& context,
                           CELIO_RepresentationList& list) const override;
    CELIO_State readInfoMemory(const CELIO_MemoryFile& file, const CEL_Context& context,
                               CELIO_Info& info) const override;
    bool getCallerInfoString(QString& out) const override;
    void setCallerInfoString(const QString& text) override;

    void setInfoString(const QString& text) const;
    QString infoString() const;

private:
    bool readFrom(ibuf& in, CELIO_RepresentationList& list) const;
    CELIO_State readInfoFrom(ibuf& in, CELIO_Info& info) const;
    void readString(ibuf& in) const;
    void writeString(obuf& out) const;

    CELIO_ThreadInfoString m_infoString;
};
