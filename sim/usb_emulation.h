// An emulated QX410 camera on an emulated USB bus, for running the updater's libusb path without
// hardware. umockdev's testbed supplies the sysfs device (product string, descriptors, bus and device
// numbers) and the usbfs device node; a custom ioctl handler on that node answers the URBs libusb
// submits from the camera model: control GET_DESCRIPTOR from the model's descriptors, bulk OUT into the
// model, bulk IN from the camera's due bytes in whole 64-byte packets (a bulk IN buffer that is not a
// whole number of packets overflows when more is due, and those bytes are lost, as on real hardware).
//
// The program that uses libusb must run with libumockdev-preload.so.0 preloaded and UMOCKDEV_DIR set
// to the testbed (the testbed sets UMOCKDEV_DIR in its own process). The handler runs on the testbed's
// worker; everything it shares with the caller is guarded by one lock per camera.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/camera_model.h"

namespace sim {

// Where an emulated camera sits on the bus and what sysfs says about it.
struct EmulatedUsbPlace {
    std::string sysfsName = "1-1";  // bus 1, port 1
    int busNumber = 1;
    int deviceNumber = 2;
    std::string product = "Corva QX410 Zoom";
    std::string vendorId = "0c0a";
    std::string productId = "0410";
};

class EmulatedUsbCamera {
  public:
    virtual ~EmulatedUsbCamera() = default;
    // Runs f with the camera model while the handler is held off.
    virtual void WithModel(const std::function<void(CameraModel&)>& f) = 0;
    // Claiming the interface fails with this errno (0: it succeeds), as when another program holds it.
    virtual void RefuseClaim(int errorNumber) = 0;
    // The next bulk IN transfers are answered with these packets, one each, instead of the model's bytes.
    virtual void ScriptInPackets(std::deque<std::vector<uint8_t>> packets) = 0;
    // Bulk IN and bulk OUT transfers submitted so far.
    virtual uint32_t InTransfersSubmitted() = 0;
    virtual uint32_t OutTransfersSubmitted() = 0;
    // A kernel driver holds the interface until a program detaches it (and takes it back on reattach);
    // without this call the kernel has no driver for the camera, and a reattach binds none.
    virtual void BindKernelDriver() = 0;
    // Whether the kernel driver holds the interface now, and how often it was detached.
    virtual bool KernelDriverBound() = 0;
    virtual uint32_t KernelDriverDetaches() = 0;
};

class UsbEmulation {
  public:
    UsbEmulation();
    ~UsbEmulation();
    UsbEmulation(const UsbEmulation&) = delete;
    UsbEmulation& operator=(const UsbEmulation&) = delete;

    // True when this process runs under umockdev's preload (only then does libusb see the testbed).
    static bool InMockEnvironment();
    // The testbed's root (the UMOCKDEV_DIR for programs started from here).
    std::string RootDir() const;

    // Plugs in a camera driven by a model built from config (its link is forced to USB).
    EmulatedUsbCamera& AddCamera(const CameraConfig& config, const EmulatedUsbPlace& place = {});
    // Unplugs it: every later request on an open handle fails with ENODEV, and it leaves sysfs.
    void Unplug(EmulatedUsbCamera& camera);

  private:
    struct State;
    std::unique_ptr<State> m_state;
};

}  // namespace sim
