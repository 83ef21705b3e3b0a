#pragma once
// Bitmaps of the graphics library, reduced to what this library uses: plain
// bitmaps in three pixel layouts, JPEG data held in memory, tiled 32-bit
// layers, the conversion between layouts and the copy between bitmaps.
//
// Coordinates: a bitmap covers its bounds (a half-open Math::Box2di, which may
// start anywhere: layers have their origin at the canvas centre). Bounds
// position (x, y) is row y - y1, column x - x1 of the pixels.
//
// Layouts (bits per pixel):
//   RGB24   bytes r, g, b
//   RGBA32  bytes r, g, b, a (BM_PixelRgba32, the library's CEL_PixelRGBA8)
//   RGBA64  signed 16-bit r, g, b, a, full scale 32767 (BM_PixelRgba64,
//           the library's CEL_PixelRGBA16)
// Converting between them follows the library's pixel rules: 16 -> 8 is
// v < 1 ? 0 : v >> 7, 8 -> 16 is v * 32767 / 255, a missing alpha is opaque
// (255 or 32767) and a 24-bit target drops alpha. Colour is carried as it is:
// neither the conversions nor the copy premultiply or demultiply.
//
// Memory: every buffer a bitmap allocates is checked against the process-wide
// pixmap byte cap (CEL_Pixmap::maxPixmapBytes) and the size arithmetic is
// checked; a refused or failed allocation leaves the bitmap without pixels
// (isValid() false). Nothing here throws.
//
// Threads: different bitmaps may be used on different threads; one tiled
// bitmap may be written on several threads at once as long as no two write
// the same tile.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "base/MathTypes.h"
#include "base/SharedPtr.h"
#include "celcore_export.h"
#include "pixel/Pixel.h"

using BM_PixelRgba32 = CEL_PixelRGBA8;
using BM_PixelRgba64 = CEL_PixelRGBA16;

class CELCORE_EXPORT BM_Bitmap : public UT_ShareBaseSafe {
public:
    enum Layout { RGB24 = 24, RGBA32 = 32, RGBA64 = 64 };

    BM_Bitmap(const BM_Bitmap&) = delete;
    BM_Bitmap& operator=(const BM_Bitmap&) = delete;
    ~BM_Bitmap() override;

    Layout layout() const { return m_layout; }
    int bitsPerPixel() const { return int(m_layout); }
    const Math::Box2di& bounds() const { return m_bounds; }
    // 0 for empty bounds, and for bounds wider or higher than an int holds
    // (such a bitmap never has pixels).
    int width() const { return m_fits && !isEmpty() ? m_bounds.w() : 0; }
    int height() const { return m_fits && !isEmpty() ? m_bounds.h() : 0; }
    bool isEmpty() const { return m_bounds.hasNullArea(); }

protected:
    BM_Bitmap(Layout layout, const Math::Box2di& bounds)
        : m_layout(layout), m_bounds(bounds), m_fits((long long)bounds.x2() - bounds.x1() <= 0x7fffffff &&
                                                     (long long)bounds.y2() - bounds.y1() <= 0x7fffffff) {}
    bool boundsFit() const { return m_fits; }

private:
    Layout m_layout;
    Math::Box2di m_bounds;
    bool m_fits;
};

// A bitmap whose pixels are one buffer of rows. The buffer is owned (allocated
// by the bitmap, or adopted) or borrowed (the caller's, never freed here).
class CELCORE_EXPORT BM_UncompressedBitmap final : public BM_Bitmap {
public:
    // The row stride a layout needs for `width` pixels: (width * bits + 7) / 8.
    static long long minimalStride(Layout layout, int width);

    // A new buffer with the minimal stride, zeroed when `clear`. An empty
    // bounds box gives a valid bitmap without pixels.
    BM_UncompressedBitmap(Layout layout, const Math::Box2di& bounds, bool clear = true);
    // Wraps the caller's buffer (borrowed); `stride` bytes per row. A null
    // buffer, or a stride below the minimal one, leaves it without pixels.
    BM_UncompressedBitmap(Layout layout, const Math::Box2di& bounds, void* buffer, long long stride);
    // Takes over a buffer made with new T[] (freed with delete[] as T), rows of `stride` bytes.
    template <class T>
    static BM_UncompressedBitmap* adopt(Layout layout, const Math::Box2di& bounds, T* buffer,
                                        long long stride) {
        auto* b = new BM_UncompressedBitmap(layout, bounds, buffer, stride);
        if (b->m_data)
            b->m_free = [](void* p) { delete[] static_cast<T*>(p); };
        else
            delete[] buffer; // refused (a stride too small for the bounds)
        return b;
    }
    ~BM_UncompressedBitmap() override;

    // Pixels for every position of the bounds (or empty bounds).
    bool isValid() const { return m_data || isEmpty(); }
    long long stride() const { return m_stride; }
    bool ownsBuffer() const { return m_free != nullptr; }

    uint8_t* data() { return m_data; }
    const uint8_t* data() const { return m_data; }
    // Row of bounds position y (no check).
    uint8_t* row(int y) { return m_data + (long long)(y - bounds().y1()) * m_stride; }
    const uint8_t* row(int y) const { return m_data + (long long)(y - bounds().y1()) * m_stride; }
    template <class P> P* rowAs(int y) { return reinterpret_cast<P*>(row(y)); }
    template <class P> const P* rowAs(int y) const { return reinterpret_cast<const P*>(row(y)); }

    // Hands an owned buffer to the caller, who frees it with delete[] as the
    // element type it was made with: uint8_t (RGB24), BM_PixelRgba32 (RGBA32),
    // BM_PixelRgba64 (RGBA64), or the type an adopted buffer had. The bitmap
    // keeps its bounds and has no pixels afterwards. Null for a borrowed buffer
    // (which stays where it is) and without one.
    void* releaseBuffer();

private:
    uint8_t* m_data = nullptr;
    long long m_stride = 0;
    void (*m_free)(void*) = nullptr; // null: borrowed or none
};

// JPEG data (or any bytes) a bitmap is kept as in memory.
class CELCORE_EXPORT BM_StoredBitmap {
public:
    BM_StoredBitmap() = default;
    BM_StoredBitmap(const BM_StoredBitmap& other);
    BM_StoredBitmap& operator=(const BM_StoredBitmap& other);
    BM_StoredBitmap(BM_StoredBitmap&&) noexcept = default;
    BM_StoredBitmap& operator=(BM_StoredBitmap&&) noexcept = default;
    ~BM_StoredBitmap();

    // Replaces the bytes by n uninitialised ones; false (and empty) when they
    // cannot be had. 0 empties.
    bool allocate(std::size_t n);
    uint8_t* data() { return m_data.get(); }
    const uint8_t* data() const { return m_data.get(); }
    std::size_t size() const { return m_size; }

private:
    std::unique_ptr<uint8_t[]> m_data;
    std::size_t m_size = 0;
};

// Tiled bitmaps exist for the 32-bit pixel only.
template <class P> class BM_TiledBitmap;

// A 32-bit bitmap kept as square tiles of TileSize pixels laid from the
// bounds' top-left corner; the last column and row are cut at the bounds, and
// a tile's pixels are rows of exactly its rectangle's width. A tile is
// allocated on its first write; a tile that is not allocated reads as zero
// (transparent black) everywhere.
template <> class CELCORE_EXPORT BM_TiledBitmap<BM_PixelRgba32> final : public BM_Bitmap {
public:
    static constexpr int TileSize = 256;

    // isValid() is false when the bounds need more tiles than the pixmap byte
    // cap allows pointers for, or the table could not be had.
    explicit BM_TiledBitmap(const Math::Box2di& bounds);
    ~BM_TiledBitmap() override;

    bool isValid() const { return m_valid; }
    int columns() const { return m_columns; }
    int rows() const { return m_rows; }
    // The bounds part tile (column, row) covers; empty outside the grid.
    Math::Box2di tileRect(int column, int row) const;
    bool isTileAllocated(int column, int row) const { return tile(column, row) != nullptr; }
    int allocatedTileCount() const;

    // The tile's pixels, null when it is not allocated or outside the grid.
    BM_PixelRgba32* tile(int column, int row);
    const BM_PixelRgba32* tile(int column, int row) const;
    // The tile's pixels, allocating them (zeroed when `clear`) on first use.
    // Null outside the grid or when the allocation fails.
    BM_PixelRgba32* tileForWrite(int column, int row, bool clear = true);
    // Drops the tile: it reads as zero again.
    void freeTile(int column, int row);

    // The pixel at bounds position (x, y): zero outside the bounds or an allocated tile.
    BM_PixelRgba32 pixel(int x, int y) const;

private:
    bool inGrid(int column, int row) const {
        return column >= 0 && row >= 0 && column < m_columns && row < m_rows;
    }
    std::size_t index(int column, int row) const {
        return std::size_t(row) * std::size_t(m_columns) + column;
    }

    int m_columns = 0;
    int m_rows = 0;
    bool m_valid = false;
    // Whole tiles are carved from 2 MiB blocks of eight (one huge page where
    // the system offers them: a layer's tiles then cost a few page faults,
    // not sixty-four each); tiles cut at the bounds are allocated one by one.
    // A freed whole tile's room is given back with the layer; the blocks of
    // a layer that is gone are kept for the next ones (up to 64 MiB).
    struct Block {
        void operator()(void* p) const;
    };
    std::vector<BM_PixelRgba32*> m_tiles;
    std::vector<std::unique_ptr<BM_PixelRgba32[]>> m_cut; // owners of the cut tiles, by tile
    std::vector<std::unique_ptr<void, Block>> m_blocks;
    int m_blockUsed = 0; // whole tiles carved from the last block
    std::unique_ptr<std::mutex> m_mutex;
};

using BM_TiledBitmapRgba32 = BM_TiledBitmap<BM_PixelRgba32>;

namespace BM_Util {

// Fills dst over its bounds: src's pixels converted by the pixel rules above
// where src covers them, zero elsewhere. src is an uncompressed bitmap of any
// layout or a tiled bitmap; dst is any uncompressed bitmap with pixels. False
// (dst untouched) when either has no pixels where it should.
CELCORE_EXPORT bool Convert(const BM_Bitmap& src, BM_UncompressedBitmap& dst);

} // namespace BM_Util

// What composeBitmap does.
struct BM_ComposeOp {
    int type = 0;   // 0: copy all four channels; no other type is offered
    int second = 0; // type 0: 1 leaves a destination tile that is not allocated
                    // unallocated when the source over it is all zero
};

namespace BM_BitmapAlgo {

// Composes src onto dst over the intersection of their bounds. Both are
// 32-bit: uncompressed or tiled. False for another type, another layout, a
// bitmap without pixels or a tile that cannot be allocated (the tiles done
// before stay written).
CELCORE_EXPORT bool composeBitmap(BM_Bitmap& dst, const BM_Bitmap& src, const BM_ComposeOp& op);

} // namespace BM_BitmapAlgo
