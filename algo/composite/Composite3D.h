#pragma once
// Depth compositing: laying layers into a CEL_PixmapArea3D so that what is
// nearer covers what is farther, pixel by pixel, whatever the drawing order.
//
// A layer is a colour area pixmap with one depth (composite2d with a float),
// with a depth plane (composite2d with a Math::PlanarDepthBuffer), with a depth
// per pixel (composite3d with a CEL_PixmapAreaZ), or another depth pixmap
// (composite3d with a CEL_PixmapArea3D). Larger z is nearer.
//
// Per pixel of the part of the source the destination holds, a non-empty
// source sample s meets the destination head d:
//   1. d empty: d becomes s (next 0);
//   2. otherwise the coverage c of d by s is computed (below);
//   3. c >= 1: s goes in front (an opaque s cuts the list);
//   4. 0 < c < 1: the surfaces cross inside the pixel: d's colour becomes a mix
//      of "s over d" and "d over s" weighted by c; nothing is inserted;
//   5. c <= 0: s goes behind, into d's list, unless d is opaque.
// Coverage: when both surfaces are flat (a sample with identifier 0, or a
// layer at one depth), c is 1 when the source depth >= the destination depth,
// else 0. Otherwise each surface is known at the four neighbours of the pixel
// (up, right, left, down): a destination sample's surface through the samples
// of the same layer (same identifier) within 0.1 of its depth in the
// neighbouring pixels, as they were before the row was composited; and the
// crossing line through that diamond gives the share of the pixel the source
// covers. Slopes of 0.1 per pixel or more miss the match and cross unsmoothed.
//
// Results are exact and do not depend on the number of threads: rows are
// composited in bands in parallel, each band appending to its own store; the
// stores are joined in row order afterwards, so the destination's store and
// heads come out identical to a serial run. Coverage is computed in single
// precision, never fused.
//
// Failures throw CelAlgo::AlgoException: a null pixmap "invalid pointer"; a
// depth pixmap that does not cover the common rectangle "incorrect
// parameters"; heads or a store that cannot grow "out of memory". The checks
// and the destination's reallocation come before any change, so those
// failures leave the destination unchanged; a store that fails to grow
// mid-way leaves every list valid, with the layer partly laid in.

#include <memory>
#include <vector>

#include "algo/composite/AlgoException.h"
#include "base/MathTypes.h"
#include "celcore_export.h"
#include "pixel/Pixel.h"

class CEL_PixmapArea;
class CEL_PixmapArea3D;
class CEL_PixmapAreaRGBA16;
class CEL_PixmapAreaZ;

class CELCORE_EXPORT ALGO_Composite3D {
public:
    // The destination rows y - 1, y and y + 1 around the row being composited.
    static constexpr int ZWindowSize = 3;
    static constexpr int ZWindowHalfSize = 1;

    // One destination sample as the window sees it; next indexes the row's
    // sample vector (0 ends).
    struct ZPixel {
        float z;
        unsigned depthBufferId;
        unsigned long long next;
    };

    // The depths of a surface at the pixels (x, y - 1), (x + 1, y), (x - 1, y)
    // and (x, y + 1); flat: one depth, held in all four.
    struct PixelPlane {
        float up, right, left, down;
        bool flat;
    };

    // dst is not owned.
    explicit ALGO_Composite3D(CEL_PixmapArea3D* dst);
    ALGO_Composite3D(const ALGO_Composite3D& other);
    ALGO_Composite3D& operator=(const ALGO_Composite3D&) = delete;
    virtual ~ALGO_Composite3D();

    // A flat layer at depth z; its samples get identifier 0.
    void composite2d(const CEL_PixmapAreaRGBA16* src, float z);
    // The constant kind as above; a plane gives the depth
    // depth.getZ(x + 0.5, y + 0.5) at pixel (x, y) (identifier 0).
    void composite2d(const CEL_PixmapAreaRGBA16* src, const Math::PlanarDepthBuffer& depth);
    // Colour plus a depth per pixel; srcZ must cover the common rectangle.
    // The layer's samples take dst->getNextDepthBufferId() (one per call).
    void composite3d(const CEL_PixmapAreaRGBA16* src, const CEL_PixmapAreaZ* srcZ);
    // Merges another depth pixmap sample by sample (head first). Non-zero
    // identifiers are offset by dst's currentDepthBufferId as it was when the
    // call began; at the end dst's currentDepthBufferId grows by src's. Where a
    // head of dst is empty the whole source list is inserted; a source sample
    // with the head's identifier is compared by depth, not by coverage.
    void composite3d(const CEL_PixmapArea3D* src);

protected:
    // One destination row of the window. A full line holds a copy of every
    // column (the rows beside a band, which other bands change); otherwise a
    // column is copied (saved) just before its pixel first changes, and the
    // others are read from the destination, which still holds them.
    struct ZWindowLine {
        std::vector<ZPixel> heads;        // from column commonRect.x1() - 1
        std::vector<ZPixel> list;         // the saved lists' samples; element 0 a placeholder
        std::vector<unsigned char> saved; // per column: heads holds its copy
        bool full = false;
        int y = 0;
    };

    // Grows dst to hold src (clipped to its canvas) and sets commonRect and src3D.
    void initializeForSrc(const CEL_PixmapArea* src);
    // The window for the first row of the current band.
    void initializeDstZWindow();
    // Starts window row `row` on destination row y (a full copy beside a band).
    void readDstZWindowLine(int row, int y);
    // One head (null or empty: an empty ZPixel) and its list.
    void readDstZPixel(ZPixel* out, std::vector<ZPixel>& list, const CEL_Pixel3D* head);
    // Rotates the rows for row y and reads row y + 1.
    void shiftDstZWindow(int y);
    void getDstPixelPlane(PixelPlane& plane, const CEL_Pixel3D& d, int x, int y) const;
    void getSrcPixelPlane(PixelPlane& plane, const CEL_Pixel3D& s, int x, int y) const;
    // Among the neighbour's samples of d's identifier, the depth nearest d.z
    // when it lies within 0.1 of it, else d.z.
    float findMatchingDstPixelZ(const CEL_Pixel3D* d, const ZPixel* neighbour,
                                const std::vector<ZPixel>& list) const;
    // The same rule over a source list: the matching sample, or null.
    const CEL_Pixel3D* findMatchingSrcPixel(const CEL_Pixel3D* s, const CEL_Pixel3D* neighbour) const;
    float getSrcCoverage(const PixelPlane& dstPlane, const PixelPlane& srcPlane) const;
    float getSrcCoverage(const PixelPlane& dstPlane, float z) const;
    float getSrcCoverage(const CEL_Pixel3D& d, int x, int y, const PixelPlane& srcPlane) const;
    // d's colour becomes B + (F - B) * c with F = s over d and B = d over s.
    void applyAntialiazingOnDst(CEL_Pixel3D& d, const CEL_PixelRGBA16& s, float c);
    // s behind the sample whose next is *link: walks the list from there.
    void insertPixel(int x, int y, unsigned long long* link, CEL_Pixel3D& s, const PixelPlane& srcPlane);

    CEL_PixmapArea3D* m_dst;
    std::vector<CEL_Pixel3D>* m_dstStore;
    const CEL_PixmapArea3D* m_src3D = nullptr;
    Math::Box2di m_commonRect;
    ZWindowLine m_zWindow[ZWindowSize];

private:
    struct Layer;
    struct Band;

    void run(const Layer& layer);
    void runBand();
    void compositeColourRow(int y);
    void mergeRow(int y);
    void place(int x, int y, CEL_Pixel3D& d, CEL_Pixel3D& s, const PixelPlane& srcPlane, float c);
    void readLine(ZWindowLine& line, int y);
    void saveOriginal(int x, const CEL_Pixel3D& head);
    float matchInDestination(const CEL_Pixel3D& d, const CEL_Pixel3D* head) const;
    float neighbourZ(const CEL_Pixel3D& d, int row, int x) const;
    static float clearCoverage(const CEL_Pixel3D& d, double lo, double hi);

    const Layer* m_layer = nullptr;
    std::unique_ptr<Band> m_band;
};

namespace ALGO_3D {

// Weighs dst by the alpha m of mask over dst's allocated rectangle ∩ mask's
// (empty when mask is null). maskInside: dst is first reallocated to that
// rectangle (keeping content) and the weight is w = m; else w = 32767 - m.
// w <= 0 empties the pixel; m = 32767 inside leaves it; otherwise each sample,
// near to far, is scaled by (w - P) / (32767 - P), P the scaled alpha of the
// sample before (0 for the head), rounded trunc(v + 0.5) and clamped.
// Throws "invalid pointer" when dst is null.
CELCORE_EXPORT void applyMask(CEL_PixmapArea3D* dst, const CEL_PixmapAreaRGBA16* mask, bool maskInside);

// A copy of depth reallocated to colour's allocated rectangle in which every
// coloured pixel without depth takes the depth of the nearest pixel that has
// one (searched row by row from the hole, within (2 (w + h))^2 squared pixels;
// holes filled earlier count as having depth). Null when an argument is null
// or the copy fails; the caller owns the result.
CELCORE_EXPORT CEL_PixmapAreaZ* copyExpandDepthBuffer(const CEL_PixmapAreaRGBA16* colour,
                                                      const CEL_PixmapAreaZ* depth);

// A grey picture of the depths: a CEL_PixmapAreaRGBA16 allocated to depth's
// canvas, grey from black at the smallest to white at the largest depth lying
// strictly between lower and upper (note the order: upper first; limits beyond
// the float range are clamped to it, so CEL_PixelFloat::Zero is never inside).
// Depths at or below lower, and pixels outside depth's allocated rectangle,
// are an opaque half blue (0, 0, 16383, 32767). Null for a null or empty
// depth; throws "out of memory" when the picture cannot be allocated.
CELCORE_EXPORT CEL_PixmapAreaRGBA16* depthBufferToGrayScale(const CEL_PixmapAreaZ* depth, double upper,
                                                            double lower);

} // namespace ALGO_3D
