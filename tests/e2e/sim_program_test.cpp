// The simulator program's own links, driven by hand: the USB driver framing (descriptors, pipe words,
// blocking reads, oversized requests), the serial line rate, the options and the clean-up at exit.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/e2e/e2e_support.h"

namespace e2e {
namespace {

constexpr uint32_t GET_DEVICE_DESCRIPTOR = 0x222004;
constexpr uint32_t GET_CONFIGURATION = 0x222008;
constexpr uint32_t WRITE = 0x22200C;
constexpr uint32_t READ = 0x222010;
const std::vector<uint8_t> READ_STATUS_COMMAND = {0x7F, 0, 0, 0, 0, 0, 0, 0x1A};

void PutU32(std::vector<uint8_t>& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

uint32_t GetU32(const uint8_t* at) {
    return at[0] | (at[1] << 8) | (at[2] << 16) | (static_cast<uint32_t>(at[3]) << 24);
}

// Reads exactly count bytes within timeoutMs; fewer when the peer closes or time runs out.
std::vector<uint8_t> ReadExactly(int fd, size_t count, int timeoutMs) {
    std::vector<uint8_t> bytes;
    while (bytes.size() < count) {
        pollfd entry{fd, POLLIN, 0};
        if (poll(&entry, 1, timeoutMs) <= 0) {
            break;
        }
        uint8_t buffer[4096];
        const ssize_t got = read(fd, buffer, std::min(sizeof buffer, count - bytes.size()));
        if (got <= 0) {
            break;
        }
        bytes.insert(bytes.end(), buffer, buffer + got);
    }
    return bytes;
}

struct Response {
    bool complete = false;
    uint32_t status = 0;
    std::vector<uint8_t> bytes;
};

class DriverClient {
  public:
    explicit DriverClient(const std::string& path) {
        m_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        if (connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            close(m_fd);
            m_fd = -1;
        }
    }
    ~DriverClient() {
        if (m_fd >= 0) {
            close(m_fd);
        }
    }
    bool Connected() const { return m_fd >= 0; }
    int Fd() const { return m_fd; }

    bool Send(uint32_t code, uint32_t length, const std::vector<uint8_t>& body) {
        std::vector<uint8_t> frame;
        PutU32(frame, code);
        PutU32(frame, length);
        frame.insert(frame.end(), body.begin(), body.end());
        return write(m_fd, frame.data(), frame.size()) == static_cast<ssize_t>(frame.size());
    }
    Response Receive(int timeoutMs) {
        Response response;
        const std::vector<uint8_t> header = ReadExactly(m_fd, 8, timeoutMs);
        if (header.size() != 8) {
            return response;
        }
        response.status = GetU32(header.data());
        response.bytes = ReadExactly(m_fd, GetU32(header.data() + 4), timeoutMs);
        response.complete = response.bytes.size() == GetU32(header.data() + 4);
        return response;
    }
    Response Request(uint32_t code, const std::vector<uint8_t>& body, int timeoutMs = 2000) {
        if (!Send(code, static_cast<uint32_t>(body.size()), body)) {
            return {};
        }
        return Receive(timeoutMs);
    }

  private:
    int m_fd = -1;
};

std::vector<uint8_t> WithPipe(uint32_t pipe, const std::vector<uint8_t>& bytes) {
    std::vector<uint8_t> body;
    PutU32(body, pipe);
    body.insert(body.end(), bytes.begin(), bytes.end());
    return body;
}

using SimulatorProgram = SimulatorTest;

TEST_F(SimulatorProgram, UsbDriverAnswersDescriptorsAndMovesBytesThroughThePipes) {
    StartSimulator({"--usb", "7"}, "QX410U-007");
    DriverClient client(DeviceDir() + "/QX410U-007");
    ASSERT_TRUE(client.Connected());

    const Response device = client.Request(GET_DEVICE_DESCRIPTOR, std::vector<uint8_t>(18));
    ASSERT_TRUE(device.complete);
    EXPECT_EQ(device.status, 0u);
    ASSERT_EQ(device.bytes.size(), 18u);
    EXPECT_EQ(device.bytes[0], 18);

    const Response header = client.Request(GET_CONFIGURATION, std::vector<uint8_t>(10));
    ASSERT_EQ(header.bytes.size(), 10u);
    const uint32_t total = header.bytes[2] | (header.bytes[3] << 8);
    const Response configuration = client.Request(GET_CONFIGURATION, std::vector<uint8_t>(total));
    ASSERT_EQ(configuration.bytes.size(), total);
    // The read pipe is byte 2 of the record after the interface record.
    const size_t endpoint = configuration.bytes[0] + configuration.bytes[configuration.bytes[0]];
    const uint8_t readPipe = configuration.bytes[endpoint + 2];

    // Wrong pipe words fail the request and keep the stream in step.
    EXPECT_NE(client.Request(WRITE, WithPipe(1, READ_STATUS_COMMAND)).status, 0u);
    EXPECT_NE(client.Request(READ, WithPipe(readPipe ^ 0x80u, {0})).status, 0u);

    // The status read: acknowledgement, then ready byte and the 257-byte packet in one read.
    const Response written = client.Request(WRITE, WithPipe(0, READ_STATUS_COMMAND));
    EXPECT_EQ(written.status, 0u);
    EXPECT_TRUE(written.bytes.empty());
    const Response ack = client.Request(READ, WithPipe(readPipe, {0}));
    ASSERT_EQ(ack.bytes.size(), 5u);
    EXPECT_EQ(GetU32(ack.bytes.data()), readPipe);
    EXPECT_EQ(ack.bytes[4], 0xD1);
    const Response packet = client.Request(READ, WithPipe(readPipe, std::vector<uint8_t>(258)));
    ASSERT_EQ(packet.bytes.size(), 262u);
    EXPECT_EQ(packet.bytes[4], 0x01);  // ready byte
    EXPECT_EQ(packet.bytes[6], 6);     // status byte 1: camera state ready
    uint8_t check = 0;
    for (size_t i = 5; i < 5 + 256; ++i) {
        check ^= packet.bytes[i];
    }
    EXPECT_EQ(packet.bytes[261], check);

    // Nothing more to say: a READ now blocks (no answer) until the camera produces bytes.
    ASSERT_TRUE(client.Send(READ, 5, WithPipe(readPipe, {0})));
    EXPECT_FALSE(client.Receive(300).complete);
}

TEST_F(SimulatorProgram, UsbDriverRefusesOversizedRequestsAndClosesTheHandle) {
    StartSimulator({"--usb"}, "QX410U-001");
    DriverClient client(DeviceDir() + "/QX410U-001");
    ASSERT_TRUE(client.Connected());
    ASSERT_TRUE(client.Send(WRITE, 0x10001, {0, 0, 0, 0}));
    const Response refused = client.Receive(2000);
    EXPECT_TRUE(refused.complete);
    EXPECT_NE(refused.status, 0u);
    EXPECT_TRUE(ReadExactly(client.Fd(), 1, 2000).empty()) << "the connection stays open";
    // Other handles are unaffected.
    DriverClient second(DeviceDir() + "/QX410U-001");
    EXPECT_EQ(second.Request(GET_DEVICE_DESCRIPTOR, std::vector<uint8_t>(18)).bytes.size(), 18u);
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
    const std::vector<uint8_t> answer = ReadExactly(fd, 1, 500);
    close(fd);
    if (GetParam() == B9600) {
        ASSERT_EQ(answer.size(), 1u);
        EXPECT_EQ(answer[0], 0xD1);
    } else {
        EXPECT_TRUE(answer.empty()) << "bytes crossed a line whose rates differ";
    }
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
