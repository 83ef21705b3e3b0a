// Rendering a vector drawing into a 4096 x 4096 picture: 300 filled shapes with
// an outline and 1500 ink strokes (10 350 cubic segments), generated, seeded.
// The library's 8-bit render (softRender8, the whole picture) and 16-bit
// render (softRenderBBox, the area the drawing covers: here all of it) at 1
// and 2 threads; one QPainter over the whole picture (what the tiles improve
// on); and, when found, cairo (ARGB32 surface, one context,
// cairo_fill_preserve / cairo_stroke) and librsvg (rsvg_handle_render_document
// of the same paths as SVG, parsed once) in the same binary. Times are wall
// time; the CPU column is the whole process's.
// The peers come first: glib names a member after one of Qt's keyword macros.
#ifdef CELCORE_BENCH_HAVE_CAIRO
#include <cairo.h>
#endif
#ifdef CELCORE_BENCH_HAVE_RSVG
#include <librsvg/rsvg.h>
#endif

#include <benchmark/benchmark.h>
#include <tbb/global_control.h>

#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <cmath>
#include <memory>
#include <random>

#include "cel/VectorQvd.h"
#include "pixel/PixmapArea.h"
#include "pixel/PixmapCanvas.h"

namespace {

constexpr int kSide = 4096;
constexpr double kHalf = 1875.0;               // world units from the centre to an edge (a square picture)
constexpr double kScale = kSide / (2 * kHalf); // pixels per world unit

struct Drawing {
    CELVEC_Qvd cel;
    int segments = 0;
    Drawing() {
        cel.setResolution(kSide, kSide);
        std::mt19937 rng(2024);
        std::uniform_real_distribution<double> u(0.0, 1.0);
        GR_DrawingAccess d(*cel.getDrawingObject());
        const int fills = d.CreateLayer(GR_ColorArtLayer), lines = d.CreateLayer(GR_LineArtLayer);
        const auto world = [&] { return (u(rng) - 0.5) * 2 * kHalf * 0.95; };
        for (int i = 0; i < 300; ++i) {
            const double cx = world(), cy = world(), r = (60 + 340 * u(rng)) / kScale;
            const auto at = [&](double a, double rr) {
                return GR_Point{float(cx + rr * std::cos(a)), float(cy + rr * std::sin(a))};
            };
            GR_Shape s;
            s.flags = GR_Shape::Fill | GR_Shape::Stroke;
            const GR_Point start = at(0, r);
            s.path.moveTo(start.x, start.y);
            const int n = 12;
            for (int k = 0; k < n; ++k) {
                const double a0 = 2 * M_PI * k / n, a1 = 2 * M_PI * (k + 1) / n;
                const GR_Point c1 = at(a0 + (a1 - a0) / 3, r * (0.85 + 0.3 * u(rng)));
                const GR_Point c2 = at(a0 + 2 * (a1 - a0) / 3, r * (0.85 + 0.3 * u(rng)));
                const GR_Point e = k == n - 1 ? start : at(a1, r * (0.9 + 0.2 * u(rng)));
                s.path.cubicTo(c1.x, c1.y, c2.x, c2.y, e.x, e.y);
                ++segments;
            }
            s.path.close();
            s.fill.color = CM_ColorRGBA8{uint8_t(rng()), uint8_t(rng()), uint8_t(rng()),
                                         uint8_t(u(rng) < 0.7 ? 255 : 140)};
            s.stroke.color = CM_ColorRGBA8{25, 20, 30, 255};
            s.width = float(3.0 / kScale);
            d.InsertShape(fills, s);
        }
        for (int i = 0; i < 1500; ++i) {
            double x = world(), y = world();
            GR_Path p;
            p.moveTo(float(x), float(y));
            const int n = 4 + i % 2;
            for (int k = 0; k < n; ++k) {
                const double dx = (u(rng) - 0.5) * 160 / kScale, dy = (u(rng) - 0.5) * 160 / kScale;
                p.cubicTo(float(x + dx * 0.3), float(y + dy * 0.1), float(x + dx * 0.7), float(y + dy * 0.9),
                          float(x + dx), float(y + dy));
                x += dx, y += dy;
                ++segments;
            }
            d.InsertStroke(lines, p, GR_ShapeColor{CM_ColorRGBA8{30, 25, 40, 255}, 0},
                           float((2 + 6 * u(rng)) / kScale));
        }
    }
};

const Drawing& drawing() {
    static const Drawing d;
    return d;
}

// Calls f(shape) in drawing order (colour art, then line art).
template <class F> void forEachShape(F f) {
    for (const GR_Layer& layer : drawing().cel.getDrawingObject()->layers())
        for (const GR_Shape& s : layer.shapes) f(s);
}

void setCounters(benchmark::State& state) {
    state.counters["segments"] = drawing().segments;
}

void BM_VectorRender8(benchmark::State& state) {
    tbb::global_control threads(tbb::global_control::max_allowed_parallelism, std::size_t(state.range(0)));
    for (auto _ : state) {
        std::unique_ptr<CEL_Representation> p(drawing().cel.convertTo(CEL_Representation::PIXMAP_RGBA8));
        benchmark::DoNotOptimize(p.get());
    }
    setCounters(state);
}
BENCHMARK(BM_VectorRender8)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

void BM_VectorRenderBBox16(benchmark::State& state) {
    tbb::global_control threads(tbb::global_control::max_allowed_parallelism, std::size_t(state.range(0)));
    for (auto _ : state) {
        std::unique_ptr<CEL_Representation> p(
            drawing().cel.convertTo(CEL_Representation::PIXMAP_AREA_RGBA16));
        benchmark::DoNotOptimize(p.get());
    }
    setCounters(state);
}
BENCHMARK(BM_VectorRenderBBox16)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

// One QPainter over the whole picture, stroking with a pen: no tiles.
void BM_QPainterWholePicture(benchmark::State& state) {
    std::vector<std::pair<QPainterPath, const GR_Shape*>> paths;
    const QTransform toPixels(kScale, 0, 0, -kScale, kSide / 2.0, kSide / 2.0);
    forEachShape([&](const GR_Shape& s) {
        QPainterPath p;
        const auto& pt = s.path.points();
        std::size_t i = 0;
        for (uint8_t v : s.path.verbs()) {
            if (v == GR_Path::Move) p.moveTo(pt[i].x, pt[i].y), i += 1;
            if (v == GR_Path::Cubic)
                p.cubicTo(pt[i].x, pt[i].y, pt[i + 1].x, pt[i + 1].y, pt[i + 2].x, pt[i + 2].y), i += 3;
            if (v == GR_Path::Close) p.closeSubpath();
        }
        paths.emplace_back(toPixels.map(p), &s);
    });
    QImage image(kSide, kSide, QImage::Format_ARGB32_Premultiplied);
    for (auto _ : state) {
        image.fill(Qt::transparent);
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        for (const auto& [path, s] : paths) {
            if (s->isFilled())
                painter.fillPath(path,
                                 QColor(s->fill.color.r, s->fill.color.g, s->fill.color.b, s->fill.color.a));
            const CM_ColorRGBA8& c = s->stroke.color;
            painter.strokePath(path, QPen(QColor(c.r, c.g, c.b, c.a), s->width * kScale, Qt::SolidLine,
                                          Qt::RoundCap, Qt::RoundJoin));
        }
    }
    setCounters(state);
}
BENCHMARK(BM_QPainterWholePicture)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();

#ifdef CELCORE_BENCH_HAVE_CAIRO

void cairoPath(cairo_t* cr, const GR_Path& path) {
    const auto& pt = path.points();
    std::size_t i = 0;
    for (uint8_t v : path.verbs()) {
        if (v == GR_Path::Move) cairo_move_to(cr, pt[i].x, pt[i].y), i += 1;
        if (v == GR_Path::Line) cairo_line_to(cr, pt[i].x, pt[i].y), i += 1;
        if (v == GR_Path::Cubic)
            cairo_curve_to(cr, pt[i].x, pt[i].y, pt[i + 1].x, pt[i + 1].y, pt[i + 2].x, pt[i + 2].y), i += 3;
        if (v == GR_Path::Close) cairo_close_path(cr);
    }
}

void BM_Cairo(benchmark::State& state) {
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, kSide, kSide);
    cairo_t* cr = cairo_create(surface);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    for (auto _ : state) {
        cairo_identity_matrix(cr);
        cairo_set_operator(cr, CAIRO_OPERATOR_CLEAR);
        cairo_paint(cr);
        cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
        // World units, y up.
        cairo_translate(cr, kSide / 2.0, kSide / 2.0);
        cairo_scale(cr, kScale, -kScale);
        forEachShape([cr](const GR_Shape& s) {
            cairoPath(cr, s.path);
            if (s.isFilled()) {
                const CM_ColorRGBA8& c = s.fill.color;
                cairo_set_source_rgba(cr, c.r / 255.0, c.g / 255.0, c.b / 255.0, c.a / 255.0);
                cairo_fill_preserve(cr);
            }
            const CM_ColorRGBA8& c = s.stroke.color;
            cairo_set_source_rgba(cr, c.r / 255.0, c.g / 255.0, c.b / 255.0, c.a / 255.0);
            cairo_set_line_width(cr, s.width);
            cairo_stroke(cr);
        });
        cairo_surface_flush(surface);
    }
    cairo_destroy(cr);
    cairo_surface_destroy(surface);
    setCounters(state);
}
BENCHMARK(BM_Cairo)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();

#endif

#if defined(CELCORE_BENCH_HAVE_RSVG) && defined(CELCORE_BENCH_HAVE_CAIRO)

std::string svgOfDrawing() {
    std::string svg = "<svg xmlns='http://www.w3.org/2000/svg' width='4096' height='4096' "
                      "viewBox='-1875 -1875 3750 3750'><g transform='scale(1,-1)' stroke-linecap='round' "
                      "stroke-linejoin='round'>";
    char buf[128];
    forEachShape([&](const GR_Shape& s) {
        std::string d;
        const auto& pt = s.path.points();
        std::size_t i = 0;
        for (uint8_t v : s.path.verbs()) {
            const int n = GR_Path::pointsOf(v);
            d += "MLQCZ"[v];
            for (int k = 0; k < n; ++k, ++i) {
                std::snprintf(buf, sizeof buf, " %.9g %.9g", double(pt[i].x), double(pt[i].y));
                d += buf;
            }
        }
        const CM_ColorRGBA8& f = s.fill.color;
        const CM_ColorRGBA8& k = s.stroke.color;
        if (s.isFilled())
            std::snprintf(buf, sizeof buf, "fill='#%02x%02x%02x' fill-opacity='%.4f'", f.r, f.g, f.b,
                          f.a / 255.0);
        else
            std::snprintf(buf, sizeof buf, "fill='none'");
        std::string attrs = buf;
        std::snprintf(buf, sizeof buf, " stroke='#%02x%02x%02x' stroke-opacity='%.4f' stroke-width='%.6g'",
                      k.r, k.g, k.b, k.a / 255.0, double(s.width));
        svg += "<path d='" + d + "' " + attrs + buf + "/>";
    });
    return svg + "</g></svg>";
}

void BM_Rsvg(benchmark::State& state) {
    const std::string svg = svgOfDrawing();
    GError* error = nullptr;
    RsvgHandle* handle =
        rsvg_handle_new_from_data(reinterpret_cast<const guint8*>(svg.data()), gsize(svg.size()), &error);
    if (!handle) {
        state.SkipWithError("librsvg could not read the document");
        return;
    }
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, kSide, kSide);
    const RsvgRectangle viewport{0, 0, double(kSide), double(kSide)};
    for (auto _ : state) {
        cairo_t* cr = cairo_create(surface);
        cairo_set_operator(cr, CAIRO_OPERATOR_CLEAR);
        cairo_paint(cr);
        cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
        if (!rsvg_handle_render_document(handle, cr, &viewport, &error))
            state.SkipWithError("librsvg failed");
        cairo_destroy(cr);
        cairo_surface_flush(surface);
    }
    cairo_surface_destroy(surface);
    g_object_unref(handle);
    setCounters(state);
}
BENCHMARK(BM_Rsvg)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();

#endif

} // namespace
