// The simulator program's own links, driven by hand: the USB driver framing (descriptors, pipe words,
// blocking reads, oversized requests), the serial line rate, the options and the clean-up at exit.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <vector>

#include "common/clock.h"
#include "platform/unix_usb_driver.h"
#include "tests/e2e/e2e_support.h"

namespace e2e {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t GET_DEVICE_DESCRIPTOR = 0x222004;
constexpr uint32_t GET_CONFIGURATION = 0x222008;
constexpr uint32_t WRITE = 0x22200C;
constexpr uint32_t READ = 0x222010;
constexpr uint32_t REQUEST_LIMIT_MS = 300;
const Bytes READ_STATUS_COMMAND = {0x7F, 0, 0, 0, 0, 0, 0, 0x1A};

// One request through the updater's own driver client: the pipe word, then `bytes`, or room for
// `bytes.size()` answer bytes; the answer's packet bytes on success.
struct Driver {
    std::unique_ptr<platform::IUsbConnection> connection;
    bool Request(uint32_t code, uint32_t pipe, Bytes& bytes, bool withPipe = true) {
        Bytes buffer;
        if (withPipe) {
            buffer = {static_cast<uint8_t>(pipe), static_cast<uint8_t>(pipe >> 8), 0, 0};
        }
        buffer.insert(buffer.end(), bytes.begin(), bytes.end());
        const bool done = connection->Request(code, buffer.data(), static_cast<uint32_t>(buffer.size()));
        bytes.assign(buffer.begin() + (withPipe ? 4 : 0), buffer.end());
        return done;
    }
};

using SimulatorProgram = SimulatorTest;

TEST_F(SimulatorProgram, UsbDriverAnswersDescriptorsAndMovesBytesThroughThePipes) {
    StartSimulator({"--usb", "7"}, "QX410U-007");
    Driver driver{platform::ConnectUsbDriver((DeviceDir() + "/QX410U-007").c_str(), REQUEST_LIMIT_MS)};
    ASSERT_NE(driver.connection, nullptr);

    Bytes device(18);
    ASSERT_TRUE(driver.Request(GET_DEVICE_DESCRIPTOR, 0, device, false));
    EXPECT_EQ(device[0], 18);
    Bytes configuration(10);
    ASSERT_TRUE(driver.Request(GET_CONFIGURATION, 0, configuration, false));
    configuration.resize(configuration[2] | (configuration[3] << 8));
    ASSERT_TRUE(driver.Request(GET_CONFIGURATION, 0, configuration, false));
    // The read pipe is byte 2 of the record after the interface record.
    const uint8_t readPipe = configuration.at(configuration[0] + configuration[configuration[0]] + 2);

    // Wrong pipe words fail the request and keep the stream in step.
    Bytes command = READ_STATUS_COMMAND;
    EXPECT_FALSE(driver.Request(WRITE, 1, command));
    Bytes answer(1);
    EXPECT_FALSE(driver.Request(READ, readPipe ^ 0x80u, answer));

    // The status read: acknowledgement, then ready byte and the 257-byte packet in one read.
    ASSERT_TRUE(driver.Request(WRITE, 0, command));
    ASSERT_TRUE(driver.Request(READ, readPipe, answer));
    EXPECT_EQ(answer, Bytes{0xD1});
    Bytes packet(258);
    ASSERT_TRUE(driver.Request(READ, readPipe, packet));
    EXPECT_EQ(packet[0], 0x01);  // ready byte
    EXPECT_EQ(packet[2], 6);     // status byte 1: camera state ready
    uint8_t check = 0;
    for (size_t i = 1; i < 257; ++i) {
        check ^= packet[i];
    }
    EXPECT_EQ(packet[257], check);

    // Nothing more to say: a READ is held until the camera produces bytes.
    const uint32_t start = NowMs();
    EXPECT_FALSE(driver.Request(READ, readPipe, answer));
    EXPECT_GE(ElapsedMs(start, NowMs()) + 20, REQUEST_LIMIT_MS);
}

TEST_F(SimulatorProgram, UsbDriverRefusesOversizedRequestsAndClosesTheHandle) {
    StartSimulator({"--usb"}, "QX410U-001");
    const std::string path = DeviceDir() + "/QX410U-001";
    Driver driver{platform::ConnectUsbDriver(path.c_str(), 2000)};
    ASSERT_NE(driver.connection, nullptr);
    Bytes huge(0x10001);
    EXPECT_FALSE(driver.Request(WRITE, 0, huge));
    Bytes device(18);
    EXPECT_FALSE(driver.Request(GET_DEVICE_DESCRIPTOR, 0, device, false)) << "the handle is closed";
    // Other handles are unaffected.
    Driver second{platform::ConnectUsbDriver(path.c_str(), 2000)};
    EXPECT_TRUE(second.Request(GET_DEVICE_DESCRIPTOR, 0, device, false));
}

// Bytes cross the serial line only when both ends use the same rate.
class SerialLineRate : public SimulatorTest, public ::testing::WithParamInterface<speed_t> {};

TEST_P(SerialLineRate, CameraAnswersOnlyAtItsOwnRate) {
    StartSimulator({"--serial", "4"}, "COM4");
    const int fd = open((DeviceDir() + "/COM4").c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    termios settings{};
    ASSERT_EQ(tcgetattr(fd, &settings), 0);
    cfmakeraw(&settings);
    cfsetispeed(&settings, GetParam());
    cfsetospeed(&settings, GetParam());
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &settings), 0);
    ASSERT_EQ(write(fd, READ_STATUS_COMMAND.data(), READ_STATUS_COMMAND.size()), 8);
    uint8_t answer[1] = {};
    pollfd entry{fd, POLLIN, 0};
    const bool answered = poll(&entry, 1, 500) == 1 && read(fd, answer, 1) == 1;
    close(fd);
    EXPECT_EQ(answered, GetParam() == B9600) << "bytes cross only a line whose ends agree";
    EXPECT_EQ(answer[0], answered ? 0xD1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Rates, SerialLineRate, ::testing::Values(B9600, B19200, B115200));

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

class SimulatorOptions : public ::testing::TestWithParam<std::vector<std::string>> {};

// Every bad command line ends with status 2 at once, publishing nothing.
TEST_P(SimulatorOptions, RejectsBadCommandLines) {
    const std::string runtimeDir = MakePrivateRuntimeDir();
    std::string command = SimulatorPath();
    for (const std::string& argument : GetParam()) {
        command += " '" + argument + "'";
    }
    const int status = std::system((command + " >/dev/null 2>&1").c_str());
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 2);
    struct stat info {};
    EXPECT_NE(stat((runtimeDir + "/qx410fw").c_str(), &info), 0);
    RemoveRuntimeDir(runtimeDir);
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, SimulatorOptions,
    ::testing::Values(std::vector<std::string>{}, std::vector<std::string>{"--serial", "3", "--usb", "1"},
                      std::vector<std::string>{"--serial", "10"}, std::vector<std::string>{"--serial", "0"},
                      std::vector<std::string>{"--usb", "128"}, std::vector<std::string>{"--serial"},
                      std::vector<std::string>{"--serial", "3", "--busy", "7f:later:100"},
                      std::vector<std::string>{"--serial", "3", "--name", std::string(33, 'x')},
                      std::vector<std::string>{"--serial", "3", "--state", "256"},
                      std::vector<std::string>{"--serial", "3", "--bogus"}));

}  // namespace
}  // namespace e2e
