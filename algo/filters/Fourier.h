#pragma once
// A complex fast Fourier transform over the rows or the columns of an
// interleaved 2D array, and per-pixel interpolation between 16-bit images.
//
// Transform data: complex values as interleaved (real, imaginary) pairs of float
// or double, row-major. FFT(data, n, rows, sign) transforms each of the rows of
// n values in place; FFTcol(data, n, rows, sign) takes the same rows x n array
// and transforms its n columns (each of length rows). The transform length must
// be a power of two (1, 2, 4, ...) and sign +1 or -1, the sign of the exponent;
// otherwise AlgoException("incorrect parameters"). Nothing happens when rows <= 0
// (or, for FFTcol, n <= 0). No normalisation in either direction: a transform
// with +1 followed by one with -1 returns every value times the length.
//
// The arithmetic is fixed, so that results are the same bits on every machine
// and at any thread count: the in-place radix-2 decimation in time, with the
// bit reversal by the classic swapping walk and, per stage (mmax = 2, 4, ... 2n
// scalars), theta = 2 pi / mmax * sign, wtemp = sin(theta / 2) rounded to
// float, wpr = -2 wtemp^2 and wpi = sin(theta) in double; the twiddle starts at
// (1, 0) and advances by wr' = wr wpr - wi wpi + wr, wi' = wi wpr + wr wpi + wi
// in double. Each butterfly forms tempr = wr re - wi im, tempi = wr im + wi re
// in double, stores them as T, and adds and subtracts in T.
// Precision: the float wtemp limits the accuracy to about 2e-8 of the largest
// magnitude in double (a transform with exact twiddles reaches 1e-16); float
// data to about 2e-7.
//
// Rows (and blocks of columns) run in parallel on oneTBB; each line is
// independent of the others, so results never depend on the number of threads.
//
// Interpolation follows the compositing conventions: signed 16-bit fields,
// 32767 = 1.0.

#include "celcore_export.h"

class CEL_PixmapAreaRGBA16;
struct CEL_PixelRGBA16;

namespace CelAlgo {

CELCORE_EXPORT void FFT(float* data, int n, int rows, int sign);
CELCORE_EXPORT void FFT(double* data, int n, int rows, int sign);
CELCORE_EXPORT void FFTcol(float* data, int n, int rows, int sign);
CELCORE_EXPORT void FFTcol(double* data, int n, int rows, int sign);

// Index rules for sampling outside [lo, hi] (inclusive).
//   cycle:     wrap-around (period hi - lo + 1)
//   mirror:    reflection about the edge pixel, which is not repeated
//              (period 2 (hi - lo)); lo = hi gives lo
//   noPadding: i inside, else lo - 1 (meaning outside)
// An empty range (hi < lo) gives lo - 1 from every rule.
CELCORE_EXPORT int cycleImageIndex(int i, int lo, int hi);
CELCORE_EXPORT int mirrorImageIndex(int i, int lo, int hi);
CELCORE_EXPORT int noPaddingImageIndex(int i, int lo, int hi);

// For every pixel (x, y) of dst's allocated rectangle (canvas coordinates shared
// by the four pixmaps): t = alpha of mix at (x, y) / 32767 in single precision,
// each field = trunc(a * (1 - t) + b * t) in single precision, saturated to
// -32767 ... 32767 (a negative alpha in mix extrapolates beyond a). A pixel
// outside a pixmap's allocated rectangle reads as zeros (t = 0 outside mix).
// Nothing when any pixmap is null. allPositive of dst becomes a's and b's, and
// is cleared when t leaves [0, 1] somewhere.
CELCORE_EXPORT void interpolateImages(const CEL_PixmapAreaRGBA16* a, const CEL_PixmapAreaRGBA16* b,
                                      const CEL_PixmapAreaRGBA16* mix, CEL_PixmapAreaRGBA16* dst);

enum class PaddingMode { Cycle, Mirror, None };

// How a sampler reads outside the source, per axis: Cycle wraps, Mirror
// reflects, None reads transparent black.
struct PaddingSettings {
    PaddingMode modeX = PaddingMode::None;
    PaddingMode modeY = PaddingMode::None;
};

// Samples a source pixmap into a destination pixmap, both addressed in the
// pixels of their allocated buffers ((0, 0) is the first allocated pixel).
// A null PaddingSettings means None on both axes; the settings are copied.
class CELCORE_EXPORT Interpolator {
public:
    Interpolator(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src, const PaddingSettings* padding);

    // Destination pixel (x, y) becomes the source sampled bilinearly at (u, v)
    // (integer coordinates copy a pixel): the four neighbours are found by the
    // padding rule of each axis, a neighbour outside (rule None) or a
    // non-finite coordinate reads 0; each field is rounded half away from zero
    // and saturated to -32767 ... 32767. (x, y) outside dst does nothing.
    void assign(int x, int y, double u, double v);

    const CEL_PixmapAreaRGBA16* getSrcImage() const { return m_src; }
    CEL_PixmapAreaRGBA16* getDstImage() const { return m_dst; }

private:
    CEL_PixmapAreaRGBA16* m_dst;
    const CEL_PixmapAreaRGBA16* m_src;
    int m_srcWidth;
    int m_srcHeight;
    int m_dstWidth;
    int m_dstHeight;
    CEL_PixelRGBA16* m_dstData;
    const CEL_PixelRGBA16* m_srcData;
    PaddingSettings m_padding;
};

} // namespace CelAlgo
