#include <QFile>

#include "CelFiles.h"
#include "Command.h"
#include "Depth.h"
#include "cel/Cel.h"
#include "celio/LayerInfo.h"
#include "celio/handlers/PsdHandler.h"

namespace celtool {

namespace {

bool isLayeredFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) && f.read(4) == "8BPS";
}

// convert --all-layers: the composite and every layer of a PSD or PSB file
// written again as one layered file.
int convertAllLayers(const QString& in, const QString& out, LayeredWriteOptions options) {
    if (in == QLatin1String("-")) {
        error(QStringLiteral("--all-layers reads a file, not standard input"));
        return kUsage;
    }
    int rc = checkLayeredOutput(out, options);
    if (rc != kSuccess) return rc;
    if (!isLayeredFile(in)) {
        error(QStringLiteral("%1: not a PSD or PSB file").arg(in));
        return kFailure;
    }
    const UT_SharedPtr<CEL_Cel> composite = readCel(in);
    if (!composite) return kFailure;
    const CelOrigin origin = originOf(composite.get());
    options.shape = origin.shape;
    const QString code = layeredCode(options);

    const CELIO_PsdHandler psd;
    CELIO_LayerInfo info;
    if (psd.readLayerInfo(in, info) != CELIO_STATE_OK ||
        psd.readLayerImages(in, info, !options.keepProperties) != CELIO_STATE_OK) {
        error(QStringLiteral("%1: the layers cannot be read (damaged or cut short)").arg(in));
        return kFailure;
    }
    // The layers hold the file's straight values, as the composite does.
    CelOrigin layerOrigin = origin;
    layerOrigin.alpha = CELIO_Alpha::Straight;
    for (CELIO_LayerInfo::Iterator it(info); !it.end(); ++it) {
        if (!it->representation) continue;
        UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(it->representation->getFormat()));
        cel->addRepresentation(it->representation);
        setOrigin(cel.get(), layerOrigin);
        it->representation = layerImage(cel.get(), code, options.keepValues);
    }
    info.getComposite().representation = layerImage(composite.get(), code, options.keepValues);
    options.code = code;
    return writeLayers(info, out, options);
}

} // namespace

int runConvert(const QStringList& args) {
    if (wantsDepthView(args)) return runDepthView(args);
    QCommandLineParser parser;
    const QCommandLineOption codeOpt(
        QStringLiteral("code"),
        QStringLiteral(
            "Option code of the output (default: the code that keeps the input's channels and depth)."),
        QStringLiteral("CODE"));
    const QCommandLineOption layerOpt(QStringLiteral("layer"), QStringLiteral("Layer of a layered input."),
                                      QStringLiteral("PATH"));
    const QCommandLineOption formatOpt(
        QStringLiteral("format"),
        QStringLiteral("Format (extension) of \"-\" and of an IN or OUT without extension (default: standard "
                       "input's content, and the input's format for the output)."),
        QStringLiteral("EXT"));
    const QCommandLineOption keepOpt = keepValuesOption();
    const QCommandLineOption infoOpt(
        QStringLiteral("info-string"),
        QStringLiteral("Information string of SCAN or VAR output (default: the input's, else \"Stage\")."),
        QStringLiteral("TEXT"));
    const QCommandLineOption allOpt(
        QStringLiteral("all-layers"),
        QStringLiteral("Write every layer of a PSD or PSB input, with its composite, as a layered PSD."));
    const QCommandLineOption propsOpt(
        QStringLiteral("keep-properties"),
        QStringLiteral("With --all-layers: keep blend keys, opacity, layer rectangles and record order."));
    const QCommandLineOption peerOpt(
        QStringLiteral("peer-compatible"),
        QStringLiteral("With --all-layers: the layout other programs read (ImageMagick, web readers)."));
    const QCommandLineOption psbOpt(
        QStringLiteral("psb"), QStringLiteral("With --all-layers: write PSB (implied by OUT named *.psb)."));
    parser.addOptions({codeOpt, layerOpt, formatOpt, keepOpt, infoOpt, allOpt, propsOpt, peerOpt, psbOpt});
    parser.addPositionalArgument(QStringLiteral("IN"),
                                 QStringLiteral("Image to read (\"-\": standard input)."));
    parser.addPositionalArgument(QStringLiteral("OUT"),
                                 QStringLiteral("Image to write (\"-\": standard output)."));
    const QString synopsis = QStringLiteral(
        "[--code CODE] [--layer PATH] [--format EXT] [--keep-values] [--info-string TEXT] IN OUT\n"
        "       celtool convert --all-layers [--code CODE] [--keep-properties] [--peer-compatible] [--psb] "
        "[--keep-values] IN OUT\n"
        "       (or --depth-view: see convert --depth-view --help)");
    int rc = kSuccess;
    if (!parseArgs(parser, QStringLiteral("convert"), synopsis, args, &rc)) return rc;
    const QStringList pos = parser.positionalArguments();
    if (pos.size() != 2) {
        error(QStringLiteral("convert needs IN and OUT"));
        return kUsage;
    }
    const QString in = pos[0], out = pos[1];
    if (parser.isSet(allOpt)) {
        if (parser.isSet(layerOpt) || parser.isSet(formatOpt) || parser.isSet(infoOpt)) {
            error(QStringLiteral("--all-layers takes no --layer, --format or --info-string"));
            return kUsage;
        }
        LayeredWriteOptions layered;
        layered.code = parser.value(codeOpt);
        layered.keepValues = parser.isSet(keepOpt);
        layered.keepProperties = parser.isSet(propsOpt);
        layered.peerCompatible = parser.isSet(peerOpt);
        layered.largeDocument = parser.isSet(psbOpt);
        return convertAllLayers(in, out, layered);
    }
    if (parser.isSet(propsOpt) || parser.isSet(peerOpt) || parser.isSet(psbOpt)) {
        error(QStringLiteral("--keep-properties, --peer-compatible and --psb go with --all-layers"));
        return kUsage;
    }
    const QString format = parser.value(formatOpt);
    const auto formatOf = [&format](const QString& path) {
        return path == QLatin1String("-") || extensionOf(path).isEmpty() ? format : QString();
    };
    WriteOptions options;
    options.format = formatOf(out);
    options.code = parser.value(codeOpt);
    options.keepValues = parser.isSet(keepOpt);
    if ((rc = checkOutput(out, options)) != kSuccess) return rc;
    if (parser.isSet(infoOpt) && !outputCarriesInfoString(out, options)) {
        error(QStringLiteral("--info-string applies to SCAN and VAR output only"));
        return kUsage;
    }

    QString inString;
    const UT_SharedPtr<CEL_Cel> cel = readCel(in, formatOf(in), parser.value(layerOpt), &inString);
    if (!cel) return kFailure;
    // SCAN and VAR output: the string given, else a SCAN or VAR input's without
    // the zero that ends it in the file (the writer adds one). The reader gives
    // each byte as a Latin-1 character and the writer stores UTF-8, so bytes
    // that form UTF-8 text are decoded first: SCAN converted to SCAN keeps its
    // string block.
    options.infoString = QStringLiteral("Stage");
    if (parser.isSet(infoOpt)) {
        options.infoString = parser.value(infoOpt);
    } else if (!inString.isNull()) {
        QString text = inString;
        if (text.endsWith(QChar(0))) text.chop(1);
        const QByteArray bytes = text.toLatin1();
        const QString decoded = QString::fromUtf8(bytes);
        options.infoString = decoded.toUtf8() == bytes ? decoded : text;
    }
    return writeCel(cel.get(), out, options);
}

} // namespace celtool
