// celtool contact-sheet: labelled thumbnails of many images on one sheet.
#include <QFileInfo>
#include <QRegularExpression>
#include <optional>
#include <vector>

#include "CelFiles.h"
#include "Command.h"
#include "FilterOps.h"
#include "MovieFiles.h"
#include "Thumbnails.h"
#include "cel/Cel.h"
#include "cel/MovieFrame.h"
#include "pixel/Representation.h"

namespace celtool {

namespace {

// One cell: a file, and the frame of a movie (0 for a picture).
struct Cell {
    QString file;
    int frame = 0;
};

struct FrameStep {
    long long first = 1, last = 0, step = 1;
};

// "A-B" or "A-B:STEP", 1 <= A <= B, STEP >= 1.
std::optional<FrameStep> parseFrameStep(const QString& text) {
    static const QRegularExpression re(QStringLiteral("^(\\d{1,9})-(\\d{1,9})(?::(\\d{1,9}))?$"));
    const QRegularExpressionMatch m = re.match(text);
    if (!m.hasMatch()) return std::nullopt;
    FrameStep f{m.captured(1).toLongLong(), m.captured(2).toLongLong(),
                m.captured(3).isEmpty() ? 1 : m.captured(3).toLongLong()};
    if (f.first < 1 || f.first > f.last || f.step < 1) return std::nullopt;
    return f;
}

// A movie's frames on the sheet: those asked for, else all of a short movie
// and 48 evenly spaced ones (first and last included) of a longer one.
constexpr int kDefaultMovieCells = 48;

bool movieCells(const QString& file, const std::optional<FrameStep>& asked, std::vector<Cell>& cells) {
    if (!MOV_AbstractMovieDecoder::canCreateDecoderForExtension(extensionOf(file))) return false;
    MovieFacts facts;
    if (!movieFacts(file, facts) || facts.frames < 1) return false;
    if (asked) {
        for (long long f = asked->first; f <= asked->last && f <= facts.frames; f += asked->step)
            cells.push_back({file, int(f)});
    } else if (facts.frames <= kDefaultMovieCells) {
        for (int f = 1; f <= facts.frames; ++f) cells.push_back({file, f});
    } else {
        for (int i = 0; i < kDefaultMovieCells; ++i)
            cells.push_back({file, 1 + int((static_cast<long long>(i) * (facts.frames - 1) +
                                            (kDefaultMovieCells - 1) / 2) /
                                           (kDefaultMovieCells - 1))});
    }
    return true;
}

} // namespace

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
    const QCommandLineOption framesOpt(
        QStringLiteral("frames"),
        QStringLiteral("Frames of each movie, A to B every STEP (default: all, or 48 evenly spaced)."),
        QStringLiteral("A-B[:STEP]"));
    parser.addOptions({sizeOpt, columnsOpt, outOpt, framesOpt});
    parser.addPositionalArgument(QStringLiteral("FILE..."), QStringLiteral("Images, in sheet order."));
    const QString synopsis =
        QStringLiteral("[--size WxH] [--columns N] [--frames A-B[:STEP]] -o OUT FILE...");
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
    std::optional<FrameStep> frames;
    if (parser.isSet(framesOpt) && !(frames = parseFrameStep(parser.value(framesOpt))))
        return usage(QStringLiteral("--frames takes A-B or A-B:STEP with 1 <= A <= B, not '%1'")
                         .arg(parser.value(framesOpt)));
    // A cell per picture, and per frame shown of each movie.
    std::vector<Cell> cells;
    for (const QString& file : files)
        if (!movieCells(file, frames, cells)) cells.push_back({file, 0});
    long long w = 0, h = 0;
    contactSheetSize(static_cast<long long>(cells.size()), int(box.width), int(box.height), int(columns), w,
                     h);
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
    ContactSheet sheet(static_cast<long long>(cells.size()), int(box.width), int(box.height), int(columns));
    if (!sheet.valid()) return kFailure;
    int failed = 0;
    for (size_t i = 0; i < cells.size(); ++i) {
        const Cell& c = cells[i];
        const QString name = QFileInfo(c.file).fileName();
        sheet.setLabel(static_cast<long long>(i),
                       c.frame ? QStringLiteral("%1 #%2").arg(name).arg(c.frame) : name);
        // One picture in memory at a time: the cel goes when this cell is done.
        const UT_SharedPtr<CEL_Cel> cel =
            readCel(c.file, QString(), QString(), nullptr, nullptr, c.frame ? c.frame : 1);
        if (!cel || !sheet.place(static_cast<long long>(i), *cel, c.file)) ++failed;
    }
    if (sheet.write(out, format) != kSuccess) return kFailure;
    return failed ? kFailure : kSuccess;
}

} // namespace celtool
