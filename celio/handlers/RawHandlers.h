#pragma once
// Raw files in the library's own memory layout: 16-bit colour pixmaps ("DAT",
// the render cache's file format) and depth buffers ("RAW"). Neither converts
// colour; both store the pixel structures as they lie in memory, little-endian.
//
// Raw pixmap file (CELIO_UioRawPixMapHandler), a 56-byte header and the pixels:
//   offset  0  int32   CelFormat: 4 (PIXMAP_AREA_RGBA16) or 6 (PIXMAP_RGBA16)
//   offset  4  int32   bytes per pixel: 8 (one CEL_PixelRGBA16)
//   offset  8  uint64  number of pixels stored
//   offset 16  int32   pixmap width;  offset 20  int32  pixmap height
//   offset 24  4 x int32  canvas rectangle x1, y1, width, height (zero for 6)
//   offset 40  4 x int32  allocated rectangle x1, y1, width, height (zero for 6)
//   offset 56  count x (r, g, b, a int16)  row after row
// An area pixmap stores its allocated rectangle, a canvas pixmap all of it.
// The reader takes the canvas size from offsets 16 and 20 and the canvas
// corner from offset 24. Before allocating anything it checks the format, the
// pixel size, the sizes (not negative, rectangles inside the 32-bit range),
// that the count is the rectangle's area and that the file holds exactly the
// header and count pixels: a file cut short never reads as valid. Refusals are
// silent (the result is false).
//
// Raw depth file (CELIO_UioRawFloatHandler): width, height (int32), then width
// x height float32 values, row after row. Reading turns each value v with
// -1e10 < v < 1e10 into -v and every other value (NaN included) into
// CEL_PixelFloat::Zero (no depth), and records the minimum and maximum of the
// converted values as the depth range. Writing stores the values as they are,
// without negating them back: a file read and written again holds the negated
// values. A depth buffer allocated to another rectangle than its canvas is
// written over its canvas (pixels outside the allocation as Zero), so the file
// always holds width x height values. The raw depth handler is not registered
// by qxCelAddPixmapHandler(); an application adds it when it wants it.
//
// Both writers write "<path>.part" beside the target, flush and close it
// (each step checked), then rename it over the target: a failed write deletes
// the part file and leaves an earlier file of that name as it was. The path
// "-" in a process that is not interactive writes standard output (reads
// standard input) directly.

#include <string>

#include "celio/Handler.h"

class CELCORE_EXPORT CELIO_UioRawPixMapHandler final : public CELIO_Handler {
public:
    static constexpr int HeaderSize = 56;

    QStringList getExtensions() const override;       // "DAT"
    QStringList getWriteOptionCodes() const override; // none
    // Sets alpha and deepPixels.
    void getWriteOptions(CELIO_WriteOptions& options) const override;
    // "DAT" for alpha and deepPixels without singleChannel and compressed; else null.
    QString getWriteOptionsCode(const CELIO_WriteOptions& options) const override;
    bool read(const QString& path, const CEL_Context& context, CELIO_RepresentationList& list) const override;
    // The cel's PIXMAP_AREA_RGBA16, else its PIXMAP_RGBA16 (no conversion is
    // made; neither gives false), written by the representation form below.
    bool write(CEL_Cel* cel, const QString& path, const QString& code) const override;
    bool writeCombined(CEL_Cel* first, CEL_Cel* second, const QString& path, const QString& code,
                       bool secondFieldFirst) const override; // false
    CELIO_State readInfo(const QString& path, const CEL_Context& context,
                         CELIO_Info& info) const override; // CELIO_STATE_UNSUPPORTED
    UT_DynKey formatClass() const override;
    int getFileHeaderSize() const override; // 56

    // Writes a CEL_PixmapAreaRGBA16 or a CEL_PixmapRGBA16 (anything else:
    // false). True only when every write, the flush, the close and the rename
    // succeeded. The code is not read.
    virtual bool write(UT_SharedPtr<CEL_Representation> rep, const QString& path, const QString& code) const;

    // The pixmap stored at path (remapped here): a new object owned by the
    // caller in rep, or null and false.
    bool read(CEL_Representation*& rep, const QString& path) const;
    bool read(UT_SharedPtr<CEL_Representation>& rep, const QString& path) const;
};

class CELCORE_EXPORT CELIO_UioRawFloatHandler final : public CELIO_Handler {
public:
    QStringList getExtensions() const override;                                    // "RAW"
    QStringList getWriteOptionCodes() const override;                              // "RAW"
    QString getWriteOptionsCode(const CELIO_WriteOptions& options) const override; // "RAW"
    // Appends a CEL_PixmapAreaZ allocated to its whole canvas.
    bool read(const QString& path, const CEL_Context& context, CELIO_RepresentationList& list) const override;
    // The code must be "RAW" in any case, else "This is not a RAW format.\n" is
    // printed on standard error; a cel that does not convert to PIXMAP_AREA_ZBUF
    // prints "Unable to convert cel to PIXMAP_AREA_ZBUF\n in
    // CELIO_UioRawFloatHandler::write". Both give false, as do a depth buffer
    // without data and a file that cannot be written.
    bool write(CEL_Cel* cel, const QString& path, const QString& code) const override;
    CELIO_State readInfo(const QString& path, const CEL_Context& context,
                         CELIO_Info& info) const override; // CELIO_STATE_UNSUPPORTED
    UT_DynKey formatClass() const override;

    bool read(const char* path, CELIO_RepresentationList& list) const;
    bool read(const std::string& path, CELIO_RepresentationList& list) const;
};
