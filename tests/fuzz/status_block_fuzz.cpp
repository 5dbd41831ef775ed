// Fuzz target: the status block decoding on arbitrary 256-byte blocks. Besides never failing, the camera
// clock must agree with the C library's UTC calendar conversion wherever that conversion accepts the date.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <vector>

#include "hostile_camera.h"
#include "protocol/camera_session.h"

using qxfuzz::Check;

namespace {

// The clock as timegm normalises the same fields, or all zero outside 1970 .. 3000.
CameraClock ReferenceClock(const uint8_t* block) {
    std::tm fields{};
    fields.tm_year = (block[STATUS_YEAR] << 8 | block[STATUS_YEAR + 1]) - 1900;
    fields.tm_mon = block[STATUS_MONTH] - 1;
    fields.tm_mday = block[STATUS_DAY];
    fields.tm_hour = block[STATUS_HOUR];
    fields.tm_min = block[STATUS_MINUTE];
    fields.tm_sec = block[STATUS_SECOND];
    const std::time_t seconds = timegm(&fields);
    if (seconds < 0 || seconds > 32535215999) {  // 3000-12-31 23:59:59
        return CameraClock{};
    }
    const auto field = [](int value) { return static_cast<int16_t>(value); };
    return CameraClock{field(fields.tm_sec),  field(fields.tm_min),  field(fields.tm_hour),
                       field(fields.tm_mday), field(fields.tm_mon),  field(fields.tm_year),
                       field(fields.tm_wday), field(fields.tm_yday), 0};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Exactly one block, on the heap so that a read past its end is caught.
    if (size != wire::STATUS_BLOCK_SIZE) {
        return 0;
    }
    const std::vector<uint8_t> copy(data, data + size);
    const uint8_t* block = copy.data();

    const uint32_t version = DecodeFirmwareVersion(block);
    Check((version >> 24) <= 25 && (version >> 16 & 0xFF) <= 9);
    const CameraClock clock = DecodeCameraClock(block), reference = ReferenceClock(block);
    Check(std::memcmp(&clock, &reference, sizeof clock) == 0);
    Check(DecodeSelectedValue(block) == -1 || (block[STATUS_SELECTOR] >= 1 && block[STATUS_SELECTOR] <= 3));

    VirtualClock virtualClock;
    sim::VirtualDevices devices(virtualClock);
    CCameraSession session(devices);
    std::memcpy(session.m_statusBlock, block, wire::STATUS_BLOCK_SIZE);
    session.BuildCameraInfo();
    session.BuildCameraName();
    Check(session.m_cameraInfo.version == version);
    Check(std::memcmp(&session.m_cameraInfo.clock, &clock, sizeof clock) == 0);
    Check(session.m_cameraName[CAMERA_NAME_LENGTH] == '\0');
    Check(std::memcmp(session.m_cameraName, block + STATUS_NAME, CAMERA_NAME_LENGTH) == 0);
    return 0;
}
