#pragma once
// CEL_PixmapArea3D: an area pixmap whose pixels are lists of depth samples,
// so that layers that each carry a depth combine in depth order whatever the
// order they were drawn in.
//
// Storage:
//   heads   one CEL_Pixel3D per allocated pixel, the nearest sample of the
//           pixel. A head whose four colour channels are 0 is an empty pixel.
//           Held through a reference-counted holder like the depths of
//           CEL_PixmapAreaZ; its bytes are reported with onAlloc and it obeys
//           the per-buffer byte cap. The empty value is all zero, so heads
//           the pixmap allocates come from calloc: fresh pages from the
//           system need no clearing.
//   pixels  the overflow store: head.next is the index in it of the second
//           sample, whose next gives the third, and so on; 0 ends a list, so
//           element 0 is a placeholder that is never a list member. Along a
//           list z does not increase (nearest first) and only the last sample
//           may be opaque. The store only grows: samples cut from lists stay
//           in it, unreferenced, until the pixmap dies.
//
// Samples inserted through insertPixel/insertPixels get the identifier
// s.depthBufferId + currentDepthBufferId() when theirs is not 0, else 0.
//
// Flattening (convertTo of the colour formats) composites each list far to
// near into one premultiplied 16-bit pixel; see resolveTranparencyLists.

#include <vector>

#include "pixel/PixmapArea.h"

class CELCORE_EXPORT CEL_PixmapArea3D : public CEL_PixmapArea {
public:
    // No heads, empty allocated rectangle; the store holds the placeholder
    // and has room for (width + height) * 4 samples.
    CEL_PixmapArea3D(const Math::Size2di& size, const Math::Box2di& canvasRect);
    // Canvas (0, 0)-(width, height); negative sizes count as 0.
    CEL_PixmapArea3D(int width, int height);
    // Deep copy of heads, store and currentDepthBufferId. When memory runs
    // out the copy has no heads (empty allocated rectangle).
    CEL_PixmapArea3D(const CEL_PixmapArea3D& other);
    CEL_PixmapArea3D& operator=(const CEL_PixmapArea3D&) = delete;
    ~CEL_PixmapArea3D() override;

    CelFormat getFormat() const override { return PIXMAP_AREA_3D; }
    using CEL_Representation::clone;
    // Deep copy; null when this pixmap has heads and the copy could not get them.
    CEL_PixmapArea3D* clone() const override;
    // True for 4, 5, 6, 7, 10 and 12.
    bool convertibleTo(CelFormat format) const override;
    // 12: a CEL_PixmapAreaZ with the same rectangles holding each head's z,
    // CEL_PixelFloat::Zero where the head is empty (z range: the real depths).
    // 4: the flattened CEL_PixmapAreaRGBA16 with the same rectangles; 5, 6, 7:
    // that pixmap's own conversion. Null otherwise (10 included: thumbnails
    // are built by their own class) and when memory runs out.
    CEL_Representation* convertTo(CelFormat format) const override;
    // The flattened picture (see CEL_PixmapAreaRGBA16::getImage).
    QImage getImage() const override;
    void getImage(QImage** out) const override;

    // As for the other area kinds; the empty value is all zero (an empty head
    // with next 0). The store is not touched, so kept heads keep their lists.
    bool realloc(const Math::Box2di& rect, bool keepContent) override;
    // realloc(rect, true), except that when memory runs out the pixmap is left
    // as it was, nothing is posted, and false is returned.
    bool tryRealloc(const Math::Box2di& rect);
    // With data null: realloc(rect, true). Otherwise frees the heads and adopts
    // data (area(rect) elements from new[]); an empty rect deletes data.
    bool alloc(const Math::Box2di& rect, CEL_Pixel3D* data);

    // The heads; null without buffer.
    CEL_Pixel3D* data() { return m_heads ? m_heads->data() : nullptr; }
    const CEL_Pixel3D* data() const { return m_heads ? m_heads->data() : nullptr; }
    // The head at a canvas position; null outside the allocated rectangle or without heads.
    CEL_Pixel3D* pixel(int x, int y);
    const CEL_Pixel3D* pixel(int x, int y) const;
    CEL_Pixel3D* pixel(const Math::Point2di& p) { return pixel(p.x, p.y); }
    const CEL_Pixel3D* pixel(const Math::Point2di& p) const { return pixel(p.x, p.y); }
    // The overflow store.
    std::vector<CEL_Pixel3D>& pixels() { return m_pixels; }
    const std::vector<CEL_Pixel3D>& pixels() const { return m_pixels; }

    unsigned currentDepthBufferId() const { return m_currentDepthBufferId; }
    // Increments currentDepthBufferId and returns the new value.
    unsigned getNextDepthBufferId() { return ++m_currentDepthBufferId; }
    void incrementDepthBufferId(unsigned n) { m_currentDepthBufferId += n; }

    // Inserts s into the list at (x, y); nothing when (x, y) has no head.
    //  1. s with four zero colour channels is not stored;
    //  2. an empty head becomes s (next 0);
    //  3. s.z >= head.z: an opaque s replaces the head and cuts its list; else
    //     the old head is appended to the store and s heads the list before it;
    //  4. s.z < head.z behind an opaque head: dropped;
    //  5. otherwise s goes before the first sample e with s.z >= e.z (with
    //     next 0 when s is opaque), is dropped when an opaque sample is passed
    //     first, or is appended at the end.
    // A sample level with an existing one goes in front of it. When the store
    // cannot grow, the sample is dropped and the list is left as it was.
    void insertPixel(int x, int y, const CEL_Pixel3D& s);
    // Inserts first, then each sample reached from first.next through store
    // (a list in another depth pixmap's layout).
    void insertPixels(int x, int y, const CEL_Pixel3D& first, const std::vector<CEL_Pixel3D>& store);
    // Inserts every sample of the array, in order.
    void insertPixels(int x, int y, const std::vector<CEL_Pixel3D>& samples);

protected:
    // Flattens every list into out, whose allocated rectangle must equal this
    // pixmap's (nothing is written otherwise). Per pixel: the head's colour when
    // its next is 0; else the list's first 257 samples (the head and 256 more;
    // the rest is ignored) composited from the farthest, which starts the
    // accumulator A, to the nearest s (channels signed 16-bit, clamp to
    // -32767 ... 32767):
    //   s.a = 32767       A = s
    //   s.a = 0           additive: A.c = clamp(A.c + s.c) for each non-zero
    //                     colour channel of s; A.a kept
    //   0 < s.a < 32767   A.c = clamp(((A.c * (32767 - s.a) + 32767) >> 15) + s.c),
    //                     alpha alike, 32-bit integers, arithmetic shift
    //   s.a < 0           tone: A = s when A.a is 0; else with k = -s.a each
    //                     colour channel is scaled by M[k] + N[-s.c] (s.c <= 0)
    //                     or M[k] - s.a * N[k] / s.c, N and M the fraction
    //                     tables of AlphaConvTable, rounded trunc(v + 0.5); A.a kept
    // Rows are flattened in parallel; the result does not depend on the thread count.
    // Sets out's allPositive flag to whether no channel came out negative.
    void resolveTranparencyLists(CEL_PixmapAreaRGBA16* out) const;

private:
    // The heads' holder; the last sharer frees them as they were allocated.
    class Heads : public UT_ShareBaseSafe {
    public:
        Heads(CEL_Pixel3D* data, bool fromNew) : m_data(data), m_fromNew(fromNew) {}
        Heads(const Heads&) = delete;
        Heads& operator=(const Heads&) = delete;
        ~Heads() override;
        CEL_Pixel3D* data() const { return m_data; }

    private:
        CEL_Pixel3D* m_data;
        bool m_fromNew;
    };

    void initStore();
    // Adopts heads of rect (null: none) and accounts for them.
    void setHeads(CEL_Pixel3D* heads, bool fromNew, const Math::Box2di& rect);
    // New heads for r (the policy applied); false, with nothing changed, when memory runs out.
    bool reallocHeads(const Math::Box2di& r, bool keepContent);

    unsigned m_currentDepthBufferId = 0;
    std::vector<CEL_Pixel3D> m_pixels;
    UT_SharedPtr<Heads> m_heads;
};
