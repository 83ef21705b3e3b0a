// celtool: the command-line front end of VellumixCelCore.
//   celtool SUBCOMMAND [options] [arguments]
// Exit status: 0 success, 1 failure, 2 usage error. Errors are one line each
// on standard error.

#include <QCoreApplication>
#include <QGuiApplication>
#include <cstdio>
#include <cstring>
#include <memory>

#include "CelFiles.h"
#include "Command.h"
#include "MoviePlugin.h"
#include "base/Platform.h"
#include "base/TsanSuppressionsDetail.h"
#include "base/Version.h"
#include "celio/Manager.h"
#include "celio/handlers/OmfHandler.h"
#include "celio/handlers/QvdHandler.h"
#include "celio/handlers/RawHandlers.h"

namespace {

void printUsage(FILE* out) {
    std::fprintf(out,
                 "usage: celtool [--help] [--version] SUBCOMMAND [options] [arguments]\n\nSubcommands:\n");
    for (const auto& c : celtool::commands()) std::fprintf(out, "  %-14s %s\n", c.name, c.summary);
    std::fprintf(out, "\nRun 'celtool SUBCOMMAND --help' for the options of a subcommand.\n");
}

// Text is measured and outlined through Qt's fonts, which need a GUI
// application: only the runs that draw text make one (headless unless the
// user chose a platform), the others stay light.
bool drawsText(int argc, char** argv) {
    if (argc < 2) return false;
    if (std::strcmp(argv[1], "demo") == 0) return true;
    if (std::strcmp(argv[1], "filter") != 0) return false;
    for (int i = 2; i < argc; ++i)
        if (std::strncmp(argv[i], "--text", 6) == 0 &&
            (argv[i][6] == 0 || argv[i][6] == ':' || argv[i][6] == '='))
            return true;
    return false;
}

} // namespace

int main(int argc, char** argv) {
    std::unique_ptr<QCoreApplication> application;
    if (drawsText(argc, argv)) {
        // Qt's start-up notes ("XDG_RUNTIME_DIR not set") go to our handler, not to stderr.
        celtool::quietLibraryOutput();
        if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        application = std::make_unique<QGuiApplication>(argc, argv);
    } else {
        application = std::make_unique<QCoreApplication>(argc, argv);
    }
    // A batch tool: "-" stands for standard input and output.
    WHO_Identity::setInteractive(false);
    // Each failure is one line of ours; what the libraries say becomes its cause.
    celtool::quietLibraryOutput();
    // The library's raster and vector handlers, and the raw depth and OMF media handlers it leaves
    // to applications.
    qxCelAddPixmapHandler();
    qxCelAddQvdHandler();
    CELIO_Manager::getInstance()->addHandler(new CELIO_UioRawFloatHandler);
    CELIO_Manager::getInstance()->addHandler(new QXCelUioOmfHandler);
    // Movie files through the libav plug-in, loaded when the first one opens.
    celtool::registerMovies();

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
