// JPEG through Qt's plug-in: the plug-in is there, pixels survive a round
// trip within the codec's loss, the JFIF/Exif header query, refusals and
// damaged files.
#include <QBuffer>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <gtest/gtest.h>
#include <memory>
#include <random>

#include "base/Message.h"
#include "base/Platform.h"
#include "cel/Cel.h"
#include "cel/Context.h"
#include "celio/ByteTestSupport.h"
#include "celio/handlers/JpegHandler.h"
#include "pixel/PixmapCanvas.h"
#include "support/TestSupport.h"

namespace {

UT_SharedPtr<CEL_Cel> gradientCel(int w, int h) {
    auto* p = new CEL_PixmapRGBA8(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            *p->pixel(x, y) = CEL_PixelRGBA8{uint8_t(x * 255 / (w - 1)), uint8_t(y * 255 / (h - 1)), 90, 128};
    UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(CEL_Representation::PIXMAP_RGBA8));
    cel->addRepresentation(UT_SharedPtr<CEL_Representation>(p));
    return cel;
}

QByteArray qtJpeg(const QImage& image) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter(&buffer, "JPEG").write(image);
    return bytes;
}

// The same stream with its JFIF APP0 segment replaced by a minimal Exif APP1.
QByteArray asExif(const QByteArray& jfif) {
    const int app0Length = (uchar(jfif[4]) << 8) | uchar(jfif[5]);
    const QByteArray exifBody = QByteArray("Exif\0\0II*\0\x08\0\0\0\0\0", 16);
    QByteArray out = jfif.left(2);
    out += char(0xFF);
    out += char(0xE1);
    out += char(0);
    out += char(exifBody.size() + 2);
    out += exifBody;
    out += jfif.mid(4 + app0Length);
    return out;
}

// Keeps Qt's decoder warnings about damaged data off the test output.
class QuietQt {
public:
    QuietQt()
        : m_previous(qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {})) {}
    ~QuietQt() { qInstallMessageHandler(m_previous); }

private:
    QtMessageHandler m_previous;
};

int maxDifference(const CEL_PixmapRGBA8& a, const CEL_PixmapRGBA8& b) {
    int worst = 0;
    for (int i = 0; i < a.width() * a.height(); ++i) {
        const CEL_PixelRGBA8 p = a.data()[i], q = b.data()[i];
        worst = std::max({worst, std::abs(p.r - q.r), std::abs(p.g - q.g), std::abs(p.b - q.b)});
    }
    return worst;
}

} // namespace

TEST(JpegHandler, QtPluginAndOptions) {
    EXPECT_TRUE(QImageReader::supportedImageFormats().contains("jpeg"));
    EXPECT_TRUE(QImageWriter::supportedImageFormats().contains("jpeg"));
    QXCelUioJpegHandler handler;
    EXPECT_EQ(handler.getExtensions(),
              (QStringList{QStringLiteral("JPG"), QStringLiteral("JPEG"), QStringLiteral("JPE")}));
    EXPECT_EQ(handler.getWriteOptionCodes(), (QStringList{QStringLiteral("JPG"), QStringLiteral("JPEG")}));
    CELIO_WriteOptions options;
    handler.getWriteOptions(options);
    EXPECT_FALSE(options.alpha || options.singleChannel || options.deepPixels || options.compressed);
    options.alpha = true;
    EXPECT_EQ(handler.getWriteOptionsCode(options), QStringLiteral("JPG"));
}

TEST(JpegRoundTrip, PixelsWithinCodecLossAlphaOpaque) {
    celtest::TempDir dir;
    QXCelUioJpegHandler handler;
    const auto cel = gradientCel(64, 48);
    const auto* src =
        dynamic_cast<const CEL_PixmapRGBA8*>(cel->findRepresentation(CEL_Representation::PIXMAP_RGBA8).get());
    for (const char* code : {"JPG", "jpeg"}) {
        const QString path = dir.path(QStringLiteral("g_%1.jpg").arg(QLatin1String(code)));
        ASSERT_TRUE(handler.write(cel.get(), path, QLatin1String(code)));
        CELIO_RepresentationList list;
        ASSERT_TRUE(handler.read(path, CEL_Context(), list));
        ASSERT_EQ(list.size(), 1u);
        const auto* got = dynamic_cast<const CEL_PixmapRGBA8*>(list.front().get());
        ASSERT_TRUE(got);
        ASSERT_EQ(got->width(), 64);
        ASSERT_EQ(got->height(), 48);
        EXPECT_LE(maxDifference(*got, *src), 12);
        for (int i = 0; i < 64 * 48; ++i) ASSERT_EQ(got->data()[i].a, 255);
    }

    // Standard output, and a 16-bit cel converted on the way.
    auto* p16 = new CEL_PixmapRGBA16(8, 8);
    for (int i = 0; i < 64; ++i) p16->data()[i] = CEL_PixelRGBA16{32767, 0, 0, 32767};
    UT_SharedPtr<CEL_Cel> red(new CEL_Cel(CEL_Representation::PIXMAP_RGBA16));
    red->addRepresentation(UT_SharedPtr<CEL_Representation>(p16));
    const QString captured = dir.path(QStringLiteral("stdout.jpg"));
    bool ok;
    {
        celtest::StdStreamRedirect out(1, captured);
        ok = handler.write(red.get(), QStringLiteral("-"), QStringLiteral("JPG"));
    }
    EXPECT_TRUE(ok);
    const QImage back(captured);
    ASSERT_FALSE(back.isNull());
    EXPECT_GE(qRed(back.pixel(4, 4)), 240);
    EXPECT_LE(qGreen(back.pixel(4, 4)), 15);
}

TEST(JpegRead, AnyFormatTheReaderKnows) {
    celtest::TempDir dir;
    QImage image(3, 2, QImage::Format_ARGB32);
    image.fill(qRgba(10, 20, 30, 40));
    const QString path = dir.path(QStringLiteral("really_a_png.jpg"));
    ASSERT_TRUE(image.save(path, "PNG"));
    std::unique_ptr<CEL_Representation> rep(QXCelUioJpegHandler().read(path));
    const auto* p = dynamic_cast<const CEL_PixmapRGBA8*>(rep.get());
    ASSERT_TRUE(p);
    // Converted to RGB32 first: opaque, colour as stored.
    EXPECT_EQ(p->data()[5], (CEL_PixelRGBA8{10, 20, 30, 255}));
    EXPECT_FALSE(QXCelUioJpegHandler().read(dir.path(QStringLiteral("missing.jpg"))));
}

TEST(JpegInfo, JfifAndExifHeaders) {
    celtest::TempDir dir;
    QXCelUioJpegHandler handler;
    QImage colour(40, 30, QImage::Format_RGB32);
    colour.fill(qRgb(200, 100, 50));
    QImage grey(17, 5, QImage::Format_Grayscale8);
    grey.fill(128);
    const QByteArray jfif = qtJpeg(colour);
    ASSERT_EQ(jfif.mid(6, 4), QByteArray("JFIF"));

    struct Row {
        const char* name;
        QByteArray bytes;
        CELIO_State state;
        uint32_t width, height, channels;
    };
    QByteArray noHeader = jfif.left(2) + jfif.mid(4 + ((uchar(jfif[4]) << 8) | uchar(jfif[5])));
    QByteArray version = jfif;
    version[11] = 1, version[12] = 2;
    const Row rows[] = {
        {"colour", jfif, CELIO_STATE_OK, 40, 30, 4},
        {"grey", qtJpeg(grey), CELIO_STATE_OK, 17, 5, 1},
        {"exif", asExif(jfif), CELIO_STATE_OK, 40, 30, 4},
        {"version", version, CELIO_STATE_OK, 40, 30, 4},
        {"no header", noHeader, CELIO_STATE_FAILED, 0, 0, 0},
        {"short", jfif.left(19), CELIO_STATE_FAILED, 0, 0, 0},
        {"not jpeg", QByteArray(64, 'x'), CELIO_STATE_FAILED, 0, 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const QString path = dir.path(QString::fromLatin1(row.name) + QStringLiteral(".jpg"));
        ASSERT_TRUE(celtest::writeFile(path, row.bytes));
        CELIO_Info info;
        ASSERT_EQ(handler.readInfo(path, CEL_Context(), info), row.state);
        if (row.state != CELIO_STATE_OK) continue;
        EXPECT_EQ(info.width, row.width);
        EXPECT_EQ(info.height, row.height);
        EXPECT_EQ(info.channels, row.channels);
        EXPECT_EQ(info.bytesPerChannel, 1u);
        EXPECT_EQ(info.optionCode, QStringLiteral("JPG"));
    }
    const auto description = [&](const char* name) {
        CELIO_Info info;
        handler.readInfo(dir.path(QString::fromLatin1(name) + QStringLiteral(".jpg")), CEL_Context(), info);
        return info.description;
    };
    EXPECT_EQ(description("colour"), QStringLiteral("JFIF standard 1.01"));
    EXPECT_EQ(description("version"), QStringLiteral("JFIF standard 1.02"));
    // In an Exif file the same two bytes are reported ("II" after the Exif marker: 0 and 73).
    EXPECT_EQ(description("exif"), QStringLiteral("JFIF standard 0.73"));
}

TEST(JpegWrite, RefusalsAndFailures) {
    celtest::TempDir dir;
    QXCelUioJpegHandler handler;
    const auto cel = gradientCel(4, 4);
    const QString path = dir.path(QStringLiteral("x.jpg"));
    EXPECT_FALSE(handler.write(cel.get(), path, QStringLiteral("JPG4")));
    EXPECT_FALSE(handler.write(nullptr, path, QStringLiteral("JPG")));
    EXPECT_FALSE(QFileInfo::exists(path));

    QXMessage::Capture capture;
    const QString missing = dir.path(QStringLiteral("no/such/dir.jpg"));
    EXPECT_FALSE(handler.write(cel.get(), missing, QStringLiteral("JPG")));
    ASSERT_EQ(capture.records().size(), 1u);
    EXPECT_EQ(capture.records()[0].source,
              QStringLiteral("Could not open file \"%1\" for writing.\n").arg(missing));
    EXPECT_EQ(capture.records()[0].code, 20);
}

TEST(JpegRead, DamagedFilesDoNotCrash) {
    celtest::TempDir dir;
    QImage image(48, 40, QImage::Format_RGB32);
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 48; ++x) image.setPixel(x, y, qRgb(x * 5, y * 6, (x * y) & 255));
    const QByteArray good = qtJpeg(image);
    const QString path = dir.path(QStringLiteral("bad.jpg"));
    QXCelUioJpegHandler handler;
    QuietQt quiet;
    for (qsizetype n = 0; n < good.size(); n += 23) {
        celtest::writeFile(path, good.left(n));
        std::unique_ptr<CEL_Representation> rep(handler.read(path));
        if (rep) {
            EXPECT_EQ(dynamic_cast<CEL_PixmapRGBA8*>(rep.get())->width(), 48);
        }
        CELIO_Info info;
        handler.readInfo(path, CEL_Context(), info);
    }
    std::mt19937 rng(8);
    for (int round = 0; round < 200; ++round) {
        QByteArray bad = good;
        for (int k = 0; k < 3; ++k) bad[qsizetype(2 + rng() % (bad.size() - 2))] = char(rng());
        celtest::writeFile(path, bad);
        std::unique_ptr<CEL_Representation> rep(handler.read(path));
        CELIO_Info info;
        handler.readInfo(path, CEL_Context(), info);
    }
}
