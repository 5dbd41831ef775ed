// A scripted stand-in for the camera's USB driver, for tests: one thread serving Unix-domain sockets
// named QX410U-NNN in a directory, answering the four control requests from a scripted device and
// recording every request it receives.
//
// Wire format per request: u32 LE code | u32 LE length L | L bytes; answer: u32 LE status | u32 LE R | R.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

// The driver's control codes, as they appear on the wire.
constexpr uint32_t DRIVER_GET_DEVICE_DESCRIPTOR = 0x222004;
constexpr uint32_t DRIVER_GET_CONFIGURATION = 0x222008;
constexpr uint32_t DRIVER_WRITE = 0x22200C;
constexpr uint32_t DRIVER_READ = 0x222010;

// Ways to mishandle one request.
enum class DriverFault {
    Fail,       // status 1, no bytes
    Oversized,  // status 0 with R = L + 1 bytes
    Truncated,  // status 0 announcing R = L, half the bytes, then the connection closes
    Silent,     // never answers this or any later request on the connection
};

struct DriverRequest {
    int instance = 0;
    uint32_t code = 0;
    uint32_t length = 0;
    std::vector<uint8_t> bytes;
};

class UsbDriverServer {
  public:
    // Serves sockets in a fresh temporary directory, or in `directory` (which must exist) when given.
    explicit UsbDriverServer(const std::string& directory = {});
    ~UsbDriverServer();
    UsbDriverServer(const UsbDriverServer&) = delete;
    UsbDriverServer& operator=(const UsbDriverServer&) = delete;

    const std::string& Directory() const { return m_directory; }
    std::string SocketPath(int instance) const;

    // Makes device object NNN appear (listening at once) or disappear (its socket is gone at once).
    bool AddDevice(int instance);
    void RemoveDevice(int instance);

    void SetDeviceDescriptor(std::vector<uint8_t> bytes);
    void SetConfiguration(std::vector<uint8_t> bytes);
    // Bytes the camera has produced; READ requests take them in order. A READ that wants more than is
    // queued blocks, as the real driver does.
    void QueueCameraBytes(const std::vector<uint8_t>& bytes);
    // The next `count` requests with this code are mishandled.
    void InjectFault(uint32_t code, DriverFault fault, int count = 1);

    std::vector<DriverRequest> Requests() const;
    std::vector<DriverRequest> RequestsWithCode(uint32_t code) const;
    int AcceptedConnections() const;
    // Waits up to timeoutMs for the server thread to have accepted at least `count` connections.
    bool WaitForAcceptedConnections(int count, int timeoutMs = 2000) const;
    void ClearRequests();

  private:
    struct Connection {
        int fd = -1;
        int instance = 0;
        bool silent = false;
        std::vector<uint8_t> input;
    };

    void Serve();
    void WakeServer();
    // Answers every complete request in the connection's input; false when the connection is to close.
    bool AnswerRequests(Connection& connection);
    bool AnswerOne(Connection& connection, uint32_t code, const std::vector<uint8_t>& bytes);

    std::string m_directory;
    bool m_ownsDirectory = false;
    int m_wakePipe[2] = {-1, -1};
    std::atomic<bool> m_stopping{false};

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::map<int, int> m_listeners;       // instance -> listening socket
    std::vector<int> m_retiredListeners;  // closed by the server thread
    std::vector<uint8_t> m_deviceDescriptor;
    std::vector<uint8_t> m_configuration;
    std::deque<uint8_t> m_cameraBytes;
    std::map<uint32_t, std::deque<DriverFault>> m_faults;
    std::vector<DriverRequest> m_requests;
    int m_accepted = 0;

    std::thread m_thread;  // last: starts after everything above exists
};

}  // namespace testsupport
