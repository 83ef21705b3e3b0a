#include "base/VectorFile.h"

#include <QFile>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "base/ByteOrder.h"

namespace {

// Reads little-endian values from a byte array; every getter first checks that
// the bytes are there (need()).
class Reader {
public:
    explicit Reader(const QByteArray& bytes)
        : m_p(reinterpret_cast<const uint8_t*>(bytes.constData())), m_left(uint64_t(bytes.size())) {}

    uint64_t left() const { return m_left; }
    bool need(uint64_t n) const { return n <= m_left; }

    uint8_t u8() { return take(1)[0]; }
    uint16_t u16() { return ByteOrder::getU16LE(take(2)); }
    uint32_t u32() { return ByteOrder::getU32LE(take(4)); }
    uint64_t u64() {
        const uint8_t* p = take(8);
        return uint64_t(ByteOrder::getU32LE(p)) | uint64_t(ByteOrder::getU32LE(p + 4)) << 32;
    }
    float f32() { return std::bit_cast<float>(u32()); }
    double f64() { return std::bit_cast<double>(u64()); }
    const uint8_t* bytes(uint64_t n) { return take(n); }

private:
    const uint8_t* take(uint64_t n) {
        const uint8_t* p = m_p;
        m_p += n;
        m_left -= n;
        return p;
    }
    const uint8_t* m_p;
    uint64_t m_left;
};

class Writer {
public:
    void u8(uint8_t v) { m_bytes.append(char(v)); }
    void u16(uint16_t v) {
        uint8_t b[2];
        ByteOrder::putU16LE(b, v);
        m_bytes.append(reinterpret_cast<const char*>(b), 2);
    }
    void u32(uint32_t v) {
        uint8_t b[4];
        ByteOrder::putU32LE(b, v);
        m_bytes.append(reinterpret_cast<const char*>(b), 4);
    }
    void u64(uint64_t v) {
        u32(uint32_t(v));
        u32(uint32_t(v >> 32));
    }
    void f32(float v) { u32(std::bit_cast<uint32_t>(v)); }
    void f64(double v) { u64(std::bit_cast<uint64_t>(v)); }
    void raw(const char* p, qsizetype n) { m_bytes.append(p, n); }
    void reserve(qsizetype n) { m_bytes.reserve(n); }
    QByteArray take() { return std::move(m_bytes); }

private:
    QByteArray m_bytes;
};

bool fail(QString* why, const QString& text) {
    if (why) *why = text;
    return false;
}

bool zeros(Reader& r, int n) {
    bool ok = true;
    for (int i = 0; i < n; ++i) ok &= r.u8() == 0;
    return ok;
}

// Reads the magic, the version and its padding.
bool readHead(Reader& r, const char* magic, const char* name, QString* why) {
    if (!r.need(8) || std::memcmp(r.bytes(4), magic, 4) != 0)
        return fail(why, QStringLiteral("not a %1 file").arg(QLatin1String(name)));
    const uint16_t version = r.u16();
    if (version != GR_VectorFile::kVersion)
        return fail(why,
                    QStringLiteral("%1 version %2 is not supported").arg(QLatin1String(name)).arg(version));
    if (r.u16() != 0) return fail(why, QStringLiteral("bad header padding"));
    return true;
}

bool readColor(Reader& r, CM_ColorRGBA8& c) {
    const uint8_t* p = r.bytes(4);
    c = CM_ColorRGBA8{p[0], p[1], p[2], p[3]};
    return true;
}

void writeColor(Writer& w, const CM_ColorRGBA8& c) {
    const char p[4] = {char(c.r), char(c.g), char(c.b), char(c.a)};
    w.raw(p, 4);
}

bool coordinateOk(float v) {
    return std::isfinite(v) && std::fabs(v) <= GR_Path::kMaxCoordinate;
}

// Shape record without its verbs and points: flags, padding, two colours, width, two counts.
constexpr uint64_t kShapeFixed = 4 + 12 + 12 + 4 + 4 + 4;
constexpr uint64_t kLayerFixed = 4 + 4 + 4;

bool readShape(Reader& r, GR_Shape& s, QString* why) {
    if (!r.need(kShapeFixed)) return fail(why, QStringLiteral("file cut short"));
    s.flags = r.u8();
    if (s.flags & ~uint8_t(GR_Shape::Fill | GR_Shape::Stroke))
        return fail(why, QStringLiteral("unknown shape flags %1").arg(s.flags));
    if (!zeros(r, 3)) return fail(why, QStringLiteral("bad shape padding"));
    readColor(r, s.fill.color);
    s.fill.paletteId = r.u64();
    readColor(r, s.stroke.color);
    s.stroke.paletteId = r.u64();
    s.width = r.f32();
    if (!(s.width >= 0.0f && s.width <= GR_Shape::kMaxWidth))
        return fail(why, QStringLiteral("stroke width %1 out of range").arg(double(s.width)));
    const uint32_t verbs = r.u32(), points = r.u32();
    if (!r.need(uint64_t(verbs) + uint64_t(points) * 8)) return fail(why, QStringLiteral("file cut short"));
    const uint8_t* v = r.bytes(verbs);
    std::vector<uint8_t> verbList(v, v + verbs);
    std::vector<GR_Point> pointList(points);
    for (GR_Point& p : pointList) {
        p.x = r.f32();
        p.y = r.f32();
    }
    QString fault;
    if (!GR_Path::check(verbList, pointList, &fault)) return fail(why, fault);
    s.path.assign(std::move(verbList), std::move(pointList));
    return true;
}

} // namespace

namespace GR_VectorFile {

bool readQvx(const QByteArray& bytes, std::vector<GR_Layer>& layers, QString* why) {
    Reader r(bytes);
    if (!readHead(r, kQvxMagic, "QVX", why)) return false;
    if (!r.need(4)) return fail(why, QStringLiteral("file cut short"));
    const uint32_t layerCount = r.u32();
    if (!r.need(uint64_t(layerCount) * kLayerFixed)) return fail(why, QStringLiteral("file cut short"));
    std::vector<GR_Layer> parsed(layerCount);
    for (uint32_t l = 0; l < layerCount; ++l) {
        GR_Layer& layer = parsed[l];
        if (!r.need(kLayerFixed)) return fail(why, QStringLiteral("file cut short"));
        layer.type = r.u32();
        const uint8_t visible = r.u8();
        if (visible > 1) return fail(why, QStringLiteral("layer %1: bad visibility %2").arg(l).arg(visible));
        layer.visible = visible == 1;
        if (!zeros(r, 3)) return fail(why, QStringLiteral("layer %1: bad padding").arg(l));
        const uint32_t shapeCount = r.u32();
        if (!r.need(uint64_t(shapeCount) * kShapeFixed)) return fail(why, QStringLiteral("file cut short"));
        layer.shapes.resize(shapeCount);
        for (uint32_t s = 0; s < shapeCount; ++s) {
            QString fault;
            if (!readShape(r, layer.shapes[s], &fault))
                return fail(why, QStringLiteral("layer %1, shape %2: %3").arg(l).arg(s).arg(fault));
        }
    }
    if (r.left() != 0) return fail(why, QStringLiteral("%1 bytes after the last layer").arg(r.left()));
    layers.swap(parsed);
    return true;
}

QByteArray writeQvx(const std::vector<GR_Layer>& layers) {
    Writer w;
    qsizetype size = 12;
    for (const GR_Layer& layer : layers) {
        size += qsizetype(kLayerFixed);
        for (const GR_Shape& s : layer.shapes)
            size += qsizetype(kShapeFixed + s.path.verbs().size() + s.path.points().size() * 8);
    }
    w.reserve(size);
    w.raw(kQvxMagic, 4);
    w.u16(kVersion);
    w.u16(0);
    w.u32(uint32_t(layers.size()));
    for (const GR_Layer& layer : layers) {
        w.u32(layer.type);
        w.u8(layer.visible ? 1 : 0);
        w.raw("\0\0\0", 3);
        w.u32(uint32_t(layer.shapes.size()));
        for (const GR_Shape& s : layer.shapes) {
            w.u8(s.flags);
            w.raw("\0\0\0", 3);
            writeColor(w, s.fill.color);
            w.u64(s.fill.paletteId);
            writeColor(w, s.stroke.color);
            w.u64(s.stroke.paletteId);
            w.f32(s.width);
            w.u32(uint32_t(s.path.verbs().size()));
            w.u32(uint32_t(s.path.points().size()));
            w.raw(reinterpret_cast<const char*>(s.path.verbs().data()), qsizetype(s.path.verbs().size()));
            for (const GR_Point& p : s.path.points()) {
                w.f32(p.x);
                w.f32(p.y);
            }
        }
    }
    return w.take();
}

bool readQvxo(const QByteArray& bytes, GR_OptimizedVectorDrawingObj& drawing, QString* why) {
    Reader r(bytes);
    if (!readHead(r, kQvxoMagic, "QVXO", why)) return false;
    constexpr uint64_t kFixed = 6 * 8 + 4 + 4 + 4;
    if (!r.need(kFixed)) return fail(why, QStringLiteral("file cut short"));
    double v[6];
    for (double& d : v) d = r.f64();
    for (double d : v)
        if (!std::isfinite(d)) return fail(why, QStringLiteral("box or pivot not finite"));
    const uint8_t pivotDefined = r.u8();
    if (pivotDefined > 1 || !zeros(r, 3)) return fail(why, QStringLiteral("bad pivot flag or padding"));
    const float fieldSize = r.f32();
    if (!std::isfinite(fieldSize)) return fail(why, QStringLiteral("field size not finite"));
    const uint32_t count = r.u32();
    if (!r.need(uint64_t(count) * 8)) return fail(why, QStringLiteral("file cut short"));
    std::vector<GR_OptimizedVectorDrawingObj::Polygon> polygons(count);
    for (uint32_t i = 0; i < count; ++i) {
        if (!r.need(8)) return fail(why, QStringLiteral("file cut short"));
        readColor(r, polygons[i].color);
        const uint32_t n = r.u32();
        if (!r.need(uint64_t(n) * 8)) return fail(why, QStringLiteral("file cut short"));
        polygons[i].points.resize(n);
        for (GR_Point& p : polygons[i].points) {
            p.x = r.f32();
            p.y = r.f32();
            if (!coordinateOk(p.x) || !coordinateOk(p.y))
                return fail(why, QStringLiteral("polygon %1: coordinate out of range").arg(i));
        }
    }
    if (r.left() != 0) return fail(why, QStringLiteral("%1 bytes after the last polygon").arg(r.left()));
    drawing.setBoundingBox(Math::Box2d(v[0], v[1], v[2], v[3]));
    drawing.setPivot(Math::Point2d(v[4], v[5]), pivotDefined == 1);
    drawing.setFieldSize(fieldSize);
    drawing.polygons().swap(polygons);
    return true;
}

QByteArray writeQvxo(const GR_OptimizedVectorDrawingObj& drawing) {
    Writer w;
    w.raw(kQvxoMagic, 4);
    w.u16(kVersion);
    w.u16(0);
    const Math::Box2d& b = drawing.boundingBox();
    for (double d : {b.x1(), b.y1(), b.x2(), b.y2(), drawing.pivot().x, drawing.pivot().y}) w.f64(d);
    w.u8(drawing.isPivotDefined() ? 1 : 0);
    w.raw("\0\0\0", 3);
    w.f32(drawing.fieldSize());
    w.u32(uint32_t(drawing.polygons().size()));
    for (const auto& polygon : drawing.polygons()) {
        writeColor(w, polygon.color);
        w.u32(uint32_t(polygon.points.size()));
        for (const GR_Point& p : polygon.points) {
            w.f32(p.x);
            w.f32(p.y);
        }
    }
    return w.take();
}

bool readFile(const QString& path, QByteArray& bytes, QString* why) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return fail(why, f.errorString());
    bytes = f.readAll();
    if (f.error() != QFileDevice::NoError) return fail(why, f.errorString());
    return true;
}

bool readStdin(QByteArray& bytes) {
    QFile f;
    if (!f.open(stdin, QIODevice::ReadOnly)) return false;
    bytes = f.readAll();
    return f.error() == QFileDevice::NoError;
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    const bool written = f.write(bytes) == bytes.size() && f.flush();
    f.close();
    return written && f.error() == QFileDevice::NoError;
}

bool writeStdout(const QByteArray& bytes) {
    std::fflush(stdout);
    QFile f;
    if (!f.open(stdout, QIODevice::WriteOnly)) return false;
    return f.write(bytes) == bytes.size() && f.flush();
}

} // namespace GR_VectorFile
