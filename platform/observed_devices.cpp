// Pass-through devices that report every open, transfer and line change to an observer.
#include "platform/observed_devices.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "wire/usb_driver.h"

namespace platform {

namespace {

std::string Describe(const char* what, const char* name, int errorNumber) {
    std::string text = std::string(what) + " " + (name != nullptr ? name : "(none)");
    if (errorNumber != 0) {
        text += std::string(": ") + std::strerror(errorNumber);
    }
    return text;
}

class ObservedSerialPort final : public ISerialPort {
  public:
    ObservedSerialPort(std::unique_ptr<ISerialPort> inner, ILinkObserver& observer, std::string name)
        : m_inner(std::move(inner)), m_observer(observer), m_name(std::move(name)) {}
    ~ObservedSerialPort() override {
        m_inner.reset();
        m_observer.OnEvent("close " + m_name);
    }
    ObservedSerialPort(const ObservedSerialPort&) = delete;
    ObservedSerialPort& operator=(const ObservedSerialPort&) = delete;

    bool IsSerialDevice() override { return m_inner->IsSerialDevice(); }
    bool GetQueueState(QueueState& state) override { return m_inner->GetQueueState(state); }
    bool ConfigureLine(uint32_t baudRate) override {
        m_observer.OnEvent("line " + std::to_string(baudRate) + " 8N1");
        return m_inner->ConfigureLine(baudRate);
    }
    bool SetBaudRate(uint32_t baudRate) override {
        m_observer.OnEvent("line " + std::to_string(baudRate));
        return m_inner->SetBaudRate(baudRate);
    }
    bool Purge(bool input, bool output) override {
        m_observer.OnEvent(std::string("purge") + (input ? " input" : "") + (output ? " output" : ""));
        return m_inner->Purge(input, output);
    }
    bool SetBreak(bool on) override {
        m_observer.OnEvent(on ? "break on" : "break off");
        return m_inner->SetBreak(on);
    }
    long WriteSome(const uint8_t* data, size_t count) override {
        const long moved = m_inner->WriteSome(data, count);
        if (moved > 0) {
            m_observer.OnBytes(true, data, static_cast<size_t>(moved));
        }
        return moved;
    }
    long ReadSome(uint8_t* data, size_t count) override {
        const long moved = m_inner->ReadSome(data, count);
        if (moved > 0) {
            m_observer.OnBytes(false, data, static_cast<size_t>(moved));
        }
        return moved;
    }
    int WaitReadable(uint32_t timeoutMs) override { return m_inner->WaitReadable(timeoutMs); }
    int WaitWritable(uint32_t timeoutMs) override { return m_inner->WaitWritable(timeoutMs); }
    int LastError() const override { return m_inner->LastError(); }
    bool RequestLowLatency() override { return m_inner->RequestLowLatency(); }
    SerialAdapterFacts AdapterFacts() override { return m_inner->AdapterFacts(); }
    bool OutputHeldByFlowControl() override { return m_inner->OutputHeldByFlowControl(); }

  private:
    std::unique_ptr<ISerialPort> m_inner;
    ILinkObserver& m_observer;
    std::string m_name;
};

class ObservedUsbConnection final : public IUsbConnection {
  public:
    ObservedUsbConnection(std::unique_ptr<IUsbConnection> inner, ILinkObserver& observer, std::string name)
        : m_inner(std::move(inner)), m_observer(observer), m_name(std::move(name)) {}
    ~ObservedUsbConnection() override {
        m_inner.reset();
        m_observer.OnEvent("close " + m_name);
    }
    ObservedUsbConnection(const ObservedUsbConnection&) = delete;
    ObservedUsbConnection& operator=(const ObservedUsbConnection&) = delete;

    bool Request(uint32_t controlCode, uint8_t* buffer, uint32_t length) override {
        // The camera's bytes sit after the pipe word.
        constexpr uint32_t PIPE_WORD = wire::USB_PIPE_WORD_SIZE;
        const bool write = controlCode == wire::IOCTL_CAMERA_WRITE;
        if (write && length > PIPE_WORD) {
            m_observer.OnBytes(true, buffer + PIPE_WORD, length - PIPE_WORD);
        } else if (controlCode == wire::IOCTL_CAMERA_GET_DEVICE_DESCRIPTOR ||
                   controlCode == wire::IOCTL_CAMERA_GET_CONFIGURATION) {
            m_observer.OnEvent(std::string(controlCode == wire::IOCTL_CAMERA_GET_DEVICE_DESCRIPTOR
                                               ? "usb device descriptor "
                                               : "usb configuration ") +
                               std::to_string(length));
        }
        const bool done = m_inner->Request(controlCode, buffer, length);
        if (!done) {
            char text[48];
            std::snprintf(text, sizeof text, "usb request 0x%06x failed", controlCode);
            m_observer.OnEvent(text);
        } else if (controlCode == wire::IOCTL_CAMERA_READ && length > PIPE_WORD) {
            // A successful read hands back exactly the bytes asked for.
            m_observer.OnBytes(false, buffer + PIPE_WORD, length - PIPE_WORD);
        }
        return done;
    }

  private:
    std::unique_ptr<IUsbConnection> m_inner;
    ILinkObserver& m_observer;
    std::string m_name;
};

class ObservedDeviceSet final : public IDevices {
  public:
    ObservedDeviceSet(IDevices& inner, ILinkObserver& observer) : m_inner(inner), m_observer(observer) {}

    std::unique_ptr<ISerialPort> OpenSerialPort(const char* portName, int& errorNumber) override {
        std::unique_ptr<ISerialPort> port = m_inner.OpenSerialPort(portName, errorNumber);
        m_observer.OnEvent(Describe(port ? "open" : "cannot open", portName, port ? 0 : errorNumber));
        if (!port) {
            return nullptr;
        }
        return std::make_unique<ObservedSerialPort>(std::move(port), m_observer, portName);
    }

    std::unique_ptr<IUsbConnection> OpenUsbDevice(const char* devicePath, int& errorNumber) override {
        std::unique_ptr<IUsbConnection> connection = m_inner.OpenUsbDevice(devicePath, errorNumber);
        if (!connection) {
            // Every absent instance of a search would be a line of its own: only the opens and the
            // refusals of a device that is there are told.
            if (errorNumber != ENOENT && errorNumber != 0) {
                m_observer.OnEvent(Describe("cannot open", devicePath, errorNumber));
            }
            return nullptr;
        }
        m_observer.OnEvent(Describe("open", devicePath, 0));
        return std::make_unique<ObservedUsbConnection>(std::move(connection), m_observer, devicePath);
    }

  private:
    IDevices& m_inner;
    ILinkObserver& m_observer;
};

}  // namespace

std::unique_ptr<IDevices> ObserveDevices(IDevices& inner, ILinkObserver& observer) {
    return std::make_unique<ObservedDeviceSet>(inner, observer);
}

}  // namespace platform
