// Read-only file access on Windows handles. The path is UTF-8 inside the program and converted for
// CreateFileW; the handle is kept as a C runtime descriptor (one int, as on POSIX) and every operation
// goes to the handle behind it.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <string>

#include "platform/file.h"
#include "platform/win32_error.h"
#include "platform/win32_path.h"

namespace platform {

namespace {

HANDLE HandleOf(int fd) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

}  // namespace

bool ReadOnlyFile::Open(const char* path) {
    Close();
    if (path == nullptr) {
        m_lastError = EINVAL;
        return false;
    }
    const std::wstring widePath = WideFromUtf8(path);
    if (widePath.empty()) {
        m_lastError = ENOENT;
        return false;
    }
    // Others may read and even replace the file meanwhile, as on POSIX; the handle is not inherited.
    HANDLE handle =
        CreateFileW(widePath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        m_lastError = ErrnoFromWin32(GetLastError());
        return false;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        m_lastError = EMFILE;
        CloseHandle(handle);
        return false;
    }
    m_fd = fd;
    return true;
}

bool ReadOnlyFile::IsRegularFile() {
    if (m_fd < 0) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(HandleOf(m_fd)) != FILE_TYPE_DISK || !GetFileInformationByHandle(HandleOf(m_fd), &info)) {
        return false;
    }
    return (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

int64_t ReadOnlyFile::Seek(int64_t offset, SeekOrigin origin) {
    if (m_fd < 0) {
        m_lastError = EBADF;
        return -1;
    }
    DWORD method = FILE_BEGIN;
    switch (origin) {
        case SeekOrigin::Begin:
            method = FILE_BEGIN;
            break;
        case SeekOrigin::Current:
            method = FILE_CURRENT;
            break;
        case SeekOrigin::End:
            method = FILE_END;
            break;
    }
    LARGE_INTEGER distance{};
    distance.QuadPart = offset;
    LARGE_INTEGER position{};
    if (!SetFilePointerEx(HandleOf(m_fd), distance, &position, method)) {
        m_lastError = ErrnoFromWin32(GetLastError());
        return -1;
    }
    return position.QuadPart;
}

int64_t ReadOnlyFile::Read(void* destination, size_t count) {
    if (m_fd < 0) {
        m_lastError = EBADF;
        return -1;
    }
    auto* bytes = static_cast<unsigned char*>(destination);
    size_t done = 0;
    while (done < count) {
        const size_t rest = count - done;
        const DWORD wanted = rest > 0x40000000u ? 0x40000000u : static_cast<DWORD>(rest);
        DWORD got = 0;
        if (!ReadFile(HandleOf(m_fd), bytes + done, wanted, &got, nullptr)) {
            m_lastError = ErrnoFromWin32(GetLastError());
            return -1;
        }
        if (got == 0) {
            break;
        }
        done += got;
    }
    return static_cast<int64_t>(done);
}

void ReadOnlyFile::Close() {
    if (m_fd >= 0) {
        _close(m_fd);
        m_fd = -1;
    }
}

}  // namespace platform
