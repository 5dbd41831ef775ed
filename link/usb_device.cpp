// The USB device link: finds the camera's device object "\\.\QX410U-NNN", reads its descriptors, and
// moves packets through the driver's write and read requests. The handle is held for one session
// operation at a time; the buffers from the connection to the end of the session.
//
// Every transfer buffer starts with a 32-bit little-endian pipe word: 0 for writes, the read endpoint's
// address for reads. The packet bytes follow at offset 4.
#include "link/link_session.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/byte_order.h"
#include "common/clock.h"
#include "wire/byte_codes.h"
#include "wire/timing.h"
#include "wire/usb_device_name.h"
#include "wire/usb_driver.h"

namespace {

using wire::USB_INSTANCE_FIRST;
using wire::USB_INSTANCE_LAST;

constexpr uint32_t DEVICE_DESCRIPTOR_SIZE = 18;
constexpr uint32_t CONFIG_HEADER_SIZE = 10;
constexpr uint32_t INTERFACE_RECORD_SIZE = 9;
constexpr uint32_t ENDPOINT_RECORD_SIZE = 7;  // a standard endpoint record; 8 bytes are kept
constexpr uint32_t ENDPOINT_KEPT_SIZE = 8;
constexpr int ENDPOINT_ADDRESS_OFFSET = 2;

// True when a transfer of packetLength bytes plus the pipe word fits a link buffer.
bool FitsLinkBuffer(int32_t packetLength) {
    return packetLength >= 0 && packetLength <= LINK_BUFFER_SIZE - wire::USB_PIPE_WORD_SIZE;
}

// One driver request; a failure keeps the driver's errno for messages.
bool RequestUsb(CLinkSession& link, uint32_t controlCode, uint8_t* buffer, uint32_t length) {
    if (link.m_hUsb->Request(controlCode, buffer, length)) {
        return true;
    }
    link.m_systemError = link.m_hUsb->LastError();
    link.m_cause = CauseOfTransferError(link.m_systemError);
    return false;
}

}  // namespace

int32_t CLinkSession::OpenUsbDevice() {
    const bool remembered = m_usbInstance != 0;
    const int32_t first = remembered ? m_usbInstance : USB_INSTANCE_FIRST;
    const int32_t last = remembered ? m_usbInstance : USB_INSTANCE_LAST;

    m_hUsb.reset();  // a handle left from an earlier operation is not this connection's
    // The reason kept for the message: a device that is there but refused its open says more than the
    // absent instances around it.
    int openError = ENOENT;
    m_causeInstance = 0;
    int32_t instance = first;
    for (; instance <= last; ++instance) {
        // An instance outside 001..127 names no device object.
        if (!wire::IsUsbInstance(instance)) {
            break;
        }
        std::snprintf(m_devicePath, sizeof m_devicePath, "%s", wire::UsbDeviceName(instance).c_str());
        int errorNumber = 0;
        m_hUsb = m_devices.OpenUsbDevice(m_devicePath, errorNumber);
        if (m_hUsb) {
            break;
        }
        if (openError == ENOENT && errorNumber != 0) {
            openError = errorNumber;
            m_causeInstance = static_cast<int16_t>(instance);
        }
    }
    m_cause = LinkCause::None;
    if (!m_hUsb) {
        m_systemError = openError;
        m_cause = CauseOfOpenError(openError);
        if (m_cause == LinkCause::HeldByAnotherProgram && m_heldUsbInstance == 0) {
            m_heldUsbInstance = m_causeInstance;
        }
        m_detailStatus = DETAIL_USB_OPEN;
        return LINK_NOT_OPENED;
    }
    m_usbInstance = static_cast<int16_t>(instance);

    // Buffers still held from an earlier connection are returned first.
    if (!AllocateLinkBuffers()) {
        m_hUsb.reset();
        m_detailStatus = DETAIL_NO_MEMORY;
        return LINK_NO_MEMORY;
    }

    m_speedCode = wire::SPEED_CODE_9600;
    m_lastExchangeTime = StampNow().PlusMs(wire::FIRST_COMMAND_SPACING_MS);
    return LINK_OK;
}

int32_t CLinkSession::GetUsbDeviceDescriptor() {
    if (!m_hUsb || m_recvBuffer == nullptr ||
        !RequestUsb(*this, wire::IOCTL_CAMERA_GET_DEVICE_DESCRIPTOR, m_recvBuffer, DEVICE_DESCRIPTOR_SIZE)) {
        m_detailStatus = DETAIL_USB_DEVICE_DESCRIPTOR;
        return LINK_FAILED;
    }
    std::memcpy(m_usbDeviceDescriptor, m_recvBuffer, sizeof m_usbDeviceDescriptor);
    return LINK_OK;
}

int32_t CLinkSession::GetUsbConfiguration() {
    if (!m_hUsb || m_recvBuffer == nullptr ||
        !RequestUsb(*this, wire::IOCTL_CAMERA_GET_CONFIGURATION, m_recvBuffer, CONFIG_HEADER_SIZE)) {
        m_detailStatus = DETAIL_USB_CONFIGURATION;
        return LINK_FAILED;
    }
    std::memcpy(m_usbConfigHeader, m_recvBuffer, sizeof m_usbConfigHeader);

    // The device states the configuration's total length (bytes 2..3, little-endian); a configuration
    // that would not fit the receive buffer is refused rather than cut.
    const uint32_t totalLength =
        static_cast<uint32_t>(m_usbConfigHeader[2]) | (static_cast<uint32_t>(m_usbConfigHeader[3]) << 8);
    if (totalLength > static_cast<uint32_t>(LINK_BUFFER_SIZE)) {
        m_detailStatus = DETAIL_USB_CONFIGURATION;
        return LINK_FAILED;
    }
    if (!RequestUsb(*this, wire::IOCTL_CAMERA_GET_CONFIGURATION, m_recvBuffer, totalLength)) {
        m_detailStatus = DETAIL_USB_CONFIGURATION;
        return LINK_FAILED;
    }

    // The walk trusts each record's length byte, but only within the bytes the device sent.
    const uint32_t interfaceOffset = m_usbConfigHeader[0];
    if (interfaceOffset + INTERFACE_RECORD_SIZE > totalLength) {
        m_detailStatus = DETAIL_USB_CONFIGURATION;
        return LINK_FAILED;
    }
    const uint32_t endpointOffset = interfaceOffset + m_recvBuffer[interfaceOffset];
    if (endpointOffset + ENDPOINT_RECORD_SIZE > totalLength) {
        m_detailStatus = DETAIL_USB_CONFIGURATION;
        return LINK_FAILED;
    }
    std::memcpy(m_usbInterfaceDescriptor, m_recvBuffer + interfaceOffset, sizeof m_usbInterfaceDescriptor);
    // The eighth byte kept is the next record's first; when the configuration ends with this endpoint
    // there is none, and it stays 0 rather than whatever an earlier request left in the buffer.
    const uint32_t endpointBytes =
        totalLength - endpointOffset < ENDPOINT_KEPT_SIZE ? totalLength - endpointOffset : ENDPOINT_KEPT_SIZE;
    std::memset(m_usbEndpointDescriptor, 0, sizeof m_usbEndpointDescriptor);
    std::memcpy(m_usbEndpointDescriptor, m_recvBuffer + endpointOffset, endpointBytes);
    return LINK_OK;
}

int32_t CLinkSession::ReopenUsbDevice() {
    if (m_devicePath[0] == '\0') {
        m_detailStatus = DETAIL_USB_OPEN;
        return LINK_NOT_OPENED;
    }
    int errorNumber = 0;
    m_hUsb = m_devices.OpenUsbDevice(m_devicePath, errorNumber);
    if (!m_hUsb) {
        m_systemError = errorNumber;
        // The device answered a moment ago: its absence now means it went away.
        m_cause = errorNumber == ENOENT || errorNumber == ENODEV ? LinkCause::Unplugged
                                                                 : CauseOfOpenError(errorNumber);
        m_causeInstance = m_usbInstance;
        m_detailStatus = DETAIL_USB_OPEN;
        return LINK_NOT_OPENED;
    }

    int32_t result = LINK_OK;
    for (;;) {
        result = GetUsbDeviceDescriptor();
        if (result == LINK_OK) {
            // The configuration is read again when it can be; a failure keeps the earlier records.
            GetUsbConfiguration();
        }
        m_usbRetryArmed = 0;
        // A transfer that failed while the session probed the camera earns the descriptor requests one
        // more try on the same handle.
        if (result == LINK_OK || m_usbRetryNeeded != 1) {
            break;
        }
        m_usbRetryNeeded = 0;
    }

    if (result != LINK_OK) {
        m_detailStatus = DETAIL_USB_CONFIGURATION;
        m_hUsb.reset();
        return result;
    }
    m_detailStatus = 0;
    return LINK_OK;
}

int32_t CLinkSession::UsbWrite(uint32_t /*timeoutMs*/) {
    // The driver completes or fails the request itself, within its request limit.
    bool sent = false;
    if (m_hUsb && m_sendBuffer != nullptr && FitsLinkBuffer(m_sendLength)) {
        StoreLe32(m_sendBuffer, 0);
        sent = RequestUsb(*this, wire::IOCTL_CAMERA_WRITE, m_sendBuffer,
                          static_cast<uint32_t>(m_sendLength + wire::USB_PIPE_WORD_SIZE));
    }
    if (sent) {
        return LINK_OK;
    }
    if (m_usbRetryArmed == 1) {
        m_usbRetryNeeded = 1;
    } else {
        m_detailStatus = DETAIL_USB_WRITE;
    }
    return LINK_FAILED;
}

int32_t CLinkSession::UsbRead(uint32_t /*timeoutMs*/) {
    bool received = false;
    if (m_hUsb && m_recvBuffer != nullptr && FitsLinkBuffer(m_recvLength)) {
        StoreLe32(m_recvBuffer, m_usbEndpointDescriptor[ENDPOINT_ADDRESS_OFFSET]);
        received = RequestUsb(*this, wire::IOCTL_CAMERA_READ, m_recvBuffer,
                              static_cast<uint32_t>(m_recvLength + wire::USB_PIPE_WORD_SIZE));
    }
    if (received) {
        return LINK_OK;
    }
    if (m_usbRetryArmed == 1) {
        m_usbRetryNeeded = 1;
    } else {
        m_detailStatus = DETAIL_USB_READ;
    }
    return LINK_FAILED;
}

int32_t CLinkSession::ReleaseUsbHandle() {
    m_hUsb.reset();
    return LINK_OK;
}

void CLinkSession::ReleaseUsbDevice() {
    // Buffers go with the failed connection even when an operation already closed the handle, so a
    // search that moves on to the serial ports does not leave them behind.
    m_hUsb.reset();
    ReleaseLinkBuffers();
}

int32_t CLinkSession::CloseUsbDevice() {
    m_hUsb.reset();
    ReleaseLinkBuffers();
    m_devicePath[0] = '\0';
    return LINK_OK;
}
