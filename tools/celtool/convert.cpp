#include "CelFiles.h"
#include "Command.h"
#include "Depth.h"
#include "cel/Cel.h"

namespace celtool {

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
    parser.addOptions({codeOpt, layerOpt, formatOpt, keepOpt, infoOpt});
    parser.addPositionalArgument(QStringLiteral("IN"),
                                 QStringLiteral("Image to read (\"-\": standard input)."));
    parser.addPositionalArgument(QStringLiteral("OUT"),
                                 QStringLiteral("Image to write (\"-\": standard output)."));
    const QString synopsis = QStringLiteral(
        "[--code CODE] [--layer PATH] [--format EXT] [--keep-values] [--info-string TEXT] IN OUT\n"
        "       (or --depth-view: see convert --depth-view --help)");
    int rc = kSuccess;
    if (!parseArgs(parser, QStringLiteral("convert"), synopsis, args, &rc)) return rc;
    const QStringList pos = parser.positionalArguments();
    if (pos.size() != 2) {
        error(QStringLiteral("convert needs IN and OUT"));
        return kUsage;
    }
    const QString in = pos[0], out = pos[1];
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
