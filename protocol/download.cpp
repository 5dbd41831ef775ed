// The firmware download: erases the camera's flash, writes the payload block by block, sends the 16-bit
// checksum of what was written, resets the camera and closes the link, reporting every phase through
// the status callback.
//
// Serial: 4096 blocks of 256 bytes at 115200 baud after one erase command.
// USB: 16 erase commands (units 0, 16, .. 240), then 248 blocks of 4096 bytes; the payload's last
// 32 KiB (from offset 0xF8000) are not written over USB.
#include <cstring>

#include "common/byte_order.h"
#include "common/clock.h"
#include "protocol/camera_session.h"
#include "wire/byte_codes.h"
#include "wire/timing.h"

namespace {

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

// Folds one written block into the checksum accumulator; the low 16 bits of the accumulator end up as
// the XOR of all little-endian 16-bit words written.
uint32_t FoldBlock(uint32_t accumulator, const uint8_t* block, int32_t blockSize) {
    uint32_t words = 0;
    for (int32_t i = 0; i + 4 <= blockSize; i += 4) {
        words ^= LoadLe32(block + i);
    }
    return accumulator ^ words ^ (words >> 16);
}

}  // namespace

void CCameraSession::DownloadFirmware(const uint8_t* image, StatusCallback callback) {
    if (image == nullptr || (!IsUsb() && !IsSerial())) {
        Conclude(LINK_FAILED);  // nothing to write, or no link chosen: nothing is sent
        return;
    }
    if (IsUsb()) {
        DownloadOverUsb(image, callback);
    } else {
        DownloadOverSerial(image, callback);
    }
}

void CCameraSession::DownloadOverUsb(const uint8_t* image, StatusCallback callback) {
    const int32_t opened = ReopenUsbDevice();
    if (opened != RESULT_OK) {
        Conclude(opened);
        return;
    }
    if (!Report(callback, STATUS_START, 0, PHASE_ERASE)) {
        ReleaseUsbHandle();
        Conclude(RESULT_STOPPED);
        return;
    }
    const int32_t erased = EraseOverUsb(callback);
    if (erased != RESULT_OK) {
        // Blocks written into flash whose erase failed would be reported as a good update: stop here
        // with the erase's status, and sign off while the device is still open.
        Conclude(erased);
        SignOff();
        return;
    }
    WriteAndFinish(image, callback);
}

// Sixteen erase commands, each reported as progress of the erase phase. The erase's status; a callback
// that asks to stop ends it with RESULT_STOPPED.
int32_t CCameraSession::EraseOverUsb(StatusCallback callback) {
    int32_t percent = 0;
    for (int32_t unit = 0; unit < ERASE_UNITS; unit += wire::USB_ERASE_UNIT_STEP) {
        DelayMs(wire::ERASE_LEAD_MS);
        int32_t status = EraseBlocks(unit);
        percent = unit * 100 / ERASE_UNITS;
        if (!Report(callback, STATUS_PROGRESS, percent, PHASE_ERASE)) {
            status = RESULT_STOPPED;
        }
        if (status != RESULT_OK) {
            Report(callback, STATUS_FAILED, percent, PHASE_ERASE);
            return status;
        }
    }
    return Report(callback, STATUS_COMPLETED, 100, PHASE_ERASE) ? RESULT_OK : RESULT_STOPPED;
}

void CCameraSession::DownloadOverSerial(const uint8_t* image, StatusCallback callback) {
    const int32_t erased = EraseOverSerial();
    if (erased != RESULT_OK) {
        Conclude(erased);  // the port stays open: the session's end closes it
        return;
    }
    WriteAndFinish(image, callback);
}

// The line goes to 115200 baud, the camera erases its whole flash, and the speed is confirmed once more
// before the blocks go out.
int32_t CCameraSession::EraseOverSerial() {
    int32_t status = ChangeSpeed(wire::SPEED_CODE_115200);
    if (status != RESULT_OK) {
        return status;
    }
    DelayMs(wire::ERASE_LEAD_MS);
    status = EraseBlocks(0);
    if (status != RESULT_OK) {
        return status;
    }
    return ChangeSpeed(wire::SPEED_CODE_115200);
}

// The write phase on an erased camera: every block in order, each reported as progress. The phase's
// status; the percentage last reported and the checksum of the blocks written come back through the
// arguments.
int32_t CCameraSession::WriteBlocks(const uint8_t* image, StatusCallback callback, int32_t& percent,
                                    uint32_t& checksum) {
    const bool usb = IsUsb();
    const int32_t blockSize = usb ? wire::USB_BLOCK_SIZE : wire::SERIAL_BLOCK_SIZE;
    const int32_t blockCount = usb ? wire::USB_BLOCK_COUNT : wire::SERIAL_BLOCK_COUNT;
    int32_t status = RESULT_OK;
    for (int32_t block = 0; block < blockCount && status == RESULT_OK; ++block) {
        const uint8_t* source = image + static_cast<size_t>(block) * static_cast<size_t>(blockSize);
        status = WriteBlock(source, block);
        if (status == RESULT_OK) {
            checksum = FoldBlock(checksum, source, blockSize);
        }
        percent = (block + 1) * 100 / blockCount;
        if (!Report(callback, STATUS_PROGRESS, percent, PHASE_WRITE)) {
            status = RESULT_STOPPED;
        }
    }
    return status;
}

void CCameraSession::WriteAndFinish(const uint8_t* image, StatusCallback callback) {
    if (!Report(callback, STATUS_START, 0, PHASE_WRITE)) {
        if (IsUsb()) {
            ReleaseUsbHandle();
        } else {
            CloseSerialPort();
        }
        Conclude(RESULT_STOPPED);
        return;
    }
    int32_t percent = 0;
    uint32_t checksum = 0;
    const int32_t written = WriteBlocks(image, callback, percent, checksum);
    FinishDownload(written, static_cast<uint16_t>(checksum), percent, callback);
}

// After the blocks: the checksum, (serial) the line back to 9600 baud, the reset and the link let go.
// Over USB the session signs off at the end; the sign-off reaches the camera only after a failure,
// while the device is still open.
void CCameraSession::FinishDownload(int32_t status, uint16_t checksum, int32_t percent,
                                    StatusCallback callback) {
    const bool usb = IsUsb();
    if (status == RESULT_OK) {
        DelayMs(wire::CHECKSUM_LEAD_MS);
        status = SendChecksum(checksum);
    }
    if (!usb) {
        // Back to 9600 baud after a good checksum; that switch's own failure does not change the outcome.
        DelayMs(wire::SPEED_BACK_PAUSE_MS);
        if (status == RESULT_OK) {
            ChangeSpeed(wire::SPEED_CODE_9600);
        }
        DelayMs(wire::SPEED_BACK_PAUSE_MS);
    }
    if (status == RESULT_OK) {
        DelayMs(wire::RESET_LEAD_MS);
        SendReset();  // the camera restarts whatever its last answer was
        DelayMs(wire::RESET_SETTLE_MS);
        if (usb) {
            ReleaseUsbHandle();
        } else {
            CloseSerialPort();
        }
        status = Report(callback, STATUS_COMPLETED, 100, PHASE_WRITE) ? RESULT_OK : RESULT_STOPPED;
    } else if (!Report(callback, STATUS_FAILED, percent, PHASE_WRITE)) {
        status = RESULT_STOPPED;
    }
    Conclude(status);
    if (usb) {
        SignOff();
    } else {
        CloseSerialPort();
    }
}
