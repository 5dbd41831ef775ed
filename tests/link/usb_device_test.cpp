// The USB device link and the driver socket client against a scripted driver, in real time: the instance
// search, the descriptor walk, pipe-word transfers, the reopen and its one repeat, and a misbehaving driver.
// The machine's own device namespace under them is driven by the whole downloads against the simulator.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "common/clock.h"
#include "link/link_session.h"
#include "platform/unix_usb_driver.h"
#include "tests/support/usb_driver_server.h"
#include "wire/usb_device_name.h"

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using testsupport::DriverFault;
using testsupport::DriverRequest;
using testsupport::UsbDriverServer;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t TEST_REQUEST_LIMIT_MS = 300;
const Bytes DEVICE_DESCRIPTOR = {18, 1, 0x10, 0x01, 0xFF, 0, 0, 64, 0x34, 0x12, 0x10, 0x04, 0, 1, 1, 2, 0, 1};

// Configuration record, interface record, bulk IN endpoint readPipe and bulk OUT endpoint 0x01;
// the total length at bytes 2..3 is that of the records unless given.
Bytes MakeConfiguration(uint8_t configLength, uint8_t interfaceLength, uint8_t readPipe, uint16_t total = 0) {
    Bytes bytes(configLength + interfaceLength, 0);
    bytes[0] = configLength;
    bytes[1] = 2;
    bytes[configLength] = interfaceLength;
    bytes[configLength + 1] = 4;
    const Bytes endpoints = {7, 5, readPipe, 2, 0x40, 0, 0, 7, 5, 0x01, 2, 0x40, 0, 0};
    bytes.insert(bytes.end(), endpoints.begin(), endpoints.end());
    total = total != 0 ? total : static_cast<uint16_t>(bytes.size());
    bytes[2] = static_cast<uint8_t>(total);
    bytes[3] = static_cast<uint8_t>(total >> 8);
    return bytes;
}

const Bytes FIXTURE_CONFIGURATION = MakeConfiguration(9, 9, 0x85);

// Maps "\\.\QX410U-NNN" onto the scripted driver's sockets and records every open attempt.
class UsbDeviceTest : public ::testing::Test, public platform::IDevices {
  protected:
    UsbDeviceTest() { server.SetDescriptors(DEVICE_DESCRIPTOR, FIXTURE_CONFIGURATION); }

    std::unique_ptr<platform::ISerialPort> OpenSerialPort(const char*, int&) override { return nullptr; }
    std::unique_ptr<platform::IUsbConnection> OpenUsbDevice(const char* devicePath,
                                                            int& errorNumber) override {
        attempts.emplace_back(devicePath);
        return platform::ConnectUsbDriver((server.Directory() + "/" + attempts.back().substr(4)).c_str(),
                                          errorNumber, TEST_REQUEST_LIMIT_MS);
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
        EXPECT_EQ(attempts[i],
                  wire::UsbDeviceName(static_cast<int>(i) + (c.remembered != 0 ? c.remembered : 1)));
    }
    const bool opened = c.result == LINK_OK;
    EXPECT_EQ(session.m_usbInstance, opened ? c.present : c.remembered);
    EXPECT_EQ(session.m_hUsb != nullptr && session.m_sendBuffer != nullptr && session.m_recvBuffer != nullptr,
              opened);
    EXPECT_EQ(session.m_detailStatus, opened ? 0 : DETAIL_USB_OPEN);
    if (opened) {
        EXPECT_EQ(session.m_devicePath, wire::UsbDeviceName(c.present));
        EXPECT_EQ(session.m_speedCode, 1);
        EXPECT_GE(session.m_lastExchangeTime.ms - before, 100u);
        EXPECT_LE(session.m_lastExchangeTime.ms - before, 150u);
        EXPECT_TRUE(server.Requests().empty()) << "opening sends nothing";
    }
}

INSTANTIATE_TEST_SUITE_P(Instances, UsbOpenTest,
                         ::testing::Values(OpenCase{"SkipsAbsentOnes", 0, 3, LINK_OK, 3},
                                           OpenCase{"NoDevice", 0, 0, LINK_NOT_OPENED, 127},
                                           OpenCase{"RememberedOneMoved", 3, 4, LINK_NOT_OPENED, 1}),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(UsbDeviceTest, TransfersCarryThePipeWordAndFailuresMarkTheRetryWhileArmed) {
    Connect();
    const Bytes command = {0x7F, 0, 0, 0, 0, 0, 0, 0x1A};
    std::memset(session.m_sendBuffer, 0xAA, 4);  // whatever was there before
    std::memcpy(session.m_sendBuffer + 4, command.data(), command.size());
    session.m_sendLength = 8;
    ASSERT_EQ(session.UsbWrite(200), LINK_OK);
    server.QueueCameraBytes({0xD1});
    std::memset(session.m_recvBuffer, 0x55, 8);
    session.m_recvLength = 1;
    ASSERT_EQ(session.UsbRead(200), LINK_OK);
    EXPECT_EQ(session.m_recvBuffer[4], 0xD1);
    const std::vector<DriverRequest> requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_TRUE(requests[0].code == 0x22200Cu && requests[1].code == 0x222010u);
    EXPECT_THAT(requests[0].bytes, ElementsAre(0, 0, 0, 0, 0x7F, 0, 0, 0, 0, 0, 0, 0x1A));
    EXPECT_EQ(requests[1].length, 5u);
    EXPECT_THAT(Bytes(requests[1].bytes.begin(), requests[1].bytes.begin() + 4), ElementsAre(0x85, 0, 0, 0));

    // A failed transfer: while the session probes (retry armed) it only marks the retry.
    for (const bool write : {true, false}) {
        for (const bool armed : {false, true}) {
            server.InjectFault(write ? 0x22200Cu : 0x222010u, DriverFault::Fail);
            session.m_usbRetryArmed = armed ? 1 : 0;
            session.m_usbRetryNeeded = 0;
            session.m_detailStatus = 77;
            session.m_recvLength = 1;
            EXPECT_EQ(write ? session.UsbWrite(200) : session.UsbRead(200), LINK_FAILED);
            EXPECT_EQ(session.m_detailStatus, armed ? 77 : (write ? DETAIL_USB_WRITE : DETAIL_USB_READ));
            EXPECT_EQ(session.m_usbRetryNeeded, armed ? 1 : 0);
            EXPECT_EQ(session.m_recvLength, 1);
        }
    }
}

// A reopen asks for both descriptors again; when a retry is pending it repeats them once on the same
// handle. The walk follows the length bytes to the endpoint record (whose address byte is the read
// pipe). A configuration that cannot be read, or whose lengths point outside what the device sent, is
// refused: the records of the earlier walk stay, and a reopen that walked it still succeeds.
struct ReopenCase {
    const char* name;
    Bytes configuration;
    int32_t retryNeeded;
    int deviceFailures;         // failed device descriptor requests
    int configurationFailures;  // failed configuration requests: the reopen's walk, then the test's own
    int32_t result;
    std::vector<uint32_t> lengths;  // of the descriptor requests, in order
    size_t endpointOffset;          // 0: configuration refused
};

class UsbReopenTest : public UsbDeviceTest, public ::testing::WithParamInterface<ReopenCase> {};

TEST_P(UsbReopenTest, WalksTheDescriptorsOrKeepsTheEarlierRecords) {
    const ReopenCase& c = GetParam();
    Connect(false);  // walked the fixture's configuration
    Bytes configuration = c.configuration;
    configuration.resize(configuration[2] | (configuration[3] << 8), 0);
    server.SetDescriptors(DEVICE_DESCRIPTOR, configuration);
    server.InjectFault(0x222004u, DriverFault::Fail, c.deviceFailures);
    server.InjectFault(0x222008u, DriverFault::Fail, c.configurationFailures);
    session.m_usbRetryNeeded = c.retryNeeded;
    session.m_usbRetryArmed = 1;
    session.m_detailStatus = 55;
    EXPECT_EQ(session.ReopenUsbDevice(), c.result);
    EXPECT_EQ(session.m_detailStatus, c.result == LINK_OK ? 0 : DETAIL_USB_CONFIGURATION);
    std::vector<uint32_t> lengths;
    for (const DriverRequest& request : server.Requests()) {
        lengths.push_back(request.length);
    }
    EXPECT_EQ(lengths, c.lengths);
    EXPECT_EQ(server.AcceptedConnections(), 2) << "the repeat uses the same handle";
    EXPECT_EQ(session.m_usbRetryArmed, 0);
    EXPECT_EQ(session.m_usbRetryNeeded, c.deviceFailures > 0 ? 0 : c.retryNeeded);
    EXPECT_EQ(session.m_hUsb != nullptr, c.result == LINK_OK);
    EXPECT_NE(session.m_recvBuffer, nullptr) << "a failed reopen keeps the buffers";
    if (c.endpointOffset != 0) {
        EXPECT_THAT(session.m_usbDeviceDescriptor, ElementsAreArray(DEVICE_DESCRIPTOR));
        EXPECT_THAT(session.m_usbConfigHeader, ElementsAreArray(configuration.data(), 10));
        EXPECT_THAT(session.m_usbInterfaceDescriptor,
                    ElementsAreArray(configuration.data() + configuration[0], 9));
        EXPECT_THAT(session.m_usbEndpointDescriptor,
                    ElementsAreArray(configuration.data() + c.endpointOffset, 8));
        return;
    }
    EXPECT_THAT(session.m_usbInterfaceDescriptor, ElementsAreArray(FIXTURE_CONFIGURATION.data() + 9, 9));
    EXPECT_THAT(session.m_usbEndpointDescriptor, ElementsAreArray(FIXTURE_CONFIGURATION.data() + 18, 8));
    if (c.result == LINK_OK) {  // the walk on its own is refused the same way
        server.ClearRequests();
        EXPECT_EQ(session.GetUsbConfiguration(), LINK_FAILED);
        EXPECT_EQ(session.m_detailStatus, DETAIL_USB_CONFIGURATION);
        EXPECT_EQ(server.Requests().size(), lengths.size() - 1);
    }
}

Bytes WithByte(Bytes bytes, size_t at, uint8_t value) {
    bytes[at] = value;
    return bytes;
}
const Bytes CONFIGURATION = MakeConfiguration(9, 9, 0x83);

constexpr uint16_t FULL = LINK_BUFFER_SIZE;

INSTANTIATE_TEST_SUITE_P(
    Reopen, UsbReopenTest,
    ::testing::Values(
        ReopenCase{"Walk", CONFIGURATION, 0, 0, 0, LINK_OK, {18, 10, 32}, 18},
        ReopenCase{"LongerInterface", MakeConfiguration(9, 12, 0x83), 0, 0, 0, LINK_OK, {18, 10, 35}, 21},
        ReopenCase{"LongerConfiguration", MakeConfiguration(12, 9, 0x83), 0, 0, 0, LINK_OK, {18, 10, 35}, 21},
        ReopenCase{
            "TotalOfTheBuffer", MakeConfiguration(9, 9, 0x83, FULL), 0, 0, 0, LINK_OK, {18, 10, FULL}, 18},
        ReopenCase{"RetryPendingNoFailure", CONFIGURATION, 1, 0, 0, LINK_OK, {18, 10, 32}, 18},
        ReopenCase{"DeviceDescriptorFails", CONFIGURATION, 0, 1, 0, LINK_FAILED, {18}, 0},
        ReopenCase{"RetryRepeatsOnce", CONFIGURATION, 1, 1, 0, LINK_OK, {18, 18, 10, 32}, 18},
        ReopenCase{"RetryFailsAgain", CONFIGURATION, 1, 2, 0, LINK_FAILED, {18, 18}, 0},
        ReopenCase{"ConfigurationRequestFails", CONFIGURATION, 0, 0, 2, LINK_OK, {18, 10}, 0},
        ReopenCase{
            "TotalAboveTheBuffer", MakeConfiguration(9, 9, 0x83, FULL + 1), 0, 0, 0, LINK_OK, {18, 10}, 0},
        ReopenCase{"TotalAtMaximum", MakeConfiguration(9, 9, 0x83, 0xFFFF), 0, 0, 0, LINK_OK, {18, 10}, 0},
        ReopenCase{"InterfaceCutShort", WithByte(CONFIGURATION, 0, 24), 0, 0, 0, LINK_OK, {18, 10, 32}, 0},
        ReopenCase{"EndpointPastTheEnd", WithByte(CONFIGURATION, 9, 200), 0, 0, 0, LINK_OK, {18, 10, 32}, 0},
        ReopenCase{"EndpointCutShort", MakeConfiguration(9, 9, 0x83, 22), 0, 0, 0, LINK_OK, {18, 10, 22}, 0}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(UsbDeviceTest, ReleaseKeepsThePathAndCloseForgetsIt) {
    Connect();
    session.ReleaseUsbHandle();
    session.ReleaseUsbDevice();  // a failed connection
    EXPECT_TRUE(session.m_hUsb == nullptr && session.m_sendBuffer == nullptr &&
                session.m_recvBuffer == nullptr);
    EXPECT_EQ(session.m_devicePath, wire::UsbDeviceName(3));
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
TEST(UsbDriverClientTest, BadAnswerFailsTheRequestWithoutTouchingTheBuffer) {
    for (const auto& [fault, survives, minMs] : {std::tuple{DriverFault::Fail, true, 0u},
                                                 {DriverFault::Oversized, false, 0u},
                                                 {DriverFault::Truncated, false, 0u},
                                                 {DriverFault::Silent, false, TEST_REQUEST_LIMIT_MS}}) {
        SCOPED_TRACE(static_cast<int>(fault));
        UsbDriverServer server;
        ASSERT_TRUE(server.AddDevice(1));
        server.SetDescriptors(DEVICE_DESCRIPTOR, {});
        server.InjectFault(0x222004u, fault);
        auto connection =
            platform::ConnectUsbDriver((server.Directory() + "/QX410U-001").c_str(), TEST_REQUEST_LIMIT_MS);
        ASSERT_NE(connection, nullptr);
        Bytes buffer(18 + 16, 0x5A);
        const uint32_t start = NowMs();
        EXPECT_FALSE(connection->Request(0x222004u, buffer.data(), 18));
        EXPECT_GE(ElapsedMs(start, NowMs()) + 20, minMs);
        EXPECT_LE(ElapsedMs(start, NowMs()), TEST_REQUEST_LIMIT_MS + 700);
        EXPECT_THAT(buffer, ::testing::Each(0x5A));
        EXPECT_EQ(connection->Request(0x222004u, buffer.data(), 18), survives);
        EXPECT_EQ(server.Requests().size(), survives ? 2u : 1u) << "a connection given up sends nothing";
    }
    EXPECT_EQ(platform::ConnectUsbDriver((std::string(200, 'x') + "/QX410U-001").c_str()), nullptr)
        << "a path too long for a socket";
}

}  // namespace
