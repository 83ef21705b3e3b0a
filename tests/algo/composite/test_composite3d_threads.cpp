// Random flat, planar, per-pixel and merged layers composited at 1, 2 and 4
// threads: the stores and heads must be identical, and equal to a plain
// serial reference that reads the neighbours from a copy of the destination
// taken before each layer and appends to the store pixel by pixel.
#include <tbb/task_arena.h>

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "depth_test_util.h"

namespace {

using Plane = ALGO_Composite3D::PixelPlane;
using depthtest::identical;

bool blank(const CEL_Pixel3D& p) {
    return p.colour.isBlack();
}
bool opaque(const CEL_Pixel3D& p) {
    return p.colour.a == 32767;
}

// ---------------------------------------------------------------------------
// The reference.

struct Before {
    Math::Box2di rect;
    std::vector<CEL_Pixel3D> heads, store;
    explicit Before(const CEL_PixmapArea3D& p)
        : rect(p.allocatedRect()), heads(p.data(), p.data() + p.allocatedArea()), store(p.pixels()) {}
    const CEL_Pixel3D* at(int x, int y) const {
        return rect.isContaining(x, y) ? &heads[std::size_t((y - rect.y1()) * rect.w() + x - rect.x1())]
                                       : nullptr;
    }
};

// Nearest depth of s's identifier among a list's samples, within 0.1, else s.z.
float match(const CEL_Pixel3D* p, const std::vector<CEL_Pixel3D>& store, const CEL_Pixel3D& s) {
    float best = s.z;
    double bestDiff = HUGE_VAL;
    for (; p && !blank(*p); p = p->next ? &store[p->next] : nullptr)
        if (p->depthBufferId == s.depthBufferId && std::fabs(double(p->z) - s.z) < bestDiff) {
            bestDiff = std::fabs(double(p->z) - s.z);
            best = p->z;
        }
    return bestDiff < 0.1 ? best : s.z;
}

Plane dstPlane(const Before& b, const CEL_Pixel3D& d, int x, int y) {
    if (d.depthBufferId == 0) return Plane{d.z, d.z, d.z, d.z, true};
    return Plane{match(b.at(x, y - 1), b.store, d), match(b.at(x + 1, y), b.store, d),
                 match(b.at(x - 1, y), b.store, d), match(b.at(x, y + 1), b.store, d), false};
}

// The coverage and the mix, pinned by the hand-worked cases, from the library.
struct Probe : ALGO_Composite3D {
    Probe() : ALGO_Composite3D(nullptr) {}
    using ALGO_Composite3D::applyAntialiazingOnDst;
    using ALGO_Composite3D::getSrcCoverage;
} const probe;

float coverage(const Plane& dp, const Plane& sp) {
    return probe.getSrcCoverage(dp, sp);
}
void mix(CEL_Pixel3D& d, const CEL_PixelRGBA16& s, float c) {
    Probe().applyAntialiazingOnDst(d, s, c);
}

// Steps 3 to 5 of a source sample s meeting head d with coverage c.
void place(CEL_PixmapArea3D& dst, const Before& b, int x, int y, CEL_Pixel3D& d, CEL_Pixel3D s,
           const Plane& sp, float c) {
    std::vector<CEL_Pixel3D>& store = dst.pixels();
    if (c >= 1.0f) {
        if (!opaque(s)) {
            store.push_back(d);
            s.next = store.size() - 1;
        }
        d = s;
        return;
    }
    if (c > 0.0f) return mix(d, s.colour, c);
    if (opaque(d)) return;
    unsigned long long prev = 0, cur = d.next;
    auto link = [&](unsigned long long i) { (prev == 0 ? d.next : store[prev].next) = i; };
    for (; cur != 0; prev = cur, cur = store[cur].next) {
        const CEL_Pixel3D e = store[cur];
        bool front;
        if (e.depthBufferId != s.depthBufferId) {
            const float ce = coverage(dstPlane(b, e, x, y), sp);
            if (ce > 0.0f && ce < 1.0f) return mix(store[cur], s.colour, ce);
            front = ce >= 1.0f;
        } else {
            front = !(e.z > s.z);
        }
        if (front) {
            s.next = opaque(s) ? 0 : cur;
            store.push_back(s);
            return link(store.size() - 1);
        }
        if (opaque(e)) return;
    }
    s.next = 0;
    store.push_back(s);
    link(store.size() - 1);
}

struct Layer {
    enum Kind { Flat, Planar, Depth, Merge } kind;
    std::shared_ptr<CEL_PixmapAreaRGBA16> colour;
    std::shared_ptr<CEL_PixmapAreaZ> depth;
    std::shared_ptr<CEL_PixmapArea3D> merged;
    Math::PlanarDepthBuffer plane;
    float z = 0.0f;
};

void referenceLayer(CEL_PixmapArea3D& dst, const Layer& L) {
    const CEL_PixmapArea* src = L.kind == Layer::Merge ? static_cast<const CEL_PixmapArea*>(L.merged.get())
                                                       : static_cast<const CEL_PixmapArea*>(L.colour.get());
    dst.reallocToFitAndClipToCanvas(src, true);
    const Math::Box2di r = dst.commonAllocatedRect(src);
    const unsigned id = L.kind == Layer::Depth ? dst.getNextDepthBufferId() : 0u;
    const unsigned offset = dst.currentDepthBufferId();
    const Before before(dst);
    for (int y = r.y1(); y < r.y2(); ++y)
        for (int x = r.x1(); x < r.x2(); ++x) {
            CEL_Pixel3D& d = *dst.pixel(x, y);
            if (L.kind == Layer::Merge) {
                const CEL_PixmapArea3D& m = *L.merged;
                const CEL_Pixel3D* h = m.pixel(x, y);
                if (blank(*h)) continue;
                if (blank(d)) {
                    dst.insertPixels(x, y, *h, m.pixels());
                    continue;
                }
                for (const CEL_Pixel3D* raw = h; raw; raw = raw->next ? &m.pixels()[raw->next] : nullptr) {
                    CEL_Pixel3D s = *raw;
                    s.next = 0;
                    if (blank(d)) {
                        dst.insertPixel(x, y, s);
                        continue;
                    }
                    s.depthBufferId = raw->depthBufferId ? raw->depthBufferId + offset : 0u;
                    Plane sp{s.z, s.z, s.z, s.z, true};
                    if (raw->depthBufferId != 0)
                        sp = Plane{match(m.pixel(x, y - 1), m.pixels(), *raw),
                                   match(m.pixel(x + 1, y), m.pixels(), *raw),
                                   match(m.pixel(x - 1, y), m.pixels(), *raw),
                                   match(m.pixel(x, y + 1), m.pixels(), *raw), false};
                    const float c = s.depthBufferId == d.depthBufferId
                                        ? (d.z > s.z ? 0.0f : 1.0f)
                                        : coverage(dstPlane(before, d, x, y), sp);
                    place(dst, before, x, y, d, s, sp, c);
                }
                continue;
            }
            const CEL_PixelRGBA16 col = *L.colour->pixel(x, y);
            if (col.isBlack()) continue;
            Plane sp;
            float zs = L.z;
            if (L.kind == Layer::Flat) {
                sp = Plane{zs, zs, zs, zs, true};
            } else if (L.kind == Layer::Planar) {
                const auto& p = L.plane;
                zs = float(p.getZ(x + 0.5, y + 0.5));
                sp = Plane{float(p.getZ(x + 0.5, y - 0.5)), float(p.getZ(x + 1.5, y + 0.5)),
                           float(p.getZ(x - 0.5, y + 0.5)), float(p.getZ(x + 0.5, y + 1.5)), false};
            } else {
                zs = **L.depth->pixel(x, y);
                auto at = [&](int px, int py) {
                    return r.isContaining(px, py) ? **L.depth->pixel(px, py) : zs;
                };
                sp = Plane{at(x, y - 1), at(x + 1, y), at(x - 1, y), at(x, y + 1), false};
            }
            const CEL_Pixel3D s{col, zs, id, 0};
            if (blank(d)) {
                d = s;
                continue;
            }
            place(dst, before, x, y, d, s, sp, coverage(dstPlane(before, d, x, y), sp));
        }
    if (L.kind == Layer::Merge) dst.incrementDepthBufferId(L.merged->currentDepthBufferId());
}

// ---------------------------------------------------------------------------
// Random content.

constexpr int kW = 160, kH = 120;

CEL_PixelRGBA16 randomColour(std::mt19937& rng) {
    std::uniform_int_distribution<int> roll(0, 99), value(0, 32767), small(1, 5000), any(-32767, 32767);
    const int k = roll(rng);
    if (k < 10) return CEL_PixelRGBA16{0, 0, 0, 0};
    if (k < 85) {
        const int a = k < 50 ? 32767 : std::max(1, value(rng));
        auto c = [&] { return int16_t(value(rng) % (a + 1)); };
        return CEL_PixelRGBA16{c(), c(), c(), int16_t(a)};
    }
    if (k < 93) return CEL_PixelRGBA16{int16_t(small(rng)), int16_t(small(rng)), 0, 0};
    return CEL_PixelRGBA16{int16_t(any(rng)), int16_t(any(rng)), int16_t(any(rng)), int16_t(-small(rng))};
}

std::shared_ptr<CEL_PixmapAreaRGBA16> randomColourLayer(std::mt19937& rng, const Math::Box2di& rect) {
    auto p = std::make_shared<CEL_PixmapAreaRGBA16>(kW, kH);
    p->realloc(rect, true);
    for (long long i = 0; i < rect.area(); ++i) p->data()[i] = randomColour(rng);
    return p;
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
    std::vector<Layer> layers;
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

    layers = {flat, planar, per, crossing, again, merge, crossing};
    return layers;
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

TEST(DepthCompositingThreads, RandomLayersMatchTheReferenceAtAnyThreadCount) {
    for (unsigned seed : {1u, 2u}) {
        const std::vector<Layer> layers = randomLayers(seed);
        CEL_PixmapArea3D reference(kW, kH);
        reference.realloc(Math::Box2di(10, 10, 20, 20), true); // grows with the first layers
        std::vector<std::unique_ptr<CEL_PixmapArea3D>> results;
        for (int threads : {1, 2, 4}) {
            auto dst = std::make_unique<CEL_PixmapArea3D>(kW, kH);
            dst->realloc(Math::Box2di(10, 10, 20, 20), true);
            tbb::task_arena arena(threads);
            arena.execute([&] {
                for (const Layer& L : layers) compositeLayer(*dst, L);
            });
            results.push_back(std::move(dst));
        }
        for (const Layer& L : layers) referenceLayer(reference, L);
        // The content is rich enough to reach every rule.
        EXPECT_GT(reference.pixels().size(), std::size_t(kW * kH / 2));
        for (const auto& r : results) EXPECT_TRUE(identical(*r, reference)) << "seed " << seed;

        // Flattening is parallel too.
        const std::unique_ptr<CEL_Representation> a(
            results[0]->convertTo(CEL_Representation::PIXMAP_AREA_RGBA16));
        tbb::task_arena two(2);
        std::unique_ptr<CEL_Representation> b;
        two.execute([&] { b.reset(results[2]->convertTo(CEL_Representation::PIXMAP_AREA_RGBA16)); });
        const auto* fa = static_cast<CEL_PixmapAreaRGBA16*>(a.get());
        const auto* fb = static_cast<CEL_PixmapAreaRGBA16*>(b.get());
        ASSERT_TRUE(fa && fb && fa->allocatedRect() == fb->allocatedRect());
        EXPECT_TRUE(std::equal(fa->data(), fa->data() + fa->allocatedArea(), fb->data()));
    }
}
