// The camera's USB driver for a real camera: the four driver requests carried out with libusb-1.0 on
// the device that platform/usb_cameras.h found (the implementation of platform::IUsbConnection used
// when no driver socket stands for "\\.\QX410U-NNN").
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/devices.h"
#include "platform/usb_cameras.h"

namespace platform {

// The program's libusb context and the cameras opened on it. The context is made on the first open (from
// any thread) and ended once, when this object and every connection opened from it have gone. A
// program has one, in its devices object; a test that stands for a run of the program on a USB bus of
// its own builds its own.
class LibusbCameras {
  public:
    LibusbCameras();
    ~LibusbCameras();
    LibusbCameras(const LibusbCameras&) = delete;
    LibusbCameras& operator=(const LibusbCameras&) = delete;

    // Opens the camera and claims its first interface. nullptr when it cannot (errorNumber then holds
    // the errno that stands for libusb's answer: ENODEV gone, EACCES no permission, EBUSY claimed
    // elsewhere). No request on the connection takes longer than requestLimitMs.
    std::unique_ptr<IUsbConnection> Open(const UsbCameraEntry& camera, uint32_t requestLimitMs,
                                         int& errorNumber);

  private:
    struct Context;
    std::unique_ptr<Context> m_context;
};

// One bulk IN transfer into `length` bytes of room (a whole number of maximum-size packets); received
// is set to the count that arrived, also on failure. Returns 0 or an errno value.
using BulkInTransfer = std::function<int(uint8_t* buffer, size_t length, size_t& received)>;

// Fills out with exactly count bytes: first the bytes kept from earlier transfers, then bulk IN
// transfers of whole packets. A packet may carry more than was asked for; those bytes are appended to
// kept for the next read. On failure every byte received stays in kept, in order, and the transfer's
// errno is returned.
int ReadExactly(std::vector<uint8_t>& kept, uint8_t* out, size_t count, size_t maxPacketSize,
                const BulkInTransfer& transfer);

}  // namespace platform
