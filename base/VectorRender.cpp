// The layer renderer: Qt's raster painter over tiles of the target, in parallel.
#include <tbb/blocked_range.h>
#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>
#include <tbb/partitioner.h>

#include <QImage>
#include <QPainter>
#include <QTransform>
#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <new>
#include <thread>

#include "base/VectorDrawing.h"
#include "base/VectorDrawingDetail.h"

namespace {

// ------------------------------------------------------------------ colour tables

// Straight colour from 8-bit premultiplied values, indexed [alpha][value].
struct Tables {
    uint8_t straight8[256][256];  // min(255, round(p 255 / a))
    uint8_t premul8[256][256];    // trunc(straight8 a / 255)
    int16_t straight15[256][256]; // min(32767, round(p 32767 / a))
};

const Tables& tables() {
    static const Tables* t = [] {
        auto* k = new Tables;
        for (int a = 0; a < 256; ++a)
            for (int p = 0; p < 256; ++p) {
                const int s = a == 0 ? 0 : std::min(255, (p * 255 + a / 2) / a);
                k->straight8[a][p] = uint8_t(s);
                k->premul8[a][p] = uint8_t(s * a / 255);
                k->straight15[a][p] = int16_t(a == 0 ? 0 : std::min(32767, (p * 32767 + a / 2) / a));
            }
        return k;
    }();
    return *t;
}

// ------------------------------------------------------------------ tile conversion

// The library's 8 -> 16 rule, v 32767 / 255 truncated, exact for 0 ... 255.
constexpr int16_t from8(uint32_t v) {
    return int16_t((v * 65791u) >> 9);
}
constexpr bool from8IsExact() {
    for (uint32_t v = 0; v < 256; ++v)
        if (from8(v) != int16_t(v * 32767 / 255) || from8(v) != int16_t((v << 7) + ((v * 32640u) >> 16)))
            return false;
    return true;
}
static_assert(from8IsExact());

// Qt's premultiplied ARGB32 words (0xAARRGGBB: b, g, r, a in memory on the
// little-endian machines this library is built for) to the target, modes 1 and 2.
static_assert(std::endian::native == std::endian::little);
template <bool Premultiply>
void rowFromArgb32(const uint32_t* in, int n, uint8_t* out, GR_RenderTarget::Depth depth) {
    const Tables& t = tables();
    if (depth == GR_RenderTarget::Depth8) {
        for (int x = 0; x < n; ++x, out += 4) {
            const uint32_t w = in[x];
            const uint32_t a = w >> 24, r = (w >> 16) & 255, g = (w >> 8) & 255, b = w & 255;
            if (a == 255) { // covered by opaque paint: the values as they are
                out[0] = uint8_t(r), out[1] = uint8_t(g), out[2] = uint8_t(b), out[3] = 255;
                continue;
            }
            const auto& table = Premultiply ? t.premul8[a] : t.straight8[a];
            out[0] = table[r], out[1] = table[g], out[2] = table[b], out[3] = uint8_t(a);
        }
        return;
    }
    auto* o = reinterpret_cast<int16_t*>(out);
    if (Premultiply) {
        // The premultiplied 8-bit value is the best estimate of c a there is.
        // Byte by byte in 16-bit arithmetic, which the compiler vectorises:
        // v 32767 / 255 = 128 v + trunc(v 32640 / 65536) for 0 ... 255.
        const auto* bytes = reinterpret_cast<const uint8_t*>(in); // b, g, r, a in memory
        for (int x = 0; x < n; ++x)
            for (int c = 0; c < 4; ++c) {
                const uint16_t v = bytes[4 * x + (c == 3 ? 3 : 2 - c)];
                o[4 * x + c] = int16_t((v << 7) + ((uint32_t(v) * 32640u) >> 16));
            }
        return;
    }
    for (int x = 0; x < n; ++x, o += 4) {
        const uint32_t w = in[x];
        const uint32_t a = w >> 24, r = (w >> 16) & 255, g = (w >> 8) & 255, b = w & 255;
        o[0] = t.straight15[a][r], o[1] = t.straight15[a][g], o[2] = t.straight15[a][b];
        o[3] = from8(a);
    }
}

// Qt's premultiplied RGBA64 (r, g, b, a, 16 bits each) to the target, modes 0 and 3.
template <bool Premultiply, bool BinaryAlpha>
void rowFromRgba64(const uint16_t* in, int n, uint8_t* out, GR_RenderTarget::Depth depth) {
    for (int x = 0; x < n; ++x, in += 4) {
        const uint32_t a16 = in[3];
        const uint32_t a8 = (a16 * 255 + 32767) / 65535;
        uint32_t s16[3];
        for (int c = 0; c < 3; ++c)
            s16[c] = a16 == 0 ? 0 : std::min<uint32_t>(65535, (in[c] * 65535u + a16 / 2) / a16);
        if (depth == GR_RenderTarget::Depth8) {
            uint8_t* o = out + 4 * x;
            int v[4] = {0, 0, 0, int(a8)};
            for (int c = 0; c < 3; ++c) {
                const int s8 = int((s16[c] * 255 + 32767) / 65535);
                v[c] = Premultiply ? s8 * int(a8) / 255 : s8;
            }
            if (BinaryAlpha && a8 >= 1 && a8 <= 254) {
                if (a8 < 127) {
                    v[0] = v[1] = v[2] = v[3] = 0;
                } else {
                    for (int c = 0; c < 3; ++c) v[c] = std::clamp(int(v[c] / (a8 / 255.0)), 0, 255);
                    v[3] = 255;
                }
            }
            if (a8 == 0) v[0] = v[1] = v[2] = 0;
            o[0] = uint8_t(v[0]), o[1] = uint8_t(v[1]), o[2] = uint8_t(v[2]), o[3] = uint8_t(v[3]);
        } else {
            int16_t* o = reinterpret_cast<int16_t*>(out) + 4 * x;
            const int a15 = int(a16 * 32767 / 65535);
            int v[4] = {0, 0, 0, a15};
            for (int c = 0; c < 3; ++c)
                v[c] = Premultiply ? int(in[c] * 32767u / 65535) : int(s16[c] * 32767 / 65535);
            if (BinaryAlpha && a8 >= 1 && a8 <= 254) {
                if (a8 < 127) {
                    v[0] = v[1] = v[2] = v[3] = 0;
                } else {
                    for (int c = 0; c < 3; ++c) v[c] = std::clamp(int(v[c] / (a15 / 32767.0)), 0, 32767);
                    v[3] = 32767;
                }
            }
            if (a8 == 0 && BinaryAlpha) v[0] = v[1] = v[2] = v[3] = 0;
            o[0] = int16_t(v[0]), o[1] = int16_t(v[1]), o[2] = int16_t(v[2]), o[3] = int16_t(v[3]);
        }
    }
}

using RowConverter = void (*)(const uchar* in, int n, uint8_t* out, GR_RenderTarget::Depth depth);

template <bool P> void argb32Row(const uchar* in, int n, uint8_t* out, GR_RenderTarget::Depth d) {
    rowFromArgb32<P>(reinterpret_cast<const uint32_t*>(in), n, out, d);
}
template <bool P, bool B> void rgba64Row(const uchar* in, int n, uint8_t* out, GR_RenderTarget::Depth d) {
    rowFromRgba64<P, B>(reinterpret_cast<const uint16_t*>(in), n, out, d);
}

RowConverter converterFor(bool wide, bool premultiply, bool binaryAlpha) {
    if (!wide) return premultiply ? argb32Row<true> : argb32Row<false>;
    if (premultiply) return binaryAlpha ? rgba64Row<true, true> : rgba64Row<true, false>;
    return binaryAlpha ? rgba64Row<false, true> : rgba64Row<false, false>;
}

// ------------------------------------------------------------------ threads

#if defined(__SANITIZE_THREAD__)
#define CELCORE_VECTOR_PLAIN_THREADS 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define CELCORE_VECTOR_PLAIN_THREADS 1
#endif
#endif

// body(begin, end, worker) over disjoint ranges covering [0, n), each worker
// (state a thread keeps from range to range) used by one thread at a time.
template <class Worker, class Body> void parallelRanges(long long n, long long grain, const Body& body) {
    if (n <= 0) return;
#if defined(CELCORE_VECTOR_PLAIN_THREADS)
    // The distribution's oneTBB is not built for the thread sanitizer, whose
    // reports would be races inside its scheduler: plain threads instead.
    (void)grain;
    const long long parts = std::min<long long>(n, 4);
    std::vector<std::thread> threads;
    for (long long k = 0; k < parts; ++k)
        threads.emplace_back([&body, n, parts, k] {
            Worker worker;
            body(n * k / parts, n * (k + 1) / parts, worker);
        });
    for (std::thread& t : threads) t.join();
#else
    tbb::enumerable_thread_specific<Worker> workers;
    tbb::parallel_for(
        tbb::blocked_range<long long>(0, n, std::size_t(std::max<long long>(grain, 1))),
        [&](const tbb::blocked_range<long long>& r) { body(r.begin(), r.end(), workers.local()); },
        tbb::simple_partitioner());
#endif
}

// ------------------------------------------------------------------ shapes

// What the tiles fill: the rings of a device path (pixels of the resolution,
// y down), flattened once, filled together by the nonzero rule; their box for
// culling; the colour.
struct Area {
    std::vector<QPolygonF> rings;
    QRectF box;
    QColor color;
    bool isEmpty() const { return rings.empty(); }
};

// A shape's fill and its stroke's outline.
struct Prepared {
    Area fill, outline;
};

// Curves followed within a quarter of a pixel, as Qt's painter does: Qt
// flattens to half a unit, so the path is flattened at twice its size.
constexpr double kFlatten = 2.0;

Area areaOf(const QPainterPath& device, const QColor& color) {
    Area a;
    a.color = color;
    QList<QPolygonF> rings = device.toSubpathPolygons(QTransform::fromScale(kFlatten, kFlatten));
    a.rings.reserve(std::size_t(rings.size()));
    for (QPolygonF& ring : rings) a.rings.push_back(std::move(ring));
    double lx = HUGE_VAL, ly = HUGE_VAL, hx = -HUGE_VAL, hy = -HUGE_VAL;
    for (QPolygonF& ring : a.rings)
        for (QPointF& p : ring) {
            p /= kFlatten;
            lx = std::min(lx, p.x()), ly = std::min(ly, p.y());
            hx = std::max(hx, p.x()), hy = std::max(hy, p.y());
        }
    if (!(std::isfinite(lx) && std::isfinite(ly) && std::isfinite(hx) && std::isfinite(hy))) return Area();
    a.box = QRectF(QPointF(lx, ly), QPointF(hx, hy));
    return a;
}

// The map from world units to pixels: the matrix on the plane z = 0 (rows x,
// y and w), then normalised device coordinates to pixels. `scale` is the
// largest length in pixels of a world unit (at the origin for a perspective map).
bool worldToPixels(const GR_SoftRenderOptions& o, QTransform& out, double& scale) {
    const Math::Matrix4x4& m = o.modelToNormalizedDevice;
    const double rw = o.resolution.width, rh = o.resolution.height;
    const double h[3][3] = {
        {m(0, 0), m(0, 1), m(0, 3)}, {m(1, 0), m(1, 1), m(1, 3)}, {m(3, 0), m(3, 1), m(3, 3)}};
    double g[3][3];
    for (int c = 0; c < 3; ++c) {
        g[0][c] = rw * 0.5 * (h[0][c] + h[2][c]);
        g[1][c] = rh * 0.5 * (h[2][c] - h[1][c]);
        g[2][c] = h[2][c];
    }
    for (const auto& row : g)
        for (double v : row)
            if (!std::isfinite(v)) return false;
    // Qt's matrix: x' = m11 x + m21 y + m31, y' = m12 x + m22 y + m32, w' = m13 x + m23 y + m33.
    out = QTransform(g[0][0], g[1][0], g[2][0], g[0][1], g[1][1], g[2][1], g[0][2], g[1][2], g[2][2]);
    const double w = g[2][2];
    const double a = g[0][0] / w, b = g[0][1] / w, c = g[1][0] / w, d = g[1][1] / w;
    const double sum = a * a + b * b + c * c + d * d, det = a * d - b * c;
    scale = std::sqrt((sum + std::sqrt(std::max(0.0, sum * sum - 4.0 * det * det))) * 0.5);
    if (!std::isfinite(scale) || scale <= 0.0) scale = 1.0;
    return true;
}

QColor qtColor(const CM_ColorRGBA8& c) {
    return QColor(c.r, c.g, c.b, c.a);
}

// Group of a layer type in drawing order: underlay, colour art, line art, overlay.
int groupOf(uint32_t type) {
    return type <= GR_LineArtLayer ? int(type) : 3;
}

// Fills an area: one ring straight from its points (nothing is shared between
// tiles but constant data), several through a path of the tile's own.
void fillArea(QPainter& painter, const Area& area) {
    painter.setBrush(area.color);
    if (area.rings.size() == 1) {
        painter.drawPolygon(area.rings.front(), Qt::WindingFill);
        return;
    }
    QPainterPath path;
    path.setFillRule(Qt::WindingFill);
    for (const QPolygonF& ring : area.rings) path.addPolygon(ring);
    painter.drawPath(path);
}

} // namespace

GR_LayerSoftRenderer::GR_LayerSoftRenderer(const GR_SoftRenderOptions& options) : m_options(options) {}

bool GR_LayerSoftRenderer::render(const GR_CompositeVectorDrawingObj& drawing, const GR_ArtSelector& art) {
    m_prepared = 0;
    const GR_RenderTarget t = m_target;
    if (t.rect.hasNullArea()) return true;
    const int bytesPerPixel = t.depth == GR_RenderTarget::Depth8 ? 4 : 8;
    if (!t.data || t.stride < std::ptrdiff_t(t.rect.w()) * bytesPerPixel) return false;
    QTransform toPixels;
    double scale = 1.0;
    if (!worldToPixels(m_options, toPixels, scale)) return false;
    const double thickness =
        m_options.richLineStyle.getThicknessRenderParameters(m_options.modelToNormalizedDevice).thickness;

    // The shapes in drawing order, then each prepared once (in parallel: each
    // shape is touched by one thread only).
    std::vector<const GR_Shape*> order;
    for (int group = 0; group < 4; ++group)
        for (const GR_Layer& layer : drawing.layers()) {
            if (!layer.visible || !art.selects(layer.type) || groupOf(layer.type) != group) continue;
            for (const GR_Shape& s : layer.shapes)
                if (!s.path.isEmpty()) order.push_back(&s);
        }
    m_prepared = order.size();
    std::vector<Prepared> prepared(order.size());
    const double threshold = std::clamp(0.25 / scale, 1e-6, 1e6);
    struct NoState {};
    parallelRanges<NoState>((long long)order.size(), 16, [&](long long begin, long long end, NoState&) {
        for (long long i = begin; i != end; ++i) {
            const GR_Shape& s = *order[std::size_t(i)];
            if (!s.path.isValid()) continue;
            Prepared& p = prepared[std::size_t(i)];
            const auto colour = [&](const GR_ShapeColor& c) {
                CM_ColorRGBA8 v = drawing.ResolveColor(c);
                if (m_options.colorMatrix) v = m_options.colorMatrix->apply(v);
                return v;
            };
            const QPainterPath world = GR_Detail::painterPath(s.path);
            if (s.isFilled()) {
                const CM_ColorRGBA8 c = colour(s.fill);
                if (c.a > 0) p.fill = areaOf(toPixels.map(world), qtColor(c));
            }
            const double width = double(s.width) * thickness;
            if (s.isStroked() && width > 0.0 && std::isfinite(width)) {
                const CM_ColorRGBA8 c = colour(s.stroke);
                if (c.a > 0)
                    p.outline =
                        areaOf(toPixels.map(GR_Detail::strokeOutline(world, width, threshold)), qtColor(c));
            }
        }
    });

    // Modes 0 and 3 paint in 16 bits a channel: a pixel's colour comes back exactly.
    const int mode = m_options.antialiasMode;
    const bool wide = mode == 0 || mode == 3;
    const QImage::Format format =
        wide ? QImage::Format_RGBA64_Premultiplied : QImage::Format_ARGB32_Premultiplied;
    const RowConverter convert = converterFor(wide, t.premultiply, t.binaryAlpha);
    const int scratchBytes = wide ? 8 : 4;
    // What a thread keeps from tile to tile: the scratch picture's memory and the list of areas.
    struct Worker {
        std::vector<uint64_t> memory;
        std::vector<const Area*> areas;
    };

    const int tileRows = (t.rect.h() + kTileRows - 1) / kTileRows;
    const int tileColumns = (t.rect.w() + kTileColumns - 1) / kTileColumns;
    std::atomic<bool> failed{false};
    parallelRanges<Worker>(
        (long long)tileRows * tileColumns, 1, [&](long long begin, long long end, Worker& worker) {
            for (long long tile = begin; tile != end; ++tile) {
                const int tx = int(tile % tileColumns) * kTileColumns,
                          ty = int(tile / tileColumns) * kTileRows;
                const int tw = std::min(kTileColumns, t.rect.w() - tx),
                          th = std::min(kTileRows, t.rect.h() - ty);
                const int ox = t.rect.x1() + tx, oy = t.rect.y1() + ty;
                uint8_t* target = static_cast<uint8_t*>(t.data) + std::ptrdiff_t(ty) * t.stride +
                                  std::ptrdiff_t(tx) * bytesPerPixel;
                // Antialiasing reaches at most one pixel beyond a path's box.
                const QRectF reach(ox - 1.0, oy - 1.0, tw + 2.0, th + 2.0);
                std::vector<const Area*>& areas = worker.areas;
                areas.clear();
                for (const Prepared& p : prepared) {
                    if (!p.fill.isEmpty() && p.fill.box.intersects(reach)) areas.push_back(&p.fill);
                    if (!p.outline.isEmpty() && p.outline.box.intersects(reach)) areas.push_back(&p.outline);
                }
                if (areas.empty()) {
                    for (int y = 0; y < th; ++y)
                        std::memset(target + std::ptrdiff_t(y) * t.stride, 0, size_t(tw) * bytesPerPixel);
                    continue;
                }
                // A tile's scratch picture, kept by its thread from tile to tile.
                std::vector<uint64_t>& memory = worker.memory;
                const std::size_t words = (std::size_t(tw) * std::size_t(th) * scratchBytes + 7) / 8;
                try {
                    if (memory.size() < words) memory.resize(words);
                } catch (const std::bad_alloc&) {
                    failed = true;
                    continue;
                }
                std::memset(memory.data(), 0, words * 8);
                QImage scratch(reinterpret_cast<uchar*>(memory.data()), tw, th, qsizetype(tw) * scratchBytes,
                               format);
                {
                    QPainter painter(&scratch);
                    painter.setRenderHint(QPainter::Antialiasing, mode != 0);
                    painter.setPen(Qt::NoPen);
                    painter.setTransform(QTransform::fromTranslate(-ox, -oy));
                    for (const Area* area : areas) fillArea(painter, *area);
                }
                for (int y = 0; y < th; ++y)
                    convert(scratch.constScanLine(y), tw, target + std::ptrdiff_t(y) * t.stride, t.depth);
            }
        });
    return !failed;
}
