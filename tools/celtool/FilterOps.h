#pragma once
// The operation table of `celtool filter`.
//
// `celtool filter [options] OPERATION... IN OUT` reads IN, applies its
// operations from left to right and writes OUT. Every operation is one row
// of FilterOp; rows are grouped by family, one source file per family
// (FilterTransformOps.cpp: resize, scale, flips, rotation, matrices, tiling),
// and the families are collected by one explicit list in FilterOps.cpp.
//
// Adding an operation (one row, two or three functions next to it):
//
//   FilterOp{"--name", "ARGS", "demo-arg", "One line of help.", FilterInput::Area,
//            parseName, applyName, sizeName}
//
//   name     the option word, with its leading "--". Words are read in order;
//            the same operation may appear several times.
//   syntax   how its argument reads in the help ("WxH", "F[,FY]"); empty for
//            an operation without argument (then the parser takes no word).
//   demoArg  the argument `celtool demo` uses for this row's tile in
//            filters.png (on a 160 x 120 picture with transparent corners);
//            the demo draws one labelled tile per row, so a new row needs no
//            demo code.
//   input    the representation apply() is handed: FilterInput::Area
//            (CEL_PixmapAreaRGBA16, the working format of filters) or
//            FilterInput::Canvas (CEL_PixmapRGBA16, for flips and matrices).
//            The framework converts between them as each row needs. Colour
//            is premultiplied (straight input is premultiplied when read)
//            unless the user asked for --keep-values.
//   parse    bool (const QString& arg, FilterParams& params, QString& error):
//            runs for every operation BEFORE any file is read. It checks the
//            argument completely (syntax, ranges, finite numbers: "0.5x",
//            "nan" and values <= 0 where they make no sense are errors) and
//            stores whatever apply() needs in params (any copyable value,
//            read back with std::any_cast). On false, error holds one line;
//            the tool prints it with the synopsis and exits 2.
//   apply    bool (FilterPixmap& pixmap, const FilterParams& params, QString& error):
//            transforms pixmap in place or replaces it (by either kind). On
//            false (or a CelAlgo::AlgoException) the tool prints the message
//            and exits 1; OUT is written only after every operation succeeded.
//            A FilterUsageError thrown here (an argument that only the picture
//            shows to be wrong) prints its message with the synopsis, exit 2.
//   size     optional, FilterSize (const FilterParams& params, FilterSize in):
//            the picture size the operation produces from an input size, for
//            operations that change it. The tool follows the sizes through
//            the whole list before decoding IN and refuses (exit 2) one above
//            the pixmap byte cap. Null: the size does not change.
//
// Then add the row to its family's table; for a new family, declare its
// function below and add it to the list in filterOps() (FilterOps.cpp).
// Argument helpers for parse functions are below (parseNumber, parseSize ...);
// they give messages in the table's style.

#include <QString>
#include <QStringList>
#include <any>
#include <memory>
#include <vector>

class CEL_Pixmap;
class CEL_PixmapAreaRGBA16;

namespace celtool {

enum class FilterInput { Area, Canvas };

using FilterParams = std::any;
using FilterPixmap = std::unique_ptr<CEL_Pixmap>;

// A picture size in 64 bits, so that products and factors cannot wrap.
struct FilterSize {
    long long width = 0;
    long long height = 0;
};

struct FilterOp {
    const char* name;
    const char* syntax;
    const char* demoArg;
    const char* help;
    FilterInput input;
    bool (*parse)(const QString& arg, FilterParams& params, QString& error);
    bool (*apply)(FilterPixmap& pixmap, const FilterParams& params, QString& error);
    FilterSize (*size)(const FilterParams& params, FilterSize in) = nullptr;
    // Optional: a row written "--name:MODIFIERS ARG" reads its modifiers
    // (the text after the first ':', null when there is none) with its
    // argument; without it such a word is a usage error.
    bool (*parseModifiers)(const QString& modifiers, const QString& arg, FilterParams& params,
                           QString& error) = nullptr;
};

// Every row of every family, in the order the help lists them.
const std::vector<FilterOp>& filterOps();
// The row named `name` ("--resize"), or null.
const FilterOp* findFilterOp(const QString& name);

// Thrown by apply for an argument the picture refutes (exit 2).
struct FilterUsageError {
    QString message;
};

// The families.
std::vector<FilterOp> transformFilterOps();
std::vector<FilterOp> blurFilterOps();
std::vector<FilterOp> panFilterOps();     // FilterPanOps.cpp
std::vector<FilterOp> matteFilterOps();   // FilterMatteColourOps.cpp
std::vector<FilterOp> colourFilterOps();  // FilterMatteColourOps.cpp
std::vector<FilterOp> stylizeFilterOps(); // FilterStylizeOps.cpp
std::vector<FilterOp> textFilterOps();    // FilterTextOps.cpp
// The seed of --grain (filter --seed; default 0).
void setFilterSeed(long seed);

// IN as given on the command line, for rows that print its name (--text).
void setFilterInputName(const QString& name);
QString filterInputName();
// The demo's burn-ins, overlay.png (DemoOverlay.cpp).
int demoOverlay(const QString& outDir);

// --- Helpers for parse functions. Each returns false with a one-line error
// naming `what` (the operation, as "--scale") when the text does not fit. ---

// A finite number; the whole text must be the number.
bool parseNumber(const QString& text, const char* what, double& value, QString& error);
// A finite number > 0.
bool parsePositive(const QString& text, const char* what, double& value, QString& error);
// An integer in [lo, hi].
bool parseInteger(const QString& text, const char* what, long long lo, long long hi, long long& value,
                  QString& error);
// "WxH" with both sides in [1, 2^31 - 1].
bool parseSize(const QString& text, const char* what, FilterSize& size, QString& error);
// Finite numbers separated by commas; their count must be one of `counts`.
bool parseNumberList(const QString& text, const char* what, const std::vector<int>& counts,
                     std::vector<double>& values, QString& error);

// The pixmap converted to the representation a row asks for (the same object
// when it is already in it); null when it cannot be converted.
bool convertFilterPixmap(FilterPixmap& pixmap, FilterInput input);

// The size of a picture, as the framework follows it.
FilterSize filterSizeOf(const CEL_Pixmap& pixmap);

// The alpha source of a mask, height or strength map: the picture itself
// ("self"), or a file of the same canvas size (its header is checked before its
// pixels are decoded). Null with a message otherwise.
std::unique_ptr<CEL_PixmapAreaRGBA16> sameSizeMap(const QString& path, const CEL_PixmapAreaRGBA16& picture,
                                                  QString& error);

// Writes filters.png into outDir: the demo picture, then one labelled tile per
// table row with the row's demo argument applied. kSuccess or kFailure.
int demoFilters(const QString& outDir);

} // namespace celtool
