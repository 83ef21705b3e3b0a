#include "base/VectorText.h"

#include <QFont>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QPainterPath>
#include <cmath>

namespace {

// Qt keeps font sizes as ints and its glyph caches grow with the size: above
// this em, text is measured and outlined at it and scaled (hinting is off, so
// glyph geometry scales linearly).
constexpr int kLargestQtSize = 4096;

bool haveGuiApplication() {
    return qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr;
}

QFont fontOf(uint32_t textStyle, int pixelSize) {
    QFont font(GR_TextAccess::familyOf(textStyle));
    font.setPixelSize(pixelSize);
    font.setBold(textStyle == 1 || textStyle == 3 || textStyle == 5);
    font.setHintingPreference(QFont::PreferNoHinting);
    // A glyph the family lacks is left out rather than taken from another
    // family, so the box is the family's own.
    font.setStyleStrategy(QFont::NoFontMerging);
    font.setKerning(true);
    return font;
}

// The font to use for a size, and the factor from its units to world units.
QFont scaledFont(const GR_TextLayerProperties& p, double& factor) {
    const int qtSize =
        p.size > uint32_t(kLargestQtSize) ? kLargestQtSize : int(std::max<uint32_t>(p.size, 1));
    factor = double(p.size) / qtSize;
    return fontOf(p.textStyle, qtSize);
}

} // namespace

GR_Color GR_Color::CreateWith(long long argb) {
    GR_Color c;
    c.m_color = CM_ColorRGBA8{uint8_t(argb >> 16), uint8_t(argb >> 8), uint8_t(argb), uint8_t(argb >> 24)};
    return c;
}

bool GR_StrokeData::insertInto(GR_DrawingAccess& drawing, int layer) const {
    if (closed) return drawing.InsertFill(layer, path, color.shapeColor());
    return drawing.InsertStroke(layer, path, color.shapeColor(), width);
}

GR_TextAccess::~GR_TextAccess() = default;

QString GR_TextAccess::familyOf(uint32_t textStyle) {
    switch (textStyle) {
    case 2:
    case 3:
        return QStringLiteral("DejaVu Sans Mono");
    case 4:
    case 5:
        return QStringLiteral("DejaVu Serif");
    default:
        return QStringLiteral("DejaVu Sans");
    }
}

bool GR_TextAccess::fail(const QString& error) {
    m_error = error;
    return false;
}

bool GR_TextAccess::checkFamily(const QString& family, bool bold, QString& error) {
    if (!haveGuiApplication()) {
        error = QStringLiteral("text needs a QGuiApplication to reach the fonts");
        return false;
    }
    QFont font(family);
    font.setBold(bold);
    font.setStyleStrategy(QFont::NoFontMerging);
    const QFontInfo info(font);
    if (info.exactMatch() && info.family() == family && info.bold() == bold) return true;
    error = QStringLiteral("font \"%1%2\" is not installed (package fonts-dejavu-core)")
                .arg(family, bold ? QStringLiteral(" Bold") : QString());
    return false;
}

bool GR_TextAccess::checkFont(uint32_t textStyle) {
    return checkFamily(familyOf(textStyle), textStyle == 1 || textStyle == 3 || textStyle == 5, m_error);
}

bool GR_TextAccess::measure(const GR_TextLayerProperties& p, const QString& text, double& width,
                            double& height, QString& error) {
    if (!checkFont(p.textStyle)) {
        error = m_error;
        return false;
    }
    double factor = 1.0;
    const QFontMetricsF metrics(scaledFont(p, factor));
    width = metrics.horizontalAdvance(text) * factor;
    height = (metrics.ascent() + metrics.descent()) * factor;
    return true;
}

bool GR_TextAccess::outline(const GR_TextLayerProperties& p, const QString& text, GR_Path& path,
                            QString& error) {
    if (!checkFont(p.textStyle)) {
        error = m_error;
        return false;
    }
    double f = 1.0;
    const QFont font = scaledFont(p, f);
    const double descent = QFontMetricsF(font).descent();
    QPainterPath qpath;
    qpath.addText(0.0, 0.0, font, text);
    // Qt's y runs down from the baseline; ours runs up from the box's bottom.
    auto X = [&](double x) { return float(x * f); };
    auto Y = [&](double y) { return float((descent - y) * f); };
    path.clear();
    const int n = qpath.elementCount();
    for (int i = 0; i < n; ++i) {
        const QPainterPath::Element e = qpath.elementAt(i);
        if (e.isMoveTo()) {
            path.moveTo(X(e.x), Y(e.y));
        } else if (e.isLineTo()) {
            path.lineTo(X(e.x), Y(e.y));
        } else if (e.isCurveTo() && i + 2 < n) {
            const QPainterPath::Element c2 = qpath.elementAt(i + 1), end = qpath.elementAt(i + 2);
            path.cubicTo(X(e.x), Y(e.y), X(c2.x), Y(c2.y), X(end.x), Y(end.y));
            i += 2;
        }
    }
    return true;
}

GR_TextLayer GR_TextAccess::CreateTextLayer(const GR_TextLayerProperties& properties, bool inDrawing) {
    GR_TextLayer layer;
    layer.properties = properties;
    if (inDrawing && m_drawing) layer.drawingLayer = GR_DrawingAccess(*m_drawing).CreateLayer(kTextLayerType);
    return layer;
}

bool GR_TextAccess::makeOutlines(GR_TextLayer& layer) {
    if (layer.drawingLayer < 0 || !m_drawing) return true;
    GR_DrawingAccess access(*m_drawing);
    const GR_Layer* existing = access.Layer(layer.drawingLayer);
    if (!existing) return fail(QStringLiteral("the text's drawing layer is gone"));
    // Replace the layer's shapes: one filled path for the whole line.
    const uint32_t type = existing->type;
    access.RemoveLayer(layer.drawingLayer);
    access.CreateLayer(type, layer.drawingLayer);
    if (layer.text.isEmpty()) return true;
    GR_Path path;
    QString error;
    if (!outline(layer.properties, layer.text, path, error)) return fail(error);
    path.translate(layer.x, layer.y);
    if (path.isEmpty()) return true; // only blanks
    const GR_StrokeData glyphs{path, GR_Color::CreateWith(layer.properties.color), 0.0f, true};
    if (!glyphs.insertInto(access, layer.drawingLayer))
        return fail(QStringLiteral("the text's outlines do not fit the drawing (size %1)")
                        .arg(layer.properties.size));
    return true;
}

bool GR_TextAccess::InsertText(GR_TextLayer& layer, const QString& text) {
    layer.text = text;
    return makeOutlines(layer);
}

bool GR_TextAccess::GetPlainBox(const GR_TextLayer& layer, double& width, double& height) {
    width = height = 0.0;
    if (layer.text.isEmpty()) return true;
    QString error;
    if (!measure(layer.properties, layer.text, width, height, error)) return fail(error);
    return true;
}

bool GR_TextAccess::ApplyProperties(GR_TextLayer& layer, const GR_TextLayerProperties& properties) {
    layer.properties = properties;
    return makeOutlines(layer);
}

void GR_TextAccess::RemoveText(GR_TextLayer& layer) {
    layer.text.clear();
    if (layer.drawingLayer >= 0 && m_drawing) GR_DrawingAccess(*m_drawing).RemoveLayer(layer.drawingLayer);
    layer.drawingLayer = -1;
}

bool GR_TextAccess::TranslateLayer(GR_TextLayer& layer, double dx, double dy) {
    if (!std::isfinite(dx) || !std::isfinite(dy))
        return fail(QStringLiteral("the text's offset is not finite"));
    layer.x += dx;
    layer.y += dy;
    if (layer.drawingLayer >= 0 && m_drawing &&
        !GR_DrawingAccess(*m_drawing).TranslateLayer(layer.drawingLayer, dx, dy))
        return fail(QStringLiteral("the text's drawing layer is gone"));
    return true;
}
