// The scripted USB driver stand-in for tests: listeners and connections served by one poll loop.
#include "tests/support/usb_driver_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace testsupport {
namespace {

constexpr size_t HEADER_SIZE = 8;
constexpr int SEND_WAIT_MS = 2000;

uint32_t LoadU32(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) | (static_cast<uint32_t>(at[1]) << 8) |
           (static_cast<uint32_t>(at[2]) << 16) | (static_cast<uint32_t>(at[3]) << 24);
}

void AppendU32(std::vector<uint8_t>& out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<uint8_t>(value >> shift));
    }
}

// Sends everything on a non-blocking socket, waiting a little for room; false when the peer is gone.
bool SendEverything(int fd, const std::vector<uint8_t>& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t moved = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (moved > 0) {
            sent += static_cast<size_t>(moved);
            continue;
        }
        if (moved < 0 && errno == EINTR) {
            continue;
        }
        if (moved < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            return false;
        }
        pollfd entry{fd, POLLOUT, 0};
        if (poll(&entry, 1, SEND_WAIT_MS) <= 0) {
            return false;
        }
    }
    return true;
}

std::vector<uint8_t> Answer(uint32_t status, const std::vector<uint8_t>& bytes) {
    std::vector<uint8_t> out;
    AppendU32(out, status);
    AppendU32(out, static_cast<uint32_t>(bytes.size()));
    out.insert(out.end(), bytes.begin(), bytes.end());
    return out;
}

}  // namespace

UsbDriverServer::UsbDriverServer(const std::string& directory) : m_directory(directory) {
    if (m_directory.empty()) {
        const char* base = std::getenv("TMPDIR");
        std::string pattern =
            std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/qxusb-XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr) {
            m_directory = pattern;
            m_ownsDirectory = true;
        }
    }
    if (pipe2(m_wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        m_wakePipe[0] = m_wakePipe[1] = -1;
    }
    m_thread = std::thread([this] { Serve(); });
}

UsbDriverServer::~UsbDriverServer() {
    m_stopping = true;
    WakeServer();
    m_thread.join();
    for (const auto& [instance, fd] : m_listeners) {
        close(fd);
        unlink(SocketPath(instance).c_str());
    }
    for (const int fd : m_retiredListeners) {
        close(fd);
    }
    close(m_wakePipe[0]);
    close(m_wakePipe[1]);
    if (m_ownsDirectory) {
        rmdir(m_directory.c_str());
    }
}

std::string UsbDriverServer::SocketPath(int instance) const {
    char name[16];
    std::snprintf(name, sizeof name, "QX410U-%03d", instance);
    return m_directory + "/" + name;
}

bool UsbDriverServer::AddDevice(int instance) {
    const std::string path = SocketPath(instance);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return false;
    }
    unlink(path.c_str());
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || listen(fd, 8) != 0) {
        close(fd);
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_listeners[instance] = fd;
    }
    WakeServer();
    return true;
}

void UsbDriverServer::RemoveDevice(int instance) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto found = m_listeners.find(instance);
        if (found == m_listeners.end()) {
            return;
        }
        m_retiredListeners.push_back(found->second);
        m_listeners.erase(found);
    }
    unlink(SocketPath(instance).c_str());
    WakeServer();
}

void UsbDriverServer::SetDeviceDescriptor(std::vector<uint8_t> bytes) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_deviceDescriptor = std::move(bytes);
}

void UsbDriverServer::SetConfiguration(std::vector<uint8_t> bytes) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_configuration = std::move(bytes);
}

void UsbDriverServer::QueueCameraBytes(const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_cameraBytes.insert(m_cameraBytes.end(), bytes.begin(), bytes.end());
}

void UsbDriverServer::InjectFault(uint32_t code, DriverFault fault, int count) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (int i = 0; i < count; ++i) {
        m_faults[code].push_back(fault);
    }
}

std::vector<DriverRequest> UsbDriverServer::Requests() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

std::vector<DriverRequest> UsbDriverServer::RequestsWithCode(uint32_t code) const {
    std::vector<DriverRequest> matching;
    for (const DriverRequest& request : Requests()) {
        if (request.code == code) {
            matching.push_back(request);
        }
    }
    return matching;
}

int UsbDriverServer::AcceptedConnections() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_accepted;
}

bool UsbDriverServer::WaitForAcceptedConnections(int count, int timeoutMs) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return m_accepted >= count; });
}

void UsbDriverServer::ClearRequests() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_requests.clear();
}

void UsbDriverServer::WakeServer() {
    const uint8_t byte = 1;
    [[maybe_unused]] const ssize_t written = write(m_wakePipe[1], &byte, 1);
}

void UsbDriverServer::Serve() {
    std::vector<Connection> connections;
    while (!m_stopping) {
        std::vector<pollfd> entries;
        std::vector<int> listenerInstances;
        entries.push_back({m_wakePipe[0], POLLIN, 0});
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            for (const int fd : m_retiredListeners) {
                close(fd);
            }
            m_retiredListeners.clear();
            for (const auto& [instance, fd] : m_listeners) {
                entries.push_back({fd, POLLIN, 0});
                listenerInstances.push_back(instance);
            }
        }
        const size_t firstConnection = entries.size();
        for (const Connection& connection : connections) {
            entries.push_back({connection.fd, POLLIN, 0});
        }
        if (poll(entries.data(), entries.size(), -1) < 0) {
            continue;
        }
        if ((entries[0].revents & POLLIN) != 0) {
            uint8_t drain[64];
            while (read(m_wakePipe[0], drain, sizeof drain) > 0) {
            }
        }
        for (size_t i = 1; i < firstConnection; ++i) {
            if ((entries[i].revents & POLLIN) == 0) {
                continue;
            }
            const int fd = accept4(entries[i].fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd < 0) {
                continue;
            }
            connections.push_back({fd, listenerInstances[i - 1], false, {}});
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_accepted;
            m_changed.notify_all();
        }
        std::vector<bool> keep(connections.size(), true);
        for (size_t i = 0; i + firstConnection < entries.size(); ++i) {
            if (entries[i + firstConnection].revents == 0) {
                continue;
            }
            Connection& connection = connections[i];
            uint8_t chunk[4096];
            const ssize_t got = recv(connection.fd, chunk, sizeof chunk, 0);
            if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
                continue;
            }
            if (got <= 0) {
                keep[i] = false;
                continue;
            }
            connection.input.insert(connection.input.end(), chunk, chunk + got);
            keep[i] = AnswerRequests(connection);
        }
        std::vector<Connection> remaining;
        for (size_t i = 0; i < keep.size(); ++i) {
            if (keep[i]) {
                remaining.push_back(std::move(connections[i]));
            } else {
                close(connections[i].fd);
            }
        }
        connections = std::move(remaining);
    }
    for (const Connection& connection : connections) {
        close(connection.fd);
    }
}

bool UsbDriverServer::AnswerRequests(Connection& connection) {
    while (connection.input.size() >= HEADER_SIZE) {
        const uint32_t code = LoadU32(connection.input.data());
        const uint32_t length = LoadU32(connection.input.data() + 4);
        if (connection.input.size() < HEADER_SIZE + length) {
            return true;
        }
        std::vector<uint8_t> bytes(connection.input.begin() + HEADER_SIZE,
                                   connection.input.begin() + HEADER_SIZE + length);
        connection.input.erase(connection.input.begin(), connection.input.begin() + HEADER_SIZE + length);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_requests.push_back({connection.instance, code, length, bytes});
        }
        if (connection.silent) {
            continue;
        }
        if (!AnswerOne(connection, code, bytes)) {
            return false;
        }
    }
    return true;
}

bool UsbDriverServer::AnswerOne(Connection& connection, uint32_t code, const std::vector<uint8_t>& bytes) {
    const uint32_t length = static_cast<uint32_t>(bytes.size());
    std::unique_lock<std::mutex> lock(m_mutex);
    auto& faults = m_faults[code];
    if (!faults.empty()) {
        const DriverFault fault = faults.front();
        faults.pop_front();
        lock.unlock();
        switch (fault) {
            case DriverFault::Fail:
                return SendEverything(connection.fd, Answer(1, {}));
            case DriverFault::Oversized:
                return SendEverything(connection.fd, Answer(0, std::vector<uint8_t>(length + 1, 0xEE)));
            case DriverFault::Truncated: {
                std::vector<uint8_t> out = Answer(0, std::vector<uint8_t>(length, 0xEE));
                out.resize(HEADER_SIZE + length / 2);
                SendEverything(connection.fd, out);
                return false;
            }
            case DriverFault::Silent:
                connection.silent = true;
                return true;
        }
    }

    std::vector<uint8_t> reply;
    switch (code) {
        case DRIVER_GET_DEVICE_DESCRIPTOR:
            reply.assign(m_deviceDescriptor.begin(),
                         m_deviceDescriptor.begin() + std::min<size_t>(length, m_deviceDescriptor.size()));
            break;
        case DRIVER_GET_CONFIGURATION:
            reply.assign(m_configuration.begin(),
                         m_configuration.begin() + std::min<size_t>(length, m_configuration.size()));
            break;
        case DRIVER_WRITE:
            break;
        case DRIVER_READ: {
            const size_t wanted = length >= 4 ? length - 4 : 0;
            if (length < 4 || m_cameraBytes.size() < wanted) {
                connection.silent = true;  // blocks until the camera produces the bytes: never, here
                return true;
            }
            reply.assign(bytes.begin(), bytes.begin() + 4);  // the pipe word comes back
            reply.insert(reply.end(), m_cameraBytes.begin(),
                         m_cameraBytes.begin() + static_cast<long>(wanted));
            m_cameraBytes.erase(m_cameraBytes.begin(), m_cameraBytes.begin() + static_cast<long>(wanted));
            break;
        }
        default:
            lock.unlock();
            return SendEverything(connection.fd, Answer(1, {}));
    }
    lock.unlock();
    return SendEverything(connection.fd, Answer(0, reply));
}

}  // namespace testsupport
