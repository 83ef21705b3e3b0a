// celtool flatten: the visible layers of a PSD or PSB file composited by
// their blend modes and groups, written as convert writes.
#include <QFile>
#include <memory>

#include "CelFiles.h"
#include "Command.h"
#include "base/Message.h"
#include "cel/Cel.h"
#include "celio/handlers/PsdHandler.h"
#include "pixel/PixmapArea.h"

namespace celtool {

namespace {

// The depth and colour mode of a PSD or PSB file, from its first 26 bytes.
struct Document {
    bool psd = false;
    bool deep = false;
    bool grey = false;
};

Document documentOf(const QString& path) {
    QFile file(path);
    Document d;
    if (!file.open(QIODevice::ReadOnly)) return d;
    const QByteArray h = file.read(26);
    if (h.size() < 26 || !h.startsWith("8BPS")) return d;
    const auto be16 = [&h](int i) { return uint8_t(h[i]) << 8 | uint8_t(h[i + 1]); };
    d.psd = true;
    d.deep = be16(22) == 16;
    d.grey = be16(24) == CELIO_PsdHandler::Bitmap || be16(24) == CELIO_PsdHandler::Grayscale;
    return d;
}

bool hasTransparency(const CEL_PixmapAreaRGBA16& p) {
    const CEL_PixelRGBA16* d = p.data();
    for (int64_t i = 0; i < p.allocatedArea(); ++i)
        if (d[i].a < 32767) return true;
    return p.allocatedArea() < int64_t(p.width()) * p.height();
}

} // namespace

int runFlatten(const QStringList& args) {
    QCommandLineParser parser;
    const QCommandLineOption codeOpt(
        QStringLiteral("code"),
        QStringLiteral("Option code of the output (default: the code that keeps the document's depth, with "
                       "alpha when the result is not opaque)."),
        QStringLiteral("CODE"));
    const QCommandLineOption formatOpt(
        QStringLiteral("format"), QStringLiteral("Format (extension) of an OUT that is \"-\" or has none."),
        QStringLiteral("EXT"));
    const QCommandLineOption rawOpt(QStringLiteral("raw16"),
                                    QStringLiteral("Also write the result as dump --depth 16 would."),
                                    QStringLiteral("FILE"));
    const QCommandLineOption keepOpt = keepValuesOption();
    parser.addOptions({codeOpt, formatOpt, rawOpt, keepOpt});
    parser.addPositionalArgument(QStringLiteral("IN"), QStringLiteral("PSD or PSB file."));
    parser.addPositionalArgument(QStringLiteral("OUT"),
                                 QStringLiteral("Image to write (\"-\": standard output)."));
    const QString synopsis =
        QStringLiteral("[--code CODE] [--format EXT] [--keep-values] [--raw16 FILE] IN OUT");
    int rc = kSuccess;
    if (!parseArgs(parser, QStringLiteral("flatten"), synopsis, args, &rc)) return rc;
    const QStringList pos = parser.positionalArguments();
    if (pos.size() != 2 || pos[0] == QLatin1String("-")) {
        error(QStringLiteral("flatten needs IN (a file) and OUT"));
        return kUsage;
    }
    const QString in = pos[0], out = pos[1];
    WriteOptions options;
    options.format =
        out == QLatin1String("-") || extensionOf(out).isEmpty() ? parser.value(formatOpt) : QString();
    options.code = parser.value(codeOpt);
    options.keepValues = parser.isSet(keepOpt);
    if ((rc = checkOutput(out, options)) != kSuccess) return rc;

    const Document document = documentOf(in);
    if (!document.psd) {
        error(QStringLiteral("%1: not a PSD or PSB file").arg(in));
        return kFailure;
    }
    QStringList warnings;
    std::unique_ptr<CEL_PixmapAreaRGBA16> flat;
    {
        QXMessage::Capture said; // the refusal below says it in its own words
        try {
            flat.reset(CELIO_PsdHandler().flattenLayers(in, &warnings));
        } catch (const QString& refusal) {
            error(QStringLiteral("%1: %2").arg(in, refusal));
            return kFailure;
        }
    }
    for (const QString& w : warnings) error(QStringLiteral("%1: %2").arg(in, w));
    if (!flat) {
        error(QStringLiteral("%1: cannot be flattened (damaged or cut short)").arg(in));
        return kFailure;
    }
    if (parser.isSet(rawOpt)) {
        const UT_SharedPtr<CEL_Representation> wide(flat->convertTo(CEL_Representation::PIXMAP_RGBA16));
        if (!writeBytes(parser.value(rawOpt), rawPixels(wide.get(), 16))) return kFailure;
    }
    CelOrigin origin;
    origin.shape = CELIO_Shape{hasTransparency(*flat) ? 4 : (document.grey ? 1 : 3), document.deep};
    origin.alpha = CELIO_Alpha::Premultiplied;
    origin.format = QStringLiteral("PSD");
    const UT_SharedPtr<CEL_Cel> cel = celOf(std::move(flat), origin);
    return writeCel(cel.get(), out, options);
}

} // namespace celtool
