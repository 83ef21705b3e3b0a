#pragma once
// The vector library's drawings, as this library uses them: a composite
// drawing is an ordered list of layers of shapes; the layer renderer paints
// it into 8- or 16-bit bitmaps. Files: base/VectorFile.h.
//
// World coordinates: the drawing domain is 3750 units tall (y from -1875 at
// the bottom to +1875 at the top, y up) and as wide as the output's aspect
// asks (x from -2500 to +2500 at 720 x 540). A shape is a path (move, line,
// quadratic and cubic curves, close) filled by the nonzero rule and/or
// stroked with round caps and joins, of a width in world units.
//
// Layers and the order of drawing: a layer has a type, 0 underlay art,
// 1 colour art, 2 line art, 3 overlay art; any other type counts as overlay
// art. The renderer draws the visible layers group by group (underlay, colour
// art, line art, overlay) and, within a group, in list order; within a layer
// shapes are drawn in order, each its fill, then its stroke.
//
// Colours are straight RGBA8 with an optional 64-bit palette id (0: none):
// while the drawing's palette list holds the id the listed colour is drawn,
// otherwise the stored one (base/Palette.h).
//
// Threads: a drawing may be rendered from several threads at once; changing it
// (GR_DrawingAccess, Load, SetDrawingColors) while it is read is not safe.

#include <QByteArray>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/MathTypes.h"
#include "base/Palette.h"
#include "base/SharedPtr.h"
#include "celcore_export.h"

class PL_FileSpec;
class SR_Shader;
class SR_ShaderFactory;
class CEL_ColorTransform;
class GR_CompositeVectorDrawingObj;
class GR_OptimizedVectorDrawingObj;

struct GR_Point {
    float x = 0.0f, y = 0.0f;
    constexpr bool operator==(const GR_Point&) const = default;
};

// A path of subpaths. Points are world coordinates (floats); each verb takes
// its points from the list in turn: move 1, line 1, quad 2 (control, end),
// cubic 3 (two controls, end), close 0.
class CELCORE_EXPORT GR_Path {
public:
    enum Verb : uint8_t { Move = 0, Line = 1, Quad = 2, Cubic = 3, Close = 4 };
    // Largest coordinate magnitude a path may hold (2^24).
    static constexpr float kMaxCoordinate = 16777216.0f;
    // Points taken by a verb; -1 for an unknown verb.
    static int pointsOf(uint8_t verb);

    void moveTo(float x, float y);
    void lineTo(float x, float y);
    void quadTo(float cx, float cy, float x, float y);
    void cubicTo(float c1x, float c1y, float c2x, float c2y, float x, float y);
    void close();
    void clear();

    bool isEmpty() const { return m_verbs.empty(); }
    const std::vector<uint8_t>& verbs() const { return m_verbs; }
    const std::vector<GR_Point>& points() const { return m_points; }
    // Takes the lists as they are; check() them first.
    void assign(std::vector<uint8_t> verbs, std::vector<GR_Point> points);

    // Whether a renderer may take the lists: every verb known, a move first,
    // as many points as the verbs take, every coordinate finite and within
    // kMaxCoordinate. False with the fault in *why.
    static bool check(const std::vector<uint8_t>& verbs, const std::vector<GR_Point>& points,
                      QString* why = nullptr);
    bool isValid(QString* why = nullptr) const { return check(m_verbs, m_points, why); }

    // The box of the points, control points included; false when there are none.
    bool controlBox(double& x1, double& y1, double& x2, double& y2) const;
    // Every point mapped through m (on the plane z = 0, divided by w). False,
    // and the path unchanged, when a point lands behind the eye or outside the
    // coordinate limits.
    bool transform(const Math::Matrix4x4& m);
    void translate(double dx, double dy);

    bool operator==(const GR_Path&) const = default;

private:
    std::vector<uint8_t> m_verbs;
    std::vector<GR_Point> m_points;
};

// A colour as shapes store it: straight RGBA8, and a palette id (0: none).
struct GR_ShapeColor {
    CM_ColorRGBA8 color;
    uint64_t paletteId = 0;
    constexpr bool operator==(const GR_ShapeColor&) const = default;
};

struct GR_Shape {
    enum Flag : uint8_t { Fill = 1, Stroke = 2 };
    // Widths a stroke may have, in world units.
    static constexpr float kMaxWidth = 65536.0f;

    uint8_t flags = Fill;
    GR_ShapeColor fill;
    GR_ShapeColor stroke;
    float width = 0.0f; // of the stroke, world units; 0 draws no stroke
    GR_Path path;

    bool isFilled() const { return flags & Fill; }
    bool isStroked() const { return (flags & Stroke) && width > 0.0f; }
    bool operator==(const GR_Shape&) const = default;
};

enum GR_LayerType : uint32_t {
    GR_UnderlayArtLayer = 0,
    GR_ColorArtLayer = 1,
    GR_LineArtLayer = 2,
    GR_OverlayArtLayer = 3, // any type above 2 is drawn as overlay art
};

struct GR_Layer {
    uint32_t type = GR_ColorArtLayer;
    bool visible = true;
    std::vector<GR_Shape> shapes;
    bool operator==(const GR_Layer&) const = default;
};

// Which arts are drawn; all four by default.
class CELCORE_EXPORT GR_ArtSelector {
public:
    enum Art : unsigned { LineArt = 1, ColorArt = 2, UnderlayArt = 4, OverlayArt = 8, AllArt = 15 };

    GR_ArtSelector() = default;
    explicit GR_ArtSelector(unsigned arts) : m_arts(arts & AllArt) {}

    unsigned arts() const { return m_arts; }
    bool renderLineArt() const { return m_arts & LineArt; }
    bool renderColorArt() const { return m_arts & ColorArt; }
    bool renderUnderlayArt() const { return m_arts & UnderlayArt; }
    bool renderOverlayArt() const { return m_arts & OverlayArt; }
    void setRenderLineArt(bool on) { set(LineArt, on); }
    void setRenderColorArt(bool on) { set(ColorArt, on); }
    void setRenderUnderlayArt(bool on) { set(UnderlayArt, on); }
    void setRenderOverlayArt(bool on) { set(OverlayArt, on); }
    // The art a layer of this type belongs to.
    static Art artOf(uint32_t layerType);
    bool selects(uint32_t layerType) const { return m_arts & artOf(layerType); }
    bool operator==(const GR_ArtSelector&) const = default;

private:
    void set(Art a, bool on) { m_arts = on ? (m_arts | a) : (m_arts & ~unsigned(a)); }
    unsigned m_arts = AllArt;
};

// What the line style means for one render: stroke widths are multiplied by thickness.
struct GR_ThicknessRenderParams {
    double thickness = 1.0;
};

// Line style settings of a render: the output resolution and a thickness
// scale for every stroke (1: as drawn).
class CELCORE_EXPORT GR_RichLineStyleRenderingParams {
public:
    GR_RichLineStyleRenderingParams() = default;
    const Math::Size2di& outputResolution() const { return m_resolution; }
    void setOutputResolution(const Math::Size2di& resolution) { m_resolution = resolution; }
    double thicknessScale() const { return m_thickness; }
    void setThicknessScale(double scale) { m_thickness = scale; }
    // True while strokes are drawn as stored (thickness scale 1).
    bool isIdentity() const { return m_thickness == 1.0; }
    // The parameters for a render through the model-to-device matrix m.
    GR_ThicknessRenderParams getThicknessRenderParameters(const Math::Matrix4x4& m) const;
    bool operator==(const GR_RichLineStyleRenderingParams&) const = default;

private:
    Math::Size2di m_resolution{720, 540};
    double m_thickness = 1.0;
};

// A 4 x 5 matrix on straight colours (r, g, b, a on 0 ... 1, and 1):
// out[i] = m[i][0] r + m[i][1] g + m[i][2] b + m[i][3] a + m[i][4], clamped to
// 0 ... 1 and rounded to 8 bits. Identity by default.
struct CELCORE_EXPORT GR_ColorMatrix {
    double m[4][5] = {{1, 0, 0, 0, 0}, {0, 1, 0, 0, 0}, {0, 0, 1, 0, 0}, {0, 0, 0, 1, 0}};
    CM_ColorRGBA8 apply(const CM_ColorRGBA8& c) const;
    bool isIdentity() const;
    bool operator==(const GR_ColorMatrix&) const = default;
};

// The canvas an optimised drawing is built for: the output resolution and
// the size of the camera field.
struct VS_Canvas {
    Math::Size2di resolution{720, 540};
    float fieldSize = 12.0f;
};

// The source of a drawing's own shader; a host attaches one to a vector cel.
class CELCORE_EXPORT SR_SoftRendererDrawingInterface {
public:
    SR_SoftRendererDrawingInterface() = default;
    SR_SoftRendererDrawingInterface(const SR_SoftRendererDrawingInterface&) = default;
    SR_SoftRendererDrawingInterface& operator=(const SR_SoftRendererDrawingInterface&) = default;
    virtual ~SR_SoftRendererDrawingInterface();
    // The shader for this drawing, or null. Not owned by the caller.
    virtual SR_Shader* getShader(const GR_CompositeVectorDrawingObj* drawing) = 0;
};

// The options of one render. The renderer draws with the antialiasing mode,
// the matrix, the line style and the colour matrix; it carries the texture
// settings, the colour transform, the shaders and antialiasParam without using
// them (drawings have no textures here).
struct GR_SoftRenderOptions {
    bool lineTexture = true;
    int textureFilter = 2;       // the renderer's filter: 0 nearest, 1 linear, 2 mipmap
    int antialiasMode = 2;       // 0 none, 1 and 2 antialiased, 3 antialiased in 16-bit precision
    double antialiasParam = 1.0; //
    const CEL_ColorTransform* colorTransform = nullptr;
    const GR_ColorMatrix* colorMatrix = nullptr; // applied to every colour drawn
    GR_RichLineStyleRenderingParams richLineStyle;
    const SR_ShaderFactory* shaderFactory = nullptr;
    Math::Matrix4x4 modelToNormalizedDevice; // world to -1 ... 1 (x right, y up)
    SR_Shader* drawingShader = nullptr;
    Math::Size2di resolution{720, 540}; // normalised device coordinates span these pixels
};

// Where a render goes: a buffer holding `rect` of the resolution's pixels
// (x right, y down; pixel (x, y) covers [x, x + 1) x [y, y + 1)), top row
// first. 8-bit: r, g, b, a bytes; 16-bit: four int16_t 0 ... 32767.
// Every pixel of the rectangle is written.
struct GR_RenderTarget {
    enum Depth { Depth8, Depth16 };
    Depth depth = Depth8;
    void* data = nullptr;
    std::ptrdiff_t stride = 0; // bytes from one row to the next
    Math::Box2di rect;
    // Colour multiplied by alpha: trunc(c a / 255) at 8 bits, rounded at 16.
    bool premultiply = true;
    // No partial alpha: alpha below half becomes transparent black, the rest
    // opaque with its colour divided by alpha, clamp(trunc(c / (a / full))).
    bool binaryAlpha = false;
};

// Paints drawings with Qt's raster painter, headless. The visible shapes are
// prepared once per render (device paths, stroke outlines built once, colours
// resolved); the target is then painted in tiles of 128 rows (and at most
// 8192 columns) over oneTBB, each tile drawing the shapes that reach it, so
// the result is the same at any thread count. Modes 1 and 2 paint into
// premultiplied ARGB32 (Qt's fast path); modes 0 (aliased) and 3 into
// premultiplied RGBA64, which gives a covered pixel's straight colour exactly.
class CELCORE_EXPORT GR_LayerSoftRenderer {
public:
    static constexpr int kTileRows = 128;
    static constexpr int kTileColumns = 8192;

    explicit GR_LayerSoftRenderer(const GR_SoftRenderOptions& options = GR_SoftRenderOptions());
    const GR_SoftRenderOptions& options() const { return m_options; }
    void setOptions(const GR_SoftRenderOptions& options) { m_options = options; }
    const GR_RenderTarget& target() const { return m_target; }
    void setTarget(const GR_RenderTarget& target) { m_target = target; }

    // Paints the drawing's visible shapes of the selected arts. False when
    // there is no target buffer, the matrix is not finite or memory runs out;
    // the target's content is then undefined.
    bool render(const GR_CompositeVectorDrawingObj& drawing, const GR_ArtSelector& art);
    // Shapes the last render prepared (visible, selected, with a path).
    std::size_t shapesPrepared() const { return m_prepared; }

private:
    GR_SoftRenderOptions m_options;
    GR_RenderTarget m_target;
    std::size_t m_prepared = 0;
};

class CELCORE_EXPORT GR_CompositeVectorDrawingObj : public UT_ShareBaseSafe {
public:
    GR_CompositeVectorDrawingObj();
    // Copies layers and palette list (shared); not modified, nothing pending.
    GR_CompositeVectorDrawingObj(const GR_CompositeVectorDrawingObj& other);
    GR_CompositeVectorDrawingObj& operator=(const GR_CompositeVectorDrawingObj&) = delete;
    ~GR_CompositeVectorDrawingObj() override;

    // Edit through GR_DrawingAccess, which keeps the modified flag.
    const std::vector<GR_Layer>& layers() const { return m_layers; }
    // Shapes with a path in visible layers of the selected arts.
    std::size_t shapeCount(const GR_ArtSelector& art = GR_ArtSelector()) const;

    // QVX files (base/VectorFile.h). A load replaces the layers only when the
    // whole file is good, clears the modified flag and notes the palette ids
    // the palette list lacks; otherwise it posts "Invalid vector drawing: %1"
    // (action 2, code 10) with the fault and changes nothing.
    bool Load(const PL_FileSpec& spec);
    bool LoadFromStdin();
    bool LoadFromBytes(const QByteArray& bytes);
    // Version 0 is the current version (1). Clears the modified flag on success.
    bool Store(const PL_FileSpec& spec, int version);
    bool StoreToStdout(int version);
    // Empty for a version this library does not write.
    QByteArray StoreToBytes(int version) const;

    // The palette list colours are looked up in (shared; null: stored colours).
    void SetDrawingColors(CM_PaletteList* list);
    CM_PaletteList* GetDrawingColors() const { return m_palette.get(); }
    // The listed colour of a palette id the list holds, else the stored one.
    CM_ColorRGBA8 ResolveColor(const GR_ShapeColor& color) const;

    // Colour recovery: palette ids the drawing uses and its palette list lacks.
    bool NeedsColorRecovery() const { return !m_pending.empty(); }
    const std::vector<GR_ShapeColor>& PendingColorRecovery() const { return m_pending; }
    // Forgets the pending ids.
    void FlushColorRecovery() { m_pending.clear(); }
    // With colour recovery on and not delayed, adds the pending ids to the
    // palette list with the drawing's stored colours; delayed, keeps them
    // pending; off, forgets them. Callers hold PL_AppLock::PaletteLock.
    void PerformColorRecovery(const CM_ColorRecoveryContext& context);

    // The box of the visible shapes of the selected arts in world units: path
    // points, control points included, and strokes half their width (times
    // the thickness) beyond. Empty when nothing is drawn.
    Math::Box2d GetVisibleWorldBBox(const GR_ArtSelector& art = GR_ArtSelector()) const;
    Math::Box2d GetVisibleWorldBBox(const GR_ThicknessRenderParams& params,
                                    const GR_ArtSelector& art = GR_ArtSelector()) const;

    bool RenderDrawing(GR_LayerSoftRenderer& renderer, const GR_ArtSelector& art) const;

    // Flattened polygons of the line art and/or colour art (fills and stroke
    // outlines, in drawing order), within `tolerance` world units of the
    // curves, with resolved or stored colours; the box is `box`, the field
    // size the canvas's. Null when nothing is selected or the tolerance is not
    // a positive number. The caller owns the result.
    GR_OptimizedVectorDrawingObj* BuildOptimizedVersion(const VS_Canvas* canvas, bool lineArt, bool colorArt,
                                                        bool resolveColors, float tolerance,
                                                        const Math::Box2d& box) const;

    bool IsModified() const { return m_modified; }
    void SetModified(bool modified) { m_modified = modified; }

private:
    friend class GR_DrawingAccess;
    bool replaceFromBytes(const QByteArray& bytes, const QString& source);
    void notePendingColors();

    std::vector<GR_Layer> m_layers;
    CM_SharedPtr<CM_PaletteList> m_palette;
    std::vector<GR_ShapeColor> m_pending;
    bool m_modified = false;
};

// Editing a drawing. Every change marks it modified.
class CELCORE_EXPORT GR_DrawingAccess {
public:
    explicit GR_DrawingAccess(GR_CompositeVectorDrawingObj& drawing) : m_drawing(drawing) {}
    GR_CompositeVectorDrawingObj& drawing() const { return m_drawing; }

    int LayerCount() const { return int(m_drawing.m_layers.size()); }
    const GR_Layer* Layer(int index) const;
    // A new empty layer of the type at `position` (clamped; -1: the end of the
    // list); returns its index. Within a group, earlier layers are drawn first.
    int CreateLayer(uint32_t type, int position = -1, bool visible = true);
    // The first layer of the type, or -1.
    int FindLayer(uint32_t type) const;
    bool SetLayerVisible(int layer, bool visible);
    bool RemoveLayer(int layer);
    // Appends a shape; false for a bad layer index, an invalid path or width.
    bool InsertShape(int layer, const GR_Shape& shape);
    // A filled path, and a stroked one (round caps and joins).
    bool InsertFill(int layer, const GR_Path& path, const GR_ShapeColor& color);
    bool InsertStroke(int layer, const GR_Path& path, const GR_ShapeColor& color, float width);
    bool TranslateLayer(int layer, double dx, double dy);

    // Appends the layers of src whose art is selected (line art and colour art
    // by default), their shapes mapped through m (widths scaled by the square
    // root of the map's area factor), to the first layer of the same type in
    // dst (created at the end when there is none). A palette id dst's list
    // lacks keeps the colour src's list gives it. False, dst unchanged, when a
    // shape cannot be mapped (behind the eye, beyond the coordinate limits).
    static bool Merge(GR_CompositeVectorDrawingObj& dst, const GR_CompositeVectorDrawingObj& src,
                      const Math::Matrix4x4& m,
                      const GR_ArtSelector& art = GR_ArtSelector(GR_ArtSelector::LineArt |
                                                                 GR_ArtSelector::ColorArt));

private:
    GR_CompositeVectorDrawingObj& m_drawing;
};

// An optimised drawing: flattened polygons of one colour each, with the box,
// pivot and field size of the drawing it was built from. Only loaded and
// stored here (QVXO files, base/VectorFile.h).
class CELCORE_EXPORT GR_OptimizedVectorDrawingObj : public UT_ShareBaseSafe {
public:
    struct Polygon {
        CM_ColorRGBA8 color;
        std::vector<GR_Point> points;
        bool operator==(const Polygon&) const = default;
    };

    GR_OptimizedVectorDrawingObj() = default;
    ~GR_OptimizedVectorDrawingObj() override;

    const Math::Box2d& boundingBox() const { return m_box; }
    void setBoundingBox(const Math::Box2d& box) { m_box = box; }
    const Math::Point2d& pivot() const { return m_pivot; }
    bool isPivotDefined() const { return m_pivotDefined; }
    void setPivot(const Math::Point2d& pivot, bool defined) { m_pivot = pivot, m_pivotDefined = defined; }
    float fieldSize() const { return m_fieldSize; }
    void setFieldSize(float size) { m_fieldSize = size; }
    const std::vector<Polygon>& polygons() const { return m_polygons; }
    std::vector<Polygon>& polygons() { return m_polygons; }

    // As the composite drawing's: the load replaces everything only when the
    // whole file is good, else posts "Invalid vector drawing: %1".
    bool Load(const PL_FileSpec& spec);
    bool LoadFromBytes(const QByteArray& bytes);
    bool Store(const PL_FileSpec& spec) const;
    QByteArray StoreToBytes() const;

private:
    Math::Box2d m_box;
    Math::Point2d m_pivot;
    bool m_pivotDefined = false;
    float m_fieldSize = 12.0f;
    std::vector<Polygon> m_polygons;
};
