// celtool inbetween, filter --pan and --blur kernel: against ImageMagick and libvips.
#include <gtest/gtest.h>

#include <QFile>
#include <cmath>
#include <cstdint>
#include <vector>

#include "CeltoolTestUtil.h"

namespace {

using celtest::celtool;
using celtest::runProgram;

// A w x h picture of random 8-bit pixels, alpha 255 (opaque) or random, as ImageMagick's samples.
std::vector<int> randomRgba(int w, int h, unsigned seed, bool opaque) {
    std::vector<int> v;
    for (const CEL_PixelRGBA8& p : celtest::randomPixels(w * h, seed, opaque))
        v.insert(v.end(), {p.r, p.g, p.b, p.a});
    return v;
}

} // namespace

TEST(CeltoolInbetween, PanCyclesLikeARoll) {
    if (!celtest::haveMagick()) GTEST_SKIP() << "ImageMagick not installed";
    celtest::TempDir dir;
    const int w = 37, h = 23;
    const QString in = dir.path("in.png");
    ASSERT_TRUE(celtest::magickWrite(randomRgba(w, h, 1, true), w, h, 8, QStringLiteral("PNG24:") + in));
    ASSERT_EQ(celtool({"filter", "--pan", "7,-3:cycle", in, dir.path("pan.png")}).exit, 0);
    ASSERT_EQ(runProgram("convert", {in, "-roll", "+7-3", dir.path("roll.png")}).exit, 0);
    EXPECT_EQ(celtest::magickPixels(dir.path("pan.png")), celtest::magickPixels(dir.path("roll.png")));

    // clear on one axis: the rows that came in from above are transparent,
    // mirror on the other reflects about the edge pixel.
    ASSERT_EQ(celtool({"filter", "--pan", "-2,3:mirror,clear", in, dir.path("m.png")}).exit, 0);
    const std::vector<int> src = celtest::magickPixels(in), m = celtest::magickPixels(dir.path("m.png"));
    ASSERT_EQ(m.size(), src.size());
    const auto px = [w](const std::vector<int>& v, int x, int y, int c) {
        return v[std::size_t(4 * (y * w + x) + c)];
    };
    for (int c = 0; c < 4; ++c) {
        if (c < 3) { // RGB in, RGB out: transparent reads black
            EXPECT_EQ(px(m, 0, 2, c), 0);
        }
        EXPECT_EQ(px(m, 0, 5, c), px(src, 2, 2, c));
        EXPECT_EQ(px(m, w - 1, 5, c), px(src, w - 3, 2, c)); // x + 2 = w + 1 reflects to w - 3
    }
}

TEST(CeltoolInbetween, KernelBlurMatchesVipsAwayFromBorders) {
    if (!celtest::haveMagick() || !celtest::haveProgram("vips"))
        GTEST_SKIP() << "ImageMagick or libvips not installed";
    celtest::TempDir dir;
    const int w = 48, h = 40;
    const QString in = dir.path("in.png"), kernel = dir.path("k.png");
    ASSERT_TRUE(celtest::magickWrite(randomRgba(w, h, 2, true), w, h, 8, QStringLiteral("PNG32:") + in));
    // A point-symmetric 5 x 5 kernel (a thick diagonal), so that the mask needs no flipping.
    const int weights[5][5] = {
        {40, 10, 0, 0, 0}, {10, 60, 20, 0, 0}, {0, 20, 255, 20, 0}, {0, 0, 20, 60, 10}, {0, 0, 0, 10, 40}};
    std::vector<int> k;
    QString mask;
    int sum = 0;
    for (int i = 0; i < 25; ++i) {
        const int v = weights[i / 5][i % 5];
        k.insert(k.end(), {255, 255, 255, v}), sum += v;
        mask += QString::number(v) + (i % 5 < 4 ? " " : "\n");
    }
    ASSERT_TRUE(celtest::magickWrite(k, 5, 5, 8, QStringLiteral("PNG32:") + kernel));
    ASSERT_TRUE(celtest::writeFile(dir.path("mask.mat"),
                                   QStringLiteral("5 5 %1 0\n").arg(sum).toLatin1() + mask.toLatin1()));
    ASSERT_EQ(celtool({"filter", "--blur", "kernel:" + kernel, in, dir.path("ours.png")}).exit, 0);
    const QStringList vips{"conv", in, dir.path("vips.png"), dir.path("mask.mat"), "--precision", "float"};
    ASSERT_EQ(runProgram("vips", vips).exit, 0);
    const std::vector<int> ours = celtest::magickPixels(dir.path("ours.png")),
                           theirs = celtest::magickPixels(dir.path("vips.png"));
    ASSERT_TRUE(ours.size() == std::size_t(w) * h * 4 && theirs.size() == ours.size());
    for (int y = 2; y < h - 2; ++y)
        for (int x = 2; x < w - 2; ++x)
            for (int c = 0; c < 4; ++c) {
                const std::size_t i = std::size_t(4 * (y * w + x) + c);
                ASSERT_NEAR(ours[i], theirs[i], 1) << x << "," << y << " channel " << c;
            }
    // The border fades to transparent (vips repeats the edge instead).
    EXPECT_LT(ours[3], 255);
}

TEST(CeltoolInbetween, FramesAreTheMixAtEvenSteps) {
    if (!celtest::haveMagick()) GTEST_SKIP() << "ImageMagick not installed";
    celtest::TempDir dir;
    const QString a = dir.path("a.png"), b = dir.path("b.png");
    std::vector<int> red, blue;
    for (int i = 0; i < 6; ++i)
        red.insert(red.end(), {255, 0, 0, 255}), blue.insert(blue.end(), {0, 0, 255, 255});
    ASSERT_TRUE(celtest::magickWrite(red, 3, 2, 8, QStringLiteral("PNG32:") + a));
    ASSERT_TRUE(celtest::magickWrite(blue, 3, 2, 8, QStringLiteral("PNG32:") + b));
    const celtest::ToolRun r = celtool({"inbetween", "--frames", "3", "--raw16", dir.path("all.raw"),
                                        "--strip", dir.path("strip.png"), a, b, dir.path("f%03d.tga")});
    ASSERT_EQ(r.exit, 0) << r.err.constData();
    EXPECT_TRUE(QFile::exists(dir.path("f003.tga")) && !QFile::exists(dir.path("f004.tga")) &&
                QFile::exists(dir.path("strip.png")));
    const std::vector<int> v = celtest::int16s(celtest::readFile(dir.path("all.raw")));
    ASSERT_EQ(v.size(), std::size_t(3) * 6 * 4);
    for (int k = 1; k <= 3; ++k) {
        const float t = float(std::trunc(32767.0 * k / 4 + 0.5)) / 32767.0f;
        const int16_t fromA = int16_t(std::trunc(32767.0f * (1.0f - t))),
                      fromB = int16_t(std::trunc(32767.0f * t));
        const std::size_t p = std::size_t(k - 1) * 24 + 8; // frame k, pixel 2
        EXPECT_EQ(
            (std::vector<int>(v.begin() + p, v.begin() + p + 4)),
            (std::vector<int>{fromA, 0, fromB, int16_t(std::trunc(32767.0f * (1.0f - t) + 32767.0f * t))}))
            << k;
    }

    // --mix: one frame whose mix is the matte's alpha (0 on the left, 255 on the right).
    std::vector<int> matte;
    for (int i = 0; i < 6; ++i) matte.insert(matte.end(), {0, 0, 0, i % 3 == 2 ? 255 : 0});
    ASSERT_TRUE(celtest::magickWrite(matte, 3, 2, 8, QStringLiteral("PNG32:") + dir.path("m.png")));
    ASSERT_EQ(celtool({"inbetween", "--mix", dir.path("m.png"), a, b, dir.path("mixed.png")}).exit, 0);
    const std::vector<int> mixed = celtest::magickPixels(dir.path("mixed.png"));
    ASSERT_EQ(mixed.size(), 24u);
    EXPECT_EQ((std::vector<int>(mixed.begin(), mixed.begin() + 12)),
              (std::vector<int>{255, 0, 0, 255, 255, 0, 0, 255, 0, 0, 255, 255}));
}

TEST(CeltoolInbetween, BadWordsAndRefusals) {
    if (!celtest::haveMagick()) GTEST_SKIP() << "ImageMagick not installed";
    celtest::TempDir dir;
    const QString a = dir.path("a.png"), b = dir.path("b.png"), small = dir.path("s.png"),
                  empty = dir.path("e.png");
    ASSERT_TRUE(celtest::magickWrite(randomRgba(8, 6, 4, true), 8, 6, 8, QStringLiteral("PNG32:") + a));
    ASSERT_TRUE(celtest::magickWrite(randomRgba(8, 6, 5, false), 8, 6, 8, QStringLiteral("PNG32:") + b));
    ASSERT_TRUE(celtest::magickWrite(randomRgba(5, 6, 6, true), 5, 6, 8, QStringLiteral("PNG32:") + small));
    ASSERT_TRUE(
        celtest::magickWrite(std::vector<int>(3 * 3 * 4, 0), 3, 3, 8, QStringLiteral("PNG32:") + empty));
    const QString out = dir.path("out%d.png"), one = dir.path("one.png");
    const QMap<QString, QString> names{{"A", a},         {"B", b},
                                       {"SMALL", small}, {"OUT", out},
                                       {"ONE", one},     {"MISSING", dir.path("missing.png")},
                                       {"EMPTY", empty}, {"%d%d", dir.path("%d%d.png")}};
    const QList<QStringList> usage = celtest::argLists(
        "inbetween --frames 0 A B OUT|inbetween --frames 1000 A B OUT|inbetween --frames 2x A B OUT|"
        "inbetween --frames 2 A B ONE|inbetween --frames 2 A B %d%d|inbetween --frames 2 --mix B A B OUT|"
        "inbetween --threads 0 A B ONE|inbetween A B|filter --pan 1 A ONE|filter --pan 1,nan A ONE|"
        "filter --pan 1,2:wrap A ONE|filter --pan 1,2:cycle,mirror,clear A ONE|filter --blur kernel: A ONE",
        names);
    const QList<QStringList> refused = celtest::argLists(
        "inbetween A SMALL ONE|inbetween --mix SMALL A B ONE|inbetween A MISSING ONE", names);
    QList<QStringList> all = usage + refused;
    for (const char* k : {":-0.5", ":x"}) all.insert(0, {"filter", "--blur", "kernel:" + a + k, a, one});
    for (const QString& map : {empty, dir.path("missing.png")})
        all << QStringList{"filter", "--blur", "kernel:" + map, a, one};
    for (qsizetype n = 0; n < all.size(); ++n) {
        const celtest::ToolRun r = celtool(all[n]);
        EXPECT_EQ(r.exit, n < usage.size() + 2 ? 2 : 1) << all[n].join(' ').toStdString();
        EXPECT_FALSE(r.err.isEmpty());
        EXPECT_FALSE(QFile::exists(one) || QFile::exists(dir.path("out1.png")))
            << all[n].join(' ').toStdString();
    }
    // The byte cap refuses the transform arrays: the picture and kernel fit in 20000 bytes, they do not.
    const celtest::ToolRun r = celtool({"filter", "--blur", "kernel:@stroke", a, one}, {}, {},
                                       {{"CELCORE_MAX_PIXMAP_BYTES", "20000"}});
    EXPECT_TRUE(r.exit == 1 && r.err.contains("out of memory")) << r.err.constData();
    EXPECT_FALSE(QFile::exists(one));
}
