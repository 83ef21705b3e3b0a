#include <QDir>

#include "CelFiles.h"
#include "Command.h"
#include "DemoSheets.h"
#include "Depth.h"
#include "FilterOps.h"
#include "Inbetween.h"
#include "TileIndex.h"
#include "VectorCels.h"
#include "base/Version.h"
#include "celio/Manager.h"

namespace celtool {

int runDemo(const QStringList& args) {
    QCommandLineParser parser;
    parser.addPositionalArgument(QStringLiteral("OUTDIR"),
                                 QStringLiteral("Where to write the demo's files."));
    int rc = kSuccess;
    if (!parseArgs(parser, QStringLiteral("demo"), QStringLiteral("[OUTDIR]"), args, &rc)) return rc;
    const QStringList pos = parser.positionalArguments();
    if (pos.size() > 1) {
        error(QStringLiteral("demo takes at most one directory"));
        return kUsage;
    }
    const QString outDir = pos.isEmpty() ? QStringLiteral("demo-out") : pos.front();
    if (!QDir().mkpath(outDir)) {
        error(QStringLiteral("cannot create %1").arg(outDir));
        return kFailure;
    }
    print(QStringLiteral("VellumixCelCore %1").arg(QString::fromLatin1(celcoreVersion())));

    // The file formats this build reads and writes, as the I/O manager lists them.
    qxCelAddPixmapHandler();
    const CELIO_Manager* io = CELIO_Manager::getInstance();
    const auto list = [](const QStringList& names) {
        return names.isEmpty() ? QStringLiteral("(none)") : names.join(QLatin1Char(' '));
    };
    print(QStringLiteral("read formats: %1").arg(list(io->getExtensions())));
    print(QStringLiteral("write formats: %1").arg(list(io->getWriteExtensions())));
    print(QStringLiteral("write option codes: %1").arg(list(io->getWriteOptionCodes())));

    if (demoFrames(outDir) != kSuccess) return kFailure;
    if (demoComposite(outDir) != kSuccess) return kFailure;
    if (demoLayers(outDir) != kSuccess) return kFailure;
    if (demoLegacy(outDir) != kSuccess) return kFailure;
    if (demoIffDepth(outDir) != kSuccess) return kFailure;
    if (demoDepth(outDir) != kSuccess) return kFailure;
    if (demoFilters(outDir) != kSuccess) return kFailure;
    if (demoInbetween(outDir) != kSuccess) return kFailure;
    if (demoProxy(outDir) != kSuccess) return kFailure;
    if (demoOmf(outDir) != kSuccess) return kFailure;
    if (demoTiles(outDir) != kSuccess) return kFailure;
    if (demoVector(outDir) != kSuccess) return kFailure;
    if (demoOverlay(outDir) != kSuccess) return kFailure;
    if (demoVideo(outDir) != kSuccess) return kFailure;
    if (demoLoader(outDir) != kSuccess) return kFailure;
    if (demoMovie(outDir) != kSuccess) return kFailure;
    return kSuccess;
}

} // namespace celtool
