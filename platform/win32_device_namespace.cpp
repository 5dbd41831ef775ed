// The camera documentation's link names on Windows are the system's own: "COM1".."COM9" open as
// "\\.\COMn" and "\\.\QX410U-NNN" is the driver's device object itself. There is no device directory.
#include "platform/device_namespace.h"

#include <string>

#include "wire/usb_device_name.h"

namespace platform {

std::string DeviceDirectoryPath() {
    return {};
}

std::string TrustedDeviceDirectory() {
    return {};
}

std::string ResolveSerialPortName(const std::string& portName) {
    return ParseSerialPortNumber(portName) != 0 ? "\\\\.\\" + portName : std::string();
}

std::string ResolveUsbDevicePath(const std::string& devicePath) {
    return wire::ParseUsbDeviceName(devicePath) != 0 ? devicePath : std::string();
}

}  // namespace platform
