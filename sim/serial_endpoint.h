// The camera's serial port: a pseudo-terminal whose slave is published as D/COMn for the updater.
//
// The line rate is the slave's termios speed, which the master reads back (on Linux termios requests on
// a pty master act on its slave). It is read whenever bytes cross, so bytes sent while host and camera
// use different rates are lost in both directions, as on a real line.
//
// A break cannot be seen from the master: TIOCSBRK on a pty slave succeeds and changes nothing. The
// updater's line reset always ends by setting the line to 9600 baud, so a host line that drops to 9600
// while the camera runs at another rate is taken as that reset and delivered to the camera as a break.
//
// Paced mode: host bytes reach the camera one byte time (10 bits at the line rate) after each other,
// starting when the host wrote them; the camera model paces its own bytes the same way.
//
// An adapter model (adapter_model.h) stands between the camera and the pty: an FTDI adapter's latency
// timer holds the camera's bytes before they are written to the master, a late byte is written late.
// Breaks stay invisible to the master, so the models act on the inferred one: behind no-break nothing
// reaches the camera, behind fake-break the camera hears a NUL at 46 baud and the camera's bytes are
// garbled for 196 ms. The pty model is the line as described above, unchanged.
#pragma once

#include <deque>
#include <string>

#include "sim/adapter_model.h"
#include "sim/endpoint.h"

namespace sim {

class SerialEndpoint final : public IEndpoint {
  public:
    SerialEndpoint(CameraWire& wire, bool pace, const AdapterModel& adapter = {})
        : m_wire(wire), m_pace(pace), m_adapterModel(adapter), m_adapter(adapter) {}
    ~SerialEndpoint() override { Close(); }

    // Opens the pseudo-terminal, sets it raw at 9600 baud and publishes the slave as directory/COMn.
    bool Open(const std::string& directory, int portNumber, std::string& error);
    const std::string& PublishedPath() const { return m_linkPath; }
    const std::string& SlavePath() const { return m_slavePath; }

    void Close() override;
    void AddPollFds(std::vector<pollfd>& fds) override;
    bool HandlePoll(const std::vector<pollfd>& fds, size_t first, uint64_t nowUs) override;
    void Service(uint64_t nowUs) override;
    std::optional<uint64_t> NextWakeUs() const override;
    bool HasPendingOutput() const override {
        return !m_toHost.empty() || m_adapter.NextReleaseUs().has_value();
    }

  private:
    struct HostByte {
        uint64_t dueUs;  // when its last bit has reached the camera
        uint8_t value;
        uint32_t baud;
    };

    // The host's current line rate (0 when it cannot be read or is not a standard rate).
    uint32_t ReadHostBaud();
    // Notices rate changes; delivers the updater's line reset as a break.
    void TrackHostBaud(uint32_t baud, uint64_t nowUs);
    bool ReadFromHost(uint64_t nowUs);
    void FeedDueBytes(uint64_t nowUs);
    void TakeCameraBytes(uint64_t nowUs, uint32_t baud);
    void WriteToHost();
    // The break the host's return to 9600 stands for, as the adapter model delivers it.
    void DeliverBreak(uint64_t nowUs);
    bool IsLateReply(uint32_t dueMs);

    CameraWire& m_wire;
    bool m_pace;
    AdapterModel m_adapterModel;
    AdapterQueue m_adapter;
    bool m_lateGiven = false;
    int m_master = -1;
    int m_slave = -1;  // held open so the master never sees a hang-up between the updater's opens
    std::string m_slavePath;
    std::string m_linkPath;
    uint32_t m_lastBaud = 9600;
    uint64_t m_inLineFreeUs = 0;      // paced mode: when the host's last queued byte has arrived
    std::deque<HostByte> m_fromHost;  // host bytes still on their way to the camera
    std::vector<uint8_t> m_toHost;    // camera bytes the pty did not take yet
};

}  // namespace sim
