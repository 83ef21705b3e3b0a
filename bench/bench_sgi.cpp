// SGI run-length decoding and encoding of a 4096 x 4096 RGBA image at 8 and
// 16 bits per channel, in memory and (decoding) from a file. The content
// looks like an animation cel: flat shapes with soft edges, a gradient, grain
// in the low bits, transparent surroundings. When OpenImageIO is found, its
// SGI reader decodes the same file and its writer (verbatim only, and only to
// a file) encodes the same pixels.
#include <benchmark/benchmark.h>

#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <vector>

#include "cel/Cel.h"
#include "cel/Context.h"
#include "celio/handlers/SgiHandler.h"
#include "pixel/PixmapCanvas.h"

#ifdef CELCORE_BENCH_HAVE_OIIO
#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/imageio.h>
#endif

namespace {

constexpr int kSide = 4096;

void markPixels(benchmark::State& state, const QByteArray* file = nullptr) {
    state.counters["Mpix/s"] = benchmark::Counter(
        double(kSide) * kSide, benchmark::Counter::kIsIterationInvariantRate, benchmark::Counter::kIs1000);
    if (file) state.counters["MB"] = double(file->size()) / 1e6;
}

// Premultiplied 16-bit cel content; the 8-bit sample is derived from it.
CEL_PixmapRGBA16* celContent() {
    auto* p = new CEL_PixmapRGBA16(kSide, kSide);
    struct Shape {
        double cx, cy, rx, ry, r, g, b;
    };
    const Shape shapes[] = {{2048, 2300, 1200, 1500, 0.85, 0.65, 0.5},
                            {2048, 1000, 750, 700, 0.95, 0.8, 0.65},
                            {1800, 950, 100, 130, 0.1, 0.1, 0.15},
                            {2300, 950, 100, 130, 0.1, 0.1, 0.15},
                            {2048, 3400, 1000, 380, 0.3, 0.35, 0.8}};
    unsigned seed = 17;
    for (int y = 0; y < kSide; ++y) {
        CEL_PixelRGBA16* row = p->data() + size_t(y) * kSide;
        for (int x = 0; x < kSide; ++x) {
            double r = 0, g = 0, b = 0, a = 0;
            for (const Shape& s : shapes) {
                const double d = std::hypot((x - s.cx) / s.rx, (y - s.cy) / s.ry);
                const double cover = std::clamp((1.0 - d) * std::min(s.rx, s.ry) / 2 + 0.5, 0.0, 1.0);
                if (cover <= 0) continue;
                const double shade = 0.7 + 0.3 * (y - s.cy + s.ry) / (2 * s.ry);
                r = r * (1 - cover) + cover * s.r * shade;
                g = g * (1 - cover) + cover * s.g * shade;
                b = b * (1 - cover) + cover * s.b * shade;
                a = a * (1 - cover) + cover;
            }
            seed = seed * 1103515245u + 12345u;
            const double grain = a > 0 && y > 3000 ? double(seed >> 28) / 32767.0 : 0.0; // a textured band
            const auto q = [&](double v) {
                return int16_t(std::lround(std::clamp(v + grain * a, 0.0, a) * 32767));
            };
            row[x] = CEL_PixelRGBA16{q(r), q(g), q(b), int16_t(std::lround(a * 32767))};
        }
    }
    return p;
}

struct Sample {
    UT_SharedPtr<CEL_Cel> cel16, cel8;
    QByteArray sgi16, sgi8;
    QTemporaryDir dir;
    QString file16, file8;
    Sample()
        : cel16(new CEL_Cel(CEL_Representation::PIXMAP_RGBA16)),
          cel8(new CEL_Cel(CEL_Representation::PIXMAP_RGBA8)) {
        std::unique_ptr<CEL_PixmapRGBA16> p(celContent());
        cel8->addRepresentation(UT_SharedPtr<CEL_Representation>(new CEL_PixmapRGBA8(*p)));
        cel16->addRepresentation(UT_SharedPtr<CEL_Representation>(p.release()));
        const QXCelUioSgiHandler handler;
        sgi16 = handler.encode(cel16.get(), QStringLiteral("SGIDP4"));
        sgi8 = handler.encode(cel8.get(), QStringLiteral("SGI4"));
        file16 = dir.filePath(QStringLiteral("sample16.sgi"));
        file8 = dir.filePath(QStringLiteral("sample8.sgi"));
        for (const auto& [path, bytes] : {std::pair{file16, sgi16}, std::pair{file8, sgi8}}) {
            QFile f(path);
            if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size()) std::abort();
        }
    }
};

const Sample& sample() {
    static const Sample s;
    return s;
}

void decode(benchmark::State& state, const QByteArray& file) {
    const QXCelUioSgiHandler handler;
    for (auto _ : state) {
        std::unique_ptr<CEL_Representation> rep(
            handler.read(reinterpret_cast<const unsigned char*>(file.constData()), unsigned(file.size())));
        if (!rep) state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(rep.get());
    }
    markPixels(state, &file);
}

void decodeFile(benchmark::State& state, const QString& path, const QByteArray& file) {
    const QXCelUioSgiHandler handler;
    for (auto _ : state) {
        CELIO_RepresentationList list;
        if (!handler.read(path, CEL_Context(), list)) state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(list.front().get());
    }
    markPixels(state, &file);
}

void encode(benchmark::State& state, CEL_Cel* cel, const char* code) {
    const QXCelUioSgiHandler handler;
    for (auto _ : state) {
        QByteArray out = handler.encode(cel, QLatin1String(code));
        benchmark::DoNotOptimize(out.data());
    }
    markPixels(state);
}

void BM_SgiDecodeRle8(benchmark::State& state) {
    decode(state, sample().sgi8);
}
void BM_SgiDecodeRle16(benchmark::State& state) {
    decode(state, sample().sgi16);
}
void BM_SgiDecodeRle8File(benchmark::State& state) {
    decodeFile(state, sample().file8, sample().sgi8);
}
void BM_SgiDecodeRle16File(benchmark::State& state) {
    decodeFile(state, sample().file16, sample().sgi16);
}
void BM_SgiEncodeRle8(benchmark::State& state) {
    encode(state, sample().cel8.get(), "SGI4");
}
void BM_SgiEncodeRle16(benchmark::State& state) {
    encode(state, sample().cel16.get(), "SGIDP4");
}
BENCHMARK(BM_SgiDecodeRle8)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SgiDecodeRle16)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SgiDecodeRle8File)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SgiDecodeRle16File)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SgiEncodeRle8)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SgiEncodeRle16)->Unit(benchmark::kMillisecond)->UseRealTime();

#ifdef CELCORE_BENCH_HAVE_OIIO
namespace OIIO_NS = OIIO;

// OpenImageIO reads SGI files from files only.
void peerDecode(benchmark::State& state, const QString& path, const QByteArray& file,
                OIIO_NS::TypeDesc type) {
    std::vector<unsigned char> pixels(size_t(kSide) * kSide * 4 * type.size());
    const std::string name = path.toStdString();
    for (auto _ : state) {
        auto in = OIIO_NS::ImageInput::open(name);
        if (!in || !in->read_image(0, 0, 0, 4, type, pixels.data())) {
            state.SkipWithError("OpenImageIO cannot read the sample");
            return;
        }
        benchmark::DoNotOptimize(pixels.data());
    }
    markPixels(state, &file);
}

// OpenImageIO writes SGI files verbatim only, and to files only.
template <class Pixmap>
void peerEncode(benchmark::State& state, CEL_Cel* cel, CEL_Representation::CelFormat f,
                OIIO_NS::TypeDesc type) {
    const auto* p = dynamic_cast<const Pixmap*>(cel->findRepresentation(f).get());
    const std::string name = sample().dir.filePath(QStringLiteral("peer.sgi")).toStdString();
    for (auto _ : state) {
        auto out = OIIO_NS::ImageOutput::create(name);
        const OIIO_NS::ImageSpec spec(kSide, kSide, 4, type);
        if (!out || !out->open(name, spec) || !out->write_image(type, p->data()) || !out->close()) {
            state.SkipWithError("OpenImageIO write failed");
            return;
        }
    }
    markPixels(state);
}

void BM_PeerOiioSgiDecodeRle8(benchmark::State& state) {
    peerDecode(state, sample().file8, sample().sgi8, OIIO_NS::TypeDesc::UINT8);
}
void BM_PeerOiioSgiDecodeRle16(benchmark::State& state) {
    peerDecode(state, sample().file16, sample().sgi16, OIIO_NS::TypeDesc::UINT16);
}
void BM_PeerOiioSgiEncodeVerbatim8(benchmark::State& state) {
    peerEncode<CEL_PixmapRGBA8>(state, sample().cel8.get(), CEL_Representation::PIXMAP_RGBA8,
                                OIIO_NS::TypeDesc::UINT8);
}
void BM_PeerOiioSgiEncodeVerbatim16(benchmark::State& state) {
    peerEncode<CEL_PixmapRGBA16>(state, sample().cel16.get(), CEL_Representation::PIXMAP_RGBA16,
                                 OIIO_NS::TypeDesc::INT16);
}
BENCHMARK(BM_PeerOiioSgiDecodeRle8)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PeerOiioSgiDecodeRle16)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PeerOiioSgiEncodeVerbatim8)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PeerOiioSgiEncodeVerbatim16)->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

} // namespace
