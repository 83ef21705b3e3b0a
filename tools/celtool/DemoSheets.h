#pragma once
// Pieces of the demo shared between its sources.

#include <QString>
#include <string>

class CEL_PixmapAreaRGBA16;

namespace celtool {

// White 5 x 7 pixel letters (upper and lower case alike), digits and a little
// punctuation at (x0, y0), 6 pixels apart; other characters are blanks.
void drawText(CEL_PixmapAreaRGBA16& p, int x0, int y0, const std::string& text);

// The layers of a sample PSD document (groups, blend modes, a hidden layer, a
// layer at half opacity), one labelled tile each, with the flatten beside
// the stored composite: layers-sheet.png in outDir. kSuccess when written.
int demoLayers(const QString& outDir);

} // namespace celtool
