// Status block decoding: version word, camera clock normalisation, CameraInfo validity, selector and
// size flag, and the camera name.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

#include "protocol/camera_session.h"
#include "protocol/status_records.h"
#include "tests/protocol/protocol_fixture.h"

namespace {

using Block = std::array<uint8_t, 256>;

using RecordTest = qxtest::VirtualSessionTest;  // the records need a session but no link

TEST(FirmwareVersionTest, DigitsBecomeBytesOfTheWord) {
    const struct {
        uint8_t byte2, byte3;
        uint32_t word;
    } cases[] = {
        {10, 0x05, 0x01000005}, {12, 0x3A, 0x0102030A}, {0, 0x56, 0x00000506}, {99, 0xFF, 0x09090F0F}};
    for (const auto& c : cases) {
        Block block{};
        block[2] = c.byte2;
        block[3] = c.byte3;
        EXPECT_EQ(DecodeFirmwareVersion(block.data()), c.word) << int{c.byte2} << " " << int{c.byte3};
    }
}

// Summer dates get no daylight-saving hour; times the conversion cannot take give all fields 0.
TEST(CameraClockTest, NormalisesWithoutDaylightSaving) {
    const struct {
        uint16_t year;
        uint8_t month, day, hour, minute, second;
        std::array<int16_t, 8> expected;  // second, minute, hour, day, month, year, weekday, yearDay
    } cases[] = {
        {2001, 6, 15, 12, 30, 45, {45, 30, 12, 15, 5, 101, 5, 165}},  // a Friday, day 165 of the year
        {2001, 6, 31, 0, 0, 0, {0, 0, 0, 1, 6, 101, 0, 181}},         // 31 June is 1 July
        {2002, 0, 1, 0, 0, 0, {0, 0, 0, 1, 11, 101, 6, 334}},         // month 0: December before
        {1999, 12, 31, 24, 0, 0, {0, 0, 0, 1, 0, 100, 6, 0}},         // hour 24: the next year
        {2000, 2, 29, 23, 59, 59, {59, 59, 23, 29, 1, 100, 2, 59}},   // leap day
        {1970, 1, 1, 0, 0, 0, {0, 0, 0, 1, 0, 70, 4, 0}},             // first convertible second
        {1969, 12, 31, 23, 59, 59, {}},
        {3001, 1, 1, 0, 0, 0, {}}};
    for (const auto& c : cases) {
        Block block{};
        const uint8_t fields[] = {static_cast<uint8_t>(c.year >> 8), static_cast<uint8_t>(c.year)};
        std::memcpy(block.data() + STATUS_YEAR, fields, 2);
        block[STATUS_MONTH] = c.month;
        block[STATUS_DAY] = c.day;
        block[STATUS_HOUR] = c.hour;
        block[STATUS_MINUTE] = c.minute;
        block[STATUS_SECOND] = c.second;
        const CameraClock t = DecodeCameraClock(block.data());
        EXPECT_EQ((std::array<int16_t, 8>{t.second, t.minute, t.hour, t.day, t.month, t.year, t.weekday,
                                          t.yearDay}),
                  c.expected)
            << c.year << "-" << int{c.month} << "-" << int{c.day};
        EXPECT_EQ(t.daylight, 0);
    }
}

struct SelectorCase {
    uint8_t flags, selector, sizeFlag;
    int16_t counter, selected, size1, size2;
};

class CameraInfoTest : public RecordTest, public ::testing::WithParamInterface<SelectorCase> {};

TEST_P(CameraInfoTest, ValidityAndSelectorChooseTheValues) {
    uint8_t* b = m_session.m_statusBlock;
    const uint8_t values[] = {0x12, 0x34, 0, 3, 0, 2, 0, 1};  // counter 0x1234, then selector 3, 2, 1
    std::memcpy(b + STATUS_COUNTER, values, 2);
    std::memcpy(b + STATUS_VALUE_3, values + 2, 6);
    b[STATUS_FLAGS] = GetParam().flags;
    b[STATUS_SELECTOR] = GetParam().selector;
    b[STATUS_SIZE_FLAG] = GetParam().sizeFlag;
    m_session.m_cameraInfo.selectedValue = 55;  // left from an earlier block: never carried over
    m_session.BuildCameraInfo();
    const CameraInfo& info = m_session.m_cameraInfo;
    EXPECT_EQ(info.counter, GetParam().counter);
    EXPECT_EQ(info.selectedValue, GetParam().selected);
    EXPECT_EQ((std::array<int32_t, 6>{info.validCounter, info.validSelected, info.size1, info.size2,
                                      info.spare1, info.spare2}),
              (std::array<int32_t, 6>{GetParam().counter, GetParam().selected, GetParam().size1,
                                      GetParam().size2, -1, -1}));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Flags, CameraInfoTest, ::testing::Values(
    SelectorCase{0x80, 1, 0, 0x1234, 1, 896, 592}, SelectorCase{0x80, 2, 1, 0x1234, 2, 1760, 1168},
    SelectorCase{0x88, 3, 0xFF, 0x1234, 3, 1760, 1168},  // bit 3 does not matter here
    SelectorCase{0x80, 0, 0, 0x1234, -1, 896, 592}, SelectorCase{0x80, 7, 0, 0x1234, -1, 896, 592},
    SelectorCase{0x90, 2, 0, -1, -1, 896, 592},  // bit 4 set: not valid
    SelectorCase{0x00, 2, 0, -1, -1, 896, 592}));
// clang-format on

TEST_F(RecordTest, NameIsDeliveredWhole) {
    std::memset(m_session.m_statusBlock + STATUS_NAME, 'N', 32);
    m_session.m_statusBlock[STATUS_NAME + 32] = 'X';  // the byte after the name is not part of it
    std::memset(m_session.m_cameraName, 'z', sizeof m_session.m_cameraName);
    m_session.BuildCameraName();
    EXPECT_EQ(std::string(m_session.m_cameraName), std::string(32, 'N'));
}

}  // namespace
