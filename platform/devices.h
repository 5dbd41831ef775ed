// The operating system as the links see it: an open serial port, an open connection to the camera's
// USB driver, and the place both are opened from. The POSIX implementation (termios, poll, ioctl and the
// driver socket) lives beside this file; tests and the virtual-time camera provide their own.
//
// These are thin on purpose: each call is one system operation, reports success or failure and keeps
// errno for the message. All timing policy (deadlines, retries, the two read regimes) lives in link/,
// which measures time with the installed clock; the only waits here are WaitReadable/WaitWritable, and
// an implementation in virtual time advances its clock inside them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/serial_adapter.h"

namespace platform {

// Bytes still held by the port's driver queues (ClearCommError's COMSTAT: FIONREAD and TIOCOUTQ).
struct QueueState {
    uint32_t inQueue = 0;
    uint32_t outQueue = 0;
};

// One open serial port. Destroying it restores the line settings found at open, drops the lock and
// closes the descriptor.
class ISerialPort {
  public:
    virtual ~ISerialPort() = default;
    // True when the open file is a terminal whose settings can be read (SetupComm stands for this).
    virtual bool IsSerialDevice() = 0;
    // Clears a pending line error and reads the queue counts. False when the query fails.
    virtual bool GetQueueState(QueueState& state) = 0;
    // Raw 8 data bits, no parity, one stop bit, receiver on, modem control lines ignored (CLOCAL), DTR
    // raised, at the given rate; software flow control (XON/XOFF) off, since 0x11 and 0x13 are data
    // bytes here; hardware flow control left as the port had it.
    virtual bool ConfigureLine(uint32_t baudRate) = 0;
    // Changes only the bit rate; every other setting stays.
    virtual bool SetBaudRate(uint32_t baudRate) = 0;
    // Discards received-but-unread input and/or unsent output (tcflush).
    virtual bool Purge(bool input, bool output) = 0;
    // Starts (true) or ends (false) a break condition (TIOCSBRK / TIOCCBRK).
    virtual bool SetBreak(bool on) = 0;
    // Non-blocking transfers: the count moved (0 when the port is not ready), or -1 on failure.
    virtual long WriteSome(const uint8_t* data, size_t count) = 0;
    virtual long ReadSome(uint8_t* data, size_t count) = 0;
    // Waits at most timeoutMs for input (or room for output). 1 ready, 0 time-out, -1 failure.
    virtual int WaitReadable(uint32_t timeoutMs) = 0;
    virtual int WaitWritable(uint32_t timeoutMs) = 0;
    // errno of the last failed call, for messages.
    virtual int LastError() const = 0;

    // Asks the driver to hand received bytes over at once instead of batching them on an adapter's
    // timer (ASYNC_LOW_LATENCY; an FTDI adapter's timer then reads 1 ms). Best effort: false when the
    // driver does not take it (a pseudo-terminal, most other drivers). Closing gives the setting back.
    virtual bool RequestLowLatency() { return false; }
    // What is known of the adapter behind the port (driver, latency timer, USB identity); empty when
    // nothing is.
    virtual SerialAdapterFacts AdapterFacts() { return {}; }
    // True when hardware flow control is on and the device reports CTS low: output is held in the
    // adapter while the output queue already reads empty. False when the device has no modem lines.
    virtual bool OutputHeldByFlowControl() { return false; }
};

// One open connection to the camera's USB driver (CreateFile on the device object).
class IUsbConnection {
  public:
    virtual ~IUsbConnection() = default;
    // One DeviceIoControl: sends length bytes of buffer with the control code; on success the driver's
    // answer (at most length bytes) is copied to the start of buffer. False when the request failed, the
    // connection broke, or the driver did not answer within the request limit.
    virtual bool Request(uint32_t controlCode, uint8_t* buffer, uint32_t length) = 0;
    // errno of the last failed request (ENODEV gone, EPIPE stalled, ETIMEDOUT, ...), 0 when the driver
    // does not tell; kept for messages.
    virtual int LastError() const { return 0; }
};

// Where links come from. Names are the camera documentation's: "COM1".."COM9" and "\\.\QX410U-NNN".
class IDevices {
  public:
    virtual ~IDevices() = default;
    // Opens the port exclusively for reading and writing; nullptr when it is missing, busy or refused
    // (errorNumber then holds errno).
    virtual std::unique_ptr<ISerialPort> OpenSerialPort(const char* portName, int& errorNumber) = 0;
    // Connects to the driver's device object: the driver socket when one stands for the name, else the
    // attached camera with that number; nullptr when there is none or it cannot be opened (errorNumber
    // then holds errno: ENOENT when nothing stands for the name, EACCES, EBUSY, ENODEV, ...).
    virtual std::unique_ptr<IUsbConnection> OpenUsbDevice(const char* devicePath, int& errorNumber) = 0;
};

// The machine's real devices, resolved as described in device_namespace.h.
IDevices& SystemDevices();

}  // namespace platform
