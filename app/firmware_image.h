// The firmware image file: its layout, loading it whole into one zero-filled block, the identification
// texts, the version characters and the rule by which they are compared with the camera's.
//
// Layout: bytes 0..47 identification text, 61..64 version characters f0..f3, 128.. the 1 MiB payload
// handed to the download; exactly FIRMWARE_IMAGE_SIZE bytes in all.
#pragma once

#include <cstdint>
#include <memory>

#include "app/update_ui.h"
#include "platform/file.h"

constexpr int32_t FIRMWARE_HEADER_SIZE = 128;
constexpr int32_t FIRMWARE_IMAGE_SIZE = 0x100080;  // 1,048,704: header and 1,048,576-byte payload
constexpr int16_t IDENTIFICATION_LENGTH = 48;
constexpr int32_t VERSION_OFFSET = 61;
constexpr int32_t VERSION_LENGTH = 4;

// The two identification texts; only their first IDENTIFICATION_LENGTH characters are compared.
constexpr char IDENTIFICATION_QX410[] = "Corva Lumen Precision QX410 Zoom camera. Firmware";
constexpr char IDENTIFICATION_QX300[] = "Corva Lumen Precision QX300      camera. Firmware";

// The length reported for a non-regular file (directory, FIFO, device): it holds no image. The load
// then hands back a one-byte stand-in block, which every check rejects as a wrong file.
constexpr int32_t NOT_A_REGULAR_FILE_LENGTH = -1;

// Length of an open file from its end position, the position left unchanged. A file longer than an
// image reports FIRMWARE_IMAGE_SIZE + 1, so that a length beyond 32 bits can never pass for an image
// and no more than that is ever read. -1 when the file cannot be measured.
int32_t GetFileLength(platform::ReadOnlyFile& file);

// Reads the file at path into one zero-filled block of exactly its length (capped as GetFileLength
// says). length is written as soon as it is known, even when the load then fails. On failure shows
// "File open or read error!" with ShowFileError and returns null, leaving nothing allocated. A short
// read is a read error. The busy cursor is on while the file is read.
uint8_t* LoadFirmwareImage(IUpdateUi& owner, const char* path, int32_t& length);
// Releases a block from LoadFirmwareImage; null is ignored.
void ReleaseFirmwareImage(uint8_t* image);
// Owns a block from LoadFirmwareImage and releases it when it goes.
struct FirmwareImageRelease {
    void operator()(uint8_t* image) const { ReleaseFirmwareImage(image); }
};
using FirmwareImage = std::unique_ptr<uint8_t, FirmwareImageRelease>;
// Image blocks loaded and not yet released in this process (for leak checks).
int32_t CountLiveFirmwareImages();

// 0 when the first count characters of text and reference agree and none of them is 0; 1 otherwise.
// 0 at once for a count of 0 or less.
int16_t CompareText(const char* text, const char* reference, int16_t count);
// True when the image begins with either identification text (QX410 first). An image shorter than the
// identification text is not one.
bool HasIdentificationText(const uint8_t* image, int32_t length);
// Copies the image's four version characters (image + VERSION_OFFSET) to version.
void CopyFileVersion(const uint8_t* versionChars, char version[4]);
// Upper-cases the file's last version character when it lies in 0x61..0x7F (stored back), then true
// when characters 1..3 equal the camera's; character 0 takes no part.
bool MatchesCameraVersion(char fileVersion[4], const char cameraVersion[4]);

// What the image checks find in an image's bytes, in the controller's order: the identification text,
// the version characters (taken only from an identified image long enough to hold them), the length.
struct ImageChecks {
    bool identified = false;   // begins with either identification text
    bool hasVersion = false;   // version holds the file's version characters
    char version[4] = {};      //
    bool rightLength = false;  // exactly FIRMWARE_IMAGE_SIZE bytes
    // Any failed check is the same "wrong file" to the user.
    bool WrongFile() const { return !identified || !rightLength; }
};
// The image checks on length bytes in memory, as LoadFirmwareImage hands them back (length may be
// NOT_A_REGULAR_FILE_LENGTH for the one-byte stand-in). Reads no byte at or beyond length.
ImageChecks CheckFirmwareImage(const uint8_t* image, int32_t length);

// The message box for file errors: the simple beep, then the box with the application title.
void ShowFileError(IUpdateUi& ui, const char* text);
