#include "algo/filters/PixmapShaders.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <vector>

#include "pixel/PixmapCanvas.h"

namespace CelAlgo {

namespace {

// A box wider than this many texels goes to a coarser pyramid level.
constexpr double kDirectSpan = 16.0;

inline double overlap(double a0, double a1, double b0, double b1) {
    const double v = std::min(a1, b1) - std::max(a0, b0);
    return v > 0.0 ? v : 0.0;
}

inline int wrapIndex(long long i, int n) {
    const long long m = i % n;
    return int(m < 0 ? m + n : m);
}

inline int floorIndex(double v) {
    v = std::floor(v);
    return v < -2e9 ? -2000000000 : (v > 2e9 ? 2000000000 : int(v));
}

// One picture to average over: texel (i, j) of a w x h grid, four channels
// read by get(i, j, out).
struct Grid {
    int w = 0, h = 0;
};

// Sum of the texels over [x0, x1) x [y0, y1), each weighted by the area it
// shares with the box. Outside the grid texels count as 0, or repeat along
// the axes that wrap.
template <class Get>
void boxSum(const Grid& g, bool wrapX, bool wrapY, double x0, double x1, double y0, double y1, const Get& get,
            double sum[4]) {
    sum[0] = sum[1] = sum[2] = sum[3] = 0.0;
    int i0 = floorIndex(x0), i1 = floorIndex(x1) + 1;
    int j0 = floorIndex(y0), j1 = floorIndex(y1) + 1;
    if (!wrapX) i0 = std::max(i0, 0), i1 = std::min(i1, g.w);
    if (!wrapY) j0 = std::max(j0, 0), j1 = std::min(j1, g.h);
    for (int j = j0; j < j1; ++j) {
        const double wy = overlap(j, j + 1.0, y0, y1);
        if (wy == 0.0) continue;
        const int jj = wrapY ? wrapIndex(j, g.h) : j;
        double row[4] = {0.0, 0.0, 0.0, 0.0};
        for (int i = i0; i < i1; ++i) {
            const double wx = overlap(i, i + 1.0, x0, x1);
            if (wx == 0.0) continue;
            double v[4];
            get(wrapX ? wrapIndex(i, g.w) : i, jj, v);
            for (int k = 0; k < 4; ++k) row[k] += v[k] * wx;
        }
        for (int k = 0; k < 4; ++k) sum[k] += row[k] * wy;
    }
}

} // namespace

struct CelPixmapShader::Impl {
    Math::PlaneProjection projection;
    const CEL_PixelRGBA16* pixels16 = nullptr;
    const CEL_PixelRGBA8* pixels8 = nullptr;
    Grid grid;
    double full = 32767.0; // the source's full scale
    bool wrapX = false, wrapY = false;

    // Level k + 1 halves level k; texels are four floats in source units.
    struct Level {
        Grid grid;
        std::vector<float> texels;
    };
    mutable std::once_flag pyramidOnce;
    mutable std::vector<Level> pyramid;

    Impl(const Math::PlaneProjection& p) : projection(p) {}

    void source(int i, int j, double v[4]) const {
        const long long k = (long long)j * grid.w + i;
        if (pixels16) {
            const CEL_PixelRGBA16& s = pixels16[k];
            v[0] = s.r, v[1] = s.g, v[2] = s.b, v[3] = s.a;
        } else {
            const CEL_PixelRGBA8& s = pixels8[k];
            v[0] = s.r, v[1] = s.g, v[2] = s.b, v[3] = s.a;
        }
    }

    void buildPyramid() const {
        const auto at = [&](const Level* l, int i, int j, double v[4]) {
            if (!l) return source(i, j, v);
            const float* t = &l->texels[((std::size_t)j * l->grid.w + i) * 4];
            v[0] = t[0], v[1] = t[1], v[2] = t[2], v[3] = t[3];
        };
        const Level* from = nullptr;
        Grid g = grid;
        while (g.w > 1 || g.h > 1) {
            Level next;
            next.grid = {(g.w + 1) / 2, (g.h + 1) / 2};
            next.texels.resize(std::size_t(next.grid.w) * next.grid.h * 4);
            for (int j = 0; j < next.grid.h; ++j)
                for (int i = 0; i < next.grid.w; ++i) {
                    double acc[4] = {0.0, 0.0, 0.0, 0.0};
                    for (int dj = 0; dj < 2; ++dj)
                        for (int di = 0; di < 2; ++di) {
                            int si = 2 * i + di, sj = 2 * j + dj;
                            if (si >= g.w) {
                                if (!wrapX) continue;
                                si = wrapIndex(si, g.w);
                            }
                            if (sj >= g.h) {
                                if (!wrapY) continue;
                                sj = wrapIndex(sj, g.h);
                            }
                            double v[4];
                            at(from, si, sj, v);
                            for (int k = 0; k < 4; ++k) acc[k] += v[k];
                        }
                    float* t = &next.texels[((std::size_t)j * next.grid.w + i) * 4];
                    for (int k = 0; k < 4; ++k) t[k] = float(acc[k] * 0.25);
                }
            pyramid.push_back(std::move(next));
            from = &pyramid.back();
            g = from->grid;
        }
    }

    // The average over the box, in source units.
    void average(double x0, double x1, double y0, double y1, double out[4]) const {
        const double span = std::max(x1 - x0, y1 - y0);
        if (x1 - x0 < 1e-6 || y1 - y0 < 1e-6) {
            // A degenerate footprint: the pixel under its centre.
            const double cx = (x0 + x1) * 0.5, cy = (y0 + y1) * 0.5;
            const double w = 1e-6;
            return average(cx - w, cx + w, cy - w, cy + w, out);
        }
        int level = 0;
        if (span > kDirectSpan) level = int(std::ceil(std::log2(span / kDirectSpan)));
        double sum[4];
        double area = (x1 - x0) * (y1 - y0);
        if (level == 0) {
            boxSum(
                grid, wrapX, wrapY, x0, x1, y0, y1, [this](int i, int j, double v[4]) { source(i, j, v); },
                sum);
        } else {
            std::call_once(pyramidOnce, [this] { buildPyramid(); });
            level = std::min<int>(level, int(pyramid.size()));
            const Level& l = pyramid[std::size_t(level - 1)];
            const double f = std::ldexp(1.0, -level);
            x0 *= f, x1 *= f, y0 *= f, y1 *= f;
            area *= f * f;
            boxSum(
                l.grid, wrapX, wrapY, x0, x1, y0, y1,
                [&l](int i, int j, double v[4]) {
                    const float* t = &l.texels[((std::size_t)j * l.grid.w + i) * 4];
                    v[0] = t[0], v[1] = t[1], v[2] = t[2], v[3] = t[3];
                },
                sum);
        }
        for (int k = 0; k < 4; ++k) out[k] = sum[k] / area;
    }
};

CelPixmapShader::CelPixmapShader(const Math::PlaneProjection& projection, const CEL_PixmapRGBA16* source)
    : CelPixmapShader(projection, source, false, false) {}

CelPixmapShader::CelPixmapShader(const Math::PlaneProjection& projection, const CEL_PixmapRGBA16* source,
                                 bool repeatX, bool repeatY)
    : m_impl(std::make_unique<Impl>(projection)) {
    if (source && source->data()) {
        m_impl->pixels16 = source->data();
        m_impl->grid = {source->width(), source->height()};
    }
    m_impl->wrapX = repeatX;
    m_impl->wrapY = repeatY;
}

CelPixmapShader::CelPixmapShader(const Math::PlaneProjection& projection, const CEL_PixmapRGBA8* source)
    : m_impl(std::make_unique<Impl>(projection)) {
    if (source && source->data()) {
        m_impl->pixels8 = source->data();
        m_impl->grid = {source->width(), source->height()};
        m_impl->full = 255.0;
    }
}

CelPixmapShader::~CelPixmapShader() = default;

bool CelPixmapShader::shade(int x, int y, SR_Color& out) const {
    const Impl& d = *m_impl;
    if (d.grid.w <= 0 || d.grid.h <= 0) return false;
    Math::Point2d q[4];
    const Math::Point2d corners[4] = {
        {double(x), double(y)}, {double(x), y + 1.0}, {x + 1.0, double(y)}, {x + 1.0, y + 1.0}};
    for (int k = 0; k < 4; ++k)
        if (!d.projection.getInverseProjection(corners[k], q[k])) return false;
    double x0 = q[0].x, x1 = q[0].x, y0 = q[0].y, y1 = q[0].y;
    for (int k = 1; k < 4; ++k) {
        x0 = std::min(x0, q[k].x), x1 = std::max(x1, q[k].x);
        y0 = std::min(y0, q[k].y), y1 = std::max(y1, q[k].y);
    }
    // Far outside a source that does not repeat there is nothing to average.
    if ((!d.wrapX && (x1 <= 0.0 || x0 >= d.grid.w)) || (!d.wrapY && (y1 <= 0.0 || y0 >= d.grid.h)))
        return false;
    double avg[4];
    d.average(x0, x1, y0, y1, avg);
    const double k = 255.0 / d.full;
    out.c[0] = avg[2] * k;
    out.c[1] = avg[1] * k;
    out.c[2] = avg[0] * k;
    out.alpha = avg[3] / d.full;
    return true;
}

CelPixmapTileShader::CelPixmapTileShader(const Math::PlaneProjection& projection,
                                         const CEL_PixmapRGBA16* source, bool repeatX, bool repeatY)
    : CelPixmapShader(projection, source, repeatX, repeatY) {}

// --- CelPixmapCursor ---

namespace {

inline int16_t to16(double v) {
    const double r = std::round(v);
    return int16_t(r > 32767.0 ? 32767.0 : (r < -32767.0 ? -32767.0 : (r != r ? 0.0 : r)));
}

} // namespace

CelPixmapCursor::CelPixmapCursor(CEL_PixmapRGBA16* target, WriteMode mode)
    : SR_BitMapCursor(mode), m_target(target) {}

void CelPixmapCursor::moveTo(int x, int y) {
    m_x = x;
    m_row = m_target && m_target->data() && y >= 0 && y < m_target->height()
                ? m_target->data() + (long long)y * m_target->width()
                : nullptr;
}

void CelPixmapCursor::write(const SR_Color& color) {
    const int x = m_x++;
    if (!m_row || x < 0 || x >= m_target->width()) return;
    CEL_PixelRGBA16& p = m_row[x];
    if (writeMode() == Premultiply) {
        if (color.alpha == 0.0) return;
        p.r = to16(color.c[2] / 255.0 * color.alpha * 32767.0);
        p.g = to16(color.c[1] / 255.0 * color.alpha * 32767.0);
        p.b = to16(color.c[0] / 255.0 * color.alpha * 32767.0);
    } else {
        p.r = to16(color.c[2] / 255.0 * 32767.0);
        p.g = to16(color.c[1] / 255.0 * 32767.0);
        p.b = to16(color.c[0] / 255.0 * 32767.0);
    }
    p.a = to16(color.alpha * 32767.0);
}

} // namespace CelAlgo
