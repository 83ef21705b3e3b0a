// celtool stack: pictures as the layers of one PSD file, bottom first, with
// the flatten of the stack as its composite.
#include <QFileInfo>
#include <cstdio>
#include <memory>

#include "CelFiles.h"
#include "Command.h"
#include "cel/Cel.h"
#include "celio/LayerInfo.h"
#include "celio/handlers/PsdHandler.h"
#include "pixel/PixmapArea.h"
#include "pixel/PixmapCanvas.h"

namespace celtool {

namespace {

const char kSynopsis[] =
    "[--code CODE] [--keep-properties] [--peer-compatible] [--psb] [--keep-values] -o OUT "
    "[--name N] [--blend KEY] [--opacity F] [--hidden] FILE...";

const char kHelp[] = "Each FILE becomes one layer of OUT (a PSD file), the first at the bottom, named by\n"
                     "its base name; the composite stored in OUT is the flatten of the stack.\n"
                     "\n"
                     "Options:\n"
                     "  -o, --output OUT     PSD file to write (*.psd, *.psb, \"-\": standard output).\n"
                     "  --code CODE          Option code (default: the code that keeps the pictures'\n"
                     "                       depth, with alpha when the composite is not opaque).\n"
                     "  --keep-properties    Store blend keys, opacity and record order; without it\n"
                     "                       the layers carry their opacity in alpha and their blend\n"
                     "                       keys only shape the composite.\n"
                     "  --peer-compatible    The layout other programs read.\n"
                     "  --psb                Write PSB (implied by OUT named *.psb).\n"
                     "  --keep-values        Write the library's values unchanged.\n"
                     "For the next FILE only:\n"
                     "  --name N             Layer name (default: the file's base name).\n"
                     "  --blend KEY          Blend key: norm, mul, scrn, over, dark, lite, diff, ...\n"
                     "  --opacity F          Opacity, 0 to 1.\n"
                     "  --hidden             A hidden layer (left out of the composite).\n"
                     "  -h, --help           Show this help.\n";

struct Input {
    QString file;
    QString name;
    int blend = 1;
    double opacity = 1.0;
    bool hidden = false;
};

// The blend code of a key of the PSD table, given with or without its
// trailing blanks ("mul", "hue"); -1 for none (and for "pass", which only
// groups have).
int blendCodeOf(const QString& key) {
    const QByteArray k = key.toLatin1().leftJustified(4, ' ', true);
    if (key.size() > 4 || key.trimmed().isEmpty()) return -1;
    const int code =
        CELIO_PsdHandler::blendModeCode(CELIO_PsdHandler::fourCC({k[0], k[1], k[2], k[3], '\0'}));
    return code == 0 ? -1 : code;
}

QString knownKeys() {
    QStringList keys;
    for (int code = 1;; ++code) {
        const uint32_t key = CELIO_PsdHandler::blendKeyOfCode(code);
        if (!key) break;
        QString s;
        for (int shift = 24; shift >= 0; shift -= 8) s += QLatin1Char(char(key >> shift));
        keys << s.trimmed();
    }
    return keys.join(QStringLiteral(", "));
}

// Alpha times the opacity (truncated), on a copy of the picture.
UT_SharedPtr<CEL_Representation> withOpacity(const UT_SharedPtr<CEL_Representation>& rep, double opacity) {
    if (opacity >= 1.0 || !rep) return rep;
    std::unique_ptr<CEL_Representation> copy(rep->clone());
    if (auto* p = dynamic_cast<CEL_PixmapRGBA8*>(copy.get()); p && p->data()) {
        for (long long i = 0, n = (long long)p->width() * p->height(); i < n; ++i)
            p->data()[i].a = uint8_t(p->data()[i].a * opacity);
    } else if (auto* q = dynamic_cast<CEL_PixmapRGBA16*>(copy.get()); q && q->data()) {
        for (long long i = 0, n = (long long)q->width() * q->height(); i < n; ++i)
            q->data()[i].a = int16_t(q->data()[i].a * opacity);
    } else if (auto* a = dynamic_cast<CEL_PixmapAreaRGBA16*>(copy.get()); a && a->data()) {
        for (long long i = 0, n = a->allocatedArea(); i < n; ++i)
            a->data()[i].a = int16_t(a->data()[i].a * opacity);
    } else {
        return rep;
    }
    return UT_SharedPtr<CEL_Representation>(copy.release());
}

} // namespace

int runStack(const QStringList& args) {
    LayeredWriteOptions options;
    QString out;
    std::vector<Input> inputs;
    Input next;
    bool pending = false; // a per-layer option waits for its FILE
    const auto usage = [](const QString& text) {
        error(text);
        std::fprintf(stderr, "usage: celtool stack %s\n", kSynopsis);
        return int(kUsage);
    };
    for (int i = 0; i < args.size(); ++i) {
        QString a = args[i], value;
        bool hasValue = false;
        if (a.startsWith(QLatin1String("--")) && a.contains(QLatin1Char('='))) {
            value = a.section(QLatin1Char('='), 1);
            a = a.section(QLatin1Char('='), 0, 0);
            hasValue = true;
        }
        const auto take = [&](QString& into) {
            if (!hasValue) {
                if (i + 1 >= args.size()) return false;
                value = args[++i];
            }
            into = value;
            return true;
        };
        QString v;
        if (a == QLatin1String("-h") || a == QLatin1String("--help")) {
            std::printf("usage: celtool stack %s\n\n%s", kSynopsis, kHelp);
            return kSuccess;
        } else if (a == QLatin1String("-o") || a == QLatin1String("--output")) {
            if (!take(out)) return usage(QStringLiteral("%1 needs a value").arg(a));
        } else if (a == QLatin1String("--code")) {
            if (!take(options.code)) return usage(QStringLiteral("--code needs a value"));
        } else if (a == QLatin1String("--keep-properties")) {
            options.keepProperties = true;
        } else if (a == QLatin1String("--peer-compatible")) {
            options.peerCompatible = true;
        } else if (a == QLatin1String("--psb")) {
            options.largeDocument = true;
        } else if (a == QLatin1String("--keep-values")) {
            options.keepValues = true;
        } else if (a == QLatin1String("--name")) {
            if (!take(next.name)) return usage(QStringLiteral("--name needs a value"));
            pending = true;
        } else if (a == QLatin1String("--blend")) {
            if (!take(v)) return usage(QStringLiteral("--blend needs a value"));
            next.blend = blendCodeOf(v);
            if (next.blend < 0)
                return usage(QStringLiteral("unknown blend key '%1' (keys: %2)").arg(v, knownKeys()));
            pending = true;
        } else if (a == QLatin1String("--opacity")) {
            if (!take(v)) return usage(QStringLiteral("--opacity needs a value"));
            bool ok = false;
            next.opacity = v.toDouble(&ok);
            if (!ok || !(next.opacity >= 0.0 && next.opacity <= 1.0))
                return usage(QStringLiteral("--opacity takes a number from 0 to 1, not '%1'").arg(v));
            pending = true;
        } else if (a == QLatin1String("--hidden")) {
            next.hidden = true;
            pending = true;
        } else if (a.startsWith(QLatin1Char('-')) && a != QLatin1String("-")) {
            return usage(QStringLiteral("unknown option %1").arg(a));
        } else {
            next.file = a;
            if (next.name.isEmpty())
                next.name =
                    a == QLatin1String("-") ? QStringLiteral("stdin") : QFileInfo(a).completeBaseName();
            inputs.push_back(next);
            next = Input();
            pending = false;
        }
    }
    if (pending)
        return usage(QStringLiteral("--name, --blend, --opacity and --hidden apply to a FILE after them"));
    if (out.isEmpty() || inputs.empty())
        return usage(QStringLiteral("stack needs -o OUT and at least one FILE"));
    int rc = checkLayeredOutput(out, options);
    if (rc != kSuccess) return rc;

    // Read every picture first: the code depends on all of them.
    std::vector<UT_SharedPtr<CEL_Cel>> cels;
    CELIO_Shape shape{1, false};
    int width = 0, height = 0;
    for (const Input& in : inputs) {
        UT_SharedPtr<CEL_Cel> cel = readCel(in.file);
        if (!cel) return kFailure;
        const CELIO_Shape s = originOf(cel.get()).shape;
        shape = combinedShape(shape, s);
        const UT_SharedPtr<CEL_Representation> best = cel->findBestPixmapRepresentation();
        if (best) {
            width = std::max(width, best->canvasRect().w());
            height = std::max(height, best->canvasRect().h());
        }
        cels.push_back(cel);
    }

    // The tree the composite is flattened from: straight pixels without
    // opacity, every key; then, unless kept, opacity goes into the pixels.
    CELIO_LayerInfo info;
    info.getComposite().width = width;
    info.getComposite().height = height;
    options.shape = CELIO_Shape{4, shape.deep};
    const QString code = layeredCode(options);
    for (size_t i = 0; i < inputs.size(); ++i) {
        CELIO_Layer l;
        l.name = inputs[i].name;
        l.visible = !inputs[i].hidden;
        l.blendMode = inputs[i].blend;
        l.opacity = float(inputs[i].opacity);
        l.representation = layerImage(cels[i].get(), code, options.keepValues);
        info.getBaseGroup().layers.push_back(l);
    }
    info.update();

    QStringList warnings;
    const CELIO_Layer& only = info.getBaseGroup().layers.front();
    UT_SharedPtr<CEL_Representation> composite;
    bool transparent = true;
    if (inputs.size() == 1 && only.visible && only.blendMode == 1 && only.opacity >= 1.0f) {
        // One plain layer is its own flatten.
        composite = only.representation;
        transparent = originOf(cels.front().get()).shape.channels == 4;
    } else {
        std::unique_ptr<CEL_PixmapAreaRGBA16> flat(CELIO_PsdHandler::flattenLayers(info, &warnings));
        if (!flat) {
            error(QStringLiteral("%1: the stack cannot be flattened (out of memory)").arg(out));
            return kFailure;
        }
        transparent = false;
        for (long long i = 0; i < flat->allocatedArea() && !transparent; ++i)
            transparent = flat->data()[i].a < 32767;
        CelOrigin origin;
        origin.shape = CELIO_Shape{4, shape.deep};
        origin.alpha = CELIO_Alpha::Premultiplied;
        origin.format = QStringLiteral("PSD");
        const UT_SharedPtr<CEL_Cel> cel = celOf(std::move(flat), origin);
        composite = layerImage(cel.get(), code, options.keepValues);
    }
    for (const QString& w : warnings) error(QStringLiteral("%1: %2").arg(out, w));
    info.getComposite().representation = composite;

    for (CELIO_Layer& l : info.getBaseGroup().layers) {
        if (options.keepProperties) continue;
        if (l.blendMode != 1)
            error(
                QStringLiteral("%1: layer \"%2\": its blend key shapes the composite only; --keep-properties "
                               "stores it")
                    .arg(out, l.name));
        l.representation = withOpacity(l.representation, l.opacity);
        l.opacity = 1.0f;
        l.blendMode = 1;
    }
    // Without a code: alpha only when the composite has some (the depth, which
    // the images above were made for, stays).
    options.shape = CELIO_Shape{transparent ? 4 : (shape.channels == 1 ? 1 : 3), shape.deep};
    return writeLayers(info, out, options);
}

} // namespace celtool
