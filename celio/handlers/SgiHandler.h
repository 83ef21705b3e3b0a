#pragma once
// SGI image files: 8-bit or 16-bit channels, one (grey or matte), three (RGB)
// or four (RGBA) channels.
//
// Reading takes verbatim (storage 0) and run-length encoded files from a
// CELIO_InputStream. Results: 8-bit files give CEL_PixmapMatte8 (one channel)
// or CEL_PixmapRGBA8, 16-bit files (bytes per channel other than 1)
// CEL_PixmapMatte16 or CEL_PixmapRGBA16. A 16-bit sample s becomes s >> 1
// (0..32767). Three-channel files get a full alpha (255 or 32767). File row 0
// is the bottom row of the image.
//
// The run-length reader follows the two offset tables: each channel row is
// read at its own offset. When the input holds all the rows in one piece (a
// memory buffer, a file that fits the input window) the pixmap is filled row
// by row; otherwise the rows are visited in file order, so that the file
// streams through the window once. A row ends at a zero count, when its
// recorded length is used up (16-bit rows count that length in words) or
// when the row is full.
// Missing data never stops a read: samples the file does not reach are 0.
// Before allocating, the header is checked: a channel count of 1, 3 or 4,
// a pixmap within CEL_Pixmap::maxPixmapBytes(), offset tables that are there
// in full; an image of more than 1 MiB of pixels must also have all its data
// (every row inside the file, each row long enough to code a whole row), so
// that a lying header cannot make the reader allocate for nothing; a size
// refused either way posts "Invalid sgi size: %1 x %2 pixels claimed\n"
// (celio/ReadLimits.h). Streams that cannot seek (standard input) are taken
// into memory first.
//
// Writing is always run-length encoded through a stdio stream with a 256 KiB
// buffer (the path is remapped; "-" is an ordinary file name here). Codes:
// "SGI4" 8-bit RGBA; "SGI" and "SGI3" 8-bit RGB; "SGI1" 8-bit matte (the cel's
// 8-bit matte); "SGIDP4" and "SGIDP3" 16-bit RGBA and RGB, a pixmap value v
// written as 0 when v < 0 and 2 v otherwise. Channel rows are written channel
// by channel, bottom row first, each followed by a zero count; the offset and
// length tables are filled in at the end. A row is cut into packets thus: the
// samples before the next three equal ones go out as literal packets of at
// most 126 (a single leftover sample starts the next step instead), a sample
// and the ones equal to it after it as run packets of at most 126; the last
// two samples of a row without a triple go out as runs. Any other code is
// refused (false, nothing written).

#include <QByteArray>
#include <QCoreApplication>
#include <cstdint>
#include <cstdio>

#include "celio/Handler.h"

class ibuf;

class CELCORE_EXPORT QXCelUioSgiHandler final : public CELIO_StreamHandler {
public:
    // The 512-byte file header; multi-byte fields are big-endian in the file.
    struct Header {
        static constexpr int Size = 512;
        static constexpr uint16_t Magic = 474;

        uint16_t magic = Magic;  // not tested when reading
        uint8_t storage = 1;     // 0 verbatim, otherwise run-length encoded
        uint8_t bpc = 1;         // bytes per channel: 1, anything else reads as 16-bit
        uint16_t dimension = 3;  // 2 for one channel, 3 otherwise
        uint16_t xsize = 0;      // width
        uint16_t ysize = 0;      // height
        uint16_t zsize = 0;      // channels: 1, 3 or 4 are read
        uint32_t pixmin = 0;     // sample range, written 0 .. 255 (16-bit files too)
        uint32_t pixmax = 255;   //
        uint32_t dummy = 0;      //
        char imageName[80] = {}; // zero-terminated free text
        uint32_t colorMap = 0;   // 0: plain samples
        // 404 reserved bytes follow, written as zeros.
    };

    QStringList getExtensions() const override;
    QStringList getWriteOptionCodes() const override;
    // Offers one channel, alpha and 16-bit channels.
    void getWriteOptions(CELIO_WriteOptions& options) const override;
    // alpha: "SGIDP4" or "SGI4"; else singleChannel: "SGI1"; else deepPixels:
    // "SGIDP3"; else "SGI".
    QString getWriteOptionsCode(const CELIO_WriteOptions& options) const override;
    bool write(CEL_Cel* cel, const QString& path, const QString& code) const override;
    // Reads the first 24 header bytes. Codes: "SGI4", "SGI3", "SGI1",
    // "SGIDP4", "SGIDP3"; any other combination of bytes per channel,
    // dimension and channels fails. Run-length files are described as
    // "Run-length encoded".
    CELIO_State readInfo(const QString& path, const CEL_Context& context, CELIO_Info& info) const override;
    CELIO_State readInfoMemory(const CELIO_MemoryFile& file, const CEL_Context& context,
                               CELIO_Info& info) const override;
    UT_DynKey formatClass() const override;

    using CELIO_StreamHandler::read;
    // Decodes an SGI image held in memory; null on failure, the caller owns the result.
    CEL_Representation* read(const unsigned char* data, unsigned size) const;
    // The bytes write() would put in a file for this cel and code (empty when
    // the code is unknown or the cel does not convert).
    QByteArray encode(CEL_Cel* cel, const QString& code) const;

    static QString tr(const char* text, const char* disambiguation = nullptr, int n = -1) {
        return QCoreApplication::translate("QXCelUioSgiHandler", text, disambiguation, n);
    }
    static QString trUtf8(const char* text, const char* disambiguation = nullptr, int n = -1) {
        return tr(text, disambiguation, n);
    }

protected:
    CEL_Representation* read(CELIO_InputStream& stream) const override;

private:
    static CELIO_State readInfoFrom(ibuf& in, CELIO_Info& info);
    // Builds the 512 bytes and writes them with one fwrite.
    static bool writeHeader(const Header& header, FILE* file);
};
