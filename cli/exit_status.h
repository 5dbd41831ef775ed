// The exit statuses of qx410fw-cli, as --help and the manual page document them.
#pragma once

namespace cli {

constexpr int EXIT_OK = 0;
constexpr int EXIT_UPDATE_FAILED = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_NOT_FOUND = 3;
constexpr int EXIT_FILE_REFUSED = 4;
constexpr int EXIT_SAME_VERSION = 5;
constexpr int EXIT_PORT_BUSY = 6;
constexpr int EXIT_PERMISSION_DENIED = 7;
// An interrupt ends with 128 + the signal number (130 for Ctrl+C, 143 for SIGTERM).
constexpr int EXIT_INTERRUPTED_BASE = 128;

}  // namespace cli
