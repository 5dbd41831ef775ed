// The camera's USB driver on Windows: CreateFile on its device object and one DeviceIoControl per
// request (the implementation of platform::IUsbConnection).
#pragma once

#include <cstdint>
#include <memory>

#include "platform/devices.h"
#include "wire/timing.h"

namespace platform {

// Opens the device object ("\\.\QX410U-001"). nullptr when it cannot be opened, with the reason as an
// errno value in errorNumber (win32_error.h).
std::unique_ptr<IUsbConnection> OpenWin32UsbDevice(const char* devicePath, int& errorNumber,
                                                   uint32_t requestLimitMs = wire::USB_REQUEST_LIMIT_MS);

}  // namespace platform
