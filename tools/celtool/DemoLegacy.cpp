// The demo's legacy planar formats: the first frame of the sequence written as
// OPT, SCAN and VAR files, each read back and shown as a labelled tile (its
// code and size) over a checkerboard in legacy-formats.png.
#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <memory>

#include "CelFiles.h"
#include "Command.h"
#include "cel/Cel.h"
#include "pixel/PixmapArea.h"

namespace celtool {

namespace {

struct LegacyFile {
    const char* format;
    const char* code;
    const char* name;
    const char* infoString; // null: none given ("Stage" is written)
};

const LegacyFile kFiles[] = {
    {"opt", "OPT4", "legacy-opt4.opt", nullptr},
    {"opt", "OPT1", "legacy-opt1.opt", nullptr},
    {"scan", "SCAN24", "legacy-scan24.scan", nullptr},
    {"scan", "SCAN32", "legacy-scan32.scan", "demo frame 1, take 2"},
    {"var", "VAR", "legacy-matte.var", "demo frame 1, matte"},
};

constexpr int kPad = 4, kLabel = 12;

// Lays src (premultiplied) over the sheet with its top-left corner at (x0, y0).
void over(CEL_PixmapAreaRGBA16& sheet, const CEL_PixmapAreaRGBA16& src, int x0, int y0) {
    const Math::Box2di box = src.allocatedRect();
    for (int y = box.y1(); y < box.y2(); ++y)
        for (int x = box.x1(); x < box.x2(); ++x) {
            const CEL_PixelRGBA16* s = src.pixel(x, y);
            CEL_PixelRGBA16* d = sheet.pixel(x0 + x - box.x1(), y0 + y - box.y1());
            if (!s || !d) continue;
            const int k = 32767 - std::clamp<int>(s->a, 0, 32767);
            const auto mix = [k](int16_t sv, int16_t dv) {
                return int16_t(std::clamp(sv + (dv * k + 16383) / 32767, -32767, 32767));
            };
            *d = CEL_PixelRGBA16{mix(s->r, d->r), mix(s->g, d->g), mix(s->b, d->b), mix(s->a, d->a)};
        }
}

} // namespace

int demoLegacy(const QString& outDir) {
    const QDir dir(outDir);
    const UT_SharedPtr<CEL_Cel> frame =
        readCel(dir.filePath(QStringLiteral("frame-0001.tga")), QString(), QString());
    const auto* first =
        frame ? dynamic_cast<const CEL_Pixmap*>(frame->convertTo(CEL_Representation::PIXMAP_RGBA8).get())
              : nullptr;
    if (!first) return kFailure;
    const int w = first->width(), h = first->height();
    const int count = int(std::size(kFiles));
    const int tileW = w + 2 * kPad, tileH = h + 2 * kPad + kLabel;
    auto sheet = std::make_unique<CEL_PixmapAreaRGBA16>(count * tileW, tileH);
    if (!sheet->realloc(Math::Box2di(0, 0, count * tileW, tileH), false)) return kFailure;
    for (int y = 0; y < tileH; ++y)
        for (int x = 0; x < count * tileW; ++x) {
            const int16_t grey = y < kLabel ? 4000 : ((x / 8 + y / 8) % 2 ? 20000 : 13000);
            *sheet->pixel(x, y) = CEL_PixelRGBA16{grey, grey, grey, 32767};
        }

    for (int i = 0; i < count; ++i) {
        const LegacyFile& f = kFiles[i];
        const QString path = dir.filePath(QLatin1String(f.name));
        WriteOptions options;
        options.format = QLatin1String(f.format);
        options.code = QLatin1String(f.code);
        options.infoString = f.infoString ? QString::fromUtf8(f.infoString) : QString();
        if (writeCel(frame.get(), path, options) != kSuccess) return kFailure;
        QString back;
        const UT_SharedPtr<CEL_Cel> cel = readCel(path, QString(), QString(), &back);
        const std::unique_ptr<CEL_PixmapAreaRGBA16> area =
            cel ? workingArea(cel.get(), path, false) : nullptr;
        if (!area) return kFailure;
        const int tx = i * tileW;
        over(*sheet, *area, tx + kPad, kLabel + kPad);
        drawLabel(*sheet, tx + kPad, 2, QStringLiteral("%1 %2x%3").arg(QLatin1String(f.code)).arg(w).arg(h));
        QString line = QStringLiteral("wrote %1 (%2, %3x%4, %5 bytes): read back %6x%7")
                           .arg(path, QLatin1String(f.code))
                           .arg(w)
                           .arg(h)
                           .arg(QFileInfo(path).size())
                           .arg(area->width())
                           .arg(area->height());
        if (!back.isNull())
            line += QStringLiteral(", information string \"%1\"").arg(QString(back).remove(QChar(0)));
        print(line);
    }

    // The tiles hold premultiplied colour, as the demo's other pictures.
    const QString path = dir.filePath(QStringLiteral("legacy-formats.png"));
    const UT_SharedPtr<CEL_Cel> out =
        celOf(std::move(sheet), CelOrigin{{4, false}, CELIO_Alpha::Premultiplied, {}});
    if (writeCel(out.get(), path, QStringLiteral("PNG"), QStringLiteral("PNG4")) != kSuccess) return kFailure;
    print(QStringLiteral("wrote %1: %2 legacy files, one labelled tile each").arg(path).arg(count));
    return kSuccess;
}

} // namespace celtool
