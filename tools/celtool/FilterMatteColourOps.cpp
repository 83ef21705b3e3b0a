// `celtool filter` rows of the matte operations (thresholds, transparency,
// levels, growing and shrinking, placing and cropping) and of the colour
// corrections (background, gamma encoding, masks, scales, keying, black and
// white, negation, intensity).
//
// The per-pixel rows first reallocate the area to its canvas, so that the
// transparent pixels outside the content are treated like the rest (a
// threshold, a negation or a gamma curve sees every pixel of the picture).
#include <QStringList>
#include <cmath>
#include <limits>
#include <memory>

#include "FilterOps.h"
#include "algo/composite/AlgoException.h"
#include "algo/filters/ColorCorrect.h"
#include "algo/filters/Matte.h"
#include "base/MathTypes.h"
#include "pixel/PixmapArea.h"
#include "pixel/PixmapCanvas.h"

namespace celtool {

namespace {

using Area = CEL_PixmapAreaRGBA16;
using Canvas = CEL_PixmapRGBA16;

Area* area(FilterPixmap& p) {
    return static_cast<Area*>(p.get());
}

// The area reallocated to its whole canvas; false (with a message) when memory runs out.
Area* wholeCanvas(FilterPixmap& p, QString& error) {
    Area* a = area(p);
    if (!a->canvasRect().hasNullArea() && !a->reallocToCanvas()) {
        error = QStringLiteral("out of memory");
        return nullptr;
    }
    return a;
}

bool parseOne(const QString& arg, const char* what, FilterParams& params, QString& error) {
    double v = 0.0;
    if (!parseNumber(arg, what, v, error)) return false;
    params = v;
    return true;
}

// "TEXT[:WORD]": the number and whether the word follows; any other word is an error.
bool parseWithFlag(const QString& arg, const char* what, const char* word, double& value, bool& flag,
                   QString& error) {
    const QStringList parts = arg.split(QLatin1Char(':'));
    flag = parts.size() == 2;
    if (parts.size() > 2 || (flag && parts[1] != QLatin1String(word))) {
        error = QStringLiteral("%1: '%2' is not PERCENT or PERCENT:%3")
                    .arg(QLatin1String(what), arg, QLatin1String(word));
        return false;
    }
    return parseNumber(parts[0], what, value, error);
}

// Whole numbers separated by commas, as many as `names` has letters, each in [lo[i], hi].
bool parseIntegers(const QString& arg, const char* what, const char* names, const std::vector<long long>& lo,
                   long long hi, std::vector<long long>& out, QString& error) {
    const QStringList parts = arg.split(QLatin1Char(','));
    if (parts.size() != qsizetype(lo.size())) {
        error = QStringLiteral("%1: '%2' is not %3").arg(QLatin1String(what), arg, QLatin1String(names));
        return false;
    }
    out.assign(lo.size(), 0);
    for (std::size_t i = 0; i < lo.size(); ++i)
        if (!parseInteger(parts[qsizetype(i)], what, lo[i], hi, out[i], error)) return false;
    return true;
}

// Coordinates and sides stay far enough inside int that their sums do too.
constexpr long long kMaxSide = std::numeric_limits<int>::max() / 2;

// --- Matte ---

bool applyThreshold(FilterPixmap& p, const FilterParams& params, QString& error) {
    Area* a = wholeCanvas(p, error);
    if (a) CelAlgo::thresholdAlphaPixmap(a, std::any_cast<double>(params));
    return a;
}

bool applyAlphaCut(FilterPixmap& p, const FilterParams& params, QString& error) {
    Area* a = wholeCanvas(p, error);
    if (a) CelAlgo::removeAlphaTransparency(a, std::any_cast<double>(params));
    return a;
}

struct PercentFlag {
    double percent;
    bool flag;
};

bool parseUnpremultiply(const QString& arg, FilterParams& params, QString& error) {
    PercentFlag v{};
    if (!parseWithFlag(arg, "--unpremultiply", "opaque", v.percent, v.flag, error)) return false;
    params = v;
    return true;
}

bool applyUnpremultiply(FilterPixmap& p, const FilterParams& params, QString& error) {
    const auto v = std::any_cast<PercentFlag>(params);
    Area* a = wholeCanvas(p, error);
    if (a) CelAlgo::removeTransparency(a, v.percent, v.flag);
    return a;
}

struct Range {
    double low, high;
};

bool parseStretch(const QString& arg, FilterParams& params, QString& error) {
    std::vector<double> v;
    if (!parseNumberList(arg, "--stretch", {2}, v, error)) return false;
    if (v[0] > v[1]) {
        error = QStringLiteral("--stretch: LOW %1 is above HIGH %2").arg(v[0]).arg(v[1]);
        return false;
    }
    params = Range{v[0], v[1]};
    return true;
}

// The picture becomes its matte: alpha in 8 bits, stretched, shown as opaque grey.
bool applyStretch(FilterPixmap& p, const FilterParams& params, QString&) {
    const auto range = std::any_cast<Range>(params);
    const auto* in = static_cast<const Canvas*>(p.get());
    CEL_PixmapMatte8 matte(in->width(), in->height());
    const long long n = (long long)in->width() * in->height();
    if (n > 0 && (!matte.data() || !in->data())) throw CelAlgo::AlgoException("out of memory");
    for (long long i = 0; i < n; ++i) matte.data()[i] = CEL_PixelRule::to8(in->data()[i].a);
    CelAlgo::stretchGrayPixmap(&matte, range.low, range.high);
    auto out = std::make_unique<Canvas>(in->width(), in->height());
    if (n > 0 && !out->data()) throw CelAlgo::AlgoException("out of memory");
    for (long long i = 0; i < n; ++i) {
        const int16_t v = CEL_PixelRule::from8(matte.data()[i]);
        out->data()[i] = CEL_PixelRGBA16{v, v, v, 32767};
    }
    p = std::move(out);
    return true;
}

struct Radius {
    double a, b;
};

template <bool shrink> bool parseRadius(const QString& arg, FilterParams& params, QString& error) {
    const char* what = shrink ? "--shrink" : "--expand";
    std::vector<double> v;
    if (!parseNumberList(arg, what, {1, 2}, v, error)) return false;
    const Radius r{v[0], v.size() > 1 ? v[1] : 1.0};
    if (!(r.a > 0.0) || !(std::fabs(r.a * r.b) > 0.0) || !std::isfinite(r.a * r.b)) {
        error = QStringLiteral("%1: A must be greater than 0 and the radius |A x B| a finite number above 0 "
                               "('%2')")
                    .arg(QLatin1String(what), arg);
        return false;
    }
    params = r;
    return true;
}

template <bool shrink> bool applyRadius(FilterPixmap& p, const FilterParams& params, QString&) {
    const auto r = std::any_cast<Radius>(params);
    (shrink ? CelAlgo::shrinkMatte : CelAlgo::expandMatte)(area(p), r.a, r.b);
    return true;
}

struct Placement {
    long long w, h, x, y;
};

bool parsePlace(const QString& arg, FilterParams& params, QString& error) {
    std::vector<long long> v;
    if (!parseIntegers(arg, "--place", "W,H,X,Y", {1, 1, -kMaxSide, -kMaxSide}, kMaxSide, v, error))
        return false;
    params = Placement{v[0], v[1], v[2], v[3]};
    return true;
}

FilterSize placedSize(const FilterParams& params, FilterSize) {
    const auto v = std::any_cast<Placement>(params);
    return {v.w, v.h};
}

// The canvas pixmap's buffer, taken over by an area pixmap at X, Y. The tool keeps
// canvas rectangles at the origin (what it writes is the canvas from 0, 0), so the
// pixels move into an area of canvas (0, 0)-(W, H) allocated where they were placed.
bool applyPlace(FilterPixmap& p, const FilterParams& params, QString&) {
    const auto v = std::any_cast<Placement>(params);
    const Math::Size2di size(int(v.w), int(v.h));
    std::unique_ptr<Area> placed(CelAlgo::convRGBA16ToBBox(
        static_cast<Canvas*>(p.get()), size, Math::Box2di(int(v.x), int(v.y), size.width, size.height)));
    auto out = std::make_unique<Area>(size, Math::Box2di(0, 0, size.width, size.height));
    if (placed->data()) {
        if (!out->realloc(placed->allocatedRect(), false)) throw CelAlgo::AlgoException("out of memory");
        out->copyFrom(placed.get());
    }
    p = std::move(out);
    return true;
}

bool parseCrop(const QString& arg, FilterParams& params, QString& error) {
    std::vector<long long> v;
    if (!parseIntegers(arg, "--crop", "X,Y,W,H", {-kMaxSide, -kMaxSide, 1, 1}, kMaxSide, v, error))
        return false;
    params = Placement{v[2], v[3], v[0], v[1]};
    return true;
}

// The part of the picture at X, Y, W x H (what lies beyond the picture is transparent).
bool applyCrop(FilterPixmap& p, const FilterParams& params, QString&) {
    const auto v = std::any_cast<Placement>(params);
    auto* in = static_cast<Canvas*>(p.get());
    const Math::Box2di from(int(v.x), int(v.y), int(v.w), int(v.h));
    if (!from.isIntersecting(Math::Box2di(0, 0, in->width(), in->height())))
        throw FilterUsageError{QStringLiteral("--crop %1,%2,%3,%4 lies outside the %5x%6 picture")
                                   .arg(v.x)
                                   .arg(v.y)
                                   .arg(v.w)
                                   .arg(v.h)
                                   .arg(in->width())
                                   .arg(in->height())};
    const Math::Box2di target(0, 0, int(v.w), int(v.h));
    FilterPixmap out(CelAlgo::convRGBA16ToBBox(in, from, Math::Size2di(int(v.w), int(v.h)), target, target));
    if (!out) throw CelAlgo::AlgoException("out of memory");
    p = std::move(out);
    return true;
}

// --- Colour ---

struct Rgb {
    double r, g, b;
};

bool parseBackground(const QString& arg, FilterParams& params, QString& error) {
    std::vector<double> v;
    if (!parseNumberList(arg, "--background", {3}, v, error)) return false;
    params = Rgb{v[0], v[1], v[2]};
    return true;
}

bool applyBackground(FilterPixmap& p, const FilterParams& params, QString&) {
    const auto c = std::any_cast<Rgb>(params);
    CelAlgo::addBackgroundColor(area(p), c.r, c.g, c.b);
    return true;
}

bool parseEncode(const QString& arg, FilterParams& params, QString& error) {
    const CelAlgo::ColorTransform t = CelAlgo::fromReadOptions(arg);
    if (t == CelAlgo::COLOR_TRANSFORM_NONE) {
        error =
            QStringLiteral("--encode: '%1' is neither sRGB nor 709 (the names are case-sensitive)").arg(arg);
        return false;
    }
    params = t;
    return true;
}

bool applyEncode(FilterPixmap& p, const FilterParams& params, QString& error) {
    Area* a = wholeCanvas(p, error);
    if (a) CelAlgo::applyColorTransform(a, std::any_cast<CelAlgo::ColorTransform>(params));
    return a;
}

struct Keep {
    bool c[4];
};

bool parseMask(const QString& arg, FilterParams& params, QString& error) {
    Keep keep{};
    for (const QChar ch : arg) {
        const qsizetype i = QStringLiteral("rgba").indexOf(ch);
        if (i < 0 || keep.c[i]) {
            error = QStringLiteral("--mask: '%1' is not a set of the channel letters r, g, b, a").arg(arg);
            return false;
        }
        keep.c[i] = true;
    }
    if (arg.isEmpty()) {
        error = QStringLiteral("--mask: name the channels to keep (letters of rgba)");
        return false;
    }
    params = keep;
    return true;
}

bool applyMask(FilterPixmap& p, const FilterParams& params, QString& error) {
    const auto k = std::any_cast<Keep>(params);
    Area* a = wholeCanvas(p, error);
    if (a) CelAlgo::colorMask(a, k.c[0], k.c[1], k.c[2], k.c[3]);
    return a;
}

bool parseColorScale(const QString& arg, FilterParams& params, QString& error) {
    std::vector<double> v;
    if (!parseNumberList(arg, "--color-scale", {4, 7}, v, error)) return false;
    v.resize(7, 1.0);
    params = v;
    return true;
}

bool applyColorScale(FilterPixmap& p, const FilterParams& params, QString& error) {
    const auto k = std::any_cast<std::vector<double>>(params);
    Area* a = wholeCanvas(p, error);
    if (a) CelAlgo::colorScale(a, k[0], k[1], k[2], k[3], k[4], k[5], k[6]);
    return a;
}

bool parseKey(const QString& arg, FilterParams& params, QString& error) {
    std::vector<double> v;
    if (!parseNumberList(arg, "--key", {6, 7}, v, error)) return false;
    for (int i = 0; i < 6; ++i)
        if (v[std::size_t(i)] < 0.0 || v[std::size_t(i)] > 1.0) {
            error = QStringLiteral("--key: bound %1 lies outside [0, 1]").arg(v[std::size_t(i)]);
            return false;
        }
    for (int i = 0; i < 6; i += 2)
        if (v[std::size_t(i)] > v[std::size_t(i) + 1]) {
            error = QStringLiteral("--key: low %1 is above high %2")
                        .arg(v[std::size_t(i)])
                        .arg(v[std::size_t(i) + 1]);
            return false;
        }
    if (v.size() == 7 && !(v[6] >= 0.0 && v[6] < 1.0)) {
        error = QStringLiteral("--key: softness %1 lies outside [0, 1)").arg(v[6]);
        return false;
    }
    v.resize(7, 0.0);
    params = v;
    return true;
}

bool applyKey(FilterPixmap& p, const FilterParams& params, QString& error) {
    const auto k = std::any_cast<std::vector<double>>(params);
    Area* a = wholeCanvas(p, error);
    if (a) CelAlgo::colorScreen(a, k[0], k[1], k[2], k[3], k[4], k[5], k[6]);
    return a;
}

bool parseBw(const QString& arg, FilterParams& params, QString& error) {
    PercentFlag v{};
    if (!parseWithFlag(arg, "--bw", "alpha", v.percent, v.flag, error)) return false;
    params = v;
    return true;
}

bool applyBw(FilterPixmap& p, const FilterParams& params, QString& error) {
    const auto v = std::any_cast<PercentFlag>(params);
    Area* a = wholeCanvas(p, error);
    if (a) CelAlgo::colorToBW(a, v.percent, v.flag);
    return a;
}

enum class Negation { Colour, Alpha, Both, Premultiplied };

bool parseNegate(const QString& arg, FilterParams& params, QString& error) {
    const char* const words[] = {"rgb", "a", "rgba", "premult"};
    for (int i = 0; i < 4; ++i)
        if (arg == QLatin1String(words[i])) {
            params = Negation(i);
            return true;
        }
    error = QStringLiteral("--negate: '%1' is not rgb, a, rgba or premult").arg(arg);
    return false;
}

bool applyNegate(FilterPixmap& p, const FilterParams& params, QString& error) {
    const auto n = std::any_cast<Negation>(params);
    if (n == Negation::Premultiplied) {
        Area* a = wholeCanvas(p, error);
        if (a) CelAlgo::negateWithAlpha(a);
        return a;
    }
    CelAlgo::negate(area(p), n != Negation::Alpha, n != Negation::Colour);
    return true;
}

bool parseIntensity(const QString& arg, FilterParams& params, QString& error) {
    double k = 0.0;
    if (!parsePositive(arg, "--intensity", k, error)) return false;
    params = k;
    return true;
}

bool applyIntensity(FilterPixmap& p, const FilterParams& params, QString& error) {
    Area* a = wholeCanvas(p, error);
    if (a) CelAlgo::increaseIntensity(a, std::any_cast<double>(params));
    return a;
}

} // namespace

std::vector<FilterOp> matteFilterOps() {
    using I = FilterInput;
    return {
        {"--threshold", "LEVEL", "0.5", "Alpha above LEVEL (0 ... 1) becomes opaque, the rest transparent.",
         I::Area,
         [](const QString& a, FilterParams& p, QString& e) { return parseOne(a, "--threshold", p, e); },
         applyThreshold},
        {"--alpha-cut", "PERCENT", "50", "Alpha below PERCENT becomes transparent, the rest opaque.", I::Area,
         [](const QString& a, FilterParams& p, QString& e) { return parseOne(a, "--alpha-cut", p, e); },
         applyAlphaCut},
        {"--unpremultiply", "PERCENT[:opaque]", "10:opaque",
         "Straight colour where alpha >= PERCENT, cleared elsewhere; opaque: alpha 0 or full.", I::Area,
         parseUnpremultiply, applyUnpremultiply},
        {"--stretch", "LOW,HIGH", "0.2,0.8",
         "The picture becomes its 8-bit matte, levels LOW ... HIGH stretched.", I::Canvas, parseStretch,
         applyStretch},
        {"--expand", "A[,B]", "6",
         "Grow the matte by a disc of radius |A x B| (B default 1); colour follows.", I::Area,
         parseRadius<false>, applyRadius<false>},
        {"--shrink", "A[,B]", "4.5", "Shrink the matte by a disc of radius |A x B| (B default 1).", I::Area,
         parseRadius<true>, applyRadius<true>},
        {"--place", "W,H,X,Y", "200,150,30,20", "The picture at X, Y on a W x H canvas.", I::Canvas,
         parsePlace, applyPlace, placedSize},
        {"--crop", "X,Y,W,H", "40,10,100,90", "The W x H part of the picture at X, Y.", I::Canvas, parseCrop,
         applyCrop, placedSize},
    };
}

std::vector<FilterOp> colourFilterOps() {
    using I = FilterInput;
    return {
        {"--background", "R,G,B", "0.95,0.9,0.7", "Lay the picture over an opaque colour (fractions).",
         I::Area, parseBackground, applyBackground},
        {"--encode", "sRGB|709", "sRGB", "Gamma-encode the colour with the sRGB or Rec. 709 curve.", I::Area,
         parseEncode, applyEncode},
        {"--mask", "CHANNELS", "rga", "Keep the channels named (of rgba); alpha not kept: sum of the rest.",
         I::Area, parseMask, applyMask},
        {"--color-scale", "R,G,B,A[,H,S,V]", "1,1,1,1,1.5,0.5,1",
         "Multiply the channels, then hue, saturation and value.", I::Area, parseColorScale, applyColorScale},
        {"--key", "L0,H0,L1,H1,L2,H2[,SOFT]", "0.1,0.2,0.3,0.4,0.85,0.95,0.2",
         "Colours inside the box become transparent towards its centre (keying).", I::Area, parseKey,
         applyKey},
        {"--bw", "PERCENT[:alpha]", "100", "Towards grey by PERCENT; alpha: the luma into alpha instead.",
         I::Area, parseBw, applyBw},
        {"--negate", "rgb|a|rgba|premult", "rgb",
         "Negate colour, alpha or both; premult: the colour within its alpha.", I::Area, parseNegate,
         applyNegate},
        {"--intensity", "K", "0.5", "Alpha and colour raised to 1 - (1 - x)^K (K < 1: scaled by K).", I::Area,
         parseIntensity, applyIntensity},
    };
}

} // namespace celtool
