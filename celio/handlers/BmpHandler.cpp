#include "celio/handlers/BmpHandler.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "base/FileSpec.h"
#include "base/Message.h"
#include "base/Persistent.h"
#include "base/Platform.h"
#include "cel/Cel.h"
#include "celio/MemoryFile.h"
#include "celio/ReadLimits.h"
#include "celio/handlers/WriteLimitsDetail.h"
#include "pixel/PixmapCanvas.h"

namespace {

constexpr char kContext[] = "QXCelUioBmpHandler";
constexpr int kWriteFailedCode = 20;

void postWriteFailure(const char* text, const QString& path) {
    MSG_Scope(kContext, text, 2).arg(path).post(kWriteFailedCode);
}

// The image a BMP header claims and the fewest bytes of pixel data that can
// fill it: uncompressed rows as stored (the last row's padding may be
// missing); run-length packets give at most 255 pixels for two bytes (escapes
// that skip pixels or end the picture early are not counted: a file that
// relies on them for most of a large picture is refused). Files without a
// BMP header (Qt reads other formats too) claim nothing here.
struct BmpClaim {
    bool bmp = false;
    int64_t width = 0, height = 0;
    uint64_t needed = 0;    // file bytes the pixels need at least
    uint64_t dataBytes = 0; // bytes from the pixel data's offset to the end
};

BmpClaim bmpClaim(DB_PersistentStore& in) {
    BmpClaim c;
    uint8_t file[14];
    if (!in.Load(file, sizeof file) || file[0] != 'B' || file[1] != 'M') return c;
    const uint64_t offset =
        uint64_t(file[10]) | uint64_t(file[11]) << 8 | uint64_t(file[12]) << 16 | uint64_t(file[13]) << 24;
    const uint32_t infoSize = in.ReadU32LE();
    uint64_t bits = 0, compression = 0;
    if (infoSize == 12) { // the old core header: 16-bit sizes
        c.width = in.ReadU16LE();
        c.height = in.ReadU16LE();
        in.ReadU16LE(); // planes
        bits = in.ReadU16LE();
    } else {
        c.width = in.ReadS32LE();
        c.height = in.ReadS32LE();
        in.ReadU16LE(); // planes
        bits = in.ReadU16LE();
        compression = in.ReadU32LE();
    }
    if (in.Failed()) return c;
    c.bmp = true;
    c.height = c.height < 0 ? -c.height : c.height; // negative: rows stored top-down
    c.dataBytes = in.Size() > offset ? in.Size() - offset : 0;
    const uint64_t w = uint64_t(std::max<int64_t>(c.width, 0)), h = uint64_t(c.height);
    if (w == 0 || h == 0) return c;
    if (compression == 1 || compression == 2) {
        c.needed = CELIO_ImageClaim::minimumInput(w * h, {255, 2});
    } else {
        const uint64_t rowBits = w * std::max<uint64_t>(bits, 1); // at most 2^31 x 2^16: no overflow
        const uint64_t stride = (rowBits + 31) / 32 * 4;
        const uint64_t rows = stride > (CELIO_ImageClaim::Unknown - 1) / h
                                  ? CELIO_ImageClaim::Unknown
                                  : stride * (h - 1) + (rowBits + 7) / 8;
        c.needed = compression == 0 || compression == 3 || compression == 6
                       ? rows
                       : CELIO_ImageClaim::minimumInput(rows, {1032, 1}); // embedded JPEG or PNG data
    }
    return c;
}

// Qt refuses to allocate more than its allocation limit (256 MiB unless told
// otherwise); once the claim has passed our checks, it may allocate what the
// claim needs.
int allocationLimitMiB(const CELIO_ImageClaim& claim) {
    return int(std::clamp<uint64_t>((claim.bytes() >> 20) + 1, 256, INT_MAX));
}

// Qt's 32-bit words (bytes b, g, r, a) to r, g, b, a and back: exchange bytes 0 and 2.
inline uint32_t swapRB(uint32_t v) {
    return (v & 0xff00ff00u) | ((v >> 16) & 0xffu) | ((v & 0xffu) << 16);
}

// The factors 255.0 / a of the un-premultiplication; a = 0 keeps the colour.
struct Unpremultiply {
    double factor[256];
    Unpremultiply() {
        factor[0] = 1.0;
        for (int a = 1; a < 256; ++a) factor[a] = 255.0 / a;
    }
};

inline uint32_t unpremultiplied(uint32_t c, double k) {
    return std::min(uint32_t(double(c) * k), 255u);
}

// One row into Qt's words; returns whether a pixel needs alpha.
template <bool Straight> bool fillRow(const CEL_PixelRGBA8* in, uint32_t* out, size_t n) {
    if constexpr (!Straight) {
        for (size_t i = 0; i < n; ++i) {
            uint32_t v;
            std::memcpy(&v, in + i, 4);
            out[i] = swapRB(v);
        }
        return false;
    } else {
        static const Unpremultiply table;
        bool alpha = false;
        for (size_t i = 0; i < n; ++i) {
            const CEL_PixelRGBA8 p = in[i];
            const double k = table.factor[p.a];
            out[i] = unpremultiplied(p.b, k) | (unpremultiplied(p.g, k) << 8) |
                     (unpremultiplied(p.r, k) << 16) | (uint32_t(p.a) << 24);
            alpha |= p.a != 255;
        }
        return alpha;
    }
}

bool writeToStdout(const QImage& image) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "BMP");
    if (!writer.write(image)) return false;
    return std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout) == size_t(bytes.size()) &&
           std::fflush(stdout) == 0;
}

} // namespace

QStringList QXCelUioBmpHandler::getExtensions() const {
    return {QStringLiteral("BMP")};
}

QStringList QXCelUioBmpHandler::getWriteOptionCodes() const {
    for (const QByteArray& f : QImageWriter::supportedImageFormats())
        if (f.toUpper() == "BMP") return {QStringLiteral("BMP"), QStringLiteral("BMP4")};
    return {};
}

QString QXCelUioBmpHandler::getWriteOptionsCode(const CELIO_WriteOptions& options) const {
    return options.alpha ? QStringLiteral("BMP4") : QStringLiteral("BMP");
}

UT_DynKey QXCelUioBmpHandler::formatClass() const {
    return CELIO_PixmapFormat;
}

bool QXCelUioBmpHandler::read(const QString& path, const CEL_Context&, CELIO_RepresentationList& list) const {
    CEL_Representation* rep = read(oswRemapPath::RemapPath2(path));
    if (!rep) return false;
    list.push_back(UT_SharedPtr<CEL_Representation>(rep));
    return true;
}

CEL_Representation* QXCelUioBmpHandler::read(const QString& path) const {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return nullptr;
    DB_File header;
    if (!header.OpenForInput(PL_FileSpec(path))) return nullptr;
    DB_PersistentStore in(header);
    return decode(file, in);
}

CELIO_State QXCelUioBmpHandler::readMemory(const CELIO_MemoryFile& file, const CEL_Context&,
                                           CELIO_RepresentationList& list) const {
    QByteArray bytes =
        QByteArray::fromRawData(reinterpret_cast<const char*>(file.data()), qsizetype(file.size()));
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    DB_PersistentStore in(file.data(), file.size());
    CEL_Representation* rep = decode(buffer, in);
    if (!rep) return CELIO_STATE_FAILED;
    list.push_back(UT_SharedPtr<CEL_Representation>(rep));
    return CELIO_STATE_OK;
}

CEL_Representation* QXCelUioBmpHandler::decode(QIODevice& device, DB_PersistentStore& header) {
    // A BMP header's claim is checked before Qt reads anything.
    const BmpClaim bmpHeader = bmpClaim(header);
    if (bmpHeader.bmp && !CELIO_ImageClaim(bmpHeader.width, bmpHeader.height, 4, 1)
                              .checkInput("bmp", bmpHeader.dataBytes, bmpHeader.needed))
        return nullptr;
    QImageReader reader(&device);
    QSize size = reader.size();
    QImage image;
    if (!size.isValid()) { // a plugin that cannot tell before decoding
        image = reader.read();
        size = image.size();
    }
    if (size.isEmpty()) return nullptr;
    const CELIO_ImageClaim claim(size.width(), size.height(), 4, 1);
    if (!claim.check("bmp")) return nullptr;
    reader.setAllocationLimit(allocationLimitMiB(claim));
    std::unique_ptr<CEL_PixmapRGBA8> pixmap(
        new CEL_PixmapRGBA8(Math::Size2di(size.width(), size.height()), CEL_PixmapRGBA8::DoNotMemset{}));
    if (!pixmap->data()) return nullptr; // the pixmap has posted the out-of-memory message
    auto* buffer = reinterpret_cast<uint32_t*>(pixmap->data());
    const int w = size.width(), h = size.height();

    if (image.isNull()) {
        // Qt decodes true-colour files straight into a 32-bit RGB image of the
        // right size, here the pixmap's own buffer; other files come back in
        // an image of Qt's own.
        image = QImage(reinterpret_cast<uchar*>(buffer), w, h, w * 4, QImage::Format_RGB32);
        if (!reader.read(&image) || image.isNull()) return nullptr;
        if (image.constBits() == reinterpret_cast<const uchar*>(buffer)) {
            for (size_t i = 0, n = size_t(w) * h; i < n; ++i) buffer[i] = swapRB(buffer[i]);
            return pixmap.release();
        }
    }
    image.convertTo(QImage::Format_RGB32);
    if (image.size() != size) return nullptr;
    for (int y = 0; y < h; ++y) {
        const auto* in = reinterpret_cast<const uint32_t*>(image.constScanLine(y));
        uint32_t* out = buffer + size_t(y) * w;
        for (int x = 0; x < w; ++x) out[x] = swapRB(in[x]);
    }
    return pixmap.release();
}

CELIO_State QXCelUioBmpHandler::readInfo(const QString& path, const CEL_Context&, CELIO_Info& info) const {
    DB_File file;
    if (!file.OpenForInput(PL_FileSpec(oswRemapPath::RemapPath2(path)))) return CELIO_STATE_FAILED;
    DB_PersistentStore in(file);
    return readInfoFrom(in, info);
}

CELIO_State QXCelUioBmpHandler::readInfoMemory(const CELIO_MemoryFile& file, const CEL_Context&,
                                               CELIO_Info& info) const {
    DB_PersistentStore in(file.data(), file.size());
    return readInfoFrom(in, info);
}

CELIO_State QXCelUioBmpHandler::readInfoFrom(DB_PersistentStore& in, CELIO_Info& info) {
    char fileHeader[14];
    if (!in.Load(fileHeader, sizeof fileHeader) || fileHeader[0] != 'B' || fileHeader[1] != 'M' || in.AtEnd())
        return CELIO_STATE_FAILED;
    in.ReadU16LE(); // the information header's size, as two 16-bit halves
    in.ReadU16LE();
    const int32_t width = in.ReadS32LE();
    const int32_t height = in.ReadS32LE();
    in.ReadU16LE(); // planes
    const uint16_t bitCount = in.ReadU16LE();
    const uint32_t compression = in.ReadU32LE();
    if (in.Failed()) return CELIO_STATE_FAILED;

    info.width = uint32_t(width);
    info.height = uint32_t(height);
    info.channels = bitCount / 8u;
    info.bytesPerChannel = 1;
    info.optionCode = QStringLiteral("BMP");
    info.description = compression == 1 || compression == 2 ? QStringLiteral("RLE encoded") : QString();
    return CELIO_STATE_OK;
}

bool QXCelUioBmpHandler::write(CEL_Cel* cel, const QString& path, const QString& code) const {
    for (const QString& listed : getWriteOptionCodes()) {
        if (listed.compare(code, Qt::CaseInsensitive) != 0) continue;
        if (!cel || (cel->realFormat() != CEL_Representation::PIXMAP_RGBA8 &&
                     !cel->convertibleTo(CEL_Representation::PIXMAP_RGBA8)))
            continue;
        const UT_SharedPtr<CEL_Representation> rep = cel->convertTo(CEL_Representation::PIXMAP_RGBA8);
        const auto* pixmap = dynamic_cast<const CEL_PixmapRGBA8*>(rep.get());
        if (!pixmap) continue;

        const int w = pixmap->width(), h = pixmap->height();
        // Qt writes 24-bit rows padded to 4 bytes after a 54-byte header; the
        // file size and the data offset are 32-bit fields.
        if (!celio_detail::fitsFileSize(kContext, "BMP", w, h,
                                        54 + (uint64_t(w) * 3 + 3) / 4 * 4 * uint64_t(h)))
            return false;
        // Qt's image works on a buffer of ours, filled in one go.
        std::unique_ptr<uint32_t[]> words;
        QImage image;
        if (pixmap->data()) {
            const size_t n = size_t(w) * size_t(h);
            words.reset(new (std::nothrow) uint32_t[n]);
            if (!words) {
                postWriteFailure("Could not complete writing to file: \"%1\"\n", path);
                return false;
            }
            const bool alpha = listed.endsWith(QLatin1Char('4'))
                                   ? fillRow<true>(pixmap->data(), words.get(), n)
                                   : fillRow<false>(pixmap->data(), words.get(), n);
            image = QImage(reinterpret_cast<const uchar*>(words.get()), w, h, w * 4,
                           alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
            // QImage takes its default resolution from the primary screen while a GUI
            // application runs (96 dpi headless), else 100 dpi: the file keeps 100.
            image.setDotsPerMeterX(3937);
            image.setDotsPerMeterY(3937);
        }

        if (path == QLatin1String("-")) {
            if (!writeToStdout(image)) {
                postWriteFailure("Could not complete writing to file: \"%1\"\n", path);
                return false;
            }
            continue;
        }
        // Truncated as well: a longer file that stood there leaves no tail.
        QFile file(path);
        if (!file.open(QIODevice::ReadWrite | QIODevice::Truncate)) {
            postWriteFailure("Could not open file \"%1\" for writing.\n", path);
            return false;
        }
        QImageWriter writer(&file, "BMP");
        if (!writer.write(image) || !file.flush()) {
            postWriteFailure("Could not complete writing to file: \"%1\"\n", path);
            return false;
        }
    }
    return true;
}
