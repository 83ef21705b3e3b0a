#include "celio/ByteIO.h"

#include <limits>

#include "base/Message.h"
#include "base/Platform.h"

namespace {

bool isStdStreamPath(const QString& path) {
    return !WHO_Identity::isInteractive() && path == QLatin1String("-");
}

FILE* openRaw(const QString& path, const char* mode) {
    if (path.isEmpty()) return nullptr;
    FILE* f = std::fopen(path.toUtf8().constData(), mode);
    // Both classes buffer for themselves; a second stdio buffer would only copy.
    if (f) std::setvbuf(f, nullptr, _IONBF, 0);
    return f;
}

} // namespace

// ================================================================ ibuf

ibuf::ibuf(const QString& path) {
    const QString remapped = oswRemapPath::RemapPath2(path);
    if (isStdStreamPath(remapped)) {
        // Standard input cannot seek, and the decoders seek (to measure the
        // data, to go back to a table), so it is taken in whole.
        m_stdin = true;
        m_open = true;
        uint8_t chunk[65536];
        size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, stdin)) > 0)
            m_storage.insert(m_storage.end(), chunk, chunk + n);
        m_data = m_storage.data();
        m_size = m_storage.size();
        m_begin = m_cur = m_data;
        m_end = m_data + m_size;
        return;
    }
    m_file = openRaw(remapped, "rb");
    m_open = m_file != nullptr;
    if (m_open) {
        m_storage.resize(BufferSize);
        m_begin = m_cur = m_end = m_storage.data();
    }
}

ibuf::ibuf(const void* data, size_t size)
    : m_data(static_cast<const uint8_t*>(data)), m_size(data ? size : 0), m_open(true) {
    m_begin = m_cur = m_data;
    m_end = m_data + m_size;
}

ibuf::~ibuf() {
    if (m_file) std::fclose(m_file);
}

bool ibuf::refill() {
    if (!m_file) return false;
    m_base += uint64_t(m_end - m_begin);
    m_begin = m_cur = m_storage.data();
    m_end = m_begin + std::fread(m_storage.data(), 1, m_storage.size(), m_file);
    return m_end != m_begin;
}

uint8_t ibuf::getByteSlow() {
    if (!refill()) throw EndOfData;
    return *m_cur++;
}

size_t ibuf::readSome(void* dst, size_t n) {
    uint8_t* out = static_cast<uint8_t*>(dst);
    size_t done = 0;
    while (done < n) {
        size_t have = size_t(m_end - m_cur);
        if (have == 0) {
            // A large remainder goes from the file straight to the caller.
            if (m_file && n - done >= m_storage.size()) {
                m_base += uint64_t(m_end - m_begin);
                m_begin = m_cur = m_end = m_storage.data();
                const size_t got = std::fread(out + done, 1, n - done, m_file);
                m_base += got;
                done += got;
                break;
            }
            if (!refill()) break;
            have = size_t(m_end - m_cur);
        }
        const size_t take = n - done < have ? n - done : have;
        std::memcpy(out + done, m_cur, take);
        m_cur += take;
        done += take;
    }
    return done;
}

void ibuf::skipSlow(int64_t n) {
    const uint64_t here = tell();
    if (n < 0 && uint64_t(-(n + 1)) + 1 > here) throw EndOfData;
    if (n > 0 && uint64_t(n) > uint64_t(std::numeric_limits<int64_t>::max()) - here) throw EndOfData;
    seek(int64_t(here) + n);
}

void ibuf::seek(int64_t pos) {
    if (pos < 0 || !m_open) throw EndOfData;
    const uint64_t target = uint64_t(pos);
    if (target >= m_base && target - m_base <= uint64_t(m_end - m_begin)) {
        m_cur = m_begin + (target - m_base);
        return;
    }
    if (m_file) {
        if (fseeko(m_file, off_t(target), SEEK_SET) != 0) throw EndOfData;
        m_base = target;
        m_begin = m_cur = m_end = m_storage.data();
        return;
    }
    if (target <= m_size) {
        m_base = 0;
        m_begin = m_data;
        m_end = m_data + m_size;
        m_cur = m_data + target;
    } else {
        // Past the end: nothing to read from here, but tell() stays truthful.
        m_base = target;
        m_begin = m_cur = m_end = m_data + m_size;
    }
}

uint64_t ibuf::size() {
    if (!m_file) return m_size;
    const off_t here = ftello(m_file);
    if (here < 0 || fseeko(m_file, 0, SEEK_END) != 0) return tell();
    const off_t end = ftello(m_file);
    fseeko(m_file, here, SEEK_SET);
    return end < 0 ? tell() : uint64_t(end);
}

int64_t ibuf::readDecimal() {
    int c = peek();
    while (c == ' ' || (c >= '\t' && c <= '\r')) {
        ++m_cur;
        c = peek();
    }
    bool negative = false;
    if (c == '+' || c == '-') {
        negative = c == '-';
        ++m_cur;
        c = peek();
    }
    if (c < '0' || c > '9') throw EndOfData;
    // Accumulate negatively so that the most negative value fits too.
    int64_t value = 0;
    constexpr int64_t lowest = std::numeric_limits<int64_t>::min();
    while (c >= '0' && c <= '9') {
        const int digit = c - '0';
        if (value < (lowest + digit) / 10) throw EndOfData;
        value = value * 10 - digit;
        ++m_cur;
        c = peek();
    }
    if (!negative) {
        if (value == lowest) throw EndOfData;
        value = -value;
    }
    return value;
}

// ================================================================ obuf

obuf::obuf(const QString& path) : m_path(oswRemapPath::RemapPath2(path)) {
    if (isStdStreamPath(m_path)) {
        m_stdout = true;
        m_open = true;
    } else {
        m_file = openRaw(m_path, "wb");
        m_open = m_file != nullptr;
        if (!m_open) {
            MSG_Scope("qxcelio", "Could not open file \"%1\" for writing.\n", 2).arg(m_path).post(20);
            return;
        }
    }
    m_buffer.resize(BufferSize);
    m_cur = m_buffer.data();
    m_end = m_cur + m_buffer.size();
}

obuf::~obuf() {
    if (m_file) {
        flushBuffer();
        std::fclose(m_file);
    }
}

bool obuf::sinkWrite(const uint8_t* src, size_t n) {
    if (n == 0) return true;
    if (m_file) return std::fwrite(src, 1, n, m_file) == n;
    if (!m_stdout || m_closed) return false;
    const size_t at = size_t(m_base);
    if (m_memory.size() < at + n) m_memory.resize(at + n);
    std::memcpy(m_memory.data() + at, src, n);
    return true;
}

bool obuf::flushBuffer() {
    if (!m_open || m_closed) return false;
    const size_t n = size_t(m_cur - m_buffer.data());
    m_cur = m_buffer.data();
    if (!sinkWrite(m_buffer.data(), n)) return false;
    m_base += n;
    return true;
}

void obuf::flushSlow() {
    if (!flushBuffer()) throw WriteFailed;
}

void obuf::writeSlow(const void* src, size_t n) {
    flushSlow();
    if (n >= m_buffer.size()) {
        if (!sinkWrite(static_cast<const uint8_t*>(src), n)) throw WriteFailed;
        m_base += n;
        return;
    }
    std::memcpy(m_cur, src, n);
    m_cur += n;
}

void obuf::seek(uint64_t pos) {
    flushSlow();
    if (m_file && fseeko(m_file, off_t(pos), SEEK_SET) != 0) throw WriteFailed;
    m_base = pos;
}

bool obuf::finish() {
    if (m_closed) return true;
    if (!m_open) return false;
    bool ok = flushBuffer();
    m_closed = true;
    m_cur = m_end = nullptr; // later writes fail instead of landing nowhere
    if (m_file) {
        ok = std::ferror(m_file) == 0 && ok;
        ok = std::fclose(m_file) == 0 && ok;
        m_file = nullptr;
    } else {
        if (!m_memory.empty())
            ok = ok && std::fwrite(m_memory.data(), 1, m_memory.size(), stdout) == m_memory.size();
        ok = std::fflush(stdout) == 0 && ok;
        std::vector<uint8_t>().swap(m_memory);
    }
    std::vector<uint8_t>().swap(m_buffer);
    if (!ok) MSG_Scope("qxcelio", "Could not complete writing to file: \"%1\"\n", 2).arg(m_path).post(20);
    return ok;
}

bool obuf::close() {
    return finish();
}

void obuf::closeOrThrow() {
    if (!finish()) throw CloseFailed;
}
