// flickerBlur, variableBlur and directionalBlur (the isotropic blur is in
// BlurRadial.cpp). Each output pixel is a function of the input alone, so rows
// run in parallel and the results never depend on the number of threads.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <type_traits>
#include <utility>
#include <vector>

#include "algo/composite/CompositeDetail.h"
#include "algo/filters/Blur.h"
#include "algo/filters/BlurDetail.h"
#include "base/QXMaths.h"
#include "pixel/PixmapArea.h"

namespace CelAlgo {

// --- Scratch pool ---

namespace blurdetail {

namespace {

constexpr uint64_t kKeptBlockBytes = uint64_t(32) << 20;
constexpr uint64_t kKeptTotalBytes = uint64_t(64) << 20;
constexpr std::align_val_t kScratchAlignment{64};

struct ScratchPool {
    std::mutex mutex;
    std::vector<std::pair<uint64_t, void*>> kept; // size, block
    uint64_t keptBytes = 0;
};

ScratchPool& scratchPool() {
    static ScratchPool* pool = new ScratchPool; // lives until exit: blurs may run in static destructors
    return *pool;
}

} // namespace

ScratchBlock::ScratchBlock(uint64_t bytes) {
    requireBytes(bytes);
    bytes = std::max<uint64_t>(bytes, 1);
    {
        ScratchPool& pool = scratchPool();
        std::lock_guard<std::mutex> lock(pool.mutex);
        // The smallest kept block that fits without wasting more than half of it.
        auto best = pool.kept.end();
        for (auto it = pool.kept.begin(); it != pool.kept.end(); ++it)
            if (it->first >= bytes && it->first / 2 <= bytes &&
                (best == pool.kept.end() || it->first < best->first))
                best = it;
        if (best != pool.kept.end()) {
            m_data = best->second, m_size = best->first;
            pool.keptBytes -= best->first;
            pool.kept.erase(best);
            return;
        }
    }
    m_data = ::operator new(std::size_t(bytes), kScratchAlignment, std::nothrow);
    if (!m_data) throw AlgoException("out of memory");
    m_size = bytes;
}

ScratchBlock::~ScratchBlock() {
    if (!m_data) return;
    if (m_size <= kKeptBlockBytes) {
        ScratchPool& pool = scratchPool();
        std::lock_guard<std::mutex> lock(pool.mutex);
        // Room is made by dropping the oldest blocks.
        while (!pool.kept.empty() && pool.keptBytes + m_size > kKeptTotalBytes) {
            ::operator delete(pool.kept.front().second, kScratchAlignment);
            pool.keptBytes -= pool.kept.front().first;
            pool.kept.erase(pool.kept.begin());
        }
        pool.kept.emplace_back(m_size, m_data);
        pool.keptBytes += m_size;
        return;
    }
    ::operator delete(m_data, kScratchAlignment);
}

} // namespace blurdetail

namespace {

using namespace blurdetail;
using detail::parallelRows;
using detail::rowGrain;

// --- flickerBlur ---

// Lanes per chunk of a row: the float sums of a chunk stay in the first-level cache
// while every tap row is added to them.
constexpr int kFlickerChunk = 1024;

// Rows are widened to float once into a ring of the 2n + 3 rows a band needs
// (float(v) is exact, so the sums are those of the 16-bit rows); above this size
// the taps read the 16-bit rows directly.
constexpr uint64_t kFlickerRingBytes = uint64_t(16) << 20;

BLUR_KERNEL void addRow(float* sum, const int16_t* row, int count) {
    for (int i = 0; i < count; ++i) sum[i] += float(row[i]);
}
BLUR_KERNEL void addRowScaled(float* sum, const int16_t* row, float weight, int count) {
    for (int i = 0; i < count; ++i) sum[i] += weight * float(row[i]);
}
BLUR_KERNEL void addRow(float* sum, const float* row, int count) {
    for (int i = 0; i < count; ++i) sum[i] += row[i];
}
// Four rows in one sweep, added in their order: the sums are stored once, not four times.
BLUR_KERNEL void addRows(float* sum, const float* a, const float* b, const float* c, const float* d,
                         int count) {
    for (int i = 0; i < count; ++i) sum[i] = (((sum[i] + a[i]) + b[i]) + c[i]) + d[i];
}
BLUR_KERNEL void addRowScaled(float* sum, const float* row, float weight, int count) {
    for (int i = 0; i < count; ++i) sum[i] += weight * row[i];
}
BLUR_KERNEL void widenRow(const int16_t* in, float* out, int64_t count) {
    for (int64_t i = 0; i < count; ++i) out[i] = in[i];
}
BLUR_KERNEL void divideRow(const float* sum, float divisor, int16_t* out, int count) {
    for (int i = 0; i < count; ++i) {
        float v = sum[i] / divisor;
        v = v < 32767.0f ? v : 32767.0f;
        v = v > -32768.0f ? v : -32768.0f;
        out[i] = int16_t(int(v));
    }
}

// One output row of flickerBlur from rows handed out by row(y) (clamped by the
// caller), in chunks whose sums stay in the first-level cache.
template <class Row>
void flickerRow(int64_t y, int n, float frac, float divisor, int64_t lanes, int16_t* out, const Row& row) {
    float sum[kFlickerChunk];
    for (int64_t c = 0; c < lanes; c += kFlickerChunk) {
        const int count = int(std::min<int64_t>(kFlickerChunk, lanes - c));
        std::fill(sum, sum + count, 0.0f);
        int d = 1;
        if constexpr (std::is_same_v<decltype(row(y)), const float*>)
            for (; d + 1 <= n; d += 2)
                addRows(sum, row(y - d) + c, row(y + d) + c, row(y - d - 1) + c, row(y + d + 1) + c, count);
        for (; d <= n; ++d) {
            addRow(sum, row(y - d) + c, count);
            addRow(sum, row(y + d) + c, count);
        }
        if (frac != 0.0f) { // a zero weight adds +-0, which changes no sum
            addRowScaled(sum, row(y - n - 1) + c, frac, count);
            addRowScaled(sum, row(y + n + 1) + c, frac, count);
        }
        addRow(sum, row(y) + c, count);
        divideRow(sum, divisor, out + y * lanes + c, count);
    }
}

// --- variableBlurChannel ---

struct VariablePass {
    const float* a;
    float* b;
    const int16_t* map;
    double radius1, radius2;
    float limit; // per-pixel radii are clamped to +-limit
    int w, h;
};

// One field (C = 1) or the four fields of a pixel side by side (C = 4): the
// weights are the same for every field, and each lane goes through the same
// float operations as a one-field run.
typedef float Float4 __attribute__((vector_size(16)));
template <int C> struct FieldLanes {
    using V = float;
    static V load(const float* p) { return *p; }
    static void store(float* p, V v) { *p = v; }
};
template <> struct FieldLanes<4> {
    using V = Float4;
    static V load(const float* p) {
        V v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
    static void store(float* p, V v) { std::memcpy(p, &v, sizeof v); }
};

template <int C> inline void variablePixel(const VariablePass& v, int64_t x, int64_t y) {
    using L = FieldLanes<C>;
    const int64_t w = v.w, h = v.h;
    const int64_t i = y * w + x;
    const float m = float(v.map[4 * i]) * 3.0518509e-5f;
    float r = float((1.0 - double(m)) * v.radius1 + double(m) * v.radius2);
    r = r < v.limit ? r : v.limit; // NaN lands here too
    r = r > -v.limit ? r : -v.limit;
    int64_t n = QXMaths::iceiling(r);
    const float frac = r - std::floor(r);
    const float* a = v.a;
    const auto at = [&](int64_t px, int64_t py) { return L::load(a + (py * w + px) * C); };
    float weight = 0.0f;
    typename L::V sum{};
    // Each end tap is tested on both sides: a negative n puts (x - n) right of x.
    if (x - n >= 0 && x - n < w) weight += frac, sum += frac * at(x - n, y);
    if (x + n < w && x + n >= 0) weight += frac, sum += frac * at(x + n, y);
    if (y - n >= 0 && y - n < h) weight += frac, sum += frac * at(x, y - n);
    if (y + n < h && y + n >= 0) weight += frac, sum += frac * at(x, y + n);
    if (frac > 0.0f) --n;
    if (n < 1) {
        weight += 2.0f;
        sum += 2.0f * at(x, y);
    } else {
        weight += float(4 * n + 2);
        if (y - n >= 0 && y + n < h) {
            const float* p = a + ((y - n) * w + x) * C;
            for (int64_t j = -n; j <= n; ++j, p += w * C) sum += L::load(p);
        } else {
            for (int64_t j = y - n; j <= y + n; ++j) sum += at(x, std::clamp<int64_t>(j, 0, h - 1));
        }
        if (x - n >= 0 && x + n < w) {
            const float* p = a + (y * w + x - n) * C;
            for (int64_t j = -n; j <= n; ++j, p += C) sum += L::load(p);
        } else {
            for (int64_t j = x - n; j <= x + n; ++j) sum += at(std::clamp<int64_t>(j, 0, w - 1), y);
        }
    }
    L::store(v.b + i * C, sum / weight);
}

// Every pass of a plane of w x h pixels of C lanes, from a into b and back; the
// result ends in a.
template <int C> void variablePasses(VariablePass v, WorkBuffer<float>& a, WorkBuffer<float>& b, int passes) {
    for (int p = 0; p < passes; ++p) {
        v.a = a.get(), v.b = b.get();
        parallelRows(0, v.h, rowGrain(v.h), int64_t(v.w) * C, [&v](int ya, int yb) {
            for (int y = ya; y < yb; ++y)
                for (int x = 0; x < v.w; ++x) variablePixel<C>(v, x, y);
        });
        std::swap(a, b);
    }
}

// trunc(v + 0.5) in double, stored in 16 bits without clamping (the low bits of
// the integer).
inline int16_t wrapToShort(float v) {
    const double t = std::trunc(double(v) + 0.5);
    return int16_t(std::isfinite(t) && std::fabs(t) < 2e9 ? int(t) : 0);
}

float radiusLimit(int width, int height) {
    return float(std::min<int64_t>(int64_t(width) + height + 2, 1000000000));
}

// --- directionalBlur ---

struct Tap {
    int ox, oy;
    float w;
};

// Reach of the blur vector's major component in pixels beyond which the kernel is
// refused: every output pixel visits every tap, so longer vectors would only
// spend time.
constexpr double kMaxDirectionalReach = 65536.0;

struct DirectionalKernel {
    std::vector<Tap> taps; // weights 0 left out: they change no sum
    Math::Box2di reach;    // smallest box holding (0, 0) and every negated tap offset, as min/max corners
};

DirectionalKernel directionalKernel(double dx, double dy, int n, double falloff) {
    DirectionalKernel k;
    const bool yMajor = std::fabs(dx) <= std::fabs(dy);
    const double major = yMajor ? dy : dx;
    const int s = major < 0.0 ? -1 : 1;
    const double slope = yMajor ? dx / dy : dy / dx;
    const double majorLength = std::fabs(major);
    int bx1 = 0, by1 = 0, bx2 = 0, by2 = 0;
    for (int i = 0; i < n; ++i) {
        const int m = i * s;
        const double t = m * slope;
        const double f = std::floor(t);
        const double w = 1.0 - std::pow(double(i), falloff) / n;
        float w0 = float(w * (f + 1.0 - t)), w1 = float(w * (t - f));
        if (i == n - 1 && n > majorLength) {
            const double scale = majorLength - (n - 1);
            w0 = float(w0 * scale), w1 = float(w1 * scale);
        }
        const int fi = int(f);
        const Tap a = yMajor ? Tap{fi, m, w0} : Tap{m, fi, w0};
        const Tap b = yMajor ? Tap{fi + 1, m, w1} : Tap{m, fi + 1, w1};
        for (const Tap& tap : {a, b}) {
            bx1 = std::min(bx1, -tap.ox), bx2 = std::max(bx2, -tap.ox);
            by1 = std::min(by1, -tap.oy), by2 = std::max(by2, -tap.oy);
            if (tap.w != 0.0f) k.taps.push_back(tap);
        }
    }
    k.reach = Math::Box2di::fromCorners(bx1, by1, bx2, by2);
    return k;
}

struct DirectionalJob {
    const CEL_PixmapAreaRGBA16* src;
    CEL_PixmapAreaRGBA16* dst;
    const std::vector<Tap>* taps;
    Math::Box2di kernelBox; // the tap offsets' own bounds, half-open
};

template <bool TransparentEdges, bool AlphaOnly> void directionalRow(const DirectionalJob& job, int y) {
    const CEL_PixmapAreaRGBA16& src = *job.src;
    const Math::Box2di in = src.allocatedRect();
    const Math::Box2di out = job.dst->allocatedRect();
    const CEL_PixelRGBA16* base = src.data();
    const int64_t stride = in.w();
    CEL_PixelRGBA16* dstRow = job.dst->pixel(out.x1(), y);
    const Tap* taps = job.taps->data();
    const std::size_t tapCount = job.taps->size();
    const bool rowInside = y + job.kernelBox.y1() >= in.y1() && y + job.kernelBox.y2() <= in.y2();
    for (int x = out.x1(); x < out.x2(); ++x) {
        const bool centreIn = in.isContaining(x, y);
        const int ac = centreIn ? base[(y - in.y1()) * stride + (x - in.x1())].a : 0;
        const bool edgesCount = TransparentEdges || ac < 1;
        double sr = 0.0, sg = 0.0, sb = 0.0, sa = 0.0, weight = 0.0;
        const auto take = [&](const CEL_PixelRGBA16& p, float tw) {
            double wp = tw;
            if (!TransparentEdges && p.a < ac) wp = ac == 0 ? 0.0 : (double(p.a) / ac) * tw;
            if (!AlphaOnly) sr += p.r * wp, sg += p.g * wp, sb += p.b * wp;
            sa += p.a * wp;
            weight += wp;
        };
        if (rowInside && x + job.kernelBox.x1() >= in.x1() && x + job.kernelBox.x2() <= in.x2()) {
            const CEL_PixelRGBA16* centre = base + (y - in.y1()) * stride + (x - in.x1());
            for (std::size_t i = 0; i < tapCount; ++i)
                take(centre[taps[i].oy * stride + taps[i].ox], taps[i].w);
        } else {
            for (std::size_t i = 0; i < tapCount; ++i) {
                const int px = x + taps[i].ox, py = y + taps[i].oy;
                if (in.isContaining(px, py))
                    take(base[(py - in.y1()) * stride + (px - in.x1())], taps[i].w);
                else if (edgesCount)
                    weight += double(taps[i].w);
            }
        }
        CEL_PixelRGBA16& d = dstRow[x - out.x1()];
        if (weight == 0.0) {
            d = CEL_PixelRGBA16{0, 0, 0, 0};
            continue;
        }
        const auto result = [weight](double s) { return truncToShort(std::min(s / weight, 32767.0)); };
        d.r = AlphaOnly ? int16_t(0) : result(sr);
        d.g = AlphaOnly ? int16_t(0) : result(sg);
        d.b = AlphaOnly ? int16_t(0) : result(sb);
        d.a = result(sa);
    }
}

// One 3 x 3 mean pass over a whole allocated rectangle: each field the truncated
// mean of the neighbours inside the rectangle.
void meanPass(const CEL_PixmapAreaRGBA16& from, CEL_PixmapAreaRGBA16& to) {
    const int w = from.allocatedWidth(), h = from.allocatedHeight();
    const CEL_PixelRGBA16* in = from.data();
    CEL_PixelRGBA16* out = to.data();
    parallelRows(0, h, rowGrain(h), w, [&](int ya, int yb) {
        std::vector<int> cols(std::size_t(w) * 4);
        for (int y = ya; y < yb; ++y) {
            const int r0 = std::max(y - 1, 0), r1 = std::min(y + 1, h - 1);
            std::fill(cols.begin(), cols.end(), 0);
            for (int r = r0; r <= r1; ++r) {
                const int16_t* row = reinterpret_cast<const int16_t*>(in + int64_t(r) * w);
                for (int64_t i = 0; i < int64_t(w) * 4; ++i) cols[std::size_t(i)] += row[i];
            }
            const int rows = r1 - r0 + 1;
            int16_t* dst = reinterpret_cast<int16_t*>(out + int64_t(y) * w);
            for (int x = 0; x < w; ++x) {
                const int c0 = std::max(x - 1, 0), c1 = std::min(x + 1, w - 1);
                const int count = rows * (c1 - c0 + 1);
                for (int f = 0; f < 4; ++f) {
                    int s = 0;
                    for (int c = c0; c <= c1; ++c) s += cols[std::size_t(c) * 4 + std::size_t(f)];
                    dst[int64_t(x) * 4 + f] = int16_t(s / count);
                }
            }
        }
    });
}

} // namespace

// --- flickerBlur ---

CEL_PixmapAreaRGBA16* flickerBlur(const CEL_PixmapAreaRGBA16* src, double radius) {
    if (!src || !(radius > 0.0)) throw AlgoException("invalid parameter.");
    const int h = src->allocatedHeight();
    if (2.0 * radius >= h) throw AlgoException("invalid parameter. radius too large");
    const int n = int(std::floor(radius)); // below h / 2
    const float frac = float(radius - n);
    const float divisor = float(2.0 * radius + 1.0);

    auto result = std::make_unique<CEL_PixmapAreaRGBA16>(src->size(), src->canvasRect());
    result->setAllPositive(src->areAllPositive());
    if (!src->data() || src->allocatedArea() == 0) return result.release();
    requireBytes(checkedProduct(uint64_t(src->allocatedArea()), sizeof(CEL_PixelRGBA16)));
    if (!result->realloc(src->allocatedRect(), false) || !result->data())
        throw AlgoException("out of memory");

    const int64_t lanes = int64_t(src->allocatedWidth()) * 4;
    const int16_t* in = reinterpret_cast<const int16_t*>(src->data());
    int16_t* out = reinterpret_cast<int16_t*>(result->data());
    const int64_t cap = 2 * int64_t(n) + 3;
    const bool ring = checkedProduct(uint64_t(cap), uint64_t(lanes), sizeof(float)) <= kFlickerRingBytes;
    parallelRows(0, h, rowGrain(h), src->allocatedWidth(), [&](int ya, int yb) {
        const auto clampRow = [h](int64_t y) { return std::clamp<int64_t>(y, 0, h - 1); };
        if (!ring) {
            const auto row = [&](int64_t y) { return in + clampRow(y) * lanes; };
            for (int64_t y = ya; y < yb; ++y) flickerRow(y, n, frac, divisor, lanes, out, row);
            return;
        }
        const auto rows = workBuffer<float>(uint64_t(cap * lanes));
        const auto row = [&](int64_t y) -> const float* { return rows.get() + clampRow(y) % cap * lanes; };
        int64_t next = std::max<int64_t>(0, ya - n - 1); // the next row to widen
        for (int64_t y = ya; y < yb; ++y) {
            for (const int64_t last = clampRow(y + n + 1); next <= last; ++next)
                widenRow(in + next * lanes, rows.get() + next % cap * lanes, lanes);
            flickerRow(y, n, frac, divisor, lanes, out, row);
        }
    });
    return result.release();
}

// --- variableBlur ---

void variableBlurChannel(short* channel, const short* mapChannel, double radius1, double radius2, int passes,
                         int width, int height) {
    if (passes < 1 || width <= 0 || height <= 0) return;
    if (!channel || !mapChannel) throw AlgoException("invalid pointer");
    const uint64_t count = checkedProduct(uint64_t(width), uint64_t(height));
    auto a = workBuffer<float>(count);
    auto b = workBuffer<float>(count);
    for (uint64_t i = 0; i < count; ++i) a[i] = channel[4 * i];
    variablePasses<1>(
        {nullptr, nullptr, mapChannel, radius1, radius2, radiusLimit(width, height), width, height}, a, b,
        passes);
    for (uint64_t i = 0; i < count; ++i) channel[4 * i] = wrapToShort(a[i]);
}

void variableBlur(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* map, double radius1, double radius2,
                  int passes, bool keepShape, bool alphaOnly) {
    detail::requirePixmaps(dst, map);
    if (passes < 1 || !std::isfinite(radius1) || !std::isfinite(radius2)) return;
    if (!dst->data() || dst->allocatedArea() == 0) return;
    const double largest = std::min(std::max(radius1, radius2), 1e9);
    const int64_t n = largest > 0.0 ? int64_t(std::ceil(largest)) : 0; // never shrinks
    const Math::Box2di rect =
        grownClipped(dst->allocatedRect(), n * (int64_t(passes) + 1), dst->canvasRect());
    const uint64_t bytes = checkedProduct(uint64_t(rect.area()), sizeof(CEL_PixelRGBA16));
    requireBytes(bytes);
    if (!dst->realloc(rect, true)) throw AlgoException("out of memory");
    if (rect.hasNullArea() || !dst->data()) return;
    std::unique_ptr<CEL_PixmapAreaRGBA16> strength(map->clone(rect));
    if (!strength || !strength->data()) throw AlgoException("out of memory");
    std::unique_ptr<CEL_PixmapAreaRGBA16> copy;
    if (keepShape) {
        copy.reset(dst->clone());
        if (!copy || !copy->data()) throw AlgoException("out of memory");
    }
    CEL_PixmapAreaRGBA16* target = keepShape ? copy.get() : dst;
    const short* mapAlpha = fieldOf(strength->data(), 3);
    if (alphaOnly) {
        variableBlurChannel(fieldOf(target->data(), 3), mapAlpha, radius1, radius2, passes, rect.w(),
                            rect.h());
    } else { // the four fields at once: variableBlurChannel's values, field by field
        const uint64_t count = checkedProduct(uint64_t(rect.area()), 4);
        auto a = workBuffer<float>(count);
        auto b = workBuffer<float>(count);
        const int16_t* fields = fieldOf(target->data(), 0);
        for (uint64_t i = 0; i < count; ++i) a[i] = fields[i];
        variablePasses<4>({nullptr, nullptr, mapAlpha, radius1, radius2, radiusLimit(rect.w(), rect.h()),
                           rect.w(), rect.h()},
                          a, b, passes);
        int16_t* out = fieldOf(target->data(), 0);
        for (uint64_t i = 0; i < count; ++i) out[i] = wrapToShort(a[i]);
    }
    if (keepShape) {
        CEL_PixelRGBA16* d = dst->data();
        const CEL_PixelRGBA16* s = copy->data();
        for (int64_t i = 0, count = rect.area(); i < count; ++i)
            if (d[i].a != 0) d[i] = s[i];
    }
}

void variableBlur(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* map, double radius1, double radius2,
                  bool keepShape, Quality quality, double factor) {
    detail::requirePixmaps(dst, map);
    if (!(radius1 > 0.0 || radius2 > 0.0)) return;
    if (factor != 0.0) radius1 *= factor, radius2 *= factor;
    if (quality == QUALITY_FOUR_PASSES)
        variableBlur(dst, map, radius1, radius2, 4, keepShape, false);
    else if (quality == QUALITY_EIGHT_PASSES)
        variableBlur(dst, map, radius1 * 0.4, radius2 * 0.4, 8, keepShape, false);
}

// --- directionalBlur ---

CEL_PixmapAreaRGBA16* directionalBlur(const CEL_PixmapAreaRGBA16* src, double angle, double length,
                                      double falloff, double factor, bool transparentEdges, bool smooth,
                                      bool alphaOnly) {
    detail::requirePixmaps(src);
    falloff = falloff >= 1e-10 ? std::min(falloff, 1.0) : (falloff != falloff ? 1.0 : 1e-10);
    if (factor != 0.0) length *= factor;
    if (length == 0.0 || !std::isfinite(length) || !std::isfinite(angle)) return nullptr;
    const double radians = QXMaths::convertDegreesToRadians(angle);
    const double dx = std::cos(radians) * length, dy = -std::sin(radians) * length;
    const double reach = std::max(std::fabs(dx), std::fabs(dy));
    if (reach > kMaxDirectionalReach) throw AlgoException("invalid parameter.");
    const int n = QXMaths::iceiling(reach);
    if (n < 1) return nullptr;

    const DirectionalKernel kernel = directionalKernel(dx, dy, n, falloff);
    if (kernel.taps.empty()) return nullptr; // every weight rounded to 0 in float: no blur vector left
    auto result = std::make_unique<CEL_PixmapAreaRGBA16>(src->size(), src->canvasRect());
    result->setAllPositive(src->areAllPositive());
    if (!src->data() || src->allocatedArea() == 0) return result.release();

    const Math::Box2di& in = src->allocatedRect();
    Math::Box2di rect = Math::Box2di(in.x1() + kernel.reach.x1(), in.y1() + kernel.reach.y1(),
                                     in.w() + kernel.reach.w(), in.h() + kernel.reach.h());
    if (smooth) rect = rect.getEnlarged(5);
    rect = rect.getIntersection(src->canvasRect());
    if (rect.hasNullArea()) return result.release();
    requireBytes(checkedProduct(uint64_t(rect.area()), sizeof(CEL_PixelRGBA16)));
    if (!result->realloc(rect, false) || !result->data()) throw AlgoException("out of memory");

    DirectionalJob job{src, result.get(), &kernel.taps, Math::Box2di()};
    for (const Tap& t : kernel.taps) job.kernelBox.add(t.ox, t.oy);
    const auto rows = [&](auto rowFn) {
        parallelRows(rect.y1(), rect.y2(), rowGrain(rect.h()),
                     int64_t(rect.w()) * int64_t(kernel.taps.size()), [&](int ya, int yb) {
                         for (int y = ya; y < yb; ++y) rowFn(job, y);
                     });
    };
    if (transparentEdges)
        alphaOnly ? rows(directionalRow<true, true>) : rows(directionalRow<true, false>);
    else
        alphaOnly ? rows(directionalRow<false, true>) : rows(directionalRow<false, false>);

    if (smooth && rect.w() >= 2 && rect.h() >= 2) {
        auto other = std::make_unique<CEL_PixmapAreaRGBA16>(src->size(), src->canvasRect());
        requireBytes(checkedProduct(uint64_t(rect.area()), sizeof(CEL_PixelRGBA16)));
        if (!other->realloc(rect, false) || !other->data()) throw AlgoException("out of memory");
        other->setAllPositive(src->areAllPositive());
        meanPass(*result, *other);
        meanPass(*other, *result);
        meanPass(*result, *other);
        result = std::move(other);
    }
    return result.release();
}

} // namespace CelAlgo
