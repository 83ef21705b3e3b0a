#pragma once
// Vector cels: a cel drawn with vector strokes (CELVEC_Qvd, format VECTOR), an
// optimised drawing (CELVEC_Qvdo, format VECTOR_OPTIMIZED), and the builder of
// optimised versions (CELVEC_OptimizedQvd). The drawing objects, their files
// and the renderer are in base/VectorDrawing.h.
//
// CELVEC_Qvd wraps a shared composite drawing with what rasterising it needs:
// the output resolution and canvas rectangle, a model transformation, which
// arts to draw, antialiasing and texture settings, a colour transform and an
// opacity (stored, never applied here). Converting it renders the drawing:
//
//   PIXMAP_RGBA8        softRender8: the whole resolution.
//   PIXMAP_AREA_RGBA16  softRenderBBox: an area pixmap of the resolution whose
//                       canvas is canvasRect, allocated only where the drawing
//                       is (its visible world box, 2 pixels of margin, within
//                       the canvas).
//
// Both hold colour premultiplied by alpha (8-bit: trunc(c a / 255); 16-bit
// on 0 ... 32767, rounded), or straight colour when premultiply is off. With
// antialiasing quality 0 or 1 (mode 0) nothing is antialiased and partial
// alpha is removed: below half transparent black, else opaque with the colour
// divided by alpha.
//
// The model matrix maps world units (base/VectorDrawing.h) before the drawing
// domain does: normalised device = domain scaling x transMatrix x world, with
// the domain 3750 units tall (y +-1875) and width / height times as wide.

#include <vector>

#include "base/MathTypes.h"
#include "base/VectorDrawing.h"
#include "celcore_export.h"
#include "pixel/Representation.h"

class CEL_Context;
class CEL_PixmapAreaRGBA16;
class CEL_PixmapRGBA8;
class PL_FileSpec;
class UT_RelPath;
class SR_ShaderFactory;

// A colour transform a client attaches to a vector cel (which then owns it).
class CELCORE_EXPORT CEL_ColorTransform {
public:
    CEL_ColorTransform() = default;
    CEL_ColorTransform(const CEL_ColorTransform&) = default;
    CEL_ColorTransform& operator=(const CEL_ColorTransform&) = default;
    virtual ~CEL_ColorTransform();
    // A copy owned by the caller: copies of the cel each own theirs.
    virtual CEL_ColorTransform* clone() const = 0;
};

// The colour transform the renderer applies: a 4 x 5 matrix on every colour
// drawn (GR_ColorMatrix), and optionally the area softRenderBBox allocates:
// the world box through the matrix to normalised device coordinates of the
// canvas, instead of the drawing's own box.
class CELCORE_EXPORT CELVEC_ColorMatrix : public CEL_ColorTransform {
public:
    CELVEC_ColorMatrix() = default;
    explicit CELVEC_ColorMatrix(const GR_ColorMatrix& matrix) : m_matrix(matrix) {}
    CELVEC_ColorMatrix* clone() const override;

    const GR_ColorMatrix& matrix() const { return m_matrix; }
    void setMatrix(const GR_ColorMatrix& matrix) { m_matrix = matrix; }

    bool hasArea() const { return m_hasArea; }
    const Math::Matrix4x4& areaMatrix() const { return m_areaMatrix; }
    const Math::Box2d& areaBox() const { return m_areaBox; }
    void setArea(const Math::Matrix4x4& toCanvasDevice, const Math::Box2d& worldBox);
    void clearArea() { m_hasArea = false; }

private:
    GR_ColorMatrix m_matrix;
    bool m_hasArea = false;
    Math::Matrix4x4 m_areaMatrix;
    Math::Box2d m_areaBox;
};

class CELCORE_EXPORT CELVEC_Qvd : public CEL_Representation {
public:
    // 32-bit enumerations; values outside them are stored as given.
    enum AntialiasQuality : int32_t {
        AntialiasNone = 0,
        AntialiasLow = 1,
        AntialiasMedium = 2,
        AntialiasHigh = 3,
        AntialiasBest = 4,
    };
    enum TextureFilter : int32_t {
        TextureLinear = 0,
        TextureNearest = 1,
        TextureMipmap = 2,
    };

    // 720 x 540, canvas (0, 0, 720, 540), a new empty drawing.
    CELVEC_Qvd();
    // Shares the drawing, copies the settings, duplicates the colour transform.
    CELVEC_Qvd(const CELVEC_Qvd& other);
    CELVEC_Qvd& operator=(const CELVEC_Qvd&) = delete;
    ~CELVEC_Qvd() override;

    CelFormat getFormat() const override { return VECTOR; }
    // Null: the drawing is shared, never deep-copied (use sharedCopy()).
    CEL_Representation* clone() const override;
    using CEL_Representation::clone;
    // True for PIXMAP_AREA_RGBA16 and PIXMAP_RGBA8.
    bool convertibleTo(CelFormat format) const override;
    // Under the shared palette lock: softRenderBBox for PIXMAP_AREA_RGBA16,
    // softRender8 for PIXMAP_RGBA8, null otherwise and without a drawing.
    CEL_Representation* convertTo(CelFormat format) const override;
    Math::Box2di canvasRect() const override { return m_canvasRect; }

    // A new CELVEC_Qvd made by the copy constructor.
    virtual CELVEC_Qvd* sharedCopy() const;
    // Does nothing here.
    virtual void extendCompositeRenderingInfo(const std::vector<UT_SharedPtr<CEL_Representation>>& reps);
    // Null here.
    virtual SR_ShaderFactory* getShaderFactory() const;

    // ---- settings
    bool premultiply() const { return m_premultiply; }
    void setPremultiply(bool premultiply) { m_premultiply = premultiply; }
    const GR_ArtSelector& artSelector() const { return m_artSelector; }
    void setArtSelector(const GR_ArtSelector& art) { m_artSelector = art; }
    bool renderLineArt() const { return m_artSelector.renderLineArt(); }
    bool renderColorArt() const { return m_artSelector.renderColorArt(); }
    bool renderUnderlayArt() const { return m_artSelector.renderUnderlayArt(); }
    bool renderOverlayArt() const { return m_artSelector.renderOverlayArt(); }
    bool renderTexture() const { return m_renderTexture; }
    void setRenderTexture(bool on) { m_renderTexture = on; }
    bool renderLineTexture() const { return m_renderLineTexture; }
    void setRenderLineTexture(bool on) { m_renderLineTexture = on; }

    // Owned; null by default.
    const CEL_ColorTransform* colorTransform() const { return m_colorTransform; }
    // Takes ownership (the previous one is deleted).
    void setColorTransform(CEL_ColorTransform* transform);
    void clearColorTransform() { setColorTransform(nullptr); }

    const GR_RichLineStyleRenderingParams& richLineStyleParameters() const { return m_richLineStyle; }
    // Taken with the output resolution set to this cel's resolution.
    void setRichLineStyleParameters(const GR_RichLineStyleRenderingParams& params);

    void setAntialiasingParam(AntialiasQuality quality, double param, TextureFilter filter);
    AntialiasQuality antialiasingMode() const { return m_antialiasQuality; }
    double antialiasParam() const { return m_antialiasParam; }
    TextureFilter textureFilter() const { return m_textureFilter; }
    // The renderer's filter: 0 -> 1, 1 -> 0, 2 -> 2, anything else -> 1.
    int srTextureFilter() const;
    // The renderer's antialiasing mode: 0 and 1 -> 0, 2 -> 1, 3 -> 2, anything else -> 3.
    int srAntialiasMode() const;

    const Math::Size2di& resolution() const { return m_resolution; }
    // The resolution (negatives as 0) and the canvas rectangle (0, 0, w, h).
    void setResolution(int width, int height);
    // Both taken unchanged.
    void setResolution(const Math::Size2di& resolution, const Math::Box2di& canvas);
    void copyResolution(const CELVEC_Qvd& other);
    // The line style's output resolution becomes the resolution.
    void updateParametersResolution();

    // The model transformation the drawing is rendered with (identity by default).
    const Math::Matrix4x4& getTransMatrix() const { return m_transMatrix; }
    void setTransMatrix(const Math::Matrix4x4& m) { m_transMatrix = m; }
    // Applies m after the current transformation: transMatrix = m * transMatrix.
    void applyMatrix(const Math::Matrix4x4& m) { m_transMatrix = m * m_transMatrix; }

    // Not owned; null by default.
    SR_SoftRendererDrawingInterface* drawingRenderer() const { return m_drawingRenderer; }
    void setDrawingRenderer(SR_SoftRendererDrawingInterface* renderer) { m_drawingRenderer = renderer; }

    // Stored for the host; the renders here do not apply it.
    double appliedOpacity() const { return m_appliedOpacity; }
    void setAppliedOpacity(double opacity) { m_appliedOpacity = opacity; }

    // ---- the drawing
    GR_CompositeVectorDrawingObj* getDrawingObject() const { return m_drawing.get(); }
    // The drawing's palette list (may be null).
    CM_PaletteList* getDrawingColors() const;
    // Gives the drawing the palette list.
    void initDrawing(CM_PaletteList* palettes);

    // Reads a QVX file into the drawing with the context's palette list and
    // colour recovery. In an interactive process a context without palette
    // list loads nothing (false). Recovery runs under PL_AppLock::PaletteLock:
    // flushed when the load failed, performed when it succeeded.
    bool Load(const UT_RelPath& path, const CEL_Context& context);
    bool LoadFromStdin(const CEL_Context& context);
    // Writes a QVX file (version 0: the current one): false when the file
    // cannot be written; the previous file is kept as NAME.bak, the drawing is
    // written beside it (NAME.new) and renamed over it; the drawing's modified
    // flag is cleared on success. Callers hold PL_AppLock::PaletteLock.
    bool StoreToFile(const PL_FileSpec& spec, int version);
    bool StoreToStdout(int version);
    // The palette list of the folder holding the drawing (CM_PaletteManager).
    static CM_SharedPtr<CM_PaletteList> getPaletteFromDrawingPath(const QString& path);

    // ---- matrices
    // World units to normalised device coordinates of the drawing domain:
    // x / (1875 width / height), y / 1875.
    Math::Matrix4x4 getDrawingDomainScalingMatrix() const;
    // Domain scaling x transMatrix.
    Math::Matrix4x4 getModelToNormalizedDeviceMatrix() const;
    // The same (drawings here have no deformers).
    Math::Matrix4x4 getDeformableModelToNormalizedDeviceMatrix() const;

    // ---- copies between cels (null: nothing)
    // Every setting of other but the drawing.
    void copyAttributes(const CELVEC_Qvd* other);
    // Art selector, textures, antialiasing, line style, colour transform and
    // premultiply; with includeTransform also the model matrix.
    void copyRenderingParams(const CELVEC_Qvd* other, bool includeTransform);

    // Merges other's line art and colour art, mapped through m (other's world
    // into this one), into this drawing (GR_DrawingAccess::Merge).
    bool compositeOnTop(const CELVEC_Qvd* other, const Math::Matrix4x4& m);
    // Ends a series of merges: the drawing's modified flag becomes `modified`,
    // and its palette ids are checked against its list again.
    void compositeEnd(bool modified);

    // ---- rendering
    // The renderer options of both renders (the maps of the settings above).
    GR_SoftRenderOptions renderOptions() const;
    // The whole resolution as 8-bit RGBA; null when it cannot be allocated.
    CEL_PixmapRGBA8* softRender8(const GR_CompositeVectorDrawingObj* drawing) const;
    // The area the drawing covers as 16-bit RGBA; null on failure.
    CEL_PixmapAreaRGBA16* softRenderBBox(const GR_CompositeVectorDrawingObj* drawing) const;
    // The rectangle softRenderBBox allocates (canvas coordinates; empty when
    // the drawing shows nothing there).
    Math::Box2di renderRect(const GR_CompositeVectorDrawingObj* drawing) const;

private:
    bool m_premultiply = true;
    GR_ArtSelector m_artSelector;
    bool m_renderTexture = true;
    bool m_renderLineTexture = true;
    CEL_ColorTransform* m_colorTransform = nullptr;
    GR_RichLineStyleRenderingParams m_richLineStyle;
    AntialiasQuality m_antialiasQuality = AntialiasHigh;
    double m_antialiasParam = 1.0;
    TextureFilter m_textureFilter = TextureMipmap;
    Math::Size2di m_resolution{720, 540};
    Math::Box2di m_canvasRect{0, 0, 720, 540};
    Math::Matrix4x4 m_transMatrix;
    int32_t m_reserved = 1; // a 32-bit setting of the drawing's layout; nothing here reads it
    SR_SoftRendererDrawingInterface* m_drawingRenderer = nullptr;
    UT_SharedPtr<GR_CompositeVectorDrawingObj> m_drawing;
    double m_appliedOpacity = 100.0;
};

// An optimised drawing as a representation: only loaded and stored.
class CELCORE_EXPORT CELVEC_Qvdo : public CEL_Representation {
public:
    // A new empty optimised drawing.
    CELVEC_Qvdo();
    explicit CELVEC_Qvdo(const UT_SharedPtr<GR_OptimizedVectorDrawingObj>& drawing);
    ~CELVEC_Qvdo() override;

    CelFormat getFormat() const override { return VECTOR_OPTIMIZED; }
    // A new representation sharing the drawing.
    CEL_Representation* clone() const override;
    using CEL_Representation::clone;
    bool convertibleTo(CelFormat) const override { return false; }
    CEL_Representation* convertTo(CelFormat) const override { return nullptr; }
    virtual bool hasOpenGL() const { return false; }

    const UT_SharedPtr<GR_OptimizedVectorDrawingObj>& drawing() const { return m_drawing; }
    bool Load(const PL_FileSpec& spec, const CEL_Context& context);
    bool Store(const PL_FileSpec& spec);

private:
    UT_SharedPtr<GR_OptimizedVectorDrawingObj> m_drawing;
};

// The box, pivot and field size of an optimised version of a vector cel; the
// builder returns an internal subclass that also holds the optimised drawing.
class CELCORE_EXPORT CELVEC_OptimizedQvd {
public:
    CELVEC_OptimizedQvd() = default;
    CELVEC_OptimizedQvd(const CELVEC_OptimizedQvd&) = default;
    CELVEC_OptimizedQvd& operator=(const CELVEC_OptimizedQvd&) = default;
    virtual ~CELVEC_OptimizedQvd();

    const Math::Box2d& boundingBox() const { return m_boundingBox; }
    void setBoundingBox(const Math::Box2d& box) { m_boundingBox = box; }
    const Math::Point2d& GetPivotPoint() const { return m_pivot; }
    bool IsPivotPointDefined() const { return m_pivotDefined; }
    void setPivotInfo(const Math::Point2d& pivot, bool defined) { m_pivot = pivot, m_pivotDefined = defined; }
    float getFieldSize() const { return m_fieldSize; }
    void setFieldSize(float size) { m_fieldSize = size; }

    // The optimised drawing with this object's box, pivot and field size; null here.
    virtual UT_SharedPtr<GR_OptimizedVectorDrawingObj> optimizedDrawing() const;

    // Builds the optimised version of the cel's drawing (GR_CompositeVectorDrawingObj::
    // BuildOptimizedVersion) with the cel's visible world box and palette list:
    // lineArt and colorArt choose the arts, resolveColors takes listed
    // palette colours, tolerance is the flattening tolerance in world units.
    // Null for a null cel or drawing, or when the drawing cannot be built.
    // The caller owns the result.
    static CELVEC_OptimizedQvd* buildOptimizedVersion(CELVEC_Qvd* cel, VS_Canvas* canvas, bool lineArt,
                                                      bool colorArt, bool resolveColors, float tolerance);

private:
    Math::Box2d m_boundingBox;
    Math::Point2d m_pivot;
    bool m_pivotDefined = false;
    float m_fieldSize = 12.0f;
};
