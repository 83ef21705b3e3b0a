// IFF decode and encode of 4096 x 4096 cel content through the handler, 8 and
// 16 bits, colour alone and colour with depth, on 1 and 2 threads; OpenImageIO
// reading and writing the same files in this process; and whole processes,
// celtool against oiiotool, on the same files.
#include <benchmark/benchmark.h>

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cstdlib>
#include <memory>
#include <tbb/global_control.h>
#include <tiffio.h>
#include <unistd.h>
#include <vector>

#include "BenchCels.h"
#include "cel/Cel.h"
#include "cel/Context.h"
#include "celio/handlers/IffHandler.h"
#include "celio/handlers/TiffHandler.h"
#include "pixel/PixmapArea.h"
#include "pixel/PixmapCanvas.h"

#ifdef CELCORE_BENCH_HAVE_OIIO
#include <OpenImageIO/imageio.h>
#endif

namespace {

using benchcels::kPixels;
using benchcels::kSide;

struct Files {
    QTemporaryDir dir;
    UT_SharedPtr<CEL_Cel> cel[2][2]; // [16-bit][with depth]
    QString iff[2][2];
    QString tif[2];
    QString path(const char* name) const { return dir.path() + QLatin1Char('/') + QLatin1String(name); }
};

bool writeTiff16(const QString& path, const CEL_PixmapRGBA16* p) {
    TIFF* tif = TIFFOpen(QFile::encodeName(path).constData(), "w");
    if (!tif) return false;
    const uint16_t extra = EXTRASAMPLE_ASSOCALPHA;
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, kSide);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, kSide);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 16);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 4);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 16);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &extra);
    std::vector<uint16_t> row(size_t(kSide) * 4);
    bool ok = true;
    for (int y = 0; y < kSide && ok; ++y) {
        const int16_t* in = &p->data()[size_t(y) * kSide].r;
        for (size_t i = 0; i < row.size(); ++i) row[i] = uint16_t(std::max<int>(in[i], 0) * 2);
        ok = TIFFWriteScanline(tif, row.data(), uint32_t(y), 0) >= 0;
    }
    TIFFClose(tif);
    return ok;
}

// The layer of the compositing benchmarks (discs over transparency), and a
// depth that slopes across it as a rendered surface would.
const Files& files() {
    static const std::unique_ptr<Files> f = [] {
        auto files = std::make_unique<Files>();
        const benchcels::Cels cels(benchcels::Shapes::Discs, false);
        auto* p16 = dynamic_cast<CEL_PixmapRGBA16*>(cels.layer.convertTo(CEL_Representation::PIXMAP_RGBA16));
        auto* z = new CEL_PixmapAreaZ(kSide, kSide);
        z->realloc(z->canvasRect(), false);
        for (int y = 0; y < kSide; ++y)
            for (int x = 0; x < kSide; ++x)
                z->pixel(x, y)->value = 10.0f + 0.002f * float(x) + 0.001f * float(y);
        for (int deep = 0; deep < 2; ++deep)
            for (int depth = 0; depth < 2; ++depth) {
                auto& cel = files->cel[deep][depth];
                cel =
                    new CEL_Cel(deep ? CEL_Representation::PIXMAP_RGBA16 : CEL_Representation::PIXMAP_RGBA8);
                cel->addRepresentation(UT_SharedPtr<CEL_Representation>(
                    deep ? static_cast<CEL_Representation*>(p16->clone()) : new CEL_PixmapRGBA8(*p16)));
                if (depth) cel->addRepresentation(UT_SharedPtr<CEL_Representation>(z->clone()));
                files->iff[deep][depth] =
                    files->path(deep ? (depth ? "d16z.iff" : "d16.iff") : (depth ? "d8z.iff" : "d8.iff"));
                QxCelUioIffHandler().write(cel.get(), files->iff[deep][depth],
                                           deep ? QStringLiteral("IFF_16") : QStringLiteral("IFF"));
            }
        files->tif[0] = files->path("master8.tif");
        files->tif[1] = files->path("master16.tif");
        QxCelUioTiffHandler().write(files->cel[0][0].get(), files->tif[0], QStringLiteral("TIF"));
        writeTiff16(files->tif[1], p16);
        delete p16;
        delete z;
        return files;
    }();
    return *f;
}

// Arguments: 16-bit (0/1), with depth (0/1), threads.
void iffArgs(benchmark::internal::Benchmark* b) {
    for (int deep : {0, 1})
        for (int depth : {0, 1})
            for (int threads : {1, 2}) b->Args({deep, depth, threads});
    b->ArgNames({"deep", "depth", "threads"})->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
}

void BM_Iff_Decode(benchmark::State& state) {
    const Files& f = files();
    const QString path = f.iff[state.range(0)][state.range(1)];
    tbb::global_control threads(tbb::global_control::max_allowed_parallelism, size_t(state.range(2)));
    for (auto _ : state) {
        CELIO_RepresentationList list;
        if (!QxCelUioIffHandler().read(path, CEL_Context(), list)) state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(list);
    }
    benchcels::setRate(state);
    state.counters["MB"] = double(QFileInfo(path).size()) / 1e6;
}
BENCHMARK(BM_Iff_Decode)->Apply(iffArgs);

void BM_Iff_Encode(benchmark::State& state) {
    const Files& f = files();
    const QString out = f.path("out.iff");
    const bool deep = state.range(0);
    tbb::global_control threads(tbb::global_control::max_allowed_parallelism, size_t(state.range(2)));
    for (auto _ : state)
        if (!QxCelUioIffHandler().write(f.cel[deep][state.range(1)].get(), out,
                                        deep ? QStringLiteral("IFF_16") : QStringLiteral("IFF")))
            state.SkipWithError("encode failed");
    benchcels::setRate(state);
    state.counters["MB"] = double(QFileInfo(out).size()) / 1e6;
}
BENCHMARK(BM_Iff_Encode)->Apply(iffArgs);

#ifdef CELCORE_BENCH_HAVE_OIIO
// OpenImageIO on the colour files written above.
void BM_Iff_OiioDecode(benchmark::State& state) {
    const std::string path = files().iff[state.range(0)][0].toStdString();
    const OIIO::TypeDesc type = state.range(0) ? OIIO::TypeDesc::UINT16 : OIIO::TypeDesc::UINT8;
    std::vector<uint8_t> pixels(size_t(kPixels) * 8);
    for (auto _ : state) {
        auto in = OIIO::ImageInput::open(path);
        if (!in || !in->read_image(0, 0, 0, 4, type, pixels.data()))
            state.SkipWithError("OIIO decode failed");
        benchmark::DoNotOptimize(pixels.data());
    }
    benchcels::setRate(state);
}
BENCHMARK(BM_Iff_OiioDecode)
    ->Arg(0)
    ->Arg(1)
    ->ArgName("deep")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2);

void BM_Iff_OiioEncode(benchmark::State& state) {
    const Files& f = files();
    const bool deep = state.range(0);
    const std::string out = f.path("oiio.iff").toStdString();
    const UT_SharedPtr<CEL_Representation> rep = f.cel[deep][0]->findRepresentation(
        deep ? CEL_Representation::PIXMAP_RGBA16 : CEL_Representation::PIXMAP_RGBA8);
    // OpenImageIO takes unsigned 16-bit samples: the full range, as ours writes.
    std::vector<uint16_t> wide;
    const void* data = nullptr;
    if (deep) {
        const auto* p = dynamic_cast<const CEL_PixmapRGBA16*>(rep.get());
        wide.resize(size_t(kPixels) * 4);
        for (size_t i = 0; i < wide.size(); ++i) wide[i] = uint16_t(std::max<int>((&p->data()->r)[i], 0) * 2);
        data = wide.data();
    } else {
        data = dynamic_cast<const CEL_PixmapRGBA8*>(rep.get())->data();
    }
    const OIIO::TypeDesc type = deep ? OIIO::TypeDesc::UINT16 : OIIO::TypeDesc::UINT8;
    for (auto _ : state) {
        auto o = OIIO::ImageOutput::create(out);
        OIIO::ImageSpec spec(kSide, kSide, 4, type);
        spec.alpha_channel = 3;
        if (!o || !o->open(out, spec) || !o->write_image(type, data) || !o->close())
            state.SkipWithError("OIIO encode failed");
    }
    benchcels::setRate(state);
    state.counters["MB"] = double(QFileInfo(QString::fromStdString(out)).size()) / 1e6;
}
BENCHMARK(BM_Iff_OiioEncode)
    ->Arg(0)
    ->Arg(1)
    ->ArgName("deep")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2);
#endif

// ---------------------------------------------------------------------------
// Whole processes: celtool (beside this benchmark) against oiiotool.

QString celtoolPath() {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return {};
    self[n] = 0;
    return QFileInfo(QString::fromLocal8Bit(self)).absolutePath() + QStringLiteral("/celtool");
}

enum class Job { Read, Write };

// Arguments: celtool (0) or oiiotool (1), the job, 16-bit (0/1).
void BM_Iff_Process(benchmark::State& state) {
    const bool oiio = state.range(0);
    const Job job = Job(state.range(1));
    const bool deep = state.range(2);
    const Files& f = files();
    if (!oiio && !QFileInfo::exists(celtoolPath())) {
        state.SkipWithError("celtool not built");
        return;
    }
    if (oiio && std::system("command -v oiiotool >/dev/null 2>&1") != 0) {
        state.SkipWithError("oiiotool not installed");
        return;
    }
    const QString q = QStringLiteral("'%1'");
    const QString in = job == Job::Read ? f.iff[deep][0] : f.tif[deep], out = f.path("proc.iff");
    QString cmd;
    if (job == Job::Read)
        cmd = oiio ? QStringLiteral("oiiotool -i:now=1 ") + q.arg(in)
                   : q.arg(celtoolPath()) +
                         (deep ? QStringLiteral(" dump --depth 16 ") : QStringLiteral(" dump ")) + q.arg(in) +
                         QStringLiteral(" /dev/null");
    else
        cmd = oiio ? QStringLiteral("oiiotool ") + q.arg(in) + QStringLiteral(" -o ") + q.arg(out)
                   : q.arg(celtoolPath()) +
                         (deep ? QStringLiteral(" convert --code IFF_16 ") : QStringLiteral(" convert ")) +
                         q.arg(in) + ' ' + q.arg(out);
    const QByteArray line = (cmd + QStringLiteral(" >/dev/null 2>&1")).toLocal8Bit();
    for (auto _ : state)
        if (std::system(line.constData()) != 0) state.SkipWithError("command failed");
    benchcels::setRate(state);
}
BENCHMARK(BM_Iff_Process)
    ->ArgsProduct({{0, 1}, {int(Job::Read), int(Job::Write)}, {0, 1}})
    ->ArgNames({"oiiotool", "write", "deep"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(5);

} // namespace
