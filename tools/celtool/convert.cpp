#include <QFileInfo>
#include <QThread>

#include "BatchConvert.h"
#include "CelFiles.h"
#include "Command.h"
#include "Console.h"
#include "cel/Cel.h"

namespace celtool {

int runConvert(const QStringList& args) {
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
                       "input's content, and the input's format for the output); with --list, the "
                       "extension of the outputs."),
        QStringLiteral("EXT"));
    const QCommandLineOption keepOpt = keepValuesOption();
    const QCommandLineOption infoOpt(
        QStringLiteral("info-string"),
        QStringLiteral("Information string of SCAN or VAR output (default: the input's, else \"Stage\")."),
        QStringLiteral("TEXT"));
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
    parser.addOptions({codeOpt, layerOpt, formatOpt, keepOpt, infoOpt, threadsOpt, framesOpt, shardOpt,
                       skipOpt, quietOpt, jsonOpt, listOpt});
    parser.addPositionalArgument(
        QStringLiteral("IN"),
        QStringLiteral("Image to read (\"-\": standard input), or frames: a name whose last #### or %04d "
                       "stands for the frame number."));
    parser.addPositionalArgument(QStringLiteral("OUT"),
                                 QStringLiteral("Image to write (\"-\": standard output), or the frames' "
                                                "names, with a frame field as IN has (--list: OUTDIR)."));
    const QString synopsis =
        QStringLiteral("[--code CODE] [--layer PATH] [--format EXT] [--keep-values] [--info-string TEXT] "
                       "[--threads N] [--frames A-B] [--shard I/N] [--skip-existing] [--quiet] [--json] "
                       "IN OUT | --format EXT --list FILE OUTDIR");
    int rc = kSuccess;
    if (!parseArgs(parser, QStringLiteral("convert"), synopsis, args, &rc)) return rc;
    const QStringList pos = parser.positionalArguments();
    const bool listForm = parser.isSet(listOpt);
    if (listForm ? pos.size() != 1 : pos.size() != 2) {
        error(listForm ? QStringLiteral("convert --list needs OUTDIR")
                       : QStringLiteral("convert needs IN and OUT"));
        return kUsage;
    }
    const QString format = parser.value(formatOpt);
    const FramePattern inPattern(listForm ? QString() : pos[0]);
    const FramePattern outPattern(listForm ? QString() : pos[1]);
    if (!listForm && inPattern.hasField() != outPattern.hasField()) {
        error(inPattern.hasField()
                  ? QStringLiteral("IN names frames (%1) but OUT has no frame field").arg(pos[0])
                  : QStringLiteral("OUT names frames (%1) but IN has no frame field").arg(pos[1]));
        return kUsage;
    }
    const bool batch = listForm || inPattern.hasField();

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
        return runBatchConvert(batchOptions);
    }

    const QString in = pos[0], out = pos[1];
    if (parser.isSet(quietOpt)) setWarningMode(WarningMode::None);
    if (parser.isSet(skipOpt) && out != QLatin1String("-") && QFileInfo::exists(out)) return kSuccess;
    watchSignals(); // a signal removes the temporary output before the process dies of it
    const auto formatOf = [&format](const QString& path) {
        return path == QLatin1String("-") || extensionOf(path).isEmpty() ? format : QString();
    };
    QString inString;
    const UT_SharedPtr<CEL_Cel> cel = readCel(in, formatOf(in), parser.value(layerOpt), &inString);
    if (!cel) return kFailure;
    options.infoString = outputInfoString(infoGiven, parser.value(infoOpt), inString);
    return writeCel(cel.get(), out, options);
}

} // namespace celtool
