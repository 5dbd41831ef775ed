// What sysfs says about a serial device: the kernel driver behind it and, for an FTDI adapter, its
// latency timer. Read from a sysfs root given as an argument, so tests can use a made-up tree.
#pragma once

#include <string>

namespace platform {

struct TtyFacts {
    std::string driver;  // "ftdi_sio", "ch341", "cp210x", "pl2303", "cdc_acm", "serial8250"; empty: unknown
    int latencyTimerMs = -1;  // the FTDI latency_timer in ms; -1 when the device has none or it is unreadable
};

// Facts of the tty named by its device path ("/dev/ttyUSB0"; links followed by the caller) below sysRoot.
TtyFacts ReadTtyFacts(const std::string& devicePath, const std::string& sysRoot = "/sys");

}  // namespace platform
