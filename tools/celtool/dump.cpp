#include <cstdio>
#include <vector>

#include "CelFiles.h"
#include "Command.h"
#include "Depth.h"
#include "cel/Cel.h"
#include "pixel/PixmapCanvas.h"

namespace celtool {

int runDump(const QStringList& args) {
    QCommandLineParser parser;
    const QCommandLineOption depthOpt(
        QStringLiteral("depth"),
        QStringLiteral("8 or 16 bits per channel (default 8), or z: the depth as 32-bit floats."),
        QStringLiteral("BITS"), QStringLiteral("8"));
    const QCommandLineOption layerOpt(QStringLiteral("layer"), QStringLiteral("Layer of a layered input."),
                                      QStringLiteral("PATH"));
    const QCommandLineOption formatOpt(QStringLiteral("format"),
                                       QStringLiteral("Format (extension) of standard input."),
                                       QStringLiteral("EXT"));
    parser.addOptions({depthOpt, layerOpt, formatOpt});
    parser.addPositionalArgument(QStringLiteral("IN"),
                                 QStringLiteral("Image to read (\"-\": standard input)."));
    parser.addPositionalArgument(QStringLiteral("OUT"),
                                 QStringLiteral("Raw pixels, top row first (\"-\": standard output)."));
    const QString synopsis = QStringLiteral("[--depth 8|16|z] [--layer PATH] [--format EXT] IN OUT");
    int rc = kSuccess;
    if (!parseArgs(parser, QStringLiteral("dump"), synopsis, args, &rc)) return rc;
    const QStringList pos = parser.positionalArguments();
    if (pos.size() != 2) {
        error(QStringLiteral("dump needs IN and OUT"));
        return kUsage;
    }
    const QString depthText = parser.value(depthOpt);
    if (depthText != QLatin1String("8") && depthText != QLatin1String("16") &&
        depthText != QLatin1String("z")) {
        error(QStringLiteral("--depth must be 8, 16 or z"));
        return kUsage;
    }
    const QString in = pos[0], out = pos[1];
    if (in == QLatin1String("-") && parser.value(formatOpt).isEmpty()) {
        error(QStringLiteral("reading standard input needs --format"));
        return kUsage;
    }
    if (depthText == QLatin1String("z"))
        return dumpDepth(in, out, parser.value(formatOpt), parser.value(layerOpt));
    const int depth = depthText.toInt();

    const UT_SharedPtr<CEL_Cel> cel = readCel(in, parser.value(formatOpt), parser.value(layerOpt));
    if (!cel) return kFailure;
    const auto format = depth == 8 ? CEL_Representation::PIXMAP_RGBA8 : CEL_Representation::PIXMAP_RGBA16;
    const UT_SharedPtr<CEL_Representation> rep = cel->convertTo(format);
    const auto* pixmap = dynamic_cast<const CEL_Pixmap*>(rep.get());
    if (!pixmap) {
        error(QStringLiteral("%1 does not convert to %2-bit RGBA").arg(in).arg(depth));
        return kFailure;
    }
    const QByteArray bytes = rawPixels(rep.get(), depth);
    const QString size = QStringLiteral("%1x%2").arg(pixmap->width()).arg(pixmap->height());
    if (out == QLatin1String("-")) {
        // Standard output carries the pixels; the size goes to standard error.
        if (std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout) != size_t(bytes.size()) ||
            std::fflush(stdout) != 0) {
            error(QStringLiteral("cannot write standard output"));
            return kFailure;
        }
        std::fprintf(stderr, "%s\n", qPrintable(size));
        return kSuccess;
    }
    if (!writeBytes(out, bytes)) {
        error(QStringLiteral("cannot write %1").arg(out));
        return kFailure;
    }
    print(size);
    return kSuccess;
}

} // namespace celtool
