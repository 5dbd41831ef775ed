// The camera documentation's link names, the same on every system: "COM1".."COM9" and
// "\\.\QX410U-001".."\\.\QX410U-127".
#include <algorithm>
#include <cstdlib>
#include <string>

#include "platform/device_namespace.h"
#include "wire/usb_driver.h"

namespace platform {

int ParseUsbInstance(const std::string& devicePath) {
    const std::string prefix = "\\\\.\\QX410U-";
    if (devicePath.size() != prefix.size() + 3 || devicePath.compare(0, prefix.size(), prefix) != 0) {
        return 0;
    }
    const std::string digits = devicePath.substr(prefix.size());
    if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return 0;
    }
    const int instance = std::atoi(digits.c_str());
    if (instance < wire::USB_INSTANCE_FIRST || instance > wire::USB_INSTANCE_LAST) {
        return 0;
    }
    return instance;
}

int ParseSerialPortNumber(const std::string& portName) {
    if (portName.size() != 4 || portName.compare(0, 3, "COM") != 0 || portName[3] < '1' ||
        portName[3] > '9') {
        return 0;
    }
    return portName[3] - '0';
}

}  // namespace platform
