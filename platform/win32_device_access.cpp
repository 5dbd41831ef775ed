// Who may open a device, and who holds it, on Windows: the system keeps no owner, group and mode for a
// COM port or the camera's device object, and does not tell which process holds one, so nothing here is
// known. The failure's own reason (busy, access denied) still reaches the messages; only the Linux
// advice drawn from these facts (groups to join, processes to close) has nothing to say. No camera is
// numbered from sysfs either: the camera's driver names its device objects itself.
#include <optional>
#include <string>
#include <vector>

#include "platform/device_access.h"
#include "platform/usb_cameras.h"

namespace platform {

NodeFacts ReadNodeFacts(const std::string& path) {
    NodeFacts facts;
    facts.path = path;
    return facts;
}

std::string LinkTarget(const std::string& path) {
    return path;
}

UserFacts CurrentUser() {
    return {};
}

// Nothing is known against it: the open itself decides.
AccessVerdict JudgeAccess(const NodeFacts& /*node*/, const UserFacts& /*user*/, bool /*usbCameraNode*/) {
    AccessVerdict verdict;
    verdict.allowed = true;
    return verdict;
}

bool MayOpen(const std::string& /*path*/) {
    return true;
}

std::vector<Holder> FindHolders(const std::string& /*path*/, const std::string& /*procRoot*/) {
    return {};
}

std::vector<Holder> FindLockHolders(const std::string& /*path*/, const std::string& /*procRoot*/) {
    return {};
}

std::vector<Holder> WhoHolds(const std::string& /*path*/, const std::string& /*procRoot*/) {
    return {};
}

std::string DescribeHolders(const std::vector<Holder>& holders) {
    std::string text;
    for (const Holder& holder : holders) {
        text += (text.empty() ? "" : ", ") + holder.command + " (pid " + std::to_string(holder.pid) + ")";
    }
    return text;
}

std::optional<UsbCameraEntry> FindUsbCamera(int /*instance*/) {
    return std::nullopt;
}

}  // namespace platform
