// The firmware download: erases the camera's flash, writes the payload block by block, sends the 16-bit
// checksum of what was written, resets the camera and closes the link, reporting every phase through
// the status callback.
//
// Serial: 4096 blocks of 256 bytes at 115200 baud after one erase command.
// USB: 16 erase commands (units 0, 16, .. 240), then 248 blocks of 4096 bytes; the payload's last
// 32 KiB (from offset 0xF8000) are not written over USB.
#include <cstring>

#include "common/clock.h"
#include "protocol/camera_session.h"

namespace {

constexpr int32_t SPEED_9600 = 1;
constexpr int32_t SPEED_115200 = 5;
constexpr int32_t ERASE_UNITS = 256;
constexpr int32_t PHASE_ERASE = 1;
constexpr int32_t PHASE_WRITE = 0;

// Calls the callback when there is one; false when it asks to stop.
bool Report(StatusCallback callback, uint32_t eventKind, int32_t value, int32_t phase) {
    if (callback == nullptr) {
        return true;
    }
    return callback(eventKind, value, phase) != 0;
}

uint32_t ReadLittleEndian32(const uint8_t* bytes) {
    return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 | uint32_t{bytes[3]} << 24;
}

// Folds one written block into the checksum accumulator; the low 16 bits of the accumulator end up as
// the XOR of all little-endian 16-bit words written.
uint32_t FoldBlock(uint32_t accumulator, const uint8_t* block, int32_t blockSize) {
    uint32_t words = 0;
    for (int32_t i = 0; i + 4 <= blockSize; i += 4) {
        words ^= ReadLittleEndian32(block + i);
    }
    return accumulator ^ words ^ (words >> 16);
}

}  // namespace

void CCameraSession::DownloadFirmware(const uint8_t* image, StatusCallback callback) {
    m_resultCode = CODE_OK;
    m_result = RESULT_OK;
    uint32_t checksum = 0;
    const bool usb = IsUsb();
    if (image == nullptr || (!usb && !IsSerial())) {
        m_result = LINK_FAILED;  // nothing to write, or no link chosen: nothing is sent
        ToResultCode();
        return;
    }

    if (usb) {
        m_result = ReopenUsbDevice();
        if (m_result != RESULT_OK) {
            ToResultCode();
            return;
        }
        // Erase phase, reported as its own phase.
        if (!Report(callback, STATUS_START, 0, PHASE_ERASE)) {
            m_result = RESULT_STOPPED;
            ReleaseUsbHandle();
            ToResultCode();
            return;
        }
        int32_t percent = 0;
        bool leftEarly = false;
        for (int32_t unit = 0; unit < ERASE_UNITS; unit += qx::USB_ERASE_UNIT_STEP) {
            DelayMs(200);
            EraseBlocks(unit);
            percent = unit * 100 / ERASE_UNITS;
            if (!Report(callback, STATUS_PROGRESS, percent, PHASE_ERASE)) {
                m_result = RESULT_STOPPED;
            }
            if (m_result != RESULT_OK) {
                leftEarly = true;
                break;
            }
        }
        if (leftEarly) {
            Report(callback, STATUS_FAILED, percent, PHASE_ERASE);
        } else if (!Report(callback, STATUS_COMPLETED, 100, PHASE_ERASE)) {
            m_result = RESULT_STOPPED;
        }
        // Blocks written into flash whose erase failed would be reported as a good update: stop here
        // with the erase's status, and sign off while the device is still open.
        if (m_result != RESULT_OK) {
            ToResultCode();
            SignOff();
            return;
        }
    } else {
        ChangeSpeed(SPEED_115200);
        if (m_result != RESULT_OK) {
            ToResultCode();
            return;
        }
        DelayMs(200);
        EraseBlocks(0);
        // Does nothing after a failed erase, whose status then ends the download.
        ChangeSpeed(SPEED_115200);
        if (m_result != RESULT_OK) {
            ToResultCode();
            return;
        }
    }

    // Write phase.
    if (!Report(callback, STATUS_START, 0, PHASE_WRITE)) {
        m_result = RESULT_STOPPED;
        if (usb) {
            ReleaseUsbHandle();
        } else {
            CloseSerialPort();
        }
        ToResultCode();
        return;
    }
    const int32_t blockSize = usb ? qx::USB_BLOCK_SIZE : qx::SERIAL_BLOCK_SIZE;
    const int32_t blockCount = usb ? qx::USB_BLOCK_COUNT : qx::SERIAL_BLOCK_COUNT;
    int32_t percent = 0;
    for (int32_t block = 0; block < blockCount; ++block) {
        const uint8_t* source = image + static_cast<size_t>(block) * static_cast<size_t>(blockSize);
        if (WriteBlock(source, block) == RESULT_OK) {
            checksum = FoldBlock(checksum, source, blockSize);
        }
        percent = (block + 1) * 100 / blockCount;
        if (!Report(callback, STATUS_PROGRESS, percent, PHASE_WRITE)) {
            m_result = RESULT_STOPPED;
        }
        if (m_result != RESULT_OK) {
            break;
        }
    }
    if (m_result == RESULT_OK) {
        DelayMs(500);
        SendChecksum(static_cast<uint16_t>(checksum));
    }
    if (!usb) {
        // Back to 9600 baud. Its own failure does not change the outcome; after a failure nothing is sent.
        const int32_t before = m_result;
        DelayMs(500);
        ChangeSpeed(SPEED_9600);
        DelayMs(500);
        if (before == RESULT_OK) {
            m_result = RESULT_OK;
        }
    }
    if (m_result == RESULT_OK) {
        DelayMs(1000);
        SendReset();
        DelayMs(200);
        m_result = RESULT_OK;  // the camera restarts whatever its last answer was
        if (usb) {
            ReleaseUsbHandle();
        } else {
            CloseSerialPort();
        }
        if (!Report(callback, STATUS_COMPLETED, 100, PHASE_WRITE)) {
            m_result = RESULT_STOPPED;
        }
    } else if (!Report(callback, STATUS_FAILED, percent, PHASE_WRITE)) {
        m_result = RESULT_STOPPED;
    }
    ToResultCode();
    if (usb) {
        // Reaches the camera only after a failure, while the device is still open.
        SignOff();
    } else {
        CloseSerialPort();
    }
}
