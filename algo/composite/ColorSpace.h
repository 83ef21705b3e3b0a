#pragma once
// Colour-space conversions of single colours and whole-pixmap recolouring.
//
// Colours are three doubles r, g, b, nominally in [0, 1]. Hue is in degrees, [0, 360);
// saturation, chroma, lightness, value and intensity are fractions.
//  - HSL, HSI and HCL share the hexcone hue; HSV marks an undefined hue with h = -1.
//  - HSI converts back with a trigonometric hue, so an HSI round trip changes the hue of
//    most colours.
//  - HCL: chroma = max - min, luminance = 0.3 r + 0.59 g + 0.11 b. hclToRgb keeps the
//    luminance when it has to pull an out-of-gamut colour in, and clamps to [0, 1].

#include "celcore_export.h"

class CEL_PixmapAreaRGBA16;

namespace CelAlgo {

CELCORE_EXPORT void rgbToHsl(const double& r, const double& g, const double& b, double& h, double& s,
                             double& l);
CELCORE_EXPORT void hslToRgb(const double& h, const double& s, const double& l, double& r, double& g,
                             double& b);

CELCORE_EXPORT void rgbToHsv(const double& r, const double& g, const double& b, double& h, double& s,
                             double& v);
// Sectors outside 0 ... 6 (a hue of 420 degrees or more) leave r, g, b as they were.
CELCORE_EXPORT void hsvToRgb(const double& h, const double& s, const double& v, double& r, double& g,
                             double& b);

CELCORE_EXPORT void rgbToHsi(const double& r, const double& g, const double& b, double& h, double& s,
                             double& i);
CELCORE_EXPORT void hsiToRgb(const double& h, const double& s, const double& i, double& r, double& g,
                             double& b);

CELCORE_EXPORT void rgbToHcl(const double& r, const double& g, const double& b, double& h, double& c,
                             double& l);
// Sectors outside 0 ... 6 (a hue of 420 degrees or more) give grey at luminance l.
CELCORE_EXPORT void hclToRgb(const double& h, const double& c, const double& l, double& r, double& g,
                             double& b);

// Whole-pixmap operations over every allocated pixel; a pixmap without pixels is left
// alone, a null pixmap is ignored. Results are truncated toward zero and saturated to
// -32767 ... 32767.

// alpha becomes trunc(alpha * (1 - clamp(amount, 0, 1)) + 0.5); colour untouched.
CELCORE_EXPORT void fadeAlpha(CEL_PixmapAreaRGBA16* pixmap, double amount);
// All four fields x become trunc(x * k + 0.5), k = 1 - clamp(percent * 0.01, 0, 1).
CELCORE_EXPORT void fadeColor(CEL_PixmapAreaRGBA16* pixmap, double percent);
// Colours a matte: the channels become trunc(alpha * r), trunc(alpha * g), trunc(alpha * b).
CELCORE_EXPORT void mapRGB(CEL_PixmapAreaRGBA16* pixmap, double r, double g, double b);
// As mapRGB with every channel and alpha also scaled by a.
CELCORE_EXPORT void mapRGBA(CEL_PixmapAreaRGBA16* pixmap, double r, double g, double b, double a);

} // namespace CelAlgo
