// The command line's system calls on POSIX: signals, the trace file, the driver socket's presence.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include "cli/cli_system.h"

namespace cli {

static_assert(INTERRUPT_SIGNAL == SIGINT && TERMINATE_SIGNAL == SIGTERM);

void InstallInterruptHandler(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

long WriteSome(int fd, const void* data, size_t count) {
    return static_cast<long>(write(fd, data, count));
}

int CreateTraceFile(const std::string& path) {
    return open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

bool UsbDeviceMayExist(const std::string& path) {
    struct stat info {};
    return !path.empty() && lstat(path.c_str(), &info) == 0;
}

}  // namespace cli
