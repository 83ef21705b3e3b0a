#pragma once
// Shared helpers of the pixmap tests.

#include <gtest/gtest.h>

#include <climits>

#include "pixel/Representation.h"

namespace pixeltest {

inline unsigned long long total() {
    return CEL_PixmapAllocationCounter::allocatedSizeTotal();
}

// Lowers the per-buffer byte cap for one scope.
class ByteCap {
public:
    explicit ByteCap(unsigned long long bytes) : m_old(CEL_Pixmap::maxPixmapBytes()) {
        CEL_Pixmap::setMaxPixmapBytes(bytes);
    }
    ~ByteCap() { CEL_Pixmap::setMaxPixmapBytes(m_old); }
    ByteCap(const ByteCap&) = delete;
    ByteCap& operator=(const ByteCap&) = delete;

private:
    unsigned long long m_old;
};

} // namespace pixeltest
