#include "celio/handlers/IffImage.h"

#include <QFile>
#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "algo/composite/CompositeDetail.h"
#include "base/ByteOrder.h"
#include "base/FileSpec.h"
#include "pixel/PixelBuffer.h"
#include "pixel/Representation.h"

namespace {

// ---------------------------------------------------------------------------
// Reports

enum Report : unsigned {
    CannotOpen,
    CannotRead,
    UnexpectedTag,
    UnknownCompression,
    UnexpectedChunk,
    TagStackCorrupt,
    RunLengthError,
    TileError,
    InvalidSize,
    ShortFile,
    TooLarge,
    UnsupportedBytes,
    WriteError,
    CannotWrite,
};

const char* const kReportText[] = {
    "cannot open file\n",
    "cannot read file\n",
    "unexpected tag\n",
    "unknown compression format",
    "unexpected chunk\n",
    "tag stack corrupt",
    "error in iff_decompress_rle 8 bits",
    "error in iff_read_compressed_tile function",
    "invalid image size\n",
    "file too short for its image size\n",
    "image too large\n",
    "unsupported bytes per channel\n",
    "Error while writing IFF file.\n",
    "cannot write file\n",
};

std::atomic<std::ostream*> g_diagnostics{nullptr};
std::mutex g_diagnosticsMutex;

// Each report as one whole line.
void writeReport(const char* text) {
    std::lock_guard<std::mutex> lock(g_diagnosticsMutex);
    std::ostream* out = g_diagnostics.load();
    if (!out) out = &std::cerr;
    *out << text;
    if (text[0] && text[std::strlen(text) - 1] != '\n') *out << '\n';
    out->flush();
}

constexpr uint32_t kFOR4 = CEL_IffImage::tag("FOR4");
constexpr uint32_t kCIMG = CEL_IffImage::tag("CIMG");
constexpr uint32_t kTBHD = CEL_IffImage::tag("TBHD");
constexpr uint32_t kTBMP = CEL_IffImage::tag("TBMP");
constexpr uint32_t kRGBA = CEL_IffImage::tag("RGBA");
constexpr uint32_t kZBUF = CEL_IffImage::tag("ZBUF");
constexpr uint32_t kCLPZ = CEL_IffImage::tag("CLPZ");
constexpr uint32_t kESXY = CEL_IffImage::tag("ESXY");

constexpr int kTile = CEL_IffImage::TileSize;
// Run-length packets expand at most 128 bytes from 2.
constexpr uint64_t kMaxExpansion = 64;

uint64_t align4(uint64_t v) {
    return (v + 3) & ~uint64_t(3);
}

// Room for one plane of n bytes coded by encodeRunLength.
size_t codedRoom(size_t n) {
    return n + n / 128 + 2;
}

// Tiles in a pass over the whole image: parallel over tiles, serial below
// a few, on plain threads under the thread sanitizer (CelAlgo's helper).
template <class Body> void forEachTile(size_t count, const Body& body) {
    CelAlgo::detail::parallelRows(0, int(count), 1, int64_t(kTile) * kTile, [&](int begin, int end) {
        for (int i = begin; i < end; ++i) body(size_t(i));
    });
}

} // namespace

// Each kind of report at most once per load or save; tiles report from
// several threads.
struct CEL_IffImage::Reporter {
    std::atomic<uint32_t> done{0};
    void operator()(unsigned report) {
        const uint32_t bit = 1u << report;
        if (!(done.fetch_or(bit) & bit)) writeReport(kReportText[report]);
    }
};

// A tile chunk found by the walk.
struct CEL_IffImage::TileRef {
    const uint8_t* data; // after x1, y1, x2, y2
    size_t size;         // bytes of pixel data inside the chunk
    int x1, y1, x2, y2;
    bool depth;
};

namespace {

// Where loaded tiles go.
struct Target {
    uint32_t width = 0, height = 0;
    int components = 4; // in colour tiles
    int bytes = 1;      // per colour sample
    bool topDown = false, half = false;
    uint8_t* colour8 = nullptr;
    uint16_t* colour16 = nullptr;
    float* depth = nullptr;
    uint16_t fill16 = 0xFFFF;

    size_t row(int fileRow) const { return topDown ? size_t(height) - 1 - size_t(fileRow) : size_t(fileRow); }
};

// Planes or raw pixels of one tile: component c of pixel x in tile row r is
// at base[c] + r * rowStride + x * pixelStride (16-bit: base[c] the high
// byte, low[c] the low byte).
struct Source {
    const uint8_t* base[4];
    const uint8_t* low[4];
    size_t rowStride;
    size_t pixelStride;
};

template <int Components> void putRow8(const Source& s, size_t r, int w, uint8_t* out) {
    const uint8_t* c0 = s.base[0] + r * s.rowStride;
    const uint8_t* c1 = s.base[1] + r * s.rowStride;
    const uint8_t* c2 = s.base[2] + r * s.rowStride;
    const uint8_t* c3 = Components == 4 ? s.base[3] + r * s.rowStride : nullptr;
    if (s.pixelStride == 1) {
        for (int x = 0; x < w; ++x) {
            out[4 * x] = c0[x];
            out[4 * x + 1] = c1[x];
            out[4 * x + 2] = c2[x];
            out[4 * x + 3] = Components == 4 ? c3[x] : uint8_t(0xFF);
        }
        return;
    }
    const size_t k = s.pixelStride;
    for (int x = 0; x < w; ++x) {
        out[4 * x] = c0[x * k];
        out[4 * x + 1] = c1[x * k];
        out[4 * x + 2] = c2[x * k];
        out[4 * x + 3] = Components == 4 ? c3[x * k] : uint8_t(0xFF);
    }
}

template <int Components>
void putRow16(const Source& s, size_t r, int w, bool half, uint16_t fill, uint16_t* out) {
    const size_t k = s.pixelStride, at = r * s.rowStride;
    const int shift = half ? 1 : 0;
    for (int x = 0; x < w; ++x) {
        for (int c = 0; c < 3; ++c)
            out[4 * x + c] = uint16_t((s.base[c][at + x * k] << 8 | s.low[c][at + x * k]) >> shift);
        out[4 * x + 3] =
            Components == 4 ? uint16_t((s.base[3][at + x * k] << 8 | s.low[3][at + x * k]) >> shift) : fill;
    }
}

void putRowDepth(const Source& s, size_t r, int w, float* out) {
    const size_t k = s.pixelStride, at = r * s.rowStride;
    for (int x = 0; x < w; ++x) {
        const uint32_t bits = uint32_t(s.base[0][at + x * k]) | uint32_t(s.base[1][at + x * k]) << 8 |
                              uint32_t(s.base[2][at + x * k]) << 16 | uint32_t(s.base[3][at + x * k]) << 24;
        out[x] = std::bit_cast<float>(bits);
    }
}

// The tile's area set to the fill.
void fillTile(const Target& t, int x1, int y1, int w, int h, bool depth) {
    for (int r = 0; r < h; ++r) {
        const size_t at = t.row(y1 + r) * t.width + size_t(x1);
        if (depth)
            std::fill_n(t.depth + at, w, 0.0f);
        else if (t.bytes == 1)
            std::memset(t.colour8 + 4 * at, 0xFF, size_t(w) * 4);
        else
            std::fill_n(t.colour16 + 4 * at, size_t(w) * 4, t.fill16);
    }
}

} // namespace

// ---------------------------------------------------------------------------
// Run-length planes

namespace {

// Eight bytes at a time where the host is little-endian: the first byte of
// a word is its lowest, so the lowest flagged byte is the first in memory.
constexpr bool kWordScan = std::endian::native == std::endian::little;
constexpr uint64_t kOnes = 0x0101010101010101ull;

uint64_t load64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

// The end of the run of bytes equal to in[i] that starts at i.
size_t runEnd(const uint8_t* in, size_t i, size_t n) {
    const uint8_t b = in[i];
    size_t j = i + 1;
    if constexpr (kWordScan) {
        const uint64_t all = kOnes * b;
        for (; j + 8 <= n; j += 8)
            if (const uint64_t d = load64(in + j) ^ all) return j + size_t(std::countr_zero(d)) / 8;
    }
    while (j < n && in[j] == b) ++j;
    return j;
}

// The first position from j on where three equal bytes start, or n.
size_t tripleStart(const uint8_t* in, size_t j, size_t n) {
    if constexpr (kWordScan) {
        for (; j + 10 <= n; j += 8) {
            const uint64_t a = load64(in + j), b = load64(in + j + 1), c = load64(in + j + 2);
            const uint64_t t = (a ^ b) | (b ^ c); // a zero byte where a triple starts
            if (const uint64_t z = (t - kOnes) & ~t & (kOnes << 7))
                return j + size_t(std::countr_zero(z)) / 8;
        }
    }
    for (; j < n; ++j)
        if (j + 2 < n && in[j] == in[j + 1] && in[j] == in[j + 2]) return j;
    return n;
}

// One plane; with Slack the output has 128 bytes of room after n, so runs
// and literals (where the input has 128 bytes left) go out as whole 128-byte
// stores, and the bytes past the packet are overwritten by the next one.
template <bool Slack>
bool decodePlane(const uint8_t* in, size_t available, uint8_t* out, size_t n, size_t* used) {
    size_t i = 0, o = 0;
    while (o < n) {
        if (i >= available) break;
        const uint8_t h = in[i++];
        const size_t count = size_t(h & 0x7F) + 1;
        if (count > n - o) break;
        if (h & 0x80) {
            if (i >= available) break;
            if constexpr (Slack)
                std::memset(out + o, in[i++], 128);
            else
                std::memset(out + o, in[i++], count);
        } else {
            if (count > available - i) break;
            if (Slack && available - i >= 128)
                std::memcpy(out + o, in + i, 128);
            else
                std::memcpy(out + o, in + i, count);
            i += count;
        }
        o += count;
    }
    if (used) *used = i;
    return o == n;
}

} // namespace

size_t CEL_IffImage::encodeRunLength(const uint8_t* in, size_t n, uint8_t* out) {
    uint8_t* o = out;
    size_t i = 0;
    while (i < n) {
        const uint8_t b = in[i];
        size_t j = runEnd(in, i, n);
        const size_t run = j - i;
        if (run > 1) {
            for (size_t k = run / 128; k > 0; --k) *o++ = 0xFF, *o++ = b;
            if (run % 128) *o++ = uint8_t(((run % 128) - 1) | 0x80), *o++ = b;
            i = j;
            continue;
        }
        // A literal up to the next run of three (or the end).
        j = tripleStart(in, i + 1, n);
        size_t left = j - i;
        const uint8_t* p = in + i;
        while (left > 0) {
            const size_t piece = std::min<size_t>(left, 128);
            *o++ = uint8_t(piece - 1);
            std::memcpy(o, p, piece);
            o += piece, p += piece, left -= piece;
        }
        i = j;
    }
    return size_t(o - out);
}

bool CEL_IffImage::decodeRunLength(const uint8_t* in, size_t available, uint8_t* out, size_t n,
                                   size_t* used) {
    return decodePlane<false>(in, available, out, n, used);
}

// ---------------------------------------------------------------------------
// The record

CEL_IffImage::CEL_IffImage() : m_reporter(std::make_unique<Reporter>()) {}

CEL_IffImage::CEL_IffImage(uint32_t width, uint32_t height, int bytesPerChannel) : CEL_IffImage() {
    iffsetsize(width, height);
    iffsetbpp(bytesPerChannel);
}

CEL_IffImage::~CEL_IffImage() = default;

int CEL_IffImage::iffgetsize(uint32_t& width, uint32_t& height) const {
    width = m_width;
    height = m_height;
    return 0;
}

void CEL_IffImage::iffsetsize(uint32_t width, uint32_t height) {
    m_width = width;
    m_height = height;
}

int CEL_IffImage::iffgetbpp() const {
    return m_bytes;
}

void CEL_IffImage::iffsetbpp(int bytesPerChannel) {
    m_bytes = uint16_t(bytesPerChannel == 2 ? 2 : 1);
}

void CEL_IffImage::iffsettype(uint32_t flags) {
    m_type = flags;
}

void CEL_IffImage::iffctrl(uint32_t mask, bool on) {
    m_control = on ? (m_control | mask) : (m_control & ~mask);
}

const uint8_t* CEL_IffImage::colour8() const {
    return reinterpret_cast<const uint8_t*>(m_colour8.get());
}

const uint16_t* CEL_IffImage::colour16() const {
    return reinterpret_cast<const uint16_t*>(m_colour16.get());
}

CEL_PixelRGBA8* CEL_IffImage::releaseColour8() {
    return m_colour8.release();
}

CEL_PixelRGBA16* CEL_IffImage::releaseColour16() {
    return m_colour16.release();
}

float* CEL_IffImage::releaseDepth() {
    return m_depth.release();
}

void CEL_IffImage::setDiagnosticStream(std::ostream* stream) {
    std::lock_guard<std::mutex> lock(g_diagnosticsMutex);
    g_diagnostics.store(stream);
}

void CEL_IffImage::diagnose(const char* text) {
    writeReport(text);
}

void CEL_IffImage::reset() {
    m_colour8.reset();
    m_colour16.reset();
    m_depth.reset();
    m_width = m_height = m_type = m_compression = m_originX = m_originY = 0;
    m_bytes = 1;
    m_tiles = 0;
    m_near = m_far = m_eyeX = m_eyeY = 0.0f;
    m_tagDepth = 0;
    m_reporter->done = 0;
}

// ---------------------------------------------------------------------------
// The chunk walk

void CEL_IffImage::iff_attach(const void* data, size_t size) {
    m_data = static_cast<const uint8_t*>(data);
    m_size = data ? size : 0;
    m_pos = 0;
    m_tagDepth = 0;
}

uint32_t CEL_IffImage::get32() {
    if (m_pos > m_size || m_size - m_pos < 4) {
        (*m_reporter)(CannotRead);
        m_pos = m_size;
        return 0;
    }
    const uint32_t v = ByteOrder::getU32BE(m_data + m_pos);
    m_pos += 4;
    return v;
}

uint16_t CEL_IffImage::get16() {
    if (m_pos > m_size || m_size - m_pos < 2) {
        (*m_reporter)(CannotRead);
        m_pos = m_size;
        return 0;
    }
    const uint16_t v = ByteOrder::getU16BE(m_data + m_pos);
    m_pos += 2;
    return v;
}

const CEL_IffImage::TagEntry& CEL_IffImage::iff_begin_read_chunk() {
    if (m_tagDepth >= MaxTagDepth) {
        (*m_reporter)(TagStackCorrupt);
        throw ReadError{};
    }
    TagEntry& e = m_stack[m_tagDepth++];
    e.position = m_pos;
    e.tag = get32();
    e.size = get32();
    e.formType = e.tag == kFOR4 ? get32() : 0;
    return e;
}

void CEL_IffImage::iff_end_read_chunk() {
    if (m_tagDepth == 0) return;
    const TagEntry& e = m_stack[--m_tagDepth];
    m_pos = align4(e.position + 8 + e.size);
}

// ---------------------------------------------------------------------------
// Loading

void CEL_IffImage::readHeader(const TagEntry& chunk) {
    m_width = get32();
    m_height = get32();
    get16(); // prnum
    get16(); // prden
    m_type = get32();
    const uint16_t bytes = get16();
    m_bytes = uint16_t(bytes <= 1 ? bytes + 1 : 0); // 0: refused
    m_tiles = get16();
    m_compression = get32();
    if (chunk.size >= 25) {
        m_originX = get32();
        m_originY = get32();
    }
}

bool CEL_IffImage::allocate(uint64_t fileSize) {
    const uint64_t pixels = uint64_t(m_width) * m_height;
    const bool depth = m_type & IFF_TYPE_DEPTH;
    const bool colour = m_type & (IFF_TYPE_RGB | IFF_TYPE_ALPHA);
    const uint64_t components = (m_type & IFF_TYPE_ALPHA) ? 4 : 3;
    // Bytes the file must code; a file that names nothing counts as RGB.
    const uint64_t perPixel = (colour ? components * m_bytes : 0) + (depth ? 4 : 0);
    const uint64_t cap = CEL_Pixmap::maxPixmapBytes();
    uint64_t coded = 0, colourBytes = 0, limit = 0;
    // A lying header of a small file first: what the file can fill.
    if (__builtin_mul_overflow(pixels, perPixel ? perPixel : 3, &coded) ||
        (!__builtin_mul_overflow(fileSize, kMaxExpansion, &limit) && coded > limit)) {
        (*m_reporter)(ShortFile);
        return false;
    }
    if (__builtin_mul_overflow(pixels, uint64_t(4) * m_bytes, &colourBytes) || colourBytes > cap ||
        (depth && pixels * 4 > cap)) {
        (*m_reporter)(TooLarge);
        return false;
    }
    // Fresh buffers, with huge pages asked for: their first touch is the decode.
    if (m_bytes == 1)
        m_colour8.reset(CEL_PixelBuffer::allocate<CEL_PixelRGBA8>((long long)pixels, false));
    else
        m_colour16.reset(CEL_PixelBuffer::allocate<CEL_PixelRGBA16>((long long)pixels, false));
    if (depth) m_depth.reset(CEL_PixelBuffer::allocate<float>((long long)pixels, false));
    if ((!m_colour8 && !m_colour16) || (depth && !m_depth)) {
        m_colour8.reset();
        m_colour16.reset();
        m_depth.reset();
        (*m_reporter)(TooLarge);
        return false;
    }
    return true;
}

// The file mapped (or read, where it cannot be) while load runs over it.
bool CEL_IffImage::loadFile(const QString& path, bool headerOnly) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        reset();
        (*m_reporter)(CannotOpen);
        return false;
    }
    const qint64 size = file.size();
    if (size > 0) {
        if (const uchar* mapped = file.map(0, size)) {
            const bool ok = load(mapped, size_t(size), headerOnly);
            file.unmap(const_cast<uchar*>(mapped));
            return ok;
        }
    }
    const QByteArray bytes = file.readAll();
    return load(reinterpret_cast<const uint8_t*>(bytes.constData()), size_t(bytes.size()), headerOnly);
}

bool CEL_IffImage::iff_load_header(const QString& path) {
    return loadFile(path, true);
}

bool CEL_IffImage::iff_load(const QString& path) {
    return loadFile(path, false);
}

bool CEL_IffImage::iff_load(const void* data, size_t size) {
    return load(static_cast<const uint8_t*>(data), size, false);
}

namespace {

// Decodes one tile into the target; false (after the reports) when it
// cannot be read, its area then set to the fill when `fill` says so.
template <class Report>
bool decodeTile(const Target& t, const uint8_t* data, size_t size, int x1, int y1, int x2, int y2, bool depth,
                bool fill, std::vector<uint8_t>& scratch, Report report) {
    const int w = x2 - x1 + 1, h = y2 - y1 + 1;
    const size_t n = size_t(w) * size_t(h);
    const int components = depth ? 4 : t.components;
    const int bytes = depth ? 1 : t.bytes;
    const size_t planes = size_t(components) * size_t(bytes);
    const size_t raw = n * planes;

    Source s{};
    if (size < raw) {
        if (scratch.size() < raw + 128) scratch.resize(raw + 128);
        size_t at = 0;
        for (size_t k = 0; k < planes; ++k) {
            size_t used = 0;
            if (!decodePlane<true>(data + at, size - at, scratch.data() + k * n, n, &used)) {
                report(RunLengthError);
                report(TileError);
                if (fill) fillTile(t, x1, y1, w, h, depth);
                return false;
            }
            at += used;
        }
        // Plane k holds component (components - 1 - k % components), high
        // bytes in the first `components` planes.
        for (int c = 0; c < components; ++c) {
            s.base[c] = scratch.data() + size_t(components - 1 - c) * n;
            s.low[c] = bytes == 2 ? scratch.data() + size_t(2 * components - 1 - c) * n : nullptr;
        }
        s.rowStride = size_t(w);
        s.pixelStride = 1;
    } else {
        // Pixel by pixel, the last component first, samples big-endian.
        for (int c = 0; c < components; ++c) {
            s.base[c] = data + size_t(components - 1 - c) * size_t(bytes);
            s.low[c] = s.base[c] + 1;
        }
        s.pixelStride = planes;
        s.rowStride = size_t(w) * planes;
    }

    for (int r = 0; r < h; ++r) {
        const size_t at = t.row(y1 + r) * t.width + size_t(x1);
        if (depth)
            putRowDepth(s, size_t(r), w, t.depth + at);
        else if (bytes == 1)
            components == 4 ? putRow8<4>(s, size_t(r), w, t.colour8 + 4 * at)
                            : putRow8<3>(s, size_t(r), w, t.colour8 + 4 * at);
        else
            components == 4 ? putRow16<4>(s, size_t(r), w, t.half, t.fill16, t.colour16 + 4 * at)
                            : putRow16<3>(s, size_t(r), w, t.half, t.fill16, t.colour16 + 4 * at);
    }
    return true;
}

} // namespace

bool CEL_IffImage::load(const uint8_t* data, size_t size, bool headerOnly) {
    reset();
    iff_attach(data, size);
    Reporter& report = *m_reporter;
    std::vector<TileRef> tiles;
    bool haveHeader = false;
    try {
        const TagEntry top = iff_begin_read_chunk();
        if (top.tag != kFOR4 || top.formType != kCIMG) {
            report(UnexpectedTag);
            return false;
        }
        const uint64_t imageEnd = std::min<uint64_t>(top.position + 8 + uint64_t(top.size), m_size);
        bool stop = false;
        while (!stop && m_pos < imageEnd && imageEnd - m_pos >= 8) {
            const TagEntry chunk = iff_begin_read_chunk();
            const uint64_t chunkEnd = std::min<uint64_t>(chunk.position + 8 + uint64_t(chunk.size), imageEnd);
            if (chunk.tag == kTBHD && !haveHeader) {
                readHeader(chunk);
                if (m_compression >= 2) {
                    report(UnknownCompression);
                    return false;
                }
                if (m_bytes == 0) {
                    report(UnsupportedBytes);
                    return false;
                }
                if (m_width == 0 || m_height == 0 || m_width > uint32_t(INT32_MAX) ||
                    m_height > uint32_t(INT32_MAX)) {
                    report(InvalidSize);
                    return false;
                }
                haveHeader = true;
                if (headerOnly) return true;
                if (!allocate(m_size)) return false;
            } else if (chunk.tag == kFOR4 && chunk.formType == kTBMP) {
                if (!haveHeader) {
                    report(UnexpectedChunk);
                    break;
                }
                const bool depth = m_type & IFF_TYPE_DEPTH;
                uint32_t colourCount = 0, depthCount = 0;
                while (m_pos < chunkEnd && chunkEnd - m_pos >= 8 &&
                       (colourCount < m_tiles || (depth && depthCount < m_tiles))) {
                    const TagEntry t = iff_begin_read_chunk();
                    const bool isDepth = t.tag == kZBUF;
                    if (t.tag != kRGBA && !(depth && isDepth)) {
                        report(UnexpectedChunk);
                        stop = true;
                        iff_end_read_chunk();
                        break;
                    }
                    ++(isDepth ? depthCount : colourCount);
                    const uint64_t dataEnd = std::min<uint64_t>(t.position + 8 + uint64_t(t.size), chunkEnd);
                    const uint64_t dataStart = t.position + 8;
                    const int x1 = get16(), y1 = get16(), x2 = get16(), y2 = get16();
                    if (dataEnd < dataStart + 8 || x1 > x2 || y1 > y2 || uint32_t(x2) >= m_width ||
                        uint32_t(y2) >= m_height) {
                        report(TileError);
                    } else {
                        tiles.push_back(TileRef{data + dataStart + 8, size_t(dataEnd - dataStart - 8), x1, y1,
                                                x2, y2, isDepth});
                    }
                    iff_end_read_chunk();
                }
            } else if (chunk.tag == kCLPZ) {
                m_near = std::bit_cast<float>(get32());
                m_far = std::bit_cast<float>(get32());
            } else if (chunk.tag == kESXY) {
                m_eyeX = std::bit_cast<float>(get32());
                m_eyeY = std::bit_cast<float>(get32());
            }
            iff_end_read_chunk();
        }
    } catch (const ReadError&) {
        // Reported; what was found so far is decoded.
    }
    m_tagDepth = 0;
    if (!haveHeader) {
        if (report.done == 0) report(CannotRead); // the data ended before the header
        return false;
    }

    // Decode: in parallel when the tiles are the usual grid, each cell once.
    Target t;
    t.width = m_width;
    t.height = m_height;
    t.components = (m_type & IFF_TYPE_ALPHA) ? 4 : 3;
    t.bytes = m_bytes;
    t.topDown = m_control & IFF_CTRL_TOP_DOWN;
    t.half = m_control & IFF_CTRL_HALF_SAMPLES;
    t.colour8 = reinterpret_cast<uint8_t*>(m_colour8.get());
    t.colour16 = reinterpret_cast<uint16_t*>(m_colour16.get());
    t.depth = m_depth.get();
    t.fill16 = t.half ? 0x7FFF : 0xFFFF;

    const size_t across = (size_t(m_width) + kTile - 1) / kTile,
                 down = (size_t(m_height) + kTile - 1) / kTile;
    std::vector<uint8_t> seen(across * down, 0);
    size_t cells[2] = {0, 0};
    bool grid = true;
    for (const TileRef& r : tiles) {
        const bool aligned = r.x1 % kTile == 0 && r.y1 % kTile == 0 &&
                             uint32_t(r.x2) == std::min<uint32_t>(uint32_t(r.x1) + kTile - 1, m_width - 1) &&
                             uint32_t(r.y2) == std::min<uint32_t>(uint32_t(r.y1) + kTile - 1, m_height - 1);
        const uint8_t bit = r.depth ? 2 : 1;
        uint8_t* cell = aligned ? &seen[size_t(r.y1 / kTile) * across + size_t(r.x1 / kTile)] : nullptr;
        if (!cell || (*cell & bit)) {
            grid = false;
            break;
        }
        *cell |= bit;
        ++cells[r.depth];
    }
    const size_t pixels = size_t(m_width) * m_height;
    if (!grid || cells[0] != across * down) {
        if (t.colour8) std::memset(t.colour8, 0xFF, pixels * 4);
        if (t.colour16) std::fill_n(t.colour16, pixels * 4, t.fill16);
    }
    if (t.depth && (!grid || cells[1] != across * down)) std::fill_n(t.depth, pixels, 0.0f);

    const auto reportFn = [&report](unsigned r) { report(r); };
    if (grid) {
        // Every tile its own cell; where the fill was skipped, a failed tile
        // puts it in itself.
        forEachTile(tiles.size(), [&](size_t i) {
            thread_local std::vector<uint8_t> scratch;
            const TileRef& r = tiles[i];
            decodeTile(t, r.data, r.size, r.x1, r.y1, r.x2, r.y2, r.depth, true, scratch, reportFn);
        });
    } else {
        // In file order over the fill; a failed tile leaves what is there.
        std::vector<uint8_t> scratch;
        for (const TileRef& r : tiles)
            decodeTile(t, r.data, r.size, r.x1, r.y1, r.x2, r.y2, r.depth, false, scratch, reportFn);
    }
    return true;
}

// ---------------------------------------------------------------------------
// Saving

namespace {

// What a save codes from: buffers top row first.
struct Image {
    uint32_t width = 0, height = 0;
    int bytes = 1;
    bool half = false;
    const uint8_t* colour8 = nullptr;
    const uint16_t* colour16 = nullptr;
    const float* depth = nullptr;

    // Offset of pixel x1 in the buffer row of file row y (rows go up in the file).
    size_t at(int x1, int fileRow) const {
        return (size_t(height) - 1 - size_t(fileRow)) * width + size_t(x1);
    }
};

// The high and low byte planes of 16-bit samples, last component first; the
// library's samples (Half) written as 2 s, 0 for a negative s.
template <bool Half> void gather16(const uint16_t* src, int w, uint8_t* const* hi, uint8_t* const* lo) {
    for (int k = 0; k < 4; ++k) {
        uint8_t* h = hi[k];
        uint8_t* l = lo[k];
        for (int x = 0; x < w; ++x) {
            uint16_t v = src[4 * x + 3 - k];
            if constexpr (Half) v = uint16_t(std::max<int>(int16_t(v), 0) * 2);
            h[x] = uint8_t(v >> 8);
            l[x] = uint8_t(v);
        }
    }
}

// One tile chunk, padded to 4 bytes, into out.
void encodeTile(const Image& img, int x1, int y1, int w, int h, bool depth, std::vector<uint8_t>& planes,
                std::vector<uint8_t>& out) {
    const size_t n = size_t(w) * size_t(h);
    const int bytes = depth ? 1 : img.bytes;
    const size_t count = 4 * size_t(bytes); // planes, also the raw bytes of a pixel
    planes.resize(count * n);
    uint8_t* p = planes.data();
    // Plane k holds component 3 - k (depth: byte 3 - k, the most significant
    // first); with 16-bit samples the four high-byte planes come first.
    for (int r = 0; r < h; ++r) {
        const size_t at = img.at(x1, y1 + r), o = size_t(r) * size_t(w);
        if (depth) {
            const float* src = img.depth + at;
            for (int x = 0; x < w; ++x) {
                const uint32_t bits = std::bit_cast<uint32_t>(src[x]);
                p[o + x] = uint8_t(bits >> 24);
                p[n + o + x] = uint8_t(bits >> 16);
                p[2 * n + o + x] = uint8_t(bits >> 8);
                p[3 * n + o + x] = uint8_t(bits);
            }
        } else if (bytes == 1) {
            const uint8_t* src = img.colour8 + 4 * at;
            for (int x = 0; x < w; ++x) {
                p[o + x] = src[4 * x + 3];
                p[n + o + x] = src[4 * x + 2];
                p[2 * n + o + x] = src[4 * x + 1];
                p[3 * n + o + x] = src[4 * x];
            }
        } else {
            const uint16_t* src = img.colour16 + 4 * at;
            uint8_t* hi[4] = {p + o, p + n + o, p + 2 * n + o, p + 3 * n + o};
            uint8_t* lo[4] = {p + 4 * n + o, p + 5 * n + o, p + 6 * n + o, p + 7 * n + o};
            if (img.half)
                gather16<true>(src, w, hi, lo);
            else
                gather16<false>(src, w, hi, lo);
        }
    }

    const size_t raw = count * n;
    out.resize(16 + std::max(raw, count * codedRoom(n)) + 3);
    uint8_t* head = out.data();
    ByteOrder::putU32BE(head, depth ? kZBUF : kRGBA);
    ByteOrder::putU16BE(head + 8, uint16_t(x1));
    ByteOrder::putU16BE(head + 10, uint16_t(y1));
    ByteOrder::putU16BE(head + 12, uint16_t(x1 + w - 1));
    ByteOrder::putU16BE(head + 14, uint16_t(y1 + h - 1));
    uint8_t* data = head + 16;
    size_t coded = 0;
    for (size_t k = 0; k < count && coded < raw; ++k)
        coded += CEL_IffImage::encodeRunLength(p + k * n, n, data + coded);
    if (coded >= raw) {
        // Raw: pixel by pixel, the last component first, samples big-endian.
        const size_t components = 4;
        for (size_t i = 0; i < n; ++i)
            for (size_t j = 0; j < components; ++j) {
                *data++ = p[j * n + i];
                if (bytes == 2) *data++ = p[(components + j) * n + i];
            }
        coded = raw;
    }
    ByteOrder::putU32BE(head + 4, uint32_t(8 + coded));
    const size_t end = 16 + coded, padded = size_t(align4(end));
    std::fill(out.begin() + ptrdiff_t(end), out.begin() + ptrdiff_t(padded), uint8_t(0));
    out.resize(padded);
}

} // namespace

bool CEL_IffImage::iff_save(const QString& path, const void* colour, const float* depth,
                            int bytesPerChannel) {
    m_reporter->done = 0;
    Reporter& report = *m_reporter;
    iffsetbpp(bytesPerChannel);
    const size_t across = (size_t(m_width) + kTile - 1) / kTile,
                 down = (size_t(m_height) + kTile - 1) / kTile;
    // Tile corners are 16-bit, the tile count too.
    if ((!colour && !depth) || m_width == 0 || m_height == 0 || m_width > 65536 || m_height > 65536 ||
        across * down > 65535) {
        report(WriteError);
        return false;
    }
    m_type =
        (colour ? uint32_t(IFF_TYPE_RGB | IFF_TYPE_ALPHA) : 0u) | (depth ? uint32_t(IFF_TYPE_DEPTH) : 0u);
    m_compression = 1;
    m_tiles = uint16_t(across * down);

    Image img;
    img.width = m_width;
    img.height = m_height;
    img.bytes = m_bytes;
    img.half = m_control & IFF_CTRL_HALF_SAMPLES;
    img.colour8 = m_bytes == 1 ? static_cast<const uint8_t*>(colour) : nullptr;
    img.colour16 = m_bytes == 2 ? static_cast<const uint16_t*>(colour) : nullptr;
    img.depth = depth;

    const PL_FileSpec target(path);
    const PL_FileSpec fresh = PL_FileUtil::NewFileSpec(target);
    FILE* file = fresh.get_fs("wb");
    if (!file) {
        report(CannotOpen);
        return false;
    }
    std::setvbuf(file, nullptr, _IOFBF, size_t(1) << 20);
    bool written = true;
    uint64_t total = 0;
    const auto put = [&](const void* bytes, size_t n) {
        if (written && std::fwrite(bytes, 1, n, file) != n) written = false;
        total += n;
    };

    uint8_t header[64];
    uint8_t* h = header;
    const auto u32 = [&h](uint32_t v) { ByteOrder::putU32BE(h, v), h += 4; };
    const auto u16 = [&h](uint16_t v) { ByteOrder::putU16BE(h, v), h += 2; };
    u32(kFOR4), u32(0), u32(kCIMG);
    u32(kTBHD), u32(32);
    u32(m_width), u32(m_height), u16(1), u16(1), u32(m_type), u16(uint16_t(m_bytes - 1)), u16(m_tiles);
    u32(m_compression), u32(m_originX), u32(m_originY);
    const uint64_t tileGroup = uint64_t(h - header);
    u32(kFOR4), u32(0), u32(kTBMP);
    put(header, size_t(h - header));

    bool failed = false;
    try {
        // In batches, so the coded tiles in memory stay a few megabytes.
        const size_t tileCount = across * down, batch = 512;
        const int kinds = (colour ? 1 : 0) + (depth ? 1 : 0);
        std::vector<std::vector<uint8_t>> chunks(batch * size_t(kinds));
        for (size_t first = 0; first < tileCount && written; first += batch) {
            const size_t count = std::min(batch, tileCount - first);
            forEachTile(count, [&](size_t i) {
                thread_local std::vector<uint8_t> planes;
                const size_t t = first + i;
                const int x1 = int(t % across) * kTile, y1 = int(t / across) * kTile;
                const int w = std::min<int>(kTile, int(m_width) - x1),
                          hh = std::min<int>(kTile, int(m_height) - y1);
                size_t slot = i * size_t(kinds);
                if (colour) encodeTile(img, x1, y1, w, hh, false, planes, chunks[slot++]);
                if (depth) encodeTile(img, x1, y1, w, hh, true, planes, chunks[slot]);
            });
            for (size_t k = 0; k < count * size_t(kinds); ++k) put(chunks[k].data(), chunks[k].size());
        }
    } catch (const std::bad_alloc&) {
        failed = true;
    }

    // The group sizes count the bytes after their size fields.
    if (written && !failed && total - 8 <= UINT32_MAX) {
        uint8_t size[4];
        ByteOrder::putU32BE(size, uint32_t(total - 8));
        written = std::fseek(file, 4, SEEK_SET) == 0 && std::fwrite(size, 1, 4, file) == 4;
        ByteOrder::putU32BE(size, uint32_t(total - tileGroup - 8));
        written = written && std::fseek(file, long(tileGroup + 4), SEEK_SET) == 0 &&
                  std::fwrite(size, 1, 4, file) == 4;
    } else if (total - 8 > UINT32_MAX) {
        failed = true;
    }
    written = std::fclose(file) == 0 && written;
    if (failed || !written || !PL_FileUtil::RenameNewFile(target)) {
        QFile::remove(fresh.path());
        report(failed ? WriteError : CannotWrite);
        return false;
    }
    return true;
}
