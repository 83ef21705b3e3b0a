// celtool on IFF files: codes by depth, standard streams, depth kept through a conversion.
#include <gtest/gtest.h>
#include <vector>

#include "CeltoolTestUtil.h"
#include "celio/handlers/IffImage.h"

using celtest::celtool;
using celtest::ToolRun;

TEST(CeltoolIff, CodesStandardStreamsAndDepth) {
    celtest::TempDir dir;
    std::vector<CEL_PixelRGBA8> p;
    for (int i = 0; i < 210; ++i) p.push_back(CEL_PixelRGBA8{uint8_t(i), uint8_t(i / 2), 7, 255});
    const QString in = dir.path("in.tga"), raw = dir.path("in.raw");
    ASSERT_TRUE(celtest::writeFile(in, celtest::tgaOf(p, 70, 3)));
    ASSERT_EQ(celtool({"dump", "--depth", "16", in, raw}).exit, 0);

    for (const char* code : {"", "IFF_16"}) {
        SCOPED_TRACE(code);
        const QString out = dir.path(QStringLiteral("out%1.iff").arg(QLatin1String(code)));
        ASSERT_EQ(celtool(QStringList{"convert"} << (*code ? QStringList{"--code", code} : QStringList{})
                                                 << in << out)
                      .exit,
                  0);
        EXPECT_EQ(celtest::infoOf(out).value("bytesPerChannel").toInt(), *code ? 2 : 1);
        const QString back = dir.path("back.raw");
        ASSERT_EQ(celtool({"dump", "--depth", "16", out, back}).exit, 0);
        EXPECT_EQ(celtest::readFile(back), celtest::readFile(raw));
    }

    // The codec needs a file; the tool gives it one for standard input and output.
    const QByteArray iff = celtest::readFile(dir.path("out.iff"));
    EXPECT_EQ(celtool({"convert", "--format", "iff", "-", dir.path("o.tga")}, iff).exit, 0);
    const ToolRun r = celtool({"convert", "--format", "iff", dir.path("o.tga"), "-"});
    EXPECT_TRUE(r.exit == 0 && r.out.startsWith("FOR4") && r.out.mid(8, 4) == "CIMG") << r.err.data();

    // Depth survives a conversion that rounds 16-bit colour to 8 bits.
    const int w = 40, h = 30;
    std::vector<uint16_t> colour(size_t(w) * h * 4);
    std::vector<float> depth(size_t(w) * h);
    for (size_t i = 0; i < colour.size(); ++i) colour[i] = uint16_t(i * 37 % 65536);
    for (size_t i = 0; i < depth.size(); ++i) depth[i] = 0.5f + float(i % w);
    CEL_IffImage deep(w, h, 2);
    ASSERT_TRUE(deep.iff_save(dir.path("deep.iff"), colour.data(), depth.data(), 2));
    ASSERT_EQ(celtool({"convert", "--code", "IFF", dir.path("deep.iff"), dir.path("flat.iff")}).exit, 0);
    CEL_IffImage flat;
    flat.iffctrl(CEL_IffImage::IFF_CTRL_TOP_DOWN, true);
    ASSERT_TRUE(flat.iff_load(dir.path("flat.iff")));
    EXPECT_EQ(flat.iffgetbpp(), 1);
    ASSERT_TRUE(flat.depth());
    for (size_t i = 0; i < depth.size(); ++i) // 1 / (1 / d): within one step of the float
        ASSERT_NEAR(flat.depth()[i], depth[i], depth[i] * 1.2e-7f) << i;
}
