// `qx410fw-cli ports`: what COM1..COM9 resolve to (device, driver, whether this user can open it and
// why not), every QX410 camera on the USB bus (its --port value, bus and port path, IDs, product
// string, access and holder), and the driver sockets in the device directory.
#pragma once

#include <string>

namespace cli {

// Prints the listing (text, or one JSON line per entry) and returns the exit status.
int RunPorts(bool json);

}  // namespace cli
