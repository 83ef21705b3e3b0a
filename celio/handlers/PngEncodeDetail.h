#pragma once
// The PNG image data of both writers: rows filtered and deflated in fixed bands
// of rows on the library's threads, written as IDAT chunks of one standard zlib
// stream. Internal to the library.
//
// - Each band is compressed on its own into raw deflate blocks; every band but
//   the last ends with a full flush (an empty stored block, byte-aligned), the
//   last with the final block. Put one after the other behind a zlib header and
//   followed by the Adler-32 of all filtered rows (the bands' sums combined),
//   they are one zlib stream that any decoder reads.
// - The bands, the filter of each row and the compression settings depend on
//   the picture only: the bytes are the same at any thread count.
// - Filters: each row gets Up when it repeats the row above, else Sub or Up
//   when one of them leaves almost nothing (rows of runs, rows like the one
//   above); only other rows pay for the full choice over the five filters (the
//   smallest sum of the residuals taken as signed bytes).
// - Compression: a sample of rows from the whole picture, filtered the same
//   way, is deflated with zlib's run-length strategy and with its default
//   strategy at level 6. Run-length matching is taken unless the default is
//   clearly smaller: on filtered photographs and renders it is as small and
//   several times faster, on flat artwork (mostly zero residuals) about as
//   small; patterns, text and dithering need the back-references.
// - Flat artwork (runs of few colours, antialiased edges) is smaller left
//   unfiltered, its rows matched against the rows above at full length: when
//   the sample says so by a margin, every row is stored as it is, deflate
//   takes matches up to 258 bytes at level 6, and the bands are larger (their
//   code tables would otherwise be a percent of so small a stream).
// - Bands are taken in order by whichever thread is free; a band is written
//   as soon as every band before it has been, so the file is written while
//   the rest is compressed and only finished bands waiting for an earlier one
//   are held in memory.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "celcore_export.h"

namespace celio_detail::png {

// Fills `out` with row y in the file's layout (8-bit samples, or 16-bit
// samples big-endian); it may write up to 8 bytes past the row's end. Called
// from several threads at once, each with its own buffer, and for some rows
// more than once.
using RowSource = void (*)(const void* context, uint32_t y, uint8_t* out);

struct Image {
    uint32_t width = 0;
    uint32_t height = 0;
    int bitDepth = 8; // 8 or 16
    int channels = 3; // 3 (RGB) or 4 (RGBA)
    RowSource row = nullptr;
    const void* context = nullptr;

    size_t bytesPerPixel() const { return size_t(channels) * size_t(bitDepth / 8); }
    size_t rowBytes() const { return size_t(width) * bytesPerPixel(); }
};

enum Filter : int { FilterNone = 0, FilterSub = 1, FilterUp = 2, FilterAverage = 3, FilterPaeth = 4 };

struct Plan {
    int level = 6;
    int strategy = 0;             // zlib's Z_DEFAULT_STRATEGY or Z_RLE
    uint32_t rowsPerBand = 1;     // from the row size: about kBandBytes of filtered rows
    int filter = -1;              // -1: chosen per row; otherwise every row's
    bool longMatches = false;     // deflate searches on to 258-byte matches
    unsigned noisyFilters = 0x19; // bit f: rows that Sub and Up leave large residuals try filter f
};

// Raw bytes per band the plan aims at, and for flat artwork.
constexpr size_t kBandBytes = size_t(1) << 20;
constexpr size_t kFlatBandBytes = size_t(4) << 20;

// The plan for a picture, from a sample of its rows (a few hundred KiB at most).
CELCORE_EXPORT Plan planFor(const Image& image);

// Writes the IDAT chunks of the image to `file`. False when a write failed or
// memory ran out; what was written is then incomplete.
CELCORE_EXPORT bool writeImageData(const Image& image, const Plan& plan, FILE* file);

// Bands compressed while the picture is still coming in (decoded on another
// thread), so that compressing overlaps decoding on a machine of two or more
// cores. Once an eighth of the rows are in, one helper thread guesses the
// writer's choices from them (the channels and row source through `guess`,
// the plan through planFor on those rows) and compresses bands in order as
// their rows arrive, holding the results. finish() then keeps them only when
// the whole picture's image and plan turn out the same, so the file's bytes
// never depend on the guess; otherwise they are dropped and the image data is
// written as writeImageData writes it. Nothing is guessed when the library
// runs on one thread.
class CELCORE_EXPORT EarlyBands {
public:
    // Fills `image` (all but its height) as the writer would for a picture
    // like its rows [0, rowsIn), or returns false when nothing is worth
    // compressing ahead. Called on the helper thread.
    using Guess = bool (*)(const void* context, uint32_t rowsIn, Image& image);

    EarlyBands(uint32_t height, Guess guess, const void* context);
    ~EarlyBands(); // abandon()
    EarlyBands(const EarlyBands&) = delete;
    EarlyBands& operator=(const EarlyBands&) = delete;

    // Rows [0, rowsIn) are final: the helper may read them from now on.
    void publish(uint32_t rowsIn);
    // Stops the helper and waits for it: the rows are not read any more.
    void abandon();
    // With every row in: writes the IDAT chunks of `image` under `plan`, as
    // writeImageData does, keeping the bands compressed ahead when they were
    // made from the same rows (row source and context), channels and plan.
    bool finish(const Image& image, const Plan& plan, FILE* file);
    // Whether the bands compressed ahead were kept by the last finish().
    bool keptBands() const;

private:
    struct State;
    std::unique_ptr<State> m;
};

} // namespace celio_detail::png
