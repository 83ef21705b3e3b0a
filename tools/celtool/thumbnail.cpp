// celtool thumbnail: a small picture of an image, over white.
#include "CelFiles.h"
#include "Command.h"
#include "FilterOps.h"
#include "MovieFiles.h"
#include "Thumbnails.h"
#include "cel/Cel.h"
#include "pixel/PixmapCanvas.h"

namespace celtool {

namespace {

// "N" (a square) or "WxH".
bool parseBox(const QString& text, const char* what, FilterSize& box, QString& message) {
    long long n = 0;
    if (!text.contains(QLatin1Char('x'))) {
        if (!parseInteger(text, what, 1, 65535, n, message)) return false;
        box = {n, n};
        return true;
    }
    if (!parseSize(text, what, box, message)) return false;
    if (box.width <= 65535 && box.height <= 65535) return true;
    message = QStringLiteral("%1: '%2' is larger than 65535x65535").arg(QLatin1String(what), text);
    return false;
}

} // namespace

int runThumbnail(const QStringList& args) {
    QCommandLineParser parser;
    const QCommandLineOption sizeOpt(
        QStringLiteral("size"),
        QStringLiteral("Square N, or WxH: the largest thumbnail that fits (default 128)."),
        QStringLiteral("N|WxH"), QStringLiteral("128"));
    const QCommandLineOption contentOpt(
        QStringLiteral("content"), QStringLiteral("Show the drawing's box instead of the whole canvas."));
    const QCommandLineOption frameOpt = frameOption();
    parser.addOptions({sizeOpt, contentOpt, frameOpt});
    parser.addPositionalArgument(QStringLiteral("IN"), QStringLiteral("Image to read."));
    parser.addPositionalArgument(QStringLiteral("OUT"),
                                 QStringLiteral("Image to write (opaque, over white)."));
    const QString synopsis = QStringLiteral("[--size N|WxH] [--content] [--frame N] IN OUT");
    int rc = kSuccess;
    if (!parseArgs(parser, QStringLiteral("thumbnail"), synopsis, args, &rc)) return rc;
    const auto usage = [&](const QString& message) {
        error(message);
        std::fprintf(stderr, "usage: celtool thumbnail %s\n", qPrintable(synopsis));
        return int(kUsage);
    };
    const QStringList pos = parser.positionalArguments();
    if (pos.size() != 2) return usage(QStringLiteral("thumbnail needs IN and OUT"));
    FilterSize box;
    QString message;
    if (!parseBox(parser.value(sizeOpt), "--size", box, message)) return usage(message);
    const QString out = pos[1];
    if ((rc = checkOutput(out, WriteOptions())) != kSuccess) {
        std::fprintf(stderr, "usage: celtool thumbnail %s\n", qPrintable(synopsis));
        return rc;
    }

    int frame = 1;
    if (!frameOf(parser, frameOpt, frame)) return kUsage;
    const UT_SharedPtr<CEL_Cel> cel = readCel(pos[0], QString(), QString(), nullptr, nullptr, frame);
    if (!cel) return kFailure;
    std::unique_ptr<CEL_PixmapRGBA8> picture =
        opaqueThumbnail(*cel, pos[0], int(box.width), int(box.height), parser.isSet(contentOpt));
    if (!picture) return kFailure;
    UT_SharedPtr<CEL_Cel> thumb(new CEL_Cel(CEL_Representation::PIXMAP_RGBA8));
    thumb->addRepresentation(UT_SharedPtr<CEL_Representation>(picture.release()));
    return writeCel(thumb.get(), out, WriteOptions());
}

} // namespace celtool
