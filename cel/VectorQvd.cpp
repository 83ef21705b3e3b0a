#include "cel/VectorQvd.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <memory>
#include <new>

#include "base/FileSpec.h"
#include "base/Mutex.h"
#include "base/Platform.h"
#include "base/Projection.h"
#include "base/QXMaths.h"
#include "cel/Cel.h"
#include "cel/Context.h"
#include "cel/VectorQvdDetail.h"
#include "pixel/PixelBuffer.h"
#include "pixel/PixmapArea.h"
#include "pixel/PixmapCanvas.h"

// ------------------------------------------------------------------ colour transforms

CEL_ColorTransform::~CEL_ColorTransform() = default;

CELVEC_ColorMatrix* CELVEC_ColorMatrix::clone() const {
    return new CELVEC_ColorMatrix(*this);
}

void CELVEC_ColorMatrix::setArea(const Math::Matrix4x4& toCanvasDevice, const Math::Box2d& worldBox) {
    m_hasArea = true;
    m_areaMatrix = toCanvasDevice;
    m_areaBox = worldBox;
}

// ------------------------------------------------------------------ CELVEC_Qvd

namespace {

// Height of the drawing domain in world units (y from -1875 to 1875).
constexpr double kDomainHalfHeight = 1875.0;

} // namespace

CELVEC_Qvd::CELVEC_Qvd() : m_drawing(new GR_CompositeVectorDrawingObj) {
    m_richLineStyle.setOutputResolution(m_resolution);
}

CELVEC_Qvd::CELVEC_Qvd(const CELVEC_Qvd& other)
    : CEL_Representation(other), m_premultiply(other.m_premultiply), m_artSelector(other.m_artSelector),
      m_renderTexture(other.m_renderTexture), m_renderLineTexture(other.m_renderLineTexture),
      m_colorTransform(other.m_colorTransform ? other.m_colorTransform->clone() : nullptr),
      m_richLineStyle(other.m_richLineStyle), m_antialiasQuality(other.m_antialiasQuality),
      m_antialiasParam(other.m_antialiasParam), m_textureFilter(other.m_textureFilter),
      m_resolution(other.m_resolution), m_canvasRect(other.m_canvasRect), m_transMatrix(other.m_transMatrix),
      m_reserved(other.m_reserved), m_drawingRenderer(other.m_drawingRenderer), m_drawing(other.m_drawing),
      m_appliedOpacity(other.m_appliedOpacity) {}

CELVEC_Qvd::~CELVEC_Qvd() {
    delete m_colorTransform;
}

CEL_Representation* CELVEC_Qvd::clone() const {
    return nullptr;
}

bool CELVEC_Qvd::convertibleTo(CelFormat format) const {
    return format == PIXMAP_AREA_RGBA16 || format == PIXMAP_RGBA8;
}

CEL_Representation* CELVEC_Qvd::convertTo(CelFormat format) const {
    if (!m_drawing) return nullptr;
    PL_AppLock::PaletteReadLock lock;
    if (format == PIXMAP_AREA_RGBA16) return softRenderBBox(m_drawing.get());
    if (format == PIXMAP_RGBA8) return softRender8(m_drawing.get());
    return nullptr;
}

CELVEC_Qvd* CELVEC_Qvd::sharedCopy() const {
    return new CELVEC_Qvd(*this);
}

void CELVEC_Qvd::extendCompositeRenderingInfo(const std::vector<UT_SharedPtr<CEL_Representation>>&) {}

SR_ShaderFactory* CELVEC_Qvd::getShaderFactory() const {
    return nullptr;
}

void CELVEC_Qvd::setColorTransform(CEL_ColorTransform* transform) {
    if (transform == m_colorTransform) return;
    delete m_colorTransform;
    m_colorTransform = transform;
}

void CELVEC_Qvd::setRichLineStyleParameters(const GR_RichLineStyleRenderingParams& params) {
    m_richLineStyle = params;
    updateParametersResolution();
}

void CELVEC_Qvd::setAntialiasingParam(AntialiasQuality quality, double param, TextureFilter filter) {
    m_antialiasQuality = quality;
    m_antialiasParam = param;
    m_textureFilter = filter;
}

int CELVEC_Qvd::srTextureFilter() const {
    switch (m_textureFilter) {
    case 0:
        return 1;
    case 1:
        return 0;
    case 2:
        return 2;
    default:
        return 1;
    }
}

int CELVEC_Qvd::srAntialiasMode() const {
    switch (m_antialiasQuality) {
    case 0:
    case 1:
        return 0;
    case 2:
        return 1;
    case 3:
        return 2;
    default:
        return 3;
    }
}

void CELVEC_Qvd::setResolution(int width, int height) {
    m_resolution = Math::Size2di(std::max(width, 0), std::max(height, 0));
    m_canvasRect = Math::Box2di(0, 0, width, height);
    updateParametersResolution();
}

void CELVEC_Qvd::setResolution(const Math::Size2di& resolution, const Math::Box2di& canvas) {
    m_resolution = resolution;
    m_canvasRect = canvas;
    updateParametersResolution();
}

void CELVEC_Qvd::copyResolution(const CELVEC_Qvd& other) {
    m_resolution = other.m_resolution;
    m_canvasRect = other.m_canvasRect;
    updateParametersResolution();
}

void CELVEC_Qvd::updateParametersResolution() {
    m_richLineStyle.setOutputResolution(m_resolution);
}

CM_PaletteList* CELVEC_Qvd::getDrawingColors() const {
    return m_drawing ? m_drawing->GetDrawingColors() : nullptr;
}

void CELVEC_Qvd::initDrawing(CM_PaletteList* palettes) {
    if (!m_drawing) m_drawing = new GR_CompositeVectorDrawingObj;
    m_drawing->SetDrawingColors(palettes);
}

namespace {

// Loads through `load` with the context's palette list, then recovers colours.
template <class LoadFn>
bool loadDrawing(UT_SharedPtr<GR_CompositeVectorDrawingObj>& drawing, const CEL_Context& context,
                 LoadFn load) {
    const CM_ColorRecoveryContext recovery(context.isColorRecovery(), context.isDelayedColorRecovery(),
                                           context.useElementPaletteList());
    // An interactive host always hands a palette list; without one there is nothing to show colours with.
    if (WHO_Identity::isInteractive() && !context.paletteList()) return false;
    if (!drawing) drawing = new GR_CompositeVectorDrawingObj;
    drawing->SetDrawingColors(context.paletteList());
    const bool ok = load(*drawing);
    if (drawing->NeedsColorRecovery()) {
        PL_AppLock::PaletteLock lock;
        if (ok)
            drawing->PerformColorRecovery(recovery);
        else
            drawing->FlushColorRecovery();
    }
    return ok;
}

} // namespace

bool CELVEC_Qvd::Load(const UT_RelPath& path, const CEL_Context& context) {
    const PL_FileSpec spec = path.fileSpec();
    return loadDrawing(m_drawing, context, [&spec](GR_CompositeVectorDrawingObj& d) { return d.Load(spec); });
}

bool CELVEC_Qvd::LoadFromStdin(const CEL_Context& context) {
    return loadDrawing(m_drawing, context, [](GR_CompositeVectorDrawingObj& d) { return d.LoadFromStdin(); });
}

bool CELVEC_Qvd::StoreToFile(const PL_FileSpec& spec, int version) {
    if (!m_drawing || !PL_FileUtil::CanWriteFile(spec)) return false;
    // An empty file holds no drawing worth a backup (a caller's fresh temporary file).
    if (QFileInfo(spec.path()).size() > 0 && !PL_FileUtil::BackupFile(spec)) return false;
    const PL_FileSpec fresh = PL_FileUtil::NewFileSpec(spec);
    if (!m_drawing->Store(fresh, version) || !PL_FileUtil::RenameNewFile(spec)) {
        QFile::remove(fresh.path());
        m_drawing->SetModified(true);
        return false;
    }
    return true;
}

bool CELVEC_Qvd::StoreToStdout(int version) {
    return m_drawing && m_drawing->StoreToStdout(version);
}

CM_SharedPtr<CM_PaletteList> CELVEC_Qvd::getPaletteFromDrawingPath(const QString& path) {
    return CM_PaletteManager::GetPaletteListFromPath(path);
}

Math::Matrix4x4 CELVEC_Qvd::getDrawingDomainScalingMatrix() const {
    const double aspect = m_resolution.width > 0 && m_resolution.height > 0
                              ? double(m_resolution.width) / double(m_resolution.height)
                              : 4.0 / 3.0;
    return Math::Matrix4x4::scaling(1.0 / (kDomainHalfHeight * aspect), 1.0 / kDomainHalfHeight, 1.0);
}

Math::Matrix4x4 CELVEC_Qvd::getModelToNormalizedDeviceMatrix() const {
    return getDrawingDomainScalingMatrix() * m_transMatrix;
}

Math::Matrix4x4 CELVEC_Qvd::getDeformableModelToNormalizedDeviceMatrix() const {
    return getModelToNormalizedDeviceMatrix();
}

void CELVEC_Qvd::copyRenderingParams(const CELVEC_Qvd* other, bool includeTransform) {
    if (!other || other == this) return;
    m_premultiply = other->m_premultiply;
    m_artSelector = other->m_artSelector;
    m_renderTexture = other->m_renderTexture;
    m_renderLineTexture = other->m_renderLineTexture;
    setColorTransform(other->m_colorTransform ? other->m_colorTransform->clone() : nullptr);
    m_richLineStyle = other->m_richLineStyle;
    updateParametersResolution();
    m_antialiasQuality = other->m_antialiasQuality;
    m_antialiasParam = other->m_antialiasParam;
    m_textureFilter = other->m_textureFilter;
    if (includeTransform) m_transMatrix = other->m_transMatrix;
}

void CELVEC_Qvd::copyAttributes(const CELVEC_Qvd* other) {
    if (!other || other == this) return;
    copyRenderingParams(other, true);
    copyResolution(*other);
    m_reserved = other->m_reserved;
    m_drawingRenderer = other->m_drawingRenderer;
    m_appliedOpacity = other->m_appliedOpacity;
}

bool CELVEC_Qvd::compositeOnTop(const CELVEC_Qvd* other, const Math::Matrix4x4& m) {
    if (!other || !other->m_drawing || !m_drawing) return false;
    return GR_DrawingAccess::Merge(*m_drawing, *other->m_drawing, m);
}

void CELVEC_Qvd::compositeEnd(bool modified) {
    if (!m_drawing) return;
    m_drawing->SetModified(modified);
    m_drawing->SetDrawingColors(m_drawing->GetDrawingColors());
}

GR_SoftRenderOptions CELVEC_Qvd::renderOptions() const {
    GR_SoftRenderOptions o;
    o.lineTexture = m_renderLineTexture;
    o.textureFilter = srTextureFilter();
    o.antialiasMode = srAntialiasMode();
    o.antialiasParam = m_antialiasParam;
    o.colorTransform = m_colorTransform;
    if (const auto* matrix = dynamic_cast<const CELVEC_ColorMatrix*>(m_colorTransform))
        o.colorMatrix = &matrix->matrix();
    o.richLineStyle = m_richLineStyle;
    o.shaderFactory = getShaderFactory();
    o.modelToNormalizedDevice = getModelToNormalizedDeviceMatrix();
    o.drawingShader = m_drawingRenderer ? m_drawingRenderer->getShader(m_drawing.get()) : nullptr;
    o.resolution = Math::Size2di(std::max(m_resolution.width, 0), std::max(m_resolution.height, 0));
    return o;
}

CEL_PixmapRGBA8* CELVEC_Qvd::softRender8(const GR_CompositeVectorDrawingObj* drawing) const {
    if (!drawing) return nullptr;
    const Math::Size2di size(std::max(m_resolution.width, 0), std::max(m_resolution.height, 0));
    // The renderer writes every pixel.
    auto pixmap = std::make_unique<CEL_PixmapRGBA8>(size, CEL_PixmapRGBA8::DoNotMemset());
    if (size.width == 0 || size.height == 0) return pixmap.release();
    if (!pixmap->data()) return nullptr;
    GR_RenderTarget target;
    target.depth = GR_RenderTarget::Depth8;
    target.data = pixmap->data();
    target.stride = std::ptrdiff_t(size.width) * 4;
    target.rect = Math::Box2di(0, 0, size.width, size.height);
    target.premultiply = m_premultiply;
    target.binaryAlpha = srAntialiasMode() == 0;
    GR_LayerSoftRenderer renderer(renderOptions());
    renderer.setTarget(target);
    if (!drawing->RenderDrawing(renderer, m_artSelector)) return nullptr;
    return pixmap.release();
}

Math::Box2di CELVEC_Qvd::renderRect(const GR_CompositeVectorDrawingObj* drawing) const {
    const Math::Box2di canvas = m_canvasRect;
    if (!drawing || canvas.hasNullArea() || m_resolution.width <= 0 || m_resolution.height <= 0) return {};
    const Math::Matrix4x4 m = getModelToNormalizedDeviceMatrix();
    Math::Box2d box;
    Math::Matrix4x4 n;
    const auto* area = dynamic_cast<const CELVEC_ColorMatrix*>(m_colorTransform);
    if (area && area->hasArea()) {
        box = area->areaBox();
        n = area->areaMatrix();
    } else {
        box = m_richLineStyle.isIdentity()
                  ? drawing->GetVisibleWorldBBox(m_artSelector)
                  : drawing->GetVisibleWorldBBox(m_richLineStyle.getThicknessRenderParameters(m),
                                                 m_artSelector);
        // From normalised device coordinates of the resolution to those of the canvas.
        const double rw = m_resolution.width, rh = m_resolution.height, cw = canvas.w(), ch = canvas.h();
        const Math::Matrix4x4 scale = Math::Matrix4x4::scaling(rw / cw, rh / ch, 1.0);
        const Math::Matrix4x4 move = Math::Matrix4x4::translation(
            1.0 - ((canvas.x1() + cw * 0.5) / rw) * 2.0, ((canvas.y1() + ch * 0.5) / rh) * 2.0 - 1.0);
        n = scale * move * m;
    }
    if (box.isEmpty()) return {};
    Math::Polyline4d corners({{box.x1(), box.y1(), 0.0, 1.0},
                              {box.x2(), box.y1(), 0.0, 1.0},
                              {box.x2(), box.y2(), 0.0, 1.0},
                              {box.x1(), box.y2(), 0.0, 1.0}});
    corners.transform(n);
    Math::Point3d lo, hi;
    if (!corners.clip() || !corners.box3d(lo, hi)) return {};
    const int x1 = canvas.x1(), y1 = canvas.y1(), w = canvas.w(), h = canvas.h();
    const auto limitX = [&canvas](int v) { return std::clamp(v, canvas.x1(), canvas.x2()); };
    const auto limitY = [&canvas](int v) { return std::clamp(v, canvas.y1(), canvas.y2()); };
    const int left = limitX(x1 + QXMaths::ifloor(w * (lo.x + 1.0) * 0.5) - 2);
    const int top = limitY(y1 + QXMaths::ifloor(h * (1.0 - hi.y) * 0.5) - 2);
    const int right = limitX(x1 + QXMaths::iceiling(w * (hi.x + 1.0) * 0.5) + 2);
    const int bottom = limitY(y1 + QXMaths::iceiling(h * (1.0 - lo.y) * 0.5) + 2);
    if (right <= left || bottom <= top) return {};
    return Math::Box2di::fromCorners(left, top, right, bottom);
}

CEL_PixmapAreaRGBA16* CELVEC_Qvd::softRenderBBox(const GR_CompositeVectorDrawingObj* drawing) const {
    if (!drawing) return nullptr;
    const Math::Size2di size(std::max(m_resolution.width, 0), std::max(m_resolution.height, 0));
    auto area = std::make_unique<CEL_PixmapAreaRGBA16>(size, m_canvasRect);
    const Math::Box2di rect = renderRect(drawing);
    if (rect.hasNullArea()) return area.release();
    // Every pixel is written: no clearing.
    CEL_PixelRGBA16* data = CEL_PixelBuffer::allocate<CEL_PixelRGBA16>(rect.area(), false);
    if (!data) {
        CEL_PixelBuffer::postOutOfMemory(rect.w(), rect.h(), "PIXMAP_AREA_RGBA16");
        return nullptr;
    }
    GR_RenderTarget target;
    target.depth = GR_RenderTarget::Depth16;
    target.data = data;
    target.stride = std::ptrdiff_t(rect.w()) * std::ptrdiff_t(sizeof(CEL_PixelRGBA16));
    target.rect = rect;
    target.premultiply = m_premultiply;
    target.binaryAlpha = srAntialiasMode() == 0;
    GR_LayerSoftRenderer renderer(renderOptions());
    renderer.setTarget(target);
    if (!drawing->RenderDrawing(renderer, m_artSelector) || !area->alloc(rect, data)) {
        delete[] data;
        return nullptr;
    }
    return area.release();
}

// ------------------------------------------------------------------ CELVEC_Qvdo

CELVEC_Qvdo::CELVEC_Qvdo() : m_drawing(new GR_OptimizedVectorDrawingObj) {}

CELVEC_Qvdo::CELVEC_Qvdo(const UT_SharedPtr<GR_OptimizedVectorDrawingObj>& drawing) : m_drawing(drawing) {}

CELVEC_Qvdo::~CELVEC_Qvdo() = default;

CEL_Representation* CELVEC_Qvdo::clone() const {
    return new CELVEC_Qvdo(m_drawing);
}

bool CELVEC_Qvdo::Load(const PL_FileSpec& spec, const CEL_Context&) {
    if (!m_drawing) m_drawing = new GR_OptimizedVectorDrawingObj;
    return m_drawing->Load(spec);
}

bool CELVEC_Qvdo::Store(const PL_FileSpec& spec) {
    return m_drawing && m_drawing->Store(spec);
}

// ------------------------------------------------------------------ optimised versions

CELVEC_OptimizedQvd::~CELVEC_OptimizedQvd() = default;

UT_SharedPtr<GR_OptimizedVectorDrawingObj> CELVEC_OptimizedQvd::optimizedDrawing() const {
    return {};
}

CELVEC_OptimizedQvd* CELVEC_OptimizedQvd::buildOptimizedVersion(CELVEC_Qvd* cel, VS_Canvas* canvas,
                                                                bool lineArt, bool colorArt,
                                                                bool resolveColors, float tolerance) {
    const GR_CompositeVectorDrawingObj* drawing = cel ? cel->getDrawingObject() : nullptr;
    if (!drawing) return nullptr;
    const GR_RichLineStyleRenderingParams& style = cel->richLineStyleParameters();
    const Math::Box2d box =
        style.isIdentity() ? drawing->GetVisibleWorldBBox()
                           : drawing->GetVisibleWorldBBox(
                                 style.getThicknessRenderParameters(cel->getModelToNormalizedDeviceMatrix()));
    UT_SharedPtr<GR_OptimizedVectorDrawingObj> built;
    {
        PL_AppLock::PaletteReadLock lock; // the colours resolved stay one palette's
        built = drawing->BuildOptimizedVersion(canvas, lineArt, colorArt, resolveColors, tolerance, box);
    }
    if (!built) return nullptr;
    auto* version = new QXOptimizedCelQvdImpl(built);
    version->setBoundingBox(box);
    version->setFieldSize(built->fieldSize());
    return version;
}
