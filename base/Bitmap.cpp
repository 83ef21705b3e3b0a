#include "base/Bitmap.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "pixel/PixelBuffer.h"
#include "pixel/Representation.h"

static_assert(sizeof(BM_PixelRgba32) == 4 && sizeof(BM_PixelRgba64) == 8);

namespace {

int bytesPerPixel(BM_Bitmap::Layout layout) {
    return int(layout) / 8;
}

std::size_t alignmentOf(BM_Bitmap::Layout layout) {
    return layout == BM_Bitmap::RGBA64 ? alignof(BM_PixelRgba64) : 1;
}

// ------------------------------------------------------------ row conversion

// n pixels from src (layout sl; null: zero) into dst (layout dl).
void convertRow(const uint8_t* src, BM_Bitmap::Layout sl, uint8_t* dst, BM_Bitmap::Layout dl, int n) {
    using L = BM_Bitmap;
    if (n <= 0) return;
    if (!src) {
        std::memset(dst, 0, std::size_t(n) * std::size_t(bytesPerPixel(dl)));
        return;
    }
    if (sl == dl) {
        std::memcpy(dst, src, std::size_t(n) * std::size_t(bytesPerPixel(dl)));
        return;
    }
    const auto* s32 = reinterpret_cast<const BM_PixelRgba32*>(src);
    const auto* s64 = reinterpret_cast<const BM_PixelRgba64*>(src);
    auto* d32 = reinterpret_cast<BM_PixelRgba32*>(dst);
    auto* d64 = reinterpret_cast<BM_PixelRgba64*>(dst);
    switch (sl * 100 + dl) {
    case L::RGBA32 * 100 + L::RGBA64:
        CEL_PixelBuffer::convert(s32, d64, n);
        break;
    case L::RGBA64 * 100 + L::RGBA32:
        CEL_PixelBuffer::convert(s64, d32, n);
        break;
    case L::RGB24 * 100 + L::RGBA32:
        for (int i = 0; i < n; ++i) d32[i] = BM_PixelRgba32{src[3 * i], src[3 * i + 1], src[3 * i + 2], 255};
        break;
    case L::RGBA32 * 100 + L::RGB24:
        for (int i = 0; i < n; ++i)
            dst[3 * i] = s32[i].r, dst[3 * i + 1] = s32[i].g, dst[3 * i + 2] = s32[i].b;
        break;
    case L::RGB24 * 100 + L::RGBA64:
        for (int i = 0; i < n; ++i)
            d64[i] = BM_PixelRgba64{CEL_PixelRule::from8(src[3 * i]), CEL_PixelRule::from8(src[3 * i + 1]),
                                    CEL_PixelRule::from8(src[3 * i + 2]), 32767};
        break;
    case L::RGBA64 * 100 + L::RGB24:
        for (int i = 0; i < n; ++i)
            dst[3 * i] = CEL_PixelRule::to8(s64[i].r), dst[3 * i + 1] = CEL_PixelRule::to8(s64[i].g),
                    dst[3 * i + 2] = CEL_PixelRule::to8(s64[i].b);
        break;
    default:
        break;
    }
}

// A run of source pixels starting at (x, y): where they are (null: zero) and
// how many follow in the same row of the same piece of storage.
struct Span {
    const uint8_t* pixels;
    int count;
};

Span spanAt(const BM_Bitmap& src, int x, int y) {
    const Math::Box2di& b = src.bounds();
    if (const auto* u = dynamic_cast<const BM_UncompressedBitmap*>(&src))
        return {u->row(y) + (long long)(x - b.x1()) * bytesPerPixel(src.layout()), b.x2() - x};
    const auto& t = static_cast<const BM_TiledBitmapRgba32&>(src);
    const int column = (x - b.x1()) / BM_TiledBitmapRgba32::TileSize;
    const int row = (y - b.y1()) / BM_TiledBitmapRgba32::TileSize;
    const Math::Box2di r = t.tileRect(column, row);
    const BM_PixelRgba32* tile = t.tile(column, row);
    const auto* p = tile ? tile + (long long)(y - r.y1()) * r.w() + (x - r.x1()) : nullptr;
    return {reinterpret_cast<const uint8_t*>(p), r.x2() - x};
}

// n pixels of src's row y from x on, converted into dst (layout dl).
void readRow(const BM_Bitmap& src, int x, int y, uint8_t* dst, BM_Bitmap::Layout dl, int n) {
    while (n > 0) {
        const Span s = spanAt(src, x, y);
        const int k = std::min(n, s.count);
        convertRow(s.pixels, src.layout(), dst, dl, k);
        dst += (long long)k * bytesPerPixel(dl);
        x += k;
        n -= k;
    }
}

// Whether src's pixels over r (inside its bounds) are all zero.
bool allZero(const BM_Bitmap& src, const Math::Box2di& r) {
    for (int y = r.y1(); y < r.y2(); ++y)
        for (int x = r.x1(); x < r.x2();) {
            const Span s = spanAt(src, x, y);
            const int k = std::min(r.x2() - x, s.count);
            if (s.pixels) {
                const std::size_t bytes = std::size_t(k) * std::size_t(bytesPerPixel(src.layout()));
                if (s.pixels[0] != 0 || std::memcmp(s.pixels, s.pixels + 1, bytes - 1) != 0) return false;
            }
            x += k;
        }
    return true;
}

bool hasPixels(const BM_Bitmap& b) {
    if (const auto* u = dynamic_cast<const BM_UncompressedBitmap*>(&b)) return u->isValid();
    if (const auto* t = dynamic_cast<const BM_TiledBitmapRgba32*>(&b)) return t->isValid();
    return false;
}

} // namespace

// ------------------------------------------------------------------ BM_Bitmap

BM_Bitmap::~BM_Bitmap() = default;

// ------------------------------------------------------ BM_UncompressedBitmap

long long BM_UncompressedBitmap::minimalStride(Layout layout, int width) {
    return width > 0 ? ((long long)width * int(layout) + 7) / 8 : 0;
}

BM_UncompressedBitmap::BM_UncompressedBitmap(Layout layout, const Math::Box2di& bounds, bool clear)
    : BM_Bitmap(layout, bounds), m_stride(minimalStride(layout, width())) {
    if (isEmpty() || !boundsFit()) return;
    const long long pixels = (long long)width() * height();
    switch (layout) {
    case RGB24:
        if (uint8_t* p = CEL_PixelBuffer::allocate<uint8_t>(m_stride * height(), clear)) {
            m_data = p;
            m_free = [](void* q) { delete[] static_cast<uint8_t*>(q); };
        }
        break;
    case RGBA32:
        if (auto* p = CEL_PixelBuffer::allocate<BM_PixelRgba32>(pixels, clear)) {
            m_data = reinterpret_cast<uint8_t*>(p);
            m_free = [](void* q) { delete[] static_cast<BM_PixelRgba32*>(q); };
        }
        break;
    case RGBA64:
        if (auto* p = CEL_PixelBuffer::allocate<BM_PixelRgba64>(pixels, clear)) {
            m_data = reinterpret_cast<uint8_t*>(p);
            m_free = [](void* q) { delete[] static_cast<BM_PixelRgba64*>(q); };
        }
        break;
    }
}

BM_UncompressedBitmap::BM_UncompressedBitmap(Layout layout, const Math::Box2di& bounds, void* buffer,
                                             long long stride)
    : BM_Bitmap(layout, bounds), m_stride(stride) {
    const std::size_t align = alignmentOf(layout);
    if (buffer && boundsFit() && stride >= minimalStride(layout, width()) &&
        reinterpret_cast<uintptr_t>(buffer) % align == 0 && std::size_t(stride) % align == 0)
        m_data = static_cast<uint8_t*>(buffer);
}

BM_UncompressedBitmap::~BM_UncompressedBitmap() {
    if (m_free && m_data) m_free(m_data);
}

void* BM_UncompressedBitmap::releaseBuffer() {
    if (!m_free) return nullptr;
    m_free = nullptr;
    return std::exchange(m_data, nullptr);
}

// ------------------------------------------------------------ BM_StoredBitmap

BM_StoredBitmap::BM_StoredBitmap(const BM_StoredBitmap& other) {
    *this = other;
}

BM_StoredBitmap& BM_StoredBitmap::operator=(const BM_StoredBitmap& other) {
    if (this != &other && allocate(other.m_size) && m_size)
        std::memcpy(m_data.get(), other.m_data.get(), m_size);
    return *this;
}

BM_StoredBitmap::~BM_StoredBitmap() = default;

bool BM_StoredBitmap::allocate(std::size_t n) {
    m_data.reset();
    m_size = 0;
    if (n == 0) return true;
    m_data.reset(new (std::nothrow) uint8_t[n]);
    if (!m_data) return false;
    m_size = n;
    return true;
}

// ---------------------------------------------------------- BM_TiledBitmap

BM_TiledBitmap<BM_PixelRgba32>::BM_TiledBitmap(const Math::Box2di& bounds) : BM_Bitmap(RGBA32, bounds) {
    if (isEmpty()) {
        m_valid = true;
        return;
    }
    if (!boundsFit()) return;
    const long long columns = (width() + (long long)TileSize - 1) / TileSize;
    const long long rows = (height() + (long long)TileSize - 1) / TileSize;
    unsigned long long bytes = 0;
    if (!CEL_PixelBuffer::byteSize(columns * rows, sizeof(void*), bytes) ||
        bytes > CEL_Pixmap::maxPixmapBytes())
        return;
    try {
        m_tiles.assign(std::size_t(columns * rows), nullptr);
        m_cut.resize(std::size_t(columns * rows));
        m_mutex = std::make_unique<std::mutex>();
    } catch (const std::bad_alloc&) {
        return;
    }
    m_columns = int(columns);
    m_rows = int(rows);
    m_valid = true;
}

BM_TiledBitmap<BM_PixelRgba32>::~BM_TiledBitmap() = default;

Math::Box2di BM_TiledBitmap<BM_PixelRgba32>::tileRect(int column, int row) const {
    if (!inGrid(column, row)) return Math::Box2di();
    const Math::Box2di& b = bounds();
    const int x1 = b.x1() + column * TileSize, y1 = b.y1() + row * TileSize;
    // Compared as distances: the last tile may end where int ends.
    return Math::Box2di::fromCorners(x1, y1, b.x2() - x1 > TileSize ? x1 + TileSize : b.x2(),
                                     b.y2() - y1 > TileSize ? y1 + TileSize : b.y2());
}

namespace {

// The blocks of layers that are gone, kept for the next layers (up to 64 MiB):
// a batch of conversions then writes into memory already faulted in instead of
// having the system find and zero fresh pages for every layer. Never
// destroyed, so that a layer outliving static destruction can still give its
// blocks back.
struct BlockPool {
    static constexpr std::size_t kKept = 32;
    std::mutex mutex;
    std::vector<void*> blocks;
    BlockPool() { blocks.reserve(kKept); }
};

BlockPool& blockPool() {
    static BlockPool* pool = new BlockPool;
    return *pool;
}

void* takeBlock() {
    BlockPool& pool = blockPool();
    const std::lock_guard lock(pool.mutex);
    if (pool.blocks.empty()) return nullptr;
    void* p = pool.blocks.back();
    pool.blocks.pop_back();
    return p;
}

} // namespace

void BM_TiledBitmap<BM_PixelRgba32>::Block::operator()(void* p) const {
    BlockPool& pool = blockPool();
    {
        const std::lock_guard lock(pool.mutex);
        if (pool.blocks.size() < BlockPool::kKept) {
            pool.blocks.push_back(p); // reserved: cannot throw
            return;
        }
    }
    std::free(p);
}

int BM_TiledBitmap<BM_PixelRgba32>::allocatedTileCount() const {
    return int(
        std::count_if(m_tiles.begin(), m_tiles.end(), [](const BM_PixelRgba32* t) { return t != nullptr; }));
}

BM_PixelRgba32* BM_TiledBitmap<BM_PixelRgba32>::tile(int column, int row) {
    return inGrid(column, row) ? m_tiles[index(column, row)] : nullptr;
}

const BM_PixelRgba32* BM_TiledBitmap<BM_PixelRgba32>::tile(int column, int row) const {
    return inGrid(column, row) ? m_tiles[index(column, row)] : nullptr;
}

BM_PixelRgba32* BM_TiledBitmap<BM_PixelRgba32>::tileForWrite(int column, int row, bool clear) {
    if (!inGrid(column, row)) return nullptr;
    const std::size_t i = index(column, row);
    if (m_tiles[i]) return m_tiles[i];
    const long long area = tileRect(column, row).area();
    if (area < (long long)TileSize * TileSize) {
        m_cut[i].reset(CEL_PixelBuffer::allocate<BM_PixelRgba32>(area, clear));
        return m_tiles[i] = m_cut[i].get();
    }
    constexpr std::size_t kTileBytes = std::size_t(TileSize) * TileSize * sizeof(BM_PixelRgba32);
    constexpr int kPerBlock = 8;
    constexpr std::size_t kBlockBytes = kTileBytes * kPerBlock; // 2 MiB
    BM_PixelRgba32* t = nullptr;
    {
        const std::lock_guard lock(*m_mutex);
        if (m_blocks.empty() || m_blockUsed == kPerBlock) {
            if (!CEL_PixelBuffer::withinLimit(kBlockBytes)) return nullptr;
            void* block = takeBlock();
            if (!block) {
                block = std::aligned_alloc(kBlockBytes, kBlockBytes);
                if (!block) return nullptr;
#if defined(__linux__) && defined(MADV_HUGEPAGE)
                madvise(block, kBlockBytes, MADV_HUGEPAGE);
#endif
            }
            try {
                m_blocks.emplace_back(block);
            } catch (const std::bad_alloc&) {
                Block()(block);
                return nullptr;
            }
            m_blockUsed = 0;
        }
        t = reinterpret_cast<BM_PixelRgba32*>(static_cast<uint8_t*>(m_blocks.back().get()) +
                                              kTileBytes * std::size_t(m_blockUsed++));
    }
    if (clear) std::memset(static_cast<void*>(t), 0, kTileBytes);
    return m_tiles[i] = t;
}

void BM_TiledBitmap<BM_PixelRgba32>::freeTile(int column, int row) {
    if (!inGrid(column, row)) return;
    const std::size_t i = index(column, row);
    m_tiles[i] = nullptr;
    m_cut[i].reset();
}

BM_PixelRgba32 BM_TiledBitmap<BM_PixelRgba32>::pixel(int x, int y) const {
    if (!bounds().isContaining(x, y)) return BM_PixelRgba32{0, 0, 0, 0};
    const int column = (x - bounds().x1()) / TileSize, row = (y - bounds().y1()) / TileSize;
    const BM_PixelRgba32* t = tile(column, row);
    const Math::Box2di r = tileRect(column, row);
    return t ? t[(long long)(y - r.y1()) * r.w() + (x - r.x1())] : BM_PixelRgba32{0, 0, 0, 0};
}

// ------------------------------------------------------------------ BM_Util

bool BM_Util::Convert(const BM_Bitmap& src, BM_UncompressedBitmap& dst) {
    if (!hasPixels(src) || !dst.isValid()) return false;
    if (dynamic_cast<const BM_TiledBitmapRgba32*>(&src) == nullptr &&
        dynamic_cast<const BM_UncompressedBitmap*>(&src) == nullptr)
        return false;
    const Math::Box2di d = dst.bounds();
    const Math::Box2di common = d.getIntersection(src.bounds());
    const int bpp = bytesPerPixel(dst.layout());
    for (int y = d.y1(); y < d.y2(); ++y) {
        uint8_t* row = dst.row(y);
        if (common.hasNullArea() || y < common.y1() || y >= common.y2()) {
            std::memset(row, 0, std::size_t(d.w()) * std::size_t(bpp));
            continue;
        }
        std::memset(row, 0, std::size_t(common.x1() - d.x1()) * std::size_t(bpp));
        readRow(src, common.x1(), y, row + (long long)(common.x1() - d.x1()) * bpp, dst.layout(), common.w());
        std::memset(row + (long long)(common.x2() - d.x1()) * bpp, 0,
                    std::size_t(d.x2() - common.x2()) * std::size_t(bpp));
    }
    return true;
}

// ------------------------------------------------------------ BM_BitmapAlgo

bool BM_BitmapAlgo::composeBitmap(BM_Bitmap& dst, const BM_Bitmap& src, const BM_ComposeOp& op) {
    if (op.type != 0 || dst.layout() != BM_Bitmap::RGBA32 || src.layout() != BM_Bitmap::RGBA32) return false;
    if (!hasPixels(dst) || !hasPixels(src)) return false;
    const Math::Box2di common = dst.bounds().getIntersection(src.bounds());
    if (common.hasNullArea()) return true;

    if (auto* u = dynamic_cast<BM_UncompressedBitmap*>(&dst)) {
        for (int y = common.y1(); y < common.y2(); ++y)
            readRow(src, common.x1(), y, u->row(y) + (long long)(common.x1() - dst.bounds().x1()) * 4,
                    BM_Bitmap::RGBA32, common.w());
        return true;
    }
    auto& t = static_cast<BM_TiledBitmapRgba32&>(dst);
    const Math::Box2di& b = t.bounds();
    const int c1 = (common.x1() - b.x1()) / BM_TiledBitmapRgba32::TileSize;
    const int c2 = (common.x2() - 1 - b.x1()) / BM_TiledBitmapRgba32::TileSize;
    const int r1 = (common.y1() - b.y1()) / BM_TiledBitmapRgba32::TileSize;
    const int r2 = (common.y2() - 1 - b.y1()) / BM_TiledBitmapRgba32::TileSize;
    for (int row = r1; row <= r2; ++row)
        for (int column = c1; column <= c2; ++column) {
            const Math::Box2di r = t.tileRect(column, row);
            const Math::Box2di part = r.getIntersection(common);
            if (op.second == 1 && !t.isTileAllocated(column, row) && allZero(src, part)) continue;
            BM_PixelRgba32* pixels = t.tileForWrite(column, row, part != r);
            if (!pixels) return false;
            for (int y = part.y1(); y < part.y2(); ++y)
                readRow(src, part.x1(), y,
                        reinterpret_cast<uint8_t*>(pixels + (long long)(y - r.y1()) * r.w() +
                                                   (part.x1() - r.x1())),
                        BM_Bitmap::RGBA32, part.w());
        }
    return true;
}
