// The devices the command line runs the updater on: the machine's devices, optionally traced, with one
// USB camera per process (the instance lock), an optional fixed USB instance, and a record of the ports
// that were there but held by another program, so that "not found" can say why.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/devices.h"
#include "platform/observed_devices.h"
#include "platform/usb_instance_lock.h"

namespace cli {

// Writes the trace file: every byte to and from the camera with its time in milliseconds since the
// program started, one transfer a line ("   12.345 > 1d 00 ..", "<" for received), and the link events
// as "   12.345 # text". Each line is written straight to the file, so nothing is lost on an interrupt.
class TraceWriter final : public platform::ILinkObserver {
  public:
    // fd is owned; -1 traces nothing.
    explicit TraceWriter(int fd);
    ~TraceWriter() override;
    TraceWriter(const TraceWriter&) = delete;
    TraceWriter& operator=(const TraceWriter&) = delete;

    void OnBytes(bool sent, const uint8_t* data, size_t count) override;
    void OnEvent(const std::string& text) override;
    // Lines of the header ("# program: ..."), written before any byte of the link.
    void WriteHeader(const std::vector<std::string>& lines);
    int Fd() const { return m_fd; }

  private:
    void WriteLine(const std::string& line);
    int m_fd;
    uint64_t m_startUs;
};

class CliDevices final : public platform::IDevices {
  public:
    // usbInstance 0: any instance not locked by another process; 1..127: that instance only.
    CliDevices(platform::IDevices& inner, int usbInstance) : m_inner(inner), m_usbInstance(usbInstance) {}

    std::unique_ptr<platform::ISerialPort> OpenSerialPort(const char* portName, int& errorNumber) override;
    std::unique_ptr<platform::IUsbConnection> OpenUsbDevice(const char* devicePath,
                                                            int& errorNumber) override;

    // Keeps the lock of the instance the session settled on and lets the others go.
    void KeepOnlyLock(const std::string& devicePath);
    // "COM2 (held by another program)" for each port or instance found busy; empty when none was.
    std::string DescribeBusy() const;
    bool SawBusy() const { return !m_busy.empty(); }

  private:
    platform::IDevices& m_inner;
    int m_usbInstance;
    std::map<std::string, std::unique_ptr<platform::UsbInstanceLock>> m_locks;
    std::map<std::string, std::string> m_busy;
};

}  // namespace cli
