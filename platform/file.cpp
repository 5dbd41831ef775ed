// Read-only file access on POSIX descriptors.
#include "platform/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>

namespace platform {

bool ReadOnlyFile::Open(const char* path) {
    Close();
    if (path == nullptr) {
        m_lastError = EINVAL;
        return false;
    }
    // O_NONBLOCK: opening a FIFO without a writer (or a device that waits for carrier) must not block.
    int fd = -1;
    do {
        fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        m_lastError = errno;
        return false;
    }
    m_fd = fd;
    return true;
}

bool ReadOnlyFile::IsRegularFile() {
    if (m_fd < 0) {
        return false;
    }
    struct stat info {};
    if (::fstat(m_fd, &info) != 0) {
        m_lastError = errno;
        return false;
    }
    return S_ISREG(info.st_mode);
}

int64_t ReadOnlyFile::Seek(int64_t offset, SeekOrigin origin) {
    if (m_fd < 0) {
        m_lastError = EBADF;
        return -1;
    }
    int whence = SEEK_SET;
    switch (origin) {
        case SeekOrigin::Begin:
            whence = SEEK_SET;
            break;
        case SeekOrigin::Current:
            whence = SEEK_CUR;
            break;
        case SeekOrigin::End:
            whence = SEEK_END;
            break;
    }
    const off_t position = ::lseek(m_fd, static_cast<off_t>(offset), whence);
    if (position < 0) {
        m_lastError = errno;
        return -1;
    }
    return static_cast<int64_t>(position);
}

int64_t ReadOnlyFile::Read(void* destination, size_t count) {
    if (m_fd < 0) {
        m_lastError = EBADF;
        return -1;
    }
    auto* bytes = static_cast<unsigned char*>(destination);
    size_t done = 0;
    while (done < count) {
        const ssize_t got = ::read(m_fd, bytes + done, count - done);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            // EAGAIN included: nothing here waits for data that is not there.
            m_lastError = errno;
            return -1;
        }
        if (got == 0) {
            break;
        }
        done += static_cast<size_t>(got);
    }
    return static_cast<int64_t>(done);
}

void ReadOnlyFile::Close() {
    if (m_fd < 0) {
        return;
    }
    ::close(m_fd);
    m_fd = -1;
}

}  // namespace platform
