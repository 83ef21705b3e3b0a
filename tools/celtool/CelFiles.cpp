#include "CelFiles.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include "Command.h"
#include "base/ByteOrder.h"
#include "cel/Cel.h"
#include "cel/Context.h"
#include "celio/Manager.h"
#include "pixel/PixmapCanvas.h"

namespace celtool {

QString extensionOf(const QString& path) {
    const QString name = QFileInfo(path).fileName();
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? QString() : name.mid(dot + 1);
}

UT_SharedPtr<CEL_Cel> readCel(const QString& path, const QString& format, const QString& layer) {
    qxCelAddPixmapHandler();
    const CELIO_Manager* manager = CELIO_Manager::getInstance();
    const CEL_Context defaults;
    const CEL_Context context(defaults.isColorRecovery(), defaults.isDelayedColorRecovery(),
                              defaults.useElementPaletteList(), nullptr, 0, layer, 1.0);
    CELIO_RepresentationList list;
    QDateTime modified;
    bool ok = false;
    try {
        ok = manager->read(path, modified, context, list, format.isEmpty() ? nullptr : &format);
    } catch (const QString& refusal) { // a reader's own refusal, such as a colour mode it does not read
        error(QStringLiteral("%1: %2").arg(path, refusal));
        return {};
    } catch (...) {
        ok = false;
    }
    if (!ok || list.empty()) {
        error(QStringLiteral("cannot read %1").arg(path));
        return {};
    }
    UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(list.front()->getFormat()));
    for (const auto& rep : list) cel->addRepresentation(rep);
    return cel;
}

int writeCel(CEL_Cel* cel, const QString& path, const QString& format, const QString& code) {
    bool ok = false;
    try {
        ok = CELIO_Manager::getInstance()->write(cel, path, format, code);
    } catch (int) {
        ok = false;
    }
    if (ok) return kSuccess;
    error(QStringLiteral("cannot write %1").arg(path));
    return kFailure;
}

QByteArray rawPixels(const CEL_Representation* rep, int depth) {
    if (const auto* p = dynamic_cast<const CEL_PixmapRGBA8*>(rep); depth == 8 && p && p->data())
        return QByteArray(reinterpret_cast<const char*>(p->data()), qsizetype(p->width()) * p->height() * 4);
    QByteArray bytes;
    if (const auto* p = dynamic_cast<const CEL_PixmapRGBA16*>(rep); depth == 16 && p && p->data()) {
        const qsizetype n = qsizetype(p->width()) * p->height();
        bytes.resize(n * 8);
        auto* out = reinterpret_cast<uint8_t*>(bytes.data());
        for (qsizetype i = 0; i < n; ++i) {
            const CEL_PixelRGBA16& px = p->data()[i];
            const int16_t v[4] = {px.r, px.g, px.b, px.a};
            for (int c = 0; c < 4; ++c) ByteOrder::putU16LE(out + 8 * i + 2 * c, uint16_t(v[c]));
        }
    }
    return bytes;
}

bool writeBytes(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size() &&
           file.flush();
}

} // namespace celtool
