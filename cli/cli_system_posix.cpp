// The command line's system calls on POSIX systems: ioctl(TIOCGWINSZ) and SIGWINCH for the terminal,
// sigaction for the interrupts, write and _exit for the signal handler, open/fstat for the files.
#include "cli/cli_system.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

namespace cli {

namespace {

volatile std::sig_atomic_t g_widthChanged = 0;

void NoteWidthChange(int) {
    g_widthChanged = 1;
}

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

bool IsTerminal(int fd) {
    return isatty(fd) != 0;
}

int TerminalColumns(int fd) {
    winsize size{};
    if (ioctl(fd, TIOCGWINSZ, &size) != 0) {
        return 0;
    }
    return size.ws_col;
}

void WatchTerminalWidth() {
    struct sigaction action {};
    action.sa_handler = NoteWidthChange;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGWINCH, &action, nullptr);
}

bool TakeWidthChange() {
    if (g_widthChanged == 0) {
        return false;
    }
    g_widthChanged = 0;
    return true;
}

void InstallInterruptHandlers(void (*handler)(int)) {
    // No SA_RESTART: the signal interrupts the sleep or poll under way, so a cut wait ends at once.
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

bool WriteRaw(int fd, const char* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t count = write(fd, data + done, size - done);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return false;
        }
        done += static_cast<size_t>(count);
    }
    return true;
}

void ExitNow(int status) {
    _exit(status);
}

int StandardOutput() {
    return STDOUT_FILENO;
}

int StandardError() {
    return STDERR_FILENO;
}

FileFacts InspectFile(const std::string& path) {
    FileFacts facts;
    // O_NONBLOCK: opening a pipe must not wait for a writer.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        facts.error = errno;
        return facts;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0) {
        facts.error = errno;
    } else if (S_ISREG(info.st_mode)) {
        facts.kind = FileKind::Regular;
        facts.size = static_cast<uint64_t>(info.st_size);
    } else if (S_ISDIR(info.st_mode)) {
        facts.kind = FileKind::Directory;
    } else if (S_ISFIFO(info.st_mode)) {
        facts.kind = FileKind::Pipe;
    }
    close(fd);
    return facts;
}

int CreateTraceFile(const std::string& path, bool overwrite, const std::string& keep, std::string& error) {
    struct stat kept {};
    const bool keepExists = !keep.empty() && stat(keep.c_str(), &kept) == 0;
    struct stat existing {};
    if (keepExists && stat(path.c_str(), &existing) == 0 && SameFile(existing, kept)) {
        error = "it is the firmware image " + keep;
        return -1;
    }
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (overwrite ? 0 : O_EXCL), 0644);
    if (fd < 0) {
        error = errno == EEXIST ? "it exists (add --overwrite-trace to replace it)" : std::strerror(errno);
        return -1;
    }
    // Checked again on the file actually opened, before anything in it is touched.
    struct stat opened {};
    if (fstat(fd, &opened) != 0) {
        error = std::strerror(errno);
        close(fd);
        return -1;
    }
    if (keepExists && SameFile(opened, kept)) {
        error = "it is the firmware image " + keep;
        close(fd);
        return -1;
    }
    // A device such as /dev/stderr is written as it is.
    if (S_ISREG(opened.st_mode) && ftruncate(fd, 0) != 0) {
        error = std::strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

std::string SystemErrorText(int errorNumber) {
    return std::strerror(errorNumber);
}

bool UsbDeviceMayExist(const std::string& path) {
    struct stat info {};
    return !path.empty() && lstat(path.c_str(), &info) == 0;
}

std::string UtcTimestamp() {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    gmtime_r(&now, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

}  // namespace cli
