#pragma once
// In-between frames of two pictures, shared by `celtool inbetween` and the demo.

#include <QString>
#include <memory>
#include <vector>

class CEL_PixmapAreaRGBA16;

namespace celtool {

// The uniform mix value of in-between k of n: trunc(32767 k / (n + 1) + 0.5).
int inbetweenMix(int k, int n);

// The in-between of a and b at mix alpha t (a pixmap whose alpha holds t per
// pixel, or null for the uniform value `uniform`), on a's canvas, allocated to
// the union of a's and b's allocations. Null when it cannot be allocated.
std::unique_ptr<CEL_PixmapAreaRGBA16> inbetweenFrame(const CEL_PixmapAreaRGBA16& a,
                                                     const CEL_PixmapAreaRGBA16& b,
                                                     const CEL_PixmapAreaRGBA16* mix, int uniform);

// The frames side by side on their shared canvas size, each labelled above
// (labels[i]); null when it cannot be allocated.
std::unique_ptr<CEL_PixmapAreaRGBA16> labelledStrip(const std::vector<const CEL_PixmapAreaRGBA16*>& frames,
                                                    const std::vector<QString>& labels);

} // namespace celtool

namespace celtool {

// Writes inbetween.png into outDir: two poses and five in-betweens, labelled.
int demoInbetween(const QString& outDir);

} // namespace celtool
