// `qx410fw-cli doctor` on Windows: the machine checks (serial device groups, udev rules, sysfs) are
// Linux's; on Windows the ports and the camera's driver show in Device Manager.
#include "cli/cli_ui.h"
#include "cli/doctor.h"
#include "cli/exit_status.h"

namespace cli {

int RunDoctor(bool json, const MachineRoots& /*roots*/) {
    const std::string message =
        "doctor checks a Linux machine; on Windows, Device Manager shows the COM ports and the camera's "
        "driver";
    if (json) {
        PrintOutcome(true, EXIT_USAGE, "unsupported", message);
    } else {
        PrintErr("qx410fw-cli: " + message + "\n");
    }
    return EXIT_USAGE;
}

}  // namespace cli
