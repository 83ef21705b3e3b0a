#include "CelFiles.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <atomic>

#include "Command.h"
#include "base/ByteOrder.h"
#include "base/Message.h"
#include "cel/Cel.h"
#include "cel/Context.h"
#include "celio/Manager.h"
#include "celio/handlers/VarScanHandler.h"
#include "pixel/PixmapCanvas.h"

namespace celtool {

QString extensionOf(const QString& path) {
    const QString name = QFileInfo(path).fileName();
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? QString() : name.mid(dot + 1);
}

namespace {

// The handler for a file named path, or for format when given.
const CELIO_Handler* handlerFor(const QString& path, const QString& format) {
    const QString ext = format.isEmpty() ? extensionOf(path) : format;
    return ext.isEmpty() ? nullptr : CELIO_Manager::getInstance()->findHandler(ext.toUpper());
}

// Notes whether the library reports a failed write (code 20) while it lives;
// the messages still reach the sink that was installed.
class WriteFailureWatch {
public:
    WriteFailureWatch() {
        m_previous = QXMessage::instance().setSink([this](const MSG_Record& r) {
            if (r.code == 20) m_failed = true;
            if (m_previous)
                m_previous(r);
            else
                QXMessage::printToStderr(r);
        });
    }
    ~WriteFailureWatch() { QXMessage::instance().setSink(m_previous); }
    WriteFailureWatch(const WriteFailureWatch&) = delete;
    WriteFailureWatch& operator=(const WriteFailureWatch&) = delete;
    bool failed() const { return m_failed; }

private:
    QXMessage::Sink m_previous;
    std::atomic<bool> m_failed{false};
};

} // namespace

QStringList unlistedWriteCodes(const CELIO_Handler* handler) {
    if (dynamic_cast<const QXCelUioScanHandler*>(handler))
        return {QStringLiteral("SCAN24"), QStringLiteral("SCAN32")};
    return {};
}

bool carriesInfoString(const CELIO_Handler* handler) {
    return dynamic_cast<const QXCelUioScanHandler*>(handler) ||
           dynamic_cast<const QXCelUioVarHandler*>(handler);
}

UT_SharedPtr<CEL_Cel> readCel(const QString& path, const QString& format, const QString& layer,
                              QString* infoString) {
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
    } catch (...) {
        ok = false;
    }
    if (!ok || list.empty()) {
        error(QStringLiteral("cannot read %1").arg(path));
        return {};
    }
    if (infoString) {
        // The handlers keep the string per thread, for named files and standard
        // input alike (the manager hands SCAN's on for named files only).
        const CELIO_Handler* h = handlerFor(path, format);
        if (const auto* scan = dynamic_cast<const QXCelUioScanHandler*>(h))
            *infoString = scan->infoString();
        else if (const auto* var = dynamic_cast<const QXCelUioVarHandler*>(h))
            *infoString = var->infoString();
        else
            *infoString = QString();
    }
    UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(list.front()->getFormat()));
    for (const auto& rep : list) cel->addRepresentation(rep);
    return cel;
}

int writeCel(CEL_Cel* cel, const QString& path, const QString& format, const QString& code,
             const QString& infoString) {
    // The manager gives SCAN its string; VAR's is set on the handler.
    if (const auto* var = dynamic_cast<const QXCelUioVarHandler*>(handlerFor(QString(), format)))
        var->setInfoString(infoString);
    bool ok = false;
    WriteFailureWatch watch;
    try {
        ok = CELIO_Manager::getInstance()->write(cel, path, format, code, infoString);
    } catch (int) {
        ok = false;
    }
    if (ok && !watch.failed()) return kSuccess;
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
