#include "celio/handlers/SgiHandler.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "base/ByteOrder.h"
#include "base/Message.h"
#include "base/Platform.h"
#include "cel/Cel.h"
#include "celio/ByteIO.h"
#include "celio/InputStream.h"
#include "celio/MemoryFile.h"
#include "celio/ReadLimits.h"
#include "celio/handlers/WriteLimitsDetail.h"
#include "pixel/PixmapCanvas.h"

namespace {

using Header = QXCelUioSgiHandler::Header;

constexpr char kContext[] = "QXCelUioSgiHandler";
constexpr int kWriteFailedCode = 20;
constexpr char kImageName[] = "Frameweaver 6.0 IO";
// Longest run or literal packet of the encoder.
constexpr size_t kMaxPacket = 126;

using ByteOrder::getU16BE;
using ByteOrder::getU32BE;
using ByteOrder::putU16BE;
using ByteOrder::putU32BE;

void unpackHeader(const uint8_t* b, Header& h) {
    h.magic = getU16BE(b);
    h.storage = b[2];
    h.bpc = b[3];
    h.dimension = getU16BE(b + 4);
    h.xsize = getU16BE(b + 6);
    h.ysize = getU16BE(b + 8);
    h.zsize = getU16BE(b + 10);
    h.pixmin = getU32BE(b + 12);
    h.pixmax = getU32BE(b + 16);
    h.dummy = getU32BE(b + 20);
    std::memcpy(h.imageName, b + 24, sizeof h.imageName);
    h.colorMap = getU32BE(b + 104);
}

void packHeader(const Header& h, uint8_t* b) {
    std::memset(b, 0, Header::Size);
    putU16BE(b, h.magic);
    b[2] = h.storage;
    b[3] = h.bpc;
    putU16BE(b + 4, h.dimension);
    putU16BE(b + 6, h.xsize);
    putU16BE(b + 8, h.ysize);
    putU16BE(b + 10, h.zsize);
    putU32BE(b + 12, h.pixmin);
    putU32BE(b + 16, h.pixmax);
    putU32BE(b + 20, h.dummy);
    std::memcpy(b + 24, h.imageName, sizeof h.imageName);
    putU32BE(b + 104, h.colorMap);
}

// ------------------------------------------------------------------ input

// Random access to the file for the decoders. A stream that can seek (a file
// read through its window, a memory buffer) is used in place: reads that
// continue where the last one stopped cost no seek, and data inside the
// current chunk is decoded where it lies. A stream that cannot seek (standard
// input, one byte per chunk) is read into memory first, up to a limit.
class Input {
public:
    // The stream stands right after the header, whose bytes are given.
    Input(CELIO_InputStream& stream, const uint8_t* header) : m_stream(stream) {
        // A seekable block hands out more than one byte per chunk, unless the
        // file ends right after the header: gathering that costs nothing.
        m_gathered = stream.available() <= 1;
        if (m_gathered) m_bytes.assign(header, header + Header::Size);
    }

    // Makes sure the bytes before `end` are taken in when the stream cannot seek.
    void gatherTo(uint64_t end) {
        if (!m_gathered || m_ended) return;
        constexpr size_t kStep = size_t(1) << 20;
        while (m_bytes.size() < end) {
            const size_t want = size_t(std::min<uint64_t>(end - m_bytes.size(), kStep));
            const size_t had = m_bytes.size();
            m_bytes.resize(had + want);
            const size_t got = m_stream.read(m_bytes.data() + had, want);
            m_bytes.resize(had + got);
            if (got < want) {
                m_ended = true;
                break;
            }
        }
    }

    // Whether the file holds every byte before `end`.
    bool holds(uint64_t end) {
        if (end == 0) return true;
        if (m_gathered) {
            gatherTo(end);
            return m_bytes.size() >= end;
        }
        // The last byte, or the last a 32-bit seek reaches (a file that long
        // is no lie).
        const uint64_t last = std::min<uint64_t>(end - 1, std::numeric_limits<uint32_t>::max());
        m_stream.seek(uint32_t(last));
        m_pos = last;
        return m_stream.available() > 0;
    }

    struct Span {
        const uint8_t* data = nullptr;
        size_t size = 0;
        bool inChunk = false;
    };

    // Up to n contiguous bytes from `offset`; fewer at the end of the file.
    // The scratch buffer must hold n bytes. Call done() after using them.
    Span fetch(uint64_t offset, size_t n, uint8_t* scratch) {
        Span s;
        if (m_gathered) {
            if (offset < m_bytes.size()) {
                s.data = m_bytes.data() + offset;
                s.size = size_t(std::min<uint64_t>(n, m_bytes.size() - offset));
            }
            return s;
        }
        if (offset != m_pos) {
            if (offset > std::numeric_limits<uint32_t>::max()) return s;
            m_stream.seek(uint32_t(offset));
            m_pos = offset;
        }
        if (m_stream.available() >= n) {
            s.data = m_stream.data();
            s.size = n;
            s.inChunk = true;
            return s;
        }
        s.data = scratch;
        s.size = m_stream.read(scratch, n);
        m_pos += s.size;
        return s;
    }
    // The bytes from `from` up to at least `required` and at most `wanted`
    // in one piece, when the input holds them so (all of a memory buffer, a
    // span inside the file window, or the gathered input, which may end
    // earlier); else an empty span.
    Span window(uint64_t from, uint64_t required, uint64_t wanted) {
        Span s;
        if (wanted <= from) return s;
        if (m_gathered) {
            if (from < m_bytes.size()) {
                s.data = m_bytes.data() + from;
                s.size = size_t(std::min<uint64_t>(wanted, m_bytes.size()) - from);
            }
            return s;
        }
        if (from > std::numeric_limits<uint32_t>::max()) return s;
        if (from != m_pos) {
            m_stream.seek(uint32_t(from));
            m_pos = from;
        }
        if (m_stream.available() >= required - from) {
            s.data = m_stream.data();
            s.size = size_t(std::min<uint64_t>(m_stream.available(), wanted - from));
        }
        return s;
    }
    // Consumes `used` bytes of a span from fetch().
    void done(const Span& s, size_t used) {
        if (!s.inChunk) return;
        m_stream.advance(uint32_t(used));
        m_pos += used;
    }

    // Copies up to n bytes from `offset`; returns how many there were.
    size_t copy(uint64_t offset, uint8_t* dst, size_t n) {
        if (m_gathered) {
            gatherTo(offset + n);
            if (offset >= m_bytes.size()) return 0;
            const size_t got = size_t(std::min<uint64_t>(n, m_bytes.size() - offset));
            std::memcpy(dst, m_bytes.data() + offset, got);
            return got;
        }
        const Span s = fetch(offset, n, dst);
        if (s.inChunk) {
            std::memcpy(dst, s.data, s.size);
            done(s, s.size);
        }
        return s.size;
    }

private:
    CELIO_InputStream& m_stream;
    uint64_t m_pos = Header::Size; // file offset of the stream's cursor
    bool m_gathered = false;
    bool m_ended = false;
    std::vector<uint8_t> m_bytes; // gathered file, from offset 0
};

// ------------------------------------------------------------------ decoding

// Samples of the pixmaps: 8-bit unsigned or 16-bit signed.
template <bool Deep> using Sample = std::conditional_t<Deep, int16_t, uint8_t>;

// Bytes of a file sample and of a count.
template <bool Deep> constexpr size_t kUnit = Deep ? 2 : 1;

template <bool Deep> Sample<Deep> fileSample(const uint8_t* p) {
    if constexpr (Deep)
        return int16_t(getU16BE(p) >> 1);
    else
        return *p;
}

// Most bytes a run-length row can use before it holds `width` samples: a
// packet gives at least one sample and takes at most two units; then the
// terminator.
template <bool Deep> size_t maxCodedRow(size_t width) {
    return (2 * width + 1) * kUnit<Deep>;
}
// Fewest bytes that can code a full row: packets of 127 samples.
template <bool Deep> uint64_t minCodedRow(uint64_t width) {
    return (width + 126) / 127 * 2 * kUnit<Deep>;
}

struct RowResult {
    size_t samples; // samples written
    size_t used;    // bytes consumed
};

// One run-length coded channel row into every Step-th sample of dst.
template <bool Deep, size_t Step>
RowResult decodeRleRow(const uint8_t* src, size_t n, Sample<Deep>* dst, size_t width) {
    constexpr size_t U = kUnit<Deep>;
    const uint8_t* p = src;
    const uint8_t* const end = src + n / U * U;
    size_t x = 0;
    while (x < width && p < end) {
        const uint8_t b = p[U - 1]; // the count is the low-order byte of a 16-bit word
        p += U;
        const size_t count = b & 127u;
        if (count == 0) break;
        size_t k = std::min(count, width - x);
        if (b & 128u) {
            const size_t there = size_t(end - p) / U;
            k = std::min(k, there);
            Sample<Deep>* d = dst + x * Step;
            for (size_t i = 0; i < k; ++i) d[i * Step] = fileSample<Deep>(p + i * U);
            x += k;
            if (there < count) {
                p = end;
                break;
            }
            p += count * U;
        } else {
            if (p == end) break;
            const Sample<Deep> v = fileSample<Deep>(p);
            p += U;
            Sample<Deep>* d = dst + x * Step;
            for (size_t i = 0; i < k; ++i) d[i * Step] = v;
            x += k;
        }
    }
    return {x, size_t(p - src)};
}

// One verbatim channel row (n bytes available) into every Step-th sample of dst.
template <bool Deep, size_t Step>
size_t decodeRawRow(const uint8_t* src, size_t n, Sample<Deep>* dst, size_t width) {
    constexpr size_t U = kUnit<Deep>;
    const size_t k = std::min(width, n / U);
    for (size_t i = 0; i < k; ++i) dst[i * Step] = fileSample<Deep>(src + i * U);
    return k;
}

template <bool Deep, size_t Step> void clearTail(Sample<Deep>* dst, size_t from, size_t width) {
    for (size_t i = from; i < width; ++i) dst[i * Step] = 0;
}

// The pixmap a file decodes into, with its sample buffer.
template <bool Deep> struct Target {
    std::unique_ptr<CEL_Pixmap> pixmap;
    Sample<Deep>* samples = nullptr;
};

template <bool Deep> Target<Deep> makeTarget(int w, int h, bool matte) {
    Target<Deep> t;
    const Math::Size2di size(w, h);
    if constexpr (Deep) {
        if (matte) {
            auto* p = new CEL_PixmapMatte16(w, h);
            t.samples = p->data();
            t.pixmap.reset(p);
        } else {
            auto* p = new CEL_PixmapRGBA16(size, CEL_PixmapRGBA16::DoNotMemset{});
            t.samples = reinterpret_cast<int16_t*>(p->data());
            t.pixmap.reset(p);
        }
    } else {
        if (matte) {
            auto* p = new CEL_PixmapMatte8(w, h);
            t.samples = p->data();
            t.pixmap.reset(p);
        } else {
            auto* p = new CEL_PixmapRGBA8(size, CEL_PixmapRGBA8::DoNotMemset{});
            t.samples = reinterpret_cast<uint8_t*>(p->data());
            t.pixmap.reset(p);
        }
    }
    return t;
}

// What the decoders need of the header.
struct Shape {
    size_t width, height, channels; // channels: 1, 3 or 4
    bool deep;
    size_t step() const { return channels == 1 ? 1 : 4; }
    unsigned long long pixelBytes() const {
        return (unsigned long long)width * height * step() * (deep ? 2 : 1);
    }
    size_t rowBytes() const { return width * (deep ? 2 : 1); }
};

template <bool Deep, size_t Step> void fillAlpha(Sample<Deep>* s, size_t pixels) {
    if constexpr (Step == 4) {
        const Sample<Deep> full = Deep ? Sample<Deep>(32767) : Sample<Deep>(255);
        for (size_t i = 0; i < pixels; ++i) s[4 * i + 3] = full;
    }
}

// Channel rows held side by side (planes[c * width + x]) to pixels; a
// three-channel row gets a full alpha. Written a whole pixel at a time.
template <bool Deep, bool Alpha>
void interleave(const Sample<Deep>* planes, Sample<Deep>* out, size_t width) {
    using Word = std::conditional_t<Deep, uint64_t, uint32_t>;
    using Unit = std::make_unsigned_t<Sample<Deep>>;
    constexpr unsigned kBits = Deep ? 16 : 8;
    const Sample<Deep> full = Deep ? Sample<Deep>(32767) : Sample<Deep>(255);
    const Sample<Deep>*r = planes, *g = planes + width, *b = planes + 2 * width, *a = planes + 3 * width;
    for (size_t x = 0; x < width; ++x) {
        const Word w = Word(Unit(r[x])) | Word(Unit(g[x])) << kBits | Word(Unit(b[x])) << (2 * kBits) |
                       Word(Unit(Alpha ? a[x] : full)) << (3 * kBits);
        std::memcpy(out + 4 * x, &w, sizeof w);
    }
}

// One pixmap row from its channel rows; decodeChannel(c, dst) fills width
// contiguous samples. A matte row is decoded in place.
template <bool Deep, size_t Step, class DecodeChannel>
void assembleRow(const Shape& sh, Sample<Deep>* row, Sample<Deep>* planes, DecodeChannel&& decodeChannel) {
    if constexpr (Step == 1) {
        decodeChannel(0, row);
    } else {
        for (size_t c = 0; c < sh.channels; ++c) decodeChannel(c, planes + c * sh.width);
        if (sh.channels == 4)
            interleave<Deep, true>(planes, row, sh.width);
        else
            interleave<Deep, false>(planes, row, sh.width);
    }
}

// The decoders visit channel rows in one of two orders. When the input holds
// all the data in one piece, pixmap row by pixmap row: the row stays in the
// cache while its channels arrive. Otherwise in file order, so that the file
// streams through the input window once; each channel is then a pass of its
// own over the pixmap.

// Verbatim channel planes, each from its bottom row up. Returns whether the
// alpha of a three-channel file has been filled.
template <bool Deep, size_t Step> bool decodeVerbatim(Input& in, const Shape& sh, Sample<Deep>* samples) {
    const size_t rowBytes = sh.rowBytes(), planeBytes = rowBytes * sh.height;
    const auto rowOf = [&](size_t y) { return samples + (sh.height - 1 - y) * sh.width * Step; };
    const uint64_t end = Header::Size + uint64_t(planeBytes) * sh.channels;
    const Input::Span all = in.window(Header::Size, end, end);
    if (all.data) {
        std::vector<Sample<Deep>> planes(Step * sh.width);
        for (size_t y = 0; y < sh.height; ++y) {
            assembleRow<Deep, Step>(sh, rowOf(y), planes.data(), [&](size_t c, Sample<Deep>* dst) {
                const size_t at = c * planeBytes + y * rowBytes;
                const size_t n = at < all.size ? std::min(rowBytes, all.size - at) : 0;
                const size_t got = n ? decodeRawRow<Deep, 1>(all.data + at, n, dst, sh.width) : 0;
                clearTail<Deep, 1>(dst, got, sh.width);
            });
        }
        return true;
    }
    std::vector<uint8_t> scratch(rowBytes);
    uint64_t offset = Header::Size;
    for (size_t c = 0; c < sh.channels; ++c) {
        for (size_t y = 0; y < sh.height; ++y, offset += rowBytes) {
            const Input::Span s = in.fetch(offset, rowBytes, scratch.data());
            const size_t got = s.size ? decodeRawRow<Deep, Step>(s.data, s.size, rowOf(y) + c, sh.width) : 0;
            in.done(s, s.size);
            clearTail<Deep, Step>(rowOf(y) + c, got, sh.width);
        }
    }
    return false;
}

// Run-length coded channel rows. Returns whether the alpha of a three-channel
// file has been filled.
template <bool Deep, size_t Step>
bool decodeRle(Input& in, const Shape& sh, const std::vector<uint32_t>& starts,
               const std::vector<uint32_t>& lengths, Sample<Deep>* samples) {
    const size_t rows = starts.size();
    const size_t cap = maxCodedRow<Deep>(sh.width);
    // The length counts bytes, or words for 16-bit rows.
    const auto lengthOf = [&](size_t i) {
        return size_t(std::min<uint64_t>(uint64_t(lengths[i]) * kUnit<Deep>, cap));
    };
    const auto rowOf = [&](size_t i) { return samples + (sh.height - 1 - i % sh.height) * sh.width * Step; };

    // The span of the rows as their lengths in bytes give it, and as far as
    // 16-bit rows may read.
    uint64_t lo = std::numeric_limits<uint64_t>::max(), hi = 0, reach = 0;
    for (size_t i = 0; i < rows; ++i) {
        lo = std::min<uint64_t>(lo, starts[i]);
        hi = std::max<uint64_t>(hi, uint64_t(starts[i]) + std::min<uint64_t>(lengths[i], cap));
        reach = std::max<uint64_t>(reach, uint64_t(starts[i]) + lengthOf(i));
    }
    const Input::Span all = in.window(lo, hi, reach);
    if (all.data) {
        std::vector<Sample<Deep>> planes(Step * sh.width);
        for (size_t y = 0; y < sh.height; ++y) {
            assembleRow<Deep, Step>(sh, rowOf(y), planes.data(), [&](size_t c, Sample<Deep>* dst) {
                const size_t i = c * sh.height + y, at = size_t(starts[i] - lo);
                const size_t n = at < all.size ? std::min(lengthOf(i), all.size - at) : 0;
                const size_t got = n ? decodeRleRow<Deep, 1>(all.data + at, n, dst, sh.width).samples : 0;
                clearTail<Deep, 1>(dst, got, sh.width);
            });
        }
        return true;
    }

    std::vector<uint64_t> order(rows);
    for (size_t i = 0; i < rows; ++i) order[i] = (uint64_t(starts[i]) << 32) | i;
    std::sort(order.begin(), order.end());
    std::vector<uint8_t> scratch(cap);
    for (const uint64_t key : order) {
        const size_t i = size_t(key & 0xffffffffu);
        Sample<Deep>* dst = rowOf(i) + i / sh.height;
        const Input::Span s = in.fetch(starts[i], lengthOf(i), scratch.data());
        const RowResult r =
            s.size ? decodeRleRow<Deep, Step>(s.data, s.size, dst, sh.width) : RowResult{0, 0};
        in.done(s, r.used);
        clearTail<Deep, Step>(dst, r.samples, sh.width);
    }
    return false;
}

template <bool Deep, size_t Step>
void decodeImage(Input& in, const Shape& sh, bool rle, const std::vector<uint32_t>& starts,
                 const std::vector<uint32_t>& lengths, Sample<Deep>* samples) {
    const bool alphaDone = rle ? decodeRle<Deep, Step>(in, sh, starts, lengths, samples)
                               : decodeVerbatim<Deep, Step>(in, sh, samples);
    if (sh.channels == 3 && !alphaDone) fillAlpha<Deep, Step>(samples, sh.width * sh.height);
}

template <bool Deep>
CEL_Representation* decodeFile(Input& in, const Shape& sh, bool rle, const std::vector<uint32_t>& starts,
                               const std::vector<uint32_t>& lengths) {
    Target<Deep> t = makeTarget<Deep>(int(sh.width), int(sh.height), sh.channels == 1);
    if (sh.width * sh.height == 0) return t.pixmap.release();
    if (!t.samples) return nullptr; // the pixmap has posted the out-of-memory message
    if (sh.channels == 1)
        decodeImage<Deep, 1>(in, sh, rle, starts, lengths, t.samples);
    else
        decodeImage<Deep, 4>(in, sh, rle, starts, lengths, t.samples);
    return t.pixmap.release();
}

enum class Tables { Read, Missing, Implausible };

// Reads and checks the offset tables: Missing when the file ends inside them,
// Implausible when a large image's rows cannot all be there.
Tables readTables(Input& in, const Shape& sh, std::vector<uint32_t>& starts, std::vector<uint32_t>& lengths) {
    const size_t rows = sh.height * sh.channels;
    if (rows == 0) return Tables::Read; // an image without rows has empty tables
    const size_t tableBytes = rows * 4;
    // The tables are taken in only when the file holds them: a header claiming
    // many rows costs nothing on a short file.
    if (!in.holds(Header::Size + 2 * uint64_t(tableBytes))) return Tables::Missing;
    std::vector<uint8_t> bytes(2 * tableBytes);
    if (in.copy(Header::Size, bytes.data(), bytes.size()) != bytes.size()) return Tables::Missing;
    starts.resize(rows);
    lengths.resize(rows);
    uint64_t end = 0;
    uint64_t shortest = std::numeric_limits<uint64_t>::max();
    for (size_t i = 0; i < rows; ++i) {
        starts[i] = getU32BE(bytes.data() + 4 * i);
        lengths[i] = getU32BE(bytes.data() + tableBytes + 4 * i);
        end = std::max(end, uint64_t(starts[i]) + lengths[i]);
        shortest = std::min<uint64_t>(shortest, lengths[i]);
    }
    if (sh.pixelBytes() <= CELIO_ImageClaim::SmallImageBytes) {
        in.gatherTo(end);
        return Tables::Read;
    }
    const uint64_t minRow = sh.deep ? minCodedRow<true>(sh.width) : minCodedRow<false>(sh.width);
    return shortest >= minRow && in.holds(end) ? Tables::Read : Tables::Implausible;
}

// ------------------------------------------------------------------ encoding

// Pixels of the converted cel as the encoder walks them.
struct Pixels {
    const void* samples = nullptr; // uint8_t (8-bit pixmaps) or int16_t (16-bit)
    size_t width = 0, height = 0;
    size_t channels = 0; // written channels: 1, 3 or 4
    bool deep = false;
};

// Pixmap samples as file samples: 8-bit as they are, 16-bit v as 0 when
// v < 0 and 2 v otherwise.
inline uint8_t fileValue(uint8_t v) {
    return v;
}
inline uint16_t fileValue(int16_t v) {
    return v < 0 ? uint16_t(0) : uint16_t(2 * v);
}

// The first `channels` channels of a pixmap row, each into its own row of
// `out` (width samples apart), in one pass over the row.
template <size_t Step, class S, class T> void gatherRow(const S* px, size_t width, size_t channels, T* out) {
    if constexpr (Step == 1) {
        for (size_t x = 0; x < width; ++x) out[x] = fileValue(px[x]);
    } else if (channels == 4) {
        for (size_t x = 0; x < width; ++x) {
            out[x] = fileValue(px[4 * x]);
            out[width + x] = fileValue(px[4 * x + 1]);
            out[2 * width + x] = fileValue(px[4 * x + 2]);
            out[3 * width + x] = fileValue(px[4 * x + 3]);
        }
    } else if (channels == 3) {
        for (size_t x = 0; x < width; ++x) {
            out[x] = fileValue(px[4 * x]);
            out[width + x] = fileValue(px[4 * x + 1]);
            out[2 * width + x] = fileValue(px[4 * x + 2]);
        }
    } else {
        for (size_t x = 0; x < width; ++x) out[x] = fileValue(px[Step * x]);
    }
}

template <class T> uint8_t* putCount(uint8_t* o, size_t count) {
    if constexpr (sizeof(T) == 2) *o++ = 0;
    *o++ = uint8_t(count);
    return o;
}
template <class T> uint8_t* putSamples(uint8_t* o, const T* s, size_t n) {
    if constexpr (sizeof(T) == 1) {
        std::memcpy(o, s, n);
    } else {
        for (size_t i = 0; i < n; ++i) putU16BE(o + 2 * i, s[i]);
    }
    return o + n * sizeof(T);
}

// The scans below look at a 64-bit word of samples at a time: a lane is a
// sample, and the first lane that is zero after an exclusive or marks the
// first equal sample (lanes are in memory order on a little-endian machine).
template <class T> struct Lanes {
    static constexpr bool kWide = std::endian::native == std::endian::little;
    static constexpr size_t kCount = 8 / sizeof(T);
    static constexpr unsigned kBits = 8 * sizeof(T);
    static constexpr uint64_t kOnes = sizeof(T) == 1 ? 0x0101010101010101ull : 0x0001000100010001ull;
    static constexpr uint64_t kHighs = kOnes << (kBits - 1);
    static uint64_t load(const T* s) {
        uint64_t v;
        std::memcpy(&v, s, 8);
        return v;
    }
    // Index of the first zero lane; v must have one.
    static size_t firstZero(uint64_t v) {
        return size_t(std::countr_zero((v - kOnes) & ~v & kHighs)) / kBits;
    }
    // Index of the first non-zero lane; v must not be zero.
    static size_t firstSet(uint64_t v) { return size_t(std::countr_zero(v)) / kBits; }
};

// First position i >= p with s[i] == s[i + 1] == s[i + 2], or n.
template <class T> size_t findTriple(const T* s, size_t p, size_t n) {
    using L = Lanes<T>;
    size_t i = p;
    if constexpr (L::kWide) {
        // Lane j of `pairs` is zero when s[i + j] == s[i + j + 1]; of `triples`
        // when that holds for j + 1 too (valid for j < kCount - 1).
        constexpr uint64_t kValid = ~uint64_t(0) >> L::kBits;
        for (; i + L::kCount + 1 <= n; i += L::kCount - 1) {
            const uint64_t pairs = L::load(s + i) ^ L::load(s + i + 1);
            const uint64_t triples = (pairs | (pairs >> L::kBits)) | ~kValid;
            if (((triples - L::kOnes) & ~triples & L::kHighs) != 0) return i + L::firstZero(triples);
        }
    }
    for (; i + 2 < n; ++i)
        if (s[i] == s[i + 1] && s[i] == s[i + 2]) return i;
    return n;
}

// How many samples from p on equal s[p].
template <class T> size_t runLength(const T* s, size_t p, size_t n) {
    using L = Lanes<T>;
    const T v = s[p];
    size_t q = p + 1;
    if constexpr (L::kWide) {
        uint64_t all = 0;
        for (size_t k = 0; k < L::kCount; ++k) all |= uint64_t(std::make_unsigned_t<T>(v)) << (k * L::kBits);
        for (; q + L::kCount <= n; q += L::kCount) {
            const uint64_t d = L::load(s + q) ^ all;
            if (d) return q + L::firstSet(d) - p;
        }
    }
    while (q < n && s[q] == v) ++q;
    return q - p;
}

// Codes a channel row of n samples and its zero count; returns the bytes used
// (at most (2 n + 1) units).
template <class T> size_t encodeRow(const T* s, size_t n, uint8_t* out) {
    uint8_t* o = out;
    size_t p = 0;
    while (p < n) {
        size_t t = findTriple(s, p, n);
        if (t == n) t = n >= 2 ? std::max(p, n - 2) : p;
        if (t - p >= 2) {
            // Literal packets up to the triple; a single leftover sample is
            // taken up by the next step.
            size_t m = t - p;
            for (; m >= kMaxPacket; m -= kMaxPacket, p += kMaxPacket) {
                o = putCount<T>(o, 128 | kMaxPacket);
                o = putSamples(o, s + p, kMaxPacket);
            }
            if (m >= 2) {
                o = putCount<T>(o, 128 | m);
                o = putSamples(o, s + p, m);
                p += m;
            }
        } else {
            const T v = s[p];
            size_t run = runLength(s, p, n);
            p += run;
            for (; run >= kMaxPacket; run -= kMaxPacket) {
                o = putCount<T>(o, kMaxPacket);
                o = putSamples(o, &v, 1);
            }
            if (run) {
                o = putCount<T>(o, run);
                o = putSamples(o, &v, 1);
            }
        }
    }
    o = putCount<T>(o, 0);
    return size_t(o - out);
}

// Coded rows of the later channels held back while channel 0 is written, at
// most this many bytes; rows beyond are coded in a pass of their own.
constexpr size_t kHeldBytes = size_t(16) << 20;

// Writes the channel rows after the tables, channel by channel, each channel
// bottom row first, and records where each went. The pixmap is read row by
// row once: channel 0 is written as it comes and the other channels' coded
// rows are held back until it is done (up to kHeldBytes; the rest of them
// is read again channel by channel). The file is the same either way.
template <class T, size_t Step, class Sink>
bool encodeRows(Sink& sink, const Pixels& px, std::vector<uint32_t>& starts, std::vector<uint32_t>& lengths) {
    using Stored = std::conditional_t<sizeof(T) == 2, int16_t, uint8_t>;
    const Stored* samples = static_cast<const Stored*>(px.samples);
    const size_t w = px.width, h = px.height, channels = px.channels;
    const auto sourceRow = [&](size_t y) { return samples + (h - 1 - y) * w * Step; };
    std::vector<T> rows(w * channels);
    std::vector<uint8_t> coded((5 * w + 1) * sizeof(T));
    const auto put = [&](size_t i, const uint8_t* data, size_t n) {
        const uint64_t at = sink.position();
        if (at + n > std::numeric_limits<uint32_t>::max()) return false; // beyond 32-bit offsets
        starts[i] = uint32_t(at);
        lengths[i] = uint32_t(n);
        return sink.write(data, n);
    };

    std::vector<std::vector<uint8_t>> held(channels);
    size_t heldBytes = 0, heldRows = h; // rows 0 .. heldRows - 1 of channels 1.. are held
    for (size_t y = 0; y < h; ++y) {
        const size_t gathered = y < heldRows ? channels : 1;
        gatherRow<Step>(sourceRow(y), w, gathered, rows.data());
        if (!put(y, coded.data(), encodeRow(rows.data(), w, coded.data()))) return false;
        for (size_t c = 1; c < gathered; ++c) {
            const size_t n = encodeRow(rows.data() + c * w, w, coded.data());
            held[c].insert(held[c].end(), coded.data(), coded.data() + n);
            lengths[c * h + y] = uint32_t(n);
            heldBytes += n;
        }
        if (heldBytes > kHeldBytes && heldRows == h) heldRows = y + 1;
    }
    for (size_t c = 1; c < channels; ++c) {
        uint64_t at = sink.position();
        for (size_t y = 0; y < heldRows; ++y) {
            starts[c * h + y] = uint32_t(at);
            at += lengths[c * h + y];
        }
        if (at > std::numeric_limits<uint32_t>::max() || !sink.write(held[c].data(), held[c].size()))
            return false;
        std::vector<uint8_t>().swap(held[c]);
        for (size_t y = heldRows; y < h; ++y) {
            gatherRow<Step>(sourceRow(y) + c, w, 1, rows.data());
            if (!put(c * h + y, coded.data(), encodeRow(rows.data(), w, coded.data()))) return false;
        }
    }
    return true;
}

// Everything after the header: tables reserved, rows, tables filled in.
template <class Sink> bool encodeBody(Sink& sink, const Pixels& px) {
    const size_t rows = px.height * px.channels;
    std::vector<uint32_t> starts(rows), lengths(rows);
    if (!sink.seek(Header::Size + 8 * uint64_t(rows))) return false;
    bool ok;
    if (px.deep)
        ok = encodeRows<uint16_t, 4>(sink, px, starts, lengths);
    else if (px.channels == 1)
        ok = encodeRows<uint8_t, 1>(sink, px, starts, lengths);
    else
        ok = encodeRows<uint8_t, 4>(sink, px, starts, lengths);
    if (!ok) return false;
    std::vector<uint8_t> tables(8 * rows);
    for (size_t i = 0; i < rows; ++i) {
        putU32BE(tables.data() + 4 * i, starts[i]);
        putU32BE(tables.data() + 4 * (rows + i), lengths[i]);
    }
    return sink.seek(Header::Size) && sink.write(tables.data(), tables.size());
}

// The header fields a code sets and the pixmap it needs; false for other codes.
bool shapeFor(const QString& code, Header& h, CEL_Representation::CelFormat& format) {
    const QString c = code.toUpper();
    if (c == QLatin1String("SGI4"))
        h.bpc = 1, h.dimension = 3, h.zsize = 4;
    else if (c == QLatin1String("SGI") || c == QLatin1String("SGI3"))
        h.bpc = 1, h.dimension = 3, h.zsize = 3;
    else if (c == QLatin1String("SGI1"))
        h.bpc = 1, h.dimension = 2, h.zsize = 1;
    else if (c == QLatin1String("SGIDP4"))
        h.bpc = 2, h.dimension = 3, h.zsize = 4;
    else if (c == QLatin1String("SGIDP3"))
        h.bpc = 2, h.dimension = 3, h.zsize = 3;
    else
        return false;
    format = h.bpc == 2     ? CEL_Representation::PIXMAP_RGBA16
             : h.zsize == 1 ? CEL_Representation::PIXMAP_MATTE8
                            : CEL_Representation::PIXMAP_RGBA8;
    std::memcpy(h.imageName, kImageName, sizeof kImageName);
    return true;
}

// The converted pixels, with xsize and ysize set; false when the cel does not
// convert or is too large for the header.
bool pixelsFor(CEL_Cel* cel, CEL_Representation::CelFormat format, Header& h,
               UT_SharedPtr<CEL_Representation>& rep, Pixels& px) {
    if (!cel || !cel->convertibleTo(format)) return false;
    rep = cel->convertTo(format);
    const CEL_Pixmap* pixmap = nullptr;
    if (auto* p = dynamic_cast<const CEL_PixmapRGBA16*>(rep.get());
        p && format == CEL_Representation::PIXMAP_RGBA16)
        pixmap = p, px.samples = p->data();
    else if (auto* m = dynamic_cast<const CEL_PixmapMatte8*>(rep.get());
             m && format == CEL_Representation::PIXMAP_MATTE8)
        pixmap = m, px.samples = m->data();
    else if (auto* q = dynamic_cast<const CEL_PixmapRGBA8*>(rep.get());
             q && format == CEL_Representation::PIXMAP_RGBA8)
        pixmap = q, px.samples = q->data();
    if (!pixmap || pixmap->width() < 0 || pixmap->height() < 0 || pixmap->width() > 65535 ||
        pixmap->height() > 65535)
        return false;
    px.width = size_t(pixmap->width());
    px.height = size_t(pixmap->height());
    if (px.width * px.height != 0 && !px.samples) return false;
    px.channels = h.zsize;
    px.deep = h.bpc == 2;
    h.xsize = uint16_t(px.width);
    h.ysize = uint16_t(px.height);
    return true;
}

// A stdio stream; the position is tracked here.
class FileSink {
public:
    explicit FileSink(FILE* file, uint64_t position) : m_file(file), m_position(position) {}
    uint64_t position() const { return m_position; }
    bool write(const void* src, size_t n) {
        if (std::fwrite(src, 1, n, m_file) != n) return false;
        m_position += n;
        return true;
    }
    bool seek(uint64_t at) {
        if (at > uint64_t(std::numeric_limits<off_t>::max()) || fseeko(m_file, off_t(at), SEEK_SET) != 0)
            return false;
        m_position = at;
        return true;
    }

private:
    FILE* m_file;
    uint64_t m_position;
};

// A growing byte array; seeking past the end leaves zeros.
class MemorySink {
public:
    explicit MemorySink(QByteArray& bytes) : m_bytes(bytes), m_position(uint64_t(bytes.size())) {}
    uint64_t position() const { return m_position; }
    bool write(const void* src, size_t n) {
        const uint64_t end = m_position + n;
        if (end > uint64_t(std::numeric_limits<qsizetype>::max())) return false;
        if (end > uint64_t(m_bytes.size())) m_bytes.resize(qsizetype(end), '\0');
        if (n) std::memcpy(m_bytes.data() + m_position, src, n);
        m_position = end;
        return true;
    }
    bool seek(uint64_t at) {
        m_position = at;
        return true;
    }

private:
    QByteArray& m_bytes;
    uint64_t m_position;
};

void postWriteFailure(const char* text, const QString& path) {
    MSG_Scope(kContext, text, 2).arg(path).post(kWriteFailedCode);
}

constexpr size_t kStdioBuffer = 262144;

} // namespace

QStringList QXCelUioSgiHandler::getExtensions() const {
    return {QStringLiteral("SGI")};
}

QStringList QXCelUioSgiHandler::getWriteOptionCodes() const {
    return {QStringLiteral("SGI"),  QStringLiteral("SGI4"),   QStringLiteral("SGI3"),
            QStringLiteral("SGI1"), QStringLiteral("SGIDP4"), QStringLiteral("SGIDP3")};
}

void QXCelUioSgiHandler::getWriteOptions(CELIO_WriteOptions& options) const {
    options.singleChannel = true;
    options.alpha = true;
    options.deepPixels = true;
}

QString QXCelUioSgiHandler::getWriteOptionsCode(const CELIO_WriteOptions& options) const {
    if (options.alpha) return options.deepPixels ? QStringLiteral("SGIDP4") : QStringLiteral("SGI4");
    if (options.singleChannel) return QStringLiteral("SGI1");
    if (options.deepPixels) return QStringLiteral("SGIDP3");
    return QStringLiteral("SGI");
}

UT_DynKey QXCelUioSgiHandler::formatClass() const {
    return CELIO_PixmapFormat;
}

CEL_Representation* QXCelUioSgiHandler::read(CELIO_InputStream& stream) const {
    uint8_t bytes[Header::Size];
    if (stream.read(bytes, sizeof bytes) != sizeof bytes) return nullptr;
    Header h;
    unpackHeader(bytes, h);
    if (h.zsize != 1 && h.zsize != 3 && h.zsize != 4) return nullptr;

    const Shape sh{h.xsize, h.ysize, h.zsize, h.bpc != 1};
    const CELIO_ImageClaim claim(h.xsize, h.ysize, sh.step(), sh.deep ? 2 : 1);
    if (!claim.withinCap()) {
        claim.postRefusal("sgi");
        return nullptr;
    }
    const bool rle = h.storage != 0;
    Input in(stream, bytes);
    std::vector<uint32_t> starts, lengths;
    bool plausible = true;
    if (rle) {
        // A small image whose tables are cut short is a damaged file; a large
        // one, a header claiming what the file does not hold.
        const Tables tables = readTables(in, sh, starts, lengths);
        if (tables == Tables::Missing && claim.bytes() <= CELIO_ImageClaim::SmallImageBytes) return nullptr;
        plausible = tables == Tables::Read;
    } else {
        const uint64_t end = Header::Size + uint64_t(sh.rowBytes()) * sh.height * sh.channels;
        if (claim.bytes() > CELIO_ImageClaim::SmallImageBytes)
            plausible = in.holds(end);
        else
            in.gatherTo(end);
    }
    if (!plausible) {
        claim.postRefusal("sgi");
        return nullptr;
    }
    return sh.deep ? decodeFile<true>(in, sh, rle, starts, lengths)
                   : decodeFile<false>(in, sh, rle, starts, lengths);
}

CEL_Representation* QXCelUioSgiHandler::read(const unsigned char* data, unsigned size) const {
    CELIO_MemoryInputBlock block(data, size);
    CELIO_InputStream stream(block);
    return read(stream);
}

CELIO_State QXCelUioSgiHandler::readInfo(const QString& path, const CEL_Context&, CELIO_Info& info) const {
    ibuf in(path);
    if (!in.isOpen()) return CELIO_STATE_FAILED;
    return readInfoFrom(in, info);
}

CELIO_State QXCelUioSgiHandler::readInfoMemory(const CELIO_MemoryFile& file, const CEL_Context&,
                                               CELIO_Info& info) const {
    ibuf in(file.data(), file.size());
    return readInfoFrom(in, info);
}

CELIO_State QXCelUioSgiHandler::readInfoFrom(ibuf& in, CELIO_Info& info) {
    try {
        in.getU16BE(); // magic, not tested
        const uint8_t storage = in.getByte();
        const uint8_t bpc = in.getByte();
        const uint16_t dimension = in.getU16BE();
        const uint16_t xsize = in.getU16BE();
        const uint16_t ysize = in.getU16BE();
        const uint16_t zsize = in.getU16BE();
        in.getU32BE(); // pixmin
        in.getU32BE(); // pixmax
        in.getU32BE(); // dummy

        info.width = xsize;
        info.height = ysize;
        info.channels = zsize;
        info.bytesPerChannel = bpc;
        const char* code = nullptr;
        if (bpc == 1 && dimension == 3)
            code = zsize == 4 ? "SGI4" : zsize == 3 ? "SGI3" : nullptr;
        else if (bpc == 1 && dimension == 2)
            code = zsize == 1 ? "SGI1" : nullptr;
        else if (bpc == 2 && dimension == 3)
            code = zsize == 4 ? "SGIDP4" : zsize == 3 ? "SGIDP3" : nullptr;
        if (!code) return CELIO_STATE_FAILED;
        info.optionCode = QLatin1String(code);
        if (storage != 0) info.description = QStringLiteral("Run-length encoded");
        return CELIO_STATE_OK;
    } catch (int) { // the header ends early
        return CELIO_STATE_FAILED;
    }
}

bool QXCelUioSgiHandler::writeHeader(const Header& header, FILE* file) {
    uint8_t b[Header::Size];
    packHeader(header, b);
    return std::fwrite(b, 1, sizeof b, file) == sizeof b;
}

bool QXCelUioSgiHandler::write(CEL_Cel* cel, const QString& path, const QString& code) const {
    Header h;
    CEL_Representation::CelFormat format;
    if (!shapeFor(code, h, format)) return false;

    // The pixels are converted first: an image too large for the header is
    // refused before anything is created.
    UT_SharedPtr<CEL_Representation> rep;
    Pixels px;
    const bool converted = pixelsFor(cel, format, h, rep, px);
    if (const auto* p = dynamic_cast<const CEL_Pixmap*>(rep.get());
        p && !celio_detail::fitsHeader(kContext, "SGI", p->width(), p->height(), 65535, 65535))
        return false;

    const QString target = oswRemapPath::RemapPath2(path);
    FILE* file = std::fopen(target.toUtf8().constData(), "wb");
    if (!file) {
        postWriteFailure("Could not open file \"%1\" for writing.\n", target);
        return false;
    }
    // The buffer must outlive the stream: it is freed after fclose.
    const std::unique_ptr<char[]> buffer(new char[kStdioBuffer]);
    std::setvbuf(file, buffer.get(), _IOFBF, kStdioBuffer);

    bool ok = converted && writeHeader(h, file);
    if (ok) {
        FileSink sink(file, Header::Size);
        ok = encodeBody(sink, px);
    }
    if (std::fclose(file) != 0) ok = false;
    if (!ok) postWriteFailure("Could not complete writing to file: \"%1\"\n", target);
    return ok;
}

QByteArray QXCelUioSgiHandler::encode(CEL_Cel* cel, const QString& code) const {
    QByteArray bytes;
    Header h;
    CEL_Representation::CelFormat format;
    UT_SharedPtr<CEL_Representation> rep;
    Pixels px;
    if (!shapeFor(code, h, format) || !pixelsFor(cel, format, h, rep, px)) return bytes;
    bytes.resize(Header::Size);
    packHeader(h, reinterpret_cast<uint8_t*>(bytes.data()));
    MemorySink sink(bytes);
    if (!encodeBody(sink, px)) bytes.clear();
    return bytes;
}
