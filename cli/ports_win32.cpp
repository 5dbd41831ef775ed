// `qx410fw-cli ports` on Windows: what COM1..COM9 are (whether this user can open each now) and which of
// the camera driver's device objects exist. The Linux listing's sysfs facts (driver, USB IDs, holders)
// have no counterpart here; Device Manager shows them.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "cli/cli_devices.h"
#include "cli/cli_system.h"
#include "cli/cli_ui.h"
#include "cli/exit_status.h"
#include "cli/json_line.h"
#include "cli/ports.h"
#include "platform/device_namespace.h"
#include "platform/devices.h"
#include "platform/usb_instance_lock.h"
#include "wire/usb_device_name.h"

namespace cli {

namespace {

// Whether the link can be opened now, or why not.
std::string DescribeOpenError(int errorNumber) {
    switch (errorNumber) {
        case 0:
            return "can be opened";
        case EBUSY:
            return "in use by another program";
        case EACCES:
        case EPERM:
            return "no permission";
        case ENOENT:
            return "not present";
        default:
            return std::strerror(errorNumber);
    }
}

}  // namespace

int RunPorts(bool json) {
    for (int n = 1; n <= 9; ++n) {
        const std::string name = "COM" + std::to_string(n);
        const std::string path = platform::ResolveSerialPortName(name);
        int errorNumber = ENOENT;
        if (!path.empty()) {
            std::unique_ptr<platform::ISerialPort> port =
                platform::SystemDevices().OpenSerialPort(name.c_str(), errorNumber);
            if (port) {
                errorNumber = 0;
            }
        }
        const std::string state = path.empty() ? "no device" : DescribeOpenError(errorNumber);
        if (json) {
            PrintOut(JsonLine("port")
                         .Add("name", name)
                         .Add("device", path)
                         .AddBool("usable", !path.empty() && errorNumber == 0)
                         .Add("state", state)
                         .Text());
        } else {
            char line[160];
            std::snprintf(line, sizeof line, "%-16s %-34s %s\n", name.c_str(),
                          path.empty() ? "-" : path.c_str(), state.c_str());
            PrintOut(line);
        }
    }
    bool anyUsb = false;
    for (int instance = wire::USB_INSTANCE_FIRST; instance <= wire::USB_INSTANCE_LAST; ++instance) {
        const std::string name = wire::UsbDeviceName(instance);
        const std::string path = platform::ResolveUsbDevicePath(name);
        if (!UsbDeviceMayExist(path)) {
            continue;
        }
        anyUsb = true;
        std::string state = "can be opened";
        bool usable = true;
        int openError = 0;
        if (!platform::SystemDevices().OpenUsbDevice(name.c_str(), openError)) {
            state = "nothing answers";
            usable = false;
        } else {
            int errorNumber = 0;
            if (!platform::LockUsbInstance(name, errorNumber)) {
                usable = false;
                state = errorNumber == EBUSY ? "in use by another qx410fw-cli" : std::strerror(errorNumber);
            }
        }
        if (json) {
            PrintOut(JsonLine("port")
                         .Add("name", name)
                         .Add("device", path)
                         .AddBool("usable", usable)
                         .Add("state", state)
                         .Text());
        } else {
            char line[200];
            std::snprintf(line, sizeof line, "%-16s %-34s %s\n", name.c_str(), path.c_str(), state.c_str());
            PrintOut(line);
        }
    }
    if (json) {
        PrintOutcome(true, EXIT_OK, "listed", "");
    } else if (!anyUsb) {
        PrintOut(
            "USB              no QX410U device object (the camera's driver is not installed or no camera is "
            "on)\n");
    }
    return EXIT_OK;
}

}  // namespace cli
