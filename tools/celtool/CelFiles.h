#pragma once
// Reading an image file into a cel, shared by the subcommands that convert.

#include <QString>

#include "base/SharedPtr.h"

class CEL_Cel;

namespace celtool {

// Reads `path` ("-": standard input, in the format `format`) through the I/O
// manager into a new cel, with `layer` as the context's layer path. Reports
// the failure and returns null.
UT_SharedPtr<CEL_Cel> readCel(const QString& path, const QString& format, const QString& layer);

// Writes the demo's image sequence into outDir as TGA files and reads each
// back, printing what it did; kSuccess when every frame came back identical.
int demoFrames(const QString& outDir);

// Composites the demo's layers: the frame sequence over a backdrop, and a
// chart with one labelled tile per blend mode. kSuccess when all was written.
int demoComposite(const QString& outDir);

// The enumeration name of a composite operation, or "" for a reserved value.
const char* compositeOpName(int op);

// The extension after the last '.' of the file name, or an empty string.
QString extensionOf(const QString& path);

} // namespace celtool
