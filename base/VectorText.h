#pragma once
// Text in vector drawings: a text layer is a line of text in one style, size
// and colour, turned into glyph outlines (filled shapes) in a layer of a
// drawing, so it renders, stores and merges like any other drawing.
//
// Units: the size is the em of the font in world units (base/VectorDrawing.h:
// the drawing domain is 3750 units tall). The plain box of a text is its
// advance width (not its ink: a running time code keeps one width when its
// digits change) by the font's ascent + descent. Outlines are y-up with the
// plain box's lower-left corner at the layer's origin (the baseline sits
// `descent` above it).
//
// Fonts: the styles are the DejaVu families (package fonts-dejavu-core):
// 0 Sans, 1 Sans Bold, 2 Sans Mono, 3 Sans Mono Bold, 4 Serif, 5 Serif Bold;
// other values read as 0. Glyphs are measured without hinting. Measuring and
// outlining need a QGuiApplication; a missing family is refused with a
// message naming the package.
//
// Threads: one GR_TextAccess per thread; the measurer subclasses below may be
// replaced by tests (a fixed advance per character).

#include <QString>
#include <cstdint>

#include "base/Palette.h"
#include "base/VectorDrawing.h"
#include "celcore_export.h"

// A colour as 0xAARRGGBB; kept straight.
class CELCORE_EXPORT GR_Color {
public:
    GR_Color() = default;
    static GR_Color CreateWith(long long argb);
    const CM_ColorRGBA8& rgba() const { return m_color; }
    GR_ShapeColor shapeColor() const { return GR_ShapeColor{m_color, 0}; }
    bool operator==(const GR_Color&) const = default;

private:
    CM_ColorRGBA8 m_color{0, 0, 0, 255};
};

// A path and its colour, as handed to a drawing: a closed path is filled, an
// open one stroked `width` wide.
struct CELCORE_EXPORT GR_StrokeData {
    GR_Path path;
    GR_Color color;
    float width = 0.0f;
    bool closed = true;

    // Appends the stroke to the layer; false for a bad layer or path.
    bool insertInto(GR_DrawingAccess& drawing, int layer) const;
};

// What a text layer is made with: the first field is the style.
struct GR_TextLayerProperties {
    uint32_t textStyle = 0;
    uint32_t size = 100;
    long long color = 0xFFFFFFFFLL; // 0xAARRGGBB
    bool operator==(const GR_TextLayerProperties&) const = default;
};

// A text layer: its properties, its text, where it sits, and the drawing
// layer holding its outlines (-1 while it holds none).
struct GR_TextLayer {
    GR_TextLayerProperties properties;
    QString text;
    double x = 0.0, y = 0.0;
    int drawingLayer = -1;
};

// Makes, measures and places text layers, in a drawing or (without one) for
// measuring only. Failures (no font, no GUI application, a path the drawing
// refuses) return false with one line in lastError().
class CELCORE_EXPORT GR_TextAccess {
public:
    // The type of the drawing layers text goes into (overlay art).
    static constexpr uint32_t kTextLayerType = GR_OverlayArtLayer;

    explicit GR_TextAccess(GR_CompositeVectorDrawingObj* drawing = nullptr) : m_drawing(drawing) {}
    virtual ~GR_TextAccess();
    GR_TextAccess(const GR_TextAccess&) = delete;
    GR_TextAccess& operator=(const GR_TextAccess&) = delete;

    GR_CompositeVectorDrawingObj* drawing() const { return m_drawing; }
    const QString& lastError() const { return m_error; }

    // A text layer at the origin. With `inDrawing` (and a drawing) inserted
    // text becomes outlines in a new drawing layer at the end of the list.
    GR_TextLayer CreateTextLayer(const GR_TextLayerProperties& properties, bool inDrawing = false);
    // Sets the layer's text (replacing any) and, in a drawing, its outlines.
    bool InsertText(GR_TextLayer& layer, const QString& text);
    // The plain box of the layer's text; 0 x 0 for an empty text.
    bool GetPlainBox(const GR_TextLayer& layer, double& width, double& height);
    // New properties; the outlines, if any, are made again.
    bool ApplyProperties(GR_TextLayer& layer, const GR_TextLayerProperties& properties);
    // Empties the layer and removes its drawing layer.
    void RemoveText(GR_TextLayer& layer);
    // Moves the layer (and its outlines) by (dx, dy).
    bool TranslateLayer(GR_TextLayer& layer, double dx, double dy);

    // Whether the style's family is installed (and a GUI application runs);
    // false with the reason in lastError().
    bool checkFont(uint32_t textStyle);
    // The family of a style.
    static QString familyOf(uint32_t textStyle);
    // Whether the family is installed in that weight; false with the reason.
    static bool checkFamily(const QString& family, bool bold, QString& error);

protected:
    // The plain box of text at the properties' style and size.
    virtual bool measure(const GR_TextLayerProperties& properties, const QString& text, double& width,
                         double& height, QString& error);
    // The outlines of text, y-up, plain box's lower-left at the origin.
    virtual bool outline(const GR_TextLayerProperties& properties, const QString& text, GR_Path& path,
                         QString& error);

private:
    bool fail(const QString& error);
    bool makeOutlines(GR_TextLayer& layer);

    GR_CompositeVectorDrawingObj* m_drawing;
    QString m_error;
};
