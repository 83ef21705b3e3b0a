// celtool flatten: the visible layers of a PSD or PSB file composited by
// their blend modes and groups, written like convert writes.
#include <QFile>
#include <memory>

#include "CelFiles.h"
#include "Command.h"
#include "cel/Cel.h"
#include "celio/Manager.h"
#include "celio/handlers/PsdHandler.h"
#include "pixel/PixmapArea.h"

namespace celtool {

int runFlatten(const QStringList& args) {
    QCommandLineParser parser;
    const QCommandLineOption codeOpt(QStringLiteral("code"),
                                     QStringLiteral("Option code of the output (default: the format's own)."),
                                     QStringLiteral("CODE"));
    const QCommandLineOption formatOpt(QStringLiteral("format"),
                                       QStringLiteral("Format (extension) of \"-\", standard output."),
                                       QStringLiteral("EXT"));
    const QCommandLineOption rawOpt(QStringLiteral("raw16"),
                                    QStringLiteral("Also write the result as dump --depth 16 would."),
                                    QStringLiteral("FILE"));
    parser.addOptions({codeOpt, formatOpt, rawOpt});
    parser.addPositionalArgument(QStringLiteral("IN"),
                                 QStringLiteral("PSD or PSB file (\"-\": standard input)."));
    parser.addPositionalArgument(QStringLiteral("OUT"),
                                 QStringLiteral("Image to write (\"-\": standard output)."));
    const QString synopsis = QStringLiteral("[--code CODE] [--format EXT] [--raw16 FILE] IN OUT");
    int rc = kSuccess;
    if (!parseArgs(parser, QStringLiteral("flatten"), synopsis, args, &rc)) return rc;
    const QStringList pos = parser.positionalArguments();
    if (pos.size() != 2) {
        error(QStringLiteral("flatten needs IN and OUT"));
        return kUsage;
    }
    const QString in = pos[0], out = pos[1], code = parser.value(codeOpt);

    qxCelAddPixmapHandler();
    const CELIO_Manager* manager = CELIO_Manager::getInstance();
    QString outFormat = out == QLatin1String("-") ? parser.value(formatOpt) : extensionOf(out);
    if (outFormat.isEmpty() && !code.isEmpty()) outFormat = manager->getExtension(code);
    const CELIO_Handler* writer = outFormat.isEmpty() ? nullptr : manager->findHandler(outFormat);
    if (!writer || writer->getWriteExtensions().isEmpty()) {
        error(QStringLiteral("no format writes '%1'").arg(out));
        return kUsage;
    }
    const QStringList codes = writer->getWriteOptionCodes();
    if (!code.isEmpty() && !codes.isEmpty() && !codes.contains(code, Qt::CaseInsensitive)) {
        error(QStringLiteral("format %1 has no code %2 (codes: %3)")
                  .arg(outFormat.toUpper(), code, codes.join(QStringLiteral(", "))));
        return kUsage;
    }
    if (in != QLatin1String("-")) {
        QFile file(in);
        if (!file.open(QIODevice::ReadOnly) || file.read(4) != "8BPS") {
            error(QStringLiteral("%1: not a PSD or PSB file").arg(in));
            return kFailure;
        }
    }

    QStringList warnings;
    std::unique_ptr<CEL_PixmapAreaRGBA16> flat;
    try {
        flat.reset(CELIO_PsdHandler().flattenLayers(in, &warnings));
    } catch (const QString& refusal) {
        error(QStringLiteral("%1: %2").arg(in, refusal));
        return kFailure;
    }
    for (const QString& w : warnings) error(QStringLiteral("warning: %1").arg(w));
    if (!flat) {
        error(QStringLiteral("cannot flatten %1").arg(in));
        return kFailure;
    }
    UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(CEL_Representation::PIXMAP_AREA_RGBA16));
    cel->addRepresentation(UT_SharedPtr<CEL_Representation>(flat.release()));
    if (parser.isSet(rawOpt)) {
        const UT_SharedPtr<CEL_Representation> wide = cel->convertTo(CEL_Representation::PIXMAP_RGBA16);
        if (!writeBytes(parser.value(rawOpt), rawPixels(wide.get(), 16))) {
            error(QStringLiteral("cannot write %1").arg(parser.value(rawOpt)));
            return kFailure;
        }
    }
    return writeCel(cel.get(), out, outFormat, code);
}

} // namespace celtool
