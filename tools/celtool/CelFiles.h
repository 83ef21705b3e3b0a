#pragma once
// Reading and writing image files and raw pixels, shared by the subcommands.

#include <QByteArray>
#include <QString>

#include "base/SharedPtr.h"

class CEL_Cel;
class CEL_PixmapAreaRGBA16;
class CEL_Representation;
class CELIO_Handler;

namespace celtool {

// Reads `path` ("-": standard input, in the format `format`) through the I/O
// manager into a new cel, with `layer` as the context's layer path. Reports
// the failure and returns null. When infoString is given, it receives the
// information string of a SCAN or VAR file (its trailing zero included), and a
// null string for other formats.
UT_SharedPtr<CEL_Cel> readCel(const QString& path, const QString& format, const QString& layer,
                              QString* infoString = nullptr);

// Writes the cel through the I/O manager in `format` (an extension) with
// `code`; infoString goes into SCAN and VAR files. Reports a failure, which
// includes a write the library reported as failed (a message with code 20)
// even though the handler returned true. kSuccess or kFailure.
int writeCel(CEL_Cel* cel, const QString& path, const QString& format, const QString& code,
             const QString& infoString = QString());

// Codes a handler's writer takes beyond those it lists (SCAN: "SCAN24", "SCAN32").
QStringList unlistedWriteCodes(const CELIO_Handler* handler);
// Whether files of the handler carry an information string (SCAN, VAR).
bool carriesInfoString(const CELIO_Handler* handler);

// Raw pixels, top row first: r, g, b, a bytes of a PIXMAP_RGBA8 (depth 8) or
// four signed 16-bit little-endian values per pixel of a PIXMAP_RGBA16
// (depth 16). Empty for another representation or one without pixels.
QByteArray rawPixels(const CEL_Representation* rep, int depth);

// Writes bytes to a file; false on any failure.
bool writeBytes(const QString& path, const QByteArray& bytes);

// Writes the demo's image sequence into outDir as TGA files and reads each
// back, printing what it did; kSuccess when every frame came back identical.
int demoFrames(const QString& outDir);

// Composites the demo's layers: the frame sequence over a backdrop, and a
// chart with one labelled tile per blend mode. kSuccess when all was written.
int demoComposite(const QString& outDir);

// Writes the demo frame in the legacy planar formats (OPT, SCAN, VAR), reads
// each file back and lays them out as labelled tiles in legacy-formats.png.
int demoLegacy(const QString& outDir);

// Draws text in the demo's 5 x 7 label font (letters, digits, '_'; anything
// else blank), white, at most maxChars characters.
void drawLabel(CEL_PixmapAreaRGBA16& p, int x0, int y0, const char* text, int maxChars);

// The enumeration name of a composite operation, or "" for a reserved value.
const char* compositeOpName(int op);

// The extension after the last '.' of the file name, or an empty string.
QString extensionOf(const QString& path);

} // namespace celtool
