// `celtool filter --blur KIND:ARGS` rows: the radial (and Gaussian), flicker,
// directional and variable blurs of algo/filters/Blur.h, and the kernel blur of
// algo/filters/MotionBlur.h. Every kind is a row of
// its own named --blur (one help line and one demo tile each); the first row's
// parse reads any kind, so the word may name any of them.

#include <algorithm>
#include <cmath>

#include "CelFiles.h"
#include "FilterOps.h"
#include "algo/filters/Blur.h"
#include "algo/filters/MotionBlur.h"
#include "cel/Cel.h"
#include "pixel/PixmapArea.h"

namespace celtool {

namespace {

enum class BlurKind { Radial, Gaussian, Flicker, Directional, Variable, Kernel };

struct BlurParams {
    BlurKind kind = BlurKind::Radial;
    double radius = 0.0, radius2 = 0.0; // radial, gaussian (as its radius), flicker; variable r1, r2
    int passes = 0;                     // 0: the quality form
    CelAlgo::Quality quality = CelAlgo::QUALITY_FOUR_PASSES;
    bool alphaOnly = false, keepShape = false;
    double angle = 0.0, length = 0.0, falloff = 1.0; // directional
    bool transparentEdges = false, smooth = false;   // directional t, s (a: alphaOnly)
    QString map;                                     // variable: a file, or "self"; kernel: a file or @stroke
    double intensity = 1.0;                          // kernel
    bool clampNegative = false;                      // kernel
};

bool fail(QString& error, const QString& message) {
    error = QStringLiteral("--blur: ") + message;
    return false;
}

// [:PASSES|q0|q1] at parts[i], when it is there; advances i.
bool parsePasses(const QStringList& parts, qsizetype& i, BlurParams& b, QString& error) {
    if (i >= parts.size()) return true;
    const QString& w = parts[i];
    if (w == QLatin1String("q0") || w == QLatin1String("q1")) {
        b.passes = 0;
        b.quality = w == QLatin1String("q0") ? CelAlgo::QUALITY_FOUR_PASSES : CelAlgo::QUALITY_EIGHT_PASSES;
        ++i;
        return true;
    }
    if (w.isEmpty() || !w[0].isDigit()) return true; // not a count: a flag follows
    long long passes = 0;
    if (!parseInteger(w, "--blur", 1, 64, passes, error)) return false;
    b.passes = int(passes);
    ++i;
    return true;
}

bool parseBlur(const QString& arg, FilterParams& params, QString& error) {
    const QStringList parts = arg.split(QLatin1Char(':'));
    const QString kind = parts[0];
    BlurParams b;
    qsizetype i = 1;
    const auto number = [&](const char* what, double& v, bool positive) {
        if (i >= parts.size())
            return fail(error, QStringLiteral("%1 needs %2").arg(kind, QLatin1String(what)));
        QString message;
        if (!(positive ? parsePositive(parts[i], "--blur", v, message)
                       : parseNumber(parts[i], "--blur", v, message))) {
            error = message;
            return false;
        }
        ++i;
        return true;
    };
    if (kind == QLatin1String("radial")) {
        b.kind = BlurKind::Radial;
        if (!number("a radius R", b.radius, true) || !parsePasses(parts, i, b, error)) return false;
        if (i < parts.size() && parts[i] == QLatin1String("alpha")) b.alphaOnly = true, ++i;
    } else if (kind == QLatin1String("gaussian")) {
        b.kind = BlurKind::Gaussian;
        if (!number("a sigma", b.radius, true)) return false;
        b.radius = CelAlgo::radialRadiusForSigma(b.radius);
    } else if (kind == QLatin1String("flicker")) {
        b.kind = BlurKind::Flicker;
        if (!number("a radius R", b.radius, true)) return false;
    } else if (kind == QLatin1String("directional")) {
        b.kind = BlurKind::Directional;
        if (!number("an angle", b.angle, false) || !number("a length", b.length, true)) return false;
        const auto isFlag = [](const QString& w) {
            return w == QLatin1String("t") || w == QLatin1String("s") || w == QLatin1String("a");
        };
        if (i < parts.size() && !isFlag(parts[i])) { // FALLOFF, when the word is no flag
            QString message;
            if (!parseNumber(parts[i], "--blur", b.falloff, message))
                return fail(error,
                            QStringLiteral("'%1' is neither a falloff nor a flag (t, s, a)").arg(parts[i]));
            if (!(b.falloff > 0.0 && b.falloff <= 1.0))
                return fail(error, QStringLiteral("falloff %1 is not in (0, 1]").arg(parts[i]));
            ++i;
        }
        for (; i < parts.size(); ++i) {
            if (!isFlag(parts[i]))
                return fail(error,
                            QStringLiteral("'%1' is not a flag of directional (t, s, a)").arg(parts[i]));
            (parts[i] == QLatin1String("t")   ? b.transparentEdges
             : parts[i] == QLatin1String("s") ? b.smooth
                                              : b.alphaOnly) = true;
        }
    } else if (kind == QLatin1String("variable")) {
        b.kind = BlurKind::Variable;
        if (!number("a radius R1", b.radius, false) || !number("a radius R2", b.radius2, false)) return false;
        if (i >= parts.size() || parts[i].isEmpty())
            return fail(error, QStringLiteral("variable needs a MAP"));
        b.map = parts[i++];
        if (!parsePasses(parts, i, b, error)) return false;
        if (i < parts.size() && parts[i] == QLatin1String("keep")) b.keepShape = true, ++i;
    } else if (kind == QLatin1String("kernel")) {
        b.kind = BlurKind::Kernel;
        if (i >= parts.size() || parts[i].isEmpty())
            return fail(error, QStringLiteral("kernel needs a KERNEL"));
        b.map = parts[i++];
        if (i < parts.size() && parts[i] != QLatin1String("clamp")) {
            if (!number("an INTENSITY", b.intensity, false)) return false;
            if (b.intensity < 0)
                return fail(error, QStringLiteral("intensity %1 is negative").arg(parts[i - 1]));
        }
        if (i < parts.size() && parts[i] == QLatin1String("clamp")) b.clampNegative = true, ++i;
    } else {
        return fail(error,
                    QStringLiteral("unknown kind '%1' (radial, gaussian, flicker, directional, variable, "
                                   "kernel)")
                        .arg(kind));
    }
    if (i < parts.size())
        return fail(error, QStringLiteral("'%1' is not understood in '%2'").arg(parts[i], arg));
    params = b;
    return true;
}

// The built-in kernel "@stroke": a 33 x 33 curved brush stroke, faint where it
// starts and strong where it ends, its origin at the canvas centre.
std::unique_ptr<CEL_PixmapAreaRGBA16> strokeKernel() {
    auto k = std::make_unique<CEL_PixmapAreaRGBA16>(33, 33);
    k->realloc(k->canvasRect(), true);
    for (int s = 0; s <= 400; ++s) {
        const double t = s / 400.0;
        const double x = 3 + 26 * t, y = 28 - 30 * t + 14 * t * t; // a shallow arc
        const int ix = int(std::lround(x)), iy = int(std::lround(y));
        if (CEL_PixelRGBA16* p = k->pixel(ix, iy)) p->a = int16_t(std::max<int>(p->a, int(2000 + 30000 * t)));
    }
    return k;
}

// The kernel image of a kernel blur: its alpha holds the weights.
std::unique_ptr<CEL_PixmapAreaRGBA16> kernelImage(const QString& path, QString& error) {
    std::unique_ptr<CEL_PixmapAreaRGBA16> k;
    if (path == QLatin1String("@stroke")) {
        k = strokeKernel();
    } else {
        const UT_SharedPtr<CEL_Cel> cel = readCel(path);
        k = cel ? workingArea(cel.get(), path, true) : nullptr;
        if (!k) {
            error = QStringLiteral("%1: the kernel could not be read").arg(path);
            return nullptr;
        }
    }
    if (!k->data()) {
        error = QStringLiteral("%1: out of memory").arg(path);
        return nullptr;
    }
    bool any = false;
    for (int64_t i = 0; i < k->allocatedArea() && !any; ++i) any = k->data()[i].a != 0;
    if (!any) {
        error = QStringLiteral("%1: the kernel's alpha is zero everywhere").arg(path);
        return nullptr;
    }
    return k;
}

bool applyBlur(FilterPixmap& pixmap, const FilterParams& params, QString& error) {
    const auto b = std::any_cast<BlurParams>(params);
    auto* area = static_cast<CEL_PixmapAreaRGBA16*>(pixmap.get());
    switch (b.kind) {
    case BlurKind::Radial:
        if (b.passes > 0)
            CelAlgo::radialBlur(area, b.radius, b.passes, b.alphaOnly);
        else
            CelAlgo::radialBlur(area, b.radius, b.quality, 0.0, b.alphaOnly);
        return true;
    case BlurKind::Gaussian:
        CelAlgo::radialBlur(area, b.radius, CelAlgo::QUALITY_FOUR_PASSES, 0.0, false);
        return true;
    case BlurKind::Flicker:
        pixmap.reset(CelAlgo::flickerBlur(area, b.radius));
        return true;
    case BlurKind::Directional:
        if (CEL_PixmapAreaRGBA16* out = CelAlgo::directionalBlur(area, b.angle, b.length, b.falloff, 0.0,
                                                                 b.transparentEdges, b.smooth, b.alphaOnly))
            pixmap.reset(out);
        return true;
    case BlurKind::Kernel: {
        const std::unique_ptr<CEL_PixmapAreaRGBA16> kernel = kernelImage(b.map, error);
        if (!kernel) return false;
        pixmap.reset(
            CelAlgo::motionBlur(area, kernel.get(), area->canvasRect(), b.intensity, b.clampNegative));
        return true;
    }
    case BlurKind::Variable: {
        const std::unique_ptr<CEL_PixmapAreaRGBA16> map = sameSizeMap(b.map, *area, error);
        if (!map) return false;
        if (b.passes > 0)
            CelAlgo::variableBlur(area, map.get(), b.radius, b.radius2, b.passes, b.keepShape, false);
        else
            CelAlgo::variableBlur(area, map.get(), b.radius, b.radius2, b.keepShape, b.quality, 0.0);
        return true;
    }
    }
    return false;
}

FilterOp blurRow(const char* syntax, const char* demo, const char* help) {
    return FilterOp{"--blur", syntax, demo, help, FilterInput::Area, parseBlur, applyBlur};
}

} // namespace

std::unique_ptr<CEL_PixmapAreaRGBA16> sameSizeMap(const QString& path, const CEL_PixmapAreaRGBA16& picture,
                                                  QString& error) {
    if (path == QLatin1String("self")) return std::unique_ptr<CEL_PixmapAreaRGBA16>(picture.clone());
    const HeaderInfo header = readHeader(path);
    if (header.state != CELIO_STATE_OK) {
        error = QStringLiteral("%1: %2").arg(path, header.error.isEmpty() ? QStringLiteral("unreadable")
                                                                          : header.error);
        return nullptr;
    }
    const Math::Box2di canvas = picture.canvasRect();
    if (int64_t(header.info.width) != canvas.w() || int64_t(header.info.height) != canvas.h()) {
        error = QStringLiteral("%1: the map is %2x%3, the picture %4x%5")
                    .arg(path)
                    .arg(header.info.width)
                    .arg(header.info.height)
                    .arg(canvas.w())
                    .arg(canvas.h());
        return nullptr;
    }
    const UT_SharedPtr<CEL_Cel> cel = readCel(path);
    std::unique_ptr<CEL_PixmapAreaRGBA16> map = cel ? workingArea(cel.get(), path, true) : nullptr;
    if (!map) error = QStringLiteral("%1: the map could not be read").arg(path);
    return map;
}

std::vector<FilterOp> blurFilterOps() {
    return {
        blurRow("radial:R[:PASSES|q0|q1][:alpha]", "radial:6",
                "Isotropic blur of radius R: q0 (default) 4 box passes, q1 8 at 0.4 R, or PASSES (1-64); "
                "alpha: alpha only."),
        blurRow("gaussian:SIGMA", "gaussian:4",
                "The radial blur (q0) that spreads like a Gaussian of SIGMA."),
        blurRow("flicker:R", "flicker:5", "Vertical box blur of radius R (2R below the picture's height)."),
        blurRow("directional:ANGLE:LENGTH[:FALLOFF][:t][:s][:a]", "directional:30:16",
                "Motion blur of LENGTH along ANGLE degrees, FALLOFF in (0, 1] (default 1); "
                "t: edges transparent, s: smoothed, a: alpha only."),
        blurRow(
            "variable:R1:R2:MAP[:PASSES|q0|q1][:keep]", "variable:0:8:self",
            "Blur of radius R1 where the alpha of MAP (an image of the same size; self: the picture) is 0, "
            "R2 where it is 1; keep: the picture keeps its shape."),
        blurRow(
            "kernel:KERNEL[:INTENSITY][:clamp]", "kernel:@stroke",
            "Convolution with the alpha of the image KERNEL (@stroke: a built-in brush stroke), its canvas "
            "centre the origin, normalised to sum 1; INTENSITY (default 1) as --intensity; clamp: negative "
            "results become 0."),
    };
}

} // namespace celtool
