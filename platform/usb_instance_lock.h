// One process at a time per camera on USB. The USB link opens and closes the camera's device object for
// every operation, so the open itself cannot keep a second updater out; an advisory lock on a file beside
// the device object (D/QX410U-NNN.lock) does, or on Windows a named mutex per device object
// (win32_usb_instance_lock.cpp). The lock goes with its holder: closed, or the process gone.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

class UsbInstanceLock {
  public:
    // The held lock: the lock file's descriptor (POSIX) or the named mutex's handle (Windows).
    explicit UsbInstanceLock(intptr_t handle) : m_handle(handle) {}
    ~UsbInstanceLock();
    UsbInstanceLock(const UsbInstanceLock&) = delete;
    UsbInstanceLock& operator=(const UsbInstanceLock&) = delete;

  private:
    intptr_t m_handle;
};

// Locks the device object "\\.\QX410U-NNN" for this process. nullptr when another process holds it
// (errorNumber EBUSY) or the lock file cannot be made (its errno); the device directory is created
// (mode 0700) when it does not exist yet, and an untrusted one is refused (EACCES).
std::unique_ptr<UsbInstanceLock> LockUsbInstance(const std::string& devicePath, int& errorNumber);

}  // namespace platform
