// The demo's depth frame: a rendered-looking frame (shaded balls over a
// tilted floor) with a depth per pixel, written as an IFF file with colour
// and depth, read back, and its depth shown as a grey picture (nearer is
// lighter, no depth black).
#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>

#include "CelFiles.h"
#include "Command.h"
#include "cel/Cel.h"
#include "pixel/PixmapArea.h"
#include "pixel/PixmapCanvas.h"

namespace celtool {

namespace {

struct Ball {
    double cx, cy, radius, distance, r, g, b;
};

// Depth grows toward the viewer: z = -distance, as renderers' distances
// read back here.
void drawFrame(CEL_PixmapRGBA8& colour, CEL_PixmapAreaZ& depth) {
    const int w = colour.width(), h = colour.height();
    const Ball balls[] = {{0.30 * w, 0.55 * h, 0.22 * h, 6.0, 0.9, 0.3, 0.2},
                          {0.55 * w, 0.45 * h, 0.30 * h, 8.0, 0.2, 0.5, 0.9},
                          {0.78 * w, 0.62 * h, 0.18 * h, 5.0, 0.3, 0.8, 0.3}};
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            // The floor covers the lower two thirds, nearer toward the bottom.
            double best = 1e30, r = 0, g = 0, b = 0, a = 0;
            if (y > h / 3) {
                best = 4.0 + 12.0 * (1.0 - double(y - h / 3) / (h - h / 3));
                const bool check = (x / 16 + y / 16) % 2 == 0;
                r = g = b = check ? 0.75 : 0.55;
                a = 1.0;
            }
            for (const Ball& ball : balls) {
                const double dx = (x + 0.5 - ball.cx) / ball.radius, dy = (y + 0.5 - ball.cy) / ball.radius;
                const double d2 = dx * dx + dy * dy;
                if (d2 >= 1.0) continue;
                const double bulge = std::sqrt(1.0 - d2),
                             distance = ball.distance - bulge * ball.radius / 40.0;
                if (distance >= best) continue;
                const double light = 0.35 + 0.65 * std::max(0.0, -0.4 * dx - 0.5 * dy + 0.77 * bulge);
                best = distance, r = ball.r * light, g = ball.g * light, b = ball.b * light, a = 1.0;
            }
            const auto c = [](double v) { return uint8_t(std::lround(std::clamp(v, 0.0, 1.0) * 255.0)); };
            *colour.pixel(x, y) = CEL_PixelRGBA8{c(r * a), c(g * a), c(b * a), c(a)};
            depth.pixel(x, y)->value = a > 0.0 ? float(-best) : CEL_PixelFloat::Zero;
        }
}

} // namespace

int demoIffDepth(const QString& outDir) {
    const int w = 320, h = 180;
    auto* colour = new CEL_PixmapRGBA8(w, h);
    auto* depth = new CEL_PixmapAreaZ(w, h);
    if (!colour->data() || !depth->realloc(Math::Box2di(0, 0, w, h), false)) {
        delete colour;
        delete depth;
        error(QStringLiteral("out of memory"));
        return kFailure;
    }
    drawFrame(*colour, *depth);
    UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(CEL_Representation::PIXMAP_RGBA8));
    cel->addRepresentation(UT_SharedPtr<CEL_Representation>(colour));
    cel->addRepresentation(UT_SharedPtr<CEL_Representation>(depth));

    const QString iff = QDir(outDir).filePath(QStringLiteral("depth-frame.iff"));
    if (writeCel(cel.get(), iff, QStringLiteral("IFF"), QStringLiteral("IFF")) != kSuccess) return kFailure;
    const UT_SharedPtr<CEL_Cel> back = readCel(iff, QString(), QString());
    if (!back) return kFailure;
    const auto* z = dynamic_cast<const CEL_PixmapAreaZ*>(
        back->findRepresentation(CEL_Representation::PIXMAP_AREA_ZBUF).get());
    const auto* got =
        dynamic_cast<const CEL_PixmapRGBA8*>(back->convertTo(CEL_Representation::PIXMAP_RGBA8).get());
    if (!z || !got) {
        error(QStringLiteral("%1 came back without colour and depth").arg(iff));
        return kFailure;
    }
    // Colour exactly, depth to the float's last bit but one (1 / z in the file).
    bool same = got->width() == w && got->height() == h &&
                std::equal(colour->data(), colour->data() + w * h, got->data());
    for (int y = 0; y < h && same; ++y)
        for (int x = 0; x < w && same; ++x) {
            const CEL_PixelFloat* want = depth->pixel(x, y);
            const CEL_PixelFloat* have = z->pixel(x, y);
            same =
                have
                    ? std::abs(std::bit_cast<int32_t>(have->value) - std::bit_cast<int32_t>(want->value)) <= 1
                    : want->isZero();
        }
    print(QStringLiteral("wrote %1 (%2x%3, colour and depth, %4 bytes): read back %5")
              .arg(iff)
              .arg(w)
              .arg(h)
              .arg(QFileInfo(iff).size())
              .arg(same ? QStringLiteral("identical") : QStringLiteral("DIFFERENT")));

    // The depth as grey over the z range read back: nearer is lighter.
    double zMin = 0, zMax = 0;
    z->getZRange(zMin, zMax);
    auto* view = new CEL_PixmapRGBA8(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const CEL_PixelFloat* v = z->pixel(x, y);
            const double t =
                v && !v->isZero() && zMax > zMin ? 0.15 + 0.85 * (v->value - zMin) / (zMax - zMin) : 0.0;
            const uint8_t g = uint8_t(std::lround(std::clamp(t, 0.0, 1.0) * 255.0));
            *view->pixel(x, y) = CEL_PixelRGBA8{g, g, g, 255};
        }
    UT_SharedPtr<CEL_Cel> viewCel(new CEL_Cel(CEL_Representation::PIXMAP_RGBA8));
    viewCel->addRepresentation(UT_SharedPtr<CEL_Representation>(view));
    const QString png = QDir(outDir).filePath(QStringLiteral("depth-frame-z.png"));
    if (writeCel(viewCel.get(), png, QStringLiteral("PNG"), QStringLiteral("PNG")) != kSuccess)
        return kFailure;
    print(
        QStringLiteral("wrote %1 (its depth %2 .. %3 as grey, nearer lighter)").arg(png).arg(zMin).arg(zMax));
    return same ? kSuccess : kFailure;
}

} // namespace celtool
