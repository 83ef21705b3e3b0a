// Depth compositing worked by hand, and random layers at several thread counts.

#include <cfloat>

#include <tbb/task_arena.h>

#include "algo/composite/Composite3D.h"
#include "pixel/PixelTestUtil.h"
#include "pixel/PixmapArea3D.h"
#include "test_composite_util.h"

namespace {

using namespace comptest;
using Plane = ALGO_Composite3D::PixelPlane;

std::unique_ptr<CEL_PixmapAreaRGBA16> colour(int w, int h, const std::vector<CEL_PixelRGBA16>& pixels) {
    auto p = std::make_unique<CEL_PixmapAreaRGBA16>(w, h);
    p->realloc(p->canvasRect(), true);
    std::copy(pixels.begin(), pixels.end(), p->data());
    return p;
}

std::unique_ptr<CEL_PixmapAreaRGBA16> filled(int w, int h, const CEL_PixelRGBA16& c) {
    return colour(w, h, std::vector<CEL_PixelRGBA16>(std::size_t(w * h), c));
}

std::unique_ptr<CEL_PixmapAreaZ> depth(int w, int h, const std::vector<float>& z) {
    auto p = std::make_unique<CEL_PixmapAreaZ>(w, h);
    p->realloc(p->canvasRect(), true);
    for (std::size_t i = 0; i < z.size(); ++i) p->data()[i] = z[i];
    return p;
}

// The depths of the list at (x, y), near to far.
std::vector<float> depthsAt(const CEL_PixmapArea3D& p, int x, int y) {
    std::vector<float> z;
    for (const CEL_Pixel3D* s = p.pixel(x, y); s && !s->colour.isBlack();
         s = s->next ? &p.pixels()[s->next] : nullptr)
        z.push_back(s->z);
    return z;
}

CEL_PixelRGBA16 flat(const CEL_PixmapArea3D& p, int x, int y) {
    const std::unique_ptr<CEL_Representation> r(p.convertTo(CEL_Representation::PIXMAP_AREA_RGBA16));
    return *static_cast<CEL_PixmapAreaRGBA16*>(r.get())->pixel(x, y);
}

// Same rectangles, identifier, heads and store, bit for bit.
::testing::AssertionResult identical(const CEL_PixmapArea3D& a, const CEL_PixmapArea3D& b) {
    const auto same = [](const CEL_Pixel3D* p, const CEL_Pixel3D* q, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i)
            if (!(p[i].colour == q[i].colour && p[i].z == q[i].z &&
                  p[i].depthBufferId == q[i].depthBufferId && p[i].next == q[i].next))
                return false;
        return true;
    };
    if (a.allocatedRect() != b.allocatedRect() || a.currentDepthBufferId() != b.currentDepthBufferId() ||
        a.pixels().size() != b.pixels().size())
        return ::testing::AssertionFailure() << "rectangles, identifiers or store sizes differ";
    if (!same(a.data(), b.data(), std::size_t(a.allocatedArea())) ||
        !same(a.pixels().data(), b.pixels().data(), a.pixels().size()))
        return ::testing::AssertionFailure() << "heads or samples differ";
    return ::testing::AssertionSuccess();
}

// The protected steps the hand-worked cases call.
struct Probe : ALGO_Composite3D {
    Probe() : ALGO_Composite3D(nullptr) {}
    using ALGO_Composite3D::getSrcCoverage;
};

Plane plane(float up, float right, float left, float down) {
    return Plane{up, right, left, down, false};
}

// Every link of every list names a sample of the store.
bool listsValid(const CEL_PixmapArea3D& p) {
    for (long long i = 0; i < p.allocatedArea(); ++i) {
        std::size_t steps = 0;
        for (unsigned long long n = p.data()[i].next; n != 0; n = p.pixels()[n].next)
            if (n >= p.pixels().size() || ++steps > p.pixels().size()) return false;
    }
    return true;
}

TEST(DepthCompositing, CoverageCases) {
    const Probe p;
    // Level everywhere: not behind anywhere.
    EXPECT_EQ(p.getSrcCoverage(plane(5, 5, 5, 5), plane(5, 5, 5, 5)), 1.0f);
    EXPECT_EQ(p.getSrcCoverage(plane(9, 9, 9, 9), plane(5, 5, 5, 5)), 0.0f);
    // One corner behind; one in front; two against two (the two halves of a diagonal cut).
    const float third = 2.0f / 3.0f, fifth = 1.0f / 5.0f, oneThird = 1.0f / 3.0f;
    EXPECT_EQ(p.getSrcCoverage(plane(3, 0, 0, 0), 1.0f), 1.0f - 0.5f * third * third);
    EXPECT_EQ(p.getSrcCoverage(plane(0, 3, 3, 3), 1.0f), 0.5f * oneThird * oneThird);
    EXPECT_EQ(p.getSrcCoverage(plane(0, 0, 3, 5), 1.0f), 0.5f * (fifth + oneThird));
    EXPECT_EQ(p.getSrcCoverage(plane(3, 3, 1, 0), 2.0f), 1.0f - 0.5f * (oneThird + 0.5f));
    // Two flat surfaces compare depths.
    EXPECT_EQ(p.getSrcCoverage(Plane{4, 4, 4, 4, true}, 4.0f), 1.0f);
    EXPECT_EQ(p.getSrcCoverage(Plane{4, 4, 4, 4, true}, Plane{3, 3, 3, 3, true}), 0.0f);
    // No depth and the float extremes never give NaN.
    const float extremes[] = {CEL_PixelFloat::Zero, FLT_MAX, 0.0f, 1.0f};
    for (float a : extremes)
        for (float b : extremes)
            for (float s : extremes) {
                const float c = p.getSrcCoverage(plane(a, b, a, b), plane(s, a, b, s));
                EXPECT_TRUE(c >= 0.0f && c <= 1.0f) << a << " " << b << " " << s;
            }
}

TEST(DepthCompositing, FlatLayersAndIdentifiers) {
    CEL_PixmapArea3D dst(1, 1);
    ALGO_Composite3D comp(&dst);
    comp.composite2d(filled(1, 1, px(100, 0, 0, 16383)).get(), 5.0f);
    comp.composite2d(filled(1, 1, px(0, 100, 0, 16383)).get(), 3.0f);
    EXPECT_EQ(depthsAt(dst, 0, 0), (std::vector<float>{5.0f, 3.0f}));
    // Opaque in front replaces the head and cuts the list; behind an opaque head: nothing.
    comp.composite2d(filled(1, 1, px(0, 0, 32767, 32767)).get(), 10.0f);
    comp.composite2d(filled(1, 1, px(32767, 0, 0, 32767)).get(), 5.0f);
    EXPECT_EQ(depthsAt(dst, 0, 0), std::vector<float>{10.0f});
    EXPECT_EQ(flat(dst, 0, 0), px(0, 0, 32767, 32767));
    // At the same depth the later layer is in front; planes of the constant kind are flat.
    CEL_PixmapArea3D level(1, 1);
    ALGO_Composite3D onLevel(&level);
    onLevel.composite2d(filled(1, 1, px(16383, 0, 0, 16383)).get(), 1.0f);
    onLevel.composite2d(filled(1, 1, px(0, 0, 32767, 32767)).get(), Math::PlanarDepthBuffer(1.0));
    EXPECT_EQ(flat(level, 0, 0), px(0, 0, 32767, 32767));
    EXPECT_EQ(level.currentDepthBufferId(), 0u);

    // One identifier per composite3d, stored as is; a merge adds the source's.
    const auto z = depth(1, 1, {2.0f});
    comp.composite3d(filled(1, 1, px(1, 1, 1, 100)).get(), z.get());
    comp.composite3d(filled(1, 1, px(1, 1, 1, 100)).get(), z.get());
    EXPECT_EQ(dst.currentDepthBufferId(), 2u);
    CEL_PixmapArea3D other(1, 1);
    ALGO_Composite3D(&other).composite3d(filled(1, 1, px(5, 5, 5, 32767)).get(), z.get());
    comp.composite3d(&other);
    EXPECT_EQ(dst.currentDepthBufferId(), 3u);
}

TEST(DepthCompositing, CrossingSurfacesMix) {
    // Blue on a surface tilted across the centre pixel, red flat at its depth:
    // up and down are behind, left and right in front: an even mix.
    // Steeper than the match tolerance: the centre is decided by depth alone.
    for (const float tilt : {0.05f, 0.5f}) {
        CEL_PixmapArea3D dst(3, 3);
        ALGO_Composite3D comp(&dst);
        comp.composite3d(filled(3, 3, px(0, 0, 32767, 32767)).get(),
                         depth(3, 3, {1, 1 + tilt, 1, 1 - tilt, 1, 1 - tilt, 1, 1 + tilt, 1}).get());
        comp.composite2d(filled(3, 3, px(32767, 0, 0, 32767)).get(), 1.0f);
        EXPECT_EQ(flat(dst, 1, 1), tilt < 0.1f ? px(16383, 0, 16383, 32767) : px(32767, 0, 0, 32767));
        EXPECT_EQ(depthsAt(dst, 1, 1).size(), 1u);
    }

    // A silhouette beside a pixel without depth: that neighbour counts as
    // infinitely far, so the edge pixel is half covered although its own depth
    // is in front.
    CEL_PixmapArea3D edge(3, 1);
    ALGO_Composite3D onEdge(&edge);
    onEdge.composite2d(filled(3, 1, px(0, 0, 32767, 32767)).get(), 3.0f);
    onEdge.composite3d(colour(3, 1, {px(32767, 0, 0, 32767), px(32767, 0, 0, 32767), px(0, 0, 0, 0)}).get(),
                       depth(3, 1, {5.0f, 5.0f, CEL_PixelFloat::Zero}).get());
    EXPECT_EQ(flat(edge, 0, 0), px(32767, 0, 0, 32767));
    EXPECT_EQ(flat(edge, 1, 0), px(16383, 0, 16383, 32767));
    EXPECT_EQ(flat(edge, 2, 0), px(0, 0, 32767, 32767));
}

TEST(DepthCompositing, FailuresLeaveTheDestination) {
    const auto src = filled(4, 4, px(100, 100, 100, 16383));
    CEL_PixmapArea3D dst(64, 64); // the layer covers a corner
    ALGO_Composite3D comp(&dst);
    comp.composite2d(src.get(), 2.0f);
    const std::unique_ptr<CEL_PixmapArea3D> before(dst.clone());
    EXPECT_EQ(thrownText([&] { ALGO_Composite3D(nullptr).composite2d(src.get(), 1.0f); }), "invalid pointer");
    EXPECT_EQ(thrownText([&] { comp.composite3d(src.get(), nullptr); }), "invalid pointer");
    EXPECT_EQ(thrownText([&] { ALGO_3D::applyMask(nullptr, src.get(), true); }), "invalid pointer");
    CEL_PixmapAreaZ shortZ(4, 4);
    shortZ.realloc(Math::Box2di(0, 0, 4, 3), true);
    EXPECT_EQ(thrownText([&] { comp.composite3d(src.get(), &shortZ); }), "incorrect parameters");
    // Heads beyond the byte cap.
    const auto wide = filled(64, 64, px(1, 1, 1, 100));
    EXPECT_EQ(thrownText([&] {
                  const pixeltest::ByteCap cap(4096);
                  comp.composite2d(wide.get(), 1.0f);
              }),
              "out of memory");
    EXPECT_TRUE(identical(dst, *before));

    // A store that cannot grow: every list is still whole.
    const auto near = depth(4, 4, std::vector<float>(16, 1.0f));
    EXPECT_EQ(thrownText([&] {
                  const pixeltest::ByteCap cap(sizeof(CEL_Pixel3D) * 10);
                  comp.composite3d(src.get(), near.get());
              }),
              "out of memory");
    EXPECT_TRUE(listsValid(dst));
}

TEST(DepthCompositing, Mask) {
    auto build = [] {
        auto p = std::make_unique<CEL_PixmapArea3D>(3, 1);
        ALGO_Composite3D comp(p.get());
        comp.composite2d(filled(3, 1, px(0, 0, 32767, 32767)).get(), 1.0f);
        comp.composite2d(filled(3, 1, px(8000, 0, 0, 16000)).get(), 2.0f);
        return p;
    };
    // No mask: nothing, or (inside) nothing left.
    auto p = build();
    const std::unique_ptr<CEL_PixmapArea3D> original(p->clone());
    ALGO_3D::applyMask(p.get(), nullptr, false);
    EXPECT_TRUE(identical(*p, *original));
    ALGO_3D::applyMask(p.get(), nullptr, true);
    EXPECT_TRUE(p->allocatedRect().hasNullArea());

    // Inside: full alpha keeps, 0 empties, a half weighs the samples near to far.
    const auto mask = colour(3, 1, {px(0, 0, 0, 32767), px(0, 0, 0, 0), px(0, 0, 0, 16383)});
    p = build();
    ALGO_3D::applyMask(p.get(), mask.get(), true);
    EXPECT_EQ(depthsAt(*p, 0, 0), (std::vector<float>{2.0f, 1.0f}));
    EXPECT_TRUE(p->pixel(1, 0)->colour.isBlack() && p->pixel(1, 0)->next == 0);
    const double f0 = 16383.0 / 32767.0, P = 16000 * f0, f1 = (16383.0 - P) / (32767.0 - P);
    const std::vector<CEL_Pixel3D> list = {*p->pixel(2, 0), p->pixels()[p->pixel(2, 0)->next]};
    EXPECT_EQ(list[0].colour, px(int(8000 * f0 + 0.5), 0, 0, int(16000 * f0 + 0.5)));
    EXPECT_EQ(list[1].colour, px(0, 0, int(32767 * f1 + 0.5), int(32767 * f1 + 0.5)));
    // Outside: the complement.
    p = build();
    ALGO_3D::applyMask(p.get(), mask.get(), false);
    EXPECT_TRUE(p->pixel(0, 0)->colour.isBlack());
    EXPECT_EQ(flat(*p, 1, 0), flat(*original, 1, 0));
}

TEST(DepthCompositing, ExpandedDepthAndGreyPicture) {
    // Row 0: a hole with depth two columns to its right, a transparent pixel
    // without depth; row 1: a hole right under a pixel with depth.
    const auto c = colour(5, 2,
                          {px(1, 0, 0, 1), px(1, 0, 0, 1), px(0, 0, 0, 0), px(1, 0, 0, 1), px(1, 0, 0, 1),
                           px(0, 0, 0, 0), px(0, 0, 0, 0), px(0, 0, 0, 0), px(0, 0, 0, 0), px(1, 0, 0, 1)});
    const float Z = CEL_PixelFloat::Zero;
    const auto d = depth(5, 2, {Z, Z, Z, 7.0f, Z, Z, Z, Z, Z, Z});
    const std::unique_ptr<CEL_PixmapAreaZ> e(ALGO_3D::copyExpandDepthBuffer(c.get(), d.get()));
    ASSERT_TRUE(e);
    std::vector<float> got;
    for (int i = 0; i < 10; ++i) got.push_back(e->data()[i].isZero() ? -1.0f : *e->data()[i]);
    EXPECT_EQ(got, (std::vector<float>{7.0f, 7.0f, -1.0f, 7.0f, 7.0f, -1.0f, -1.0f, -1.0f, -1.0f, 7.0f}));
    EXPECT_EQ(ALGO_3D::copyExpandDepthBuffer(nullptr, d.get()), nullptr);

    // Grey between the limits (upper first), half blue without depth.
    const auto g = depth(4, 1, {1.0f, 3.0f, 2.0f, Z});
    const std::unique_ptr<CEL_PixmapAreaRGBA16> all(
        ALGO_3D::depthBufferToGrayScale(g.get(), HUGE_VAL, -HUGE_VAL));
    ASSERT_TRUE(all);
    EXPECT_EQ(*all->pixel(0, 0), px(0, 0, 0, 32767));
    EXPECT_EQ(*all->pixel(2, 0), px(16383, 16383, 16383, 32767));
    EXPECT_EQ(*all->pixel(3, 0), px(0, 0, 16383, 32767));
    // Every depth outside the limits: black above the lower one, half blue at or below it.
    const std::unique_ptr<CEL_PixmapAreaRGBA16> none(ALGO_3D::depthBufferToGrayScale(g.get(), 1.5, 1.0));
    EXPECT_EQ(*none->pixel(0, 0), px(0, 0, 16383, 32767));
    EXPECT_EQ(*none->pixel(1, 0), px(0, 0, 0, 32767));
    // The picture covers the canvas; outside the depth's rectangle it is half blue.
    CEL_PixmapAreaZ part(3, 1);
    part.realloc(Math::Box2di(1, 0, 1, 1), true);
    *part.pixel(1, 0) = 4.0f;
    const std::unique_ptr<CEL_PixmapAreaRGBA16> whole(ALGO_3D::depthBufferToGrayScale(&part, 10, 0));
    EXPECT_EQ(whole->allocatedRect(), Math::Box2di(0, 0, 3, 1));
    EXPECT_EQ(*whole->pixel(0, 0), px(0, 0, 16383, 32767));
}

// Flat, planar, per-pixel and merged layers: the stores and heads must be identical
// at 1, 2 and 4 threads.

constexpr int kW = 160, kH = 120;

// A plane of gentle slope, with a few jumps, holes and depths copied exactly from `level`.
std::shared_ptr<CEL_PixmapAreaZ> randomDepth(std::mt19937& rng, const Math::Box2di& rect, double z0,
                                             double dx, double dy, const CEL_PixmapAreaZ* level) {
    auto p = std::make_shared<CEL_PixmapAreaZ>(kW, kH);
    p->realloc(rect, true);
    std::uniform_int_distribution<int> roll(0, 99);
    for (int y = rect.y1(); y < rect.y2(); ++y)
        for (int x = rect.x1(); x < rect.x2(); ++x) {
            const int k = roll(rng);
            float z = float(z0 + dx * x + dy * y);
            if (k < 2)
                z = CEL_PixelFloat::Zero;
            else if (k < 5)
                z += 0.3f;
            else if (k < 12 && level && level->pixel(x, y))
                z = **level->pixel(x, y);
            *p->pixel(x, y) = z;
        }
    return p;
}

// Each layer composited by a compositor of its own.
using Layer = std::function<void(ALGO_Composite3D&)>;

std::vector<Layer> randomLayers(unsigned seed) {
    std::mt19937 rng(seed);
    const auto paint = [&](const Math::Box2di& r) {
        return std::shared_ptr<CEL_PixmapAreaRGBA16>(comptest::randomPixmap(rng, kW, kH, r));
    };
    const auto first = paint({-10, 5, 100, 90}), planar = paint({20, -5, 150, 140}),
               per = paint({0, 0, kW, kH});
    const auto perZ = randomDepth(rng, Math::Box2di(0, 0, kW, kH), 1.2, -0.006, 0.004, nullptr);
    const auto crossing = paint({30, 10, 120, 110});
    const auto crossingZ = randomDepth(rng, Math::Box2di(30, 10, 120, 110), 0.6, 0.004, 0.003, perZ.get());
    const auto again = paint({0, 0, kW, kH});

    // A depth pixmap of its own, merged in.
    const auto merged = std::make_shared<CEL_PixmapArea3D>(kW, kH);
    ALGO_Composite3D inner(merged.get());
    inner.composite3d(paint({5, 5, 150, 100}).get(),
                      randomDepth(rng, Math::Box2di(5, 5, 150, 100), 1.0, 0.002, -0.005, perZ.get()).get());
    inner.composite3d(paint({0, 0, kW, kH}).get(),
                      randomDepth(rng, Math::Box2di(0, 0, kW, kH), 0.9, 0.003, 0.002, nullptr).get());
    inner.composite2d(paint({40, 40, 60, 60}).get(), 1.0f);

    const Layer cross = [=](ALGO_Composite3D& c) { c.composite3d(crossing.get(), crossingZ.get()); };
    return {
        [=](ALGO_Composite3D& c) { c.composite2d(first.get(), 1.0f); },
        [=](ALGO_Composite3D& c) { c.composite2d(planar.get(), Math::PlanarDepthBuffer(0.5, 0.01, 0.005)); },
        [=](ALGO_Composite3D& c) { c.composite3d(per.get(), perZ.get()); },
        cross,
        [=](ALGO_Composite3D& c) { c.composite2d(again.get(), 1.0f); },
        [=](ALGO_Composite3D& c) { c.composite3d(merged.get()); },
        cross};
}

TEST(DepthCompositingThreads, RandomLayersAreTheSameAtAnyThreadCount) {
    for (unsigned seed : {1u, 2u}) {
        const std::vector<Layer> layers = randomLayers(seed);
        std::vector<std::unique_ptr<CEL_PixmapArea3D>> results;
        for (int threads : {1, 2, 4}) {
            auto dst = std::make_unique<CEL_PixmapArea3D>(kW, kH);
            dst->realloc(Math::Box2di(10, 10, 20, 20), true); // grows with the first layers
            tbb::task_arena(threads).execute([&] {
                for (const Layer& layer : layers) {
                    ALGO_Composite3D c(dst.get());
                    layer(c);
                }
            });
            results.push_back(std::move(dst));
        }
        // The content is rich enough to reach every rule.
        EXPECT_GT(results[0]->pixels().size(), std::size_t(kW * kH / 2));
        for (const auto& r : results) EXPECT_TRUE(identical(*r, *results[0])) << "seed " << seed;

        // Flattening is parallel too.
        const std::unique_ptr<CEL_Representation> a(
            results[0]->convertTo(CEL_Representation::PIXMAP_AREA_RGBA16));
        std::unique_ptr<CEL_Representation> b;
        tbb::task_arena(2).execute(
            [&] { b.reset(results[2]->convertTo(CEL_Representation::PIXMAP_AREA_RGBA16)); });
        const auto* fa = static_cast<CEL_PixmapAreaRGBA16*>(a.get());
        const auto* fb = static_cast<CEL_PixmapAreaRGBA16*>(b.get());
        ASSERT_TRUE(fa && fb);
        EXPECT_TRUE(samePixels(*fa, *fb));
    }
}

} // namespace
