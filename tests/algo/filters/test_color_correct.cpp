#include <QString>

#include "algo/composite/test_composite_util.h"
#include "algo/filters/ColorCorrect.h"
#include "pixel/PixmapCanvas.h"

using namespace CelAlgo;
using namespace comptest;

namespace {

const double kNan = std::nan("");

Pixel runOne(const std::function<void(Pixmap*)>& op, Pixel in) {
    auto p = comptest::rowPixmap({in});
    op(p.get());
    return *p->data();
}

// 256 x 256 pixels; pixel i holds f(i - 32768), i.e. every signed 16-bit value once.
PixmapPtr everyValue(const std::function<Pixel(int)>& f) {
    auto p = makePixmap(256, 256, Math::Box2di(0, 0, 256, 256));
    for (int i = 0; i < 65536; ++i) p->data()[i] = f(i - 32768);
    return p;
}

// The curves as the header states them, in single precision (in double, sRGB
// would turn white a step darker).
int encoded(bool srgb, int v, int full) {
    const float x = float(v) / float(full);
    const double d = x;
    const double y = srgb ? (d < 0.0031308 ? 12.92 * d : 1.055 * std::pow(d, 1 / 2.4) - 0.055)
                          : (d < 0.018 ? 4.5 * d : 1.099 * std::pow(d, 1 / 2.2) - 0.099);
    return int(float(y) * float(full));
}

} // namespace

TEST(ColorCorrect, GammaCurvesOverEveryValue) {
    EXPECT_EQ(fromReadOptions(QStringLiteral("sRGB")), COLOR_TRANSFORM_SRGB);
    EXPECT_EQ(fromReadOptions(QStringLiteral("709")), COLOR_TRANSFORM_REC709);
    for (const char* other : {"srgb", "709 ", ""})
        EXPECT_EQ(fromReadOptions(QString::fromLatin1(other)), COLOR_TRANSFORM_NONE) << other;
    for (bool srgb : {true, false}) {
        const ColorTransform t = srgb ? COLOR_TRANSFORM_SRGB : COLOR_TRANSFORM_REC709;
        // Red holds every value, green its negation; blue and alpha stay.
        auto p = everyValue([](int v) { return px(v, -v - 1, -5, v); });
        CEL_PixmapRGBA16 canvas(256, 256);
        std::copy(p->data(), p->data() + 65536, canvas.data());
        applyColorTransform(p.get(), t);
        applyColorTransform(&canvas, t);
        const auto curve = [srgb](int v) { return v < 0 ? v : encoded(srgb, v, 32767); };
        for (int i = 0; i < 65536; ++i) {
            const int v = i - 32768;
            ASSERT_EQ(p->data()[i], px(curve(v), curve(-v - 1), -5, v)) << v;
            ASSERT_EQ(canvas.data()[i], p->data()[i]);
        }
        EXPECT_EQ(p->data()[65535].r, 32767); // white stays white

        CEL_PixmapRGBA8 bytes(256, 1);
        for (int v = 0; v < 256; ++v)
            bytes.data()[v] = CEL_PixelRGBA8{uint8_t(v), uint8_t(255 - v), 0, uint8_t(v)};
        applyColorTransform(&bytes, t);
        for (int v = 0; v < 256; ++v)
            ASSERT_EQ(bytes.data()[v], (CEL_PixelRGBA8{uint8_t(encoded(srgb, v, 255)),
                                                       uint8_t(encoded(srgb, 255 - v, 255)), 0, uint8_t(v)}));
        EXPECT_EQ(bytes.data()[255].r, 255);
    }
    EXPECT_EQ(runOne([](Pixmap* p) { applyColorTransform(p, ColorTransform(3)); }, px(327, 5, 0, 1)),
              px(327, 5, 0, 1));
}

TEST(ColorCorrect, ScaleTablesOverEveryValueAndHsv) {
    for (double k : {2.0, 0.5, -1.0, -0.3, 0.0, 1.0001, 1e300}) {
        auto p = everyValue([](int v) { return px(v, v, v, v); });
        colorScale(p.get(), k, 1.0, -k, 0.25);
        for (int i = 0; i < 65536; ++i) {
            const int v = i - 32768;
            const auto want = [v](double f) {
                return int(std::clamp(std::floor(v * f + 0.5), -32767.0, 32767.0));
            };
            ASSERT_EQ(p->data()[i], px(want(k), want(1.0), want(-k), want(0.25))) << v << " by " << k;
        }
        EXPECT_EQ(p->areAllPositive(), !(k < 0 || -k < 0)) << k;
    }
    auto p = comptest::rowPixmap({px(100, 200, 300, 400)});
    colorScale(p.get(), 2, 0.5, 1, 1);
    EXPECT_TRUE(p->areAllPositive());
    colorScale(p.get(), 1, 1, kNan, 2);
    EXPECT_EQ(*p->data(), px(200, 100, 300, 400));

    const auto hsv = [](double h, double s, double v) {
        return [=](Pixmap* q) { colorScale(q, 1, 1, 1, 1, h, s, v); };
    };
    EXPECT_EQ(runOne(hsv(1, 1, 0.5), px(32767, 0, 0, 32767)), px(16383, 0, 0, 32767));
    EXPECT_EQ(runOne(hsv(1, 1, 0.5), px(-32767, 0, 0, 32767)), px(-16383, 0, 0, 32767));
    EXPECT_EQ(runOne(hsv(2, 1, 1), px(32767, 32767, 0, 32767)), px(0, 32767, 0, 32767)); // yellow to green
    EXPECT_EQ(runOne(hsv(1, 1, 3), px(-32768, 0, 0, 5)), px(-32767, 0, 0, 5));
}

TEST(ColorCorrect, MaskBackgroundAndBlackAndWhite) {
    const auto mask = [](bool k0, bool k1, bool k2, bool ka) {
        return [=](Pixmap* p) { colorMask(p, k0, k1, k2, ka); };
    };
    EXPECT_EQ(runOne(mask(false, true, true, false), px(900, 20000, 20000, 5)), px(0, 20000, 20000, 32767));
    EXPECT_EQ(runOne(mask(false, true, true, false), px(900, 200, 300, 5)), px(0, 200, 300, 500));
    EXPECT_EQ(runOne(mask(true, true, false, false), px(-30000, -30000, 1, 5)),
              px(-30000, -30000, 0, -32767));
    for (bool keepAlpha : {false, true}) { // every lane of the row kernels, odd widths included
        auto p = randomPixmap(37, 5, Math::Box2di(0, 0, 37, 5), 2);
        PixmapPtr before(p->clone());
        colorMask(p.get(), true, false, true, keepAlpha);
        for (int i = 0; i < 37 * 5; ++i) {
            const Pixel in = before->data()[i];
            const int a = keepAlpha ? in.a : std::clamp(in.r + in.b, -32767, 32767);
            ASSERT_EQ(p->data()[i], px(in.r, 0, in.b, a)) << i;
        }
    }

    const auto background = [](double r, double g, double b) {
        return [=](Pixmap* p) { addBackgroundColor(p, r, g, b); };
    };
    EXPECT_EQ(runOne(background(1, 1, 1), px(0, 0, 0, 0)), px(32767, 32767, 32767, 32767));
    EXPECT_EQ(runOne(background(1, 0.5, 0), px(-32768, 7, 9, 32767)), px(-32767, 7, 9, 32767));
    // Reallocated to the canvas first: pixels outside the allocation become the background.
    auto p = makePixmap(4, 3, Math::Box2di(2, 1, 5, 5));
    *p->pixel(3, 2) = px(100, 100, 100, 32767);
    addBackgroundColor(p.get(), 0.5, 0.5, 0.5);
    EXPECT_EQ(p->allocatedRect(), Math::Box2di(0, 0, 4, 3));
    EXPECT_EQ(*p->pixel(0, 0), px(16383, 16383, 16383, 32767));
    EXPECT_EQ(*p->pixel(3, 2), px(100, 100, 100, 32767));
    EXPECT_TRUE(p->areAllPositive());
    addBackgroundColor(p.get(), -0.1, 0, 0);
    EXPECT_FALSE(p->areAllPositive());
    CEL_PixmapRGBA16 canvas(1, 1);
    addBackgroundColor(&canvas, 0, 1, 0);
    EXPECT_EQ(*canvas.data(), px(0, 32767, 0, 32767));

    const auto bw = [](double percent, bool toAlpha) {
        return [=](Pixmap* q) { colorToBW(q, percent, toAlpha); };
    };
    EXPECT_EQ(runOne(bw(100, false), px(1000, 2000, 3000, 4000)), px(1810, 1810, 1810, 4000));
    EXPECT_EQ(runOne(bw(50, false), px(1000, 2000, 3000, 4000)), px(1405, 1905, 2405, 4000));
    EXPECT_EQ(runOne(bw(300, true), px(1000, 2000, 3000, 4000)), px(1000, 2000, 3000, 1810));
    EXPECT_EQ(runOne(bw(100, false), px(-32768, -32768, -32768, 1)), px(-32767, -32767, -32767, 1));
}

TEST(ColorCorrect, KeyingIntoAlpha) {
    const double centre = 13107 / 32767.0, green = 16384 / 32767.0;
    const auto key = [=](double softness) {
        return [=](Pixmap* p) { colorScreen(p, 0, 2 * centre, green, green, 0, 1, softness); };
    };
    // The green axis has no width: only 16384 lies in it, and it adds nothing.
    EXPECT_EQ(runOne(key(0), px(13107, 16384, 16384, 9)), px(13107, 16384, 16384, 0));
    EXPECT_EQ(runOne(key(0), px(13107, 16383, 16384, 9)), px(13107, 16383, 16384, 32767));
    EXPECT_EQ(runOne(key(0), px(30000, 16384, 16384, 9)), px(30000, 16384, 16384, 32767));
    EXPECT_EQ(runOne(key(1), px(26214, 16384, 0, 9)), px(26214, 16384, 0, 0));
    EXPECT_EQ(runOne(key(0.9999999), px(26214, 16384, 0, 9)), px(26214, 16384, 0, 0));
    // A wide box: alpha from the mean distance to its centre (in box widths) past the
    // softness: (0.4135 - 0.1) / 0.9 of 32767; near the centre nothing is left.
    const auto wide = [](Pixmap* q) { colorScreen(q, 0.1, 0.9, 0.2, 0.7, 0, 0.6, 0.1); };
    EXPECT_EQ(runOne(wide, px(29000, 8000, 3000, 9)), px(29000, 8000, 3000, 11413));
    EXPECT_EQ(runOne(wide, px(20000, 9000, 5000, 9)), px(20000, 9000, 5000, 5271));
    EXPECT_EQ(runOne(wide, px(16384, 16384, 9830, 9)), px(16384, 16384, 9830, 0));
    EXPECT_EQ(runOne(wide, px(30000, 8000, 3000, 9)), px(30000, 8000, 3000, 32767)); // outside
    // An empty box keys nothing.
    EXPECT_EQ(runOne([](Pixmap* q) { colorScreen(q, 0.6, 0.4, 0, 1, 0, 1, 0); }, px(16384, 0, 0, 5)),
              px(16384, 0, 0, 32767));
}

TEST(ColorCorrect, NegationAndIntensity) {
    const auto neg = [](bool c, bool a) { return [=](Pixmap* p) { negate(p, c, a); }; };
    EXPECT_EQ(runOne(neg(true, false), px(0, 32767, -50, 100)), px(32767, 0, 32767, 100));
    EXPECT_EQ(runOne(neg(false, true), px(0, 32767, -50, -100)), px(0, 32767, -50, 32767));
    EXPECT_EQ(runOne(neg(true, true), px(1000, 2000, 3000, 4000)), px(31767, 30767, 29767, 28767));
    // Reallocated to the canvas: the transparent pixels outside the allocation negate too.
    auto p = makePixmap(3, 2, Math::Box2di(-1, 1, 2, 4));
    negate(p.get(), true, true);
    EXPECT_EQ(p->allocatedRect(), Math::Box2di(0, 0, 3, 2));
    EXPECT_EQ(*p->pixel(2, 0), px(32767, 32767, 32767, 32767));
    auto empty = std::make_unique<Pixmap>(0, 0);
    negate(empty.get(), true, true);
    EXPECT_EQ(empty->allocatedArea(), 0);

    // alpha - max(c, 0), saturated: additive light turns negative, clearing the flag.
    auto q = comptest::rowPixmap({px(1000, 2000, 3000, 16000), px(0, -9, 16000, 16000)});
    negateWithAlpha(q.get());
    EXPECT_EQ(q->data()[1], px(16000, 16000, 0, 16000));
    EXPECT_TRUE(q->areAllPositive());
    auto p2 = randomPixmap(37, 5, Math::Box2di(0, 0, 37, 5), 4);
    PixmapPtr before(p2->clone());
    negateWithAlpha(p2.get());
    for (int i = 0; i < 37 * 5; ++i) {
        const Pixel in = before->data()[i];
        const auto flip = [&](int c) { return std::clamp(in.a - std::max(c, 0), -32767, 32767); };
        ASSERT_EQ(p2->data()[i], px(flip(in.r), flip(in.g), flip(in.b), in.a)) << i;
    }
    EXPECT_FALSE(p2->areAllPositive());
    EXPECT_THROW(negate(nullptr, true, true), AlgoException);
    EXPECT_THROW(negateWithAlpha(nullptr), AlgoException);
    // Intensity: a curve on alpha, colour scaled with it.
    const auto up = [](double k) { return [=](Pixmap* pm) { increaseIntensity(pm, k); }; };
    EXPECT_EQ(runOne(up(2), px(8192, 0, 0, 16384)), px(12288, 0, 0, 24576));
    EXPECT_EQ(runOne(up(2), px(16384, -16384, 0, 0)), px(24576, -24576, 0, 0));
    EXPECT_EQ(runOne(up(0.5), px(1001, -1001, 3, 32767)), px(501, -500, 2, 16384));
    for (double k : {0.0, -2.0, 1.0, kNan, double(INFINITY)})
        EXPECT_EQ(runOne(up(k), px(1001, -1001, 3, 300)), px(1001, -1001, 3, 300)) << k;
    // Negative alpha: the curve of its magnitude, the sign kept (rounding is trunc(x + 0.5)).
    EXPECT_EQ(runOne(up(2), px(-8192, 0, 0, -16384)), px(-12287, 0, 0, -24575));
    // Colour above alpha saturates; -32768 reads as -32767.
    EXPECT_EQ(runOne(up(2), px(32767, 0, 0, 1)), px(32767, 0, 0, 2));
    EXPECT_EQ(runOne(up(2), px(-32768, 0, 0, 0)), px(-32767, 0, 0, 0));
}

TEST(ColorCorrect, ThreadIndependentAndNaNSafe) {
    const std::vector<std::function<void(Pixmap*)>> ops = {
        [](Pixmap* p) { addBackgroundColor(p, 0.2, 0.4, 0.9); },
        [](Pixmap* p) { applyColorTransform(p, COLOR_TRANSFORM_SRGB); },
        [](Pixmap* p) { colorMask(p, true, false, true, false); },
        [](Pixmap* p) { colorScale(p, 1.5, 0.7, -1, 1, 1.2, 0.5, 0.9); },
        [](Pixmap* p) { colorScreen(p, 0.1, 0.8, 0, 0.9, 0.2, 1, 0.2); },
        [](Pixmap* p) { colorToBW(p, 40, false); },
        [](Pixmap* p) { negate(p, true, true); },
        [](Pixmap* p) { negateWithAlpha(p); },
        [](Pixmap* p) { increaseIntensity(p, 1.7); },
    };
    const PixmapPtr source = randomPixmap(300, 200, Math::Box2di(0, 0, 300, 200), 11);
    for (std::size_t i = 0; i < ops.size(); ++i) {
        EXPECT_TRUE(comptest::threadIndependent(*source, ops[i])) << "operation " << i;
        PixmapPtr changed(source->clone());
        ops[i](changed.get());
        EXPECT_FALSE(comptest::samePixels(*changed, *source)) << "operation " << i;
    }
    const std::vector<std::function<void(Pixmap*)>> nanOps = {
        [](Pixmap* p) { addBackgroundColor(p, kNan, 0, 0); },
        [](Pixmap* p) { colorScale(p, 2, 2, 2, 2, kNan, 1, 1); },
        [](Pixmap* p) { colorScreen(p, 0, 1, 0, 1, 0, 1, kNan); },
        [](Pixmap* p) { colorToBW(p, kNan, true); },
        [](Pixmap* p) { increaseIntensity(p, kNan); },
    };
    for (std::size_t i = 0; i < nanOps.size(); ++i) {
        PixmapPtr p(source->clone());
        nanOps[i](p.get());
        EXPECT_TRUE(comptest::samePixels(*p, *source)) << "operation " << i;
    }
}
