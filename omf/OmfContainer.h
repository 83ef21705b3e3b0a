#pragma once
// The OMF media container: files that hold described media and their samples,
// as the OMF handler (celio/handlers/OmfHandler.h) reads and writes single video
// frames. The container is this library's own (version 1, below); files that
// other applications call OMF are not read (no signature: OMF_Status::NotOmf).
//
// File structure, integers little-endian:
//   header, 16 bytes: 89 4F 4D 46 0D 0A 1A 0A, u16 major (1), u16 minor (0), u32 0
//   then objects to the end of the file:
//     class (4 ASCII), u64 body length, body
//   a body is a sequence of properties:
//     name (4 ASCII), u8 type, u64 length, value
//     types: 1 u32 (length 4), 2 i64 (length 8), 3 UTF-8 text, 4 bytes
//   "MDES", one per media:
//     "MDID" u32 (1, 2, ... in the order described), "KIND" u32 (1 video,
//     2 sound), "CRTR" text (the creating application); video media add
//     "WDTH", "HGHT", "BITS" (bits per pixel), "FLAY" (frame layout: 1 full
//     frame, 2 one field, others interlaced), "CMPR" (0 none, 1 JPEG), all u32
//   "SAMP", one per sample, in sample order:
//     "MDID" u32 (the media it belongs to), "DATA" bytes: the pixels (rows top
//     first, bitsPerPixel / 8 bytes a pixel; 24 bits: red, green, blue) or one
//     baseline JFIF stream of the descriptor's size
// The writer emits exactly these properties in this order. Readers skip
// unknown classes and properties, and refuse: another major version, a
// missing or duplicate required property, a known property of the wrong type,
// a u32 or i64 of the wrong length, a length past its object or past the end
// of the file, two media with one MDID, a sample of a media never described,
// a compression other than 0 and 1, and a JPEG sample whose frame header is
// not the descriptor's size. Nothing is allocated from a length before it is
// checked against the bytes that hold it.
//
// JPEG samples are written at quality 90 with 4:4:4 sampling (no chroma
// subsampling) and decoded with the accurate integer IDCT: the same sample
// decodes to the same bytes everywhere.
//
// Writing goes to a temporary file beside the target (same folder, the
// target's permission bits), which a successful close() renames over it: a
// failed or abandoned write leaves an earlier file whole and no temporary
// file behind. Devices, pipes and other files that are not regular are written
// directly.
//
// Every open or create needs the toolkit context (OMF_Toolkit::start()). One
// OMF_File belongs to one thread at a time; different files may be used on
// different threads at once.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "celcore_export.h"

// Results of the container's operations; operations that return a count
// return one of these (negative) on failure.
enum class OMF_Status : int {
    Ok = 0,
    NotStarted = -1,     // no toolkit context
    CannotOpen = -2,     // the file cannot be opened or created
    NotOmf = -3,         // no signature: not an OMF media file written by this library
    BadVersion = -4,     // another major version
    BadStructure = -5,   // cut short, or a length, property or reference the structure refuses
    NoSuchMedia = -6,    // media numbers run from 1 to mediaCount()
    BufferTooSmall = -7, // the samples need more bytes than the buffer has
    WriteFailed = -8,    // a write, the close or the rename failed
    BadDescriptor = -9,  // a descriptor the operation cannot take
    BadSample = -10,     // a sample of another size than its descriptor says
    JpegFailed = -11,    // the JPEG stream did not encode or decode
    WrongMode = -12,     // not open, or open the other way (reading / writing)
    OutOfMemory = -13,
};

// A short English text for each status ("not an OMF media file written by this library").
CELCORE_EXPORT const char* OMF_statusText(OMF_Status status);

enum class OMF_MediaKind : uint32_t {
    Other = 0, // any KIND value but 1 and 2
    Video = 1,
    Sound = 2,
};

struct OMF_VideoDescriptor {
    OMF_MediaKind kind = OMF_MediaKind::Video;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t bitsPerPixel = 24;
    uint32_t frameLayout = 1; // 1 full frame, 2 one field, other values interlaced
    bool compressed = false;  // JPEG samples
    // Filled when reading (not read by describeVideoMedia):
    uint64_t sampleCount = 0;
    uint64_t storedBytes = 0; // the samples' DATA bytes as stored, all samples together
};

// Fills `rows` rows of a frame, from firstRow on, into dst (rows top first,
// width x bitsPerPixel / 8 bytes each).
using OMF_RowSource = void (*)(void* context, uint32_t firstRow, uint32_t rows, uint8_t* dst);

// The reference-counted toolkit context. Thread-safe.
class CELCORE_EXPORT OMF_Toolkit {
public:
    // Takes one reference; always Ok.
    static OMF_Status start();
    // Drops one reference; NotStarted when none was held.
    static OMF_Status stop();
    static bool isRunning();
};

class CELCORE_EXPORT OMF_File {
public:
    OMF_File();
    // Closes a file open for reading; abandons a write that was not closed
    // (the temporary file is removed, the target keeps what it held).
    ~OMF_File();
    OMF_File(const OMF_File&) = delete;
    OMF_File& operator=(const OMF_File&) = delete;

    // Opens a file and checks its whole structure (not the samples' pixels).
    OMF_Status openRead(const char* utf8Path);
    // The same over a caller's bytes, which must outlive the file's use.
    OMF_Status openMemory(const void* bytes, size_t size);
    // Starts writing utf8Path (the header is written at once).
    OMF_Status create(const char* utf8Path);
    // Ends reading, or finishes writing and puts the file in the target's
    // place. Closing a closed file does nothing (Ok).
    OMF_Status close();
    bool isOpen() const;

    // --- reading
    // The media in the file (media are numbered from 1 in file order); 0 when not reading.
    uint32_t mediaCount() const;
    // The descriptor of a media (video fields 0 for other kinds).
    OMF_Status videoDescriptor(uint32_t media, OMF_VideoDescriptor& out) const;
    // Every sample of the media, in order, one after the other into buffer:
    // the stored bytes, or with decompression on the RGB pixels of each JPEG
    // sample. Returns the byte count, or a negative OMF_Status; nothing is
    // written when the samples need more than `capacity` bytes.
    int64_t readSamples(uint32_t media, void* buffer, uint64_t capacity);
    // Whether readSamples decodes JPEG samples (default: off, the streams as stored).
    void setDecompression(bool on);
    // Whether decoded JPEG samples come as RGBA, alpha 255, four bytes a pixel
    // (default: off, RGB), for readers that keep RGBA pixels: no second pass.
    void setDecodedAlpha(bool on);

    // --- writing
    // Describes a new video media (kind and the reading fields are not read):
    // width and height 1 or more (JPEG: at most 65500), bitsPerPixel a multiple
    // of 8 up to 64 (JPEG: 24). Samples written next belong to it.
    OMF_Status describeVideoMedia(const OMF_VideoDescriptor& descriptor, const char* creator);
    // One sample of the last described media: width x height x bitsPerPixel / 8
    // bytes, rows top first; compressed media encode them as JPEG.
    OMF_Status writeSample(const void* bytes, uint64_t size);
    // The same sample with its rows asked for band by band: source(context,
    // firstRow, rows, dst) fills `rows` rows from firstRow on into dst, as the
    // whole frame would hold them. No frame-sized buffer is needed; the source
    // must not throw.
    OMF_Status writeSampleRows(OMF_RowSource source, void* context);

    // What the last failure was, in a few words ("object SAMP at offset 16:
    // length past the end of the file"); empty after success.
    const std::string& errorDetail() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m;
};
