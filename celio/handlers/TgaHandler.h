#pragma once
// TGA files: 8-bit grey, 24-bit RGB and 32-bit RGBA images.
//
// Reading takes uncompressed (types 2, 3) and run-length encoded (types 10, 11)
// files in all four orientations; the pixel depth alone picks the result (8 bits:
// CEL_PixmapMatte8, 24 or 32 bits: CEL_PixmapRGBA8, 24-bit pixels opaque). The
// decoder runs on a CELIO_InputStream, so files, standard input and memory
// buffers share it. A file that ends early still gives its pixmap: pixels the
// data did not reach are transparent black. Before allocating, the decoder
// checks that the claimed size fits CEL_Pixmap::maxPixmapBytes() and that a
// large image has at least the bytes its best possible run-length coding needs;
// a header that fails either is refused with "Invalid tga size: %1 x %2 pixels
// claimed\n" (celio/ReadLimits.h).
//
// Writing is always run-length encoded, bottom row first, without image ID,
// colour map or footer. Codes: "TGA4" 32-bit RGBA; "TGA" and "TGA3" 24-bit RGB;
// "TGA1" 8-bit grey (the cel's 8-bit matte). Each row is encoded on its own:
// a run of 2..128 equal elements (a colour element is the whole r, g, b, a
// pixel, so pixels that differ only in alpha never share a run, even in 24-bit
// output) is one run packet; other elements go into literal packets of up to
// 128 that stop before the next pair of equal elements.
//
// Exceptions: readInfo() lets the integer -1 escape when the file ends inside
// its 18-byte header; write() lets -1 escape when a byte cannot be written and
// -2 when closing the output fails (after posting "Could not complete writing
// to file: \"%1\"\n").

#include <QByteArray>
#include <cstdint>

#include "celio/Handler.h"

class ibuf;
class obuf;

class CELCORE_EXPORT QXCelUioTgaHandler final : public CELIO_StreamHandler {
public:
    // The 18-byte file header; multi-byte fields are little-endian in the file.
    struct Header {
        static constexpr int Size = 18;

        uint8_t idLength = 0;       // bytes of free-form image ID after the header
        uint8_t colorMapType = 0;   // 0: no colour map (colour-mapped files are not read)
        uint8_t imageType = 0;      // 2 / 3 uncompressed colour / grey, 10 / 11 run-length encoded
        uint16_t colorMapFirst = 0; // colour-map fields, ignored when reading
        uint16_t colorMapLength = 0;
        uint8_t colorMapEntrySize = 0;
        uint16_t xOrigin = 0; // screen placement, ignored
        uint16_t yOrigin = 0;
        uint16_t width = 0;
        uint16_t height = 0;
        uint8_t depth = 0;      // bits per pixel: 8, 24 or 32 are read (16 is refused)
        uint8_t descriptor = 0; // bits 0-3: alpha bits; bit 4: rows run right to left;
                                // bit 5: the first row in the file is the top row

        // Bit 0: pixels of a row run right to left; bit 1: the first file row is the top.
        int flip() const { return (descriptor >> 4) & 3; }
    };

    QStringList getExtensions() const override;
    QStringList getWriteOptionCodes() const override;
    void getWriteOptions(CELIO_WriteOptions& options) const override;
    QString getWriteOptionsCode(const CELIO_WriteOptions& options) const override;
    bool write(CEL_Cel* cel, const QString& path, const QString& code) const override;
    CELIO_State readInfo(const QString& path, const CEL_Context& context, CELIO_Info& info) const override;
    CELIO_State readInfoMemory(const CELIO_MemoryFile& file, const CEL_Context& context,
                               CELIO_Info& info) const override;
    UT_DynKey formatClass() const override;

    using CELIO_StreamHandler::read;
    // Decodes a TGA image held in memory; null on failure, the caller owns the result.
    CEL_Representation* read(const unsigned char* data, unsigned size) const;
    // The bytes write() would put in a file for this cel and code (empty when
    // the code is unknown or the cel does not convert).
    QByteArray encode(CEL_Cel* cel, const QString& code) const;
    // Puts the 18 header bytes.
    static void writeHeader(obuf& out, const Header& header);

protected:
    CEL_Representation* read(CELIO_InputStream& stream) const override;

private:
    static CELIO_State readInfoFrom(ibuf& in, CELIO_Info& info);
};
