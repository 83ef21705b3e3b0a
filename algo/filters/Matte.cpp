// Matte and alpha operations. The per-pixel ones are single row walks; growing
// and shrinking a matte is the one with structure (see expandOrShrink below).
#include "algo/filters/Matte.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#include "algo/filters/MatteColourDetail.h"
#include "base/QXMaths.h"
#include "pixel/PixelBuffer.h"

#if defined(__x86_64__) && defined(__GNUC__) && !defined(CELCORE_SANITIZED)
#define CELCORE_ROW_KERNEL __attribute__((target_clones("avx2", "default")))
#else
#define CELCORE_ROW_KERNEL
#endif

namespace CelAlgo {

using detail::forEachRowOf;
using detail::kFull;
using Pixel = CEL_PixelRGBA16;

namespace {

double clamp01(double v) {
    return v < 0.0 ? 0.0 : (v > 1.0 ? 1.0 : v);
}

// trunc(clamp(percent * 0.01, 0, 1) * 32767): the level of the two percent forms.
int16_t percentLevel(double percent) {
    return int16_t(clamp01(percent * 0.01) * kFull);
}

} // namespace

void thresholdAlphaPixmap(CEL_PixmapAreaRGBA16* pixmap, double level) {
    if (!pixmap || QXMaths::isNan(level)) return;
    const int16_t t = int16_t(QXMaths::ifloor(clamp01(level) * kFull + 0.5));
    forEachRowOf(pixmap, [t](Pixel* row, int n) {
        for (int i = 0; i < n; ++i) row[i].a = row[i].a > t ? int16_t(kFull) : int16_t(0);
    });
}

void removeAlphaTransparency(CEL_PixmapAreaRGBA16* pixmap, double percent) {
    if (!pixmap || QXMaths::isNan(percent)) return;
    const int16_t t = percentLevel(percent);
    forEachRowOf(pixmap, [t](Pixel* row, int n) {
        for (int i = 0; i < n; ++i) row[i].a = row[i].a < t ? int16_t(0) : int16_t(kFull);
    });
}

void removeTransparency(CEL_PixmapAreaRGBA16* pixmap, double percent, bool opaque) {
    if (!pixmap || QXMaths::isNan(percent)) return;
    const int t = percentLevel(percent);
    forEachRowOf(pixmap, [t, opaque](Pixel* row, int n) {
        for (int i = 0; i < n; ++i) {
            Pixel& p = row[i];
            const int a = p.a;
            if (a == kFull) continue;
            if (a != 0 && a >= t) {
                // m >= a > 0 and m >= every colour channel: positive channels end
                // at most at 32767; negative ones may fall below -32767.
                const int m = std::max({int(p.r), int(p.g), int(p.b), a});
                p.r = int16_t(detail::sat16(p.r * kFull / m));
                p.g = int16_t(detail::sat16(p.g * kFull / m));
                p.b = int16_t(detail::sat16(p.b * kFull / m));
                if (opaque) p.a = int16_t(kFull);
            } else {
                p.r = p.g = p.b = 0;
                if (opaque) p.a = 0;
            }
        }
    });
}

void stretchGrayPixmap(CEL_PixmapMatte8* matte, double low, double high) {
    if (!matte || QXMaths::isNan(low) || QXMaths::isNan(high)) return;
    // Levels beyond the byte range give the same table as the range's ends; the
    // clamps only keep the conversions defined.
    const int lo = int(std::min(std::max(low, 0.0), 2.0) * 255 + 0.5);
    const int hi = int(std::max(std::min(high, 1.0), -2.0) * 255 + 0.5);
    uint8_t table[256];
    for (int i = 0; i < 256; ++i) {
        if (i <= lo)
            table[i] = 0;
        else if (i >= hi)
            table[i] = 255;
        else
            table[i] = uint8_t(float(i - lo) / float(hi - lo) * 255.0f + 0.5f);
    }
    forEachRowOf(matte->data(), matte->width(), matte->height(), [&table](unsigned char* row, int n) {
        for (int i = 0; i < n; ++i) row[i] = table[row[i]];
    });
}

// ---------------------------------------------------------------------------
// Growing and shrinking
//
// Shrinking is growing the negated alpha, so everything below computes maxima.
// Each candidate pixel of an element is a key: its value in the high half and
// (low mask - dx^2 - dy^2) in the low half, so that the largest key holds the
// extreme and, among pixels holding it, the smallest distance to the centre.
//
// For each source row, the row pass widens a window one pixel per side at a time
// (window w from window w - 1 and the two pixels at +-w), keeping per column the
// largest key of the row segment [x - w, x + w]. When w is the half-width of
// some row offset dy of an element, the row's keys less dy^2 go into the
// accumulator of output row y = s - dy: maxima over row segments, never scans of
// the disc per pixel. Rows outside the content are transparent: their best key
// (value 0 at dx = 0) is a constant per output row and starts its accumulator.
//
// A second step turns the accumulated keys into pixels: the alpha by the
// combination rule; the colour from the centre when it holds the extreme (the
// common case: inside flat areas and far from the content), else from the pixel
// found among the few lattice points at the key's distance.
//
// Output rows are split over worker threads; each band reads the source rows it
// needs and writes only its own rows, so results do not depend on threads.

namespace {

constexpr int clampAlpha(int a) {
    return a < -kFull ? -kFull : a;
}

// floor(v + 0.5), saturated: unlike trunc(v + 0.5) it keeps negative whole
// numbers (tone alphas) as they are. Values here lie within -32768 ... 32767.
int nearestInt(double v) {
    return detail::sat16(int(std::floor(v + 0.5)));
}

// Half-widths of the element of radius k: w[dy + k] for dy in -k ... k.
std::vector<int> elementHalfWidths(int k) {
    std::vector<int> w(std::size_t(2 * k + 1));
    const long long r2 = (long long)(k + 1) * (k + 1);
    for (int dy = -k; dy <= k; ++dy) {
        const long long rest = r2 - (long long)dy * dy;
        long long x = std::min<long long>(k, (long long)std::sqrt(double(rest)));
        while (x * x > rest) --x;
        while (x < k && (x + 1) * (x + 1) <= rest) ++x;
        w[std::size_t(dy + k)] = int(x);
    }
    return w;
}

long long isqrt(long long v) {
    long long x = (long long)std::sqrt(double(v));
    while (x * x > v) --x;
    while ((x + 1) * (x + 1) <= v) ++x;
    return x;
}

// Where the content is: the bounding box of the non-empty pixels (any channel
// non-zero) of an area pixmap, in canvas coordinates; empty when there are none.
Math::Box2di contentBox(const CEL_PixmapAreaRGBA16& p) {
    const int w = p.allocatedWidth(), h = p.allocatedHeight();
    if (!p.data() || w <= 0 || h <= 0) return {};
    std::vector<int> first(std::size_t(h), w), last(std::size_t(h), -1);
    const Pixel* data = p.data();
    detail::parallelRows(0, h, detail::rowGrain(h), w, [&](int y1, int y2) {
        for (int y = y1; y < y2; ++y) {
            const uint64_t* row = reinterpret_cast<const uint64_t*>(data + std::ptrdiff_t(y) * w);
            int x1 = 0, x2 = w;
            while (x1 < w && row[x1] == 0) ++x1;
            if (x1 == w) continue;
            while (row[x2 - 1] == 0) --x2;
            first[std::size_t(y)] = x1;
            last[std::size_t(y)] = x2 - 1;
        }
    });
    int x1 = w, x2 = -1, y1 = h, y2 = -1;
    for (int y = 0; y < h; ++y) {
        if (last[std::size_t(y)] < 0) continue;
        y1 = std::min(y1, y);
        y2 = y;
        x1 = std::min(x1, first[std::size_t(y)]);
        x2 = std::max(x2, last[std::size_t(y)]);
    }
    if (y2 < 0) return {};
    return Math::Box2di::fromCorners(p.allocatedX1() + x1, p.allocatedY1() + y1, p.allocatedX1() + x2 + 1,
                                     p.allocatedY1() + y2 + 1);
}

// Keys of 32 bits while every distance^2 fits in 16 bits (radius up to 253),
// else of 64 bits.
template <class Key> struct KeyCoding {
    static constexpr int kShift = sizeof(Key) * 4;
    static constexpr Key kLowMask = (Key(1) << kShift) - 1;
    static constexpr Key kLowest = std::numeric_limits<Key>::min();
    static constexpr Key make(int value, long long d2) {
        return Key(value) * (Key(1) << kShift) + (kLowMask - Key(d2));
    }
    static constexpr int value(Key k) { return int(k >> kShift); }
    static constexpr long long distance2(Key k) { return (long long)(kLowMask - (k & kLowMask)); }
};

// One row of the widening pass: cur[x] = max(prev[x], base[x - w] - w2, base[x + w] - w2)
// for n columns, base pointing at column 0 of the padded row.
template <class Key>
CELCORE_ROW_KERNEL void widenRow(Key* cur, const Key* prev, const Key* base, int w, Key w2, int n) {
    const Key* left = base - w;
    const Key* right = base + w;
    for (int x = 0; x < n; ++x) {
        const Key l = left[x] - w2, r = right[x] - w2;
        Key m = prev[x] > l ? prev[x] : l;
        cur[x] = m > r ? m : r;
    }
}

template <class Key> CELCORE_ROW_KERNEL void scatterRow(Key* acc, const Key* keys, Key dy2, int n) {
    for (int x = 0; x < n; ++x) {
        const Key k = keys[x] - dy2;
        acc[x] = acc[x] > k ? acc[x] : k;
    }
}

class MatteMorph {
public:
    MatteMorph(CEL_PixmapAreaRGBA16& p, bool shrink, int n, double f)
        : m_p(p), m_shrink(shrink), m_n(n), m_f(f), m_elements(f > 0.0 ? 2 : 1) {
        m_half[0] = elementHalfWidths(n);
        m_half[1] = elementHalfWidths(n + 1);
        m_reach = n + m_elements - 1;
        // The row offsets each window width serves, per element.
        m_uses.resize(std::size_t(m_reach + 1));
        for (int e = 0; e < m_elements; ++e) {
            const int k = n + e;
            for (int dy = -k; dy <= k; ++dy)
                m_uses[std::size_t(m_half[e][std::size_t(dy + k)])].push_back({e, dy});
        }
    }

    // Runs on the content box; throws "out of memory" before touching the pixmap.
    void run(const Math::Box2di& content) {
        m_content = content;
        const long long margin = (long long)m_n + 1;
        const long long x1 = content.x1() - margin, y1 = content.y1() - margin;
        const long long x2 = content.x2() + margin, y2 = content.y2() + margin;
        // The padded source row reaches one more margin beyond the working rectangle.
        if (x1 - margin < std::numeric_limits<int>::min() || y1 < std::numeric_limits<int>::min() ||
            x2 + margin > std::numeric_limits<int>::max() || y2 > std::numeric_limits<int>::max())
            throw AlgoException("out of memory");
        m_work = Math::Box2di::fromCorners(int(x1), int(y1), int(x2), int(y2));
        try {
            if ((long long)m_n + 2 <= 255)
                runWith<int32_t>();
            else
                runWith<int64_t>();
        } catch (const std::bad_alloc&) { // the rows each band keeps (large radii)
            throw AlgoException("out of memory");
        }
    }

private:
    struct Use {
        int element;
        int dy;
    };

    template <class Key> void runWith() {
        using C = KeyCoding<Key>;
        const Math::Box2di& W = m_work;
        std::unique_ptr<Pixel[]> out(CEL_PixelBuffer::allocate<Pixel>(W.area(), false));
        if (!out) {
            CEL_PixelBuffer::postOutOfMemory(W.w(), W.h(), "PixmapAreaRGBA16");
            throw AlgoException("out of memory");
        }
        const int width = W.w();
        const int pad = m_reach;
        const int ring = 2 * m_reach + 1;

        detail::parallelRows(
            W.y1(), W.y2(), detail::rowGrain(W.h()), (long long)width * ring, [&](int yBegin, int yEnd) {
                // Output row y accumulates in slot y mod ring: it is started when its first
                // source row (y - reach) comes up and resolved after its last (y + reach).
                std::vector<Key> base(std::size_t(width) + 2 * std::size_t(pad));
                std::vector<Key> rowA(static_cast<std::size_t>(width)), rowB(static_cast<std::size_t>(width));
                std::vector<Key> accRing[2];
                for (int e = 0; e < m_elements; ++e)
                    accRing[e].resize(std::size_t(ring) * std::size_t(width));
                const auto slot = [&](int e, int y) {
                    return accRing[e].data() + std::ptrdiff_t(((y % ring) + ring) % ring) * width;
                };
                for (int s = yBegin - m_reach; s < yEnd + m_reach; ++s) {
                    const int started = s + m_reach;
                    if (started >= yBegin && started < yEnd)
                        for (int e = 0; e < m_elements; ++e) {
                            // The best key of the transparent rows (outside the content) in reach.
                            const int k = m_n + e;
                            long long nearest = 0;
                            if (started >= m_content.y1() && started < m_content.y2())
                                nearest = std::min(started - m_content.y1() + 1, m_content.y2() - started);
                            std::fill_n(slot(e, started), width,
                                        nearest <= k ? C::make(0, nearest * nearest) : C::kLowest);
                        }
                    if (s >= m_content.y1() && s < m_content.y2()) {
                        fillBase<Key>(base.data(), s, W.x1() - pad, width + 2 * pad);
                        const Key* keys = base.data() + pad;
                        Key* cur = rowA.data();
                        Key* spare = rowB.data();
                        for (int w = 0; w <= m_reach; ++w) {
                            if (w > 0) {
                                widenRow<Key>(cur, keys, base.data() + pad, w, Key((long long)w * w), width);
                                keys = cur;
                                std::swap(cur, spare);
                            }
                            for (const Use& u : m_uses[std::size_t(w)]) {
                                const int y = s - u.dy;
                                if (y < yBegin || y >= yEnd) continue;
                                scatterRow<Key>(slot(u.element, y), keys, Key((long long)u.dy * u.dy), width);
                            }
                        }
                    }
                    const int finished = s - m_reach;
                    if (finished >= yBegin && finished < yEnd) {
                        const Key* acc[2] = {slot(0, finished), m_elements > 1 ? slot(1, finished) : nullptr};
                        resolveRow<Key>(out.get() + std::ptrdiff_t(finished - W.y1()) * width, acc, finished);
                    }
                }
            });

        m_p.alloc(W, out.release());
    }

    // Keys of source row s from canvas column x0 on, n of them (value 0 outside the content).
    template <class Key> void fillBase(Key* base, int s, int x0, int n) const {
        using C = KeyCoding<Key>;
        std::fill_n(base, n, C::make(0, 0));
        const Math::Box2di& a = m_p.allocatedRect();
        if (s < a.y1() || s >= a.y2()) return;
        const int c1 = std::max(m_content.x1(), a.x1()), c2 = std::min(m_content.x2(), a.x2());
        const Pixel* row = m_p.data() + m_p.pixelOffset(c1, s);
        Key* dst = base + (c1 - x0);
        for (int i = 0; i < c2 - c1; ++i) dst[i] = C::make(signedValue(row[i].a), 0);
    }

    int signedValue(int alpha) const { return m_shrink ? -clampAlpha(alpha) : clampAlpha(alpha); }

    // The source pixel at a canvas position: transparent outside the allocation.
    Pixel sourceAt(int x, int y) const {
        const Pixel* p = m_p.pixel(x, y);
        return p ? *p : Pixel{0, 0, 0, 0};
    }

    // Output row y (dst) from its accumulated keys: first every pixel as it is, then
    // the blocks holding a pixel whose extreme is not its own alpha.
    template <class Key> void resolveRow(Pixel* dst, const Key* const* acc, int y) const {
        using C = KeyCoding<Key>;
        const Math::Box2di& W = m_work;
        const Math::Box2di& a = m_p.allocatedRect();
        std::fill_n(dst, W.w(), Pixel{0, 0, 0, 0});
        if (y >= a.y1() && y < a.y2()) {
            const int x1 = std::max(W.x1(), a.x1()), x2 = std::min(W.x2(), a.x2());
            if (x1 < x2) std::copy_n(m_p.data() + m_p.pixelOffset(x1, y), x2 - x1, dst + (x1 - W.x1()));
        }
        const int sign = m_shrink ? -1 : 1;
        constexpr int kBlock = 16;
        for (int i0 = 0; i0 < W.w(); i0 += kBlock) {
            const int i1 = std::min(i0 + kBlock, W.w());
            bool own = true;
            for (int i = i0; i < i1; ++i) {
                const int alpha = dst[i].a;
                const Key key = C::make(sign * clampAlpha(alpha), 0);
                own &= alpha != -32768 && acc[0][i] == key && (m_elements == 1 || acc[1][i] == key);
            }
            if (!own)
                for (int i = i0; i < i1; ++i) dst[i] = resolvePixel<Key>(dst[i], acc, i, W.x1() + i, y);
        }
    }

    // One output pixel at (x, y) whose source pixel is centre.
    template <class Key> Pixel resolvePixel(Pixel centre, const Key* const* acc, int i, int x, int y) const {
        using C = KeyCoding<Key>;
        const int sign = m_shrink ? -1 : 1;
        const Key k0 = acc[0][i];
        const int e0 = sign * C::value(k0);
        int alpha = e0;
        Key chosen = k0;
        int element = 0;
        if (m_elements > 1) {
            const Key k1 = acc[1][i];
            const int e1 = sign * C::value(k1);
            alpha = nearestInt((1.0 - m_f) * e0 + m_f * e1);
            if (std::abs(e1) > std::abs(e0)) {
                chosen = k1;
                element = 1;
            }
        }
        Pixel src = C::distance2(chosen) == 0
                        ? centre
                        : nearestHolding(x, y, C::distance2(chosen), sign * C::value(chosen), element);
        const int sa = clampAlpha(src.a);
        if (alpha != sa && sa != 0) {
            src.r = int16_t(nearestInt(double(src.r) * alpha / sa));
            src.g = int16_t(nearestInt(double(src.g) * alpha / sa));
            src.b = int16_t(nearestInt(double(src.b) * alpha / sa));
        }
        src.a = int16_t(alpha);
        return src;
    }

    // The first pixel, upper rows first and then left first, at squared distance d2
    // from (x, y) inside the element whose alpha is target. The accumulated key
    // says one exists; the centre stands in should none be found.
    Pixel nearestHolding(int x, int y, long long d2, int target, int element) const {
        const int k = m_n + element;
        const std::vector<int>& half = m_half[element];
        const int reach = int(std::min<long long>(k, isqrt(d2)));
        for (int dy = -reach; dy <= reach; ++dy) {
            const long long rest = d2 - (long long)dy * dy;
            const long long dx = isqrt(rest);
            if (dx * dx != rest || dx > half[std::size_t(dy + k)]) continue;
            for (const long long sx : {-dx, dx}) {
                const Pixel p = sourceAt(int(x + sx), y + dy);
                if (clampAlpha(p.a) == target) return p;
            }
        }
        return sourceAt(x, y);
    }

    CEL_PixmapAreaRGBA16& m_p;
    const bool m_shrink;
    const int m_n;
    const double m_f;
    const int m_elements;
    int m_reach = 0;
    std::vector<int> m_half[2];
    std::vector<std::vector<Use>> m_uses;
    Math::Box2di m_content;
    Math::Box2di m_work;
};

void expandOrShrink(CEL_PixmapAreaRGBA16* pixmap, double a, double b, bool shrink) {
    detail::requirePixmaps(pixmap);
    if (QXMaths::isNan(a) || QXMaths::isNan(b) || a <= 0.0) return;
    const double r = std::fabs(a * b);
    if (!(r > 0.0)) return; // 0, or infinity times 0
    const Math::Box2di content = contentBox(*pixmap);
    if (content.hasNullArea()) return;
    // A radius this large needs a working rectangle beyond any buffer.
    if (!(r < 65000.0)) throw AlgoException("out of memory");
    const int n = int(r);
    MatteMorph(*pixmap, shrink, n, r - n).run(content);
}

} // namespace

void expandMatte(CEL_PixmapAreaRGBA16* pixmap, double a, double b) {
    expandOrShrink(pixmap, a, b, false);
}

void shrinkMatte(CEL_PixmapAreaRGBA16* pixmap, double a, double b) {
    expandOrShrink(pixmap, a, b, true);
}

// ---------------------------------------------------------------------------
// Canvas pixmaps as area pixmaps

namespace {

void setPositiveFlag(CEL_PixmapAreaRGBA16* p) {
    std::atomic<bool> negative{false};
    forEachRowOf(p, [&negative](const Pixel* row, int n) {
        if (detail::anyNegativeRow(row, n)) negative.store(true, std::memory_order_relaxed);
    });
    p->setAllPositive(!negative.load());
}

} // namespace

CEL_PixmapAreaRGBA16* convRGBA16ToBBox(CEL_PixmapRGBA16* src, const Math::Size2di& canvas,
                                       const Math::Box2di& box) {
    if (!src) return nullptr;
    auto result = std::make_unique<CEL_PixmapAreaRGBA16>(canvas, box);
    const int w = src->width(), h = src->height();
    CEL_PixelRGBA16* data = src->releaseData();
    if (data) result->alloc(Math::Box2di(box.x1(), box.y1(), w, h), data);
    setPositiveFlag(result.get());
    return result.release();
}

CEL_PixmapAreaRGBA16* convRGBA16ToBBox(CEL_PixmapRGBA16* src, const Math::Box2di& srcRect,
                                       const Math::Size2di& canvas, const Math::Box2di& box,
                                       const Math::Box2di& clip) {
    if (box == srcRect && box == clip) return convRGBA16ToBBox(src, canvas, box);
    if (!src) return nullptr;
    const Math::Box2di target = clip.getIntersection(box);
    Math::Box2di from = srcRect.getIntersection(Math::Box2di(0, 0, src->width(), src->height()));
    if (from.hasNullArea() || target.hasNullArea()) return nullptr;
    // Never more rows or wider rows than the allocation holds.
    from = Math::Box2di(from.x1(), from.y1(), std::min(from.w(), target.w()), std::min(from.h(), target.h()));
    CEL_PixmapAreaRGBA16* result = src->cloneArea(from, target, canvas, box);
    if (!result) return nullptr;
    // cloneArea leaves what the source does not reach uninitialised.
    Pixel* data = result->data();
    const int w = target.w();
    if (from.w() < w)
        for (int y = 0; y < from.h(); ++y)
            std::fill_n(data + std::ptrdiff_t(y) * w + from.w(), w - from.w(), Pixel{0, 0, 0, 0});
    std::fill(data + std::ptrdiff_t(from.h()) * w, data + target.area(), Pixel{0, 0, 0, 0});
    setPositiveFlag(result);
    return result;
}

} // namespace CelAlgo
