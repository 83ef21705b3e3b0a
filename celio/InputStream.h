#pragma once
// Chunked input for the stream decoders.
//
// A CELIO_Block hands out its bytes chunk by chunk: first() points at the
// first chunk, next() refills that same place with the following chunk, and
// seek() positions at an absolute offset. CELIO_InputStream sits on a block
// and gives the decoders inline access to the current chunk; only a read that
// crosses the end of a chunk takes the out-of-line path.
//
// No operation reports an error: at the end of the data read() and skip()
// deliver fewer bytes than asked, and the value getters fill missing bytes
// with zero. Decoders that care about truncation compare the counts.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "base/ByteOrder.h"
#include "celcore_export.h"

class PL_FileSpec;

class CELCORE_EXPORT CELIO_Block {
public:
    CELIO_Block() = default;
    CELIO_Block(const CELIO_Block&) = delete;
    CELIO_Block& operator=(const CELIO_Block&) = delete;
    virtual ~CELIO_Block();

    // Starts reading: points data at the first chunk and returns its size.
    virtual uint32_t first(const uint8_t*& data) = 0;
    // Places the next chunk where first() pointed; returns its size, 0 at the end.
    virtual uint32_t next() = 0;
    // Positions at an absolute offset: points data at that byte and returns how
    // many bytes are available from there; 0 when that is not possible.
    virtual uint32_t seek(uint32_t offset, const uint8_t*& data) = 0;
};

// A stdio file read through one window of WindowSize bytes, malloc'ed on the
// first read (a regular file smaller than that gets a window of its own size).
// Seeks that land inside the window cost no read.
class CELCORE_EXPORT CELIO_FileInputBlock final : public CELIO_Block {
public:
    static constexpr uint32_t WindowSize = 4194304;

    CELIO_FileInputBlock() = default;
    // Takes ownership of an open stream (may be null).
    explicit CELIO_FileInputBlock(FILE* file) : m_file(file) {}
    ~CELIO_FileInputBlock() override;

    // Opens the file with get_fs("rb"), closing any stream held before; false on failure.
    bool open(const PL_FileSpec& spec);
    bool isOpen() const { return m_file != nullptr; }

    uint32_t first(const uint8_t*& data) override;
    uint32_t next() override;
    uint32_t seek(uint32_t offset, const uint8_t*& data) override;

    // The file offset of the window's first byte and the valid bytes in it.
    uint64_t windowOffset() const { return m_windowOffset; }
    uint32_t windowCount() const { return m_count; }

private:
    bool allocate();
    uint32_t fill();

    FILE* m_file = nullptr;
    uint8_t* m_window = nullptr;
    uint32_t m_capacity = 0;
    uint64_t m_windowOffset = 0;
    uint32_t m_count = 0;
};

// A caller's buffer, not owned: one chunk holding everything.
class CELCORE_EXPORT CELIO_MemoryInputBlock final : public CELIO_Block {
public:
    CELIO_MemoryInputBlock(const void* data, uint32_t size)
        : m_data(static_cast<const uint8_t*>(data)), m_size(data ? size : 0) {}

    uint32_t first(const uint8_t*& data) override;
    uint32_t next() override { return 0; }
    uint32_t seek(uint32_t offset, const uint8_t*& data) override;

private:
    const uint8_t* m_data;
    uint32_t m_size;
};

// The process's standard input, one byte per chunk; it cannot seek.
class CELCORE_EXPORT CELIO_StdinInputBlock final : public CELIO_Block {
public:
    uint32_t first(const uint8_t*& data) override;
    uint32_t next() override;
    uint32_t seek(uint32_t, const uint8_t*&) override { return 0; }

private:
    uint8_t m_byte = 0;
};

class CELCORE_EXPORT CELIO_InputStream {
public:
    // The block is not owned and must outlive the stream.
    explicit CELIO_InputStream(CELIO_Block& block) : m_block(&block) {
        m_remaining = block.first(m_start);
        m_cursor = m_start;
    }
    CELIO_InputStream(const CELIO_InputStream&) = delete;
    CELIO_InputStream& operator=(const CELIO_InputStream&) = delete;

    // Copies up to n bytes; fewer only at the end of the data, and the rest of
    // dst is then left unchanged.
    size_t read(void* dst, size_t n) {
        if (n <= m_remaining) {
            if (n) std::memcpy(dst, m_cursor, n);
            m_cursor += n;
            m_remaining -= uint32_t(n);
            return n;
        }
        return readSlow(static_cast<uint8_t*>(dst), n);
    }
    // Passes over up to n bytes; returns how many were passed.
    size_t skip(size_t n) {
        if (n <= m_remaining) {
            m_cursor += n;
            m_remaining -= uint32_t(n);
            return n;
        }
        return skipSlow(n);
    }
    // Moves to an absolute offset; past the end (or on a block that cannot
    // seek) the stream is at its end afterwards.
    void seek(uint32_t offset) {
        m_remaining = m_block->seek(offset, m_cursor);
        m_endReached = m_remaining == 0;
    }

    // Single values; missing bytes read as 0.
    uint8_t getU8() {
        if (m_remaining) {
            --m_remaining;
            return *m_cursor++;
        }
        uint8_t v = 0;
        readSlow(&v, 1);
        return v;
    }
    uint16_t getU16LE() { return ByteOrder::getU16LE(take<2>()); }
    uint16_t getU16BE() { return ByteOrder::getU16BE(take<2>()); }
    uint32_t getU32LE() { return ByteOrder::getU32LE(take<4>()); }
    uint32_t getU32BE() { return ByteOrder::getU32BE(take<4>()); }

    // Direct access to the current chunk for decoders that walk it themselves:
    // available() bytes from data(); advance() consumes up to that many.
    uint32_t available() const { return m_remaining; }
    const uint8_t* data() const { return m_cursor; }
    void advance(uint32_t n) {
        if (n > m_remaining) n = m_remaining;
        m_cursor += n;
        m_remaining -= n;
    }
    // True when nothing is left in the chunk and the block has reported its end.
    bool atEnd() const { return m_remaining == 0 && m_endReached; }

private:
    // Points at N bytes: in the chunk when it holds them, else in a zeroed
    // scratch filled through the slow path.
    template <unsigned N> const uint8_t* take() {
        if (m_remaining >= N) {
            const uint8_t* p = m_cursor;
            m_cursor += N;
            m_remaining -= N;
            return p;
        }
        std::memset(m_scratch, 0, sizeof m_scratch);
        readSlow(m_scratch, N);
        return m_scratch;
    }
    size_t readSlow(uint8_t* dst, size_t n);
    size_t skipSlow(size_t n);

    const uint8_t* m_start = nullptr;
    const uint8_t* m_cursor = nullptr;
    uint32_t m_remaining = 0;
    bool m_endReached = false;
    CELIO_Block* m_block;
    uint8_t m_scratch[8] = {};
};
