// The machine's real devices on Windows: the system's own names, serial ports on the communications API
// and the camera's USB driver through its device object.
#include <cerrno>
#include <string>

#include "platform/device_namespace.h"
#include "platform/devices.h"
#include "platform/win32_serial.h"
#include "platform/win32_usb_driver.h"

namespace platform {

namespace {

class SystemDeviceSet final : public IDevices {
  public:
    std::unique_ptr<ISerialPort> OpenSerialPort(const char* portName, int& errorNumber) override {
        errorNumber = 0;
        const std::string path = portName != nullptr ? ResolveSerialPortName(portName) : std::string();
        if (path.empty()) {
            errorNumber = ENOENT;
            return nullptr;
        }
        return OpenWin32SerialPort(path.c_str(), errorNumber);
    }

    std::unique_ptr<IUsbConnection> OpenUsbDevice(const char* devicePath, int& errorNumber) override {
        errorNumber = ENOENT;
        const std::string path = devicePath != nullptr ? ResolveUsbDevicePath(devicePath) : std::string();
        if (path.empty()) {
            return nullptr;
        }
        return OpenWin32UsbDevice(path.c_str(), errorNumber);
    }
};

}  // namespace

IDevices& SystemDevices() {
    static SystemDeviceSet devices;
    return devices;
}

}  // namespace platform
