#pragma once
// Helpers shared by the tests.

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

namespace celtest {

// A fresh temporary folder removed at the end of the test.
class TempDir {
public:
    TempDir();
    QString path(const QString& name) const;
    const QString& root() const { return m_root; }

private:
    QTemporaryDir m_dir;
    QString m_root;
};

QString dataPath(const QString& relative); // tests/data/<relative>
QByteArray readFile(const QString& path);
bool writeFile(const QString& path, const QByteArray& bytes);
bool haveProgram(const char* name); // on PATH

} // namespace celtest
