#pragma once
// The byte source and byte target of the handlers that parse and write files
// byte by byte.
//
// ibuf reads a named file, the process's standard input (the path "-" in a
// process that is not interactive) or a caller's memory buffer. obuf writes a
// named file, or collects the bytes in memory and sends them to standard output
// when it is closed (again the path "-" in a process that is not interactive).
//
// A regular file is never written in place: obuf writes a temporary file beside
// it and renames it over the target only when close() succeeds, so a write that
// fails or is abandoned (an exception, a full disk) leaves the previous file as
// it was and no partial file under the target's name. Devices, pipes and other
// files that are not regular are written directly.
//
// Both keep their own buffer and serve single bytes and 16/32/64-bit values
// inline; only refills and flushes leave the header. A failed transfer is an
// integer exception the handler catches:
//   ibuf: reading past the end of the data throws ibuf::EndOfData (-1);
//   obuf: a failed write throws obuf::WriteFailed (-1), and closeOrThrow()
//         throws obuf::CloseFailed (-2) after a failed close.
//
// Multi-byte values are read and written in the byte order the getter or
// putter names; each handler picks its file format's order.

#include <QByteArray>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "base/ByteOrder.h"
#include "celcore_export.h"

class CELCORE_EXPORT ibuf {
public:
    static constexpr int EndOfData = -1;
    static constexpr size_t BufferSize = 262144; // file window

    // Opens the remapped path for reading raw bytes, or standard input for "-"
    // when the process is not interactive. Check isOpen().
    explicit ibuf(const QString& path);
    // Reads a caller's buffer (not owned; it must outlive the ibuf).
    ibuf(const void* data, size_t size);
    ~ibuf();
    ibuf(const ibuf&) = delete;
    ibuf& operator=(const ibuf&) = delete;

    bool isOpen() const { return m_open; }
    bool isStdin() const { return m_stdin; }

    // Single values; each throws EndOfData when the data ends first.
    uint8_t getByte() {
        if (m_cur != m_end) return *m_cur++;
        return getByteSlow();
    }
    uint16_t getU16LE() { return ByteOrder::getU16LE(take<2>()); }
    uint16_t getU16BE() { return ByteOrder::getU16BE(take<2>()); }
    uint32_t getU32LE() { return ByteOrder::getU32LE(take<4>()); }
    uint32_t getU32BE() { return ByteOrder::getU32BE(take<4>()); }
    uint64_t getU64LE() {
        const uint64_t lo = getU32LE();
        return lo | (uint64_t(getU32LE()) << 32);
    }
    uint64_t getU64BE() {
        const uint64_t hi = getU32BE();
        return (hi << 32) | getU32BE();
    }

    // Copies n bytes; throws EndOfData when fewer remain (the bytes that were
    // there have been copied by then).
    void read(void* dst, size_t n) {
        if (size_t(m_end - m_cur) >= n) {
            if (n) std::memcpy(dst, m_cur, n);
            m_cur += n;
            return;
        }
        if (readSome(dst, n) != n) throw EndOfData;
    }
    // Copies up to n bytes and returns how many; never throws.
    size_t readSome(void* dst, size_t n);
    // Copies up to n bytes from the absolute position pos, leaving the read
    // position and the buffered window alone; returns how many (fewer only at
    // the end of the data). Never throws. Lets a decoder follow several parts
    // of the data at once.
    size_t readAt(uint64_t pos, void* dst, size_t n);

    // Relative seek from the current position. Moving before the start of the
    // data throws EndOfData; moving past its end does not, the next read does.
    void skip(int64_t n) {
        if (n >= 0 && uint64_t(n) <= uint64_t(m_end - m_cur)) {
            m_cur += n;
            return;
        }
        skipSlow(n);
    }
    // Absolute seek; a negative position throws EndOfData.
    void seek(int64_t pos);
    uint64_t tell() const { return m_base + uint64_t(m_cur - m_begin); }
    // Length of the data (of the file, for a file); the position is kept.
    uint64_t size();
    // True when no byte is left to read.
    bool atEnd() { return m_cur == m_end && !refill(); }
    // The next byte without consuming it, or -1 at the end.
    int peek() { return (m_cur != m_end || refill()) ? *m_cur : -1; }

    // Stream extraction of a decimal integer: leading white space, an optional
    // sign, then digits up to the first non-digit (left unread). Throws
    // EndOfData when no digit is found or the value does not fit.
    int64_t readDecimal();

private:
    template <unsigned N> const uint8_t* take() {
        if (size_t(m_end - m_cur) >= N) {
            const uint8_t* p = m_cur;
            m_cur += N;
            return p;
        }
        read(m_scratch, N);
        return m_scratch;
    }
    uint8_t getByteSlow();
    void skipSlow(int64_t n);
    // Loads the next part of a file into the buffer; false at the end.
    bool refill();

    // [m_begin, m_end) holds the data from offset m_base on. For a file it is
    // the window, and the stream stands at m_base + (m_end - m_begin); for
    // memory and standard input it is all of m_data, or empty after a seek
    // past the end.
    const uint8_t* m_begin = nullptr;
    const uint8_t* m_cur = nullptr;
    const uint8_t* m_end = nullptr;
    uint64_t m_base = 0;
    FILE* m_file = nullptr;          // file mode only
    const uint8_t* m_data = nullptr; // memory and standard-input modes
    size_t m_size = 0;
    std::vector<uint8_t> m_storage; // file window, or the whole of standard input
    bool m_open = false;
    bool m_stdin = false;
    uint8_t m_scratch[8] = {};
};

class CELCORE_EXPORT obuf {
public:
    static constexpr int WriteFailed = -1;
    static constexpr int CloseFailed = -2;
    static constexpr size_t BufferSize = 262144; // a write that does not fit and is this large bypasses it

    // Opens the remapped path for writing raw bytes, or collects the bytes for
    // standard output for "-" when the process is not interactive. A regular
    // file (existing or not) is written through a temporary file in the same
    // folder that takes the target's permission bits; a symbolic link is
    // followed, so the file it names is replaced. An existing target that may
    // not be written (no write permission for this process, or no write bit at
    // all: read-only even to the superuser) is refused as opening it would be.
    // When the folder takes no new file but the target may be written, it is
    // written in place. When nothing can be opened, posts "Could not open file
    // \"%1\" for writing.\n" (context "qxcelio", action 2, code 20); check isOpen().
    explicit obuf(const QString& path);
    // Without a successful close() the write is abandoned: the temporary file
    // is removed (the target keeps its previous content) and bytes collected
    // for standard output are dropped. A file written directly is flushed and
    // closed quietly.
    ~obuf();
    obuf(const obuf&) = delete;
    obuf& operator=(const obuf&) = delete;

    bool isOpen() const { return m_open; }
    bool isStdout() const { return m_stdout; }
    const QString& path() const { return m_path; }

    void putByte(uint8_t b) {
        if (m_cur == m_end) flushSlow();
        *m_cur++ = b;
    }
    void put16LE(uint16_t v) { ByteOrder::putU16LE(room<2>(), v); }
    void put16BE(uint16_t v) { ByteOrder::putU16BE(room<2>(), v); }
    void put32LE(uint32_t v) { ByteOrder::putU32LE(room<4>(), v); }
    void put32BE(uint32_t v) { ByteOrder::putU32BE(room<4>(), v); }
    void put64BE(uint64_t v) {
        put32BE(uint32_t(v >> 32));
        put32BE(uint32_t(v));
    }
    // Small writes are buffered; large ones go straight through.
    void write(const void* src, size_t n) {
        if (size_t(m_end - m_cur) >= n) {
            if (n) std::memcpy(m_cur, src, n);
            m_cur += n;
            return;
        }
        writeSlow(src, n);
    }

    // Position of the next byte written. seek() moves it anywhere up to the end
    // (further for a file: the gap reads as zeros), so a writer can go back
    // and fill in a length or a table.
    uint64_t tell() const { return m_base + uint64_t(m_cur - m_buffer.data()); }
    void seek(uint64_t pos);

    // Flushes and closes, sending collected bytes to standard output or putting
    // the temporary file in the target's place. A failure (including a failed
    // write before) posts "Could not complete writing to file: \"%1\"\n"
    // (context "qxcelio", action 2, code 20) and leaves a replaced target as it
    // was. close() then returns false; closeOrThrow() throws CloseFailed.
    // Closing twice does nothing.
    bool close();
    void closeOrThrow();

private:
    template <unsigned N> uint8_t* room() {
        if (size_t(m_end - m_cur) < N) flushSlow();
        uint8_t* p = m_cur;
        m_cur += N;
        return p;
    }
    // Empties the buffer into the sink; throws WriteFailed on failure.
    void flushSlow();
    bool flushBuffer();
    void writeSlow(const void* src, size_t n);
    bool sinkWrite(const uint8_t* src, size_t n);
    bool finish();
    void openFile();
    void discardTemporary();

    QString m_path;
    FILE* m_file = nullptr;
    QByteArray m_temporary; // the file written in place of m_target; empty when writing directly
    QByteArray m_target;    // the file the temporary one replaces on close
    std::vector<uint8_t> m_buffer;
    uint8_t* m_cur = nullptr;
    uint8_t* m_end = nullptr;
    uint64_t m_base = 0;           // sink position of m_buffer[0]
    std::vector<uint8_t> m_memory; // bytes for standard output
    bool m_open = false;
    bool m_stdout = false;
    bool m_closed = false;
    bool m_failed = false; // a write failed: close() must not put the file in place
};
