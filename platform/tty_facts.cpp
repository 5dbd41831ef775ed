// Serial device facts from sysfs: class/tty/NAME/device/driver names the driver; an FTDI adapter keeps
// its latency timer in class/tty/NAME/device/latency_timer.
#include "platform/tty_facts.h"

#include <unistd.h>

#include <climits>
#include <fstream>

namespace platform {

namespace {
constexpr int SERIAL_BASE_LEVELS = 3;
}  // namespace

TtyFacts ReadTtyFacts(const std::string& devicePath, const std::string& sysRoot) {
    TtyFacts facts;
    const size_t slash = devicePath.find_last_of('/');
    const std::string name = slash == std::string::npos ? devicePath : devicePath.substr(slash + 1);
    if (name.empty()) {
        return facts;
    }
    const std::string device = sysRoot + "/class/tty/" + name + "/device";
    // Newer kernels put the serial core's own port and controller devices (bus serial-base) between the
    // tty and the hardware's driver: look past them.
    std::string level = device;
    for (int up = 0; up < SERIAL_BASE_LEVELS; ++up, level += "/..") {
        char target[PATH_MAX];
        const ssize_t length = readlink((level + "/driver").c_str(), target, sizeof target - 1);
        if (length <= 0) {
            break;
        }
        target[length] = '\0';
        const std::string driver = target;
        if (driver.find("/serial-base/") != std::string::npos) {
            continue;
        }
        const size_t last = driver.find_last_of('/');
        facts.driver = last == std::string::npos ? driver : driver.substr(last + 1);
        break;
    }
    std::ifstream latency(device + "/latency_timer");
    int value = -1;
    if (latency >> value) {
        facts.latencyTimerMs = value;
    }
    return facts;
}

}  // namespace platform
