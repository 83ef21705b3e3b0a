#include <cstdio>

#include "CelFiles.h"
#include "Command.h"
#include "cel/Cel.h"
#include "pixel/PixmapCanvas.h"

namespace celtool {

int runDump(const QStringList& args) {
    QCommandLineParser parser;
    const QCommandLineOption depthOpt(QStringLiteral("depth"),
                                      QStringLiteral("8 or 16 bits per channel (default 8)."),
                                      QStringLiteral("BITS"), QStringLiteral("8"));
    const QCommandLineOption layerOpt(QStringLiteral("layer"), QStringLiteral("Layer of a layered input."),
                                      QStringLiteral("PATH"));
    const QCommandLineOption formatOpt(
        QStringLiteral("format"),
        QStringLiteral("Format (extension) of standard input (default: its content)."),
        QStringLiteral("EXT"));
    parser.addOptions({depthOpt, layerOpt, formatOpt});
    parser.addPositionalArgument(QStringLiteral("IN"),
                                 QStringLiteral("Image to read (\"-\": standard input)."));
    parser.addPositionalArgument(QStringLiteral("OUT"),
                                 QStringLiteral("Raw pixels, top row first (\"-\": standard output)."));
    const QString synopsis = QStringLiteral("[--depth 8|16] [--layer PATH] [--format EXT] IN OUT");
    int rc = kSuccess;
    if (!parseArgs(parser, QStringLiteral("dump"), synopsis, args, &rc)) return rc;
    const QStringList pos = parser.positionalArguments();
    if (pos.size() != 2) {
        error(QStringLiteral("dump needs IN and OUT"));
        return kUsage;
    }
    const QString depthText = parser.value(depthOpt);
    if (depthText != QLatin1String("8") && depthText != QLatin1String("16")) {
        error(QStringLiteral("--depth must be 8 or 16"));
        return kUsage;
    }
    const int depth = depthText.toInt();
    const QString in = pos[0], out = pos[1];

    // The library's values as they are: the neutral form exact comparisons use.
    const UT_SharedPtr<CEL_Cel> cel = readCel(in, parser.value(formatOpt), parser.value(layerOpt));
    if (!cel) return kFailure;
    const auto format = depth == 8 ? CEL_Representation::PIXMAP_RGBA8 : CEL_Representation::PIXMAP_RGBA16;
    const UT_SharedPtr<CEL_Representation> rep = cel->convertTo(format);
    const auto* pixmap = dynamic_cast<const CEL_Pixmap*>(rep.get());
    if (!pixmap) {
        error(QStringLiteral("%1: does not convert to %2-bit RGBA").arg(in).arg(depth));
        return kFailure;
    }
    if (!writeBytes(out, rawPixels(rep.get(), depth))) return kFailure;
    const QString size = QStringLiteral("%1x%2").arg(pixmap->width()).arg(pixmap->height());
    // With the pixels on standard output, the size goes to standard error.
    if (out == QLatin1String("-"))
        std::fprintf(stderr, "%s\n", qPrintable(size));
    else
        print(size);
    return kSuccess;
}

} // namespace celtool
