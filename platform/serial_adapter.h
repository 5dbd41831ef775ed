// What sysfs tells about the hardware behind a tty device: the kernel driver that serves it, an FTDI
// adapter's latency timer, and for a USB adapter its vendor:product and product string. Read-only and
// best effort: an attribute that is missing or unreadable leaves its field empty, never fails the call.
//
// The sysfs root is a parameter so that tests can build a made-up tree; the layout read is the
// kernel's:
//   <sys>/class/tty/<name>/device          the port's device (a usb-serial port, a USB interface, a
//                                          platform or PnP UART); its "driver" link names the driver
//                                          (for a UART on Linux 6.5 and later, above the serial core's
//                                          own port and ctrl devices)
//   <sys>/class/tty/<name>/device/latency_timer   ftdi_sio only: milliseconds, 1..255
//   idVendor, idProduct, product           in the nearest USB device directory above the port's device
#pragma once

#include <optional>
#include <string>

namespace platform {

struct SerialAdapterFacts {
    std::string driver;  // "ftdi_sio", "ch341", "cp210x", "pl2303", "cdc_acm", "serial8250", ...
    std::optional<int> latencyTimerMs;  // the FTDI latency timer when it could be read
    std::string usbId;                  // "0403:6001" as lsusb prints it; empty when not on USB
    std::string product;                // the USB product string, e.g. "FT232R USB UART"
};

// ttyDevicePath is the device file ("/dev/ttyUSB0") or a link to it ("/dev/serial/by-id/..."); links
// are followed in the real /dev, and the last component names the tty in <sysRoot>/class/tty. A
// pseudo-terminal, or a name sysfs does not know, gives empty facts.
SerialAdapterFacts ReadSerialAdapterFacts(const std::string& ttyDevicePath,
                                          const std::string& sysRoot = "/sys");

// True when the driver is one whose adapter hands received bytes to the host in batches on its own timer.
bool DriverHasLatencyTimer(const std::string& driver);

}  // namespace platform
