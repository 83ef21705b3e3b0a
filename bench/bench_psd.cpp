// PSD reading on 4096 x 4096 cel content as ImageMagick writes it (run-length
// coded, a merged image and one layer; and a document of eight layers for
// flattening): the composite at 8 and 16 bits, one layer, and the flatten of
// eight layers, at 1 and 2 threads. OpenImageIO (ImageInput) and ImageMagick
// (BlobToImage, MergeImageLayers) do the same work in this binary when found.
// The Process benchmarks time whole programs on the same files: celtool dump
// against `convert 'IN[0]' null:` and `oiiotool IN --printstats`.
// Without ImageMagick the files are built here in the same layout.
//
// Writing: the same content (merged image and one layer) encoded as a PSD at
// 8 bits (run-length) and 16 bits (raw), 1 and 2 threads, into a file in
// memory (/dev/shm when there is one), against ImageMagick's ImageToBlob (PSD,
// run-length); the bytes written are reported. Whole process: `celtool stack
// -o o.psd src.tif` against `convert src.tif -compress RLE o.psd`.
#ifdef CELCORE_BENCH_HAVE_OIIO
#include <OpenImageIO/imageio.h>
#endif
#ifdef CELCORE_BENCH_HAVE_MAGICK
#include <magick/MagickCore.h>
#endif

#include <benchmark/benchmark.h>

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unistd.h>
#include <vector>

#include <tbb/global_control.h>

#include "BenchCels.h"
#include "algo/composite/Composite.h"
#include "cel/Cel.h"
#include "cel/Context.h"
#include "celio/LayerInfo.h"
#include "celio/handlers/PsdHandler.h"
#include "pixel/PixmapArea.h"
#include "pixel/PixmapCanvas.h"
#include "tests/support/PsdBuilder.h"

namespace {

using benchcels::kSide;
using benchcels::setRate;

constexpr int kFlattenLayers = 8;

// Straight colour samples of a premultiplied cel, r g b a per pixel.
QByteArray straight(const CEL_PixmapAreaRGBA16& p, int depth) {
    QByteArray out;
    out.reserve(qsizetype(kSide) * kSide * 4 * (depth / 8));
    for (int y = 0; y < kSide; ++y)
        for (int x = 0; x < kSide; ++x) {
            const CEL_PixelRGBA16& q = *p.pixel(x, y);
            const auto un = [&](int c) { return q.a > 0 ? std::min(32767, c * 32767 / q.a) : 0; };
            const int v[4] = {un(q.r), un(q.g), un(q.b), q.a};
            for (const int c : v) {
                if (depth == 16) {
                    const int w = c * 65535 / 32767;
                    out.append(char(w >> 8)).append(char(w));
                } else {
                    out.append(char(c >> 7));
                }
            }
        }
    return out;
}

// The same document built here: the merged image first, layers after, as ImageMagick orders them.
QByteArray buildHere(const std::vector<QByteArray>& images, int depth) {
    psdbuild::Document d;
    d.width = d.height = kSide;
    d.channels = 4;
    d.depth = uint16_t(depth);
    const int b = depth / 8;
    const auto planes = [&](const QByteArray& rgba) {
        std::vector<QByteArray> p(4);
        for (int c = 0; c < 4; ++c) {
            p[size_t(c)].reserve(qsizetype(kSide) * kSide * b);
            for (qsizetype i = 0; i < qsizetype(kSide) * kSide; ++i)
                p[size_t(c)].append(rgba.mid((i * 4 + c) * b, b));
        }
        return p;
    };
    d.compositeCompression = 1;
    d.composite = psdbuild::codePlanes(planes(images[0]), kSide * b, kSide, 1);
    for (size_t i = 1; i < images.size(); ++i) {
        psdbuild::Layer l;
        l.name = QByteArray("L") + QByteArray::number(qulonglong(i)); // as ImageMagick names them
        l.right = l.bottom = kSide;
        const std::vector<QByteArray> p = planes(images[i]);
        for (int c = 0; c < 4; ++c)
            l.channels.push_back(
                {int16_t(c == 3 ? -1 : c), 1, psdbuild::codePlanes({p[size_t(c)]}, kSide * b, kSide, 1)});
        d.layers.push_back(l);
    }
    return psdbuild::build(d);
}

struct Files {
    QTemporaryDir dir;
    QString psd8, psd16, flat8, tif8, tif16;
    std::vector<QByteArray> straight8,
        straight16; // merged image and layer, r g b a samples (16-bit big-endian)
    QString path(const char* name) const { return dir.path() + QLatin1Char('/') + QLatin1String(name); }
};

bool haveMagick() {
    return QFileInfo::exists(QStringLiteral("/usr/bin/convert"));
}

// Writes raw images and has ImageMagick make the PSD (composite first), or builds it here.
QString makePsd(const Files& f, const char* name, const std::vector<QByteArray>& images, int depth,
                bool flatten) {
    const QString out = f.path(name);
    if (haveMagick()) {
        QString cmd = QStringLiteral("/usr/bin/convert -size %1x%1 -depth %2").arg(kSide).arg(depth);
        for (size_t i = 0; i < images.size(); ++i) {
            const QString raw = f.path("img") + QString::number(i) + QStringLiteral(".rgba");
            QFile file(raw);
            if (!file.open(QIODevice::WriteOnly) || file.write(images[i]) != images[i].size()) return {};
            file.close();
            cmd += QStringLiteral(" 'rgba:%1'").arg(raw);
        }
        if (flatten) cmd += QStringLiteral(" \\( -clone 0--1 -background none -flatten \\) -insert 0");
        cmd += QStringLiteral(" -compress RLE '%1' >/dev/null 2>&1").arg(out);
        const bool ok = std::system(cmd.toLocal8Bit().constData()) == 0;
        for (size_t i = 0; i < images.size(); ++i)
            QFile::remove(f.path("img") + QString::number(i) + ".rgba");
        if (ok) return out;
    }
    std::vector<QByteArray> all = images;
    if (flatten) all.insert(all.begin(), images[0]); // a stand-in merged image
    QFile file(out);
    if (!file.open(QIODevice::WriteOnly)) return {};
    file.write(buildHere(all, depth));
    return out;
}

const Files& files() {
    static Files* made = [] {
        auto* f = new Files;
        // The distribution's resource policy is too small for eight 4096 x 4096
        // layers; a policy file of our own, found first, gives ImageMagick room
        // (here and in the convert processes).
        QFile policy(f->path("policy.xml"));
        if (policy.open(QIODevice::WriteOnly))
            policy.write("<policymap>\n"
                         "  <policy domain=\"resource\" name=\"memory\" value=\"8GiB\"/>\n"
                         "  <policy domain=\"resource\" name=\"map\" value=\"8GiB\"/>\n"
                         "  <policy domain=\"resource\" name=\"area\" value=\"4GP\"/>\n"
                         "  <policy domain=\"resource\" name=\"disk\" value=\"16GiB\"/>\n"
                         "</policymap>\n");
        policy.close();
        setenv("MAGICK_CONFIGURE_PATH", f->dir.path().toLocal8Bit().constData(), 1);
        benchcels::Cels cels(benchcels::Shapes::Ellipses, false);
        CEL_PixmapAreaRGBA16 merged(kSide, kSide);
        merged.realloc(merged.canvasRect(), true);
        merged.copyFrom(&cels.background);
        CelAlgo::composite(&merged, &cels.layer, CelAlgo::ADD_APPLY_SRC_ALPHA_INV,
                           CelAlgo::ADD_APPLY_SRC_ALPHA_INV);
        for (const int depth : {8, 16}) {
            const std::vector<QByteArray> images{straight(merged, depth), straight(cels.layer, depth)};
            (depth == 8 ? f->psd8 : f->psd16) =
                makePsd(*f, depth == 8 ? "cel8.psd" : "cel16.psd", images, depth, false);
            (depth == 8 ? f->straight8 : f->straight16) = images;
            // The merged image as a TIFF file for the whole-process stack.
            if (haveMagick()) {
                const QString raw = f->path("merged.rgba"),
                              tif = f->path(depth == 8 ? "src8.tif" : "src16.tif");
                QFile file(raw);
                if (file.open(QIODevice::WriteOnly) && file.write(images[0]) == images[0].size()) {
                    file.close();
                    const QString cmd =
                        QStringLiteral(
                            "/usr/bin/convert -size %1x%1 -depth %2 'rgba:%3' '%4' >/dev/null 2>&1")
                            .arg(kSide)
                            .arg(depth)
                            .arg(raw, tif);
                    if (std::system(cmd.toLocal8Bit().constData()) == 0)
                        (depth == 8 ? f->tif8 : f->tif16) = tif;
                }
                QFile::remove(raw);
            }
        }
        std::vector<QByteArray> layers{straight(cels.background, 8)};
        for (int i = 1; i < kFlattenLayers; ++i) {
            CEL_PixmapAreaRGBA16 shapes(kSide, kSide);
            shapes.realloc(shapes.canvasRect(), true);
            std::fill(shapes.data(), shapes.data() + shapes.allocatedArea(), CEL_PixelRGBA16{0, 0, 0, 0});
            benchcels::paintShapes(shapes, benchcels::Shapes::Discs, unsigned(10 + i), 12, 80, 500);
            layers.push_back(straight(shapes, 8));
        }
        f->flat8 = makePsd(*f, "flat8.psd", layers, 8, true);
        return f;
    }();
    return *made;
}

const QString& fileFor(int depth) {
    return depth == 8 ? files().psd8 : files().psd16;
}

CEL_Context layerContext(const QString& layer) {
    const CEL_Context d;
    return CEL_Context(d.isColorRecovery(), d.isDelayedColorRecovery(), d.useElementPaletteList(), nullptr, 0,
                       layer, 1.0);
}

// Arguments: depth, threads.
void BM_Psd_Composite(benchmark::State& state) {
    tbb::global_control threads(tbb::global_control::max_allowed_parallelism, std::size_t(state.range(1)));
    const QString& path = fileFor(int(state.range(0)));
    const CELIO_PsdHandler handler;
    for (auto _ : state) {
        CELIO_RepresentationList list;
        if (!handler.read(path, CEL_Context(), list)) state.SkipWithError("read failed");
    }
    setRate(state);
}
BENCHMARK(BM_Psd_Composite)->ArgsProduct({{8, 16}, {1, 2}})->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Psd_OneLayer(benchmark::State& state) {
    tbb::global_control threads(tbb::global_control::max_allowed_parallelism, std::size_t(state.range(1)));
    const QString& path = fileFor(int(state.range(0)));
    const CELIO_PsdHandler handler;
    const CEL_Context context = layerContext(QStringLiteral("L1"));
    for (auto _ : state) {
        CELIO_RepresentationList list;
        if (!handler.read(path, context, list)) state.SkipWithError("read failed");
    }
    setRate(state);
}
BENCHMARK(BM_Psd_OneLayer)->ArgsProduct({{8, 16}, {1, 2}})->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Psd_Flatten8Layers(benchmark::State& state) {
    tbb::global_control threads(tbb::global_control::max_allowed_parallelism, std::size_t(state.range(0)));
    const CELIO_PsdHandler handler;
    const QString path = files().flat8;
    for (auto _ : state) {
        std::unique_ptr<CEL_PixmapAreaRGBA16> p(handler.flattenLayers(path, nullptr));
        if (!p) state.SkipWithError("flatten failed");
    }
    setRate(state);
}
BENCHMARK(BM_Psd_Flatten8Layers)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

#ifdef CELCORE_BENCH_HAVE_OIIO
// Subimage 0 is the merged image, subimage 1 the first layer.
void BM_Psd_OiioRead(benchmark::State& state) {
    const int depth = int(state.range(0)), subimage = int(state.range(1));
    OIIO::attribute("threads", 2);
    const std::string path = fileFor(depth).toStdString();
    std::vector<uint8_t> pixels(size_t(kSide) * kSide * 4 * size_t(depth / 8));
    for (auto _ : state) {
        auto in = OIIO::ImageInput::open(path);
        if (!in || !in->seek_subimage(subimage, 0) ||
            !in->read_image(subimage, 0, 0, 4, depth == 8 ? OIIO::TypeDesc::UINT8 : OIIO::TypeDesc::UINT16,
                            pixels.data()))
            state.SkipWithError("OIIO read failed");
    }
    setRate(state);
}
BENCHMARK(BM_Psd_OiioRead)->ArgsProduct({{8, 16}, {0, 1}})->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

#ifdef CELCORE_BENCH_HAVE_MAGICK
QByteArray slurp(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Arguments: depth (0: the eight-layer document, flattened), image index, threads.
void BM_Psd_MagickRead(benchmark::State& state) {
    files(); // first: it sets up ImageMagick's resource policy
    static const bool started = (MagickCoreGenesis(nullptr, MagickFalse), true);
    (void)started;
    const int depth = int(state.range(0)), scene = int(state.range(1));
    SetMagickResourceLimit(ThreadResource, MagickSizeType(state.range(2)));
    const QByteArray blob = slurp(depth == 0 ? files().flat8 : fileFor(depth));
    for (auto _ : state) {
        ImageInfo* info = AcquireImageInfo();
        std::snprintf(info->magick, sizeof info->magick, "PSD");
        if (depth != 0) {
            info->scene = size_t(scene);
            info->number_scenes = 1;
        }
        ExceptionInfo* e = AcquireExceptionInfo();
        Image* images = BlobToImage(info, blob.constData(), size_t(blob.size()), e);
        if (!images) {
            const std::string why = std::string("ImageMagick read failed: ") + (e->reason ? e->reason : "");
            state.SkipWithError(why.c_str());
        }
        if (images && depth == 0) {
            // Image 0 is the merged image; the layers follow.
            Image* layers = RemoveFirstImageFromList(&images);
            DestroyImage(layers);
            Image* flat = MergeImageLayers(images, FlattenLayer, e);
            if (!flat) state.SkipWithError("ImageMagick flatten failed");
            if (flat) DestroyImage(flat);
        }
        if (images) DestroyImageList(images);
        DestroyExceptionInfo(e);
        DestroyImageInfo(info);
    }
    setRate(state);
}
BENCHMARK(BM_Psd_MagickRead)
    ->Args({8, 0, 1})
    ->Args({8, 0, 2})
    ->Args({16, 0, 2})
    ->Args({8, 1, 2})
    ->Args({0, 0, 1})
    ->Args({0, 0, 2})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
#endif

// ---------------------------------------------------------------------------
// Writing.

// A canvas pixmap of straight samples (8-bit bytes, or big-endian 16-bit values of the file's scale).
CEL_Representation* pixmapOf(const QByteArray& samples, int depth) {
    const qsizetype n = qsizetype(kSide) * kSide;
    if (depth == 8) {
        auto* p = new CEL_PixmapRGBA8(kSide, kSide);
        std::memcpy(p->data(), samples.constData(), size_t(n) * 4);
        return p;
    }
    auto* p = new CEL_PixmapRGBA16(kSide, kSide);
    const auto* b = reinterpret_cast<const uint8_t*>(samples.constData());
    auto* d = reinterpret_cast<int16_t*>(p->data());
    for (qsizetype i = 0; i < n * 4; ++i) d[i] = int16_t((b[2 * i] << 8 | b[2 * i + 1]) * 32767 / 65535);
    return p;
}

QString memoryFile(const char* name) {
    return QFileInfo(QStringLiteral("/dev/shm")).isWritable()
               ? QStringLiteral("/dev/shm/celcore-bench-") + name
               : files().path(name);
}

// Arguments: depth, threads.
void BM_Psd_Encode(benchmark::State& state) {
    tbb::global_control threads(tbb::global_control::max_allowed_parallelism, std::size_t(state.range(1)));
    const int depth = int(state.range(0));
    const std::vector<QByteArray>& images = depth == 8 ? files().straight8 : files().straight16;
    CELIO_LayerInfo info;
    info.getComposite().representation = UT_SharedPtr<CEL_Representation>(pixmapOf(images[0], depth));
    CELIO_Layer layer;
    layer.name = QStringLiteral("L1");
    layer.representation = UT_SharedPtr<CEL_Representation>(pixmapOf(images[1], depth));
    info.getBaseGroup().layers.push_back(layer);
    const QString out = memoryFile("encode.psd");
    const CELIO_PsdHandler handler;
    const QString code = depth == 8 ? QStringLiteral("PSD4") : QStringLiteral("PSDDP4");
    for (auto _ : state)
        if (!handler.writeWithLayers(info, out, code)) state.SkipWithError("write failed");
    state.counters["bytes"] = double(QFileInfo(out).size());
    QFile::remove(out);
    setRate(state);
}
BENCHMARK(BM_Psd_Encode)->ArgsProduct({{8, 16}, {1, 2}})->Unit(benchmark::kMillisecond)->UseRealTime();

#ifdef CELCORE_BENCH_HAVE_MAGICK
// Arguments: depth, threads. The merged image first, then the layer, as ImageMagick lists them.
void BM_Psd_MagickEncode(benchmark::State& state) {
    files();
    static const bool started = (MagickCoreGenesis(nullptr, MagickFalse), true);
    (void)started;
    const int depth = int(state.range(0));
    SetMagickResourceLimit(ThreadResource, MagickSizeType(state.range(1)));
    const std::vector<QByteArray>& images = depth == 8 ? files().straight8 : files().straight16;
    ExceptionInfo* e = AcquireExceptionInfo();
    Image* list = nullptr;
    for (const QByteArray& samples : images) {
        std::vector<uint16_t> wide;
        const void* pixels = samples.constData();
        if (depth == 16) {
            const auto* b = reinterpret_cast<const uint8_t*>(samples.constData());
            wide.resize(size_t(samples.size() / 2));
            for (size_t i = 0; i < wide.size(); ++i) wide[i] = uint16_t(b[2 * i] << 8 | b[2 * i + 1]);
            pixels = wide.data();
        }
        Image* img = ConstituteImage(size_t(kSide), size_t(kSide), "RGBA",
                                     depth == 8 ? CharPixel : ShortPixel, pixels, e);
        if (!img) return state.SkipWithError("ImageMagick could not make the images");
        img->depth = size_t(depth);
        img->compression = RLECompression;
        AppendImageToList(&list, img);
    }
    size_t bytes = 0;
    for (auto _ : state) {
        ImageInfo* info = AcquireImageInfo();
        std::snprintf(info->magick, sizeof info->magick, "PSD");
        info->compression = RLECompression;
        info->adjoin = MagickTrue;
        size_t length = 0;
        void* blob = ImageToBlob(info, list, &length, e);
        if (!blob) state.SkipWithError("ImageMagick write failed");
        bytes = length;
        RelinquishMagickMemory(blob);
        DestroyImageInfo(info);
    }
    state.counters["bytes"] = double(bytes);
    DestroyImageList(list);
    DestroyExceptionInfo(e);
    setRate(state);
}
BENCHMARK(BM_Psd_MagickEncode)->ArgsProduct({{8, 16}, {1, 2}})->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

// ---------------------------------------------------------------------------
// Whole processes.

QString celtoolPath() {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return {};
    self[n] = 0;
    return QFileInfo(QString::fromLocal8Bit(self)).absolutePath() + QStringLiteral("/celtool");
}

// CeltoolToFile dumps into a regular file: celtool hands a device such as
// /dev/null the bytes of a temporary file, which costs a second write.
enum class Tool { Celtool, CeltoolToFile, Magick, Oiiotool };

void BM_Psd_Process(benchmark::State& state, Tool tool, int depth) {
    const QString in = fileFor(depth);
    QString cmd;
    switch (tool) {
    case Tool::Celtool:
    case Tool::CeltoolToFile:
        if (!QFileInfo::exists(celtoolPath())) return state.SkipWithError("celtool not built");
        cmd = QStringLiteral("'%1' dump '%2' '%3'")
                  .arg(celtoolPath(), in,
                       tool == Tool::Celtool ? QStringLiteral("/dev/null") : files().path("dump.raw"));
        break;
    case Tool::Magick:
        if (!haveMagick()) return state.SkipWithError("ImageMagick not installed");
        cmd = QStringLiteral("/usr/bin/convert '%1[0]' null:").arg(in);
        break;
    case Tool::Oiiotool:
        if (std::system("command -v oiiotool >/dev/null 2>&1") != 0)
            return state.SkipWithError("no oiiotool");
        cmd = QStringLiteral("oiiotool '%1' --printstats").arg(in);
        break;
    }
    const QByteArray c = (cmd + QStringLiteral(" >/dev/null 2>&1")).toLocal8Bit();
    for (auto _ : state)
        if (std::system(c.constData()) != 0) state.SkipWithError("process failed");
    setRate(state);
}

#define PSD_PROCESS(name, tool, depth)                                                                       \
    BENCHMARK_CAPTURE(BM_Psd_Process, name, tool, depth)                                                     \
        ->Unit(benchmark::kMillisecond)                                                                      \
        ->UseRealTime()                                                                                      \
        ->Iterations(5)
PSD_PROCESS(dump8_celtool, Tool::Celtool, 8);
PSD_PROCESS(dump8_celtool_file, Tool::CeltoolToFile, 8);
PSD_PROCESS(dump8_magick, Tool::Magick, 8);
PSD_PROCESS(dump8_oiiotool, Tool::Oiiotool, 8);
PSD_PROCESS(dump16_celtool, Tool::Celtool, 16);
PSD_PROCESS(dump16_celtool_file, Tool::CeltoolToFile, 16);
PSD_PROCESS(dump16_magick, Tool::Magick, 16);
PSD_PROCESS(dump16_oiiotool, Tool::Oiiotool, 16);

// celtool stack against ImageMagick's convert, TIFF in, PSD out (run-length at 8 bits).
void BM_Psd_StackProcess(benchmark::State& state, bool celtool, int depth) {
    const QString in = depth == 8 ? files().tif8 : files().tif16;
    if (in.isEmpty()) return state.SkipWithError("no TIFF source (ImageMagick not installed)");
    const QString out = files().path(celtool ? "stack.psd" : "magick.psd");
    QString cmd;
    if (celtool) {
        if (!QFileInfo::exists(celtoolPath())) return state.SkipWithError("celtool not built");
        cmd = QStringLiteral("'%1' stack -o '%2' '%3'").arg(celtoolPath(), out, in);
    } else {
        cmd = QStringLiteral("/usr/bin/convert '%1' -compress RLE '%2'").arg(in, out);
    }
    const QByteArray c = (cmd + QStringLiteral(" >/dev/null 2>&1")).toLocal8Bit();
    for (auto _ : state)
        if (std::system(c.constData()) != 0) state.SkipWithError("process failed");
    state.counters["bytes"] = double(QFileInfo(out).size());
    setRate(state);
}
#define PSD_STACK(name, celtool, depth)                                                                      \
    BENCHMARK_CAPTURE(BM_Psd_StackProcess, name, celtool, depth)                                             \
        ->Unit(benchmark::kMillisecond)                                                                      \
        ->UseRealTime()                                                                                      \
        ->Iterations(5)
PSD_STACK(stack8_celtool, true, 8);
PSD_STACK(stack8_magick, false, 8);
PSD_STACK(stack16_celtool, true, 16);
PSD_STACK(stack16_magick, false, 16);

} // namespace
