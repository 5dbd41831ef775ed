// The Windows USB backend (win32_usb_driver.cpp) against the camera's driver as Wine loads it: the
// stand-in driver (tests/windows/driver) forwarding to the camera simulator. usb_driver_test.sh starts
// both and runs this program under Wine; the device object is \\.\QX410U-001.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

#include "platform/win32_usb_driver.h"
#include "wire/usb_driver.h"

namespace {

constexpr char DEVICE[] = "\\\\.\\QX410U-001";
constexpr uint32_t DESCRIPTOR_SIZE = 18;
constexpr uint32_t CONFIGURATION_SIZE = 64;

using Clock = std::chrono::steady_clock;

double MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::unique_ptr<platform::IUsbConnection> Open(uint32_t requestLimitMs = 2000) {
    int errorNumber = -1;
    std::unique_ptr<platform::IUsbConnection> usb =
        platform::OpenWin32UsbDevice(DEVICE, errorNumber, requestLimitMs);
    EXPECT_NE(usb, nullptr) << "errno " << errorNumber;
    return usb;
}

bool ReadDescriptor(platform::IUsbConnection& usb, std::vector<uint8_t>& descriptor) {
    descriptor.assign(DESCRIPTOR_SIZE, 0);
    return usb.Request(wire::IOCTL_CAMERA_GET_DEVICE_DESCRIPTOR, descriptor.data(), DESCRIPTOR_SIZE);
}

// The read pipe as the configuration names it: the endpoint record follows the configuration and
// interface records, each led by its length byte.
uint32_t ReadPipe(platform::IUsbConnection& usb) {
    std::vector<uint8_t> configuration(CONFIGURATION_SIZE, 0);
    if (!usb.Request(wire::IOCTL_CAMERA_GET_CONFIGURATION, configuration.data(), CONFIGURATION_SIZE)) {
        return 0;
    }
    const size_t interfaceOffset = configuration[0];
    const size_t endpointOffset = interfaceOffset + configuration[interfaceOffset];
    return endpointOffset + 2 < configuration.size() ? configuration[endpointOffset + 2] : 0;
}

TEST(Win32UsbDriverTest, DescriptorsPassThroughTheDriver) {
    std::unique_ptr<platform::IUsbConnection> usb = Open();
    ASSERT_NE(usb, nullptr);
    std::vector<uint8_t> descriptor;
    ASSERT_TRUE(ReadDescriptor(*usb, descriptor));
    EXPECT_EQ(descriptor[0], DESCRIPTOR_SIZE);  // bLength
    EXPECT_EQ(descriptor[1], 1);                // device descriptor
    EXPECT_NE(ReadPipe(*usb), 0u);
}

// A request the driver fails is a failure of that request only: the next one on the handle works.
TEST(Win32UsbDriverTest, RefusedRequestFailsAloneWithTheDriversStatus) {
    std::unique_ptr<platform::IUsbConnection> usb = Open();
    ASSERT_NE(usb, nullptr);
    uint8_t wrongPipe[8] = {0x7F, 0, 0, 0, 0x1D, 0, 0, 0};  // a write names pipe word 0, never 0x7F
    EXPECT_FALSE(usb->Request(wire::IOCTL_CAMERA_WRITE, wrongPipe, sizeof wrongPipe));
    EXPECT_EQ(usb->LastError(), EPIPE);  // STATUS_UNSUCCESSFUL -> ERROR_GEN_FAILURE
    std::vector<uint8_t> descriptor;
    EXPECT_TRUE(ReadDescriptor(*usb, descriptor));
}

// A read the camera does not answer (nothing was sent to it) runs into the request limit: it is
// cancelled then, not earlier and not much later, and the handle's later requests fail at once. A new
// handle works again.
TEST(Win32UsbDriverTest, RequestPastItsLimitIsCancelledAndLaterOnesFailAtOnce) {
    constexpr uint32_t LIMIT_MS = 600;
    std::unique_ptr<platform::IUsbConnection> usb = Open(LIMIT_MS);
    ASSERT_NE(usb, nullptr);
    const uint32_t pipe = ReadPipe(*usb);
    ASSERT_NE(pipe, 0u);
    uint8_t read[5] = {static_cast<uint8_t>(pipe), 0, 0, 0, 0};
    Clock::time_point start = Clock::now();
    EXPECT_FALSE(usb->Request(wire::IOCTL_CAMERA_READ, read, sizeof read));
    const double waitedMs = MillisecondsSince(start);
    EXPECT_EQ(usb->LastError(), ETIMEDOUT);
    EXPECT_GE(waitedMs, LIMIT_MS - 1);
    EXPECT_LT(waitedMs, LIMIT_MS + 400);

    std::vector<uint8_t> descriptor;
    start = Clock::now();
    EXPECT_FALSE(ReadDescriptor(*usb, descriptor));
    EXPECT_LT(MillisecondsSince(start), 100.0);
    std::printf("read cancelled after %.0f ms (limit %u ms); the next request failed after %.1f ms\n",
                waitedMs, LIMIT_MS, MillisecondsSince(start));

    std::unique_ptr<platform::IUsbConnection> again = Open(LIMIT_MS);
    ASSERT_NE(again, nullptr);
    EXPECT_TRUE(ReadDescriptor(*again, descriptor));
}

// How fast requests pass through Wine, the driver and the simulator (printed, not judged).
TEST(Win32UsbDriverTest, RequestRate) {
    constexpr int REQUESTS = 200;
    std::unique_ptr<platform::IUsbConnection> usb = Open();
    ASSERT_NE(usb, nullptr);
    std::vector<uint8_t> descriptor;
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < REQUESTS; ++i) {
        ASSERT_TRUE(ReadDescriptor(*usb, descriptor));
    }
    std::printf("%d requests in %.0f ms\n", REQUESTS, MillisecondsSince(start));
}

}  // namespace
