#include "celio/InputStream.h"

#include <algorithm>
#include <cstdlib>
#include <sys/stat.h>

#include "base/FileSpec.h"

CELIO_Block::~CELIO_Block() = default;

// ---------------------------------------------------------------- file

CELIO_FileInputBlock::~CELIO_FileInputBlock() {
    if (m_file) std::fclose(m_file);
    std::free(m_window);
}

bool CELIO_FileInputBlock::open(const PL_FileSpec& spec) {
    if (m_file) std::fclose(m_file);
    m_file = spec.get_fs("rb");
    std::free(m_window); // sized for the file it was made for
    m_window = nullptr;
    m_windowOffset = 0;
    m_count = 0;
    return m_file != nullptr;
}

bool CELIO_FileInputBlock::allocate() {
    if (m_window) return true;
    // A small file (a header, a thumbnail) needs no more than its own size.
    m_capacity = WindowSize;
    struct stat st;
    if (::fstat(::fileno(m_file), &st) == 0 && S_ISREG(st.st_mode) && uint64_t(st.st_size) < WindowSize)
        m_capacity = std::max<uint32_t>(uint32_t(st.st_size), 1);
    m_window = static_cast<uint8_t*>(std::malloc(m_capacity));
    return m_window != nullptr;
}

// Reads up to a window's worth from the stream's current position.
uint32_t CELIO_FileInputBlock::fill() {
    m_count = (m_file && allocate()) ? uint32_t(std::fread(m_window, 1, m_capacity, m_file)) : 0;
    return m_count;
}

uint32_t CELIO_FileInputBlock::first(const uint8_t*& data) {
    m_windowOffset = 0;
    const uint32_t n = fill();
    data = m_window;
    return n;
}

uint32_t CELIO_FileInputBlock::next() {
    m_windowOffset += m_count;
    return fill();
}

uint32_t CELIO_FileInputBlock::seek(uint32_t offset, const uint8_t*& data) {
    if (m_window && offset >= m_windowOffset && offset - m_windowOffset < m_count) {
        const uint32_t inWindow = uint32_t(offset - m_windowOffset);
        data = m_window + inWindow;
        return m_count - inWindow;
    }
    if (!m_file || std::fseek(m_file, long(offset), SEEK_SET) != 0) {
        m_count = 0;
        data = m_window;
        return 0;
    }
    m_windowOffset = offset;
    const uint32_t n = fill();
    data = m_window;
    return n;
}

// ---------------------------------------------------------------- memory

uint32_t CELIO_MemoryInputBlock::first(const uint8_t*& data) {
    data = m_data;
    return m_size;
}

uint32_t CELIO_MemoryInputBlock::seek(uint32_t offset, const uint8_t*& data) {
    if (offset >= m_size) return 0;
    data = m_data + offset;
    return m_size - offset;
}

// ---------------------------------------------------------------- standard input

uint32_t CELIO_StdinInputBlock::first(const uint8_t*& data) {
    data = &m_byte;
    return next();
}

uint32_t CELIO_StdinInputBlock::next() {
    const int c = std::getc(stdin);
    if (c == EOF) return 0;
    m_byte = uint8_t(c);
    return 1;
}

// ---------------------------------------------------------------- stream

// Reading and skipping walk the chunks alike; a skip has no destination.
size_t CELIO_InputStream::readSlow(uint8_t* dst, size_t n) {
    size_t done = 0;
    for (;;) {
        const size_t take = n - done < m_remaining ? n - done : m_remaining;
        if (take) {
            if (dst) std::memcpy(dst + done, m_cursor, take);
            m_cursor += take;
            m_remaining -= uint32_t(take);
            done += take;
        }
        if (done == n || m_endReached) return done;
        m_remaining = m_block->next();
        m_endReached = m_remaining == 0;
        m_cursor = m_start;
    }
}

size_t CELIO_InputStream::skipSlow(size_t n) {
    return readSlow(nullptr, n);
}
