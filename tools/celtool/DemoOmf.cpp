// The demo's OMF media: the first frame composited over the backdrop (an
// opaque picture, as video frames are) written as media/frame.omf (RGB as
// stored) and media/frame-jpeg.omf (JPEG), both read back, and laid out in
// media/omf-sheet.png: the source, the two read-backs and the JPEG error
// enlarged eight times, each tile labelled with its file's size.
#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <memory>

#include "CelFiles.h"
#include "Command.h"
#include "DemoSheets.h"
#include "cel/Cel.h"
#include "pixel/PixmapArea.h"

namespace celtool {

namespace {

using Pixmap = CEL_PixmapAreaRGBA16;

constexpr int kPad = 4, kLabel = 12, kErrorGain = 8;

// The picture at path as a premultiplied 16-bit area pixmap, or null (reported).
std::unique_ptr<Pixmap> picture(const QString& path) {
    const UT_SharedPtr<CEL_Cel> cel = readCel(path, QString(), QString());
    return cel ? workingArea(cel.get(), path, false) : nullptr;
}

void copyInto(Pixmap& sheet, const Pixmap& src, int x0, int y0) {
    const Math::Box2di box = src.allocatedRect();
    for (int y = box.y1(); y < box.y2(); ++y)
        for (int x = box.x1(); x < box.x2(); ++x)
            if (CEL_PixelRGBA16* d = sheet.pixel(x0 + x, y0 + y)) *d = *src.pixel(x, y);
}

} // namespace

int demoOmf(const QString& outDir) {
    const QDir dir(outDir);
    if (!dir.mkpath(QStringLiteral("media"))) {
        error(QStringLiteral("cannot create %1").arg(dir.filePath(QStringLiteral("media"))));
        return kFailure;
    }
    const QString sourcePath = dir.filePath(QStringLiteral("over-0001.png"));
    const std::unique_ptr<Pixmap> source = picture(sourcePath);
    if (!source) return kFailure;
    const int w = source->width(), h = source->height();
    if (source->allocatedRect() != Math::Box2di(0, 0, w, h)) {
        error(QStringLiteral("%1: not an opaque frame").arg(sourcePath));
        return kFailure;
    }

    struct Media {
        const char* code;
        const char* name;
        std::unique_ptr<Pixmap> back;
        qint64 bytes = 0;
    } media[] = {{"OMF", "media/frame.omf", nullptr}, {"OMFJPEG", "media/frame-jpeg.omf", nullptr}};
    const UT_SharedPtr<CEL_Cel> frame = celOf(std::unique_ptr<Pixmap>(source->clone()),
                                              CelOrigin{{3, false}, CELIO_Alpha::Premultiplied, {}});
    for (Media& m : media) {
        const QString path = dir.filePath(QLatin1String(m.name));
        if (writeCel(frame.get(), path, QStringLiteral("OMF"), QLatin1String(m.code)) != kSuccess)
            return kFailure;
        m.back = picture(path);
        if (!m.back || m.back->allocatedRect() != source->allocatedRect()) return kFailure;
        m.bytes = QFileInfo(path).size();
    }

    // The RGB media hold the frame exactly; the JPEG error is measured in 8-bit steps.
    const long long n = (long long)w * h;
    const bool exact = std::equal(source->data(), source->data() + n, media[0].back->data(),
                                  [](const CEL_PixelRGBA16& p, const CEL_PixelRGBA16& q) {
                                      return p.r == q.r && p.g == q.g && p.b == q.b && p.a == q.a;
                                  });
    auto error8 = std::make_unique<Pixmap>(w, h);
    if (!error8->realloc(Math::Box2di(0, 0, w, h), false)) return kFailure;
    int worst = 0;
    for (long long i = 0; i < n; ++i) {
        const CEL_PixelRGBA16 &s = source->data()[i], &j = media[1].back->data()[i];
        const auto amplified = [&worst](int16_t a, int16_t b) {
            const int d = std::abs(a - b);
            worst = std::max(worst, (d * 255 + 16383) / 32767);
            return int16_t(std::min(32767, d * kErrorGain));
        };
        error8->data()[i] =
            CEL_PixelRGBA16{amplified(s.r, j.r), amplified(s.g, j.g), amplified(s.b, j.b), 32767};
    }
    for (const Media& m : media)
        print(QStringLiteral("wrote %1 (%2, %3x%4, %5 bytes): read back %6")
                  .arg(dir.filePath(QLatin1String(m.name)), QLatin1String(m.code))
                  .arg(w)
                  .arg(h)
                  .arg(m.bytes)
                  .arg(&m == &media[0] ? (exact ? QStringLiteral("identical") : QStringLiteral("DIFFERENT"))
                                       : QStringLiteral("within %1 levels").arg(worst)));
    if (!exact) return kFailure;

    const Pixmap* tiles[] = {source.get(), media[0].back.get(), media[1].back.get(), error8.get()};
    const QString labels[] = {
        QStringLiteral("SOURCE %1X%2").arg(w).arg(h),
        QStringLiteral("OMF %1 BYTES").arg(media[0].bytes),
        QStringLiteral("OMFJPEG %1 BYTES").arg(media[1].bytes),
        QStringLiteral("JPEG ERROR X%1").arg(kErrorGain),
    };
    const int count = int(std::size(tiles)), tileW = w + 2 * kPad, tileH = h + 2 * kPad + kLabel;
    auto sheet = std::make_unique<Pixmap>(count * tileW, tileH);
    if (!sheet->realloc(Math::Box2di(0, 0, count * tileW, tileH), false)) return kFailure;
    std::fill(sheet->data(), sheet->data() + sheet->allocatedArea(),
              CEL_PixelRGBA16{4000, 4000, 4000, 32767});
    for (int i = 0; i < count; ++i) {
        copyInto(*sheet, *tiles[i], i * tileW + kPad, kLabel + kPad);
        drawLabel(*sheet, i * tileW + kPad, 2, labels[i]);
    }
    const QString path = dir.filePath(QStringLiteral("media/omf-sheet.png"));
    const UT_SharedPtr<CEL_Cel> out =
        celOf(std::move(sheet), CelOrigin{{4, false}, CELIO_Alpha::Premultiplied, {}});
    if (writeCel(out.get(), path, QStringLiteral("PNG"), QStringLiteral("PNG4")) != kSuccess) return kFailure;
    print(QStringLiteral("wrote %1: the source, both OMF read-backs and the JPEG error x%2")
              .arg(path)
              .arg(kErrorGain));
    return kSuccess;
}

} // namespace celtool
