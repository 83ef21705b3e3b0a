#include <QDir>

#include "Command.h"
#include "base/Version.h"

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
    return kSuccess;
}

} // namespace celtool
