#include "CelFiles.h"
#include "Command.h"
#include "cel/Cel.h"

namespace celtool {

int runInterlace(const QStringList& args) {
    QCommandLineParser parser;
    const QCommandLineOption outOpt(QStringList{QStringLiteral("o"), QStringLiteral("output")},
                                    QStringLiteral("Image to write (\"-\": standard output)."),
                                    QStringLiteral("OUT"));
    const QCommandLineOption codeOpt(
        QStringLiteral("code"),
        QStringLiteral(
            "Option code of the output (default: the code that keeps both fields' channels and depth)."),
        QStringLiteral("CODE"));
    const QCommandLineOption formatOpt(
        QStringLiteral("format"),
        QStringLiteral(
            "Format (extension) of \"-\" and of an input or OUT without extension (default: standard "
            "input's content, and FIRST's format for the output)."),
        QStringLiteral("EXT"));
    const QCommandLineOption secondOpt(
        QStringLiteral("second-field-first"),
        QStringLiteral(
            "SECOND gives the even rows (row 0 first) and FIRST the odd ones; by default FIRST gives "
            "the even rows."));
    const QCommandLineOption keepOpt = keepValuesOption();
    parser.addOptions({outOpt, codeOpt, formatOpt, secondOpt, keepOpt});
    parser.addPositionalArgument(QStringLiteral("FIRST"), QStringLiteral("The first field's picture."));
    parser.addPositionalArgument(QStringLiteral("SECOND"),
                                 QStringLiteral("The second field's picture, of FIRST's size."));
    const QString synopsis = QStringLiteral(
        "[--code CODE] [--format EXT] [--second-field-first] [--keep-values] -o OUT FIRST SECOND\n"
        "       (PAL and YUV frames: each field centred and resampled to the frame; other formats: the\n"
        "       rows of the two pictures interleaved)");
    int rc = kSuccess;
    if (!parseArgs(parser, QStringLiteral("interlace"), synopsis, args, &rc)) return rc;
    const QStringList pos = parser.positionalArguments();
    if (pos.size() != 2 || !parser.isSet(outOpt)) {
        error(QStringLiteral("interlace needs -o OUT, FIRST and SECOND"));
        return kUsage;
    }
    const QString out = parser.value(outOpt);
    const QString format = parser.value(formatOpt);
    const auto formatOf = [&format](const QString& path) {
        return path == QLatin1String("-") || extensionOf(path).isEmpty() ? format : QString();
    };
    WriteOptions options;
    options.format = formatOf(out);
    options.code = parser.value(codeOpt);
    options.keepValues = parser.isSet(keepOpt);
    if ((rc = checkOutput(out, options)) != kSuccess) return rc;

    const UT_SharedPtr<CEL_Cel> first = readCel(pos[0], formatOf(pos[0]));
    if (!first) return kFailure;
    const UT_SharedPtr<CEL_Cel> second = readCel(pos[1], formatOf(pos[1]));
    if (!second) return kFailure;
    return writeCombined(first.get(), second.get(), out, options, parser.isSet(secondOpt));
}

} // namespace celtool
