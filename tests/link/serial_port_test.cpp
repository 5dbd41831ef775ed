// The serial port link over real pseudo-terminals (real clock): the test holds the master side as the
// camera's end of the cable; the link opens "COMn" through the system devices, which a temporary
// device directory maps to the pty slave. A scripted port stands in where a pty cannot show the
// behaviour (an output queue that does not empty, a port that takes only part of a write).
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/clock.h"
#include "link/link_session.h"
#include "platform/devices.h"

namespace {

// A temporary XDG_RUNTIME_DIR holding a trusted device directory, restored on destruction.
class DeviceDirectory {
  public:
    DeviceDirectory() {
        char pattern[] = "/tmp/qx-serial-test-XXXXXX";
        m_root = mkdtemp(pattern);
        chmod(m_root.c_str(), 0700);
        m_directory = m_root + "/qx410fw";
        mkdir(m_directory.c_str(), 0700);
        const char* previous = std::getenv("XDG_RUNTIME_DIR");
        m_hadPrevious = previous != nullptr;
        m_previous = m_hadPrevious ? previous : "";
        setenv("XDG_RUNTIME_DIR", m_root.c_str(), 1);
    }
    ~DeviceDirectory() {
        if (m_hadPrevious) {
            setenv("XDG_RUNTIME_DIR", m_previous.c_str(), 1);
        } else {
            unsetenv("XDG_RUNTIME_DIR");
        }
        std::system(("rm -rf '" + m_root + "'").c_str());
    }
    std::string EntryPath(const std::string& name) const { return m_directory + "/" + name; }

  private:
    std::string m_root;
    std::string m_directory;
    std::string m_previous;
    bool m_hadPrevious = false;
};

int64_t ElapsedSince(uint32_t startMs) {
    return static_cast<int64_t>(ElapsedMs(startMs, NowMs()));
}

class SerialPortTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char slaveName[128] = {};
        ASSERT_EQ(openpty(&m_master, &m_slave, slaveName, nullptr, nullptr), 0) << "no pseudo-terminals";
        // Termios requests on the master reach the slave, so the slave keeps a fresh terminal's
        // defaults (canonical, echo, XON/XOFF) until the link configures it; the master side is raw.
        fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
        m_slavePath = slaveName;
        ASSERT_EQ(symlink(slaveName, m_directory.EntryPath("COM1").c_str()), 0);
    }
    void TearDown() override {
        m_session.CloseSerialPort();
        if (m_writer.joinable()) {
            m_writer.join();
        }
        if (m_master >= 0) {
            close(m_master);
        }
        close(m_slave);
    }

    void OpenPort() {
        ASSERT_EQ(m_session.OpenSerialPort(1), LINK_OK) << "errno " << m_session.m_systemError;
        m_session.m_portKind = PORT_KIND_SERIAL;
    }

    termios SlaveSettings() const {
        termios settings{};
        tcgetattr(m_slave, &settings);
        return settings;
    }

    // The camera's side: sends bytes, each after its own pause.
    void SendFromCamera(std::vector<std::pair<int, uint8_t>> script) {
        m_writer = std::thread([this, script] {
            for (const auto& [pauseMs, byte] : script) {
                if (pauseMs > 0) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
                }
                ASSERT_EQ(write(m_master, &byte, 1), 1);
            }
        });
    }
    void FinishCamera() {
        if (m_writer.joinable()) {
            m_writer.join();
        }
    }

    // Everything the link has sent so far, waiting up to waitMs for the first byte.
    std::vector<uint8_t> ReceiveAtCamera(int waitMs = 200) {
        std::vector<uint8_t> bytes;
        pollfd entry{m_master, POLLIN, 0};
        while (poll(&entry, 1, bytes.empty() ? waitMs : 20) > 0) {
            uint8_t chunk[512];
            const ssize_t count = read(m_master, chunk, sizeof chunk);
            if (count <= 0) {
                break;
            }
            bytes.insert(bytes.end(), chunk, chunk + count);
        }
        return bytes;
    }

    // Waits (real time) until the slave holds count unread bytes.
    void AwaitSlaveInput(int count) {
        for (int i = 0; i < 200; ++i) {
            platform::QueueState queues;
            if (m_session.m_hSerial->GetQueueState(queues) &&
                queues.inQueue >= static_cast<uint32_t>(count)) {
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        FAIL() << "bytes did not reach the port";
    }

    DeviceDirectory m_directory;
    CLinkSession m_session{platform::SystemDevices()};
    int m_master = -1;
    int m_slave = -1;
    std::string m_slavePath;
    std::thread m_writer;
};

TEST_F(SerialPortTest, OpenSetsRaw9600EightNoneOneAndTheSessionFields) {
    // Start from a terminal's defaults plus settings the open must keep.
    termios before = SlaveSettings();
    before.c_cflag |= CRTSCTS;
    before.c_cflag |= PARENB;
    tcsetattr(m_slave, TCSANOW, &before);

    const uint32_t start = NowMs();
    OpenPort();
    EXPECT_GE(ElapsedSince(start), 100);  // the settling pause

    const termios after = SlaveSettings();
    EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B9600));
    EXPECT_EQ(cfgetispeed(&after), static_cast<speed_t>(B9600));
    EXPECT_EQ(after.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(after.c_cflag & (PARENB | CSTOPB), 0u);
    EXPECT_EQ(after.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(after.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(after.c_oflag & OPOST, 0u);
    EXPECT_EQ(after.c_iflag & (INPCK | ICRNL | ISTRIP | IXON | IXOFF), 0u);
    EXPECT_NE(after.c_cflag & CRTSCTS, 0u) << "hardware flow control is left as found";

    EXPECT_NE(m_session.m_sendBuffer, nullptr);
    EXPECT_NE(m_session.m_recvBuffer, nullptr);
    EXPECT_EQ(m_session.m_speedCode, 1);
    EXPECT_EQ(m_session.m_commandAttempts, 3);
    const int32_t firstExchangeIn = static_cast<int32_t>(m_session.m_lastExchangeTime - NowMs());
    EXPECT_GT(firstExchangeIn, 50);
    EXPECT_LE(firstExchangeIn, 100);
}

TEST_F(SerialPortTest, ClosePutsBackTheSettingsFoundAndReleasesThePortOnce) {
    const termios before = SlaveSettings();
    ASSERT_NE(before.c_lflag & ICANON, 0u);
    OpenPort();
    ASSERT_TRUE(m_session.SetLineSpeed(5) == LINK_OK);

    EXPECT_EQ(m_session.CloseSerialPort(), LINK_OK);
    EXPECT_EQ(m_session.m_hSerial, nullptr);
    EXPECT_EQ(m_session.m_sendBuffer, nullptr);
    EXPECT_EQ(m_session.m_recvBuffer, nullptr);
    EXPECT_EQ(m_session.m_speedCode, 1);
    const termios after = SlaveSettings();
    EXPECT_NE(after.c_lflag & ICANON, 0u);
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));

    EXPECT_EQ(m_session.CloseSerialPort(), LINK_OK);
    EXPECT_EQ(m_session.m_sendBuffer, nullptr);
    // The lock went with the first close: the port opens again.
    EXPECT_EQ(m_session.OpenSerialPort(1), LINK_OK);
}

TEST_F(SerialPortTest, PortHeldElsewhereFailsTheOpenWithNothingLeft) {
    OpenPort();
    CLinkSession second(platform::SystemDevices());
    EXPECT_EQ(second.OpenSerialPort(1), LINK_FAILED);
    EXPECT_EQ(second.m_detailStatus, DETAIL_SERIAL_OPEN);
    EXPECT_EQ(second.m_hSerial, nullptr);
    EXPECT_EQ(second.m_sendBuffer, nullptr);
    EXPECT_EQ(second.m_recvBuffer, nullptr);
}

TEST_F(SerialPortTest, OpenFailuresLeaveNoHandleAndNoLock) {
    const std::string plainFile = m_directory.EntryPath("COM2");
    {
        FILE* file = fopen(plainFile.c_str(), "w");
        fclose(file);
    }
    EXPECT_EQ(m_session.OpenSerialPort(2), LINK_FAILED);
    EXPECT_EQ(m_session.m_detailStatus, DETAIL_SERIAL_OPEN);
    EXPECT_EQ(m_session.m_hSerial, nullptr);
    EXPECT_EQ(m_session.m_recvBuffer, nullptr);
    const int fd = open(plainFile.c_str(), O_RDONLY);
    EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0) << "the refused file was closed";
    close(fd);

    ASSERT_EQ(symlink("/nonexistent/tty", m_directory.EntryPath("COM3").c_str()), 0);
    for (const int32_t portNumber : {3, 0, 10, -1}) {
        m_session.m_detailStatus = 0;
        EXPECT_EQ(m_session.OpenSerialPort(portNumber), LINK_FAILED) << portNumber;
        EXPECT_EQ(m_session.m_detailStatus, DETAIL_SERIAL_OPEN) << portNumber;
    }
}

TEST_F(SerialPortTest, WritesReachTheCameraAndControlBytesSurviveTheOutputPurge) {
    OpenPort();
    std::vector<uint8_t> packet(257);
    for (size_t i = 0; i < packet.size(); ++i) {
        packet[i] = static_cast<uint8_t>(i * 7);
        m_session.m_sendBuffer[i] = packet[i];
    }
    m_session.m_sendLength = 257;
    EXPECT_EQ(m_session.SerialWrite(200), LINK_OK);
    EXPECT_EQ(ReceiveAtCamera(), packet);

    // Each control byte is followed by a purge of unsent output; none may be lost to it.
    std::vector<uint8_t> sent;
    for (int i = 0; i < 300; ++i) {
        const uint8_t byte = i % 3 == 0 ? 0xD1 : (i % 3 == 1 ? 0xD2 : 0xE3);
        ASSERT_EQ(m_session.SendControlByte(byte), LINK_OK);
        sent.push_back(byte);
    }
    std::vector<uint8_t> received;
    while (received.size() < sent.size()) {
        const std::vector<uint8_t> more = ReceiveAtCamera();
        if (more.empty()) {
            break;
        }
        received.insert(received.end(), more.begin(), more.end());
    }
    EXPECT_EQ(received, sent);
}

TEST_F(SerialPortTest, BytesThatLookLikeFlowControlArriveIntact) {
    OpenPort();
    const std::vector<uint8_t> bytes = {0x11, 0x13, 0x0D, 0x0A, 0x03, 0x00, 0xFF, 0x7F};
    ASSERT_EQ(write(m_master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    m_session.m_recvLength = static_cast<int32_t>(bytes.size());
    ASSERT_EQ(m_session.SerialRead(1000), LINK_OK);
    EXPECT_EQ(std::vector<uint8_t>(m_session.m_recvBuffer, m_session.m_recvBuffer + bytes.size()), bytes);
}

TEST_F(SerialPortTest, ShortReadKeepsTheCountAndPurgesTheRest) {
    OpenPort();
    const uint8_t errorByte = 0xE2;
    ASSERT_EQ(write(m_master, &errorByte, 1), 1);
    m_session.m_recvLength = 257;
    const uint32_t start = NowMs();
    EXPECT_EQ(m_session.SerialRead(2000), LINK_TIMEOUT);
    EXPECT_LT(ElapsedSince(start), 500) << "the 30 ms interval ends the read, not the time-out";
    EXPECT_EQ(m_session.m_recvLength, 1);
    EXPECT_EQ(m_session.m_recvBuffer[0], errorByte);
    EXPECT_EQ(m_session.m_detailStatus, DETAIL_SERIAL_READ);
}

TEST_F(SerialPortTest, ReadWithNothingComingTimesOutAndKeepsTheLength) {
    OpenPort();
    m_session.m_recvLength = 1;
    const uint32_t start = NowMs();
    EXPECT_EQ(m_session.SerialRead(300), LINK_TIMEOUT);
    EXPECT_GE(ElapsedSince(start), 300);
    EXPECT_LT(ElapsedSince(start), 600);
    EXPECT_EQ(m_session.m_recvLength, 1);
    EXPECT_EQ(m_session.m_detailStatus, DETAIL_SERIAL_READ);
}

TEST_F(SerialPortTest, PurgeDiscardsPendingInput) {
    OpenPort();
    const uint8_t bytes[5] = {1, 2, 3, 4, 5};
    ASSERT_EQ(write(m_master, bytes, 5), 5);
    AwaitSlaveInput(5);
    m_session.PurgePort(PURGE_BOTH);
    m_session.m_recvLength = 1;
    EXPECT_EQ(m_session.SerialRead(100), LINK_TIMEOUT);
}

TEST_F(SerialPortTest, ReadFailsAtOnceWhenTheOtherEndHangsUp) {
    OpenPort();
    close(m_master);
    m_master = -1;
    m_session.m_recvLength = 4;
    const uint32_t start = NowMs();
    EXPECT_EQ(m_session.SerialRead(2000), LINK_FAILED);
    EXPECT_LT(ElapsedSince(start), 500);
    EXPECT_EQ(m_session.m_detailStatus, DETAIL_SERIAL_READ);
}

// Five bytes with one pause before the third: the normal read ends at a pause of 30 ms or more.
struct GapCase {
    int gapMs;
    int32_t expected;
    int32_t lengthAfter;
};

class NormalReadGapTest : public SerialPortTest, public ::testing::WithParamInterface<GapCase> {};

TEST_P(NormalReadGapTest, InterByteIntervalEndsTheRead) {
    OpenPort();
    const GapCase& gap = GetParam();
    SendFromCamera({{0, 0x10}, {0, 0x11}, {gap.gapMs, 0x12}, {0, 0x13}, {0, 0x14}});
    m_session.m_recvLength = 5;
    EXPECT_EQ(m_session.SerialRead(2000), gap.expected);
    EXPECT_EQ(m_session.m_recvLength, gap.lengthAfter);
    EXPECT_EQ(m_session.m_recvBuffer[0], 0x10);
}

INSTANTIATE_TEST_SUITE_P(Gaps, NormalReadGapTest,
                         ::testing::Values(GapCase{10, LINK_OK, 5}, GapCase{100, LINK_TIMEOUT, 2}));

// The polled read: the same script read with the poll flag set.
struct PolledCase {
    int gapMs;
    int32_t expected;
};

class PolledReadGapTest : public SerialPortTest, public ::testing::WithParamInterface<PolledCase> {};

TEST_P(PolledReadGapTest, ToleratesGapsBelowOneSecond) {
    OpenPort();
    const PolledCase& gap = GetParam();
    SendFromCamera({{0, 0x20}, {0, 0x21}, {gap.gapMs, 0x22}, {0, 0x23}});
    m_session.m_pollRead = 1;
    m_session.m_recvLength = 4;
    const uint32_t start = NowMs();
    EXPECT_EQ(m_session.SerialRead(3000), gap.expected);
    EXPECT_EQ(m_session.m_recvLength, 4) << "a polled read never shortens the length";
    if (gap.expected == LINK_FAILED) {
        EXPECT_GE(ElapsedSince(start), 1000);
        EXPECT_LT(ElapsedSince(start), 1400);
        EXPECT_EQ(m_session.m_detailStatus, DETAIL_SERIAL_READ);
    }
    FinishCamera();
}

INSTANTIATE_TEST_SUITE_P(Gaps, PolledReadGapTest,
                         ::testing::Values(PolledCase{300, LINK_OK}, PolledCase{1300, LINK_FAILED}));

TEST_F(SerialPortTest, PolledReadWithNothingComingWaitsLengthPlusTimeOut) {
    OpenPort();
    m_session.m_pollRead = 1;
    m_session.m_recvLength = 200;
    const uint32_t start = NowMs();
    EXPECT_EQ(m_session.SerialRead(300), LINK_TIMEOUT);
    EXPECT_GE(ElapsedSince(start), 500);
    EXPECT_LT(ElapsedSince(start), 800);
    EXPECT_EQ(m_session.m_recvLength, 200);
}

TEST_F(SerialPortTest, LineSpeedFollowsValidCodesOnly) {
    OpenPort();
    EXPECT_EQ(m_session.SetLineSpeed(4), LINK_OK);
    EXPECT_EQ(m_session.m_speedCode, 4);
    termios settings = SlaveSettings();
    EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(B57600));
    EXPECT_EQ(settings.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(settings.c_lflag & ICANON, 0u);

    for (const int32_t code : {6, 0, -1}) {
        m_session.m_detailStatus = 0;
        EXPECT_EQ(m_session.SetLineSpeed(code), LINK_BAD_ARGUMENT) << code;
        EXPECT_EQ(m_session.m_detailStatus, DETAIL_BAD_SPEED);
    }
    settings = SlaveSettings();
    EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(B57600));
    EXPECT_EQ(m_session.m_speedCode, 4);
}

TEST_F(SerialPortTest, BreakCodes) {
    OpenPort();
    EXPECT_EQ(m_session.SetBreak(BREAK_ON), LINK_OK);
    EXPECT_EQ(m_session.SetBreak(BREAK_OFF), LINK_OK);
    EXPECT_EQ(m_session.SetBreak(2), LINK_BAD_ARGUMENT);
    EXPECT_EQ(m_session.m_detailStatus, DETAIL_BREAK);
    m_session.CloseSerialPort();
    m_session.m_detailStatus = 0;
    EXPECT_EQ(m_session.SetBreak(BREAK_ON), LINK_FAILED);
    EXPECT_EQ(m_session.m_detailStatus, DETAIL_BREAK);
    EXPECT_EQ(m_session.SetLineSpeed(2), LINK_FAILED);
    EXPECT_EQ(m_session.m_detailStatus, DETAIL_LINE_SPEED);
}

TEST_F(SerialPortTest, DrainInputTakesWhatArrivesDuringItsPause) {
    OpenPort();
    m_session.m_detailStatus = 0;
    uint32_t start = NowMs();
    EXPECT_EQ(m_session.DrainInput(), LINK_OK);
    EXPECT_GE(ElapsedSince(start), 500);

    SendFromCamera({{100, 0xA1}, {20, 0xA2}, {20, 0xA3}});
    m_session.m_recvLength = 257;
    start = NowMs();
    EXPECT_EQ(m_session.DrainInput(), LINK_TIMEOUT);
    EXPECT_GE(ElapsedSince(start), 500);
    EXPECT_EQ(m_session.m_recvLength, 3);
    EXPECT_EQ(m_session.m_recvBuffer[2], 0xA3);
    EXPECT_EQ(m_session.m_detailStatus, 0);
    m_session.m_recvLength = 1;
    EXPECT_EQ(m_session.SerialRead(50), LINK_TIMEOUT) << "the drained bytes are gone";
}

// A port whose output queue and write acceptance are scripted, to show the write's waits.
class ScriptedPort final : public platform::ISerialPort {
  public:
    bool IsSerialDevice() override { return true; }
    bool GetQueueState(platform::QueueState& state) override {
        ++queueQueries;
        state.inQueue = 0;
        state.outQueue = outQueue;
        return true;
    }
    bool ConfigureLine(uint32_t) override { return true; }
    bool SetBaudRate(uint32_t) override { return true; }
    bool Purge(bool, bool output) override {
        if (output) {
            ++outputPurges;
        }
        return true;
    }
    bool SetBreak(bool) override { return true; }
    long WriteSome(const uint8_t*, size_t count) override {
        const size_t taken = std::min(count, acceptBytes);
        acceptBytes -= taken;
        written += taken;
        return static_cast<long>(taken);
    }
    long ReadSome(uint8_t*, size_t) override { return 0; }
    int WaitReadable(uint32_t timeoutMs) override {
        DelayMs(timeoutMs);
        return 0;
    }
    int WaitWritable(uint32_t timeoutMs) override {
        DelayMs(std::min<uint32_t>(timeoutMs, 5));
        return 0;
    }
    int LastError() const override { return 0; }

    uint32_t outQueue = 0;
    size_t acceptBytes = 1 << 20;
    size_t written = 0;
    int queueQueries = 0;
    int outputPurges = 0;
};

class ScriptedDevices final : public platform::IDevices {
  public:
    std::unique_ptr<platform::ISerialPort> OpenSerialPort(const char*, int&) override {
        auto port = std::make_unique<ScriptedPort>();
        lastPort = port.get();
        return port;
    }
    std::unique_ptr<platform::IUsbConnection> OpenUsbDevice(const char*) override { return nullptr; }
    ScriptedPort* lastPort = nullptr;
};

TEST(SerialWriteWaits, OutputQueueThatNeverEmptiesFailsAfterTimeOutPlusPendingBytes) {
    VirtualClock clock;
    ScopedClock useClock(clock);
    ScriptedDevices devices;
    CLinkSession session(devices);
    ASSERT_EQ(session.OpenSerialPort(1), LINK_OK);
    session.m_portKind = PORT_KIND_SERIAL;
    devices.lastPort->outQueue = 100;
    session.m_sendLength = 8;
    const uint32_t start = NowMs();
    EXPECT_EQ(session.SerialWrite(200), LINK_TIMEOUT);
    EXPECT_EQ(session.m_detailStatus, DETAIL_SERIAL_WRITE);
    EXPECT_GE(ElapsedSince(start), 300);
    EXPECT_LE(ElapsedSince(start), 302);
    EXPECT_EQ(devices.lastPort->written, 0u) << "nothing goes out behind a stuck queue";
    EXPECT_LT(devices.lastPort->queueQueries, 400) << "the wait pauses between checks";
}

TEST(SerialWriteWaits, PartOfAPacketIsNotASuccess) {
    VirtualClock clock;
    ScopedClock useClock(clock);
    ScriptedDevices devices;
    CLinkSession session(devices);
    ASSERT_EQ(session.OpenSerialPort(1), LINK_OK);
    devices.lastPort->acceptBytes = 3;
    session.m_sendLength = 8;
    const uint32_t start = NowMs();
    EXPECT_EQ(session.SerialWrite(200), LINK_TIMEOUT);
    EXPECT_EQ(session.m_detailStatus, DETAIL_SERIAL_WRITE);
    EXPECT_EQ(devices.lastPort->written, 3u);
    EXPECT_GE(ElapsedSince(start), 400) << "50 ms per byte of the packet";
    EXPECT_LE(ElapsedSince(start), 410);
}

TEST(SerialWriteWaits, BadLengthsAreRefusedWithoutTouchingThePort) {
    VirtualClock clock;
    ScopedClock useClock(clock);
    ScriptedDevices devices;
    CLinkSession session(devices);
    ASSERT_EQ(session.OpenSerialPort(1), LINK_OK);
    for (const int32_t length : {-1, LINK_BUFFER_SIZE + 1}) {
        session.m_sendLength = length;
        EXPECT_EQ(session.SerialWrite(200), LINK_BAD_ARGUMENT) << length;
        session.m_recvLength = length;
        EXPECT_EQ(session.SerialRead(10), LINK_BAD_ARGUMENT) << length;
    }
    EXPECT_EQ(devices.lastPort->written, 0u);
}

}  // namespace
