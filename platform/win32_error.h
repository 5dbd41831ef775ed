// The system's reasons on Windows as the rest of the program reads them. The platform interfaces keep
// errno values for their failures (the links and the command line tell EBUSY, EACCES and ENOENT apart,
// and print the others with strerror), so the Windows files turn GetLastError's code into the errno it
// means, in one table (win32_error.cpp):
//   ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_INVALID_NAME, ERROR_BAD_NETPATH -> ENOENT
//   ERROR_ACCESS_DENIED on a serial port -> EBUSY (Windows refuses a port another program holds this
//     way); elsewhere -> EACCES
//   ERROR_SHARING_VIOLATION, ERROR_LOCK_VIOLATION, ERROR_BUSY, ERROR_ALREADY_EXISTS -> EBUSY
//   ERROR_DEVICE_NOT_CONNECTED, ERROR_DEV_NOT_EXIST, ERROR_BAD_UNIT, ERROR_NOT_READY -> ENODEV
//   ERROR_GEN_FAILURE (a stalled pipe), ERROR_BROKEN_PIPE -> EPIPE
//   ERROR_SEM_TIMEOUT, WAIT_TIMEOUT, ERROR_TIMEOUT -> ETIMEDOUT;   ERROR_OPERATION_ABORTED -> ECANCELED
//   ERROR_INVALID_PARAMETER, ERROR_INVALID_FUNCTION, ERROR_NOT_SUPPORTED -> EINVAL
//   ERROR_INVALID_HANDLE -> EBADF;   ERROR_NOT_ENOUGH_MEMORY, ERROR_OUTOFMEMORY -> ENOMEM
//   ERROR_FILENAME_EXCED_RANGE -> ENAMETOOLONG;   anything else -> EIO
// A code of 0 (no failure recorded) maps to EIO too, so a failure never reads as success.
#pragma once

#include <cstdint>

namespace platform {

enum class Win32Object { File, SerialPort, UsbDevice };

// The errno for a GetLastError code from an operation on the given kind of object.
int ErrnoFromWin32(uint32_t code, Win32Object object = Win32Object::File);

}  // namespace platform
