#pragma once
// Text overlays: a line of text (a caption, a time code) placed in the text
// window of a frame-sized vector drawing, with an optional background box.
//
// The window is centred on the drawing's origin: half height scale * 1875 *
// 0.8 world units (80 % of the 3750-unit domain at scale 1), half width that
// times the aspect. Sizes are font ems in world units (base/VectorText.h).
//
// Automatic size: the sample text measured at size 100 gives w100, and
//   size = trunc(reference * 3 * 0.25 * scale * percent / 100 * (100 / w100))
// evaluated left to right in double precision, so the sample spans three
// quarters of the reference width (5000 unless set) times scale and percent
// / 100. An empty sample (w100 = 0) gives 100; the size is clamped to
// 1 ... 0xFFFFFFFE so that it never reads as "not computed" (a result that
// is not a number gives 1). A requested size is taken as it is. The width and
// height stored are the sample's box at the size in effect.
//
// Failures of the text access (no font, outlines beyond the drawing's
// limits) and a null pointer throw CelAlgo::AlgoException.

#include <cstdint>

#include "base/UTString.h"
#include "celcore_export.h"

class GR_DrawingAccess;
class GR_TextAccess;

namespace CelAlgo {

struct TextProperties {
    static constexpr uint32_t kAutomatic = 0xFFFFFFFFu;   // requestedSize
    static constexpr uint32_t kNotComputed = 0xFFFFFFFFu; // size

    uint32_t textStyle = 0;              // the text layer's style (base/VectorText.h)
    uint32_t requestedSize = kAutomatic; // size asked for, or automatic
    uint32_t size = kNotComputed;        // size in effect
    double x = 0.0, y = 0.0;             // lower-left corner of the text's box
    double width = 0.0, height = 0.0;    // of the laid-out text
    bool backgroundBox = false;
    int16_t linesAbove = 0, linesBelow = 0; // offsets in text heights
    UT_String text;
    UT_String sample; // what the automatic size measures
};

// The process-wide reference width of the automatic size (5000).
CELCORE_EXPORT float referenceTextWidth();
CELCORE_EXPORT void setReferenceTextWidth(float width);

CELCORE_EXPORT double textWindowHalfSizeY(double scale);
CELCORE_EXPORT double textWindowHalfSizeX(double scale, double aspect);
// Margins of the background box: height / 3 around, 1.5 times that below
// (room for descenders).
CELCORE_EXPORT double bgBoxMargin(double height);
CELCORE_EXPORT double bgBoxMarginBottom(double height);

// hAlign < 0: -halfX (left edge); 0: -width / 2 (centred); > 0: halfX - width.
CELCORE_EXPORT double calculateOffsetX(double width, int hAlign, double halfX);
// vAlign >= 0: halfY - height - lineOffset (top); < 0: other - halfY (bottom,
// `other` being the offset above the window's bottom edge).
CELCORE_EXPORT double calculateOffsetY(double height, int vAlign, double halfY, double lineOffset,
                                       double other);

// The automatic size from w100, percent and scale (see above).
CELCORE_EXPORT uint32_t automaticTextSize(double w100, int percent, double scale);

// When the size is not computed: sets size, width, height and x (y is left to
// the caller). A computed size leaves everything as it is.
CELCORE_EXPORT void calculateTextSize(GR_TextAccess& text, TextProperties* props, int hAlign, int percent,
                                      double scale, double aspect);

// Whether text sized automatically for the style and percent fits the window
// width (2 * halfX >= its width).
CELCORE_EXPORT bool isTextWidthWithinWindow(GR_TextAccess& text, const UT_String& string, unsigned textStyle,
                                            int percent, double scale, double aspect);

// Draws props->text into the drawing in textColour (0xAARRGGBB). When the size
// is not computed it is computed and x, y, width and height stored (vAlign < 0:
// linesBelow heights above the window's bottom; otherwise linesAbove heights
// below its top); a computed size uses the caller's x, y, width and height.
// With backgroundBox, a box of boxColour with the margins above is drawn
// behind the text. The text access must work on the drawing.
CELCORE_EXPORT void writeText(GR_DrawingAccess& drawing, GR_TextAccess& text, TextProperties* props,
                              long long textColour, long long boxColour, int vAlign, int hAlign, int percent,
                              double scale, double aspect);

} // namespace CelAlgo
