#pragma once
// Helpers of the depth compositing tests: layer builders and comparisons of depth pixmaps.

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "algo/composite/Composite3D.h"
#include "pixel/PixmapArea3D.h"

namespace depthtest {

inline std::unique_ptr<CEL_PixmapAreaRGBA16> colour(int w, int h,
                                                    const std::vector<CEL_PixelRGBA16>& pixels) {
    auto p = std::make_unique<CEL_PixmapAreaRGBA16>(w, h);
    p->realloc(p->canvasRect(), true);
    std::copy(pixels.begin(), pixels.end(), p->data());
    return p;
}

inline std::unique_ptr<CEL_PixmapAreaRGBA16> filled(int w, int h, const CEL_PixelRGBA16& c) {
    return colour(w, h, std::vector<CEL_PixelRGBA16>(std::size_t(w * h), c));
}

inline std::unique_ptr<CEL_PixmapAreaZ> depth(int w, int h, const std::vector<float>& z) {
    auto p = std::make_unique<CEL_PixmapAreaZ>(w, h);
    p->realloc(p->canvasRect(), true);
    for (std::size_t i = 0; i < z.size(); ++i) p->data()[i] = z[i];
    return p;
}

// The depths of the list at (x, y), near to far.
inline std::vector<float> depthsAt(const CEL_PixmapArea3D& p, int x, int y) {
    std::vector<float> z;
    for (const CEL_Pixel3D* s = p.pixel(x, y); s && !s->colour.isBlack();
         s = s->next ? &p.pixels()[s->next] : nullptr)
        z.push_back(s->z);
    return z;
}

inline CEL_PixelRGBA16 flat(const CEL_PixmapArea3D& p, int x, int y) {
    const std::unique_ptr<CEL_Representation> r(p.convertTo(CEL_Representation::PIXMAP_AREA_RGBA16));
    return *static_cast<CEL_PixmapAreaRGBA16*>(r.get())->pixel(x, y);
}

// Same rectangles, identifier, heads and store, bit for bit.
inline ::testing::AssertionResult identical(const CEL_PixmapArea3D& a, const CEL_PixmapArea3D& b) {
    auto same = [](const CEL_Pixel3D& p, const CEL_Pixel3D& q) {
        return p.colour == q.colour && p.z == q.z && p.depthBufferId == q.depthBufferId && p.next == q.next;
    };
    if (a.allocatedRect() != b.allocatedRect() || a.currentDepthBufferId() != b.currentDepthBufferId())
        return ::testing::AssertionFailure() << "rectangles or identifiers differ";
    for (long long i = 0; i < a.allocatedArea(); ++i)
        if (!same(a.data()[i], b.data()[i]))
            return ::testing::AssertionFailure() << "head " << i << " differs";
    if (a.pixels().size() != b.pixels().size())
        return ::testing::AssertionFailure()
               << "stores of " << a.pixels().size() << " and " << b.pixels().size();
    for (std::size_t i = 0; i < a.pixels().size(); ++i)
        if (!same(a.pixels()[i], b.pixels()[i]))
            return ::testing::AssertionFailure() << "sample " << i << " differs";
    return ::testing::AssertionSuccess();
}

} // namespace depthtest
