// Fuzz target: the firmware image checks on bytes in memory, as the update controller runs them on a
// loaded file, then the version rule. Byte 0 bit 0 extends the image with zeros to the image size plus
// the signed byte 1 (so the length check is reached), capped as the load caps a longer file; bytes 2..5
// are the camera's version characters; the rest is the image's start. The file path itself is covered
// by tests/app/firmware_image_test.cpp on this target's corpus.
#include <sanitizer/asan_interface.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "app/firmware_image.h"
#include "hostile_camera.h"

using qxfuzz::Check;

namespace {

constexpr size_t PREFIX = 6;
constexpr size_t LARGEST = FIRMWARE_IMAGE_SIZE + 1;  // the most a load hands back

void CheckImage(const uint8_t* image, size_t length, const uint8_t* cameraVersion) {
    const ImageChecks checks = CheckFirmwareImage(image, static_cast<int32_t>(length));
    Check(checks.identified == HasIdentificationText(image, static_cast<int32_t>(length)));
    Check(!checks.hasVersion || (checks.identified && length >= VERSION_OFFSET + VERSION_LENGTH));
    Check(!checks.hasVersion || std::memcmp(checks.version, image + VERSION_OFFSET, VERSION_LENGTH) == 0);
    Check(checks.rightLength == (length == FIRMWARE_IMAGE_SIZE));
    if (!checks.WrongFile()) {
        char fileVersion[4];
        std::memcpy(fileVersion, checks.version, sizeof fileVersion);
        char camera[4];
        std::memcpy(camera, cameraVersion, sizeof camera);
        MatchesCameraVersion(fileVersion, camera);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < PREFIX) {
        return 0;
    }
    const uint8_t* content = data + PREFIX;
    const size_t contentSize = size - PREFIX;
    if ((data[0] & 1) == 0) {
        // The image is the content itself, in a block of exactly its size, so a read past it is caught.
        const std::vector<uint8_t> image(content, content + contentSize);
        CheckImage(image.data(), image.size(), data + 2);
        return 0;
    }
    // An image of about the image size: one zero-filled block kept between inputs, the content written
    // at its start and wiped again afterwards, everything past the image's length poisoned.
    static std::vector<uint8_t> block(LARGEST, 0);
    const size_t padded = static_cast<size_t>(FIRMWARE_IMAGE_SIZE + static_cast<int8_t>(data[1]));
    const size_t length = std::min(std::max(padded, contentSize), LARGEST);
    const size_t written = std::min(contentSize, length);
    std::memcpy(block.data(), content, written);
    ASAN_POISON_MEMORY_REGION(block.data() + length, LARGEST - length);
    CheckImage(block.data(), length, data + 2);
    ASAN_UNPOISON_MEMORY_REGION(block.data() + length, LARGEST - length);
    std::memset(block.data(), 0, written);
    return 0;
}
