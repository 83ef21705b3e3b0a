#pragma once
// CELIO_BitmapEngine: the engine the I/O manager registers with the graphics
// library's bitmap system when it is created, so that bitmaps load and save
// through the manager's handlers and are kept in memory as JPEG data. It
// carries no state: every operation may run on any thread, several at once.
//
// Bitmaps the engine makes are 32-bit uncompressed bitmaps (bytes r, g, b, a;
// row stride width * 4) with bounds (0, 0, width, height), owned by the caller.
//
// load(stored, flags): the bytes are JPEG data. Repeated start-of-image
//   markers at the front are skipped (while FF D8 FF D8 begins the rest and
//   more than 6 bytes remain, 2 bytes are dropped) and their number printed to
//   standard error: "JPG data has %d extra SOI marker\n". The data decodes to
//   opaque pixels (grey data as grey RGB); null for bad or CMYK data, and for
//   a declared size that is over the pixmap byte cap or that the data cannot
//   code (a Huffman-coded image needs at least one bit per 8 x 8 block). The
//   decoder's own memory is held to the cap as well. libjpeg prints nothing.
// load(file, flags): CELIO_Manager::read of the file, its first
//   representation converted to PIXMAP_RGBA8 when it is something else; the
//   bitmap takes over the pixmap's buffer (no copy; the pixmap byte count
//   drops by it). Null when nothing was read. flags are not read.
// store(bitmap, quality, stored): the bitmap as baseline JPEG (quality clamped
//   to 1 ... 100, libjpeg's quality scaling with baseline tables), 4:2:0, alpha
//   left out; stored receives the bytes. False for an empty bitmap, one over
//   65500 pixels a side, or when memory runs out; stored is unchanged then.
// save(file, bitmap, format, code): the manager's handler for `format` writes
//   the bitmap with `code` (empty: the handler's main extension). False
//   without a handler.
// saveToPSD / saveToTGA / saveToPNG: a handler of that family writes the
//   bitmap as "PSD4", "TGA4" or "PNG4".
//
// The save operations hand the bitmap's bytes to the writer as the pixels of
// a CEL_PixmapRGBA8, unchanged. Layers made by CEL_Conversion hold straight
// colour, which TGA and PSD files store as it is; the "PNG4" writer
// un-premultiplies what it is given, so straight pixels that are not opaque
// must be premultiplied first to come out as they were (celtool's `tiles`
// does so by the format tables' alpha conventions). A bitmap that is not
// 32-bit with a stride of width * 4 is converted first (BM_Util::Convert).
// The pixmap only borrows the buffer, which is taken back on every path,
// also when the writer throws (a failed byte transfer); the save then
// returns false.

#include <QString>

#include "base/BitmapSystem.h"
#include "celcore_export.h"

class CELIO_Handler;

class CELCORE_EXPORT CELIO_BitmapEngine : public BM_SystemEngineI {
public:
    CELIO_BitmapEngine() = default;
    ~CELIO_BitmapEngine() override;

    BM_Bitmap* load(const BM_StoredBitmap& stored, unsigned flags) const override;
    BM_Bitmap* load(const PL_FileSpec& file, unsigned flags) const override;
    bool save(const PL_FileSpec& file, const BM_Bitmap& bitmap, const char* format,
              const char* code) const override;
    bool store(const BM_Bitmap& bitmap, unsigned quality, BM_StoredBitmap& stored) const override;
    bool saveToPSD(const PL_FileSpec& file, const BM_Bitmap& bitmap) const override;
    bool saveToTGA(const PL_FileSpec& file, const BM_Bitmap& bitmap) const override;
    bool saveToPNG(const PL_FileSpec& file, const BM_Bitmap& bitmap) const override;

private:
    bool saveToFile(const PL_FileSpec& file, const BM_Bitmap& bitmap, const CELIO_Handler& handler,
                    const QString& code) const;
};
