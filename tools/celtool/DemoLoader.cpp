// The demo's background loading: a 24-frame sequence (a ball bouncing across
// the canvas, squashed where it lands) written as TGA files, read back through
// the background loader, whose functors lay each frame as a labelled tile
// into contact-sheet.png on the worker that read it; then the sequence is
// converted to PNG in two shards, as two farm machines would.
#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "CelFiles.h"
#include "Command.h"
#include "cel/Cel.h"
#include "celio/Manager.h"
#include "celio/ManagerAsync.h"
#include "pixel/PixmapArea.h"
#include "pixel/PixmapCanvas.h"

namespace celtool {

namespace {

constexpr int kFrames = 24, kW = 160, kH = 96;
constexpr int kColumns = 6, kTileW = kW / 2 + 8, kTileH = kH / 2 + 8 + 12, kLabel = 12;

// Frame `index` in straight colour (TGA artwork): the ball's height follows a
// bounce, and it squashes as it touches the floor.
CEL_PixmapRGBA8* ballFrame(int index) {
    auto* p = new CEL_PixmapRGBA8(kW, kH);
    const double t = double(index) / kFrames;
    const double bounce = std::abs(std::sin(t * 3 * M_PI));
    const double squash = bounce < 0.15 ? 1.0 + (0.15 - bounce) * 2.0 : 1.0;
    const double rx = 14 * squash, ry = 14 / squash;
    const double cx = 16 + t * (kW - 32), cy = kH - 8 - ry - bounce * (kH - 40);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            const double dx = (x + 0.5 - cx) / rx, dy = (y + 0.5 - cy) / ry;
            const double cover =
                std::clamp((1.0 - std::sqrt(dx * dx + dy * dy)) * std::min(rx, ry) + 0.5, 0.0, 1.0);
            const bool floor = y >= kH - 8;
            const auto a = uint8_t(floor ? 255 : std::lround(cover * 255));
            if (!a) continue;
            const double light = 0.6 + 0.4 * std::clamp(-dx * 0.5 - dy * 0.5, 0.0, 1.0);
            *p->pixel(x, y) = floor ? CEL_PixelRGBA8{90, 70, 60, 255}
                                    : CEL_PixelRGBA8{uint8_t(std::lround(230 * light)),
                                                     uint8_t(std::lround(90 * light)), 40, a};
        }
    return p;
}

// The sheet the functors fill; each writes only its own tile, so no lock is
// needed around the pixels.
struct Sheet {
    std::unique_ptr<CEL_PixmapAreaRGBA16> pixels;
    std::mutex mutex;
    std::condition_variable changed;
    int answered = 0, filled = 0;
};

class TileFunctor final : public CELIO_ManagerAsync::CallbackFunctor {
public:
    TileFunctor(Sheet& sheet, int index) : m_sheet(sheet), m_index(index) {}
    void operator()(CELIO_ManagerAsync::CallbackData& data) override {
        const auto* frame = data.representations.empty()
                                ? nullptr
                                : dynamic_cast<const CEL_PixmapRGBA8*>(data.representations.front().get());
        const bool ok = frame && frame->width() == kW && frame->height() == kH;
        if (ok) layTile(*frame);
        std::lock_guard lock(m_sheet.mutex);
        ++m_sheet.answered;
        m_sheet.filled += ok;
        m_sheet.changed.notify_all();
    }

private:
    // A half-size copy (each pixel the mean of four, premultiplied: TGA files
    // hold straight colour) over the tile's checkerboard, and the frame's number.
    void layTile(const CEL_PixmapRGBA8& frame) {
        CEL_PixmapAreaRGBA16& sheet = *m_sheet.pixels;
        const int x0 = m_index % kColumns * kTileW + 4, y0 = m_index / kColumns * kTileH + kLabel + 4;
        for (int y = 0; y < kH / 2; ++y)
            for (int x = 0; x < kW / 2; ++x) {
                double r = 0, g = 0, b = 0, a = 0;
                for (int k = 0; k < 4; ++k) {
                    const CEL_PixelRGBA8& s = *frame.pixel(2 * x + k % 2, 2 * y + k / 2);
                    const double alpha = s.a / 255.0;
                    r += s.r * alpha, g += s.g * alpha, b += s.b * alpha, a += alpha;
                }
                CEL_PixelRGBA16* d = sheet.pixel(x0 + x, y0 + y);
                const double keep = 1.0 - a / 4;
                const auto mix = [keep](double v, int16_t under) {
                    return int16_t(std::lround(v / 4 / 255 * 32767 + under * keep));
                };
                *d = CEL_PixelRGBA16{mix(r, d->r), mix(g, d->g), mix(b, d->b), 32767};
            }
        drawLabel(sheet, x0, y0 - kLabel + 1, QStringLiteral("%1").arg(m_index + 1, 4, 10, QLatin1Char('0')));
    }

    Sheet& m_sheet;
    const int m_index;
};

} // namespace

int demoLoader(const QString& outDir) {
    const QDir dir(outDir);
    const QString sequence = dir.filePath(QStringLiteral("sequence"));
    for (int i = 0; i < kFrames; ++i) {
        UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(CEL_Representation::PIXMAP_RGBA8));
        cel->addRepresentation(UT_SharedPtr<CEL_Representation>(ballFrame(i)));
        setOrigin(cel.get(), CelOrigin{{4, false}, CELIO_Alpha::Straight, QStringLiteral("TGA")});
        const QString path = sequence + QStringLiteral("/ball.%1.tga").arg(i + 1, 4, 10, QLatin1Char('0'));
        if (writeCel(cel.get(), path, QStringLiteral("TGA"), QStringLiteral("TGA4")) != kSuccess)
            return kFailure;
    }
    print(QStringLiteral("wrote %1/ball.0001.tga ... ball.%2.tga (%3x%4, 32-bit RLE)")
              .arg(sequence)
              .arg(kFrames, 4, 10, QLatin1Char('0'))
              .arg(kW)
              .arg(kH));

    // The sheet: a checkerboard under each tile, a dark strip for its label.
    Sheet sheet;
    const int rows = (kFrames + kColumns - 1) / kColumns;
    sheet.pixels = std::make_unique<CEL_PixmapAreaRGBA16>(kColumns * kTileW, rows * kTileH);
    if (!sheet.pixels->realloc(Math::Box2di(0, 0, kColumns * kTileW, rows * kTileH), false)) return kFailure;
    for (int y = 0; y < rows * kTileH; ++y)
        for (int x = 0; x < kColumns * kTileW; ++x) {
            const int16_t grey = y % kTileH < kLabel ? 4000 : ((x / 6 + y / 6) % 2 ? 20000 : 14000);
            *sheet.pixels->pixel(x, y) = CEL_PixelRGBA16{grey, grey, grey, 32767};
        }

    qxCelAddPixmapHandler(); // every handler registered before a worker reads
    CELIO_ManagerAsync::startService(2);
    int queued = 0;
    for (int i = 0; i < kFrames; ++i)
        queued += CELIO_ManagerAsync::read(
            sequence + QStringLiteral("/ball.%1.tga").arg(i + 1, 4, 10, QLatin1Char('0')),
            UT_SharedPtr<CELIO_ManagerAsync::CallbackFunctor>(new TileFunctor(sheet, i)));
    {
        std::unique_lock lock(sheet.mutex);
        sheet.changed.wait(lock, [&] { return sheet.answered == queued; });
    }
    CELIO_ManagerAsync::stopService();
    print(QStringLiteral("loaded %1 frames on 2 background workers: %2 tiles laid")
              .arg(queued)
              .arg(sheet.filled));
    if (sheet.filled != kFrames) return kFailure;

    const QString sheetPath = dir.filePath(QStringLiteral("contact-sheet.png"));
    const UT_SharedPtr<CEL_Cel> out =
        celOf(std::move(sheet.pixels), CelOrigin{{3, false}, CELIO_Alpha::Premultiplied, {}});
    if (writeCel(out.get(), sheetPath, QStringLiteral("PNG"), QString()) != kSuccess) return kFailure;
    print(QStringLiteral("wrote %1: %2 labelled tiles").arg(sheetPath).arg(kFrames));

    // Two shards of the same frame list, as two machines of a farm would run them.
    const QString in = sequence + QStringLiteral("/ball.####.tga");
    const QString out2 = dir.filePath(QStringLiteral("sequence-png/ball.####.png"));
    for (int shard = 0; shard < 2; ++shard) {
        const QString spec = QStringLiteral("%1/2").arg(shard);
        const int rc = runConvert({QStringLiteral("--shard"), spec, QStringLiteral("--frames"),
                                   QStringLiteral("1-%1").arg(kFrames), QStringLiteral("--threads"),
                                   QStringLiteral("2"), QStringLiteral("--quiet"), in, out2});
        if (rc != kSuccess) return kFailure;
        print(QStringLiteral("converted shard %1 of %2 to PNG: frames %3-%4")
                  .arg(spec, in)
                  .arg(shard * kFrames / 2 + 1)
                  .arg((shard + 1) * kFrames / 2));
    }
    return kSuccess;
}

} // namespace celtool
