// The command line's devices: tracing, the USB instance lock and the record of busy ports.
#include "cli/cli_devices.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

#include "cli/cli_system.h"
#include "wire/usb_device_name.h"

namespace cli {

namespace {

uint64_t NowUs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

}  // namespace

TraceWriter::TraceWriter(int fd) : m_fd(fd), m_startUs(NowUs()) {
    WriteLine(
        "# qx410fw-cli trace: milliseconds since start; > to the camera, < from the camera, # events\n");
}

void TraceWriter::WriteHeader(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) {
        WriteLine("# " + line + "\n");
    }
}

TraceWriter::~TraceWriter() {
    if (m_fd >= 0) {
        close(m_fd);
    }
}

void TraceWriter::WriteLine(const std::string& line) {
    // A full disk ends the trace, not the update.
    if (m_fd >= 0) {
        WriteRaw(m_fd, line.data(), line.size());
    }
}

void TraceWriter::OnBytes(bool sent, const uint8_t* data, size_t count) {
    if (m_fd < 0) {
        return;
    }
    const uint64_t us = NowUs() - m_startUs;
    char stamp[40];
    std::snprintf(stamp, sizeof stamp, "%10llu.%03llu %c", static_cast<unsigned long long>(us / 1000),
                  static_cast<unsigned long long>(us % 1000), sent ? '>' : '<');
    std::string line = stamp;
    line.reserve(line.size() + count * 3 + 1);
    static const char HEX[] = "0123456789abcdef";
    for (size_t i = 0; i < count; ++i) {
        line += ' ';
        line += HEX[data[i] >> 4];
        line += HEX[data[i] & 0x0F];
    }
    line += '\n';
    WriteLine(line);
}

void TraceWriter::OnEvent(const std::string& text) {
    if (m_fd < 0) {
        return;
    }
    const uint64_t us = NowUs() - m_startUs;
    char stamp[40];
    std::snprintf(stamp, sizeof stamp, "%10llu.%03llu # ", static_cast<unsigned long long>(us / 1000),
                  static_cast<unsigned long long>(us % 1000));
    WriteLine(stamp + text + "\n");
}

std::unique_ptr<platform::ISerialPort> CliDevices::OpenSerialPort(const char* portName, int& errorNumber) {
    std::unique_ptr<platform::ISerialPort> port = m_inner.OpenSerialPort(portName, errorNumber);
    if (!port && errorNumber == EBUSY) {
        m_busy[portName] = "held by another program";
    }
    return port;
}

std::unique_ptr<platform::IUsbConnection> CliDevices::OpenUsbDevice(const char* devicePath,
                                                                    int& errorNumber) {
    errorNumber = ENOENT;
    const std::string path = devicePath != nullptr ? devicePath : "";
    const int instance = wire::ParseUsbDeviceName(path);
    if (instance == 0 || (m_usbInstance != 0 && instance != m_usbInstance)) {
        return nullptr;
    }
    std::unique_ptr<platform::IUsbConnection> connection = m_inner.OpenUsbDevice(devicePath, errorNumber);
    if (!connection || m_locks.find(path) != m_locks.end()) {
        return connection;
    }
    // Locked only once something answers the name, so a search leaves no lock files for absent
    // instances behind.
    std::unique_ptr<platform::UsbInstanceLock> lock = platform::LockUsbInstance(path, errorNumber);
    if (!lock) {
        m_busy[wire::UsbObjectName(instance)] =
            errorNumber == EBUSY ? "in use by another qx410fw-cli" : std::string("cannot be locked");
        return nullptr;
    }
    m_locks.emplace(path, std::move(lock));
    return connection;
}

void CliDevices::KeepOnlyLock(const std::string& devicePath) {
    for (auto it = m_locks.begin(); it != m_locks.end();) {
        it = it->first == devicePath ? std::next(it) : m_locks.erase(it);
    }
}

std::string CliDevices::DescribeBusy() const {
    std::string text;
    for (const auto& [name, why] : m_busy) {
        text += (text.empty() ? "" : ", ") + name + " (" + why + ")";
    }
    return text;
}

}  // namespace cli
