#include "TestSupport.h"

#include <QFile>
#include <QStandardPaths>

namespace celtest {

TempDir::TempDir() : m_root(m_dir.path()) {}

QString TempDir::path(const QString& name) const {
    return m_root + QLatin1Char('/') + name;
}

QString dataPath(const QString& relative) {
    return QStringLiteral(CELCORE_TEST_DATA_DIR) + QLatin1Char('/') + relative;
}

QByteArray readFile(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return f.readAll();
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

bool haveProgram(const char* name) {
    return !QStandardPaths::findExecutable(QString::fromLatin1(name)).isEmpty();
}

} // namespace celtest
