// The demo's image sequence: a few frames of a soft-edged disc moving across
// the canvas, written as 32-bit TGA files and read back pixel for pixel.
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <cmath>

#include "CelFiles.h"
#include "Command.h"
#include "cel/Cel.h"
#include "pixel/PixmapCanvas.h"

namespace celtool {

namespace {

// Frame `index` of `count`: an antialiased disc with a soft alpha falloff on a
// transparent canvas, in straight colour as artwork is delivered in TGA files.
CEL_PixmapRGBA8* drawFrame(int index, int count, int w, int h) {
    auto* p = new CEL_PixmapRGBA8(w, h);
    const double radius = h * 0.3;
    const double cx = radius + (w - 2 * radius) * index / std::max(1, count - 1);
    const double cy = h * 0.5 + std::sin(index * 0.9) * h * 0.1;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const double d = std::hypot(x + 0.5 - cx, y + 0.5 - cy);
            const double edge = std::clamp(radius - d + 0.5, 0.0, 1.0); // one-pixel antialiased rim
            const double soft = 0.55 + 0.45 * (1.0 - d / radius);       // denser towards the centre
            const auto alpha = uint8_t(std::lround(edge * std::clamp(soft, 0.0, 1.0) * 255.0));
            const auto c = [alpha](double v) { return alpha ? uint8_t(std::lround(v * 255.0)) : uint8_t(0); };
            *p->pixel(x, y) = CEL_PixelRGBA8{c(0.95), c(0.35 + 0.5 * y / h), c(0.2 + 0.6 * x / w), alpha};
        }
    }
    return p;
}

} // namespace

int demoFrames(const QString& outDir) {
    const int count = 6, w = 160, h = 96;
    int identical = 0;
    for (int i = 0; i < count; ++i) {
        const QString path =
            QDir(outDir).filePath(QStringLiteral("frame-%1.tga").arg(i + 1, 4, 10, QLatin1Char('0')));
        auto* frame = drawFrame(i, count, w, h);
        UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(CEL_Representation::PIXMAP_RGBA8));
        cel->addRepresentation(UT_SharedPtr<CEL_Representation>(frame));
        setOrigin(cel.get(), CelOrigin{{4, false}, CELIO_Alpha::Straight, QStringLiteral("TGA")});
        if (writeCel(cel.get(), path, QStringLiteral("TGA"), QStringLiteral("TGA4")) != kSuccess)
            return kFailure;
        const UT_SharedPtr<CEL_Cel> back = readCel(path, QString(), QString());
        const auto* got = back ? dynamic_cast<const CEL_PixmapRGBA8*>(
                                     back->convertTo(CEL_Representation::PIXMAP_RGBA8).get())
                               : nullptr;
        const bool same = got && got->width() == w && got->height() == h &&
                          std::equal(frame->data(), frame->data() + w * h, got->data());
        identical += same;
        print(QStringLiteral("wrote %1 (%2x%3, 32-bit RLE, %4 bytes): read back %5")
                  .arg(path)
                  .arg(w)
                  .arg(h)
                  .arg(QFileInfo(path).size())
                  .arg(same ? QStringLiteral("identical") : QStringLiteral("DIFFERENT")));
    }
    print(QStringLiteral("%1 of %2 frames round-tripped exactly").arg(identical).arg(count));
    return identical == count ? kSuccess : kFailure;
}

} // namespace celtool
