// The camera's USB driver on Windows. The device object is opened for overlapped I/O, so that a request
// the driver does not finish within the request limit can be given up: the wait on the request's event
// is bounded, then the request is cancelled (CancelIoEx) and its end awaited before the buffer is
// released. The driver's answer is written into the same buffer (METHOD_BUFFERED).
#include "platform/win32_usb_driver.h"

#include <windows.h>

#include <cerrno>

#include "platform/win32_error.h"
#include "platform/win32_path.h"

namespace platform {

namespace {

class Win32UsbConnection final : public IUsbConnection {
  public:
    Win32UsbConnection(HANDLE device, HANDLE event, uint32_t requestLimitMs)
        : m_device(device), m_event(event), m_requestLimitMs(requestLimitMs) {}
    ~Win32UsbConnection() override {
        CloseHandle(m_device);
        CloseHandle(m_event);
    }
    Win32UsbConnection(const Win32UsbConnection&) = delete;
    Win32UsbConnection& operator=(const Win32UsbConnection&) = delete;

    bool Request(uint32_t controlCode, uint8_t* buffer, uint32_t length) override {
        OVERLAPPED request{};
        request.hEvent = m_event;
        ResetEvent(m_event);
        DWORD returned = 0;
        if (!DeviceIoControl(m_device, controlCode, buffer, length, buffer, length, &returned, &request)) {
            const DWORD started = GetLastError();
            if (started != ERROR_IO_PENDING) {
                return Fail(started);
            }
            if (WaitForSingleObject(m_event, m_requestLimitMs) != WAIT_OBJECT_0) {
                CancelIoEx(m_device, &request);
                GetOverlappedResult(m_device, &request, &returned, TRUE);
                m_lastError = ETIMEDOUT;
                return false;
            }
            if (!GetOverlappedResult(m_device, &request, &returned, FALSE)) {
                return Fail(GetLastError());
            }
        }
        return true;
    }

    int LastError() const override { return m_lastError; }

  private:
    bool Fail(DWORD code) {
        m_lastError = ErrnoFromWin32(code, Win32Object::UsbDevice);
        return false;
    }

    HANDLE m_device;
    HANDLE m_event;
    uint32_t m_requestLimitMs;
    int m_lastError = 0;
};

}  // namespace

std::unique_ptr<IUsbConnection> OpenWin32UsbDevice(const char* devicePath, int& errorNumber,
                                                   uint32_t requestLimitMs) {
    errorNumber = 0;
    const std::wstring widePath = WideFromUtf8(devicePath != nullptr ? devicePath : "");
    if (widePath.empty()) {
        errorNumber = ENOENT;
        return nullptr;
    }
    HANDLE device = CreateFileW(widePath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        errorNumber = ErrnoFromWin32(GetLastError(), Win32Object::UsbDevice);
        return nullptr;
    }
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) {
        errorNumber = ErrnoFromWin32(GetLastError(), Win32Object::UsbDevice);
        CloseHandle(device);
        return nullptr;
    }
    return std::make_unique<Win32UsbConnection>(device, event, requestLimitMs);
}

}  // namespace platform
