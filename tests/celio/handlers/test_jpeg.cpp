// JPEG through Qt's plug-in: a round trip within the codec's loss, the
// JFIF/Exif header query and the refusals.
#include <QBuffer>
#include <QFileInfo>
#include <QImage>
#include <QImageWriter>
#include <gtest/gtest.h>
#include <memory>

#include "HandlerTestUtil.h"
#include "cel/Context.h"
#include "celio/handlers/JpegHandler.h"
#include "support/TestSupport.h"

namespace {

QByteArray qtJpeg(const QImage& image) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter(&buffer, "JPEG").write(image);
    return bytes;
}

int app0End(const QByteArray& jfif) {
    return 4 + ((uchar(jfif[4]) << 8) | uchar(jfif[5]));
}

} // namespace

TEST(JpegRoundTrip, PixelsWithinCodecLossAlphaOpaque) {
    celtest::TempDir dir;
    auto* p = new CEL_PixmapRGBA8(64, 48);
    for (int i = 0; i < 64 * 48; ++i)
        p->data()[i] = CEL_PixelRGBA8{uint8_t(i % 64 * 4), uint8_t(i / 64 * 5), 90, 128};
    const auto cel = celtest::celOf(p);
    const QString path = dir.path("g.jpg");
    ASSERT_TRUE(QXCelUioJpegHandler().write(cel.get(), path, QStringLiteral("jpeg")));
    CELIO_RepresentationList list;
    ASSERT_TRUE(QXCelUioJpegHandler().read(path, CEL_Context(), list));
    const auto* got = dynamic_cast<const CEL_PixmapRGBA8*>(list.front().get());
    ASSERT_TRUE(got);
    ASSERT_EQ(got->width() * got->height(), 64 * 48);
    for (int i = 0; i < 64 * 48; ++i) {
        const CEL_PixelRGBA8 a = got->data()[i], b = p->data()[i];
        ASSERT_LE(std::max({std::abs(a.r - b.r), std::abs(a.g - b.g), std::abs(a.b - b.b)}), 12) << i;
        ASSERT_EQ(a.a, 255) << i;
    }

    EXPECT_FALSE(QXCelUioJpegHandler().write(cel.get(), dir.path("x.jpg"), QStringLiteral("JPG4")));
    EXPECT_FALSE(QFileInfo::exists(dir.path("x.jpg")));
}

TEST(JpegInfo, JfifAndExifHeaders) {
    celtest::TempDir dir;
    QImage colour(40, 30, QImage::Format_RGB32), grey(17, 5, QImage::Format_Grayscale8);
    colour.fill(qRgb(200, 100, 50));
    grey.fill(128);
    const QByteArray jfif = qtJpeg(colour);
    QByteArray version = jfif;
    version[11] = 1, version[12] = 2;
    // The JFIF segment replaced by a minimal Exif one ("II" sits where JFIF keeps its version).
    const QByteArray exif = jfif.left(2) +
                            QByteArray("\xFF\xE1\x00\x12"
                                       "Exif\0\0II*\0\x08\0\0\0\0\0",
                                       20) +
                            jfif.mid(app0End(jfif));
    const struct {
        QByteArray bytes;
        CELIO_State state;
        uint32_t width, channels;
        const char* description;
    } rows[] = {
        {jfif, CELIO_STATE_OK, 40, 4, "JFIF standard 1.01"},
        {qtJpeg(grey), CELIO_STATE_OK, 17, 1, "JFIF standard 1.01"},
        {version, CELIO_STATE_OK, 40, 4, "JFIF standard 1.02"},
        {exif, CELIO_STATE_OK, 40, 4, "JFIF standard 0.73"},
        {jfif.left(2) + jfif.mid(app0End(jfif)), CELIO_STATE_FAILED, 0, 0, ""}, // neither header
        {jfif.left(19), CELIO_STATE_FAILED, 0, 0, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.description);
        const QString path = dir.path("i.jpg");
        celtest::writeFile(path, row.bytes);
        CELIO_Info info;
        ASSERT_EQ(QXCelUioJpegHandler().readInfo(path, CEL_Context(), info), row.state);
        if (row.state != CELIO_STATE_OK) continue;
        EXPECT_EQ(std::vector<uint32_t>({info.width, info.channels, info.bytesPerChannel}),
                  std::vector<uint32_t>({row.width, row.channels, 1}));
        EXPECT_EQ(info.optionCode, QStringLiteral("JPG"));
        EXPECT_EQ(info.description, QString::fromLatin1(row.description));
    }
}
