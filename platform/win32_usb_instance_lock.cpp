// The per-instance lock of the camera's USB device object on Windows: a named mutex per device object,
// held (open) for as long as the lock lives. The system closes it when the process ends, however it ends.
#include <windows.h>

#include <cerrno>

#include "platform/device_namespace.h"
#include "platform/usb_instance_lock.h"
#include "platform/win32_error.h"
#include "platform/win32_path.h"
#include "wire/usb_device_name.h"

namespace platform {

UsbInstanceLock::~UsbInstanceLock() {
    CloseHandle(reinterpret_cast<HANDLE>(m_handle));
}

std::unique_ptr<UsbInstanceLock> LockUsbInstance(const std::string& devicePath, int& errorNumber) {
    errorNumber = 0;
    const int instance = wire::ParseUsbDeviceName(devicePath);
    if (instance == 0) {
        errorNumber = EINVAL;
        return nullptr;
    }
    // One name for the whole machine, so that two users' updaters never share a camera either.
    const std::wstring name = WideFromUtf8("Global\\qx410fw-" + wire::UsbObjectName(instance));
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
    if (mutex == nullptr) {
        errorNumber = ErrnoFromWin32(GetLastError());
        return nullptr;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        errorNumber = EBUSY;
        return nullptr;
    }
    return std::make_unique<UsbInstanceLock>(reinterpret_cast<intptr_t>(mutex));
}

}  // namespace platform
