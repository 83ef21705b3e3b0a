// The family list of `celtool filter` and the helpers its rows share.
#include "FilterOps.h"

#include <cmath>

#include "pixel/PixmapArea.h"
#include "pixel/PixmapCanvas.h"

namespace celtool {

const std::vector<FilterOp>& filterOps() {
    static const std::vector<FilterOp> all = [] {
        std::vector<FilterOp> rows;
        // One line per family, in the order the help lists them.
        for (std::vector<FilterOp> (*family)() :
             {transformFilterOps, panFilterOps, blurFilterOps, matteFilterOps, colourFilterOps,
              stylizeFilterOps, textFilterOps})
            for (const FilterOp& op : family()) rows.push_back(op);
        return rows;
    }();
    return all;
}

namespace {
QString& inputName() {
    static QString name;
    return name;
}
} // namespace

void setFilterInputName(const QString& name) {
    inputName() = name;
}
QString filterInputName() {
    return inputName();
}

const FilterOp* findFilterOp(const QString& name) {
    for (const FilterOp& op : filterOps())
        if (name == QLatin1String(op.name)) return &op;
    return nullptr;
}

bool parseNumber(const QString& text, const char* what, double& value, QString& error) {
    bool ok = false;
    value = text.trimmed() == text ? text.toDouble(&ok) : 0.0;
    if (ok && std::isfinite(value)) return true;
    error = QStringLiteral("%1: '%2' is not a finite number").arg(QLatin1String(what), text);
    return false;
}

bool parsePositive(const QString& text, const char* what, double& value, QString& error) {
    if (!parseNumber(text, what, value, error)) return false;
    if (value > 0.0) return true;
    error = QStringLiteral("%1: %2 must be greater than 0").arg(QLatin1String(what), text);
    return false;
}

bool parseInteger(const QString& text, const char* what, long long lo, long long hi, long long& value,
                  QString& error) {
    bool ok = false;
    value = text.toLongLong(&ok, 10);
    if (ok && value >= lo && value <= hi) return true;
    error = QStringLiteral("%1: '%2' is not a whole number from %3 to %4")
                .arg(QLatin1String(what), text)
                .arg(lo)
                .arg(hi);
    return false;
}

bool parseSize(const QString& text, const char* what, FilterSize& size, QString& error) {
    const QStringList sides = text.split(QLatin1Char('x'));
    long long w = 0, h = 0;
    QString ignored;
    if (sides.size() == 2 && parseInteger(sides[0], what, 1, INT32_MAX, w, ignored) &&
        parseInteger(sides[1], what, 1, INT32_MAX, h, ignored)) {
        size = {w, h};
        return true;
    }
    error = QStringLiteral("%1: '%2' is not a size WxH of whole numbers greater than 0")
                .arg(QLatin1String(what), text);
    return false;
}

bool parseNumberList(const QString& text, const char* what, const std::vector<int>& counts,
                     std::vector<double>& values, QString& error) {
    const QStringList parts = text.split(QLatin1Char(','));
    values.clear();
    for (const QString& part : parts) {
        double v = 0.0;
        if (!parseNumber(part, what, v, error)) return false;
        values.push_back(v);
    }
    for (int n : counts)
        if (int(values.size()) == n) return true;
    QStringList allowed;
    for (int n : counts) allowed << QString::number(n);
    error = QStringLiteral("%1: '%2' has %3 numbers, expected %4")
                .arg(QLatin1String(what), text)
                .arg(values.size())
                .arg(allowed.join(QStringLiteral(" or ")));
    return false;
}

bool convertFilterPixmap(FilterPixmap& pixmap, FilterInput input) {
    if (!pixmap) return false;
    const CEL_Representation::CelFormat want = input == FilterInput::Area
                                                   ? CEL_Representation::PIXMAP_AREA_RGBA16
                                                   : CEL_Representation::PIXMAP_RGBA16;
    if (pixmap->getFormat() == want) return true;
    FilterPixmap converted(dynamic_cast<CEL_Pixmap*>(pixmap->convertTo(want)));
    if (!converted) return false;
    pixmap = std::move(converted);
    return true;
}

FilterSize filterSizeOf(const CEL_Pixmap& pixmap) {
    return {pixmap.width(), pixmap.height()};
}

} // namespace celtool
