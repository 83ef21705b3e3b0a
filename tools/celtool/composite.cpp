#include "algo/composite/Composite.h"
#include "CelFiles.h"
#include "Command.h"
#include "Depth.h"
#include "cel/Cel.h"
#include "pixel/PixmapArea.h"
#include "pixel/PixmapCanvas.h"

namespace celtool {

namespace {

// An operation name from the library's table (any case; "over" is the
// premultiplied over) or a decimal number, passed on unchecked so that the
// library judges it. False for an unknown name.
bool parseOp(const QString& text, int* op) {
    bool isNumber = false;
    const int value = text.toInt(&isNumber, 10);
    if (isNumber) {
        *op = value;
        return true;
    }
    *op = CelAlgo::compositeOpValue(text.toStdString());
    return *op >= 0;
}

// The pixels as `celtool dump --depth 16` writes them: the canvas as
// PIXMAP_RGBA16, four signed 16-bit little-endian values per pixel, top row first.
bool writeRaw16(CEL_PixmapAreaRGBA16& pixmap, const QString& path) {
    const std::unique_ptr<CEL_Representation> rep(pixmap.convertTo(CEL_Representation::PIXMAP_RGBA16));
    const auto* canvas = dynamic_cast<const CEL_PixmapRGBA16*>(rep.get());
    if ((!canvas || !canvas->data()) && pixmap.width() > 0 && pixmap.height() > 0) {
        error(QStringLiteral("%1: the result has no pixels").arg(path));
        return false;
    }
    return writeBytes(path, rawPixels(rep.get(), 16));
}

} // namespace

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
    const QCommandLineOption premultiplyOpt(
        QStringLiteral("premultiply"), QStringLiteral("Premultiply every input, whatever its format says."));
    const QCommandLineOption keepOpt(
        QStringLiteral("keep-values"),
        QStringLiteral("Composite the values as read (straight inputs are not premultiplied) and write the "
                       "result's values unchanged."));
    const QCommandLineOption rawOpt(QStringLiteral("raw16"),
                                    QStringLiteral("Write the result as raw 16-bit RGBA instead of OUT."),
                                    QStringLiteral("FILE"));
    const QCommandLineOption codeOpt(
        QStringLiteral("code"),
        QStringLiteral("Option code of OUT (default: the code that keeps the inputs' channels and depth)."),
        QStringLiteral("CODE"));
    const QCommandLineOption outOpt(QStringList{QStringLiteral("o")}, QStringLiteral("Image to write."),
                                    QStringLiteral("OUT"));
    parser.addOptions({opOpt, alphaOpt, opacityOpt, premultiplyOpt, keepOpt, rawOpt, codeOpt, outOpt});
    parser.addPositionalArgument(QStringLiteral("BASE"), QStringLiteral("Bottom image."));
    parser.addPositionalArgument(QStringLiteral("LAYER..."), QStringLiteral("Images laid on it in turn."));
    const QString synopsis =
        QStringLiteral("[--op OP] [--alpha-op OP] [--opacity F] [--premultiply] "
                       "[--keep-values] [--code CODE] [--raw16 FILE] -o OUT BASE LAYER...\n"
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
    WriteOptions options;
    options.code = parser.value(codeOpt);
    options.keepValues = parser.isSet(keepOpt);
    if (raw.isEmpty() && (rc = checkOutput(out, options)) != kSuccess) return rc;

    // Straight inputs are premultiplied, as compositing works on premultiplied
    // colour; --keep-values takes the values as read, --premultiply premultiplies all.
    const bool premultiplyAll = parser.isSet(premultiplyOpt);
    const bool keepValues = options.keepValues || premultiplyAll;
    const auto read = [&](const QString& path, CelOrigin& origin) -> std::unique_ptr<CEL_PixmapAreaRGBA16> {
        const UT_SharedPtr<CEL_Cel> cel = readCel(path);
        if (!cel) return nullptr;
        origin = originOf(cel.get());
        auto area = workingArea(cel.get(), path, keepValues);
        if (area && premultiplyAll) area->multiplyColorByAlpha();
        return area;
    };
    CelOrigin result;
    std::unique_ptr<CEL_PixmapAreaRGBA16> base = read(inputs[0], result);
    if (!base) return kFailure;
    for (qsizetype i = 1; i < inputs.size(); ++i) {
        CelOrigin origin;
        const std::unique_ptr<CEL_PixmapAreaRGBA16> layer = read(inputs[i], origin);
        if (!layer) return kFailure;
        result.shape = combinedShape(result.shape, origin.shape);
        try {
            CelAlgo::composite(base.get(), layer.get(), CelAlgo::GenericCompositeOp(op),
                               CelAlgo::GenericCompositeOp(alphaOp), opacity);
        } catch (const CelAlgo::AlgoException& e) {
            error(e.what());
            return kFailure;
        }
    }

    if (!raw.isEmpty()) return writeRaw16(*base, raw) ? kSuccess : kFailure;
    result.alpha = CELIO_Alpha::Premultiplied;
    const UT_SharedPtr<CEL_Cel> cel = celOf(std::move(base), result);
    return writeCel(cel.get(), out, options);
}

} // namespace celtool
