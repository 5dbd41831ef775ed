// Virtual-time devices: camera models put behind the updater's platform interfaces (platform::IDevices,
// ISerialPort, IUsbConnection), so the links and the protocol run unchanged against a simulated camera
// while a VirtualClock moves only when they wait.
//
// Waiting is where time passes: WaitReadable advances the clock to the next camera byte or to its
// time-out, and a USB READ advances it until the bytes asked for are due (at most the driver's request
// limit of 35 s). Every byte in both directions, every line rate change and every break goes into one wire
// log with its virtual time, so tests can assert what crossed the wire and when.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/clock.h"
#include "platform/devices.h"
#include "sim/adapter_model.h"
#include "sim/camera_model.h"

namespace sim {

enum class WireKind : uint8_t {
    HostToCamera,  // bytes the updater wrote (heard = false when the camera did not hear them)
    CameraToHost,  // camera bytes on the line (lost = true when the host's rate differed)
    LineRate,      // the host set its line rate (baud)
    BreakOn,       // a break on the line (none when the adapter refused it)
    BreakOff,
    UsbRequest,  // a driver request (control code, length); failed = true when it failed
};

struct WireRecord {
    std::string device;  // "COM3", "\\.\QX410U-003"
    WireKind kind = WireKind::HostToCamera;
    uint32_t timeMs = 0;
    std::vector<uint8_t> bytes;  // packet bytes (never the USB pipe word)
    uint32_t baud = 0;           // LineRate: the new rate; bytes: the host's rate then (0 on USB)
    uint32_t controlCode = 0;    // UsbRequest
    uint32_t length = 0;         // UsbRequest
    bool heard = true;           // HostToCamera
    bool lost = false;           // CameraToHost
    bool failed = false;         // UsbRequest
};

// Faults of the devices themselves (the camera's own faults are in CameraConfig).
struct SerialPortFaults {
    bool notSerialDevice = false;  // opens, but is no terminal (IsSerialDevice false)
    bool refuseOpen = false;       // the open fails as if the device were busy
    bool flowControlHeld = false;  // CRTSCTS on and CTS low: written bytes stay in the adapter
};

struct UsbFaults {
    std::optional<uint32_t> dropAtRequest;  // request k (1-based, counted over all connections) and every
                                            // one after it fail: the device is gone
};

class VirtualDevices final : public platform::IDevices {
  public:
    explicit VirtualDevices(VirtualClock& clock);
    ~VirtualDevices() override;
    VirtualDevices(const VirtualDevices&) = delete;
    VirtualDevices& operator=(const VirtualDevices&) = delete;

    // Puts a camera on a serial port name ("COM3") behind an adapter of the given model (see
    // adapter_model.h). The model lives as long as the devices.
    CameraModel& AttachSerialCamera(const std::string& name, const CameraConfig& config = {},
                                    const SerialPortFaults& faults = {}, const AdapterModel& adapter = {});
    // Puts a camera behind a USB device object name ("\\.\QX410U-003"); config.link is set to USB.
    CameraModel& AttachUsbCamera(const std::string& name, const CameraConfig& config = {},
                                 const UsbFaults& faults = {});
    // Removes the device: later opens fail; links already open stay usable until closed.
    void Detach(const std::string& name);
    // The model on that name, or nullptr.
    CameraModel* Camera(const std::string& name);

    // platform::IDevices. A name with nothing attached fails (ENOENT); a serial port already open
    // fails like an exclusive open (EBUSY).
    std::unique_ptr<platform::ISerialPort> OpenSerialPort(const char* portName, int& errorNumber) override;
    std::unique_ptr<platform::IUsbConnection> OpenUsbDevice(const char* devicePath,
                                                            int& errorNumber) override;

    // Every open attempt, in order, whether it succeeded or not.
    const std::vector<std::string>& OpenAttempts() const { return m_openAttempts; }
    const std::vector<WireRecord>& WireLog() const { return m_wire->records; }
    void ClearWireLog() { m_wire->records.clear(); }
    // Time of the first host write that contains `bytes` as a whole (optionally on one device), or none.
    std::optional<uint32_t> FindHostBytes(const std::vector<uint8_t>& bytes,
                                          const std::string& device = {}) const;
    // All host-to-camera bytes in order, concatenated (optionally of one device).
    std::vector<uint8_t> HostBytes(const std::string& device = {}) const;
    // All camera-to-host bytes that reached the host, concatenated.
    std::vector<uint8_t> CameraBytes(const std::string& device = {}) const;

    // Shared state of one attached device and of the wire log; public so the port classes in the .cpp
    // can hold it beyond the lifetime of this object.
    struct Wire {
        std::vector<WireRecord> records;
        void Add(WireRecord record);
    };
    struct Entry {
        std::string name;
        bool usb = false;
        std::unique_ptr<CameraModel> model;
        SerialPortFaults serialFaults;
        AdapterModel adapter;
        UsbFaults usbFaults;
        bool attached = true;
        bool open = false;                // serial: held by a port
        uint32_t usbRequests = 0;         // USB: requests counted for dropAtRequest
        std::vector<uint8_t> usbPending;  // USB: camera bytes due but not yet read
    };

  private:
    VirtualClock& m_clock;
    std::map<std::string, std::shared_ptr<Entry>> m_entries;
    std::shared_ptr<Wire> m_wire;
    std::vector<std::string> m_openAttempts;
};

}  // namespace sim
