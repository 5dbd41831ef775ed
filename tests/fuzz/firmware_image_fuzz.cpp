// Fuzz target: the firmware image load and checks, as the update controller runs them on a chosen file.
// Byte 0 bit 0 pads the file with zeros to the image size plus the signed byte 1 (so the length check
// is reached); bytes 2..5 are the camera's version characters; the rest is the file's start. The file is
// an in-memory file opened by its path.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "app/firmware_image.h"
#include "hostile_camera.h"
#include "tests/app/scripted_ui.h"

using qxfuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr size_t PREFIX = 6;
    if (size < PREFIX) {
        return 0;
    }
    const uint8_t* content = data + PREFIX;
    const size_t contentSize = size - PREFIX;
    const size_t padded = static_cast<size_t>(FIRMWARE_IMAGE_SIZE + static_cast<int8_t>(data[1]));
    const size_t fileSize = (data[0] & 1) != 0 ? std::max(padded, contentSize) : contentSize;

    static const int fd = memfd_create("qx410-image", 0);
    Check(fd >= 0 && ftruncate(fd, 0) == 0 && ftruncate(fd, static_cast<off_t>(fileSize)) == 0);
    Check(pwrite(fd, content, contentSize, 0) == static_cast<ssize_t>(contentSize));
    const std::string path = "/proc/self/fd/" + std::to_string(fd);

    ScriptedUi ui;
    int32_t length = 0;
    uint8_t* image = LoadFirmwareImage(ui, path.c_str(), length);
    if (fileSize == 0) {
        Check(image == nullptr);
        return 0;
    }
    Check(image != nullptr);
    Check(static_cast<size_t>(length) == std::min<size_t>(fileSize, FIRMWARE_IMAGE_SIZE + 1));
    Check(std::memcmp(image, content, std::min<size_t>(contentSize, static_cast<size_t>(length))) == 0);

    // The controller's order: identification, version characters, length, then the version rule.
    const bool identified = HasIdentificationText(image, length);
    char fileVersion[4] = {};
    if (identified && length >= VERSION_OFFSET + VERSION_LENGTH) {
        CopyFileVersion(image + VERSION_OFFSET, fileVersion);
    }
    if (identified && length == FIRMWARE_IMAGE_SIZE) {
        char cameraVersion[4];
        std::memcpy(cameraVersion, data + 2, sizeof cameraVersion);
        MatchesCameraVersion(fileVersion, cameraVersion);
    }
    ReleaseFirmwareImage(image);
    Check(CountLiveFirmwareImages() == 0);
    return 0;
}
