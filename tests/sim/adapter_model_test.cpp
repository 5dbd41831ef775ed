// The serial adapter models: the names the simulator takes, and when an FTDI adapter hands the camera's
// bytes to the host (a full USB packet at once, the rest at the latency tick), a late byte, a garbled one.
#include "sim/adapter_model.h"

#include <gtest/gtest.h>

namespace {

using sim::AdapterKind;

struct ParseCase {
    const char* text;
    bool valid;
    AdapterKind kind;
    uint32_t latencyMs;
    const char* canonical;
};

class AdapterModelParseTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(AdapterModelParseTest, ReadsTheModelName) {
    const ParseCase& c = GetParam();
    const std::optional<sim::AdapterModel> model = sim::ParseAdapterModel(c.text);
    ASSERT_EQ(model.has_value(), c.valid) << c.text;
    if (!c.valid) {
        return;
    }
    EXPECT_EQ(model->kind, c.kind);
    EXPECT_EQ(model->latencyMs, c.latencyMs);
    EXPECT_EQ(sim::AdapterModelName(*model), c.canonical);
}

INSTANTIATE_TEST_SUITE_P(
    Names, AdapterModelParseTest,
    ::testing::Values(ParseCase{"pty", true, AdapterKind::Pty, 16, "pty"},
                      ParseCase{"ftdi", true, AdapterKind::Ftdi, 16, "ftdi:16"},
                      ParseCase{"ftdi:1", true, AdapterKind::Ftdi, 1, "ftdi:1"},
                      ParseCase{"ftdi:255", true, AdapterKind::Ftdi, 255, "ftdi:255"},
                      ParseCase{"no-break", true, AdapterKind::NoBreak, 16, "no-break"},
                      ParseCase{"fake-break", true, AdapterKind::FakeBreak, 16, "fake-break"},
                      ParseCase{"late-byte", true, AdapterKind::LateByte, 16, "late-byte:1d"},
                      ParseCase{"late-byte:7F", true, AdapterKind::LateByte, 16, "late-byte:7f"},
                      ParseCase{"ftdi:0", false, AdapterKind::Pty, 0, ""},
                      ParseCase{"ftdi:256", false, AdapterKind::Pty, 0, ""},
                      ParseCase{"ftdi:", false, AdapterKind::Pty, 0, ""},
                      ParseCase{"ftdi:16ms", false, AdapterKind::Pty, 0, ""},
                      ParseCase{"pty:1", false, AdapterKind::Pty, 0, ""},
                      ParseCase{"late-byte:100", false, AdapterKind::Pty, 0, ""},
                      ParseCase{"FTDI", false, AdapterKind::Pty, 0, ""},
                      ParseCase{"", false, AdapterKind::Pty, 0, ""}));

// (byte, time on the line) in; (time handed over, how many bytes by then) out.
std::vector<size_t> CountsAt(sim::AdapterQueue& queue, const std::vector<uint64_t>& timesUs) {
    std::vector<size_t> counts;
    std::vector<uint8_t> out;
    for (const uint64_t t : timesUs) {
        queue.Release(t, out);
        counts.push_back(out.size());
    }
    return counts;
}

// 10 bytes at 9600 baud from 3 ms: an FTDI adapter at 16 ms holds them to its tick at 16 ms; a full
// packet of 62 bytes at 115200 goes at once with its 62nd byte.
TEST(AdapterQueueTest, FtdiHoldsBytesToTheTickOrAFullPacket) {
    sim::AdapterModel ftdi;
    ftdi.kind = AdapterKind::Ftdi;
    sim::AdapterQueue slow(ftdi);
    for (uint64_t i = 0; i < 10; ++i) {
        slow.Arrive(static_cast<uint8_t>(i), 3000 + i * 1042);
    }
    EXPECT_EQ(slow.NextReleaseUs(), 16000u);
    EXPECT_EQ(CountsAt(slow, {15999, 16000}), (std::vector<size_t>{0, 10}));
    EXPECT_FALSE(slow.NextReleaseUs().has_value());

    sim::AdapterQueue fast(ftdi);
    for (uint64_t i = 0; i < 70; ++i) {
        fast.Arrive(static_cast<uint8_t>(i), 20000 + i * 87);
    }
    const uint64_t full = 20000 + 61 * 87;
    EXPECT_EQ(fast.NextReleaseUs(), full);
    EXPECT_EQ(CountsAt(fast, {full - 1, full, 31999, 32000}), (std::vector<size_t>{0, 62, 62, 70}));
}

// The pty model hands each byte over when it is on the line; a late byte comes 3,020 ms after it, and
// bytes in the fake break's window never come.
TEST(AdapterQueueTest, PtyLateAndGarbledBytes) {
    sim::AdapterQueue queue(sim::AdapterModel{});
    queue.Arrive(1, 1000);
    queue.Arrive(2, 2000, true);
    queue.Arrive(3, 3000);
    queue.GarbleUntil(5000);
    queue.Arrive(4, 4999);
    queue.Arrive(5, 5000);
    std::vector<uint8_t> out;
    queue.Release(5000, out);
    EXPECT_EQ(out, (std::vector<uint8_t>{1, 3, 5}));
    EXPECT_EQ(queue.NextReleaseUs(), 2000u + sim::LATE_BYTE_DELAY_MS * 1000);
    queue.Release(2000u + sim::LATE_BYTE_DELAY_MS * 1000, out);
    EXPECT_EQ(out, (std::vector<uint8_t>{1, 3, 5, 2}));
}

}  // namespace
