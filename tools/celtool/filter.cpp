// celtool filter: reads one image, applies the operations of the command line
// from left to right (see FilterOps.h for the table), writes the result.
#include <QDateTime>
#include <cstdio>
#include <memory>
#include <new>

#include <tbb/global_control.h>

#include "CelFiles.h"
#include "Command.h"
#include "FilterOps.h"
#include "algo/composite/AlgoException.h"
#include "cel/Cel.h"
#include "cel/Context.h"
#include "celio/Manager.h"
#include "pixel/PixmapArea.h"
#include "pixel/PixmapCanvas.h"

namespace celtool {

namespace {

const char* const kSynopsis =
    "[--threads N] [--code CODE] [--format EXT] [--layer PATH] [--raw16 FILE] OPERATION... IN OUT";

struct Step {
    const FilterOp* op;
    QString arg;
    FilterParams params;
};

struct FilterCommand {
    long long threads = 0; // 0: oneTBB's default
    QString code, format, layer, raw16;
    std::vector<Step> steps;
    QStringList files;
};

int usage(const QString& message) {
    error(message);
    std::fprintf(stderr, "usage: celtool filter %s\n", kSynopsis);
    return kUsage;
}

void printHelp() {
    std::printf("usage: celtool filter %s\n\n"
                "Reads IN, applies the operations from left to right and writes OUT like convert\n"
                "(\"-\": standard input or output). OUT is written only when every operation succeeded.\n\n"
                "Options:\n"
                "  --threads N     worker threads (results are the same at any count)\n"
                "  --code CODE     option code of the output (default: the format's own)\n"
                "  --format EXT    format (extension) of \"-\"\n"
                "  --layer PATH    layer of a layered input\n"
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
        if (word == QLatin1String("--threads")) {
            if (!value(v)) return usage(QStringLiteral("--threads needs a number"));
            QString message;
            if (!parseInteger(v, "--threads", 1, 1024, cmd.threads, message)) return usage(message);
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
            QString message;
            if (!op->parse(step.arg, step.params, message)) return usage(message);
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

// The first representation the operations need, as a private copy; null
// after reporting when the image has none.
FilterPixmap workingPixmap(CEL_Cel& cel, FilterInput input, const QString& path) {
    const CEL_Representation::CelFormat format = input == FilterInput::Area
                                                     ? CEL_Representation::PIXMAP_AREA_RGBA16
                                                     : CEL_Representation::PIXMAP_RGBA16;
    const UT_SharedPtr<CEL_Representation> rep = cel.convertTo(format);
    FilterPixmap pixmap(rep ? dynamic_cast<CEL_Pixmap*>(rep->clone()) : nullptr);
    if (!pixmap) error(QStringLiteral("%1 does not convert to a 16-bit pixmap").arg(path));
    return pixmap;
}

bool writeRaw16(const CEL_Pixmap& pixmap, const QString& path) {
    FilterPixmap canvas(dynamic_cast<CEL_Pixmap*>(pixmap.clone()));
    if (!convertFilterPixmap(canvas, FilterInput::Canvas)) return false;
    if (!canvas ||
        (!static_cast<CEL_PixmapRGBA16*>(canvas.get())->data() && canvas->width() * canvas->height() > 0))
        return false;
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
    if (in == QLatin1String("-") && cmd.format.isEmpty())
        return usage(QStringLiteral("reading standard input needs --format"));

    qxCelAddPixmapHandler();
    const CELIO_Manager* manager = CELIO_Manager::getInstance();
    QString outFormat;
    if (cmd.raw16.isEmpty()) {
        outFormat = out == QLatin1String("-") ? cmd.format : extensionOf(out);
        if (outFormat.isEmpty() && !cmd.code.isEmpty()) outFormat = manager->getExtension(cmd.code);
        const CELIO_Handler* handler = outFormat.isEmpty() ? nullptr : manager->findHandler(outFormat);
        if (!handler || handler->getWriteExtensions().isEmpty())
            return usage(QStringLiteral("no format writes '%1'").arg(out));
        const QStringList codes = handler->getWriteOptionCodes();
        if (!cmd.code.isEmpty() && !codes.isEmpty() && !codes.contains(cmd.code, Qt::CaseInsensitive))
            return usage(QStringLiteral("format %1 has no code %2 (codes: %3)")
                             .arg(outFormat.toUpper(), cmd.code, codes.join(QStringLiteral(", "))));
    }

    // The sizes from the header alone, before any pixel is decoded.
    bool sizesChecked = false;
    if (in != QLatin1String("-")) {
        CELIO_Info info;
        QDateTime modified;
        if (manager->loadInfo(in, modified, CEL_Context(), info) == 0 && info.width > 0 && info.height > 0) {
            if (const int rc = checkSizes(cmd, {info.width, info.height}); rc != kSuccess) return rc;
            sizesChecked = true;
        }
    }

    std::unique_ptr<tbb::global_control> threads;
    if (cmd.threads > 0)
        threads = std::make_unique<tbb::global_control>(tbb::global_control::max_allowed_parallelism,
                                                        std::size_t(cmd.threads));

    FilterPixmap pixmap;
    {
        const UT_SharedPtr<CEL_Cel> cel = readCel(in, cmd.format, cmd.layer);
        if (!cel) return kFailure;
        pixmap = workingPixmap(*cel, cmd.steps.front().op->input, in);
        if (!pixmap) return kFailure;
    }
    if (!sizesChecked)
        if (const int rc = checkSizes(cmd, filterSizeOf(*pixmap)); rc != kSuccess) return rc;

    for (const Step& step : cmd.steps) {
        const QString what = QStringLiteral("%1 %2").arg(QLatin1String(step.op->name), step.arg).trimmed();
        if (!convertFilterPixmap(pixmap, step.op->input)) {
            error(QStringLiteral("%1: the picture does not convert to the form it needs").arg(what));
            return kFailure;
        }
        QString message;
        bool ok = false;
        try {
            ok = step.op->apply(pixmap, step.params, message);
        } catch (const CelAlgo::AlgoException& e) {
            message = e.what();
        } catch (const std::bad_alloc&) {
            message = QStringLiteral("out of memory");
        }
        if (!ok || !pixmap) {
            error(QStringLiteral("%1: %2").arg(what, message.isEmpty() ? QStringLiteral("failed") : message));
            return kFailure;
        }
    }

    if (!cmd.raw16.isEmpty()) {
        if (writeRaw16(*pixmap, cmd.raw16)) return kSuccess;
        error(QStringLiteral("cannot write %1").arg(cmd.raw16));
        return kFailure;
    }
    const CEL_Representation::CelFormat format = pixmap->getFormat();
    UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(format));
    cel->addRepresentation(UT_SharedPtr<CEL_Representation>(pixmap.release()));
    return writeCel(cel.get(), out, outFormat, cmd.code);
}

} // namespace celtool
