// Status block decoding: version word, camera clock normalisation, CameraInfo validity, selector and
// size flag, and the camera name.
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "protocol/camera_session.h"
#include "protocol/status_records.h"
#include "tests/protocol/protocol_fixture.h"

namespace {

using Block = std::array<uint8_t, 256>;

Block ClockBlock(uint16_t year, uint8_t month, uint8_t day, uint8_t hour, uint8_t minute, uint8_t second) {
    Block block{};
    block[STATUS_YEAR] = static_cast<uint8_t>(year >> 8);
    block[STATUS_YEAR + 1] = static_cast<uint8_t>(year);
    block[STATUS_MONTH] = month;
    block[STATUS_DAY] = day;
    block[STATUS_HOUR] = hour;
    block[STATUS_MINUTE] = minute;
    block[STATUS_SECOND] = second;
    return block;
}

struct VersionCase {
    uint8_t byte2;
    uint8_t byte3;
    uint32_t word;
};

class FirmwareVersionTest : public ::testing::TestWithParam<VersionCase> {};

TEST_P(FirmwareVersionTest, DigitsBecomeBytesOfTheWord) {
    Block block{};
    block[2] = GetParam().byte2;
    block[3] = GetParam().byte3;
    EXPECT_EQ(DecodeFirmwareVersion(block.data()), GetParam().word);
}

INSTANTIATE_TEST_SUITE_P(StatusBytes, FirmwareVersionTest,
                         ::testing::Values(VersionCase{10, 0x05, 0x01000005},
                                           VersionCase{12, 0x3A, 0x0102030A},
                                           VersionCase{0, 0x56, 0x00000506},
                                           VersionCase{99, 0xFF, 0x09090F0F}));

struct ClockCase {
    const char* what;
    Block block;
    CameraClock expected;  // second, minute, hour, day, month, year, weekday, yearDay, daylight
};

class CameraClockTest : public ::testing::TestWithParam<ClockCase> {};

TEST_P(CameraClockTest, NormalisesWithoutDaylightSaving) {
    const CameraClock clock = DecodeCameraClock(GetParam().block.data());
    const CameraClock& expected = GetParam().expected;
    EXPECT_EQ(clock.second, expected.second);
    EXPECT_EQ(clock.minute, expected.minute);
    EXPECT_EQ(clock.hour, expected.hour);
    EXPECT_EQ(clock.day, expected.day);
    EXPECT_EQ(clock.month, expected.month);
    EXPECT_EQ(clock.year, expected.year);
    EXPECT_EQ(clock.weekday, expected.weekday);
    EXPECT_EQ(clock.yearDay, expected.yearDay);
    EXPECT_EQ(clock.daylight, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Dates, CameraClockTest,
    ::testing::Values(
        // 15 June 2001 was a Friday, day 165 of the year; summer dates get no daylight-saving hour.
        ClockCase{"plain", ClockBlock(2001, 6, 15, 12, 30, 45), {45, 30, 12, 15, 5, 101, 5, 165, 0}},
        ClockCase{"31 June is 1 July", ClockBlock(2001, 6, 31, 0, 0, 0), {0, 0, 0, 1, 6, 101, 0, 181, 0}},
        ClockCase{
            "month 0 is December before", ClockBlock(2002, 0, 1, 0, 0, 0), {0, 0, 0, 1, 11, 101, 6, 334, 0}},
        ClockCase{"hour 24 rolls into the next year",
                  ClockBlock(1999, 12, 31, 24, 0, 0),
                  {0, 0, 0, 1, 0, 100, 6, 0, 0}},
        ClockCase{"29 February of a leap year",
                  ClockBlock(2000, 2, 29, 23, 59, 59),
                  {59, 59, 23, 29, 1, 100, 2, 59, 0}},
        ClockCase{"first second of 1970", ClockBlock(1970, 1, 1, 0, 0, 0), {0, 0, 0, 1, 0, 70, 4, 0, 0}},
        ClockCase{"before 1970 cannot be converted", ClockBlock(1969, 12, 31, 23, 59, 59), {}},
        ClockCase{"zero year cannot be converted", ClockBlock(0, 0, 0, 0, 0, 0), {}},
        ClockCase{"after 3000 cannot be converted", ClockBlock(3001, 1, 1, 0, 0, 0), {}},
        ClockCase{"largest raw year", ClockBlock(65535, 255, 255, 255, 255, 255), {}}),
    [](const ::testing::TestParamInfo<ClockCase>& param) { return "case" + std::to_string(param.index); });

class CameraInfoTest : public ::testing::Test {
  protected:
    VirtualClock m_clock;
    ScopedClock m_scoped{m_clock};
    qxtest::ScriptedDevices m_devices{m_clock};
    CCameraSession m_session{m_devices};

    void SetValues() {
        uint8_t* b = m_session.m_statusBlock;
        b[14] = 0x12;  // counter 0x1234
        b[15] = 0x34;
        b[60] = 0x00;  // selector 3
        b[61] = 0x03;
        b[62] = 0x00;  // selector 2
        b[63] = 0x02;
        b[64] = 0x00;  // selector 1
        b[65] = 0x01;
    }
};

struct SelectorCase {
    uint8_t flags;
    uint8_t selector;
    int16_t counter;
    int16_t selected;
};

class CameraInfoSelectorTest : public CameraInfoTest, public ::testing::WithParamInterface<SelectorCase> {};

TEST_P(CameraInfoSelectorTest, ValidityAndSelectorChooseTheValues) {
    SetValues();
    m_session.m_statusBlock[STATUS_FLAGS] = GetParam().flags;
    m_session.m_statusBlock[STATUS_SELECTOR] = GetParam().selector;
    m_session.BuildCameraInfo();
    const CameraInfo& info = m_session.m_cameraInfo;
    EXPECT_EQ(info.counter, GetParam().counter);
    EXPECT_EQ(info.selectedValue, GetParam().selected);
    EXPECT_EQ(info.validCounter, GetParam().counter);
    EXPECT_EQ(info.validSelected, GetParam().selected);
    EXPECT_EQ(info.spare1, -1);
    EXPECT_EQ(info.spare2, -1);
    EXPECT_EQ(info.fixed1, 160);
    EXPECT_EQ(info.fixed2, 120);
}

INSTANTIATE_TEST_SUITE_P(Flags, CameraInfoSelectorTest,
                         ::testing::Values(SelectorCase{0x80, 1, 0x1234, 1}, SelectorCase{0x80, 2, 0x1234, 2},
                                           SelectorCase{0x88, 3, 0x1234, 3},
                                           SelectorCase{0x80, 0, 0x1234, -1},  // no selector: -1
                                           SelectorCase{0x80, 7, 0x1234, -1},
                                           SelectorCase{0x90, 2, -1, -1},  // bit 4 set: not valid
                                           SelectorCase{0x00, 2, -1, -1}));

TEST_F(CameraInfoTest, SizeFlagChoosesTheLargeSizes) {
    for (uint8_t flag : {uint8_t{0}, uint8_t{1}, uint8_t{0xFF}}) {
        m_session.m_statusBlock[STATUS_SIZE_FLAG] = flag;
        m_session.BuildCameraInfo();
        EXPECT_EQ(m_session.m_cameraInfo.size1, flag == 0 ? 896 : 1760);
        EXPECT_EQ(m_session.m_cameraInfo.size2, flag == 0 ? 592 : 1168);
    }
}

TEST_F(CameraInfoTest, StaleSelectedValueIsNotKeptFromAnEarlierBlock) {
    SetValues();
    m_session.m_statusBlock[STATUS_FLAGS] = 0x80;
    m_session.m_statusBlock[STATUS_SELECTOR] = 1;
    m_session.BuildCameraInfo();
    ASSERT_EQ(m_session.m_cameraInfo.selectedValue, 1);
    m_session.m_statusBlock[STATUS_SELECTOR] = 9;
    m_session.BuildCameraInfo();
    EXPECT_EQ(m_session.m_cameraInfo.selectedValue, -1);
}

TEST_F(CameraInfoTest, NameOfThirtyTwoCharactersIsDeliveredWhole) {
    std::memset(m_session.m_statusBlock + STATUS_NAME, 'N', 32);
    m_session.m_statusBlock[STATUS_NAME + 32] = 'X';  // the byte after the name is not part of it
    std::memset(m_session.m_cameraName, 'z', sizeof m_session.m_cameraName);
    m_session.BuildCameraName();
    EXPECT_EQ(std::string(m_session.m_cameraName), std::string(32, 'N'));
    EXPECT_EQ(m_session.m_cameraName[32], '\0');
}

}  // namespace
