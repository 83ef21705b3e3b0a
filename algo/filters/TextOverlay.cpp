#include "algo/filters/TextOverlay.h"

#include <atomic>
#include <cmath>

#include "algo/composite/AlgoException.h"
#include "base/VectorText.h"

namespace CelAlgo {

namespace {

std::atomic<float> g_referenceWidth{5000.0f};

constexpr double kHalfWindow = 1875.0 * 0.8;
// The type of the background box's drawing layer (drawn as overlay art).
constexpr uint32_t kBoxLayerType = 1000;

void check(GR_TextAccess& text, bool ok) {
    if (!ok) throw AlgoException(text.lastError());
}

// Sets size, width and height: the automatic size from the sample (or the
// requested one), and the sample's box at that size.
void sizeText(GR_TextAccess& text, TextProperties& p, int percent, double scale) {
    GR_TextLayerProperties lp{p.textStyle, 100, 0xFFFFFFFFLL};
    GR_TextLayer layer = text.CreateTextLayer(lp);
    check(text, text.InsertText(layer, p.sample));
    if (p.requestedSize != TextProperties::kAutomatic) {
        lp.size = p.requestedSize;
    } else {
        double w100 = 0.0, h100 = 0.0;
        check(text, text.GetPlainBox(layer, w100, h100));
        lp.size = automaticTextSize(w100, percent, scale);
    }
    check(text, text.ApplyProperties(layer, lp));
    double w = 0.0, h = 0.0;
    check(text, text.GetPlainBox(layer, w, h));
    text.RemoveText(layer);
    p.size = lp.size;
    p.width = w;
    p.height = h;
}

} // namespace

float referenceTextWidth() {
    return g_referenceWidth.load(std::memory_order_relaxed);
}
void setReferenceTextWidth(float width) {
    g_referenceWidth.store(width, std::memory_order_relaxed);
}

double textWindowHalfSizeY(double scale) {
    return scale * 1875 * 0.8;
}
double textWindowHalfSizeX(double scale, double aspect) {
    return scale * 1875 * 0.8 * aspect;
}
double bgBoxMargin(double height) {
    return height / 3;
}
double bgBoxMarginBottom(double height) {
    return height / 3 * 1.5;
}

double calculateOffsetX(double width, int hAlign, double halfX) {
    if (hAlign < 0) return -halfX;
    if (hAlign == 0) return -width / 2;
    return halfX - width;
}

double calculateOffsetY(double height, int vAlign, double halfY, double lineOffset, double other) {
    return vAlign >= 0 ? halfY - height - lineOffset : other - halfY;
}

uint32_t automaticTextSize(double w100, int percent, double scale) {
    if (w100 == 0.0) return 100;
    // Left to right, as written: percent / 100 must not become an integer division.
    const double s = double(referenceTextWidth()) * 3 * 0.25 * scale * percent / 100 * (100 / w100);
    if (!std::isfinite(s) || s < 1.0) return 1;
    if (s >= double(TextProperties::kNotComputed)) return TextProperties::kNotComputed - 1;
    return uint32_t(std::trunc(s));
}

void calculateTextSize(GR_TextAccess& text, TextProperties* props, int hAlign, int percent, double scale,
                       double aspect) {
    if (!props) throw AlgoException("invalid pointer");
    if (props->size != TextProperties::kNotComputed) return;
    sizeText(text, *props, percent, scale);
    props->x = calculateOffsetX(props->width, hAlign, textWindowHalfSizeX(scale, aspect));
}

bool isTextWidthWithinWindow(GR_TextAccess& text, const UT_String& string, unsigned textStyle, int percent,
                             double scale, double aspect) {
    TextProperties p;
    p.textStyle = textStyle;
    p.text = string;
    p.sample = string;
    sizeText(text, p, percent, scale);
    return 2 * textWindowHalfSizeX(scale, aspect) >= p.width;
}

void writeText(GR_DrawingAccess& drawing, GR_TextAccess& text, TextProperties* props, long long textColour,
               long long boxColour, int vAlign, int hAlign, int percent, double scale, double aspect) {
    if (!props) throw AlgoException("invalid pointer");
    if (text.drawing() != &drawing.drawing()) throw AlgoException("the text access works on another drawing");

    if (props->size == TextProperties::kNotComputed) {
        sizeText(text, *props, percent, scale);
        props->x = calculateOffsetX(props->width, hAlign, kHalfWindow * scale * aspect);
        const double halfY = kHalfWindow * scale;
        props->y = vAlign < 0 ? props->linesBelow * props->height - halfY
                              : halfY - props->height - props->linesAbove * props->height;
    }

    const GR_TextLayerProperties lp{props->textStyle, props->size, textColour};
    GR_TextLayer layer = text.CreateTextLayer(lp, true);
    check(text, text.InsertText(layer, props->text));
    check(text, text.TranslateLayer(layer, props->x, props->y));

    if (props->backgroundBox) {
        // The box is there to make the text readable, so it is drawn behind it:
        // its layer goes just before the text's (both are overlay art, drawn in
        // list order), and the closed path is filled rather than outlined.
        const double x = props->x, y = props->y, w = props->width, h = props->height;
        const double m = bgBoxMargin(h);
        GR_StrokeData box;
        box.color = GR_Color::CreateWith(boxColour);
        box.closed = true;
        box.path.moveTo(float(x - m), float(y - 1.5 * m));
        box.path.lineTo(float(x - m), float(y + h + m));
        box.path.lineTo(float(x + w + m), float(y + h + m));
        box.path.lineTo(float(x + w + m), float(y - 1.5 * m));
        box.path.close();
        const int boxLayer = drawing.CreateLayer(kBoxLayerType, layer.drawingLayer);
        if (!box.insertInto(drawing, boxLayer))
            throw AlgoException("the text's box does not fit the drawing");
    }
}

} // namespace CelAlgo
