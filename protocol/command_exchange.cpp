// The command exchange with the camera: 8-byte command packets answered by one acknowledgement byte,
// data packets closed by an XOR check byte, the completion byte, the access exchange that opens the
// update mode, and every command of the camera's command set. All packet bytes sit at PacketOffset()
// in the link buffers, so the same code drives the serial and the USB link.
#include "protocol/camera_session.h"

#include <cstring>

#include "common/clock.h"
#include "wire/byte_codes.h"
#include "wire/timing.h"

// The buffers must exist; a link without a handle is left to fail its own transfer, so that the
// transfer's detail code (a write to a released USB handle: 216) records what failed.
bool CCameraSession::IsLinkReady() const {
    return m_sendBuffer != nullptr && m_recvBuffer != nullptr && (IsSerial() || IsUsb());
}

void CCameraSession::BeginCommand() {
    std::memset(m_command, 0, sizeof m_command);
    m_command[7] = wire::BYTE_TERMINATOR;
}

int32_t CCameraSession::SendCommand() {
    if (!IsLinkReady()) {
        return LINK_FAILED;
    }
    if (IsSerial()) {
        PurgePort(PURGE_BOTH);
    }
    // The camera needs 100 ms between the end of one exchange and the next command, to the microsecond.
    DelaySinceMs(m_lastExchangeTime, wire::COMMAND_SPACING_MS);
    std::memcpy(m_sendBuffer + PacketOffset(), m_command, sizeof m_command);

    const int attempts = m_commandAttempts > 1 ? m_commandAttempts : 1;
    const bool slowAck = m_command[0] == wire::CMD_CHECKSUM || m_command[0] == wire::CMD_RESET;
    for (int used = 0;;) {
        m_sendLength = wire::COMMAND_PACKET_SIZE;
        const int32_t written = LinkWrite(wire::WRITE_TIMEOUT_MS);
        if (written != LINK_OK) {
            return written;  // a write that failed is not repeated
        }
        if (slowAck) {
            // The checksum and the reset keep the camera from answering for a while.
            DelayMs(wire::SLOW_ACK_PAUSE_MS);
        }
        const int32_t reply = AwaitReply(wire::BYTE_ACK, wire::BYTE_REFUSED);
        if (reply == RESULT_OK || reply == RESULT_REFUSED) {
            return reply;  // a refused command is never repeated
        }
        if (++used >= attempts) {
            return RESULT_NO_REPLY;
        }
    }
}

int32_t CCameraSession::AwaitReply(uint8_t expected, uint8_t refusal) {
    if (!IsLinkReady()) {
        return LINK_FAILED;
    }
    const uint32_t start = TickCount();
    for (;;) {
        m_recvLength = 1;
        const int32_t status = LinkRead(wire::REPLY_TIMEOUT_MS);
        if (status != LINK_OK) {
            return status;
        }
        const uint8_t byte = m_recvBuffer[PacketOffset()];
        if (byte == expected) {
            return RESULT_OK;
        }
        if (byte == refusal) {
            return RESULT_REFUSED;
        }
        if (byte != wire::BYTE_BUSY) {
            return RESULT_NO_REPLY;
        }
        if (ElapsedMs(start, TickCount()) > wire::REPLY_BUSY_LIMIT_MS) {
            return RESULT_NO_REPLY;
        }
    }
}

int32_t CCameraSession::AwaitCompletion(uint32_t timeoutMs, bool busyPastTimeOutIsDone) {
    const uint32_t start = TickCount();
    int32_t status = LINK_FAILED;
    while (IsLinkReady()) {
        m_recvLength = 1;
        status = LinkRead(timeoutMs);
        if (status != LINK_OK) {
            break;
        }
        const uint8_t byte = m_recvBuffer[PacketOffset()];
        if (byte == wire::BYTE_COMPLETION) {
            status = RESULT_OK;
            break;
        }
        if (byte != wire::BYTE_BUSY) {
            status = RESULT_BAD_COMPLETION;
            break;
        }
        // A camera still busy after the whole time-out is taken as done: the camera relies on this.
        if (ElapsedMs(start, TickCount()) > timeoutMs) {
            status = busyPastTimeOutIsDone ? RESULT_OK : RESULT_NO_REPLY;
            break;
        }
    }
    m_lastExchangeTime = StampNow();
    return status;
}

int32_t CCameraSession::SendDataPacket(const uint8_t* source, int32_t packetSize) {
    if (!IsLinkReady()) {
        return LINK_FAILED;
    }
    if (source == nullptr || packetSize < 2 || packetSize > LINK_BUFFER_SIZE - PacketOffset()) {
        return RESULT_NO_REPLY;
    }
    uint8_t* packet = m_sendBuffer + PacketOffset();
    const size_t payloadSize = static_cast<size_t>(packetSize - 1);
    std::memcpy(packet, source, payloadSize);
    packet[payloadSize] = wire::CheckByte(source, payloadSize);

    int32_t status = RESULT_REFUSED;
    for (int sending = 1; sending <= wire::DATA_PACKET_SENDINGS; ++sending) {
        m_sendLength = packetSize;
        status = LinkWrite(wire::WRITE_TIMEOUT_MS);
        if (status != LINK_OK) {
            continue;  // a failed write uses up one sending
        }
        status = AwaitReply(wire::BYTE_DATA_ACK, wire::BYTE_DATA_NAK);
        if (status != RESULT_REFUSED) {
            return status;
        }
    }
    return status;
}

int32_t CCameraSession::AccessExchange() {
    m_result = RESULT_OK;
    m_detailStatus = 0;
    if (!IsLinkReady()) {
        m_result = LINK_FAILED;
        return m_result;
    }
    std::memcpy(m_sendBuffer + PacketOffset(), wire::ACCESS_REQUEST, wire::ACCESS_STRING_LENGTH);
    m_sendLength = wire::ACCESS_STRING_LENGTH;
    if (IsSerial()) {
        PurgePort(PURGE_BOTH);
    }
    m_result = LinkWrite(wire::WRITE_TIMEOUT_MS);
    if (m_result != LINK_OK) {
        return m_result;
    }
    DelayMs(wire::ACCESS_REPLY_PAUSE_MS);

    m_recvLength = wire::ACCESS_STRING_LENGTH;
    m_result = LinkRead(wire::ACCESS_REPLY_TIMEOUT_MS);
    if (m_result != LINK_OK) {
        return m_result;
    }
    const char* expected = m_firmwareVersion >= wire::ACCESS_NEW_REPLY_MIN_VERSION ? wire::ACCESS_REPLY_NEW
                                                                                   : wire::ACCESS_REPLY_OLD;
    if (m_recvLength != wire::ACCESS_STRING_LENGTH ||
        std::memcmp(m_recvBuffer + PacketOffset(), expected, wire::ACCESS_STRING_LENGTH) != 0) {
        m_result = RESULT_REFUSED;
        return m_result;
    }
    m_result = SendControlByte(wire::BYTE_ACK);
    DelayMs(wire::ACCESS_ACK_PAUSE_MS);
    return m_result;
}

void CCameraSession::ToResultCode() {
    switch (m_result) {
        case 0:
            m_resultCode = CODE_OK;
            break;
        case 1:
            m_resultCode = CODE_BAD_SPEED;
            break;
        case 2:
            m_resultCode = CODE_NO_MEMORY;
            break;
        case 3:
        case 4:
        case 5:
        case 6:
        case 7:
        case 8:
        case 11:
        case 12:
        case 17:
            m_resultCode = CODE_TRANSFER_FAILED;
            break;
        case 10:
            m_resultCode = CODE_STOPPED;
            break;
        case 14:
        case 18:
            m_resultCode = CODE_NOT_READY;
            break;
        case 15:
            m_resultCode = CODE_STATUS_15;
            break;
        case 20:
            m_resultCode = CODE_STATUS_20;
            break;
        case 21:
            m_resultCode = CODE_USB_PROBE_FAILED;
            break;
        default:  // a plain integer, not an enum: every status not in the table
            m_resultCode = CODE_UNKNOWN;
            break;
    }
    m_result = RESULT_OK;
}

// ---- Command set ----

int32_t CCameraSession::WriteBlock(const uint8_t* source, int32_t block) {
    BeginCommand();
    m_command[0] = wire::CMD_WRITE_BLOCK;
    m_command[2] = static_cast<uint8_t>(block >> 8);  // block number, high byte
    m_command[3] = static_cast<uint8_t>(block);       // block number, low byte
    m_command[5] = 0x01;                              // one block follows
    int32_t status = SendCommand();
    if (status == RESULT_OK) {
        m_blockSize = IsUsb() ? wire::USB_PACKET_SIZE : wire::SERIAL_PACKET_SIZE;
        status = SendDataPacket(source, m_blockSize);
    }
    if (status == RESULT_OK) {
        status = AwaitCompletion(wire::COMPLETION_TIMEOUT_MS);
    }
    m_result = status;
    return status;
}

int32_t CCameraSession::EraseBlocks(int32_t unit) {
    BeginCommand();
    m_command[0] = wire::CMD_ERASE_BLOCKS;
    if (IsUsb()) {
        m_command[2] = 0x10;                             // erase by unit
        m_command[4] = static_cast<uint8_t>(unit >> 8);  // first unit, high byte
        m_command[5] = static_cast<uint8_t>(unit);       // first unit, low byte
    }
    int32_t status = SendCommand();
    // The camera starts erasing at once; give it its pause whether or not the command got through.
    DelayMs(wire::ERASE_PAUSE_MS);
    if (status == RESULT_OK) {
        status = AwaitCompletion(wire::ERASE_TIMEOUT_MS);
    }
    m_result = status;
    return status;
}

int32_t CCameraSession::SendChecksum(uint16_t checksum) {
    BeginCommand();
    m_command[0] = wire::CMD_CHECKSUM;
    m_command[2] = 0x00;                                 // checksum kind, high byte
    m_command[3] = 0x01;                                 // checksum kind, low byte
    m_command[4] = static_cast<uint8_t>(checksum);       // checksum, low byte first
    m_command[5] = static_cast<uint8_t>(checksum >> 8);  // checksum, high byte
    int32_t status = SendCommand();
    if (status == RESULT_OK) {
        DelayMs(wire::CHECKSUM_VERIFY_PAUSE_MS);
        // The completion byte is the camera's verdict on the flash it holds: busy bytes that outlast
        // the time-out confirm nothing, and an update must not be reported good without that verdict.
        status = AwaitCompletion(wire::COMPLETION_TIMEOUT_MS, false);
    }
    m_result = status;
    return status;
}

int32_t CCameraSession::SetCameraSpeed(int32_t speedCode) {
    if (!wire::IsSpeedCode(speedCode)) {
        m_result = RESULT_BAD_SPEED;
        m_detailStatus = DETAIL_BAD_SPEED;
        return m_result;
    }
    BeginCommand();
    m_command[0] = wire::CMD_SET_SPEED;
    m_command[2] = wire::SPEED_CODES[speedCode].high;  // rate digits, first two
    m_command[3] = wire::SPEED_CODES[speedCode].low;   // rate digits, next two
    if (SendCommand() != RESULT_OK) {
        m_result = RESULT_NOT_READY;
        return m_result;
    }
    // No completion byte: the camera switches its line after a short pause.
    DelayMs(wire::SPEED_SWITCH_PAUSE_MS);
    m_lastExchangeTime = StampNow();
    m_result = RESULT_OK;
    return m_result;
}

int32_t CCameraSession::ReadStatus() {
    BeginCommand();
    m_command[0] = wire::CMD_READ_STATUS;
    int32_t status = SendCommand();
    uint8_t block[wire::STATUS_BLOCK_SIZE] = {};
    if (status == RESULT_OK) {
        status = ReceiveBlock(block, wire::STATUS_BLOCK_SIZE, wire::STATUS_PACKET_SIZE,
                              PacketStart::AfterReadyByte);
    }
    if (status == RESULT_OK) {
        status = AwaitCompletion(wire::COMPLETION_TIMEOUT_MS);
    }
    if (status == RESULT_OK) {
        std::memcpy(m_statusBlock, block, sizeof m_statusBlock);
    }
    m_result = status;
    return status;
}

int32_t CCameraSession::SendSimpleCommand(uint8_t code) {
    BeginCommand();
    m_command[0] = code;  // no parameter bytes
    int32_t status = SendCommand();
    if (status == RESULT_OK) {
        status = AwaitCompletion(wire::COMPLETION_TIMEOUT_MS);
    }
    m_result = status;
    return status;
}

int32_t CCameraSession::RequestUpdateMode() {
    return SendSimpleCommand(wire::CMD_UPDATE_MODE);
}

int32_t CCameraSession::SendFlagFollowUp() {
    return SendSimpleCommand(wire::CMD_FLAG_FOLLOW_UP);
}

int32_t CCameraSession::SendSignOff() {
    return SendSimpleCommand(wire::CMD_SIGN_OFF);
}

int32_t CCameraSession::SendReset() {
    BeginCommand();
    m_command[0] = wire::CMD_RESET;
    int32_t status = SendCommand();
    if (status == RESULT_OK) {
        status = AwaitCompletion(wire::COMPLETION_TIMEOUT_MS);
    }
    if (status == RESULT_OK && IsSerial()) {
        SetLineSpeed(wire::SPEED_CODE_9600);  // the camera restarts at 9600 baud; the line follows
    }
    m_result = status;
    return status;
}
