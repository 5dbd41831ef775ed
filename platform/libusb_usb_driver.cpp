// The camera's USB driver on libusb-1.0: a connection is the opened device and its claimed first
// interface, on the program's one libusb context; each of the four driver requests is one or more
// synchronous libusb calls.
//
//   GET_DEVICE_DESCRIPTOR  control GET_DESCRIPTOR (device) from the device, 18 bytes
//   GET_CONFIGURATION      control GET_DESCRIPTOR (configuration 0), as many bytes as asked
//   WRITE (pipe word 0)    one bulk OUT transfer on the interface's first bulk OUT endpoint
//   READ (pipe word = ep)  bulk IN transfers on that endpoint until exactly the count asked has come
//
// The session opens the device for every operation and closes it after, as it does the driver's device
// object; the context outlives those connections, so an open costs a device lookup, not a library
// start. It is made on the first open and ended once, when the program ends and the last connection
// has let it go.
//
// Bulk IN transfers are submitted in whole maximum-size packets: a smaller buffer would let the host
// controller report an overflow and drop the packet. Whatever a packet carries beyond the count asked
// is kept per device for the next read, across the close and reopen of every session operation, as a
// driver keeps its own queue.
//
// Every request is bounded by the request limit; errors keep their errno for the session's messages.
// A request that runs past its bound closes the connection, as the driver socket's client does: the
// camera may still answer the abandoned transfer, and those bytes would be taken as the answer to the
// next request. Later requests on the connection fail at once, so the session ends the operation instead
// of sending the camera commands it no longer follows.
#include "platform/libusb_usb_driver.h"

#include <libusb.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>

#include "common/byte_order.h"
#include "common/clock.h"
#include "wire/usb_driver.h"

namespace platform {
namespace {

constexpr uint32_t PIPE_WORD_SIZE = wire::USB_PIPE_WORD_SIZE;
constexpr uint32_t CONTROL_LENGTH_MAX = 0xFFFF;

// errno for a libusb error code.
int ErrnoOf(int libusbError) {
    switch (libusbError) {
        case LIBUSB_SUCCESS:
            return 0;
        case LIBUSB_ERROR_INVALID_PARAM:
            return EINVAL;
        case LIBUSB_ERROR_ACCESS:
            return EACCES;
        case LIBUSB_ERROR_NO_DEVICE:
            return ENODEV;
        case LIBUSB_ERROR_NOT_FOUND:
            return ENOENT;
        case LIBUSB_ERROR_BUSY:
            return EBUSY;
        case LIBUSB_ERROR_TIMEOUT:
            return ETIMEDOUT;
        case LIBUSB_ERROR_OVERFLOW:
            return EOVERFLOW;
        case LIBUSB_ERROR_PIPE:
            return EPIPE;
        case LIBUSB_ERROR_INTERRUPTED:
            return EINTR;
        case LIBUSB_ERROR_NO_MEM:
            return ENOMEM;
        case LIBUSB_ERROR_NOT_SUPPORTED:
            return ENOTSUP;
        default:
            return EIO;
    }
}

// libusb's time-out argument: 0 would mean no limit, so a spent deadline still waits 1 ms.
unsigned int TransferTimeout(const Deadline& deadline) {
    return std::max<uint32_t>(deadline.RemainingMs(), 1);
}

// libusb's context, shared with every connection opened on it so that it is ended only after the last.
using ContextShare = std::shared_ptr<libusb_context>;

struct DeviceUnref {
    void operator()(libusb_device* device) const { libusb_unref_device(device); }
};
struct DeviceListFree {
    void operator()(libusb_device** list) const { libusb_free_device_list(list, 1); }
};
struct ConfigFree {
    void operator()(libusb_config_descriptor* config) const { libusb_free_config_descriptor(config); }
};
struct HandleClose {
    void operator()(libusb_device_handle* handle) const { libusb_close(handle); }
};
using DeviceRef = std::unique_ptr<libusb_device, DeviceUnref>;
using DeviceHandle = std::unique_ptr<libusb_device_handle, HandleClose>;

// A claimed interface, given back when the owner goes. libusb detached a kernel driver that held it
// (auto-detach), and releasing the interface gives the driver back.
class InterfaceClaim {
  public:
    InterfaceClaim() = default;
    InterfaceClaim(libusb_device_handle* handle, int interfaceNumber)
        : m_handle(handle), m_interfaceNumber(interfaceNumber) {}
    ~InterfaceClaim() { Release(); }
    InterfaceClaim(InterfaceClaim&& other) noexcept
        : m_handle(std::exchange(other.m_handle, nullptr)), m_interfaceNumber(other.m_interfaceNumber) {}
    InterfaceClaim& operator=(InterfaceClaim&& other) noexcept {
        if (this != &other) {
            Release();
            m_handle = std::exchange(other.m_handle, nullptr);
            m_interfaceNumber = other.m_interfaceNumber;
        }
        return *this;
    }
    InterfaceClaim(const InterfaceClaim&) = delete;
    InterfaceClaim& operator=(const InterfaceClaim&) = delete;

    void Release() {
        if (m_handle != nullptr) {
            libusb_release_interface(m_handle, m_interfaceNumber);
            m_handle = nullptr;
        }
    }
    // The device went away: there is nothing left to give back.
    void Forget() { m_handle = nullptr; }

  private:
    libusb_device_handle* m_handle = nullptr;
    int m_interfaceNumber = -1;
};

// Claims the interface, with libusb detaching a kernel driver that holds it. Where the platform cannot
// detach drivers, the claim is tried as it stands. A refused claim gives back a driver libusb may have
// detached for it, as a release would. Returns a libusb error code.
int ClaimInterface(libusb_device_handle* handle, int interfaceNumber, InterfaceClaim& claim) {
    const int autoDetach = libusb_set_auto_detach_kernel_driver(handle, 1);
    if (autoDetach != LIBUSB_SUCCESS && autoDetach != LIBUSB_ERROR_NOT_SUPPORTED) {
        return autoDetach;
    }
    const int result = libusb_claim_interface(handle, interfaceNumber);
    if (result != LIBUSB_SUCCESS) {
        if (autoDetach == LIBUSB_SUCCESS) {
            libusb_attach_kernel_driver(handle, interfaceNumber);
        }
        return result;
    }
    claim = InterfaceClaim(handle, interfaceNumber);
    return LIBUSB_SUCCESS;
}

// The device with the bus and device numbers sysfs gave; nullptr when the context does not list it.
DeviceRef FindDevice(libusb_context* context, const UsbCameraEntry& camera) {
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    if (count < 0) {
        return nullptr;
    }
    const std::unique_ptr<libusb_device*, DeviceListFree> listOwner(list);
    for (ssize_t i = 0; i < count; ++i) {
        if (libusb_get_bus_number(list[i]) == camera.busNumber &&
            libusb_get_device_address(list[i]) == camera.deviceNumber) {
            return DeviceRef(libusb_ref_device(list[i]));
        }
    }
    return nullptr;
}

// The endpoints of the interface the driver uses.
struct InterfaceEndpoints {
    int interfaceNumber = -1;
    uint8_t bulkOut = 0;                           // 0 when there is none
    std::map<uint8_t, uint16_t> bulkInPacketSize;  // IN endpoint address -> wMaxPacketSize
};

bool DescribeFirstInterface(libusb_device* device, InterfaceEndpoints& endpoints) {
    libusb_config_descriptor* described = nullptr;
    if (libusb_get_config_descriptor(device, 0, &described) != LIBUSB_SUCCESS || described == nullptr) {
        return false;
    }
    const std::unique_ptr<libusb_config_descriptor, ConfigFree> config(described);
    if (config->bNumInterfaces == 0 || config->interface[0].num_altsetting == 0) {
        return false;
    }
    const libusb_interface_descriptor& interface = config->interface[0].altsetting[0];
    endpoints.interfaceNumber = interface.bInterfaceNumber;
    for (int i = 0; i < interface.bNumEndpoints; ++i) {
        const libusb_endpoint_descriptor& endpoint = interface.endpoint[i];
        if ((endpoint.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) != LIBUSB_TRANSFER_TYPE_BULK) {
            continue;
        }
        if ((endpoint.bEndpointAddress & LIBUSB_ENDPOINT_DIR_MASK) == LIBUSB_ENDPOINT_IN) {
            endpoints.bulkInPacketSize[endpoint.bEndpointAddress] = endpoint.wMaxPacketSize;
        } else if (endpoints.bulkOut == 0) {
            endpoints.bulkOut = endpoint.bEndpointAddress;
        }
    }
    return true;
}

// The bytes kept for a device between its connections, as its driver's queue would hold them. Bus and
// device number name the device, so one plugged in again starts empty. Guarded by KeptBytesLock.
std::vector<uint8_t>& KeptBytesOf(int busNumber, int deviceNumber) {
    static std::map<std::pair<int, int>, std::vector<uint8_t>> keptBytes;
    return keptBytes[{busNumber, deviceNumber}];
}

std::mutex& KeptBytesLock() {
    static std::mutex lock;
    return lock;
}

class LibusbConnection final : public IUsbConnection {
  public:
    LibusbConnection(ContextShare context, DeviceHandle handle, InterfaceClaim claim,
                     InterfaceEndpoints endpoints, const UsbCameraEntry& camera, uint32_t requestLimitMs)
        : m_context(std::move(context)),
          m_handle(std::move(handle)),
          m_claim(std::move(claim)),
          m_endpoints(std::move(endpoints)),
          m_camera(camera),
          m_requestLimitMs(requestLimitMs) {}

    bool Request(uint32_t controlCode, uint8_t* buffer, uint32_t length) override;
    int LastError() const override { return m_lastError; }

  private:
    bool GetDescriptor(uint8_t descriptorType, uint8_t* buffer, uint32_t length, const Deadline& deadline);
    bool WritePacket(const uint8_t* packet, uint32_t count, const Deadline& deadline);
    bool ReadPacket(uint8_t endpoint, uint8_t* out, uint32_t count, const Deadline& deadline);
    // Keeps the errno for libusbError; a stalled endpoint is cleared so the next request can use it, and
    // a time-out closes the connection.
    bool Fail(int libusbError, uint8_t endpoint = 0);

    // Destroyed in reverse: the interface is given back, then the device closed, then the context let go.
    ContextShare m_context;
    DeviceHandle m_handle;
    InterfaceClaim m_claim;
    InterfaceEndpoints m_endpoints;
    UsbCameraEntry m_camera;
    uint32_t m_requestLimitMs;
    int m_lastError = 0;
    int m_closedError = 0;  // not 0: the connection is closed for this errno; later requests fail at once
};

bool LibusbConnection::Request(uint32_t controlCode, uint8_t* buffer, uint32_t length) {
    if (m_closedError != 0) {
        m_lastError = m_closedError;
        return false;
    }
    if (buffer == nullptr && length != 0) {
        m_lastError = EINVAL;
        return false;
    }
    const Deadline deadline(m_requestLimitMs);
    switch (controlCode) {
        case wire::IOCTL_CAMERA_GET_DEVICE_DESCRIPTOR:
            return GetDescriptor(LIBUSB_DT_DEVICE, buffer, length, deadline);
        case wire::IOCTL_CAMERA_GET_CONFIGURATION:
            return GetDescriptor(LIBUSB_DT_CONFIG, buffer, length, deadline);
        case wire::IOCTL_CAMERA_WRITE:
            // Pipe word 0, then the packet.
            if (length < PIPE_WORD_SIZE || LoadLe32(buffer) != 0) {
                return Fail(LIBUSB_ERROR_INVALID_PARAM);
            }
            return WritePacket(buffer + PIPE_WORD_SIZE, length - PIPE_WORD_SIZE, deadline);
        case wire::IOCTL_CAMERA_READ: {
            // Pipe word = the IN endpoint's address, then room for the bytes wanted.
            if (length < PIPE_WORD_SIZE) {
                return Fail(LIBUSB_ERROR_INVALID_PARAM);
            }
            const uint32_t pipe = LoadLe32(buffer);
            if (pipe > 0xFF) {
                return Fail(LIBUSB_ERROR_INVALID_PARAM);
            }
            return ReadPacket(static_cast<uint8_t>(pipe), buffer + PIPE_WORD_SIZE, length - PIPE_WORD_SIZE,
                              deadline);
        }
        default:
            return Fail(LIBUSB_ERROR_NOT_SUPPORTED);
    }
}

bool LibusbConnection::GetDescriptor(uint8_t descriptorType, uint8_t* buffer, uint32_t length,
                                     const Deadline& deadline) {
    if (length > CONTROL_LENGTH_MAX) {
        return Fail(LIBUSB_ERROR_INVALID_PARAM);
    }
    // Standard GET_DESCRIPTOR: device-to-host, wValue = type << 8 | index 0, wIndex 0 (no language).
    const int moved =
        libusb_control_transfer(m_handle.get(), LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                                static_cast<uint16_t>(descriptorType << 8), 0, buffer,
                                static_cast<uint16_t>(length), TransferTimeout(deadline));
    if (moved < 0) {
        return Fail(moved);
    }
    return true;
}

bool LibusbConnection::WritePacket(const uint8_t* packet, uint32_t count, const Deadline& deadline) {
    if (m_endpoints.bulkOut == 0) {
        return Fail(LIBUSB_ERROR_NOT_FOUND);
    }
    int transferred = 0;
    // libusb takes a non-const buffer for both directions; an OUT transfer only reads it.
    const int result = libusb_bulk_transfer(m_handle.get(), m_endpoints.bulkOut, const_cast<uint8_t*>(packet),
                                            static_cast<int>(count), &transferred, TransferTimeout(deadline));
    if (result != LIBUSB_SUCCESS) {
        return Fail(result, m_endpoints.bulkOut);
    }
    if (static_cast<uint32_t>(transferred) != count) {
        return Fail(LIBUSB_ERROR_IO);
    }
    return true;
}

bool LibusbConnection::ReadPacket(uint8_t endpoint, uint8_t* out, uint32_t count, const Deadline& deadline) {
    const auto packetSize = m_endpoints.bulkInPacketSize.find(endpoint);
    if (packetSize == m_endpoints.bulkInPacketSize.end() || packetSize->second == 0) {
        return Fail(LIBUSB_ERROR_INVALID_PARAM);
    }
    int failure = LIBUSB_SUCCESS;
    const BulkInTransfer transfer = [&](uint8_t* room, size_t roomLength, size_t& received) {
        received = 0;
        if (deadline.Expired()) {
            failure = LIBUSB_ERROR_TIMEOUT;
            return ETIMEDOUT;
        }
        int transferred = 0;
        const int result = libusb_bulk_transfer(m_handle.get(), endpoint, room, static_cast<int>(roomLength),
                                                &transferred, TransferTimeout(deadline));
        received = transferred > 0 ? static_cast<size_t>(transferred) : 0;
        failure = result;
        return ErrnoOf(result);
    };
    int error = 0;
    {
        std::lock_guard<std::mutex> lock(KeptBytesLock());
        error = ReadExactly(KeptBytesOf(m_camera.busNumber, m_camera.deviceNumber), out, count,
                            packetSize->second, transfer);
    }
    return error == 0 || Fail(failure, endpoint);
}

bool LibusbConnection::Fail(int libusbError, uint8_t endpoint) {
    m_lastError = ErrnoOf(libusbError);
    if (libusbError == LIBUSB_ERROR_NO_DEVICE) {
        // The device's queue went with it, and its interface is no longer there to give back.
        m_claim.Forget();
        m_closedError = ENODEV;
        std::lock_guard<std::mutex> lock(KeptBytesLock());
        KeptBytesOf(m_camera.busNumber, m_camera.deviceNumber).clear();
    } else if (libusbError == LIBUSB_ERROR_TIMEOUT) {
        m_closedError = ETIMEDOUT;
        m_claim.Release();
        m_handle.reset();
    } else if (libusbError == LIBUSB_ERROR_PIPE && endpoint != 0) {
        libusb_clear_halt(m_handle.get(), endpoint);
    }
    return false;
}

}  // namespace

int ReadExactly(std::vector<uint8_t>& kept, uint8_t* out, size_t count, size_t maxPacketSize,
                const BulkInTransfer& transfer) {
    if (maxPacketSize == 0) {
        return EINVAL;
    }
    std::vector<uint8_t> collected;
    collected.reserve(count);
    const size_t fromKept = std::min(count, kept.size());
    collected.insert(collected.end(), kept.begin(), kept.begin() + static_cast<std::ptrdiff_t>(fromKept));
    kept.erase(kept.begin(), kept.begin() + static_cast<std::ptrdiff_t>(fromKept));

    std::vector<uint8_t> room;
    while (collected.size() < count) {
        const size_t missing = count - collected.size();
        room.assign((missing + maxPacketSize - 1) / maxPacketSize * maxPacketSize, 0);
        size_t received = 0;
        const int error = transfer(room.data(), room.size(), received);
        received = std::min(received, room.size());
        collected.insert(collected.end(), room.begin(), room.begin() + static_cast<std::ptrdiff_t>(received));
        if (error != 0) {
            // Nothing the camera sent is dropped: the next read starts with it.
            kept.insert(kept.begin(), collected.begin(), collected.end());
            return error;
        }
    }
    std::memcpy(out, collected.data(), count);
    kept.insert(kept.begin(), collected.begin() + static_cast<std::ptrdiff_t>(count), collected.end());
    return 0;
}

struct LibusbCameras::Context {
    std::mutex lock;
    ContextShare share;  // empty until the first open that could start libusb
};

LibusbCameras::LibusbCameras() : m_context(std::make_unique<Context>()) {}
LibusbCameras::~LibusbCameras() = default;

std::unique_ptr<IUsbConnection> LibusbCameras::Open(const UsbCameraEntry& camera, uint32_t requestLimitMs,
                                                    int& errorNumber) {
    errorNumber = 0;
    ContextShare context;
    {
        const std::lock_guard<std::mutex> guard(m_context->lock);
        if (!m_context->share) {
            libusb_context* made = nullptr;
            const int result = libusb_init(&made);
            if (result != LIBUSB_SUCCESS) {
                errorNumber = ErrnoOf(result);
                return nullptr;  // the next open tries again
            }
            m_context->share.reset(made, libusb_exit);
        }
        context = m_context->share;
    }
    InterfaceEndpoints endpoints;
    const DeviceRef device = FindDevice(context.get(), camera);
    if (!device || !DescribeFirstInterface(device.get(), endpoints)) {
        errorNumber = ENODEV;
        return nullptr;
    }
    libusb_device_handle* opened = nullptr;
    int result = libusb_open(device.get(), &opened);
    DeviceHandle handle(result == LIBUSB_SUCCESS ? opened : nullptr);
    InterfaceClaim claim;
    if (result == LIBUSB_SUCCESS) {
        result = ClaimInterface(handle.get(), endpoints.interfaceNumber, claim);
    }
    if (result != LIBUSB_SUCCESS) {
        errorNumber = ErrnoOf(result);
        return nullptr;
    }
    return std::make_unique<LibusbConnection>(std::move(context), std::move(handle), std::move(claim),
                                              std::move(endpoints), camera, requestLimitMs);
}

}  // namespace platform
