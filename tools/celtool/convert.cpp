#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <optional>

#include "BatchConvert.h"
#include "CelFiles.h"
#include "Command.h"
#include "Console.h"
#include "Depth.h"
#include "MovieFiles.h"
#include "cel/Cel.h"
#include "cel/MovieFrame.h"
#include "celio/LayerInfo.h"
#include "celio/handlers/PngHandler.h"
#include "celio/handlers/PsdHandler.h"

namespace celtool {

namespace {

bool isLayeredFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) && f.read(4) == "8BPS";
}

// convert --all-layers: the composite and every layer of a PSD or PSB file
// written again as one layered file.
int convertAllLayers(const QString& in, const QString& out, LayeredWriteOptions options) {
    if (in == QLatin1String("-")) {
        error(QStringLiteral("--all-layers reads a file, not standard input"));
        return kUsage;
    }
    int rc = checkLayeredOutput(out, options);
    if (rc != kSuccess) return rc;
    if (!isLayeredFile(in)) {
        error(QStringLiteral("%1: not a PSD or PSB file").arg(in));
        return kFailure;
    }
    const UT_SharedPtr<CEL_Cel> composite = readCel(in);
    if (!composite) return kFailure;
    const CelOrigin origin = originOf(composite.get());
    options.shape = origin.shape;
    const QString code = layeredCode(options);

    const CELIO_PsdHandler psd;
    CELIO_LayerInfo info;
    if (psd.readLayerInfo(in, info) != CELIO_STATE_OK ||
        psd.readLayerImages(in, info, !options.keepProperties) != CELIO_STATE_OK) {
        error(QStringLiteral("%1: the layers cannot be read (damaged or cut short)").arg(in));
        return kFailure;
    }
    // The layers hold the file's straight values, as the composite does.
    CelOrigin layerOrigin = origin;
    layerOrigin.alpha = CELIO_Alpha::Straight;
    for (CELIO_LayerInfo::Iterator it(info); !it.end(); ++it) {
        if (!it->representation) continue;
        UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(it->representation->getFormat()));
        cel->addRepresentation(it->representation);
        setOrigin(cel.get(), layerOrigin);
        it->representation = layerImage(cel.get(), code, options.keepValues);
    }
    info.getComposite().representation = layerImage(composite.get(), code, options.keepValues);
    options.code = code;
    return writeLayers(info, out, options);
}

} // namespace

int runConvert(const QStringList& args) {
    if (wantsDepthView(args)) return runDepthView(args);
    QCommandLineParser parser;
    const QCommandLineOption codeOpt(
        QStringLiteral("code"),
        QStringLiteral(
            "Option code of the output (default: the code that keeps the input's channels and depth)."),
        QStringLiteral("CODE"));
    const QCommandLineOption layerOpt(QStringLiteral("layer"), QStringLiteral("Layer of a layered input."),
                                      QStringLiteral("PATH"));
    const QCommandLineOption formatOpt(
        QStringLiteral("format"),
        QStringLiteral("Format (extension) of \"-\" and of an IN or OUT without extension (default: standard "
                       "input's content, and the input's format for the output)."),
        QStringLiteral("EXT"));
    const QCommandLineOption keepOpt = keepValuesOption();
    const QCommandLineOption infoOpt(
        QStringLiteral("info-string"),
        QStringLiteral("Information string of SCAN or VAR output (default: the input's, else \"Stage\")."),
        QStringLiteral("TEXT"));
    const QCommandLineOption allOpt(
        QStringLiteral("all-layers"),
        QStringLiteral("Write every layer of a PSD or PSB input, with its composite, as a layered PSD."));
    const QCommandLineOption propsOpt(
        QStringLiteral("keep-properties"),
        QStringLiteral("With --all-layers: keep blend keys, opacity, layer rectangles and record order."));
    const QCommandLineOption peerOpt(
        QStringLiteral("peer-compatible"),
        QStringLiteral("With --all-layers: the layout other programs read (ImageMagick, web readers)."));
    const QCommandLineOption psbOpt(
        QStringLiteral("psb"), QStringLiteral("With --all-layers: write PSB (implied by OUT named *.psb)."));
    const QCommandLineOption threadsOpt(
        QStringLiteral("threads"), QStringLiteral("Frames converted at once (default: the number of cores)."),
        QStringLiteral("N"));
    const QCommandLineOption framesOpt(
        QStringLiteral("frames"),
        QStringLiteral("The frames A to B, inclusive (default: the files that match IN; with --list, all)."),
        QStringLiteral("A-B"));
    const QCommandLineOption shardOpt(
        QStringLiteral("shard"),
        QStringLiteral("Convert only shard I of N (0 <= I < N) of the frames: the contiguous run from "
                       "floor(I*M/N) to floor((I+1)*M/N) of the M frames, in order."),
        QStringLiteral("I/N"));
    const QCommandLineOption skipOpt(QStringLiteral("skip-existing"),
                                     QStringLiteral("Leave outputs that exist as they are (resumes a run)."));
    const QCommandLineOption quietOpt(QStringLiteral("quiet"),
                                      QStringLiteral("Errors only: no progress, warnings or summary."));
    const QCommandLineOption jsonOpt(
        QStringLiteral("json"),
        QStringLiteral("Print a summary of a batch as JSON (frames, converted, skipped, failed, seconds)."));
    const QCommandLineOption listOpt(
        QStringLiteral("list"),
        QStringLiteral("Convert the files listed in FILE, one a line (\"-\": standard input), to "
                       "OUTDIR/BASENAME.EXT (EXT: --format)."),
        QStringLiteral("FILE"));
    const QCommandLineOption frameOpt = frameOption();
    parser.addOptions({codeOpt, layerOpt, formatOpt, keepOpt, infoOpt, allOpt, propsOpt, peerOpt, psbOpt,
                       threadsOpt, framesOpt, shardOpt, skipOpt, quietOpt, jsonOpt, listOpt, frameOpt});
    parser.addPositionalArgument(
        QStringLiteral("IN"),
        QStringLiteral("Image to read (\"-\": standard input), or frames: a name whose last #### or %04d "
                       "stands for the frame number."));
    parser.addPositionalArgument(QStringLiteral("OUT"),
                                 QStringLiteral("Image to write (\"-\": standard output), or the frames' "
                                                "names, with a frame field as IN has (--list: OUTDIR)."));
    const QString synopsis = QStringLiteral(
        "[--code CODE] [--layer PATH] [--format EXT] [--keep-values] [--info-string TEXT] [--frame N] IN "
        "OUT\n"
        "       celtool convert [same options] [--threads N] [--frames A-B] [--shard I/N] [--skip-existing] "
        "[--quiet] [--json] IN_PATTERN OUT_PATTERN\n"
        "       celtool convert [same options] --format EXT --list FILE OUTDIR\n"
        "       celtool convert --all-layers [--code CODE] [--keep-properties] [--peer-compatible] [--psb] "
        "[--keep-values] IN OUT\n"
        "       (or --depth-view: see convert --depth-view --help)");
    int rc = kSuccess;
    if (!parseArgs(parser, QStringLiteral("convert"), synopsis, args, &rc)) return rc;
    const QStringList pos = parser.positionalArguments();
    const bool listForm = parser.isSet(listOpt);
    if (listForm ? pos.size() != 1 : pos.size() != 2) {
        error(listForm ? QStringLiteral("convert --list needs OUTDIR")
                       : QStringLiteral("convert needs IN and OUT"));
        return kUsage;
    }
    if (parser.isSet(allOpt)) {
        const QString in = pos[0], out = pos.value(1);
        if (listForm || FramePattern(in).hasField() || parser.isSet(threadsOpt) || parser.isSet(framesOpt) ||
            parser.isSet(shardOpt) || parser.isSet(jsonOpt)) {
            error(QStringLiteral("--all-layers converts one file, not a frame sequence"));
            return kUsage;
        }
        if (parser.isSet(layerOpt) || parser.isSet(formatOpt) || parser.isSet(infoOpt)) {
            error(QStringLiteral("--all-layers takes no --layer, --format or --info-string"));
            return kUsage;
        }
        LayeredWriteOptions layered;
        layered.code = parser.value(codeOpt);
        layered.keepValues = parser.isSet(keepOpt);
        layered.keepProperties = parser.isSet(propsOpt);
        layered.peerCompatible = parser.isSet(peerOpt);
        layered.largeDocument = parser.isSet(psbOpt);
        return convertAllLayers(in, out, layered);
    }
    if (parser.isSet(propsOpt) || parser.isSet(peerOpt) || parser.isSet(psbOpt)) {
        error(QStringLiteral("--keep-properties, --peer-compatible and --psb go with --all-layers"));
        return kUsage;
    }
    const QString format = parser.value(formatOpt);
    const FramePattern inPattern(listForm ? QString() : pos[0]);
    const FramePattern outPattern(listForm ? QString() : pos[1]);
    // A movie to numbered pictures.
    const bool movieIn = !listForm && !inPattern.hasField() && outPattern.hasField() &&
                         pos[0] != QLatin1String("-") &&
                         MOV_AbstractMovieDecoder::canCreateDecoderForExtension(extensionOf(pos[0]));
    if (!listForm && !movieIn && inPattern.hasField() != outPattern.hasField()) {
        error(inPattern.hasField()
                  ? QStringLiteral("IN names frames (%1) but OUT has no frame field").arg(pos[0])
                  : QStringLiteral("OUT names frames (%1) but IN has no frame field").arg(pos[1]));
        return kUsage;
    }
    const bool batch = listForm || inPattern.hasField() || movieIn;
    if (batch && parser.isSet(frameOpt)) {
        error(QStringLiteral("--frame reads one picture; frames of a movie to a sequence take --frames A-B"));
        return kUsage;
    }

    BatchOptions batchOptions;
    if (parser.isSet(threadsOpt)) {
        bool ok = false;
        batchOptions.threads = parser.value(threadsOpt).toInt(&ok);
        if (!ok || batchOptions.threads < 1 || batchOptions.threads > 1024) {
            error(QStringLiteral("--threads takes a number from 1 to 1024, not '%1'")
                      .arg(parser.value(threadsOpt)));
            return kUsage;
        }
    } else {
        batchOptions.threads = std::max(1, QThread::idealThreadCount());
    }
    if (parser.isSet(framesOpt) && !(batchOptions.frames = parseFrameRange(parser.value(framesOpt)))) {
        error(QStringLiteral("--frames takes A-B with 0 <= A <= B, not '%1'").arg(parser.value(framesOpt)));
        return kUsage;
    }
    if (parser.isSet(shardOpt) && !(batchOptions.shard = parseShard(parser.value(shardOpt)))) {
        error(QStringLiteral("--shard takes I/N with 0 <= I < N, not '%1'").arg(parser.value(shardOpt)));
        return kUsage;
    }
    if (!batch) {
        for (const QCommandLineOption* o : {&threadsOpt, &framesOpt, &shardOpt, &jsonOpt})
            if (parser.isSet(*o)) {
                error(
                    QStringLiteral("--%1 applies to frame sequences (a frame field in IN and OUT, or --list)")
                        .arg(o->names().front()));
                return kUsage;
            }
    }

    WriteOptions options;
    options.code = parser.value(codeOpt);
    options.keepValues = parser.isSet(keepOpt);
    const bool infoGiven = parser.isSet(infoOpt);
    QString firstOut; // an output name, for the checks of its format
    if (listForm) {
        if (format.isEmpty()) {
            error(QStringLiteral("convert --list needs --format EXT, the extension of the outputs"));
            return kUsage;
        }
        if (pos[0] == QLatin1String("-") || parser.value(listOpt).isEmpty()) {
            error(QStringLiteral("convert --list writes files into a folder, not to \"-\""));
            return kUsage;
        }
        options.format = format;
        firstOut = pos[0] + QStringLiteral("/frame.") + format;
    } else {
        const auto formatOf = [&format](const QString& path) {
            return path == QLatin1String("-") || extensionOf(path).isEmpty() ? format : QString();
        };
        options.format = formatOf(batch ? outPattern.name(0) : pos[1]);
        firstOut = batch ? outPattern.name(0) : pos[1];
    }
    if ((rc = checkOutput(firstOut, options)) != kSuccess) return rc;
    if (infoGiven && !outputCarriesInfoString(firstOut, options)) {
        error(QStringLiteral("--info-string applies to SCAN and VAR output only"));
        return kUsage;
    }

    if (batch) {
        batchOptions.inPattern = listForm ? QString() : pos[0];
        batchOptions.outPattern = listForm ? QString() : pos[1];
        batchOptions.list = parser.value(listOpt);
        batchOptions.outDir = listForm ? pos[0] : QString();
        batchOptions.extension = format;
        batchOptions.skipExisting = parser.isSet(skipOpt);
        batchOptions.quiet = parser.isSet(quietOpt);
        batchOptions.json = parser.isSet(jsonOpt);
        batchOptions.layer = parser.value(layerOpt);
        batchOptions.write = options;
        batchOptions.infoStringGiven = infoGiven;
        batchOptions.givenInfoString = parser.value(infoOpt);
        return movieIn ? runMovieConvert(batchOptions) : runBatchConvert(batchOptions);
    }

    const QString in = pos[0], out = pos[1];
    if (parser.isSet(quietOpt)) setWarningMode(WarningMode::None);
    if (parser.isSet(skipOpt) && out != QLatin1String("-") && QFileInfo::exists(out)) return kSuccess;
    watchSignals(); // a signal removes the temporary output before the process dies of it
    const auto formatOf = [&format](const QString& path) {
        return path == QLatin1String("-") || extensionOf(path).isEmpty() ? format : QString();
    };
    int frame = 1;
    if (!frameOf(parser, frameOpt, frame)) return kUsage;
    QString inString;
    UT_SharedPtr<CEL_Cel> cel;
    // A large PNG going to PNG starts being compressed while it is decoded
    // (declared after the cel, so that it ends first).
    std::optional<QXCelUioPngHandler::WriteAhead> ahead;
    if (mayWriteStraightPng(out, options)) ahead.emplace();
    cel = readCel(in, formatOf(in), parser.value(layerOpt), &inString, nullptr, frame);
    if (!cel) return kFailure;
    options.infoString = outputInfoString(infoGiven, parser.value(infoOpt), inString);
    return writeCel(cel.get(), out, options);
}

} // namespace celtool
