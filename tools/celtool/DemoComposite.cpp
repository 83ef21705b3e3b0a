// The demo's compositing: the frame sequence laid over a generated backdrop
// with the premultiplied over, and a chart with one tile per colour operation
// (a soft-edged, half-transparent coloured disc over a colour gradient and a
// band of grey steps), labelled with its number and name, under a legend that
// states how the tiles were made.
#include <QDir>
#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "CelFiles.h"
#include "Command.h"
#include "DemoSheets.h"
#include "LabelFont.h"
#include "algo/composite/AlgoException.h"
#include "algo/composite/Composite.h"
#include "cel/Cel.h"
#include "celio/Manager.h"
#include "pixel/PixmapArea.h"

namespace celtool {

namespace {

using Pixmap = CEL_PixmapAreaRGBA16;

std::unique_ptr<Pixmap> newPixmap(int w, int h) {
    auto p = std::make_unique<Pixmap>(w, h);
    if (!p->realloc(Math::Box2di(0, 0, w, h), false)) return nullptr;
    return p;
}

int16_t q(double v) {
    return int16_t(std::lround(std::clamp(v, 0.0, 1.0) * 32767.0));
}

// A diagonal colour gradient over a band of six grey steps (the lower
// `greyBand` of the height): dark, light, saturated and neutral destination
// colours for every mode.
void drawBackdrop(Pixmap& p, int x0, int y0, int w, int h, double greyBand) {
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const double u = double(x) / std::max(1, w - 1), v = double(y) / std::max(1, h - 1);
            CEL_PixelRGBA16* px = p.pixel(x0 + x, y0 + y);
            if (v > 1.0 - greyBand) {
                const int16_t g = q(std::min(std::floor(u * 6.0), 5.0) / 5.0);
                *px = CEL_PixelRGBA16{g, g, g, 32767};
            } else {
                *px = CEL_PixelRGBA16{q(u), q(0.25 + 0.5 * v), q(1.0 - u), 32767};
            }
        }
}

// A premultiplied disc: antialiased rim, alpha falling from 0.8 to 0.35.
void drawDisc(Pixmap& p, double cx, double cy, double radius, double r, double g, double b) {
    const Math::Box2di box = p.allocatedRect();
    for (int y = box.y1(); y < box.y2(); ++y)
        for (int x = box.x1(); x < box.x2(); ++x) {
            const double d = std::hypot(x + 0.5 - cx, y + 0.5 - cy);
            const double a = std::clamp(radius - d + 0.5, 0.0, 1.0) * (0.35 + 0.45 * (1.0 - d / radius));
            if (a <= 0.0) continue;
            *p.pixel(x, y) = CEL_PixelRGBA16{q(r * a), q(g * a), q(b * a), q(a)};
        }
}

} // namespace

// The demo's labels are upper case: the label font's capitals, digits and marks.
const uint8_t* glyph(char c) {
    return labelGlyph(c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c);
}

constexpr int kGlyphAdvance = 6, kLineHeight = 9;

void drawText(Pixmap& p, int x0, int y0, const std::string& text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const uint8_t* rows = glyph(text[i]);
        for (int y = 0; y < 7; ++y)
            for (int x = 0; x < 5; ++x)
                if (rows[y] & (16 >> x))
                    if (CEL_PixelRGBA16* px = p.pixel(x0 + int(i) * kGlyphAdvance + x, y0 + y))
                        *px = CEL_PixelRGBA16{32767, 32767, 32767, 32767};
    }
}

namespace {

// The text in at most `maxLines` lines of `width` characters, broken after
// spaces and underscores; what still does not fit ends in '~', so that no
// label is ever cut without a mark.
std::vector<std::string> wrapText(const std::string& text, std::size_t width, std::size_t maxLines) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < text.size() && lines.size() < maxLines) {
        std::size_t take = std::min(width, text.size() - at);
        if (at + take < text.size()) {
            const std::size_t brk = text.find_last_of(" _", at + take - 1);
            if (brk != std::string::npos && brk >= at) take = brk + 1 - at;
        }
        std::string line = text.substr(at, take);
        while (!line.empty() && line.back() == ' ') line.pop_back();
        lines.push_back(line);
        at += take;
        while (at < text.size() && text[at] == ' ') ++at;
    }
    if (at < text.size() && !lines.empty()) {
        std::string& last = lines.back();
        last = last.substr(0, std::min(last.size(), width - 1)) + '~';
    }
    return lines;
}

// The demo's pictures hold premultiplied colour, written as 8-bit RGBA PNG.
bool writeArea(std::unique_ptr<Pixmap> p, const QString& path) {
    const UT_SharedPtr<CEL_Cel> cel =
        celOf(std::move(p), CelOrigin{{4, false}, CELIO_Alpha::Premultiplied, {}});
    return writeCel(cel.get(), path, QStringLiteral("PNG"), QStringLiteral("PNG4")) == kSuccess;
}

// Each TGA frame written by demoFrames, laid over the backdrop.
bool compositeFrames(const QString& outDir) {
    const QDir dir(outDir);
    const QStringList frames = dir.entryList({QStringLiteral("frame-*.tga")}, QDir::Files, QDir::Name);
    for (const QString& name : frames) {
        const UT_SharedPtr<CEL_Cel> cel = readCel(dir.filePath(name), QString(), QString());
        if (!cel) return false;
        // The frames hold straight colour: premultiplied for compositing.
        const auto layer = workingArea(cel.get(), dir.filePath(name), false);
        if (!layer) return false;
        const int w = layer->width(), h = layer->height();
        auto base = newPixmap(w, h);
        if (!base) return false;
        drawBackdrop(*base, 0, 0, w, h, 0.2);
        CelAlgo::composite(base.get(), layer.get(), CelAlgo::ADD_APPLY_SRC_ALPHA_INV,
                           CelAlgo::ADD_APPLY_SRC_ALPHA_INV);
        const QString out = dir.filePath(QString(name)
                                             .replace(QStringLiteral("frame-"), QStringLiteral("over-"))
                                             .replace(QStringLiteral(".tga"), QStringLiteral(".png")));
        if (!writeArea(std::move(base), out)) return false;
        print(QStringLiteral("composited %1 over the backdrop: %2").arg(name, out));
    }
    return !frames.isEmpty();
}

// One tile per colour operation the dispatcher accepts (a value it rejects
// gets no tile), under a legend saying how the tiles were made.
bool blendChart(const QString& outDir) {
    constexpr int tile = 128, cols = 8, labelLines = 2;
    constexpr int label = labelLines * kLineHeight + 3, legendLines = 3;
    constexpr int legend = legendLines * kLineHeight + 8;
    constexpr double opacity = 0.8;
    std::vector<int> ops;
    for (int op = 1; op < 70; ++op)
        if (*CelAlgo::compositeOpName(op)) ops.push_back(op);
    const int rows = int(ops.size() + cols - 1) / cols;
    auto chart = newPixmap(cols * tile, legend + rows * (tile + label));
    if (!chart) return false;
    std::fill(chart->data(), chart->data() + chart->allocatedRect().area(),
              CEL_PixelRGBA16{3000, 3000, 3000, 32767});
    const std::string legendText =
        "EACH TILE: NUMBER AND NAME OF THE COLOUR OPERATION; SOURCE: A DISC (ALPHA 0.35 TO 0.8, "
        "PREMULTIPLIED) LAID AT OPACITY " +
        QString::number(opacity).toStdString() +
        " OVER A GRADIENT AND SIX GREY STEPS. ALPHA OPERATION: ADD_APPLY_SRC_ALPHA_INV (THE OVER), NONE FOR "
        "THE FN_ OPERATIONS 44 TO 69, WHICH SET ALPHA THEMSELVES.";
    const std::vector<std::string> legendRows =
        wrapText(legendText, std::size_t(cols * tile - 8) / kGlyphAdvance, legendLines);
    for (std::size_t i = 0; i < legendRows.size(); ++i)
        drawText(*chart, 4, 4 + int(i) * kLineHeight, legendRows[i]);

    int shown = 0;
    for (const int op : ops) {
        auto dst = newPixmap(tile, tile);
        auto src = newPixmap(tile, tile);
        if (!dst || !src) return false;
        // The disc covers the middle grey steps and leaves the outer ones bare.
        drawBackdrop(*dst, 0, 0, tile, tile, 0.4);
        std::fill(src->data(), src->data() + tile * tile, CEL_PixelRGBA16{0, 0, 0, 0});
        drawDisc(*src, tile * 0.5, tile * 0.56, tile * 0.36, 0.95, 0.45, 0.15);
        src->setAllPositive(true);
        // The blend-function family sets destination alpha itself.
        const auto alphaOp = op >= CelAlgo::FN_DARKEN ? CelAlgo::NONE : CelAlgo::ADD_APPLY_SRC_ALPHA_INV;
        try {
            CelAlgo::composite(dst.get(), src.get(), CelAlgo::GenericCompositeOp(op), alphaOp, opacity);
        } catch (const CelAlgo::AlgoException&) {
            continue; // not a colour operation: no tile
        }
        const int tx = int(shown % cols) * tile, ty = legend + int(shown / cols) * (tile + label);
        for (int y = 0; y < tile; ++y)
            for (int x = 0; x < tile; ++x)
                if (const CEL_PixelRGBA16* s = dst->pixel(x, y)) *chart->pixel(tx + x, ty + label + y) = *s;
        const std::string text = std::to_string(op) + " " + CelAlgo::compositeOpName(op);
        const std::vector<std::string> lines =
            wrapText(text, std::size_t(tile - 4) / kGlyphAdvance, labelLines);
        for (std::size_t i = 0; i < lines.size(); ++i)
            drawText(*chart, tx + 2, ty + 2 + int(i) * kLineHeight, lines[i]);
        ++shown;
    }
    const QString path = QDir(outDir).filePath(QStringLiteral("blend-chart.png"));
    if (!writeArea(std::move(chart), path)) return false;
    print(QStringLiteral("wrote %1: %2 composite operations, one labelled tile each").arg(path).arg(shown));
    return shown > 0;
}

} // namespace

void drawLabel(CEL_PixmapAreaRGBA16& p, int x0, int y0, const QString& text) {
    drawText(p, x0, y0, text.toStdString());
}

int demoComposite(const QString& outDir) {
    try {
        if (!compositeFrames(outDir) || !blendChart(outDir)) return kFailure;
    } catch (const CelAlgo::AlgoException& e) {
        error(e.what());
        return kFailure;
    }
    return kSuccess;
}

} // namespace celtool
