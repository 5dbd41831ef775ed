// Finds the attached QX410 cameras in sysfs and numbers them (see usb_cameras.h).
#include "platform/usb_cameras.h"

#include <dirent.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <tuple>

namespace platform {

namespace {

constexpr char SYSFS_USB_DEVICES[] = "/sys/bus/usb/devices";
constexpr char PRODUCT_MARK[] = "QX410";
constexpr char USB_IDS_VARIABLE[] = "QX410FW_USB_IDS";

// The first line of a sysfs attribute, without its newline; empty when it cannot be read.
std::string ReadAttribute(const std::string& deviceDir, const char* name) {
    std::ifstream file(deviceDir + "/" + name);
    std::string line;
    std::getline(file, line);
    return line;
}

// Exactly four hexadecimal digits.
std::optional<uint16_t> ParseHex16(const std::string& text) {
    if (text.size() != 4 || !std::all_of(text.begin(), text.end(), [](char c) {
            return std::isxdigit(static_cast<unsigned char>(c)) != 0;
        })) {
        return std::nullopt;
    }
    return static_cast<uint16_t>(std::strtoul(text.c_str(), nullptr, 16));
}

std::optional<int> ParseDecimal(const std::string& text) {
    if (text.empty() || text.size() > 6 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    return std::atoi(text.c_str());
}

// "1-2.1" gives bus 1 and port path 2, 1. Root hubs ("usb1") and interfaces ("1-2:1.0") are no devices
// a camera can be.
bool ParseDeviceName(const std::string& name, int& bus, std::vector<int>& ports) {
    const size_t dash = name.find('-');
    if (dash == std::string::npos || name.find(':') != std::string::npos) {
        return false;
    }
    const std::optional<int> busNumber = ParseDecimal(name.substr(0, dash));
    if (!busNumber) {
        return false;
    }
    ports.clear();
    std::stringstream rest(name.substr(dash + 1));
    std::string item;
    while (std::getline(rest, item, '.')) {
        const std::optional<int> port = ParseDecimal(item);
        if (!port) {
            return false;
        }
        ports.push_back(*port);
    }
    bus = *busNumber;
    return !ports.empty();
}

}  // namespace

std::vector<UsbDeviceId> ParseUsbIdList(const char* text) {
    std::vector<UsbDeviceId> ids;
    if (text == nullptr) {
        return ids;
    }
    std::stringstream list(text);
    std::string item;
    while (std::getline(list, item, ',')) {
        item.erase(std::remove(item.begin(), item.end(), ' '), item.end());
        const size_t colon = item.find(':');
        if (colon == std::string::npos) {
            continue;
        }
        const std::optional<uint16_t> vendor = ParseHex16(item.substr(0, colon));
        const std::optional<uint16_t> product = ParseHex16(item.substr(colon + 1));
        if (vendor && product) {
            ids.push_back({*vendor, *product});
        }
    }
    return ids;
}

std::vector<UsbCameraEntry> ListUsbCameras(const std::string& devicesDir,
                                           const std::vector<UsbDeviceId>& extraIds) {
    std::vector<UsbCameraEntry> cameras;
    DIR* directory = opendir(devicesDir.c_str());
    if (directory == nullptr) {
        return cameras;
    }
    while (const dirent* entry = readdir(directory)) {
        UsbCameraEntry camera;
        camera.sysfsName = entry->d_name;
        if (!ParseDeviceName(camera.sysfsName, camera.busNumber, camera.portPath)) {
            continue;
        }
        const std::string deviceDir = devicesDir + "/" + camera.sysfsName;
        const std::optional<uint16_t> vendor = ParseHex16(ReadAttribute(deviceDir, "idVendor"));
        const std::optional<uint16_t> product = ParseHex16(ReadAttribute(deviceDir, "idProduct"));
        const std::optional<int> deviceNumber = ParseDecimal(ReadAttribute(deviceDir, "devnum"));
        if (!vendor || !product || !deviceNumber) {
            continue;
        }
        camera.id = {*vendor, *product};
        camera.deviceNumber = *deviceNumber;
        const bool named = ReadAttribute(deviceDir, "product").find(PRODUCT_MARK) != std::string::npos;
        const bool listed = std::find(extraIds.begin(), extraIds.end(), camera.id) != extraIds.end();
        if (named || listed) {
            cameras.push_back(std::move(camera));
        }
    }
    closedir(directory);
    std::sort(cameras.begin(), cameras.end(), [](const UsbCameraEntry& a, const UsbCameraEntry& b) {
        return std::tie(a.busNumber, a.portPath) < std::tie(b.busNumber, b.portPath);
    });
    return cameras;
}

std::optional<UsbCameraEntry> FindUsbCamera(int instance) {
    if (instance < 1) {
        return std::nullopt;
    }
    const std::vector<UsbCameraEntry> cameras =
        ListUsbCameras(SYSFS_USB_DEVICES, ParseUsbIdList(std::getenv(USB_IDS_VARIABLE)));
    if (static_cast<size_t>(instance) > cameras.size()) {
        return std::nullopt;
    }
    return cameras[static_cast<size_t>(instance) - 1];
}

}  // namespace platform
