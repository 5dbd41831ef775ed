// The camera model: parses the updater's byte stream, answers it with timed camera bytes, keeps the flash
// and the checksum, and records what it saw for tests and the simulator's summary.
#include "sim/camera_model.h"

#include <algorithm>
#include <cstring>

#include "wire/byte_codes.h"

namespace sim {
namespace {

// Order on the wrapping millisecond counter.
bool IsBefore(uint32_t a, uint32_t b) {
    return static_cast<int32_t>(a - b) < 0;
}
bool IsAtOrBefore(uint32_t a, uint32_t b) {
    return static_cast<int32_t>(a - b) <= 0;
}

uint8_t HighByte(uint16_t value) {
    return static_cast<uint8_t>(value >> 8);
}
uint8_t LowByte(uint16_t value) {
    return static_cast<uint8_t>(value & 0xFF);
}

constexpr uint32_t DEFAULT_BUSY_INTERVAL_MS = 100;

}  // namespace

std::vector<uint8_t> DefaultDeviceDescriptor() {
    return {
        0x12, 0x01,        // length, type: device
        0x10, 0x01,        // USB 1.1
        0xFF, 0x00, 0x00,  // vendor-specific class, subclass, protocol
        0x40,              // endpoint 0 packet size
        0x0A, 0x0C,        // vendor
        0x10, 0x04,        // product
        0x00, 0x01,        // device release
        0x01, 0x02, 0x00,  // manufacturer, product, serial number strings
        0x01,              // one configuration
    };
}

std::vector<uint8_t> DefaultConfiguration() {
    return {
        // Configuration: length 9, type 2, total length 32, one interface, value 1, bus powered, 100 mA.
        0x09,
        0x02,
        0x20,
        0x00,
        0x01,
        0x01,
        0x00,
        0x80,
        0x32,
        // Interface 0: two endpoints, vendor-specific class.
        0x09,
        0x04,
        0x00,
        0x00,
        0x02,
        0xFF,
        0x00,
        0x00,
        0x00,
        // Bulk IN endpoint 2: the read pipe.
        0x07,
        0x05,
        DEFAULT_READ_PIPE,
        0x02,
        0x40,
        0x00,
        0x00,
        // Bulk OUT endpoint 1.
        0x07,
        0x05,
        0x01,
        0x02,
        0x40,
        0x00,
        0x00,
    };
}

CameraModel::CameraModel(const CameraConfig& config)
    : m_config(config),
      m_deviceDescriptor(config.deviceDescriptor.empty() ? DefaultDeviceDescriptor()
                                                         : config.deviceDescriptor),
      m_configuration(config.configuration.empty() ? DefaultConfiguration() : config.configuration),
      m_flash(FLASH_SIZE),
      m_unlocked(config.startUnlocked) {
    // The old firmware: a pattern that erasing must clear before blocks are programmed over it.
    for (uint32_t i = 0; i < FLASH_SIZE; ++i) {
        m_flash[i] = static_cast<uint8_t>((i * 31U + 7U) & 0xFFU);
    }
    if (config.initialFlash.size() == FLASH_SIZE) {
        m_flash = config.initialFlash;
    }
    m_writtenSinceErase.assign(FLASH_SIZE / BlockSize(), false);
}

uint32_t CameraModel::BlockSize() const {
    return m_config.link == LinkKind::Usb ? wire::USB_BLOCK_SIZE : wire::SERIAL_BLOCK_SIZE;
}

uint32_t CameraModel::DataPacketSize() const {
    return BlockSize() + 1;
}

uint32_t CameraModel::BaudRate() const {
    return wire::SPEED_CODES[m_speedCode].baudRate;
}

uint16_t CameraModel::ConfigurationTotalLength() const {
    if (m_configuration.size() < 4) {
        return static_cast<uint16_t>(m_configuration.size());
    }
    return static_cast<uint16_t>(m_configuration[2] | (m_configuration[3] << 8));
}

std::array<uint8_t, 256> CameraModel::StatusBlock() const {
    std::array<uint8_t, 256> block = {};
    const CameraConfig& c = m_config;
    block[1] = c.state;
    block[2] = c.versionMajor;
    block[3] = c.versionMinor;
    block[11] = c.flags;
    block[14] = HighByte(c.counter);
    block[15] = LowByte(c.counter);
    for (size_t i = 0; i < 32; ++i) {
        block[28 + i] = i < c.name.size() ? static_cast<uint8_t>(c.name[i]) : static_cast<uint8_t>(' ');
    }
    block[60] = HighByte(c.selectedValues[2]);
    block[61] = LowByte(c.selectedValues[2]);
    block[62] = HighByte(c.selectedValues[1]);
    block[63] = LowByte(c.selectedValues[1]);
    block[64] = HighByte(c.selectedValues[0]);
    block[65] = LowByte(c.selectedValues[0]);
    block[79] = c.sizeFlag;
    block[80] = c.selector;
    block[88] = HighByte(c.year);
    block[89] = LowByte(c.year);
    block[90] = c.month;
    block[91] = c.day;
    block[92] = c.hour;
    block[93] = c.minute;
    block[94] = c.second;
    return block;
}

uint32_t CameraModel::VersionWord() const {
    const uint32_t major = m_config.versionMajor;
    const uint32_t minor = m_config.versionMinor;
    return ((major / 10) << 24) | ((major % 10) << 16) | ((minor >> 4) << 8) | (minor & 0x0F);
}

// ---- Line and output queue ----

void CameraModel::ApplyPendingSpeed(uint32_t nowMs) {
    if (m_pendingSpeed && IsAtOrBefore(m_pendingSpeed->first, nowMs)) {
        m_speedCode = m_pendingSpeed->second;
        m_pendingSpeed.reset();
    }
}

uint32_t CameraModel::RateAt(uint32_t atMs) const {
    if (m_pendingSpeed && IsAtOrBefore(m_pendingSpeed->first, atMs)) {
        return wire::SPEED_CODES[m_pendingSpeed->second].baudRate;
    }
    return BaudRate();
}

uint32_t CameraModel::Emit(uint32_t atMs, uint8_t byte) {
    uint32_t due = atMs;
    uint32_t carryUs = 0;
    if (m_haveQueued && !IsBefore(m_lastDueMs, due)) {
        // The line is still sending earlier bytes: this one follows them.
        due = m_lastDueMs;
        carryUs = m_paceCarryUs;
    }
    const uint32_t baud = RateAt(due);
    if (m_config.pacing && m_config.link == LinkKind::Serial && baud != 0) {
        carryUs += 10'000'000U / baud;  // 10 bit times: start, 8 data, stop
        due += carryUs / 1000;
        carryUs %= 1000;
    }
    m_out.push_back({due, byte, baud});
    m_haveQueued = true;
    m_lastDueMs = due;
    m_paceCarryUs = carryUs;
    return due;
}

uint32_t CameraModel::EmitBytes(uint32_t atMs, const uint8_t* data, size_t count) {
    uint32_t due = atMs;
    for (size_t i = 0; i < count; ++i) {
        due = Emit(atMs, data[i]);
    }
    return due;
}

std::optional<uint32_t> CameraModel::EmitReply(uint32_t atMs, uint8_t command, ReplyPoint point,
                                               uint8_t byte) {
    const bool noBusyBeforePacket = point == ReplyPoint::Ready && m_config.link == LinkKind::Usb;
    uint32_t busyMs = 0;
    bool endless = false;
    for (const BusyFault& fault : m_config.faults.busy) {
        if (noBusyBeforePacket || fault.point != point || (fault.command != 0 && fault.command != command)) {
            continue;
        }
        endless = endless || fault.endless;
        busyMs = std::max(busyMs, fault.durationMs);
    }
    const uint32_t interval =
        m_config.times.busyIntervalMs != 0 ? m_config.times.busyIntervalMs : DEFAULT_BUSY_INTERVAL_MS;
    if (endless) {
        m_endlessBusyNextMs = m_haveQueued && IsBefore(atMs, m_lastDueMs) ? m_lastDueMs : atMs;
        m_phase = Phase::Gone;
        return std::nullopt;
    }
    for (uint32_t elapsed = 0; elapsed < busyMs; elapsed += interval) {
        Emit(atMs + elapsed, wire::BYTE_BUSY);
    }
    return Emit(atMs + busyMs, byte);
}

bool CameraModel::PopDue(uint32_t nowMs, uint32_t hostBaud, OutputByte& out) {
    const bool queuedDue = !m_out.empty() && IsAtOrBefore(m_out.front().dueMs, nowMs);
    const bool endlessDue = m_endlessBusyNextMs && IsAtOrBefore(*m_endlessBusyNextMs, nowMs);
    if (!queuedDue && !endlessDue) {
        return false;
    }
    uint32_t baud = 0;
    if (queuedDue && (!endlessDue || IsAtOrBefore(m_out.front().dueMs, *m_endlessBusyNextMs))) {
        const Pending pending = m_out.front();
        m_out.pop_front();
        out.value = pending.value;
        out.dueMs = pending.dueMs;
        baud = pending.baud;
    } else {
        out.value = wire::BYTE_BUSY;
        out.dueMs = *m_endlessBusyNextMs;
        baud = RateAt(out.dueMs);
        const uint32_t interval =
            m_config.times.busyIntervalMs != 0 ? m_config.times.busyIntervalMs : DEFAULT_BUSY_INTERVAL_MS;
        *m_endlessBusyNextMs += interval;
    }
    out.lost = hostBaud != 0 && baud != hostBaud;
    return true;
}

std::vector<OutputByte> CameraModel::TakeDue(uint32_t nowMs, uint32_t hostBaud) {
    ApplyPendingSpeed(nowMs);
    std::vector<OutputByte> bytes;
    OutputByte byte;
    while (PopDue(nowMs, hostBaud, byte)) {
        bytes.push_back(byte);
    }
    return bytes;
}

size_t CameraModel::Transmit(uint8_t* out, size_t max, uint32_t nowMs, uint32_t hostBaud) {
    ApplyPendingSpeed(nowMs);
    size_t count = 0;
    OutputByte byte;
    while (count < max && PopDue(nowMs, hostBaud, byte)) {
        if (!byte.lost) {
            out[count++] = byte.value;
        }
    }
    return count;
}

std::optional<uint32_t> CameraModel::NextOutputTime() const {
    std::optional<uint32_t> next = m_endlessBusyNextMs;
    if (!m_out.empty() && (!next || IsBefore(m_out.front().dueMs, *next))) {
        next = m_out.front().dueMs;
    }
    return next;
}

void CameraModel::SetBreak(bool on, uint32_t nowMs) {
    ApplyPendingSpeed(nowMs);
    m_breakOn = on;
    if (!on) {
        return;
    }
    // A break resets the camera's serial interface: back to 9600 baud, half-sent answers and half-received
    // packets are dropped.
    m_speedCode = wire::SPEED_CODE_MIN;
    m_pendingSpeed.reset();
    m_out.clear();
    m_haveQueued = false;
    m_rx.clear();
    if (m_phase != Phase::Gone) {
        m_phase = Phase::Idle;
    }
}

// ---- Input ----

size_t CameraModel::Receive(const uint8_t* data, size_t count, uint32_t nowMs, uint32_t hostBaud) {
    ApplyPendingSpeed(nowMs);
    if (m_config.faults.silent || m_phase == Phase::Gone || m_breakOn) {
        return 0;
    }
    if (hostBaud != 0 && hostBaud != BaudRate()) {
        return 0;
    }
    // A packet that stopped arriving is abandoned, as is a data packet that never started.
    const uint32_t gapMs = m_config.times.packetGapMs;
    if (!m_rx.empty() && nowMs - m_lastRxMs > gapMs) {
        m_rx.clear();
        if (m_phase == Phase::AwaitDataPacket) {
            m_phase = Phase::Idle;
        }
    }
    if (m_phase == Phase::AwaitDataPacket && m_rx.empty() && IsBefore(m_phaseSinceMs, nowMs) &&
        nowMs - m_phaseSinceMs > gapMs) {
        m_phase = Phase::Idle;
    }
    for (size_t i = 0; i < count; ++i) {
        TakeByte(data[i], nowMs);
    }
    m_lastRxMs = nowMs;
    return count;
}

void CameraModel::TakeByte(uint8_t byte, uint32_t nowMs) {
    switch (m_phase) {
        case Phase::Gone:
            return;
        case Phase::AwaitDataPacket:
            m_rx.push_back(byte);
            if (m_rx.size() == DataPacketSize()) {
                HandleDataPacket(nowMs);
            }
            return;
        case Phase::AwaitStatusAnswer:
            if (byte == wire::BYTE_DATA_ACK) {
                m_phase = Phase::Idle;
                EmitReply(nowMs + m_config.times.completionMs, wire::CMD_READ_STATUS, ReplyPoint::Completion,
                          wire::BYTE_COMPLETION);
                return;
            }
            if (byte == wire::BYTE_DATA_NAK) {
                SendStatusPacket(nowMs + m_config.times.readyMs);
                return;
            }
            m_phase = Phase::Idle;
            break;
        case Phase::AwaitAccessAck:
            m_phase = Phase::Idle;
            if (byte == wire::BYTE_ACK) {
                m_unlocked = true;
                return;
            }
            break;
        case Phase::Idle:
            break;
    }
    m_rx.push_back(byte);
    ParseIdle(nowMs);
}

void CameraModel::ParseIdle(uint32_t nowMs) {
    for (;;) {
        if (m_rx.empty()) {
            return;
        }
        // Stray control bytes of the updater start nothing.
        const uint8_t first = m_rx.front();
        if (first == wire::BYTE_ACK || first == wire::BYTE_DATA_ACK || first == wire::BYTE_DATA_NAK) {
            m_rx.erase(m_rx.begin());
            continue;
        }
        size_t used = 0;
        const size_t accessMatch = static_cast<size_t>(
            std::mismatch(m_rx.begin(), m_rx.begin() + static_cast<long>(std::min<size_t>(m_rx.size(), 12)),
                          wire::ACCESS_REQUEST)
                .first -
            m_rx.begin());
        if (accessMatch == m_rx.size() && accessMatch < wire::ACCESS_STRING_LENGTH) {
            return;  // so far the access string: wait for the rest
        }
        if (accessMatch == wire::ACCESS_STRING_LENGTH) {
            used = wire::ACCESS_STRING_LENGTH;
            HandleAccessString(nowMs);
        } else if (m_rx.size() < wire::COMMAND_PACKET_SIZE) {
            return;
        } else if (m_rx[wire::COMMAND_PACKET_SIZE - 1] == wire::BYTE_TERMINATOR) {
            std::array<uint8_t, 8> packet = {};
            std::copy_n(m_rx.begin(), packet.size(), packet.begin());
            used = wire::COMMAND_PACKET_SIZE;
            HandleCommand(packet, nowMs);
        } else {
            m_rx.erase(m_rx.begin());  // not a packet boundary: slide by one byte
            continue;
        }
        // Bytes after the item belong to whatever the camera now expects.
        std::vector<uint8_t> rest(m_rx.begin() + static_cast<long>(used), m_rx.end());
        m_rx.clear();
        for (uint8_t byte : rest) {
            TakeByte(byte, nowMs);
        }
        return;
    }
}

// ---- Commands ----

void CameraModel::HandleCommand(const std::array<uint8_t, 8>& packet, uint32_t nowMs) {
    CommandRecord record;
    record.code = packet[0];
    std::copy(packet.begin() + 1, packet.begin() + 7, record.params.begin());
    record.timeMs = nowMs;
    m_commands.push_back(record);

    const uint8_t code = packet[0];
    const uint32_t ackAt = nowMs + m_config.times.ackMs;
    if (m_config.faults.refuseCommand && *m_config.faults.refuseCommand == code) {
        Emit(ackAt, wire::BYTE_REFUSED);
        return;
    }
    const bool needsUnlock =
        code == wire::CMD_ERASE_BLOCKS || code == wire::CMD_WRITE_BLOCK || code == wire::CMD_CHECKSUM;
    if (needsUnlock && !m_unlocked) {
        Emit(ackAt, wire::BYTE_REFUSED);
        return;
    }
    const ResponseTimes& times = m_config.times;
    std::optional<uint32_t> ack;
    switch (code) {
        case wire::CMD_READ_STATUS:
            StartStatusRead(nowMs);
            return;
        case wire::CMD_SET_SPEED:
            SpeedCommand(packet, ackAt);
            return;
        case wire::CMD_ERASE_BLOCKS:
            EraseCommand(packet, ackAt);
            return;
        case wire::CMD_WRITE_BLOCK:
            WriteCommand(packet, ackAt);
            return;
        case wire::CMD_CHECKSUM: {
            const uint16_t received = static_cast<uint16_t>(packet[4] | (packet[5] << 8));  // low byte first
            const uint16_t computed = ComputeChecksum();
            m_checksumReceived = received;
            m_checksumComputed = computed;
            ack = EmitReply(ackAt, code, ReplyPoint::Ack, wire::BYTE_ACK);
            if (!ack) {
                return;
            }
            const bool match = received == computed && !m_config.faults.checksumAlwaysMismatch;
            EmitReply(*ack + times.checksumMs, code, ReplyPoint::Completion,
                      match ? wire::BYTE_COMPLETION : CHECKSUM_FAILURE_BYTE);
            return;
        }
        case wire::CMD_UPDATE_MODE:
        case wire::CMD_FLAG_FOLLOW_UP:
        case wire::CMD_SIGN_OFF:
            ack = EmitReply(ackAt, code, ReplyPoint::Ack, wire::BYTE_ACK);
            if (!ack) {
                return;
            }
            EmitReply(*ack + times.completionMs, code, ReplyPoint::Completion, wire::BYTE_COMPLETION);
            if (code == wire::CMD_UPDATE_MODE) {
                m_updateModeRequested = true;
            }
            if (code == wire::CMD_SIGN_OFF) {
                m_unlocked = false;
                m_updateModeRequested = false;
            }
            return;
        case wire::CMD_RESET: {
            ack = EmitReply(ackAt, code, ReplyPoint::Ack, wire::BYTE_ACK);
            if (!ack) {
                return;
            }
            const std::optional<uint32_t> done =
                EmitReply(*ack + times.resetMs, code, ReplyPoint::Completion, wire::BYTE_COMPLETION);
            m_resetSeen = true;
            m_unlocked = false;
            m_updateModeRequested = false;
            if (done) {
                // The camera restarts: its line comes back at 9600 baud.
                m_pendingSpeed =
                    std::make_pair(*done + std::max<uint32_t>(times.restartMs, 1), wire::SPEED_CODE_MIN);
            }
            return;
        }
        default:
            Emit(ackAt, wire::BYTE_REFUSED);
            return;
    }
}

void CameraModel::SpeedCommand(const std::array<uint8_t, 8>& packet, uint32_t ackAtMs) {
    int code = 0;
    for (int c = wire::SPEED_CODE_MIN; c <= wire::SPEED_CODE_MAX; ++c) {
        if (wire::SPEED_CODES[c].high == packet[2] && wire::SPEED_CODES[c].low == packet[3]) {
            code = c;
        }
    }
    if (code == 0) {
        Emit(ackAtMs, wire::BYTE_REFUSED);
        return;
    }
    // The acknowledgement goes out at the old rate; the camera switches once it has left.
    const std::optional<uint32_t> ack =
        EmitReply(ackAtMs, wire::CMD_SET_SPEED, ReplyPoint::Ack, wire::BYTE_ACK);
    if (!ack) {
        return;
    }
    m_speedsUsed.push_back(code);
    switch (m_config.faults.speed) {
        case SpeedFault::None:
            break;
        case SpeedFault::SwitchElsewhere:
            code = code == wire::SPEED_CODE_MAX ? wire::SPEED_CODE_MAX - 1 : code + 1;
            break;
        case SpeedFault::StayPut:
            return;
    }
    m_pendingSpeed = std::make_pair(*ack + 1, code);
}

void CameraModel::EraseCommand(const std::array<uint8_t, 8>& packet, uint32_t ackAtMs) {
    uint32_t start = 0;
    uint32_t length = FLASH_SIZE;
    const bool allZero =
        std::all_of(packet.begin() + 1, packet.begin() + 7, [](uint8_t b) { return b == 0; });
    if (packet[2] == 0x10) {
        // One erase unit: 16 blocks of 4096 bytes from unit * 4096.
        const uint32_t unit = static_cast<uint32_t>((packet[4] << 8) | packet[5]);
        start = unit * wire::USB_BLOCK_SIZE;
        length = wire::USB_ERASE_UNIT_STEP * wire::USB_BLOCK_SIZE;
        if (start + length > FLASH_SIZE) {
            Emit(ackAtMs, wire::BYTE_REFUSED);
            return;
        }
    } else if (!allZero) {
        Emit(ackAtMs, wire::BYTE_REFUSED);
        return;
    }
    ++m_eraseCommands;
    // The checksum covers the blocks written since the erase that began this download.
    if (m_anyWrittenSinceErase) {
        std::fill(m_writtenSinceErase.begin(), m_writtenSinceErase.end(), false);
        m_anyWrittenSinceErase = false;
    }
    std::fill(m_flash.begin() + start, m_flash.begin() + start + length, static_cast<uint8_t>(0xFF));
    const std::optional<uint32_t> ack =
        EmitReply(ackAtMs, wire::CMD_ERASE_BLOCKS, ReplyPoint::Ack, wire::BYTE_ACK);
    if (!ack || m_config.faults.eraseNeverCompletes) {
        return;
    }
    EmitReply(*ack + m_config.times.eraseMs, wire::CMD_ERASE_BLOCKS, ReplyPoint::Completion,
              wire::BYTE_COMPLETION);
}

void CameraModel::WriteCommand(const std::array<uint8_t, 8>& packet, uint32_t ackAtMs) {
    const uint32_t block = static_cast<uint32_t>((packet[2] << 8) | packet[3]);
    if (packet[5] != 0x01 || block >= FLASH_SIZE / BlockSize()) {
        Emit(ackAtMs, wire::BYTE_REFUSED);
        return;
    }
    if (m_config.faults.silentFromBlock && block >= *m_config.faults.silentFromBlock) {
        m_phase = Phase::Gone;
        return;
    }
    const std::optional<uint32_t> ack =
        EmitReply(ackAtMs, wire::CMD_WRITE_BLOCK, ReplyPoint::Ack, wire::BYTE_ACK);
    if (!ack) {
        return;
    }
    m_currentBlock = block;
    m_phase = Phase::AwaitDataPacket;
    m_phaseSinceMs = *ack;
}

void CameraModel::HandleDataPacket(uint32_t nowMs) {
    const uint32_t size = BlockSize();
    const uint8_t check = wire::CheckByte(m_rx.data(), size);
    const uint32_t ackAt = nowMs + m_config.times.ackMs;
    const CameraFaults& faults = m_config.faults;
    const bool refuse = faults.refuseBlock && *faults.refuseBlock == m_currentBlock &&
                        m_blockRefusalsGiven < faults.refuseBlockTimes;
    if (refuse || check != m_rx[size]) {
        if (refuse) {
            ++m_blockRefusalsGiven;
        }
        ++m_dataRefused;
        m_rx.clear();
        m_phaseSinceMs = Emit(ackAt, wire::BYTE_DATA_NAK);
        return;
    }
    // Flash programming only clears bits: a block written over unerased flash comes out wrong.
    const uint32_t offset = m_currentBlock * size;
    for (uint32_t i = 0; i < size; ++i) {
        m_flash[offset + i] &= m_rx[i];
    }
    m_rx.clear();
    m_writtenSinceErase[m_currentBlock] = true;
    m_anyWrittenSinceErase = true;
    m_blocksWritten.push_back(m_currentBlock);
    m_phase = Phase::Idle;
    const uint32_t acked = Emit(ackAt, wire::BYTE_DATA_ACK);
    EmitReply(acked + m_config.times.blockWriteMs, wire::CMD_WRITE_BLOCK, ReplyPoint::Completion,
              wire::BYTE_COMPLETION);
}

uint16_t CameraModel::ComputeChecksum() const {
    // XOR of the little-endian 16-bit words of every block written since the erase, read back from flash.
    const uint32_t size = BlockSize();
    uint16_t sum = 0;
    for (uint32_t block = 0; block < m_writtenSinceErase.size(); ++block) {
        if (!m_writtenSinceErase[block]) {
            continue;
        }
        for (uint32_t i = block * size; i < (block + 1) * size; i += 2) {
            sum ^= static_cast<uint16_t>(m_flash[i] | (m_flash[i + 1] << 8));
        }
    }
    return sum;
}

void CameraModel::StartStatusRead(uint32_t nowMs) {
    const std::optional<uint32_t> ack =
        EmitReply(nowMs + m_config.times.ackMs, wire::CMD_READ_STATUS, ReplyPoint::Ack, wire::BYTE_ACK);
    if (!ack) {
        return;
    }
    SendStatusPacket(*ack + m_config.times.readyMs);
}

void CameraModel::SendStatusPacket(uint32_t atMs) {
    const std::optional<uint32_t> ready =
        EmitReply(atMs, wire::CMD_READ_STATUS, ReplyPoint::Ready, wire::BYTE_READY);
    if (!ready) {
        return;
    }
    CameraFaults& faults = m_config.faults;
    if (m_statusErrorsGiven < faults.statusErrorTimes) {
        ++m_statusErrorsGiven;
        Emit(*ready, wire::BYTE_ERROR);
        m_phase = Phase::Idle;
        return;
    }
    const std::array<uint8_t, 256> block = StatusBlock();
    uint8_t check = wire::CheckByte(block.data(), block.size());
    if (m_statusCorruptionsGiven < faults.corruptStatusCheckTimes) {
        ++m_statusCorruptionsGiven;
        check = static_cast<uint8_t>(check ^ 0xFF);
    }
    EmitBytes(*ready, block.data(), block.size());
    Emit(*ready, check);
    m_phase = Phase::AwaitStatusAnswer;
}

void CameraModel::HandleAccessString(uint32_t nowMs) {
    ++m_accessStrings;
    // Outside update mode the camera does not know the access string.
    if (!m_unlocked && !m_updateModeRequested) {
        return;
    }
    bool newReply = VersionWord() >= wire::ACCESS_NEW_REPLY_MIN_VERSION;
    if (m_config.faults.wrongAccessReply) {
        newReply = !newReply;
    }
    const char* reply = newReply ? wire::ACCESS_REPLY_NEW : wire::ACCESS_REPLY_OLD;
    EmitBytes(nowMs + m_config.times.accessReplyMs, reinterpret_cast<const uint8_t*>(reply),
              wire::ACCESS_STRING_LENGTH);
    m_phase = Phase::AwaitAccessAck;
}

}  // namespace sim
