// celtool's one-pass 8-bit route between alpha conventions gives the bytes of
// the long route through 16 bits, for every colour byte at every alpha.
#include <QImage>
#include <QImageWriter>
#include <gtest/gtest.h>

#include "CeltoolTestUtil.h"
#include "celio/handlers/TiffHandler.h"

using namespace celtest;

namespace {

// Every colour byte c (across) at every alpha byte a (down), in each channel
// differently so that the channels are not taken one for another.
CEL_PixelRGBA8 every(int c, int a) {
    return {uint8_t(c), uint8_t(c * 7), uint8_t(255 - c), uint8_t(a)};
}

UT_SharedPtr<CEL_Cel> celHolding(CEL_PixmapRGBA8* p) {
    UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(p->getFormat()));
    cel->addRepresentation(UT_SharedPtr<CEL_Representation>(p));
    return cel;
}

// The long route: the 8-bit picture as 16-bit values, divided by alpha there,
// and rounded to 8 bits.
UT_SharedPtr<CEL_Cel> longRoute() {
    CEL_PixmapRGBA8 in(256, 256);
    for (int i = 0; i < 256 * 256; ++i) in.data()[i] = every(i % 256, i / 256);
    CEL_PixmapRGBA16 deep(in);
    deep.demultiplyColorByAlpha();
    auto* out = new CEL_PixmapRGBA8(256, 256);
    const auto rounded = [](int16_t v) { return v <= 0 ? uint8_t(0) : uint8_t((v * 255 + 16383) / 32767); };
    for (int i = 0; i < 256 * 256; ++i) {
        const CEL_PixelRGBA16 v = deep.data()[i];
        out->data()[i] = CEL_PixelRGBA8{rounded(v.r), rounded(v.g), rounded(v.b), rounded(v.a)};
    }
    return celHolding(out);
}

} // namespace

TEST(CeltoolAlpha8, StraightAndPremultipliedBytesAsThroughSixteenBits) {
    TempDir dir;
    // Straight in (a PNG), premultiplied writer out (PNG4 un-premultiplies again).
    QImage straight(256, 256, QImage::Format_ARGB32);
    for (int i = 0; i < 256 * 256; ++i) {
        const CEL_PixelRGBA8 v = every(i % 256, i / 256);
        straight.setPixel(i % 256, i / 256, qRgba(v.r, v.g, v.b, v.a));
    }
    const QString png = dir.path(QStringLiteral("in.png")), out = dir.path(QStringLiteral("out.png"));
    ASSERT_TRUE(QImageWriter(png, "PNG").write(straight));
    ASSERT_EQ(celtool({QStringLiteral("convert"), png, out}).exit, 0);
    // The picture comes back: every translucent or opaque pixel as it was,
    // transparent ones as transparent black.
    const QImage back = QImage(out).convertToFormat(QImage::Format_ARGB32);
    int changed = 0;
    for (int a = 0; a < 256; ++a)
        for (int c = 0; c < 256; ++c) changed += back.pixel(c, a) != (a == 0 ? 0u : straight.pixel(c, a));
    EXPECT_EQ(changed, 0);

    // Premultiplied in (a TIFF of associated alpha), straight writer out (TGA).
    auto* premultiplied = new CEL_PixmapRGBA8(256, 256);
    for (int i = 0; i < 256 * 256; ++i) premultiplied->data()[i] = every(i % 256, i / 256);
    const QString tif = dir.path(QStringLiteral("in.tif")), tga = dir.path(QStringLiteral("out.tga")),
                  refTga = dir.path(QStringLiteral("ref.tga"));
    ASSERT_TRUE(QxCelUioTiffHandler().write(celHolding(premultiplied).get(), tif, QStringLiteral("TIF")));
    ASSERT_EQ(celtool({QStringLiteral("convert"), tif, tga}).exit, 0);
    ASSERT_TRUE(QXCelUioTgaHandler().write(longRoute().get(), refTga, QStringLiteral("TGA4")));
    EXPECT_TRUE(readFile(tga) == readFile(refTga)) << "premultiplied to straight";
}
