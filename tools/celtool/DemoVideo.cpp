// The demo's video frames: colour bars with the demo's first frame laid over
// them, written as a PAL and a YUV frame (video/bars.pal, video/bars.yuv) and
// read back; two moving frames of the sequence written as the two fields of
// one PAL frame (video/fields.pal). video-sheet.png shows the source, both
// decoded frames (half size), a 4x crop of a colour edge in the source and in
// the PAL frame (the chroma shared by pixel pairs and filtered along the row
// softens it), and the interlaced frame with a 2x crop where the two fields
// disagree: its rows alternate between the two moments.
#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <memory>

#include "CelFiles.h"
#include "Command.h"
#include "algo/filters/Transform.h"
#include "cel/Cel.h"
#include "pixel/PixmapArea.h"
#include "pixel/PixmapCanvas.h"

namespace celtool {

namespace {

using Area = CEL_PixmapAreaRGBA16;
using AreaPtr = std::unique_ptr<Area>;

constexpr int kW = 720, kH = 540; // the source fits both frames' square-pixel sizes
constexpr int kPad = 8, kLabel = 14;

AreaPtr newArea(int w, int h, CEL_PixelRGBA16 fill) {
    auto a = std::make_unique<Area>(w, h);
    if (!a->realloc(Math::Box2di(0, 0, w, h), false)) return nullptr;
    std::fill(a->data(), a->data() + size_t(w) * h, fill);
    return a;
}

CEL_PixelRGBA16 grey(int v) {
    const int16_t c = CEL_PixelRule::from8(uint8_t(v));
    return CEL_PixelRGBA16{c, c, c, 32767};
}

// src (premultiplied) over dst, src's allocated pixels at (x0, y0) plus their offset.
void over(Area& dst, const Area& src, int x0, int y0) {
    const Math::Box2di box = src.allocatedRect();
    for (int y = box.y1(); y < box.y2(); ++y)
        for (int x = box.x1(); x < box.x2(); ++x) {
            const CEL_PixelRGBA16* s = src.pixel(x, y);
            CEL_PixelRGBA16* d = dst.pixel(x0 + x, y0 + y);
            if (!s || !d) continue;
            const int k = 32767 - std::clamp<int>(s->a, 0, 32767);
            const auto mix = [k](int16_t sv, int16_t dv) {
                return int16_t(std::clamp(sv + (dv * k + 16383) / 32767, -32767, 32767));
            };
            *d = CEL_PixelRGBA16{mix(s->r, d->r), mix(s->g, d->g), mix(s->b, d->b), mix(s->a, d->a)};
        }
}

// Seven bars of 75% colour over the top two thirds, a grey ramp below, and
// the frame, twice its size, over both.
AreaPtr barsWithFrame(const Area& frame) {
    AreaPtr a = newArea(kW, kH, grey(16));
    if (!a) return nullptr;
    static const uint8_t bars[7][3] = {{191, 191, 191}, {191, 191, 0}, {0, 191, 191}, {0, 191, 0},
                                       {191, 0, 191},   {191, 0, 0},   {0, 0, 191}};
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            CEL_PixelRGBA16& p = *a->pixel(x, y);
            if (y < kH * 2 / 3) {
                const uint8_t* c = bars[x * 7 / kW];
                p = CEL_PixelRGBA16{CEL_PixelRule::from8(c[0]), CEL_PixelRule::from8(c[1]),
                                    CEL_PixelRule::from8(c[2]), 32767};
            } else {
                p = grey(16 + x * 219 / (kW - 1));
            }
        }
    const std::unique_ptr<Area> big(
        CelAlgo::scale(&frame, unsigned(frame.width() * 2), unsigned(frame.height() * 2), -1, -1, -1, -1));
    over(*a, *big, (kW - big->width()) / 2, kH - big->height() - 24);
    return a;
}

// The frame, three times its size, over a dark backdrop: one field's picture.
AreaPtr fieldPicture(const Area& frame) {
    const int w = frame.width() * 3, h = frame.height() * 3;
    AreaPtr a = newArea(w, h, CEL_PixelRGBA16{2000, 3000, 6000, 32767});
    if (!a) return nullptr;
    const std::unique_ptr<Area> big(CelAlgo::scale(&frame, unsigned(w), unsigned(h), -1, -1, -1, -1));
    over(*a, *big, 0, 0);
    return a;
}

UT_SharedPtr<CEL_Cel> opaqueCel(AreaPtr pixels) {
    return celOf(std::move(pixels), CelOrigin{{3, false}, CELIO_Alpha::Premultiplied, {}});
}

// The pixels of a file the demo wrote, premultiplied, or null after a message.
AreaPtr readBack(const QString& path) {
    const UT_SharedPtr<CEL_Cel> cel = readCel(path, QString(), QString());
    return cel ? workingArea(cel.get(), path, false) : nullptr;
}

// src scaled by `factor` (area resampling) at (x0, y0) on the sheet.
void placeScaled(Area& sheet, const Area& src, double factor, int x0, int y0) {
    const auto w = unsigned(src.width() * factor), h = unsigned(src.height() * factor);
    const std::unique_ptr<Area> small(CelAlgo::scale(&src, w, h, -1, -1, -1, -1));
    over(sheet, *small, x0, y0);
}

// The w x h crop of src at (cx, cy), each pixel repeated `factor` times, at (x0, y0).
void placeCrop(Area& sheet, const Area& src, int cx, int cy, int w, int h, int factor, int x0, int y0) {
    for (int y = 0; y < h * factor; ++y)
        for (int x = 0; x < w * factor; ++x) {
            const CEL_PixelRGBA16* s = src.pixel(cx + x / factor, cy + y / factor);
            CEL_PixelRGBA16* d = sheet.pixel(x0 + x, y0 + y);
            if (s && d) *d = *s;
        }
}

} // namespace

int demoVideo(const QString& outDir) {
    const QDir dir(outDir);
    if (!QDir().mkpath(dir.filePath(QStringLiteral("video")))) {
        error(QStringLiteral("cannot create %1").arg(dir.filePath(QStringLiteral("video"))));
        return kFailure;
    }
    const AreaPtr frame1 = readBack(dir.filePath(QStringLiteral("frame-0001.tga")));
    const AreaPtr frame2 = readBack(dir.filePath(QStringLiteral("frame-0002.tga")));
    if (!frame1 || !frame2) return kFailure;

    // The bars as a PAL and a YUV frame, read back at their square-pixel sizes.
    AreaPtr source = barsWithFrame(*frame1);
    if (!source) return kFailure;
    const UT_SharedPtr<CEL_Cel> sourceCel = opaqueCel(AreaPtr(source->clone()));
    AreaPtr decoded[2];
    const char* names[2] = {"video/bars.pal", "video/bars.yuv"};
    for (int i = 0; i < 2; ++i) {
        const QString path = dir.filePath(QLatin1String(names[i]));
        if (writeCel(sourceCel.get(), path, WriteOptions{}) != kSuccess) return kFailure;
        decoded[i] = readBack(path);
        if (!decoded[i]) return kFailure;
        print(QStringLiteral("wrote %1 (%2x%3 picture, %4 bytes): read back %5x%6")
                  .arg(path)
                  .arg(kW)
                  .arg(kH)
                  .arg(QFileInfo(path).size())
                  .arg(decoded[i]->width())
                  .arg(decoded[i]->height()));
    }

    // Two moments of the sequence as the two fields of one PAL frame.
    const UT_SharedPtr<CEL_Cel> field1 = opaqueCel(fieldPicture(*frame1));
    const UT_SharedPtr<CEL_Cel> field2 = opaqueCel(fieldPicture(*frame2));
    const QString fieldsPath = dir.filePath(QStringLiteral("video/fields.pal"));
    if (writeCombined(field1.get(), field2.get(), fieldsPath, WriteOptions{}, false) != kSuccess)
        return kFailure;
    const AreaPtr fields = readBack(fieldsPath);
    if (!fields) return kFailure;
    print(QStringLiteral("wrote %1: frames 1 and 2 as the two fields of one frame").arg(fieldsPath));

    // The sheet: three pictures at half size over the crops and the interlaced frame.
    const int halfH = 576 / 2, topRow = kLabel + halfH + kPad;
    const int cropW = 48, cropH = 36, crop = 4, fieldCrop = 100;
    const int columns[3] = {kPad, kPad + kW / 2 + kPad, kPad + kW / 2 + kPad + 768 / 2 + kPad};
    const int sheetW = columns[2] + kW / 2 + kPad;
    const int bottom = topRow + kLabel + std::max(cropH * crop, 576 / 2);
    const AreaPtr sheet = newArea(sheetW, bottom + kPad, grey(40));
    if (!sheet) return kFailure;
    const Area* tops[3] = {source.get(), decoded[0].get(), decoded[1].get()};
    const QString topLabels[3] = {QStringLiteral("source 720x540"), QStringLiteral("PAL read 768x576"),
                                  QStringLiteral("YUV read 720x540")};
    for (int i = 0; i < 3; ++i) {
        placeScaled(*sheet, *tops[i], 0.5, columns[i], kLabel + (halfH - tops[i]->height() / 2) / 2);
        drawLabel(*sheet, columns[i], 3, topLabels[i]);
    }
    // The edge between the green and the magenta bar (x = 411 in the source,
    // 24 columns further right in the PAL picture, whose canvas is wider).
    const int edgeX = kW * 4 / 7, edgeY = 100;
    int x = kPad;
    placeCrop(*sheet, *source, edgeX - cropW / 2, edgeY, cropW, cropH, crop, x, topRow + kLabel);
    drawLabel(*sheet, x, topRow + 3, QStringLiteral("source 4x"));
    x += cropW * crop + kPad;
    placeCrop(*sheet, *decoded[0], edgeX + 24 - cropW / 2, edgeY + 18, cropW, cropH, crop, x,
              topRow + kLabel);
    drawLabel(*sheet, x, topRow + 3, QStringLiteral("PAL 4x: chroma"));
    x += cropW * crop + kPad;
    placeScaled(*sheet, *fields, 0.5, x, topRow + kLabel);
    drawLabel(*sheet, x, topRow + 3, QStringLiteral("two fields"));
    x += 768 / 2 + kPad;
    // Where the disc moved between the fields: the field pictures (480x288)
    // sit at (144, 144) of the 768x576 frame, and the disc's right edge moved
    // from about x = 172 to 234 in them, a little below their middle.
    const int fx = 144 + 146, fy = 144 + 106;
    placeCrop(*sheet, *fields, fx, fy, fieldCrop, fieldCrop, 2, x, topRow + kLabel);
    drawLabel(*sheet, x, topRow + 3, QStringLiteral("fields 2x"));

    const QString path = dir.filePath(QStringLiteral("video-sheet.png"));
    const UT_SharedPtr<CEL_Cel> out = opaqueCel(AreaPtr(sheet->clone()));
    if (writeCel(out.get(), path, QStringLiteral("PNG"), QString()) != kSuccess) return kFailure;
    print(
        QStringLiteral("wrote %1: the source, its PAL and YUV frames read back, a colour edge and two fields")
            .arg(path));
    return kSuccess;
}

} // namespace celtool
