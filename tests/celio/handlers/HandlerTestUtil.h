#pragma once
// Shared helpers of the file-handler tests.

#include <algorithm>
#include <vector>

#include "cel/Cel.h"
#include "pixel/PixmapCanvas.h"

namespace celtest {

// A cel holding p (owned by the cel).
inline UT_SharedPtr<CEL_Cel> celOf(CEL_Pixmap* p) {
    UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(p->getFormat()));
    cel->addRepresentation(UT_SharedPtr<CEL_Representation>(p));
    return cel;
}

// A cel holding a w x h canvas pixmap of kind P with the given pixels, top row first.
template <class P, class T> UT_SharedPtr<CEL_Cel> celOf(const std::vector<T>& pixels, int w, int h = 1) {
    auto* p = new P(w, h);
    std::copy(pixels.begin(), pixels.end(), p->data());
    return celOf(p);
}

using Values = std::vector<int>; // r, g, b, a per pixel, top row first

// The values of a canvas pixmap of any kind (a matte as opaque grey, full
// scale 255 or 32767); empty for anything else.
inline Values values(const CEL_Representation* rep) {
    Values v;
    const auto add = [&v](const auto* p, const CEL_Pixmap* pm, size_t channels, int full) {
        for (size_t i = 0; p && i < size_t(pm->width()) * size_t(pm->height()) * channels; i += channels)
            for (size_t c = 0; c < 4; ++c) v.push_back(channels == 1 ? (c < 3 ? p[i] : full) : p[i + c]);
    };
    if (auto* a = dynamic_cast<const CEL_PixmapRGBA8*>(rep))
        add(reinterpret_cast<const uint8_t*>(a->data()), a, 4, 255);
    if (auto* b = dynamic_cast<const CEL_PixmapMatte8*>(rep)) add(b->data(), b, 1, 255);
    if (auto* c = dynamic_cast<const CEL_PixmapRGBA16*>(rep))
        add(reinterpret_cast<const int16_t*>(c->data()), c, 4, 32767);
    if (auto* d = dynamic_cast<const CEL_PixmapMatte16*>(rep)) add(d->data(), d, 1, 32767);
    return v;
}

} // namespace celtest
