#include <array>

#include "CelFiles.h"
#include "Command.h"
#include "Depth.h"
#include "algo/composite/Composite.h"
#include "cel/Cel.h"
#include "celio/Manager.h"
#include "pixel/PixmapArea.h"
#include "pixel/PixmapCanvas.h"

namespace celtool {

namespace {

// Names of the operation values; empty entries are reserved values.
constexpr std::array<const char*, 70> kOpNames = {"NONE",
                                                  "ADD_APPLY_SRC_ALPHA_INV",
                                                  "ADD_APPLY_DST_ALPHA",
                                                  "APPLY_SRC_ALPHA_INV",
                                                  "APPLY_SRC_ALPHA",
                                                  "APPLY_DST_ALPHA",
                                                  "ADD",
                                                  "SUBTRACT",
                                                  "BLACK",
                                                  "WHITE",
                                                  "MINUS",
                                                  "COPY",
                                                  "CUT",
                                                  "CUT_INV",
                                                  "MULT_APPLY_DST_ALPHA",
                                                  "MULTIPLY",
                                                  "DIVIDE",
                                                  "LIGHTEN",
                                                  "SOFTLIGHT",
                                                  "HARDLIGHT",
                                                  "LINEARLIGHT",
                                                  "PINLIGHT",
                                                  "VIVIDLIGHT",
                                                  "OVERLAY",
                                                  "SCREEN",
                                                  "DARKEN",
                                                  "DIFFERENCE",
                                                  "EXCLUSION",
                                                  "INVERT",
                                                  "REPLACE_IF_NON_ZERO_ALPHA_SRC",
                                                  "DODGE",
                                                  "BURN",
                                                  "HUE",
                                                  "SATURATION",
                                                  "COLOUR",
                                                  "LUMINOSITY",
                                                  "ADD_legacy",
                                                  "SUBTRACT_legacy",
                                                  "DIVIDE_legacy",
                                                  "DIFFERENCE_legacy",
                                                  "LIGHTEN_legacy",
                                                  "SOFTLIGHT_legacy",
                                                  "HARDLIGHT_legacy",
                                                  "OVERLAY_legacy",
                                                  "FN_DARKEN",
                                                  "FN_MULTIPLY",
                                                  "FN_COLOR_BURN",
                                                  "FN_LINEAR_BURN",
                                                  "",
                                                  "FN_LIGHTEN",
                                                  "FN_SCREEN",
                                                  "FN_COLOR_DODGE",
                                                  "FN_LINEAR_DODGE",
                                                  "",
                                                  "FN_OVERLAY",
                                                  "FN_SOFTLIGHT_KEEP_DST_ALPHA",
                                                  "FN_SOFTLIGHT",
                                                  "FN_HARDLIGHT",
                                                  "",
                                                  "",
                                                  "",
                                                  "",
                                                  "",
                                                  "FN_EXCLUSION",
                                                  "FN_SUBTRACT",
                                                  "FN_DIVIDE",
                                                  "FN_HUE",
                                                  "FN_SATURATION",
                                                  "FN_COLOUR",
                                                  "FN_LUMINOSITY"};

// An operation name (any case; "over" is the premultiplied over) or a decimal
// number, passed on unchecked so that the library judges it. False for an
// unknown name.
bool parseOp(const QString& text, int* op) {
    bool isNumber = false;
    const int value = text.toInt(&isNumber, 10);
    if (isNumber) {
        *op = value;
        return true;
    }
    if (text.compare(QLatin1String("over"), Qt::CaseInsensitive) == 0) {
        *op = CelAlgo::ADD_APPLY_SRC_ALPHA_INV;
        return true;
    }
    for (std::size_t i = 0; i < kOpNames.size(); ++i) {
        if (*kOpNames[i] && text.compare(QLatin1String(kOpNames[i]), Qt::CaseInsensitive) == 0) {
            *op = int(i);
            return true;
        }
    }
    return false;
}

// The pixels as `celtool dump --depth 16` writes them: the canvas as
// PIXMAP_RGBA16, four signed 16-bit little-endian values per pixel, top row first.
bool writeRaw16(CEL_PixmapAreaRGBA16& pixmap, const QString& path) {
    const std::unique_ptr<CEL_Representation> rep(pixmap.convertTo(CEL_Representation::PIXMAP_RGBA16));
    const auto* canvas = dynamic_cast<const CEL_PixmapRGBA16*>(rep.get());
    if ((!canvas || !canvas->data()) && pixmap.width() > 0 && pixmap.height() > 0) return false;
    return writeBytes(path, rawPixels(rep.get(), 16));
}

// A working copy of the file's image as a 16-bit area pixmap, premultiplied on request.
std::unique_ptr<CEL_PixmapAreaRGBA16> readArea(const QString& path, bool premultiply) {
    const UT_SharedPtr<CEL_Cel> cel = readCel(path, QString(), QString());
    if (!cel) return nullptr;
    const UT_SharedPtr<CEL_Representation> rep = cel->convertTo(CEL_Representation::PIXMAP_AREA_RGBA16);
    const auto* area = dynamic_cast<const CEL_PixmapAreaRGBA16*>(rep.get());
    std::unique_ptr<CEL_PixmapAreaRGBA16> copy(area ? area->clone() : nullptr);
    if (!copy) {
        error(QStringLiteral("%1 does not convert to a 16-bit pixmap").arg(path));
        return nullptr;
    }
    if (premultiply) copy->multiplyColorByAlpha();
    return copy;
}

} // namespace

const char* compositeOpName(int op) {
    return op >= 0 && op < int(kOpNames.size()) ? kOpNames[std::size_t(op)] : "";
}

int runComposite(const QStringList& args) {
    if (wantsCompositeByDepth(args)) return runCompositeByDepth(args);
    QCommandLineParser parser;
    const QCommandLineOption opOpt(QStringLiteral("op"),
                                   QStringLiteral("Colour operation, by name or number (default: over)."),
                                   QStringLiteral("OP"), QStringLiteral("over"));
    const QCommandLineOption alphaOpt(
        QStringLiteral("alpha-op"),
        QStringLiteral("Alpha operation (default: NONE for FN_* operations, else ADD_APPLY_SRC_ALPHA_INV)."),
        QStringLiteral("OP"));
    const QCommandLineOption opacityOpt(QStringLiteral("opacity"),
                                        QStringLiteral("Layer opacity (default 1)."), QStringLiteral("F"),
                                        QStringLiteral("1"));
    const QCommandLineOption premultiplyOpt(QStringLiteral("premultiply"),
                                            QStringLiteral("Premultiply the inputs (straight-alpha files)."));
    const QCommandLineOption rawOpt(QStringLiteral("raw16"),
                                    QStringLiteral("Write the result as raw 16-bit RGBA instead of OUT."),
                                    QStringLiteral("FILE"));
    const QCommandLineOption outOpt(QStringList{QStringLiteral("o")}, QStringLiteral("Image to write."),
                                    QStringLiteral("OUT"));
    parser.addOptions({opOpt, alphaOpt, opacityOpt, premultiplyOpt, rawOpt, outOpt});
    parser.addPositionalArgument(QStringLiteral("BASE"), QStringLiteral("Bottom image."));
    parser.addPositionalArgument(QStringLiteral("LAYER..."), QStringLiteral("Images laid on it in turn."));
    const QString synopsis = QStringLiteral(
        "[--op OP] [--alpha-op OP] [--opacity F] [--premultiply] [--raw16 FILE] -o OUT BASE LAYER...\n"
        "       (or --by-depth: see composite --by-depth --help)");
    int rc = kSuccess;
    if (!parseArgs(parser, QStringLiteral("composite"), synopsis, args, &rc)) return rc;

    const QStringList inputs = parser.positionalArguments();
    const QString out = parser.value(outOpt), raw = parser.value(rawOpt);
    if (inputs.size() < 2 || (out.isEmpty() && raw.isEmpty())) {
        error(QStringLiteral("composite needs -o OUT (or --raw16 FILE), BASE and at least one LAYER"));
        return kUsage;
    }
    int op = 0;
    if (!parseOp(parser.value(opOpt), &op)) {
        error(QStringLiteral("unknown operation '%1'").arg(parser.value(opOpt)));
        return kUsage;
    }
    int alphaOp = op >= CelAlgo::FN_DARKEN && op <= CelAlgo::FN_LUMINOSITY ? CelAlgo::NONE
                                                                           : CelAlgo::ADD_APPLY_SRC_ALPHA_INV;
    if (parser.isSet(alphaOpt) && !parseOp(parser.value(alphaOpt), &alphaOp)) {
        error(QStringLiteral("unknown operation '%1'").arg(parser.value(alphaOpt)));
        return kUsage;
    }
    bool opacityOk = false;
    const double opacity = parser.value(opacityOpt).toDouble(&opacityOk);
    if (!opacityOk) {
        error(QStringLiteral("--opacity needs a number"));
        return kUsage;
    }
    qxCelAddPixmapHandler();
    const CELIO_Manager* manager = CELIO_Manager::getInstance();
    if (raw.isEmpty() && !manager->findHandler(extensionOf(out))) {
        error(QStringLiteral("no format writes '%1'").arg(out));
        return kUsage;
    }

    const bool premultiply = parser.isSet(premultiplyOpt);
    std::unique_ptr<CEL_PixmapAreaRGBA16> base = readArea(inputs[0], premultiply);
    if (!base) return kFailure;
    for (qsizetype i = 1; i < inputs.size(); ++i) {
        const std::unique_ptr<CEL_PixmapAreaRGBA16> layer = readArea(inputs[i], premultiply);
        if (!layer) return kFailure;
        try {
            CelAlgo::composite(base.get(), layer.get(), CelAlgo::GenericCompositeOp(op),
                               CelAlgo::GenericCompositeOp(alphaOp), opacity);
        } catch (const CelAlgo::AlgoException& e) {
            error(e.what());
            return kFailure;
        }
    }

    if (!raw.isEmpty()) {
        if (!writeRaw16(*base, raw)) {
            error(QStringLiteral("cannot write %1").arg(raw));
            return kFailure;
        }
        return kSuccess;
    }
    UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(CEL_Representation::PIXMAP_AREA_RGBA16));
    cel->addRepresentation(UT_SharedPtr<CEL_Representation>(base.release()));
    return writeCel(cel.get(), out, extensionOf(out), QString());
}

} // namespace celtool
