#include "celio/handlers/JpegHandler.h"

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QPixelFormat>
#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>

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

const char* const kContext = "QXCelUioJpegHandler";
constexpr int kWriteFailedCode = 20;

// The first bytes of a file that readInfo accepts.
struct JpegLeadIn {
    uint8_t bytes[20];
    bool startOfImage() const { return bytes[0] == 0xFF && bytes[1] == 0xD8; }
    bool jfif() const { return std::memcmp(bytes + 6, "JFIF", 4) == 0; }
    bool exif() const {
        return bytes[2] == 0xFF && bytes[3] == 0xE1 && std::memcmp(bytes + 6, "Exif", 4) == 0;
    }
    // JFIF version: major at 11, minor at 12 (what sits there in an Exif file is reported the same way).
    QString version() const { return QString::asprintf("%d.%02d", bytes[11], bytes[12]); }
};

void postWriteFailure(const char* text, const QString& path) {
    MSG_Scope msg(kContext, text, 2);
    msg.arg(path);
    msg.post(kWriteFailedCode);
}

// At best a JPEG spends one bit on an 8 x 8 block of one component (a
// progressive file's DC scan; end-of-band runs cover the rest): 512 pixels,
// 2048 bytes of pixmap, per byte of the file. Arithmetic-coded files can do
// better; headers claiming more than this are refused all the same.
constexpr CELIO_Expansion kJpegExpansion{2048, 1};

// Decodes what the reader holds: any format Qt recognises. The header's claim
// is checked first: against the pixmap cap, and for a JPEG against the file's
// `fileBytes` too; Qt may then allocate as much as the claim needs.
QImage decodeImage(QImageReader& reader, uint64_t fileBytes) {
    const QSize size = reader.size();
    if (size.isValid()) {
        const CELIO_ImageClaim claim(size.width(), size.height(), 4, 1);
        const bool jpeg = reader.format() == "jpeg";
        if (!claim.check("jpeg", jpeg ? fileBytes : CELIO_ImageClaim::Unknown, kJpegExpansion))
            return QImage();
        const uint64_t mib = (claim.bytes() >> 20) + 1;
        reader.setAllocationLimit(int(std::clamp<uint64_t>(mib, 256, INT_MAX)));
    }
    return reader.read();
}

QImage readImage(const QString& path) {
    if (path == QLatin1String("-") && !WHO_Identity::isInteractive()) {
        // Standard input is not seekable: take it whole first.
        QFile in;
        if (!in.open(stdin, QIODevice::ReadOnly)) return QImage();
        QByteArray bytes = in.readAll();
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::ReadOnly);
        QImageReader reader(&buffer);
        return decodeImage(reader, uint64_t(bytes.size()));
    }
    QFile file(oswRemapPath::RemapPath2(path));
    if (!file.open(QIODevice::ReadOnly)) return QImage();
    QImageReader reader(&file);
    return decodeImage(reader, uint64_t(file.size()));
}

// The pixels of a decoded image as an RGBA8 pixmap (owned by the caller), or null.
CEL_Representation* toPixmap(QImage image) {
    if (image.isNull()) return nullptr;
    image = image.convertToFormat(QImage::Format_RGB32);
    if (image.isNull()) return nullptr;

    const int width = image.width(), height = image.height();
    auto pixmap =
        std::make_unique<CEL_PixmapRGBA8>(Math::Size2di(width, height), CEL_PixmapRGBA8::DoNotMemset());
    if (!pixmap->data()) return nullptr;
    for (int y = 0; y < height; ++y) {
        const QRgb* in = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        CEL_PixelRGBA8* out = pixmap->data() + size_t(y) * width;
        for (int x = 0; x < width; ++x) {
            const QRgb q = in[x];
            out[x] =
                CEL_PixelRGBA8{uint8_t(qRed(q)), uint8_t(qGreen(q)), uint8_t(qBlue(q)), uint8_t(qAlpha(q))};
        }
    }
    return pixmap.release();
}

// The header query after the lead-in has been checked: the size and pixel
// format from the decoder's header pass. A reader that cannot read the header
// answers nothing trustworthy about the format, so the size is asked first.
CELIO_State readInfoFrom(const JpegLeadIn& lead, QIODevice* device, CELIO_Info& info) {
    if (!lead.startOfImage() || !(lead.jfif() || lead.exif())) return CELIO_STATE_FAILED;
    QImageReader reader(device, "JPEG");
    if (!reader.canRead()) return CELIO_STATE_FAILED;
    const QSize size = reader.size();
    if (!size.isValid()) return CELIO_STATE_FAILED;
    QImage::Format format = reader.imageFormat();
    // Only when the header pass cannot tell the format is the image decoded.
    if (format == QImage::Format_Invalid) {
        const CELIO_ImageClaim claim(size.width(), size.height(), 4, 1);
        if (!claim.check("jpeg", uint64_t(device->size()), kJpegExpansion)) return CELIO_STATE_FAILED;
        format = reader.read().format();
    }
    if (format == QImage::Format_Invalid) return CELIO_STATE_FAILED;

    info.width = uint32_t(size.width());
    info.height = uint32_t(size.height());
    info.channels = uint32_t(QImage::toPixelFormat(format).bitsPerPixel() / 8);
    info.bytesPerChannel = 1;
    info.optionCode = QStringLiteral("JPG");
    info.description = QStringLiteral("JFIF standard ") + lead.version();
    return CELIO_STATE_OK;
}

} // namespace

QStringList QXCelUioJpegHandler::getExtensions() const {
    return {QStringLiteral("JPG"), QStringLiteral("JPEG"), QStringLiteral("JPE")};
}

QStringList QXCelUioJpegHandler::getWriteOptionCodes() const {
    return {QStringLiteral("JPG"), QStringLiteral("JPEG")};
}

QString QXCelUioJpegHandler::getWriteOptionsCode(const CELIO_WriteOptions&) const {
    return QStringLiteral("JPG");
}

UT_DynKey QXCelUioJpegHandler::formatClass() const {
    return CELIO_PixmapFormat;
}

bool QXCelUioJpegHandler::read(const QString& path, const CEL_Context&,
                               CELIO_RepresentationList& list) const {
    CEL_Representation* rep = read(path);
    if (!rep) return false;
    list.push_back(UT_SharedPtr<CEL_Representation>(rep));
    return true;
}

CEL_Representation* QXCelUioJpegHandler::read(const QString& path) const {
    return toPixmap(readImage(path));
}

CELIO_State QXCelUioJpegHandler::readMemory(const CELIO_MemoryFile& file, const CEL_Context&,
                                            CELIO_RepresentationList& list) const {
    QByteArray bytes =
        QByteArray::fromRawData(reinterpret_cast<const char*>(file.data()), qsizetype(file.size()));
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    CEL_Representation* rep = toPixmap(decodeImage(reader, file.size()));
    if (!rep) return CELIO_STATE_FAILED;
    list.push_back(UT_SharedPtr<CEL_Representation>(rep));
    return CELIO_STATE_OK;
}

CELIO_State QXCelUioJpegHandler::readInfo(const QString& path, const CEL_Context&, CELIO_Info& info) const {
    const QString target = oswRemapPath::RemapPath2(path);
    JpegLeadIn lead;
    {
        DB_File file;
        if (!file.OpenForInput(PL_FileSpec(target))) return CELIO_STATE_FAILED;
        DB_PersistentStore in(file);
        if (!in.Load(lead.bytes, sizeof lead.bytes)) return CELIO_STATE_FAILED;
    }
    QFile file(target);
    if (!file.open(QIODevice::ReadOnly)) return CELIO_STATE_FAILED;
    return readInfoFrom(lead, &file, info);
}

CELIO_State QXCelUioJpegHandler::readInfoMemory(const CELIO_MemoryFile& file, const CEL_Context&,
                                                CELIO_Info& info) const {
    JpegLeadIn lead;
    DB_PersistentStore in(file.data(), file.size());
    if (!in.Load(lead.bytes, sizeof lead.bytes)) return CELIO_STATE_FAILED;
    QByteArray bytes =
        QByteArray::fromRawData(reinterpret_cast<const char*>(file.data()), qsizetype(file.size()));
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    return readInfoFrom(lead, &buffer, info);
}

bool QXCelUioJpegHandler::write(CEL_Cel* cel, const QString& path, const QString& code) const {
    if (!cel || !getWriteOptionCodes().contains(code, Qt::CaseInsensitive)) return false;
    const UT_SharedPtr<CEL_Representation> rep = cel->convertTo(CEL_Representation::PIXMAP_RGBA8);
    const auto* pixmap = dynamic_cast<const CEL_PixmapRGBA8*>(rep.get());
    if (!pixmap) return false;

    const int width = pixmap->width(), height = pixmap->height();
    // The largest image the JPEG library encodes.
    if (!celio_detail::fitsHeader(kContext, "JPEG", width, height, 65500, 65500)) return false;
    QImage image;
    if (pixmap->data()) {
        image = QImage(width, height, QImage::Format_RGB32);
        // QImage takes its default resolution from the primary screen while a GUI
        // application runs (96 dpi headless), else 100 dpi: the file keeps 100.
        image.setDotsPerMeterX(3937);
        image.setDotsPerMeterY(3937);
        if (image.isNull()) {
            CEL_Util::reportOutOfMemory(width, height, QStringLiteral("QImage"));
            return false;
        }
        for (int y = 0; y < height; ++y) {
            QRgb* out = reinterpret_cast<QRgb*>(image.scanLine(y));
            const CEL_PixelRGBA8* in = pixmap->data() + size_t(y) * width;
            for (int x = 0; x < width; ++x) out[x] = qRgb(in[x].r, in[x].g, in[x].b);
        }
    }

    if (path == QLatin1String("-")) {
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        const bool ok =
            QImageWriter(&buffer, "JPEG").write(image) &&
            std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout) == size_t(bytes.size()) &&
            std::fflush(stdout) == 0;
        if (!ok) postWriteFailure("Could not complete writing to file: \"%1\"\n", path);
        return ok;
    }

    QFile file(oswRemapPath::RemapPath2(path));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        postWriteFailure("Could not open file \"%1\" for writing.\n", path);
        return false;
    }
    QImageWriter writer(&file, "JPEG");
    if (!writer.write(image) || !file.flush()) {
        postWriteFailure("Could not complete writing to file: \"%1\"\n", path);
        return false;
    }
    return true;
}
