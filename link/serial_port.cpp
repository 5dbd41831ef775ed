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

#include "common/clock.h"
#include "common/memory.h"
#include "wire/byte_codes.h"
#include "wire/timing.h"

namespace {

constexpr int32_t PORT_NAME_BUFFER_SIZE = 20;

using wire::POLLED_GAP_LIMIT_MS;
using wire::READ_INTERVAL_MS;

// A failed system call during a transfer: keep its errno, clear the line's error state once more (as
// after every failed transfer), record which step failed.
int32_t FailSerialTransfer(CLinkSession& link, int16_t detail) {
    link.m_systemError = link.m_hSerial->LastError();
    link.m_cause = CauseOfTransferError(link.m_systemError);
    platform::QueueState queues;
    link.m_hSerial->GetQueueState(queues);
    link.m_detailStatus = detail;
    return LINK_FAILED;
}

// Waits until the port's output queue is empty (LINK_OK), checking every millisecond; a time-out once
// the deadline is exceeded.
int32_t AwaitEmptyOutput(CLinkSession& link, const Deadline& deadline) {
    for (;;) {
        platform::QueueState queues;
        if (!link.m_hSerial->GetQueueState(queues)) {
            link.m_systemError = link.m_hSerial->LastError();
            link.m_cause = CauseOfTransferError(link.m_systemError);
            link.m_detailStatus = DETAIL_SERIAL_WRITE;
            return LINK_FAILED;
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
        m_systemError = errorNumber;
        m_cause = CauseOfOpenError(errorNumber);
        if (m_cause == LinkCause::HeldByAnotherProgram && m_heldSerialPort == 0) {
            m_heldSerialPort = static_cast<int16_t>(portNumber);
        }
        m_detailStatus = DETAIL_SERIAL_OPEN;
        return LINK_FAILED;
    }

    platform::QueueState queues;
    bool configured = port->IsSerialDevice() && port->GetQueueState(queues);
    if (configured) {
        DelayMs(wire::OPEN_SETTLE_MS);
        configured = port->ConfigureLine(wire::BaudRateOfSpeedCode(wire::SPEED_CODE_9600)) &&
                     port->GetQueueState(queues);
    }
    if (!configured) {
        // Dropping the port restores its settings and closes it.
        m_systemError = port->LastError();
        m_cause = CauseOfOpenError(m_systemError);
        m_detailStatus = DETAIL_SERIAL_OPEN;
        return LINK_FAILED;
    }

    if (!AllocateLinkBuffers()) {
        m_detailStatus = DETAIL_NO_MEMORY;
        return LINK_NO_MEMORY;
    }
    // An adapter that batches received bytes on a timer stretches every one-byte reply; low latency
    // makes it hand them over at once. Best effort: a refusal changes nothing. The facts are read after
    // it, so an FTDI timer reads what the request left.
    m_serialAdapter = SerialAdapterState{};
    m_serialAdapter.lowLatency = port->RequestLowLatency();
    m_serialAdapter.facts = port->AdapterFacts();
    m_serialAdapter.flowControlHeld = port->OutputHeldByFlowControl();
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
    // A length the buffer cannot hold is a transfer that cannot be carried out, like a failed call; it
    // must not read as "bad argument", which the result table shows as an invalid speed code.
    if (m_sendBuffer == nullptr || m_sendLength < 0 || m_sendLength > LINK_BUFFER_SIZE) {
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
    if (m_recvBuffer == nullptr || m_recvLength < 0 || m_recvLength > LINK_BUFFER_SIZE) {
        m_detailStatus = DETAIL_SERIAL_READ;
        return LINK_FAILED;  // as for a write: a transfer that cannot be carried out
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

    if (received == wanted) {
        return LINK_OK;
    }
    // A short read tells the caller how much came (a lone error byte is recognised this way) and
    // drops whatever else is on its way.
    if (received > 0) {
        m_recvLength = static_cast<int32_t>(received);
        PurgePort(PURGE_INPUT);
    }
    m_detailStatus = DETAIL_SERIAL_READ;
    return LINK_TIMEOUT;
}

// The polled regime: the input count watched until the bytes are in. Between checks it waits on the
// port for the time left, so the processor stays free.
int32_t CLinkSession::SerialReadPolled(uint32_t timeoutMs) {
    if (m_hSerial == nullptr) {
        m_detailStatus = DETAIL_SERIAL_READ;
        return LINK_FAILED;
    }
    if (m_recvBuffer == nullptr || m_recvLength < 0 || m_recvLength > LINK_BUFFER_SIZE) {
        m_detailStatus = DETAIL_SERIAL_READ;
        return LINK_FAILED;  // as for a write: a transfer that cannot be carried out
    }

    const uint32_t wanted = static_cast<uint32_t>(m_recvLength);
    const Deadline deadline(wanted + timeoutMs);
    uint32_t received = 0;
    bool haveLastSeen = false;
    uint32_t lastSeen = 0;
    bool wokeEmpty = false;
    for (;;) {
        platform::QueueState queues;
        if (!m_hSerial->GetQueueState(queues)) {
            m_systemError = m_hSerial->LastError();
            m_cause = CauseOfTransferError(m_systemError);
            m_detailStatus = DETAIL_SERIAL_READ;
            return LINK_FAILED;
        }
        const uint32_t now = NowMs();
        if (haveLastSeen) {
            if (queues.inQueue > 0) {
                lastSeen = now;
            } else if (ElapsedMs(lastSeen, now) >= POLLED_GAP_LIMIT_MS) {
                m_detailStatus = DETAIL_SERIAL_READ;
                return LINK_FAILED;
            }
        } else if (received > 0) {
            lastSeen = now;
            haveLastSeen = true;
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
        uint32_t waitMs = deadline.MsUntilExceeded();
        if (haveLastSeen) {
            const uint32_t gap = ElapsedMs(lastSeen, now);
            waitMs = std::min(waitMs, gap >= POLLED_GAP_LIMIT_MS ? 1u : POLLED_GAP_LIMIT_MS - gap);
        }
        const int ready = m_hSerial->WaitReadable(waitMs);
        if (ready < 0) {
            m_systemError = m_hSerial->LastError();
            m_cause = CauseOfTransferError(m_systemError);
            m_detailStatus = DETAIL_SERIAL_READ;
            return LINK_FAILED;
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
        m_serialAdapter.breakRefused =
            m_serialAdapter.breakRefused || (state == BREAK_ON && !cut && m_hSerial != nullptr);
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
