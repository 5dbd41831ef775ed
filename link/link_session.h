// The link half of the camera session: the fields both links share (buffers, lengths, speed code,
// result and detail codes) and the operations of the serial port link, the USB device link and the data
// packet receive. CCameraSession (protocol/) derives from it and chooses the link at every call by
// m_portKind.
//
// Result codes: 0 success, 1 bad argument, 2 out of memory, 3 unexpected byte, 4 error byte 0xE2,
// 7 time-out or incomplete transfer, 8 a system call or device request failed, 13 camera busy too
// long, 14 USB device could not be opened. Detail codes in m_detailStatus record which step failed.
#pragma once

#include <cstdint>
#include <memory>

#include "common/clock.h"
#include "link/link_cause.h"
#include "platform/devices.h"
#include "wire/usb_driver.h"

// m_portKind values.
constexpr int32_t PORT_KIND_NONE = 0;
constexpr int32_t PORT_KIND_SERIAL = 1;
constexpr int32_t PORT_KIND_USB = 2;

// Size of each link buffer, and of the serial driver queues asked for.
constexpr int32_t LINK_BUFFER_SIZE = 32780;

// How a data packet starts on the serial link: at once, or after busy bytes and a ready byte.
enum class PacketStart { Immediate, AfterReadyByte };
// The two read regimes of the serial link.
enum class ReadRegime {
    Normal,  // ends when all bytes came, 30 ms after a byte without the next, or at the time-out
    Polled,  // watches the input count and tolerates gaps below a second
};

// Link result codes.
constexpr int32_t LINK_OK = 0;
constexpr int32_t LINK_BAD_ARGUMENT = 1;
constexpr int32_t LINK_NO_MEMORY = 2;
constexpr int32_t LINK_UNEXPECTED_BYTE = 3;
constexpr int32_t LINK_ERROR_BYTE = 4;
constexpr int32_t LINK_TIMEOUT = 7;
constexpr int32_t LINK_FAILED = 8;
constexpr int32_t LINK_CAMERA_BUSY = 13;
constexpr int32_t LINK_NOT_OPENED = 14;

// Detail codes (m_detailStatus).
constexpr int16_t DETAIL_BAD_SPEED = 4;
constexpr int16_t DETAIL_NO_MEMORY = 201;
constexpr int16_t DETAIL_SERIAL_OPEN = 211;
constexpr int16_t DETAIL_BREAK = 213;
constexpr int16_t DETAIL_USB_OPEN = 214;
constexpr int16_t DETAIL_SERIAL_WRITE = 215;
constexpr int16_t DETAIL_USB_WRITE = 216;
constexpr int16_t DETAIL_SERIAL_READ = 217;
constexpr int16_t DETAIL_USB_READ = 218;
constexpr int16_t DETAIL_CAMERA_BUSY = 219;
constexpr int16_t DETAIL_USB_DEVICE_DESCRIPTOR = 221;
constexpr int16_t DETAIL_USB_CONFIGURATION = 222;
constexpr int16_t DETAIL_LINE_SPEED = 223;
constexpr int16_t DETAIL_CAMERA_NOT_READY = 224;

// PurgePort selectors.
constexpr int32_t PURGE_OUTPUT = 0;
constexpr int32_t PURGE_INPUT = 1;
constexpr int32_t PURGE_BOTH = 2;

// SetBreak states.
constexpr int32_t BREAK_ON = 0;
constexpr int32_t BREAK_OFF = 1;

class CLinkSession {
  public:
    explicit CLinkSession(platform::IDevices& devices);
    // Releases a handle and buffers still held, without sending anything to the camera.
    virtual ~CLinkSession();
    CLinkSession(const CLinkSession&) = delete;
    CLinkSession& operator=(const CLinkSession&) = delete;

    // ---- Serial port link ("COM1".."COM9") ----
    int32_t OpenSerialPort(int32_t portNumber);
    int32_t CloseSerialPort();
    int32_t SerialWrite(uint32_t timeoutMs);
    int32_t SerialRead(uint32_t timeoutMs, ReadRegime regime = ReadRegime::Normal);
    int32_t SerialReadPolled(uint32_t timeoutMs);
    void PurgePort(int32_t selector);
    int32_t SetBreak(int32_t state);
    int32_t SetLineSpeed(int32_t speedCode);
    int32_t DrainInput();
    // The serial adapter's part in a camera that stayed silent, from what the open learned and what the
    // link saw (see SerialAdapterState); None when nothing points at the adapter.
    LinkCause SerialAdapterCause() const;

    // ---- USB device link ("\\.\QX410U-NNN") ----
    int32_t OpenUsbDevice();
    int32_t GetUsbDeviceDescriptor();
    int32_t GetUsbConfiguration();
    int32_t ReopenUsbDevice();
    int32_t UsbWrite(uint32_t timeoutMs);
    int32_t UsbRead(uint32_t timeoutMs);
    int32_t ReleaseUsbHandle();
    void ReleaseUsbDevice();
    int32_t CloseUsbDevice();

    // ---- Both links, chosen by m_portKind ----
    // Offset of the packet bytes in the link buffers: 0 on the serial link, 4 on the USB link.
    int32_t PacketOffset() const { return m_portKind == PORT_KIND_USB ? wire::USB_PIPE_WORD_SIZE : 0; }
    int32_t LinkWrite(uint32_t timeoutMs);
    int32_t LinkRead(uint32_t timeoutMs);
    // One byte from the updater (0xD1, 0xD2, 0xE3): written with a 200 ms time-out; on the serial link
    // unsent output is purged after it. The write's status.
    int32_t SendControlByte(uint8_t byte);

    // ---- Data packet receive ----
    int32_t ReceiveBlock(uint8_t* destination, int32_t length, int32_t blockSize,
                         PacketStart start = PacketStart::Immediate);
    int32_t ReceiveSerialBlock(uint8_t* destination, int32_t count,
                               PacketStart start = PacketStart::Immediate);
    int32_t ReceiveUsbBlock(uint8_t* destination, int32_t count);

    // ---- Link fields ----
    int32_t m_portKind = PORT_KIND_NONE;
    int32_t m_portNumber = 0;
    std::unique_ptr<platform::ISerialPort> m_hSerial;  // the open serial port, or none
    std::unique_ptr<platform::IUsbConnection> m_hUsb;  // the open USB device handle, or none
    uint8_t* m_sendBuffer = nullptr;
    int32_t m_sendLength = 0;
    uint8_t* m_recvBuffer = nullptr;
    int32_t m_recvLength = 0;
    int16_t m_speedCode = 1;
    int16_t m_detailStatus = 0;
    int32_t m_blockSize = 0;
    int16_t m_usbInstance = 0;
    char m_devicePath[70] = {};
    // While a USB probe runs (ScopedUsbProbe), a failed transfer sets the retry mark instead of its detail
    // code. The mark outlives the probe: the next reopen gives its descriptor requests one more try.
    int32_t m_usbRetryArmed = 0;
    int32_t m_usbRetryNeeded = 0;
    uint8_t m_usbDeviceDescriptor[18] = {};
    uint8_t m_usbConfigHeader[10] = {};
    uint8_t m_usbInterfaceDescriptor[9] = {};
    uint8_t m_usbEndpointDescriptor[8] = {};

    // Exchange fields that the link's open sets (the command exchange owns their meaning). Attempts per
    // command on this link; ScopedSingleAttempt lowers it to one for a scope.
    int16_t m_commandAttempts = 0;
    ClockStamp m_lastExchangeTime{};

    // errno of the last failed system call, kept for messages; steers nothing.
    int m_systemError = 0;
    // What the host knows of the cause of the last failure (link/link_cause.h); steers nothing.
    LinkCause m_cause = LinkCause::None;
    // The USB instance whose open gave m_cause (the first that refused), 0 when none did.
    int16_t m_causeInstance = 0;
    // The first serial port and USB instance found held by another program since the search began
    // (0 none): a search over every link names them, since the camera may be the one another program is
    // updating.
    int16_t m_heldSerialPort = 0;
    int16_t m_heldUsbInstance = 0;

    // What the serial port's open learned of the adapter behind it and what the link has seen it do
    // since. Steers nothing on the wire; SerialAdapterCause names a failure from it.
    struct SerialAdapterState {
        platform::SerialAdapterFacts facts;  // driver, latency timer (after the low-latency request)
        bool lowLatency = false;             // the driver took the low-latency request
        bool flowControlHeld = false;        // CRTSCTS on and CTS low at open: output is held
        bool breakTried = false;             // a break was asked for since the open
        bool breakRefused = false;           // ... and the driver refused it
        bool readCutByInterval = false;      // the last normal read ended short on the inter-byte rule
        bool burstsSeen = false;             // ... and the rest of its bytes came after it
    };
    SerialAdapterState m_serialAdapter;

  protected:
    platform::IDevices& m_devices;

  private:
    bool AllocateLinkBuffers();
    void ReleaseLinkBuffers();
};

// Arms the USB retry mark for the scope of a probe (see m_usbRetryArmed).
class ScopedUsbProbe {
  public:
    explicit ScopedUsbProbe(CLinkSession& link) : m_link(link) { m_link.m_usbRetryArmed = 1; }
    ~ScopedUsbProbe() { m_link.m_usbRetryArmed = 0; }
    ScopedUsbProbe(const ScopedUsbProbe&) = delete;
    ScopedUsbProbe& operator=(const ScopedUsbProbe&) = delete;
    // True when a transfer failed during the probe; the mark is cleared.
    bool TakeRetryMark() {
        const bool marked = m_link.m_usbRetryNeeded == 1;
        m_link.m_usbRetryNeeded = 0;
        return marked;
    }

  private:
    CLinkSession& m_link;
};
