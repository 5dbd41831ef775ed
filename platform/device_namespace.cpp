// Resolves the camera documentation's link names ("COM1".."COM9", "\\.\QX410U-NNN") to files on this
// machine: the per-user device directory first, then the machine's real serial devices.
#include "platform/device_namespace.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "wire/usb_device_name.h"

namespace platform {

namespace {

constexpr char DEVICE_DIRECTORY_NAME[] = "qx410fw";

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// "ttyUSB12" with prefix "ttyUSB" gives 12; -1 when the rest is not a plain decimal number.
long ParseDeviceNumber(const std::string& name, const std::string& prefix) {
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) {
        return -1;
    }
    const std::string digits = name.substr(prefix.size());
    if (digits.size() > 6 || !std::all_of(digits.begin(), digits.end(), IsDigit)) {
        return -1;
    }
    return std::strtol(digits.c_str(), nullptr, 10);
}

// The kernel registers placeholder ttyS lines whether or not a UART answers at their address; the
// serial core reports those with port type 0 (PORT_UNKNOWN) in sysfs. Reading the type there avoids
// opening the device, which would raise DTR and RTS on whatever is attached to it.
bool IsBackedByHardware(const std::string& ttyName) {
    std::ifstream typeFile("/sys/class/tty/" + ttyName + "/type");
    long portType = 0;
    if (!(typeFile >> portType)) {
        return false;
    }
    return portType != 0;
}

// The /dev entries of one group ("ttyUSB", ...) in numeric order.
std::vector<std::string> ListDeviceGroup(const std::vector<std::string>& entries, const std::string& prefix) {
    std::vector<std::pair<long, std::string>> found;
    for (const std::string& name : entries) {
        const long number = ParseDeviceNumber(name, prefix);
        if (number < 0) {
            continue;
        }
        if (prefix == "ttyS" && !IsBackedByHardware(name)) {
            continue;
        }
        found.emplace_back(number, name);
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> paths;
    for (const auto& [number, name] : found) {
        paths.push_back("/dev/" + name);
    }
    return paths;
}

// The machine's real serial devices in the order ttyUSB, ttyACM, ttyS.
std::vector<std::string> ListSerialDevices() {
    std::vector<std::string> entries;
    DIR* dev = opendir("/dev");
    if (dev == nullptr) {
        return {};
    }
    while (const dirent* entry = readdir(dev)) {
        entries.emplace_back(entry->d_name);
    }
    closedir(dev);

    std::vector<std::string> devices;
    for (const char* prefix : {"ttyUSB", "ttyACM", "ttyS"}) {
        const std::vector<std::string> group = ListDeviceGroup(entries, prefix);
        devices.insert(devices.end(), group.begin(), group.end());
    }
    return devices;
}

bool ExistsWithoutFollowing(const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

}  // namespace

std::string DeviceDirectoryPath() {
    const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
    if (runtimeDir != nullptr && runtimeDir[0] != '\0') {
        struct stat info {};
        if (stat(runtimeDir, &info) == 0 && S_ISDIR(info.st_mode)) {
            return std::string(runtimeDir) + "/" + DEVICE_DIRECTORY_NAME;
        }
    }
    return std::string("/tmp/") + DEVICE_DIRECTORY_NAME + "-" + std::to_string(getuid());
}

std::string TrustedDeviceDirectory() {
    const std::string path = DeviceDirectoryPath();
    struct stat info {};
    // lstat: a symlink in place of the directory could point anywhere, so it is not trusted.
    if (lstat(path.c_str(), &info) != 0) {
        return {};
    }
    if (!S_ISDIR(info.st_mode) || info.st_uid != getuid()) {
        return {};
    }
    // Anyone else able to add entries could plant a COMn or QX410U-NNN of their own.
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return {};
    }
    return path;
}

std::string ResolveSerialPortName(const std::string& portName) {
    const int index = ParseSerialPortNumber(portName);
    if (index == 0) {
        return {};
    }

    const std::string directory = TrustedDeviceDirectory();
    if (!directory.empty()) {
        // The entry wins even when it dangles: the user's mapping says where COMn is, and opening it
        // then fails as for a missing port rather than silently reaching some other device.
        const std::string entry = directory + "/" + portName;
        if (ExistsWithoutFollowing(entry)) {
            return entry;
        }
    }

    const std::vector<std::string> devices = ListSerialDevices();
    if (static_cast<size_t>(index) > devices.size()) {
        return {};
    }
    return devices[static_cast<size_t>(index) - 1];
}

std::string ResolveUsbDevicePath(const std::string& devicePath) {
    const int instance = wire::ParseUsbDeviceName(devicePath);
    if (instance == 0) {
        return {};
    }
    const std::string directory = TrustedDeviceDirectory();
    if (directory.empty()) {
        return {};
    }
    return directory + "/" + wire::UsbObjectName(instance);
}

}  // namespace platform
