#pragma once
// The tool's one read path and one write path. Every subcommand that reads or
// writes a picture goes through readCel and writeCel (raw bytes through
// writeBytes), and so inherits what they do:
//
// Reading
//  - "-" is standard input, first copied to a temporary file, so every format
//    reads from it; --format names its format, else its content does.
//  - A file whose extension has no handler, or whose first bytes are another
//    family's signature, is read by the family its content shows, with one
//    note line ("x.tga: not a TGA file, read as PNG").
//  - Failures are one line naming the file and the cause ("x.tga: no such
//    file", "x.tga: is a directory", "x.tga: empty file"); the library's own
//    messages become that cause instead of extra lines.
//  - The cel records its origin (CelOrigin): the shape of the file and how the
//    values' colour relates to alpha, from the library's format tables.
//
// Writing
//  - Without a code, the code that keeps the cel's shape (channels, 16-bit
//    depth) in the output format; what the format cannot hold is named in one
//    warning line, when the picture actually had it ("out.jpg: alpha dropped:
//    JPEG has no alpha").
//  - Colour is converted in 16-bit precision between the convention the
//    values hold and the one the writer expects (straight / premultiplied),
//    and 16-bit values are rounded, not cut, to 8 bits. WriteOptions::keepValues
//    hands the writer the library's values unchanged instead.
//  - A regular file (or a new path) is written beside its target and renamed
//    over it on success, so a failed write leaves an earlier file intact;
//    devices, pipes and "-" (standard output) receive the bytes of a
//    temporary file, written in place. A write that fails, or produces no
//    bytes, is one error line and kFailure.
//
// A subcommand that makes a new cel from what it read (a filter, a composite)
// gives it an origin with setOrigin (usually the input's, with premultiplied
// colour after working on premultiplied pixels, see workingArea); a cel
// without one is written by what its pixels need.

#include <QByteArray>
#include <QCommandLineOption>
#include <QString>
#include <functional>
#include <memory>

#include "base/SharedPtr.h"
#include "celio/Handler.h"
#include "celio/handlers/FormatTable.h"

class CEL_Cel;
class CEL_Representation;
class CEL_PixmapAreaRGBA16;
class CEL_Context;
class CELIO_LayerInfo;

namespace celtool {

// Where a cel's pixels came from.
struct CelOrigin {
    CELIO_Shape shape{4, false};                    // the file's channels (1, 3 or 4) and depth
    CELIO_Alpha alpha = CELIO_Alpha::Premultiplied; // how the values' colour relates to alpha
    QString format;                                 // main extension of the family that read it
};

// Reads `path` ("-": standard input) into a new cel, with `layer` as the
// context's layer path; `format` (an extension) names the format instead of
// the file's extension or content. Reports the failure and returns null.
// infoString, when given, receives a SCAN or VAR file's information string
// (its ending zero included), or a null string for other formats.
// `loaded`: what the background loader's manager read gave for `path` (with
// readContext(layer)), on this thread and just before; it stands for the read
// when the manager is the path's reader, else the file is read as usual.
// `frame` (1-based) picks the frame of a movie; any other file has frame 1 only.
UT_SharedPtr<CEL_Cel> readCel(const QString& path, const QString& format = QString(),
                              const QString& layer = QString(), QString* infoString = nullptr,
                              const CELIO_RepresentationList* loaded = nullptr, int frame = 1);
// The context readCel reads with.
CEL_Context readContext(const QString& layer);

// The header of a file without decoding its pixels, its reader found as
// readCel finds it. On failure `error` says why in a few words.
struct HeaderInfo {
    CELIO_State state = CELIO_STATE_FAILED;
    QString error;  // "no such file", "not a TGA file (looks like GIF)"
    QString format; // main extension of the family that answered
    QString note;   // "x.tga: not a TGA file, read as PNG"
    CELIO_Info info;
};
HeaderInfo readHeader(const QString& path, const QString& format = QString());

// The origin readCel recorded; for another cel, premultiplied colour and the
// shape its pixels need (alpha when a pixel is not opaque, 16-bit when a value
// is not an 8-bit one).
CelOrigin originOf(CEL_Cel* cel);
void setOrigin(CEL_Cel* cel, const CelOrigin& origin);
// The shape that holds both: the most channels (grey and colour make colour),
// 16-bit when either is.
CELIO_Shape combinedShape(const CELIO_Shape& a, const CELIO_Shape& b);

// A working copy of the cel's pixels as a 16-bit area pixmap with
// premultiplied colour (straight colour is premultiplied, in 16-bit
// precision), or as the values are with keepValues. Reports and returns null
// when the cel has no such pixels; `path` names it in the message.
std::unique_ptr<CEL_PixmapAreaRGBA16> workingArea(CEL_Cel* cel, const QString& path, bool keepValues);
// A new cel holding `pixels` with the given origin.
UT_SharedPtr<CEL_Cel> celOf(std::unique_ptr<CEL_PixmapAreaRGBA16> pixels, const CelOrigin& origin);

struct WriteOptions {
    QString format;          // family (extension) of the output; default: the output's extension,
                             // else the code's family, else the family the cel was read from
    QString code;            // option code; default: the one that keeps the cel's shape
    bool keepValues = false; // the library's values unchanged: no alpha conversion, no rounding
    QString infoString;      // SCAN and VAR output: the information string (empty: "Stage")
};

// Checks, before anything is read, that the output's format (when it can be
// told yet) writes and knows the code. kSuccess, or kUsage after a message.
int checkOutput(const QString& path, const WriteOptions& options);
// Writes the cel as described above. kSuccess or kFailure (after one line); a
// write the library reported as failed (a message with code 20) fails even
// where the writer returned true.
int writeCel(CEL_Cel* cel, const QString& path, const WriteOptions& options);
int writeCel(CEL_Cel* cel, const QString& path, const QString& format, const QString& code);
// Writes two cels as the two fields of one picture (CELIO_Manager::writeCombined:
// the second cel's rows are the odd ones, or the even ones, row 0 first, with
// secondFieldFirst), by writeCel's rules: each converted as the writer expects,
// the code that keeps both shapes. Fields of different sizes, or a picture too
// large for a video frame, are one error line and kFailure before anything is written.
int writeCombined(CEL_Cel* first, CEL_Cel* second, const QString& path, const WriteOptions& options,
                  bool secondFieldFirst);

// Layered output (PSD): a layer tree written as one file by the same rules as
// writeCel (atomic, one line per failure, code-20 reports fail). Layers that
// the writer leaves out, and blend keys it cannot store, are warning lines.
struct LayeredWriteOptions {
    QString code;                // default: the code that keeps `shape`
    CELIO_Shape shape{4, false}; // the document's shape
    bool keepValues = false;     // see WriteOptions
    bool keepProperties = false; // blend keys, opacity, rectangles, record order
    bool peerCompatible = false; // the layout other programs read
    bool largeDocument = false;  // PSB; implied by an OUT named *.psb
};
// kSuccess, or kUsage after a message when OUT is not a PSD or PSB name (or
// "-") or the code is not a PSD code.
int checkLayeredOutput(const QString& path, const LayeredWriteOptions& options);
// The image the layered writer is given for a picture held by `cel` (its
// origin says how its colour relates to alpha): straight colour, values
// rounded to 8 bits when `code` writes 8 bits, an area pixmap kept as one so
// that its rectangle stays; as it is with keepValues. Null without pixels.
UT_SharedPtr<CEL_Representation> layerImage(CEL_Cel* cel, const QString& code, bool keepValues);
// Writes the tree, whose representations come from layerImage, as OUT.
int writeLayers(CELIO_LayerInfo& info, const QString& path, const LayeredWriteOptions& options);
// The code writeLayers uses.
QString layeredCode(const LayeredWriteOptions& options);

// Codes a handler's writer takes beyond those it lists (SCAN: "SCAN24", "SCAN32").
QStringList unlistedWriteCodes(const CELIO_Handler& handler);
// Why the family's files keep no alpha, for the "alpha dropped" warning:
// "JPEG has no alpha", or the tool's own words for a family ("OMF media is RGB").
QString noAlphaReason(const CELIO_Handler& handler);
// Whether the handler's files carry an information string (SCAN, VAR).
bool carriesInfoString(const CELIO_Handler& handler);
// Whether the output's format carries one; true while the format cannot be told yet.
bool outputCarriesInfoString(const QString& path, const WriteOptions& options);
// Whether a picture written to `path` may go to the PNG writer as it was read
// (8-bit PNG with alpha, values not kept): the case worth compressing ahead.
bool mayWriteStraightPng(const QString& path, const WriteOptions& options);

// Writes bytes by the same rules ("-": standard output); false after one line.
bool writeBytes(const QString& path, const QByteArray& bytes);

// Raw pixels, top row first: r, g, b, a bytes of a PIXMAP_RGBA8 (depth 8) or
// four signed 16-bit little-endian values per pixel of a PIXMAP_RGBA16
// (depth 16). Empty for another representation or one without pixels. An
// 8-bit result shares the pixmap's bytes: use it while `rep` lives.
QByteArray rawPixels(const CEL_Representation* rep, int depth);

// --keep-values, for every subcommand that writes pictures.
QCommandLineOption keepValuesOption();

// Keeps Qt's log lines, the TIFF and IFF readers' diagnostics and the
// library's messages off standard error (each thread's kept apart); readCel
// and writeCel turn them into their one-line causes. Called once by main.
void quietLibraryOutput();
// From now on the calling thread's library messages outside readCel and
// writeCel are collected and dropped instead of printed (a worker thread whose
// reads readCel reports); a second call drops what was collected.
void collectThreadMessages();

// Temporary output files: each is listed while it exists. removeTemporaries
// deletes the listed ones (and the partial files the library's writers put
// beside them). watchSignals (call before starting threads) takes SIGINT,
// SIGTERM and SIGHUP on a thread of its own: the first calls onFirstSignal when
// given; otherwise, and on the next, the temporaries are removed and the
// process dies of the signal.
void removeTemporaries();
void watchSignals(std::function<void()> onFirstSignal = {});

// Writes the demo's image sequence into outDir as TGA files and reads each
// back, printing what it did; kSuccess when every frame came back identical.
int demoFrames(const QString& outDir);

// Composites the demo's layers: the frame sequence over a backdrop, and a
// chart with one labelled tile per blend mode. kSuccess when all was written.
int demoComposite(const QString& outDir);

// Writes the demo frame in the legacy planar formats (OPT, SCAN, VAR), reads
// each file back and lays them out as labelled tiles in legacy-formats.png.
int demoLegacy(const QString& outDir);
// Draws a line of text in the demo's 5 x 7 label font, white.
void drawLabel(CEL_PixmapAreaRGBA16& p, int x0, int y0, const QString& text);

// Writes the demo's depth frame as an IFF file with colour and depth, reads it
// back and writes its depth as a grey picture. kSuccess when it came back.
int demoIffDepth(const QString& outDir);

// Writes colour bars with the demo's first frame as PAL and YUV frames and two
// frames of the sequence as the two fields of one PAL frame (in outDir/video),
// reads them back and lays them out in video-sheet.png. kSuccess when all came back.
int demoVideo(const QString& outDir);

// Moves the demo's frames into a render cache too small for all of them and
// writes proxy-sheet.png from what comes back. kSuccess when all came back.
int demoProxy(const QString& outDir);

// Writes a 24-frame sequence, reads it through the background loader (whose
// functors lay each frame into contact-sheet.png as a labelled tile) and
// converts it to PNG in two shards. kSuccess when every frame arrived.
int demoLoader(const QString& outDir);

// Encodes 24 numbered frames as movie/frames.mov (PNG) and movie/frames.mp4
// (H.264), reads their frames shuffled and lays them out in order on
// movie-sheet.png. kSuccess when every frame came back.
int demoMovie(const QString& outDir);

// The extension after the last '.' of the file name, or an empty string.
QString extensionOf(const QString& path);

} // namespace celtool
