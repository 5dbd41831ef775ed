// The rule that numbers the attached cameras (over a made-up sysfs tree) and the read that keeps the
// bytes a bulk packet carries beyond the count asked (over scripted transfers).
#include "platform/usb_cameras.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/scratch_tree.h"

#include "platform/libusb_usb_driver.h"

namespace {

class UsbCameraListTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_FALSE(m_root.empty()) << "no scratch folder"; }

    // A device directory as the kernel makes it; an empty product leaves the attribute out.
    void AddDevice(const std::string& name, const std::string& ids, const std::string& product,
                   int devnum = 5) {
        const std::string dir = m_root + "/" + name;
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
        std::ofstream(dir + "/idVendor") << ids.substr(0, 4) << "\n";
        std::ofstream(dir + "/idProduct") << ids.substr(5, 4) << "\n";
        std::ofstream(dir + "/devnum") << devnum << "\n";
        if (!product.empty()) {
            std::ofstream(dir + "/product") << product << "\n";
        }
    }

    std::vector<std::string> Cameras(const char* extraIds = nullptr) {
        std::vector<std::string> names;
        for (const platform::UsbCameraEntry& camera :
             platform::ListUsbCameras(m_root, platform::ParseUsbIdList(extraIds))) {
            names.push_back(camera.sysfsName);
        }
        return names;
    }

    testsupport::ScratchTree m_tree;  // the made-up sysfs root, removed with the test
    const std::string m_root = m_tree.Root();
};

// Numbering follows the bus, then the port path taken number by number (1-10 after 1-9, a hub's
// ports right after the hub); root hubs, interfaces and other products never count.
TEST_F(UsbCameraListTest, CamerasAreNumberedByBusThenPortPath) {
    AddDevice("usb1", "1d6b:0002", "EHCI Host Controller");
    AddDevice("2-1", "0c0a:0410", "Corva QX410 Zoom");
    AddDevice("1-10", "0c0a:0410", "QX410");
    AddDevice("1-9", "0c0a:0410", "Corva QX410 Zoom");
    AddDevice("1-2.4", "0c0a:0410", "Corva QX410 Zoom");
    AddDevice("1-2", "05e3:0608", "USB2.0 Hub");
    AddDevice("1-2.1", "0c0a:0410", "Corva QX410 Zoom");
    AddDevice("1-2.1:1.0", "0c0a:0410", "Corva QX410 Zoom");
    AddDevice("1-3", "046d:c52b", "USB Receiver");
    AddDevice("1-4", "0c0a:0411", "");
    EXPECT_EQ(Cameras(), (std::vector<std::string>{"1-2.1", "1-2.4", "1-9", "1-10", "2-1"}));
}

// QX410FW_USB_IDS adds cameras whose product string differs (or is missing); malformed items are
// ignored rather than matching something by accident.
TEST_F(UsbCameraListTest, ListedIdsCountAsCameras) {
    AddDevice("1-1", "0c0a:0410", "Corva QX410 Zoom");
    AddDevice("1-3", "0c0a:0411", "");
    AddDevice("1-4", "abcd:ef01", "Digital Camera");
    AddDevice("1-5", "046d:c52b", "USB Receiver");
    EXPECT_EQ(Cameras(), (std::vector<std::string>{"1-1"}));
    EXPECT_EQ(Cameras("0c0a:0411,ABCD:EF01"), (std::vector<std::string>{"1-1", "1-3", "1-4"}));
    EXPECT_EQ(Cameras("0c0a:411, abcd-ef01, :, 046d:c52b1,,"), (std::vector<std::string>{"1-1"}));
    EXPECT_EQ(Cameras(" 046d:c52b "), (std::vector<std::string>{"1-1", "1-5"}));
}

// One scripted bulk IN transfer: what the device sends for it, or a failure after some bytes.
struct ScriptedPacket {
    std::vector<uint8_t> bytes;
    int error = 0;
};

struct SurplusRow {
    const char* name;
    std::vector<uint8_t> keptBefore;
    std::vector<ScriptedPacket> packets;
    size_t count;
    int expectedError;
    std::vector<uint8_t> expectedOut;  // when the read succeeds
    std::vector<uint8_t> keptAfter;
    std::vector<size_t> expectedRoom;  // buffer length of each transfer made
};

class SurplusBytesTest : public ::testing::TestWithParam<SurplusRow> {};

TEST_P(SurplusBytesTest, ReadKeepsWhatThePacketsCarryBeyondTheCount) {
    const SurplusRow& row = GetParam();
    std::vector<uint8_t> kept = row.keptBefore;
    std::deque<ScriptedPacket> script(row.packets.begin(), row.packets.end());
    std::vector<size_t> rooms;
    const platform::BulkInTransfer transfer = [&](uint8_t* buffer, size_t length, size_t& received) {
        rooms.push_back(length);
        if (script.empty()) {
            received = 0;
            return ETIMEDOUT;
        }
        const ScriptedPacket packet = script.front();
        script.pop_front();
        received = std::min(length, packet.bytes.size());
        std::copy(packet.bytes.begin(), packet.bytes.begin() + static_cast<std::ptrdiff_t>(received), buffer);
        return packet.error;
    };
    std::vector<uint8_t> out(row.count, 0xEE);
    EXPECT_EQ(platform::ReadExactly(kept, out.data(), row.count, 64, transfer), row.expectedError);
    if (row.expectedError == 0) {
        EXPECT_EQ(out, row.expectedOut);
    }
    EXPECT_EQ(kept, row.keptAfter);
    EXPECT_EQ(rooms, row.expectedRoom);
}

std::vector<uint8_t> Bytes(uint8_t first, size_t count) {
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<uint8_t>(first + i);
    }
    return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Reads, SurplusBytesTest,
    ::testing::Values(
        // A 1-byte read (the ready byte) answered with the ready byte and the packet behind it.
        SurplusRow{"OneByteFromALongPacket", {}, {{{0xD2, 1, 2, 3}}}, 1, 0, {0xD2}, {1, 2, 3}, {64}},
        // The next read is served from the kept bytes without a transfer.
        SurplusRow{"KeptBytesFirst", {1, 2, 3}, {}, 2, 0, {1, 2}, {3}, {}},
        // Kept bytes, then whole packets for the rest: 257 - 3 = 254 bytes want 4 packets of room.
        SurplusRow{"KeptThenTransfers",
                   {1, 2, 3},
                   {{Bytes(4, 64)}, {Bytes(68, 190)}},
                   257,
                   0,
                   Bytes(1, 257),
                   {},
                   {256, 192}},
        // Short packets are gathered until the count is complete; the surplus of the last is kept.
        SurplusRow{
            "ShortPackets", {}, {{{1}}, {{2, 3}}, {{4, 5, 6}}}, 5, 0, {1, 2, 3, 4, 5}, {6}, {64, 64, 64}},
        // A failure keeps everything received, in order, for the next read.
        SurplusRow{"FailureKeepsTheBytes",
                   {1},
                   {{{2, 3}}, {{4}, ETIMEDOUT}},
                   6,
                   ETIMEDOUT,
                   {},
                   {1, 2, 3, 4},
                   {64, 64}},
        SurplusRow{"DeviceGone", {}, {{{}, ENODEV}}, 1, ENODEV, {}, {}, {64}}),
    [](const ::testing::TestParamInfo<SurplusRow>& row) { return std::string(row.param.name); });

}  // namespace
