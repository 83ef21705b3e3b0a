// Refraction through a height map, in two separable passes.
//
// Both passes run the same line kernel: the displacements of a line's edges
// (each edge's value serves the pixels on both of its sides, and repeated
// height pairs reuse the last one, so flat areas cost no trigonometry), then
// one span average per pixel. The row pass spreads rows over worker threads;
// the column pass gathers blocks of 16 columns into contiguous lines first, so
// that it reads whole cache lines instead of one pixel per row.
#include "algo/filters/Refract.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <memory>
#include <new>
#include <vector>

#include "algo/filters/ColorCorrect.h"
#include "algo/filters/MatteColourDetail.h"
#include "base/QXMaths.h"

namespace CelAlgo {

using detail::parallelRows;
using Pixel = CEL_PixelRGBA16;

namespace {

constexpr double kHalfPi = 1.57079632679489661923;

// The average over [a, b] of a line of w pixels (w bounds the pixel a
// zero-length span samples).
inline Pixel average(double a, double b, const Pixel* line, std::ptrdiff_t stride, long long w) {
    const double lo = std::min(a, b), hi = std::max(a, b), length = hi - lo;
    if (!(length > 0.0)) {
        const long long i = std::clamp<long long>((long long)std::floor(lo), 0, w - 1);
        return line[i * stride];
    }
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    const long long i1 = (long long)std::ceil(hi);
    for (long long i = (long long)std::floor(lo); i < i1; ++i) {
        const double cover = std::min(hi, double(i + 1)) - std::max(lo, double(i));
        const Pixel& p = line[i * stride];
        s0 += cover * p.r, s1 += cover * p.g, s2 += cover * p.b, s3 += cover * p.a;
    }
    // Half away from zero (as std::round, without a library call); an average
    // of 16-bit values stays in their range.
    const auto field = [length](double s) {
        const double v = std::clamp(s / length, -32768.0, 32767.0);
        const int t = int(v);
        const double rest = v - t; // exact
        return int16_t(rest >= 0.5 ? t + 1 : (rest <= -0.5 ? t - 1 : t));
    };
    return Pixel{field(s0), field(s1), field(s2), field(s3)};
}

struct Surface {
    double scale, offset, n, k;
};

// One line of w pixels: dst[x] from src and the heights (alpha) of hm, all with
// stride 1. edges holds w - 1 doubles of scratch.
void refractLine(Pixel* dst, const Pixel* src, const Pixel* hm, int w, const Surface& s, double* edges) {
    // edges[x]: the displacement of the edge between x and x + 1.
    short last0 = 0, last1 = 0;
    double lastValue = 0.0;
    bool have = false;
    for (int x = 0; x + 1 < w; ++x) {
        const short h0 = hm[x].a, h1 = hm[x + 1].a;
        if (!have || h0 != last0 || h1 != last1) {
            lastValue = displacement(h0, h1, s.scale, s.offset, s.n, s.k);
            last0 = h0, last1 = h1, have = true;
        }
        edges[x] = lastValue;
    }
    const double wd = w;
    for (int x = 0; x < w; ++x) {
        const double dl = x >= 2 ? edges[x - 1] : 0.0;
        const double dr = x < w - 1 ? edges[x] : 0.0;
        if (dl == 0.0 && dr == 0.0) {
            dst[x] = src[x]; // the pixel's own span
            continue;
        }
        const double a = QXMaths::clipToRange(x + dl, 0.0, wd);
        const double b = QXMaths::clipToRange(x + 1 + dr, 0.0, wd);
        dst[x] = average(a, b, src, 1, w);
    }
}

bool finiteSurface(const Surface& s) {
    return std::isfinite(s.scale) && std::isfinite(s.offset) && std::isfinite(s.n) && std::isfinite(s.k);
}

constexpr int kColumnBlock = 16;

} // namespace

double displacement(short h0, short h1, double heightScale, double heightOffset, double n, double k) {
    const double H0 = h0 / 32767.0 * heightScale + heightOffset;
    const double H1 = h1 / 32767.0 * heightScale + heightOffset;
    const double x = std::fabs(std::atan((H0 - H1) * k));
    // Beyond the critical angle the ray is reflected: asin saturates at 90 degrees.
    const double r = std::asin(std::clamp(std::sin(x) * n, -1.0, 1.0));
    if (std::fabs(kHalfPi - std::fabs(x - r)) < 1e-5) return 0.0;
    const double d = std::tan(x - r) * ((H0 + H1) / 2.0) * k;
    if (!std::isfinite(d)) return 0.0;
    return h0 < h1 ? d : -d;
}

CEL_PixelRGBA16 integre(double a, double b, const CEL_PixelRGBA16* line, int stride) {
    return average(a, b, line, stride, LLONG_MAX);
}

void rowPass(CEL_PixelRGBA16* dst, const CEL_PixelRGBA16* src, const CEL_PixelRGBA16* heightMap,
             unsigned width, unsigned height, double heightScale, double heightOffset, double n, double k) {
    if (!dst || !src || !heightMap || width == 0 || height == 0 || width > INT_MAX || height > INT_MAX)
        return;
    const Surface s{heightScale, heightOffset, n, k};
    if (!finiteSurface(s)) {
        if (dst != src) std::copy(src, src + std::size_t(width) * height, dst);
        return;
    }
    const int w = int(width), h = int(height);
    parallelRows(0, h, detail::rowGrain(h), w, [&](int y1, int y2) {
        std::vector<double> edges(static_cast<std::size_t>(w));
        for (int y = y1; y < y2; ++y) {
            const std::size_t o = std::size_t(y) * width;
            refractLine(dst + o, src + o, heightMap + o, w, s, edges.data());
        }
    });
}

void colPass(CEL_PixelRGBA16* dst, const CEL_PixelRGBA16* src, const CEL_PixelRGBA16* heightMap,
             unsigned width, unsigned height, double heightScale, double heightOffset, double n, double k) {
    if (!dst || !src || !heightMap || width == 0 || height == 0 || width > INT_MAX || height > INT_MAX)
        return;
    const Surface s{heightScale, heightOffset, n, k};
    if (!finiteSurface(s)) {
        if (dst != src) std::copy(src, src + std::size_t(width) * height, dst);
        return;
    }
    const int w = int(width), h = int(height);
    const int blocks = (w + kColumnBlock - 1) / kColumnBlock;
    parallelRows(0, blocks, std::max(1, detail::rowGrain(blocks) / 4), int64_t(h) * kColumnBlock,
                 [&](int b1, int b2) {
                     // Columns of the block, each contiguous: source, heights, result.
                     const std::size_t hh = std::size_t(h);
                     std::vector<Pixel> in(hh * kColumnBlock), map(hh * kColumnBlock), out(hh * kColumnBlock);
                     std::vector<double> edges(hh);
                     for (int b = b1; b < b2; ++b) {
                         const int x0 = b * kColumnBlock, cols = std::min(kColumnBlock, w - x0);
                         for (int y = 0; y < h; ++y) {
                             const std::size_t o = std::size_t(y) * width + std::size_t(x0);
                             for (int c = 0; c < cols; ++c) {
                                 in[std::size_t(c) * hh + std::size_t(y)] = src[o + std::size_t(c)];
                                 map[std::size_t(c) * hh + std::size_t(y)] = heightMap[o + std::size_t(c)];
                             }
                         }
                         for (int c = 0; c < cols; ++c) {
                             const std::size_t o = std::size_t(c) * hh;
                             refractLine(out.data() + o, in.data() + o, map.data() + o, h, s, edges.data());
                         }
                         for (int y = 0; y < h; ++y) {
                             const std::size_t o = std::size_t(y) * width + std::size_t(x0);
                             for (int c = 0; c < cols; ++c)
                                 dst[o + std::size_t(c)] = out[std::size_t(c) * hh + std::size_t(y)];
                         }
                     }
                 });
}

CEL_PixmapAreaRGBA16* refract(const CEL_PixmapAreaRGBA16* src, const CEL_PixmapAreaRGBA16* heightMap,
                              double heightScale, double heightOffset, double n, bool invert) {
    detail::requirePixmaps(src, heightMap);
    const Math::Box2di rect = src->allocatedRect();
    auto result = std::make_unique<CEL_PixmapAreaRGBA16>(src->size(), src->canvasRect());
    if (rect.hasNullArea() || !src->data()) return result.release();
    const unsigned long long pixels = (unsigned long long)rect.area();
    if (pixels > CEL_Pixmap::maxPixmapBytes() / sizeof(Pixel)) throw AlgoException("out of memory");

    // The heights aligned with src's buffer: the map itself when it already is.
    std::unique_ptr<CEL_PixmapAreaRGBA16> heights;
    const CEL_PixelRGBA16* h = heightMap->data();
    if (invert) {
        heights.reset(heightMap->clone());
        negate(heights.get(), true, true);
        if (!heights->realloc(rect, true)) throw AlgoException("out of memory");
        h = heights->data();
    } else if (heightMap->allocatedRect() != rect || !h) {
        heights.reset(heightMap->clone(rect));
        h = heights ? heights->data() : nullptr;
    }
    if (!h) throw AlgoException("out of memory");

    // The row pass writes the result's buffer, the column pass works on it in
    // place (each block of columns is gathered before it is written back).
    Pixel* out = new (std::nothrow) Pixel[pixels];
    if (!out) throw AlgoException("out of memory");
    result->alloc(rect, out);
    const double k = src->canvasRect().w() / 720.0;
    const unsigned w = unsigned(rect.w()), hh = unsigned(rect.h());
    rowPass(out, src->data(), h, w, hh, heightScale, heightOffset, n, k);
    colPass(out, out, h, w, hh, heightScale, heightOffset, n, k);
    result->setAllPositive(src->areAllPositive());
    return result.release();
}

} // namespace CelAlgo
