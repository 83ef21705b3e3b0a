#include "celio/handlers/TiffHandler.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <atomic>
#include <cfloat>
#include <climits>
#include <cstdarg>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <tiffio.h>
#include <unistd.h>
#include <vector>

#include "base/Platform.h"
#include "cel/Cel.h"
#include "celio/MemoryFile.h"
#include "celio/ReadLimits.h"
#include "celio/handlers/WriteLimitsDetail.h"
#include "pixel/PixmapArea.h"
#include "pixel/PixmapCanvas.h"

namespace {

// ---------------------------------------------------------------------------
// Diagnostics

std::atomic<std::ostream*> g_diagnostics{nullptr};
std::mutex g_diagnosticsMutex;

void diagnose(const std::string& line) {
    std::lock_guard<std::mutex> lock(g_diagnosticsMutex);
    std::ostream* out = g_diagnostics.load();
    if (!out) out = &std::cerr;
    *out << line << '\n';
    out->flush();
}

// libtiff speaks through these per-file handlers only; returning 1 tells it
// the message was dealt with, so its process-wide handlers (which print to
// standard error) stay silent. Why a file is refused is reported by the
// reader's own diagnostics.
int quietHandler(TIFF*, void*, const char*, const char*, va_list) {
    return 1;
}

// Options of every file we open: quiet, and no single allocation of libtiff's
// larger than the largest pixmap (a directory claiming billions of strips is
// refused before its offsets are read).
TIFFOpenOptions* quietOptions() {
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (!options) return nullptr;
    TIFFOpenOptionsSetErrorHandlerExtR(options, quietHandler, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(options, quietHandler, nullptr);
    const unsigned long long cap = CEL_Pixmap::maxPixmapBytes();
    TIFFOpenOptionsSetMaxSingleMemAlloc(options, tmsize_t(std::min<unsigned long long>(cap, INT64_MAX)));
    return options;
}

TIFF* openTiff(const char* name, const char* mode) {
    TIFFOpenOptions* options = quietOptions();
    if (!options) return nullptr;
    TIFF* tif = TIFFOpenExt(name, mode, options);
    TIFFOpenOptionsFree(options);
    return tif;
}

// A file held in memory, opened for reading; libtiff maps it, so strips are
// read in place.
class MemoryInput {
public:
    explicit MemoryInput(const CELIO_MemoryFile& file) : m_data(file.data()), m_size(file.size()) {}

    TIFF* open(const char* name, const char* mode) {
        TIFFOpenOptions* options = quietOptions();
        if (!options) return nullptr;
        TIFF* tif = TIFFClientOpenExt(name, mode, this, readProc, writeProc, seekProc, closeProc, sizeProc,
                                      mapProc, unmapProc, options);
        TIFFOpenOptionsFree(options);
        return tif;
    }

private:
    static MemoryInput* self(thandle_t h) { return static_cast<MemoryInput*>(h); }
    static tmsize_t readProc(thandle_t h, void* data, tmsize_t size) {
        MemoryInput* m = self(h);
        if (size < 0) return -1;
        const uint64_t n =
            std::min<uint64_t>(uint64_t(size), m->m_pos < m->m_size ? m->m_size - m->m_pos : 0);
        if (n) std::memcpy(data, m->m_data + m->m_pos, size_t(n));
        m->m_pos += n;
        return tmsize_t(n);
    }
    static tmsize_t writeProc(thandle_t, void*, tmsize_t) { return -1; }
    static toff_t seekProc(thandle_t h, toff_t offset, int whence) {
        MemoryInput* m = self(h);
        const uint64_t base = whence == SEEK_CUR ? m->m_pos : whence == SEEK_END ? m->m_size : 0;
        m->m_pos = base + offset;
        return m->m_pos;
    }
    static int closeProc(thandle_t) { return 0; }
    static toff_t sizeProc(thandle_t h) { return self(h)->m_size; }
    static int mapProc(thandle_t h, void** base, toff_t* size) {
        *base = const_cast<uint8_t*>(self(h)->m_data); // read-only use
        *size = self(h)->m_size;
        return 1;
    }
    static void unmapProc(thandle_t, void*, toff_t) {}

    const uint8_t* m_data;
    uint64_t m_size;
    uint64_t m_pos = 0;
};

struct TiffCloser {
    TIFF* tif;
    ~TiffCloser() {
        if (tif) TIFFClose(tif);
    }
};

// Output file for the writer. libtiff flushes every strip on its own and seeks
// to the end of the file before each one; with one row per strip that is a
// system call per row. This keeps the bytes in a large buffer and writes them
// when the position jumps or the buffer fills.
class BufferedOutput {
public:
    explicit BufferedOutput(const QByteArray& name)
        : m_fd(::open(name.constData(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666)) {}
    ~BufferedOutput() { close(); }
    BufferedOutput(const BufferedOutput&) = delete;
    BufferedOutput& operator=(const BufferedOutput&) = delete;

    bool isOpen() const { return m_fd >= 0; }
    bool failed() const { return m_failed; }

    TIFF* open(const char* name) {
        TIFFOpenOptions* options = quietOptions();
        if (!options) return nullptr;
        TIFF* tif = TIFFClientOpenExt(name, "w", this, readProc, writeProc, seekProc, closeProc, sizeProc,
                                      mapProc, unmapProc, options);
        TIFFOpenOptionsFree(options);
        return tif;
    }

    bool flush() {
        const uint8_t* p = m_buffer.data();
        size_t left = m_length;
        uint64_t at = m_start;
        while (left > 0 && !m_failed) {
            const ssize_t n = ::pwrite(m_fd, p, left, off_t(at));
            if (n <= 0) {
                m_failed = true;
                break;
            }
            p += n, left -= size_t(n), at += uint64_t(n);
        }
        m_length = 0;
        m_start = m_pos;
        return !m_failed;
    }

    int close() {
        if (m_fd < 0) return 0;
        flush();
        const int rc = ::close(m_fd);
        m_fd = -1;
        if (rc != 0) m_failed = true;
        return m_failed ? -1 : 0;
    }

private:
    static constexpr size_t kCapacity = size_t(1) << 20;

    tmsize_t write(const void* data, tmsize_t size) {
        if (m_failed || size < 0) return -1;
        const size_t n = size_t(size);
        if (m_pos != m_start + m_length || m_length + n > kCapacity) {
            if (!flush()) return -1;
        }
        if (n >= kCapacity) {
            const uint8_t* p = static_cast<const uint8_t*>(data);
            for (size_t done = 0; done < n;) {
                const ssize_t w = ::pwrite(m_fd, p + done, n - done, off_t(m_pos + done));
                if (w <= 0) {
                    m_failed = true;
                    return -1;
                }
                done += size_t(w);
            }
            m_start = m_pos + n;
        } else {
            if (m_buffer.size() < kCapacity) m_buffer.resize(kCapacity);
            std::memcpy(m_buffer.data() + m_length, data, n);
            m_length += n;
        }
        m_pos += n;
        m_size = std::max(m_size, m_pos);
        return size;
    }

    tmsize_t read(void* data, tmsize_t size) {
        if (!flush() || size < 0) return -1;
        const ssize_t n = ::pread(m_fd, data, size_t(size), off_t(m_pos));
        if (n > 0) m_pos += uint64_t(n), m_start = m_pos;
        return tmsize_t(n);
    }

    toff_t seek(toff_t offset, int whence) {
        const uint64_t base = whence == SEEK_CUR ? m_pos : whence == SEEK_END ? m_size : 0;
        m_pos = base + offset;
        return m_pos;
    }

    static tmsize_t readProc(thandle_t h, void* data, tmsize_t size) {
        return static_cast<BufferedOutput*>(h)->read(data, size);
    }
    static tmsize_t writeProc(thandle_t h, void* data, tmsize_t size) {
        return static_cast<BufferedOutput*>(h)->write(data, size);
    }
    static toff_t seekProc(thandle_t h, toff_t offset, int whence) {
        return static_cast<BufferedOutput*>(h)->seek(offset, whence);
    }
    static int closeProc(thandle_t h) { return static_cast<BufferedOutput*>(h)->close(); }
    static toff_t sizeProc(thandle_t h) { return static_cast<BufferedOutput*>(h)->m_size; }
    static int mapProc(thandle_t, void**, toff_t*) { return 0; }
    static void unmapProc(thandle_t, void*, toff_t) {}

    int m_fd;
    std::vector<uint8_t> m_buffer;
    uint64_t m_start = 0; // file offset of m_buffer[0]
    size_t m_length = 0;  // bytes waiting in m_buffer
    uint64_t m_pos = 0;   // libtiff's position
    uint64_t m_size = 0;  // size of the file with the waiting bytes
    bool m_failed = false;
};

// ---------------------------------------------------------------------------
// Sample conversion, one strip of rows at a time. Each converter gets the
// decoded bytes of `count` pixels.

void invertBytes(uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) p[i] = uint8_t(~p[i]);
}

void rgb8ToRgba8(const uint8_t* in, CEL_PixelRGBA8* out, size_t count) {
    for (size_t i = 0; i < count; ++i, in += 3) out[i] = CEL_PixelRGBA8{in[0], in[1], in[2], 255};
}

template <int Samples> void toRgba16(const uint8_t* bytes, CEL_PixelRGBA16* out, size_t count) {
    const uint16_t* in = reinterpret_cast<const uint16_t*>(bytes);
    for (size_t i = 0; i < count; ++i, in += Samples) {
        out[i].r = int16_t(in[0] >> 1);
        out[i].g = int16_t(in[1] >> 1);
        out[i].b = int16_t(in[2] >> 1);
        out[i].a = Samples == 4 ? int16_t(in[3] >> 1) : int16_t(32767);
    }
}

struct DepthRange {
    float min = FLT_MAX;
    float max = -FLT_MAX;
};

void toDepth(const uint8_t* bytes, CEL_PixelFloat* out, size_t count, DepthRange& range) {
    const float* in = reinterpret_cast<const float*>(bytes);
    float lo = range.min, hi = range.max;
    for (size_t i = 0; i < count; ++i) {
        const float v = in[i];
        if (v > -1e10f && v < 1e10f) {
            const float z = -v;
            out[i] = z;
            lo = std::min(lo, z);
            hi = std::max(hi, z);
        } else {
            out[i] = CEL_PixelFloat::Zero;
        }
    }
    range.min = lo;
    range.max = hi;
}

enum class Kind { Rgb8, Rgba8, Rgb16, Rgba16, Depth };

// Decodes every strip of an open file and hands the rows of each to
// `convert(bytes, firstRow, rowCount)`. `direct(firstRow)`, when it returns
// non-null, is where the strip's bytes can be decoded in place (they need no
// conversion). False after writing the diagnostic of a failed strip.
template <class Direct, class Convert>
bool readStrips(TIFF* tif, uint32_t height, size_t rowBytes, bool minIsWhite, Direct direct,
                Convert convert) {
    uint32_t rowsPerStrip = height;
    TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip);
    rowsPerStrip = std::clamp<uint32_t>(rowsPerStrip, 1, height);
    const tstrip_t strips = TIFFNumberOfStrips(tif);
    if (strips < (uint64_t(height) + rowsPerStrip - 1) / rowsPerStrip) {
        diagnose(" Read error on input strip number " + std::to_string(strips));
        return false;
    }
    std::vector<uint8_t> scratch;
    for (tstrip_t s = 0; s < strips; ++s) {
        const uint64_t firstRow = uint64_t(s) * rowsPerStrip;
        if (firstRow >= height) break;
        const uint32_t rows = uint32_t(std::min<uint64_t>(rowsPerStrip, height - firstRow));
        const size_t need = rows * rowBytes;
        uint8_t* target = direct(uint32_t(firstRow));
        if (!target) {
            if (scratch.size() < need) scratch.resize(need);
            target = scratch.data();
        }
        const tmsize_t got = TIFFReadEncodedStrip(tif, s, target, tmsize_t(need));
        if (got < 0) {
            diagnose(" Read error on input strip number " + std::to_string(s));
            return false;
        }
        // A strip that decodes short leaves defined (black) bytes, not stale ones.
        if (size_t(got) < need) std::memset(target + got, 0, need - size_t(got));
        if (minIsWhite) invertBytes(target, need);
        convert(target, uint32_t(firstRow), rows);
    }
    return true;
}

// The most decoded bytes one byte of strip data gives for a compression.
CELIO_Expansion expansionOf(uint16_t compression) {
    switch (compression) {
    case COMPRESSION_NONE:
        return {1, 1};
    case COMPRESSION_PACKBITS: // two bytes repeat one byte 128 times
        return {64, 1};
    case COMPRESSION_LZW: // a code of 9 bits or more, a string of at most 4096 bytes
        return {4096 * 8, 9};
    case COMPRESSION_ADOBE_DEFLATE:
    case COMPRESSION_DEFLATE:
        return {1032, 1};
    case COMPRESSION_JPEG: // at least a bit for each 8 x 8 block of 8-bit samples
        return {512, 1};
    default: // codecs without a known bound: a generous one
        return {65536, 1};
    }
}

// The strip (or tile) data the directory points at, counted only as far as
// the file holds it. The directory's arrays may list fewer strips than the
// image needs: libtiff's per-strip accessors report those past their end.
uint64_t stripDataBytes(TIFF* tif, uint64_t fileSize) {
    uint64_t total = 0;
    for (uint32_t i = 0, n = TIFFNumberOfStrips(tif); i < n; ++i) {
        int err = 0;
        const uint64_t offset = TIFFGetStrileOffsetWithErr(tif, i, &err);
        const uint64_t count = err ? 0 : TIFFGetStrileByteCountWithErr(tif, i, &err);
        if (err) break;
        total += std::min(count, offset < fileSize ? fileSize - offset : 0);
        if (total >= fileSize) return fileSize;
    }
    return total;
}

// Opens a file again; null when that fails.
using Reopen = std::function<TIFF*(const char* mode)>;

// Reads one image from a file of fileSize bytes, opened without strip
// chopping ("rc"): libtiff would otherwise cut a single uncompressed strip
// into strips of a few rows when it reads the directory, allocating two
// offsets per piece for whatever height the header claims. Once the claim
// has passed, such a file is opened again with chopping, so that its strips
// are read a few rows at a time.
bool readTiff(TIFF* unchopped, const Reopen& reopen, uint64_t fileSize, CELIO_RepresentationList& list) {
    TIFF* tif = unchopped;

    uint32_t height = 0, width = 0;
    if (!TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height)) {
        diagnose(" Cannot read image height");
        return false;
    }
    if (!TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width)) {
        diagnose(" Cannot read image width");
        return false;
    }
    uint16_t bits = 1, samples = 1, planar = PLANARCONFIG_CONTIG, photometric = 0;
    TIFFGetField(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetField(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    if (TIFFGetField(tif, TIFFTAG_PLANARCONFIG, &planar) && planar != PLANARCONFIG_CONTIG) {
        diagnose(" Cannot deal with TIFF file with non-planar configuration!");
        return false;
    }
    if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric)) {
        diagnose(" Image has an undefined photometric interpretation");
        return false;
    }

    Kind kind;
    if (bits == 8) {
        if (samples != 3 && samples != 4) {
            diagnose("Error while reading RGBA TIFF file!");
            return false;
        }
        kind = samples == 3 ? Kind::Rgb8 : Kind::Rgba8;
    } else if (bits == 16) {
        if (samples != 3 && samples != 4) {
            diagnose("Error while reading 16 bits RGBA TIFF file!");
            return false;
        }
        kind = samples == 3 ? Kind::Rgb16 : Kind::Rgba16;
    } else if (bits == 32) {
        if (samples != 1) {
            diagnose("Error while reading Z TIFF file!");
            return false;
        }
        kind = Kind::Depth;
    } else {
        return false;
    }
    if (width == 0 || height == 0 || width > uint32_t(INT32_MAX) || height > uint32_t(INT32_MAX)) {
        diagnose(" Could not allocate enough memory for the uncompressed image");
        return false;
    }

    // JPEG-compressed YCbCr strips come out as RGB when the codec is asked to.
    uint16_t compression = COMPRESSION_NONE;
    TIFFGetField(tif, TIFFTAG_COMPRESSION, &compression);
    if (photometric == PHOTOMETRIC_YCBCR && compression == COMPRESSION_JPEG)
        TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);

    const bool minIsWhite = photometric == PHOTOMETRIC_MINISWHITE;
    const size_t rowBytes = size_t(width) * samples * (bits / 8);
    // Before allocating: the pixmap within the cap, and strips in the file
    // that can decode to all the rows.
    const CELIO_ImageClaim claim(width, height, 1, kind == Kind::Rgb16 || kind == Kind::Rgba16 ? 8 : 4);
    const uint64_t decoded = uint64_t(rowBytes) * height;
    if (!claim.checkInput("tif", stripDataBytes(tif, fileSize),
                          CELIO_ImageClaim::minimumInput(decoded, expansionOf(compression))))
        return false;
    TiffCloser chopped{nullptr};
    if (compression == COMPRESSION_NONE && TIFFNumberOfStrips(tif) == 1 && height > 1) {
        chopped.tif = reopen("r");
        if (chopped.tif) tif = chopped.tif;
    }
    const Math::Size2di size{int(width), int(height)};
    const auto noDirect = [](uint32_t) -> uint8_t* { return nullptr; };
    const auto outOfMemory = [] { diagnose(" Could not allocate enough memory for the uncompressed image"); };

    if (kind == Kind::Rgb8 || kind == Kind::Rgba8) {
        auto pixmap = std::make_unique<CEL_PixmapRGBA8>(size, CEL_PixmapRGBA8::DoNotMemset());
        CEL_PixelRGBA8* pixels = pixmap->data();
        if (!pixels) {
            outOfMemory();
            return false;
        }
        bool ok;
        if (kind == Kind::Rgba8) {
            ok = readStrips(
                tif, height, rowBytes, minIsWhite,
                [&](uint32_t row) { return reinterpret_cast<uint8_t*>(pixels + size_t(row) * width); },
                [](const uint8_t*, uint32_t, uint32_t) {});
        } else {
            ok = readStrips(tif, height, rowBytes, minIsWhite, noDirect,
                            [&](const uint8_t* bytes, uint32_t row, uint32_t rows) {
                                rgb8ToRgba8(bytes, pixels + size_t(row) * width, size_t(rows) * width);
                            });
        }
        if (!ok) return false;
        list.push_back(UT_SharedPtr<CEL_Representation>(pixmap.release()));
        return true;
    }

    if (kind == Kind::Rgb16 || kind == Kind::Rgba16) {
        auto pixmap = std::make_unique<CEL_PixmapRGBA16>(size, CEL_PixmapRGBA16::DoNotMemset());
        CEL_PixelRGBA16* pixels = pixmap->data();
        if (!pixels) {
            outOfMemory();
            return false;
        }
        const bool alpha = kind == Kind::Rgba16;
        const bool ok = readStrips(tif, height, rowBytes, minIsWhite, noDirect,
                                   [&](const uint8_t* bytes, uint32_t row, uint32_t rows) {
                                       CEL_PixelRGBA16* out = pixels + size_t(row) * width;
                                       if (alpha)
                                           toRgba16<4>(bytes, out, size_t(rows) * width);
                                       else
                                           toRgba16<3>(bytes, out, size_t(rows) * width);
                                   });
        if (!ok) return false;
        list.push_back(UT_SharedPtr<CEL_Representation>(pixmap.release()));
        return true;
    }

    auto depth = std::make_unique<CEL_PixmapAreaZ>(int(width), int(height));
    if (!depth->realloc(Math::Box2di(0, 0, int(width), int(height)), false) || !depth->data()) {
        outOfMemory();
        return false;
    }
    CEL_PixelFloat* pixels = depth->data();
    DepthRange range;
    const bool ok = readStrips(tif, height, rowBytes, minIsWhite, noDirect,
                               [&](const uint8_t* bytes, uint32_t row, uint32_t rows) {
                                   toDepth(bytes, pixels + size_t(row) * width, size_t(rows) * width, range);
                               });
    if (!ok) return false;
    depth->setZRange(range.min, range.max);
    list.push_back(UT_SharedPtr<CEL_Representation>(depth.release()));
    return true;
}

} // namespace

QStringList QxCelUioTiffHandler::getExtensions() const {
    return {QStringLiteral("TIF")};
}

QStringList QxCelUioTiffHandler::getWriteOptionCodes() const {
    return {QStringLiteral("TIF")};
}

QString QxCelUioTiffHandler::getWriteOptionsCode(const CELIO_WriteOptions&) const {
    return QStringLiteral("TIF");
}

UT_DynKey QxCelUioTiffHandler::formatClass() const {
    return CELIO_PixmapFormat;
}

void QxCelUioTiffHandler::setDiagnosticStream(std::ostream* stream) {
    std::lock_guard<std::mutex> lock(g_diagnosticsMutex);
    g_diagnostics.store(stream);
}

QString QxCelUioTiffHandler::depthFileName(const QString& path) {
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    const qsizetype dot = path.indexOf(QLatin1Char('.'), slash + 1);
    if (dot < 0) return path + QStringLiteral("_z");
    return path.left(dot) + QStringLiteral("_z") + path.mid(dot);
}

bool QxCelUioTiffHandler::read(const QString& path, const CEL_Context&,
                               CELIO_RepresentationList& list) const {
    const QString target = oswRemapPath::RemapPath2(path);
    if (!read(QFile::encodeName(target), list)) return false;
    const QString depthFile = depthFileName(target);
    if (QFileInfo::exists(depthFile)) read(QFile::encodeName(depthFile), list);
    return true;
}

bool QxCelUioTiffHandler::read(const QByteArray& fileName, CELIO_RepresentationList& list) const {
    TiffCloser file{openTiff(fileName.constData(), "rc")};
    if (!file.tif) {
        diagnose(" Could not open file " + fileName.toStdString() + " for reading!");
        return false;
    }
    const Reopen reopen = [&](const char* mode) { return openTiff(fileName.constData(), mode); };
    return readTiff(file.tif, reopen, uint64_t(QFileInfo(QFile::decodeName(fileName)).size()), list);
}

CELIO_State QxCelUioTiffHandler::readMemory(const CELIO_MemoryFile& file, const CEL_Context&,
                                            CELIO_RepresentationList& list) const {
    MemoryInput input(file), again(file);
    const QByteArray name = file.name().toUtf8();
    TiffCloser tiff{input.open(name.constData(), "rc")};
    if (!tiff.tif) {
        diagnose(" Could not open file " + name.toStdString() + " for reading!");
        return CELIO_STATE_FAILED;
    }
    const Reopen reopen = [&](const char* mode) { return again.open(name.constData(), mode); };
    return readTiff(tiff.tif, reopen, file.size(), list) ? CELIO_STATE_OK : CELIO_STATE_FAILED;
}

CELIO_State QxCelUioTiffHandler::readInfo(const QString& path, const CEL_Context&, CELIO_Info& info) const {
    TiffCloser file{openTiff(QFile::encodeName(oswRemapPath::RemapPath2(path)).constData(), "rc")};
    return file.tif ? readInfoFrom(file.tif, info) : CELIO_STATE_FAILED;
}

CELIO_State QxCelUioTiffHandler::readInfoMemory(const CELIO_MemoryFile& file, const CEL_Context&,
                                                CELIO_Info& info) const {
    MemoryInput input(file);
    TiffCloser tiff{input.open(file.name().toUtf8().constData(), "rc")};
    return tiff.tif ? readInfoFrom(tiff.tif, info) : CELIO_STATE_FAILED;
}

CELIO_State QxCelUioTiffHandler::readInfoFrom(TIFF* tif, CELIO_Info& info) {
    uint32_t height = 0, width = 0;
    if (!TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height) || !TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width))
        return CELIO_STATE_FAILED;
    uint16_t bits = 1, samples = 1;
    TIFFGetField(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetField(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    info.width = width;
    info.height = height;
    info.channels = samples;
    info.bytesPerChannel = bits < 8 ? 1 : bits / 8;
    info.optionCode = QStringLiteral("TIF");
    return CELIO_STATE_OK;
}

bool QxCelUioTiffHandler::write(CEL_Cel* cel, const QString& path, const QString&) const {
    if (!cel) return false;
    const UT_SharedPtr<CEL_Representation> rep = cel->convertTo(CEL_Representation::PIXMAP_RGBA8);
    const auto* pixmap = dynamic_cast<const CEL_PixmapRGBA8*>(rep.get());
    if (!pixmap) return false;
    if (!pixmap->data()) return true;
    // Classic TIFF offsets are 32-bit: the rows, one strip each with its
    // offset and byte count, and the directory must fit below 4 GiB.
    const uint64_t w = uint64_t(pixmap->width()), h = uint64_t(pixmap->height());
    if (!celio_detail::fitsFileSize("qxcelio", "TIFF", pixmap->width(), pixmap->height(),
                                    (w * 4 + 8) * h + 4096))
        return false;

    const QByteArray name = QFile::encodeName(oswRemapPath::RemapPath2(path));
    BufferedOutput output(name);
    if (!output.isOpen()) return false;
    TiffCloser file{output.open(name.constData())};
    if (!file.tif) return false;
    TIFF* tif = file.tif;
    const uint32_t width = uint32_t(pixmap->width()), height = uint32_t(pixmap->height());
    const uint16_t associatedAlpha = EXTRASAMPLE_ASSOCALPHA;
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 4);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 1);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_NONE);
    TIFFSetField(tif, TIFFTAG_FILLORDER, FILLORDER_MSB2LSB);
    TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &associatedAlpha);

    // libtiff takes a writable buffer; the cel's pixels are shared, so each row
    // goes through a row of our own.
    const size_t rowBytes = size_t(width) * 4;
    std::vector<uint8_t> row(rowBytes);
    for (uint32_t y = 0; y < height; ++y) {
        std::memcpy(row.data(), pixmap->data() + size_t(y) * width, rowBytes);
        if (TIFFWriteEncodedStrip(tif, y, row.data(), tmsize_t(rowBytes)) < 0) return false;
    }
    return TIFFFlush(tif) == 1 && output.flush();
}

bool QxCelUioTiffHandler::hasAssociatedAlpha(const QString& path) {
    TiffCloser file{openTiff(QFile::encodeName(oswRemapPath::RemapPath2(path)).constData(), "r")};
    uint16_t count = 0;
    const uint16_t* kinds = nullptr;
    return file.tif && TIFFGetField(file.tif, TIFFTAG_EXTRASAMPLES, &count, &kinds) == 1 && count > 0 &&
           kinds && kinds[0] == EXTRASAMPLE_ASSOCALPHA;
}
