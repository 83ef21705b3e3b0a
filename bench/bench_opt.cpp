// OPT decoding and encoding of 4096 x 4096 pictures, files in the page cache,
// against the input/output limit measured in the same run (no other program
// reads these files):
// - decoding limit: reading the file in 256 KiB pieces plus filling a fresh
//   pixmap of the decoded size (page faults included);
// - encoding limit: reading the pixmap once plus writing the encoded bytes
//   to a file.
// Pictures: the handler benchmarks' cel content and a noisy plasma. Types 5
// (RGBA, compressed), 6 (matte, compressed) and 2 (RGBA, verbatim) are
// decoded; OPT4 and OPT1 encoded on one and two threads. Our SGI 8-bit
// run-length coder on the same pictures is the neighbour to compare with.
#include <tbb/global_control.h>

#include <benchmark/benchmark.h>

#include <QFile>
#include <QTemporaryDir>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "BenchHandlerImages.h"
#include "cel/Cel.h"
#include "cel/Context.h"
#include "celio/handlers/OptHandler.h"
#include "celio/handlers/SgiHandler.h"
#include "pixel/PixmapCanvas.h"

namespace {

using benchimages::kSide;
constexpr size_t kPixels = size_t(kSide) * kSide;

enum Picture { kCel, kPlasma };

struct Sample {
    QTemporaryDir dir;
    UT_SharedPtr<CEL_Cel> cel[2];
    QString opt[2][7]; // by type: 2, 5, 6
    QString sgi[2];
    QString out;

    QString path(const QString& name) const { return dir.filePath(name); }

    Sample() {
        std::unique_ptr<CEL_PixmapRGBA16> p16(benchimages::celPicture16());
        for (int pic : {kCel, kPlasma}) {
            CEL_Pixmap* p = pic == kCel ? static_cast<CEL_Pixmap*>(new CEL_PixmapRGBA8(*p16))
                                        : benchimages::noisyPlasma8();
            cel[pic] = new CEL_Cel(CEL_Representation::PIXMAP_RGBA8);
            cel[pic]->addRepresentation(UT_SharedPtr<CEL_Representation>(p));
            cel[pic]->convertTo(CEL_Representation::PIXMAP_MATTE8); // kept: the encoders are timed, not it
            const QString tag = QString::number(pic);
            opt[pic][5] = path(QStringLiteral("t5_%1.opt").arg(tag));
            opt[pic][6] = path(QStringLiteral("t6_%1.opt").arg(tag));
            opt[pic][2] = path(QStringLiteral("t2_%1.opt").arg(tag));
            sgi[pic] = path(QStringLiteral("s_%1.sgi").arg(tag));
            const QXCelUioOptHandler handler;
            if (!handler.write(cel[pic].get(), opt[pic][5], QStringLiteral("OPT4")) ||
                !handler.write(cel[pic].get(), opt[pic][6], QStringLiteral("OPT1")) ||
                !QXCelUioSgiHandler().write(cel[pic].get(), sgi[pic], QStringLiteral("SGI4")))
                std::abort();
            // Type 2 is not written by the handler: header and planes by hand.
            const auto* px = reinterpret_cast<const uint8_t*>(
                dynamic_cast<CEL_PixmapRGBA8*>(cel[pic]->convertTo(CEL_Representation::PIXMAP_RGBA8).get())
                    ->data());
            QByteArray file(32, 0);
            file[3] = 2, file[4] = char(kSide >> 8), file[6] = char(kSide >> 8), file[12] = 4;
            file.resize(32 + 4 * qsizetype(kPixels));
            for (size_t c = 0; c < 4; ++c)
                for (size_t i = 0; i < kPixels; ++i)
                    file[qsizetype(32 + c * kPixels + i)] = char(px[4 * i + c]);
            QFile f(opt[pic][2]);
            if (!f.open(QIODevice::WriteOnly) || f.write(file) != file.size()) std::abort();
        }
        out = path(QStringLiteral("out.opt"));
    }
};

const Sample& sample() {
    static const Sample s;
    return s;
}

void setCounters(benchmark::State& state, const QString& file) {
    state.counters["Mpix/s"] = benchmark::Counter(
        double(kPixels), benchmark::Counter::kIsIterationInvariantRate, benchmark::Counter::kIs1000);
    state.counters["MB"] = double(QFile(file).size()) / 1e6;
}

// --------------------------------------------------------------- decoding

void BM_Opt_DecodeLimit(benchmark::State& state, int pic, int type) {
    const QString& path = sample().opt[pic][type];
    const QByteArray name = QFile::encodeName(path);
    std::vector<uint8_t> piece(262144);
    for (auto _ : state) {
        FILE* f = std::fopen(name.constData(), "rb");
        while (std::fread(piece.data(), 1, piece.size(), f) == piece.size()) {
        }
        std::fclose(f);
        if (type == 6) {
            std::unique_ptr<CEL_PixmapMatte8> m(new CEL_PixmapMatte8(kSide, kSide)); // cleared on allocation
            benchmark::DoNotOptimize(m->data());
        } else {
            std::unique_ptr<CEL_PixmapRGBA8> p(
                new CEL_PixmapRGBA8(Math::Size2di(kSide, kSide), CEL_PixmapRGBA8::DoNotMemset{}));
            std::memset(static_cast<void*>(p->data()), 0x5a, kPixels * 4);
            benchmark::DoNotOptimize(p->data());
        }
    }
    setCounters(state, path);
}

void BM_Opt_Decode(benchmark::State& state, int pic, int type) {
    const QString& path = sample().opt[pic][type];
    const QXCelUioOptHandler handler;
    for (auto _ : state) {
        CELIO_RepresentationList list;
        if (!handler.read(path, CEL_Context(), list)) state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(list.front().get());
    }
    setCounters(state, path);
}

void BM_Sgi8_Decode(benchmark::State& state, int pic) {
    const QXCelUioSgiHandler handler;
    for (auto _ : state) {
        CELIO_RepresentationList list;
        if (!handler.read(sample().sgi[pic], CEL_Context(), list)) state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(list.front().get());
    }
    setCounters(state, sample().sgi[pic]);
}

// --------------------------------------------------------------- encoding

void BM_Opt_EncodeLimit(benchmark::State& state, int pic, int type) {
    const Sample& s = sample();
    const auto format = type == 6 ? CEL_Representation::PIXMAP_MATTE8 : CEL_Representation::PIXMAP_RGBA8;
    const UT_SharedPtr<CEL_Representation> rep = s.cel[pic]->convertTo(format);
    const auto* bytes =
        type == 6 ? dynamic_cast<const CEL_PixmapMatte8*>(rep.get())->data()
                  : reinterpret_cast<const uint8_t*>(dynamic_cast<const CEL_PixmapRGBA8*>(rep.get())->data());
    const size_t n = kPixels * (type == 6 ? 1 : 4);
    const std::vector<uint8_t> encoded(size_t(QFile(s.opt[pic][type]).size()), 1);
    const QByteArray name = QFile::encodeName(s.out);
    for (auto _ : state) {
        uint64_t sum = 0;
        for (size_t i = 0; i + 8 <= n; i += 8) {
            uint64_t v;
            std::memcpy(&v, bytes + i, 8);
            sum += v;
        }
        benchmark::DoNotOptimize(sum);
        FILE* f = std::fopen(name.constData(), "wb");
        std::fwrite(encoded.data(), 1, encoded.size(), f);
        std::fclose(f);
    }
    setCounters(state, s.opt[pic][type]);
}

void BM_Opt_Encode(benchmark::State& state, int pic, const char* code) {
    const Sample& s = sample();
    tbb::global_control threads(tbb::global_control::max_allowed_parallelism, size_t(state.range(0)));
    const QXCelUioOptHandler handler;
    for (auto _ : state)
        if (!handler.write(s.cel[pic].get(), s.out, QLatin1String(code)))
            state.SkipWithError("encode failed");
    setCounters(state, s.out);
}

void BM_Sgi8_Encode(benchmark::State& state, int pic) {
    const Sample& s = sample();
    const QString out = s.path(QStringLiteral("out.sgi"));
    for (auto _ : state)
        if (!QXCelUioSgiHandler().write(s.cel[pic].get(), out, QStringLiteral("SGI4")))
            state.SkipWithError("encode failed");
    setCounters(state, out);
}

} // namespace

#define OPT_BENCH(fn, name, ...)                                                                             \
    BENCHMARK_CAPTURE(fn, name, __VA_ARGS__)->Unit(benchmark::kMillisecond)->UseRealTime()

OPT_BENCH(BM_Opt_DecodeLimit, cel_type5, kCel, 5);
OPT_BENCH(BM_Opt_Decode, cel_type5, kCel, 5);
OPT_BENCH(BM_Opt_DecodeLimit, cel_type6, kCel, 6);
OPT_BENCH(BM_Opt_Decode, cel_type6, kCel, 6);
OPT_BENCH(BM_Opt_DecodeLimit, cel_type2, kCel, 2);
OPT_BENCH(BM_Opt_Decode, cel_type2, kCel, 2);
OPT_BENCH(BM_Sgi8_Decode, cel, kCel);
OPT_BENCH(BM_Opt_DecodeLimit, plasma_type5, kPlasma, 5);
OPT_BENCH(BM_Opt_Decode, plasma_type5, kPlasma, 5);
OPT_BENCH(BM_Opt_DecodeLimit, plasma_type6, kPlasma, 6);
OPT_BENCH(BM_Opt_Decode, plasma_type6, kPlasma, 6);
OPT_BENCH(BM_Opt_DecodeLimit, plasma_type2, kPlasma, 2);
OPT_BENCH(BM_Opt_Decode, plasma_type2, kPlasma, 2);
OPT_BENCH(BM_Sgi8_Decode, plasma, kPlasma);

OPT_BENCH(BM_Opt_EncodeLimit, cel_OPT4, kCel, 5);
OPT_BENCH(BM_Opt_Encode, cel_OPT4, kCel, "OPT4")->Arg(1)->Arg(2);
OPT_BENCH(BM_Opt_EncodeLimit, cel_OPT1, kCel, 6);
OPT_BENCH(BM_Opt_Encode, cel_OPT1, kCel, "OPT1")->Arg(1);
OPT_BENCH(BM_Sgi8_Encode, cel, kCel);
OPT_BENCH(BM_Opt_EncodeLimit, plasma_OPT4, kPlasma, 5);
OPT_BENCH(BM_Opt_Encode, plasma_OPT4, kPlasma, "OPT4")->Arg(1)->Arg(2);
OPT_BENCH(BM_Opt_EncodeLimit, plasma_OPT1, kPlasma, 6);
OPT_BENCH(BM_Opt_Encode, plasma_OPT1, kPlasma, "OPT1")->Arg(1);
OPT_BENCH(BM_Sgi8_Encode, plasma, kPlasma);
