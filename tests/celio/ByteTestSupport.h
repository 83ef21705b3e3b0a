#pragma once
// Helpers of the byte-level I/O tests.

#include <QByteArray>
#include <QFile>
#include <QString>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <stdio_ext.h>
#include <unistd.h>

#include "base/Platform.h"

namespace celtest {

// A byte that depends on its offset, so a byte delivered from the wrong place shows.
inline uint8_t patternByte(uint64_t i, uint32_t seed = 0) {
    return uint8_t(((i + seed) * 2654435761u) >> 13);
}

inline QByteArray pattern(uint64_t n, uint32_t seed = 0) {
    QByteArray b(qsizetype(n), Qt::Uninitialized);
    for (uint64_t i = 0; i < n; ++i) b[qsizetype(i)] = char(patternByte(i, seed));
    return b;
}

// The integer a transfer throws; 0 when nothing was thrown.
template <class F> int thrownBy(F&& f) {
    try {
        f();
    } catch (int code) {
        return code;
    }
    return 0;
}

class InteractiveGuard {
public:
    explicit InteractiveGuard(bool on) : m_was(WHO_Identity::isInteractive()) {
        WHO_Identity::setInteractive(on);
    }
    ~InteractiveGuard() { WHO_Identity::setInteractive(m_was); }

private:
    bool m_was;
};

// Points standard input (fd 0) or output (fd 1) at a file while it lives.
// Assert after it is gone: the test framework prints to standard output.
class StdStreamRedirect {
public:
    StdStreamRedirect(int fd, const QString& path) : m_fd(fd), m_stream(fd == 0 ? stdin : stdout) {
        settle();
        m_saved = ::dup(fd);
        const int flags = fd == 0 ? O_RDONLY : (O_WRONLY | O_CREAT | O_TRUNC);
        const int file = ::open(QFile::encodeName(path).constData(), flags, 0644);
        if (file >= 0) ::dup2(file, fd), ::close(file);
        std::clearerr(m_stream);
    }
    ~StdStreamRedirect() {
        settle();
        if (m_saved >= 0) ::dup2(m_saved, m_fd), ::close(m_saved);
        std::clearerr(m_stream);
    }
    StdStreamRedirect(const StdStreamRedirect&) = delete;
    StdStreamRedirect& operator=(const StdStreamRedirect&) = delete;

private:
    // Buffered output goes where it was meant to; input read ahead is dropped.
    void settle() { m_fd == 0 ? __fpurge(m_stream) : void(std::fflush(m_stream)); }

    int m_fd;
    FILE* m_stream;
    int m_saved = -1;
};

} // namespace celtest
