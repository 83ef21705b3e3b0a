// celtool: the command-line front end of VellumixCelCore.
//   celtool SUBCOMMAND [options] [arguments]
// Exit status: 0 success, 1 failure, 2 usage error. Errors are one line each
// on standard error.

#include <QCoreApplication>
#include <cstdio>
#include <cstring>

#include "CelFiles.h"
#include "Command.h"
#include "base/Platform.h"
#include "base/TsanSuppressionsDetail.h"
#include "base/Version.h"
#include "celio/Manager.h"
#include "celio/handlers/QvdHandler.h"
#include "celio/handlers/RawHandlers.h"

namespace {

void printUsage(FILE* out) {
    std::fprintf(out,
                 "usage: celtool [--help] [--version] SUBCOMMAND [options] [arguments]\n\nSubcommands:\n");
    for (const auto& c : celtool::commands()) std::fprintf(out, "  %-14s %s\n", c.name, c.summary);
    std::fprintf(out, "\nRun 'celtool SUBCOMMAND --help' for the options of a subcommand.\n");
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    // A batch tool: "-" stands for standard input and output.
    WHO_Identity::setInteractive(false);
    // Each failure is one line of ours; what the libraries say becomes its cause.
    celtool::quietLibraryOutput();
    // The library's raster and vector handlers, and the raw depth handler it leaves to applications.
    qxCelAddPixmapHandler();
    qxCelAddQvdHandler();
    CELIO_Manager::getInstance()->addHandler(new CELIO_UioRawFloatHandler);

    const QStringList args = QCoreApplication::arguments().mid(1);
    if (args.isEmpty()) {
        printUsage(stderr);
        return celtool::kUsage;
    }
    const QString first = args.front();
    if (first == QLatin1String("--help") || first == QLatin1String("-h") || first == QLatin1String("help")) {
        printUsage(stdout);
        return celtool::kSuccess;
    }
    if (first == QLatin1String("--version")) {
        std::printf("celtool %s\n", celcoreVersion());
        return celtool::kSuccess;
    }
    for (const auto& c : celtool::commands())
        if (first == QLatin1String(c.name)) return c.run(args.mid(1));
    celtool::error(QStringLiteral("unknown subcommand '%1'").arg(first));
    printUsage(stderr);
    return celtool::kUsage;
}
