// The scripted USB driver stand-in for tests: a thread per listener accepts, a thread per connection
// answers its requests in order.
#include "tests/support/usb_driver_server.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>

#include "wire/usb_device_name.h"

namespace testsupport {
namespace {

constexpr uint32_t DRIVER_GET_DEVICE_DESCRIPTOR = 0x222004;
constexpr uint32_t DRIVER_WRITE = 0x22200C;
constexpr uint32_t DRIVER_READ = 0x222010;

// Sends the answer frame (the machine is little-endian, as the frame), cut to `keep` bytes when given.
bool SendAnswer(int fd, uint32_t status, const std::vector<uint8_t>& bytes, size_t keep = SIZE_MAX) {
    const uint32_t header[2] = {status, static_cast<uint32_t>(bytes.size())};
    std::vector<uint8_t> out(sizeof header + bytes.size());
    std::memcpy(out.data(), header, sizeof header);
    std::copy(bytes.begin(), bytes.end(), out.begin() + sizeof header);
    out.resize(std::min(keep, out.size()));
    return send(fd, out.data(), out.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(out.size());
}

}  // namespace

UsbDriverServer::UsbDriverServer() {
    char pattern[] = "/tmp/qxusb-XXXXXX";
    m_directory = mkdtemp(pattern) != nullptr ? pattern : "/nonexistent";
}

// A shut-down socket wakes the thread blocked on it: listeners first, so that no connection comes after.
UsbDriverServer::~UsbDriverServer() {
    for (std::vector<Socket>* sockets : {&m_listeners, &m_connections}) {
        for (Socket& socket : *sockets) {
            shutdown(socket.fd, SHUT_RDWR);
        }
        for (Socket& socket : *sockets) {
            socket.thread.join();
            close(socket.fd);
            unlink(socket.path.c_str());
        }
    }
    rmdir(m_directory.c_str());
}

bool UsbDriverServer::AddDevice(int instance) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s/%s", m_directory.c_str(),
                  wire::UsbObjectName(instance).c_str());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || listen(fd, 8) != 0) {
        close(fd);
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_listeners.push_back({fd, address.sun_path, std::thread([this, fd] { Accept(fd); })});
    return true;
}

void UsbDriverServer::SetDescriptors(std::vector<uint8_t> device, std::vector<uint8_t> configuration) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_deviceDescriptor = std::move(device);
    m_configuration = std::move(configuration);
}

void UsbDriverServer::QueueCameraBytes(const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_cameraBytes.insert(m_cameraBytes.end(), bytes.begin(), bytes.end());
}

void UsbDriverServer::InjectFault(uint32_t code, DriverFault fault, int count) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_faults[code].insert(m_faults[code].end(), static_cast<size_t>(count), fault);
}

std::vector<DriverRequest> UsbDriverServer::Requests(uint32_t code) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<DriverRequest> matching;
    std::copy_if(m_requests.begin(), m_requests.end(), std::back_inserter(matching),
                 [code](const DriverRequest& request) { return code == 0 || request.code == code; });
    return matching;
}

int UsbDriverServer::AcceptedConnections() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<int>(m_connections.size());
}

void UsbDriverServer::ClearRequests() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_requests.clear();
}

void UsbDriverServer::Accept(int listener) {
    for (int fd = -1; (fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_connections.push_back({fd, {}, std::thread([this, fd] { ServeConnection(fd); })});
    }
}

// Every request is recorded; a silent connection answers none of them.
void UsbDriverServer::ServeConnection(int fd) {
    bool silent = false;
    struct {
        uint32_t code, length;
    } frame;
    while (recv(fd, &frame, sizeof frame, MSG_WAITALL) == static_cast<ssize_t>(sizeof frame)) {
        const auto [code, length] = frame;
        std::vector<uint8_t> bytes(length);
        if (length > 0 && recv(fd, bytes.data(), length, MSG_WAITALL) != static_cast<ssize_t>(length)) {
            break;
        }
        std::unique_lock<std::mutex> lock(m_mutex);
        m_requests.push_back({code, length, bytes});
        std::deque<DriverFault>& faults = m_faults[code];
        std::optional<DriverFault> fault;
        if (!silent && !faults.empty()) {
            fault = faults.front();
            faults.pop_front();
        }
        // A READ that wants more than the camera has said is held, as the real driver would: for ever.
        const bool held = code == DRIVER_READ && (length < 4 || m_cameraBytes.size() < length - 4);
        silent = silent || fault == DriverFault::Silent || (!fault && held);
        if (silent) {
            continue;
        }
        std::vector<uint8_t> reply;
        if (fault == DriverFault::Oversized || fault == DriverFault::Truncated) {
            reply.assign(length + (fault == DriverFault::Oversized ? 1 : 0), 0xEE);
        } else if (!fault && code == DRIVER_READ) {
            reply = bytes;  // the pipe word comes back, then the camera's bytes
            const auto taken = m_cameraBytes.begin() + (length - 4);
            std::copy(m_cameraBytes.begin(), taken, reply.begin() + 4);
            m_cameraBytes.erase(m_cameraBytes.begin(), taken);
        } else if (!fault && code != DRIVER_WRITE) {  // one of the two descriptor requests
            const std::vector<uint8_t>& record =
                code == DRIVER_GET_DEVICE_DESCRIPTOR ? m_deviceDescriptor : m_configuration;
            reply.assign(record.begin(), record.begin() + std::min<size_t>(length, record.size()));
        }
        lock.unlock();
        const bool truncated = fault == DriverFault::Truncated;
        const size_t keep = truncated ? sizeof frame + length / 2 : SIZE_MAX;
        if (!SendAnswer(fd, fault == DriverFault::Fail ? 1 : 0, reply, keep) || truncated) {
            break;
        }
    }
    shutdown(fd, SHUT_RDWR);
}

}  // namespace testsupport
