#include "Command.h"

#include "Console.h"

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
        {"render", "Render a vector drawing with chosen size, art layers and antialiasing", runRender},
        {"stack", "Write pictures as the layers of one PSD file, with their flatten", runStack},
        {"tiles", "Cut a picture into the tile files of a bitmap layer, with an index", runTiles},
        {"untile", "Put a folder of layer tiles back together into one picture", runUntile},
        {"interlace", "Write two pictures as the two fields of one frame", runInterlace},
        {"inbetween", "Write the frames between two pictures, blended", runInbetween},
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
    noteThreadError(text);
    writeLine(stderr, "celtool: " + text.toUtf8());
}

void print(const QString& text) {
    writeLine(stdout, text.toUtf8());
}

} // namespace celtool
