#pragma once
// TIFF files.
//
// Reading takes contiguous (chunky) strip files of
//   8 bits, 3 or 4 samples   -> CEL_PixmapRGBA8 (alpha 255 for 3 samples),
//   16 bits, 3 or 4 samples  -> CEL_PixmapRGBA16, each sample shifted right
//                               by one (alpha 32767 for 3 samples),
//   32 bits, 1 float sample  -> CEL_PixmapAreaZ allocated to the whole image:
//                               each depth v with -1e10 < v < 1e10 is stored
//                               as -v, anything else as "no depth", and the
//                               z range is the smallest and largest stored.
// Every decoded byte of a min-is-white file is inverted. Before allocating,
// the size is checked (celio/ReadLimits.h): within the pixmap cap, and strip
// data in the file that can decode to every row at the compression's largest
// expansion. Reading a path also
// reads its companion depth file, the name with "_z" before the first "." of
// the file name (frame.tif -> frame_z.tif), when that exists.
//
// Writing stores the cel's 8-bit pixels uncompressed as RGBA with associated
// alpha, one row per strip.
//
// The reader reports why a file was refused as lines of text on the
// diagnostic stream (standard error unless set otherwise), for example
// " Cannot read image height". libtiff's own warnings and errors are kept
// out of the terminal.

#include <QByteArray>
#include <iosfwd>

#include "celcore_export.h"
#include "celio/Handler.h"

class CELCORE_EXPORT QxCelUioTiffHandler final : public CELIO_Handler {
public:
    QStringList getExtensions() const override;
    QStringList getWriteOptionCodes() const override;
    // Always "TIF".
    QString getWriteOptionsCode(const CELIO_WriteOptions& options) const override;

    // The file and its companion depth file; true when the file gave an image.
    bool read(const QString& path, const CEL_Context& context, CELIO_RepresentationList& list) const override;
    // One file, named in the file system's encoding (no remapping, no companion).
    bool read(const QByteArray& fileName, CELIO_RepresentationList& list) const;
    bool write(CEL_Cel* cel, const QString& path, const QString& code) const override;
    CELIO_State readInfo(const QString& path, const CEL_Context& context, CELIO_Info& info) const override;
    // From memory: the file alone (a companion depth file has no name to be found by).
    CELIO_State readMemory(const CELIO_MemoryFile& file, const CEL_Context& context,
                           CELIO_RepresentationList& list) const override;
    CELIO_State readInfoMemory(const CELIO_MemoryFile& file, const CEL_Context& context,
                               CELIO_Info& info) const override;
    UT_DynKey formatClass() const override;

    // Where the reader's diagnostics go, process-wide; null restores standard
    // error. The stream must outlive its use; each line is written whole.
    static void setDiagnosticStream(std::ostream* stream);
    // Whether the file's first extra sample is associated alpha (colour
    // premultiplied by it); false for unassociated or unspecified alpha, no
    // alpha, or a file that cannot be opened.
    static bool hasAssociatedAlpha(const QString& path);
    // The name of the companion depth file of a path.
    static QString depthFileName(const QString& path);

private:
    static CELIO_State readInfoFrom(struct tiff* tif, CELIO_Info& info);
};
