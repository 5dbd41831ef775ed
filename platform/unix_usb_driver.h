// The camera's USB driver stand-in: one Unix-domain stream socket per device object, one framed request
// and response per DeviceIoControl (the implementation of platform::IUsbConnection).
#pragma once

#include <cstdint>
#include <memory>

#include "platform/devices.h"
#include "wire/timing.h"

namespace platform {

// Connects to the socket at socketPath. nullptr when nothing listens there; errorNumber then holds the
// errno of the failed call (ENOENT, ECONNREFUSED, EACCES, ENAMETOOLONG, ...), 0 on success.
std::unique_ptr<IUsbConnection> ConnectUsbDriver(const char* socketPath, int& errorNumber,
                                                 uint32_t requestLimitMs = wire::USB_REQUEST_LIMIT_MS);
// The same, for callers that do not report the reason.
std::unique_ptr<IUsbConnection> ConnectUsbDriver(const char* socketPath,
                                                 uint32_t requestLimitMs = wire::USB_REQUEST_LIMIT_MS);

}  // namespace platform
