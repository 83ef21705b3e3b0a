#include "celio/handlers/PngHandler.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageWriter>
#include <algorithm>
#include <bit>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>
#include <png.h>
#include <type_traits>
#include <utility>
#include <vector>
#include <zlib.h>

#include "base/FileSpec.h"
#include "base/Message.h"
#include "base/Persistent.h"
#include "base/Platform.h"
#include "cel/Cel.h"
#include "celio/handlers/WriteLimitsDetail.h"
#include "pixel/PixmapCanvas.h"

namespace {

const char* const kContext = "QXCelUioPngHandler";
constexpr int kWriteFailedCode = 20;

// The quality to give Qt's PNG writer for an image, -1 for its default (zlib level 6).
// zlib's longer match search buys nothing on noisy pictures (grainy renders, scans):
// level 4 writes them as small and about 1.4x faster, while flat cel artwork still
// gains from it (level 4 would make it a quarter larger). Sixteen rows compressed at
// level 1 tell the two apart: noisy rows keep more than 30% of their bytes, cel rows a
// few percent. Qt maps quality q to level (100 - q) * 9 / 91, so 50 is level 4.
int png8QualityFor(const QImage& image) {
    const int height = image.height();
    const int rows = std::min(height, 16);
    if (rows == 0) return -1;
    const qsizetype rowBytes = qsizetype(image.width()) * 4;
    std::vector<Bytef> sample;
    sample.reserve(size_t(rowBytes) * size_t(rows));
    for (int k = 0; k < rows; ++k) {
        const uchar* line = image.constScanLine(int((int64_t(height) - 1) * k / std::max(1, rows - 1)));
        sample.insert(sample.end(), line, line + rowBytes);
    }
    uLongf size = compressBound(uLong(sample.size()));
    std::vector<Bytef> packed(size);
    if (compress2(packed.data(), &size, sample.data(), uLong(sample.size()), 1) != Z_OK) return -1;
    return uint64_t(size) * 10 > uint64_t(sample.size()) * 3 ? 50 : -1;
}

// ---------------------------------------------------------------------------
// libpng plumbing. libpng reports errors by longjmp to the jump buffer of the
// structure. Everything that may be jumped over lives in the small plain
// functions below: they hold no object with a destructor, and every value
// they produce goes through the job record the caller owns, so nothing is
// lost or leaked when a jump lands. The callers keep their C++ objects
// (pixmaps, row tables, file closers) in their own frames, outside the jump.

void ignoreWarning(png_structp, png_const_charp) {}

[[noreturn]] void jumpOnError(png_structp png, png_const_charp) {
    png_longjmp(png, 1);
}

void readFromFile(png_structp png, png_bytep data, size_t length) {
    FILE* file = static_cast<FILE*>(png_get_io_ptr(png));
    if (std::fread(data, 1, length, file) != length) png_error(png, "Read Error");
}

template <class Job> bool runGuarded(Job* job, void (*body)(Job*)) {
    if (setjmp(png_jmpbuf(job->png))) return false;
    body(job);
    return true;
}

// ---------------------------------------------------------------------------
// Reading

struct ReadJob {
    FILE* file = nullptr;
    png_structp png = nullptr;
    png_infop info = nullptr;
    png_uint_32 width = 0;
    png_uint_32 height = 0;
    int bitDepth = 0;
    int colorType = 0;
    int interlace = 0;
    int passes = 1;
    size_t rowBytes = 0;
    png_bytepp rows = nullptr; // one pointer per row into the pixmap's buffer
};

// 16-bit big-endian file samples, in place, to 0..32767: v * 32767 / 65535
// truncated, which is v / 2 rounded down, less one for even non-zero v.
void convertSamples16(png_bytep row, size_t samples) {
    uint16_t* s = reinterpret_cast<uint16_t*>(row);
    for (size_t i = 0; i < samples; ++i) {
        uint16_t v = s[i];
        if constexpr (std::endian::native == std::endian::little) v = uint16_t((v << 8) | (v >> 8));
        s[i] = uint16_t((v >> 1) - ((~v & 1) & (v != 0)));
    }
}

void readHeaderBody(ReadJob* job) {
    png_structp png = job->png;
    png_infop info = job->info;
    png_set_read_fn(png, job->file, readFromFile);
    png_read_info(png, info);
    png_get_IHDR(png, info, &job->width, &job->height, &job->bitDepth, &job->colorType, &job->interlace,
                 nullptr, nullptr);

    const int depth = job->bitDepth;
    const int type = job->colorType;
    if (depth > 8) png_set_expand_16(png);
    if (depth < 8) png_set_packing(png);
    if (type == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
    if (type == PNG_COLOR_TYPE_GRAY && depth < 8) png_set_expand_gray_1_2_4_to_8(png);
    if (png_get_valid(png, info, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(png);
    // The black/white exchange of 1-bit grey is done after decoding: libpng
    // expands grey to RGB before its own mono inversion, which then no longer
    // applies to the row.
    if (type == PNG_COLOR_TYPE_GRAY || type == PNG_COLOR_TYPE_GRAY_ALPHA) png_set_gray_to_rgb(png);
    if ((type & PNG_COLOR_MASK_ALPHA) == 0)
        png_set_filler(png, depth == 16 ? 0xFFFF : 0xFF, PNG_FILLER_AFTER);
    job->passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    job->rowBytes = png_get_rowbytes(png, info);
}

void readRows8Body(ReadJob* job) {
    png_read_image(job->png, job->rows);
    png_read_end(job->png, nullptr);
}

void readRows16Body(ReadJob* job) {
    const size_t samples = size_t(job->width) * 4;
    if (job->passes > 1) {
        png_read_image(job->png, job->rows);
        for (png_uint_32 y = 0; y < job->height; ++y) convertSamples16(job->rows[y], samples);
    } else {
        // Row by row, so that each row is converted while it is still in cache.
        for (png_uint_32 y = 0; y < job->height; ++y) {
            png_read_row(job->png, job->rows[y], nullptr);
            convertSamples16(job->rows[y], samples);
        }
    }
    png_read_end(job->png, nullptr);
}

struct ReadStructs {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~ReadStructs() {
        if (png) png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
    }
};

struct FileCloser {
    FILE* file = nullptr;
    bool owned = true;
    ~FileCloser() {
        if (file && owned) std::fclose(file);
    }
};

void invertColour(CEL_PixelRGBA8* p, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        p[i].r = uint8_t(255 - p[i].r);
        p[i].g = uint8_t(255 - p[i].g);
        p[i].b = uint8_t(255 - p[i].b);
    }
}

template <class Pixmap> std::unique_ptr<Pixmap> decodeInto(ReadJob& job) {
    constexpr size_t pixelBytes = sizeof(std::remove_pointer_t<decltype(std::declval<Pixmap&>().data())>);
    if (job.rowBytes != size_t(job.width) * pixelBytes) return nullptr;
    if (job.width > png_uint_32(INT32_MAX) || job.height > png_uint_32(INT32_MAX)) return nullptr;
    // The pixmap checks the size against the process-wide cap before allocating.
    auto pixmap = std::make_unique<Pixmap>(Math::Size2di(int(job.width), int(job.height)),
                                           typename Pixmap::DoNotMemset());
    if (!pixmap->data()) return nullptr;
    std::vector<png_bytep> rows(job.height);
    png_bytep base = reinterpret_cast<png_bytep>(pixmap->data());
    for (png_uint_32 y = 0; y < job.height; ++y) rows[y] = base + size_t(y) * job.rowBytes;
    job.rows = rows.data();
    const bool ok = pixelBytes == 8 ? runGuarded(&job, readRows16Body) : runGuarded(&job, readRows8Body);
    job.rows = nullptr;
    if (!ok) return nullptr;
    return pixmap;
}

// ---------------------------------------------------------------------------
// 16-bit writing

struct WriteJob {
    FILE* file = nullptr;
    png_structp png = nullptr;
    png_infop info = nullptr;
    const CEL_PixelRGBA16* pixels = nullptr;
    png_uint_32 width = 0;
    png_uint_32 height = 0;
    bool alpha = false;
    png_bytep row = nullptr; // from the library's allocator; freed by the caller
};

// 0..32767 to big-endian 0..65535: s * 65535 / 32767 truncated, 0 for s <= 0,
// which is 2s, plus one for full scale.
inline void putSample16(png_bytep out, int16_t s) {
    const uint32_t v = s <= 0 ? 0u : uint32_t(2 * s + (s == 32767));
    out[0] = uint8_t(v >> 8);
    out[1] = uint8_t(v);
}

template <bool Alpha> void packRow16(png_bytep out, const CEL_PixelRGBA16* p, png_uint_32 width) {
    for (png_uint_32 x = 0; x < width; ++x, out += Alpha ? 8 : 6) {
        putSample16(out, p[x].r);
        putSample16(out + 2, p[x].g);
        putSample16(out + 4, p[x].b);
        if constexpr (Alpha) putSample16(out + 6, p[x].a);
    }
}

void write16Body(WriteJob* job) {
    png_structp png = job->png;
    png_init_io(png, job->file);
    png_set_IHDR(png, job->info, job->width, job->height, 16,
                 job->alpha ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    // Deep pixels rarely repeat exactly, so zlib's back-reference search mostly
    // fails: run-length matching encodes renders and scans about twice as fast as
    // the default strategy and a little smaller. Flat artwork comes out 10-15%
    // larger; the samples written are the same either way.
    png_set_compression_strategy(png, Z_RLE);
    png_set_interlace_handling(png);
    png_write_info(png, job->info);
    job->row = static_cast<png_bytep>(png_malloc(png, size_t(job->width) * 8));
    for (png_uint_32 y = 0; y < job->height; ++y) {
        const CEL_PixelRGBA16* src = job->pixels + size_t(y) * job->width;
        if (job->alpha)
            packRow16<true>(job->row, src, job->width);
        else
            packRow16<false>(job->row, src, job->width);
        png_write_row(png, job->row);
    }
    png_write_end(png, nullptr);
}

struct WriteStructs {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~WriteStructs() {
        if (png) png_destroy_write_struct(&png, info ? &info : nullptr);
    }
};

// ---------------------------------------------------------------------------
// 8-bit writing: the 16-bit pixmap to a 32-bit Qt image (bytes b, g, r, a).

inline uint32_t packQt(int r, int g, int b, int a) {
    return (uint32_t(a >> 7) << 24) | (uint32_t(r >> 7) << 16) | (uint32_t(g >> 7) << 8) | uint32_t(b >> 7);
}

// Returns whether any pixel needs the alpha channel.
template <bool Unpremultiply> bool fillRow8(uint32_t* out, const CEL_PixelRGBA16* p, int width) {
    bool alpha = false;
    for (int x = 0; x < width; ++x) {
        int r = std::max<int>(p[x].r, 0), g = std::max<int>(p[x].g, 0);
        int b = std::max<int>(p[x].b, 0), a = std::max<int>(p[x].a, 0);
        if constexpr (Unpremultiply) {
            const int m = std::max(std::max(r, g), std::max(b, a));
            if (m != 32767) {
                alpha = true;
                if (m != 0) {
                    r = std::min(r * 32767 / m, 32767);
                    g = std::min(g * 32767 / m, 32767);
                    b = std::min(b * 32767 / m, 32767);
                }
            }
            a = m;
        }
        out[x] = packQt(r, g, b, a);
    }
    return alpha;
}

bool isWriteCode(const QStringList& codes, const QString& code) {
    return codes.contains(code, Qt::CaseInsensitive);
}

void postWriteFailure(const char* text, const QString& path) {
    MSG_Scope msg(kContext, text, 2);
    msg.arg(path);
    msg.post(kWriteFailedCode);
}

// libpng, ours and Qt's, refuses to write (and by default to read) rows or
// columns beyond a million pixels, below what the header could hold.
bool fitsLibpng(int width, int height) {
    return celio_detail::fitsHeader(kContext, "PNG", width, height, 1000000, 1000000);
}

bool writeBytesToStdout(const QByteArray& bytes) {
    return std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout) == size_t(bytes.size()) &&
           std::fflush(stdout) == 0;
}

} // namespace

QStringList QXCelUioPngHandler::getExtensions() const {
    return {QStringLiteral("PNG")};
}

QStringList QXCelUioPngHandler::getWriteOptionCodes() const {
    return {QStringLiteral("PNG"), QStringLiteral("PNG4"), QStringLiteral("PNGDP3"),
            QStringLiteral("PNGDP4")};
}

void QXCelUioPngHandler::getWriteOptions(CELIO_WriteOptions& options) const {
    options.alpha = true;
}

QString QXCelUioPngHandler::getWriteOptionsCode(const CELIO_WriteOptions& options) const {
    return options.alpha ? QStringLiteral("PNG4") : QStringLiteral("PNG");
}

UT_DynKey QXCelUioPngHandler::formatClass() const {
    return CELIO_PixmapFormat;
}

bool QXCelUioPngHandler::read(const QString& path, const CEL_Context&, CELIO_RepresentationList& list) const {
    CEL_Representation* rep = read(path);
    if (!rep) return false;
    list.push_back(UT_SharedPtr<CEL_Representation>(rep));
    return true;
}

CEL_Representation* QXCelUioPngHandler::read(const QString& path) const {
    FileCloser file;
    if (path == QLatin1String("-") && !WHO_Identity::isInteractive()) {
        file.file = stdin;
        file.owned = false;
    } else {
        file.file = PL_FileSpec(oswRemapPath::RemapPath2(path)).get_fs("rb");
    }
    if (!file.file) return nullptr;

    ReadStructs structs;
    structs.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, jumpOnError, ignoreWarning);
    if (!structs.png) return nullptr;
    structs.info = png_create_info_struct(structs.png);
    if (!structs.info) return nullptr;

    ReadJob job;
    job.file = file.file;
    job.png = structs.png;
    job.info = structs.info;
    if (!runGuarded(&job, readHeaderBody)) return nullptr;

    if (job.bitDepth == 16) return decodeInto<CEL_PixmapRGBA16>(job).release();
    std::unique_ptr<CEL_PixmapRGBA8> pixmap = decodeInto<CEL_PixmapRGBA8>(job);
    if (pixmap && job.colorType == PNG_COLOR_TYPE_GRAY && job.bitDepth == 1)
        invertColour(pixmap->data(), size_t(job.width) * job.height);
    return pixmap.release();
}

CELIO_State QXCelUioPngHandler::readInfo(const QString& path, const CEL_Context&, CELIO_Info& info) const {
    DB_File file;
    if (!file.OpenForInput(PL_FileSpec(oswRemapPath::RemapPath2(path)))) return CELIO_STATE_FAILED;
    DB_PersistentStore in(file);

    static const uint8_t signature[8] = {137, 'P', 'N', 'G', 13, 10, 26, 10};
    uint8_t sig[8];
    char type[4];
    in.Load(sig, sizeof sig);
    in.ReadU32BE(); // length of the first chunk
    in.Load(type, sizeof type);
    const uint32_t width = in.ReadU32BE();
    const uint32_t height = in.ReadU32BE();
    in.ReadU8(); // bit depth
    const uint8_t colourType = in.ReadU8();
    in.Skip(2);  // compression and filter methods
    in.ReadU8(); // interlace method
    if (in.Failed() || std::memcmp(sig, signature, sizeof sig) != 0 || std::memcmp(type, "IHDR", 4) != 0)
        return CELIO_STATE_FAILED;

    uint32_t channels = 0;
    const char* description = nullptr;
    switch (colourType) {
    case 0:
        channels = 1, description = "Grayscale";
        break;
    case 2:
        channels = 3, description = "Color RGB";
        break;
    case 3:
        channels = 3, description = "Colormap RGB";
        break;
    case 4:
        channels = 2, description = "GrayScale+Alpha";
        break;
    case 6:
        channels = 4, description = "Color RGBA";
        break;
    default:
        return CELIO_STATE_FAILED;
    }
    info.width = width;
    info.height = height;
    info.channels = channels;
    info.bytesPerChannel = 1;
    info.optionCode = QStringLiteral("PNG");
    info.description = QString::fromLatin1(description);
    return CELIO_STATE_OK;
}

bool QXCelUioPngHandler::write(CEL_Cel* cel, const QString& path, const QString& code) const {
    const QString upper = code.toUpper();
    if (upper == QLatin1String("PNGDP3") || upper == QLatin1String("PNGDP4"))
        return write16(cel, path, upper);
    if (upper == QLatin1String("PNG") || upper == QLatin1String("PNG4")) return write8(cel, path, upper);
    return false;
}

bool QXCelUioPngHandler::write8(CEL_Cel* cel, const QString& path, const QString& code) const {
    if (!isWriteCode(getWriteOptionCodes(), code) || !cel) return false;
    if (!cel->convertibleTo(CEL_Representation::PIXMAP_RGBA8)) return false;
    const UT_SharedPtr<CEL_Representation> rep = cel->convertTo(CEL_Representation::PIXMAP_RGBA16);
    const auto* pixmap = dynamic_cast<const CEL_PixmapRGBA16*>(rep.get());
    if (!pixmap) return false;

    const int width = pixmap->width(), height = pixmap->height();
    if (!fitsLibpng(width, height)) return false;
    QImage image;
    if (pixmap->data()) {
        image = QImage(width, height, QImage::Format_ARGB32);
        // QImage takes its default resolution from the primary screen while a GUI
        // application runs (96 dpi headless), else 100 dpi: the file keeps 100.
        image.setDotsPerMeterX(3937);
        image.setDotsPerMeterY(3937);
        if (image.isNull()) {
            CEL_Util::reportOutOfMemory(width, height, QStringLiteral("QImage"));
            return false;
        }
        const bool unpremultiply = code.endsWith(QLatin1Char('4'));
        bool alpha = false;
        for (int y = 0; y < height; ++y) {
            uint32_t* out = reinterpret_cast<uint32_t*>(image.scanLine(y));
            const CEL_PixelRGBA16* in = pixmap->data() + size_t(y) * width;
            alpha |= unpremultiply ? fillRow8<true>(out, in, width) : fillRow8<false>(out, in, width);
        }
        if (!alpha) image.reinterpretAsFormat(QImage::Format_RGB32);
    }

    if (path == QLatin1String("-")) {
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        QImageWriter writer(&buffer, "PNG");
        writer.setQuality(png8QualityFor(image));
        if (!writer.write(image) || !writeBytesToStdout(bytes)) {
            postWriteFailure("Could not complete writing to file: \"%1\"\n", path);
            return false;
        }
        return true;
    }

    const QString target = oswRemapPath::RemapPath2(path);
    const QString dir = QFileInfo(target).absolutePath();
    if (!QFileInfo::exists(dir)) QDir().mkpath(dir);
    QFile file(target);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        postWriteFailure("Could not open file \"%1\" for writing (png).\n", path);
        return false;
    }
    QImageWriter writer(&file, "PNG");
    writer.setQuality(png8QualityFor(image));
    if (!writer.write(image) || !file.flush()) {
        postWriteFailure("Could not complete writing to file: \"%1\"\n", path);
        return false;
    }
    return true;
}

bool QXCelUioPngHandler::write16(CEL_Cel* cel, const QString& path, const QString& code) const {
    if (!isWriteCode(getWriteOptionCodes(), code) || !cel) return false;
    const UT_SharedPtr<CEL_Representation> rep = cel->convertTo(CEL_Representation::PIXMAP_RGBA16);
    const auto* pixmap = dynamic_cast<const CEL_PixmapRGBA16*>(rep.get());
    if (!pixmap || !fitsLibpng(pixmap->width(), pixmap->height())) return false;

    FileCloser file;
    if (path == QLatin1String("-")) {
        file.file = stdout;
        file.owned = false;
    } else {
        file.file = PL_FileSpec(oswRemapPath::RemapPath2(path)).get_fs("wb");
    }
    if (!file.file) {
        postWriteFailure("Could not open file \"%1\" for writing (png).\n", path);
        return false;
    }

    WriteStructs structs;
    structs.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, jumpOnError, ignoreWarning);
    if (structs.png) structs.info = png_create_info_struct(structs.png);
    bool ok = structs.info != nullptr && pixmap->data() != nullptr;
    if (ok) {
        WriteJob job;
        job.file = file.file;
        job.png = structs.png;
        job.info = structs.info;
        job.pixels = pixmap->data();
        job.width = png_uint_32(pixmap->width());
        job.height = png_uint_32(pixmap->height());
        job.alpha = code == QLatin1String("PNGDP4");
        ok = runGuarded(&job, write16Body);
        if (job.row) png_free(structs.png, job.row);
    }
    if (file.owned) {
        ok = std::fclose(file.file) == 0 && ok;
        file.file = nullptr;
    } else {
        ok = std::fflush(file.file) == 0 && ok;
    }
    if (!ok) postWriteFailure("Could not complete writing to file: \"%1\"\n", path);
    return ok;
}
