// Text burn-ins: one line ("SHOT 010  00:01:23:12", automatic size at 40 %,
// a background box) into a 4096 x 4096 cel and a 1920 x 1080 frame, as
// `celtool filter --text` does it: layout into a drawing, render of the text's
// area, premultiplied over. Peers: ImageMagick's AnnotateImage (DejaVu-Sans,
// an undercolour box) and libvips' vips_text + vips_composite2 (no box; the
// result is written to memory, as vips makes a new image).
#ifdef CELCORE_BENCH_HAVE_VIPS
#include <vips/vips.h>
#endif
#ifdef CELCORE_BENCH_HAVE_MAGICK
#include <magick/MagickCore.h>
#endif

#include <benchmark/benchmark.h>

#include <QGuiApplication>
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <tbb/global_control.h>

#include "algo/composite/Composite.h"
#include "algo/filters/TextOverlay.h"
#include "base/VectorText.h"
#include "cel/VectorQvd.h"
#include "pixel/PixmapArea.h"

namespace {

const char* const kLine = "SHOT 010  00:01:23:12";

// Qt's fonts need a GUI application; the benchmark's main() makes none.
bool guiReady() {
    static const bool ready = [] {
        if (QCoreApplication::instance())
            return qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr;
        if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "celcore_bench";
        static char* argv[] = {name, nullptr};
        new QGuiApplication(argc, argv); // lives as long as the process
        return true;
    }();
    return ready;
}

int sideW(int which) {
    return which == 0 ? 4096 : 1920;
}
int sideH(int which) {
    return which == 0 ? 4096 : 1080;
}

// The size the automatic layout gives at 40 %, in pixels of a frame `h` rows tall.
double pointSize(int h) {
    return 245.0 * h / 3750.0;
}

CelAlgo::TextProperties lineProperties() {
    CelAlgo::TextProperties p;
    p.text = QString::fromLatin1(kLine);
    p.sample = QStringLiteral("SHOT 000  00:00:00:00");
    p.backgroundBox = true;
    return p;
}

void BM_TextLayout(benchmark::State& state) {
    if (!guiReady()) return state.SkipWithError("no GUI application");
    for (auto _ : state) {
        GR_CompositeVectorDrawingObj drawing;
        GR_DrawingAccess access(drawing);
        GR_TextAccess text(&drawing);
        CelAlgo::TextProperties p = lineProperties();
        CelAlgo::writeText(access, text, &p, 0xFFFFFFFFLL, 0xB0000000LL, -1, 0, 40, 1.0, 1.0);
        benchmark::DoNotOptimize(drawing.layers().data());
    }
}
BENCHMARK(BM_TextLayout)->Unit(benchmark::kMicrosecond);

void BM_TextBurnIn(benchmark::State& state) {
    if (!guiReady()) return state.SkipWithError("no GUI application");
    tbb::global_control threads(tbb::global_control::max_allowed_parallelism, std::size_t(state.range(1)));
    const int w = sideW(int(state.range(0))), h = sideH(int(state.range(0)));
    CEL_PixmapAreaRGBA16 frame(w, h);
    if (!frame.reallocToCanvas()) return state.SkipWithError("no memory");
    std::fill(frame.data(), frame.data() + std::size_t(w) * h, CEL_PixelRGBA16{8000, 12000, 16000, 32767});
    for (auto _ : state) {
        GR_CompositeVectorDrawingObj drawing;
        GR_DrawingAccess access(drawing);
        GR_TextAccess text(&drawing);
        CelAlgo::TextProperties p = lineProperties();
        CelAlgo::writeText(access, text, &p, 0xFFFFFFFFLL, 0xB0000000LL, -1, 0, 40, 1.0, double(w) / h);
        CELVEC_Qvd qvd;
        qvd.setResolution(w, h);
        std::unique_ptr<CEL_PixmapAreaRGBA16> area(qvd.softRenderBBox(&drawing));
        area->setAllPositive(true);
        CelAlgo::composite_ADD_APPLY_SRC_ALPHA_INV_ALL(&frame, area.get());
    }
}
BENCHMARK(BM_TextBurnIn)->ArgsProduct({{0, 1}, {1, 2}})->Unit(benchmark::kMillisecond)->UseRealTime();

#ifdef CELCORE_BENCH_HAVE_MAGICK
void BM_TextBurnIn_MagickAnnotate(benchmark::State& state) {
    MagickCoreGenesis(nullptr, MagickFalse);
    SetMagickResourceLimit(ThreadResource, MagickSizeType(state.range(1)));
    const int w = sideW(int(state.range(0))), h = sideH(int(state.range(0)));
    ExceptionInfo* exception = AcquireExceptionInfo();
    std::vector<uint16_t> pixels(std::size_t(w) * h * 4, 16000);
    Image* image =
        ConstituteImage(std::size_t(w), std::size_t(h), "RGBA", ShortPixel, pixels.data(), exception);
    DrawInfo* draw = AcquireDrawInfo();
    CloneString(&draw->font, "DejaVu-Sans");
    CloneString(&draw->text, kLine);
    CloneString(&draw->geometry, ("+0+" + std::to_string(int(h * 0.1))).c_str());
    draw->pointsize = pointSize(h);
    draw->gravity = SouthGravity;
    QueryColorDatabase("white", &draw->fill, exception);
    QueryColorDatabase("#000000B0", &draw->undercolor, exception);
    for (auto _ : state) AnnotateImage(image, draw);
    DestroyDrawInfo(draw);
    DestroyImage(image);
    DestroyExceptionInfo(exception);
}
BENCHMARK(BM_TextBurnIn_MagickAnnotate)
    ->ArgsProduct({{0, 1}, {1, 2}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
#endif

#ifdef CELCORE_BENCH_HAVE_VIPS
void BM_TextBurnIn_VipsTextComposite(benchmark::State& state) {
    if (VIPS_INIT("celcore_bench")) return state.SkipWithError("vips did not start");
    vips_concurrency_set(int(state.range(1)));
    vips_cache_set_max(0);
    const int w = sideW(int(state.range(0))), h = sideH(int(state.range(0)));
    std::vector<uint8_t> pixels(std::size_t(w) * h * 4, 60);
    VipsImage* raw = vips_image_new_from_memory(pixels.data(), pixels.size(), w, h, 4, VIPS_FORMAT_UCHAR);
    VipsImage* base = nullptr;
    vips_copy(raw, &base, "interpretation", VIPS_INTERPRETATION_sRGB, nullptr);
    g_object_unref(raw);
    const std::string font = "DejaVu Sans " + std::to_string(pointSize(h));
    for (auto _ : state) {
        VipsImage *mask = nullptr, *white = nullptr, *joined = nullptr, *rgba = nullptr, *out = nullptr;
        if (vips_text(&mask, kLine, "font", font.c_str(), "dpi", 72, nullptr) ||
            vips_linear1(mask, &white, 0.0, 255.0, "uchar", TRUE, nullptr)) {
            state.SkipWithError(vips_error_buffer());
            break;
        }
        VipsImage* bands[4] = {white, white, white, mask};
        if (vips_bandjoin(bands, &joined, 4, nullptr) ||
            vips_copy(joined, &rgba, "interpretation", VIPS_INTERPRETATION_sRGB, nullptr) ||
            vips_composite2(base, rgba, &out, VIPS_BLEND_MODE_OVER, "x", (w - mask->Xsize) / 2, "y",
                            h - int(h * 0.1) - mask->Ysize, nullptr)) {
            state.SkipWithError(vips_error_buffer());
            break;
        }
        std::size_t size = 0;
        void* bytes = vips_image_write_to_memory(out, &size);
        benchmark::DoNotOptimize(bytes);
        g_free(bytes);
        for (VipsImage* i : {mask, white, joined, rgba, out}) g_object_unref(i);
    }
    g_object_unref(base);
}
BENCHMARK(BM_TextBurnIn_VipsTextComposite)
    ->ArgsProduct({{0, 1}, {1, 2}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
#endif

} // namespace
