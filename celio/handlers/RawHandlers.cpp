#include "celio/handlers/RawHandlers.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <algorithm>
#include <bit>
#include <cerrno>
#include <cfloat>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "base/ByteOrder.h"
#include "base/Platform.h"
#include "cel/Cel.h"
#include "pixel/PixmapArea.h"
#include "pixel/PixmapCanvas.h"

namespace {

using R = CEL_Representation;
constexpr bool kBigEndianHost = std::endian::native == std::endian::big;

bool isStdStream(const QString& path) {
    return path == QLatin1String("-") && !WHO_Identity::isInteractive();
}

// The bytes of a regular file, or of standard input, read with plain system
// calls so that pixels go from the page cache straight into a pixmap's buffer.
class RawSource {
public:
    explicit RawSource(const QString& path) {
        if (isStdStream(path)) {
            // Standard input has no size to check against: it is taken whole.
            uint8_t chunk[65536];
            for (;;) {
                const ssize_t n = ::read(0, chunk, sizeof chunk);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) break;
                m_memory.insert(m_memory.end(), chunk, chunk + n);
            }
            m_size = m_memory.size();
            m_open = true;
            return;
        }
        m_fd = ::open(QFile::encodeName(oswRemapPath::RemapPath2(path)).constData(), O_RDONLY | O_CLOEXEC);
        struct stat st;
        if (m_fd < 0 || ::fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode)) return;
        m_size = uint64_t(st.st_size);
        m_open = true;
    }
    ~RawSource() {
        if (m_fd >= 0) ::close(m_fd);
    }
    RawSource(const RawSource&) = delete;
    RawSource& operator=(const RawSource&) = delete;

    bool isOpen() const { return m_open; }
    uint64_t size() const { return m_size; }

    // Exactly n bytes, or false.
    bool read(void* dst, uint64_t n) {
        auto* out = static_cast<uint8_t*>(dst);
        if (m_fd < 0) {
            if (n > m_memory.size() - m_pos) return false;
            if (n) std::memcpy(out, m_memory.data() + m_pos, size_t(n));
            m_pos += size_t(n);
            return true;
        }
        while (n > 0) {
            const ssize_t got = ::read(m_fd, out, size_t(std::min<uint64_t>(n, 1u << 30)));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return false;
            out += got;
            n -= uint64_t(got);
        }
        return true;
    }

private:
    int m_fd = -1;
    bool m_open = false;
    uint64_t m_size = 0;
    std::vector<uint8_t> m_memory; // standard input
    size_t m_pos = 0;
};

// Writes "<path>.part" and renames it over path when everything went through;
// otherwise the part file is deleted and an earlier file at path is kept.
// Standard output ("-" in a process that is not interactive) is written directly.
class RawTarget {
public:
    explicit RawTarget(const QString& path) {
        if (isStdStream(path)) {
            m_fd = 1;
            m_stdout = true;
            return;
        }
        m_final = QFile::encodeName(oswRemapPath::RemapPath2(path));
        m_part = m_final + ".part";
        m_fd = ::open(m_part.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    }
    ~RawTarget() {
        if (m_stdout || m_committed) return;
        if (m_fd >= 0) ::close(m_fd);
        if (!m_part.isEmpty()) ::unlink(m_part.constData());
    }
    RawTarget(const RawTarget&) = delete;
    RawTarget& operator=(const RawTarget&) = delete;

    bool isOpen() const { return m_fd >= 0; }

    bool write(const void* src, uint64_t n) {
        const auto* in = static_cast<const uint8_t*>(src);
        while (m_ok && n > 0) {
            const ssize_t put = ::write(m_fd, in, size_t(std::min<uint64_t>(n, 1u << 30)));
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0)
                m_ok = false;
            else {
                in += put;
                n -= uint64_t(put);
            }
        }
        return m_ok;
    }

    // Values of sizeof(T) bytes stored little-endian whatever the host's order.
    template <class T> bool writeLittleEndian(const T* values, uint64_t count) {
        if constexpr (!kBigEndianHost) {
            return write(values, count * sizeof(T));
        } else {
            uint8_t chunk[65536];
            const auto* bytes = reinterpret_cast<const uint8_t*>(values);
            for (uint64_t done = 0; m_ok && done < count * sizeof(T);) {
                const uint64_t n = std::min<uint64_t>(sizeof chunk, count * sizeof(T) - done);
                for (uint64_t i = 0; i < n; ++i)
                    chunk[i] = bytes[done + (i / sizeof(T)) * sizeof(T) + (sizeof(T) - 1 - i % sizeof(T))];
                write(chunk, n);
                done += n;
            }
            return m_ok;
        }
    }

    // Closes (checked) and renames the part file over the target.
    bool commit() {
        if (m_stdout) return m_ok;
        if (!isOpen()) return false;
        const int fd = m_fd;
        m_fd = -1;
        if (::close(fd) != 0) m_ok = false;
        if (!m_ok || ::rename(m_part.constData(), m_final.constData()) != 0) return false;
        m_committed = true;
        return true;
    }

private:
    QByteArray m_final;
    QByteArray m_part;
    int m_fd = -1;
    bool m_ok = true;
    bool m_stdout = false;
    bool m_committed = false;
};

// Byte-swaps 16- or 32-bit values read from a little-endian file in place on
// a big-endian host; nothing on a little-endian one.
template <class Word> void fromLittleEndian(void* data, uint64_t count) {
    if constexpr (kBigEndianHost) {
        auto* w = static_cast<Word*>(data);
        for (uint64_t i = 0; i < count; ++i) {
            if constexpr (sizeof(Word) == 2)
                w[i] = __builtin_bswap16(w[i]);
            else
                w[i] = __builtin_bswap32(w[i]);
        }
    } else {
        (void)data;
        (void)count;
    }
}

// ------------------------------------------------------------------ DAT

struct RawPixmapHeader {
    int32_t format = 0;        // CelFormat: 4 area, 6 canvas
    int32_t bytesPerPixel = 0; // 8
    uint64_t count = 0;        // pixels stored
    int32_t width = 0;         // canvas size
    int32_t height = 0;
    int32_t canvas[4] = {};    // x1, y1, width, height (zero for a canvas pixmap)
    int32_t allocated[4] = {}; // x1, y1, width, height (zero for a canvas pixmap)

    void store(uint8_t* out) const {
        ByteOrder::putU32LE(out, uint32_t(format));
        ByteOrder::putU32LE(out + 4, uint32_t(bytesPerPixel));
        ByteOrder::putU32LE(out + 8, uint32_t(count));
        ByteOrder::putU32LE(out + 12, uint32_t(count >> 32));
        ByteOrder::putU32LE(out + 16, uint32_t(width));
        ByteOrder::putU32LE(out + 20, uint32_t(height));
        for (int i = 0; i < 4; ++i) {
            ByteOrder::putU32LE(out + 24 + 4 * i, uint32_t(canvas[i]));
            ByteOrder::putU32LE(out + 40 + 4 * i, uint32_t(allocated[i]));
        }
    }
    void load(const uint8_t* in) {
        const auto i32 = [in](int at) { return int32_t(ByteOrder::getU32LE(in + at)); };
        format = i32(0);
        bytesPerPixel = i32(4);
        count = uint64_t(ByteOrder::getU32LE(in + 8)) | (uint64_t(ByteOrder::getU32LE(in + 12)) << 32);
        width = i32(16);
        height = i32(20);
        for (int i = 0; i < 4; ++i) {
            canvas[i] = i32(24 + 4 * i);
            allocated[i] = i32(40 + 4 * i);
        }
    }
};
static_assert(CELIO_UioRawPixMapHandler::HeaderSize == 56);

// A box (x, y, w, h) whose far corner still fits in 32 bits, w and h not negative.
bool boxFits(int32_t x, int32_t y, int32_t w, int32_t h) {
    constexpr int64_t kMax = std::numeric_limits<int32_t>::max();
    return w >= 0 && h >= 0 && int64_t(x) + w <= kMax && int64_t(y) + h <= kMax;
}

CEL_Representation* readRawPixmap(RawSource& in) {
    uint8_t bytes[CELIO_UioRawPixMapHandler::HeaderSize];
    if (in.size() < sizeof bytes || !in.read(bytes, sizeof bytes)) return nullptr;
    RawPixmapHeader h;
    h.load(bytes);
    if (h.bytesPerPixel != 8 || h.width < 0 || h.height < 0) return nullptr;
    // The file must hold exactly the pixels the header announces.
    uint64_t pixelBytes = 0;
    if (__builtin_mul_overflow(h.count, uint64_t(8), &pixelBytes) || in.size() - sizeof bytes != pixelBytes)
        return nullptr;

    if (h.format == R::PIXMAP_AREA_RGBA16) {
        const int32_t* a = h.allocated;
        if (!boxFits(h.canvas[0], h.canvas[1], h.width, h.height) || !boxFits(a[0], a[1], a[2], a[3]) ||
            uint64_t(int64_t(a[2]) * a[3]) != h.count)
            return nullptr;
        auto p = std::make_unique<CEL_PixmapAreaRGBA16>(
            Math::Size2di(h.width, h.height), Math::Box2di(h.canvas[0], h.canvas[1], h.width, h.height));
        if (h.count == 0) return p.release();
        const Math::Box2di rect(a[0], a[1], a[2], a[3]);
        if (!p->realloc(rect, false) || !p->data() || p->allocatedRect() != rect) return nullptr;
        if (!in.read(p->data(), pixelBytes)) return nullptr;
        fromLittleEndian<uint16_t>(p->data(), h.count * 4);
        return p.release();
    }
    if (h.format == R::PIXMAP_RGBA16) {
        if (uint64_t(int64_t(h.width) * h.height) != h.count) return nullptr;
        auto p = std::make_unique<CEL_PixmapRGBA16>(Math::Size2di(h.width, h.height),
                                                    CEL_PixmapRGBA16::DoNotMemset());
        if (h.count == 0) return p.release();
        if (!p->data() || !in.read(p->data(), pixelBytes)) return nullptr;
        fromLittleEndian<uint16_t>(p->data(), h.count * 4);
        return p.release();
    }
    return nullptr;
}

// ------------------------------------------------------------------ RAW

constexpr uint64_t kDepthChunk = 65536; // values converted while they are in the cache

// Eight floats and the lane masks of their comparisons: generic vectors of the
// compiler, one AVX register, two SSE registers, or whatever the target has.
// Selects are written out as bit operations (lane masks are all ones or zeros).
typedef float Floats8 __attribute__((vector_size(32)));
typedef int32_t Mask8 __attribute__((vector_size(32)));

// On x86-64 the conversion is compiled twice (AVX2 and the baseline); the
// loader picks the one the processor runs.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(CELCORE_SANITIZED)
#define CELCORE_DEPTH_KERNEL __attribute__((target_clones("avx2", "default")))
#else
#define CELCORE_DEPTH_KERNEL
#endif

// Depth values as the library keeps them: -v inside (-1e10, 1e10), no depth
// (Zero, the lowest float) elsewhere, NaN included; lo and hi take the range
// of the converted values. Two sets of running bounds keep their comparison
// chains independent. The maximum needs no mask: Zero never raises it.
CELCORE_DEPTH_KERNEL void convertDepths(float* v, uint64_t n, float& lo, float& hi) {
    // Every lane set to a value's exact bits.
    const Mask8 zero = Mask8{} + std::bit_cast<int32_t>(CEL_PixelFloat::Zero);
    const Floats8 limit = Floats8(Mask8{} + std::bit_cast<int32_t>(1e10f));
    Floats8 lo8[2], hi8[2];
    lo8[0] = lo8[1] = Floats8(Mask8{} + std::bit_cast<int32_t>(lo));
    hi8[0] = hi8[1] = Floats8(Mask8{} + std::bit_cast<int32_t>(hi));
    uint64_t i = 0;
    for (; i + 16 <= n; i += 16) {
        for (int k = 0; k < 2; ++k) {
            Floats8 x;
            std::memcpy(&x, v + i + 8 * k, sizeof x);
            const Mask8 inside = (x > -limit) & (x < limit);
            const Floats8 d = Floats8((Mask8(-x) & inside) | (zero & ~inside));
            std::memcpy(v + i + 8 * k, &d, sizeof d);
            const Mask8 lower = inside & (d < lo8[k]), higher = d > hi8[k];
            lo8[k] = Floats8((Mask8(d) & lower) | (Mask8(lo8[k]) & ~lower));
            hi8[k] = Floats8((Mask8(d) & higher) | (Mask8(hi8[k]) & ~higher));
        }
    }
    for (int k = 0; k < 16; ++k) {
        const float l = lo8[k / 8][k % 8], h = hi8[k / 8][k % 8];
        lo = l < lo ? l : lo;
        hi = h > hi ? h : hi;
    }
    for (; i < n; ++i) {
        const float x = v[i];
        const bool inside = x > -1e10f && x < 1e10f;
        v[i] = inside ? -x : CEL_PixelFloat::Zero;
        if (inside) {
            lo = -x < lo ? -x : lo;
            hi = -x > hi ? -x : hi;
        }
    }
}

bool readRawDepth(const QString& path, CELIO_RepresentationList& list) {
    RawSource in(path);
    uint8_t bytes[8];
    if (!in.isOpen() || in.size() < sizeof bytes || !in.read(bytes, sizeof bytes)) return false;
    const int32_t w = int32_t(ByteOrder::getU32LE(bytes)), h = int32_t(ByteOrder::getU32LE(bytes + 4));
    if (w <= 0 || h <= 0) return false;
    // Refused before allocating when the file is short of its values.
    const uint64_t n = uint64_t(w) * uint64_t(h);
    if ((in.size() - sizeof bytes) / sizeof(float) < n) return false;

    const Math::Box2di canvas(0, 0, w, h);
    auto z = std::make_unique<CEL_PixmapAreaZ>(Math::Size2di(w, h), canvas);
    if (!z->realloc(canvas, false) || !z->data()) return false;
    float* values = &z->data()->value;
    float lo = FLT_MAX, hi = -FLT_MAX;
    for (uint64_t done = 0; done < n;) {
        const uint64_t k = std::min(kDepthChunk, n - done);
        if (!in.read(values + done, k * sizeof(float))) return false;
        fromLittleEndian<uint32_t>(values + done, k);
        convertDepths(values + done, k, lo, hi);
        done += k;
    }
    z->setZRange(lo, hi);
    list.push_back(UT_SharedPtr<CEL_Representation>(z.release()));
    return true;
}

} // namespace

// ================================================================ CELIO_UioRawPixMapHandler

QStringList CELIO_UioRawPixMapHandler::getExtensions() const {
    return {QStringLiteral("DAT")};
}

QStringList CELIO_UioRawPixMapHandler::getWriteOptionCodes() const {
    return {};
}

void CELIO_UioRawPixMapHandler::getWriteOptions(CELIO_WriteOptions& options) const {
    options.alpha = true;
    options.deepPixels = true;
}

QString CELIO_UioRawPixMapHandler::getWriteOptionsCode(const CELIO_WriteOptions& options) const {
    if (options.alpha && options.deepPixels && !options.compressed && !options.singleChannel)
        return QStringLiteral("DAT");
    return QString();
}

bool CELIO_UioRawPixMapHandler::read(const QString& path, const CEL_Context&,
                                     CELIO_RepresentationList& list) const {
    CEL_Representation* rep = nullptr;
    if (!read(rep, path)) return false;
    list.push_back(UT_SharedPtr<CEL_Representation>(rep));
    return true;
}

bool CELIO_UioRawPixMapHandler::read(CEL_Representation*& rep, const QString& path) const {
    rep = nullptr;
    RawSource in(path);
    if (in.isOpen()) rep = readRawPixmap(in);
    return rep != nullptr;
}

bool CELIO_UioRawPixMapHandler::read(UT_SharedPtr<CEL_Representation>& rep, const QString& path) const {
    CEL_Representation* raw = nullptr;
    const bool ok = read(raw, path);
    rep.reset(raw);
    return ok;
}

bool CELIO_UioRawPixMapHandler::write(CEL_Cel* cel, const QString& path, const QString& code) const {
    if (!cel) return false;
    UT_SharedPtr<CEL_Representation> rep = cel->findRepresentation(R::PIXMAP_AREA_RGBA16);
    if (!rep) rep = cel->findRepresentation(R::PIXMAP_RGBA16);
    return rep && write(rep, path, code);
}

bool CELIO_UioRawPixMapHandler::write(UT_SharedPtr<CEL_Representation> rep, const QString& path,
                                      const QString&) const {
    RawPixmapHeader h;
    h.bytesPerPixel = 8;
    const CEL_PixelRGBA16* pixels = nullptr;
    if (const auto* area = dynamic_cast<const CEL_PixmapAreaRGBA16*>(rep.get())) {
        const Math::Box2di c = area->canvasRect(), a = area->allocatedRect();
        h.format = R::PIXMAP_AREA_RGBA16;
        h.width = area->width();
        h.height = area->height();
        h.count = uint64_t(a.area());
        const int32_t cv[4] = {c.x1(), c.y1(), c.w(), c.h()}, av[4] = {a.x1(), a.y1(), a.w(), a.h()};
        std::copy_n(cv, 4, h.canvas);
        std::copy_n(av, 4, h.allocated);
        pixels = area->data();
    } else if (const auto* canvas = dynamic_cast<const CEL_PixmapRGBA16*>(rep.get())) {
        h.format = R::PIXMAP_RGBA16;
        h.width = canvas->width();
        h.height = canvas->height();
        h.count = uint64_t(int64_t(h.width) * h.height);
        pixels = canvas->data();
    } else {
        return false;
    }
    if (h.count && !pixels) return false;

    uint8_t header[HeaderSize];
    h.store(header);
    RawTarget out(path);
    return out.isOpen() && out.write(header, sizeof header) &&
           out.writeLittleEndian(reinterpret_cast<const int16_t*>(pixels), h.count * 4) && out.commit();
}

bool CELIO_UioRawPixMapHandler::writeCombined(CEL_Cel*, CEL_Cel*, const QString&, const QString&,
                                              bool) const {
    return false;
}

CELIO_State CELIO_UioRawPixMapHandler::readInfo(const QString&, const CEL_Context&, CELIO_Info&) const {
    return CELIO_STATE_UNSUPPORTED;
}

UT_DynKey CELIO_UioRawPixMapHandler::formatClass() const {
    return CELIO_PixmapFormat;
}

int CELIO_UioRawPixMapHandler::getFileHeaderSize() const {
    return HeaderSize;
}

// ================================================================ CELIO_UioRawFloatHandler

QStringList CELIO_UioRawFloatHandler::getExtensions() const {
    return {QStringLiteral("RAW")};
}

QStringList CELIO_UioRawFloatHandler::getWriteOptionCodes() const {
    return {QStringLiteral("RAW")};
}

QString CELIO_UioRawFloatHandler::getWriteOptionsCode(const CELIO_WriteOptions&) const {
    return QStringLiteral("RAW");
}

bool CELIO_UioRawFloatHandler::read(const QString& path, const CEL_Context&,
                                    CELIO_RepresentationList& list) const {
    return readRawDepth(path, list);
}

bool CELIO_UioRawFloatHandler::read(const char* path, CELIO_RepresentationList& list) const {
    return path && readRawDepth(QString::fromUtf8(path), list);
}

bool CELIO_UioRawFloatHandler::read(const std::string& path, CELIO_RepresentationList& list) const {
    return readRawDepth(QString::fromStdString(path), list);
}

bool CELIO_UioRawFloatHandler::write(CEL_Cel* cel, const QString& path, const QString& code) const {
    if (code.toUpper() != QLatin1String("RAW")) {
        std::fputs("This is not a RAW format.\n", stderr);
        return false;
    }
    const UT_SharedPtr<CEL_Representation> rep = cel ? cel->convertTo(R::PIXMAP_AREA_ZBUF) : nullptr;
    const auto* z = dynamic_cast<const CEL_PixmapAreaZ*>(rep.get());
    if (!z) {
        std::fputs("Unable to convert cel to PIXMAP_AREA_ZBUF\n in CELIO_UioRawFloatHandler::write", stderr);
        return false;
    }
    const Math::Box2di canvas = z->canvasRect();
    if (!z->data() || canvas.hasNullArea()) return false;
    // The file holds the canvas: a buffer allocated elsewhere is laid over it first.
    std::unique_ptr<CEL_PixmapAreaZ> fitted;
    if (z->allocatedRect() != canvas) {
        fitted.reset(z->ToBBox(canvas));
        if (!fitted) return false;
        z = fitted.get();
    }
    uint8_t header[8];
    ByteOrder::putU32LE(header, uint32_t(canvas.w()));
    ByteOrder::putU32LE(header + 4, uint32_t(canvas.h()));
    RawTarget out(path);
    return out.isOpen() && out.write(header, sizeof header) &&
           out.writeLittleEndian(reinterpret_cast<const uint32_t*>(z->data()), uint64_t(canvas.area())) &&
           out.commit();
}

CELIO_State CELIO_UioRawFloatHandler::readInfo(const QString&, const CEL_Context&, CELIO_Info&) const {
    return CELIO_STATE_UNSUPPORTED;
}

UT_DynKey CELIO_UioRawFloatHandler::formatClass() const {
    return CELIO_PixmapFormat;
}
