// Bitmap layers and the bitmap engine's JPEG, on 4096 x 4096 cel content (the
// compositing benchmarks' layer: antialiased opaque and translucent shapes over
// large transparent areas) at 1 and 2 threads.
//
//   ToLayer / ToPixmap: CEL_Conversion both ways, beside a kernel moving the same
//     bytes in the same run (to the layer: read 8 bytes, write 8 back and 4 out
//     per pixel; back: read 4, write 8 into a fresh buffer as the pixmap gets),
//     OpenImageIO (ImageBufAlgo::unpremult + ImageBuf::copy to UINT8; back
//     copy(UINT16) + premult) and libvips (vips_unpremultiply + vips_cast_uchar;
//     vips_premultiply) on the same pixels as unsigned 16 / 8-bit samples.
//   Store / Load: the engine's JPEG of the layer's straight pixels as a 32-bit
//     bitmap at quality 90, against bare libjpeg-turbo (jpeg_mem_dest /
//     jpeg_mem_src, extended RGBA rows, 16 rows a call, a fresh buffer from
//     the engine's allocator for each decode). Store also on two threads at once (one store each).
// The peer headers come first: glib names a member after one of Qt's keyword macros.
#ifdef CELCORE_BENCH_HAVE_OIIO
#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>
#endif
#ifdef CELCORE_BENCH_HAVE_VIPS
#include <vips/vips.h>
#endif

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/mman.h>
#include <vector>

// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>
#include <tbb/global_control.h>
#include <tbb/parallel_for.h>

#include "BenchCels.h"
#include "base/Bitmap.h"
#include "base/BitmapSystem.h"
#include "celio/BitmapConversion.h"
#include "celio/Manager.h"

namespace {

using benchcels::kPixels;
using benchcels::kSide;
using benchcels::setRate;

const CEL_PixmapAreaRGBA16& cel() {
    static const benchcels::Cels c(benchcels::Shapes::Ellipses, false);
    return c.layer;
}

const Math::Box2di kBounds(-kSide / 2, -kSide / 2, kSide, kSide);

tbb::global_control threadLimit(const benchmark::State& state) {
    return tbb::global_control(tbb::global_control::max_allowed_parallelism, std::size_t(state.range(0)));
}

// The share of pixels that need no arithmetic (alpha 0, or opaque without negative colour).
double plainShare() {
    long long n = 0;
    for (long long i = 0; i < kPixels; ++i) {
        const CEL_PixelRGBA16& p = cel().data()[i];
        n += p.a == 0 || (p.a == 32767 && p.r >= 0 && p.g >= 0 && p.b >= 0);
    }
    return double(n) / double(kPixels);
}

// The layer of the cel, and its straight pixels as one 32-bit bitmap.
const BM_TiledBitmapRgba32& layer() {
    static const UT_SharedPtr<BM_TiledBitmapRgba32> l =
        CEL_Conversion::convertToBitmapLayer(UT_SharedPtr<CEL_PixmapAreaRGBA16>(cel().clone()), kBounds);
    return *l;
}

const BM_UncompressedBitmap& flat() {
    static const std::unique_ptr<BM_UncompressedBitmap> b = [] {
        auto u = std::make_unique<BM_UncompressedBitmap>(BM_Bitmap::RGBA32, kBounds, false);
        BM_BitmapAlgo::composeBitmap(*u, layer(), BM_ComposeOp{});
        return u;
    }();
    return *b;
}

// A fresh buffer as the library's pixmaps get one: new[], huge pages advised
// over its whole 2 MiB blocks before the first touch.
template <class T> std::unique_ptr<T[]> freshBuffer(long long n) {
    std::unique_ptr<T[]> p(new T[std::size_t(n)]);
    constexpr uintptr_t kHuge = uintptr_t(2) << 20;
    const uintptr_t begin = (uintptr_t(p.get()) + kHuge - 1) & ~(kHuge - 1);
    const uintptr_t end = (uintptr_t(p.get()) + uintptr_t(n) * sizeof(T)) & ~(kHuge - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
    return p;
}

template <class F> void rows(int threads, F body) {
    if (threads == 1) {
        body(0, kSide);
        return;
    }
    tbb::parallel_for(tbb::blocked_range<int>(0, kSide, 64),
                      [&](const tbb::blocked_range<int>& r) { body(r.begin(), r.end()); });
}

// ------------------------------------------------------------ the conversions

void BM_ToLayer(benchmark::State& state) {
    const auto threads = threadLimit(state);
    const UT_SharedPtr<CEL_PixmapAreaRGBA16> p(cel().clone());
    for (auto _ : state) {
        state.PauseTiming();
        std::memcpy(static_cast<void*>(p->data()), cel().data(), std::size_t(kPixels) * 8);
        state.ResumeTiming();
        const UT_SharedPtr<BM_TiledBitmapRgba32> l = CEL_Conversion::convertToBitmapLayer(p, kBounds);
        benchmark::DoNotOptimize(l.get());
    }
    state.counters["plain share"] = plainShare();
    setRate(state);
}
BENCHMARK(BM_ToLayer)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

// Reads 8 bytes and writes 8 back and 4 out per pixel.
void BM_ToLayerKernel(benchmark::State& state) {
    const auto threads = threadLimit(state);
    std::vector<CEL_PixelRGBA16> p(cel().data(), cel().data() + kPixels);
    std::vector<CEL_PixelRGBA8> out(static_cast<std::size_t>(kPixels));
    for (auto _ : state) {
        rows(int(state.range(0)), [&](int y1, int y2) {
            for (long long i = (long long)y1 * kSide; i < (long long)y2 * kSide; ++i) {
                CEL_PixelRGBA16 v = p[std::size_t(i)];
                v.r = int16_t(v.r | 1);
                p[std::size_t(i)] = v;
                out[std::size_t(i)] = CEL_PixelRGBA8{uint8_t(v.r >> 7), uint8_t(v.g >> 7), uint8_t(v.b >> 7),
                                                     uint8_t(v.a >> 7)};
            }
        });
        benchmark::ClobberMemory();
    }
    setRate(state);
}
BENCHMARK(BM_ToLayerKernel)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

void BM_ToPixmap(benchmark::State& state) {
    const auto threads = threadLimit(state);
    layer();
    for (auto _ : state) {
        const UT_SharedPtr<CEL_PixmapAreaRGBA16> back =
            CEL_Conversion::convertToPixmapArea(layer(), Math::Size2di(kSide, kSide));
        benchmark::DoNotOptimize(back.get());
    }
    setRate(state);
}
BENCHMARK(BM_ToPixmap)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

// Reads 4 bytes and writes 8 per pixel into a fresh buffer (as the pixmap's).
void BM_ToPixmapKernel(benchmark::State& state) {
    const auto threads = threadLimit(state);
    const CEL_PixelRGBA8* in = reinterpret_cast<const CEL_PixelRGBA8*>(flat().data());
    for (auto _ : state) {
        std::unique_ptr<CEL_PixelRGBA16[]> out = freshBuffer<CEL_PixelRGBA16>(kPixels);
        rows(int(state.range(0)), [&](int y1, int y2) {
            for (long long i = (long long)y1 * kSide; i < (long long)y2 * kSide; ++i) {
                const CEL_PixelRGBA8 s = in[i];
                out[i] = CEL_PixelRGBA16{int16_t(s.r << 7), int16_t(s.g << 7), int16_t(s.b << 7),
                                         int16_t(s.a << 7)};
            }
        });
        benchmark::DoNotOptimize(out.get());
    }
    setRate(state);
}
BENCHMARK(BM_ToPixmapKernel)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

// The cel as unsigned samples (16-bit 0 ... 65535) for the peers.
std::vector<uint16_t> cel16() {
    std::vector<uint16_t> v(std::size_t(kPixels) * 4);
    const int16_t* s = &cel().data()[0].r;
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = uint16_t(s[i] <= 0 ? 0 : s[i] * 2 + (s[i] >> 14));
    return v;
}

#ifdef CELCORE_BENCH_HAVE_OIIO
void BM_ToLayerOIIO(benchmark::State& state) {
    const int threads = int(state.range(0));
    const std::vector<uint16_t> pixels = cel16();
    OIIO::ImageBuf src(OIIO::ImageSpec(kSide, kSide, 4, OIIO::TypeDesc::UINT16));
    src.set_pixels(OIIO::ROI(0, kSide, 0, kSide), OIIO::TypeDesc::UINT16, pixels.data());
    for (auto _ : state) {
        OIIO::ImageBuf straight = OIIO::ImageBufAlgo::unpremult(src, {}, threads);
        OIIO::ImageBuf out;
        out.copy(straight, OIIO::TypeDesc::UINT8);
        benchmark::DoNotOptimize(out.localpixels());
    }
    setRate(state);
}
BENCHMARK(BM_ToLayerOIIO)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

void BM_ToPixmapOIIO(benchmark::State& state) {
    const int threads = int(state.range(0));
    OIIO::ImageBuf src(OIIO::ImageSpec(kSide, kSide, 4, OIIO::TypeDesc::UINT8));
    src.set_pixels(OIIO::ROI(0, kSide, 0, kSide), OIIO::TypeDesc::UINT8, flat().data());
    for (auto _ : state) {
        OIIO::ImageBuf deep;
        deep.copy(src, OIIO::TypeDesc::UINT16);
        OIIO::ImageBufAlgo::premult(deep, deep, {}, threads);
        benchmark::DoNotOptimize(deep.localpixels());
    }
    setRate(state);
}
BENCHMARK(BM_ToPixmapOIIO)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();
#endif

#ifdef CELCORE_BENCH_HAVE_VIPS
bool startVips(benchmark::State& state) {
    if (VIPS_INIT("celcore_bench")) {
        state.SkipWithError("vips did not start");
        return false;
    }
    vips_concurrency_set(int(state.range(0)));
    vips_cache_set_max(0);
    return true;
}

// Runs the pipeline built by make(in) to memory.
template <class Make> bool runVips(VipsImage* in, Make make) {
    VipsImage* out = nullptr;
    if (!make(in, &out)) return false;
    size_t size = 0;
    void* mem = vips_image_write_to_memory(out, &size);
    g_object_unref(out);
    g_free(mem);
    return mem != nullptr;
}

void BM_ToLayerVips(benchmark::State& state) {
    if (!startVips(state)) return;
    const std::vector<uint16_t> pixels = cel16();
    VipsImage* in =
        vips_image_new_from_memory(pixels.data(), pixels.size() * 2, kSide, kSide, 4, VIPS_FORMAT_USHORT);
    vips_image_set_int(in, "interpretation", VIPS_INTERPRETATION_RGB16);
    for (auto _ : state) {
        const bool ok = runVips(in, [](VipsImage* i, VipsImage** o) {
            VipsImage* straight = nullptr;
            if (vips_unpremultiply(i, &straight, "max_alpha", 65535.0, nullptr)) return false;
            const bool done = vips_cast_uchar(straight, o, nullptr) == 0;
            g_object_unref(straight);
            return done;
        });
        if (!ok) state.SkipWithError("vips failed");
    }
    g_object_unref(in);
    setRate(state);
}
BENCHMARK(BM_ToLayerVips)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

void BM_ToPixmapVips(benchmark::State& state) {
    if (!startVips(state)) return;
    VipsImage* in = vips_image_new_from_memory(flat().data(), std::size_t(kPixels) * 4, kSide, kSide, 4,
                                               VIPS_FORMAT_UCHAR);
    for (auto _ : state) {
        const bool ok =
            runVips(in, [](VipsImage* i, VipsImage** o) { return vips_premultiply(i, o, nullptr) == 0; });
        if (!ok) state.SkipWithError("vips failed");
    }
    g_object_unref(in);
    setRate(state);
}
BENCHMARK(BM_ToPixmapVips)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();
#endif

// ------------------------------------------------------------------ JPEG

const BM_SystemEngineI& engine() {
    CELIO_Manager::getInstance();
    return *BM_System::engine();
}

void BM_Store(benchmark::State& state) {
    const BM_UncompressedBitmap& b = flat();
    for (auto _ : state) {
        BM_StoredBitmap s;
        if (!engine().store(b, 90, s)) state.SkipWithError("store failed");
        state.counters["bytes"] = double(s.size());
    }
    setRate(state);
}
BENCHMARK(BM_Store)->Threads(1)->Threads(2)->Unit(benchmark::kMillisecond)->UseRealTime();

std::vector<uint8_t> bareEncode(const uint8_t* pixels) {
    jpeg_compress_struct c{};
    jpeg_error_mgr err{};
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &out, &size);
    c.image_width = kSide;
    c.image_height = kSide;
    c.input_components = 4;
    c.in_color_space = JCS_EXT_RGBA;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 90, TRUE);
    jpeg_start_compress(&c, TRUE);
    JSAMPROW rowPointers[16];
    while (c.next_scanline < c.image_height) {
        const JDIMENSION n = std::min<JDIMENSION>(16, c.image_height - c.next_scanline);
        for (JDIMENSION i = 0; i < n; ++i)
            rowPointers[i] = const_cast<JSAMPROW>(pixels + (std::size_t(c.next_scanline) + i) * kSide * 4);
        jpeg_write_scanlines(&c, rowPointers, n);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    std::vector<uint8_t> bytes(out, out + size);
    std::free(out);
    return bytes;
}

void BM_StoreBareLibjpeg(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(bareEncode(flat().data()).data());
    setRate(state);
}
BENCHMARK(BM_StoreBareLibjpeg)->Threads(1)->Threads(2)->Unit(benchmark::kMillisecond)->UseRealTime();

const BM_StoredBitmap& stored() {
    static const BM_StoredBitmap s = [] {
        BM_StoredBitmap b;
        engine().store(flat(), 90, b);
        return b;
    }();
    return s;
}

void BM_Load(benchmark::State& state) {
    stored(); // made before the clock runs
    for (auto _ : state) {
        std::unique_ptr<BM_Bitmap> b(engine().load(stored(), 0));
        if (!b) state.SkipWithError("load failed");
    }
    setRate(state);
}
BENCHMARK(BM_Load)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

void BM_LoadBareLibjpeg(benchmark::State& state) {
    stored();
    for (auto _ : state) {
        jpeg_decompress_struct c{};
        jpeg_error_mgr err{};
        c.err = jpeg_std_error(&err);
        jpeg_create_decompress(&c);
        jpeg_mem_src(&c, stored().data(), static_cast<unsigned long>(stored().size()));
        jpeg_read_header(&c, TRUE);
        c.out_color_space = JCS_EXT_RGBA;
        jpeg_start_decompress(&c);
        // Allocated as the engine's bitmaps are, so that both sides fault alike.
        std::unique_ptr<uint8_t[]> pixels =
            freshBuffer<uint8_t>((long long)c.output_width * c.output_height * 4);
        JSAMPROW rowPointers[16];
        while (c.output_scanline < c.output_height) {
            const JDIMENSION n = std::min<JDIMENSION>(16, c.output_height - c.output_scanline);
            for (JDIMENSION i = 0; i < n; ++i)
                rowPointers[i] = pixels.get() + (std::size_t(c.output_scanline) + i) * c.output_width * 4;
            jpeg_read_scanlines(&c, rowPointers, n);
        }
        jpeg_finish_decompress(&c);
        jpeg_destroy_decompress(&c);
        benchmark::DoNotOptimize(pixels.get());
    }
    setRate(state);
}
BENCHMARK(BM_LoadBareLibjpeg)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

} // namespace
