#pragma once
// Pieces of the demo shared between its sources.

#include <QString>
#include <string>

class CEL_PixmapAreaRGBA16;

namespace celtool {

// White 5 x 7 pixel letters (upper and lower case alike), digits and a little
// punctuation at (x0, y0), 6 pixels apart; other characters are blanks.
void drawText(CEL_PixmapAreaRGBA16& p, int x0, int y0, const std::string& text);

// Writes layers.psd in outDir (the demo frames in two groups, a multiply
// layer at 60 %, a hidden one; blend keys and opacity kept) and draws each of
// its layers, read back by its path, as a labelled tile beside the stored
// composite and the flatten: layers-sheet.png. Needs the frames demoFrames
// wrote. kSuccess when both were written.
int demoLayers(const QString& outDir);

// The first composited frame as OMF media, RGB and JPEG, in outDir/media:
// frame.omf, frame-jpeg.omf and omf-sheet.png (source, read-backs, JPEG
// error x 8, file sizes). kSuccess when the RGB media came back exactly.
int demoOmf(const QString& outDir);

} // namespace celtool
