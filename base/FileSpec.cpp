#include "base/FileSpec.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

bool PL_FileSpec::exists() const {
    return !m_path.isEmpty() && QFileInfo::exists(m_path);
}

FILE* PL_FileSpec::get_fs(const char* mode) const {
    if (m_path.isEmpty()) return nullptr;
    return std::fopen(QFile::encodeName(m_path).constData(), mode);
}

bool PL_FileUtil::CanWriteFile(const PL_FileSpec& spec) {
    QFileInfo fi(spec.path());
    if (fi.exists()) return fi.isFile() && fi.isWritable();
    QFileInfo dir(fi.absolutePath());
    return dir.isDir() && dir.isWritable();
}

bool PL_FileUtil::BackupFile(const PL_FileSpec& spec) {
    if (!QFileInfo::exists(spec.path())) return true;
    const QString bak = spec.path() + QStringLiteral(".bak");
    QFile::remove(bak);
    return QFile::copy(spec.path(), bak);
}

PL_FileSpec PL_FileUtil::NewFileSpec(const PL_FileSpec& spec) {
    return PL_FileSpec(spec.path() + QStringLiteral(".new"));
}

bool PL_FileUtil::RenameNewFile(const PL_FileSpec& spec) {
    const QString fresh = NewFileSpec(spec).path();
    if (!QFileInfo::exists(fresh)) return false;
    // rename(2) replaces the target atomically, so the old file stays whole until then.
    return std::rename(QFile::encodeName(fresh).constData(), QFile::encodeName(spec.path()).constData()) == 0;
}

QString UT_Path::fileName() const {
    return QFileInfo(m_path).fileName();
}
QString UT_Path::directory() const {
    return QFileInfo(m_path).path();
}
QString UT_Path::extension() const {
    const QString name = fileName();
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? QString() : name.mid(dot + 1);
}

QString UT_RelPath::absolute() const {
    if (m_base.isEmpty() || QDir::isAbsolutePath(m_path)) return m_path;
    return QDir(m_base).filePath(m_path);
}
