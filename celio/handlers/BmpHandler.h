#pragma once
// Windows BMP files, decoded and encoded by Qt's image plugins.
//
// Reading: every file Qt decodes (any bit count, palette, run-length coded)
// becomes a CEL_PixmapRGBA8 of the image taken as Qt's 32-bit RGB: colour as
// stored, alpha 255. Before Qt decodes, the claimed size is checked
// (celio/ReadLimits.h): within the pixmap cap, and for a large image enough
// pixel data for it (uncompressed rows in full, run-length data at 255
// pixels per two bytes), so a tiny file cannot make the reader allocate for
// a picture it does not hold. readInfo parses the file and information headers
// itself: width and height as stored (a negative height, which marks a
// top-down file, comes back as its 32-bit pattern), channels = bit count / 8,
// code "BMP", description "RLE encoded" for compression 1 or 2.
//
// Writing (when Qt can write BMP; codes compared case-insensitively):
//   "BMP"   colour copied as it is, handed to Qt as RGB32;
//   "BMP4"  colour un-premultiplied (c * 255.0 / a, truncated, at most 255;
//           a = 0 keeps the colour), handed to Qt as ARGB32 when any pixel
//           has alpha other than 255, else as RGB32.
// Qt's BMP writer stores 24-bit colour either way: the file keeps no alpha.
// The cel must convert to 8-bit RGBA, else nothing is written and the result
// is still true (as for an unknown code). "-" writes to standard output;
// other paths are written as given. Failures post "Could not open file
// \"%1\" for writing.\n" or "Could not complete writing to file: \"%1\"\n"
// (context "QXCelUioBmpHandler", action 2, code 20).

#include <QCoreApplication>

class DB_PersistentStore;
class QIODevice;

#include "celio/Handler.h"

class CELCORE_EXPORT QXCelUioBmpHandler final : public CELIO_Handler {
public:
    QStringList getExtensions() const override;
    // "BMP", "BMP4" when Qt's image writer supports BMP, else nothing.
    QStringList getWriteOptionCodes() const override;
    // alpha -> "BMP4", else "BMP".
    QString getWriteOptionsCode(const CELIO_WriteOptions& options) const override;
    bool read(const QString& path, const CEL_Context& context, CELIO_RepresentationList& list) const override;
    bool write(CEL_Cel* cel, const QString& path, const QString& code) const override;
    CELIO_State readInfo(const QString& path, const CEL_Context& context, CELIO_Info& info) const override;
    CELIO_State readMemory(const CELIO_MemoryFile& file, const CEL_Context& context,
                           CELIO_RepresentationList& list) const override;
    CELIO_State readInfoMemory(const CELIO_MemoryFile& file, const CEL_Context& context,
                               CELIO_Info& info) const override;
    UT_DynKey formatClass() const override;

    // The decoded image of the file at path (not remapped here), owned by the
    // caller; null when Qt cannot decode it or the header's claim is refused.
    CEL_Representation* read(const QString& path) const;

    static QString tr(const char* text, const char* disambiguation = nullptr, int n = -1) {
        return QCoreApplication::translate("QXCelUioBmpHandler", text, disambiguation, n);
    }
    static QString trUtf8(const char* text, const char* disambiguation = nullptr, int n = -1) {
        return tr(text, disambiguation, n);
    }

private:
    // Qt decodes from the device; the header is read again through the store.
    static CEL_Representation* decode(QIODevice& device, DB_PersistentStore& header);
    static CELIO_State readInfoFrom(DB_PersistentStore& in, CELIO_Info& info);
};
