// The machine's real devices as one run of the program sees them: serial ports on termios, the camera's
// USB driver through its socket or, for a camera attached by USB, on the run's libusb context.
// SystemDevices() is the program's one; a test that stands for a run of its own on a machine of its
// own (an emulated USB bus) builds another.
#pragma once

#include <memory>

#include "platform/devices.h"
#include "platform/libusb_usb_driver.h"

namespace platform {

class SystemDeviceSet final : public IDevices {
  public:
    std::unique_ptr<ISerialPort> OpenSerialPort(const char* portName, int& errorNumber) override;
    std::unique_ptr<IUsbConnection> OpenUsbDevice(const char* devicePath, int& errorNumber) override;

  private:
    LibusbCameras m_usbCameras;
};

}  // namespace platform
