#include "cel/VectorQvd.h"

#include <algorithm>

CELVEC_Qvd::CELVEC_Qvd() = default;

CELVEC_Qvd::CELVEC_Qvd(const CELVEC_Qvd& other)
    : CEL_Representation(other), m_premultiply(other.m_premultiply), m_resolution(other.m_resolution),
      m_canvasRect(other.m_canvasRect), m_transMatrix(other.m_transMatrix),
      m_appliedOpacity(other.m_appliedOpacity) {}

CELVEC_Qvd::~CELVEC_Qvd() = default;

CEL_Representation* CELVEC_Qvd::clone() const {
    return nullptr;
}

bool CELVEC_Qvd::convertibleTo(CelFormat format) const {
    return format == PIXMAP_AREA_RGBA16 || format == PIXMAP_RGBA8;
}

CEL_Representation* CELVEC_Qvd::convertTo(CelFormat) const {
    return nullptr;
}

CELVEC_Qvd* CELVEC_Qvd::sharedCopy() const {
    return new CELVEC_Qvd(*this);
}

void CELVEC_Qvd::setResolution(int width, int height) {
    m_resolution = Math::Size2di(std::max(width, 0), std::max(height, 0));
    m_canvasRect = Math::Box2di(0, 0, width, height);
}

void CELVEC_Qvd::setResolution(const Math::Size2di& resolution, const Math::Box2di& canvas) {
    m_resolution = resolution;
    m_canvasRect = canvas;
}

void CELVEC_Qvd::copyResolution(const CELVEC_Qvd& other) {
    m_resolution = other.m_resolution;
    m_canvasRect = other.m_canvasRect;
}
