// The records decoded from the camera's 256-byte status block: the firmware version word, the camera
// clock, CameraInfo and CameraName. Pure data work; no link is involved.
#pragma once

#include <cstdint>

// Calendar fields of the camera clock, normalised (day of week and year filled in).
struct CameraClock {
    int16_t second = 0;
    int16_t minute = 0;
    int16_t hour = 0;
    int16_t day = 0;       // day of the month
    int16_t month = 0;     // 0..11
    int16_t year = 0;      // years since 1900
    int16_t weekday = 0;   // 0 = Sunday
    int16_t yearDay = 0;   // 0..365
    int16_t daylight = 0;  // daylight-saving flag, always 0
};

struct CameraInfo {
    CameraClock clock;
    uint32_t version = 0;  // firmware version word, one digit a byte, most significant first
    int16_t validCounter = -1;
    int16_t validSelected = -1;
    int16_t spare1 = -1;
    int16_t spare2 = -1;
    int16_t counter = -1;
    int16_t selectedValue = -1;
    int16_t fixed1 = 160;
    int16_t fixed2 = 120;
    int32_t size1 = 896;
    int32_t size2 = 592;
};

// The name goes to a caller-owned buffer of at least CAMERA_NAME_BUFFER_SIZE bytes.
constexpr int CAMERA_NAME_LENGTH = 32;
constexpr int CAMERA_NAME_BUFFER_SIZE = 33;

struct CameraName {
    CameraClock clock;
    char* name = nullptr;
};

// Status block offsets the updater reads.
constexpr int STATUS_STATE = 1;
constexpr int STATUS_VERSION_HIGH = 2;
constexpr int STATUS_VERSION_LOW = 3;
constexpr int STATUS_FLAGS = 11;
constexpr int STATUS_COUNTER = 14;
constexpr int STATUS_NAME = 28;
constexpr int STATUS_VALUE_3 = 60;
constexpr int STATUS_VALUE_2 = 62;
constexpr int STATUS_VALUE_1 = 64;
constexpr int STATUS_SIZE_FLAG = 79;
constexpr int STATUS_SELECTOR = 80;
constexpr int STATUS_YEAR = 88;
constexpr int STATUS_MONTH = 90;
constexpr int STATUS_DAY = 91;
constexpr int STATUS_HOUR = 92;
constexpr int STATUS_MINUTE = 93;
constexpr int STATUS_SECOND = 94;

// Flag bits of status byte 11.
constexpr uint8_t FLAG_VALID = 0x80;
constexpr uint8_t FLAG_INVALID = 0x10;
constexpr uint8_t FLAG_FOLLOWED_UP = 0x08;

// Firmware version word from status bytes 2 and 3: (b2 / 10, b2 % 10, b3 >> 4, b3 & 0x0F), most
// significant byte first.
uint32_t DecodeFirmwareVersion(const uint8_t* statusBlock);
// Camera clock from status bytes 88..94, normalised like the C runtime's calendar conversion (out-of-range
// fields carry over: 31 June is 1 July) with daylight saving never applied, whatever the machine's time
// zone. A date outside 1970-01-01 00:00:00 .. 3000-12-31 23:59:59 cannot be converted: all fields 0.
CameraClock DecodeCameraClock(const uint8_t* statusBlock);
// Value chosen by the selector in status byte 80 (1: bytes 64-65, 2: 62-63, 3: 60-61), or -1 for any
// other selector.
int16_t DecodeSelectedValue(const uint8_t* statusBlock);
