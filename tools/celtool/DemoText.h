#pragma once
// Labels on the demo's pictures: a 5 x 7 bitmap font (letters, digits and
// _ - . :), drawn in white. The tool runs headless in batch, where no font or
// GUI platform can be assumed.

class CEL_PixmapAreaRGBA16;

namespace celtool {

// Draws at most maxChars characters of text with its top-left corner at
// (x, y), one 6-pixel cell each; unknown characters are blank and pixels
// outside the pixmap's allocation are skipped.
void drawLabel(CEL_PixmapAreaRGBA16& p, int x, int y, const char* text, int maxChars);

} // namespace celtool
