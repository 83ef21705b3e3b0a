// Mosaic, gradient, dithering, contrast and grain.
//
// Each filter is one or two walks over rows spread over worker threads. The
// only order-dependent state is the random sequence of `dither`: a counting
// pass tells each row how many draws come before it, and each band of rows
// jumps a private copy of the generator to its first draw, so the pixels get
// exactly the draws a sequential walk would give them.
#include "algo/filters/Stylize.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstdint>
#include <mutex>
#include <new>
#include <vector>

#include "algo/filters/MatteColourDetail.h"
#include "base/MathTypes.h"
#include "base/Projection.h"
#include "base/QXMaths.h"

namespace CelAlgo {

using detail::kFull;
using detail::parallelRows;
using detail::requirePixmaps;
using detail::sat16;
using Pixel = CEL_PixelRGBA16;

namespace {

// A new buffer of rect's pixels, refused above the pixmap byte cap.
Pixel* newBuffer(const Math::Box2di& rect) {
    const unsigned long long n = (unsigned long long)rect.area();
    if (n > CEL_Pixmap::maxPixmapBytes() / sizeof(Pixel)) throw AlgoException("out of memory");
    Pixel* data = new (std::nothrow) Pixel[n];
    if (!data) throw AlgoException("out of memory");
    return data;
}

int truncSat(double v) {
    return v >= kFull ? kFull : (v <= -kFull ? -kFull : int(v));
}

} // namespace

// --- Mosaic ---

void pixelate(CEL_PixmapAreaRGBA16* p, CEL_PixmapAreaRGBA16* mask, double amount, bool invertMask) {
    requirePixmaps(p, mask);
    if (!(amount > 0.0)) return; // NaN too
    amount = std::min(amount, 1.0);
    const double w = p->canvasRect().w();
    const double b = std::trunc(w * (amount * w / 720.0) + 0.5);
    if (b < 2.0) return;
    Pixel* data = p->data();
    const Math::Box2di rect = p->allocatedRect();
    if (!data || rect.hasNullArea()) return;
    const int width = rect.w(), height = rect.h();
    // A block larger than the allocation is the whole allocation.
    const int block = int(std::min<double>(b, std::max(width, height)));
    const int bandsY = int((int64_t(height) + block - 1) / block);
    const int blocksX = int((int64_t(width) + block - 1) / block);

    // The mask is read where it has pixels, transparent elsewhere (as a copy of
    // it reallocated to p's rectangle would be). Each block reads its own
    // mask pixels before writing its own pixels, so p may be its own mask.
    const Math::Box2di maskRect = mask->allocatedRect().getIntersection(rect);
    const Pixel* maskData = mask->data();
    const int outside = invertMask ? kFull : 0;

    parallelRows(0, bandsY, std::max(1, detail::rowGrain(bandsY) / 2), int64_t(width) * block,
                 [&](int band1, int band2) {
                     std::vector<std::array<int64_t, 4>> sums(static_cast<std::size_t>(blocksX));
                     std::vector<int> masks(static_cast<std::size_t>(blocksX));
                     for (int band = band1; band < band2; ++band) {
                         const int y0 = rect.y1() + band * block;
                         const int y1 = std::min(y0 + block, rect.y2());
                         std::fill(sums.begin(), sums.end(), std::array<int64_t, 4>{});
                         std::fill(masks.begin(), masks.end(), INT_MIN);
                         for (int y = y0; y < y1; ++y) {
                             const Pixel* row = data + p->pixelOffset(rect.x1(), y);
                             const bool maskRow = maskData && y >= maskRect.y1() && y < maskRect.y2();
                             for (int bx = 0; bx < blocksX; ++bx) {
                                 const int x0 = bx * block, x1 = std::min(x0 + block, width);
                                 int64_t s0 = 0, s1 = 0, s2 = 0, s3 = 0;
                                 for (int x = x0; x < x1; ++x) {
                                     s0 += row[x].r;
                                     s1 += row[x].g;
                                     s2 += row[x].b;
                                     s3 += row[x].a;
                                 }
                                 auto& s = sums[std::size_t(bx)];
                                 s[0] += s0, s[1] += s1, s[2] += s2, s[3] += s3;
                                 // The block's mask alphas on this row.
                                 int& m = masks[std::size_t(bx)];
                                 const int cx0 = rect.x1() + x0, cx1 = rect.x1() + x1;
                                 const int mx0 = maskRow ? std::max(cx0, maskRect.x1()) : cx1;
                                 const int mx1 = maskRow ? std::min(cx1, maskRect.x2()) : cx1;
                                 if (mx0 > cx0 || mx1 < cx1) m = std::max(m, outside);
                                 if (mx0 < mx1) {
                                     const Pixel* mrow = maskData + mask->pixelOffset(mx0, y);
                                     int best = INT_MIN;
                                     for (int i = 0; i < mx1 - mx0; ++i)
                                         best =
                                             std::max(best, invertMask ? kFull - mrow[i].a : int(mrow[i].a));
                                     m = std::max(m, best);
                                 }
                             }
                         }
                         for (int bx = 0; bx < blocksX; ++bx) {
                             const int x0 = bx * block, x1 = std::min(x0 + block, width);
                             const double count = double(int64_t(x1 - x0) * (y1 - y0));
                             const double f = masks[std::size_t(bx)] / 32767.0;
                             const auto& s = sums[std::size_t(bx)];
                             const Pixel v{int16_t(truncSat(f * (double(s[0]) / count))),
                                           int16_t(truncSat(f * (double(s[1]) / count))),
                                           int16_t(truncSat(f * (double(s[2]) / count))),
                                           int16_t(truncSat(f * (double(s[3]) / count)))};
                             for (int y = y0; y < y1; ++y) {
                                 Pixel* row = data + p->pixelOffset(rect.x1(), y);
                                 std::fill(row + x0, row + x1, v);
                             }
                         }
                     }
                 });
}

// --- Gradient ---

namespace {

struct Rgba {
    double c[4];
};

Pixel premultiplied(const Rgba& v) {
    const double a = v.c[3];
    return Pixel{int16_t(truncSat(v.c[0] * a / 255.0 * 32767.0 / 255.0)),
                 int16_t(truncSat(v.c[1] * a / 255.0 * 32767.0 / 255.0)),
                 int16_t(truncSat(v.c[2] * a / 255.0 * 32767.0 / 255.0)),
                 int16_t(truncSat(a * 32767.0 / 255.0))};
}

// The mix at t and its premultiplied store, the four fields as lanes of one
// vector (two SSE2 registers): the same operations in the same order as
// premultiplied(), alpha's lane padded with exact identities (x 1, / 1).
using Lanes = double __attribute__((vector_size(32)));
using IntLanes = int64_t __attribute__((vector_size(32)));

inline Pixel mixed(const Lanes& c1, const Lanes& d, double t) {
    const Lanes v = c1 + d * t;
    const Lanes a = {v[3], v[3], v[3], 32767.0};
    const Lanes k = {32767.0, 32767.0, 32767.0, 1.0}, q = {255.0, 255.0, 255.0, 1.0};
    Lanes x = v * a / 255.0 * k / q;
    x = x < -32767.0 ? -32767.0 : x;
    x = x > 32767.0 ? 32767.0 : x;
    const IntLanes i = __builtin_convertvector(x, IntLanes);
    return Pixel{int16_t(i[0]), int16_t(i[1]), int16_t(i[2]), int16_t(i[3])};
}

} // namespace

void gradient(CEL_PixmapAreaRGBA16* p, const Math::Box2di& box, const Math::Matrix4x4& m, double x1,
              double y1, double x2, double y2, double c1_0, double c1_1, double c1_2, double c1_alpha,
              double c2_0, double c2_1, double c2_2, double c2_alpha) {
    requirePixmaps(p);
    if (box.hasNullArea()) {
        p->alloc(Math::Box2di(), nullptr);
        return;
    }
    // Filled in place when p already covers exactly box (every pixel is
    // replaced either way), saving the new buffer's page faults.
    const bool inPlace = p->data() && p->allocatedRect() == box;
    Pixel* buffer = inPlace ? p->data() : newBuffer(box);
    const Rgba c1{{c1_0, c1_1, c1_2, c1_alpha}}, c2{{c2_0, c2_1, c2_2, c2_alpha}};
    const Pixel p1 = premultiplied(c1), p2 = premultiplied(c2);
    const int width = box.w();
    const auto rows = [&](auto&& fill) {
        parallelRows(0, box.h(), detail::rowGrain(box.h()), width, [&](int r1, int r2) {
            for (int r = r1; r < r2; ++r) fill(buffer + std::ptrdiff_t(r) * width, box.y1() + r);
        });
    };
    if (x1 == x2 && y1 == y2) {
        rows([&](Pixel* row, int) { std::fill(row, row + width, p1); });
    } else {
        Math::Matrix4x4 inverse = m;
        const bool invertible = inverse.invert();
        const Math::PlaneProjection projection(inverse);
        const Math::Segment2d segment({x1, y1}, {x2, y2});
        const Lanes l1 = {c1.c[0], c1.c[1], c1.c[2], c1.c[3]};
        const Lanes ld = {c2.c[0] - c1.c[0], c2.c[1] - c1.c[1], c2.c[2] - c1.c[2], c2.c[3] - c1.c[3]};
        rows([&](Pixel* row, int y) {
            for (int i = 0; i < width; ++i) {
                Math::Point2d q;
                if (!invertible || !projection.getInverseProjection({double(box.x1() + i), double(y)}, q)) {
                    row[i] = Pixel{0, 0, 0, 0};
                    continue;
                }
                const double t = segment.GetProjectedRatio(q);
                if (t < 0.0) {
                    row[i] = p1;
                } else if (t > 1.0) {
                    row[i] = p2;
                } else {
                    row[i] = mixed(l1, ld, t);
                }
            }
        });
    }
    if (!inPlace) p->alloc(box, buffer);
}

// --- Dithering ---

namespace {

// Increments of channels 1, 0 and 2 by the luma they add, ascending.
struct Step {
    int d1, d0, d2;
    double luma;
};
constexpr Step kSteps[11] = {{0, 0, 0, 0.0},  {0, 0, 1, 0.11}, {0, 1, 0, 0.3},  {0, 1, 0, 0.3},
                             {0, 1, 1, 0.41}, {1, 0, 0, 0.59}, {1, 0, 0, 0.59}, {1, 0, 1, 0.7},
                             {1, 1, 0, 0.89}, {1, 1, 0, 0.89}, {1, 1, 1, 1.0}};

bool hasLowBits(const Pixel& q) {
    return ((q.r | q.g | q.b) & 127) != 0;
}

// One pixel to 8 bits per channel; rng is null when no noise is drawn.
inline void quantisePixel(Pixel& q, QXMaths::Rand48* rng, long n) {
    int c0 = q.r, c1 = q.g, c2 = q.b;
    if (rng && hasLowBits(q)) {
        c0 += int(rng->next() % n);
        c1 += int(rng->next() % n);
        c2 += int(rng->next() % n);
    }
    c0 = std::clamp(c0, 0, kFull), c1 = std::clamp(c1, 0, kFull), c2 = std::clamp(c2, 0, kFull);
    int q0 = c0 >> 7, q1 = c1 >> 7, q2 = c2 >> 7;
    if (((c0 | c1 | c2) & 127) != 0 && int(0.59 * c1 + 0.3 * c0 + 0.11 * c2) > 0) {
        const int e = int(0.59 * (c1 - 128 * q1) + 0.3 * (c0 - 128 * q0) + 0.11 * (c2 - 128 * q2));
        int k = (10 * e) / 128;
        if (k + 1 < 11 &&
            std::abs(int(128.0 * kSteps[k + 1].luma) - e) < std::abs(e - int(128.0 * kSteps[k].luma)))
            ++k;
        q1 = std::min(q1 + kSteps[k].d1, 255);
        q0 = std::min(q0 + kSteps[k].d0, 255);
        q2 = std::min(q2 + kSteps[k].d2, 255);
    }
    q.r = int16_t(q0 * 128), q.g = int16_t(q1 * 128), q.b = int16_t(q2 * 128);
    q.a = int16_t(std::min(q.a + 64, kFull));
}

inline int16_t addNoise(int16_t c, long r) {
    return int16_t(QXMaths::clipToRange<long>(c + r, 0, kFull));
}

} // namespace

void dither(CEL_PixmapAreaRGBA16* p, double amount, bool monochrome, bool noise, bool quantise) {
    requirePixmaps(p);
    // trunc(amount * 128 + 0.5) wrapped to 16 bits, as a short holds it.
    const double t = std::isfinite(amount) ? std::fmod(std::trunc(amount * 128.0 + 0.5), 65536.0) : 0.0;
    const int16_t n16 = int16_t(uint16_t(int32_t(t) & 0xffff));
    // lrand48() is never negative, so % N takes the sign of neither: |N|.
    const long n = std::abs(long(n16));
    Pixel* data = p->data();
    const int width = p->allocatedWidth(), height = p->allocatedHeight();
    if (!data || width <= 0 || height <= 0) return;
    const bool draws = noise && n != 0;
    const int grain = detail::rowGrain(height);
    const auto row = [&](int y) { return data + std::ptrdiff_t(y) * width; };

    uint64_t drawn = 0;
    QXMaths::Rand48 base = QXMaths::currentLrand48();
    if (quantise) {
        if (!draws) {
            // A function of the pixel alone: repeated pixels reuse the last result.
            detail::forEachPixelMemo(p, [n](Pixel q) {
                quantisePixel(q, nullptr, n);
                return q;
            });
        } else {
            // Draws before each row: three per pixel that is not already 8-bit.
            std::vector<uint64_t> before(std::size_t(height) + 1, 0);
            parallelRows(0, height, grain, width, [&](int y1, int y2) {
                for (int y = y1; y < y2; ++y) {
                    uint64_t k = 0;
                    for (const Pixel *q = row(y), *e = q + width; q != e; ++q) k += hasLowBits(*q);
                    before[std::size_t(y) + 1] = 3 * k;
                }
            });
            for (std::size_t y = 1; y < before.size(); ++y) before[y] += before[y - 1];
            parallelRows(0, height, grain, width, [&](int y1, int y2) {
                QXMaths::Rand48 rng = base;
                rng.jump(before[std::size_t(y1)]);
                for (int y = y1; y < y2; ++y)
                    for (Pixel *q = row(y), *e = q + width; q != e; ++q) quantisePixel(*q, &rng, n);
            });
            drawn = before.back();
        }
    }
    if (draws) {
        const uint64_t perPixel = monochrome ? 1 : 3;
        parallelRows(0, height, grain, width, [&](int y1, int y2) {
            QXMaths::Rand48 rng = base;
            rng.jump(drawn + uint64_t(y1) * uint64_t(width) * perPixel);
            for (int y = y1; y < y2; ++y)
                for (Pixel *q = row(y), *e = q + width; q != e; ++q) {
                    const long r0 = rng.next() % n;
                    q->r = addNoise(q->r, r0);
                    q->g = addNoise(q->g, monochrome ? r0 : rng.next() % n);
                    q->b = addNoise(q->b, monochrome ? r0 : rng.next() % n);
                }
        });
        drawn += uint64_t(width) * uint64_t(height) * perPixel;
    }
    QXMaths::advanceLrand48(drawn);
}

// --- Contrast ---

void contrast(CEL_PixmapAreaRGBA16* p, double pivot, double lowExponent, double highExponent) {
    if (!(pivot >= 0.0 && pivot <= 1.0) || !(lowExponent >= 0.0) || !(highExponent >= 0.0))
        throw AlgoException("incorrect parameters");
    requirePixmaps(p);
    const int pv = QXMaths::ifloor(pivot * 32767.0 + 0.5);
    // gain[y] = curve(y) / y; 1 at 0 (no division) and at the pivot.
    std::vector<double> gain(kFull + 1, 1.0);
    for (int y = 1; y <= kFull; ++y) {
        if (y < pv)
            gain[std::size_t(y)] = std::pow(double(y) / pv, lowExponent) * pv / y;
        else if (y > pv)
            gain[std::size_t(y)] =
                (std::pow(double(y - pv) / (kFull - pv), highExponent) * (kFull - pv) + pv) / y;
    }
    const double* g = gain.data();
    detail::forEachPixelMemo(p, [g](Pixel q) {
        const double luma = 0.3 * q.r + 0.59 * q.g + 0.11 * q.b;
        const double f = g[std::clamp(QXMaths::ifloor(luma + 0.5), 0, kFull)];
        q.r = int16_t(truncSat(q.r * f + 0.5));
        q.g = int16_t(truncSat(q.g * f + 0.5));
        q.b = int16_t(truncSat(q.b * f + 0.5));
        return q;
    });
}

// --- Grain ---

namespace {

// fade[i] = 1 - i / 32767: how much grain a channel at i / 32767 of its alpha
// keeps when fully faded by highlights.
const float* fadeTable() {
    static float table[kFull + 1];
    static std::once_flag once;
    std::call_once(once, [] {
        for (int i = 0; i <= kFull; ++i) table[i] = 1.0f - float(i) * (1.0f / 32767.0f);
    });
    return table;
}

uint64_t mix64(uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// The lattice value at (i, j) of one channel, uniform in [-1, 1].
float latticeValue(uint64_t seedHash, int64_t i, int64_t j, int channel) {
    uint64_t h = mix64(seedHash ^ uint64_t(i) * 0x9E3779B97F4A7C15ull);
    h = mix64(h ^ uint64_t(j) * 0xC2B2AE3D27D4EB4Full ^ uint64_t(channel) * 0x165667B19E3779F9ull);
    return float(h >> 40) * (2.0f / 16777215.0f) - 1.0f;
}

} // namespace

void addGrain(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src, double grainSize, double strength,
              double mix, long seed, bool monochrome) {
    requirePixmaps(dst, src);
    if (!(grainSize >= 1.0 && grainSize <= 256.0) || !(strength >= 0.0 && strength <= 1.0) ||
        !(mix >= 0.0 && mix <= 1.0))
        throw AlgoException("incorrect parameters");
    const Math::Box2di rect = src->allocatedRect();
    if (dst != src && !dst->realloc(rect, false)) throw AlgoException("out of memory");
    const Pixel* in = src->data();
    Pixel* out = dst->data();
    if (!in || !out || rect.hasNullArea()) return;
    const float* fade = fadeTable();
    const float size = float(grainSize), s = float(strength), mx = float(mix), keep = 1.0f - mx;
    const uint64_t seedHash = mix64(uint64_t(seed));
    const int channels = monochrome ? 1 : 3;
    const int width = rect.w();
    // Lattice columns the allocation spans (one more on the right).
    const int64_t i0 = int64_t(std::floor(float(rect.x1()) / size));
    const int64_t i1 = int64_t(std::floor(float(rect.x2() - 1) / size)) + 1;
    const std::size_t columns = std::size_t(i1 - i0 + 1);
    std::atomic<bool> negative{false};

    parallelRows(0, rect.h(), detail::rowGrain(rect.h()), width, [&](int r1, int r2) {
        std::vector<float> column(columns * 3);
        bool anyNegative = false;
        for (int r = r1; r < r2; ++r) {
            const int y = rect.y1() + r;
            const float fy = float(y) / size;
            const float jf = std::floor(fy), v = fy - jf;
            const int64_t j = int64_t(jf);
            // The lattice rows above and below, mixed vertically once per row.
            for (std::size_t c = 0; c < columns; ++c)
                for (int ch = 0; ch < channels; ++ch) {
                    const float top = latticeValue(seedHash, i0 + int64_t(c), j, ch);
                    const float bottom = latticeValue(seedHash, i0 + int64_t(c), j + 1, ch);
                    column[c * 3 + std::size_t(ch)] = top + (bottom - top) * v;
                }
            const Pixel* srow = in + std::ptrdiff_t(r) * width;
            Pixel* drow = out + std::ptrdiff_t(r) * width;
            for (int i = 0; i < width; ++i) {
                Pixel q = srow[i];
                if (q.a > 0) {
                    const float fx = float(rect.x1() + i) / size;
                    const float fi = std::floor(fx), u = fx - fi;
                    const std::size_t c = std::size_t(int64_t(fi) - i0) * 3;
                    const float a = float(q.a);
                    int16_t* fields[3] = {&q.r, &q.g, &q.b};
                    for (int ch = 0; ch < 3; ++ch) {
                        const std::size_t k = c + std::size_t(monochrome ? 0 : ch);
                        const float g = column[k] + (column[k + 3] - column[k]) * u;
                        const int cv = *fields[ch];
                        // trunc(cv * 32767 / a): the double quotient truncates like the integer one.
                        const int vi = std::clamp(int(double(cv) * 32767.0 / a), 0, kFull);
                        const float delta = std::round(s * g * a * (keep + mx * fade[vi]));
                        *fields[ch] = int16_t(sat16(cv + int(delta)));
                        anyNegative |= *fields[ch] < 0;
                    }
                }
                drow[i] = q;
            }
        }
        if (anyNegative) negative.store(true, std::memory_order_relaxed);
    });
    if (dst != src) dst->setAllPositive(src->areAllPositive());
    if (negative.load()) dst->setAllPositive(false);
}

} // namespace CelAlgo
