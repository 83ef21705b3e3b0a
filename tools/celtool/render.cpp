// celtool render: a vector drawing rendered with the chosen settings.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>
#include <cstdio>

#include "CelFiles.h"
#include "Command.h"
#include "FilterOps.h"
#include "cel/Cel.h"
#include "cel/VectorQvd.h"
#include "pixel/PixmapArea.h"
#include "pixel/PixmapCanvas.h"

namespace celtool {

namespace {

// "underlay,colour,line,overlay" (any of them, any order).
bool parseArts(const QString& text, GR_ArtSelector& art, QString& message) {
    art = GR_ArtSelector(0);
    for (const QString& word : text.split(QLatin1Char(','))) {
        const QString w = word.trimmed().toLower();
        if (w == QLatin1String("underlay"))
            art.setRenderUnderlayArt(true);
        else if (w == QLatin1String("colour") || w == QLatin1String("color"))
            art.setRenderColorArt(true);
        else if (w == QLatin1String("line"))
            art.setRenderLineArt(true);
        else if (w == QLatin1String("overlay"))
            art.setRenderOverlayArt(true);
        else {
            message = QStringLiteral("--art: '%1' is not one of underlay, colour, line, overlay").arg(word);
            return false;
        }
    }
    return true;
}

// Six numbers a, b, c, d, e, f (x' = a x + b y + c, y' = d x + e y + f, world
// units) or sixteen (a 4 x 4 matrix, row by row).
bool parseMatrix(const QString& text, Math::Matrix4x4& m, QString& message) {
    std::vector<double> v;
    if (!parseNumberList(text, "--matrix", {6, 16}, v, message)) return false;
    m = Math::Matrix4x4();
    if (v.size() == 6) {
        m(0, 0) = v[0], m(0, 1) = v[1], m(0, 3) = v[2];
        m(1, 0) = v[3], m(1, 1) = v[4], m(1, 3) = v[5];
    } else {
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c) m(r, c) = v[std::size_t(r * 4 + c)];
    }
    return true;
}

QJsonArray jsonBox(const Math::Box2di& b) {
    return b.hasNullArea() ? QJsonArray{0, 0, 0, 0} : QJsonArray{b.x1(), b.y1(), b.w(), b.h()};
}

} // namespace

int runRender(const QStringList& args) {
    QCommandLineParser parser;
    const QCommandLineOption sizeOpt(QStringLiteral("size"),
                                     QStringLiteral("Output resolution (default 720x540)."),
                                     QStringLiteral("WxH"), QStringLiteral("720x540"));
    const QCommandLineOption canvasOpt(
        QStringLiteral("canvas"),
        QStringLiteral(
            "Canvas rectangle of the 16-bit render in the resolution's pixels (default: all of it)."),
        QStringLiteral("X,Y,W,H"));
    const QCommandLineOption depthOpt(
        QStringLiteral("depth"),
        QStringLiteral("8: the whole resolution; 16: only the area the drawing covers (default 8)."),
        QStringLiteral("8|16"), QStringLiteral("8"));
    const QCommandLineOption aaOpt(QStringLiteral("antialias"),
                                   QStringLiteral("Antialiasing quality: 0 or 1 none, 2 and 3 antialiased, 4 "
                                                  "antialiased in 16-bit precision (default 3)."),
                                   QStringLiteral("Q"), QStringLiteral("3"));
    const QCommandLineOption artOpt(
        QStringLiteral("art"), QStringLiteral("Arts drawn (default all): underlay, colour, line, overlay."),
        QStringLiteral("LIST"));
    const QCommandLineOption straightOpt(QStringLiteral("straight"),
                                         QStringLiteral("Straight colour instead of premultiplied."));
    const QCommandLineOption thickOpt(QStringLiteral("thickness"),
                                      QStringLiteral("Scale of every stroke width (default 1)."),
                                      QStringLiteral("F"));
    const QCommandLineOption matrixOpt(
        QStringLiteral("matrix"),
        QStringLiteral(
            "Model matrix applied to the drawing: a,b,c,d,e,f (x' = a x + b y + c, y' = d x + e y + "
            "f, world units) or 16 numbers row by row."),
        QStringLiteral("M"));
    const QCommandLineOption codeOpt(QStringLiteral("code"), QStringLiteral("Option code of the output."),
                                     QStringLiteral("CODE"));
    const QCommandLineOption formatOpt(
        QStringLiteral("format"),
        QStringLiteral(
            "Format (extension) of \"-\" and of an IN or OUT without extension (output default: PNG)."),
        QStringLiteral("EXT"));
    const QCommandLineOption jsonOpt(
        QStringLiteral("json"),
        QStringLiteral("Print size, canvas, allocated rectangle, shapes and world box as one JSON line."));
    parser.addOptions({sizeOpt, canvasOpt, depthOpt, aaOpt, artOpt, straightOpt, thickOpt, matrixOpt, codeOpt,
                       formatOpt, jsonOpt});
    parser.addPositionalArgument(QStringLiteral("IN"),
                                 QStringLiteral("Vector drawing (QVX; \"-\": standard input)."));
    parser.addPositionalArgument(QStringLiteral("OUT"),
                                 QStringLiteral("Image to write (\"-\": standard output)."));
    const QString synopsis = QStringLiteral(
        "[--size WxH] [--canvas X,Y,W,H] [--depth 8|16] [--antialias Q] [--art LIST] [--straight] "
        "[--thickness F] [--matrix M] [--code CODE] [--format EXT] [--json] IN OUT");
    int rc = kSuccess;
    if (!parseArgs(parser, QStringLiteral("render"), synopsis, args, &rc)) return rc;
    const auto usage = [&](const QString& message) {
        error(message);
        std::fprintf(stderr, "usage: celtool render %s\n", qPrintable(synopsis));
        return int(kUsage);
    };
    const QStringList pos = parser.positionalArguments();
    if (pos.size() != 2) return usage(QStringLiteral("render needs IN and OUT"));
    const QString in = pos[0], out = pos[1];
    const bool json = parser.isSet(jsonOpt);
    if (json && out == QLatin1String("-"))
        return usage(QStringLiteral("--json prints to standard output: OUT cannot be \"-\""));

    QString message;
    FilterSize size;
    if (!parseSize(parser.value(sizeOpt), "--size", size, message)) return usage(message);
    long long depth = 8, quality = 3;
    if (!parseInteger(parser.value(depthOpt), "--depth", 8, 16, depth, message) ||
        (depth != 8 && depth != 16))
        return usage(QStringLiteral("--depth: '%1' is not 8 or 16").arg(parser.value(depthOpt)));
    const unsigned long long bytes =
        (unsigned long long)size.width * (unsigned long long)size.height * (depth == 8 ? 4ull : 8ull);
    if (bytes > CEL_Pixmap::maxPixmapBytes())
        return usage(QStringLiteral("--size: %1x%2 at %3 bits is larger than a pixmap may be (%4 bytes)")
                         .arg(size.width)
                         .arg(size.height)
                         .arg(depth)
                         .arg(CEL_Pixmap::maxPixmapBytes()));
    Math::Box2di canvas(0, 0, int(size.width), int(size.height));
    if (parser.isSet(canvasOpt)) {
        std::vector<double> v;
        if (!parseNumberList(parser.value(canvasOpt), "--canvas", {4}, v, message)) return usage(message);
        for (double d : v)
            if (d != std::trunc(d) || std::fabs(d) > 1e9)
                return usage(
                    QStringLiteral("--canvas: '%1' is not four whole numbers").arg(parser.value(canvasOpt)));
        if (v[2] <= 0 || v[3] <= 0)
            return usage(QStringLiteral("--canvas: the width and height must be greater than 0"));
        canvas = Math::Box2di(int(v[0]), int(v[1]), int(v[2]), int(v[3]));
    }
    if (!parseInteger(parser.value(aaOpt), "--antialias", INT32_MIN, INT32_MAX, quality, message))
        return usage(message);
    GR_ArtSelector art;
    if (parser.isSet(artOpt) && !parseArts(parser.value(artOpt), art, message)) return usage(message);
    double thickness = 1.0;
    if (parser.isSet(thickOpt) && !parsePositive(parser.value(thickOpt), "--thickness", thickness, message))
        return usage(message);
    Math::Matrix4x4 matrix;
    if (parser.isSet(matrixOpt) && !parseMatrix(parser.value(matrixOpt), matrix, message))
        return usage(message);

    const QString format = parser.value(formatOpt);
    const auto formatOf = [&format](const QString& path) {
        return path == QLatin1String("-") || extensionOf(path).isEmpty() ? format : QString();
    };
    WriteOptions options;
    options.format = formatOf(out);
    options.code = parser.value(codeOpt);
    if ((rc = checkOutput(out, options)) != kSuccess) return rc;

    const UT_SharedPtr<CEL_Cel> cel = readCel(in, formatOf(in));
    if (!cel) return kFailure;
    const CEL_SharedPtr<CELVEC_Qvd> source = cel->findBestVectorRepresentation();
    if (!source) {
        error(QStringLiteral("%1: not a vector drawing")
                  .arg(in == QLatin1String("-") ? QStringLiteral("standard input") : in));
        return kFailure;
    }
    const UT_SharedPtr<CELVEC_Qvd> drawing(source->sharedCopy());
    drawing->setResolution(Math::Size2di(int(size.width), int(size.height)), canvas);
    drawing->setAntialiasingParam(CELVEC_Qvd::AntialiasQuality(quality), drawing->antialiasParam(),
                                  drawing->textureFilter());
    drawing->setArtSelector(art);
    drawing->setPremultiply(!parser.isSet(straightOpt));
    GR_RichLineStyleRenderingParams style = drawing->richLineStyleParameters();
    style.setThicknessScale(thickness);
    drawing->setRichLineStyleParameters(style);
    drawing->applyMatrix(matrix);

    const UT_SharedPtr<CEL_Representation> rendered(drawing->convertTo(
        depth == 8 ? CEL_Representation::PIXMAP_RGBA8 : CEL_Representation::PIXMAP_AREA_RGBA16));
    if (!rendered) {
        error(QStringLiteral("%1: the render failed (not enough memory)").arg(in));
        return kFailure;
    }
    UT_SharedPtr<CEL_Cel> result(new CEL_Cel(rendered->getFormat()));
    result->addRepresentation(rendered);
    CelOrigin origin;
    origin.shape = CELIO_Shape{4, depth == 16};
    origin.alpha = parser.isSet(straightOpt) ? CELIO_Alpha::Straight : CELIO_Alpha::Premultiplied;
    origin.format = QStringLiteral("PNG");
    setOrigin(result.get(), origin);
    if ((rc = writeCel(result.get(), out, options)) != kSuccess) return rc;

    if (json) {
        const auto* area = dynamic_cast<const CEL_PixmapAreaRGBA16*>(rendered.get());
        const Math::Box2di allocated =
            area ? area->allocatedRect() : Math::Box2di(0, 0, int(size.width), int(size.height));
        const GR_CompositeVectorDrawingObj* d = drawing->getDrawingObject();
        const Math::Box2d box = d->GetVisibleWorldBBox(
            style.getThicknessRenderParameters(drawing->getModelToNormalizedDeviceMatrix()), art);
        QJsonObject o;
        o.insert(QStringLiteral("file"), out);
        o.insert(QStringLiteral("size"), QJsonArray{int(size.width), int(size.height)});
        o.insert(QStringLiteral("canvas"), jsonBox(drawing->canvasRect()));
        o.insert(QStringLiteral("allocated"), jsonBox(allocated));
        o.insert(QStringLiteral("shapes"), qint64(d->shapeCount(art)));
        o.insert(QStringLiteral("worldBox"),
                 box.isEmpty() ? QJsonValue()
                               : QJsonValue(QJsonArray{box.x1(), box.y1(), box.x2(), box.y2()}));
        print(QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact)));
    }
    return kSuccess;
}

} // namespace celtool
