#include "CelFiles.h"
#include "Command.h"
#include "cel/Cel.h"
#include "celio/Manager.h"

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
    const QCommandLineOption infoOpt(
        QStringLiteral("info-string"),
        QStringLiteral("Information string of SCAN or VAR output (default: the input's, else \"Stage\")."),
        QStringLiteral("TEXT"));
    parser.addOptions({codeOpt, layerOpt, formatOpt, infoOpt});
    parser.addPositionalArgument(QStringLiteral("IN"),
                                 QStringLiteral("Image to read (\"-\": standard input)."));
    parser.addPositionalArgument(QStringLiteral("OUT"),
                                 QStringLiteral("Image to write (\"-\": standard output)."));
    const QString synopsis =
        QStringLiteral("[--code CODE] [--layer PATH] [--format EXT] [--info-string TEXT] IN OUT");
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
    if (outFormat.isEmpty() && !code.isEmpty())
        for (const CELIO_Handler* h : manager->handlers())
            if (unlistedWriteCodes(h).contains(code, Qt::CaseInsensitive))
                outFormat = h->getExtensions().value(0);
    const CELIO_Handler* handler = outFormat.isEmpty() ? nullptr : manager->findHandler(outFormat);
    if (!handler || handler->getWriteExtensions().isEmpty()) {
        error(QStringLiteral("no format writes '%1'").arg(out));
        return kUsage;
    }
    const QStringList codes = handler->getWriteOptionCodes();
    if (!code.isEmpty() && !codes.isEmpty() && !codes.contains(code, Qt::CaseInsensitive) &&
        !unlistedWriteCodes(handler).contains(code, Qt::CaseInsensitive)) {
        error(QStringLiteral("format %1 has no code %2 (codes: %3)")
                  .arg(outFormat.toUpper(), code,
                       (codes + unlistedWriteCodes(handler)).join(QStringLiteral(", "))));
        return kUsage;
    }
    const bool keepsString = carriesInfoString(handler);
    if (parser.isSet(infoOpt) && !keepsString) {
        error(QStringLiteral("--info-string applies to SCAN and VAR output only"));
        return kUsage;
    }

    QString inString;
    const UT_SharedPtr<CEL_Cel> cel =
        readCel(in, format, parser.value(layerOpt), keepsString ? &inString : nullptr);
    if (!cel) return kFailure;
    // A SCAN or VAR input's string goes on without the zero that ends it in
    // the file (the writer adds one). The reader gives each byte as a Latin-1
    // character and the writer stores UTF-8, so bytes that form UTF-8 text are
    // decoded first: a SCAN file converted to SCAN keeps its string block.
    QString infoString = QStringLiteral("Stage");
    if (parser.isSet(infoOpt)) {
        infoString = parser.value(infoOpt);
    } else if (!inString.isNull()) {
        infoString = inString;
        if (infoString.endsWith(QChar(0))) infoString.chop(1);
        const QByteArray bytes = infoString.toLatin1();
        const QString text = QString::fromUtf8(bytes);
        if (text.toUtf8() == bytes) infoString = text;
    }
    return writeCel(cel.get(), out, outFormat, code, infoString);
}

} // namespace celtool
