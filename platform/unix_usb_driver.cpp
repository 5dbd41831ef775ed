// The camera's USB driver stand-in, client side: one Unix-domain stream socket per open device object
// (connect for CreateFile, close for CloseHandle) and one framed request and response per
// DeviceIoControl.
//
//   request  = u32 LE control code | u32 LE length L | L bytes
//   response = u32 LE status (0 = success) | u32 LE length R (R <= L) | R bytes
//
// A request is bounded in time: a driver that does not answer completely within the request limit has
// failed it. Any request that leaves the stream out of step (time-out, oversized or truncated answer,
// broken connection) closes the connection, so later requests on it fail at once.
#include "platform/unix_usb_driver.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "common/byte_order.h"
#include "common/clock.h"

namespace platform {
namespace {

constexpr size_t FRAME_HEADER_SIZE = 8;
constexpr uint32_t STATUS_SUCCESS = 0;

class UnixUsbConnection final : public IUsbConnection {
  public:
    UnixUsbConnection(int fd, uint32_t requestLimitMs) : m_fd(fd), m_requestLimitMs(requestLimitMs) {}
    ~UnixUsbConnection() override { CloseConnection(); }
    UnixUsbConnection(const UnixUsbConnection&) = delete;
    UnixUsbConnection& operator=(const UnixUsbConnection&) = delete;

    bool Request(uint32_t controlCode, uint8_t* buffer, uint32_t length) override;

  private:
    // 1 when the socket is ready for the events, 0 when the deadline passed, -1 on failure or hang-up
    // without readable data.
    int WaitReady(short events, const Deadline& deadline);
    bool SendAll(const uint8_t* data, size_t count, const Deadline& deadline);
    bool ReceiveAll(uint8_t* data, size_t count, const Deadline& deadline);
    // True when bytes (or an end of stream) wait on the socket before a request was sent: the driver
    // is out of step with us.
    bool HasStrayInput();
    void CloseConnection();

    int m_fd;
    uint32_t m_requestLimitMs;
};

bool UnixUsbConnection::Request(uint32_t controlCode, uint8_t* buffer, uint32_t length) {
    if (m_fd < 0) {
        return false;
    }
    if (buffer == nullptr && length != 0) {
        return false;
    }
    if (HasStrayInput()) {
        CloseConnection();
        return false;
    }
    const Deadline deadline(m_requestLimitMs);

    uint8_t header[FRAME_HEADER_SIZE];
    StoreLe32(header, controlCode);  // control code
    StoreLe32(header + 4, length);   // in-buffer length L
    if (!SendAll(header, sizeof header, deadline) || !SendAll(buffer, length, deadline)) {
        CloseConnection();
        return false;
    }

    uint8_t answer[FRAME_HEADER_SIZE];
    if (!ReceiveAll(answer, sizeof answer, deadline)) {
        CloseConnection();
        return false;
    }
    const uint32_t status = LoadLe32(answer);
    const uint32_t answerLength = LoadLe32(answer + 4);
    if (answerLength > length) {
        // The driver may never hand back more than it was given room for; the rest of the stream
        // cannot be trusted either.
        CloseConnection();
        return false;
    }
    // Bounded by L, which the caller's buffer holds. The caller's buffer is only written on success.
    std::vector<uint8_t> bytes(answerLength);
    if (!ReceiveAll(bytes.data(), bytes.size(), deadline)) {
        CloseConnection();
        return false;
    }
    if (status != STATUS_SUCCESS) {
        return false;  // a failure the driver reported; the stream is still in step
    }
    if (answerLength != 0) {
        std::memcpy(buffer, bytes.data(), answerLength);
    }
    return true;
}

int UnixUsbConnection::WaitReady(short events, const Deadline& deadline) {
    for (;;) {
        pollfd entry{};
        entry.fd = m_fd;
        entry.events = events;
        const uint32_t remaining = deadline.RemainingMs();
        if (remaining == 0) {
            return 0;
        }
        const int ready = poll(&entry, 1, static_cast<int>(remaining));
        if (ready < 0 && errno == EINTR) {
            if (WaitsCut()) {
                return 0;  // the signal cut the wait short: the request's time is up
            }
            continue;
        }
        if (ready < 0) {
            return -1;
        }
        // A poll that ran its whole course is the end of the request's time, whatever the clock says.
        if (ready == 0) {
            return 0;
        }
        if ((entry.revents & POLLNVAL) != 0 || (entry.revents & POLLERR) != 0) {
            return -1;
        }
        // A hang-up still lets the caller read what the driver sent before it; recv then reports the end.
        return 1;
    }
}

bool UnixUsbConnection::SendAll(const uint8_t* data, size_t count, const Deadline& deadline) {
    size_t sent = 0;
    while (sent < count) {
        const ssize_t moved = send(m_fd, data + sent, count - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
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
        if (WaitReady(POLLOUT, deadline) != 1) {
            return false;
        }
    }
    return true;
}

bool UnixUsbConnection::ReceiveAll(uint8_t* data, size_t count, const Deadline& deadline) {
    size_t received = 0;
    while (received < count) {
        const ssize_t moved = recv(m_fd, data + received, count - received, MSG_DONTWAIT);
        if (moved > 0) {
            received += static_cast<size_t>(moved);
            continue;
        }
        if (moved == 0) {
            return false;  // the driver closed the connection mid-answer
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            return false;
        }
        if (WaitReady(POLLIN, deadline) != 1) {
            return false;
        }
    }
    return true;
}

bool UnixUsbConnection::HasStrayInput() {
    uint8_t probe = 0;
    for (;;) {
        const ssize_t moved = recv(m_fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
        if (moved < 0 && errno == EINTR) {
            continue;
        }
        if (moved < 0) {
            return errno != EAGAIN && errno != EWOULDBLOCK;
        }
        return true;  // a byte nobody asked for, or the end of the stream
    }
}

void UnixUsbConnection::CloseConnection() {
    if (m_fd < 0) {
        return;
    }
    close(m_fd);
    m_fd = -1;
}

}  // namespace

std::unique_ptr<IUsbConnection> ConnectUsbDriver(const char* socketPath, uint32_t requestLimitMs) {
    int errorNumber = 0;
    return ConnectUsbDriver(socketPath, errorNumber, requestLimitMs);
}

std::unique_ptr<IUsbConnection> ConnectUsbDriver(const char* socketPath, int& errorNumber,
                                                 uint32_t requestLimitMs) {
    errorNumber = 0;
    if (socketPath == nullptr) {
        errorNumber = ENOENT;
        return nullptr;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const size_t pathLength = std::strlen(socketPath);
    if (pathLength == 0 || pathLength >= sizeof address.sun_path) {
        errorNumber = pathLength == 0 ? ENOENT : ENAMETOOLONG;
        return nullptr;
    }
    std::memcpy(address.sun_path, socketPath, pathLength + 1);

    // Non-blocking from the start: a driver whose backlog is full refuses at once instead of holding
    // the open.
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        errorNumber = errno;
        return nullptr;
    }
    int connected = -1;
    do {
        connected = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (connected < 0 && errno == EINTR);
    if (connected < 0 && errno != EISCONN) {
        errorNumber = errno;
        close(fd);
        return nullptr;
    }
    return std::make_unique<UnixUsbConnection>(fd, requestLimitMs);
}

}  // namespace platform
