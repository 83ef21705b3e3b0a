#pragma once
// Shared helpers of the pixel and pixmap tests.

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <memory>

#include "pixel/Pixel.h"
#include "pixel/Representation.h"

namespace pixeltest {

inline unsigned long long total() {
    return CEL_PixmapAllocationCounter::allocatedSizeTotal();
}

inline CEL_PixelRGBA16 px16(int r, int g, int b, int a) {
    return CEL_PixelRGBA16{int16_t(r), int16_t(g), int16_t(b), int16_t(a)};
}

// A one-row pixmap holding the given pixels.
template <class P, class Pixel> std::unique_ptr<P> row(std::initializer_list<Pixel> pixels) {
    auto p = std::make_unique<P>(int(pixels.size()), 1);
    std::copy(pixels.begin(), pixels.end(), p->data());
    return p;
}

// Takes ownership of a conversion's result, null when it is not a T.
template <class T> std::unique_ptr<T> own(CEL_Representation* r) {
    return std::unique_ptr<T>(dynamic_cast<T*>(r));
}

// Lowers the per-buffer byte cap for one scope.
class ByteCap {
public:
    explicit ByteCap(unsigned long long bytes) : m_old(CEL_Pixmap::maxPixmapBytes()) {
        CEL_Pixmap::setMaxPixmapBytes(bytes);
    }
    ~ByteCap() { CEL_Pixmap::setMaxPixmapBytes(m_old); }

private:
    unsigned long long m_old;
};

} // namespace pixeltest
