// The virtual-time devices: a serial port and a USB driver connection that carry bytes to and from a
// camera model and move the virtual clock while the updater waits for the camera.
#include "sim/virtual_devices.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "wire/timing.h"
#include "wire/usb_driver.h"

namespace sim {
namespace {

bool IsBefore(uint32_t a, uint32_t b) {
    return static_cast<int32_t>(a - b) < 0;
}

// What a serial driver's input queue holds at most; camera bytes beyond it are lost as on a real port.
constexpr size_t INPUT_QUEUE_LIMIT = 32780;
constexpr size_t PIPE_WORD_SIZE = 4;

// Appends camera bytes to the wire log, one record per run of bytes with the same time and fate.
void LogCameraBytes(VirtualDevices::Wire& wire, const std::string& device, uint32_t hostBaud,
                    const std::vector<OutputByte>& bytes) {
    for (size_t i = 0; i < bytes.size();) {
        WireRecord record;
        record.device = device;
        record.kind = WireKind::CameraToHost;
        record.timeMs = bytes[i].dueMs;
        record.baud = hostBaud;
        record.lost = bytes[i].lost;
        while (i < bytes.size() && bytes[i].dueMs == record.timeMs && bytes[i].lost == record.lost) {
            record.bytes.push_back(bytes[i].value);
            ++i;
        }
        wire.Add(std::move(record));
    }
}

// The read pipe of a configuration: the address of its first IN endpoint record, 0 when it has none.
uint8_t FindReadPipe(const std::vector<uint8_t>& configuration) {
    size_t offset = 0;
    while (offset + 2 < configuration.size()) {
        const uint8_t length = configuration[offset];
        if (length < 2) {
            return 0;
        }
        const bool isEndpoint = configuration[offset + 1] == 0x05;
        if (isEndpoint && (configuration[offset + 2] & 0x80) != 0) {
            return configuration[offset + 2];
        }
        offset += length;
    }
    return 0;
}

class VirtualSerialPort final : public platform::ISerialPort {
  public:
    VirtualSerialPort(VirtualClock& clock, std::shared_ptr<VirtualDevices::Entry> entry,
                      std::shared_ptr<VirtualDevices::Wire> wire)
        : m_clock(clock),
          m_entry(std::move(entry)),
          m_wire(std::move(wire)),
          m_outputFreeMs(clock.ReadMs()),
          m_adapter(m_entry->adapter),
          m_lastMs(clock.ReadMs()) {}
    ~VirtualSerialPort() override { m_entry->open = false; }
    VirtualSerialPort(const VirtualSerialPort&) = delete;
    VirtualSerialPort& operator=(const VirtualSerialPort&) = delete;

    bool IsSerialDevice() override { return !m_entry->serialFaults.notSerialDevice; }

    bool GetQueueState(platform::QueueState& state) override {
        Pump();
        state.inQueue = static_cast<uint32_t>(m_input.size());
        state.outQueue = OutputQueue();
        return true;
    }

    bool ConfigureLine(uint32_t baudRate) override { return SetBaudRate(baudRate); }

    bool SetBaudRate(uint32_t baudRate) override {
        if (baudRate == 0) {
            return false;
        }
        Pump();  // bytes already on the line arrived at the old rate
        m_baud = baudRate;
        WireRecord record;
        record.device = m_entry->name;
        record.kind = WireKind::LineRate;
        record.timeMs = m_clock.ReadMs();
        record.baud = baudRate;
        m_wire->Add(std::move(record));
        return true;
    }

    bool Purge(bool input, bool output) override {
        Pump();
        if (input) {
            m_input.clear();
        }
        if (output) {
            m_outputFreeMs = m_clock.ReadMs();
        }
        return true;
    }

    bool SetBreak(bool on) override {
        Pump();
        const uint32_t now = m_clock.ReadMs();
        if (Adapter() == AdapterKind::NoBreak) {
            m_lastError = ENOTTY;
            return false;
        }
        if (Adapter() == AdapterKind::FakeBreak) {
            FakeBreak(on, now);
            return true;
        }
        m_entry->model->SetBreak(on, now);
        WireRecord record;
        record.device = m_entry->name;
        record.kind = on ? WireKind::BreakOn : WireKind::BreakOff;
        record.timeMs = now;
        m_wire->Add(std::move(record));
        return true;
    }

    long WriteSome(const uint8_t* data, size_t count) override {
        Pump();
        const uint32_t now = m_clock.ReadMs();
        // Held by flow control, the bytes never reach the line; the output queue still reads empty.
        const size_t heard =
            m_entry->serialFaults.flowControlHeld ? 0 : m_entry->model->Receive(data, count, now, m_baud);
        WireRecord record;
        record.device = m_entry->name;
        record.kind = WireKind::HostToCamera;
        record.timeMs = now;
        record.bytes.assign(data, data + count);
        record.baud = m_baud;
        record.heard = heard == count;
        m_wire->Add(std::move(record));
        if (m_entry->model->Config().pacing) {
            // The bytes leave at the line rate: the output queue empties over 10 bit times a byte.
            const uint32_t start = IsBefore(m_outputFreeMs, now) ? now : m_outputFreeMs;
            m_outputFreeMs = start + static_cast<uint32_t>((count * 10000U + m_baud - 1) / m_baud);
        }
        return static_cast<long>(count);
    }

    long ReadSome(uint8_t* data, size_t count) override {
        Pump();
        const size_t n = std::min(count, m_input.size());
        std::copy_n(m_input.begin(), n, data);
        m_input.erase(m_input.begin(), m_input.begin() + static_cast<long>(n));
        return static_cast<long>(n);
    }

    int WaitReadable(uint32_t timeoutMs) override {
        const uint32_t deadline = m_clock.ReadMs() + timeoutMs;
        for (;;) {
            Pump();
            if (!m_input.empty()) {
                return 1;
            }
            const std::optional<uint32_t> next = NextArrival();
            if (!next || IsBefore(deadline, *next)) {
                m_clock.AdvanceTo(deadline);
                Pump();
                return m_input.empty() ? 0 : 1;
            }
            // Pump took everything due, so the next byte lies ahead: the clock always moves here.
            m_clock.AdvanceTo(*next);
        }
    }

    int WaitWritable(uint32_t timeoutMs) override {
        const uint32_t now = m_clock.ReadMs();
        if (!IsBefore(now, m_outputFreeMs)) {
            return 1;
        }
        if (m_outputFreeMs - now > timeoutMs) {
            m_clock.AdvanceTo(now + timeoutMs);
            return 0;
        }
        m_clock.AdvanceTo(m_outputFreeMs);
        return 1;
    }

    int LastError() const override { return m_lastError; }

    // Like a pseudo-terminal, the virtual port takes no low-latency request; an FTDI model keeps its timer.
    bool RequestLowLatency() override {
        m_lastError = ENOTTY;
        return false;
    }

    platform::SerialAdapterFacts AdapterFacts() override {
        platform::SerialAdapterFacts facts;
        const AdapterModel& adapter = m_entry->adapter;
        if (!adapter.reportsFacts) {
            return facts;
        }
        facts.driver = AdapterDriverName(adapter);
        if (adapter.kind == AdapterKind::Ftdi) {
            facts.latencyTimerMs = static_cast<int>(adapter.latencyMs);
        }
        return facts;
    }

    bool OutputHeldByFlowControl() override { return m_entry->serialFaults.flowControlHeld; }

  private:
    AdapterKind Adapter() const { return m_entry->adapter.kind; }

    // Moves the camera bytes due by now into the input queue, as the host's line rate lets them through
    // and the adapter hands them over. Behind a pty model every byte is handed over when it is due.
    void Pump() {
        const uint32_t now = m_clock.ReadMs();
        const std::vector<OutputByte> bytes = m_entry->model->TakeDue(now, m_baud);
        if (!bytes.empty()) {
            LogCameraBytes(*m_wire, m_entry->name, m_baud, bytes);
        }
        if (Adapter() == AdapterKind::Pty) {
            for (const OutputByte& byte : bytes) {
                if (!byte.lost && m_input.size() < INPUT_QUEUE_LIMIT) {
                    m_input.push_back(byte.value);
                }
            }
            return;
        }
        for (const OutputByte& byte : bytes) {
            if (!byte.lost) {
                m_adapter.Arrive(byte.value, MicrosecondsAt(byte.dueMs), IsLateReply(byte.dueMs));
            }
        }
        std::vector<uint8_t> released;
        m_adapter.Release(MicrosecondsAt(now), released);
        for (const uint8_t value : released) {
            if (m_input.size() < INPUT_QUEUE_LIMIT) {
                m_input.push_back(value);
            }
        }
    }

    // The next moment a byte may reach the input queue: the camera's next byte on the line, or the
    // adapter's next hand-over.
    std::optional<uint32_t> NextArrival() {
        std::optional<uint32_t> next = m_entry->model->NextOutputTime();
        if (const std::optional<uint64_t> releaseUs = m_adapter.NextReleaseUs()) {
            const uint32_t releaseMs = MillisecondsAt(*releaseUs);
            if (!next || IsBefore(releaseMs, *next)) {
                next = releaseMs;
            }
        }
        return next;
    }

    // The adapter counts in 64-bit microseconds from the port's open; the virtual clock's milliseconds
    // may wrap.
    void FollowClock() {
        const uint32_t now = m_clock.ReadMs();
        m_baseMs += static_cast<int32_t>(now - m_lastMs);
        m_lastMs = now;
    }
    uint64_t MicrosecondsAt(uint32_t ms) {
        FollowClock();
        const int64_t sinceOpen = m_baseMs + static_cast<int32_t>(ms - m_lastMs);
        return sinceOpen > 0 ? static_cast<uint64_t>(sinceOpen) * 1000 : 0;
    }
    uint32_t MillisecondsAt(uint64_t us) {
        FollowClock();
        const int64_t sinceOpen = static_cast<int64_t>((us + 999) / 1000);
        return m_lastMs + static_cast<uint32_t>(sinceOpen - m_baseMs);
    }

    // The late-byte model delays the first camera byte after the first command with its code.
    bool IsLateReply(uint32_t dueMs) {
        if (Adapter() != AdapterKind::LateByte || m_lateGiven) {
            return false;
        }
        for (const CommandRecord& command : m_entry->model->Commands()) {
            if (command.code == m_entry->adapter.lateCommand && !IsBefore(dueMs, command.timeMs)) {
                m_lateGiven = true;
                return true;
            }
        }
        return false;
    }

    // An adapter without a break sends a NUL at 46 baud for about 196 ms instead: the camera hears a
    // byte at a rate not its own, and what it sends meanwhile is garbled.
    void FakeBreak(bool on, uint32_t now) {
        if (!on) {
            return;
        }
        static const uint8_t nul = 0;
        const size_t heard = m_entry->model->Receive(&nul, 1, now, FAKE_BREAK_BAUD);
        m_adapter.GarbleUntil(MicrosecondsAt(now + FAKE_BREAK_MS));
        WireRecord record;
        record.device = m_entry->name;
        record.kind = WireKind::HostToCamera;
        record.timeMs = now;
        record.bytes = {nul};
        record.baud = FAKE_BREAK_BAUD;
        record.heard = heard == 1;
        m_wire->Add(std::move(record));
    }

    uint32_t OutputQueue() const {
        const uint32_t now = m_clock.ReadMs();
        if (!IsBefore(now, m_outputFreeMs)) {
            return 0;
        }
        return static_cast<uint32_t>((static_cast<uint64_t>(m_outputFreeMs - now) * m_baud + 9999U) / 10000U);
    }

    VirtualClock& m_clock;
    std::shared_ptr<VirtualDevices::Entry> m_entry;
    std::shared_ptr<VirtualDevices::Wire> m_wire;
    std::vector<uint8_t> m_input;
    uint32_t m_baud = 9600;
    uint32_t m_outputFreeMs;
    AdapterQueue m_adapter;
    uint32_t m_lastMs;     // the clock reading m_baseMs stands for
    int64_t m_baseMs = 0;  // milliseconds since the port opened, unwrapped
    bool m_lateGiven = false;
    int m_lastError = 0;
};

class VirtualUsbConnection final : public platform::IUsbConnection {
  public:
    VirtualUsbConnection(VirtualClock& clock, std::shared_ptr<VirtualDevices::Entry> entry,
                         std::shared_ptr<VirtualDevices::Wire> wire)
        : m_clock(clock), m_entry(std::move(entry)), m_wire(std::move(wire)) {}

    bool Request(uint32_t controlCode, uint8_t* buffer, uint32_t length) override {
        // Like the real driver client: once a request ran past the request limit the connection is
        // closed, and every later request on it fails at once without reaching the driver.
        if (m_closed) {
            return false;
        }
        const uint32_t start = m_clock.ReadMs();
        const bool ok = Perform(controlCode, buffer, length);
        WireRecord record;
        record.device = m_entry->name;
        record.kind = WireKind::UsbRequest;
        record.timeMs = start;
        record.controlCode = controlCode;
        record.length = length;
        record.failed = !ok;
        m_wire->Add(std::move(record));
        return ok;
    }

  private:
    bool Perform(uint32_t controlCode, uint8_t* buffer, uint32_t length) {
        VirtualDevices::Entry& entry = *m_entry;
        ++entry.usbRequests;
        if (!entry.attached ||
            (entry.usbFaults.dropAtRequest && entry.usbRequests >= *entry.usbFaults.dropAtRequest)) {
            return false;
        }
        if (buffer == nullptr) {
            return false;
        }
        CameraModel& model = *entry.model;
        switch (controlCode) {
            case wire::IOCTL_CAMERA_GET_DEVICE_DESCRIPTOR: {
                const std::vector<uint8_t>& descriptor = model.DeviceDescriptor();
                std::copy_n(descriptor.begin(), std::min<size_t>(length, descriptor.size()), buffer);
                return true;
            }
            case wire::IOCTL_CAMERA_GET_CONFIGURATION: {
                const std::vector<uint8_t>& configuration = model.Configuration();
                const size_t total = std::min<size_t>(model.ConfigurationTotalLength(), configuration.size());
                std::copy_n(configuration.begin(), std::min<size_t>(length, total), buffer);
                return true;
            }
            case wire::IOCTL_CAMERA_WRITE:
                return Write(buffer, length);
            case wire::IOCTL_CAMERA_READ:
                return Read(buffer, length);
            default:
                return false;
        }
    }

    bool Write(const uint8_t* buffer, uint32_t length) {
        const bool pipeWordZero =
            length >= PIPE_WORD_SIZE && buffer[0] == 0 && buffer[1] == 0 && buffer[2] == 0 && buffer[3] == 0;
        if (!pipeWordZero) {
            return false;
        }
        const uint32_t now = m_clock.ReadMs();
        const size_t count = length - PIPE_WORD_SIZE;
        const size_t heard = m_entry->model->Receive(buffer + PIPE_WORD_SIZE, count, now, 0);
        WireRecord record;
        record.device = m_entry->name;
        record.kind = WireKind::HostToCamera;
        record.timeMs = now;
        record.bytes.assign(buffer + PIPE_WORD_SIZE, buffer + length);
        record.heard = heard == count;
        m_wire->Add(std::move(record));
        return true;
    }

    // Blocks (in virtual time) until the camera has produced the bytes wanted, up to the request limit.
    bool Read(uint8_t* buffer, uint32_t length) {
        CameraModel& model = *m_entry->model;
        const uint8_t readPipe = FindReadPipe(model.Configuration());
        const bool pipeWordRight = length >= PIPE_WORD_SIZE && readPipe != 0 && buffer[0] == readPipe &&
                                   buffer[1] == 0 && buffer[2] == 0 && buffer[3] == 0;
        if (!pipeWordRight) {
            return false;
        }
        const size_t wanted = length - PIPE_WORD_SIZE;
        std::vector<uint8_t>& pending = m_entry->usbPending;
        const uint32_t deadline = m_clock.ReadMs() + wire::USB_REQUEST_LIMIT_MS;
        for (;;) {
            const std::vector<OutputByte> bytes = model.TakeDue(m_clock.ReadMs(), 0);
            LogCameraBytes(*m_wire, m_entry->name, 0, bytes);
            for (const OutputByte& byte : bytes) {
                pending.push_back(byte.value);
            }
            if (pending.size() >= wanted) {
                std::copy_n(pending.begin(), wanted, buffer + PIPE_WORD_SIZE);
                pending.erase(pending.begin(), pending.begin() + static_cast<long>(wanted));
                return true;
            }
            const std::optional<uint32_t> next = model.NextOutputTime();
            if (!next || IsBefore(deadline, *next)) {
                m_clock.AdvanceTo(deadline);
                m_closed = true;
                return false;
            }
            m_clock.AdvanceTo(*next);
        }
    }

    VirtualClock& m_clock;
    std::shared_ptr<VirtualDevices::Entry> m_entry;
    std::shared_ptr<VirtualDevices::Wire> m_wire;
    bool m_closed = false;
};

bool ContainsBytes(const std::vector<uint8_t>& haystack, const std::vector<uint8_t>& needle) {
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) != haystack.end();
}

}  // namespace

void VirtualDevices::Wire::Add(WireRecord record) {
    records.push_back(std::move(record));
}

VirtualDevices::VirtualDevices(VirtualClock& clock) : m_clock(clock), m_wire(std::make_shared<Wire>()) {}

VirtualDevices::~VirtualDevices() = default;

CameraModel& VirtualDevices::AttachSerialCamera(const std::string& name, const CameraConfig& config,
                                                const SerialPortFaults& faults, const AdapterModel& adapter) {
    CameraConfig serialConfig = config;
    serialConfig.link = LinkKind::Serial;
    auto entry = std::make_shared<Entry>();
    entry->name = name;
    entry->model = std::make_unique<CameraModel>(serialConfig);
    entry->serialFaults = faults;
    entry->adapter = adapter;
    CameraModel& model = *entry->model;
    Detach(name);
    m_entries[name] = std::move(entry);
    return model;
}

CameraModel& VirtualDevices::AttachUsbCamera(const std::string& name, const CameraConfig& config,
                                             const UsbFaults& faults) {
    CameraConfig usbConfig = config;
    usbConfig.link = LinkKind::Usb;
    auto entry = std::make_shared<Entry>();
    entry->name = name;
    entry->usb = true;
    entry->model = std::make_unique<CameraModel>(usbConfig);
    entry->usbFaults = faults;
    CameraModel& model = *entry->model;
    Detach(name);
    m_entries[name] = std::move(entry);
    return model;
}

void VirtualDevices::Detach(const std::string& name) {
    const auto found = m_entries.find(name);
    if (found == m_entries.end()) {
        return;
    }
    found->second->attached = false;
    m_entries.erase(found);
}

CameraModel* VirtualDevices::Camera(const std::string& name) {
    const auto found = m_entries.find(name);
    return found == m_entries.end() ? nullptr : found->second->model.get();
}

std::unique_ptr<platform::ISerialPort> VirtualDevices::OpenSerialPort(const char* portName,
                                                                      int& errorNumber) {
    const std::string name = portName != nullptr ? portName : "";
    m_openAttempts.push_back(name);
    const auto found = m_entries.find(name);
    if (found == m_entries.end() || found->second->usb) {
        errorNumber = ENOENT;
        return nullptr;
    }
    Entry& entry = *found->second;
    if (entry.open || entry.serialFaults.refuseOpen) {
        errorNumber = EBUSY;
        return nullptr;
    }
    entry.open = true;
    errorNumber = 0;
    return std::make_unique<VirtualSerialPort>(m_clock, found->second, m_wire);
}

std::unique_ptr<platform::IUsbConnection> VirtualDevices::OpenUsbDevice(const char* devicePath,
                                                                        int& errorNumber) {
    const std::string name = devicePath != nullptr ? devicePath : "";
    m_openAttempts.push_back(name);
    const auto found = m_entries.find(name);
    if (found == m_entries.end() || !found->second->usb) {
        errorNumber = ENOENT;
        return nullptr;
    }
    errorNumber = 0;
    return std::make_unique<VirtualUsbConnection>(m_clock, found->second, m_wire);
}

std::optional<uint32_t> VirtualDevices::FindHostBytes(const std::vector<uint8_t>& bytes,
                                                      const std::string& device) const {
    for (const WireRecord& record : m_wire->records) {
        if (record.kind == WireKind::HostToCamera && (device.empty() || record.device == device) &&
            ContainsBytes(record.bytes, bytes)) {
            return record.timeMs;
        }
    }
    return std::nullopt;
}

std::vector<uint8_t> VirtualDevices::HostBytes(const std::string& device) const {
    std::vector<uint8_t> all;
    for (const WireRecord& record : m_wire->records) {
        if (record.kind == WireKind::HostToCamera && (device.empty() || record.device == device)) {
            all.insert(all.end(), record.bytes.begin(), record.bytes.end());
        }
    }
    return all;
}

std::vector<uint8_t> VirtualDevices::CameraBytes(const std::string& device) const {
    std::vector<uint8_t> all;
    for (const WireRecord& record : m_wire->records) {
        if (record.kind == WireKind::CameraToHost && !record.lost &&
            (device.empty() || record.device == device)) {
            all.insert(all.end(), record.bytes.begin(), record.bytes.end());
        }
    }
    return all;
}

}  // namespace sim
