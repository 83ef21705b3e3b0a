// `celtool filter --text[:MODIFIERS] TEXT`: a line of text burnt into the
// picture. The text is laid out on a drawing of the picture's aspect at scale 1
// (base/VectorText.h, algo/filters/TextOverlay.h), rendered over the text's
// area only and laid over the picture with the premultiplied over, so pixels
// outside that area stay as they were.
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringList>
#include <memory>

#include "Console.h"
#include "FilterOps.h"
#include "algo/composite/Composite.h"
#include "algo/filters/TextOverlay.h"
#include "base/VectorText.h"
#include "cel/VectorQvd.h"
#include "pixel/PixmapArea.h"

namespace celtool {

namespace {

struct TextParams {
    int vAlign = -1, hAlign = 0; // bc
    int percent = 40;
    uint32_t size = CelAlgo::TextProperties::kAutomatic;
    uint32_t style = 0;
    long long colour = 0xFFFFFFFFLL;
    bool box = false;
    long long boxColour = 0xFF000000LL;
    int line = 0;
    bool hasSample = false;
    QString sample;
    long long fps = 24;
    QString frame; // as written; empty: from IN's name
    QString text;
};

const char* const kWhat = "--text";

bool bad(QString& error, const QString& text) {
    error = QStringLiteral("--text: %1").arg(text);
    return false;
}

// RRGGBB or RRGGBBAA to 0xAARRGGBB.
bool parseColour(const QString& key, const QString& v, long long& argb, QString& error) {
    static const QRegularExpression hex(QStringLiteral("^([0-9A-Fa-f]{6}|[0-9A-Fa-f]{8})$"));
    if (!hex.match(v).hasMatch())
        return bad(error, QStringLiteral("%1=%2 is not a colour RRGGBB or RRGGBBAA").arg(key, v));
    const unsigned long long n = v.toULongLong(nullptr, 16);
    argb = v.size() == 6 ? (0xFF000000LL | (long long)n) : (long long)(((n & 0xFF) << 24) | (n >> 8));
    return true;
}

// Walks the placeholders of text: `expand` gets each name and returns false to stop.
template <class F> bool walkPlaceholders(const QString& text, QString& out, QString& error, F&& expand) {
    out.clear();
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if ((c == QLatin1Char('{') || c == QLatin1Char('}')) && i + 1 < text.size() && text[i + 1] == c) {
            out += c;
            ++i;
        } else if (c == QLatin1Char('{')) {
            const qsizetype end = text.indexOf(QLatin1Char('}'), i + 1);
            if (end < 0) return bad(error, QStringLiteral("'{' without '}' (write {{ for a brace)"));
            if (!expand(text.mid(i + 1, end - i - 1), out)) return false;
            i = end;
        } else if (c == QLatin1Char('}')) {
            return bad(error, QStringLiteral("'}' without '{' (write }} for a brace)"));
        } else {
            out += c;
        }
    }
    return true;
}

bool knownPlaceholder(const QString& name) {
    return name == QLatin1String("frame") || name == QLatin1String("timecode") ||
           name == QLatin1String("file");
}

bool parseTextRow(const QString& modifiers, const QString& arg, FilterParams& params, QString& error) {
    TextParams t;
    t.text = arg;
    if (!modifiers.isNull()) {
        for (const QString& m : modifiers.split(QLatin1Char(':'))) {
            const qsizetype eq = m.indexOf(QLatin1Char('='));
            const QString key = eq < 0 ? m : m.left(eq), v = eq < 0 ? QString() : m.mid(eq + 1);
            static const QStringList keys = {"pos", "percent", "size", "style",  "color",
                                             "box", "line",    "fps",  "sample", "frame"};
            if (!keys.contains(key))
                return bad(error,
                           QStringLiteral("unknown modifier '%1' (one of %2)").arg(key, keys.join(", ")));
            if (v.isEmpty()) return bad(error, QStringLiteral("%1 needs a value (%1=...)").arg(key));
            long long n = 0;
            QString ignored;
            const auto integer = [&](long long lo, long long hi) {
                if (parseInteger(v, kWhat, lo, hi, n, ignored)) return true;
                return bad(
                    error,
                    QStringLiteral("%1=%2 is not a whole number from %3 to %4").arg(key, v).arg(lo).arg(hi));
            };
            if (key == QLatin1String("pos")) {
                static const QStringList pos = {"tl", "tc", "tr", "bl", "bc", "br"};
                const qsizetype k = pos.indexOf(v);
                if (k < 0)
                    return bad(error, QStringLiteral("pos=%1 is not one of %2").arg(v, pos.join(", ")));
                t.vAlign = k < 3 ? 1 : -1;
                t.hAlign = int(k % 3) - 1;
            } else if (key == QLatin1String("percent")) {
                if (!integer(1, 1000)) return false;
                t.percent = int(n);
            } else if (key == QLatin1String("size")) {
                if (!integer(1, 0xFFFFFFFELL)) return false;
                t.size = uint32_t(n);
            } else if (key == QLatin1String("style")) {
                static const QStringList styles = {"sans",      "sans-bold", "mono",
                                                   "mono-bold", "serif",     "serif-bold"};
                const qsizetype k = styles.indexOf(v);
                if (k < 0)
                    return bad(error, QStringLiteral("style=%1 is not one of %2").arg(v, styles.join(", ")));
                t.style = uint32_t(k);
            } else if (key == QLatin1String("color")) {
                if (!parseColour(key, v, t.colour, error)) return false;
            } else if (key == QLatin1String("box")) {
                if (!parseColour(key, v, t.boxColour, error)) return false;
                t.box = true;
            } else if (key == QLatin1String("line")) {
                if (!integer(-32768, 32767)) return false;
                t.line = int(n);
            } else if (key == QLatin1String("fps")) {
                if (!integer(1, 1000000)) return false;
                t.fps = n;
            } else if (key == QLatin1String("frame")) {
                if (!integer(0, 1LL << 50)) return false;
                t.frame = v;
            } else {
                t.hasSample = true;
                t.sample = v;
            }
        }
    }
    // Placeholders are checked now, filled in when the picture's name is known.
    QString out;
    const auto check = [&](const QString& name, QString&) {
        if (knownPlaceholder(name)) return true;
        return bad(error,
                   QStringLiteral("unknown placeholder {%1} (frame, timecode, file; {{ and }} for braces)")
                       .arg(name));
    };
    if (!walkPlaceholders(t.text, out, error, check)) return false;
    params = t;
    return true;
}

bool parseText(const QString& arg, FilterParams& params, QString& error) {
    return parseTextRow(QString(), arg, params, error);
}

// The last run of digits in the file's name, as written ("shot_0042.tif": "0042").
QString frameOfName(const QString& fileName) {
    static const QRegularExpression digits(QStringLiteral("(\\d+)\\D*$"));
    const QRegularExpressionMatch m = digits.match(fileName);
    return m.hasMatch() ? m.captured(1) : QString();
}

QString timecode(long long frame, long long fps) {
    const long long ff = frame % fps, seconds = frame / fps;
    return QStringLiteral("%1:%2:%3:%4")
        .arg(seconds / 3600, 2, 10, QLatin1Char('0'))
        .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'))
        .arg(ff, 2, 10, QLatin1Char('0'));
}

bool applyText(FilterPixmap& p, const FilterParams& params, QString& error) {
    const TextParams t = std::any_cast<TextParams>(params);
    auto* area = static_cast<CEL_PixmapAreaRGBA16*>(p.get());
    const Math::Box2di canvas = area->canvasRect();
    if (canvas.hasNullArea()) return true;

    const QString file = QFileInfo(filterInputName()).fileName();
    const QString frame = t.frame.isEmpty() ? frameOfName(file) : t.frame;
    QString text;
    const auto fill = [&](const QString& name, QString& out) {
        if (name == QLatin1String("file")) {
            out += file;
            return true;
        }
        if (frame.isEmpty())
            throw FilterUsageError{
                QStringLiteral("--text: {%1} needs a frame number: IN's name has none, give frame=N")
                    .arg(name)};
        out += name == QLatin1String("frame") ? frame : timecode(frame.toLongLong(), t.fps);
        return true;
    };
    QString ignored;
    walkPlaceholders(t.text, text, ignored, fill);
    QString sample = t.sample;
    if (!t.hasSample) {
        // Every digit as 0: the frames of a sequence keep one size.
        sample = text;
        for (QChar& c : sample)
            if (c.isDigit()) c = QLatin1Char('0');
    }

    GR_CompositeVectorDrawingObj drawing;
    GR_DrawingAccess access(drawing);
    GR_TextAccess texts(&drawing);
    if (!texts.checkFont(t.style)) {
        error = texts.lastError();
        return false;
    }
    CelAlgo::TextProperties props;
    props.textStyle = t.style;
    props.requestedSize = t.size;
    props.backgroundBox = t.box;
    props.linesAbove = props.linesBelow = int16_t(t.line);
    props.text = text;
    props.sample = sample;
    const double aspect = double(canvas.w()) / double(canvas.h());
    CelAlgo::writeText(access, texts, &props, t.colour, t.boxColour, t.vAlign, t.hAlign, t.percent, 1.0,
                       aspect);
    if (props.width > 2 * CelAlgo::textWindowHalfSizeX(1.0, aspect))
        warning(QStringLiteral("--text: '%1' is wider than the text window; it is cut at the picture's edges")
                    .arg(text));

    CELVEC_Qvd qvd;
    qvd.setResolution(Math::Size2di(canvas.w(), canvas.h()), canvas);
    std::unique_ptr<CEL_PixmapAreaRGBA16> rendered(qvd.softRenderBBox(&drawing));
    if (!rendered) {
        error = QStringLiteral("no memory to render the text");
        return false;
    }
    if (rendered->allocatedArea() == 0) return true; // blanks only
    rendered->setAllPositive(true);
    CelAlgo::composite_ADD_APPLY_SRC_ALPHA_INV_ALL(area, rendered.get());
    return true;
}

} // namespace

std::vector<FilterOp> textFilterOps() {
    FilterOp text{"--text",
                  "TEXT",
                  "Text 01",
                  "Burns in a line of text; --text:pos=tl:box=000000 ... (see README, Text overlays).",
                  FilterInput::Area,
                  parseText,
                  applyText};
    text.parseModifiers = parseTextRow;
    return {text};
}

} // namespace celtool
