// The bytes the updater and the camera exchange: single-byte codes, command codes, the access strings,
// the speed codes, block sizes and the packet check byte. Both sides of the wire use this header: the
// links and the camera session on the updater's side, the camera model on the camera's.
#pragma once

#include <cstddef>
#include <cstdint>

namespace wire {

// Single-byte codes.
constexpr uint8_t BYTE_COMPLETION = 0x00;  // camera: the work of the current command is done
constexpr uint8_t BYTE_READY = 0x01;       // camera: a data packet follows
constexpr uint8_t BYTE_TERMINATOR = 0x1A;  // last byte of every command packet
constexpr uint8_t BYTE_ACK = 0xD1;         // command acknowledged; updater: access exchange accepted
constexpr uint8_t BYTE_DATA_ACK = 0xD2;    // data packet check byte right
constexpr uint8_t BYTE_REFUSED = 0xE1;     // camera: command refused
constexpr uint8_t BYTE_ERROR = 0xE2;       // camera: gives up a data transfer
constexpr uint8_t BYTE_DATA_NAK = 0xE3;    // data packet refused, send again
constexpr uint8_t BYTE_BUSY = 0xF0;        // camera: not ready yet

// Command codes (byte 0 of the 8-byte command packet).
constexpr uint8_t CMD_WRITE_BLOCK = 0x1D;
constexpr uint8_t CMD_ERASE_BLOCKS = 0x1E;
constexpr uint8_t CMD_CHECKSUM = 0x21;
constexpr uint8_t CMD_SET_SPEED = 0x41;
constexpr uint8_t CMD_READ_STATUS = 0x7F;
constexpr uint8_t CMD_UPDATE_MODE = 0x8D;
constexpr uint8_t CMD_FLAG_FOLLOW_UP = 0x96;
constexpr uint8_t CMD_SIGN_OFF = 0x97;
constexpr uint8_t CMD_RESET = 0xAE;

constexpr int COMMAND_PACKET_SIZE = 8;
constexpr int ACCESS_STRING_LENGTH = 12;

// The camera answers the updater's access string with the first string (firmware version word
// 0x506 and above) or the second (below).
constexpr char ACCESS_REPLY_NEW[] = "HbTuRnVeWsLo";
constexpr char ACCESS_REPLY_OLD[] = "mPzQaXcYbNdK";
constexpr char ACCESS_REQUEST[] = "KwEjUoTfAsGi";
constexpr uint32_t ACCESS_NEW_REPLY_MIN_VERSION = 0x506;

// Status block: 256 payload bytes in one 257-byte data packet.
constexpr int STATUS_BLOCK_SIZE = 256;
constexpr int CAMERA_STATE_READY = 6;  // status byte 1 when the camera can go on

// Firmware blocks as they travel: serial 4096 blocks of 256 bytes, USB 248 blocks of 4096 bytes.
constexpr int SERIAL_BLOCK_SIZE = 256;
constexpr int SERIAL_BLOCK_COUNT = 4096;
constexpr int USB_BLOCK_SIZE = 4096;
constexpr int USB_BLOCK_COUNT = 248;
constexpr int USB_ERASE_COMMANDS = 16;
constexpr int USB_ERASE_UNIT_STEP = 16;
constexpr uint32_t FIRMWARE_PAYLOAD_SIZE = 0x100000;

// Data packets as they travel: the payload closed by its check byte.
constexpr int32_t SERIAL_PACKET_SIZE = SERIAL_BLOCK_SIZE + 1;  // 257
constexpr int32_t USB_PACKET_SIZE = USB_BLOCK_SIZE + 1;        // 4097
constexpr int32_t STATUS_PACKET_SIZE = STATUS_BLOCK_SIZE + 1;  // 257
// A data packet is sent at most this often while the camera answers 0xE3.
constexpr int DATA_PACKET_SENDINGS = 5;
// Every command goes out at most this often while the camera does not acknowledge it (serial link, and
// a USB camera that answered only the second probe).
constexpr int16_t COMMAND_ATTEMPTS = 3;

// Speed codes 1..5 and the two parameter bytes of command 0x41 that spell the rate.
struct SpeedCodeBytes {
    uint8_t high;
    uint8_t low;
    uint32_t baudRate;
};
constexpr SpeedCodeBytes SPEED_CODES[6] = {
    {0x00, 0x00, 0},  // code 0: not a speed
    {0x96, 0x00, 9600}, {0x19, 0x20, 19200}, {0x38, 0x40, 38400}, {0x57, 0x60, 57600}, {0x11, 0x52, 115200},
};
constexpr int SPEED_CODE_MIN = 1;
constexpr int SPEED_CODE_MAX = 5;
constexpr int SPEED_CODE_9600 = 1;  // every link opens at it; a break and a reset bring the camera back to it
constexpr int SPEED_CODE_115200 = 5;  // the serial download's rate

constexpr bool IsSpeedCode(int32_t speedCode) {
    return speedCode >= SPEED_CODE_MIN && speedCode <= SPEED_CODE_MAX;
}

// Bit rate of a speed code 1..5 (9600 .. 115200), or 0 for any other code.
constexpr uint32_t BaudRateOfSpeedCode(int32_t speedCode) {
    return IsSpeedCode(speedCode) ? SPEED_CODES[speedCode].baudRate : 0;
}

// The check byte that closes every data packet: the XOR of the bytes before it.
constexpr uint8_t CheckByte(const uint8_t* bytes, size_t count) {
    uint8_t check = 0;
    for (size_t i = 0; i < count; ++i) {
        check = static_cast<uint8_t>(check ^ bytes[i]);
    }
    return check;
}

}  // namespace wire
