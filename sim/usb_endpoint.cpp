// The camera's USB driver stand-in on a Unix-domain stream socket (see usb_endpoint.h for the framing).
#include "sim/usb_endpoint.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/byte_order.h"
#include "wire/usb_device_name.h"
#include "wire/usb_driver.h"

namespace sim {
namespace {

constexpr size_t FRAME_HEADER_SIZE = 8;
constexpr uint32_t PIPE_WORD_SIZE = 4;

void AppendU32(std::vector<uint8_t>& out, uint32_t value) {
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value >> 16));
    out.push_back(static_cast<uint8_t>(value >> 24));
}

const char* RequestName(uint32_t code) {
    switch (code) {
        case wire::IOCTL_CAMERA_GET_DEVICE_DESCRIPTOR:
            return "GET_DEVICE_DESCRIPTOR";
        case wire::IOCTL_CAMERA_GET_CONFIGURATION:
            return "GET_CONFIGURATION";
        case wire::IOCTL_CAMERA_WRITE:
            return "WRITE";
        case wire::IOCTL_CAMERA_READ:
            return "READ";
        default:
            return "unknown request";
    }
}

// The read pipe the updater will name: byte 2 of the 8 bytes after the interface record, found by the
// same walk over the length bytes that the updater makes. 0 when the configuration is too short.
uint32_t FindReadPipe(const std::vector<uint8_t>& configuration) {
    if (configuration.empty()) {
        return 0;
    }
    const size_t interfaceOffset = configuration[0];
    if (interfaceOffset >= configuration.size()) {
        return 0;
    }
    const size_t endpointOffset = interfaceOffset + configuration[interfaceOffset];
    if (endpointOffset + 2 >= configuration.size()) {
        return 0;
    }
    return configuration[endpointOffset + 2];
}

bool FillAddress(const std::string& path, sockaddr_un& address) {
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// True when something accepts connections at the path.
bool IsServed(const sockaddr_un& address) {
    const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) {
        return false;
    }
    const bool served = connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(probe);
    return served;
}

}  // namespace

// The socket is bound and listening under a temporary name first and then renamed into place, so that
// whoever sees D/QX410U-NNN appear can connect at once.
bool UsbEndpoint::Open(const std::string& directory, int instance, std::string& error) {
    const std::string path = directory + "/" + wire::UsbObjectName(instance);
    const std::string bindingPath = path + ".binding";
    sockaddr_un address{};
    sockaddr_un bindingAddress{};
    if (!FillAddress(path, address) || !FillAddress(bindingPath, bindingAddress)) {
        error = "the socket path " + path + " is too long";
        return false;
    }
    // A socket left by a simulator that is gone is replaced; one that is served, or any other file, is not.
    struct stat existing {};
    if (lstat(path.c_str(), &existing) == 0 && (!S_ISSOCK(existing.st_mode) || IsServed(address))) {
        error = "cannot listen at " + path + " (another simulator?): " + std::strerror(EADDRINUSE);
        return false;
    }
    m_listen = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_listen < 0) {
        error = std::string("cannot create a socket: ") + std::strerror(errno);
        return false;
    }
    unlink(bindingPath.c_str());
    struct stat info {};
    if (bind(m_listen, reinterpret_cast<const sockaddr*>(&bindingAddress), sizeof bindingAddress) != 0 ||
        listen(m_listen, 16) != 0 || rename(bindingPath.c_str(), path.c_str()) != 0 ||
        stat(path.c_str(), &info) != 0) {
        error = "cannot listen at " + path + ": " + std::strerror(errno);
        unlink(bindingPath.c_str());
        Close();
        return false;
    }
    m_socketPath = path;
    m_socketInode = info.st_ino;
    return true;
}

// Loopback only: the port is reachable from this machine alone.
bool UsbEndpoint::ListenLoopback(uint16_t port, std::string& error) {
    m_loopbackListen = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_loopbackListen < 0) {
        error = std::string("cannot create a socket: ") + std::strerror(errno);
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(m_loopbackListen, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(m_loopbackListen, 16) != 0 ||
        getsockname(m_loopbackListen, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        error = "cannot listen at 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno);
        close(m_loopbackListen);
        m_loopbackListen = -1;
        return false;
    }
    m_loopbackPort = ntohs(address.sin_port);
    return true;
}

void UsbEndpoint::Close() {
    while (!m_connections.empty()) {
        close(m_connections.back()->fd);
        m_connections.pop_back();
    }
    if (!m_socketPath.empty()) {
        struct stat info {};
        if (lstat(m_socketPath.c_str(), &info) == 0 && info.st_ino == m_socketInode) {
            unlink(m_socketPath.c_str());
        }
        m_socketPath.clear();
    }
    if (m_listen >= 0) {
        close(m_listen);
        m_listen = -1;
    }
    if (m_loopbackListen >= 0) {
        close(m_loopbackListen);
        m_loopbackListen = -1;
    }
}

void UsbEndpoint::AddPollFds(std::vector<pollfd>& fds) {
    // The two listening sockets come first (a missing one as -1, which poll skips), then the connections.
    pollfd entry{};
    entry.fd = m_listen;
    entry.events = POLLIN;
    fds.push_back(entry);
    entry.fd = m_loopbackListen;
    fds.push_back(entry);
    for (const auto& connection : m_connections) {
        entry.fd = connection->fd;
        entry.events = static_cast<short>((connection->closing ? 0 : POLLIN) |
                                          (connection->response.empty() ? 0 : POLLOUT));
        fds.push_back(entry);
    }
}

bool UsbEndpoint::HandlePoll(const std::vector<pollfd>& fds, size_t first, uint64_t nowUs) {
    // The connections polled are the first ones of m_connections, in order; accept after handling them.
    for (size_t i = m_connections.size(); i-- > 0;) {
        const size_t slot = first + 2 + i;
        if (slot >= fds.size() || fds[slot].fd != m_connections[i]->fd) {
            continue;  // accepted after the poll set was built
        }
        Connection& connection = *m_connections[i];
        const short events = fds[slot].revents;
        if ((events & POLLOUT) != 0 && !SendResponses(connection)) {
            CloseConnection(i, nowUs, "send failed");
            continue;
        }
        if ((events & (POLLIN | POLLHUP | POLLERR)) != 0 && !ReceiveRequests(connection, nowUs)) {
            CloseConnection(i, nowUs, "closed by the host");
            continue;
        }
        if ((events & POLLNVAL) != 0) {
            CloseConnection(i, nowUs, "invalid");
        }
    }
    if ((fds[first].revents & POLLIN) != 0) {
        AcceptConnections(m_listen, nowUs);
    }
    if ((fds[first + 1].revents & POLLIN) != 0) {
        AcceptConnections(m_loopbackListen, nowUs);
    }
    return true;
}

void UsbEndpoint::AcceptConnections(int listenFd, uint64_t nowUs) {
    for (;;) {
        const int fd = accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0 && errno == EINTR) {
            continue;
        }
        if (fd < 0) {
            return;
        }
        if (listenFd == m_loopbackListen) {
            // Each answer is one small frame the host waits for: send it at once.
            const int noDelay = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
        }
        auto connection = std::make_unique<Connection>();
        connection->fd = fd;
        connection->id = m_nextId++;
        m_wire.Log().Event(nowUs, "usb open handle " + std::to_string(connection->id));
        m_connections.push_back(std::move(connection));
    }
}

bool UsbEndpoint::ReceiveRequests(Connection& connection, uint64_t nowUs) {
    uint8_t buffer[8192];
    for (;;) {
        if (connection.closing) {
            return true;
        }
        const ssize_t count = recv(connection.fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        }
        if (count <= 0) {
            return false;
        }
        connection.request.insert(connection.request.end(), buffer, buffer + count);
        ProcessRequests(connection, nowUs);
        // A host that keeps sending while its READ waits is out of step with the driver.
        if (connection.request.size() > 2 * (FRAME_HEADER_SIZE + USB_REQUEST_MAX)) {
            return false;
        }
    }
    ServeReads(nowUs);
    return SendResponses(connection);
}

void UsbEndpoint::ProcessRequests(Connection& connection, uint64_t nowUs) {
    // Complete requests are handled in order; a READ holds the rest until it is answered.
    while (!connection.readPending && !connection.closing && connection.request.size() >= FRAME_HEADER_SIZE) {
        const uint32_t code = LoadLe32(connection.request.data());
        const uint32_t length = LoadLe32(connection.request.data() + 4);
        if (length > USB_REQUEST_MAX) {
            m_wire.Log().Event(nowUs, "usb " + std::string(RequestName(code)) + " of " +
                                          std::to_string(length) + " bytes refused: too large");
            QueueResponse(connection, USB_STATUS_FAILED, nullptr, 0);
            connection.closing = true;  // the rest of the stream cannot be followed
            return;
        }
        if (connection.request.size() < FRAME_HEADER_SIZE + length) {
            return;
        }
        HandleRequest(connection, code, connection.request.data() + FRAME_HEADER_SIZE, length, nowUs);
        connection.request.erase(connection.request.begin(),
                                 connection.request.begin() + FRAME_HEADER_SIZE + length);
    }
}

void UsbEndpoint::HandleRequest(Connection& connection, uint32_t code, const uint8_t* data, uint32_t length,
                                uint64_t nowUs) {
    CameraModel& model = m_wire.Model();
    m_wire.Log().Event(nowUs, "usb " + std::string(RequestName(code)) + " " + std::to_string(length));
    if (code == wire::IOCTL_CAMERA_GET_DEVICE_DESCRIPTOR || code == wire::IOCTL_CAMERA_GET_CONFIGURATION) {
        const std::vector<uint8_t>& record = code == wire::IOCTL_CAMERA_GET_DEVICE_DESCRIPTOR
                                                 ? model.DeviceDescriptor()
                                                 : model.Configuration();
        const uint32_t answer = std::min(length, static_cast<uint32_t>(record.size()));
        QueueResponse(connection, USB_STATUS_SUCCESS, record.data(), answer);
        return;
    }
    if (code == wire::IOCTL_CAMERA_WRITE) {
        if (length < PIPE_WORD_SIZE || LoadLe32(data) != 0) {
            QueueResponse(connection, USB_STATUS_FAILED, nullptr, 0);
            return;
        }
        m_wire.FeedHost(data + PIPE_WORD_SIZE, length - PIPE_WORD_SIZE, nowUs, 0);
        QueueResponse(connection, USB_STATUS_SUCCESS, nullptr, 0);
        return;
    }
    if (code == wire::IOCTL_CAMERA_READ) {
        const uint32_t readPipe = FindReadPipe(model.Configuration());
        if (length < PIPE_WORD_SIZE || LoadLe32(data) != readPipe) {
            QueueResponse(connection, USB_STATUS_FAILED, nullptr, 0);
            return;
        }
        connection.readPending = true;
        connection.readWanted = length - PIPE_WORD_SIZE;
        connection.readAnswer.assign(data, data + PIPE_WORD_SIZE);
        return;
    }
    QueueResponse(connection, USB_STATUS_FAILED, nullptr, 0);
}

void UsbEndpoint::QueueResponse(Connection& connection, uint32_t status, const uint8_t* data,
                                uint32_t length) {
    AppendU32(connection.response, status);
    AppendU32(connection.response, length);
    if (length != 0) {
        connection.response.insert(connection.response.end(), data, data + length);
    }
}

bool UsbEndpoint::SendResponses(Connection& connection) {
    while (!connection.response.empty()) {
        const ssize_t count = send(connection.fd, connection.response.data(), connection.response.size(),
                                   MSG_NOSIGNAL | MSG_DONTWAIT);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return true;
        }
        if (count <= 0) {
            return false;
        }
        connection.response.erase(connection.response.begin(), connection.response.begin() + count);
    }
    return true;
}

void UsbEndpoint::ServeReads(uint64_t nowUs) {
    CameraModel& model = m_wire.Model();
    for (const auto& owned : m_connections) {
        Connection& connection = *owned;
        if (!connection.readPending) {
            continue;
        }
        const size_t have = connection.readAnswer.size() - PIPE_WORD_SIZE;
        const size_t room = connection.readWanted - have;
        if (room != 0) {
            uint8_t buffer[8192];
            const size_t taken =
                model.Transmit(buffer, std::min(room, sizeof buffer), m_wire.ModelTime(nowUs), 0);
            m_wire.Log().Bytes(nowUs, "C>H", 0, buffer, taken, false);
            connection.readAnswer.insert(connection.readAnswer.end(), buffer, buffer + taken);
        }
        if (connection.readAnswer.size() - PIPE_WORD_SIZE < connection.readWanted) {
            return;  // the oldest read takes the camera's bytes first
        }
        QueueResponse(connection, USB_STATUS_SUCCESS, connection.readAnswer.data(),
                      static_cast<uint32_t>(connection.readAnswer.size()));
        connection.readPending = false;
        connection.readAnswer.clear();
        ProcessRequests(connection, nowUs);
        SendResponses(connection);
    }
}

void UsbEndpoint::Service(uint64_t nowUs) {
    ServeReads(nowUs);
    // A connection whose READ was answered may hold further requests already received.
    for (size_t i = m_connections.size(); i-- > 0;) {
        Connection& connection = *m_connections[i];
        if (connection.closing && connection.response.empty()) {
            CloseConnection(i, nowUs, "refused request");
        }
    }
}

std::optional<uint64_t> UsbEndpoint::NextWakeUs() const {
    for (const auto& connection : m_connections) {
        if (connection->readPending) {
            const std::optional<uint32_t> output = m_wire.Model().NextOutputTime();
            if (!output.has_value()) {
                return std::nullopt;
            }
            return m_wire.WireTimeUs(*output);
        }
    }
    return std::nullopt;
}

bool UsbEndpoint::HasPendingOutput() const {
    for (const auto& connection : m_connections) {
        if (!connection->response.empty()) {
            return true;
        }
    }
    return false;
}

void UsbEndpoint::CloseConnection(size_t index, uint64_t nowUs, const char* why) {
    m_wire.Log().Event(nowUs,
                       "usb close handle " + std::to_string(m_connections[index]->id) + " (" + why + ")");
    close(m_connections[index]->fd);
    m_connections.erase(m_connections.begin() + static_cast<std::ptrdiff_t>(index));
}

}  // namespace sim
