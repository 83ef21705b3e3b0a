#include "celio/ByteIO.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

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

FILE* adoptDescriptor(int fd) {
    FILE* f = ::fdopen(fd, "wb");
    if (!f) {
        ::close(fd);
        return nullptr;
    }
    std::setvbuf(f, nullptr, _IONBF, 0);
    return f;
}

// A new file beside `target` (same folder, a hidden name made from the target's)
// created exclusively with the given permission bits; -1 when the folder takes
// none. The name goes to `name`.
int createBeside(const QByteArray& target, mode_t mode, QByteArray& name) {
    static std::atomic<unsigned> serial{0};
    const qsizetype slash = target.lastIndexOf('/');
    const QByteArray folder = target.left(slash + 1);
    const QByteArray base = target.mid(slash + 1);
    for (int attempt = 0; attempt < 32; ++attempt) {
        const unsigned tag = unsigned(::getpid()) * 2654435761u + serial.fetch_add(1) * 40503u;
        name = folder + '.' + base + '.' + QByteArray::number(tag, 16) + ".part";
        const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
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

size_t ibuf::readAt(uint64_t pos, void* dst, size_t n) {
    uint8_t* out = static_cast<uint8_t*>(dst);
    if (!m_file) {
        if (!m_open || pos >= m_size) return 0;
        const size_t take = std::min<uint64_t>(n, m_size - pos);
        std::memcpy(out, m_data + pos, take);
        return take;
    }
    size_t done = 0;
    const int fd = ::fileno(m_file);
    while (done < n && pos + done <= uint64_t(std::numeric_limits<off_t>::max())) {
        const ssize_t got = ::pread(fd, out + done, n - done, off_t(pos + done));
        if (got > 0) {
            done += size_t(got);
        } else if (got < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
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
        openFile();
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

void obuf::openFile() {
    if (m_path.isEmpty()) return;
    QByteArray target = m_path.toUtf8();
    struct stat st {};
    const bool exists = ::stat(target.constData(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) { // a device, a pipe: written as it is (a folder fails here)
        m_file = openRaw(m_path, "wb");
        return;
    }
    if (exists) {
        // Replacing by renaming would get round the file's protection: refuse
        // what writing it in place would refuse, and a file nobody may write.
        if (::access(target.constData(), W_OK) != 0 || (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
            return;
        // A link stays a link: the file it leads to is the one replaced.
        if (char* real = ::realpath(target.constData(), nullptr)) {
            target = real;
            std::free(real);
        }
    } else {
        struct stat link {};
        if (::lstat(target.constData(), &link) == 0) { // a dangling link: written through as before
            m_file = openRaw(m_path, "wb");
            return;
        }
    }
    const mode_t mode = exists ? mode_t(st.st_mode & 07777) : mode_t(0666);
    QByteArray temporary;
    const int fd = createBeside(target, mode, temporary);
    if (fd < 0) {
        // The folder takes no new file; a target that may be written still can be.
        m_file = openRaw(m_path, "wb");
        return;
    }
    if (exists) {
        // The new file keeps the old one's owner and exact mode where the process may set them.
        [[maybe_unused]] const int owned = ::fchown(fd, st.st_uid, st.st_gid);
        ::fchmod(fd, mode);
    }
    m_file = adoptDescriptor(fd);
    if (!m_file) {
        ::unlink(temporary.constData());
        return;
    }
    m_temporary = temporary;
    m_target = target;
}

void obuf::discardTemporary() {
    if (m_temporary.isEmpty()) return;
    ::unlink(m_temporary.constData());
    m_temporary.clear();
}

obuf::~obuf() {
    if (m_file) {
        if (m_temporary.isEmpty()) flushBuffer();
        std::fclose(m_file);
    }
    discardTemporary();
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
    if (!flushBuffer()) {
        m_failed = true;
        throw WriteFailed;
    }
}

void obuf::writeSlow(const void* src, size_t n) {
    flushSlow();
    if (n >= m_buffer.size()) {
        if (!sinkWrite(static_cast<const uint8_t*>(src), n)) {
            m_failed = true;
            throw WriteFailed;
        }
        m_base += n;
        return;
    }
    std::memcpy(m_cur, src, n);
    m_cur += n;
}

void obuf::seek(uint64_t pos) {
    flushSlow();
    if (m_file &&
        (pos > uint64_t(std::numeric_limits<off_t>::max()) || fseeko(m_file, off_t(pos), SEEK_SET) != 0)) {
        m_failed = true;
        throw WriteFailed;
    }
    m_base = pos;
}

bool obuf::finish() {
    if (m_closed) return true;
    if (!m_open) return false;
    bool ok = flushBuffer() && !m_failed;
    m_closed = true;
    m_cur = m_end = nullptr; // later writes fail instead of landing nowhere
    if (m_file) {
        ok = std::ferror(m_file) == 0 && ok;
        ok = std::fclose(m_file) == 0 && ok;
        m_file = nullptr;
        if (!m_temporary.isEmpty()) {
            ok = ok && ::rename(m_temporary.constData(), m_target.constData()) == 0;
            if (ok)
                m_temporary.clear();
            else
                discardTemporary();
        }
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
