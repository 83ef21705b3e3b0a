// The demo's depth crossing: an opaque warm gradient and a half-transparent
// blue one, each tilted, crossing along a slanted line. depth-crossing.png
// shows the whole composite, then an 8x crop of the crossing decided by a
// plain depth test at each pixel's centre (a jagged staircase), then the same
// crop composited by depth (the crossing pixels mixed by the share each
// surface covers). depth-crossing-z.png is the composite's depth, near white.
#include <QDir>
#include <algorithm>
#include <cmath>
#include <memory>

#include "CelFiles.h"
#include "Command.h"
#include "Depth.h"
#include "algo/composite/Composite3D.h"
#include "cel/Cel.h"
#include "pixel/PixmapArea3D.h"

namespace celtool {

namespace {

constexpr int kW = 240, kH = 160;
constexpr int kZoom = 8, kCropW = 24, kCropH = 20, kGap = 8;
// Slopes below the 0.1 per pixel that neighbouring depths of one surface may
// differ by and still be found as one surface.
double depthA(int x, int y) {
    return 0.05 * x + 0.01 * y;
}
double depthB(int x, int y) {
    return 0.02 * x + 0.06 * y - 3.0;
}

int16_t q(double v) {
    return int16_t(std::lround(std::clamp(v, 0.0, 1.0) * 32767.0));
}

std::unique_ptr<CEL_PixmapAreaRGBA16> surface(bool warm) {
    auto p = std::make_unique<CEL_PixmapAreaRGBA16>(kW, kH);
    if (!p->realloc(p->canvasRect(), false)) return nullptr;
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            if (warm) {
                const double u = double(x) / kW, v = double(y) / kH;
                *p->pixel(x, y) = CEL_PixelRGBA16{q(0.95), q(0.45 + 0.4 * u), q(0.1 + 0.2 * v), 32767};
            } else {
                const double a = 0.5;
                *p->pixel(x, y) = CEL_PixelRGBA16{q(0.05 * a), q(0.3 * a), q(1.0 * a), q(a)};
            }
        }
    return p;
}

std::unique_ptr<CEL_PixmapAreaZ> depthOf(double (*depth)(int, int)) {
    auto z = std::make_unique<CEL_PixmapAreaZ>(kW, kH);
    if (!z->realloc(z->canvasRect(), false)) return nullptr;
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) *z->pixel(x, y) = float(depth(x, y));
    return z;
}

bool writePng(const UT_SharedPtr<CEL_Representation>& picture, const QString& path) {
    if (!picture) return false;
    UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(picture->getFormat()));
    cel->addRepresentation(picture);
    return writeCel(cel.get(), path, QStringLiteral("png"), QStringLiteral("PNG4")) == kSuccess;
}

} // namespace

int demoDepth(const QString& outDir) {
    const auto a = surface(true), b = surface(false);
    const auto za = depthOf(depthA), zb = depthOf(depthB);
    if (!a || !b || !za || !zb) return kFailure;

    CEL_PixmapArea3D scene(kW, kH);
    std::unique_ptr<CEL_PixmapAreaRGBA16> ours;
    std::unique_ptr<CEL_PixmapAreaZ> depth;
    try {
        ALGO_Composite3D compositor(&scene);
        compositor.composite3d(a.get(), za.get());
        compositor.composite3d(b.get(), zb.get());
        ours.reset(
            static_cast<CEL_PixmapAreaRGBA16*>(scene.convertTo(CEL_Representation::PIXMAP_AREA_RGBA16)));
        depth.reset(static_cast<CEL_PixmapAreaZ*>(scene.convertTo(CEL_Representation::PIXMAP_AREA_ZBUF)));
    } catch (const CelAlgo::AlgoException& e) {
        error(e.what());
        return kFailure;
    }
    if (!ours || !depth) return kFailure;

    // The crossing y = 0.6 x + 60, around x = 100.
    const int cx = 100 - kCropW / 2, cy = 120 - kCropH / 2;
    const int cropW = kCropW * kZoom, cropH = kCropH * kZoom;
    auto sheet = std::make_unique<CEL_PixmapAreaRGBA16>(kW + 2 * (kGap + cropW), std::max(kH, cropH));
    if (!sheet->realloc(sheet->canvasRect(), false)) return kFailure;
    std::fill_n(sheet->data(), sheet->allocatedArea(), CEL_PixelRGBA16{2500, 2500, 2500, 32767});
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) *sheet->pixel(x, y) = *ours->pixel(x, y);
    // The crop's frame on the whole picture.
    for (int x = cx - 1; x <= cx + kCropW; ++x)
        *sheet->pixel(x, cy - 1) = *sheet->pixel(x, cy + kCropH) =
            CEL_PixelRGBA16{32767, 32767, 32767, 32767};
    for (int y = cy - 1; y <= cy + kCropH; ++y)
        *sheet->pixel(cx - 1, y) = *sheet->pixel(cx + kCropW, y) =
            CEL_PixelRGBA16{32767, 32767, 32767, 32767};
    for (int y = 0; y < kCropH; ++y)
        for (int x = 0; x < kCropW; ++x) {
            const int px = cx + x, py = cy + y;
            // The plain test: the nearer surface at the pixel's centre, the other behind it.
            const CEL_PixelRGBA16 under = *a->pixel(px, py);
            const CEL_PixelRGBA16 test = depthB(px, py) >= depthA(px, py) ? under % *b->pixel(px, py) : under;
            const CEL_PixelRGBA16 mixed = *ours->pixel(px, py);
            for (int dy = 0; dy < kZoom; ++dy)
                for (int dx = 0; dx < kZoom; ++dx) {
                    *sheet->pixel(kW + kGap + x * kZoom + dx, y * kZoom + dy) = test;
                    *sheet->pixel(kW + 2 * kGap + cropW + x * kZoom + dx, y * kZoom + dy) = mixed;
                }
        }

    const QDir dir(outDir);
    const QString crossing = dir.filePath(QStringLiteral("depth-crossing.png"));
    const QString zPath = dir.filePath(QStringLiteral("depth-crossing-z.png"));
    const UT_SharedPtr<CEL_Representation> grey(
        ALGO_3D::depthBufferToGrayScale(depth.get(), HUGE_VAL, -HUGE_VAL));
    if (!writePng(UT_SharedPtr<CEL_Representation>(sheet.release()), crossing) || !writePng(grey, zPath))
        return kFailure;
    print(
        QStringLiteral("wrote %1: two tilted surfaces crossing; 8x crops by a plain depth test and by depth "
                       "compositing")
            .arg(crossing));
    print(QStringLiteral("wrote %1: the composite's depth, near white").arg(zPath));
    return kSuccess;
}

} // namespace celtool
