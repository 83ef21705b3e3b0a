// OMF media of a 4096 x 4096 opaque cel picture (the handler benchmarks' cel
// content laid over a graded backdrop), against what bounds them, measured in
// the same run:
// - "OMF" (RGB as stored): the handler's write and read of files, and the
//   container's sample read from memory, against memcpy of the 48 MiB RGB
//   frame plus writing or reading it as a plain file;
// - "OMFJPEG": the handler's write and read, and the container's decoding from
//   memory, against bare libjpeg-turbo (jpeg_mem_dest / jpeg_mem_src) with the
//   same settings: quality 90, 4:4:4, accurate integer DCT.
// The handler cases run at 1 and 2 threads: packing RGBA into RGB and back is
// split over rows, a JPEG stream is coded on one thread.
#include <fcntl.h>
#include <tbb/global_control.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <QFile>
#include <QTemporaryDir>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <jpeglib.h>

#include "BenchHandlerImages.h"
#include "cel/Cel.h"
#include "cel/Context.h"
#include "celio/handlers/OmfHandler.h"
#include "omf/OmfContainer.h"
#include "pixel/PixmapCanvas.h"

namespace {

using benchimages::kSide;
constexpr size_t kPixels = size_t(kSide) * kSide;
constexpr size_t kRgbBytes = kPixels * 3;

struct Sample {
    QTemporaryDir dir;
    UT_SharedPtr<CEL_Cel> cel;
    std::vector<uint8_t> rgb; // the frame as the files hold it
    QString omf, jpeg, plain, out;
    QByteArray omfBytes, jpegBytes;

    Sample() {
        // Cel content over a graded backdrop: opaque everywhere.
        std::unique_ptr<CEL_PixmapRGBA16> p16(benchimages::celPicture16());
        for (int y = 0; y < kSide; ++y)
            for (int x = 0; x < kSide; ++x) {
                CEL_PixelRGBA16& px = p16->data()[size_t(y) * kSide + x];
                const int k = 32767 - px.a;
                const auto under = [k](int16_t c, int backdrop) { return int16_t(c + backdrop * k / 32767); };
                px = CEL_PixelRGBA16{under(px.r, 6000 + 4 * y), under(px.g, 9000 + 3 * x), under(px.b, 20000),
                                     32767};
            }
        auto* p8 = new CEL_PixmapRGBA8(*p16);
        cel = new CEL_Cel(CEL_Representation::PIXMAP_RGBA8);
        cel->addRepresentation(UT_SharedPtr<CEL_Representation>(p8));
        rgb.resize(kRgbBytes);
        for (size_t i = 0; i < kPixels; ++i) {
            rgb[3 * i] = p8->data()[i].r;
            rgb[3 * i + 1] = p8->data()[i].g;
            rgb[3 * i + 2] = p8->data()[i].b;
        }
        omf = dir.filePath(QStringLiteral("frame.omf"));
        jpeg = dir.filePath(QStringLiteral("frame-jpeg.omf"));
        plain = dir.filePath(QStringLiteral("frame.rgb"));
        out = dir.filePath(QStringLiteral("out.omf"));
        const QXCelUioOmfHandler handler;
        if (!handler.write(cel.get(), omf, QStringLiteral("OMF")) ||
            !handler.write(cel.get(), jpeg, QStringLiteral("OMFJPEG")))
            std::abort();
        QFile f(plain);
        if (!f.open(QIODevice::WriteOnly) ||
            f.write(reinterpret_cast<const char*>(rgb.data()), qint64(rgb.size())) != qint64(rgb.size()))
            std::abort();
        f.close();
        QFile a(omf), b(jpeg);
        if (!a.open(QIODevice::ReadOnly) || !b.open(QIODevice::ReadOnly)) std::abort();
        omfBytes = a.readAll();
        jpegBytes = b.readAll();
    }
};

const Sample& sample() {
    static const Sample s;
    return s;
}

void setCounters(benchmark::State& state, qint64 fileBytes) {
    state.counters["Mpix/s"] = benchmark::Counter(
        double(kPixels), benchmark::Counter::kIsIterationInvariantRate, benchmark::Counter::kIs1000);
    state.counters["MB"] = double(fileBytes) / 1e6;
}

// --------------------------------------------------------------- the bounds

void BM_Omf_Memcpy(benchmark::State& state) {
    const Sample& s = sample();
    std::vector<uint8_t> copy(kRgbBytes);
    for (auto _ : state) {
        std::memcpy(copy.data(), s.rgb.data(), kRgbBytes);
        benchmark::DoNotOptimize(copy.data());
    }
    setCounters(state, qint64(kRgbBytes));
}

void BM_Omf_PlainFileWrite(benchmark::State& state) {
    const Sample& s = sample();
    const QByteArray name = QFile::encodeName(s.plain + QStringLiteral(".out"));
    for (auto _ : state) {
        const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0 || ::write(fd, s.rgb.data(), kRgbBytes) != ssize_t(kRgbBytes) || ::close(fd) != 0)
            state.SkipWithError("write failed");
    }
    setCounters(state, qint64(kRgbBytes));
}

void BM_Omf_PlainFileRead(benchmark::State& state) {
    const QByteArray name = QFile::encodeName(sample().plain);
    for (auto _ : state) {
        std::unique_ptr<uint8_t[]> buffer(new uint8_t[kRgbBytes]); // fresh, as a decoder's would be
        const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || ::read(fd, buffer.get(), kRgbBytes) != ssize_t(kRgbBytes))
            state.SkipWithError("read failed");
        ::close(fd);
        benchmark::DoNotOptimize(buffer.get());
    }
    setCounters(state, qint64(kRgbBytes));
}

struct JpegErrors {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};
[[noreturn]] void jpegExit(j_common_ptr c) {
    std::longjmp(reinterpret_cast<JpegErrors*>(c->err)->jump, 1);
}

void BM_Omf_BareLibjpegEncode(benchmark::State& state) {
    const Sample& s = sample();
    unsigned long bytes = 0;
    for (auto _ : state) {
        jpeg_compress_struct cinfo;
        JpegErrors err;
        cinfo.err = jpeg_std_error(&err.pub);
        err.pub.error_exit = jpegExit;
        unsigned char* out = nullptr;
        bytes = 0;
        if (setjmp(err.jump)) {
            jpeg_destroy_compress(&cinfo);
            std::free(out);
            state.SkipWithError("encode failed");
            break;
        }
        jpeg_create_compress(&cinfo);
        jpeg_mem_dest(&cinfo, &out, &bytes);
        cinfo.image_width = kSide;
        cinfo.image_height = kSide;
        cinfo.input_components = 3;
        cinfo.in_color_space = JCS_RGB;
        jpeg_set_defaults(&cinfo);
        jpeg_set_quality(&cinfo, 90, TRUE);
        for (int i = 0; i < 3; ++i) cinfo.comp_info[i].h_samp_factor = cinfo.comp_info[i].v_samp_factor = 1;
        cinfo.dct_method = JDCT_ISLOW;
        jpeg_start_compress(&cinfo, TRUE);
        while (cinfo.next_scanline < cinfo.image_height) {
            JSAMPROW row = const_cast<JSAMPROW>(s.rgb.data() + size_t(cinfo.next_scanline) * kSide * 3);
            jpeg_write_scanlines(&cinfo, &row, 1);
        }
        jpeg_finish_compress(&cinfo);
        jpeg_destroy_compress(&cinfo);
        std::free(out);
    }
    setCounters(state, qint64(bytes));
}

void BM_Omf_BareLibjpegDecode(benchmark::State& state) {
    const Sample& s = sample();
    // The stream inside the OMF file: its SAMP object's DATA value.
    QByteArray stream = s.jpegBytes.mid(s.jpegBytes.indexOf("\xff\xd8\xff"));
    std::vector<uint8_t> frame(kRgbBytes); // reused, as the container case's
    for (auto _ : state) {
        uint8_t* const rgb = frame.data();
        jpeg_decompress_struct cinfo;
        JpegErrors err;
        cinfo.err = jpeg_std_error(&err.pub);
        err.pub.error_exit = jpegExit;
        if (setjmp(err.jump)) {
            jpeg_destroy_decompress(&cinfo);
            state.SkipWithError("decode failed");
            break;
        }
        jpeg_create_decompress(&cinfo);
        jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char*>(stream.constData()),
                     (unsigned long)stream.size());
        jpeg_read_header(&cinfo, TRUE);
        cinfo.out_color_space = JCS_RGB;
        cinfo.dct_method = JDCT_ISLOW;
        jpeg_start_decompress(&cinfo);
        while (cinfo.output_scanline < cinfo.output_height) {
            JSAMPROW row = rgb + size_t(cinfo.output_scanline) * kSide * 3;
            jpeg_read_scanlines(&cinfo, &row, 1);
        }
        jpeg_finish_decompress(&cinfo);
        jpeg_destroy_decompress(&cinfo);
        benchmark::DoNotOptimize(rgb);
    }
    setCounters(state, stream.size());
}

// --------------------------------------------------------------- ours

void BM_Omf_HandlerWrite(benchmark::State& state, const char* code) {
    const Sample& s = sample();
    tbb::global_control threads(tbb::global_control::max_allowed_parallelism, size_t(state.range(0)));
    const QXCelUioOmfHandler handler;
    for (auto _ : state)
        if (!handler.write(s.cel.get(), s.out, QLatin1String(code))) state.SkipWithError("write failed");
    setCounters(state, QFile(s.out).size());
}

void BM_Omf_HandlerRead(benchmark::State& state, bool jpeg) {
    const Sample& s = sample();
    tbb::global_control threads(tbb::global_control::max_allowed_parallelism, size_t(state.range(0)));
    const QXCelUioOmfHandler handler;
    const QString& path = jpeg ? s.jpeg : s.omf;
    for (auto _ : state) {
        CELIO_RepresentationList list;
        if (!handler.read(path, CEL_Context(), list)) state.SkipWithError("read failed");
        benchmark::DoNotOptimize(list.front().get());
    }
    setCounters(state, QFile(path).size());
}

// The container alone, from memory: the samples into a fresh buffer.
void BM_Omf_ContainerFromMemory(benchmark::State& state, bool jpeg) {
    const QByteArray& bytes = jpeg ? sample().jpegBytes : sample().omfBytes;
    OMF_Toolkit::start();
    // One buffer for every pass, as memcpy's: fresh pages would time the kernel.
    std::vector<uint8_t> frame(kRgbBytes);
    uint8_t* const rgb = frame.data();
    for (auto _ : state) {
        OMF_File f;
        if (f.openMemory(bytes.constData(), size_t(bytes.size())) != OMF_Status::Ok)
            state.SkipWithError("open");
        f.setDecompression(true);
        if (f.readSamples(1, rgb, kRgbBytes) != int64_t(kRgbBytes)) state.SkipWithError("read failed");
        benchmark::DoNotOptimize(rgb);
    }
    OMF_Toolkit::stop();
    setCounters(state, bytes.size());
}

} // namespace

#define OMF_BENCH(fn, ...) BENCHMARK(fn)->Unit(benchmark::kMillisecond)->UseRealTime()
#define OMF_CAPTURE(fn, name, ...)                                                                           \
    BENCHMARK_CAPTURE(fn, name, __VA_ARGS__)->Unit(benchmark::kMillisecond)->UseRealTime()

OMF_BENCH(BM_Omf_Memcpy);
OMF_BENCH(BM_Omf_PlainFileWrite);
OMF_BENCH(BM_Omf_PlainFileRead);
OMF_CAPTURE(BM_Omf_HandlerWrite, OMF, "OMF")->Arg(1)->Arg(2);
OMF_CAPTURE(BM_Omf_HandlerRead, OMF, false)->Arg(1)->Arg(2);
OMF_CAPTURE(BM_Omf_ContainerFromMemory, OMF, false);
OMF_BENCH(BM_Omf_BareLibjpegEncode);
OMF_BENCH(BM_Omf_BareLibjpegDecode);
OMF_CAPTURE(BM_Omf_HandlerWrite, OMFJPEG, "OMFJPEG")->Arg(1)->Arg(2);
OMF_CAPTURE(BM_Omf_HandlerRead, OMFJPEG, true)->Arg(1)->Arg(2);
OMF_CAPTURE(BM_Omf_ContainerFromMemory, OMFJPEG, true);
