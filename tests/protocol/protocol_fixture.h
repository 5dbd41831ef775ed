// Shared pieces of the protocol tests: a camera session on virtual-time devices (the camera model), a
// scripted serial port and USB connection for byte-exact camera behaviour the model does not produce,
// and helpers that read the wire log.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/clock.h"
#include "platform/devices.h"
#include "protocol/camera_session.h"
#include "sim/virtual_devices.h"

namespace qxtest {

inline const std::string USB_DEVICE_1 = "\\\\.\\QX410U-001";

// A session against camera models behind virtual-time devices.
class VirtualSessionTest : public ::testing::Test {
  protected:
    VirtualClock m_clock{1000};
    ScopedClock m_scopedClock{m_clock};
    sim::VirtualDevices m_devices{m_clock};
    CCameraSession m_session{m_devices};

    // Opens COMn for a command-level test, as the search leaves it: serial kind, 9600 baud, 3 attempts.
    void OpenSerial(int32_t port) {
        m_session.m_portKind = PORT_KIND_SERIAL;
        ASSERT_EQ(m_session.OpenSerialPort(port), LINK_OK);
    }

    // Host writes on one device, each with its virtual time.
    std::vector<sim::WireRecord> HostWrites(const std::string& device) const {
        std::vector<sim::WireRecord> writes;
        for (const sim::WireRecord& record : m_devices.WireLog()) {
            if (record.kind == sim::WireKind::HostToCamera && record.device == device) {
                writes.push_back(record);
            }
        }
        return writes;
    }

    // Host writes whose bytes form a command packet with this code.
    std::vector<sim::WireRecord> CommandWrites(const std::string& device, uint8_t code) const {
        std::vector<sim::WireRecord> packets;
        for (const sim::WireRecord& record : HostWrites(device)) {
            if (record.bytes.size() == 8 && record.bytes[0] == code && record.bytes[7] == 0x1A) {
                packets.push_back(record);
            }
        }
        return packets;
    }

    size_t CountWireKind(sim::WireKind kind) const {
        size_t count = 0;
        for (const sim::WireRecord& record : m_devices.WireLog()) {
            count += record.kind == kind ? 1 : 0;
        }
        return count;
    }
};

// A payload of packetSize - 1 bytes with its check byte, optionally spoiled.
inline std::vector<uint8_t> MakePacket(int32_t payloadSize, uint8_t seed, bool goodCheck = true) {
    std::vector<uint8_t> packet;
    uint8_t check = 0;
    for (int32_t i = 0; i < payloadSize; ++i) {
        const auto byte = static_cast<uint8_t>(seed + i * 7);
        packet.push_back(byte);
        check = static_cast<uint8_t>(check ^ byte);
    }
    packet.push_back(goodCheck ? check : static_cast<uint8_t>(check ^ 0x5A));
    return packet;
}

// The camera's side as a timeline: bytes become readable at given virtual times; host writes are logged.
struct ScriptedLine {
    explicit ScriptedLine(VirtualClock& lineClock) : clock(lineClock) {}
    VirtualClock& clock;
    std::deque<std::pair<uint32_t, uint8_t>> incoming;  // (due time, byte), in time order
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> written;

    void Schedule(uint32_t atMs, const std::vector<uint8_t>& bytes) {
        for (uint8_t byte : bytes) {
            incoming.emplace_back(atMs, byte);
        }
    }
    size_t DueCount() const {
        size_t count = 0;
        for (const auto& entry : incoming) {
            if (static_cast<int32_t>(clock.ReadMs() - entry.first) < 0) {
                break;
            }
            ++count;
        }
        return count;
    }
    // All single bytes written, in order, with their times.
    std::vector<std::pair<uint32_t, uint8_t>> WrittenBytes() const {
        std::vector<std::pair<uint32_t, uint8_t>> bytes;
        for (const auto& [time, data] : written) {
            for (uint8_t byte : data) {
                bytes.emplace_back(time, byte);
            }
        }
        return bytes;
    }
};

class ScriptedSerialPort final : public platform::ISerialPort {
  public:
    explicit ScriptedSerialPort(std::shared_ptr<ScriptedLine> line) : m_line(std::move(line)) {}
    bool IsSerialDevice() override { return true; }
    bool GetQueueState(platform::QueueState& state) override {
        state.inQueue = static_cast<uint32_t>(m_line->DueCount());
        state.outQueue = 0;
        return true;
    }
    bool ConfigureLine(uint32_t) override { return true; }
    bool SetBaudRate(uint32_t) override { return true; }
    bool Purge(bool input, bool) override {
        if (input) {
            m_line->incoming.erase(m_line->incoming.begin(),
                                   m_line->incoming.begin() + static_cast<long>(m_line->DueCount()));
        }
        return true;
    }
    bool SetBreak(bool) override { return true; }
    long WriteSome(const uint8_t* data, size_t count) override {
        m_line->written.emplace_back(m_line->clock.ReadMs(), std::vector<uint8_t>(data, data + count));
        return static_cast<long>(count);
    }
    long ReadSome(uint8_t* data, size_t count) override {
        size_t taken = 0;
        const size_t due = m_line->DueCount();
        while (taken < count && taken < due) {
            data[taken++] = m_line->incoming.front().second;
            m_line->incoming.pop_front();
        }
        return static_cast<long>(taken);
    }
    int WaitReadable(uint32_t timeoutMs) override {
        if (m_line->DueCount() > 0) {
            return 1;
        }
        const uint32_t now = m_line->clock.ReadMs();
        if (!m_line->incoming.empty() && m_line->incoming.front().first - now <= timeoutMs) {
            m_line->clock.AdvanceTo(m_line->incoming.front().first);
            return 1;
        }
        m_line->clock.Advance(timeoutMs);
        return 0;
    }
    int WaitWritable(uint32_t) override { return 1; }
    int LastError() const override { return 0; }

  private:
    std::shared_ptr<ScriptedLine> m_line;
};

// A USB connection whose READ requests are answered from a list of byte strings (placed after the
// pipe word); WRITE requests are logged.
struct ScriptedUsb {
    std::deque<std::vector<uint8_t>> reads;
    std::vector<std::vector<uint8_t>> writes;
};

class ScriptedUsbConnection final : public platform::IUsbConnection {
  public:
    explicit ScriptedUsbConnection(std::shared_ptr<ScriptedUsb> usb) : m_usb(std::move(usb)) {}
    bool Request(uint32_t controlCode, uint8_t* buffer, uint32_t length) override {
        if (controlCode == IOCTL_CAMERA_WRITE) {
            m_usb->writes.emplace_back(buffer + 4, buffer + length);
            return true;
        }
        if (controlCode == IOCTL_CAMERA_READ) {
            if (m_usb->reads.empty()) {
                return false;
            }
            const std::vector<uint8_t> bytes = m_usb->reads.front();
            m_usb->reads.pop_front();
            for (uint32_t i = 4; i < length && i - 4 < bytes.size(); ++i) {
                buffer[i] = bytes[i - 4];
            }
            return true;
        }
        return false;
    }

  private:
    std::shared_ptr<ScriptedUsb> m_usb;
};

// "COM1" is the scripted serial port and "\\.\QX410U-001" the scripted USB device; nothing else exists.
class ScriptedDevices final : public platform::IDevices {
  public:
    explicit ScriptedDevices(VirtualClock& clock)
        : line(std::make_shared<ScriptedLine>(clock)), usb(std::make_shared<ScriptedUsb>()) {}
    std::unique_ptr<platform::ISerialPort> OpenSerialPort(const char* portName, int& errorNumber) override {
        if (std::string(portName) != "COM1") {
            errorNumber = 2;
            return nullptr;
        }
        return std::make_unique<ScriptedSerialPort>(line);
    }
    std::unique_ptr<platform::IUsbConnection> OpenUsbDevice(const char* devicePath) override {
        if (std::string(devicePath) != USB_DEVICE_1) {
            return nullptr;
        }
        return std::make_unique<ScriptedUsbConnection>(usb);
    }
    std::shared_ptr<ScriptedLine> line;
    std::shared_ptr<ScriptedUsb> usb;
};

}  // namespace qxtest
