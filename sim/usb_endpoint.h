// The camera's USB driver stand-in: a Unix-domain stream socket published as D/QX410U-NNN.
//
// Each connection is one open handle of the device object; the updater opens one for every session
// operation. Each request on it is one device control request:
//   request  = u32 LE control code | u32 LE length L | L bytes
//   response = u32 LE status (0 = success) | u32 LE length R (R <= L) | R bytes
// GET_DEVICE_DESCRIPTOR and GET_CONFIGURATION answer from the camera model's descriptors, WRITE (pipe
// word 0) hands the packet to the camera, READ (pipe word = the IN endpoint) is answered once the camera
// has produced exactly the bytes wanted, which may take as long as the camera takes.
//
// The same requests may also be served on a TCP port of the loopback interface (ListenLoopback), for a
// driver stand-in in a Wine process, whose Winsock has no Unix-domain sockets.
#pragma once

#include <sys/types.h>

#include <deque>
#include <memory>
#include <string>

#include "sim/endpoint.h"

namespace sim {
// Larger requests are refused (the largest legitimate one is a 4097-byte packet plus the pipe word).
constexpr uint32_t USB_REQUEST_MAX = 65536;
constexpr uint32_t USB_STATUS_SUCCESS = 0;
constexpr uint32_t USB_STATUS_FAILED = 0xC0000001;  // any non-zero status fails the request

class UsbEndpoint final : public IEndpoint {
  public:
    explicit UsbEndpoint(CameraWire& wire) : m_wire(wire) {}
    ~UsbEndpoint() override { Close(); }

    // Listens on directory/QX410U-NNN; a stale socket nobody serves is replaced.
    bool Open(const std::string& directory, int instance, std::string& error);
    const std::string& PublishedPath() const { return m_socketPath; }
    // Also listens on 127.0.0.1:port (0: a free port, then LoopbackPort tells which).
    bool ListenLoopback(uint16_t port, std::string& error);
    uint16_t LoopbackPort() const { return m_loopbackPort; }

    void Close() override;
    void AddPollFds(std::vector<pollfd>& fds) override;
    bool HandlePoll(const std::vector<pollfd>& fds, size_t first, uint64_t nowUs) override;
    void Service(uint64_t nowUs) override;
    std::optional<uint64_t> NextWakeUs() const override;
    bool HasPendingOutput() const override;

  private:
    struct Connection {
        int fd = -1;
        uint64_t id = 0;
        std::vector<uint8_t> request;   // bytes of the request being received
        std::vector<uint8_t> response;  // bytes not yet sent
        bool readPending = false;       // a READ waits for the camera
        uint32_t readWanted = 0;
        std::vector<uint8_t> readAnswer;  // pipe word + the bytes collected so far
        bool closing = false;             // close once the response is out
    };

    void AcceptConnections(int listenFd, uint64_t nowUs);
    // False when the connection is finished (closed by the host or out of step).
    bool ReceiveRequests(Connection& connection, uint64_t nowUs);
    // Handles the complete requests received so far, up to the first READ that must wait.
    void ProcessRequests(Connection& connection, uint64_t nowUs);
    void HandleRequest(Connection& connection, uint32_t code, const uint8_t* data, uint32_t length,
                       uint64_t nowUs);
    void QueueResponse(Connection& connection, uint32_t status, const uint8_t* data, uint32_t length);
    bool SendResponses(Connection& connection);
    void ServeReads(uint64_t nowUs);
    void CloseConnection(size_t index, uint64_t nowUs, const char* why);

    CameraWire& m_wire;
    int m_listen = -1;
    int m_loopbackListen = -1;
    uint16_t m_loopbackPort = 0;
    std::string m_socketPath;
    ino_t m_socketInode = 0;
    uint64_t m_nextId = 1;
    std::vector<std::unique_ptr<Connection>> m_connections;
};

}  // namespace sim
