#pragma once
// OPT files: legacy planar images, 8 bits per channel.
//
// Layout (big-endian): a 32-byte header, then one plane per channel in the
// order r, g, b (, a), each covering all width x height values from the top
// row down, row after row. A plane is verbatim, or compressed as packets that
// start with a signed 16-bit count c: c < 0 is followed by -c literal values
// (-32768: 32768 values), c >= 0 by one value repeated c times (0 consumes the
// value and makes nothing). Packets run across row ends; a plane ends when it
// has all its values, and a packet that runs past that end is read in whole
// and its surplus dropped: nothing is written outside the plane.
//
// Image types: 1 RGB, 2 RGBA, 3 and 9 RGB ("Grayscale"), 7 RGB, all verbatim;
// 4 RGB, 5 RGBA, 6 one channel, compressed ("RLE encoded"). Any other type is
// refused with "unknown opt type %1". Three or four channels read into a
// CEL_PixmapRGBA8 (alpha 255 without an alpha plane), one into a
// CEL_PixmapMatte8. Reading uses the type, width and height of the header only.
//
// Writing is always compressed: "OPT4" type 5 (RGBA), "OPT" and "OPT3" type 4
// (RGB), "OPT1" type 6 (the cel's 8-bit matte). The plane encoder writes a run
// of 3 or more equal values as run packets of at most 32767; other values go
// into literal packets of at most 32767 that stop where three equal values
// begin. Planes are encoded in parallel when threads are free; the bytes do
// not depend on it.
//
// Failures: read() returns false (and readInfo() 1) for a file that cannot be
// opened, a type not in the table, a size the file cannot hold or the pixmap
// cap refuses (checked before allocating), or data that ends early; no
// exception leaves them. write() returns false before opening the output for
// an unknown code, a cel that does not convert, or a side over 65535 (with the
// writers' "Image of W x H pixels too large ..." message); a byte
// that cannot be written lets the integer -1 escape (the previous file stays,
// see obuf); a failed close posts "Could not complete writing to file: \"%1\"\n"
// and write() still returns true.

#include <cstddef>
#include <cstdint>

#include "celio/Handler.h"

class ibuf;
class obuf;

class CELCORE_EXPORT QXCelUioOptHandler : public CELIO_Handler {
public:
    // The 32-byte file header, big-endian in the file.
    struct Header {
        static constexpr int Size = 32;

        uint32_t type = 0;    // offset 0: image type (see above)
        uint16_t width = 0;   // offset 4
        uint16_t height = 0;  // offset 6
                              // offsets 8-11: reserved, 0
        uint8_t channels = 0; // offset 12: 3, 4 or 1
                              // offsets 13-15: reserved, 0
        uint32_t scale = 0;   // offset 16: a 32-bit float, written 1.0 (0x3F800000)
                              // offsets 20-31: reserved, 0
    };

    // An entry of the image-type table.
    struct TypeInfo {
        int channels = 0;
        bool compressed = false;
        const char* description = nullptr; // readInfo's description, or none
    };
    // The OPT table; false for a type it does not list.
    static bool typeInfo(uint32_t type, TypeInfo& info);

    QStringList getExtensions() const override;
    QStringList getWriteOptionCodes() const override;
    void getWriteOptions(CELIO_WriteOptions& options) const override;
    QString getWriteOptionsCode(const CELIO_WriteOptions& options) const override;
    bool read(const QString& path, const CEL_Context& context, CELIO_RepresentationList& list) const override;
    bool write(CEL_Cel* cel, const QString& path, const QString& code) const override;
    CELIO_State readInfo(const QString& path, const CEL_Context& context, CELIO_Info& info) const override;
    // From memory, as read() and readInfo() of a file holding the bytes (VAR and
    // SCAN, which derive from this class, override them for their own layout).
    CELIO_State readMemory(const CELIO_MemoryFile& file, const CEL_Context& context,
                           CELIO_RepresentationList& list) const override;
    CELIO_State readInfoMemory(const CELIO_MemoryFile& file, const CEL_Context& context,
                               CELIO_Info& info) const override;
    UT_DynKey formatClass() const override;

    // Puts the 32 header bytes.
    static void writeHeader(obuf& out, const Header& header);

private:
    bool readFrom(ibuf& in, CELIO_RepresentationList& list) const;
    CELIO_State readInfoFrom(ibuf& in, CELIO_Info& info) const;

protected:
    // Pixel readers, shared with the VAR and SCAN handlers. They start at the
    // source's current position and leave it after the last plane. The image
    // readers check the size against the bytes left (verbatim: every value;
    // compressed: at least 3 bytes per 32767 values of each plane) before
    // allocating and return null when it does not fit or the allocation fails;
    // a zero width or height gives an empty pixmap. Data that ends early throws
    // ibuf::EndOfData (-1), with nothing allocated left behind.

    // channels compressed planes: 1 gives a CEL_PixmapMatte8, 3 or 4 a CEL_PixmapRGBA8.
    CEL_Representation* readCompressed(ibuf& in, int channels, int width, int height) const;
    // Decodes one compressed plane of count values into dst, one value every
    // stride bytes.
    void readCompressed(ibuf& in, uint8_t* dst, size_t count, size_t stride) const;
    // channels verbatim planes, as readCompressed.
    CEL_Representation* readUncompressed(ibuf& in, int channels, int width, int height) const;

    // Encodes one plane of count values, taken every stride bytes from src.
    void writeCompressedChannel(obuf& out, const uint8_t* src, size_t count, size_t stride) const;
    // Encodes the planes of a pixmap in file order: r, g, b (and a when
    // channels is 4) of CEL_PixmapRGBA8 pixels, or the values of a matte when
    // channels is 1. The bytes are those of writeCompressedChannel per plane.
    void writeCompressedPlanes(obuf& out, const uint8_t* pixels, size_t count, int channels) const;
};
