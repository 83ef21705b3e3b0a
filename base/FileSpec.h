#pragma once
// File paths of the platform layer. PL_FileSpec names a file and opens it with
// stdio; PL_FileUtil does the safe-replace dance (write a new file beside the
// old one, keep a backup, rename); UT_Path and UT_RelPath are path values.

#include <QString>
#include <cstdio>

#include "celcore_export.h"

class CELCORE_EXPORT PL_FileSpec {
public:
    PL_FileSpec() = default;
    explicit PL_FileSpec(const QString& path) : m_path(path) {}
    const QString& path() const { return m_path; }
    bool isEmpty() const { return m_path.isEmpty(); }
    bool exists() const;
    // Opens the file with stdio in the given mode ("rb", "wb", "w", ...); null on failure.
    FILE* get_fs(const char* mode) const;
    FILE* fopen(const char* mode) const { return get_fs(mode); }
    bool operator==(const PL_FileSpec&) const = default;

private:
    QString m_path;
};

class CELCORE_EXPORT PL_FileUtil {
public:
    // True when the file can be created or overwritten.
    static bool CanWriteFile(const PL_FileSpec& spec);
    // Copies an existing file to "<path>.bak"; true when there was nothing to back up.
    static bool BackupFile(const PL_FileSpec& spec);
    // The temporary name a new version of the file is written to first.
    static PL_FileSpec NewFileSpec(const PL_FileSpec& spec);
    // Replaces the file by its new version written under NewFileSpec(spec).
    static bool RenameNewFile(const PL_FileSpec& spec);
};

class CELCORE_EXPORT UT_Path {
public:
    UT_Path() = default;
    explicit UT_Path(const QString& path) : m_path(path) {}
    const QString& toString() const { return m_path; }
    QString fileName() const;
    QString directory() const;
    QString extension() const; // after the last '.' of the file name, as written
    bool operator==(const UT_Path&) const = default;

private:
    QString m_path;
};

// A path relative to a base directory (empty base: the path as it stands).
class CELCORE_EXPORT UT_RelPath {
public:
    UT_RelPath() = default;
    explicit UT_RelPath(const QString& path, const QString& base = QString()) : m_path(path), m_base(base) {}
    const QString& relative() const { return m_path; }
    const QString& base() const { return m_base; }
    QString absolute() const;
    PL_FileSpec fileSpec() const { return PL_FileSpec(absolute()); }

private:
    QString m_path;
    QString m_base;
};
