// Colour corrections. Each is one walk over rows; what depends on a value only
// (gamma curves, channel factors, keying terms, intensity curves) is tabulated
// first, so the walks are table reads and integer arithmetic the compiler
// vectorises, and the results are those of the formulas evaluated per pixel.
#include "algo/filters/ColorCorrect.h"

#include <QString>
#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <memory>
#include <vector>

#include "algo/composite/ColorSpace.h"
#include "algo/filters/MatteColourDetail.h"
#include "base/QXMaths.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#if defined(__x86_64__) && defined(__GNUC__) && !defined(CELCORE_SANITIZED)
#define CELCORE_ROW_KERNEL __attribute__((target_clones("avx2", "default")))
#else
#define CELCORE_ROW_KERNEL
#endif

namespace CelAlgo {

using detail::finite;
using detail::forEachRowOf;
using detail::kFull;
using detail::sat16;
using Pixel = CEL_PixelRGBA16;

namespace {

double clamp01(double v) {
    return v < 0.0 ? 0.0 : (v > 1.0 ? 1.0 : v);
}

// ifloor(v) clamped to [lo, hi], defined for every finite v.
int floorClamped(double v, int lo, int hi) {
    const double f = std::floor(v);
    return f < lo ? lo : (f > hi ? hi : int(f));
}

// An area pixmap reallocated to its canvas; false when the canvas is empty (the
// pixmap is then left as it is).
bool toCanvas(CEL_PixmapAreaRGBA16* p) {
    if (p->canvasRect().hasNullArea()) return false;
    if (!p->reallocToCanvas()) throw AlgoException("out of memory");
    return p->data() != nullptr;
}

} // namespace

ColorTransform fromReadOptions(const QString& text) {
    if (text == QLatin1String("sRGB")) return COLOR_TRANSFORM_SRGB;
    if (text == QLatin1String("709")) return COLOR_TRANSFORM_REC709;
    return COLOR_TRANSFORM_NONE;
}

// --- Background ---

namespace {

template <class P> void addBackground(P* p, double k0, double k1, double k2) {
    detail::forEachPixelMemo(p, [k0, k1, k2](Pixel q) {
        const double inv = double(1.0f - float(q.a) / 32767.0f);
        q.r = int16_t(std::clamp(inv * k0 * 32767.0 + q.r, -32767.0, 32767.0));
        q.g = int16_t(std::clamp(inv * k1 * 32767.0 + q.g, -32767.0, 32767.0));
        q.b = int16_t(std::clamp(inv * k2 * 32767.0 + q.b, -32767.0, 32767.0));
        q.a = int16_t(kFull);
        return q;
    });
}

} // namespace

void addBackgroundColor(CEL_PixmapAreaRGBA16* pixmap, double r, double g, double b) {
    if (!pixmap || !finite({r, g, b}) || !toCanvas(pixmap)) return;
    addBackground(pixmap, r, g, b);
    if (r < 0.0 || g < 0.0 || b < 0.0) pixmap->setAllPositive(false);
}

void addBackgroundColor(CEL_PixmapRGBA16* pixmap, double r, double g, double b) {
    if (!pixmap || !finite({r, g, b})) return;
    addBackground(pixmap, r, g, b);
}

// --- Gamma encoding ---

namespace {

double encode(ColorTransform t, double x) {
    if (t == COLOR_TRANSFORM_SRGB) return x < 0.0031308 ? 12.92 * x : 1.055 * std::pow(x, 1.0 / 2.4) - 0.055;
    return x < 0.018 ? 4.5 * x : 1.099 * std::pow(x, 1.0 / 2.2) - 0.099;
}

// Every value 0 ... full of one curve: x in single precision, the curve in double
// stored back to single precision, trunc(y * full) in single precision.
template <class T, int full> std::vector<T> curveTable(ColorTransform t) {
    std::vector<T> table(full + 1);
    for (int v = 0; v <= full; ++v) {
        const float x = float(v) / float(full);
        const float y = float(encode(t, double(x)));
        table[std::size_t(v)] = T(y * float(full));
    }
    return table;
}

// Built once per curve, on first use.
const std::vector<int16_t>& curve16(ColorTransform t) {
    static const std::vector<int16_t> srgb = curveTable<int16_t, kFull>(COLOR_TRANSFORM_SRGB);
    static const std::vector<int16_t> rec709 = curveTable<int16_t, kFull>(COLOR_TRANSFORM_REC709);
    return t == COLOR_TRANSFORM_SRGB ? srgb : rec709;
}

const std::vector<uint8_t>& curve8(ColorTransform t) {
    static const std::vector<uint8_t> srgb = curveTable<uint8_t, 255>(COLOR_TRANSFORM_SRGB);
    static const std::vector<uint8_t> rec709 = curveTable<uint8_t, 255>(COLOR_TRANSFORM_REC709);
    return t == COLOR_TRANSFORM_SRGB ? srgb : rec709;
}

bool isCurve(ColorTransform t) {
    return t == COLOR_TRANSFORM_SRGB || t == COLOR_TRANSFORM_REC709;
}

template <class P> void applyCurve16(P* p, ColorTransform t) {
    if (!p || !isCurve(t)) return;
    const int16_t* table = curve16(t).data();
    detail::forEachPixelMemo(p, [table](Pixel q) {
        q.r = q.r < 0 ? q.r : table[q.r];
        q.g = q.g < 0 ? q.g : table[q.g];
        q.b = q.b < 0 ? q.b : table[q.b];
        return q;
    });
}

} // namespace

void applyColorTransform(CEL_PixmapAreaRGBA16* pixmap, ColorTransform transform) {
    applyCurve16(pixmap, transform);
}

void applyColorTransform(CEL_PixmapRGBA16* pixmap, ColorTransform transform) {
    applyCurve16(pixmap, transform);
}

void applyColorTransform(CEL_PixmapRGBA8* pixmap, ColorTransform transform) {
    if (!pixmap || !isCurve(transform)) return;
    const uint8_t* table = curve8(transform).data();
    forEachRowOf(pixmap->data(), pixmap->width(), pixmap->height(), [table](CEL_PixelRGBA8* row, int n) {
        for (int i = 0; i < n; ++i) {
            row[i].r = table[row[i].r];
            row[i].g = table[row[i].g];
            row[i].b = table[row[i].b];
        }
    });
}

// --- Masks and scales ---

namespace {

// Channels masked by m (all bits or none per channel); alpha the sum of the rest
// unless kept.
template <bool keepAlpha> CELCORE_ROW_KERNEL void maskRow(Pixel* row, int n, Pixel m) {
    int i = 0;
#if defined(__SSE2__)
    // Two pixels at a time: the colour sums by a multiply-add with ones, packed back
    // with signed saturation (then -32768 lifted to -32767) into the alpha lanes.
    if (!keepAlpha) {
        const __m128i colour = _mm_set_epi16(0, m.b, m.g, m.r, 0, m.b, m.g, m.r);
        const __m128i alphaLanes = _mm_set_epi16(-1, 0, 0, 0, -1, 0, 0, 0);
        const __m128i ones = _mm_set1_epi16(1), floor = _mm_set1_epi16(-kFull);
        for (; i + 2 <= n; i += 2) {
            __m128i* at = reinterpret_cast<__m128i*>(row + i);
            const __m128i v = _mm_and_si128(_mm_loadu_si128(at), colour);
            __m128i sums = _mm_madd_epi16(v, ones);                    // r+g, b, per pixel
            sums = _mm_add_epi32(sums, _mm_shuffle_epi32(sums, 0xB1)); // r+g+b twice per pixel
            const __m128i first = _mm_shuffle_epi32(sums, 0x00), second = _mm_shuffle_epi32(sums, 0xAA);
            const __m128i alpha = _mm_max_epi16(_mm_packs_epi32(first, second), floor);
            _mm_storeu_si128(at, _mm_or_si128(v, _mm_and_si128(alpha, alphaLanes)));
        }
    }
#endif
    for (; i < n; ++i) {
        Pixel& p = row[i];
        p.r = int16_t(p.r & m.r);
        p.g = int16_t(p.g & m.g);
        p.b = int16_t(p.b & m.b);
        if (!keepAlpha) p.a = int16_t(sat16(p.r + p.g + p.b));
    }
}

// c = sat(alpha - max(c, 0)) on the colour channels; true when one turned negative.
CELCORE_ROW_KERNEL bool negateWithAlphaRow(Pixel* row, int n) {
    int i = 0, bits = 0;
#if defined(__SSE2__)
    const __m128i alphaLanes = _mm_set_epi16(-1, 0, 0, 0, -1, 0, 0, 0);
    const __m128i zero = _mm_setzero_si128(), floor = _mm_set1_epi16(-kFull);
    __m128i signs = zero;
    for (; i + 2 <= n; i += 2) {
        __m128i* at = reinterpret_cast<__m128i*>(row + i);
        const __m128i v = _mm_loadu_si128(at);
        // Each pixel's alpha in all four of its lanes.
        const __m128i alpha = _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, 0xFF), 0xFF);
        const __m128i c = _mm_max_epi16(_mm_subs_epi16(alpha, _mm_max_epi16(v, zero)), floor);
        const __m128i result = _mm_or_si128(_mm_andnot_si128(alphaLanes, c), _mm_and_si128(alphaLanes, v));
        signs = _mm_or_si128(signs, _mm_andnot_si128(alphaLanes, c));
        _mm_storeu_si128(at, result);
    }
    bits = _mm_movemask_epi8(signs) & 0xAAAA ? -1 : 0;
#endif
    for (; i < n; ++i) {
        Pixel& p = row[i];
        const int a = p.a;
        p.r = int16_t(sat16(a - std::max<int>(p.r, 0)));
        p.g = int16_t(sat16(a - std::max<int>(p.g, 0)));
        p.b = int16_t(sat16(a - std::max<int>(p.b, 0)));
        bits |= p.r | p.g | p.b;
    }
    return bits < 0;
}

} // namespace

void colorMask(CEL_PixmapAreaRGBA16* pixmap, bool keep0, bool keep1, bool keep2, bool keepAlpha) {
    if (!pixmap || (keep0 && keep1 && keep2 && keepAlpha)) return;
    const Pixel m{int16_t(keep0 ? -1 : 0), int16_t(keep1 ? -1 : 0), int16_t(keep2 ? -1 : 0), -1};
    if (keepAlpha)
        forEachRowOf(pixmap, [m](Pixel* row, int n) { maskRow<true>(row, n, m); });
    else
        forEachRowOf(pixmap, [m](Pixel* row, int n) { maskRow<false>(row, n, m); });
}

namespace {

// Every value -32768 ... 32767 (index value + 32768) scaled by k.
std::vector<int16_t> scaleTable(double k) {
    std::vector<int16_t> t(65536);
    for (int x = -32768; x <= 32767; ++x)
        t[std::size_t(x + 32768)] = int16_t(floorClamped(x * k + 0.5, -kFull, kFull));
    return t;
}

// The HSV step for one colour.
struct HsvScale {
    double kHue, kSat, kValue;

    void operator()(Pixel& p) const {
        const int c[3] = {p.r, p.g, p.b};
        double x[3];
        for (int i = 0; i < 3; ++i) x[i] = std::abs(c[i]) / 32767.0;
        double h, s, v;
        rgbToHsv(x[0], x[1], x[2], h, s, v);
        h = std::clamp(h * kHue, 0.0, 360.0);
        s = clamp01(s * kSat);
        v = clamp01(v * kValue);
        hsvToRgb(h, s, v, x[0], x[1], x[2]);
        p.r = int16_t(c[0] < 0 ? -int(x[0] * 32767.0) : int(x[0] * 32767.0));
        p.g = int16_t(c[1] < 0 ? -int(x[1] * 32767.0) : int(x[1] * 32767.0));
        p.b = int16_t(c[2] < 0 ? -int(x[2] * 32767.0) : int(x[2] * 32767.0));
    }
};

} // namespace

void colorScale(CEL_PixmapAreaRGBA16* pixmap, double k0, double k1, double k2, double kAlpha, double kHue,
                double kSat, double kValue) {
    if (!pixmap || !finite({k0, k1, k2, kAlpha, kHue, kSat, kValue})) return;
    if (k0 != 1.0 || k1 != 1.0 || k2 != 1.0 || kAlpha != 1.0) {
        const std::vector<int16_t> t0 = scaleTable(k0), t1 = scaleTable(k1), t2 = scaleTable(k2),
                                   ta = scaleTable(kAlpha);
        const int16_t *s0 = t0.data() + 32768, *s1 = t1.data() + 32768, *s2 = t2.data() + 32768,
                      *sa = ta.data() + 32768;
        detail::forEachPixelMemo(pixmap, [=](Pixel q) { return Pixel{s0[q.r], s1[q.g], s2[q.b], sa[q.a]}; });
        if (k0 < 0.0 || k1 < 0.0 || k2 < 0.0 || kAlpha < 0.0) pixmap->setAllPositive(false);
    }
    if (kHue != 1.0 || kSat != 1.0 || kValue != 1.0) {
        const HsvScale scale{kHue, kSat, kValue};
        detail::forEachPixelMemo(pixmap, [&scale](Pixel q) {
            scale(q);
            return q;
        });
    }
}

// --- Keying ---

namespace {

// The part of one channel's key: which values lie in the box, and their term
// |m - x| / (high - low) of the mean distance.
struct KeyAxis {
    int first = 1, last = 0; // values first ... last lie in [low, high]
    std::vector<double> term;

    KeyAxis(double low, double high) {
        low = clamp01(low);
        high = clamp01(high);
        if (low > high) return;
        const double mid = (low + high) / 2.0, width = high - low;
        // x = c / 32767 grows with c: the box is one run of values.
        int c = int(std::ceil(low * kFull));
        while (c > 0 && (c - 1) / 32767.0 >= low) --c;
        while (c / 32767.0 < low) ++c;
        first = c;
        c = int(std::floor(high * kFull));
        while (c < kFull && (c + 1) / 32767.0 <= high) ++c;
        while (c / 32767.0 > high) --c;
        last = c;
        if (last < first) return;
        term.resize(std::size_t(last - first + 1));
        for (int v = first; v <= last; ++v)
            term[std::size_t(v - first)] = width > 0.0 ? std::fabs(mid - v / 32767.0) / width : 0.0;
    }
    bool contains(int v) const { return v >= first && v <= last; }
    double at(int v) const { return term[std::size_t(v - first)]; }
};

} // namespace

void colorScreen(CEL_PixmapAreaRGBA16* pixmap, double low0, double high0, double low1, double high1,
                 double low2, double high2, double softness) {
    if (!pixmap || !finite({low0, high0, low1, high1, low2, high2, softness})) return;
    const KeyAxis axes[3] = {{low0, high0}, {low1, high1}, {low2, high2}};
    const double s = clamp01(softness);
    detail::forEachPixelMemo(pixmap, [&axes, s](Pixel q) {
        if (!axes[0].contains(q.r) || !axes[1].contains(q.g) || !axes[2].contains(q.b))
            q.a = int16_t(kFull);
        else if (s >= 1.0)
            q.a = 0;
        else
            q.a = int16_t(floorClamped(
                ((axes[0].at(q.r) + axes[1].at(q.g) + axes[2].at(q.b)) / 3.0 - s) / (1.0 - s) * 32767.0 + 0.5,
                0, kFull));
        return q;
    });
}

void colorToBW(CEL_PixmapAreaRGBA16* pixmap, double percent, bool toAlpha) {
    if (!pixmap || !finite({percent})) return;
    const double k = clamp01(percent * 0.01);
    if (toAlpha) {
        detail::forEachPixelMemo(pixmap, [k](Pixel q) {
            const double y = 0.3 * q.r + 0.59 * q.g + 0.11 * q.b;
            q.a = int16_t(floorClamped(y * k + 0.5, -kFull, kFull));
            return q;
        });
        return;
    }
    if (k == 0.0) return;
    const double keep = 1.0 - k;
    detail::forEachPixelMemo(pixmap, [k, keep](Pixel q) {
        const double y = 0.3 * q.r + 0.59 * q.g + 0.11 * q.b;
        q.r = int16_t(floorClamped(q.r * keep + y * k + 0.5, -kFull, kFull));
        q.g = int16_t(floorClamped(q.g * keep + y * k + 0.5, -kFull, kFull));
        q.b = int16_t(floorClamped(q.b * keep + y * k + 0.5, -kFull, kFull));
        return q;
    });
}

// --- Negation ---

void negate(CEL_PixmapAreaRGBA16* pixmap, bool colour, bool alpha) {
    detail::requirePixmaps(pixmap);
    if (!toCanvas(pixmap) || (!colour && !alpha)) return;
    const int16_t mc = colour ? -1 : 0, ma = alpha ? -1 : 0;
    forEachRowOf(pixmap, [mc, ma](Pixel* row, int n) {
        const auto flip = [](int16_t v, int16_t mask) {
            const int16_t flipped = int16_t(kFull - std::max<int16_t>(v, 0));
            return int16_t((flipped & mask) | (v & ~mask));
        };
        for (int i = 0; i < n; ++i) {
            Pixel& p = row[i];
            p.r = flip(p.r, mc);
            p.g = flip(p.g, mc);
            p.b = flip(p.b, mc);
            p.a = flip(p.a, ma);
        }
    });
}

void negateWithAlpha(CEL_PixmapAreaRGBA16* pixmap) {
    detail::requirePixmaps(pixmap);
    std::atomic<bool> negative{false};
    forEachRowOf(pixmap, [&negative](Pixel* row, int n) {
        if (negateWithAlphaRow(row, n)) negative.store(true, std::memory_order_relaxed);
    });
    if (negative.load()) pixmap->setAllPositive(false);
}

// --- Intensity ---

void increaseIntensity(CEL_PixmapAreaRGBA16* pixmap, double k) {
    if (!pixmap || !finite({k}) || k <= 0.0 || k == 1.0) return;
    if (k < 1.0) {
        forEachRowOf(pixmap, [k](Pixel* row, int n) {
            for (int i = 0; i < n; ++i) {
                Pixel& p = row[i];
                p.r = int16_t(p.r * k + 0.5);
                p.g = int16_t(p.g * k + 0.5);
                p.b = int16_t(p.b * k + 0.5);
                p.a = int16_t(p.a * k + 0.5);
            }
        });
        return;
    }
    // Per magnitude 0 ... 32767: the factor q of a pixel with that alpha, and the
    // new magnitude of a colour channel in a pixel with alpha 0.
    std::vector<double> factor(std::size_t(kFull) + 1);
    std::vector<int16_t> light(std::size_t(kFull) + 1);
    for (int v = 0; v <= kFull; ++v) {
        const double grown = 1.0 - std::pow(AlphaConvTable::I(v), k);
        factor[std::size_t(v)] = v == 0 ? 0.0 : grown / AlphaConvTable::F(v);
        light[std::size_t(v)] = int16_t(detail::truncToInt(grown * 32767.0 + 0.5));
    }
    const auto magnitude = [](int v) { return std::size_t(std::min(std::abs(v), int(kFull))); };
    detail::forEachPixelMemo(pixmap, [&](Pixel p) {
        if (p.a != 0) {
            const double q = factor[magnitude(p.a)];
            p.r = int16_t(sat16(detail::truncToInt(p.r * q + 0.5)));
            p.g = int16_t(sat16(detail::truncToInt(p.g * q + 0.5)));
            p.b = int16_t(sat16(detail::truncToInt(p.b * q + 0.5)));
            p.a = int16_t(sat16(detail::truncToInt(p.a * q + 0.5)));
        } else {
            const auto grow = [&](int16_t c) {
                const int16_t m = light[magnitude(c)];
                return c < 0 ? int16_t(-m) : m;
            };
            p.r = grow(p.r);
            p.g = grow(p.g);
            p.b = grow(p.b);
        }
        return p;
    });
}

} // namespace CelAlgo
