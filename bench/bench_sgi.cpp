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

#include "BenchHandlerImages.h"
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

struct Sample {
    UT_SharedPtr<CEL_Cel> cel16, cel8;
    QByteArray sgi16, sgi8;
    QTemporaryDir dir;
    QString file16, file8;
    Sample()
        : cel16(new CEL_Cel(CEL_Representation::PIXMAP_RGBA16)),
          cel8(new CEL_Cel(CEL_Representation::PIXMAP_RGBA8)) {
        std::unique_ptr<CEL_PixmapRGBA16> p(benchimages::celPicture16());
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
