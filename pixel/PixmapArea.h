#pragma once
// Area pixmaps: storage for only part of an image.
//
// Two rectangles share one integer coordinate system (half-open Box2di):
//   canvasRect     where the image is, normally (0, 0)-(width, height);
//   allocatedRect  which pixels have storage. It may be smaller than the
//                  canvas, larger, partly or wholly outside it, or empty.
// The buffer holds allocatedRect.w() * allocatedRect.h() elements row by row;
// canvas position (x, y) inside allocatedRect is element
// (y - y1) * w + (x - x1) (pixelOffset). Everything outside allocatedRect is
// transparent (colour kinds) or without depth (CEL_PixelFloat::Zero, depth kind).
// The CEL_Pixmap size of an area pixmap is its canvas size.
//
// realloc(rect, keepContent):
//   r = calcPreferredAllocatedRect(rect); nothing happens when r equals the
//   current allocated rectangle (buffer pointer kept). Otherwise a buffer of
//   area(r) elements replaces the old one: with keepContent the overlap is
//   copied to its new position and every other element is set to the empty
//   value; without it the new buffer is left uninitialised. On allocation
//   failure "Out of memory: cel %3 (w: %1 h: %2) " is posted (context
//   "CEL_Util", action 2, code 9) and the pixmap is left with an empty
//   allocated rectangle and no buffer. Returns false only on that failure.

#include "pixel/Pixel.h"
#include "pixel/Representation.h"

class CEL_PixmapRGBA16;
class CEL_PixmapRGBA8;

class CELCORE_EXPORT CEL_PixmapArea : public CEL_Pixmap {
public:
    ~CEL_PixmapArea() override;

    Math::Box2di canvasRect() const override { return m_canvasRect; }

    const Math::Box2di& allocatedRect() const { return m_allocatedRect; }
    int allocatedX1() const { return m_allocatedRect.x1(); }
    int allocatedY1() const { return m_allocatedRect.y1(); }
    int allocatedX2() const { return m_allocatedRect.x2(); }
    int allocatedY2() const { return m_allocatedRect.y2(); }
    int allocatedWidth() const { return m_allocatedRect.w(); }
    int allocatedHeight() const { return m_allocatedRect.h(); }
    long long allocatedArea() const { return m_allocatedRect.area(); }
    bool isAllocatedToCanvas() const { return m_allocatedRect == m_canvasRect; }

    // Buffer index of canvas position (x, y); no bounds check.
    long long pixelOffset(int x, int y) const {
        return (long long)(y - m_allocatedRect.y1()) * m_allocatedRect.w() + (x - m_allocatedRect.x1());
    }
    long long pixelOffset(const Math::Point2di& p) const { return pixelOffset(p.x, p.y); }

    // Intersection of both allocated rectangles; empty when other is null.
    Math::Box2di commonAllocatedRect(const CEL_PixmapArea* other) const;

    // realloc(allocatedRect intersected with canvasRect(), true).
    bool clipToCanvas();
    // realloc(canvasRect, true).
    bool reallocToCanvas();
    // realloc((allocatedRect united with other->allocatedRect) clipped to canvasRect(), keepContent).
    bool reallocToFitAndClipToCanvas(const CEL_PixmapArea* other, bool keepContent);

    virtual bool realloc(const Math::Box2di& rect, bool keepContent) = 0;

protected:
    CEL_PixmapArea(const Math::Size2di& size, const Math::Box2di& canvasRect);
    CEL_PixmapArea(const CEL_PixmapArea& other);
    CEL_PixmapArea& operator=(const CEL_PixmapArea&) = delete;

    void setCanvasRect(const Math::Box2di& rect) { m_canvasRect = rect; }
    void setAllocatedRect(const Math::Box2di& rect) { m_allocatedRect = rect; }

private:
    Math::Box2di m_canvasRect;
    Math::Box2di m_allocatedRect;
};

// A new[] buffer shared by several pixmaps; the last holder deletes it.
template <class T> class CEL_SharedPixelBuffer : public UT_ShareBaseSafe {
public:
    explicit CEL_SharedPixelBuffer(T* data) : m_data(data) {}
    CEL_SharedPixelBuffer(const CEL_SharedPixelBuffer&) = delete;
    CEL_SharedPixelBuffer& operator=(const CEL_SharedPixelBuffer&) = delete;
    ~CEL_SharedPixelBuffer() override { delete[] m_data; }
    T* data() const { return m_data; }

private:
    T* m_data;
};

class CELCORE_EXPORT CEL_PixmapAreaRGBA16 : public CEL_PixmapArea {
public:
    // No buffer, empty allocated rectangle.
    CEL_PixmapAreaRGBA16(const Math::Size2di& size, const Math::Box2di& canvasRect);
    // Canvas (0, 0)-(width, height); negative sizes count as 0.
    CEL_PixmapAreaRGBA16(int width, int height);
    // Deep copy (same as clone()).
    CEL_PixmapAreaRGBA16(const CEL_PixmapAreaRGBA16& other);
    CEL_PixmapAreaRGBA16& operator=(const CEL_PixmapAreaRGBA16&) = delete;
    ~CEL_PixmapAreaRGBA16() override;

    CelFormat getFormat() const override { return PIXMAP_AREA_RGBA16; }
    // Same size and canvas, allocated to rect: this pixmap's pixels where the
    // rectangles overlap, transparent black elsewhere. Null when rect is empty.
    CEL_PixmapAreaRGBA16* clone(const Math::Box2di& rect) const override;
    CEL_PixmapAreaRGBA16* clone() const override;
    // True for 5, 6, 7, 10, 13; builds 5, 6, 7, 8, 9.
    bool convertibleTo(CelFormat format) const override;
    CEL_Representation* convertTo(CelFormat format) const override;

    // Canvas-size Format_ARGB32; allocated pixels inside the canvas by 16 -> 8, others 0.
    void getImage(QImage** out) const override;
    QImage getImage() const override;

    void multiplyColorByAlpha() override;
    void demultiplyColorByAlpha() override;
    void unmultiplyColorByAlpha() override;
    void invertAlpha() override;

    bool realloc(const Math::Box2di& rect, bool keepContent) override;
    // With data null: realloc(rect, true). Otherwise frees the buffer and
    // adopts data (area(rect) elements from new[]); an empty rect deletes data
    // and leaves the pixmap without buffer.
    bool alloc(const Math::Box2di& rect, CEL_PixelRGBA16* data);

    CEL_PixelRGBA16* data() { return m_data; }
    const CEL_PixelRGBA16* data() const { return m_data; }
    // Null without buffer or outside the allocated rectangle.
    CEL_PixelRGBA16* pixel(int x, int y);
    const CEL_PixelRGBA16* pixel(int x, int y) const;
    CEL_PixelRGBA16* pixel(const Math::Point2di& p) { return pixel(p.x, p.y); }
    const CEL_PixelRGBA16* pixel(const Math::Point2di& p) const { return pixel(p.x, p.y); }

    // Without buffer and with an empty allocated rectangle: takes other's size
    // and allocated rectangle. Otherwise grows (keeping content) to the union
    // of both allocated rectangles. The canvas rectangle is not changed.
    bool reallocToFit(const CEL_PixmapAreaRGBA16* other);
    // Copies allocatedArea() pixels and the allPositive flag from other; the
    // caller guarantees equal allocated rectangles.
    void copyFrom(const CEL_PixmapAreaRGBA16* other);

    // Set by the owner to say that no channel is negative; only stored and copied.
    bool areAllPositive() const { return m_allPositive; }
    void setAllPositive(bool allPositive) { m_allPositive = allPositive; }

private:
    template <class> friend struct CEL_AreaStore; // shared buffer handling
    CEL_PixelRGBA16* m_data = nullptr;
    bool m_allPositive = true;
};

class CELCORE_EXPORT CEL_PixmapAreaRGBAFloat : public CEL_PixmapArea {
public:
    // Row order of the buffer: 0 top to bottom; any other value bottom to top.
    enum OrientationFlag_t { TopToBottom = 0, BottomToTop = 1 };

    CEL_PixmapAreaRGBAFloat(const Math::Size2di& size, const Math::Box2di& canvasRect);
    CEL_PixmapAreaRGBAFloat(int width, int height);
    // Deep copy (same as clone()), orientation included.
    CEL_PixmapAreaRGBAFloat(const CEL_PixmapAreaRGBAFloat& other);
    CEL_PixmapAreaRGBAFloat& operator=(const CEL_PixmapAreaRGBAFloat&) = delete;
    ~CEL_PixmapAreaRGBAFloat() override;

    CelFormat getFormat() const override { return PIXMAP_AREA_RGBAFLOAT; }
    using CEL_Representation::clone;
    CEL_PixmapAreaRGBAFloat* clone() const override;
    // True for 4, 6, 7, 10; builds 4, 6, 7, 8, 9. Conversions and getImage
    // read the buffer as stored, rows taken top to bottom whatever the flag.
    bool convertibleTo(CelFormat format) const override;
    CEL_Representation* convertTo(CelFormat format) const override;

    void getImage(QImage** out) const override;
    QImage getImage() const override;

    // c = c * a
    void multiplyColorByAlpha() override;
    // c = c - (1 - a)
    void unmultiplyColorByAlpha() override;
    // a = 1 - a
    void invertAlpha() override;

    bool realloc(const Math::Box2di& rect, bool keepContent) override;
    bool alloc(const Math::Box2di& rect, CEL_PixelRGBAFloat* data);

    // The buffer only when the caller expects the current row order, else null.
    CEL_PixelRGBAFloat* data(OrientationFlag_t flag) { return flag == m_orientation ? m_data : nullptr; }
    const CEL_PixelRGBAFloat* data(OrientationFlag_t flag) const {
        return flag == m_orientation ? m_data : nullptr;
    }
    // The element at pixelOffset(x, y) in stored order; null without buffer or
    // outside the allocated rectangle.
    CEL_PixelRGBAFloat* pixel(int x, int y);
    const CEL_PixelRGBAFloat* pixel(int x, int y) const;
    CEL_PixelRGBAFloat* pixel(const Math::Point2di& p) { return pixel(p.x, p.y); }
    const CEL_PixelRGBAFloat* pixel(const Math::Point2di& p) const { return pixel(p.x, p.y); }

    OrientationFlag_t orientationFlag() const { return m_orientation; }
    // Stores the flag; when it changes and a buffer exists, the rows are
    // flipped in place (row i swapped with row h - 1 - i).
    void setOrientationFlag(OrientationFlag_t flag);

private:
    template <class> friend struct CEL_AreaStore; // shared buffer handling
    CEL_PixelRGBAFloat* m_data = nullptr;
    OrientationFlag_t m_orientation = TopToBottom;
};

// A depth buffer. The buffer is held through a reference-counted holder:
// copies made by the copy constructor SHARE it (writes through data() are seen
// by every sharer); clone() and ToBBox() copy it. Each sharer reports the
// buffer's bytes in its allocatedSize().
class CELCORE_EXPORT CEL_PixmapAreaZ : public CEL_PixmapArea {
public:
    CEL_PixmapAreaZ(const Math::Size2di& size, const Math::Box2di& canvasRect);
    CEL_PixmapAreaZ(int width, int height);
    // Shares other's depth buffer and copies its z range; scale is 1.0.
    CEL_PixmapAreaZ(const CEL_PixmapAreaZ& other);
    CEL_PixmapAreaZ& operator=(const CEL_PixmapAreaZ&) = delete;
    ~CEL_PixmapAreaZ() override;

    CelFormat getFormat() const override { return PIXMAP_AREA_ZBUF; }
    using CEL_Representation::clone;
    // Deep copy, with z range and scale.
    CEL_PixmapAreaZ* clone() const override;
    // Converts to nothing.
    bool convertibleTo(CelFormat format) const override;
    CEL_Representation* convertTo(CelFormat format) const override;

    // The empty value is CEL_PixelFloat::Zero.
    bool realloc(const Math::Box2di& rect, bool keepContent) override;
    virtual bool alloc(const Math::Box2di& rect, CEL_PixelFloat* data);

    CEL_PixelFloat* data() { return m_buffer ? m_buffer->data() : nullptr; }
    const CEL_PixelFloat* data() const { return m_buffer ? m_buffer->data() : nullptr; }
    CEL_PixelFloat* pixel(int x, int y);
    const CEL_PixelFloat* pixel(int x, int y) const;
    CEL_PixelFloat* pixel(const Math::Point2di& p) { return pixel(p.x, p.y); }
    const CEL_PixelFloat* pixel(const Math::Point2di& p) const { return pixel(p.x, p.y); }

    void getZRange(double& zMin, double& zMax) const {
        zMin = m_zMin;
        zMax = m_zMax;
    }
    // Stored as floats.
    void setZRange(double zMin, double zMax) {
        m_zMin = float(zMin);
        m_zMax = float(zMax);
    }
    double scale() const { return m_scale; }
    void setScale(double scale) { m_scale = scale; }

    // Same size and canvas, allocated to rect: this pixmap's depths where the
    // rectangles overlap, Zero elsewhere; same z range, scale 1.0. Null when
    // this pixmap has no buffer (or rect is empty, or on allocation failure).
    CEL_PixmapAreaZ* ToBBox(const Math::Box2di& rect) const;

private:
    UT_SharedPtr<CEL_SharedPixelBuffer<CEL_PixelFloat>> m_buffer;
    float m_zMin = 0.0f;
    float m_zMax = 0.0f;
    double m_scale = 1.0;
};
