#include "TileIndex.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <climits>
#include <cmath>
#include <set>
#include <utility>

namespace celtool {

namespace {

QJsonObject boxJson(const Math::Box2di& b) {
    return QJsonObject{{QStringLiteral("x"), b.x1()},
                       {QStringLiteral("y"), b.y1()},
                       {QStringLiteral("width"), b.w()},
                       {QStringLiteral("height"), b.h()}};
}

// An integer member of an object; false when it is missing, not a whole
// number or outside [lo, hi].
bool integer(const QJsonObject& o, const char* key, long long lo, long long hi, long long& out) {
    const QJsonValue v = o.value(QLatin1String(key));
    if (!v.isDouble()) return false;
    const double d = v.toDouble();
    if (!(d >= double(lo) && d <= double(hi)) || std::trunc(d) != d) return false;
    out = (long long)d;
    return true;
}

bool box(const QJsonObject& o, Math::Box2di& out) {
    long long x = 0, y = 0, w = 0, h = 0;
    if (!integer(o, "x", INT_MIN, INT_MAX, x) || !integer(o, "y", INT_MIN, INT_MAX, y) ||
        !integer(o, "width", 1, INT_MAX, w) || !integer(o, "height", 1, INT_MAX, h) || x + w > INT_MAX ||
        y + h > INT_MAX)
        return false;
    out = Math::Box2di(int(x), int(y), int(w), int(h));
    return true;
}

// The tile's rectangle: its square from the bounds' top-left, cut at the bounds.
Math::Box2di tileRect(const Math::Box2di& bounds, int size, int column, int row) {
    const long long x1 = bounds.x1() + (long long)column * size, y1 = bounds.y1() + (long long)row * size;
    if (column < 0 || row < 0 || x1 >= bounds.x2() || y1 >= bounds.y2()) return Math::Box2di();
    return Math::Box2di::fromCorners(int(x1), int(y1), int(std::min<long long>(x1 + size, bounds.x2())),
                                     int(std::min<long long>(y1 + size, bounds.y2())));
}

// A name that stays inside the folder.
bool plainName(const QString& name) {
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..") &&
           !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\')) && !name.contains(QChar(0));
}

uint8_t rounded8(double v) {
    return v <= 0 ? uint8_t(0) : uint8_t((int32_t(v) * 255 + 16383) / 32767);
}

double clamped(double v) {
    return v < -32767.0 ? -32767.0 : (v > 32767.0 ? 32767.0 : v);
}

} // namespace

void premultiplyPixels(BM_PixelRgba32* pixels, long long n) {
    for (long long i = 0; i < n; ++i) {
        BM_PixelRgba32& p = pixels[i];
        if (p.a == 255) continue;
        const double f = CEL_PixelRule::from8(p.a) / 32767.0;
        const auto one = [f](uint8_t c) {
            return rounded8(clamped(double(int32_t(CEL_PixelRule::from8(c) * f + 0.5))));
        };
        p = BM_PixelRgba32{one(p.r), one(p.g), one(p.b), p.a};
    }
}

void demultiplyPixels(BM_PixelRgba32* pixels, long long n) {
    for (long long i = 0; i < n; ++i) {
        BM_PixelRgba32& p = pixels[i];
        if (p.a == 255) continue;
        const double s = p.a > 0 ? 32767.0 / CEL_PixelRule::from8(p.a) : 0.0;
        const auto one = [s](uint8_t c) {
            return rounded8(clamped(double(int64_t(CEL_PixelRule::from8(c) * s + 0.5))));
        };
        p = BM_PixelRgba32{one(p.r), one(p.g), one(p.b), p.a};
    }
}

QByteArray TileIndex::toJson() const {
    QJsonArray list;
    for (const TileEntry& t : tiles)
        list.append(QJsonObject{{QStringLiteral("column"), t.column},
                                {QStringLiteral("row"), t.row},
                                {QStringLiteral("rect"), boxJson(t.rect)},
                                {QStringLiteral("file"), t.file},
                                {QStringLiteral("bytes"), double(t.bytes)}});
    const QJsonObject o{{QStringLiteral("canvas"), QJsonObject{{QStringLiteral("width"), canvas.width},
                                                               {QStringLiteral("height"), canvas.height}}},
                        {QStringLiteral("bounds"), boxJson(bounds)},
                        {QStringLiteral("tileSize"), tileSize},
                        {QStringLiteral("format"), format},
                        {QStringLiteral("tiles"), list}};
    return QJsonDocument(o).toJson(QJsonDocument::Indented);
}

bool TileIndex::fromJson(const QByteArray& text, TileIndex& index, QString& why) {
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(text, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject()) {
        why = QStringLiteral("not a tile index (%1)")
                  .arg(error.error != QJsonParseError::NoError ? error.errorString()
                                                               : QStringLiteral("no object"));
        return false;
    }
    const QJsonObject o = doc.object();
    TileIndex in;
    long long w = 0, h = 0, size = 0;
    const QJsonObject canvas = o.value(QLatin1String("canvas")).toObject();
    if (!integer(canvas, "width", 0, INT_MAX, w) || !integer(canvas, "height", 0, INT_MAX, h)) {
        why = QStringLiteral("no canvas size");
        return false;
    }
    in.canvas = Math::Size2di(int(w), int(h));
    if (!box(o.value(QLatin1String("bounds")).toObject(), in.bounds)) {
        why = QStringLiteral("no bounds (x, y, width and height above 0, inside the integer range)");
        return false;
    }
    if (!integer(o, "tileSize", 1, INT_MAX, size) || size != in.tileSize) {
        why = QStringLiteral("tile size is not %1").arg(in.tileSize);
        return false;
    }
    in.format = o.value(QLatin1String("format")).toString().toLower();
    if (!o.value(QLatin1String("tiles")).isArray()) {
        why = QStringLiteral("no tile list");
        return false;
    }
    std::set<std::pair<long long, long long>> seen;
    for (const QJsonValue& v : o.value(QLatin1String("tiles")).toArray()) {
        const QJsonObject t = v.toObject();
        TileEntry e;
        long long column = 0, row = 0, bytes = 0;
        if (!integer(t, "column", 0, INT_MAX, column) || !integer(t, "row", 0, INT_MAX, row)) {
            why = QStringLiteral("a tile without its column and row");
            return false;
        }
        const QString place = QStringLiteral("tile %1,%2").arg(column).arg(row);
        e.column = int(column);
        e.row = int(row);
        const Math::Box2di expected = tileRect(in.bounds, in.tileSize, e.column, e.row);
        if (expected.hasNullArea()) {
            why = place + QStringLiteral(" lies outside the bounds");
            return false;
        }
        if (!box(t.value(QLatin1String("rect")).toObject(), e.rect) || e.rect != expected) {
            why = place + QStringLiteral(": its rectangle is not its place in the grid");
            return false;
        }
        e.file = t.value(QLatin1String("file")).toString();
        if (!plainName(e.file)) {
            why = place + QStringLiteral(": no plain file name");
            return false;
        }
        if (integer(t, "bytes", 0, LLONG_MAX / 2, bytes)) e.bytes = bytes;
        if (!seen.insert({column, row}).second) {
            why = place + QStringLiteral(" is listed twice");
            return false;
        }
        in.tiles.push_back(e);
    }
    index = std::move(in);
    return true;
}

} // namespace celtool
