// The Qt image helpers of CEL_Util.

#include <QGuiApplication>
#include <QThread>
#include <cstring>

#include "base/Message.h"
#include "cel/Cel.h"
#include "pixel/PixmapCanvas.h"

QPixmap CEL_Util::getPixmap(UT_SharedPtr<CEL_Representation> rep) {
    if (!rep) return QPixmap();
    const QImage image = rep->getImage();
    // A pixmap lives in the windowing system: without a GUI application, or
    // off its thread, Qt cannot make one and would abort.
    auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    if (image.isNull() || !app || app->thread() != QThread::currentThread()) return QPixmap();
    return QPixmap::fromImage(image);
}

QImage CEL_Util::getGrayScaleImage(UT_SharedPtr<CEL_Representation> rep) {
    auto* matte = dynamic_cast<const CEL_PixmapMatte8*>(rep.get());
    if (!matte || !matte->data()) return QImage();
    const int w = matte->width();
    const int h = matte->height();
    QImage image(w, h, QImage::Format_Indexed8);
    if (image.isNull()) return QImage();
    QList<QRgb> table(256);
    for (int v = 0; v < 256; ++v) table[v] = qRgb(v, v, v);
    image.setColorTable(table);
    // Scan lines are padded to 32 bits: copy row by row.
    const unsigned char* src = matte->data();
    for (int y = 0; y < h; ++y) std::memcpy(image.scanLine(y), src + static_cast<size_t>(y) * w, w);
    return image;
}

void CEL_Util::getGrayScaleImage(UT_SharedPtr<CEL_Representation> rep, QImage** out) {
    if (out) *out = new QImage(getGrayScaleImage(std::move(rep)));
}

void CEL_Util::reportOutOfMemory(int width, int height, const QString& tag) {
    MSG_Scope msg("CEL_Util", "Out of memory: cel %3 (w: %1 h: %2) ", 2);
    msg.arg(width).arg(height).arg(tag);
    msg.post(9);
}
