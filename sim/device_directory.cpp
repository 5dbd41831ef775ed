// The simulator's copy of the device directory rule; the simulator does not link the updater's platform
// library, so the rule is kept here byte for byte.
#include "sim/device_directory.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace sim {

std::string DeviceDirectoryPath() {
    const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
    if (runtimeDir != nullptr && runtimeDir[0] != '\0') {
        struct stat info {};
        if (stat(runtimeDir, &info) == 0 && S_ISDIR(info.st_mode)) {
            return std::string(runtimeDir) + "/qx410fw";
        }
    }
    return "/tmp/qx410fw-" + std::to_string(getuid());
}

bool PrepareDeviceDirectory(const std::string& path, std::string& error) {
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) {
        error = "cannot examine " + path + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(info.st_mode) || info.st_uid != getuid()) {
        error = path + " is not a directory owned by this user; the updater would ignore it";
        return false;
    }
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        error = path + " is writable by others; the updater would ignore it (chmod 700 it)";
        return false;
    }
    return true;
}

}  // namespace sim
