#include "CelFiles.h"

#include <QDateTime>
#include <QFileInfo>

#include "Command.h"
#include "cel/Cel.h"
#include "cel/Context.h"
#include "celio/Manager.h"

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

} // namespace celtool
