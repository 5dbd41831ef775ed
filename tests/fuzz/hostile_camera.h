// A hostile camera for the fuzz targets: the fuzzer's bytes are everything the camera sends, on the serial
// port "COM1" and on the USB device "\\.\QX410U-001", served in virtual time.
//
// The byte stream is a timeline. Every byte is on the line at the current stream time, except the escape
// 0xFF followed by n:  n = 0xFF is a literal 0xFF, n = 0xFE makes the next port or driver call fail, and
// any other n moves the stream time on by n * 50 ms (a pause of up to 12.6 s, beyond every time-out).
// A wait with nothing due advances the clock to the next byte or to the end of the wait, so a camera
// that falls silent costs time-outs, never real time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/clock.h"
#include "link/link_session.h"
#include "platform/devices.h"
#include "sim/camera_model.h"
#include "sim/virtual_devices.h"

namespace qxfuzz {

constexpr uint8_t ESCAPE = 0xFF;
constexpr uint8_t ESCAPE_FAIL = 0xFE;
constexpr uint32_t PAUSE_UNIT_MS = 50;

struct CameraStream {
    CameraStream(VirtualClock& streamClock, const uint8_t* data, size_t size) : clock(streamClock) {
        uint32_t at = clock.ReadMs();
        for (size_t i = 0; i < size; ++i) {
            if (data[i] != ESCAPE || i + 1 == size) {
                bytes.push_back({at, data[i], false});
                continue;
            }
            const uint8_t n = data[++i];
            if (n == ESCAPE) {
                bytes.push_back({at, ESCAPE, false});
            } else if (n == ESCAPE_FAIL) {
                bytes.push_back({at, 0, true});
            } else {
                at += n * PAUSE_UNIT_MS;
            }
        }
    }

    struct Entry {
        uint32_t dueMs;
        uint8_t value;
        bool failure;  // not a byte: the next call fails
    };
    VirtualClock& clock;
    std::deque<Entry> bytes;

    bool IsDue(const Entry& entry) const { return static_cast<int32_t>(clock.ReadMs() - entry.dueMs) >= 0; }
    // A due failure marker is used up and reported once.
    bool TakeFailure() {
        if (!bytes.empty() && bytes.front().failure && IsDue(bytes.front())) {
            bytes.pop_front();
            return true;
        }
        return false;
    }
    size_t DueCount() const {
        size_t count = 0;
        while (count < bytes.size() && !bytes[count].failure && IsDue(bytes[count])) {
            ++count;
        }
        return count;
    }
    size_t Take(uint8_t* out, size_t max) {
        size_t taken = 0;
        for (const size_t due = DueCount(); taken < max && taken < due; ++taken) {
            out[taken] = bytes.front().value;
            bytes.pop_front();
        }
        return taken;
    }
    // True when the entry after the due bytes is a failure marker that is due.
    bool FailureDue() const {
        const size_t next = DueCount();
        return next < bytes.size() && bytes[next].failure && IsDue(bytes[next]);
    }
    // Advances the clock to the next entry not yet due if it comes within timeoutMs, else by timeoutMs;
    // true when something is due then.
    bool Wait(uint32_t timeoutMs) {
        const size_t next = DueCount();
        if (next < bytes.size()) {
            if (IsDue(bytes[next])) {
                return true;
            }
            if (bytes[next].dueMs - clock.ReadMs() <= timeoutMs) {
                clock.AdvanceTo(bytes[next].dueMs);
                return true;
            }
        }
        clock.Advance(timeoutMs);
        return false;
    }
};

class HostileSerialPort final : public platform::ISerialPort {
  public:
    explicit HostileSerialPort(std::shared_ptr<CameraStream> stream) : m_stream(std::move(stream)) {}
    bool IsSerialDevice() override { return true; }
    bool GetQueueState(platform::QueueState& state) override {
        state.inQueue = static_cast<uint32_t>(m_stream->DueCount());
        state.outQueue = 0;
        return !m_stream->TakeFailure();
    }
    bool ConfigureLine(uint32_t) override { return !m_stream->TakeFailure(); }
    bool SetBaudRate(uint32_t) override { return !m_stream->TakeFailure(); }
    bool Purge(bool input, bool) override {
        if (input) {
            std::vector<uint8_t> dropped(m_stream->DueCount());
            m_stream->Take(dropped.data(), dropped.size());
        }
        return true;
    }
    bool SetBreak(bool) override { return !m_stream->TakeFailure(); }
    long WriteSome(const uint8_t*, size_t count) override {
        return m_stream->TakeFailure() ? -1 : static_cast<long>(count);
    }
    long ReadSome(uint8_t* data, size_t count) override {
        return m_stream->TakeFailure() ? -1 : static_cast<long>(m_stream->Take(data, count));
    }
    int WaitReadable(uint32_t timeoutMs) override {
        if (m_stream->TakeFailure()) {
            return -1;
        }
        return m_stream->DueCount() > 0 || m_stream->Wait(timeoutMs) ? 1 : 0;
    }
    int WaitWritable(uint32_t) override { return 1; }
    int LastError() const override { return 5; }

  private:
    std::shared_ptr<CameraStream> m_stream;
};

// The driver: descriptor requests get the camera's usual descriptors (or, when given, fixed answers);
// a READ waits at most the driver's request limit for the bytes asked for and hands over what came.
class HostileUsbConnection final : public platform::IUsbConnection {
  public:
    HostileUsbConnection(std::shared_ptr<CameraStream> stream, std::vector<uint8_t> deviceDescriptor,
                         std::vector<uint8_t> configuration)
        : m_stream(std::move(stream)),
          m_deviceDescriptor(std::move(deviceDescriptor)),
          m_configuration(std::move(configuration)) {}
    bool Request(uint32_t controlCode, uint8_t* buffer, uint32_t length) override {
        switch (controlCode) {
            case IOCTL_CAMERA_GET_DEVICE_DESCRIPTOR:
                return Answer(m_deviceDescriptor, buffer, length);
            case IOCTL_CAMERA_GET_CONFIGURATION:
                return Answer(m_configuration, buffer, length);
            case IOCTL_CAMERA_WRITE:
                return length >= USB_PIPE_WORD_SIZE && !m_stream->TakeFailure();
            case IOCTL_CAMERA_READ:
                return Read(buffer, length);
            default:
                return false;
        }
    }

  private:
    static bool Answer(const std::vector<uint8_t>& bytes, uint8_t* buffer, uint32_t length) {
        for (uint32_t i = 0; i < length && i < bytes.size(); ++i) {
            buffer[i] = bytes[i];
        }
        return !bytes.empty();
    }
    bool Read(uint8_t* buffer, uint32_t length) {
        if (length < USB_PIPE_WORD_SIZE || m_stream->TakeFailure()) {
            return false;
        }
        const uint32_t wanted = length - USB_PIPE_WORD_SIZE;
        const uint32_t start = m_stream->clock.ReadMs();
        while (m_stream->DueCount() < wanted && !m_stream->FailureDue()) {
            const uint32_t spent = m_stream->clock.ReadMs() - start;
            if (spent >= sim::USB_REQUEST_LIMIT_MS || !m_stream->Wait(sim::USB_REQUEST_LIMIT_MS - spent)) {
                break;
            }
        }
        return m_stream->Take(buffer + USB_PIPE_WORD_SIZE, wanted) > 0;
    }

    std::shared_ptr<CameraStream> m_stream;
    std::vector<uint8_t> m_deviceDescriptor;
    std::vector<uint8_t> m_configuration;
};

// COM1 and the first USB device object; every other name is missing.
class HostileDevices final : public platform::IDevices {
  public:
    HostileDevices(VirtualClock& clock, const uint8_t* data, size_t size,
                   std::vector<uint8_t> deviceDescriptor = sim::DefaultDeviceDescriptor(),
                   std::vector<uint8_t> configuration = sim::DefaultConfiguration())
        : m_stream(std::make_shared<CameraStream>(clock, data, size)),
          m_deviceDescriptor(std::move(deviceDescriptor)),
          m_configuration(std::move(configuration)) {}
    std::unique_ptr<platform::ISerialPort> OpenSerialPort(const char* portName, int& errorNumber) override {
        if (std::string(portName) != "COM1") {
            errorNumber = 2;
            return nullptr;
        }
        return std::make_unique<HostileSerialPort>(m_stream);
    }
    std::unique_ptr<platform::IUsbConnection> OpenUsbDevice(const char* devicePath) override {
        if (std::string(devicePath) != "\\\\.\\QX410U-001") {
            return nullptr;
        }
        return std::make_unique<HostileUsbConnection>(m_stream, m_deviceDescriptor, m_configuration);
    }

  private:
    std::shared_ptr<CameraStream> m_stream;
    std::vector<uint8_t> m_deviceDescriptor;
    std::vector<uint8_t> m_configuration;
};

}  // namespace qxfuzz
