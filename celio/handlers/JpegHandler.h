#pragma once
// JPEG files, through Qt's image reader and writer.
//
// Reading accepts any image the Qt reader recognises and gives a
// CEL_PixmapRGBA8 of opaque pixels. Before Qt decodes, the size the header
// claims is checked (celio/ReadLimits.h): against the pixmap cap, and for a
// JPEG against what the file's bytes can code at best (2048 bytes of pixmap
// per byte), so a small file claiming a huge picture is refused. Writing copies the cel's 8-bit pixels
// into an RGB image (alpha dropped) and encodes it with the writer's default
// quality; the path "-" writes to standard output. readInfo accepts files
// that start with a JFIF or an Exif header and reports the JFIF version as
// "JFIF standard <major>.<minor, two digits>".
//
// Failures of writing post "Could not open file \"%1\" for writing.\n" or
// "Could not complete writing to file: \"%1\"\n" (context
// "QXCelUioJpegHandler", action 2, code 20).

#include "celcore_export.h"
#include "celio/Handler.h"

class CELCORE_EXPORT QXCelUioJpegHandler final : public CELIO_Handler {
public:
    QStringList getExtensions() const override;
    QStringList getWriteOptionCodes() const override;
    // Always "JPG".
    QString getWriteOptionsCode(const CELIO_WriteOptions& options) const override;

    bool read(const QString& path, const CEL_Context& context, CELIO_RepresentationList& list) const override;
    // The decoded image (owned by the caller), or null.
    CEL_Representation* read(const QString& path) const;
    bool write(CEL_Cel* cel, const QString& path, const QString& code) const override;
    CELIO_State readInfo(const QString& path, const CEL_Context& context, CELIO_Info& info) const override;
    CELIO_State readMemory(const CELIO_MemoryFile& file, const CEL_Context& context,
                           CELIO_RepresentationList& list) const override;
    CELIO_State readInfoMemory(const CELIO_MemoryFile& file, const CEL_Context& context,
                               CELIO_Info& info) const override;
    UT_DynKey formatClass() const override;
};
