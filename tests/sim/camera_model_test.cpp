// Tests of the camera model and of the virtual-time devices that carry it: the bytes the camera answers,
// when they are due, what it does to its flash, and how its faults and line rate show on the wire.
#include "sim/camera_model.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "protocol/byte_codes.h"
#include "sim/virtual_devices.h"

namespace {

using Bytes = std::vector<uint8_t>;
using sim::CameraConfig;
using sim::CameraModel;

Bytes Command(uint8_t code, uint8_t p1 = 0, uint8_t p2 = 0, uint8_t p3 = 0, uint8_t p4 = 0, uint8_t p5 = 0) {
    return {code, p1, p2, p3, p4, p5, 0, qx::BYTE_TERMINATOR};
}
Bytes WriteBlockCommand(uint16_t block) {
    return Command(qx::CMD_WRITE_BLOCK, 0, static_cast<uint8_t>(block >> 8), static_cast<uint8_t>(block), 0,
                   1);
}
Bytes DataPacket(const Bytes& payload, uint8_t checkFlip = 0) {
    Bytes packet = payload;
    uint8_t check = 0;
    for (uint8_t b : payload) {
        check ^= b;
    }
    packet.push_back(static_cast<uint8_t>(check ^ checkFlip));
    return packet;
}
// The checksum command over whole 16-bit little-endian words of the payload.
Bytes ChecksumCommand(const Bytes& payload, uint16_t flip = 0) {
    uint16_t sum = flip;
    for (size_t i = 0; i + 1 < payload.size(); i += 2) {
        sum ^= static_cast<uint16_t>(payload[i] | (payload[i + 1] << 8));
    }
    return Command(qx::CMD_CHECKSUM, 0, static_cast<uint8_t>(payload.size() / 256), static_cast<uint8_t>(sum),
                   static_cast<uint8_t>(sum >> 8));
}
Bytes Access(const char* text) {
    return Bytes(text, text + qx::ACCESS_STRING_LENGTH);
}

// The host end of a line straight onto the model, with its own clock and line rate.
struct Host {
    explicit Host(const CameraConfig& config = {}) : camera(config) {}
    size_t Send(const Bytes& bytes) { return camera.Receive(bytes.data(), bytes.size(), now, baud); }
    // Everything the camera sends within the next windowMs, with due times. The clock stops 1 ms after the
    // last byte, as a host that answers at once.
    std::vector<sim::OutputByte> Collect(uint32_t windowMs = 60000) {
        const uint32_t end = now + windowMs;
        std::vector<sim::OutputByte> all;
        for (auto next = camera.NextOutputTime(); next && static_cast<int32_t>(*next - end) <= 0;
             next = camera.NextOutputTime()) {
            now = *next;
            for (const sim::OutputByte& b : camera.TakeDue(now, baud)) {
                all.push_back(b);
            }
        }
        if (!all.empty()) {
            now = all.back().dueMs + 1;
        }
        return all;
    }
    Bytes Heard(uint32_t windowMs = 60000) {
        Bytes heard;
        for (const sim::OutputByte& b : Collect(windowMs)) {
            if (!b.lost) {
                heard.push_back(b.value);
            }
        }
        return heard;
    }
    CameraModel camera;
    uint32_t now = 1000;
    uint32_t baud = 9600;
};

Bytes StatusReply(const CameraModel& camera, uint8_t checkFlip = 0) {
    const auto block = camera.StatusBlock();
    Bytes reply = {qx::BYTE_READY};
    const Bytes packet = DataPacket(Bytes(block.begin(), block.end()), checkFlip);
    reply.insert(reply.end(), packet.begin(), packet.end());
    return reply;
}

TEST(CameraModelStatus, BusyBytesThenReadyPacketAndRetryAfterRefusal) {
    CameraConfig config;
    config.faults.busy.push_back({qx::CMD_READ_STATUS, sim::ReplyPoint::Ready, 250, false});
    config.faults.corruptStatusCheckTimes = 1;
    Host host(config);
    const uint32_t sent = host.now;
    host.Send(Command(qx::CMD_READ_STATUS));
    const auto out = host.Collect(5000);
    ASSERT_EQ(out.size(), 1U + 3U + 258U);
    EXPECT_EQ(out[0].value, qx::BYTE_ACK);
    EXPECT_EQ(out[0].dueMs, sent + config.times.ackMs);
    for (int i = 1; i <= 3;
         ++i) {  // busy bytes 100 ms apart, then the ready byte at the end of the busy time
        EXPECT_EQ(out[i].value, qx::BYTE_BUSY);
        EXPECT_EQ(out[i].dueMs - out[1].dueMs, static_cast<uint32_t>(i - 1) * 100U);
    }
    EXPECT_EQ(out[4].dueMs - out[1].dueMs, 250U);
    Bytes packet;
    for (size_t i = 4; i < out.size(); ++i) {
        packet.push_back(out[i].value);
    }
    EXPECT_EQ(packet, StatusReply(host.camera, 0xFF));  // first packet sent with a wrong check byte

    host.Send({qx::BYTE_DATA_NAK});
    const Bytes again = host.Heard(5000);
    const Bytes busy(3, qx::BYTE_BUSY);
    Bytes expected = busy;
    const Bytes good = StatusReply(host.camera);
    expected.insert(expected.end(), good.begin(), good.end());
    EXPECT_EQ(again, expected);
    host.Send({qx::BYTE_DATA_ACK});
    EXPECT_EQ(host.Heard(5000), Bytes{qx::BYTE_COMPLETION});
}

TEST(CameraModelStatus, BlockCarriesTheConfiguredIdentity) {
    CameraConfig config;
    config.versionMajor = 12;
    config.versionMinor = 0x3A;
    config.name = std::string(40, 'N');
    CameraModel camera(config);
    const auto block = camera.StatusBlock();
    EXPECT_EQ(camera.VersionWord(), 0x0102030AU);  // decimal major digits, hexadecimal minor digits
    EXPECT_EQ(std::string(block.begin() + 28, block.begin() + 60), std::string(32, 'N'));
    EXPECT_NE(block[60], 'N') << "the name is cut at 32 characters";
}

TEST(CameraModelStatus, ErrorByteInsteadOfThePacket) {
    CameraConfig config;
    config.faults.statusErrorTimes = 1;
    Host host(config);
    host.Send(Command(qx::CMD_READ_STATUS));
    EXPECT_EQ(host.Heard(), (Bytes{qx::BYTE_ACK, qx::BYTE_READY, qx::BYTE_ERROR}));
    host.Send(Command(qx::CMD_READ_STATUS));  // the next read is whole
    EXPECT_EQ(host.Heard().size(), 1U + 258U);
}

class CameraModelAccess : public ::testing::TestWithParam<std::pair<uint8_t, const char*>> {};

TEST_P(CameraModelAccess, AnswersOnlyInUpdateModeWithTheReplyOfItsVersion) {
    CameraConfig config;
    config.versionMajor = 0;
    config.versionMinor = GetParam().first;  // 0x55 -> word 0x505, 0x56 -> word 0x506
    Host host(config);
    host.Send(Access(qx::ACCESS_REQUEST));
    EXPECT_TRUE(host.Heard().empty()) << "outside update mode the access string is unknown";
    host.Send(Command(qx::CMD_ERASE_BLOCKS));
    EXPECT_EQ(host.Heard(), Bytes{qx::BYTE_REFUSED});

    host.Send(Command(qx::CMD_UPDATE_MODE));
    EXPECT_EQ(host.Heard(), (Bytes{qx::BYTE_ACK, qx::BYTE_COMPLETION}));
    host.Send(Access(qx::ACCESS_REQUEST));
    EXPECT_EQ(host.Heard(), Access(GetParam().second));
    EXPECT_FALSE(host.camera.Unlocked());
    host.Send({qx::BYTE_ACK});
    EXPECT_TRUE(host.camera.Unlocked());
    host.Send(Command(qx::CMD_SIGN_OFF));
    EXPECT_EQ(host.Heard(), (Bytes{qx::BYTE_ACK, qx::BYTE_COMPLETION}));
    EXPECT_FALSE(host.camera.Unlocked());
}

INSTANTIATE_TEST_SUITE_P(Versions, CameraModelAccess,
                         ::testing::Values(std::make_pair(uint8_t{0x55}, qx::ACCESS_REPLY_OLD),
                                           std::make_pair(uint8_t{0x56}, qx::ACCESS_REPLY_NEW)));

struct Download : public ::testing::Test {
    static CameraConfig Unlocked(sim::LinkKind link = sim::LinkKind::Serial) {
        CameraConfig config;
        config.link = link;
        config.startUnlocked = true;
        return config;
    }
    static Bytes Payload(size_t size, uint8_t seed) {
        Bytes payload(size);
        for (size_t i = 0; i < size; ++i) {
            payload[i] = static_cast<uint8_t>(i * 13 + seed);
        }
        return payload;
    }
};

TEST_F(Download, EraseWriteAndChecksumAcceptedThenMismatchRefused) {
    Host host(Unlocked());
    const uint32_t sent = host.now;
    host.Send(Command(qx::CMD_ERASE_BLOCKS));
    const auto erase = host.Collect();
    ASSERT_EQ(erase.size(), 2U);
    EXPECT_EQ(erase[1].value, qx::BYTE_COMPLETION);
    EXPECT_EQ(erase[1].dueMs - sent, host.camera.Config().times.ackMs + host.camera.Config().times.eraseMs);
    EXPECT_TRUE(std::all_of(host.camera.Flash().begin(), host.camera.Flash().end(),
                            [](uint8_t b) { return b == 0xFF; }));

    const Bytes block7 = Payload(256, 7);
    host.Send(WriteBlockCommand(7));
    EXPECT_EQ(host.Heard(), Bytes{qx::BYTE_ACK});
    host.Send(DataPacket(block7, 0x01));  // damaged: refused, the camera waits for it again
    EXPECT_EQ(host.Heard(), Bytes{qx::BYTE_DATA_NAK});
    host.Send(DataPacket(block7));
    EXPECT_EQ(host.Heard(), (Bytes{qx::BYTE_DATA_ACK, qx::BYTE_COMPLETION}));
    EXPECT_TRUE(std::equal(block7.begin(), block7.end(), host.camera.Flash().begin() + 7 * 256));
    EXPECT_EQ(host.camera.Flash()[8 * 256], 0xFF);
    EXPECT_EQ(host.camera.BlocksWritten(), std::vector<uint32_t>{7});

    host.Send(ChecksumCommand(block7));
    EXPECT_EQ(host.Heard(), (Bytes{qx::BYTE_ACK, qx::BYTE_COMPLETION}));
    host.Send(ChecksumCommand(block7, 0x0100));
    EXPECT_EQ(host.Heard(), (Bytes{qx::BYTE_ACK, sim::CHECKSUM_FAILURE_BYTE}));
}

TEST_F(Download, BlockOverUnerasedFlashFailsTheChecksum) {
    Host host(Unlocked());
    const Bytes block = Payload(256, 1);
    host.Send(WriteBlockCommand(0));
    host.Send(DataPacket(block));
    EXPECT_EQ(host.Heard(), (Bytes{qx::BYTE_ACK, qx::BYTE_DATA_ACK, qx::BYTE_COMPLETION}));
    host.Send(ChecksumCommand(block));
    EXPECT_EQ(host.Heard(), (Bytes{qx::BYTE_ACK, sim::CHECKSUM_FAILURE_BYTE}));
}

TEST_F(Download, RefusesTheChosenBlockTheGivenNumberOfTimes) {
    CameraConfig config = Unlocked();
    config.faults.refuseBlock = 3;
    config.faults.refuseBlockTimes = 2;
    Host host(config);
    const Bytes payload = Payload(256, 3);
    host.Send(WriteBlockCommand(3));
    EXPECT_EQ(host.Heard(), Bytes{qx::BYTE_ACK});
    for (int i = 0; i < 2; ++i) {
        host.Send(DataPacket(payload));
        EXPECT_EQ(host.Heard(), Bytes{qx::BYTE_DATA_NAK});
    }
    host.Send(DataPacket(payload));
    EXPECT_EQ(host.Heard(), (Bytes{qx::BYTE_DATA_ACK, qx::BYTE_COMPLETION}));
    EXPECT_EQ(host.camera.DataPacketsRefused(), 2U);
}

TEST_F(Download, UsbEraseUnitAndFourKilobyteBlocks) {
    Host host(Unlocked(sim::LinkKind::Usb));
    host.baud = 0;
    host.Send(Command(qx::CMD_ERASE_BLOCKS, 0, 0x10, 0, 0, 16));  // unit 16: 0x10000..0x1FFFF
    EXPECT_EQ(host.Heard(), (Bytes{qx::BYTE_ACK, qx::BYTE_COMPLETION}));
    const auto& flash = host.camera.Flash();
    EXPECT_NE(flash[0xFFFF], 0xFF);
    EXPECT_EQ(flash[0x10000], 0xFF);
    EXPECT_EQ(flash[0x1FFFF], 0xFF);
    EXPECT_NE(flash[0x20000], 0xFF);
    const Bytes payload = Payload(4096, 9);
    host.Send(WriteBlockCommand(17));
    host.Send(DataPacket(payload));
    EXPECT_EQ(host.Heard(), (Bytes{qx::BYTE_ACK, qx::BYTE_DATA_ACK, qx::BYTE_COMPLETION}));
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), flash.begin() + 17 * 4096));
}

TEST(CameraModelLine, SpeedChangeLosesBytesWhileRatesDiffer) {
    Host host;
    host.Send(Command(qx::CMD_SET_SPEED, 0, 0x11, 0x52));  // 115200
    EXPECT_EQ(host.Heard(), Bytes{qx::BYTE_ACK});          // acknowledged at the old rate
    host.now += 100;
    EXPECT_EQ(host.Send(Command(qx::CMD_READ_STATUS)), 0U) << "a 9600 host is not heard";
    EXPECT_EQ(host.camera.BaudRate(), 115200U);
    EXPECT_TRUE(host.Heard().empty());
    host.baud = 115200;
    EXPECT_EQ(host.Send(Command(qx::CMD_READ_STATUS)), 8U);
    host.baud = 9600;  // the answer is sent at 115200: all of it is lost to a 9600 host
    const auto out = host.Collect();
    ASSERT_FALSE(out.empty());
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](const sim::OutputByte& b) { return b.lost; }));
    EXPECT_EQ(host.camera.SpeedsUsed(), std::vector<int>{5});

    host.camera.SetBreak(true, host.now);  // a break returns the camera to 9600
    host.camera.SetBreak(false, host.now + 300);
    host.now += 300;
    EXPECT_EQ(host.camera.SpeedCode(), 1);
    host.Send(Command(qx::CMD_SET_SPEED, 0, 0x12, 0x34));  // not a speed
    EXPECT_EQ(host.Heard(), Bytes{qx::BYTE_REFUSED});
}

TEST(CameraModelLine, ResetRestartsLockedAtNineThousandSixHundred) {
    Host host(Download::Unlocked());
    host.Send(Command(qx::CMD_SET_SPEED, 0, 0x57, 0x60));
    host.Heard();
    host.now += 100;
    host.baud = 57600;
    host.Send(Command(qx::CMD_RESET));
    EXPECT_EQ(host.Heard(), (Bytes{qx::BYTE_ACK, qx::BYTE_COMPLETION}));
    EXPECT_TRUE(host.camera.ResetSeen());
    EXPECT_FALSE(host.camera.Unlocked());
    host.baud = 9600;
    host.now += host.camera.Config().times.restartMs;
    host.Send(Command(qx::CMD_READ_STATUS));
    EXPECT_EQ(host.Heard().size(), 1U + 258U);
}

TEST(CameraModelParser, ResynchronisesOnGarbageAndDropsStalePartialPackets) {
    Host host;
    Bytes garbage = {0x55, 0x1A, 0x00, 0xD2, 0xFF, 0x13};
    const Bytes command = Command(qx::CMD_FLAG_FOLLOW_UP);
    garbage.insert(garbage.end(), command.begin(), command.end());
    host.Send(garbage);
    EXPECT_EQ(host.Heard(), (Bytes{qx::BYTE_ACK, qx::BYTE_COMPLETION}));
    host.Send(Bytes(command.begin(), command.begin() + 5));  // cut short, then a pause
    host.now += 600;
    host.Send(Command(0x42));
    EXPECT_EQ(host.Heard(), Bytes{qx::BYTE_REFUSED}) << "unknown command code";
    ASSERT_EQ(host.camera.Commands().size(), 2U);
    EXPECT_EQ(host.camera.Commands()[1].code, 0x42);
}

TEST(CameraModelLine, PacingSpreadsBytesOverTenBitTimesEach) {
    CameraConfig config;
    config.pacing = true;
    Host host(config);
    const uint32_t sent = host.now;
    host.Send(Command(qx::CMD_READ_STATUS));
    const auto out = host.Collect();
    ASSERT_EQ(out.size(), 1U + 258U);
    // 1.0417 ms a byte at 9600 baud: the 257 packet bytes after the ready byte take 267.7 ms.
    EXPECT_EQ(out.front().dueMs - sent, config.times.ackMs + 1);
    EXPECT_EQ(out.back().dueMs - out[1].dueMs, 267U);
}

struct FaultCase {
    const char* name;
    void (*apply)(sim::CameraFaults&);
    Bytes expected;
};
class CameraModelFaults : public ::testing::TestWithParam<FaultCase> {};
TEST_P(CameraModelFaults, AnswerToUpdateModeCommand) {
    CameraConfig config;
    GetParam().apply(config.faults);
    Host host(config);
    host.Send(Command(qx::CMD_UPDATE_MODE));
    const Bytes heard = host.Heard(1000);
    EXPECT_EQ(heard, GetParam().expected);
}
INSTANTIATE_TEST_SUITE_P(
    All, CameraModelFaults,
    ::testing::Values(FaultCase{"silent", [](sim::CameraFaults& f) { f.silent = true; }, {}},
                      FaultCase{"refused",
                                [](sim::CameraFaults& f) { f.refuseCommand = qx::CMD_UPDATE_MODE; },
                                {qx::BYTE_REFUSED}},
                      FaultCase{"busyEndless",
                                [](sim::CameraFaults& f) {
                                    f.busy.push_back({0, sim::ReplyPoint::Ack, 0, true});
                                },
                                Bytes(10, qx::BYTE_BUSY)},
                      FaultCase{"busyBeforeCompletion",
                                [](sim::CameraFaults& f) {
                                    f.busy.push_back({0, sim::ReplyPoint::Completion, 200, false});
                                },
                                {qx::BYTE_ACK, qx::BYTE_BUSY, qx::BYTE_BUSY, qx::BYTE_COMPLETION}}),
    [](const ::testing::TestParamInfo<FaultCase>& param) { return std::string(param.param.name); });

// ---- The virtual devices ----

TEST(VirtualDevices, SerialPortWaitsInVirtualTimeAndLogsTheWire) {
    VirtualClock clock(5000);
    sim::VirtualDevices devices(clock);
    devices.AttachSerialCamera("COM3");
    devices.AttachSerialCamera("COM2").Faults().silent = true;
    int error = 0;
    EXPECT_EQ(devices.OpenSerialPort("COM1", error), nullptr);
    EXPECT_EQ(error, ENOENT);
    auto port = devices.OpenSerialPort("COM3", error);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(devices.OpenSerialPort("COM3", error), nullptr) << "exclusive open";
    EXPECT_EQ(error, EBUSY);

    const Bytes command = Command(qx::CMD_READ_STATUS);
    ASSERT_EQ(port->WriteSome(command.data(), command.size()), 8);
    EXPECT_EQ(devices.FindHostBytes(command, "COM3"), 5000U);
    ASSERT_EQ(port->WaitReadable(3000), 1);
    EXPECT_EQ(clock.ReadMs(), 5000U + sim::ResponseTimes{}.ackMs);  // clock moved to the ack, no further
    platform::QueueState state;
    ASSERT_TRUE(port->GetQueueState(state));
    EXPECT_EQ(state.inQueue, 1U);
    uint8_t buffer[300] = {};
    EXPECT_EQ(port->ReadSome(buffer, sizeof buffer), 1);
    EXPECT_EQ(buffer[0], qx::BYTE_ACK);

    auto silent = devices.OpenSerialPort("COM2", error);
    ASSERT_NE(silent, nullptr);
    silent->WriteSome(command.data(), command.size());
    const uint32_t before = clock.ReadMs();
    EXPECT_EQ(silent->WaitReadable(3000), 0);
    EXPECT_EQ(clock.ReadMs() - before, 3000U);
}

TEST(VirtualDevices, UsbDescriptorsReadsThatBlockUntilBytesAreDueAndDrops) {
    VirtualClock clock;
    sim::VirtualDevices devices(clock);
    devices.AttachUsbCamera("\\\\.\\QX410U-003");
    EXPECT_EQ(devices.OpenUsbDevice("\\\\.\\QX410U-001"), nullptr);
    auto usb = devices.OpenUsbDevice("\\\\.\\QX410U-003");
    ASSERT_NE(usb, nullptr);
    uint8_t buffer[600] = {};
    ASSERT_TRUE(usb->Request(sim::USB_GET_DEVICE_DESCRIPTOR, buffer, 18));
    EXPECT_EQ(buffer[0], 18);
    ASSERT_TRUE(usb->Request(sim::USB_GET_CONFIGURATION, buffer, 10));
    const uint32_t total = static_cast<uint32_t>(buffer[2] | (buffer[3] << 8));
    EXPECT_EQ(total, 32U);
    ASSERT_TRUE(usb->Request(sim::USB_GET_CONFIGURATION, buffer, total));
    EXPECT_EQ(buffer[buffer[0] + buffer[buffer[0]] + 2], sim::DEFAULT_READ_PIPE);

    Bytes write = {0, 0, 0, 0};
    const Bytes command = Command(qx::CMD_READ_STATUS);
    write.insert(write.end(), command.begin(), command.end());
    const uint32_t sent = clock.ReadMs();
    ASSERT_TRUE(usb->Request(sim::USB_WRITE, write.data(), static_cast<uint32_t>(write.size())));
    const uint8_t pipe[4] = {sim::DEFAULT_READ_PIPE, 0, 0, 0};
    std::memcpy(buffer, pipe, 4);
    ASSERT_TRUE(usb->Request(sim::USB_READ, buffer, 5));
    EXPECT_EQ(buffer[4], qx::BYTE_ACK);
    std::memcpy(buffer, pipe, 4);
    ASSERT_TRUE(usb->Request(sim::USB_READ, buffer, 4 + 258));  // ready byte and packet in one read
    EXPECT_EQ(clock.ReadMs() - sent, sim::ResponseTimes{}.ackMs + sim::ResponseTimes{}.readyMs);
    EXPECT_EQ(buffer[4], qx::BYTE_READY);
    EXPECT_EQ(buffer[5 + 1], 6);  // status byte 1

    std::memcpy(buffer, pipe, 4);
    const uint32_t before = clock.ReadMs();
    EXPECT_FALSE(usb->Request(sim::USB_READ, buffer, 5)) << "nothing more to say";
    EXPECT_EQ(clock.ReadMs() - before, sim::USB_REQUEST_LIMIT_MS);

    // A connection that drops at its second request stays gone for every later handle.
    sim::UsbFaults faults;
    faults.dropAtRequest = 2;
    devices.AttachUsbCamera("\\\\.\\QX410U-001", {}, faults);
    auto dropping = devices.OpenUsbDevice("\\\\.\\QX410U-001");
    EXPECT_TRUE(dropping->Request(sim::USB_GET_DEVICE_DESCRIPTOR, buffer, 18));
    EXPECT_FALSE(dropping->Request(sim::USB_GET_DEVICE_DESCRIPTOR, buffer, 18));
    EXPECT_FALSE(
        devices.OpenUsbDevice("\\\\.\\QX410U-001")->Request(sim::USB_GET_DEVICE_DESCRIPTOR, buffer, 18));
}

}  // namespace
