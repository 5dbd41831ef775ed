// The stand-in driver's socket side (forward.h), on Winsock. The driver runs in one of Wine's own
// processes (winedevice.exe), so Winsock is at hand; Wine 8's has no Unix-domain sockets (socket() with
// AF_UNIX fails with WSAEAFNOSUPPORT), hence the simulator's loopback port.
#include "forward.h"

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
// clang-format on

namespace {

constexpr uint32_t FRAME_HEADER_SIZE = 8;

void StoreLe32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

uint32_t LoadLe32(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
           static_cast<uint32_t>(at[2]) << 16 | static_cast<uint32_t>(at[3]) << 24;
}

bool SendAll(SOCKET link, const uint8_t* data, uint32_t count) {
    while (count > 0) {
        const int moved = send(link, reinterpret_cast<const char*>(data), static_cast<int>(count), 0);
        if (moved <= 0) {
            return false;
        }
        data += moved;
        count -= static_cast<uint32_t>(moved);
    }
    return true;
}

bool ReceiveAll(SOCKET link, uint8_t* data, uint32_t count) {
    while (count > 0) {
        const int moved = recv(link, reinterpret_cast<char*>(data), static_cast<int>(count), 0);
        if (moved <= 0) {
            return false;
        }
        data += moved;
        count -= static_cast<uint32_t>(moved);
    }
    return true;
}

}  // namespace

int ForwardStartup() {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

uintptr_t ForwardConnect(uint16_t port) {
    sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const SOCKET link = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (link == INVALID_SOCKET) {
        return 0;
    }
    // Every request is one small frame waited for: no coalescing.
    const BOOL noDelay = TRUE;
    setsockopt(link, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
    if (connect(link, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        closesocket(link);
        return 0;
    }
    return static_cast<uintptr_t>(link);
}

ForwardResult ForwardExchange(uintptr_t link, uint32_t controlCode, uint8_t* buffer, uint32_t length,
                              uint32_t capacity, uint32_t* status, uint32_t* answerLength) {
    const SOCKET socket = static_cast<SOCKET>(link);
    uint8_t header[FRAME_HEADER_SIZE];
    StoreLe32(header, controlCode);
    StoreLe32(header + 4, length);
    if (!SendAll(socket, header, sizeof header) || !SendAll(socket, buffer, length)) {
        return FORWARD_BROKEN;
    }
    if (!ReceiveAll(socket, header, sizeof header)) {
        return FORWARD_BROKEN;
    }
    *status = LoadLe32(header);
    *answerLength = LoadLe32(header + 4);
    if (*answerLength > capacity) {
        return FORWARD_BROKEN;
    }
    return ReceiveAll(socket, buffer, *answerLength) ? FORWARD_ANSWERED : FORWARD_BROKEN;
}

void ForwardInterrupt(uintptr_t link) {
    shutdown(static_cast<SOCKET>(link), SD_BOTH);
}

void ForwardClose(uintptr_t link) {
    closesocket(static_cast<SOCKET>(link));
}
