#pragma once
// Labels on the demo's pictures: a 5 x 7 bitmap font (upper case, digits and
// a little punctuation), drawn in white. The tool runs headless in batch,
// where no font or GUI platform can be assumed.

#include <string>

class CEL_PixmapAreaRGBA16;

namespace celtool {

// Horizontal and vertical steps of the font, in pixels.
constexpr int kGlyphAdvance = 6, kLineHeight = 9;

// Draws one line of text with its top-left corner at (x, y); unknown
// characters are blank and pixels outside the pixmap's allocation are skipped.
void drawText(CEL_PixmapAreaRGBA16& p, int x, int y, const std::string& text);

} // namespace celtool
