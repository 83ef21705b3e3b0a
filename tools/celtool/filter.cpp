// celtool filter: reads one image, applies the operations of the command line
// from left to right (see FilterOps.h for the table), writes the result.
#include <cstdio>
#include <memory>
#include <new>

#include <tbb/global_control.h>

#include "CelFiles.h"
#include "Command.h"
#include "FilterOps.h"
#include "algo/composite/AlgoException.h"
#include "base/QXMaths.h"
#include "cel/Cel.h"
#include "pixel/PixmapArea.h"
#include "pixel/PixmapCanvas.h"

namespace celtool {

namespace {

const char* const kSynopsis =
    "[--threads N] [--seed S] [--code CODE] [--format EXT] [--layer PATH] [--frame N] [--keep-values] "
    "[--raw16 FILE] OPERATION... IN OUT";

struct Step {
    const FilterOp* op;
    QString arg;
    FilterParams params;
};

struct FilterCommand {
    long long threads = 0; // 0: oneTBB's default
    long long seed = 0;    // of the random draws (dither) and of grain
    long long frame = 1;   // of a movie
    QString code, format, layer, raw16;
    bool keepValues = false;
    std::vector<Step> steps;
    QStringList files;
};

int usage(const QString& message) {
    error(message);
    std::fprintf(stderr, "usage: celtool filter %s\n", kSynopsis);
    return kUsage;
}

void printHelp() {
    std::printf(
        "usage: celtool filter %s\n\n"
        "Reads IN, applies the operations from left to right and writes OUT like convert\n"
        "(\"-\": standard input or output). OUT is written only when every operation succeeded.\n\n"
        "Options:\n"
        "  --threads N     worker threads (results are the same at any count)\n"
        "  --seed S        seed of the noise of --dither and of --grain (default 0)\n"
        "  --code CODE     option code of the output (default: the format's own)\n"
        "  --format EXT    format (extension) of \"-\" and of an IN or OUT without extension\n"
        "  --layer PATH    layer of a layered input\n"
        "  --frame N       frame of a movie, from 1 (default 1)\n"
        "  --keep-values   work on the values as read and write them unchanged (no alpha conversion)\n"
        "  --raw16 FILE    write the result as raw 16-bit RGBA (as dump --depth 16) instead of OUT\n"
        "  -h, --help      this help\n\n"
        "Operations (each may repeat; the order matters):\n",
        kSynopsis);
    for (const FilterOp& op : filterOps()) {
        const QString word =
            QStringLiteral("%1 %2").arg(QLatin1String(op.name), QLatin1String(op.syntax)).trimmed();
        std::printf("  %-22s %s\n", qPrintable(word), op.help);
    }
}

// The words in order. Returns kSuccess to go on, else the exit code (help: kSuccess through *done).
int parseWords(const QStringList& args, FilterCommand& cmd, bool& done) {
    done = false;
    bool optionsEnded = false;
    for (qsizetype i = 0; i < args.size(); ++i) {
        QString word = args[i];
        if (optionsEnded || word == QLatin1String("-") || !word.startsWith(QLatin1Char('-'))) {
            cmd.files << word;
            continue;
        }
        if (word == QLatin1String("--")) {
            optionsEnded = true;
            continue;
        }
        if (word == QLatin1String("-h") || word == QLatin1String("--help")) {
            printHelp();
            done = true;
            return kSuccess;
        }
        // --name:MODIFIERS, for the rows that take them.
        QString modifiers;
        if (const qsizetype colon = word.indexOf(QLatin1Char(':')), eq = word.indexOf(QLatin1Char('='));
            colon > 0 && (eq < 0 || colon < eq)) {
            modifiers = word.mid(colon + 1);
            if (!findFilterOp(word.left(colon)))
                return usage(QStringLiteral("unknown operation '%1' (see celtool filter --help)").arg(word));
            word = word.left(colon);
        }
        // --name=value is the same as --name value.
        QString inlineValue;
        bool hasInline = false;
        if (const qsizetype eq = word.indexOf(QLatin1Char('=')); eq > 0) {
            inlineValue = word.mid(eq + 1);
            word = word.left(eq);
            hasInline = true;
        }
        const auto value = [&](QString& out) {
            if (hasInline) {
                out = inlineValue;
                return true;
            }
            if (i + 1 >= args.size()) return false;
            out = args[++i];
            return true;
        };
        QString v;
        if (word == QLatin1String("--keep-values") && !hasInline) {
            cmd.keepValues = true;
        } else if (word == QLatin1String("--threads")) {
            if (!value(v)) return usage(QStringLiteral("--threads needs a number"));
            QString message;
            if (!parseInteger(v, "--threads", 1, 1024, cmd.threads, message)) return usage(message);
        } else if (word == QLatin1String("--seed")) {
            if (!value(v)) return usage(QStringLiteral("--seed needs a number"));
            QString message;
            if (!parseInteger(v, "--seed", INT32_MIN, INT32_MAX, cmd.seed, message)) return usage(message);
        } else if (word == QLatin1String("--frame")) {
            if (!value(v)) return usage(QStringLiteral("--frame needs a number"));
            QString message;
            if (!parseInteger(v, "--frame", 1, INT32_MAX, cmd.frame, message)) return usage(message);
        } else if (word == QLatin1String("--code") || word == QLatin1String("--format") ||
                   word == QLatin1String("--layer") || word == QLatin1String("--raw16")) {
            if (!value(v)) return usage(QStringLiteral("%1 needs a value").arg(word));
            (word == QLatin1String("--code")     ? cmd.code
             : word == QLatin1String("--format") ? cmd.format
             : word == QLatin1String("--layer")  ? cmd.layer
                                                 : cmd.raw16) = v;
        } else if (const FilterOp* op = findFilterOp(word)) {
            Step step{op, QString(), {}};
            if (*op->syntax && !value(step.arg))
                return usage(QStringLiteral("%1 needs an argument %2").arg(word, QLatin1String(op->syntax)));
            if (!*op->syntax && hasInline) return usage(QStringLiteral("%1 takes no argument").arg(word));
            if (!modifiers.isNull() && !op->parseModifiers)
                return usage(QStringLiteral("%1 takes no modifiers").arg(word));
            QString message;
            const bool parsed = op->parseModifiers
                                    ? op->parseModifiers(modifiers, step.arg, step.params, message)
                                    : op->parse(step.arg, step.params, message);
            if (!parsed) return usage(message);
            cmd.steps.push_back(std::move(step));
        } else {
            return usage(QStringLiteral("unknown operation '%1' (see celtool filter --help)").arg(word));
        }
    }
    return kSuccess;
}

// Follows the picture size through the operations; a usage error when one
// of them would need a pixmap above the byte cap.
int checkSizes(const FilterCommand& cmd, FilterSize size) {
    const unsigned long long cap = CEL_Pixmap::maxPixmapBytes();
    for (const Step& step : cmd.steps) {
        if (step.op->size) size = step.op->size(step.params, size);
        unsigned long long bytes = 0;
        const bool overflow =
            size.width < 0 || size.height < 0 ||
            __builtin_mul_overflow((unsigned long long)size.width, (unsigned long long)size.height, &bytes) ||
            __builtin_mul_overflow(bytes, 8ull, &bytes);
        if (overflow || bytes > cap || size.width > INT32_MAX || size.height > INT32_MAX)
            return usage(
                QStringLiteral("%1 %2 would make a %3x%4 picture, more than the %5-byte pixmap limit")
                    .arg(QLatin1String(step.op->name), step.arg)
                    .arg(size.width)
                    .arg(size.height)
                    .arg(cap));
    }
    return kSuccess;
}

// The result as `dump --depth 16` writes it (the values unchanged).
bool writeRaw16(const CEL_Pixmap& pixmap, const QString& path) {
    FilterPixmap canvas(dynamic_cast<CEL_Pixmap*>(pixmap.clone()));
    if (!convertFilterPixmap(canvas, FilterInput::Canvas)) {
        error(QStringLiteral("%1: no memory for the result").arg(path));
        return false;
    }
    return writeBytes(path, rawPixels(canvas.get(), 16));
}

} // namespace

int runFilter(const QStringList& args) {
    FilterCommand cmd;
    bool done = false;
    if (const int rc = parseWords(args, cmd, done); rc != kSuccess || done) return rc;
    if (cmd.steps.empty()) return usage(QStringLiteral("filter needs at least one operation"));
    if (cmd.files.size() != 2 && !(cmd.files.size() == 1 && !cmd.raw16.isEmpty()))
        return usage(QStringLiteral("filter needs IN and OUT (or IN and --raw16 FILE)"));
    const QString in = cmd.files[0], out = cmd.files.size() > 1 ? cmd.files[1] : QString();
    setFilterInputName(in);
    const auto formatOf = [&cmd](const QString& path) {
        return path == QLatin1String("-") || extensionOf(path).isEmpty() ? cmd.format : QString();
    };
    WriteOptions options;
    options.format = formatOf(out);
    options.code = cmd.code;
    options.keepValues = cmd.keepValues;
    if (cmd.raw16.isEmpty())
        if (const int rc = checkOutput(out, options); rc != kSuccess) {
            std::fprintf(stderr, "usage: celtool filter %s\n", kSynopsis);
            return rc;
        }

    // The sizes from the header alone, before any pixel is decoded.
    bool sizesChecked = false;
    if (in != QLatin1String("-")) {
        const HeaderInfo header = readHeader(in, formatOf(in));
        if (header.state == CELIO_STATE_OK && header.info.width > 0 && header.info.height > 0) {
            if (const int rc = checkSizes(cmd, {header.info.width, header.info.height}); rc != kSuccess)
                return rc;
            sizesChecked = true;
        }
    }

    std::unique_ptr<tbb::global_control> threads;
    if (cmd.threads > 0)
        threads = std::make_unique<tbb::global_control>(tbb::global_control::max_allowed_parallelism,
                                                        std::size_t(cmd.threads));

    // Premultiplied colour to work on (straight input is premultiplied first),
    // or the values as read with --keep-values.
    FilterPixmap pixmap;
    CelOrigin origin;
    {
        const UT_SharedPtr<CEL_Cel> cel =
            readCel(in, formatOf(in), cmd.layer, nullptr, nullptr, int(cmd.frame));
        if (!cel) return kFailure;
        origin = originOf(cel.get());
        pixmap.reset(workingArea(cel.get(), in, cmd.keepValues).release());
        if (!pixmap) return kFailure;
    }
    if (!sizesChecked)
        if (const int rc = checkSizes(cmd, filterSizeOf(*pixmap)); rc != kSuccess) return rc;

    // The random sequence starts from the seed, before the first operation.
    QXMaths::srand48(long(cmd.seed));
    setFilterSeed(long(cmd.seed));
    for (const Step& step : cmd.steps) {
        const QString what = QStringLiteral("%1 %2").arg(QLatin1String(step.op->name), step.arg).trimmed();
        QString message;
        bool ok = false;
        try {
            if (!convertFilterPixmap(pixmap, step.op->input))
                message = QStringLiteral("the picture does not convert to the form it needs");
            else
                ok = step.op->apply(pixmap, step.params, message);
        } catch (const CelAlgo::AlgoException& e) {
            message = e.what();
        } catch (const FilterUsageError& e) {
            return usage(QStringLiteral("%1: %2").arg(in, e.message));
        } catch (const std::bad_alloc&) {
            message = QStringLiteral("out of memory");
        }
        if (!ok || !pixmap) {
            error(QStringLiteral("%1: %2: %3")
                      .arg(in, what, message.isEmpty() ? QStringLiteral("failed") : message));
            return kFailure;
        }
    }

    if (!cmd.raw16.isEmpty()) return writeRaw16(*pixmap, cmd.raw16) ? kSuccess : kFailure;
    if (!cmd.keepValues) origin.alpha = CELIO_Alpha::Premultiplied;
    UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(pixmap->getFormat()));
    cel->addRepresentation(UT_SharedPtr<CEL_Representation>(pixmap.release()));
    setOrigin(cel.get(), origin);
    return writeCel(cel.get(), out, options);
}

} // namespace celtool
