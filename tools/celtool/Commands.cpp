#include "Command.h"

#include <cstdio>

namespace celtool {

const std::vector<Command>& commands() {
    static const std::vector<Command> table = {
        {"demo", "Run the main job on built-in sample content", runDemo},
        {"info", "Print the header information of image files", runInfo},
        {"convert", "Read an image and write it in another format or shape", runConvert},
        {"dump", "Write the pixels of an image as raw 8- or 16-bit RGBA", runDump},
        {"composite", "Lay images onto a base image with a composite operation", runComposite},
        {"compare", "Compare the pixels of two images", runCompare},
        {"flatten", "Composite the layers of a PSD or PSB file by their blend modes", runFlatten},
        {"filter", "Apply filter operations (resize, rotate, ...) in order to an image", runFilter},
        {"thumbnail", "Write a small picture of an image, over white", runThumbnail},
        {"contact-sheet", "Lay out labelled thumbnails of many images on one sheet", runContactSheet},
        {"cache", "Inspect or clear the render cache, or send an image through it", runCache},
        {"stack", "Write pictures as the layers of one PSD file, with their flatten", runStack},
    };
    return table;
}

bool parseArgs(QCommandLineParser& parser, const QString& command, const QString& synopsis,
               const QStringList& args, int* exitCode) {
    parser.setApplicationDescription(QStringLiteral("usage: celtool %1 %2").arg(command, synopsis));
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help."));
    parser.addOption(help);
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    QStringList argv = args;
    argv.prepend(QStringLiteral("celtool ") + command);
    if (!parser.parse(argv)) {
        error(parser.errorText());
        std::fprintf(stderr, "usage: celtool %s %s\n", qPrintable(command), qPrintable(synopsis));
        *exitCode = kUsage;
        return false;
    }
    if (parser.isSet(help)) {
        // Qt's first line names the binary; ours names the subcommand instead.
        QString text = parser.helpText();
        text = text.mid(text.indexOf(QLatin1Char('\n')) + 1);
        std::fputs(qPrintable(text), stdout);
        *exitCode = kSuccess;
        return false;
    }
    return true;
}

void error(const QString& text) {
    std::fprintf(stderr, "celtool: %s\n", text.toUtf8().constData());
    std::fflush(stderr);
}

void print(const QString& text) {
    std::fprintf(stdout, "%s\n", text.toUtf8().constData());
    std::fflush(stdout);
}

} // namespace celtool
