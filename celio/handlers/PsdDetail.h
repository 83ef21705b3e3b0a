#pragma once
// Shared by the sources of CELIO_PsdHandler: the channel decoders and the
// checks made before anything is allocated. Internal to the library.
//
// Decoding goes in two steps. First the wanted channels are gathered into
// Planes: where their rows lie in the file (raw, run-length with the byte
// counts) or their deflate streams, after checking every claimed size against
// the bytes the file holds. Then assemble() creates or fills the pixmap a
// band of rows at a time: it reads the band's coded rows of every plane into
// one reused buffer and decodes the rows in parallel, each into its pixmap
// component(s). Rows never depend on one another, so the result is the same
// at any thread count.

#include <cstdint>
#include <memory>
#include <vector>

#include "celio/handlers/PsdHandler.h"

#include "base/MathTypes.h"

class CEL_Pixmap;
class CEL_PixmapAreaRGBA16;
class CELIO_Layer;
class CELIO_LayerGroup;
class ibuf;

namespace psd_detail {

using Handler = CELIO_PsdHandler;

// Bad data travels as the end-of-data signal of ibuf: every public operation
// answers it as data that ended early.
[[noreturn]] void badData();

// Above this many pixel bytes the data must be able to code every row: a
// lying header must not make the reader allocate for a file that cannot fill it.
constexpr uint64_t kSmallImageBytes = uint64_t(1) << 20;

// The pixmap kind and channel mapping for a depth, channel count and mode.
struct Layout {
    enum Kind { RGBA8, RGBA16, Matte8, Matte16 };
    Kind kind = RGBA8;
    bool deep = false;         // 16-bit samples
    bool grayAlpha = false;    // two grayscale channels: grey into r, g, b; the other (selector 3) into alpha
    bool bitmap = false;       // packed bits, expanded to 0 (set) and 255 (clear)
    bool defaultAlpha = false; // fewer than four channels (grey + alpha aside): alpha starts opaque
    int planes = 0;            // channels the all-channels selector decodes
    // RGBA16 from 8-bit samples (each by the 8 -> 16 rule), alpha first scaled
    // by opacity / 255 on the 8-bit value; deep samples take the opacity as
    // they are. Only for pixmaps created by assemble().
    bool widen = false;
    uint8_t opacity = 255;
    // 16-bit RGBA pixmaps created by assemble(): colour premultiplied by alpha,
    // c * a / 32767 rounded half up.
    bool premultiply = false;

    bool matte() const { return kind == Matte8 || kind == Matte16; }
    int bytesPerPixel() const;
    // Bytes of one coded row of one channel.
    uint64_t rowBytes(int width) const;
    // The selector a plane of the all-channels selector stands for.
    int selectorOfPlane(int k) const { return grayAlpha && k == 1 ? 3 : k; }
};
Layout layoutFor(bool deep, int channels, Handler::Mode mode);

// Whether a width x height pixmap of the kind stays within the byte cap.
bool fitsPixmap(int64_t width, int64_t height, int bytesPerPixel);

// The coded rows of one channel. Raw and run-length rows stay in the file
// until assemble() reads them, a band of rows at a time; deflate streams are
// read whole and inflated into memory.
struct Plane {
    int selector = 0;                   // 0..3, mapped to components by the layout
    uint16_t compression = 0;           // 0 raw, 1 run-length, 2 deflate, 3 deflate with prediction
    uint64_t fileOffset = 0;            // raw: the plane's first row; run-length: the plane's row data
    const uint64_t* rowStart = nullptr; // run-length: row y at fileOffset + rowStart[y] - rowStart[0],
    const uint32_t* rowCount = nullptr; //   rowStart[height] the end of the plane's data
    const uint8_t* samples = nullptr;   // deflate, once inflated: height rows of rowBytes
    const uint8_t* stream = nullptr;    // deflate: the stream until inflated
    uint64_t streamSize = 0;
    uint64_t inflatedBytes = 0; // deflate: output wanted (this plane, or all of a shared stream)
    bool sharedStream = false;  // the following planes take their samples from this plane's output

    bool inFile() const { return compression < 2; }
};

struct Planes {
    std::vector<Plane> planes;
    std::vector<std::unique_ptr<uint8_t[]>> buffers; // owned bytes the planes point into
    std::vector<std::vector<uint64_t>> starts;
    std::vector<std::vector<uint32_t>> counts;

    // The next n bytes of the stream in a buffer of their own (throws at the
    // end of the data).
    const uint8_t* readBuffer(ibuf& in, uint64_t n);
};

// Gathers the coded data of channels starting at the stream position.
// `first` is the selector of the first plane gathered; with planeCount > 1
// the planes follow one another as in a composite image (selectors from
// layout.selectorOfPlane). dataLength bounds what the data may claim.
void gatherRaw(ibuf& in, const Layout& layout, int width, int height, int planeCount, int first, Planes& out);
// channelsInTable: rows of the byte-count table are height x channelsInTable.
void gatherRunLength(ibuf& in, bool psb, uint64_t dataLength, const Layout& layout, int width, int height,
                     int channelsInTable, int planeCount, int first, Planes& out);
void gatherDeflate(ibuf& in, uint64_t dataLength, uint16_t compression, const Layout& layout, int width,
                   int height, int planeCount, int first, Planes& out);

// Inflates every deflate stream (in parallel when there are several).
void inflateAll(Planes& planes, const Layout& layout, int width, int height);

// Creates (pixmap null) or fills the pixmap from the planes, reading the
// rows still in the file from `in`; null when the pixmap cannot be
// allocated. A new pixmap gets every component: what no plane covers is 0,
// alpha opaque under defaultAlpha. Throws the end-of-data signal when the
// file no longer holds the rows.
CEL_Pixmap* assemble(const Layout& layout, int width, int height, Planes& planes, CEL_Pixmap* pixmap,
                     ibuf& in);

// A decoded image as the area pixmap `area` (canvas set, nothing allocated)
// holding it at `rect`: alpha scaled by opacity / 255 first (a one-channel
// image gives its value in all four channels), then widened to 16 bits.
// Null when a buffer cannot be allocated.
CEL_PixmapAreaRGBA16* toDocumentArea(std::unique_ptr<CEL_Pixmap> decoded, uint8_t opacity,
                                     std::unique_ptr<CEL_PixmapAreaRGBA16> area, const Math::Box2di& rect);

// One run-length row: the PackBits bytes within the row's byte budget
// (`count`), written into dst up to `capacity` bytes; what the row does not
// reach becomes `blank`. dst must have kRowSlack bytes to spare after
// `capacity`: packets are copied in whole blocks.
constexpr size_t kRowSlack = 16;
void unpackRow(const uint8_t* src, uint32_t count, uint8_t* dst, uint64_t capacity, uint8_t blank);

// One member of a group: a layer or a sub-group.
struct LayerItem {
    const CELIO_Layer* layer = nullptr;
    const CELIO_LayerGroup* group = nullptr;
};
// The layers and sub-groups of a group in record order, as a file lists them
// (bottom first): layers by recordIndex, groups by id (the record index of
// their end marker), a group without id by its first layer's index, else
// right after the sub-group before it. Ties keep layers before groups, each
// in list order, so a tree without indices gives its layers, then its groups.
std::vector<LayerItem> orderedItems(const CELIO_LayerGroup& group);

} // namespace psd_detail
