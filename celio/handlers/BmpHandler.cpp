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
#include "celio/handlers/WriteLimitsDetail.h"
#include "pixel/PixmapCanvas.h"

namespace {

constexpr char kContext[] = "QXCelUioBmpHandler";
constexpr int kWriteFailedCode = 20;

void postWriteFailure(const char* text, const QString& path) {
    MSG_Scope(kContext, text, 2).arg(path).post(kWriteFailedCode);
}

// Qt refuses to decode images above an allocation limit (256 MiB unless told
// otherwise), which guards against headers that claim more than a file can
// hold. The limit is raised for files large enough to hold such an image: a
// byte of run-length coded data gives at most 127.5 pixels of 4 bytes.
int allocationLimitMiB(const QString& path) {
    constexpr long long kDefaultMiB = 256;
    const long long fileMiB = QFileInfo(path).size() >> 20;
    const long long capMiB =
        (long long)(std::min<unsigned long long>(CEL_Pixmap::maxPixmapBytes() >> 20, INT_MAX));
    return int(std::clamp(fileMiB * 512, kDefaultMiB, std::max(capMiB, kDefaultMiB)));
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
    QImageReader reader(path);
    const int limitMiB = allocationLimitMiB(path);
    reader.setAllocationLimit(limitMiB);
    QSize size = reader.size();
    QImage image;
    if (!size.isValid()) { // a plugin that cannot tell before decoding
        image = reader.read();
        size = image.size();
    }
    const unsigned long long bytes = (unsigned long long)size.width() * size.height() * 4;
    if (size.isEmpty() || bytes > CEL_Pixmap::maxPixmapBytes() ||
        (bytes >> 20) >= (unsigned long long)limitMiB)
        return nullptr;
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
