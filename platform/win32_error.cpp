// GetLastError codes as errno values (the table is in win32_error.h).
#include "platform/win32_error.h"

#include <windows.h>

#include <cerrno>

namespace platform {

int ErrnoFromWin32(uint32_t code, Win32Object object) {
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_NETPATH:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
            return object == Win32Object::SerialPort ? EBUSY : EACCES;
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_BUSY:
        case ERROR_ALREADY_EXISTS:
            return EBUSY;
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_DEV_NOT_EXIST:
        case ERROR_BAD_UNIT:
        case ERROR_NOT_READY:
            return ENODEV;
        case ERROR_GEN_FAILURE:
        case ERROR_BROKEN_PIPE:
            return EPIPE;
        case ERROR_SEM_TIMEOUT:
        case WAIT_TIMEOUT:
        case ERROR_TIMEOUT:
            return ETIMEDOUT;
        case ERROR_OPERATION_ABORTED:
            return ECANCELED;
        case ERROR_INVALID_PARAMETER:
        case ERROR_INVALID_FUNCTION:
        case ERROR_NOT_SUPPORTED:
            return EINVAL;
        case ERROR_INVALID_HANDLE:
            return EBADF;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return ENOMEM;
        case ERROR_FILENAME_EXCED_RANGE:
            return ENAMETOOLONG;
        default:
            return EIO;
    }
}

}  // namespace platform
