#include "base/VectorDrawing.h"

#include <QTransform>
#include <algorithm>
#include <cmath>
#include <limits>

#include "base/FileSpec.h"
#include "base/Message.h"
#include "base/VectorDrawingDetail.h"
#include "base/VectorFile.h"

// ------------------------------------------------------------------ paths

int GR_Path::pointsOf(uint8_t verb) {
    switch (verb) {
    case Move:
    case Line:
        return 1;
    case Quad:
        return 2;
    case Cubic:
        return 3;
    case Close:
        return 0;
    default:
        return -1;
    }
}

void GR_Path::moveTo(float x, float y) {
    m_verbs.push_back(Move);
    m_points.push_back({x, y});
}

void GR_Path::lineTo(float x, float y) {
    m_verbs.push_back(Line);
    m_points.push_back({x, y});
}

void GR_Path::quadTo(float cx, float cy, float x, float y) {
    m_verbs.push_back(Quad);
    m_points.push_back({cx, cy});
    m_points.push_back({x, y});
}

void GR_Path::cubicTo(float c1x, float c1y, float c2x, float c2y, float x, float y) {
    m_verbs.push_back(Cubic);
    m_points.push_back({c1x, c1y});
    m_points.push_back({c2x, c2y});
    m_points.push_back({x, y});
}

void GR_Path::close() {
    m_verbs.push_back(Close);
}

void GR_Path::clear() {
    m_verbs.clear();
    m_points.clear();
}

void GR_Path::assign(std::vector<uint8_t> verbs, std::vector<GR_Point> points) {
    m_verbs = std::move(verbs);
    m_points = std::move(points);
}

bool GR_Path::check(const std::vector<uint8_t>& verbs, const std::vector<GR_Point>& points, QString* why) {
    const auto fail = [why](const QString& text) {
        if (why) *why = text;
        return false;
    };
    if (!verbs.empty() && verbs.front() != Move)
        return fail(QStringLiteral("path does not start with a move"));
    uint64_t taken = 0;
    for (std::size_t i = 0; i < verbs.size(); ++i) {
        const int n = pointsOf(verbs[i]);
        if (n < 0) return fail(QStringLiteral("unknown path verb %1").arg(verbs[i]));
        taken += uint64_t(n);
    }
    if (taken != points.size())
        return fail(QStringLiteral("%1 points where the verbs take %2").arg(points.size()).arg(taken));
    for (const GR_Point& p : points)
        if (!(std::fabs(p.x) <= kMaxCoordinate) || !(std::fabs(p.y) <= kMaxCoordinate))
            return fail(QStringLiteral("path coordinate out of range"));
    return true;
}

bool GR_Path::controlBox(double& x1, double& y1, double& x2, double& y2) const {
    if (m_points.empty()) return false;
    float lx = m_points[0].x, ly = m_points[0].y, hx = lx, hy = ly;
    for (const GR_Point& p : m_points) {
        lx = std::min(lx, p.x), ly = std::min(ly, p.y);
        hx = std::max(hx, p.x), hy = std::max(hy, p.y);
    }
    x1 = lx, y1 = ly, x2 = hx, y2 = hy;
    return true;
}

bool GR_Path::transform(const Math::Matrix4x4& m) {
    std::vector<GR_Point> moved(m_points.size());
    for (std::size_t i = 0; i < m_points.size(); ++i) {
        const double x = m_points[i].x, y = m_points[i].y;
        const double w = m(3, 0) * x + m(3, 1) * y + m(3, 3);
        if (!(w > 0.0)) return false;
        const double nx = (m(0, 0) * x + m(0, 1) * y + m(0, 3)) / w;
        const double ny = (m(1, 0) * x + m(1, 1) * y + m(1, 3)) / w;
        if (!(std::fabs(nx) <= kMaxCoordinate) || !(std::fabs(ny) <= kMaxCoordinate)) return false;
        moved[i] = {float(nx), float(ny)};
    }
    m_points.swap(moved);
    return true;
}

void GR_Path::translate(double dx, double dy) {
    for (GR_Point& p : m_points) {
        p.x = float(std::clamp(p.x + dx, -double(kMaxCoordinate), double(kMaxCoordinate)));
        p.y = float(std::clamp(p.y + dy, -double(kMaxCoordinate), double(kMaxCoordinate)));
    }
}

// ------------------------------------------------------------------ settings

GR_ArtSelector::Art GR_ArtSelector::artOf(uint32_t layerType) {
    switch (layerType) {
    case GR_UnderlayArtLayer:
        return UnderlayArt;
    case GR_ColorArtLayer:
        return ColorArt;
    case GR_LineArtLayer:
        return LineArt;
    default:
        return OverlayArt;
    }
}

GR_ThicknessRenderParams
GR_RichLineStyleRenderingParams::getThicknessRenderParameters(const Math::Matrix4x4&) const {
    // Thickness is in world units, so the device matrix does not change it.
    return GR_ThicknessRenderParams{m_thickness};
}

CM_ColorRGBA8 GR_ColorMatrix::apply(const CM_ColorRGBA8& c) const {
    const double in[5] = {c.r / 255.0, c.g / 255.0, c.b / 255.0, c.a / 255.0, 1.0};
    uint8_t out[4];
    for (int i = 0; i < 4; ++i) {
        double v = 0.0;
        for (int k = 0; k < 5; ++k) v += m[i][k] * in[k];
        v = std::isfinite(v) ? std::clamp(v, 0.0, 1.0) : 0.0;
        out[i] = uint8_t(std::lround(v * 255.0));
    }
    return CM_ColorRGBA8{out[0], out[1], out[2], out[3]};
}

bool GR_ColorMatrix::isIdentity() const {
    return *this == GR_ColorMatrix();
}

SR_SoftRendererDrawingInterface::~SR_SoftRendererDrawingInterface() = default;

// ------------------------------------------------------------------ the drawing

GR_CompositeVectorDrawingObj::GR_CompositeVectorDrawingObj() = default;

GR_CompositeVectorDrawingObj::GR_CompositeVectorDrawingObj(const GR_CompositeVectorDrawingObj& other)
    : UT_ShareBaseSafe(other), m_layers(other.m_layers), m_palette(other.m_palette) {}

GR_CompositeVectorDrawingObj::~GR_CompositeVectorDrawingObj() = default;

std::size_t GR_CompositeVectorDrawingObj::shapeCount(const GR_ArtSelector& art) const {
    std::size_t n = 0;
    for (const GR_Layer& layer : m_layers) {
        if (!layer.visible || !art.selects(layer.type)) continue;
        for (const GR_Shape& s : layer.shapes) n += !s.path.isEmpty();
    }
    return n;
}

namespace {

void postInvalid(const QString& fault) {
    MSG_Scope msg("GR_CompositeVectorDrawingObj", "Invalid vector drawing: %1", 2);
    msg.arg(fault);
    msg.post(10);
}

} // namespace

bool GR_CompositeVectorDrawingObj::replaceFromBytes(const QByteArray& bytes, const QString&) {
    QString why;
    std::vector<GR_Layer> layers;
    if (!GR_VectorFile::readQvx(bytes, layers, &why)) {
        postInvalid(why);
        return false;
    }
    m_layers.swap(layers);
    m_modified = false;
    notePendingColors();
    return true;
}

bool GR_CompositeVectorDrawingObj::Load(const PL_FileSpec& spec) {
    QByteArray bytes;
    QString why;
    if (!GR_VectorFile::readFile(spec.path(), bytes, &why)) {
        postInvalid(why);
        return false;
    }
    return replaceFromBytes(bytes, spec.path());
}

bool GR_CompositeVectorDrawingObj::LoadFromStdin() {
    QByteArray bytes;
    if (!GR_VectorFile::readStdin(bytes)) {
        postInvalid(QStringLiteral("standard input cannot be read"));
        return false;
    }
    return replaceFromBytes(bytes, QStringLiteral("-"));
}

bool GR_CompositeVectorDrawingObj::LoadFromBytes(const QByteArray& bytes) {
    return replaceFromBytes(bytes, QString());
}

QByteArray GR_CompositeVectorDrawingObj::StoreToBytes(int version) const {
    if (version != 0 && version != GR_VectorFile::kVersion) return QByteArray();
    return GR_VectorFile::writeQvx(m_layers);
}

bool GR_CompositeVectorDrawingObj::Store(const PL_FileSpec& spec, int version) {
    const QByteArray bytes = StoreToBytes(version);
    if (bytes.isEmpty() || !GR_VectorFile::writeFile(spec.path(), bytes)) return false;
    m_modified = false;
    return true;
}

bool GR_CompositeVectorDrawingObj::StoreToStdout(int version) {
    const QByteArray bytes = StoreToBytes(version);
    if (bytes.isEmpty() || !GR_VectorFile::writeStdout(bytes)) return false;
    m_modified = false;
    return true;
}

void GR_CompositeVectorDrawingObj::SetDrawingColors(CM_PaletteList* list) {
    m_palette = list;
    notePendingColors();
}

CM_ColorRGBA8 GR_CompositeVectorDrawingObj::ResolveColor(const GR_ShapeColor& color) const {
    CM_ColorRGBA8 listed;
    if (color.paletteId != 0 && m_palette && m_palette->findColor(color.paletteId, listed)) return listed;
    return color.color;
}

void GR_CompositeVectorDrawingObj::notePendingColors() {
    m_pending.clear();
    if (!m_palette) return;
    const auto note = [this](const GR_ShapeColor& c) {
        if (c.paletteId == 0 || m_palette->contains(c.paletteId)) return;
        for (const GR_ShapeColor& p : m_pending)
            if (p.paletteId == c.paletteId) return;
        m_pending.push_back(c);
    };
    for (const GR_Layer& layer : m_layers)
        for (const GR_Shape& s : layer.shapes) {
            if (s.flags & GR_Shape::Fill) note(s.fill);
            if (s.flags & GR_Shape::Stroke) note(s.stroke);
        }
}

void GR_CompositeVectorDrawingObj::PerformColorRecovery(const CM_ColorRecoveryContext& context) {
    if (!context.isColorRecovery()) {
        m_pending.clear();
        return;
    }
    if (context.isDelayedColorRecovery()) return;
    if (m_palette)
        for (const GR_ShapeColor& c : m_pending)
            if (!m_palette->contains(c.paletteId)) m_palette->setColor(c.paletteId, c.color);
    m_pending.clear();
}

Math::Box2d GR_CompositeVectorDrawingObj::GetVisibleWorldBBox(const GR_ArtSelector& art) const {
    return GetVisibleWorldBBox(GR_ThicknessRenderParams{}, art);
}

Math::Box2d GR_CompositeVectorDrawingObj::GetVisibleWorldBBox(const GR_ThicknessRenderParams& params,
                                                              const GR_ArtSelector& art) const {
    const double thickness = std::isfinite(params.thickness) ? std::max(params.thickness, 0.0) : 0.0;
    double lx = HUGE_VAL, ly = HUGE_VAL, hx = -HUGE_VAL, hy = -HUGE_VAL;
    for (const GR_Layer& layer : m_layers) {
        if (!layer.visible || !art.selects(layer.type)) continue;
        for (const GR_Shape& s : layer.shapes) {
            double x1, y1, x2, y2;
            if (!s.path.controlBox(x1, y1, x2, y2)) continue;
            double margin = 0.0;
            if (s.isStroked())
                margin = s.width * 0.5 * thickness;
            else if (!s.isFilled())
                continue;
            lx = std::min(lx, x1 - margin), ly = std::min(ly, y1 - margin);
            hx = std::max(hx, x2 + margin), hy = std::max(hy, y2 + margin);
        }
    }
    if (!(hx > lx && hy > ly)) return Math::Box2d();
    return Math::Box2d(lx, ly, hx, hy);
}

bool GR_CompositeVectorDrawingObj::RenderDrawing(GR_LayerSoftRenderer& renderer,
                                                 const GR_ArtSelector& art) const {
    return renderer.render(*this, art);
}

namespace {

// The flattened rings of a path filled by its own rule: overlaps merged, so
// that the rings drawn by the even-odd rule cover what the path covers.
void addRings(const QPainterPath& path, double tolerance, const CM_ColorRGBA8& color,
              std::vector<GR_OptimizedVectorDrawingObj::Polygon>& out) {
    // Qt flattens curves to half a unit: scale so that half a unit is the tolerance.
    const double k = 0.5 / tolerance;
    const QPainterPath simple = path.simplified();
    for (const QPolygonF& ring : simple.toSubpathPolygons(QTransform::fromScale(k, k))) {
        if (ring.size() < 3) continue;
        GR_OptimizedVectorDrawingObj::Polygon polygon;
        polygon.color = color;
        polygon.points.reserve(std::size_t(ring.size()));
        constexpr double kMax = GR_Path::kMaxCoordinate;
        for (const QPointF& p : ring)
            polygon.points.push_back(
                {float(std::clamp(p.x() / k, -kMax, kMax)), float(std::clamp(p.y() / k, -kMax, kMax))});
        out.push_back(std::move(polygon));
    }
}

} // namespace

GR_OptimizedVectorDrawingObj*
GR_CompositeVectorDrawingObj::BuildOptimizedVersion(const VS_Canvas* canvas, bool lineArt, bool colorArt,
                                                    bool resolveColors, float tolerance,
                                                    const Math::Box2d& box) const {
    if (!(lineArt || colorArt) || !(tolerance > 0.0f) || !std::isfinite(tolerance)) return nullptr;
    GR_ArtSelector art(0);
    art.setRenderLineArt(lineArt);
    art.setRenderColorArt(colorArt);
    auto* out = new GR_OptimizedVectorDrawingObj;
    out->setBoundingBox(box);
    out->setFieldSize(canvas ? canvas->fieldSize : VS_Canvas().fieldSize);
    const auto colorOf = [this, resolveColors](const GR_ShapeColor& c) {
        return resolveColors ? ResolveColor(c) : c.color;
    };
    // Colour art under line art, as drawn.
    for (uint32_t type : {uint32_t(GR_ColorArtLayer), uint32_t(GR_LineArtLayer)}) {
        if (!art.selects(type)) continue;
        for (const GR_Layer& layer : m_layers) {
            if (layer.type != type || !layer.visible) continue;
            for (const GR_Shape& s : layer.shapes) {
                if (s.path.isEmpty() || !s.path.isValid()) continue;
                const QPainterPath path = GR_Detail::painterPath(s.path);
                if (s.isFilled()) addRings(path, tolerance, colorOf(s.fill), out->polygons());
                if (s.isStroked())
                    addRings(GR_Detail::strokeOutline(path, s.width, tolerance), tolerance, colorOf(s.stroke),
                             out->polygons());
            }
        }
    }
    return out;
}

// ------------------------------------------------------------------ editing

const GR_Layer* GR_DrawingAccess::Layer(int index) const {
    return index >= 0 && index < LayerCount() ? &m_drawing.m_layers[std::size_t(index)] : nullptr;
}

int GR_DrawingAccess::CreateLayer(uint32_t type, int position, bool visible) {
    std::vector<GR_Layer>& layers = m_drawing.m_layers;
    const int at = position < 0 || position > LayerCount() ? LayerCount() : position;
    GR_Layer layer;
    layer.type = type;
    layer.visible = visible;
    layers.insert(layers.begin() + at, std::move(layer));
    m_drawing.m_modified = true;
    return at;
}

int GR_DrawingAccess::FindLayer(uint32_t type) const {
    for (int i = 0; i < LayerCount(); ++i)
        if (m_drawing.m_layers[std::size_t(i)].type == type) return i;
    return -1;
}

bool GR_DrawingAccess::SetLayerVisible(int layer, bool visible) {
    if (!Layer(layer)) return false;
    m_drawing.m_layers[std::size_t(layer)].visible = visible;
    m_drawing.m_modified = true;
    return true;
}

bool GR_DrawingAccess::RemoveLayer(int layer) {
    if (!Layer(layer)) return false;
    m_drawing.m_layers.erase(m_drawing.m_layers.begin() + layer);
    m_drawing.m_modified = true;
    return true;
}

bool GR_DrawingAccess::InsertShape(int layer, const GR_Shape& shape) {
    if (!Layer(layer) || !shape.path.isValid() ||
        !(shape.width >= 0.0f && shape.width <= GR_Shape::kMaxWidth) ||
        (shape.flags & ~uint8_t(GR_Shape::Fill | GR_Shape::Stroke)))
        return false;
    m_drawing.m_layers[std::size_t(layer)].shapes.push_back(shape);
    m_drawing.m_modified = true;
    if (m_drawing.m_palette) m_drawing.notePendingColors();
    return true;
}

bool GR_DrawingAccess::InsertFill(int layer, const GR_Path& path, const GR_ShapeColor& color) {
    GR_Shape s;
    s.flags = GR_Shape::Fill;
    s.fill = color;
    s.path = path;
    return InsertShape(layer, s);
}

bool GR_DrawingAccess::InsertStroke(int layer, const GR_Path& path, const GR_ShapeColor& color, float width) {
    GR_Shape s;
    s.flags = GR_Shape::Stroke;
    s.stroke = color;
    s.width = width;
    s.path = path;
    return InsertShape(layer, s);
}

bool GR_DrawingAccess::TranslateLayer(int layer, double dx, double dy) {
    if (!Layer(layer) || !std::isfinite(dx) || !std::isfinite(dy)) return false;
    for (GR_Shape& s : m_drawing.m_layers[std::size_t(layer)].shapes) s.path.translate(dx, dy);
    m_drawing.m_modified = true;
    return true;
}

bool GR_DrawingAccess::Merge(GR_CompositeVectorDrawingObj& dst, const GR_CompositeVectorDrawingObj& src,
                             const Math::Matrix4x4& m, const GR_ArtSelector& art) {
    // Widths follow the map's area factor (at the origin for a perspective map).
    const double w = m(3, 3);
    const double det = (m(0, 0) * m(1, 1) - m(0, 1) * m(1, 0)) / (w * w);
    const double widthScale = std::sqrt(std::fabs(det));
    if (!std::isfinite(widthScale)) return false;

    std::vector<GR_Layer> layers = dst.m_layers; // all or nothing
    for (const GR_Layer& from : src.m_layers) {
        if (!art.selects(from.type)) continue;
        int target = -1;
        for (std::size_t i = 0; i < layers.size() && target < 0; ++i)
            if (layers[i].type == from.type) target = int(i);
        if (target < 0) {
            GR_Layer fresh;
            fresh.type = from.type;
            fresh.visible = from.visible;
            layers.push_back(std::move(fresh));
            target = int(layers.size()) - 1;
        }
        for (GR_Shape s : from.shapes) {
            if (!s.path.transform(m)) return false;
            s.width = float(std::min(double(s.width) * widthScale, double(GR_Shape::kMaxWidth)));
            for (GR_ShapeColor* c : {&s.fill, &s.stroke}) {
                CM_ColorRGBA8 listed;
                const bool inDst = dst.m_palette && dst.m_palette->contains(c->paletteId);
                if (c->paletteId != 0 && !inDst && src.m_palette &&
                    src.m_palette->findColor(c->paletteId, listed))
                    c->color = listed;
            }
            layers[std::size_t(target)].shapes.push_back(std::move(s));
        }
    }
    dst.m_layers.swap(layers);
    dst.m_modified = true;
    dst.notePendingColors();
    return true;
}

// ------------------------------------------------------------------ optimised drawings

GR_OptimizedVectorDrawingObj::~GR_OptimizedVectorDrawingObj() = default;

bool GR_OptimizedVectorDrawingObj::LoadFromBytes(const QByteArray& bytes) {
    QString why;
    GR_OptimizedVectorDrawingObj parsed;
    if (!GR_VectorFile::readQvxo(bytes, parsed, &why)) {
        postInvalid(why);
        return false;
    }
    m_box = parsed.m_box;
    m_pivot = parsed.m_pivot;
    m_pivotDefined = parsed.m_pivotDefined;
    m_fieldSize = parsed.m_fieldSize;
    m_polygons.swap(parsed.m_polygons);
    return true;
}

bool GR_OptimizedVectorDrawingObj::Load(const PL_FileSpec& spec) {
    QByteArray bytes;
    QString why;
    if (!GR_VectorFile::readFile(spec.path(), bytes, &why)) {
        postInvalid(why);
        return false;
    }
    return LoadFromBytes(bytes);
}

QByteArray GR_OptimizedVectorDrawingObj::StoreToBytes() const {
    return GR_VectorFile::writeQvxo(*this);
}

bool GR_OptimizedVectorDrawingObj::Store(const PL_FileSpec& spec) const {
    return GR_VectorFile::writeFile(spec.path(), StoreToBytes());
}
