#include "celio/LayerInfo.h"

#include <cstring>

#include "cel/Cel.h"
#include "celio/Handler.h"
#include "pixel/PixmapCanvas.h"

namespace {

QString displayName(const QString& name, int occurrence) {
    if (occurrence < 2) return name;
    return name + QStringLiteral("#%1").arg(occurrence);
}

} // namespace

QString CELIO_Layer::getDisplayName() const {
    return displayName(name, occurrence);
}

QString CELIO_Layer::path(const char* separator) const {
    const QString sep = QString::fromUtf8(separator ? separator : "");
    QString result;
    if (!groupPath.isEmpty()) result = groupPath.join(sep) + sep;
    result += getDisplayName();
    result.replace(QLatin1Char(' '), QLatin1Char('_'));
    return result;
}

QString CELIO_LayerGroup::getDisplayName() const {
    return displayName(name, occurrence);
}

void CELIO_LayerInfo::update() {
    for (Iterator it(*this); !it.end(); ++it) {
        ++m_layerCount;
        if (it->visible) ++m_visibleLayerCount;
    }
}

CELIO_LayerInfo::Iterator::Iterator(CELIO_LayerInfo& info) : m_info(&info) {
    init();
}

void CELIO_LayerInfo::Iterator::init() {
    m_groups.clear();
    m_subGroupPos.clear();
    m_end = false;
    CELIO_LayerGroup& base = m_info->m_baseGroup;
    m_current = base.layers.begin();
    m_groups.push_back(&base);
    m_subGroupPos.push_back(base.groups.begin());
    if (base.layers.empty()) {
        ++*this;
        if (m_groups.empty()) m_end = true;
    }
}

CELIO_LayerInfo::Iterator& CELIO_LayerInfo::Iterator::operator++() {
    if (m_end) return *this;
    if (m_groups.empty()) {
        m_end = true;
        return *this;
    }
    std::list<CELIO_Layer>& layers = m_groups.back()->layers;
    if (m_current != layers.end()) ++m_current;
    if (m_current == layers.end()) {
        goToNextGroup();
        if (m_groups.empty()) m_end = true;
    }
    return *this;
}

void CELIO_LayerInfo::Iterator::goToNextGroup() {
    while (!m_groups.empty()) {
        CELIO_LayerGroup* group = m_groups.back();
        GroupPos& pos = m_subGroupPos.back();
        if (pos != group->groups.end()) {
            CELIO_LayerGroup& child = *pos;
            m_groups.push_back(&child);
            m_subGroupPos.push_back(child.groups.begin());
            m_current = child.layers.begin();
            if (!child.layers.empty()) return;
            if (!child.groups.empty()) continue; // descend
        }
        // The innermost group is finished: back to its parent's next sub-group.
        m_groups.pop_back();
        m_subGroupPos.pop_back();
        if (m_groups.empty()) return;
        ++m_subGroupPos.back();
    }
}

bool CELIO_Handler::writeWithLayers(CELIO_LayerInfo& layers, const QString& path, const QString& code) const {
    const UT_SharedPtr<CEL_Representation>& composite = layers.getComposite().representation;
    if (!composite) return false;
    UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(CEL_Representation::NONE));
    cel->addRepresentation(composite);
    return write(cel.get(), path, code);
}

bool CELIO_Handler::writeCombined(CEL_Cel* first, CEL_Cel* second, const QString& path, const QString& code,
                                  bool secondFieldFirst) const {
    if (!first || !second) return false;
    if (!first->convertibleTo(CEL_Representation::PIXMAP_RGBA16) ||
        !second->convertibleTo(CEL_Representation::PIXMAP_RGBA16))
        return false;
    const auto a = UT_dynamicCast<CEL_PixmapRGBA16>(first->convertTo(CEL_Representation::PIXMAP_RGBA16));
    const auto b = UT_dynamicCast<CEL_PixmapRGBA16>(second->convertTo(CEL_Representation::PIXMAP_RGBA16));
    if (!a || !b) return false;
    if (a->width() != b->width() || a->height() != b->height()) return false;

    const int width = a->width();
    const int height = a->height();
    UT_SharedPtr<CEL_PixmapRGBA16> combined(new CEL_PixmapRGBA16(width, height));
    if (width > 0 && height > 0 && !combined->data()) return false; // out of memory, already reported
    const CEL_PixmapRGBA16* even = secondFieldFirst ? b.get() : a.get();
    const CEL_PixmapRGBA16* odd = secondFieldFirst ? a.get() : b.get();
    const size_t rowBytes = size_t(width) * sizeof(CEL_PixelRGBA16);
    for (int y = 0; y < height; ++y) {
        const CEL_PixmapRGBA16* src = (y & 1) ? odd : even;
        std::memcpy(combined->pixel(0, y), src->pixel(0, y), rowBytes);
    }
    UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(CEL_Representation::PIXMAP_RGBA16));
    cel->addRepresentation(combined);
    return write(cel.get(), path, code);
}
