#include "CelFiles.h"
#include "Command.h"
#include "cel/Cel.h"

namespace celtool {

int runConvert(const QStringList& args) {
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
    parser.addOptions({codeOpt, layerOpt, formatOpt, keepOpt});
    parser.addPositionalArgument(QStringLiteral("IN"),
                                 QStringLiteral("Image to read (\"-\": standard input)."));
    parser.addPositionalArgument(QStringLiteral("OUT"),
                                 QStringLiteral("Image to write (\"-\": standard output)."));
    const QString synopsis =
        QStringLiteral("[--code CODE] [--layer PATH] [--format EXT] [--keep-values] IN OUT");
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

    const UT_SharedPtr<CEL_Cel> cel = readCel(in, formatOf(in), parser.value(layerOpt));
    if (!cel) return kFailure;
    return writeCel(cel.get(), out, options);
}

} // namespace celtool
