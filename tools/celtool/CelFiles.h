#pragma once
// Reading and writing image files and raw pixels, shared by the subcommands.

#include <QByteArray>
#include <QString>

#include "base/SharedPtr.h"

class CEL_Cel;
class CEL_Representation;

namespace celtool {

// Reads `path` ("-": standard input, in the format `format`) through the I/O
// manager into a new cel, with `layer` as the context's layer path. Reports
// the failure and returns null.
UT_SharedPtr<CEL_Cel> readCel(const QString& path, const QString& format, const QString& layer);

// Writes the cel through the I/O manager in `format` (an extension) with
// `code`; reports a failure. kSuccess or kFailure.
int writeCel(CEL_Cel* cel, const QString& path, const QString& format, const QString& code);

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

// Moves the demo's frames into a render cache too small for all of them and
// writes proxy-sheet.png from what comes back. kSuccess when all came back.
int demoProxy(const QString& outDir);

// The enumeration name of a composite operation, or "" for a reserved value.
const char* compositeOpName(int op);

// The extension after the last '.' of the file name, or an empty string.
QString extensionOf(const QString& path);

} // namespace celtool
