// Data packet receive: fetches the camera's answers that come as data packets (payload bytes closed by
// an XOR check byte), checks and acknowledges each packet, and on the serial link asks the camera again
// when a packet is lost or damaged. On the serial link the camera may announce each packet with busy
// bytes and a ready byte; on the USB link one driver read brings the ready byte and the packet together.
#include <algorithm>
#include <cstring>

#include "common/clock.h"
#include "link/link_session.h"
#include "wire/byte_codes.h"
#include "wire/timing.h"

namespace {

constexpr int PACKET_READS = 5;
// Below this many tries left the reads switch to the polled regime, which tolerates pauses between bytes.
constexpr int POLLED_READS_BELOW = 3;

// Waits for the ready byte that announces a packet, skipping busy bytes for at most 10 seconds.
int32_t AwaitReadyByte(CLinkSession& link, ReadRegime regime) {
    link.m_recvLength = 1;
    const uint32_t start = TickCount();
    for (;;) {
        const int32_t status = link.SerialRead(wire::READY_READ_TIMEOUT_MS, regime);
        if (status != LINK_OK) {
            return status;
        }
        const uint8_t byte = link.m_recvBuffer[0];
        if (byte == wire::BYTE_READY) {
            return LINK_OK;
        }
        if (byte != wire::BYTE_BUSY) {
            return LINK_UNEXPECTED_BYTE;
        }
        if (ElapsedMs(start, TickCount()) > wire::READY_BUSY_LIMIT_MS) {
            link.m_detailStatus = DETAIL_CAMERA_BUSY;
            return LINK_CAMERA_BUSY;
        }
    }
}

// One serial packet: up to five reads, each damaged or lost packet asked for again with 0xE3. The last
// two reads use the polled regime; it lasts only for this packet.
int32_t ReceiveOneSerialPacket(CLinkSession& link, uint8_t* destination, int32_t count, PacketStart start) {
    ReadRegime regime = ReadRegime::Normal;
    const bool readyFirst = start == PacketStart::AfterReadyByte;
    if (readyFirst) {
        const int32_t ready = AwaitReadyByte(link, regime);
        if (ready != LINK_OK) {
            return ready;
        }
    }
    link.m_recvLength = link.m_blockSize;
    int triesLeft = PACKET_READS;
    for (;;) {
        const int32_t status = link.SerialRead(wire::PACKET_READ_TIMEOUT_MS, regime);
        if (status == LINK_OK) {
            const uint8_t* packet = link.m_recvBuffer;
            const size_t checked = static_cast<size_t>(link.m_blockSize - 1);
            if (wire::CheckByte(packet, checked) == packet[checked]) {
                std::memcpy(destination, packet, static_cast<size_t>(count));
                return link.SendControlByte(wire::BYTE_DATA_ACK);
            }
            if (--triesLeft == 0) {
                return LINK_TIMEOUT;
            }
        } else {
            if (status != LINK_TIMEOUT) {
                return LINK_TIMEOUT;  // the port failed: the packet cannot be received
            }
            // The camera gives up the transfer with a lone error byte.
            if (link.m_recvLength == 1 && link.m_recvBuffer[0] == wire::BYTE_ERROR) {
                return LINK_ERROR_BYTE;
            }
            if (--triesLeft == 0) {
                return LINK_TIMEOUT;
            }
            // Bytes still arriving mean the camera and the updater are out of step: give up.
            if (link.DrainInput() != LINK_OK) {
                return LINK_TIMEOUT;
            }
            if (triesLeft < POLLED_READS_BELOW) {
                regime = ReadRegime::Polled;
            }
        }
        link.SendControlByte(wire::BYTE_DATA_NAK);  // its result does not matter: the read decides
        if (readyFirst) {
            const int32_t ready = AwaitReadyByte(link, regime);
            if (ready != LINK_OK) {
                return ready;
            }
        }
        link.m_recvLength = link.m_blockSize;
    }
}

}  // namespace

int32_t CLinkSession::ReceiveBlock(uint8_t* destination, int32_t length, int32_t blockSize,
                                   PacketStart start) {
    m_blockSize = blockSize;
    // A USB read needs the pipe word, the ready byte and the packet in the receive buffer.
    const int32_t largestPacket = LINK_BUFFER_SIZE - wire::USB_PIPE_WORD_SIZE - 1;
    if (destination == nullptr || length < 0 || blockSize < 2 || blockSize > largestPacket ||
        m_recvBuffer == nullptr) {
        return LINK_TIMEOUT;
    }
    int32_t remaining = length;
    while (remaining > 0) {
        const int32_t count = std::min(m_blockSize - 1, remaining);
        int32_t status = LINK_FAILED;
        if (m_portKind == PORT_KIND_SERIAL) {
            status = ReceiveSerialBlock(destination, count, start);
        } else if (m_portKind == PORT_KIND_USB) {
            status = ReceiveUsbBlock(destination, count);
        }
        if (status != LINK_OK) {
            return status;
        }
        destination += count;
        remaining -= count;
    }
    return LINK_OK;
}

int32_t CLinkSession::ReceiveSerialBlock(uint8_t* destination, int32_t count, PacketStart start) {
    return ReceiveOneSerialPacket(*this, destination, count, start);
}

int32_t CLinkSession::ReceiveUsbBlock(uint8_t* destination, int32_t count) {
    m_recvLength = m_blockSize + 1;
    if (UsbRead(wire::PACKET_READ_TIMEOUT_MS) != LINK_OK) {
        return LINK_TIMEOUT;
    }
    // The ready byte comes first, at the packet offset; it is not examined. The packet follows it.
    const uint8_t* packet = m_recvBuffer + wire::USB_PIPE_WORD_SIZE + 1;
    const size_t checked = static_cast<size_t>(m_blockSize - 1);
    if (wire::CheckByte(packet, checked) != packet[checked]) {
        return LINK_TIMEOUT;  // no second try over USB, and no negative acknowledgement
    }
    std::memcpy(destination, packet, static_cast<size_t>(count));
    return SendControlByte(wire::BYTE_DATA_ACK);
}
