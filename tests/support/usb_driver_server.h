// A scripted stand-in for the camera's USB driver: Unix-domain sockets named QX410U-NNN in a fresh
// directory, answering the four requests from a scripted device and recording every request. Frames:
// request u32 LE code | u32 LE length L | L bytes; answer u32 LE status | u32 LE R | R bytes.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

// Ways to mishandle one request.
enum class DriverFault {
    Fail,       // status 1, no bytes
    Oversized,  // status 0 with R = L + 1 bytes
    Truncated,  // status 0 announcing R = L, half the bytes, then the connection closes
    Silent,     // never answers this or any later request on the connection
};

struct DriverRequest {
    uint32_t code = 0;
    uint32_t length = 0;
    std::vector<uint8_t> bytes;
};

class UsbDriverServer {
  public:
    UsbDriverServer();
    ~UsbDriverServer();
    UsbDriverServer(const UsbDriverServer&) = delete;
    UsbDriverServer& operator=(const UsbDriverServer&) = delete;

    const std::string& Directory() const { return m_directory; }
    // Device object NNN appears, listening at once.
    bool AddDevice(int instance);

    // The records the device answers with.
    void SetDescriptors(std::vector<uint8_t> device, std::vector<uint8_t> configuration);
    // Bytes the camera has produced, taken in order by READ requests. A READ that wants more than is
    // queued is never answered, as the real driver would hold it.
    void QueueCameraBytes(const std::vector<uint8_t>& bytes);
    // The next `count` requests with this code are mishandled.
    void InjectFault(uint32_t code, DriverFault fault, int count = 1);

    std::vector<DriverRequest> Requests(uint32_t code = 0) const;  // 0: of every code
    int AcceptedConnections() const;
    void ClearRequests();

  private:
    void Accept(int listener);
    void ServeConnection(int fd);

    // A listener (with its path) or a connection, and the thread that serves it.
    struct Socket {
        int fd = -1;
        std::string path;
        std::thread thread;
    };

    std::string m_directory;
    mutable std::mutex m_mutex;
    std::vector<Socket> m_listeners, m_connections;
    std::vector<uint8_t> m_deviceDescriptor, m_configuration;
    std::deque<uint8_t> m_cameraBytes;
    std::map<uint32_t, std::deque<DriverFault>> m_faults;
    std::vector<DriverRequest> m_requests;
};

}  // namespace testsupport
