// Gathers a failure's host-side facts: the device behind the chosen port and, for the cause at hand,
// its permissions or the processes holding it. Reads only; nothing is opened.
#include "app/host_cause.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/device_namespace.h"
#include "platform/usb_cameras.h"
#include "wire/usb_device_name.h"

namespace {

// The node or socket behind a port name, and the holders' places: the node itself and, for a USB
// camera, the per-camera lock file beside its device object.
void FillDevice(HostCause& cause, int usbInstance) {
    if (!cause.usb) {
        cause.device = platform::ResolveSerialPortName(cause.port);
        const platform::NodeFacts facts = platform::ReadNodeFacts(cause.device);
        if (facts.exists) {
            cause.device = facts.path;
        } else {
            // A link to a device that is gone names the device it stood for; an I/O error on a device
            // whose node has gone is the device unplugged.
            cause.device = platform::LinkTarget(cause.device);
            if (cause.cause == LinkCause::DeviceIoError) {
                cause.cause = LinkCause::Unplugged;
            }
        }
        return;
    }
    const std::string socket = platform::ResolveUsbDevicePath(cause.port);
    if (!socket.empty() && platform::ReadNodeFacts(socket).exists) {
        cause.device = socket;
        return;
    }
    if (const std::optional<platform::UsbCameraEntry> camera = platform::FindUsbCamera(usbInstance)) {
        char node[40];
        std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", camera->busNumber, camera->deviceNumber);
        cause.device = node;
    }
}

void FillFacts(HostCause& cause) {
    if (cause.cause == LinkCause::PermissionDenied) {
        cause.node = platform::ReadNodeFacts(cause.device);
        const platform::UserFacts user = platform::CurrentUser();
        const platform::AccessVerdict verdict =
            platform::JudgeAccess(cause.node, user, cause.usb && cause.device.rfind("/dev/bus/usb/", 0) == 0);
        // The bits may allow what the open refused (an access list, a security module): no fix to name.
        cause.fix = verdict.fix;
        cause.fixGroup = verdict.group;
        for (const std::string& name : user.processGroupNames) {
            cause.userGroups += (cause.userGroups.empty() ? "" : " ") + name;
        }
    } else if (cause.cause == LinkCause::HeldByAnotherProgram) {
        std::vector<platform::Holder> holders = platform::WhoHolds(cause.device);
        if (cause.usb) {
            const std::string socket = platform::ResolveUsbDevicePath(cause.port);
            const std::vector<platform::Holder> lockers = platform::FindLockHolders(socket + ".lock");
            for (const platform::Holder& holder : lockers) {
                bool known = false;
                for (const platform::Holder& seen : holders) {
                    known = known || seen.pid == holder.pid;
                }
                if (!known) {
                    holders.push_back(holder);
                }
            }
        }
        cause.holders = platform::DescribeHolders(holders);
    }
}

// "COM1 (/dev/ttyUSB0)", or the port alone when nothing stands for it.
std::string PortAndDevice(const HostCause& cause) {
    const std::string port = cause.port.empty() ? std::string("USB") : cause.port;
    return cause.device.empty() ? port : port + " (" + cause.device + ")";
}

std::string PermissionAdvice(const HostCause& cause) {
    switch (cause.fix) {
        case platform::AccessFix::JoinGroup:
            return "you are not in group " + cause.fixGroup + ": sudo usermod -aG " + cause.fixGroup +
                   " $USER, then log in again";
        case platform::AccessFix::LogInAgain:
            return "you were added to group " + cause.fixGroup +
                   ", but this login does not have it yet: log out and in again";
        case platform::AccessFix::UdevRule:
            return "the camera's udev rule is not in effect for you: install 70-qx410fw.rules, run sudo "
                   "udevadm control --reload, then unplug the camera and plug it in again";
        case platform::AccessFix::OnlyRoot:
            return "only root may open it (" + cause.node.owner + ":" + cause.node.group +
                   "): no camera cable is expected there; choose the port the camera is on";
        case platform::AccessFix::None:
            break;
    }
    return "the system refused it although its permissions allow you (an access list or a security module)";
}

}  // namespace

std::string ModeText(uint32_t mode, bool charDevice) {
    std::string text = charDevice ? "c" : "-";
    const char letters[] = "rwx";
    for (int bit = 8; bit >= 0; --bit) {
        text += (mode & (1u << bit)) != 0 ? letters[(8 - bit) % 3] : '-';
    }
    return text;
}

std::string HostCauseSentence(const HostCause& cause) {
    const std::string where = PortAndDevice(cause);
    switch (cause.cause) {
        case LinkCause::None:
            return std::string();
        case LinkCause::NoSuchDevice:
            if (cause.usb) {
                return "No QX410 camera is attached to USB";
            }
            return where + ": no such device; nothing stands for " + cause.port + " on this machine";
        case LinkCause::PermissionDenied:
            return where + ": permission denied; " + PermissionAdvice(cause);
        case LinkCause::HeldByAnotherProgram:
            return where + ": held by another program" +
                   (cause.holders.empty() ? "" : " (" + cause.holders + ")") +
                   "; do not switch that camera off: let that program finish or close it, then try again";
        case LinkCause::DeviceIoError:
            return where + ": input/output error (" +
                   std::strerror(cause.systemError != 0 ? cause.systemError : EIO) +
                   "); check the cable and the adapter, unplug it and plug it in again";
        case LinkCause::Unplugged:
            return where +
                   ": the device went away while open (unplugged?); plug it in again and check the cable";
        case LinkCause::CameraSilent:
            return where + " opened, but no camera answered";
        case LinkCause::AdapterLatency:
            return where +
                   ": the serial adapter holds received bytes too long for the camera (its latency timer is "
                   "30 ms "
                   "or more); set it to 16 ms or less, for an FTDI adapter: echo 1 | sudo tee "
                   "/sys/bus/usb-serial/devices/ttyUSBn/latency_timer (n of your adapter), then try again";
        case LinkCause::BreakNotSent:
            return where +
                   ": the serial adapter did not send the line break that wakes the camera, so a camera left "
                   "at "
                   "high speed by an interrupted update cannot be woken through it; switch the camera off "
                   "and on "
                   "(that resets its speed) and try again";
        case LinkCause::FlowControlHeld:
            return where +
                   ": hardware flow control holds the output (CTS low); switch it off for this port (stty -F "
                   "<device> -crtscts) or use a cable that connects CTS";
    }
    return std::string();
}

std::string HostCauseFacts(const HostCause& cause) {
    if (cause.cause != LinkCause::PermissionDenied || !cause.node.exists) {
        return std::string();
    }
    return cause.node.path + " is " + ModeText(cause.node.mode, cause.node.isCharDevice) + " " +
           cause.node.owner + ":" + cause.node.group +
           "; your groups: " + (cause.userGroups.empty() ? "none" : cause.userGroups);
}

bool HostCause::OnHost() const {
    switch (cause) {
        case LinkCause::None:
        case LinkCause::CameraSilent:
            return false;
        case LinkCause::NoSuchDevice:
            // No camera attached on USB is the camera's own "not found": switched off or not connected.
            return !usb;
        case LinkCause::PermissionDenied:
        case LinkCause::HeldByAnotherProgram:
        case LinkCause::DeviceIoError:
        case LinkCause::Unplugged:
        case LinkCause::AdapterLatency:
        case LinkCause::BreakNotSent:
        case LinkCause::FlowControlHeld:
            return true;
    }
    return false;
}

HostCause ExplainSearchFailure(const CCameraSession& session, int16_t port) {
    HostCause cause;
    if (port == PORT_AUTO) {
        // Every link was tried; one held by another program may be the camera's, and switching that
        // camera off would cut the other program's update short.
        if (session.m_heldSerialPort == 0 && session.m_heldUsbInstance == 0) {
            return cause;
        }
        cause.cause = LinkCause::HeldByAnotherProgram;
        cause.usb = session.m_heldSerialPort == 0;
        cause.port = cause.usb ? wire::UsbDeviceName(session.m_heldUsbInstance)
                               : "COM" + std::to_string(session.m_heldSerialPort);
        FillDevice(cause, session.m_heldUsbInstance);
        FillFacts(cause);
        return cause;
    }
    cause.cause = session.m_cause;
    cause.systemError = session.m_systemError;
    cause.usb = port == PORT_USB;
    int instance = 0;
    if (cause.usb) {
        instance = session.m_causeInstance;
        cause.port = instance != 0 ? wire::UsbDeviceName(instance) : std::string();
    } else {
        cause.port = "COM" + std::to_string(port);
    }
    // The link opened and worked, and the camera never answered.
    if (cause.cause == LinkCause::None) {
        cause.cause = LinkCause::CameraSilent;
    }
    if (!cause.port.empty()) {
        FillDevice(cause, instance);
        FillFacts(cause);
    }
    return cause;
}

HostCause ExplainLinkFailure(const CCameraSession& session) {
    HostCause cause;
    cause.cause = session.m_cause;
    cause.systemError = session.m_systemError;
    cause.usb = session.m_portKind == PORT_KIND_USB;
    const int instance = session.m_usbInstance;
    cause.port = cause.usb ? wire::UsbDeviceName(instance) : "COM" + std::to_string(session.m_portNumber);
    FillDevice(cause, instance);
    return cause;
}

std::string OutcomeCauseLine(const HostCause& cause) {
    switch (cause.cause) {
        case LinkCause::HeldByAnotherProgram:
        case LinkCause::PermissionDenied:
            return HostCauseSentence(cause) + ".";
        case LinkCause::NoSuchDevice:
            return cause.usb ? std::string() : HostCauseSentence(cause) + ".";
        case LinkCause::None:
        case LinkCause::DeviceIoError:
        case LinkCause::Unplugged:
        case LinkCause::CameraSilent:
        case LinkCause::AdapterLatency:
        case LinkCause::BreakNotSent:
        case LinkCause::FlowControlHeld:
            break;
    }
    return std::string();
}
