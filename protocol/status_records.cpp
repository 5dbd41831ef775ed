// Decoding of the camera's 256-byte status block into the firmware version word, the camera clock and
// the CameraInfo and CameraName records. Pure data work; no link is involved.
//
// The clock is normalised with calendar arithmetic on days since 1970 rather than with mktime and
// localtime: the result must not depend on the machine's time zone or daylight-saving rules.
#include "protocol/status_records.h"

#include <cstring>

#include "protocol/camera_session.h"

namespace {

constexpr int64_t SECONDS_PER_DAY = 86400;

// Days from 1970-01-01 to the given date of the proleptic Gregorian calendar (month 1..12).
int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day) {
    year -= month <= 2 ? 1 : 0;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

struct CivilDate {
    int64_t year;
    int64_t month;  // 1..12
    int64_t day;    // 1..31
};

CivilDate CivilFromDays(int64_t days) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t dayOfEra = days - era * 146097;
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t shiftedMonth = (5 * dayOfYear + 2) / 153;
    const int64_t day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
    const int64_t month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
    return {yearOfEra + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

// The calendar times the conversion accepts: 1970-01-01 00:00:00 up to 3000-12-31 23:59:59.
const int64_t LATEST_SECOND = DaysFromCivil(3001, 1, 1) * SECONDS_PER_DAY - 1;

int64_t FloorDiv(int64_t value, int64_t divisor) {
    const int64_t quotient = value / divisor;
    return (value % divisor != 0 && value < 0) ? quotient - 1 : quotient;
}

uint16_t ReadBigEndian16(const uint8_t* bytes) {
    return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
}

}  // namespace

uint32_t DecodeFirmwareVersion(const uint8_t* statusBlock) {
    const uint32_t high = statusBlock[STATUS_VERSION_HIGH];
    const uint32_t low = statusBlock[STATUS_VERSION_LOW];
    return (high / 10) << 24 | (high % 10) << 16 | (low >> 4) << 8 | (low & 0x0F);
}

CameraClock DecodeCameraClock(const uint8_t* statusBlock) {
    // Raw fields, possibly out of range: month 0 is December of the year before, day 0 the last day of
    // the month before, hour 25 one o'clock the next day.
    const int64_t rawMonth = int64_t{statusBlock[STATUS_MONTH]} - 1;
    const int64_t year = int64_t{ReadBigEndian16(statusBlock + STATUS_YEAR)} + FloorDiv(rawMonth, 12);
    const int64_t month = rawMonth - FloorDiv(rawMonth, 12) * 12;  // 0..11
    const int64_t days = DaysFromCivil(year, month + 1, 1) + statusBlock[STATUS_DAY] - 1;
    const int64_t seconds = days * SECONDS_PER_DAY + statusBlock[STATUS_HOUR] * int64_t{3600} +
                            statusBlock[STATUS_MINUTE] * int64_t{60} + statusBlock[STATUS_SECOND];
    if (seconds < 0 || seconds > LATEST_SECOND) {
        return CameraClock{};  // all nine fields 0
    }

    const int64_t dayNumber = seconds / SECONDS_PER_DAY;
    const int64_t secondOfDay = seconds % SECONDS_PER_DAY;
    const CivilDate date = CivilFromDays(dayNumber);
    CameraClock clock;
    clock.second = static_cast<int16_t>(secondOfDay % 60);
    clock.minute = static_cast<int16_t>(secondOfDay / 60 % 60);
    clock.hour = static_cast<int16_t>(secondOfDay / 3600);
    clock.day = static_cast<int16_t>(date.day);
    clock.month = static_cast<int16_t>(date.month - 1);
    clock.year = static_cast<int16_t>(date.year - 1900);
    clock.weekday = static_cast<int16_t>((dayNumber + 4) % 7);  // 1970-01-01 was a Thursday
    clock.yearDay = static_cast<int16_t>(dayNumber - DaysFromCivil(date.year, 1, 1));
    clock.daylight = 0;
    return clock;
}

int16_t DecodeSelectedValue(const uint8_t* statusBlock) {
    switch (statusBlock[STATUS_SELECTOR]) {
        case 1:
            return static_cast<int16_t>(ReadBigEndian16(statusBlock + STATUS_VALUE_1));
        case 2:
            return static_cast<int16_t>(ReadBigEndian16(statusBlock + STATUS_VALUE_2));
        case 3:
            return static_cast<int16_t>(ReadBigEndian16(statusBlock + STATUS_VALUE_3));
        default:  // a raw byte: no value is selected
            return -1;
    }
}

void CCameraSession::BuildCameraClock(CameraClock& clock) const {
    clock = DecodeCameraClock(m_statusBlock);
}

void CCameraSession::BuildCameraInfo() {
    BuildCameraClock(m_cameraInfo.clock);
    m_cameraInfo.version = DecodeFirmwareVersion(m_statusBlock);
    m_cameraInfo.spare1 = -1;
    m_cameraInfo.spare2 = -1;
    const uint8_t flags = m_statusBlock[STATUS_FLAGS];
    if ((flags & FLAG_VALID) != 0 && (flags & FLAG_INVALID) == 0) {
        m_cameraInfo.counter = static_cast<int16_t>(ReadBigEndian16(m_statusBlock + STATUS_COUNTER));
        m_cameraInfo.selectedValue = DecodeSelectedValue(m_statusBlock);
        m_cameraInfo.validCounter = m_cameraInfo.counter;
        m_cameraInfo.validSelected = m_cameraInfo.selectedValue;
    } else {
        m_cameraInfo.validCounter = -1;
        m_cameraInfo.validSelected = -1;
        m_cameraInfo.counter = -1;
        m_cameraInfo.selectedValue = -1;
    }
    m_cameraInfo.fixed1 = 160;
    m_cameraInfo.fixed2 = 120;
    const bool large = m_statusBlock[STATUS_SIZE_FLAG] != 0;
    m_cameraInfo.size1 = large ? 1760 : 896;
    m_cameraInfo.size2 = large ? 1168 : 592;
}

void CCameraSession::BuildCameraName() {
    BuildCameraClock(m_cameraClock);
    std::memcpy(m_cameraName, m_statusBlock + STATUS_NAME, CAMERA_NAME_LENGTH);
    m_cameraName[CAMERA_NAME_LENGTH] = '\0';
}
