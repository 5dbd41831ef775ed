// `qx410fw-cli doctor`: a read-only checklist of this machine for updating the camera. Each line is OK,
// WARN or FAIL with the fix. It reads sysfs, /proc, /dev, the udev database and rule files and the
// environment; it opens no device and sends nothing. The roots are arguments so that tests can run it
// on a made-up machine.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/device_access.h"

namespace cli {

struct MachineRoots {
    std::string sys = "/sys";
    std::string proc = "/proc";
    std::string dev = "/dev";
    std::string udevData = "/run/udev/data";
    std::vector<std::string> ruleDirs = {"/etc/udev/rules.d", "/usr/lib/udev/rules.d", "/lib/udev/rules.d"};
    // Empty: the program's own device directory.
    std::string deviceDirectory;
    // Unset: the environment's DISPLAY and WAYLAND_DISPLAY, and the user this process runs as.
    std::optional<std::string> display;
    std::optional<std::string> waylandDisplay;
    std::optional<platform::UserFacts> user;
};

enum class CheckLevel { Ok, Warn, Fail };

struct CheckLine {
    CheckLevel level = CheckLevel::Ok;
    std::string check;  // "serial-access", "udev-rule", "usb-camera", "adapter-without-tty", "modemmanager",
                        // "latency-timer", "device-directory", "display"
    std::string text;
    std::string fix;  // empty for OK
};

// The checklist of the machine under roots, in order.
std::vector<CheckLine> CheckMachine(const MachineRoots& roots);
// Prints the checklist (text or JSON lines) and returns 0, or 1 when a line is FAIL.
int RunDoctor(bool json, const MachineRoots& roots);

}  // namespace cli
