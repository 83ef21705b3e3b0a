// celtool's depth options: the depth of a cel as raw floats, as a grey
// picture, and compositing layers by depth.
#include <QFileInfo>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include "CelFiles.h"
#include "Command.h"
#include "Depth.h"
#include "algo/composite/Composite3D.h"
#include "base/ByteOrder.h"
#include "cel/Cel.h"
#include "pixel/PixmapArea3D.h"
#include "pixel/PixmapCanvas.h"

namespace celtool {

namespace {

bool hasOption(const QStringList& args, const char* name) {
    const QString longName = QStringLiteral("--") + QLatin1String(name);
    return args.contains(longName) || args.contains(longName.mid(1));
}

// The cel's depth buffer, null (after saying so) when it has none. With
// fillHoles, coloured pixels without depth take their nearest neighbour's.
UT_SharedPtr<CEL_PixmapAreaZ> depthOf(CEL_Cel& cel, const QString& name, bool fillHoles) {
    UT_SharedPtr<CEL_Representation> colour;
    // Made first: the cel fits its depth buffer to the colour pixmap it makes.
    if (fillHoles) colour = cel.convertTo(CEL_Representation::PIXMAP_AREA_RGBA16);
    auto z = UT_dynamicCast<CEL_PixmapAreaZ>(cel.convertTo(CEL_Representation::PIXMAP_AREA_ZBUF));
    if (z && fillHoles) {
        if (auto* area = dynamic_cast<const CEL_PixmapAreaRGBA16*>(colour.get()))
            z = UT_SharedPtr<CEL_PixmapAreaZ>(ALGO_3D::copyExpandDepthBuffer(area, z.get()));
    }
    if (!z || !z->data()) {
        error(QStringLiteral("%1 has no depth").arg(name));
        return {};
    }
    return z;
}

// "LOW,HIGH" with LOW < HIGH.
bool parseRange(const QString& text, double* low, double* high) {
    const QStringList parts = text.split(QLatin1Char(','));
    bool okLow = false, okHigh = false;
    if (parts.size() != 2) return false;
    *low = parts[0].trimmed().toDouble(&okLow);
    *high = parts[1].trimmed().toDouble(&okHigh);
    return okLow && okHigh && *low < *high;
}

// A layer of `composite --by-depth`: PATH, PATH@Z or PATH@plane:Z0,DZDX,DZDY.
struct LayerSpec {
    enum Kind { OwnDepth, Flat, Plane } kind = OwnDepth;
    QString path;
    Math::PlanarDepthBuffer depth;
};

bool parseLayer(const QString& text, LayerSpec* spec) {
    spec->path = text;
    const qsizetype at = text.lastIndexOf(QLatin1Char('@'));
    // A file whose name holds '@' is taken as it is.
    if (at < 0 || QFileInfo::exists(text)) return true;
    spec->path = text.left(at);
    const QString suffix = text.mid(at + 1);
    if (suffix.startsWith(QLatin1String("plane:"))) {
        const QStringList v = suffix.mid(6).split(QLatin1Char(','));
        bool ok[3] = {false, false, false};
        if (v.size() != 3) return false;
        const double z0 = v[0].toDouble(&ok[0]), dx = v[1].toDouble(&ok[1]), dy = v[2].toDouble(&ok[2]);
        if (!ok[0] || !ok[1] || !ok[2] || !std::isfinite(z0) || !std::isfinite(dx) || !std::isfinite(dy))
            return false;
        spec->kind = LayerSpec::Plane;
        spec->depth = Math::PlanarDepthBuffer(z0, dx, dy);
        return true;
    }
    bool ok = false;
    const double z = suffix.toDouble(&ok);
    if (!ok || !std::isfinite(z)) return false;
    spec->kind = LayerSpec::Flat;
    spec->depth = Math::PlanarDepthBuffer(z);
    return true;
}

} // namespace

int dumpDepth(const QString& in, const QString& out, const QString& format, const QString& layer) {
    const UT_SharedPtr<CEL_Cel> cel = readCel(in, format, layer);
    if (!cel) return kFailure;
    const UT_SharedPtr<CEL_PixmapAreaZ> z = depthOf(*cel, in, false);
    if (!z) return kFailure;
    const Math::Box2di canvas = z->canvasRect();
    QByteArray bytes;
    bytes.resize(qsizetype(canvas.area() * 4));
    auto* p = reinterpret_cast<uint8_t*>(bytes.data());
    for (int y = canvas.y1(); y < canvas.y2(); ++y)
        for (int x = canvas.x1(); x < canvas.x2(); ++x, p += 4) {
            const CEL_PixelFloat* v = z->pixel(x, y);
            const float f = v ? v->value : CEL_PixelFloat::Zero;
            uint32_t bits;
            std::memcpy(&bits, &f, 4);
            ByteOrder::putU32LE(p, bits);
        }
    if (!writeBytes(out, bytes)) return kFailure;
    // With the values on standard output, the size goes to standard error.
    const QString size = QStringLiteral("%1x%2").arg(canvas.w()).arg(canvas.h());
    if (out == QLatin1String("-"))
        std::fprintf(stderr, "%s\n", qPrintable(size));
    else
        print(size);
    return kSuccess;
}

bool wantsDepthView(const QStringList& args) {
    return hasOption(args, "depth-view");
}

bool wantsCompositeByDepth(const QStringList& args) {
    return hasOption(args, "by-depth");
}

int runDepthView(const QStringList& args) {
    QCommandLineParser parser;
    const QCommandLineOption viewOpt(QStringLiteral("depth-view"),
                                     QStringLiteral("Write the depth as a grey picture (near: white)."));
    const QCommandLineOption rangeOpt(
        QStringLiteral("z-range"),
        QStringLiteral("Only depths strictly between LOW and HIGH (default: all)."),
        QStringLiteral("LOW,HIGH"));
    const QCommandLineOption fillOpt(
        QStringLiteral("fill-holes"),
        QStringLiteral("Give coloured pixels without depth their nearest depth."));
    const QCommandLineOption layerOpt(QStringLiteral("layer"), QStringLiteral("Layer of a layered input."),
                                      QStringLiteral("PATH"));
    const QCommandLineOption formatOpt(
        QStringLiteral("format"), QStringLiteral("Format (extension) of \"-\", standard input or output."),
        QStringLiteral("EXT"));
    const QCommandLineOption codeOpt(QStringLiteral("code"),
                                     QStringLiteral("Option code of OUT (default: the picture's own shape)."),
                                     QStringLiteral("CODE"));
    parser.addOptions({viewOpt, rangeOpt, fillOpt, layerOpt, formatOpt, codeOpt});
    parser.addPositionalArgument(QStringLiteral("IN"),
                                 QStringLiteral("Image with depth (\"-\": standard input)."));
    parser.addPositionalArgument(QStringLiteral("OUT"), QStringLiteral("Grey picture to write."));
    const QString synopsis = QStringLiteral("--depth-view [--z-range LOW,HIGH] [--fill-holes] [--layer PATH] "
                                            "[--format EXT] [--code CODE] IN OUT");
    int rc = kSuccess;
    if (!parseArgs(parser, QStringLiteral("convert"), synopsis, args, &rc)) return rc;
    const QStringList pos = parser.positionalArguments();
    if (pos.size() != 2) {
        error(QStringLiteral("convert --depth-view needs IN and OUT"));
        return kUsage;
    }
    double low = -HUGE_VAL, high = HUGE_VAL;
    if (parser.isSet(rangeOpt) && !parseRange(parser.value(rangeOpt), &low, &high)) {
        error(QStringLiteral("--z-range needs LOW,HIGH with LOW < HIGH"));
        return kUsage;
    }
    const QString in = pos[0], out = pos[1], format = parser.value(formatOpt);
    WriteOptions options;
    if (out == QLatin1String("-")) options.format = format;
    options.code = parser.value(codeOpt);
    if ((rc = checkOutput(out, options)) != kSuccess) return rc;

    const UT_SharedPtr<CEL_Cel> cel =
        readCel(in, in == QLatin1String("-") ? format : QString(), parser.value(layerOpt));
    if (!cel) return kFailure;
    const UT_SharedPtr<CEL_PixmapAreaZ> z = depthOf(*cel, in, parser.isSet(fillOpt));
    if (!z) return kFailure;
    UT_SharedPtr<CEL_Representation> grey;
    try {
        grey = UT_SharedPtr<CEL_Representation>(ALGO_3D::depthBufferToGrayScale(z.get(), high, low));
    } catch (const CelAlgo::AlgoException& e) {
        error(QStringLiteral("%1: %2").arg(in, e.what()));
        return kFailure;
    }
    if (!grey) {
        error(QStringLiteral("%1 has no depth").arg(in));
        return kFailure;
    }
    UT_SharedPtr<CEL_Cel> view(new CEL_Cel(CEL_Representation::PIXMAP_AREA_RGBA16));
    view->addRepresentation(grey);
    return writeCel(view.get(), out, options);
}

int runCompositeByDepth(const QStringList& args) {
    QCommandLineParser parser;
    const QCommandLineOption byDepthOpt(
        QStringLiteral("by-depth"), QStringLiteral("Composite by depth: nearer layers cover farther ones."));
    const QCommandLineOption premultiplyOpt(
        QStringLiteral("premultiply"), QStringLiteral("Premultiply every input, whatever its format says."));
    const QCommandLineOption keepOpt(
        QStringLiteral("keep-values"),
        QStringLiteral("Composite the values as read (straight inputs are not premultiplied) and write the "
                       "library's values unchanged."));
    const QCommandLineOption maskOpt(
        QStringLiteral("mask"), QStringLiteral("Keep the result where FILE's alpha is (weighted by it)."),
        QStringLiteral("FILE"));
    const QCommandLineOption outsideOpt(QStringLiteral("mask-outside"),
                                        QStringLiteral("Keep it where the mask is not, instead."));
    const QCommandLineOption rawOpt(QStringLiteral("raw16"),
                                    QStringLiteral("Write the result as raw 16-bit RGBA instead of OUT."),
                                    QStringLiteral("FILE"));
    const QCommandLineOption codeOpt(
        QStringLiteral("code"),
        QStringLiteral("Option code of OUT (default: the code that keeps the inputs' channels and depth)."),
        QStringLiteral("CODE"));
    const QCommandLineOption outOpt(QStringList{QStringLiteral("o")}, QStringLiteral("Image to write."),
                                    QStringLiteral("OUT"));
    // Known only to be refused: they have no meaning by depth.
    QCommandLineOption opOpt(QStringLiteral("op"), QString(), QStringLiteral("OP"));
    QCommandLineOption alphaOpt(QStringLiteral("alpha-op"), QString(), QStringLiteral("OP"));
    QCommandLineOption opacityOpt(QStringLiteral("opacity"), QString(), QStringLiteral("F"));
    for (QCommandLineOption* o : {&opOpt, &alphaOpt, &opacityOpt})
        o->setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOptions({byDepthOpt, premultiplyOpt, keepOpt, maskOpt, outsideOpt, rawOpt, codeOpt, outOpt,
                       opOpt, alphaOpt, opacityOpt});
    parser.addPositionalArgument(
        QStringLiteral("LAYER..."),
        QStringLiteral(
            "PATH (its own depth), PATH@Z (flat at Z) or PATH@plane:Z0,DZDX,DZDY; larger Z is nearer."));
    const QString synopsis =
        QStringLiteral("--by-depth [--premultiply] [--keep-values] [--code CODE] [--mask FILE "
                       "[--mask-outside]] [--raw16 FILE] -o OUT LAYER...");
    int rc = kSuccess;
    if (!parseArgs(parser, QStringLiteral("composite"), synopsis, args, &rc)) return rc;
    if (parser.isSet(opOpt) || parser.isSet(alphaOpt) || parser.isSet(opacityOpt)) {
        error(QStringLiteral("--op, --alpha-op and --opacity do not apply with --by-depth"));
        return kUsage;
    }
    const QStringList inputs = parser.positionalArguments();
    const QString out = parser.value(outOpt), raw = parser.value(rawOpt);
    if (inputs.isEmpty() || (out.isEmpty() && raw.isEmpty())) {
        error(QStringLiteral("composite --by-depth needs -o OUT (or --raw16 FILE) and at least one LAYER"));
        return kUsage;
    }
    if (parser.isSet(outsideOpt) && !parser.isSet(maskOpt)) {
        error(QStringLiteral("--mask-outside needs --mask"));
        return kUsage;
    }
    std::vector<LayerSpec> layers(std::size_t(inputs.size()));
    for (qsizetype i = 0; i < inputs.size(); ++i)
        if (!parseLayer(inputs[i], &layers[std::size_t(i)])) {
            error(QStringLiteral("%1: a layer is PATH, PATH@Z or PATH@plane:Z0,DZDX,DZDY").arg(inputs[i]));
            return kUsage;
        }
    WriteOptions options;
    options.code = parser.value(codeOpt);
    options.keepValues = parser.isSet(keepOpt);
    if (raw.isEmpty() && (rc = checkOutput(out, options)) != kSuccess) return rc;

    // As for `composite`: straight inputs are premultiplied; --keep-values takes
    // the values as read, --premultiply premultiplies all.
    const bool premultiplyAll = parser.isSet(premultiplyOpt);
    const bool keepValues = options.keepValues || premultiplyAll;
    const auto colourOf = [&](CEL_Cel* cel, const QString& path) {
        auto area = workingArea(cel, path, keepValues);
        if (area && premultiplyAll) area->multiplyColorByAlpha();
        return area;
    };
    CelOrigin result;
    UT_SharedPtr<CEL_PixmapArea3D> dst;
    try {
        for (const LayerSpec& layer : layers) {
            const UT_SharedPtr<CEL_Cel> cel = readCel(layer.path);
            if (!cel) return kFailure;
            const CelOrigin origin = originOf(cel.get());
            result.shape = dst ? combinedShape(result.shape, origin.shape) : origin.shape;
            if (!dst) result.format = origin.format;
            const auto own3D =
                UT_dynamicCast<CEL_PixmapArea3D>(cel->findRepresentation(CEL_Representation::PIXMAP_AREA_3D));
            std::unique_ptr<CEL_PixmapAreaRGBA16> colour;
            if (!own3D || layer.kind != LayerSpec::OwnDepth) {
                colour = colourOf(cel.get(), layer.path);
                if (!colour) return kFailure;
            }
            if (!dst) {
                // The first layer's canvas is the result's.
                const CEL_PixmapArea& first = colour ? static_cast<const CEL_PixmapArea&>(*colour) : *own3D;
                dst = UT_SharedPtr<CEL_PixmapArea3D>(new CEL_PixmapArea3D(first.size(), first.canvasRect()));
            }
            ALGO_Composite3D compositor(dst.get());
            if (layer.kind != LayerSpec::OwnDepth) {
                compositor.composite2d(colour.get(), layer.depth);
            } else if (own3D) {
                compositor.composite3d(own3D.get());
            } else {
                // Made with the colour above, on its rectangle.
                const auto z = UT_dynamicCast<CEL_PixmapAreaZ>(
                    cel->findRepresentation(CEL_Representation::PIXMAP_AREA_ZBUF));
                if (!z) {
                    error(QStringLiteral("%1 has no depth; give %1@Z").arg(layer.path));
                    return kFailure;
                }
                compositor.composite3d(colour.get(), z.get());
            }
        }
        if (parser.isSet(maskOpt)) {
            const QString maskPath = parser.value(maskOpt);
            const UT_SharedPtr<CEL_Cel> cel = readCel(maskPath);
            if (!cel) return kFailure;
            const std::unique_ptr<CEL_PixmapAreaRGBA16> mask = colourOf(cel.get(), maskPath);
            if (!mask) return kFailure;
            ALGO_3D::applyMask(dst.get(), mask.get(), !parser.isSet(outsideOpt));
        }
    } catch (const CelAlgo::AlgoException& e) {
        error(e.what());
        return kFailure;
    }

    if (!raw.isEmpty()) {
        const std::unique_ptr<CEL_Representation> canvas(dst->convertTo(CEL_Representation::PIXMAP_RGBA16));
        if (!canvas && dst->width() > 0 && dst->height() > 0) {
            error(QStringLiteral("%1: the result has no pixels").arg(raw));
            return kFailure;
        }
        return writeBytes(raw, rawPixels(canvas.get(), 16)) ? kSuccess : kFailure;
    }
    // A cel holding the depth pixmap: formats with depth keep the heads' depth.
    UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(CEL_Representation::PIXMAP_AREA_3D));
    cel->addRepresentation(UT_SharedPtr<CEL_Representation>(dst.get()));
    result.alpha = CELIO_Alpha::Premultiplied;
    setOrigin(cel.get(), result);
    return writeCel(cel.get(), out, options);
}

} // namespace celtool
