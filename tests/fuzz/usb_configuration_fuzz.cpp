// Fuzz target: the USB descriptor and configuration walk. Byte 0 is a length L; the next L bytes are the
// device descriptor the driver hands out (none: the request fails) and the rest is the configuration,
// whose total length and record lengths may point anywhere. The reopen reads both; a packet read then
// uses the endpoint address the walk kept.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "hostile_camera.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    const uint8_t* split = data + 1 + (data[0] < size - 1 ? data[0] : size - 1);
    const std::vector<uint8_t> descriptor(data + 1, split), configuration(split, data + size);
    const uint8_t cameraBytes[] = {0x01, 0x00};

    VirtualClock clock;
    ScopedClock scopedClock(clock);
    qxfuzz::HostileCamera camera(clock, cameraBytes, sizeof cameraBytes, descriptor, configuration);
    CLinkSession link(camera);
    link.m_portKind = PORT_KIND_USB;
    if (link.OpenUsbDevice() != LINK_OK) {
        return 0;
    }
    link.m_usbRetryNeeded = 1;
    if (link.ReopenUsbDevice() == LINK_OK) {
        link.m_recvLength = static_cast<int32_t>(sizeof cameraBytes);
        link.UsbRead(1000);
    }
    link.CloseUsbDevice();
    return 0;
}
