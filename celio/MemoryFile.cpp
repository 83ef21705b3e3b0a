#include "celio/MemoryFile.h"

#include <QDir>
#include <QTemporaryFile>

CELIO_MemoryFile::CELIO_MemoryFile(const void* data, size_t size, const QString& name)
    : m_data(static_cast<const uint8_t*>(data)), m_size(data ? size : 0), m_name(name) {}

CELIO_MemoryFile::~CELIO_MemoryFile() = default;

QString CELIO_MemoryFile::extension() const {
    const qsizetype dot = m_name.lastIndexOf(QLatin1Char('.'));
    return (dot < 0 ? m_name : m_name.mid(dot + 1)).toUpper();
}

QString CELIO_MemoryFile::path() const {
    if (m_tried) return m_file ? m_file->fileName() : QString();
    m_tried = true;
    auto file = std::make_unique<QTemporaryFile>(QDir::tempPath() + QStringLiteral("/celio-XXXXXX.") +
                                                 extension().toLower());
    if (!file->open()) return QString();
    for (size_t done = 0; done < m_size;) {
        const qint64 n = file->write(reinterpret_cast<const char*>(m_data) + done, qint64(m_size - done));
        if (n <= 0) return QString();
        done += size_t(n);
    }
    if (!file->flush()) return QString();
    m_file = std::move(file);
    return m_file->fileName();
}
