// celtool contact-sheet: labelled thumbnails of many images on one sheet.
#include "CelFiles.h"
#include "Command.h"
#include "FilterOps.h"
#include "Thumbnails.h"
#include "pixel/Representation.h"

namespace celtool {

int runContactSheet(const QStringList& args) {
    QCommandLineParser parser;
    const QCommandLineOption sizeOpt(QStringLiteral("size"),
                                     QStringLiteral("Box of each thumbnail (default 128x128)."),
                                     QStringLiteral("WxH"), QStringLiteral("128x128"));
    const QCommandLineOption columnsOpt(QStringLiteral("columns"),
                                        QStringLiteral("Thumbnails per row (default 6)."),
                                        QStringLiteral("N"), QStringLiteral("6"));
    const QCommandLineOption outOpt(QStringList{QStringLiteral("o")}, QStringLiteral("Sheet to write."),
                                    QStringLiteral("OUT"));
    parser.addOptions({sizeOpt, columnsOpt, outOpt});
    parser.addPositionalArgument(QStringLiteral("FILE..."), QStringLiteral("Images, in sheet order."));
    const QString synopsis = QStringLiteral("[--size WxH] [--columns N] -o OUT FILE...");
    int rc = kSuccess;
    if (!parseArgs(parser, QStringLiteral("contact-sheet"), synopsis, args, &rc)) return rc;
    const auto usage = [&](const QString& message) {
        error(message);
        std::fprintf(stderr, "usage: celtool contact-sheet %s\n", qPrintable(synopsis));
        return int(kUsage);
    };
    const QStringList files = parser.positionalArguments();
    const QString out = parser.value(outOpt);
    if (files.isEmpty() || out.isEmpty())
        return usage(QStringLiteral("contact-sheet needs -o OUT and at least one FILE"));
    FilterSize box;
    long long columns = 0;
    QString message;
    if (!parseSize(parser.value(sizeOpt), "--size", box, message) ||
        !parseInteger(parser.value(columnsOpt), "--columns", 1, 4096, columns, message))
        return usage(message);
    if (box.width > 65535 || box.height > 65535)
        return usage(QStringLiteral("--size: larger than 65535x65535"));
    long long w = 0, h = 0;
    contactSheetSize(files.size(), int(box.width), int(box.height), int(columns), w, h);
    unsigned long long bytes = 0;
    if (w > INT32_MAX || h > INT32_MAX ||
        __builtin_mul_overflow((unsigned long long)w, (unsigned long long)h * 4, &bytes) ||
        bytes > CEL_Pixmap::maxPixmapBytes())
        return usage(QStringLiteral("a %1x%2 sheet is more than the %3-byte pixmap limit")
                         .arg(w)
                         .arg(h)
                         .arg(CEL_Pixmap::maxPixmapBytes()));
    if ((rc = checkOutput(out, WriteOptions())) != kSuccess) {
        std::fprintf(stderr, "usage: celtool contact-sheet %s\n", qPrintable(synopsis));
        return rc;
    }
    const QString format = extensionOf(out);
    return writeContactSheet(files, int(box.width), int(box.height), int(columns), out, format);
}

} // namespace celtool
