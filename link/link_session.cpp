// The link fields' lifetime, the link buffers, and the transfers that pick the serial port or the USB
// device by m_portKind.
#include "link/link_session.h"

#include <cerrno>

#include "common/memory.h"
#include "wire/timing.h"

LinkCause CauseOfOpenError(int errorNumber) {
    switch (errorNumber) {
        case ENOENT:
        case ENXIO:
        case ENODEV:
        case ENOTDIR:
        case ENOTTY:  // something stands for the name, but it is no serial device
            return LinkCause::NoSuchDevice;
        case EACCES:
        case EPERM:
        case EROFS:
            return LinkCause::PermissionDenied;
        case EBUSY:
        case EAGAIN:  // a lock another process holds
            return LinkCause::HeldByAnotherProgram;
        case EIO:
            return LinkCause::DeviceIoError;
        default:
            return LinkCause::None;
    }
}

LinkCause CauseOfTransferError(int errorNumber) {
    switch (errorNumber) {
        case ENODEV:
        case ENXIO:
        case EBADF:
        case ENOENT:
        case ECONNRESET:  // the driver socket's far end went away
            return LinkCause::Unplugged;
        case EIO:
        case EPIPE:
        case EPROTO:
        case EOVERFLOW:
            return LinkCause::DeviceIoError;
        default:
            return LinkCause::None;
    }
}

CLinkSession::CLinkSession(platform::IDevices& devices) : m_devices(devices) {}

// Dropping the port object restores its line settings and closes it; nothing is purged or sent.
CLinkSession::~CLinkSession() {
    m_hSerial.reset();
    m_hUsb.reset();
    ReleaseLinkBuffers();
}

// Both buffers or neither. Buffers still held from an earlier link are returned first so that a second
// open never leaks them.
bool CLinkSession::AllocateLinkBuffers() {
    ReleaseLinkBuffers();
    m_sendBuffer = static_cast<uint8_t*>(AllocZeroed(LINK_BUFFER_SIZE));
    m_recvBuffer = static_cast<uint8_t*>(AllocZeroed(LINK_BUFFER_SIZE));
    if (m_sendBuffer == nullptr || m_recvBuffer == nullptr) {
        ReleaseLinkBuffers();
        return false;
    }
    return true;
}

void CLinkSession::ReleaseLinkBuffers() {
    FreeBlock(m_sendBuffer);
    FreeBlock(m_recvBuffer);
    m_sendBuffer = nullptr;
    m_recvBuffer = nullptr;
}

// While waits are cut (CutWaits) nothing is sent and nothing is waited for: the step fails at once.
int32_t CLinkSession::LinkWrite(uint32_t timeoutMs) {
    if (WaitsCut()) {
        return LINK_FAILED;
    }
    if (m_portKind == PORT_KIND_SERIAL) {
        return SerialWrite(timeoutMs);
    }
    if (m_portKind == PORT_KIND_USB) {
        return UsbWrite(timeoutMs);
    }
    return LINK_FAILED;
}

int32_t CLinkSession::LinkRead(uint32_t timeoutMs) {
    if (WaitsCut()) {
        return LINK_TIMEOUT;
    }
    if (m_portKind == PORT_KIND_SERIAL) {
        return SerialRead(timeoutMs);
    }
    if (m_portKind == PORT_KIND_USB) {
        return UsbRead(timeoutMs);
    }
    return LINK_FAILED;
}

// The serial write returns once the byte has left the port, so the purge that follows only discards
// output that a failed write left behind.
int32_t CLinkSession::SendControlByte(uint8_t byte) {
    if (m_sendBuffer == nullptr) {
        return LINK_FAILED;
    }
    m_sendBuffer[PacketOffset()] = byte;
    m_sendLength = 1;
    const int32_t status = LinkWrite(wire::WRITE_TIMEOUT_MS);
    if (m_portKind == PORT_KIND_SERIAL) {
        PurgePort(PURGE_OUTPUT);
    }
    return status;
}
