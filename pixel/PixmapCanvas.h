#pragma once
// Canvas pixmaps: one element for every position of a width x height canvas,
// origin top-left, rows top to bottom, buffer allocated with new[] and owned
// by the pixmap (freed with delete[]).
//
// Invariants: a non-null buffer has exactly width * height > 0 elements and
// allocatedSize() == width * height * sizeof(element). After a failed
// allocation, an adoption of null data or a released buffer the pixmap is
// 0 x 0 without buffer; a constructor given a zero area keeps its (clamped)
// size and simply has no buffer. Negative widths and heights count as 0.
//
// A failed allocation (too large for CEL_Pixmap::maxPixmapBytes(), an
// overflowing size, or new[] throwing) posts "Out of memory: cel %3 (w: %1
// h: %2) " in context "CEL_Util" (action 2, code 9) and leaves the pixmap
// empty; no exception leaves the constructor.
//
// Colour is premultiplied by alpha unless a caller says otherwise through the
// alpha operations.

#include "pixel/Pixel.h"
#include "pixel/Representation.h"

class CEL_PixmapAreaRGBA16;
class CEL_PixmapRGBA16;
class CEL_PixmapMatte16;

class CELCORE_EXPORT CEL_PixmapRGBA8 : public CEL_Pixmap {
public:
    // Tag: allocate without clearing (the caller overwrites every pixel).
    struct DoNotMemset {};

    CEL_PixmapRGBA8(int width, int height);
    explicit CEL_PixmapRGBA8(const Math::Size2di& size);
    CEL_PixmapRGBA8(const Math::Size2di& size, const DoNotMemset&);
    // Adopts data (width * height elements from new[]); null data or a zero
    // area gives a 0 x 0 pixmap and data, if any, is deleted.
    CEL_PixmapRGBA8(int width, int height, CEL_PixelRGBA8* data);
    CEL_PixmapRGBA8(const CEL_PixmapRGBA8& other);
    // Each pixel by the 16 -> 8 rule.
    explicit CEL_PixmapRGBA8(const CEL_PixmapRGBA16& other);
    CEL_PixmapRGBA8& operator=(const CEL_PixmapRGBA8&) = delete;
    ~CEL_PixmapRGBA8() override;

    CelFormat getFormat() const override { return PIXMAP_RGBA8; }
    using CEL_Representation::clone;
    CEL_PixmapRGBA8* clone() const override;
    // True for 4, 6, 7, 8, 10; builds 4 (cropped to content), 6 and 8.
    bool convertibleTo(CelFormat format) const override;
    CEL_Representation* convertTo(CelFormat format) const override;

    // Format_ARGB32, channels copied as they are.
    void getImage(QImage** out) const override;
    QImage getImage() const override;

    void multiplyColorByAlpha() override;
    void demultiplyColorByAlpha() override;
    void unmultiplyColorByAlpha() override;
    void clampColorToAlpha() override;
    // Straight colour to colour premultiplied and laid over white.
    virtual void straightToPremultipliedWithWhite();

    CEL_PixelRGBA8* data() { return m_data; }
    const CEL_PixelRGBA8* data() const { return m_data; }
    // Null without buffer or outside the canvas.
    CEL_PixelRGBA8* pixel(int x, int y);
    const CEL_PixelRGBA8* pixel(int x, int y) const;
    CEL_PixelRGBA8* pixel(const Math::Point2di& p) { return pixel(p.x, p.y); }
    const CEL_PixelRGBA8* pixel(const Math::Point2di& p) const { return pixel(p.x, p.y); }

    // Frees the buffer and adopts data (same rules as the adopting constructor).
    void setData(CEL_PixelRGBA8* data, int width, int height);
    // Frees the buffer and copies 32-bit words whose bytes are b, g, r, a in
    // memory (an ARGB32 image); the caller keeps words.
    void setData(unsigned int* words, int width, int height);
    // Hands the buffer to the caller (free with delete[]); the pixmap becomes 0 x 0.
    CEL_PixelRGBA8* releaseData();

private:
    template <class> friend struct CEL_CanvasStore; // shared buffer handling
    CEL_PixelRGBA8* m_data = nullptr;
};

class CELCORE_EXPORT CEL_PixmapRGBA16 : public CEL_Pixmap {
public:
    // Tag: allocate without clearing (the caller overwrites every pixel).
    struct DoNotMemset {};

    CEL_PixmapRGBA16(int width, int height);
    explicit CEL_PixmapRGBA16(const Math::Size2di& size);
    CEL_PixmapRGBA16(const Math::Size2di& size, const DoNotMemset&);
    CEL_PixmapRGBA16(int width, int height, CEL_PixelRGBA16* data);
    CEL_PixmapRGBA16(const CEL_PixmapRGBA16& other);
    // Each pixel by the 8 -> 16 rule.
    explicit CEL_PixmapRGBA16(const CEL_PixmapRGBA8& other);
    CEL_PixmapRGBA16& operator=(const CEL_PixmapRGBA16&) = delete;
    ~CEL_PixmapRGBA16() override;

    CelFormat getFormat() const override { return PIXMAP_RGBA16; }
    using CEL_Representation::clone;
    CEL_PixmapRGBA16* clone() const override;
    // True for 4, 7, 8, 13; builds 4 (cropped to content), 7 and 8.
    bool convertibleTo(CelFormat format) const override;
    CEL_Representation* convertTo(CelFormat format) const override;

    // Format_ARGB32, each channel by the 16 -> 8 rule.
    void getImage(QImage** out) const override;
    QImage getImage() const override;

    void multiplyColorByAlpha() override;
    void demultiplyColorByAlpha() override;
    void unmultiplyColorByAlpha() override;
    void clampColorToAlpha() override;
    virtual void straightToPremultipliedWithWhite();

    CEL_PixelRGBA16* data() { return m_data; }
    const CEL_PixelRGBA16* data() const { return m_data; }
    CEL_PixelRGBA16* pixel(int x, int y);
    const CEL_PixelRGBA16* pixel(int x, int y) const;
    CEL_PixelRGBA16* pixel(const Math::Point2di& p) { return pixel(p.x, p.y); }
    const CEL_PixelRGBA16* pixel(const Math::Point2di& p) const { return pixel(p.x, p.y); }

    void setData(CEL_PixelRGBA16* data, int width, int height);
    CEL_PixelRGBA16* releaseData();

    // A new area pixmap of canvasSize / canvasRect allocated to allocatedRect,
    // holding srcRect of this pixmap at the start of its rows (the rest is
    // left uninitialised). Null when srcRect or allocatedRect has area 0 or on
    // allocation failure. The caller guarantees srcRect lies inside this
    // pixmap and is no larger than allocatedRect.
    CEL_PixmapAreaRGBA16* cloneArea(const Math::Box2di& srcRect, const Math::Box2di& allocatedRect,
                                    const Math::Size2di& canvasSize, const Math::Box2di& canvasRect) const;

private:
    template <class> friend struct CEL_CanvasStore; // shared buffer handling
    CEL_PixelRGBA16* m_data = nullptr;
};

class CELCORE_EXPORT CEL_PixmapMatte8 : public CEL_Pixmap {
public:
    CEL_PixmapMatte8(int width, int height);
    explicit CEL_PixmapMatte8(const Math::Size2di& size);
    CEL_PixmapMatte8(int width, int height, unsigned char* data);
    CEL_PixmapMatte8(const CEL_PixmapMatte8& other);
    // trunc(0.3 r + 0.59 g + 0.11 b); alpha ignored.
    explicit CEL_PixmapMatte8(const CEL_PixmapRGBA8& other);
    // The same luma on the signed channels, then 0 when <= 0, else >> 7.
    explicit CEL_PixmapMatte8(const CEL_PixmapRGBA16& other);
    // Each value by the 16 -> 8 rule.
    explicit CEL_PixmapMatte8(const CEL_PixmapMatte16& other);
    CEL_PixmapMatte8& operator=(const CEL_PixmapMatte8&) = delete;
    ~CEL_PixmapMatte8() override;

    CelFormat getFormat() const override { return PIXMAP_MATTE8; }
    using CEL_Representation::clone;
    CEL_PixmapMatte8* clone() const override;
    // 6: every channel 8 -> 16 of the value; 7: r = g = b = a = value.
    bool convertibleTo(CelFormat format) const override;
    CEL_Representation* convertTo(CelFormat format) const override;

    // Format_ARGB32 grey: r = g = b = value, a = 255.
    void getImage(QImage** out) const override;
    QImage getImage() const override;

    unsigned char* data() { return m_data; }
    const unsigned char* data() const { return m_data; }
    unsigned char* pixel(int x, int y);
    const unsigned char* pixel(int x, int y) const;
    unsigned char* pixel(const Math::Point2di& p) { return pixel(p.x, p.y); }
    const unsigned char* pixel(const Math::Point2di& p) const { return pixel(p.x, p.y); }

    void setData(unsigned char* data, int width, int height);

private:
    template <class> friend struct CEL_CanvasStore; // shared buffer handling
    unsigned char* m_data = nullptr;
};

class CELCORE_EXPORT CEL_PixmapMatte16 : public CEL_Pixmap {
public:
    CEL_PixmapMatte16(int width, int height);
    explicit CEL_PixmapMatte16(const Math::Size2di& size);
    CEL_PixmapMatte16(int width, int height, short* data);
    CEL_PixmapMatte16(const CEL_PixmapMatte16& other);
    CEL_PixmapMatte16& operator=(const CEL_PixmapMatte16&) = delete;
    ~CEL_PixmapMatte16() override;

    CelFormat getFormat() const override { return PIXMAP_MATTE16; }
    using CEL_Representation::clone;
    CEL_PixmapMatte16* clone() const override;
    // True for 8 only.
    bool convertibleTo(CelFormat format) const override;
    CEL_Representation* convertTo(CelFormat format) const override;

    short* data() { return m_data; }
    const short* data() const { return m_data; }
    short* pixel(int x, int y);
    const short* pixel(int x, int y) const;
    short* pixel(const Math::Point2di& p) { return pixel(p.x, p.y); }
    const short* pixel(const Math::Point2di& p) const { return pixel(p.x, p.y); }

    void setData(short* data, int width, int height);

private:
    template <class> friend struct CEL_CanvasStore; // shared buffer handling
    short* m_data = nullptr;
};
