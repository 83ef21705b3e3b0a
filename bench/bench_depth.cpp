// Depth compositing on 4096 x 4096 cel content: two layers of antialiased
// shapes (about 6.0 M and 4.8 M coloured pixels), each on a tilted depth
// plane, the planes crossing along the diagonal inside the overlap, at 1 and
// 2 threads:
//   - two composite3d into a fresh depth pixmap, then the flattening;
//   - the flattening alone, and a kernel reading 24 and writing 8 bytes per
//     pixel (its memory-bandwidth ceiling);
//   - one flat composite2d, and a merge of a depth pixmap, onto the first layer.
// The peer, OpenImageIO, gets the same layers as float RGBA + Z (distance =
// -z; transparent pixels at infinite distance, so that deepen gives the same
// sample counts, made untimed): deep_merge + flatten, and zover of the flat images.
#ifdef CELCORE_BENCH_HAVE_OIIO
#include <OpenImageIO/deepdata.h>
#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>
#endif

#include <benchmark/benchmark.h>

#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include <tbb/global_control.h>
#include <tbb/parallel_for.h>

#include "BenchCels.h"
#include "algo/composite/Composite3D.h"
#include "pixel/PixmapArea3D.h"

namespace {

using benchcels::kPixels;
using benchcels::kSide;
using benchcels::setRate;

// The depth of the two planes: larger is nearer; they cross where x = y.
double depthA(int x, int) {
    return 10.0 + 0.001 * (x - kSide / 2);
}
double depthB(int, int y) {
    return 10.0 + 0.001 * (y - kSide / 2);
}

struct Layers {
    CEL_PixmapAreaRGBA16 a{kSide, kSide}, b{kSide, kSide};
    CEL_PixmapAreaZ za{kSide, kSide}, zb{kSide, kSide};
    long long samplesA = 0, samplesB = 0;
    Layers() {
        a.realloc(a.canvasRect(), true);
        benchcels::paintShapes(a, benchcels::Shapes::Ellipses, 1, 60, 100, 700);
        b.realloc(b.canvasRect(), true);
        benchcels::paintShapes(b, benchcels::Shapes::Ellipses, 2, 40, 60, 500);
        za.realloc(za.canvasRect(), false);
        zb.realloc(zb.canvasRect(), false);
        for (int y = 0; y < kSide; ++y)
            for (int x = 0; x < kSide; ++x) {
                *za.pixel(x, y) = float(depthA(x, y));
                *zb.pixel(x, y) = float(depthB(x, y));
                samplesA += a.pixel(x, y)->isBlack() ? 0 : 1;
                samplesB += b.pixel(x, y)->isBlack() ? 0 : 1;
            }
    }
};

const Layers& layers() {
    static const Layers l;
    return l;
}

// Exposes the flattening into a buffer the caller holds.
struct Flattenable : CEL_PixmapArea3D {
    using CEL_PixmapArea3D::CEL_PixmapArea3D;
    using CEL_PixmapArea3D::resolveTranparencyLists;
};

std::unique_ptr<Flattenable> bothLayers() {
    auto dst = std::make_unique<Flattenable>(kSide, kSide);
    ALGO_Composite3D c(dst.get());
    c.composite3d(&layers().a, &layers().za);
    c.composite3d(&layers().b, &layers().zb);
    return dst;
}

void samples(benchmark::State& state) {
    state.counters["samples"] = double(layers().samplesA + layers().samplesB);
}

void BM_DepthTwoLayersAndFlatten(benchmark::State& state) {
    tbb::global_control threads(tbb::global_control::max_allowed_parallelism, std::size_t(state.range(0)));
    layers();
    for (auto _ : state) {
        CEL_PixmapArea3D dst(kSide, kSide);
        ALGO_Composite3D c(&dst);
        c.composite3d(&layers().a, &layers().za);
        c.composite3d(&layers().b, &layers().zb);
        std::unique_ptr<CEL_Representation> flat(dst.convertTo(CEL_Representation::PIXMAP_AREA_RGBA16));
        benchmark::DoNotOptimize(flat.get());
    }
    setRate(state);
    samples(state);
}
BENCHMARK(BM_DepthTwoLayersAndFlatten)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DepthFlatten(benchmark::State& state) {
    tbb::global_control threads(tbb::global_control::max_allowed_parallelism, std::size_t(state.range(0)));
    const std::unique_ptr<Flattenable> dst = bothLayers();
    CEL_PixmapAreaRGBA16 out(kSide, kSide);
    out.realloc(dst->allocatedRect(), false);
    for (auto _ : state) {
        dst->resolveTranparencyLists(&out);
        benchmark::ClobberMemory();
    }
    setRate(state);
    state.counters["listSamples"] = double(dst->pixels().size() - 1);
}
BENCHMARK(BM_DepthFlatten)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

// The flattening's ceiling: each head read (24 bytes), its colour written (8 bytes).
void BM_DepthKernel24To8(benchmark::State& state) {
    const std::unique_ptr<Flattenable> dst = bothLayers();
    std::vector<CEL_PixelRGBA16> out(static_cast<std::size_t>(kPixels));
    const CEL_Pixel3D* heads = dst->data();
    for (auto _ : state) {
        CEL_PixelRGBA16* o = out.data();
        for (long long i = 0; i < kPixels; ++i) o[i] = heads[i].colour;
        benchmark::DoNotOptimize(o);
        benchmark::ClobberMemory();
    }
    setRate(state);
}
BENCHMARK(BM_DepthKernel24To8)->Unit(benchmark::kMillisecond)->UseRealTime();

// One call onto a fresh copy of the first layer's depth pixmap (the copy untimed).
template <class Call> void onFirstLayer(benchmark::State& state, Call call) {
    tbb::global_control threads(tbb::global_control::max_allowed_parallelism, std::size_t(state.range(0)));
    CEL_PixmapArea3D first(kSide, kSide);
    ALGO_Composite3D(&first).composite3d(&layers().a, &layers().za);
    for (auto _ : state) {
        state.PauseTiming();
        std::unique_ptr<CEL_PixmapArea3D> dst(first.clone());
        state.ResumeTiming();
        call(dst.get());
        state.PauseTiming();
        dst.reset();
        state.ResumeTiming();
    }
    setRate(state);
}

void BM_DepthComposite2dFlat(benchmark::State& state) {
    onFirstLayer(state, [](CEL_PixmapArea3D* dst) { ALGO_Composite3D(dst).composite2d(&layers().b, 10.0f); });
}
BENCHMARK(BM_DepthComposite2dFlat)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DepthMerge(benchmark::State& state) {
    CEL_PixmapArea3D second(kSide, kSide);
    ALGO_Composite3D(&second).composite3d(&layers().b, &layers().zb);
    onFirstLayer(state, [&second](CEL_PixmapArea3D* dst) { ALGO_Composite3D(dst).composite3d(&second); });
}
BENCHMARK(BM_DepthMerge)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

#ifdef CELCORE_BENCH_HAVE_OIIO

// Float RGBA + Z, Z the distance (-depth); transparent pixels infinitely far.
OIIO::ImageBuf toOiio(const CEL_PixmapAreaRGBA16& p, double (*depth)(int, int)) {
    OIIO::ImageSpec spec(kSide, kSide, 5, OIIO::TypeDesc::FLOAT);
    spec.channelnames = {"R", "G", "B", "A", "Z"};
    spec.alpha_channel = 3;
    spec.z_channel = 4;
    OIIO::ImageBuf buf(spec);
    std::vector<float> row(std::size_t(kSide) * 5);
    for (int y = 0; y < kSide; ++y) {
        const CEL_PixelRGBA16* src = p.pixel(0, y);
        for (int x = 0; x < kSide; ++x) {
            const int16_t c[4] = {src[x].r, src[x].g, src[x].b, src[x].a};
            for (int k = 0; k < 4; ++k) row[std::size_t(x) * 5 + k] = float(c[k]) / 32767.0f;
            row[std::size_t(x) * 5 + 4] =
                src[x].isBlack() ? std::numeric_limits<float>::infinity() : float(-depth(x, y));
        }
        buf.set_pixels(OIIO::ROI(0, kSide, y, y + 1, 0, 1, 0, 5), OIIO::TypeDesc::FLOAT, row.data());
    }
    return buf;
}

struct OiioLayers {
    OIIO::ImageBuf a = toOiio(layers().a, depthA), b = toOiio(layers().b, depthB);
    OIIO::ImageBuf deepA = OIIO::ImageBufAlgo::deepen(a), deepB = OIIO::ImageBufAlgo::deepen(b);
};

const OiioLayers& oiio() {
    static const OiioLayers l;
    return l;
}

long long deepSamples(const OIIO::ImageBuf& deep) {
    const OIIO::DeepData* d = deep.deepdata();
    long long n = 0;
    for (int64_t p = 0; d && p < d->pixels(); ++p) n += d->samples(p);
    return n;
}

void BM_PeerOiioDeepMergeFlatten(benchmark::State& state) {
    const int threads = int(state.range(0));
    const OiioLayers& l = oiio();
    for (auto _ : state) {
        OIIO::ImageBuf merged = OIIO::ImageBufAlgo::deep_merge(l.deepA, l.deepB, true, {}, threads);
        OIIO::ImageBuf flat = OIIO::ImageBufAlgo::flatten(merged, {}, threads);
        if (flat.has_error()) state.SkipWithError("deep_merge/flatten failed");
        benchmark::DoNotOptimize(flat.localpixels());
    }
    setRate(state);
    state.counters["samples"] = double(deepSamples(l.deepA) + deepSamples(l.deepB));
}
BENCHMARK(BM_PeerOiioDeepMergeFlatten)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PeerOiioFlatten(benchmark::State& state) {
    const int threads = int(state.range(0));
    const OIIO::ImageBuf merged =
        OIIO::ImageBufAlgo::deep_merge(oiio().deepA, oiio().deepB, true, {}, threads);
    for (auto _ : state) {
        OIIO::ImageBuf flat = OIIO::ImageBufAlgo::flatten(merged, {}, threads);
        benchmark::DoNotOptimize(flat.localpixels());
    }
    setRate(state);
}
BENCHMARK(BM_PeerOiioFlatten)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PeerOiioZover(benchmark::State& state) {
    const int threads = int(state.range(0));
    OIIO::ImageBuf dst;
    // One untimed call: the destination is allocated and touched before timing.
    OIIO::ImageBufAlgo::zover(dst, oiio().a, oiio().b, false, {}, threads);
    for (auto _ : state) {
        if (!OIIO::ImageBufAlgo::zover(dst, oiio().a, oiio().b, false, {}, threads))
            state.SkipWithError("zover failed");
        benchmark::ClobberMemory();
    }
    setRate(state);
}
BENCHMARK(BM_PeerOiioZover)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

#endif

} // namespace
