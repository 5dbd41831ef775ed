// The names of the camera driver's device objects, "\\.\QX410U-001" .. "\\.\QX410U-127": the instance
// as exactly three decimal digits after "QX410U-", upper case. Everything that formats or reads such a
// name (the links, the device namespace, the lock, the command line, the simulator) does it here.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace wire {

constexpr int32_t USB_INSTANCE_FIRST = 1;
constexpr int32_t USB_INSTANCE_LAST = 127;

// The device object's own name ("QX410U-001"): the DOS device name the driver publishes and the file
// name of the driver socket that stands for it.
constexpr std::string_view USB_OBJECT_PREFIX = "QX410U-";
// What a Windows path puts before a device object's name.
constexpr std::string_view DEVICE_NAMESPACE_PREFIX = "\\\\.\\";
constexpr size_t USB_INSTANCE_DIGITS = 3;

constexpr bool IsUsbInstance(int instance) {
    return instance >= USB_INSTANCE_FIRST && instance <= USB_INSTANCE_LAST;
}

// "QX410U-NNN"; empty for an instance outside the range.
inline std::string UsbObjectName(int instance) {
    if (!IsUsbInstance(instance)) {
        return {};
    }
    std::string name(USB_OBJECT_PREFIX);
    name += static_cast<char>('0' + instance / 100);
    name += static_cast<char>('0' + instance / 10 % 10);
    name += static_cast<char>('0' + instance % 10);
    return name;
}

// "\\.\QX410U-NNN"; empty for an instance outside the range.
inline std::string UsbDeviceName(int instance) {
    const std::string object = UsbObjectName(instance);
    return object.empty() ? object : std::string(DEVICE_NAMESPACE_PREFIX) + object;
}

// The instance of "QX410U-NNN"; 0 when the name is not exactly of that form or NNN is out of range.
inline int ParseUsbObjectName(std::string_view name) {
    if (name.size() != USB_OBJECT_PREFIX.size() + USB_INSTANCE_DIGITS ||
        name.substr(0, USB_OBJECT_PREFIX.size()) != USB_OBJECT_PREFIX) {
        return 0;
    }
    int instance = 0;
    for (const char digit : name.substr(USB_OBJECT_PREFIX.size())) {
        if (digit < '0' || digit > '9') {
            return 0;
        }
        instance = instance * 10 + (digit - '0');
    }
    return IsUsbInstance(instance) ? instance : 0;
}

// The instance of "\\.\QX410U-NNN"; 0 when the name is not exactly of that form or NNN is out of range.
inline int ParseUsbDeviceName(std::string_view name) {
    if (name.substr(0, DEVICE_NAMESPACE_PREFIX.size()) != DEVICE_NAMESPACE_PREFIX) {
        return 0;
    }
    return ParseUsbObjectName(name.substr(DEVICE_NAMESPACE_PREFIX.size()));
}

}  // namespace wire
