#include <QDateTime>

#include "Command.h"
#include "InfoLayers.h"
#include "cel/Context.h"
#include "celio/Manager.h"

namespace celtool {

namespace {

QString jsonString(const QString& s) {
    QString out = QStringLiteral("\"");
    for (const QChar c : s) {
        switch (c.unicode()) {
        case '"':
            out += QStringLiteral("\\\"");
            break;
        case '\\':
            out += QStringLiteral("\\\\");
            break;
        case '\n':
            out += QStringLiteral("\\n");
            break;
        case '\r':
            out += QStringLiteral("\\r");
            break;
        case '\t':
            out += QStringLiteral("\\t");
            break;
        default:
            if (c.unicode() < 0x20)
                out += QStringLiteral("\\u%1").arg(int(c.unicode()), 4, 16, QLatin1Char('0'));
            else
                out += c;
        }
    }
    return out + QLatin1Char('"');
}

} // namespace

int runInfo(const QStringList& args) {
    QCommandLineParser parser;
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("One JSON object per file."));
    const QCommandLineOption layers(QStringLiteral("layers"),
                                    QStringLiteral("The layer tree of layered files."));
    parser.addOptions({json, layers});
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("Image files to inspect."),
                                 QStringLiteral("FILE..."));
    int rc = kSuccess;
    if (!parseArgs(parser, QStringLiteral("info"), QStringLiteral("[--layers] [--json] FILE..."), args, &rc))
        return rc;
    const QStringList files = parser.positionalArguments();
    if (files.isEmpty()) {
        error(QStringLiteral("info needs at least one file"));
        return kUsage;
    }
    if (parser.isSet(layers)) {
        for (const QString& file : files)
            if (printLayers(file, parser.isSet(json)) != kSuccess) rc = kFailure;
        return rc;
    }
    qxCelAddPixmapHandler();
    const CELIO_Manager* manager = CELIO_Manager::getInstance();
    const CEL_Context context;
    for (const QString& file : files) {
        CELIO_Info info;
        QDateTime modified;
        CELIO_State state = CELIO_STATE_FAILED;
        try {
            state = manager->loadInfo(file, modified, context, info);
        } catch (...) { // a header cut short
            state = CELIO_STATE_FAILED;
        }
        if (state != CELIO_STATE_OK) rc = kFailure;
        if (parser.isSet(json)) {
            print(QStringLiteral("{\"state\": %1, \"width\": %2, \"height\": %3, \"channels\": %4, "
                                 "\"bytesPerChannel\": %5, \"optionCode\": %6, \"description\": %7}")
                      .arg(int(state))
                      .arg(info.width)
                      .arg(info.height)
                      .arg(info.channels)
                      .arg(info.bytesPerChannel)
                      .arg(jsonString(info.optionCode), jsonString(info.description)));
        } else if (state == CELIO_STATE_OK) {
            QString line = QStringLiteral("%1: %2x%3, %4 channel(s) of %5 byte(s), code %6")
                               .arg(file)
                               .arg(info.width)
                               .arg(info.height)
                               .arg(info.channels)
                               .arg(info.bytesPerChannel)
                               .arg(info.optionCode);
            if (!info.description.isEmpty()) line += QStringLiteral(", ") + info.description;
            print(line);
        } else {
            print(QStringLiteral("%1: %2").arg(file, state == CELIO_STATE_UNSUPPORTED
                                                         ? QStringLiteral("unsupported")
                                                         : QStringLiteral("cannot read")));
        }
    }
    return rc;
}

} // namespace celtool
