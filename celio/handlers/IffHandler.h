#pragma once
// Tiled IFF images with colour and depth, through the codec CEL_IffImage
// (celio/handlers/IffImage.h, which also describes the file).
//
// Reading: an 8-bit file gives a CEL_PixmapRGBA8, a 16-bit file a
// CEL_PixmapRGBA16 with each sample shifted right by one (0..65535 to
// 0..32767); the file's bottom row is the pixmap's last row, and pixels of
// tiles the file lacks are 0xFF (white, opaque). RGB files without alpha
// read opaque. A file with depth gives instead the colour cropped to its
// content as a CEL_PixmapAreaRGBA16 and a CEL_PixmapAreaZ of the image size
// allocated to the same box: each file depth d becomes
// CEL_Context::zMultiplier() / d (in double, stored as float), a d of 0 (or
// not a number) no depth (CEL_PixelFloat::Zero); the z range is the smallest
// and largest value stored.
//
// Writing, by code (compared in upper case):
//   "IFF"     the cel as CEL_PixmapRGBA8, 8-bit samples as they are;
//   "IFF_16"  the cel as CEL_PixmapRGBA16, each sample s written as 2 s
//             (0 for a negative s);
//   anything else writes no colour, after "This is not a IFF format.".
// A cel holding a CEL_PixmapAreaZ also gets depth: the colour image's size,
// read at the same canvas positions, each depth z written as d = 1 / z (in
// double, stored as float; the reader's inverse at the default multiplier
// 1.0), no depth as 0. With neither colour nor depth nothing is written and
// the result is false; a failed save is false too and leaves an earlier file
// at the path whole.
//
// The codec needs a file: "-" (standard input or output in a process that
// is not interactive) is refused with a report. Reports go to the codec's
// diagnostic stream (standard error unless set otherwise).

#include <iosfwd>

#include "celcore_export.h"
#include "celio/Handler.h"

class CELCORE_EXPORT QxCelUioIffHandler final : public CELIO_Handler {
public:
    QStringList getExtensions() const override;
    // Empty: the codes are "IFF" (8-bit) and "IFF_16", from getWriteOptionsCode.
    QStringList getWriteOptionCodes() const override;
    // Sets deepPixels.
    void getWriteOptions(CELIO_WriteOptions& options) const override;
    // deepPixels -> "IFF_16", else "IFF".
    QString getWriteOptionsCode(const CELIO_WriteOptions& options) const override;

    bool read(const QString& path, const CEL_Context& context, CELIO_RepresentationList& list) const override;
    bool write(CEL_Cel* cel, const QString& path, const QString& code) const override;
    // Width, height, code "IFF" (16-bit files too), bytes per channel, and
    // channels 3 for RGB plus 1 for alpha; no description.
    CELIO_State readInfo(const QString& path, const CEL_Context& context, CELIO_Info& info) const override;
    UT_DynKey formatClass() const override;

    // The codec's diagnostic stream (CEL_IffImage::setDiagnosticStream).
    static void setDiagnosticStream(std::ostream* stream);
};
