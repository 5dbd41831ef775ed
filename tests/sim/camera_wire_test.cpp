// Tests of the simulator's step between the wire's microseconds and the camera model's milliseconds:
// the camera answers its stated time after the host's bytes to the microsecond, wherever in a
// millisecond they arrive, and the model's clock never runs backwards.
#include "sim/endpoint.h"

#include <gtest/gtest.h>

#include <vector>

#include "sim/byte_log.h"
#include "sim/camera_model.h"

namespace {

const std::vector<uint8_t> READ_STATUS = {0x7F, 0, 0, 0, 0, 0, 0, 0x1A};
constexpr uint32_t BAUD = 9600;

TEST(CameraWireTest, TheAcknowledgementFollowsTheCommandByExactlyTheAckTime) {
    // Arrivals at every part of a millisecond, in an order that moves the phase both ways.
    const uint64_t arrivals[] = {5'000'567, 5'400'000, 5'800'999, 6'200'001, 6'600'500, 7'000'499};
    sim::CameraModel model;
    sim::ByteLog log;
    sim::CameraWire wire(model, log);
    const uint32_t ackUs = model.Config().times.ackMs * 1000;
    uint32_t lastModelMs = 0;
    for (const uint64_t arrivalUs : arrivals) {
        SCOPED_TRACE(arrivalUs);
        EXPECT_GE(wire.ModelTime(arrivalUs - 1), lastModelMs);  // still monotonic just before the arrival
        wire.FeedHost(READ_STATUS.data(), READ_STATUS.size(), arrivalUs, BAUD);
        EXPECT_GE(wire.ModelTime(arrivalUs), lastModelMs);
        lastModelMs = wire.ModelTime(arrivalUs);

        ASSERT_TRUE(model.NextOutputTime().has_value());
        EXPECT_EQ(wire.WireTimeUs(*model.NextOutputTime()), arrivalUs + ackUs);
        EXPECT_TRUE(model.TakeDue(wire.ModelTime(arrivalUs + ackUs - 1), BAUD).empty());
        const std::vector<sim::OutputByte> due = model.TakeDue(wire.ModelTime(arrivalUs + ackUs), BAUD);
        ASSERT_FALSE(due.empty());
        EXPECT_EQ(due.front().value, 0xD1);
        // The rest of the answer (the status packet) goes out; the next command finds a quiet camera.
        model.TakeDue(wire.ModelTime(arrivalUs + 300'000), BAUD);
    }
}

}  // namespace
