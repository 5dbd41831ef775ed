// The per-instance lock file of the camera's USB device object.
#include "platform/usb_instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/device_namespace.h"

namespace platform {

UsbInstanceLock::~UsbInstanceLock() {
    close(static_cast<int>(m_handle));
}

std::unique_ptr<UsbInstanceLock> LockUsbInstance(const std::string& devicePath, int& errorNumber) {
    errorNumber = 0;
    // With real USB cameras the directory may not exist yet; made here it is ours and private.
    if (mkdir(DeviceDirectoryPath().c_str(), 0700) != 0 && errno != EEXIST) {
        errorNumber = errno;
        return nullptr;
    }
    const std::string socketPath = ResolveUsbDevicePath(devicePath);
    if (socketPath.empty()) {
        errorNumber = TrustedDeviceDirectory().empty() ? EACCES : EINVAL;
        return nullptr;
    }
    const std::string lockPath = socketPath + ".lock";
    const int fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        errorNumber = errno;
        return nullptr;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        errorNumber = errno == EWOULDBLOCK ? EBUSY : errno;
        close(fd);
        return nullptr;
    }
    return std::make_unique<UsbInstanceLock>(fd);
}

}  // namespace platform
