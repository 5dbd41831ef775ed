// The simulator program itself, where the end-to-end updates do not reach: a driver request too large
// for the handle, the clean-up at exit with the flash it reports, and the command line.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "common/byte_order.h"
#include "platform/unix_usb_driver.h"
#include "tests/e2e/e2e_support.h"

namespace e2e {
namespace {

using SimulatorProgram = SimulatorTest;

constexpr uint32_t GET_DEVICE_DESCRIPTOR = 0x222004;
constexpr uint32_t WRITE = 0x22200C;

TEST_F(SimulatorProgram, UsbDriverRefusesOversizedRequestsAndClosesTheHandle) {
    StartSimulator({"--usb"}, "QX410U-001");
    const std::string path = DeviceDir() + "/QX410U-001";
    auto connection = platform::ConnectUsbDriver(path.c_str(), 2000);
    ASSERT_NE(connection, nullptr);
    std::vector<uint8_t> huge(4 + 0x10001);
    EXPECT_FALSE(connection->Request(WRITE, huge.data(), static_cast<uint32_t>(huge.size())));
    uint8_t device[18] = {};
    EXPECT_FALSE(connection->Request(GET_DEVICE_DESCRIPTOR, device, 18)) << "the handle is closed";
    auto second = platform::ConnectUsbDriver(path.c_str(), 2000);
    ASSERT_NE(second, nullptr);
    EXPECT_TRUE(second->Request(GET_DEVICE_DESCRIPTOR, device, 18)) << "other handles are unaffected";
}

// A port of the loopback interface that is free now.
uint16_t FreeLoopbackPort() {
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    const bool bound = bind(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
                       getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    close(probe);
    return bound ? ntohs(address.sin_port) : 0;
}

// --driver-tcp: the driver socket's requests also on 127.0.0.1, for the stand-in driver under Wine; the
// same framing, one handle per connection.
TEST_F(SimulatorProgram, ServesTheDriverRequestsOnALoopbackPort) {
    const uint16_t port = FreeLoopbackPort();
    ASSERT_NE(port, 0);
    StartSimulator({"--usb", "--driver-tcp", std::to_string(port)}, "QX410U-001");
    const int link = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(link, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    uint8_t request[8 + 18] = {};
    StoreLe32(request, GET_DEVICE_DESCRIPTOR);
    StoreLe32(request + 4, 18);
    ASSERT_EQ(send(link, request, sizeof request, 0), static_cast<ssize_t>(sizeof request));
    uint8_t answer[8 + 18] = {};
    size_t received = 0;
    while (received < sizeof answer) {
        const ssize_t moved = recv(link, answer + received, sizeof answer - received, 0);
        ASSERT_GT(moved, 0);
        received += static_cast<size_t>(moved);
    }
    close(link);
    EXPECT_EQ(LoadLe32(answer), 0u) << "status";
    EXPECT_EQ(LoadLe32(answer + 4), 18u) << "length";
    EXPECT_EQ(answer[8], 18) << "bLength";
    EXPECT_EQ(answer[9], 1) << "a device descriptor";
}

TEST_F(SimulatorProgram, RemovesWhatItPublishedWhenStoppedAndReportsTheFlash) {
    StartSimulator({"--serial", "9", "--flash-out", TempFile("flash.bin")}, "COM9");
    const SimSummary summary = StopSimulator();
    EXPECT_EQ(summary.Value("commands"), "0");
    struct stat info {};
    EXPECT_NE(lstat((DeviceDir() + "/COM9").c_str(), &info), 0);

    // The summary's digest of the flash agrees with the system's sha256sum of the written file.
    FILE* pipe = popen(("sha256sum '" + TempFile("flash.bin") + "' 2>/dev/null").c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char digest[65] = {};
    const bool read = std::fscanf(pipe, "%64s", digest) == 1;
    pclose(pipe);
    if (!read) {
        GTEST_SKIP() << "sha256sum is not available";
    }
    EXPECT_EQ(summary.Value("flash-sha256"), digest);
    ASSERT_EQ(stat(TempFile("flash.bin").c_str(), &info), 0);
    EXPECT_EQ(info.st_size, 0x100000);
}

// Every bad command line ends with status 2 at once and --help with the usage and status 0, publishing
// nothing.
struct OptionsCase {
    std::string arguments;
    int status;
};

class SimulatorOptions : public SimulatorTest, public ::testing::WithParamInterface<OptionsCase> {};

TEST_P(SimulatorOptions, EndAtOnceWithoutPublishing) {
    const std::string output = TempFile("out.txt");
    const int status = std::system(
        (SimulatorPath() + " " + GetParam().arguments + " >'" + output + "' 2>/dev/null").c_str());
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), GetParam().status);
    const std::vector<uint8_t> text = ReadFile(output);
    EXPECT_EQ(std::string(text.begin(), text.end()).starts_with("usage: "), GetParam().status == 0);
    struct stat info {};
    EXPECT_NE(stat(DeviceDir().c_str(), &info), 0);
}

INSTANTIATE_TEST_SUITE_P(CommandLines, SimulatorOptions,
                         ::testing::Values(OptionsCase{"", 2}, OptionsCase{"--serial 3 --usb 1", 2},
                                           OptionsCase{"--serial 10", 2}, OptionsCase{"--serial 0", 2},
                                           OptionsCase{"--usb 128", 2}, OptionsCase{"--serial", 2},
                                           OptionsCase{"--serial 3 --driver-tcp 0", 2},
                                           OptionsCase{"--usb 1 --driver-tcp 65536", 2},
                                           OptionsCase{"--serial 3 --busy 7f:later:100", 2},
                                           OptionsCase{"--serial 3 --name " + std::string(33, 'x'), 2},
                                           OptionsCase{"--serial 3 --state 256", 2},
                                           OptionsCase{"--serial 3 --bogus", 2},
                                           // A saved flash must exist and be exactly the flash's size.
                                           OptionsCase{"--usb 1 --flash-in /nonexistent/flash.bin", 2},
                                           OptionsCase{"--usb 1 --flash-in /etc/hostname", 2},
                                           OptionsCase{"--help", 0}, OptionsCase{"--serial 3 -h", 0}));

}  // namespace
}  // namespace e2e
