#pragma once
// A 5 x 7 bitmap font for the labels the tool draws into pictures (contact
// sheets, the demo's charts): upper and lower case, digits and . _ - : , + / =.
// The tool runs headless in batch, where no font or GUI platform can be assumed.

#include <QString>
#include <cstdint>

#include "pixel/Pixel.h"

class CEL_PixmapRGBA8;

namespace celtool {

constexpr int kLabelAdvance = 6; // pixels per character, spacing included
constexpr int kLabelHeight = 7;

// The seven rows of the glyph of c, top first, bit 4 the leftmost column; a
// blank for characters the font lacks.
const uint8_t* labelGlyph(char c);

// Draws text with its top-left corner at (x, y), at most maxWidth pixels wide:
// a text that does not fit is cut and ends in "..". Pixels outside the
// pixmap are skipped. Returns the width drawn.
int drawLabel(CEL_PixmapRGBA8& pixmap, int x, int y, const QString& text, int maxWidth,
              const CEL_PixelRGBA8& colour);

} // namespace celtool
