// Kernel blur through the frequency domain. The kernel is real, so two fields
// ride in one complex transform (one as the real part, the other as the
// imaginary part) and come back apart: fields 0 + 1, then 2 + 3. Rows that
// hold nothing but zeros transform to zeros, so only the rows with content are
// transformed forward, and only the rows the result needs are transformed back.
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include "algo/composite/CompositeDetail.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "algo/filters/BlurDetail.h"
#include "algo/filters/ColorCorrect.h"
#include "algo/filters/Fourier.h"
#include "algo/filters/MotionBlur.h"
#include "pixel/PixelBuffer.h"
#include "pixel/PixmapArea.h"

namespace CelAlgo {

namespace {

int64_t powerOfTwoAtLeast(int64_t v) {
    int64_t p = 1;
    while (p < v) p *= 2;
    return p;
}

std::unique_ptr<double[]> complexArray(int64_t count) {
    std::unique_ptr<double[]> a(new (std::nothrow) double[std::size_t(count) * 2]);
    if (!a) throw AlgoException("out of memory");
    // Huge pages: the column transforms read every row of a block, each in
    // another 4 KiB page.
    CEL_PixelBuffer::adviseLargeBuffer(a.get(), uint64_t(count) * 2 * sizeof(double));
    return a;
}

// Transforms the rows of data whose flag is set, in runs of neighbouring rows.
void transformRows(double* data, int64_t w, const std::vector<char>& used, int sign) {
    const int64_t h = int64_t(used.size());
    for (int64_t r = 0; r < h;) {
        if (!used[std::size_t(r)]) {
            ++r;
            continue;
        }
        int64_t end = r;
        while (end < h && used[std::size_t(end)]) ++end;
        FFT(data + 2 * w * r, int(w), int(end - r), sign);
        r = end;
    }
}

template <class F> void forRows(int64_t begin, int64_t end, const F& f) {
#if defined(__SANITIZE_THREAD__)
    // oneTBB's scheduler is not instrumented: plain threads under the sanitizer.
    CelAlgo::detail::parallelRows(int(begin), int(end), 1, int64_t(1) << 20, [&](int a, int b) {
        for (int64_t y = a; y != b; ++y) f(y);
    });
#else
    tbb::parallel_for(tbb::blocked_range<int64_t>(begin, end), [&](const tbb::blocked_range<int64_t>& r) {
        for (int64_t y = r.begin(); y != r.end(); ++y) f(y);
    });
#endif
}

int16_t stored(double v, bool clampNegative) {
    double r = std::round(v);
    r = std::clamp(r, -32767.0, 32767.0);
    if (clampNegative && r < 0) r = 0;
    return int16_t(r);
}

} // namespace

CEL_PixmapAreaRGBA16* motionBlur(CEL_PixmapAreaRGBA16* src, CEL_PixmapAreaRGBA16* kernel,
                                 const Math::Box2di& canvasRect, double intensity, bool clampNegative) {
    if (!src || !kernel) throw AlgoException("invalid pointer");

    // The kernel's reach around its origin, the centre of its canvas.
    const Math::Box2di kc = kernel->canvasRect();
    const bool kernelHasPixels = kernel->data() && kernel->allocatedArea() > 0;
    const int64_t kw = kc.w(), kh = kc.h();
    const int64_t kx1 = kernelHasPixels ? int64_t(kernel->allocatedX1()) - kc.x1() : 0;
    const int64_t ky1 = kernelHasPixels ? int64_t(kernel->allocatedY1()) - kc.y1() : 0;
    const int64_t kwa = kernelHasPixels ? kernel->allocatedWidth() : 0;
    const int64_t kha = kernelHasPixels ? kernel->allocatedHeight() : 0;
    const int64_t left = std::max<int64_t>(0, kw / 2 - kx1), right = std::max<int64_t>(0, kwa - kw / 2 + kx1);
    const int64_t top = std::max<int64_t>(0, kh / 2 - ky1), bottom = std::max<int64_t>(0, kha - kh / 2 + ky1);

    auto result =
        std::make_unique<CEL_PixmapAreaRGBA16>(Math::Size2di(canvasRect.w(), canvasRect.h()), canvasRect);
    result->setAllPositive(src->areAllPositive());
    const int64_t sw = src->allocatedWidth(), sh = src->allocatedHeight();
    if (!src->data() || src->allocatedArea() <= 0) return result.release();

    // Sizes in 64 bits against the byte cap before anything is allocated.
    constexpr int64_t kMaxLength = int64_t(1) << 30;
    const int64_t needW = sw + 2 * std::max(left, right), needH = sh + 2 * std::max(top, bottom);
    if (needW > kMaxLength || needH > kMaxLength) throw AlgoException("out of memory");
    const int64_t w2 = powerOfTwoAtLeast(needW), h2 = powerOfTwoAtLeast(needH);
    const uint64_t arrayBytes =
        blurdetail::checkedProduct(blurdetail::checkedProduct(uint64_t(w2), uint64_t(h2)), 16);
    blurdetail::requireBytes(blurdetail::checkedProduct(arrayBytes, 2));

    // The grown allocation, limited to the canvas (what clipping would keep).
    const int64_t gx1 = int64_t(src->allocatedX1()) - left, gy1 = int64_t(src->allocatedY1()) - top;
    const int64_t gx2 = int64_t(src->allocatedX2()) + right, gy2 = int64_t(src->allocatedY2()) + bottom;
    const int64_t rx1 = std::max<int64_t>(gx1, canvasRect.x1()),
                  ry1 = std::max<int64_t>(gy1, canvasRect.y1());
    const int64_t rx2 = std::min<int64_t>(gx2, canvasRect.x2()),
                  ry2 = std::min<int64_t>(gy2, canvasRect.y2());
    if (rx1 >= rx2 || ry1 >= ry2) return result.release();
    const Math::Box2di rect = Math::Box2di::fromCorners(int(rx1), int(ry1), int(rx2), int(ry2));
    blurdetail::requireBytes(blurdetail::checkedProduct(uint64_t(rect.area()), sizeof(CEL_PixelRGBA16)));

    const int64_t count = w2 * h2;
    std::unique_ptr<double[]> spectrum = complexArray(count);
    std::unique_ptr<double[]> work = complexArray(count);
    if (!result->realloc(rect, true) || !result->data()) throw AlgoException("out of memory");

    // The kernel's weights, origin at (0, 0), negative offsets wrapped once.
    double* k = spectrum.get();
    forRows(0, h2, [&](int64_t y) { std::memset(k + 2 * w2 * y, 0, std::size_t(w2) * 2 * sizeof(double)); });
    std::vector<char> kernelRows(std::size_t(h2), 0);
    double sum = 0;
    for (int64_t j = 0; j < kha; ++j) {
        int64_t row = ky1 - kh / 2 + j;
        if (row < 0) row += h2;
        if (row < 0 || row >= h2) continue;
        const CEL_PixelRGBA16* line = kernel->data() + j * kwa;
        for (int64_t i = 0; i < kwa; ++i) {
            int64_t col = kx1 - kw / 2 + i;
            if (col < 0) col += w2;
            if (col < 0 || col >= w2 || line[i].a == 0) continue;
            k[2 * (row * w2 + col)] = line[i].a;
            sum += line[i].a;
            kernelRows[std::size_t(row)] = 1;
        }
    }
    if (sum != 0) {
        const double inv = 1.0 / sum;
        for (int64_t r = 0; r < h2; ++r)
            if (kernelRows[std::size_t(r)])
                for (int64_t i = r * w2; i < (r + 1) * w2; ++i) k[2 * i] *= inv;
    }
    // A kernel in the origin's row alone has a spectrum that is the same in
    // every row: the column transforms would cancel, so rows are convolved
    // on their own (the results differ from the full path only by rounding
    // far below a step).
    const bool rowsOnly = std::count(kernelRows.begin(), kernelRows.end(), 1) == 1 && kernelRows[0];
    transformRows(k, w2, kernelRows, 1);
    if (!rowsOnly) FFTcol(k, int(w2), int(h2), 1);

    std::vector<char> sourceRows(std::size_t(h2), 0);
    std::fill(sourceRows.begin() + top, sourceRows.begin() + top + sh, 1);
    std::vector<char> resultRows(std::size_t(h2), 0);
    const int64_t oy = ry1 - gy1, ox = rx1 - gx1; // rect's corner in the array
    std::fill(resultRows.begin() + oy, resultRows.begin() + oy + rect.h(), 1);
    const double scale = rowsOnly ? 1.0 / double(w2) : 1.0 / (double(w2) * double(h2));
    std::atomic<bool> anyNegative{false};
    double* d = work.get();

    for (int f = 0; f < 4; f += 2) {
        forRows(0, h2, [&](int64_t y) {
            // Along rows alone, rows that neither hold the source nor reach the
            // result are never read.
            if (rowsOnly && !sourceRows[std::size_t(y)] && !resultRows[std::size_t(y)]) return;
            double* line = d + 2 * w2 * y;
            std::memset(line, 0, std::size_t(w2) * 2 * sizeof(double));
            if (y < top || y >= top + sh) return;
            const int16_t* in = &src->data()[(y - top) * sw].r;
            double* out = line + 2 * left;
            for (int64_t x = 0; x < sw; ++x) {
                out[2 * x] = in[4 * x + f];
                out[2 * x + 1] = in[4 * x + f + 1];
            }
        });
        transformRows(d, w2, sourceRows, 1);
        if (!rowsOnly) FFTcol(d, int(w2), int(h2), 1);
        forRows(0, h2, [&](int64_t y) {
            if (rowsOnly && !sourceRows[std::size_t(y)]) return; // zero rows stay zero
            double* line = d + 2 * w2 * y;
            const double* kl = rowsOnly ? k : k + 2 * w2 * y;
            for (int64_t x = 0; x < w2; ++x) {
                const double ar = line[2 * x], ai = line[2 * x + 1];
                const double br = kl[2 * x], bi = kl[2 * x + 1];
                line[2 * x] = ar * br - ai * bi;
                line[2 * x + 1] = ar * bi + ai * br;
            }
        });
        if (!rowsOnly) FFTcol(d, int(w2), int(h2), -1);
        transformRows(d, w2, resultRows, -1);
        forRows(0, rect.h(), [&](int64_t y) {
            const double* line = d + 2 * (w2 * (oy + y) + ox);
            int16_t* out = &result->data()[y * rect.w()].r;
            bool negative = false;
            for (int64_t x = 0; x < rect.w(); ++x) {
                const int16_t a = stored(line[2 * x] * scale, clampNegative);
                const int16_t b = stored(line[2 * x + 1] * scale, clampNegative);
                out[4 * x + f] = a;
                out[4 * x + f + 1] = b;
                negative |= (a < 0) | (b < 0);
            }
            if (negative) anyNegative.store(true, std::memory_order_relaxed);
        });
    }
    spectrum.reset();
    work.reset();

    increaseIntensity(result.get(), intensity);
    result->setAllPositive(src->areAllPositive() && !anyNegative.load());
    return result.release();
}

} // namespace CelAlgo
