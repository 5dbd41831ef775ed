// The serial port link over real pseudo-terminals (real clock): the test holds the master side as the
// camera's end of the cable and the device directory maps "COM1" to the slave. A scripted port in
// virtual time stands in where a pty cannot show the behaviour (output queues that do not empty, short
// writes). Bytes of every value crossing unchanged show in the whole downloads over a pty.
#include <fcntl.h>
#include <pty.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/clock.h"
#include "link/link_session.h"
#include "platform/devices.h"
#include "tests/support/scoped_runtime_dir.h"

namespace {

// A byte the camera sends after a pause of pauseMs.
using Script = std::vector<std::pair<int, uint8_t>>;

int64_t ElapsedSince(uint32_t startMs) {
    return static_cast<int64_t>(ElapsedMs(startMs, NowMs()));
}

class SerialPortTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char slaveName[128] = {};
        ASSERT_EQ(openpty(&m_master, &m_slave, slaveName, nullptr, nullptr), 0) << "no pseudo-terminals";
        fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
        ASSERT_EQ(symlink(slaveName, m_runtime.Entry("COM1").c_str()), 0);
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
    // The slave keeps a fresh terminal's settings (canonical, echo, XON/XOFF) until the link sets it.
    termios SlaveSettings() const {
        termios settings{};
        tcgetattr(m_slave, &settings);
        return settings;
    }
    // A negative pause hangs up the camera's end instead.
    void SendFromCamera(const Script& script) {
        m_writer = std::thread([this, script] {
            for (const auto& [pauseMs, byte] : script) {
                if (pauseMs < 0) {
                    close(m_master);
                    m_master = -1;
                    return;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
                ASSERT_EQ(write(m_master, &byte, 1), 1);
            }
        });
    }

    testsupport::ScopedRuntimeDir m_runtime;
    CLinkSession m_session{platform::SystemDevices()};
    int m_master = -1;
    int m_slave = -1;
    std::thread m_writer;
};

TEST_F(SerialPortTest, OpenSetsRaw9600EightNoneOneAndCloseRestoresWhatItFound) {
    termios before = SlaveSettings();
    before.c_cflag |= CRTSCTS | PARENB;  // flow control must survive the open, parity must not
    tcsetattr(m_slave, TCSANOW, &before);

    OpenPort();

    termios after = SlaveSettings();
    EXPECT_TRUE(cfgetospeed(&after) == B9600 && cfgetispeed(&after) == B9600);
    EXPECT_EQ(after.c_cflag & (CSIZE | PARENB | CSTOPB | CLOCAL | CREAD),
              static_cast<tcflag_t>(CS8 | CLOCAL | CREAD));
    EXPECT_EQ(after.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(after.c_oflag & OPOST, 0u);
    EXPECT_EQ(after.c_iflag & (INPCK | ICRNL | ISTRIP | IXON | IXOFF), 0u);
    EXPECT_NE(after.c_cflag & CRTSCTS, 0u);
    // A pty takes no low-latency request, has no adapter in sysfs and no CTS line to hold output with:
    // the open goes on regardless.
    EXPECT_FALSE(m_session.m_serialAdapter.lowLatency);
    EXPECT_TRUE(m_session.m_serialAdapter.facts.driver.empty());
    EXPECT_FALSE(m_session.m_serialAdapter.flowControlHeld);

    // A speed change keeps the rest of the settings; the close puts back what the open found.
    ASSERT_EQ(m_session.SetLineSpeed(4), LINK_OK);
    after = SlaveSettings();
    EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B57600));
    EXPECT_TRUE((after.c_cflag & CSIZE) == CS8 && (after.c_lflag & ICANON) == 0);
    EXPECT_EQ(m_session.m_speedCode, 4);

    for (int i = 0; i < 2; ++i) {  // a second close finds nothing left to release
        EXPECT_EQ(m_session.CloseSerialPort(), LINK_OK);
        EXPECT_TRUE(m_session.m_hSerial == nullptr && m_session.m_recvBuffer == nullptr);
        EXPECT_EQ(m_session.m_speedCode, 1);
    }
    after = SlaveSettings();
    EXPECT_NE(after.c_lflag & ICANON, 0u);
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
    EXPECT_EQ(m_session.OpenSerialPort(1), LINK_OK) << "the close released the lock";
}

TEST_F(SerialPortTest, RefusedOpensLeaveNoHandleBuffersOrLock) {
    OpenPort();
    CLinkSession second(platform::SystemDevices());

    const std::string plainFile = m_runtime.Entry("COM2");
    std::fclose(std::fopen(plainFile.c_str(), "w"));
    ASSERT_EQ(symlink("/nonexistent/tty", m_runtime.Entry("COM3").c_str()), 0);
    for (const int32_t portNumber : {1, 2, 3, 0, 10, -1}) {  // held elsewhere, no terminal, missing, no name
        second.m_detailStatus = 0;
        EXPECT_EQ(second.OpenSerialPort(portNumber), LINK_FAILED) << portNumber;
        EXPECT_EQ(second.m_detailStatus, DETAIL_SERIAL_OPEN) << portNumber;
        EXPECT_TRUE(second.m_hSerial == nullptr && second.m_sendBuffer == nullptr && !second.m_recvBuffer);
    }
    const int fd = open(plainFile.c_str(), O_RDONLY);
    EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0) << "the file that is no terminal was closed again";
    close(fd);
}

// The purge empties the input queue as the port counts it.
TEST_F(SerialPortTest, PurgeDiscardsPendingInput) {
    OpenPort();
    ASSERT_EQ(write(m_master, "\1\2\3\4\5", 5), 5);
    platform::QueueState queues;
    for (int i = 0; i < 500 && m_session.m_hSerial->GetQueueState(queues) && queues.inQueue < 5; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_EQ(queues.inQueue, 5u);
    m_session.PurgePort(PURGE_BOTH);
    EXPECT_EQ(m_session.DrainInput(), LINK_OK) << "the purge left nothing";
}

// The two read regimes. A normal read ends at a pause of 30 ms after a byte and then keeps the count
// that came; a polled read tolerates pauses below a second, fails at one, waits length + time-out
// milliseconds for a first byte and never shortens the length. A hang-up fails either at once.
struct ReadCase {
    const char* name;
    bool polled;
    Script script;
    int32_t wanted;
    uint32_t timeoutMs;
    int32_t result, lengthAfter;
    int64_t minMs, maxMs;
};

class SerialReadTest : public SerialPortTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(SerialReadTest, EndsAsItsRegimeSays) {
    const ReadCase& c = GetParam();
    OpenPort();
    SendFromCamera(c.script);
    m_session.m_recvLength = c.wanted;
    m_session.m_detailStatus = 0;
    const uint32_t start = NowMs();
    EXPECT_EQ(m_session.SerialRead(c.timeoutMs, c.polled ? ReadRegime::Polled : ReadRegime::Normal),
              c.result);
    EXPECT_GE(ElapsedSince(start), c.minMs);
    EXPECT_LT(ElapsedSince(start), c.maxMs);
    EXPECT_EQ(m_session.m_recvLength, c.lengthAfter);
    EXPECT_EQ(m_session.m_detailStatus, c.result == LINK_OK ? 0 : DETAIL_SERIAL_READ);
    const size_t arrived = c.result == LINK_FAILED ? 0 : std::min<size_t>(c.script.size(), c.lengthAfter);
    for (size_t i = 0; i < arrived; ++i) {
        EXPECT_EQ(m_session.m_recvBuffer[i], c.script[i].second) << i;
    }
}

Script FiveWithPause(int pauseMs) {
    return {{0, 0x10}, {0, 0x11}, {pauseMs, 0x12}, {0, 0x13}, {0, 0x14}};
}

INSTANTIATE_TEST_SUITE_P(
    Regimes, SerialReadTest,
    ::testing::Values(
        ReadCase{"NormalShortPause", false, FiveWithPause(5), 5, 2000, LINK_OK, 5, 0, 1500},
        ReadCase{"NormalPauseEndsTheRead", false, FiveWithPause(150), 5, 2000, LINK_TIMEOUT, 2, 30, 1000},
        ReadCase{"NormalLoneErrorByte", false, {{0, 0xE2}}, 257, 2000, LINK_TIMEOUT, 1, 30, 1000},
        ReadCase{"NormalNothingComes", false, {}, 1, 300, LINK_TIMEOUT, 1, 300, 1000},
        ReadCase{"PolledPauseBelowASecond", true, FiveWithPause(300), 5, 3000, LINK_OK, 5, 300, 2500},
        ReadCase{"PolledPauseOfASecond", true, FiveWithPause(1500), 5, 3000, LINK_FAILED, 5, 1000, 1490},
        ReadCase{"PolledNothingComes", true, {}, 200, 300, LINK_TIMEOUT, 200, 500, 1000},
        ReadCase{"NormalHangUp", false, {{-1, 0}}, 4, 2000, LINK_FAILED, 4, 0, 1000}),
    [](const ::testing::TestParamInfo<ReadCase>& param) { return std::string(param.param.name); });

// A port in virtual time whose output queue and write acceptance are scripted.
class ScriptedPort final : public platform::ISerialPort {
  public:
    bool IsSerialDevice() override { return true; }
    bool GetQueueState(platform::QueueState& state) override {
        ++queueQueries;
        state = {0, outQueue};
        return true;
    }
    bool ConfigureLine(uint32_t) override { return true; }
    bool SetBaudRate(uint32_t rate) override {
        baudRate = rate;
        return true;
    }
    bool Purge(bool, bool) override { return true; }
    bool SetBreak(bool) override { return true; }
    long WriteSome(const uint8_t*, size_t count) override {
        const size_t taken = std::min(count, acceptBytes);
        acceptBytes -= taken;
        written += taken;
        outQueue += holdWritten ? static_cast<uint32_t>(taken) : 0;
        return static_cast<long>(taken);
    }
    long ReadSome(uint8_t*, size_t) override { return 0; }
    int WaitReadable(uint32_t) override { return 0; }
    int WaitWritable(uint32_t timeoutMs) override {
        DelayMs(std::min<uint32_t>(timeoutMs, 5));
        return 0;
    }
    int LastError() const override { return 0; }
    bool RequestLowLatency() override {
        ++lowLatencyRequests;
        return takeLowLatency;
    }
    platform::SerialAdapterFacts AdapterFacts() override {
        platform::SerialAdapterFacts facts;
        facts.driver = "ftdi_sio";
        facts.latencyTimerMs = takeLowLatency ? 1 : 16;  // as ftdi_sio reports it after the request
        return facts;
    }
    bool OutputHeldByFlowControl() override { return ctsHolds; }

    uint32_t outQueue = 0;
    size_t acceptBytes = 1 << 20;
    size_t written = 0;
    bool holdWritten = false;  // written bytes never leave the output queue
    int queueQueries = 0;
    uint32_t baudRate = 9600;
    int lowLatencyRequests = 0;
    bool takeLowLatency = false;
    bool ctsHolds = false;
};

class SerialWriteTest : public ::testing::Test, public platform::IDevices {
  protected:
    void SetUp() override {
        ASSERT_EQ(session.OpenSerialPort(1), LINK_OK);
        session.m_sendLength = 8;
    }
    std::unique_ptr<platform::ISerialPort> OpenSerialPort(const char*, int&) override {
        auto opened = std::make_unique<ScriptedPort>();
        opened->takeLowLatency = nextTakesLowLatency;
        opened->ctsHolds = nextCtsHolds;
        port = opened.get();
        return opened;
    }
    std::unique_ptr<platform::IUsbConnection> OpenUsbDevice(const char*, int& errorNumber) override {
        errorNumber = ENOENT;
        return nullptr;
    }

    VirtualClock clock;
    ScopedClock useClock{clock};
    ScriptedPort* port = nullptr;
    bool nextTakesLowLatency = false;
    bool nextCtsHolds = false;
    CLinkSession session{*this};
};

// Every open asks once for low latency and records what the driver then reports; a refusal fails
// nothing. A flow-control hold seen at the open is kept for the outcome.
TEST_F(SerialWriteTest, OpenAsksForLowLatencyAndRecordsTheAdapter) {
    EXPECT_EQ(port->lowLatencyRequests, 1);
    EXPECT_FALSE(session.m_serialAdapter.lowLatency);
    EXPECT_EQ(session.m_serialAdapter.facts.latencyTimerMs, 16);
    EXPECT_EQ(session.SerialAdapterCause(), LinkCause::None);

    nextTakesLowLatency = true;
    nextCtsHolds = true;
    ASSERT_EQ(session.OpenSerialPort(1), LINK_OK);
    EXPECT_EQ(port->lowLatencyRequests, 1);
    EXPECT_TRUE(session.m_serialAdapter.lowLatency);
    EXPECT_EQ(session.m_serialAdapter.facts.latencyTimerMs, 1);
    EXPECT_EQ(session.SerialAdapterCause(), LinkCause::FlowControlHeld);
}

// A write is done once its bytes have left the output queue. Output left from before may take the
// time-out plus a millisecond per pending byte; the packet itself 50 ms per byte, all of it taken and
// drained (a control byte is purged from the queue right after its write).
TEST_F(SerialWriteTest, FailsUnlessTheQueueEmptiesAndTheWholePacketLeaves) {
    const auto expectTimeout = [this](int64_t minMs, int64_t maxMs, size_t written) {
        port->written = 0;
        session.m_detailStatus = 0;
        const uint32_t start = NowMs();
        EXPECT_EQ(session.SerialWrite(200), LINK_TIMEOUT);
        EXPECT_EQ(session.m_detailStatus, DETAIL_SERIAL_WRITE);
        EXPECT_GE(ElapsedSince(start), minMs);
        EXPECT_LE(ElapsedSince(start), maxMs);
        EXPECT_EQ(port->written, written);
    };
    port->outQueue = 100;
    expectTimeout(300, 302, 0);
    EXPECT_LT(port->queueQueries, 400) << "the wait pauses between checks";
    port->outQueue = 0;
    port->acceptBytes = 3;
    expectTimeout(400, 410, 3);
    port->acceptBytes = 8;
    port->holdWritten = true;
    expectTimeout(400, 402, 8);
}

// Requests the link cannot carry out: a length outside its buffers fails the transfer (8, never "bad
// argument", which the result table would show as an invalid speed code); speed code 6 is refused with
// detail 4 and leaves the line's rate alone.
TEST_F(SerialWriteTest, RefusesLengthsOutsideItsBuffersAndSpeedsOutsideTheTable) {
    for (const int32_t length : {-1, 32781}) {
        session.m_sendLength = length;
        session.m_recvLength = length;
        EXPECT_EQ(session.SerialWrite(200), LINK_FAILED);
        EXPECT_EQ(session.m_detailStatus, DETAIL_SERIAL_WRITE);
        EXPECT_EQ(session.SerialRead(200, ReadRegime::Normal), LINK_FAILED);
        EXPECT_EQ(session.SerialRead(200, ReadRegime::Polled), LINK_FAILED);
        EXPECT_EQ(session.m_detailStatus, DETAIL_SERIAL_READ);
    }
    EXPECT_EQ(port->written, 0u);
    ASSERT_EQ(session.SetLineSpeed(4), LINK_OK);
    EXPECT_EQ(port->baudRate, 57600u);
    EXPECT_EQ(session.SetLineSpeed(6), LINK_BAD_ARGUMENT);
    EXPECT_EQ(session.m_detailStatus, DETAIL_BAD_SPEED);
    EXPECT_EQ(port->baudRate, 57600u);
    EXPECT_EQ(session.m_speedCode, 4);
}

// Bytes still arriving during the drain's half second mean camera and updater are out of step.
TEST_F(SerialPortTest, DrainTakesWhatArrivedDuringItsPause) {
    OpenPort();
    SendFromCamera({{100, 0x11}, {100, 0x22}, {100, 0x33}});
    const uint32_t start = NowMs();
    EXPECT_EQ(m_session.DrainInput(), LINK_TIMEOUT);
    EXPECT_GE(ElapsedSince(start), 500);
    EXPECT_EQ(m_session.m_recvLength, 3);
    EXPECT_EQ(std::vector<uint8_t>(m_session.m_recvBuffer, m_session.m_recvBuffer + 3),
              (std::vector<uint8_t>{0x11, 0x22, 0x33}));
    EXPECT_EQ(m_session.DrainInput(), LINK_OK);
}

}  // namespace
