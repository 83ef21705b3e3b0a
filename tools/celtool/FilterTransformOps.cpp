// `celtool filter` rows of the geometric transforms: resize, scale, flips,
// quarter turns and free rotation, matrices and tiling.
#include <cmath>

#include "FilterOps.h"
#include "algo/filters/Transform.h"
#include "base/MathTypes.h"
#include "base/QXMaths.h"
#include "pixel/PixmapArea.h"
#include "pixel/PixmapCanvas.h"

namespace celtool {

namespace {

// A size that has to fit the pixmap classes' int fields.
unsigned side(long long v) {
    return unsigned(std::clamp<long long>(v, 0, INT32_MAX));
}

FilterSize sizeFromParams(const FilterParams& params, FilterSize) {
    return std::any_cast<FilterSize>(params);
}

FilterSize swapSides(const FilterParams&, FilterSize in) {
    return {in.height, in.width};
}

bool noArgument(const QString&, FilterParams&, QString&) {
    return true;
}

// --resize WxH: the fit rule of scale, stretched to exactly W x H.
bool parseResize(const QString& arg, FilterParams& params, QString& error) {
    FilterSize size;
    if (!parseSize(arg, "--resize", size, error)) return false;
    params = size;
    return true;
}

bool applyResize(FilterPixmap& pixmap, const FilterParams& params, QString&) {
    const auto size = std::any_cast<FilterSize>(params);
    pixmap.reset(CelAlgo::scale(pixmap.get(), side(size.width), side(size.height), -1, -1, -1, -1));
    return true;
}

// --scale F[,FY]: factors about the centre; the picture grows or shrinks with them.
struct Factors {
    double x, y;
};

bool parseScale(const QString& arg, FilterParams& params, QString& error) {
    std::vector<double> v;
    if (!parseNumberList(arg, "--scale", {1, 2}, v, error)) return false;
    for (double f : v)
        if (!(f > 0.0)) {
            error = QStringLiteral("--scale: factors must be greater than 0 ('%1')").arg(arg);
            return false;
        }
    params = Factors{v[0], v.size() > 1 ? v[1] : v[0]};
    return true;
}

// trunc(n * f + 0.5), at least 1, in double so that no product wraps.
long long scaledSide(long long n, double f) {
    const double v = std::trunc(double(n) * f + 0.5);
    return v < 1.0 ? 1 : (v > 4e18 ? (long long)4e18 : (long long)v);
}

FilterSize scaleSize(const FilterParams& params, FilterSize in) {
    const auto f = std::any_cast<Factors>(params);
    return {scaledSide(in.width, f.x), scaledSide(in.height, f.y)};
}

bool applyScale(FilterPixmap& pixmap, const FilterParams& params, QString&) {
    const auto f = std::any_cast<Factors>(params);
    const FilterSize out = scaleSize(params, filterSizeOf(*pixmap));
    pixmap.reset(CelAlgo::scale(pixmap.get(), side(out.width), side(out.height), pixmap->width() / 2.0,
                                pixmap->height() / 2.0, f.x, f.y));
    return true;
}

// --flip x|y|xy: x mirrors left-right, y top-bottom.
struct Flip {
    bool t, a, b;
};

bool parseFlip(const QString& arg, FilterParams& params, QString& error) {
    if (arg == QLatin1String("x"))
        params = Flip{false, false, true};
    else if (arg == QLatin1String("y"))
        params = Flip{false, true, false};
    else if (arg == QLatin1String("xy") || arg == QLatin1String("yx"))
        params = Flip{false, true, true};
    else {
        error = QStringLiteral("--flip: '%1' is not x, y or xy").arg(arg);
        return false;
    }
    return true;
}

bool applyFlip(FilterPixmap& pixmap, const FilterParams& params, QString&) {
    const auto f = std::any_cast<Flip>(params);
    CelAlgo::preFlip(pixmap.get(), f.t, f.a, f.b);
    return true;
}

bool applyTranspose(FilterPixmap& pixmap, const FilterParams&, QString&) {
    CelAlgo::preFlip(pixmap.get(), true, true, false);
    return true;
}

bool applyTransverse(FilterPixmap& pixmap, const FilterParams&, QString&) {
    CelAlgo::preFlip(pixmap.get(), true, false, true);
    return true;
}

// --rotate DEG: clockwise. Quarter turns are lossless (preFlip); any other
// angle turns the picture about its centre on the same canvas (applyMatrix).
bool parseRotate(const QString& arg, FilterParams& params, QString& error) {
    double degrees = 0.0;
    if (!parseNumber(arg, "--rotate", degrees, error)) return false;
    degrees = std::fmod(degrees, 360.0);
    params = degrees < 0.0 ? degrees + 360.0 : degrees;
    return true;
}

FilterSize rotateSize(const FilterParams& params, FilterSize in) {
    const auto degrees = std::any_cast<double>(params);
    return degrees == 90.0 || degrees == 270.0 ? FilterSize{in.height, in.width} : in;
}

// The matrix for which applyMatrix maps source pixels by `affine` into an
// output of `out` pixels.
CEL_Pixmap* applyPixelAffine(const CEL_Pixmap& src, const double affine[6], Math::Size2di out) {
    const Math::Matrix4x4 m = CelAlgo::pixelMatrix(affine, src.width(), src.height(), out);
    return CelAlgo::applyMatrix(&src, m, out, Math::Box2di(Math::Point2di(0, 0), out), float(src.width()),
                                float(src.height()));
}

bool applyRotate(FilterPixmap& pixmap, const FilterParams& params, QString&) {
    const auto degrees = std::any_cast<double>(params);
    if (degrees == 0.0) return true;
    if (degrees == 90.0) {
        CelAlgo::preFlip(pixmap.get(), true, true, true);
    } else if (degrees == 180.0) {
        CelAlgo::preFlip(pixmap.get(), false, true, true);
    } else if (degrees == 270.0) {
        CelAlgo::preFlip(pixmap.get(), true, false, false);
    } else {
        // y points down, so this turns clockwise on screen.
        const double r = QXMaths::convertDegreesToRadians(degrees), c = std::cos(r), s = std::sin(r);
        const double cx = pixmap->width() / 2.0, cy = pixmap->height() / 2.0;
        const double affine[6] = {c, -s, cx - c * cx + s * cy, s, c, cy - s * cx - c * cy};
        pixmap.reset(applyPixelAffine(*pixmap, affine, pixmap->size()));
    }
    return true;
}

// --matrix M[:WxH]: 6 numbers a,b,c,d,e,f map source pixels (x, y) to
// (a x + b y + c, d x + e y + f); 16 numbers are a 4 x 4 matrix, row by row,
// in the library's convention (the source height spans -1 ... 1). WxH: the
// output size (default: the input's).
struct MatrixArgs {
    std::vector<double> numbers;
    FilterSize size; // 0 x 0: the input's
};

// "A" or "A:B", split at the colon.
bool twoParts(const QString& arg, const char* what, QString& first, QString& second, QString& error) {
    const QStringList parts = arg.split(QLatin1Char(':'));
    if (parts.size() > 2) {
        error = QStringLiteral("%1: '%2' has more than two parts").arg(QLatin1String(what), arg);
        return false;
    }
    first = parts[0];
    second = parts.size() > 1 ? parts[1] : QString();
    return true;
}

bool parseMatrix(const QString& arg, FilterParams& params, QString& error) {
    MatrixArgs m;
    QString numbers, size;
    if (!twoParts(arg, "--matrix", numbers, size, error) ||
        !parseNumberList(numbers, "--matrix", {6, 16}, m.numbers, error) ||
        (arg.contains(QLatin1Char(':')) && !parseSize(size, "--matrix", m.size, error)))
        return false;
    params = m;
    return true;
}

FilterSize matrixSize(const FilterParams& params, FilterSize in) {
    const auto m = std::any_cast<MatrixArgs>(params);
    return m.size.width > 0 ? m.size : in;
}

Math::Matrix4x4 rowMajor(const std::vector<double>& v) {
    Math::Matrix4x4 m;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) m(r, c) = v[std::size_t(r * 4 + c)];
    return m;
}

bool applyMatrix(FilterPixmap& pixmap, const FilterParams& params, QString&) {
    const auto m = std::any_cast<MatrixArgs>(params);
    const FilterSize size = matrixSize(params, filterSizeOf(*pixmap));
    const Math::Size2di out(side(size.width), side(size.height));
    if (m.numbers.size() == 6)
        pixmap.reset(applyPixelAffine(*pixmap, m.numbers.data(), out));
    else
        pixmap.reset(CelAlgo::applyMatrix(pixmap.get(), rowMajor(m.numbers), out,
                                          Math::Box2di(Math::Point2di(0, 0), out)));
    return true;
}

// --tile WxH[:M]: the picture repeated in both directions over W x H, placed
// by the optional matrix M (as for --matrix; default: the identity).
bool parseTile(const QString& arg, FilterParams& params, QString& error) {
    MatrixArgs m;
    QString size, numbers;
    if (!twoParts(arg, "--tile", size, numbers, error) || !parseSize(size, "--tile", m.size, error) ||
        (arg.contains(QLatin1Char(':')) && !parseNumberList(numbers, "--tile", {6, 16}, m.numbers, error)))
        return false;
    params = m;
    return true;
}

FilterSize tileSize(const FilterParams& params, FilterSize) {
    return std::any_cast<MatrixArgs>(params).size;
}

bool applyTile(FilterPixmap& pixmap, const FilterParams& params, QString&) {
    auto m = std::any_cast<MatrixArgs>(params);
    if (m.numbers.empty()) m.numbers = {1, 0, 0, 0, 1, 0};
    const Math::Size2di out(side(m.size.width), side(m.size.height));
    const Math::Matrix4x4 matrix =
        m.numbers.size() == 6 ? CelAlgo::pixelMatrix(m.numbers.data(), pixmap->width(), pixmap->height(), out)
                              : rowMajor(m.numbers);
    pixmap.reset(CelAlgo::applyMatrixAndTiling(pixmap.get(), matrix, out,
                                               Math::Box2di(Math::Point2di(0, 0), out), true, true));
    return true;
}

} // namespace

std::vector<FilterOp> transformFilterOps() {
    using I = FilterInput;
    return {
        {"--resize", "WxH", "80x120", "Stretch to exactly W x H pixels (area-weighted).", I::Area,
         parseResize, applyResize, sizeFromParams},
        {"--scale", "F[,FY]", "0.6,1.2", "Scale by F (across) and FY (down, default F) about the centre.",
         I::Area, parseScale, applyScale, scaleSize},
        {"--flip", "x|y|xy", "x", "Mirror: x left-right, y top-bottom, xy both.", I::Canvas, parseFlip,
         applyFlip},
        {"--transpose", "", "", "Mirror across the top-left to bottom-right diagonal.", I::Canvas, noArgument,
         applyTranspose, swapSides},
        {"--transverse", "", "", "Mirror across the top-right to bottom-left diagonal.", I::Canvas,
         noArgument, applyTransverse, swapSides},
        {"--rotate", "DEG", "30", "Turn clockwise; 90, 180, 270 are lossless, others keep the canvas.",
         I::Canvas, parseRotate, applyRotate, rotateSize},
        {"--matrix", "M[:WxH]", "1,0.5,-30,0,1,0",
         "Map pixels by M: a,b,c,d,e,f (x' = ax+by+c, y' = dx+ey+f) or 16 numbers (4x4, row by row).",
         I::Canvas, parseMatrix, applyMatrix, matrixSize},
        {"--tile", "WxH[:M]", "160x120:0.4,0,10,0,0.4,5",
         "Repeat the picture over W x H, placed by M as for --matrix.", I::Canvas, parseTile, applyTile,
         tileSize},
    };
}

} // namespace celtool
