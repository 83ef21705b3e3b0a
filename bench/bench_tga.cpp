// TGA decoding and encoding of a 4096 x 4096 32-bit run-length encoded image
// held in memory. The content looks like an animation cel: flat-filled shapes
// with antialiased edges, a soft shadow, a gradient, transparent surroundings.
// When OpenImageIO is found, its decoder and encoder run on the same bytes.
#include <benchmark/benchmark.h>

#include <QByteArray>
#include <algorithm>
#include <cmath>
#include <memory>

#include "cel/Cel.h"
#include "celio/handlers/TgaHandler.h"
#include "pixel/PixmapCanvas.h"

#ifdef CELCORE_BENCH_HAVE_OIIO
#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/imageio.h>
#endif

namespace {

constexpr int kSide = 4096;

void markPixels(benchmark::State& state) {
    state.counters["Mpix/s"] = benchmark::Counter(
        double(kSide) * kSide, benchmark::Counter::kIsIterationInvariantRate, benchmark::Counter::kIs1000);
}

// Premultiplied cel content.
CEL_PixmapRGBA8* celContent() {
    auto* p = new CEL_PixmapRGBA8(kSide, kSide);
    struct Blob {
        double cx, cy, rx, ry;
        uint8_t r, g, b;
        bool gradient;
    };
    const Blob blobs[] = {
        {1900, 2300, 1100, 1400, 230, 180, 140, false}, // body
        {2000, 1000, 700, 650, 240, 200, 160, false},   // head
        {1750, 950, 90, 120, 30, 30, 40, false},        // eye
        {2250, 950, 90, 120, 30, 30, 40, false},        // eye
        {2000, 3300, 900, 350, 70, 90, 200, true},      // shaded skirt
    };
    for (int y = 0; y < kSide; ++y) {
        CEL_PixelRGBA8* row = p->data() + size_t(y) * kSide;
        for (int x = 0; x < kSide; ++x) {
            double r = 0, g = 0, b = 0, a = 0;
            // Soft shadow under everything.
            const double sd = std::hypot((x - 2100) / 1300.0, (y - 3700) / 250.0);
            const double sa = std::clamp(1.0 - sd, 0.0, 1.0) * 0.5;
            a = sa;
            for (const Blob& bl : blobs) {
                const double d = std::hypot((x - bl.cx) / bl.rx, (y - bl.cy) / bl.ry);
                const double cover = std::clamp((1.0 - d) * std::min(bl.rx, bl.ry) + 0.5, 0.0, 1.0);
                if (cover <= 0) continue;
                const double shade = bl.gradient ? 0.6 + 0.4 * (y - bl.cy + bl.ry) / (2 * bl.ry) : 1.0;
                r = r * (1 - cover) + cover * bl.r / 255.0 * shade;
                g = g * (1 - cover) + cover * bl.g / 255.0 * shade;
                b = b * (1 - cover) + cover * bl.b / 255.0 * shade;
                a = a * (1 - cover) + cover;
            }
            row[x] = CEL_PixelRGBA8{uint8_t(r * 255 + 0.5), uint8_t(g * 255 + 0.5), uint8_t(b * 255 + 0.5),
                                    uint8_t(a * 255 + 0.5)};
        }
    }
    return p;
}

struct Sample {
    UT_SharedPtr<CEL_Cel> cel;
    QByteArray tga;
    Sample() : cel(new CEL_Cel(CEL_Representation::PIXMAP_RGBA8)) {
        cel->addRepresentation(UT_SharedPtr<CEL_Representation>(celContent()));
        tga = QXCelUioTgaHandler().encode(cel.get(), QStringLiteral("TGA4"));
    }
};

const Sample& sample() {
    static const Sample s;
    return s;
}

void BM_TgaDecodeRle32(benchmark::State& state) {
    const QByteArray& tga = sample().tga;
    const QXCelUioTgaHandler handler;
    for (auto _ : state) {
        std::unique_ptr<CEL_Representation> rep(
            handler.read(reinterpret_cast<const unsigned char*>(tga.constData()), unsigned(tga.size())));
        benchmark::DoNotOptimize(rep.get());
    }
    markPixels(state);
    state.counters["MB"] = double(tga.size()) / 1e6;
}
BENCHMARK(BM_TgaDecodeRle32)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_TgaEncodeRle32(benchmark::State& state) {
    const Sample& s = sample();
    const QXCelUioTgaHandler handler;
    for (auto _ : state) {
        QByteArray out = handler.encode(s.cel.get(), QStringLiteral("TGA4"));
        benchmark::DoNotOptimize(out.data());
    }
    markPixels(state);
}
BENCHMARK(BM_TgaEncodeRle32)->Unit(benchmark::kMillisecond)->UseRealTime();

#ifdef CELCORE_BENCH_HAVE_OIIO
namespace OIIO_NS = OIIO;

void BM_PeerOiioTgaDecodeRle32(benchmark::State& state) {
    const QByteArray& tga = sample().tga;
    std::vector<unsigned char> pixels(size_t(kSide) * kSide * 4);
    for (auto _ : state) {
        OIIO_NS::Filesystem::IOMemReader reader(tga.constData(), size_t(tga.size()));
        OIIO_NS::ImageSpec config;
        void* proxy = &reader;
        config.attribute("oiio:ioproxy", OIIO_NS::TypeDesc::PTR, &proxy);
        config.attribute("oiio:UnassociatedAlpha", 1); // raw values, as ours
        auto in = OIIO_NS::ImageInput::open("memory.tga", &config);
        if (!in || !in->read_image(0, 0, 0, 4, OIIO_NS::TypeDesc::UINT8, pixels.data())) {
            state.SkipWithError("OpenImageIO cannot read the sample");
            return;
        }
        benchmark::DoNotOptimize(pixels.data());
    }
    markPixels(state);
}
BENCHMARK(BM_PeerOiioTgaDecodeRle32)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PeerOiioTgaEncodeRle32(benchmark::State& state) {
    const auto* p = dynamic_cast<const CEL_PixmapRGBA8*>(
        sample().cel->findRepresentation(CEL_Representation::PIXMAP_RGBA8).get());
    for (auto _ : state) {
        std::vector<unsigned char> bytes;
        OIIO_NS::Filesystem::IOVecOutput writer(bytes);
        auto out = OIIO_NS::ImageOutput::create("memory.tga");
        if (!out || !out->supports("ioproxy")) {
            state.SkipWithError("OpenImageIO cannot write TGA to memory");
            return;
        }
        out->set_ioproxy(&writer);
        OIIO_NS::ImageSpec layout(kSide, kSide, 4, OIIO_NS::TypeDesc::UINT8);
        layout.attribute("compression", "rle");
        layout.attribute("oiio:UnassociatedAlpha", 1);
        if (!out->open("memory.tga", layout) || !out->write_image(OIIO_NS::TypeDesc::UINT8, p->data()) ||
            !out->close()) {
            state.SkipWithError("OpenImageIO write failed");
            return;
        }
        benchmark::DoNotOptimize(bytes.data());
    }
    markPixels(state);
}
BENCHMARK(BM_PeerOiioTgaEncodeRle32)->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

} // namespace
