// The sysfs facts of a tty device (see serial_adapter.h).
#include "platform/serial_adapter.h"

#include <filesystem>
#include <fstream>
#include <system_error>

namespace platform {

namespace {

namespace fs = std::filesystem;

// The first line of a sysfs attribute without its trailing newline; empty when it cannot be read.
std::string ReadAttribute(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    if (!in || !std::getline(in, line)) {
        return {};
    }
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) {
        line.pop_back();
    }
    return line;
}

// A whole decimal number in range, or nothing.
std::optional<int> ParseMilliseconds(const std::string& text) {
    if (text.empty() || text.size() > 6) {
        return std::nullopt;
    }
    int value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
    }
    return value;
}

// The tty's name: the device file's own name after following links (a by-id link names the real
// ttyUSBn), or the path's last component when it cannot be resolved here.
std::string TtyName(const std::string& ttyDevicePath) {
    std::error_code error;
    const fs::path resolved = fs::canonical(ttyDevicePath, error);
    return (error ? fs::path(ttyDevicePath) : resolved).filename().string();
}

}  // namespace

SerialAdapterFacts ReadSerialAdapterFacts(const std::string& ttyDevicePath, const std::string& sysRoot) {
    SerialAdapterFacts facts;
    const std::string name = TtyName(ttyDevicePath);
    if (name.empty() || name == "." || name == "..") {
        return facts;
    }
    std::error_code error;
    const fs::path device = fs::canonical(fs::path(sysRoot) / "class" / "tty" / name / "device", error);
    if (error) {
        return facts;
    }
    // Since Linux 6.5 a UART's tty hangs off the serial core's own "port" and "ctrl" devices (bus
    // serial-base); the driver that matters is the one of the hardware above them.
    fs::path driver = fs::read_symlink(device / "driver", error);
    for (fs::path dir = device; !error && driver.parent_path().parent_path().filename() == "serial-base";) {
        dir = dir.parent_path();
        driver = fs::read_symlink(dir / "driver", error);
    }
    if (!error) {
        facts.driver = driver.filename().string();
        // The CH340/CH341 driver registers on the usb-serial bus as "ch341-uart"; its module, and the
        // name users know, is ch341.
        if (facts.driver == "ch341-uart") {
            facts.driver = "ch341";
        }
    }
    if (fs::exists(device / "latency_timer", error)) {
        facts.latencyTimerMs = ParseMilliseconds(ReadAttribute(device / "latency_timer"));
    }
    // The USB device is the nearest directory above the port with idVendor; a UART on the mainboard
    // has none, and the walk stops at the sysfs root.
    const fs::path root = fs::canonical(sysRoot, error);
    for (fs::path dir = device; !error && dir.has_relative_path() && dir != root; dir = dir.parent_path()) {
        const std::string vendor = ReadAttribute(dir / "idVendor");
        if (vendor.empty()) {
            continue;
        }
        const std::string productId = ReadAttribute(dir / "idProduct");
        facts.usbId = vendor + ":" + productId;
        facts.product = ReadAttribute(dir / "product");
        break;
    }
    return facts;
}

bool DriverHasLatencyTimer(const std::string& driver) {
    return driver == "ftdi_sio";
}

}  // namespace platform
