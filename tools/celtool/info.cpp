#include "CelFiles.h"
#include "Command.h"
#include "InfoLayers.h"
#include "MovieFiles.h"

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

// The movie keys of a movie file, or nothing.
QString movieJson(const QString& file) {
    MovieFacts facts;
    if (file == QLatin1String("-") || !movieFacts(file, facts)) return QString();
    return QStringLiteral(", \"frames\": %1, \"frameRate\": %2, \"codec\": %3")
        .arg(facts.frames)
        .arg(QString::number(facts.frameRate, 'g', 10))
        .arg(jsonString(facts.codec));
}

// One JSON object: the file, its format and header, or its error alone.
QString jsonOf(const QString& file, const HeaderInfo& h) {
    if (h.state != CELIO_STATE_OK)
        return QStringLiteral("{\"file\": %1, \"state\": %2, \"error\": %3}")
            .arg(jsonString(file))
            .arg(int(h.state))
            .arg(jsonString(h.error));
    const CELIO_Info& i = h.info;
    return QStringLiteral(
               "{\"file\": %1, \"format\": %2, \"state\": 0, \"width\": %3, \"height\": %4, "
               "\"channels\": %5, \"bytesPerChannel\": %6, \"optionCode\": %7, \"description\": %8}")
               .arg(jsonString(file), jsonString(h.format))
               .arg(i.width)
               .arg(i.height)
               .arg(i.channels)
               .arg(i.bytesPerChannel)
               .arg(jsonString(i.optionCode), jsonString(i.description))
               .chopped(1) +
           movieJson(file) + QLatin1Char('}');
}

} // namespace

int runInfo(const QStringList& args) {
    QCommandLineParser parser;
    const QCommandLineOption json(QStringLiteral("json"),
                                  QStringLiteral("One JSON object per file, one per line."));
    const QCommandLineOption formatOpt(
        QStringLiteral("format"),
        QStringLiteral("Format (extension) of standard input (default: its content)."),
        QStringLiteral("EXT"));
    const QCommandLineOption layers(QStringLiteral("layers"),
                                    QStringLiteral("The layer tree of layered files."));
    parser.addOptions({json, formatOpt, layers});
    parser.addPositionalArgument(QStringLiteral("FILE"),
                                 QStringLiteral("Image files to inspect (\"-\": standard input)."),
                                 QStringLiteral("FILE..."));
    int rc = kSuccess;
    if (!parseArgs(parser, QStringLiteral("info"),
                   QStringLiteral("[--layers] [--json] [--format EXT] FILE..."), args, &rc))
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
    for (const QString& file : files) {
        const HeaderInfo h =
            readHeader(file, file == QLatin1String("-") ? parser.value(formatOpt) : QString());
        if (h.state != CELIO_STATE_OK) rc = kFailure;
        if (parser.isSet(json)) {
            print(jsonOf(file, h));
            continue;
        }
        const QString shown = file == QLatin1String("-") ? QStringLiteral("standard input") : file;
        if (h.state != CELIO_STATE_OK) {
            error(QStringLiteral("%1: %2").arg(shown, h.error));
            continue;
        }
        if (!h.note.isEmpty()) error(h.note);
        const CELIO_Info& i = h.info;
        QString line = QStringLiteral("%1: %2 %3x%4, %5 channel(s) of %6 byte(s)")
                           .arg(shown, h.format)
                           .arg(i.width)
                           .arg(i.height)
                           .arg(i.channels)
                           .arg(i.bytesPerChannel);
        // Movies and some formats have no option code; an empty one is left out.
        if (!i.optionCode.isEmpty()) line += QStringLiteral(", code ") + i.optionCode;
        // The zero that ends a SCAN or VAR information string: JSON escapes it, text leaves it out.
        const QString description = QString(i.description).remove(QChar(0));
        if (!description.isEmpty()) line += QStringLiteral(", ") + description;
        print(line);
    }
    return rc;
}

} // namespace celtool
