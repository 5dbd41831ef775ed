// A hostile camera for the fuzz targets: the fuzzer's bytes are everything the camera sends, on the serial
// port "COM1" and on the USB device "\\.\QX410U-001", in virtual time, as a timeline: each byte is on the
// line at the current stream time, except the escape 0xFF n: n = 0xFF is a literal 0xFF, n = 0xFE fails
// the next port or driver call, any other n moves the stream time on by n * 50 ms (up to 12.6 s, beyond
// every time-out). A wait with nothing due advances the clock, so silence costs no real time.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "link/link_session.h"
#include "sim/virtual_devices.h"
#include "wire/timing.h"

namespace qxfuzz {

inline void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// The camera's side: the timeline as (due time, byte or -1 for a failure marker), and the descriptors
// the driver hands out (none: the request fails).
struct CameraStream {
    VirtualClock& clock;
    std::vector<uint8_t> deviceDescriptor, configuration;
    std::deque<std::pair<uint32_t, int>> bytes;

    CameraStream(VirtualClock& streamClock, const uint8_t* data, size_t size, std::vector<uint8_t> device,
                 std::vector<uint8_t> config)
        : clock(streamClock), deviceDescriptor(std::move(device)), configuration(std::move(config)) {
        uint32_t at = clock.ReadMs();
        for (size_t i = 0; i < size; ++i) {
            const bool escaped = data[i] == 0xFF && i + 1 < size;
            const uint8_t n = escaped ? data[++i] : data[i];
            if (!escaped || n >= 0xFE) {
                bytes.emplace_back(at, n == 0xFE && escaped ? -1 : n);
            } else {
                at += n * 50u;
            }
        }
    }

    bool IsDue(size_t i) const { return i < bytes.size() && int32_t(clock.ReadMs() - bytes[i].first) >= 0; }
    // Due bytes up to the first failure marker or the first byte not yet due.
    size_t DueCount() const {
        size_t count = 0;
        for (; IsDue(count) && bytes[count].second >= 0; ++count) {
        }
        return count;
    }
    // A due failure marker after the due bytes; Ok() uses it up when it comes first, failing that call.
    bool FailureDue() const { return IsDue(DueCount()) && bytes[DueCount()].second < 0; }
    bool Ok() { return DueCount() > 0 || !FailureDue() || (bytes.pop_front(), false); }
    size_t Take(uint8_t* out, size_t max) {
        const size_t taken = std::min(max, DueCount());
        for (size_t i = 0; out != nullptr && i < taken; ++i) {
            out[i] = static_cast<uint8_t>(bytes[i].second);
        }
        bytes.erase(bytes.begin(), bytes.begin() + static_cast<long>(taken));
        return taken;
    }
    // Advances the clock to the next entry if it comes within timeoutMs, else by timeoutMs; true when
    // something is due then.
    bool Wait(uint32_t timeoutMs) {
        const size_t next = DueCount();
        if (IsDue(next) || (next < bytes.size() && bytes[next].first - clock.ReadMs() <= timeoutMs)) {
            clock.AdvanceTo(bytes[next].first);
            return true;
        }
        clock.Advance(timeoutMs);
        return false;
    }
};

// The devices (COM1 and the first USB device object, nothing else) and each handle opened on them. A
// driver READ waits at most the driver's request limit for the bytes asked for and hands over what came.
class HostileCamera final : public platform::IDevices,
                            public platform::ISerialPort,
                            public platform::IUsbConnection {
  public:
    HostileCamera(VirtualClock& clock, const uint8_t* data, size_t size,
                  std::vector<uint8_t> deviceDescriptor, std::vector<uint8_t> configuration)
        : m(std::make_shared<CameraStream>(clock, data, size, std::move(deviceDescriptor),
                                           std::move(configuration))) {}
    explicit HostileCamera(std::shared_ptr<CameraStream> stream) : m(std::move(stream)) {}

    std::unique_ptr<platform::ISerialPort> OpenSerialPort(const char* portName, int& errorNumber) override {
        if (std::string(portName) == "COM1") {
            return std::make_unique<HostileCamera>(m);
        }
        errorNumber = 2;
        return nullptr;
    }
    std::unique_ptr<platform::IUsbConnection> OpenUsbDevice(const char* devicePath,
                                                            int& errorNumber) override {
        errorNumber = std::string(devicePath) == "\\\\.\\QX410U-001" ? 0 : 2;
        return errorNumber == 0 ? std::make_unique<HostileCamera>(m) : nullptr;
    }

    bool IsSerialDevice() override { return true; }
    bool GetQueueState(platform::QueueState& state) override {
        state = {static_cast<uint32_t>(m->DueCount()), 0};
        return m->Ok();
    }
    bool ConfigureLine(uint32_t) override { return m->Ok(); }
    bool SetBaudRate(uint32_t) override { return m->Ok(); }
    bool Purge(bool input, bool) override {
        m->Take(nullptr, input ? SIZE_MAX : 0);
        return true;
    }
    bool SetBreak(bool) override { return m->Ok(); }
    long WriteSome(const uint8_t*, size_t count) override { return m->Ok() ? static_cast<long>(count) : -1; }
    long ReadSome(uint8_t* data, size_t count) override {
        return m->Ok() ? static_cast<long>(m->Take(data, count)) : -1;
    }
    int WaitReadable(uint32_t timeoutMs) override {
        return !m->Ok() ? -1 : m->DueCount() > 0 || m->Wait(timeoutMs) ? 1 : 0;
    }
    int WaitWritable(uint32_t) override { return 1; }
    int LastError() const override { return 5; }

    bool Request(uint32_t controlCode, uint8_t* buffer, uint32_t length) override {
        if (controlCode == wire::IOCTL_CAMERA_GET_DEVICE_DESCRIPTOR ||
            controlCode == wire::IOCTL_CAMERA_GET_CONFIGURATION) {
            const std::vector<uint8_t>& bytes =
                controlCode == wire::IOCTL_CAMERA_GET_CONFIGURATION ? m->configuration : m->deviceDescriptor;
            std::copy_n(bytes.begin(), std::min<size_t>(length, bytes.size()), buffer);
            return !bytes.empty();
        }
        if ((controlCode != wire::IOCTL_CAMERA_WRITE && controlCode != wire::IOCTL_CAMERA_READ) ||
            length < wire::USB_PIPE_WORD_SIZE || !m->Ok()) {
            return false;
        }
        const uint32_t wanted =
            controlCode == wire::IOCTL_CAMERA_READ ? length - wire::USB_PIPE_WORD_SIZE : 0;
        const uint32_t end = m->clock.ReadMs() + wire::USB_REQUEST_LIMIT_MS;  // no wait goes past it
        while (m->DueCount() < wanted && !m->FailureDue() && end != m->clock.ReadMs() &&
               m->Wait(end - m->clock.ReadMs())) {
        }
        return controlCode == wire::IOCTL_CAMERA_WRITE ||
               m->Take(buffer + wire::USB_PIPE_WORD_SIZE, wanted) > 0;
    }

  private:
    std::shared_ptr<CameraStream> m;
};

}  // namespace qxfuzz
