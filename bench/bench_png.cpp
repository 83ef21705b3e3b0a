// PNG writing and reading on two 4096 x 4096 pictures, with libvips and
// OpenImageIO doing the same work in the same binary:
//   cel: the compositing benchmarks' layer (flat antialiased ellipses, a quarter
//        of them translucent, over transparency), straight 8-bit RGBA;
//   photo: an opaque picture of smooth waves under per-pixel noise (sigma 12 in
//        each channel), which no coder shortens much.
// Ours writes a cel as celtool hands it to the writer (premultiplied 8-bit RGBA,
// code PNG4), or a 16-bit pixmap (PNG4 from 16-bit values, PNGDP4). Each peer is
// given what our file stores (RGB when every pixel is opaque, else RGBA) in the
// layout it takes without converting, and its own defaults; only its thread
// count is set. Time is wall time; the CPU column is the whole process's.
// Decoding reads the same files, written once by us and once by libvips.
// The peer headers come first: glib names a member after one of Qt's keyword macros.
#ifdef CELCORE_BENCH_HAVE_OIIO
#include <OpenImageIO/imageio.h>
#endif
#ifdef CELCORE_BENCH_HAVE_VIPS
#include <vips/vips.h>
#endif

#include <benchmark/benchmark.h>

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <tbb/global_control.h>

#include "BenchCels.h"
#include "cel/Cel.h"
#include "cel/Context.h"
#include "celio/handlers/PngHandler.h"
#include "pixel/PixmapCanvas.h"

namespace {

using benchcels::kPixels;
using benchcels::kSide;
using benchcels::setRate;

enum Content { Cel = 0, Photo = 1 };

// The two pictures as premultiplied 16-bit pixmaps (the library's own values).
CEL_PixmapRGBA16* makePicture(Content content) {
    auto* p = new CEL_PixmapRGBA16(kSide, kSide);
    if (content == Cel) {
        const benchcels::Cels cels(benchcels::Shapes::Ellipses, false);
        for (int y = 0; y < kSide; ++y)
            std::copy_n(cels.layer.pixel(0, y), kSide, p->data() + size_t(y) * kSide);
        return p;
    }
    std::mt19937 rng(7);
    std::normal_distribution<double> noise(0.0, 12.0);
    for (int y = 0; y < kSide; ++y)
        for (int x = 0; x < kSide; ++x) {
            const double fx = x / double(kSide), fy = y / double(kSide);
            const double base[3] = {128 + 90 * std::sin(fx * 7 + std::cos(fy * 5)),
                                    128 + 80 * std::cos(fy * 9 + fx * 3),
                                    128 + 70 * std::sin((fx + fy) * 11)};
            int16_t c[3];
            for (int k = 0; k < 3; ++k)
                c[k] = CEL_PixelRule::from8(uint8_t(std::clamp(std::lround(base[k] + noise(rng)), 0L, 255L)));
            p->data()[size_t(y) * kSide + x] = CEL_PixelRGBA16{c[0], c[1], c[2], 32767};
        }
    return p;
}

struct Picture {
    UT_SharedPtr<CEL_Cel> cel16;      // the 16-bit pixmap
    UT_SharedPtr<CEL_Cel> cel8;       // its 8-bit premultiplied copy, as celtool hands it over
    std::vector<uint8_t> straight;    // what the file stores: straight RGB or RGBA bytes
    std::vector<uint16_t> straight16; // the 16-bit file's samples (premultiplied), RGBA
    int channels = 4;
    QString ours, vips; // the picture written by us and by libvips
};

struct Files {
    QTemporaryDir dir;
    Picture pictures[2];
    QString path(const QString& name) const { return dir.path() + QLatin1Char('/') + name; }
};

void writeVipsFiles(Files& files);

const Files& files() {
    static const std::unique_ptr<Files> f = [] {
        auto files = std::make_unique<Files>();
        for (int c = 0; c < 2; ++c) {
            Picture& pic = files->pictures[c];
            CEL_PixmapRGBA16* p16 = makePicture(Content(c));
            pic.cel16 = new CEL_Cel(CEL_Representation::PIXMAP_RGBA16);
            pic.cel16->addRepresentation(UT_SharedPtr<CEL_Representation>(p16));
            pic.cel8 = new CEL_Cel(CEL_Representation::PIXMAP_RGBA8);
            pic.cel8->addRepresentation(UT_SharedPtr<CEL_Representation>(new CEL_PixmapRGBA8(*p16)));
            pic.ours = files->path(QStringLiteral("ours%1.png").arg(c));
            QXCelUioPngHandler().write(pic.cel8.get(), pic.ours, QStringLiteral("PNG4"));
            // The file's own samples, as every reader delivers them.
            std::unique_ptr<CEL_Representation> back(QXCelUioPngHandler().read(pic.ours));
            const auto* p8 = dynamic_cast<const CEL_PixmapRGBA8*>(back.get());
            pic.channels = c == Photo ? 3 : 4;
            for (long long i = 0; p8 && i < kPixels; ++i) {
                const CEL_PixelRGBA8 v = p8->data()[i];
                const uint8_t s[4] = {v.r, v.g, v.b, v.a};
                pic.straight.insert(pic.straight.end(), s, s + pic.channels);
            }
            for (long long i = 0; i < kPixels; ++i) {
                const CEL_PixelRGBA16 v = p16->data()[i];
                for (const int16_t s : {v.r, v.g, v.b, v.a})
                    pic.straight16.push_back(s <= 0 ? 0 : uint16_t(2 * s + (s == 32767)));
            }
        }
        writeVipsFiles(*files);
        return files;
    }();
    return *f;
}

void setSize(benchmark::State& state, const QString& path) {
    state.counters["MB"] = double(QFileInfo(path).size()) / 1e6;
}

tbb::global_control threadLimit(const benchmark::State& state, int arg) {
    return tbb::global_control(tbb::global_control::max_allowed_parallelism, std::size_t(state.range(arg)));
}

// ---------------------------------------------------------------------------
// Ours. Args: content, source (0: 8-bit premultiplied PNG4, 1: 16-bit PNG4,
// 2: 16-bit PNGDP4), threads.

void BM_Png_Encode(benchmark::State& state) {
    const auto threads = threadLimit(state, 2);
    const Picture& pic = files().pictures[state.range(0)];
    const int source = int(state.range(1));
    const QString out = files().path(QStringLiteral("enc%1%2.png").arg(state.range(0)).arg(source));
    const QString code = source == 2 ? QStringLiteral("PNGDP4") : QStringLiteral("PNG4");
    CEL_Cel* cel = source == 0 ? pic.cel8.get() : pic.cel16.get();
    for (auto _ : state)
        if (!QXCelUioPngHandler().write(cel, out, code)) state.SkipWithError("encode failed");
    setRate(state);
    setSize(state, out);
}
BENCHMARK(BM_Png_Encode)
    ->ArgsProduct({{Cel, Photo}, {0, 1, 2}, {1, 2}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

// Args: content, threads.
void BM_Png_Decode(benchmark::State& state, bool vipsFile) {
    const auto threads = threadLimit(state, 1);
    const Picture& pic = files().pictures[state.range(0)];
    const QString path = vipsFile ? pic.vips : pic.ours;
    if (path.isEmpty()) {
        state.SkipWithError("no file written by libvips");
        return;
    }
    for (auto _ : state) {
        CELIO_RepresentationList list;
        if (!QXCelUioPngHandler().read(path, CEL_Context(), list)) state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(list);
    }
    setRate(state);
}
BENCHMARK_CAPTURE(BM_Png_Decode, our_file, false)
    ->ArgsProduct({{Cel, Photo}, {1, 2}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

// ---------------------------------------------------------------------------
// libvips: vips_pngsave with its defaults from an image in memory, and
// vips_pngload (sequential access) into memory.

#ifdef CELCORE_BENCH_HAVE_VIPS

VipsImage* vipsImage(const void* pixels, size_t bytes, int bands, VipsBandFormat format);

void writeVipsFiles(Files& files) {
    if (VIPS_INIT("celcore_bench")) return;
    for (int c = 0; c < 2; ++c) {
        Picture& pic = files.pictures[c];
        VipsImage* image =
            vipsImage(pic.straight.data(), pic.straight.size(), pic.channels, VIPS_FORMAT_UCHAR);
        const QString path = files.path(QStringLiteral("vipsfile%1.png").arg(c));
        if (!vips_pngsave(image, QFile::encodeName(path).constData(), nullptr)) pic.vips = path;
        g_object_unref(image);
    }
}

bool startVips(benchmark::State& state, int threads) {
    if (VIPS_INIT("celcore_bench")) {
        state.SkipWithError("vips did not start");
        return false;
    }
    vips_concurrency_set(threads);
    vips_cache_set_max(0);
    return true;
}

VipsImage* vipsImage(const void* pixels, size_t bytes, int bands, VipsBandFormat format) {
    VipsImage* raw = vips_image_new_from_memory(pixels, bytes, kSide, kSide, bands, format);
    VipsImage* typed = nullptr;
    vips_copy(raw, &typed, "interpretation",
              format == VIPS_FORMAT_USHORT ? VIPS_INTERPRETATION_RGB16 : VIPS_INTERPRETATION_sRGB, nullptr);
    g_object_unref(raw);
    return typed;
}

// Args: content, 16-bit, threads.
void BM_Png_EncodeVips(benchmark::State& state) {
    if (!startVips(state, int(state.range(2)))) return;
    const Picture& pic = files().pictures[state.range(0)];
    const bool deep = state.range(1) != 0;
    VipsImage* image =
        deep ? vipsImage(pic.straight16.data(), pic.straight16.size() * 2, 4, VIPS_FORMAT_USHORT)
             : vipsImage(pic.straight.data(), pic.straight.size(), pic.channels, VIPS_FORMAT_UCHAR);
    const std::string out =
        files().path(QStringLiteral("vips%1%2.png").arg(state.range(0)).arg(state.range(1))).toStdString();
    for (auto _ : state)
        if (vips_pngsave(image, out.c_str(), nullptr)) state.SkipWithError("vips_pngsave failed");
    g_object_unref(image);
    setRate(state);
    setSize(state, QString::fromStdString(out));
}
BENCHMARK(BM_Png_EncodeVips)
    ->ArgsProduct({{Cel, Photo}, {0, 1}, {1, 2}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

void BM_Png_DecodeVips(benchmark::State& state, bool vipsFile) {
    if (!startVips(state, int(state.range(1)))) return;
    const Picture& pic = files().pictures[state.range(0)];
    const std::string path = (vipsFile ? pic.vips : pic.ours).toStdString();
    for (auto _ : state) {
        VipsImage* in = vips_image_new_from_file(path.c_str(), "access", VIPS_ACCESS_SEQUENTIAL, nullptr);
        size_t size = 0;
        void* mem = in ? vips_image_write_to_memory(in, &size) : nullptr;
        if (!mem) state.SkipWithError("vips decode failed");
        benchmark::DoNotOptimize(mem);
        g_free(mem);
        if (in) g_object_unref(in);
    }
    setRate(state);
}
BENCHMARK_CAPTURE(BM_Png_DecodeVips, our_file, false)
    ->ArgsProduct({{Cel, Photo}, {1, 2}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();
BENCHMARK_CAPTURE(BM_Png_DecodeVips, vips_file, true)
    ->ArgsProduct({{Cel, Photo}, {1, 2}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

#else

void writeVipsFiles(Files&) {}

#endif

BENCHMARK_CAPTURE(BM_Png_Decode, vips_file, true)
    ->ArgsProduct({{Cel, Photo}, {1, 2}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

// ---------------------------------------------------------------------------
// OpenImageIO: ImageOutput with its defaults, ImageInput into a buffer.

#ifdef CELCORE_BENCH_HAVE_OIIO

// Args: content, 16-bit, threads.
void BM_Png_EncodeOiio(benchmark::State& state) {
    OIIO::attribute("threads", int(state.range(2)));
    const Picture& pic = files().pictures[state.range(0)];
    const bool deep = state.range(1) != 0;
    const std::string out =
        files().path(QStringLiteral("oiio%1%2.png").arg(state.range(0)).arg(state.range(1))).toStdString();
    const OIIO::TypeDesc type = deep ? OIIO::TypeDesc::UINT16 : OIIO::TypeDesc::UINT8;
    const int channels = deep ? 4 : pic.channels;
    const void* data = deep ? static_cast<const void*>(pic.straight16.data())
                            : static_cast<const void*>(pic.straight.data());
    for (auto _ : state) {
        auto o = OIIO::ImageOutput::create(out);
        OIIO::ImageSpec spec(kSide, kSide, channels, type);
        if (!o || !o->open(out, spec) || !o->write_image(type, data) || !o->close())
            state.SkipWithError("OIIO encode failed");
    }
    setRate(state);
    setSize(state, QString::fromStdString(out));
}
BENCHMARK(BM_Png_EncodeOiio)
    ->ArgsProduct({{Cel, Photo}, {0, 1}, {1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

void BM_Png_DecodeOiio(benchmark::State& state) {
    OIIO::attribute("threads", int(state.range(1)));
    const Picture& pic = files().pictures[state.range(0)];
    const std::string path = pic.ours.toStdString();
    std::vector<uint8_t> pixels(size_t(kPixels) * 4);
    for (auto _ : state) {
        auto in = OIIO::ImageInput::open(path);
        if (!in || !in->read_image(0, 0, 0, in->spec().nchannels, OIIO::TypeDesc::UINT8, pixels.data()))
            state.SkipWithError("OIIO decode failed");
        benchmark::DoNotOptimize(pixels.data());
    }
    setRate(state);
}
BENCHMARK(BM_Png_DecodeOiio)
    ->ArgsProduct({{Cel, Photo}, {1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

#endif

} // namespace
