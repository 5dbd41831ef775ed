// The USB device link and the driver socket client against a scripted driver, in real time: the
// instance search, the descriptor walk, the pipe-word transfers, the reopen and its one repeat, and a
// driver that misbehaves (fails, answers too much or too little, or never answers).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/clock.h"
#include "link/link_session.h"
#include "platform/unix_usb_driver.h"
#include "tests/support/usb_driver_server.h"

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using testsupport::DriverFault;
using testsupport::DriverRequest;
using testsupport::UsbDriverServer;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t TEST_REQUEST_LIMIT_MS = 300;

// Maps "\\.\QX410U-NNN" onto the scripted driver's directory and records every open attempt.
class SocketDevices final : public platform::IDevices {
  public:
    SocketDevices(std::string directory, uint32_t limitMs)
        : m_directory(std::move(directory)), m_limitMs(limitMs) {}

    std::unique_ptr<platform::ISerialPort> OpenSerialPort(const char*, int& errorNumber) override {
        errorNumber = ENOENT;
        return nullptr;
    }
    std::unique_ptr<platform::IUsbConnection> OpenUsbDevice(const char* devicePath) override {
        const std::string name(devicePath);
        attempts.push_back(name);
        const std::string prefix = "\\\\.\\";
        if (name.rfind(prefix, 0) != 0) {
            return nullptr;
        }
        return platform::ConnectUsbDriver((m_directory + "/" + name.substr(prefix.size())).c_str(),
                                          m_limitMs);
    }

    std::vector<std::string> attempts;

  private:
    std::string m_directory;
    uint32_t m_limitMs;
};

const Bytes DEVICE_DESCRIPTOR = {18, 1, 0x10, 0x01, 0xFF, 0, 0, 64, 0x34, 0x12, 0x10, 0x04, 0, 1, 1, 2, 0, 1};

// Configuration record (9), interface record (9), bulk IN endpoint 0x82 and bulk OUT endpoint 0x01.
Bytes MakeConfiguration(uint8_t configLength, uint8_t interfaceLength, uint8_t readEndpoint) {
    Bytes bytes(configLength, 0);
    bytes[0] = configLength;
    bytes[1] = 2;
    Bytes interfaceRecord(interfaceLength, 0);
    interfaceRecord[0] = interfaceLength;
    interfaceRecord[1] = 4;
    interfaceRecord[4] = 2;
    bytes.insert(bytes.end(), interfaceRecord.begin(), interfaceRecord.end());
    const Bytes endpoints = {7, 5, readEndpoint, 2, 0x40, 0, 0, 7, 5, 0x01, 2, 0x40, 0, 0};
    bytes.insert(bytes.end(), endpoints.begin(), endpoints.end());
    bytes[2] = static_cast<uint8_t>(bytes.size());
    bytes[3] = static_cast<uint8_t>(bytes.size() >> 8);
    return bytes;
}

uint32_t MeasureMs(uint32_t startMs) {
    return ElapsedMs(startMs, NowMs());
}

class UsbDeviceTest : public ::testing::Test {
  protected:
    UsbDeviceTest() : devices(server.Directory(), TEST_REQUEST_LIMIT_MS), session(devices) {
        server.SetDeviceDescriptor(DEVICE_DESCRIPTOR);
        server.SetConfiguration(MakeConfiguration(9, 9, 0x82));
    }

    // The connection as the session makes it: open, both descriptors, handle released.
    void Connect(int instance = 3) {
        ASSERT_TRUE(server.AddDevice(instance));
        ASSERT_EQ(session.OpenUsbDevice(), LINK_OK);
        ASSERT_EQ(session.GetUsbDeviceDescriptor(), LINK_OK);
        ASSERT_EQ(session.GetUsbConfiguration(), LINK_OK);
        session.ReleaseUsbHandle();
        devices.attempts.clear();
        server.ClearRequests();
    }

    UsbDriverServer server;
    SocketDevices devices;
    CLinkSession session;
};

// ---- Open ----

TEST_F(UsbDeviceTest, SearchSkipsAbsentInstancesAndRemembersTheOneFound) {
    ASSERT_TRUE(server.AddDevice(3));
    session.m_speedCode = 5;
    const uint32_t before = NowMs();

    ASSERT_EQ(session.OpenUsbDevice(), LINK_OK);

    EXPECT_THAT(devices.attempts, ElementsAre("\\\\.\\QX410U-001", "\\\\.\\QX410U-002", "\\\\.\\QX410U-003"));
    EXPECT_EQ(session.m_usbInstance, 3);
    EXPECT_STREQ(session.m_devicePath, "\\\\.\\QX410U-003");
    EXPECT_EQ(std::strlen(session.m_devicePath), 14u);  // \ \ . \ then QX410U-003
    EXPECT_NE(session.m_hUsb, nullptr);
    ASSERT_NE(session.m_sendBuffer, nullptr);
    ASSERT_NE(session.m_recvBuffer, nullptr);
    EXPECT_EQ(session.m_sendBuffer[LINK_BUFFER_SIZE - 1], 0);
    EXPECT_EQ(session.m_speedCode, 1);
    EXPECT_GE(session.m_lastExchangeTime - before, 100u);
    EXPECT_LE(session.m_lastExchangeTime - before, 150u);
    EXPECT_TRUE(server.WaitForAcceptedConnections(1));
    EXPECT_TRUE(server.Requests().empty());  // opening sends nothing
}

TEST_F(UsbDeviceTest, NoDeviceTriesAllInstancesThenReportsNotOpened) {
    EXPECT_EQ(session.OpenUsbDevice(), LINK_NOT_OPENED);

    ASSERT_EQ(devices.attempts.size(), 127u);
    EXPECT_EQ(devices.attempts.front(), "\\\\.\\QX410U-001");
    EXPECT_EQ(devices.attempts.back(), "\\\\.\\QX410U-127");
    EXPECT_EQ(session.m_detailStatus, DETAIL_USB_OPEN);
    EXPECT_EQ(session.m_usbInstance, 0);
    EXPECT_EQ(session.m_hUsb, nullptr);
    EXPECT_EQ(session.m_sendBuffer, nullptr);
    EXPECT_EQ(session.m_recvBuffer, nullptr);
}

TEST_F(UsbDeviceTest, RememberedInstanceIsTheOnlyOneTried) {
    session.m_usbInstance = 3;
    ASSERT_TRUE(server.AddDevice(4));

    EXPECT_EQ(session.OpenUsbDevice(), LINK_NOT_OPENED);

    EXPECT_THAT(devices.attempts, ElementsAre("\\\\.\\QX410U-003"));
    EXPECT_EQ(session.m_detailStatus, DETAIL_USB_OPEN);
    EXPECT_EQ(session.m_usbInstance, 3);
    EXPECT_EQ(server.AcceptedConnections(), 0);
}

// ---- Transfers ----

TEST_F(UsbDeviceTest, WriteSendsPipeWordZeroThenTheCommand) {
    Connect();
    ASSERT_EQ(session.ReopenUsbDevice(), LINK_OK);
    server.ClearRequests();
    const Bytes command = {0x7F, 0, 0, 0, 0, 0, 0, 0x1A};
    std::memset(session.m_sendBuffer, 0xAA, USB_PIPE_WORD_SIZE);  // whatever was there before
    std::memcpy(session.m_sendBuffer + USB_PIPE_WORD_SIZE, command.data(), command.size());
    session.m_sendLength = 8;

    ASSERT_EQ(session.UsbWrite(200), LINK_OK);

    const std::vector<DriverRequest> requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].instance, 3);
    EXPECT_EQ(requests[0].code, IOCTL_CAMERA_WRITE);
    EXPECT_EQ(requests[0].length, 12u);
    EXPECT_THAT(requests[0].bytes, ElementsAre(0, 0, 0, 0, 0x7F, 0, 0, 0, 0, 0, 0, 0x1A));
}

TEST_F(UsbDeviceTest, ReadSendsTheEndpointAsPipeWordAndLeavesTheAnswerAtOffsetFour) {
    Connect();
    ASSERT_EQ(session.ReopenUsbDevice(), LINK_OK);
    server.ClearRequests();
    server.QueueCameraBytes({0xD1});
    std::memset(session.m_recvBuffer, 0x55, 8);
    session.m_recvLength = 1;

    ASSERT_EQ(session.UsbRead(200), LINK_OK);

    const std::vector<DriverRequest> requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].code, IOCTL_CAMERA_READ);
    EXPECT_EQ(requests[0].length, 5u);
    EXPECT_THAT(Bytes(requests[0].bytes.begin(), requests[0].bytes.begin() + 4), ElementsAre(0x82, 0, 0, 0));
    EXPECT_EQ(session.m_recvBuffer[4], 0xD1);
    EXPECT_EQ(session.m_recvLength, 1);
}

TEST_F(UsbDeviceTest, TransfersBeyondTheBufferAreRefusedWithoutARequest) {
    Connect();
    ASSERT_EQ(session.ReopenUsbDevice(), LINK_OK);
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
    int16_t expectedDetail;
    int32_t expectedRetryNeeded;
};

class UsbTransferFailureTest : public UsbDeviceTest,
                               public ::testing::WithParamInterface<TransferFailureCase> {};

TEST_P(UsbTransferFailureTest, MarksRetryOrRecordsDetail) {
    const TransferFailureCase& c = GetParam();
    Connect();
    ASSERT_EQ(session.ReopenUsbDevice(), LINK_OK);
    server.InjectFault(c.write ? IOCTL_CAMERA_WRITE : IOCTL_CAMERA_READ, DriverFault::Fail);
    server.QueueCameraBytes({0xD1});
    session.m_usbRetryArmed = c.armed ? 1 : 0;
    session.m_detailStatus = 77;
    session.m_sendLength = 8;
    session.m_recvLength = 1;

    EXPECT_EQ(c.write ? session.UsbWrite(200) : session.UsbRead(200), LINK_FAILED);

    EXPECT_EQ(session.m_detailStatus, c.expectedDetail);
    EXPECT_EQ(session.m_usbRetryNeeded, c.expectedRetryNeeded);
    EXPECT_EQ(session.m_recvLength, 1);
}

INSTANTIATE_TEST_SUITE_P(Transfers, UsbTransferFailureTest,
                         ::testing::Values(TransferFailureCase{true, false, DETAIL_USB_WRITE, 0},
                                           TransferFailureCase{true, true, 77, 1},
                                           TransferFailureCase{false, false, DETAIL_USB_READ, 0},
                                           TransferFailureCase{false, true, 77, 1}));

TEST_F(UsbDeviceTest, ReadFromASilentCameraFailsWithinTheRequestLimit) {
    Connect();
    ASSERT_EQ(session.ReopenUsbDevice(), LINK_OK);
    session.m_recvLength = 1;  // nothing queued: the driver holds the read
    const uint32_t start = NowMs();

    EXPECT_EQ(session.UsbRead(200), LINK_FAILED);

    const uint32_t took = MeasureMs(start);
    EXPECT_GE(took, TEST_REQUEST_LIMIT_MS - 20);
    EXPECT_LE(took, TEST_REQUEST_LIMIT_MS + 700);
    EXPECT_EQ(session.m_detailStatus, DETAIL_USB_READ);

    // The connection is given up: the next request fails at once without reaching the driver.
    server.ClearRequests();
    session.m_sendLength = 8;
    const uint32_t again = NowMs();
    EXPECT_EQ(session.UsbWrite(200), LINK_FAILED);
    EXPECT_LE(MeasureMs(again), 50u);
    EXPECT_TRUE(server.Requests().empty());
}

// ---- Descriptor walk ----

struct WalkCase {
    uint8_t configLength;
    uint8_t interfaceLength;
    size_t endpointOffset;
};

class UsbConfigurationWalkTest : public UsbDeviceTest, public ::testing::WithParamInterface<WalkCase> {};

TEST_P(UsbConfigurationWalkTest, FollowsTheLengthBytesToTheEndpoint) {
    const WalkCase& c = GetParam();
    const Bytes configuration = MakeConfiguration(c.configLength, c.interfaceLength, 0x83);
    server.SetConfiguration(configuration);
    Connect();

    ASSERT_EQ(session.ReopenUsbDevice(), LINK_OK);
    const std::vector<DriverRequest> descriptorRequests = server.Requests();
    ASSERT_EQ(descriptorRequests.size(), 3u);
    EXPECT_EQ(descriptorRequests[0].code, IOCTL_CAMERA_GET_DEVICE_DESCRIPTOR);
    EXPECT_EQ(descriptorRequests[0].length, 18u);
    EXPECT_EQ(descriptorRequests[1].code, IOCTL_CAMERA_GET_CONFIGURATION);
    EXPECT_EQ(descriptorRequests[1].length, 10u);
    EXPECT_EQ(descriptorRequests[2].code, IOCTL_CAMERA_GET_CONFIGURATION);
    EXPECT_EQ(descriptorRequests[2].length, configuration.size());

    EXPECT_THAT(session.m_usbDeviceDescriptor, ElementsAreArray(DEVICE_DESCRIPTOR));
    EXPECT_THAT(session.m_usbConfigHeader, ElementsAreArray(configuration.data(), 10));
    EXPECT_THAT(session.m_usbInterfaceDescriptor, ElementsAreArray(configuration.data() + c.configLength, 9));
    EXPECT_THAT(session.m_usbEndpointDescriptor,
                ElementsAreArray(configuration.data() + c.endpointOffset, 8));

    // The read pipe is the endpoint record's address byte.
    server.ClearRequests();
    server.QueueCameraBytes({0x00});
    session.m_recvLength = 1;
    ASSERT_EQ(session.UsbRead(200), LINK_OK);
    EXPECT_EQ(server.Requests().at(0).bytes.at(0), configuration[c.endpointOffset + 2]);
    EXPECT_EQ(configuration[c.endpointOffset + 2], 0x83);
}

INSTANTIATE_TEST_SUITE_P(Walk, UsbConfigurationWalkTest,
                         ::testing::Values(WalkCase{9, 9, 18}, WalkCase{9, 12, 21}, WalkCase{12, 9, 21}));

TEST_F(UsbDeviceTest, ConfigurationFillingTheWholeBufferIsAccepted) {
    Bytes configuration = MakeConfiguration(9, 9, 0x82);
    configuration.resize(LINK_BUFFER_SIZE, 0);
    configuration[2] = static_cast<uint8_t>(LINK_BUFFER_SIZE);
    configuration[3] = static_cast<uint8_t>(LINK_BUFFER_SIZE >> 8);
    server.SetConfiguration(configuration);
    ASSERT_TRUE(server.AddDevice(3));
    ASSERT_EQ(session.OpenUsbDevice(), LINK_OK);

    ASSERT_EQ(session.GetUsbConfiguration(), LINK_OK);
    EXPECT_EQ(server.RequestsWithCode(IOCTL_CAMERA_GET_CONFIGURATION).back().length,
              static_cast<uint32_t>(LINK_BUFFER_SIZE));
    EXPECT_EQ(session.m_usbEndpointDescriptor[2], 0x82);
}

// A configuration whose lengths point outside what the device sent is refused; the records of the
// previous walk stay.
struct RefusedCase {
    const char* name;
    Bytes configuration;
    size_t configurationRequests;
};

class UsbConfigurationRefusedTest : public UsbDeviceTest,
                                    public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(UsbConfigurationRefusedTest, RefusesWithoutReadingPastTheBytesReceived) {
    Connect();
    const Bytes interfaceBefore(session.m_usbInterfaceDescriptor, session.m_usbInterfaceDescriptor + 9);
    const Bytes endpointBefore(session.m_usbEndpointDescriptor, session.m_usbEndpointDescriptor + 8);
    server.SetConfiguration(GetParam().configuration);
    ASSERT_EQ(session.ReopenUsbDevice(), LINK_OK);  // the walk's failure does not fail the reopen
    server.ClearRequests();

    EXPECT_EQ(session.GetUsbConfiguration(), LINK_FAILED);

    EXPECT_EQ(session.m_detailStatus, DETAIL_USB_CONFIGURATION);
    const std::vector<DriverRequest> requests = server.RequestsWithCode(IOCTL_CAMERA_GET_CONFIGURATION);
    ASSERT_EQ(requests.size(), GetParam().configurationRequests);
    EXPECT_EQ(requests[0].length, 10u);
    EXPECT_THAT(session.m_usbInterfaceDescriptor, ElementsAreArray(interfaceBefore));
    EXPECT_THAT(session.m_usbEndpointDescriptor, ElementsAreArray(endpointBefore));
}

Bytes WithTotalLength(Bytes bytes, uint16_t total) {
    bytes[2] = static_cast<uint8_t>(total);
    bytes[3] = static_cast<uint8_t>(total >> 8);
    return bytes;
}

Bytes WithByte(Bytes bytes, size_t at, uint8_t value) {
    bytes[at] = value;
    return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Refused, UsbConfigurationRefusedTest,
    ::testing::Values(
        RefusedCase{"TotalOneAboveTheBuffer", WithTotalLength(MakeConfiguration(9, 9, 0x82), 32781), 1},
        RefusedCase{"TotalAtMaximum", WithTotalLength(MakeConfiguration(9, 9, 0x82), 0xFFFF), 1},
        RefusedCase{"InterfacePastTheEnd", WithByte(MakeConfiguration(9, 9, 0x82), 0, 30), 2},
        RefusedCase{"EndpointPastTheEnd", WithByte(MakeConfiguration(9, 9, 0x82), 9, 200), 2},
        RefusedCase{"EndpointCutShort", WithTotalLength(MakeConfiguration(9, 9, 0x82), 22), 2}),
    [](const ::testing::TestParamInfo<RefusedCase>& caseInfo) { return std::string(caseInfo.param.name); });

// ---- Reopen ----

TEST_F(UsbDeviceTest, FailedConfigurationRequestKeepsTheEarlierRecordsAndTheReopenSucceeds) {
    Connect();
    const Bytes endpointBefore(session.m_usbEndpointDescriptor, session.m_usbEndpointDescriptor + 8);
    server.SetConfiguration(MakeConfiguration(9, 9, 0x84));
    server.InjectFault(IOCTL_CAMERA_GET_CONFIGURATION, DriverFault::Fail);
    session.m_detailStatus = 55;

    EXPECT_EQ(session.ReopenUsbDevice(), LINK_OK);

    EXPECT_EQ(session.m_detailStatus, 0);
    EXPECT_NE(session.m_hUsb, nullptr);
    EXPECT_THAT(session.m_usbEndpointDescriptor, ElementsAreArray(endpointBefore));
    EXPECT_EQ(server.RequestsWithCode(IOCTL_CAMERA_GET_CONFIGURATION).size(), 1u);
    EXPECT_THAT(devices.attempts, ElementsAre("\\\\.\\QX410U-003"));
}

struct ReopenCase {
    int32_t retryNeeded;
    int descriptorFailures;
    int32_t expectedResult;
    int16_t expectedDetail;
    size_t descriptorRequests;
};

class UsbReopenTest : public UsbDeviceTest, public ::testing::WithParamInterface<ReopenCase> {};

TEST_P(UsbReopenTest, RepeatsTheDescriptorRequestsOnceWhenARetryIsPending) {
    const ReopenCase& c = GetParam();
    Connect();
    server.InjectFault(IOCTL_CAMERA_GET_DEVICE_DESCRIPTOR, DriverFault::Fail, c.descriptorFailures);
    session.m_usbRetryNeeded = c.retryNeeded;
    session.m_usbRetryArmed = 1;

    EXPECT_EQ(session.ReopenUsbDevice(), c.expectedResult);

    EXPECT_EQ(session.m_detailStatus, c.expectedDetail);
    EXPECT_EQ(server.RequestsWithCode(IOCTL_CAMERA_GET_DEVICE_DESCRIPTOR).size(), c.descriptorRequests);
    EXPECT_EQ(server.AcceptedConnections(), 2);  // the repeat uses the same handle
    EXPECT_EQ(session.m_usbRetryArmed, 0);
    EXPECT_EQ(session.m_usbRetryNeeded, c.descriptorFailures > 0 ? 0 : c.retryNeeded);
    EXPECT_EQ(session.m_hUsb != nullptr, c.expectedResult == LINK_OK);
    EXPECT_NE(session.m_recvBuffer, nullptr);  // a failed reopen keeps the buffers
}

INSTANTIATE_TEST_SUITE_P(Reopen, UsbReopenTest,
                         ::testing::Values(ReopenCase{0, 0, LINK_OK, 0, 1}, ReopenCase{1, 0, LINK_OK, 0, 1},
                                           ReopenCase{0, 1, LINK_FAILED, DETAIL_USB_CONFIGURATION, 1},
                                           ReopenCase{1, 1, LINK_OK, 0, 2},
                                           ReopenCase{1, 2, LINK_FAILED, DETAIL_USB_CONFIGURATION, 2}));

TEST_F(UsbDeviceTest, ReopenAfterCloseFailsWithoutTryingToOpen) {
    Connect();
    EXPECT_EQ(session.CloseUsbDevice(), LINK_OK);
    EXPECT_EQ(session.m_devicePath[0], '\0');
    EXPECT_EQ(session.m_sendBuffer, nullptr);
    EXPECT_EQ(session.m_usbInstance, 3);

    EXPECT_EQ(session.ReopenUsbDevice(), LINK_NOT_OPENED);

    EXPECT_EQ(session.m_detailStatus, DETAIL_USB_OPEN);
    EXPECT_TRUE(devices.attempts.empty());
}

TEST_F(UsbDeviceTest, ReleasedDeviceKeepsItsPathButNotItsBuffers) {
    Connect();
    ASSERT_EQ(session.ReopenUsbDevice(), LINK_OK);
    session.ReleaseUsbHandle();  // an operation ended before the connection was given up
    server.ClearRequests();

    session.ReleaseUsbDevice();

    EXPECT_EQ(session.m_hUsb, nullptr);
    EXPECT_EQ(session.m_sendBuffer, nullptr);
    EXPECT_EQ(session.m_recvBuffer, nullptr);
    EXPECT_STREQ(session.m_devicePath, "\\\\.\\QX410U-003");
    // Without buffers a reopen fails cleanly instead of touching memory it does not hold.
    EXPECT_EQ(session.ReopenUsbDevice(), LINK_FAILED);
    EXPECT_EQ(session.m_detailStatus, DETAIL_USB_CONFIGURATION);
    EXPECT_TRUE(server.Requests().empty());
}

// ---- The driver socket client on its own ----

struct DriverFaultCase {
    const char* name;
    DriverFault fault;
    bool connectionSurvives;
};

class UsbDriverClientTest : public ::testing::TestWithParam<DriverFaultCase> {
  protected:
    UsbDriverServer server;
};

TEST_P(UsbDriverClientTest, BadAnswerFailsTheRequestWithoutTouchingTheBuffer) {
    ASSERT_TRUE(server.AddDevice(1));
    server.SetDeviceDescriptor(DEVICE_DESCRIPTOR);
    server.InjectFault(testsupport::DRIVER_GET_DEVICE_DESCRIPTOR, GetParam().fault);
    auto connection = platform::ConnectUsbDriver(server.SocketPath(1).c_str(), TEST_REQUEST_LIMIT_MS);
    ASSERT_NE(connection, nullptr);
    Bytes buffer(18 + 16, 0x5A);
    const uint32_t start = NowMs();

    EXPECT_FALSE(connection->Request(IOCTL_CAMERA_GET_DEVICE_DESCRIPTOR, buffer.data(), 18));

    EXPECT_LE(MeasureMs(start), TEST_REQUEST_LIMIT_MS + 700);
    EXPECT_THAT(buffer, ::testing::Each(0x5A));
    const uint32_t again = NowMs();
    EXPECT_EQ(connection->Request(IOCTL_CAMERA_GET_DEVICE_DESCRIPTOR, buffer.data(), 18),
              GetParam().connectionSurvives);
    if (GetParam().connectionSurvives) {
        EXPECT_THAT(Bytes(buffer.begin(), buffer.begin() + 18), ElementsAreArray(DEVICE_DESCRIPTOR));
        EXPECT_EQ(server.Requests().size(), 2u);
    } else {
        EXPECT_LE(MeasureMs(again), 50u);  // given up: fails at once, nothing sent
        EXPECT_EQ(server.Requests().size(), 1u);
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, UsbDriverClientTest,
                         ::testing::Values(DriverFaultCase{"FailureStatus", DriverFault::Fail, true},
                                           DriverFaultCase{"Oversized", DriverFault::Oversized, false},
                                           DriverFaultCase{"Truncated", DriverFault::Truncated, false},
                                           DriverFaultCase{"Silent", DriverFault::Silent, false}),
                         [](const ::testing::TestParamInfo<DriverFaultCase>& caseInfo) {
                             return std::string(caseInfo.param.name);
                         });

TEST(UsbDriverConnectTest, MissingOrUnusablePathsGiveNoConnection) {
    UsbDriverServer server;
    EXPECT_EQ(platform::ConnectUsbDriver(server.SocketPath(9).c_str()), nullptr);
    EXPECT_EQ(platform::ConnectUsbDriver(""), nullptr);
    EXPECT_EQ(platform::ConnectUsbDriver((std::string(200, 'x') + "/QX410U-001").c_str()), nullptr);
}

// The machine's own device namespace: "\\.\QX410U-NNN" is the socket in $XDG_RUNTIME_DIR/qx410fw.
TEST(UsbSystemDevicesTest, OpensTheDriverSocketInTheDeviceDirectory) {
    char runtime[] = "/tmp/qxrt-XXXXXX";
    ASSERT_NE(mkdtemp(runtime), nullptr);
    const std::string directory = std::string(runtime) + "/qx410fw";
    ASSERT_EQ(mkdir(directory.c_str(), 0700), 0);
    const char* previous = std::getenv("XDG_RUNTIME_DIR");
    const std::string saved = previous != nullptr ? previous : "";
    setenv("XDG_RUNTIME_DIR", runtime, 1);
    {
        UsbDriverServer server(directory);
        server.SetDeviceDescriptor(DEVICE_DESCRIPTOR);
        ASSERT_TRUE(server.AddDevice(2));
        CLinkSession session(platform::SystemDevices());

        EXPECT_EQ(session.OpenUsbDevice(), LINK_OK);
        EXPECT_EQ(session.m_usbInstance, 2);
        EXPECT_EQ(session.GetUsbDeviceDescriptor(), LINK_OK);
        EXPECT_THAT(session.m_usbDeviceDescriptor, ElementsAreArray(DEVICE_DESCRIPTOR));
        session.CloseUsbDevice();
        server.RemoveDevice(2);
    }
    if (previous != nullptr) {
        setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
    } else {
        unsetenv("XDG_RUNTIME_DIR");
    }
    rmdir(directory.c_str());
    rmdir(runtime);
}

}  // namespace
