#include "base/Persistent.h"

#include <cstring>
#include <limits>

#include "base/ByteOrder.h"
#include "base/FileSpec.h"

DB_File::~DB_File() {
    Close();
}

bool DB_File::OpenForInput(const PL_FileSpec& spec) {
    Close();
    m_file = spec.get_fs("rb");
    return m_file != nullptr;
}

void DB_File::Close() {
    if (m_file) std::fclose(m_file);
    m_file = nullptr;
}

DB_PersistentStore::DB_PersistentStore(DB_File& file) : m_file(file.Handle()) {
    if (!m_file) return;
    const off_t origin = ftello(m_file);
    if (origin >= 0 && fseeko(m_file, 0, SEEK_END) == 0) {
        const off_t end = ftello(m_file);
        fseeko(m_file, origin, SEEK_SET);
        m_origin = uint64_t(origin);
        m_size = end > origin ? uint64_t(end - origin) : 0;
    } else {
        m_size = std::numeric_limits<uint64_t>::max();
    }
}

DB_PersistentStore::DB_PersistentStore(const void* data, size_t size)
    : m_data(static_cast<const uint8_t*>(data)), m_size(data ? size : 0) {}

bool DB_PersistentStore::Load(void* dst, size_t n) {
    if (n == 0) return true;
    size_t got = 0;
    if (m_file) {
        got = std::fread(dst, 1, n, m_file);
    } else if (m_data && m_pos < m_size) {
        got = size_t(m_size - m_pos) < n ? size_t(m_size - m_pos) : n;
        std::memcpy(dst, m_data + m_pos, got);
    }
    m_pos += got;
    if (got == n) return true;
    m_failed = true;
    return false;
}

template <unsigned N> bool DB_PersistentStore::take(uint8_t (&bytes)[N]) {
    if (Load(bytes, N)) return true;
    std::memset(bytes, 0, N);
    return false;
}

uint8_t DB_PersistentStore::ReadU8() {
    uint8_t b[1];
    take(b);
    return b[0];
}

uint16_t DB_PersistentStore::ReadU16LE() {
    uint8_t b[2];
    take(b);
    return ByteOrder::getU16LE(b);
}

uint16_t DB_PersistentStore::ReadU16BE() {
    uint8_t b[2];
    take(b);
    return ByteOrder::getU16BE(b);
}

uint32_t DB_PersistentStore::ReadU32LE() {
    uint8_t b[4];
    take(b);
    return ByteOrder::getU32LE(b);
}

uint32_t DB_PersistentStore::ReadU32BE() {
    uint8_t b[4];
    take(b);
    return ByteOrder::getU32BE(b);
}

uint64_t DB_PersistentStore::ReadU64BE() {
    uint8_t b[8];
    take(b);
    uint64_t v = 0;
    for (uint8_t x : b) v = (v << 8) | x;
    return v;
}

bool DB_PersistentStore::Seek(uint64_t pos) {
    const bool inRange = (m_file || m_data) && pos <= m_size;
    if (!inRange || (m_file && fseeko(m_file, off_t(m_origin + pos), SEEK_SET) != 0)) {
        m_failed = true;
        return false;
    }
    m_pos = pos;
    return true;
}

bool DB_PersistentStore::Skip(int64_t n) {
    if (n < 0 ? uint64_t(-(n + 1)) + 1 > m_pos : uint64_t(n) > m_size - m_pos) {
        m_failed = true;
        return false;
    }
    return Seek(n < 0 ? m_pos - (uint64_t(-(n + 1)) + 1) : m_pos + uint64_t(n));
}

bool DB_PersistentStore::AtEnd() {
    if (!m_file) return m_pos >= m_size;
    const int c = std::getc(m_file);
    if (c == EOF) return true;
    std::ungetc(c, m_file);
    return false;
}
