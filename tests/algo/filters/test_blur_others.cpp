// flickerBlur, variableBlurChannel and directionalBlur against plain reference
// loops written here from their definitions, bit for bit, on random content with
// tone and additive-light pixels and allocations partly off the canvas.
#include <numbers>
#include <tuple>

#include "algo/composite/AlgoException.h"
#include "algo/composite/test_composite_util.h"
#include "algo/filters/Blur.h"

using namespace comptest;
using namespace CelAlgo;

namespace {

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

} // namespace

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
    const auto refusal = [&](double r) {
        try {
            delete flickerBlur(two.get(), r);
        } catch (const AlgoException& e) {
            return e.what().toStdString();
        }
        return std::string("none");
    };
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
    EXPECT_EQ(plain->allocatedRect(), grown);
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
