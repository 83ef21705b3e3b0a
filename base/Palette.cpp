#include "base/Palette.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <mutex>

#include "base/Message.h"

CM_PaletteList::~CM_PaletteList() = default;

bool CM_PaletteList::findColor(uint64_t id, CM_ColorRGBA8& out) const {
    std::shared_lock lock(m_mutex);
    const auto it = m_entries.find(id);
    if (it == m_entries.end()) return false;
    out = it->second.color;
    return true;
}

bool CM_PaletteList::contains(uint64_t id) const {
    std::shared_lock lock(m_mutex);
    return m_entries.count(id) != 0;
}

void CM_PaletteList::setColor(uint64_t id, const CM_ColorRGBA8& color, const QString& name) {
    std::unique_lock lock(m_mutex);
    m_entries[id] = Entry{id, color, name};
}

bool CM_PaletteList::removeColor(uint64_t id) {
    std::unique_lock lock(m_mutex);
    return m_entries.erase(id) != 0;
}

void CM_PaletteList::clear() {
    std::unique_lock lock(m_mutex);
    m_entries.clear();
}

std::size_t CM_PaletteList::size() const {
    std::shared_lock lock(m_mutex);
    return m_entries.size();
}

std::vector<CM_PaletteList::Entry> CM_PaletteList::entries() const {
    std::shared_lock lock(m_mutex);
    std::vector<Entry> out;
    out.reserve(m_entries.size());
    for (const auto& [id, e] : m_entries) out.push_back(e);
    return out;
}

namespace {

// Exactly `digits` hexadecimal digits.
bool parseHex(const QByteArray& token, int digits, uint64_t& out) {
    if (token.size() != digits) return false;
    out = 0;
    for (char c : token) {
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else
            return false;
        out = out << 4 | uint64_t(v);
    }
    return true;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

} // namespace

QByteArray CM_PaletteList::toText() const {
    QByteArray text;
    for (const Entry& e : entries()) {
        const uint32_t rgba = uint32_t(e.color.r) << 24 | uint32_t(e.color.g) << 16 |
                              uint32_t(e.color.b) << 8 | uint32_t(e.color.a);
        text += QByteArray::number(qulonglong(e.id), 16).rightJustified(16, '0').toUpper();
        text += ' ';
        text += QByteArray::number(rgba, 16).rightJustified(8, '0').toUpper();
        // A name is one line of text.
        const QString name = e.name.simplified();
        if (!name.isEmpty()) text += ' ' + name.toUtf8();
        text += '\n';
    }
    return text;
}

bool CM_PaletteList::fromText(const QByteArray& text, QString* why) {
    std::map<uint64_t, Entry> parsed;
    const QList<QByteArray> lines = text.split('\n');
    for (qsizetype n = 0; n < lines.size(); ++n) {
        QByteArray line = lines[n];
        if (line.endsWith('\r')) line.chop(1);
        qsizetype i = 0;
        while (i < line.size() && isBlank(line[i])) ++i;
        if (i == line.size() || line[i] == '#') continue;
        const auto token = [&line, &i]() {
            const qsizetype start = i;
            while (i < line.size() && !isBlank(line[i])) ++i;
            const QByteArray t = line.mid(start, i - start);
            while (i < line.size() && isBlank(line[i])) ++i;
            return t;
        };
        uint64_t id = 0, rgba = 0;
        const QByteArray idText = token(), colorText = token();
        if (!parseHex(idText, 16, id) || !parseHex(colorText, 8, rgba)) {
            if (why)
                *why = QStringLiteral("line %1: expected a 16-digit hexadecimal id and an RRGGBBAA colour")
                           .arg(n + 1);
            return false;
        }
        const CM_ColorRGBA8 color{uint8_t(rgba >> 24), uint8_t(rgba >> 16), uint8_t(rgba >> 8),
                                  uint8_t(rgba)};
        parsed[id] = Entry{id, color, QString::fromUtf8(line.mid(i)).trimmed()};
    }
    std::unique_lock lock(m_mutex);
    m_entries.swap(parsed);
    return true;
}

bool CM_PaletteList::load(const QString& path, QString* why) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        if (why) *why = f.errorString();
        return false;
    }
    return fromText(f.readAll(), why);
}

bool CM_PaletteList::store(const QString& path) const {
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly)) return false;
    const QByteArray text = toText();
    return f.write(text) == text.size() && f.commit();
}

namespace {

struct CachedList {
    CM_SharedPtr<CM_PaletteList> list;
    qint64 size = -1;
    QDateTime modified;
};

std::mutex g_paletteMutex;
std::map<QString, CachedList>& paletteCache() {
    static std::map<QString, CachedList> cache;
    return cache;
}

} // namespace

CM_SharedPtr<CM_PaletteList> CM_PaletteManager::GetPaletteListFromPath(const QString& drawingPath) {
    const QFileInfo drawing(drawingPath);
    const QString folder = QDir::cleanPath(drawing.absolutePath());
    const QFileInfo file(QDir(folder).filePath(QLatin1String(kPaletteFileName)));
    const qint64 size = file.exists() ? file.size() : -1;
    const QDateTime modified = file.exists() ? file.lastModified() : QDateTime();

    std::lock_guard lock(g_paletteMutex);
    CachedList& cached = paletteCache()[folder];
    if (cached.list && cached.size == size && cached.modified == modified) return cached.list;
    CM_SharedPtr<CM_PaletteList> list(new CM_PaletteList);
    QString why;
    if (size >= 0 && !list->load(file.filePath(), &why)) {
        MSG_Scope msg("CM_PaletteManager", "Palette file %1 ignored: %2", 0);
        msg.arg(file.filePath()).arg(why);
        msg.post();
    }
    cached = CachedList{list, size, modified};
    return list;
}

void CM_PaletteManager::clear() {
    std::lock_guard lock(g_paletteMutex);
    paletteCache().clear();
}
