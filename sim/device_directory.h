// The per-user directory in which the simulated camera publishes its links (D/COMn, D/QX410U-NNN),
// computed the same way the updater resolves link names: $XDG_RUNTIME_DIR/qx410fw when XDG_RUNTIME_DIR
// names a directory, otherwise /tmp/qx410fw-<uid>.
#pragma once

#include <string>

namespace sim {

std::string DeviceDirectoryPath();

// Creates the directory with mode 0700 when it is missing. Fails (with a message) when the path exists
// but is not a directory of ours that only we can write: the updater would ignore it.
bool PrepareDeviceDirectory(const std::string& path, std::string& error);

}  // namespace sim
