#include "Thumbnails.h"

#include <QFileInfo>
#include <algorithm>

#include "CelFiles.h"
#include "Command.h"
#include "LabelFont.h"
#include "algo/composite/AlgoException.h"
#include "cel/Cel.h"
#include "pixel/PixmapArea.h"
#include "pixel/PixmapCanvas.h"
#include "pixel/PixmapThumbNail.h"

namespace celtool {

namespace {

constexpr int kPad = 6;         // around each thumbnail box
constexpr int kLabelSpace = 11; // below it: the label and its spacing
constexpr CEL_PixelRGBA8 kSheet{48, 48, 48, 255};
constexpr CEL_PixelRGBA8 kText{225, 225, 225, 255};

} // namespace

int fittingThumbnailSize(int w, int h, int boxW, int boxH) {
    int lo = 0, hi = std::max(boxW, boxH);
    while (lo < hi) { // the sizes grow with N: the largest that fits
        const int mid = lo + (hi - lo + 1) / 2;
        int tw = 0, th = 0;
        CEL_PixmapRGBA8ThumbNail::computeThumbNailResolutionFromOriginalRes(w, h, mid, tw, th);
        if (tw <= boxW && th <= boxH)
            lo = mid;
        else
            hi = mid - 1;
    }
    return lo;
}

std::unique_ptr<CEL_PixmapRGBA8> opaqueThumbnail(CEL_Cel& cel, const QString& path, int boxW, int boxH,
                                                 bool content) {
    // Premultiplied colour (straight input is premultiplied first), as the
    // thumbnail expects: the area form as it is, or its canvas.
    std::unique_ptr<CEL_Pixmap> pixmap(workingArea(&cel, path, false).release());
    if (!pixmap) return nullptr;
    if (!content) {
        pixmap.reset(dynamic_cast<CEL_Pixmap*>(pixmap->convertTo(CEL_Representation::PIXMAP_RGBA16)));
        if (!pixmap) {
            error(QStringLiteral("%1: no memory for its canvas").arg(path));
            return nullptr;
        }
    }
    const int size = fittingThumbnailSize(pixmap->width(), pixmap->height(), boxW, boxH);
    std::unique_ptr<CEL_PixmapRGBA8> picture;
    try {
        const CEL_PixmapRGBA8ThumbNail thumb(pixmap.get(), size);
        if (thumb.picture() && thumb.picture()->data()) picture.reset(thumb.picture()->clone());
        if (picture && !thumb.blendedWithWhite()) {
            // Declined as a whole: lay it over white here, channel by channel.
            CEL_PixelRGBA8* p = picture->data();
            for (long long i = 0; i < (long long)picture->width() * picture->height(); ++i) {
                const int white = 255 - p[i].a;
                p[i].r = uint8_t(std::min(255, p[i].r + white));
                p[i].g = uint8_t(std::min(255, p[i].g + white));
                p[i].b = uint8_t(std::min(255, p[i].b + white));
            }
        }
    } catch (const CelAlgo::AlgoException& e) {
        error(QStringLiteral("%1: %2").arg(path, e.what()));
        return nullptr;
    }
    if (!picture) {
        error(QStringLiteral("%1: nothing to show in %2x%3").arg(path).arg(boxW).arg(boxH));
        return nullptr;
    }
    CEL_PixelRGBA8* p = picture->data();
    for (long long i = 0; i < (long long)picture->width() * picture->height(); ++i) p[i].a = 255;
    return picture;
}

void contactSheetSize(long long count, int boxW, int boxH, int columns, long long& width, long long& height) {
    const long long cols =
        std::max<long long>(1, std::min<long long>(columns, std::max<long long>(count, 1)));
    const long long rows = (std::max<long long>(count, 1) + cols - 1) / cols;
    width = cols * (boxW + 2LL * kPad);
    height = rows * (boxH + 2LL * kPad + kLabelSpace);
}

struct ContactSheet::Impl {
    UT_SharedPtr<CEL_Cel> cel;
    CEL_PixmapRGBA8* sheet = nullptr;
    int boxW = 0, boxH = 0, columns = 1;
};

ContactSheet::ContactSheet(long long count, int boxW, int boxH, int columns) : m(std::make_unique<Impl>()) {
    long long w = 0, h = 0;
    contactSheetSize(count, boxW, boxH, columns, w, h);
    m->boxW = boxW;
    m->boxH = boxH;
    m->columns = int(std::max<long long>(1, std::min<long long>(columns, std::max<long long>(count, 1))));
    m->sheet = new CEL_PixmapRGBA8(int(w), int(h));
    m->cel = UT_SharedPtr<CEL_Cel>(new CEL_Cel(CEL_Representation::PIXMAP_RGBA8));
    m->cel->addRepresentation(UT_SharedPtr<CEL_Representation>(m->sheet));
    if (!m->sheet->data()) {
        error(QStringLiteral("no memory for a %1x%2 sheet").arg(w).arg(h));
        return;
    }
    std::fill(m->sheet->data(), m->sheet->data() + w * h, kSheet);
}

ContactSheet::~ContactSheet() = default;

bool ContactSheet::valid() const {
    return m->sheet->data() != nullptr;
}

void ContactSheet::setLabel(long long index, const QString& text) {
    const int cellW = m->boxW + 2 * kPad, cellH = m->boxH + 2 * kPad + kLabelSpace;
    const int x0 = int(index % m->columns) * cellW, y0 = int(index / m->columns) * cellH;
    drawLabel(*m->sheet, x0 + kPad, y0 + kPad + m->boxH + 3, text, cellW - 2 * kPad + 2, kText);
}

bool ContactSheet::place(long long index, CEL_Cel& cel, const QString& path) {
    const std::unique_ptr<CEL_PixmapRGBA8> thumb = opaqueThumbnail(cel, path, m->boxW, m->boxH, false);
    if (!thumb) return false;
    const int cellW = m->boxW + 2 * kPad, cellH = m->boxH + 2 * kPad + kLabelSpace;
    const int x0 = int(index % m->columns) * cellW, y0 = int(index / m->columns) * cellH;
    const int tx = x0 + kPad + (m->boxW - thumb->width()) / 2,
              ty = y0 + kPad + (m->boxH - thumb->height()) / 2;
    for (int y = 0; y < thumb->height(); ++y)
        std::copy(thumb->pixel(0, y), thumb->pixel(0, y) + thumb->width(), m->sheet->pixel(tx, ty + y));
    return true;
}

int ContactSheet::write(const QString& out, const QString& format) const {
    return writeCel(m->cel.get(), out, format, QString());
}

int writeContactSheet(const QStringList& files, int boxW, int boxH, int columns, const QString& out,
                      const QString& format) {
    ContactSheet sheet(files.size(), boxW, boxH, columns);
    if (!sheet.valid()) return kFailure;
    int failed = 0;
    for (qsizetype i = 0; i < files.size(); ++i) {
        sheet.setLabel(i, QFileInfo(files[i]).fileName());
        // One picture in memory at a time: the cel goes when this cell is done.
        const UT_SharedPtr<CEL_Cel> cel = readCel(files[i], QString(), QString());
        if (!cel || !sheet.place(i, *cel, files[i])) ++failed;
    }
    if (sheet.write(out, format) != kSuccess) return kFailure;
    return failed ? kFailure : kSuccess;
}

} // namespace celtool
