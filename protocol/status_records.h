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

// Firmware version word from status bytes 2 and 3: (b2 / 10, b2 % 10, b3 >> 4, b3 & 0x0F), most
// significant byte first.
uint32_t DecodeFirmwareVersion(const uint8_t* statusBlock);
// Camera clock from status bytes 88..94, normalised by the C runtime with daylight saving not applied.
CameraClock DecodeCameraClock(const uint8_t* statusBlock);
