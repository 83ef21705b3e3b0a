// Random flat, planar, per-pixel and merged layers composited at 1, 2 and 4
// threads: the stores and heads must be identical (the rules themselves are
// pinned by the hand-worked cases of test_composite3d.cpp).
#include <tbb/task_arena.h>

#include "depth_test_util.h"
#include "test_composite_util.h"

namespace {

using depthtest::identical;

struct Layer {
    enum Kind { Flat, Planar, Depth, Merge } kind;
    std::shared_ptr<CEL_PixmapAreaRGBA16> colour;
    std::shared_ptr<CEL_PixmapAreaZ> depth;
    std::shared_ptr<CEL_PixmapArea3D> merged;
    Math::PlanarDepthBuffer plane;
    float z = 0.0f;
};

constexpr int kW = 160, kH = 120;

std::shared_ptr<CEL_PixmapAreaRGBA16> randomColourLayer(std::mt19937& rng, const Math::Box2di& rect) {
    return comptest::randomPixmap(rng, kW, kH, rect);
}

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

std::vector<Layer> randomLayers(unsigned seed) {
    std::mt19937 rng(seed);
    Layer flat{Layer::Flat, randomColourLayer(rng, Math::Box2di(-10, 5, 100, 90)), {}, {}, {}, 1.0f};
    Layer planar{Layer::Planar, randomColourLayer(rng, Math::Box2di(20, -5, 150, 140)), {}, {}, {}, 0.0f};
    planar.plane = Math::PlanarDepthBuffer(0.5, 0.01, 0.005);
    Layer per{Layer::Depth, randomColourLayer(rng, Math::Box2di(0, 0, kW, kH)), {}, {}, {}, 0.0f};
    per.depth = randomDepth(rng, Math::Box2di(0, 0, kW, kH), 1.2, -0.006, 0.004, nullptr);
    Layer crossing{Layer::Depth, randomColourLayer(rng, Math::Box2di(30, 10, 120, 110)), {}, {}, {}, 0.0f};
    crossing.depth = randomDepth(rng, Math::Box2di(30, 10, 120, 110), 0.6, 0.004, 0.003, per.depth.get());
    Layer again = flat;
    again.colour = randomColourLayer(rng, Math::Box2di(0, 0, kW, kH));

    // A depth pixmap of its own, merged in.
    Layer merge{Layer::Merge, {}, {}, std::make_shared<CEL_PixmapArea3D>(kW, kH), {}, 0.0f};
    ALGO_Composite3D inner(merge.merged.get());
    inner.composite3d(
        randomColourLayer(rng, Math::Box2di(5, 5, 150, 100)).get(),
        randomDepth(rng, Math::Box2di(5, 5, 150, 100), 1.0, 0.002, -0.005, per.depth.get()).get());
    inner.composite3d(randomColourLayer(rng, Math::Box2di(0, 0, kW, kH)).get(),
                      randomDepth(rng, Math::Box2di(0, 0, kW, kH), 0.9, 0.003, 0.002, nullptr).get());
    inner.composite2d(randomColourLayer(rng, Math::Box2di(40, 40, 60, 60)).get(), 1.0f);

    return {flat, planar, per, crossing, again, merge, crossing};
}

void compositeLayer(CEL_PixmapArea3D& dst, const Layer& L) {
    ALGO_Composite3D c(&dst);
    switch (L.kind) {
    case Layer::Flat:
        return c.composite2d(L.colour.get(), L.z);
    case Layer::Planar:
        return c.composite2d(L.colour.get(), L.plane);
    case Layer::Depth:
        return c.composite3d(L.colour.get(), L.depth.get());
    case Layer::Merge:
        return c.composite3d(L.merged.get());
    }
}

} // namespace

TEST(DepthCompositingThreads, RandomLayersAreTheSameAtAnyThreadCount) {
    for (unsigned seed : {1u, 2u}) {
        const std::vector<Layer> layers = randomLayers(seed);
        std::vector<std::unique_ptr<CEL_PixmapArea3D>> results;
        for (int threads : {1, 2, 4}) {
            auto dst = std::make_unique<CEL_PixmapArea3D>(kW, kH);
            dst->realloc(Math::Box2di(10, 10, 20, 20), true); // grows with the first layers
            tbb::task_arena(threads).execute([&] {
                for (const Layer& L : layers) compositeLayer(*dst, L);
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
        ASSERT_TRUE(fa && fb && fa->allocatedRect() == fb->allocatedRect());
        EXPECT_TRUE(std::equal(fa->data(), fa->data() + fa->allocatedArea(), fb->data()));
    }
}
