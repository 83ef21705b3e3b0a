#include "celio/ReadLimits.h"

#include "base/Message.h"
#include "pixel/Representation.h"

namespace {

// a * b, or Unknown when it does not fit 64 bits (Unknown itself stays Unknown).
uint64_t product(uint64_t a, uint64_t b) {
    uint64_t r = 0;
    if (a == CELIO_ImageClaim::Unknown || b == CELIO_ImageClaim::Unknown ||
        __builtin_mul_overflow(a, b, &r) || r == CELIO_ImageClaim::Unknown)
        return CELIO_ImageClaim::Unknown;
    return r;
}

} // namespace

CELIO_ImageClaim::CELIO_ImageClaim(int64_t width, int64_t height, uint64_t channels, uint64_t bytesPerChannel)
    : m_width(width), m_height(height) {
    m_bytes = width < 0 || height < 0
                  ? Unknown
                  : product(product(product(uint64_t(width), uint64_t(height)), channels), bytesPerChannel);
}

bool CELIO_ImageClaim::withinCap() const {
    return m_bytes != Unknown && m_bytes <= CEL_Pixmap::maxPixmapBytes();
}

uint64_t CELIO_ImageClaim::minimumInput(uint64_t decoded, CELIO_Expansion e) {
    if (decoded == Unknown || e.out == 0) return Unknown;
    // ceil(decoded * in / out) without a 128-bit product: whole groups of `out`
    // bytes, then the part of a group that is left.
    const uint64_t groups = decoded / e.out, rest = decoded % e.out;
    const uint64_t whole = product(groups, e.in);
    const uint64_t part = rest ? product(rest, e.in) : 0;
    if (whole == Unknown || part == Unknown) return Unknown;
    const uint64_t partIn = part / e.out + (part % e.out != 0);
    return whole > Unknown - 1 - partIn ? Unknown : whole + partIn;
}

bool CELIO_ImageClaim::fillableFrom(uint64_t available, uint64_t needed) const {
    if (m_bytes == Unknown) return false;
    if (m_bytes <= SmallImageBytes || available == Unknown) return true;
    return needed != Unknown && needed <= available;
}

bool CELIO_ImageClaim::check(const char* format, uint64_t available, CELIO_Expansion e) const {
    return checkInput(format, available, minimumInput(e));
}

bool CELIO_ImageClaim::checkInput(const char* format, uint64_t available, uint64_t needed) const {
    if (withinCap() && fillableFrom(available, needed)) return true;
    postRefusal(format);
    return false;
}

void CELIO_ImageClaim::postRefusal(const char* format) const {
    MSG_Scope("qxcelio", "Invalid %1 size: %2 x %3 pixels claimed\n", 2)
        .arg(format)
        .arg((long long)m_width)
        .arg((long long)m_height)
        .post(10);
}
