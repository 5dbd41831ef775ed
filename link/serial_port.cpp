// The serial port link: opening "COM1".."COM9" at 9600 8N1, writing the send buffer with its
// output-queue wait, the two read regimes, purges, break, speed changes and the close.
//
// The camera's protocol was built on a serial interface with driver-side time-outs and synchronous
// writes. The platform port (platform::ISerialPort) offers only non-blocking transfers, queue counts
// and waits, so both are rebuilt here on the installed clock:
//  - a normal read ends when all bytes came, when 30 ms pass after a byte without the next one, or when
//    the read's time-out has passed in all;
//  - a polled read watches the input count and tolerates gaps below a second;
//  - a write delivers every byte and returns once the port's output queue is empty.
// Every wait goes through ISerialPort::WaitReadable/WaitWritable or DelayMs, never a bare clock loop.
#include "link/link_session.h"

#include <algorithm>
#include <cerrno>

#include "common/clock.h"
#include "common/memory.h"
#include "wire/byte_codes.h"
#include "wire/timing.h"

namespace {

constexpr int32_t PORT_NAME_BUFFER_SIZE = 20;

using wire::POLLED_GAP_LIMIT_MS;
using wire::READ_INTERVAL_MS;

// A failed call on the port: keep its errno, record which step failed.
int32_t FailSerialCall(CLinkSession& link, int16_t detail) {
    link.m_systemError = link.m_hSerial->LastError();
    link.m_cause = CauseOfTransferError(link.m_systemError);
    link.m_detailStatus = detail;
    return LINK_FAILED;
}

// A failed transfer: the call's errno kept, then the line's error state cleared once more (as after
// every failed transfer).
int32_t FailSerialTransfer(CLinkSession& link, int16_t detail) {
    const int32_t status = FailSerialCall(link, detail);
    platform::QueueState queues;
    link.m_hSerial->GetQueueState(queues);
    return status;
}

// A port that could not be opened or set up: the system's reason kept.
int32_t FailSerialOpen(CLinkSession& link, int errorNumber) {
    link.m_systemError = errorNumber;
    link.m_cause = CauseOfOpenError(errorNumber);
    link.m_detailStatus = DETAIL_SERIAL_OPEN;
    return LINK_FAILED;
}

// A port just opened: proven a terminal and its queues readable, then after the settling pause set to
// 9600 8N1. False when any step fails (the port's LastError tells why).
bool SetUpOpenedPort(platform::ISerialPort& port) {
    platform::QueueState queues;
    if (!port.IsSerialDevice() || !port.GetQueueState(queues)) {
        return false;
    }
    DelayMs(wire::OPEN_SETTLE_MS);
    return port.ConfigureLine(wire::BaudRateOfSpeedCode(wire::SPEED_CODE_9600)) && port.GetQueueState(queues);
}

// What the link learns of a serial adapter when it opens the port. An adapter that batches received
// bytes on a timer stretches every one-byte reply; low latency makes it hand them over at once. Best
// effort: a refusal changes nothing. The facts are read after it, so an FTDI timer reads what the
// request left.
CLinkSession::SerialAdapterState LearnSerialAdapter(platform::ISerialPort& port) {
    CLinkSession::SerialAdapterState adapter;
    adapter.lowLatency = port.RequestLowLatency();
    adapter.facts = port.AdapterFacts();
    adapter.flowControlHeld = port.OutputHeldByFlowControl();
    return adapter;
}

// A transfer length the link buffer cannot hold is a transfer that cannot be carried out, like a failed
// call; it must not read as "bad argument", which the result table shows as an invalid speed code.
bool FitsLinkBuffer(const uint8_t* buffer, int32_t length) {
    return buffer != nullptr && length >= 0 && length <= LINK_BUFFER_SIZE;
}

// The end of a normal read. A short one tells the caller how much came (a lone error byte is recognised
// this way) and drops whatever else is on its way.
int32_t EndNormalRead(CLinkSession& link, uint32_t received, uint32_t wanted) {
    if (received == wanted) {
        return LINK_OK;
    }
    if (received > 0) {
        link.m_recvLength = static_cast<int32_t>(received);
        link.PurgePort(PURGE_INPUT);
    }
    link.m_detailStatus = DETAIL_SERIAL_READ;
    return LINK_TIMEOUT;
}

// The polled read's gap rule: once bytes have come, input that stays away for POLLED_GAP_LIMIT_MS ends
// the read.
class InputGap {
  public:
    // Looks at the input count at `now`; false once input has stayed away too long.
    bool Note(uint32_t received, uint32_t inQueue, uint32_t now) {
        if (!m_watching) {
            m_watching = received > 0;
            m_lastSeenMs = now;
            return true;
        }
        if (inQueue > 0) {
            m_lastSeenMs = now;
            return true;
        }
        return ElapsedMs(m_lastSeenMs, now) < POLLED_GAP_LIMIT_MS;
    }
    // A wait of waitMs cut to end when the gap would reach the limit (at least 1 ms).
    uint32_t Bound(uint32_t waitMs, uint32_t now) const {
        if (!m_watching) {
            return waitMs;
        }
        const uint32_t gap = ElapsedMs(m_lastSeenMs, now);
        return std::min(waitMs, gap >= POLLED_GAP_LIMIT_MS ? 1u : POLLED_GAP_LIMIT_MS - gap);
    }

  private:
    bool m_watching = false;
    uint32_t m_lastSeenMs = 0;
};

// Waits until the port's output queue is empty (LINK_OK), checking every millisecond; a time-out once
// the deadline is exceeded.
int32_t AwaitEmptyOutput(CLinkSession& link, const Deadline& deadline) {
    for (;;) {
        platform::QueueState queues;
        if (!link.m_hSerial->GetQueueState(queues)) {
            return FailSerialCall(link, DETAIL_SERIAL_WRITE);
        }
        if (queues.outQueue == 0) {
            return LINK_OK;
        }
        if (deadline.Exceeded()) {
            link.m_detailStatus = DETAIL_SERIAL_WRITE;
            return LINK_TIMEOUT;
        }
        DelayMs(1);
    }
}

// Input waiting after a read that the inter-byte rule cut short is the rest of that packet, held back
// by the adapter beyond the rule's 30 ms: the mark of a latency timer above it (a camera that pauses
// in a packet does not exist; a lone error byte has no rest).
void NoteLateContinuation(CLinkSession::SerialAdapterState& adapter, const platform::QueueState& queues) {
    if (adapter.readCutByInterval && queues.inQueue > 0) {
        adapter.burstsSeen = true;
    }
}

}  // namespace

// Flow control that holds the output comes first (nothing reached the camera), then a latency that cuts
// its packets, then a break the adapter refused or may only fake (the CH341 driver sends a NUL at a low
// rate for chips without a break).
LinkCause CLinkSession::SerialAdapterCause() const {
    const SerialAdapterState& adapter = m_serialAdapter;
    if (adapter.flowControlHeld) {
        return LinkCause::FlowControlHeld;
    }
    const bool timerTooLong = adapter.facts.latencyTimerMs.has_value() &&
                              *adapter.facts.latencyTimerMs >= static_cast<int>(READ_INTERVAL_MS);
    if (timerTooLong || adapter.burstsSeen) {
        return LinkCause::AdapterLatency;
    }
    if (adapter.breakTried && (adapter.breakRefused || adapter.facts.driver == "ch341")) {
        return LinkCause::BreakNotSent;
    }
    return LinkCause::None;
}

// CreateFileA (exclusive) -> IDevices::OpenSerialPort: open + TIOCEXCL + flock.
// SetupComm(32780, 32780) -> IsSerialDevice: the tty's queues are the kernel's; what it proves is that
//   the file is a terminal.
// ClearCommError -> GetQueueState: FIONREAD and TIOCOUTQ.
// GetCommState/SetCommState -> ConfigureLine: tcgetattr, raw 8N1 at 9600, tcsetattr, DTR up.
int32_t CLinkSession::OpenSerialPort(int32_t portNumber) {
    // A port still open from before would stay locked and its buffers lost; close it first.
    if (m_hSerial != nullptr) {
        CloseSerialPort();
    }
    // A search being cut short (CutWaits) opens no further port.
    if (WaitsCut()) {
        m_detailStatus = DETAIL_SERIAL_OPEN;
        return LINK_FAILED;
    }
    char* portName = static_cast<char*>(AllocZeroed(PORT_NAME_BUFFER_SIZE));
    if (portName == nullptr) {
        m_detailStatus = DETAIL_NO_MEMORY;
        return LINK_NO_MEMORY;
    }
    // Only one digit fits the name; other numbers name no port.
    if (portNumber < 1 || portNumber > 9) {
        FreeBlock(portName);
        m_detailStatus = DETAIL_SERIAL_OPEN;
        return LINK_FAILED;
    }
    portName[0] = 'C';
    portName[1] = 'O';
    portName[2] = 'M';
    portName[3] = static_cast<char>('0' + portNumber);

    int errorNumber = 0;
    std::unique_ptr<platform::ISerialPort> port = m_devices.OpenSerialPort(portName, errorNumber);
    FreeBlock(portName);
    m_cause = LinkCause::None;
    if (port == nullptr) {
        FailSerialOpen(*this, errorNumber);
        if (m_cause == LinkCause::HeldByAnotherProgram && m_heldSerialPort == 0) {
            m_heldSerialPort = static_cast<int16_t>(portNumber);
        }
        return LINK_FAILED;
    }
    if (!SetUpOpenedPort(*port)) {
        // Dropping the port restores its settings and closes it.
        return FailSerialOpen(*this, port->LastError());
    }

    if (!AllocateLinkBuffers()) {
        m_detailStatus = DETAIL_NO_MEMORY;
        return LINK_NO_MEMORY;
    }
    m_serialAdapter = LearnSerialAdapter(*port);
    m_hSerial = std::move(port);
    m_commandAttempts = wire::COMMAND_ATTEMPTS;
    m_speedCode = wire::SPEED_CODE_9600;
    m_lastExchangeTime = StampNow().PlusMs(wire::FIRST_COMMAND_SPACING_MS);
    return LINK_OK;
}

// CloseHandle -> destroying the port: termios restored, exclusive mode and lock dropped, fd closed.
int32_t CLinkSession::CloseSerialPort() {
    if (m_hSerial != nullptr) {
        PurgePort(PURGE_BOTH);
        m_hSerial.reset();
        m_speedCode = wire::SPEED_CODE_9600;
    }
    ReleaseLinkBuffers();
    return LINK_OK;
}

// WriteFile (synchronous, 50 ms per byte) -> WriteSome/WaitWritable until every byte is taken, then
// TIOCOUTQ checked every millisecond until it reads 0. On Linux write() returns while bytes still sit in
// the output queue; waiting for it to empty gives the synchronous write's meaning, and the purge of
// unsent output that follows a control byte then finds nothing to discard.
int32_t CLinkSession::SerialWrite(uint32_t timeoutMs) {
    platform::QueueState queues;
    if (m_hSerial == nullptr || !m_hSerial->GetQueueState(queues)) {
        m_systemError = m_hSerial != nullptr ? m_hSerial->LastError() : 0;
        m_cause = CauseOfTransferError(m_systemError);
        return LINK_FAILED;
    }
    if (!FitsLinkBuffer(m_sendBuffer, m_sendLength)) {
        m_detailStatus = DETAIL_SERIAL_WRITE;
        return LINK_FAILED;
    }

    // Output left from before must leave first: the time-out plus a millisecond per pending byte.
    const Deadline queueDeadline(timeoutMs + queues.outQueue);
    const int32_t emptied = AwaitEmptyOutput(*this, queueDeadline);
    if (emptied != LINK_OK) {
        return emptied;
    }

    const uint32_t length = static_cast<uint32_t>(m_sendLength);
    const Deadline writeDeadline(wire::WRITE_MS_PER_BYTE * length);
    uint32_t sent = 0;
    while (sent < length) {
        const long count = m_hSerial->WriteSome(m_sendBuffer + sent, length - sent);
        if (count < 0) {
            return FailSerialTransfer(*this, DETAIL_SERIAL_WRITE);
        }
        sent += static_cast<uint32_t>(count);
        if (sent == length) {
            break;
        }
        // Part of the packet on the wire is not a delivered packet.
        if (writeDeadline.Exceeded()) {
            m_detailStatus = DETAIL_SERIAL_WRITE;
            return LINK_TIMEOUT;
        }
        if (m_hSerial->WaitWritable(writeDeadline.MsUntilExceeded()) < 0) {
            return FailSerialTransfer(*this, DETAIL_SERIAL_WRITE);
        }
    }
    return AwaitEmptyOutput(*this, writeDeadline);
}

// ReadFile with ReadIntervalTimeout 30 and ReadTotalTimeoutConstant = the time-out -> ReadSome and
// WaitReadable bounded by the nearer of the two limits. The interval limit starts with the first byte.
int32_t CLinkSession::SerialRead(uint32_t timeoutMs, ReadRegime regime) {
    if (regime == ReadRegime::Polled) {
        return SerialReadPolled(timeoutMs);
    }
    platform::QueueState queues;
    if (m_hSerial == nullptr || !m_hSerial->GetQueueState(queues)) {
        m_systemError = m_hSerial != nullptr ? m_hSerial->LastError() : 0;
        m_cause = CauseOfTransferError(m_systemError);
        m_detailStatus = DETAIL_SERIAL_READ;
        return LINK_FAILED;
    }
    if (!FitsLinkBuffer(m_recvBuffer, m_recvLength)) {
        m_detailStatus = DETAIL_SERIAL_READ;
        return LINK_FAILED;
    }

    const uint32_t wanted = static_cast<uint32_t>(m_recvLength);
    const uint32_t start = NowMs();
    uint32_t lastByteTime = start;
    uint32_t received = 0;
    m_serialAdapter.readCutByInterval = false;
    while (received < wanted) {
        const long count = m_hSerial->ReadSome(m_recvBuffer + received, wanted - received);
        if (count < 0) {
            return FailSerialTransfer(*this, DETAIL_SERIAL_READ);
        }
        if (count > 0) {
            received += static_cast<uint32_t>(count);
            lastByteTime = NowMs();
            continue;
        }
        const uint32_t now = NowMs();
        const uint32_t elapsed = ElapsedMs(start, now);
        if (elapsed >= timeoutMs) {
            break;
        }
        uint32_t waitMs = timeoutMs - elapsed;
        if (received > 0) {
            const uint32_t gap = ElapsedMs(lastByteTime, now);
            if (gap >= READ_INTERVAL_MS) {
                m_serialAdapter.readCutByInterval = true;
                break;
            }
            waitMs = std::min(waitMs, READ_INTERVAL_MS - gap);
        }
        if (m_hSerial->WaitReadable(waitMs) < 0) {
            return FailSerialTransfer(*this, DETAIL_SERIAL_READ);
        }
        if (WaitsCut()) {
            break;  // the wait was cut short: a time-out now
        }
    }

    return EndNormalRead(*this, received, wanted);
}

// The polled regime: the input count watched until the bytes are in. Between checks it waits on the
// port for the time left, so the processor stays free.
int32_t CLinkSession::SerialReadPolled(uint32_t timeoutMs) {
    if (m_hSerial == nullptr || !FitsLinkBuffer(m_recvBuffer, m_recvLength)) {
        m_detailStatus = DETAIL_SERIAL_READ;
        return LINK_FAILED;
    }

    const uint32_t wanted = static_cast<uint32_t>(m_recvLength);
    const Deadline deadline(wanted + timeoutMs);
    uint32_t received = 0;
    InputGap gap;
    bool wokeEmpty = false;
    for (;;) {
        platform::QueueState queues;
        if (!m_hSerial->GetQueueState(queues)) {
            return FailSerialCall(*this, DETAIL_SERIAL_READ);
        }
        const uint32_t now = NowMs();
        if (!gap.Note(received, queues.inQueue, now)) {
            m_detailStatus = DETAIL_SERIAL_READ;
            return LINK_FAILED;
        }
        if (received >= wanted) {
            return LINK_OK;
        }
        if (queues.inQueue > 0) {
            const uint32_t chunk = std::min(queues.inQueue, wanted - received);
            const long count = m_hSerial->ReadSome(m_recvBuffer + received, chunk);
            if (count < 0) {
                return FailSerialTransfer(*this, DETAIL_SERIAL_READ);
            }
            received += static_cast<uint32_t>(count);
            if (received >= wanted) {
                return LINK_OK;
            }
            wokeEmpty = false;
            continue;
        }
        if (deadline.Exceeded()) {
            m_detailStatus = DETAIL_SERIAL_READ;
            return LINK_TIMEOUT;
        }
        // A port that reports itself readable with nothing to count (a hang-up in progress) must not
        // turn this into a spin: pause a millisecond before asking again.
        if (wokeEmpty) {
            DelayMs(1);
        }
        const int ready = m_hSerial->WaitReadable(gap.Bound(deadline.MsUntilExceeded(), now));
        if (ready < 0) {
            return FailSerialCall(*this, DETAIL_SERIAL_READ);
        }
        if (WaitsCut()) {
            m_detailStatus = DETAIL_SERIAL_READ;
            return LINK_TIMEOUT;
        }
        wokeEmpty = ready > 0;
    }
}

// PurgeComm(PURGE_RXCLEAR / PURGE_TXCLEAR) -> tcflush(TCIFLUSH / TCOFLUSH), each only when its queue
// holds bytes. On a pseudo-terminal TIOCOUTQ is always 0, so output is never flushed there: a flush
// would discard bytes the other side has not read yet.
void CLinkSession::PurgePort(int32_t selector) {
    platform::QueueState queues;
    if (m_hSerial == nullptr || !m_hSerial->GetQueueState(queues)) {
        return;
    }
    NoteLateContinuation(m_serialAdapter, queues);
    bool purged = true;
    if ((selector == PURGE_INPUT || selector == PURGE_BOTH) && queues.inQueue > 0) {
        purged = m_hSerial->Purge(true, false) && purged;
    }
    if ((selector == PURGE_OUTPUT || selector == PURGE_BOTH) && queues.outQueue > 0) {
        purged = m_hSerial->Purge(false, true) && purged;
    }
    if (!purged) {
        m_systemError = m_hSerial->LastError();
        m_cause = CauseOfTransferError(m_systemError);
        m_hSerial->GetQueueState(queues);
    }
}

// SetCommBreak / ClearCommBreak -> TIOCSBRK / TIOCCBRK.
int32_t CLinkSession::SetBreak(int32_t state) {
    if (state != BREAK_ON && state != BREAK_OFF) {
        m_detailStatus = DETAIL_BREAK;
        return LINK_BAD_ARGUMENT;
    }
    if (state == BREAK_ON) {
        m_serialAdapter.breakTried = true;
        m_serialAdapter.breakRefused = false;
    }
    const bool cut = state == BREAK_ON && WaitsCut();
    if (m_hSerial == nullptr || cut || !m_hSerial->SetBreak(state == BREAK_ON)) {
        m_systemError = m_hSerial != nullptr ? m_hSerial->LastError() : 0;
        m_cause = CauseOfTransferError(m_systemError);
        m_detailStatus = DETAIL_BREAK;
        // Only the driver's refusal counts against the adapter, not an interrupted run.
        // A driver without a break answers ENOTTY, EOPNOTSUPP or EINVAL; a device that failed or went
        // away (EIO, ENODEV) is not an adapter that cannot send one.
        const bool unsupported =
            m_systemError == ENOTTY || m_systemError == EOPNOTSUPP || m_systemError == EINVAL;
        m_serialAdapter.breakRefused = m_serialAdapter.breakRefused ||
                                       (state == BREAK_ON && !cut && m_hSerial != nullptr && unsupported);
        return LINK_FAILED;
    }
    return LINK_OK;
}

// GetCommState -> IsSerialDevice (tcgetattr); SetCommState with BaudRate alone -> SetBaudRate
// (tcgetattr, cfsetispeed/cfsetospeed, tcsetattr).
int32_t CLinkSession::SetLineSpeed(int32_t speedCode) {
    if (m_hSerial == nullptr || !m_hSerial->IsSerialDevice()) {
        m_systemError = m_hSerial != nullptr ? m_hSerial->LastError() : 0;
        m_cause = CauseOfTransferError(m_systemError);
        m_detailStatus = DETAIL_LINE_SPEED;
        return LINK_FAILED;
    }
    const uint32_t baudRate = wire::BaudRateOfSpeedCode(speedCode);
    if (baudRate == 0) {
        m_detailStatus = DETAIL_BAD_SPEED;
        return LINK_BAD_ARGUMENT;
    }
    PurgePort(PURGE_BOTH);
    if (!m_hSerial->SetBaudRate(baudRate)) {
        return FailSerialTransfer(*this, DETAIL_LINE_SPEED);
    }
    m_speedCode = static_cast<int16_t>(speedCode);
    return LINK_OK;
}

// Waits half a second and takes whatever arrived meanwhile; 7 when anything did.
int32_t CLinkSession::DrainInput() {
    DelayMs(wire::DRAIN_PAUSE_MS);
    platform::QueueState queues;
    if (m_hSerial == nullptr || !m_hSerial->GetQueueState(queues)) {
        m_systemError = m_hSerial != nullptr ? m_hSerial->LastError() : 0;
        m_cause = CauseOfTransferError(m_systemError);
        return LINK_FAILED;
    }
    NoteLateContinuation(m_serialAdapter, queues);
    if (queues.inQueue == 0) {
        return LINK_OK;
    }
    m_recvLength = static_cast<int32_t>(std::min<uint32_t>(queues.inQueue, LINK_BUFFER_SIZE));
    if (m_recvBuffer != nullptr) {
        m_hSerial->ReadSome(m_recvBuffer, static_cast<size_t>(m_recvLength));
    }
    return LINK_TIMEOUT;
}
