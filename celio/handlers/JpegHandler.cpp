#include "celio/handlers/JpegHandler.h"

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QPixelFormat>
#include <cstdio>
#include <cstring>
#include <memory>

#include "base/FileSpec.h"
#include "base/Message.h"
#include "base/Persistent.h"
#include "base/Platform.h"
#include "cel/Cel.h"
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

QImage readImage(const QString& path) {
    if (path == QLatin1String("-") && !WHO_Identity::isInteractive()) {
        // Standard input is not seekable: take it whole first.
        QFile in;
        if (!in.open(stdin, QIODevice::ReadOnly)) return QImage();
        QByteArray bytes = in.readAll();
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::ReadOnly);
        return QImageReader(&buffer).read();
    }
    return QImageReader(oswRemapPath::RemapPath2(path)).read();
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
    QImage image = readImage(path);
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

CELIO_State QXCelUioJpegHandler::readInfo(const QString& path, const CEL_Context&, CELIO_Info& info) const {
    const QString target = oswRemapPath::RemapPath2(path);
    JpegLeadIn lead;
    {
        DB_File file;
        if (!file.OpenForInput(PL_FileSpec(target))) return CELIO_STATE_FAILED;
        DB_PersistentStore in(file);
        if (!in.Load(lead.bytes, sizeof lead.bytes)) return CELIO_STATE_FAILED;
    }
    if (!lead.startOfImage() || !(lead.jfif() || lead.exif())) return CELIO_STATE_FAILED;

    // Size and pixel format come from the decoder's header pass; only when it
    // cannot tell the format is the image decoded.
    QImageReader reader(target, "JPEG");
    const QSize size = reader.size();
    QImage::Format format = reader.imageFormat();
    if (format == QImage::Format_Invalid) format = reader.read().format();
    if (!size.isValid() || format == QImage::Format_Invalid) return CELIO_STATE_FAILED;

    info.width = uint32_t(size.width());
    info.height = uint32_t(size.height());
    info.channels = uint32_t(QImage::toPixelFormat(format).bitsPerPixel() / 8);
    info.bytesPerChannel = 1;
    info.optionCode = QStringLiteral("JPG");
    info.description = QStringLiteral("JFIF standard ") + lead.version();
    return CELIO_STATE_OK;
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
