#include "CelFiles.h"
#include "Command.h"
#include "cel/Cel.h"
#include "celio/Manager.h"
#include "celio/handlers/RawHandlers.h"

namespace celtool {

int runConvert(const QStringList& args) {
    QCommandLineParser parser;
    const QCommandLineOption codeOpt(QStringLiteral("code"),
                                     QStringLiteral("Option code of the output (default: the format's own)."),
                                     QStringLiteral("CODE"));
    const QCommandLineOption layerOpt(QStringLiteral("layer"), QStringLiteral("Layer of a layered input."),
                                      QStringLiteral("PATH"));
    const QCommandLineOption formatOpt(
        QStringLiteral("format"), QStringLiteral("Format (extension) of \"-\", standard input or output."),
        QStringLiteral("EXT"));
    parser.addOptions({codeOpt, layerOpt, formatOpt});
    parser.addPositionalArgument(QStringLiteral("IN"),
                                 QStringLiteral("Image to read (\"-\": standard input)."));
    parser.addPositionalArgument(QStringLiteral("OUT"),
                                 QStringLiteral("Image to write (\"-\": standard output)."));
    const QString synopsis = QStringLiteral("[--code CODE] [--layer PATH] [--format EXT] IN OUT");
    int rc = kSuccess;
    if (!parseArgs(parser, QStringLiteral("convert"), synopsis, args, &rc)) return rc;
    const QStringList pos = parser.positionalArguments();
    if (pos.size() != 2) {
        error(QStringLiteral("convert needs IN and OUT"));
        return kUsage;
    }
    const QString in = pos[0], out = pos[1];
    const QString code = parser.value(codeOpt);
    const QString format = parser.value(formatOpt);
    if (in == QLatin1String("-") && format.isEmpty()) {
        error(QStringLiteral("reading standard input needs --format"));
        return kUsage;
    }

    qxCelAddPixmapHandler();
    const CELIO_Manager* manager = CELIO_Manager::getInstance();
    // The output format: --format for standard output, else OUT's extension,
    // else the format that lists the code.
    QString outFormat = out == QLatin1String("-") ? format : extensionOf(out);
    if (outFormat.isEmpty() && !code.isEmpty()) outFormat = manager->getExtension(code);
    const CELIO_Handler* handler = outFormat.isEmpty() ? nullptr : manager->findHandler(outFormat);
    if (!handler || handler->getWriteExtensions().isEmpty()) {
        error(QStringLiteral("no format writes '%1'").arg(out));
        return kUsage;
    }
    const QStringList codes = handler->getWriteOptionCodes();
    if (!code.isEmpty() && !codes.isEmpty() && !codes.contains(code, Qt::CaseInsensitive)) {
        error(QStringLiteral("format %1 has no code %2 (codes: %3)")
                  .arg(outFormat.toUpper(), code, codes.join(QStringLiteral(", "))));
        return kUsage;
    }

    const UT_SharedPtr<CEL_Cel> cel = readCel(in, format, parser.value(layerOpt));
    if (!cel) return kFailure;
    // The raw pixmap writer stores a 16-bit pixmap the cel holds; it converts nothing.
    if (dynamic_cast<const CELIO_UioRawPixMapHandler*>(handler))
        cel->convertTo(CEL_Representation::PIXMAP_AREA_RGBA16);
    return writeCel(cel.get(), out, outFormat, code);
}

} // namespace celtool
