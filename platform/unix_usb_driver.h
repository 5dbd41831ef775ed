// The camera's USB driver stand-in: one Unix-domain stream socket per device object, one framed request
// and response per DeviceIoControl (the implementation of platform::IUsbConnection).
#pragma once

#include <cstdint>
#include <memory>

#include "platform/devices.h"

namespace platform {

// No legitimate request takes longer than this (the longest is the camera's erase completion, 30 s,
// awaited after a 3 s pause); a driver that keeps a request longer is treated as having failed it.
constexpr uint32_t USB_REQUEST_LIMIT_MS = 35000;

// Connects to the socket at socketPath. nullptr when nothing listens there.
std::unique_ptr<IUsbConnection> ConnectUsbDriver(const char* socketPath,
                                                 uint32_t requestLimitMs = USB_REQUEST_LIMIT_MS);

}  // namespace platform
