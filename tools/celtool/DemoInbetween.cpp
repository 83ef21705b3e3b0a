// The demo's in-betweens: two poses of a figure and five frames between them.
#include <QDir>
#include <cmath>

#include "CelFiles.h"
#include "Command.h"
#include "Inbetween.h"
#include "cel/Cel.h"
#include "pixel/PixmapArea.h"

namespace celtool {

namespace {

// A round head on a body with one raised arm: position and arm angle make the pose.
std::unique_ptr<CEL_PixmapAreaRGBA16> pose(double cx, double armAngle, int16_t r, int16_t g, int16_t b) {
    auto p = std::make_unique<CEL_PixmapAreaRGBA16>(160, 120);
    p->realloc(p->canvasRect(), true);
    const double ax = std::cos(armAngle), ay = -std::sin(armAngle);
    for (int y = 0; y < 120; ++y)
        for (int x = 0; x < 160; ++x) {
            const double dx = x + 0.5 - cx;
            const bool head = dx * dx + (y + 0.5 - 35) * (y + 0.5 - 35) < 15 * 15;
            const bool body = std::fabs(dx) < 10 && y >= 50 && y < 100;
            // The arm: a thick segment from the shoulder (cx + 8, 58), 34 pixels long.
            const double sx = x + 0.5 - (cx + 8), sy = y + 0.5 - 58;
            const double along = sx * ax + sy * ay, across = -sx * ay + sy * ax;
            const bool arm = along >= 0 && along <= 34 && std::fabs(across) < 4;
            if (head || body || arm) *p->pixel(x, y) = CEL_PixelRGBA16{r, g, b, 32767};
        }
    return p;
}

} // namespace

int demoInbetween(const QString& outDir) {
    const auto a = pose(50, 1.2, 30000, 12000, 6000);
    const auto b = pose(110, -0.6, 6000, 14000, 30000);
    std::vector<std::unique_ptr<CEL_PixmapAreaRGBA16>> frames;
    std::vector<const CEL_PixmapAreaRGBA16*> all{a.get()};
    std::vector<QString> labels{QStringLiteral("A")};
    for (int k = 1; k <= 5; ++k) {
        frames.push_back(inbetweenFrame(*a, *b, nullptr, inbetweenMix(k, 5)));
        if (!frames.back()) return kFailure;
        all.push_back(frames.back().get());
        labels.push_back(QString::number(k));
    }
    all.push_back(b.get());
    labels.push_back(QStringLiteral("B"));
    std::unique_ptr<CEL_PixmapAreaRGBA16> strip = labelledStrip(all, labels);
    if (!strip) return kFailure;
    const QString path = QDir(outDir).filePath(QStringLiteral("inbetween.png"));
    const UT_SharedPtr<CEL_Cel> cel = celOf(std::move(strip), CelOrigin{});
    if (writeCel(cel.get(), path, WriteOptions{}) != kSuccess) return kFailure;
    print(QStringLiteral("wrote %1: two poses and five in-betweens").arg(path));
    return kSuccess;
}

} // namespace celtool
