// The machine checklist. Every check reads files only: device nodes are stat'ed, never opened.
#include "cli/doctor.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "app/host_cause.h"
#include "cli/cli_ui.h"
#include "cli/exit_status.h"
#include "cli/json_line.h"
#include "platform/device_namespace.h"
#include "platform/serial_adapter.h"
#include "platform/usb_cameras.h"

namespace cli {

namespace {

constexpr char RULE_FILE[] = "70-qx410fw.rules";
// The kernel's USB-serial drivers that make a ttyUSB device.
constexpr const char* USB_SERIAL_DRIVERS[] = {"ftdi_sio", "ch341", "cp210x", "pl2303"};

std::vector<std::string> ListDirectory(const std::string& path) {
    std::vector<std::string> names;
    DIR* directory = opendir(path.c_str());
    if (directory == nullptr) {
        return names;
    }
    while (const dirent* entry = readdir(directory)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    closedir(directory);
    std::sort(names.begin(), names.end());
    return names;
}

std::string ReadLine(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

std::string ReadAll(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

bool StartsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

std::string DriverOf(const std::string& sysDevice) {
    char target[4096];
    const ssize_t length = readlink((sysDevice + "/driver").c_str(), target, sizeof target - 1);
    if (length <= 0) {
        return std::string();
    }
    target[length] = '\0';
    const std::string path = target;
    return path.substr(path.find_last_of('/') + 1);
}

// The running processes with this name (/proc/PID/comm).
bool ProcessRuns(const MachineRoots& roots, const std::string& name) {
    for (const std::string& pid : ListDirectory(roots.proc)) {
        if (std::all_of(pid.begin(), pid.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
            ReadLine(roots.proc + "/" + pid + "/comm") == name) {
            return true;
        }
    }
    return false;
}

// The udev database record of a character device node ("c189:5"), empty when there is none.
std::string UdevRecord(const MachineRoots& roots, const std::string& sysDevice) {
    const std::string dev = ReadLine(sysDevice + "/dev");  // "189:5"
    return dev.empty() ? std::string() : ReadAll(roots.udevData + "/c" + dev);
}

// Serial devices a camera cable could be on: ttyUSB*, ttyACM* and ttyS* backed by hardware.
std::vector<std::string> CandidateTtys(const MachineRoots& roots) {
    std::vector<std::string> ttys;
    for (const std::string& name : ListDirectory(roots.dev)) {
        const bool usbSerial = StartsWith(name, "ttyUSB") || StartsWith(name, "ttyACM");
        const bool uart = StartsWith(name, "ttyS") &&
                          std::atoi(ReadLine(roots.sys + "/class/tty/" + name + "/type").c_str()) != 0;
        if (usbSerial || uart) {
            ttys.push_back(name);
        }
    }
    return ttys;
}

void CheckSerialAccess(const MachineRoots& roots, const platform::UserFacts& user,
                       std::vector<CheckLine>& lines) {
    const std::vector<std::string> ttys = CandidateTtys(roots);
    if (ttys.empty()) {
        lines.push_back({CheckLevel::Ok, "serial-access",
                         "no serial device on this machine (a camera on USB needs none)", ""});
    }
    for (const std::string& name : ttys) {
        const platform::NodeFacts node = platform::ReadNodeFacts(roots.dev + "/" + name);
        const platform::AccessVerdict verdict = platform::JudgeAccess(node, user, false);
        const std::string facts = "/dev/" + name + " (" + ModeText(node.mode, node.isCharDevice) + " " +
                                  node.owner + ":" + node.group + ")";
        switch (verdict.fix) {
            case platform::AccessFix::None:
                lines.push_back({CheckLevel::Ok, "serial-access", facts + ": you can open it", ""});
                break;
            case platform::AccessFix::JoinGroup:
                lines.push_back({CheckLevel::Fail, "serial-access",
                                 facts + ": you are not in group " + verdict.group,
                                 "sudo usermod -aG " + verdict.group + " $USER, then log in again"});
                break;
            case platform::AccessFix::LogInAgain:
                lines.push_back({CheckLevel::Warn, "serial-access",
                                 facts + ": you are in group " + verdict.group + ", but not in this login",
                                 "log out and in again"});
                break;
            case platform::AccessFix::UdevRule:
            case platform::AccessFix::OnlyRoot:
                lines.push_back(
                    {CheckLevel::Warn, "serial-access", facts + ": only root may open it",
                     "a console port, not meant for a camera cable: use a USB-serial adapter or USB"});
                break;
        }
    }
}

void CheckUdevRule(const MachineRoots& roots, std::vector<CheckLine>& lines) {
    std::string found;
    for (const std::string& directory : roots.ruleDirs) {
        const std::string path = directory + "/" + RULE_FILE;
        if (found.empty() && ReadAll(path).find("QX410") != std::string::npos) {
            found = path;
        }
    }
    if (!found.empty()) {
        lines.push_back({CheckLevel::Ok, "udev-rule", "the camera's udev rule is installed: " + found, ""});
    } else {
        lines.push_back(
            {CheckLevel::Warn, "udev-rule",
             "the camera's udev rule " + std::string(RULE_FILE) + " is not installed",
             "install the qx410fw package (or copy packaging/70-qx410fw.rules to /etc/udev/rules.d/), "
             "then sudo udevadm control --reload and plug the camera in again"});
    }
}

void CheckUsbCameras(const MachineRoots& roots, const platform::UserFacts& user,
                     std::vector<CheckLine>& lines) {
    const std::string devices = roots.sys + "/bus/usb/devices";
    const std::vector<platform::UsbCameraEntry> cameras =
        platform::ListUsbCameras(devices, platform::ParseUsbIdList(std::getenv("QX410FW_USB_IDS")));
    int instance = 0;
    for (const platform::UsbCameraEntry& camera : cameras) {
        ++instance;
        char node[64];
        std::snprintf(node, sizeof node, "/bus/usb/%03d/%03d", camera.busNumber, camera.deviceNumber);
        const std::string path = roots.dev + node;
        const std::string record = UdevRecord(roots, devices + "/" + camera.sysfsName);
        const bool tagged =
            record.find("G:uaccess") != std::string::npos || record.find("\nG:uaccess") != std::string::npos;
        const platform::AccessVerdict verdict =
            platform::JudgeAccess(platform::ReadNodeFacts(path), user, true);
        const std::string name = "USB camera usb" + std::to_string(instance) + " (/dev" + node + ")";
        if (verdict.allowed || (tagged && access(path.c_str(), R_OK | W_OK) == 0)) {
            lines.push_back({CheckLevel::Ok, "usb-camera", name + ": you can open it", ""});
        } else if (tagged) {
            lines.push_back({CheckLevel::Warn, "usb-camera",
                             name + ": the udev rule matched, but you are not the user at the desktop",
                             "run the updater in the desktop session that is logged in at the screen"});
        } else {
            lines.push_back({CheckLevel::Fail, "usb-camera", name + ": no udev rule gave it to you",
                             "install the udev rule, sudo udevadm control --reload, then unplug the camera "
                             "and plug it in again"});
        }
    }
    if (cameras.empty()) {
        lines.push_back({CheckLevel::Ok, "usb-camera",
                         "no QX410 camera on USB now (plug it in and switch it on to check it)", ""});
    }
}

// USB interfaces bound to a USB-serial driver that made no tty, and adapters brltty took.
void CheckAdaptersWithoutTty(const MachineRoots& roots, std::vector<CheckLine>& lines) {
    const std::string devices = roots.sys + "/bus/usb/devices";
    const bool brltty = ProcessRuns(roots, "brltty");
    for (const std::string& name : ListDirectory(devices)) {
        if (name.find(':') == std::string::npos) {
            continue;  // a device, not an interface
        }
        const std::string driver = DriverOf(devices + "/" + name);
        const bool serialDriver = std::find(std::begin(USB_SERIAL_DRIVERS), std::end(USB_SERIAL_DRIVERS),
                                            driver) != std::end(USB_SERIAL_DRIVERS);
        if (!serialDriver && !(brltty && driver == "usbfs")) {
            continue;
        }
        const std::vector<std::string> children = ListDirectory(devices + "/" + name);
        const bool hasTty = std::any_of(children.begin(), children.end(),
                                        [](const std::string& child) { return StartsWith(child, "ttyUSB"); });
        if (hasTty) {
            continue;
        }
        lines.push_back(
            {CheckLevel::Fail, "adapter-without-tty",
             "USB interface " + name + " (driver " + driver + ") has no tty" +
                 (brltty ? "; brltty is running and takes such adapters" : ""),
             brltty ? "sudo systemctl mask brltty-udev.service brltty.path (or sudo apt remove brltty), "
                      "then unplug the adapter and plug it in again"
                    : "unplug the adapter and plug it in again; see dmesg for the driver's complaint"});
    }
}

void CheckModemManager(const MachineRoots& roots, std::vector<CheckLine>& lines) {
    if (!ProcessRuns(roots, "ModemManager")) {
        lines.push_back({CheckLevel::Ok, "modemmanager", "ModemManager is not running", ""});
        return;
    }
    for (const std::string& name : ListDirectory(roots.dev)) {
        if (!StartsWith(name, "ttyACM")) {
            continue;
        }
        const std::string record = UdevRecord(roots, roots.sys + "/class/tty/" + name);
        if (record.find("ID_MM_DEVICE_IGNORE=1") != std::string::npos) {
            lines.push_back(
                {CheckLevel::Ok, "modemmanager", "ModemManager runs but leaves /dev/" + name + " alone", ""});
            continue;
        }
        lines.push_back({CheckLevel::Warn, "modemmanager",
                         "ModemManager runs and probes /dev/" + name + ", which disturbs the camera",
                         "a udev rule with ENV{ID_MM_DEVICE_IGNORE}=\"1\" for the adapter, or sudo systemctl "
                         "stop ModemManager "
                         "during the update"});
    }
}

void CheckLatency(const MachineRoots& roots, std::vector<CheckLine>& lines) {
    for (const std::string& name : ListDirectory(roots.dev)) {
        if (!StartsWith(name, "ttyUSB")) {
            continue;
        }
        const platform::SerialAdapterFacts tty =
            platform::ReadSerialAdapterFacts(roots.dev + "/" + name, roots.sys);
        const int latency = tty.latencyTimerMs.value_or(0);
        if (latency <= 1) {
            if (latency == 1) {
                lines.push_back({CheckLevel::Ok, "latency-timer",
                                 "/dev/" + name + " (" + tty.driver + "): latency timer 1 ms", ""});
            }
            continue;
        }
        lines.push_back({CheckLevel::Warn, "latency-timer",
                         "/dev/" + name + " (" + tty.driver + "): latency timer " + std::to_string(latency) +
                             " ms slows every exchange with the camera",
                         "echo 1 | sudo tee /sys/class/tty/" + name + "/device/latency_timer"});
    }
}

void CheckDeviceDirectory(const MachineRoots& roots, std::vector<CheckLine>& lines) {
    const std::string path =
        roots.deviceDirectory.empty() ? platform::DeviceDirectoryPath() : roots.deviceDirectory;
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) {
        lines.push_back(
            {CheckLevel::Ok, "device-directory", path + " does not exist (made when needed)", ""});
        return;
    }
    const bool trusted = S_ISDIR(info.st_mode) && info.st_uid == geteuid() && (info.st_mode & 022) == 0;
    if (trusted) {
        lines.push_back({CheckLevel::Ok, "device-directory", path + " is yours and private", ""});
    } else {
        lines.push_back({CheckLevel::Fail, "device-directory",
                         path + " is not a private directory of yours: it is ignored, and a USB camera "
                                "cannot be locked there",
                         "remove it (rm -r " + path + "); the updater makes it again"});
    }
}

void CheckDisplay(const MachineRoots& roots, std::vector<CheckLine>& lines) {
    const auto fromEnvironment = [](const char* name) {
        const char* value = std::getenv(name);
        return std::string(value != nullptr ? value : "");
    };
    const std::string display = roots.display ? *roots.display : fromEnvironment("DISPLAY");
    const std::string wayland =
        roots.waylandDisplay ? *roots.waylandDisplay : fromEnvironment("WAYLAND_DISPLAY");
    if (!display.empty()) {
        lines.push_back({CheckLevel::Ok, "display",
                         "display " + display + (wayland.empty() ? "" : " (XWayland in a Wayland session)") +
                             ": the desktop program can start",
                         ""});
    } else if (!wayland.empty()) {
        lines.push_back({CheckLevel::Warn, "display",
                         "a Wayland session without XWayland: the compositor places the dialogs",
                         "install and enable XWayland (xwayland package) for the program's own placement"});
    } else {
        lines.push_back({CheckLevel::Warn, "display",
                         "no display: the desktop program qx410fw cannot start here",
                         "use qx410fw-cli, or run qx410fw in a desktop session"});
    }
}

const char* LevelText(CheckLevel level) {
    switch (level) {
        case CheckLevel::Ok:
            return "OK";
        case CheckLevel::Warn:
            return "WARN";
        case CheckLevel::Fail:
            return "FAIL";
    }
    return "";
}

}  // namespace

std::vector<CheckLine> CheckMachine(const MachineRoots& roots) {
    const platform::UserFacts user = roots.user ? *roots.user : platform::CurrentUser();
    std::vector<CheckLine> lines;
    CheckSerialAccess(roots, user, lines);
    CheckUdevRule(roots, lines);
    CheckUsbCameras(roots, user, lines);
    CheckAdaptersWithoutTty(roots, lines);
    CheckModemManager(roots, lines);
    CheckLatency(roots, lines);
    CheckDeviceDirectory(roots, lines);
    CheckDisplay(roots, lines);
    return lines;
}

int RunDoctor(bool json, const MachineRoots& roots) {
    const std::vector<CheckLine> lines = CheckMachine(roots);
    bool failed = false;
    for (const CheckLine& line : lines) {
        failed = failed || line.level == CheckLevel::Fail;
        if (json) {
            JsonLine entry("check");
            entry.Add("level", LevelText(line.level)).Add("check", line.check).Add("text", line.text);
            if (!line.fix.empty()) {
                entry.Add("fix", line.fix);
            }
            PrintOut(entry.Text());
            continue;
        }
        char level[8];
        std::snprintf(level, sizeof level, "%-5s ", LevelText(line.level));
        PrintOut(level + line.text + "\n" + (line.fix.empty() ? "" : "      fix: " + line.fix + "\n"));
    }
    const int status = failed ? EXIT_UPDATE_FAILED : EXIT_OK;
    if (json) {
        PrintOutcome(true, status, failed ? "checked-with-failures" : "checked", "");
    }
    return status;
}

}  // namespace cli
