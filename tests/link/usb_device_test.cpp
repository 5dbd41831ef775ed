// The USB device link and the driver socket client against a scripted driver, in real time: the
// instance search, the descriptor walk, the pipe-word transfers, the reopen and its one repeat, and a
// driver that misbehaves (fails, answers too much or too little, or never answers).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/clock.h"
#include "link/link_session.h"
#include "platform/unix_usb_driver.h"
#include "tests/support/scoped_runtime_dir.h"
#include "tests/support/usb_driver_server.h"

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using testsupport::DriverFault;
using testsupport::DriverRequest;
using testsupport::UsbDriverServer;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t TEST_REQUEST_LIMIT_MS = 300;

const Bytes DEVICE_DESCRIPTOR = {18, 1, 0x10, 0x01, 0xFF, 0, 0, 64, 0x34, 0x12, 0x10, 0x04, 0, 1, 1, 2, 0, 1};

// Configuration record, interface record, bulk IN endpoint readEndpoint and bulk OUT endpoint 0x01;
// the total length at bytes 2..3 is that of the records unless given.
Bytes MakeConfiguration(uint8_t configLength, uint8_t interfaceLength, uint8_t readEndpoint,
                        uint16_t total = 0) {
    Bytes bytes(configLength + interfaceLength, 0);
    bytes[0] = configLength;
    bytes[1] = 2;
    bytes[configLength] = interfaceLength;
    bytes[configLength + 1] = 4;
    const Bytes endpoints = {7, 5, readEndpoint, 2, 0x40, 0, 0, 7, 5, 0x01, 2, 0x40, 0, 0};
    bytes.insert(bytes.end(), endpoints.begin(), endpoints.end());
    total = total != 0 ? total : static_cast<uint16_t>(bytes.size());
    bytes[2] = static_cast<uint8_t>(total);
    bytes[3] = static_cast<uint8_t>(total >> 8);
    return bytes;
}

std::string DevicePath(int instance) {
    char path[32];
    std::snprintf(path, sizeof path, "\\\\.\\QX410U-%03d", instance);
    return path;
}

uint32_t MeasureMs(uint32_t startMs) {
    return ElapsedMs(startMs, NowMs());
}

// Maps "\\.\QX410U-NNN" onto the scripted driver's sockets and records every open attempt.
class UsbDeviceTest : public ::testing::Test, public platform::IDevices {
  protected:
    UsbDeviceTest() { server.SetDescriptors(DEVICE_DESCRIPTOR, MakeConfiguration(9, 9, 0x82)); }

    std::unique_ptr<platform::ISerialPort> OpenSerialPort(const char*, int&) override { return nullptr; }
    std::unique_ptr<platform::IUsbConnection> OpenUsbDevice(const char* devicePath) override {
        attempts.emplace_back(devicePath);
        return platform::ConnectUsbDriver((server.Directory() + "/" + attempts.back().substr(4)).c_str(),
                                          TEST_REQUEST_LIMIT_MS);
    }

    // The connection as the session makes it (open, both descriptors, handle released), then a reopen
    // for the operation under test when asked.
    void Connect(bool reopen = true) {
        ASSERT_TRUE(server.AddDevice(3));
        ASSERT_EQ(session.OpenUsbDevice(), LINK_OK);
        ASSERT_EQ(session.GetUsbDeviceDescriptor(), LINK_OK);
        ASSERT_EQ(session.GetUsbConfiguration(), LINK_OK);
        session.ReleaseUsbHandle();
        if (reopen) {
            ASSERT_EQ(session.ReopenUsbDevice(), LINK_OK);
        }
        attempts.clear();
        server.ClearRequests();
    }

    UsbDriverServer server;
    std::vector<std::string> attempts;
    CLinkSession session{*this};
};

// The search tries 001..127 in order, or only the instance found before.
struct OpenCase {
    const char* name;
    int16_t remembered;
    int present;
    int32_t result;
    size_t attempts;
};

class UsbOpenTest : public UsbDeviceTest, public ::testing::WithParamInterface<OpenCase> {};

TEST_P(UsbOpenTest, SearchesTheInstances) {
    const OpenCase& c = GetParam();
    if (c.present != 0) {
        ASSERT_TRUE(server.AddDevice(c.present));
    }
    session.m_usbInstance = c.remembered;
    session.m_speedCode = 5;
    const uint32_t before = NowMs();

    ASSERT_EQ(session.OpenUsbDevice(), c.result);

    ASSERT_EQ(attempts.size(), c.attempts);
    for (size_t i = 0; i < attempts.size(); ++i) {
        EXPECT_EQ(attempts[i], DevicePath(static_cast<int>(i) + (c.remembered != 0 ? c.remembered : 1)));
    }
    const bool opened = c.result == LINK_OK;
    EXPECT_EQ(session.m_usbInstance, opened ? c.present : c.remembered);
    EXPECT_EQ(session.m_hUsb != nullptr, opened);
    EXPECT_EQ(session.m_sendBuffer != nullptr && session.m_recvBuffer != nullptr, opened);
    if (opened) {
        EXPECT_EQ(session.m_devicePath, DevicePath(c.present));
        EXPECT_EQ(session.m_speedCode, 1);
        EXPECT_GE(session.m_lastExchangeTime - before, 100u);
        EXPECT_LE(session.m_lastExchangeTime - before, 150u);
        EXPECT_TRUE(server.Requests().empty()) << "opening sends nothing";
    } else {
        EXPECT_EQ(session.m_detailStatus, DETAIL_USB_OPEN);
    }
}

INSTANTIATE_TEST_SUITE_P(Instances, UsbOpenTest,
                         ::testing::Values(OpenCase{"SkipsAbsentOnes", 0, 3, LINK_OK, 3},
                                           OpenCase{"NoDeviceAtAll", 0, 0, LINK_NOT_OPENED, 127},
                                           OpenCase{"RememberedOneMoved", 3, 4, LINK_NOT_OPENED, 1}),
                         [](const ::testing::TestParamInfo<OpenCase>& param) {
                             return std::string(param.param.name);
                         });

TEST_F(UsbDeviceTest, TransfersCarryThePipeWordBeforeThePacket) {
    Connect();
    const Bytes command = {0x7F, 0, 0, 0, 0, 0, 0, 0x1A};
    std::memset(session.m_sendBuffer, 0xAA, USB_PIPE_WORD_SIZE);  // whatever was there before
    std::memcpy(session.m_sendBuffer + USB_PIPE_WORD_SIZE, command.data(), command.size());
    session.m_sendLength = 8;
    ASSERT_EQ(session.UsbWrite(200), LINK_OK);

    server.QueueCameraBytes({0xD1});
    std::memset(session.m_recvBuffer, 0x55, 8);
    session.m_recvLength = 1;
    ASSERT_EQ(session.UsbRead(200), LINK_OK);
    EXPECT_EQ(session.m_recvBuffer[4], 0xD1);
    EXPECT_EQ(session.m_recvLength, 1);

    const std::vector<DriverRequest> requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].code, IOCTL_CAMERA_WRITE);
    EXPECT_THAT(requests[0].bytes, ElementsAre(0, 0, 0, 0, 0x7F, 0, 0, 0, 0, 0, 0, 0x1A));
    EXPECT_EQ(requests[1].code, IOCTL_CAMERA_READ);
    EXPECT_EQ(requests[1].length, 5u);
    EXPECT_THAT(Bytes(requests[1].bytes.begin(), requests[1].bytes.begin() + 4), ElementsAre(0x82, 0, 0, 0));

    // Lengths that would not fit a buffer after the pipe word never reach the driver.
    server.ClearRequests();
    session.m_sendLength = LINK_BUFFER_SIZE - USB_PIPE_WORD_SIZE + 1;
    EXPECT_EQ(session.UsbWrite(200), LINK_FAILED);
    EXPECT_EQ(session.m_detailStatus, DETAIL_USB_WRITE);
    session.m_recvLength = -1;
    EXPECT_EQ(session.UsbRead(200), LINK_FAILED);
    EXPECT_EQ(session.m_detailStatus, DETAIL_USB_READ);
    EXPECT_TRUE(server.Requests().empty());
}

// A failed transfer: while the session probes (retry armed) it only marks the retry.
struct TransferFailureCase {
    bool write;
    bool armed;
    int16_t detail;
    int32_t retryNeeded;
};

class UsbTransferFailureTest : public UsbDeviceTest,
                               public ::testing::WithParamInterface<TransferFailureCase> {};

TEST_P(UsbTransferFailureTest, MarksRetryOrRecordsDetail) {
    const TransferFailureCase& c = GetParam();
    Connect();
    server.InjectFault(c.write ? IOCTL_CAMERA_WRITE : IOCTL_CAMERA_READ, DriverFault::Fail);
    server.QueueCameraBytes({0xD1});
    session.m_usbRetryArmed = c.armed ? 1 : 0;
    session.m_detailStatus = 77;
    session.m_sendLength = 8;
    session.m_recvLength = 1;

    EXPECT_EQ(c.write ? session.UsbWrite(200) : session.UsbRead(200), LINK_FAILED);

    EXPECT_EQ(session.m_detailStatus, c.detail);
    EXPECT_EQ(session.m_usbRetryNeeded, c.retryNeeded);
    EXPECT_EQ(session.m_recvLength, 1);
}

INSTANTIATE_TEST_SUITE_P(Transfers, UsbTransferFailureTest,
                         ::testing::Values(TransferFailureCase{true, false, DETAIL_USB_WRITE, 0},
                                           TransferFailureCase{true, true, 77, 1},
                                           TransferFailureCase{false, false, DETAIL_USB_READ, 0},
                                           TransferFailureCase{false, true, 77, 1}));

// The walk follows the length bytes to the endpoint record, whose address byte is the read pipe.
struct WalkCase {
    Bytes configuration;
    size_t endpointOffset;
};

class UsbConfigurationWalkTest : public UsbDeviceTest, public ::testing::WithParamInterface<WalkCase> {};

TEST_P(UsbConfigurationWalkTest, FollowsTheLengthBytesToTheEndpoint) {
    Bytes configuration = GetParam().configuration;
    configuration.resize(configuration[2] | (configuration[3] << 8), 0);
    server.SetDescriptors(DEVICE_DESCRIPTOR, configuration);
    Connect(false);

    ASSERT_EQ(session.ReopenUsbDevice(), LINK_OK);
    const std::vector<DriverRequest> requests = server.Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].code, IOCTL_CAMERA_GET_DEVICE_DESCRIPTOR);
    EXPECT_EQ(requests[0].length, 18u);
    EXPECT_EQ(requests[1].code, IOCTL_CAMERA_GET_CONFIGURATION);
    EXPECT_EQ(requests[1].length, 10u);
    EXPECT_EQ(requests[2].code, IOCTL_CAMERA_GET_CONFIGURATION);
    EXPECT_EQ(requests[2].length, configuration.size());

    const size_t interfaceOffset = configuration[0];
    EXPECT_THAT(session.m_usbDeviceDescriptor, ElementsAreArray(DEVICE_DESCRIPTOR));
    EXPECT_THAT(session.m_usbConfigHeader, ElementsAreArray(configuration.data(), 10));
    EXPECT_THAT(session.m_usbInterfaceDescriptor,
                ElementsAreArray(configuration.data() + interfaceOffset, 9));
    const size_t endpoint = GetParam().endpointOffset;
    EXPECT_THAT(session.m_usbEndpointDescriptor, ElementsAreArray(configuration.data() + endpoint, 8));

    server.ClearRequests();
    server.QueueCameraBytes({0x00});
    session.m_recvLength = 1;
    ASSERT_EQ(session.UsbRead(200), LINK_OK);
    EXPECT_EQ(server.Requests().at(0).bytes.at(0), 0x83);
}

INSTANTIATE_TEST_SUITE_P(Walk, UsbConfigurationWalkTest,
                         ::testing::Values(WalkCase{MakeConfiguration(9, 9, 0x83), 18},
                                           WalkCase{MakeConfiguration(9, 12, 0x83), 21},
                                           WalkCase{MakeConfiguration(12, 9, 0x83), 21},
                                           WalkCase{MakeConfiguration(9, 9, 0x83, LINK_BUFFER_SIZE), 18}));

// A configuration that cannot be read, or whose lengths point outside what the device sent, is
// refused; the records of the previous walk stay, and the reopen that walked it still succeeds.
struct RefusedCase {
    const char* name;
    Bytes configuration;
    int failures;  // failed configuration requests, one for the reopen and one for the test's own walk
    size_t configurationRequests;
};

class UsbConfigurationRefusedTest : public UsbDeviceTest,
                                    public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(UsbConfigurationRefusedTest, KeepsTheEarlierRecords) {
    Connect(false);
    const Bytes interfaceBefore(session.m_usbInterfaceDescriptor, session.m_usbInterfaceDescriptor + 9);
    const Bytes endpointBefore(session.m_usbEndpointDescriptor, session.m_usbEndpointDescriptor + 8);
    server.SetDescriptors(DEVICE_DESCRIPTOR, GetParam().configuration);
    server.InjectFault(IOCTL_CAMERA_GET_CONFIGURATION, DriverFault::Fail, GetParam().failures);
    session.m_detailStatus = 55;
    ASSERT_EQ(session.ReopenUsbDevice(), LINK_OK);
    EXPECT_EQ(session.m_detailStatus, 0);
    server.ClearRequests();

    EXPECT_EQ(session.GetUsbConfiguration(), LINK_FAILED);

    EXPECT_EQ(session.m_detailStatus, DETAIL_USB_CONFIGURATION);
    const std::vector<DriverRequest> requests = server.Requests(IOCTL_CAMERA_GET_CONFIGURATION);
    ASSERT_EQ(requests.size(), GetParam().configurationRequests);
    EXPECT_EQ(requests[0].length, 10u);
    EXPECT_THAT(session.m_usbInterfaceDescriptor, ElementsAreArray(interfaceBefore));
    EXPECT_THAT(session.m_usbEndpointDescriptor, ElementsAreArray(endpointBefore));
}

Bytes WithByte(Bytes bytes, size_t at, uint8_t value) {
    bytes[at] = value;
    return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Refused, UsbConfigurationRefusedTest,
    ::testing::Values(RefusedCase{"RequestFails", MakeConfiguration(9, 9, 0x84), 2, 1},
                      RefusedCase{"TotalOneAboveTheBuffer", MakeConfiguration(9, 9, 0x84, 32781), 0, 1},
                      RefusedCase{"TotalAtMaximum", MakeConfiguration(9, 9, 0x84, 0xFFFF), 0, 1},
                      RefusedCase{"InterfaceCutShort", WithByte(MakeConfiguration(9, 9, 0x84), 0, 24), 0, 2},
                      RefusedCase{"EndpointPastTheEnd", WithByte(MakeConfiguration(9, 9, 0x84), 9, 200), 0,
                                  2},
                      RefusedCase{"EndpointCutShort", MakeConfiguration(9, 9, 0x84, 22), 0, 2}),
    [](const ::testing::TestParamInfo<RefusedCase>& param) { return std::string(param.param.name); });

struct ReopenCase {
    int32_t retryNeeded;
    int descriptorFailures;
    int32_t result;
    int16_t detail;
    size_t descriptorRequests;
};

class UsbReopenTest : public UsbDeviceTest, public ::testing::WithParamInterface<ReopenCase> {};

TEST_P(UsbReopenTest, RepeatsTheDescriptorRequestsOnceWhenARetryIsPending) {
    const ReopenCase& c = GetParam();
    Connect(false);
    server.InjectFault(IOCTL_CAMERA_GET_DEVICE_DESCRIPTOR, DriverFault::Fail, c.descriptorFailures);
    session.m_usbRetryNeeded = c.retryNeeded;
    session.m_usbRetryArmed = 1;

    EXPECT_EQ(session.ReopenUsbDevice(), c.result);

    EXPECT_EQ(session.m_detailStatus, c.detail);
    EXPECT_EQ(server.Requests(IOCTL_CAMERA_GET_DEVICE_DESCRIPTOR).size(), c.descriptorRequests);
    EXPECT_EQ(server.AcceptedConnections(), 2) << "the repeat uses the same handle";
    EXPECT_EQ(session.m_usbRetryArmed, 0);
    EXPECT_EQ(session.m_usbRetryNeeded, c.descriptorFailures > 0 ? 0 : c.retryNeeded);
    EXPECT_EQ(session.m_hUsb != nullptr, c.result == LINK_OK);
    EXPECT_NE(session.m_recvBuffer, nullptr) << "a failed reopen keeps the buffers";
}

INSTANTIATE_TEST_SUITE_P(Reopen, UsbReopenTest,
                         ::testing::Values(ReopenCase{0, 0, LINK_OK, 0, 1}, ReopenCase{1, 0, LINK_OK, 0, 1},
                                           ReopenCase{0, 1, LINK_FAILED, DETAIL_USB_CONFIGURATION, 1},
                                           ReopenCase{1, 1, LINK_OK, 0, 2},
                                           ReopenCase{1, 2, LINK_FAILED, DETAIL_USB_CONFIGURATION, 2}));

TEST_F(UsbDeviceTest, ReleaseKeepsThePathAndCloseForgetsIt) {
    Connect();
    session.ReleaseUsbHandle();
    session.ReleaseUsbDevice();  // a failed connection
    EXPECT_EQ(session.m_hUsb, nullptr);
    EXPECT_EQ(session.m_sendBuffer, nullptr);
    EXPECT_EQ(session.m_recvBuffer, nullptr);
    EXPECT_EQ(session.m_devicePath, DevicePath(3));
    EXPECT_EQ(session.ReopenUsbDevice(), LINK_FAILED) << "without buffers the reopen fails cleanly";
    EXPECT_EQ(session.m_detailStatus, DETAIL_USB_CONFIGURATION);
    EXPECT_TRUE(server.Requests().empty());

    EXPECT_EQ(session.CloseUsbDevice(), LINK_OK);  // the end of the session
    EXPECT_EQ(session.m_devicePath[0], '\0');
    EXPECT_EQ(session.m_usbInstance, 3);
    attempts.clear();
    EXPECT_EQ(session.ReopenUsbDevice(), LINK_NOT_OPENED);
    EXPECT_EQ(session.m_detailStatus, DETAIL_USB_OPEN);
    EXPECT_TRUE(attempts.empty());
}

// The driver socket client on its own: every request is bounded in time, a bad answer never reaches the
// caller's buffer, and an answer that leaves the stream out of step gives the connection up.
struct DriverFaultCase {
    const char* name;
    DriverFault fault;
    bool connectionSurvives;
    uint32_t minMs;
};

class UsbDriverClientTest : public ::testing::TestWithParam<DriverFaultCase> {};

TEST_P(UsbDriverClientTest, BadAnswerFailsTheRequestWithoutTouchingTheBuffer) {
    UsbDriverServer server;
    ASSERT_TRUE(server.AddDevice(1));
    server.SetDescriptors(DEVICE_DESCRIPTOR, {});
    server.InjectFault(IOCTL_CAMERA_GET_DEVICE_DESCRIPTOR, GetParam().fault);
    auto connection = platform::ConnectUsbDriver(server.SocketPath(1).c_str(), TEST_REQUEST_LIMIT_MS);
    ASSERT_NE(connection, nullptr);
    Bytes buffer(18 + 16, 0x5A);
    const uint32_t start = NowMs();

    EXPECT_FALSE(connection->Request(IOCTL_CAMERA_GET_DEVICE_DESCRIPTOR, buffer.data(), 18));

    EXPECT_GE(MeasureMs(start) + 20, GetParam().minMs);
    EXPECT_LE(MeasureMs(start), TEST_REQUEST_LIMIT_MS + 700);
    EXPECT_THAT(buffer, ::testing::Each(0x5A));
    const uint32_t again = NowMs();
    EXPECT_EQ(connection->Request(IOCTL_CAMERA_GET_DEVICE_DESCRIPTOR, buffer.data(), 18),
              GetParam().connectionSurvives);
    if (GetParam().connectionSurvives) {
        EXPECT_THAT(Bytes(buffer.begin(), buffer.begin() + 18), ElementsAreArray(DEVICE_DESCRIPTOR));
        EXPECT_EQ(server.Requests().size(), 2u);
    } else {
        EXPECT_LE(MeasureMs(again), 50u) << "given up: fails at once, nothing sent";
        EXPECT_EQ(server.Requests().size(), 1u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, UsbDriverClientTest,
    ::testing::Values(DriverFaultCase{"FailureStatus", DriverFault::Fail, true, 0},
                      DriverFaultCase{"Oversized", DriverFault::Oversized, false, 0},
                      DriverFaultCase{"Truncated", DriverFault::Truncated, false, 0},
                      DriverFaultCase{"Silent", DriverFault::Silent, false, TEST_REQUEST_LIMIT_MS}),
    [](const ::testing::TestParamInfo<DriverFaultCase>& param) { return std::string(param.param.name); });

TEST(UsbDriverConnectTest, MissingOrUnusablePathsGiveNoConnection) {
    UsbDriverServer server;
    EXPECT_EQ(platform::ConnectUsbDriver(server.SocketPath(9).c_str()), nullptr);
    EXPECT_EQ(platform::ConnectUsbDriver(""), nullptr);
    EXPECT_EQ(platform::ConnectUsbDriver((std::string(200, 'x') + "/QX410U-001").c_str()), nullptr);
}

// The machine's own device namespace: "\\.\QX410U-NNN" is the socket in $XDG_RUNTIME_DIR/qx410fw.
TEST(UsbSystemDevicesTest, OpensTheDriverSocketInTheDeviceDirectory) {
    testsupport::ScopedRuntimeDir runtime;
    UsbDriverServer server(runtime.DeviceDirectory());
    server.SetDescriptors(DEVICE_DESCRIPTOR, {});
    ASSERT_TRUE(server.AddDevice(2));
    CLinkSession session(platform::SystemDevices());

    EXPECT_EQ(session.OpenUsbDevice(), LINK_OK);
    EXPECT_EQ(session.m_usbInstance, 2);
    EXPECT_EQ(session.GetUsbDeviceDescriptor(), LINK_OK);
    EXPECT_THAT(session.m_usbDeviceDescriptor, ElementsAreArray(DEVICE_DESCRIPTOR));
}

}  // namespace
