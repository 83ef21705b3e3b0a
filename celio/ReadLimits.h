#pragma once
// What a reader checks before it allocates for the image a header claims.
//
// A header is a few bytes that anyone can write: a 60-byte file may claim
// 100000 x 100000 pixels. Every reader builds a CELIO_ImageClaim from the
// header fields and asks check() before it allocates a pixmap (or hands the
// file to a codec that will). A claim is refused when
// - the pixmap's byte count (width x height x channels x bytes per channel,
//   computed in 64 bits without overflow) exceeds the pixmap byte cap
//   (CEL_Pixmap::maxPixmapBytes()), or
// - the bytes the file has left cannot decode to that many pixel bytes, given
//   the most the format's coding can expand: `in` bytes of the file give at
//   most `out` bytes of the pixmap. Uncompressed 24-bit data filling 32-bit
//   pixels expands 4 : 3; a run-length packet of 1 + 4 bytes giving 128 RGBA
//   pixels, 512 : 5; zlib's deflate at most 1032 : 1 on the decoded bytes.
//   Pixmaps of at most SmallImageBytes are never refused for missing data, so
//   a short file of a small image still reads as far as it goes.
// A refused claim posts "Invalid %1 size: %2 x %3 pixels claimed\n" (context
// "qxcelio", action 2, code 10; %1 the format's name).
//
//   const CELIO_ImageClaim claim(width, height, 4, 1);
//   if (!claim.check("tga", bytesLeft, CELIO_Expansion{512, 5})) return nullptr;

#include <cstdint>

#include "celcore_export.h"

// At most `out` pixmap bytes from every `in` bytes of the file.
struct CELIO_Expansion {
    uint64_t out = 1;
    uint64_t in = 1;
};

class CELCORE_EXPORT CELIO_ImageClaim {
public:
    // A byte count that is not known (a stream without a size) or does not fit 64 bits.
    static constexpr uint64_t Unknown = ~uint64_t(0);
    // Pixmaps this small are decoded whatever the file holds.
    static constexpr uint64_t SmallImageBytes = uint64_t(1) << 20;

    // Negative sizes give a claim that is always refused.
    CELIO_ImageClaim(int64_t width, int64_t height, uint64_t channels, uint64_t bytesPerChannel);

    int64_t width() const { return m_width; }
    int64_t height() const { return m_height; }
    // The pixmap's bytes; Unknown for negative sizes or when the product overflows.
    uint64_t bytes() const { return m_bytes; }
    // bytes() within CEL_Pixmap::maxPixmapBytes().
    bool withinCap() const;
    // The fewest file bytes that can decode to `decoded` bytes; Unknown when
    // that overflows.
    static uint64_t minimumInput(uint64_t decoded, CELIO_Expansion expansion);
    // The same for the pixmap's bytes.
    uint64_t minimumInput(CELIO_Expansion expansion) const { return minimumInput(m_bytes, expansion); }
    // Whether `available` file bytes reach `needed` (always for a small pixmap,
    // and when `available` is Unknown; never when `needed` is).
    bool fillableFrom(uint64_t available, uint64_t needed) const;

    // withinCap() and fillableFrom(available, minimumInput(expansion)); posts
    // the message above and returns false when either fails.
    bool check(const char* format, uint64_t available = Unknown, CELIO_Expansion expansion = {}) const;
    // The same with the fewest file bytes worked out by the reader, for codings
    // whose decoded bytes are not the pixmap's (bit-packed rows, filter bytes).
    bool checkInput(const char* format, uint64_t available, uint64_t needed) const;
    // The refusal message alone, for readers that test further conditions themselves.
    void postRefusal(const char* format) const;

private:
    int64_t m_width;
    int64_t m_height;
    uint64_t m_bytes;
};
