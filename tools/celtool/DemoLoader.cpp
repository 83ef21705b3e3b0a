// The demo's background loading: a 24-frame sequence (a ball bouncing across
// the canvas, squashed where it lands) written as TGA files, read back through
// the background loader, whose functors lay each frame's thumbnail into its
// labelled cell of contact-sheet.png on the worker that read it; then the
// sequence is converted to PNG in two shards, as two farm machines would.
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
#include "Thumbnails.h"
#include "cel/Cel.h"
#include "celio/Manager.h"
#include "celio/ManagerAsync.h"
#include "pixel/PixmapCanvas.h"

namespace celtool {

namespace {

constexpr int kFrames = 24, kW = 160, kH = 96;

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

// Counts the functors' answers for the thread that waits for them.
struct Answers {
    std::mutex mutex;
    std::condition_variable changed;
    int answered = 0, laid = 0;
};

// Lays its frame's thumbnail into its cell of the sheet, on the worker that
// read the frame (each functor writes only its own cell).
class TileFunctor final : public CELIO_ManagerAsync::CallbackFunctor {
public:
    TileFunctor(ContactSheet& sheet, Answers& answers, int index, const QString& path)
        : m_sheet(sheet), m_answers(answers), m_index(index), m_path(path) {}
    void operator()(CELIO_ManagerAsync::CallbackData& data) override {
        bool laid = false;
        if (!data.representations.empty()) {
            // The cel as the tool reads the file (straight TGA colour known as
            // such), from what the loader read.
            const UT_SharedPtr<CEL_Cel> cel =
                readCel(m_path, QString(), QString(), nullptr, &data.representations);
            laid = cel && m_sheet.place(m_index, *cel, m_path);
        }
        std::lock_guard lock(m_answers.mutex);
        ++m_answers.answered;
        m_answers.laid += laid;
        m_answers.changed.notify_all();
    }

private:
    ContactSheet& m_sheet;
    Answers& m_answers;
    const int m_index;
    const QString m_path;
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

    // The sheet, labelled first, filled by the loader's functors as the frames arrive.
    ContactSheet sheet(kFrames, kW / 2, kH / 2, 6);
    if (!sheet.valid()) return kFailure;
    Answers answers;
    qxCelAddPixmapHandler(); // every handler registered before a worker reads
    CELIO_ManagerAsync::startService(2);
    int queued = 0;
    for (int i = 0; i < kFrames; ++i) {
        const QString path = sequence + QStringLiteral("/ball.%1.tga").arg(i + 1, 4, 10, QLatin1Char('0'));
        sheet.setLabel(i, QFileInfo(path).fileName());
        queued += CELIO_ManagerAsync::read(path, UT_SharedPtr<CELIO_ManagerAsync::CallbackFunctor>(
                                                     new TileFunctor(sheet, answers, i, path)));
    }
    {
        std::unique_lock lock(answers.mutex);
        answers.changed.wait(lock, [&] { return answers.answered == queued; });
    }
    CELIO_ManagerAsync::stopService();
    print(QStringLiteral("loaded %1 frames on 2 background workers: %2 thumbnails laid")
              .arg(queued)
              .arg(answers.laid));
    if (answers.laid != kFrames) return kFailure;
    const QString sheetPath = dir.filePath(QStringLiteral("contact-sheet.png"));
    if (sheet.write(sheetPath, QStringLiteral("PNG")) != kSuccess) return kFailure;
    print(QStringLiteral("wrote %1: %2 frames as labelled thumbnails").arg(sheetPath).arg(kFrames));

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
