// The camera documentation's serial port names, the same on every system: "COM1".."COM9" (the USB
// device names are the driver's, wire/usb_device_name.h).
#include <string>

#include "platform/device_namespace.h"

namespace platform {

int ParseSerialPortNumber(const std::string& portName) {
    if (portName.size() != 4 || portName.compare(0, 3, "COM") != 0 || portName[3] < '1' ||
        portName[3] > '9') {
        return 0;
    }
    return portName[3] - '0';
}

}  // namespace platform
