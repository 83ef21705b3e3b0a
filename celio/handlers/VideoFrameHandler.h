#pragma once
// PAL and YUV files: headerless video frames in 8-bit 4:2:2 Y'CbCr (studio
// range: Y' 16..235, Cb and Cr 16..240 about 128).
//
// A frame is rows top to bottom, each row 720 pixels as 360 groups of four
// bytes Cb, Y0, Cr, Y1: Y0 and Y1 are the left and right pixel of a pair and
// share Cb and Cr. "PAL" frames are 720 x 576 (829440 bytes), "YUV" frames
// 720 x 486 (699840 bytes). Video pixels are not square: a PAL frame shows
// 768 x 576 square pixels (its pixels are narrower than high), a YUV frame
// 720 x 540 (its pixels are wider than high). Both handlers share one
// implementation; they differ in these sizes and in the axis they resample.
//
// Reading decodes the frame into a CEL_PixmapRGBA8 of the frame size and
// resamples it with CelAlgo::scale to the square-pixel size about the frame
// centre: PAL 720 x 576 -> 768 x 576 about (360, 288) with factors
// (PAL_TO_DI_SCALE, 1), YUV 720 x 486 -> 720 x 540 about (360, 243) with
// (1, NTSC_TO_DI_SCALE). The file has no header, so any length decodes: a
// short file gives the rows (and pairs) it holds, the rest transparent black;
// bytes after a frame are ignored. readInfo() answers 720 x 576 (486), three
// 8-bit channels, code "PAL" ("YUV") for any file it can open, empty ones too,
// and reads nothing.
//
// Decoding, per group (16 fraction bits; ">>" is a flooring shift; each
// result clamped to 0..255 after the shift; alpha 255):
//   Cb' = Cb - 128, Cr' = Cr - 128, Y' = max(Y - 16, 0)
//   even pixel (Y0', the group's own chroma):
//     R = (76310 Y' + 104635 Cr' + 32768) >> 16
//     G = (76310 Y' - 53294 Cr' - 25690 Cb' + 32768) >> 16
//     B = (76310 Y' + 132278 Cb' + 32768) >> 16
//   odd pixel (Y1'), with the sums S = own + next group's Cb' (and Cr'):
//     R = (76310 Y' + 52317 S_Cr + 32768) >> 16
//     G = (76310 Y' - 26647 S_Cr - 12845 S_Cb + 32768) >> 16
//     B = (76310 Y' + 66139 S_Cb + 32768) >> 16
//   The last group of a row decodes its odd pixel with the even formulas.
//   A pair is decoded when its group is in the data and, unless it is the
//   last of its row, so is the next group: a cut-short file ends quietly
//   before the first pair that lacks its neighbour, and a whole frame (or a
//   whole row) is decoded to its last pair.
//
// Encoding (alpha ignored: colour as stored, so premultiplied pixels come out
// as if laid over black). The pixels are taken as consecutive pairs, row after
// row; with cb(p) = 7191 B - 4764 G - 2427 R and cr(p) = 7193 R - 6023 G -
// 1170 B of the previous odd pixel (the last pixel of the row before at a row
// start; the image's first pixel before the first pair):
//   Cb = ((cb(p1) + 14382 B0 - 9529 G0 - 4853 R0 + cb(prev) + 32768) >> 16) + 128
//   Cr = ((cr(p1) + 14386 R0 - 12046 G0 - 2340 B0 + cr(prev) + 32768) >> 16) + 128
//   Y  = ((16830 R + 33038 G + 6416 B + 32768) >> 16) + 16 for each pixel
// each stored as its low 8 bits: chroma is filtered 1/4, 1/2, 1/4 over the
// previous odd, the even and the odd pixel.
//
// write(): the cel converted to CEL_PixmapRGBA8 (false when it cannot be);
// larger than 768 x 576 (PAL) or 720 x 540 (YUV) is false; the image is
// centred on a cleared canvas of that size (left = (canvas width - width) / 2,
// top likewise, integer division) and resampled with CelAlgo::scale to the
// frame about the canvas centre, PAL (384, 288) with (DI_TO_PAL_SCALE, 1),
// YUV (360, 270) with (1, DI_TO_NTSC_SCALE); then the output is opened and
// the frame encoded into it. writeCombined(): both cels convert, the first
// fits, both have the same size; each is centred and resampled as in write();
// with secondFieldFirst the even rows (0, 2, ...) of the frame come from the
// second cel, otherwise the odd rows; the other rows from the first. The code
// is not consulted. Every check comes before the output is opened, so a refused
// write creates or changes nothing. The handlers post no messages of their own
// (only the output's "Could not open file ..." and "Could not complete
// writing ..."); no exception leaves them: a failed byte write or close makes
// write() return false and leaves an earlier file as it was (see obuf).
//
// Decoding and encoding split the rows over threads when the frame is large
// enough; the bytes do not depend on it.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "celio/Handler.h"

class CEL_PixmapRGBA8;
struct CEL_PixelRGBA8;

// The frame codec the two handlers share, for callers that hold frames in memory.
namespace CELIO_VideoFrame {

// Decodes the frame bytes data[0, size) into width x rows pixels (width even;
// 720 in the files): every pixel of `out` is written, those the data does not
// reach with transparent black.
CELCORE_EXPORT void decode(const uint8_t* data, size_t size, CEL_PixelRGBA8* out, int width, int rows);
// Encodes width x rows pixels (width even) into 2 * width * rows bytes.
CELCORE_EXPORT void encode(const CEL_PixelRGBA8* pixels, int width, int rows, uint8_t* out);

} // namespace CELIO_VideoFrame

class CELCORE_EXPORT QXCelUioPalHandler final : public CELIO_Handler {
public:
    static constexpr int PAL_COLS = 720;                          // frame width
    static constexpr int PAL_ROWS = 576;                          // frame height
    static constexpr int PAL_BYTES = 829440;                      // PAL_COLS * PAL_ROWS * 2
    static constexpr int PAL_DI_COLS = 768;                       // square-pixel width
    static constexpr double PAL_TO_DI_SCALE = 1.0666666666666667; // 768 / 720, frame to square pixels
    static constexpr double DI_TO_PAL_SCALE = 0.9375;             // 720 / 768, square pixels to frame

    QStringList getExtensions() const override;
    QStringList getWriteOptionCodes() const override;
    QString getWriteOptionsCode(const CELIO_WriteOptions& options) const override;
    bool read(const QString& path, const CEL_Context& context, CELIO_RepresentationList& list) const override;
    bool write(CEL_Cel* cel, const QString& path, const QString& code) const override;
    bool writeCombined(CEL_Cel* first, CEL_Cel* second, const QString& path, const QString& code,
                       bool secondFieldFirst) const override;
    CELIO_State readInfo(const QString& path, const CEL_Context& context, CELIO_Info& info) const override;
    UT_DynKey formatClass() const override;

    // Memory forms of read() and write(). read: the square-pixel image of the
    // frame bytes (the caller owns it), null on failure. encode / encodeCombined:
    // the frame bytes write() / writeCombined() would write, false where they
    // would refuse.
    CEL_PixmapRGBA8* read(const void* data, size_t size) const;
    bool encode(CEL_Cel* cel, std::vector<uint8_t>& frame) const;
    bool encodeCombined(CEL_Cel* first, CEL_Cel* second, bool secondFieldFirst,
                        std::vector<uint8_t>& frame) const;
};

class CELCORE_EXPORT QXCelUioYuvHandler final : public CELIO_Handler {
public:
    static constexpr int NTSC_COLS = 720;                          // frame width
    static constexpr int NTSC_ROWS = 486;                          // frame height
    static constexpr int NTSC_BYTES = 699840;                      // NTSC_COLS * NTSC_ROWS * 2
    static constexpr int NTSC_DI_ROWS = 540;                       // square-pixel height
    static constexpr double NTSC_TO_DI_SCALE = 1.1111111111111112; // 540 / 486, frame to square pixels
    static constexpr double DI_TO_NTSC_SCALE = 0.9;                // 486 / 540, square pixels to frame

    QStringList getExtensions() const override;
    QStringList getWriteOptionCodes() const override;
    QString getWriteOptionsCode(const CELIO_WriteOptions& options) const override;
    bool read(const QString& path, const CEL_Context& context, CELIO_RepresentationList& list) const override;
    bool write(CEL_Cel* cel, const QString& path, const QString& code) const override;
    bool writeCombined(CEL_Cel* first, CEL_Cel* second, const QString& path, const QString& code,
                       bool secondFieldFirst) const override;
    CELIO_State readInfo(const QString& path, const CEL_Context& context, CELIO_Info& info) const override;
    UT_DynKey formatClass() const override;

    // As QXCelUioPalHandler's.
    CEL_PixmapRGBA8* read(const void* data, size_t size) const;
    bool encode(CEL_Cel* cel, std::vector<uint8_t>& frame) const;
    bool encodeCombined(CEL_Cel* first, CEL_Cel* second, bool secondFieldFirst,
                        std::vector<uint8_t>& frame) const;
};
