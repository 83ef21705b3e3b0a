#pragma once
// Vector drawings on the tool's read and write paths (CelFiles.cpp calls
// these), the render subcommand's helpers and the demo's drawing.
//
// Reading a QVX file gives a cel holding the drawing, with the palette of its
// folder (palette.qvp beside it) and the origin of an 8-bit RGBA picture with
// premultiplied colour: written to a raster format it is rendered at its
// resolution (720 x 540 unless made otherwise).
// Writing: to QVX the cel's drawing is stored; to QVXO the cel's optimised
// drawing, or one built from its drawing. A cel without what the format holds
// (a raster picture) is one error line and no file.

#include <QString>

#include "base/SharedPtr.h"

class CEL_Cel;
class CELIO_Handler;
struct CELIO_Shape;

namespace celtool {

struct CelOrigin;

// Whether the handler writes vector drawings.
bool writesVectors(const CELIO_Handler& handler);
// For a cel just read from `path`: gives a drawing its folder's palette and
// the origin of an 8-bit RGBA picture. Other cels are left alone.
void adoptVectorInput(CEL_Cel* cel, const QString& path, CelOrigin& origin);
// The cel a vector handler writes: the cel itself, or a new one holding the
// optimised drawing built from its drawing. Null after one error line naming
// `shown` when the cel holds nothing the handler writes.
UT_SharedPtr<CEL_Cel> vectorOutput(CEL_Cel* cel, const CELIO_Handler& handler, const QString& shown);
// Why a cel has no pixels to write (an optimised drawing alone), or an empty string.
QString rasterRefusal(CEL_Cel* cel);

// Writes drawing.qvx (with palette.qvp) and vector.png into outDir.
int demoVector(const QString& outDir);

} // namespace celtool
