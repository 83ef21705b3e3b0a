// The demo's render cache: the frame sequence, enlarged, moved into a cache of
// one megabyte, which holds only some of the frames; the others stay in
// memory. Every frame is then asked for its pixels again (read back from its
// proxy file where it has one) and laid on proxy-sheet.png, labelled with its
// proxy file or "kept: cache full".
#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <memory>

#include "CelFiles.h"
#include "Command.h"
#include "cel/Cel.h"
#include "cel/Proxy.h"
#include "pixel/PixmapArea.h"

namespace celtool {

namespace {

using R = CEL_Representation;
using Pixmap = CEL_PixmapAreaRGBA16;

constexpr int kScale = 3;  // frames are enlarged so that the cache cannot take them all
constexpr int kLabel = 12; // label band above each tile
constexpr int kColumns = 3;

// The frame (premultiplied) enlarged kScale times by repeating pixels,
// cropped to its content as the cache stores it.
UT_SharedPtr<CEL_Cel> enlarged(const Pixmap& frame) {
    const int w = frame.width() * kScale, h = frame.height() * kScale;
    auto big = std::make_unique<Pixmap>(w, h);
    if (!big->realloc(Math::Box2di(0, 0, w, h), true)) return {};
    const Math::Box2di a = frame.allocatedRect();
    for (int y = a.y1() * kScale; y < a.y2() * kScale; ++y)
        for (int x = a.x1() * kScale; x < a.x2() * kScale; ++x)
            if (CEL_PixelRGBA16* d = big->pixel(x, y)) *d = *frame.pixel(x / kScale, y / kScale);
    UT_SharedPtr<CEL_Cel> full(new CEL_Cel(R::PIXMAP_AREA_RGBA16));
    full->addRepresentation(UT_SharedPtr<R>(big.release()));
    // Through the canvas pixmap, whose conversion crops to the content.
    const UT_SharedPtr<R> canvas = full->convertTo(R::PIXMAP_RGBA16);
    UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(R::PIXMAP_AREA_RGBA16));
    if (CEL_Representation* cropped = canvas ? canvas->convertTo(R::PIXMAP_AREA_RGBA16) : nullptr)
        cel->addRepresentation(UT_SharedPtr<R>(cropped));
    return cel->repCount() ? cel : UT_SharedPtr<CEL_Cel>();
}

bool sameArea(const Pixmap* a, const Pixmap* b) {
    if (!a || !b || a->allocatedRect() != b->allocatedRect() || a->canvasRect() != b->canvasRect())
        return false;
    const auto same = [](const CEL_PixelRGBA16& p, const CEL_PixelRGBA16& q) {
        return p.r == q.r && p.g == q.g && p.b == q.b && p.a == q.a;
    };
    return std::equal(a->data(), a->data() + a->allocatedArea(), b->data(), same);
}

} // namespace

int demoProxy(const QString& outDir) {
    const QDir dir(outDir);
    const QStringList frames = dir.entryList({QStringLiteral("frame-*.tga")}, QDir::Files, QDir::Name);
    const QString cacheRoot = dir.filePath(QStringLiteral("cache"));
    if (frames.isEmpty() || !QDir().mkpath(cacheRoot)) {
        error(QStringLiteral("no frames to cache in %1").arg(outDir));
        return kFailure;
    }
    // One megabyte: room for some of the frames only.
    auto proxies =
        std::make_unique<CEL_ProxyManager>(QFileInfo(cacheRoot).absoluteFilePath() + QStringLiteral(";1"));
    if (proxies->cacheLocationManager().locations().empty()) return kFailure;

    struct Entry {
        UT_SharedPtr<CEL_Cel> cel;
        std::unique_ptr<Pixmap> original; // to check what comes back
        QString label;
    };
    std::vector<Entry> entries;
    for (const QString& name : frames) {
        // The frames hold straight colour: premultiplied, as the library keeps pixels.
        const UT_SharedPtr<CEL_Cel> read = readCel(dir.filePath(name), QString(), QString());
        const auto frame = read ? workingArea(read.get(), dir.filePath(name), false) : nullptr;
        Entry e;
        e.cel = frame ? enlarged(*frame) : UT_SharedPtr<CEL_Cel>();
        if (!e.cel) return kFailure;
        e.original.reset(dynamic_cast<Pixmap*>(e.cel->findRepresentation(R::PIXMAP_AREA_RGBA16)->clone()));
        if (proxies->toProxy(*e.cel)) {
            const auto* proxy = dynamic_cast<const CEL_Proxy*>(e.cel->findRepresentation(R::PROXY).get());
            e.label = QFileInfo(proxy->getCacheLocationAccess()->filePath()).fileName();
        } else {
            e.label = QStringLiteral("kept: cache full");
        }
        print(QStringLiteral("%1 (%2x%3 pixels stored): %4")
                  .arg(name)
                  .arg(e.original->allocatedWidth())
                  .arg(e.original->allocatedHeight())
                  .arg(e.label));
        entries.push_back(std::move(e));
    }
    const auto& location = *proxies->cacheLocationManager().locations()[0];
    print(QStringLiteral("cache %1: %2 of %3 bytes in use")
              .arg(location.directory())
              .arg(location.reservedBytes())
              .arg(location.capacity()));

    // Every frame asked for its pixels again, laid on the sheet.
    const int tileW = entries.front().original->width(), tileH = entries.front().original->height();
    const int rows = int(entries.size() + kColumns - 1) / kColumns;
    auto sheet = std::make_unique<Pixmap>(kColumns * tileW, rows * (tileH + kLabel));
    if (!sheet->realloc(Math::Box2di(0, 0, kColumns * tileW, rows * (tileH + kLabel)), false))
        return kFailure;
    std::fill(sheet->data(), sheet->data() + sheet->allocatedArea(),
              CEL_PixelRGBA16{2500, 2500, 3500, 32767});
    int exact = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
        const auto back = UT_dynamicCast<Pixmap>(entries[i].cel->convertTo(R::PIXMAP_AREA_RGBA16));
        exact += sameArea(back.get(), entries[i].original.get());
        const int x0 = int(i % kColumns) * tileW, y0 = int(i / kColumns) * (tileH + kLabel);
        if (back) {
            const Math::Box2di a = back->allocatedRect();
            for (int y = a.y1(); y < a.y2(); ++y)
                for (int x = a.x1(); x < a.x2(); ++x) {
                    // The frame over the sheet's background (premultiplied over).
                    const CEL_PixelRGBA16 s = *back->pixel(x, y);
                    CEL_PixelRGBA16* d = sheet->pixel(x0 + x, y0 + kLabel + y);
                    if (!d) continue;
                    const int inv = 32767 - s.a;
                    *d = CEL_PixelRGBA16{int16_t(s.r + d->r * inv / 32767), int16_t(s.g + d->g * inv / 32767),
                                         int16_t(s.b + d->b * inv / 32767), 32767};
                }
        }
        drawLabel(*sheet, x0 + 3, y0 + 3, entries[i].label);
    }
    proxies.reset();
    entries.clear(); // the proxies die: their files and the cache folder go

    const UT_SharedPtr<CEL_Cel> sheetCel =
        celOf(std::move(sheet), CelOrigin{{4, false}, CELIO_Alpha::Premultiplied, {}});
    const QString path = dir.filePath(QStringLiteral("proxy-sheet.png"));
    if (writeCel(sheetCel.get(), path, QStringLiteral("PNG"), QStringLiteral("PNG4")) != kSuccess)
        return kFailure;
    QDir(cacheRoot).removeRecursively();
    print(QStringLiteral("wrote %1: %2 of %3 frames came back exactly from the cache or memory")
              .arg(path)
              .arg(exact)
              .arg(frames.size()));
    return exact == int(frames.size()) ? kSuccess : kFailure;
}

} // namespace celtool
