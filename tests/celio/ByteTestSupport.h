#pragma once
// Points the process's standard input or output at a file for the lifetime of
// the object, and restores it afterwards. Assertions belong after the restore:
// the test framework prints failures to standard output.

#include <QFile>
#include <QString>
#include <cstdio>
#include <fcntl.h>
#include <stdio_ext.h>
#include <unistd.h>

namespace celtest {

class StdStreamRedirect {
public:
    // fd 0 reads the file; fd 1 truncates and writes it.
    StdStreamRedirect(int fd, const QString& path) : m_fd(fd), m_stream(fd == 0 ? stdin : stdout) {
        settle();
        m_saved = ::dup(fd);
        const int flags = fd == 0 ? O_RDONLY : (O_WRONLY | O_CREAT | O_TRUNC);
        const int file = ::open(QFile::encodeName(path).constData(), flags, 0644);
        if (file >= 0) {
            ::dup2(file, fd);
            ::close(file);
        }
        std::clearerr(m_stream);
    }
    ~StdStreamRedirect() {
        settle();
        if (m_saved >= 0) {
            ::dup2(m_saved, m_fd);
            ::close(m_saved);
        }
        std::clearerr(m_stream);
    }
    StdStreamRedirect(const StdStreamRedirect&) = delete;
    StdStreamRedirect& operator=(const StdStreamRedirect&) = delete;

private:
    // Output still buffered goes where it was meant to; input read ahead from
    // the old descriptor is dropped.
    void settle() {
        if (m_fd == 0)
            __fpurge(m_stream);
        else
            std::fflush(m_stream);
    }

    int m_fd;
    FILE* m_stream;
    int m_saved = -1;
};

} // namespace celtest
