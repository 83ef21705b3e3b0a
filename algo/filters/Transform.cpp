// Matrix transforms, lossless flips and the depth copy (scaling itself is in
// TransformScale.cpp). Output rows are split over threads; every pixel is
// computed from the source alone, so results do not depend on their number.
#include "algo/filters/Transform.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "algo/composite/AlgoException.h"
#include "algo/composite/CompositeDetail.h"
#include "algo/filters/PixmapShaders.h"
#include "base/Projection.h"
#include "cel/VectorQvd.h"
#include "pixel/PixelBuffer.h"
#include "pixel/PixmapArea.h"
#include "pixel/PixmapCanvas.h"

namespace CelAlgo {

namespace {

using Math::Matrix4x4;

int grainOf(long long rows) {
    return int(std::max<long long>(1, rows / 32));
}

// --- The coordinate convention of applyMatrix ---

// Source pixels to the source's normalised plane: the height spans -1 ... 1, y up.
Matrix4x4 sourceToPlane(double refWidth, double refHeight) {
    return Matrix4x4::scaling(2.0 / refHeight, -2.0 / refHeight) *
           Matrix4x4::translation(-refWidth / 2.0, -refHeight / 2.0);
}

// Normalised device coordinates to output pixels of an outSize picture.
Matrix4x4 deviceToPixels(const Math::Size2di& outSize) {
    return Matrix4x4::translation(outSize.width / 2.0, outSize.height / 2.0) *
           Matrix4x4::scaling(outSize.width / 2.0, -outSize.height / 2.0);
}

// The whole map: source pixels to pixels of the output window rect.
Matrix4x4 composed(const Matrix4x4& m, double refWidth, double refHeight, const Math::Size2di& outSize,
                   const Math::Box2di& rect) {
    return Matrix4x4::translation(-rect.x1(), -rect.y1()) * deviceToPixels(outSize) * m *
           sourceToPlane(refWidth, refHeight);
}

// --- Cursor of the 8-bit path ---

inline uint8_t to8(double v) {
    const double r = std::round(v);
    return uint8_t(r > 255.0 ? 255.0 : (r > 0.0 ? r : 0.0));
}

// Stores renderer colours into a CEL_PixmapRGBA8: channels as they come
// (rounded, clamped to 0 ... 255), alpha * 255; the premultiplying mode
// multiplies by alpha and skips pixels of alpha 0.
class Pixmap8Cursor : public SR_BitMapCursor {
public:
    explicit Pixmap8Cursor(CEL_PixmapRGBA8* target) : m_target(target) {}
    void moveTo(int x, int y) override {
        m_x = x;
        m_row = m_target->data() && y >= 0 && y < m_target->height()
                    ? m_target->data() + (long long)y * m_target->width()
                    : nullptr;
    }
    void write(const SR_Color& c) override {
        const int x = m_x++;
        if (!m_row || x < 0 || x >= m_target->width()) return;
        const double k = writeMode() == Premultiply ? c.alpha : 1.0;
        if (writeMode() == Premultiply && c.alpha == 0.0) return;
        CEL_PixelRGBA8& p = m_row[x];
        p.r = to8(c.c[2] * k), p.g = to8(c.c[1] * k), p.b = to8(c.c[0] * k);
        p.a = to8(c.alpha * 255.0);
    }
    void skip(int n) override { m_x += n; }

private:
    CEL_PixmapRGBA8* m_target;
    CEL_PixelRGBA8* m_row = nullptr;
    int m_x = 0;
};

template <class P> struct CursorOf;
template <> struct CursorOf<CEL_PixmapRGBA16> { using type = CelPixmapCursor; };
template <> struct CursorOf<CEL_PixmapRGBA8> { using type = Pixmap8Cursor; };

template <class P> P* newCleared(int w, int h) {
    auto out = std::make_unique<P>(std::max(w, 0), std::max(h, 0));
    if (!out->data() && (long long)out->width() * out->height() > 0) throw AlgoException("out of memory");
    return out.release();
}

// The projective path: the source outline, clipped to the view volume and to
// the window, scan-converted; each pixel shaded from the source.
template <class P> P* render(const P* src, const Matrix4x4& map, int rw, int rh, Math::Box2di* outRect) {
    auto out = std::unique_ptr<P>(newCleared<P>(rw, rh));
    if (outRect) outRect->reset();
    if (!out->data()) return out.release();
    // Window pixels to the canonical square, where clipping happens.
    const Matrix4x4 toCanonical = Matrix4x4::translation(-1.0, -1.0) * Matrix4x4::scaling(2.0 / rw, 2.0 / rh);
    const double w = src->width(), h = src->height();
    Math::Polyline4d outline(
        {{0.0, 0.0, 0.0, 1.0}, {w, 0.0, 0.0, 1.0}, {w, h, 0.0, 1.0}, {0.0, h, 0.0, 1.0}});
    outline.transform(toCanonical * map);
    if (!outline.clip()) return out.release();
    std::vector<Math::Point2d> polygon = outline.projected();
    for (Math::Point2d& p : polygon) p = {(p.x + 1.0) * rw / 2.0, (p.y + 1.0) * rh / 2.0};

    const Math::Box2di window(0, 0, rw, rh);
    const CelPixmapShader shader{Math::PlaneProjection(map), src};
    P* target = out.get();
    try {
        detail::parallelRows(0, rh, grainOf(rh), rw, [&](int a, int b) {
            typename CursorOf<P>::type cursor(target);
            SR_Scan::fillPolygon(polygon, window, a, b, shader, cursor);
        });
    } catch (const std::bad_alloc&) { // the shader's pyramid
        throw AlgoException("out of memory");
    }
    if (outRect) *outRect = SR_Scan::polygonPixels(polygon, window);
    return out.release();
}

template <class P>
CEL_Pixmap* transformCanvas(const P* src, const Matrix4x4& m, const Math::Size2di& outSize,
                            const Math::Box2di& rect, double refWidth, double refHeight,
                            Math::Box2di* outRect) {
    if (!src->data()) throw AlgoException("invalid pointer");
    const int rw = std::max(rect.w(), 0), rh = std::max(rect.h(), 0);
    if (refWidth == -1.0) refWidth = src->width();
    if (refHeight == -1.0) refHeight = src->height();
    if (m.isConstantZ() && !m.hasRotation()) {
        Matrix4x4 n = m;
        const bool visible = n.normalize() && n(2, 3) >= -1.0 && n(2, 3) <= 1.0;
        if (!visible) {
            if (outRect) outRect->reset();
            return newCleared<P>(rw, rh);
        }
        Math::Vector2d xAxis, yAxis;
        Math::Point2d origin;
        composed(n, refWidth, refHeight, outSize, rect).getTransform2d(xAxis, yAxis, origin);
        const double sx = xAxis.x, sy = yAxis.y;
        // Axes that keep their direction: a scaling about a centre. Mirrors
        // and half turns go to the general path.
        if (sx > 0.0 && sy > 0.0 && std::isfinite(sx) && std::isfinite(sy))
            return scale(src, unsigned(rw), unsigned(rh), (rw / 2.0 - origin.x) / sx,
                         (rh / 2.0 - origin.y) / sy, sx, sy, outRect);
    }
    return render(src, composed(m, refWidth, refHeight, outSize, rect), rw, rh, outRect);
}

// --- Flips ---

// The mirrors (no transposition), in place: row y swaps with row h - 1 - y
// (a), each row reversed (b).
template <class E> void mirrorInPlace(E* data, int w, int h, bool a, bool b) {
    const int pairs = a ? (h + 1) / 2 : h;
    detail::parallelRows(0, pairs, grainOf(pairs), (long long)w * (a ? 2 : 1), [&](int r0, int r1) {
        for (int y = r0; y < r1; ++y) {
            E* top = data + (long long)y * w;
            E* bottom = data + (long long)(a ? h - 1 - y : y) * w;
            if (top == bottom) {
                if (b)
                    for (int x = 0; x < w / 2; ++x) std::swap(top[x], top[w - 1 - x]);
            } else if (b) {
                for (int x = 0; x < w; ++x) std::swap(top[x], bottom[w - 1 - x]);
            } else {
                std::swap_ranges(top, top + w, bottom);
            }
        }
    });
}

// The transposed copy of a w x h buffer into an h x w one: destination row r
// takes source column x(r) (a: x = r, else w - 1 - r), destination column c
// source row y(c) (b: y = h - 1 - c, else c). Tiles of the source are read
// row by row into a small padded buffer and written out transposed, so that
// neither side walks memory with a large power-of-two stride.
template <class E> void transposeInto(const E* src, int w, int h, E* dst, bool a, bool b) {
    constexpr int kTile = 64;
    const int tiles = (w + kTile - 1) / kTile;
    detail::parallelRows(0, tiles, 1, (long long)kTile * h, [&](int t0, int t1) {
        std::vector<E> tile(std::size_t(kTile) * (kTile + 1));
        for (int r0 = t0 * kTile; r0 < std::min(w, t1 * kTile); r0 += kTile) {
            const int r1 = std::min(w, r0 + kTile);
            // The source columns of destination rows [r0, r1): [x0, x0 + n).
            const int n = r1 - r0, x0 = a ? r0 : w - r1;
            for (int c0 = 0; c0 < h; c0 += kTile) {
                const int c1 = std::min(h, c0 + kTile);
                for (int c = c0; c < c1; ++c) {
                    const E* in = src + (long long)(b ? h - 1 - c : c) * w + x0;
                    std::copy(in, in + n, tile.data() + std::size_t(c - c0) * (kTile + 1));
                }
                for (int r = r0; r < r1; ++r) {
                    const std::size_t k = std::size_t(a ? r - x0 : (w - 1 - r) - x0);
                    E* out = dst + (long long)r * h;
                    for (int c = c0; c < c1; ++c) out[c] = tile[std::size_t(c - c0) * (kTile + 1) + k];
                }
            }
        }
    });
}

// The mirrors work in place; a transposition builds the new buffer and
// installs it with setData.
template <class P> void flipCanvas(P* p, bool t, bool a, bool b) {
    if (!t && !a && !b) return;
    using E = std::remove_pointer_t<decltype(p->data())>;
    const int w = p->width(), h = p->height();
    if (!p->data()) return;
    if (!t) {
        mirrorInPlace(p->data(), w, h, a, b);
        return;
    }
    E* out = CEL_PixelBuffer::allocate<E>((long long)w * h, false);
    if (!out) throw AlgoException("out of memory");
    transposeInto(p->data(), w, h, out, a, b);
    p->setData(out, h, w);
}

} // namespace

CEL_Pixmap* applyMatrix(const CEL_Pixmap* src, const Math::Matrix4x4& m, const Math::Size2di& outSize,
                        const Math::Box2di& rect, float refWidth, float refHeight, Math::Box2di* outRect) {
    if (!src) throw AlgoException("invalid pointer");
    if (const auto* p = dynamic_cast<const CEL_PixmapRGBA16*>(src))
        return transformCanvas(p, m, outSize, rect, refWidth, refHeight, outRect);
    if (const auto* p = dynamic_cast<const CEL_PixmapRGBA8*>(src))
        return transformCanvas(p, m, outSize, rect, refWidth, refHeight, outRect);
    if (const auto* p = dynamic_cast<const CEL_PixmapMatte8*>(src)) {
        if (!p->data()) throw AlgoException("invalid pointer");
        const std::unique_ptr<CEL_Representation> colour(p->convertTo(CEL_Representation::PIXMAP_RGBA8));
        const auto* rgba = dynamic_cast<const CEL_PixmapRGBA8*>(colour.get());
        if (!rgba) throw AlgoException("out of memory");
        const std::unique_ptr<CEL_Pixmap> moved(
            transformCanvas(rgba, m, outSize, rect, refWidth, refHeight, outRect));
        CEL_Representation* matte = moved->convertTo(CEL_Representation::PIXMAP_MATTE8);
        if (!matte) throw AlgoException("out of memory");
        return static_cast<CEL_Pixmap*>(matte);
    }
    return nullptr;
}

bool applyMatrix(CELVEC_Qvd* drawing, const Math::Matrix4x4& m) {
    if (!drawing) return false;
    drawing->applyMatrix(m);
    return true;
}

CEL_Pixmap* applyMatrixAndTiling(const CEL_Pixmap* src, const Math::Matrix4x4& m,
                                 const Math::Size2di& outSize, const Math::Box2di& rect, bool tiling1,
                                 bool tiling2, Math::Box2di* outRect) {
    if (!src) throw AlgoException("invalid pointer");
    const auto* p = dynamic_cast<const CEL_PixmapRGBA16*>(src);
    if (!p) return nullptr;
    if (!p->data()) throw AlgoException("invalid pointer");
    const int rw = std::max(rect.w(), 0), rh = std::max(rect.h(), 0);
    auto out = std::unique_ptr<CEL_PixmapRGBA16>(newCleared<CEL_PixmapRGBA16>(rw, rh));
    const Math::Box2di window(0, 0, rw, rh);
    if (outRect) *outRect = out->data() ? window : Math::Box2di();
    if (!out->data()) return out.release();
    const CelPixmapTileShader shader(
        Math::PlaneProjection(composed(m, p->width(), p->height(), outSize, rect)), p, tiling1, tiling2);
    CEL_PixmapRGBA16* target = out.get();
    try {
        detail::parallelRows(0, rh, grainOf(rh), rw, [&](int a, int b) {
            CelPixmapCursor cursor(target);
            SR_Scan::fillWindow(window, a, b, shader, cursor);
        });
    } catch (const std::bad_alloc&) { // the shader's pyramid
        throw AlgoException("out of memory");
    }
    return out.release();
}

Math::Matrix4x4 pixelMatrix(const double affine[6], double refWidth, double refHeight,
                            const Math::Size2di& outSize) {
    Matrix4x4 a;
    a(0, 0) = affine[0], a(0, 1) = affine[1], a(0, 3) = affine[2];
    a(1, 0) = affine[3], a(1, 1) = affine[4], a(1, 3) = affine[5];
    // The inverses of deviceToPixels and sourceToPlane, written out.
    const Matrix4x4 pixelsToDevice = Matrix4x4::scaling(2.0 / outSize.width, -2.0 / outSize.height) *
                                     Matrix4x4::translation(-outSize.width / 2.0, -outSize.height / 2.0);
    const Matrix4x4 planeToSource = Matrix4x4::translation(refWidth / 2.0, refHeight / 2.0) *
                                    Matrix4x4::scaling(refHeight / 2.0, -refHeight / 2.0);
    return pixelsToDevice * a * planeToSource;
}

void preFlip(CEL_Pixmap* p, bool t, bool a, bool b) {
    if (!p) throw AlgoException("invalid pointer");
    if (auto* q = dynamic_cast<CEL_PixmapRGBA16*>(p))
        flipCanvas(q, t, a, b);
    else if (auto* q8 = dynamic_cast<CEL_PixmapRGBA8*>(p))
        flipCanvas(q8, t, a, b);
}

void preFlip(CEL_PixmapMatte16* p, bool t, bool a, bool b) {
    if (!p) throw AlgoException("invalid pointer");
    flipCanvas(p, t, a, b);
}

void preFlip(CEL_PixmapMatte8* p, bool t, bool a, bool b) {
    if (!p) throw AlgoException("invalid pointer");
    flipCanvas(p, t, a, b);
}

void copyZWithScale(CEL_PixmapAreaZ* dst, const CEL_PixmapAreaZ* src) {
    if (!dst || !src) throw AlgoException("invalid pointer");
    CEL_PixelFloat* out = dst->data();
    const int dw = dst->allocatedWidth(), dh = dst->allocatedHeight();
    if (!out || dw <= 0 || dh <= 0) return;
    double zMin = 0.0, zMax = 0.0;
    src->getZRange(zMin, zMax);
    dst->setZRange(zMin, zMax);
    const CEL_PixelFloat* in = src->data();
    const long long sw = src->allocatedWidth(), sh = src->allocatedHeight();
    if (!in || sw <= 0 || sh <= 0) {
        std::fill(out, out + (long long)dw * dh, CEL_PixelFloat::Zero);
        return;
    }
    // Nearest sample: target pixel i takes the source pixel under its centre,
    // (2i + 1) * sw / (2 dw), in integers.
    std::vector<long long> column(static_cast<std::size_t>(dw));
    for (int i = 0; i < dw; ++i) column[std::size_t(i)] = (2LL * i + 1) * sw / (2LL * dw);
    detail::parallelRows(0, dh, grainOf(dh), dw, [&](int r0, int r1) {
        for (int j = r0; j < r1; ++j) {
            const CEL_PixelFloat* row = in + (2LL * j + 1) * sh / (2LL * dh) * sw;
            CEL_PixelFloat* o = out + (long long)j * dw;
            for (int i = 0; i < dw; ++i) o[i] = row[column[std::size_t(i)]];
        }
    });
}

} // namespace CelAlgo
