#include <cstdio>
#include <memory>

#include "CelFiles.h"
#include "Command.h"
#include "Depth.h"
#include "MovieFiles.h"
#include "cel/Cel.h"
#include "pixel/PixmapCanvas.h"

namespace celtool {

namespace {

// A cel holding a 16-bit matte converts to nothing; its values are spread as
// the library spreads a matte's (v, v, v, v), through its 8-bit matte for 8 bits.
UT_SharedPtr<CEL_Representation> spreadMatte16(CEL_Cel* cel, int depth) {
    const auto* m = dynamic_cast<const CEL_PixmapMatte16*>(cel->findBestPixmapRepresentation().get());
    if (!m || !m->data()) return {};
    if (depth == 8) {
        const std::unique_ptr<CEL_Representation> m8(m->convertTo(CEL_Representation::PIXMAP_MATTE8));
        return UT_SharedPtr<CEL_Representation>(m8 ? m8->convertTo(CEL_Representation::PIXMAP_RGBA8)
                                                   : nullptr);
    }
    auto* p = new CEL_PixmapRGBA16(m->size(), CEL_PixmapRGBA16::DoNotMemset());
    if (p->data())
        for (long long i = 0, n = (long long)m->width() * m->height(); i < n; ++i) {
            const int16_t v = m->data()[i];
            p->data()[i] = CEL_PixelRGBA16{v, v, v, v};
        }
    return UT_SharedPtr<CEL_Representation>(p);
}

} // namespace

int runDump(const QStringList& args) {
    QCommandLineParser parser;
    const QCommandLineOption depthOpt(
        QStringLiteral("depth"),
        QStringLiteral("8 or 16 bits per channel (default 8), or z: the depth as 32-bit floats."),
        QStringLiteral("BITS"), QStringLiteral("8"));
    const QCommandLineOption layerOpt(QStringLiteral("layer"), QStringLiteral("Layer of a layered input."),
                                      QStringLiteral("PATH"));
    const QCommandLineOption formatOpt(
        QStringLiteral("format"),
        QStringLiteral("Format (extension) of standard input (default: its content)."),
        QStringLiteral("EXT"));
    const QCommandLineOption frameOpt = frameOption();
    parser.addOptions({depthOpt, layerOpt, formatOpt, frameOpt});
    parser.addPositionalArgument(QStringLiteral("IN"),
                                 QStringLiteral("Image to read (\"-\": standard input)."));
    parser.addPositionalArgument(QStringLiteral("OUT"),
                                 QStringLiteral("Raw pixels, top row first (\"-\": standard output)."));
    const QString synopsis =
        QStringLiteral("[--depth 8|16|z] [--layer PATH] [--format EXT] [--frame N] IN OUT");
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
    int frame = 1;
    if (!frameOf(parser, frameOpt, frame)) return kUsage;
    const QString in = pos[0], out = pos[1];
    if (depthText == QLatin1String("z"))
        return dumpDepth(in, out, parser.value(formatOpt), parser.value(layerOpt));
    const int depth = depthText.toInt();

    // The library's values as they are: the neutral form exact comparisons use.
    const UT_SharedPtr<CEL_Cel> cel =
        readCel(in, parser.value(formatOpt), parser.value(layerOpt), nullptr, nullptr, frame);
    if (!cel) return kFailure;
    const auto format = depth == 8 ? CEL_Representation::PIXMAP_RGBA8 : CEL_Representation::PIXMAP_RGBA16;
    UT_SharedPtr<CEL_Representation> rep = cel->convertTo(format);
    if (!rep) rep = spreadMatte16(cel.get(), depth);
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
