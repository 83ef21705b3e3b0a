// PAL and YUV video frames at 720 x 576 (PAL) and 720 x 486 (YUV), from
// memory, at 1 and 2 threads (rows split; the bytes do not depend on it):
// - the decode kernel (frame bytes -> RGBA8 pixels of the frame size) and the
//   full read (decode plus the resampling to square pixels);
// - the encode kernel (RGBA8 pixels of the frame size -> frame bytes) and the
//   full write without the file (centring, resampling, encoding: the bytes
//   write() would send to its output).
// When libswscale is found, sws_scale converts the same frames in the same
// binary: UYVY422 (the files' byte order Cb, Y0, Cr, Y1) to RGBA and back,
// with its fastest flags (SWS_POINT) and with the accurate ones (bilinear,
// accurate rounding, full chroma interpolation), into buffers allocated once.
// The picture: colour bars over the top half, a hue sweep with soft shapes
// below, noise in one band: flat areas and edges of every kind.
#ifdef CELCORE_BENCH_HAVE_SWSCALE
extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}
#endif

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <random>
#include <vector>

#include <tbb/global_control.h>

#include "cel/Cel.h"
#include "celio/handlers/VideoFrameHandler.h"
#include "pixel/PixmapCanvas.h"

namespace {

using Pal = QXCelUioPalHandler;
using Ntsc = QXCelUioYuvHandler;

// The square-pixel picture of a family: 768 x 576 (PAL) or 720 x 540 (YUV).
CEL_PixmapRGBA8* picture(int w, int h) {
    auto* p = new CEL_PixmapRGBA8(w, h);
    static const uint8_t bars[8][3] = {{235, 235, 235}, {235, 235, 16}, {16, 235, 235}, {16, 235, 16},
                                       {235, 16, 235},  {235, 16, 16},  {16, 16, 235},  {16, 16, 16}};
    std::mt19937 rng(7);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            CEL_PixelRGBA8& d = *p->pixel(x, y);
            if (y < h / 2) {
                const uint8_t* c = bars[x * 8 / w];
                d = CEL_PixelRGBA8{c[0], c[1], c[2], 255};
                continue;
            }
            const double t = double(x) / w * 6.283;
            auto v = [&](double phase) { return uint8_t(128 + 100 * std::sin(t + phase)); };
            d = CEL_PixelRGBA8{v(0), v(2.1), v(4.2), 255};
            const double dx = x % 96 - 48, dy = y % 96 - 48;
            if (dx * dx + dy * dy < 900) d = CEL_PixelRGBA8{uint8_t(y / 3), 40, uint8_t(255 - x / 3), 255};
            if (y > h * 7 / 8) d.g = uint8_t(rng());
        }
    return p;
}

struct Family {
    int cols = 0, rows = 0; // the frame
    UT_SharedPtr<CEL_Cel> cel;
    std::vector<CEL_PixelRGBA8> framePixels; // the frame-size picture the encoder takes
    std::vector<uint8_t> frame;              // its encoded bytes

    explicit Family(bool pal) {
        cols = pal ? Pal::PAL_COLS : Ntsc::NTSC_COLS;
        rows = pal ? Pal::PAL_ROWS : Ntsc::NTSC_ROWS;
        const int w = pal ? Pal::PAL_DI_COLS : Ntsc::NTSC_COLS;
        const int h = pal ? Pal::PAL_ROWS : Ntsc::NTSC_DI_ROWS;
        cel = new CEL_Cel(CEL_Representation::PIXMAP_RGBA8);
        cel->addRepresentation(UT_SharedPtr<CEL_Representation>(picture(w, h)));
        const bool ok = pal ? Pal().encode(cel.get(), frame) : Ntsc().encode(cel.get(), frame);
        if (!ok) std::abort();
        framePixels.resize(size_t(cols) * size_t(rows));
        CELIO_VideoFrame::decode(frame.data(), frame.size(), framePixels.data(), cols, rows);
    }
};

const Family& family(bool pal) {
    static const Family f[2] = {Family(true), Family(false)};
    return f[pal ? 0 : 1];
}

std::unique_ptr<tbb::global_control> threads(benchmark::State& state) {
    return std::make_unique<tbb::global_control>(tbb::global_control::max_allowed_parallelism,
                                                 std::size_t(state.range(0)));
}

void setRate(benchmark::State& state, const Family& f) {
    state.counters["Mpix/s"] = benchmark::Counter(
        double(f.cols) * f.rows, benchmark::Counter::kIsIterationInvariantRate, benchmark::Counter::kIs1000);
}

// ------------------------------------------------------------------ ours

void decodeKernel(benchmark::State& state, bool pal) {
    const auto t = threads(state);
    const Family& f = family(pal);
    std::vector<CEL_PixelRGBA8> out(f.framePixels.size());
    for (auto _ : state) {
        CELIO_VideoFrame::decode(f.frame.data(), f.frame.size(), out.data(), f.cols, f.rows);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    setRate(state, f);
}

void fullRead(benchmark::State& state, bool pal) {
    const auto t = threads(state);
    const Family& f = family(pal);
    for (auto _ : state) {
        std::unique_ptr<CEL_PixmapRGBA8> image(pal ? Pal().read(f.frame.data(), f.frame.size())
                                                   : Ntsc().read(f.frame.data(), f.frame.size()));
        if (!image) state.SkipWithError("read failed");
        benchmark::DoNotOptimize(image->data());
    }
    setRate(state, f);
}

void encodeKernel(benchmark::State& state, bool pal) {
    const auto t = threads(state);
    const Family& f = family(pal);
    std::vector<uint8_t> out(f.frame.size());
    for (auto _ : state) {
        CELIO_VideoFrame::encode(f.framePixels.data(), f.cols, f.rows, out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    setRate(state, f);
}

void fullWrite(benchmark::State& state, bool pal) {
    const auto t = threads(state);
    const Family& f = family(pal);
    std::vector<uint8_t> out;
    for (auto _ : state) {
        const bool ok = pal ? Pal().encode(f.cel.get(), out) : Ntsc().encode(f.cel.get(), out);
        if (!ok) state.SkipWithError("write failed");
        benchmark::DoNotOptimize(out.data());
    }
    setRate(state, f);
}

void BM_Video_DecodeKernel_PAL(benchmark::State& s) {
    decodeKernel(s, true);
}
void BM_Video_Read_PAL(benchmark::State& s) {
    fullRead(s, true);
}
void BM_Video_Read_YUV(benchmark::State& s) {
    fullRead(s, false);
}
void BM_Video_EncodeKernel_PAL(benchmark::State& s) {
    encodeKernel(s, true);
}
void BM_Video_Write_PAL(benchmark::State& s) {
    fullWrite(s, true);
}
void BM_Video_Write_YUV(benchmark::State& s) {
    fullWrite(s, false);
}

#define VIDEO_BENCH(name) BENCHMARK(name)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime()
VIDEO_BENCH(BM_Video_DecodeKernel_PAL);
VIDEO_BENCH(BM_Video_Read_PAL);
VIDEO_BENCH(BM_Video_Read_YUV);
VIDEO_BENCH(BM_Video_EncodeKernel_PAL);
VIDEO_BENCH(BM_Video_Write_PAL);
VIDEO_BENCH(BM_Video_Write_YUV);

// ------------------------------------------------------------------ libswscale

#ifdef CELCORE_BENCH_HAVE_SWSCALE

// One conversion of the PAL frame between UYVY422 and RGBA with the flags.
void swscale(benchmark::State& state, bool decode, int flags) {
    const Family& f = family(true);
    const AVPixelFormat from = decode ? AV_PIX_FMT_UYVY422 : AV_PIX_FMT_RGBA;
    const AVPixelFormat to = decode ? AV_PIX_FMT_RGBA : AV_PIX_FMT_UYVY422;
    SwsContext* ctx =
        sws_getContext(f.cols, f.rows, from, f.cols, f.rows, to, flags, nullptr, nullptr, nullptr);
    if (!ctx) {
        state.SkipWithError("sws_getContext failed");
        return;
    }
    std::vector<uint8_t> out(size_t(f.cols) * f.rows * (decode ? 4 : 2));
    const uint8_t* src[4] = {decode ? f.frame.data()
                                    : reinterpret_cast<const uint8_t*>(f.framePixels.data())};
    const int srcStride[4] = {f.cols * (decode ? 2 : 4)};
    uint8_t* dst[4] = {out.data()};
    const int dstStride[4] = {f.cols * (decode ? 4 : 2)};
    for (auto _ : state) {
        sws_scale(ctx, src, srcStride, 0, f.rows, dst, dstStride);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    sws_freeContext(ctx);
    setRate(state, f);
}

constexpr int kAccurate = SWS_BILINEAR | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT;

void BM_Swscale_Decode_Point(benchmark::State& s) {
    swscale(s, true, SWS_POINT);
}
void BM_Swscale_Decode_Accurate(benchmark::State& s) {
    swscale(s, true, kAccurate);
}
void BM_Swscale_Encode_Point(benchmark::State& s) {
    swscale(s, false, SWS_POINT);
}
void BM_Swscale_Encode_Accurate(benchmark::State& s) {
    swscale(s, false, kAccurate);
}
BENCHMARK(BM_Swscale_Decode_Point)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Swscale_Decode_Accurate)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Swscale_Encode_Point)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Swscale_Encode_Accurate)->Unit(benchmark::kMillisecond)->UseRealTime();

#endif

} // namespace
