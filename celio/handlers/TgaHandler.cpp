#include "celio/handlers/TgaHandler.h"

#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

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

using Header = QXCelUioTgaHandler::Header;

// ------------------------------------------------------------------ input

// Contiguous access to the input for the decoders. Most of the time the
// window is the stream's own chunk (no copy); a piece that crosses the end of
// a chunk, or a look-ahead longer than the chunk, is gathered in a local
// buffer. Streams with tiny chunks (standard input) are read ahead in blocks.
class Source {
public:
    explicit Source(CELIO_InputStream& stream) : m_stream(stream) {
        attach();
        if (m_end - m_cur < kSmallChunk) m_readAhead = kReadAhead;
    }
    ~Source() {
        if (m_inChunk) m_stream.advance(uint32_t(m_cur - m_stream.data()));
    }
    Source(const Source&) = delete;
    Source& operator=(const Source&) = delete;

    // Makes up to n bytes contiguous at data(); returns how many are there,
    // fewer than n only at the end of the input.
    size_t ensure(size_t n) {
        if (size_t(m_end - m_cur) >= n) return n;
        return gather(n);
    }
    const uint8_t* data() const { return m_cur; }
    void advance(size_t n) { m_cur += n; }

private:
    static constexpr ptrdiff_t kSmallChunk = 4096;
    static constexpr size_t kReadAhead = 65536;
    static constexpr size_t kFirstStep = size_t(1) << 16;

    void attach() {
        m_cur = m_stream.data();
        m_end = m_cur + m_stream.available();
        m_inChunk = true;
    }

    size_t gather(size_t n) {
        const size_t have = size_t(m_end - m_cur);
        if (m_inChunk) {
            // Everything left in the chunk is either consumed or carried over.
            m_stream.advance(m_stream.available());
        } else if (have == 0 && m_stream.available() >= n) {
            attach();
            return n;
        }
        // The buffer starts small and doubles as data arrives, so a header that
        // claims far more than the input holds costs little memory. The
        // carried-over bytes always fit: a chunk may hold more than a first step.
        const size_t want = std::max(n, m_readAhead);
        relocate(std::max({m_capacity, have, std::min(want, kFirstStep)}), have);
        size_t got = have;
        while (got < want) {
            if (got == m_capacity) relocate(std::min(want, 2 * m_capacity), got);
            const size_t ask = std::min(want, m_capacity) - got;
            const size_t r = m_stream.read(m_buffer.get() + got, ask);
            got += r;
            if (r < ask) break; // the end of the input
        }
        m_end = m_cur + got;
        m_inChunk = false;
        return std::min(got, n);
    }

    // Puts the `have` bytes at m_cur at the front of a buffer of at least `capacity`.
    void relocate(size_t capacity, size_t have) {
        if (capacity > m_capacity) {
            std::unique_ptr<uint8_t[]> grown(new uint8_t[capacity]);
            if (have) std::memcpy(grown.get(), m_cur, have);
            m_buffer = std::move(grown);
            m_capacity = capacity;
        } else if (have && m_cur != m_buffer.get()) {
            std::memmove(m_buffer.get(), m_cur, have);
        }
        m_cur = m_buffer.get();
    }

    CELIO_InputStream& m_stream;
    const uint8_t* m_cur = nullptr;
    const uint8_t* m_end = nullptr;
    bool m_inChunk = false;
    size_t m_readAhead = 0;
    std::unique_ptr<uint8_t[]> m_buffer;
    size_t m_capacity = 0;
};

inline uint32_t load32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
inline void store32(uint8_t* p, uint32_t v) {
    std::memcpy(p, &v, 4);
}
// b, g, r, a <-> r, g, b, a on a little-endian word: swap bytes 0 and 2.
inline uint32_t swapRB(uint32_t v) {
    return (v & 0xff00ff00u) | ((v >> 16) & 0xffu) | ((v & 0xffu) << 16);
}

// ------------------------------------------------------------------ decoding

// File pixels (grey; b g r; b g r a) to memory pixels (grey; r g b a), for Bpp
// bytes per file pixel. Memory pixels are one byte for grey, four otherwise.
template <int Bpp> struct FilePixel;
template <> struct FilePixel<1> {
    static constexpr size_t kOut = 1;
    static void convert(const uint8_t* s, uint8_t* d, size_t n) { std::memcpy(d, s, n); }
    static void fill(uint8_t* d, size_t n, const uint8_t* s) { std::memset(d, s[0], n); }
};
template <> struct FilePixel<3> {
    static constexpr size_t kOut = 4;
    static void convert(const uint8_t* s, uint8_t* d, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            d[4 * i + 0] = s[3 * i + 2];
            d[4 * i + 1] = s[3 * i + 1];
            d[4 * i + 2] = s[3 * i + 0];
            d[4 * i + 3] = 255;
        }
    }
    static void fill(uint8_t* d, size_t n, const uint8_t* s) {
        const uint32_t v = uint32_t(s[2]) | (uint32_t(s[1]) << 8) | (uint32_t(s[0]) << 16) | 0xff000000u;
        for (size_t i = 0; i < n; ++i) store32(d + 4 * i, v);
    }
};
template <> struct FilePixel<4> {
    static constexpr size_t kOut = 4;
    static void convert(const uint8_t* s, uint8_t* d, size_t n) {
        for (size_t i = 0; i < n; ++i) store32(d + 4 * i, swapRB(load32(s + 4 * i)));
    }
    static void fill(uint8_t* d, size_t n, const uint8_t* s) {
        const uint32_t v = swapRB(load32(s));
        for (size_t i = 0; i < n; ++i) store32(d + 4 * i, v);
    }
};

// A run-length packet may run on into the next row, so its state outlives a row.
struct RleState {
    uint32_t pending = 0;  // pixels of the current packet not delivered yet
    bool run = false;      // the packet repeats value
    uint8_t value[4] = {}; // the repeated pixel, in file byte order
};

// Decodes one uncompressed row of n pixels; returns how many the input held.
template <int Bpp> size_t decodeRawRow(Source& src, uint8_t* dst, size_t n) {
    size_t x = 0;
    while (x < n) {
        const size_t got = src.ensure(std::min(n - x, size_t(16384)) * Bpp) / Bpp;
        if (got == 0) break;
        FilePixel<Bpp>::convert(src.data(), dst + x * FilePixel<Bpp>::kOut, got);
        src.advance(got * Bpp);
        x += got;
    }
    return x;
}

// Decodes one run-length encoded row of n pixels; returns how many the input held.
template <int Bpp> size_t decodeRleRow(Source& src, RleState& st, uint8_t* dst, size_t n) {
    constexpr size_t kOut = FilePixel<Bpp>::kOut;
    size_t x = 0;
    while (x < n) {
        if (st.pending == 0) {
            if (src.ensure(1 + Bpp) == 0) return x;
            const uint8_t h = src.data()[0];
            src.advance(1);
            st.pending = (h & 127u) + 1;
            st.run = (h & 128u) != 0;
            if (st.run) {
                if (src.ensure(Bpp) < size_t(Bpp)) {
                    st.pending = 0;
                    return x;
                }
                std::memcpy(st.value, src.data(), Bpp);
                src.advance(Bpp);
            }
        }
        const size_t k = std::min(size_t(st.pending), n - x);
        if (st.run) {
            FilePixel<Bpp>::fill(dst + x * kOut, k, st.value);
        } else {
            const size_t got = src.ensure(k * Bpp) / Bpp;
            FilePixel<Bpp>::convert(src.data(), dst + x * kOut, got);
            src.advance(got * Bpp);
            if (got < k) {
                st.pending = 0;
                return x + got;
            }
        }
        x += k;
        st.pending -= uint32_t(k);
    }
    return x;
}

// Fills a width x height buffer (row 0 on top) from the pixel data in file
// order, as the flip code says. Pixels the input does not reach become zero.
template <int Bpp>
void decodePixels(Source& src, bool rle, int flip, uint8_t* pixels, size_t width, size_t height) {
    constexpr size_t kOut = FilePixel<Bpp>::kOut;
    const size_t stride = width * kOut;
    const bool rightToLeft = (flip & 1) != 0;
    const bool topFirst = (flip & 2) != 0;
    std::unique_ptr<uint8_t[]> reversed(rightToLeft ? new uint8_t[stride] : nullptr);
    RleState state;
    bool ended = false;
    for (size_t r = 0; r < height; ++r) {
        uint8_t* row = pixels + (topFirst ? r : height - 1 - r) * stride;
        if (ended) {
            std::memset(row, 0, stride);
            continue;
        }
        uint8_t* out = rightToLeft ? reversed.get() : row;
        const size_t got =
            rle ? decodeRleRow<Bpp>(src, state, out, width) : decodeRawRow<Bpp>(src, out, width);
        if (got < width) {
            std::memset(out + got * kOut, 0, (width - got) * kOut);
            ended = true;
        }
        if (rightToLeft)
            for (size_t i = 0; i < width; ++i)
                std::memcpy(row + (width - 1 - i) * kOut, out + i * kOut, kOut);
    }
}

// Whether the input can hold the claimed pixels: at best a run-length packet
// of 1 + Bpp bytes gives 128 pixels, so fewer bytes than that bound means a
// header that lies (uncompressed files are held to the same bound, so a
// truncated one still reads as far as it goes). Looks ahead without consuming.
template <int Bpp> bool plausibleSize(Source& src, const CELIO_ImageClaim& claim) {
    if (claim.bytes() <= CELIO_ImageClaim::SmallImageBytes) return true;
    const uint64_t need = claim.minimumInput({128 * FilePixel<Bpp>::kOut, 1 + Bpp});
    return need != CELIO_ImageClaim::Unknown && src.ensure(size_t(need)) >= need;
}

template <int Bpp> CEL_Representation* decodeImage(Source& src, const Header& h) {
    const int w = h.width;
    const int ht = h.height;
    const bool rle = h.imageType >= 10;
    const unsigned long long pixels = (unsigned long long)w * unsigned(ht);
    const CELIO_ImageClaim claim(w, ht, FilePixel<Bpp>::kOut, 1);
    if (!claim.withinCap() || !plausibleSize<Bpp>(src, claim)) {
        claim.postRefusal("tga");
        return nullptr;
    }
    uint8_t* buffer = nullptr;
    CEL_Pixmap* pixmap = nullptr;
    if constexpr (Bpp == 1) {
        auto* matte = new CEL_PixmapMatte8(w, ht);
        buffer = matte->data();
        pixmap = matte;
    } else {
        auto* rgba = new CEL_PixmapRGBA8(Math::Size2di(w, ht), CEL_PixmapRGBA8::DoNotMemset{});
        buffer = reinterpret_cast<uint8_t*>(rgba->data());
        pixmap = rgba;
    }
    if (pixels == 0) return pixmap;
    if (!buffer) { // the pixmap has posted the out-of-memory message
        delete pixmap;
        return nullptr;
    }
    decodePixels<Bpp>(src, rle, h.flip(), buffer, size_t(w), size_t(ht));
    return pixmap;
}

void unpackHeader(const uint8_t* b, Header& h) {
    h.idLength = b[0];
    h.colorMapType = b[1];
    h.imageType = b[2];
    h.colorMapFirst = uint16_t(b[3] | (b[4] << 8));
    h.colorMapLength = uint16_t(b[5] | (b[6] << 8));
    h.colorMapEntrySize = b[7];
    h.xOrigin = uint16_t(b[8] | (b[9] << 8));
    h.yOrigin = uint16_t(b[10] | (b[11] << 8));
    h.width = uint16_t(b[12] | (b[13] << 8));
    h.height = uint16_t(b[14] | (b[15] << 8));
    h.depth = b[16];
    h.descriptor = b[17];
}

void packHeader(const Header& h, uint8_t* b) {
    const auto le = [b](int at, uint16_t v) {
        b[at] = uint8_t(v);
        b[at + 1] = uint8_t(v >> 8);
    };
    b[0] = h.idLength;
    b[1] = h.colorMapType;
    b[2] = h.imageType;
    le(3, h.colorMapFirst);
    le(5, h.colorMapLength);
    b[7] = h.colorMapEntrySize;
    le(8, h.xOrigin);
    le(10, h.yOrigin);
    le(12, h.width);
    le(14, h.height);
    b[16] = h.depth;
    b[17] = h.descriptor;
}

// ------------------------------------------------------------------ encoding

// Elements of the row encoder: a grey byte, or a whole r, g, b, a pixel
// (compared as one word) written as b, g, r or b, g, r, a.
template <int Bpp> struct Element;
template <> struct Element<1> {
    static constexpr size_t kIn = 1;
    static uint32_t key(const uint8_t* p) { return p[0]; }
    static uint8_t* put(uint8_t* o, const uint8_t* p, size_t n) {
        std::memcpy(o, p, n);
        return o + n;
    }
};
template <> struct Element<3> {
    static constexpr size_t kIn = 4;
    static uint32_t key(const uint8_t* p) { return load32(p); }
    static uint8_t* put(uint8_t* o, const uint8_t* p, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            o[3 * i + 0] = p[4 * i + 2];
            o[3 * i + 1] = p[4 * i + 1];
            o[3 * i + 2] = p[4 * i + 0];
        }
        return o + 3 * n;
    }
};
template <> struct Element<4> {
    static constexpr size_t kIn = 4;
    static uint32_t key(const uint8_t* p) { return load32(p); }
    static uint8_t* put(uint8_t* o, const uint8_t* p, size_t n) {
        for (size_t i = 0; i < n; ++i) store32(o + 4 * i, swapRB(load32(p + 4 * i)));
        return o + 4 * n;
    }
};

// Largest encoding of a row of n elements: every packet holds at least one.
size_t maxEncodedRow(size_t n, int bpp) {
    return n * size_t(bpp + 1);
}

template <int Bpp> size_t encodeRow(const uint8_t* row, size_t n, uint8_t* out) {
    using E = Element<Bpp>;
    uint8_t* o = out;
    size_t p = 0;
    while (p < n) {
        const size_t limit = std::min(n - p, size_t(128));
        const uint32_t v = E::key(row + p * E::kIn);
        size_t run = 1;
        while (run < limit && E::key(row + (p + run) * E::kIn) == v) ++run;
        if (run >= 2) {
            *o++ = uint8_t((run - 1) | 128u);
            o = E::put(o, row + p * E::kIn, 1);
            p += run;
            continue;
        }
        // A literal span stops before the next equal pair, which starts a run.
        size_t span = 1;
        while (span < limit) {
            const size_t q = p + span;
            if (q + 1 < n && E::key(row + q * E::kIn) == E::key(row + (q + 1) * E::kIn)) break;
            ++span;
        }
        *o++ = uint8_t(span - 1);
        o = E::put(o, row + p * E::kIn, span);
        p += span;
    }
    return size_t(o - out);
}

// The shape a code asks for.
struct OutputShape {
    uint8_t imageType;
    uint8_t depth;
    uint8_t descriptor;
    CEL_Representation::CelFormat format;
};

bool shapeFor(const QString& code, OutputShape& shape) {
    const QString c = code.toUpper();
    if (c == QLatin1String("TGA4"))
        shape = {10, 32, 8, CEL_Representation::PIXMAP_RGBA8};
    else if (c == QLatin1String("TGA") || c == QLatin1String("TGA3"))
        shape = {10, 24, 0, CEL_Representation::PIXMAP_RGBA8};
    else if (c == QLatin1String("TGA1"))
        shape = {11, 8, 0, CEL_Representation::PIXMAP_MATTE8};
    else
        return false;
    return true;
}

// The pixels of the cel in the code's layout; null when the code is unknown
// or the cel does not convert.
UT_SharedPtr<CEL_Representation> pixelsFor(CEL_Cel* cel, const QString& code, OutputShape& shape) {
    if (!cel || !shapeFor(code, shape) || !cel->convertibleTo(shape.format)) return {};
    return cel->convertTo(shape.format);
}

template <int Bpp, class Sink>
void encodeRows(Sink& sink, const uint8_t* pixels, size_t width, size_t height) {
    constexpr size_t kIn = Element<Bpp>::kIn;
    std::vector<uint8_t> buffer(maxEncodedRow(width, Bpp));
    for (size_t y = height; y-- > 0;) {
        const size_t n = encodeRow<Bpp>(pixels + y * width * kIn, width, buffer.data());
        sink.write(buffer.data(), n);
    }
}

// Writes header and rows of a converted representation to the sink.
template <class Sink>
void encodeImage(Sink& sink, const CEL_Representation& rep, const OutputShape& shape,
                 void (*putHeader)(Sink&, const Header&)) {
    const auto* matte = dynamic_cast<const CEL_PixmapMatte8*>(&rep);
    const auto* rgba = dynamic_cast<const CEL_PixmapRGBA8*>(&rep);
    const CEL_Pixmap* pixmap = shape.depth == 8 ? static_cast<const CEL_Pixmap*>(matte) : rgba;
    if (!pixmap) return;
    Header h;
    h.imageType = shape.imageType;
    h.depth = shape.depth;
    h.descriptor = shape.descriptor;
    h.width = uint16_t(pixmap->width());
    h.height = uint16_t(pixmap->height());
    putHeader(sink, h);
    const size_t w = size_t(std::max(pixmap->width(), 0));
    const size_t ht = size_t(std::max(pixmap->height(), 0));
    if (matte) {
        if (matte->data()) encodeRows<1>(sink, matte->data(), w, ht);
    } else {
        const auto* px = reinterpret_cast<const uint8_t*>(rgba->data());
        if (!px) return;
        if (shape.depth == 32)
            encodeRows<4>(sink, px, w, ht);
        else
            encodeRows<3>(sink, px, w, ht);
    }
}

struct ByteArraySink {
    QByteArray& bytes;
    void write(const void* src, size_t n) { bytes.append(static_cast<const char*>(src), qsizetype(n)); }
};

void putHeaderToArray(ByteArraySink& sink, const Header& h) {
    uint8_t b[Header::Size];
    packHeader(h, b);
    sink.write(b, sizeof b);
}

void putHeaderToObuf(obuf& out, const Header& h) {
    QXCelUioTgaHandler::writeHeader(out, h);
}

// Whether the converted pixels fit the header's 16-bit width and height
// (posts the refusal when they do not); nothing converted passes.
bool fitsHeader(const CEL_Representation* rep) {
    const auto* p = dynamic_cast<const CEL_Pixmap*>(rep);
    return !p || celio_detail::fitsHeader("qxcelio", "TGA", p->width(), p->height(), 65535, 65535);
}

// Reads the 18 header bytes; throws ibuf::EndOfData when the file ends first.
void readHeader(ibuf& in, Header& h) {
    uint8_t b[Header::Size];
    in.read(b, sizeof b);
    unpackHeader(b, h);
}

} // namespace

QStringList QXCelUioTgaHandler::getExtensions() const {
    return {QStringLiteral("TGA")};
}

QStringList QXCelUioTgaHandler::getWriteOptionCodes() const {
    return {QStringLiteral("TGA"), QStringLiteral("TGA4"), QStringLiteral("TGA3"), QStringLiteral("TGA1")};
}

void QXCelUioTgaHandler::getWriteOptions(CELIO_WriteOptions& options) const {
    options.singleChannel = true;
    options.alpha = true;
}

QString QXCelUioTgaHandler::getWriteOptionsCode(const CELIO_WriteOptions& options) const {
    if (options.alpha) return QStringLiteral("TGA4");
    if (options.singleChannel) return QStringLiteral("TGA1");
    return QStringLiteral("TGA");
}

UT_DynKey QXCelUioTgaHandler::formatClass() const {
    return CELIO_PixmapFormat;
}

CEL_Representation* QXCelUioTgaHandler::read(CELIO_InputStream& stream) const {
    Source src(stream);
    uint8_t bytes[Header::Size] = {};
    // A short header reads as zeros, which the type check below refuses.
    const size_t got = src.ensure(Header::Size);
    std::memcpy(bytes, src.data(), got);
    src.advance(got);
    Header h;
    unpackHeader(bytes, h);
    for (size_t skip = h.idLength; skip > 0;) {
        const size_t n = src.ensure(skip);
        if (n == 0) break;
        src.advance(n);
        skip -= n;
    }

    if (h.colorMapType != 0) return nullptr;
    const int type = h.imageType;
    if (type != 2 && type != 3 && type != 10 && type != 11) {
        MSG_Scope("qxcelio", "Unsupported tga file type: %1", 5).arg(type).post(11);
        return nullptr;
    }
    switch (h.depth) {
    case 8:
        return decodeImage<1>(src, h);
    case 24:
        return decodeImage<3>(src, h);
    case 32:
        return decodeImage<4>(src, h);
    default:
        MSG_Scope("qxcelio", "Unsupported tga depth: %1", 5).arg(int(h.depth)).post(11);
        return nullptr;
    }
}

CEL_Representation* QXCelUioTgaHandler::read(const unsigned char* data, unsigned size) const {
    CELIO_MemoryInputBlock block(data, size);
    CELIO_InputStream stream(block);
    return read(stream);
}

CELIO_State QXCelUioTgaHandler::readInfo(const QString& path, const CEL_Context&, CELIO_Info& info) const {
    ibuf in(path);
    if (!in.isOpen()) return CELIO_STATE_FAILED;
    return readInfoFrom(in, info);
}

CELIO_State QXCelUioTgaHandler::readInfoMemory(const CELIO_MemoryFile& file, const CEL_Context&,
                                               CELIO_Info& info) const {
    ibuf in(file.data(), file.size());
    return readInfoFrom(in, info);
}

CELIO_State QXCelUioTgaHandler::readInfoFrom(ibuf& in, CELIO_Info& info) {
    Header h;
    readHeader(in, h);
    info.width = h.width;
    info.height = h.height;
    in.skip(h.idLength);
    if (h.colorMapType != 0 || h.imageType < 2) return CELIO_STATE_FAILED;

    const bool rle = h.imageType == 10 || h.imageType == 11;
    if (!rle && h.imageType != 2 && h.imageType != 3) return CELIO_STATE_FAILED;
    if (rle) info.description = QStringLiteral("RLE Encoded"); // even when the depth is refused
    QString code;
    switch (h.depth) {
    case 8:
        // Only run-length grey files name their single channel.
        info.channels = 1, code = QLatin1String(h.imageType == 11 ? "TGA1" : "TGA");
        break;
    case 16:
    case 24:
        info.channels = 3, code = QStringLiteral("TGA3");
        break;
    case 32:
        info.channels = 4, code = QStringLiteral("TGA4");
        break;
    default:
        return CELIO_STATE_FAILED;
    }
    info.bytesPerChannel = 1;
    info.optionCode = code;
    return CELIO_STATE_OK;
}

void QXCelUioTgaHandler::writeHeader(obuf& out, const Header& header) {
    uint8_t b[Header::Size];
    packHeader(header, b);
    out.write(b, sizeof b);
}

bool QXCelUioTgaHandler::write(CEL_Cel* cel, const QString& path, const QString& code) const {
    OutputShape shape;
    const UT_SharedPtr<CEL_Representation> rep = pixelsFor(cel, code, shape);
    if (!fitsHeader(rep.get())) return false;
    const bool toStdout = path == QLatin1String("-") && !WHO_Identity::isInteractive();
    if (!toStdout) {
        const QString dir = QFileInfo(oswRemapPath::RemapPath2(path)).absolutePath();
        if (!QDir(dir).exists()) QDir().mkpath(dir);
    }
    obuf out(path);
    if (!out.isOpen()) return false;
    if (rep) encodeImage<obuf>(out, *rep, shape, putHeaderToObuf);
    out.closeOrThrow();
    return true;
}

QByteArray QXCelUioTgaHandler::encode(CEL_Cel* cel, const QString& code) const {
    QByteArray bytes;
    OutputShape shape;
    const UT_SharedPtr<CEL_Representation> rep = pixelsFor(cel, code, shape);
    if (!rep || !fitsHeader(rep.get())) return bytes;
    ByteArraySink sink{bytes};
    encodeImage<ByteArraySink>(sink, *rep, shape, putHeaderToArray);
    return bytes;
}
