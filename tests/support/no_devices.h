// A machine with no devices, for tests of a controller that must never reach a camera: every serial
// port and USB device is missing.
#pragma once

#include <cerrno>
#include <memory>

#include "platform/devices.h"

namespace testsupport {

class NoDevices final : public platform::IDevices {
  public:
    std::unique_ptr<platform::ISerialPort> OpenSerialPort(const char*, int& errorNumber) override {
        errorNumber = ENOENT;
        return nullptr;
    }
    std::unique_ptr<platform::IUsbConnection> OpenUsbDevice(const char*, int& errorNumber) override {
        errorNumber = ENOENT;
        return nullptr;
    }
};

}  // namespace testsupport
