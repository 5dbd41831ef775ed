// Serial ports on the Windows communications API: platform::ISerialPort for COM ports.
//
// Each operation of the interface is one call of the API: SetupComm, ClearCommError, GetCommState and
// SetCommState, PurgeComm, SetCommBreak and ClearCommBreak, EscapeCommFunction, ReadFile and WriteFile
// on a handle opened without sharing. The interface's non-blocking reads and its wait for input map
// onto the two read time-out settings of SetCommTimeouts:
// - a read that returns at once with what is queued: ReadIntervalTimeout MAXDWORD, both totals 0;
// - the wait for input: a read of one byte with only ReadTotalTimeoutConstant set to the wait, which
//   returns as soon as the byte is there or when the wait is over. The byte it takes is kept and handed
//   out first by the next read (and counted in the queue), so nothing is lost.
// Writes return when the driver has taken the bytes or after WRITE_SLICE_MS with what it took.
//
// Under Wine (where the tests run this file, on pseudo-terminals) the calls behave as on Windows for
// what the updater uses, except: a second open without sharing succeeds; ReadIntervalTimeout and
// ReadTotalTimeoutMultiplier both MAXDWORD with a total constant wait the whole constant instead of
// returning at the first byte (not used here); 14400 bit/s is set as 38400 (not a camera speed); the
// modem-line calls fail on a pseudo-terminal (DTR: tolerated, as on Linux).
#include "platform/win32_serial.h"

#include <windows.h>

#include <cerrno>

#include "platform/win32_error.h"
#include "platform/win32_path.h"

namespace platform {

namespace {

constexpr DWORD QUEUE_SIZE = 4096;
constexpr DWORD WRITE_SLICE_MS = 100;

// The bit rates the camera's speed codes name; anything else is refused.
bool IsCameraBaudRate(uint32_t baudRate) {
    switch (baudRate) {
        case 9600:
        case 19200:
        case 38400:
        case 57600:
        case 115200:
            return true;
        default:
            return false;
    }
}

bool SameTimeouts(const COMMTIMEOUTS& a, const COMMTIMEOUTS& b) {
    return a.ReadIntervalTimeout == b.ReadIntervalTimeout &&
           a.ReadTotalTimeoutMultiplier == b.ReadTotalTimeoutMultiplier &&
           a.ReadTotalTimeoutConstant == b.ReadTotalTimeoutConstant &&
           a.WriteTotalTimeoutMultiplier == b.WriteTotalTimeoutMultiplier &&
           a.WriteTotalTimeoutConstant == b.WriteTotalTimeoutConstant;
}

class Win32SerialPort final : public ISerialPort {
  public:
    Win32SerialPort(HANDLE handle, bool haveOriginal, const DCB& original,
                    const COMMTIMEOUTS& originalTimeouts)
        : m_handle(handle),
          m_haveOriginal(haveOriginal),
          m_original(original),
          m_originalTimeouts(originalTimeouts) {}

    // Undo in reverse order of the open: end a break, put back the line settings and time-outs found,
    // then close.
    ~Win32SerialPort() override {
        if (m_breakOn) {
            ClearCommBreak(m_handle);
        }
        if (m_haveOriginal) {
            SetCommState(m_handle, &m_original);
            SetCommTimeouts(m_handle, &m_originalTimeouts);
        }
        CloseHandle(m_handle);
    }

    Win32SerialPort(const Win32SerialPort&) = delete;
    Win32SerialPort& operator=(const Win32SerialPort&) = delete;

    bool IsSerialDevice() override {
        DCB state{};
        state.DCBlength = sizeof state;
        if (!SetupComm(m_handle, QUEUE_SIZE, QUEUE_SIZE) || !GetCommState(m_handle, &state)) {
            return Fail();
        }
        return true;
    }

    bool GetQueueState(QueueState& state) override {
        DWORD errors = 0;
        COMSTAT status{};
        if (!ClearCommError(m_handle, &errors, &status)) {
            return Fail();
        }
        state.inQueue = status.cbInQue + (m_havePending ? 1u : 0u);
        state.outQueue = status.cbOutQue;
        return true;
    }

    // Raw 8N1, binary, parity neither generated nor checked, no XON/XOFF (0x11 and 0x13 are data bytes
    // here), modem status lines ignored, DTR raised; hardware flow control as the port had it.
    bool ConfigureLine(uint32_t baudRate) override {
        if (!ChangeLine(baudRate, true)) {
            return false;
        }
        // A port without modem lines (a pseudo-terminal under Wine) refuses this; the line works without.
        if (!EscapeCommFunction(m_handle, SETDTR)) {
            const int reason = ErrnoFromWin32(GetLastError(), Win32Object::SerialPort);
            if (reason != EINVAL) {
                return FailWith(reason);
            }
        }
        return true;
    }

    bool SetBaudRate(uint32_t baudRate) override { return ChangeLine(baudRate, false); }

    bool Purge(bool input, bool output) override {
        if (!input && !output) {
            return true;
        }
        const DWORD flags = (input ? PURGE_RXCLEAR : 0u) | (output ? PURGE_TXCLEAR : 0u);
        if (!PurgeComm(m_handle, flags)) {
            return Fail();
        }
        if (input) {
            m_havePending = false;
        }
        return true;
    }

    bool SetBreak(bool on) override {
        if (!(on ? SetCommBreak(m_handle) : ClearCommBreak(m_handle))) {
            return Fail();
        }
        m_breakOn = on;
        return true;
    }

    long WriteSome(const uint8_t* data, size_t count) override {
        if (count == 0) {
            return 0;
        }
        COMMTIMEOUTS timeouts = m_timeouts;
        timeouts.WriteTotalTimeoutMultiplier = 0;
        timeouts.WriteTotalTimeoutConstant = WRITE_SLICE_MS;
        if (!UseTimeouts(timeouts)) {
            return -1;
        }
        DWORD written = 0;
        const DWORD wanted = count > QUEUE_SIZE ? QUEUE_SIZE : static_cast<DWORD>(count);
        if (!WriteFile(m_handle, data, wanted, &written, nullptr)) {
            Fail();
            return -1;
        }
        return static_cast<long>(written);
    }

    long ReadSome(uint8_t* data, size_t count) override {
        if (count == 0) {
            return 0;
        }
        size_t taken = 0;
        if (m_havePending) {
            data[0] = m_pending;
            m_havePending = false;
            taken = 1;
            if (count == 1) {
                return 1;
            }
        }
        COMMTIMEOUTS timeouts = m_timeouts;
        timeouts.ReadIntervalTimeout = MAXDWORD;
        timeouts.ReadTotalTimeoutMultiplier = 0;
        timeouts.ReadTotalTimeoutConstant = 0;
        if (!UseTimeouts(timeouts)) {
            return taken > 0 ? static_cast<long>(taken) : -1;
        }
        const size_t rest = count - taken;
        const DWORD wanted = rest > QUEUE_SIZE ? QUEUE_SIZE : static_cast<DWORD>(rest);
        DWORD got = 0;
        if (!ReadFile(m_handle, data + taken, wanted, &got, nullptr)) {
            Fail();
            return taken > 0 ? static_cast<long>(taken) : -1;
        }
        return static_cast<long>(taken + got);
    }

    int WaitReadable(uint32_t timeoutMs) override {
        if (m_havePending) {
            return 1;
        }
        QueueState queues;
        if (!GetQueueState(queues)) {
            return -1;
        }
        if (queues.inQueue > 0) {
            return 1;
        }
        if (timeoutMs == 0) {
            return 0;
        }
        COMMTIMEOUTS timeouts = m_timeouts;
        timeouts.ReadIntervalTimeout = 0;
        timeouts.ReadTotalTimeoutMultiplier = 0;
        // 0 would mean "no limit"; MAXDWORD as the constant stands for "wait forever" nowhere here.
        timeouts.ReadTotalTimeoutConstant = timeoutMs >= MAXDWORD ? MAXDWORD - 1 : timeoutMs;
        if (!UseTimeouts(timeouts)) {
            return -1;
        }
        DWORD got = 0;
        if (!ReadFile(m_handle, &m_pending, 1, &got, nullptr)) {
            Fail();
            return -1;
        }
        if (got == 0) {
            return 0;
        }
        m_havePending = true;
        return 1;
    }

    // The driver takes what it can within the write's own time-out; there is nothing to wait for first.
    int WaitWritable(uint32_t /*timeoutMs*/) override { return 1; }

    int LastError() const override { return m_lastError; }

    // The time-outs in force after the open.
    bool StartTimeouts() {
        COMMTIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = MAXDWORD;
        timeouts.WriteTotalTimeoutConstant = WRITE_SLICE_MS;
        if (!SetCommTimeouts(m_handle, &timeouts)) {
            return Fail();
        }
        m_timeouts = timeouts;
        return true;
    }

  private:
    bool Fail() { return FailWith(ErrnoFromWin32(GetLastError(), Win32Object::SerialPort)); }
    bool FailWith(int reason) {
        m_lastError = reason;
        return false;
    }

    // GetCommState, the new rate (and with raw, the whole line as ConfigureLine describes), SetCommState.
    bool ChangeLine(uint32_t baudRate, bool raw) {
        if (!IsCameraBaudRate(baudRate)) {
            return FailWith(EINVAL);
        }
        DCB state{};
        state.DCBlength = sizeof state;
        if (!GetCommState(m_handle, &state)) {
            return Fail();
        }
        state.BaudRate = baudRate;
        if (raw) {
            state.ByteSize = 8;
            state.Parity = NOPARITY;
            state.StopBits = ONESTOPBIT;
            state.fBinary = TRUE;
            state.fParity = FALSE;
            state.fOutX = FALSE;
            state.fInX = FALSE;
            state.fDsrSensitivity = FALSE;
            state.fOutxDsrFlow = FALSE;
            state.fDtrControl = DTR_CONTROL_ENABLE;
            state.fErrorChar = FALSE;
            state.fNull = FALSE;
            state.fAbortOnError = FALSE;
        }
        if (!SetCommState(m_handle, &state)) {
            return Fail();
        }
        return true;
    }

    bool UseTimeouts(const COMMTIMEOUTS& timeouts) {
        if (SameTimeouts(timeouts, m_timeouts)) {
            return true;
        }
        COMMTIMEOUTS wanted = timeouts;
        if (!SetCommTimeouts(m_handle, &wanted)) {
            return Fail();
        }
        m_timeouts = timeouts;
        return true;
    }

    HANDLE m_handle;
    bool m_haveOriginal;
    DCB m_original;
    COMMTIMEOUTS m_originalTimeouts;
    COMMTIMEOUTS m_timeouts{};
    bool m_breakOn = false;
    bool m_havePending = false;
    uint8_t m_pending = 0;
    int m_lastError = 0;
};

}  // namespace

// CreateFile with share mode 0; the settings found are kept to be put back at close. A file that is not
// a port still opens; the link's next step (IsSerialDevice) finds out and closes it.
std::unique_ptr<ISerialPort> OpenWin32SerialPort(const char* path, int& errorNumber) {
    errorNumber = 0;
    const std::wstring widePath = WideFromUtf8(path != nullptr ? path : "");
    if (widePath.empty()) {
        errorNumber = ENOENT;
        return nullptr;
    }
    HANDLE handle = CreateFileW(widePath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        errorNumber = ErrnoFromWin32(GetLastError(), Win32Object::SerialPort);
        return nullptr;
    }
    DCB original{};
    original.DCBlength = sizeof original;
    COMMTIMEOUTS originalTimeouts{};
    const bool haveOriginal = GetCommState(handle, &original) && GetCommTimeouts(handle, &originalTimeouts);
    auto port = std::make_unique<Win32SerialPort>(handle, haveOriginal, original, originalTimeouts);
    if (haveOriginal && !port->StartTimeouts()) {
        errorNumber = port->LastError();
        return nullptr;
    }
    return port;
}

}  // namespace platform
