// The demo's vector drawing: a figure in four art layers, its head drawn as a
// drawing of its own and merged onto the body (compositeOnTop), stored as
// drawing.qvx beside its palette file, read back like any input, and rendered
// into vector.png: one labelled tile per antialiasing quality, per art, for
// straight and premultiplied colour and a thicker line, and the 16-bit render
// of only the area the drawing covers, on a checkerboard, its rectangle outlined.
#include <QDir>
#include <QFile>
#include <algorithm>
#include <cmath>
#include <memory>

#include "CelFiles.h"
#include "Command.h"
#include "LabelFont.h"
#include "VectorCels.h"
#include "base/FileSpec.h"
#include "base/Mutex.h"
#include "base/QXMaths.h"
#include "cel/Cel.h"
#include "cel/VectorQvd.h"
#include "pixel/PixmapArea.h"
#include "pixel/PixmapCanvas.h"

namespace celtool {

namespace {

using R = CEL_Representation;

constexpr int kTileW = 240, kTileH = 180, kLabel = 12, kColumns = 4, kRows = 3;

// Palette ids of the figure's colours (palette.qvp lists them).
constexpr uint64_t kFur = 0x0000000000000101, kBelly = 0x0000000000000102, kInk = 0x0000000000000103;

GR_ShapeColor colour(uint8_t r, uint8_t g, uint8_t b, uint8_t a = 255, uint64_t id = 0) {
    return GR_ShapeColor{CM_ColorRGBA8{r, g, b, a}, id};
}

// An ellipse of four cubic arcs.
GR_Path ellipse(float cx, float cy, float rx, float ry) {
    constexpr float k = 0.5522847f;
    GR_Path p;
    p.moveTo(cx + rx, cy);
    p.cubicTo(cx + rx, cy + k * ry, cx + k * rx, cy + ry, cx, cy + ry);
    p.cubicTo(cx - k * rx, cy + ry, cx - rx, cy + k * ry, cx - rx, cy);
    p.cubicTo(cx - rx, cy - k * ry, cx - k * rx, cy - ry, cx, cy - ry);
    p.cubicTo(cx + k * rx, cy - ry, cx + rx, cy - k * ry, cx + rx, cy);
    p.close();
    return p;
}

// A filled shape with an ink outline.
GR_Shape inked(const GR_Path& path, const GR_ShapeColor& fill, float width) {
    GR_Shape s;
    s.flags = GR_Shape::Fill | GR_Shape::Stroke;
    s.fill = fill;
    s.stroke = colour(40, 30, 35, 255, kInk);
    s.width = width;
    s.path = path;
    return s;
}

// The body: backdrop (underlay), fills (colour art), outlines (line art) and
// highlights (overlay).
void drawBody(GR_DrawingAccess& d) {
    const int under = d.CreateLayer(GR_UnderlayArtLayer), fills = d.CreateLayer(GR_ColorArtLayer),
              lines = d.CreateLayer(GR_LineArtLayer), over = d.CreateLayer(GR_OverlayArtLayer);
    d.InsertFill(under, ellipse(0, 150, 1700, 1650), colour(175, 205, 240, 200));
    GR_Path ground;
    ground.moveTo(-2400, -1500);
    ground.cubicTo(-1200, -1350, 1200, -1650, 2400, -1450);
    ground.lineTo(2400, -1875);
    ground.lineTo(-2400, -1875);
    ground.close();
    d.InsertFill(under, ground, colour(120, 170, 90, 230));

    const GR_ShapeColor fur = colour(235, 135, 40, 255, kFur), belly = colour(250, 225, 180, 255, kBelly);
    d.InsertFill(fills, ellipse(0, -650, 850, 950), fur);
    d.InsertFill(fills, ellipse(0, -800, 480, 600), belly);
    for (float side : {-1.0f, 1.0f}) {
        d.InsertFill(fills, ellipse(side * 450, -1580, 330, 160), colour(150, 80, 40));
        // An arm, a thick stroke of the fur colour.
        GR_Path arm;
        arm.moveTo(side * 700, -300);
        arm.cubicTo(side * 1100, -500, side * 1250, -800, side * 1150, -1100);
        d.InsertStroke(fills, arm, fur, 220);
    }
    for (const GR_Path& p : {ellipse(0, -650, 850, 950), ellipse(0, -800, 480, 600)})
        d.InsertStroke(lines, p, colour(40, 30, 35, 255, kInk), 45);
    for (float side : {-1.0f, 1.0f})
        d.InsertStroke(lines, ellipse(side * 450, -1580, 330, 160), colour(40, 30, 35, 255, kInk), 40);
    GR_Path shine;
    shine.moveTo(-560, -250);
    shine.cubicTo(-650, -500, -650, -800, -560, -1050);
    d.InsertStroke(over, shine, colour(255, 255, 255, 140), 90);
    GR_Path star;
    star.moveTo(1500, 1300);
    star.lineTo(1560, 1460);
    star.lineTo(1720, 1500);
    star.lineTo(1560, 1540);
    star.lineTo(1500, 1700);
    star.lineTo(1440, 1540);
    star.lineTo(1280, 1500);
    star.lineTo(1440, 1460);
    star.close();
    d.InsertFill(over, star, colour(255, 240, 120, 230));
}

// The head, drawn around its own origin.
void drawHead(GR_DrawingAccess& d) {
    const int fills = d.CreateLayer(GR_ColorArtLayer), lines = d.CreateLayer(GR_LineArtLayer);
    const GR_ShapeColor fur = colour(235, 135, 40, 255, kFur);
    for (float side : {-1.0f, 1.0f}) {
        GR_Path ear;
        ear.moveTo(side * 250, 450);
        ear.lineTo(side * 560, 900);
        ear.lineTo(side * 600, 300);
        ear.close();
        d.InsertShape(fills, inked(ear, fur, 40));
    }
    d.InsertShape(fills, inked(ellipse(0, 0, 640, 560), fur, 45));
    d.InsertShape(fills, inked(ellipse(0, -200, 300, 200), colour(250, 225, 180, 255, kBelly), 30));
    for (float side : {-1.0f, 1.0f}) {
        d.InsertFill(fills, ellipse(side * 230, 130, 120, 150), colour(255, 255, 255));
        d.InsertFill(lines, ellipse(side * 210, 110, 55, 75), colour(20, 20, 30));
    }
    d.InsertFill(lines, ellipse(0, -120, 70, 50), colour(60, 30, 30));
    GR_Path mouth;
    mouth.moveTo(-150, -260);
    mouth.quadTo(0, -360, 150, -260);
    d.InsertStroke(lines, mouth, colour(40, 30, 35, 255, kInk), 30);
}

Math::Matrix4x4 placement(double dx, double dy, double degrees) {
    const double a = QXMaths::convertDegreesToRadians(degrees);
    Math::Matrix4x4 turn;
    turn(0, 0) = std::cos(a), turn(0, 1) = -std::sin(a);
    turn(1, 0) = std::sin(a), turn(1, 1) = std::cos(a);
    return Math::Matrix4x4::translation(dx, dy) * turn;
}

// ------------------------------------------------------------------ the sheet

void fillRect(CEL_PixmapRGBA8& p, int x0, int y0, int w, int h, const CEL_PixelRGBA8& c) {
    for (int y = y0; y < y0 + h; ++y)
        for (int x = x0; x < x0 + w; ++x)
            if (CEL_PixelRGBA8* d = p.pixel(x, y)) *d = c;
}

void checkerboard(CEL_PixmapRGBA8& p, int x0, int y0) {
    for (int y = 0; y < kTileH; ++y)
        for (int x = 0; x < kTileW; ++x) {
            const uint8_t v = ((x / 10 + y / 10) % 2) ? 200 : 160;
            if (CEL_PixelRGBA8* d = p.pixel(x0 + x, y0 + y)) *d = CEL_PixelRGBA8{v, v, v, 255};
        }
}

// Premultiplied 8-bit pixels laid over the tile by the over operation; with
// `ignoreAlpha` the colour values are shown as they are, over black.
void place(CEL_PixmapRGBA8& sheet, int x0, int y0, const CEL_PixmapRGBA8& tile, bool ignoreAlpha) {
    for (int y = 0; y < tile.height(); ++y)
        for (int x = 0; x < tile.width(); ++x) {
            CEL_PixelRGBA8* d = sheet.pixel(x0 + x, y0 + y);
            const CEL_PixelRGBA8& s = *tile.pixel(x, y);
            if (!d) continue;
            if (ignoreAlpha) {
                *d = CEL_PixelRGBA8{s.r, s.g, s.b, 255};
                continue;
            }
            const int k = 255 - s.a;
            d->r = uint8_t(std::min(255, s.r + d->r * k / 255));
            d->g = uint8_t(std::min(255, s.g + d->g * k / 255));
            d->b = uint8_t(std::min(255, s.b + d->b * k / 255));
        }
}

struct Tile {
    QString label;
    int quality = 3;
    unsigned arts = GR_ArtSelector::AllArt;
    bool straight = false;
    double thickness = 1.0;
    bool showValues = false; // colour values over black, alpha ignored
};

} // namespace

int demoVector(const QString& outDir) {
    const QDir dir(outDir);
    // The palette beside the drawing: the fur is listed a shade redder than stored.
    CM_PaletteList palette;
    palette.setColor(kFur, CM_ColorRGBA8{225, 105, 35, 255}, QStringLiteral("fur"));
    palette.setColor(kBelly, CM_ColorRGBA8{250, 225, 180, 255}, QStringLiteral("belly"));
    palette.setColor(kInk, CM_ColorRGBA8{40, 30, 35, 255}, QStringLiteral("ink"));
    const QString palettePath = dir.filePath(QLatin1String(CM_PaletteManager::kPaletteFileName));
    if (!palette.store(palettePath)) {
        error(QStringLiteral("demo: cannot write %1").arg(palettePath));
        return kFailure;
    }

    CELVEC_Qvd body, head;
    GR_DrawingAccess bodyAccess(*body.getDrawingObject()), headAccess(*head.getDrawingObject());
    drawBody(bodyAccess);
    drawHead(headAccess);
    if (!body.compositeOnTop(&head, placement(0, 850, -8))) {
        error(QStringLiteral("demo: the head could not be merged onto the body"));
        return kFailure;
    }
    body.compositeEnd(true);
    const QString path = dir.filePath(QStringLiteral("drawing.qvx"));
    {
        PL_AppLock::PaletteLock lock;
        if (!body.StoreToFile(PL_FileSpec(path), 0)) {
            error(QStringLiteral("demo: cannot write %1").arg(path));
            return kFailure;
        }
    }
    QFile::remove(path + QStringLiteral(".bak")); // a previous demo's drawing

    // Read back as any input is, with the palette of its folder.
    const UT_SharedPtr<CEL_Cel> cel = readCel(path);
    const CEL_SharedPtr<CELVEC_Qvd> read = cel ? cel->findBestVectorRepresentation() : nullptr;
    if (!read || read->getDrawingObject()->StoreToBytes(0) != body.getDrawingObject()->StoreToBytes(0)) {
        error(QStringLiteral("demo: %1 did not read back as written").arg(path));
        return kFailure;
    }
    print(QStringLiteral("wrote %1: %2 shapes in %3 layers (head merged onto body), palette %4")
              .arg(path)
              .arg(read->getDrawingObject()->shapeCount())
              .arg(read->getDrawingObject()->layers().size())
              .arg(palettePath));

    const std::vector<Tile> tiles = {
        {QStringLiteral("quality 0: aliased"), 0},
        {QStringLiteral("quality 2"), 2},
        {QStringLiteral("quality 3 (default)"), 3},
        {QStringLiteral("quality 4: 16-bit"), 4},
        {QStringLiteral("underlay art"), 3, GR_ArtSelector::UnderlayArt},
        {QStringLiteral("colour art"), 3, GR_ArtSelector::ColorArt},
        {QStringLiteral("line art"), 3, GR_ArtSelector::LineArt},
        {QStringLiteral("overlay art"), 3, GR_ArtSelector::OverlayArt},
        {QStringLiteral("premultiplied values"), 3, GR_ArtSelector::AllArt, false, 1.0, true},
        {QStringLiteral("straight values"), 3, GR_ArtSelector::AllArt, true, 1.0, true},
        {QStringLiteral("thickness 2.5"), 3, GR_ArtSelector::AllArt, false, 2.5},
    };
    auto* sheet = new CEL_PixmapRGBA8(kColumns * (kTileW + 4), kRows * (kTileH + kLabel + 4));
    UT_SharedPtr<CEL_Cel> out(new CEL_Cel(R::PIXMAP_RGBA8));
    out->addRepresentation(UT_SharedPtr<R>(sheet));
    if (!sheet->data()) return kFailure;
    std::fill(sheet->data(), sheet->data() + (long long)sheet->width() * sheet->height(),
              CEL_PixelRGBA8{32, 32, 32, 255});
    const auto origin = [](int i) {
        return std::pair{(i % kColumns) * (kTileW + 4) + 2, (i / kColumns) * (kTileH + kLabel + 4) + 2};
    };
    for (std::size_t i = 0; i < tiles.size(); ++i) {
        const Tile& t = tiles[i];
        const auto [tx, ty] = origin(int(i));
        const std::unique_ptr<CELVEC_Qvd> v(read->sharedCopy());
        v->setResolution(kTileW, kTileH);
        v->setAntialiasingParam(CELVEC_Qvd::AntialiasQuality(t.quality), 1.0, v->textureFilter());
        v->setArtSelector(GR_ArtSelector(t.arts));
        v->setPremultiply(!t.straight);
        GR_RichLineStyleRenderingParams style;
        style.setThicknessScale(t.thickness);
        v->setRichLineStyleParameters(style);
        const std::unique_ptr<CEL_PixmapRGBA8> picture(
            dynamic_cast<CEL_PixmapRGBA8*>(v->convertTo(R::PIXMAP_RGBA8)));
        if (!picture) return kFailure;
        checkerboard(*sheet, tx, ty + kLabel);
        place(*sheet, tx, ty + kLabel, *picture, t.showValues);
        drawLabel(*sheet, tx + 1, ty + 2, t.label, kTileW - 2, CEL_PixelRGBA8{235, 235, 235, 255});
    }

    // The area render: only the drawing's box, in 16 bits, placed on the canvas.
    const auto [ax, ay] = origin(int(tiles.size()));
    const std::unique_ptr<CELVEC_Qvd> v(read->sharedCopy());
    v->setResolution(kTileW, kTileH);
    v->setArtSelector(GR_ArtSelector(GR_ArtSelector::ColorArt | GR_ArtSelector::LineArt));
    const std::unique_ptr<CEL_PixmapAreaRGBA16> area(
        dynamic_cast<CEL_PixmapAreaRGBA16*>(v->convertTo(R::PIXMAP_AREA_RGBA16)));
    if (!area) return kFailure;
    checkerboard(*sheet, ax, ay + kLabel);
    const Math::Box2di a = area->allocatedRect();
    CEL_PixmapRGBA8 eight(a.w(), a.h());
    for (int y = 0; y < a.h(); ++y)
        for (int x = 0; x < a.w(); ++x) {
            const CEL_PixelRGBA16& s = *area->pixel(a.x1() + x, a.y1() + y);
            *eight.pixel(x, y) = CEL_PixelRGBA8{CEL_PixelRule::to8(s.r), CEL_PixelRule::to8(s.g),
                                                CEL_PixelRule::to8(s.b), CEL_PixelRule::to8(s.a)};
        }
    place(*sheet, ax + a.x1(), ay + kLabel + a.y1(), eight, false);
    const CEL_PixelRGBA8 red{230, 40, 40, 255};
    fillRect(*sheet, ax + a.x1(), ay + kLabel + a.y1(), a.w(), 1, red);
    fillRect(*sheet, ax + a.x1(), ay + kLabel + a.y2() - 1, a.w(), 1, red);
    fillRect(*sheet, ax + a.x1(), ay + kLabel + a.y1(), 1, a.h(), red);
    fillRect(*sheet, ax + a.x2() - 1, ay + kLabel + a.y1(), 1, a.h(), red);
    drawLabel(*sheet, ax + 1, ay + 2,
              QStringLiteral("area %1,%2 %3x%4").arg(a.x1()).arg(a.y1()).arg(a.w()).arg(a.h()), kTileW - 2,
              CEL_PixelRGBA8{235, 235, 235, 255});

    const QString png = dir.filePath(QStringLiteral("vector.png"));
    if (writeCel(out.get(), png, QStringLiteral("PNG"), QString()) != kSuccess) return kFailure;
    print(QStringLiteral("wrote %1: %2 renders of the drawing, one labelled tile each")
              .arg(png)
              .arg(tiles.size() + 1));
    return kSuccess;
}

} // namespace celtool
