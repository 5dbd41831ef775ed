// The ports listing. Nothing is opened: whether this user may open a port or camera comes from its
// node's permissions, and who holds it from /proc and, for a USB camera, the per-camera lock file.
#include "cli/ports.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "app/host_cause.h"
#include "cli/cli_devices.h"
#include "cli/cli_ui.h"
#include "cli/exit_status.h"
#include "cli/json_line.h"
#include "platform/device_access.h"
#include "platform/device_namespace.h"
#include "platform/serial_adapter.h"
#include "platform/usb_cameras.h"
#include "wire/usb_device_name.h"

namespace cli {

namespace {

constexpr char USB_DEVICES_DIR[] = "/sys/bus/usb/devices";

std::string ReadLine(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

// Why a node cannot be opened, in the words of the outcome messages.
std::string DenialText(const std::string& port, const std::string& device, bool usbCamera) {
    HostCause cause;
    cause.cause = LinkCause::PermissionDenied;
    cause.usb = usbCamera;
    cause.port = port;
    cause.device = device;
    cause.node = platform::ReadNodeFacts(device);
    const platform::AccessVerdict verdict =
        platform::JudgeAccess(cause.node, platform::CurrentUser(), usbCamera);
    cause.fix = verdict.fix;
    cause.fixGroup = verdict.group;
    const std::string sentence = HostCauseSentence(cause);
    const size_t start = sentence.find("permission denied");
    return start == std::string::npos ? sentence : sentence.substr(start);
}

// Whether the port can be opened, without opening it: a free port raises DTR and RTS on whatever is
// attached when opened, and a held one belongs to another program.
std::string SerialState(const std::string& name, const std::string& device, bool& usable) {
    usable = false;
    if (device.empty()) {
        return "no device";
    }
    if (!platform::ReadNodeFacts(device).exists) {
        return "not present";
    }
    if (!platform::MayOpen(device)) {
        return DenialText(name, device, false);
    }
    // A lock is what keeps another program out; a process that merely has the port open does not.
    const std::string holders = platform::DescribeHolders(platform::FindLockHolders(device));
    if (!holders.empty()) {
        return "held by " + holders;
    }
    usable = true;
    return "can be opened";
}

void ListSerialPorts(bool json) {
    if (!json) {
        PrintOut("Serial ports:\n");
    }
    for (int n = 1; n <= 9; ++n) {
        const std::string name = "COM" + std::to_string(n);
        const std::string path = platform::ResolveSerialPortName(name);
        const platform::NodeFacts node = platform::ReadNodeFacts(path);
        const std::string device = node.exists ? node.path : path;
        const platform::SerialAdapterFacts tty = platform::ReadSerialAdapterFacts(device);
        bool usable = false;
        const std::string state = SerialState(name, path, usable);
        const std::string portValue = "com" + std::to_string(n);
        if (json) {
            JsonLine line("port");
            line.Add("port", portValue).Add("name", name).Add("device", device).Add("driver", tty.driver);
            if (tty.latencyTimerMs) {
                line.Add("latency_timer_ms", *tty.latencyTimerMs);
            }
            PrintOut(line.AddBool("usable", usable).Add("state", state).Text());
            continue;
        }
        std::string driver = tty.driver.empty() ? "-" : tty.driver;
        if (tty.latencyTimerMs) {
            driver += " (latency " + std::to_string(*tty.latencyTimerMs) + " ms)";
        }
        char line[512];
        std::snprintf(line, sizeof line, "  --port %-6s %-5s %-24s %-22s %s\n", portValue.c_str(),
                      name.c_str(), device.empty() ? "-" : device.c_str(), driver.c_str(), state.c_str());
        PrintOut(line);
    }
}

void ListUsbCameras(bool json) {
    const std::vector<platform::UsbCameraEntry> cameras =
        platform::ListUsbCameras(USB_DEVICES_DIR, platform::ParseUsbIdList(std::getenv("QX410FW_USB_IDS")));
    if (!json) {
        PrintOut(cameras.empty() ? "USB cameras: none attached\n" : "USB cameras:\n");
    }
    int instance = 0;
    for (const platform::UsbCameraEntry& camera : cameras) {
        ++instance;
        char node[40];
        std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", camera.busNumber, camera.deviceNumber);
        char ids[16];
        std::snprintf(ids, sizeof ids, "%04x:%04x", camera.id.vendor, camera.id.product);
        const std::string product =
            ReadLine(std::string(USB_DEVICES_DIR) + "/" + camera.sysfsName + "/product");
        const std::string name = wire::UsbDeviceName(instance);
        std::vector<platform::Holder> holders = platform::FindHolders(node);
        const std::string socket = platform::ResolveUsbDevicePath(name);
        if (!socket.empty()) {
            for (const platform::Holder& holder : platform::FindLockHolders(socket + ".lock")) {
                holders.push_back(holder);
            }
        }
        const bool mayOpen = platform::MayOpen(node);
        std::string state = mayOpen ? "can be opened" : DenialText(name, node, true);
        if (!holders.empty()) {
            state = "held by " + platform::DescribeHolders(holders);
        }
        const std::string portValue = "usb" + std::to_string(instance);
        if (json) {
            PrintOut(JsonLine("usb-camera")
                         .Add("port", portValue)
                         .Add("name", name)
                         .Add("bus", camera.busNumber)
                         .Add("port_path", camera.sysfsName)
                         .Add("device", std::string(node))
                         .Add("id", std::string(ids))
                         .Add("product", product)
                         .AddBool("usable", mayOpen && holders.empty())
                         .Add("state", state)
                         .Text());
            continue;
        }
        char line[512];
        std::snprintf(line, sizeof line, "  --port %-6s %s  bus %d port %s  %s  %s  %s  %s\n",
                      portValue.c_str(), name.c_str(), camera.busNumber, camera.sysfsName.c_str(), node, ids,
                      product.c_str(), state.c_str());
        PrintOut(line);
    }
}

void ListDriverSockets(bool json) {
    const std::string directory = platform::TrustedDeviceDirectory();
    if (!json) {
        PrintOut("Driver sockets in " + platform::DeviceDirectoryPath() +
                 (directory.empty() ? " (absent or not private: not used)" : "") + ":\n");
    }
    bool any = false;
    for (int instance = wire::USB_INSTANCE_FIRST; instance <= wire::USB_INSTANCE_LAST; ++instance) {
        const std::string name = wire::UsbDeviceName(instance);
        const std::string path = platform::ResolveUsbDevicePath(name);
        struct stat info {};
        if (path.empty() || lstat(path.c_str(), &info) != 0 || !S_ISSOCK(info.st_mode)) {
            continue;
        }
        any = true;
        const std::string holders = platform::DescribeHolders(platform::FindLockHolders(path + ".lock"));
        const std::string state = holders.empty() ? "free" : "in use by " + holders;
        const std::string portValue = "usb" + std::to_string(instance);
        if (json) {
            PrintOut(JsonLine("driver-socket")
                         .Add("port", portValue)
                         .Add("name", name)
                         .Add("device", path)
                         .AddBool("usable", holders.empty())
                         .Add("state", state)
                         .Text());
        } else {
            char line[512];
            std::snprintf(line, sizeof line, "  --port %-6s %s  %s  %s\n", portValue.c_str(), name.c_str(),
                          path.c_str(), state.c_str());
            PrintOut(line);
        }
    }
    if (!any && !json) {
        PrintOut("  none\n");
    }
}

}  // namespace

int RunPorts(bool json) {
    ListSerialPorts(json);
    ListUsbCameras(json);
    ListDriverSockets(json);
    if (json) {
        PrintOutcome(true, EXIT_OK, "listed", "");
    }
    return EXIT_OK;
}

}  // namespace cli
