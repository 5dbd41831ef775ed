// Which attached USB devices are QX410 cameras, and in which order they are numbered, read from sysfs
// alone: no device is opened to decide, so a camera the user may not open still keeps its number.
//
// A device is a camera when its `product` attribute contains "QX410", or when its vendor:product pair
// is listed in QX410FW_USB_IDS (comma-separated vvvv:pppp, hexadecimal). Cameras are numbered from 1 in
// order of bus number, then port path (1-2 before 1-2.1 before 1-3).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform {

struct UsbDeviceId {
    uint16_t vendor = 0;
    uint16_t product = 0;
    bool operator==(const UsbDeviceId&) const = default;
};

// One attached camera as sysfs describes it.
struct UsbCameraEntry {
    std::string sysfsName;      // "1-2.1": bus 1, port 2, then port 1 of the hub there
    int busNumber = 0;          // busnum
    int deviceNumber = 0;       // devnum: changes whenever the device is plugged in again
    std::vector<int> portPath;  // 2, 1
    UsbDeviceId id;
};

// The vvvv:pppp pairs of a QX410FW_USB_IDS value; malformed items are left out.
std::vector<UsbDeviceId> ParseUsbIdList(const char* text);

// Every camera below a sysfs devices directory (normally /sys/bus/usb/devices), in numbering order.
std::vector<UsbCameraEntry> ListUsbCameras(const std::string& devicesDir,
                                           const std::vector<UsbDeviceId>& extraIds);

// The instance-th camera (1 = first) on this machine, with QX410FW_USB_IDS from the environment.
std::optional<UsbCameraEntry> FindUsbCamera(int instance);

}  // namespace platform
