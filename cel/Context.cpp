#include "cel/Context.h"

#include "base/Palette.h"
#include "base/Platform.h"

struct CEL_Context::Impl {
    bool delayedColorRecovery = false;
    bool colorRecovery = false;
    bool useElementPaletteList = false;
    CM_SharedPtr<CM_PaletteList> paletteList;
    int animationFrame = 0;
    QString layerPath;
    double zMultiplier = 1.0;
    bool loadDelayed = false;
};

CEL_Context::CEL_Context() : m_impl(new Impl) {
    // A batch render never waits for a later recovery pass: there is none.
    m_impl->delayedColorRecovery =
        ST_BatchParams::isBatchRendering() ? false : ST_ColorRecovery::isDelayedColorRecovery();
    m_impl->colorRecovery = ST_ColorRecovery::isColorRecovery();
    m_impl->useElementPaletteList = ST_ColorRecovery::isUseElementPaletteList();
}

CEL_Context::CEL_Context(bool colorRecovery, bool delayedColorRecovery, bool useElementPaletteList,
                         CM_PaletteList* paletteList, int animationFrame, const QString& layerPath,
                         double zMultiplier)
    : m_impl(new Impl) {
    m_impl->colorRecovery = colorRecovery;
    m_impl->delayedColorRecovery = delayedColorRecovery;
    m_impl->useElementPaletteList = useElementPaletteList;
    m_impl->paletteList = paletteList;
    m_impl->animationFrame = animationFrame;
    m_impl->layerPath = layerPath;
    m_impl->zMultiplier = zMultiplier;
}

CEL_Context::CEL_Context(const CEL_Context& other) : m_impl(new Impl(*other.m_impl)) {}

CEL_Context& CEL_Context::operator=(const CEL_Context& other) {
    if (this != &other) *m_impl = *other.m_impl;
    return *this;
}

CEL_Context::~CEL_Context() {
    delete m_impl;
}

bool CEL_Context::isColorRecovery() const {
    return m_impl->colorRecovery;
}
bool CEL_Context::isDelayedColorRecovery() const {
    return m_impl->delayedColorRecovery;
}
bool CEL_Context::useElementPaletteList() const {
    return m_impl->useElementPaletteList;
}
CM_PaletteList* CEL_Context::paletteList() const {
    return m_impl->paletteList.get();
}
int CEL_Context::animationFrame() const {
    return m_impl->animationFrame;
}
const QString& CEL_Context::layerPath() const {
    return m_impl->layerPath;
}
double CEL_Context::zMultiplier() const {
    return m_impl->zMultiplier;
}
bool CEL_Context::loadDelayed() const {
    return m_impl->loadDelayed;
}

void CEL_Context::setZMultiplier(double zMultiplier) {
    m_impl->zMultiplier = zMultiplier;
}
void CEL_Context::setLoadDelayed(bool loadDelayed) {
    m_impl->loadDelayed = loadDelayed;
}
