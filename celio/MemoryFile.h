#pragma once
// A whole image file held in memory, read without the file system: a host that
// receives files over a network or out of an archive, the fuzzing harness.
//
//   CELIO_MemoryFile file(bytes.constData(), bytes.size(), "shot.tga");
//   CELIO_Manager::getInstance()->read(file, CEL_Context(), reps);
//
// The name is a file name: its extension (after the last ".") picks the handler,
// and messages name the file by it. Handlers that decode memory read the bytes
// in place; for the others the manager writes them once to a temporary file
// (path()) and reads that, so every handler can be reached this way.
//
// The bytes are not copied and must outlive the object. Use one object on one
// thread at a time (path() creates the file on first use).

#include <QString>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "celcore_export.h"

class QTemporaryFile;

class CELCORE_EXPORT CELIO_MemoryFile {
public:
    CELIO_MemoryFile(const void* data, size_t size, const QString& name);
    ~CELIO_MemoryFile();
    CELIO_MemoryFile(const CELIO_MemoryFile&) = delete;
    CELIO_MemoryFile& operator=(const CELIO_MemoryFile&) = delete;

    const uint8_t* data() const { return m_data; }
    size_t size() const { return m_size; }
    const QString& name() const { return m_name; }
    // The extension of the name in upper case ("TGA"); without a dot, the whole name.
    QString extension() const;

    // A file holding the bytes, in the temporary folder (QDir::tempPath()), named
    // with the same extension, written on the first call and removed with this
    // object. Empty when it cannot be written.
    QString path() const;

private:
    const uint8_t* m_data;
    size_t m_size;
    QString m_name;
    mutable std::unique_ptr<QTemporaryFile> m_file;
    mutable bool m_tried = false;
};
