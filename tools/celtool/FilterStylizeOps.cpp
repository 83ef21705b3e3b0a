// `celtool filter` rows of the stylising filters: mosaic, gradient,
// dithering, contrast, grain and refraction.
//
// Every row first reallocates the picture to its canvas, so that mosaic
// blocks, noise and grain line up with the picture's corner whatever part of
// it the file stored, and transparent areas are treated like the rest.
#include <QStringList>
#include <cmath>
#include <memory>

#include "CelFiles.h"
#include "FilterOps.h"
#include "algo/filters/Refract.h"
#include "algo/filters/Stylize.h"
#include "base/MathTypes.h"
#include "cel/Cel.h"
#include "pixel/PixmapArea.h"

namespace celtool {

namespace {

using Area = CEL_PixmapAreaRGBA16;

long g_seed = 0;

// The area reallocated to its whole canvas; null (with a message) when memory runs out.
Area* wholeCanvas(FilterPixmap& p, QString& error) {
    Area* a = static_cast<Area*>(p.get());
    if (!a->canvasRect().hasNullArea() && !a->reallocToCanvas()) {
        error = QStringLiteral("out of memory");
        return nullptr;
    }
    return a;
}

// "A:B:C" split at colons, with an optional trailing word; false when the
// count of the remaining parts is outside [lo, hi].
bool splitParts(const QString& arg, const char* what, const char* syntax, int lo, int hi, const char* word,
                QStringList& parts, bool& flag, QString& error) {
    parts = arg.split(QLatin1Char(':'));
    flag = parts.size() > lo && parts.back() == QLatin1String(word);
    if (flag) parts.removeLast();
    if (parts.size() < lo || parts.size() > hi || parts.contains(QString())) {
        error = QStringLiteral("%1: '%2' is not %3").arg(QLatin1String(what), arg, QLatin1String(syntax));
        return false;
    }
    return true;
}

bool inRange(double v, double lo, double hi, bool hiOpen, const char* what, const char* name,
             QString& error) {
    if (v >= lo && (hiOpen ? v < hi : v <= hi)) return true;
    error = QStringLiteral("%1: %2 %3 is outside [%4, %5%6")
                .arg(QLatin1String(what), QLatin1String(name))
                .arg(v)
                .arg(lo)
                .arg(hi)
                .arg(hiOpen ? QLatin1Char(')') : QLatin1Char(']'));
    return false;
}

// --- Mosaic ---

struct PixelateArgs {
    long long size = 0;
    QString mask; // empty: opaque
    bool invert = false;
};

bool parsePixelate(const QString& arg, FilterParams& params, QString& error) {
    PixelateArgs p;
    QStringList parts;
    if (!splitParts(arg, "--pixelate", "SIZE[:MASK][:invert]", 1, 2, "invert", parts, p.invert, error) ||
        !parseInteger(parts[0], "--pixelate", 2, INT32_MAX, p.size, error))
        return false;
    if (parts.size() > 1) p.mask = parts[1];
    params = p;
    return true;
}

bool applyPixelate(FilterPixmap& pixmap, const FilterParams& params, QString& error) {
    const auto p = std::any_cast<PixelateArgs>(params);
    Area* a = wholeCanvas(pixmap, error);
    if (!a) return false;
    const double w = a->canvasRect().w();
    if (w <= 0) return true;
    // The block size is W * (amount * W / 720), rounded: amount for SIZE.
    const double amount = double(p.size) * 720.0 / (w * w);
    if (amount > 1.0) {
        error = QStringLiteral("blocks of %1 pixels need a canvas at least %2 pixels wide")
                    .arg(p.size)
                    .arg(std::ceil(std::sqrt(double(p.size) * 720.0)));
        return false;
    }
    std::unique_ptr<Area> mask;
    if (p.mask.isEmpty()) {
        mask = std::make_unique<Area>(a->size(), a->canvasRect());
        if (!mask->realloc(a->allocatedRect(), false)) {
            error = QStringLiteral("out of memory");
            return false;
        }
        std::fill(mask->data(), mask->data() + mask->allocatedArea(), CEL_PixelRGBA16{0, 0, 0, 32767});
    } else if (!(mask = sameSizeMap(p.mask, *a, error))) {
        return false;
    }
    CelAlgo::pixelate(a, mask.get(), amount, p.invert);
    return true;
}

// --- Gradient ---

struct GradientArgs {
    double ends[4];
    double c1[4], c2[4];
    Math::Matrix4x4 m;
};

bool parseGradient(const QString& arg, FilterParams& params, QString& error) {
    const char* what = "--gradient";
    const QStringList parts = arg.split(QLatin1Char(':'));
    if (parts.size() < 3 || parts.size() > 4) {
        error = QStringLiteral("--gradient: '%1' is not X1,Y1,X2,Y2:R,G,B,A:R,G,B,A[:M]").arg(arg);
        return false;
    }
    GradientArgs g;
    std::vector<double> v;
    if (!parseNumberList(parts[0], what, {4}, v, error)) return false;
    std::copy(v.begin(), v.end(), g.ends);
    for (int i = 0; i < 2; ++i) {
        if (!parseNumberList(parts[1 + i], what, {4}, v, error)) return false;
        for (double c : v)
            if (!inRange(c, 0, 255, false, what, "colour", error)) return false;
        std::copy(v.begin(), v.end(), i == 0 ? g.c1 : g.c2);
    }
    if (parts.size() == 4) {
        if (!parseNumberList(parts[3], what, {6, 16}, v, error)) return false;
        if (v.size() == 6) {
            // a,b,c,d,e,f: (x, y) -> (a x + b y + c, d x + e y + f).
            g.m(0, 0) = v[0], g.m(0, 1) = v[1], g.m(0, 3) = v[2];
            g.m(1, 0) = v[3], g.m(1, 1) = v[4], g.m(1, 3) = v[5];
        } else {
            for (int r = 0; r < 4; ++r)
                for (int c = 0; c < 4; ++c) g.m(r, c) = v[std::size_t(r * 4 + c)];
        }
    }
    params = g;
    return true;
}

bool applyGradient(FilterPixmap& pixmap, const FilterParams& params, QString&) {
    const auto g = std::any_cast<GradientArgs>(params);
    Area* a = static_cast<Area*>(pixmap.get());
    CelAlgo::gradient(a, a->canvasRect(), g.m, g.ends[0], g.ends[1], g.ends[2], g.ends[3], g.c1[0], g.c1[1],
                      g.c1[2], g.c1[3], g.c2[0], g.c2[1], g.c2[2], g.c2[3]);
    return true;
}

// --- Dithering ---

struct DitherArgs {
    double amount = 0.0;
    bool noise = false, quantise = false, mono = false;
};

bool parseDither(const QString& arg, FilterParams& params, QString& error) {
    const char* syntax = "quantise|noise:AMOUNT|both:AMOUNT[:mono]";
    DitherArgs d;
    QStringList parts;
    if (!splitParts(arg, "--dither", syntax, 1, 2, "mono", parts, d.mono, error)) return false;
    const QString& kind = parts[0];
    d.quantise = kind == QLatin1String("quantise") || kind == QLatin1String("both");
    d.noise = kind == QLatin1String("noise") || kind == QLatin1String("both");
    if ((!d.quantise && !d.noise) || parts.size() != (d.noise ? 2 : 1)) {
        error = QStringLiteral("--dither: '%1' is not %2").arg(arg, QLatin1String(syntax));
        return false;
    }
    if (d.noise && (!parseNumber(parts[1], "--dither", d.amount, error) ||
                    !inRange(d.amount, 0, 256, true, "--dither", "AMOUNT", error)))
        return false;
    params = d;
    return true;
}

bool applyDither(FilterPixmap& pixmap, const FilterParams& params, QString& error) {
    const auto d = std::any_cast<DitherArgs>(params);
    Area* a = wholeCanvas(pixmap, error);
    if (a) CelAlgo::dither(a, d.amount, d.mono, d.noise, d.quantise);
    return a;
}

// --- Contrast ---

bool parseContrast(const QString& arg, FilterParams& params, QString& error) {
    std::vector<double> v;
    if (!parseNumberList(arg, "--contrast", {3}, v, error) ||
        !inRange(v[0], 0, 1, false, "--contrast", "PIVOT", error))
        return false;
    if (v[1] < 0 || v[2] < 0) {
        error = QStringLiteral("--contrast: '%1' has a negative exponent").arg(arg);
        return false;
    }
    params = v;
    return true;
}

bool applyContrast(FilterPixmap& pixmap, const FilterParams& params, QString& error) {
    const auto v = std::any_cast<std::vector<double>>(params);
    Area* a = wholeCanvas(pixmap, error);
    if (a) CelAlgo::contrast(a, v[0], v[1], v[2]);
    return a;
}

// --- Grain ---

struct GrainArgs {
    double size = 1, strength = 0, mix = 0;
    bool mono = false;
};

bool parseGrain(const QString& arg, FilterParams& params, QString& error) {
    const char* what = "--grain";
    GrainArgs g;
    QStringList parts;
    std::vector<double> v;
    if (!splitParts(arg, what, "SIZE,STRENGTH[,MIX][:mono]", 1, 1, "mono", parts, g.mono, error) ||
        !parseNumberList(parts[0], what, {2, 3}, v, error) ||
        !inRange(v[0], 1, 256, false, what, "SIZE", error) ||
        !inRange(v[1], 0, 1, false, what, "STRENGTH", error) ||
        (v.size() == 3 && !inRange(v[2], 0, 1, false, what, "MIX", error)))
        return false;
    g.size = v[0], g.strength = v[1], g.mix = v.size() == 3 ? v[2] : 0.0;
    params = g;
    return true;
}

bool applyGrain(FilterPixmap& pixmap, const FilterParams& params, QString& error) {
    const auto g = std::any_cast<GrainArgs>(params);
    Area* a = wholeCanvas(pixmap, error);
    if (a) CelAlgo::addGrain(a, a, g.size, g.strength, g.mix, g_seed, g.mono);
    return a;
}

// --- Refraction ---

struct RefractArgs {
    double scale = 0, offset = 0, index = 1;
    QString map;
    bool invert = false;
};

bool parseRefract(const QString& arg, FilterParams& params, QString& error) {
    const char* what = "--refract";
    RefractArgs r;
    QStringList parts;
    std::vector<double> v;
    if (!splitParts(arg, what, "SCALE,OFFSET,INDEX:MAP[:invert]", 2, 2, "invert", parts, r.invert, error) ||
        !parseNumberList(parts[0], what, {3}, v, error))
        return false;
    if (!(v[2] > 0)) {
        error = QStringLiteral("--refract: INDEX %1 must be greater than 0").arg(v[2]);
        return false;
    }
    r.scale = v[0], r.offset = v[1], r.index = v[2], r.map = parts[1];
    params = r;
    return true;
}

bool applyRefract(FilterPixmap& pixmap, const FilterParams& params, QString& error) {
    const auto r = std::any_cast<RefractArgs>(params);
    Area* a = wholeCanvas(pixmap, error);
    if (!a) return false;
    const std::unique_ptr<Area> map = sameSizeMap(r.map, *a, error);
    if (!map) return false;
    pixmap.reset(CelAlgo::refract(a, map.get(), r.scale, r.offset, r.index, r.invert));
    return true;
}

} // namespace

void setFilterSeed(long seed) {
    g_seed = seed;
}

std::vector<FilterOp> stylizeFilterOps() {
    using I = FilterInput;
    return {
        {"--pixelate", "SIZE[:MASK][:invert]", "8",
         "Blocks of SIZE pixels from the corner; where MASK's alpha (an image of the same size; self: the "
         "picture) is 0 over a block it is cleared.",
         I::Area, parsePixelate, applyPixelate},
        {"--gradient", "X1,Y1,X2,Y2:C1:C2[:M]", "20,10,140,110:255,200,0,255:0,60,255,160",
         "Replace the picture by a gradient from colour C1 at (X1, Y1) to C2 (R,G,B,A, 0-255), seen "
         "through M (6 or 16 numbers).",
         I::Area, parseGradient, applyGradient},
        {"--dither", "quantise|noise:A|both:A[:mono]", "both:6",
         "Quantise to 8 bits keeping luma (alpha + 64), and/or add noise of A 8-bit steps.", I::Area,
         parseDither, applyDither},
        {"--contrast", "PIVOT,LOW,HIGH", "0.5,2,0.5",
         "Luma curve (y/P)^LOW below the pivot and its mirror with HIGH above.", I::Area, parseContrast,
         applyContrast},
        {"--grain", "SIZE,STRENGTH[,MIX][:mono]", "2,0.2,0.5",
         "Film grain of SIZE pixels (1-256); MIX (0-1) fades it in highlights; the seed is --seed.", I::Area,
         parseGrain, applyGrain},
        {"--refract", "SCALE,OFFSET,INDEX:MAP[:invert]", "300,0,1.5:self:invert",
         "Seen through a surface whose height is MAP's alpha (same size; self: the picture) with index "
         "INDEX.",
         I::Area, parseRefract, applyRefract},
    };
}

} // namespace celtool
