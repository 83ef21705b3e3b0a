#pragma once
// CEL_IffImage: the codec of tiled IFF images, the "FOR4" group of form
// "CIMG" that 3D renderers write for colour and depth.
//
// The file is big-endian. A chunk is a 4-character tag, a 32-bit size
// (counting the bytes after the size field) and its data; the next chunk
// starts at the end rounded up to a multiple of 4 from the file start. A
// "FOR4" chunk is a group: a 4-character form type, then sub-chunks.
//
//   "FOR4" "CIMG"
//     "TBHD"  32 bytes: width, height (u32); prnum, prden (u16, written 1);
//             flags (u32: 1 RGB, 2 alpha, 4 depth); bytes (u16: 0 for 8-bit,
//             1 for 16-bit channels); tiles (u16); compression (u32: 0 none,
//             1 run-length, 2 and above refused); origin x, y (u32, read when
//             the chunk holds 25 bytes or more)
//     "FOR4" "TBMP"  the tiles: "RGBA" and, with depth, "ZBUF" chunks
//     "CLPZ" near, far clipping (floats); "ESXY" eye x, y (floats): kept
//     anything else (text such as "HIST", "VERS"): skipped by its size
//
// Tiles are 64 x 64 pixels, smaller at the right and top edges. A tile
// chunk holds x1, y1, x2, y2 (u16, inclusive, y counted from the bottom row
// of the image) and the pixels. Colour tiles hold 4 components (r, g, b, a),
// or 3 when the alpha flag is clear; depth tiles hold the 4 bytes of each
// 32-bit float. The data is run-length coded when it is smaller than the raw
// size (w * h * components * bytes per channel; w * h * 4 for depth), raw
// otherwise:
//   raw: pixel by pixel, row by row, the components of a pixel last first
//        (16-bit samples big-endian; depth floats big-endian);
//   run-length: one plane of w * h bytes per component, last component
//        first (depth: the most significant bytes first); with 16-bit
//        samples the planes of the high bytes of every component first, then
//        those of the low bytes. Each plane is packets: a header byte h < 0x80
//        followed by h + 1 literal bytes, or h >= 0x80 followed by one byte
//        repeated (h & 0x7F) + 1 times.
//
// Loading (iff_load) gives a colour buffer of width x height x 4 samples
// (8-bit bytes, or 16-bit samples), filled with 0xFF (0xFFFF) where the file
// has no tile, and with the depth flag a depth buffer of width x height floats
// filled with 0. Buffer row 0 is the first tile row of the file (the bottom
// of the image) unless IFF_CTRL_TOP_DOWN is set. Before anything is allocated
// the size is checked against CEL_Pixmap::maxPixmapBytes() for each buffer
// and against what the file can fill (run-length expands at most 64 times).
// Tiles must lie inside the image; a tile whose data is damaged or ends
// early keeps the fill. Tiles are decoded in parallel when they form the
// usual grid (each 64 x 64 cell once), else one after the other in file
// order, so a later tile over an earlier one wins.
//
// Saving (iff_save) writes the buffers given, top row first, as 64 x 64
// tiles from the bottom of the image up, each colour tile followed by its
// depth tile, with flags 3 (+ 4 with depth) and compression 1. Each plane is
// run-length coded by the rule of encodeRunLength(); a tile whose coded
// data is not smaller than its raw size is written raw (so the readers'
// size rule still tells them apart). Tiles are coded in parallel and written
// in file order. The file is written beside the target (path + ".new") and
// renamed over it at the end, so a failed save leaves an earlier file whole.
//
// Reports go, one line each and each kind at most once per load or save, to
// the diagnostic stream (standard error unless set otherwise): "cannot open
// file", "cannot read file" (data ends; the value reads as 0), "unexpected
// tag" (not a "FOR4" "CIMG" file), "unknown compression format", "unexpected
// chunk" (a tile group holding something else; the load ends there), "tag
// stack corrupt", "error in iff_decompress_rle 8 bits" (a plane that
// overruns its tile or its data), "error in iff_read_compressed_tile
// function" (a tile that cannot be read), "invalid image size" (0 or beyond
// 2^31 - 1), "file too short for its image size", "image too large" (beyond
// the byte cap, or out of memory), "unsupported bytes per channel", "Error
// while writing IFF file." and "cannot write file".

#include <QString>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>

#include "celcore_export.h"
#include "pixel/Pixel.h"

class CELCORE_EXPORT CEL_IffImage {
public:
    // Raised by iff_begin_read_chunk when a 32nd chunk level would open.
    struct ReadError {};

    // Type flags: the TBHD flags.
    enum TypeFlag : uint32_t { IFF_TYPE_RGB = 1, IFF_TYPE_ALPHA = 2, IFF_TYPE_DEPTH = 4 };
    // Control flags (iffctrl): how the buffers are laid out in memory.
    enum ControlFlag : uint32_t {
        // iff_load: buffer row 0 is the top row of the image.
        IFF_CTRL_TOP_DOWN = 1,
        // 16-bit colour samples are the library's 0..32767: a file sample v is
        // loaded as v >> 1 (the fill as 32767); iff_save writes 2 v, and 0 for
        // a negative v.
        IFF_CTRL_HALF_SAMPLES = 2,
    };

    static constexpr int TileSize = 64;
    static constexpr int MaxTagDepth = 31;
    static constexpr uint32_t tag(const char (&s)[5]) {
        return uint32_t(uint8_t(s[0])) << 24 | uint32_t(uint8_t(s[1])) << 16 | uint32_t(uint8_t(s[2])) << 8 |
               uint32_t(uint8_t(s[3]));
    }

    // One open chunk of the tag stack.
    struct TagEntry {
        uint32_t tag = 0;
        uint64_t position = 0; // file offset of the tag
        uint32_t size = 0;     // bytes after the size field
        uint32_t formType = 0; // "FOR4" groups only
    };

    CEL_IffImage();
    // A record for saving: size, bytes per channel (1 or 2).
    CEL_IffImage(uint32_t width, uint32_t height, int bytesPerChannel);
    ~CEL_IffImage();
    CEL_IffImage(const CEL_IffImage&) = delete;
    CEL_IffImage& operator=(const CEL_IffImage&) = delete;

    // Width and height out; returns 0.
    int iffgetsize(uint32_t& width, uint32_t& height) const;
    void iffsetsize(uint32_t width, uint32_t height);
    int iffgetbpp() const; // bytes per channel, 1 or 2
    void iffsetbpp(int bytesPerChannel);
    void iffsettype(uint32_t flags);
    uint32_t ifftype() const { return m_type; }
    // Sets (on) or clears the bits of mask in the control flags.
    void iffctrl(uint32_t mask, bool on);
    uint32_t iffcontrol() const { return m_control; }

    uint32_t width() const { return m_width; }
    uint32_t height() const { return m_height; }
    int pixelSize() const { return 4; }
    uint32_t compression() const { return m_compression; }
    uint32_t tileCount() const { return m_tiles; }
    uint32_t originX() const { return m_originX; }
    uint32_t originY() const { return m_originY; }
    void setOrigin(uint32_t x, uint32_t y) { m_originX = x, m_originY = y; }
    float nearClip() const { return m_near; }
    float farClip() const { return m_far; }
    float eyeX() const { return m_eyeX; }
    float eyeY() const { return m_eyeY; }

    // The loaded buffers (null when absent): 8-bit colour as r, g, b, a bytes,
    // 16-bit colour as r, g, b, a samples, depth as floats.
    const uint8_t* colour8() const;
    const uint16_t* colour16() const;
    const float* depth() const { return m_depth.get(); }
    // Hand a buffer to the caller (free with delete[]); the record keeps none.
    CEL_PixelRGBA8* releaseColour8();
    CEL_PixelRGBA16* releaseColour16(); // samples as loaded (see IFF_CTRL_HALF_SAMPLES)
    float* releaseDepth();

    // Reads the file's header and TBHD into the record; false when the file
    // is not one, or its compression is refused.
    bool iff_load_header(const QString& path);
    // Reads the whole image; true when the header was read and the buffers exist.
    bool iff_load(const QString& path);
    // The same from a file image in memory.
    bool iff_load(const void* data, size_t size);
    // Writes the record's width x height from the buffers given (either may
    // be null, not both): colour of 4 samples per pixel of bytesPerChannel
    // bytes (CEL_PixelRGBA16 samples with IFF_CTRL_HALF_SAMPLES), depth as
    // floats, both top row first. False after a report when nothing usable
    // was written; an earlier file at the path is then left as it was.
    bool iff_save(const QString& path, const void* colour, const float* depth, int bytesPerChannel);

    // The chunk walk over the bytes being loaded, or attached here (kept by
    // the caller while the walk lasts); the stack holds at most MaxTagDepth
    // chunks. begin reads tag, size and a group's form type at the current
    // position and pushes them; end moves to the chunk's end and pops.
    void iff_attach(const void* data, size_t size);
    const TagEntry& iff_begin_read_chunk();
    void iff_end_read_chunk();
    int iff_tag_depth() const { return m_tagDepth; }
    uint64_t iff_position() const { return m_pos; }

    // One plane by the encoder's rule; returns the bytes written to out, which
    // has room for n + n / 128 + 2 bytes. At each position: a run of r > 1
    // equal bytes goes out as r / 128 packets (0xFF, b) and, for the rest, one
    // packet (((r % 128) - 1) | 0x80, b); otherwise a literal reaching up to
    // the next run of 3 or more equal bytes (runs of 2 stay in it) or the end
    // goes out in pieces of 128 bytes (0x7F + 128 bytes), then the rest L as
    // L - 1 and L bytes.
    static size_t encodeRunLength(const uint8_t* in, size_t n, uint8_t* out);
    // Decodes one plane of n bytes; false when the data ends first or a packet
    // overruns the plane. *used receives the bytes read.
    static bool decodeRunLength(const uint8_t* in, size_t available, uint8_t* out, size_t n, size_t* used);

    // Where reports go, process-wide; null restores standard error. The stream
    // must outlive its use; each report is written whole.
    static void setDiagnosticStream(std::ostream* stream);
    // Writes one report there (a line end is added when the text has none).
    static void diagnose(const char* text);

private:
    struct Reporter;
    struct TileRef;
    bool loadFile(const QString& path, bool headerOnly);
    bool load(const uint8_t* data, size_t size, bool headerOnly);
    uint32_t get32();
    uint16_t get16();
    void readHeader(const TagEntry& chunk);
    bool allocate(uint64_t fileSize);
    void reset();

    uint32_t m_width = 0;
    uint32_t m_height = 0;
    uint32_t m_type = 0;
    uint32_t m_control = 0;
    uint16_t m_bytes = 1; // per channel
    uint16_t m_tiles = 0;
    uint32_t m_compression = 0;
    uint32_t m_originX = 0;
    uint32_t m_originY = 0;
    float m_near = 0.0f;
    float m_far = 0.0f;
    float m_eyeX = 0.0f;
    float m_eyeY = 0.0f;
    std::unique_ptr<CEL_PixelRGBA8[]> m_colour8;
    std::unique_ptr<CEL_PixelRGBA16[]> m_colour16;
    std::unique_ptr<float[]> m_depth;

    // The walk.
    const uint8_t* m_data = nullptr;
    uint64_t m_size = 0;
    uint64_t m_pos = 0;
    TagEntry m_stack[MaxTagDepth];
    int m_tagDepth = 0;
    std::unique_ptr<Reporter> m_reporter;
};
