#include "FrameSequence.h"

#include <QDir>
#include <QFile>
#include <QTextStream>
#include <algorithm>
#include <cstdio>

namespace celtool {

FramePattern::FramePattern(const QString& text) : m_text(text) {
    const qsizetype slash = text.lastIndexOf(QLatin1Char('/'));
    const QString folder = text.left(slash + 1);
    const QString name = text.mid(slash + 1);

    // The name in pieces: literal text, and the fields with their widths.
    struct Piece {
        QString text;
        int width = -1; // a field when >= 0
    };
    std::vector<Piece> pieces;
    for (qsizetype i = 0; i < name.size();) {
        if (name[i] == QLatin1Char('#')) {
            qsizetype j = i;
            while (j < name.size() && name[j] == QLatin1Char('#')) ++j;
            pieces.push_back({name.mid(i, j - i), int(j - i)});
            i = j;
            continue;
        }
        if (name[i] == QLatin1Char('%') && i + 1 < name.size()) {
            if (name[i + 1] == QLatin1Char('%')) {
                pieces.push_back({QStringLiteral("%"), -1});
                i += 2;
                continue;
            }
            // %d or %0Nd
            qsizetype j = i + 1;
            int width = 0;
            if (name[j] == QLatin1Char('0')) {
                ++j;
                const qsizetype digits = j;
                while (j < name.size() && name[j].isDigit() && j - digits < 2)
                    width = width * 10 + name[j++].digitValue();
                if (j == digits) width = -1; // "%0d" is no field
            }
            if (width >= 0 && j < name.size() && name[j] == QLatin1Char('d')) {
                pieces.push_back({name.mid(i, j + 1 - i), width});
                i = j + 1;
                continue;
            }
        }
        pieces.push_back({QString(name[i]), -1});
        ++i;
    }
    qsizetype field = -1;
    for (qsizetype k = 0; k < qsizetype(pieces.size()); ++k)
        if (pieces[k].width >= 0) field = k;
    if (field < 0) return; // a plain name: no decoding of "%%" either

    m_folder = folder;
    m_width = pieces[field].width;
    for (qsizetype k = 0; k < qsizetype(pieces.size()); ++k)
        if (k < field)
            m_prefix += pieces[k].text;
        else if (k > field)
            m_suffix += pieces[k].text;
}

QString FramePattern::name(long long frame) const {
    if (!hasField()) return m_text;
    return m_folder + m_prefix + QStringLiteral("%1").arg(frame, m_width, 10, QLatin1Char('0')) + m_suffix;
}

std::vector<std::pair<long long, QString>> FramePattern::existing() const {
    std::vector<std::pair<long long, QString>> frames;
    if (!hasField()) return frames;
    const QDir dir(m_folder.isEmpty() ? QStringLiteral(".") : m_folder);
    const QStringList entries = dir.entryList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QString& entry : entries) {
        if (entry.size() <= m_prefix.size() + m_suffix.size() || !entry.startsWith(m_prefix) ||
            !entry.endsWith(m_suffix))
            continue;
        const QString digits = entry.mid(m_prefix.size(), entry.size() - m_prefix.size() - m_suffix.size());
        if (digits.size() > 15 || !std::all_of(digits.begin(), digits.end(), [](QChar c) {
                return c >= QLatin1Char('0') && c <= QLatin1Char('9');
            }))
            continue;
        const long long frame = digits.toLongLong();
        // Only the spelling the pattern gives that frame: 7 is "0007" for "####", not "07".
        if (name(frame) != m_folder + entry) continue;
        frames.emplace_back(frame, m_folder + entry);
    }
    std::sort(frames.begin(), frames.end());
    return frames;
}

std::optional<FrameRange> parseFrameRange(const QString& text) {
    const QStringList parts = text.split(QLatin1Char('-'));
    if (parts.size() > 2) return std::nullopt;
    FrameRange r;
    bool ok1 = false, ok2 = true;
    const auto number = [](const QString& s, bool* ok) {
        *ok = !s.isEmpty() && s.size() <= 15 && std::all_of(s.begin(), s.end(), [](QChar c) {
            return c >= QLatin1Char('0') && c <= QLatin1Char('9');
        });
        return *ok ? s.toLongLong() : 0;
    };
    r.first = number(parts[0], &ok1);
    r.last = parts.size() == 2 ? number(parts[1], &ok2) : r.first;
    if (!ok1 || !ok2 || r.last < r.first) return std::nullopt;
    return r;
}

std::optional<Shard> parseShard(const QString& text) {
    const QStringList parts = text.split(QLatin1Char('/'));
    if (parts.size() != 2) return std::nullopt;
    bool ok1 = false, ok2 = false;
    Shard s;
    s.index = parts[0].toLongLong(&ok1);
    s.count = parts[1].toLongLong(&ok2);
    if (!ok1 || !ok2 || s.count <= 0 || s.index < 0 || s.index >= s.count || s.count > (1LL << 31))
        return std::nullopt;
    return s;
}

std::pair<long long, long long> shardSlice(const Shard& shard, long long total) {
    // total and count stay below 2^31 here in practice; the products in 128 bits keep it exact anyway.
    const auto at = [&](long long i) { return (long long)((__int128)i * total / shard.count); };
    return {at(shard.index), at(shard.index + 1)};
}

QStringList readList(const QString& path, QString* error) {
    QFile f;
    const bool opened = path == QLatin1String("-") ? f.open(stdin, QIODevice::ReadOnly)
                                                   : (f.setFileName(path), f.open(QIODevice::ReadOnly));
    if (!opened) {
        *error = f.errorString();
        return {};
    }
    QStringList lines;
    for (QString line : QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'))) {
        if (line.endsWith(QLatin1Char('\r'))) line.chop(1);
        if (!line.trimmed().isEmpty()) lines << line;
    }
    return lines;
}

} // namespace celtool
