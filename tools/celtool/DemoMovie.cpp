// The demo's movies: 24 numbered frames encoded with libav as PNG-in-MOV and
// as H.264 (a keyframe every 12 frames, B-frames), read back in a shuffled
// order as movie frames, and laid out in order on movie-sheet.png, each cell
// showing the number its frame carries.
#include <QDir>
#include <algorithm>
#include <memory>
#include <random>
#include <vector>

#include "CelFiles.h"
#include "Command.h"
#include "MovieFiles.h"
#include "MoviePlugin.h"
#include "Thumbnails.h"
#include "cel/Cel.h"
#include "pixel/PixmapArea.h"
#include "pixel/PixmapCanvas.h"

namespace celtool {

#ifdef CELTOOL_HAVE_MOVIES

namespace {

constexpr int kFrames = 24, kW = 160, kH = 96, kScale = 4;

// Frame `n` (from 1): a hue that turns with the frame, and its number in
// large white digits.
std::unique_ptr<CEL_PixmapRGBA8> numberedFrame(int n) {
    CEL_PixmapAreaRGBA16 text(kW / kScale, kH / kScale);
    if (text.realloc(Math::Box2di(0, 0, kW / kScale, kH / kScale), false))
        std::fill_n(text.data(), (kW / kScale) * (kH / kScale), CEL_PixelRGBA16{0, 0, 0, 0});
    drawLabel(text, 6, 8, QStringLiteral("%1").arg(n, 2, 10, QLatin1Char('0')));
    auto p = std::make_unique<CEL_PixmapRGBA8>(kW, kH);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            const CEL_PixelRGBA16* t = text.pixel(x / kScale, y / kScale);
            const bool ink = t && t->a > 0;
            *p->pixel(x, y) = ink ? CEL_PixelRGBA8{255, 255, 255, 255}
                                  : CEL_PixelRGBA8{uint8_t(40 + n * 8), uint8_t(60 + (x * 100) / kW),
                                                   uint8_t(200 - n * 6), 255};
        }
    return p;
}

} // namespace

int demoMovie(const QString& outDir) {
    const QString dir = outDir + QStringLiteral("/movie");
    QDir().mkpath(dir);
    std::vector<std::unique_ptr<CEL_PixmapRGBA8>> frames;
    std::vector<const CEL_PixmapRGBA8*> pointers;
    for (int n = 1; n <= kFrames; ++n) {
        frames.push_back(numberedFrame(n));
        pointers.push_back(frames.back().get());
    }
    const QString movies[] = {dir + QStringLiteral("/frames.mov"), dir + QStringLiteral("/frames.mp4")};
    const QString codecs[] = {QStringLiteral("png"), QStringLiteral("h264")};
    for (int i = 0; i < 2; ++i) {
        QString why;
        if (!encodeMovie(movies[i], pointers, 24, codecs[i], 12, why)) {
            error(QStringLiteral("%1: %2").arg(movies[i], why));
            return kFailure;
        }
        print(QStringLiteral("wrote %1 (%2, %3 frames)").arg(movies[i], codecs[i]).arg(kFrames));
    }

    // Both movies' frames read in a shuffled order, placed in order.
    ContactSheet sheet(2 * kFrames, kW / 2, kH / 2, 8);
    if (!sheet.valid()) return kFailure;
    std::vector<int> order(2 * kFrames);
    for (int i = 0; i < 2 * kFrames; ++i) order[size_t(i)] = i;
    std::shuffle(order.begin(), order.end(), std::mt19937(24));
    int failed = 0;
    for (int cell : order) {
        const QString& movie = movies[cell / kFrames];
        const int frame = cell % kFrames + 1;
        sheet.setLabel(cell, QStringLiteral("%1 #%2").arg(QFileInfo(movie).suffix()).arg(frame));
        const UT_SharedPtr<CEL_Cel> cel = readCel(movie, QString(), QString(), nullptr, nullptr, frame);
        if (!cel || !sheet.place(cell, *cel, movie)) ++failed;
    }
    const QString out = outDir + QStringLiteral("/movie-sheet.png");
    if (sheet.write(out, QStringLiteral("png")) != kSuccess) return kFailure;
    print(QStringLiteral("wrote %1 (%2 frames read shuffled)").arg(out).arg(2 * kFrames));
    return failed ? kFailure : kSuccess;
}

#else

int demoMovie(const QString&) {
    return kSuccess; // built without the movie plug-in
}

#endif

} // namespace celtool
