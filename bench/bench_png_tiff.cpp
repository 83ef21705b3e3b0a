// PNG and TIFF decode and encode of a 4096 x 4096 image through the handlers,
// beside what the codec alone costs (libpng driven directly with the same
// settings, libtiff strips into a plain buffer) and OpenImageIO doing the same
// work in this process. The Process benchmarks time whole conversions by
// celtool, oiiotool and ImageMagick on the same files, for ratios from one run.
#include <benchmark/benchmark.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <csetjmp>
#include <cstdlib>
#include <memory>
#include <png.h>
#include <tiffio.h>
#include <unistd.h>
#include <vector>

#include "cel/Cel.h"
#include "cel/Context.h"
#include "celio/handlers/JpegHandler.h"
#include "celio/handlers/PngHandler.h"
#include "celio/handlers/TiffHandler.h"
#include "pixel/PixmapCanvas.h"

#ifdef CELCORE_BENCH_HAVE_OIIO
#include <OpenImageIO/imageio.h>
#endif

namespace {

constexpr int kSide = 4096;
constexpr int64_t kPixels = int64_t(kSide) * kSide;

void setRate(benchmark::State& state) {
    state.counters["Mpix/s"] = benchmark::Counter(
        double(kPixels), benchmark::Counter::kIsIterationInvariantRate, benchmark::Counter::kIs1000);
}

// Premultiplied content that compresses like a painted cel: smooth colour,
// a little grain, an alpha ramp and a transparent margin.
CEL_PixmapRGBA16* makeImage16() {
    auto* p = new CEL_PixmapRGBA16(kSide, kSide);
    uint32_t seed = 12345;
    for (int y = 0; y < kSide; ++y) {
        CEL_PixelRGBA16* row = p->data() + size_t(y) * kSide;
        for (int x = 0; x < kSide; ++x) {
            seed = seed * 1664525u + 1013904223u;
            const int grain = int(seed >> 28);
            const int a = x < 256 ? 0 : (x < 1024 ? (x - 256) * 42 : 32767);
            const auto c = [&](int v) { return int16_t(int64_t(std::min(v + grain, 32767)) * a / 32767); };
            row[x] = CEL_PixelRGBA16{c(x * 8), c(y * 8), c((x + y) * 4), int16_t(a)};
        }
    }
    return p;
}

struct Files {
    QTemporaryDir dir;
    UT_SharedPtr<CEL_Cel> cel16;
    UT_SharedPtr<CEL_Cel> cel8;
    QString png8, png16, tif8, tif16, jpg;
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
        const CEL_PixelRGBA16* in = p->data() + size_t(y) * kSide;
        for (int x = 0; x < kSide; ++x) {
            row[4 * x] = uint16_t(in[x].r * 2), row[4 * x + 1] = uint16_t(in[x].g * 2);
            row[4 * x + 2] = uint16_t(in[x].b * 2), row[4 * x + 3] = uint16_t(in[x].a * 2);
        }
        ok = TIFFWriteScanline(tif, row.data(), uint32_t(y), 0) >= 0;
    }
    TIFFClose(tif);
    return ok;
}

const Files& files() {
    static const std::unique_ptr<Files> f = [] {
        auto files = std::make_unique<Files>();
        auto* p16 = makeImage16();
        files->cel16 = new CEL_Cel(CEL_Representation::PIXMAP_RGBA16);
        files->cel16->addRepresentation(UT_SharedPtr<CEL_Representation>(p16));
        files->cel8 = new CEL_Cel(CEL_Representation::PIXMAP_RGBA8);
        files->cel8->addRepresentation(UT_SharedPtr<CEL_Representation>(new CEL_PixmapRGBA8(*p16)));
        files->png8 = files->path("image8.png");
        files->png16 = files->path("image16.png");
        files->tif8 = files->path("image8.tif");
        files->tif16 = files->path("image16.tif");
        files->jpg = files->path("image.jpg");
        QXCelUioPngHandler().write(files->cel16.get(), files->png8, QStringLiteral("PNG4"));
        QXCelUioPngHandler().write(files->cel16.get(), files->png16, QStringLiteral("PNGDP4"));
        QxCelUioTiffHandler().write(files->cel8.get(), files->tif8, QStringLiteral("TIF"));
        writeTiff16(files->tif16, p16);
        QXCelUioJpegHandler().write(files->cel8.get(), files->jpg, QStringLiteral("JPG"));
        return files;
    }();
    return *f;
}

// ---------------------------------------------------------------------------
// The handlers

void BM_PngTiff_HandlerDecode(benchmark::State& state, int which) {
    const Files& f = files();
    const QString path = which == 0   ? f.png8
                         : which == 1 ? f.png16
                         : which == 2 ? f.tif8
                         : which == 3 ? f.tif16
                                      : f.jpg;
    for (auto _ : state) {
        CELIO_RepresentationList list;
        bool ok;
        if (which <= 1)
            ok = QXCelUioPngHandler().read(path, CEL_Context(), list);
        else if (which <= 3)
            ok = QxCelUioTiffHandler().read(QFile::encodeName(path), list);
        else
            ok = QXCelUioJpegHandler().read(path, CEL_Context(), list);
        if (!ok) state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(list);
    }
    setRate(state);
}
BENCHMARK_CAPTURE(BM_PngTiff_HandlerDecode, png8, 0)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2);
BENCHMARK_CAPTURE(BM_PngTiff_HandlerDecode, png16, 1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2);
BENCHMARK_CAPTURE(BM_PngTiff_HandlerDecode, tif8, 2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2);
BENCHMARK_CAPTURE(BM_PngTiff_HandlerDecode, tif16, 3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2);
BENCHMARK_CAPTURE(BM_PngTiff_HandlerDecode, jpg, 4)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);

void BM_PngTiff_HandlerEncode(benchmark::State& state, int which) {
    const Files& f = files();
    const QString out = f.path(which == 0   ? "out8.png"
                               : which == 1 ? "out16.png"
                               : which == 2 ? "out.tif"
                                            : "out.jpg");
    for (auto _ : state) {
        bool ok;
        if (which == 0)
            ok = QXCelUioPngHandler().write(f.cel16.get(), out, QStringLiteral("PNG4"));
        else if (which == 1)
            ok = QXCelUioPngHandler().write(f.cel16.get(), out, QStringLiteral("PNGDP4"));
        else if (which == 2)
            ok = QxCelUioTiffHandler().write(f.cel8.get(), out, QStringLiteral("TIF"));
        else
            ok = QXCelUioJpegHandler().write(f.cel8.get(), out, QStringLiteral("JPG"));
        if (!ok) state.SkipWithError("encode failed");
    }
    setRate(state);
    state.counters["MB"] = double(QFileInfo(out).size()) / 1e6;
}
BENCHMARK_CAPTURE(BM_PngTiff_HandlerEncode, png8, 0)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2);
BENCHMARK_CAPTURE(BM_PngTiff_HandlerEncode, png16, 1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2);
BENCHMARK_CAPTURE(BM_PngTiff_HandlerEncode, tif8, 2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2);
BENCHMARK_CAPTURE(BM_PngTiff_HandlerEncode, jpg, 3)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);

// ---------------------------------------------------------------------------
// The codecs alone: libpng with the handler's transformations into a plain
// buffer (no pixmap, no sample conversion), and libtiff strips into a buffer.

struct RawPng {
    png_structp png;
    png_infop info;
    FILE* file;
    std::vector<png_bytep>* rows;
    std::vector<uint8_t>* pixels;
};

void rawPngBody(RawPng* r) {
    png_init_io(r->png, r->file);
    png_read_info(r->png, r->info);
    const int depth = png_get_bit_depth(r->png, r->info);
    const int type = png_get_color_type(r->png, r->info);
    if (depth > 8) png_set_expand_16(r->png);
    if ((type & PNG_COLOR_MASK_ALPHA) == 0)
        png_set_filler(r->png, depth == 16 ? 0xFFFF : 0xFF, PNG_FILLER_AFTER);
    png_set_interlace_handling(r->png);
    png_read_update_info(r->png, r->info);
    const size_t rowBytes = png_get_rowbytes(r->png, r->info);
    const png_uint_32 h = png_get_image_height(r->png, r->info);
    r->pixels->resize(rowBytes * h);
    r->rows->resize(h);
    for (png_uint_32 y = 0; y < h; ++y) (*r->rows)[y] = r->pixels->data() + y * rowBytes;
    png_read_image(r->png, r->rows->data());
    png_read_end(r->png, nullptr);
}

bool rawPngDecode(RawPng* r) {
    if (setjmp(png_jmpbuf(r->png))) return false;
    rawPngBody(r);
    return true;
}

void BM_PngTiff_CodecDecode(benchmark::State& state, int which) {
    const Files& f = files();
    const QByteArray path = QFile::encodeName(which == 0 ? f.png8 : which == 1 ? f.png16 : f.tif8);
    std::vector<uint8_t> pixels;
    std::vector<png_bytep> rows;
    for (auto _ : state) {
        bool ok = false;
        if (which <= 1) {
            FILE* file = std::fopen(path.constData(), "rb");
            png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
            png_infop info = png_create_info_struct(png);
            RawPng r{png, info, file, &rows, &pixels};
            ok = rawPngDecode(&r);
            png_destroy_read_struct(&png, &info, nullptr);
            std::fclose(file);
        } else {
            TIFF* tif = TIFFOpen(path.constData(), "r");
            pixels.resize(size_t(kPixels) * 4);
            ok = tif != nullptr;
            const tmsize_t strip = TIFFStripSize(tif);
            for (tstrip_t s = 0; ok && s < TIFFNumberOfStrips(tif); ++s)
                ok = TIFFReadEncodedStrip(tif, s, pixels.data() + size_t(s) * strip, strip) >= 0;
            TIFFClose(tif);
        }
        if (!ok) state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(pixels.data());
    }
    setRate(state);
}
BENCHMARK_CAPTURE(BM_PngTiff_CodecDecode, png8, 0)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK_CAPTURE(BM_PngTiff_CodecDecode, png16, 1)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK_CAPTURE(BM_PngTiff_CodecDecode, tif8, 2)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);

// ---------------------------------------------------------------------------
// OpenImageIO doing the same work in this process.

#ifdef CELCORE_BENCH_HAVE_OIIO
void BM_PngTiff_OiioDecode(benchmark::State& state, int which) {
    const Files& f = files();
    const std::string path = (which == 0 ? f.png8 : which == 1 ? f.png16 : f.tif8).toStdString();
    std::vector<uint8_t> pixels(size_t(kPixels) * 8);
    for (auto _ : state) {
        auto in = OIIO::ImageInput::open(path);
        const OIIO::TypeDesc type = which == 1 ? OIIO::TypeDesc::UINT16 : OIIO::TypeDesc::UINT8;
        if (!in || !in->read_image(0, 0, 0, 4, type, pixels.data()))
            state.SkipWithError("OIIO decode failed");
        benchmark::DoNotOptimize(pixels.data());
    }
    setRate(state);
}
BENCHMARK_CAPTURE(BM_PngTiff_OiioDecode, png8, 0)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK_CAPTURE(BM_PngTiff_OiioDecode, png16, 1)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK_CAPTURE(BM_PngTiff_OiioDecode, tif8, 2)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);

void BM_PngTiff_OiioEncode(benchmark::State& state, int which) {
    const Files& f = files();
    const std::string out = f.path(which == 0   ? "oiio8.png"
                                   : which == 1 ? "oiio16.png"
                                                : "oiio.tif")
                                .toStdString();
    const auto* p16 = dynamic_cast<const CEL_PixmapRGBA16*>(
        f.cel16->findRepresentation(CEL_Representation::PIXMAP_RGBA16).get());
    const auto* p8 = dynamic_cast<const CEL_PixmapRGBA8*>(
        f.cel8->findRepresentation(CEL_Representation::PIXMAP_RGBA8).get());
    // OpenImageIO takes unsigned 16-bit samples; hand it the full range.
    std::vector<uint16_t> wide(size_t(kPixels) * 4);
    for (size_t i = 0; i < wide.size(); ++i)
        wide[i] = uint16_t(reinterpret_cast<const int16_t*>(p16->data())[i] * 2);
    for (auto _ : state) {
        auto o = OIIO::ImageOutput::create(out);
        const OIIO::TypeDesc type = which == 1 ? OIIO::TypeDesc::UINT16 : OIIO::TypeDesc::UINT8;
        OIIO::ImageSpec spec(kSide, kSide, 4, type);
        spec.alpha_channel = 3;
        if (which == 2) spec.attribute("compression", "none");
        const void* data =
            which == 1 ? static_cast<const void*>(wide.data()) : static_cast<const void*>(p8->data());
        if (!o || !o->open(out, spec) || !o->write_image(type, data) || !o->close())
            state.SkipWithError("OIIO encode failed");
    }
    setRate(state);
    state.counters["MB"] = double(QFileInfo(QString::fromStdString(out)).size()) / 1e6;
}
BENCHMARK_CAPTURE(BM_PngTiff_OiioEncode, png8, 0)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK_CAPTURE(BM_PngTiff_OiioEncode, png16, 1)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK_CAPTURE(BM_PngTiff_OiioEncode, tif8, 2)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
#endif

// ---------------------------------------------------------------------------
// Whole processes on the same files: celtool convert (beside this benchmark),
// oiiotool and ImageMagick's convert.

QString celtoolPath() {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return {};
    self[n] = 0;
    return QFileInfo(QString::fromLocal8Bit(self)).absolutePath() + QStringLiteral("/celtool");
}

enum class Tool { Celtool, Oiiotool, Magick };
enum class Job { Png8ToTif, TifToPng8, Png16ToPng16 };

QString command(Tool tool, Job job) {
    const Files& f = files();
    const QString in = job == Job::Png8ToTif ? f.png8 : job == Job::TifToPng8 ? f.tif8 : f.png16;
    const QString out = f.path(job == Job::Png8ToTif   ? "proc.tif"
                               : job == Job::TifToPng8 ? "proc8.png"
                                                       : "proc16.png");
    const QString q = QStringLiteral("'%1'");
    switch (tool) {
    case Tool::Celtool: {
        const QString code = job == Job::TifToPng8      ? QStringLiteral(" --code PNG4")
                             : job == Job::Png16ToPng16 ? QStringLiteral(" --code PNGDP4")
                                                        : QString();
        return q.arg(celtoolPath()) + QStringLiteral(" convert") + code + ' ' + q.arg(in) + ' ' + q.arg(out);
    }
    case Tool::Oiiotool:
        return QStringLiteral("oiiotool ") + q.arg(in) +
               (job == Job::Png8ToTif ? QStringLiteral(" --compression none") : QString()) +
               QStringLiteral(" -o ") + q.arg(out);
    case Tool::Magick:
        return QStringLiteral("/usr/bin/convert ") + q.arg(in) +
               (job == Job::Png8ToTif ? QStringLiteral(" -compress None") : QString()) + ' ' + q.arg(out);
    }
    return {};
}

void BM_PngTiff_Process(benchmark::State& state, Tool tool, Job job) {
    if (tool == Tool::Celtool && !QFileInfo::exists(celtoolPath())) {
        state.SkipWithError("celtool not built");
        return;
    }
    if (tool == Tool::Oiiotool && std::system("command -v oiiotool >/dev/null 2>&1") != 0) {
        state.SkipWithError("oiiotool not installed");
        return;
    }
    if (tool == Tool::Magick && !QFileInfo::exists(QStringLiteral("/usr/bin/convert"))) {
        state.SkipWithError("ImageMagick not installed");
        return;
    }
    const QByteArray cmd = (command(tool, job) + QStringLiteral(" >/dev/null 2>&1")).toLocal8Bit();
    for (auto _ : state)
        if (std::system(cmd.constData()) != 0) state.SkipWithError("conversion failed");
    setRate(state);
}

#define PROCESS_BENCH(name, tool, job)                                                                       \
    BENCHMARK_CAPTURE(BM_PngTiff_Process, name, tool, job)                                                   \
        ->Unit(benchmark::kMillisecond)                                                                      \
        ->UseRealTime()                                                                                      \
        ->Iterations(3)
PROCESS_BENCH(png8_to_tif_celtool, Tool::Celtool, Job::Png8ToTif);
PROCESS_BENCH(png8_to_tif_oiiotool, Tool::Oiiotool, Job::Png8ToTif);
PROCESS_BENCH(png8_to_tif_magick, Tool::Magick, Job::Png8ToTif);
PROCESS_BENCH(tif_to_png8_celtool, Tool::Celtool, Job::TifToPng8);
PROCESS_BENCH(tif_to_png8_oiiotool, Tool::Oiiotool, Job::TifToPng8);
PROCESS_BENCH(tif_to_png8_magick, Tool::Magick, Job::TifToPng8);
PROCESS_BENCH(png16_to_png16_celtool, Tool::Celtool, Job::Png16ToPng16);
PROCESS_BENCH(png16_to_png16_oiiotool, Tool::Oiiotool, Job::Png16ToPng16);
PROCESS_BENCH(png16_to_png16_magick, Tool::Magick, Job::Png16ToPng16);

} // namespace
