// The emulated USB camera: a umockdev testbed device per camera and an ioctl handler on its usbfs node
// that plays the USB device for libusb (see usb_emulation.h).
//
// libusb drives a device through usbfs ioctls: it submits URBs (SUBMITURB), polls the node and collects
// finished ones (REAPURBNDELAY), and cancels those that time out (DISCARDURB). The handler resolves a
// submitted URB and its buffer into its own memory, finishes control and bulk OUT URBs at once and bulk
// IN URBs once the camera has bytes due, and hands a finished URB back by pointing the reap's slot at
// it. The emulated node is always ready for libusb's poll, so libusb reaps thousands of times a second
// while it waits; the handler therefore does little per call.
#include "sim/usb_emulation.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <mutex>
#include <utility>

namespace sim {

namespace {

constexpr uint8_t REQUEST_GET_DESCRIPTOR = 0x06;
constexpr uint8_t DESCRIPTOR_DEVICE = 0x01;
constexpr uint8_t DESCRIPTOR_CONFIGURATION = 0x02;
constexpr size_t SETUP_SIZE = 8;
constexpr uint32_t CAPABILITIES = USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_BULK_CONTINUATION;
constexpr int USB_DEVICE_MAJOR = 189;
constexpr size_t MAX_PACKET = 64;  // the bulk endpoints' wMaxPacketSize in the camera's configuration

// One URB between its submission and its reaping, resolved into the handler's memory.
struct PendingUrb {
    UMockdevIoctlClient* client = nullptr;  // the open handle that submitted it (not owned)
    UMockdevIoctlData* urb = nullptr;       // owned reference
    UMockdevIoctlData* buffer = nullptr;    // owned reference; none for an empty buffer
    bool done = false;

    usbdevfs_urb& Fields() const { return *reinterpret_cast<usbdevfs_urb*>(urb->data); }
    uint8_t* Bytes() const { return buffer != nullptr ? buffer->data : nullptr; }
    void Finish(int status, int actualLength) {
        Fields().status = status;
        Fields().actual_length = actualLength;
        done = true;
    }
};

void Release(PendingUrb& pending) {
    if (pending.buffer != nullptr) {
        g_object_unref(pending.buffer);
    }
    g_object_unref(pending.urb);
}

class Camera final : public EmulatedUsbCamera {
  public:
    Camera(const CameraConfig& config, EmulatedUsbPlace place)
        : m_model(UsbConfig(config)), m_place(std::move(place)), m_start(std::chrono::steady_clock::now()) {}
    ~Camera() override {
        for (PendingUrb& pending : m_urbs) {
            Release(pending);
        }
        if (m_handler != nullptr) {
            g_object_unref(m_handler);
        }
    }

    void WithModel(const std::function<void(CameraModel&)>& f) override {
        std::lock_guard<std::mutex> lock(m_lock);
        f(m_model);
    }
    void RefuseClaim(int errorNumber) override {
        std::lock_guard<std::mutex> lock(m_lock);
        m_claimError = errorNumber;
    }
    void ScriptInPackets(std::deque<std::vector<uint8_t>> packets) override {
        std::lock_guard<std::mutex> lock(m_lock);
        m_script = std::move(packets);
    }
    uint32_t InTransfersSubmitted() override {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_inSubmitted;
    }
    uint32_t OutTransfersSubmitted() override {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_outSubmitted;
    }
    // Unplugged: as the kernel does, every URB in flight is given back with -ESHUTDOWN (libusb's "no
    // device"), reaping returns those and then fails with ENODEV, and every other request fails with
    // ENODEV at once.
    void BindKernelDriver() override {
        std::lock_guard<std::mutex> lock(m_lock);
        m_hasKernelDriver = true;
        m_kernelDriverBound = true;
    }
    bool KernelDriverBound() override {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_kernelDriverBound;
    }
    uint32_t KernelDriverDetaches() override {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_kernelDriverDetaches;
    }

    void SetGone() {
        std::lock_guard<std::mutex> lock(m_lock);
        m_gone = true;
        for (PendingUrb& pending : m_urbs) {
            if (!pending.done) {
                pending.Finish(-ESHUTDOWN, 0);
            }
        }
    }

    const EmulatedUsbPlace& Place() const { return m_place; }
    std::string DeviceNode() const {
        char node[64];
        std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", m_place.busNumber, m_place.deviceNumber);
        return node;
    }
    UMockdevIoctlBase* Handler() {
        if (m_handler == nullptr) {
            m_handler = umockdev_ioctl_base_new();
            g_signal_connect(m_handler, "handle-ioctl", G_CALLBACK(&Camera::OnIoctl), this);
            g_signal_connect(m_handler, "client-vanished", G_CALLBACK(&Camera::OnClientVanished), this);
        }
        return m_handler;
    }

  private:
    static CameraConfig UsbConfig(CameraConfig config) {
        config.link = LinkKind::Usb;
        return config;
    }
    static gboolean OnIoctl(UMockdevIoctlBase* /*handler*/, UMockdevIoctlClient* client, gpointer self) {
        static_cast<Camera*>(self)->HandleIoctl(client);
        return TRUE;
    }
    static void OnClientVanished(UMockdevIoctlBase* /*handler*/, UMockdevIoctlClient* client, gpointer self) {
        static_cast<Camera*>(self)->DropUrbsOf(client);
    }

    uint32_t NowMs() const {
        return static_cast<uint32_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - m_start)
                .count());
    }

    void HandleIoctl(UMockdevIoctlClient* client);
    void GetDriver(UMockdevIoctlClient* client, UMockdevIoctlData* argument);
    void ConnectDriver(UMockdevIoctlClient* client, UMockdevIoctlData* argument);
    void Submit(UMockdevIoctlClient* client, UMockdevIoctlData* argument);
    void Reap(UMockdevIoctlClient* client, UMockdevIoctlData* argument);
    void Discard(UMockdevIoctlClient* client, UMockdevIoctlData* argument);
    void FinishControl(PendingUrb& pending);
    void ServeInUrbs();
    void DropUrbsOf(UMockdevIoctlClient* client);

    std::mutex m_lock;
    CameraModel m_model;
    EmulatedUsbPlace m_place;
    std::chrono::steady_clock::time_point m_start;
    UMockdevIoctlBase* m_handler = nullptr;
    std::list<PendingUrb> m_urbs;  // in submission order
    std::deque<std::vector<uint8_t>> m_script;
    int m_claimError = 0;
    uint32_t m_inSubmitted = 0;
    uint32_t m_outSubmitted = 0;
    bool m_gone = false;
    bool m_hasKernelDriver = false;  // the kernel has a driver for the camera, bound or detached
    bool m_kernelDriverBound = false;
    uint32_t m_kernelDriverDetaches = 0;
};

void Camera::HandleIoctl(UMockdevIoctlClient* client) {
    const gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* argument = umockdev_ioctl_client_get_arg(client);
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_gone && request != USBDEVFS_REAPURB && request != USBDEVFS_REAPURBNDELAY) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return;
    }
    switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            UMockdevIoctlData* value = umockdev_ioctl_data_resolve(argument, 0, sizeof(uint32_t), nullptr);
            if (value == nullptr) {
                umockdev_ioctl_client_complete(client, -1, EFAULT);
                return;
            }
            std::memcpy(value->data, &CAPABILITIES, sizeof CAPABILITIES);
            umockdev_ioctl_client_complete(client, 0, 0);
            g_object_unref(value);
            return;
        }
        case USBDEVFS_CLAIMINTERFACE: {
            const int error = m_kernelDriverBound ? EBUSY : m_claimError;
            umockdev_ioctl_client_complete(client, error == 0 ? 0 : -1, error);
            return;
        }
        case USBDEVFS_RELEASEINTERFACE:
        case USBDEVFS_CLEAR_HALT:
        case USBDEVFS_RESETEP:
        case USBDEVFS_SETINTERFACE:
        case USBDEVFS_SETCONFIGURATION:
            umockdev_ioctl_client_complete(client, 0, 0);
            return;
        case USBDEVFS_GETDRIVER:
            GetDriver(client, argument);
            return;
        case USBDEVFS_IOCTL:
            ConnectDriver(client, argument);
            return;
        case USBDEVFS_SUBMITURB:
            Submit(client, argument);
            return;
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY:
            Reap(client, argument);
            return;
        case USBDEVFS_DISCARDURB:
            Discard(client, argument);
            return;
        default:
            umockdev_ioctl_client_complete(client, -1, ENOTTY);
            return;
    }
}

// The kernel driver bound to the interface, if any; ENODATA when none is.
void Camera::GetDriver(UMockdevIoctlClient* client, UMockdevIoctlData* argument) {
    if (!m_kernelDriverBound) {
        umockdev_ioctl_client_complete(client, -1, ENODATA);
        return;
    }
    UMockdevIoctlData* value = umockdev_ioctl_data_resolve(argument, 0, sizeof(usbdevfs_getdriver), nullptr);
    if (value == nullptr) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    usbdevfs_getdriver& request = *reinterpret_cast<usbdevfs_getdriver*>(value->data);
    std::snprintf(request.driver, sizeof request.driver, "%s", "qx410cam");
    umockdev_ioctl_client_complete(client, 0, 0);
    g_object_unref(value);
}

// USBDEVFS_IOCTL carrying DISCONNECT (detach the kernel driver) or CONNECT (give it back). A camera the
// kernel has no driver for gets none on CONNECT.
void Camera::ConnectDriver(UMockdevIoctlClient* client, UMockdevIoctlData* argument) {
    UMockdevIoctlData* value = umockdev_ioctl_data_resolve(argument, 0, sizeof(usbdevfs_ioctl), nullptr);
    if (value == nullptr) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    const int code = reinterpret_cast<usbdevfs_ioctl*>(value->data)->ioctl_code;
    g_object_unref(value);
    if (code == static_cast<int>(USBDEVFS_DISCONNECT) && m_kernelDriverBound) {
        m_kernelDriverBound = false;
        ++m_kernelDriverDetaches;
        umockdev_ioctl_client_complete(client, 0, 0);
    } else if (code == static_cast<int>(USBDEVFS_CONNECT) && m_hasKernelDriver && !m_kernelDriverBound) {
        m_kernelDriverBound = true;
        umockdev_ioctl_client_complete(client, 0, 0);
    } else {
        umockdev_ioctl_client_complete(client, -1, ENODATA);
    }
}

void Camera::Submit(UMockdevIoctlClient* client, UMockdevIoctlData* argument) {
    PendingUrb pending;
    pending.client = client;
    pending.urb = umockdev_ioctl_data_resolve(argument, 0, sizeof(usbdevfs_urb), nullptr);
    if (pending.urb == nullptr) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    const usbdevfs_urb& fields = pending.Fields();
    if (fields.buffer_length < 0) {
        g_object_unref(pending.urb);
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    }
    if (fields.buffer_length > 0) {
        pending.buffer = umockdev_ioctl_data_resolve(pending.urb, offsetof(usbdevfs_urb, buffer),
                                                     static_cast<gsize>(fields.buffer_length), nullptr);
        if (pending.buffer == nullptr) {
            g_object_unref(pending.urb);
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return;
        }
    }
    const bool in = (fields.endpoint & 0x80) != 0;
    if (fields.type == USBDEVFS_URB_TYPE_CONTROL) {
        FinishControl(pending);
    } else if (fields.type == USBDEVFS_URB_TYPE_BULK && !in) {
        ++m_outSubmitted;
        m_model.Receive(pending.Bytes(), static_cast<size_t>(fields.buffer_length), NowMs(), 0);
        pending.Finish(0, fields.buffer_length);
    } else if (fields.type == USBDEVFS_URB_TYPE_BULK) {
        ++m_inSubmitted;
    } else {
        pending.Finish(-EPIPE, 0);  // the camera has no interrupt or isochronous endpoints
    }
    m_urbs.push_back(pending);
    umockdev_ioctl_client_complete(client, 0, 0);
}

// Standard GET_DESCRIPTOR for the device and configuration; anything else stalls, as the camera would.
void Camera::FinishControl(PendingUrb& pending) {
    const int length = pending.Fields().buffer_length;
    uint8_t* bytes = pending.Bytes();
    if (length < static_cast<int>(SETUP_SIZE)) {
        pending.Finish(-EPIPE, 0);
        return;
    }
    const uint8_t requestType = bytes[0];
    const uint8_t request = bytes[1];
    const uint8_t descriptorType = bytes[3];
    const size_t wanted = static_cast<size_t>(bytes[6] | (bytes[7] << 8));
    const std::vector<uint8_t>* descriptor = nullptr;
    if (requestType == 0x80 && request == REQUEST_GET_DESCRIPTOR && descriptorType == DESCRIPTOR_DEVICE) {
        descriptor = &m_model.DeviceDescriptor();
    } else if (requestType == 0x80 && request == REQUEST_GET_DESCRIPTOR &&
               descriptorType == DESCRIPTOR_CONFIGURATION) {
        descriptor = &m_model.Configuration();
    }
    if (descriptor == nullptr) {
        pending.Finish(-EPIPE, 0);
        return;
    }
    const size_t room = static_cast<size_t>(length) - SETUP_SIZE;
    const size_t count = std::min({wanted, room, descriptor->size()});
    std::memcpy(bytes + SETUP_SIZE, descriptor->data(), count);
    pending.Finish(0, static_cast<int>(count));
}

// Bulk IN URBs take the camera's due bytes (or the scripted packets) in the order they were submitted.
void Camera::ServeInUrbs() {
    for (PendingUrb& pending : m_urbs) {
        const usbdevfs_urb& fields = pending.Fields();
        if (pending.done || fields.type != USBDEVFS_URB_TYPE_BULK || (fields.endpoint & 0x80) == 0) {
            continue;
        }
        // The camera sends whole packets of up to MAX_PACKET bytes; a packet that does not fit the room
        // left in the buffer overflows it and is lost, as on a real host controller.
        const size_t room = static_cast<size_t>(fields.buffer_length);
        const size_t packetRoom = (room + MAX_PACKET - 1) / MAX_PACKET * MAX_PACKET;
        std::vector<uint8_t> bytes;
        if (!m_script.empty()) {
            bytes = std::move(m_script.front());
            m_script.pop_front();
            bytes.resize(std::min(bytes.size(), packetRoom));
        } else {
            bytes.resize(packetRoom);
            bytes.resize(m_model.Transmit(bytes.data(), packetRoom, NowMs(), 0));
        }
        if (bytes.empty()) {
            return;  // the oldest IN URB waits for the camera's next bytes
        }
        if (bytes.size() > room) {
            pending.Finish(-EOVERFLOW, 0);
            continue;
        }
        std::memcpy(pending.Bytes(), bytes.data(), bytes.size());
        pending.Finish(0, static_cast<int>(bytes.size()));
    }
}

void Camera::Reap(UMockdevIoctlClient* client, UMockdevIoctlData* argument) {
    if (!m_gone) {
        ServeInUrbs();
    }
    for (auto it = m_urbs.begin(); it != m_urbs.end(); ++it) {
        if (it->client != client || !it->done) {
            continue;
        }
        // The reap's argument is a pointer to the caller's URB pointer: point it at the finished URB,
        // whose fields and buffer go back to the caller with this answer.
        UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(argument, 0, sizeof(void*), nullptr);
        if (slot == nullptr) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return;
        }
        umockdev_ioctl_data_set_ptr(slot, 0, it->urb);
        umockdev_ioctl_client_complete(client, 0, 0);
        g_object_unref(slot);
        Release(*it);
        m_urbs.erase(it);
        return;
    }
    umockdev_ioctl_client_complete(client, -1, m_gone ? ENODEV : EAGAIN);
}

// A cancelled URB (libusb's time-out) is reaped with -ENOENT, keeping what it had received.
void Camera::Discard(UMockdevIoctlClient* client, UMockdevIoctlData* argument) {
    gulong address = 0;
    if (argument->data_len >= static_cast<gint>(sizeof address)) {
        std::memcpy(&address, argument->data, sizeof address);
    }
    for (PendingUrb& pending : m_urbs) {
        if (pending.client == client && !pending.done && pending.urb->client_addr == address) {
            pending.Finish(-ENOENT, 0);
            umockdev_ioctl_client_complete(client, 0, 0);
            return;
        }
    }
    umockdev_ioctl_client_complete(client, -1, EINVAL);
}

void Camera::DropUrbsOf(UMockdevIoctlClient* client) {
    std::lock_guard<std::mutex> lock(m_lock);
    for (auto it = m_urbs.begin(); it != m_urbs.end();) {
        if (it->client == client) {
            Release(*it);
            it = m_urbs.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace

struct UsbEmulation::State {
    UMockdevTestbed* testbed = nullptr;
    std::list<std::unique_ptr<Camera>> cameras;
    std::list<std::string> syspaths;  // per camera, same order
};

UsbEmulation::UsbEmulation() : m_state(std::make_unique<State>()) {
    m_state->testbed = umockdev_testbed_new();
}

UsbEmulation::~UsbEmulation() {
    // The testbed goes first: it stops the handlers before the cameras they call into.
    g_object_unref(m_state->testbed);
    m_state->cameras.clear();
}

bool UsbEmulation::InMockEnvironment() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::strstr(preload, "libumockdev-preload") != nullptr;
}

std::string UsbEmulation::RootDir() const {
    gchar* root = umockdev_testbed_get_root_dir(m_state->testbed);
    std::string text = root != nullptr ? root : "";
    g_free(root);
    return text;
}

EmulatedUsbCamera& UsbEmulation::AddCamera(const CameraConfig& config, const EmulatedUsbPlace& place) {
    auto camera = std::make_unique<Camera>(config, place);
    std::vector<uint8_t> descriptors;
    camera->WithModel([&](CameraModel& model) {
        descriptors = model.DeviceDescriptor();
        descriptors.insert(descriptors.end(), model.Configuration().begin(), model.Configuration().end());
    });
    // What the kernel's usb core puts in sysfs and udev for a device, as far as libusb and the updater
    // read it, in umockdev's record format (A: text attribute, H: binary attribute, E: udev property,
    // N: device node). Only a record makes the testbed create the device node itself.
    const std::string node = camera->DeviceNode();
    const int minor = (place.busNumber - 1) * 128 + place.deviceNumber - 1;
    char busnum[8], devnum[8];
    std::snprintf(busnum, sizeof busnum, "%03d", place.busNumber);
    std::snprintf(devnum, sizeof devnum, "%03d", place.deviceNumber);
    std::string record = "P: /devices/" + place.sysfsName + "\n";
    record += "N: " + node.substr(5) + "\n";
    record += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=" + node + "\n";
    record += std::string("E: BUSNUM=") + busnum + "\nE: DEVNUM=" + devnum + "\n";
    for (const auto& [name, value] :
         std::vector<std::pair<std::string, std::string>>{{"busnum", std::to_string(place.busNumber)},
                                                          {"devnum", std::to_string(place.deviceNumber)},
                                                          {"idVendor", place.vendorId},
                                                          {"idProduct", place.productId},
                                                          {"product", place.product},
                                                          {"manufacturer", "Corva"},
                                                          {"speed", "12"},
                                                          {"bConfigurationValue", "1"},
                                                          {"bNumConfigurations", "1"}}) {
        record += "A: " + name + "=" + value + "\\n\n";  // sysfs values end with a newline
    }
    record += "A: dev=" + std::to_string(USB_DEVICE_MAJOR) + ":" + std::to_string(minor) + "\n";
    record += "H: descriptors=";
    char hex[3];
    for (uint8_t byte : descriptors) {
        std::snprintf(hex, sizeof hex, "%02X", byte);
        record += hex;
    }
    record += "\n";
    umockdev_testbed_add_from_string(m_state->testbed, record.c_str(), nullptr);
    umockdev_testbed_attach_ioctl(m_state->testbed, node.c_str(), camera->Handler(), nullptr);
    m_state->syspaths.push_back("/sys/devices/" + place.sysfsName);
    m_state->cameras.push_back(std::move(camera));
    return *m_state->cameras.back();
}

void UsbEmulation::Unplug(EmulatedUsbCamera& camera) {
    auto path = m_state->syspaths.begin();
    for (auto& owned : m_state->cameras) {
        if (owned.get() == &camera) {
            owned->SetGone();
            umockdev_testbed_remove_device(m_state->testbed, path->c_str());
            return;
        }
        ++path;
    }
}

}  // namespace sim
