// Tests of the camera model and of the virtual-time devices that carry it, for what whole searches and
// downloads over them do not show: how each fault switch looks on the wire, bytes lost while the line
// rates differ, the checksum over unerased flash, and the USB read that waits until its bytes are due.
#include "sim/camera_model.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <numeric>
#include <vector>

#include "wire/byte_codes.h"
#include "wire/timing.h"

#include "sim/virtual_devices.h"
#include "wire/byte_codes.h"

namespace {

using Bytes = std::vector<uint8_t>;
using sim::CameraConfig;

Bytes Command(uint8_t code, uint8_t p2 = 0, uint8_t p3 = 0, uint8_t p4 = 0, uint8_t p5 = 0) {
    return {code, 0, p2, p3, p4, p5, 0, 0x1A};
}
Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}
// The ready byte and the status packet of a default camera, its check byte flipped when asked.
Bytes StatusReply(uint8_t checkFlip = 0) {
    const auto block = sim::CameraModel().StatusBlock();
    const Bytes bytes(block.begin(), block.end());
    const uint8_t check = std::accumulate(bytes.begin(), bytes.end(), checkFlip, std::bit_xor<uint8_t>());
    return Cat({{0x01}, bytes, {check}});
}

const Bytes READ_STATUS = Command(0x7F);
const Bytes UPDATE_MODE = Command(0x8D);
const Bytes ERASE = Command(0x1E);
const Bytes SPEED_115200 = Command(0x41, 0x11, 0x52);
// A 256-byte block, 0x10 and then zeros: its check byte and its checksum (XOR of 16-bit words) are 0x10.
const Bytes DATA_PACKET = Cat({{0x10}, Bytes(255, 0), {0x10}});
const Bytes CHECKSUM = Command(0x21, 1, 0, 0x10);
Bytes WriteBlock(uint8_t block) {
    return Command(0x1D, 0, block, 0, 1);
}
const Bytes STATUS_ANSWER = Cat({{0xD1}, StatusReply()});
const Bytes ACK = {0xD1};
const Bytes BUSY = {0xF0};
const Bytes DATA_DONE = {0xD2, 0x00};
const Bytes CHECKSUM_FAILED = {0xD1, sim::CHECKSUM_FAILURE_BYTE};

// The host end of a line straight onto the model, with its own clock and line rate.
struct Host {
    explicit Host(const CameraConfig& config = {}) : camera(config) {}
    size_t Send(const Bytes& bytes) { return camera.Receive(bytes.data(), bytes.size(), now, baud); }
    // What reaches the host within the next second; the clock stops 1 ms after the last byte.
    Bytes Heard() {
        const uint32_t end = now + 1000;
        Bytes heard;
        for (auto next = camera.NextOutputTime(); next && static_cast<int32_t>(*next - end) <= 0;
             next = camera.NextOutputTime()) {
            now = *next + 1;
            for (const sim::OutputByte& b : camera.TakeDue(*next, baud)) {
                if (!b.lost) {
                    heard.push_back(b.value);
                }
            }
        }
        return heard;
    }
    sim::CameraModel camera;
    uint32_t now = 1000;
    uint32_t baud = 9600;
};

// Each step is sent 100 ms after the last answer, at the step's line rate; `heard` is what reaches the
// host within a second. The camera's update mode is open, so that erase and write are taken.
struct Step {
    Bytes send;
    Bytes heard;
    uint32_t baud = 9600;
};
struct FaultCase {
    const char* name;
    void (*apply)(sim::CameraFaults&);
    std::vector<Step> steps;
};

class CameraFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(CameraFaults, ShowOnTheWire) {
    CameraConfig config;
    config.startUnlocked = true;
    GetParam().apply(config.faults);
    Host host(config);
    for (size_t i = 0; i < GetParam().steps.size(); ++i) {
        const Step& step = GetParam().steps[i];
        host.now += 100;
        host.baud = step.baud;
        host.Send(step.send);
        EXPECT_EQ(host.Heard(), step.heard) << "step " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Switches, CameraFaults,
    ::testing::Values(
        FaultCase{"Silent", [](auto& f) { f.silent = true; }, {{UPDATE_MODE, {}}}},
        FaultCase{"RefusedCommand", [](auto& f) { f.refuseCommand = 0x8D; }, {{UPDATE_MODE, {0xE1}}}},
        FaultCase{"BusyWithoutEnd",
                  [](auto& f) {
                      f.busy = {{0, sim::ReplyPoint::Ack, 0, true}};
                  },
                  {{UPDATE_MODE, Bytes(10, 0xF0)}, {READ_STATUS, Bytes(11, 0xF0)}}},
        FaultCase{"BusyBeforeCompletion",
                  [](auto& f) {
                      f.busy = {{0, sim::ReplyPoint::Completion, 200, false}};
                  },
                  {{UPDATE_MODE, Cat({ACK, BUSY, BUSY, {0x00}})}}},
        FaultCase{"BusyBeforeReady",
                  [](auto& f) {
                      f.busy = {{0x7F, sim::ReplyPoint::Ready, 250, false}};
                  },
                  {{READ_STATUS, Cat({ACK, BUSY, BUSY, BUSY, StatusReply()})}}},
        FaultCase{"StatusError",
                  [](auto& f) { f.statusErrorTimes = 1; },
                  {{READ_STATUS, {0xD1, 0x01, 0xE2}}, {READ_STATUS, STATUS_ANSWER}}},
        FaultCase{"CorruptStatusCheck",
                  [](auto& f) { f.corruptStatusCheckTimes = 1; },
                  {{READ_STATUS, Cat({ACK, StatusReply(0xFF)})}, {{0xE3}, StatusReply()}, {{0xD2}, {0x00}}}},
        FaultCase{
            "RefusedBlock",
            [](auto& f) { f.refuseBlock = 3, f.refuseBlockTimes = 2; },
            {{WriteBlock(3), ACK}, {DATA_PACKET, {0xE3}}, {DATA_PACKET, {0xE3}}, {DATA_PACKET, DATA_DONE}}},
        FaultCase{"WrongAccessReply",
                  [](auto& f) { f.wrongAccessReply = true; },
                  {{Bytes("KwEjUoTfAsGi", "KwEjUoTfAsGi" + 12), Bytes("mPzQaXcYbNdK", "mPzQaXcYbNdK" + 12)}}},
        FaultCase{"ChecksumMismatch",
                  [](auto& f) { f.checksumAlwaysMismatch = true; },
                  {{ERASE, {0xD1, 0x00}},
                   {WriteBlock(0), ACK},
                   {DATA_PACKET, DATA_DONE},
                   {CHECKSUM, CHECKSUM_FAILED}}},
        // No switch: a block programmed over flash that was never erased fails the checksum all the same.
        FaultCase{"UnerasedFlash",
                  [](auto&) {},
                  {{WriteBlock(0), ACK}, {DATA_PACKET, DATA_DONE}, {CHECKSUM, CHECKSUM_FAILED}}},
        FaultCase{"SilentFromBlock",
                  [](auto& f) { f.silentFromBlock = 1; },
                  {{WriteBlock(0), ACK}, {DATA_PACKET, DATA_DONE}, {WriteBlock(1), {}}, {READ_STATUS, {}}}},
        FaultCase{"EraseNeverCompletes", [](auto& f) { f.eraseNeverCompletes = true; }, {{ERASE, ACK}}},
        FaultCase{"SpeedKept",
                  [](auto& f) { f.speed = sim::SpeedFault::StayPut; },
                  {{SPEED_115200, ACK}, {READ_STATUS, STATUS_ANSWER}}},
        FaultCase{"SpeedSwitchedElsewhere",
                  [](auto& f) { f.speed = sim::SpeedFault::SwitchElsewhere; },
                  {{SPEED_115200, ACK}, {READ_STATUS, {}, 115200}, {READ_STATUS, STATUS_ANSWER, 57600}}}),
    [](const ::testing::TestParamInfo<FaultCase>& param) { return std::string(param.param.name); });

// Bytes cross only while both ends use the same rate, in either direction; a break returns to 9600.
TEST(CameraModelLine, BytesAreLostWhileTheRatesDiffer) {
    Host host;
    host.Send(SPEED_115200);
    EXPECT_EQ(host.Heard(), ACK) << "acknowledged at the old rate";
    host.now += 100;
    EXPECT_EQ(host.Send(READ_STATUS), 0U) << "a 9600 host is not heard";
    host.baud = 115200;
    EXPECT_EQ(host.Send(READ_STATUS), 8U);
    host.baud = 9600;
    EXPECT_TRUE(host.Heard().empty()) << "the answer goes out at 115200";
    host.camera.SetBreak(true, host.now);
    host.camera.SetBreak(false, host.now + 300);
    host.now += 300;
    host.Send(READ_STATUS);
    EXPECT_EQ(host.Heard(), STATUS_ANSWER);
}

// A USB READ waits in virtual time until the bytes asked for are due, at most the driver's limit.
TEST(VirtualUsbDevice, DescriptorsAndReadsThatWaitForTheirBytes) {
    VirtualClock clock;
    sim::VirtualDevices devices(clock);
    devices.AttachUsbCamera("\\\\.\\QX410U-003");
    int errorNumber = 0;
    auto usb = devices.OpenUsbDevice("\\\\.\\QX410U-003", errorNumber);
    ASSERT_NE(usb, nullptr);
    uint8_t buffer[600] = {};
    ASSERT_TRUE(usb->Request(0x222004u, buffer, 18));
    EXPECT_EQ(buffer[0], 18);
    ASSERT_TRUE(usb->Request(0x222008u, buffer, 10));
    EXPECT_EQ(buffer[2] | (buffer[3] << 8), 32);
    ASSERT_TRUE(usb->Request(0x222008u, buffer, 32));
    EXPECT_EQ(buffer[buffer[0] + buffer[buffer[0]] + 2], sim::DEFAULT_READ_PIPE);

    const Bytes write = Cat({{0, 0, 0, 0}, READ_STATUS});
    std::memcpy(buffer, write.data(), write.size());
    const uint32_t sent = clock.ReadMs();
    ASSERT_TRUE(usb->Request(0x22200Cu, buffer, static_cast<uint32_t>(write.size())));
    const uint8_t pipe[4] = {sim::DEFAULT_READ_PIPE, 0, 0, 0};
    std::memcpy(buffer, pipe, 4);
    ASSERT_TRUE(usb->Request(0x222010u, buffer, 4 + 1 + 258));  // acknowledgement, ready byte, packet
    EXPECT_EQ(clock.ReadMs() - sent, sim::ResponseTimes{}.ackMs + sim::ResponseTimes{}.readyMs);
    EXPECT_EQ(Bytes(buffer + 4, buffer + 4 + 1 + 258), STATUS_ANSWER);

    std::memcpy(buffer, pipe, 4);
    const uint32_t before = clock.ReadMs();
    EXPECT_FALSE(usb->Request(0x222010u, buffer, 5)) << "nothing more to say";
    EXPECT_EQ(clock.ReadMs() - before, 35000u);
}

}  // namespace
