// celtool info --layers: the layer tree of a layered file, as an indented
// listing or as one JSON object.
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <vector>

#include "Command.h"
#include "InfoLayers.h"
#include "celio/LayerInfo.h"
#include "celio/Manager.h"
#include "celio/handlers/PsdHandler.h"

namespace celtool {

namespace {

QString json(const QString& s) {
    QString out = QStringLiteral("\"");
    for (const QChar c : s) {
        if (c == QLatin1Char('"') || c == QLatin1Char('\\'))
            out += QLatin1Char('\\') + c;
        else if (c.unicode() < 0x20)
            out += QStringLiteral("\\u%1").arg(int(c.unicode()), 4, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out + QLatin1Char('"');
}

QString number(float v) {
    return QString::asprintf("%.7g", double(v));
}

QString boolean(bool v) {
    return v ? QStringLiteral("true") : QStringLiteral("false");
}

// The four characters of a blend-mode code, or "?" for a key the format does not know.
QString keyOf(int code) {
    const uint32_t key = CELIO_PsdHandler::blendKeyOfCode(code);
    if (key == 0) return QStringLiteral("?");
    QString s;
    for (int shift = 24; shift >= 0; shift -= 8) s += QLatin1Char(char((key >> shift) & 0xFF));
    return s.trimmed();
}

struct Printer {
    const std::vector<QString>& readPaths;

    QString readPath(const CELIO_Layer& l) const {
        const size_t i = size_t(l.recordIndex - 1);
        return l.recordIndex > 0 && i < readPaths.size() ? readPaths[i] : QString();
    }

    QString layerJson(const CELIO_Layer& l) const {
        QStringList groupPath;
        for (const QString& g : l.groupPath) groupPath << json(g);
        return QStringLiteral(
                   "{\"name\": %1, \"visible\": %2, \"width\": %3, \"height\": %4, \"recordIndex\": %5, "
                   "\"opacity\": %6, \"blendMode\": %7, \"occurrence\": %8, \"displayName\": %9, "
                   "\"groupPath\": [%10], \"path\": %11, \"readPath\": %12}")
            .arg(json(l.name), boolean(l.visible))
            .arg(l.width)
            .arg(l.height)
            .arg(l.recordIndex)
            .arg(number(l.opacity))
            .arg(l.blendMode)
            .arg(l.occurrence)
            .arg(json(l.getDisplayName()), groupPath.join(QStringLiteral(", ")), json(l.path(":")),
                 json(readPath(l)));
    }

    // The members of a group: its layers and its groups.
    QString contentsJson(const CELIO_LayerGroup& g) const {
        QStringList layers, groups;
        for (const CELIO_Layer& l : g.layers) layers << layerJson(l);
        for (const CELIO_LayerGroup& sub : g.groups)
            groups << QStringLiteral(
                          "{\"name\": %1, \"visible\": %2, \"opacity\": %3, \"blendMode\": %4, %5}")
                          .arg(json(sub.name), boolean(sub.visible), number(sub.opacity))
                          .arg(sub.blendMode)
                          .arg(contentsJson(sub));
        return QStringLiteral("\"layers\": [%1], \"groups\": [%2]")
            .arg(layers.join(QStringLiteral(", ")), groups.join(QStringLiteral(", ")));
    }

    void tree(const CELIO_LayerGroup& g, int depth) const {
        const QString indent(2 * depth, QLatin1Char(' '));
        for (const CELIO_Layer& l : g.layers)
            print(QStringLiteral("%1layer %2  %3x%4  opacity %5  %6%7  read path %8")
                      .arg(indent, l.getDisplayName())
                      .arg(l.width)
                      .arg(l.height)
                      .arg(number(l.opacity), keyOf(l.blendMode),
                           l.visible ? QString() : QStringLiteral("  hidden"), readPath(l)));
        for (const CELIO_LayerGroup& sub : g.groups) {
            print(QStringLiteral("%1group %2  opacity %3  %4%5")
                      .arg(indent, sub.getDisplayName(), number(sub.opacity), keyOf(sub.blendMode),
                           sub.visible ? QString() : QStringLiteral("  hidden")));
            tree(sub, depth + 1);
        }
    }
};

bool isPsd(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) && f.read(4) == "8BPS";
}

} // namespace

int printLayers(const QString& file, bool asJson) {
    if (!QFileInfo::exists(file)) {
        error(QStringLiteral("%1: no such file").arg(file));
        return kFailure;
    }
    if (!isPsd(file)) {
        error(QStringLiteral("%1: not a PSD or PSB file").arg(file));
        return kFailure;
    }
    qxCelAddPixmapHandler();
    const CELIO_Manager* manager = CELIO_Manager::getInstance();
    CELIO_LayerInfo info;
    QDateTime modified;
    CELIO_State state = CELIO_STATE_FAILED;
    try {
        state = manager->loadLayerInfo(file, modified, info);
    } catch (...) {
        state = CELIO_STATE_FAILED;
    }
    if (state != CELIO_STATE_OK) {
        error(QStringLiteral("%1: %2").arg(file, state == CELIO_STATE_UNSUPPORTED
                                                     ? QStringLiteral("the format has no layers")
                                                     : QStringLiteral("cannot read its layers")));
        return kFailure;
    }
    std::vector<QString> readPaths;
    if (const auto* psd =
            dynamic_cast<const CELIO_PsdHandler*>(manager->findHandler(QFileInfo(file).suffix())))
        psd->readLayerPaths(file, readPaths);
    const Printer p{readPaths};
    const CELIO_Layer& document = info.getComposite();
    if (asJson) {
        print(QStringLiteral("{\"documentLayer\": {\"width\": %1, \"height\": %2}, \"layerCount\": %3, "
                             "\"visibleLayerCount\": %4, \"baseGroup\": {%5}}")
                  .arg(document.width)
                  .arg(document.height)
                  .arg(info.getLayerCount())
                  .arg(info.getVisibleLayerCount())
                  .arg(p.contentsJson(info.getBaseGroup())));
        return kSuccess;
    }
    print(QStringLiteral("%1: document %2x%3, %4 layer(s), %5 visible")
              .arg(file)
              .arg(document.width)
              .arg(document.height)
              .arg(info.getLayerCount())
              .arg(info.getVisibleLayerCount()));
    p.tree(info.getBaseGroup(), 1);
    return kSuccess;
}

} // namespace celtool
