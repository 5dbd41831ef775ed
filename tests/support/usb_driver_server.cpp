// The scripted USB driver stand-in for tests: listeners and connections served by one poll loop.
#include "tests/support/usb_driver_server.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>

namespace testsupport {
namespace {

constexpr size_t HEADER_SIZE = 8;
constexpr uint32_t DRIVER_GET_DEVICE_DESCRIPTOR = 0x222004;
constexpr uint32_t DRIVER_GET_CONFIGURATION = 0x222008;
constexpr uint32_t DRIVER_WRITE = 0x22200C;
constexpr uint32_t DRIVER_READ = 0x222010;

uint32_t LoadU32(const uint8_t* at) {
    return at[0] | (at[1] << 8) | (at[2] << 16) | (static_cast<uint32_t>(at[3]) << 24);
}

// Sends the answer frame on the (blocking) socket, cut to `keep` bytes when given.
bool SendAnswer(int fd, uint32_t status, const std::vector<uint8_t>& bytes, size_t keep = SIZE_MAX) {
    std::vector<uint8_t> out;
    for (const uint32_t word : {status, static_cast<uint32_t>(bytes.size())}) {
        for (int shift = 0; shift < 32; shift += 8) {
            out.push_back(static_cast<uint8_t>(word >> shift));
        }
    }
    out.insert(out.end(), bytes.begin(), bytes.end());
    out.resize(std::min(keep, out.size()));
    return send(fd, out.data(), out.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(out.size());
}

}  // namespace

UsbDriverServer::UsbDriverServer(const std::string& directory) : m_directory(directory) {
    if (m_directory.empty()) {
        char pattern[] = "/tmp/qxusb-XXXXXX";
        m_directory = mkdtemp(pattern) != nullptr ? pattern : "/nonexistent";
        m_ownsDirectory = true;
    }
    m_thread = std::thread([this] { Serve(); });
}

UsbDriverServer::~UsbDriverServer() {
    m_stopping = true;
    m_thread.join();
    for (const auto& [instance, fd] : m_listeners) {
        close(fd);
        unlink(SocketPath(instance).c_str());
    }
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
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", SocketPath(instance).c_str());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || listen(fd, 8) != 0) {
        close(fd);
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_listeners[instance] = fd;
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
    return m_accepted;
}

void UsbDriverServer::ClearRequests() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_requests.clear();
}

// Listeners added later are picked up at the next turn: the loop polls with a short time-out.
void UsbDriverServer::Serve() {
    std::vector<Connection> connections;
    while (!m_stopping) {
        std::vector<pollfd> entries;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            for (const auto& [instance, fd] : m_listeners) {
                entries.push_back({fd, POLLIN, 0});
            }
        }
        const size_t listenerCount = entries.size();
        for (const Connection& connection : connections) {
            entries.push_back({connection.fd, POLLIN, 0});
        }
        if (poll(entries.data(), entries.size(), 10) <= 0) {
            continue;
        }
        std::vector<Connection> remaining;
        for (size_t i = listenerCount; i < entries.size(); ++i) {
            Connection& connection = connections[i - listenerCount];
            bool keep = true;
            if (entries[i].revents != 0) {
                uint8_t chunk[4096];
                const ssize_t got = recv(connection.fd, chunk, sizeof chunk, 0);
                keep = got > 0;
                if (keep) {
                    connection.input.insert(connection.input.end(), chunk, chunk + got);
                    keep = AnswerRequests(connection);
                }
            }
            if (keep) {
                remaining.push_back(std::move(connection));
            } else {
                close(connection.fd);
            }
        }
        for (size_t i = 0; i < listenerCount; ++i) {
            const int fd = (entries[i].revents & POLLIN) != 0
                               ? accept4(entries[i].fd, nullptr, nullptr, SOCK_CLOEXEC)
                               : -1;
            if (fd >= 0) {
                remaining.push_back({fd, false, {}});
                std::lock_guard<std::mutex> lock(m_mutex);
                ++m_accepted;
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
        const auto body = connection.input.begin() + HEADER_SIZE;
        const std::vector<uint8_t> bytes(body, body + length);
        connection.input.erase(connection.input.begin(), body + length);

        std::unique_lock<std::mutex> lock(m_mutex);
        m_requests.push_back({code, length, bytes});
        std::deque<DriverFault>& faults = m_faults[code];
        if (connection.silent) {
            continue;
        }
        std::optional<DriverFault> fault;
        if (!faults.empty()) {
            fault = faults.front();
            faults.pop_front();
        }
        uint32_t status = 0;
        std::vector<uint8_t> reply;
        if (fault == DriverFault::Silent) {
            connection.silent = true;
            continue;
        } else if (fault == DriverFault::Fail) {
            status = 1;
        } else if (fault == DriverFault::Oversized) {
            reply.assign(length + 1, 0xEE);
        } else if (fault == DriverFault::Truncated) {
            lock.unlock();
            SendAnswer(connection.fd, 0, std::vector<uint8_t>(length, 0xEE), HEADER_SIZE + length / 2);
            return false;
        } else if (code == DRIVER_GET_DEVICE_DESCRIPTOR || code == DRIVER_GET_CONFIGURATION) {
            const std::vector<uint8_t>& record =
                code == DRIVER_GET_DEVICE_DESCRIPTOR ? m_deviceDescriptor : m_configuration;
            reply.assign(record.begin(), record.begin() + std::min<size_t>(length, record.size()));
        } else if (code == DRIVER_READ) {
            if (length < 4 || m_cameraBytes.size() < length - 4) {
                connection.silent = true;  // held until the camera speaks: never, here
                continue;
            }
            reply.assign(bytes.begin(), bytes.begin() + 4);  // the pipe word comes back
            const auto taken = m_cameraBytes.begin() + (length - 4);
            reply.insert(reply.end(), m_cameraBytes.begin(), taken);
            m_cameraBytes.erase(m_cameraBytes.begin(), taken);
        } else if (code != DRIVER_WRITE) {
            status = 1;
        }
        lock.unlock();
        if (!SendAnswer(connection.fd, status, reply)) {
            return false;
        }
    }
    return true;
}

}  // namespace testsupport
