#pragma once
// A panning HD cel for the batch benchmarks (never timed): a wide painting of
// flat-filled hills, trees, translucent clouds and a figure with antialiased
// edges over a transparent sky, in straight colour as artwork is delivered in
// TGA files; frame k is the 1920 x 1080 window k * 8 pixels along it. Written
// as 32-bit run-length encoded TGA files.
#include <QDir>
#include <QString>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <random>

#include "cel/Cel.h"
#include "celio/Manager.h"
#include "pixel/PixmapCanvas.h"

namespace benchframes {

constexpr int kWidth = 1920, kHeight = 1080, kStep = 8;

// The painting, wide enough for `frames` frames.
inline std::unique_ptr<CEL_PixmapRGBA8> panorama(int frames) {
    const int w = kWidth + kStep * std::max(0, frames - 1), h = kHeight;
    auto p = std::make_unique<CEL_PixmapRGBA8>(w, h);
    struct Shape {
        double cx, cy, rx, ry; // an ellipse
        double r, g, b, opacity;
    };
    std::vector<Shape> shapes;
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (double x = -300; x < w + 300; x += 500 + 300 * u(rng)) // hills, back to front
        shapes.push_back({x, h * (0.95 + 0.1 * u(rng)), 500 + 300 * u(rng), 420 + 120 * u(rng),
                          0.35 + 0.1 * u(rng), 0.55 + 0.15 * u(rng), 0.3, 1.0});
    for (double x = 0; x < w; x += 150 + 250 * u(rng)) { // trees: trunk and crown
        const double y = h * (0.62 + 0.12 * u(rng));
        shapes.push_back({x, y + 120, 14, 90, 0.4, 0.25, 0.15, 1.0});
        shapes.push_back({x, y, 70 + 40 * u(rng), 90 + 40 * u(rng), 0.15, 0.4 + 0.2 * u(rng), 0.2, 1.0});
    }
    for (double x = 100; x < w; x += 600 + 400 * u(rng)) // clouds
        shapes.push_back({x, h * (0.12 + 0.1 * u(rng)), 160 + 80 * u(rng), 50 + 20 * u(rng), 1, 1, 1, 0.6});
    for (int i = 0; i < 3; ++i) { // a figure every few screens
        const double x = w * (0.2 + 0.3 * i);
        shapes.push_back({x, h * 0.72, 90, 160, 0.85, 0.3, 0.25, 1.0});
        shapes.push_back({x, h * 0.50, 65, 70, 0.95, 0.8, 0.65, 1.0});
    }
    for (int y = 0; y < h; ++y) {
        CEL_PixelRGBA8* row = p->data() + size_t(y) * size_t(w);
        for (int x = 0; x < w; ++x) {
            double r = 0, g = 0, b = 0, a = 0; // premultiplied while painting
            for (const Shape& s : shapes) {
                const double dx = (x + 0.5 - s.cx) / s.rx, dy = (y + 0.5 - s.cy) / s.ry;
                if (std::abs(dx) > 1.05 || std::abs(dy) > 1.05) continue;
                const double cover =
                    std::clamp((1.0 - std::sqrt(dx * dx + dy * dy)) * std::min(s.rx, s.ry) + 0.5, 0.0, 1.0);
                if (cover <= 0) continue;
                const double k = cover * s.opacity;
                r = r * (1 - k) + k * s.r;
                g = g * (1 - k) + k * s.g;
                b = b * (1 - k) + k * s.b;
                a = a * (1 - k) + k;
            }
            const auto straight = [a](double v) {
                return a > 0 ? uint8_t(std::lround(v / a * 255)) : uint8_t(0);
            };
            row[x] = CEL_PixelRGBA8{straight(r), straight(g), straight(b), uint8_t(std::lround(a * 255))};
        }
    }
    return p;
}

// Frame k (from 0) of the pan.
inline CEL_PixmapRGBA8* frameOf(const CEL_PixmapRGBA8& painting, int k) {
    auto* f = new CEL_PixmapRGBA8(Math::Size2di(kWidth, kHeight), CEL_PixmapRGBA8::DoNotMemset());
    for (int y = 0; y < kHeight; ++y)
        std::copy_n(painting.data() + size_t(y) * size_t(painting.width()) + size_t(k) * kStep, kWidth,
                    f->data() + size_t(y) * kWidth);
    return f;
}

// Writes frames 1 to `count` as DIR/f.0001.tga ...; false when a write fails.
inline bool writeFrames(const QString& dir, int count) {
    qxCelAddPixmapHandler();
    QDir().mkpath(dir);
    const auto painting = panorama(count);
    for (int k = 0; k < count; ++k) {
        UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(CEL_Representation::PIXMAP_RGBA8));
        cel->addRepresentation(UT_SharedPtr<CEL_Representation>(frameOf(*painting, k)));
        const QString path =
            QDir(dir).filePath(QStringLiteral("f.%1.tga").arg(k + 1, 4, 10, QLatin1Char('0')));
        if (!CELIO_Manager::getInstance()->write(cel.get(), path, QStringLiteral("TGA"),
                                                 QStringLiteral("TGA4")))
            return false;
    }
    return true;
}

} // namespace benchframes
