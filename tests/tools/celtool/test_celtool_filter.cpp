// celtool filter, thumbnail and contact-sheet; flips against oiiotool and ImageMagick.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include <QFile>

#include "CeltoolTestUtil.h"

namespace {

using celtest::celtool;
using ToolResult = celtest::ToolRun;

// An opaque picture of random colours, w x h, as a 24-bit TGA file.
QByteArray opaqueTga(int w, int h, unsigned seed) {
    return celtest::tgaOf(celtest::randomPixels(w * h, seed, true), w, h, "TGA3");
}

// The r, g, b, a bytes of an image as celtool dump gives them, with its size.
struct Pixels {
    QByteArray bytes, size;
};

Pixels dump(const celtest::TempDir& dir, const QString& image) {
    const QString raw = dir.path("dump.raw");
    const ToolResult r = celtool({"dump", image, raw});
    EXPECT_EQ(r.exit, 0) << qPrintable(image) << r.err.constData();
    return {celtest::readFile(raw), r.out.trimmed()};
}

} // namespace

TEST(CeltoolFilter, OperationsInOrderAndUsageErrors) {
    celtest::TempDir dir;
    const QString in = dir.path("in.tga"), out = dir.path("out.tga");
    ASSERT_TRUE(celtest::writeFile(in, opaqueTga(40, 30, 1)));

    // The order of the words is the order of the operations.
    ASSERT_EQ(celtool({"filter", "--scale", "0.5,1", "--rotate", "90", in, out}).exit, 0);
    EXPECT_EQ(dump(dir, out).size, "30x20");
    ASSERT_EQ(celtool({"filter", "--rotate", "90", "--scale", "0.5,1", in, out}).exit, 0);
    EXPECT_EQ(dump(dir, out).size, "15x40");
    ASSERT_EQ(celtool({"filter", "--resize=7x9", "--transpose", "--tile", "20x10", in, out}).exit, 0);
    EXPECT_EQ(dump(dir, out).size, "20x10");

    // Usage errors come before anything is read or written.
    const QByteArray before("untouched");
    ASSERT_TRUE(celtest::writeFile(out, before));
    QList<QStringList> bad = celtest::argLists(
        "--nosuch IN OUT|--scale 0.5x IN OUT|--scale nan IN OUT|--scale -2 IN OUT|--resize 0x4 IN OUT|"
        "--resize 4 IN OUT|--rotate IN OUT|--flip z IN OUT|--matrix 1,0,0 IN OUT|--scale 100000 IN OUT|"
        "--threads 0 --flip x IN OUT|--flip x IN|IN OUT",
        {{"IN", in}, {"OUT", out}});
    bad << QStringList{"--flip", "x", in, dir.path("out.nosuchformat")};
    celtest::expectUsageErrors({"filter"}, bad, {}, out, "usage: celtool filter");
    EXPECT_EQ(celtool({"filter", "--flip", "x", dir.path("missing.tga"), out}).exit, 1);
    EXPECT_EQ(celtest::readFile(out), before);
}

// Bit for bit the same at any thread count, on translucent pictures large enough to split: every
// family of operations (transforms, kernels and pans, mattes and colour, stylising and seeded noise).
TEST(CeltoolFilter, ThreadCountDoesNotChangeTheResult) {
    celtest::TempDir dir;
    const QString in = dir.path("in.tga"), map = dir.path("map.tga");
    for (const auto& [path, seed] : {std::pair{in, 2u}, {map, 3u}})
        ASSERT_TRUE(celtest::writeFile(
            path, celtest::tgaOf(celtest::randomPixels(300 * 200, seed, false), 300, 200)));
    const QList<QStringList> chains = celtest::argLists(
        "--scale 0.7,1.3 --rotate 33 --tile 400x300:0.5,0.1,3,0,0.5,7|"
        "--blur kernel:@stroke:1.5 --pan 3.25,-1.5:cycle|--expand 3.5 --shrink 1.25,1 "
        "--color-scale 1.2,0.8,1,1,1.1,0.9,1 --key 0.1,0.9,0,1,0,1,0.2 --intensity 1.7 --encode 709 --bw 30 "
        "--mask rgb|--alpha-cut 40 --negate premult --background 0.1,0.2,0.3 --negate rgba --unpremultiply "
        "5:opaque --threshold 0.2 --crop 10,10,200,150 --place 300,200,5,5 --stretch 0.1,0.9|--seed 11 "
        "--dither both:3 --grain 3,0.4,0.5 --pixelate 9 --refract 80,1,1.4:MAP --contrast 0.4,1.5,0.8 "
        "--dither noise:2:mono",
        {{"80,1,1.4:MAP", "80,1,1.4:" + map}});
    const auto raw = [&](const QStringList& args) {
        const QString out = dir.path("out.raw");
        QFile::remove(out);
        EXPECT_EQ(celtool(QStringList{"filter"} << args << "--raw16" << out << in).exit, 0)
            << qPrintable(args.join(' '));
        return celtest::readFile(out);
    };
    for (const QStringList& chain : chains) {
        const QByteArray one = raw(QStringList{"--threads", "1"} << chain);
        EXPECT_FALSE(one.isEmpty());
        for (const char* threads : {"2", "8"})
            EXPECT_EQ(raw(QStringList{"--threads", threads} << chain), one)
                << threads << qPrintable(chain.join(' '));
    }
    QStringList reseeded = chains[4];
    reseeded[1] = "12";
    EXPECT_NE(raw(reseeded), raw(chains[4])) << "the seed drives the noise";
    // A quarter turn each way keeps every value (as read: straight colour stays straight).
    ASSERT_EQ(celtool({"dump", "--depth", "16", in, dir.path("in.raw")}).exit, 0);
    EXPECT_EQ(raw({"--keep-values", "--rotate", "90", "--rotate", "-90"}),
              celtest::readFile(dir.path("in.raw")));
}

// The lossless flips give the pixels oiiotool and ImageMagick give.
TEST(CeltoolFilter, FlipsMatchOtherTools) {
    celtest::TempDir dir;
    // A PNG input: ImageMagick keeps a bottom-up TGA's rows as stored and only
    // notes the orientation, which would flip its results against everyone's.
    const QString tga = dir.path("in.tga"), in = dir.path("in.png");
    ASSERT_TRUE(celtest::writeFile(tga, opaqueTga(7, 5, 3)));
    ASSERT_EQ(celtool({"convert", tga, in}).exit, 0);
    // Ours | the peer | its words.
    const QList<QStringList> cases = celtest::argLists(
        "--rotate 90|oiiotool --rotate90|--flip x|oiiotool --flop|--flip y|oiiotool --flip|--transpose|"
        "oiiotool --transpose|--rotate 90|convert -rotate 90|--flip x|convert -flop|--flip y|convert -flip|"
        "--transverse|convert -transverse|--rotate 180|convert -rotate 180");
    if (!celtest::haveProgram("oiiotool") && !celtest::haveProgram("convert"))
        GTEST_SKIP() << "neither oiiotool nor ImageMagick's convert is installed";
    for (qsizetype n = 0; n < cases.size(); n += 2) {
        const QString program = cases[n + 1][0];
        const QStringList theirArgs = cases[n + 1].mid(1);
        if (!celtest::haveProgram(qPrintable(program))) continue;
        SCOPED_TRACE(qPrintable(cases[n + 1].join(' ')));
        const QString ours = dir.path("ours.tga"), theirs = dir.path("theirs.png");
        ASSERT_EQ(celtool(QStringList{"filter"} << cases[n] << in << ours).exit, 0);
        const QStringList args = program == QLatin1String("oiiotool")
                                     ? QStringList{in} << theirArgs << "-o" << theirs
                                     : QStringList{in} << theirArgs << theirs;
        const ToolResult peer = celtest::runProgram(program, args);
        ASSERT_EQ(peer.exit, 0) << peer.err.constData();
        const Pixels a = dump(dir, ours), b = dump(dir, theirs);
        EXPECT_EQ(a.size, b.size);
        EXPECT_EQ(a.bytes, b.bytes);
    }
}

// White antialiased art: the thumbnail declines the blend over white (its
// green is lifted above alpha at the rim), the tool lays it over white itself.
TEST(CeltoolThumbnail, OpaqueOverWhiteAndContactSheet) {
    celtest::TempDir dir;
    std::vector<CEL_PixelRGBA8> art;
    for (int y = 0; y < 200; ++y)
        for (int x = 0; x < 300; ++x) {
            const double a = std::clamp(80.5 - std::hypot(x + 0.5 - 150.0, y + 0.5 - 100.0), 0.0, 1.0);
            art.push_back(CEL_PixelRGBA8{255, 255, 255, uint8_t(std::lround(a * 255))});
        }
    const QString in = dir.path("art.tga"), out = dir.path("t.tga"); // TGA holds straight colour
    ASSERT_TRUE(celtest::writeFile(in, celtest::tgaOf(art, 300, 200)));
    ASSERT_EQ(celtool({"thumbnail", "--size", "64", in, out}).exit, 0);
    const Pixels t = dump(dir, out);
    EXPECT_EQ(t.size, "64x42");
    for (qsizetype i = 0; i < t.bytes.size(); i += 4) // white everywhere: the art is white too
        ASSERT_EQ(t.bytes.mid(i, 4), QByteArray("\xff\xff\xff\xff", 4)) << "pixel " << i / 4;
    ASSERT_EQ(celtool({"thumbnail", "--size", "50x100", in, out}).exit, 0);
    EXPECT_EQ(dump(dir, out).size, "50x33");
    EXPECT_EQ(celtool({"thumbnail", "--size", "0", in, out}).exit, 2);

    // A sheet of three cells, one of them unreadable: written, and exit 1.
    const QString sheet = dir.path("sheet.tga");
    const ToolResult r = celtool(
        {"contact-sheet", "--size", "40x30", "--columns", "2", "-o", sheet, in, dir.path("none.tga"), in});
    EXPECT_EQ(r.exit, 1);
    EXPECT_TRUE(r.err.contains("none.tga"));
    EXPECT_EQ(dump(dir, sheet).size, "104x106"); // 2 x (40 + 12) by 2 x (30 + 12 + 11)
    EXPECT_EQ(celtool({"contact-sheet", "--columns", "0", "-o", sheet, in}).exit, 2);
}
