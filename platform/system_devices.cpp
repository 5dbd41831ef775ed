// The machine's real devices: link names resolved through the device namespace, serial ports opened
// on termios, and the camera's USB driver reached through its socket or, for a camera attached by USB,
// carried out on libusb.
#include "platform/system_devices.h"

#include <sys/stat.h>

#include <cerrno>
#include <optional>
#include <string>

#include "platform/device_namespace.h"
#include "platform/posix_serial.h"
#include "platform/unix_usb_driver.h"
#include "platform/usb_cameras.h"
#include "wire/timing.h"
#include "wire/usb_device_name.h"

namespace platform {

std::unique_ptr<ISerialPort> SystemDeviceSet::OpenSerialPort(const char* portName, int& errorNumber) {
    errorNumber = 0;
    const std::string path = portName != nullptr ? ResolveSerialPortName(portName) : std::string();
    if (path.empty()) {
        // No device stands for the name: the same answer as a port that is not there.
        errorNumber = ENOENT;
        return nullptr;
    }
    return OpenPosixSerialPort(path.c_str(), errorNumber);
}

std::unique_ptr<IUsbConnection> SystemDeviceSet::OpenUsbDevice(const char* devicePath, int& errorNumber) {
    errorNumber = ENOENT;
    if (devicePath == nullptr) {
        return nullptr;
    }
    // A driver socket in the device directory stands for the device (the simulator, the tests).
    const std::string socketPath = ResolveUsbDevicePath(devicePath);
    struct stat info {};
    if (!socketPath.empty() && lstat(socketPath.c_str(), &info) == 0) {
        return ConnectUsbDriver(socketPath.c_str(), errorNumber);
    }
    const std::optional<UsbCameraEntry> camera = FindUsbCamera(wire::ParseUsbDeviceName(devicePath));
    if (!camera) {
        return nullptr;
    }
    return m_usbCameras.Open(*camera, wire::USB_REQUEST_LIMIT_MS, errorNumber);
}

IDevices& SystemDevices() {
    static SystemDeviceSet devices;
    return devices;
}

}  // namespace platform
