#pragma once
// Binary input of the persistence layer, as far as header queries need it:
// DB_File opens a file for input, DB_PersistentStore reads bytes and integers
// of either byte order from it (or from a caller's memory buffer), seeks, and
// reports its position and the size of the data.
//
// Nothing throws. A read that runs out of data sets the failure flag and
// yields 0 (a byte load copies what there was); the flag stays set until
// ClearFailure(), so a query can read all its fields and test Failed() once.
//
//   DB_File file;
//   if (!file.OpenForInput(PL_FileSpec(path))) return CELIO_STATE_FAILED;
//   DB_PersistentStore in(file);
//   char magic[2];
//   in.Load(magic, 2);
//   const int32_t width = in.ReadS32LE();
//   if (in.Failed()) return CELIO_STATE_FAILED;

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "celcore_export.h"

class PL_FileSpec;

class CELCORE_EXPORT DB_File {
public:
    DB_File() = default;
    ~DB_File();
    DB_File(const DB_File&) = delete;
    DB_File& operator=(const DB_File&) = delete;

    // Opens the file for reading raw bytes, closing any file held before.
    bool OpenForInput(const PL_FileSpec& spec);
    void Close();
    bool IsOpen() const { return m_file != nullptr; }
    FILE* Handle() const { return m_file; }

private:
    FILE* m_file = nullptr;
};

class CELCORE_EXPORT DB_PersistentStore {
public:
    // Reads the file from its current position; the file must stay open while
    // the store is used. A closed file gives a store that fails every read.
    explicit DB_PersistentStore(DB_File& file);
    // Reads a caller's buffer (not owned).
    DB_PersistentStore(const void* data, size_t size);
    DB_PersistentStore(const DB_PersistentStore&) = delete;
    DB_PersistentStore& operator=(const DB_PersistentStore&) = delete;

    // Copies n bytes; returns false (and fails) when fewer were there.
    bool Load(void* dst, size_t n);
    uint8_t ReadU8();
    uint16_t ReadU16LE();
    uint16_t ReadU16BE();
    uint32_t ReadU32LE();
    uint32_t ReadU32BE();
    int16_t ReadS16LE() { return int16_t(ReadU16LE()); }
    int16_t ReadS16BE() { return int16_t(ReadU16BE()); }
    int32_t ReadS32LE() { return int32_t(ReadU32LE()); }
    int32_t ReadS32BE() { return int32_t(ReadU32BE()); }
    uint64_t ReadU64BE();

    // Absolute and relative moves; a position outside 0..Size() fails.
    bool Seek(uint64_t pos);
    bool Skip(int64_t n);
    uint64_t Position() const { return m_pos; }
    // Bytes from position 0 to the end of the data (for a file that cannot
    // seek, such as a pipe, the largest value).
    uint64_t Size() const { return m_size; }
    // True when no byte is left to read.
    bool AtEnd();

    bool Failed() const { return m_failed; }
    void ClearFailure() { m_failed = false; }

private:
    template <unsigned N> bool take(uint8_t (&bytes)[N]);

    FILE* m_file = nullptr;
    const uint8_t* m_data = nullptr;
    uint64_t m_origin = 0; // file offset of position 0
    uint64_t m_pos = 0;
    uint64_t m_size = 0;
    bool m_failed = false;
};
