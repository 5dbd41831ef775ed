// Loading and checking the firmware image file.
#include "app/firmware_image.h"

#include <cstring>
#include <string>

#include "common/memory.h"
#include "res/strings.h"

namespace {

int32_t g_liveImages = 0;

uint8_t* AllocateImage(int32_t length) {
    auto* image = static_cast<uint8_t*>(AllocZeroed(length));
    if (image != nullptr) {
        ++g_liveImages;
    }
    return image;
}

// Reads the whole file, or null: the block is released again on any failure.
uint8_t* ReadImage(platform::ReadOnlyFile& file, int32_t& length) {
    if (!file.IsRegularFile()) {
        // A directory, FIFO or device holds no image and may never end: read nothing, and let the
        // checks reject the stand-in block as a wrong file.
        length = NOT_A_REGULAR_FILE_LENGTH;
        return AllocateImage(1);
    }
    length = GetFileLength(file);
    if (length <= 0) {
        return nullptr;
    }
    uint8_t* image = AllocateImage(length);
    if (image == nullptr) {
        return nullptr;
    }
    // One read of the whole length; fewer bytes than measured means the file changed under us.
    const int64_t got = file.Read(image, static_cast<size_t>(length));
    if (got != length) {
        ReleaseFirmwareImage(image);
        return nullptr;
    }
    return image;
}

}  // namespace

int32_t GetFileLength(platform::ReadOnlyFile& file) {
    const int64_t position = file.Seek(0, platform::SeekOrigin::Current);
    if (position < 0) {
        return -1;
    }
    const int64_t end = file.Seek(0, platform::SeekOrigin::End);
    if (file.Seek(position, platform::SeekOrigin::Begin) < 0 || end < 0) {
        return -1;
    }
    if (end > FIRMWARE_IMAGE_SIZE) {
        return FIRMWARE_IMAGE_SIZE + 1;
    }
    return static_cast<int32_t>(end);
}

uint8_t* LoadFirmwareImage(IUpdateUi& owner, const char* path, int32_t& length) {
    uint8_t* image = nullptr;
    {
        ScopedBusyCursor busy(owner);
        platform::ReadOnlyFile file;
        if (file.Open(path)) {
            image = ReadImage(file, length);
        }
    }
    if (image == nullptr) {
        ShowFileError(owner, res::LoadString(res::IDS_FILE_READ_ERROR));
    }
    return image;
}

void ReleaseFirmwareImage(uint8_t* image) {
    if (image == nullptr) {
        return;
    }
    --g_liveImages;
    FreeBlock(image);
}

int32_t CountLiveFirmwareImages() {
    return g_liveImages;
}

int16_t CompareText(const char* text, const char* reference, int16_t count) {
    for (int16_t i = 0; i < count; ++i) {
        if (text[i] != reference[i] || text[i] == 0 || reference[i] == 0) {
            return 1;
        }
    }
    return 0;
}

bool HasIdentificationText(const uint8_t* image, int32_t length) {
    if (image == nullptr || length < IDENTIFICATION_LENGTH) {
        return false;
    }
    const auto* text = reinterpret_cast<const char*>(image);
    return CompareText(text, IDENTIFICATION_QX410, IDENTIFICATION_LENGTH) == 0 ||
           CompareText(text, IDENTIFICATION_QX300, IDENTIFICATION_LENGTH) == 0;
}

void CopyFileVersion(const uint8_t* versionChars, char version[4]) {
    std::memcpy(version, versionChars, VERSION_LENGTH);
}

bool MatchesCameraVersion(char fileVersion[4], const char cameraVersion[4]) {
    const auto last = static_cast<unsigned char>(fileVersion[3]);
    if (last >= 0x61 && last <= 0x7F) {
        fileVersion[3] = static_cast<char>(last - 0x20);
    }
    return fileVersion[1] == cameraVersion[1] && fileVersion[2] == cameraVersion[2] &&
           fileVersion[3] == cameraVersion[3];
}

ImageChecks CheckFirmwareImage(const uint8_t* image, int32_t length) {
    ImageChecks checks;
    checks.identified = HasIdentificationText(image, length);
    if (checks.identified && length >= VERSION_OFFSET + VERSION_LENGTH) {
        CopyFileVersion(image + VERSION_OFFSET, checks.version);
        checks.hasVersion = true;
    }
    checks.rightLength = length == FIRMWARE_IMAGE_SIZE;
    return checks;
}

void ShowFileError(IUpdateUi& ui, const char* text) {
    ui.Beep(BeepKind::Simple);
    ui.ShowFileError(text);
}
