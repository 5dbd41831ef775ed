// The machine's real devices: link names resolved through the device namespace, serial ports opened
// on termios and the camera's USB driver reached through its socket.
#include "platform/devices.h"

#include <cerrno>
#include <string>

#include "platform/device_namespace.h"
#include "platform/posix_serial.h"
#include "platform/unix_usb_driver.h"

namespace platform {

namespace {

class SystemDeviceSet final : public IDevices {
  public:
    std::unique_ptr<ISerialPort> OpenSerialPort(const char* portName, int& errorNumber) override {
        errorNumber = 0;
        const std::string path = portName != nullptr ? ResolveSerialPortName(portName) : std::string();
        if (path.empty()) {
            // No device stands for the name: the same answer as a port that is not there.
            errorNumber = ENOENT;
            return nullptr;
        }
        return OpenPosixSerialPort(path.c_str(), errorNumber);
    }

    std::unique_ptr<IUsbConnection> OpenUsbDevice(const char* devicePath) override {
        const std::string path = devicePath != nullptr ? ResolveUsbDevicePath(devicePath) : std::string();
        if (path.empty()) {
            return nullptr;
        }
        return ConnectUsbDriver(path.c_str());
    }
};

}  // namespace

IDevices& SystemDevices() {
    static SystemDeviceSet devices;
    return devices;
}

}  // namespace platform
