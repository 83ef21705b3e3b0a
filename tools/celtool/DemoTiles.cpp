// The demo's bitmap layer: a picture of three discs on a 1000 x 600 canvas cut
// into a layer of 256 x 256 tiles, drawn at half size with the allocated tiles
// outlined and the empty ones hatched, beside one tile kept as JPEG data by the
// bitmap engine at quality 90, 50 and 10 and loaded back, with its bytes:
// tiles.png.
#include <QDir>
#include <algorithm>
#include <cmath>
#include <memory>

#include "CelFiles.h"
#include "Command.h"
#include "TileIndex.h"
#include "base/Bitmap.h"
#include "base/BitmapSystem.h"
#include "cel/Cel.h"
#include "celio/BitmapConversion.h"
#include "celio/Manager.h"
#include "pixel/PixmapArea.h"

namespace celtool {

namespace {

using Pixmap = CEL_PixmapAreaRGBA16;

constexpr int kW = 1000, kH = 600;
constexpr int kLabel = 12, kGap = 8;
constexpr int kShown = BM_TiledBitmapRgba32::TileSize; // JPEG tiles at full size

int16_t q(double v) {
    return int16_t(std::lround(std::clamp(v, 0.0, 1.0) * 32767.0));
}

// Three soft discs, premultiplied, leaving some of the layer's tiles empty.
std::unique_ptr<Pixmap> demoPicture() {
    auto p = std::make_unique<Pixmap>(kW, kH);
    if (!p->realloc(Math::Box2di(0, 0, kW, kH), false)) return nullptr;
    struct Disc {
        double cx, cy, r, red, green, blue;
    };
    const Disc discs[] = {
        {250, 200, 150, 0.95, 0.45, 0.15}, {780, 420, 120, 0.2, 0.55, 0.9}, {560, 90, 40, 0.3, 0.85, 0.35}};
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            CEL_PixelRGBA16& d = *p->pixel(x, y);
            d = CEL_PixelRGBA16{0, 0, 0, 0};
            for (const Disc& c : discs) {
                const double dist = std::hypot(x + 0.5 - c.cx, y + 0.5 - c.cy);
                const double a = std::clamp(c.r - dist + 0.5, 0.0, 1.0) * (0.6 + 0.4 * (1.0 - dist / c.r));
                if (a <= 0) continue;
                const double shade = 0.7 + 0.3 * (1.0 - (x - c.cx + y - c.cy) / (2 * c.r));
                d = CEL_PixelRGBA16{q(a * c.red * shade), q(a * c.green * shade), q(a * c.blue * shade),
                                    q(a)};
            }
        }
    return p;
}

CEL_PixelRGBA16 from8(int r, int g, int b) {
    return CEL_PixelRGBA16{int16_t(r * 32767 / 255), int16_t(g * 32767 / 255), int16_t(b * 32767 / 255),
                           32767};
}

// Straight 8-bit colour over an opaque 8-bit background.
CEL_PixelRGBA16 over(const BM_PixelRgba32& s, int bg) {
    const auto one = [&](int c) { return (c * s.a + bg * (255 - s.a) + 127) / 255; };
    return from8(one(s.r), one(s.g), one(s.b));
}

// The layer at half size at (x0, y0): pixels over a checkerboard, allocated
// tiles outlined, empty tiles hatched.
void drawLayer(Pixmap& sheet, int x0, int y0, const BM_TiledBitmapRgba32& layer) {
    const Math::Box2di b = layer.bounds();
    for (int y = 0; y < b.h() / 2; ++y)
        for (int x = 0; x < b.w() / 2; ++x) {
            const int lx = b.x1() + 2 * x, ly = b.y1() + 2 * y;
            const int column = (lx - b.x1()) / BM_TiledBitmapRgba32::TileSize,
                      row = (ly - b.y1()) / BM_TiledBitmapRgba32::TileSize;
            CEL_PixelRGBA16* d = sheet.pixel(x0 + x, y0 + y);
            if (!d) continue;
            if (!layer.isTileAllocated(column, row)) {
                *d = (x + y) % 8 == 0 ? from8(150, 150, 150) : from8(70, 70, 70);
                continue;
            }
            const Math::Box2di r = layer.tileRect(column, row);
            if (lx - r.x1() < 2 || ly - r.y1() < 2 || r.x2() - lx <= 2 || r.y2() - ly <= 2) {
                *d = from8(230, 40, 40);
                continue;
            }
            const int checker = ((x / 8) + (y / 8)) % 2 ? 205 : 245;
            *d = over(layer.pixel(lx, ly), checker);
        }
}

} // namespace

int demoTiles(const QString& outDir) {
    CELIO_Manager::getInstance(); // registers the bitmap engine
    const BM_SystemEngineI* engine = BM_System::engine();
    std::unique_ptr<Pixmap> picture = demoPicture();
    if (!engine || !picture) return kFailure;
    const Math::Box2di bounds(-kW / 2, -kH / 2, kW, kH);
    const UT_SharedPtr<BM_TiledBitmapRgba32> layer =
        CEL_Conversion::convertToBitmapLayer(UT_SharedPtr<Pixmap>(picture.release()), bounds);
    if (!layer) return kFailure;
    const int tiles = layer->columns() * layer->rows();
    print(QStringLiteral("bitmap layer of a %1x%2 canvas: %3 of %4 tiles of %5 allocated")
              .arg(kW)
              .arg(kH)
              .arg(layer->allocatedTileCount())
              .arg(tiles)
              .arg(BM_TiledBitmapRgba32::TileSize));

    const int gridW = kW / 2, gridH = kH / 2;
    const int jpegW = 3 * kShown + 2 * kGap;
    const int w = std::max(gridW, jpegW) + 2 * kGap, h = 2 * (kLabel + kGap) + gridH + kShown + kGap;
    auto sheet = std::make_unique<Pixmap>(w, h);
    if (!sheet->realloc(Math::Box2di(0, 0, w, h), false)) return kFailure;
    std::fill(sheet->data(), sheet->data() + sheet->allocatedArea(), from8(20, 20, 28));
    drawLabel(*sheet, kGap, 3,
              QStringLiteral("layer %1x%2, %3 of %4 tiles")
                  .arg(kW)
                  .arg(kH)
                  .arg(layer->allocatedTileCount())
                  .arg(tiles));
    drawLayer(*sheet, kGap, kLabel, *layer);

    // The top-left tile kept as JPEG (alpha dropped: transparent pixels show black).
    const BM_PixelRgba32* pixels = layer->tile(0, 0);
    if (!pixels) return kFailure;
    const Math::Box2di rect = layer->tileRect(0, 0);
    const BM_UncompressedBitmap tile(BM_Bitmap::RGBA32, rect, const_cast<BM_PixelRgba32*>(pixels),
                                     rect.w() * 4LL);
    const int y0 = kLabel + gridH + kGap;
    int x0 = kGap;
    for (const unsigned quality : {90u, 50u, 10u}) {
        BM_StoredBitmap stored;
        if (!engine->store(tile, quality, stored)) return kFailure;
        const std::unique_ptr<BM_Bitmap> loaded(engine->load(stored, 0));
        const auto* back = dynamic_cast<const BM_UncompressedBitmap*>(loaded.get());
        if (!back || !back->isValid() || back->layout() != BM_Bitmap::RGBA32 || back->width() != rect.w() ||
            back->height() != rect.h())
            return kFailure;
        int worst = 0;
        for (int y = 0; y < rect.h(); ++y) {
            const auto* row = back->rowAs<BM_PixelRgba32>(back->bounds().y1() + y);
            for (int x = 0; x < rect.w(); ++x) {
                const BM_PixelRgba32 s = pixels[(long long)y * rect.w() + x], g = row[x];
                worst = std::max({worst, std::abs(s.r - g.r), std::abs(s.g - g.g), std::abs(s.b - g.b)});
                if (CEL_PixelRGBA16* d = sheet->pixel(x0 + x, y0 + kLabel + y)) *d = from8(g.r, g.g, g.b);
            }
        }
        drawLabel(*sheet, x0, y0 + 3, QStringLiteral("JPEG q%1: %2 bytes").arg(quality).arg(stored.size()));
        print(
            QStringLiteral("tile 0,0 kept as JPEG at quality %1: %2 bytes (raw %3), largest channel error %4")
                .arg(quality)
                .arg(stored.size())
                .arg(rect.area() * 4)
                .arg(worst));
        x0 += kShown + kGap;
    }

    const UT_SharedPtr<CEL_Cel> cel =
        celOf(std::move(sheet), CelOrigin{{4, false}, CELIO_Alpha::Premultiplied, {}});
    const QString path = QDir(outDir).filePath(QStringLiteral("tiles.png"));
    if (writeCel(cel.get(), path, QStringLiteral("PNG"), QStringLiteral("PNG4")) != kSuccess) return kFailure;
    print(QStringLiteral("wrote %1").arg(path));
    return kSuccess;
}

} // namespace celtool
