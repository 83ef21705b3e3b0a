#pragma once
// Single video frames as OMF media, through the container layer
// omf/OmfContainer.h (which describes the file structure).
//
// Reading (read, readInfo): the file must hold exactly one media, of the video
// kind, with one sample. readInfo gives width, height, channels = bits per
// pixel / 8, 1 byte per channel, code "OMF" and the description "RGB format"
// followed by "full frame layout\n" (frame layout 1, no separator),
// ", one field layout\n" (2) or ", interlaced layout\n" (any other). read
// takes 24 bits per pixel only and gives a CEL_PixmapRGBA8 of red, green, blue
// with alpha 255; a JPEG sample is decoded (the accurate integer IDCT).
// Before anything is allocated: width x height x 3 bytes in 64 bits against
// the pixmap byte cap, an uncompressed sample's bytes against exactly that
// size, and a JPEG sample's frame header against the descriptor (done when
// the container opens the file).
//
// Writing: the cel as CEL_PixmapRGBA8, red, green and blue of each pixel
// (alpha dropped, colour as stored, so premultiplied colour reads back as over
// black), 24 bits per pixel, frame layout 1, creator "OMF QAV 6.0", as one
// sample; JPEG (quality 90, 4:4:4) when the code in upper case is "OMFJPEG",
// uncompressed for any other code. The file is written beside the target and
// renamed over it when complete: a failed write returns false and leaves an
// earlier file whole, with no temporary file behind.
//
// Each operation runs inside its own reference to the container's toolkit
// context. Paths are remapped (oswRemapPath). The container needs a file:
// "-" (standard input or output in a process that is not interactive) is
// refused. A refusal posts one message in context "qxcelio", action 2, code
// 10 for reads and 20 for writes, naming the cause ("2 media", "sample has 9
// bytes, 12 needed", "not an OMF media file written by this library"); a file
// that cannot be opened at all gives false (state 1) silently, as a missing
// file is the manager's to report.
//
// Not registered by qxCelAddPixmapHandler(): an application that wants OMF
// media adds it (CELIO_Manager::addHandler(new QXCelUioOmfHandler)).

#include "celcore_export.h"
#include "celio/Handler.h"

class CELCORE_EXPORT QXCelUioOmfHandler final : public CELIO_Handler {
public:
    QStringList getExtensions() const override;       // "OMF"
    QStringList getWriteOptionCodes() const override; // "OMF", "OMFJPEG"
    // Sets compressed.
    void getWriteOptions(CELIO_WriteOptions& options) const override;
    // compressed -> "OMFJPEG", else "OMF".
    QString getWriteOptionsCode(const CELIO_WriteOptions& options) const override;

    bool read(const QString& path, const CEL_Context& context, CELIO_RepresentationList& list) const override;
    bool write(CEL_Cel* cel, const QString& path, const QString& code) const override;
    CELIO_State readInfo(const QString& path, const CEL_Context& context, CELIO_Info& info) const override;
    UT_DynKey formatClass() const override;
};
