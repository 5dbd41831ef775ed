// Devices that pass every call through to other devices and tell an observer what crossed: the opens,
// the bytes written to and read from a serial port, and the camera's bytes inside the USB driver's write
// and read requests. The command line's --trace listens here, so no link code has to know about it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/devices.h"

namespace platform {

class ILinkObserver {
  public:
    virtual ~ILinkObserver() = default;
    // Bytes that went to the camera (sent) or came from it, in the order they crossed.
    virtual void OnBytes(bool sent, const uint8_t* data, size_t count) = 0;
    // Everything else worth a line: opens and their refusals, closes, line settings, purges, breaks,
    // the USB descriptor requests and failed requests.
    virtual void OnEvent(const std::string& text) = 0;
};

// Wraps inner; both inner and observer must outlive the result and every link opened through it.
std::unique_ptr<IDevices> ObserveDevices(IDevices& inner, ILinkObserver& observer);

}  // namespace platform
