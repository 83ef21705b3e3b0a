// The blurs against plain loops of their definitions, on random content with tone and
// additive-light pixels and allocations partly off the canvas.
#include <numbers>
#include <tbb/task_arena.h>
#include <tuple>

#include "algo/composite/test_composite_util.h"
#include "algo/filters/Blur.h"
#include "algo/filters/BlurDetail.h"
#include "algo/filters/MotionBlur.h"
#include "pixel/PixelTestUtil.h"
#include "pixel/PixmapCanvas.h"

using namespace comptest;
using namespace CelAlgo;

namespace {

// One box pass with direct sums: (H + V + frac * E) * k, taps clamped to the plane.
std::vector<float> referencePass(const std::vector<float>& in, int w, int h, double r) {
    const int n = int(std::floor(r));
    const double frac = r - n, k = float(1.0 / ((2.0 * r + 1.0) * 2.0));
    const auto at = [&](long x, long y) {
        x = std::clamp<long>(x, 0, w - 1), y = std::clamp<long>(y, 0, h - 1);
        return double(in[std::size_t(y * w + x)]);
    };
    std::vector<float> out(in.size());
    for (long y = 0; y < h; ++y)
        for (long x = 0; x < w; ++x) {
            double hs = 0.0, vs = 0.0;
            for (long j = -n; j <= n; ++j) hs += at(x + j, y), vs += at(x, y + j);
            const double e = ((at(x - n - 1, y) + at(x + n + 1, y)) + at(x, y - n - 1)) + at(x, y + n + 1);
            out[std::size_t(y * w + x)] = float(((hs + vs) + frac * e) * k);
        }
    return out;
}

int16_t toShort(float v) {
    return int16_t(std::min(std::trunc(double(v) + 0.5), 32767.0));
}

std::vector<float> integerPlane(std::mt19937& rng, int w, int h) {
    std::vector<float> p(std::size_t(w) * h);
    for (float& v : p) v = float(int(rng() % 65535) - 32767);
    return p;
}

// Each field of p, over its whole allocation, through radialBlurChannel.
void blurFieldsByChannel(Pixmap& p, double r, int passes, bool alphaOnly) {
    const int w = p.allocatedWidth(), h = p.allocatedHeight();
    std::vector<float> a(std::size_t(w) * h), b(a.size()), line(static_cast<std::size_t>(w));
    for (int f = alphaOnly ? 3 : 0; f < 4; ++f)
        radialBlurChannel(w, reinterpret_cast<short*>(p.data()) + f, r, 0, w - 1, 0, h - 1, a.data(),
                          b.data(), line.data(), passes);
}

// Planes of one band (streamed or ping-pong), of several bands (in place after an
// even number of passes) and narrower than the radius: one pass equals the direct
// sums bit for bit on integer input, several stay within one step after rounding.
TEST(RadialBlur, FloatPassesMatchDirectSums) {
    struct Case {
        int w, h;
        double r;
        int passes;
    };
    const Case cases[] = {{23, 17, 2.5, 1}, {41, 300, 1.0, 1}, {41, 300, 1.5, 2}, {37, 300, 1.25, 8},
                          {19, 20, 4.0, 8}, {3, 40, 5.5, 3},   {30, 31, 0.0, 1}};
    std::mt19937 rng(7);
    for (const Case& c : cases) {
        const std::vector<float> input = integerPlane(rng, c.w, c.h);
        std::vector<float> want = input;
        for (int p = 0; p < c.passes; ++p) want = referencePass(want, c.w, c.h, c.r);
        std::vector<float> a = input, b(input.size()), line(static_cast<std::size_t>(c.w));
        radialBlurFloat(a.data(), b.data(), line.data(), c.w, c.h, c.r, c.passes);
        const std::vector<float>& got = c.passes % 2 ? b : a;
        for (std::size_t i = 0; i < got.size(); ++i) {
            if (c.passes == 1)
                ASSERT_EQ(got[i], want[i]) << c.w << "x" << c.h << " r " << c.r << " at " << i;
            else
                ASSERT_NEAR(toShort(got[i]), toShort(want[i]), 1)
                    << c.w << "x" << c.h << " r " << c.r << " at " << i;
        }
    }
    // With n = 0 a plane of one column is left as it is.
    std::vector<float> column = integerPlane(rng, 1, 12), a = column, b(12);
    radialBlurFloat(a.data(), b.data(), nullptr, 1, 12, 0.7, 3);
    EXPECT_EQ(b, column);
}

// The pixmap forms are the channel function on the grown allocation: area pixmaps
// partly off the canvas lose the outside part, canvas pixmaps blur the grown box of
// their content only. The area case has two bands and an odd width, and runs each
// form of the four-lane rows (portable, AVX2, AVX-512 where the processor has them).
TEST(RadialBlur, PixmapFormsAreTheChannelFunctionOnTheGrownRegion) {
    std::mt19937 rng(11);
    for (const bool alphaOnly : {false, true})
        for (const int level : {0, 1, 2}) {
            PixmapPtr p = randomPixmap(rng, 90, 300, Math::Box2di(-10, 5, 61, 300));
            PixmapPtr want(p->clone());
            want->realloc(Math::Box2di::fromCorners(0, 0, 63, 300), true); // grown by ceil(2.5) * 4
            blurFieldsByChannel(*want, 2.5, 3, alphaOnly);
            blurdetail::setKernelLevelCapForTesting(level);
            radialBlur(p.get(), 2.5, 3, alphaOnly);
            blurdetail::setKernelLevelCapForTesting(2);
            EXPECT_TRUE(samePixels(*p, *want))
                << (alphaOnly ? "alpha only" : "all fields") << ", level " << level;
        }

    CEL_PixmapRGBA16 canvas(120, 80);
    for (int y = 30; y < 40; ++y)
        for (int x = 50; x < 56; ++x) *canvas.pixel(x, y) = randomPixel(rng);
    *canvas.pixel(50, 30) = Pixel{100, 200, 300, 32767}; // corners of the content's box
    *canvas.pixel(55, 39) = Pixel{0, 0, 0, -5};
    const CEL_PixmapRGBA16 before(canvas);
    radialBlur(&canvas, 1.5, 2, false); // box (50, 30)-(56, 40) grown by 2 * 3
    Pixmap region(120, 80);
    const Math::Box2di box = Math::Box2di::fromCorners(44, 24, 62, 46);
    region.realloc(box, true);
    for (int y = box.y1(); y < box.y2(); ++y)
        for (int x = box.x1(); x < box.x2(); ++x) *region.pixel(x, y) = *before.pixel(x, y);
    blurFieldsByChannel(region, 1.5, 2, false);
    for (int y = 0; y < 80; ++y)
        for (int x = 0; x < 120; ++x) {
            const Pixel want = box.isContaining(x, y) ? *region.pixel(x, y) : *before.pixel(x, y);
            ASSERT_EQ(*canvas.pixel(x, y), want) << x << ", " << y;
        }

    CEL_PixmapRGBA16 empty(64, 64); // no content: nothing to blur
    radialBlur(&empty, 5.0, QUALITY_FOUR_PASSES, 0.0, false);
    EXPECT_EQ(empty.data()[64 * 32 + 32], (Pixel{0, 0, 0, 0}));
}

TEST(RadialBlur, SameResultAtAnyThreadCount) {
    std::mt19937 rng(5);
    PixmapPtr src = randomPixmap(rng, 640, 700, Math::Box2di(0, 0, 640, 700)); // five bands at q0, r 3
    PixmapPtr first;
    for (const int threads : {1, 2, 8, 0}) {
        tbb::task_arena arena(std::max(threads, 1));
        detail::setSerialForTesting(threads == 0);
        PixmapPtr got(src->clone());
        arena.execute([&] { radialBlur(got.get(), 3.0, QUALITY_FOUR_PASSES, 0.0, false); });
        detail::setSerialForTesting(false);
        if (!first)
            first = std::move(got);
        else
            EXPECT_TRUE(samePixels(*got, *first)) << threads << " threads";
    }
}

TEST(RadialBlur, QualityFormsUniformContentAndGuards) {
    std::mt19937 rng(3);
    PixmapPtr src = randomPixmap(rng, 50, 40, Math::Box2di(5, 5, 30, 25));
    PixmapPtr q1(src->clone()), plain(src->clone()), scaled(src->clone()), other(src->clone());
    radialBlur(q1.get(), 10.0, QUALITY_EIGHT_PASSES, 0.0, false);
    radialBlur(plain.get(), 4.0, 8, false);
    EXPECT_TRUE(samePixels(*q1, *plain));
    radialBlur(scaled.get(), 5.0, QUALITY_EIGHT_PASSES, 2.0, false); // the factor doubles the radius
    EXPECT_TRUE(samePixels(*scaled, *plain));
    radialBlur(other.get(), 10.0, Quality(2), 0.0, false);
    EXPECT_TRUE(samePixels(*other, *src));
    EXPECT_THROW(radialBlur(static_cast<Pixmap*>(nullptr), 1.0, QUALITY_FOUR_PASSES, 0.0, false),
                 AlgoException);

    for (const double r : {2.25, 10.6}) { // weights summing to one in float
        PixmapPtr uniform = filled(40, 30, Math::Box2di(0, 0, 40, 30), Pixel{1000, 2000, 32767, 30000});
        PixmapPtr before(uniform->clone());
        radialBlur(uniform.get(), r, QUALITY_FOUR_PASSES, 0.0, false);
        EXPECT_TRUE(samePixels(*uniform, *before)) << "radius " << r;
    }

    // Radii and passes that do nothing, and a radius far larger than the pixmap.
    PixmapPtr p(src->clone());
    for (const double r : {0.0, -2.0, std::nan("")}) radialBlur(p.get(), r, 4, false);
    radialBlur(p.get(), 3.0, 0, false);
    EXPECT_TRUE(samePixels(*p, *src));
    radialBlur(p.get(), 1e9, 4, false);
    EXPECT_EQ(p->allocatedRect(), p->canvasRect());
    float plane[4] = {};
    EXPECT_THROW(radialBlurChannel(2, nullptr, 1.0, 0, 1, 0, 1, plane, plane, plane, 1), AlgoException);
}

// The radius for sigma makes four passes spread a one-pixel line to a profile of
// variance sigma^2 (the line runs the full height, so only the spread across counts).
TEST(RadialBlur, RadiusForSigmaGivesTheVariance) {
    EXPECT_NEAR(radialRadiusForSigma(std::sqrt(48.0)), 8.0, 1e-9);
    EXPECT_EQ(radialRadiusForSigma(0.0), 0.0);
    for (const double sigma : {1.5, 3.0, 6.93, 12.0}) {
        Pixmap p(241, 9);
        p.realloc(p.canvasRect(), true);
        for (int y = 0; y < 9; ++y) *p.pixel(120, y) = Pixel{0, 0, 0, 32767};
        radialBlur(&p, radialRadiusForSigma(sigma), QUALITY_FOUR_PASSES, 0.0, false);
        double sum = 0.0, moment = 0.0;
        for (int x = 0; x < 241; ++x) {
            sum += p.pixel(x, 4)->a;
            moment += p.pixel(x, 4)->a * double(x - 120) * (x - 120);
        }
        EXPECT_NEAR(moment / sum, sigma * sigma, 0.01 * sigma * sigma) << "sigma " << sigma;
    }
}

PixmapPtr referenceFlicker(const Pixmap& src, double r) {
    const int n = int(std::floor(r)), w = src.allocatedWidth(), h = src.allocatedHeight();
    const float frac = float(r - n), divisor = float(2.0 * r + 1.0);
    PixmapPtr out(src.clone());
    for (int f = 0; f < 4; ++f)
        for (int x = 0; x < w; ++x)
            for (int y = 0; y < h; ++y) {
                const auto at = [&](int yy) {
                    return float(field(src.data()[std::clamp(yy, 0, h - 1) * w + x], f));
                };
                float s = 0.0f;
                for (int d = 1; d <= n; ++d) s += at(y - d), s += at(y + d);
                s += frac * at(y - n - 1), s += frac * at(y + n + 1);
                s += at(y);
                reinterpret_cast<int16_t*>(&out->data()[y * w + x])[f] = int16_t(std::trunc(s / divisor));
            }
    return out;
}

// One field through `passes` passes, every step as defined (end taps tested on both
// sides of the plane).
void referenceVariable(std::vector<short>& field, const std::vector<short>& map, double r1, double r2,
                       int passes, int w, int h) {
    std::vector<float> a(field.begin(), field.end()), b(a.size());
    const auto A = [&](long x, long y) { return a[std::size_t(y * w + x)]; };
    for (int p = 0; p < passes; ++p) {
        if (p > 0) a = b;
        for (long y = 0; y < h; ++y)
            for (long x = 0; x < w; ++x) {
                const float m = float(map[std::size_t(y * w + x)]) * 3.0518509e-5f;
                const float r = float((1.0 - m) * r1 + m * r2);
                long n = long(std::ceil(r));
                const float frac = r - std::floor(r);
                float W = 0.0f, S = 0.0f;
                if (x - n >= 0 && x - n < w) W += frac, S += frac * A(x - n, y);
                if (x + n < w && x + n >= 0) W += frac, S += frac * A(x + n, y);
                if (y - n >= 0 && y - n < h) W += frac, S += frac * A(x, y - n);
                if (y + n < h && y + n >= 0) W += frac, S += frac * A(x, y + n);
                if (frac > 0) n = n - 1;
                if (n < 1) {
                    W += 2, S += 2 * A(x, y);
                } else {
                    W += float(4 * n + 2);
                    for (long j = y - n; j <= y + n; ++j) S += A(x, std::clamp<long>(j, 0, h - 1));
                    for (long j = x - n; j <= x + n; ++j) S += A(std::clamp<long>(j, 0, w - 1), y);
                }
                b[std::size_t(y * w + x)] = S / W;
            }
    }
    for (std::size_t i = 0; i < field.size(); ++i) field[i] = short(int(std::trunc(double(b[i]) + 0.5)));
}

struct RefTap {
    int ox, oy;
    float w;
};

PixmapPtr referenceDirectional(const Pixmap& src, double angle, double length, double falloff,
                               bool transparent, bool smooth, bool alphaOnly) {
    falloff = std::clamp(falloff, 1e-10, 1.0);
    const double rad = angle * (std::numbers::pi / 180.0);
    const double dx = std::cos(rad) * length, dy = -std::sin(rad) * length;
    const int n = int(std::ceil(std::max(std::fabs(dx), std::fabs(dy))));
    const bool yMajor = std::fabs(dx) <= std::fabs(dy);
    const double major = yMajor ? dy : dx;
    const int s = major < 0 ? -1 : 1;
    std::vector<RefTap> taps;
    for (int i = 0; i < n; ++i) {
        const int m = i * s;
        const double t = m * (yMajor ? dx / dy : dy / dx), f = std::floor(t);
        const double w = 1.0 - std::pow(i, falloff) / n;
        float w0 = float(w * (f + 1 - t)), w1 = float(w * (t - f));
        if (i == n - 1 && n > std::fabs(major))
            w0 = float(w0 * (std::fabs(major) - (n - 1))), w1 = float(w1 * (std::fabs(major) - (n - 1)));
        taps.push_back(yMajor ? RefTap{int(f), m, w0} : RefTap{m, int(f), w0});
        taps.push_back(yMajor ? RefTap{int(f) + 1, m, w1} : RefTap{m, int(f) + 1, w1});
    }
    int bx1 = 0, by1 = 0, bx2 = 0, by2 = 0;
    for (const RefTap& t : taps)
        bx1 = std::min(bx1, -t.ox), bx2 = std::max(bx2, -t.ox), by1 = std::min(by1, -t.oy),
        by2 = std::max(by2, -t.oy);
    const Math::Box2di in = src.allocatedRect();
    Math::Box2di rect(in.x1() + bx1, in.y1() + by1, in.w() + bx2 - bx1, in.h() + by2 - by1);
    if (smooth) rect = rect.getEnlarged(5);
    rect = rect.getIntersection(src.canvasRect());
    auto out = std::make_unique<Pixmap>(src.size(), src.canvasRect());
    out->realloc(rect, true);
    for (int y = rect.y1(); y < rect.y2(); ++y)
        for (int x = rect.x1(); x < rect.x2(); ++x) {
            const int ac = src.pixel(x, y) ? src.pixel(x, y)->a : 0;
            double S[4] = {0, 0, 0, 0}, W = 0;
            for (const RefTap& t : taps) {
                const Pixel* p = src.pixel(x + t.ox, y + t.oy);
                if (!p) {
                    if (transparent || ac < 1) W += t.w;
                    continue;
                }
                double wp = t.w;
                if (!transparent && p->a < ac) wp = ac == 0 ? 0.0 : (double(p->a) / ac) * t.w;
                for (int f = 0; f < 4; ++f) S[f] += field(*p, f) * wp;
                W += wp;
            }
            int16_t* d = reinterpret_cast<int16_t*>(out->pixel(x, y));
            for (int f = alphaOnly ? 3 : 0; f < 4; ++f)
                d[f] = int16_t(std::max(std::trunc(std::min(S[f] / W, 32767.0)), -32768.0));
        }
    if (smooth && rect.w() >= 2 && rect.h() >= 2)
        for (int pass = 0; pass < 3; ++pass) {
            PixmapPtr next(out->clone());
            for (int y = rect.y1(); y < rect.y2(); ++y)
                for (int x = rect.x1(); x < rect.x2(); ++x)
                    for (int f = 0; f < 4; ++f) {
                        int sum = 0, count = 0;
                        for (int v = y - 1; v <= y + 1; ++v)
                            for (int u = x - 1; u <= x + 1; ++u)
                                if (rect.isContaining(u, v)) sum += field(*out->pixel(u, v), f), ++count;
                        reinterpret_cast<int16_t*>(next->pixel(x, y))[f] = int16_t(sum / count);
                    }
            out = std::move(next);
        }
    return out;
}

TEST(FlickerBlur, MatchesThePlainLoopAndRefusesLargeRadii) {
    std::mt19937 rng(1);
    for (const double r : {1.0, 2.6, 7.25}) {
        PixmapPtr src = randomPixmap(rng, 40, 50, Math::Box2di(-6, 3, 33, 41));
        std::unique_ptr<Pixmap> got(flickerBlur(src.get(), r));
        EXPECT_EQ(got->canvasRect(), src->canvasRect());
        EXPECT_TRUE(samePixels(*got, *referenceFlicker(*src, r))) << "radius " << r;
        EXPECT_FALSE(got->areAllPositive());
    }
    PixmapPtr two = randomPixmap(rng, 8, 2, Math::Box2di(0, 0, 8, 2));
    const auto refusal = [&](double r) { return thrownText([&] { delete flickerBlur(two.get(), r); }); };
    EXPECT_EQ(refusal(1.0), "invalid parameter. radius too large");
    for (const double r : {0.0, -1.0, std::nan("")}) EXPECT_EQ(refusal(r), "invalid parameter.") << r;
}

// Tone strengths and a negative radius give negative per-pixel radii: the end taps
// then lie on the other side and must still be inside the plane.
TEST(VariableBlur, ChannelMatchesThePlainLoop) {
    std::mt19937 rng(4);
    for (const auto& [r1, r2, passes] :
         {std::tuple{0.0, 6.5, 2}, {2.0, 0.0, 3}, {-3.5, 4.0, 1}, {1.0, 1.0, 1}}) {
        const int w = 27, h = 21;
        std::vector<Pixel> pixels(std::size_t(w) * h), map(pixels.size());
        for (Pixel& p : pixels) p = randomPixel(rng);
        for (Pixel& m : map) m = randomPixel(rng);
        for (int f = 0; f < 4; ++f) {
            std::vector<short> want(pixels.size()), strength(pixels.size());
            for (std::size_t i = 0; i < pixels.size(); ++i)
                want[i] = field(pixels[i], f), strength[i] = map[i].a;
            referenceVariable(want, strength, r1, r2, passes, w, h);
            std::vector<Pixel> got = pixels;
            variableBlurChannel(reinterpret_cast<short*>(got.data()) + f, &map[0].a, r1, r2, passes, w, h);
            for (std::size_t i = 0; i < got.size(); ++i)
                ASSERT_EQ(field(got[i], f), want[i])
                    << "radii " << r1 << ", " << r2 << " field " << f << " at " << i;
        }
    }
}

TEST(VariableBlur, GrowsKeepsShapeAndNeverShrinks) {
    std::mt19937 rng(8);
    PixmapPtr dst = randomPixmap(rng, 60, 50, Math::Box2di(20, 20, 10, 8));
    PixmapPtr map = randomPixmap(rng, 60, 50, Math::Box2di(0, 0, 60, 50));
    PixmapPtr kept(dst->clone()), plain(dst->clone());
    variableBlur(plain.get(), map.get(), 1.0, 2.5, 2, false, false);
    const Math::Box2di grown = Math::Box2di::fromCorners(11, 11, 39, 37); // by ceil(2.5) * 3
    PixmapPtr want(dst->clone()), strength(map->clone(grown));
    want->realloc(grown, true);
    for (int f = 0; f < 4; ++f)
        variableBlurChannel(reinterpret_cast<short*>(want->data()) + f, &strength->data()->a, 1.0, 2.5, 2,
                            grown.w(), grown.h());
    EXPECT_TRUE(samePixels(*plain, *want)); // the four fields at once equal the channel function
    variableBlur(kept.get(), map.get(), 1.0, 2.5, 2, true, false);
    ASSERT_EQ(kept->allocatedRect(), plain->allocatedRect());
    for (int y = 11; y < 37; ++y)
        for (int x = 11; x < 39; ++x) {
            const Pixel* before = dst->pixel(x, y);
            const bool shape = before && before->a != 0;
            ASSERT_EQ(*kept->pixel(x, y),
                      shape ? *plain->pixel(x, y) : (before ? *before : Pixel{0, 0, 0, 0}));
        }

    PixmapPtr still(dst->clone());
    variableBlur(still.get(), map.get(), -2.0, -1.0, 3, false, false);
    EXPECT_EQ(still->allocatedRect(), dst->allocatedRect());
    PixmapPtr untouched(dst->clone());
    variableBlur(untouched.get(), map.get(), 0.0, 0.0, true, QUALITY_FOUR_PASSES, 1.0);
    EXPECT_TRUE(samePixels(*untouched, *dst));
    EXPECT_THROW(variableBlur(still.get(), nullptr, 1.0, 2.0, false, QUALITY_FOUR_PASSES, 0.0),
                 AlgoException);
}

TEST(DirectionalBlur, EveryFlagCombinationMatchesThePlainLoop) {
    std::mt19937 rng(9);
    PixmapPtr src = randomPixmap(rng, 48, 40, Math::Box2di(-4, 6, 40, 30));
    for (const auto& [angle, length, falloff] :
         {std::tuple{30.0, 5.5, 1.0}, {90.0, 4.0, 0.5}, {200.0, 7.3, 2.0}, {-45.0, 3.0, 0.0}})
        for (int flags = 0; flags < 8; ++flags) {
            const bool transparent = flags & 1, smooth = flags & 2, alphaOnly = flags & 4;
            std::unique_ptr<Pixmap> got(
                directionalBlur(src.get(), angle, length, falloff, 0.0, transparent, smooth, alphaOnly));
            const PixmapPtr want =
                referenceDirectional(*src, angle, length, falloff, transparent, smooth, alphaOnly);
            ASSERT_TRUE(got);
            EXPECT_TRUE(samePixels(*got, *want)) << "angle " << angle << " flags " << flags;
            EXPECT_EQ(got->areAllPositive(), src->areAllPositive());
        }
    EXPECT_EQ(directionalBlur(src.get(), 10.0, 0.0, 1.0, 0.0, false, false, false), nullptr);
    EXPECT_EQ(directionalBlur(src.get(), 10.0, 1e-320, 1.0, 0.0, false, false, false), nullptr);
    EXPECT_THROW(delete directionalBlur(src.get(), 10.0, 1e9, 1.0, 0.0, false, false, false), AlgoException);
    std::unique_ptr<Pixmap> doubled(directionalBlur(src.get(), 30.0, 2.75, 1.0, 2.0, false, false, false));
    EXPECT_TRUE(samePixels(*doubled, *referenceDirectional(*src, 30.0, 5.5, 1.0, false, false, false)));
}

// Motion blur: a kernel picture convolved with the source.

// A kernel canvas of cw x ch allocated to alloc, alpha from f(x, y) (canvas coordinates).
template <class F> PixmapPtr makeKernel(int cw, int ch, const Math::Box2di& alloc, const F& f) {
    auto k = std::make_unique<Pixmap>(cw, ch);
    k->realloc(alloc, true);
    for (int y = alloc.y1(); y < alloc.y2(); ++y)
        for (int x = alloc.x1(); x < alloc.x2(); ++x) k->pixel(x, y)->a = int16_t(f(x, y));
    return k;
}

PixmapPtr blur(Pixmap* src, Pixmap* kernel, const Math::Box2di& canvas, bool clampNegative = false) {
    return PixmapPtr(motionBlur(src, kernel, canvas, 1.0, clampNegative));
}

// The value at canvas (x, y) of the blurred field, or 0 outside the allocation.
int16_t at(const Pixmap& p, int x, int y, int f) {
    return p.allocatedRect().isContaining(x, y) ? field(*p.pixel(x, y), f) : int16_t(0);
}

TEST(MotionBlur, MatchesADirectConvolution) {
    std::mt19937 rng(5);
    for (int trial = 0; trial < 4; ++trial) {
        auto src = comptest::randomPixmap(rng, 40, 30, Math::Box2di(3 + trial, 2, 29, 21));
        // An off-centre kernel with positive and a few negative weights; the
        // last one a single row (convolved along rows only).
        const int kw = 7 + trial, kh = trial == 3 ? 1 : 5;
        auto kernel = makeKernel(kw, kh, Math::Box2di(1, 0, kw - 1, kh), [&](int, int) {
            const int v = int(rng() % 3000);
            return rng() % 5 == 0 ? -v / 3 : v;
        });
        auto out = blur(src.get(), kernel.get(), Math::Box2di(-20, -20, 100, 100));
        int64_t sum = 0;
        for (int64_t i = 0; i < kernel->allocatedArea(); ++i) sum += kernel->data()[i].a;
        ASSERT_NE(sum, 0);
        const Math::Box2di& r = out->allocatedRect();
        // left = kw / 2 - 1, right = kw - 1 - kw / 2 + 1.
        EXPECT_EQ(r, Math::Box2di::fromCorners(src->allocatedX1() - (kw / 2 - 1), src->allocatedY1() - kh / 2,
                                               src->allocatedX2() + (kw - kw / 2),
                                               src->allocatedY2() + kh - kh / 2));
        int ties = 0;
        for (int y = r.y1(); y < r.y2(); ++y)
            for (int x = r.x1(); x < r.x2(); ++x)
                for (int f = 0; f < 4; ++f) {
                    int64_t num = 0; // sum of K(d) * src(p - d), d relative to the kernel's centre
                    for (int ky = 0; ky < kh; ++ky)
                        for (int kx = 1; kx < kw; ++kx) {
                            const int sx = x - (kx - kw / 2), sy = y - (ky - kh / 2);
                            if (src->allocatedRect().isContaining(sx, sy))
                                num += int64_t(kernel->pixel(kx, ky)->a) * field(*src->pixel(sx, sy), f);
                        }
                    const double exact = double(num) / double(sum);
                    const double expect = std::clamp(std::round(exact), -32767.0, 32767.0);
                    const double got = field(*out->pixel(x, y), f);
                    if (std::fabs(std::fabs(exact - std::trunc(exact)) - 0.5) > 0.01) {
                        ASSERT_EQ(got, expect) << x << "," << y << " field " << f << " exact " << exact;
                    } else {
                        ++ties;
                        ASSERT_NEAR(got, expect, 1.0);
                    }
                }
        EXPECT_LT(ties, r.area() / 10);
    }
}

TEST(MotionBlur, NegativeWeightsClampExtentsAndIntensity) {
    auto src = filled(16, 1, Math::Box2di(4, 0, 1, 1), Pixel{20000, 20000, 20000, 20000});
    // Weight 2 at the origin, -1 one to the right: sum 1.
    auto kernel = makeKernel(3, 1, Math::Box2di(1, 0, 2, 1), [](int x, int) { return x == 1 ? 2 : -1; });
    auto kept = blur(src.get(), kernel.get(), src->canvasRect(), false);
    EXPECT_EQ(at(*kept, 4, 0, 0), 32767); // 40000 saturated
    EXPECT_EQ(at(*kept, 5, 0, 3), -20000);
    EXPECT_FALSE(kept->areAllPositive());
    auto clamped = blur(src.get(), kernel.get(), src->canvasRect(), true);
    EXPECT_EQ(at(*clamped, 5, 0, 3), 0);
    EXPECT_TRUE(clamped->areAllPositive());
    src->setAllPositive(false);
    EXPECT_FALSE(blur(src.get(), kernel.get(), src->canvasRect(), true)->areAllPositive());

    src = randomPixmap(20, 20, Math::Box2di(2, 3, 10, 7), 11);
    auto one = makeKernel(1, 1, Math::Box2di(0, 0, 1, 1), [](int, int) { return 123; });
    auto out = blur(src.get(), one.get(), src->canvasRect());
    // One column and row more than the source, though the kernel reaches nowhere.
    EXPECT_EQ(out->allocatedRect(), Math::Box2di(2, 3, 11, 8));
    EXPECT_EQ(*out->pixel(12, 5), (Pixel{0, 0, 0, 0}));
    // The intensity goes through increaseIntensity: a half turns 1000 into 500.
    auto flat = filled(4, 4, Math::Box2di(0, 0, 4, 4), Pixel{1000, 1000, 1000, 1000});
    PixmapPtr half(motionBlur(flat.get(), one.get(), flat->canvasRect(), 0.5, false));
    EXPECT_EQ(*half->pixel(1, 1), (Pixel{500, 500, 500, 500}));
}

TEST(MotionBlur, SameAtAnyThreadCount) {
    std::mt19937 rng(3);
    auto src = comptest::randomPixmap(rng, 300, 90, Math::Box2di(0, 0, 300, 90));
    auto kernel = makeKernel(33, 17, Math::Box2di(0, 0, 33, 17), [&](int, int) { return int(rng() % 500); });
    PixmapPtr a, b;
    tbb::task_arena(1).execute([&] { a = blur(src.get(), kernel.get(), src->canvasRect()); });
    tbb::task_arena(2).execute([&] { b = blur(src.get(), kernel.get(), src->canvasRect()); });
    EXPECT_TRUE(comptest::samePixels(*a, *b));
}

TEST(MotionBlur, BadInput) {
    auto src = std::make_unique<Pixmap>(8, 8);
    auto kernel = makeKernel(3, 3, Math::Box2di(0, 0, 3, 3), [](int, int) { return 1; });
    EXPECT_THROW(motionBlur(nullptr, kernel.get(), src->canvasRect(), 1.0, false), AlgoException);
    EXPECT_THROW(motionBlur(src.get(), nullptr, src->canvasRect(), 1.0, false), AlgoException);
    // No pixels: an empty result on the given canvas.
    PixmapPtr empty(motionBlur(src.get(), kernel.get(), Math::Box2di(0, 0, 5, 6), 1.0, false));
    EXPECT_EQ(empty->allocatedArea(), 0);
    EXPECT_EQ(empty->canvasRect(), Math::Box2di(0, 0, 5, 6));
    // The transform arrays are checked against the byte cap before allocating.
    src->realloc(src->canvasRect(), true);
    EXPECT_EQ(thrownText([&] {
                  const pixeltest::ByteCap cap(2 * 16 * 16 * 16 - 1); // 16 x 16 needed
                  delete motionBlur(src.get(), kernel.get(), src->canvasRect(), 1.0, false);
              }),
              "out of memory");
    // A kernel reaching far: W2 over the byte cap, not an overflow.
    auto far = makeKernel(3, 3, Math::Box2di(1 << 29, 0, 1, 1), [](int, int) { return 1; });
    EXPECT_THROW(motionBlur(src.get(), far.get(), src->canvasRect(), 1.0, false), AlgoException);
}

} // namespace
